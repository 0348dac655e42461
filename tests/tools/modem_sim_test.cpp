// The simulator's protocol core on byte buffers, against a router side written in the test.
#include "tests/tools/RouterPeer.h"
#include "tools/modem-sim/ModemSim.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>

using namespace modemsim;

namespace {

const uint8_t kNonce[16] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7,
                            0xA8, 0xA9, 0xAA, 0xAB, 0xAC, 0xAD, 0xAE, 0xAF};

Bytes Text(const char* s) {
    return Bytes(s, s + strlen(s));
}

Bytes Cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// An RxData item: code, data ID, length, data.
Bytes RxDataItem(uint16_t id, const Bytes& data) {
    Bytes item = {4, uint8_t(id >> 8), uint8_t(id), uint8_t(data.size() >> 8), uint8_t(data.size())};
    return Cat(item, data);
}

// A TxDataAck item: code, router not ready, bytes taken.
Bytes TxDataAckItem(uint8_t rnr, uint16_t taken) {
    return {7, rnr, uint8_t(taken >> 8), uint8_t(taken)};
}

class ModemSimTest : public ::testing::Test {
protected:
    ModemSimTest() { cfg.id = 0x0102; }

    void Create() {
        modem = std::make_unique<ModemSim>(cfg);
        router = std::make_unique<RouterPeer>(cfg.key);
    }

    // Connects, checks the AUTH, answers it; the modem is then ready.
    void Start(uint16_t rxId = 0xFFFF, uint16_t rxSize = 0xFFFF) {
        if (!modem)
            Create();
        modem->Connect(now);
        const std::vector<PeerFrame> auth = Out();
        ASSERT_EQ(auth.size(), 1u);
        ASSERT_TRUE(router->TakeAuth(auth[0]));
        Feed(router->Reply(kNonce, rxId, rxSize));
        ASSERT_EQ(modem->State(), LinkState::Ready);
        ASSERT_EQ(modem->TakeEvents() & EvAuthOk, EvAuthOk);
    }

    Bytes Drain() {
        Bytes b(modem->OutputData(), modem->OutputData() + modem->OutputSize());
        modem->ConsumeOutput(b.size());
        return b;
    }

    // The modem's output as frames; fails the test when it is not a run of whole, sound frames.
    std::vector<PeerFrame> Out() {
        std::vector<PeerFrame> frames;
        std::string why;
        EXPECT_TRUE(router->Split(Drain(), &frames, &why)) << why;
        for (const PeerFrame& f : frames) {
            EXPECT_EQ(f.id, cfg.id);
            if (f.type == 0 || f.type == 5) {
                EXPECT_TRUE(f.opened);
            }
        }
        return frames;
    }

    void Feed(const Bytes& b) { modem->Feed(b.data(), b.size(), now); }

    // Sends an I frame with these items and returns the modem's answer frames.
    std::vector<PeerFrame> Command(const Bytes& items) {
        Feed(router->Command(items));
        return Out();
    }

    // Takes the modem's I frame as the router does: checks N(S) and acknowledges it with an RR.
    void AckWithRR(const PeerFrame& f) {
        ASSERT_EQ(f.type, 0);
        ASSERT_EQ(f.ns, router->vr);
        router->vr = uint8_t((router->vr + 1) & 7);
        Feed(router->Supervisory(1, router->vr));
    }

    ModemConfig cfg;
    std::unique_ptr<ModemSim> modem;
    std::unique_ptr<RouterPeer> router;
    uint32_t now = 1000;
};

} // namespace

TEST_F(ModemSimTest, AuthCarriesIdVersionDataIdsAndOptions) {
    cfg.version[0] = 1;
    cfg.version[1] = 3;
    cfg.version[2] = 0;
    cfg.version[3] = 7;
    cfg.options = 1;
    Create();
    modem->Connect(now);
    const std::vector<PeerFrame> frames = Out();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].type, FrameAuth);
    EXPECT_EQ(frames[0].length, 32);
    ASSERT_TRUE(router->TakeAuth(frames[0]));
    EXPECT_EQ(router->versionWord, 0xFFFE1307u);
    EXPECT_EQ(router->lastRxId, 0xFFFF); // nothing received yet
    EXPECT_EQ(router->lastRxSize, 0xFFFF);
    EXPECT_EQ(router->options, 1u);
    EXPECT_EQ(modem->State(), LinkState::AuthSent);
}

TEST_F(ModemSimTest, EachConnectionSendsAFreshRandomValue) {
    Create();
    modem->Connect(now);
    ASSERT_TRUE(router->TakeAuth(Out()[0]));
    const Bytes first(router->random, router->random + 16);
    modem->Connect(now);
    ASSERT_TRUE(router->TakeAuth(Out()[0]));
    EXPECT_NE(Bytes(router->random, router->random + 16), first);
}

