// GSM modem simulator: a GSM modem on a pseudo-terminal pair, for end-to-end tests of the router's GSM
// modem window. The simulator keeps the master side; the slave side is the modem's serial port, made raw
// and published in the COM folder (<common application-data folder>/com/COMn, a symlink to the slave),
// where the router finds a user's real modem. It answers the AT dialogue of the router's cycle, holds SMS
// in numbered cells, records every SMS sent to it, and misbehaves on request.
//
// Typical use in a test (XDG_DATA_HOME pointing at the test's temporary folder):
//
//     gsmsim::GsmConfig cfg;
//     cfg.pinState = gsmsim::PinState::SimPin;          // the SIM asks for cfg.pin ("1234")
//     gsmsim::GsmSim modem(cfg, "COM5");                // .../com/COM5 -> /dev/pts/N
//     ASSERT_TRUE(modem.Ok()) << modem.LastError();
//     const uint8_t version[4] = {1, 5, 0, 0};
//     modem.AddSms("+71230000000",                      // cell 1, as an SMS-DELIVER: a radio modem's
//                  gsmsim::ModemAnswerText(0x0102, key,  // answer (ModemSms.h)
//                                          gsmsim::HwInfoAnswerItem(version, 0x3)));
//     modem.Start();                                    // serves the pty on its own thread
//     ... the router opens COM5 and runs its cycle ...
//     modem.Commands()                                  // "AT", "AT+CPIN?", "AT+CPIN=\"1234\"", ...
//     modem.Sent()[0].destination, .text                // the SUBMIT the router sent, decoded;
//     gsmsim::OpenRequestText(text, key, &id, &plain)   // its text opened as the radio modem would
//     modem.Inject(gsmsim::Fault::Silent);              // no answer until the router closes the port
//     modem.Settled()                                   // "" once the next line went unanswered
//     modem.PullCable(); ... modem.PlugIn();            // the device vanishes, then comes back
//
// Instead of Start(), a single-threaded test calls Poll(ms) from its own loop (never both). Every other
// member may be called from any thread; each takes the simulator's lock. The program gsm-sim wraps one
// simulator: it prints the slave's path (and the COM entry's with --com) and serves it until SIGTERM.
//
// The modem (GsmModem.h has the details):
// - Command lines begin with "AT" (noise before it is ignored) and end with CR; echo is on (ATE1) at
//   power-on; replies are framed "\r\n<text>\r\n" ("\n<text>\n" with config.lfOnly) and end in OK,
//   ERROR or "+CMS ERROR: <n>".
// - AT, ATE0/ATE1, +CPIN? / +CPIN=<pin> / +CPIN=<puk>,<new pin>, +CPMS? / +CPMS="SM"[,...], +CMGF? /
//   +CMGF=0|1, +CMGR=<i>, +CMGL[=<stat>], +CMGD=<i>[,<flag>], +CMGS=<length> (PDU mode) or
//   +CMGS="<number>" (text mode) with the "> " prompt, the PDU or text, Ctrl-Z to send, ESC to cancel
//   ("+CMGS: <ref>" and OK; "+CMS ERROR: 304" for a PDU that is not a sound SMS-SUBMIT of that length).
//   The prompt is not waited for: a command, PDU and Ctrl-Z written at once are served in order. Any
//   other command is answered ERROR. SMS commands need the SIM unlocked (else +CMS ERROR 310, 311 or
//   316); "+CPIN: SIM PUK" is answered with OK after it, as a modem does.
// - One storage, "SM", of config.capacity cells (30). "AT+CMGR=" of an empty cell answers OK (or +CMS
//   ERROR 321 with emptyReadIsError); a cell out of range gives +CMS ERROR 321. Reading marks a cell read.
//   With blankLineBeforePdu a blank line comes between "+CMGR:" and the PDU. Cells may be filled out of
//   order (AddSms with a cell), and with any PDU (AddPdu), such as a delivery report (EncodeStatusReport).
// - Faults (Inject): Silent, Error, LongReply, CutReply (the reply stops halfway, no final result),
//   UnsolicitedInReply (a "+CMTI:" line inside the reply), LateReply and LateRest (the reply, or the rest
//   of one cut halfway, held back until the next command line) for the command lines that begin with a
//   given text, for a number of lines or until the terminal closes the port (one injected while nobody
//   holds the port waits for the next terminal); TextMode puts the modem in text mode and refuses PDU mode.
//   PullCable() closes the master: the router's descriptor fails (POLLHUP, EIO) and the slave device vanishes
//   with its COM entry (a device's node goes with it). PlugIn() makes a new pair behind the same COM entry
//   again, with the modem freshly
//   powered (the SIM's PIN state as at power-on, echo on, PDU mode; the cells stay).
// - A terminal that closes the port ends every fault and drops what it had not read, so the next
//   connection meets a sound modem. A close and reopen between two polls is not noticed.
// - Calls: "ATD<number>[;]" dials with the next queued result (QueueDialResult; connects when none is
//   queued: "CONNECT 9600" and data mode, or OK for a voice call), Ring() rings with the caller's
//   "+CLIP:" line after "AT+CLIP=1", "ATA" answers, "+++" leaves data mode, "ATH" hangs up,
//   "AT+CHLD=2" holds a voice call. The terminal's DTR goes with its close, and so does the call.
//
// No time-outs: the simulator answers as soon as a command line is complete (a late reply as soon as the
// next one is) and never waits on a clock, so a router test's fake clock drives the router's time-outs
// alone. Settled() tells such a test when no answer is coming, so that it need not wait in real time to
// find out.
#pragma once

