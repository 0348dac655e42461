#include <gtest/gtest.h>

#include <QTimer>

#include "platform/ScriptedDialogs.h"
#include "platform/Timer.h"
#include "tests/platform/TestSupport.h"

namespace {

class Timers : public ::testing::Test {
protected:
    TFakeClock clock;
    TTimer timer;
    std::vector<std::int64_t> ticks; // the fake time of each tick

    void Count() {
        timer.SetOnTimer([this] { ticks.push_back(clock.Ms()); });
    }
    std::int64_t Since(std::int64_t start) const { return clock.Ms() - start; }
};

TEST_F(Timers, StartEnabledAtASecondAndFireEveryInterval) {
    EXPECT_TRUE(timer.Enabled());
    EXPECT_EQ(timer.Interval(), 1000);
    const std::int64_t start = clock.Ms();
    Count();
    clock.Advance(3500);
    ASSERT_EQ(ticks.size(), 3u);
    EXPECT_EQ(ticks[0] - start, 1000);
    EXPECT_EQ(ticks[2] - start, 3000);
}

TEST_F(Timers, NeverFireWithIntervalZeroDisabledOrWithoutHandler) {
    struct Case {
        int interval;
        bool enabled;
        bool handler;
    };
    for (const Case c :
         {Case{0, true, true}, Case{-5, true, true}, Case{500, false, true}, Case{500, true, false}}) {
        TTimer t;
        int fired = 0;
        t.SetInterval(c.interval);
        t.SetEnabled(c.enabled);
        if (c.handler)
            t.SetOnTimer([&] { ++fired; });
        clock.Advance(10'000);
        EXPECT_EQ(fired, 0) << c.interval << " " << c.enabled << " " << c.handler;
        EXPECT_FALSE(t.Running());
    }
}

TEST_F(Timers, ChangingIntervalOrEnabledRestartsThePeriod) {
    Count();
    timer.SetInterval(5000);
    clock.Advance(4000);
    timer.SetInterval(3000); // restarts: next tick 3000 from now, not at 5000
    std::int64_t mark = clock.Ms();
    clock.Advance(2999);
    EXPECT_TRUE(ticks.empty());
    clock.Advance(1);
    ASSERT_EQ(ticks.size(), 1u);
    EXPECT_EQ(ticks[0] - mark, 3000);

    clock.Advance(2000);
    timer.SetEnabled(false); // the log's idle timer: disable, set, enable again
    timer.SetInterval(5000);
    timer.SetEnabled(true);
    mark = clock.Ms();
    clock.Advance(5000);
    ASSERT_EQ(ticks.size(), 2u);
    EXPECT_EQ(ticks[1] - mark, 5000);
}

TEST_F(Timers, SettingTheSameValuesAgainChangesNothing) {
    Count();
    timer.SetInterval(1000);
    clock.Advance(600);
    timer.SetEnabled(true);
    timer.SetInterval(1000);
    clock.Advance(400);
    EXPECT_EQ(ticks.size(), 1u);
}

TEST_F(Timers, OneShotDisablesItselfInTheHandler) {
    timer.SetInterval(100);
    int fired = 0;
    timer.SetOnTimer([&] {
        ++fired;
        timer.SetEnabled(false);
    });
    clock.Advance(1000);
    EXPECT_EQ(fired, 1);
    EXPECT_FALSE(timer.Enabled());
}

TEST_F(Timers, AHandlerInANestedLoopIsNotEnteredAgain) {
    // Time passes while the handler waits in a modal box; its own ticks are skipped, others run.
    TTimer other;
    other.SetInterval(100);
    int otherTicks = 0;
    other.SetOnTimer([&] { ++otherTicks; });
    int entered = 0, depth = 0, deepest = 0;
    timer.SetInterval(100);
    timer.SetOnTimer([&] {
        ++entered;
        deepest = std::max(deepest, ++depth);
        if (entered == 1)
            clock.Advance(1000);
        --depth;
    });
    clock.Advance(100);
    EXPECT_EQ(deepest, 1);
    EXPECT_EQ(entered, 1);
    EXPECT_GE(otherTicks, 10);
    clock.Advance(100);
    EXPECT_EQ(entered, 2);
}

TEST_F(Timers, AHandlerMayDestroyItsTimer) {
    auto owned = std::make_unique<TTimer>();
    owned->SetInterval(10);
    owned->SetOnTimer([&] { owned.reset(); });
    clock.Advance(100);
    EXPECT_EQ(owned, nullptr);
}

TEST_F(Timers, AnExceptionInTheHandlerIsShownAndTheTimerGoesOn) {
    TScriptedDialogs dialogs(FailTest);
    dialogs.Expect(mtError, QStringLiteral("boom"), mrOk);
    dialogs.Expect(mtError, QStringLiteral("boom"), mrOk);
    timer.SetInterval(100);
    timer.SetOnTimer([] { throw std::runtime_error("boom"); });
    clock.Advance(200);
    EXPECT_EQ(dialogs.Pending(), 0u);
}

TEST(RealTimer, FiresFromTheEventLoop) {
    TTimer timer;
    timer.SetInterval(5);
    int ticks = 0;
    timer.SetOnTimer([&] { ++ticks; });
    EXPECT_TRUE(PumpUntil([&] { return ticks >= 2; }));
    timer.SetInterval(0);
    const int stopped = ticks;
    // A timer due well after the stopped one's next tick: Qt runs due timers in the order they fall due.
    bool later = false;
    QTimer::singleShot(50, Qt::PreciseTimer, [&] { later = true; });
    ASSERT_TRUE(PumpUntil([&] { return later; }));
    EXPECT_EQ(ticks, stopped);
}

} // namespace
