#include "protocol/tmgsm.h"

#include <gtest/gtest.h>

#include <cstring>
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
    void SetUp() override {
        const Bytes key = FromHex(GetParam().key);
        ASSERT_EQ(key.size() * 8, size_t(GetParam().bits));
        ASSERT_EQ(Aes_SetKey(&ctx, key.data(), GetParam().bits), 0);
    }
    AesCtx ctx;
};

TEST_P(AesBlockTest, SetsTheRoundCount) {
    EXPECT_EQ(ctx.rounds, GetParam().rounds);
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
    };
    for (const auto& d : directions) {
        uint8_t out[16];
        d.cipher(&ctx, d.from.data(), out);
        EXPECT_EQ(Bytes(out, out + 16), d.to) << d.direction << " out of place";
        Bytes block = d.from;
        d.cipher(&ctx, block.data(), block.data());
        EXPECT_EQ(block, d.to) << d.direction << " in place";
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
    for (const ExpansionCase& c : fips197Expansions) {
        AesCtx ctx;
        ASSERT_EQ(Aes_SetKey(&ctx, FromHex(c.key).data(), c.bits), 0);
        EXPECT_EQ(ctx.encKeys[c.index], c.word) << c.bits << " bits, word " << c.index;
    }
}

TEST(AesSetKeyTest, DecryptionKeysStartAndEndWithTheLastAndFirstRoundKeys) {
    AesCtx ctx;
    ASSERT_EQ(Aes_SetKey(&ctx, FromHex("2b7e151628aed2a6abf7158809cf4f3c").data(), 128), 0);
    for (int c = 0; c < 4; ++c) {
        EXPECT_EQ(ctx.decKeys[c], ctx.encKeys[40 + c]);
        EXPECT_EQ(ctx.decKeys[40 + c], ctx.encKeys[c]);
    }
}

TEST(AesSetKeyTest, UnsupportedLengthReturnsOneAndLeavesTheContext) {
    const Bytes key = FromHex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
    AesCtx keyed;
    ASSERT_EQ(Aes_SetKey(&keyed, key.data(), 128), 0);
    for (int bits : {0, -128, 1, 64, 127, 129, 160, 224, 255, 257, 384, 512}) {
        AesCtx filled;
        std::memset(&filled, 0xA5, sizeof filled);
        AesCtx before = filled;
        EXPECT_EQ(Aes_SetKey(&filled, key.data(), bits), 1) << bits;
        EXPECT_EQ(std::memcmp(&filled, &before, sizeof filled), 0) << bits;

        AesCtx rekeyed = keyed;
        EXPECT_EQ(Aes_SetKey(&rekeyed, key.data(), bits), 1) << bits;
        EXPECT_EQ(std::memcmp(&rekeyed, &keyed, sizeof keyed), 0) << bits;
    }
}

} // namespace
