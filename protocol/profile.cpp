// Profile record: the wire layouts of its four parts and the codecs of its text fields.
#include "protocol/tmgsm.h"

#include <cstdio>

namespace {

// Where a run of configuration bits travels in profile 2: `width` bits of the byte, starting at
// `cfgBit`, go to word `word` (1-4) starting at `wordBit`.
struct CfgBits {
    uint8_t ObjProfile::*field;
    uint8_t cfgBit;
    uint8_t word;
    uint8_t wordBit;
    uint8_t width;
};

constexpr CfgBits kCfgBits[] = {
    {&ObjProfile::Cfg2, 6, 1, 0, 2},   {&ObjProfile::Cfg3, 0, 1, 2, 2},   {&ObjProfile::Cfg3, 2, 1, 4, 2},
    {&ObjProfile::Cfg3, 4, 1, 6, 3},   {&ObjProfile::Cfg4, 0, 1, 9, 3},   {&ObjProfile::Cfg4, 3, 1, 12, 2},
    {&ObjProfile::Cfg4, 5, 1, 14, 3},  {&ObjProfile::Cfg6, 0, 1, 17, 8},  {&ObjProfile::Cfg5, 0, 1, 25, 1},
    {&ObjProfile::Cfg2, 5, 1, 26, 1},

    {&ObjProfile::Cfg7, 0, 2, 0, 8},   {&ObjProfile::Cfg8, 0, 2, 8, 8},   {&ObjProfile::Cfg9, 0, 2, 16, 8},
    {&ObjProfile::Cfg5, 3, 2, 28, 1},  {&ObjProfile::Cfg5, 1, 2, 29, 1},  {&ObjProfile::Cfg5, 2, 2, 30, 1},
    {&ObjProfile::Cfg5, 4, 2, 31, 1},

    {&ObjProfile::Cfg10, 0, 3, 0, 1},  {&ObjProfile::Cfg10, 1, 3, 1, 1},  {&ObjProfile::Cfg10, 2, 3, 8, 1},
    {&ObjProfile::Cfg10, 3, 3, 2, 2},  {&ObjProfile::Cfg10, 5, 3, 4, 2},  {&ObjProfile::Cfg11, 0, 3, 6, 2},
    {&ObjProfile::Cfg11, 2, 3, 15, 1}, {&ObjProfile::Cfg11, 3, 3, 9, 2},  {&ObjProfile::Cfg11, 5, 3, 11, 2},
    {&ObjProfile::Cfg12, 0, 3, 13, 2}, {&ObjProfile::Cfg2, 0, 3, 16, 2},  {&ObjProfile::Cfg2, 2, 3, 18, 3},
    {&ObjProfile::Cfg0, 0, 3, 21, 3},  {&ObjProfile::Cfg0, 3, 3, 24, 3},  {&ObjProfile::Cfg1, 0, 3, 27, 5},

    {&ObjProfile::Cfg1, 5, 4, 0, 1},   {&ObjProfile::Cfg12, 2, 4, 1, 1},  {&ObjProfile::Cfg12, 3, 4, 2, 1},
    {&ObjProfile::Cfg12, 4, 4, 3, 1},  {&ObjProfile::Cfg14, 0, 4, 4, 1},  {&ObjProfile::Cfg13, 0, 4, 5, 8},
    {&ObjProfile::Cfg16, 0, 4, 13, 1}, {&ObjProfile::Cfg15, 0, 4, 14, 8}, {&ObjProfile::Cfg16, 1, 4, 22, 1},
    {&ObjProfile::Cfg16, 2, 4, 23, 1}, {&ObjProfile::Cfg16, 3, 4, 24, 1}, {&ObjProfile::Cfg16, 4, 4, 25, 1},
    {&ObjProfile::Cfg16, 5, 4, 26, 1},
};

constexpr int kProf2Words = 6; // words 5 and 6 travel as 0

void PackCfg(const ObjProfile* prof, uint32_t words[kProf2Words]) {
    for (int i = 0; i < kProf2Words; ++i) {
        words[i] = 0;
    }
    for (const CfgBits& b : kCfgBits) {
        uint32_t mask = (1u << b.width) - 1;
        words[b.word - 1] |= (uint32_t{prof->*b.field} >> b.cfgBit & mask) << b.wordBit;
    }
}

void UnpackCfg(const uint32_t words[kProf2Words], ObjProfile* prof) {
    for (const CfgBits& b : kCfgBits) {
        uint32_t mask = (1u << b.width) - 1;
        uint32_t bits = words[b.word - 1] >> b.wordBit & mask;
        uint8_t& cfg = prof->*b.field;
        cfg = static_cast<uint8_t>((cfg & ~(mask << b.cfgBit)) | bits << b.cfgBit);
    }
}

const uint8_t* Bytes(const void* p) {
    return static_cast<const uint8_t*>(p);
}
uint8_t* Bytes(void* p) {
    return static_cast<uint8_t*>(p);
}

uint8_t* EncodeProfile1(uint8_t* out, const ObjProfile* prof) {
    out = Put_U32BE(out, prof->ServerIp);
    out = Put_U16BE(out, prof->ServerPort);
    out = Put_U16BE(out, prof->Session);
    out = Mem_Copy(out, Bytes(prof->Apn), sizeof prof->Apn);
    out = Mem_Copy(out, Bytes(prof->User), sizeof prof->User);
    out = Mem_Copy(out, Bytes(prof->GprsPassword), sizeof prof->GprsPassword);
    out = Put_U32BE(out, prof->ExtraWord);
    return Mem_Copy(out, prof->ConnectPhone, sizeof prof->ConnectPhone);
}

uint8_t* EncodeProfile2(uint8_t* out, const ObjProfile* prof) {
    uint32_t words[kProf2Words];
    PackCfg(prof, words);
    out = Mem_Copy(out, prof->SmsCentre, sizeof prof->SmsCentre);
    out = Mem_Copy(out, prof->SmsPhone, sizeof prof->SmsPhone);
    for (uint32_t word : words) {
        out = Put_U32BE(out, word);
    }
    out = Put_U16BE(out, prof->Profile2Word);
    *out++ = prof->Profile2Byte;
    return out;
}

const uint8_t* DecodeProfile1(const uint8_t* in, ObjProfile* prof) {
    prof->ServerIp = Get_U32BE(in);
    prof->ServerPort = Get_U16BE(in + 4);
    prof->Session = Get_U16BE(in + 6);
    in += 8;
    Mem_Copy(Bytes(prof->Apn), in, sizeof prof->Apn);
    in += sizeof prof->Apn;
    Mem_Copy(Bytes(prof->User), in, sizeof prof->User);
    in += sizeof prof->User;
    Mem_Copy(Bytes(prof->GprsPassword), in, sizeof prof->GprsPassword);
    in += sizeof prof->GprsPassword;
    prof->ExtraWord = Get_U32BE(in);
    in += 4;
    Mem_Copy(prof->ConnectPhone, in, sizeof prof->ConnectPhone);
    return in + sizeof prof->ConnectPhone;
}

const uint8_t* DecodeProfile2(const uint8_t* in, ObjProfile* prof) {
    Mem_Copy(prof->SmsCentre, in, sizeof prof->SmsCentre);
    in += sizeof prof->SmsCentre;
    Mem_Copy(prof->SmsPhone, in, sizeof prof->SmsPhone);
    in += sizeof prof->SmsPhone;
    uint32_t words[kProf2Words];
    for (uint32_t& word : words) {
        word = Get_U32BE(in);
        in += 4;
    }
    UnpackCfg(words, prof);
    prof->Profile2Word = Get_U16BE(in);
    prof->Profile2Byte = in[2];
    return in + 3;
}

constexpr size_t kInSmsTextSize = sizeof ObjProfile::InSmsText[0];
constexpr int kInSmsTexts = sizeof ObjProfile::InSmsText / kInSmsTextSize;
constexpr uint16_t kInSmsMaskBits = 0x0FFF;

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// One group of a dotted address: skips spaces, stops at '.', a control character or the end.
// Returns the position of the character that ended the group, null when the group is invalid.
const char* ReadIpGroup(const char* p, uint32_t* value) {
    int digits = 0;
    *value = 0;
    for (;; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c == ' ') {
            continue;
        }
        if (c == '.' || c < 32) {
            break;
        }
        if (!IsDigit(static_cast<char>(c)) || ++digits > 3) {
            return nullptr;
        }
        *value = *value * 10 + (c - '0');
    }
    return digits > 0 && *value < 256 ? p : nullptr;
}

