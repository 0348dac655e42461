#include "command_target.h"

#include <gtest/gtest.h>

#include <random>

namespace {

const char Alphabet[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz+=";
const uint8_t OwnKey[16] = {'o', 'w', 'n', '-', 'k', 'e', 'y', '-', 'o', 'f', '-', '1', '2', '3', '4', '!'};
const uint8_t SystemKey[16] = {'s', 'y', 's', 't', 'e', 'm', '-', 'k',
                               'e', 'y', '-', '0', '0', '0', '0', '0'};
constexpr uint16_t ListedId = 0x1234;
constexpr uint16_t UnlistedId = 0x0777;

constexpr uint8_t A(uint8_t code) {
    return static_cast<uint8_t>(CMD_ANSWER + code);
}

std::string Hex(const Bytes& bytes) {
    std::string s;
    for (uint8_t b : bytes) {
        s += "0123456789ABCDEF"[b >> 4];
        s += "0123456789ABCDEF"[b & 15];
    }
    return s;
}

Bytes Unhex(const std::string& s) {
    Bytes b;
    for (size_t i = 0; i + 1 < s.size(); i += 2)
        b.push_back(static_cast<uint8_t>(std::stoi(s.substr(i, 2), nullptr, 16)));
    return b;
}

std::string Encode64(const Bytes& bytes) {
    std::string s;
    for (size_t i = 0; i + 2 < bytes.size(); i += 3) {
        const uint32_t v = bytes[i] << 16 | bytes[i + 1] << 8 | bytes[i + 2];
        for (int shift = 18; shift >= 0; shift -= 6)
            s += Alphabet[v >> shift & 63];
    }
    return s;
}

Bytes Decode64(const std::string& s) {
    Bytes b;
    for (size_t i = 0; i + 3 < s.size(); i += 4) {
        uint32_t v = 0;
        for (size_t j = 0; j < 4; j++)
            v = v << 6 | static_cast<uint32_t>(strchr(Alphabet, s[i + j]) - Alphabet);
        b.insert(b.end(),
                 {static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)});
    }
    return b;
}

std::string Id(uint16_t id) {
    return Hex({static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id)});
}

// The modem's side: answer items in a CRC-closed block under key, then fill, CRC-8 and the text.
std::string ModemText(uint16_t id, const Bytes& items, const uint8_t* key) {
    AuthCtx modem{};
    Auth_SetSessKey(&modem, key);
    Bytes block(128);
    memcpy(block.data(), items.data(), items.size());
    block.resize(Auth_EncryptBlk(&modem, block.data(), static_cast<uint16_t>(items.size())));
    if (block.size() <= 77) {
        block.push_back(Crc8(block.data(), static_cast<uint16_t>(block.size())));
        return "," + Id(id) + Hex(block) + "\n";
    }
    while (block.size() % 3 != 2)
        block.push_back(0xFF);
    block.push_back(Crc8(block.data(), static_cast<uint16_t>(block.size())));
    return "." + Id(id) + Encode64(block) + "\n";
}

// A hardware information answer of the shortest layout, inputs 0x5, version 1.0.4.2.
Bytes HwAnswer() {
    Bytes item(47, 0);
    item[0] = A(CMD_GET_HW_INFO);
    item[2] = 44;
    item[3] = 0x10;
    item[4] = 0x42;
    item[46] = 0x05;
    return item;
}

class SmsTest : public ::testing::Test {
protected:
    AuthKeys keys{};
    SmsObj sms{};
    ObjProfile prof{};

    void SetUp() override {
        TraceCapture.clear();
        Trace_SetSink(CaptureTrace);
        Tm_SetClockSource(FixedTestClock);
        TMGSM_AuthKeysInit(&keys);
        memcpy(keys.SystemKey, SystemKey, 16);
        keys.Count = 2;
        keys.Ids[0] = 0x0001;
        keys.Keys[0] = SystemKey;
        keys.Ids[1] = ListedId;
        keys.Keys[1] = OwnKey;
        Reset();
        Prof_SetStr(PROF_STR_APN, &prof, "apn");
    }
    void TearDown() override {
        Trace_SetSink(nullptr);
        Tm_SetClockSource(nullptr);
    }
    void Reset() {
        TMGSM_InitSms(&sms, &keys);
        sms.Params.Profile = &prof;
    }

