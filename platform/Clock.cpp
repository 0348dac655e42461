#include "platform/Clock.h"

#include <chrono>
#include <cmath>
#include <ctime>

namespace {

constexpr std::int64_t MsPerDay = 86'400'000;
constexpr int EpochOffsetDays = 25569; // 1899-12-30 to 1970-01-01

TFakeClock* installed = nullptr;
TFakeClock::AlarmId nextAlarmId = 1; // unique across fakes, so a stale id never cancels a new alarm

std::int64_t RealMonotonicMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1'000'000;
}

TDateTime RealNow() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm local{};
    localtime_r(&ts.tv_sec, &local);
    return EncodeDateTime({local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                           local.tm_sec, int(ts.tv_nsec / 1'000'000)});
}

QString Pad(int value, int width) {
    return QString::number(value).rightJustified(width, QLatin1Char('0'));
}

// Length of the run of `c` (case-insensitive) at position i.
int RunLength(const QString& s, int i, QChar c) {
    int n = 0;
    while (i + n < s.size() && s[i + n].toLower() == c)
        ++n;
    return n;
}

} // namespace

std::int64_t MonotonicMs() {
    return installed ? installed->Ms() : RealMonotonicMs();
}

std::uint32_t timeGetTime() {
    return std::uint32_t(MonotonicMs());
}

TDateTime Now() {
    return installed ? installed->NowValue() : RealNow();
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

QString FormatDateTime(const QString& format, TDateTime value) {
    const TDateTimeParts p = DecodeDateTime(value);
    QString out;
    bool afterHour = false;
    for (int i = 0; i < format.size();) {
        const QChar c = format[i].toLower();
        if (format[i] == QLatin1Char('"')) {
            const int end = format.indexOf(QLatin1Char('"'), i + 1);
            const int stop = end < 0 ? format.size() : end;
            out += format.mid(i + 1, stop - i - 1);
            i = stop + 1;
            continue;
        }
        const int n = RunLength(format, i, c);
        if (c == QLatin1Char('y')) {
            out += n >= 4 ? Pad(p.Year, 4) : Pad(p.Year % 100, 2);
        } else if (c == QLatin1Char('m')) {
            const int v = afterHour ? p.Minute : p.Month;
            out += n >= 2 ? Pad(v, 2) : QString::number(v);
        } else if (c == QLatin1Char('d')) {
            out += n >= 2 ? Pad(p.Day, 2) : QString::number(p.Day);
        } else if (c == QLatin1Char('h')) {
            out += n >= 2 ? Pad(p.Hour, 2) : QString::number(p.Hour);
        } else if (c == QLatin1Char('n')) {
            out += n >= 2 ? Pad(p.Minute, 2) : QString::number(p.Minute);
        } else if (c == QLatin1Char('s')) {
            out += n >= 2 ? Pad(p.Second, 2) : QString::number(p.Second);
        } else if (c == QLatin1Char('z')) {
            out += n >= 3 ? Pad(p.Msec, 3) : QString::number(p.Msec);
        } else {
            out += format.mid(i, n);
        }
        if (c.isLetter())
            afterHour = c == QLatin1Char('h');
        i += n;
    }
    return out;
}

QString TimeToStr(TDateTime value) {
    return FormatDateTime(QString::fromLatin1(LongTimeFormat), value);
}

QString DateToStr(TDateTime value) {
    return FormatDateTime(QString::fromLatin1(ShortDateFormat), value);
}

QString DateTimeToStr(TDateTime value) {
    return DateToStr(value) + QLatin1Char(' ') + TimeToStr(value);
}

TFakeClock::TFakeClock(TDateTime now, std::int64_t ms) : previous_(installed), now_(now), ms_(ms) {
    installed = this;
}

TFakeClock::~TFakeClock() {
    installed = previous_;
}

TFakeClock* TFakeClock::Current() {
    return installed;
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
