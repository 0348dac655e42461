#include "platform/Clock.h"

namespace {

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
