#include "serial/TapiDevice.h"

#include <algorithm>
#include <cstring>
#include <set>

#include <QCoreApplication>
#include <QEventLoop>
#include <QFileInfo>
#include <QTimer>

#include "platform/Application.h"
#include "platform/ClockSource.h"
#include "platform/Registry.h"
#include "platform/Timer.h"
#include "serial/DeviceSelectionForm.h"
#include "serial/Exceptions.h"
#include "serial/MessageTable.h"

namespace {

constexpr std::int64_t ReplyTimeoutMs = 30000;
constexpr std::int64_t ReinitWaitMs = 5000;
// lineInitialize answers other than those that end the registration at once are retried this often.
constexpr int InitializeAttempts = 3;
constexpr int MaxAppNameLength = 255;
constexpr int MaxNumberLength = 255;
constexpr DWORD AllLineStates = 0x1FFFFFF;
constexpr DWORD AllAddressStates = 0x1FF;
constexpr int PumpSliceMs = 10;

constexpr DWORD LinePrivileges[2] = {LINECALLPRIVILEGE_OWNER, LINECALLPRIVILEGE_NONE}; // by Dialing
constexpr DWORD AcceptedMedia[2] = {0x32, 0x3A};                                       // by EnableVoice
constexpr DWORD BearerModes[2] = {LINEBEARERMODE_VOICE, LINEBEARERMODE_PASSTHROUGH};   // by pass-through

// Devices alive now: the callback's instance is looked up here before it is used.
std::set<const TSioCustomTapiDevice*>& LiveDevices() {
    static std::set<const TSioCustomTapiDevice*> devices;
    return devices;
}

// Runs the main thread's messages for a moment: returns when some were handled, at the latest
// after one slice.
void PumpMessages() {
    if (!QCoreApplication::instance())
        return;
    QTimer wake;
    wake.setSingleShot(true);
    wake.start(PumpSliceMs);
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

bool ProgramEnding() {
    return Application && Application->Terminated();
}

// The waits' clock: started now, on the monotonic clock.
class TDeadline {
public:
    explicit TDeadline(std::int64_t ms) : end_(MonotonicMs() + ms) {}
    bool Passed() const { return MonotonicMs() >= end_ || ProgramEnding(); }

private:
    std::int64_t end_;
};

// Sets a flag for a scope.
class TGuardFlag {
public:
    explicit TGuardFlag(bool& flag) : flag_(flag) { flag_ = true; }
    ~TGuardFlag() { flag_ = false; }
    TGuardFlag(const TGuardFlag&) = delete;
    TGuardFlag& operator=(const TGuardFlag&) = delete;

private:
    bool& flag_;
};

std::string ApplicationName() {
    if (!QCoreApplication::instance())
        return {};
    const QFileInfo program(QCoreApplication::applicationFilePath());
    const QString name = program.path() + QLatin1Char('/') + program.completeBaseName();
    return name.left(MaxAppNameLength).toLocal8Bit().toStdString();
}

std::string LineName(const TLineDevCaps& caps) {
    return TapiText(caps, caps.dwLineNameSize, caps.dwLineNameOffset);
}

// The party texts of the call information: the number when the flags say it is there, else the
// reason it is not, else what is stored.
std::string PartyText(const TCallInfo* info, DWORD TCallInfo::*flagsField, DWORD TCallInfo::*sizeField,
                      DWORD TCallInfo::*offsetField, bool number) {
    if (!info)
        return {};
    const DWORD flags = info->*flagsField, size = info->*sizeField, offset = info->*offsetField;
    if (number && (flags & LINECALLPARTYID_ADDRESS))
        return TapiText(*info, size, offset);
    if (flags & LINECALLPARTYID_BLOCKED)
        return ErrorMsg(-13937);
    if (flags & LINECALLPARTYID_OUTOFAREA)
        return ErrorMsg(-13938);
    if (flags & LINECALLPARTYID_UNKNOWN)
        return "Unknown";
    if (flags & LINECALLPARTYID_UNAVAIL)
        return "Unavailable";
    return TapiText(*info, size, offset);
}

std::string Trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

} // namespace

std::string TapiRegistryValueName() {
    const QString pid = QStringLiteral("%1").arg(QCoreApplication::applicationPid(), 8, 16, QLatin1Char('0'));
    return "$" + pid.toUpper().toStdString();
}

// ---- Construction

TSioCustomTapiDevice::TSioCustomTapiDevice(const void* owner) : TSioBaseComponent(owner) {
    LiveDevices().insert(this);
    SetStatusDisplay(SearchStatusDisplay(owner));
    SetTapiLog(SearchTapiLog(owner));
    StartTapi();
    EnumLineDevices();
    tapiWnd_ = std::make_unique<TMessageWindow>([this](unsigned message, WPARAM wParam, LPARAM lParam) {
        LRESULT result = 0;
        Guarded([&] { result = WndProc(message, wParam, lParam); });
        return result;
    });
    RegisterTapiDeviceWindow(tapiWnd_->Handle());
}

TSioCustomTapiDevice::~TSioCustomTapiDevice() {
    SetComponentState(csDestroying, true);
    CloseWaveDevices();
    try {
        SetOpen(false);
    } catch (...) {
    }
    try {
        StopTapi();
    } catch (...) {
    }
    dialTimer_.reset();
    SetStatusDisplay(nullptr);
    SetTapiLog(nullptr);
    if (tapiWnd_)
        UnregisterTapiDeviceWindow(tapiWnd_->Handle());
    LiveDevices().erase(this);
}

HWND TSioCustomTapiDevice::TapiWnd() const {
    return tapiWnd_ ? tapiWnd_->Handle() : 0;
}

TVarString& TSioCustomTapiDevice::VarStringBuf() {
    std::memset(varStringBuf_, 0, sizeof varStringBuf_);
    auto* buffer = reinterpret_cast<TVarString*>(varStringBuf_);
    buffer->dwTotalSize = sizeof varStringBuf_;
    return *buffer;
}

// ---- Properties

void TSioCustomTapiDevice::SetSelectedDevice(const std::string& name) {
    selectedDevice_ = name;
    if (enableVoice_)
        CheckVoiceCapable();
}

void TSioCustomTapiDevice::SetStatusDisplay(TSioAbstractTapiStatus* display) {
    if (display == statusDisplay_)
        return;
    if (statusDisplay_)
        statusDisplay_->TapiDevice = nullptr;
    statusDisplay_ = display;
    if (display)
        display->TapiDevice = this;
}

void TSioCustomTapiDevice::SetTapiLog(TSioTapiLog* log) {
    if (log == tapiLog_)
        return;
    if (tapiLog_)
        tapiLog_->TapiDevice = nullptr;
    tapiLog_ = log;
    if (log)
        log->TapiDevice = this;
}

void TSioCustomTapiDevice::SetEnableVoice(bool value) {
    enableVoice_ = value;
    if (value && !selectedDevice_.empty())
        CheckVoiceCapable();
}

void TSioCustomTapiDevice::SetFilterUnsupportedDevices(bool value) {
    filterUnsupportedDevices_ = value;
}

void TSioCustomTapiDevice::CheckError(LONG result) const {
    if (result == ecTapiLoadFail || result == ecTapiGetAddrFail)
        CheckException(this, result);
    else
        CheckException(this, -TapiErrorToCode(result));
}

// ---- Registration

bool TSioCustomTapiDevice::StartTapi() {
    if (lineApp_ != 0)
        return true;
    if (startingTapi_)
        return false;
    TGuardFlag starting(startingTapi_);
    try {
        SweepRegistry();
        const std::string appName = ApplicationName();
        bool reinitWaited = false;
        for (int attempt = 1;; ++attempt) {
            HLINEAPP app = 0;
            const LONG result = tuLineInitialize(app, 0, TapiLineCallback, appName.c_str(), numDevices_);
            if (deviceCount_ == 0)
                deviceCount_ = std::int32_t(numDevices_);
            if (result == 0) {
                lineApp_ = app;
                break;
            }
            if (result == LINEERR_REINIT && !reinitWaited) {
                reinitWaited = true;
                const TDeadline deadline(ReinitWaitMs);
                while (!deadline.Passed())
                    PumpMessages();
                continue;
            }
            const bool final = result == LINEERR_REINIT || result == LINEERR_LINEMAPPERFAILED ||
                               result == LINEERR_NODEVICE || result == LINEERR_NODRIVER ||
                               result == LINEERR_NOMEM || result == LINEERR_NOTOWNER ||
                               result == LINEERR_OPERATIONFAILED || attempt >= InitializeAttempts;
            if (final)
                CheckError(result);
        }
        WriteRegistryValue();
        lineHandle_ = 0;
        callHandle_ = 0;
        return true;
    } catch (...) {
        return false;
    }
}

// Every value of the key goes: values of processes that ended are never cleaned up otherwise. Their
// line applications were the other processes' own and ended with them.
void TSioCustomTapiDevice::SweepRegistry() {
    TRegistry registry;
    if (!registry.OpenKey(QString::fromLatin1(TapiRegistryKey), true))
        return;
    for (const QString& name : registry.GetValueNames())
        registry.DeleteValue(name);
}

void TSioCustomTapiDevice::WriteRegistryValue() {
    TRegistry registry;
    if (registry.OpenKey(QString::fromLatin1(TapiRegistryKey), true))
        registry.WriteString(QString::fromLatin1(TapiRegistryValueName()), QString::number(lineApp_));
}

bool TSioCustomTapiDevice::StopTapi() {
    if (lineApp_ == 0)
        return true;
    if (stoppingTapi_)
        return false;
    TGuardFlag stopping(stoppingTapi_);
    HangupCall(true);
    CheckError(tuLineShutdown(lineApp_));
    TRegistry registry;
    if (registry.OpenKey(QString::fromLatin1(TapiRegistryKey), false))
        registry.DeleteValue(QString::fromLatin1(TapiRegistryValueName()));
    lineApp_ = 0;
    return true;
}

// ---- Lines

bool TSioCustomTapiDevice::Supported(const TLineDevCaps& caps, DWORD deviceId) {
    if (!(caps.dwLineFeatures & LINEFEATURE_MAKECALL))
        return false;
    if (caps.dwMediaModes & LINEMEDIAMODE_DATAMODEM)
        return true;
    return (caps.dwMediaModes & LINEMEDIAMODE_AUTOMATEDVOICE) &&
           LineHasWaveDevice(lineApp_, deviceId, apiVersion_);
}

void TSioCustomTapiDevice::EnumLineDevices() {
    StartTapi();
    tapiDevices_.clear();
    for (DWORD id = 0; id < numDevices_; ++id) {
        if (tuLineNegotiateApiVersion(lineApp_, id, TapiApiVersion14, TapiApiVersion14, apiVersion_,
                                      lineExt_) != 0)
            continue;
        TLineDevCaps* fetched = nullptr;
        const LONG result = tuLineGetDevCapsDyn(lineApp_, id, apiVersion_, 0, fetched);
        const TTapiBuffer<TLineDevCaps> caps(fetched);
        if (result != 0 || !caps)
            break; // the lines after it are not listed
        if (!filterUnsupportedDevices_ || Supported(*caps, id))
            tapiDevices_.push_back(LineName(*caps));
    }
    deviceCount_ = std::int32_t(tapiDevices_.size());
}

std::int32_t TSioCustomTapiDevice::DeviceIDFromName(const std::string& name) {
    StartTapi();
    if (name.empty())
        return -1;
    for (DWORD id = 0; id < numDevices_; ++id) {
        if (tuLineNegotiateApiVersion(lineApp_, id, TapiApiVersion14, TapiApiVersion14, apiVersion_,
                                      lineExt_) != 0)
            continue;
        TLineDevCaps* fetched = nullptr;
        const LONG result = tuLineGetDevCapsDyn(lineApp_, id, apiVersion_, 0, fetched);
        const TTapiBuffer<TLineDevCaps> caps(fetched);
        CheckError(result);
        if (!caps)
            return -1;
        if (LineName(*caps) == name)
            return std::int32_t(id);
    }
    return -1;
}

std::int32_t TSioCustomTapiDevice::GetSelectedLine() {
    selectedLine_ = DeviceIDFromName(selectedDevice_);
    if (selectedLine_ != -1)
        return selectedLine_;
    if (selectedDevice_.empty() && tapiDevices_.size() == 1) {
        // The only listed line; its identifier need not be 0 when the filter passed others over.
        selectedLine_ = DeviceIDFromName(tapiDevices_.front());
        if (selectedLine_ != -1) {
            selectedDevice_ = tapiDevices_.front();
            return selectedLine_;
        }
    }
    if (!ShowPorts && !ShowTapiDevices)
        CheckException(this, -13930);
    TDeviceSelectionForm dialog(OwnerWindow(Owner()));
    dialog.ShowTapiDevices = true;
    dialog.ShowPorts = false;
    dialog.FilterUnsupportedDevices = false;
    dialog.EnableVoice = enableVoice_;
    dialog.DeviceName = selectedDevice_;
    if (dialog.ShowModal() != mrOk)
        CheckException(this, -13930);
    selectedDevice_ = dialog.DeviceName;
    selectedLine_ = DeviceIDFromName(selectedDevice_);
    return selectedLine_;
}

// ---- Line and call

void TSioCustomTapiDevice::SetOpen(bool value) {
    StartTapi();
    const DWORD mediaMode = enableVoice_ ? LINEMEDIAMODE_AUTOMATEDVOICE : LINEMEDIAMODE_DATAMODEM;
    if (value)
        selectedLine_ = GetSelectedLine();
    if (value == open_)
        return;
    if (!value) {
        HangupCall(false);
        return;
    }
    failReported_ = false;
    CheckError(tuLineOpen(lineApp_, DWORD(selectedLine_), lineHandle_, apiVersion_, 0,
                          reinterpret_cast<DWORD_PTR>(this), LinePrivileges[dialing_], mediaMode, nullptr));
    lineOpened_ = true;
    lineUsed_ = true;
    CheckError(tuLineSetStatusMessages(lineHandle_, AllLineStates, AllAddressStates));
    open_ = true;
    if (attempt_ == 1 || !dialing_)
        TapiLogging(ltapiCallStart);
}

void TSioCustomTapiDevice::ConfigAndOpen() {
    AssureTapiReady();
    StartTapi();
    dialing_ = false;
    passThroughMode_ = true;
    SetOpen(false);
    {
        const TWaitCursor cursor;
        SetOpen(true);
    }
    SetOpen(false);
    DialPrim(true);
}

void TSioCustomTapiDevice::CancelCall() {
    StopWaveFile();
    TapiLogging(ltapiCancel);
    HangupCall(true);
    waitingForCall_ = false;
}

void TSioCustomTapiDevice::DialPrim(bool passThrough) {
    if (lineOpened_)
        return;
    StartTapi();
    dialing_ = true;
    SetOpen(true);
    TLineCallParams params{};
    params.dwTotalSize = sizeof params;
    params.dwBearerMode = BearerModes[passThrough];
    params.dwMediaMode = enableVoice_ ? LINEMEDIAMODE_AUTOMATEDVOICE : LINEMEDIAMODE_DATAMODEM;
    params.dwCallParamFlags = LINECALLPARAMFLAGS_IDLE;
    params.dwAddressMode = LINEADDRESSMODE_ADDRESSID;
    params.dwAddressID = 0;
    failReported_ = false;
    TapiLogging(ltapiDial);
    const std::string number = Number.substr(0, MaxNumberLength);
    LONG result = WaitForReply(tuLineMakeCall(lineHandle_, callHandle_, number.c_str(), 0, &params));
    if (result == 2)
        result = LINEERR_CALLUNAVAIL; // never answered: the call is given up, not left hanging
    if (result >= 0)
        return;
    failureCode_ = result;
    TapiLogging(ltapiDialFail);
    redial_ = false;
    HangupCall(true);
    waitingForCall_ = false;
    if (!OnTapiFail)
        CheckException(this, -13805);
    PostTapiEvent(teFail);
}

LONG TSioCustomTapiDevice::WaitForReply(LONG request) {
    if (waitingReply_)
        return 1;
    if (request <= 0)
        return request;
    TGuardFlag waiting(waitingReply_);
    requestedID_ = request;
    replyReceived_ = false;
    const TDeadline deadline(ReplyTimeoutMs);
    while (!replyReceived_) {
        if (!lineOpened_)
            return 1;
        if (deadline.Passed())
            return 2;
        PumpMessages();
    }
    return replyResult_;
}

bool TSioCustomTapiDevice::WaitUntil(const std::function<bool()>& done, std::int64_t timeoutMs) {
    const TDeadline deadline(timeoutMs);
    while (!done()) {
        if (deadline.Passed())
            return false;
        PumpMessages();
    }
    return true;
}

LONG TSioCustomTapiDevice::WaitForCallState(DWORD state) {
    if (waitingCallState_)
        return 1;
    callStateReceived_ = false;
    TGuardFlag waiting(waitingCallState_);
    if (state != 0 && callState_ == state)
        return 0;
    const TDeadline deadline(ReplyTimeoutMs);
    for (;;) {
        if (callStateReceived_ && (state == 0 || callState_ == state))
            return 0;
        if (!lineOpened_)
            return 1;
        if (deadline.Passed())
            return 2;
        PumpMessages();
    }
}

bool TSioCustomTapiDevice::HangupCall(bool abortRetry) {
    const bool hadConnected = callConnected_;
    if (hangingUp_)
        return true;
    if (!lineOpened_) {
        CallEnded(abortRetry, hadConnected, lineUsed_);
        hangingUp_ = false;
        lineOpened_ = false;
        open_ = false;
        callConnected_ = false;
        failReported_ = false;
        lineHandle_ = 0;
        callHandle_ = 0;
        return true;
    }
    hangingUp_ = true;
    try {
        ReleaseLine();
    } catch (...) {
        try {
            FinishHangup(abortRetry, hadConnected);
        } catch (...) {
        }
        throw;
    }
    FinishHangup(abortRetry, hadConnected);
    return true;
}

// Closes the port, drops and frees the call, closes the line.
void TSioCustomTapiDevice::ReleaseLine() {
    const bool portWasOpen = CloseTapiPort();
    if (callHandle_ != 0) {
        if (GetTapiState() != tsIdle) {
            WaitForReply(tuLineDrop(callHandle_, nullptr, 0));
            WaitForCallState(LINECALLSTATE_IDLE);
        }
        tuLineDeallocateCall(callHandle_);
    }
    if (lineHandle_ != 0)
        tuLineClose(lineHandle_);
    callHandle_ = 0;
    lineHandle_ = 0;
    open_ = false;
    callConnected_ = false;
    lineOpened_ = false;
    if (portWasOpen)
        PostTapiEvent(tePortClose);
    TapiLogging(ltapiDrop);
}

void TSioCustomTapiDevice::FinishHangup(bool abortRetry, bool hadConnected) {
    const struct TClear {
        TSioCustomTapiDevice& self;
        ~TClear() {
            self.hangingUp_ = false;
            self.lineOpened_ = false;
        }
    } clear{*this};
    CallEnded(abortRetry, hadConnected, true);
}

void TSioCustomTapiDevice::CallEnded(bool abortRetry, bool hadConnected, bool report) {
    if (abortRetry)
        redial_ = false;
    if (redial_ && attempt_ < MaxAttempts) {
        CreateDialTimer();
        return;
    }
    redial_ = false;
    if (passThroughMode_ || !report)
        return;
    TapiStatus(false, true, 0, 0, 0, 0, 0);
    TapiLogging(ltapiCallFinish);
    if (!hadConnected) {
        TapiLogging(ltapiDialFail);
        PostTapiEvent(teFail);
    }
}

TTapiState TSioCustomTapiDevice::GetTapiState() {
    if (callHandle_ == 0)
        return tsIdle;
    TCallStatus* fetched = nullptr;
    const LONG result = tuLineGetCallStatusDyn(callHandle_, fetched);
    const TTapiBuffer<TCallStatus> status(fetched);
    if (result != 0 || !status)
        return tsUnknown;
    for (int bit = 0; bit < int(tsUnknown); ++bit)
        if (status->dwCallState == (DWORD(1) << bit))
            return TTapiState(bit);
    return tsUnknown;
}

std::int32_t TSioCustomTapiDevice::CidFromTapiDevice() {
    TVarString& id = VarStringBuf();
    if (tuLineGetID(lineHandle_, 0, callHandle_, LINECALLSELECT_CALL, id, "comm/datamodem") != 0)
        return -1;
    if (id.dwStringSize < sizeof(std::int32_t) || id.dwStringOffset > id.dwTotalSize - sizeof(std::int32_t))
        return -1;
    std::int32_t handle = 0;
    std::memcpy(&handle, varStringBuf_ + id.dwStringOffset, sizeof handle);
    return handle;
}

void TSioCustomTapiDevice::UpdateCallInfo(HCALL call) {
    callInfo_.reset();
    TCallInfo* fetched = nullptr;
    const LONG result = tuLineGetCallInfoDyn(call, fetched);
    TTapiBuffer<TCallInfo> info(fetched);
    if (result == 0)
        callInfo_ = std::move(info);
}

void TSioCustomTapiDevice::CopyCallInfo(TCallInfo*& out) const {
    out = nullptr;
    if (!callInfo_)
        return;
    out = static_cast<TCallInfo*>(std::malloc(callInfo_->dwTotalSize));
    if (!out)
        throw std::bad_alloc();
    std::memcpy(out, callInfo_.get(), callInfo_->dwTotalSize);
}

std::string TSioCustomTapiDevice::GetCallerID() const {
    return PartyText(callInfo_.get(), &TCallInfo::dwCallerIDFlags, &TCallInfo::dwCallerIDSize,
                     &TCallInfo::dwCallerIDOffset, true);
}

std::string TSioCustomTapiDevice::GetCallerIDName() const {
    return PartyText(callInfo_.get(), &TCallInfo::dwCallerIDFlags, &TCallInfo::dwCallerIDNameSize,
                     &TCallInfo::dwCallerIDNameOffset, false);
}

std::string TSioCustomTapiDevice::GetCalledID() const {
    return PartyText(callInfo_.get(), &TCallInfo::dwCalledIDFlags, &TCallInfo::dwCalledIDSize,
                     &TCallInfo::dwCalledIDOffset, true);
}

std::string TSioCustomTapiDevice::GetCalledIDName() const {
    return PartyText(callInfo_.get(), &TCallInfo::dwCalledIDFlags, &TCallInfo::dwCalledIDNameSize,
                     &TCallInfo::dwCalledIDNameOffset, false);
}

// ---- The line callback

void TapiLineCallback(DWORD device, DWORD message, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR param2,
                      DWORD_PTR param3) {
    Guarded([&] {
        if (message == LINE_CREATE)
            BroadcastTapiNewLine(DWORD(param1));
        auto* self = reinterpret_cast<TSioCustomTapiDevice*>(instance);
        if (!self || !LiveDevices().count(self))
            return;
        self->Dispatch(device, message, DWORD(param1), DWORD(param2), DWORD(param3));
    });
}

void TSioCustomTapiDevice::Dispatch(DWORD device, DWORD message, DWORD param1, DWORD param2, DWORD param3) {
    using Handler = void (TSioCustomTapiDevice::*)(std::int32_t, std::int32_t, std::int32_t, std::int32_t);
    Handler handler = nullptr;
    switch (message) {
    case LINE_CALLINFO:
        handler = &TSioCustomTapiDevice::DoLineCallInfo;
        break;
    case LINE_CALLSTATE:
        handler = &TSioCustomTapiDevice::DoLineCallState;
        break;
    case LINE_CLOSE:
        handler = &TSioCustomTapiDevice::DoLineClose;
        break;
    case LINE_GENERATE:
        handler = &TSioCustomTapiDevice::DoLineGenerate;
        break;
    case LINE_LINEDEVSTATE:
        handler = &TSioCustomTapiDevice::DoLineDevState;
        break;
    case LINE_MONITORDIGITS:
        handler = &TSioCustomTapiDevice::DoLineMonitorDigits;
        break;
    case LINE_MONITORMEDIA:
        handler = &TSioCustomTapiDevice::DoLineMonitorMedia;
        break;
    case LINE_MONITORTONE:
        handler = &TSioCustomTapiDevice::DoLineMonitorTone;
        break;
    case LINE_REPLY:
        handler = &TSioCustomTapiDevice::DoLineReply;
        break;
    case LINE_REQUEST:
        handler = &TSioCustomTapiDevice::DoLineRequest;
        break;
    case LINE_CREATE:
        handler = &TSioCustomTapiDevice::DoLineCreate;
        break;
    default:
        return;
    }
    (this->*handler)(std::int32_t(device), std::int32_t(param1), std::int32_t(param2), std::int32_t(param3));
}

void TSioCustomTapiDevice::DoLineCallInfo(std::int32_t device, std::int32_t p1, std::int32_t p2,
                                          std::int32_t p3) {
    UpdateCallInfo(HCALL(device));
    if (DWORD(p1) & LINECALLINFOSTATE_CALLERID)
        TapiCallerID(Trimmed(GetCallerID()), Trimmed(GetCallerIDName()));
    TapiStatus(false, false, device, LINE_CALLINFO, p1, p2, p3);
}

void TSioCustomTapiDevice::DoLineCallState(std::int32_t device, std::int32_t p1, std::int32_t p2,
                                           std::int32_t p3) {
    const HCALL call = HCALL(device);
    const DWORD state = DWORD(p1);
    callState_ = state;
    callStateReceived_ = true;
    const auto status = [&](bool first, bool last) {
        TapiStatus(first, last, device, LINE_CALLSTATE, p1, p2, p3);
    };
    switch (state) {
    case LINECALLSTATE_IDLE:
        status(false, false);
        HangupCall(false);
        break;
    case LINECALLSTATE_OFFERING:
        UpdateCallInfo(call);
        if (!callInfo_)
            CheckException(this, -13934);
        if (callInfo_->dwMediaMode & AcceptedMedia[enableVoice_]) {
            callHandle_ = call;
            status(true, false);
            WaitForReply(tuLineAccept(call, nullptr, 0));
            TapiLogging(ltapiAccept);
        }
        break;
    case LINECALLSTATE_DIALTONE:
        status(true, false);
        break;
    case LINECALLSTATE_BUSY:
        TapiLogging(ltapiBusy);
        status(false, false);
        HangupCall(false);
        break;
    case LINECALLSTATE_SPECIALINFO:
        status(false, false);
        HangupCall(false);
        break;
    case LINECALLSTATE_CONNECTED:
        if (callConnected_)
            break;
        UpdateCallInfo(call);
        callConnected_ = true;
        FreeDialTimer();
        redial_ = false;
        if (enableVoice_)
            MonitorDTMF(call, LINEDIGITMODE_DTMF);
        else
            OpenTapiPort();
        status(false, true);
        PostTapiEvent(teConnect);
        TapiLogging(ltapiConnect);
        break;
    case LINECALLSTATE_DISCONNECTED:
        failureCode_ = p2;
        status(false, false);
        if (DWORD(p2) == LINEDISCONNECTMODE_BUSY)
            TapiLogging(ltapiBusy);
        HangupCall(false);
        break;
    default: // ACCEPTED, DIALING, RINGBACK, PROCEEDING, ONHOLD and the rest
        status(false, false);
        break;
    }
}

void TSioCustomTapiDevice::DoLineClose(std::int32_t, std::int32_t, std::int32_t, std::int32_t) {
    lineHandle_ = 0;
    callHandle_ = 0;
    HangupCall(true);
}

void TSioCustomTapiDevice::DoLineCreate(std::int32_t, std::int32_t p1, std::int32_t, std::int32_t) {
    const DWORD newId = DWORD(p1);
    if (DWORD(deviceCount_) <= newId)
        deviceCount_ = std::int32_t(newId + 1);
    // The registration's count grows too, so that the new line is looked at.
    numDevices_ = std::max(numDevices_, newId + 1);
    EnumLineDevices();
}

void TSioCustomTapiDevice::DoLineDevState(std::int32_t device, std::int32_t p1, std::int32_t p2,
                                          std::int32_t p3) {
    switch (DWORD(p1)) {
    case LINEDEVSTATE_RINGING:
        TapiStatus(false, false, device, LINE_LINEDEVSTATE, p1, p2, p3);
        if (p3 >= AnswerOnRing && callHandle_ != 0) { // a call was offered and taken
            WaitForReply(tuLineAnswer(callHandle_, nullptr, 0));
            TapiLogging(ltapiAnswer);
        }
        break;
    case LINEDEVSTATE_OUTOFSERVICE:
    case LINEDEVSTATE_DISCONNECTED:
    case LINEDEVSTATE_MAINTENANCE:
        HangupCall(true);
        break;
    case LINEDEVSTATE_REINIT:
        if (p2 == 0)
            StopTapi();
        else if (DWORD(p2) == LINE_LINEDEVSTATE)
            DoLineDevState(device, p3, 0, 0);
        else if (DWORD(p2) == LINE_CREATE)
            DoLineCreate(device, p3, 0, 0);
        break;
    default:
        break;
    }
}

void TSioCustomTapiDevice::DoLineGenerate(std::int32_t, std::int32_t, std::int32_t, std::int32_t) {}

void TSioCustomTapiDevice::DoLineMonitorDigits(std::int32_t, std::int32_t p1, std::int32_t, std::int32_t) {
    TapiDTMF(char(p1 & 0xFF), 0);
    TapiLogging(ltapiReceivedDigit);
}

void TSioCustomTapiDevice::DoLineMonitorMedia(std::int32_t device, std::int32_t p1, std::int32_t p2,
                                              std::int32_t p3) {
    TapiStatus(false, false, device, LINE_MONITORMEDIA, p1, p2, p3);
}

void TSioCustomTapiDevice::DoLineMonitorTone(std::int32_t device, std::int32_t p1, std::int32_t p2,
                                             std::int32_t p3) {
    TapiStatus(false, false, device, LINE_MONITORTONE, p1, p2, p3);
}

void TSioCustomTapiDevice::DoLineReply(std::int32_t, std::int32_t p1, std::int32_t p2, std::int32_t) {
    if (p1 != requestedID_)
        return;
    replyReceived_ = true;
    replyResult_ = p2;
}

void TSioCustomTapiDevice::DoLineRequest(std::int32_t device, std::int32_t p1, std::int32_t p2,
                                         std::int32_t p3) {
    TapiStatus(false, false, device, LINE_REQUEST, p1, p2, p3);
}

// ---- Reports

void TSioCustomTapiDevice::TapiStatus(bool first, bool last, std::int32_t device, std::int32_t message,
                                      std::int32_t param1, std::int32_t param2, std::int32_t param3) {
    if (passThroughMode_)
        return;
    if (statusDisplay_)
        statusDisplay_->UpdateDisplay(first, last, std::uint32_t(device), std::uint32_t(message),
                                      std::uint32_t(param1), std::uint32_t(param2), std::uint32_t(param3));
    if (OnTapiStatus && (message || param1 || param2 || param3))
        OnTapiStatus(this, first, last, device, message, param1, param2, param3);
}

void TSioCustomTapiDevice::TapiLogging(TTapiLogCode code) {
    if (tapiLog_)
        tapiLog_->UpdateLog(code);
    if (OnTapiLog)
        OnTapiLog(this, code);
}

void TSioCustomTapiDevice::TapiPortOpen() {
    if (OnTapiPortOpen)
        OnTapiPortOpen(this);
}

void TSioCustomTapiDevice::TapiPortClose() {
    if (OnTapiPortClose)
        OnTapiPortClose(this);
}

void TSioCustomTapiDevice::TapiConnect() {
    if (OnTapiConnect)
        OnTapiConnect(this);
}

void TSioCustomTapiDevice::TapiFail() {
    if (failReported_)
        return;
    failReported_ = true;
    if (OnTapiFail)
        OnTapiFail(this);
    if (!open_)
        waitingForCall_ = false;
}

void TSioCustomTapiDevice::TapiCallerID(const std::string& id, const std::string& idName) {
    if (OnTapiCallerID)
        OnTapiCallerID(this, id, idName);
}

void TSioCustomTapiDevice::PostTapiEvent(TTapiEvent event, LPARAM lParam) {
    PostMessage(TapiWnd(), TapiEventMessage, event, lParam);
}

LRESULT TSioCustomTapiDevice::WndProc(unsigned message, WPARAM wParam, LPARAM lParam) {
    constexpr unsigned WM_QUERYENDSESSION = 0x11;
    if (message == WM_QUERYENDSESSION)
        return 1;
    if (message >= MM_WOM_OPEN && message <= MM_WIM_DATA) {
        WaveMessage(message, wParam, lParam);
        return 0;
    }
    if (message != TapiEventMessage)
        return 0;
    switch (wParam) {
    case teConnect:
        TapiConnect();
        break;
    case tePortOpen:
        TapiPortOpen();
        break;
    case tePortClose:
        TapiPortClose();
        break;
    case teFail:
        TapiFail();
        break;
    case teNewLine:
        DoLineCreate(0, std::int32_t(lParam), 0, 0);
        break;
    default:
        break;
    }
    return 0;
}
