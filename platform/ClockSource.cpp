#include "platform/ClockSource.h"

#include <chrono>
#include <cmath>
#include <ctime>

namespace {

constexpr std::int64_t MsPerDay = 86'400'000;
constexpr int EpochOffsetDays = 25569; // 1899-12-30 to 1970-01-01

std::atomic<TFakeClock*> installed{nullptr};
TFakeClock::AlarmId nextAlarmId = 1; // unique across fakes, so a stale id never cancels a new alarm

std::int64_t RealMonotonicMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1'000'000;
}

// The local time of a second: asking the time zone costs more than the rest of Now, and the routing
// asks many times a second, so the last second's answer is kept.
const tm& LocalTimeOf(time_t second) {
    thread_local bool known = false;
    thread_local time_t cachedSecond = 0;
    thread_local tm local{};
    if (!known || second != cachedSecond) {
        local = tm{};
        localtime_r(&second, &local);
        cachedSecond = second;
        known = true;
    }
    return local;
}

TDateTime RealNow() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    const tm& local = LocalTimeOf(ts.tv_sec);
    return EncodeDateTime({local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                           local.tm_sec, int(ts.tv_nsec / 1'000'000)});
}

} // namespace

std::int64_t MonotonicMs() {
    const TFakeClock* fake = installed.load();
    return fake ? fake->Ms() : RealMonotonicMs();
}

std::uint32_t timeGetTime() {
    return std::uint32_t(MonotonicMs());
}

TDateTime Now() {
    const TFakeClock* fake = installed.load();
    return fake ? fake->NowValue() : RealNow();
}

TDateTime EncodeDateTime(const TDateTimeParts& p) {
    using namespace std::chrono;
    const sys_days day = year{p.Year} / month{unsigned(p.Month)} / std::chrono::day{unsigned(p.Day)};
    const std::int64_t days = day.time_since_epoch().count() + EpochOffsetDays;
    const std::int64_t ms = ((p.Hour * 60 + p.Minute) * 60 + p.Second) * 1000 + p.Msec;
    return double(days) + double(ms) / MsPerDay;
}

TDateTimeParts DecodeDateTime(TDateTime value) {
    using namespace std::chrono;
    const auto total = std::int64_t(std::llround(value * MsPerDay));
    std::int64_t days = total / MsPerDay;
    std::int64_t ms = total % MsPerDay;
    if (ms < 0) {
        ms += MsPerDay;
        --days;
    }
    const year_month_day ymd{sys_days{std::chrono::days{days - EpochOffsetDays}}};
    TDateTimeParts p;
    p.Year = int(ymd.year());
    p.Month = int(unsigned(ymd.month()));
    p.Day = int(unsigned(ymd.day()));
    p.Hour = int(ms / 3'600'000);
    p.Minute = int(ms / 60'000 % 60);
    p.Second = int(ms / 1000 % 60);
    p.Msec = int(ms % 1000);
    return p;
}

TFakeClock::TFakeClock(TDateTime now, std::int64_t ms) : previous_(installed.load()), now_(now), ms_(ms) {
    installed = this;
}

TFakeClock::~TFakeClock() {
    installed = previous_;
}

TFakeClock* TFakeClock::Current() {
    return installed.load();
}

void TFakeClock::Advance(std::int64_t ms) {
    const std::int64_t target = ms_ + ms;
    // An action may schedule or cancel alarms, so take them one at a time.
    while (!alarms_.empty() && alarms_.begin()->first <= target) {
        auto first = alarms_.begin();
        now_ += double(first->first - ms_) / MsPerDay;
        ms_ = first->first;
        std::function<void()> action = std::move(first->second.second);
        alarms_.erase(first);
        action();
    }
    if (target > ms_) {
        now_ += double(target - ms_) / MsPerDay;
        ms_ = target;
    }
}

void TFakeClock::SetNow(TDateTime now) {
    now_ = now;
}

TFakeClock::AlarmId TFakeClock::Schedule(std::int64_t due, std::function<void()> action) {
    const AlarmId id = nextAlarmId++;
    alarms_.emplace(due, std::make_pair(id, std::move(action)));
    return id;
}

void TFakeClock::Cancel(AlarmId id) {
    for (auto it = alarms_.begin(); it != alarms_.end(); ++it) {
        if (it->second.first == id) {
            alarms_.erase(it);
            return;
        }
    }
}
