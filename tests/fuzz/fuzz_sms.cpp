// Received SMS texts: the check stays inside the text and the object, and every result is one of its
// codes. Input: a control byte, then the text (bit 0 clear) or the plaintext items of a block that
// is first wrapped as a modem would send it (bit 0 set; bit 1 picks the modem's own key), so that the
// answer parser behind the key trial is reached too.
#include "protocol/tmgsm.h"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

const uint8_t OwnKey[16] = {'o', 'w', 'n', '-', 'k', 'e', 'y', '-', 'o', 'f', '-', '1', '2', '3', '4', '!'};
constexpr uint16_t ListedId = 0x1234;

void Require(bool ok) {
    if (!ok)
        std::abort();
}

void Silent(const char*, size_t) {}

// The modem's text for the items: CRC-closed block, fill, CRC-8, encoded.
std::vector<char> Wrap(const uint8_t* items, size_t n, const uint8_t* key) {
    AuthCtx modem{};
    Auth_SetSessKey(&modem, key);
    uint8_t bytes[160] = {};
    memcpy(bytes, items, n);
    size_t k = Auth_EncryptBlk(&modem, bytes, static_cast<uint16_t>(n));
    const bool alphabet = k > 77;
    while (alphabet && k % 3 != 2)
        bytes[k++] = 0xFF;
    bytes[k] = Crc8(bytes, static_cast<uint16_t>(k));
    k++;
    std::vector<char> text(5 + 160);
    text[0] = alphabet ? '.' : ',';
    const uint8_t id[2] = {ListedId >> 8, ListedId & 0xFF};
    Hex_Encode(text.data() + 1, id, 2);
    memcpy(text.data() + 5, bytes, k);
    auto* body = reinterpret_cast<uint8_t*>(text.data() + 5);
    const size_t chars = alphabet ? Txt64_Encode(body, k, 154) : Hex_EncodeInPlace(body, k, 154);
    text.resize(5 + chars);
    text.push_back('\n');
    return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static AuthKeys keys;
    static SmsObj sms;
    if (size < 1)
        return 0;
    Trace_SetSink(Silent);
    TMGSM_AuthKeysInit(&keys);
    keys.Count = 1;
    keys.Ids[0] = ListedId;
    keys.Keys[0] = OwnKey;
    TMGSM_InitSms(&sms, &keys);

    std::vector<char> text;
    if (data[0] & 1) {
        const size_t n = size - 1 < CMD_SMS_ITEMS_MAX ? size - 1 : CMD_SMS_ITEMS_MAX;
        text = Wrap(data + 1, n, data[0] & 2 ? OwnKey : Auth_FactoryKey);
    } else {
        text.assign(data + 1, data + size);
    }
    const int result = TMGSM_AcceptSmsMsg(&sms, text.data(), text.size());
    Require(result >= SMS_NO_MARKER && result <= SMS_OWN_KEY);
    if (data[0] & 1)
        Require(result == (data[0] & 2 ? SMS_OWN_KEY : SMS_FACTORY_KEY));
    Require(sms.TextLen <= SMS_TEXT_SIZE && sms.BlockLen <= SMS_BLOCK_SIZE);
    Trace_SetSink(nullptr);
    return 0;
}
