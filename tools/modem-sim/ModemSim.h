// Modem simulator: the modem's side of the link, for end-to-end tests and benchmarks of the router.
//
// A ModemSim is the protocol core of one modem. It has no socket and no clock of its own: the driver
// hands it the bytes that arrived from the router (Feed), sends what it produced (OutputData, then
// ConsumeOutput with the count actually written), and tells it the time in milliseconds of any
// monotonic clock (the nowMs arguments; tests pass a fake clock). Many instances live in one process;
// each holds about 5 KB plus its application data queues. Nothing is thread-safe: one thread drives
// all of them. ModemPool (ModemClient.h) runs many of them over TCP in one poll loop.
//
// Typical in-process use against the router's link functions:
//
//     modemsim::ModemConfig cfg;            // ID 1, factory key, AUTH kind 2, version 1.5.0.0
//     cfg.id = 0x0102;
//     modemsim::ModemSim modem(cfg);
//     modem.Connect(now);                   // queues the AUTH frame
//     Pipe(modem.OutputData(), modem.OutputSize()); modem.ConsumeOutput(modem.OutputSize());
//     ...                                   // router replies with its AUTH; feed it back:
//     modem.Feed(reply, replyLen, now);     // modem.State() == LinkState::Ready
//     modem.QueueData(bytes, n, now);       // goes out as a TxData answer in an I frame
//
// What the modem does, once the router's AUTH reply has been checked and the session key derived:
// - Router I frames in sequence are decrypted and their commands answered; answers travel in the
//   modem's own I frames (stop-and-wait, one outstanding, N(S)/N(R) modulo 8), which also carry the
//   acknowledgement; with nothing to answer, or while its own frame is unacknowledged, it sends an RR.
//   A repeated I frame (N(S) = V(R) - 1) is acknowledged again and not processed; any other
//   out-of-sequence frame gets a REJ. AI frames are processed without sequence checks or RR.
// - Commands answered: Set/GetProfile1, Set/GetProfile2, Set/GetPollStr, InSmsStrSet/Get (stored and
//   returned as raw bytes), GetHwInfo (the layout for the type and version number), GetUpdCtx and
//   SetUpdBlk (the modem keeps a firmware image's header, its block count and a running MD5), GetLog
//   (an empty log), SetKey (the new key is used at the next Connect), SetHwId, ClrStat, SetIp;
//   RxData and RxDataPacked (unpacked with the protocol library's packing code) deliver application
//   data and are answered by RxDataAck (a repeat of the last data ID is acknowledged again and not
//   delivered twice); TxDataAck settles the modem's own block; Null is only acknowledged.
// - Application data (QueueData) goes in TxData answers, one block in flight at a time. The block is
//   settled by the router's TxDataAck (its size says how many bytes the router took). When the frame
//   that carried the block is acknowledged by a frame without a TxDataAck (the router dropped the
//   data), or after dataAckTimeoutMs, the block goes again under the same data ID. At a reconnect the
//   router's AUTH reply tells whether the block in flight had arrived.
// - The modem's own I frame is sent again after a REJ for it, after an RNR (rnrRetryMs later), and
//   when it stays unacknowledged for ackTimeoutMs.
//
// Misbehaviour on request: Inject() a one-shot fault for the next frame it concerns; SendGarbage();
// SetSilent() (nothing leaves the modem; frames are still taken in); SetNeverAck() (no RR, and N(R) in
// its own frames stays where it was); SetRxNotReady() (RxData answered as not ready, nothing taken).
#pragma once

#include "tools/modem-sim/ModemWire.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace modemsim {

constexpr int kCommandCount = 25; // command codes 0-24

struct ModemConfig {
    uint16_t id = 1;
    uint8_t key[16] = {'8', '8', '8', '8', '8', '8', '8', '8', '8', '8', '8', '8', '8', '8', '8', '8'};
    uint8_t authKind = 2;              // 0, 1 or 2; only kind 2 gets a reply and can exchange frames
    uint8_t version[4] = {1, 5, 0, 0}; // version digits; kind 2 gives version number 105
    uint32_t options = 0;              // AUTH option word; bit 0: the modem accepts packed data
    uint8_t hwType = 0;                // type of the GetHwInfo answer, 0-4
    uint8_t inputs = 0;                // states of inputs 1-4, bits 0-3
    uint64_t seed = 1;                 // random values (R, filler, garbage); mixed with the ID
    uint32_t epochSecs = 0;            // library time at nowMs 0, for the time in GetHwInfo
    uint32_t ackTimeoutMs = 20000;     // resend of the own unacknowledged I frame; 0: never
    uint32_t rnrRetryMs = 1000;        // resend after the router's RNR, retry after its data RNR
    uint32_t dataAckTimeoutMs = 10000; // resend of a data block without TxDataAck; 0: never
    bool resendOnBareAck = true;       // resend the block when its frame is acknowledged without TxDataAck
    bool packData = false;             // pack TxData when that pays (Huffman from version 103 on)
    bool woAvail = false;              // send TxDataWoAvail (code 21) instead of TxData (code 6)
    bool keepRxData = true;            // keep received application data for ReceivedData()
    bool applyNewKey = true;           // use the key of a SetKey from the next Connect on
};

