#include "serial/Dispatcher.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <utility>

#include "serial/ErrorCodes.h"
#include "serial/Exceptions.h"
#include "serial/Utilities.h"

namespace {

TCriticalSection portListSection;
std::vector<TSioBaseDispatcher*> portList;
HANDLE cachedHandle = INVALID_HANDLE_VALUE; // GetTComRecPtr's last hit
TSioBaseDispatcher* cachedDispatcher = nullptr;

std::uint32_t Wrap(std::uint32_t index) {
    return index % DispatchBufferSize;
}

} // namespace

// Threads.

TSioDispatcherThread::~TSioDispatcherThread() {
    Join();
}

void TSioDispatcherThread::Start() {
    ++Dispatcher.activeThreads_; // counted from creation, so no thread that is yet to start is missed
    try {
        thread_ = std::thread([this] { Run(); });
    } catch (...) {
        gone_ = true;
        --Dispatcher.activeThreads_;
        throw;
    }
}

void TSioDispatcherThread::Join() {
    if (thread_.joinable())
        thread_.join();
}

void TSioDispatcherThread::Run() {
    id_ = GetCurrentThreadId();
    Dispatcher.ThreadStart(*this);
    if (const int steps = Dispatcher.ThreadPriority(*this); steps > 0)
        SetThreadPriority(id_, steps);
    // An exception (a handler's, on the dispatch thread) goes to the owner as it is; its code, or
    // the one of an exception without a code of ours, stands for it meanwhile.
    const auto failed = [this](std::int32_t code) {
        Stop(code != 0 ? code : ecUnknownException, std::current_exception());
    };
    try {
        Execute();
    } catch (const std::exception& e) {
        failed(XlatException(e));
    } catch (...) {
        failed(ecUnknownException);
    }
    Dispatcher.ThreadGone(*this);
}

void TSioDispatcherThread::Stop(std::int32_t exitCode, std::exception_ptr error) {
    exitCode_ = exitCode;
    if (exitCode != 0)
        Dispatcher.RecordFailure(exitCode, std::move(error));
    Dispatcher.KillThreads = true;
}

void TSioBaseDispatcher::ThreadStart(TSioDispatcherThread&) {
    GeneralEvent->SetEvent();
}

void TSioBaseDispatcher::ThreadGone(TSioDispatcherThread& thread) {
    if (thread.Role == TThreadRole::Dispatch)
        ReportFailure(); // it may have failed itself, after the last pass
    thread.gone_ = true;
    if (--activeThreads_ == 0)
        dispActive_ = false;
}

void TSioBaseDispatcher::RecordFailure(std::int32_t exitCode, std::exception_ptr error) {
    {
        std::lock_guard data(DataSection);
        std::int32_t none = 0;
        if (failure_.compare_exchange_strong(none, exitCode))
            failureError_ = std::move(error);
    }
    InQueue.Wake();
}

std::exception_ptr TSioBaseDispatcher::TakeFailureError() {
    std::lock_guard data(DataSection);
    return std::exchange(failureError_, nullptr);
}

void TSioBaseDispatcher::ReportFailure() {
    const std::int32_t code = failure_.exchange(0);
    if (code == 0 || lost_.exchange(true))
        return;
    if (code == ecDeviceWrite || code == ecDeviceRead) {
        {
            std::lock_guard data(DataSection);
            LineErrors = LineErrorsLost;
        }
        if (!EventBusyNow())
            StatusTriggerLoop(); // an armed line-status trigger tells of the loss
    }
    std::vector<HWND> windows;
    {
        std::lock_guard data(DataSection);
        for (const TWndTriggerHandler& handler : WndTriggerHandlers) {
            if (!handler.Deleted)
                windows.push_back(handler.Window);
        }
    }
    for (HWND window : windows)
        PostMessage(window, DeviceLostMessage, WPARAM(std::uint32_t(code)), LPARAM(portIndex_) << 16);
}

void TSioBaseDispatcher::StartThread(std::unique_ptr<TSioDispatcherThread>& slot,
                                     std::unique_ptr<TSioDispatcherThread> thread) {
    slot = std::move(thread);
    slot->Start();
    GeneralEvent->WaitFor(3000);
}

int TSioBaseDispatcher::ThreadPriority(const TSioDispatcherThread& thread) {
    std::lock_guard data(DataSection);
    return ThreadBoost + (thread.Role == TThreadRole::Write && RS485Mode ? 1 : 0);
}

void TSioBaseDispatcher::SetThreadBoost(std::uint8_t boost) {
    std::lock_guard data(DataSection);
    if (boost == ThreadBoost)
        return;
    ThreadBoost = boost;
    for (const auto* slot : {&ReadThread, &DispatchThread, &WriteThread, &StatusThread}) {
        if (Present(*slot))
            SetThreadPriority((*slot)->Id(), ThreadPriority(**slot));
    }
}

