#include <gtest/gtest.h>

#include <ctime>

#include "platform/Clock.h"

namespace {

TDateTime At(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
    return EncodeDateTime({y, mo, d, h, mi, s, ms});
}

TEST(DateTime, CountsDaysFromThe1899Epoch) {
    struct Case {
        TDateTime value;
        double days;
    };
    const Case cases[] = {
        {At(1899, 12, 30), 0.0},        {At(1899, 12, 31), 1.0},    {At(1900, 1, 1), 2.0},
        {At(1970, 1, 1), 25569.0},      {At(2000, 1, 1), 36526.0},  {At(2000, 1, 1, 12), 36526.5},
        {At(2001, 7, 28, 6), 37100.25}, {At(2024, 2, 29), 45351.0},
    };
    for (const Case& c : cases)
        EXPECT_DOUBLE_EQ(c.value, c.days);
}

TEST(DateTime, DecodesWhatItEncodes) {
    const TDateTimeParts cases[] = {
        {1899, 12, 30, 0, 0, 0, 0}, {2000, 2, 29, 23, 59, 59, 999}, {2024, 12, 31, 0, 0, 0, 1},
        {2038, 1, 19, 3, 14, 8, 0}, {1999, 12, 31, 12, 30, 0, 500},
    };
    for (const TDateTimeParts& p : cases) {
        const TDateTimeParts back = DecodeDateTime(EncodeDateTime(p));
        EXPECT_EQ(std::tie(back.Year, back.Month, back.Day, back.Hour, back.Minute, back.Second, back.Msec),
                  std::tie(p.Year, p.Month, p.Day, p.Hour, p.Minute, p.Second, p.Msec));
    }
}

TEST(DateTime, FormatsThePatternsInUse) {
    const TDateTime t = At(2024, 3, 5, 17, 4, 9, 42);
    struct Case {
        const char* format;
        const char* text;
    };
    const Case cases[] = {
        {LogDateTimeFormat, "05.03 17:04:09 "},
        {LongTimeFormat, "17:04:09"},
        {ShortDateFormat, "05.03.2024"},
        {"dd/mm/yy, hh:mm:ss", "05/03/24, 17:04:09"}, // mm right after an hour is minutes
        {"d.m h:n:s", "5.3 17:4:9"},
        {"hh:nn:ss.zzz", "17:04:09.042"},
        {"\"at\" hh", "at 17"},
        {"YYYY-MM-DD", "2024-03-05"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(FormatDateTime(QString::fromLatin1(c.format), t).toStdString(), c.text) << c.format;
    EXPECT_EQ(DateTimeToStr(t).toStdString(), "05.03.2024 17:04:09");
}

// The system's local time, read apart from Now, to the millisecond.
TDateTime SystemNow() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm local{};
    localtime_r(&ts.tv_sec, &local);
    return At(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
              local.tm_sec, int(ts.tv_nsec / 1'000'000));
}

// Now keeps the local time of the last second it was asked in: it must still follow the system's
// clock into the next second. Sampled until one second boundary has passed (at most a second).
TEST(DateTime, NowFollowsTheSystemsLocalTimeAcrossASecond) {
    const TDateTime first = Now();
    const TDateTimeParts start = DecodeDateTime(first);
    for (int samples = 0; samples < 10'000'000; ++samples) {
        const TDateTime before = SystemNow();
        const TDateTime now = Now();
        const TDateTime after = SystemNow();
        ASSERT_LE(before, now);
        ASSERT_LE(now, after);
        if (DecodeDateTime(now).Second != start.Second)
            return;
    }
    FAIL() << "the clock did not pass a second";
}

TEST(FakeClock, ReplacesBothClocksUntilDestroyed) {
    const std::int64_t before = MonotonicMs();
    {
        TFakeClock fake(At(2024, 3, 15, 12), 5000);
        EXPECT_EQ(MonotonicMs(), 5000);
        EXPECT_EQ(timeGetTime(), 5000u);
        EXPECT_DOUBLE_EQ(Now(), At(2024, 3, 15, 12));
        fake.Advance(90'000);
        EXPECT_EQ(MonotonicMs(), 95'000);
        EXPECT_EQ(FormatDateTime(QString::fromLatin1(LongTimeFormat), Now()).toStdString(), "12:01:30");
        fake.SetNow(At(2024, 3, 15, 11)); // the wall clock steps back; time-outs do not notice
        EXPECT_EQ(MonotonicMs(), 95'000);
        EXPECT_EQ(TimeToStr(Now()).toStdString(), "11:00:00");
    }
    EXPECT_GE(MonotonicMs(), before);
    EXPECT_GT(Now(), At(2020, 1, 1));
}

TEST(FakeClock, MultimediaTimeWrapsAt32Bits) {
    TFakeClock fake(At(2024, 1, 1), (std::int64_t(1) << 32) - 10);
    EXPECT_EQ(timeGetTime(), 0xFFFFFFF6u);
    fake.Advance(20);
    EXPECT_EQ(timeGetTime(), 10u);
}

TEST(FakeClock, RunsAlarmsInTimeOrderAtTheirOwnTime) {
    TFakeClock fake(At(2024, 1, 1), 0);
    std::vector<std::pair<int, std::int64_t>> ran;
    fake.Schedule(300, [&] { ran.push_back({3, MonotonicMs()}); });
    fake.Schedule(100, [&] {
        ran.push_back({1, MonotonicMs()});
        fake.Schedule(200, [&] { ran.push_back({2, MonotonicMs()}); });
    });
    const auto cancelled = fake.Schedule(250, [&] { ran.push_back({9, MonotonicMs()}); });
    fake.Cancel(cancelled);
    fake.Advance(299);
    fake.Advance(1);
    const std::vector<std::pair<int, std::int64_t>> expected = {{1, 100}, {2, 200}, {3, 300}};
    EXPECT_EQ(ran, expected);
}

} // namespace
