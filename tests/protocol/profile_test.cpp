// Profile record, its four wire parts and the field codecs of the profile dialogs.
#include "protocol/tmgsm.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace {

static_assert(offsetof(ObjProfile, ServerPort) == 4);
static_assert(offsetof(ObjProfile, Apn) == 8);
static_assert(offsetof(ObjProfile, ExtraWord) == 80);
static_assert(offsetof(ObjProfile, ConnectPhone) == 84);
static_assert(offsetof(ObjProfile, Cfg0) == 92);
static_assert(offsetof(ObjProfile, SmsCentre) == 94);
static_assert(offsetof(ObjProfile, Cfg2) == 110);
static_assert(offsetof(ObjProfile, Profile2Word) == 123);
static_assert(offsetof(ObjProfile, PollHead) == 126);
static_assert(offsetof(ObjProfile, PollText) == 142);
static_assert(offsetof(ObjProfile, InSmsMask) == 270);
static_assert(offsetof(ObjProfile, InSmsText) == 272);
static_assert(offsetof(ObjProfile, InSmsNum1) == 656);
static_assert(offsetof(ObjProfile, InSmsTail) == 672);
static_assert(offsetof(ObjProfile, Cfg15) == 675);

using Bytes = std::vector<uint8_t>;

ObjProfile Zeroed() {
    ObjProfile p;
    std::memset(&p, 0, sizeof p);
    return p;
}

ObjProfile Filled(uint8_t value) {
    ObjProfile p;
    std::memset(&p, value, sizeof p);
    return p;
}

ObjProfile Random(std::mt19937& rng) {
    ObjProfile p;
    auto* bytes = reinterpret_cast<uint8_t*>(&p);
    for (size_t i = 0; i < sizeof p; ++i) {
        bytes[i] = static_cast<uint8_t>(rng());
    }
    return p;
}

bool SameBytes(const void* a, const void* b, size_t n) {
    return std::memcmp(a, b, n) == 0;
}

Bytes EncodePart(int part, const ObjProfile& prof) {
    Bytes out(part == 0 ? PROF1_SIZE : PROF2_SIZE);
    EXPECT_EQ(Prof_Encode(out.data(), part, &prof), out.data() + out.size());
    return out;
}

// ---------------------------------------------------------------------------------------------------
// Profile 1

ObjProfile SampleProfile1() {
    ObjProfile p = Zeroed();
    p.ServerIp = 0xC0A80105; // 192.168.1.5
    p.ServerPort = 0x1F90;
    p.Session = 0x0102;
    std::memcpy(p.Apn, "internet.example", 16);
    std::memcpy(p.User, "gprs", 4);
    std::memset(p.GprsPassword, 'x', sizeof p.GprsPassword); // full size, no NUL
    p.ExtraWord = 0xA1B2C3D4;
    std::memcpy(p.ConnectPhone, "\xFF\xFF\xFF\xF1\x23\x45\x67\x89", 8);
    return p;
}

TEST(ProfileOne, WireLayoutIsBigEndianWithStringsAtFullSize) {
    ObjProfile p = SampleProfile1();
    Bytes w = EncodePart(0, p);
    EXPECT_EQ(Get_U32BE(&w[0]), 0xC0A80105u);
    EXPECT_EQ(Get_U16BE(&w[4]), 0x1F90);
    EXPECT_EQ(Get_U16BE(&w[6]), 0x0102);
    EXPECT_TRUE(SameBytes(&w[8], p.Apn, 32));
    EXPECT_TRUE(SameBytes(&w[40], p.User, 20));
    EXPECT_TRUE(SameBytes(&w[60], p.GprsPassword, 20));
    EXPECT_EQ(Get_U32BE(&w[80]), 0xA1B2C3D4u);
    EXPECT_TRUE(SameBytes(&w[84], p.ConnectPhone, 8));
}

TEST(ProfileOne, DecodeRestoresEveryFieldAndNothingElse) {
    std::mt19937 rng(1);
    for (int i = 0; i < 50; ++i) {
        ObjProfile src = Random(rng);
        Bytes w = EncodePart(0, src);
        ObjProfile dst = Filled(0x5A);
        ASSERT_EQ(Prof_Decode(w.data(), w.size(), &dst, 2), w.data() + PROF1_SIZE);
        EXPECT_TRUE(SameBytes(&dst, &src, PROF1_SIZE)); // profile 1 fields lead the record
        ObjProfile rest = Filled(0x5A);
        EXPECT_TRUE(SameBytes(reinterpret_cast<uint8_t*>(&dst) + PROF1_SIZE,
                              reinterpret_cast<uint8_t*>(&rest) + PROF1_SIZE, sizeof dst - PROF1_SIZE));
    }
}

