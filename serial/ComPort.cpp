#include "serial/ComPort.h"

#include <algorithm>
#include <cctype>
#include <utility>

#include "serial/ErrorCodes.h"
#include "serial/Exceptions.h"
#include "serial/Win32Dispatcher.h"

namespace {

constexpr std::uint32_t UseEventWordOption = 4;
constexpr std::uint32_t MaxLogSize = 16'000'000;
constexpr std::size_t MaxWaitTexts = 127;
constexpr std::size_t MaxWaitTextLength = 255;

// Holds the port list's lock for a scope.
struct TPortListLock {
    TPortListLock() { TSioBaseDispatcher::LockPortList(); }
    ~TPortListLock() { TSioBaseDispatcher::UnlockPortList(); }
    TPortListLock(const TPortListLock&) = delete;
    TPortListLock& operator=(const TPortListLock&) = delete;
};

char Fold(char c, bool ignoreCase) {
    return ignoreCase ? char(std::toupper(static_cast<unsigned char>(c))) : c;
}

} // namespace

TSioCustomComPort::TSioCustomComPort(const void* owner) : TSioBaseComponent(owner) {}

TSioCustomComPort::~TSioCustomComPort() {
    SetComponentState(csDestroying, true);
    try {
        DonePort();
    } catch (...) {
        // a trace or log that could not be written; the port is closed all the same
    }
    // A close left pending (from inside a handler) finishes now; the window takes no more messages.
    if (portState_ == psShuttingDown)
        FinishClose();
    users_.clear();
    TSioBaseDispatcher::ClearSaveBuffers(saveTriggers_);
}

// Opening and closing.

void TSioCustomComPort::SetOpen(bool on) {
    if (ComponentState() & (csDesigning | csLoading)) {
        open_ = on;
        if (on)
            openOnLoad_ = true;
        return;
    }
    if (!on) {
        reopenPending_ = false;
        DonePort();
    } else if (portState_ == psClosed) {
        InitPort();
    } else if (portState_ == psShuttingDown) {
        reopenPending_ = true;
    }
}

void TSioCustomComPort::Loaded() {
    TSioBaseComponent::Loaded();
    if (ComponentState() & csDesigning)
        return;
    if (openOnLoad_)
        open_ = true;
    if (!open_)
        return;
    openOnLoad_ = false;
    open_ = false;
    try {
        InitPort();
    } catch (...) {
        open_ = false;
        ApplicationHandleException(std::current_exception());
    }
}

std::string TSioCustomComPort::DeviceName() const {
    return "\\\\.\\COM" + std::to_string(comNumber_);
}

void TSioCustomComPort::ValidateComport() {
    if (comNumber_ != 0)
        return;
    std::uint16_t chosen = 0;
    if (promptForPort_ && PromptForComPort(chosen) && chosen != 0)
        comNumber_ = chosen;
    else
        CheckException(this, ecNoPortSelected);
}

TSioBaseDispatcher* TSioCustomComPort::ActivateDeviceLayer() {
    if (CustomDispatcher)
        return CustomDispatcher(*this);
    if (deviceLayer_ != dlWin32) {
        CheckException(this, ecNullApi);
        return nullptr;
    }
    if (tapiMode_ == tmOn)
        return new TSioTAPI32Dispatcher(this, HANDLE(TapiCid));
    return new TSioWin32Dispatcher(this);
}

void TSioCustomComPort::InitializePort() {
    std::uint32_t options = (dtr_ ? ipDtr : 0) | (rts_ ? ipRts : 0);
    if (hwFlowOptions_.Contains(hwfUseDTR))
        options |= ipDtrAuto;
    if (hwFlowOptions_.Contains(hwfUseRTS))
        options |= ipRtsAuto;
    const std::string name = DeviceName();
    std::int32_t r =
        dispatcher_->InitPort(tapiMode_ == tmOn ? nullptr : name.c_str(), baud_, parity_,
                              std::uint8_t(dataBits_), std::uint8_t(stopBits_), inSize_, outSize_, options);
    if (r == ecAccessDenied)
        r = ecAlreadyOpen;
    else if (r == ecFileNotFound || r == ecPathNotFound)
        r = ecBadId;
    CheckException(this, r);
}

void TSioCustomComPort::InitPort() {
    if (tapiMode_ != tmOn)
        ValidateComport();
    dispatcher_.reset(ActivateDeviceLayer());
    if (!dispatcher_)
        return; // while loading, when the failure raised nothing
    dispatcher_->DeviceName = DeviceName();
    try {
        if (tapiMode_ == tmOn) {
            // The line as the telephony layer left it is what the port starts with.
            if (ValidDispatcher()->ComHandle() < 0)
                CheckException(this, ecNotOpenedByTapi);
            std::uint16_t parity = 0;
            std::uint8_t dataBits = 0, stopBits = 0;
            dispatcher_->GetLine(baud_, parity, dataBits, stopBits);
            parity_ = TParity(parity);
            dataBits_ = dataBits;
            stopBits_ = stopBits;
            std::uint32_t hw = 0, sw = 0, full = 0, resume = 0;
            dispatcher_->GetFlowOptions(hw, sw, full, resume, xOnChar_, xOffChar_);
            hwFlowOptions_ = {};
            for (const THWFlowOptions o : {hwfUseDTR, hwfUseRTS, hwfRequireDSR, hwfRequireCTS}) {
                if (hw & (1u << o))
                    hwFlowOptions_.Include(o);
            }
            swFlowOptions_ = (sw & sfReceive) && (sw & sfTransmit) ? swfBoth
                             : (sw & sfReceive)                    ? swfReceive
                             : (sw & sfTransmit)                   ? swfTransmit
                                                                   : swfNone;
        }
        InitializePort();
        portState_ = psOpen;
        UpdateHandlerFlag();
        // The flow settings reach the freshly opened port even where they did not change.
        forceApply_ = true;
        SetTracing(trace_.State);
        SetLogging(log_.State);
        SetHWFlowOptions(hwFlowOptions_);
        SetSWFlowOptions(swFlowOptions_);
        SetXOnChar(xOnChar_);
        SetXOffChar(xOffChar_);
        SetTriggerLength(triggerLength_);
        SetDTR(dtr_);
        SetRTS(rts_);
        SetUseEventWord(useEventWord_);
        SetRS485Mode(rs485Mode_);
        SetThreadBoost(threadBoost_);
        forceApply_ = false;
        open_ = true;
        RegisterComPort(true);
        if (triggersSaved_)
            dispatcher_->RestoreTriggers(saveTriggers_);
        PortOpen();
    } catch (...) {
        forceApply_ = false;
        open_ = false;
        portState_ = psClosed;
        RegisterComPort(false);
        dispatcher_.reset();
        throw;
    }
}

