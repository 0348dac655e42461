// Triggers, handlers, notification and the dispatch pass of TSioBaseDispatcher.
#include <algorithm>
#include <cstring>
#include <mutex>

#include "serial/Dispatcher.h"
#include "serial/ErrorCodes.h"

namespace {

constexpr std::uint32_t RingEvents = EV_RING | 0x2000;
constexpr std::uint32_t LineStatusEvents = EV_CTS | EV_DSR | EV_RLSD | EV_RING | 0x2000;
constexpr std::uint32_t LineErrorEvents = EV_BREAK | EV_ERR;

constexpr std::uint32_t HandleStep = 8;
// Handles are counted up to this number of them; after that the smallest free one up to this value
// is taken.
constexpr std::uint32_t CountedHandles = 4096;

constexpr unsigned SyncMessage = WM_USER + 1;

std::uint32_t Wrap(std::uint32_t index) {
    return index % DispatchBufferSize;
}

// The library's line-error flags as the Windows error bits that LineErrors holds.
std::uint16_t MapLineErrors(std::uint32_t flags) {
    return std::uint16_t(((flags & lsOverrun) ? CE_OVERRUN : 0) | ((flags & lsParity) ? CE_RXPARITY : 0) |
                         ((flags & lsFraming) ? CE_FRAME : 0) | ((flags & lsBreak) ? CE_BREAK : 0));
}

struct TSyncCall {
    const std::function<void()>* Method;
    std::exception_ptr Error;
};

// Runs its function however the scope is left.
template <class F> struct TScopeExit {
    F Function;
    ~TScopeExit() { Function(); }
};
template <class F> TScopeExit(F) -> TScopeExit<F>;

// The trigger of that handle when it is of that kind (T is the kind's record); null otherwise.
template <class T> T* TriggerOf(TSioBaseDispatcher& dispatcher, std::uint32_t handle, TTriggerType type) {
    TTriggerType kind;
    void* record = nullptr;
    if (dispatcher.FindTriggerFromHandle(handle, false, kind, record) != ecOK || kind != type)
        return nullptr;
    return static_cast<T*>(record);
}

} // namespace

// Trigger handles.

std::uint32_t TSioBaseDispatcher::GetTriggerHandle() {
    if (TriggerCounter < CountedHandles)
        return TriggerCounter++ * HandleStep;
    for (std::uint32_t handle = HandleStep; handle <= CountedHandles; handle += HandleStep) {
        const auto same = [handle](const auto& t) { return t->Handle == handle; };
        const auto sameNumber = [handle](const auto& t) { return (t->Handle & ~7u) == handle; };
        if (std::none_of(TimerTriggers.begin(), TimerTriggers.end(), same) &&
            std::none_of(DataTriggers.begin(), DataTriggers.end(), same) &&
            std::none_of(StatusTriggers.begin(), StatusTriggers.end(), sameNumber))
            return handle;
    }
    return 0;
}

void TSioBaseDispatcher::AddTriggerLocked(std::uint32_t handle) {
    TriggerCounter = std::max(TriggerCounter, handle / HandleStep + 1);
}

std::int32_t TSioBaseDispatcher::FindTriggerFromHandle(std::uint32_t handle, bool remove, TTriggerType& kind,
                                                       void*& record) {
    std::lock_guard data(DataSection);
    kind = TTriggerType::ttNone;
    record = nullptr;
    if (handle == 0 || handle == AvailTriggerHandle)
        return ecBadTriggerHandle;
    const auto take = [&](auto& list, auto found, TTriggerType type) {
        kind = type;
        record = found->get();
        if (remove) {
            record = nullptr;
            list.erase(found);
        }
        return ecOK;
    };
    const auto timer = std::find_if(TimerTriggers.begin(), TimerTriggers.end(),
                                    [handle](const auto& t) { return t->Handle == handle; });
    if (timer != TimerTriggers.end()) {
        if (remove)
            AddDispatchEntry(dtTriggerDispose, dstTimer, handle, nullptr, 0);
        return take(TimerTriggers, timer, TTriggerType::ttTimer);
    }
    const auto status = std::find_if(StatusTriggers.begin(), StatusTriggers.end(),
                                     [handle](const auto& t) { return t->Handle == handle; });
    if (status != StatusTriggers.end()) {
        if (remove) {
            const std::uint8_t statusKind = std::uint8_t((*status)->Kind);
            AddDispatchEntry(dtTriggerDispose, dstStatusTrigger, handle, &statusKind, 1);
        }
        return take(StatusTriggers, status, TTriggerType::ttStatus);
    }
    const auto dataTrigger = std::find_if(DataTriggers.begin(), DataTriggers.end(),
                                          [handle](const auto& t) { return t->Handle == (handle & ~7u); });
    if (dataTrigger != DataTriggers.end()) {
        if (remove)
            AddDispatchEntry(dtTriggerDispose, dstData, handle, nullptr, 0);
        return take(DataTriggers, dataTrigger, TTriggerType::ttData);
    }
    return ecBadTriggerHandle;
}

