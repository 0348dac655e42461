// Link layer: frames on the modem's TCP byte stream, sequence numbers, supervisory frames, the AUTH step.
#include "protocol/tmgsm.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace {

constexpr uint8_t Sync0 = 0x55, Sync1 = 0xAA;
constexpr uint16_t AuthLengthCode = 32;
constexpr uint16_t MaxCipherCode = 62; // L of the largest I or AI frame
constexpr int CrcSize = 4;             // CRC-32 after the ciphertext of I and AI frames
constexpr int RecordHead = 2;          // length field of an RxAsm record

uint32_t SteadySeconds() {
    using namespace std::chrono;
    return static_cast<uint32_t>(duration_cast<seconds>(steady_clock::now().time_since_epoch()).count());
}

LinkClockSource linkClock = SteadySeconds;

uint8_t CtlType(uint32_t ctl) {
    return ctl & 7;
}
uint8_t CtlNs(uint32_t ctl) {
    return (ctl >> 3) & 7;
}
uint8_t CtlNr(uint32_t ctl) {
    return (ctl >> 6) & 7;
}
uint16_t CtlLength(uint32_t ctl) {
    return (ctl >> 9) & 0x3F;
}

// A control word of the given type; the fields the caller does not pass keep the values of prev.
uint32_t CtlWith(uint32_t prev, uint8_t type, int nr = -1, int ns = -1, int length = -1) {
    uint32_t ctl = (prev & 0x7FF8) | type;
    if (nr >= 0)
        ctl = (ctl & ~(7u << 6)) | (static_cast<uint32_t>(nr) << 6);
    if (ns >= 0)
        ctl = (ctl & ~(7u << 3)) | (static_cast<uint32_t>(ns) << 3);
    if (length >= 0)
        ctl = (ctl & ~(0x3Fu << 9)) | (static_cast<uint32_t>(length) << 9);
    return ctl;
}

void PutHeader(uint8_t* out, uint16_t modemId, uint32_t ctl) {
    out[0] = Sync0;
    out[1] = Sync1;
    Put_U16BE(out + 2, modemId);
    Put_U16BE(out + 4, ctl);
    out[6] = Crc8(out + 2, 4);
}

// ---------------------------------------------------------------------------------------------------
// Trace lines

// One line per frame, written in one piece: "  dir: ID-0000," then the type's part and the local time.
void TraceFrame(const char* dir, uint16_t modemId, uint32_t ctl) {
    if (!Trace_On())
        return;
    TmClock now{};
    Tm_ReadClock(&now);
    char time[32];
    snprintf(time, sizeof time, "[%02d.%02d:%02d %02d%02d%02d]\n\r", now.date.hour, now.date.minute,
             now.date.second, now.date.day, now.date.month, now.date.year - 2000);
    char line[96];
    int n = snprintf(line, sizeof line, "  %s: %04X-%04X,", dir, modemId, 0);
    char* rest = line + n;
    size_t room = sizeof line - static_cast<size_t>(n);
    int cipher = 16 * (CtlLength(ctl) + 1);
    switch (CtlType(ctl)) {
    case LNK_AUTH:
        snprintf(line, sizeof line, "  %s: %04X     ,AUTH      %s", dir, modemId, time);
        break;
    case LNK_I:
        snprintf(rest, room, "I(%d%d):%03d %s", CtlNr(ctl), CtlNs(ctl), cipher, time);
        break;
    case LNK_AI:
        snprintf(rest, room, "AI(%d):%03d %s", CtlNr(ctl), cipher, time);
        break;
    case LNK_RR:
        snprintf(rest, room, "RR(%d)     %s", CtlNr(ctl), time);
        break;
    case LNK_REJ:
        snprintf(rest, room, "REJ(%d)    %s", CtlNr(ctl), time);
        break;
    case LNK_RNR:
        snprintf(rest, room, "RNR(%d)    %s", CtlNr(ctl), time);
        break;
    default:
        return;
    }
    Trace_Write(line, strlen(line));
}

// ---------------------------------------------------------------------------------------------------
// Receive path

