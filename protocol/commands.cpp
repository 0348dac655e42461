// Command table and the request builder.
#include "protocol/tmgsm.h"

#include <cstring>

namespace {

struct CmdEntry {
    const char* name; // 13 characters for the trace
    uint32_t bit;
};

constexpr CmdEntry Commands[CMD_COUNT] = {
    {"SetProfile1  ", REQ_SET_PROFILE1},
    {"SetProfile2  ", REQ_SET_PROFILE2},
    {"GetProfile1  ", REQ_GET_PROFILE1},
    {"GetProfile2  ", REQ_GET_PROFILE2},
    {"RxData       ", REQ_RX_DATA},
    {"RxDataAck    ", REQ_RX_DATA_ACK},
    {"TxData       ", REQ_TX_DATA},
    {"TxDataAck    ", REQ_TX_DATA_ACK},
    {"SetKey       ", REQ_SET_KEY},
    {"SetHwId      ", REQ_SET_HW_ID},
    {"SetUpdBlk    ", REQ_SET_UPD_BLK},
    {"GetHwInfo    ", REQ_GET_HW_INFO},
    {"GetUpdCtx    ", REQ_GET_UPD_CTX},
    {"ClrStat      ", REQ_CLR_STAT},
    {"GprsClose    ", REQ_GPRS_CLOSE},
    {"Null         ", REQ_NULL},
    {"SetIp        ", REQ_SET_IP},
    {"GetInputs    ", REQ_GET_INPUTS},
    {"SetPollStr   ", REQ_SET_POLL_STR},
    {"GetPollStr   ", REQ_GET_POLL_STR},
    {"GetLog       ", REQ_GET_LOG},
    {"TxDataWoAvail", REQ_TX_DATA},
    {"RxDataPacked ", 0},
    {"InSmsStrSet  ", REQ_IN_SMS_STR_SET},
    {"InSmsStrGet  ", REQ_IN_SMS_STR_GET},
};

// The buildable commands in the order the builder takes them. RxData goes last so that its data fills
// the rest of the block.
constexpr uint8_t Priority[] = {
    CMD_SET_PROFILE1, CMD_SET_PROFILE2, CMD_GET_PROFILE1,   CMD_GET_PROFILE2,   CMD_TX_DATA_ACK,
    CMD_SET_KEY,      CMD_SET_HW_ID,    CMD_SET_UPD_BLK,    CMD_GET_HW_INFO,    CMD_GET_UPD_CTX,
    CMD_CLR_STAT,     CMD_GPRS_CLOSE,   CMD_SET_IP,         CMD_NULL,           CMD_SET_POLL_STR,
    CMD_GET_POLL_STR, CMD_GET_LOG,      CMD_IN_SMS_STR_SET, CMD_IN_SMS_STR_GET, CMD_RX_DATA,
};

// The most bytes of items a block of the mode holds. IP: the padded items at most 1008. SMS and text:
// items and the 4-byte CRC, padded, at most 112, 300 or 800.
size_t ItemsMax(uint32_t versionNo, uint8_t mode) {
    switch (mode) {
    case CMD_MODE_IP:
        return CMD_IP_ITEMS_MAX;
    case CMD_MODE_SMS:
        return CMD_SMS_ITEMS_MAX;
    default:
        return versionNo >= CMD_VERSION_INSMS ? 800 - 4 : 288 - 4;
    }
}

// One CreateCmd run: the context, its mode and the write position in the block.
struct Builder {
    uint8_t mode;
    CmdCtx* ctx;
    uint8_t* pos;

    uint32_t versionNo() const { return ctx->Results->HwInfo.VersionNo; }
    bool fits(size_t size) const { return Cmd_Fits(versionNo(), ctx->Block, pos, size, mode); }

