// Application data buffers: the send and receive queues of one object, their data IDs, and the four
// command items that move the data.
#include "protocol/tmgsm.h"

#include <cstring>

namespace {

constexpr uint32_t DataHead = 5; // code, data ID, length
constexpr uint8_t PackedFlag = 0x80;
constexpr uint32_t AnyVersion = 0; // the room of an IP block does not depend on the modem's version

// Data IDs run from 0 to 65534; 65535 means none yet.
uint32_t NextId(uint32_t id) {
    return id >= AppBufNoId - 1 ? 0 : id + 1;
}

void SetInputs(uint8_t* inputBits, uint32_t states) {
    if (inputBits)
        *inputBits = static_cast<uint8_t>((*inputBits & 0xF0) | (states & 0x0F));
}

void ClearInFlight(AppBuf* b) {
    b->TxInFlight = 0;
    b->TxAcked = 0;
    b->ModemRnr = 0;
}

// The queues are rings of the given size.
uint32_t Wrap(uint32_t at, uint32_t size) {
    return at % size;
}

// n bytes to or from the ring, starting at at, taken round the ring.
void RingWrite(uint8_t* ring, uint32_t size, uint32_t at, const uint8_t* bytes, uint32_t n) {
    at = Wrap(at, size);
    const uint32_t first = n < size - at ? n : size - at;
    memcpy(ring + at, bytes, first);
    memcpy(ring, bytes + first, n - first);
}

void RingRead(const uint8_t* ring, uint32_t size, uint32_t at, uint8_t* out, uint32_t n) {
    at = Wrap(at, size);
    const uint32_t first = n < size - at ? n : size - at;
    memcpy(out, ring + at, first);
    memcpy(out + first, ring, n - first);
}

// The modem took the first acked bytes of the block in flight: they leave the queue and the next block
// gets the next data ID. Only the start of the ring moves.
void SettleBlock(AppBuf* b, uint32_t acked) {
    uint32_t fill = b->TxFill < AppBufTxSize ? b->TxFill : AppBufTxSize;
    uint32_t removed = acked < fill ? acked : fill;
    b->TxFill = fill - removed;
    b->TxHead = b->TxFill ? Wrap(b->TxHead + removed, AppBufTxSize) : 0;
    Dbg_Printf("AppBuf_TxAck:%04x (Ack:%d, Fill:%d)\n", b->ModemId, acked, b->TxFill);
    ClearInFlight(b);
    b->TxId = NextId(b->TxId);
}

// Brings the send side in line with what the modem reports at AUTH: peerRxId and peerRxSize are the
// data ID and size of the last block it received.
void Reconcile(AppBuf* b, uint32_t peerRxId, uint32_t peerRxSize) {
    if (peerRxId == AppBufNoId || peerRxSize == AppBufNoId) {
        b->TxSize = 0;
        b->TxId = 0;
        b->TxInFlight = 0;
        b->TxAcked = 0;
        Trace_Printf(" *** client never rcv yet ***\n");
        return;
    }
    if (b->TxId == AppBufNoId || b->TxSize == AppBufNoId) {
        Trace_Printf(" *** server never trx yet ***\n");
        return;
    }
    if (peerRxId != b->TxId) {
        ClearInFlight(b); // the block in flight goes again
        Trace_Printf(" *** last data was acked ***\n");
        return;
    }
    if (b->TxInFlight == 0) {
        b->TxAcked = 0;
        b->ModemRnr = 0;
        return;
    }
    if (peerRxSize > b->TxSize) {
        ClearInFlight(b);
        Trace_Printf(" *** incorrect size to ack (skip) ***");
        return;
    }
    // The modem got the block in flight, or its first peerRxSize bytes, before the connection was lost.
    // Those bytes leave the queue even when they are only part of the block, so that the modem never
    // gets them twice; the rest goes in a new block.
    Trace_Printf(" *** previos data ack : (%d) ***", peerRxSize);
    b->ModemRnr = 0;
    b->TxAcked = peerRxSize;
    SettleBlock(b, peerRxSize);
    b->TxId = NextId(b->TxId);
}

} // namespace

void AppBuf_Init(AppBuf* buffer) {
    memset(buffer, 0, sizeof *buffer);
    AppBuf_InitZeroed(buffer);
}

