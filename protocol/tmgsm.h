// Modem link protocol library.
//
// Plain functions over fixed-size context records that the caller owns; an init function clears its
// context, nothing here allocates memory, and nothing throws: results are codes, booleans or event sets.
// The library keeps a little static state (the shared MD5 context, parsing scratch), so it is not
// re-entrant: call it from the main thread only.
#pragma once

#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------------------------------------------
// Utilities, time base and trace
// ---------------------------------------------------------------------------------------------------

#pragma pack(push, 1)
// Calendar date and time of day, local time.
struct TmDate {
    uint16_t year;
    uint8_t month; // 1-12
    uint8_t day;   // 1-31
    uint8_t hour;
    uint8_t minute;
    uint8_t second;
};
#pragma pack(pop)
static_assert(sizeof(TmDate) == 7);

// Library time: seconds since 2001-07-28 00:00:00 local time, modulo 2^32.
uint32_t Tm_DateToSecs(const TmDate* date);
void Tm_SecsToDate(uint32_t secs, TmDate* date);
// Current local time as library time; fills date when it is not null.
uint32_t Tm_Now(TmDate* date);
// "[mm:ss.mmm]" of the current time; out holds at least 12 bytes.
void Tm_Stamp(char* out);
// Milliseconds of the current local day minus start, modulo 2^32.
uint32_t Tm_MsSince(uint32_t start);

// Local wall-clock reading, down to the millisecond.
struct TmClock {
    TmDate date;
    uint16_t millisecond;
};
// Replaces the source of "now" (tests); null restores the system's local time.
using TmClockSource = void (*)(TmClock* now);
void Tm_SetClockSource(TmClockSource source);
void Tm_ReadClock(TmClock* now);

// Trace. Everything goes through one sink; the default writes to standard output and drops what a full
// pipe cannot take at once, so the caller is never blocked.
using TraceSink = void (*)(const char* text, size_t n);
// Null restores the default sink.
void Trace_SetSink(TraceSink sink);
void Trace_Write(const char* text, size_t n);
// Plain formatted trace output.
void Trace_Printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
// "DBG(hh.mm:ss:mmm): " followed by the formatted text.
void Dbg_Printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Dump_Hex(const char* label, const uint8_t* bytes, size_t n);
void Dump_Asc(const char* label, const uint8_t* bytes, size_t n);

// Bounded byte buffer over memory the caller owns.
struct ByteBuf {
    uint8_t* data;
    uint16_t capacity;
    uint16_t length;
};

uint8_t* Mem_Copy(uint8_t* dst, const uint8_t* src, size_t n);
void Mem_Set(uint8_t* dst, uint8_t value, size_t n);
void Mem_Zero(uint8_t* dst, size_t n);
int Mem_Equal(const uint8_t* a, const uint8_t* b, size_t n);
uint16_t Str_Len16(const char* text);
size_t Str_LenMax(const char* text, size_t limit);
size_t Str_CopyNoNul(char* dst, const char* text);
uint16_t Buf_Append(ByteBuf* buf, const uint8_t* bytes, uint16_t n);
uint16_t Buf_Consume(ByteBuf* buf, uint16_t n);
uint16_t Buf_Remove(uint8_t* bytes, uint16_t capacity, uint16_t* length, uint16_t offset, uint16_t n);

// Hexadecimal text, upper-case digits.
char* Hex_Encode(char* out, const uint8_t* bytes, size_t n);
// Returns the text length 2n, or 0 when it does not fit the capacity.
size_t Hex_EncodeInPlace(uint8_t* buf, size_t n, size_t capacity);
uint8_t Hex_DecodeInPlace(uint8_t* buf, size_t n);

// The 64-character alphabet of SMS texts, 3 bytes to 4 characters.
extern const char Txt64_Alphabet[65];
// Returns the character count, 0 when refused (n outside 1-150 or no room).
size_t Txt64_Encode(uint8_t* buf, size_t n, size_t capacity);
uint8_t Txt64_Decode(uint8_t* buf, size_t n);

