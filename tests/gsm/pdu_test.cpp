#include "gsm/Pdu.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace {

// Every Windows-1251 character that travels unchanged: printable ASCII without the characters the GSM
// alphabet has only behind an escape, the line ends, and the three signs with GSM counterparts.
std::string Alphabet() {
    std::string alphabet;
    for (int c = 0x20; c <= 0x7E; ++c)
        if (!std::strchr("[\\]^`{|}~", c))
            alphabet += static_cast<char>(c);
    return alphabet + "\n\r\xA4\xA6\xA7";
}

// The characters that travel behind an escape, two septets each; 0x88 is the euro sign.
const std::string ExtensionCharacters = "^{}\\[~]|\x88";

std::string Hex(SmsSubmitRecord& record) {
    char out[SubmitHexSize];
    PduToHex(out, &record);
    return out;
}

std::string UdHex(const uint8_t* ud, int octets) {
    std::string hex;
    for (int i = 0; i < octets; ++i) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02X", ud[i]);
        hex += pair;
    }
    return hex;
}

// Copied into a buffer of exactly its size, so that a read past the end is a sanitizer report.
bool Decode(std::string_view line, SmsDeliverRecord& record) {
    auto copy = std::make_unique<char[]>(line.size() + 1);
    std::copy(line.begin(), line.end(), copy.get());
    copy[line.size()] = '\0';
    return DecodeDeliverPdu(copy.get(), &record);
}

class SubmitTest : public testing::Test {
protected:
    void SetUp() override { SmsMessageRef = 0; }

    SmsSubmitRecord Encode(const char* number, std::string_view text, unsigned validity = 288) {
        SmsSubmitRecord record{};
        EXPECT_EQ(EncodeSubmitPdu(validity, number, text.data(), &record, text.size()), 0) << number;
        return record;
    }
};

TEST(SemiOctet, CharactersMapToTheirValues) {
    const struct {
        char ch;
        int value;
    } cases[] = {{'0', 0},  {'5', 5},  {'9', 9},  {'*', 10}, {'#', 11},  {'a', 12},   {'A', 12},
                 {'b', 13}, {'B', 13}, {'c', 14}, {'C', 14}, {'\0', 15}, {'d', -1},   {'D', -1},
                 {'f', -1}, {'F', -1}, {' ', -1}, {'-', -1}, {'+', -1},  {'\xC0', -1}};
    for (const auto& c : cases)
        EXPECT_EQ(DigitToSemiOctet(c.ch), c.value) << int(c.ch);
    for (int value = 0; value < 15; ++value)
        EXPECT_EQ(DigitToSemiOctet(SemiOctetDigits[value]), value);
    EXPECT_EQ(SemiOctetDigits[15], '\0');
}

TEST(SetPduBit, SetsBitsLeastSignificantFirstAndKeepsOthers) {
    uint8_t bytes[3] = {0x10, 0, 0};
    for (int n : {0, 7, 8, 15, 17})
        SetPduBit(n, bytes);
    EXPECT_EQ(bytes[0], 0x91);
    EXPECT_EQ(bytes[1], 0x81);
    EXPECT_EQ(bytes[2], 0x02);
}

TEST(ConversionTables, MapTheNamedCharacters) {
    const struct {
        uint8_t ours, gsm;
    } toGsm[] = {{'A', 'A'},   {' ', ' '},   {'?', '?'},  {'$', 0x02},  {'@', 0x00},  {'_', 0x11},
                 {'[', '?'},   {'\\', '?'},  {']', '?'},  {'^', '?'},   {'`', '?'},   {'{', '?'},
                 {'|', '?'},   {'}', '?'},   {'~', '?'},  {'\n', 0x0D}, {'\r', 0x0A}, {0xA4, 0x24},
                 {0xA6, 0x40}, {0xA7, 0x5F}, {0x00, '?'}, {0x09, '?'},  {0x1B, '?'},  {0x7F, '?'},
                 {0x80, '?'},  {0xA8, '?'},  {0xC0, '?'}, {0xFF, '?'}};
    for (const auto& c : toGsm)
        EXPECT_EQ(AsciiToGsm[c.ours], c.gsm) << int(c.ours);
    const struct {
        uint8_t gsm, ours;
    } toOurs[] = {{'A', 'A'},  {0x00, '@'},  {0x02, '$'},  {0x11, '_'},  {0x0A, '\r'}, {0x0D, '\n'},
                  {0x1B, ' '}, {0x24, 0xA4}, {0x40, 0xA6}, {0x5F, 0xA7}, {0x01, '?'},  {0x1F, '?'},
                  {0x5B, '?'}, {0x60, '?'},  {0x7E, '?'},  {0x7F, '?'}};
    for (const auto& c : toOurs)
        EXPECT_EQ(GsmToAscii[c.gsm], c.ours) << int(c.gsm);
}

