// The serial port component on a pseudo-terminal (COM7 of a COM folder of the test's own, the test
// at the master): opening and closing, sending and the avail trigger, a close
// from inside a handler, a lost device, the property setters.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <exception>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <stdexcept>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#include <utility>

#include "platform/ClockSource.h"
#include "serial/ComPort.h"
#include "serial/Serial.h"
#include "tests/serial/MainThreadStandIn.h"
#include "tests/serial/SerialTestSupport.h"

namespace {

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

    // Opens the port with a window told after the port's own, which keeps the dispatch thread
    // delivering once the port's handler has returned, and waits until that handler has taken a
    // notification's bytes: the window's part of it, later, is still to run.
    std::unique_ptr<TMessageWindow> NotifyWithAWindowAfterThePorts(std::function<void()> later) {
        port.SetOnTriggerAvail([this](TSioCustomComPort* cp, std::uint16_t count) {
            std::string block(count, '\0');
            cp->GetBlock(block.data(), count);
            taken = true;
        });
        port.SetOpen(true);
        auto window = std::make_unique<TMessageWindow>([later](unsigned msg, WPARAM, LPARAM) -> LRESULT {
            if (msg == TriggerAvailMessage)
                later();
            return 0;
        });
        port.Dispatcher()->RegisterWndTriggerHandler(window->Handle());
        pty.Write(Bytes("RING\r\n"));
        EXPECT_TRUE(PumpUntil([&] { return taken; }));
        return window;
    }

