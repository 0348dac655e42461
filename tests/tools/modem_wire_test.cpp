// The simulator's wire code against vectors worked out by hand from the frame layout.
#include "tools/modem-sim/ModemWire.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

using namespace modemsim;

namespace {

using Bytes = std::vector<uint8_t>;

const uint8_t kKey[16] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                          0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};

Bytes Counting(size_t n, uint8_t from = 0) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = uint8_t(from + i);
    return b;
}

AesCtx KeyedWith(const uint8_t key[16]) {
    AesCtx aes;
    Aes_SetKey(&aes, key, 128);
    return aes;
}

} // namespace

TEST(ModemWire, ControlWordPacksTheFieldsAtTheirBits) {
    struct Case {
        Control c;
        uint16_t word;
    };
    const Case cases[] = {
        {{FrameI, 3, 5, 62}, 0x7D58}, // 0 | 3 << 3 | 5 << 6 | 62 << 9
        {{FrameRR, 0, 2, 0}, 0x0081},
        {{FrameAuth, 0, 0, 32}, 0x4004},
        {{FrameAI, 7, 7, 63}, 0x7FFD},
    };
    for (const Case& k : cases) {
        EXPECT_EQ(Control_Pack(k.c), k.word);
        const Control back = Control_Unpack(k.word);
        EXPECT_EQ(back.type, k.c.type);
        EXPECT_EQ(back.ns, k.c.ns);
        EXPECT_EQ(back.nr, k.c.nr);
        EXPECT_EQ(back.length, k.c.length);
    }
}

TEST(ModemWire, HeadersCarryTheirCrc8) {
    // CRC-8/SMBUS of 12 34 00 81 and of 01 02 40 04, worked out bit by bit.
    uint8_t rr[7];
    ASSERT_EQ(Frame_WriteS(rr, 0x1234, FrameRR, 2), 7u);
    EXPECT_EQ(Bytes(rr, rr + 7), (Bytes{0x55, 0xAA, 0x12, 0x34, 0x00, 0x81, 0x8F}));

    uint8_t payload[32] = {};
    uint8_t auth[41];
    ASSERT_EQ(Frame_WriteAuth(auth, 0x0102, payload), 41u);
    EXPECT_EQ(Bytes(auth, auth + 7), (Bytes{0x55, 0xAA, 0x01, 0x02, 0x40, 0x04, 0x87}));
    EXPECT_EQ(auth[39], 0); // CRC-16/XMODEM of 32 zero bytes is 0
    EXPECT_EQ(auth[40], 0);

    uint8_t i[7];
    Header_Write(i, 0x0001, Control{FrameI, 3, 5, 0});
    EXPECT_EQ(Bytes(i, i + 7), (Bytes{0x55, 0xAA, 0x00, 0x01, 0x01, 0x58, 0xF1}));
}

TEST(ModemWire, AuthPayloadOpensWithTheKeyToItsFields) {
    AuthRequest req;
    const Bytes r = Counting(16, 0x40);
    memcpy(req.random, r.data(), 16);
    const uint8_t digits[4] = {1, 5, 0, 3};
    req.versionWord = VersionWord(2, digits);
    req.lastRxId = 0x1234;
    req.lastRxSize = 0x0056;
    req.options = 1;
    uint8_t out[32];
    AuthRequest_Write(kKey, req, out);

    const AesCtx aes = KeyedWith(kKey);
    uint8_t plain[16];
    Aes_Decrypt(&aes, out, plain);
    EXPECT_EQ(Bytes(plain, plain + 16), r);
    uint8_t closed[20];
    memcpy(closed, plain, 16);
    memcpy(closed + 16, out + 16, 4);
    EXPECT_EQ(Crc32_Msb(closed, 20), 0u);
    EXPECT_EQ(Bytes(out + 20, out + 32),
              (Bytes{0xFF, 0xFE, 0x15, 0x03, 0x12, 0x34, 0x00, 0x56, 0x00, 0x00, 0x00, 0x01}));
}

TEST(ModemWire, VersionWordAndNumberFollowTheKind) {
    const uint8_t d[4] = {1, 4, 2, 9};
    EXPECT_EQ(VersionWord(2, d), 0xFFFE1429u);
    EXPECT_EQ(VersionWord(1, d), 0xFFFF1429u);
    EXPECT_EQ(VersionWord(0, d), 0x01040209u);
    EXPECT_EQ(VersionNumber(2, d), 104u);
    EXPECT_EQ(VersionNumber(1, d), 0u);
    EXPECT_EQ(VersionNumber(0, d), 0u);
}

