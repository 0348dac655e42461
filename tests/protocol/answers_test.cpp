#include "command_target.h"

#include <gtest/gtest.h>

#include <array>
#include <random>

namespace {

const uint8_t SessKey[16] = {};

constexpr uint8_t A(uint8_t code) {
    return static_cast<uint8_t>(CMD_ANSWER + code);
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

// Bytes after the code byte of a GetHwInfo answer, and where its status byte sits.
size_t HwSize(uint8_t type, uint32_t versionNo) {
    return 2 + 2 + 4 + 12 + (type >= 2 ? 16 : 0) + 12 + (versionNo >= 104 ? 8 : 0) +
           (versionNo >= 105 ? 19 : 0) + 13 + (versionNo < 105 ? 1 : 0);
}
size_t HwStatusAt(uint8_t type, uint32_t versionNo) {
    return versionNo >= 105 ? 2 + 2 + 4 + 12 + (type >= 2 ? 16 : 0) + 12 + 8 : HwSize(type, versionNo) - 1;
}

// A GetHwInfo answer: version word 0x1234, the status byte, every other field filled with 0xEE.
Bytes HwItem(uint8_t type, uint32_t versionNo, uint8_t status) {
    const size_t n = HwSize(type, versionNo);
    Bytes item(1 + n, 0xEE);
    item[0] = A(CMD_GET_HW_INFO);
    item[1] = type;
    item[2] = static_cast<uint8_t>(n - 2);
    item[3] = 0x12;
    item[4] = 0x34;
    item[1 + HwStatusAt(type, versionNo)] = status;
    return item;
}

class AnswersTest : public ::testing::Test {
protected:
    CommandTarget t{SessKey};

    void SetUp() override {
        TraceCapture.clear();
        Trace_SetSink(CaptureTrace);
        Tm_SetClockSource(FixedTestClock);
    }
    void TearDown() override {
        Trace_SetSink(nullptr);
        Tm_SetClockSource(nullptr);
    }

    // Parses one record of the given plaintext (followed by 0xFF) and checks that it was removed.
    uint32_t Parse(const Bytes& items, uint8_t mode = CMD_MODE_IP) {
        t.recordsLen = 0;
        t.AddRecord(Concat({items, {0xFF}}));
        CmdCtx ctx = t.Ctx();
        HCP_ParseAnswers(mode, &ctx);
        EXPECT_EQ(t.recordsLen, 0);
        return t.results.Answered;
    }
};

TEST_F(AnswersTest, RecordWithoutAnswersSetsNothingAndIsRemoved) {
    EXPECT_EQ(Parse({}), 0u);
    EXPECT_EQ(t.results.Errors, 0u);
}

TEST_F(AnswersTest, ProfileAndHardwareInformationAnswersInOneBlock) {
    t.results.HwInfo.VersionNo = 104;
    ObjProfile sent{};
    sent.ServerIp = 0xC0A80001;
    sent.ServerPort = 4000;
    Prof_SetStr(PROF_STR_APN, &sent, "apn.example");
    Bytes prof1(PROF1_SIZE);
    Prof_Encode(prof1.data(), 0, &sent);
    EXPECT_EQ(Parse(Concat({{A(CMD_GET_PROFILE1)}, prof1, HwItem(1, 104, 0x0B)})),
              REQ_GET_PROFILE1 | REQ_GET_HW_INFO);
    EXPECT_EQ(t.results.Profile.ServerIp, 0xC0A80001u);
    EXPECT_EQ(t.results.Profile.ServerPort, 4000);
    EXPECT_STREQ(t.results.Profile.Apn, "apn.example");
    EXPECT_EQ(Bytes(t.results.HwInfo.Version, t.results.HwInfo.Version + 4), (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(t.results.HwInfo.InputBits, 0x0B);
    EXPECT_NE(TraceCapture.find("     : 00AB p:GetProfile1  \n     : 00AB p:GetHwInfo    \n"),
              std::string::npos);
}

TEST_F(AnswersTest, UnexpectedAnswerEndsTheParse) {
    for (uint8_t code : {CMD_RX_DATA, CMD_TX_DATA_ACK, CMD_GPRS_CLOSE, CMD_NULL, CMD_RX_DATA_PACKED}) {
        t.results.Answered = 0;
        EXPECT_EQ(Parse({A(CMD_SET_HW_ID), A(code), A(CMD_SET_KEY)}), REQ_SET_HW_ID) << int(code);
    }
    // Codes above 24 and bytes below 0x80 end it too.
    t.results.Answered = 0;
    EXPECT_EQ(Parse({A(CMD_SET_KEY), 0x99, A(CMD_SET_IP)}), REQ_SET_KEY);
    EXPECT_NE(TraceCapture.find("p:???"), std::string::npos);
    t.results.Answered = 0;
    EXPECT_EQ(Parse({A(CMD_SET_KEY), 0x10, A(CMD_SET_IP)}), REQ_SET_KEY);
}

TEST_F(AnswersTest, ConfirmationsCarryNoPayload) {
    const uint8_t codes[] = {CMD_SET_PROFILE1, CMD_SET_PROFILE2, CMD_SET_KEY,
                             CMD_SET_HW_ID,    CMD_SET_UPD_BLK,  CMD_CLR_STAT,
                             CMD_SET_IP,       CMD_SET_POLL_STR, CMD_IN_SMS_STR_SET};
    Bytes items;
    uint32_t bits = 0;
    for (uint8_t code : codes) {
        items.push_back(A(code));
        bits |= Cmd_Bit(code);
    }
    EXPECT_EQ(Parse(items), bits);
    t.results.Answered = 0;
    EXPECT_EQ(Parse(items, CMD_MODE_SMS), bits);
}

TEST_F(AnswersTest, UnknownHardwareInformationTypeIsSkippedByItsLength) {
    t.results.HwInfo.VersionNo = 104;
    EXPECT_EQ(Parse({A(CMD_GET_HW_INFO), 5, 3, 0xAA, 0xBB, 0xCC, A(CMD_GET_INPUTS), 0x05}),
              REQ_GET_HW_INFO | REQ_GET_INPUTS);
    EXPECT_EQ(t.results.Errors, CMD_ERR_HW_INFO_TYPE);
    EXPECT_EQ(t.results.HwInfo.InputBits, 0x05);
}

TEST_F(AnswersTest, OlderModemsAnswerTheIncomingSmsTextsByHardwareInformation) {
    t.results.HwInfo.VersionNo = 103;
    EXPECT_EQ(Parse(HwItem(0, 103, 0)), REQ_GET_HW_INFO | REQ_IN_SMS_STR_SET | REQ_IN_SMS_STR_GET);
}

struct HwLayout {
    uint8_t type;
    uint32_t versionNo;
    size_t size; // bytes after the code byte
};

TEST_F(AnswersTest, HardwareInformationLayoutFollowsTypeAndVersion) {
    const HwLayout layouts[] = {{0, 0, 46},   {1, 103, 46}, {2, 103, 62}, {4, 0, 62},
                                {0, 104, 54}, {3, 104, 70}, {1, 105, 72}, {2, 105, 88}};
    for (const HwLayout& l : layouts) {
        SCOPED_TRACE(testing::Message() << "type " << int(l.type) << " version " << l.versionNo);
        ASSERT_EQ(HwSize(l.type, l.versionNo), l.size);
        t.results = {};
        t.results.HwInfo.VersionNo = l.versionNo;
        t.results.HwInfo.InputBits = 0x30;
        // The next item starts right after the layout, and the status byte gives the inputs.
        EXPECT_EQ(Parse(Concat({HwItem(l.type, l.versionNo, 0xF6), {A(CMD_SET_KEY)}})),
                  REQ_GET_HW_INFO | REQ_SET_KEY |
                      (l.versionNo < 104 ? REQ_IN_SMS_STR_SET | REQ_IN_SMS_STR_GET : 0));
        EXPECT_EQ(t.results.HwInfo.InputBits, 0x36);
        // One byte short: the item does not fit and is not answered.
        t.results = {};
        t.results.HwInfo.VersionNo = l.versionNo;
        Bytes item = HwItem(l.type, l.versionNo, 0x06);
        item[2] = static_cast<uint8_t>(l.size - 3);
        item.pop_back();
        t.recordsLen = 0;
        t.AddRecord(item);
        CmdCtx ctx = t.Ctx();
        HCP_ParseAnswers(CMD_MODE_IP, &ctx);
        EXPECT_EQ(t.results.Answered, 0u);
        EXPECT_EQ(t.results.HwInfo.Version[0], 0);
    }
}

TEST_F(AnswersTest, HardwareInformationLengthByteMustLieInsideTheBlock) {
    Bytes item = HwItem(0, 0, 0);
    item[2] = static_cast<uint8_t>(item.size()); // claims two bytes more than there are
    t.AddRecord(item);
    CmdCtx ctx = t.Ctx();
    HCP_ParseAnswers(CMD_MODE_IP, &ctx);
    EXPECT_EQ(t.results.Answered, 0u);
}

// Every answer with a payload, whole and one byte short.
struct FitCase {
    uint8_t code;
    Bytes payload;
};

TEST_F(AnswersTest, AnswerThatDoesNotFitEndsTheParseUnanswered) {
    Bytes updCtx(UPD_CTX_ANSWER_SIZE, 0);
    const FitCase cases[] = {
        {CMD_GET_PROFILE1, Bytes(PROF1_SIZE, 0x20)},
        {CMD_GET_PROFILE2, Bytes(PROF2_SIZE, 0xFF)},
        {CMD_RX_DATA_ACK, {0, 0x10, 0x05}},
        {CMD_TX_DATA, {0x03, 0, 1, 0, 2, 0, 0, 'o', 'k'}},
        {CMD_TX_DATA_WO_AVAIL, {0x03, 0, 1, 0, 2, 'o', 'k'}},
        {CMD_GET_UPD_CTX, updCtx},
        {CMD_GET_INPUTS, {0x07}},
        {CMD_GET_POLL_STR, Bytes(POLL_SIZE, 'p')},
        {CMD_GET_LOG, {0, 4, 2, 1, 2, 3, 4, 5, 6, 7, 8}},
        {CMD_IN_SMS_STR_GET, Bytes(INSMS_SIZE, 0)},
    };
    for (const FitCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "code " << int(c.code));
        AppBuf_Init(t.buf.get());
        t.results = {};
        // Whole, as the last item of a full record: answered.
        t.recordsLen = 0;
        t.AddRecord(Concat({{A(c.code)}, c.payload}));
        CmdCtx ctx = t.Ctx();
        HCP_ParseAnswers(CMD_MODE_IP, &ctx);
        EXPECT_EQ(t.results.Answered, Cmd_Bit(c.code));
        // One byte short: not answered, and the answer after it is lost.
        t.results = {};
        Bytes shortItem = Concat({{A(c.code)}, c.payload});
        shortItem.pop_back();
        t.recordsLen = 0;
        t.AddRecord(shortItem);
        HCP_ParseAnswers(CMD_MODE_IP, &ctx);
        EXPECT_EQ(t.results.Answered, 0u);
        EXPECT_EQ(t.recordsLen, 0);
    }
}

TEST_F(AnswersTest, DataAnswersReachTheLinkedBuffer) {
    t.buf->TxInFlight = 0x10;
    t.buf->TxFill = 0x20;
    EXPECT_EQ(
        Parse({A(CMD_RX_DATA_ACK), 0, 0xA0, 0x10, A(CMD_TX_DATA), 0x04, 0x00, 0x07, 0, 2, 0, 0, 'h', 'i'}),
        REQ_RX_DATA_ACK | REQ_TX_DATA);
    EXPECT_EQ(t.buf->TxAcked, 0x10u);
    EXPECT_EQ(t.buf->RxPendingLen, 2u);
    EXPECT_EQ(t.buf->RxPendingId, 7u);
    EXPECT_EQ(t.results.HwInfo.InputBits, 0x04);
}

TEST_F(AnswersTest, SmsAnswersTouchNoBufferAndNoLogStore) {
    t.log[0] = 0x55;
    EXPECT_EQ(Parse({A(CMD_TX_DATA_WO_AVAIL), 0x02, 0, 1, 0, 2, 'h', 'i', A(CMD_GET_LOG), 0, 4, 1, 9, 9, 9, 9,
                     A(CMD_RX_DATA_ACK),      0,    0, 4},
                    CMD_MODE_SMS),
              REQ_TX_DATA | REQ_GET_LOG | REQ_RX_DATA_ACK);
    EXPECT_EQ(t.buf->RxPendingLen, 0u);
    EXPECT_EQ(t.log[0], 0x55);
}

TEST_F(AnswersTest, LogAnswerGoesToTheStore) {
    EXPECT_EQ(Parse({A(CMD_GET_LOG), 0, 4, 2, 1, 2, 3, 4, 5, 6, 7, 8}), REQ_GET_LOG);
    EXPECT_EQ(Bytes(t.log, t.log + 10), (Bytes{0, 2, 1, 2, 3, 4, 5, 6, 7, 8}));
    // Other types are passed over; type 0 needs entries of 4 bytes.
    t.results.Answered = 0;
    EXPECT_EQ(Parse({A(CMD_GET_LOG), 3, 2, 2, 9, 9, 9, 9, A(CMD_SET_KEY)}), REQ_GET_LOG | REQ_SET_KEY);
    EXPECT_EQ(Bytes(t.log, t.log + 4), (Bytes{3, 2, 1, 2}));
    t.results.Answered = 0;
    EXPECT_EQ(Parse({A(CMD_GET_LOG), 0, 3, 1, 9, 9, 9}), 0u);
    EXPECT_EQ(t.log[0], 3);
}

TEST_F(AnswersTest, UpdateContextAnswerReachesTheUpdateState) {
    EXPECT_EQ(Parse(Concat({{A(CMD_GET_UPD_CTX)}, Bytes(UPD_CTX_ANSWER_SIZE, 0)})), REQ_GET_UPD_CTX);
    EXPECT_TRUE(t.upd.Flags & UPD_INVALID); // the link holds no image
}

TEST_F(AnswersTest, IncomingSmsTextsAndPollBlockAnswersFillTheProfile) {
    Bytes poll(POLL_SIZE, 0);
    memcpy(poll.data() + 16, "poll text", 9);
    Bytes texts(INSMS_SIZE, 0);
    memcpy(texts.data() + 20, "first", 5);
    EXPECT_EQ(Parse(Concat({{A(CMD_GET_POLL_STR)}, poll, {A(CMD_IN_SMS_STR_GET)}, texts})),
              REQ_GET_POLL_STR | REQ_IN_SMS_STR_GET);
    EXPECT_STREQ(t.results.Profile.PollText, "poll text");
    EXPECT_STREQ(t.results.Profile.InSmsText[0], "first");
}

TEST_F(AnswersTest, OnlyTheFirstRecordIsParsedAndRemoved) {
    t.AddRecord({A(CMD_SET_KEY), 0xFF});
    t.AddRecord({A(CMD_SET_IP), 0xFF});
    CmdCtx ctx = t.Ctx();
    HCP_ParseAnswers(CMD_MODE_IP, &ctx);
    EXPECT_EQ(t.results.Answered, REQ_SET_KEY);
    EXPECT_EQ(t.recordsLen, 4);
    EXPECT_EQ(t.records[2], A(CMD_SET_IP));
    HCP_ParseAnswers(CMD_MODE_IP, &ctx);
    EXPECT_EQ(t.results.Answered, REQ_SET_KEY | REQ_SET_IP);
    EXPECT_EQ(t.recordsLen, 0);
    HCP_ParseAnswers(CMD_MODE_IP, &ctx); // nothing held
    EXPECT_EQ(t.recordsLen, 0);
}

TEST_F(AnswersTest, RecordLengthIsCutToTheBytesHeld) {
    // Only the low 10 bits count; 0x3FF is more than is held.
    const uint8_t record[] = {0xFF, 0xFF, A(CMD_GET_INPUTS), 0x03, A(CMD_GET_INPUTS)};
    memcpy(t.records, record, sizeof record);
    t.recordsLen = sizeof record;
    CmdCtx ctx = t.Ctx();
    HCP_ParseAnswers(CMD_MODE_IP, &ctx);
    EXPECT_EQ(t.results.Answered, REQ_GET_INPUTS);
    EXPECT_EQ(t.results.HwInfo.InputBits, 0x03);
    EXPECT_EQ(t.recordsLen, 0);
    // A lone byte is not a record.
    t.recordsLen = 1;
    HCP_ParseAnswers(CMD_MODE_IP, &ctx);
    EXPECT_EQ(t.recordsLen, 1);
}

TEST_F(AnswersTest, InputAnswerKeepsInputFour) {
    t.results.HwInfo.InputBits = 0x08;
    EXPECT_EQ(Parse({A(CMD_GET_INPUTS), 0xF2}), REQ_GET_INPUTS);
    EXPECT_EQ(t.results.HwInfo.InputBits, 0x0A);
}

// Random streams of answer items, well formed, cut short or garbled, in records of every size, through
// both modes. Nothing may be read or written outside the record, the buffer or the stores.
TEST_F(AnswersTest, RandomStreamsParseCleanly) {
    std::mt19937 rng(20261210);
    auto byte = [&] { return static_cast<uint8_t>(rng()); };
    const uint32_t answerBits = 0x7FFFFF & ~REQ_RX_DATA & ~REQ_TX_DATA_ACK & ~REQ_GPRS_CLOSE & ~REQ_NULL;
    Bytes image(3 * UPD_BLOCK_SIZE, 0);
    t.upd.Image = image.data();
    t.upd.ImageSize = static_cast<uint32_t>(image.size());
    for (int round = 0; round < 20000; round++) {
        Bytes plain;
        const size_t target = rng() % 1009;
        while (plain.size() < target) {
            const uint8_t code = static_cast<uint8_t>(rng() % 27);
            plain.push_back(A(code));
            size_t n = 0;
            switch (code) {
            case CMD_GET_HW_INFO:
                plain.push_back(static_cast<uint8_t>(rng() % 6));
                n = rng() % 100;
                plain.push_back(static_cast<uint8_t>(rng() % 3 ? n : byte()));
                break;
            case CMD_GET_LOG:
                plain.insert(plain.end(),
                             {static_cast<uint8_t>(rng() % 2), static_cast<uint8_t>(rng() % 2 ? 4 : byte()),
                              static_cast<uint8_t>(rng() % 20)});
                n = plain[plain.size() - 2] * plain.back();
                break;
            case CMD_TX_DATA:
            case CMD_TX_DATA_WO_AVAIL:
                plain.insert(plain.end(), {byte(), byte(), byte(), 0, static_cast<uint8_t>(rng() % 60)});
                n = plain.back() + (code == CMD_TX_DATA ? 2 : 0);
                break;
            default:
                n = rng() % 3 ? rng() % 8 : rng() % 450;
            }
            for (size_t i = 0; i < n; i++)
                plain.push_back(byte());
            if (rng() % 8 == 0 && !plain.empty())
                plain[rng() % plain.size()] = byte(); // damage
        }
        if (plain.size() > 1008)
            plain.resize(1008);
        t.recordsLen = 0;
        t.AddRecord(plain);
        if (rng() % 4 == 0) // a second record behind the first
            t.AddRecord(
                Bytes(plain.begin(), plain.begin() + static_cast<long>(std::min<size_t>(plain.size(), 16))));
        const uint16_t held = t.recordsLen;
        t.results.HwInfo.VersionNo = std::array<uint32_t, 4>{0, 103, 104, 105}[rng() % 4];
        t.results.Answered = 0;
        AppBuf_Init(t.buf.get());
        // Held in a heap area of exactly their size, so that a read past them is caught.
        std::vector<uint8_t> exact(t.records, t.records + held);
        CmdCtx ctx = t.Ctx(rng() % 2 == 0);
        ctx.Records = exact.data();
        ctx.RecordsCap = held;
        HCP_ParseAnswers(rng() % 2 ? CMD_MODE_IP : CMD_MODE_SMS, &ctx);
        ASSERT_EQ(t.recordsLen, held - 2 - plain.size());
        ASSERT_EQ(t.results.Answered & ~answerBits, 0u);
        ASSERT_LE(t.results.HwInfo.InputBits & 0xF0, 0x00);
        ASSERT_LE(t.buf->RxPendingLen, AppBufPendingSize);
    }
}

} // namespace
