// What arrives is neither lost nor allowed to hurt: garbage, damaged frames, several frames in one TCP
// chunk, more bytes at once than the link can buffer, and many modems at once.
#include "tests/sessions/SessionFixture.h"

#include "core/ObjectRegistry.h"
#include "tests/platform/TestSupport.h"

namespace {

using modemsim::LinkState;

Bytes Header(uint16_t id, uint8_t type, uint8_t ns, uint8_t nr, uint8_t length) {
    const uint16_t ctl = uint16_t(type | ns << 3 | nr << 6 | length << 9);
    Bytes h = {0x55, 0xAA, uint8_t(id >> 8), uint8_t(id), uint8_t(ctl >> 8), uint8_t(ctl)};
    h.push_back(Crc8(h.data() + 2, 4));
    return h;
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes Pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = uint8_t(seed + i * 5);
    return b;
}

// Bytes without a sync byte.
Bytes Garbage(size_t n) {
    Bytes b = Pattern(n, 1);
    for (uint8_t& x : b)
        if (x == 0x55)
            x = 0x54;
    return b;
}

TEST_F(SessionTest, GarbageFloodNeitherCrashesNorSpins) {
    TObjectStates* object = AddObject(5);
    const size_t i = ConnectModem(Config(5));
    pool->Modem(i).SendGarbage(300'000);
    ASSERT_TRUE(RunUntil([&] { return pool->Modem(i).OutputSize() == 0; }));
    EXPECT_EQ(form->QueryHwInfo(5), 2);
    ASSERT_TRUE(RunUntil([&] { return object->LastDataTime != 0.0; }));
    EXPECT_TRUE(pool->IsOpen(i));
    // One pump round for every read of the socket, none for every buffer's worth of garbage.
    EXPECT_LE(CountLogged("SM: unprocessed states - "), CountLogged("SM: received "));
}

// From an authenticated modem: before authentication such input ends the connection
// (unauthenticated_test).
TEST_F(SessionTest, DamagedFramesNeitherCrashNorSpin) {
    TObjectStates* object = AddObject(5);
    TManualModem peer(port, Config(5));
    manual.push_back(&peer);
    peer.Connect();
    ASSERT_TRUE(RunUntil([&] { return object->Connected && peer.Modem.State() == LinkState::Ready; }));
    manual.clear();
    const Bytes badHeader = [] {
        Bytes h = Header(5, LNK_AUTH, 0, 0, 32);
        h[6] ^= 0x01;
        return h;
    }();
    const Bytes shortAuth = Header(5, LNK_AUTH, 0, 0, 31);
    const Bytes badAuthCrc = Header(5, LNK_AUTH, 0, 0, 32) + Bytes(34, 0x11);
    const Bytes oversize = Header(5, LNK_I, 0, 0, 63);
    const Bytes unusedType = Header(5, 6, 0, 0, 0);
    Bytes stream;
    for (int k = 0; k < 200; ++k)
        stream = stream + badHeader + shortAuth + badAuthCrc + oversize + unusedType + Garbage(37);
    peer.Write(stream);
    ASSERT_TRUE(RunUntil(
        [&] { return CountLogged("SM: received ") > 0 && Logged("SM: unprocessed states - 40000000"); }));
    PumpOnce();
    EXPECT_TRUE(peer.Read());
    EXPECT_TRUE(Logged("SM: unprocessed states - 20000000"));
    // The router still serves modems.
    ConnectModem(Config(5));
    EXPECT_TRUE(FindObjectByNum(5)->Connected);
}

TEST_F(SessionTest, DataFrameThatFailsDecryptionEndsTheSession) {
    TObjectStates* object = AddObject(5);
    const size_t i = ConnectModem(Config(5));
    pool->Modem(i).Inject(modemsim::Fault::BadCrc);
    pool->Modem(i).SetInputs(1, true, modemsim::MonotonicMs());
    ASSERT_TRUE(RunUntil([&] { return !pool->IsOpen(i); }));
    EXPECT_TRUE(Logged("SM: auth. error, closing connection"));
    EXPECT_FALSE(object->Connected);
}

// A handler that throws while the received bytes are fed to the link leaves the session fed after.
TEST_F(SessionTest, ExceptionWhileFeedingLeavesTheSessionServed) {
    TObjectStates* object = AddObject(5);
    profile->Tag = 5;
    profile->show();
    profile->ThrowOnConnect = true;
    dialogs->Expect(mtError, QStringLiteral("editor failed"), mrOk);
    ConnectModem(Config(5));
    ASSERT_NE(SessionOf(5), nullptr);
    EXPECT_FALSE(SessionOf(5)->Feeding);
    EXPECT_EQ(form->QueryHwInfo(5), 2);
    ASSERT_TRUE(RunUntil([&] { return object->LastDataTime != 0.0; }));
    EXPECT_EQ(dialogs->Pending(), 0u);
}

// A modem (driven by hand) that has written two information frames which go out in one TCP chunk.
class ChunkTest : public SessionTest {
protected:
    void SetUp() override {
        object = AddObject(5);
        modemsim::ModemConfig config = Config(5);
        config.resendOnBareAck = false;
        modem = std::make_unique<TManualModem>(port, config);
        manual.push_back(modem.get());
        modem->Connect();
        ASSERT_TRUE(RunUntil([&] { return object->Connected && modem->Modem.State() == LinkState::Ready; }));
        manual.clear();
    }
    // The modem's next frame, held back; an acknowledgement as the router would send it lets the modem
    // write the frame after it.
    Bytes HoldFrame(uint8_t acknowledge) {
        Bytes frame = modem->TakeOutput();
        const Bytes rr = Header(5, LNK_RR, 0, acknowledge, 0);
        modem->Modem.Feed(rr.data(), rr.size(), modemsim::MonotonicMs());
        return frame;
    }
    // An input report and a data block, each held back as the modem wrote it.
    std::pair<Bytes, Bytes> ReportAndBlock(uint8_t inputs, const Bytes& data) {
        const uint32_t now = modemsim::MonotonicMs();
        modem->Modem.SetInputs(inputs, true, now);
        Bytes report = HoldFrame(1);
        modem->Modem.QueueData(data.data(), data.size(), now);
        return {report, HoldFrame(2)};
    }
    Bytes Received() {
        Bytes data(AppBufRxSize);
        data.resize(AppBuf_Pop(object->AppBuf.get(), data.data(), uint32_t(data.size())));
        return data;
    }

    TObjectStates* object = nullptr;
    std::unique_ptr<TManualModem> modem;
};

TEST_F(ChunkTest, TwoFramesInOneChunkAreBothHandled) {
    const Bytes data = Pattern(200, 9);
    const auto [report, block] = ReportAndBlock(0b0110, data);
    modem->Write(report + block);
    ASSERT_TRUE(RunUntil([&] { return object->InputStates[1] != 0; }, 0));
    EXPECT_EQ(object->InputStates, (std::array<int32_t, 4>{0, 1, 1, 0}));
    EXPECT_EQ(Received(), data);
    // The data is acknowledged to the modem.
    manual.push_back(modem.get());
    ASSERT_TRUE(RunUntil([&] { return modem->Modem.PendingData() == 0; }));
    EXPECT_EQ(modem->Modem.Stats().dataResends, 0u);
}

TEST_F(ChunkTest, FrameBeyondTheLinksBufferWaitsAndIsHandled) {
    const Bytes data = Pattern(700, 4);
    const auto [report, block] = ReportAndBlock(0b0001, data);
    // More than the link's buffer holds comes in one chunk: the data frame lies beyond its room.
    const Bytes chunk = report + Garbage(LNK_RXBUF_SIZE * 2) + block;
    ASSERT_GT(chunk.size(), size_t(LNK_RXBUF_SIZE));
    modem->Write(chunk);
    ASSERT_TRUE(
        RunUntil([&] { return object->InputStates[0] != 0 && object->AppBuf->RxFill == data.size(); }, 0));
    EXPECT_EQ(Received(), data);
    EXPECT_TRUE(modem->Read());
}

// An authenticated modem; a peer that never authenticates is closed after 20 s (unauthenticated_test).
TEST_F(SessionTest, SilentPeerIsPolledAndDroppedByTheAcknowledgementTimeOut) {
    AddObject(5);
    const size_t i = ConnectModem(Config(5));
    pool->Modem(i).SetSilent(true, modemsim::MonotonicMs());
    Advance(181'000, 1000);
    EXPECT_TRUE(Logged("SM: polling (object №5)"));
    EXPECT_TRUE(pool->IsOpen(i));
    Advance(21'000, 500);
    EXPECT_TRUE(RunUntil([&] { return !pool->IsOpen(i); }, 0));
    EXPECT_EQ(SessionCount(), 0);
}

TEST_F(SessionTest, FiftyModemsAtOnceAreAllBound) {
    constexpr int Count = 50;
    for (int id = 1; id <= Count; ++id) {
        AddObject(id);
        pool->Add(Config(uint16_t(id)));
    }
    pool->OpenAll();
    ASSERT_TRUE(RunUntil([&] {
        return pool->CountReady() == Count && std::all_of(ObjectList.begin(), ObjectList.end(),
                                                          [](const auto& o) { return o->Connected != 0; });
    })) << pool->CountReady()
        << " ready";
    EXPECT_EQ(SessionCount(), Count);
    for (int id = 1; id <= Count; ++id) {
        ASSERT_NE(SessionOf(id), nullptr) << id;
        EXPECT_EQ(SessionOf(id)->BoundModemId, id);
    }
    EXPECT_EQ(CountLogged("CH: new object connected"), Count);
    EXPECT_EQ(CountLogged("SM: disabling double connection"), 0);
}

} // namespace
