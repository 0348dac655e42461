#include <gtest/gtest.h>

#include "platform/ClockSource.h"
#include "platform/Messages.h"
#include "serial/Utilities.h"
#include "tests/serial/MainThreadStandIn.h"

namespace {

TEST(Ticks, ConvertSecondsAndMilliseconds) {
    struct Case {
        std::int32_t (*Convert)(std::int32_t);
        std::int32_t In, Out;
    };
    const Case cases[] = {
        {Secs2Ticks, 1, 18}, {Secs2Ticks, 10, 182}, {MSecs2Ticks, 1000, 18}, {MSecs2Ticks, 54, 0},
        {Ticks2Secs, 18, 1}, {Ticks2Secs, 9, 0},    {Ticks2Secs, 0, 0},      {Ticks2Secs, 182, 10},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.Convert(c.In), c.Out) << c.In;
}

TEST(Ticks, AreTheMillisecondClockIn55msSteps) {
    TFakeClock clock(EncodeDateTime({2024, 3, 15}), 55 * 1000 + 54);
    EXPECT_EQ(TickCount(), 1000);
    clock.Advance(1);
    EXPECT_EQ(TickCount(), 1001);
}

TEST(EventTimer, ExpiresOnceTheTickCountHasPassedItsEnd) {
    TFakeClock clock(EncodeDateTime({2024, 3, 15}), 55 * 1000);
    EventTimer timer;
    NewTimer(timer, 0);
    EXPECT_FALSE(TimerExpired(timer));
    clock.Advance(55);
    EXPECT_TRUE(TimerExpired(timer));

    NewTimer(timer, 18);
    EXPECT_EQ(RemainingTime(timer), 18);
    clock.Advance(10 * 55);
    EXPECT_EQ(ElapsedTime(timer), 10);
    EXPECT_EQ(RemainingTime(timer), 8);
    EXPECT_FALSE(TimerExpired(timer));
    clock.Advance(9 * 55);
    EXPECT_TRUE(TimerExpired(timer));
    EXPECT_EQ(RemainingTime(timer), 0);
    clock.Advance(100 * 55);
    EXPECT_EQ(RemainingTime(timer), 0); // never below zero
    EXPECT_EQ(ElapsedTimeInSecs(timer), Ticks2Secs(119));
}

TEST(EventTimer, IsLimitedToTheLongestDuration) {
    TFakeClock clock;
    EventTimer timer;
    NewTimer(timer, 50'000'000);
    EXPECT_EQ(timer.ExpireTicks - timer.StartTicks, MaxTicks);
    NewTimerSecs(timer, 10);
    EXPECT_EQ(timer.ExpireTicks - timer.StartTicks, 182);
}

TEST(EventTimer, RunsItsTimeAcrossTheClockStartingAgainFromZero) {
    // 2^32 ms after its start the multimedia clock shows 0 again.
    TFakeClock clock(EncodeDateTime({2024, 3, 15}), (std::int64_t(1) << 32) - 550);
    EventTimer timer;
    NewTimer(timer, 20);
    clock.Advance(825); // past the wrap
    EXPECT_LT(TickCount(), timer.StartTicks);
    EXPECT_EQ(ElapsedTime(timer), 16);
    EXPECT_EQ(RemainingTime(timer), 4);
    EXPECT_FALSE(TimerExpired(timer));
    clock.Advance(275);
    EXPECT_TRUE(TimerExpired(timer));
}

TEST(DelayTicks, ReturnsAtOnceForNoTicks) {
    PostQuitMessage();
    EXPECT_EQ(DelayTicks(0, true), 0u);
    EXPECT_EQ(DelayTicks(-5, true), 0u);
    ClearMessages();
}

TEST(DelayTicks, EndsEarlyOnAQuitAndLeavesItQueued) {
    TFakeClock clock; // time stands still: only the quit can end the wait
    PostQuitMessage();
    EXPECT_EQ(DelayTicks(36, true), WM_QUIT);
    EXPECT_EQ(SafeYield(), WM_QUIT);
    ClearMessages();
}

TEST(DelayTicks, LetsMessagesRunWhileItWaits) {
    TFakeClock clock;
    int calls = 0;
    TMessageWindow window([&](unsigned, WPARAM, LPARAM) -> LRESULT {
        ++calls;
        clock.Advance(55 * 37); // the wait's time passes while the message runs
        return 0;
    });
    PostMessage(window.Handle(), 0x7E01, 0, 0);
    EXPECT_EQ(DelayTicks(36, true), std::uint32_t(0x7E01 | window.Handle() << 16));
    EXPECT_EQ(calls, 1);
}

TEST(DelayMS, SpinsForItsTimeWithoutRunningMessages) {
    bool ran = false;
    TMessageWindow window([&](unsigned, WPARAM, LPARAM) -> LRESULT {
        ran = true;
        return 0;
    });
    PostMessage(window.Handle(), 0x7E01, 0, 0);
    const std::int64_t start = MonotonicMs();
    DelayMS(0);
    DelayMS(3);
    EXPECT_GE(MonotonicMs() - start, 3);
    EXPECT_FALSE(ran);
    ClearMessages();
}

TEST(TSioBaseComponent, VersionIsFixed) {
    TSioBaseComponent component;
    EXPECT_EQ(component.Version(), "v4.07");
    component.SetVersion("v9.99");
    EXPECT_EQ(component.Version(), "v4.07");
}

} // namespace
