// The four CRCs of the link protocol, one table lookup per byte. Tables are built at compile time.
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
    return MsbRun<uint32_t>(crc32MsbTable, 0xFFFFFFFF, data, len);
}

uint32_t Crc32(const uint8_t* data, uint32_t len) {
    uint32_t crc = 0xFFFFFFFF;
    for (uint32_t i = 0; i < len; ++i)
        crc = (crc >> 8) ^ crc32Table[uint8_t(crc ^ data[i])];
    return crc ^ 0xFFFFFFFF;
}