    std::string Create(uint32_t mask, const uint8_t* key, uint32_t* left = nullptr) {
        const uint32_t l = TMGSM_CreateSmsMsg(&sms, key, mask);
        if (left)
            *left = l;
        return std::string(sms.Text, sms.TextLen);
    }

    int Accept(const std::string& text) {
        Reset();
        return TMGSM_AcceptSmsMsg(&sms, text.data(), text.size());
    }

    // The plaintext of a router text's block, opened with key; checks the CRC-8 and the fill on the way.
    Bytes Open(const std::string& text, const uint8_t* key, size_t expectFill) {
        EXPECT_EQ(text.back(), '\n');
        const std::string body = text.substr(5, text.size() - 6);
        Bytes bytes = text[0] == ',' ? Unhex(body) : Decode64(body);
        EXPECT_EQ(Crc8(bytes.data(), static_cast<uint16_t>(bytes.size())), 0);
        const size_t p = bytes.size() - 1 - expectFill;
        for (size_t i = p; i < p + expectFill; i++)
            EXPECT_EQ(bytes[i], 0xFF);
        bytes.resize(p);
        AuthCtx router{};
        Auth_SetSessKey(&router, key);
        EXPECT_EQ(Auth_DecryptBlk(&router, bytes.data(), static_cast<uint16_t>(p)), 1);
        return bytes;
    }
};

TEST_F(SmsTest, OneGetHwInfoGoesInAHexadecimalTextOf40Characters) {
    uint32_t left = 1;
    const std::string text = Create(REQ_GET_HW_INFO, Auth_FactoryKey, &left);
    EXPECT_EQ(left, 0u);
    ASSERT_EQ(text.size(), 40u);
    EXPECT_EQ(text.substr(0, 5), ",0000");
    const Bytes plain = Open(text, Auth_FactoryKey, 0);
    ASSERT_EQ(plain.size(), 16u);
    EXPECT_EQ(plain[0], CMD_GET_HW_INFO);
    EXPECT_EQ(plain[1], 0xFF);
}

TEST_F(SmsTest, SetProfile1GoesInAnAlphabetTextOf158Characters) {
    const std::string text = Create(REQ_SET_PROFILE1, Auth_FactoryKey);
    ASSERT_EQ(text.size(), 158u);
    EXPECT_EQ(text.substr(0, 5), ".0000");
    // Block (112 bytes), one fill byte, CRC-8: 114 bytes in 152 characters.
    const Bytes plain = Open(text, Auth_FactoryKey, 1);
    ASSERT_EQ(plain.size(), 112u);
    Bytes item(1 + PROF1_SIZE);
    item[0] = CMD_SET_PROFILE1;
    Prof_Encode(item.data() + 1, 0, &prof);
    EXPECT_EQ(Bytes(plain.begin(), plain.begin() + 93), item);
}

struct SizeCase {
    uint32_t mask;
    size_t block, fill, chars;
};

TEST_F(SmsTest, FillMakesWholeGroupsForEveryBlockSize) {
    const uint32_t base = REQ_SET_PROFILE2 | REQ_SET_KEY | REQ_CLR_STAT | REQ_SET_IP; // 71 bytes
    const uint32_t nine = REQ_GET_PROFILE1 | REQ_GET_PROFILE2 | REQ_GET_UPD_CTX | REQ_NULL |
                          REQ_GET_POLL_STR | REQ_GET_LOG | REQ_SET_HW_ID; // 9 bytes
    const SizeCase cases[] = {
        {REQ_GET_HW_INFO, 16, 0, 34},                                               // 1 byte of items
        {REQ_SET_KEY, 32, 0, 66},                                                   // 17
        {REQ_SET_PROFILE2, 48, 0, 98},                                              // 44
        {REQ_SET_PROFILE2 | REQ_CLR_STAT | REQ_SET_IP | REQ_SET_HW_ID, 64, 0, 130}, // 57
        {base, 80, 0, 108},                                                         // 71
        {base | nine, 96, 2, 132},                                                  // 80
        {REQ_SET_PROFILE1, 112, 1, 152},                                            // 93
    };
    for (const SizeCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "block " << c.block);
        Reset();
        const uint32_t mask = c.mask;
        uint32_t left = 1;
        const std::string text = Create(mask, OwnKey, &left);
        EXPECT_EQ(left, 0u);
        EXPECT_EQ(sms.BlockLen, c.block);
        EXPECT_EQ(text.size(), 5 + c.chars + 1);
        EXPECT_EQ(text[0], c.block > 77 ? '.' : ',');
        EXPECT_EQ(Open(text, OwnKey, c.fill).size(), c.block);
    }
}

