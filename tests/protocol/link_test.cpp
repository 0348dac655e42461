#include "protocol/tmgsm.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using Key = std::array<uint8_t, AUTH_KEY_SIZE>;

constexpr uint16_t Modem = 0x1234;
constexpr uint32_t Kind0Version = 0x01020304; // kind 0: any top half but 0xFFFF and 0xFFFE
constexpr uint32_t Kind1Version = 0xFFFF1234;
constexpr uint32_t Kind2Version = 0xFFFE1500; // digits 1, 5, 0, 0: VersionNo 105

// ---------------------------------------------------------------------------------------------------
// Trace capture and clocks

std::string traced;
void Capture(const char* text, size_t n) {
    traced.append(text, n);
}

void FixedWallClock(TmClock* now) {
    *now = TmClock{{2026, 12, 10, 9, 5, 7}, 42};
}

uint32_t fakeSeconds = 1000;
uint32_t FakeLinkClock() {
    return fakeSeconds;
}

uint32_t FixedSeed() {
    return 0x3D5A1C6E;
}

// Names of the set bits of an event set, for failure messages.
std::string EventNames(uint32_t ev) {
    static const std::pair<uint32_t, const char*> names[] = {
        {LEV_AUTH0, "AUTH0"},
        {LEV_AUTH1, "AUTH1"},
        {LEV_AUTH2, "AUTH2"},
        {LEV_DATA, "DATA"},
        {LEV_REJ_SENT, "REJ_SENT"},
        {LEV_RNR_SENT, "RNR_SENT"},
        {LEV_RNR_RCVD, "RNR_RCVD"},
        {LEV_WAIT_ACK, "WAIT_ACK"},
        {LEV_RR_DUE, "RR_DUE"},
        {LEV_ACK_TIMEOUT, "ACK_TIMEOUT"},
        {LEV_AUTH_ERROR, "AUTH_ERROR"},
        {LEV_FRAME_BUILT, "FRAME_BUILT"},
        {LEV_SFRAMES, "SFRAMES"},
        {LEV_AUTH_REPLY, "AUTH_REPLY"},
        {LEV_HEADER_ERROR, "HEADER_ERROR"},
        {LEV_FRAME_ERROR, "FRAME_ERROR"},
        {LEV_NOTHING, "NOTHING"},
    };
    std::string text;
    for (auto [bit, name] : names)
        if (ev & bit)
            text += text.empty() ? name : std::string("|") + name;
    return text.empty() ? "0" : text;
}

#define EXPECT_EVENTS(actual, expected) EXPECT_EQ(EventNames(actual), EventNames(expected))

// ---------------------------------------------------------------------------------------------------
// The modem's side of the wire, written from the frame format

uint16_t Ctl(uint8_t type, uint8_t ns, uint8_t nr, uint8_t length) {
    return static_cast<uint16_t>(type | ns << 3 | nr << 6 | length << 9);
}

Bytes Frame(uint16_t id, uint16_t ctl, const Bytes& payload = {}) {
    Bytes f = {0x55, 0xAA, uint8_t(id >> 8), uint8_t(id), uint8_t(ctl >> 8), uint8_t(ctl)};
    f.push_back(Crc8(f.data() + 2, 4));
    f.insert(f.end(), payload.begin(), payload.end());
    return f;
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Key FactoryKey() {
    Key key;
    key.fill('8');
    return key;
}

struct Peer {
    Key key = FactoryKey();
    std::array<uint8_t, 16> r{};
    AuthCtx ctx{}; // holds the session key for the modem's own blocks

    Peer() {
        for (int i = 0; i < 16; ++i)
            r[i] = uint8_t(0xA0 + i);
    }

    // AUTH payload and frame of the modem: R under its key, CRC of R, version word, data IDs, options.
    Bytes AuthPayload(uint32_t version, uint16_t rxId = 0xFFFF, uint16_t rxSize = 0xFFFF,
                      uint32_t options = 0) const {
        Bytes p(AUTH_PAYLOAD_SIZE);
        AesCtx aes;
        Aes_SetKey(&aes, key.data(), 128);
        Aes_Encrypt(&aes, r.data(), p.data());
        Put_U32BE(p.data() + 16, Crc32_Msb(r.data(), 16));
        Put_U32BE(p.data() + 20, version);
        Put_U16BE(p.data() + 24, rxId);
        Put_U16BE(p.data() + 26, rxSize);
        Put_U32BE(p.data() + 28, options);
        uint16_t crc = Crc16(p.data(), AUTH_PAYLOAD_SIZE);
        p.push_back(uint8_t(crc >> 8));
        p.push_back(uint8_t(crc));
        return p;
    }
    Bytes Auth(uint32_t version, uint16_t rxId = 0xFFFF, uint16_t rxSize = 0xFFFF, uint32_t options = 0,
               uint16_t id = Modem) const {
        return Frame(id, Ctl(LNK_AUTH, 0, 0, 32), AuthPayload(version, rxId, rxSize, options));
    }

    // Session key from the router's nonce N: AES-128(key = R[0..7] N[0..7], block = K).
    void DeriveSession(const uint8_t nonce[16]) {
        uint8_t k[16];
        memcpy(k, r.data(), 8);
        memcpy(k + 8, nonce, 8);
        AesCtx aes;
        Aes_SetKey(&aes, k, 128);
        uint8_t sess[16];
        Aes_Encrypt(&aes, key.data(), sess);
        Auth_SetSessKey(&ctx, sess);
    }

    // I or AI frame with the given plaintext items, as a command block.
    Bytes Info(uint8_t type, uint8_t ns, uint8_t nr, const Bytes& plain, uint16_t id = Modem) {
        uint8_t buf[LNK_ASM_SIZE];
        std::copy(plain.begin(), plain.end(), buf);
        uint16_t padded = Auth_EncryptBlkCrc(&ctx, buf, uint16_t(plain.size()));
        return Frame(id, Ctl(type, ns, nr, uint8_t(padded / 16 - 1)), Bytes(buf, buf + padded + 4));
    }

    // Decrypts the command block of a frame the router built; empty when it fails.
    Bytes Open(const uint8_t* frame, uint16_t len) {
        Bytes block(frame + LNK_HEADER_SIZE, frame + len);
        if (!Auth_DecryptBlk(&ctx, block.data(), uint16_t(block.size())))
            return {};
        block.resize(block.size() - 4);
        return block;
    }
};

// A block that answers nothing: the end marker and filler.
const Bytes NoAnswers = {0xFF};

// ---------------------------------------------------------------------------------------------------

class LinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        traced.clear();
        Trace_SetSink(Capture);
        Tm_SetClockSource(FixedWallClock);
        TMGSM_SetLinkClock(FakeLinkClock);
        Auth_SetSeedSource(FixedSeed);
        fakeSeconds = 1000;
        TMGSM_AuthKeysInit(&keys);
        AppBuf_Init(appBuf.get());
        TMGSM_InitIp(link.get(), &keys, nullptr, 20, nullptr, 0);
    }
    void TearDown() override {
        Trace_SetSink(nullptr);
        Tm_SetClockSource(nullptr);
        TMGSM_SetLinkClock(nullptr);
        Auth_SetSeedSource(nullptr);
    }

    // Hands the whole chunk in as the session layer does: one frame per call, the rest afterwards.
    std::vector<uint32_t> Feed(const Bytes& chunk) {
        std::vector<uint32_t> events;
        size_t at = 0;
        do {
            size_t taken = 0;
            uint32_t ev = TMGSM_AcceptIpMsg(link.get(), chunk.data() + at, chunk.size() - at, &taken);
            at += taken;
            if (ev)
                events.push_back(ev);
        } while (at < chunk.size());
        // Frames that are still buffered.
        for (int guard = 0; guard < 64; ++guard) {
            uint16_t before = link->RxLen;
            uint32_t ev = TMGSM_AcceptIpMsg(link.get(), nullptr, 0, nullptr);
            if (ev)
                events.push_back(ev);
            if (link->RxLen == before)
                break;
        }
        return events;
    }

    uint32_t FeedOne(const Bytes& frame) {
        size_t taken = 0;
        uint32_t ev = TMGSM_AcceptIpMsg(link.get(), frame.data(), frame.size(), &taken);
        EXPECT_EQ(taken, frame.size());
        return ev;
    }

    // A kind-2 modem authenticated with the factory key, its reply sent, the application buffer linked.
    void Authenticate() {
        ASSERT_EQ(FeedOne(peer.Auth(Kind2Version)), LEV_AUTH2);
        AppBuf_Link(appBuf.get(), link.get());
        uint32_t mask = REQ_AUTH;
        ASSERT_EQ(TMGSM_CreateIpMsg(link.get(), out, &outLen, &mask), LEV_AUTH_REPLY);
        AesCtx aes;
        Aes_SetKey(&aes, peer.key.data(), 128);
        uint8_t nonce[16];
        Aes_Decrypt(&aes, out + LNK_HEADER_SIZE, nonce);
        peer.DeriveSession(nonce);
        traced.clear();
    }

    uint32_t Build(uint32_t mask) {
        outLen = 0;
        return TMGSM_CreateIpMsg(link.get(), out, &outLen, &mask);
    }

    AuthKeys keys{};
    std::unique_ptr<IpLink> link = std::make_unique<IpLink>();
    std::unique_ptr<AppBuf> appBuf = std::make_unique<AppBuf>();
    Peer peer;
    uint8_t out[LNK_OUT_SIZE]{};
    uint16_t outLen = 0;
};