// Adding and setting triggers.

std::int32_t TSioBaseDispatcher::AddDataTriggerLen(const void* data, bool ignoreCase, std::uint32_t len) {
    if (len > MaxTrigLen)
        return ecTriggerTooLong;
    auto trigger = std::make_unique<TDataTrigger>();
    trigger->Len = len;
    trigger->IgnoreCase = ignoreCase;
    if (len > 0)
        std::memcpy(trigger->Data, data, len);
    if (ignoreCase) {
        for (std::uint8_t& ch : trigger->Data)
            ch = AnsiUpCase(ch);
    }
    std::lock_guard lock(DataSection);
    trigger->Handle = GetTriggerHandle();
    if (trigger->Handle == 0)
        return ecNoMoreTriggers;
    AddDispatchEntry(dtTriggerAlloc, dstDataTrigger, trigger->Handle, trigger->Data, len);
    DataTriggers.push_back(std::move(trigger));
    return std::int32_t(DataTriggers.back()->Handle);
}

std::int32_t TSioBaseDispatcher::AddDataTrigger(const char* data, bool ignoreCase) {
    return AddDataTriggerLen(data, ignoreCase, std::uint32_t(std::strlen(data)));
}

std::int32_t TSioBaseDispatcher::AddTimerTrigger() {
    std::lock_guard lock(DataSection);
    const std::uint32_t handle = GetTriggerHandle();
    if (handle == 0)
        return ecNoMoreTriggers;
    auto trigger = std::make_unique<TTimerTrigger>();
    trigger->Handle = handle;
    TimerTriggers.push_back(std::move(trigger));
    AddDispatchEntry(dtTriggerAlloc, dstTimerTrigger, handle, nullptr, 0);
    return std::int32_t(handle);
}

std::int32_t TSioBaseDispatcher::AddStatusTrigger(std::uint32_t kind) {
    if (kind > stOutSent)
        return ecBadArgument;
    std::lock_guard lock(DataSection);
    const std::uint32_t number = GetTriggerHandle();
    if (number == 0)
        return ecNoMoreTriggers;
    auto trigger = std::make_unique<TStatusTrigger>();
    trigger->Handle = number | kind;
    trigger->Kind = kind;
    StatusTriggers.push_back(std::move(trigger));
    const std::uint8_t statusKind = std::uint8_t(kind);
    AddDispatchEntry(dtTriggerAlloc, dstStatusTrigger, number | kind, &statusKind, 1);
    return std::int32_t(number | kind);
}

std::int32_t TSioBaseDispatcher::RemoveTrigger(std::uint32_t handle) {
    if (handle == AvailTriggerHandle) {
        ChangeLengthTrigger(0);
        return ecOK;
    }
    TTriggerType kind;
    void* record = nullptr;
    return FindTriggerFromHandle(handle, true, kind, record);
}

std::int32_t TSioBaseDispatcher::SetTimerTrigger(std::uint32_t handle, std::int32_t ticks, bool activate) {
    std::lock_guard lock(DataSection);
    TTimerTrigger* found = TriggerOf<TTimerTrigger>(*this, handle, TTriggerType::ttTimer);
    if (!found)
        return ecBadTriggerHandle;
    TTimerTrigger& trigger = *found;
    if (activate) {
        if (ticks != 0)
            trigger.Ticks = std::uint32_t(ticks);
        NewTimer(trigger.Timer, std::int32_t(trigger.Ticks));
        AddDispatchEntry(dtTriggerDataChange, dstTimerTrigger, handle, &trigger.Ticks, 4);
    } else {
        AddDispatchEntry(dtTriggerDataChange, dstTimerTrigger, handle, "Deactivated", 11);
    }
    trigger.Active = activate;
    return ecOK;
}

std::int32_t TSioBaseDispatcher::ExtendTimer(std::uint32_t handle, std::int32_t ticks) {
    std::lock_guard lock(DataSection);
    TTimerTrigger* trigger = TriggerOf<TTimerTrigger>(*this, handle, TTriggerType::ttTimer);
    if (!trigger)
        return ecBadTriggerHandle;
    trigger->Timer.ExpireTicks += ticks;
    return ecOK;
}

