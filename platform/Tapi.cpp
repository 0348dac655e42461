#include "platform/Tapi.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <set>
#include <stdexcept>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include "platform/Clock.h"
#include "platform/ComFolder.h"
#include "platform/Cp1251.h"
#include "platform/Files.h"
#include "platform/Shell.h"
#include "platform/TapiConfigDialog.h"
#include "platform/TapiDevConfig.h"
#include "platform/TapiLines.h"
#include "platform/TapiModem.h"
#include "platform/TapiProvider.h"
#include "platform/TapiScript.h"
#include "platform/Timer.h"
#include "platform/Warning.h"

namespace tapi_provider {

// The states a call here can take.
constexpr DWORD CallStatesReported = LINECALLSTATE_IDLE | LINECALLSTATE_OFFERING | LINECALLSTATE_ACCEPTED |
                                     LINECALLSTATE_DIALTONE | LINECALLSTATE_DIALING |
                                     LINECALLSTATE_PROCEEDING | LINECALLSTATE_BUSY | LINECALLSTATE_CONNECTED |
                                     LINECALLSTATE_DISCONNECTED;

TProvider& Tapi() {
    static auto* const provider = new TProvider;
    return *provider;
}

std::string WithZero(const std::string& text) {
    return std::string(text.c_str(), text.size() + 1);
}

std::string Lower(const char* text) {
    return QString::fromLatin1(text).toLower().toStdString();
}

// ---- Delivery

void DeliverNext() {
    TProvider& p = Tapi();
    if (p.Events.empty())
        return;
    const TEvent e = p.Events.front();
    p.Events.pop_front();
    const auto app = p.Apps.find(e.App);
    if (app == p.Apps.end() || (e.Line && !p.Opens.count(e.Line)) || (e.Call && !p.Calls.count(e.Call)))
        return;
    app->second(e.Device, e.Message, e.Instance, e.Param1, e.Param2, e.Param3);
}

void Queue(const TEvent& event) {
    TProvider& p = Tapi();
    if (!p.Window)
        p.Window = new TMessageWindow([](unsigned, WPARAM, LPARAM) {
            DeliverNext();
            return LRESULT(0);
        });
    p.Events.push_back(event);
    PostMessage(p.Window->Handle(), WM_USER, 0, 0);
}

// The instance a line application is told by: that of its first open line (its component's), 0 while
// it has none.
DWORD_PTR InstanceOf(HLINEAPP app) {
    for (const auto& [handle, open] : Tapi().Opens)
        if (open.App == app)
            return open.Instance;
    return 0;
}

void ToApp(HLINEAPP app, DWORD message, DWORD_PTR param1, DWORD_PTR param2, DWORD_PTR param3) {
    Queue({app, 0, 0, 0, message, 0, param1, param2, param3});
}

void ToLine(HLINE line, DWORD message, DWORD_PTR param1, DWORD_PTR param2, DWORD_PTR param3) {
    const TOpen& open = Tapi().Opens.at(line);
    Queue({open.App, line, 0, line, message, open.Instance, param1, param2, param3});
}

void ToCall(HCALL call, DWORD message, DWORD_PTR param1, DWORD_PTR param2, DWORD_PTR param3) {
    const HLINE line = Tapi().Calls.at(call).Line;
    const TOpen& open = Tapi().Opens.at(line);
    Queue({open.App, line, call, call, message, open.Instance, param1, param2, param3});
}

// ---- Look-ups and checks

template <class Map> typename Map::mapped_type* Find(Map& map, DWORD handle) {
    const auto found = map.find(handle);
    return found == map.end() ? nullptr : &found->second;
}

TOpen* FindOpen(HLINE line) {
    return Find(Tapi().Opens, line);
}

TCall* FindCall(HCALL call) {
    return Find(Tapi().Calls, call);
}

TLineRecord& LineOf(DWORD device) {
    return Tapi().Lines.at(device);
}

LONG CheckDevice(HLINEAPP app, DWORD device) {
    if (!Tapi().Apps.count(app))
        return LINEERR_INVALAPPHANDLE;
    if (device >= Tapi().Lines.size())
        return LINEERR_BADDEVICEID;
    return 0;
}

LONG CheckVersion(DWORD apiVersion, DWORD extVersion) {
    if (apiVersion != TapiApiVersion14)
        return LINEERR_INCOMPATIBLEAPIVERSION;
    if (extVersion != 0)
        return LINEERR_INCOMPATIBLEEXTVERSION;
    return 0;
}

bool IsVoiceLine(DWORD device) {
    return LineOf(device).Spec.MediaModes & LINEMEDIAMODE_AUTOMATEDVOICE;
}

bool LineBusy(DWORD device) {
    for (const auto& [handle, call] : Tapi().Calls)
        if (call.Device == device && call.State != LINECALLSTATE_IDLE)
            return true;
    return false;
}

// The next scripted answer of the function, if the test back-end queued one.
template <class T>
std::optional<T> TakeScripted(std::map<std::string, std::deque<T>>& scripts, const char* function) {
    const auto found = scripts.find(function);
    if (found == scripts.end() || found->second.empty())
        return std::nullopt;
    const T next = found->second.front();
    found->second.pop_front();
    return next;
}

// Without a test back-end nothing is scripted, and nothing is looked up.
LONG TakeFailure(const char* function) {
    return Tapi().Scripted ? TakeScripted(Tapi().Failures, function).value_or(0) : 0;
}

// The start of a function on a line or a call: its scripted failure, else the handle's check.
LONG EnterLine(const char* function, HLINE handle, TOpen** open) {
    if (const LONG failure = TakeFailure(function))
        return failure;
    *open = FindOpen(handle);
    return *open ? 0 : LINEERR_INVALLINEHANDLE;
}

LONG EnterCall(const char* function, HCALL handle, TCall** call) {
    if (const LONG failure = TakeFailure(function))
        return failure;
    *call = FindCall(handle);
    return *call ? 0 : LINEERR_INVALCALLHANDLE;
}

// A structure the caller hands in to be filled.
template <class T> LONG CheckBuffer(const T* structure, DWORD fixedSize = sizeof(T)) {
    if (!structure)
        return LINEERR_INVALPOINTER;
    return structure->dwTotalSize < fixedSize ? LINEERR_STRUCTURETOOSMALL : 0;
}

// ---- Variable-size structures

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

// ---- Lines

// A line of the file is a modem, for data and voice calls, with the configuration it was given before.
DWORD AddLineRecord(const TLineSpec& spec, bool dials,
                    const std::map<QString, TTapiDevConfig>& configs = {}) {
    TProvider& p = Tapi();
    TLineRecord& line = p.Lines.emplace_back();
    line.Spec = spec;
    line.Dials = dials;
    const DWORD device = DWORD(p.Lines.size() - 1);
    if (!dials)
        AttachModem(device, configs);
    for (const auto& [app, callback] : p.Apps)
        ToApp(app, LINE_CREATE, device);
    return device;
}

// Device identifiers stay as they are while any line application is registered.
void ReadLines() {
    TProvider& p = Tapi();
    if (p.Scripted)
        return;
    if (p.Apps.empty())
        p.Lines.clear();
    std::set<std::string> known;
    for (const TLineRecord& line : p.Lines)
        known.insert(line.Spec.Name);
    const std::map<QString, TTapiDevConfig> configs = ReadTapiDevConfigs();
    for (const TLineSpec& line : ReadTapiLinesFile())
        if (!known.count(line.Name))
            AddLineRecord(line, false, configs);
}

// ---- Devices

// The configuration the line's device opens with.
std::optional<TTapiDevConfig> DevConfigOf(const TLineRecord& line) {
    return TapiDevConfigOf(line.DevConfig.data(), line.DevConfig.size());
}

// A back-end line's device, blocking as its callers use it.
LONG OpenDevice(const TLineRecord& line, int* fd) {
    if (const LONG error =
            OpenTapiDevice(TapiLineDevicePath(line.Spec.Device), DevConfigOf(line), line.Spec.Name, fd))
        return error;
    ::fcntl(*fd, F_SETFL, ::fcntl(*fd, F_GETFL) & ~O_NONBLOCK);
    return 0;
}

void CloseDevice(TCall& call) {
    if (call.Fd >= 0)
        ::close(call.Fd);
    call.Fd = -1;
}

bool CarriesData(const TCall& call) {
    return call.BearerMode == LINEBEARERMODE_PASSTHROUGH || (call.MediaMode & LINEMEDIAMODE_DATAMODEM);
}

// A modem's call gets its own duplicate of the modem's device, as lineGetID hands out more of.
LONG ShareModemDevice(const TLineRecord& line, TCall& call) {
    call.Fd = ::fcntl(line.Modem->Fd(), F_DUPFD_CLOEXEC, 0);
    return call.Fd < 0 ? LINEERR_RESOURCEUNAVAIL : 0;
}

// A pass-through call on a modem line is the port's from the start: the modem sends nothing.
LONG ModemPassThrough(TLineRecord& line, TCall& call) {
    if (const LONG error = line.Modem->Open(DevConfigOf(line), line.Spec.Name))
        return error;
    if (const LONG error = ShareModemDevice(line, call))
        return error;
    line.Modem->PassThrough();
    return 0;
}

// A pass-through call needs the device; a data call of a back-end line without one goes on without.
LONG OpenDataPath(TCall& call) {
    TLineRecord& line = LineOf(call.Device);
    if (!CarriesData(call) || call.Fd >= 0)
        return 0;
    if (line.Spec.Device.isEmpty())
        return call.BearerMode == LINEBEARERMODE_PASSTHROUGH ? LINEERR_NODEVICE : 0;
    if (line.Modem)
        return ModemPassThrough(line, call);
    return OpenDevice(line, &call.Fd);
}

// ---- Ending things

template <class Map, class Test> std::vector<DWORD> HandlesWhere(const Map& map, Test test) {
    std::vector<DWORD> handles;
    for (const auto& [handle, item] : map)
        if (test(item))
            handles.push_back(handle);
    return handles;
}

void ModemCallGone(DWORD device, HCALL call);
void UpdateModem(DWORD device);

void EndCall(HCALL handle) {
    TCall& call = Tapi().Calls.at(handle);
    const DWORD device = call.Device;
    CloseDevice(call);
    Tapi().Calls.erase(handle);
    ModemCallGone(device, handle);
}

// The open goes first, so that its modem does not listen for it while its calls end.
void EndOpen(HLINE line) {
    const DWORD device = Tapi().Opens.at(line).Device;
    const std::vector<DWORD> calls =
        HandlesWhere(Tapi().Calls, [&](const TCall& c) { return c.Line == line; });
    Tapi().Opens.erase(line);
    for (HCALL call : calls)
        EndCall(call);
    UpdateModem(device);
}

void EndApp(HLINEAPP app) {
    for (HLINE line : HandlesWhere(Tapi().Opens, [&](const TOpen& o) { return o.App == app; }))
        EndOpen(line);
    Tapi().Apps.erase(app);
}

void Reset() {
    TProvider& p = Tapi();
    while (!p.Apps.empty())
        EndApp(p.Apps.begin()->first);
    p.Lines.clear();
    p.Events.clear();
    p.Failures.clear();
    p.Replies.clear();
}

// ---- Requests and call states

TRequest NewRequest(const char* function) {
    TProvider& p = Tapi();
    const TRequest request{LONG(p.NextRequest),
                           p.Scripted ? TakeScripted(p.Replies, function).value_or(TReplyScript{})
                                      : TReplyScript{}};
    p.NextRequest = p.NextRequest == 0x7FFFFFFF ? 1 : p.NextRequest + 1;
    return request;
}

// The LINE_REPLY of a request made on the line: the scripted error, else the result.
void Reply(HLINE line, const TRequest& request, LONG result) {
    const TOpen* open = FindOpen(line);
    if (request.Script.Withheld || !open)
        return;
    const LONG answer = request.Script.Error ? request.Script.Error : result;
    Queue({open->App, line, 0, 0, LINE_REPLY, open->Instance, DWORD_PTR(request.Id), DWORD_PTR(DWORD(answer)),
           0});
}

void SetCallState(HCALL handle, DWORD state, DWORD mode, DWORD privilege) {
    TCall& call = Tapi().Calls.at(handle);
    call.State = state;
    call.StateMode = mode;
    if (state == LINECALLSTATE_IDLE)
        CloseDevice(call);
    ToCall(handle, LINE_CALLSTATE, state, mode, privilege);
}

// A call whose request failed is idle without telling anyone: nothing ever happened to it.
void FailQuietly(TCall& call) {
    call.State = LINECALLSTATE_IDLE;
    CloseDevice(call);
}

void PlayDialResult(HCALL handle, TDialResult result) {
    const bool dialled = Tapi().Calls.at(handle).BearerMode != LINEBEARERMODE_PASSTHROUGH;
    if (dialled) {
        SetCallState(handle, LINECALLSTATE_DIALTONE, LINEDIALTONEMODE_NORMAL);
        SetCallState(handle, LINECALLSTATE_DIALING);
        if (result != TTapiTestBackEnd::Disconnected)
            SetCallState(handle, LINECALLSTATE_PROCEEDING);
    }
    switch (result) {
    case TTapiTestBackEnd::Connected:
        SetCallState(handle, LINECALLSTATE_CONNECTED);
        break;
    case TTapiTestBackEnd::Busy:
        SetCallState(handle, LINECALLSTATE_BUSY, LINEBUSYMODE_STATION);
        break;
    case TTapiTestBackEnd::NoAnswer:
        SetCallState(handle, LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_NOANSWER);
        break;
    case TTapiTestBackEnd::Disconnected:
        SetCallState(handle, LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_UNAVAIL);
        break;
    }
}

TDialResult TakeDialResult(TLineRecord& line) {
    if (line.DialResults.empty())
        return TTapiTestBackEnd::Connected;
    const TDialResult result = line.DialResults.front();
    line.DialResults.pop_front();
    return result;
}

// Of a party of a call: the flags given, else what the number and the name tell.
DWORD PartyFlags(const std::string& number, const std::string& name, DWORD flags) {
    if (flags)
        return flags;
    flags = (number.empty() ? 0 : LINECALLPARTYID_ADDRESS) | (name.empty() ? 0 : LINECALLPARTYID_NAME);
    return flags ? flags : LINECALLPARTYID_UNKNOWN;
}

std::string IfFlag(DWORD flags, DWORD flag, const std::string& text) {
    return (flags & flag) && !text.empty() ? WithZero(text) : std::string();
}

LONG Unavailable() {
    return LINEERR_OPERATIONUNAVAIL;
}

std::set<HWND>& TapiDeviceWindows() {
    static std::set<HWND> windows;
    return windows;
}

bool TakesDigits(DWORD mode, char digit) {
    const char* allowed = mode == LINEDIGITMODE_PULSE ? "0123456789" : "0123456789ABCDabcd*#!,";
    return digit != 0 && std::strchr(allowed, digit) != nullptr;
}

// ---- Ringing, and the line states of the opens that asked for them

void LineDevState(DWORD device, DWORD state, DWORD param2, DWORD param3) {
    for (const auto& [handle, open] : Tapi().Opens)
        if (open.Device == device && (open.LineStates & state))
            ToLine(handle, LINE_LINEDEVSTATE, state, param2, param3);
}

// One ring. Its first offers the call to the first open with owner privilege for its media mode, with
// its caller when known; each sends RINGING with the ring count from 0. The ringing call, 0 when no
// open took it.
HCALL RingLine(DWORD device, const TCaller& caller) {
    TProvider& p = Tapi();
    TLineRecord& line = LineOf(device);
    HCALL ringing = 0;
    for (const auto& [handle, call] : p.Calls)
        if (call.Device == device &&
            (call.State == LINECALLSTATE_OFFERING || call.State == LINECALLSTATE_ACCEPTED))
            ringing = handle;
    if (!ringing) {
        line.Rings = 0;
        for (const auto& [handle, open] : p.Opens)
            if (open.Device == device && (open.Privileges & LINECALLPRIVILEGE_OWNER) &&
                (open.MediaModes & caller.MediaMode)) {
                ringing = p.NextHandle++;
                TCall& call = p.Calls[ringing];
                call.Line = handle;
                call.Device = device;
                call.MediaMode = caller.MediaMode;
                call.Origin = LINECALLORIGIN_EXTERNAL;
                call.Caller = caller;
                SetCallState(ringing, LINECALLSTATE_OFFERING, 0, LINECALLPRIVILEGE_OWNER);
                if (!caller.Number.empty() || !caller.Name.empty() || caller.Flags)
                    ToCall(ringing, LINE_CALLINFO, LINECALLINFOSTATE_CALLERID);
                break;
            }
    }
    LineDevState(device, LINEDEVSTATE_RINGING, 1, line.Rings++);
    return ringing;
}

// The dialogs need windows.
bool HasWindows() {
    return qobject_cast<QApplication*>(QCoreApplication::instance()) != nullptr;
}

} // namespace tapi_provider