TEST(ConversionTables, AreInverseOnTheAlphabetAndLoseEverythingElse) {
    const std::string alphabet = Alphabet();
    EXPECT_EQ(alphabet.size(), 91u);
    for (unsigned char c : alphabet)
        EXPECT_EQ(GsmToAscii[AsciiToGsm[c]], c) << int(c);
    for (int c = 0; c < 256; ++c)
        if (alphabet.find(static_cast<char>(c)) == std::string::npos) {
            EXPECT_EQ(AsciiToGsm[c], '?') << c;
        }
}

TEST_F(SubmitTest, PublishedHelloHelloToAnInternationalNumber) {
    SmsSubmitRecord record = Encode("+46708251358", "hellohello", 4 * 288);
    EXPECT_EQ(Hex(record), "0011000B916407281553F80000AA0AE8329BFD4697D9EC37");
    EXPECT_EQ(record.TpduLength, 23);
}

TEST_F(SubmitTest, PacksSeptetsAsPublished) {
    const struct {
        const char* text;
        const char* ud;
    } cases[] = {{"12345678", "31D98C56B3DD70"}, {"hellohello", "E8329BFD4697D9EC37"}, {"abc", "61F118"}};
    for (const auto& c : cases) {
        SmsSubmitRecord record = Encode("123", c.text);
        EXPECT_EQ(record.Udl, int(std::strlen(c.text)));
        EXPECT_EQ(UdHex(record.Ud, record.UdOctets), c.ud) << c.text;
    }
}

TEST_F(SubmitTest, LineEndsWithProtocolFieldsAndUserData) {
    SmsSubmitRecord record = Encode("1234567890", "abc");
    std::string hex = Hex(record);
    // Service centre, first octet, reference; number; PID, DCS, validity, UDL; user data.
    EXPECT_EQ(hex, std::string("001100") + "0A812143658709" + "0000A703" + "61F118");
    EXPECT_EQ(hex.size(), 34u);
    EXPECT_EQ(record.TpduLength, 16);
}

TEST_F(SubmitTest, WritesTheNumberAsSwappedSemiOctets) {
    const uint8_t bcd[] = {0x21, 0x43, 0x65, 0x87, 0x09, 0xF1};
    for (const char* number : {"+12345678901", "12345678901"}) {
        SmsSubmitRecord record = Encode(number, "x");
        EXPECT_EQ(record.DaDigits, 11);
        EXPECT_EQ(record.DaType, number[0] == '+' ? 0x91 : 0x81);
        EXPECT_EQ(std::memcmp(record.DaBcd, bcd, sizeof bcd), 0) << number;
    }
    SmsSubmitRecord record = Encode("*#aBc", "x");
    EXPECT_EQ(record.DaDigits, 5);
    EXPECT_EQ(UdHex(record.DaBcd, 3), "BADCFE");
    EXPECT_EQ(Encode("+12345678901234567890", "x").DaDigits, 20);
}

TEST_F(SubmitTest, RefusesBadNumbersAndStillAdvancesTheReference) {
    const char* numbers[] = {"",
                             "+",
                             "123456789012345678901",
                             "+123456789012345678901",
                             "123 4567",
                             "123-4567",
                             "12d4",
                             "1+2",
                             "++12",
                             "12F",
                             "12\xB3"};
    for (const char* number : numbers) {
        uint8_t before = SmsMessageRef;
        SmsSubmitRecord record{};
        EXPECT_EQ(EncodeSubmitPdu(288, number, "x", &record, 1), 1) << number;
        EXPECT_EQ(record.MessageRef, before);
        EXPECT_EQ(SmsMessageRef, uint8_t(before + 1));
    }
}

TEST_F(SubmitTest, MessageReferenceWrapsToZero) {
    SmsMessageRef = 254;
    EXPECT_EQ(Encode("1", "x").MessageRef, 254);
    EXPECT_EQ(Encode("1", "x").MessageRef, 255);
    EXPECT_EQ(Encode("1", "x").MessageRef, 0);
    EXPECT_EQ(SmsMessageRef, 1);
}