std::int32_t TSioBaseDispatcher::TimerTicksRemaining(std::uint32_t handle, std::int32_t& remaining) {
    std::lock_guard lock(DataSection);
    remaining = 0;
    const TTimerTrigger* trigger = TriggerOf<TTimerTrigger>(*this, handle, TTriggerType::ttTimer);
    if (!trigger)
        return ecBadTriggerHandle;
    remaining = RemainingTime(trigger->Timer);
    return ecOK;
}

std::int32_t TSioBaseDispatcher::SetStatusTrigger(std::uint32_t handle, std::uint32_t value, bool activate) {
    std::lock_guard lock(DataSection);
    TStatusTrigger* found = TriggerOf<TStatusTrigger>(*this, handle, TTriggerType::ttStatus);
    if (!found)
        return ecBadTriggerHandle;
    TStatusTrigger& trigger = *found;
    if (activate) {
        switch (trigger.Kind) {
        case stModem: {
            const std::uint32_t mask = value & 0xFF;
            trigger.Value = std::uint16_t(mask << 8 | (mask & ModemStatus));
            break;
        }
        case stLine:
            trigger.Value = MapLineErrors(value);
            break;
        case stOutBuffFree:
        case stOutBuffUsed:
            trigger.Value = std::uint16_t(value);
            break;
        default:
            break;
        }
    }
    trigger.Active = activate;
    const std::uint32_t logged = trigger.Value;
    AddDispatchEntry(dtTriggerDataChange, dstStatusTrigger, handle, &logged, 4);
    return ecOK;
}

void TSioBaseDispatcher::ChangeLengthTrigger(std::uint32_t len) {
    std::lock_guard lock(DataSection);
    LenTrigger = len;
    AddDispatchEntry(dtTriggerDataChange, dstAvailTrigger, len, nullptr, 0);
}

void TSioBaseDispatcher::RemoveAllTriggers() {
    std::lock_guard lock(DataSection);
    LenTrigger = 0;
    TimerTriggers.clear();
    DataTriggers.clear();
    StatusTriggers.clear();
    TriggerCounter = 1;
}

void TSioBaseDispatcher::ResetStatusHits() {
    std::lock_guard lock(DataSection);
    for (auto& trigger : StatusTriggers)
        trigger->Hit = false;
    StatusHit = false;
}

void TSioBaseDispatcher::ResetDataTriggers() {
    std::lock_guard lock(DataSection);
    for (auto& trigger : DataTriggers)
        std::fill(std::begin(trigger->MatchState), std::end(trigger->MatchState), 0u);
}

void TSioBaseDispatcher::SaveTriggers(TTriggerSave& save) {
    ClearSaveBuffers(save);
    std::lock_guard lock(DataSection);
    save.LenTrigger = LenTrigger;
    for (const auto& t : TimerTriggers)
        save.TimerTriggers.push_back(*t);
    for (const auto& t : DataTriggers)
        save.DataTriggers.push_back(*t);
    for (const auto& t : StatusTriggers)
        save.StatusTriggers.push_back(*t);
}

void TSioBaseDispatcher::RestoreTriggers(const TTriggerSave& save) {
    std::lock_guard lock(DataSection);
    LenTrigger = save.LenTrigger;
    TimerTriggers.clear();
    DataTriggers.clear();
    StatusTriggers.clear();
    for (const TTimerTrigger& t : save.TimerTriggers) {
        TimerTriggers.push_back(std::make_unique<TTimerTrigger>(t));
        AddTriggerLocked(t.Handle);
    }
    for (const TDataTrigger& t : save.DataTriggers) {
        DataTriggers.push_back(std::make_unique<TDataTrigger>(t));
        AddTriggerLocked(t.Handle);
    }
    for (const TStatusTrigger& t : save.StatusTriggers) {
        StatusTriggers.push_back(std::make_unique<TStatusTrigger>(t));
        AddTriggerLocked(t.Handle);
    }
}

void TSioBaseDispatcher::ClearSaveBuffers(TTriggerSave& save) {
    save.TimerTriggers.clear();
    save.DataTriggers.clear();
    save.StatusTriggers.clear();
}

// Handlers.

void TSioBaseDispatcher::RegisterWndTriggerHandler(HWND window) {
    std::lock_guard lock(DataSection);
    MakeNotifyWindow();
    WndTriggerHandlers.push_back({window, false});
    NotifyEnabled = true;
    AddDispatchEntry(dtTriggerHandlerAlloc, dstWndHandler, std::uint32_t(window), nullptr, 0);
}

