// Time base, byte helpers and the two text encodings of binary data.
#include "protocol/tmgsm.h"

#include <cstring>

namespace {

// Day number of the library epoch 2001-07-28, counted like DayNumber().
constexpr int64_t EpochDay = 731000;

// Days since 1 March of year 0 (proleptic Gregorian), the day of the month counted from 1.
int64_t DayNumber(int64_t year, int month, int day) {
    int m = month > 2 ? month - 3 : month + 9;
    if (month <= 2)
        --year;
    return 365 * year + year / 4 - year / 100 + year / 400 + (153 * m + 2) / 5 + day;
}

int HexValue(uint8_t c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

int Txt64Value(uint8_t c) {
    const char* p = c ? static_cast<const char*>(memchr(Txt64_Alphabet, c, 64)) : nullptr;
    return p ? static_cast<int>(p - Txt64_Alphabet) : -1;
}

const char HexDigits[] = "0123456789ABCDEF";

} // namespace

const char Txt64_Alphabet[65] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz+=";

uint32_t Tm_DateToSecs(const TmDate* date) {
    int64_t days = DayNumber(date->year, date->month, date->day) - EpochDay;
    int64_t secs = days * 86400 + date->hour * 3600 + date->minute * 60 + date->second;
    return static_cast<uint32_t>(secs);
}

void Tm_SecsToDate(uint32_t secs, TmDate* date) {
    // Inverse of DayNumber, in 400-, 100- and 4-year cycles counted from 1 March of year 0.
    int64_t days = secs / 86400 + EpochDay - 1;
    uint32_t time = secs % 86400;
    int64_t era = days / 146097;
    int64_t dayOfEra = days - era * 146097;
    int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    int64_t m = (5 * dayOfYear + 2) / 153;
    int month = static_cast<int>(m < 10 ? m + 3 : m - 9);
    int64_t year = era * 400 + yearOfEra + (month <= 2 ? 1 : 0);
    date->year = static_cast<uint16_t>(year);
    date->month = static_cast<uint8_t>(month);
    date->day = static_cast<uint8_t>(dayOfYear - (153 * m + 2) / 5 + 1);
    date->hour = static_cast<uint8_t>(time / 3600);
    date->minute = static_cast<uint8_t>(time / 60 % 60);
    date->second = static_cast<uint8_t>(time % 60);
}

uint8_t* Mem_Copy(uint8_t* dst, const uint8_t* src, size_t n) {
    if (!dst || !src || n == 0)
        return dst;
    memmove(dst, src, n);
    return dst + n;
}

void Mem_Set(uint8_t* dst, uint8_t value, size_t n) {
    if (dst && n)
        memset(dst, value, n);
}

void Mem_Zero(uint8_t* dst, size_t n) {
    Mem_Set(dst, 0, n);
}

int Mem_Equal(const uint8_t* a, const uint8_t* b, size_t n) {
    if (!a || !b)
        return 0;
    return memcmp(a, b, n) == 0 ? 1 : 0;
}

uint16_t Str_Len16(const char* text) {
    return text ? static_cast<uint16_t>(strlen(text)) : 0;
}

size_t Str_LenMax(const char* text, size_t limit) {
    return text ? strnlen(text, limit) : 0;
}

size_t Str_CopyNoNul(char* dst, const char* text) {
    size_t n = Str_LenMax(text, SIZE_MAX);
    if (dst && n)
        memcpy(dst, text, n);
    return n;
}

uint16_t Buf_Append(ByteBuf* buf, const uint8_t* bytes, uint16_t n) {
    if (!bytes || n == 0 || buf->length >= buf->capacity)
        return 0;
    uint16_t room = buf->capacity - buf->length;
    uint16_t taken = n < room ? n : room;
    memcpy(buf->data + buf->length, bytes, taken);
    buf->length += taken;
    return taken;
}

uint16_t Buf_Consume(ByteBuf* buf, uint16_t n) {
    if (n == 0 || n > buf->length || n > buf->capacity)
        return buf->length;
    buf->length -= n;
    memmove(buf->data, buf->data + n, buf->length);
    if (buf->length < buf->capacity)
        buf->data[buf->length] = 0;
    return buf->length;
}

uint16_t Buf_Remove(uint8_t* bytes, uint16_t capacity, uint16_t* length, uint16_t offset, uint16_t n) {
    if (offset > *length || n == 0 || n > capacity || *length > capacity)
        return 0;
    uint16_t after = *length - offset;
    uint16_t removed = n < after ? n : after;
    memmove(bytes + offset, bytes + offset + removed, after - removed);
    *length -= removed;
    memset(bytes + *length, 0, capacity - *length);
    return removed;
}

char* Hex_Encode(char* out, const uint8_t* bytes, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        *out++ = HexDigits[bytes[i] >> 4];
        *out++ = HexDigits[bytes[i] & 15];
    }
    return out;
}

size_t Hex_EncodeInPlace(uint8_t* buf, size_t n, size_t capacity) {
    if (2 * n > capacity)
        return 0;
    memmove(buf + n, buf, n);
    Hex_Encode(reinterpret_cast<char*>(buf), buf + n, n);
    return 2 * n;
}

uint8_t Hex_DecodeInPlace(uint8_t* buf, size_t n) {
    // The count is a byte: decoding stops at 255 bytes rather than wrap.
    size_t count = 0;
    for (size_t i = 0; i + 2 <= n && count < 255; i += 2) {
        int high = HexValue(buf[i]);
        int low = HexValue(buf[i + 1]);
        if (high < 0 || low < 0)
            break;
        buf[count++] = static_cast<uint8_t>(high << 4 | low);
    }
    return static_cast<uint8_t>(count);
}

size_t Txt64_Encode(uint8_t* buf, size_t n, size_t capacity) {
    size_t groups = (n + 2) / 3;
    if (n < 1 || n > 150 || groups * 4 > capacity)
        return 0;
    // Backwards, so that every group is read before its output overwrites it.
    for (size_t g = groups; g-- > 0;) {
        const uint8_t* in = buf + g * 3;
        uint32_t bits = uint32_t(in[0]) << 16 | uint32_t(in[1]) << 8 | in[2];
        uint8_t* out = buf + g * 4;
        for (int k = 3; k >= 0; --k) {
            out[k] = static_cast<uint8_t>(Txt64_Alphabet[bits & 63]);
            bits >>= 6;
        }
    }
    return groups * 4;
}

uint8_t Txt64_Decode(uint8_t* buf, size_t n) {
    // 85 groups give 255 bytes, the most the byte-sized count can hold.
    size_t count = 0;
    for (size_t i = 0; i + 4 <= n && count + 3 <= 255; i += 4) {
        uint32_t bits = 0;
        for (size_t k = 0; k < 4; ++k) {
            int v = Txt64Value(buf[i + k]);
            if (v < 0)
                return static_cast<uint8_t>(count);
            bits = bits << 6 | static_cast<uint32_t>(v);
        }
        buf[count++] = static_cast<uint8_t>(bits >> 16);
        buf[count++] = static_cast<uint8_t>(bits >> 8);
        buf[count++] = static_cast<uint8_t>(bits);
    }
    return static_cast<uint8_t>(count);
}