// Construction and the end.

TSioBaseDispatcher::TSioBaseDispatcher(TSioBaseComponent* owner) : owner_(owner) {
    std::lock_guard list(portListSection);
    const auto slot = std::find(portList.begin(), portList.end(), nullptr);
    portIndex_ = std::int32_t(slot - portList.begin());
    if (slot == portList.end())
        portList.push_back(this);
    else
        *slot = this;
}

TSioBaseDispatcher::~TSioBaseDispatcher() {
    std::lock_guard list(portListSection);
    portList[std::size_t(portIndex_)] = nullptr;
    while (!portList.empty() && !portList.back())
        portList.pop_back();
    if (cachedDispatcher == this) {
        cachedDispatcher = nullptr;
        cachedHandle = INVALID_HANDLE_VALUE;
    }
}

void TSioBaseDispatcher::Shutdown() {
    if (shutDown_)
        return;
    shutDown_ = true;
    if (!closePending_)
        DonePort();
    // A close left pending: the workers were told to end (or have), the device may still be open.
    if (comHandle_ >= 0 || dispActive_)
        CloseCom();
    DonePortPrim();
    WaitPumping([this] { return activeThreads_ == 0; });
    ReleaseResources();
}

void TSioBaseDispatcher::WaitPumping(const std::function<bool()>& done, std::int32_t maxTicks) {
    EventTimer timer;
    NewTimer(timer, maxTicks);
    while (!done() && (maxTicks == 0 || !TimerExpired(timer))) {
        SafeYield();
        Sleep(1);
    }
}

void TSioBaseDispatcher::LockPortList() {
    portListSection.Enter();
}

void TSioBaseDispatcher::UnlockPortList() {
    portListSection.Leave();
}

TSioBaseDispatcher* TSioBaseDispatcher::PortListItem(std::int32_t index) {
    std::lock_guard list(portListSection);
    return index >= 0 && std::size_t(index) < portList.size() ? portList[std::size_t(index)] : nullptr;
}

TSioBaseDispatcher* TSioBaseDispatcher::FindByHandle(HANDLE handle) {
    if (handle < 0)
        return nullptr; // every closed dispatcher holds no handle
    // The cached one may have closed since, and its descriptor's number gone to another.
    if (cachedDispatcher && cachedHandle == handle && cachedDispatcher->comHandle_ == handle)
        return cachedDispatcher;
    for (TSioBaseDispatcher* d : portList) {
        if (d && d->comHandle_ == handle) {
            cachedHandle = handle;
            cachedDispatcher = d;
            return d;
        }
    }
    return nullptr;
}

// Opening and closing.

std::int32_t TSioBaseDispatcher::InitPort(const char* name, std::int32_t baud, std::uint32_t parity,
                                          std::uint8_t dataBits, std::uint8_t stopBits, std::uint32_t inSize,
                                          std::uint32_t outSize, std::uint32_t flowOpts) {
    if (comHandle_ >= 0 && OutBuffer)
        return ecAlreadyOpen;
    if (activeThreads_ != 0)
        return ecAlreadyOpen; // the threads of the last open have not all ended yet
    {
        std::lock_guard data(DataSection);
        RingFlag = false;
        EventBusy = false;
        HandlerDeletePending = false;
        failureError_ = nullptr;
    }
    GeneralEvent = std::make_unique<TEvent>(false, false);
    OutputEvent = std::make_unique<TEvent>(false, false);
    OutFlushEvent = std::make_unique<TEvent>(false, false);
    lost_ = false;
    failure_ = 0;

    // Keep the platform's error from before the clean-up, which makes calls of its own.
    const auto fail = [this](std::int32_t result) {
        lastWinError_ = GetLastError();
        lastErrno_ = GetLastErrno();
        DonePort();
        return result;
    };
    comHandle_ = OpenCom(name, inSize, outSize);
    if (comHandle_ < 0)
        return fail(comHandle_ == ecOutOfMemory ? ecOutOfMemory : -std::int32_t(GetLastError()));
    if (!SetupCom(std::int32_t(inSize), std::int32_t(outSize)))
        return fail(-std::int32_t(GetLastError()));

    {
        std::lock_guard data(DataSection);
        std::lock_guard disp(DispSection);
        std::lock_guard output(OutputSection);
        DispBuffer = std::make_unique<std::uint8_t[]>(DispatchBufferSize);
        OutBuffer = std::make_unique<std::uint8_t[]>(outSize);
        OutHead = OutTail = 0;
        OutFull = false;
        InQueueSize = inSize;
        OutQueueSize = outSize;
        LineErrors = 0;
        RS485Mode = false;
        BaseAddress = 0;
        DispHead = DispTail = 0;
        DispFull = false;
        InDataNotify = HandlerRunning = false;
        HandlerTaken = 0;
        Received = ScanPos = LastAvailPos = 0;
        ModemStatus = 0;
        CurrentBaud = 115200;
        GetComState(Dcb);
        DtrAuto = (flowOpts & ipDtrAuto) != 0;
        RtsAuto = (flowOpts & ipRtsAuto) != 0;
    }
    OutSent = false;
    closePending_ = false;
    RemoveAllTriggers();
    ResetStatusHits();
    if (!DtrAuto)
        SetDtr((flowOpts & ipDtr) != 0);
    if (!RtsAuto)
        SetRts((flowOpts & ipRts) != 0);
    GetModemStatusPrim(msLines);
    if (const std::int32_t r = SetLine(baud, parity, dataBits, stopBits); r != 0) {
        DonePort();
        return r;
    }
    RefreshStatus();
    AbortTracing();
    TimeBase = AdTimeGetTime();
    DLoggingOn = false;
    DLoggingMax = 0;
    StartDispatcher();
    return ecOK;
}

