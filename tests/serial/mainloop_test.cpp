// The library in the program's own event loop: SafeYield over the framework's pump, a lost device
// reported to a window on the main thread, the serial port component's events and its port prompt.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCoreApplication>
#include <QPushButton>
#include <QThread>
#include <QTimer>

#include "platform/Messages.h"
#include "serial/ComPort.h"
#include "serial/Serial.h"
#include "tests/platform/TestSupport.h"
#include "tests/serial/SerialTestSupport.h"

namespace {

TEST(SafeYield, RunsTheMessagesThatWaitAndNamesTheOneItHandled) {
    int delivered = 0;
    TMessageWindow window([&](unsigned, WPARAM, LPARAM) -> LRESULT {
        ++delivered;
        return 0;
    });
    EXPECT_EQ(SafeYield(), 0u); // nothing waits
    PostMessage(window.Handle(), 0x7E01, 0, 0);
    EXPECT_EQ(SafeYield(), 0x7E01u | std::uint32_t(window.Handle() & 0xFFFF) << 16);
    EXPECT_EQ(delivered, 1);
    EXPECT_EQ(SafeYield(), 0u);
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

bool OnMainThread() {
    return QThread::currentThread() == QCoreApplication::instance()->thread();
}

class ComPortInTheEventLoop : public ::testing::Test {
protected:
    void SetUp() override {
        folder.Map(3, pty.SlavePath());
        port.SetComNumber(3);
        port.SetOnPortClose([this](TSioCustomComPort*) { ++closes; });
    }

    TComFolder folder;
    TPtyPair pty;
    TSioComPort port;
    int closes = 0;
};

TEST_F(ComPortInTheEventLoop, TheAvailHandlerRunsOnTheMainThreadAndMayCloseThePort) {
    std::string received;
    bool onMainThread = false;
    port.SetOnTriggerAvail([&](TSioCustomComPort* cp, std::uint16_t count) {
        onMainThread = OnMainThread();
        std::string block(count, '\0');
        cp->GetBlock(block.data(), count);
        received += block;
        if (received.find("NO CARRIER") != std::string::npos)
            cp->SetOpen(false);
    });
    port.SetOpen(true);
    port.PutString("ATD\r");
    EXPECT_EQ(pty.Read(4), Bytes("ATD\r"));
    const std::string answer = "\r\nNO CARRIER\r\n";
    pty.Write(Bytes(answer));
    ASSERT_TRUE(PumpUntil([&] { return port.PortState() == psClosed; }));
    EXPECT_TRUE(onMainThread);
    EXPECT_EQ(received, answer);
    EXPECT_EQ(closes, 1);
    EXPECT_FALSE(port.Open());
    ASSERT_TRUE(PumpIdle()); // the window that closed itself goes with the loop
    port.SetOpen(true);
    EXPECT_TRUE(port.Open());
}

TEST_F(ComPortInTheEventLoop, APulledDeviceClosesThePortByItself) {
    port.SetOpen(true);
    pty.CloseMaster();
    ASSERT_TRUE(PumpUntil([&] { return closes == 1; }));
    EXPECT_EQ(port.PortState(), psClosed);
}

TEST_F(ComPortInTheEventLoop, APortNotChosenIsAskedFor) {
    for (std::uint32_t n = 1; n <= 50; ++n) {
        if (n != 3)
            folder.Map(n, folder.Root() + "/nothing");
    }
    TSioComPort prompted;
    QTimer::singleShot(0, [] {
        QWidget* dialog = QApplication::activeModalWidget();
        ASSERT_NE(dialog, nullptr);
        dialog->findChild<QPushButton*>("OkBtn")->click();
    });
    prompted.SetOpen(true);
    EXPECT_EQ(prompted.ComNumber(), 3);
    EXPECT_TRUE(prompted.Open());
}

} // namespace
