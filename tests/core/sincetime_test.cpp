#include "core/SinceTime.h"

#include <gtest/gtest.h>

#include "platform/Clock.h"

namespace {

const TDateTime Noon = EncodeDateTime({2024, 3, 15, 12, 0, 0, 0});

TDateTime SecondsBefore(TDateTime now, double seconds) {
    return now - seconds / 86400.0;
}

struct TSinceCase {
    double Seconds;
    const char* Text;
    const char* Caption;
};

TEST(SinceTimeTest, GridTextAndPanelCaptionOfAPastTime) {
    const TSinceCase cases[] = {
        {2 * 86400 + 5 * 3600 + 7 * 60 + 9, "002 05:07:09", "(2 сут 5 ч назад)"},
        {45 * 60 + 12, "000 00:45:12", "(45 мин 12 с назад)"},
        {3 * 3600, "000 03:00:00", "(3 ч 0 мин назад)"},
        {86400 + 5 * 60, "001 00:05:00", "(1 сут 0 ч назад)"},
        {12, "000 00:00:12", "(12 с назад)"},
        {0.4, "000 00:00:00", ""},
        {123 * 86400 + 59, "123 00:00:59", "(123 сут 0 ч назад)"},
    };
    for (const TSinceCase& c : cases) {
        const TDateTime time = SecondsBefore(Noon, c.Seconds);
        EXPECT_EQ(SinceTimeText(time, Noon).toStdString(), c.Text) << c.Seconds;
        EXPECT_EQ(SinceTimeCaption(time, Noon).toStdString(), c.Caption) << c.Seconds;
    }
}

TEST(SinceTimeTest, UnknownFutureAndPresentTimesGiveNoText) {
    for (const TDateTime time : {0.0, 0.49, Noon, Noon + 1.0 / 86400}) {
        EXPECT_TRUE(SinceTimeText(time, Noon).isEmpty()) << time;
        EXPECT_TRUE(SinceTimeCaption(time, Noon).isEmpty()) << time;
    }
}

// Cutting fractions of a day would make some of these one second short.
TEST(SinceTimeTest, WholeSecondDifferencesAreNeverOneSecondShort) {
    int shortByCutting = 0;
    for (int seconds = 1; seconds <= 200'000; seconds += 7) {
        const TDateTime time = SecondsBefore(Noon, seconds);
        TSinceParts p;
        ASSERT_TRUE(SinceParts(time, Noon, p));
        EXPECT_EQ(p.Days * 86400 + p.Hours * 3600 + p.Minutes * 60 + p.Seconds, seconds);
        const double rest = (Noon - time) * 86400.0;
        shortByCutting += static_cast<int>(rest) < seconds ? 1 : 0;
    }
    EXPECT_GT(shortByCutting, 0); // the case this guards against does occur
}

} // namespace
