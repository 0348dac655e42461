// The texts of how long ago something happened: the objects grid's "ddd hh:nn:ss" and the object
// panel's "(45 мин 12 с назад)".
//
// The difference is taken in whole milliseconds before it is cut into days, hours, minutes and
// seconds, so that an exact whole-second difference never comes out one second short, as it would by
// cutting the fractions of a day. A time below 0.5 (no time known) or not before now gives an empty
// text.
#pragma once

#include <cstdint>

#include <QString>

#include "core/RecordFields.h"

struct TSinceParts {
    std::int64_t Days = 0;
    int Hours = 0, Minutes = 0, Seconds = 0;
};

// False when there is no duration to show (time unknown, in the future, or now).
bool SinceParts(TDateTime time, TDateTime now, TSinceParts& parts);

// "002 05:07:09"
QString SinceTimeText(TDateTime time, TDateTime now);
// "(1 сут 0 ч назад)": the first unit that is at least 1 and the next one; empty under a second.
QString SinceTimeCaption(TDateTime time, TDateTime now);
