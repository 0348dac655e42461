// AES block cipher (FIPS-197). On a CPU with AES instructions they do the rounds, chosen at run time, so
// that the program still runs on one without; otherwise the table code does. S-boxes and round tables
// are derived at compile time from the field arithmetic of GF(2^8); state columns and the round keys in
// AesCtx are 32-bit words, most significant byte first, whichever code keyed the context.
#include "protocol/tmgsm.h"

#include <bit>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#define AES_HARDWARE 1
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace {

constexpr uint8_t XTime(uint8_t x) {
    return uint8_t((x << 1) ^ ((x & 0x80) ? 0x1b : 0));
}

constexpr uint8_t Mul(uint8_t a, uint8_t b) {
    uint8_t product = 0;
    for (; b != 0; b >>= 1, a = XTime(a))
        if (b & 1)
            product ^= a;
    return product;
}

constexpr uint32_t Word(uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3) {
    return uint32_t(b0) << 24 | uint32_t(b1) << 16 | uint32_t(b2) << 8 | b3;
}

struct Tables {
    uint8_t sbox[256];
    uint8_t invSbox[256];
    uint32_t enc[4][256]; // SubBytes and MixColumns of one byte, per row position
    uint32_t dec[4][256]; // InvSubBytes and InvMixColumns of one byte, per row position
};

constexpr Tables MakeTables() {
    Tables t{};
    // Powers of the generator 3 give every non-zero element; the inverse of 3^i is 3^(255-i).
    uint8_t power[255]{};
    uint8_t log[256]{};
    uint8_t p = 1;
    for (int i = 0; i < 255; ++i, p ^= XTime(p)) {
        power[i] = p;
        log[p] = uint8_t(i);
    }
    for (int x = 0; x < 256; ++x) {
        const uint8_t inv = x == 0 ? 0 : power[(255 - log[x]) % 255];
        const uint8_t s =
            inv ^ std::rotl(inv, 1) ^ std::rotl(inv, 2) ^ std::rotl(inv, 3) ^ std::rotl(inv, 4) ^ 0x63;
        t.sbox[x] = s;
        t.invSbox[s] = uint8_t(x);
    }
    for (int x = 0; x < 256; ++x) {
        const uint8_t s = t.sbox[x], v = t.invSbox[x];
        const uint32_t e = Word(Mul(s, 2), s, s, Mul(s, 3));
        const uint32_t d = Word(Mul(v, 14), Mul(v, 9), Mul(v, 13), Mul(v, 11));
        for (int r = 0; r < 4; ++r) {
            t.enc[r][x] = std::rotr(e, 8 * r);
            t.dec[r][x] = std::rotr(d, 8 * r);
        }
    }
    return t;
}

constexpr Tables tables = MakeTables();

uint32_t SubWord(uint32_t w) {
    const uint8_t* s = tables.sbox;
    return Word(s[w >> 24], s[(w >> 16) & 0xff], s[(w >> 8) & 0xff], s[w & 0xff]);
}

// InvMixColumns of a round key word: dec[] undoes the S-box, so feed it S-box outputs.
uint32_t InvMixColumn(uint32_t w) {
    const uint8_t* s = tables.sbox;
    return tables.dec[0][s[w >> 24]] ^ tables.dec[1][s[(w >> 16) & 0xff]] ^
           tables.dec[2][s[(w >> 8) & 0xff]] ^ tables.dec[3][s[w & 0xff]];
}

void ExpandKey(uint32_t* w, const uint8_t* key, int nk, int total) {
    for (int i = 0; i < nk; ++i)
        w[i] = Get_U32BE(key + 4 * i);
    uint8_t rcon = 1;
    for (int i = nk; i < total; ++i) {
        uint32_t temp = w[i - 1];
        if (i % nk == 0) {
            temp = SubWord(std::rotl(temp, 8)) ^ uint32_t(rcon) << 24;
            rcon = XTime(rcon);
        } else if (nk > 6 && i % nk == 4) {
            temp = SubWord(temp);
        }
        w[i] = w[i - nk] ^ temp;
    }
}

// Equivalent inverse cipher: round keys in reverse order, the inner ones through InvMixColumns.
void InvertKeys(uint32_t* dk, const uint32_t* ek, int rounds) {
    for (int r = 0; r <= rounds; ++r)
        for (int c = 0; c < 4; ++c) {
            const uint32_t w = ek[4 * (rounds - r) + c];
            dk[4 * r + c] = (r == 0 || r == rounds) ? w : InvMixColumn(w);
        }
}

void Load(uint32_t s[4], const uint8_t in[16], const uint32_t* rk) {
    for (int c = 0; c < 4; ++c)
        s[c] = Get_U32BE(in + 4 * c) ^ rk[c];
}

void Store(uint8_t out[16], const uint32_t s[4]) {
    for (int c = 0; c < 4; ++c)
        Put_U32BE(out + 4 * c, s[c]);
}

// One round over the state. Row r of column c comes from column c + step * r: step 1 shifts rows left
// (cipher), step 3 shifts them right (inverse cipher).
void Round(uint32_t s[4], const uint32_t (&table)[4][256], const uint32_t* rk, int step) {
    uint32_t t[4];
    for (int c = 0; c < 4; ++c)
        t[c] = table[0][s[c] >> 24] ^ table[1][(s[(c + step) % 4] >> 16) & 0xff] ^
               table[2][(s[(c + 2 * step) % 4] >> 8) & 0xff] ^ table[3][s[(c + 3 * step) % 4] & 0xff] ^ rk[c];
    std::memcpy(s, t, sizeof t);
}

// The last round: substitution and row shift only.
void LastRound(uint32_t s[4], const uint8_t (&box)[256], const uint32_t* rk, int step) {
    uint32_t t[4];
    for (int c = 0; c < 4; ++c)
        t[c] = Word(box[s[c] >> 24], box[(s[(c + step) % 4] >> 16) & 0xff],
                    box[(s[(c + 2 * step) % 4] >> 8) & 0xff], box[s[(c + 3 * step) % 4] & 0xff]) ^
               rk[c];
    std::memcpy(s, t, sizeof t);
}

void Crypt(const uint32_t* keys, int rounds, const uint32_t (&table)[4][256], const uint8_t (&box)[256],
           int step, const uint8_t in[16], uint8_t out[16]) {
    uint32_t s[4];
    Load(s, in, keys);
    for (int r = 1; r < rounds; ++r)
        Round(s, table, keys + 4 * r, step);
    LastRound(s, box, keys + 4 * rounds, step);
    Store(out, s);
}

void EncryptTable(const AesCtx* ctx, const uint8_t* in, uint8_t* out) {
    Crypt(ctx->encKeys, ctx->rounds, tables.enc, tables.sbox, 1, in, out);
}

void DecryptTable(const AesCtx* ctx, const uint8_t* in, uint8_t* out) {
    Crypt(ctx->decKeys, ctx->rounds, tables.dec, tables.invSbox, 3, in, out);
}

#ifdef AES_HARDWARE
#define AES_TARGET __attribute__((target("aes,ssse3")))

bool CpuHasAes() {
    unsigned a, b, c, d;
    return __get_cpuid(1, &a, &b, &c, &d) && (c & bit_AES) && (c & bit_SSSE3);
}

// Turns four words, most significant byte first, into the byte order of the instructions, and back.
AES_TARGET __m128i SwapWords(__m128i v) {
    return _mm_shuffle_epi8(v, _mm_set_epi8(12, 13, 14, 15, 8, 9, 10, 11, 4, 5, 6, 7, 0, 1, 2, 3));
}

AES_TARGET __m128i LoadKey(const uint32_t* words) {
    return SwapWords(_mm_loadu_si128(reinterpret_cast<const __m128i*>(words)));
}

AES_TARGET void StoreKey(uint32_t* words, __m128i key) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(words), SwapWords(key));
}