    // Starts an item of size bytes with its code, or returns null when it does not fit.
    uint8_t* open(uint8_t code, size_t size) {
        if (!fits(size))
            return nullptr;
        uint8_t* item = pos;
        *item = code;
        pos += size;
        return item + 1;
    }
    bool bare(uint8_t code) { return open(code, 1) != nullptr; }
};

ObjProfile* ProfileOf(const CmdCtx* ctx) {
    return ctx->Params ? ctx->Params->Profile : nullptr;
}

// The items whose payload comes from the profile.
size_t ProfileItemSize(uint8_t code) {
    switch (code) {
    case CMD_SET_PROFILE1:
        return PROF1_SIZE;
    case CMD_SET_PROFILE2:
        return PROF2_SIZE;
    case CMD_SET_IP:
        return 4 + 2;
    case CMD_SET_POLL_STR:
        return POLL_SIZE;
    default:
        return INSMS_SIZE;
    }
}

bool PutFromProfile(Builder& b, uint8_t code) {
    ObjProfile* prof = ProfileOf(b.ctx);
    uint8_t* p = prof ? b.open(code, 1 + ProfileItemSize(code)) : nullptr;
    if (!p)
        return false;
    switch (code) {
    case CMD_SET_PROFILE1:
    case CMD_SET_PROFILE2:
        Prof_Encode(p, code == CMD_SET_PROFILE1 ? 0 : 1, prof);
        break;
    case CMD_SET_IP:
        Put_U16BE(Put_U32BE(p, prof->ServerIp), prof->ServerPort);
        break;
    case CMD_SET_POLL_STR:
        Poll_Encode(p, prof);
        break;
    default:
        InSms_Encode(p, prof);
    }
    return true;
}

bool PutSetKey(Builder& b) {
    uint8_t* p = b.ctx->Params ? b.open(CMD_SET_KEY, 17) : nullptr;
    if (!p)
        return false;
    memcpy(p, b.ctx->Params->NewKey, 16);
    // The modem's next AUTH with the new key must be accepted.
    Auth_SetPendingKey(b.ctx->Auth, b.ctx->Params->NewKey);
    return true;
}

bool PutArgument(Builder& b, uint8_t code) {
    uint8_t* p = b.ctx->Params ? b.open(code, 3) : nullptr;
    if (p)
        Put_U16BE(p, code == CMD_SET_HW_ID ? b.ctx->Params->HwId : b.ctx->Params->ClrStatArg);
    return p != nullptr;
}

// Application data items exist only on a link.
bool PutAppData(Builder& b, uint8_t code) {
    if (b.mode != CMD_MODE_IP)
        return false;
    if (code == CMD_TX_DATA_ACK)
        return HCC_RxDataAck(b.ctx->Block, &b.pos, b.ctx->Buf) != 0;
    return HCC_TxAppData(b.ctx->Block, &b.pos, b.ctx->Buf, (b.ctx->Options & 0x2) != 0,
                         (b.ctx->Options & 0x4) != 0) != 0;
}

// Writes the item of code at the write position. True when it was written or counts as done.
bool PutItem(Builder& b, uint8_t code) {
    switch (code) {
    case CMD_SET_PROFILE1:
    case CMD_SET_PROFILE2:
    case CMD_SET_IP:
    case CMD_SET_POLL_STR:
        return PutFromProfile(b, code);
    case CMD_GET_PROFILE1:
    case CMD_GET_PROFILE2:
    case CMD_GET_HW_INFO:
    case CMD_GET_UPD_CTX:
    case CMD_NULL:
    case CMD_GET_POLL_STR:
    case CMD_GET_LOG:
        return b.bare(code);
    case CMD_RX_DATA:
    case CMD_TX_DATA_ACK:
        return PutAppData(b, code);
    case CMD_SET_KEY:
        return PutSetKey(b);
    case CMD_SET_HW_ID:
    case CMD_CLR_STAT:
        return PutArgument(b, code);
    case CMD_SET_UPD_BLK:
        return HCC_UpdBlk(b.versionNo(), b.ctx->Block, &b.pos, b.ctx->Upd, b.mode) != 0;
    case CMD_IN_SMS_STR_SET: // older modems take no texts block: GetHwInfo stands for it
        return b.versionNo() < CMD_VERSION_INSMS ? b.bare(CMD_GET_HW_INFO) : PutFromProfile(b, code);
    case CMD_IN_SMS_STR_GET:
        return b.bare(b.versionNo() < CMD_VERSION_INSMS ? CMD_GET_HW_INFO : CMD_IN_SMS_STR_GET);
    default: // GprsClose and the answer-only codes
        return false;
    }
}

} // namespace

uint8_t Cmd_NextFromMask(uint32_t mask) {
    for (uint8_t code : Priority)
        if (mask & Commands[code].bit)
            return code;
    return CMD_NONE;
}

uint32_t Cmd_Bit(uint8_t code) {
    return code < CMD_COUNT ? Commands[code].bit : 0;
}

const char* Cmd_Name(uint8_t code) {
    return code < CMD_COUNT ? Commands[code].name : "???";
}

void Cmd_ClearBit(uint32_t* mask, uint8_t code) {
    *mask &= ~Cmd_Bit(code);
}

int Cmd_Fits(uint32_t versionNo, const uint8_t* start, const uint8_t* pos, size_t size, uint8_t mode) {
    return static_cast<size_t>(pos - start) + size <= ItemsMax(versionNo, mode);
}

size_t Cmd_Space(uint32_t versionNo, const uint8_t* start, const uint8_t* pos, uint8_t mode) {
    size_t used = static_cast<size_t>(pos - start);
    size_t max = ItemsMax(versionNo, mode);
    return used < max ? max - used : 0;
}

uint32_t CreateCmd(uint8_t mode, CmdCtx* ctx, uint32_t* mask) {
    Auth_NextNonce(ctx->Auth);
    *ctx->BlockLen = 0;
    if (*mask == 0)
        return 0;
    if (mode != CMD_MODE_IP && mode != CMD_MODE_SMS)
        return *mask;
    if (Trace_On()) {
        char stamp[16];
        Tm_Stamp(stamp);
        Trace_Printf("--- CreateCmd --- %s\n", stamp);
    }
    Builder b{mode, ctx, ctx->Block};
    for (uint8_t code; (code = Cmd_NextFromMask(*mask)) != CMD_NONE;) {
        Trace_Printf("     : %04X c:%s\n", ctx->ModemId, Cmd_Name(code));
        if (!PutItem(b, code))
            break;
        Cmd_ClearBit(mask, code);
    }
    // No items, no block: an empty block has no length code that could describe it.
    uint16_t n = static_cast<uint16_t>(b.pos - ctx->Block);
    if (n > 0)
        *ctx->BlockLen = mode == CMD_MODE_IP ? Auth_EncryptBlkCrc(ctx->Auth, ctx->Block, n)
                                             : Auth_EncryptBlk(ctx->Auth, ctx->Block, n);
    return *mask;
}
