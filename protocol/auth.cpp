// Authentication of modems, the key table, the nonce generator and the two encrypted block formats.
#include "protocol/tmgsm.h"

#include <cerrno>
#include <sys/random.h>

namespace {

// Used only when the operating system gives no random bytes.
constexpr uint32_t FallbackSeed = 0x3D5A1C6E;

constexpr int CrcSize = 4;
constexpr int BlockSize = 16;

// Offsets inside an AUTH payload.
constexpr int RandomAt = 0;
constexpr int CrcAt = 16;
constexpr int VersionAt = 20;

uint32_t OsSeed() {
    uint32_t seed = 0;
    ssize_t got;
    do {
        got = getrandom(&seed, sizeof seed, 0);
    } while (got < 0 && errno == EINTR);
    if (got != static_cast<ssize_t>(sizeof seed))
        seed = FallbackSeed ^ Tm_MsSince(0);
    return seed;
}

AuthSeedSource seedSource = OsSeed;

// Kind of a modem's AUTH version word: 1 and 2 carry nibble digits, 0 byte digits.
uint8_t AuthKind(uint32_t word) {
    switch (word >> 16) {
    case 0xFFFF:
        return 1;
    case 0xFFFE:
        return 2;
    default:
        return 0;
    }
}

bool TryKeyIfAny(AuthCtx* ctx, uint8_t* payload, const uint8_t* key) {
    return key && Auth_TryKey(ctx, payload, key);
}

// The key trial proper; sets the flag of the key that opened the payload.
bool FindKey(AuthCtx* ctx, uint8_t* payload, uint16_t modemId) {
    if (Auth_TryKey(ctx, payload, Auth_FactoryKey)) {
        ctx->Flags |= AUTH_FACTORY_KEY;
        return true;
    }
    if (ctx->Keys) {
        bool listed;
        const uint8_t* key = Auth_ModemKey(ctx->Keys, modemId, &listed);
        if (listed)
            return TryKeyIfAny(ctx, payload, key);
        if (Auth_TryKey(ctx, payload, key))
            return true;
    }
    // A pending key that SetKey never set is sixteen zero bytes, which must open nothing.
    if ((ctx->Flags & AUTH_PENDING_SET) && Auth_TryKey(ctx, payload, ctx->PendingKey)) {
        ctx->Flags |= AUTH_PENDING_USED;
        return true;
    }
    return false;
}

void EncryptInPlace(AuthCtx* ctx, uint8_t* buf, uint32_t n) {
    Aes_SetKey(&ctx->Aes, ctx->SessKey, 128);
    Aes_EncryptBlocks(&ctx->Aes, buf, buf, n / BlockSize);
}

// Byte n = 0xFF, then filler bytes from a fresh nonce up to (not including) end.
void PadBlock(AuthCtx* ctx, uint8_t* buf, uint32_t n, uint32_t end) {
    buf[n] = 0xFF;
    Auth_NextNonce(ctx);
    Mem_Copy(buf + n + 1, ctx->Nonce, end - n - 1);
}

} // namespace

const uint8_t Auth_FactoryKey[AUTH_KEY_SIZE] = {'8', '8', '8', '8', '8', '8', '8', '8',
                                                '8', '8', '8', '8', '8', '8', '8', '8'};

void TMGSM_AuthKeysInit(AuthKeys* keys) {
    *keys = AuthKeys{};
    Mem_Copy(keys->SystemKey, Auth_FactoryKey, AUTH_KEY_SIZE);
}

const uint8_t* Auth_ModemKey(const AuthKeys* keys, uint16_t modemId, bool* listed) {
    int n = keys->Count < AUTH_MAX_LISTED ? keys->Count : AUTH_MAX_LISTED;
    int i = 0;
    while (i < n && keys->Ids[i] != modemId)
        ++i;
    if (listed)
        *listed = i < n;
    return i < n ? keys->Keys[i] : keys->SystemKey;
}

void Auth_SetSeedSource(AuthSeedSource source) {
    seedSource = source ? source : OsSeed;
}

void Auth_Init(AuthCtx* ctx, const AuthKeys* keys) {
    ctx->Lfsr = seedSource();
    ctx->Flags = AUTH_NONCE_RUNS;
    ctx->Keys = keys;
    for (int i = 0; i < 4; ++i)
        Auth_NextNonce(ctx);
}

uint32_t Auth_LfsrStep(uint8_t n, uint32_t state) {
    for (int i = 0; i <= n; ++i) {
        if (state == 0)
            state = 0x80000000u;
        uint32_t feedback = ((state >> 4) ^ (state >> 1)) & 1;
        state = state >> 1 | feedback << 31;
    }
    return state;
}

void Auth_NextNonce(AuthCtx* ctx) {
    if (!(ctx->Flags & AUTH_NONCE_RUNS))
        return;
    uint8_t k = static_cast<uint8_t>(Tm_MsSince(0) % 16);
    uint32_t word = Auth_LfsrStep(k, Auth_LfsrStep(1, ctx->Lfsr));
    for (int i = 0; i < 4; ++i) {
        if (i > 0)
            word = Auth_LfsrStep(k, word);
        Put_U32BE(ctx->Nonce + 4 * i, word);
    }
    ctx->Lfsr = word;
}

void Ver_Digits(uint32_t word, int nibbles, uint8_t digits[4]) {
    for (int i = 0; i < 4; ++i)
        digits[i] = static_cast<uint8_t>(nibbles ? word >> (12 - 4 * i) & 0xF : word >> (24 - 8 * i));
}