enum class LinkState : uint8_t {
    Offline,    // not connected
    AuthSent,   // AUTH sent, waiting for the router's reply (kinds 0 and 1 stay here)
    Ready,      // reply checked, session key derived: frames flow
    AuthFailed, // the router's reply did not check out; nothing more is sent
};
const char* LinkState_Name(LinkState state);

// One-shot faults, each applied to the next frame it concerns.
enum class Fault : uint8_t {
    BadCrc,        // next AUTH or I frame: its payload CRC (CRC-16 or CRC-32) is wrong
    BadHeaderCrc,  // next frame of any type: its header CRC-8 is wrong
    WrongKey,      // next AUTH: R encrypted with a key other than the modem's
    OutOfSequence, // next I frame: N(S) one above the right value
    Duplicate,     // next frame of any type: written twice back to back
};
const char* Fault_Name(Fault fault);

// Event bits, collected until TakeEvents().
enum Event : uint32_t {
    EvAuthOk = 0x1,        // the router's AUTH reply checked out
    EvAuthFailed = 0x2,    // it did not (ReplyFault() tells why)
    EvCommand = 0x4,       // a command arrived (Stats().commands counts them by code)
    EvDataReceived = 0x8,  // application data arrived
    EvDataAcked = 0x10,    // the router acknowledged application data of this modem
    EvFrameError = 0x20,   // a frame from the router was damaged or could not be opened
    EvAckTimeout = 0x40,   // the own I frame stayed unacknowledged and was sent again
    EvKeyChanged = 0x80,   // a SetKey arrived
    EvUpdateBlocks = 0x100 // firmware blocks arrived
};

struct ModemStats {
    uint32_t framesIn = 0, framesOut = 0;
    uint32_t infoIn = 0, infoOut = 0; // I and AI frames
    uint32_t rrOut = 0, rejOut = 0;
    uint32_t rejIn = 0, rnrIn = 0;
    uint32_t garbageBytes = 0, badHeaders = 0, badLengths = 0, badAuthCrcs = 0, badBlocks = 0;
    uint32_t repeatsIn = 0, outOfSequenceIn = 0;
    uint32_t retransmits = 0, dataResends = 0;
    uint32_t dataBytesIn = 0, dataBlocksIn = 0, dataRepeatsIn = 0;
    uint32_t dataBytesAcked = 0, dataBlocksAcked = 0;
    uint32_t packedIn = 0, packedOut = 0; // data blocks that travelled packed
    uint32_t commands[kCommandCount] = {};
};

// What the modem keeps of a firmware upload (answered in GetUpdCtx).
struct UpdateState {
    uint16_t held = 0;       // blocks held, the header counting as block 0
    uint32_t count = 0;      // data blocks of the image, from its header
    uint8_t digest[16] = {}; // data MD5 from the image header
    Md5Ctx md5 = {};         // running MD5 over the data blocks held
};

class ModemSim {
public:
    explicit ModemSim(const ModemConfig& config);

    // Starts a session on a fresh connection: clears the link state and the output, queues the AUTH.
    void Connect(uint32_t nowMs);
    // The connection is gone. Application data, the data IDs, the profile and the update state stay.
    void Disconnect();

    // Bytes from the router; all are taken (every complete frame is processed at once).
    void Feed(const uint8_t* data, size_t n, uint32_t nowMs);
    // Time-outs and retries; call now and then (every 10-100 ms is plenty).
    void Tick(uint32_t nowMs);

    // Bytes waiting to be sent to the router.
    const uint8_t* OutputData() const { return out_.data() + outStart_; }
    size_t OutputSize() const { return out_.size() - outStart_; }
    void ConsumeOutput(size_t n);

    // Application data for the router; sent when the link allows. Returns n.
    size_t QueueData(const uint8_t* data, size_t n, uint32_t nowMs);
    // Bytes queued and not yet acknowledged by the router (the block in flight included).
    size_t PendingData() const { return txQueue_.size(); }
    // New input states (bits 0-3); with report set, a GetInputs answer goes to the router.
    void SetInputs(uint8_t bits, bool report, uint32_t nowMs);

    void Inject(Fault fault) { faults_ |= uint8_t(1u << uint8_t(fault)); }
    // n random bytes that contain no sync byte, sent at once (also while not authenticated).
    void SendGarbage(size_t n);
    void SetSilent(bool on, uint32_t nowMs);
    void SetNeverAck(bool on);
    void SetRxNotReady(bool on) { rxNotReady_ = on; }

    LinkState State() const { return state_; }
    ReplyCheck ReplyFault() const { return replyFault_; }
    bool Idle() const; // ready, nothing outstanding, queued or waiting to be answered
    uint32_t TakeEvents();
    const ModemStats& Stats() const { return stats_; }
    const ModemConfig& Config() const { return cfg_; }
    uint16_t Id() const { return cfg_.id; }
    uint32_t VersionNo() const;
    const uint8_t* Key() const { return key_; }
    const uint8_t* SessionKey() const { return sessKey_; }
    uint8_t Inputs() const { return inputs_; }
    uint16_t HwId() const { return hwId_; }
    uint16_t ClrStatArg() const { return clrStatArg_; }