// ---------------------------------------------------------------------------------------------------
// Framing and resynchronisation

TEST_F(LinkTest, GarbageBeforeTheSyncWordIsSkipped) {
    Bytes rr = Frame(Modem, Ctl(LNK_RR, 0, 0, 0));
    EXPECT_EQ(FeedOne(Bytes{1, 2, 0x55, 3, 0xAA} + rr), 0u);
    EXPECT_EQ(link->RxLen, 0);
    EXPECT_EQ(link->ModemId, Modem);
    EXPECT_NE(traced.find("RR(0)"), std::string::npos);
}

TEST_F(LinkTest, WithoutSyncWordOnlyTheLastByteIsKept) {
    EXPECT_EQ(FeedOne(Bytes{1, 2, 3, 0x55}), 0u);
    ASSERT_EQ(link->RxLen, 1);
    EXPECT_EQ(link->RxBuf[0], 0x55);
    Bytes rr = Frame(Modem, Ctl(LNK_RR, 0, 0, 0));
    FeedOne(Bytes(rr.begin() + 1, rr.end()));
    EXPECT_EQ(link->RxLen, 0);
    EXPECT_EQ(link->ModemId, Modem);
}

TEST_F(LinkTest, FrameArrivingByteByByteIsTakenWhenComplete) {
    Bytes auth = peer.Auth(Kind2Version);
    for (size_t i = 0; i + 1 < auth.size(); ++i)
        EXPECT_EQ(FeedOne(Bytes{auth[i]}), 0u) << "byte " << i;
    EXPECT_EQ(FeedOne(Bytes{auth.back()}), LEV_AUTH2);
}