void TSioBaseDispatcher::RegisterProcTriggerHandler(TApdNotifyProc proc) {
    std::lock_guard lock(DataSection);
    ProcTriggerHandlers.push_back({proc, false});
    NotifyEnabled = true;
    AddDispatchEntry(dtTriggerHandlerAlloc, dstProcHandler, 0, nullptr, 0);
}

void TSioBaseDispatcher::RegisterEventTriggerHandler(const TApdNotifyEvent& event) {
    std::lock_guard lock(DataSection);
    EventTriggerHandlers.push_back({event, false, false});
    NotifyEnabled = true;
    AddDispatchEntry(dtTriggerHandlerAlloc, dstEventHandler, 0, nullptr, 0);
}

void TSioBaseDispatcher::RegisterSyncEventTriggerHandler(const TApdNotifyEvent& event) {
    std::lock_guard lock(DataSection);
    MakeNotifyWindow();
    EventTriggerHandlers.push_back({event, false, true});
    NotifyEnabled = true;
    AddDispatchEntry(dtTriggerHandlerAlloc, dstEventHandler, 1, nullptr, 0);
}

template <class Handler, class Match>
void TSioBaseDispatcher::Deregister(std::vector<Handler>& list, Match match, TDispatchSubType subType,
                                    std::uint32_t data) {
    std::lock_guard lock(DataSection);
    const auto found = std::find_if(list.begin(), list.end(), match);
    if (found != list.end()) {
        AddDispatchEntry(dtTriggerHandlerDispose, subType, data, nullptr, 0);
        if (EventBusy) {
            found->Deleted = true; // it goes when the notification ends
            HandlerDeletePending = true;
        } else {
            list.erase(found);
        }
    }
    UpdateHandlerFlags(TApHandlerFlagUpdate::fuKeepPort);
}

void TSioBaseDispatcher::DeregisterWndTriggerHandler(HWND window) {
    Deregister(
        WndTriggerHandlers, [window](const TWndTriggerHandler& h) { return h.Window == window; },
        dstWndHandler, std::uint32_t(window));
}

void TSioBaseDispatcher::DeregisterProcTriggerHandler(TApdNotifyProc proc) {
    Deregister(
        ProcTriggerHandlers, [proc](const TProcTriggerHandler& h) { return h.Proc == proc; }, dstProcHandler,
        0);
}

void TSioBaseDispatcher::DeregisterEventTriggerHandler(const TApdNotifyEvent& event) {
    Deregister(
        EventTriggerHandlers, [&event](const TEventTriggerHandler& h) { return h.Event.Code == event.Code; },
        dstEventHandler, 0);
}

void TSioBaseDispatcher::UpdateHandlerFlags(TApHandlerFlagUpdate update) {
    std::lock_guard lock(DataSection);
    const auto live = [](const auto& list) {
        return std::count_if(list.begin(), list.end(), [](const auto& h) { return !h.Deleted; });
    };
    const bool present =
        live(WndTriggerHandlers) > 1 || live(ProcTriggerHandlers) > 0 || live(EventTriggerHandlers) > 0;
    switch (update) {
    case TApHandlerFlagUpdate::fuKeepPort:
        NotifyEnabled = present || NotifyForced;
        break;
    case TApHandlerFlagUpdate::fuEnablePort:
        NotifyForced = true;
        NotifyEnabled = true;
        break;
    case TApHandlerFlagUpdate::fuDisablePort:
        NotifyForced = false;
        NotifyEnabled = present;
        break;
    }
}

void TSioBaseDispatcher::PurgeDeletedHandlers() {
    const auto deleted = [](const auto& h) { return h.Deleted; };
    std::erase_if(EventTriggerHandlers, deleted);
    std::erase_if(ProcTriggerHandlers, deleted);
    std::erase_if(WndTriggerHandlers, deleted);
    HandlerDeletePending = false;
    UpdateHandlerFlags(TApHandlerFlagUpdate::fuKeepPort);
}

bool TSioBaseDispatcher::EventBusyNow() {
    std::lock_guard lock(DataSection);
    return EventBusy;
}

// The main thread's handlers run from the notify window, which counts them while they run, so that
// a close made right after one returned is not taken for a close from inside it. On the dispatch
// thread only its procedure and method handlers call in here.
bool TSioBaseDispatcher::InHandler() const {
    return (DispatchThread && DispatchThread->Id() == GetCurrentThreadId()) || *mainHandlers_ > 0;
}