    // Application data received from the router (with keepRxData), oldest first.
    const std::vector<uint8_t>& ReceivedData() const { return rxData_; }
    void ClearReceivedData() { rxData_.clear(); }
    uint16_t LastRxId() const { return lastRxId_; }
    uint16_t NextTxId() const { return txId_; }

    // Raw profile parts as the modem holds them (wire layouts); writable so tests can preset them.
    uint8_t* Profile1() { return profile1_; } // 92 bytes
    uint8_t* Profile2() { return profile2_; } // 43 bytes
    uint8_t* PollBlock() { return poll_; }    // 144 bytes
    uint8_t* InSmsBlock() { return inSms_; }  // 407 bytes
    const UpdateState& Update() const { return upd_; }

private:
    void ProcessRx(uint32_t nowMs);
    void HandleFrame(const FrameView& frame, uint32_t nowMs);
    void HandleAuthReply(const FrameView& frame);
    void HandleInfo(const FrameView& frame, uint32_t nowMs);
    void HandleSupervisory(const FrameView& frame, uint32_t nowMs);
    void AckUpTo(uint8_t nr);
    void HandleBlock(const uint8_t* plain, size_t n, uint32_t nowMs);
    size_t HandleCommand(uint8_t code, const uint8_t* p, size_t avail, uint32_t nowMs);
    size_t HandleRxData(uint8_t code, const uint8_t* p, size_t avail);
    size_t HandleTxDataAck(const uint8_t* p, size_t avail, uint32_t nowMs);
    size_t HandleUpdBlk(const uint8_t* p, size_t avail);
    void AnswerHwInfo(uint32_t nowMs);
    void AnswerUpdCtx();
    void AddAnswer(uint8_t code, const uint8_t* payload, size_t n);

    void Pump(uint32_t nowMs);
    size_t BuildBlock(uint8_t* block, uint32_t nowMs);
    size_t AddTxData(uint8_t* block, size_t used, uint32_t nowMs);
    void SendInfo(uint8_t* frame, size_t plainLen, uint32_t nowMs);
    void Resend(uint32_t nowMs);
    void SendS(uint8_t type);
    void Emit(const uint8_t* frame, size_t n);
    bool TakeFault(Fault fault);
    void SettleData(uint16_t taken);
    void ResendData();
    uint8_t NrToSend() const { return neverAck_ ? frozenNr_ : vr_; }
    uint64_t Random();
    void RandomBytes(uint8_t* out, size_t n);

    ModemConfig cfg_;
    LinkState state_ = LinkState::Offline;
    ReplyCheck replyFault_ = ReplyCheck::Ok;
    uint8_t key_[16];
    uint8_t authKey_[16] = {}; // the key the last AUTH was encrypted with
    uint8_t newKey_[16] = {};
    bool haveNewKey_ = false;
    uint8_t random_[16] = {};
    uint8_t sessKey_[16] = {};
    AesCtx sess_ = {};
    uint64_t rng_;

    // Link.
    uint8_t vs_ = 0, vr_ = 0, frozenNr_ = 0;
    bool ackDue_ = false;
    bool outstanding_ = false;
    uint8_t outNs_ = 0;
    uint32_t outSince_ = 0;
    bool resendAt_ = false; // after an RNR: resend at resendTime_
    uint32_t resendTime_ = 0;
    bool frameHasData_ = false; // the outstanding frame carries the data block in flight
    bool dataFrameAcked_ = false;
    uint8_t lastFrame_[kMaxFrameSize];
    size_t lastFrameLen_ = 0;
    uint8_t faults_ = 0;
    bool silent_ = false, neverAck_ = false, rxNotReady_ = false;

    // Receive buffer: at most one frame and what follows it.
    uint8_t rx_[2 * kMaxFrameSize];
    size_t rxLen_ = 0;

    std::vector<uint8_t> out_;
    size_t outStart_ = 0;

    // Answers waiting for a frame: concatenated items and their sizes.
    std::vector<uint8_t> answers_;
    std::vector<uint16_t> answerSizes_;

    // Application data towards the router.
    std::vector<uint8_t> txQueue_;
    uint16_t txId_ = 0;
    bool txInFlight_ = false;
    uint16_t txInFlightLen_ = 0;
    uint32_t txSentAt_ = 0;
    bool routerRnr_ = false;
    uint32_t routerRnrUntil_ = 0;

    // Application data from the router.
    std::vector<uint8_t> rxData_;
    uint16_t lastRxId_ = kNoDataId, lastRxSize_ = kNoDataId;

    uint8_t inputs_;
    uint16_t hwId_ = 0, clrStatArg_ = 0;
    uint8_t profile1_[92] = {};
    uint8_t profile2_[43] = {};
    uint8_t poll_[144] = {};
    uint8_t inSms_[407] = {};
    UpdateState upd_;

    uint32_t events_ = 0;
    ModemStats stats_;
};

} // namespace modemsim
