#include "gsm/Pdu.h"

#include "protocol/tmgsm.h"

#include <algorithm>
#include <cstring>
#include <iterator>

uint8_t SmsMessageRef = 0;

const char SemiOctetDigits[16] = "0123456789*#abc";

namespace {

// Characters the GSM alphabet has only behind an escape; the single-septet tables map them to '?'.
constexpr bool IsEscapedInGsm(int c) {
    return (c >= 0x5B && c <= 0x5E) || c == 0x60 || (c >= 0x7B && c <= 0x7E);
}

constexpr bool SameInBoth(int c) {
    return c >= 0x20 && c <= 0x7E && !IsEscapedInGsm(c);
}

struct CharPair {
    uint8_t ours;
    uint8_t gsm;
};

// LF and CR are exchanged in both directions, so our own texts come back as they were sent.
constexpr CharPair Remapped[] = {{0x24, 0x02}, {0x40, 0x00}, {0x5F, 0x11}, {0x0A, 0x0D},
                                 {0x0D, 0x0A}, {0xA4, 0x24}, {0xA6, 0x40}, {0xA7, 0x5F}};

constexpr std::array<uint8_t, 256> MakeAsciiToGsm() {
    std::array<uint8_t, 256> table{};
    for (int c = 0; c < 256; ++c)
        table[c] = SameInBoth(c) ? c : '?';
    for (CharPair pair : Remapped)
        table[pair.ours] = pair.gsm;
    return table;
}

constexpr std::array<uint8_t, 128> MakeGsmToAscii() {
    std::array<uint8_t, 128> table{};
    for (int c = 0; c < 128; ++c)
        table[c] = SameInBoth(c) ? c : '?';
    for (CharPair pair : Remapped)
        table[pair.gsm] = pair.ours;
    // The escaped character that follows is then converted by itself.
    table[0x1B] = ' ';
    return table;
}

constexpr uint8_t Escape = 0x1B;
constexpr uint8_t FormFeed = 0x0C;

// The default extension table: the septet after an escape and our character for it. The grave accent has no
// septet at all.
constexpr CharPair Extension[] = {{FormFeed, 0x0A}, {'^', 0x14}, {'{', 0x28}, {'}', 0x29}, {'\\', 0x2F},
                                  {'[', 0x3C},      {'~', 0x3D}, {']', 0x3E}, {'|', 0x40}, {0x88, 0x65}};

// Our character for the septet after an escape, 0 when the extension table has none.
uint8_t FromExtension(uint8_t septet) {
    for (CharPair pair : Extension)
        if (pair.gsm == septet)
            return pair.ours;
    return 0;
}

// The septet to send after an escape for c, 0 when c needs none. Form feed is only received: like the other
// control characters it is sent as '?'.
uint8_t ToExtension(uint8_t c) {
    for (CharPair pair : Extension)
        if (pair.ours == c && c != FormFeed)
            return pair.gsm;
    return 0;
}

constexpr size_t MaxSeptets = 160;
constexpr size_t MaxUdOctets = 140;

constexpr size_t SeptetOctets(size_t septets) {
    return (7 * septets + 7) / 8;
}

bool GetPduBit(int n, const uint8_t* bytes) {
    return bytes[n / 8] >> (n % 8) & 1;
}

uint8_t RelativeValidity(unsigned v) {
    if (v <= 143)
        return static_cast<uint8_t>(v);
    if (v <= 288)
        return static_cast<uint8_t>(v / 12 + 143);
    if (v <= 8640)
        return static_cast<uint8_t>(v / 288 + 166);
    if (v <= 127008)
        return static_cast<uint8_t>(v / 2016 + 192);
    return 255;
}

// An odd count takes the terminating NUL as its last character, which gives the 0xF filler.
bool PackNumber(const char* number, size_t count, uint8_t* bcd) {
    for (size_t i = 0; i < (count + 1) / 2; ++i) {
        int low = DigitToSemiOctet(number[2 * i]);
        int high = DigitToSemiOctet(number[2 * i + 1]);
        if (low < 0 || high < 0)
            return false;
        bcd[i] = static_cast<uint8_t>(high << 4 | low);
    }
    return true;
}

// Counts no further than one septet past the limit.
size_t SeptetCount(const char* text, size_t length) {
    size_t septets = 0;
    for (size_t i = 0; i < length && septets <= MaxSeptets; ++i)
        septets += ToExtension(static_cast<uint8_t>(text[i])) != 0 ? 2 : 1;
    return septets;
}

void PackSeptets(const char* text, size_t length, uint8_t* ud) {
    int position = 0;
    auto put = [&](uint8_t septet) {
        for (int bit = 0; bit < 7; ++bit)
            if (septet >> bit & 1)
                SetPduBit(position + bit, ud);
        position += 7;
    };
    for (size_t i = 0; i < length; ++i) {
        uint8_t c = static_cast<uint8_t>(text[i]);
        if (uint8_t escaped = ToExtension(c)) {
            put(Escape);
            put(escaped);
        } else {
            put(AsciiToGsm[c]);
        }
    }
}

// The modems print upper-case digits only; anything else marks a damaged line.
int UpperHexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Reads a hexadecimal line front to back; every read is preceded by a More() test.
class HexReader {
public:
    explicit HexReader(const char* line) : line_(line) {
        while (line_[size_] != '\0' && line_[size_] != '\r')
            ++size_;
    }

