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
// The sink in use (the default one included), so that a caller can put it back.
TraceSink Trace_GetSink();
// A sink that drops everything; while it is the sink, nothing is formatted either.
void Trace_Discard(const char* text, size_t n);
// Whether trace output goes anywhere (the sink is not Trace_Discard); callers that prepare a trace
// line at some cost ask first.
bool Trace_On();
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

// Multi-byte fields in bytes: the wire is big-endian, firmware image headers and MD5 little-endian.
// The writers return the position after what they wrote.
inline uint16_t Get_U16BE(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
inline uint32_t Get_U32BE(const uint8_t* p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}
inline uint32_t Get_U32LE(const uint8_t* p) {
    return uint32_t{p[3]} << 24 | uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0];
}
inline uint8_t* Put_U16BE(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
    return p + 2;
}
inline uint8_t* Put_U32BE(uint8_t* p, uint32_t v) {
    return Put_U16BE(Put_U16BE(p, static_cast<uint16_t>(v >> 16)), static_cast<uint16_t>(v));
}
inline uint8_t* Put_U32LE(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
    return p + 4;
}

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

uint8_t Crc8(const uint8_t* data, uint16_t len);                          // CRC-8/SMBUS
uint16_t Crc16(const uint8_t* data, uint32_t len);                        // CRC-16/XMODEM
uint16_t Crc16_Update(uint16_t start, const uint8_t* data, uint32_t len); // continues a CRC-16/XMODEM
uint32_t Crc32_Msb(const uint8_t* data, uint32_t len);                    // CRC-32/MPEG-2
uint32_t Crc32(const uint8_t* data, uint32_t len);                        // CRC-32 (IEEE 802.3)
// Crc32_Msb uses the CPU's carry-less multiply where it has one. 0 makes it use the table code (tests
// and the benchmark compare the two), 1 the instruction again where there is one; returns 1 while it
// is in use.
int Crc_UseHardware(int on);

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
// Consecutive blocks, each on its own (electronic codebook); faster than one call a block. in and out
// may be the same buffer.
void Aes_EncryptBlocks(const AesCtx* ctx, const uint8_t* in, uint8_t* out, uint32_t blocks);
void Aes_DecryptBlocks(const AesCtx* ctx, const uint8_t* in, uint8_t* out, uint32_t blocks);
// The CPU's AES instructions are used where it has them. 0 makes every call use the table code (tests
// and the benchmark compare the two), 1 the instructions again where there are any; returns 1 while
// they are in use. Contexts keyed either way work either way.
int Aes_UseHardware(int on);

// ---------------------------------------------------------------------------------------------------
// Authentication, key table and block encryption
// ---------------------------------------------------------------------------------------------------
// A modem opens every session with an AUTH payload: 16 random bytes R encrypted with its long-term key,
// their CRC-32/MPEG-2 and a version word. The router finds the key that opens it, derives the session
// key AES-128(key = R[0..7] N[0..7], block = key) with its own nonce N and, for kind-2 modems, answers
// with N encrypted under the same key.

constexpr int AUTH_KEY_SIZE = 16;
constexpr int AUTH_PAYLOAD_SIZE = 32; // both directions
constexpr int AUTH_MAX_LISTED = 256;  // entries of the key table that are ever searched
// The key of every modem as delivered, the initial system key and the no-password marker.
extern const uint8_t Auth_FactoryKey[AUTH_KEY_SIZE];

// The key table. One global instance (AuthKeyTable) belongs to the router core; links and SMS objects
// only point to it. Keys[i] points into the object records and is not owned; a null entry opens nothing.
struct AuthKeys {
    uint8_t SystemKey[AUTH_KEY_SIZE]; // tried for modems that are not listed
    uint16_t Count;                   // listed modems; only the first AUTH_MAX_LISTED are searched
    uint16_t Ids[AUTH_MAX_LISTED];
    const uint8_t* Keys[AUTH_MAX_LISTED];
};

// Flags of AuthCtx.
enum : uint32_t {
    AUTH_NONCE_RUNS = 0x1,    // the nonce generator runs
    AUTH_OK = 0x2,            // a key was accepted, SessKey is valid
    AUTH_REJECTED = 0x4,      // the last AUTH was rejected
    AUTH_FACTORY_KEY = 0x8,   // the accepted key was the factory key
    AUTH_PENDING_USED = 0x10, // the accepted key was PendingKey
    AUTH_PENDING_SET = 0x20,  // Auth_SetPendingKey gave PendingKey a value
};

// Authentication context, embedded in every link and SMS object. The caller zeroes it, then Auth_Init.
struct AuthCtx {
    const AuthKeys* Keys;
    AesCtx Aes; // re-keyed before every cipher operation
    uint32_t Lfsr;
    uint32_t Flags;
    uint8_t MatchedKey[AUTH_KEY_SIZE]; // after a success: the long-term key that opened the AUTH
    uint8_t SessKey[AUTH_KEY_SIZE];
    uint8_t PendingKey[AUTH_KEY_SIZE]; // the key last sent with SetKey
    uint8_t Nonce[AUTH_KEY_SIZE];      // the router's random value; also the filler of encrypted blocks
    uint8_t Proof[4];
};

// Zeroes the table and sets SystemKey to the factory key.
void TMGSM_AuthKeysInit(AuthKeys* keys);
// The key to try for modemId besides the factory key: the entry of a listed modem (only that one, and
// it may be null), else SystemKey. *listed (when not null) tells which.
const uint8_t* Auth_ModemKey(const AuthKeys* keys, uint16_t modemId, bool* listed);