TEST_F(LinkTest, MalformedFramesAreDroppedWithTheirEvents) {
    struct Case {
        const char* name;
        Bytes bytes;
        uint32_t event;
        uint16_t left; // bytes still buffered afterwards
        const char* line;
    };
    Bytes badHeader = Frame(Modem, Ctl(LNK_RR, 0, 0, 0));
    badHeader[6] ^= 1;
    Bytes badAuthCrc = peer.Auth(Kind2Version);
    badAuthCrc.back() ^= 1;
    Bytes tail = {0x55, 0xAA};
    const Case cases[] = {
        {"bad CRC-8", badHeader + tail, LEV_HEADER_ERROR, 2, " ERROR RX PARSING. CODE = 20000000\n"},
        {"AUTH with L = 31", Frame(Modem, Ctl(LNK_AUTH, 0, 0, 31), Bytes(34, 0)), LEV_FRAME_ERROR, 34,
         " 1!\n ERROR RX PARSING. CODE = 40000000\n"},
        {"AUTH with a bad CRC-16", badAuthCrc, LEV_FRAME_ERROR, 0, " ERROR RX PARSING. CODE = 40000000\n"},
        {"I with L = 63", Frame(Modem, Ctl(LNK_I, 0, 0, 63), Bytes(20, 0)), LEV_FRAME_ERROR, 20,
         " 2!=1024\n ERROR RX PARSING. CODE = 40000000\n"},
        {"AI with L = 63", Frame(Modem, Ctl(LNK_AI, 0, 0, 63)), LEV_FRAME_ERROR, 0, " 2!=1024\n"},
        {"type 6", Frame(Modem, Ctl(6, 0, 0, 0)) + tail, 0, 2, ""},
        {"type 7", Frame(Modem, Ctl(7, 0, 0, 5)), 0, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TMGSM_InitIp(link.get(), &keys, nullptr, 20, nullptr, 0);
        traced.clear();
        EXPECT_EVENTS(FeedOne(c.bytes), c.event);
        EXPECT_EQ(link->RxLen, c.left);
        EXPECT_EQ(traced.rfind(c.line, 0), 0u) << traced;
    }
}

TEST_F(LinkTest, InformationFrameOfLengthCode62IsAcceptedAnd63Refused) {
    Authenticate();
    ASSERT_EQ(Build(REQ_AUTH), LEV_NOTHING); // the step is done
    Bytes plain(1008, 0xFF);
    Bytes i62 = peer.Info(LNK_I, 0, 0, plain);
    ASSERT_EQ(i62.size(), 7u + 1008 + 4);
    EXPECT_EQ(i62[4] >> 1 & 0x3F, 62);
    EXPECT_EVENTS(FeedOne(i62), LEV_DATA);
    EXPECT_EQ(link->VR, 1);

    traced.clear();
    Bytes i63 = Frame(Modem, Ctl(LNK_I, 1, 0, 63), Bytes(1024 + 4, 0));
    EXPECT_EVENTS(FeedOne(i63), LEV_FRAME_ERROR);
    EXPECT_EQ(traced.rfind(" 2!=1024\n", 0), 0u) << traced;
    EXPECT_EQ(link->RxLen, 1028); // only the header went; the rest is resynchronised over
}

TEST_F(LinkTest, ReceiveTakesOnlyWhatFitsAndTellsTheCaller) {
    Authenticate();
    // Ten 1019-byte frames in one chunk: more than the receive buffer holds.
    Bytes chunk;
    for (int n = 0; n < 10; ++n)
        chunk = chunk + peer.Info(LNK_I, uint8_t(n % 8), 0, Bytes(1008, uint8_t(n)));
    size_t taken = 0;
    TMGSM_AcceptIpMsg(link.get(), chunk.data(), chunk.size(), &taken);
    EXPECT_EQ(taken, size_t(LNK_RXBUF_SIZE));
    std::vector<uint32_t> events = Feed(Bytes(chunk.begin() + long(taken), chunk.end()));
    // The first frame was processed by the first call; every other one arrives whole.
    EXPECT_EQ(events.size(), 9u);
    for (uint32_t ev : events)
        EXPECT_EVENTS(ev, LEV_DATA);
    EXPECT_EQ(link->VR, 10 % 8);
    EXPECT_EQ(link->RxLen, 0);
}

// ---------------------------------------------------------------------------------------------------
// Duplicate suppression

TEST_F(LinkTest, TwoIdenticalFramesInOneChunkGiveOneFramesEvents) {
    Authenticate();
    Bytes i0 = peer.Info(LNK_I, 0, 0, NoAnswers);
    std::vector<uint32_t> events = Feed(i0 + i0);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EVENTS(events[0], LEV_DATA);
    EXPECT_EQ(link->VR, 1);
    EXPECT_EQ(link->SCount, 0);
    size_t frameLine = traced.find("I(00):016");
    size_t dupLine = traced.find("___RX: NEXT_FRAME_EQUAL.DELETED! (1234)\n");
    ASSERT_NE(frameLine, std::string::npos) << traced;
    ASSERT_NE(dupLine, std::string::npos) << traced;
    EXPECT_LT(frameLine, dupLine);
}

TEST_F(LinkTest, ThreeIdenticalFramesInOneChunkGiveTwoFramesEvents) {
    Authenticate();
    Bytes i0 = peer.Info(LNK_I, 0, 0, NoAnswers);
    std::vector<uint32_t> events = Feed(i0 + i0 + i0);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EVENTS(events[0], LEV_DATA);
    // The third is compared with nothing once the second is gone: a repeat, answered with REJ.
    EXPECT_EVENTS(events[1], LEV_SFRAMES | LEV_REJ_SENT);
}

TEST_F(LinkTest, FramesThatDifferAreNotDuplicates) {
    Authenticate();
    Bytes first = Frame(Modem, Ctl(LNK_RR, 0, 0, 0));
    const Bytes others[] = {Frame(Modem + 1, Ctl(LNK_RR, 0, 0, 0)), Frame(Modem, Ctl(LNK_RR, 0, 1, 0)),
                            Frame(Modem, Ctl(LNK_RNR, 0, 0, 0))};
    for (const Bytes& other : others) {
        traced.clear();
        Feed(first + other);
        EXPECT_EQ(traced.find("NEXT_FRAME_EQUAL"), std::string::npos);
    }
}

// ---------------------------------------------------------------------------------------------------
// Sequence numbers and supervisory frames

TEST_F(LinkTest, RepeatedInformationFrameIsAnsweredWithReject) {
    Authenticate();
    EXPECT_EVENTS(FeedOne(peer.Info(LNK_I, 0, 0, NoAnswers)), LEV_DATA);
    link->Results.Answered = 0;
    // A GetInputs answer: it would be marked answered if it reached the parser.
    EXPECT_EVENTS(FeedOne(peer.Info(LNK_I, 0, 0, {0x91, 0x05, 0xFF})), LEV_SFRAMES | LEV_REJ_SENT);
    EXPECT_EQ(link->Results.Answered, 0u);
    EXPECT_EQ(link->VR, 1);
    ASSERT_EQ(TMGSM_GetIpSMsg(link.get(), out, &outLen), LEV_SFRAMES);
    EXPECT_EQ(Bytes(out, out + outLen), Frame(Modem, Ctl(LNK_REJ, 0, 1, 32)));
    EXPECT_EQ(TMGSM_GetIpSMsg(link.get(), out, &outLen), LEV_NOTHING);
}

TEST_F(LinkTest, InSequenceFrameMakesAnAcknowledgementDue) {
    Authenticate();
    FeedOne(peer.Info(LNK_I, 0, 0, NoAnswers));
    EXPECT_EVENTS(TMGSM_QryIp(link.get()), LEV_RR_DUE);
    ASSERT_EQ(TMGSM_CreateRRMsg(link.get(), out, &outLen), LEV_SFRAMES);
    // The RR keeps N(S) and L of the last frame built, the AUTH reply.
    EXPECT_EQ(Bytes(out, out + outLen), Frame(Modem, Ctl(LNK_RR, 0, 1, 32)));
    EXPECT_NE(traced.find("  OUT: 1234-0000,RR(1)     [09.05:07 101226]\n\r"), std::string::npos) << traced;
    EXPECT_EQ(TMGSM_CreateRRMsg(link.get(), out, &outLen), LEV_NOTHING);
    EXPECT_EQ(outLen, 0);
    EXPECT_EVENTS(TMGSM_QryIp(link.get()), 0);
}

TEST_F(LinkTest, StateQueryLeavesBufferedFramesWhereTheyAre) {
    Authenticate();
    ASSERT_EQ(Build(REQ_GET_HW_INFO), LEV_FRAME_BUILT);
    // Two frames in one chunk: the first is taken, the second waits for its own call.
    const Bytes second = peer.Info(LNK_I, 1, 1, NoAnswers);
    size_t taken = 0;
    const Bytes chunk = peer.Info(LNK_I, 0, 0, NoAnswers) + second;
    EXPECT_EVENTS(TMGSM_AcceptIpMsg(link.get(), chunk.data(), chunk.size(), &taken), LEV_DATA);
    EXPECT_EQ(link->RxLen, second.size());
    EXPECT_EVENTS(TMGSM_IpState(link.get()), LEV_WAIT_ACK | LEV_RR_DUE);
    EXPECT_EQ(link->RxLen, second.size());
    EXPECT_EQ(link->VR, 1);
    // The full query takes it.
    EXPECT_EVENTS(TMGSM_QryIp(link.get()), LEV_DATA | LEV_RR_DUE);
    EXPECT_EQ(link->RxLen, 0);
    EXPECT_EQ(link->VR, 2);
}

TEST_F(LinkTest, InformationFrameCarriesTheAcknowledgement) {
    Authenticate();
    FeedOne(peer.Info(LNK_I, 0, 0, NoAnswers));
    ASSERT_EQ(Build(REQ_GET_HW_INFO), LEV_FRAME_BUILT);
    EXPECT_EQ(Get_U16BE(out + 4), Ctl(LNK_I, 0, 1, 0));
    EXPECT_EQ(TMGSM_CreateRRMsg(link.get(), out, &outLen), LEV_NOTHING);
}

TEST_F(LinkTest, RejectsAndRrAreHandedOutOldestFirst) {
    Authenticate();
    FeedOne(peer.Info(LNK_I, 0, 0, NoAnswers));
    // Five repeats: four REJs are queued, the fifth is not.
    for (int n = 0; n < 5; ++n)
        EXPECT_EVENTS(FeedOne(peer.Info(LNK_I, 5, 0, Bytes{0xFF, uint8_t(n)})), LEV_SFRAMES | LEV_REJ_SENT);
    EXPECT_EQ(link->SCount, 4);
    EXPECT_EVENTS(TMGSM_QryIp(link.get()), LEV_RR_DUE | LEV_SFRAMES);
    ASSERT_EQ(TMGSM_GetIpSMsg(link.get(), out, &outLen), LEV_SFRAMES);
    EXPECT_EQ(outLen, 7);
    EXPECT_EQ(link->SCount, 3);
    // The RR goes out behind the queued REJs, all at once.
    ASSERT_EQ(TMGSM_CreateRRMsg(link.get(), out, &outLen), LEV_SFRAMES);
    ASSERT_EQ(outLen, 28);
    Bytes rej = Frame(Modem, Ctl(LNK_REJ, 0, 1, 32));
    for (int n = 0; n < 3; ++n)
        EXPECT_EQ(Bytes(out + 7 * n, out + 7 * n + 7), rej);
    EXPECT_EQ(Bytes(out + 21, out + 28), Frame(Modem, Ctl(LNK_RR, 0, 1, 32)));
    EXPECT_EQ(link->SCount, 0);
}

TEST_F(LinkTest, AcknowledgementIsNotLostWhenTheQueueIsFull) {
    Authenticate();
    for (int n = 0; n < 4; ++n)
        FeedOne(peer.Info(LNK_I, 5, 0, Bytes{0xFF, uint8_t(n)}));
    ASSERT_EQ(link->SCount, 4);
    EXPECT_EVENTS(FeedOne(peer.Info(LNK_I, 0, 0, NoAnswers)), LEV_DATA);
    ASSERT_EQ(TMGSM_CreateRRMsg(link.get(), out, &outLen), LEV_SFRAMES);
    ASSERT_EQ(outLen, 28);
    EXPECT_EQ(Bytes(out + 21, out + 28), Frame(Modem, Ctl(LNK_RR, 0, 1, 32)));
}

TEST_F(LinkTest, InformationFrameWithoutRoomIsAnsweredWithRnr) {
    Authenticate();
    link->RxAsmLen = LNK_ASM_SIZE - 10; // records the parser has not taken yet
    EXPECT_EVENTS(FeedOne(peer.Info(LNK_I, 0, 0, Bytes(16, 0xFF))), LEV_SFRAMES | LEV_RNR_SENT);
    EXPECT_EQ(link->VR, 0);
    ASSERT_EQ(TMGSM_GetIpSMsg(link.get(), out, &outLen), LEV_SFRAMES);
    EXPECT_EQ(Bytes(out, out + outLen), Frame(Modem, Ctl(LNK_RNR, 0, 0, 32)));
    // An AI frame without room is dropped quietly.
    EXPECT_EVENTS(FeedOne(peer.Info(LNK_AI, 0, 0, Bytes(16, 0xFF))), 0);
    EXPECT_EQ(link->SCount, 0);
}

TEST_F(LinkTest, ReceiverNotReadyIsReported) {
    Authenticate();
    EXPECT_EVENTS(FeedOne(Frame(Modem, Ctl(LNK_RNR, 0, 0, 0))), LEV_RNR_RCVD);
}

TEST_F(LinkTest, ReceivedNrAcknowledgesOnlyInsideTheWindow) {
    struct Case {
        uint8_t va, vs, nr;
        bool acked;
    };
    const Case cases[] = {
        {0, 1, 1, true},  {0, 1, 0, false}, {0, 1, 2, false}, {3, 4, 4, true},
        {3, 4, 2, false}, {7, 0, 0, true},  {7, 0, 1, false}, {7, 0, 6, false},
        {6, 1, 7, true},  {6, 1, 1, true},  {6, 1, 2, false}, {2, 2, 5, false},
    };
    Authenticate();
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "VA " << int(c.va) << " VS " << int(c.vs) << " N(R) " << int(c.nr));
        link->VA = c.va;
        link->VS = c.vs;
        link->Flags = LNK_UNACKED | LNK_ACK_TIMER;
        EXPECT_EVENTS(FeedOne(Frame(Modem, Ctl(LNK_RR, 0, c.nr, 0))), 0);
        EXPECT_EQ((link->Flags & LNK_UNACKED) == 0, c.acked);
        EXPECT_EQ(link->VA, c.acked ? c.nr : c.va);
        EXPECT_EQ(link->VS, c.acked ? c.nr : c.vs);
    }
}

