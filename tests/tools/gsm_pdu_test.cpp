// The GSM modem simulator's own PDU codec against published PDUs, and the radio modem's SMS texts
// against the protocol library's SMS text codec.
#include "protocol/tmgsm.h"
#include "tools/gsm-sim/ModemSms.h"
#include "tools/gsm-sim/SmsPdu.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace gsmsim;

namespace {

Bytes Hex(const std::string& hex) {
    Bytes b;
    EXPECT_TRUE(FromHex(hex, &b)) << hex;
    return b;
}

// A widely published SMS-DELIVER: centre +27381000015, sender 27838890001 of type 0xC8, 1999-03-29
// 15:16:59 +2 h, "hellohello".
TEST(GsmPduTest, DeliverMatchesPublishedExample) {
    DeliverSpec spec;
    spec.serviceCentre = "+27381000015";
    spec.sender = "27838890001";
    spec.senderType = 0xC8;
    spec.time = {1999, 3, 29, 15, 16, 59, 8};
    spec.text = "hellohello";
    size_t tpdu = 0;
    EXPECT_EQ(ToHex(EncodeDeliver(spec, &tpdu)),
              "07917283010010F5040BC87238880900F10000993092516195800AE8329BFD4697D9EC37");
    EXPECT_EQ(tpdu, 28u);
}

// The published example of an alphanumeric sender: "diafaan" via +447802000332, 2011-01-11 13:25:41.
TEST(GsmPduTest, DeliverWithAlphanumericSenderMatchesPublishedExample) {
    DeliverSpec spec;
    spec.serviceCentre = "+447802000332";
    spec.firstOctet = 0x24;
    spec.sender = "diafaan";
    spec.time = {2011, 1, 11, 13, 25, 41, 0};
    spec.text = "diafaan.com";
    EXPECT_EQ(ToHex(EncodeDeliver(spec)),
              "0791448720003023240DD0E474D81C0EBB010000111011315214000BE474D81C0EBB5DE3771B");
}

TEST(GsmPduTest, DeliverForms) {
    DeliverSpec spec;
    spec.sender = "+71230000000";
    spec.serviceCentre = "";
    spec.time = {2024, 12, 31, 23, 59, 58, -12}; // three hours west: the sign bit in the zone octet
    spec.text = "Hi";
    size_t tpdu = 0;
    EXPECT_EQ(ToHex(EncodeDeliver(spec, &tpdu)), "00040B911732000000F000004221133295852902C834");
    EXPECT_EQ(tpdu, 21u);

    spec.sender = "12345"; // unknown type, odd digit count ending in the filler
    EXPECT_EQ(ToHex(EncodeDeliver(spec)).substr(0, 14), "000405812143F5");

    spec.dcs = 0x08; // UCS2: two octets per character
    spec.text = "Ж€";
    EXPECT_EQ(ToHex(EncodeDeliver(spec)).substr(32), "04041620AC");

    for (const char* sender : {"", "123456789012345678901", "TwelveChars!"}) {
        spec.sender = sender;
        EXPECT_TRUE(EncodeDeliver(spec).empty()) << sender;
    }
    spec.sender = "1";
    spec.dcs = 0;
    spec.text = std::string(161, 'x');
    EXPECT_TRUE(EncodeDeliver(spec).empty());
    spec.text = std::string(160, 'x');
    EXPECT_FALSE(EncodeDeliver(spec).empty());
}

TEST(GsmPduTest, StatusReport) {
    StatusReportSpec spec;
    spec.messageRef = 0x2A;
    spec.recipient = "+71230000000";
    spec.discharged.second = 30;
    spec.status = 0;
    EXPECT_EQ(ToHex(EncodeStatusReport(spec)), "07919761989901F0" // service centre
                                               "062A"             // STATUS-REPORT, reference
                                               "0B911732000000F0" // recipient
                                               "42305121000021"   // service centre's time
                                               "42305121000321"
                                               "00"); // delivered, its status
    spec.recipient = "";
    EXPECT_TRUE(EncodeStatusReport(spec).empty());
}

// A widely published SMS-SUBMIT for "AT+CMGS=23".
TEST(GsmPduTest, SubmitPublishedExampleDecodes) {
    Submit s;
    std::string why;
    ASSERT_TRUE(DecodeSubmit(Hex("0011000B916407281553F80000AA0AE8329BFD4697D9EC37"), 23, &s, &why)) << why;
    EXPECT_EQ(s.serviceCentre, "");
    EXPECT_EQ(s.firstOctet, 0x11);
    EXPECT_EQ(s.messageRef, 0);
    EXPECT_EQ(s.destination, "+46708251358");
    EXPECT_EQ(s.destinationType, 0x91);
    EXPECT_EQ(s.validityFormat, 2);
    EXPECT_EQ(s.validity, Bytes{0xAA});
    EXPECT_EQ(s.udl, 10);
    EXPECT_EQ(s.text, "hellohello");
}

// The octets the router's encoder is specified to write for +12345678901 and "abc" with one day's validity.
TEST(GsmPduTest, SubmitOfTheRoutersLayoutDecodes) {
    Submit s;
    ASSERT_TRUE(DecodeSubmit(Hex("0011050B912143658709F10000A70361F118"), 17, &s));
    EXPECT_EQ(s.messageRef, 5);
    EXPECT_EQ(s.destination, "+12345678901");
    EXPECT_EQ(s.validity, Bytes{0xA7});
    EXPECT_EQ(s.text, "abc");

    ASSERT_TRUE(DecodeSubmit(Hex("07919761989901F001010A81214365870900000361F118"), 15, &s));
    EXPECT_EQ(s.serviceCentre, "+79168999100");
    EXPECT_EQ(s.destination, "1234567890");
    EXPECT_EQ(s.validityFormat, 0);
}

TEST(GsmPduTest, SubmitRefusals) {
    const struct {
        const char* hex;
        size_t length;
        const char* what;
    } cases[] = {
        {"0011000B916407281553F80000AA0AE8329BFD4697D9EC37", 22, "length one short"},
        {"0011000B916407281553F80000AA0AE8329BFD4697D9EC37", 24, "length one long"},
        {"0011000B916407281553F80000AA0AE8329BFD4697D9EC", 22, "user data one octet short"},
        {"0011000B916407281553F80000AA09E8329BFD4697D9EC37", 23, "user data one octet long"},
        {"0004000B916407281553F80000AA0AE8329BFD4697D9EC37", 23, "a DELIVER"},
        {"0C11000B916407281553F80000AA0AE8329BFD4697D9EC37", 23, "centre length 12"},
        {"0011001591640728155308000000000000000000AA00", 21, "21 destination digits"},
        {"0011000B916407281553F80000AA", 13, "no user data length"},
        {"001100", 2, "cut inside the address"},
        {"", 0, "empty"},
    };
    for (const auto& c : cases) {
        Submit s;
        Bytes pdu;
        FromHex(c.hex, &pdu);
        EXPECT_FALSE(DecodeSubmit(pdu, c.length, &s)) << c.what;
    }
}

TEST(GsmPduTest, SeptetsOfTheDefaultAlphabetAndItsExtension) {
    EXPECT_EQ(TextToSeptets("@$_a"), (Bytes{0x00, 0x02, 0x11, 0x61}));
    EXPECT_EQ(TextToSeptets("[€]"), (Bytes{0x1B, 0x3C, 0x1B, 0x65, 0x1B, 0x3E}));
    EXPECT_EQ(TextToSeptets("ЖЯ`"), (Bytes{0x3F, 0x3F, 0x3F})); // no Cyrillic, no grave accent
    EXPECT_EQ(TextToSeptets("\r\n"), (Bytes{0x0D, 0x0A}));
    const std::string all =
        "@£$¥èéùìòÇ\nØø\rÅåΔ_ΦΓΛΩΠΨΣΘΞÆæßÉ !\"#¤%&'()*+,-./09:;<=>?¡AZÄÖÑÜ§¿azäöñüà^{}\\[~]|€";
    EXPECT_EQ(SeptetsToText(TextToSeptets(all)), all);
    EXPECT_EQ(SeptetsToText({0x1B, 0x41}), "A"); // an escape to nothing reads as the default character
    EXPECT_EQ(PackSeptets(TextToSeptets("abc")), (Bytes{0x61, 0xF1, 0x18}));
    EXPECT_EQ(PackSeptets(Bytes(160, 0x7F)).size(), 140u);
    Bytes septets;
    EXPECT_FALSE(UnpackSeptets(Hex("61F1").data(), 2, 3, &septets));
}

TEST(GsmPduTest, AlphabetOfCodingSchemes) {
    EXPECT_EQ(AlphabetOf(0x00), Alphabet::Gsm7);
    EXPECT_EQ(AlphabetOf(0x08), Alphabet::Ucs2);
    EXPECT_EQ(AlphabetOf(0x04), Alphabet::Data8);
    EXPECT_EQ(AlphabetOf(0x10), Alphabet::Gsm7); // class 0
    EXPECT_EQ(AlphabetOf(0x48), Alphabet::Ucs2); // marked for automatic deletion
    EXPECT_EQ(AlphabetOf(0xF1), Alphabet::Gsm7);
    EXPECT_EQ(AlphabetOf(0xF4), Alphabet::Data8);
    EXPECT_EQ(AlphabetOf(0xE0), Alphabet::Ucs2);
}

// A modem's answer text is what the router's SMS codec accepts, in both body forms.
TEST(ModemSmsTest, AnswerTextIsAcceptedByTheSmsCodec) {
    const uint8_t version[4] = {1, 5, 2, 3};
    const Bytes hwInfo = HwInfoAnswerItem(version, 0x9);
    const std::string hex = ModemAnswerText(0x0102, Auth_FactoryKey, hwInfo);
    ASSERT_EQ(hex.substr(0, 5), ",0102");
    EXPECT_EQ(hex.back(), '\n');
    EXPECT_EQ(hex.size(), 5 + 2 * (64 + 1) + 1u); // 47 bytes of items close a 64-byte block

    SmsObj sms;
    TMGSM_InitSms(&sms, nullptr);
    ASSERT_EQ(TMGSM_AcceptSmsMsg(&sms, hex.data(), hex.size()), SMS_FACTORY_KEY);
    EXPECT_EQ(sms.ModemId, 0x0102);
    EXPECT_TRUE(sms.Results.Answered & REQ_GET_HW_INFO);
    EXPECT_EQ(memcmp(sms.Results.HwInfo.Version, version, 4), 0);
    EXPECT_EQ(sms.Results.HwInfo.InputBits, 0x9);

    Bytes two = hwInfo;
    two.insert(two.end(), hwInfo.begin(), hwInfo.end()); // 94 bytes: a 112-byte block in the alphabet
    const std::string alphabet = ModemAnswerText(7, Auth_FactoryKey, two);
    ASSERT_EQ(alphabet.substr(0, 5), ".0007");
    EXPECT_EQ(alphabet.size(), 5 + 152 + 1u);
    TMGSM_InitSms(&sms, nullptr);
    EXPECT_EQ(TMGSM_AcceptSmsMsg(&sms, alphabet.data(), alphabet.size()), SMS_FACTORY_KEY);
    EXPECT_TRUE(sms.Results.Answered & REQ_GET_HW_INFO);

    const uint8_t otherKey[16] = {'k', 'e', 'y'};
    const std::string keyed = ModemAnswerText(7, otherKey, hwInfo);
    TMGSM_InitSms(&sms, nullptr);
    EXPECT_EQ(TMGSM_AcceptSmsMsg(&sms, keyed.data(), keyed.size()), SMS_NO_KEY);
    EXPECT_TRUE(ModemAnswerText(7, otherKey, Bytes(109, 0x91)).empty());
}

// The router's request texts open as a modem opens them, with the key they were built with only.
TEST(ModemSmsTest, RequestTextsOpen) {
    const uint8_t key[16] = {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'A', 'B', 'C', 'D', 'E', 'F'};
    SmsObj sms;
    TMGSM_InitSms(&sms, nullptr);
    TMGSM_CreateSmsMsg(&sms, key, REQ_GET_HW_INFO);
    const std::string hwText(sms.Text, sms.TextLen);
    uint16_t id = 0xFFFF;
    Bytes plain;
    ASSERT_TRUE(OpenRequestText(hwText, key, &id, &plain));
    EXPECT_EQ(id, 0);
    ASSERT_EQ(plain.size(), 12u);
    EXPECT_EQ(plain[0], CMD_GET_HW_INFO);
    EXPECT_EQ(plain[1], 0xFF);
    EXPECT_FALSE(OpenRequestText(hwText, Auth_FactoryKey, &id, &plain));
    std::string damaged = hwText;
    damaged[10] = damaged[10] == '0' ? '1' : '0';
    EXPECT_FALSE(OpenRequestText(damaged, key, &id, &plain));

    ObjProfile profile = {};
    TMGSM_InitSms(&sms, nullptr);
    sms.Params.Profile = &profile;
    TMGSM_CreateSmsMsg(&sms, key, REQ_SET_PROFILE1);
    const std::string profileText(sms.Text, sms.TextLen);
    ASSERT_EQ(profileText[0], '.');
    ASSERT_TRUE(OpenRequestText("noise " + profileText, key, &id, &plain));
    EXPECT_EQ(plain.size(), 108u);
    EXPECT_EQ(plain[0], CMD_SET_PROFILE1);
}

} // namespace