TEST(ModemWire, ReplyIsCheckedAndGivesTheSessionKey) {
    const Bytes r = Counting(16, 0x10);
    const Bytes nonce = Counting(16, 0xA0);
    auto makeReply = [&](uint8_t* p) {
        const AesCtx aes = KeyedWith(kKey);
        Aes_Encrypt(&aes, nonce.data(), p);
        const uint32_t crc = Crc32_Msb(nonce.data(), 16);
        Put_U32BE(p + 16, crc);
        AuthProof(r.data(), p + 20);
        Put_U16BE(p + 24, 7);
        Put_U16BE(p + 26, 99);
        p[28] = 0x10;
        p[29] = p[30] = 0;
        p[31] = 1;
    };
    uint8_t payload[32];
    makeReply(payload);
    // Proof bytes by hand: R0^R9, R2^R11, R4^R13, R6^R15 with R = 10 11 ... 1F.
    EXPECT_EQ(Bytes(payload + 20, payload + 24), (Bytes{0x10 ^ 0x19, 0x12 ^ 0x1B, 0x14 ^ 0x1D, 0x16 ^ 0x1F}));

    AuthReply reply;
    ASSERT_EQ(AuthReply_Read(kKey, r.data(), payload, &reply), ReplyCheck::Ok);
    EXPECT_EQ(Bytes(reply.nonce, reply.nonce + 16), nonce);
    EXPECT_EQ(reply.lastRxId, 7);
    EXPECT_EQ(reply.lastRxSize, 99);
    EXPECT_EQ(reply.options, 1);

    struct Damage {
        size_t at;
        ReplyCheck result;
    };
    for (const Damage& d : {Damage{3, ReplyCheck::BadNonceCrc}, Damage{17, ReplyCheck::BadNonceCrc},
                            Damage{21, ReplyCheck::BadProof}, Damage{28, ReplyCheck::BadTail},
                            Damage{30, ReplyCheck::BadTail}}) {
        uint8_t bad[32];
        makeReply(bad);
        bad[d.at] ^= 0x01;
        EXPECT_EQ(AuthReply_Read(kKey, r.data(), bad, &reply), d.result) << "byte " << d.at;
    }
    uint8_t otherKey[16];
    memcpy(otherKey, kKey, 16);
    otherKey[0] ^= 1;
    EXPECT_EQ(AuthReply_Read(otherKey, r.data(), payload, &reply), ReplyCheck::BadNonceCrc);

    // Session key: AES-128 of K under R[0..7] N[0..7].
    uint8_t mix[16];
    memcpy(mix, r.data(), 8);
    memcpy(mix + 8, nonce.data(), 8);
    const AesCtx mixAes = KeyedWith(mix);
    uint8_t expected[16];
    Aes_Encrypt(&mixAes, kKey, expected);
    uint8_t sess[16];
    SessionKey_Derive(r.data(), nonce.data(), kKey, sess);
    EXPECT_EQ(Bytes(sess, sess + 16), Bytes(expected, expected + 16));
}

TEST(ModemWire, BlocksArePaddedEncryptedAndClosedByTheirCrc) {
    const AesCtx aes = KeyedWith(kKey);
    const uint8_t filler[16] = {0xF0, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7,
                                0xF8, 0xF9, 0xFA, 0xFB, 0xFC, 0xFD, 0xFE, 0xFF};
    struct Case {
        size_t n, padded;
    };
    for (const Case& c : {Case{1, 16}, Case{15, 16}, Case{16, 16}, Case{17, 32}, Case{1008, 1008}}) {
        const Bytes plain = Counting(c.n);
        Bytes buf(c.padded + 4);
        memcpy(buf.data(), plain.data(), c.n);
        ASSERT_EQ(Block_Seal(&aes, buf.data(), c.n, filler), c.padded) << c.n;

        // Expected by hand: the data, 0xFF and the filler when padded, CRC of the padded plaintext.
        Bytes expected = plain;
        if (c.padded > c.n) {
            expected.push_back(0xFF);
            expected.insert(expected.end(), filler, filler + (c.padded - c.n - 1));
        }
        const uint32_t crc = Crc32_Msb(expected.data(), uint32_t(expected.size()));
        Bytes decrypted(buf.begin(), buf.begin() + ptrdiff_t(c.padded));
        for (size_t i = 0; i < c.padded; i += 16)
            Aes_Decrypt(&aes, &decrypted[i], &decrypted[i]);
        EXPECT_EQ(decrypted, expected) << c.n;
        EXPECT_EQ(Get_U32BE(&buf[c.padded]), crc) << c.n;

        Bytes open = buf;
        EXPECT_TRUE(Block_Open(&aes, open.data(), open.size())) << c.n;
        EXPECT_EQ(Bytes(open.begin(), open.begin() + ptrdiff_t(c.n)), plain);
        Bytes damaged = buf;
        damaged[c.padded / 2] ^= 0x80;
        EXPECT_FALSE(Block_Open(&aes, damaged.data(), damaged.size())) << c.n;
        Bytes shortLen = buf;
        EXPECT_FALSE(Block_Open(&aes, shortLen.data(), c.padded)) << c.n; // the CRC left out
    }
}