    bool AllUpperHex() const {
        return std::all_of(line_, line_ + size_, [](char c) { return UpperHexValue(c) >= 0; });
    }
    // True when more than n characters are left.
    bool More(size_t n) const { return size_ - pos_ > n; }
    size_t Left() const { return size_ - pos_; }
    const char* Here() const { return line_ + pos_; }
    void Skip(size_t n) { pos_ += n; }
    uint8_t Octet() {
        uint8_t value =
            static_cast<uint8_t>(UpperHexValue(line_[pos_]) << 4 | UpperHexValue(line_[pos_ + 1]));
        pos_ += 2;
        return value;
    }

private:
    const char* line_;
    size_t size_ = 0;
    size_t pos_ = 0;
};

bool SkipServiceCentre(HexReader& in) {
    if (!in.AllUpperHex() || !in.More(2))
        return false;
    size_t length = in.Octet();
    if (length > 11 || length == 1 || !in.More(2 * length))
        return false;
    in.Skip(2 * length);
    return true;
}

// Prints at most the digit count: a filler that is not 0xF adds no digit.
void WriteSender(SmsDeliverRecord* record) {
    char* out = record->Sender;
    if ((record->OaType & 0xF0) == 0x90)
        *out++ = '+';
    for (int i = 0; i < record->OaDigits; ++i) {
        int semiOctet = record->OaBcd[i / 2] >> (4 * (i % 2)) & 15;
        if (semiOctet == 15)
            break;
        *out++ = SemiOctetDigits[semiOctet];
    }
    *out = '\0';
}

bool ReadSender(HexReader& in, SmsDeliverRecord* record) {
    if (!in.More(2))
        return false;
    uint8_t digits = in.Octet();
    if (digits > 20)
        return false;
    record->OaDigits = digits;
    size_t octets = (digits + 3) / 2;
    if (!in.More(2 * octets))
        return false;
    record->OaType = in.Octet();
    for (size_t i = 0; i + 1 < octets; ++i)
        record->OaBcd[i] = in.Octet();
    WriteSender(record);
    return true;
}

bool ReadProtocolFields(HexReader& in, SmsDeliverRecord* record) {
    if (!in.More(4))
        return false;
    record->Pid = in.Octet();
    record->Dcs = in.Octet();
    if (!in.More(14))
        return false;
    // Semi-octets: the second character of each octet comes first.
    for (int i = 0; i < 14; i += 2) {
        record->TimeStamp[i] = in.Here()[1];
        record->TimeStamp[i + 1] = in.Here()[0];
        in.Skip(2);
    }
    record->TimeStamp[14] = '\0';
    return true;
}

enum class Coding { Default, Ucs2, Undecoded };

// Only uncompressed texts of the general group (bits 7-5 clear, alphabet in bits 3-2, an optional message
// class) and the default alphabet with a message class (0xF0-0xF3) are decoded; 8-bit data is not text.
Coding CodingOf(uint8_t dcs) {
    if ((dcs & 0xFC) == 0xF0)
        return Coding::Default;
    if ((dcs & 0xE0) != 0)
        return Coding::Undecoded;
    switch (dcs >> 2 & 3) {
    case 0:
        return Coding::Default;
    case 2:
        return Coding::Ucs2;
    default:
        return Coding::Undecoded;
    }
}

uint8_t SeptetAt(const uint8_t* ud, int i) {
    uint8_t septet = 0;
    for (int bit = 0; bit < 7; ++bit)
        septet |= static_cast<uint8_t>(GetPduBit(7 * i + bit, ud) << bit);
    return septet;
}

// An escape before a septet of the extension table gives that character; before any other septet (or at the
// end) it reads as a space and the septet after it is converted by itself.
void DecodeSeptets(const uint8_t* ud, int count, char* text) {
    for (int i = 0; i < count; ++i) {
        uint8_t septet = SeptetAt(ud, i);
        bool escapes = septet == Escape && i + 1 < count;
        uint8_t extended = escapes ? FromExtension(SeptetAt(ud, i + 1)) : 0;
        if (extended != 0) {
            *text++ = static_cast<char>(extended);
            ++i;
            continue;
        }
        *text++ = static_cast<char>(GsmToAscii[septet]);
        if (escapes)
            *text++ = static_cast<char>(GsmToAscii[SeptetAt(ud, ++i)]);
    }
}

// Windows-1251 0x80-0xBF as Unicode; 0x98 holds no character.
constexpr uint16_t Cp1251High[64] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, 0x20AC, 0x2030, 0x0409, 0x2039, 0x040A,
    0x040C, 0x040B, 0x040F, 0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, 0x0000, 0x2122,
    0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F, 0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6,
    0x00A7, 0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407, 0x00B0, 0x00B1, 0x0406, 0x0456,
    0x0491, 0x00B5, 0x00B6, 0x00B7, 0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457};