constexpr int kBcdBytes = 8;
constexpr int kBcdNibbles = 2 * kBcdBytes;
constexpr int kMinPhoneDigits = 7;

int Nibble(const uint8_t* bcd, int i) {
    return i % 2 == 0 ? bcd[i / 2] >> 4 : bcd[i / 2] & 0x0F;
}

struct StrField {
    size_t offset;
    size_t size;
    size_t minLength;
};

bool FindStrField(int field, StrField* f) {
    switch (field) {
    case PROF_STR_APN:
        *f = {offsetof(ObjProfile, Apn), sizeof ObjProfile::Apn, 1};
        return true;
    case PROF_STR_USER:
        *f = {offsetof(ObjProfile, User), sizeof ObjProfile::User, 0};
        return true;
    case PROF_STR_PASSWORD:
        *f = {offsetof(ObjProfile, GprsPassword), sizeof ObjProfile::GprsPassword, 0};
        return true;
    default:
        return false;
    }
}

} // namespace

uint8_t* Prof_Encode(uint8_t* out, int part, const ObjProfile* prof) {
    return part == 0 ? EncodeProfile1(out, prof) : EncodeProfile2(out, prof);
}

const uint8_t* Prof_Decode(const uint8_t* in, size_t avail, ObjProfile* prof, int code) {
    if (code == 2 && avail >= PROF1_SIZE) {
        return DecodeProfile1(in, prof);
    }
    if (code == 3 && avail >= PROF2_SIZE) {
        return DecodeProfile2(in, prof);
    }
    return nullptr;
}

