// SMS texts: a command block as one printable message, built for a key and checked by key trial.
#include "protocol/tmgsm.h"

#include <cstring>

namespace {

constexpr size_t HeadLen = 5;      // marker and 4 ID digits
constexpr size_t BodyMax = 154;    // characters of the encoded body
constexpr size_t HexBlockMax = 77; // larger blocks go in the 64-character alphabet
constexpr size_t BlockMin = 16;    // the smallest encrypted block
constexpr uint8_t KeyFactory = 1;  // Sms_TryKeys: opened with the factory key
constexpr uint8_t KeyOwn = 2;      // ... with the modem's own key or the system key

CmdCtx SmsCtx(SmsObj* sms) {
    return CmdCtx{sms->ModemId, &sms->Results,  &sms->Params, &sms->Auth,     &sms->Upd,          nullptr, 0,
                  sms->Block,   &sms->BlockLen, sms->Block,   &sms->BlockLen, sizeof(sms->Block), nullptr};
}

// Appends the fill and the CRC-8 to the p encrypted bytes at sms->Text + 5, puts the marker and the ID
// in front, encodes the body in place and ends the text with LF.
void Sms_Wrap(SmsObj* sms, size_t p) {
    auto* body = reinterpret_cast<uint8_t*>(sms->Text + HeadLen);
    const bool alphabet = p > HexBlockMax;
    size_t k = p;
    if (alphabet) // block, fill and CRC make whole groups of 3 bytes
        for (size_t fill = 2 - p % 3; fill > 0; fill--)
            body[k++] = 0xFF;
    body[k] = Crc8(body, static_cast<uint16_t>(k));
    k++;
    const size_t chars = alphabet ? Txt64_Encode(body, k, BodyMax) : Hex_EncodeInPlace(body, k, BodyMax);
    if (chars == 0) {
        sms->TextLen = 0;
        return;
    }
    uint8_t id[2];
    Put_U16BE(id, sms->ModemId);
    sms->Text[0] = alphabet ? '.' : ',';
    Hex_Encode(sms->Text + 1, id, 2);
    sms->Text[HeadLen + chars] = '\n';
    sms->TextLen = static_cast<uint8_t>(HeadLen + chars + 1);
}

// Position of the first "," or "." in the n characters, or n when there is none.
size_t Sms_FindMarker(const char* text, size_t n) {
    size_t i = 0;
    while (i < n && text[i] != ',' && text[i] != '.')
        i++;
    return i;
}

// Opens the len-byte block with the keys in turn, each on a fresh copy in sms->Block + 2: the factory
// key, then a listed modem's own key only, or the system key for one not listed. KeyFactory, KeyOwn,
// or 0 when no key opens it.
uint8_t Sms_TryKeys(SmsObj* sms, const uint8_t* block, uint16_t len) {
    const uint8_t* keys[2] = {Auth_FactoryKey, nullptr};
    if (sms->Auth.Keys)
        keys[1] = Auth_ModemKey(sms->Auth.Keys, sms->ModemId, nullptr);
    for (uint8_t which = 0; which < 2; which++) {
        if (!keys[which])
            continue;
        memcpy(sms->Block + 2, block, len);
        Auth_SetSessKey(&sms->Auth, keys[which]);
        if (Auth_DecryptBlk(&sms->Auth, sms->Block + 2, len))
            return which == 0 ? KeyFactory : KeyOwn;
    }
    return 0;
}

} // namespace

void TMGSM_InitSms(SmsObj* sms, const AuthKeys* keys) {
    memset(sms, 0, sizeof(*sms));
    Auth_Init(&sms->Auth, keys);
}

uint32_t TMGSM_CreateSmsMsg(SmsObj* sms, const uint8_t* key, uint32_t mask) {
    Auth_SetSessKey(&sms->Auth, key);
    CmdCtx ctx = SmsCtx(sms);
    CreateCmd(CMD_MODE_SMS, &ctx, &mask);
    sms->TextLen = 0;
    if (sms->BlockLen == 0)
        return mask;
    memcpy(sms->Text + HeadLen, sms->Block, sms->BlockLen);
    Sms_Wrap(sms, sms->BlockLen);
    return mask;
}

int TMGSM_AcceptSmsMsg(SmsObj* sms, const char* text, size_t len) {
    if (len > SMS_TEXT_SIZE)
        len = SMS_TEXT_SIZE;
    if (len > 0)
        memcpy(sms->Text, text, len);
    sms->TextLen = static_cast<uint8_t>(len);
    const size_t marker = Sms_FindMarker(sms->Text, len);
    if (marker == len)
        return SMS_NO_MARKER;
    const size_t start = marker + HeadLen;
    if (start > len || len - start < 4)
        return SMS_MALFORMED;
    auto* body = reinterpret_cast<uint8_t*>(sms->Text + start);
    const size_t k =
        sms->Text[marker] == ',' ? Hex_DecodeInPlace(body, len - start) : Txt64_Decode(body, len - start);
    // At least one block and its CRC-8 before any length is worked out from k.
    if (k < BlockMin + 1)
        return SMS_MALFORMED;
    if (Crc8(body, static_cast<uint16_t>(k)) != 0)
        return SMS_BAD_CRC;
    uint8_t id[4];
    memcpy(id, sms->Text + marker + 1, sizeof id);
    if (Hex_DecodeInPlace(id, sizeof id) != 2)
        return SMS_MALFORMED;
    sms->ModemId = Get_U16BE(id);
    const auto blockLen = static_cast<uint16_t>((k - 1) & ~size_t{15}); // the fill falls away
    const uint8_t opened = Sms_TryKeys(sms, body, blockLen);
    if (!opened)
        return SMS_NO_KEY;
    // The plaintext without its CRC becomes the parser's record.
    const uint16_t plain = blockLen - 4;
    Put_U16BE(sms->Block, plain);
    sms->BlockLen = plain + 2;
    CmdCtx ctx = SmsCtx(sms);
    HCP_ParseAnswers(CMD_MODE_SMS, &ctx);
    return opened == KeyFactory ? SMS_FACTORY_KEY : SMS_OWN_KEY;
}