void TSioBaseDispatcher::MakeNotifyWindow() {
    if (NotifyWindow)
        return;
    // The count outlives the dispatcher, which a handler may free from a loop of its own; before
    // the handler runs, the dispatch thread waits for it, so the dispatcher is there.
    NotifyWindow = std::make_unique<TMessageWindow>(
        [this, running = mainHandlers_](unsigned msg, WPARAM wParam, LPARAM lParam) -> LRESULT {
            ++*running;
            TScopeExit done{[&running] { --*running; }};
            if (msg == SyncMessage) {
                auto* call = reinterpret_cast<TSyncCall*>(lParam);
                try {
                    (*call->Method)();
                } catch (...) {
                    call->Error = std::current_exception();
                }
            } else { // a window's notification: the window in wParam, its wParam and lParam in lParam
                const std::uint32_t trigger = TriggerToTell(msg, std::uint32_t(std::uint64_t(lParam) >> 32));
                SendMessage(HWND(wParam), msg, WPARAM(trigger), LPARAM(std::uint32_t(lParam)));
            }
            return 0;
        });
}

HWND TSioBaseDispatcher::NotifyWindowHandle() {
    std::lock_guard lock(DataSection);
    return NotifyWindow ? NotifyWindow->Handle() : 0;
}

// Synchronised handlers.

void TSioDispatcherThread::SyncNotify(unsigned msg, std::uint32_t trigger, std::uint32_t data,
                                      const TApdNotifyEvent& event) {
    Sync([&] { event(msg, Dispatcher.TriggerToTell(msg, trigger), data); });
}

void TSioDispatcherThread::Sync(const std::function<void()>& method) {
    TSyncCall call{&method, nullptr};
    SendMessage(Dispatcher.NotifyWindowHandle(), SyncMessage, 0, reinterpret_cast<LPARAM>(&call));
    if (call.Error)
        std::rethrow_exception(call.Error);
}

// Notification.

bool TSioBaseDispatcher::SendNotify(unsigned msg, std::uint32_t trigger, std::uint32_t data) {
    switch (msg) {
    case TriggerAvailMessage:
        AddDispatchEntry(dtTrigger, dstAvail, trigger, nullptr, 0);
        break;
    case TriggerDataMessage:
        AddDispatchEntry(dtTrigger, dstData, trigger, nullptr, 0);
        break;
    case TriggerTimerMessage:
        AddDispatchEntry(dtTrigger, dstTimer, trigger, nullptr, 0);
        break;
    default:
        AddDispatchEntry(dtTrigger, dstStatus, trigger, nullptr, 0);
        break;
    }
    {
        std::lock_guard lock(DataSection);
        if (!NotifyEnabled)
            return true;
        if (closePending_)
            return false; // a port being closed tells nobody more
        EventBusy = true;
    }
    const bool dataNotify = msg == TriggerAvailMessage || msg == TriggerDataMessage;
    {
        std::lock_guard disp(DispSection);
        MaxTaken = HandlerTaken = 0;
        InDataNotify = dataNotify;
        // Where the announced bytes end (a read made just before may have taken some): a read
        // outside the handlers can take them, and the handlers are told what it left.
        if (msg == TriggerAvailMessage)
            AvailEnd = TailCountLocked() + std::min(trigger, StoredLocked());
    }
    // However the notification ends (a handler may raise): the busy marks go, and so do the handlers
    // removed while it ran.
    TScopeExit end{[this] {
        {
            std::lock_guard disp(DispSection);
            InDataNotify = HandlerRunning = false;
        }
        std::lock_guard lock(DataSection);
        EventBusy = false;
        if (HandlerDeletePending)
            PurgeDeletedHandlers();
    }};
    const std::uint32_t lParam = (std::uint32_t(portIndex_) << 16) + data;

    // Each handler reads from the same first byte; false ends the notification (the port closed).
    // Its reads count from the moment it is marked running until its count is folded in, so that
    // no read falls between the two.
    const auto deliver = [this, dataNotify](const std::function<void()>& handler) {
        {
            std::lock_guard disp(DispSection);
            HandlerTaken = 0;
            HandlerRunning = dataNotify;
        }
        handler();
        std::lock_guard disp(DispSection);
        HandlerRunning = false;
        if (closePending_)
            return false;
        MaxTaken = std::max(MaxTaken, HandlerTaken);
        return true;
    };
    // The list's entry i, copied under the lock (handlers may register others meanwhile).
    const auto entry = [this](const auto& list, std::size_t i, auto& copy) {
        std::lock_guard lock(DataSection);
        if (i >= list.size())
            return false;
        copy = list[i];
        return true;
    };

    TEventTriggerHandler event{};
    for (std::size_t i = 0; entry(EventTriggerHandlers, i, event); ++i) {
        const bool delivered = deliver([&] {
            if (event.Deleted)
                return;
            if (event.Sync && DispatchThread)
                DispatchThread->SyncNotify(msg, trigger, lParam, event.Event);
            else
                event.Event(msg, TriggerToTell(msg, trigger), lParam);
        });
        if (!delivered)
            return false;
    }
    TProcTriggerHandler proc{};
    for (std::size_t i = 0; entry(ProcTriggerHandlers, i, proc); ++i) {
        if (!deliver([&] {
                if (!proc.Deleted && proc.Proc)
                    proc.Proc(msg, TriggerToTell(msg, trigger), lParam);
            }))
            return false;
    }
    bool windows = false;
    {
        std::lock_guard lock(DataSection);
        windows = WndTriggerHandlers.size() > 1 || NotifyForced;
    }
    static_assert(sizeof(LPARAM) >= 8, "a window's wParam and lParam travel in one lParam");
    const HWND notifyWindow = NotifyWindowHandle();
    TWndTriggerHandler window{};
    for (std::size_t i = 0; windows && entry(WndTriggerHandlers, i, window); ++i) {
        if (!deliver([&] {
                if (!window.Deleted)
                    SendMessageTimeout(notifyWindow, msg, WPARAM(window.Window),
                                       LPARAM(std::uint64_t(trigger) << 32 | lParam), WndNotifyTimeoutMs,
                                       nullptr);
            }))
            return false;
    }

    if (!dataNotify)
        return true;
    std::lock_guard disp(DispSection);
    InDataNotify = false;
    DispTail = Wrap(DispTail + MaxTaken);
    if (MaxTaken != 0 && DispFull) {
        DispFull = false;
        InQueue.Wake(); // the pass may fill the ring again at once
    }
    // Bytes left of the announced ones end the pass's receive checks.
    return !(msg == TriggerAvailMessage && TailCountLocked() != AvailEnd);
}