// The poll block is the four poll fields as they lie in the record.
uint8_t* Poll_Encode(uint8_t* out, const ObjProfile* prof) {
    return Mem_Copy(out, Bytes(prof) + offsetof(ObjProfile, PollHead), POLL_SIZE);
}

const uint8_t* Poll_Decode(const uint8_t* in, size_t avail, ObjProfile* prof) {
    if (avail < POLL_SIZE) {
        return nullptr;
    }
    Mem_Copy(Bytes(prof) + offsetof(ObjProfile, PollHead), in, POLL_SIZE);
    return in + POLL_SIZE;
}

static_assert(offsetof(ObjProfile, PollText) + sizeof ObjProfile::PollText - offsetof(ObjProfile, PollHead) ==
              POLL_SIZE);

size_t InSms_Size() {
    return INSMS_SIZE;
}

uint8_t* InSms_Encode(uint8_t* out, ObjProfile* prof) {
    out = Put_U16BE(out, 0);
    out = Put_U16BE(out, (prof->InSmsMask[1] << 8 | prof->InSmsMask[0]) & kInSmsMaskBits);
    out = Mem_Copy(out, prof->InSmsNum1, sizeof prof->InSmsNum1);
    out = Mem_Copy(out, prof->InSmsNum2, sizeof prof->InSmsNum2);
    for (char* text : prof->InSmsText) {
        text[kInSmsTextSize - 1] = 0;
        out = Mem_Copy(out, Bytes(text), kInSmsTextSize);
    }
    return Mem_Copy(out, prof->InSmsTail, sizeof prof->InSmsTail);
}

const uint8_t* HCP_InSmsStr(const uint8_t* in, size_t avail, ObjProfile* prof) {
    if (avail < INSMS_SIZE) {
        return nullptr;
    }
    uint16_t mask = Get_U16BE(in + 2);
    prof->InSmsMask[0] = static_cast<uint8_t>(mask);
    prof->InSmsMask[1] = static_cast<uint8_t>((prof->InSmsMask[1] & 0xF0) | (mask >> 8 & 0x0F));
    in += 4;
    Mem_Copy(prof->InSmsNum1, in, sizeof prof->InSmsNum1);
    in += sizeof prof->InSmsNum1;
    Mem_Copy(prof->InSmsNum2, in, sizeof prof->InSmsNum2);
    in += sizeof prof->InSmsNum2;
    for (char* text : prof->InSmsText) {
        Mem_Copy(Bytes(text), in, kInSmsTextSize - 1);
        text[kInSmsTextSize - 1] = 0;
        in += kInSmsTextSize;
    }
    Mem_Copy(prof->InSmsTail, in, sizeof prof->InSmsTail);
    return in + sizeof prof->InSmsTail;
}