// ---------------------------------------------------------------------------------------------------
// Profile 2

// Where each configuration bit travels: `width` bits of `field` from `cfgBit` go to `word` from `wordBit`.
struct CfgRow {
    const char* name;
    uint8_t ObjProfile::*field;
    int cfgBit;
    int word;
    int wordBit;
    int width;
};

const CfgRow kCfgRows[] = {
    {"Cfg2", &ObjProfile::Cfg2, 6, 1, 0, 2},    {"Cfg3", &ObjProfile::Cfg3, 0, 1, 2, 2},
    {"Cfg3", &ObjProfile::Cfg3, 2, 1, 4, 2},    {"Cfg3", &ObjProfile::Cfg3, 4, 1, 6, 3},
    {"Cfg4", &ObjProfile::Cfg4, 0, 1, 9, 3},    {"Cfg4", &ObjProfile::Cfg4, 3, 1, 12, 2},
    {"Cfg4", &ObjProfile::Cfg4, 5, 1, 14, 3},   {"Cfg6", &ObjProfile::Cfg6, 0, 1, 17, 8},
    {"Cfg5", &ObjProfile::Cfg5, 0, 1, 25, 1},   {"Cfg2", &ObjProfile::Cfg2, 5, 1, 26, 1},
    {"Cfg7", &ObjProfile::Cfg7, 0, 2, 0, 8},    {"Cfg8", &ObjProfile::Cfg8, 0, 2, 8, 8},
    {"Cfg9", &ObjProfile::Cfg9, 0, 2, 16, 8},   {"Cfg5", &ObjProfile::Cfg5, 3, 2, 28, 1},
    {"Cfg5", &ObjProfile::Cfg5, 1, 2, 29, 1},   {"Cfg5", &ObjProfile::Cfg5, 2, 2, 30, 1},
    {"Cfg5", &ObjProfile::Cfg5, 4, 2, 31, 1},   {"Cfg10", &ObjProfile::Cfg10, 0, 3, 0, 1},
    {"Cfg10", &ObjProfile::Cfg10, 1, 3, 1, 1},  {"Cfg10", &ObjProfile::Cfg10, 2, 3, 8, 1},
    {"Cfg10", &ObjProfile::Cfg10, 3, 3, 2, 2},  {"Cfg10", &ObjProfile::Cfg10, 5, 3, 4, 2},
    {"Cfg11", &ObjProfile::Cfg11, 0, 3, 6, 2},  {"Cfg11", &ObjProfile::Cfg11, 2, 3, 15, 1},
    {"Cfg11", &ObjProfile::Cfg11, 3, 3, 9, 2},  {"Cfg11", &ObjProfile::Cfg11, 5, 3, 11, 2},
    {"Cfg12", &ObjProfile::Cfg12, 0, 3, 13, 2}, {"Cfg2", &ObjProfile::Cfg2, 0, 3, 16, 2},
    {"Cfg2", &ObjProfile::Cfg2, 2, 3, 18, 3},   {"Cfg0", &ObjProfile::Cfg0, 0, 3, 21, 3},
    {"Cfg0", &ObjProfile::Cfg0, 3, 3, 24, 3},   {"Cfg1", &ObjProfile::Cfg1, 0, 3, 27, 5},
    {"Cfg1", &ObjProfile::Cfg1, 5, 4, 0, 1},    {"Cfg12", &ObjProfile::Cfg12, 2, 4, 1, 1},
    {"Cfg12", &ObjProfile::Cfg12, 3, 4, 2, 1},  {"Cfg12", &ObjProfile::Cfg12, 4, 4, 3, 1},
    {"Cfg14", &ObjProfile::Cfg14, 0, 4, 4, 1},  {"Cfg13", &ObjProfile::Cfg13, 0, 4, 5, 8},
    {"Cfg16", &ObjProfile::Cfg16, 0, 4, 13, 1}, {"Cfg15", &ObjProfile::Cfg15, 0, 4, 14, 8},
    {"Cfg16", &ObjProfile::Cfg16, 1, 4, 22, 1}, {"Cfg16", &ObjProfile::Cfg16, 2, 4, 23, 1},
    {"Cfg16", &ObjProfile::Cfg16, 3, 4, 24, 1}, {"Cfg16", &ObjProfile::Cfg16, 4, 4, 25, 1},
    {"Cfg16", &ObjProfile::Cfg16, 5, 4, 26, 1},
};