void TSioCustomComPort::RegisterComPort(bool on) {
    if (on) {
        comWindow_ = std::make_unique<TMessageWindow>(
            [this](unsigned msg, WPARAM wParam, LPARAM lParam) { return WindowProc(msg, wParam, lParam); });
        dispatcher_->RegisterWndTriggerHandler(comWindow_->Handle());
        return;
    }
    if (!comWindow_)
        return;
    if (dispatcher_)
        dispatcher_->DeregisterWndTriggerHandler(comWindow_->Handle());
    comWindow_.reset(); // from inside its own procedure it goes once that returns
}

void TSioCustomComPort::DonePort() {
    if (portState_ != psOpen)
        return;
    // What a running trace or log holds is written out; a file that fails does not stop the close.
    std::exception_ptr dumpFailed;
    for (auto dump : {&TSioCustomComPort::SetTracing, &TSioCustomComPort::SetLogging}) {
        try {
            (this->*dump)(tlDump);
        } catch (...) {
            if (!dumpFailed)
                dumpFailed = std::current_exception();
        }
    }
    portState_ = psShuttingDown;
    PortClosing();
    dispatcher_->SaveTriggers(saveTriggers_);
    triggersSaved_ = true;
    dispatcher_->DonePort();
    if (dispatcher_->ClosePending()) {
        // A handler is running, and the dispatch thread waits for it: the rest waits for the window.
        PostMessage(comWindow_->Handle(), PortClosingMessage, 0, LPARAM(dispatcher_->PortIndex()) << 16);
        SafeYield();
    } else {
        FinishClose();
    }
    PortClose();
    // A handler that ran while the close waited for the notification to end asked for the port again.
    if (portState_ == psClosed && std::exchange(reopenPending_, false))
        InitPort();
    if (dumpFailed)
        std::rethrow_exception(dumpFailed);
}

void TSioCustomComPort::FinishClose() {
    RegisterComPort(false);
    dispatcher_.reset(); // closes what the dispatcher still holds, once its threads have ended
    portState_ = psClosed;
    open_ = false;
}

void TSioCustomComPort::DeviceLost(std::int32_t code) {
    if (portState_ != psOpen)
        return;
    // What stopped the threads, for the operator: a handler's exception with its own message.
    const std::exception_ptr error = dispatcher_->TakeFailureError();
    DonePort();
    if (error)
        std::rethrow_exception(error);
    if (code != ecDeviceRead && code != ecDeviceWrite)
        CheckException(this, code);
}

void TSioCustomComPort::FireUsers(const std::function<void(const TUserListEntry&)>& each) {
    const std::vector<TUserListEntry> users = users_; // a callback may change the list
    for (auto entry = users.rbegin(); entry != users.rend(); ++entry)
        each(*entry);
}

void TSioCustomComPort::TellUsersOpenOrClosed(bool opened) {
    FireUsers([this, opened](const TUserListEntry& e) {
        if (e.Handle)
            SendMessage(e.Handle, opened ? PortOpenMessage : PortCloseMessage, 0, 0);
        else if (e.IsEx && e.CallbackEx)
            e.CallbackEx(this, opened ? ctOpen : ctClosed);
        else if (!e.IsEx && e.Callback)
            e.Callback(this, opened);
    });
}

void TSioCustomComPort::PortOpen() {
    TellUsersOpenOrClosed(true);
    if (onPortOpen_)
        onPortOpen_(this);
}

void TSioCustomComPort::PortClose() {
    TellUsersOpenOrClosed(false);
    if (onPortClose_)
        onPortClose_(this);
}

void TSioCustomComPort::PortClosing() {
    FireUsers([this](const TUserListEntry& e) {
        if (!e.IsEx)
            return;
        if (e.Handle)
            SendMessage(e.Handle, PortClosingMessage, 0, 0);
        else if (e.CallbackEx)
            e.CallbackEx(this, ctClosing);
    });
}

// The hidden window.

LRESULT TSioCustomComPort::WindowProc(unsigned msg, WPARAM wParam, LPARAM lParam) {
    const bool ours = (msg >= TriggerAvailMessage && msg <= TriggerStatusMessage) ||
                      msg == PortClosingMessage || msg == DeviceLostMessage;
    if (!ours || (ComponentState() & csDestroying))
        return 0;
    TPortListLock lock;
    TSioBaseDispatcher* d = TSioBaseDispatcher::PortListItem(std::int32_t(std::uint32_t(lParam) >> 16));
    if (!d || d != dispatcher_.get())
        return 0; // a message for a dispatcher that has gone
    try {
        switch (msg) {
        case PortClosingMessage:
            if (portState_ != psShuttingDown)
                break;
            if (d->DispActive()) {
                Sleep(1); // the threads end within a few waits of theirs
                PostMessage(comWindow_->Handle(), PortClosingMessage, 0, lParam);
                break;
            }
            FinishClose();
            if (reopenPending_) {
                reopenPending_ = false;
                InitPort();
            }
            break;
        case DeviceLostMessage:
            DeviceLost(std::int32_t(std::uint32_t(wParam)));
            break;
        default:
            Notify(msg, wParam, lParam);
            break;
        }
    } catch (...) {
        ApplicationHandleException(std::current_exception());
    }
    return 0;
}