static_assert(4 + 2 * kBcdBytes + kInSmsTexts * kInSmsTextSize + sizeof ObjProfile::InSmsTail == INSMS_SIZE);

int Ip_FromStr(uint32_t* out, const char* text) {
    if (text == nullptr) {
        return 0;
    }
    size_t length = Str_LenMax(text, 16);
    if (length < 7 || length > 15) {
        return 0;
    }
    uint32_t value = 0;
    const char* p = text;
    for (int group = 0; group < 4; ++group) {
        uint32_t part;
        p = ReadIpGroup(p, &part);
        if (p == nullptr) {
            return 0;
        }
        value = value << 8 | part;
        if (*p == '.') {
            ++p; // a control character is not passed: it ends the text like the NUL
        }
    }
    if (out != nullptr) {
        *out = value;
    }
    return 1;
}

void Ip_ToStr(uint32_t value, char* out) {
    std::snprintf(out, 16, "%u.%u.%u.%u", value >> 24, value >> 16 & 0xFF, value >> 8 & 0xFF, value & 0xFF);
}

int Digits_ToBcd(const char* text, uint8_t* out) {
    if (text == nullptr) {
        return 0;
    }
    size_t length = Str_LenMax(text, kBcdNibbles + 1);
    if (length == 0) {
        if (out != nullptr) {
            Mem_Set(out, 0xFF, kBcdBytes);
        }
        return 1;
    }
    if (length < kMinPhoneDigits || length > kBcdNibbles) {
        return 0;
    }
    size_t firstNonZero = length;
    for (size_t i = 0; i < length; ++i) {
        if (!IsDigit(text[i])) {
            return 0;
        }
        if (text[i] != '0' && firstNonZero == length) {
            firstNonZero = i;
        }
    }
    if (length - firstNonZero < kMinPhoneDigits) {
        return 0;
    }
    if (out != nullptr) {
        uint8_t nibbles[kBcdNibbles];
        size_t lead = kBcdNibbles - length;
        for (size_t i = 0; i < kBcdNibbles; ++i) {
            nibbles[i] = i < lead ? 0x0F : static_cast<uint8_t>(text[i - lead] - '0');
        }
        for (int i = 0; i < kBcdBytes; ++i) {
            out[i] = static_cast<uint8_t>(nibbles[2 * i] << 4 | nibbles[2 * i + 1]);
        }
    }
    return 1;
}

int Bcd_Check(const uint8_t* bcd) {
    int digits = 0;
    bool nonZero = false;
    for (int i = 0; i < kBcdNibbles; ++i) {
        int n = Nibble(bcd, i);
        if (n == 0x0F && digits == 0) {
            continue;
        }
        if (n > 9) {
            return 0;
        }
        ++digits;
        nonZero = nonZero || n != 0;
    }
    return digits >= kMinPhoneDigits && nonZero ? 1 : 0;
}

void Bcd_ToDigits(char* out, const uint8_t* bcd) {
    if (Bcd_Check(bcd) == 0) {
        *out = '\0';
        return;
    }
    for (int i = 0; i < kBcdNibbles; ++i) {
        int n = Nibble(bcd, i);
        if (n != 0x0F) {
            *out++ = static_cast<char>('0' + n);
        }
    }
    *out = '\0';
}

int Prof_SetStr(int field, ObjProfile* prof, const char* text) {
    StrField f;
    if (!FindStrField(field, &f) || text == nullptr) {
        return 0;
    }
    size_t length = Str_LenMax(text, f.size + 1);
    if (length < f.minLength || length > f.size) {
        return 0;
    }
    if (prof != nullptr) {
        uint8_t* dst = Bytes(prof) + f.offset;
        Mem_Zero(dst, f.size);
        Mem_Copy(dst, Bytes(text), length);
    }
    return 1;
}

void Prof_GetStr(int field, const ObjProfile* prof, char* out) {
    StrField f;
    if (!FindStrField(field, &f)) {
        *out = '\0';
        return;
    }
    const char* src = reinterpret_cast<const char*>(prof) + f.offset;
    size_t length = Str_LenMax(src, f.size);
    Mem_Copy(Bytes(out), Bytes(src), length);
    out[length] = '\0';
}