TEST_F(ModemSimTest, ReplyGivesTheSessionKeyOfBothRandomValues) {
    Start();
    EXPECT_EQ(Bytes(modem->SessionKey(), modem->SessionKey() + 16),
              Bytes(router->sessKey, router->sessKey + 16));
    EXPECT_TRUE(Out().empty()); // nothing to say yet
    EXPECT_TRUE(modem->Idle());
}

TEST_F(ModemSimTest, DamagedReplyFailsAndStopsTheModem) {
    Create();
    modem->Connect(now);
    ASSERT_TRUE(router->TakeAuth(Out()[0]));
    Bytes reply = router->Reply(kNonce);
    reply[7 + 21] ^= 1; // a proof byte; the CRC-16 is made again below
    const uint16_t crc = Crc16(reply.data() + 7, 32);
    reply[39] = uint8_t(crc >> 8);
    reply[40] = uint8_t(crc);
    Feed(reply);
    EXPECT_EQ(modem->State(), LinkState::AuthFailed);
    EXPECT_EQ(modem->ReplyFault(), ReplyCheck::BadProof);
    EXPECT_EQ(modem->TakeEvents() & EvAuthFailed, EvAuthFailed);
    Feed(router->Command({11}));
    EXPECT_TRUE(Out().empty());
}

TEST_F(ModemSimTest, KindOneAndZeroModemsWaitWithoutReply) {
    for (uint8_t kind : {0, 1}) {
        cfg.authKind = kind;
        Create();
        modem->Connect(now);
        ASSERT_TRUE(router->TakeAuth(Out()[0]));
        EXPECT_EQ(router->versionWord, kind ? 0xFFFF1500u : 0x01050000u);
        Feed(router->Reply(kNonce));
        EXPECT_EQ(modem->State(), LinkState::AuthSent);
        EXPECT_EQ(modem->VersionNo(), 0u);
    }
}

TEST_F(ModemSimTest, HardwareInformationHasTheLayoutOfTypeAndVersion) {
    struct Case {
        uint8_t major, minor, type;
        size_t length; // after the code byte
    };
    // 2 + 2 + 4 + 12 [+ 16 for types 2-4] + 12 [+ 8 from 104] [+ 19 from 105] + 13 [+ 1 below 105]
    const Case cases[] = {
        {1, 3, 0, 46}, {1, 3, 2, 62}, {1, 4, 0, 54}, {1, 4, 4, 70},
        {1, 5, 0, 72}, {1, 5, 2, 88}, {1, 5, 3, 88},
    };
    for (const Case& c : cases) {
        cfg.version[0] = c.major;
        cfg.version[1] = c.minor;
        cfg.hwType = c.type;
        cfg.inputs = 0x5;
        modem.reset();
        Start();
        const std::vector<PeerFrame> answer = Command({11});
        ASSERT_EQ(answer.size(), 1u);
        const Bytes& p = answer[0].payload;
        ASSERT_GE(p.size(), 1 + c.length + 1);
        EXPECT_EQ(p[0], 0x8B);
        EXPECT_EQ(p[1], c.type);
        EXPECT_EQ(p[2], c.length - 2) << int(c.minor) << "/" << int(c.type);
        EXPECT_EQ(p[3], 0x10 | c.minor);
        EXPECT_EQ(p[1 + c.length], 0xFF); // end of items
        const size_t status = c.minor >= 5 ? 1 + c.length - 32 : c.length;
        EXPECT_EQ(p[status] & 15, 0x5);
        EXPECT_EQ(answer[0].nr, 1); // acknowledges the command
    }
}

TEST_F(ModemSimTest, AnswersAreAcknowledgedByRRAndCommandsWithNothingToAnswerGetAnRR) {
    Start();
    std::vector<PeerFrame> answer = Command({11});
    ASSERT_EQ(answer.size(), 1u);
    EXPECT_EQ(answer[0].ns, 0);
    AckWithRR(answer[0]);
    EXPECT_TRUE(Out().empty());
    EXPECT_TRUE(modem->Idle());

    answer = Command({15}); // Null: only acknowledged
    ASSERT_EQ(answer.size(), 1u);
    EXPECT_EQ(answer[0].type, FrameRR);
    EXPECT_EQ(answer[0].nr, 2);
    EXPECT_EQ(modem->Stats().commands[15], 1u);

    answer = Command({11});
    ASSERT_EQ(answer.size(), 1u);
    EXPECT_EQ(answer[0].ns, 1);
    EXPECT_EQ(answer[0].nr, 3);
}