void TSioBaseDispatcher::DonePort() {
    if (comHandle_ >= 0) {
        FlushOutBuffer();
        FlushInBuffer();
    }
    if (InHandler()) {
        // The dispatch thread waits for the handler that called this: it cannot be waited for here.
        closePending_ = true;
        WakeThreads();
        return;
    }
    // A notification under way finishes meanwhile: the close lets its handlers run.
    if (comHandle_ >= 0)
        CloseCom();
    bool busy = false;
    {
        std::lock_guard data(DataSection);
        busy = EventBusy;
    }
    if (busy)
        closePending_ = true;
    else
        DonePortPrim();
}

void TSioBaseDispatcher::WakeThreads() {
    KillThreads = true;
    InQueue.Wake();
}

void TSioBaseDispatcher::DonePortPrim() {
    if (dispActive_)
        StopDispatcher();
    bool closing = false;
    {
        std::lock_guard data(DataSection);
        closing = InCloseCom; // a close from a message run while another close waits: that one finishes
    }
    if (activeThreads_ == 0 && !closing)
        ReleaseResources();
}

void TSioBaseDispatcher::ReleaseResources() {
    for (auto* slot : {&ReadThread, &DispatchThread, &WriteThread, &StatusThread})
        slot->reset(); // each has ended: this only joins it
    std::lock_guard data(DataSection);
    std::lock_guard disp(DispSection);
    std::lock_guard output(OutputSection);
    DispBuffer.reset();
    OutBuffer.reset();
    GeneralEvent.reset();
    OutputEvent.reset();
    OutFlushEvent.reset();
}

// Line settings.

std::int32_t TSioBaseDispatcher::SetLine(std::int32_t baud, std::uint32_t parity, std::uint8_t dataBits,
                                         std::uint8_t stopBits) {
    DCB wanted;
    {
        std::lock_guard data(DataSection);
        GetComState(Dcb);
        wanted = Dcb;
        wanted.Flags = (Dcb.Flags | DCB_BINARY | DCB_TX_CONTINUE_ON_XOFF) &
                       ~(DCB_PARITY | DCB_DSR_SENSITIVITY | DCB_NULL);
        if (baud != 0)
            wanted.BaudRate = std::uint32_t(baud);
        if (parity != KeepParity)
            wanted.Parity = std::uint8_t(parity);
        if (dataBits != KeepDataBits)
            wanted.ByteSize = dataBits;
        if (dataBits == 5)
            wanted.StopBits = ONE5STOPBITS;
        if (stopBits != KeepStopBits) {
            wanted.StopBits = std::clamp<std::uint8_t>(stopBits, 1, 2) == 1 ? ONESTOPBIT : TWOSTOPBITS;
            if (wanted.ByteSize == 5)
                wanted.StopBits = ONE5STOPBITS;
        }
        if (wanted.BaudRate == Dcb.BaudRate && wanted.Parity == Dcb.Parity &&
            wanted.ByteSize == Dcb.ByteSize && wanted.StopBits == Dcb.StopBits && wanted.Flags == Dcb.Flags)
            return ecOK;
    }
    WaitTxSent();
    std::lock_guard data(DataSection);
    GetComState(Dcb);
    Dcb.BaudRate = wanted.BaudRate;
    Dcb.Parity = wanted.Parity;
    Dcb.ByteSize = wanted.ByteSize;
    Dcb.StopBits = wanted.StopBits;
    Dcb.Flags = wanted.Flags;
    return SetCommStateFix(Dcb);
}