void AppBuf_InitZeroed(AppBuf* buffer) {
    buffer->TxId = AppBufNoId;
    buffer->TxSize = AppBufNoId;
    buffer->RxId = AppBufNoId;
    buffer->RxSize = AppBufNoId;
}

uint32_t AppBuf_TxState(AppBuf* buffer, uint32_t* freeSpace) {
    AppBuf* b = buffer;
    uint32_t flags = 0;
    if (b->TxHead >= AppBufTxSize)
        b->TxHead = Wrap(b->TxHead, AppBufTxSize);
    if (b->TxFill > AppBufTxSize) {
        b->TxFill = 0;
        b->TxHead = 0;
        ClearInFlight(b);
        flags |= AppBufTxRepaired;
    } else if (b->TxFill > 0) {
        if (b->TxAcked != 0 && b->TxAcked != b->TxInFlight) {
            ClearInFlight(b);
            flags |= AppBufTxAckMismatch;
        } else if (b->TxInFlight > b->TxFill) {
            ClearInFlight(b);
            flags |= AppBufTxRepaired;
        } else if (b->TxInFlight != 0)
            flags |= AppBufTxInFlight;
    } else {
        b->TxHead = 0;
        b->TxAcked = 0;
        b->ModemRnr = 0;
        if (b->TxInFlight != 0) {
            b->TxInFlight = 0;
            flags |= AppBufTxRepaired;
        }
    }
    if (b->TxFill == 0)
        flags |= AppBufTxEmpty;
    if (b->TxFill == AppBufTxSize)
        flags |= AppBufTxFull;
    if (freeSpace)
        *freeSpace = AppBufTxSize - b->TxFill;
    return flags;
}

uint32_t AppBuf_RxState(AppBuf* buffer, uint32_t* rxFill) {
    AppBuf* b = buffer;
    uint32_t flags = 0;
    if (b->RxFill > AppBufRxSize) {
        b->RxFill = 0;
        b->RxHead = 0;
        b->RxSinceAck = 0;
        b->OurRnr = 0;
        flags |= AppBufRxRepaired;
    }
    if (b->RxFill == AppBufRxSize)
        flags |= AppBufRxFull;
    if (b->RxFill == 0)
        flags |= AppBufRxEmpty;
    if (b->RxPendingLen)
        flags |= AppBufRxPending;
    else if (b->RxSinceAck)
        flags |= AppBufRxUnacked;
    if (rxFill)
        *rxFill = b->RxFill;
    return flags;
}

uint32_t AppBuf_GetState(AppBuf* buffer, AppBufState* state) {
    state->TxFlags = AppBuf_TxState(buffer, &state->TxFree);
    state->RxFlags = AppBuf_RxState(buffer, &state->RxFill);
    return state->RxFlags;
}

uint32_t AppBuf_Push(AppBuf* buffer, const uint8_t* bytes, uint32_t n) {
    uint32_t room = buffer->TxFill < AppBufTxSize ? AppBufTxSize - buffer->TxFill : 0;
    uint32_t taken = n < room ? n : room;
    if (taken) {
        RingWrite(buffer->TxQueue, AppBufTxSize, buffer->TxHead + buffer->TxFill, bytes, taken);
        buffer->TxFill += taken;
    }
    Dbg_Printf("AppBuf_Push[%04x] (%d of %d, sum=%d)\n", buffer->ModemId, taken, n, buffer->TxFill);
    return taken;
}

uint32_t AppBuf_TxPeek(const AppBuf* buffer, uint32_t offset, uint8_t* out, uint32_t n) {
    const uint32_t fill = buffer->TxFill < AppBufTxSize ? buffer->TxFill : AppBufTxSize;
    if (offset >= fill)
        return 0;
    const uint32_t k = n < fill - offset ? n : fill - offset;
    RingRead(buffer->TxQueue, AppBufTxSize, Wrap(buffer->TxHead, AppBufTxSize) + offset, out, k);
    return k;
}