TEST_F(LinkTest, RejectAcknowledgesWithoutRetransmission) {
    Authenticate();
    ASSERT_EQ(Build(REQ_GET_HW_INFO), LEV_FRAME_BUILT);
    EXPECT_EVENTS(FeedOne(Frame(Modem, Ctl(LNK_REJ, 0, 1, 0))), 0);
    EXPECT_EVENTS(TMGSM_QryIp(link.get()), 0);
    EXPECT_EQ(Build(REQ_GET_HW_INFO), LEV_FRAME_BUILT);
    EXPECT_EQ(Get_U16BE(out + 4), Ctl(LNK_I, 1, 0, 0));
}

TEST_F(LinkTest, OutOfWindowAiFrameIsDropped) {
    Authenticate();
    EXPECT_EVENTS(FeedOne(peer.Info(LNK_AI, 0, 0, NoAnswers)), LEV_DATA);
    ASSERT_EQ(Build(REQ_GET_HW_INFO), LEV_FRAME_BUILT);
    EXPECT_EVENTS(FeedOne(peer.Info(LNK_AI, 0, 3, NoAnswers)), 0);
    EXPECT_EVENTS(FeedOne(peer.Info(LNK_AI, 0, 1, NoAnswers)), LEV_DATA);
    EXPECT_EQ(link->VR, 0);
    EXPECT_EVENTS(TMGSM_QryIp(link.get()), 0);
}