TEST_F(SmsTest, RouterTextsAreAcceptedWithTheKeyTheyWereMadeWith) {
    EXPECT_EQ(Accept(Create(REQ_GET_HW_INFO, Auth_FactoryKey)), SMS_FACTORY_KEY);
    Reset();
    sms.ModemId = ListedId;
    const std::string own = Create(REQ_SET_PROFILE1 | REQ_GET_HW_INFO, OwnKey);
    EXPECT_EQ(own.substr(0, 5), ".1234");
    EXPECT_EQ(Accept(own), SMS_OWN_KEY);
    EXPECT_EQ(sms.ModemId, ListedId);
    // A request carries no answers.
    EXPECT_EQ(sms.Results.Answered, 0u);
}

TEST_F(SmsTest, ModemAnswersAreOpenedByKeyTrialAndParsed) {
    struct KeyCase {
        uint16_t id;
        const uint8_t* key;
        int result;
    } cases[] = {
        {UnlistedId, Auth_FactoryKey, SMS_FACTORY_KEY},
        {ListedId, Auth_FactoryKey, SMS_FACTORY_KEY},
        {ListedId, OwnKey, SMS_OWN_KEY},
        {UnlistedId, SystemKey, SMS_OWN_KEY},
        {ListedId, SystemKey, SMS_NO_KEY}, // a listed modem opens only with its own key
        {UnlistedId, OwnKey, SMS_NO_KEY},
    };
    for (const KeyCase& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.id << " result " << c.result);
        const std::string text = ModemText(c.id, HwAnswer(), c.key);
        EXPECT_EQ(Accept(text), c.result);
        EXPECT_EQ(sms.ModemId, c.id);
        if (c.result == SMS_NO_KEY) {
            EXPECT_EQ(sms.Results.Answered, 0u);
            continue;
        }
        // An SMS object's VersionNo is 0: GetHwInfo stands for the incoming-SMS texts commands too.
        EXPECT_EQ(sms.Results.Answered, REQ_GET_HW_INFO | REQ_IN_SMS_STR_SET | REQ_IN_SMS_STR_GET);
        EXPECT_EQ(Bytes(sms.Results.HwInfo.Version, sms.Results.HwInfo.Version + 4), (Bytes{1, 0, 4, 2}));
        EXPECT_EQ(sms.Results.HwInfo.InputBits, 0x05);
        EXPECT_NE(TraceCapture.find(" p:GetHwInfo"), std::string::npos);
    }
}

TEST_F(SmsTest, LongAnswerTextUsesTheAlphabet) {
    Bytes items = HwAnswer();
    Bytes prof2(1 + PROF2_SIZE, 0);
    prof2[0] = A(CMD_GET_PROFILE2);
    items.insert(items.end(), prof2.begin(), prof2.end());
    const std::string text = ModemText(ListedId, items, OwnKey);
    EXPECT_EQ(text[0], '.');
    EXPECT_EQ(Accept(text), SMS_OWN_KEY);
    EXPECT_EQ(sms.Results.Answered & (REQ_GET_HW_INFO | REQ_GET_PROFILE2),
              REQ_GET_HW_INFO | REQ_GET_PROFILE2);
}

TEST_F(SmsTest, TextIsFoundAfterLeadingCharactersAndEndsAtTheFirstForeignOne) {
    const std::string text = ModemText(UnlistedId, HwAnswer(), Auth_FactoryKey);
    ASSERT_EQ(text.size(), 136u);
    EXPECT_EQ(Accept("+CMT: 12 " + text + "padding"), SMS_FACTORY_KEY);
    std::string lower = text;
    for (char& c : lower)
        c = static_cast<char>(tolower(c));
    EXPECT_EQ(Accept(lower), SMS_FACTORY_KEY);
    // Longer than 160 characters: the rest is not looked at.
    const std::string longText = ModemText(UnlistedId, Bytes(100, A(CMD_SET_KEY)), Auth_FactoryKey);
    ASSERT_EQ(longText.size(), 158u);
    EXPECT_EQ(Accept(longText + std::string(200, 'x')), SMS_FACTORY_KEY);
    EXPECT_EQ(Accept(longText.substr(0, 150)), SMS_BAD_CRC);
}