uint8_t ObjProfile::*const kAllCfg[] = {
    &ObjProfile::Cfg0,  &ObjProfile::Cfg1,  &ObjProfile::Cfg2,  &ObjProfile::Cfg3,  &ObjProfile::Cfg4,
    &ObjProfile::Cfg5,  &ObjProfile::Cfg6,  &ObjProfile::Cfg7,  &ObjProfile::Cfg8,  &ObjProfile::Cfg9,
    &ObjProfile::Cfg10, &ObjProfile::Cfg11, &ObjProfile::Cfg12, &ObjProfile::Cfg13, &ObjProfile::Cfg14,
    &ObjProfile::Cfg15, &ObjProfile::Cfg16,
};

uint32_t Word(const Bytes& w, int word) {
    return Get_U32BE(&w[16 + 4 * (word - 1)]);
}

TEST(ProfileTwo, EachConfigurationBitTravelsInItsWordBit) {
    for (const CfgRow& row : kCfgRows) {
        for (int k = 0; k < row.width; ++k) {
            SCOPED_TRACE(std::string(row.name) + " bit " + std::to_string(row.cfgBit + k));
            ObjProfile p = Zeroed();
            p.*row.field = static_cast<uint8_t>(1 << (row.cfgBit + k));
            Bytes w = EncodePart(1, p);
            for (int word = 1; word <= 6; ++word) {
                uint32_t want = word == row.word ? 1u << (row.wordBit + k) : 0;
                EXPECT_EQ(Word(w, word), want) << "word " << word;
            }
            ObjProfile back = Zeroed();
            ASSERT_NE(Prof_Decode(w.data(), w.size(), &back, 3), nullptr);
            EXPECT_TRUE(SameBytes(&back, &p, sizeof p));
        }
    }
}

TEST(ProfileTwo, AllBitsSetGiveTheListedWordBitsOnly) {
    ObjProfile p = Filled(0xFF);
    Bytes w = EncodePart(1, p);
    EXPECT_EQ(Word(w, 1), 0x07FFFFFFu);
    EXPECT_EQ(Word(w, 2), 0xF0FFFFFFu);
    EXPECT_EQ(Word(w, 3), 0xFFFFFFFFu);
    EXPECT_EQ(Word(w, 4), 0x07FFFFFFu);
    EXPECT_EQ(Word(w, 5), 0u);
    EXPECT_EQ(Word(w, 6), 0u);
}

// Encoding and decoding into a zeroed profile keeps every listed bit and leaves the unlisted ones 0.
TEST(ProfileTwo, DecodeIntoZeroedProfileLeavesUnlistedBitsZero) {
    ObjProfile src = Filled(0xFF);
    Bytes w = EncodePart(1, src);
    ObjProfile dst = Zeroed();
    ASSERT_EQ(Prof_Decode(w.data(), w.size(), &dst, 3), w.data() + PROF2_SIZE);
    const struct {
        const char* name;
        uint8_t value;
    } want[] = {{"Cfg0", 0x3F},  {"Cfg1", 0x3F},  {"Cfg2", 0xFF},  {"Cfg3", 0x7F},  {"Cfg4", 0xFF},
                {"Cfg5", 0x1F},  {"Cfg6", 0xFF},  {"Cfg7", 0xFF},  {"Cfg8", 0xFF},  {"Cfg9", 0xFF},
                {"Cfg10", 0x7F}, {"Cfg11", 0x7F}, {"Cfg12", 0x1F}, {"Cfg13", 0xFF}, {"Cfg14", 0x01},
                {"Cfg15", 0xFF}, {"Cfg16", 0x3F}};
    for (size_t i = 0; i < std::size(want); ++i) {
        EXPECT_EQ(dst.*kAllCfg[i], want[i].value) << want[i].name;
    }
}

uint8_t ListedBits(uint8_t ObjProfile::*field) {
    uint8_t bits = 0;
    for (const CfgRow& row : kCfgRows) {
        if (row.field == field) {
            bits = static_cast<uint8_t>(bits | ((1 << row.width) - 1) << row.cfgBit);
        }
    }
    return bits;
}

const uint32_t kListedWordBits[6] = {0x07FFFFFF, 0xF0FFFFFF, 0xFFFFFFFF, 0x07FFFFFF, 0, 0};

TEST(ProfileTwo, DecodeKeepsUnlistedBitsAndIgnoresSpareWordBits) {
    Bytes w = EncodePart(1, Zeroed());
    for (int k = 0; k < 6; ++k) {
        uint32_t spare = ~kListedWordBits[k]; // set only what the modem may not use
        for (int b = 0; b < 4; ++b) {
            w[16 + 4 * k + b] = static_cast<uint8_t>(spare >> (24 - 8 * b));
        }
    }
    const ObjProfile before = Filled(0xA5);
    ObjProfile dst = before;
    ASSERT_NE(Prof_Decode(w.data(), w.size(), &dst, 3), nullptr);
    for (auto field : kAllCfg) {
        EXPECT_EQ(dst.*field, before.*field & ~ListedBits(field));
    }
}