TEST_F(ModemSimTest, WhileItsFrameIsUnacknowledgedTheModemAcknowledgesByRRAndAnswersLater) {
    Start();
    std::vector<PeerFrame> first = Command({11});
    ASSERT_EQ(first.size(), 1u);
    std::vector<PeerFrame> second = Command({2});
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(second[0].type, FrameRR);
    EXPECT_EQ(second[0].nr, 2);
    AckWithRR(first[0]);
    const std::vector<PeerFrame> later = Out();
    ASSERT_EQ(later.size(), 1u);
    EXPECT_EQ(later[0].type, FrameI);
    EXPECT_EQ(later[0].ns, 1);
    EXPECT_EQ(later[0].payload[0], 0x82);
}

TEST_F(ModemSimTest, ProfilePartsAreStoredAndReturned) {
    Start();
    Bytes p1(92), p2(43), poll(144), sms(407);
    for (size_t i = 0; i < p1.size(); ++i)
        p1[i] = uint8_t(i * 3);
    for (size_t i = 0; i < p2.size(); ++i)
        p2[i] = uint8_t(200 - i);
    for (size_t i = 0; i < poll.size(); ++i)
        poll[i] = uint8_t(i);
    for (size_t i = 0; i < sms.size(); ++i)
        sms[i] = uint8_t(i ^ 0x5A);
    Bytes set = Cat(Cat(Bytes{0}, p1), Cat(Bytes{1}, p2));
    std::vector<PeerFrame> a = Command(set);
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(Bytes(a[0].payload.begin(), a[0].payload.begin() + 3), (Bytes{0x80, 0x81, 0xFF}));
    AckWithRR(a[0]);

    a = Command(Cat(Cat(Bytes{18}, poll), Cat(Bytes{23}, sms)));
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(Bytes(a[0].payload.begin(), a[0].payload.begin() + 3), (Bytes{0x92, 0x97, 0xFF}));
    AckWithRR(a[0]);

    a = Command({16, 10, 0, 0, 1, 0x1F, 0x90}); // SetIp 10.0.0.1:8080
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(a[0].payload[0], 0x90);
    AckWithRR(a[0]);
    Bytes expected1 = p1;
    memcpy(expected1.data(), Bytes{10, 0, 0, 1, 0x1F, 0x90}.data(), 6);

    a = Command({2, 3, 19, 24});
    ASSERT_EQ(a.size(), 1u);
    const Bytes expected =
        Cat(Cat(Cat(Cat(Bytes{0x82}, expected1), Cat(Bytes{0x83}, p2)), Cat(Bytes{0x93}, poll)),
            Cat(Bytes{0x98}, sms));
    ASSERT_GT(a[0].payload.size(), expected.size());
    EXPECT_EQ(Bytes(a[0].payload.begin(), a[0].payload.begin() + ptrdiff_t(expected.size())), expected);
    EXPECT_EQ(a[0].payload[expected.size()], 0xFF);
}

TEST_F(ModemSimTest, SmallCommandsAreConfirmedAndKept) {
    Start();
    uint8_t newKey[16];
    memcpy(newKey, "ABCDEFGHIJKLMNOP", 16);
    Bytes items = Cat(Bytes{8}, Bytes(newKey, newKey + 16));
    items = Cat(items, {9, 0x43, 0x21, 13, 0x00, 0x07, 20});
    const std::vector<PeerFrame> a = Command(items);
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(Bytes(a[0].payload.begin(), a[0].payload.begin() + 8),
              (Bytes{0x88, 0x89, 0x8D, 0x94, 0, 4, 0, 0xFF})); // GetLog: an empty log of 4-byte entries
    EXPECT_EQ(modem->HwId(), 0x4321);
    EXPECT_EQ(modem->ClrStatArg(), 7);
    EXPECT_EQ(modem->TakeEvents() & EvKeyChanged, EvKeyChanged);

    // The new key is used from the next connection on.
    modem->Connect(now);
    RouterPeer withNewKey(newKey);
    const std::vector<PeerFrame> auth = Out();
    ASSERT_EQ(auth.size(), 1u);
    EXPECT_FALSE(router->TakeAuth(auth[0]));
    EXPECT_TRUE(withNewKey.TakeAuth(auth[0]));
}

TEST_F(ModemSimTest, UnknownOrUnexpectedCodesEndTheItems) {
    Start();
    const std::vector<PeerFrame> a = Command({11, 14, 2}); // GprsClose ends the block
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(a[0].payload[0], 0x8B);
    EXPECT_EQ(modem->Stats().commands[2], 0u);
    AckWithRR(a[0]);
    const std::vector<PeerFrame> cut = Command({0, 1, 2, 3}); // SetProfile1 without its 92 bytes
    ASSERT_EQ(cut.size(), 1u);
    EXPECT_EQ(cut[0].type, FrameRR);
}