enum class Seen {
    Wait,       // not enough bytes yet
    Frame,      // a complete, well-formed frame
    BadHeader,  // CRC-8 failed: drop the header
    BadAuthLen, // AUTH with L other than 32: drop the header
    BadAuthCrc, // AUTH payload failed its CRC-16: drop the whole frame
    Oversize,   // I or AI with L over 62: drop the header
    Unused,     // types 6 and 7: drop the header
};

struct FrameView {
    uint16_t modemId;
    uint16_t ctl;
    const uint8_t* payload; // ciphertext and CRC of I/AI, the 32 bytes of AUTH
    uint16_t payloadLen;
    uint16_t size; // bytes the frame takes (or that are dropped) in the buffer
};

// Looks at the frame at the start of buf, which begins with a sync word; changes nothing.
Seen Examine(const uint8_t* buf, uint16_t len, FrameView* f) {
    *f = FrameView{};
    if (len < LNK_HEADER_SIZE)
        return Seen::Wait;
    f->size = LNK_HEADER_SIZE;
    if (Crc8(buf + 2, 5) != 0)
        return Seen::BadHeader;
    f->modemId = Get_U16BE(buf + 2);
    f->ctl = Get_U16BE(buf + 4);
    f->payload = buf + LNK_HEADER_SIZE;
    switch (CtlType(f->ctl)) {
    case LNK_RR:
    case LNK_REJ:
    case LNK_RNR:
        return Seen::Frame;
    case LNK_AUTH:
        if (CtlLength(f->ctl) != AuthLengthCode)
            return Seen::BadAuthLen;
        if (len < LNK_AUTH_FRAME_SIZE)
            return Seen::Wait;
        f->size = LNK_AUTH_FRAME_SIZE;
        f->payloadLen = AUTH_PAYLOAD_SIZE;
        return Crc16(f->payload, AUTH_PAYLOAD_SIZE + 2) == 0 ? Seen::Frame : Seen::BadAuthCrc;
    case LNK_I:
    case LNK_AI: {
        if (CtlLength(f->ctl) > MaxCipherCode)
            return Seen::Oversize;
        uint16_t payload = static_cast<uint16_t>(16 * (CtlLength(f->ctl) + 1) + CrcSize);
        if (len < LNK_HEADER_SIZE + payload)
            return Seen::Wait;
        f->size = static_cast<uint16_t>(LNK_HEADER_SIZE + payload);
        f->payloadLen = payload;
        return Seen::Frame;
    }
    default:
        return Seen::Unused;
    }
}

void Consume(IpLink* link, uint16_t n) {
    ByteBuf buf{link->RxBuf, LNK_RXBUF_SIZE, link->RxLen};
    link->RxLen = Buf_Consume(&buf, n);
}

// Skips to the next sync word. Without one, everything but the last byte goes: it may be the first
// half of the next sync word.
void Lnk_Sync(IpLink* link) {
    uint16_t i = 0;
    while (i + 1 < link->RxLen && !(link->RxBuf[i] == Sync0 && link->RxBuf[i + 1] == Sync1))
        ++i;
    if (i > 0)
        Consume(link, i);
}

// Resynchronises and looks at the frame at the start of RxBuf. A complete frame is copied to RxFrame
// and left in RxBuf for the caller to consume (*complete set, result 0); a malformed one is dropped and
// its error event returned; 0 without *complete means wait for more bytes.
uint32_t Lnk_ParseFrame(IpLink* link, FrameView* f, bool* complete) {
    *complete = false;
    Lnk_Sync(link);
    Seen seen = Examine(link->RxBuf, link->RxLen, f);
    switch (seen) {
    case Seen::Wait:
        return 0;
    case Seen::Frame:
        memcpy(link->RxFrame, f->payload, f->payloadLen);
        link->RxFrameLen = f->payloadLen;
        *complete = true;
        return 0;
    case Seen::BadHeader:
        Consume(link, f->size);
        return LEV_HEADER_ERROR;
    case Seen::BadAuthLen:
        Trace_Printf(" 1!\n");
        Consume(link, f->size);
        return LEV_FRAME_ERROR;
    case Seen::BadAuthCrc:
        Consume(link, f->size);
        return LEV_FRAME_ERROR;
    case Seen::Oversize:
        Trace_Printf(" 2!=%d\n", 16 * CtlLength(f->ctl) + 16);
        Consume(link, f->size);
        return LEV_FRAME_ERROR;
    case Seen::Unused:
        Consume(link, f->size);
        return 0;
    }
    return 0;
}

