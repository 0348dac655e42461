#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>

#include <QCoreApplication>
#include <QThread>

#include "platform/Messages.h"
#include "tests/platform/TestSupport.h"

namespace {

constexpr unsigned WmTrigger = 0x7E01;

struct Delivery {
    unsigned message;
    WPARAM wParam;
    LPARAM lParam;
    bool onMainThread;
};

class Messages : public ::testing::Test {
protected:
    std::vector<Delivery> delivered;
    TMessageWindow window{[this](unsigned m, WPARAM w, LPARAM l) -> LRESULT {
        delivered.push_back({m, w, l, QThread::currentThread() == QCoreApplication::instance()->thread()});
        return LRESULT(w) + l;
    }};
};

TEST_F(Messages, PostFromAWorkerRunsTheProcedureOnTheMainThread) {
    std::thread worker([h = window.Handle()] {
        for (WPARAM i = 0; i < 3; ++i)
            EXPECT_TRUE(PostMessage(h, WmTrigger + unsigned(i), i, -LPARAM(i)));
    });
    worker.join();
    EXPECT_TRUE(delivered.empty()); // nothing runs until the loop does
    ASSERT_TRUE(PumpUntil([&] { return delivered.size() == 3; }));
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(delivered[i].message, WmTrigger + i);
        EXPECT_EQ(delivered[i].lParam, -LPARAM(i));
        EXPECT_TRUE(delivered[i].onMainThread);
    }
}

TEST_F(Messages, BlockingSendFromAWorkerReturnsTheProceduresResult) {
    std::atomic<bool> done{false};
    LRESULT result = 0;
    bool answered = false;
    std::thread worker([&, h = window.Handle()] {
        answered = SendMessageTimeout(h, WmTrigger, 40, 2, 3000, &result);
        done = true;
    });
    EXPECT_TRUE(PumpUntil([&] { return done.load(); }));
    worker.join();
    EXPECT_TRUE(answered);
    EXPECT_EQ(result, 42);
    ASSERT_EQ(delivered.size(), 1u);
    EXPECT_TRUE(delivered[0].onMainThread);
}

TEST_F(Messages, BlockingSendTimesOutWhileTheMainThreadIsBusy) {
    auto sent = std::async(std::launch::async, [h = window.Handle()] {
        LRESULT result = -1;
        const auto start = std::chrono::steady_clock::now();
        const bool answered = SendMessageTimeout(h, WmTrigger, 1, 1, 50, &result);
        return std::make_tuple(answered, result, std::chrono::steady_clock::now() - start);
    });
    const auto [answered, result, waited] = sent.get(); // the main thread pumps nothing meanwhile
    EXPECT_FALSE(answered);
    EXPECT_EQ(result, -1);
    EXPECT_GE(waited, std::chrono::milliseconds(50));
    ASSERT_TRUE(PostMessage(window.Handle(), WmTrigger + 1, 0, 0)); // queued behind the send
    ASSERT_TRUE(PumpUntil([&] { return !delivered.empty(); }));
    ASSERT_EQ(delivered.size(), 1u) << "a send whose time ran out is not delivered later";
    EXPECT_EQ(delivered[0].message, WmTrigger + 1);
}

TEST_F(Messages, ASendToAWindowThatGoesReturnsAtOnce) {
    auto gone = std::make_unique<TMessageWindow>([](unsigned, WPARAM, LPARAM) -> LRESULT { return 1; });
    const HWND h = gone->Handle();
    auto sent = std::async(std::launch::async, [h] {
        LRESULT result = 0;
        return SendMessageTimeout(h, WmTrigger, 0, 0, 60'000, &result);
    });
    PumpFor(10);  // nothing tells that the worker's send is queued: either way it ends at once
    gone.reset(); // the worker may be waiting in its send, or not have sent yet
    EXPECT_EQ(sent.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_FALSE(PostMessage(h, WmTrigger, 0, 0));
    LRESULT result = 0;
    EXPECT_FALSE(SendMessageTimeout(h, WmTrigger, 0, 0, 10, &result));
}

TEST_F(Messages, AWindowDestroyedByItsOwnProcedureFinishesThatCallAndTakesNoMore) {
    std::unique_ptr<TMessageWindow> self;
    std::vector<unsigned> seen;
    self = std::make_unique<TMessageWindow>(
        [&self, &seen, text = std::string(64, 'x')](unsigned m, WPARAM, LPARAM) -> LRESULT {
            seen.push_back(m);
            if (m == WmTrigger)
                self.reset();
            return LRESULT(text.size()); // the procedure's own state is still there
        });
    const HWND h = self->Handle();
    EXPECT_TRUE(PostMessage(h, WmTrigger, 0, 0));
    EXPECT_TRUE(PostMessage(h, WmTrigger + 1, 0, 0)); // queued behind the one that destroys
    auto sent = std::async(std::launch::async, [h] {
        LRESULT result = 0;
        return SendMessageTimeout(h, WmTrigger + 2, 0, 0, 60'000, &result);
    });
    PumpUntil([&] { return !seen.empty(); });
    ASSERT_EQ(sent.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_FALSE(sent.get());
    ASSERT_TRUE(PostMessage(window.Handle(), WmTrigger, 0, 0)); // queued behind the rest
    ASSERT_TRUE(PumpUntil([&] { return !delivered.empty(); }));
    EXPECT_EQ(seen, std::vector<unsigned>{WmTrigger});
    EXPECT_FALSE(PostMessage(h, WmTrigger, 0, 0));
    EXPECT_EQ(SendMessage(h, WmTrigger, 0, 0), 0);
}

TEST_F(Messages, SendOnTheMainThreadCallsTheProcedureAtOnce) {
    EXPECT_EQ(SendMessage(window.Handle(), WM_USER + 1, 5, 6), 11);
    ASSERT_EQ(delivered.size(), 1u);
    EXPECT_EQ(SendMessage(HWND(0), WM_USER, 0, 0), 0);
}

TEST(RegisterWindowMessage, GivesOneNumberPerName) {
    const unsigned taskbar = RegisterWindowMessage(QStringLiteral("TaskbarCreated"));
    EXPECT_GE(taskbar, 0xC000u);
    EXPECT_EQ(RegisterWindowMessage(QStringLiteral("taskbarcreated")), taskbar);
    EXPECT_NE(RegisterWindowMessage(QStringLiteral("Other")), taskbar);
}

} // namespace