TEST_F(ModemSimTest, RouterDataIsDeliveredOnceAndAcknowledgedWithInputs) {
    cfg.inputs = 0xA;
    Start();
    std::vector<PeerFrame> a = Command(RxDataItem(0, Text("hello")));
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(Bytes(a[0].payload.begin(), a[0].payload.begin() + 4), (Bytes{0x85, 0, 0xA0, 5}));
    EXPECT_EQ(modem->ReceivedData(), Text("hello"));
    EXPECT_EQ(modem->TakeEvents() & EvDataReceived, EvDataReceived);
    AckWithRR(a[0]);

    // The same data ID again (the router did not see the acknowledgement): acknowledged, not kept twice.
    a = Command(RxDataItem(0, Text("hello")));
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(a[0].payload[3], 5);
    EXPECT_EQ(modem->ReceivedData(), Text("hello"));
    EXPECT_EQ(modem->Stats().dataRepeatsIn, 1u);
    AckWithRR(a[0]);

    a = Command(RxDataItem(1, Text(" world")));
    AckWithRR(a[0]);
    EXPECT_EQ(modem->ReceivedData(), Text("hello world"));
    EXPECT_EQ(modem->LastRxId(), 1);

    // The next AUTH names the last block received.
    modem->Connect(now);
    ASSERT_TRUE(router->TakeAuth(Out()[0]));
    EXPECT_EQ(router->lastRxId, 1);
    EXPECT_EQ(router->lastRxSize, 6);
}

TEST_F(ModemSimTest, NotReadyModemTakesNothing) {
    Start();
    modem->SetRxNotReady(true);
    const std::vector<PeerFrame> a = Command(RxDataItem(0, Text("data")));
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(Bytes(a[0].payload.begin(), a[0].payload.begin() + 4), (Bytes{0x85, 1, 0, 0}));
    EXPECT_TRUE(modem->ReceivedData().empty());
}

TEST_F(ModemSimTest, ModemDataGoesInTxDataAndIsSettledByTxDataAck) {
    cfg.inputs = 3;
    Start();
    const Bytes data = Text("from the modem");
    modem->QueueData(data.data(), data.size(), now);
    std::vector<PeerFrame> a = Out();
    ASSERT_EQ(a.size(), 1u);
    const Bytes head = {0x86, 3, 0, 0, 0, uint8_t(data.size()), 0x04, 0x00};
    EXPECT_EQ(Bytes(a[0].payload.begin(), a[0].payload.begin() + 8), head);
    EXPECT_EQ(Bytes(a[0].payload.begin() + 8, a[0].payload.begin() + 8 + ptrdiff_t(data.size())), data);

    // The router takes it and acknowledges in an AI frame that carries TxDataAck.
    router->vr = 1;
    Feed(router->Info(FrameAI, 0, router->vr, TxDataAckItem(0, uint16_t(data.size()))));
    EXPECT_TRUE(Out().empty()); // an AI frame is not acknowledged
    EXPECT_EQ(modem->PendingData(), 0u);
    EXPECT_EQ(modem->NextTxId(), 1);
    EXPECT_EQ(modem->Stats().dataBytesAcked, data.size());
    EXPECT_TRUE(modem->Idle());
}

TEST_F(ModemSimTest, DataWithoutAvailAndInLargeQueuesFillsBlocks) {
    cfg.woAvail = true;
    Start();
    Bytes data(2500);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = uint8_t(i * 7);
    modem->QueueData(data.data(), data.size(), now);
    Bytes got;
    for (uint16_t id = 0; got.size() < data.size(); ++id) {
        const std::vector<PeerFrame> a = Out();
        ASSERT_EQ(a.size(), 1u);
        const Bytes& p = a[0].payload;
        EXPECT_EQ(p[0], 0x95);
        EXPECT_EQ(Get_U16BE(&p[2]), id);
        const size_t n = Get_U16BE(&p[4]);
        EXPECT_LE(6 + n, 1008u);
        got.insert(got.end(), p.begin() + 6, p.begin() + 6 + ptrdiff_t(n));
        router->vr = uint8_t((router->vr + 1) & 7);
        Feed(router->Info(FrameAI, 0, router->vr, TxDataAckItem(0, uint16_t(n))));
    }
    EXPECT_EQ(got, data);
    EXPECT_EQ(modem->Stats().dataBlocksAcked, 3u);
}

