// The serial library's common ground: the base of its components, the 55 ms tick clock with its
// timer records, and the waits that keep the main thread's messages flowing.
//
// Ticks are the millisecond clock of platform/ClockSource.h (timeGetTime) divided by 55, so a test
// that installs a TFakeClock moves them. The clock and timer functions may run on any thread;
// SafeYield and DelayTicks with yielding belong on the main thread.
#pragma once

#include <cstdint>
#include <exception>
#include <initializer_list>
#include <string>
#include <vector>

// The library's version, as every one of its components reports it.
inline constexpr char SioVersion[] = "v4.07";

inline constexpr std::uint32_t TickMs = 55;
// The longest duration of a timer: 2^31 ms in ticks.
inline constexpr std::int32_t MaxTicks = 39'045'157;
// The millisecond clock starts again from zero every 2^32 ms; the tick count then falls from
// 78,090,314 to 0, so a count seen after the wrap lies this many ticks further on.
inline constexpr std::int32_t WrapTicks = 78'090'315;

std::uint32_t AdTimeGetTime(); // the millisecond clock
std::int32_t TickCount();      // AdTimeGetTime / 55

std::int32_t Ticks2Secs(std::int32_t ticks); // rounded to the nearest second
std::int32_t Secs2Ticks(std::int32_t seconds);
std::int32_t MSecs2Ticks(std::int32_t milliseconds);

// Set by NewTimer, owned by value by whoever waits. A tick count below StartTicks is taken as the
// clock having started again from zero (WrapTicks on).
struct EventTimer {
    std::int32_t StartTicks = 0;
    std::int32_t ExpireTicks = 0;
};

void NewTimer(EventTimer& timer, std::int32_t ticks); // at most MaxTicks
void NewTimerSecs(EventTimer& timer, std::int32_t seconds);
bool TimerExpired(const EventTimer& timer);
std::int32_t ElapsedTime(const EventTimer& timer);
std::int32_t RemainingTime(const EventTimer& timer); // never below 0
std::int32_t ElapsedTimeInSecs(const EventTimer& timer);
std::int32_t RemainingTimeInSecs(const EventTimer& timer);

inline constexpr std::uint32_t WM_QUIT = 18;

// Lets the main thread's waiting messages run. Gives WM_QUIT (18) when the program has been told to
// end (the quit stays pending for the main loop); else the message it handled, its number in the
// low 16 bits and the low 16 bits of its window's handle in the high ones; 0 when none waited. A
// program without Qt links a stand-in.
std::uint32_t SafeYield();
// Shows an exception caught at the edge of an event handler on the main thread, as the framework's
// application does (an error box with its message). A program without Qt links a stand-in.
void ApplicationHandleException(const std::exception_ptr& error);

// Waits `ticks` ticks (none for 0 or less); with `yield`, runs SafeYield on the way and stops early
// on a quit. Returns the last SafeYield result (0 without yielding).
std::uint32_t DelayTicks(std::int32_t ticks, bool yield);
// Spins on the millisecond clock for that long; runs no messages.
void DelayMS(std::uint32_t milliseconds);

inline bool FlagIsSet(std::uint32_t flags, std::uint32_t mask) {
    return (flags & mask) != 0;
}

// A byte upper-cased as the Windows-1251 character table does it (Latin and Cyrillic letters).
std::uint8_t AnsiUpCase(std::uint8_t ch);

// An object's method as a callback: Code is the function, Object the instance it is given. Two are
// the same method when their Code is, whatever the object.
template <class... Args> struct TMethod {
    void (*Code)(void* object, Args... args) = nullptr;
    void* Object = nullptr;
    explicit operator bool() const { return Code != nullptr; }
    void operator()(Args... args) const { Code(Object, args...); }
};

// A set of the members of a small enumeration (at most 32).
template <class E> class TSet {
public:
    constexpr TSet() = default;
    constexpr TSet(std::initializer_list<E> members) {
        for (E e : members)
            Include(e);
    }
    constexpr bool Contains(E e) const { return bits_ & Bit(e); }
    constexpr TSet& Include(E e) {
        bits_ |= Bit(e);
        return *this;
    }
    constexpr TSet& Exclude(E e) {
        bits_ &= ~Bit(e);
        return *this;
    }
    constexpr bool Empty() const { return bits_ == 0; }
    constexpr bool operator==(const TSet&) const = default;

private:
    static constexpr std::uint32_t Bit(E e) { return 1u << unsigned(e); }
    std::uint32_t bits_ = 0;
};

// The framework's component state bits the library looks at.
enum TComponentStateFlag : std::uint32_t {
    csLoading = 0x01,    // being built from its form description: the check raises nothing
    csDesigning = 0x02,  // never set here: there is no designer
    csDestroying = 0x04, // its destructor has begun
};

// The base of every non-visual component of the library. A component may have an owner (a form or
// another component, known only by its address) and is then among the owner's components from its
// construction to its destruction. Main thread only.
class TSioBaseComponent {
public:
    explicit TSioBaseComponent(const void* owner = nullptr);
    virtual ~TSioBaseComponent();
    TSioBaseComponent(const TSioBaseComponent&) = delete;
    TSioBaseComponent& operator=(const TSioBaseComponent&) = delete;

    // Always SioVersion; setting it changes nothing.
    std::string Version() const { return SioVersion; }
    void SetVersion(const std::string&) {}

    std::uint32_t ComponentState() const { return componentState_; }
    const void* Owner() const { return owner_; }
    // The components an owner holds, in the order they were made.
    static std::vector<TSioBaseComponent*> OwnedComponents(const void* owner);

    // A form that sets a component up as its description says brackets the settings with these:
    // while loading, setters only store and failures raise nothing; Loaded then acts on them.
    void BeginLoading() { SetComponentState(csLoading, true); }
    virtual void Loaded() { SetComponentState(csLoading, false); }

protected:
    void SetComponentState(std::uint32_t flags, bool on) {
        componentState_ = on ? componentState_ | flags : componentState_ & ~flags;
    }

private:
    const void* owner_;
    std::uint32_t componentState_ = 0;
};