// NUL would end the text early, so it becomes '?' like every character the code page lacks.
char ToCp1251(unsigned unit) {
    if (unit < 0x80)
        return unit == 0 ? '?' : static_cast<char>(unit);
    if (unit >= 0x0410 && unit <= 0x044F)
        return static_cast<char>(unit - 0x0410 + 0xC0);
    for (unsigned i = 0; i < std::size(Cp1251High); ++i)
        if (Cp1251High[i] == unit)
            return static_cast<char>(0x80 + i);
    return '?';
}

constexpr bool IsHighSurrogate(unsigned unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}

constexpr bool IsLowSurrogate(unsigned unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

// Big-endian UTF-16 code units; an odd last octet is dropped, and a surrogate pair is one '?'.
void DecodeUcs2(const uint8_t* ud, int octets, char* text) {
    auto unitAt = [ud](int i) { return static_cast<unsigned>(ud[i] << 8 | ud[i + 1]); };
    for (int i = 0; i + 1 < octets; i += 2) {
        unsigned unit = unitAt(i);
        if (IsHighSurrogate(unit) && i + 3 < octets && IsLowSurrogate(unitAt(i + 2)))
            i += 2;
        *text++ = ToCp1251(unit);
    }
}

bool ReadUserData(HexReader& in, SmsDeliverRecord* record) {
    if (!in.More(2))
        return false;
    uint8_t udl = in.Octet();
    if (udl > MaxSeptets)
        return false;
    record->Udl = udl;
    size_t octets = in.Left() / 2;
    if (in.Left() % 2 != 0 || octets > MaxUdOctets)
        return false;
    std::memset(record->Ud, 0, sizeof record->Ud);
    for (size_t i = 0; i < octets; ++i)
        record->Ud[i] = in.Octet();
    // The UDL counts septets of the default alphabet and octets otherwise. Units the line does not carry
    // would be invented text.
    Coding coding = CodingOf(record->Dcs);
    if ((coding == Coding::Default && octets < SeptetOctets(udl)) || (coding == Coding::Ucs2 && octets < udl))
        return false;
    std::memset(record->Text, 0, sizeof record->Text);
    if (coding == Coding::Default)
        DecodeSeptets(record->Ud, udl, record->Text);
    else if (coding == Coding::Ucs2)
        DecodeUcs2(record->Ud, udl, record->Text);
    return true;
}

} // namespace