void TSioCustomComPort::Notify(unsigned msg, WPARAM wParam, LPARAM lParam) {
    if (portState_ != psOpen)
        return; // the port is closing: nothing more is told
    const auto handle = std::uint16_t(wParam);
    Trigger(std::uint16_t(msg), handle, msg == TriggerAvailMessage ? handle : std::uint16_t(lParam));
    switch (msg) {
    case TriggerAvailMessage:
        TriggerAvail(handle);
        break;
    case TriggerDataMessage:
        TriggerData(handle);
        break;
    case TriggerTimerMessage:
        TriggerTimer(handle);
        break;
    default:
        TriggerStatus(handle);
        switch (TSioBaseDispatcher::ClassifyStatusTrigger(handle)) {
        case stModem:
            TriggerModemStatus();
            break;
        case stLine: {
            const std::uint16_t error = LineError();
            TriggerLineError(error, LineBreak());
            break;
        }
        case stOutBuffFree:
            TriggerOutbuffFree();
            break;
        case stOutBuffUsed:
            TriggerOutbuffUsed();
            break;
        case stOutSent:
            TriggerOutSent();
            break;
        default:
            break;
        }
        break;
    }
}

void TSioCustomComPort::Trigger(std::uint16_t msg, std::uint16_t triggerHandle, std::uint16_t data) {
    if (onTrigger_)
        onTrigger_(this, msg, triggerHandle, data);
}

void TSioCustomComPort::TriggerAvail(std::uint16_t count) {
    if (onTriggerAvail_)
        onTriggerAvail_(this, count);
}

void TSioCustomComPort::TriggerData(std::uint16_t triggerHandle) {
    if (onTriggerData_)
        onTriggerData_(this, triggerHandle);
}

void TSioCustomComPort::TriggerStatus(std::uint16_t triggerHandle) {
    if (onTriggerStatus_)
        onTriggerStatus_(this, triggerHandle);
}

void TSioCustomComPort::TriggerTimer(std::uint16_t triggerHandle) {
    if (onTriggerTimer_)
        onTriggerTimer_(this, triggerHandle);
}

void TSioCustomComPort::TriggerLineError(std::uint16_t error, bool lineBreak) {
    if (onTriggerLineError_)
        onTriggerLineError_(this, error, lineBreak);
}

void TSioCustomComPort::TriggerModemStatus() {
    if (onTriggerModemStatus_)
        onTriggerModemStatus_(this);
}

void TSioCustomComPort::TriggerOutbuffFree() {
    if (onTriggerOutbuffFree_)
        onTriggerOutbuffFree_(this);
}

void TSioCustomComPort::TriggerOutbuffUsed() {
    if (onTriggerOutbuffUsed_)
        onTriggerOutbuffUsed_(this);
}

void TSioCustomComPort::TriggerOutSent() {
    if (onTriggerOutSent_)
        onTriggerOutSent_(this);
}

void TSioCustomComPort::WaitChar(char c) {
    if (onWaitChar_)
        onWaitChar_(this, c);
}

void TSioCustomComPort::UpdateHandlerFlag() {
    if (portState_ != psOpen || !dispatcher_)
        return;
    const bool any = onTrigger_ || onTriggerAvail_ || onTriggerData_ || onTriggerStatus_ || onTriggerTimer_ ||
                     onTriggerLineError_ || onTriggerModemStatus_ || onTriggerOutbuffFree_ ||
                     onTriggerOutbuffUsed_ || onTriggerOutSent_;
    dispatcher_->UpdateHandlerFlags(any ? TApHandlerFlagUpdate::fuEnablePort
                                        : TApHandlerFlagUpdate::fuDisablePort);
}

void TSioCustomComPort::SetOnTrigger(TTriggerEvent handler) {
    onTrigger_ = std::move(handler);
    UpdateHandlerFlag();
}

void TSioCustomComPort::SetOnTriggerAvail(TTriggerAvailEvent handler) {
    onTriggerAvail_ = std::move(handler);
    UpdateHandlerFlag();
}

void TSioCustomComPort::SetOnTriggerData(TTriggerHandleEvent handler) {
    onTriggerData_ = std::move(handler);
    UpdateHandlerFlag();
}

void TSioCustomComPort::SetOnTriggerStatus(TTriggerHandleEvent handler) {
    onTriggerStatus_ = std::move(handler);
    UpdateHandlerFlag();
}

void TSioCustomComPort::SetOnTriggerTimer(TTriggerHandleEvent handler) {
    onTriggerTimer_ = std::move(handler);
    UpdateHandlerFlag();
}

void TSioCustomComPort::SetOnTriggerLineError(TTriggerLineErrorEvent handler) {
    onTriggerLineError_ = std::move(handler);
    UpdateHandlerFlag();
}

void TSioCustomComPort::SetOnTriggerModemStatus(TNotifyEvent handler) {
    onTriggerModemStatus_ = std::move(handler);
    UpdateHandlerFlag();
}

void TSioCustomComPort::SetOnTriggerOutbuffFree(TNotifyEvent handler) {
    onTriggerOutbuffFree_ = std::move(handler);
    UpdateHandlerFlag();
}

void TSioCustomComPort::SetOnTriggerOutbuffUsed(TNotifyEvent handler) {
    onTriggerOutbuffUsed_ = std::move(handler);
    UpdateHandlerFlag();
}

void TSioCustomComPort::SetOnTriggerOutSent(TNotifyEvent handler) {
    onTriggerOutSent_ = std::move(handler);
    UpdateHandlerFlag();
}

// Setters.

void TSioCustomComPort::SetDeviceLayer(TDeviceLayer layer) {
    if (portState_ != psClosed || layer == deviceLayer_ || !ValidLayers.Contains(layer))
        return;
    deviceLayer_ = layer;
    DeviceLayerChanged();
}

void TSioCustomComPort::SetComNumber(std::uint16_t number) {
    if (number == comNumber_)
        return;
    if (portState_ != psOpen) {
        comNumber_ = number;
        return;
    }
    // The triggers go across as on every close and open; the trace and log start again.
    const TTraceLogState tracing = trace_.State, logging = log_.State;
    DonePort();
    comNumber_ = number;
    SetTracing(tracing);
    SetLogging(logging);
    SetOpen(true);
}

