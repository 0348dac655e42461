#include "gsm/Pdu.h"

#include "protocol/tmgsm.h"

#include <algorithm>
#include <cstring>

uint8_t SmsMessageRef = 0;

const char SemiOctetDigits[16] = "0123456789*#abc";

namespace {

// Characters the GSM alphabet has only behind an escape; we send none of them.
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

void PackSeptets(const char* text, size_t count, uint8_t* ud) {
    for (size_t i = 0; i < count; ++i) {
        uint8_t septet = AsciiToGsm[static_cast<uint8_t>(text[i])];
        for (int bit = 0; bit < 7; ++bit)
            if (septet >> bit & 1)
                SetPduBit(static_cast<int>(7 * i) + bit, ud);
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
    if (record->Dcs != 0) {
        record->Text[0] = '\0';
        return true;
    }
    // Septets the line does not carry would be invented text.
    if (octets < SeptetOctets(udl))
        return false;
    std::memset(record->Text, 0, sizeof record->Text);
    for (int i = 0; i < udl; ++i) {
        uint8_t septet = 0;
        for (int bit = 0; bit < 7; ++bit)
            septet |= static_cast<uint8_t>(GetPduBit(7 * i + bit, record->Ud) << bit);
        record->Text[i] = static_cast<char>(GsmToAscii[septet]);
    }
    return true;
}

} // namespace

const std::array<uint8_t, 256> AsciiToGsm = MakeAsciiToGsm();
const std::array<uint8_t, 128> GsmToAscii = MakeGsmToAscii();

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
        return 1;
    record->DaDigits = static_cast<uint8_t>(count);
    if (!PackNumber(number, count, record->DaBcd))
        return 1;
    record->Pid = 0;
    record->Dcs = 0;
    record->Vp = RelativeValidity(validity);
    size_t septets = std::min(length, MaxSeptets);
    record->Udl = static_cast<int32_t>(septets);
    std::memset(record->Ud, 0, MaxUdOctets);
    PackSeptets(text, septets, record->Ud);
    record->UdOctets = static_cast<int32_t>(SeptetOctets(septets));
    return 0;
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