using namespace tapi_provider;

// ---- Line applications

LONG lineInitialize(HLINEAPP* lphLineApp, HINSTANCE, LINECALLBACK lpfnCallback, const char*,
                    DWORD* lpdwNumDevs) {
    if (const LONG failure = TakeFailure("lineInitialize"))
        return failure;
    if (!lphLineApp || !lpfnCallback || !lpdwNumDevs)
        return LINEERR_INVALPOINTER;
    if (!QCoreApplication::instance())
        return LINEERR_OPERATIONFAILED; // nothing could be delivered
    ReadLines();
    TProvider& p = Tapi();
    *lphLineApp = p.NextHandle++;
    p.Apps[*lphLineApp] = lpfnCallback;
    *lpdwNumDevs = DWORD(p.Lines.size());
    return 0;
}

LONG lineShutdown(HLINEAPP hLineApp) {
    if (const LONG failure = TakeFailure("lineShutdown"))
        return failure;
    if (!Tapi().Apps.count(hLineApp))
        return LINEERR_INVALAPPHANDLE;
    EndApp(hLineApp);
    return 0;
}

LONG lineNegotiateAPIVersion(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPILowVersion,
                             DWORD dwAPIHighVersion, DWORD* lpdwAPIVersion, LINEEXTENSIONID* lpExtensionID) {
    if (const LONG failure = TakeFailure("lineNegotiateAPIVersion"))
        return failure;
    if (const LONG error = CheckDevice(hLineApp, dwDeviceID))
        return error;
    if (!lpdwAPIVersion || !lpExtensionID)
        return LINEERR_INVALPOINTER;
    if (dwAPILowVersion > TapiApiVersion14 || dwAPIHighVersion < TapiApiVersion14)
        return LINEERR_INCOMPATIBLEAPIVERSION;
    *lpdwAPIVersion = TapiApiVersion14;
    *lpExtensionID = {};
    return 0;
}

