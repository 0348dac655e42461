// The four CRCs of the link protocol. Tables are built at compile time. CRC-32/MPEG-2, which runs over
// every frame and encrypted block, takes eight bytes a step (slice-by-8); the others run over a few dozen
// bytes at most and stay one table lookup per byte.
#include "protocol/tmgsm.h"

#include <array>

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
    const auto& t = crc32MsbSlices;
    uint32_t crc = 0xFFFFFFFF;
    for (; len >= 8; len -= 8, data += 8) {
        crc ^= Get_U32BE(data);
        crc = t[7][crc >> 24] ^ t[6][(crc >> 16) & 0xff] ^ t[5][(crc >> 8) & 0xff] ^ t[4][crc & 0xff] ^
              t[3][data[4]] ^ t[2][data[5]] ^ t[1][data[6]] ^ t[0][data[7]];
    }
    return MsbRun(crc32MsbTable, crc, data, len);
}

uint32_t Crc32(const uint8_t* data, uint32_t len) {
    uint32_t crc = 0xFFFFFFFF;
    for (uint32_t i = 0; i < len; ++i)
        crc = (crc >> 8) ^ crc32Table[uint8_t(crc ^ data[i])];
    return crc ^ 0xFFFFFFFF;
}
