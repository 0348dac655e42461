#include "tools/modem-sim/ModemSim.h"

#include <algorithm>
#include <cstring>

namespace modemsim {

namespace {

// Returned by the command handlers when the block's items end here.
constexpr size_t kStop = SIZE_MAX;

// Answer codes: 0x80 plus the command code.
constexpr uint8_t Answer(uint8_t code) {
    return uint8_t(0x80 | code);
}

enum Code : uint8_t {
    SetProfile1 = 0,
    SetProfile2 = 1,
    GetProfile1 = 2,
    GetProfile2 = 3,
    RxData = 4,
    RxDataAck = 5,
    TxData = 6,
    TxDataAck = 7,
    SetKey = 8,
    SetHwId = 9,
    SetUpdBlk = 10,
    GetHwInfo = 11,
    GetUpdCtx = 12,
    ClrStat = 13,
    Null = 15,
    SetIp = 16,
    GetInputs = 17,
    SetPollStr = 18,
    GetPollStr = 19,
    GetLog = 20,
    TxDataWoAvail = 21,
    RxDataPacked = 22,
    InSmsStrSet = 23,
    InSmsStrGet = 24,
};

constexpr uint16_t kNextDataId(uint16_t id) {
    return id >= 65534 ? 0 : uint16_t(id + 1); // 65535 means "none"
}

// Free room of the modem's serial side, reported in TxData.
constexpr uint16_t kAvail = 1024;

void InitProfile(uint8_t* profile1, uint8_t* profile2) {
    Put_U32BE(profile1, 0x7F000001); // server 127.0.0.1
    memcpy(profile1 + 8, "internet", 8);
    memset(profile1 + 84, 0xFF, 8); // no connect phone
    memset(profile2, 0xFF, 16);     // no SMS centre, no SMS phone
}

} // namespace

const char* LinkState_Name(LinkState state) {
    switch (state) {
    case LinkState::Offline:
        return "offline";
    case LinkState::AuthSent:
        return "auth sent";
    case LinkState::Ready:
        return "ready";
    case LinkState::AuthFailed:
        return "auth failed";
    }
    return "?";
}

const char* Fault_Name(Fault fault) {
    switch (fault) {
    case Fault::BadCrc:
        return "bad-crc";
    case Fault::BadHeaderCrc:
        return "bad-header-crc";
    case Fault::WrongKey:
        return "wrong-key";
    case Fault::OutOfSequence:
        return "out-of-sequence";
    case Fault::Duplicate:
        return "duplicate";
    }
    return "?";
}

ModemSim::ModemSim(const ModemConfig& config) : cfg_(config), inputs_(uint8_t(config.inputs & 15)) {
    memcpy(key_, cfg_.key, 16);
    rng_ = (cfg_.seed ^ (uint64_t(cfg_.id) + 1) * 0x9E3779B97F4A7C15ull) | 1;
    InitProfile(profile1_, profile2_);
}

uint64_t ModemSim::Random() {
    // xorshift64*
    rng_ ^= rng_ >> 12;
    rng_ ^= rng_ << 25;
    rng_ ^= rng_ >> 27;
    return rng_ * 0x2545F4914F6CDD1Dull;
}

void ModemSim::RandomBytes(uint8_t* out, size_t n) {
    for (size_t i = 0; i < n; ++i)
        out[i] = uint8_t(Random() >> 32);
}

uint32_t ModemSim::VersionNo() const {
    return VersionNumber(cfg_.authKind, cfg_.version);
}

uint32_t ModemSim::TakeEvents() {
    const uint32_t events = events_;
    events_ = 0;
    return events;
}

bool ModemSim::Idle() const {
    return state_ == LinkState::Ready && !outstanding_ && !ackDue_ && answers_.empty() && txQueue_.empty();
}

void ModemSim::Connect(uint32_t nowMs) {
    Disconnect();
    state_ = LinkState::AuthSent;
    if (haveNewKey_ && cfg_.applyNewKey) {
        memcpy(key_, newKey_, 16);
        haveNewKey_ = false;
    }
    memcpy(authKey_, key_, 16);
    if (TakeFault(Fault::WrongKey))
        for (uint8_t& b : authKey_)
            b ^= 0x5A;
    RandomBytes(random_, 16);
    AuthRequest req;
    memcpy(req.random, random_, 16);
    req.versionWord = VersionWord(cfg_.authKind, cfg_.version);
    req.lastRxId = lastRxId_;
    req.lastRxSize = lastRxSize_;
    req.options = cfg_.options;
    uint8_t payload[kAuthPayloadSize];
    AuthRequest_Write(authKey_, req, payload);
    uint8_t frame[kAuthFrameSize];
    Emit(frame, Frame_WriteAuth(frame, cfg_.id, payload));
    txSentAt_ = nowMs;
}

void ModemSim::Disconnect() {
    state_ = LinkState::Offline;
    replyFault_ = ReplyCheck::Ok;
    vs_ = vr_ = frozenNr_ = 0;
    ackDue_ = outstanding_ = resendAt_ = false;
    frameHasData_ = dataFrameAcked_ = false;
    lastFrameLen_ = 0;
    rxLen_ = 0;
    out_.clear();
    outStart_ = 0;
    answers_.clear();
    answerSizes_.clear();
    routerRnr_ = false;
}

void ModemSim::ConsumeOutput(size_t n) {
    outStart_ += std::min(n, OutputSize());
    if (outStart_ == out_.size()) {
        out_.clear();
        outStart_ = 0;
    }
}

size_t ModemSim::QueueData(const uint8_t* data, size_t n, uint32_t nowMs) {
    txQueue_.insert(txQueue_.end(), data, data + n);
    Pump(nowMs);
    return n;
}

void ModemSim::SetInputs(uint8_t bits, bool report, uint32_t nowMs) {
    inputs_ = uint8_t(bits & 15);
    if (report)
        AddAnswer(Answer(GetInputs), &inputs_, 1);
    Pump(nowMs);
}

void ModemSim::SendGarbage(size_t n) {
    const size_t at = out_.size();
    out_.resize(at + n);
    RandomBytes(out_.data() + at, n);
    for (size_t i = at; i < out_.size(); ++i)
        if (out_[i] == 0x55)
            out_[i] = 0x54;
}

void ModemSim::SetSilent(bool on, uint32_t nowMs) {
    silent_ = on;
    Pump(nowMs);
}

void ModemSim::SetNeverAck(bool on) {
    if (on && !neverAck_)
        frozenNr_ = vr_;
    neverAck_ = on;
}

bool ModemSim::TakeFault(Fault fault) {
    const uint8_t bit = uint8_t(1u << uint8_t(fault));
    if (!(faults_ & bit))
        return false;
    faults_ = uint8_t(faults_ & ~bit);
    return true;
}

// Every frame leaves through here, so that the faults are applied to the copy on the wire only: a
// frame sent again goes out as it should have.
void ModemSim::Emit(const uint8_t* frame, size_t n) {
    if (silent_)
        return;
    const size_t at = out_.size();
    out_.insert(out_.end(), frame, frame + n);
    uint8_t* f = out_.data() + at;
    const Control ctl = Control_Unpack(Get_U16BE(f + 4));
    if ((ctl.type == FrameAuth || ctl.type == FrameI) && TakeFault(Fault::BadCrc))
        f[n - 1] ^= 0xFF; // last byte of the CRC-16 or CRC-32
    if (ctl.type == FrameI && TakeFault(Fault::OutOfSequence))
        Header_Write(f, cfg_.id, Control{ctl.type, uint8_t((ctl.ns + 1) & 7), ctl.nr, ctl.length});
    if (TakeFault(Fault::BadHeaderCrc))
        f[6] ^= 0xFF;
    if (TakeFault(Fault::Duplicate)) {
        out_.resize(at + 2 * n);
        memcpy(out_.data() + at + n, out_.data() + at, n);
    }
    ++stats_.framesOut;
}

// ----- receiving -----

void ModemSim::Feed(const uint8_t* data, size_t n, uint32_t nowMs) {
    if (state_ == LinkState::Offline)
        return;
    while (n > 0) {
        const size_t take = std::min(n, sizeof rx_ - rxLen_);
        memcpy(rx_ + rxLen_, data, take);
        rxLen_ += take;
        data += take;
        n -= take;
        ProcessRx(nowMs);
    }
}

void ModemSim::ProcessRx(uint32_t nowMs) {
    for (;;) {
        FrameView frame;
        size_t consumed = 0;
        const ScanResult result = Frame_Scan(rx_, rxLen_, &frame, &consumed);
        switch (result) {
        case ScanResult::NeedMore:
            return;
        case ScanResult::Garbage:
            stats_.garbageBytes += uint32_t(consumed);
            break;
        case ScanResult::BadHeader:
            ++stats_.badHeaders;
            events_ |= EvFrameError;
            break;
        case ScanResult::BadLength:
            ++stats_.badLengths;
            events_ |= EvFrameError;
            break;
        case ScanResult::BadAuthCrc:
            ++stats_.badAuthCrcs;
            events_ |= EvFrameError;
            break;
        case ScanResult::Frame:
            HandleFrame(frame, nowMs);
            break;
        }
        memmove(rx_, rx_ + consumed, rxLen_ - consumed);
        rxLen_ -= consumed;
    }
}

void ModemSim::HandleFrame(const FrameView& frame, uint32_t nowMs) {
    ++stats_.framesIn;
    switch (frame.ctl.type) {
    case FrameAuth:
        if (state_ == LinkState::AuthSent && cfg_.authKind == 2)
            HandleAuthReply(frame);
        break;
    case FrameI:
    case FrameAI:
        if (state_ == LinkState::Ready)
            HandleInfo(frame, nowMs);
        break;
    default:
        if (state_ == LinkState::Ready)
            HandleSupervisory(frame, nowMs);
        break;
    }
    // The frame that carried our data block was acknowledged, and no TxDataAck came with it: the
    // router dropped the data.
    if (dataFrameAcked_) {
        dataFrameAcked_ = false;
        if (txInFlight_ && cfg_.resendOnBareAck)
            ResendData();
    }
    Pump(nowMs);
}

void ModemSim::HandleAuthReply(const FrameView& frame) {
    AuthReply reply;
    replyFault_ = AuthReply_Read(authKey_, random_, frame.payload, &reply);
    if (replyFault_ != ReplyCheck::Ok) {
        state_ = LinkState::AuthFailed;
        events_ |= EvAuthFailed;
        return;
    }
    SessionKey_Derive(random_, reply.nonce, authKey_, sessKey_);
    Aes_SetKey(&sess_, sessKey_, 128);
    state_ = LinkState::Ready;
    events_ |= EvAuthOk;
    // The block in flight when the last connection ended: the router names the last block it took.
    if (txInFlight_) {
        if (reply.lastRxId == txId_ && reply.lastRxSize != kNoDataId)
            SettleData(reply.lastRxSize);
        else
            ResendData();
    }
}

void ModemSim::AckUpTo(uint8_t nr) {
    if (!outstanding_ || nr != ((outNs_ + 1) & 7))
        return;
    outstanding_ = false;
    resendAt_ = false;
    if (frameHasData_) {
        frameHasData_ = false;
        dataFrameAcked_ = true;
    }
}

void ModemSim::HandleSupervisory(const FrameView& frame, uint32_t nowMs) {
    const uint8_t nr = frame.ctl.nr;
    AckUpTo(nr);
    if (frame.ctl.type == FrameREJ) {
        ++stats_.rejIn;
        if (outstanding_ && nr == outNs_)
            Resend(nowMs);
    } else if (frame.ctl.type == FrameRNR) {
        ++stats_.rnrIn;
        if (outstanding_ && nr == outNs_) {
            resendAt_ = true;
            resendTime_ = nowMs + cfg_.rnrRetryMs;
        }
    }
}

void ModemSim::HandleInfo(const FrameView& frame, uint32_t nowMs) {
    ++stats_.infoIn;
    uint8_t plain[kMaxBlock + kBlockCrcSize];
    memcpy(plain, frame.payload, frame.payloadLen);
    if (!Block_Open(&sess_, plain, frame.payloadLen)) {
        ++stats_.badBlocks;
        events_ |= EvFrameError;
        return;
    }
    AckUpTo(frame.ctl.nr);
    if (frame.ctl.type == FrameI) {
        if (frame.ctl.ns != vr_) {
            if (frame.ctl.ns == ((vr_ + 7) & 7)) {
                ++stats_.repeatsIn; // our acknowledgement was lost: acknowledge again
                ackDue_ = true;
            } else {
                ++stats_.outOfSequenceIn;
                SendS(FrameREJ);
            }
            return;
        }
        vr_ = uint8_t((vr_ + 1) & 7);
        ackDue_ = true;
    }
    HandleBlock(plain, frame.payloadLen - kBlockCrcSize, nowMs);
}

void ModemSim::HandleBlock(const uint8_t* plain, size_t n, uint32_t nowMs) {
    size_t pos = 0;
    while (pos < n && plain[pos] < kCommandCount) { // 0xFF ends the items
        const size_t used = HandleCommand(plain[pos], plain + pos + 1, n - pos - 1, nowMs);
        if (used == kStop)
            return;
        ++stats_.commands[plain[pos]];
        events_ |= EvCommand;
        pos += 1 + used;
    }
}

size_t ModemSim::HandleCommand(uint8_t code, const uint8_t* p, size_t avail, uint32_t nowMs) {
    // Commands that store a fixed-size payload and are confirmed by the bare answer code.
    struct Store {
        uint8_t code;
        uint8_t* dst;
        size_t size;
    };
    const Store stores[] = {{SetProfile1, profile1_, sizeof profile1_},
                            {SetProfile2, profile2_, sizeof profile2_},
                            {SetPollStr, poll_, sizeof poll_},
                            {InSmsStrSet, inSms_, sizeof inSms_},
                            {SetIp, profile1_, 6}};
    for (const Store& s : stores) {
        if (s.code != code)
            continue;
        if (avail < s.size)
            return kStop;
        memcpy(s.dst, p, s.size);
        AddAnswer(Answer(code), nullptr, 0);
        return s.size;
    }
    switch (code) {
    case GetProfile1:
        AddAnswer(Answer(code), profile1_, sizeof profile1_);
        return 0;
    case GetProfile2:
        AddAnswer(Answer(code), profile2_, sizeof profile2_);
        return 0;
    case GetPollStr:
        AddAnswer(Answer(code), poll_, sizeof poll_);
        return 0;
    case InSmsStrGet:
        AddAnswer(Answer(code), inSms_, sizeof inSms_);
        return 0;
    case RxData:
    case RxDataPacked:
        return HandleRxData(code, p, avail);
    case TxDataAck:
        return HandleTxDataAck(p, avail, nowMs);
    case SetKey:
        if (avail < 16)
            return kStop;
        memcpy(newKey_, p, 16);
        haveNewKey_ = true;
        events_ |= EvKeyChanged;
        AddAnswer(Answer(code), nullptr, 0);
        return 16;
    case SetHwId:
    case ClrStat:
        if (avail < 2)
            return kStop;
        (code == SetHwId ? hwId_ : clrStatArg_) = Get_U16BE(p);
        AddAnswer(Answer(code), nullptr, 0);
        return 2;
    case SetUpdBlk:
        return HandleUpdBlk(p, avail);
    case GetHwInfo:
        AnswerHwInfo(nowMs);
        return 0;
    case GetUpdCtx:
        AnswerUpdCtx();
        return 0;
    case GetLog: {
        const uint8_t emptyLog[3] = {0, 4, 0}; // type 0, 4-byte entries, none
        AddAnswer(Answer(code), emptyLog, sizeof emptyLog);
        return 0;
    }
    case Null:
        return 0; // a poll: the acknowledgement is the answer
    default:
        return kStop; // GprsClose and the codes that only answers carry
    }
}

size_t ModemSim::HandleRxData(uint8_t code, const uint8_t* p, size_t avail) {
    if (avail < 4)
        return kStop;
    const uint16_t id = Get_U16BE(p);
    const uint16_t n = Get_U16BE(p + 2);
    const uint8_t* data = p + 4;
    size_t used = 4 + size_t(n);
    uint8_t unpacked[PackScratchSize];
    if (code == RxDataPacked) {
        // The packed stream ends where unpacking to n bytes ends.
        const uint32_t have = uint32_t(std::min<size_t>(avail - 4, sizeof unpacked));
        memcpy(unpacked, data, have);
        const uint32_t packed = Pack_Decode(unpacked, have, n, sizeof unpacked);
        if (!packed)
            return kStop;
        ++stats_.packedIn;
        data = unpacked;
        used = 4 + packed;
    } else if (avail - 4 < n) {
        return kStop;
    }
    uint8_t ack[3] = {0, 0, 0};
    if (rxNotReady_) {
        ack[0] = 1; // nothing taken; the router keeps the block for later
    } else {
        if (id == lastRxId_) {
            ++stats_.dataRepeatsIn; // already delivered: acknowledge again only
        } else {
            if (cfg_.keepRxData)
                rxData_.insert(rxData_.end(), data, data + n);
            stats_.dataBytesIn += n;
            ++stats_.dataBlocksIn;
            events_ |= EvDataReceived;
            lastRxId_ = id;
            lastRxSize_ = n;
        }
        Put_U16BE(ack + 1, uint16_t((n & 0xFFF) | inputs_ << 12));
    }
    AddAnswer(Answer(RxDataAck), ack, sizeof ack);
    return used;
}

size_t ModemSim::HandleTxDataAck(const uint8_t* p, size_t avail, uint32_t nowMs) {
    if (avail < 3)
        return kStop;
    if (txInFlight_)
        SettleData(Get_U16BE(p + 1));
    if (p[0]) {
        routerRnr_ = true;
        routerRnrUntil_ = nowMs + cfg_.rnrRetryMs;
    }
    return 3;
}

size_t ModemSim::HandleUpdBlk(const uint8_t* p, size_t avail) {
    if (avail < 1)
        return kStop;
    const size_t k = size_t(p[0] & 0x7F) + 1;
    if (avail < 1 + 128 * k)
        return kStop;
    for (size_t i = 0; i < k; ++i) {
        const uint8_t* block = p + 1 + 128 * i;
        if (i == 0 && (p[0] & 0x80)) { // the image header starts the upload again
            upd_.held = 1;
            upd_.count = Get_U32LE(block);
            memcpy(upd_.digest, block + 4, 16);
            Md5_Init(&upd_.md5);
        } else if (upd_.held > 0 && upd_.held <= upd_.count && upd_.held < 0xFFFF) {
            Md5_Update(&upd_.md5, block, 128);
            ++upd_.held;
        }
    }
    events_ |= EvUpdateBlocks;
    AddAnswer(Answer(SetUpdBlk), nullptr, 0);
    return 1 + 128 * k;
}

void ModemSim::AnswerHwInfo(uint32_t nowMs) {
    uint8_t b[96] = {};
    size_t k = 0;
    const uint32_t vn = VersionNo();
    b[k++] = cfg_.hwType;
    k++; // length of the rest, below
    Put_U16BE(b + k, uint16_t(VersionWord(1, cfg_.version)));
    k += 2;
    Put_U32BE(b + k, cfg_.epochSecs + nowMs / 1000);
    k += 4 + 12;
    if (cfg_.hwType >= 2 && cfg_.hwType <= 4)
        k += 16;
    k += 12;
    if (vn >= 104) {
        Put_U32BE(b + k, 0xFFFFFFFF); // running times unknown
        Put_U32BE(b + k + 4, 0xFFFFFFFF);
        k += 8;
    }
    if (vn >= 105) {
        b[k] = inputs_;
        k += 19;
    }
    // Radio block: signal level, bit error class, module, 15 identity digits in 7 bytes, status.
    b[k] = 20;
    b[k + 2] = 1;
    b[k + 3] = 15;
    Put_U16BE(b + k + 9, cfg_.id);
    k += 13;
    if (vn < 105)
        b[k++] = inputs_;
    b[1] = uint8_t(k - 2);
    AddAnswer(Answer(GetHwInfo), b, k);
}

void ModemSim::AnswerUpdCtx() {
    uint8_t b[36] = {};
    Put_U16BE(b, upd_.held);
    Put_U16BE(b + 2, uint16_t(upd_.count));
    memcpy(b + 4, upd_.digest, 16);
    if (upd_.held > 0) {
        Md5Ctx md5 = upd_.md5;
        Md5_Final(&md5, b + 20, upd_.held - 1u == upd_.count ? 1 : 0);
    }
    AddAnswer(Answer(GetUpdCtx), b, sizeof b);
}

void ModemSim::AddAnswer(uint8_t code, const uint8_t* payload, size_t n) {
    answers_.push_back(code);
    if (n)
        answers_.insert(answers_.end(), payload, payload + n);
    answerSizes_.push_back(uint16_t(1 + n));
}

// ----- application data -----

void ModemSim::SettleData(uint16_t taken) {
    const size_t k = std::min<size_t>(taken, txInFlightLen_);
    txQueue_.erase(txQueue_.begin(), txQueue_.begin() + ptrdiff_t(k));
    txId_ = kNextDataId(txId_);
    txInFlight_ = false;
    frameHasData_ = false;
    stats_.dataBytesAcked += uint32_t(k);
    ++stats_.dataBlocksAcked;
    events_ |= EvDataAcked;
}

void ModemSim::ResendData() {
    txInFlight_ = false;
    frameHasData_ = false;
    ++stats_.dataResends;
}

size_t ModemSim::AddTxData(uint8_t* block, size_t used, uint32_t nowMs) {
    if (txInFlight_ || txQueue_.empty())
        return used;
    if (routerRnr_ && int32_t(nowMs - routerRnrUntil_) < 0)
        return used;
    routerRnr_ = false;
    const size_t head = cfg_.woAvail ? 6 : 8;
    if (used + head + 1 > kMaxBlock)
        return used;
    const size_t n = std::min(txQueue_.size(), kMaxBlock - used - head);
    uint8_t* p = block + used;
    p[0] = Answer(cfg_.woAvail ? TxDataWoAvail : TxData);
    p[1] = inputs_;
    Put_U16BE(p + 2, txId_);
    Put_U16BE(p + 4, uint16_t(n));
    if (!cfg_.woAvail)
        Put_U16BE(p + 6, kAvail);
    size_t wire = n;
    if (cfg_.packData && n >= 16) {
        PackState state;
        PackWork work;
        const uint16_t len = uint16_t(n);
        if (Pack_Choose(txQueue_.data(), len, &state, &work, VersionNo() >= 103)) {
            const uint32_t packed = Pack_Encode(txQueue_.data(), len, &state, &work, p + head, uint32_t(n));
            if (packed) {
                p[1] |= 0x80;
                wire = packed;
                ++stats_.packedOut;
            }
        }
    }
    if (wire == n)
        memcpy(p + head, txQueue_.data(), n);
    txInFlight_ = true;
    txInFlightLen_ = uint16_t(n);
    txSentAt_ = nowMs;
    frameHasData_ = true;
    return used + head + wire;
}

// ----- sending -----

size_t ModemSim::BuildBlock(uint8_t* block, uint32_t nowMs) {
    size_t used = 0, items = 0;
    while (items < answerSizes_.size() && used + answerSizes_[items] <= kMaxBlock)
        used += answerSizes_[items++];
    if (used)
        memcpy(block, answers_.data(), used);
    answers_.erase(answers_.begin(), answers_.begin() + ptrdiff_t(used));
    answerSizes_.erase(answerSizes_.begin(), answerSizes_.begin() + ptrdiff_t(items));
    return AddTxData(block, used, nowMs);
}

void ModemSim::SendInfo(uint8_t* frame, size_t plainLen, uint32_t nowMs) {
    uint8_t filler[16];
    RandomBytes(filler, sizeof filler);
    const size_t padded = Block_Seal(&sess_, frame + kHeaderSize, plainLen, filler);
    Header_Write(frame, cfg_.id, Control{FrameI, vs_, NrToSend(), uint8_t(padded / 16 - 1)});
    lastFrameLen_ = kHeaderSize + padded + kBlockCrcSize;
    memcpy(lastFrame_, frame, lastFrameLen_);
    outstanding_ = true;
    outNs_ = vs_;
    vs_ = uint8_t((vs_ + 1) & 7);
    outSince_ = nowMs;
    if (!neverAck_)
        ackDue_ = false;
    ++stats_.infoOut;
    Emit(lastFrame_, lastFrameLen_);
}

void ModemSim::Resend(uint32_t nowMs) {
    if (!outstanding_ || silent_)
        return;
    const Control old = Control_Unpack(Get_U16BE(lastFrame_ + 4));
    Header_Write(lastFrame_, cfg_.id, Control{FrameI, outNs_, NrToSend(), old.length});
    outSince_ = nowMs;
    if (!neverAck_)
        ackDue_ = false;
    ++stats_.retransmits;
    ++stats_.infoOut;
    Emit(lastFrame_, lastFrameLen_);
}

void ModemSim::SendS(uint8_t type) {
    if (silent_)
        return;
    uint8_t frame[kHeaderSize];
    Emit(frame, Frame_WriteS(frame, cfg_.id, type, NrToSend()));
    if (type == FrameRR)
        ++stats_.rrOut;
    else if (type == FrameREJ)
        ++stats_.rejOut;
}

void ModemSim::Pump(uint32_t nowMs) {
    if (state_ != LinkState::Ready || silent_)
        return;
    if (resendAt_ && int32_t(nowMs - resendTime_) >= 0) {
        resendAt_ = false;
        Resend(nowMs);
    }
    if (!outstanding_) {
        uint8_t frame[kMaxFrameSize];
        const size_t n = BuildBlock(frame + kHeaderSize, nowMs);
        if (n)
            SendInfo(frame, n, nowMs);
    }
    if (ackDue_ && !neverAck_) {
        SendS(FrameRR);
        ackDue_ = false;
    }
}

void ModemSim::Tick(uint32_t nowMs) {
    if (state_ != LinkState::Ready)
        return;
    if (outstanding_ && !resendAt_ && cfg_.ackTimeoutMs && nowMs - outSince_ >= cfg_.ackTimeoutMs) {
        events_ |= EvAckTimeout;
        Resend(nowMs);
    }
    if (txInFlight_ && !frameHasData_ && cfg_.dataAckTimeoutMs && nowMs - txSentAt_ >= cfg_.dataAckTimeoutMs)
        ResendData();
    Pump(nowMs);
}

} // namespace modemsim
