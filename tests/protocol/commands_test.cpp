#include "command_target.h"

#include <gtest/gtest.h>

#include <numeric>

namespace {

const uint8_t SessKey[16] = {0x10, 0x21, 0x32, 0x43, 0x54, 0x65, 0x76, 0x87,
                             0x98, 0xA9, 0xBA, 0xCB, 0xDC, 0xED, 0xFE, 0x0F};

void PutLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// A valid firmware image of count data blocks.
Bytes MakeImage(uint32_t count) {
    Bytes image((count + 1) * UPD_BLOCK_SIZE);
    for (size_t i = UPD_BLOCK_SIZE; i < image.size(); ++i)
        image[i] = static_cast<uint8_t>(i * 7 + i / 128);
    PutLe32(image.data(), count);
    Md5_Digest(image.data() + UPD_BLOCK_SIZE, count * UPD_BLOCK_SIZE, image.data() + 4);
    PutLe32(image.data() + 20, Crc32(image.data(), 20));
    PutLe32(image.data() + 24, 0xFFFE1203);
    return image;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

class CommandsTest : public ::testing::Test {
protected:
    CommandTarget t{SessKey};
    ObjProfile prof{};
    Bytes image = MakeImage(2);
    Bytes queued = Bytes{'h', 'e', 'l', 'l', 'o', ' ', 'm', 'o', 'd', 'm'};

    void SetUp() override {
        TraceCapture.clear();
        Trace_SetSink(CaptureTrace);
        Tm_SetClockSource(FixedTestClock);
        prof.ServerIp = 0x0A000001;
        prof.ServerPort = 5001;
        Prof_SetStr(PROF_STR_APN, &prof, "internet.example");
        strcpy(prof.PollText, "poll");
        for (int i = 0; i < 6; i++)
            memset(prof.InSmsText[i], 'a' + i, 64);
        t.params.Profile = &prof;
        for (int i = 0; i < 16; i++)
            t.params.NewKey[i] = static_cast<uint8_t>(0xC0 + i);
        t.params.HwId = 0x1234;
        t.params.ClrStatArg = 0xBEEF;
        t.upd.Image = image.data();
        t.upd.ImageSize = static_cast<uint32_t>(image.size());
        t.upd.Flags = UPD_CTX_KNOWN;
        AppBuf_Push(t.buf.get(), queued.data(), static_cast<uint32_t>(queued.size()));
        t.buf->RxSinceAck = 0x0102;
    }
    void TearDown() override {
        Trace_SetSink(nullptr);
        Tm_SetClockSource(nullptr);
    }

    // Builds one block; returns the mask left and the decrypted items (the CRC and, for SMS, the CRC
    // inside the block removed), checking the padding around them.
    uint32_t Build(uint8_t mode, uint32_t mask, Bytes* plain) {
        CmdCtx ctx = t.Ctx();
        t.blockLen = 0xFFFF;
        const uint32_t left = CreateCmd(mode, &ctx, &mask);
        EXPECT_EQ(left, mask);
        plain->clear();
        if (t.blockLen == 0)
            return left;
        const uint16_t p = t.blockLen;
        EXPECT_EQ(p % 16, 0);
        Bytes copy(t.block, t.block + p + (mode == CMD_MODE_IP ? 4 : 0));
        EXPECT_EQ(Auth_DecryptBlk(&t.auth, copy.data(), static_cast<uint16_t>(copy.size())), 1);
        copy.resize(p - (mode == CMD_MODE_SMS ? 4 : 0));
        *plain = copy;
        return left;
    }

    // The items of a block: everything up to the 0xFF terminator (the whole block when it is full).
    static Bytes Items(const Bytes& plain, size_t n) {
        EXPECT_LE(n, plain.size());
        if (n < plain.size()) {
            EXPECT_EQ(plain[n], 0xFF);
        }
        return Bytes(plain.begin(), plain.begin() + static_cast<long>(std::min(n, plain.size())));
    }

    Bytes Prof(int part) {
        Bytes b(part == 0 ? PROF1_SIZE : PROF2_SIZE);
        Prof_Encode(b.data(), part, &prof);
        return b;
    }
    Bytes Poll() {
        Bytes b(POLL_SIZE);
        Poll_Encode(b.data(), &prof);
        return b;
    }
    Bytes InSms() {
        ObjProfile copy = prof;
        Bytes b(INSMS_SIZE);
        InSms_Encode(b.data(), &copy);
        return b;
    }
};

struct CommandCase {
    uint8_t code;
    uint32_t mask;
    uint32_t versionNo;
    uint8_t options;
    bool inIp, inSms; // built in the mode
};

// Every command code, as a caller would request it. Answer-only codes are asked by their bit, which
// the builder never picks; RxDataPacked has no bit and comes out of RxData when packing is allowed.
const CommandCase Cases[] = {
    {CMD_SET_PROFILE1, REQ_SET_PROFILE1, 0, 0, true, true},
    {CMD_SET_PROFILE2, REQ_SET_PROFILE2, 0, 0, true, true},
    {CMD_GET_PROFILE1, REQ_GET_PROFILE1, 0, 0, true, true},
    {CMD_GET_PROFILE2, REQ_GET_PROFILE2, 0, 0, true, true},
    {CMD_RX_DATA, REQ_RX_DATA, 0, 0, true, false},
    {CMD_RX_DATA_ACK, REQ_RX_DATA_ACK, 0, 0, false, false},
    {CMD_TX_DATA, REQ_TX_DATA, 0, 0, false, false},
    {CMD_TX_DATA_ACK, REQ_TX_DATA_ACK, 0, 0, true, false},
    {CMD_SET_KEY, REQ_SET_KEY, 0, 0, true, true},
    {CMD_SET_HW_ID, REQ_SET_HW_ID, 0, 0, true, true},
    {CMD_SET_UPD_BLK, REQ_SET_UPD_BLK, 0, 0, true, false},
    {CMD_GET_HW_INFO, REQ_GET_HW_INFO, 0, 0, true, true},
    {CMD_GET_UPD_CTX, REQ_GET_UPD_CTX, 0, 0, true, true},
    {CMD_CLR_STAT, REQ_CLR_STAT, 0, 0, true, true},
    {CMD_GPRS_CLOSE, REQ_GPRS_CLOSE, 0, 0, false, false},
    {CMD_NULL, REQ_NULL, 0, 0, true, true},
    {CMD_SET_IP, REQ_SET_IP, 0, 0, true, true},
    {CMD_GET_INPUTS, REQ_GET_INPUTS, 0, 0, false, false},
    {CMD_SET_POLL_STR, REQ_SET_POLL_STR, 0, 0, true, false}, // 145 bytes: more than an SMS block holds
    {CMD_GET_POLL_STR, REQ_GET_POLL_STR, 0, 0, true, true},
    {CMD_GET_LOG, REQ_GET_LOG, 0, 0, true, true},
    {CMD_TX_DATA_WO_AVAIL, REQ_TX_DATA, 0, 0, false, false},
    {CMD_RX_DATA_PACKED, REQ_RX_DATA, 0, 0x2, true, false},
    {CMD_IN_SMS_STR_SET, REQ_IN_SMS_STR_SET, 104, 0, true, false}, // 408 bytes
    {CMD_IN_SMS_STR_GET, REQ_IN_SMS_STR_GET, 104, 0, true, true},
};

class EveryCommandTest : public CommandsTest,
                         public ::testing::WithParamInterface<std::tuple<CommandCase, uint8_t>> {};

TEST_P(EveryCommandTest, IsBuiltOrLeftInTheMask) {
    const auto& [c, mode] = GetParam();
    t.results.HwInfo.VersionNo = c.versionNo;
    t.options = c.options;
    const Bytes equalData(100, 0x41);
    if (c.code == CMD_RX_DATA_PACKED)
        AppBuf_Push(t.buf.get(), equalData.data(), static_cast<uint32_t>(equalData.size()));

    Bytes expected;
    switch (c.code) {
    case CMD_SET_PROFILE1:
    case CMD_SET_PROFILE2:
        expected = Concat({{c.code}, Prof(c.code)});
        break;
    case CMD_RX_DATA:
        expected = Concat({{CMD_RX_DATA, 0, 0, 0, 10}, queued});
        break;
    case CMD_TX_DATA_ACK:
        expected = {CMD_TX_DATA_ACK, 0, 0x01, 0x02};
        break;
    case CMD_SET_KEY:
        expected = Concat({{CMD_SET_KEY}, Bytes(t.params.NewKey, t.params.NewKey + 16)});
        break;
    case CMD_SET_HW_ID:
        expected = {CMD_SET_HW_ID, 0x12, 0x34};
        break;
    case CMD_SET_UPD_BLK: // the header and both data blocks
        expected = Concat({{CMD_SET_UPD_BLK, 0x82}, image});
        break;
    case CMD_CLR_STAT:
        expected = {CMD_CLR_STAT, 0xBE, 0xEF};
        break;
    case CMD_SET_IP:
        expected = {CMD_SET_IP, 10, 0, 0, 1, 0x13, 0x89};
        break;
    case CMD_SET_POLL_STR:
        expected = Concat({{CMD_SET_POLL_STR}, Poll()});
        break;
    case CMD_IN_SMS_STR_SET:
        expected = Concat({{CMD_IN_SMS_STR_SET}, InSms()});
        break;
    default:
        expected = {c.code};
    }

    Bytes plain;
    const uint32_t left = Build(mode, c.mask, &plain);
    if (!(mode == CMD_MODE_IP ? c.inIp : c.inSms)) {
        EXPECT_EQ(left, c.mask);
        EXPECT_EQ(t.blockLen, 0);
        return;
    }
    EXPECT_EQ(left, 0u);
    if (c.code == CMD_RX_DATA_PACKED) {
        // The ten queued bytes and a hundred equal ones, packed.
        ASSERT_GE(plain.size(), 5u);
        EXPECT_EQ(plain[0], CMD_RX_DATA_PACKED);
        EXPECT_EQ(plain[3] << 8 | plain[4], 110);
        Bytes packed(plain.begin() + 5, plain.end());
        const auto avail = static_cast<uint32_t>(packed.size());
        packed.resize(AppBufPendingSize);
        ASSERT_GT(Pack_Decode(packed.data(), avail, 110, AppBufPendingSize), 0u);
        EXPECT_EQ(Bytes(packed.begin(), packed.begin() + 10), queued);
        EXPECT_EQ(Bytes(packed.begin() + 10, packed.begin() + 110), equalData);
        return;
    }
    EXPECT_EQ(Items(plain, expected.size()), expected);
    if (c.code == CMD_SET_KEY) {
        EXPECT_EQ(memcmp(t.auth.PendingKey, t.params.NewKey, 16), 0);
    }
}

std::string CaseName(const ::testing::TestParamInfo<std::tuple<CommandCase, uint8_t>>& info) {
    std::string name = Cmd_Name(std::get<0>(info.param).code);
    name.erase(name.find_last_not_of(' ') + 1);
    return name + (std::get<1>(info.param) == CMD_MODE_IP ? "_Ip" : "_Sms");
}

INSTANTIATE_TEST_SUITE_P(AllCodes, EveryCommandTest,
                         ::testing::Combine(::testing::ValuesIn(Cases),
                                            ::testing::Values(CMD_MODE_IP, CMD_MODE_SMS)),
                         CaseName);

TEST(CommandCases, CoverEveryCode) {
    ASSERT_EQ(std::size(Cases), CMD_COUNT);
    for (uint8_t code = 0; code < CMD_COUNT; code++)
        EXPECT_EQ(Cases[code].code, code);
}

TEST_F(CommandsTest, IpBlockIsPaddedAndClosedByItsCrc) {
    Bytes plain;
    EXPECT_EQ(Build(CMD_MODE_IP, REQ_GET_HW_INFO, &plain), 0u);
    EXPECT_EQ(t.blockLen, 16);
    EXPECT_EQ(plain.size(), 16u);
    EXPECT_EQ(plain[0], CMD_GET_HW_INFO);
    EXPECT_EQ(plain[1], 0xFF);
}

TEST_F(CommandsTest, BuilderTakesTheBitsInPriorityOrder) {
    const uint8_t expected[] = {CMD_SET_PROFILE1, CMD_SET_PROFILE2,   CMD_GET_PROFILE1,   CMD_GET_PROFILE2,
                                CMD_TX_DATA_ACK,  CMD_SET_KEY,        CMD_SET_HW_ID,      CMD_SET_UPD_BLK,
                                CMD_GET_HW_INFO,  CMD_GET_UPD_CTX,    CMD_CLR_STAT,       CMD_GPRS_CLOSE,
                                CMD_SET_IP,       CMD_NULL,           CMD_SET_POLL_STR,   CMD_GET_POLL_STR,
                                CMD_GET_LOG,      CMD_IN_SMS_STR_SET, CMD_IN_SMS_STR_GET, CMD_RX_DATA};
    uint32_t mask = 0xFFFFFFFF;
    std::vector<uint8_t> order;
    for (uint8_t code; (code = Cmd_NextFromMask(mask)) != CMD_NONE;) {
        order.push_back(code);
        Cmd_ClearBit(&mask, code);
    }
    EXPECT_EQ(order, std::vector<uint8_t>(std::begin(expected), std::end(expected)));
    EXPECT_EQ(mask, 0xFF800000u | REQ_RX_DATA_ACK | REQ_TX_DATA | REQ_GET_INPUTS);
}

TEST_F(CommandsTest, ItemsOfOneBlockFollowThePriorityOrder) {
    Bytes plain;
    EXPECT_EQ(Build(CMD_MODE_IP, REQ_RX_DATA | REQ_GET_HW_INFO | REQ_SET_PROFILE1, &plain), 0u);
    Bytes expected =
        Concat({{CMD_SET_PROFILE1}, Prof(0), {CMD_GET_HW_INFO, CMD_RX_DATA, 0, 0, 0, 10}, queued});
    EXPECT_EQ(Items(plain, expected.size()), expected);
    EXPECT_NE(TraceCapture.find("--- CreateCmd --- [05:07.042]\n"
                                "     : 00AB c:SetProfile1  \n"
                                "     : 00AB c:GetHwInfo    \n"
                                "     : 00AB c:RxData       \n"),
              std::string::npos)
        << TraceCapture;
}

TEST_F(CommandsTest, TableNamesAndBits) {
    for (uint8_t code = 0; code < CMD_COUNT; code++)
        EXPECT_EQ(strlen(Cmd_Name(code)), 13u) << int(code);
    EXPECT_STREQ(Cmd_Name(CMD_SET_PROFILE1), "SetProfile1  ");
    EXPECT_STREQ(Cmd_Name(CMD_TX_DATA_WO_AVAIL), "TxDataWoAvail");
    EXPECT_STREQ(Cmd_Name(25), "???");
    EXPECT_STREQ(Cmd_Name(255), "???");
    EXPECT_EQ(Cmd_Bit(CMD_RX_DATA_PACKED), 0u);
    EXPECT_EQ(Cmd_Bit(CMD_TX_DATA_WO_AVAIL), REQ_TX_DATA);
    EXPECT_EQ(Cmd_Bit(CMD_IN_SMS_STR_SET), 0x200000u);
    EXPECT_EQ(Cmd_Bit(CMD_IN_SMS_STR_GET), 0x400000u);
    EXPECT_EQ(Cmd_Bit(25), 0u);
    for (uint8_t code = 0; code <= CMD_GET_LOG; code++)
        EXPECT_EQ(Cmd_Bit(code), 1u << code) << int(code);
    EXPECT_EQ(Cmd_NextFromMask(0), CMD_NONE);
    EXPECT_EQ(Cmd_NextFromMask(REQ_AUTH | REQ_TX_DATA), CMD_NONE);
}

struct LimitCase {
    uint8_t mode;
    uint32_t versionNo;
    size_t most; // the most bytes of items that fit
};

TEST_F(CommandsTest, BlockLimitsOfEachMode) {
    const LimitCase cases[] = {
        {CMD_MODE_IP, 0, 1008}, {CMD_MODE_SMS, 0, 108}, {CMD_MODE_TEXT, 103, 284}, {CMD_MODE_TEXT, 104, 796}};
    uint8_t block[1024];
    for (const LimitCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "mode " << int(c.mode) << " version " << c.versionNo);
        EXPECT_EQ(Cmd_Fits(c.versionNo, block, block, c.most, c.mode), 1);
        EXPECT_EQ(Cmd_Fits(c.versionNo, block, block, c.most + 1, c.mode), 0);
        EXPECT_EQ(Cmd_Fits(c.versionNo, block, block + c.most - 1, 1, c.mode), 1);
        EXPECT_EQ(Cmd_Fits(c.versionNo, block, block + c.most, 1, c.mode), 0);
        EXPECT_EQ(Cmd_Space(c.versionNo, block, block, c.mode), c.most);
        EXPECT_EQ(Cmd_Space(c.versionNo, block, block + 100, c.mode), c.most - 100);
        EXPECT_EQ(Cmd_Space(c.versionNo, block, block + c.most, c.mode), 0u);
        EXPECT_EQ(Cmd_Space(c.versionNo, block, block + c.most + 5, c.mode), 0u);
    }
}

TEST_F(CommandsTest, RxDataFillsTheRestOfAnIpBlock) {
    Bytes data(2000);
    std::iota(data.begin(), data.end(), 0);
    AppBuf_Init(t.buf.get());
    AppBuf_Push(t.buf.get(), data.data(), 2000);
    t.results.HwInfo.VersionNo = 104;
    Bytes plain;
    EXPECT_EQ(Build(CMD_MODE_IP, REQ_SET_POLL_STR | REQ_IN_SMS_STR_SET | REQ_RX_DATA, &plain), 0u);
    EXPECT_EQ(t.blockLen, 1008);
    ASSERT_EQ(plain.size(), 1008u);
    EXPECT_EQ(plain[145], CMD_IN_SMS_STR_SET);
    EXPECT_EQ(Bytes(plain.begin() + 553, plain.begin() + 558),
              (Bytes{CMD_RX_DATA, 0, 0, 450 >> 8, 450 & 0xFF}));
    EXPECT_EQ(Bytes(plain.begin() + 558, plain.end()), Bytes(data.begin(), data.begin() + 450));
    EXPECT_EQ(t.buf->TxInFlight, 450u);
}

TEST_F(CommandsTest, SmsBlockHoldsSetProfile1ButNotSetProfile2Too) {
    Bytes plain;
    EXPECT_EQ(Build(CMD_MODE_SMS, REQ_SET_PROFILE1 | REQ_SET_PROFILE2, &plain), REQ_SET_PROFILE2);
    EXPECT_EQ(t.blockLen, 112);
    EXPECT_EQ(Items(plain, 93), Concat({{CMD_SET_PROFILE1}, Prof(0)}));
}

TEST_F(CommandsTest, ItemThatDoesNotFitKeepsItsBitAndEveryLowerOne) {
    image = MakeImage(20);
    t.upd.Image = image.data();
    t.upd.ImageSize = static_cast<uint32_t>(image.size());
    const uint32_t mask = REQ_SET_PROFILE1 | REQ_SET_PROFILE2 | REQ_SET_UPD_BLK | REQ_GET_HW_INFO |
                          REQ_SET_POLL_STR | REQ_GET_POLL_STR | REQ_RX_DATA;
    Bytes plain;
    // 93 + 44 bytes of profile leave room for 6 firmware blocks (770 bytes) and GetHwInfo; the poll
    // block (145) no longer fits.
    EXPECT_EQ(Build(CMD_MODE_IP, mask, &plain), REQ_SET_POLL_STR | REQ_GET_POLL_STR | REQ_RX_DATA);
    ASSERT_EQ(plain.size(), 912u);
    EXPECT_EQ(plain[137], CMD_SET_UPD_BLK);
    EXPECT_EQ(plain[138], 0x85);
    EXPECT_EQ(plain[907], CMD_GET_HW_INFO);
    EXPECT_EQ(plain[908], 0xFF);
    EXPECT_EQ(t.upd.NextBlock, 6u);
    EXPECT_EQ(t.buf->TxInFlight, 0u);
}

TEST_F(CommandsTest, StoppingItemsHoldBackTheRestOfTheMask) {
    struct Stop {
        uint8_t mode;
        uint32_t mask, left;
    } cases[] = {
        {CMD_MODE_IP, REQ_GPRS_CLOSE | REQ_NULL, REQ_GPRS_CLOSE | REQ_NULL},
        {CMD_MODE_IP, REQ_GET_HW_INFO | REQ_GPRS_CLOSE | REQ_NULL, REQ_GPRS_CLOSE | REQ_NULL},
        {CMD_MODE_SMS, REQ_TX_DATA_ACK | REQ_SET_KEY, REQ_TX_DATA_ACK | REQ_SET_KEY},
        {CMD_MODE_SMS, REQ_GET_HW_INFO | REQ_RX_DATA, REQ_RX_DATA},
        {CMD_MODE_SMS, REQ_SET_UPD_BLK | REQ_GET_HW_INFO, REQ_SET_UPD_BLK | REQ_GET_HW_INFO},
        {CMD_MODE_IP, REQ_AUTH | REQ_NULL, REQ_AUTH},
    };
    for (const Stop& c : cases) {
        Bytes plain;
        EXPECT_EQ(Build(c.mode, c.mask, &plain), c.left) << std::hex << c.mask;
    }
}

TEST_F(CommandsTest, OlderModemsGetGetHwInfoForTheIncomingSmsTexts) {
    t.results.HwInfo.VersionNo = 103;
    Bytes plain;
    EXPECT_EQ(Build(CMD_MODE_IP, REQ_IN_SMS_STR_GET, &plain), 0u);
    EXPECT_EQ(Items(plain, 1), Bytes{CMD_GET_HW_INFO});
    EXPECT_EQ(Build(CMD_MODE_IP, REQ_IN_SMS_STR_SET | REQ_GET_HW_INFO, &plain), 0u);
    EXPECT_EQ(Items(plain, 2), (Bytes{CMD_GET_HW_INFO, CMD_GET_HW_INFO}));
    // An SMS object holds no AUTH, so its VersionNo is 0.
    t.results.HwInfo.VersionNo = 0;
    EXPECT_EQ(Build(CMD_MODE_SMS, REQ_IN_SMS_STR_SET, &plain), 0u);
    EXPECT_EQ(Items(plain, 1), Bytes{CMD_GET_HW_INFO});
}

TEST_F(CommandsTest, NothingIsBuiltForAnEmptyMaskOrWhenNoItemComesOut) {
    Bytes plain;
    EXPECT_EQ(Build(CMD_MODE_IP, 0, &plain), 0u);
    EXPECT_EQ(t.blockLen, 0);
    EXPECT_EQ(TraceCapture.find("CreateCmd"), std::string::npos);
    // RxData with the block in flight counts as done but writes nothing.
    EXPECT_EQ(Build(CMD_MODE_IP, REQ_RX_DATA, &plain), 0u);
    EXPECT_GT(t.blockLen, 0);
    EXPECT_EQ(Build(CMD_MODE_IP, REQ_RX_DATA, &plain), 0u);
    EXPECT_EQ(t.blockLen, 0);
    // The unused text mode builds nothing.
    EXPECT_EQ(Build(CMD_MODE_TEXT, REQ_NULL, &plain), REQ_NULL);
    EXPECT_EQ(t.blockLen, 0);
}

TEST_F(CommandsTest, CommandsThatNeedTheProfileAreNotBuiltWithoutIt) {
    t.params.Profile = nullptr;
    t.results.HwInfo.VersionNo = 104;
    for (uint32_t bit :
         {REQ_SET_PROFILE1, REQ_SET_PROFILE2, REQ_SET_IP, REQ_SET_POLL_STR, REQ_IN_SMS_STR_SET}) {
        Bytes plain;
        EXPECT_EQ(Build(CMD_MODE_IP, bit | REQ_IN_SMS_STR_GET, &plain), bit | REQ_IN_SMS_STR_GET)
            << std::hex << bit;
    }
}

TEST_F(CommandsTest, SetKeyMakesTheNewKeyPendingInSmsModeToo) {
    Bytes plain;
    EXPECT_EQ(Build(CMD_MODE_SMS, REQ_SET_KEY, &plain), 0u);
    EXPECT_EQ(t.blockLen, 32);
    EXPECT_EQ(memcmp(t.auth.PendingKey, t.params.NewKey, 16), 0);
    EXPECT_TRUE(t.auth.Flags & AUTH_PENDING_SET);
}

} // namespace