// Copies the frame that follows the current one (at offset at) into NextFrame when it is complete and
// well formed. Nothing is consumed: a malformed header there is left for the next call to report.
bool Lnk_PeekNext(IpLink* link, uint16_t at, FrameView* next) {
    link->NextFrameLen = 0;
    if (at + 1 >= link->RxLen || link->RxBuf[at] != Sync0 || link->RxBuf[at + 1] != Sync1)
        return false;
    if (Examine(link->RxBuf + at, static_cast<uint16_t>(link->RxLen - at), next) != Seen::Frame)
        return false;
    memcpy(link->NextFrame, next->payload, next->payloadLen);
    link->NextFrameLen = next->payloadLen;
    return true;
}

// Removes the next frame when it repeats the current one byte for byte. Returns true if it did.
bool DropRepeat(IpLink* link, const FrameView& cur) {
    FrameView next{};
    if (!Lnk_PeekNext(link, cur.size, &next))
        return false;
    bool same = next.modemId == cur.modemId && next.ctl == cur.ctl &&
                link->NextFrameLen == link->RxFrameLen &&
                memcmp(link->NextFrame, link->RxFrame, link->RxFrameLen) == 0;
    link->NextFrameLen = 0;
    if (!same)
        return false;
    link->RxLen = static_cast<uint16_t>(link->RxLen - next.size);
    memmove(link->RxBuf + cur.size, link->RxBuf + cur.size + next.size, link->RxLen - cur.size);
    return true;
}

// Outcome 1: nothing outstanding or nothing new; 0: n outside the window; 2: acknowledged up to n.
int Lnk_AckNr(IpLink* link, uint8_t n) {
    if (link->VA == link->VS || n == link->VA)
        return 1;
    bool inside = link->VS > link->VA ? (n > link->VA && n <= link->VS) : (n > link->VA || n <= link->VS);
    if (!inside)
        return 0;
    link->VA = n;
    link->VS = n;
    link->Flags &= ~(LNK_UNACKED | LNK_ACK_TIMER);
    return 2;
}

// Appends the 7-byte S frame described by TxCtl; a fifth one is not queued.
void Lnk_QueueS(IpLink* link) {
    if (link->SCount >= LNK_SQUEUE_SIZE)
        return;
    PutHeader(link->SQueue[link->SCount++], link->ModemId, link->TxCtl);
}

void QueueSupervisory(IpLink* link, uint8_t type) {
    link->TxCtl = CtlWith(link->TxCtl, type, link->VR);
    Lnk_QueueS(link);
}

// Appends the decrypted block as a record [length][plaintext]; false when RxAsm lacks the room.
bool AppendRecord(IpLink* link) {
    uint16_t plain = static_cast<uint16_t>(link->RxFrameLen - CrcSize);
    if (RecordHead + plain > LNK_ASM_SIZE - link->RxAsmLen)
        return false;
    uint8_t* rec = link->RxAsm + link->RxAsmLen;
    Put_U16BE(rec, plain);
    memcpy(rec + RecordHead, link->RxFrame, plain);
    link->RxAsmLen = static_cast<uint16_t>(link->RxAsmLen + RecordHead + plain);
    return true;
}

void ParseAnswers(IpLink* link) {
    CmdCtx ctx = Cmd_LinkCtx(link);
    HCP_ParseAnswers(CMD_MODE_IP, &ctx);
}

uint32_t PendingAuthEvent(uint32_t flags) {
    if (flags & LNK_AUTH0_STEP)
        return LEV_AUTH0;
    if (flags & LNK_AUTH1_STEP)
        return LEV_AUTH1;
    if (flags & LNK_AUTH2_STEP)
        return LEV_AUTH2;
    return 0;
}

