#include "tests/tools/RouterPeer.h"

#include <cstring>

namespace {

uint16_t Be16(const uint8_t* p) {
    return uint16_t(p[0] << 8 | p[1]);
}

void PutBe32(Bytes& b, uint32_t v) {
    for (int s = 24; s >= 0; s -= 8)
        b.push_back(uint8_t(v >> s));
}

} // namespace

Bytes Header(uint16_t id, uint8_t type, uint8_t ns, uint8_t nr, uint8_t length) {
    const uint16_t ctl = uint16_t(type | ns << 3 | nr << 6 | length << 9);
    Bytes h = {0x55, 0xAA, uint8_t(id >> 8), uint8_t(id), uint8_t(ctl >> 8), uint8_t(ctl)};
    h.push_back(Crc8(h.data() + 2, 4));
    return h;
}

RouterPeer::RouterPeer(const uint8_t k[16]) {
    memcpy(key, k, 16);
}

bool RouterPeer::Split(const Bytes& wire, std::vector<PeerFrame>* frames, std::string* why) const {
    size_t pos = 0;
    while (pos < wire.size()) {
        const uint8_t* p = wire.data() + pos;
        if (wire.size() - pos < 7 || p[0] != 0x55 || p[1] != 0xAA) {
            *why = "no header at " + std::to_string(pos);
            return false;
        }
        if (Crc8(p + 2, 5) != 0) {
            *why = "header CRC at " + std::to_string(pos);
            return false;
        }
        PeerFrame f;
        f.id = Be16(p + 2);
        const uint16_t ctl = Be16(p + 4);
        f.type = ctl & 7;
        f.ns = ctl >> 3 & 7;
        f.nr = ctl >> 6 & 7;
        f.length = ctl >> 9 & 63;
        size_t size = 7;
        if (f.type == 4)
            size = 41;
        else if (f.type == 0 || f.type == 5)
            size = 7 + 16 * (f.length + 1) + 4;
        if (wire.size() - pos < size) {
            *why = "frame cut short at " + std::to_string(pos);
            return false;
        }
        if (f.type == 4) {
            if (f.length != 32 || Crc16(p + 7, 34) != 0) {
                *why = "AUTH length or CRC at " + std::to_string(pos);
                return false;
            }
            f.payload.assign(p + 7, p + 39);
        } else if (f.type == 0 || f.type == 5) {
            Bytes block(p + 7, p + size);
            AesCtx aes;
            Aes_SetKey(&aes, sessKey, 128);
            for (size_t i = 0; i + 4 < block.size(); i += 16)
                Aes_Decrypt(&aes, &block[i], &block[i]);
            f.opened = Crc32_Msb(block.data(), uint32_t(block.size())) == 0;
            block.resize(block.size() - 4);
            f.payload = block;
        }
        frames->push_back(f);
        pos += size;
    }
    return true;
}

bool RouterPeer::TakeAuth(const PeerFrame& auth) {
    if (auth.type != 4 || auth.payload.size() != 32)
        return false;
    id = auth.id;
    AesCtx aes;
    Aes_SetKey(&aes, key, 128);
    uint8_t check[20];
    Aes_Decrypt(&aes, auth.payload.data(), check);
    memcpy(check + 16, auth.payload.data() + 16, 4);
    if (Crc32_Msb(check, 20) != 0)
        return false;
    memcpy(random, check, 16);
    const uint8_t* p = auth.payload.data();
    versionWord = uint32_t(Be16(p + 20)) << 16 | Be16(p + 22);
    lastRxId = Be16(p + 24);
    lastRxSize = Be16(p + 26);
    options = uint32_t(Be16(p + 28)) << 16 | Be16(p + 30);
    return true;
}

Bytes RouterPeer::Reply(const uint8_t nonce[16], uint16_t rxId, uint16_t rxSize) {
    Bytes payload(32);
    AesCtx aes;
    Aes_SetKey(&aes, key, 128);
    Aes_Encrypt(&aes, nonce, payload.data());
    const uint32_t crc = Crc32_Msb(nonce, 16);
    for (int i = 0; i < 4; ++i)
        payload[16 + i] = uint8_t(crc >> (24 - 8 * i));
    const uint8_t proof[4] = {uint8_t(random[0] ^ random[9]), uint8_t(random[2] ^ random[11]),
                              uint8_t(random[4] ^ random[13]), uint8_t(random[6] ^ random[15])};
    memcpy(&payload[20], proof, 4);
    payload[24] = uint8_t(rxId >> 8);
    payload[25] = uint8_t(rxId);
    payload[26] = uint8_t(rxSize >> 8);
    payload[27] = uint8_t(rxSize);
    payload[28] = 0x10;

    uint8_t mix[16];
    memcpy(mix, random, 8);
    memcpy(mix + 8, nonce, 8);
    Aes_SetKey(&aes, mix, 128);
    Aes_Encrypt(&aes, key, sessKey);
    vs = vr = 0;

    Bytes frame = Header(id, 4, 0, 0, 32);
    frame.insert(frame.end(), payload.begin(), payload.end());
    const uint16_t crc16 = Crc16(payload.data(), 32);
    frame.push_back(uint8_t(crc16 >> 8));
    frame.push_back(uint8_t(crc16));
    return frame;
}

Bytes RouterPeer::Info(uint8_t type, uint8_t ns, uint8_t nr, const Bytes& items) const {
    Bytes block = items;
    if (block.size() % 16) {
        block.push_back(0xFF);
        while (block.size() % 16)
            block.push_back(0xA5);
    }
    const uint32_t crc = Crc32_Msb(block.data(), uint32_t(block.size()));
    AesCtx aes;
    Aes_SetKey(&aes, sessKey, 128);
    for (size_t i = 0; i < block.size(); i += 16)
        Aes_Encrypt(&aes, &block[i], &block[i]);
    PutBe32(block, crc);
    Bytes frame = Header(id, type, ns, nr, uint8_t((block.size() - 4) / 16 - 1));
    frame.insert(frame.end(), block.begin(), block.end());
    return frame;
}

Bytes RouterPeer::Supervisory(uint8_t type, uint8_t nr) const {
    return Header(id, type, 0, nr, 0);
}