TEST(ModemWire, ScanFindsFramesAndDropsWhatIsMalformed) {
    uint8_t rr[7];
    Frame_WriteS(rr, 0x0A0B, FrameRR, 3);
    uint8_t badCrc[7];
    memcpy(badCrc, rr, 7);
    badCrc[6] ^= 1;
    uint8_t auth31[7], i63[7], type6[7], i0[7];
    Header_Write(auth31, 1, Control{FrameAuth, 0, 0, 31});
    Header_Write(i63, 1, Control{FrameI, 0, 0, 63});
    Header_Write(type6, 1, Control{6, 0, 0, 0});
    Header_Write(i0, 1, Control{FrameI, 0, 0, 0});
    uint8_t payload[32] = {1, 2, 3};
    uint8_t auth[41];
    Frame_WriteAuth(auth, 1, payload);
    uint8_t authBad[41];
    memcpy(authBad, auth, 41);
    authBad[10] ^= 1;

    struct Case {
        const char* name;
        Bytes bytes;
        ScanResult result;
        size_t consumed;
    };
    const Case cases[] = {
        {"empty", {}, ScanResult::NeedMore, 0},
        {"garbage", {1, 2, 3}, ScanResult::Garbage, 3},
        {"garbage keeps a last 0x55", {1, 2, 0x55}, ScanResult::Garbage, 2},
        {"a lone 0x55 waits", {0x55}, ScanResult::NeedMore, 0},
        {"garbage before a frame", {9, 9, 0x55, 0xAA, 0x0A}, ScanResult::Garbage, 2},
        {"short header", Bytes(rr, rr + 6), ScanResult::NeedMore, 0},
        {"RR", Bytes(rr, rr + 7), ScanResult::Frame, 7},
        {"bad header CRC drops the sync word", Bytes(badCrc, badCrc + 7), ScanResult::BadHeader, 2},
        {"AUTH with L = 31", Bytes(auth31, auth31 + 7), ScanResult::BadLength, 7},
        {"I with L = 63", Bytes(i63, i63 + 7), ScanResult::BadLength, 7},
        {"type 6", Bytes(type6, type6 + 7), ScanResult::BadLength, 7},
        {"I waits for its block", Bytes(i0, i0 + 7), ScanResult::NeedMore, 0},
        {"AUTH", Bytes(auth, auth + 41), ScanResult::Frame, 41},
        {"AUTH cut short", Bytes(auth, auth + 40), ScanResult::NeedMore, 0},
        {"AUTH with a bad CRC-16", Bytes(authBad, authBad + 41), ScanResult::BadAuthCrc, 41},
    };
    for (const Case& c : cases) {
        FrameView f;
        size_t consumed = 99;
        EXPECT_EQ(Frame_Scan(c.bytes.data(), c.bytes.size(), &f, &consumed), c.result) << c.name;
        EXPECT_EQ(consumed, c.consumed) << c.name;
    }

    Bytes i(7 + 16 + 4, 0);
    memcpy(i.data(), i0, 7);
    FrameView f;
    size_t consumed = 0;
    ASSERT_EQ(Frame_Scan(i.data(), i.size(), &f, &consumed), ScanResult::Frame);
    EXPECT_EQ(consumed, 27u);
    EXPECT_EQ(f.payloadLen, 20u);
    EXPECT_EQ(f.payload, i.data() + 7);
    EXPECT_EQ(f.modemId, 1);
    ASSERT_EQ(Frame_Scan(auth, 41, &f, &consumed), ScanResult::Frame);
    EXPECT_EQ(f.payloadLen, 32u);
    EXPECT_EQ(f.payload[2], 3);
}