std::int32_t TSioBaseDispatcher::ChangeBaud(std::int32_t baud) {
    return SetLine(baud, KeepParity, KeepDataBits, KeepStopBits);
}

void TSioBaseDispatcher::GetLine(std::int32_t& baud, std::uint16_t& parity, std::uint8_t& dataBits,
                                 std::uint8_t& stopBits) {
    std::lock_guard data(DataSection);
    GetComState(Dcb);
    baud = std::int32_t(ConvertBaud(Dcb.BaudRate));
    parity = Dcb.Parity;
    dataBits = Dcb.ByteSize;
    stopBits = Dcb.StopBits != ONESTOPBIT ? 2 : 1;
}

std::uint32_t TSioBaseDispatcher::ConvertBaud(std::uint32_t value) {
    constexpr std::uint32_t Indexed[] = {110, 300, 600, 1200,  2400, 4800, 9600, 14400,  19200, 0, 0, 38400,
                                         0,   0,   0,   56000, 0,    0,    0,    128000, 0,     0, 0, 256000};
    if (value == 0xFEFF)
        return 115200;
    if (value >= 0xFF10 && value <= 0xFF27 && Indexed[value - 0xFF10] != 0)
        return Indexed[value - 0xFF10];
    return value;
}

std::int32_t TSioBaseDispatcher::SetCommStateFix(DCB& dcb) {
    std::lock_guard data(DataSection);
    if (!DtrAuto)
        dcb.Flags = (dcb.Flags & ~DCB_DTR_CONTROL) | (DtrState ? DCB_DTR_ENABLE : 0);
    if (!RtsAuto)
        dcb.Flags = (dcb.Flags & ~DCB_RTS_CONTROL) | (RtsState ? DCB_RTS_ENABLE : 0);
    const std::int32_t result = SetComState(dcb);
    CurrentBaud = dcb.BaudRate;
    SetDtr(DtrState);
    if (!RS485Mode)
        SetRts(RtsState);
    return result;
}

// Modem lines.

std::int32_t TSioBaseDispatcher::SetDtr(bool on) {
    std::lock_guard data(DataSection);
    if (DtrAuto)
        return 1;
    const std::int32_t r = EscapeComFunction(std::int32_t(on ? SETDTR : CLRDTR));
    DtrState = on;
    return r < 0 ? ecBadArgument : ecOK;
}

std::int32_t TSioBaseDispatcher::SetRts(bool on) {
    std::lock_guard data(DataSection);
    if (RtsAuto)
        return 1;
    const std::int32_t r = EscapeComFunction(std::int32_t(on ? SETRTS : CLRRTS));
    RtsState = on;
    return r < 0 ? ecBadArgument : ecOK;
}

std::int32_t TSioBaseDispatcher::SetModem(bool dtr, bool rts) {
    const std::int32_t r = SetDtr(dtr);
    return r == ecOK ? SetRts(rts) : r;
}

std::uint8_t TSioBaseDispatcher::GetModemStatusPrim(std::uint8_t clearMask) {
    // The lines are read under the lock too: a read that came in after another but recorded
    // before it would put the lines back as they were and mark their change once more.
    std::lock_guard data(DataSection);
    std::uint32_t lines = 0;
    GetCommModemStatus(comHandle_, &lines);
    // Every read marks the lines it finds changed: the dispatch pass reads the lines often, and a
    // change it saw first must not be lost to the line event that follows. A ring is marked by its
    // own event (RingFlag), once.
    const std::uint32_t changed =
        ((ModemStatus ^ lines) & (MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON)) >> msChangeShift;
    ModemStatus = (lines & msLines) | (ModemStatus & msChanges) | changed;
    if (RingFlag) {
        RingFlag = false;
        ModemStatus |= msTrailingRing;
    }
    const std::uint8_t result = std::uint8_t(ModemStatus);
    ModemStatus &= clearMask;
    return result;
}

void TSioBaseDispatcher::MapEventsToMS() {
    GetModemStatusPrim(msKeepChanges);
}

std::uint8_t TSioBaseDispatcher::GetModemStatus() {
    return GetModemStatusPrim(msLines);
}

bool TSioBaseDispatcher::CheckCTS() {
    return GetModemStatusPrim(std::uint8_t(~msDeltaCts)) & MS_CTS_ON;
}

bool TSioBaseDispatcher::CheckDSR() {
    return GetModemStatusPrim(std::uint8_t(~msDeltaDsr)) & MS_DSR_ON;
}

bool TSioBaseDispatcher::CheckRI() {
    return GetModemStatusPrim(std::uint8_t(~msTrailingRing)) & MS_RING_ON;
}

