// The router's link functions against the modem simulator, in one process: every byte one side writes
// is handed to the other as it is, and the session layer's part is played here.
#include "protocol/tmgsm.h"
#include "tools/modem-sim/ModemSim.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint16_t Modem = 0x0102;
// Events that must never come up between two sides that keep to the protocol.
constexpr uint32_t LinkFaults = LEV_REJ_SENT | LEV_RNR_SENT | LEV_RNR_RCVD | LEV_ACK_TIMEOUT |
                                LEV_AUTH_ERROR | LEV_HEADER_ERROR | LEV_FRAME_ERROR;

// Frame trace lines of the router: received ("     : ") and sent ("  OUT: ").
struct TraceCount {
    int in = 0, out = 0, repeats = 0;
} traceCount;

bool FrameLine(const std::string& line, const char* dir) {
    return line.rfind(dir, 0) == 0 && line.size() > 16 && line[16] == ',';
}

void CountTrace(const char* text, size_t n) {
    std::string line(text, n);
    traceCount.in += FrameLine(line, "     : ");
    traceCount.out += FrameLine(line, "  OUT: ");
    traceCount.repeats += line.find("NEXT_FRAME_EQUAL.DELETED") != std::string::npos;
}

// One clock for both sides, in milliseconds; the link reads its seconds.
uint32_t nowMs = 0;
uint32_t LinkSeconds() {
    return nowMs / 1000;
}

Bytes Pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = uint8_t(seed + i * 7 + i / 251);
    return b;
}

// The router's end: a link and an application buffer, driven as the session layer drives them.
class RouterEnd {
public:
    RouterEnd() {
        TMGSM_AuthKeysInit(&keys);
        AppBuf_Init(buf.get());
        TMGSM_InitIp(link.get(), &keys, nullptr, 20, nullptr, 0);
    }

    // Hands in bytes from the socket, a frame at a time, and reacts to the answers.
    void Receive(const uint8_t* bytes, size_t n) {
        size_t at = 0;
        while (at < n) {
            size_t taken = 0;
            uint32_t ev = TMGSM_AcceptIpMsg(link.get(), bytes + at, n - at, &taken);
            at += taken;
            React(ev | TMGSM_QryIp(link.get()));
        }
        // Each call takes one frame: go on while frames are still buffered.
        for (uint32_t before = UINT32_MAX; link->RxLen != before;) {
            before = link->RxLen;
            React(TMGSM_QryIp(link.get()));
        }
    }

    // What the session layer sends on its timer: an RR when due, queued S frames, the next request.
    Bytes Send() {
        uint8_t out[LNK_OUT_SIZE];
        uint16_t outLen = 0;
        Bytes wire;
        uint32_t ev = TMGSM_QryIp(link.get());
        React(ev);
        if (linked && !(AppBuf_TxState(buf.get(), nullptr) & (AppBufTxEmpty | AppBufTxInFlight)))
            pending |= REQ_RX_DATA; // data queued and no block in flight
        uint32_t mask = pending;
        if (pending && TMGSM_CreateIpMsg(link.get(), out, &outLen, &mask) != LEV_WAIT_ACK) {
            pending = mask;
            wire.insert(wire.end(), out, out + outLen);
        }
        if (TMGSM_CreateRRMsg(link.get(), out, &outLen) == LEV_SFRAMES)
            wire.insert(wire.end(), out, out + outLen);
        while (TMGSM_GetIpSMsg(link.get(), out, &outLen) == LEV_SFRAMES)
            wire.insert(wire.end(), out, out + outLen);
        return wire;
    }

