// The library in the program's own event loop: SafeYield over the framework's pump, and a lost
// device reported to a window on the main thread.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QThread>

#include "platform/Messages.h"
#include "serial/Serial.h"
#include "tests/platform/TestSupport.h"
#include "tests/serial/SerialTestSupport.h"

namespace {

TEST(SafeYield, RunsTheMessagesThatWait) {
    int delivered = 0;
    TMessageWindow window([&](unsigned, WPARAM, LPARAM) -> LRESULT {
        ++delivered;
        return 0;
    });
    PostMessage(window.Handle(), 0x7E01, 0, 0);
    EXPECT_EQ(SafeYield(), 0u);
    EXPECT_EQ(delivered, 1);
}

TEST(DeviceLoss, ReachesTheOwnersWindowOnTheMainThread) {
    TComFolder folder;
    TPtyPair pty;
    folder.Map(3, pty.SlavePath());
    TSioWin32Dispatcher port(nullptr);
    ASSERT_EQ(port.InitPort("\\\\.\\COM3", 9600, NOPARITY, 8, 1, 4096, 4096, ipDtr | ipRts), ecOK);
    bool closed = false;
    bool onMainThread = false;
    TMessageWindow window([&](unsigned message, WPARAM, LPARAM lParam) -> LRESULT {
        if (message == DeviceLostMessage && (lParam >> 16) == port.PortIndex()) {
            onMainThread = QThread::currentThread() == QCoreApplication::instance()->thread();
            port.DonePort();
            closed = true;
        }
        return 0;
    });
    port.RegisterWndTriggerHandler(window.Handle());
    pty.CloseMaster();
    ASSERT_TRUE(PumpUntil([&] { return closed; }));
    EXPECT_TRUE(onMainThread);
    EXPECT_EQ(port.ActiveThreads(), 0);
    EXPECT_EQ(port.ComHandle(), INVALID_HANDLE_VALUE);
}

} // namespace