TEST_F(SmsTest, DamagedTextsAreRejected) {
    const std::string good = ModemText(UnlistedId, HwAnswer(), Auth_FactoryKey);
    std::string gId = good;
    gId[2] = 'G';
    std::string flipped = good;
    flipped[20] = flipped[20] == '0' ? '1' : '0';
    struct Bad {
        std::string text;
        int result;
    } cases[] = {
        {"no marker at all", SMS_NO_MARKER},
        {"", SMS_NO_MARKER},
        {",0000ABC", SMS_MALFORMED},                            // fewer than 4 characters after the ID
        {",00", SMS_MALFORMED},                                 // not even an ID
        {",0000ZZZZ\n", SMS_MALFORMED},                         // decodes to nothing
        {".0000####\n", SMS_MALFORMED},                         // decodes to nothing
        {",0000" + std::string(32, '0') + "\n", SMS_MALFORMED}, // 16 bytes: no room for the CRC
        {",0000" + std::string(34, '0') + "\n", SMS_NO_KEY},    // 17 zero bytes pass the CRC-8
        {gId, SMS_MALFORMED},
        {flipped, SMS_BAD_CRC},
    };
    EXPECT_EQ(TMGSM_AcceptSmsMsg(&sms, nullptr, 0), SMS_NO_MARKER);
    for (const Bad& c : cases) {
        EXPECT_EQ(Accept(c.text), c.result) << c.text;
        EXPECT_EQ(sms.Results.Answered, 0u);
    }
}

TEST_F(SmsTest, RequestWithNothingBuildableMakesNoText) {
    uint32_t left = 0;
    EXPECT_EQ(Create(REQ_RX_DATA, Auth_FactoryKey, &left), "");
    EXPECT_EQ(left, REQ_RX_DATA);
    EXPECT_EQ(Create(0, Auth_FactoryKey, &left), "");
    EXPECT_EQ(left, 0u);
    // What does not fit stays for the next text.
    EXPECT_EQ(Create(REQ_SET_PROFILE1 | REQ_SET_PROFILE2, Auth_FactoryKey, &left).size(), 158u);
    EXPECT_EQ(left, REQ_SET_PROFILE2);
}

// Valid texts with random damage: every result is a code, nothing is read or written out of place.
TEST_F(SmsTest, RandomlyDamagedTextsAreCheckedCleanly) {
    std::mt19937 rng(160);
    const std::string seeds[] = {ModemText(UnlistedId, HwAnswer(), Auth_FactoryKey),
                                 ModemText(ListedId, Bytes(100, A(CMD_SET_KEY)), OwnKey),
                                 Create(REQ_SET_PROFILE1, Auth_FactoryKey)};
    int opened = 0;
    for (int round = 0; round < 20000; round++) {
        std::string text = seeds[rng() % 3];
        const int damage = static_cast<int>(rng() % 4);
        for (int i = 0; i < damage; i++) {
            const size_t at = rng() % text.size();
            switch (rng() % 3) {
            case 0:
                text[at] = static_cast<char>(rng());
                break;
            case 1:
                text.erase(at, 1 + rng() % 8);
                break;
            default:
                text.insert(at, 1, ",.0aZ#\n"[rng() % 7]);
            }
            if (text.empty())
                text = ",";
        }
        std::vector<char> exact(text.begin(), text.end());
        Reset();
        const int result = TMGSM_AcceptSmsMsg(&sms, exact.data(), exact.size());
        ASSERT_GE(result, SMS_NO_MARKER);
        ASSERT_LE(result, SMS_OWN_KEY);
        opened += result >= SMS_FACTORY_KEY;
    }
    EXPECT_GT(opened, 1000); // the undamaged ones
}

} // namespace
