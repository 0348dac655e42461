// What the telephony test back-end (TTapiTestBackEnd, platform/TapiTestBackEnd.h) may do to the
// provider (platform/TapiProvider.h), and all it may ask of it: the provider's own state stays its own.
// The script's side (platform/TapiScript.cpp) is built into the tests' library platform_tapi_test
// only; the program has none of it, and the provider looks up no script while none is installed.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "platform/Tapi.h"
#include "platform/TapiLineData.h"

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