const std::array<uint8_t, 256> AsciiToGsm = MakeAsciiToGsm();
const std::array<uint8_t, 128> GsmToAscii = MakeGsmToAscii();

bool IsDefaultAlphabet(uint8_t dcs) {
    return CodingOf(dcs) == Coding::Default;
}

void SetPduBit(int n, uint8_t* bytes) {
    bytes[n / 8] |= static_cast<uint8_t>(1 << (n % 8));
}

int DigitToSemiOctet(char ch) {
    if (ch >= '0' && ch <= '9')
        return ch - '0';
    switch (ch) {
    case '*':
        return 10;
    case '#':
        return 11;
    case 'a':
    case 'A':
        return 12;
    case 'b':
    case 'B':
        return 13;
    case 'c':
    case 'C':
        return 14;
    case '\0':
        return 15;
    default:
        return -1;
    }
}

int EncodeSubmitPdu(unsigned validity, const char* number, const char* text, SmsSubmitRecord* record,
                    size_t length) {
    record->FirstOctet = 0x11;
    record->MessageRef = SmsMessageRef++;
    record->DaType = 0x81;
    if (*number == '+') {
        record->DaType = 0x91;
        ++number;
    }
    size_t count = std::strlen(number);
    if (count < 1 || count > 20)
        return PduNumberRefused;
    record->DaDigits = static_cast<uint8_t>(count);
    if (!PackNumber(number, count, record->DaBcd))
        return PduNumberRefused;
    record->Pid = 0;
    record->Dcs = 0;
    record->Vp = RelativeValidity(validity);
    // Cutting the text would lose its end unseen.
    size_t septets = SeptetCount(text, length);
    if (septets > MaxSeptets)
        return PduTextTooLong;
    record->Udl = static_cast<int32_t>(septets);
    std::memset(record->Ud, 0, MaxUdOctets);
    PackSeptets(text, length, record->Ud);
    record->UdOctets = static_cast<int32_t>(SeptetOctets(septets));
    return PduEncoded;
}

void PduToHex(char* out, SmsSubmitRecord* record) {
    // Clamped to the arrays, so a record that was never filled cannot overrun.
    size_t bcd = std::min<size_t>((record->DaDigits + 1) / 2, sizeof record->DaBcd);
    size_t ud = static_cast<size_t>(std::clamp<int32_t>(record->UdOctets, 0, MaxUdOctets));
    uint8_t octets[9 + sizeof record->DaBcd + MaxUdOctets];
    uint8_t* p = octets;
    *p++ = 0x00; // no service centre: the modem uses its default
    *p++ = record->FirstOctet;
    *p++ = record->MessageRef;
    *p++ = record->DaDigits;
    *p++ = record->DaType;
    p = std::copy_n(record->DaBcd, bcd, p);
    *p++ = record->Pid;
    *p++ = record->Dcs;
    *p++ = record->Vp;
    *p++ = static_cast<uint8_t>(record->Udl);
    p = std::copy_n(record->Ud, ud, p);
    size_t n = static_cast<size_t>(p - octets);
    *Hex_Encode(out, octets, n) = '\0';
    record->TpduLength = static_cast<int32_t>(n - 1);
}

bool DecodeDeliverPdu(const char* line, SmsDeliverRecord* record) {
    HexReader in(line);
    if (!SkipServiceCentre(in) || !in.More(2))
        return false;
    record->FirstOctet = in.Octet();
    // Only the message type is checked; a user-data header is read as text like the rest.
    if ((record->FirstOctet & 3) != 0)
        return false;
    return ReadSender(in, record) && ReadProtocolFields(in, record) && ReadUserData(in, record);
}
