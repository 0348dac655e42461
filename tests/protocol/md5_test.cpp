#include "protocol/tmgsm.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

std::string ToHex(const uint8_t* bytes, size_t n) {
    std::string text;
    char pair[3];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(pair, sizeof pair, "%02x", bytes[i]);
        text += pair;
    }
    return text;
}

const uint8_t* AsBytes(const std::string& text) {
    return reinterpret_cast<const uint8_t*>(text.data());
}

Bytes Pattern(size_t n) {
    Bytes bytes(n);
    for (size_t i = 0; i < n; ++i)
        bytes[i] = uint8_t(i * 7 + 3);
    return bytes;
}

std::string StateHex(const Md5Ctx& ctx) {
    uint8_t out[16];
    for (int i = 0; i < 4; ++i)
        for (int b = 0; b < 4; ++b)
            out[4 * i + b] = uint8_t(ctx.state[i] >> (8 * b));
    return ToHex(out, sizeof out);
}

struct DigestCase {
    const char* message;
    const char* digest;
};

// The test suite of RFC 1321, appendix A.5.
const DigestCase rfc1321Suite[] = {
    {"", "d41d8cd98f00b204e9800998ecf8427e"},
    {"a", "0cc175b9c0f1b6a831c399e269772661"},
    {"abc", "900150983cd24fb0d6963f7d28e17f72"},
    {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
    {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
     "57edf4a22be3c955ac49da2e2107b67a"},
};

class Md5SuiteTest : public testing::TestWithParam<DigestCase> {};

TEST_P(Md5SuiteTest, DigestMatchesRfc1321) {
    const std::string message = GetParam().message;
    uint8_t out[16];
    Md5_Digest(AsBytes(message), uint32_t(message.size()), out);
    EXPECT_EQ(ToHex(out, sizeof out), GetParam().digest);
}

TEST_P(Md5SuiteTest, StreamingInChunksGivesTheSameDigest) {
    const std::string message = GetParam().message;
    for (size_t chunk : {1, 3, 55, 63, 64, 65}) {
        Md5Ctx ctx;
        Md5_Init(&ctx);
        for (size_t at = 0; at < message.size(); at += chunk)
            Md5_Update(&ctx, AsBytes(message) + at, uint32_t(std::min(chunk, message.size() - at)));
        uint8_t out[16];
        Md5_Final(&ctx, out, 1);
        EXPECT_EQ(ToHex(out, sizeof out), GetParam().digest) << "chunk " << chunk;
    }
}

INSTANTIATE_TEST_SUITE_P(Rfc1321, Md5SuiteTest, testing::ValuesIn(rfc1321Suite));

TEST(Md5DigestTest, PaddingAroundTheBlockBoundary) {
    // Runs of 'a' whose padding just fits, just misses and fills the last block.
    const struct {
        size_t length;
        const char* digest;
    } cases[] = {
        {55, "ef1772b6dff9a122358552954ad0df65"},
        {56, "3b0c8ac703f828b04c6c197006d17218"},
        {63, "b06521f39153d618550606be297466d5"},
        {64, "014842d480b571495a4a0363793f7367"},
    };
    for (const auto& c : cases) {
        const std::string message(c.length, 'a');
        uint8_t out[16];
        Md5_Digest(AsBytes(message), uint32_t(message.size()), out);
        EXPECT_EQ(ToHex(out, sizeof out), c.digest) << c.length;
    }
}

// 0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, each little-endian.
constexpr const char* initialStateHex = "0123456789abcdeffedcba9876543210";

TEST(Md5RawStateTest, FewerThan64BytesGiveTheInitialChainingValues) {
    const Bytes data = Pattern(63);
    for (uint32_t n : {0u, 1u, 55u, 56u, 63u}) {
        uint8_t out[16];
        Md5_RawState(data.data(), n, out);
        EXPECT_EQ(ToHex(out, sizeof out), initialStateHex) << n;
    }
}

TEST(Md5RawStateTest, WholeBlocksGiveTheStreamingState) {
    const Bytes data = Pattern(192);
    for (uint32_t n : {64u, 128u, 192u}) {
        Md5Ctx ctx;
        Md5_Init(&ctx);
        Md5_Update(&ctx, data.data(), n);
        uint8_t out[16];
        Md5_RawState(data.data(), n, out);
        EXPECT_EQ(ToHex(out, sizeof out), StateHex(ctx)) << n;
        EXPECT_NE(ToHex(out, sizeof out), initialStateHex) << n;
    }
}

TEST(Md5RawStateTest, BytesOfAnIncompleteLastBlockDoNotCount) {
    const Bytes data = Pattern(256);
    uint8_t whole[16], more[16];
    for (uint32_t blocks : {1u, 2u, 3u}) {
        Md5_RawState(data.data(), 64 * blocks, whole);
        for (uint32_t extra : {1u, 8u, 63u}) {
            Md5_RawState(data.data(), 64 * blocks + extra, more);
            EXPECT_EQ(ToHex(more, 16), ToHex(whole, 16)) << blocks << " blocks + " << extra;
        }
    }
}

TEST(Md5TransformTest, StreamingStateIsTheTransformOfEachBlock) {
    const Bytes data = Pattern(128);
    Md5Ctx byHand;
    Md5_Init(&byHand);
    Md5_Transform(&byHand, data.data());
    Md5_Transform(&byHand, data.data() + 64);
    Md5Ctx streamed;
    Md5_Init(&streamed);
    Md5_Update(&streamed, data.data(), 128);
    EXPECT_EQ(StateHex(streamed), StateHex(byHand));
    EXPECT_EQ(streamed.count, 128u);
}

TEST(Md5FinalTest, WithoutPaddingWritesTheStateAndLeavesItAsItIs) {
    const Bytes data = Pattern(100);
    Md5Ctx ctx;
    Md5_Init(&ctx);
    Md5_Update(&ctx, data.data(), uint32_t(data.size()));
    const std::string before = StateHex(ctx);
    uint8_t out[16];
    Md5_Final(&ctx, out, 0);
    EXPECT_EQ(ToHex(out, sizeof out), before);
    EXPECT_EQ(StateHex(ctx), before);
    EXPECT_EQ(ctx.count, 100u);
}

} // namespace
