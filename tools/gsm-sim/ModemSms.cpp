#include "tools/gsm-sim/ModemSms.h"

#include "protocol/tmgsm.h"

#include <cstring>

namespace gsmsim {

namespace {

constexpr size_t kHeadLen = 5;      // marker and 4 ID digits
constexpr size_t kMaxBlock = 112;   // encrypted bytes of one SMS
constexpr size_t kMaxHexBlock = 64; // larger blocks go in the 64-character alphabet
constexpr size_t kBodyCapacity = 154;

void Cipher(const uint8_t key[16], uint8_t* block, size_t p, bool encrypt) {
    AesCtx aes;
    Aes_SetKey(&aes, key, 128);
    for (size_t i = 0; i < p; i += 16)
        (encrypt ? Aes_Encrypt : Aes_Decrypt)(&aes, block + i, block + i);
}

} // namespace

std::string ModemAnswerText(uint16_t modemId, const uint8_t key[16], const Bytes& items) {
    if (items.size() + 4 > kMaxBlock)
        return {};
    // CRC-closed block: items, 0xFF and filler when more than the CRC is free, CRC-32 in the last 4 bytes.
    const size_t p = (items.size() + 4 + 15) / 16 * 16;
    uint8_t body[kBodyCapacity] = {};
    if (!items.empty())
        memcpy(body, items.data(), items.size());
    if (p - items.size() > 4)
        body[items.size()] = 0xFF;
    Put_U32BE(body + p - 4, Crc32_Msb(body, uint32_t(p - 4)));
    Cipher(key, body, p, true);

    const bool alphabet = p > kMaxHexBlock;
    size_t k = p;
    while (alphabet && (k + 1) % 3 != 0)
        body[k++] = 0xFF;
    body[k] = Crc8(body, uint16_t(k));
    ++k;
    const size_t chars =
        alphabet ? Txt64_Encode(body, k, sizeof body) : Hex_EncodeInPlace(body, k, sizeof body);

    uint8_t id[2];
    Put_U16BE(id, modemId);
    char head[kHeadLen] = {alphabet ? '.' : ','};
    Hex_Encode(head + 1, id, 2);
    return std::string(head, kHeadLen) + std::string(reinterpret_cast<const char*>(body), chars) + "\n";
}

bool OpenRequestText(const std::string& text, const uint8_t key[16], uint16_t* modemId, Bytes* plain) {
    const size_t marker = text.find_first_of(",.");
    if (marker == std::string::npos || text.size() < marker + kHeadLen)
        return false;
    uint8_t id[4];
    memcpy(id, text.data() + marker + 1, 4);
    if (Hex_DecodeInPlace(id, 4) != 2)
        return false;
    Bytes body(text.begin() + ptrdiff_t(marker + kHeadLen), text.end());
    const size_t k = text[marker] == ',' ? Hex_DecodeInPlace(body.data(), body.size())
                                         : Txt64_Decode(body.data(), body.size());
    if (k < 17 || Crc8(body.data(), uint16_t(k)) != 0)
        return false;
    const size_t p = (k - 1) / 16 * 16; // the alphabet's fill falls away
    if (p > kMaxBlock)
        return false;
    Cipher(key, body.data(), p, false);
    if (Crc32_Msb(body.data(), uint32_t(p)) != 0)
        return false;
    *modemId = Get_U16BE(id);
    plain->assign(body.begin(), body.begin() + ptrdiff_t(p - 4));
    return true;
}

Bytes HwInfoAnswerItem(const uint8_t version[4], uint8_t inputs) {
    Bytes item(47, 0);
    item[0] = 0x80 | 11; // GetHwInfo answer
    item[1] = 0;         // type
    item[2] = uint8_t(item.size() - 3);
    item[3] = uint8_t((version[0] & 15) << 4 | (version[1] & 15));
    item[4] = uint8_t((version[2] & 15) << 4 | (version[3] & 15));
    // Time, counters: zero. Radio block at 33: signal level, bit error class, module, digit count.
    item[33] = 20;
    item[35] = 1;
    item[36] = 15;
    item[46] = inputs & 15;
    return item;
}

} // namespace gsmsim
