#include "core/SinceTime.h"

#include <cmath>

namespace {

constexpr std::int64_t MsPerDay = 86'400'000;

} // namespace

bool SinceParts(TDateTime time, TDateTime now, TSinceParts& parts) {
    if (!(time >= 0.5) || !(time < now))
        return false;
    std::int64_t ms = std::llround((now - time) * double(MsPerDay));
    parts.Days = ms / MsPerDay;
    ms %= MsPerDay;
    parts.Hours = int(ms / 3'600'000);
    ms %= 3'600'000;
    parts.Minutes = int(ms / 60'000);
    parts.Seconds = int(ms % 60'000 / 1000);
    return true;
}

QString SinceTimeText(TDateTime time, TDateTime now) {
    TSinceParts p;
    if (!SinceParts(time, now, p))
        return QString();
    return QString::asprintf("%03lld %02d:%02d:%02d", static_cast<long long>(p.Days), p.Hours, p.Minutes,
                             p.Seconds);
}

QString SinceTimeCaption(TDateTime time, TDateTime now) {
    TSinceParts p;
    if (!SinceParts(time, now, p))
        return QString();
    const std::int64_t values[] = {p.Days, p.Hours, p.Minutes, p.Seconds};
    static const char* const units[] = {"сут", "ч", "мин", "с"};
    int first = 0;
    while (first < 4 && values[first] < 1)
        ++first;
    if (first == 4)
        return QString();
    QString text = QString::number(values[first]) + ' ' + QString::fromUtf8(units[first]);
    if (first < 3)
        text += ' ' + QString::number(values[first + 1]) + ' ' + QString::fromUtf8(units[first + 1]);
    return '(' + text + QString::fromUtf8(" назад)");
}
