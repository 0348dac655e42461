// The serial library's common ground: the base of its components, the 55 ms tick clock with its
// timer records, and the waits that keep the main thread's messages flowing.
//
// Ticks are the millisecond clock of platform/ClockSource.h (timeGetTime) divided by 55, so a test
// that installs a TFakeClock moves them. The clock and timer functions may run on any thread;
// SafeYield and DelayTicks with yielding belong on the main thread.
#pragma once

#include <cstdint>
#include <string>

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
// end (the quit stays pending for the main loop), else 0. A program without Qt links a stand-in.
std::uint32_t SafeYield();

// Waits `ticks` ticks (none for 0 or less); with `yield`, runs SafeYield on the way and stops early
// on a quit. Returns the last SafeYield result (0 without yielding).
std::uint32_t DelayTicks(std::int32_t ticks, bool yield);

inline bool FlagIsSet(std::uint32_t flags, std::uint32_t mask) {
    return (flags & mask) != 0;
}

// The framework's component state bits the library looks at.
enum TComponentStateFlag : std::uint32_t {
    csLoading = 0x01,    // being built from its form description: the check raises nothing
    csDesigning = 0x02,  // never set here: there is no designer
    csDestroying = 0x04, // its destructor has begun
};

// The base of every non-visual component of the library.
class TSioBaseComponent {
public:
    virtual ~TSioBaseComponent() = default;

    // Always "v4.07"; setting it changes nothing.
    std::string Version() const { return "v4.07"; }
    void SetVersion(const std::string&) {}

    std::uint32_t ComponentState() const { return componentState_; }

protected:
    void SetComponentState(std::uint32_t flags, bool on) {
        componentState_ = on ? componentState_ | flags : componentState_ & ~flags;
    }

private:
    std::uint32_t componentState_ = 0;
};