TEST_F(ModemSimTest, DataAcknowledgedOnlyByRRGoesAgainUnderItsDataId) {
    Start();
    const Bytes data = Text("dropped");
    modem->QueueData(data.data(), data.size(), now);
    std::vector<PeerFrame> a = Out();
    ASSERT_EQ(a.size(), 1u);
    AckWithRR(a[0]); // the router dropped the data but took the frame
    a = Out();
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(a[0].ns, 1);
    EXPECT_EQ(Get_U16BE(&a[0].payload[2]), 0); // the same data ID
    EXPECT_EQ(modem->Stats().dataResends, 1u);
}

TEST_F(ModemSimTest, DataAckTimeoutSendsTheBlockAgainWhenBareAcksAreTrusted) {
    cfg.resendOnBareAck = false;
    cfg.dataAckTimeoutMs = 5000;
    Start();
    const Bytes data = Text("slow");
    modem->QueueData(data.data(), data.size(), now);
    std::vector<PeerFrame> a = Out();
    AckWithRR(a[0]);
    EXPECT_TRUE(Out().empty());
    now += 4999;
    modem->Tick(now);
    EXPECT_TRUE(Out().empty());
    now += 1;
    modem->Tick(now);
    a = Out();
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(Get_U16BE(&a[0].payload[2]), 0);
}

TEST_F(ModemSimTest, RouterRnrInTxDataAckHoldsTheNextBlock) {
    cfg.rnrRetryMs = 700;
    Start();
    modem->QueueData(Text("abcdef").data(), 6, now);
    std::vector<PeerFrame> a = Out();
    router->vr = 1;
    Feed(router->Info(FrameAI, 0, 1, TxDataAckItem(1, 2))); // took 2 bytes, then full
    EXPECT_EQ(modem->PendingData(), 4u);
    EXPECT_TRUE(Out().empty());
    now += 700;
    modem->Tick(now);
    a = Out();
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(Get_U16BE(&a[0].payload[2]), 1);
    EXPECT_EQ(Bytes(a[0].payload.begin() + 8, a[0].payload.begin() + 12), Text("cdef"));
}

TEST_F(ModemSimTest, ReconnectSettlesOrResendsTheBlockInFlight) {
    for (bool arrived : {true, false}) {
        modem.reset();
        Start();
        modem->QueueData(Text("12345").data(), 5, now);
        ASSERT_EQ(Out().size(), 1u); // data ID 0 in flight when the connection ends
        modem->Disconnect();
        if (arrived)
            Start(0, 3); // the router took 3 of its bytes
        else
            Start(0xFFFF, 0xFFFF);
        const std::vector<PeerFrame> a = Out();
        ASSERT_EQ(a.size(), 1u);
        EXPECT_EQ(Get_U16BE(&a[0].payload[2]), arrived ? 1 : 0);
        EXPECT_EQ(a[0].payload[5], arrived ? 2 : 5);
    }
}

TEST_F(ModemSimTest, InputReportsGoAsGetInputsAnswers) {
    Start();
    modem->SetInputs(0x6, true, now);
    const std::vector<PeerFrame> a = Out();
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(Bytes(a[0].payload.begin(), a[0].payload.begin() + 3), (Bytes{0x91, 0x6, 0xFF}));
}

TEST_F(ModemSimTest, SequenceRulesForRouterFrames) {
    Start();
    std::vector<PeerFrame> a = Command({15});
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(a[0].nr, 1);

    // A repeat of the last frame: acknowledged again, not processed again.
    Feed(router->Info(FrameI, 0, 0, {11}));
    a = Out();
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(a[0].type, FrameRR);
    EXPECT_EQ(a[0].nr, 1);
    EXPECT_EQ(modem->Stats().commands[11], 0u);
    EXPECT_EQ(modem->Stats().repeatsIn, 1u);

    // Out of sequence: REJ with the expected N(S).
    Feed(router->Info(FrameI, 3, 0, {11}));
    a = Out();
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(a[0].type, FrameREJ);
    EXPECT_EQ(a[0].nr, 1);
    EXPECT_EQ(modem->Stats().commands[11], 0u);

    // AI: processed, answered, but no sequence number taken.
    Feed(router->Info(FrameAI, 6, 0, {2}));
    a = Out();
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(a[0].type, FrameI);
    EXPECT_EQ(a[0].nr, 1);
    EXPECT_EQ(a[0].payload[0], 0x82);
}