bool TSioBaseDispatcher::CheckDCD() {
    return GetModemStatusPrim(std::uint8_t(~msDeltaDcd)) & MS_RLSD_ON;
}

bool TSioBaseDispatcher::CheckDeltaCTS() {
    return GetModemStatusPrim(std::uint8_t(~msDeltaCts)) & msDeltaCts;
}

bool TSioBaseDispatcher::CheckDeltaDSR() {
    return GetModemStatusPrim(std::uint8_t(~msDeltaDsr)) & msDeltaDsr;
}

bool TSioBaseDispatcher::CheckDeltaRI() {
    return GetModemStatusPrim(std::uint8_t(~msTrailingRing)) & msTrailingRing;
}

bool TSioBaseDispatcher::CheckDeltaDCD() {
    return GetModemStatusPrim(std::uint8_t(~msDeltaDcd)) & msDeltaDcd;
}

// Line errors and breaks.

void TSioBaseDispatcher::RefreshStatus() {
    std::lock_guard data(DataSection);
    const std::uint32_t errors = GetComError(ComStatus) & 0x1F; // the counts also after a loss
    if (LineErrors != LineErrorsLost)
        LineErrors |= errors;
}

std::int32_t TSioBaseDispatcher::GetLineError() {
    std::lock_guard data(DataSection);
    if (LineErrors == LineErrorsLost) {
        LineErrors = 0;
        return 10;
    }
    constexpr struct {
        std::uint32_t Bit;
        std::int32_t Code;
    } order[] = {{CE_RXOVER, 1}, {CE_OVERRUN, 2}, {CE_RXPARITY, 3}, {CE_FRAME, 4}, {CE_BREAK, 9}};
    for (const auto& e : order) {
        if (LineErrors & e.Bit) {
            LineErrors &=
                ~(CE_RXOVER | CE_OVERRUN | CE_RXPARITY | CE_FRAME); // a break stays for CheckLineBreak
            return e.Code;
        }
    }
    return 0;
}

bool TSioBaseDispatcher::CheckLineBreak() {
    std::lock_guard data(DataSection);
    if (LineErrors == LineErrorsLost)
        return false; // the loss is GetLineError's to report
    const bool hit = LineErrors & CE_BREAK;
    LineErrors &= ~CE_BREAK;
    return hit;
}

void TSioBaseDispatcher::SendBreak(std::uint32_t ticks, bool yield) {
    if (RS485Mode)
        SetRts(true);
    EscapeComFunction(std::int32_t(SETBREAK));
    DelayTicks(std::int32_t(ticks), yield);
    EscapeComFunction(std::int32_t(CLRBREAK));
    if (RS485Mode && OutBuffUsed() == 0)
        SetRts(false);
}

void TSioBaseDispatcher::SetBreak(bool on) {
    if (on) {
        if (RS485Mode)
            SetRts(true);
        EscapeComFunction(std::int32_t(SETBREAK));
        return;
    }
    EscapeComFunction(std::int32_t(CLRBREAK));
    if (RS485Mode && OutBuffUsed() == 0)
        SetRts(false);
}

// Reading. While a data notification is delivered, the running handler's own reads count against
// HandlerTaken and the notification's end moves the tail. Any other read (between the handlers, or
// on the main thread while the dispatch thread waits for it to run one) sees the ring past what
// the handlers took so far, and taking makes that theirs for good: the tail moves past it and past
// what is taken, and the handlers go on from there.

std::uint32_t TSioBaseDispatcher::StoredLocked() const {
    return DispHead == DispTail ? (DispFull ? DispatchBufferSize : 0)
                                : Wrap(DispHead + DispatchBufferSize - DispTail);
}

bool TSioBaseDispatcher::HandlersReadLocked() const {
    return InDataNotify && HandlerRunning && InHandler();
}

std::uint32_t TSioBaseDispatcher::SkippedLocked() const {
    if (!InDataNotify)
        return 0;
    return HandlersReadLocked() ? HandlerTaken : std::max(MaxTaken, HandlerTaken);
}

std::uint32_t TSioBaseDispatcher::UnreadLocked() const {
    return DispBuffer ? StoredLocked() - SkippedLocked() : 0;
}

void TSioBaseDispatcher::CopyOutLocked(void* buffer, std::uint32_t length) const {
    const std::uint32_t start = Wrap(DispTail + SkippedLocked());
    const std::uint32_t first = std::min(length, DispatchBufferSize - start);
    auto* out = static_cast<std::uint8_t*>(buffer);
    std::memcpy(out, DispBuffer.get() + start, first);
    std::memcpy(out + first, DispBuffer.get(), length - first);
}