void TSioCustomComPort::ApplyLine() {
    if (portState_ == psOpen)
        CheckException(
            this, dispatcher_->SetLine(baud_, parity_, std::uint8_t(dataBits_), std::uint8_t(stopBits_)));
}

void TSioCustomComPort::SetBaud(std::int32_t baud) {
    if (baud == baud_)
        return;
    baud_ = baud;
    ApplyLine();
}

void TSioCustomComPort::SetParity(TParity parity) {
    if (parity == parity_)
        return;
    parity_ = parity;
    ApplyLine();
}

void TSioCustomComPort::SetDataBits(std::uint16_t bits) {
    if (bits == dataBits_)
        return;
    dataBits_ = bits;
    ApplyLine();
}

void TSioCustomComPort::SetStopBits(std::uint16_t bits) {
    if (bits == stopBits_)
        return;
    stopBits_ = bits;
    ApplyLine();
}

void TSioCustomComPort::SetInSize(std::uint16_t size) {
    if (size == inSize_)
        return;
    inSize_ = size;
    if (portState_ == psOpen)
        dispatcher_->SetCommBuffers(inSize_, outSize_);
}

void TSioCustomComPort::SetOutSize(std::uint16_t size) {
    if (size == outSize_)
        return;
    outSize_ = size;
    if (portState_ == psOpen)
        dispatcher_->SetCommBuffers(inSize_, outSize_);
}

void TSioCustomComPort::SetDTR(bool on) {
    if (!Applies(on != dtr_))
        return;
    // A line that hardware flow control drives keeps its state (the dispatcher gives 1).
    if (portState_ != psOpen || CheckException(this, dispatcher_->SetDtr(on)) == ecOK)
        dtr_ = on;
}

void TSioCustomComPort::SetRTS(bool on) {
    if (!Applies(on != rts_))
        return;
    if (portState_ != psOpen || CheckException(this, dispatcher_->SetRts(on)) == ecOK)
        rts_ = on;
}

std::uint32_t TSioCustomComPort::HWFlowWord() const {
    std::uint32_t word = 0;
    for (const THWFlowOptions o : {hwfUseDTR, hwfUseRTS, hwfRequireDSR, hwfRequireCTS}) {
        if (hwFlowOptions_.Contains(o))
            word |= 1u << o;
    }
    return word;
}

void TSioCustomComPort::SetHWFlowOptions(THWFlowOptionSet options) {
    if (!Applies(!(options == hwFlowOptions_)))
        return;
    const THWFlowOptionSet previous = hwFlowOptions_;
    hwFlowOptions_ = options;
    const std::uint32_t word = HWFlowWord();
    hwFlowOptions_ = previous;
    if (word != 0) {
        if (bufferFull_ == 0 || bufferFull_ > inSize_)
            bufferFull_ = std::uint16_t(inSize_ * 9 / 10);
        if (bufferResume_ == 0 || bufferResume_ > bufferFull_)
            bufferResume_ = std::uint16_t(inSize_ / 10);
    }
    if (portState_ == psOpen)
        CheckException(this, dispatcher_->HWFlowOptions(bufferFull_, bufferResume_, word));
    hwFlowOptions_ = options;
    if (options.Contains(hwfUseRTS) || options.Contains(hwfRequireCTS))
        SetRS485Mode(false);
}

void TSioCustomComPort::SetSWFlowOptions(TSWFlowOptions options) {
    if (!Applies(options != swFlowOptions_))
        return;
    const std::uint32_t word = options == swfReceive    ? sfReceive
                               : options == swfTransmit ? sfTransmit
                               : options == swfBoth     ? sfReceive | sfTransmit
                                                        : 0;
    if (word != 0) {
        if (bufferFull_ == 0 || bufferFull_ > inSize_)
            bufferFull_ = std::uint16_t(inSize_ * 3 / 4);
        if (bufferResume_ == 0 || bufferResume_ > bufferFull_)
            bufferResume_ = std::uint16_t(inSize_ / 4);
    }
    if (portState_ == psOpen) {
        CheckException(this, word != 0 ? dispatcher_->SWFlowEnable(bufferFull_, bufferResume_, word)
                                       : dispatcher_->SWFlowDisable());
    }
    swFlowOptions_ = options;
}

void TSioCustomComPort::SetXOnChar(char c) {
    if (!Applies(c != xOnChar_))
        return;
    xOnChar_ = c;
    if (portState_ == psOpen)
        CheckException(this, dispatcher_->SWFlowChars(xOnChar_, xOffChar_));
}

void TSioCustomComPort::SetXOffChar(char c) {
    if (!Applies(c != xOffChar_))
        return;
    xOffChar_ = c;
    if (portState_ == psOpen)
        CheckException(this, dispatcher_->SWFlowChars(xOnChar_, xOffChar_));
}

void TSioCustomComPort::ApplyFlowAgain() {
    const bool force = forceApply_;
    forceApply_ = true;
    try {
        SetHWFlowOptions(hwFlowOptions_);
        SetSWFlowOptions(swFlowOptions_);
    } catch (...) {
        forceApply_ = force;
        throw;
    }
    forceApply_ = force;
}

void TSioCustomComPort::SetBufferFull(std::uint16_t level) {
    if (level == bufferFull_)
        return;
    bufferFull_ = level <= inSize_ ? level : std::uint16_t(level * 9 / 10);
    ApplyFlowAgain();
}

void TSioCustomComPort::SetBufferResume(std::uint16_t level) {
    if (level == bufferResume_)
        return;
    bufferResume_ = level <= bufferFull_ ? level : std::uint16_t(bufferFull_ / 10);
    ApplyFlowAgain();
}

void TSioCustomComPort::SetUseEventWord(bool on) {
    if (!Applies(on != useEventWord_))
        return;
    useEventWord_ = on;
    if (portState_ != psOpen)
        return;
    if (on)
        dispatcher_->OptionsOn(UseEventWordOption);
    else
        dispatcher_->OptionsOff(UseEventWordOption);
}

