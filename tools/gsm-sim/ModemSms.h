// The radio modem's side of the SMS texts that carry command blocks: the answer text a modem sends and
// the opening of a request text the router sends. Written from the text format (marker, modem ID, the
// CRC-closed block keyed with the long-term key, its CRC-8, hexadecimal or 64-character alphabet body,
// LF); it shares only the cipher, checksum and text-encoding primitives with the router's SMS codec.
#pragma once

#include "tools/gsm-sim/SmsPdu.h"

#include <cstdint>
#include <string>

namespace gsmsim {

// The text of a modem's SMS answer: items (answer code 0x80 + command code, then its payload) sealed as
// a CRC-closed block under key (filler bytes zero), marker and ID in front, LF at the end. Blocks up to
// 64 bytes go in hexadecimal, larger ones in the alphabet. Empty when the items do not fit (more than
// 108 bytes).
std::string ModemAnswerText(uint16_t modemId, const uint8_t key[16], const Bytes& items);

// Opens a request text as a modem does: finds the marker, decodes the body, checks the CRC-8 and the
// block's CRC under key. On success *modemId gets the ID in the text and *plain the block's plaintext
// without its CRC (the items, then 0xFF and filler).
bool OpenRequestText(const std::string& text, const uint8_t key[16], uint16_t* modemId, Bytes* plain);

// A GetHwInfo answer item in its shortest layout (the one an SMS answer is read with): type 0, the
// version digits (0-15 each), a zero time and counters, a radio block and the input states (bits 0-3).
Bytes HwInfoAnswerItem(const uint8_t version[4], uint8_t inputs);

} // namespace gsmsim