LONG lineGetDevCaps(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion, DWORD dwExtVersion,
                    LINEDEVCAPS* caps) {
    if (const LONG failure = TakeFailure("lineGetDevCaps"))
        return failure;
    if (const LONG error = CheckDevice(hLineApp, dwDeviceID))
        return error;
    if (const LONG error = CheckVersion(dwAPIVersion, dwExtVersion))
        return error;
    if (const LONG error = CheckBuffer(caps))
        return error;
    const TLineSpec& line = LineOf(dwDeviceID).Spec;
    if (line.CapsError)
        return line.CapsError;
    const DWORD digitModes = IsVoiceLine(dwDeviceID) ? LINEDIGITMODE_DTMF : 0;
    ClearFixedPart(caps, sizeof *caps);
    caps->dwPermanentLineID = dwDeviceID + 1;
    caps->dwStringFormat = STRINGFORMAT_ASCII;
    caps->dwAddressModes = LINEADDRESSMODE_ADDRESSID;
    caps->dwNumAddresses = 1;
    caps->dwBearerModes = LINEBEARERMODE_VOICE | LINEBEARERMODE_PASSTHROUGH;
    caps->dwMaxRate = line.Rate;
    caps->dwMediaModes = line.MediaModes;
    caps->dwGenerateDigitModes = digitModes;
    caps->dwMonitorDigitModes = digitModes;
    caps->dwMaxNumActiveCalls = 1;
    caps->dwRingModes = 1;
    caps->dwLineStates = LINEDEVSTATE_RINGING | LINEDEVSTATE_REINIT;
    caps->dwLineFeatures = line.LineFeatures;
    WriteVarPart(caps, sizeof *caps, {{&caps->dwLineNameSize, &caps->dwLineNameOffset, WithZero(line.Name)}});
    return 0;
}