    AuthKeys keys{};
    std::unique_ptr<IpLink> link = std::make_unique<IpLink>();
    std::unique_ptr<AppBuf> buf = std::make_unique<AppBuf>();
    uint32_t events = 0; // every event seen
    uint32_t pending = 0;
    bool linked = false;
    Bytes received;        // application data taken from the modem
    bool packedIn = false; // some of it came packed

private:
    void React(uint32_t ev) {
        events |= ev;
        if (ev & LEV_AUTH2) {
            AppBuf_Link(buf.get(), link.get());
            linked = true;
            pending |= REQ_AUTH;
        }
        CmdResults& r = link->Results;
        if (r.Answered & REQ_RX_DATA_ACK) {
            r.Answered &= ~REQ_RX_DATA_ACK;
            AppBuf_TxAck(buf.get(), nullptr);
        }
        if (r.Answered & REQ_TX_DATA) {
            r.Answered &= ~REQ_TX_DATA;
            packedIn |= buf->RxPendingWire < buf->RxPendingLen;
            AppBuf_RxGet(buf.get());
            uint8_t chunk[512];
            while (uint32_t n = AppBuf_Pop(buf.get(), chunk, sizeof chunk))
                received.insert(received.end(), chunk, chunk + n);
            pending |= REQ_TX_DATA_ACK;
        }
    }
};

class LinkSimTest : public ::testing::Test {
protected:
    void SetUp() override {
        traceCount = {};
        nowMs = 0;
        Trace_SetSink(CountTrace);
        TMGSM_SetLinkClock(LinkSeconds);
        modemsim::ModemConfig cfg;
        cfg.id = Modem;
        modem = std::make_unique<modemsim::ModemSim>(cfg);
    }
    void TearDown() override {
        Trace_SetSink(nullptr);
        TMGSM_SetLinkClock(nullptr);
    }

    // Moves bytes both ways until neither side has anything more to say.
    void Exchange(int rounds = 64) {
        for (int n = 0; n < rounds; ++n) {
            nowMs += 10;
            modem->Tick(nowMs);
            size_t fromModem = modem->OutputSize();
            if (fromModem) {
                Bytes wire(modem->OutputData(), modem->OutputData() + fromModem);
                modem->ConsumeOutput(fromModem);
                router->Receive(wire.data(), wire.size());
            }
            Bytes toModem = router->Send();
            if (!toModem.empty())
                modem->Feed(toModem.data(), toModem.size(), nowMs);
            if (!fromModem && toModem.empty() && modem->OutputSize() == 0)
                return;
        }
        FAIL() << "the two sides did not come to rest";
    }

    void Authenticate() {
        modem->Connect(nowMs);
        Exchange();
        ASSERT_EQ(modem->State(), modemsim::LinkState::Ready) << modemsim::LinkState_Name(modem->State());
        ASSERT_TRUE(router->events & LEV_AUTH2);
    }

    void ExpectCleanExchange() {
        EXPECT_EQ(router->events & LinkFaults, 0u) << std::hex << router->events;
        const modemsim::ModemStats& s = modem->Stats();
        EXPECT_EQ(s.badHeaders + s.badLengths + s.badAuthCrcs + s.badBlocks + s.garbageBytes, 0u);
        EXPECT_EQ(s.rejIn + s.rnrIn + s.rejOut + s.repeatsIn + s.outOfSequenceIn + s.retransmits, 0u);
        EXPECT_EQ(router->link->RxLen, 0);
        EXPECT_EQ(router->link->Flags & LNK_UNACKED, 0u);
        EXPECT_TRUE(modem->Idle());
        // Every frame one side wrote was taken by the other as one frame.
        EXPECT_EQ(traceCount.in, int(s.framesOut));
        EXPECT_EQ(traceCount.out, int(s.framesIn));
    }

    std::unique_ptr<RouterEnd> router = std::make_unique<RouterEnd>();
    std::unique_ptr<modemsim::ModemSim> modem;
};

TEST_F(LinkSimTest, AuthAndReplyAgreeOnTheSessionKey) {
    Authenticate();
    EXPECT_EQ(TMGSM_IpAuthRes(router->link.get()), 1);
    EXPECT_EQ(router->link->ModemId, Modem);
    EXPECT_EQ(router->link->Results.HwInfo.VersionNo, 105u);
    EXPECT_EQ(memcmp(modem->SessionKey(), router->link->Auth.SessKey, 16), 0);
    EXPECT_EQ(router->pending, 0u);
    ExpectCleanExchange();
}