void TSioCustomComPort::SetRS485Mode(bool on) {
    if (!Applies(on != rs485Mode_))
        return;
    rs485Mode_ = on;
    if (portState_ == psOpen)
        dispatcher_->SetRS485Mode(on);
    if (on) {
        THWFlowOptionSet options = hwFlowOptions_;
        SetHWFlowOptions(options.Exclude(hwfUseRTS).Exclude(hwfRequireCTS));
        SetRTS(false);
    }
}

void TSioCustomComPort::SetThreadBoost(TApThreadBoost boost) {
    if (!Applies(boost != threadBoost_))
        return;
    threadBoost_ = boost;
    if (portState_ == psOpen)
        dispatcher_->SetThreadBoost(std::uint8_t(boost));
}

void TSioCustomComPort::SetTriggerLength(std::uint16_t length) {
    if (!Applies(length != triggerLength_))
        return;
    triggerLength_ = length;
    if (portState_ == psOpen)
        dispatcher_->ChangeLengthTrigger(length);
}

// Trace and log states.

struct TSioCustomComPort::TRecorder {
    std::uint32_t MaxSize;
    std::int32_t (*Init)(TSioBaseDispatcher& d, std::uint32_t size);
    void (TSioBaseDispatcher::*Start)();
    void (TSioBaseDispatcher::*Stop)();
    void (TSioBaseDispatcher::*Clear)();
    void (TSioBaseDispatcher::*Abort)();
    std::int32_t (TSioBaseDispatcher::*Dump)(const std::string& fileName, bool inHex, bool allHex);
    std::int32_t (TSioBaseDispatcher::*Append)(const std::string& fileName, bool inHex, bool allHex);

    static const TRecorder Trace, Log;
};

const TSioCustomComPort::TRecorder TSioCustomComPort::TRecorder::Trace{
    MaxTraceEntries,
    [](TSioBaseDispatcher& d, std::uint32_t size) { return d.InitTracing(size); },
    &TSioBaseDispatcher::StartTracing,
    &TSioBaseDispatcher::StopTracing,
    &TSioBaseDispatcher::ClearTracing,
    &TSioBaseDispatcher::AbortTracing,
    &TSioBaseDispatcher::DumpTrace,
    &TSioBaseDispatcher::AppendTrace,
};

const TSioCustomComPort::TRecorder TSioCustomComPort::TRecorder::Log{
    MaxLogSize,
    [](TSioBaseDispatcher& d, std::uint32_t size) {
        d.InitDispatchLogging(size);
        return std::int32_t(ecOK);
    },
    &TSioBaseDispatcher::StartDispatchLogging,
    &TSioBaseDispatcher::StopDispatchLogging,
    &TSioBaseDispatcher::ClearDispatchLogging,
    &TSioBaseDispatcher::AbortDispatchLogging,
    &TSioBaseDispatcher::DumpDispatchLog,
    &TSioBaseDispatcher::AppendDispatchLog,
};

void TSioCustomComPort::SetTracing(TTraceLogState state) {
    SetRecording(TRecorder::Trace, trace_, state);
}

void TSioCustomComPort::SetLogging(TTraceLogState state) {
    SetRecording(TRecorder::Log, log_, state);
}

void TSioCustomComPort::SetRecording(const TRecorder& recorder, TRecording& recording, TTraceLogState state) {
    if (!Applies(state != recording.State))
        return;
    if (portState_ != psOpen) {
        recording.State = state == tlOn ? tlOn : tlOff;
        return;
    }
    TSioBaseDispatcher& d = *dispatcher_;
    const bool running = recording.State == tlOn || recording.State == tlPause;
    // Writing the file: the state changes first, so that a failure to write leaves it settled.
    const auto write = [&](bool append, TTraceLogState after) {
        (d.*recorder.Start)();
        recording.State = after;
        const std::int32_t r =
            (d.*(append ? recorder.Append : recorder.Dump))(recording.Name, recording.Hex, recording.AllHex);
        if (after == tlOff)
            (d.*recorder.Abort)(); // off is off: the dump's fresh start is not kept
        CheckException(this, r);
    };
    switch (state) {
    case tlOff:
        if (running) {
            (d.*recorder.Abort)();
            recording.State = tlOff;
        }
        break;
    case tlOn:
        if (recording.State == tlPause)
            (d.*recorder.Start)();
        else
            CheckException(this, recorder.Init(d, recording.Size));
        recording.State = tlOn;
        break;
    case tlDump:
    case tlAppend:
    case tlAppendAndContinue:
        if (running)
            write(state != tlDump, state == tlAppendAndContinue ? tlOn : tlOff);
        break;
    case tlClear:
        if (running)
            (d.*recorder.Clear)();
        break;
    case tlPause:
        if (recording.State == tlOn) {
            (d.*recorder.Stop)();
            recording.State = tlPause;
        }
        break;
    }
}

void TSioCustomComPort::SetTraceSize(std::uint32_t size) {
    SetRecordingSize(TRecorder::Trace, trace_, size);
}

void TSioCustomComPort::SetLogSize(std::uint32_t size) {
    SetRecordingSize(TRecorder::Log, log_, size);
}

void TSioCustomComPort::SetRecordingSize(const TRecorder& recorder, TRecording& recording,
                                         std::uint32_t size) {
    size = std::min(size, recorder.MaxSize);
    if (size == recording.Size)
        return;
    recording.Size = size;
    if (portState_ == psOpen && (recording.State == tlOn || recording.State == tlPause)) {
        const TTraceLogState previous = recording.State;
        SetRecording(recorder, recording, tlOff);
        SetRecording(recorder, recording, previous); // a running one starts anew; a paused one stays off
    }
}

// The dispatcher and the line.

TSioBaseDispatcher* TSioCustomComPort::Dispatcher() {
    if (!dispatcher_ && !(ComponentState() & (csDesigning | csLoading)) && portState_ != psOpen && autoOpen_)
        SetOpen(true);
    return dispatcher_.get();
}

TSioBaseDispatcher* TSioCustomComPort::ValidDispatcher() {
    TSioBaseDispatcher* d = Dispatcher();
    if (!d)
        CheckException(this, ecCommNotOpen);
    return d;
}

