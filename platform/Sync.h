// Stands in for the Win32 synchronisation objects the serial library uses: events (CreateEvent,
// SetEvent, ResetEvent), WaitForSingleObject and WaitForMultipleObjects, critical sections, Sleep
// and thread priorities. Interlocked counters are std::atomic.
//
// Events are objects rather than handles: whoever creates one owns it and must not destroy it while
// another thread may still wait on it or set it. A manual-reset event stays set until ResetEvent; an
// auto-reset event is cleared by the one wait it releases. Every call may come from any thread.
// Critical sections are recursive, as on Windows, and work with std::lock_guard.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <mutex>

inline constexpr std::uint32_t INFINITE = 0xFFFFFFFF;
inline constexpr std::uint32_t WAIT_OBJECT_0 = 0;
inline constexpr std::uint32_t WAIT_TIMEOUT = 258;
inline constexpr std::uint32_t WAIT_FAILED = 0xFFFFFFFF;

class TEvent {
public:
    TEvent(bool manualReset, bool initialState) : manualReset_(manualReset), set_(initialState) {}
    TEvent(const TEvent&) = delete;
    TEvent& operator=(const TEvent&) = delete;

    void SetEvent();
    void ResetEvent();
    // WAIT_OBJECT_0 when the event was set within the time, else WAIT_TIMEOUT.
    std::uint32_t WaitFor(std::uint32_t timeoutMs);

private:
    friend std::uint32_t WaitForMultipleObjects(std::initializer_list<TEvent*>, std::uint32_t);
    bool TakeLocked(); // with the events' lock held: whether it is set, clearing an auto-reset one

    const bool manualReset_;
    bool set_;
};

// Waits until one of the events is set: WAIT_OBJECT_0 + its index (the first set one in list
// order), WAIT_TIMEOUT, or WAIT_FAILED for an empty list or a null event.
std::uint32_t WaitForMultipleObjects(std::initializer_list<TEvent*> events, std::uint32_t timeoutMs);

class TCriticalSection {
public:
    void Enter() { lock_.lock(); }
    void Leave() { lock_.unlock(); }
    void lock() { lock_.lock(); }
    void unlock() { lock_.unlock(); }

private:
    std::recursive_mutex lock_;
};

void Sleep(std::uint32_t ms);

// A thread's priority in steps above normal (0 normal, 1 higher, 2 highest, 3 time-critical). Raising
// it needs a privilege the program seldom has; then it stays as it is and the call gives false.
using TThreadId = int;
TThreadId GetCurrentThreadId();
bool SetThreadPriority(TThreadId thread, int stepsAboveNormal);