TEST_F(ModemSimTest, OwnFrameGoesAgainAfterRejRnrAndTimeout) {
    cfg.ackTimeoutMs = 3000;
    cfg.rnrRetryMs = 500;
    Start();
    std::vector<PeerFrame> a = Command({11});
    ASSERT_EQ(a.size(), 1u);
    const Bytes first = a[0].payload;

    Feed(router->Supervisory(FrameREJ, 0));
    a = Out();
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(a[0].ns, 0);
    EXPECT_EQ(a[0].payload, first);

    Feed(router->Supervisory(FrameRNR, 0));
    EXPECT_TRUE(Out().empty());
    now += 500;
    modem->Tick(now);
    a = Out();
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(a[0].ns, 0);

    now += 2999;
    modem->Tick(now);
    EXPECT_TRUE(Out().empty());
    now += 1;
    modem->Tick(now);
    a = Out();
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(a[0].ns, 0);
    EXPECT_EQ(modem->TakeEvents() & EvAckTimeout, EvAckTimeout);
    EXPECT_EQ(modem->Stats().retransmits, 3u);

    // An RR acknowledging it ends the retries.
    AckWithRR(a[0]);
    now += 10000;
    modem->Tick(now);
    EXPECT_TRUE(Out().empty());
}

TEST_F(ModemSimTest, FirmwareBlocksAreHeldAndReportedInTheUpdateContext) {
    Start();
    // An image of 3 data blocks: header block with count and data MD5, then the blocks.
    Bytes blocks(3 * 128);
    for (size_t i = 0; i < blocks.size(); ++i)
        blocks[i] = uint8_t(i * 13 + 1);
    Bytes header(128, 0);
    header[0] = 3;
    Md5_Digest(blocks.data(), uint32_t(blocks.size()), &header[4]);

    std::vector<PeerFrame> a = Command({12});
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(a[0].payload[0], 0x8C);
    EXPECT_EQ(Bytes(a[0].payload.begin() + 1, a[0].payload.begin() + 5), (Bytes{0, 0, 0, 0}));
    AckWithRR(a[0]);

    // Header and two data blocks (b = 0x82), then GetUpdCtx.
    Bytes item = Cat(Cat(Bytes{10, 0x82}, header), Bytes(blocks.begin(), blocks.begin() + 256));
    a = Command(Cat(item, {12}));
    ASSERT_EQ(a.size(), 1u);
    const Bytes& p = a[0].payload;
    EXPECT_EQ(p[0], 0x8A);
    EXPECT_EQ(p[1], 0x8C);
    EXPECT_EQ(Get_U16BE(&p[2]), 3); // header and two blocks held
    EXPECT_EQ(Get_U16BE(&p[4]), 3);
    EXPECT_EQ(Bytes(p.begin() + 6, p.begin() + 22), Bytes(header.begin() + 4, header.begin() + 20));
    uint8_t raw[16];
    Md5_RawState(blocks.data(), 256, raw);
    EXPECT_EQ(Bytes(p.begin() + 22, p.begin() + 38), Bytes(raw, raw + 16));
    AckWithRR(a[0]);

    // The last block: the finished digest.
    item = Cat(Bytes{10, 0x00}, Bytes(blocks.begin() + 256, blocks.end()));
    a = Command(Cat(item, {12}));
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(Get_U16BE(&a[0].payload[2]), 4);
    EXPECT_EQ(Bytes(a[0].payload.begin() + 22, a[0].payload.begin() + 38),
              Bytes(header.begin() + 4, header.begin() + 20));
    EXPECT_EQ(modem->Update().held, 4);
}

TEST_F(ModemSimTest, OneShotFaultsDamageOnlyTheFrameOnTheWire) {
    Start();
    // Bad payload CRC on the next I frame.
    modem->Inject(Fault::BadCrc);
    Feed(router->Command({11}));
    Bytes wire = Drain();
    std::vector<PeerFrame> frames;
    std::string why;
    ASSERT_TRUE(router->Split(wire, &frames, &why)) << why;
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_FALSE(frames[0].opened);
    // A REJ brings the sound frame.
    Feed(router->Supervisory(FrameREJ, 0));
    std::vector<PeerFrame> a = Out();
    ASSERT_EQ(a.size(), 1u);
    AckWithRR(a[0]);

    // Header CRC on the next frame of any type (here an RR).
    modem->Inject(Fault::BadHeaderCrc);
    Feed(router->Command({15}));
    wire = Drain();
    ASSERT_EQ(wire.size(), 7u);
    EXPECT_NE(Crc8(wire.data() + 2, 5), 0);

    // Out of sequence: N(S) one too high on the wire.
    modem->Inject(Fault::OutOfSequence);
    a = Command({11});
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(a[0].ns, 2);
    Feed(router->Supervisory(FrameREJ, 1));
    a = Out();
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(a[0].ns, 1);
    AckWithRR(a[0]);

    // Duplicate: the same bytes twice.
    modem->Inject(Fault::Duplicate);
    Feed(router->Command({2}));
    wire = Drain();
    ASSERT_EQ(wire.size() % 2, 0u);
    EXPECT_EQ(Bytes(wire.begin(), wire.begin() + ptrdiff_t(wire.size() / 2)),
              Bytes(wire.begin() + ptrdiff_t(wire.size() / 2), wire.end()));
}