void TSioBaseDispatcher::TakeLocked(std::uint32_t length) {
    if (HandlersReadLocked()) {
        HandlerTaken += length; // the end of the notification moves the tail
        return;
    }
    const std::uint32_t moved = SkippedLocked() + length;
    MaxTaken = HandlerTaken = 0; // a handler still running reads on from the new tail
    DispTail = Wrap(DispTail + moved);
    if (DispFull && moved > 0) {
        DispFull = false;
        InQueue.Wake(); // the dispatch thread may fill again
    }
}

bool TSioBaseDispatcher::CharReady() {
    std::lock_guard disp(DispSection);
    return UnreadLocked() > 0;
}

std::int32_t TSioBaseDispatcher::PeekChar(std::uint8_t& ch, std::uint32_t index) {
    std::lock_guard disp(DispSection);
    if (!DispBuffer)
        return ecCommNotOpen;
    if (index == 0)
        return ecBadArgument; // there is no byte before the next one
    if (index > UnreadLocked())
        return ecBufferIsEmpty;
    ch = DispBuffer[Wrap(DispTail + SkippedLocked() + index - 1)];
    return ecOK;
}

std::int32_t TSioBaseDispatcher::GetChar(std::uint8_t& ch) {
    const std::int32_t r = GetBlock(&ch, 1);
    return r < 0 ? r : ecOK;
}

std::int32_t TSioBaseDispatcher::PeekBlock(void* buffer, std::uint32_t length) {
    std::lock_guard disp(DispSection);
    if (!DispBuffer)
        return ecCommNotOpen;
    if (length > UnreadLocked())
        return ecBufferIsEmpty;
    CopyOutLocked(buffer, length);
    return std::int32_t(length);
}

std::int32_t TSioBaseDispatcher::GetBlock(void* buffer, std::uint32_t length) {
    {
        std::lock_guard disp(DispSection);
        if (!DispBuffer)
            return ecCommNotOpen;
        if (length > UnreadLocked())
            return ecBufferIsEmpty;
        CopyOutLocked(buffer, length);
        TakeLocked(length);
    }
    TraceBytes('R', buffer, length);
    return std::int32_t(length);
}

std::int32_t TSioBaseDispatcher::InBuffUsed() {
    std::lock_guard disp(DispSection);
    return std::int32_t(UnreadLocked());
}

std::int32_t TSioBaseDispatcher::InBuffFree() {
    std::lock_guard disp(DispSection);
    return std::int32_t(DispatchBufferSize - UnreadLocked());
}

std::int32_t TSioBaseDispatcher::FlushInBuffer() {
    std::int32_t r = 0;
    {
        std::lock_guard disp(DispSection);
        r = FlushCom(1);
        if (HandlersReadLocked()) {
            // The notification's end drops it all; the handler reads nothing more.
            MaxTaken = HandlerTaken = StoredLocked();
        } else {
            DispTail = DispHead;
            MaxTaken = HandlerTaken = 0;
            if (DispFull)
                InQueue.Wake();
            DispFull = false;
        }
    }
    ResetDataTriggers();
    return r;
}

// Sending.

std::int32_t TSioBaseDispatcher::PutChar(std::uint8_t ch) {
    return PutBlock(&ch, 1);
}

std::int32_t TSioBaseDispatcher::PutString(const std::string& text) {
    return PutBlock(text.data(), std::uint32_t(text.size()));
}

std::int32_t TSioBaseDispatcher::PutBlock(const void* buffer, std::uint32_t length) {
    if (length == 0)
        return ecOK;
    if (lost_)
        return ecPutBlockFail;
    std::int32_t written = 0;
    {
        std::lock_guard output(OutputSection);
        if (!OutBuffer)
            return ecCommNotOpen;
        const std::uint32_t free = OutQueueSize - std::uint32_t(OutBufUsed());
        if (length > free)
            return ecOutputBufferTooSmall;
        if (length == free)
            OutFull = true;
        written = WriteCom(buffer, std::int32_t(length));
        OutSent = true;
    }
    const std::uint32_t sent = written > 0 ? std::uint32_t(written) : 0;
    AddDispatchEntry(dtDispatch, dstWriteCom, sent, buffer, sent);
    TraceBytes('T', buffer, sent);
    if (written > 0)
        return ecOK;
    std::lock_guard data(DataSection);
    LineErrors = GetComError(ComStatus);
    return ecPutBlockFail;
}

std::int32_t TSioBaseDispatcher::OutBuffUsed() {
    RefreshStatus();
    std::lock_guard data(DataSection);
    return std::int32_t(ComStatus.cbOutQue);
}

std::int32_t TSioBaseDispatcher::OutBuffFree() {
    const std::int32_t used = OutBuffUsed();
    std::lock_guard data(DataSection);
    return std::max<std::int32_t>(0, std::int32_t(OutQueueSize) - used);
}

