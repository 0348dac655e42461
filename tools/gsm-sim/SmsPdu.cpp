#include "tools/gsm-sim/SmsPdu.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

namespace gsmsim {

namespace {

constexpr uint8_t kEscape = 0x1B;
constexpr uint8_t kQuestion = 0x3F;
constexpr char32_t kNone = 0xFFFF; // a septet no character is written as

// The default alphabet by septet, as Unicode code points.
constexpr char32_t kDefault[128] = {
    0x40,  0xA3, 0x24,  0xA5,  0xE8,  0xE9,  0xF9,  0xEC,  0xF2,  0xC7,  0x0A,  0xD8,  0xF8, 0x0D, 0xC5, 0xE5,
    0x394, 0x5F, 0x3A6, 0x393, 0x39B, 0x3A9, 0x3A0, 0x3A8, 0x3A3, 0x398, 0x39E, kNone, 0xC6, 0xE6, 0xDF, 0xC9,
    0x20,  0x21, 0x22,  0x23,  0xA4,  0x25,  0x26,  0x27,  0x28,  0x29,  0x2A,  0x2B,  0x2C, 0x2D, 0x2E, 0x2F,
    0x30,  0x31, 0x32,  0x33,  0x34,  0x35,  0x36,  0x37,  0x38,  0x39,  0x3A,  0x3B,  0x3C, 0x3D, 0x3E, 0x3F,
    0xA1,  0x41, 0x42,  0x43,  0x44,  0x45,  0x46,  0x47,  0x48,  0x49,  0x4A,  0x4B,  0x4C, 0x4D, 0x4E, 0x4F,
    0x50,  0x51, 0x52,  0x53,  0x54,  0x55,  0x56,  0x57,  0x58,  0x59,  0x5A,  0xC4,  0xD6, 0xD1, 0xDC, 0xA7,
    0xBF,  0x61, 0x62,  0x63,  0x64,  0x65,  0x66,  0x67,  0x68,  0x69,  0x6A,  0x6B,  0x6C, 0x6D, 0x6E, 0x6F,
    0x70,  0x71, 0x72,  0x73,  0x74,  0x75,  0x76,  0x77,  0x78,  0x79,  0x7A,  0xE4,  0xF6, 0xF1, 0xFC, 0xE0,
};

struct Extension {
    uint8_t code;
    char32_t ch;
};
constexpr Extension kExtension[] = {{0x0A, 0x0C}, {0x14, '^'}, {0x28, '{'}, {0x29, '}'}, {0x2F, '\\'},
                                    {0x3C, '['},  {0x3D, '~'}, {0x3E, ']'}, {0x40, '|'}, {0x65, 0x20AC}};

// The septet of a character of the default alphabet, -1 for any other.
int DefaultCode(char32_t ch) {
    for (int s = 0; s < 128; ++s)
        if (kDefault[s] == ch && s != kEscape)
            return s;
    return -1;
}

std::u32string FromUtf8(std::string_view s) {
    std::u32string out;
    for (size_t i = 0; i < s.size();) {
        const auto b = uint8_t(s[i]);
        const int extra = b < 0x80             ? 0
                          : (b & 0xE0) == 0xC0 ? 1
                          : (b & 0xF0) == 0xE0 ? 2
                          : (b & 0xF8) == 0xF0 ? 3
                                               : -1;
        char32_t ch = extra == 0 ? b : extra == 1 ? b & 0x1F : extra == 2 ? b & 0x0F : b & 0x07;
        bool ok = extra >= 0 && i + size_t(extra) < s.size();
        for (int k = 1; ok && k <= extra; ++k) {
            const auto c = uint8_t(s[i + size_t(k)]);
            ok = (c & 0xC0) == 0x80;
            ch = ch << 6 | (c & 0x3F);
        }
        out += ok ? ch : char32_t(0xFFFD);
        i += ok ? size_t(extra) + 1 : 1;
    }
    return out;
}

void AppendUtf8(std::string* out, char32_t ch) {
    if (ch < 0x80) {
        *out += char(ch);
    } else if (ch < 0x800) {
        *out += char(0xC0 | ch >> 6);
        *out += char(0x80 | (ch & 0x3F));
    } else if (ch < 0x10000) {
        *out += char(0xE0 | ch >> 12);
        *out += char(0x80 | (ch >> 6 & 0x3F));
        *out += char(0x80 | (ch & 0x3F));
    } else {
        *out += char(0xF0 | ch >> 18);
        *out += char(0x80 | (ch >> 12 & 0x3F));
        *out += char(0x80 | (ch >> 6 & 0x3F));
        *out += char(0x80 | (ch & 0x3F));
    }
}

int SemiOctet(char c) {
    switch (c) {
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
    default:
        return c >= '0' && c <= '9' ? c - '0' : -1;
    }
}

constexpr char kSemiOctetChars[] = "0123456789*#abc";

bool IsNumeric(std::string_view number) {
    if (!number.empty() && number[0] == '+')
        number.remove_prefix(1);
    if (number.empty())
        return false;
    for (char c : number)
        if (!(c >= '0' && c <= '9') && c != '*' && c != '#')
            return false;
    return true;
}

bool IsAlphanumericType(uint8_t type) {
    return (type & 0x70) == 0x50;
}

// Address field: digit count (or useful semi-octets of an alphanumeric value), type, value. False when
// the value cannot be written.
bool PutAddress(Bytes* out, const std::string& value, int forcedType) {
    uint8_t type = forcedType >= 0    ? uint8_t(forcedType)
                   : IsNumeric(value) ? (value[0] == '+' ? 0x91 : 0x81)
                                      : 0xD0;
    if (IsAlphanumericType(type)) {
        const Bytes septets = TextToSeptets(value);
        if (septets.empty() || septets.size() > 11)
            return false;
        const Bytes packed = PackSeptets(septets);
        out->push_back(uint8_t((septets.size() * 7 + 3) / 4));
        out->push_back(type);
        out->insert(out->end(), packed.begin(), packed.end());
        return true;
    }
    std::string_view digits = value;
    if (!digits.empty() && digits[0] == '+')
        digits.remove_prefix(1);
    if (digits.empty() || digits.size() > 20)
        return false;
    out->push_back(uint8_t(digits.size()));
    out->push_back(type);
    for (size_t i = 0; i < digits.size(); i += 2) {
        const int low = SemiOctet(digits[i]);
        const int high = i + 1 < digits.size() ? SemiOctet(digits[i + 1]) : 15;
        if (low < 0 || high < 0)
            return false;
        out->push_back(uint8_t(high << 4 | low));
    }
    return true;
}

// Service-centre address: its octet count first (type and value), 0 when there is none.
bool PutServiceCentre(Bytes* out, const std::string& number) {
    if (number.empty()) {
        out->push_back(0);
        return true;
    }
    Bytes address;
    if (!IsNumeric(number) || !PutAddress(&address, number, -1) || address.size() - 1 > 11)
        return false;
    address[0] = uint8_t(address.size() - 1); // octets, not digits
    out->insert(out->end(), address.begin(), address.end());
    return true;
}

std::string ReadSemiOctets(const uint8_t* p, size_t octets, size_t digits, uint8_t type) {
    std::string out = (type & 0x70) == 0x10 ? "+" : "";
    for (size_t i = 0; i < digits && i / 2 < octets; ++i) {
        const int v = i % 2 ? p[i / 2] >> 4 : p[i / 2] & 15;
        if (v == 15)
            break;
        out += kSemiOctetChars[v];
    }
    return out;
}

uint8_t SwappedBcd(int v) {
    return uint8_t((v % 10) << 4 | (v / 10 % 10));
}

// Time stamp: year to second as swapped BCD, then the zone in quarters, bit 3 of its octet the sign.
void PutTime(Bytes* out, const SmsTime& t) {
    for (int v : {t.year, t.month, t.day, t.hour, t.minute, t.second})
        out->push_back(SwappedBcd(v));
    const int zone = t.zoneQuarters < 0 ? -t.zoneQuarters : t.zoneQuarters;
    out->push_back(uint8_t(SwappedBcd(zone) | (t.zoneQuarters < 0 ? 0x08 : 0)));
}

// Reads octets from a PDU front to back; every read after a shortfall fails.
struct Reader {
    const Bytes& b;
    size_t pos = 0;
    bool ok = true;

