// Stands in for the multimedia timer (timeGetTime) and the system's local time: the clock sources
// themselves, without the date formatting of platform/Clock.h, so that code without Qt can read them.
//
// Two clocks: a monotonic millisecond clock for time-outs, and the local date and time for what the
// operator reads. Tests replace both with a TFakeClock, which also drives every TTimer started while
// it is installed. MonotonicMs and timeGetTime may be called from any thread, also while a fake is
// installed; installing, advancing and removing a fake belong to the main thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>

// Days since 1899-12-30 00:00 local time; the fraction is the time of day.
using TDateTime = double;

std::int64_t MonotonicMs();
std::uint32_t timeGetTime(); // MonotonicMs modulo 2^32, as the multimedia timer wraps
TDateTime Now();

struct TDateTimeParts {
    int Year = 1899, Month = 12, Day = 30;
    int Hour = 0, Minute = 0, Second = 0, Msec = 0;
};

TDateTime EncodeDateTime(const TDateTimeParts& parts);
TDateTimeParts DecodeDateTime(TDateTime value);

// A clock that moves only when told to. Installing one replaces both clocks until it is destroyed.
// Advance moves both by the same amount and runs, in time order, every alarm that falls due.
class TFakeClock {
public:
    explicit TFakeClock(TDateTime now = EncodeDateTime({2024, 3, 15, 12, 0, 0, 0}),
                        std::int64_t ms = 1'000'000);
    ~TFakeClock();
    TFakeClock(const TFakeClock&) = delete;
    TFakeClock& operator=(const TFakeClock&) = delete;

    void Advance(std::int64_t ms);
    void SetNow(TDateTime now); // a step of the wall clock only; the monotonic clock stays
    std::int64_t Ms() const { return ms_; }
    TDateTime NowValue() const { return now_; }

    // The installed fake, or null while the real clocks run.
    static TFakeClock* Current();

    // Alarms on the fake monotonic clock (what TTimer uses while a fake is installed).
    using AlarmId = std::uint64_t;
    AlarmId Schedule(std::int64_t due, std::function<void()> action);
    void Cancel(AlarmId id);

private:
    TFakeClock* previous_;
    TDateTime now_;
    std::atomic<std::int64_t> ms_; // worker threads read it through MonotonicMs
    std::multimap<std::int64_t, std::pair<AlarmId, std::function<void()>>> alarms_;
};