uint32_t AcceptInfo(IpLink* link) {
    if (uint32_t ev = PendingAuthEvent(link->Flags))
        return ev;
    if (!Auth_IsOk(&link->Auth))
        return 0;
    link->Results.LinkErrors &= ~CMD_LINK_ERR_DECRYPT;
    if (!Auth_DecryptBlk(&link->Auth, link->RxFrame, link->RxFrameLen)) {
        link->Results.LinkErrors |= CMD_LINK_ERR_DECRYPT;
        link->Flags = 0;
        Dbg_Printf("Auth_DecryptBlk Error!\n");
        return LEV_AUTH_ERROR;
    }
    bool acked = Lnk_AckNr(link, CtlNr(link->RxCtl)) != 0;
    if (CtlType(link->RxCtl) == LNK_AI) {
        if (!acked || !AppendRecord(link))
            return 0;
        ParseAnswers(link);
        return LEV_DATA;
    }
    if (CtlNs(link->RxCtl) != link->VR) {
        QueueSupervisory(link, LNK_REJ);
        return LEV_SFRAMES | LEV_REJ_SENT;
    }
    if (!AppendRecord(link)) {
        QueueSupervisory(link, LNK_RNR);
        return LEV_SFRAMES | LEV_RNR_SENT;
    }
    link->VR = (link->VR + 1) & 7;
    ParseAnswers(link);
    link->Flags |= LNK_RR_DUE;
    return LEV_DATA;
}

constexpr uint32_t AuthStepFlag[3] = {LNK_AUTH0_STEP, LNK_AUTH1_STEP, LNK_AUTH2_STEP};
constexpr uint32_t AuthOkEvent[3] = {LEV_AUTH0, LEV_AUTH1, LEV_AUTH2};

// Sets the option bits from the modem's AUTH and version.
void TakeOptions(IpLink* link, uint8_t kind) {
    const uint8_t* p = link->RxFrame;
    if (kind == 2) {
        link->PeerRxId = Get_U16BE(p + 24);
        link->PeerRxSize = Get_U16BE(p + 26);
        link->Options = static_cast<uint8_t>((link->Options & ~2u) | ((p[31] & 1u) << 1));
    }
    uint32_t version = link->Results.HwInfo.VersionNo;
    if (version < 102)
        link->Options &= static_cast<uint8_t>(~2u);
    else
        link->Options &= static_cast<uint8_t>(~1u);
    link->Options = static_cast<uint8_t>((link->Options & ~4u) | (version >= 103 ? 4u : 0u));
}

uint32_t AcceptAuth(IpLink* link) {
    uint8_t kind = 0;
    HwInfo* hw = &link->Results.HwInfo;
    int ok = Auth_Accept(&link->Auth, link->RxFrame, link->ModemId, hw->Version, &hw->VersionNo, &kind);
    if (kind > 2)
        kind = 0;
    if (!ok) {
        link->Flags &= ~AuthStepFlag[kind];
        return LEV_AUTH_ERROR;
    }
    TakeOptions(link, kind);
    link->VR = link->VA = link->VS = 0;
    link->Flags = AuthStepFlag[kind];
    return AuthOkEvent[kind];
}

uint32_t AcceptFrame(IpLink* link) {
    switch (CtlType(link->RxCtl)) {
    case LNK_I:
    case LNK_AI:
        return AcceptInfo(link);
    case LNK_RR:
    case LNK_REJ:
        Lnk_AckNr(link, CtlNr(link->RxCtl));
        return 0;
    case LNK_RNR:
        return LEV_RNR_RCVD;
    case LNK_AUTH:
        return AcceptAuth(link);
    default:
        return 0;
    }
}

// ---------------------------------------------------------------------------------------------------
// Transmit path

// Writes header, payload and the payload's trailing CRC (already in place) into TxFrame and out.
void EmitFrame(IpLink* link, uint8_t* out, uint16_t* outLen, const uint8_t* payload, uint16_t n) {
    PutHeader(link->TxFrame, link->ModemId, link->TxCtl);
    memcpy(link->TxFrame + LNK_HEADER_SIZE, payload, n);
    link->TxFrameLen = static_cast<uint16_t>(LNK_HEADER_SIZE + n);
    memcpy(out, link->TxFrame, link->TxFrameLen);
    *outLen = link->TxFrameLen;
    TraceFrame("OUT", link->ModemId, link->TxCtl);
}