// ---------------------------------------------------------------------------------------------------
// Checksums, digest and block cipher
// ---------------------------------------------------------------------------------------------------
// On receipt CRC-8, CRC-16 and CRC-32/MPEG-2 are run over the data followed by its own CRC (big-endian
// for the wider ones); the data is good when the result is 0.

uint8_t Crc8(const uint8_t* data, uint16_t len);                         // CRC-8/SMBUS
uint16_t Crc16(const uint8_t* data, uint32_t len);                       // CRC-16/XMODEM
uint16_t Crc16_Update(uint16_t start, const uint8_t* data, uint32_t len); // continues a CRC-16/XMODEM
uint32_t Crc32_Msb(const uint8_t* data, uint32_t len);                   // CRC-32/MPEG-2
uint32_t Crc32(const uint8_t* data, uint32_t len);                       // CRC-32 (IEEE 802.3)

struct Md5Ctx {
    uint8_t block[64];
    uint32_t state[4];
    uint32_t count; // bytes fed so far
};

void Md5_Init(Md5Ctx* ctx);
void Md5_Transform(Md5Ctx* ctx, const uint8_t block[64]);
void Md5_Update(Md5Ctx* ctx, const uint8_t* data, uint32_t len);
// pad != 0: the RFC 1321 digest. pad == 0: the chaining words after the last complete block.
void Md5_Final(Md5Ctx* ctx, uint8_t out[16], int pad);
// Both use the library's one shared context.
void Md5_Digest(const uint8_t* data, uint32_t len, uint8_t out[16]);
void Md5_RawState(const uint8_t* data, uint32_t len, uint8_t out[16]);

struct AesCtx {
    uint32_t encKeys[60];
    uint32_t decKeys[60]; // already through the inverse mix-columns step
    int rounds;           // 10, 12 or 14
};

// 0 on success, 1 for a key length other than 128, 192 or 256 bits (ctx is left as it was).
int Aes_SetKey(AesCtx* ctx, const uint8_t* key, int bits);
// One 16-byte block; in and out may be the same buffer.
void Aes_Encrypt(const AesCtx* ctx, const uint8_t in[16], uint8_t out[16]);
void Aes_Decrypt(const AesCtx* ctx, const uint8_t in[16], uint8_t out[16]);

// ---------------------------------------------------------------------------------------------------
// Authentication, key table and block encryption
// ---------------------------------------------------------------------------------------------------





// ---------------------------------------------------------------------------------------------------
// Data packing
// ---------------------------------------------------------------------------------------------------

// A packed stream starts with its method byte and carries no length of its own: the unpacked length
// travels beside it. Methods: constant fill, run-length, bit packing above the minimum, palette, and
// canonical Huffman. The state and work areas belong to the caller (the stack will do).

enum PackKind : uint8_t { PackConst, PackRle, PackBits, PackPalette, PackHuff, PackKinds };

// Size of a method that cannot pack the data at hand.
constexpr uint32_t PackNoSize = 0xFFFFFFFF;
// Packed streams longer than this are not read.
constexpr uint32_t PackScratchSize = 2052;

struct PackState {
    uint8_t Kind;              // the smallest method found (PackKinds: none)
    uint8_t Min;               // smallest byte of the data
    uint8_t Range;             // bits of (largest - smallest); 0 when all bytes are equal
    uint8_t PaletteBits;       // bits of a palette index
    uint16_t Distinct;         // number of distinct bytes
    uint32_t Size;             // packed size of Kind, method byte included
    uint32_t Sizes[PackKinds]; // packed size of every method, PackNoSize where it cannot be used
};

struct PackWork {
    uint16_t Palette[256];     // palette index of every byte value, 0xFFFF when absent
    uint8_t PaletteBytes[256]; // the palette, in order of first appearance
    uint32_t Counts[256];      // occurrences of every byte value
    uint8_t Symbols[256];      // the occurring byte values in canonical code order
    uint8_t Lengths[256];      // Huffman code length of every byte value, 0 when absent
    uint32_t Codes[256];       // canonical Huffman code of every byte value
};