// Seeds the nonce generator from the operating system's random source (or the seed source below), sets
// Flags to AUTH_NONCE_RUNS and Keys to the table, and draws four nonces.
void Auth_Init(AuthCtx* ctx, const AuthKeys* keys);
// Replaces the seed source of Auth_Init (tests); null restores the operating system's random source.
using AuthSeedSource = uint32_t (*)();
void Auth_SetSeedSource(AuthSeedSource source);

// The generator state after n+1 steps.
uint32_t Auth_LfsrStep(uint8_t n, uint32_t state);
// Draws a new Nonce while AUTH_NONCE_RUNS is set; otherwise does nothing.
void Auth_NextNonce(AuthCtx* ctx);

// Splits a version word into four digits: the nibbles of its low half (nibbles != 0) or its four bytes,
// most significant first.
void Ver_Digits(uint32_t word, int nibbles, uint8_t digits[4]);

// Tries one long-term key on the first 24 bytes of a received AUTH payload. 1: the key opens it, the
// session key and Proof are derived, AUTH_OK is set and the 16 random-value bytes are left decrypted.
// 0: the payload and MatchedKey are as they were.
int Auth_TryKey(AuthCtx* ctx, uint8_t* payload, const uint8_t* key);
// Checks a received 32-byte AUTH payload of the modem modemId. Decodes the version word into version[4]
// and, for kind 2, *versionNo (digit 0 x 100 + digit 1); *kind (may be null) gets 0, 1 or 2 whether or
// not the AUTH is accepted. 1 accepted, 0 rejected.
int Auth_Accept(AuthCtx* ctx, uint8_t* payload, uint16_t modemId, uint8_t version[4], uint32_t* versionNo,
                uint8_t* kind);
// Writes bytes 0-23 of the router's AUTH payload into out (32 bytes, the caller fills 24-31) and restarts
// the nonce generator. Returns out + 32.
uint8_t* Auth_CreateResp(AuthCtx* ctx, uint8_t* out);
// Records the key sent to the modem with SetKey; only from then on is PendingKey tried.
void Auth_SetPendingKey(AuthCtx* ctx, const uint8_t key[AUTH_KEY_SIZE]);

bool Auth_IsOk(const AuthCtx* ctx);
bool Auth_UsedFactoryKey(const AuthCtx* ctx);
bool Auth_UsedPendingKey(const AuthCtx* ctx);
// Sets the session key directly (state file, SMS objects).
void Auth_SetSessKey(AuthCtx* ctx, const uint8_t key[AUTH_KEY_SIZE]);

// Command block (link frames): pads n bytes to P = n rounded up to 16 (0xFF, then nonce filler), encrypts
// them with SessKey and writes the plaintext's CRC-32/MPEG-2 big-endian after them. buf holds P + 4
// bytes. Returns P.
uint16_t Auth_EncryptBlkCrc(AuthCtx* ctx, uint8_t* buf, uint16_t n);
// CRC-closed block (SMS, state file): P = the smallest multiple of 16 holding n + 4 bytes; the data, 0xFF
// and filler when more than 4 bytes are free, the CRC in the last 4 bytes; all P bytes encrypted. buf
// holds P bytes. Returns P.
uint16_t Auth_EncryptBlk(AuthCtx* ctx, uint8_t* buf, uint16_t n);
// Decrypts the whole 16-byte blocks of len bytes in place and checks that the CRC-32/MPEG-2 of all len
// bytes is 0. Pass P for a CRC-closed block and P + 4 for a command block. 1 valid, 0 not (the buffer
// is left decrypted).
int Auth_DecryptBlk(AuthCtx* ctx, uint8_t* buf, uint16_t len);
// The same two with a 32-bit length, for the state file, which may outgrow 64 KB. The block records no
// length of its own, so below 65536 bytes the blocks are those of the 16-bit functions. n is at most
// 0xFFFFFFEC, so that P fits.
uint32_t Auth_EncryptBlk32(AuthCtx* ctx, uint8_t* buf, uint32_t n);
int Auth_DecryptBlk32(AuthCtx* ctx, uint8_t* buf, uint32_t len);

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