TEST_F(SubmitTest, RoundsTheValidityPeriod) {
    const struct {
        unsigned validity;
        int vp;
    } cases[] = {{0, 0},       {1, 1},        {143, 143},    {144, 155},    {287, 166},
                 {288, 167},   {289, 167},    {576, 168},    {8640, 196},   {8641, 196},
                 {10080, 197}, {127007, 254}, {127008, 255}, {127009, 255}, {UINT_MAX, 255}};
    for (const auto& c : cases)
        EXPECT_EQ(Encode("1", "x", c.validity).Vp, c.vp) << c.validity;
}

TEST_F(SubmitTest, FillsUpTo160SeptetsAndRefusesLongerTexts) {
    const std::string plain(255, 'z');
    const std::string escaped(100, '[');
    const struct {
        const char* name;
        std::string text;
        int result;
        int udl;
    } cases[] = {
        {"empty", "", PduEncoded, 0},
        {"160 plain", plain.substr(0, 160), PduEncoded, 160},
        {"80 escaped", escaped.substr(0, 80), PduEncoded, 160},
        {"158 plain and an escaped", plain.substr(0, 158) + "|", PduEncoded, 160},
        {"escaped then 158 plain", "\x88" + plain.substr(0, 158), PduEncoded, 160},
        {"161 plain", plain.substr(0, 161), PduTextTooLong, 0},
        {"255 plain", plain, PduTextTooLong, 0},
        {"81 escaped", escaped.substr(0, 81), PduTextTooLong, 0},
        {"159 plain and an escaped", plain.substr(0, 159) + "~", PduTextTooLong, 0},
        {"an escaped and 159 plain", "{" + plain.substr(0, 159), PduTextTooLong, 0},
        {"100 escaped", escaped, PduTextTooLong, 0},
    };
    for (const auto& c : cases) {
        uint8_t before = SmsMessageRef;
        SmsSubmitRecord record{};
        EXPECT_EQ(EncodeSubmitPdu(288, "+12345678901", c.text.data(), &record, c.text.size()), c.result)
            << c.name;
        EXPECT_EQ(SmsMessageRef, uint8_t(before + 1)) << c.name;
        EXPECT_EQ(record.DaDigits, 11) << c.name;
        EXPECT_EQ(record.Udl, c.udl) << c.name;
        EXPECT_EQ(record.UdOctets, (7 * c.udl + 7) / 8) << c.name;
    }
    SmsMessageRef = 0;
    SmsSubmitRecord empty = Encode("1", "");
    EXPECT_EQ(Hex(empty), std::string("0011000181F1") + "0000A700");
}

TEST_F(SubmitTest, NumberIsCheckedBeforeTheTextLength) {
    const std::string text(161, 'z');
    SmsSubmitRecord record{};
    EXPECT_EQ(EncodeSubmitPdu(288, "12-3", text.data(), &record, text.size()), PduNumberRefused);
}

TEST_F(SubmitTest, LongestLineFitsItsBuffer) {
    SmsSubmitRecord record = Encode("+12345678901234567890", std::string(160, '@'));
    auto out = std::make_unique<char[]>(SubmitHexSize);
    PduToHex(out.get(), &record);
    EXPECT_EQ(std::strlen(out.get()), SubmitHexSize - 1);
    EXPECT_EQ(record.TpduLength, 158);
}

TEST_F(SubmitTest, SendsQuestionMarksForCharactersWithoutSeptet) {
    SmsSubmitRecord marks = Encode("1", "????");
    for (const char* text : {"\xCF\xF0\xE8\xE2", "`\x0C\x1B\x98", "\t\x7F\x80\xFF"})
        EXPECT_EQ(UdHex(Encode("1", text).Ud, 4), UdHex(marks.Ud, 4)) << text;
}

// Hand-packed: escape 0x1B, then the septet of the extension table.
TEST_F(SubmitTest, SendsExtensionCharactersBehindAnEscape) {
    const struct {
        const char* text;
        int udl;
        const char* ud;
    } cases[] = {
        {"[", 2, "1B1E"},
        {"a\x88", 3, "E14D19"},
        {"{x}", 5, "1B147E9302"},
        {"^\\|~]", 10, "1BCAE6B5016E7A1B1F"},
    };
    for (const auto& c : cases) {
        SmsSubmitRecord record = Encode("1", c.text);
        EXPECT_EQ(record.Udl, c.udl) << c.text;
        EXPECT_EQ(UdHex(record.Ud, record.UdOctets), c.ud) << c.text;
    }
}

