// AES block cipher (FIPS-197), table-driven. S-boxes and round tables are derived at compile time from
// the field arithmetic of GF(2^8); state columns are 32-bit words, most significant byte first.
#include "protocol/tmgsm.h"

#include <bit>
#include <cstring>

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

} // namespace

int Aes_SetKey(AesCtx* ctx, const uint8_t* key, int bits) {
    if (bits != 128 && bits != 192 && bits != 256)
        return 1;
    AesCtx fresh{};
    const int nk = bits / 32;
    fresh.rounds = nk + 6;
    ExpandKey(fresh.encKeys, key, nk, 4 * (fresh.rounds + 1));
    InvertKeys(fresh.decKeys, fresh.encKeys, fresh.rounds);
    *ctx = fresh;
    return 0;
}

void Aes_Encrypt(const AesCtx* ctx, const uint8_t in[16], uint8_t out[16]) {
    Crypt(ctx->encKeys, ctx->rounds, tables.enc, tables.sbox, 1, in, out);
}

void Aes_Decrypt(const AesCtx* ctx, const uint8_t in[16], uint8_t out[16]) {
    Crypt(ctx->decKeys, ctx->rounds, tables.dec, tables.invSbox, 3, in, out);
}