TSioBaseDispatcher* TSioCustomComPort::OperationDispatcher() {
    return portState_ == psShuttingDown ? nullptr : ValidDispatcher();
}

bool TSioCustomComPort::DSR() {
    return portState_ == psOpen && dispatcher_->CheckDSR();
}

bool TSioCustomComPort::CTS() {
    return portState_ == psOpen && dispatcher_->CheckCTS();
}

bool TSioCustomComPort::RI() {
    return portState_ == psOpen && dispatcher_->CheckRI();
}

bool TSioCustomComPort::DCD() {
    return portState_ == psOpen && dispatcher_->CheckDCD();
}

bool TSioCustomComPort::DeltaDSR() {
    return portState_ == psOpen && dispatcher_->CheckDeltaDSR();
}

bool TSioCustomComPort::DeltaCTS() {
    return portState_ == psOpen && dispatcher_->CheckDeltaCTS();
}

bool TSioCustomComPort::DeltaRI() {
    return portState_ == psOpen && dispatcher_->CheckDeltaRI();
}

bool TSioCustomComPort::DeltaDCD() {
    return portState_ == psOpen && dispatcher_->CheckDeltaDCD();
}

bool TSioCustomComPort::LineBreak() {
    return portState_ == psOpen && dispatcher_->CheckLineBreak();
}

std::uint16_t TSioCustomComPort::LineError() {
    return portState_ == psOpen ? std::uint16_t(dispatcher_->GetLineError()) : 0;
}

std::int32_t TSioCustomComPort::InBuffUsed() {
    return portState_ == psOpen ? dispatcher_->InBuffUsed() : 0;
}

std::int32_t TSioCustomComPort::InBuffFree() {
    return portState_ == psOpen ? dispatcher_->InBuffFree() : std::int32_t(DispatchBufferSize);
}

std::int32_t TSioCustomComPort::OutBuffUsed() {
    return portState_ == psOpen ? dispatcher_->OutBuffUsed() : 0;
}

std::int32_t TSioCustomComPort::OutBuffFree() {
    return portState_ == psOpen ? dispatcher_->OutBuffFree() : outSize_;
}

std::uint16_t TSioCustomComPort::BaseAddress() {
    return portState_ == psOpen ? dispatcher_->GetBaseAddress() : 0;
}

void TSioCustomComPort::SetBaseAddress(std::uint16_t address) {
    if (portState_ == psOpen)
        dispatcher_->SetBaseAddress(address);
}

std::uint8_t TSioCustomComPort::ModemStatus() {
    if (portState_ == psShuttingDown)
        return 0;
    TSioBaseDispatcher* d = ValidDispatcher();
    return d ? d->GetModemStatus() : 0;
}

TFlowControlState TSioCustomComPort::FlowState() {
    TSioBaseDispatcher* d = OperationDispatcher();
    if (!d)
        return fcOff;
    std::int32_t state = CheckException(this, d->HWFlowState());
    if (state == fsOff)
        state = CheckException(this, d->SWFlowState());
    return TFlowControlState(state - 1);
}

std::uint32_t TSioCustomComPort::LastWinError() {
    return dispatcher_ ? dispatcher_->LastWinError() : 0;
}

// Operations.

void TSioCustomComPort::PutString(const std::string& text) {
    if (TSioBaseDispatcher* d = OperationDispatcher())
        CheckException(this, d->PutString(text));
}

std::int32_t TSioCustomComPort::PutBlock(const void* buffer, std::uint32_t length) {
    if (TSioBaseDispatcher* d = OperationDispatcher())
        CheckException(this, d->PutBlock(buffer, length));
    return 0;
}

void TSioCustomComPort::PutChar(char c) {
    if (TSioBaseDispatcher* d = OperationDispatcher())
        CheckException(this, d->PutChar(std::uint8_t(c)));
}

std::int32_t TSioCustomComPort::GetBlock(void* buffer, std::uint32_t length) {
    TSioBaseDispatcher* d = OperationDispatcher();
    return d ? CheckException(this, d->GetBlock(buffer, length)) : 0;
}

std::int32_t TSioCustomComPort::PeekBlock(void* buffer, std::uint32_t length) {
    TSioBaseDispatcher* d = OperationDispatcher();
    return d ? CheckException(this, d->PeekBlock(buffer, length)) : 0;
}

char TSioCustomComPort::GetChar() {
    std::uint8_t c = 0;
    if (TSioBaseDispatcher* d = OperationDispatcher())
        CheckException(this, d->GetChar(c));
    return char(c);
}

char TSioCustomComPort::PeekChar(std::uint32_t position) {
    std::uint8_t c = 0;
    if (TSioBaseDispatcher* d = OperationDispatcher())
        CheckException(this, d->PeekChar(c, position));
    return char(c);
}

bool TSioCustomComPort::CharReady() {
    TSioBaseDispatcher* d = OperationDispatcher();
    return d && d->CharReady();
}

void TSioCustomComPort::FlushInBuffer() {
    if (TSioBaseDispatcher* d = OperationDispatcher())
        CheckException(this, d->FlushInBuffer());
}

void TSioCustomComPort::FlushOutBuffer() {
    if (TSioBaseDispatcher* d = OperationDispatcher())
        CheckException(this, d->FlushOutBuffer());
}

void TSioCustomComPort::SendBreak(std::uint32_t ticks, bool yield) {
    if (TSioBaseDispatcher* d = OperationDispatcher())
        d->SendBreak(ticks, yield);
}

void TSioCustomComPort::SetBreak(bool on) {
    if (TSioBaseDispatcher* d = OperationDispatcher())
        d->SetBreak(on);
}

void TSioCustomComPort::ProcessCommunications() {
    if (TSioBaseDispatcher* d = OperationDispatcher())
        CheckException(this, d->ProcessCommunications());
}

std::uint16_t TSioCustomComPort::AddDataTrigger(const std::string& text, bool ignoreCase) {
    TSioBaseDispatcher* d = OperationDispatcher();
    return d ? std::uint16_t(CheckException(
                   this, d->AddDataTriggerLen(text.data(), ignoreCase, std::uint32_t(text.size()))))
             : 0;
}

