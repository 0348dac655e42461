// The scripted telephony back-end of the tests, in the library platform_tapi_test: the program does
// not link it. It reaches the provider through platform/TapiScript.h only.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "platform/Tapi.h"
#include "platform/TapiLineData.h"

// The scripted back-end for tests. While one exists (one at a time), the provider's lines are the
// back-end's, not the file's; creating and destroying it resets the provider (every line application
// ended, every descriptor closed, nothing more delivered). Everything it makes happen is delivered
// like the rest: later, from the event loop.
//
//   TTapiTestBackEnd tapi;
//   const DWORD gsm = tapi.AddLine({"GSM", ptySlavePath});   // device 0
//   tapi.QueueDialResult(gsm, TTapiTestBackEnd::Busy);       // the next call placed ends busy
//   tapi.FailNext("lineGetID", LINEERR_OPERATIONFAILED);     // the next lineGetID fails at once
//   tapi.FailNextReply("lineMakeCall", LINEERR_CALLUNAVAIL); // ... its next request is refused later
//   tapi.WithholdNextReply("lineDrop");                      // ... its next request never completes
//   const HCALL call = tapi.Ring(gsm, {"+79001234567", "Office"});
//   tapi.AddLine({.Name = "Voice", .MediaModes = LINEMEDIAMODE_AUTOMATEDVOICE, .WaveIn = 0, .WaveOut = 0});
class TTapiTestBackEnd {
public:
    using TLine = TTapiLineSpec;
    using TDialResult = TTapiDialResult;
    using enum TTapiDialResult;
    using TCaller = TTapiCaller;

    TTapiTestBackEnd();
    ~TTapiTestBackEnd();
    TTapiTestBackEnd(const TTapiTestBackEnd&) = delete;
    TTapiTestBackEnd& operator=(const TTapiTestBackEnd&) = delete;

    // Returns the device identifier; every registered line application gets LINE_CREATE.
    DWORD AddLine(const TLine& line);

    // Each queued result serves one call placed on the line; with none queued a call connects.
    void QueueDialResult(DWORD deviceId, TDialResult result);
    // The next call of the named function returns the error at once, before anything else.
    void FailNext(const std::string& function, LONG error);
    // The next request of the named asynchronous function is answered with the error and has no
    // effect (a call whose lineMakeCall is refused stays idle).
    void FailNextReply(const std::string& function, LONG error);
    // The next request of the named asynchronous function is never answered and has no effect.
    void WithholdNextReply(const std::string& function);

    // One ring on the line. The first ring of a call offers it to the first line opened with owner
    // privilege for its media mode (LINE_CALLSTATE OFFERING, then LINE_CALLINFO with
    // LINECALLINFOSTATE_CALLERID); every ring sends LINE_LINEDEVSTATE RINGING (ring mode 1, the ring
    // count from 0) to the opens of the line that asked for it. Returns the offered call, 0 when no
    // line was open to take it.
    HCALL Ring(DWORD deviceId, const TCaller& caller);
    HCALL Ring(DWORD deviceId) { return Ring(deviceId, TCaller{}); }
    // The far end hangs up: LINE_CALLSTATE DISCONNECTED with the mode.
    void Disconnect(HCALL call, DWORD mode = LINEDISCONNECTMODE_NORMAL);
    // A DTMF digit heard on the call: LINE_MONITORDIGITS when the call monitors DTMF.
    void Digit(HCALL call, char digit);
    // The tone of entry `entry` of the call's lineMonitorTones list heard on the call: LINE_MONITORTONE
    // with the entry's dwAppSpecific; nothing when the list has no such entry.
    void Tone(HCALL call, std::size_t entry);
    // LINE_LINEDEVSTATE to every open of the line that asked for the state; LINEDEVSTATE_REINIT goes
    // to every line application instead (device 0, the instance of its first open line).
    void SendLineDevState(DWORD deviceId, DWORD state, DWORD param2 = 0, DWORD param3 = 0);
    // LINE_CALLSTATE with the state, whatever the call's was (a provider that tells a state twice).
    void SendCallState(HCALL call, DWORD state, DWORD mode = 0);
    // The provider closes the line: every open of it is gone and gets LINE_CLOSE.
    void CloseLine(DWORD deviceId);

    // What the line applications did.
    std::vector<std::string> DialledNumbers(DWORD deviceId) const;
    std::vector<DWORD> DialledBearerModes(DWORD deviceId) const; // of the same calls
    std::string GeneratedDigits(HCALL call) const;
    int GeneratedTones(HCALL call) const;
    std::optional<DWORD> CallState(HCALL call) const; // none once the call is freed
};