int AppBuf_TxAck(AppBuf* buffer, uint8_t* modemNotReady) {
    if (modemNotReady)
        *modemNotReady = 0;
    uint32_t st = AppBuf_TxState(buffer, nullptr);
    if (st & (AppBufTxEmpty | AppBufTxRepaired | AppBufTxAckMismatch)) {
        Dbg_Printf("AppBuf_TxAck:%04x; error =%08X\n", buffer->ModemId, st);
        return 0;
    }
    if (!(st & AppBufTxInFlight)) {
        Dbg_Printf("AppBuf_TxAck:%04x; No Ack wait\n", buffer->ModemId);
        return 0;
    }
    if (buffer->ModemRnr) {
        ClearInFlight(buffer);
        if (modemNotReady)
            *modemNotReady = 1;
        Dbg_Printf("AppBuf_TxAck:%04x; modem RNR\n", buffer->ModemId);
        return 1;
    }
    SettleBlock(buffer, buffer->TxAcked);
    return 1;
}

int AppBuf_RxGet(AppBuf* buffer) {
    AppBuf* b = buffer;
    int result = 0;
    Dbg_Printf("AppBuf_RxGet:%04x\n", b->ModemId);
    uint32_t n = b->RxPendingLen < AppBufPendingSize ? b->RxPendingLen : AppBufPendingSize;
    if (n) {
        Dump_Asc("ASC:", b->RxPending, n);
        Trace_Printf("\n");
        Dump_Hex("HEX:", b->RxPending, n);
        uint32_t room = b->RxFill < AppBufRxSize ? AppBufRxSize - b->RxFill : 0;
        if (n <= room) {
            RingWrite(b->RxQueue, AppBufRxSize, b->RxHead + b->RxFill, b->RxPending, n);
            b->RxFill += n;
            b->RxSinceAck += n;
            b->RxId = b->RxPendingId;
            b->RxSize = n;
            AppBuf_RxRej(b);
            result = 1;
        } else {
            // Taking only a part would lose the rest: refuse the payload whole, as not ready.
            AppBuf_RxRej(b);
            b->OurRnr = 1;
        }
    }
    Trace_Printf("------------------\n");
    return result;
}

uint32_t AppBuf_RxRej(AppBuf* buffer) {
    buffer->RxPendingLen = 0;
    buffer->RxPendingWire = 0;
    uint32_t flags = AppBuf_RxState(buffer, nullptr);
    buffer->OurRnr = (flags & AppBufRxFull) ? 1 : 0;
    return flags;
}

uint32_t AppBuf_Pop(AppBuf* buffer, uint8_t* out, uint32_t n) {
    AppBuf* b = buffer;
    uint32_t fill = b->RxFill < AppBufRxSize ? b->RxFill : AppBufRxSize;
    uint32_t k = n < fill ? n : fill;
    if (k == 0)
        return 0;
    RingRead(b->RxQueue, AppBufRxSize, b->RxHead, out, k);
    b->RxFill = fill - k;
    b->RxHead = b->RxFill ? Wrap(b->RxHead + k, AppBufRxSize) : 0;
    b->OurRnr = 0;
    Dbg_Printf("AppBuf_Pop:%04x (Pop:%d Fill:%d)\n", b->ModemId, k, b->RxFill);
    Dump_Asc("ASC:", out, k);
    Dump_Hex("HEX:", out, k);
    Trace_Printf("------------------\n");
    return k;
}

void AppBuf_Link(AppBuf* buffer, IpLink* link) {
    link->AppBuf = buffer;
    Dbg_Printf("AppBuf_Link\n");
    Trace_Printf(" *** ID:%04x\n", link->ModemId);
    buffer->ModemId = link->ModemId;
    link->OurRxId = buffer->RxId;
    link->OurRxSize = buffer->RxSize;
    Reconcile(buffer, link->PeerRxId, link->PeerRxSize);
    Trace_Printf("-------------------\n");
}

void AppBuf_UnLink(AppBuf* buffer) {
    Dbg_Printf("AppBuf_UnLink\n");
    Trace_Printf(" *** ID:%04x\n", buffer->ModemId);
    Trace_Printf("-------------------\n");
}