std::uint16_t TSioCustomComPort::AddTimerTrigger() {
    TSioBaseDispatcher* d = OperationDispatcher();
    return d ? std::uint16_t(CheckException(this, d->AddTimerTrigger())) : 0;
}

std::uint16_t TSioCustomComPort::AddStatusTrigger(std::uint16_t kind) {
    TSioBaseDispatcher* d = OperationDispatcher();
    return d ? std::uint16_t(CheckException(this, d->AddStatusTrigger(kind))) : 0;
}

void TSioCustomComPort::SetTimerTrigger(std::uint16_t handle, std::int32_t ticks, bool activate) {
    if (TSioBaseDispatcher* d = OperationDispatcher())
        CheckException(this, d->SetTimerTrigger(handle, ticks, activate));
}

void TSioCustomComPort::SetStatusTrigger(std::uint16_t handle, std::uint32_t value, bool activate) {
    if (TSioBaseDispatcher* d = OperationDispatcher())
        CheckException(this, d->SetStatusTrigger(handle, value, activate));
}

void TSioCustomComPort::RemoveTrigger(std::uint16_t handle) {
    if (portState_ == psOpen)
        CheckException(this, dispatcher_->RemoveTrigger(handle));
}

void TSioCustomComPort::RemoveAllTriggers() {
    if (portState_ != psOpen)
        return;
    dispatcher_->RemoveAllTriggers();
    triggerLength_ = 0;
}

void TSioCustomComPort::InitTracing(std::uint32_t entries) {
    if (TSioBaseDispatcher* d = OperationDispatcher())
        CheckException(this, d->InitTracing(entries));
}

void TSioCustomComPort::DumpTrace(const std::string& fileName, bool inHex, bool allHex) {
    if (TSioBaseDispatcher* d = OperationDispatcher())
        CheckException(this, d->DumpTrace(fileName, inHex, allHex));
}

void TSioCustomComPort::AppendTrace(const std::string& fileName, bool inHex, bool allHex) {
    if (TSioBaseDispatcher* d = OperationDispatcher())
        CheckException(this, d->AppendTrace(fileName, inHex, allHex));
}

void TSioCustomComPort::ClearTracing() {
    if (TSioBaseDispatcher* d = OperationDispatcher())
        d->ClearTracing();
}

void TSioCustomComPort::AbortTracing() {
    if (TSioBaseDispatcher* d = OperationDispatcher())
        d->AbortTracing();
}

void TSioCustomComPort::StartTracing() {
    if (TSioBaseDispatcher* d = OperationDispatcher())
        d->StartTracing();
}

void TSioCustomComPort::StopTracing() {
    if (TSioBaseDispatcher* d = OperationDispatcher())
        d->StopTracing();
}

void TSioCustomComPort::AddTraceEntry(char kind, char c) {
    if (TSioBaseDispatcher* d = OperationDispatcher())
        d->AddTraceEntry(kind, std::uint8_t(c));
}

void TSioCustomComPort::InitLogging(std::uint32_t maxBytes) {
    if (TSioBaseDispatcher* d = OperationDispatcher())
        d->InitDispatchLogging(maxBytes);
}

void TSioCustomComPort::DumpLog(const std::string& fileName, bool inHex, bool allHex) {
    if (TSioBaseDispatcher* d = OperationDispatcher())
        CheckException(this, d->DumpDispatchLog(fileName, inHex, allHex));
}

void TSioCustomComPort::AppendLog(const std::string& fileName, bool inHex, bool allHex) {
    if (TSioBaseDispatcher* d = OperationDispatcher())
        CheckException(this, d->AppendDispatchLog(fileName, inHex, allHex));
}

void TSioCustomComPort::ClearLogging() {
    if (TSioBaseDispatcher* d = OperationDispatcher())
        d->ClearDispatchLogging();
}

void TSioCustomComPort::AbortLogging() {
    if (TSioBaseDispatcher* d = OperationDispatcher())
        d->AbortDispatchLogging();
}

void TSioCustomComPort::StartLogging() {
    if (TSioBaseDispatcher* d = OperationDispatcher())
        d->StartDispatchLogging();
}

void TSioCustomComPort::StopLogging() {
    if (TSioBaseDispatcher* d = OperationDispatcher())
        d->StopDispatchLogging();
}

void TSioCustomComPort::AddStringToLog(const std::string& text) {
    if (TSioBaseDispatcher* d = OperationDispatcher())
        d->AddStringToLog(text);
}

// String waits.

bool TSioCustomComPort::CheckForString(std::uint8_t& index, char c, const std::string& text,
                                       bool ignoreCase) {
    if (text.empty())
        return false;
    const char folded = Fold(c, ignoreCase);
    if (index < text.size() && folded == Fold(text[index], ignoreCase)) {
        if (++index == text.size()) {
            index = 0;
            return true;
        }
        return false;
    }
    index = folded == Fold(text[0], ignoreCase) ? 1 : 0;
    return false;
}

void TSioCustomComPort::PrepareWait() {
    if (TSioBaseDispatcher* d = OperationDispatcher()) {
        d->SetEventBusy(waitWasBusy_, true);
        waitPrepared_ = true;
    }
}