LONG lineGetAddressCaps(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAddressID, DWORD dwAPIVersion,
                        DWORD dwExtVersion, LINEADDRESSCAPS* caps) {
    if (const LONG failure = TakeFailure("lineGetAddressCaps"))
        return failure;
    if (const LONG error = CheckDevice(hLineApp, dwDeviceID))
        return error;
    if (dwAddressID != 0)
        return LINEERR_INVALADDRESSID;
    if (const LONG error = CheckVersion(dwAPIVersion, dwExtVersion))
        return error;
    if (const LONG error = CheckBuffer(caps))
        return error;
    ClearFixedPart(caps, sizeof *caps);
    caps->dwLineDeviceID = dwDeviceID;
    caps->dwAddressSharing = LINEADDRESSSHARING_PRIVATE;
    caps->dwCallStates = CallStatesReported;
    caps->dwMaxNumActiveCalls = 1;
    WriteVarPart(caps, sizeof *caps, {});
    return 0;
}

namespace {

// The modem settings of a line, kept here as the bytes the application stored.
LONG CheckDevConfig(const char* function, DWORD device, const char* deviceClass) {
    if (const LONG failure = TakeFailure(function))
        return failure;
    if (Tapi().Apps.empty())
        return LINEERR_UNINITIALIZED;
    if (device >= Tapi().Lines.size())
        return LINEERR_BADDEVICEID;
    if (!deviceClass)
        return LINEERR_INVALPOINTER;
    return Lower(deviceClass) == "comm/datamodem" ? 0 : LINEERR_INVALDEVICECLASS;
}

} // namespace

LONG lineGetDevConfig(DWORD dwDeviceID, VARSTRING* out, const char* lpszDeviceClass) {
    if (const LONG error = CheckDevConfig("lineGetDevConfig", dwDeviceID, lpszDeviceClass))
        return error;
    if (const LONG error = CheckBuffer(out))
        return error;
    ClearFixedPart(out, sizeof *out);
    out->dwStringFormat = STRINGFORMAT_BINARY;
    WriteVarPart(out, sizeof *out,
                 {{&out->dwStringSize, &out->dwStringOffset, LineOf(dwDeviceID).DevConfig}});
    return 0;
}

LONG lineSetDevConfig(DWORD dwDeviceID, const void* lpDeviceConfig, DWORD dwSize,
                      const char* lpszDeviceClass) {
    if (const LONG error = CheckDevConfig("lineSetDevConfig", dwDeviceID, lpszDeviceClass))
        return error;
    if (!lpDeviceConfig && dwSize)
        return LINEERR_INVALPOINTER;
    const std::optional<TTapiDevConfig> config = TapiDevConfigOf(lpDeviceConfig, dwSize);
    if (!config)
        return LINEERR_INVALPARAM;
    return StoreDevConfig(dwDeviceID, *config);
}

LONG lineConfigDialog(DWORD dwDeviceID, HWND, const char* lpszDeviceClass) {
    if (const LONG error = CheckDevConfig("lineConfigDialog", dwDeviceID, lpszDeviceClass))
        return error;
    if (!HasWindows())
        return Unavailable();
    const TLineRecord& line = LineOf(dwDeviceID);
    const std::optional<TTapiDevConfig> edited =
        EditTapiDevConfig(FromCp1251(line.Spec.Name), DevConfigOf(line).value_or(TTapiDevConfig{}));
    // The dialog ran the event loop: the line may be gone with its last application.
    if (!edited)
        return 0;
    if (dwDeviceID >= Tapi().Lines.size())
        return LINEERR_BADDEVICEID;
    return StoreDevConfig(dwDeviceID, *edited);
}

LONG lineConfigDialogEdit(DWORD dwDeviceID, HWND, const char* lpszDeviceClass, const void* lpDeviceConfigIn,
                          DWORD dwSize, VARSTRING* out) {
    if (const LONG error = CheckDevConfig("lineConfigDialogEdit", dwDeviceID, lpszDeviceClass))
        return error;
    if (const LONG error = CheckBuffer(out))
        return error;
    if (!lpDeviceConfigIn && dwSize)
        return LINEERR_INVALPOINTER;
    const std::optional<TTapiDevConfig> given =
        dwSize ? TapiDevConfigOf(lpDeviceConfigIn, dwSize) : std::optional<TTapiDevConfig>(TTapiDevConfig{});
    if (!given)
        return LINEERR_INVALPARAM;
    if (!HasWindows())
        return Unavailable();
    const std::optional<TTapiDevConfig> edited =
        EditTapiDevConfig(FromCp1251(LineOf(dwDeviceID).Spec.Name), *given);
    ClearFixedPart(out, sizeof *out);
    out->dwStringFormat = STRINGFORMAT_BINARY;
    WriteVarPart(out, sizeof *out,
                 {{&out->dwStringSize, &out->dwStringOffset, TapiDevConfigBytes(edited.value_or(*given))}});
    return 0;
}

// ---- Lines

LONG lineOpen(HLINEAPP hLineApp, DWORD dwDeviceID, HLINE* lphLine, DWORD dwAPIVersion, DWORD dwExtVersion,
              DWORD_PTR dwCallbackInstance, DWORD dwPrivileges, DWORD dwMediaModes, const LINECALLPARAMS*) {
    if (const LONG failure = TakeFailure("lineOpen"))
        return failure;
    if (const LONG error = CheckDevice(hLineApp, dwDeviceID))
        return error;
    if (!lphLine)
        return LINEERR_INVALPOINTER;
    if (const LONG error = CheckVersion(dwAPIVersion, dwExtVersion))
        return error;
    const DWORD privileges = dwPrivileges;
    const bool watching =
        privileges && !(privileges & ~(LINECALLPRIVILEGE_MONITOR | LINECALLPRIVILEGE_OWNER));
    if (privileges != LINECALLPRIVILEGE_NONE && !watching)
        return LINEERR_INVALPRIVSELECT;
    const DWORD offered = LineOf(dwDeviceID).Spec.MediaModes | LINEMEDIAMODE_UNKNOWN;
    if ((privileges & LINECALLPRIVILEGE_OWNER) && (dwMediaModes == 0 || (dwMediaModes & ~offered)))
        return LINEERR_INVALMEDIAMODE;
    TProvider& p = Tapi();
    *lphLine = p.NextHandle++;
    p.Opens[*lphLine] = {hLineApp, dwDeviceID, dwCallbackInstance, privileges, dwMediaModes};
    // A modem listens once the loop is back: an open that goes again at once (to try the line)
    // leaves the device alone.
    if ((privileges & LINECALLPRIVILEGE_OWNER) && LineOf(dwDeviceID).Modem)
        QTimer::singleShot(0, QCoreApplication::instance(), [dwDeviceID] { UpdateModem(dwDeviceID); });
    return 0;
}

