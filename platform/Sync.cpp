#include "platform/Sync.h"

#include <chrono>
#include <condition_variable>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

namespace {

// One lock and one wake-up for every event: a waiter for several events needs no registration, and
// the serial library's few threads make the shared wake-up cheap.
std::mutex eventsLock;
std::condition_variable eventsChanged;

} // namespace

void TEvent::SetEvent() {
    {
        std::lock_guard guard(eventsLock);
        set_ = true;
    }
    eventsChanged.notify_all();
}

void TEvent::ResetEvent() {
    std::lock_guard guard(eventsLock);
    set_ = false;
}

bool TEvent::TakeLocked() {
    if (!set_)
        return false;
    if (!manualReset_)
        set_ = false;
    return true;
}

std::uint32_t TEvent::WaitFor(std::uint32_t timeoutMs) {
    return WaitForMultipleObjects({this}, timeoutMs);
}

std::uint32_t WaitForMultipleObjects(std::initializer_list<TEvent*> events, std::uint32_t timeoutMs) {
    if (events.size() == 0)
        return WAIT_FAILED;
    for (const TEvent* event : events) {
        if (!event)
            return WAIT_FAILED;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock guard(eventsLock);
    for (bool timedOut = false;;) {
        std::uint32_t index = 0;
        for (TEvent* event : events) {
            if (event->TakeLocked())
                return WAIT_OBJECT_0 + index;
            ++index;
        }
        if (timedOut)
            return WAIT_TIMEOUT;
        if (timeoutMs == INFINITE)
            eventsChanged.wait(guard);
        else
            timedOut = eventsChanged.wait_until(guard, deadline) == std::cv_status::timeout;
    }
}

void Sleep(std::uint32_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

TThreadId GetCurrentThreadId() {
    return TThreadId(gettid());
}

bool SetThreadPriority(TThreadId thread, int stepsAboveNormal) {
    return setpriority(PRIO_PROCESS, id_t(thread), -stepsAboveNormal) == 0;
}