// ---------------------------------------------------------------------------------------------------
// Building frames

TEST_F(LinkTest, NothingIsBuiltWhileAFrameIsUnacknowledged) {
    Authenticate();
    ASSERT_EQ(Build(REQ_GET_HW_INFO), LEV_FRAME_BUILT);
    uint32_t mask = REQ_GET_HW_INFO | REQ_GET_PROFILE1;
    EXPECT_EVENTS(TMGSM_CreateIpMsg(link.get(), out, &outLen, &mask), LEV_WAIT_ACK);
    EXPECT_EQ(mask, REQ_GET_HW_INFO | REQ_GET_PROFILE1);
    EXPECT_EQ(outLen, 0);
    EXPECT_EVENTS(TMGSM_QryIp(link.get()), LEV_WAIT_ACK);
    FeedOne(Frame(Modem, Ctl(LNK_RR, 0, 1, 0)));
    EXPECT_EVENTS(TMGSM_CreateIpMsg(link.get(), out, &outLen, &mask), LEV_FRAME_BUILT);
    EXPECT_EQ(mask, 0u);
}

TEST_F(LinkTest, DataAcknowledgementAloneGoesInAnAiFrame) {
    Authenticate();
    FeedOne(peer.Info(LNK_I, 0, 0, NoAnswers));
    uint32_t mask = REQ_TX_DATA_ACK;
    ASSERT_EQ(TMGSM_CreateIpMsg(link.get(), out, &outLen, &mask), LEV_FRAME_BUILT);
    EXPECT_EQ(mask, 0u);
    EXPECT_EQ(Get_U16BE(out + 4), Ctl(LNK_AI, 0, 1, 0)); // N(R) = VR, N(S) as in the last frame built
    EXPECT_EQ(link->VS, 0);
    EXPECT_EVENTS(TMGSM_QryIp(link.get()), 0);
    Bytes block = peer.Open(out, outLen);
    ASSERT_GE(block.size(), 4u);
    EXPECT_EQ(block[0], 7);
    EXPECT_NE(traced.find("  OUT: 1234-0000,AI(1):016 [09.05:07 101226]\n\r"), std::string::npos) << traced;
}

TEST_F(LinkTest, DataAcknowledgementWithAnotherRequestGoesInAnIFrame) {
    Authenticate();
    ASSERT_EQ(Build(REQ_TX_DATA_ACK | REQ_GET_HW_INFO), LEV_FRAME_BUILT);
    EXPECT_EQ(out[5] & 7, LNK_I);
    EXPECT_EQ(link->VS, 1);
    EXPECT_EVENTS(TMGSM_QryIp(link.get()), LEV_WAIT_ACK);
    Bytes block = peer.Open(out, outLen);
    ASSERT_GE(block.size(), 5u);
    EXPECT_EQ(block[0], 7);  // TxDataAck comes first
    EXPECT_EQ(block[4], 11); // then GetHwInfo
    EXPECT_NE(traced.find("  OUT: 1234-0000,I(00):016 [09.05:07 101226]\n\r"), std::string::npos) << traced;
}

TEST_F(LinkTest, EmptyCommandBlockBuildsNothing) {
    Authenticate();
    // RxData with an empty send queue, GprsClose which is never built: no item comes out.
    const uint32_t masks[] = {REQ_RX_DATA, REQ_GPRS_CLOSE};
    for (uint32_t requested : masks) {
        SCOPED_TRACE(requested);
        uint32_t mask = requested;
        outLen = 99;
        EXPECT_EVENTS(TMGSM_CreateIpMsg(link.get(), out, &outLen, &mask), LEV_NOTHING);
        EXPECT_EQ(outLen, 0);
        EXPECT_EQ(mask, requested == REQ_GPRS_CLOSE ? requested : 0u);
        EXPECT_EQ(link->VS, 0);
        EXPECT_EVENTS(TMGSM_QryIp(link.get()), 0);
    }
}

TEST_F(LinkTest, EmptyMaskBuildsNothing) {
    Authenticate();
    EXPECT_EVENTS(Build(0), LEV_NOTHING);
    EXPECT_EQ(outLen, 0);
}

TEST_F(LinkTest, IFrameCarriesSequenceNumbersModulo8) {
    Authenticate();
    for (int n = 0; n < 10; ++n) {
        ASSERT_EQ(Build(REQ_GET_HW_INFO), LEV_FRAME_BUILT);
        EXPECT_EQ(Get_U16BE(out + 4), Ctl(LNK_I, uint8_t(n % 8), 0, 0)) << n;
        FeedOne(Frame(Modem, Ctl(LNK_RR, 0, uint8_t((n + 1) % 8), 0)));
    }
    EXPECT_EQ(link->VA, 2);
    EXPECT_EQ(link->VS, 2);
}