TEST_F(SubmitTest, ExchangesCrAndLf) {
    SmsSubmitRecord record = Encode("1", "\r\n");
    EXPECT_EQ(UdHex(record.Ud, record.UdOctets), "8A06");
}

// A DELIVER without service centre: sender (length, type, digits), PID and DCS, a fixed time stamp, then
// UDL and user data.
std::string DeliverLine(const std::string& sender, const std::string& userData,
                        const std::string& dcs = "00") {
    return "0004" + sender + "00" + dcs + "99309251619580" + userData;
}

// The published SMS-DELIVER, split into its fields so that cases can replace one of them.
struct Deliver {
    std::string sca = "07917283010010F5";
    std::string firstOctet = "04";
    std::string sender = "0BC87238880900F1";
    std::string pidDcs = "0000";
    std::string timeStamp = "99309251619580";
    std::string userData = "0AE8329BFD4697D9EC37";

    std::string Line() const { return sca + firstOctet + sender + pidDcs + timeStamp + userData; }
};

TEST(Deliver, DecodesPublishedExamples) {
    const struct {
        const char* line;
        const char* sender;
        const char* timeStamp;
        const char* text;
        uint8_t type;
    } cases[] = {
        {"07917283010010F5040BC87238880900F10000993092516195800AE8329BFD4697D9EC37", "27838890001",
         "99032915165908", "hellohello", 0xC8},
        {"07911326040000F0040B911346610089F60000208062917314080CC8F71D14969741F977FD07", "+31641600986",
         "02082619374180", "How are you?", 0x91},
    };
    for (const auto& c : cases) {
        SmsDeliverRecord record{};
        ASSERT_TRUE(Decode(c.line, record)) << c.line;
        EXPECT_EQ(record.FirstOctet, 0x04);
        EXPECT_EQ(record.OaDigits, 11);
        EXPECT_EQ(record.OaType, c.type);
        EXPECT_STREQ(record.Sender, c.sender);
        EXPECT_EQ(record.Pid, 0);
        EXPECT_EQ(record.Dcs, 0);
        EXPECT_STREQ(record.TimeStamp, c.timeStamp);
        EXPECT_EQ(record.Udl, int(std::strlen(c.text)));
        EXPECT_STREQ(record.Text, c.text);
    }
}

TEST(Deliver, AcceptsTheseLines) {
    const std::string base = Deliver().Line();
    const struct {
        const char* name;
        std::string line;
        const char* sender;
        const char* text;
    } cases[] = {
        {"line end CR LF", base + "\r\n", "27838890001", "hellohello"},
        {"anything after CR", base + "\rxyz", "27838890001", "hellohello"},
        {"no service centre", "00" + base.substr(16), "27838890001", "hellohello"},
        {"user-data header read as text", "0044" + base.substr(18), "27838890001", "hellohello"},
        {"more octets than septets", base + "FF", "27838890001", "hellohello"},
        {"filler other than F adds no digit", DeliverLine("03812143", "0161"), "123", "a"},
        {"filler ends the number early", DeliverLine("0491213F", "0161"), "+12", "a"},
        {"alphanumeric sender read as semi-octets", DeliverLine("04D0C1E2", "0161"), "1a2c", "a"},
        {"empty sender", DeliverLine("0081", "0161"), "", "a"},
        {"empty text with one octet", DeliverLine("038121F3", "0000"), "123", ""},
    };
    for (const auto& c : cases) {
        SmsDeliverRecord record{};
        ASSERT_TRUE(Decode(c.line, record)) << c.name;
        EXPECT_STREQ(record.Sender, c.sender) << c.name;
        EXPECT_STREQ(record.Text, c.text) << c.name;
    }
}