TEST(ProfileTwo, NumbersAndCarriedValuesRoundTrip) {
    std::mt19937 rng(2);
    for (int i = 0; i < 50; ++i) {
        ObjProfile src = Random(rng);
        Bytes w = EncodePart(1, src);
        EXPECT_TRUE(SameBytes(&w[0], src.SmsCentre, 8));
        EXPECT_TRUE(SameBytes(&w[8], src.SmsPhone, 8));
        EXPECT_EQ(Get_U16BE(&w[40]), uint16_t{src.Profile2Word}); // packed field: compare a copy
        EXPECT_EQ(w[42], src.Profile2Byte);
        ObjProfile dst = src;
        for (auto field : kAllCfg) {
            dst.*field = static_cast<uint8_t>(~(src.*field));
        }
        std::memset(dst.SmsCentre, 0, 16);
        dst.Profile2Word = static_cast<uint16_t>(~src.Profile2Word);
        dst.Profile2Byte = static_cast<uint8_t>(~src.Profile2Byte);
        ASSERT_NE(Prof_Decode(w.data(), w.size(), &dst, 3), nullptr);
        EXPECT_TRUE(SameBytes(dst.SmsCentre, src.SmsCentre, 8));
        EXPECT_TRUE(SameBytes(dst.SmsPhone, src.SmsPhone, 8));
        EXPECT_EQ(uint16_t{dst.Profile2Word}, uint16_t{src.Profile2Word});
        EXPECT_EQ(dst.Profile2Byte, src.Profile2Byte);
        EXPECT_EQ(EncodePart(1, dst), w); // every listed bit came back
    }
}

// ---------------------------------------------------------------------------------------------------
// Poll block and incoming-SMS texts block

TEST(PollBlock, RoundTripsInFieldOrder) {
    std::mt19937 rng(3);
    ObjProfile src = Random(rng);
    Bytes w(POLL_SIZE);
    ASSERT_EQ(Poll_Encode(w.data(), &src), w.data() + POLL_SIZE);
    EXPECT_TRUE(SameBytes(&w[0], src.PollHead, 4));
    EXPECT_TRUE(SameBytes(&w[4], src.PollId, 8));
    EXPECT_TRUE(SameBytes(&w[12], src.PollWord, 4));
    EXPECT_TRUE(SameBytes(&w[16], src.PollText, 128));
    ObjProfile dst = Zeroed();
    ASSERT_EQ(Poll_Decode(w.data(), w.size(), &dst), w.data() + POLL_SIZE);
    EXPECT_TRUE(SameBytes(dst.PollHead, src.PollHead, POLL_SIZE));
    const ObjProfile zero = Zeroed();
    EXPECT_TRUE(SameBytes(&dst, &zero, offsetof(ObjProfile, PollHead)));
}

TEST(InSmsBlock, LayoutMaskAndTextEnds) {
    EXPECT_EQ(InSms_Size(), 407u);
    std::mt19937 rng(4);
    ObjProfile src = Random(rng);
    src.InSmsMask[0] = 0x5A;
    src.InSmsMask[1] = 0xF3;
    Bytes w(INSMS_SIZE);
    ASSERT_EQ(InSms_Encode(w.data(), &src), w.data() + INSMS_SIZE);
    EXPECT_EQ(Get_U16BE(&w[0]), 0);
    EXPECT_EQ(Get_U16BE(&w[2]), 0x035A);
    EXPECT_TRUE(SameBytes(&w[4], src.InSmsNum1, 8));
    EXPECT_TRUE(SameBytes(&w[12], src.InSmsNum2, 8));
    for (int t = 0; t < 6; ++t) {
        EXPECT_EQ(src.InSmsText[t][63], 0) << "the sender's own profile is ended too";
        EXPECT_TRUE(SameBytes(&w[20 + 64 * t], src.InSmsText[t], 64));
    }
    EXPECT_TRUE(SameBytes(&w[404], src.InSmsTail, 3));
}

TEST(InSmsBlock, DecodeEndsEachTextAndKeepsUpperMaskBits) {
    Bytes w(INSMS_SIZE, 0xEE);
    w[2] = 0xFF; // bits 12-15 of the mask arrive set
    w[3] = 0x81;
    ObjProfile dst = Zeroed();
    dst.InSmsMask[1] = 0xA0;
    ASSERT_EQ(HCP_InSmsStr(w.data(), w.size(), &dst), w.data() + INSMS_SIZE);
    EXPECT_EQ(dst.InSmsMask[0], 0x81);
    EXPECT_EQ(dst.InSmsMask[1], 0xAF);
    for (int t = 0; t < 6; ++t) {
        EXPECT_EQ(std::string(dst.InSmsText[t]), std::string(63, '\xEE'));
    }
    EXPECT_EQ(dst.InSmsNum1[0], 0xEE);
    EXPECT_EQ(dst.InSmsTail[2], 0xEE);
    EXPECT_EQ(dst.Cfg15, 0);
}

