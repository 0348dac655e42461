#include <gtest/gtest.h>

#include <cerrno>

#include "platform/CommDevice.h"
#include "platform/Win32Serial.h"
#include "serial/Serial.h"
#include "tests/serial/SerialTestSupport.h"

namespace {

class IsPortAvailableTest : public ::testing::Test {
protected:
    TComFolder folder;
    TPtyPair pty;
};

TEST_F(IsPortAvailableTest, ZeroIsNoPortAndNothingIsOpened) {
    int opened = 0;
    const auto counting = [&opened]() -> std::unique_ptr<TCommDevice> {
        ++opened;
        errno = ENOENT;
        return nullptr;
    };
    InstallCommDevice("COM0", counting);
    InstallCommDevice("COM3", counting);
    EXPECT_FALSE(IsPortAvailable(0));
    EXPECT_EQ(opened, 0);
    EXPECT_FALSE(IsPortAvailable(3)); // a port that is probed does reach the device
    EXPECT_EQ(opened, 1);
    InstallCommDevice("COM0", nullptr);
    InstallCommDevice("COM3", nullptr);
}

TEST_F(IsPortAvailableTest, APresentPortIsAvailableAndStaysFree) {
    folder.Map(5, pty.SlavePath());
    EXPECT_TRUE(IsPortAvailable(5));
    TSioWin32Dispatcher port(nullptr);
    ASSERT_EQ(port.InitPort("\\\\.\\COM5", 9600, NOPARITY, 8, 1, 4096, 4096, 0), ecOK);
    EXPECT_TRUE(IsPortAvailable(5)); // held, by us this time
}

TEST_F(IsPortAvailableTest, AnAbsentPortIsNot) {
    folder.Map(9, folder.Root() + "/no-such-device");
    EXPECT_FALSE(IsPortAvailable(9));   // mapped to nothing
    EXPECT_FALSE(IsPortAvailable(250)); // not mapped, and no /dev/ttyS249
}

TEST_F(IsPortAvailableTest, APortHeldByAnotherProgramIsAvailable) {
    folder.Map(5, pty.SlavePath());
    TChildProcess holder({"/usr/bin/python3", "-c",
                          "import serial, sys, time\n"
                          "port = serial.Serial(sys.argv[1], exclusive=True)\n"
                          "print('holding', flush=True)\n"
                          "time.sleep(60)\n",
                          pty.SlavePath()});
    ASSERT_TRUE(holder.Started());
    ASSERT_TRUE(holder.WaitForOutput("holding"));
    EXPECT_TRUE(IsPortAvailable(5));
    TSioWin32Dispatcher port(nullptr);
    EXPECT_EQ(port.InitPort("\\\\.\\COM5", 9600, NOPARITY, 8, 1, 4096, 4096, 0), ecAccessDenied);
    EXPECT_EQ(port.LastErrno(), EBUSY);
}

TEST_F(IsPortAvailableTest, APortThisUserMayNotOpenCountsAsTaken) {
    InstallCommDevice("COM6", []() -> std::unique_ptr<TCommDevice> {
        errno = EACCES; // not in the dialout group
        return nullptr;
    });
    EXPECT_TRUE(IsPortAvailable(6));
    TSioWin32Dispatcher port(nullptr);
    EXPECT_EQ(port.InitPort("\\\\.\\COM6", 9600, NOPARITY, 8, 1, 4096, 4096, 0), ecAccessDenied);
    EXPECT_EQ(port.LastErrno(), EACCES); // told apart from a port in use
    InstallCommDevice("COM6", nullptr);
}

} // namespace
