// The AT command interpreter of the GSM modem simulator: command lines in, echo and replies out, SMS in
// numbered cells of one storage ("SM"). No device and no clock: GsmSim (GsmSim.h) feeds it the bytes
// from the pty and sends what it produces. Not thread-safe; GsmSim guards it with its lock.
#pragma once

#include "tools/gsm-sim/SmsPdu.h"

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace gsmsim {

enum class PinState : uint8_t {
    Ready,  // "+CPIN: READY"
    SimPin, // "+CPIN: SIM PIN": "AT+CPIN=<pin>" unlocks; three wrong PINs block the SIM
    SimPuk, // "+CPIN: SIM PUK": only "AT+CPIN=<puk>,<new pin>" unlocks
    NoSim,  // "AT+CPIN?" answers ERROR
};
const char* PinState_Name(PinState state);

// Misbehaviour on request (GsmModem::Inject).
enum class Fault : uint8_t {
    Silent,    // the command line gets nothing: no echo, no reply, no effect (after "AT+CMGS=" the PDU
               // and its Ctrl-Z are swallowed too)
    Error,     // the command line is answered "ERROR" and not carried out
    LongReply, // the reply comes after a burst of filler (longReplyBytes, a NUL byte among them)
    TextMode,  // the modem is in text mode ("AT+CMGF=1") and refuses "AT+CMGF=0" with ERROR
    CutReply,  // the reply stops halfway: its rest, the final result code with it, never comes
    UnsolicitedInReply, // a new SMS is announced inside the reply: a "+CMTI:" line after its first
                        // line (nothing is stored)
    LateReply, // a slow modem: the reply (not the echo) comes only with the next command line, before
               // its echo
    LateRest,  // the reply stops halfway, and its rest comes as LateReply's does
};
const char* Fault_Name(Fault fault);

struct GsmConfig {
    PinState pinState = PinState::Ready; // at power-on
    std::string pin = "1234";
    std::string puk = "12345678";
    int capacity = 30;               // cells of the storage, 1 to 255
    bool echo = true;                // ATE1 at power-on
    bool emptyReadIsError = false;   // "AT+CMGR=" of an empty cell: "+CMS ERROR: 321" instead of OK
    size_t longReplyBytes = 1024;    // filler of Fault::LongReply
    bool lfOnly = false;             // reply lines end in LF alone, not CR LF
    bool blankLineBeforePdu = false; // a blank line between "+CMGR:" (or "+CMGL:") and the PDU
};

enum class CellStatus : uint8_t { Unread = 0, Read = 1, Unsent = 2, Sent = 3 };

// How a call the terminal dials goes on (GsmModem::QueueDialResult).
enum class DialResult : uint8_t {
    Connect,    // a data call "CONNECT 9600" and data mode; a voice call ("ATD...;") OK
    Busy,       // "BUSY"
    NoAnswer,   // "NO ANSWER"
    NoCarrier,  // "NO CARRIER"
    NoDialtone, // "NO DIALTONE"
    Pending,    // nothing yet: the far end rings until the terminal aborts the dialling with a character
};
const char* DialResult_Name(DialResult result);

enum class CallState : uint8_t { None, Dialling, Ringing, Data, Voice, Held };

// Who rings (GsmModem::Ring).
struct Caller {
    std::string number, name;
    int validity = 0;   // of "+CLIP:": 0 the number is given, 1 withheld, 2 not available
    bool voice = false; // a voice call (ATA answers OK), else a data call (CONNECT 9600)
};

// One occupied cell.
struct Cell {
    int index = 0;
    CellStatus status = CellStatus::Unread;
    Bytes pdu;             // the whole PDU as "+CMGR:" prints it
    size_t tpduLength = 0; // the length "+CMGR:" gives
    // What text mode shows; empty for a cell filled with AddPdu.
    std::string address, text;
    SmsTime time;
};

// An SMS the terminal sent with "AT+CMGS=".
struct SentSms {
    std::string destination;
    std::string text;      // decoded text (PDU mode, GSM 7-bit) or the text typed (text mode)
    bool textMode = false; // sent in text mode: destination and text as typed, no PDU
    // The reference "+CMGS:" answered with: the PDU's own, or the modem's count in text mode.
    uint8_t messageRef = 0;
    std::string pdu; // PDU mode: the hexadecimal line as typed
    Submit submit;   // PDU mode: the decoded SUBMIT
};

class GsmModem {
public:
    explicit GsmModem(const GsmConfig& config = {});

    // Bytes from the terminal. Everything is taken at once; the replies are appended to the output.
    void Feed(const uint8_t* data, size_t n);
    const std::string& Output() const { return out_; }
    void ConsumeOutput(size_t n) { out_.erase(0, n); }

    // The terminal closed the port: half-typed input and unsent output are dropped and the faults end,
    // so the next connection meets a sound modem.
    void Disconnected();
    // Power lost and back (the cable was pulled): echo, message format and PIN state as at power-on;
    // the cells stay, as on a SIM.
    void PowerCycle();

    // PIN state now and at the next power-on (SimPin and SimPuk are properties of the SIM).
    void SetPinState(PinState state);
    PinState GetPinState() const { return pin_; }
    void SetPin(const std::string& pin) { cfg_.pin = pin; }

    // Puts an incoming SMS in the given cell, or in the first free one when cell is 0. Returns the cell,
    // or 0 when it is taken, out of range, none is free, or the spec cannot be encoded.
    int AddSms(const DeliverSpec& spec, int cell = 0);
    // The same for a PDU given in hexadecimal as the modem should print it (not checked).
    int AddPdu(const std::string& hex, CellStatus status = CellStatus::Unread, int cell = 0);
    std::vector<Cell> Cells() const;
    int UsedCells() const;

    // Misbehaves with fault for the command lines that begin with command ("AT+CMGS=", "AT+CPIN?";
    // case-insensitive; empty or "AT": every line), for the next `times` of them, or with times 0 until the
    // terminal disconnects. TextMode takes no command.
    void Inject(Fault fault, const std::string& command = {}, int times = 0);
    void ClearFaults();

    // An unsolicited result code ("+CMTI: \"SM\",3"), framed as the modem frames one.
    void Unsolicited(const std::string& line);

    const std::vector<SentSms>& Sent() const { return sent_; }
    std::vector<SentSms> TakeSent();
    // Every command line received, as typed without its CR ("AT+CPIN?"), oldest first.
    const std::vector<std::string>& Commands() const { return commands_; }
    bool TextMode() const { return textMode_; }
    bool Echo() const { return echo_; }

    // Calls (ModemCalls.cpp): "ATD<number>" dials a data call, "ATD<number>;" a voice call, each with
    // the next queued result (Connect when none is queued); "ATA" answers a ringing call; "ATH" ends any
    // call; in data mode the terminal's bytes are the call's, until "+++" (no guard time needed) brings
    // back command mode with OK; "AT+CLIP=1" has every ring followed by "+CLIP:"; "AT+CHLD=2" puts a
    // voice call on hold and takes it back (with hold not supported: "+CME ERROR: 3").
    void QueueDialResult(DialResult result);
    // One ring: "RING" (and "+CLIP:" when asked for) for a call that is ringing or comes now; nothing
    // while another call is up.
    void Ring(const Caller& caller);
    // The far end hangs up: "NO CARRIER" for a call that is up; a ringing call stops ringing.
    void HangUpCall();
    // Bytes from the far end, to the terminal while a data call is up; false when none is.
    bool SendCallData(const std::string& bytes);
    std::string TakeCallData(); // what the terminal sent over data calls so far
    const std::vector<std::string>& Dialled() const { return dialled_; } // numbers as dialled, ';' too
    CallState GetCallState() const { return call_; }
    bool ClipEnabled() const { return clip_; }
    void SetHoldSupported(bool supported) { holdSupported_ = supported; }

private:
    enum class Input : uint8_t { Command, Pdu, Text, Swallow, Data, Dialling };
    struct Rule {
        Fault fault;
        std::string command; // upper case
        int remaining;       // 0: until the terminal disconnects
    };
    struct Reply {           // the outcome of one command
        std::string final;   // the error, when a command failed
        bool prompt = false; // "AT+CMGS=" accepted: "> " and the PDU or text follow
        std::string result;  // the final result code in place of OK (ATD, ATA)
        bool later = false;  // the final result comes later (a dialled call that rings)
        bool Fail(const std::string& text) {
            final = text;
            return false;
        }
    };

    void TakeByte(uint8_t c);
    void RunLine(const std::string& line);
    std::optional<Fault> TakeFault(const std::string& upper);
    bool RunCommand(const std::string& cmd, Reply* reply);
    bool Cpin(char op, const std::vector<std::string>& args, Reply* reply);
    bool Cpms(char op, const std::vector<std::string>& args, Reply* reply);
    bool Switch(char op, const std::vector<std::string>& args, const std::string& name, const char* rest,
                bool& on);
    bool Cmgf(char op, const std::vector<std::string>& args, Reply* reply);
    bool Cmgr(char op, const std::vector<std::string>& args, Reply* reply);
    bool Cmgl(char op, const std::vector<std::string>& args, Reply* reply);
    bool Cmgd(char op, const std::vector<std::string>& args, Reply* reply);
    bool Cmgs(char op, const std::vector<std::string>& args, Reply* reply);
    bool SimReady(Reply* reply) const;
    void ListCell(Cell& cell, bool withIndex, std::string* info) const;
    void FinishSend(bool cancel);
    Cell* FindCell(int index);
    int FreeCell(int cell) const;
    int Store(Cell cell, int index);
    void Respond(const std::string& text); // information text or a result code, framed
    const char* Eol() const { return cfg_.lfOnly ? "\n" : "\r\n"; }
    void Reshape(); // the reply to the line just run, as a fault of its shape or its time has it
    // Calls (ModemCalls.cpp).
    bool CallCommand(const std::string& upper, const std::string& cmd, Reply* reply, bool* known);
    bool Clip(char op, const std::vector<std::string>& args, Reply* reply);
    bool Chld(char op, const std::vector<std::string>& args, Reply* reply);
    void CallUp(bool voice, Reply* reply);
    void DataByte(char c);
    void AbortDial();
    void EndCalls(bool powerOn);

    GsmConfig cfg_;
    PinState powerOnPin_;
    PinState pin_;
    int pinTries_ = 3;
    bool echo_;
    bool textMode_ = false;
    std::vector<Cell> cells_; // by index, ascending
    std::vector<Rule> rules_;

    Input input_ = Input::Command;
    std::string line_; // command line being typed, from "AT"
    std::string body_; // PDU or text after the "> " prompt
    size_t sendLength_ = 0;
    std::string sendTo_;
    uint8_t textRef_ = 0;

    std::string out_;
    std::optional<Fault> reshape_; // of the reply to the line being run, which starts at out_[replyAt_]
    size_t replyAt_ = 0;
    std::string late_; // what LateReply or LateRest held back, sent before the next line's echo
    std::vector<SentSms> sent_;
    std::vector<std::string> commands_;

    CallState call_ = CallState::None;
    Caller ringing_;
    bool clip_ = false;
    bool holdSupported_ = true;
    int pluses_ = 0; // of "+++" in data mode
    std::deque<DialResult> dialResults_;
    std::vector<std::string> dialled_;
    std::string callData_;
};

} // namespace gsmsim
