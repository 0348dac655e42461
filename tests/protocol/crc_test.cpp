#include "protocol/tmgsm.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes FromText(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

// Deterministic filler so that long inputs reach every table entry.
Bytes Pattern(size_t n) {
    Bytes bytes(n);
    uint32_t x = 12345;
    for (auto& b : bytes) {
        x = x * 1103515245 + 12345;
        b = uint8_t(x >> 16);
    }
    return bytes;
}

// Bit-at-a-time reference of a CRC that shifts out the most significant bit first.
uint32_t MsbReference(int width, uint32_t poly, uint32_t init, const Bytes& data) {
    const uint32_t top = 1u << (width - 1);
    const uint32_t mask = width == 32 ? 0xFFFFFFFF : (1u << width) - 1;
    uint32_t crc = init;
    for (uint8_t byte : data) {
        crc ^= uint32_t(byte) << (width - 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = ((crc & top) ? (crc << 1) ^ poly : crc << 1) & mask;
    }
    return crc;
}

uint32_t Crc32Reference(const Bytes& data) {
    uint32_t crc = 0xFFFFFFFF;
    for (uint8_t byte : data) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320 : crc >> 1;
    }
    return ~crc;
}

struct CrcCase {
    const char* name;
    int width;
    uint32_t (*crc)(const uint8_t* data, size_t n);
    uint32_t (*reference)(const Bytes&);
    uint32_t check;   // of "123456789"
    uint32_t empty;   // of no bytes
    bool residueZero; // data followed by its own big-endian CRC gives 0
};

const CrcCase crcCases[] = {
    {"Crc8", 8, [](const uint8_t* d, size_t n) -> uint32_t { return Crc8(d, uint16_t(n)); },
     [](const Bytes& d) { return MsbReference(8, 0x07, 0, d); }, 0xF4, 0, true},
    {"Crc16", 16, [](const uint8_t* d, size_t n) -> uint32_t { return Crc16(d, uint32_t(n)); },
     [](const Bytes& d) { return MsbReference(16, 0x1021, 0, d); }, 0x31C3, 0, true},
    {"Crc32_Msb", 32, [](const uint8_t* d, size_t n) { return Crc32_Msb(d, uint32_t(n)); },
     [](const Bytes& d) { return MsbReference(32, 0x04C11DB7, 0xFFFFFFFF, d); }, 0x0376E6E7, 0xFFFFFFFF,
     true},
    {"Crc32", 32, [](const uint8_t* d, size_t n) { return Crc32(d, uint32_t(n)); }, Crc32Reference,
     0xCBF43926, 0, false},
};

class CrcTest : public testing::TestWithParam<CrcCase> {
protected:
    uint32_t Run(const Bytes& data) const { return GetParam().crc(data.data(), data.size()); }
};

TEST_P(CrcTest, CheckValueOf123456789) {
    EXPECT_EQ(Run(FromText("123456789")), GetParam().check);
}

TEST_P(CrcTest, EmptyInput) {
    const uint8_t byte = 0xA5;
    EXPECT_EQ(GetParam().crc(nullptr, 0), GetParam().empty);
    EXPECT_EQ(GetParam().crc(&byte, 0), GetParam().empty);
}

TEST_P(CrcTest, MatchesBitwiseReference) {
    for (unsigned b = 0; b < 256; ++b) {
        const Bytes one{uint8_t(b)};
        EXPECT_EQ(Run(one), GetParam().reference(one)) << "byte " << b;
    }
    const Bytes longer = Pattern(4096);
    EXPECT_EQ(Run(longer), GetParam().reference(longer));
}

// The receiving side's check, for the CRCs that are checked that way.
class CrcReceiveTest : public CrcTest {};

TEST_P(CrcReceiveTest, DataFollowedByItsCrcGivesZero) {
    const Bytes inputs[] = {{},
                            FromText("A"),
                            FromText("123456789"),
                            FromText("The quick brown fox jumps over the lazy dog"),
                            Bytes{0x00, 0x00, 0x00},
                            Bytes{0xFF, 0x80, 0x01, 0x7E},
                            Pattern(300)};
    for (const Bytes& data : inputs) {
        Bytes framed = data;
        const uint32_t crc = Run(data);
        for (int shift = GetParam().width - 8; shift >= 0; shift -= 8)
            framed.push_back(uint8_t(crc >> shift));
        EXPECT_EQ(Run(framed), 0u) << "length " << data.size();
    }
}

std::vector<CrcCase> CheckedOnReceipt() {
    std::vector<CrcCase> cases;
    for (const CrcCase& c : crcCases)
        if (c.residueZero)
            cases.push_back(c);
    return cases;
}

std::string CaseName(const testing::TestParamInfo<CrcCase>& info) {
    return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(Crcs, CrcTest, testing::ValuesIn(crcCases), CaseName);
INSTANTIATE_TEST_SUITE_P(Crcs, CrcReceiveTest, testing::ValuesIn(CheckedOnReceipt()), CaseName);

TEST(Crc16UpdateTest, ContinuingEqualsOneShot) {
    const Bytes data = FromText("123456789");
    for (uint32_t split = 1; split < data.size(); ++split) {
        const uint16_t head = Crc16(data.data(), split);
        EXPECT_EQ(Crc16_Update(head, data.data() + split, uint32_t(data.size()) - split), 0x31C3) << split;
    }
    const Bytes longer = Pattern(1000);
    uint16_t crc = 0;
    for (size_t at = 0; at < longer.size(); at += 77) {
        const size_t n = std::min<size_t>(77, longer.size() - at);
        crc = Crc16_Update(crc, longer.data() + at, uint32_t(n));
    }
    EXPECT_EQ(crc, Crc16(longer.data(), uint32_t(longer.size())));
}

TEST(Crc16UpdateTest, FromZeroEqualsCrc16) {
    const Bytes data = FromText("123456789");
    EXPECT_EQ(Crc16_Update(0, data.data(), uint32_t(data.size())), Crc16(data.data(), uint32_t(data.size())));
}

TEST(Crc16UpdateTest, EmptyInputGivesZeroWhateverTheStart) {
    const uint8_t byte = 0x55;
    for (uint16_t start : {0x0000, 0x0001, 0x31C3, 0xFFFF}) {
        EXPECT_EQ(Crc16_Update(start, nullptr, 0), 0) << start;
        EXPECT_EQ(Crc16_Update(start, &byte, 0), 0) << start;
    }
}

} // namespace