std::int32_t TSioBaseDispatcher::FlushOutBuffer() {
    return FlushCom(0);
}

void TSioBaseDispatcher::WaitTxSent() {
    ++txSentWaits_;
    // Nothing leaves once the write thread has stopped (the device was lost, the port is closing).
    for (int i = 0; i < 5000 && Present(WriteThread) && !KillThreads && OutBuffUsed() > 0; ++i)
        Sleep(2);
    std::uint32_t ms = 0;
    {
        std::lock_guard data(DataSection);
        GetComState(Dcb);
        ms = TxSettleMs(Dcb, CurrentBaud);
    }
    Sleep(ms);
}

std::uint32_t TSioBaseDispatcher::TxSettleMs(const DCB& dcb, std::uint32_t baud) {
    const std::uint32_t bits =
        dcb.ByteSize + 2u + (dcb.Parity != NOPARITY ? 1u : 0u) + (dcb.StopBits != ONESTOPBIT ? 1u : 0u);
    const std::uint32_t rate = std::max<std::uint32_t>(1, ConvertBaud(baud));
    const std::uint64_t charTime = std::uint64_t(10'000'000 / rate) * bits; // in 100 ns
    std::uint64_t total = 18 * charTime;
    if (total < 10'000)
        total *= 2;
    return std::uint32_t((total + 9'999) / 10'000);
}

void TSioBaseDispatcher::BufferSizes(std::uint32_t& inSize, std::uint32_t& outSize) {
    std::lock_guard data(DataSection);
    inSize = InQueueSize;
    outSize = OutQueueSize;
}

std::int32_t TSioBaseDispatcher::SetCommBuffers(std::uint32_t inSize, std::uint32_t outSize) {
    return SetupCom(std::int32_t(inSize), std::int32_t(outSize)) ? ecOK : -std::int32_t(GetLastError());
}

// Flow control.

std::int32_t TSioBaseDispatcher::HWFlowOptions(std::uint32_t bufferFull, std::uint32_t bufferResume,
                                               std::uint32_t options) {
    std::lock_guard data(DataSection);
    if (bufferFull < bufferResume || bufferFull > InQueueSize)
        return ecBadArgument;
    GetComState(Dcb);
    Dcb.Flags &= ~(DCB_DTR_CONTROL | DCB_RTS_CONTROL | DCB_OUTX_CTS_FLOW | DCB_OUTX_DSR_FLOW);
    DtrAuto = RtsAuto = false;
    if (options & hfUseDtr) {
        Dcb.Flags |= DCB_DTR_HANDSHAKE;
        DtrAuto = true;
    } else if (DtrState) {
        Dcb.Flags |= DCB_DTR_ENABLE;
    }
    if (options & hfUseRts) {
        Dcb.Flags |= DCB_RTS_HANDSHAKE;
        RtsAuto = true;
    } else if (RtsState) {
        Dcb.Flags |= DCB_RTS_ENABLE;
    }
    if (RS485Mode) {
        Dcb.Flags |= DCB_RTS_TOGGLE;
        RtsAuto = true;
    }
    Dcb.XoffLim = std::uint16_t(InQueueSize - bufferFull);
    Dcb.XonLim = std::uint16_t(bufferResume);
    if (options & hfRequireDsr)
        Dcb.Flags |= DCB_OUTX_DSR_FLOW;
    if (options & hfRequireCts)
        Dcb.Flags |= DCB_OUTX_CTS_FLOW;
    return SetCommStateFix(Dcb);
}

std::int32_t TSioBaseDispatcher::HWFlowState() {
    std::lock_guard data(DataSection);
    GetComState(Dcb);
    if (!(Dcb.Flags & (DCB_RTS_HANDSHAKE | DCB_DTR_HANDSHAKE | DCB_OUTX_CTS_FLOW | DCB_OUTX_DSR_FLOW)))
        return fsOff;
    std::int32_t state = fsOn;
    if (Dcb.Flags & (DCB_RTS_HANDSHAKE | DCB_DTR_HANDSHAKE)) {
        RefreshStatus();
        if ((Dcb.Flags & DCB_OUTX_DSR_FLOW) && (ComStatus.Flags & COMSTAT_DSR_HOLD))
            state = fsDsrHold;
        if ((Dcb.Flags & DCB_OUTX_CTS_FLOW) && (ComStatus.Flags & COMSTAT_CTS_HOLD))
            state = fsCtsHold;
    }
    return state;
}

std::int32_t TSioBaseDispatcher::SWFlowEnable(std::uint32_t bufferFull, std::uint32_t bufferResume,
                                              std::uint32_t options) {
    std::lock_guard data(DataSection);
    if (bufferFull < bufferResume || bufferFull > InQueueSize)
        return ecBadArgument;
    GetComState(Dcb);
    if (options & sfReceive) {
        Dcb.Flags |= DCB_INX;
        Dcb.XoffLim = std::uint16_t(InQueueSize - bufferFull);
        Dcb.XonLim = std::uint16_t(bufferResume);
    }
    if (options & (sfReceive | sfTransmit)) {
        Dcb.XonChar = 17;
        Dcb.XoffChar = 19;
    }
    if (options & sfTransmit)
        Dcb.Flags |= DCB_OUTX;
    return SetCommStateFix(Dcb);
}

std::int32_t TSioBaseDispatcher::SWFlowDisable() {
    std::lock_guard data(DataSection);
    GetComState(Dcb);
    Dcb.Flags &= ~(DCB_OUTX | DCB_INX);
    return SetCommStateFix(Dcb);
}

std::int32_t TSioBaseDispatcher::SWFlowChars(char onChar, char offChar) {
    std::lock_guard data(DataSection);
    GetComState(Dcb);
    Dcb.XonChar = onChar;
    Dcb.XoffChar = offChar;
    return SetCommStateFix(Dcb);
}

std::int32_t TSioBaseDispatcher::SWFlowState() {
    std::lock_guard data(DataSection);
    GetComState(Dcb);
    if (!(Dcb.Flags & (DCB_OUTX | DCB_INX)))
        return fsOff;
    RefreshStatus();
    const bool held = ComStatus.Flags & COMSTAT_XOFF_HOLD;
    const bool sent = ComStatus.Flags & COMSTAT_XOFF_SENT;
    return held && sent ? fsBothHold : held ? fsXOffHold : sent ? fsXOffSent : fsOn;
}

std::int32_t TSioBaseDispatcher::GetFlowOptions(std::uint32_t& hwOpts, std::uint32_t& swOpts, std::uint32_t&,
                                                std::uint32_t&, char& onChar, char& offChar) {
    std::lock_guard data(DataSection);
    const std::int32_t r = GetComState(Dcb);
    hwOpts = ((Dcb.Flags & DCB_DTR_HANDSHAKE) ? hfUseDtr : 0) |
             ((Dcb.Flags & DCB_RTS_HANDSHAKE) ? hfUseRts : 0) |
             ((Dcb.Flags & DCB_OUTX_DSR_FLOW) ? hfRequireDsr : 0) |
             ((Dcb.Flags & DCB_OUTX_CTS_FLOW) ? hfRequireCts : 0);
    swOpts = ((Dcb.Flags & DCB_INX) ? sfReceive : 0) | ((Dcb.Flags & DCB_OUTX) ? sfTransmit : 0);
    onChar = Dcb.XonChar;
    offChar = Dcb.XoffChar;
    return r;
}

// Odds and ends.

void TSioBaseDispatcher::OptionsOn(std::uint32_t bits) {
    std::lock_guard data(DataSection);
    Options |= bits;
}

void TSioBaseDispatcher::OptionsOff(std::uint32_t bits) {
    std::lock_guard data(DataSection);
    Options &= ~bits;
}

bool TSioBaseDispatcher::OptionsAreOn(std::uint32_t bits) {
    std::lock_guard data(DataSection);
    return (Options & bits) == bits;
}

std::int32_t TSioBaseDispatcher::SetDataPointer(void* pointer, std::uint32_t index) {
    if (index < 1 || index > 3)
        return ecBadArgument;
    std::lock_guard data(DataSection);
    DataPointers[index - 1] = pointer;
    return ecOK;
}

std::int32_t TSioBaseDispatcher::GetDataPointer(void*& pointer, std::uint32_t index) {
    if (index < 1 || index > 3)
        return ecBadArgument;
    std::lock_guard data(DataSection);
    pointer = DataPointers[index - 1];
    return ecOK;
}

void TSioBaseDispatcher::SetRS485Mode(bool on) {
    std::lock_guard data(DataSection);
    RS485Mode = on;
    if (Present(WriteThread))
        SetThreadPriority(WriteThread->Id(), ThreadPriority(*WriteThread));
}

void TSioBaseDispatcher::SetBaseAddress(std::uint16_t address) {
    std::lock_guard data(DataSection);
    BaseAddress = address;
}

std::uint16_t TSioBaseDispatcher::GetBaseAddress() {
    std::lock_guard data(DataSection);
    return BaseAddress;
}

void TSioBaseDispatcher::SetEventBusy(bool& wasOn, bool setOn) {
    std::lock_guard data(DataSection);
    wasOn = EventBusy;
    EventBusy = setOn;
}

std::int32_t TSioBaseDispatcher::InQueueUsed() {
    return 0;
}
