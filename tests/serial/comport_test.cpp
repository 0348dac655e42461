// The serial port component on a pseudo-terminal (COM7 of a COM folder of the test's own, the test
// at the master): opening and closing, sending and the avail trigger, a close
// from inside a handler, a lost device, the property setters.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <termios.h>

#include "serial/ComPort.h"
#include "serial/Serial.h"
#include "tests/serial/MainThreadStandIn.h"
#include "tests/serial/SerialTestSupport.h"

namespace {

std::vector<std::uint8_t> Bytes(const std::string& text) {
    return {text.begin(), text.end()};
}

std::vector<std::uint8_t> Pattern(std::size_t size, std::uint8_t seed = 0) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = std::uint8_t((i * 13 + seed) % 251);
    return bytes;
}

class ComPortOverPty : public ::testing::Test {
protected:
    void SetUp() override {
        folder.Map(7, pty.SlavePath());
        port.SetComNumber(7);
        port.SetPromptForPort(false);
        port.SetOnPortOpen([this](TSioCustomComPort*) { ++opens; });
        port.SetOnPortClose([this](TSioCustomComPort*) { ++closes; });
    }
    void TearDown() override {
        ClearMessages();
        EXPECT_TRUE(TakeShownErrors().empty());
    }

    termios MasterView() {
        termios t{};
        tcgetattr(pty.Master(), &t); // a master reports its slave's settings
        return t;
    }

    TComFolder folder;
    TPtyPair pty;
    TSioComPort port;
    int opens = 0, closes = 0;
};

TEST_F(ComPortOverPty, OpensSendsReceivesAndCloses) {
    EXPECT_EQ(port.PortState(), psClosed);
    port.SetOpen(true);
    EXPECT_TRUE(port.Open());
    EXPECT_EQ(port.PortState(), psOpen);
    EXPECT_NE(port.ComWindow(), 0u);
    EXPECT_EQ(opens, 1);
    port.SetOpen(true); // already open: nothing happens
    EXPECT_EQ(opens, 1);

    port.PutString("AT\r");
    EXPECT_EQ(pty.Read(3), Bytes("AT\r"));
    pty.Write(Bytes("OK\r\n"));
    ASSERT_TRUE(PumpUntil([&] { return port.InBuffUsed() == 4; }));
    char got[4] = {};
    EXPECT_EQ(port.GetBlock(got, 4), 4);
    EXPECT_EQ(std::string(got, 4), "OK\r\n");

    port.SetOpen(false);
    EXPECT_FALSE(port.Open());
    EXPECT_EQ(port.PortState(), psClosed);
    EXPECT_EQ(port.ComWindow(), 0u);
    EXPECT_EQ(closes, 1);
    port.SetOpen(false); // already closed: nothing happens
    EXPECT_EQ(closes, 1);
}

TEST_F(ComPortOverPty, TheAvailTriggerRunsOnTheMainThreadWhileTheDispatchThreadWaits) {
    const TThreadId mainThread = GetCurrentThreadId();
    std::vector<std::uint16_t> counts;
    std::vector<std::uint8_t> received;
    bool onMainThread = false, ringHeld = false;
    port.SetOnTriggerAvail([&](TSioCustomComPort* cp, std::uint16_t count) {
        onMainThread = GetCurrentThreadId() == mainThread;
        counts.push_back(count);
        if (counts.size() == 1) {
            // More bytes come while the handler runs; the dispatch thread, waiting for it, takes none.
            pty.Write(Bytes("more"));
            Sleep(30);
            ringHeld = cp->InBuffUsed() == count;
        }
        std::vector<std::uint8_t> block(count);
        cp->GetBlock(block.data(), count);
        received.insert(received.end(), block.begin(), block.end());
    });
    port.SetOpen(true);
    pty.Write(Bytes("+CMTI: \"SM\",3\r\n"));
    ASSERT_TRUE(PumpUntil([&] { return received.size() == 19; }));
    EXPECT_TRUE(onMainThread);
    EXPECT_TRUE(ringHeld);
    EXPECT_EQ(received, Bytes("+CMTI: \"SM\",3\r\nmore"));
    EXPECT_EQ(port.InBuffUsed(), 0);
}