int Auth_TryKey(AuthCtx* ctx, uint8_t* payload, const uint8_t* key) {
    uint8_t savedBlock[BlockSize];
    uint8_t savedKey[AUTH_KEY_SIZE];
    Mem_Copy(savedBlock, payload + RandomAt, BlockSize);
    Mem_Copy(savedKey, ctx->MatchedKey, AUTH_KEY_SIZE);
    Mem_Copy(ctx->MatchedKey, key, AUTH_KEY_SIZE);

    uint8_t* r = payload + RandomAt;
    Aes_SetKey(&ctx->Aes, ctx->MatchedKey, 128);
    Aes_Decrypt(&ctx->Aes, r, r);
    if (Crc32_Msb(r, BlockSize + CrcSize) != 0) {
        Mem_Copy(r, savedBlock, BlockSize);
        Mem_Copy(ctx->MatchedKey, savedKey, AUTH_KEY_SIZE);
        return 0;
    }

    Mem_Copy(ctx->SessKey, r, 8);
    Mem_Copy(ctx->SessKey + 8, ctx->Nonce, 8);
    ctx->Flags |= AUTH_OK;
    for (int i = 0; i < 4; ++i)
        ctx->Proof[i] = r[2 * i] ^ r[2 * i + 9];
    Aes_SetKey(&ctx->Aes, ctx->SessKey, 128);
    Aes_Encrypt(&ctx->Aes, ctx->MatchedKey, ctx->SessKey);
    return 1;
}

int Auth_Accept(AuthCtx* ctx, uint8_t* payload, uint16_t modemId, uint8_t version[4], uint32_t* versionNo,
                uint8_t* kind) {
    // The generator stays stopped until the reply is built, so that the nonce mixed into the session
    // key is the one the reply carries.
    ctx->Flags &= ~(AUTH_NONCE_RUNS | AUTH_FACTORY_KEY | AUTH_PENDING_USED);

    uint32_t word = Get_U32BE(payload + VersionAt);
    uint8_t k = AuthKind(word);
    Ver_Digits(word, k != 0, version);
    if (k == 2)
        *versionNo = version[0] * 100u + version[1];
    if (kind)
        *kind = k;

    if (FindKey(ctx, payload, modemId)) {
        ctx->Flags &= ~AUTH_REJECTED;
        return 1;
    }
    ctx->Flags = (ctx->Flags & ~AUTH_OK) | AUTH_REJECTED | AUTH_NONCE_RUNS;
    return 0;
}

uint8_t* Auth_CreateResp(AuthCtx* ctx, uint8_t* out) {
    Aes_SetKey(&ctx->Aes, ctx->MatchedKey, 128);
    Aes_Encrypt(&ctx->Aes, ctx->Nonce, out + RandomAt);
    Put_U32BE(out + CrcAt, Crc32_Msb(ctx->Nonce, AUTH_KEY_SIZE));
    Mem_Copy(out + VersionAt, ctx->Proof, 4);
    ctx->Flags |= AUTH_NONCE_RUNS;
    return out + AUTH_PAYLOAD_SIZE;
}

void Auth_SetPendingKey(AuthCtx* ctx, const uint8_t key[AUTH_KEY_SIZE]) {
    Mem_Copy(ctx->PendingKey, key, AUTH_KEY_SIZE);
    ctx->Flags |= AUTH_PENDING_SET;
}

bool Auth_IsOk(const AuthCtx* ctx) {
    return ctx->Flags & AUTH_OK;
}

bool Auth_UsedFactoryKey(const AuthCtx* ctx) {
    return ctx->Flags & AUTH_FACTORY_KEY;
}

bool Auth_UsedPendingKey(const AuthCtx* ctx) {
    return ctx->Flags & AUTH_PENDING_USED;
}

void Auth_SetSessKey(AuthCtx* ctx, const uint8_t key[AUTH_KEY_SIZE]) {
    Mem_Copy(ctx->SessKey, key, AUTH_KEY_SIZE);
}

uint16_t Auth_EncryptBlkCrc(AuthCtx* ctx, uint8_t* buf, uint16_t n) {
    uint32_t padded = (n + BlockSize - 1u) / BlockSize * BlockSize;
    if (padded > n)
        PadBlock(ctx, buf, n, padded);
    uint32_t crc = Crc32_Msb(buf, padded);
    EncryptInPlace(ctx, buf, padded);
    Put_U32BE(buf + padded, crc);
    return static_cast<uint16_t>(padded);
}

uint32_t Auth_EncryptBlk32(AuthCtx* ctx, uint8_t* buf, uint32_t n) {
    uint32_t padded = (n + 19u) / BlockSize * BlockSize;
    if (padded - n > CrcSize)
        PadBlock(ctx, buf, n, padded - CrcSize);
    Put_U32BE(buf + padded - CrcSize, Crc32_Msb(buf, padded - CrcSize));
    EncryptInPlace(ctx, buf, padded);
    return padded;
}

uint16_t Auth_EncryptBlk(AuthCtx* ctx, uint8_t* buf, uint16_t n) {
    return static_cast<uint16_t>(Auth_EncryptBlk32(ctx, buf, n));
}

int Auth_DecryptBlk32(AuthCtx* ctx, uint8_t* buf, uint32_t len) {
    Aes_SetKey(&ctx->Aes, ctx->SessKey, 128);
    Aes_DecryptBlocks(&ctx->Aes, buf, buf, len / BlockSize);
    return Crc32_Msb(buf, len) == 0;
}

int Auth_DecryptBlk(AuthCtx* ctx, uint8_t* buf, uint16_t len) {
    return Auth_DecryptBlk32(ctx, buf, len);
}