TEST(Deliver, RefusesMalformedLines) {
    const std::string base = Deliver().Line();
    auto with = [](auto change) {
        Deliver deliver;
        change(deliver);
        return deliver.Line();
    };
    const struct {
        const char* name;
        std::string line;
    } cases[] = {
        {"empty", ""},
        {"only a service-centre length", "00"},
        {"lower-case digits", with([](Deliver& d) { d.sca = "07917283010010f5"; })},
        {"non-hex character", with([](Deliver& d) { d.timeStamp = "9930925161958G"; })},
        {"blank", with([](Deliver& d) { d.firstOctet = " 4"; })},
        {"odd length", base + "0"},
        {"service-centre length 1", with([](Deliver& d) { d.sca = "0191"; })},
        {"service-centre length 12", with([](Deliver& d) { d.sca = "0C91" + std::string(22, '1'); })},
        {"service centre beyond the line", "0B917283010010F5"},
        {"SMS-SUBMIT", with([](Deliver& d) { d.firstOctet = "11"; })},
        {"status report", with([](Deliver& d) { d.firstOctet = "06"; })},
        {"reserved message type", with([](Deliver& d) { d.firstOctet = "07"; })},
        {"21 sender digits", with([](Deliver& d) { d.sender = "15917283010010F5FFFFFF"; })},
        {"sender beyond the line", "0004149121436587"},
        {"UDL 161", with([](Deliver& d) { d.userData = "A1" + std::string(280, '0'); })},
        {"more than 140 octets", with([](Deliver& d) { d.userData = "A0" + std::string(282, '0'); })},
        {"UDL beyond the octets", with([](Deliver& d) { d.userData = "0BE8329BFD4697D9EC37"; })},
        {"UDL 0 at the end", with([](Deliver& d) { d.userData = "00"; })},
        {"ends before the time stamp", with([](Deliver& d) { d.timeStamp = d.userData = ""; })},
    };
    for (const auto& c : cases) {
        SmsDeliverRecord record{};
        EXPECT_FALSE(Decode(c.line, record)) << c.name;
    }
}

TEST(Deliver, RefusesEveryTruncationOfAValidLine) {
    const std::string line = Deliver().Line();
    SmsDeliverRecord record{};
    ASSERT_TRUE(Decode(line, record));
    for (size_t length = 0; length < line.size(); ++length)
        EXPECT_FALSE(Decode(std::string_view(line).substr(0, length), record)) << length;
}

TEST(Deliver, KeepsWhatWasReadBeforeTheFailingTest) {
    SmsDeliverRecord record{};
    ASSERT_TRUE(Decode(Deliver().Line(), record));
    EXPECT_FALSE(Decode("00110B9121436587", record));
    EXPECT_EQ(record.FirstOctet, 0x11);
    EXPECT_STREQ(record.Sender, "27838890001");
}

// Hand-packed septets; the escape that is not followed by the extension table reads as a space.
TEST(Deliver, DecodesEscapeSequences) {
    const struct {
        const char* name;
        const char* userData;
        const char* text;
    } cases[] = {
        {"the whole extension table", "141BC586B2416D529BD786B7E96D7C1BE0A60C", "\x0C^{}\\[~]|\x88"},
        {"between plain characters", "051B147E9302", "{x}"},
        {"euro sign after a letter", "03E14D19", "a\x88"},
        {"escape before a letter", "029B30", " a"},
        {"escape before commercial at", "021B00", " @"},
        {"escape before CR", "029B06", " \n"},
        {"escape at the end", "02E10D", "a "},
        {"escape before escape", "039B0D0A", "  ("},
    };
    for (const auto& c : cases) {
        SmsDeliverRecord record{};
        ASSERT_TRUE(Decode(DeliverLine("038121F3", c.userData), record)) << c.name;
        EXPECT_STREQ(record.Text, c.text) << c.name;
    }
}

TEST(Deliver, DecodesTheDefaultAlphabetWithAMessageClass) {
    for (const char* dcs : {"01", "02", "03", "10", "11", "12", "13", "F0", "F1", "F2", "F3"}) {
        Deliver deliver;
        deliver.pidDcs = std::string("00") + dcs;
        SmsDeliverRecord record{};
        ASSERT_TRUE(Decode(deliver.Line(), record)) << dcs;
        EXPECT_STREQ(record.Text, "hellohello") << dcs;
        deliver.userData = "0BE8329BFD4697D9EC37";
        EXPECT_FALSE(Decode(deliver.Line(), record)) << "UDL beyond the octets, " << dcs;
    }
}

