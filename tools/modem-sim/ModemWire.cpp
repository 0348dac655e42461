#include "tools/modem-sim/ModemWire.h"

#include <cstring>

namespace modemsim {

const uint8_t kFactoryKey[16] = {'8', '8', '8', '8', '8', '8', '8', '8',
                                 '8', '8', '8', '8', '8', '8', '8', '8'};

const char* FrameType_Name(uint8_t type) {
    static const char* const names[8] = {"I", "RR", "REJ", "RNR", "AUTH", "AI", "type6", "type7"};
    return names[type & 7];
}

uint16_t Control_Pack(const Control& c) {
    return uint16_t((c.type & 7) | (c.ns & 7) << 3 | (c.nr & 7) << 6 | (c.length & 63) << 9);
}

Control Control_Unpack(uint16_t word) {
    return Control{uint8_t(word & 7), uint8_t(word >> 3 & 7), uint8_t(word >> 6 & 7),
                   uint8_t(word >> 9 & 63)};
}

void Header_Write(uint8_t* out, uint16_t modemId, const Control& c) {
    out[0] = 0x55;
    out[1] = 0xAA;
    Put_U16BE(out + 2, modemId);
    Put_U16BE(out + 4, Control_Pack(c));
    out[6] = Crc8(out + 2, 4);
}

size_t Frame_WriteS(uint8_t* out, uint16_t modemId, uint8_t type, uint8_t nr) {
    Header_Write(out, modemId, Control{type, 0, nr, 0});
    return kHeaderSize;
}

size_t Frame_WriteAuth(uint8_t* out, uint16_t modemId, const uint8_t payload[kAuthPayloadSize]) {
    Header_Write(out, modemId, Control{FrameAuth, 0, 0, uint8_t(kAuthPayloadSize)});
    memcpy(out + kHeaderSize, payload, kAuthPayloadSize);
    Put_U16BE(out + kHeaderSize + kAuthPayloadSize, Crc16(payload, kAuthPayloadSize));
    return kAuthFrameSize;
}

namespace {

// Offset of the first sync word, or n when there is none.
size_t FindSync(const uint8_t* buf, size_t n) {
    for (size_t i = 0; i + 1 < n; ++i)
        if (buf[i] == 0x55 && buf[i + 1] == 0xAA)
            return i;
    return n;
}

} // namespace

ScanResult Frame_Scan(const uint8_t* buf, size_t n, FrameView* frame, size_t* consumed) {
    *consumed = 0;
    const size_t sync = FindSync(buf, n);
    if (sync == n) {
        // A last 0x55 may be the first half of the next sync word.
        *consumed = (n > 0 && buf[n - 1] == 0x55) ? n - 1 : n;
        return *consumed ? ScanResult::Garbage : ScanResult::NeedMore;
    }
    if (sync > 0) {
        *consumed = sync;
        return ScanResult::Garbage;
    }
    if (n < kHeaderSize)
        return ScanResult::NeedMore;
    if (Crc8(buf + 2, 5) != 0) {
        *consumed = 2;
        return ScanResult::BadHeader;
    }
    frame->modemId = Get_U16BE(buf + 2);
    frame->ctl = Control_Unpack(Get_U16BE(buf + 4));
    frame->payload = nullptr;
    frame->payloadLen = 0;
    size_t payload = 0;
    switch (frame->ctl.type) {
    case FrameRR:
    case FrameREJ:
    case FrameRNR:
        break;
    case FrameAuth:
        if (frame->ctl.length != kAuthPayloadSize) {
            *consumed = kHeaderSize;
            return ScanResult::BadLength;
        }
        payload = kAuthPayloadSize + 2;
        break;
    case FrameI:
    case FrameAI:
        if (frame->ctl.length > kMaxLengthCode) {
            *consumed = kHeaderSize;
            return ScanResult::BadLength;
        }
        payload = 16 * (size_t(frame->ctl.length) + 1) + kBlockCrcSize;
        break;
    default:
        *consumed = kHeaderSize;
        return ScanResult::BadLength;
    }
    if (n < kHeaderSize + payload)
        return ScanResult::NeedMore;
    *consumed = kHeaderSize + payload;
    if (frame->ctl.type == FrameAuth) {
        if (Crc16(buf + kHeaderSize, uint32_t(payload)) != 0)
            return ScanResult::BadAuthCrc;
        payload = kAuthPayloadSize;
    }
    if (payload) {
        frame->payload = buf + kHeaderSize;
        frame->payloadLen = payload;
    }
    return ScanResult::Frame;
}

size_t Block_Seal(const AesCtx* sess, uint8_t* buf, size_t n, const uint8_t* filler) {
    const size_t padded = (n + 15) / 16 * 16;
    if (padded > n) {
        buf[n] = 0xFF;
        memcpy(buf + n + 1, filler, padded - n - 1);
    }
    Put_U32BE(buf + padded, Crc32_Msb(buf, uint32_t(padded)));
    Aes_EncryptBlocks(sess, buf, buf, uint32_t(padded / 16));
    return padded;
}

bool Block_Open(const AesCtx* sess, uint8_t* buf, size_t len) {
    if (len < 16 + kBlockCrcSize || (len - kBlockCrcSize) % 16 != 0)
        return false;
    Aes_DecryptBlocks(sess, buf, buf, uint32_t((len - kBlockCrcSize) / 16));
    return Crc32_Msb(buf, uint32_t(len)) == 0;
}

uint32_t VersionWord(uint8_t kind, const uint8_t digits[4]) {
    if (kind == 0)
        return uint32_t(digits[0]) << 24 | uint32_t(digits[1]) << 16 | uint32_t(digits[2]) << 8 | digits[3];
    const uint32_t nibbles = uint32_t(digits[0] & 15) << 12 | uint32_t(digits[1] & 15) << 8 |
                             uint32_t(digits[2] & 15) << 4 | uint32_t(digits[3] & 15);
    return (kind == 1 ? 0xFFFF0000u : 0xFFFE0000u) | nibbles;
}

uint32_t VersionNumber(uint8_t kind, const uint8_t digits[4]) {
    return kind == 2 ? uint32_t(digits[0] & 15) * 100 + (digits[1] & 15) : 0;
}

void AuthRequest_Write(const uint8_t key[16], const AuthRequest& req, uint8_t out[kAuthPayloadSize]) {
    AesCtx aes;
    Aes_SetKey(&aes, key, 128);
    Aes_Encrypt(&aes, req.random, out);
    Put_U32BE(out + 16, Crc32_Msb(req.random, 16));
    Put_U32BE(out + 20, req.versionWord);
    Put_U16BE(out + 24, req.lastRxId);
    Put_U16BE(out + 26, req.lastRxSize);
    Put_U32BE(out + 28, req.options);
}

void AuthProof(const uint8_t random[16], uint8_t proof[4]) {
    for (int i = 0; i < 4; ++i)
        proof[i] = random[2 * i] ^ random[2 * i + 9];
}

ReplyCheck AuthReply_Read(const uint8_t key[16], const uint8_t random[16],
                          const uint8_t payload[kAuthPayloadSize], AuthReply* reply) {
    AesCtx aes;
    Aes_SetKey(&aes, key, 128);
    uint8_t check[20];
    Aes_Decrypt(&aes, payload, check);
    memcpy(check + 16, payload + 16, 4);
    if (Crc32_Msb(check, 20) != 0)
        return ReplyCheck::BadNonceCrc;
    uint8_t proof[4];
    AuthProof(random, proof);
    if (memcmp(proof, payload + 20, 4) != 0)
        return ReplyCheck::BadProof;
    if (payload[28] != 0x10 || payload[29] != 0 || payload[30] != 0)
        return ReplyCheck::BadTail;
    memcpy(reply->nonce, check, 16);
    reply->lastRxId = Get_U16BE(payload + 24);
    reply->lastRxSize = Get_U16BE(payload + 26);
    reply->options = payload[31];
    return ReplyCheck::Ok;
}

void SessionKey_Derive(const uint8_t random[16], const uint8_t nonce[16], const uint8_t key[16],
                       uint8_t out[16]) {
    uint8_t mix[16];
    memcpy(mix, random, 8);
    memcpy(mix + 8, nonce, 8);
    AesCtx aes;
    Aes_SetKey(&aes, mix, 128);
    Aes_Encrypt(&aes, key, out);
}

} // namespace modemsim