    bool Have(size_t n) {
        ok = ok && b.size() - pos >= n;
        return ok;
    }
    uint8_t Octet() { return Have(1) ? b[pos++] : 0; }
    const uint8_t* Take(size_t n) {
        if (!Have(n))
            return nullptr;
        pos += n;
        return b.data() + pos - n;
    }
};

bool Fail(std::string* why, const char* reason) {
    if (why)
        *why = reason;
    return false;
}

} // namespace

std::string ToHex(const Bytes& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

bool FromHex(std::string_view hex, Bytes* out) {
    auto nibble = [](char c) {
        return c >= '0' && c <= '9'   ? c - '0'
               : c >= 'A' && c <= 'F' ? c - 'A' + 10
               : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                      : -1;
    };
    if (hex.size() % 2)
        return false;
    out->clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        const int hi = nibble(hex[i]), lo = nibble(hex[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        out->push_back(uint8_t(hi << 4 | lo));
    }
    return true;
}

Bytes TextToSeptets(std::string_view utf8) {
    Bytes out;
    for (char32_t ch : FromUtf8(utf8)) {
        const int code = DefaultCode(ch);
        if (code >= 0) {
            out.push_back(uint8_t(code));
            continue;
        }
        const Extension* e = std::find_if(std::begin(kExtension), std::end(kExtension),
                                          [ch](const Extension& x) { return x.ch == ch; });
        if (e != std::end(kExtension)) {
            out.push_back(kEscape);
            out.push_back(e->code);
        } else {
            out.push_back(kQuestion);
        }
    }
    return out;
}

std::string SeptetsToText(const Bytes& septets) {
    std::string out;
    for (size_t i = 0; i < septets.size(); ++i) {
        const uint8_t s = septets[i] & 0x7F;
        if (s != kEscape) {
            AppendUtf8(&out, kDefault[s]);
            continue;
        }
        if (++i == septets.size())
            break;
        const uint8_t code = septets[i] & 0x7F;
        char32_t ch = kDefault[code] == kNone ? ' ' : kDefault[code];
        for (const Extension& e : kExtension)
            if (e.code == code)
                ch = e.ch;
        AppendUtf8(&out, ch);
    }
    return out;
}

Bytes PackSeptets(const Bytes& septets) {
    Bytes out((septets.size() * 7 + 7) / 8, 0);
    for (size_t i = 0; i < septets.size(); ++i)
        for (size_t bit = 0; bit < 7; ++bit)
            if (septets[i] >> bit & 1)
                out[(i * 7 + bit) / 8] |= uint8_t(1u << ((i * 7 + bit) % 8));
    return out;
}

bool UnpackSeptets(const uint8_t* octets, size_t n, size_t count, Bytes* septets) {
    if ((count * 7 + 7) / 8 > n)
        return false;
    septets->assign(count, 0);
    for (size_t i = 0; i < count; ++i)
        for (size_t bit = 0; bit < 7; ++bit)
            if (octets[(i * 7 + bit) / 8] >> ((i * 7 + bit) % 8) & 1)
                (*septets)[i] |= uint8_t(1u << bit);
    return true;
}

Alphabet AlphabetOf(uint8_t dcs) {
    if ((dcs & 0x80) == 0) { // general data coding (also marked for automatic deletion)
        const int a = dcs >> 2 & 3;
        return a == 0 ? Alphabet::Gsm7 : a == 2 ? Alphabet::Ucs2 : Alphabet::Data8;
    }
    if ((dcs & 0xF0) == 0xF0)
        return dcs & 0x04 ? Alphabet::Data8 : Alphabet::Gsm7;
    if ((dcs & 0xF0) == 0xE0)
        return Alphabet::Ucs2;
    return (dcs & 0xF0) == 0xC0 || (dcs & 0xF0) == 0xD0 ? Alphabet::Gsm7 : Alphabet::Data8;
}

std::string SmsTime_Text(const SmsTime& t) {
    char text[32];
    snprintf(text, sizeof text, "%02d/%02d/%02d,%02d:%02d:%02d%c%02d", t.year % 100, t.month % 100,
             t.day % 100, t.hour % 100, t.minute % 100, t.second % 100, t.zoneQuarters < 0 ? '-' : '+',
             (t.zoneQuarters < 0 ? -t.zoneQuarters : t.zoneQuarters) % 100);
    return text;
}

Bytes EncodeDeliver(const DeliverSpec& spec, size_t* tpduLength) {
    Bytes pdu;
    if (!PutServiceCentre(&pdu, spec.serviceCentre))
        return {};
    const size_t tpduStart = pdu.size();
    pdu.push_back(spec.firstOctet);
    if (!PutAddress(&pdu, spec.sender, spec.senderType))
        return {};
    pdu.push_back(spec.pid);
    pdu.push_back(spec.dcs);
    PutTime(&pdu, spec.time);

    Bytes ud;
    size_t udl = 0;
    switch (AlphabetOf(spec.dcs)) {
    case Alphabet::Gsm7: {
        const Bytes septets = TextToSeptets(spec.text);
        udl = septets.size();
        ud = PackSeptets(septets);
        break;
    }
    case Alphabet::Ucs2:
        for (char32_t ch : FromUtf8(spec.text)) {
            const char16_t unit = ch > 0xFFFF ? u'?' : char16_t(ch);
            ud.push_back(uint8_t(unit >> 8));
            ud.push_back(uint8_t(unit));
        }
        udl = ud.size();
        break;
    case Alphabet::Data8:
        ud.assign(spec.text.begin(), spec.text.end());
        udl = ud.size();
        break;
    }
    if (ud.size() > 140)
        return {};
    pdu.push_back(uint8_t(udl));
    pdu.insert(pdu.end(), ud.begin(), ud.end());
    if (tpduLength)
        *tpduLength = pdu.size() - tpduStart;
    return pdu;
}

Bytes EncodeStatusReport(const StatusReportSpec& spec) {
    Bytes pdu;
    if (!PutServiceCentre(&pdu, spec.serviceCentre))
        return {};
    pdu.push_back(0x06); // SMS-STATUS-REPORT, no more messages waiting
    pdu.push_back(spec.messageRef);
    if (!PutAddress(&pdu, spec.recipient, -1))
        return {};
    PutTime(&pdu, spec.time);
    PutTime(&pdu, spec.discharged);
    pdu.push_back(spec.status);
    return pdu;
}

bool DecodeSubmit(const Bytes& pdu, size_t tpduLength, Submit* out, std::string* why) {
    *out = Submit{};
    Reader r{pdu};
    const uint8_t scLength = r.Octet();
    if (!r.ok || scLength > 11)
        return Fail(why, "bad service-centre length");
    if (scLength > 0) {
        const uint8_t type = r.Octet();
        const uint8_t* digits = r.Take(scLength - 1u);
        if (!r.ok)
            return Fail(why, "service-centre address cut short");
        out->serviceCentre = ReadSemiOctets(digits, scLength - 1u, 2 * (scLength - 1u), type);
    }
    if (pdu.size() - r.pos != tpduLength)
        return Fail(why, "length does not match the transfer unit");

    out->firstOctet = r.Octet();
    if (!r.ok || (out->firstOctet & 3) != 1)
        return Fail(why, "not an SMS-SUBMIT");
    out->validityFormat = out->firstOctet >> 3 & 3;
    out->messageRef = r.Octet();
    const uint8_t daLength = r.Octet();
    out->destinationType = r.Octet();
    if (!r.ok || daLength > 20)
        return Fail(why, "bad destination address");
    const size_t daOctets = (daLength + 1u) / 2;
    const uint8_t* da = r.Take(daOctets);
    if (!r.ok)
        return Fail(why, "destination address cut short");
    if (IsAlphanumericType(out->destinationType)) {
        Bytes septets;
        UnpackSeptets(da, daOctets, daLength * 4u / 7, &septets);
        out->destination = SeptetsToText(septets);
    } else {
        out->destination = ReadSemiOctets(da, daOctets, daLength, out->destinationType);
    }
    out->pid = r.Octet();
    out->dcs = r.Octet();
    static const size_t kValidityOctets[4] = {0, 7, 1, 7};
    const uint8_t* vp = r.Take(kValidityOctets[out->validityFormat]);
    out->udl = r.Octet();
    if (!r.ok)
        return Fail(why, "transfer unit cut short");
    out->validity.assign(vp, vp + kValidityOctets[out->validityFormat]);

    const Alphabet alphabet = AlphabetOf(out->dcs);
    const size_t udOctets = alphabet == Alphabet::Gsm7 ? (out->udl * 7u + 7) / 8 : out->udl;
    if (udOctets > 140 || (alphabet == Alphabet::Gsm7 && out->udl > 160))
        return Fail(why, "user data too long");
    if (pdu.size() - r.pos != udOctets)
        return Fail(why, "user data length does not match");
    out->userData.assign(pdu.begin() + ptrdiff_t(r.pos), pdu.end());
    if (alphabet == Alphabet::Gsm7) {
        Bytes septets;
        UnpackSeptets(out->userData.data(), out->userData.size(), out->udl, &septets);
        out->text = SeptetsToText(septets);
    }
    return true;
}

} // namespace gsmsim