TEST_F(ComPortOverPty, BytesAHandlerLeavesAreAnnouncedAgainWithTheNextOnes) {
    std::vector<std::uint16_t> counts;
    port.SetOnTriggerAvail([&](TSioCustomComPort* cp, std::uint16_t count) {
        counts.push_back(count);
        if (counts.size() == 1) {
            char block[255];
            cp->GetBlock(block, 255); // as the GSM modem window does
        }
    });
    port.SetTriggerLength(0); // the avail trigger waits until all 300 are in
    port.SetOpen(true);
    pty.Write(Pattern(300));
    ASSERT_TRUE(PumpUntil([&] { return port.InBuffUsed() == 300; }));
    port.SetTriggerLength(1);
    ASSERT_TRUE(PumpUntil([&] { return !counts.empty(); }));
    EXPECT_EQ(counts, std::vector<std::uint16_t>{300});
    EXPECT_EQ(port.InBuffUsed(), 45);
    PumpUntil([] { return false; }, 150);
    EXPECT_EQ(counts.size(), 1u) << "the 45 left over wait for new bytes";

    pty.Write(Pattern(10, 1));
    ASSERT_TRUE(PumpUntil([&] { return counts.back() == 55; }));
    for (std::size_t i = 1; i < counts.size(); ++i)
        EXPECT_GT(counts[i], 45) << "announced only together with new bytes";
}

TEST_F(ComPortOverPty, ACloseFromInsideTheAvailHandlerFinishesThroughTheDeferredMessage) {
    bool closedWithin = false, stillShuttingDown = false;
    port.SetOnTriggerAvail([&](TSioCustomComPort* cp, std::uint16_t) {
        cp->SetOpen(false);
        closedWithin = closes == 1;
        stillShuttingDown = cp->PortState() == psShuttingDown && cp->Dispatcher() != nullptr;
    });
    port.SetOpen(true);
    pty.Write(Bytes("RING\r\n"));
    ASSERT_TRUE(PumpUntil([&] { return closes == 1; }));
    const auto closedAt = std::chrono::steady_clock::now();
    EXPECT_TRUE(closedWithin) << "OnPortClose runs before the close returns";
    EXPECT_TRUE(stillShuttingDown) << "the dispatcher goes only with the deferred message";
    ASSERT_TRUE(PumpUntil([&] { return port.PortState() == psClosed; }));
    // Nothing waits for the 3000 ms send: the threads end within a few of their 100 ms waits.
    EXPECT_LT(std::chrono::steady_clock::now() - closedAt, std::chrono::milliseconds(2000));
    EXPECT_FALSE(port.Open());
    EXPECT_EQ(port.ComWindow(), 0u);
    EXPECT_EQ(closes, 1);

    port.SetOpen(true); // and it opens again
    EXPECT_EQ(port.PortState(), psOpen);
}

TEST_F(ComPortOverPty, APulledDeviceClosesThePortByItself) {
    port.SetOpen(true);
    pty.CloseMaster();
    ASSERT_TRUE(PumpUntil([&] { return closes == 1; }));
    EXPECT_EQ(port.PortState(), psClosed);
    EXPECT_FALSE(port.Open());
    EXPECT_TRUE(TakeShownErrors().empty()) << "a read failure is no error box";
}

TEST_F(ComPortOverPty, ALossOtherThanAReadOrWriteFailureIsShownAsWell) {
    port.SetOpen(true);
    PostMessage(port.ComWindow(), DeviceLostMessage, WPARAM(std::uint32_t(ecTapiNoMem)),
                LPARAM(port.Dispatcher()->PortIndex()) << 16);
    ASSERT_TRUE(PumpUntil([&] { return closes == 1; }));
    EXPECT_EQ(port.PortState(), psClosed);
    EXPECT_EQ(TakeShownErrors(), std::vector<std::string>{"No memory"});
}

} // namespace
