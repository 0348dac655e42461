// The router's side of the link, written for the tests from the frame layout, independently of the
// simulator's own wire code: it splits the simulator's output into frames, checks and opens them, and
// builds the frames a router would send.
#pragma once

#include "protocol/tmgsm.h"

#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

struct PeerFrame {
    uint16_t id = 0;
    uint8_t type = 0, ns = 0, nr = 0, length = 0;
    Bytes payload;       // AUTH: the 32 bytes; I/AI: the plaintext of the block (padding included)
    bool opened = false; // I/AI: the block decrypted and its CRC closed
};

class RouterPeer {
public:
    explicit RouterPeer(const uint8_t key[16]);

    // Splits wire bytes that hold whole frames; false (with a reason) when they do not.
    bool Split(const Bytes& wire, std::vector<PeerFrame>* frames, std::string* why) const;
    // Reads the modem's AUTH: R decrypted with the key; false when its CRC does not close.
    bool TakeAuth(const PeerFrame& auth);
    // The kind-2 AUTH reply frame for the nonce; derives the session key.
    Bytes Reply(const uint8_t nonce[16], uint16_t rxId = 0xFFFF, uint16_t rxSize = 0xFFFF);
    // An encrypted I or AI frame with these items.
    Bytes Info(uint8_t type, uint8_t ns, uint8_t nr, const Bytes& items) const;
    // An I frame with N(S) = vs (then advanced) and N(R) = vr.
    Bytes Command(const Bytes& items) { return Info(0, vs++, vr, items); }
    Bytes Supervisory(uint8_t type, uint8_t nr) const;

    uint8_t key[16];
    uint8_t random[16] = {}; // R of the modem's AUTH
    uint32_t versionWord = 0;
    uint16_t lastRxId = 0, lastRxSize = 0;
    uint32_t options = 0;
    uint8_t sessKey[16] = {};
    uint8_t vs = 0, vr = 0;
    uint16_t id = 0;
};

Bytes Header(uint16_t id, uint8_t type, uint8_t ns, uint8_t nr, uint8_t length);