// The counters come first, together, so that a buffer whose queues are never used costs one page.
struct AppBuf {
    uint16_t ModemId;
    uint32_t TxFill;
    uint32_t TxHead;        // where the queued bytes start in TxQueue, which they use as a ring
    uint32_t TxInFlight;    // size of the block sent and not yet settled, 0: none
    uint32_t TxAcked;       // size the modem acknowledged last
    uint8_t ModemRnr;       // the modem is not ready to receive
    uint32_t RxPendingLen;  // unpacked length of the pending TxData payload, 0: none
    uint32_t RxPendingWire; // its length on the wire
    uint32_t RxFill;
    uint32_t RxHead;     // where the received bytes start in RxQueue, which they use as a ring
    uint32_t RxSinceAck; // bytes taken into RxQueue since the last TxDataAck
    uint8_t OurRnr;      // our receiver is not ready, sent in TxDataAck
    uint32_t TxId;       // data ID of the block in flight, or of the next one
    uint32_t TxSize;     // size of the last block sent
    uint32_t RxId;       // data ID of the last block taken into RxQueue
    uint32_t RxSize;     // number of its bytes taken
    uint32_t RxPendingId;
    uint8_t RxPending[AppBufPendingSize];
    uint8_t TxQueue[AppBufTxSize];
    uint8_t RxQueue[AppBufRxSize];
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
// AppBuf_Init of a buffer whose bytes are all zero already (fresh zero-filled memory): sets only what
// is not zero, so that many buffers cost no clearing.
void AppBuf_InitZeroed(AppBuf* buffer);
// Both repair inconsistent counters first. Return the flags; the outs are optional.
uint32_t AppBuf_TxState(AppBuf* buffer, uint32_t* freeSpace);
uint32_t AppBuf_RxState(AppBuf* buffer, uint32_t* rxFill);
// Returns the receive flags.
uint32_t AppBuf_GetState(AppBuf* buffer, AppBufState* state);
// Appends what TxQueue has room for; returns the count taken. Queued data is never touched.
uint32_t AppBuf_Push(AppBuf* buffer, const uint8_t* bytes, uint32_t n);
// Copies up to n queued bytes, from the offset-th on, to out; returns the count.
uint32_t AppBuf_TxPeek(const AppBuf* buffer, uint32_t offset, uint8_t* out, uint32_t n);
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
struct IpLink;
// Attaches the buffer to an authenticated link and reconciles the data IDs: the link's ModemId,
// PeerRxId and PeerRxSize come in, its OurRxId and OurRxSize go back for the AUTH reply.
void AppBuf_Link(AppBuf* buffer, IpLink* link);
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

// A modem's whole profile as the router keeps it: the GPRS and server part (profile 1), the SMS and
// reporting part (profile 2), the poll block and the incoming-SMS texts block. Numbers are native
// integers; strings are NUL-padded and carry no NUL when they fill their field. Phone numbers are
// 8-byte BCD: 16 digits, most significant nibble first, right-aligned, 0xF in the nibbles before the
// first digit (eight 0xFF: no number). The record is copied and merged byte by byte, so it is packed:
// its wider fields may be unaligned, so read them by value and never bind a pointer or reference to one.

#pragma pack(push, 1)
struct ObjProfile {
    uint32_t ServerIp; // first dotted part in the top byte
    uint16_t ServerPort;
    uint16_t Session;
    char Apn[32];
    char User[20];
    char GprsPassword[20];
    uint32_t ExtraWord; // carried unchanged
    uint8_t ConnectPhone[8];
    uint8_t Cfg0;
    uint8_t Cfg1;
    uint8_t SmsCentre[8];
    uint8_t SmsPhone[8];
    uint8_t Cfg2;
    uint8_t Cfg3;
    uint8_t Cfg4;
    uint8_t Cfg5;
    uint8_t Cfg6;
    uint8_t Cfg7; // Cfg7 to Cfg9: a 24-bit value, least significant byte first
    uint8_t Cfg8;
    uint8_t Cfg9;
    uint8_t Cfg10;
    uint8_t Cfg11;
    uint8_t Cfg12;
    uint8_t Cfg13;
    uint8_t Cfg14;
    uint16_t Profile2Word; // carried unchanged
    uint8_t Profile2Byte;  // carried unchanged
    uint8_t PollHead[4];
    uint8_t PollId[8];
    uint8_t PollWord[4];
    char PollText[128];
    uint8_t InSmsMask[2];  // 12 flags: bits 0-7 in byte 0, bits 8-11 in bits 0-3 of byte 1
    char InSmsText[6][64]; // each ended by a 0 byte
    uint8_t InSmsNum1[8];
    uint8_t InSmsNum2[8];
    uint8_t InSmsTail[3];
    uint8_t Cfg15;
    uint8_t Cfg16;
};
#pragma pack(pop)
static_assert(sizeof(ObjProfile) == 677);

// Wire sizes of the four parts (numbers big-endian).
constexpr size_t PROF1_SIZE = 92;
constexpr size_t PROF2_SIZE = 43;
constexpr size_t POLL_SIZE = 144;
constexpr size_t INSMS_SIZE = 407;

// Encoders write into out, which the caller sizes (the command builder checks the room first), and
// return the position after what they wrote.
// part 0: profile 1 (92 bytes); any other part: profile 2 (43 bytes).
uint8_t* Prof_Encode(uint8_t* out, int part, const ObjProfile* prof);
uint8_t* Poll_Encode(uint8_t* out, const ObjProfile* prof);
// Also clears the last byte of each InSmsText in prof, as the modem expects of the sender.
uint8_t* InSms_Encode(uint8_t* out, ObjProfile* prof);
size_t InSms_Size(); // 407

// Decoders of answer bytes from a modem: they read at most avail bytes of in and fill prof. Each
// returns the position after its part, or null (and prof untouched) when avail is too short.
// code 2: profile 1 (92 bytes); code 3: profile 2 (43 bytes); any other code: null. Profile 2 changes
// only the configuration bits that travel and keeps the others.
const uint8_t* Prof_Decode(const uint8_t* in, size_t avail, ObjProfile* prof, int code);
const uint8_t* Poll_Decode(const uint8_t* in, size_t avail, ObjProfile* prof);
// Each text is taken as 63 bytes and ended with 0; the upper 4 bits of InSmsMask[1] are kept.
const uint8_t* HCP_InSmsStr(const uint8_t* in, size_t avail, ObjProfile* prof);

// Field codecs for the dialogs' edit texts (NUL-terminated). They return 1 when the text is valid and
// store the value only then (into out or prof when not null); 0 when it is invalid.
// Dotted IPv4 address, 7 to 15 characters, spaces skipped, a control character ends the text, text
// after the fourth group ignored.
int Ip_FromStr(uint32_t* out, const char* text);
// out holds at least 16 bytes.
void Ip_ToStr(uint32_t value, char* out);
// "" gives no number (eight 0xFF); else 7 to 16 decimal digits with at least 7 counted from the first
// non-zero one. out holds 8 bytes.
int Digits_ToBcd(const char* text, uint8_t* out);
// The digits of a valid number, "" for an invalid one; out holds at least 17 bytes.
void Bcd_ToDigits(char* out, const uint8_t* bcd);
// 1 when the 8 bytes are a valid number (at least 7 digits, one not 0; leading zeros count), else 0.
int Bcd_Check(const uint8_t* bcd);

// String fields of profile 1.
enum ProfStr { PROF_STR_APN = 0, PROF_STR_USER = 1, PROF_STR_PASSWORD = 2 };
// Apn 1 to 32 characters; User and GprsPassword 0 to 20. A null prof only checks the text.
int Prof_SetStr(int field, ObjProfile* prof, const char* text);
// Copies the field up to its first NUL or full size and ends it with NUL (out holds 33 bytes); an
// unknown field gives "".
void Prof_GetStr(int field, const ObjProfile* prof, char* out);

// ---------------------------------------------------------------------------------------------------
// Firmware image check and update transfer
// ---------------------------------------------------------------------------------------------------
// Image: a 128-byte header (count u32 LE, MD5 of the data, CRC-32 of header bytes 0-19, version word,
// build time) and count data blocks of 128 bytes. Block 0 is the header.

constexpr int UPD_BLOCK_SIZE = 128;
constexpr int UPD_TEXT_SIZE = 64;
constexpr int UPD_CTX_ANSWER_SIZE = 36; // GetUpdCtx answer payload

// Flags of UpdCtx.
enum : uint8_t {
    UPD_INVALID = 0x1,   // the image failed its check
    UPD_RESTART = 0x2,   // the modem holds another or damaged partial image: restart at block 0
    UPD_COMPLETE = 0x4,  // every block has been sent
    UPD_CTX_KNOWN = 0x8, // the modem's update context has arrived, the upload may proceed
};

// Update state of a link. Image is not owned (the settings dialog's table of loaded images owns it);
// ImageSize is the length of that buffer, so that a count claiming more blocks is never read.
struct UpdCtx {
    const uint8_t* Image; // null: no update
    uint32_t ImageSize;
    uint8_t Flags;
    uint8_t Percent;    // NextBlock x 100 / (count + 1)
    uint32_t NextBlock; // the next block to send
};

// 1 if the size bytes at image form a valid image, else 0. Writes *kind (0-4) and the 64-byte version
// text "mDD.DD pDD.DD (dd/mm/yyyy hh:mm)" whenever they are not null, valid or not (kind 0 and an empty
// text when the buffer is too short to hold a version).
int UpdImg_Check(const uint8_t* image, uint32_t size, char* text, uint8_t* kind);
// Parses a GetUpdCtx answer of avail bytes into upd. Returns the position after its 36 bytes, or null
// when fewer are available.
const uint8_t* HCP_UpdCtx(const uint8_t* answer, uint32_t avail, UpdCtx* upd);
// Writes one SetUpdBlk item (code, count byte, blocks) into out, which has space bytes left in the
// command block. Returns the bytes written; 0 when nothing was built (invalid image, no known context,
// less than 130 bytes of space, or every block sent: then UPD_COMPLETE is set).
uint32_t Upd_PutBlocks(UpdCtx* upd, uint8_t* out, uint32_t space);
// The command builder's SetUpdBlk item: Upd_PutBlocks at *pos with the space the block of the mode,
// starting at block, has left, and *pos moved past it. 1 built, 0 nothing built.
int HCC_UpdBlk(uint32_t versionNo, uint8_t* block, uint8_t** pos, UpdCtx* upd, uint8_t mode);

// ---------------------------------------------------------------------------------------------------
// Command table and request builder
// ---------------------------------------------------------------------------------------------------

// Everything the router asks of a modem is a command: a code byte and its payload, placed as an item
// into one command block. Callers keep a request mask with one bit per command and hand it to
// CreateCmd, which builds as many of the requested items as fit, in a fixed priority order, encrypts
// the block and leaves in the mask the bits it could not build. The modem answers with items whose
// code byte is CMD_ANSWER + code (see the answer parser below). Payload numbers are big-endian.

// Command codes.
enum : uint8_t {
    CMD_SET_PROFILE1 = 0,
    CMD_SET_PROFILE2 = 1,
    CMD_GET_PROFILE1 = 2,
    CMD_GET_PROFILE2 = 3,
    CMD_RX_DATA = 4,
    CMD_RX_DATA_ACK = 5, // answer only
    CMD_TX_DATA = 6,     // answer only
    CMD_TX_DATA_ACK = 7,
    CMD_SET_KEY = 8,
    CMD_SET_HW_ID = 9,
    CMD_SET_UPD_BLK = 10,
    CMD_GET_HW_INFO = 11,
    CMD_GET_UPD_CTX = 12,
    CMD_CLR_STAT = 13,
    CMD_GPRS_CLOSE = 14, // never built
    CMD_NULL = 15,       // a poll
    CMD_SET_IP = 16,
    CMD_GET_INPUTS = 17, // answer only
    CMD_SET_POLL_STR = 18,
    CMD_GET_POLL_STR = 19,
    CMD_GET_LOG = 20,
    CMD_TX_DATA_WO_AVAIL = 21, // answer only
    CMD_RX_DATA_PACKED = 22,   // goes in place of RxData; has no request bit of its own
    CMD_IN_SMS_STR_SET = 23,
    CMD_IN_SMS_STR_GET = 24,
};
constexpr uint8_t CMD_COUNT = 25;
constexpr uint8_t CMD_NONE = 255;    // Cmd_NextFromMask: no buildable bit is set
constexpr uint8_t CMD_ANSWER = 0x80; // added to the code in an answer item

// Request mask bits, one per command; the answered mask of CmdResults uses the same bits.
enum : uint32_t {
    REQ_SET_PROFILE1 = 0x1,
    REQ_SET_PROFILE2 = 0x2,
    REQ_GET_PROFILE1 = 0x4,
    REQ_GET_PROFILE2 = 0x8,
    REQ_RX_DATA = 0x10,
    REQ_RX_DATA_ACK = 0x20, // answers only
    REQ_TX_DATA = 0x40,     // answers only: TxData and TxDataWoAvail
    REQ_TX_DATA_ACK = 0x80,
    REQ_SET_KEY = 0x100,
    REQ_SET_HW_ID = 0x200,
    REQ_SET_UPD_BLK = 0x400,
    REQ_GET_HW_INFO = 0x800,
    REQ_GET_UPD_CTX = 0x1000,
    REQ_CLR_STAT = 0x2000,
    REQ_GPRS_CLOSE = 0x4000,
    REQ_NULL = 0x8000,
    REQ_SET_IP = 0x10000,
    REQ_GET_INPUTS = 0x20000, // answers only
    REQ_SET_POLL_STR = 0x40000,
    REQ_GET_POLL_STR = 0x80000,
    REQ_GET_LOG = 0x100000,
    REQ_IN_SMS_STR_SET = 0x200000,
    REQ_IN_SMS_STR_GET = 0x400000,
    REQ_AUTH = 0x80000000, // not a command: asks the link for its AUTH step
};

// Block modes. The text mode is a block that nothing in the system creates; only its limits are kept.
enum : uint8_t { CMD_MODE_TEXT = 0, CMD_MODE_SMS = 1, CMD_MODE_IP = 2 };
constexpr size_t CMD_IP_ITEMS_MAX = 1008;   // bytes of items in an IP block; 4 CRC bytes follow the block
constexpr size_t CMD_SMS_ITEMS_MAX = 108;   // bytes of items in an SMS block
constexpr size_t CMD_SMS_BLOCK_MAX = 112;   // the encrypted SMS block, CRC included
constexpr uint32_t CMD_VERSION_INSMS = 104; // modems from this VersionNo on take the incoming-SMS texts

struct AuthCtx;
struct UpdCtx;
struct AppBuf;
struct CmdResults;

// Parameters of the requested commands, set by the caller before it asks for the commands that need
// them. Profile is the caller's (profile editor, SMS dialog) and must outlive the request; SetProfile1,
// SetProfile2, SetIp, SetPollStr and InSmsStrSet need it (without it they are not built), and
// InSmsStrSet clears the last byte of each of its texts, as the modem expects of the sender.
struct CmdParams {
    uint8_t NewKey[16]; // sent by SetKey, which also makes it the AuthCtx's pending key
    uint16_t HwId;      // argument of SetHwId
    uint16_t ClrStatArg;
    ObjProfile* Profile;
};

// The parts of one link or SMS object that the command builder and the answer parser work on:
// pointers into the caller's object, gathered just before each call (Cmd_LinkCtx does it for a link).
struct CmdCtx {
    uint16_t ModemId;    // for the trace lines
    CmdResults* Results; // the answers; its HwInfo.VersionNo gates the command layouts
    CmdParams* Params;
    AuthCtx* Auth; // SessKey encrypts the block; its nonce gives the filler
    UpdCtx* Upd;
    AppBuf* Buf;     // the linked application data buffer; null: none (always for SMS objects)
    uint8_t Options; // bit 1: RxData may be packed; bit 2: also with the Huffman method
    // The block being built: room for CMD_IP_ITEMS_MAX + 4 bytes (IP) or CMD_SMS_BLOCK_MAX (SMS).
    uint8_t* Block;
    uint16_t* BlockLen; // the padded length of the encrypted block; 0 when no item was written
    // Received records [length u16][plaintext], oldest first, for the answer parser.
    uint8_t* Records;
    uint16_t* RecordsLen; // bytes held
    uint16_t RecordsCap;
    uint8_t* LogStore; // LOG_STORE_SIZE bytes for the last GetLog answer; null: none (SMS objects)
};

// Builds one block from the request mask in mode CMD_MODE_IP or CMD_MODE_SMS and returns the bits not
// built; *mask gets the same value. An item that does not fit, or cannot be built in this mode, stops
// the block: its bit and every lower-priority bit stay. A mask of 0 builds nothing and returns 0. When
// no item bytes were written nothing is encrypted and *BlockLen is 0.
uint32_t CreateCmd(uint8_t mode, CmdCtx* ctx, uint32_t* mask);

// The code of the highest-priority buildable bit set in mask, CMD_NONE if none is set.
uint8_t Cmd_NextFromMask(uint32_t mask);
// The request bit of a code; 0 for RxDataPacked and for codes above 24.
uint32_t Cmd_Bit(uint8_t code);
// The trace name, filled with spaces to 13 characters; "???" outside 0 to 24.
const char* Cmd_Name(uint8_t code);
void Cmd_ClearBit(uint32_t* mask, uint8_t code);
// 1 if an item of size bytes (code byte included), written at pos, still fits into the block of the
// mode that starts at start, else 0.
int Cmd_Fits(uint32_t versionNo, const uint8_t* start, const uint8_t* pos, size_t size, uint8_t mode);
// Bytes left at pos for data, acknowledgement and firmware items; 0 when none.
size_t Cmd_Space(uint32_t versionNo, const uint8_t* start, const uint8_t* pos, uint8_t mode);

// ---------------------------------------------------------------------------------------------------
// Answer parser and command results
// ---------------------------------------------------------------------------------------------------

// A decrypted block reaches the parser as one record: [length u16 big-endian, of which the low 10 bits
// count][the plaintext]. The plaintext is a run of answer items (code byte CMD_ANSWER + code, then its
// payload), ended by 0xFF and filler. Every item is checked against the bytes left in its block before
// it is read; an item that does not fit ends the parse and is not counted as answered.

// The modem's hardware information as the system uses it.
struct HwInfo {
    uint8_t Version[4]; // version digits, from the AUTH and from every GetHwInfo answer
    uint32_t VersionNo; // digit 0 x 100 + digit 1 from a kind-2 AUTH, else 0
    uint8_t InputBits;  // states of inputs 1 to 4 in bits 0-3
};

constexpr uint32_t CMD_ERR_HW_INFO_TYPE = 0x800; // Errors: a hardware information answer of unknown type
constexpr uint32_t CMD_LINK_ERR_DECRYPT = 0x1;   // LinkErrors: the last I or AI frame failed decryption

// The answers parsed for a link or an SMS object.
struct CmdResults {
    uint32_t Answered; // request bits of every answer parsed; the parser only sets, the caller clears
    uint32_t Errors;
    uint32_t LinkErrors; // kept by the link layer
    ObjProfile Profile;  // from GetProfile1, GetProfile2, GetPollStr and InSmsStrGet
    ::HwInfo HwInfo;
};

constexpr size_t LOG_STORE_SIZE = 1026; // type, count, up to 1024 bytes of entries

// Parses the first record held in ctx's Records (mode CMD_MODE_IP or CMD_MODE_SMS) into its Results
// and removes the record; nothing when not even a record header is held. A record length beyond the
// bytes held is cut to them.
void HCP_ParseAnswers(uint8_t mode, CmdCtx* ctx);

// Item parsers: item points after the code byte, avail bytes may be read. Each returns the position
// after its item, or null when the item does not fit.
// GetHwInfo, laid out by its type and results->HwInfo.VersionNo; an unknown type sets
// CMD_ERR_HW_INFO_TYPE and is skipped by its length byte.
const uint8_t* HCP_HwInfo(const uint8_t* item, size_t avail, CmdResults* results);
// GetInputs: bits 0-2 of InputBits.
const uint8_t* HCP_Inputs(const uint8_t* item, size_t avail, CmdResults* results);
// GetLog into store (LOG_STORE_SIZE bytes: type, count, entries); a null store skips the item.
const uint8_t* HCP_GetLog(const uint8_t* item, size_t avail, uint8_t* store);

// The parts of a link for CreateCmd and HCP_ParseAnswers in CMD_MODE_IP.
CmdCtx Cmd_LinkCtx(IpLink* link);

// ---------------------------------------------------------------------------------------------------
// Link layer and IP interface
// ---------------------------------------------------------------------------------------------------

// A modem keeps one TCP connection and speaks a framed, stop-and-wait protocol over it. The functions
// below never touch the socket: the caller hands in what it read and sends what they hand out.
//
// Frame: 0x55 0xAA, modem ID (u16), control word (u16), CRC-8 over ID and control word, payload.
// All multi-byte fields are big-endian. Control word: bits 0-2 type, 3-5 N(S), 6-8 N(R), 9-14 length
// code L. I and AI frames carry 16 x (L+1) bytes of ciphertext and the plaintext's CRC-32/MPEG-2; an
// AUTH frame (L = 32) carries 32 bytes in clear and their CRC-16/XMODEM; RR, REJ and RNR carry nothing.
//
// Calling order: TMGSM_InitIp once per connection; every chunk read from the socket goes to
// TMGSM_AcceptIpMsg (repeated until all of it was taken), each result ORed with TMGSM_QryIp; on an
// AUTH-ok event TMGSM_IpAuthRes, link the application buffer, then TMGSM_CreateIpMsg with REQ_AUTH in the
// mask; afterwards, on a timer, TMGSM_QryIp, TMGSM_CreateIpMsg with the pending requests,
// TMGSM_CreateRRMsg on LEV_RR_DUE and TMGSM_GetIpSMsg on LEV_SFRAMES. Everything handed out is sent as
// it is. Main thread only.

constexpr int LNK_HEADER_SIZE = 7;
constexpr int LNK_AUTH_FRAME_SIZE = LNK_HEADER_SIZE + AUTH_PAYLOAD_SIZE + 2;
constexpr int LNK_MAX_CIPHER = 1008;                                // L = 62
constexpr int LNK_MAX_FRAME = LNK_HEADER_SIZE + LNK_MAX_CIPHER + 4; // the largest frame on the wire
constexpr int LNK_OUT_SIZE = 1025;                                  // room for the output of CreateIpMsg
constexpr int LNK_SQUEUE_SIZE = 4;                                  // supervisory frames waiting
constexpr int LNK_RXBUF_SIZE = 3072;
constexpr int LNK_FRAME_SIZE = 1024;
constexpr int LNK_ASM_SIZE = 1028;

// Frame types, bits 0-2 of the control word.
enum : uint8_t { LNK_I = 0, LNK_RR = 1, LNK_REJ = 2, LNK_RNR = 3, LNK_AUTH = 4, LNK_AI = 5 };

// Flags of IpLink.
enum : uint32_t {
    LNK_UNACKED = 0x1,      // an I frame is unacknowledged
    LNK_RR_DUE = 0x2,       // an accepted I frame has not been acknowledged yet
    LNK_ACK_TIMER = 0x4,    // the acknowledgement timer runs
    LNK_AUTH0_STEP = 0x40,  // an AUTH of kind 0 was accepted, the caller's AUTH step is pending
    LNK_AUTH1_STEP = 0x80,  // the same for kind 1
    LNK_AUTH2_STEP = 0x100, // the same for kind 2 (the AUTH reply is due)
};

// LinkEvents: the event sets returned by the link functions.
enum : uint32_t {
    LEV_AUTH0 = 0x1,          // AUTH of a kind-0 modem accepted (or a frame came while its step pends)
    LEV_AUTH1 = 0x8,          // the same for kind 1
    LEV_AUTH2 = 0x10,         // the same for kind 2
    LEV_DATA = 0x20,          // an I or AI frame was decrypted and its answers parsed
    LEV_REJ_SENT = 0x40,      // an I frame out of sequence was discarded, REJ queued (with LEV_SFRAMES)
    LEV_RNR_SENT = 0x80,      // an I frame found no room, was discarded, RNR queued (with LEV_SFRAMES)
    LEV_RNR_RCVD = 0x100,     // the modem is not ready
    LEV_WAIT_ACK = 0x200,     // an I frame is unacknowledged; from CreateIpMsg: nothing built for it
    LEV_RR_DUE = 0x400,       // call TMGSM_CreateRRMsg
    LEV_ACK_TIMEOUT = 0x800,  // the unacknowledged I frame is AckTimeoutSec old or older
    LEV_AUTH_ERROR = 0x1000,  // AUTH rejected, or an I/AI frame failed decryption or its CRC
    LEV_FRAME_BUILT = 0x2000, // an I or AI frame is in the output
    LEV_SFRAMES = 0x4000,     // S frames wait; from CreateRRMsg and GetIpSMsg: S frames are in the output
    LEV_AUTH_REPLY = 0x8000,  // the AUTH reply is in the output
    LEV_HEADER_ERROR = 0x20000000, // a header failed its CRC-8 and was dropped
    LEV_FRAME_ERROR = 0x40000000,  // a malformed AUTH frame or an oversize length code was dropped
    LEV_NOTHING = 0x80000000,      // nothing to send
};

// Link context of one modem connection, owned by the session object. Every buffer is a fixed array.
struct IpLink {
    uint16_t ModemId;              // modem ID of the last received frame header
    uint32_t PeerRxId, PeerRxSize; // kind-2 AUTH: last application block the modem received
    uint32_t OurRxId, OurRxSize;   // last application block the router received (AUTH reply)
    uint32_t TxCtl;                // control word of the last frame built
    uint32_t RxCtl;                // control word of the last frame received
    uint8_t VR;                    // N(S) expected in the next I frame
    uint8_t VA;                    // oldest unacknowledged N(S)
    uint8_t VS;                    // N(S) of the next I frame to send
    uint32_t AckTimeoutSec;
    uint32_t LastTxTime;           // link clock seconds when the last I or AI frame was built
    uint8_t RxBuf[LNK_RXBUF_SIZE]; // received bytes not yet consumed
    uint16_t RxLen;
    uint8_t RxFrame[LNK_FRAME_SIZE]; // payload of the frame being processed
    uint16_t RxFrameLen;
    uint8_t NextFrame[LNK_FRAME_SIZE]; // payload of the frame that follows, for duplicate detection
    uint16_t NextFrameLen;
    uint8_t SQueue[LNK_SQUEUE_SIZE][LNK_HEADER_SIZE]; // S frames waiting, oldest first
    uint8_t SCount;
    uint8_t TxFrame[LNK_OUT_SIZE]; // the last frame built
    uint16_t TxFrameLen;
    uint32_t Flags;
    uint16_t RxAsmLen;
    uint8_t RxAsm[LNK_ASM_SIZE]; // decrypted blocks for the parser: [length u16 BE][plaintext]
    uint16_t TxPayloadLen;
    uint8_t TxPayload[LNK_ASM_SIZE]; // the command block being built, encrypted in place
    CmdResults Results;
    CmdParams Params;
    UpdCtx Upd;
    AuthCtx Auth;
    ::AppBuf* AppBuf;                 // not owned; null until linked
    uint8_t LogStore[LOG_STORE_SIZE]; // the last GetLog answer
    uint8_t Options;                  // bit 0 our option bit, bit 1 packing, bit 2 Huffman packing
};

// Monotonic seconds on which the acknowledgement time-out is measured. The default is the system's
// steady clock; tests install a fake. Null restores the default.
using LinkClockSource = uint32_t (*)();
void TMGSM_SetLinkClock(LinkClockSource source);
uint32_t TMGSM_LinkSeconds();

// Clears the whole link; sets the time-out, the firmware image (null: none) and, when options is not
// null, Options; then Auth_Init with the key table.
void TMGSM_InitIp(IpLink* link, const AuthKeys* keys, const uint8_t* options, uint32_t ackTimeoutSec,
                  const uint8_t* image, uint32_t imageSize);
// Appends as many of the n bytes as RxBuf has room for (*taken gets the count; it may be less than n,
// and the caller hands in the rest after the next calls) and processes at most one complete frame.
// With n = 0 it processes the next buffered frame. Returns one event, or 0 when nothing happened.
uint32_t TMGSM_AcceptIpMsg(IpLink* link, const uint8_t* bytes, size_t n, size_t* taken);
// One TMGSM_AcceptIpMsg with no bytes, then the link state bits, then one run of the answer parser.
// The events of the frame it may take come ORed into the result, so while frames may still be buffered
// ask TMGSM_IpState instead.
uint32_t TMGSM_QryIp(IpLink* link);
// The link state bits of TMGSM_QryIp (LEV_WAIT_ACK, LEV_RR_DUE, LEV_ACK_TIMEOUT, LEV_SFRAMES) without
// taking a buffered frame or running the parser.
uint32_t TMGSM_IpState(const IpLink* link);
// Builds at most one frame into out (room for LNK_OUT_SIZE bytes) from the request mask, which is
// updated to the bits still outstanding. Returns LEV_AUTH_REPLY, LEV_FRAME_BUILT, LEV_WAIT_ACK or
// LEV_NOTHING (also when every requested item came out empty: then nothing is built, the link stays
// idle and the mask holds the bits that could not be built).
uint32_t TMGSM_CreateIpMsg(IpLink* link, uint8_t* out, uint16_t* outLen, uint32_t* mask);
// When an RR is due, queues it and hands out every queued S frame (out: room for 28 bytes).
// LEV_SFRAMES or LEV_NOTHING.
uint32_t TMGSM_CreateRRMsg(IpLink* link, uint8_t* out, uint16_t* outLen);
// Hands out the oldest queued S frame (7 bytes). LEV_SFRAMES or LEV_NOTHING.
uint32_t TMGSM_GetIpSMsg(IpLink* link, uint8_t* out, uint16_t* outLen);
// 3 no key accepted, 1 the factory key, 2 the pending key of a SetKey, 0 any other key.
int TMGSM_IpAuthRes(const IpLink* link);

// ---------------------------------------------------------------------------------------------------
// SMS text codec
// ---------------------------------------------------------------------------------------------------

// A command block by SMS: one text of at most 160 characters: the marker "," (hexadecimal body) or "."
// (64-character alphabet body), the modem ID in 4 hexadecimal digits, the CRC-closed block keyed with
// the long-term key itself followed by its CRC-8, encoded, and LF.

constexpr size_t SMS_TEXT_SIZE = 160;
constexpr size_t SMS_BLOCK_SIZE = 1030;

// The context in which one SMS text is built or checked; the caller's, usually on its stack.
struct SmsObj {
    uint16_t ModemId; // written into an outgoing text (the router writes 0), read from a received one
    CmdResults Results;
    CmdParams Params;
    // Building: the encrypted block, BlockLen its padded length. After a text was accepted: one record
    // [length u16][plaintext] for the answer parser, BlockLen its size.
    uint16_t BlockLen;
    uint8_t Block[SMS_BLOCK_SIZE];
    AuthCtx Auth; // SessKey: the long-term key in use
    UpdCtx Upd;   // unused by SMS
    char Text[SMS_TEXT_SIZE];
    uint8_t TextLen; // its final LF included
};

// Results of TMGSM_AcceptSmsMsg.
enum : int {
    SMS_NO_MARKER = 0,   // no "," or "." in the text
    SMS_MALFORMED = 1,   // too short after the marker and ID, an invalid ID, or a block under 16 bytes
    SMS_BAD_CRC = 2,     // the CRC-8 does not match
    SMS_NO_KEY = 3,      // no key opens the block
    SMS_FACTORY_KEY = 4, // opened with the factory key; answers parsed into Results
    SMS_OWN_KEY = 5,     // opened with the modem's own key or the system key; answers parsed
};

// Clears the object and initialises its Auth with the key table (which it only refers to).
void TMGSM_InitSms(SmsObj* sms, const AuthKeys* keys);
// Builds Text for the requested commands (set ModemId and Params first), the block encrypted with the
// 16-byte key; TextLen is 0 when no item was built. Returns the request bits that were not built.
uint32_t TMGSM_CreateSmsMsg(SmsObj* sms, const uint8_t* key, uint32_t mask);
// Checks a received text of len characters (only the first 160 are looked at), opens its block by key
// trial and parses its answers into Results. Returns an SMS_* result.
int TMGSM_AcceptSmsMsg(SmsObj* sms, const char* text, size_t len);