TEST(InSmsBlock, RoundTrips) {
    std::mt19937 rng(5);
    ObjProfile src = Random(rng);
    Bytes w(INSMS_SIZE);
    InSms_Encode(w.data(), &src);
    ObjProfile dst = src;
    std::memset(dst.InSmsText, 0x33, sizeof dst.InSmsText);
    std::memset(dst.InSmsNum1, 0x33, 19);
    dst.InSmsMask[0] = static_cast<uint8_t>(~src.InSmsMask[0]);
    dst.InSmsMask[1] ^= 0x0F;
    ASSERT_NE(HCP_InSmsStr(w.data(), w.size(), &dst), nullptr);
    EXPECT_TRUE(SameBytes(&dst, &src, sizeof src));
}

// Each decoder needs its whole part and reads no further than the bytes it is given.
TEST(ProfileDecoders, RefuseShortInputAndLeaveTheProfileAlone) {
    const struct {
        const char* name;
        size_t need;
        const uint8_t* (*decode)(const uint8_t*, size_t, ObjProfile*);
    } decoders[] = {
        {"profile 1", PROF1_SIZE,
         [](const uint8_t* in, size_t n, ObjProfile* p) { return Prof_Decode(in, n, p, 2); }},
        {"profile 2", PROF2_SIZE,
         [](const uint8_t* in, size_t n, ObjProfile* p) { return Prof_Decode(in, n, p, 3); }},
        {"poll block", POLL_SIZE, Poll_Decode},
        {"texts block", INSMS_SIZE, HCP_InSmsStr},
    };
    const ObjProfile untouched = Filled(0x77);
    for (const auto& d : decoders) {
        SCOPED_TRACE(d.name);
        for (size_t n : {size_t{0}, size_t{1}, d.need - 1}) {
            Bytes in(n, 0x11);
            ObjProfile p = Filled(0x77);
            EXPECT_EQ(d.decode(in.data(), n, &p), nullptr);
            EXPECT_TRUE(SameBytes(&p, &untouched, sizeof p));
        }
        Bytes exact(d.need, 0x11); // a heap block of exactly the part's size
        ObjProfile p = Filled(0x77);
        EXPECT_EQ(d.decode(exact.data(), exact.size(), &p), exact.data() + d.need);
    }
}

TEST(ProfileDecoders, UnknownCodeDecodesNothing) {
    Bytes in(PROF1_SIZE, 0x11);
    const ObjProfile zero = Zeroed();
    for (int code : {0, 1, 4, 11, -1}) {
        ObjProfile p = Zeroed();
        EXPECT_EQ(Prof_Decode(in.data(), in.size(), &p, code), nullptr) << code;
        EXPECT_TRUE(SameBytes(&p, &zero, sizeof p));
    }
}

// ---------------------------------------------------------------------------------------------------
// IPv4 address texts

TEST(IpText, ParsesAndRefusesAsTheDialogsExpect) {
    const struct {
        const char* text;
        int valid;
        uint32_t value;
    } cases[] = {
        {"1.2.3.4", 1, 0x01020304},
        {" 10.0.0.1", 1, 0x0A000001},
        {"255.255.255.255", 1, 0xFFFFFFFF},
        {"0.0.0.0", 1, 0},
        {"1.2.3.4.5", 1, 0x01020304},     // rest after the fourth group not looked at
        {"1.2.3.4x", 0, 0},               // a non-digit inside the fourth group
        {"192.168.1.1 ", 1, 0xC0A80101},  // trailing space skipped
        {"1 0.0.0.1", 1, 0x0A000001},     // spaces are skipped inside groups too
        {"001.002.003.4", 1, 0x01020304}, // three digits with leading zeros
        {"1.2.3.4\r\n", 1, 0x01020304},
        {"1\t2.3.4.5", 0, 0},               // a control character ends the text
        {"1.2.3", 0, 0},                    // too short
        {"1.2.3.", 0, 0},                   // too short
        {"1.2.3.   ", 0, 0},                // fourth group has no digits
        {"256.1.1.1", 0, 0},                // group not below 256
        {"1.1.1.256", 0, 0},                // likewise, in the last group
        {"1..2.3.4", 0, 0},                 // empty group
        {"1.2.3.4444", 0, 0},               // fourth digit
        {"1234.1.1.1", 0, 0},               // fourth digit
        {"1.2.a.4", 0, 0},                  // non-digit
        {"1.2.3.-4", 0, 0},                 // non-digit
        {"1.2.3.4.5.6.7.8", 1, 0x01020304}, // 15 characters
        {"1.2.3.4.5.6.7.89", 0, 0},         // 16 characters
        {"", 0, 0},                         //
        {"\xC0.1.1.1111", 0, 0},            // a byte above 127 is no digit
    };
    for (const auto& c : cases) {
        uint32_t value = 0xDEADBEEF;
        EXPECT_EQ(Ip_FromStr(&value, c.text), c.valid) << '"' << c.text << '"';
        EXPECT_EQ(value, c.valid ? c.value : 0xDEADBEEF) << '"' << c.text << '"';
        EXPECT_EQ(Ip_FromStr(nullptr, c.text), c.valid) << '"' << c.text << '"';
    }
    EXPECT_EQ(Ip_FromStr(nullptr, nullptr), 0);
}