    // True once the port has read all that waits at the slave (within a bound).
    bool TakenOffTheSlave() const {
        const int slave = ::open(pty.SlavePath().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        int waiting = -1;
        for (int i = 0; i < 5000 && slave >= 0 && ::ioctl(slave, FIONREAD, &waiting) == 0 && waiting > 0; ++i)
            Sleep(1);
        if (slave >= 0)
            ::close(slave);
        return waiting == 0;
    }

    TComFolder folder;
    TPtyPair pty;
    TSioComPort port;
    int opens = 0, closes = 0;
    bool taken = false; // by NotifyWithAWindowAfterThePorts's handler
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
            // More bytes come while the handler runs, and the read thread takes them off the device;
            // the dispatch thread, waiting for the handler, moves none into the ring.
            pty.Write(Bytes("more"));
            ringHeld = TakenOffTheSlave() && cp->InBuffUsed() == count;
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
    ASSERT_TRUE(PumpPasses(*port.Dispatcher()));
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

TEST_F(ComPortOverPty, AnOpenAskedForWhileAHandlersCloseIsPendingFollowsIt) {
    bool reopenAsked = false;
    port.SetOnTriggerAvail([&](TSioCustomComPort* cp, std::uint16_t) {
        if (reopenAsked)
            return;
        reopenAsked = true;
        cp->SetOpen(false);
        cp->SetOpen(true); // only asked for: the close finishes first
        EXPECT_EQ(cp->PortState(), psShuttingDown);
    });
    port.SetOpen(true);
    pty.Write(Bytes("RING\r\n"));
    ASSERT_TRUE(PumpUntil([&] { return closes == 1 && port.PortState() == psOpen; }));
    EXPECT_TRUE(port.Open());
    EXPECT_EQ(opens, 2);
    port.PutString("ATA\r");
    EXPECT_EQ(pty.Read(4), Bytes("ATA\r"));
}

TEST_F(ComPortOverPty, ACloseRightAfterANotificationIsNotDeferred) {
    int later = 0;
    const auto second = NotifyWithAWindowAfterThePorts([&] { ++later; });
    port.SetOpen(false);
    EXPECT_EQ(port.PortState(), psClosed);
    EXPECT_FALSE(port.Open());
    EXPECT_EQ(closes, 1);
    EXPECT_EQ(later, 1) << "the notification went on to its end";
    port.SetOpen(true);
    EXPECT_EQ(port.PortState(), psOpen);
    port.PutString("ATH\r");
    EXPECT_EQ(pty.Read(4), Bytes("ATH\r"));
}

TEST_F(ComPortOverPty, AnOpenAskedForByAHandlerWhileACloseWaitsForTheNotificationFollowsIt) {
    // The later window runs while the close below waits for the notification to end.
    const auto second = NotifyWithAWindowAfterThePorts([&] { port.SetOpen(true); });
    port.SetOpen(false);
    EXPECT_EQ(closes, 1);
    EXPECT_EQ(opens, 2);
    EXPECT_EQ(port.PortState(), psOpen);
    port.PutString("ATH\r");
    EXPECT_EQ(pty.Read(4), Bytes("ATH\r"));
}

TEST_F(ComPortOverPty, AHandlerOfOnePortClosesAnotherAtOnce) {
    TPtyPair otherPty;
    folder.Map(8, otherPty.SlavePath());
    TSioComPort other;
    other.SetComNumber(8);
    other.SetOpen(true);
    bool closedWithin = false;
    port.SetOnTriggerAvail([&](TSioCustomComPort*, std::uint16_t) {
        other.SetOpen(false); // only this port's dispatch thread waits for this handler
        closedWithin = other.PortState() == psClosed;
    });
    port.SetOpen(true);
    pty.Write(Bytes("RING\r\n"));
    ASSERT_TRUE(PumpUntil([&] { return !other.Open(); }));
    EXPECT_TRUE(closedWithin);
    EXPECT_EQ(port.PortState(), psOpen);
    port.SetOpen(false); // tells the handler nothing more once the other port has gone
}

TEST_F(ComPortOverPty, AnExceptionOfAHandlerOnTheDispatchThreadReachesTheOperatorWithItsMessage) {
    static std::exception_ptr toRaise;
    const TApdNotifyProc raise = [](unsigned, std::uint32_t, std::uint32_t) {
        if (toRaise)
            std::rethrow_exception(std::exchange(toRaise, nullptr));
    };
    const std::pair<std::exception_ptr, const char*> cases[] = {
        {std::make_exception_ptr(std::runtime_error("no answer from the modem")), "no answer from the modem"},
        {std::make_exception_ptr(ESIOException("a text of its own")), "a text of its own"},
        {std::make_exception_ptr(EBufferIsEmpty(ecBufferIsEmpty)), "Buffer is empty"},
    };
    for (const auto& [error, message] : cases) {
        SCOPED_TRACE(message);
        const int closed = closes;
        port.SetOpen(true);
        toRaise = error;
        port.Dispatcher()->RegisterProcTriggerHandler(raise);
        pty.Write(Bytes("x"));
        ASSERT_TRUE(PumpUntil([&] { return closes == closed + 1; }));
        EXPECT_EQ(port.PortState(), psClosed);
        EXPECT_EQ(TakeShownErrors(), std::vector<std::string>{message});
    }
}

// A dispatcher whose dispatch ring a test can take away, so that reading it fails.
class TRinglessDispatcher : public TSioWin32Dispatcher {
public:
    using TSioWin32Dispatcher::TSioWin32Dispatcher;
    void DropRing() {
        std::lock_guard disp(DispSection);
        DispBuffer.reset();
    }
};

TEST_F(ComPortOverPty, AStringWaitPassesOnAReadFailureOtherThanAnEmptyBuffer) {
    port.CustomDispatcher = [](TSioCustomComPort& p) { return new TRinglessDispatcher(&p); };
    port.SetOpen(true);
    static_cast<TRinglessDispatcher*>(port.Dispatcher())->DropRing();
    EXPECT_THROW(port.WaitForString("OK", 2, true, false), ECommNotOpen);
    bool wasBusy = true;
    port.Dispatcher()->SetEventBusy(wasBusy, false);
    EXPECT_FALSE(wasBusy) << "the busy mark is restored";
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

TEST_F(ComPortOverPty, SettersReachAnOpenPortAtOnceAndAClosedOneAtItsNextOpen) {
    struct Case {
        const char* Name;
        std::function<void(TSioCustomComPort&)> Set;
        std::function<bool(const termios&)> Shows;
    };
    const Case cases[] = {
        {"Baud", [](auto& p) { p.SetBaud(9600); }, [](const termios& t) { return cfgetospeed(&t) == B9600; }},
        {"StopBits", [](auto& p) { p.SetStopBits(2); },
         [](const termios& t) { return (t.c_cflag & CSTOPB) != 0; }},
        {"HWFlowOptions",
         [](auto& p) {
             p.SetHWFlowOptions({hwfUseRTS, hwfRequireCTS});
         },
         [](const termios& t) { return (t.c_cflag & CRTSCTS) != 0; }},
        {"SWFlowOptions", [](auto& p) { p.SetSWFlowOptions(swfBoth); },
         [](const termios& t) { return (t.c_iflag & IXON) && (t.c_iflag & IXOFF); }},
        {"XOnChar", [](auto& p) { p.SetXOnChar(5); }, [](const termios& t) { return t.c_cc[VSTART] == 5; }},
        {"XOffChar", [](auto& p) { p.SetXOffChar(6); }, [](const termios& t) { return t.c_cc[VSTOP] == 6; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        {
            TSioComPort closed;
            closed.SetComNumber(7);
            c.Set(closed);
            EXPECT_FALSE(c.Shows(pty.SlaveSettings())) << "a closed port touches no device";
            closed.SetOpen(true);
            EXPECT_TRUE(c.Shows(pty.SlaveSettings()));
        }
        TSioComPort open;
        open.SetComNumber(7);
        open.SetOpen(true);
        EXPECT_FALSE(c.Shows(pty.SlaveSettings())) << "an open with the defaults puts them back";
        c.Set(open);
        EXPECT_TRUE(c.Shows(pty.SlaveSettings()));
    }
}

TEST_F(ComPortOverPty, ParityAndDataBitsReachTheDeviceEvenWhereThePtyCannotHoldThem) {
    port.SetOpen(true);
    port.SetParity(pEven);
    port.SetDataBits(7);
    std::int32_t baud = 0;
    std::uint16_t parity = 0;
    std::uint8_t dataBits = 0, stopBits = 0;
    port.Dispatcher()->GetLine(baud, parity, dataBits, stopBits);
    EXPECT_EQ(parity, EVENPARITY);
    EXPECT_EQ(dataBits, 7);
    EXPECT_EQ(baud, 19200);
}

TEST_F(ComPortOverPty, FlowControlLevelsAreChosenFromTheInputSize) {
    struct Case {
        std::uint16_t InSize, BufferFull, BufferResume;
        std::uint16_t Full, Resume; // what the dispatcher gets
    };
    for (const Case& c : {Case{8192, 7936, 256, 7936, 256}, Case{4096, 0, 0, 3686, 409}}) {
        SCOPED_TRACE(c.InSize);
        TSioComPort p;
        p.SetComNumber(7);
        p.SetInSize(c.InSize);
        p.SetBufferFull(c.BufferFull);
        p.SetBufferResume(c.BufferResume);
        p.SetHWFlowOptions({hwfUseRTS, hwfRequireCTS});
        EXPECT_EQ(p.BufferFull(), c.Full);
        EXPECT_EQ(p.BufferResume(), c.Resume);
        p.SetOpen(true);
        DCB dcb;
        p.Dispatcher()->GetComState(dcb);
        EXPECT_EQ(dcb.XoffLim, c.InSize - c.Full);
        EXPECT_EQ(dcb.XonLim, c.Resume);
        EXPECT_EQ(dcb.Flags & (DCB_RTS_CONTROL | DCB_OUTX_CTS_FLOW), DCB_RTS_HANDSHAKE | DCB_OUTX_CTS_FLOW);
    }
}

TEST_F(ComPortOverPty, ALineThatFlowControlDrivesKeepsItsState) {
    port.SetHWFlowOptions({hwfUseDTR});
    port.SetOpen(true);
    port.SetDTR(false); // raises nothing
    EXPECT_TRUE(port.DTR());
    port.SetRTS(false);
    EXPECT_FALSE(port.RTS());
}

TEST_F(ComPortOverPty, AFailedOpenLeavesThePortClosed) {
    folder.Map(8, "/nonexistent/tty");
    TSioComPort holder;
    holder.SetComNumber(7);
    struct Case {
        const char* Name;
        std::function<void(TSioComPort&)> Setup;
        std::int32_t Code;
    };
    const Case cases[] = {
        {"no port, no prompt", [](auto& p) { p.SetPromptForPort(false); }, ecNoPortSelected},
        {"prompt cancelled", [](auto&) { AnswerComPortPrompt(std::nullopt); }, ecNoPortSelected},
        {"no such port", [](auto& p) { p.SetComNumber(8); }, ecBadId},
        {"in use", [&](auto& p) { holder.SetOpen(true), p.SetComNumber(7); }, ecAlreadyOpen},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TSioComPort p;
        c.Setup(p);
        try {
            p.SetOpen(true);
            ADD_FAILURE() << "opened";
        } catch (const ESIOException& e) {
            EXPECT_EQ(e.ErrorCode, c.Code);
        }
        EXPECT_FALSE(p.Open());
        EXPECT_EQ(p.PortState(), psClosed);
        EXPECT_EQ(p.ComWindow(), 0u);
    }
    holder.SetOpen(false);

    const int prompts = ComPortPrompts();
    AnswerComPortPrompt(7);
    TSioComPort prompted; // ComNumber 0, PromptForPort true
    prompted.SetOpen(true);
    EXPECT_EQ(ComPortPrompts(), prompts + 1);
    EXPECT_EQ(prompted.ComNumber(), 7);
    EXPECT_TRUE(prompted.Open());
    AnswerComPortPrompt(std::nullopt);
}

TEST_F(ComPortOverPty, AClosedPortOpensWhenUsedIfAutoOpenIsSet) {
    port.SetAutoOpen(false);
    EXPECT_EQ(port.InBuffFree(), 8192);
    EXPECT_EQ(port.OutBuffFree(), 4096);
    EXPECT_FALSE(port.CTS());
    EXPECT_THROW(port.PutString("x"), ECommNotOpen);
    EXPECT_FALSE(port.Open());
    port.SetAutoOpen(true);
    port.PutString("x");
    EXPECT_TRUE(port.Open());
    EXPECT_EQ(pty.Read(1), Bytes("x"));
}

TEST_F(ComPortOverPty, GetBlockTakesAllItIsAskedForOrNothing) {
    port.SetOpen(true);
    pty.Write(Bytes("12345"));
    ASSERT_TRUE(PumpUntil([&] { return port.InBuffUsed() == 5; }));
    char block[10];
    EXPECT_THROW(port.GetBlock(block, 10), EBufferIsEmpty);
    EXPECT_EQ(port.InBuffUsed(), 5);
    EXPECT_EQ(port.PeekChar(2), '2');
    EXPECT_EQ(port.GetChar(), '1');
    EXPECT_EQ(port.GetBlock(block, 4), 4);
    EXPECT_FALSE(port.CharReady());
}

TEST_F(ComPortOverPty, StatusNotificationsReachTheEventOfTheirKind) {
    std::vector<std::string> events;
    port.SetOnTrigger([&](TSioCustomComPort*, std::uint16_t msg, std::uint16_t handle, std::uint16_t data) {
        events.push_back("Trigger " + std::to_string(msg) + " " + std::to_string(handle) + " " +
                         std::to_string(data));
    });
    port.SetOnTriggerStatus([&](TSioCustomComPort*, std::uint16_t) { events.push_back("Status"); });
    port.SetOnTriggerModemStatus([&](TSioCustomComPort*) { events.push_back("ModemStatus"); });
    port.SetOnTriggerLineError(
        [&](TSioCustomComPort*, std::uint16_t, bool) { events.push_back("LineError"); });
    port.SetOnTriggerOutbuffFree([&](TSioCustomComPort*) { events.push_back("OutbuffFree"); });
    port.SetOnTriggerOutbuffUsed([&](TSioCustomComPort*) { events.push_back("OutbuffUsed"); });
    port.SetOnTriggerOutSent([&](TSioCustomComPort*) { events.push_back("OutSent"); });
    port.SetOpen(true);
    const LPARAM index = LPARAM(port.Dispatcher()->PortIndex()) << 16;
    const std::pair<std::uint32_t, const char*> kinds[] = {
        {0, nullptr},       {1, "ModemStatus"}, {2, "LineError"}, {3, "OutbuffFree"},
        {4, "OutbuffUsed"}, {5, "OutSent"},     {6, nullptr},     {7, nullptr}};
    for (const auto& [kind, event] : kinds) {
        SCOPED_TRACE(kind);
        events.clear();
        SendMessage(port.ComWindow(), TriggerStatusMessage, 40 | kind, index + 77);
        std::vector<std::string> expected{"Trigger 32260 " + std::to_string(40 | kind) + " 77", "Status"};
        if (event)
            expected.push_back(event);
        EXPECT_EQ(events, expected);
    }
    events.clear();
    SendMessage(port.ComWindow(), TriggerStatusMessage, 41, (index + 0x10000) | 1); // another port's
    EXPECT_TRUE(events.empty());
}

TEST_F(ComPortOverPty, TheDataAndTimerTriggersReachTheirEvents) {
    std::vector<std::uint16_t> data, timers;
    port.SetOnTriggerData([&](TSioCustomComPort*, std::uint16_t handle) { data.push_back(handle); });
    port.SetOnTriggerTimer([&](TSioCustomComPort*, std::uint16_t handle) { timers.push_back(handle); });
    port.SetOpen(true);
    const std::uint16_t ok = port.AddDataTrigger("ok", true);
    const std::uint16_t timer = port.AddTimerTrigger();
    EXPECT_THROW(port.AddDataTrigger(std::string(22, 'x'), false), ETriggerTooLong);
    EXPECT_THROW(port.SetTimerTrigger(ok, 1, true), EBadTriggerHandle);
    port.SetTimerTrigger(timer, 0, true);
    pty.Write(Bytes("\r\nOK\r\n"));
    ASSERT_TRUE(PumpUntil([&] { return !data.empty() && !timers.empty(); }));
    EXPECT_EQ(data, std::vector<std::uint16_t>{ok});
    EXPECT_EQ(timers, std::vector<std::uint16_t>{timer});
    port.RemoveAllTriggers();
    EXPECT_EQ(port.TriggerLength(), 0);
}

TEST_F(ComPortOverPty, ANewComNumberMovesAnOpenPortWithItsTriggers) {
    TPtyPair other;
    folder.Map(3, other.SlavePath());
    std::vector<std::uint16_t> data;
    port.SetOnTriggerData([&](TSioCustomComPort*, std::uint16_t handle) { data.push_back(handle); });
    port.SetOpen(true);
    const std::uint16_t handle = port.AddDataTrigger("OK", false);
    port.SetComNumber(3);
    EXPECT_TRUE(port.Open());
    EXPECT_EQ(opens, 2);
    EXPECT_EQ(closes, 1);
    other.Write(Bytes("OK"));
    ASSERT_TRUE(PumpUntil([&] { return !data.empty(); }));
    EXPECT_EQ(data, std::vector<std::uint16_t>{handle});
    EXPECT_NE(port.AddTimerTrigger(), handle);
}

TEST_F(ComPortOverPty, OnTheTelephonyRoadThePortRunsOnTheHandleItIsGiven) {
    port.SetTapiMode(tmOn);
    EXPECT_THROW(port.SetOpen(true), ENotOpenedByTapi); // TapiCid 0: no handle
    EXPECT_FALSE(port.Open());

    const int handle = open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(handle, 0);
    termios t{};
    tcgetattr(handle, &t);
    cfmakeraw(&t);
    cfsetspeed(&t, B38400);
    tcsetattr(handle, TCSANOW, &t);
    port.TapiCid = std::uint16_t(handle);
    port.SetComNumber(0); // a TAPI port needs no number
    port.SetOpen(true);
    EXPECT_EQ(port.Baud(), 38400) << "the line as the telephony layer left it";
    port.FlushInBuffer();
    port.FlushOutBuffer();
    port.PutString("ATZ\r");
    EXPECT_EQ(pty.Read(4), Bytes("ATZ\r"));
    pty.Write(Bytes("OK"));
    ASSERT_TRUE(PumpUntil([&] { return port.InBuffUsed() == 2; }));
    port.SetOpen(false);
    port.TapiCid = 0;
    EXPECT_EQ(fcntl(handle, F_GETFD), -1) << "closing the port closes the handle";
}

TEST_F(ComPortOverPty, DestroyingThePortWithACloseStillPendingFinishesIt) {
    auto doomed = std::make_unique<TSioComPort>();
    doomed->SetComNumber(7);
    doomed->SetOnTriggerAvail([&](TSioCustomComPort* cp, std::uint16_t) { cp->SetOpen(false); });
    doomed->SetOpen(true);
    pty.Write(Bytes("x"));
    ASSERT_TRUE(PumpUntil([&] { return doomed->PortState() == psShuttingDown; }));
    doomed.reset();
    port.SetOpen(true); // the device is free again at once
    EXPECT_TRUE(port.Open());
}

TEST_F(ComPortOverPty, UsersAreToldOfOpeningAndClosingLastRegisteredFirst) {
    std::vector<std::string> told;
    TMessageWindow plain([&](unsigned msg, WPARAM, LPARAM) -> LRESULT {
        told.push_back("plain " + std::to_string(msg - PortOpenMessage));
        return 0;
    });
    TMessageWindow ex([&](unsigned msg, WPARAM, LPARAM) -> LRESULT {
        told.push_back("ex " + std::to_string(msg - PortOpenMessage));
        return 0;
    });
    static std::vector<std::string>* record = nullptr;
    record = &told;
    const TSioCustomComPort::TPortCallback callback{
        [](void*, TSioCustomComPort*, bool opening) { record->push_back(opening ? "cb open" : "cb close"); }};
    const TSioCustomComPort::TPortCallbackEx callbackEx{[](void*, TSioCustomComPort*, TSioCallbackType type) {
        record->push_back("cbex " + std::to_string(int(type)));
    }};
    port.RegisterUser(plain.Handle());
    port.RegisterUserEx(ex.Handle());
    port.RegisterUserCallback(callback);
    port.RegisterUserCallbackEx(callbackEx);
    port.SetOpen(true);
    EXPECT_EQ(told, (std::vector<std::string>{"cbex 0", "cb open", "ex 0", "plain 0"}));
    told.clear();
    port.SetOpen(false);
    EXPECT_EQ(told, (std::vector<std::string>{"cbex 1", "ex 2", "cbex 2", "cb close", "ex 1", "plain 1"}));
    port.DeregisterUser(plain.Handle());
    port.DeregisterUser(ex.Handle());
    port.DeregisterUserCallback(callback);
    port.DeregisterUserCallbackEx(callbackEx);
    told.clear();
    port.SetOpen(true);
    EXPECT_TRUE(told.empty());
}

TEST_F(ComPortOverPty, AFormDescriptionOpensThePortWhenLoadingEnds) {
    TSioComPort loaded;
    loaded.BeginLoading();
    loaded.SetComNumber(7);
    loaded.SetOpen(true); // only stored
    EXPECT_EQ(loaded.PortState(), psClosed);
    loaded.Loaded();
    EXPECT_EQ(loaded.PortState(), psOpen);

    folder.Map(9, "/nonexistent/tty");
    TSioComPort failing;
    failing.BeginLoading();
    failing.SetComNumber(9);
    failing.SetOpen(true);
    failing.Loaded();
    EXPECT_FALSE(failing.Open());
    EXPECT_EQ(TakeShownErrors().size(), 1u) << "the failure goes to the application";
}

TEST_F(ComPortOverPty, AssignTakesTheSettingsButNotTheOpenState) {
    port.SetBaud(9600);
    port.SetHWFlowOptions({hwfRequireCTS});
    port.SetOpen(true);
    const std::uint16_t handle = port.AddDataTrigger("OK", false);
    TSioComPort copy;
    copy.Assign(port);
    EXPECT_FALSE(copy.Open());
    EXPECT_EQ(copy.ComNumber(), 7);
    EXPECT_EQ(copy.Baud(), 9600);
    EXPECT_TRUE(copy.HWFlowOptions() == THWFlowOptionSet{hwfRequireCTS});
    port.SetOpen(false);
    copy.SetOpen(true);
    EXPECT_EQ(opens, 2) << "the port events came along";
    TTriggerType kind;
    void* record = nullptr;
    EXPECT_EQ(copy.Dispatcher()->FindTriggerFromHandle(handle, false, kind, record), ecOK);
}

TEST(ComPort, IsFoundAmongItsOwnersComponentsDepthFirst) {
    const int form = 0, other = 0;
    TSioBaseComponent holder(&form);
    TSioComPort inner(&holder);
    TSioComPort outer(&form);
    EXPECT_EQ(TSioCustomComPort::SearchComPort(&form), &inner);
    EXPECT_EQ(TSioCustomComPort::SearchComPort(&other), nullptr);
    EXPECT_EQ(TSioCustomComPort::ComName(12), "COM12");
    EXPECT_EQ(outer.Version(), "v4.07");
}

TEST_F(ComPortOverPty, StringWaitsTakeTheCharactersUntilATextOrTheTime) {
    TFakeClock clock;
    port.SetOpen(true);
    std::string seen;
    port.SetOnWaitChar([&](TSioCustomComPort*, char c) { seen += c; });
    pty.Write(Bytes("xxconnect 9600"));
    EXPECT_TRUE(port.WaitForString("CONNECT", 36, true, true));
    EXPECT_EQ(seen, "xxconnect");
    EXPECT_EQ(port.InBuffUsed(), 5); // " 9600" stays
    pty.Write(Bytes("\r\nERROR\r\n"));
    EXPECT_EQ(port.WaitForMultiString("OK|ERROR|BUSY|", 36, true, false, '|'), 2);

    // Nothing comes: the time runs out (the clock moves while the wait lets messages run).
    TMessageWindow ticker([&](unsigned, WPARAM, LPARAM) -> LRESULT {
        clock.Advance(100 * 55);
        return 0;
    });
    PostMessage(ticker.Handle(), WM_USER, 0, 0);
    EXPECT_FALSE(port.WaitForString("NEVER", 36, true, false));
    EXPECT_TRUE(port.WaitForString("", 36, true, false));
    bool wasBusy = true;
    port.Dispatcher()->SetEventBusy(wasBusy, false);
    EXPECT_FALSE(wasBusy) << "the busy mark is restored";
}

// A close that comes while a string wait lets messages run, on the main thread or inside the avail
// handler: the wait ends with nothing found and the close finishes, busy mark and all; the port opens
// again with the mark clear.
TEST_F(ComPortOverPty, AStringWaitThatThePortClosesUnderEndsAndTheCloseFinishes) {
    for (const bool inHandler : {false, true}) {
        SCOPED_TRACE(inHandler ? "a wait inside the avail handler" : "a wait of the main thread");
        closes = 0;
        bool found = true, returned = false;
        TMessageWindow closer([&](unsigned, WPARAM, LPARAM) -> LRESULT {
            port.SetOpen(false);
            return 0;
        });
        const auto wait = [&] {
            PostMessage(closer.Handle(), WM_USER, 0, 0);
            found = port.WaitForString("NEVER", 1000, true, false);
            returned = true;
        };
        port.SetOnTriggerAvail([&](TSioCustomComPort*, std::uint16_t) {
            if (inHandler && !returned)
                wait();
        });
        port.SetOpen(true);
        if (inHandler)
            pty.Write(Bytes("RING\r\n"));
        else
            wait();
        ASSERT_TRUE(PumpUntil([&] { return returned && port.PortState() == psClosed; }));
        EXPECT_FALSE(found);
        EXPECT_FALSE(port.Open());
        EXPECT_EQ(port.ComWindow(), 0u) << "the dispatcher and its window went";
        EXPECT_EQ(closes, 1);

        port.SetOnTriggerAvail(nullptr);
        port.SetOpen(true);
        pty.Write(Bytes("OK\r\n"));
        EXPECT_TRUE(port.WaitForString("OK", 1000, true, false));
        bool wasBusy = true;
        port.Dispatcher()->SetEventBusy(wasBusy, false);
        EXPECT_FALSE(wasBusy) << "a new open starts with the mark clear";
        port.SetOpen(false);
        EXPECT_EQ(port.PortState(), psClosed);
    }
}

TEST(CheckForString, FeedsOneCharacterToAMatchInProgress) {
    std::uint8_t index = 0;
    std::string hits;
    for (char c : std::string("aOxOKok"))
        hits += TSioCustomComPort::CheckForString(index, c, "OK", false) ? '1' : '0';
    EXPECT_EQ(hits, "0000100");
    index = 0;
    hits.clear();
    for (char c : std::string("ookOK"))
        hits += TSioCustomComPort::CheckForString(index, c, "OK", true) ? '1' : '0';
    EXPECT_EQ(hits, "00101");
}

} // namespace