// ---------------------------------------------------------------------------------------------------
// Acknowledgement time-out

TEST_F(LinkTest, TimeoutIsReportedFromAckTimeoutSecondsUntilAcknowledged) {
    Authenticate();
    fakeSeconds = 5000;
    ASSERT_EQ(Build(REQ_GET_HW_INFO), LEV_FRAME_BUILT);
    const std::pair<uint32_t, bool> readings[] = {
        {5000, false}, {5019, false}, {5020, true}, {5021, true}, {9999, true}};
    for (auto [now, late] : readings) {
        fakeSeconds = now;
        EXPECT_EVENTS(TMGSM_QryIp(link.get()), LEV_WAIT_ACK | (late ? uint32_t(LEV_ACK_TIMEOUT) : 0u)) << now;
    }
    FeedOne(Frame(Modem, Ctl(LNK_RR, 0, 1, 0)));
    EXPECT_EVENTS(TMGSM_QryIp(link.get()), 0);
}

TEST_F(LinkTest, TimeoutSurvivesTheClockWrapping) {
    Authenticate();
    fakeSeconds = 0xFFFFFFF0u;
    ASSERT_EQ(Build(REQ_GET_HW_INFO), LEV_FRAME_BUILT);
    fakeSeconds = 3; // 19 seconds later
    EXPECT_EVENTS(TMGSM_QryIp(link.get()), LEV_WAIT_ACK);
    fakeSeconds = 4;
    EXPECT_EVENTS(TMGSM_QryIp(link.get()), LEV_WAIT_ACK | LEV_ACK_TIMEOUT);
}

TEST_F(LinkTest, AiFrameStartsNoTimer) {
    Authenticate();
    ASSERT_EQ(Build(REQ_TX_DATA_ACK), LEV_FRAME_BUILT);
    fakeSeconds += 100;
    EXPECT_EVENTS(TMGSM_QryIp(link.get()), 0);
}

// ---------------------------------------------------------------------------------------------------
// Authentication

TEST_F(LinkTest, AuthOfEachKindIsReportedAndKeepsItsStepPending) {
    struct Case {
        uint32_t version;
        uint32_t event, flag;
    };
    const Case cases[] = {
        {Kind0Version, LEV_AUTH0, LNK_AUTH0_STEP},
        {Kind1Version, LEV_AUTH1, LNK_AUTH1_STEP},
        {Kind2Version, LEV_AUTH2, LNK_AUTH2_STEP},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.version);
        TMGSM_InitIp(link.get(), &keys, nullptr, 20, nullptr, 0);
        link->VR = 3;
        link->VS = 5;
        link->VA = 4;
        EXPECT_EVENTS(FeedOne(peer.Auth(c.version)), c.event);
        EXPECT_EQ(link->Flags, c.flag);
        EXPECT_EQ(link->VR + link->VA + link->VS, 0);
        // While the step is pending, information frames only repeat the event.
        EXPECT_EVENTS(FeedOne(Frame(Modem, Ctl(LNK_AI, 0, 0, 0), Bytes(20, 0))), c.event);
        EXPECT_EQ(TMGSM_IpAuthRes(link.get()), 1);
    }
}

TEST_F(LinkTest, Kind1ModemKeepsTheAuthBit) {
    ASSERT_EQ(FeedOne(peer.Auth(Kind1Version)), LEV_AUTH1);
    uint32_t mask = REQ_AUTH | REQ_GET_HW_INFO;
    EXPECT_EVENTS(TMGSM_CreateIpMsg(link.get(), out, &outLen, &mask), LEV_NOTHING);
    EXPECT_EQ(mask, REQ_AUTH | REQ_GET_HW_INFO);
    EXPECT_EQ(outLen, 0);
    EXPECT_EQ(link->Flags, 0u); // the step is over: frames are taken from now on
}

TEST_F(LinkTest, Kind2AuthIsAnsweredWithTheReply) {
    link->Options = 1; // our own option bit
    ASSERT_EQ(FeedOne(peer.Auth(Kind2Version, 0x0102, 0x0304, 1)), LEV_AUTH2);
    EXPECT_EQ(link->PeerRxId, 0x0102u);
    EXPECT_EQ(link->PeerRxSize, 0x0304u);
    EXPECT_EQ(link->Results.HwInfo.VersionNo, 105u);
    EXPECT_EQ(link->Options, 2 | 4); // packing and Huffman; our bit cleared from version 102 on
    link->OurRxId = 0x0A0B;
    link->OurRxSize = 0x0C0D;
    traced.clear();
    uint32_t mask = REQ_AUTH | REQ_GET_HW_INFO;
    EXPECT_EVENTS(TMGSM_CreateIpMsg(link.get(), out, &outLen, &mask), LEV_AUTH_REPLY);
    EXPECT_EQ(mask, REQ_GET_HW_INFO);
    ASSERT_EQ(outLen, LNK_AUTH_FRAME_SIZE);
    EXPECT_EQ(Bytes(out, out + 7), Frame(Modem, Ctl(LNK_AUTH, 0, 0, 32)));
    const uint8_t* p = out + LNK_HEADER_SIZE;
    EXPECT_EQ(Crc16(p, AUTH_PAYLOAD_SIZE + 2), 0);
    // Bytes 0-19: the nonce under the modem's key and its CRC; 20-23 the proof from R.
    AesCtx aes;
    Aes_SetKey(&aes, peer.key.data(), 128);
    uint8_t nonce[16];
    Aes_Decrypt(&aes, p, nonce);
    uint8_t crc[20];
    memcpy(crc, nonce, 16);
    memcpy(crc + 16, p + 16, 4);
    EXPECT_EQ(Crc32_Msb(crc, 20), 0u);
    const auto& r = peer.r;
    EXPECT_EQ(Bytes(p + 20, p + 24), (Bytes{uint8_t(r[0] ^ r[9]), uint8_t(r[2] ^ r[11]),
                                            uint8_t(r[4] ^ r[13]), uint8_t(r[6] ^ r[15])}));
    EXPECT_EQ(Bytes(p + 24, p + 32), (Bytes{0x0A, 0x0B, 0x0C, 0x0D, 0x10, 0, 0, 0}));
    peer.DeriveSession(nonce);
    EXPECT_EQ(memcmp(peer.ctx.SessKey, link->Auth.SessKey, 16), 0);
    EXPECT_EQ(traced, "  OUT: 1234     ,AUTH      [09.05:07 101226]\n\r");
    EXPECT_EQ(Build(REQ_AUTH), LEV_NOTHING); // the reply goes once
}

