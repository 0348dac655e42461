// Stands in for the multimedia timer (timeGetTime) and the framework's TDateTime clock: the clock
// sources of platform/ClockSource.h and the date formatting the operator reads (log lines, the
// object panel). Formatting belongs to the main thread.
#pragma once

#include <QString>

#include "platform/ClockSource.h"

// Format tokens, case-insensitive: yyyy yy mm m dd d hh h nn n ss s zzz; "mm"/"m" right after an hour
// token means minutes; text in double quotes is copied. Anything else is copied as it is.
QString FormatDateTime(const QString& format, TDateTime value);

inline constexpr const char* LongTimeFormat = "hh:nn:ss";
inline constexpr const char* ShortDateFormat = "dd.mm.yyyy";
inline constexpr const char* LogDateTimeFormat = "dd.mm hh:nn:ss ";

QString TimeToStr(TDateTime value);     // LongTimeFormat
QString DateToStr(TDateTime value);     // ShortDateFormat
QString DateTimeToStr(TDateTime value); // date, blank, time