std::uint32_t TSioBaseDispatcher::TriggerToTell(unsigned msg, std::uint32_t trigger) {
    if (msg != TriggerAvailMessage)
        return trigger;
    std::lock_guard disp(DispSection);
    const auto left = std::int32_t(AvailEnd - TailCountLocked());
    return InDataNotify ? std::uint32_t(std::max(left, 0)) : trigger;
}

// The trigger checks.

bool MatchDataTrigger(TDataTrigger& trigger, std::uint8_t ch) {
    if (trigger.IgnoreCase)
        ch = AnsiUpCase(ch);
    bool matched = false, started = false, go = true;
    const std::uint32_t len = trigger.Len;
    for (std::uint32_t k = 0; k < len; ++k) {
        std::uint32_t* state = trigger.MatchState;
        if (go) {
            const std::uint32_t p = state[k];
            if (trigger.Data[p] == ch) {
                if (p == len - 1) {
                    matched = true;
                    std::fill(std::begin(trigger.MatchState), std::end(trigger.MatchState), 0u);
                } else {
                    state[k] = p + 1;
                }
            } else if (ch == trigger.Data[0]) {
                state[k] = 1; // a new match starts here
                started = true;
            } else {
                state[k] = 0;
            }
        }
        if (state[k] == 1)
            started = true;
        if (k == len - 1)
            go = false;
        else if (started)
            go = state[k + 1] != 0;
        else
            go = state[k + 1] != 0 || ch == trigger.Data[0];
    }
    return matched;
}

std::uint32_t TSioBaseDispatcher::TailCountLocked() const {
    return Received - StoredLocked();
}

