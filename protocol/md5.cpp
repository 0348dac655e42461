// MD5 digest (RFC 1321) and the raw chaining state used to compare a modem's running hash.
#include "protocol/tmgsm.h"

#include <bit>
#include <cstring>

namespace {

// floor(abs(sin(i + 1)) * 2^32), the per-step additive constants.
constexpr uint32_t stepConst[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

// Left-rotation amounts, four per round.
constexpr int rotation[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

constexpr uint32_t initialState[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};

Md5Ctx sharedCtx;

void WriteState(const Md5Ctx* ctx, uint8_t out[16]) {
    for (int i = 0; i < 4; ++i)
        Put_U32LE(out + 4 * i, ctx->state[i]);
}

} // namespace

void Md5_Init(Md5Ctx* ctx) {
    std::memset(ctx->block, 0, sizeof ctx->block);
    std::memcpy(ctx->state, initialState, sizeof ctx->state);
    ctx->count = 0;
}

void Md5_Transform(Md5Ctx* ctx, const uint8_t block[64]) {
    uint32_t x[16];
    for (int i = 0; i < 16; ++i)
        x[i] = Get_U32LE(block + 4 * i);
    uint32_t a = ctx->state[0], b = ctx->state[1], c = ctx->state[2], d = ctx->state[3];
    for (int i = 0; i < 64; ++i) {
        const int round = i / 16;
        uint32_t f;
        int k;
        switch (round) {
        case 0:
            f = (b & c) | (~b & d);
            k = i;
            break;
        case 1:
            f = (b & d) | (c & ~d);
            k = (5 * i + 1) % 16;
            break;
        case 2:
            f = b ^ c ^ d;
            k = (3 * i + 5) % 16;
            break;
        default:
            f = c ^ (b | ~d);
            k = (7 * i) % 16;
            break;
        }
        const uint32_t sum = a + f + stepConst[i] + x[k];
        a = d;
        d = c;
        c = b;
        b += std::rotl(sum, rotation[round][i % 4]);
    }
    ctx->state[0] += a;
    ctx->state[1] += b;
    ctx->state[2] += c;
    ctx->state[3] += d;
}

void Md5_Update(Md5Ctx* ctx, const uint8_t* data, uint32_t len) {
    uint32_t used = ctx->count % 64;
    ctx->count += len;
    while (len > 0) {
        const uint32_t take = len < 64 - used ? len : 64 - used;
        std::memcpy(ctx->block + used, data, take);
        data += take;
        len -= take;
        used += take;
        if (used == 64) {
            Md5_Transform(ctx, ctx->block);
            used = 0;
        }
    }
}

void Md5_Final(Md5Ctx* ctx, uint8_t out[16], int pad) {
    if (pad) {
        // The bit count is taken before the padding itself is counted.
        uint8_t length[8];
        const uint64_t bits = uint64_t(ctx->count) * 8;
        Put_U32LE(length, uint32_t(bits));
        Put_U32LE(length + 4, uint32_t(bits >> 32));
        static constexpr uint8_t padding[64] = {0x80};
        const uint32_t used = ctx->count % 64;
        Md5_Update(ctx, padding, used < 56 ? 56 - used : 120 - used);
        Md5_Update(ctx, length, sizeof length);
    }
    WriteState(ctx, out);
}

void Md5_Digest(const uint8_t* data, uint32_t len, uint8_t out[16]) {
    Md5_Init(&sharedCtx);
    Md5_Update(&sharedCtx, data, len);
    Md5_Final(&sharedCtx, out, 1);
}

void Md5_RawState(const uint8_t* data, uint32_t len, uint8_t out[16]) {
    Md5_Init(&sharedCtx);
    Md5_Update(&sharedCtx, data, len);
    Md5_Final(&sharedCtx, out, 0);
}
