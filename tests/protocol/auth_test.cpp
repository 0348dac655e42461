#include "protocol/tmgsm.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using Key = std::array<uint8_t, AUTH_KEY_SIZE>;

Bytes FromHex(const std::string& hex) {
    Bytes bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(uint8_t(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

Key KeyOf(const std::string& hex) {
    Key key{};
    Bytes bytes = FromHex(hex);
    std::copy(bytes.begin(), bytes.end(), key.begin());
    return key;
}

Key FactoryKey() {
    Key key;
    key.fill('8');
    return key;
}

Bytes Encrypt(const uint8_t* key, const uint8_t* block) {
    AesCtx aes;
    Aes_SetKey(&aes, key, 128);
    Bytes out(16);
    Aes_Encrypt(&aes, block, out.data());
    return out;
}

// The modem's side of an AUTH: R under its key, the CRC of R and the version word.
std::array<uint8_t, AUTH_PAYLOAD_SIZE> ModemAuth(const Key& key, const Bytes& r, uint32_t version) {
    std::array<uint8_t, AUTH_PAYLOAD_SIZE> payload{};
    Bytes cipher = Encrypt(key.data(), r.data());
    std::copy(cipher.begin(), cipher.end(), payload.begin());
    Put_U32BE(payload.data() + 16, Crc32_Msb(r.data(), 16));
    Put_U32BE(payload.data() + 20, version);
    return payload;
}

// Reference generator step written from the rule, independent of Auth_LfsrStep.
uint32_t OneStep(uint32_t s) {
    if (s == 0)
        s = 0x80000000u;
    uint32_t bit = ((s >> 4) & 1) ^ ((s >> 1) & 1);
    return (s >> 1) | (bit << 31);
}

uint32_t Steps(uint32_t s, int count) {
    while (count-- > 0)
        s = OneStep(s);
    return s;
}

uint16_t clockMillisecond = 0;

void FixedClock(TmClock* now) {
    *now = TmClock{{2024, 3, 5, 10, 20, 30}, clockMillisecond};
}

uint32_t knownSeed = 0;
uint32_t KnownSeed() {
    return knownSeed;
}

// Milliseconds of the fixed clock's day, for the generator's step count.
uint8_t ClockK() {
    return uint8_t((10 * 3600000u + 20 * 60000u + 30 * 1000u + clockMillisecond) % 16);
}

class AuthTest : public testing::Test {
protected:
    void SetUp() override {
        Tm_SetClockSource(FixedClock);
        TMGSM_AuthKeysInit(&keys);
        ctx = AuthCtx{};
        Auth_Init(&ctx, &keys);
    }
    void TearDown() override {
        Tm_SetClockSource(nullptr);
        Auth_SetSeedSource(nullptr);
    }

    void List(uint16_t id, const Key* key) {
        keys.Ids[keys.Count] = id;
        keys.Keys[keys.Count] = key ? key->data() : nullptr;
        ++keys.Count;
    }

    int Accept(const Key& modemKey, uint16_t id, uint8_t* kind = nullptr) {
        auto payload = ModemAuth(modemKey, r, 0xFFFE0102);
        return Auth_Accept(&ctx, payload.data(), id, version, &versionNo, kind);
    }

    AuthKeys keys;
    AuthCtx ctx;
    Bytes r = FromHex("3243f6a8885a308d313198a2e0370734");
    uint8_t version[4] = {};
    uint32_t versionNo = 0;
};

TEST(AuthLfsr, StepsFollowTheFeedbackRule) {
    struct {
        uint8_t n;
        uint32_t state, after;
    } cases[] = {
        {0, 0, 0x40000000},          // zero becomes 0x80000000, feedback 0, one shift
        {0, 0x80000000, 0x40000000}, //
        {0, 0x10, 0x80000008},       // bit 4 alone feeds a 1
        {0, 0x02, 0x80000001},       // bit 1 alone feeds a 1
        {0, 0x12, 0x00000009},       // both cancel
        {1, 0x02, 0x40000000},       // n + 1 steps
    };
    for (const auto& c : cases)
        EXPECT_EQ(Auth_LfsrStep(c.n, c.state), c.after) << int(c.n) << " " << std::hex << c.state;

    std::mt19937 random(7);
    for (int i = 0; i < 200; ++i) {
        uint32_t s = random();
        uint8_t n = uint8_t(random());
        EXPECT_EQ(Auth_LfsrStep(n, s), Steps(s, n + 1));
    }
}

TEST_F(AuthTest, NonceWordsAreGeneratorStatesSpacedByTheClock) {
    for (uint16_t ms : {0, 5, 15, 999}) {
        clockMillisecond = ms;
        int k = ClockK();
        ctx.Lfsr = 0x12345678;
        Auth_NextNonce(&ctx);
        uint32_t w = Steps(Steps(0x12345678, 2), k + 1);
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(Get_U32BE(ctx.Nonce + 4 * i), w) << "ms " << ms << " word " << i;
            if (i < 3)
                w = Steps(w, k + 1);
        }
        EXPECT_EQ(ctx.Lfsr, Get_U32BE(ctx.Nonce + 12));
    }
}

TEST_F(AuthTest, StoppedGeneratorLeavesTheNonce) {
    ctx.Flags &= ~AUTH_NONCE_RUNS;
    uint8_t before[16];
    memcpy(before, ctx.Nonce, 16);
    uint32_t lfsr = ctx.Lfsr;
    Auth_NextNonce(&ctx);
    EXPECT_EQ(memcmp(before, ctx.Nonce, 16), 0);
    EXPECT_EQ(ctx.Lfsr, lfsr);
}

TEST_F(AuthTest, InitDrawsFourNoncesFromTheSeed) {
    knownSeed = 0x3D5A1C6E;
    Auth_SetSeedSource(KnownSeed);
    AuthCtx fresh{};
    Auth_Init(&fresh, &keys);
    EXPECT_EQ(fresh.Flags, AUTH_NONCE_RUNS);
    EXPECT_EQ(fresh.Keys, &keys);

    AuthCtx manual{};
    manual.Flags = AUTH_NONCE_RUNS;
    manual.Lfsr = knownSeed;
    for (int i = 0; i < 4; ++i)
        Auth_NextNonce(&manual);
    EXPECT_EQ(fresh.Lfsr, manual.Lfsr);
    EXPECT_EQ(memcmp(fresh.Nonce, manual.Nonce, 16), 0);
}

TEST_F(AuthTest, InitSeedsFromTheOperatingSystem) {
    // With a fixed seed and a fixed clock every context would start with the same nonce.
    std::vector<uint32_t> states;
    for (int i = 0; i < 8; ++i) {
        AuthCtx fresh{};
        Auth_Init(&fresh, &keys);
        states.push_back(fresh.Lfsr);
    }
    std::sort(states.begin(), states.end());
    EXPECT_GT(std::unique(states.begin(), states.end()) - states.begin(), 1);
}

TEST(AuthKeyTable, InitZeroesAndSetsTheFactoryKey) {
    AuthKeys keys;
    memset(&keys, 0xA5, sizeof keys);
    TMGSM_AuthKeysInit(&keys);
    EXPECT_EQ(memcmp(keys.SystemKey, "8888888888888888", 16), 0);
    EXPECT_EQ(keys.Count, 0);
    for (int i = 0; i < AUTH_MAX_LISTED; ++i) {
        EXPECT_EQ(keys.Ids[i], 0);
        EXPECT_EQ(keys.Keys[i], nullptr);
    }
}

// The key trial against a table with a system key, two listed modems and (optionally) a pending key.
struct TrialCase {
    const char* name;
    char modemKey; // F factory, S system, A key of modem 100, B key of modem 200, P pending, Z zeros, X other
    uint16_t id;
    bool pendingSet;
    bool accepted;
    bool factory;
    bool pending;
};

const TrialCase trialCases[] = {
    {"FactoryKeyUnlisted", 'F', 7, false, true, true, false},
    {"FactoryKeyOfAListedModem", 'F', 100, false, true, true, false},
    {"ListedModemOwnKey", 'A', 100, false, true, false, false},
    {"ListedModemWithSystemKeyIsRejected", 'S', 100, false, false, false, false},
    {"ListedModemWithAnotherListedKeyIsRejected", 'B', 100, false, false, false, false},
    {"ListedModemWithPendingKeyIsRejected", 'P', 100, true, false, false, false},
    {"UnlistedModemSystemKey", 'S', 7, false, true, false, false},
    {"UnlistedModemPendingKey", 'P', 7, true, true, false, true},
    {"PendingKeyNeverSetIsNotTried", 'P', 7, false, false, false, false},
    {"ZeroKeyWithoutSetKeyIsRejected", 'Z', 7, false, false, false, false},
    {"UnknownKeyIsRejected", 'X', 7, true, false, false, false},
};

class AuthTrialTest : public AuthTest, public testing::WithParamInterface<TrialCase> {};

TEST_P(AuthTrialTest, TriesTheKeysInOrder) {
    const TrialCase& c = GetParam();
    Key system = KeyOf("00112233445566778899aabbccddeeff"), a = KeyOf("a0a1a2a3a4a5a6a7a8a9aaabacadaeaf"),
        b = KeyOf("b0b1b2b3b4b5b6b7b8b9babbbcbdbebf"), pending = KeyOf("0f1e2d3c4b5a69788796a5b4c3d2e1f0"),
        other = KeyOf("deadbeefdeadbeefdeadbeefdeadbeef"), zeros{};
    memcpy(keys.SystemKey, system.data(), 16);
    List(100, &a);
    List(200, &b);
    if (c.pendingSet)
        Auth_SetPendingKey(&ctx, pending.data());
    const Key* modemKey = nullptr;
    switch (c.modemKey) {
    case 'F':
        modemKey = nullptr;
        break;
    case 'S':
        modemKey = &system;
        break;
    case 'A':
        modemKey = &a;
        break;
    case 'B':
        modemKey = &b;
        break;
    case 'P':
        modemKey = &pending;
        break;
    case 'Z':
        modemKey = &zeros;
        break;
    default:
        modemKey = &other;
    }
    Key factory = FactoryKey();
    const Key& used = modemKey ? *modemKey : factory;

    auto payload = ModemAuth(used, r, 0xFFFE0102);
    auto received = payload;
    uint8_t kind = 9;
    int result = Auth_Accept(&ctx, received.data(), c.id, version, &versionNo, &kind);
    EXPECT_EQ(result, c.accepted ? 1 : 0);
    EXPECT_EQ(kind, 2);
    EXPECT_EQ(Auth_IsOk(&ctx), c.accepted);
    EXPECT_EQ(Auth_UsedFactoryKey(&ctx), c.factory);
    EXPECT_EQ(Auth_UsedPendingKey(&ctx), c.pending);
    EXPECT_EQ(bool(ctx.Flags & AUTH_REJECTED), !c.accepted);
    EXPECT_EQ(bool(ctx.Flags & AUTH_NONCE_RUNS), !c.accepted) << "stopped until the reply is built";
    if (c.accepted) {
        EXPECT_EQ(memcmp(ctx.MatchedKey, used.data(), 16), 0);
    } else {
        EXPECT_EQ(memcmp(received.data(), payload.data(), 32), 0) << "payload restored";
    }
}

INSTANTIATE_TEST_SUITE_P(Keys, AuthTrialTest, testing::ValuesIn(trialCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(AuthTest, ZeroPendingKeyOpensOnlyAfterSetKeySentIt) {
    Key zeros{};
    EXPECT_EQ(Accept(zeros, 7), 0);
    Auth_SetPendingKey(&ctx, zeros.data());
    EXPECT_EQ(Accept(zeros, 7), 1);
    EXPECT_TRUE(Auth_UsedPendingKey(&ctx));
}

TEST_F(AuthTest, OnlyTheFirst256EntriesAreSearched) {
    static Key own[AUTH_MAX_LISTED + 1];
    Key system = KeyOf("00112233445566778899aabbccddeeff");
    memcpy(keys.SystemKey, system.data(), 16);
    for (int i = 0; i < AUTH_MAX_LISTED; ++i) {
        own[i] = KeyOf("11111111111111111111111111111111");
        own[i][0] = uint8_t(i);
        List(uint16_t(1000 + i), &own[i]);
    }
    keys.Count = 300; // claims more than the table holds
    // Entry 255 is searched, so its modem opens only with its own key.
    EXPECT_EQ(Accept(own[255], 1255), 1);
    EXPECT_EQ(Accept(system, 1255), 0);
    // A modem that is not among the first 256 is unlisted: the system key opens it.
    EXPECT_EQ(Accept(system, 1256), 1);
}

TEST_F(AuthTest, ModemKeyIsTheFirstListedEntryElseTheSystemKey) {
    Key first = KeyOf("a0a1a2a3a4a5a6a7a8a9aaabacadaeaf"), second = KeyOf("b0b1b2b3b4b5b6b7b8b9babbbcbdbebf");
    List(100, &first);
    List(200, nullptr);
    List(100, &second);
    const struct {
        uint16_t id;
        const uint8_t* key;
        bool listed;
    } cases[] = {{100, first.data(), true}, {200, nullptr, true}, {300, keys.SystemKey, false}};
    for (const auto& c : cases) {
        bool listed = !c.listed;
        EXPECT_EQ(Auth_ModemKey(&keys, c.id, &listed), c.key) << c.id;
        EXPECT_EQ(listed, c.listed) << c.id;
        EXPECT_EQ(Auth_ModemKey(&keys, c.id, nullptr), c.key) << c.id;
    }
}

TEST_F(AuthTest, FirstOfTwoEntriesWithTheSameIdCounts) {
    Key first = KeyOf("a0a1a2a3a4a5a6a7a8a9aaabacadaeaf"), second = KeyOf("b0b1b2b3b4b5b6b7b8b9babbbcbdbebf");
    List(100, &first);
    List(100, &second);
    EXPECT_EQ(Accept(first, 100), 1);
    EXPECT_EQ(Accept(second, 100), 0);
}

TEST_F(AuthTest, ListedEntryWithoutKeyOpensNothingButTheFactoryKey) {
    List(100, nullptr);
    EXPECT_EQ(Accept(KeyOf("00000000000000000000000000000000"), 100), 0);
    EXPECT_EQ(Accept(FactoryKey(), 100), 1);
}

TEST_F(AuthTest, ContextWithoutTableAcceptsTheFactoryKeyOnly) {
    AuthCtx bare{};
    auto payload = ModemAuth(FactoryKey(), r, 0);
    EXPECT_EQ(Auth_Accept(&bare, payload.data(), 1, version, &versionNo, nullptr), 1);
    payload = ModemAuth(KeyOf("00112233445566778899aabbccddeeff"), r, 0);
    EXPECT_EQ(Auth_Accept(&bare, payload.data(), 1, version, &versionNo, nullptr), 0);
}

TEST_F(AuthTest, RejectionClearsAnEarlierAcceptance) {
    EXPECT_EQ(Accept(FactoryKey(), 1), 1);
    EXPECT_EQ(Accept(KeyOf("deadbeefdeadbeefdeadbeefdeadbeef"), 1), 0);
    EXPECT_FALSE(Auth_IsOk(&ctx));
    EXPECT_FALSE(Auth_UsedFactoryKey(&ctx));
    EXPECT_EQ(Accept(FactoryKey(), 1), 1);
    EXPECT_EQ(ctx.Flags & AUTH_REJECTED, 0u);
}

TEST_F(AuthTest, TryKeyRestoresBlockAndMatchedKeyOnFailure) {
    Key k = KeyOf("2b7e151628aed2a6abf7158809cf4f3c");
    auto payload = ModemAuth(k, r, 0);
    auto original = payload;
    memset(ctx.MatchedKey, 0x5C, 16);
    EXPECT_EQ(Auth_TryKey(&ctx, payload.data(), FactoryKey().data()), 0);
    EXPECT_EQ(memcmp(payload.data(), original.data(), 32), 0);
    EXPECT_EQ(ctx.MatchedKey[0], 0x5C);
    EXPECT_EQ(ctx.MatchedKey[15], 0x5C);
    EXPECT_EQ(Auth_TryKey(&ctx, payload.data(), k.data()), 1);
    EXPECT_EQ(memcmp(payload.data(), r.data(), 16), 0) << "left decrypted";
}

TEST_F(AuthTest, SessionKeyAndProofForFixedValues) {
    Key k = KeyOf("2b7e151628aed2a6abf7158809cf4f3c");
    Bytes n = FromHex("0f0e0d0c0b0a09080706050403020100");
    memcpy(ctx.Nonce, n.data(), 16);
    List(42, &k);
    ASSERT_EQ(Accept(k, 42), 1);
    // AES-128 with the key 3243f6a8885a308d 0f0e0d0c0b0a0908 (R[0..7] N[0..7]) over K.
    Bytes expected = FromHex("4b775ec7a76648a0fd268f80c543a0e4");
    EXPECT_EQ(Bytes(ctx.SessKey, ctx.SessKey + 16), expected);
    // R0^R9, R2^R11, R4^R13, R6^R15.
    EXPECT_EQ(Bytes(ctx.Proof, ctx.Proof + 4), FromHex("0354bf04"));
    EXPECT_FALSE(Auth_UsedFactoryKey(&ctx));
    EXPECT_FALSE(Auth_UsedPendingKey(&ctx));
}

TEST_F(AuthTest, ReplyCarriesTheNonceMixedIntoTheSessionKey) {
    Key k = KeyOf("2b7e151628aed2a6abf7158809cf4f3c");
    List(42, &k);
    ASSERT_EQ(Accept(k, 42), 1);
    // Stopped generator: building blocks before the reply does not change the nonce.
    Auth_NextNonce(&ctx);

    uint8_t reply[AUTH_PAYLOAD_SIZE];
    memset(reply, 0xEE, sizeof reply);
    EXPECT_EQ(Auth_CreateResp(&ctx, reply), reply + AUTH_PAYLOAD_SIZE);
    EXPECT_TRUE(ctx.Flags & AUTH_NONCE_RUNS);
    EXPECT_EQ(reply[24], 0xEE) << "bytes 24-31 are the link's";

    // The modem decrypts N with its key, checks the CRC and the proof, and derives the same session key.
    AesCtx aes;
    Aes_SetKey(&aes, k.data(), 128);
    uint8_t n[20];
    Aes_Decrypt(&aes, reply, n);
    memcpy(n + 16, reply + 16, 4);
    EXPECT_EQ(Crc32_Msb(n, 20), 0u);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(reply[20 + i], r[2 * i] ^ r[2 * i + 9]);
    uint8_t mixed[16];
    memcpy(mixed, r.data(), 8);
    memcpy(mixed + 8, n, 8);
    EXPECT_EQ(Encrypt(mixed, k.data()), Bytes(ctx.SessKey, ctx.SessKey + 16));
}

TEST_F(AuthTest, VersionWordKinds) {
    struct {
        uint32_t word;
        uint8_t kind;
        uint8_t digits[4];
        uint32_t versionNo; // 77: unchanged
    } cases[] = {
        {0xFFFF1234, 1, {1, 2, 3, 4}, 77},  {0xFFFE1203, 2, {1, 2, 0, 3}, 102},
        {0xFFFE0A05, 2, {0, 10, 0, 5}, 10}, {0xFFFD1234, 0, {0xFF, 0xFD, 0x12, 0x34}, 77},
        {0x01020304, 0, {1, 2, 3, 4}, 77},
    };
    for (const auto& c : cases) {
        // Rejected or not, the version is decoded.
        for (const Key& key : {FactoryKey(), KeyOf("deadbeefdeadbeefdeadbeefdeadbeef")}) {
            auto payload = ModemAuth(key, r, c.word);
            versionNo = 77;
            uint8_t kind = 9;
            Auth_Accept(&ctx, payload.data(), 1, version, &versionNo, &kind);
            EXPECT_EQ(kind, c.kind) << std::hex << c.word;
            EXPECT_EQ(Bytes(version, version + 4), Bytes(c.digits, c.digits + 4)) << std::hex << c.word;
            EXPECT_EQ(versionNo, c.versionNo) << std::hex << c.word;
        }
    }
}

// Decrypts a block with a session key, as the modem would.
Bytes Decrypt(const uint8_t* key, const uint8_t* data, size_t n) {
    AesCtx aes;
    Aes_SetKey(&aes, key, 128);
    Bytes out(data, data + n);
    for (size_t i = 0; i + 16 <= n; i += 16)
        Aes_Decrypt(&aes, out.data() + i, out.data() + i);
    return out;
}

class BlockTest : public AuthTest {
protected:
    void SetUp() override {
        AuthTest::SetUp();
        Auth_SetSessKey(&ctx, KeyOf("000102030405060708090a0b0c0d0e0f").data());
    }
    Bytes Data(size_t n) {
        Bytes data(n);
        for (size_t i = 0; i < n; ++i)
            data[i] = uint8_t(i * 7 + 1);
        return data;
    }
};

TEST_F(BlockTest, CrcClosedBlockSizesAndLayout) {
    struct {
        uint16_t n, padded;
        bool marker;
    } cases[] = {{0, 16, true},  {1, 16, true},   {11, 16, true}, {12, 16, false},
                 {13, 32, true}, {28, 32, false}, {29, 48, true}, {100, 112, true}};
    for (const auto& c : cases) {
        Bytes data = Data(c.n);
        Bytes buf(c.padded);
        std::copy(data.begin(), data.end(), buf.begin());
        ASSERT_EQ(Auth_EncryptBlk(&ctx, buf.data(), c.n), c.padded) << c.n;
        Bytes plain = Decrypt(ctx.SessKey, buf.data(), c.padded);
        EXPECT_TRUE(std::equal(data.begin(), data.end(), plain.begin())) << c.n;
        if (c.marker) {
            EXPECT_EQ(plain[c.n], 0xFF) << c.n;
            size_t filler = c.padded - c.n - 5;
            EXPECT_EQ(memcmp(plain.data() + c.n + 1, ctx.Nonce, filler), 0) << c.n;
        }
        EXPECT_EQ(Get_U32BE(plain.data() + c.padded - 4), Crc32_Msb(plain.data(), c.padded - 4)) << c.n;
        EXPECT_EQ(Auth_DecryptBlk(&ctx, buf.data(), c.padded), 1) << c.n;
        EXPECT_EQ(buf, plain);
    }
}

TEST_F(BlockTest, WideCrcClosedBlockIsTheSameBlockBelow64K) {
    for (uint32_t n : {0u, 13u, 4000u, 65516u}) {
        AuthCtx wide = ctx;
        Bytes narrow = Data(n), wider = Data(n);
        narrow.resize((n + 19) & ~15u);
        wider.resize(narrow.size());
        uint16_t p = Auth_EncryptBlk(&ctx, narrow.data(), uint16_t(n));
        EXPECT_EQ(Auth_EncryptBlk32(&wide, wider.data(), n), p) << n;
        EXPECT_EQ(wider, narrow) << n;
        EXPECT_EQ(Auth_DecryptBlk32(&wide, wider.data(), p), 1) << n;
    }
}

TEST_F(BlockTest, WideCrcClosedBlockHoldsMoreThan64K) {
    for (uint32_t n : {65517u, 70000u, 300000u}) {
        Bytes data = Data(n);
        Bytes buf = data;
        buf.resize((n + 19) & ~15u);
        uint32_t p = Auth_EncryptBlk32(&ctx, buf.data(), n);
        ASSERT_EQ(p, buf.size()) << n;
        EXPECT_EQ(Auth_DecryptBlk32(&ctx, buf.data(), p), 1) << n;
        EXPECT_TRUE(std::equal(data.begin(), data.end(), buf.begin())) << n;
        Auth_EncryptBlk32(&ctx, buf.data(), n);
        buf[p - 1] ^= 1; // in the last block, past the first 64 KB but in the smallest case
        EXPECT_EQ(Auth_DecryptBlk32(&ctx, buf.data(), p), 0) << "damaged " << n;
    }
}

TEST_F(BlockTest, CommandBlockSizesAndLayout) {
    struct {
        uint16_t n, padded;
    } cases[] = {{0, 0}, {1, 16}, {15, 16}, {16, 16}, {17, 32}, {1000, 1008}, {1008, 1008}};
    for (const auto& c : cases) {
        Bytes data = Data(c.n);
        Bytes buf(c.padded + 4);
        std::copy(data.begin(), data.end(), buf.begin());
        ASSERT_EQ(Auth_EncryptBlkCrc(&ctx, buf.data(), c.n), c.padded) << c.n;
        Bytes plain = Decrypt(ctx.SessKey, buf.data(), c.padded);
        EXPECT_TRUE(std::equal(data.begin(), data.end(), plain.begin())) << c.n;
        if (c.padded > c.n) {
            EXPECT_EQ(plain[c.n], 0xFF) << c.n;
            EXPECT_EQ(memcmp(plain.data() + c.n + 1, ctx.Nonce, c.padded - c.n - 1), 0) << c.n;
        }
        EXPECT_EQ(Get_U32BE(buf.data() + c.padded), Crc32_Msb(plain.data(), c.padded)) << c.n;
        Bytes copy = buf;
        EXPECT_EQ(Auth_DecryptBlk(&ctx, buf.data(), uint16_t(c.padded + 4)), 1) << c.n;
        if (c.padded > 0) {
            EXPECT_EQ(Auth_DecryptBlk(&ctx, copy.data(), c.padded), 0) << "without its CRC " << c.n;
        }
    }
}

TEST_F(BlockTest, EmptyCommandBlockIsJustTheEmptyCrc) {
    uint8_t buf[4] = {};
    EXPECT_EQ(Auth_EncryptBlkCrc(&ctx, buf, 0), 0);
    EXPECT_EQ(Get_U32BE(buf), 0xFFFFFFFFu);
    EXPECT_EQ(Auth_DecryptBlk(&ctx, buf, 4), 1);
}

TEST_F(BlockTest, WrongKeyOrDamageFailsTheCheck) {
    Bytes buf = Data(40);
    buf.resize(48 + 4);
    uint16_t p = Auth_EncryptBlkCrc(&ctx, buf.data(), 40);
    ASSERT_EQ(p, 48);
    for (size_t at : {size_t(0), size_t(20), size_t(47), size_t(50)}) {
        Bytes damaged = buf;
        damaged[at] ^= 0x01;
        EXPECT_EQ(Auth_DecryptBlk(&ctx, damaged.data(), 52), 0) << at;
    }
    AuthCtx other = ctx;
    Auth_SetSessKey(&other, KeyOf("ffffffffffffffffffffffffffffffff").data());
    Bytes copy = buf;
    EXPECT_EQ(Auth_DecryptBlk(&other, copy.data(), 52), 0);
}

TEST_F(BlockTest, NeverInitialisedContextFillsWithItsNonceAsItStands) {
    AuthCtx bare{};
    memset(bare.Nonce, 0x3C, 16);
    Auth_SetSessKey(&bare, ctx.SessKey);
    Bytes buf(32);
    Auth_EncryptBlk(&bare, buf.data(), 13);
    Bytes plain = Decrypt(bare.SessKey, buf.data(), 32);
    EXPECT_EQ(plain[13], 0xFF);
    for (int i = 14; i < 28; ++i)
        EXPECT_EQ(plain[i], 0x3C) << i;
}

TEST_F(BlockTest, RandomDataRoundTripsInBothFormats) {
    std::mt19937 random(1234);
    for (int i = 0; i < 500; ++i) {
        uint16_t n = uint16_t(random() % 1009);
        Bytes data(n);
        for (auto& b : data)
            b = uint8_t(random());
        Bytes cmd(n + 20), closed(n + 20);
        std::copy(data.begin(), data.end(), cmd.begin());
        std::copy(data.begin(), data.end(), closed.begin());
        uint16_t p = Auth_EncryptBlkCrc(&ctx, cmd.data(), n);
        ASSERT_EQ(Auth_DecryptBlk(&ctx, cmd.data(), uint16_t(p + 4)), 1);
        EXPECT_TRUE(std::equal(data.begin(), data.end(), cmd.begin()));
        uint16_t q = Auth_EncryptBlk(&ctx, closed.data(), n);
        ASSERT_EQ(Auth_DecryptBlk(&ctx, closed.data(), q), 1);
        EXPECT_TRUE(std::equal(data.begin(), data.end(), closed.begin()));
    }
}

// Outside bytes: random AUTH payloads and randomly damaged blocks of exact size, so that the sanitizers see
// any read or write past them.
TEST_F(BlockTest, RandomDamageIsRejectedWithoutStrayAccess) {
    std::mt19937 random(99);
    for (int i = 0; i < 3000; ++i) {
        std::vector<uint8_t> payload(AUTH_PAYLOAD_SIZE);
        for (auto& b : payload)
            b = uint8_t(random());
        uint8_t kind;
        EXPECT_EQ(Auth_Accept(&ctx, payload.data(), uint16_t(random()), version, &versionNo, &kind), 0);
        EXPECT_LE(kind, 2);

        uint16_t n = uint16_t(random() % 1009);
        Bytes block = Data(n);
        block.resize(n + 20);
        block.resize(Auth_EncryptBlkCrc(&ctx, block.data(), n) + 4u);
        int flips = 1 + int(random() % 4);
        for (int f = 0; f < flips; ++f)
            block[random() % block.size()] ^= uint8_t(1 + random() % 255);
        uint16_t len = uint16_t(random() % 2 ? block.size() : random() % (block.size() + 1));
        Bytes exact(block.begin(), block.begin() + len);
        EXPECT_EQ(Auth_DecryptBlk(&ctx, exact.data(), len), 0) << i;
    }
}

} // namespace
