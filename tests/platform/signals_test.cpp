// The exit signals: caught, handed to the main thread from the event loop, and given back when done.
#include "platform/Signals.h"

#include <csignal>
#include <vector>

#include <gtest/gtest.h>

#include "tests/platform/TestSupport.h"

namespace {

TEST(ExitSignals, EachIsHandedToTheMainThreadInTurnAndTheProcessGoesOn) {
    std::vector<int> taken;
    {
        const TExitSignals exitSignals([&taken](int signal) { taken.push_back(signal); });
        for (const int signal : TExitSignals::Signals)
            ASSERT_EQ(::raise(signal), 0);
        EXPECT_TRUE(taken.empty()) << "nothing runs inside the handler";
        EXPECT_TRUE(PumpUntil([&] { return taken.size() == std::size(TExitSignals::Signals); }));
        EXPECT_EQ(taken, (std::vector<int>{SIGTERM, SIGINT, SIGHUP}));
    }
    // Gone, it leaves the dispositions as they were.
    struct sigaction now {};
    ASSERT_EQ(::sigaction(SIGTERM, nullptr, &now), 0);
    EXPECT_EQ(now.sa_handler, SIG_DFL);
    EXPECT_STREQ(SignalName(SIGHUP), "SIGHUP");
}

} // namespace
