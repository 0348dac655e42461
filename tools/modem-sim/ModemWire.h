// Wire format of the modem link, as the modem sees it: frame headers, control words, encrypted command
// blocks and the two AUTH payloads. Written from the frame layout alone; it shares only the checksum
// and cipher primitives and the byte-order helpers with the router's protocol library, so that a fault
// in the router's link layer shows up against it instead of being mirrored.
//
// All multi-byte fields on the wire are big-endian. Functions work on caller-owned buffers and never
// allocate.
#pragma once

#include "protocol/tmgsm.h"

#include <cstddef>
#include <cstdint>

namespace modemsim {

constexpr size_t kHeaderSize = 7;       // sync word, modem ID, control word, CRC-8
constexpr size_t kAuthPayloadSize = 32; // AUTH payload in clear
constexpr size_t kAuthFrameSize = 41;   // header, payload, CRC-16
constexpr size_t kMaxBlock = 1008;      // largest command block: length code 62
constexpr uint8_t kMaxLengthCode = 62;  // 16 x (62 + 1) = 1008
constexpr size_t kBlockCrcSize = 4;     // CRC-32/MPEG-2 after the ciphertext
constexpr size_t kMaxFrameSize = kHeaderSize + kMaxBlock + kBlockCrcSize; // 1019
constexpr uint16_t kNoDataId = 0xFFFF; // data ID and size of "nothing received yet"

// The factory key of every modem as delivered.
extern const uint8_t kFactoryKey[16];

enum FrameType : uint8_t {
    FrameI = 0,    // information, with sequence numbers
    FrameRR = 1,   // receiver ready (acknowledgement)
    FrameREJ = 2,  // reject
    FrameRNR = 3,  // receiver not ready
    FrameAuth = 4, // AUTH, 32 bytes in clear
    FrameAI = 5,   // information without sequence number
};
const char* FrameType_Name(uint8_t type);

// Control word: bits 0-2 type, 3-5 N(S), 6-8 N(R), 9-14 length code L, bit 15 zero.
struct Control {
    uint8_t type;
    uint8_t ns;
    uint8_t nr;
    uint8_t length;
};
uint16_t Control_Pack(const Control& c);
Control Control_Unpack(uint16_t word);

// Writes the 7-byte header: 0x55 0xAA, modem ID, control word, CRC-8 over bytes 2-5.
void Header_Write(uint8_t* out, uint16_t modemId, const Control& c);
// Supervisory frame (RR, REJ, RNR) carrying N(R); 7 bytes.
size_t Frame_WriteS(uint8_t* out, uint16_t modemId, uint8_t type, uint8_t nr);
// AUTH frame: header with L = 32, the payload, its CRC-16/XMODEM; 41 bytes.
size_t Frame_WriteAuth(uint8_t* out, uint16_t modemId, const uint8_t payload[kAuthPayloadSize]);

// A frame found at the front of a receive buffer.
struct FrameView {
    uint16_t modemId;
    Control ctl;
    const uint8_t* payload; // I/AI: ciphertext and CRC; AUTH: the 32 bytes; else null
    size_t payloadLen;
};

enum class ScanResult {
    NeedMore,   // no complete frame yet; consumed = 0
    Garbage,    // bytes before the next sync word (or all but a trailing 0x55); consumed = their count
    Frame,      // a complete frame; consumed = its size
    BadHeader,  // CRC-8 of the header failed; consumed = the sync word
    BadLength,  // AUTH with L other than 32, I/AI with L above 62, or type 6/7; consumed = 7
    BadAuthCrc, // AUTH payload failed its CRC-16; consumed = 41
};
// Looks at the front of n received bytes. *consumed tells how many bytes to drop before the next call.
ScanResult Frame_Scan(const uint8_t* buf, size_t n, FrameView* frame, size_t* consumed);

// Command block of an I or AI frame. Seals n plaintext bytes (1 to 1008) in buf: pads to P, a multiple
// of 16, with 0xFF and then filler bytes (when P > n), appends the CRC-32/MPEG-2 of the P plaintext
// bytes, and encrypts the P bytes with the session key. buf needs room for P + 4 bytes; returns P.
size_t Block_Seal(const AesCtx* sess, uint8_t* buf, size_t n, const uint8_t* filler);
// Decrypts a received block (P + 4 bytes, P a multiple of 16) in place; true when the CRC closes.
bool Block_Open(const AesCtx* sess, uint8_t* buf, size_t len);

// Version word of a modem's AUTH: kind 2 0xFFFE and kind 1 0xFFFF above the four digits as nibbles;
// kind 0 the four digits as bytes.
uint32_t VersionWord(uint8_t kind, const uint8_t digits[4]);
// The version number the router derives from it: digit 0 x 100 + digit 1 for kind 2, else 0.
uint32_t VersionNumber(uint8_t kind, const uint8_t digits[4]);

// The modem's AUTH payload.
struct AuthRequest {
    uint8_t random[16]; // R, sent encrypted with the long-term key
    uint32_t versionWord;
    uint16_t lastRxId;   // data ID of the last application data block received (kNoDataId: none)
    uint16_t lastRxSize; // its size
    uint32_t options;    // bit 0: the modem accepts packed data
};
void AuthRequest_Write(const uint8_t key[16], const AuthRequest& req, uint8_t out[kAuthPayloadSize]);

// The router's AUTH reply, as read by the modem.
struct AuthReply {
    uint8_t nonce[16];   // the router's random value N
    uint16_t lastRxId;   // data ID of the last block the router received
    uint16_t lastRxSize; // how many of its bytes it took
    uint8_t options;     // the router's option bit
};
enum class ReplyCheck {
    Ok,
    BadNonceCrc, // the nonce does not open with the key
    BadProof,    // the proof bytes do not match R
    BadTail,     // bytes 28-30 are not 0x10, 0, 0
};
ReplyCheck AuthReply_Read(const uint8_t key[16], const uint8_t random[16],
                          const uint8_t payload[kAuthPayloadSize], AuthReply* reply);
// Proof bytes of R: R0^R9, R2^R11, R4^R13, R6^R15.
void AuthProof(const uint8_t random[16], uint8_t proof[4]);
// Session key: AES-128 encryption of the long-term key K under the key R[0..7] N[0..7].
void SessionKey_Derive(const uint8_t random[16], const uint8_t nonce[16], const uint8_t key[16],
                       uint8_t out[16]);

} // namespace modemsim