bool TSioBaseDispatcher::CheckReceiveTriggers() {
    std::uint32_t at = 0, maxLen = 0, lenTrigger = 0;
    bool matched = false;
    {
        std::lock_guard lock(DataSection);
        std::lock_guard disp(DispSection);
        if (!DispBuffer)
            return false;
        lenTrigger = LenTrigger;
        // Bytes taken or flushed before the scan reached them are not scanned.
        const std::uint32_t tail = TailCountLocked();
        if (ScanPos - tail > Received - tail)
            ScanPos = tail;
        for (; ScanPos != Received && !matched; ++ScanPos) {
            const std::uint8_t ch = DispBuffer[Wrap(ScanPos)];
            for (auto& trigger : DataTriggers) {
                if (trigger->Len == 0)
                    continue;
                if (!trigger->Hit)
                    trigger->Hit = MatchDataTrigger(*trigger, ch);
                if (trigger->Hit) {
                    matched = true;
                    maxLen = std::max(maxLen, trigger->Len);
                }
            }
            at = ScanPos;
        }
        if (matched)
            ScanPos = at; // the loop moved past it
    }

    bool result = true;
    if (matched) {
        // The bytes before the matched string are announced first.
        std::int32_t before = 0;
        bool announce = false;
        {
            std::lock_guard disp(DispSection);
            if (lenTrigger != 0 && LastAvailPos != at) {
                const std::uint32_t tail = TailCountLocked();
                const std::int32_t through = at - tail < Received - tail ? std::int32_t(at - tail + 1) : 0;
                before = through - std::int32_t(SkippedLocked()) - std::int32_t(maxLen);
                announce = before >= std::int32_t(lenTrigger);
            }
        }
        if (announce) {
            result = SendNotify(TriggerAvailMessage, std::uint32_t(before), 0);
            std::lock_guard disp(DispSection);
            LastAvailPos = at;
        }
        // Then every data trigger that ended here, the last added first.
        std::size_t count = 0;
        {
            std::lock_guard lock(DataSection);
            count = DataTriggers.size();
        }
        for (std::size_t i = count; i-- > 0;) {
            std::uint32_t handle = 0, len = 0;
            {
                std::lock_guard lock(DataSection);
                if (i >= DataTriggers.size())
                    break; // a handler shortened the list
                TDataTrigger& trigger = *DataTriggers[i];
                if (!trigger.Hit)
                    continue;
                trigger.Hit = false;
                handle = trigger.Handle;
                len = trigger.Len;
            }
            result = SendNotify(TriggerDataMessage, handle, len);
        }
        std::lock_guard disp(DispSection);
        ScanPos = at + 1;
        return result;
    }

    std::uint32_t unread = 0, head = 0;
    {
        std::lock_guard disp(DispSection);
        head = Received;
        if (lenTrigger == 0 || LastAvailPos == head)
            return false;
        unread = UnreadLocked();
    }
    if (unread < lenTrigger)
        return false;
    result = SendNotify(TriggerAvailMessage, unread, 0);
    std::lock_guard disp(DispSection);
    LastAvailPos = head;
    return result;
}

bool TSioBaseDispatcher::CheckStatusTriggers() {
    std::uint32_t handle = 0, value = 0;
    {
        std::lock_guard lock(DataSection);
        const auto fires = [&](TStatusTrigger& t) {
            switch (t.Kind) {
            case stModem:
                return (((t.Value & 0xFF) ^ ModemStatus) & (t.Value >> 8)) != 0;
            case stLine:
                if ((t.Value & LineErrors) == 0)
                    return false;
                t.Value = std::uint16_t(LineErrors); // the errors that fired
                return true;
            case stOutBuffFree:
                value = std::uint32_t(OutBuffFree());
                return value >= t.Value;
            case stOutBuffUsed:
                value = std::uint32_t(OutBuffUsed());
                return value <= t.Value;
            case stOutSent:
                return OutSent.exchange(false);
            default:
                return false;
            }
        };
        const auto found = std::find_if(StatusTriggers.begin(), StatusTriggers.end(), [&](auto& t) {
            value = 0;
            return t->Active && !t->Hit && fires(*t);
        });
        if (found == StatusTriggers.end())
            return false;
        TStatusTrigger& trigger = **found;
        trigger.Active = false; // once per arming
        trigger.Hit = true;
        StatusHit = true;
        handle = trigger.Handle;
    }
    return SendNotify(TriggerStatusMessage, handle, value);
}

bool TSioBaseDispatcher::CheckTimerTriggers() {
    std::uint32_t handle = 0;
    {
        std::lock_guard lock(DataSection);
        const auto found = std::find_if(TimerTriggers.begin(), TimerTriggers.end(),
                                        [](const auto& t) { return t->Active && TimerExpired(t->Timer); });
        if (found == TimerTriggers.end())
            return false;
        (*found)->Active = false;
        handle = (*found)->Handle;
    }
    return SendNotify(TriggerTimerMessage, handle, 0);
}

bool TSioBaseDispatcher::CheckTriggers() {
    return CheckTimerTriggers() || CheckStatusTriggers() || CheckReceiveTriggers();
}

bool TSioBaseDispatcher::StatusTriggerLoop() {
    while (CheckStatusTriggers()) {
    }
    if (closePending_)
        return false;
    bool hit = false;
    {
        std::lock_guard lock(DataSection);
        hit = StatusHit;
    }
    if (hit)
        ResetStatusHits();
    return true;
}