uint32_t CreateAuthReply(IpLink* link, uint8_t* out, uint16_t* outLen, uint32_t* mask) {
    link->Flags &= ~(LNK_AUTH0_STEP | LNK_AUTH1_STEP);
    if (!(link->Flags & LNK_AUTH2_STEP))
        return LEV_NOTHING;
    link->Flags &= ~LNK_AUTH2_STEP;
    uint8_t* p = link->TxPayload;
    Auth_CreateResp(&link->Auth, p);
    Put_U16BE(p + 24, link->OurRxId);
    Put_U16BE(p + 26, link->OurRxSize);
    p[28] = 0x10;
    p[29] = 0;
    p[30] = 0;
    p[31] = link->Options & 1;
    Put_U16BE(p + AUTH_PAYLOAD_SIZE, Crc16(p, AUTH_PAYLOAD_SIZE));
    link->TxCtl = CtlWith(link->TxCtl, LNK_AUTH, -1, -1, AuthLengthCode);
    EmitFrame(link, out, outLen, p, AUTH_PAYLOAD_SIZE + 2);
    *mask &= ~REQ_AUTH;
    return LEV_AUTH_REPLY;
}

} // namespace

CmdCtx Cmd_LinkCtx(IpLink* link) {
    return CmdCtx{link->ModemId,   &link->Results,      &link->Params,   &link->Auth,         &link->Upd,
                  link->AppBuf,    link->Options,       link->TxPayload, &link->TxPayloadLen, link->RxAsm,
                  &link->RxAsmLen, sizeof(link->RxAsm), link->LogStore};
}

void TMGSM_SetLinkClock(LinkClockSource source) {
    linkClock = source ? source : SteadySeconds;
}

uint32_t TMGSM_LinkSeconds() {
    return linkClock();
}

void TMGSM_InitIp(IpLink* link, const AuthKeys* keys, const uint8_t* options, uint32_t ackTimeoutSec,
                  const uint8_t* image, uint32_t imageSize) {
    memset(link, 0, sizeof *link);
    link->AckTimeoutSec = ackTimeoutSec;
    link->Upd.Image = image;
    link->Upd.ImageSize = image ? imageSize : 0;
    if (options)
        link->Options = *options;
    Auth_Init(&link->Auth, keys);
}

uint32_t TMGSM_AcceptIpMsg(IpLink* link, const uint8_t* bytes, size_t n, size_t* taken) {
    size_t room = LNK_RXBUF_SIZE - link->RxLen;
    size_t take = bytes ? std::min(n, room) : 0;
    if (take)
        memcpy(link->RxBuf + link->RxLen, bytes, take);
    link->RxLen = static_cast<uint16_t>(link->RxLen + take);
    if (taken)
        *taken = take;

    FrameView frame{};
    bool complete = false;
    uint32_t ev = Lnk_ParseFrame(link, &frame, &complete);
    if (ev) {
        Trace_Printf(" ERROR RX PARSING. CODE = %x\n", ev);
        return ev;
    }
    if (!complete)
        return 0;
    bool repeat = DropRepeat(link, frame);
    Consume(link, frame.size);
    link->ModemId = frame.modemId;
    link->RxCtl = frame.ctl;
    TraceFrame("   ", link->ModemId, link->RxCtl);
    if (repeat)
        Dbg_Printf("___RX: NEXT_FRAME_EQUAL.DELETED! (%04x)\n", link->ModemId);
    ev = AcceptFrame(link);
    link->RxFrameLen = 0;
    return ev;
}

uint32_t TMGSM_QryIp(IpLink* link) {
    uint32_t ev = TMGSM_AcceptIpMsg(link, nullptr, 0, nullptr);
    ev |= TMGSM_IpState(link); // after the frame it took
    ParseAnswers(link);
    return ev;
}

