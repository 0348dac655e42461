// The provider's side of the script interface (platform/TapiScript.h), built into the tests' library
// only.
#include "platform/TapiScript.h"

#include "platform/Clock.h"
#include "platform/TapiProvider.h"

using namespace tapi_provider;

// ---- What a test scripts (platform/TapiScript.h)

namespace TapiScript {

void Install(bool on) {
    Reset();
    Tapi().Scripted = on;
}

DWORD AddLine(const TLineSpec& line) {
    return AddLineRecord(line, true);
}

void QueueDialResult(DWORD deviceId, TDialResult result) {
    LineOf(deviceId).DialResults.push_back(result);
}

void FailNext(const std::string& function, LONG error) {
    Tapi().Failures[function].push_back(error);
}

void ReplyNext(const std::string& function, bool withheld, LONG error) {
    Tapi().Replies[function].push_back({withheld, error});
}

HCALL Ring(DWORD deviceId, const TCaller& caller) {
    return RingLine(deviceId, caller);
}

void Disconnect(HCALL call, DWORD mode) {
    const TCall* found = FindCall(call);
    if (found && found->State != LINECALLSTATE_IDLE && found->State != LINECALLSTATE_DISCONNECTED)
        SetCallState(call, LINECALLSTATE_DISCONNECTED, mode);
}

void Digit(HCALL call, char digit) {
    const TCall* found = FindCall(call);
    if (found && (found->MonitorDigitModes & LINEDIGITMODE_DTMF))
        ToCall(call, LINE_MONITORDIGITS, static_cast<unsigned char>(digit), LINEDIGITMODE_DTMF,
               timeGetTime());
}

void Tone(HCALL call, std::size_t entry) {
    const TCall* found = FindCall(call);
    if (found && entry < found->MonitoredTones.size())
        ToCall(call, LINE_MONITORTONE, found->MonitoredTones[entry].dwAppSpecific, 0, timeGetTime());
}

void SendLineDevState(DWORD deviceId, DWORD state, DWORD param2, DWORD param3) {
    TProvider& p = Tapi();
    if (state == LINEDEVSTATE_REINIT) {
        for (const auto& [app, callback] : p.Apps)
            Queue({app, 0, 0, 0, LINE_LINEDEVSTATE, InstanceOf(app), state, param2, param3});
        return;
    }
    LineDevState(deviceId, state, param2, param3);
}

void SendCallState(HCALL call, DWORD state, DWORD mode) {
    if (FindCall(call))
        SetCallState(call, state, mode);
}

void CloseLine(DWORD deviceId) {
    for (HLINE line : HandlesWhere(Tapi().Opens, [&](const TOpen& o) { return o.Device == deviceId; })) {
        const TOpen open = Tapi().Opens.at(line);
        EndOpen(line);
        Queue({open.App, 0, 0, line, LINE_CLOSE, open.Instance, 0, 0, 0});
    }
}

std::vector<std::string> DialledNumbers(DWORD deviceId) {
    return LineOf(deviceId).Dialled;
}

std::vector<DWORD> DialledBearerModes(DWORD deviceId) {
    return LineOf(deviceId).DialledBearers;
}

std::string GeneratedDigits(HCALL call) {
    const TCall* found = FindCall(call);
    return found ? found->GeneratedDigits : std::string();
}

int GeneratedTones(HCALL call) {
    const TCall* found = FindCall(call);
    return found ? found->GeneratedTones : 0;
}

std::optional<DWORD> CallState(HCALL call) {
    const TCall* found = FindCall(call);
    return found ? std::optional<DWORD>(found->State) : std::nullopt;
}

} // namespace TapiScript
