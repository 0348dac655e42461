// Peers that do not authenticate at once: they get 20 s, a small allowance of bytes that are not an
// AUTH frame and a few lines of log and trace, while modems beside them are served.
#include "tests/sessions/SessionFixture.h"

#include <QRegularExpression>

#include "core/ObjectRegistry.h"
#include "tests/platform/TestSupport.h"

namespace {

using modemsim::LinkState;

// The flood of the field report: an I frame header with a length code beyond the largest.
const Bytes FloodHeader = {0x55, 0xAA, 0xFF, 0xFF, 0x7E, 0x00, 0x8E};

Bytes Repeat(const Bytes& piece, size_t times) {
    Bytes out;
    for (size_t i = 0; i < times; ++i)
        out.insert(out.end(), piece.begin(), piece.end());
    return out;
}

Bytes RrFrame() {
    Bytes f(modemsim::kHeaderSize);
    modemsim::Frame_WriteS(f.data(), 5, modemsim::FrameRR, 0);
    return f;
}

// An I frame whose header and length are right, before any AUTH.
Bytes IFrame() {
    Bytes f(modemsim::kHeaderSize + 32 + modemsim::kBlockCrcSize, 0x3C);
    modemsim::Header_Write(f.data(), 5, {modemsim::FrameI, 0, 0, 1});
    return f;
}

// The opening of an AUTH frame that never gets its end.
Bytes PartialAuth() {
    Bytes f(20, 0x11);
    modemsim::Header_Write(f.data(), 5, {modemsim::FrameAuth, 0, 0, 32});
    return f;
}

std::string capturedTrace;
void CaptureTrace(const char* text, size_t n) {
    capturedTrace.append(text, n);
}

class UnauthenticatedTest : public SessionTest {
protected:
    UnauthenticatedTest() {
        capturedTrace.clear();
        Trace_SetSink(CaptureTrace);
    }
    // Lines the peer's input caused: the ones logged and the ones the summary says were left out.
    int LinesCaused(int& traceLeftOut) const {
        static const QRegularExpression summary(
            QStringLiteral("^SM: (\\d+) log lines and (\\d+) trace lines left out before authentication "
                           "\\(IP: 127\\.0\\.0\\.1\\)$"));
        int logged = CountLogged("SM: received ") + CountLogged("SM: AcceptIpMsg and QryIP OK - ") +
                     CountLogged("SM: unprocessed states - ");
        traceLeftOut = 0;
        for (const QString& line : LogLines())
            if (const auto m = summary.match(line); m.hasMatch()) {
                logged += m.captured(1).toInt();
                traceLeftOut += m.captured(2).toInt();
            }
        return logged;
    }
    static int TraceCount(const char* text) {
        int n = 0;
        for (size_t at = capturedTrace.find(text); at != std::string::npos;
             at = capturedTrace.find(text, at + 1))
            ++n;
        return n;
    }
};

// A peer that floods and connects again, and a modem that connects in the middle of it.
TEST_F(UnauthenticatedTest, HeaderFloodIsClosedWithinTheAllowanceWhileAGoodModemIsBound) {
    constexpr int Floods = 8;
    TObjectStates* object = AddObject(5);
    const size_t good = pool->Add(Config(5));
    std::vector<std::unique_ptr<TRawPeer>> floods;
    for (int k = 0; k < Floods; ++k) {
        floods.push_back(std::make_unique<TRawPeer>(port));
        floods.back()->Write(Repeat(FloodHeader, 2'000));
        if (k == Floods / 2)
            pool->Open(good);
        PumpOnce();
    }
    ASSERT_TRUE(RunUntil([&] {
        return object->Connected && pool->Modem(good).State() == LinkState::Ready &&
               std::none_of(floods.begin(), floods.end(), [](const auto& f) { return f->StillOpen(); });
    }));
    EXPECT_EQ(SessionCount(), 1);
    EXPECT_EQ(CountLogged("SM: too much data before authentication, closing connection (IP: 127.0.0.1)"),
              Floods);
    EXPECT_EQ(CountLogged("SM: disabling double connection"), 0);

    // The first lines of each as ever, then one line for the rest.
    EXPECT_TRUE(Logged("SM: unprocessed states - 40000000"));
    EXPECT_LE(CountLogged("SM: unprocessed states - "), Floods * TServerConnection::LineAllowance);
    EXPECT_LE(TraceCount("ERROR RX PARSING"), Floods * TServerConnection::LineAllowance);
    int traceLeftOut = 0;
    const int caused = LinesCaused(traceLeftOut);
    EXPECT_GT(traceLeftOut, 0);
    // Two lines for every header the link took and one for every read: each flood ended within the
    // allowance, far short of what it sent. The good modem's few lines are among those counted.
    const int headersTaken = TServerConnection::StrayAllowance / int(FloodHeader.size()) + 1;
    EXPECT_LE(caused, Floods * (2 * headersTaken + 4) + 20);
}

// What a peer sent before it ended is read once, then the connection ends: a flood left behind is
// parsed no further than the allowance, and a modem that sends its AUTH and ends its side is served.
TEST_F(UnauthenticatedTest, FloodLeftBehindByAPeerThatEndedIsReadOnceAndEnds) {
    auto flood = std::make_unique<TRawPeer>(port);
    ASSERT_TRUE(RunUntil([&] { return SessionCount() == 1; }, 0));
    flood->Write(Repeat(FloodHeader, 1'000));
    flood.reset();
    ASSERT_TRUE(RunUntil([&] { return SessionCount() == 0; }, 0));
    EXPECT_EQ(CountLogged("SM: received "), 1);
    EXPECT_LE(CountLogged("SM: unprocessed states - "), TServerConnection::LineAllowance);
    EXPECT_EQ(CountLogged("SM: too much data before authentication"), 1);
}

TEST_F(UnauthenticatedTest, AModemThatSendsItsAuthAndEndsItsSideIsBound) {
    AddObject(5);
    modemsim::ModemSim modem(Config(5));
    modem.Connect(modemsim::MonotonicMs());
    auto peer = std::make_unique<TRawPeer>(port);
    ASSERT_TRUE(RunUntil([&] { return SessionCount() == 1; }, 0));
    peer->Write(Bytes(modem.OutputData(), modem.OutputData() + modem.OutputSize()));
    peer.reset();
    ASSERT_TRUE(RunUntil([&] { return SessionCount() == 0; }, 0));
    EXPECT_TRUE(Logged("CH: new object connected (object №5)"));
}

TEST_F(UnauthenticatedTest, ThreeHundredIdleConnectionsAreAllClosedAfter20Seconds) {
    constexpr int Count = 300;
    // Both ends of every connection are in this process, beside what Qt and the test hold.
    const TDescriptorLimit limit(2 * Count + 200);
    if (!limit.Enough())
        GTEST_SKIP() << "needs " << 2 * Count + 200 << " file descriptors; the hard limit is "
                     << limit.Hard();
    AddObject(5);
    std::vector<std::unique_ptr<TRawPeer>> peers;
    for (int i = 0; i < Count; ++i)
        peers.push_back(std::make_unique<TRawPeer>(port));
    ASSERT_TRUE(RunUntil([&] { return SessionCount() == Count; }, 0)) << SessionCount();
    Advance(19'000, 1000);
    EXPECT_EQ(SessionCount(), Count);
    Advance(2'000, 500);
    EXPECT_EQ(SessionCount(), 0);
    EXPECT_EQ(CountLogged("SM: no authentication within 20 s, closing connection (IP: 127.0.0.1)"), Count);
    EXPECT_EQ(std::count_if(peers.begin(), peers.end(), [](const auto& p) { return p->StillOpen(); }), 0);
    EXPECT_EQ(CountLogged("CH: new object connected"), 0);
    EXPECT_FALSE(FindObjectByNum(5)->Connected);
}

struct HostileCase {
    const char* name;
    Bytes burst;  // written once a second
    int bursts;   // for so many seconds
    bool byBytes; // closed by the allowance, else by the deadline
};

void PrintTo(const HostileCase& h, std::ostream* os) {
    *os << h.name;
}

class HostileTest : public UnauthenticatedTest, public ::testing::WithParamInterface<HostileCase> {};

TEST_P(HostileTest, PeerThatDoesNotAuthenticateIsClosedWithABoundedLog) {
    const HostileCase& h = GetParam();
    TRawPeer peer(port);
    ASSERT_TRUE(RunUntil([&] { return SessionCount() == 1; }, 0));
    for (int second = 0; second < 22 && peer.StillOpen(); ++second) {
        if (second < h.bursts)
            peer.Write(h.burst);
        Advance(1000, 250);
    }
    ASSERT_TRUE(RunUntil([&] { return !peer.StillOpen(); }, 0));
    EXPECT_EQ(SessionCount(), 0);
    EXPECT_EQ(CountLogged("SM: too much data before authentication, closing connection (IP: 127.0.0.1)"),
              h.byBytes ? 1 : 0);
    EXPECT_EQ(CountLogged("SM: no authentication within 20 s, closing connection (IP: 127.0.0.1)"),
              h.byBytes ? 0 : 1);
    const int logged = CountLogged("SM: received ") + CountLogged("SM: AcceptIpMsg and QryIP OK - ") +
                       CountLogged("SM: unprocessed states - ");
    EXPECT_LE(logged, TServerConnection::LineAllowance);
    int traceLeftOut = 0;
    const bool leftOut = LinesCaused(traceLeftOut) > logged || traceLeftOut > 0;
    // Besides: the new connection, InitIp, the closing line and, when lines were left out, the summary.
    EXPECT_EQ(CountLogged("SM: "), logged + 3 + (leftOut ? 1 : 0)) << LogLines().join("\n").toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Peers, HostileTest,
    ::testing::Values(HostileCase{"Idle", {}, 0, false}, HostileCase{"PartialFrame", PartialAuth(), 1, false},
                      HostileCase{"Slowloris", {0x01}, 22, false},
                      HostileCase{"Garbage", Bytes(600, 0x01), 22, true},
                      HostileCase{"ReceiverReadyFrames", Repeat(RrFrame(), 100), 22, true},
                      HostileCase{"InformationFramesBeforeAuth", Repeat(IFrame(), 20), 22, true}),
    [](const auto& info) { return std::string(info.param.name); });

// Stray bytes up to the allowance do not keep a modem from authenticating (its AUTH does not count),
// and from then on every line of its input is logged.
TEST_F(UnauthenticatedTest, ModemAfterStrayBytesIsBoundAndLoggedInFull) {
    TObjectStates* object = AddObject(5);
    TManualModem modem(port, Config(5));
    modem.Write(Repeat(FloodHeader, TServerConnection::StrayAllowance / FloodHeader.size()));
    ASSERT_TRUE(RunUntil([&] { return CountLogged("SM: unprocessed states - ") > 0; }, 0));
    manual.push_back(&modem);
    modem.Connect();
    ASSERT_TRUE(RunUntil([&] { return object->Connected && modem.Modem.State() == LinkState::Ready; }));
    manual.clear();
    const int before = CountLogged("SM: unprocessed states - ");
    const int Headers = 3 * TServerConnection::StrayAllowance / int(FloodHeader.size());
    modem.Write(Repeat(FloodHeader, Headers));
    ASSERT_TRUE(RunUntil([&] { return CountLogged("SM: unprocessed states - ") == before + Headers; }, 0));
    EXPECT_TRUE(modem.Read());
    EXPECT_TRUE(object->Connected);
    EXPECT_EQ(CountLogged("SM: too much data before authentication"), 0);
}

} // namespace