TEST(IpText, FormatsDottedDecimalAndReadsItBack) {
    const struct {
        uint32_t value;
        const char* text;
    } cases[] = {{0, "0.0.0.0"},
                 {0xFFFFFFFF, "255.255.255.255"},
                 {0xC0A80105, "192.168.1.5"},
                 {0x0A000001, "10.0.0.1"},
                 {0x01020304, "1.2.3.4"}};
    for (const auto& c : cases) {
        char text[16];
        std::memset(text, '#', sizeof text);
        Ip_ToStr(c.value, text);
        EXPECT_STREQ(text, c.text);
        uint32_t back = 0;
        EXPECT_EQ(Ip_FromStr(&back, text), 1);
        EXPECT_EQ(back, c.value);
    }
}

// ---------------------------------------------------------------------------------------------------
// BCD phone numbers

Bytes Bcd(const char* hex) {
    Bytes out;
    for (size_t i = 0; hex[i] && hex[i + 1]; i += 2) {
        out.push_back(static_cast<uint8_t>(std::stoi(std::string(hex + i, 2), nullptr, 16)));
    }
    return out;
}

TEST(PhoneNumber, DigitsToBcd) {
    const struct {
        const char* text;
        int valid;
        const char* bcd;
    } cases[] = {
        {"1234567", 1, "FFFFFFFFF1234567"},
        {"", 1, "FFFFFFFFFFFFFFFF"},                 // no number
        {"79161234567", 1, "FFFFF79161234567"},      //
        {"1234567890123456", 1, "1234567890123456"}, // 16 digits fill all nibbles
        {"0001234567", 1, "FFFFFF0001234567"},       // leading zeros are kept, not counted
        {"0000000", 0, nullptr},                     // no digit other than 0
        {"0012345", 0, nullptr},                     // only five from the first non-zero digit
        {"123456", 0, nullptr},                      // too short
        {"12345678901234567", 0, nullptr},           // too long
        {"123456a", 0, nullptr},                     // non-digit
        {"+79161234567", 0, nullptr},                //
        {"1234 567", 0, nullptr},                    //
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        uint8_t out[8];
        std::memset(out, 0x5A, sizeof out);
        EXPECT_EQ(Digits_ToBcd(c.text, out), c.valid);
        EXPECT_EQ(Digits_ToBcd(c.text, nullptr), c.valid);
        EXPECT_EQ(Bytes(out, out + 8), c.valid ? Bcd(c.bcd) : Bytes(8, 0x5A));
    }
    EXPECT_EQ(Digits_ToBcd(nullptr, nullptr), 0);
}

TEST(PhoneNumber, CheckAndDigitsOfBcd) {
    const struct {
        const char* bcd;
        int valid;
        const char* digits;
    } cases[] = {
        {"FFFFFFFFF1234567", 1, "1234567"},
        {"1234567890123456", 1, "1234567890123456"},
        {"FFFFFF0001234567", 1, "0001234567"},
        {"FFFFFFFFF0000001", 1, "0000001"}, // leading zeros count for the check
        {"FFFFFFFFFFFFFFFF", 0, ""},        // no number
        {"FFFFFFFFFF123456", 0, ""},        // six digits
        {"FFFFFFFFF0000000", 0, ""},        // all zero
        {"FFFFFFFFF123F567", 0, ""},        // 0xF after the first digit
        {"FFFFFFFFF123456F", 0, ""},        // trailing 0xF
        {"FFFFFFFFF12A4567", 0, ""},        // nibble above 9
        {"EFFFFFFFF1234567", 0, ""},        // leading nibble neither digit nor 0xF
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bcd);
        Bytes bcd = Bcd(c.bcd);
        EXPECT_EQ(Bcd_Check(bcd.data()), c.valid);
        char digits[17];
        std::memset(digits, '#', sizeof digits);
        Bcd_ToDigits(digits, bcd.data());
        EXPECT_STREQ(digits, c.digits);
    }
}

