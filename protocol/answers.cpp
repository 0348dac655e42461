// The answer parser: walks a decrypted command block item by item into the command results.
#include "protocol/tmgsm.h"

#include <cstring>

namespace {

constexpr uint32_t VersionLongRun = 104; // the hardware information carries two running times
constexpr uint32_t VersionStatus = 105;  // ... and the extended status part
constexpr uint8_t InputsMask = 0x0F;

// Sizes of the parts of a hardware information answer, its type and length bytes first.
constexpr size_t HwHead = 2;
constexpr size_t HwBase = 2 + 4 + 12;   // version word, time, three u32
constexpr size_t HwTyped = 16;          // types 2 to 4: four u32
constexpr size_t HwCounters = 12;       // one u32 and four u16
constexpr size_t HwRunTimes = 8;        // VersionNo 104 and above
constexpr size_t HwStatus = 1 + 12 + 6; // VersionNo 105 and above: status byte, three u32, three u16
constexpr size_t HwRadio = 13;

// The item parsers only see avail bytes; a result outside them counts as an item that does not fit.
const uint8_t* Inside(const uint8_t* next, const uint8_t* item, size_t avail) {
    return next && next >= item && next <= item + avail ? next : nullptr;
}

// A fixed-size item: the decoder runs only when the whole item is there.
template <class Decode> const uint8_t* Fixed(size_t avail, size_t size, Decode decode) {
    return avail >= size ? decode() : nullptr;
}

const uint8_t* ParseItem(uint8_t mode, CmdCtx* ctx, uint8_t code, const uint8_t* item, size_t avail) {
    CmdResults* r = ctx->Results;
    AppBuf* buf = mode == CMD_MODE_IP ? ctx->Buf : nullptr;
    uint8_t* inputs = &r->HwInfo.InputBits;
    auto avail32 = static_cast<uint32_t>(avail);
    switch (code) {
    case CMD_SET_PROFILE1:
    case CMD_SET_PROFILE2:
    case CMD_SET_KEY:
    case CMD_SET_HW_ID:
    case CMD_SET_UPD_BLK:
    case CMD_CLR_STAT:
    case CMD_SET_IP:
    case CMD_SET_POLL_STR:
    case CMD_IN_SMS_STR_SET:
        return item; // a bare confirmation
    case CMD_GET_PROFILE1:
    case CMD_GET_PROFILE2:
        return Fixed(avail, code == CMD_GET_PROFILE1 ? PROF1_SIZE : PROF2_SIZE,
                     [&] { return Prof_Decode(item, avail, &r->Profile, code); });
    case CMD_RX_DATA_ACK:
        return Fixed(avail, 3, [&] { return HCP_TxDataAck(item, avail32, buf, inputs); });
    case CMD_TX_DATA:
    case CMD_TX_DATA_WO_AVAIL:
        return Fixed(avail, code == CMD_TX_DATA ? 7 : 5,
                     [&] { return HCP_TxData(item, avail32, buf, inputs, code); });
    case CMD_GET_HW_INFO:
        return HCP_HwInfo(item, avail, r);
    case CMD_GET_UPD_CTX:
        return Fixed(avail, UPD_CTX_ANSWER_SIZE, [&] {
            return ctx->Upd ? HCP_UpdCtx(item, avail32, ctx->Upd) : item + UPD_CTX_ANSWER_SIZE;
        });
    case CMD_GET_INPUTS:
        return HCP_Inputs(item, avail, r);
    case CMD_GET_POLL_STR:
        return Fixed(avail, POLL_SIZE, [&] { return Poll_Decode(item, avail, &r->Profile); });
    case CMD_GET_LOG:
        return HCP_GetLog(item, avail, mode == CMD_MODE_IP ? ctx->LogStore : nullptr);
    case CMD_IN_SMS_STR_GET:
        return Fixed(avail, INSMS_SIZE, [&] { return HCP_InSmsStr(item, avail, &r->Profile); });
    default: // RxData, TxDataAck, GprsClose, Null and RxDataPacked are never answered
        return nullptr;
    }
}

} // namespace

const uint8_t* HCP_HwInfo(const uint8_t* item, size_t avail, CmdResults* results) {
    if (avail < HwHead || item[1] > avail - HwHead)
        return nullptr;
    const uint8_t type = item[0];
    if (type > 4) {
        results->Errors |= CMD_ERR_HW_INFO_TYPE;
        return item + HwHead + item[1];
    }
    HwInfo& hw = results->HwInfo;
    size_t size = HwHead + HwBase + (type >= 2 ? HwTyped : 0) + HwCounters;
    if (hw.VersionNo >= VersionLongRun)
        size += HwRunTimes;
    // The status byte opens the extended part of newer modems and ends the item of older ones.
    size_t status;
    if (hw.VersionNo >= VersionStatus) {
        status = size;
        size += HwStatus + HwRadio;
    } else {
        status = size + HwRadio;
        size = status + 1;
    }
    if (size > avail)
        return nullptr;
    Ver_Digits(Get_U16BE(item + HwHead), 1, hw.Version);
    hw.InputBits = static_cast<uint8_t>((hw.InputBits & ~InputsMask) | (item[status] & InputsMask));
    return item + size;
}

const uint8_t* HCP_Inputs(const uint8_t* item, size_t avail, CmdResults* results) {
    if (avail < 1)
        return nullptr;
    uint8_t& bits = results->HwInfo.InputBits;
    bits = static_cast<uint8_t>((bits & ~0x07) | (item[0] & 0x07));
    return item + 1;
}

const uint8_t* HCP_GetLog(const uint8_t* item, size_t avail, uint8_t* store) {
    if (avail < 3)
        return nullptr;
    const uint8_t type = item[0], size = item[1], count = item[2];
    const size_t entries = size_t{size} * count;
    if (entries > avail - 3)
        return nullptr;
    if (store) {
        if (type == 0 && size != 4)
            return nullptr;
        // The store describes only entries that it holds, so type and count go in with them.
        store[0] = type;
        store[1] = count;
        if (type == 0)
            memcpy(store + 2, item + 3, entries);
    }
    return item + 3 + entries;
}

void HCP_ParseAnswers(uint8_t mode, CmdCtx* ctx) {
    if (*ctx->RecordsLen < 2)
        return;
    const uint8_t* rec = ctx->Records;
    size_t n = Get_U16BE(rec) & 0x3FF;
    if (n > *ctx->RecordsLen - 2u)
        n = *ctx->RecordsLen - 2u;
    CmdResults* r = ctx->Results;
    for (const uint8_t *p = rec + 2, *end = p + n; p < end;) {
        const uint8_t c = *p;
        if (c == 0xFF || c < CMD_ANSWER)
            break;
        const uint8_t code = c & 31;
        Trace_Printf("     : %04X p:%s\n", ctx->ModemId, Cmd_Name(code));
        if (code >= CMD_COUNT)
            break;
        const size_t avail = static_cast<size_t>(end - p) - 1;
        const uint8_t* next = Inside(ParseItem(mode, ctx, code, p + 1, avail), p + 1, avail);
        if (!next)
            break;
        r->Answered |= Cmd_Bit(code);
        // Older modems got GetHwInfo in place of the incoming-SMS texts commands.
        if (code == CMD_GET_HW_INFO && r->HwInfo.VersionNo < CMD_VERSION_INSMS)
            r->Answered |= REQ_IN_SMS_STR_SET | REQ_IN_SMS_STR_GET;
        p = next;
    }
    Buf_Remove(ctx->Records, ctx->RecordsCap, ctx->RecordsLen, 0, static_cast<uint16_t>(2 + n));
}
