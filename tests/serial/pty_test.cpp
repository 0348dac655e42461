// The dispatcher on a real terminal: a pseudo-terminal whose slave is COM7 in a COM folder of the
// test's own, with the test at the master.
#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "serial/Serial.h"
#include "tests/serial/MainThreadStandIn.h"
#include "tests/serial/SerialTestSupport.h"

namespace {

std::vector<std::uint8_t> EveryByte() {
    std::vector<std::uint8_t> bytes(256);
    for (int i = 0; i < 256; ++i)
        bytes[std::size_t(i)] = std::uint8_t(i);
    return bytes;
}

class DispatcherOverPty : public ::testing::Test {
protected:
    void SetUp() override { folder.Map(7, pty.SlavePath()); }
    void TearDown() override { ClearMessages(); }

    std::int32_t Open(TSioBaseDispatcher& port) {
        return port.InitPort("\\\\.\\COM7", 19200, NOPARITY, 8, 1, 4096, 4096, ipDtr | ipRts);
    }

    TComFolder folder;
    TPtyPair pty;
    std::unique_ptr<TSioWin32Dispatcher> port = std::make_unique<TSioWin32Dispatcher>(nullptr);
};

TEST_F(DispatcherOverPty, EveryByteValuePassesBothWaysUnchangedWithoutEcho) {
    ASSERT_EQ(Open(*port), ecOK);
    const std::vector<std::uint8_t> all = EveryByte();
    pty.Write(all);
    ASSERT_TRUE(PumpUntil([&] { return port->InBuffUsed() >= 256; }));
    std::vector<std::uint8_t> got(256);
    ASSERT_EQ(port->GetBlock(got.data(), 256), 256);
    EXPECT_EQ(got, all);
    EXPECT_TRUE(pty.Read(1, 100).empty()); // nothing echoed back

    ASSERT_EQ(port->PutBlock(all.data(), 256), ecOK);
    EXPECT_EQ(pty.Read(256), all);
    EXPECT_TRUE(pty.Read(1, 100).empty()); // nothing added
    EXPECT_EQ(port->InBuffUsed(), 0);
}

TEST_F(DispatcherOverPty, LineSettingsShowAtTheOtherEnd) {
    ASSERT_EQ(Open(*port), ecOK);
    ASSERT_EQ(port->SetLine(9600, EVENPARITY, 7, 2), ecOK);
    termios t = pty.SlaveSettings();
    EXPECT_EQ(cfgetospeed(&t), speed_t(B9600));
    EXPECT_TRUE(t.c_cflag & CSTOPB);
    EXPECT_FALSE(t.c_lflag & (ECHO | ICANON));
    // A pseudo-terminal keeps neither parity nor data bits; the port still reads them back.
    std::int32_t baud = 0;
    std::uint16_t parity = 0;
    std::uint8_t dataBits = 0, stopBits = 0;
    port->GetLine(baud, parity, dataBits, stopBits);
    EXPECT_EQ(baud, 9600);
    EXPECT_EQ(parity, EVENPARITY);
    EXPECT_EQ(dataBits, 7);
    EXPECT_EQ(stopBits, 2);

    ASSERT_EQ(port->HWFlowOptions(3686, 409, hfUseRts | hfRequireCts), ecOK);
    EXPECT_TRUE(pty.SlaveSettings().c_cflag & CRTSCTS);
    ASSERT_EQ(port->HWFlowOptions(3686, 409, 0), ecOK);
    EXPECT_FALSE(pty.SlaveSettings().c_cflag & CRTSCTS);
    ASSERT_EQ(port->SWFlowEnable(3072, 1024, sfReceive | sfTransmit), ecOK);
    t = pty.SlaveSettings();
    EXPECT_TRUE(t.c_iflag & IXON);
    EXPECT_TRUE(t.c_iflag & IXOFF);

    ASSERT_EQ(port->SetLine(250000, NOPARITY, 8, 1), ecOK); // no B constant for this rate
    EXPECT_EQ(TerminalSpeed(pty.Master()), 250000u);
    EXPECT_FALSE(pty.SlaveSettings().c_cflag & CSTOPB);
}

TEST_F(DispatcherOverPty, ASecondOpenIsRefusedAsInUse) {
    ASSERT_EQ(Open(*port), ecOK);
    TSioWin32Dispatcher second(nullptr);
    EXPECT_EQ(Open(second), ecAccessDenied);
    EXPECT_EQ(second.LastWinError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(second.LastErrno(), EBUSY);
    port->DonePort();
    EXPECT_EQ(Open(second), ecOK); // free again once closed
}

TEST_F(DispatcherOverPty, AVanishedDeviceIsReportedAndClosedOnTheMainThread) {
    ASSERT_EQ(Open(*port), ecOK);
    const std::thread::id mainThread = std::this_thread::get_id();
    std::int32_t lostCode = 0;
    bool closedOnMainThread = false;
    TMessageWindow window([&](unsigned message, WPARAM wParam, LPARAM) -> LRESULT {
        if (message == DeviceLostMessage) {
            lostCode = std::int32_t(std::uint32_t(wParam));
            closedOnMainThread = std::this_thread::get_id() == mainThread;
            port->DonePort(); // what the component does
        }
        return 0;
    });
    port->RegisterWndTriggerHandler(window.Handle());
    pty.CloseMaster();
    ASSERT_TRUE(PumpUntil([&] { return lostCode != 0; }));
    EXPECT_EQ(lostCode, ecDeviceRead);
    EXPECT_TRUE(closedOnMainThread);
    EXPECT_EQ(port->LastWinError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(port->ActiveThreads(), 0);
    EXPECT_FALSE(port->DispActive());
    EXPECT_EQ(port->ComHandle(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(port->InBuffFree(), 8192); // the buffers are gone
}

TEST_F(DispatcherOverPty, ATapiDispatcherWorksOnTheHandleItIsGiven) {
    const int fd = open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    TSioTAPI32Dispatcher tapi(nullptr, fd);
    ASSERT_EQ(tapi.InitPort(nullptr, 9600, NOPARITY, 8, 1, 4096, 4096, ipDtr | ipRts), ecOK);
    EXPECT_EQ(tapi.ComHandle(), fd);
    ASSERT_EQ(tapi.PutString("ATZ\r"), ecOK);
    EXPECT_EQ(pty.Read(4), (std::vector<std::uint8_t>{'A', 'T', 'Z', '\r'}));
    pty.Write({'O', 'K'});
    EXPECT_TRUE(PumpUntil([&] { return tapi.InBuffUsed() == 2; }));
    tapi.DonePort();
    EXPECT_EQ(fcntl(fd, F_GETFD), -1); // the handle was closed with the port
}

} // namespace
