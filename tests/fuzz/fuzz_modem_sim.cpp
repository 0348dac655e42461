// The modem simulator's receive path: an authenticated modem fed the input either as a raw byte stream
// (first byte even) or as the items of encrypted I and AI frames (first byte odd), so that the command
// handlers see arbitrary blocks that pass the cipher and CRC checks.
#include "tools/modem-sim/ModemSim.h"

#include <algorithm>
#include <cstring>

using namespace modemsim;

namespace {

const uint8_t kNonce[16] = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2, 3, 4, 5, 6};

// Plays the router's side of the AUTH; returns the session key schedule.
AesCtx Authenticate(ModemSim& modem) {
    modem.Connect(0);
    uint8_t random[16];
    AesCtx aes;
    Aes_SetKey(&aes, modem.Key(), 128);
    Aes_Decrypt(&aes, modem.OutputData() + kHeaderSize, random);
    modem.ConsumeOutput(modem.OutputSize());

    uint8_t payload[kAuthPayloadSize] = {};
    Aes_Encrypt(&aes, kNonce, payload);
    Put_U32BE(payload + 16, Crc32_Msb(kNonce, 16));
    AuthProof(random, payload + 20);
    Put_U16BE(payload + 24, kNoDataId);
    Put_U16BE(payload + 26, kNoDataId);
    payload[28] = 0x10;
    uint8_t reply[kAuthFrameSize];
    Frame_WriteAuth(reply, modem.Id(), payload);
    modem.Feed(reply, sizeof reply, 0);

    uint8_t sess[16];
    SessionKey_Derive(random, kNonce, modem.Key(), sess);
    Aes_SetKey(&aes, sess, 128);
    return aes;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    ModemConfig cfg;
    ModemSim modem(cfg);
    const AesCtx sess = Authenticate(modem);
    if (modem.State() != LinkState::Ready)
        __builtin_trap();
    uint32_t now = 0;
    if (!(data[0] & 1)) {
        modem.Feed(data + 1, size - 1, now);
    } else {
        // Each piece: a control byte (bit 0: AI instead of I, bits 1-3: N(S), bits 4-6: N(R)), a length byte
        // (items = 4 x length + 1), the items.
        size_t pos = 1;
        const uint8_t filler[16] = {};
        while (pos + 2 <= size) {
            const uint8_t ctl = data[pos];
            const size_t n =
                std::min<size_t>(std::min<size_t>(data[pos + 1] * 4 + 1, kMaxBlock), size - pos - 2);
            if (n == 0)
                break;
            uint8_t frame[kMaxFrameSize];
            memcpy(frame + kHeaderSize, data + pos + 2, n);
            const size_t padded = Block_Seal(&sess, frame + kHeaderSize, n, filler);
            Header_Write(frame, modem.Id(),
                         Control{uint8_t(ctl & 1 ? FrameAI : FrameI), uint8_t(ctl >> 1 & 7),
                                 uint8_t(ctl >> 4 & 7), uint8_t(padded / 16 - 1)});
            modem.Feed(frame, kHeaderSize + padded + kBlockCrcSize, now);
            now += 50;
            modem.Tick(now);
            pos += 2 + n;
        }
    }
    modem.Tick(now + 100000);
    modem.ConsumeOutput(modem.OutputSize());
    return 0;
}