// Big-endian UTF-16 to Windows-1251; the UDL counts octets.
TEST(Deliver, DecodesUcs2ToWindows1251) {
    const struct {
        const char* name;
        const char* dcs;
        const char* userData;
        const char* text;
    } cases[] = {
        {"Russian", "08", "0C041F04400438043204350442", "\xCF\xF0\xE8\xE2\xE5\xF2"},
        {"yo, number sign, euro, other Cyrillic", "08", "0C04010451211620AC04060457",
         "\xA8\xB8\xB9\x88\xB2\xBF"},
        {"first and last Cyrillic letter", "08", "040410044F", "\xC0\xFF"},
        {"class 0", "18", "04004F004B", "OK"},
        {"class 1", "19", "04004F004B", "OK"},
        {"class 2", "1A", "04004F004B", "OK"},
        {"class 3", "1B", "04004F004B", "OK"},
        {"reserved class bits", "09", "04004F004B", "OK"},
        {"line ends as they are", "08", "04000A000D", "\n\r"},
        {"characters the code page lacks", "08", "044E2D00E9", "??"},
        {"no code point at 0x98", "08", "020000", "?"},
        {"surrogate pair is one character", "08", "06D83DDE000021", "?!"},
        {"lone surrogate", "08", "04D83D0041", "?A"},
        {"NUL", "08", "0400000041", "?A"},
        {"odd UDL drops the last octet", "08", "0300410042", "A"},
        {"more octets than the UDL", "08", "0200410042", "A"},
        {"empty", "08", "0000", ""},
    };
    for (const auto& c : cases) {
        SmsDeliverRecord record{};
        ASSERT_TRUE(Decode(DeliverLine("038121F3", c.userData, c.dcs), record)) << c.name;
        EXPECT_STREQ(record.Text, c.text) << c.name;
    }
    SmsDeliverRecord record{};
    EXPECT_FALSE(Decode(DeliverLine("038121F3", "05041F0440", "08"), record)) << "UDL beyond the octets";
    std::string longest = "8C";
    for (int i = 0; i < 70; ++i)
        longest += "0430";
    ASSERT_TRUE(Decode(DeliverLine("038121F3", longest, "08"), record));
    EXPECT_EQ(std::string(record.Text), std::string(70, '\xE0'));
    EXPECT_FALSE(Decode(DeliverLine("038121F3", "8D" + longest.substr(2), "08"), record)) << "UDL 141";
}

TEST(Deliver, AcceptsOtherCodingsWithAnEmptyText) {
    // 8-bit data, compressed texts, a reserved alphabet and the groups for deletion and message waiting.
    for (const char* dcs : {"04", "14", "F4", "F7", "20", "28", "0C", "40", "48", "C0", "D0", "E0"}) {
        SmsDeliverRecord record{};
        ASSERT_TRUE(Decode(Deliver().Line(), record));
        const std::string line =
            std::string("0004") + "0B919700214365F7" + "00" + dcs + "32401121430021" + "0400480069";
        ASSERT_TRUE(Decode(line, record)) << dcs;
        EXPECT_STREQ(record.Sender, "+79001234567");
        EXPECT_EQ(record.Dcs, std::stoi(dcs, nullptr, 16));
        EXPECT_STREQ(record.TimeStamp, "23041112340012");
        EXPECT_EQ(record.Udl, 4);
        EXPECT_EQ(UdHex(record.Ud, 4), "00480069");
        EXPECT_STREQ(record.Text, "") << dcs;
    }
}

TEST(Deliver, LeavesNothingOfALongerEarlierText) {
    SmsDeliverRecord record{};
    ASSERT_TRUE(Decode(Deliver().Line(), record));
    Deliver shorter;
    shorter.userData = "0361F118";
    ASSERT_TRUE(Decode(shorter.Line(), record));
    EXPECT_STREQ(record.Text, "abc");
    EXPECT_EQ(std::memcmp(record.Ud + 3, std::vector<uint8_t>(137).data(), 137), 0);
}

// Every septet count, with the extension characters mixed in; one that would overshoot becomes a plain 'e'.
TEST(PduRoundTrip, EveryLengthWithEveryCharacter) {
    const std::string alphabet = Alphabet() + ExtensionCharacters;
    for (int septets = 1; septets <= 160; ++septets) {
        std::string text;
        for (int used = 0, i = 0; used < septets; ++i) {
            char c = alphabet[(i + septets) % alphabet.size()];
            bool escaped = ExtensionCharacters.find(c) != std::string::npos;
            if (escaped && used + 2 > septets) {
                c = 'e';
                escaped = false;
            }
            text += c;
            used += escaped ? 2 : 1;
        }
        SmsSubmitRecord submit{};
        ASSERT_EQ(EncodeSubmitPdu(288, "+12345678901", text.data(), &submit, text.size()), PduEncoded);
        EXPECT_EQ(submit.Udl, septets);
        std::string hex = Hex(submit);
        std::string userData = hex.substr(hex.size() - 2 - 2 * submit.UdOctets);
        SmsDeliverRecord deliver{};
        ASSERT_TRUE(Decode(DeliverLine("0B912143658709F1", userData), deliver)) << septets;
        EXPECT_EQ(deliver.Udl, septets);
        EXPECT_EQ(std::string(deliver.Text), text) << septets;
    }
}

} // namespace
