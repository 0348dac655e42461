// Inside the telephony stand-in: the provider's records of its lines, opens and calls, and what the
// provider (platform/TapiProvider.cpp), the line functions (TapiLineFunctions.cpp, TapiCallFunctions.cpp,
// Tapi.cpp), the modem glue of the lines file (TapiModemLine.cpp) and the script's side (TapiScript.cpp,
// the tests' only) ask of one another. Nothing else includes it.
#pragma once

#include <cstring>
#include <deque>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <QString>

#include "platform/Messages.h"
#include "platform/Tapi.h"
#include "platform/TapiDevConfig.h"
#include "platform/TapiLineData.h"
#include "platform/TapiModem.h"
#include "platform/Timer.h"

namespace tapi_provider {

using TLineSpec = TTapiLineSpec;
using TDialResult = TTapiDialResult;
using TCaller = TTapiCaller;

// The states a call here can take.
constexpr DWORD CallStatesReported = LINECALLSTATE_IDLE | LINECALLSTATE_OFFERING | LINECALLSTATE_ACCEPTED |
                                     LINECALLSTATE_DIALTONE | LINECALLSTATE_DIALING |
                                     LINECALLSTATE_PROCEEDING | LINECALLSTATE_BUSY | LINECALLSTATE_CONNECTED |
                                     LINECALLSTATE_DISCONNECTED;

struct TLineRecord {
    TLineSpec Spec;
    std::string DevConfig;             // the bytes of a TTapiDevConfig, or none
    std::unique_ptr<TTapiModem> Modem; // a line of the file: its modem places and takes the calls
    std::unique_ptr<TTimer> Relisten;  // ... looks for its device again after a loss
    HCALL ModemCall = 0;               // ... the call it serves
    std::deque<TDialResult> DialResults;
    std::vector<std::string> Dialled;
    std::vector<DWORD> DialledBearers;
    DWORD Rings = 0; // of the call ringing now
};

struct TOpen {
    HLINEAPP App;
    DWORD Device;
    DWORD_PTR Instance;
    DWORD Privileges;
    DWORD MediaModes;
    DWORD LineStates = 0;
    DWORD AddressStates = 0;
};

struct TCall {
    HLINE Line;
    DWORD Device;
    DWORD State = 0; // 0 while its lineMakeCall is not answered
    DWORD StateMode = 0;
    DWORD BearerMode = LINEBEARERMODE_VOICE;
    DWORD MediaMode = 0;
    DWORD CallParamFlags = 0;
    DWORD Origin = LINECALLORIGIN_OUTBOUND;
    DWORD Rate = 0; // of a connected call, when it has one of its own
    std::string Called;
    TCaller Caller;
    DWORD MonitorDigitModes = 0;
    DWORD MonitorMediaModes = 0;
    std::vector<LINEMONITORTONE> MonitoredTones;
    std::string GeneratedDigits;
    int GeneratedTones = 0;
    int Fd = -1; // the device, while the call carries data
};

// One callback to make. Line and Call, where not 0, must still exist when it is delivered.
struct TEvent {
    HLINEAPP App;
    HLINE Line;
    HCALL Call;
    DWORD Device;
    DWORD Message;
    DWORD_PTR Instance;
    DWORD_PTR Param1, Param2, Param3;
};

struct TReplyScript {
    bool Withheld = false;
    LONG Error = 0;
};

struct TProvider {
    bool Scripted = false;
    std::vector<TLineRecord> Lines; // indexed by device identifier
    std::map<HLINEAPP, LINECALLBACK> Apps;
    std::map<HLINE, TOpen> Opens;
    std::map<HCALL, TCall> Calls;
    std::deque<TEvent> Events;
    // Made once and kept: a callback may end every line application while its delivery runs.
    TMessageWindow* Window = nullptr;
    DWORD NextHandle = 0x10000; // one series for applications, lines and calls, so a mix-up fails
    DWORD NextRequest = 1;
    std::map<std::string, std::deque<LONG>> Failures;
    std::map<std::string, std::deque<TReplyScript>> Replies;
};

struct TRequest {
    LONG Id;
    TReplyScript Script;
    bool Proceeds() const { return !Script.Withheld && Script.Error == 0; }
};

// The provider's, in platform/TapiProvider.cpp.
TProvider& Tapi();
std::string WithZero(const std::string& text);
std::string Lower(const char* text);

// Delivery.
void Queue(const TEvent& event);
DWORD_PTR InstanceOf(HLINEAPP app);
void ToApp(HLINEAPP app, DWORD message, DWORD_PTR param1, DWORD_PTR param2 = 0, DWORD_PTR param3 = 0);
void ToLine(HLINE line, DWORD message, DWORD_PTR param1, DWORD_PTR param2 = 0, DWORD_PTR param3 = 0);
void ToCall(HCALL call, DWORD message, DWORD_PTR param1, DWORD_PTR param2 = 0, DWORD_PTR param3 = 0);

// Look-ups and checks.
TOpen* FindOpen(HLINE line);
TCall* FindCall(HCALL call);
TLineRecord& LineOf(DWORD device);
LONG CheckDevice(HLINEAPP app, DWORD device);
LONG CheckVersion(DWORD apiVersion, DWORD extVersion);
bool IsVoiceLine(DWORD device);
bool LineBusy(DWORD device);
LONG TakeFailure(const char* function);
LONG EnterLine(const char* function, HLINE handle, TOpen** open);
LONG EnterCall(const char* function, HCALL handle, TCall** call);

// A structure the caller hands in to be filled.
template <class T> LONG CheckBuffer(const T* structure, DWORD fixedSize = sizeof(T)) {
    if (!structure)
        return LINEERR_INVALPOINTER;
    return structure->dwTotalSize < fixedSize ? LINEERR_STRUCTURETOOSMALL : 0;
}

// Variable-size structures.
struct TVarField {
    DWORD* Size;
    DWORD* Offset;
    std::string Bytes;
};

template <class T> void ClearFixedPart(T* structure, DWORD fixedSize) {
    const DWORD total = structure->dwTotalSize;
    std::memset(static_cast<void*>(structure), 0, fixedSize);
    structure->dwTotalSize = total;
}

// Places the fields one after the other behind the fixed part when all of them fit, else none of
// them; the sizes are set either way. True when they were written.
template <class T> bool WriteVarPart(T* structure, DWORD fixedSize, const std::vector<TVarField>& fields) {
    DWORD needed = fixedSize;
    for (const TVarField& field : fields)
        needed += DWORD(field.Bytes.size());
    const bool fits = needed <= structure->dwTotalSize;
    DWORD at = fixedSize;
    for (const TVarField& field : fields) {
        const bool write = fits && !field.Bytes.empty();
        *field.Size = write ? DWORD(field.Bytes.size()) : 0;
        *field.Offset = write ? at : 0;
        if (write)
            std::memcpy(reinterpret_cast<char*>(structure) + at, field.Bytes.data(), field.Bytes.size());
        at += *field.Size;
    }
    structure->dwNeededSize = needed;
    structure->dwUsedSize = at;
    return fits;
}

// Lines.
DWORD AddLineRecord(const TLineSpec& spec, bool dials, const std::map<QString, TTapiDevConfig>& configs = {});
void ReadLines();

// Devices.
std::optional<TTapiDevConfig> DevConfigOf(const TLineRecord& line);
bool CarriesData(const TCall& call);
LONG ShareModemDevice(const TLineRecord& line, TCall& call);
LONG OpenDataPath(TCall& call);

// Ending things.
template <class Map, class Test> std::vector<DWORD> HandlesWhere(const Map& map, Test test) {
    std::vector<DWORD> handles;
    for (const auto& [handle, item] : map)
        if (test(item))
            handles.push_back(handle);
    return handles;
}
void EndCall(HCALL handle);
void EndOpen(HLINE line);
void EndApp(HLINEAPP app);
void Reset();

// Requests and call states.
TRequest NewRequest(const char* function);
void Reply(HLINE line, const TRequest& request, LONG result);
void SetCallState(HCALL handle, DWORD state, DWORD mode = 0, DWORD privilege = 0);
void FailQuietly(TCall& call);
void PlayDialResult(HCALL handle, TDialResult result);
TDialResult TakeDialResult(TLineRecord& line);
DWORD PartyFlags(const std::string& number, const std::string& name, DWORD flags);
std::string IfFlag(DWORD flags, DWORD flag, const std::string& text);
LONG Unavailable();
std::set<HWND>& TapiDeviceWindows();
bool TakesDigits(DWORD mode, char digit);

// Ringing, and the line states of the opens that asked for them.
void LineDevState(DWORD device, DWORD state, DWORD param2, DWORD param3);
HCALL RingLine(DWORD device, const TCaller& caller);
bool HasWindows();

// The modem glue's, in platform/TapiModemLine.cpp.
void AttachModem(DWORD device, const std::map<QString, TTapiDevConfig>& configs);
void UpdateModem(DWORD device);
void ModemCallGone(DWORD device, HCALL call);
LONG ModemDial(HCALL handle, TCall& call, const TRequest& request);
LONG ModemSwapHold(const char* function, HCALL hCall, DWORD from, DWORD to);
LONG StoreDevConfig(DWORD device, const TTapiDevConfig& config);

} // namespace tapi_provider