TEST_F(LinkTest, OptionsFollowTheModemsVersion) {
    struct Case {
        uint32_t version, optionWord;
        uint8_t before, after;
    };
    const Case cases[] = {
        {0xFFFE1100, 1, 1, 1},     // 101: no packing, our bit stays
        {0xFFFE1200, 1, 1, 2},     // 102: packing as the modem offers it, our bit cleared
        {0xFFFE1200, 0, 7, 0},     // 102 without the modem's option bit
        {0xFFFE1300, 1, 0, 2 | 4}, // 103: Huffman too
        {Kind1Version, 1, 3, 1},   // kind 1: VersionNo 0, the option word is not read
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.version);
        TMGSM_InitIp(link.get(), &keys, &c.before, 20, nullptr, 0);
        FeedOne(peer.Auth(c.version, 0, 0, c.optionWord));
        EXPECT_EQ(link->Options, c.after);
    }
}

TEST_F(LinkTest, RejectedAuthReportsAnErrorAndTakesNoFrames) {
    peer.key.fill(0x42); // a key nobody listed
    EXPECT_EVENTS(FeedOne(peer.Auth(Kind2Version)), LEV_AUTH_ERROR);
    EXPECT_EQ(link->Flags, 0u);
    EXPECT_EQ(TMGSM_IpAuthRes(link.get()), 3);
    EXPECT_EVENTS(FeedOne(Frame(Modem, Ctl(LNK_I, 0, 0, 0), Bytes(20, 0))), 0);
    EXPECT_EQ(Build(REQ_AUTH), LEV_NOTHING);
}

TEST_F(LinkTest, RejectedAuthClearsOnlyItsOwnStep) {
    ASSERT_EQ(FeedOne(peer.Auth(Kind2Version)), LEV_AUTH2);
    link->Flags |= LNK_RR_DUE;
    peer.key.fill(0x42);
    EXPECT_EVENTS(FeedOne(peer.Auth(Kind2Version)), LEV_AUTH_ERROR);
    EXPECT_EQ(link->Flags, LNK_RR_DUE);
}

TEST_F(LinkTest, AuthResultNamesTheKeyThatOpened) {
    Key own;
    own.fill(0x11);
    keys.Count = 1;
    keys.Ids[0] = Modem;
    keys.Keys[0] = own.data();
    peer.key = own;
    ASSERT_EQ(FeedOne(peer.Auth(Kind2Version)), LEV_AUTH2);
    EXPECT_EQ(TMGSM_IpAuthRes(link.get()), 0);

    Key pending;
    pending.fill(0x22);
    keys.Count = 0;
    TMGSM_InitIp(link.get(), &keys, nullptr, 20, nullptr, 0);
    Auth_SetPendingKey(&link->Auth, pending.data());
    peer.key = pending;
    ASSERT_EQ(FeedOne(peer.Auth(Kind2Version)), LEV_AUTH2);
    EXPECT_EQ(TMGSM_IpAuthRes(link.get()), 2);
}

TEST_F(LinkTest, ANewAuthStartsOver) {
    Authenticate();
    ASSERT_EQ(Build(REQ_GET_HW_INFO), LEV_FRAME_BUILT);
    FeedOne(peer.Info(LNK_I, 0, 0, NoAnswers));
    ASSERT_EQ(link->VR, 1);
    peer.r[0] ^= 0xFF;
    EXPECT_EVENTS(FeedOne(peer.Auth(Kind2Version)), LEV_AUTH2);
    EXPECT_EQ(link->Flags, LNK_AUTH2_STEP);
    EXPECT_EQ(link->VR + link->VS + link->VA, 0);
}

// ---------------------------------------------------------------------------------------------------
// Decryption and the answers

TEST_F(LinkTest, FrameThatFailsDecryptionClearsTheStopAndWaitState) {
    Authenticate();
    ASSERT_EQ(Build(REQ_GET_HW_INFO), LEV_FRAME_BUILT);
    FeedOne(peer.Info(LNK_I, 0, 1, NoAnswers));
    ASSERT_EQ(Build(REQ_GET_HW_INFO), LEV_FRAME_BUILT);
    link->Flags |= LNK_RR_DUE;
    Bytes bad = peer.Info(LNK_I, 1, 2, NoAnswers);
    bad[10] ^= 1;
    traced.clear();
    EXPECT_EVENTS(FeedOne(bad), LEV_AUTH_ERROR);
    EXPECT_EQ(link->Results.LinkErrors & 1, 1u);
    EXPECT_EQ(link->Flags, 0u);
    EXPECT_EQ(link->VR, 1);
    EXPECT_NE(traced.find("): Auth_DecryptBlk Error!\n"), std::string::npos) << traced;
    EXPECT_EVENTS(FeedOne(peer.Info(LNK_I, 1, 2, NoAnswers)), LEV_DATA);
    EXPECT_EQ(link->Results.LinkErrors & 1, 0u);
}

TEST_F(LinkTest, AnswersOfAnAcceptedFrameAreParsed) {
    Authenticate();
    link->Results.Answered = 0;
    // GetInputs answer with inputs 1 and 3 active.
    EXPECT_EVENTS(FeedOne(peer.Info(LNK_I, 0, 0, {0x91, 0x05, 0xFF})), LEV_DATA);
    EXPECT_EQ(link->Results.Answered & REQ_GET_INPUTS, REQ_GET_INPUTS);
    EXPECT_EQ(link->Results.HwInfo.InputBits & 7, 5);
    EXPECT_EQ(link->RxAsmLen, 0);
}

TEST_F(LinkTest, ReceivedFramesAreTraced) {
    Authenticate();
    FeedOne(peer.Info(LNK_I, 0, 0, Bytes(20, 0xFF)));
    FeedOne(peer.Info(LNK_AI, 0, 0, NoAnswers));
    FeedOne(Frame(Modem, Ctl(LNK_REJ, 0, 0, 0)));
    FeedOne(Frame(Modem, Ctl(LNK_RNR, 0, 0, 0)));
    FeedOne(peer.Auth(Kind2Version));
    EXPECT_EQ(traced, "     : 1234-0000,I(00):032 [09.05:07 101226]\n\r"
                      "     : 1234-0000,AI(0):016 [09.05:07 101226]\n\r"
                      "     : 1234-0000,REJ(0)    [09.05:07 101226]\n\r"
                      "     : 1234-0000,RNR(0)    [09.05:07 101226]\n\r"
                      "     : 1234     ,AUTH      [09.05:07 101226]\n\r");
}

