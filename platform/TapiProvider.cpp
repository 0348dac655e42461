// The telephony provider (platform/TapiProvider.h): its state, the delivery of its events, its
// look-ups and checks, its lines, devices, requests and call states, and ringing.
#include "platform/TapiProvider.h"

#include <fcntl.h>
#include <unistd.h>

#include <QApplication>

#include "platform/TapiLines.h"

namespace tapi_provider {

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

namespace {

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

} // namespace

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

// ---- Lines

// A line of the file is a modem, for data and voice calls, with the configuration it was given before.
DWORD AddLineRecord(const TLineSpec& spec, bool dials, const std::map<QString, TTapiDevConfig>& configs) {
    TProvider& p = Tapi();
    TLineRecord& line = p.Lines.emplace_back();
    line.Spec = spec;
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

namespace {

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

} // namespace

bool CarriesData(const TCall& call) {
    return call.BearerMode == LINEBEARERMODE_PASSTHROUGH || (call.MediaMode & LINEMEDIAMODE_DATAMODEM);
}

// A modem's call gets its own duplicate of the modem's device, as lineGetID hands out more of.
LONG ShareModemDevice(const TLineRecord& line, TCall& call) {
    call.Fd = ::fcntl(line.Modem->Fd(), F_DUPFD_CLOEXEC, 0);
    return call.Fd < 0 ? LINEERR_RESOURCEUNAVAIL : 0;
}

namespace {

// A pass-through call on a modem line is the port's from the start: the modem sends nothing.
LONG ModemPassThrough(TLineRecord& line, TCall& call) {
    if (const LONG error = line.Modem->Open(DevConfigOf(line), line.Spec.Name))
        return error;
    if (const LONG error = ShareModemDevice(line, call))
        return error;
    line.Modem->PassThrough();
    return 0;
}

} // namespace

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
        if (result != TTapiDialResult::Disconnected)
            SetCallState(handle, LINECALLSTATE_PROCEEDING);
    }
    switch (result) {
    case TTapiDialResult::Connected:
        SetCallState(handle, LINECALLSTATE_CONNECTED);
        break;
    case TTapiDialResult::Busy:
        SetCallState(handle, LINECALLSTATE_BUSY, LINEBUSYMODE_STATION);
        break;
    case TTapiDialResult::NoAnswer:
        SetCallState(handle, LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_NOANSWER);
        break;
    case TTapiDialResult::Disconnected:
        SetCallState(handle, LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_UNAVAIL);
        break;
    }
}

TDialResult TakeDialResult(TLineRecord& line) {
    if (line.DialResults.empty())
        return TTapiDialResult::Connected;
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