TEST(PhoneNumber, EveryValidLengthRoundTrips) {
    const std::string all = "9876543210123456";
    for (size_t n = 7; n <= 16; ++n) {
        std::string text = all.substr(0, n);
        uint8_t bcd[8];
        ASSERT_EQ(Digits_ToBcd(text.c_str(), bcd), 1) << text;
        EXPECT_EQ(Bcd_Check(bcd), 1) << text;
        char back[17];
        Bcd_ToDigits(back, bcd);
        EXPECT_EQ(back, text);
    }
}

// ---------------------------------------------------------------------------------------------------
// GPRS strings

TEST(ProfileStrings, LimitsAndEmptyTexts) {
    const struct {
        int field;
        size_t length;
        int valid;
    } cases[] = {
        {PROF_STR_APN, 0, 0},
        {PROF_STR_APN, 1, 1},
        {PROF_STR_APN, 32, 1},
        {PROF_STR_APN, 33, 0},
        {PROF_STR_USER, 0, 1},
        {PROF_STR_USER, 20, 1},
        {PROF_STR_USER, 21, 0},
        {PROF_STR_USER, 30, 0},
        {PROF_STR_PASSWORD, 0, 1},
        {PROF_STR_PASSWORD, 20, 1},
        {PROF_STR_PASSWORD, 21, 0},
        {3, 1, 0},
        {-1, 1, 0},
    };
    const ObjProfile untouched = Filled(0x7E);
    for (const auto& c : cases) {
        SCOPED_TRACE("field " + std::to_string(c.field) + " length " + std::to_string(c.length));
        std::string text(c.length, 'a');
        ObjProfile p = untouched;
        EXPECT_EQ(Prof_SetStr(c.field, nullptr, text.c_str()), c.valid);
        EXPECT_EQ(Prof_SetStr(c.field, &p, text.c_str()), c.valid);
        if (!c.valid) {
            EXPECT_TRUE(SameBytes(&p, &untouched, sizeof p)) << "refused text changes nothing";
            continue;
        }
        char back[33];
        Prof_GetStr(c.field, &p, back);
        EXPECT_EQ(back, text);
    }
    EXPECT_EQ(Prof_SetStr(PROF_STR_USER, nullptr, nullptr), 0);
}

TEST(ProfileStrings, StoreClearsTheFieldAndFullLengthHasNoNul) {
    ObjProfile p = Filled(0x7E);
    std::string apn(32, 'A');
    ASSERT_EQ(Prof_SetStr(PROF_STR_APN, &p, apn.c_str()), 1);
    EXPECT_TRUE(SameBytes(p.Apn, apn.data(), 32));
    EXPECT_EQ(p.User[0], 0x7E) << "the next field is untouched";
    char back[33];
    Prof_GetStr(PROF_STR_APN, &p, back);
    EXPECT_EQ(std::string(back), apn);

    ASSERT_EQ(Prof_SetStr(PROF_STR_USER, &p, "user"), 1);
    EXPECT_TRUE(SameBytes(p.User, "user\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0", 20));
    ASSERT_EQ(Prof_SetStr(PROF_STR_PASSWORD, &p, "\xF0\xE0\xF0\xEE\xEB\xFC"), 1); // CP1251 bytes
    Prof_GetStr(PROF_STR_PASSWORD, &p, back);
    EXPECT_STREQ(back, "\xF0\xE0\xF0\xEE\xEB\xFC");
    EXPECT_EQ(uint32_t{p.ExtraWord}, 0x7E7E7E7Eu);

    Prof_GetStr(7, &p, back);
    EXPECT_STREQ(back, "");
}

// ---------------------------------------------------------------------------------------------------
// Random damage: decoders of modem bytes stay inside what they are given and keep their invariants.

Bytes Slice(const Bytes& wire, size_t from, size_t n) {
    return Bytes(wire.begin() + static_cast<long>(from), wire.begin() + static_cast<long>(from + n));
}