// One step of the 128-bit key expansion: the instruction gives SubWord(RotWord(w3)) ^ rcon in its top
// word, which goes into all four words, each the XOR of those before it.
template <int Rcon> AES_TARGET __m128i NextKey128(__m128i key) {
    const __m128i assist = _mm_shuffle_epi32(_mm_aeskeygenassist_si128(key, Rcon), 0xff);
    key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
    key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
    key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
    return _mm_xor_si128(key, assist);
}

AES_TARGET void ExpandKey128Hardware(uint32_t* ek, const uint8_t* bytes) {
    __m128i k[11];
    k[0] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
    k[1] = NextKey128<0x01>(k[0]);
    k[2] = NextKey128<0x02>(k[1]);
    k[3] = NextKey128<0x04>(k[2]);
    k[4] = NextKey128<0x08>(k[3]);
    k[5] = NextKey128<0x10>(k[4]);
    k[6] = NextKey128<0x20>(k[5]);
    k[7] = NextKey128<0x40>(k[6]);
    k[8] = NextKey128<0x80>(k[7]);
    k[9] = NextKey128<0x1b>(k[8]);
    k[10] = NextKey128<0x36>(k[9]);
    for (int r = 0; r <= 10; ++r)
        StoreKey(ek + 4 * r, k[r]);
}

AES_TARGET void InvertKeysHardware(uint32_t* dk, const uint32_t* ek, int rounds) {
    for (int r = 0; r <= rounds; ++r) {
        __m128i w = LoadKey(ek + 4 * (rounds - r));
        StoreKey(dk + 4 * r, r == 0 || r == rounds ? w : _mm_aesimc_si128(w));
    }
}