TEST_F(LinkTest, ModemIdIsTakenFromEveryFrame) {
    Authenticate();
    FeedOne(Frame(0x4321, Ctl(LNK_RR, 0, 0, 0)));
    EXPECT_EQ(link->ModemId, 0x4321);
    ASSERT_EQ(Build(REQ_GET_HW_INFO), LEV_FRAME_BUILT);
    EXPECT_EQ(Get_U16BE(out + 2), 0x4321);
}

// ---------------------------------------------------------------------------------------------------
// Random streams: the receive path must stay within its buffers whatever arrives

// One random piece of the stream: mostly well-formed frames of a modem that keeps to the protocol,
// mixed with repeats, damaged and cut frames, foreign headers and garbage.
Bytes RandomPiece(std::mt19937& rng, Peer& peer, const IpLink& link, uint8_t& ns) {
    auto pick = [&](uint32_t n) { return uint32_t(rng() % n); };
    Bytes f;
    switch (pick(8)) {
    case 0:
    case 1: {
        uint8_t seq = pick(6) ? ns++ & 7 : uint8_t(pick(8));
        f = peer.Info(LNK_I, seq, link.VS, Bytes(1 + pick(400), uint8_t(0x80 | pick(25))));
        if (pick(5) == 0)
            f = f + f;
        break;
    }
    case 2:
        f = peer.Info(LNK_AI, 0, pick(4) ? link.VS : uint8_t(pick(8)), Bytes(1 + pick(200), 0xFF));
        break;
    case 3:
        f = Frame(Modem, Ctl(uint8_t(1 + pick(3)), 0, pick(3) ? link.VS : uint8_t(pick(8)), 0));
        break;
    case 4:
        if (pick(4) == 0)
            f = peer.Auth(pick(2) ? Kind2Version : Kind1Version);
        break;
    case 5:
        f = Frame(uint16_t(rng()), uint16_t(rng() & 0x7FFF), Bytes(pick(1100), uint8_t(rng())));
        break;
    case 6:
        for (uint32_t n = pick(40); n > 0; --n)
            f.push_back(pick(4) ? uint8_t(rng()) : uint8_t(0x55 + pick(2) * 0x55));
        break;
    default:
        f = peer.Info(LNK_I, ns & 7, link.VS, Bytes(1 + pick(1008), 0xFF));
        for (uint32_t n = 1 + pick(3); n > 0; --n)
            f[pick(uint32_t(f.size()))] ^= uint8_t(1 << pick(8));
        if (pick(3) == 0)
            f.resize(pick(uint32_t(f.size())));
        break;
    }
    return f;
}

TEST_F(LinkTest, RandomStreamsKeepTheLinkConsistent) {
    uint32_t seen = 0; // every event that came up in some stream
    for (uint32_t seed = 1; seed <= 40; ++seed) {
        SCOPED_TRACE(seed);
        std::mt19937 rng(seed);
        auto pick = [&](uint32_t n) { return uint32_t(rng() % n); };
        TMGSM_InitIp(link.get(), &keys, nullptr, 20, nullptr, 0);
        peer = Peer{};
        Authenticate();
        uint8_t ns = 0;
        Bytes pending;
        size_t fed = 0, taken = 0;
        for (int step = 0; step < 400; ++step) {
            while (pending.size() < 2500)
                pending = pending + RandomPiece(rng, peer, *link, ns);
            size_t chunk = 1 + pick(uint32_t(pending.size()));
            size_t took = 0;
            uint32_t ev = TMGSM_AcceptIpMsg(link.get(), pending.data(), chunk, &took);
            ASSERT_LE(took, chunk);
            ASSERT_LE(took, size_t(LNK_RXBUF_SIZE));
            fed += chunk;
            taken += took;
            pending.erase(pending.begin(), pending.begin() + long(took));
            ev |= TMGSM_QryIp(link.get());
            seen |= ev;
            ASSERT_LE(link->RxLen, LNK_RXBUF_SIZE);
            ASSERT_LE(link->SCount, LNK_SQUEUE_SIZE);
            ASSERT_LE(link->RxAsmLen, LNK_ASM_SIZE);
            ASSERT_LT(link->VR | link->VA | link->VS, 8);
            if (ev & (LEV_AUTH0 | LEV_AUTH1 | LEV_AUTH2)) {
                AppBuf_Link(appBuf.get(), link.get());
                uint32_t mask = REQ_AUTH;
                if (TMGSM_CreateIpMsg(link.get(), out, &outLen, &mask) == LEV_AUTH_REPLY) {
                    AesCtx aes;
                    Aes_SetKey(&aes, peer.key.data(), 128);
                    uint8_t nonce[16];
                    Aes_Decrypt(&aes, out + LNK_HEADER_SIZE, nonce);
                    peer.DeriveSession(nonce);
                } else {
                    // Kinds 0 and 1 get no reply; this test's modem learns the key all the same.
                    Auth_SetSessKey(&peer.ctx, link->Auth.SessKey);
                }
                ns = 0;
            }
            if (ev & LEV_RR_DUE)
                TMGSM_CreateRRMsg(link.get(), out, &outLen);
            if (ev & LEV_SFRAMES)
                TMGSM_GetIpSMsg(link.get(), out, &outLen);
            uint32_t mask = pick(2) ? REQ_TX_DATA_ACK : REQ_GET_HW_INFO;
            if (TMGSM_CreateIpMsg(link.get(), out, &outLen, &mask) == LEV_FRAME_BUILT) {
                ASSERT_LE(outLen, LNK_MAX_FRAME);
                ASSERT_FALSE(peer.Open(out, outLen).empty());
            }
        }
        ASSERT_LE(taken, fed);
    }
    // The streams reached every receive outcome.
    for (uint32_t ev : {LEV_DATA, LEV_REJ_SENT, LEV_RNR_RCVD, LEV_AUTH_ERROR, LEV_AUTH1, LEV_AUTH2,
                        LEV_HEADER_ERROR, LEV_FRAME_ERROR, LEV_RR_DUE, LEV_WAIT_ACK})
        EXPECT_TRUE(seen & ev) << EventNames(ev);
}

} // namespace
