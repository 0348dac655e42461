// Inside the telephony stand-in (platform/Tapi.cpp): the provider's records of its lines, opens and
// calls, and what the provider and the modem glue of the lines file (platform/TapiModemLine.cpp) ask of
// each other. Nothing outside these two files includes it.
#pragma once

#include <deque>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QString>

#include "platform/Messages.h"
#include "platform/Tapi.h"
#include "platform/TapiDevConfig.h"
#include "platform/TapiModem.h"
#include "platform/Timer.h"

namespace tapi_provider {

using TLineSpec = TTapiTestBackEnd::TLine;
using TDialResult = TTapiTestBackEnd::TDialResult;
using TCaller = TTapiTestBackEnd::TCaller;

struct TLineRecord {
    TLineSpec Spec;
    bool Dials = false;                // a back-end line, which places dialled calls by script
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

// The provider's, in platform/Tapi.cpp.
TProvider& Tapi();
TLineRecord& LineOf(DWORD device);
TCall* FindCall(HCALL call);
TOpen* FindOpen(HLINE line);
void Queue(const TEvent& event);
void ToLine(HLINE line, DWORD message, DWORD_PTR param1, DWORD_PTR param2 = 0, DWORD_PTR param3 = 0);
void ToCall(HCALL call, DWORD message, DWORD_PTR param1, DWORD_PTR param2 = 0, DWORD_PTR param3 = 0);
void ToApp(HLINEAPP app, DWORD message, DWORD_PTR param1, DWORD_PTR param2 = 0, DWORD_PTR param3 = 0);
void SetCallState(HCALL handle, DWORD state, DWORD mode = 0, DWORD privilege = 0);
TRequest NewRequest(const char* function);
void Reply(HLINE line, const TRequest& request, LONG result);
void FailQuietly(TCall& call);
LONG EnterCall(const char* function, HCALL handle, TCall** call);
bool CarriesData(const TCall& call);
LONG ShareModemDevice(const TLineRecord& line, TCall& call);
std::optional<TTapiDevConfig> DevConfigOf(const TLineRecord& line);
LONG Unavailable();
HCALL RingLine(DWORD device, const TCaller& caller);

// The modem glue's, in platform/TapiModemLine.cpp.
void AttachModem(DWORD device, const std::map<QString, TTapiDevConfig>& configs);
void UpdateModem(DWORD device);
void ModemCallGone(DWORD device, HCALL call);
LONG ModemDial(HCALL handle, TCall& call, const TRequest& request);
LONG ModemSwapHold(const char* function, HCALL hCall, DWORD from, DWORD to);
LONG StoreDevConfig(DWORD device, const TTapiDevConfig& config);

} // namespace tapi_provider