// Measures every method on the n bytes (n >= 1) into state; Huffman only when huffman is non-zero.
void Pack_Measure(const uint8_t* data, uint16_t n, PackState* state, PackWork* work, int huffman);
// 1: packing pays, state->Kind and state->Size name the method and its size. 0: send the data as it is
// (below 16 bytes, or no method smaller than the data).
int Pack_Choose(const uint8_t* data, uint16_t n, PackState* state, PackWork* work, int huffman);
// Packs the data with state->Kind as measured over the same data; returns the packed size, or 0 when
// it does not fit the capacity or the method cannot pack this data.
uint32_t Pack_Encode(const uint8_t* data, uint16_t n, const PackState* state, PackWork* work, uint8_t* out,
                     uint32_t capacity);
// buffer holds avail packed bytes and has room for capacity bytes; unpacks in place to exactly n
// bytes. Returns the packed bytes consumed (method byte included), or 0 when the stream is damaged,
// reaches past avail, or n is 0 or above capacity; the buffer's content is then undefined.
uint32_t Pack_Decode(uint8_t* buffer, uint32_t avail, uint32_t n, uint32_t capacity);

// ---------------------------------------------------------------------------------------------------
// Application data buffers
// ---------------------------------------------------------------------------------------------------

// One object's application data, kept across its connections: a send queue towards the modem, a
// receive queue from it, and the data IDs and sizes with which both sides agree what was delivered.
// The buffer belongs to its object; a link only refers to it.

constexpr uint32_t AppBufTxSize = 65536;
constexpr uint32_t AppBufRxSize = 16384;
constexpr uint32_t AppBufPendingSize = 2051;
constexpr uint32_t AppBufNoId = 65535; // in TxId, TxSize, RxId, RxSize: nothing sent or received yet

struct AppBuf {
    uint16_t ModemId;
    uint8_t TxQueue[AppBufTxSize];
    uint32_t TxFill;
    uint32_t TxInFlight; // size of the block sent and not yet settled, 0: none
    uint32_t TxAcked;    // size the modem acknowledged last
    uint8_t ModemRnr;    // the modem is not ready to receive
    uint8_t RxPending[AppBufPendingSize];
    uint32_t RxPendingLen;  // unpacked length of the pending TxData payload, 0: none
    uint32_t RxPendingWire; // its length on the wire
    uint8_t RxQueue[AppBufRxSize];
    uint32_t RxFill;
    uint32_t RxSinceAck; // bytes taken into RxQueue since the last TxDataAck
    uint8_t OurRnr;      // our receiver is not ready, sent in TxDataAck
    uint32_t TxId;       // data ID of the block in flight, or of the next one
    uint32_t TxSize;     // size of the last block sent
    uint32_t RxId;       // data ID of the last block taken into RxQueue
    uint32_t RxSize;     // number of its bytes taken
    uint32_t RxPendingId;
};

// Transmit flags.
constexpr uint32_t AppBufTxEmpty = 0x1;
constexpr uint32_t AppBufTxFull = 0x2;
constexpr uint32_t AppBufTxInFlight = 0x4;
constexpr uint32_t AppBufTxRepaired = 0x8;     // an inconsistent state was found and reset
constexpr uint32_t AppBufTxAckMismatch = 0x10; // the modem acknowledged another size than sent
// Receive flags.
constexpr uint32_t AppBufRxEmpty = 0x20;
constexpr uint32_t AppBufRxFull = 0x40;
constexpr uint32_t AppBufRxUnacked = 0x80; // received data waits to be acknowledged
constexpr uint32_t AppBufRxPending = 0x100;
constexpr uint32_t AppBufRxRepaired = 0x200;

struct AppBufState {
    uint32_t TxFlags;
    uint32_t RxFlags;
    uint32_t RxFill;
    uint32_t TxFree;
};