#include "tools/gsm-sim/GsmModem.h"
#include "tools/gsm-sim/ModemSms.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace gsmsim {

class GsmSim {
public:
    // Makes the pty pair; with a COM name ("COM5") also publishes the slave in the COM folder.
    explicit GsmSim(const GsmConfig& config = {}, const std::string& comName = {});
    // Stops the thread, closes the master and removes the COM entry when it still points to this modem.
    ~GsmSim();
    GsmSim(const GsmSim&) = delete;
    GsmSim& operator=(const GsmSim&) = delete;

    bool Ok() const;
    std::string LastError() const;
    std::string SlavePath() const; // "/dev/pts/N"; empty while the cable is pulled
    std::string ComPath() const;   // the COM folder entry; empty without a COM name

    // Serves the pty on a thread of its own until Stop() or destruction.
    void Start();
    void Stop();
    // One round for a caller's loop: waits at most timeoutMs (-1: no limit) for the terminal, reads what
    // it wrote, answers, writes what the terminal can take.
    void Poll(int timeoutMs);

    void SetPinState(PinState state);
    PinState GetPinState() const;
    void SetPin(const std::string& pin);

    // An incoming SMS from sender with a UTF-8 text in the GSM 7-bit alphabet; see GsmModem::AddSms.
    int AddSms(const std::string& sender, const std::string& text, int cell = 0);
    int AddSms(const DeliverSpec& spec, int cell = 0);
    int AddPdu(const std::string& hex, CellStatus status = CellStatus::Unread, int cell = 0);
    std::vector<Cell> Cells() const;

    std::vector<SentSms> Sent() const;
    std::vector<SentSms> TakeSent();
    std::vector<std::string> Commands() const;

    void Inject(Fault fault, const std::string& command = {}, int times = 0);
    void ClearFaults();
    // An unsolicited result code, sent at once while a terminal holds the port (dropped otherwise).
    void Unsolicited(const std::string& line);

    void PullCable();
    bool PlugIn(); // false when no new pair could be made (LastError tells why)

    bool Connected() const;       // a terminal holds the port
    uint32_t Connections() const; // terminals that opened the port so far
    // Once the modem has settled: it has read all the terminal wrote, run it and written all it made of
    // it (a reply it holds back is not made yet). What it sent since it began on the last command line
    // then: that line's echo and reply, and anything unsolicited since. No value while bytes from the
    // terminal wait unread, output waits for room in the pty, or no terminal holds the port.
    std::optional<std::string> Settled() const;

    // Calls (GsmModem.h has the details). Ring, HangUpCall and SendCallData act at once while a
    // terminal holds the port and do nothing otherwise.
    void QueueDialResult(DialResult result);
    void Ring(const Caller& caller);
    void HangUpCall();
    bool SendCallData(const std::string& bytes);
    std::string TakeCallData();
    std::vector<std::string> Dialled() const;
    CallState GetCallState() const;
    bool ClipEnabled() const;
    void SetHoldSupported(bool supported);
    // The speed the terminal set on the port (0 when it cannot be read).
    uint32_t LineSpeed() const;

private:
    bool OpenPair();
    bool Publish();
    void Unpublish() const;
    void Service();
    void FlushSlaveInput();
    void Wake();
    // Runs the action under the lock while a terminal holds the port, then wakes the service.
    template <class Action> bool ToTerminal(Action action);

    mutable std::mutex mutex_;
    GsmModem modem_;
    std::string comPath_;
    std::string linkedTo_; // the slave the COM entry was last pointed at
    std::string slave_;
    std::string error_;
    int master_ = -1;
    int wake_ = -1;
    uint64_t generation_ = 0; // counts master descriptors, so a poll on a closed one is not acted on
    bool present_ = false;
    uint32_t connections_ = 0;
    std::string sentSinceLine_; // to this terminal, since the last command line began
    std::atomic<bool> running_{false};
    std::thread thread_;
};

} // namespace gsmsim