TEST_F(LinkSimTest, HardwareInformationIsAskedForAndParsed) {
    Authenticate();
    HwInfo& hw = router->link->Results.HwInfo;
    memset(hw.Version, 0, sizeof hw.Version); // the AUTH set them; the answer must set them again
    hw.InputBits = 0;
    modem->SetInputs(0x5, false, nowMs);
    router->pending |= REQ_GET_HW_INFO;
    Exchange();
    EXPECT_EQ(modem->Stats().commands[CMD_GET_HW_INFO], 1u);
    const CmdResults& r = router->link->Results;
    EXPECT_TRUE(r.Answered & REQ_GET_HW_INFO);
    EXPECT_EQ(r.Errors, 0u);
    const uint8_t version[4] = {1, 5, 0, 0};
    EXPECT_EQ(memcmp(r.HwInfo.Version, version, 4), 0);
    EXPECT_EQ(r.HwInfo.VersionNo, 105u);
    EXPECT_EQ(r.HwInfo.InputBits & 0xF, 0x5);
    ExpectCleanExchange();
}

TEST_F(LinkSimTest, ApplicationDataGoesBothWaysWithAcknowledgements) {
    struct Case {
        const char* name;
        bool packed; // the modem offers packing in its AUTH and packs its own data
        Bytes down, up;
    };
    Bytes text;
    for (int n = 0; n < 120; ++n)
        text.insert(text.end(), {'v', 'a', 'l', 'v', 'e', ' ', uint8_t('0' + n % 10), ';', ' '});
    const Case cases[] = {
        {"plain", false, Pattern(2500, 3), Pattern(1800, 9)},
        {"packed", true, text, Bytes(text.rbegin(), text.rend())},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        modemsim::ModemConfig cfg;
        cfg.id = Modem;
        cfg.options = c.packed ? 1 : 0;
        cfg.packData = c.packed;
        modem = std::make_unique<modemsim::ModemSim>(cfg);
        router = std::make_unique<RouterEnd>();
        traceCount = {};
        Authenticate();
        EXPECT_EQ((router->link->Options & 2) != 0, c.packed);
        ASSERT_EQ(AppBuf_Push(router->buf.get(), c.down.data(), uint32_t(c.down.size())), c.down.size());
        ASSERT_EQ(modem->QueueData(c.up.data(), c.up.size(), nowMs), c.up.size());
        Exchange(400);
        EXPECT_EQ(modem->ReceivedData(), c.down);
        EXPECT_EQ(router->received, c.up);
        EXPECT_EQ(router->packedIn, c.packed);
        EXPECT_EQ(modem->Stats().commands[CMD_RX_DATA_PACKED] > 0, c.packed);
        EXPECT_EQ(router->buf->TxFill, 0u);
        EXPECT_TRUE(router->events & LEV_DATA);
        EXPECT_EQ(modem->PendingData(), 0u);
        EXPECT_EQ(modem->Stats().dataRepeatsIn + modem->Stats().dataResends, 0u);
        EXPECT_TRUE(modem->TakeEvents() & modemsim::EvDataAcked);
        ExpectCleanExchange();
    }
}

TEST_F(LinkSimTest, RepeatedFrameOfTheModemIsTakenOnce) {
    Authenticate();
    modem->Inject(modemsim::Fault::Duplicate);
    router->pending |= REQ_GET_HW_INFO;
    Exchange();
    EXPECT_TRUE(router->link->Results.Answered & REQ_GET_HW_INFO);
    EXPECT_EQ(traceCount.repeats, 1);
    EXPECT_EQ(router->events & LinkFaults, 0u) << std::hex << router->events;
    EXPECT_TRUE(modem->Idle());
}

} // namespace