LONG lineClose(HLINE hLine) {
    TOpen* open = nullptr;
    if (const LONG error = EnterLine("lineClose", hLine, &open))
        return error;
    EndOpen(hLine);
    return 0;
}

LONG lineSetStatusMessages(HLINE hLine, DWORD dwLineStates, DWORD dwAddressStates) {
    TOpen* open = nullptr;
    if (const LONG error = EnterLine("lineSetStatusMessages", hLine, &open))
        return error;
    if (dwLineStates & ~LINEDEVSTATE_ALL)
        return LINEERR_INVALLINESTATE;
    if (dwAddressStates & ~LINEADDRESSSTATE_ALL)
        return LINEERR_INVALADDRESSSTATE;
    open->LineStates = dwLineStates;
    open->AddressStates = dwAddressStates;
    return 0;
}

LONG lineGetStatusMessages(HLINE hLine, DWORD* lpdwLineStates, DWORD* lpdwAddressStates) {
    TOpen* open = nullptr;
    if (const LONG error = EnterLine("lineGetStatusMessages", hLine, &open))
        return error;
    if (!lpdwLineStates || !lpdwAddressStates)
        return LINEERR_INVALPOINTER;
    *lpdwLineStates = open->LineStates;
    *lpdwAddressStates = open->AddressStates;
    return 0;
}

LONG lineGetLineDevStatus(HLINE hLine, LINEDEVSTATUS* status) {
    TOpen* open = nullptr;
    if (const LONG error = EnterLine("lineGetLineDevStatus", hLine, &open))
        return error;
    if (const LONG error = CheckBuffer(status, LineDevStatusSize14))
        return error;
    ClearFixedPart(status, LineDevStatusSize14);
    for (const auto& [handle, other] : Tapi().Opens)
        if (other.Device == open->Device) {
            ++status->dwNumOpens;
            if (other.Privileges & LINECALLPRIVILEGE_OWNER)
                status->dwOpenMediaModes |= other.MediaModes;
        }
    status->dwNumActiveCalls = LineBusy(open->Device) ? 1 : 0;
    status->dwLineFeatures = LineOf(open->Device).Spec.LineFeatures;
    status->dwRingMode = 1;
    status->dwDevStatusFlags = LINEDEVSTATUSFLAGS_CONNECTED | LINEDEVSTATUSFLAGS_INSERVICE;
    WriteVarPart(status, LineDevStatusSize14, {});
    return 0;
}

LONG lineGetAddressStatus(HLINE hLine, DWORD dwAddressID, LINEADDRESSSTATUS* status) {
    TOpen* open = nullptr;
    if (const LONG error = EnterLine("lineGetAddressStatus", hLine, &open))
        return error;
    if (dwAddressID != 0)
        return LINEERR_INVALADDRESSID;
    if (const LONG error = CheckBuffer(status))
        return error;
    ClearFixedPart(status, sizeof *status);
    status->dwNumInUse = 1;
    status->dwNumActiveCalls = LineBusy(open->Device) ? 1 : 0;
    WriteVarPart(status, sizeof *status, {});
    return 0;
}

namespace {

// "comm/datamodem": a fresh duplicate of the call's descriptor, then the line's name.
LONG CommHandle(VARSTRING* out, const TLineRecord& line, const TCall* call) {
    if (line.Spec.Device.isEmpty())
        return LINEERR_NODEVICE;
    if (!call || call->Fd < 0)
        return LINEERR_INVALCALLSTATE;
    ClearFixedPart(out, sizeof *out);
    out->dwStringFormat = STRINGFORMAT_BINARY;
    if (!WriteVarPart(
            out, sizeof *out,
            {{&out->dwStringSize, &out->dwStringOffset, std::string(4, '\0') + WithZero(line.Spec.Name)}}))
        return 0;
    const std::int32_t copy = ::fcntl(call->Fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0)
        return LINEERR_RESOURCEUNAVAIL;
    std::memcpy(reinterpret_cast<char*>(out) + out->dwStringOffset, &copy, sizeof copy);
    return 0;
}

LONG PortName(VARSTRING* out, const TLineRecord& line) {
    if (line.Spec.Device.isEmpty())
        return LINEERR_NODEVICE;
    ClearFixedPart(out, sizeof *out);
    out->dwStringFormat = STRINGFORMAT_ASCII;
    const std::string name = QFile::encodeName(line.Spec.Device).toStdString();
    WriteVarPart(out, sizeof *out, {{&out->dwStringSize, &out->dwStringOffset, WithZero(name)}});
    return 0;
}

// "wave/in", "wave/out": the device identifier.
LONG WaveId(VARSTRING* out, const std::optional<DWORD>& device) {
    if (!device)
        return LINEERR_NODEVICE;
    ClearFixedPart(out, sizeof *out);
    out->dwStringFormat = STRINGFORMAT_BINARY;
    const std::string id(reinterpret_cast<const char*>(&*device), sizeof(DWORD));
    WriteVarPart(out, sizeof *out, {{&out->dwStringSize, &out->dwStringOffset, id}});
    return 0;
}

// The call of the open line that holds its device.
const TCall* DataCallOf(HLINE line) {
    for (const auto& [handle, call] : Tapi().Calls)
        if (call.Line == line && call.Fd >= 0)
            return &call;
    return nullptr;
}

} // namespace