void AppBuf_Init(AppBuf* buffer);
// Both repair inconsistent counters first. Return the flags; the outs are optional.
uint32_t AppBuf_TxState(AppBuf* buffer, uint32_t* freeSpace);
uint32_t AppBuf_RxState(AppBuf* buffer, uint32_t* rxFill);
// Returns the receive flags.
uint32_t AppBuf_GetState(AppBuf* buffer, AppBufState* state);
// Appends what TxQueue has room for; returns the count taken. Queued data is never touched.
uint32_t AppBuf_Push(AppBuf* buffer, const uint8_t* bytes, uint32_t n);
// Settles the block in flight after an RxDataAck: 1 done (modemNotReady, optional, set to 1 when the
// modem was not ready and the block goes again with the same data ID), 0 nothing to settle or an
// inconsistent acknowledgement (the whole block goes again with the same data ID).
int AppBuf_TxAck(AppBuf* buffer, uint8_t* modemNotReady);
// Moves the pending payload into RxQueue: 1 taken. 0 when none is pending, or when it does not fit
// whole: it is then refused and our receiver reports not ready, so the modem sends it again later.
int AppBuf_RxGet(AppBuf* buffer);
// Drops the pending payload; OurRnr = RxQueue full. Returns the receive flags.
uint32_t AppBuf_RxRej(AppBuf* buffer);
// Takes up to n bytes from RxQueue; returns the count.
uint32_t AppBuf_Pop(AppBuf* buffer, uint8_t* out, uint32_t n);
// The link side of AppBuf_Link: modemId, peerRxId and peerRxSize come from the authenticated link,
// ourRxId and ourRxSize go back to it for the AUTH reply. Reconciles the data IDs.
void AppBuf_LinkIds(AppBuf* buffer, uint16_t modemId, uint32_t peerRxId, uint32_t peerRxSize,
                    uint32_t* ourRxId, uint32_t* ourRxSize);
// Attaches the buffer to an authenticated link (an IpLink) and reconciles the data IDs.
template <class Link> void AppBuf_Link(AppBuf* buffer, Link* link) {
    link->AppBuf = buffer;
    AppBuf_LinkIds(buffer, link->ModemId, link->PeerRxId, link->PeerRxSize, &link->OurRxId, &link->OurRxSize);
}
// Prints the unlink trace; changes nothing.
void AppBuf_UnLink(AppBuf* buffer);

// Item builders of an IP command block: *pos is the write position inside the block that starts at
// block, and moves past what was written. 1 done (also when there was nothing to do), 0 no room.
int HCC_TxAppData(uint8_t* block, uint8_t** pos, AppBuf* buffer, int packing, int huffman);
int HCC_RxDataAck(uint8_t* block, uint8_t** pos, AppBuf* buffer);
// Answer parsers: item points after the code byte, avail bytes may be read. A null buffer (SMS answers)
// stores nothing. inputBits (optional) receives the input states in bits 0-3. Return the position after
// the item, or null when it does not fit or is refused (the parse stops).
const uint8_t* HCP_TxDataAck(const uint8_t* item, uint32_t avail, AppBuf* buffer, uint8_t* inputBits);
// code 6 (TxData) or 21 (TxDataWoAvail). A payload longer than RxPending, or a packed one that does
// not unpack, is refused.
const uint8_t* HCP_TxData(const uint8_t* item, uint32_t avail, AppBuf* buffer, uint8_t* inputBits, int code);

// ---------------------------------------------------------------------------------------------------
// Profile and field codecs
// ---------------------------------------------------------------------------------------------------





// ---------------------------------------------------------------------------------------------------
// Firmware image check and update transfer
// ---------------------------------------------------------------------------------------------------





// ---------------------------------------------------------------------------------------------------
// Command table and request builder
// ---------------------------------------------------------------------------------------------------





// ---------------------------------------------------------------------------------------------------
// Answer parser and command results
// ---------------------------------------------------------------------------------------------------





// ---------------------------------------------------------------------------------------------------
// Link layer and IP interface
// ---------------------------------------------------------------------------------------------------





// ---------------------------------------------------------------------------------------------------
// SMS text codec
// ---------------------------------------------------------------------------------------------------