int HCC_TxAppData(uint8_t* block, uint8_t** pos, AppBuf* buffer, int packing, int huffman) {
    AppBuf* b = buffer;
    if (!b || b->TxInFlight || b->TxFill == 0)
        return 1;
    auto space = static_cast<uint32_t>(Cmd_Space(AnyVersion, block, *pos, CMD_MODE_IP));
    if (space < DataHead + 1)
        return 0;
    uint32_t id = b->TxId == AppBufNoId ? 0 : b->TxId;
    uint32_t fill = b->TxFill < AppBufTxSize ? b->TxFill : AppBufTxSize;
    uint16_t n = static_cast<uint16_t>(space - DataHead < fill ? space - DataHead : fill);
    // The block is read in place, unless it wraps round the end of the ring.
    uint8_t joined[CMD_IP_ITEMS_MAX];
    const uint8_t* data = b->TxQueue + Wrap(b->TxHead, AppBufTxSize);
    if (Wrap(b->TxHead, AppBufTxSize) + n > AppBufTxSize) {
        if (n > sizeof joined)
            n = sizeof joined;
        AppBuf_TxPeek(b, 0, joined, n);
        data = joined;
    }
    uint8_t* item = *pos;
    PackState state;
    PackWork work;
    uint32_t written = 0;
    if (packing && Pack_Choose(data, n, &state, &work, huffman))
        written = Pack_Encode(data, n, &state, &work, item + DataHead, space - DataHead);
    item[0] = written ? CMD_RX_DATA_PACKED : CMD_RX_DATA;
    Put_U16BE(item + 1, id);
    Put_U16BE(item + 3, n);
    if (!written) {
        memcpy(item + DataHead, data, n);
        written = n;
    }
    *pos = item + DataHead + written;
    b->TxId = id;
    b->TxSize = n;
    b->TxInFlight = n;
    Dbg_Printf("HCC_TxAppData: tx_sz =%d -> %d\n", n, written);
    return 1;
}

int HCC_RxDataAck(uint8_t* block, uint8_t** pos, AppBuf* buffer) {
    if (!buffer)
        return 1;
    if (!Cmd_Fits(AnyVersion, block, *pos, 4, CMD_MODE_IP))
        return 0;
    uint8_t* item = *pos;
    item[0] = CMD_TX_DATA_ACK;
    item[1] = buffer->OurRnr;
    Put_U16BE(item + 2, buffer->RxSinceAck);
    Dbg_Printf("HCC_RxDataAck = %d\n", buffer->RxSinceAck);
    buffer->RxSinceAck = 0;
    *pos = item + 4;
    return 1;
}

const uint8_t* HCP_TxDataAck(const uint8_t* item, uint32_t avail, AppBuf* buffer, uint8_t* inputBits) {
    if (avail < 3)
        return nullptr;
    if (buffer) {
        uint32_t word = Get_U16BE(item + 1);
        buffer->ModemRnr = item[0];
        buffer->TxAcked = word & 0x0FFF;
        SetInputs(inputBits, word >> 12);
        Dbg_Printf("HCP_TxDataAck: %d bytes\n", buffer->TxAcked);
    }
    return item + 3;
}

const uint8_t* HCP_TxData(const uint8_t* item, uint32_t avail, AppBuf* buffer, uint8_t* inputBits, int code) {
    const uint32_t head = code == CMD_TX_DATA_WO_AVAIL ? 5 : 7;
    if (avail < head)
        return nullptr;
    const uint8_t flags = item[0];
    const uint32_t n = Get_U16BE(item + 3);
    const uint8_t* data = item + head;
    const uint32_t rest = avail - head;
    SetInputs(inputBits, flags);
    if (buffer) {
        // The item replaces any earlier payload, also when it turns out to be refused.
        buffer->RxPendingId = Get_U16BE(item + 1);
        buffer->RxPendingLen = 0;
        buffer->RxPendingWire = 0;
    }
    if (n == 0)
        return data;
    if (!(flags & PackedFlag)) {
        if (n > rest || (buffer && n > AppBufPendingSize))
            return nullptr;
        if (buffer) {
            memcpy(buffer->RxPending, data, n);
            buffer->RxPendingLen = buffer->RxPendingWire = n;
        }
        return data + n;
    }
    // Without a buffer the packed payload is unpacked into scratch only to find where it ends.
    uint8_t scratch[AppBufPendingSize];
    uint8_t* target = buffer ? buffer->RxPending : scratch;
    uint32_t copied = rest < AppBufPendingSize ? rest : AppBufPendingSize;
    memcpy(target, data, copied);
    uint32_t used = Pack_Decode(target, copied, n, AppBufPendingSize);
    if (!used)
        return nullptr;
    if (buffer) {
        buffer->RxPendingWire = used;
        buffer->RxPendingLen = n;
    }
    return data + used;
}
