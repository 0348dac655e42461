// AUTH payloads and encrypted blocks as a modem (or anyone on the network) could send them.
#include "protocol/tmgsm.h"

#include <cstring>

namespace {

uint32_t FixedSeed() {
    return 0x2468ACE1;
}

const uint8_t ListedKey[AUTH_KEY_SIZE] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static AuthKeys keys;
    static bool ready = false;
    if (!ready) {
        Auth_SetSeedSource(FixedSeed);
        TMGSM_AuthKeysInit(&keys);
        keys.Count = 2;
        keys.Ids[0] = 0x1234;
        keys.Keys[0] = ListedKey;
        keys.Ids[1] = 0x4321; // listed without a key
        ready = true;
    }
    if (size < AUTH_PAYLOAD_SIZE + 2)
        return 0;
    AuthCtx ctx{};
    Auth_Init(&ctx, &keys);
    if (data[0] & 1)
        Auth_SetPendingKey(&ctx, ListedKey);

    uint8_t payload[AUTH_PAYLOAD_SIZE];
    memcpy(payload, data, AUTH_PAYLOAD_SIZE);
    uint16_t id = static_cast<uint16_t>(data[AUTH_PAYLOAD_SIZE] << 8 | data[AUTH_PAYLOAD_SIZE + 1]);
    uint8_t version[4];
    uint32_t versionNo = 0;
    uint8_t kind;
    if (Auth_Accept(&ctx, payload, id, version, &versionNo, &kind)) {
        uint8_t reply[AUTH_PAYLOAD_SIZE];
        Auth_CreateResp(&ctx, reply);
    }

    // The rest as a received block, in a buffer of exactly its size.
    size_t rest = size - AUTH_PAYLOAD_SIZE - 2;
    if (rest > 0xFFFF)
        rest = 0xFFFF;
    uint8_t* block = new uint8_t[rest ? rest : 1];
    memcpy(block, data + AUTH_PAYLOAD_SIZE + 2, rest);
    Auth_DecryptBlk(&ctx, block, static_cast<uint16_t>(rest));
    delete[] block;
    return 0;
}