TEST_F(ModemSimTest, AuthFaults) {
    Create();
    modem->Inject(Fault::WrongKey);
    modem->Connect(now);
    std::vector<PeerFrame> a = Out();
    ASSERT_EQ(a.size(), 1u);
    EXPECT_FALSE(router->TakeAuth(a[0]));

    modem->Inject(Fault::BadCrc);
    modem->Connect(now);
    const Bytes wire = Drain();
    ASSERT_EQ(wire.size(), 41u);
    EXPECT_NE(Crc16(wire.data() + 7, 34), 0);

    modem->Connect(now); // one-shot: the next AUTH is sound
    a = Out();
    ASSERT_EQ(a.size(), 1u);
    EXPECT_TRUE(router->TakeAuth(a[0]));
}

TEST_F(ModemSimTest, GarbageHasNoSyncByte) {
    Start();
    modem->SendGarbage(5000);
    const Bytes wire = Drain();
    ASSERT_EQ(wire.size(), 5000u);
    for (uint8_t b : wire)
        ASSERT_NE(b, 0x55);
}

TEST_F(ModemSimTest, SilentModemSendsNothingAndCatchesUpAfterwards) {
    Start();
    modem->SetSilent(true, now);
    Feed(router->Command({11}));
    modem->QueueData(Text("x").data(), 1, now);
    now += 60000;
    modem->Tick(now);
    EXPECT_EQ(modem->OutputSize(), 0u);
    modem->SetSilent(false, now);
    const std::vector<PeerFrame> a = Out();
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(a[0].payload[0], 0x8B);
    EXPECT_EQ(a[0].payload[73], 0x86); // TxData right after the 73-byte hardware information
}

TEST_F(ModemSimTest, NeverAckingModemKeepsItsNrAndSendsNoRR) {
    Start();
    modem->SetNeverAck(true);
    std::vector<PeerFrame> a = Command({15});
    EXPECT_TRUE(a.empty());
    a = Command({11});
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(a[0].type, FrameI);
    EXPECT_EQ(a[0].nr, 0);
    EXPECT_EQ(modem->Stats().commands[11], 1u);
}

TEST_F(ModemSimTest, DamagedInputIsSkippedAndTheLinkGoesOn) {
    Start();
    std::mt19937 rng(4711);
    for (int round = 0; round < 300; ++round) {
        Bytes chunk(rng() % 300);
        for (uint8_t& b : chunk)
            b = uint8_t(rng());
        if (round % 3 == 0) { // damaged copies of real frames
            chunk = router->Command({11});
            router->vs = uint8_t((router->vs + 7) & 7);
            chunk[rng() % chunk.size()] ^= uint8_t(1 + rng() % 255);
        }
        if (round % 5 == 0)
            chunk = Cat(chunk, Bytes{0x55, 0xAA});
        // Fed in random pieces.
        for (size_t pos = 0; pos < chunk.size();) {
            const size_t n = std::min(chunk.size() - pos, size_t(1 + rng() % 64));
            modem->Feed(chunk.data() + pos, n, now);
            pos += n;
        }
        Drain();
    }
    // Some random headers pass their CRC-8 and hold bytes back: a long clean run flushes them.
    Feed(Bytes(2100, 0));
    Drain();
    EXPECT_EQ(modem->State(), LinkState::Ready);
    const uint32_t before = modem->Stats().commands[2];
    Feed(router->Info(FrameAI, 0, 0, {2}));
    EXPECT_EQ(modem->Stats().commands[2], before + 1);
    EXPECT_EQ(Out().size(), 1u);
}

TEST(ModemSimMany, ManyModemsInOneProcessAuthenticateAndAnswer) {
    constexpr int kModems = 300;
    std::vector<std::unique_ptr<ModemSim>> modems;
    std::vector<std::unique_ptr<RouterPeer>> routers;
    for (int i = 0; i < kModems; ++i) {
        ModemConfig cfg;
        cfg.id = uint16_t(i + 1);
        modems.push_back(std::make_unique<ModemSim>(cfg));
        routers.push_back(std::make_unique<RouterPeer>(cfg.key));
    }
    int answered = 0;
    for (int i = 0; i < kModems; ++i) {
        ModemSim& m = *modems[i];
        RouterPeer& r = *routers[i];
        m.Connect(0);
        std::vector<PeerFrame> f;
        std::string why;
        ASSERT_TRUE(r.Split(Bytes(m.OutputData(), m.OutputData() + m.OutputSize()), &f, &why));
        m.ConsumeOutput(m.OutputSize());
        ASSERT_TRUE(r.TakeAuth(f[0]));
        const Bytes reply = r.Reply(kNonce);
        m.Feed(reply.data(), reply.size(), 0);
        const Bytes cmd = r.Command({11});
        m.Feed(cmd.data(), cmd.size(), 0);
        f.clear();
        ASSERT_TRUE(r.Split(Bytes(m.OutputData(), m.OutputData() + m.OutputSize()), &f, &why));
        m.ConsumeOutput(m.OutputSize());
        answered += f.size() == 1 && f[0].opened && f[0].id == i + 1 && f[0].payload[0] == 0x8B;
    }
    EXPECT_EQ(answered, kModems);
}

