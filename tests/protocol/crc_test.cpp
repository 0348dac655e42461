#include "protocol/tmgsm.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
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

// A CRC by its catalogue parameters, computed one bit at a time as the definition reads.
struct CrcModel {
    int width;
    uint32_t poly; // not reflected
    uint32_t init;
    bool reflected;
    uint32_t xorOut;
};

uint32_t Reflect(uint32_t value, int width) {
    uint32_t out = 0;
    for (int i = 0; i < width; ++i)
        out |= ((value >> i) & 1) << (width - 1 - i);
    return out;
}

class BitwiseCrc {
public:
    explicit BitwiseCrc(const CrcModel& model) : m_(model), crc_(model.init) {}
    void Feed(uint8_t byte) {
        const uint32_t top = 1u << (m_.width - 1);
        const uint32_t in = m_.reflected ? Reflect(byte, 8) : byte;
        crc_ ^= in << (m_.width - 8);
        for (int bit = 0; bit < 8; ++bit)
            crc_ = ((crc_ & top) ? (crc_ << 1) ^ m_.poly : crc_ << 1) & Mask();
    }
    uint32_t Value() const { return (m_.reflected ? Reflect(crc_, m_.width) : crc_) ^ m_.xorOut; }

private:
    uint32_t Mask() const { return m_.width == 32 ? 0xFFFFFFFF : (1u << m_.width) - 1; }
    CrcModel m_;
    uint32_t crc_;
};

uint32_t Reference(const CrcModel& model, const Bytes& data) {
    BitwiseCrc crc(model);
    for (uint8_t byte : data)
        crc.Feed(byte);
    return crc.Value();
}

struct CrcCase {
    const char* name;
    uint32_t (*crc)(const uint8_t* data, size_t n);
    CrcModel model;
    uint32_t check;   // of "123456789"
    uint32_t empty;   // of no bytes
    bool residueZero; // data followed by its own big-endian CRC gives 0
};

uint32_t RunCrc8(const uint8_t* d, size_t n) {
    return Crc8(d, uint16_t(n));
}
uint32_t RunCrc16(const uint8_t* d, size_t n) {
    return Crc16(d, uint32_t(n));
}
uint32_t RunCrc32Msb(const uint8_t* d, size_t n) {
    return Crc32_Msb(d, uint32_t(n));
}
uint32_t RunCrc32(const uint8_t* d, size_t n) {
    return Crc32(d, uint32_t(n));
}

const CrcCase crcCases[] = {
    {"Crc8", RunCrc8, {8, 0x07, 0, false, 0}, 0xF4, 0, true},
    {"Crc16", RunCrc16, {16, 0x1021, 0, false, 0}, 0x31C3, 0, true},
    {"Crc32_Msb", RunCrc32Msb, {32, 0x04C11DB7, 0xFFFFFFFF, false, 0}, 0x0376E6E7, 0xFFFFFFFF, true},
    {"Crc32", RunCrc32, {32, 0x04C11DB7, 0xFFFFFFFF, true, 0xFFFFFFFF}, 0xCBF43926, 0, false},
};

// Runs the code under test on the table code or on the CPU's carry-less multiply, and back to the default.
class CrcPath {
public:
    explicit CrcPath(bool hardware) { Crc_UseHardware(hardware); }
    ~CrcPath() { Crc_UseHardware(1); }
    CrcPath(const CrcPath&) = delete;
    CrcPath& operator=(const CrcPath&) = delete;
};

bool CpuHasClmul() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("ssse3");
}

// The paths this machine has: the table code always, the instruction where the CPU has it.
std::vector<bool> Paths() {
    return CpuHasClmul() ? std::vector<bool>{false, true} : std::vector<bool>{false};
}

const char* PathName(bool hardware) {
    return hardware ? "carry-less multiply" : "tables";
}

TEST(CrcPathTest, UsesTheInstructionWhereTheCpuHasItAndTheTablesOnRequest) {
    EXPECT_EQ(Crc_UseHardware(1), CpuHasClmul() ? 1 : 0);
    EXPECT_EQ(Crc_UseHardware(0), 0);
    EXPECT_EQ(Crc_UseHardware(1), CpuHasClmul() ? 1 : 0);
}

void PrintTo(const CrcCase& c, std::ostream* os) {
    *os << c.name;
}

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
    for (bool hardware : Paths()) {
        CrcPath path(hardware);
        for (unsigned b = 0; b < 256; ++b) {
            const Bytes one{uint8_t(b)};
            EXPECT_EQ(Run(one), Reference(GetParam().model, one))
                << "byte " << b << ", " << PathName(hardware);
        }
        const Bytes longer = Pattern(4096);
        EXPECT_EQ(Run(longer), Reference(GetParam().model, longer)) << PathName(hardware);
    }
}

// Every length up to a few KB, so that each way a length splits into wide steps and a tail is met, from
// an even and an odd start address.
TEST_P(CrcTest, MatchesBitwiseReferenceOnRandomDataOfEveryLength) {
    constexpr size_t MaxLength = 4200;
    std::mt19937 random(20010728);
    Bytes data(MaxLength + 2);
    for (auto& b : data)
        b = uint8_t(random());
    for (bool hardware : Paths())
        for (size_t offset : {0, 1}) {
            CrcPath path(hardware);
            BitwiseCrc reference(GetParam().model);
            int failures = 0;
            for (size_t n = 0; n <= MaxLength && failures < 5; ++n) {
                const uint32_t expected = reference.Value();
                const uint32_t got = GetParam().crc(data.data() + offset, n);
                if (got != expected) {
                    ADD_FAILURE() << "length " << n << ", offset " << offset << ", " << PathName(hardware)
                                  << ": " << std::hex << got << " instead of " << expected;
                    ++failures;
                }
                reference.Feed(data[offset + n]);
            }
        }
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
                            Pattern(60),
                            Pattern(300)};
    for (bool hardware : Paths()) {
        CrcPath path(hardware);
        for (const Bytes& data : inputs) {
            Bytes framed = data;
            const uint32_t crc = Run(data);
            for (int shift = GetParam().model.width - 8; shift >= 0; shift -= 8)
                framed.push_back(uint8_t(crc >> shift));
            EXPECT_EQ(Run(framed), 0u) << "length " << data.size() << ", " << PathName(hardware);
        }
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
