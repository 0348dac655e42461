#include "protocol/tmgsm.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes FromHex(const std::string& hex) {
    Bytes bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(uint8_t(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

// Runs the code under test on the table code or on the CPU's AES instructions, and back to the default.
class AesPath {
public:
    explicit AesPath(bool hardware) { Aes_UseHardware(hardware); }
    ~AesPath() { Aes_UseHardware(1); }
    AesPath(const AesPath&) = delete;
    AesPath& operator=(const AesPath&) = delete;
};

bool CpuHasAes() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("aes") && __builtin_cpu_supports("ssse3");
}

// The paths this machine has: the table code always, the instructions where the CPU has them.
std::vector<bool> Paths() {
    return CpuHasAes() ? std::vector<bool>{false, true} : std::vector<bool>{false};
}

const char* PathName(bool hardware) {
    return hardware ? "instructions" : "tables";
}

TEST(AesPathTest, UsesTheInstructionsWhereTheCpuHasThemAndTheTablesOnRequest) {
    EXPECT_EQ(Aes_UseHardware(1), CpuHasAes() ? 1 : 0);
    EXPECT_EQ(Aes_UseHardware(0), 0);
    EXPECT_EQ(Aes_UseHardware(1), CpuHasAes() ? 1 : 0);
}

struct BlockCase {
    const char* name;
    const char* key;
    int bits;
    int rounds;
    const char* plain;
    const char* cipher;
};

// FIPS-197 appendix B and appendix C.1 to C.3.
const BlockCase fips197Blocks[] = {
    {"B_128", "2b7e151628aed2a6abf7158809cf4f3c", 128, 10, "3243f6a8885a308d313198a2e0370734",
     "3925841d02dc09fbdc118597196a0b32"},
    {"C1_128", "000102030405060708090a0b0c0d0e0f", 128, 10, "00112233445566778899aabbccddeeff",
     "69c4e0d86a7b0430d8cdb78070b4c55a"},
    {"C2_192", "000102030405060708090a0b0c0d0e0f1011121314151617", 192, 12,
     "00112233445566778899aabbccddeeff", "dda97ca4864cdfe06eaf70a0ec0d7191"},
    {"C3_256", "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f", 256, 14,
     "00112233445566778899aabbccddeeff", "8ea2b7ca516745bfeafc49904b496089"},
};

class AesBlockTest : public testing::TestWithParam<BlockCase> {
protected:
    void Key(AesCtx* ctx) {
        const Bytes key = FromHex(GetParam().key);
        ASSERT_EQ(key.size() * 8, size_t(GetParam().bits));
        ASSERT_EQ(Aes_SetKey(ctx, key.data(), GetParam().bits), 0);
    }
};

TEST_P(AesBlockTest, SetsTheRoundCount) {
    for (bool hardware : Paths()) {
        AesPath path(hardware);
        AesCtx ctx;
        Key(&ctx);
        EXPECT_EQ(ctx.rounds, GetParam().rounds) << PathName(hardware);
    }
}

void EncryptOne(const AesCtx* ctx, const uint8_t* in, uint8_t* out) {
    Aes_EncryptBlocks(ctx, in, out, 1);
}

void DecryptOne(const AesCtx* ctx, const uint8_t* in, uint8_t* out) {
    Aes_DecryptBlocks(ctx, in, out, 1);
}

TEST_P(AesBlockTest, BothDirectionsInPlaceAndOutOfPlace) {
    using Cipher = void (*)(const AesCtx*, const uint8_t*, uint8_t*);
    const struct {
        const char* direction;
        Cipher cipher;
        Bytes from, to;
    } directions[] = {
        {"encrypt", Aes_Encrypt, FromHex(GetParam().plain), FromHex(GetParam().cipher)},
        {"decrypt", Aes_Decrypt, FromHex(GetParam().cipher), FromHex(GetParam().plain)},
        {"encrypt blocks", EncryptOne, FromHex(GetParam().plain), FromHex(GetParam().cipher)},
        {"decrypt blocks", DecryptOne, FromHex(GetParam().cipher), FromHex(GetParam().plain)},
    };
    for (bool hardware : Paths()) {
        AesPath path(hardware);
        AesCtx ctx;
        Key(&ctx);
        for (const auto& d : directions) {
            uint8_t out[16];
            d.cipher(&ctx, d.from.data(), out);
            EXPECT_EQ(Bytes(out, out + 16), d.to) << d.direction << " out of place, " << PathName(hardware);
            Bytes block = d.from;
            d.cipher(&ctx, block.data(), block.data());
            EXPECT_EQ(block, d.to) << d.direction << " in place, " << PathName(hardware);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Fips197, AesBlockTest, testing::ValuesIn(fips197Blocks),
                         [](const testing::TestParamInfo<BlockCase>& info) {
                             return std::string(info.param.name);
                         });

struct ExpansionCase {
    const char* key;
    int bits;
    int index;
    uint32_t word;
};

// Words of the FIPS-197 appendix A key expansions.
const ExpansionCase fips197Expansions[] = {
    {"2b7e151628aed2a6abf7158809cf4f3c", 128, 0, 0x2b7e1516},
    {"2b7e151628aed2a6abf7158809cf4f3c", 128, 4, 0xa0fafe17},
    {"2b7e151628aed2a6abf7158809cf4f3c", 128, 43, 0xb6630ca6},
    {"8e73b0f7da0e6452c810f32b809079e562f8ead2522c6b7b", 192, 51, 0x01002202},
    {"603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4", 256, 59, 0x706c631e},
};

TEST(AesSetKeyTest, ExpandsKeysAsFips197) {
    for (bool hardware : Paths()) {
        AesPath path(hardware);
        for (const ExpansionCase& c : fips197Expansions) {
            AesCtx ctx;
            ASSERT_EQ(Aes_SetKey(&ctx, FromHex(c.key).data(), c.bits), 0);
            EXPECT_EQ(ctx.encKeys[c.index], c.word)
                << c.bits << " bits, word " << c.index << ", " << PathName(hardware);
        }
    }
}

// A context keyed by either code serves the other, so both give the same schedule.
TEST(AesSetKeyTest, BothPathsGiveTheSameSchedule) {
    if (!CpuHasAes())
        GTEST_SKIP() << "this CPU has no AES instructions";
    std::mt19937 random(2001);
    for (int bits : {128, 192, 256})
        for (int trial = 0; trial < 20; ++trial) {
            uint8_t key[32];
            for (auto& b : key)
                b = uint8_t(random());
            AesCtx byTables, byInstructions;
            std::memset(&byTables, 0, sizeof byTables);
            std::memset(&byInstructions, 0, sizeof byInstructions);
            {
                AesPath path(false);
                ASSERT_EQ(Aes_SetKey(&byTables, key, bits), 0);
            }
            ASSERT_EQ(Aes_SetKey(&byInstructions, key, bits), 0);
            EXPECT_EQ(std::memcmp(&byTables, &byInstructions, sizeof byTables), 0) << bits << " bits";
        }
}

// A context keyed again for fewer rounds holds nothing of the longer schedule.
TEST(AesSetKeyTest, WordsPastTheScheduleAreZero) {
    const Bytes key = FromHex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4");
    for (bool hardware : Paths()) {
        AesPath path(hardware);
        for (int bits : {128, 192}) {
            AesCtx ctx;
            std::memset(&ctx, 0xA5, sizeof ctx);
            ASSERT_EQ(Aes_SetKey(&ctx, key.data(), 256), 0);
            ASSERT_EQ(Aes_SetKey(&ctx, key.data(), bits), 0);
            for (int i = 4 * (ctx.rounds + 1); i < 60; ++i) {
                EXPECT_EQ(ctx.encKeys[i], 0u) << bits << " bits, word " << i << ", " << PathName(hardware);
                EXPECT_EQ(ctx.decKeys[i], 0u) << bits << " bits, word " << i << ", " << PathName(hardware);
            }
        }
    }
}

TEST(AesSetKeyTest, DecryptionKeysStartAndEndWithTheLastAndFirstRoundKeys) {
    for (bool hardware : Paths()) {
        AesPath path(hardware);
        AesCtx ctx;
        ASSERT_EQ(Aes_SetKey(&ctx, FromHex("2b7e151628aed2a6abf7158809cf4f3c").data(), 128), 0);
        for (int c = 0; c < 4; ++c) {
            EXPECT_EQ(ctx.decKeys[c], ctx.encKeys[40 + c]) << PathName(hardware);
            EXPECT_EQ(ctx.decKeys[40 + c], ctx.encKeys[c]) << PathName(hardware);
        }
    }
}

TEST(AesSetKeyTest, UnsupportedLengthReturnsOneAndLeavesTheContext) {
    const Bytes key = FromHex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
    for (bool hardware : Paths()) {
        AesPath path(hardware);
        AesCtx keyed;
        ASSERT_EQ(Aes_SetKey(&keyed, key.data(), 128), 0);
        for (int bits : {0, -128, 1, 64, 127, 129, 160, 224, 255, 257, 384, 512}) {
            AesCtx filled;
            std::memset(&filled, 0xA5, sizeof filled);
            AesCtx before = filled;
            EXPECT_EQ(Aes_SetKey(&filled, key.data(), bits), 1) << bits << ", " << PathName(hardware);
            EXPECT_EQ(std::memcmp(&filled, &before, sizeof filled), 0) << bits << ", " << PathName(hardware);

            AesCtx rekeyed = keyed;
            EXPECT_EQ(Aes_SetKey(&rekeyed, key.data(), bits), 1) << bits << ", " << PathName(hardware);
            EXPECT_EQ(std::memcmp(&rekeyed, &keyed, sizeof keyed), 0) << bits << ", " << PathName(hardware);
        }
    }
}

struct EcbCase {
    const char* name;
    const char* key;
    int bits;
    const char* plain;
    const char* cipher;
};

// NIST SP 800-38A F.1.1 to F.1.6: four blocks in electronic-codebook mode.
const char* const sp80038aPlain = "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
                                  "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710";
const EcbCase sp80038aEcb[] = {
    {"F1_128", "2b7e151628aed2a6abf7158809cf4f3c", 128, sp80038aPlain,
     "3ad77bb40d7a3660a89ecaf32466ef97f5d3d58503b9699de785895a96fdbaaf"
     "43b1cd7f598ece23881b00e3ed0306887b0c785e27e8ad3f8223207104725dd4"},
    {"F1_192", "8e73b0f7da0e6452c810f32b809079e562f8ead2522c6b7b", 192, sp80038aPlain,
     "bd334f1d6e45f25ff712a214571fa5cc974104846d0ad3ad7734ecb3ecee4eef"
     "ef7afd2270e2e60adce0ba2face6444e9a4b41ba738d6c72fb16691603c18e0e"},
    {"F1_256", "603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4", 256, sp80038aPlain,
     "f3eed1bdb5d2a03c064b5a7e3db181f8591ccb10d410ed26dc5ba74a31362870"
     "b6ed21b99ca6f4f9f153e7b1beafed1d23304b7a39f9f3ff067d8d8f9e24ecc7"},
};

void PrintTo(const EcbCase& c, std::ostream* os) {
    *os << c.name;
}

class AesEcbTest : public testing::TestWithParam<EcbCase> {};

TEST_P(AesEcbTest, BlocksAndSingleCallsGiveTheVectors) {
    const Bytes key = FromHex(GetParam().key), plain = FromHex(GetParam().plain),
                cipher = FromHex(GetParam().cipher);
    const uint32_t blocks = uint32_t(plain.size() / 16);
    for (bool hardware : Paths()) {
        AesPath path(hardware);
        AesCtx ctx;
        ASSERT_EQ(Aes_SetKey(&ctx, key.data(), GetParam().bits), 0);
        Bytes out(plain.size());
        Aes_EncryptBlocks(&ctx, plain.data(), out.data(), blocks);
        EXPECT_EQ(out, cipher) << "encrypt blocks, " << PathName(hardware);
        Aes_DecryptBlocks(&ctx, out.data(), out.data(), blocks);
        EXPECT_EQ(out, plain) << "decrypt blocks in place, " << PathName(hardware);
        for (uint32_t i = 0; i < blocks; ++i)
            Aes_Encrypt(&ctx, plain.data() + 16 * i, out.data() + 16 * i);
        EXPECT_EQ(out, cipher) << "encrypt one by one, " << PathName(hardware);
        for (uint32_t i = 0; i < blocks; ++i)
            Aes_Decrypt(&ctx, out.data() + 16 * i, out.data() + 16 * i);
        EXPECT_EQ(out, plain) << "decrypt one by one, " << PathName(hardware);
    }
}

INSTANTIATE_TEST_SUITE_P(Sp80038a, AesEcbTest, testing::ValuesIn(sp80038aEcb),
                         [](const testing::TestParamInfo<EcbCase>& info) {
                             return std::string(info.param.name);
                         });

// Every count of blocks from none to a few runs of the widest step, on random keys and data: the
// instructions give what the table code gives, and decrypting gives the data back. Only the counted
// blocks are written.
TEST(AesBlocksTest, InstructionsMatchTheTablesForEveryBlockCount) {
    if (!CpuHasAes())
        GTEST_SKIP() << "this CPU has no AES instructions";
    std::mt19937 random(1997);
    constexpr uint32_t MaxBlocks = 40;
    Bytes data(16 * (MaxBlocks + 1));
    for (int bits : {128, 192, 256})
        for (uint32_t blocks = 0; blocks <= MaxBlocks; ++blocks) {
            uint8_t key[32];
            for (auto& b : key)
                b = uint8_t(random());
            for (auto& b : data)
                b = uint8_t(random());
            AesCtx ctx;
            ASSERT_EQ(Aes_SetKey(&ctx, key, bits), 0);
            Bytes byTables(data.size(), 0xEE), byInstructions(data.size(), 0xEE);
            {
                AesPath path(false);
                Aes_EncryptBlocks(&ctx, data.data(), byTables.data(), blocks);
            }
            Aes_EncryptBlocks(&ctx, data.data(), byInstructions.data(), blocks);
            EXPECT_EQ(byInstructions, byTables) << bits << " bits, " << blocks << " blocks";
            EXPECT_EQ(byInstructions[16 * blocks], 0xEE) << bits << " bits, " << blocks << " blocks";
            Bytes back(data.size(), 0xEE);
            Aes_DecryptBlocks(&ctx, byInstructions.data(), back.data(), blocks);
            {
                AesPath path(false);
                Aes_DecryptBlocks(&ctx, byTables.data(), byTables.data(), blocks);
            }
            EXPECT_TRUE(std::equal(data.begin(), data.begin() + 16 * blocks, back.begin()))
                << bits << " bits, " << blocks << " blocks";
            EXPECT_TRUE(std::equal(data.begin(), data.begin() + 16 * blocks, byTables.begin()))
                << bits << " bits, " << blocks << " blocks, tables";
            EXPECT_EQ(back[16 * blocks], 0xEE) << bits << " bits, " << blocks << " blocks";
        }
}

} // namespace