LONG lineGetID(HLINE hLine, DWORD dwAddressID, HCALL hCall, DWORD dwSelect, VARSTRING* out,
               const char* lpszDeviceClass) {
    if (const LONG failure = TakeFailure("lineGetID"))
        return failure;
    if (!lpszDeviceClass)
        return LINEERR_INVALPOINTER;
    const TCall* call = nullptr;
    DWORD device = 0;
    if (dwSelect == LINECALLSELECT_CALL) {
        call = FindCall(hCall);
        if (!call)
            return LINEERR_INVALCALLHANDLE;
        device = call->Device;
    } else if (dwSelect == LINECALLSELECT_LINE || dwSelect == LINECALLSELECT_ADDRESS) {
        const TOpen* open = FindOpen(hLine);
        if (!open)
            return LINEERR_INVALLINEHANDLE;
        if (dwSelect == LINECALLSELECT_ADDRESS && dwAddressID != 0)
            return LINEERR_INVALADDRESSID;
        device = open->Device;
        call = DataCallOf(hLine);
    } else {
        return LINEERR_INVALCALLSELECT;
    }
    if (const LONG error = CheckBuffer(out))
        return error;
    const std::string deviceClass = Lower(lpszDeviceClass);
    if (deviceClass == "comm/datamodem")
        return CommHandle(out, LineOf(device), call);
    if (deviceClass == "comm/datamodem/portname")
        return PortName(out, LineOf(device));
    if (deviceClass == "wave/in")
        return WaveId(out, LineOf(device).Spec.WaveIn);
    if (deviceClass == "wave/out")
        return WaveId(out, LineOf(device).Spec.WaveOut);
    return LINEERR_INVALDEVICECLASS;
}

// ---- Calls

LONG lineMakeCall(HLINE hLine, HCALL* lphCall, const char* lpszDestAddress, DWORD,
                  const LINECALLPARAMS* lpCallParams) {
    TOpen* open = nullptr;
    if (const LONG error = EnterLine("lineMakeCall", hLine, &open))
        return error;
    if (!lphCall)
        return LINEERR_INVALPOINTER;
    if (lpCallParams && lpCallParams->dwTotalSize < sizeof(LINECALLPARAMS))
        return LINEERR_STRUCTURETOOSMALL;
    const DWORD bearer = lpCallParams ? lpCallParams->dwBearerMode : LINEBEARERMODE_VOICE;
    const DWORD media = lpCallParams ? lpCallParams->dwMediaMode : LINEMEDIAMODE_INTERACTIVEVOICE;
    TLineRecord& line = LineOf(open->Device);
    if (bearer != LINEBEARERMODE_VOICE && bearer != LINEBEARERMODE_PASSTHROUGH)
        return LINEERR_INVALBEARERMODE;
    if (bearer == LINEBEARERMODE_VOICE && (media == 0 || (media & ~line.Spec.MediaModes)))
        return LINEERR_INVALMEDIAMODE;
    if (LineBusy(open->Device))
        return LINEERR_CALLUNAVAIL;

    TProvider& p = Tapi();
    const HCALL handle = p.NextHandle++;
    TCall& call = p.Calls[handle];
    call.Line = hLine;
    call.Device = open->Device;
    call.BearerMode = bearer;
    call.MediaMode = media;
    call.CallParamFlags = lpCallParams ? lpCallParams->dwCallParamFlags : 0;
    call.Called = lpszDestAddress ? lpszDestAddress : "";
    *lphCall = handle;
    if (p.Scripted) { // for the test's questions; a running router keeps no list of its calls
        line.Dialled.push_back(call.Called);
        line.DialledBearers.push_back(bearer);
    }

    const TRequest request = NewRequest("lineMakeCall");
    if (!request.Proceeds()) {
        if (request.Script.Error)
            FailQuietly(call);
        Reply(hLine, request, 0);
        return request.Id;
    }
    if (line.Modem && bearer == LINEBEARERMODE_VOICE)
        return ModemDial(handle, call, request);
    if (line.Modem)
        line.ModemCall = handle;
    const TDialResult result = TakeDialResult(line);
    const LONG opened = result == TTapiTestBackEnd::Connected ? OpenDataPath(call) : 0;
    Reply(hLine, request, opened);
    if (opened)
        FailQuietly(call);
    else
        PlayDialResult(handle, result);
    return request.Id;
}

LONG lineAccept(HCALL hCall, const char*, DWORD) {
    TCall* call = nullptr;
    if (const LONG error = EnterCall("lineAccept", hCall, &call))
        return error;
    if (call->State != LINECALLSTATE_OFFERING)
        return LINEERR_INVALCALLSTATE;
    const TRequest request = NewRequest("lineAccept");
    Reply(call->Line, request, 0);
    if (request.Proceeds())
        SetCallState(hCall, LINECALLSTATE_ACCEPTED);
    return request.Id;
}

LONG lineAnswer(HCALL hCall, const char*, DWORD) {
    TCall* call = nullptr;
    if (const LONG error = EnterCall("lineAnswer", hCall, &call))
        return error;
    if (call->State != LINECALLSTATE_OFFERING && call->State != LINECALLSTATE_ACCEPTED)
        return LINEERR_INVALCALLSTATE;
    const TRequest request = NewRequest("lineAnswer");
    if (TLineRecord& line = LineOf(call->Device); line.Modem && line.ModemCall == hCall) {
        // Connected when the modem says so.
        Reply(call->Line, request, request.Proceeds() ? line.Modem->Answer() : 0);
        return request.Id;
    }
    const LONG opened = request.Proceeds() ? OpenDataPath(*call) : 0;
    Reply(call->Line, request, opened);
    if (request.Proceeds() && opened == 0)
        SetCallState(hCall, LINECALLSTATE_CONNECTED);
    return request.Id;
}

LONG lineDrop(HCALL hCall, const char*, DWORD) {
    TCall* call = nullptr;
    if (const LONG error = EnterCall("lineDrop", hCall, &call))
        return error;
    if (call->State == LINECALLSTATE_IDLE)
        return LINEERR_INVALCALLSTATE;
    const TRequest request = NewRequest("lineDrop");
    if (TLineRecord& line = LineOf(call->Device);
        line.Modem && line.ModemCall == hCall && request.Proceeds()) {
        // Done, and idle, once the modem has hung up.
        const HLINE opened = call->Line;
        const DWORD device = call->Device;
        line.Modem->HangUp([opened, hCall, request, device] {
            Reply(opened, request, 0);
            if (const TCall* dropped = FindCall(hCall); dropped && dropped->State != LINECALLSTATE_IDLE)
                SetCallState(hCall, LINECALLSTATE_IDLE);
            UpdateModem(device);
        });
        return request.Id;
    }
    Reply(call->Line, request, 0);
    if (request.Proceeds())
        SetCallState(hCall, LINECALLSTATE_IDLE);
    return request.Id;
}

LONG lineSetCallParams(HCALL hCall, DWORD dwBearerMode, DWORD, DWORD, const LINEDIALPARAMS*) {
    TCall* call = nullptr;
    if (const LONG error = EnterCall("lineSetCallParams", hCall, &call))
        return error;
    if (call->State == LINECALLSTATE_IDLE)
        return LINEERR_INVALCALLSTATE;
    if (dwBearerMode != LINEBEARERMODE_VOICE && dwBearerMode != LINEBEARERMODE_PASSTHROUGH)
        return LINEERR_INVALBEARERMODE;
    const TRequest request = NewRequest("lineSetCallParams");
    LONG result = 0;
    if (request.Proceeds()) {
        const DWORD before = call->BearerMode;
        call->BearerMode = dwBearerMode;
        result = call->State == LINECALLSTATE_CONNECTED ? OpenDataPath(*call) : 0;
        if (result)
            call->BearerMode = before;
    }
    Reply(call->Line, request, result);
    return request.Id;
}