TEST(ProfileDamage, SeededRandomDamageDecodesCleanly) {
    std::mt19937 rng(20010728);
    const size_t sizes[] = {PROF1_SIZE, PROF2_SIZE, POLL_SIZE, INSMS_SIZE};
    for (int iter = 0; iter < 10000; ++iter) {
        ObjProfile src = Random(rng);
        Bytes wire(PROF1_SIZE + PROF2_SIZE + POLL_SIZE + INSMS_SIZE);
        uint8_t* w = Prof_Encode(wire.data(), 0, &src);
        w = Prof_Encode(w, 1, &src);
        w = Poll_Encode(w, &src);
        InSms_Encode(w, &src);
        int flips = static_cast<int>(rng() % 12);
        for (int f = 0; f < flips; ++f) {
            wire[rng() % wire.size()] ^= static_cast<uint8_t>(1 + rng() % 255);
        }
        size_t from = 0;
        for (int part = 0; part < 4; ++part) {
            size_t need = sizes[part];
            // An exact heap copy of a random length, so any read beyond it is caught.
            size_t n = rng() % 3 == 0 ? rng() % need : need + rng() % 4;
            n = std::min(n, wire.size() - from);
            Bytes in = Slice(wire, from, n);
            ObjProfile dst = Random(rng);
            ObjProfile before = dst;
            const uint8_t* end = nullptr;
            Bytes again(need);
            switch (part) {
            case 0:
                end = Prof_Decode(in.data(), in.size(), &dst, 2);
                if (end) {
                    Prof_Encode(again.data(), 0, &dst);
                }
                break;
            case 1:
                end = Prof_Decode(in.data(), in.size(), &dst, 3);
                if (end) {
                    Prof_Encode(again.data(), 1, &dst);
                }
                break;
            case 2:
                end = Poll_Decode(in.data(), in.size(), &dst);
                if (end) {
                    Poll_Encode(again.data(), &dst);
                }
                break;
            default:
                end = HCP_InSmsStr(in.data(), in.size(), &dst);
                if (end) {
                    InSms_Encode(again.data(), &dst);
                }
                break;
            }
            if (n < need) {
                ASSERT_EQ(end, nullptr) << "part " << part << " n " << n;
                ASSERT_TRUE(SameBytes(&dst, &before, sizeof dst));
                break;
            }
            ASSERT_EQ(end, in.data() + need) << "part " << part;
            // Re-encoding gives the received bytes back, but for what the sender always clears.
            Bytes got = Slice(in, 0, need);
            if (part == 1) {
                for (int k = 0; k < 6; ++k) {
                    for (int b = 0; b < 4; ++b) {
                        got[16 + 4 * k + b] &= static_cast<uint8_t>(kListedWordBits[k] >> (24 - 8 * b));
                    }
                }
            }
            if (part == 3) {
                got[0] = got[1] = 0;
                got[2] &= 0x0F;
                for (int t = 0; t < 6; ++t) {
                    got[20 + 64 * t + 63] = 0;
                }
            }
            ASSERT_EQ(again, got) << "part " << part;
            // Strings read from a modem stay within their fields.
            for (int field : {PROF_STR_APN, PROF_STR_USER, PROF_STR_PASSWORD}) {
                char text[33];
                Prof_GetStr(field, &dst, text);
                ASSERT_LE(std::strlen(text), field == PROF_STR_APN ? 32u : 20u);
            }
            for (const uint8_t* bcd : {dst.ConnectPhone, dst.SmsCentre, dst.SmsPhone}) {
                char digits[17];
                Bcd_ToDigits(digits, bcd);
                size_t len = std::strlen(digits);
                ASSERT_EQ(len != 0, Bcd_Check(bcd) == 1);
                uint8_t back[8];
                if (len != 0 && Digits_ToBcd(digits, back) == 1) {
                    ASSERT_TRUE(SameBytes(back, bcd, 8));
                }
            }
            from += need;
        }
    }
}

TEST(ProfileDamage, RandomTextsNeverBreakTheFieldCodecs) {
    std::mt19937 rng(7);
    const char alphabet[] = "0123456789. .\x01\t\xC0x";
    for (int iter = 0; iter < 20000; ++iter) {
        std::string text(rng() % 20, ' ');
        for (char& c : text) {
            c = alphabet[rng() % (sizeof alphabet - 1)];
        }
        uint32_t ip = 0;
        if (Ip_FromStr(&ip, text.c_str()) == 1) {
            char back[16];
            Ip_ToStr(ip, back);
            uint32_t again = 0;
            ASSERT_EQ(Ip_FromStr(&again, back), 1) << text;
            ASSERT_EQ(again, ip) << text;
        }
        uint8_t bcd[8];
        if (Digits_ToBcd(text.c_str(), bcd) == 1 && !text.empty()) {
            char back[17];
            Bcd_ToDigits(back, bcd);
            ASSERT_EQ(std::string(back), text);
        }
        ObjProfile p = Zeroed();
        for (int field : {PROF_STR_APN, PROF_STR_USER, PROF_STR_PASSWORD}) {
            if (Prof_SetStr(field, &p, text.c_str()) == 1) {
                char back[33];
                Prof_GetStr(field, &p, back);
                ASSERT_EQ(std::string(back), text);
            }
        }
    }
}

} // namespace