template <bool Inverse> AES_TARGET __m128i RoundOf(__m128i s, __m128i key) {
    return Inverse ? _mm_aesdec_si128(s, key) : _mm_aesenc_si128(s, key);
}

template <bool Inverse> AES_TARGET __m128i LastRoundOf(__m128i s, __m128i key) {
    return Inverse ? _mm_aesdeclast_si128(s, key) : _mm_aesenclast_si128(s, key);
}

// Lanes blocks at a time: the blocks are independent, so their rounds overlap in the pipeline.
template <bool Inverse, int Lanes>
AES_TARGET void CryptLanes(const __m128i* keys, int rounds, const uint8_t* in, uint8_t* out) {
    __m128i s[Lanes];
#pragma GCC unroll 8
    for (int i = 0; i < Lanes; ++i)
        s[i] = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in) + i), keys[0]);
    for (int r = 1; r < rounds; ++r)
#pragma GCC unroll 8
        for (int i = 0; i < Lanes; ++i)
            s[i] = RoundOf<Inverse>(s[i], keys[r]);
#pragma GCC unroll 8
    for (int i = 0; i < Lanes; ++i)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out) + i, LastRoundOf<Inverse>(s[i], keys[rounds]));
}

template <bool Inverse>
AES_TARGET void CryptHardware(const AesCtx* ctx, const uint8_t* in, uint8_t* out, uint32_t blocks) {
    const uint32_t* words = Inverse ? ctx->decKeys : ctx->encKeys;
    __m128i keys[15];
    for (int r = 0; r <= ctx->rounds; ++r)
        keys[r] = LoadKey(words + 4 * r);
    constexpr int Lanes = 8;
    for (; blocks >= Lanes; blocks -= Lanes, in += 16 * Lanes, out += 16 * Lanes)
        CryptLanes<Inverse, Lanes>(keys, ctx->rounds, in, out);
    for (; blocks > 0; --blocks, in += 16, out += 16)
        CryptLanes<Inverse, 1>(keys, ctx->rounds, in, out);
}

bool& UseHardware() {
    static bool use = CpuHasAes();
    return use;
}
#endif

} // namespace

int Aes_SetKey(AesCtx* ctx, const uint8_t* key, int bits) {
    if (bits != 128 && bits != 192 && bits != 256)
        return 1;
    const int nk = bits / 32;
    const int rounds = nk + 6;
    const int used = 4 * (rounds + 1);
    // The words past the schedule stay zero, as in a fresh context.
    std::memset(ctx->encKeys + used, 0, sizeof ctx->encKeys - used * sizeof(uint32_t));
    std::memset(ctx->decKeys + used, 0, sizeof ctx->decKeys - used * sizeof(uint32_t));
    ctx->rounds = rounds;
#ifdef AES_HARDWARE
    if (UseHardware()) {
        if (bits == 128)
            ExpandKey128Hardware(ctx->encKeys, key);
        else
            ExpandKey(ctx->encKeys, key, nk, used);
        InvertKeysHardware(ctx->decKeys, ctx->encKeys, rounds);
        return 0;
    }
#endif
    ExpandKey(ctx->encKeys, key, nk, used);
    InvertKeys(ctx->decKeys, ctx->encKeys, rounds);
    return 0;
}

namespace {

template <bool Inverse>
void CryptBlocks(const AesCtx* ctx, const uint8_t* in, uint8_t* out, uint32_t blocks) {
#ifdef AES_HARDWARE
    if (UseHardware())
        return CryptHardware<Inverse>(ctx, in, out, blocks);
#endif
    for (uint32_t i = 0; i < blocks; ++i)
        (Inverse ? DecryptTable : EncryptTable)(ctx, in + 16 * i, out + 16 * i);
}

} // namespace

void Aes_Encrypt(const AesCtx* ctx, const uint8_t in[16], uint8_t out[16]) {
    CryptBlocks<false>(ctx, in, out, 1);
}

void Aes_Decrypt(const AesCtx* ctx, const uint8_t in[16], uint8_t out[16]) {
    CryptBlocks<true>(ctx, in, out, 1);
}

void Aes_EncryptBlocks(const AesCtx* ctx, const uint8_t* in, uint8_t* out, uint32_t blocks) {
    CryptBlocks<false>(ctx, in, out, blocks);
}

void Aes_DecryptBlocks(const AesCtx* ctx, const uint8_t* in, uint8_t* out, uint32_t blocks) {
    CryptBlocks<true>(ctx, in, out, blocks);
}

int Aes_UseHardware(int on) {
#ifdef AES_HARDWARE
    UseHardware() = on && CpuHasAes();
    return UseHardware();
#else
    (void)on;
    return 0;
#endif
}