LONG lineHold(HCALL hCall) {
    return ModemSwapHold("lineHold", hCall, LINECALLSTATE_CONNECTED, LINECALLSTATE_ONHOLD);
}

LONG lineUnhold(HCALL hCall) {
    return ModemSwapHold("lineUnhold", hCall, LINECALLSTATE_ONHOLD, LINECALLSTATE_CONNECTED);
}

LONG lineDeallocateCall(HCALL hCall) {
    TCall* call = nullptr;
    if (const LONG error = EnterCall("lineDeallocateCall", hCall, &call))
        return error;
    if (call->State != LINECALLSTATE_IDLE)
        return LINEERR_INVALCALLSTATE;
    EndCall(hCall);
    return 0;
}

LONG lineGetCallInfo(HCALL hCall, LINECALLINFO* info) {
    TCall* call = nullptr;
    if (const LONG error = EnterCall("lineGetCallInfo", hCall, &call))
        return error;
    if (const LONG error = CheckBuffer(info))
        return error;
    const TCaller& caller = call->Caller;
    const bool inbound = call->Origin != LINECALLORIGIN_OUTBOUND;
    const DWORD callerFlags =
        inbound ? PartyFlags(caller.Number, caller.Name, caller.Flags) : LINECALLPARTYID_UNKNOWN;
    const DWORD calledFlags = inbound ? LINECALLPARTYID_UNKNOWN : PartyFlags(call->Called, {}, 0);
    ClearFixedPart(info, sizeof *info);
    info->hLine = call->Line;
    info->dwLineDeviceID = call->Device;
    info->dwBearerMode = call->BearerMode;
    info->dwRate = call->State != LINECALLSTATE_CONNECTED ? 0
                   : call->Rate                           ? call->Rate
                                                          : LineOf(call->Device).Spec.Rate;
    info->dwMediaMode = call->MediaMode;
    info->dwCallID = hCall;
    info->dwCallParamFlags = call->CallParamFlags;
    info->dwCallStates = CallStatesReported;
    info->dwMonitorDigitModes = call->MonitorDigitModes;
    info->dwMonitorMediaModes = call->MonitorMediaModes;
    info->dwOrigin = call->Origin;
    info->dwReason = LINECALLREASON_DIRECT;
    info->dwNumOwners = 1;
    info->dwCallerIDFlags = callerFlags;
    info->dwCalledIDFlags = calledFlags;
    WriteVarPart(info, sizeof *info,
                 {{&info->dwCallerIDSize, &info->dwCallerIDOffset,
                   IfFlag(callerFlags, LINECALLPARTYID_ADDRESS, inbound ? caller.Number : "")},
                  {&info->dwCallerIDNameSize, &info->dwCallerIDNameOffset,
                   IfFlag(callerFlags, LINECALLPARTYID_NAME, inbound ? caller.Name : "")},
                  {&info->dwCalledIDSize, &info->dwCalledIDOffset,
                   IfFlag(calledFlags, LINECALLPARTYID_ADDRESS, call->Called)}});
    return 0;
}

LONG lineGetCallStatus(HCALL hCall, LINECALLSTATUS* status) {
    TCall* call = nullptr;
    if (const LONG error = EnterCall("lineGetCallStatus", hCall, &call))
        return error;
    if (const LONG error = CheckBuffer(status))
        return error;
    ClearFixedPart(status, sizeof *status);
    status->dwCallState = call->State;
    status->dwCallStateMode = call->StateMode;
    status->dwCallPrivilege = LINECALLPRIVILEGE_OWNER;
    WriteVarPart(status, sizeof *status, {});
    return 0;
}

LONG lineSetMediaMode(HCALL hCall, DWORD dwMediaModes) {
    TCall* call = nullptr;
    if (const LONG error = EnterCall("lineSetMediaMode", hCall, &call))
        return error;
    if (dwMediaModes == 0 || (dwMediaModes & ~(LineOf(call->Device).Spec.MediaModes | LINEMEDIAMODE_UNKNOWN)))
        return LINEERR_INVALMEDIAMODE;
    call->MediaMode = dwMediaModes;
    return 0;
}

LONG lineMonitorMedia(HCALL hCall, DWORD dwMediaModes) {
    TCall* call = nullptr;
    if (const LONG error = EnterCall("lineMonitorMedia", hCall, &call))
        return error;
    if (dwMediaModes & ~(LineOf(call->Device).Spec.MediaModes | LINEMEDIAMODE_UNKNOWN))
        return LINEERR_INVALMEDIAMODE;
    call->MonitorMediaModes = dwMediaModes;
    return 0;
}

LONG lineMonitorDigits(HCALL hCall, DWORD dwDigitModes) {
    TCall* call = nullptr;
    if (const LONG error = EnterCall("lineMonitorDigits", hCall, &call))
        return error;
    if (dwDigitModes & ~(LINEDIGITMODE_PULSE | LINEDIGITMODE_DTMF | LINEDIGITMODE_DTMFEND))
        return LINEERR_INVALDIGITMODE;
    if (dwDigitModes && !IsVoiceLine(call->Device))
        return LINEERR_OPERATIONUNAVAIL;
    call->MonitorDigitModes = dwDigitModes;
    return 0;
}

LONG lineMonitorTones(HCALL hCall, const LINEMONITORTONE* lpToneList, DWORD dwNumEntries) {
    TCall* call = nullptr;
    if (const LONG error = EnterCall("lineMonitorTones", hCall, &call))
        return error;
    if (!IsVoiceLine(call->Device))
        return LINEERR_OPERATIONUNAVAIL;
    if (!lpToneList && dwNumEntries)
        return LINEERR_INVALPOINTER;
    if (lpToneList)
        call->MonitoredTones.assign(lpToneList, lpToneList + dwNumEntries);
    else
        call->MonitoredTones.clear(); // monitoring ends
    return 0;
}

LONG lineGenerateDigits(HCALL hCall, DWORD dwDigitMode, const char* lpszDigits, DWORD) {
    TCall* call = nullptr;
    if (const LONG error = EnterCall("lineGenerateDigits", hCall, &call))
        return error;
    if (!IsVoiceLine(call->Device))
        return LINEERR_OPERATIONUNAVAIL;
    if (dwDigitMode != LINEDIGITMODE_PULSE && dwDigitMode != LINEDIGITMODE_DTMF)
        return LINEERR_INVALDIGITMODE;
    if (call->State != LINECALLSTATE_CONNECTED)
        return LINEERR_INVALCALLSTATE;
    if (!lpszDigits)
        return 0; // cancels; what was sent is sent
    for (const char* digit = lpszDigits; *digit; ++digit)
        if (!TakesDigits(dwDigitMode, *digit))
            return LINEERR_INVALDIGITS;
    call->GeneratedDigits += lpszDigits;
    ToCall(hCall, LINE_GENERATE, LINEGENERATETERM_DONE, 0, timeGetTime());
    return 0;
}

