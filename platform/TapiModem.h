// Stands in for the modem driver behind a telephony line of the lines file: the line's device is a
// modem, driven over its AT commands as its own driver would drive it.
//
//   placing a call  "ATD<number>" for a data call, "ATD<number>;" for a voice call;
//   taking one      "RING" (or "+CRING:") offers it and counts its rings, "+CLIP:" names its caller
//                   ("AT+CLIP=1" goes out when the modem starts listening), "ATA" answers it; a call
//                   that rings no more for RingGapMs is gone (the caller gave up);
//   results         "CONNECT [rate]" connects a data call, "OK" a voice call; "NO CARRIER", "BUSY",
//                   "NO ANSWER" and "NO DIALTONE" end a call with LINEDISCONNECTMODE_NORMAL, _BUSY,
//                   _NOANSWER and _NODIALTONE, "ERROR" (or no result within DialResultMs) with _UNAVAIL;
//   dropping        "ATH"; while a call carries data, "+++" first, after a second of silence; while it
//                   is being placed or answered, a character that aborts that first;
//   holding         "AT+CHLD=2" puts a voice call on hold and takes it back, where the modem answers OK.
//
// Echoed command lines and whatever else the modem says are passed over. Once a data call is connected
// the device is the port's: nothing is read or written here until the call is dropped, and the CONNECT
// line is read to its end and no further, so the call's first bytes are the port's; a device that
// hangs up or fails meanwhile ends the call (looked at each second). A pass-through
// call is the port's from the start, and its end sends nothing either.
//
// The device is opened exclusively, raw, with the line's configuration (as it is without one). Main
// thread only; what the modem does is told from the event loop. The waits for the modem run on
// platform/Clock; the silence before "+++" is real time, as the modem needs it (tests shorten it).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <QString>

#include "platform/Tapi.h"
#include "platform/TapiDevConfig.h"

class QSocketNotifier;
class QTimer;
class TTimer;

struct TModemCaller {
    std::string Number, Name; // as the modem gave them, bytes above 0x7F as '?'
    DWORD Flags = 0;          // LINECALLPARTYID_
    bool operator==(const TModemCaller&) const = default;
};

// One line the modem said.
struct TModemResult {
    enum TKind { Other, Ok, Error, Connect, NoCarrier, Busy, NoAnswer, NoDialtone, Ring, CallerId };
    TKind Kind = Other;
    DWORD Rate = 0; // of CONNECT, 0 when it names none
    TModemCaller Caller;
};
TModemResult ParseModemLine(std::string_view line);

inline constexpr int RingGapMs = 12000;
inline constexpr int DialResultMs = 120000;
inline constexpr int ModemAnswerMs = 5000;
// The silence before and after "+++" (1000 ms, what modems want); tests shorten it.
void SetModemEscapeGuardMs(int ms);

class TTapiModem {
public:
    struct TEvents {
        std::function<void()> Ring;                           // each ring
        std::function<void(const TModemCaller&)> Caller;      // the ringing call's caller, when it is told
        std::function<void(DWORD rate, bool data)> Connected; // the call is up
        std::function<void(DWORD mode)> Disconnected;         // the call ended by itself, LINEDISCONNECTMODE_
        std::function<void()> Gone;                           // the device failed while no call was up
    };

    TTapiModem(QString device, TEvents events);
    ~TTapiModem();
    TTapiModem(const TTapiModem&) = delete;
    TTapiModem& operator=(const TTapiModem&) = delete;

    bool IsOpen() const { return fd_ >= 0; }
    int Fd() const { return fd_; }
    // Opens the device if it is not open; 0 or LINEERR_NODEVICE, _RESOURCEUNAVAIL, _OPERATIONFAILED
    // (the reason on stderr). The line's name is for the report.
    LONG Open(const std::optional<TTapiDevConfig>& config, const std::string& lineName);
    void Close();
    // A call is up, or being placed, answered or dropped.
    bool InCall() const;

    // Waits for rings while no call is up.
    void Listen();
    // 0 once the command is out; LINEERR_INVALADDRESS for a number no modem dials.
    LONG Dial(const std::string& number, bool voice);
    LONG Answer();
    void PassThrough();
    // done() once the modem is back without a call (at once when there is none).
    void HangUp(std::function<void()> done);
    // On a voice call, up or held: done(true) when the modem answered OK, and the call changed sides.
    void SwapHold(std::function<void(bool ok)> done);

private:
    enum class TState {
        Closed,
        Idle,
        Listening,
        Ringing,
        Dialling,
        Answering,
        Voice,
        Held,
        Data,
        PassThrough,
        Aborting,  // a character went out to stop the dialling or answering
        Escaping,  // "+++" is on its way
        HangingUp, // "ATH" went out
        Holding,   // "AT+CHLD=2" went out
    };

    // Runs a handler of the notifier or a timer.
    void Handle(void (TTapiModem::*handler)());
    void SetState(TState state);
    bool Reading() const;
    bool Send(const std::string& text);
    void Wait(int ms);
    void ReadAvailable();
    void TakeLine(const TModemResult& result);
    void TimedOut();
    void Escape();
    void SendHangUp();
    void HungUp();
    void Lost();
    void Ended(DWORD mode);

    QString device_;
    TEvents events_;
    int fd_ = -1;
    TState state_ = TState::Closed;
    bool voice_ = false; // the call placed or taken is a voice call
    TState holdFrom_ = TState::Voice;
    bool escaped_ = false; // "+++" went out: its OK comes before the hang-up's
    int handling_ = 0;     // handlers of the notifier and the timers running
    std::string line_;     // the modem's line being read
    TModemCaller caller_;  // told for the ringing call
    std::function<void()> hungUp_;
    std::function<void(bool)> held_;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::unique_ptr<TTimer> wait_;  // the wait for the modem's answer
    std::unique_ptr<QTimer> guard_; // the silence around "+++"
};