TEST_F(ModemSimTest, PackedRouterDataIsUnpackedAndItsEndFound) {
    Start();
    struct Case {
        const char* name;
        Bytes stream;
        Bytes data;
    };
    Bytes run(300, 'b');
    const Case cases[] = {
        {"constant", {0x00, 'x'}, Bytes(16, 'x')},
        {"bit packing",
         {0x01, 0x40, 0x55, 0x55},
         {0x40, 0x41, 0x40, 0x41, 0x40, 0x41, 0x40, 0x41, 0x40, 0x41, 0x40, 0x41, 0x40, 0x41, 0x40, 0x41}},
        {"run-length", {0x80, 'b', 'b', 254, 'b', 'b', 42}, run},
    };
    Bytes expected;
    for (uint16_t id = 0; id < 3; ++id) {
        const Case& c = cases[id];
        Bytes item = {22, 0, uint8_t(id), uint8_t(c.data.size() >> 8), uint8_t(c.data.size())};
        item = Cat(Cat(item, c.stream), {11}); // GetHwInfo right after the packed stream
        const std::vector<PeerFrame> a = Command(item);
        ASSERT_EQ(a.size(), 1u) << c.name;
        EXPECT_EQ(a[0].payload[0], 0x85) << c.name;
        EXPECT_EQ(Get_U16BE(&a[0].payload[2]) & 0xFFF, c.data.size()) << c.name;
        EXPECT_EQ(a[0].payload[4], 0x8B) << c.name;
        expected = Cat(expected, c.data);
        EXPECT_EQ(modem->ReceivedData(), expected) << c.name;
        AckWithRR(a[0]);
    }
    EXPECT_EQ(modem->Stats().packedIn, 3u);

    // A damaged stream ends the items and delivers nothing.
    const std::vector<PeerFrame> a = Command({22, 0, 9, 0, 16, 0x47});
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(a[0].type, FrameRR);
    EXPECT_EQ(modem->ReceivedData(), expected);
}

TEST_F(ModemSimTest, ModemDataIsPackedWhenThatPays) {
    cfg.packData = true;
    Start();
    const Bytes same(100, 0x33);
    modem->QueueData(same.data(), same.size(), now);
    std::vector<PeerFrame> a = Out();
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(Bytes(a[0].payload.begin(), a[0].payload.begin() + 11),
              (Bytes{0x86, 0x80, 0, 0, 0, 100, 0x04, 0x00, 0x00, 0x33, 0xFF})); // constant method
    router->vr = 1;
    Feed(router->Info(FrameAI, 0, 1, TxDataAckItem(0, 100)));

    Bytes mixed(600);
    std::mt19937 rng(5);
    for (uint8_t& b : mixed)
        b = uint8_t('a' + rng() % 4); // four symbols: packs well
    modem->QueueData(mixed.data(), mixed.size(), now);
    a = Out();
    ASSERT_EQ(a.size(), 1u);
    const Bytes& p = a[0].payload;
    EXPECT_EQ(p[1], 0x80);
    EXPECT_EQ(Get_U16BE(&p[4]), 600);
    Bytes stream(p.begin() + 8, p.end());
    stream.resize(PackScratchSize);
    const uint32_t used = Pack_Decode(stream.data(), uint32_t(p.size() - 8), 600, PackScratchSize);
    ASSERT_GT(used, 0u);
    EXPECT_LT(used, 600u);
    EXPECT_EQ(Bytes(stream.begin(), stream.begin() + 600), mixed);
    EXPECT_TRUE(8 + used == p.size() || p[8 + used] == 0xFF); // the item ends the block
    EXPECT_EQ(modem->Stats().packedOut, 2u);

    // Random data does not pay and goes as it is.
    router->vr = 2;
    Feed(router->Info(FrameAI, 0, 2, TxDataAckItem(0, 600)));
    Bytes noise(50);
    for (uint8_t& b : noise)
        b = uint8_t(rng());
    modem->QueueData(noise.data(), noise.size(), now);
    a = Out();
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(a[0].payload[1], 0x00);
    EXPECT_EQ(Bytes(a[0].payload.begin() + 8, a[0].payload.begin() + 58), noise);
}
