// The four CRCs of the link protocol. Tables are built at compile time. CRC-32/MPEG-2, which runs over
// every frame and encrypted block, folds 64 bytes a step with the CPU's carry-less multiply where it has
// one (chosen at run time) and otherwise takes eight bytes a step (slice-by-8); the others run over a few
// dozen bytes at most and stay one table lookup per byte.
#include "protocol/tmgsm.h"

#include <array>

#if defined(__x86_64__) || defined(__i386__)
#define CRC_HARDWARE 1
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace {

// Table of a CRC that shifts out the most significant bit first.
template <typename T> constexpr std::array<T, 256> MsbTable(T poly) {
    constexpr int shift = 8 * sizeof(T) - 8;
    constexpr T top = T(1) << (8 * sizeof(T) - 1);
    std::array<T, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        T crc = T(T(i) << shift);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & top) ? T(T(crc << 1) ^ poly) : T(crc << 1);
        table[i] = crc;
    }
    return table;
}

// Table of the reflected CRC-32, least significant bit first.
constexpr std::array<uint32_t, 256> LsbTable(uint32_t poly) {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t crc = i;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? (crc >> 1) ^ poly : crc >> 1;
        table[i] = crc;
    }
    return table;
}

constexpr auto crc8Table = MsbTable<uint8_t>(0x07);
constexpr auto crc16Table = MsbTable<uint16_t>(0x1021);
constexpr auto crc32MsbTable = MsbTable<uint32_t>(0x04C11DB7);
constexpr auto crc32Table = LsbTable(0xEDB88320);

// slices[k][i]: the CRC-32/MPEG-2 register contribution of byte i followed by k zero bytes.
constexpr std::array<std::array<uint32_t, 256>, 8> MsbSlices() {
    std::array<std::array<uint32_t, 256>, 8> slices{};
    slices[0] = crc32MsbTable;
    for (int k = 1; k < 8; ++k)
        for (unsigned i = 0; i < 256; ++i)
            slices[k][i] = slices[k - 1][i] << 8 ^ crc32MsbTable[slices[k - 1][i] >> 24];
    return slices;
}

constexpr auto crc32MsbSlices = MsbSlices();

template <typename T> T MsbRun(const std::array<T, 256>& table, T crc, const uint8_t* data, uint32_t len) {
    constexpr int shift = 8 * sizeof(T) - 8;
    for (uint32_t i = 0; i < len; ++i)
        crc = T(T(crc << 8) ^ table[uint8_t(crc >> shift) ^ data[i]]);
    return crc;
}

uint32_t Crc32MsbSlices(uint32_t crc, const uint8_t* data, uint32_t len) {
    const auto& t = crc32MsbSlices;
    for (; len >= 8; len -= 8, data += 8) {
        crc ^= Get_U32BE(data);
        crc = t[7][crc >> 24] ^ t[6][(crc >> 16) & 0xff] ^ t[5][(crc >> 8) & 0xff] ^ t[4][crc & 0xff] ^
              t[3][data[4]] ^ t[2][data[5]] ^ t[1][data[6]] ^ t[0][data[7]];
    }
    return MsbRun(crc32MsbTable, crc, data, len);
}

#ifdef CRC_HARDWARE
#define CRC_TARGET __attribute__((target("pclmul,ssse3")))

bool CpuHasClmul() {
    unsigned a, b, c, d;
    return __get_cpuid(1, &a, &b, &c, &d) && (c & bit_PCLMUL) && (c & bit_SSSE3);
}

bool& UseHardware() {
    static bool use = CpuHasClmul();
    return use;
}

// x^n mod P of CRC-32/MPEG-2.
constexpr uint64_t XPowMod(int n) {
    uint64_t r = 1;
    for (int i = 0; i < n; ++i) {
        r <<= 1;
        if (r & 0x100000000)
            r ^= 0x104C11DB7;
    }
    return r;
}

// 16 bytes as a polynomial of degree below 128, the first byte's top bit the highest term.
CRC_TARGET __m128i LoadPoly(const uint8_t* p) {
    const __m128i reverse = _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), reverse);
}

// x moved on by the distance whose constants k holds: high * (x^(d+64) mod P) + low * (x^d mod P).
CRC_TARGET __m128i Fold(__m128i x, __m128i k, __m128i next) {
    return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x11), _mm_clmulepi64_si128(x, k, 0x00)),
                         next);
}

// The register after len bytes (a multiple of 16, at least 64) from register crc. What is left of the
// folding, R, is congruent to the data with crc laid over its first four bytes; the register is then
// R * x^32 mod P, which the table code gives as the CRC of R's 16 bytes from register 0.
CRC_TARGET uint32_t Crc32MsbFolded(uint32_t crc, const uint8_t* data, uint32_t len) {
    __m128i x[4];
    for (int i = 0; i < 4; ++i)
        x[i] = LoadPoly(data + 16 * i);
    x[0] = _mm_xor_si128(x[0], _mm_set_epi32(int(crc), 0, 0, 0));
    data += 64;
    len -= 64;
    const __m128i by64 = _mm_set_epi64x(XPowMod(512 + 64), XPowMod(512));
    for (; len >= 64; len -= 64, data += 64)
        for (int i = 0; i < 4; ++i)
            x[i] = Fold(x[i], by64, LoadPoly(data + 16 * i));
    const __m128i by16 = _mm_set_epi64x(XPowMod(128 + 64), XPowMod(128));
    __m128i r = x[0];
    for (int i = 1; i < 4; ++i)
        r = Fold(r, by16, x[i]);
    for (; len >= 16; len -= 16, data += 16)
        r = Fold(r, by16, LoadPoly(data));
    uint8_t rest[16];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(rest),
                     _mm_shuffle_epi8(r, _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15)));
    return Crc32MsbSlices(0, rest, 16);
}
#endif

} // namespace

uint8_t Crc8(const uint8_t* data, uint16_t len) {
    return MsbRun<uint8_t>(crc8Table, 0, data, len);
}

uint16_t Crc16(const uint8_t* data, uint32_t len) {
    return MsbRun<uint16_t>(crc16Table, 0, data, len);
}

uint16_t Crc16_Update(uint16_t start, const uint8_t* data, uint32_t len) {
    // Deliberately 0 for an empty chunk, whatever the start value.
    if (len == 0)
        return 0;
    return MsbRun(crc16Table, start, data, len);
}

uint32_t Crc32_Msb(const uint8_t* data, uint32_t len) {
    uint32_t crc = 0xFFFFFFFF;
#ifdef CRC_HARDWARE
    if (len >= 64 && UseHardware()) {
        const uint32_t folded = len & ~15u;
        crc = Crc32MsbFolded(crc, data, folded);
        data += folded;
        len -= folded;
    }
#endif
    return Crc32MsbSlices(crc, data, len);
}

int Crc_UseHardware(int on) {
#ifdef CRC_HARDWARE
    UseHardware() = on && CpuHasClmul();
    return UseHardware();
#else
    (void)on;
    return 0;
#endif
}

uint32_t Crc32(const uint8_t* data, uint32_t len) {
    uint32_t crc = 0xFFFFFFFF;
    for (uint32_t i = 0; i < len; ++i)
        crc = (crc >> 8) ^ crc32Table[uint8_t(crc ^ data[i])];
    return crc ^ 0xFFFFFFFF;
}
