// Stands in for the multimedia timer (timeGetTime) and the framework's TDateTime clock.
//
// Two clocks: a monotonic millisecond clock for time-outs, and the local date and time for what the
// operator reads (log lines, the object panel). Tests replace both with a TFakeClock, which also
// drives every TTimer started while it is installed. Main thread only, except MonotonicMs and
// timeGetTime on the real clock, which any thread may call.
#pragma once

#include <cstdint>
#include <functional>
#include <map>

#include <QString>

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

// Format tokens, case-insensitive: yyyy yy mm m dd d hh h nn n ss s zzz; "mm"/"m" right after an hour
// token means minutes; text in double quotes is copied. Anything else is copied as it is.
QString FormatDateTime(const QString& format, TDateTime value);

inline constexpr const char* LongTimeFormat = "hh:nn:ss";
inline constexpr const char* ShortDateFormat = "dd.mm.yyyy";
inline constexpr const char* LogDateTimeFormat = "dd.mm hh:nn:ss ";

QString TimeToStr(TDateTime value);     // LongTimeFormat
QString DateToStr(TDateTime value);     // ShortDateFormat
QString DateTimeToStr(TDateTime value); // date, blank, time

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
    std::int64_t ms_;
    std::multimap<std::int64_t, std::pair<AlarmId, std::function<void()>>> alarms_;
};