LONG lineGenerateTone(HCALL hCall, DWORD dwToneMode, DWORD, DWORD, const LINEGENERATETONE*) {
    TCall* call = nullptr;
    if (const LONG error = EnterCall("lineGenerateTone", hCall, &call))
        return error;
    if (!IsVoiceLine(call->Device))
        return LINEERR_OPERATIONUNAVAIL;
    if (call->State != LINECALLSTATE_CONNECTED)
        return LINEERR_INVALCALLSTATE;
    if (dwToneMode == 0)
        return 0; // cancels
    ++call->GeneratedTones;
    ToCall(hCall, LINE_GENERATE, LINEGENERATETERM_DONE, 0, timeGetTime());
    return 0;
}

LONG lineHandoff(HCALL hCall, const char*, DWORD) {
    TCall* call = nullptr;
    if (const LONG error = EnterCall("lineHandoff", hCall, &call))
        return error;
    return LINEERR_TARGETNOTFOUND; // no other telephony application runs here
}

LONG lineTranslateAddress(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion, const char* lpszAddressIn,
                          DWORD, DWORD, LINETRANSLATEOUTPUT* out) {
    if (const LONG failure = TakeFailure("lineTranslateAddress"))
        return failure;
    if (const LONG error = CheckDevice(hLineApp, dwDeviceID))
        return error;
    if (const LONG error = CheckVersion(dwAPIVersion, 0))
        return error;
    if (!lpszAddressIn)
        return LINEERR_INVALPOINTER;
    if (!*lpszAddressIn)
        return LINEERR_INVALADDRESS;
    if (const LONG error = CheckBuffer(out))
        return error;
    ClearFixedPart(out, sizeof *out);
    const std::string address = WithZero(lpszAddressIn);
    WriteVarPart(out, sizeof *out,
                 {{&out->dwDialableStringSize, &out->dwDialableStringOffset, address},
                  {&out->dwDisplayableStringSize, &out->dwDisplayableStringOffset, address}});
    return 0;
}

// ---- Not offered here

LONG lineTranslateDialog(HLINEAPP, DWORD, DWORD, HWND, const char*) {
    return Unavailable();
}

LONG lineGetTranslateCaps(HLINEAPP, DWORD, LINETRANSLATECAPS*) {
    return Unavailable();
}

LONG lineSetCurrentLocation(HLINEAPP, DWORD) {
    return Unavailable();
}

LONG lineSetTollList(HLINEAPP, DWORD, const char*, DWORD) {
    return Unavailable();
}

LONG lineGetCountry(DWORD, DWORD, LINECOUNTRYLIST*) {
    return Unavailable();
}

LONG lineBlindTransfer(HCALL, const char*, DWORD) {
    return Unavailable();
}

void CloseTapiCommHandle(std::int32_t handle) {
    if (handle >= 0)
        ::close(handle);
}

// ---- The module, the lines file, the broadcast

std::vector<TModuleEntry> Tapi32Entries() {
    return {
        ModuleEntry("lineGenerateTone", &lineGenerateTone),
        ModuleEntry("lineMonitorTones", &lineMonitorTones),
        ModuleEntry("lineSetCallParams", &lineSetCallParams),
        ModuleEntry("lineHandoff", &lineHandoff),
        ModuleEntry("lineMonitorMedia", &lineMonitorMedia),
        ModuleEntry("lineGenerateDigits", &lineGenerateDigits),
        ModuleEntry("lineMonitorDigits", &lineMonitorDigits),
        ModuleEntry("lineInitialize", &lineInitialize),
        ModuleEntry("lineShutdown", &lineShutdown),
        ModuleEntry("lineNegotiateAPIVersion", &lineNegotiateAPIVersion),
        ModuleEntry("lineGetDevCaps", &lineGetDevCaps),
        ModuleEntry("lineOpen", &lineOpen),
        ModuleEntry("lineMakeCall", &lineMakeCall),
        ModuleEntry("lineAccept", &lineAccept),
        ModuleEntry("lineAnswer", &lineAnswer),
        ModuleEntry("lineDeallocateCall", &lineDeallocateCall),
        ModuleEntry("lineDrop", &lineDrop),
        ModuleEntry("lineClose", &lineClose),
        ModuleEntry("lineGetCountry", &lineGetCountry),
        ModuleEntry("lineConfigDialog", &lineConfigDialog),
        ModuleEntry("lineConfigDialogEdit", &lineConfigDialogEdit),
        ModuleEntry("lineGetID", &lineGetID),
        ModuleEntry("lineSetStatusMessages", &lineSetStatusMessages),
        ModuleEntry("lineGetStatusMessages", &lineGetStatusMessages),
        ModuleEntry("lineGetAddressCaps", &lineGetAddressCaps),
        ModuleEntry("lineGetAddressStatus", &lineGetAddressStatus),
        ModuleEntry("lineGetLineDevStatus", &lineGetLineDevStatus),
        ModuleEntry("lineGetDevConfig", &lineGetDevConfig),
        ModuleEntry("lineSetDevConfig", &lineSetDevConfig),
        ModuleEntry("lineGetCallInfo", &lineGetCallInfo),
        ModuleEntry("lineGetCallStatus", &lineGetCallStatus),
        ModuleEntry("lineSetMediaMode", &lineSetMediaMode),
        ModuleEntry("lineTranslateAddress", &lineTranslateAddress),
        ModuleEntry("lineTranslateDialog", &lineTranslateDialog),
        ModuleEntry("lineSetCurrentLocation", &lineSetCurrentLocation),
        ModuleEntry("lineSetTollList", &lineSetTollList),
        ModuleEntry("lineGetTranslateCaps", &lineGetTranslateCaps),
        ModuleEntry("lineHold", &lineHold),
        ModuleEntry("lineUnhold", &lineUnhold),
        ModuleEntry("lineBlindTransfer", &lineBlindTransfer),
    };
}

void RegisterTapiDeviceWindow(HWND window) {
    TapiDeviceWindows().insert(window);
}

void UnregisterTapiDeviceWindow(HWND window) {
    TapiDeviceWindows().erase(window);
}

void BroadcastTapiNewLine(DWORD deviceId) {
    for (HWND window : TapiDeviceWindows())
        PostMessage(window, TapiNewLineMessage, TapiNewLineWParam, LPARAM(deviceId));
}

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