std::int32_t TSioCustomComPort::WaitForTexts(const std::vector<std::string>& texts, std::int32_t timeout,
                                             bool yield, bool ignoreCase) {
    TSioBaseDispatcher* d = OperationDispatcher();
    if (!d)
        return 0;
    bool wasBusy = false;
    d->SetEventBusy(wasBusy, true); // a close meanwhile is deferred
    if (waitPrepared_)
        wasBusy = waitWasBusy_;
    waitPrepared_ = false;
    EventTimer timer;
    NewTimer(timer, timeout);
    std::vector<std::uint8_t> matched(texts.size(), 0);
    std::int32_t found = 0;
    bool quit = false;
    try {
        while (found == 0 && !TimerExpired(timer)) {
            for (std::uint8_t c = 0; found == 0;) {
                const std::int32_t r = d->GetChar(c);
                if (r == ecBufferIsEmpty || CheckException(this, r) < 0)
                    break; // nothing waits now; any other failure is the caller's
                WaitChar(char(c));
                for (std::size_t i = 0; i < texts.size() && found == 0; ++i) {
                    if (CheckForString(matched[i], char(c), texts[i], ignoreCase))
                        found = std::int32_t(i + 1);
                }
            }
            if (found != 0)
                break;
            if (yield && SafeYield() == WM_QUIT) {
                quit = true;
                break;
            }
            // The port closed under the wait: the mark stays with the dispatcher, which the close's
            // deferred message frees whatever the mark says, and a new open starts without it.
            if (dispatcher_.get() != d || portState_ != psOpen)
                return 0;
            Sleep(1);
        }
    } catch (...) {
        if (dispatcher_.get() == d)
            d->SetEventBusy(wasBusy, wasBusy);
        throw;
    }
    const bool expired = TimerExpired(timer);
    bool ignored = false;
    d->SetEventBusy(ignored, wasBusy);
    if (quit)
        return -1; // the program ends
    return expired && found == 0 ? 0 : found;
}

bool TSioCustomComPort::WaitForString(const std::string& text, std::int32_t timeout, bool yield,
                                      bool ignoreCase) {
    if (text.empty())
        return true;
    return WaitForTexts({text}, timeout, yield, ignoreCase) != 0;
}

std::int32_t TSioCustomComPort::WaitForMultiString(const std::string& texts, std::int32_t timeout, bool yield,
                                                   bool ignoreCase, char separator) {
    const std::string all = texts.substr(0, MaxWaitTextLength);
    std::vector<std::string> alternatives;
    std::size_t start = 0;
    while (start < all.size() && alternatives.size() < MaxWaitTexts) {
        const std::size_t end = std::min(all.find(separator, start), all.size());
        alternatives.push_back(all.substr(start, end - start));
        start = end + 1;
    }
    const std::int32_t found = WaitForTexts(alternatives, timeout, yield, ignoreCase);
    return found < 0 ? 0 : found;
}

// Neither needs the dispatcher.

void TSioCustomComPort::ForcePortOpen() {
    if (autoOpen_)
        openOnLoad_ = true;
}

std::string TSioCustomComPort::ComName(std::uint16_t number) {
    return "COM" + std::to_string(number);
}

TSioCustomComPort* TSioCustomComPort::SearchComPort(const void* component) {
    for (TSioBaseComponent* owned : OwnedComponents(component)) {
        if (auto* port = dynamic_cast<TSioCustomComPort*>(owned))
            return port;
        if (TSioCustomComPort* port = SearchComPort(owned))
            return port;
    }
    return nullptr;
}

void TSioCustomComPort::RegisterUser(HWND window) {
    users_.push_back({window, {}, {}, false});
}

void TSioCustomComPort::RegisterUserEx(HWND window) {
    users_.push_back({window, {}, {}, true});
}

void TSioCustomComPort::RegisterUserCallback(TPortCallback callback) {
    users_.push_back({0, callback, {}, false});
}

void TSioCustomComPort::RegisterUserCallbackEx(TPortCallbackEx callback) {
    users_.push_back({0, {}, callback, true});
}

void TSioCustomComPort::DeregisterUser(HWND window) {
    if (!(ComponentState() & csDestroying))
        std::erase_if(users_, [window](const TUserListEntry& e) { return e.Handle == window; });
}

void TSioCustomComPort::DeregisterUserCallback(TPortCallback callback) {
    if (!(ComponentState() & csDestroying))
        std::erase_if(users_, [&](const TUserListEntry& e) {
            return !e.Handle && !e.IsEx && e.Callback.Code == callback.Code;
        });
}

void TSioCustomComPort::DeregisterUserCallbackEx(TPortCallbackEx callback) {
    if (!(ComponentState() & csDestroying))
        std::erase_if(users_, [&](const TUserListEntry& e) {
            return !e.Handle && e.IsEx && e.CallbackEx.Code == callback.Code;
        });
}

void TSioCustomComPort::Assign(const TSioCustomComPort& source) {
    if (&source == this)
        return;
    SetOpen(false);
    users_ = source.users_;
    deviceLayer_ = source.deviceLayer_;
    comNumber_ = source.comNumber_;
    baud_ = source.baud_;
    promptForPort_ = source.promptForPort_;
    parity_ = source.parity_;
    dataBits_ = source.dataBits_;
    stopBits_ = source.stopBits_;
    inSize_ = source.inSize_;
    outSize_ = source.outSize_;
    autoOpen_ = source.autoOpen_;
    open_ = false;
    dtr_ = source.dtr_;
    rts_ = source.rts_;
    hwFlowOptions_ = source.hwFlowOptions_;
    swFlowOptions_ = source.swFlowOptions_;
    xOnChar_ = source.xOnChar_;
    xOffChar_ = source.xOffChar_;
    bufferFull_ = source.bufferFull_;
    bufferResume_ = source.bufferResume_;
    useEventWord_ = source.useEventWord_;
    commNotificationLevel_ = source.commNotificationLevel_;
    rs485Mode_ = source.rs485Mode_;
    // A state other than on or off means nothing to a closed port.
    trace_ = source.trace_;
    log_ = source.log_;
    for (TRecording* recording : {&trace_, &log_})
        recording->State = recording->State == tlOn ? tlOn : tlOff;
    triggerLength_ = source.triggerLength_;
    onTrigger_ = source.onTrigger_;
    onTriggerAvail_ = source.onTriggerAvail_;
    onTriggerData_ = source.onTriggerData_;
    onTriggerStatus_ = source.onTriggerStatus_;
    onTriggerTimer_ = source.onTriggerTimer_;
    onPortOpen_ = source.onPortOpen_;
    onPortClose_ = source.onPortClose_;
    tapiMode_ = source.tapiMode_;
    if (source.portState_ == psOpen) {
        source.dispatcher_->SaveTriggers(saveTriggers_);
        triggersSaved_ = true;
    }
}