uint32_t TMGSM_IpState(const IpLink* link) {
    uint32_t ev = 0;
    if (link->Flags & LNK_UNACKED)
        ev |= LEV_WAIT_ACK;
    if (link->Flags & LNK_RR_DUE)
        ev |= LEV_RR_DUE;
    if ((link->Flags & LNK_ACK_TIMER) && TMGSM_LinkSeconds() - link->LastTxTime >= link->AckTimeoutSec)
        ev |= LEV_ACK_TIMEOUT;
    if (link->SCount > 0)
        ev |= LEV_SFRAMES;
    return ev;
}

uint32_t TMGSM_CreateIpMsg(IpLink* link, uint8_t* out, uint16_t* outLen, uint32_t* mask) {
    *outLen = 0;
    if (*mask & REQ_AUTH)
        return CreateAuthReply(link, out, outLen, mask);
    if (link->Flags & LNK_UNACKED)
        return LEV_WAIT_ACK;
    if (*mask == 0)
        return LEV_NOTHING;
    uint32_t requested = *mask;
    link->TxPayloadLen = 0;
    CmdCtx ctx = Cmd_LinkCtx(link);
    CreateCmd(CMD_MODE_IP, &ctx, mask);
    uint16_t padded = link->TxPayloadLen;
    // An empty block has no length code; sending it would claim a block that is not there.
    if (padded == 0)
        return LEV_NOTHING;
    uint16_t length = static_cast<uint16_t>(padded / 16 - 1);
    if (requested == REQ_TX_DATA_ACK && *mask == 0) {
        link->TxCtl = CtlWith(link->TxCtl, LNK_AI, link->VR, -1, length);
        link->Flags &= ~(LNK_UNACKED | LNK_ACK_TIMER);
    } else {
        link->TxCtl = CtlWith(link->TxCtl, LNK_I, link->VR, link->VS, length);
        link->Flags |= LNK_UNACKED | LNK_ACK_TIMER;
        link->VS = (link->VS + 1) & 7;
    }
    link->Flags &= ~LNK_RR_DUE;
    link->LastTxTime = TMGSM_LinkSeconds();
    EmitFrame(link, out, outLen, link->TxPayload, static_cast<uint16_t>(padded + CrcSize));
    return LEV_FRAME_BUILT;
}

uint32_t TMGSM_CreateRRMsg(IpLink* link, uint8_t* out, uint16_t* outLen) {
    *outLen = 0;
    if (!(link->Flags & LNK_RR_DUE))
        return LEV_NOTHING;
    // The RR acknowledges the newest accepted frame: when the queue is full, the oldest S frame, whose
    // N(R) the RR supersedes, gives way instead of the acknowledgement.
    if (link->SCount >= LNK_SQUEUE_SIZE) {
        memmove(link->SQueue[0], link->SQueue[1], (LNK_SQUEUE_SIZE - 1) * LNK_HEADER_SIZE);
        --link->SCount;
    }
    QueueSupervisory(link, LNK_RR);
    memcpy(out, link->SQueue, link->SCount * LNK_HEADER_SIZE);
    *outLen = static_cast<uint16_t>(link->SCount * LNK_HEADER_SIZE);
    link->SCount = 0;
    link->Flags &= ~LNK_RR_DUE;
    TraceFrame("OUT", link->ModemId, Get_U16BE(out + 4));
    return LEV_SFRAMES;
}

uint32_t TMGSM_GetIpSMsg(IpLink* link, uint8_t* out, uint16_t* outLen) {
    *outLen = 0;
    if (link->SCount == 0)
        return LEV_NOTHING;
    memcpy(out, link->SQueue[0], LNK_HEADER_SIZE);
    *outLen = LNK_HEADER_SIZE;
    --link->SCount;
    memmove(link->SQueue[0], link->SQueue[1], link->SCount * LNK_HEADER_SIZE);
    TraceFrame("OUT", link->ModemId, Get_U16BE(out + 4));
    return LEV_SFRAMES;
}

int TMGSM_IpAuthRes(const IpLink* link) {
    if (!Auth_IsOk(&link->Auth))
        return 3;
    if (Auth_UsedFactoryKey(&link->Auth))
        return 1;
    if (Auth_UsedPendingKey(&link->Auth))
        return 2;
    return 0;
}