// The dispatch pass.

bool TSioBaseDispatcher::ExtractData(std::uint32_t& moved) {
    std::lock_guard data(DataSection); // for ComStatus
    std::lock_guard disp(DispSection);
    moved = 0;
    if (!DispBuffer)
        return false;
    if (DispFull) {
        static constexpr char Full[] = "Dispatch buffer full.";
        AddDispatchEntry(dtDispatch, dstStatus, 0, Full, sizeof Full - 1);
        return true;
    }
    const std::uint32_t available = std::uint32_t(InQueueUsed());
    ComStatus.cbInQue = available;
    if (available == 0)
        return false;
    std::uint32_t free = 0, firstPiece = 0;
    if (DispHead == DispTail) {
        free = DispatchBufferSize;
        firstPiece = DispatchBufferSize - DispHead;
    } else if (DispTail > DispHead) {
        free = firstPiece = DispTail - DispHead;
    } else {
        free = DispTail + DispatchBufferSize - DispHead;
        firstPiece = DispatchBufferSize - DispHead;
    }
    const std::uint32_t want = std::min(free, available);
    std::uint32_t second = want > firstPiece ? want - firstPiece : 0;
    for (std::uint32_t piece : {firstPiece, second}) {
        if (piece == 0)
            break;
        std::uint8_t* at = DispBuffer.get() + DispHead;
        const std::uint32_t n = std::uint32_t(std::max(0, ReadCom(at, std::int32_t(piece))));
        if (n != 0)
            AddDispatchEntry(dtDispatch, dstReadCom, n, at, n);
        DispHead = Wrap(DispHead + n);
        Received += n;
        moved += n;
        if (n != 0)
            DispFull = DispHead == DispTail;
        if (n < piece)
            break;
    }
    return true;
}

bool TDispThread::ProcessQueue() {
    TSioBaseDispatcher& d = Dispatcher;
    bool progress = false;
    TIOBuffer* first = d.InQueue.Peek();
    d.LastEvent = 0;
    if (auto* status = dynamic_cast<TStatusBuffer*>(first)) {
        d.LastEvent = status->Status;
        d.InQueue.Pop();
        progress = true;
    } else if (first) {
        d.InQueue.Release(first); // ExtractData takes it
    }
    if (d.LastEvent & RingEvents) {
        std::lock_guard data(d.DataSection);
        d.RingFlag = true;
    }
    if (d.LastEvent & LineStatusEvents) {
        d.MapEventsToMS();
        if (!d.EventBusyNow() && !d.StatusTriggerLoop())
            return progress;
    }
    if (d.LastEvent & LineErrorEvents) {
        d.RefreshStatus();
        if (!d.EventBusyNow() && !d.StatusTriggerLoop())
            return progress;
    }
    std::uint32_t moved = 0;
    d.ExtractData(moved);
    if (!d.EventBusyNow()) {
        d.GetModemStatusPrim(msKeepChanges); // fresh line levels; the change bits stay for their readers
        if (!d.StatusTriggerLoop())
            return true;
        while (d.CheckReceiveTriggers()) {
            if (d.closePending_)
                return true;
        }
    }
    return progress || moved > 0;
}

void TDispThread::CheckIdleTriggers() {
    TSioBaseDispatcher& d = Dispatcher;
    if (d.closePending_ || d.EventBusyNow())
        return;
    {
        std::lock_guard data(d.DataSection);
        d.StatusHit = false;
    }
    while ((d.CheckStatusTriggers() || d.CheckTimerTriggers()) && !d.closePending_) {
    }
    bool hit = false;
    {
        std::lock_guard data(d.DataSection);
        hit = d.StatusHit;
    }
    if (hit)
        d.ResetStatusHits();
}

void TDispThread::Execute() {
    TSioBaseDispatcher& d = Dispatcher;
    bool progress = true;
    for (;;) {
        // A pass that got nowhere (the dispatch ring is full and no handler takes from it) waits for
        // news rather than spinning on the block that is still queued.
        ++d.dispatchWaits_;
        if (progress)
            d.InQueue.WaitForBuffer(50);
        else
            d.InQueue.WaitForPush(50);
        const bool kill = d.KillThreads;
        d.ReportFailure();
        if (kill)
            break;
        progress = ProcessQueue();
        if (d.KillThreads || d.closePending_)
            break;
        CheckIdleTriggers();
        if (d.KillThreads || d.closePending_)
            break;
    }
    d.GeneralEvent->SetEvent();
}
