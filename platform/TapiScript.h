// What the telephony test back-end (TTapiTestBackEnd, platform/TapiTestBackEnd.h) may do to the
// provider (platform/TapiProvider.h), and all it may ask of it: the provider's own state stays its own.
// The functions are the script's side (platform/TapiScript.cpp), built into the tests' library
// platform_tapi_test only; the program has none of them, and the provider looks up no script while
// none is installed. The plain data before them is the provider's too: a line of the lines file is a
// TTapiLineSpec as well.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include <QString>

#include "platform/Tapi.h"

struct TTapiLineSpec {
    std::string Name;    // Windows-1251
    QString Device = {}; // a COM name or a path, opened by data calls; empty: none
    DWORD MediaModes = LINEMEDIAMODE_DATAMODEM;
    DWORD LineFeatures = LINEFEATURE_MAKECALL;
    DWORD Rate = 0; // of connected calls
    // Its wave devices (platform/Wave), for "wave/in" and "wave/out"; none when not given.
    std::optional<DWORD> WaveIn = {}, WaveOut = {};
    LONG CapsError = 0; // what lineGetDevCaps of the line answers, when not 0
};

// How a call placed on a line goes on after its LINE_REPLY.
enum class TTapiDialResult {
    Connected,    // dialled: DIALTONE, DIALING, PROCEEDING, CONNECTED; pass-through: CONNECTED
    Busy,         // ... BUSY (LINEBUSYMODE_STATION)
    NoAnswer,     // ... DISCONNECTED (LINEDISCONNECTMODE_NOANSWER)
    Disconnected, // the line drops before connecting: DISCONNECTED (LINEDISCONNECTMODE_UNAVAIL)
};

struct TTapiCaller {
    std::string Number, Name;
    DWORD Flags = 0; // LINECALLPARTYID_; 0: ADDRESS and NAME for what is given, else UNKNOWN
    DWORD MediaMode = LINEMEDIAMODE_DATAMODEM;
};

namespace TapiScript {

// On: the provider's lines are the script's from now on, and the provider asks the script for
// failures and replies (and notes the calls placed); off: as the program runs. Either resets it.
void Install(bool on);

DWORD AddLine(const TTapiLineSpec& line);
void QueueDialResult(DWORD deviceId, TTapiDialResult result);
// The function's name is checked by the back-end.
void FailNext(const std::string& function, LONG error);
void ReplyNext(const std::string& function, bool withheld, LONG error);

HCALL Ring(DWORD deviceId, const TTapiCaller& caller);
void Disconnect(HCALL call, DWORD mode);
void Digit(HCALL call, char digit);
void Tone(HCALL call, std::size_t entry);
void SendLineDevState(DWORD deviceId, DWORD state, DWORD param2, DWORD param3);
void SendCallState(HCALL call, DWORD state, DWORD mode);
void CloseLine(DWORD deviceId);

std::vector<std::string> DialledNumbers(DWORD deviceId);
std::vector<DWORD> DialledBearerModes(DWORD deviceId);
std::string GeneratedDigits(HCALL call);
int GeneratedTones(HCALL call);
std::optional<DWORD> CallState(HCALL call);

} // namespace TapiScript
