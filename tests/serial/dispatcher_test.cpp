// The dispatcher and its threads over a fake line: rings, line settings, flow control, modem
// control, line errors, losing the device.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <numeric>
#include <thread>

#include "serial/Serial.h"
#include "tests/serial/FakeCommDevice.h"
#include "tests/serial/MainThreadStandIn.h"

namespace {

std::vector<std::uint8_t> Pattern(std::size_t size, std::uint8_t seed = 0) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = std::uint8_t((i * 7 + seed) % 251);
    return bytes;
}

struct TLoss {
    std::int32_t Code;
    LPARAM LParam;
};

class DispatcherOverFakeLine : public ::testing::Test {
protected:
    void SetUp() override {
        line->Install("FAKE1");
        port = std::make_unique<TSioWin32Dispatcher>(nullptr);
    }
    void TearDown() override {
        port.reset();
        WriteBlockTakenHook = nullptr;
        ClearMessages();
    }

    std::int32_t Open(std::uint32_t outSize = 4096, std::uint32_t flowOpts = ipDtr | ipRts) {
        const std::int32_t r = port->InitPort("\\\\.\\FAKE1", 19200, NOPARITY, 8, 1, 4096, outSize, flowOpts);
        if (r == ecOK)
            port->RegisterWndTriggerHandler(window.Handle());
        return r;
    }

    // What the far end received, gathered until `count` bytes came (any thread).
    std::vector<std::uint8_t> ReceiveOnLine(std::size_t count) {
        std::vector<std::uint8_t> got;
        for (int waited = 0; got.size() < count && waited < 5000; ++waited) {
            const std::vector<std::uint8_t> more = line->Receive();
            got.insert(got.end(), more.begin(), more.end());
            Sleep(1);
        }
        return got;
    }

    // Waits until `count` received bytes are in the dispatch ring.
    bool Arrived(std::int32_t count) {
        return PumpUntil([&] { return port->InBuffUsed() >= count; });
    }

    // Fills the far end's pipe and leaves the write thread waiting on it with StalledBytes more, so
    // that whatever is put next stays in the output ring until the far end reads.
    static constexpr std::uint32_t StalledBytes = 100;
    void StallLine() {
        ASSERT_EQ(port->PutBlock(Pattern(4096 + StalledBytes).data(), 4096 + StalledBytes), ecOK);
        ASSERT_TRUE(PumpUntil([&] { return line->BytesWritten() == 4096 && port->OutBufUsed() == 0; }));
    }

    DCB State() {
        DCB dcb;
        port->GetComState(dcb);
        return dcb;
    }

    std::shared_ptr<TFakeLine> line = std::make_shared<TFakeLine>();
    std::vector<TLoss> losses;
    TMessageWindow window{[this](unsigned message, WPARAM wParam, LPARAM lParam) -> LRESULT {
        if (message == DeviceLostMessage)
            losses.push_back({std::int32_t(std::uint32_t(wParam)), lParam});
        return 0;
    }};
    std::unique_ptr<TSioWin32Dispatcher> port;
};

TEST_F(DispatcherOverFakeLine, BytesGoBothWays) {
    ASSERT_EQ(Open(), ecOK);
    EXPECT_TRUE(port->DispActive());
    EXPECT_EQ(port->ActiveThreads(), 4);
    EXPECT_EQ(Open(), ecAlreadyOpen);
    const std::vector<std::uint8_t> out = Pattern(3000, 1);
    ASSERT_EQ(port->PutBlock(out.data(), std::uint32_t(out.size())), ecOK);
    EXPECT_EQ(ReceiveOnLine(out.size()), out);

    const std::vector<std::uint8_t> in = Pattern(5000, 2);
    line->Send(in);
    ASSERT_TRUE(Arrived(5000));
    std::vector<std::uint8_t> got(5000);
    EXPECT_EQ(port->GetBlock(got.data(), 5000), 5000);
    EXPECT_EQ(got, in);
    EXPECT_EQ(port->PutString("AT\r"), ecOK);
    EXPECT_EQ(ReceiveOnLine(3), (std::vector<std::uint8_t>{'A', 'T', '\r'}));
}

TEST_F(DispatcherOverFakeLine, ReadsServeWhatArrivedAndNoMore) {
    ASSERT_EQ(Open(), ecOK);
    const std::vector<std::uint8_t> in = Pattern(10, 3);
    line->Send(in);
    ASSERT_TRUE(Arrived(10));
    std::uint8_t block[16] = {};
    std::uint8_t ch = 0xEE;
    EXPECT_EQ(port->GetBlock(block, 11), ecBufferIsEmpty);
    EXPECT_EQ(port->InBuffUsed(), 10); // nothing was taken
    EXPECT_EQ(port->PeekChar(ch, 0), ecBadArgument);
    EXPECT_EQ(ch, 0xEE);
    EXPECT_EQ(port->PeekChar(ch, 11), ecBufferIsEmpty);
    EXPECT_EQ(port->PeekChar(ch, 3), ecOK);
    EXPECT_EQ(ch, in[2]);
    EXPECT_EQ(port->PeekBlock(block, 4), 4);
    EXPECT_EQ(port->GetBlock(block, 0), 0);
    EXPECT_EQ(port->InBuffUsed(), 10);
    EXPECT_EQ(port->GetChar(ch), ecOK);
    EXPECT_EQ(ch, in[0]);
    EXPECT_EQ(port->GetBlock(block, 9), 9);
    EXPECT_TRUE(std::equal(block, block + 9, in.begin() + 1));
    EXPECT_FALSE(port->CharReady());
    EXPECT_EQ(port->GetChar(ch), ecBufferIsEmpty);
    EXPECT_EQ(port->InBuffFree(), 8192);
}

TEST_F(DispatcherOverFakeLine, TheDispatchRingFillsTo8192AndGoesOnWhenRead) {
    ASSERT_EQ(Open(), ecOK);
    const std::vector<std::uint8_t> in = Pattern(9000, 4);
    line->Send(in);
    ASSERT_TRUE(Arrived(8192));
    EXPECT_EQ(port->InBuffUsed(), 8192);
    EXPECT_EQ(port->InBuffFree(), 0);
    EXPECT_TRUE(port->CharReady());
    std::vector<std::uint8_t> got(9000);
    EXPECT_EQ(port->GetBlock(got.data(), 8000), 8000);
    ASSERT_TRUE(Arrived(1000)); // the rest crosses the ring's end
    EXPECT_EQ(port->GetBlock(got.data() + 8000, 1000), 1000);
    EXPECT_EQ(got, in);
}

TEST_F(DispatcherOverFakeLine, FlushInBufferDropsWhatWasReceived) {
    ASSERT_EQ(Open(), ecOK);
    line->Send(Pattern(100));
    ASSERT_TRUE(Arrived(100));
    EXPECT_EQ(port->FlushInBuffer(), 1);
    EXPECT_EQ(port->InBuffUsed(), 0);
    EXPECT_GE(line->InputFlushes(), 1);
}

TEST_F(DispatcherOverFakeLine, ABlockThatFillsTheOutputRingIsTakenAndOneByteMoreIsNot) {
    ASSERT_EQ(Open(8192), ecOK);
    StallLine();
    EXPECT_EQ(port->PutBlock(nullptr, 0), ecOK);
    const std::vector<std::uint8_t> out = Pattern(8192, 5);
    EXPECT_EQ(port->PutBlock(out.data(), 8192), ecOK);
    EXPECT_EQ(port->OutBufUsed(), 8192);
    EXPECT_EQ(port->OutBuffFree(), 0);
    EXPECT_EQ(port->PutChar('x'), ecOutputBufferTooSmall);
    std::vector<std::uint8_t> expected = Pattern(4096 + StalledBytes);
    expected.insert(expected.end(), out.begin(), out.end());
    EXPECT_EQ(ReceiveOnLine(expected.size()), expected);
}

TEST_F(DispatcherOverFakeLine, OutputTheWriteThreadHoldsCountsAsUnsent) {
    ASSERT_EQ(Open(8192), ecOK);
    StallLine();
    EXPECT_EQ(port->OutBuffUsed(), std::int32_t(StalledBytes)); // the ring is empty
    ASSERT_EQ(port->PutBlock(Pattern(3000).data(), 3000), ecOK);
    EXPECT_EQ(port->OutBuffUsed(), std::int32_t(StalledBytes + 3000));
    // A new line setting waits until all of it has left: the far end takes it only once the
    // setting waits for it, and the setting reaches the device after the last byte.
    const std::uint32_t waits = port->TxSentWaits();
    std::thread farEnd([&] {
        for (int i = 0; i < 5000 && port->TxSentWaits() == waits; ++i)
            Sleep(1);
        ReceiveOnLine(4096 + StalledBytes + 3000);
    });
    EXPECT_EQ(port->SetLine(9600, KeepParity, KeepDataBits, KeepStopBits), ecOK);
    farEnd.join();
    EXPECT_EQ(line->BytesWrittenAtLastSettings(), 4096u + StalledBytes + 3000u);
    EXPECT_EQ(port->OutBuffUsed(), 0);
}

// The write thread stopped with a block it has taken from the ring and not yet handed to the device.
class THeldBlock {
public:
    THeldBlock() {
        WriteBlockTakenHook = [state = state_] {
            std::unique_lock lock(state->Mutex);
            state->Taken = true;
            state->Changed.notify_all();
            state->Changed.wait(lock, [&] { return state->Released; });
        };
    }
    ~THeldBlock() { Release(); }
    bool Taken() {
        std::unique_lock lock(state_->Mutex);
        return state_->Changed.wait_for(lock, std::chrono::seconds(5), [&] { return state_->Taken; });
    }
    void Release() {
        std::lock_guard lock(state_->Mutex);
        state_->Released = true;
        state_->Changed.notify_all();
    }

private:
    struct TState {
        std::mutex Mutex;
        std::condition_variable Changed;
        bool Taken = false, Released = false;
    };
    std::shared_ptr<TState> state_ = std::make_shared<TState>();
};

TEST_F(DispatcherOverFakeLine, ABlockTheWriteThreadHoldsBeforeTheDeviceTakesItCountsAsUnsent) {
    THeldBlock held;
    ASSERT_EQ(Open(8192), ecOK);
    ASSERT_EQ(port->PutBlock(Pattern(3000).data(), 3000), ecOK);
    ASSERT_TRUE(held.Taken());
    EXPECT_EQ(port->OutBufUsed(), 0); // the ring is empty
    EXPECT_EQ(port->OutBuffUsed(), 3000);
    held.Release();
    EXPECT_EQ(ReceiveOnLine(3000), Pattern(3000));
    EXPECT_EQ(port->OutBuffUsed(), 0);
}

TEST_F(DispatcherOverFakeLine, FlushOutBufferDropsAStalledWrite) {
    ASSERT_EQ(Open(8192), ecOK);
    StallLine();
    ASSERT_EQ(port->PutBlock(Pattern(3000).data(), 3000), ecOK);
    EXPECT_EQ(port->FlushOutBuffer(), 1);
    EXPECT_EQ(port->OutBuffUsed(), 0);
    EXPECT_EQ(ReceiveOnLine(4096).size(), 4096u);
    // The port goes on, and the next bytes on the line are the new ones: the held block went.
    ASSERT_EQ(port->PutString("after"), ecOK);
    EXPECT_EQ(ReceiveOnLine(5), (std::vector<std::uint8_t>{'a', 'f', 't', 'e', 'r'}));
}

TEST_F(DispatcherOverFakeLine, SetLinePutsTheFramingOnTheDevice) {
    ASSERT_EQ(Open(), ecOK);
    struct Case {
        std::int32_t Baud;
        std::uint32_t Parity;
        std::uint8_t DataBits, StopBits;
        tcflag_t Size, ParityFlags;
        bool TwoStops;
        std::uint8_t StopCode;
    };
    const Case cases[] = {
        {9600, NOPARITY, 8, 1, CS8, 0, false, ONESTOPBIT},
        {115200, EVENPARITY, 7, 2, CS7, PARENB, true, TWOSTOPBITS},
        {250000, ODDPARITY, 8, 1, CS8, PARENB | PARODD, false, ONESTOPBIT},
        {1200, MARKPARITY, 6, 2, CS6, PARENB | PARODD | CMSPAR, true, TWOSTOPBITS},
        {300, SPACEPARITY, 5, 1, CS5, PARENB | CMSPAR, true, ONE5STOPBITS}, // five bits: one and a half
        {300, NOPARITY, 5, 2, CS5, 0, true, ONE5STOPBITS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Baud);
        ASSERT_EQ(port->SetLine(c.Baud, c.Parity, c.DataBits, c.StopBits), ecOK);
        const termios2 t = line->Settings();
        EXPECT_EQ(t.c_ospeed, std::uint32_t(c.Baud));
        EXPECT_EQ(t.c_cflag & CSIZE, c.Size);
        EXPECT_EQ(t.c_cflag & (PARENB | PARODD | CMSPAR), c.ParityFlags);
        EXPECT_EQ((t.c_cflag & CSTOPB) != 0, c.TwoStops);
        EXPECT_EQ(t.c_lflag & (ECHO | ICANON | ISIG), 0u); // raw: no echo, no translation
        EXPECT_EQ(t.c_oflag & OPOST, 0u);
        EXPECT_EQ(State().StopBits, c.StopCode);
        std::int32_t baud = 0;
        std::uint16_t parity = 0;
        std::uint8_t dataBits = 0, stopBits = 0;
        port->GetLine(baud, parity, dataBits, stopBits);
        EXPECT_EQ(baud, c.Baud);
        EXPECT_EQ(parity, c.Parity);
        EXPECT_EQ(dataBits, c.DataBits);
        EXPECT_EQ(stopBits, c.StopCode == ONESTOPBIT ? 1 : 2);
    }
}

TEST_F(DispatcherOverFakeLine, SetLineWithNothingToChangeLeavesTheDeviceAlone) {
    ASSERT_EQ(Open(), ecOK);
    const int writes = line->SettingsWrites();
    EXPECT_EQ(port->SetLine(0, KeepParity, KeepDataBits, KeepStopBits), ecOK);
    EXPECT_EQ(port->SetLine(19200, NOPARITY, 8, 1), ecOK);
    EXPECT_EQ(port->ChangeBaud(19200), ecOK);
    EXPECT_EQ(line->SettingsWrites(), writes);
    EXPECT_EQ(port->ChangeBaud(38400), ecOK);
    EXPECT_EQ(line->SettingsWrites(), writes + 1);
}

TEST_F(DispatcherOverFakeLine, HardwareFlowControlSetsTheHandshakeAndReportsHolds) {
    ASSERT_EQ(Open(), ecOK);
    struct Case {
        std::uint32_t Options;
        int Lines; // CTS and DSR as the far end drives them
        bool Crtscts;
        std::int32_t State;
    };
    const Case cases[] = {
        {0, TIOCM_CTS | TIOCM_DSR, false, fsOff},
        {hfUseRts | hfRequireCts, TIOCM_CTS, true, fsOn},
        {hfUseRts | hfRequireCts, 0, true, fsCtsHold},
        {hfUseDtr | hfRequireDsr, TIOCM_CTS, false, fsDsrHold},
        {hfUseDtr | hfRequireDsr, TIOCM_DSR, false, fsOn},
        {hfUseRts | hfUseDtr | hfRequireCts | hfRequireDsr, 0, true, fsCtsHold}, // CTS wins
        {hfRequireCts, 0, true, fsOn}, // without a handshake line nothing holds
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Options);
        line->SetLines(c.Lines);
        ASSERT_EQ(port->HWFlowOptions(3686, 409, c.Options), ecOK);
        EXPECT_EQ((line->Settings().c_cflag & CRTSCTS) != 0, c.Crtscts);
        EXPECT_EQ(port->HWFlowState(), c.State);
        const DCB dcb = State();
        EXPECT_EQ(dcb.XoffLim, 4096 - 3686);
        EXPECT_EQ(dcb.XonLim, 409);
        std::uint32_t hw = 0, sw = 0, full = 7, resume = 7;
        char on = 0, off = 0;
        EXPECT_EQ(port->GetFlowOptions(hw, sw, full, resume, on, off), ecOK);
        EXPECT_EQ(hw, c.Options);
        EXPECT_EQ(full, 7u); // not written
    }
}

TEST_F(DispatcherOverFakeLine, FlowLevelsOutsideTheInputSizeAreRefused) {
    ASSERT_EQ(Open(), ecOK);
    const DCB before = State();
    EXPECT_EQ(port->HWFlowOptions(100, 200, hfUseRts), ecBadArgument);
    EXPECT_EQ(port->HWFlowOptions(5000, 200, hfUseRts), ecBadArgument);
    EXPECT_EQ(port->SWFlowEnable(100, 200, sfReceive), ecBadArgument);
    EXPECT_EQ(State(), before);
}

TEST_F(DispatcherOverFakeLine, SoftwareFlowControlSetsXonXoffAndReportsItsState) {
    ASSERT_EQ(Open(), ecOK);
    EXPECT_EQ(port->SWFlowState(), fsOff);
    ASSERT_EQ(port->SWFlowEnable(3072, 1024, sfReceive | sfTransmit), ecOK);
    const termios2 t = line->Settings();
    EXPECT_TRUE(t.c_iflag & IXON);
    EXPECT_TRUE(t.c_iflag & IXOFF);
    EXPECT_EQ(t.c_cc[VSTART], 17);
    EXPECT_EQ(t.c_cc[VSTOP], 19);
    struct Case {
        bool Held, Sent;
        std::int32_t State;
    };
    for (const Case& c : {Case{false, false, fsOn}, Case{true, false, fsXOffHold},
                          Case{false, true, fsXOffSent}, Case{true, true, fsBothHold}}) {
        line->SetXoff(c.Held, c.Sent);
        EXPECT_EQ(port->SWFlowState(), c.State) << c.Held << c.Sent;
    }
    EXPECT_EQ(port->SWFlowChars(1, 2), ecOK);
    EXPECT_EQ(line->Settings().c_cc[VSTART], 1);
    EXPECT_EQ(line->Settings().c_cc[VSTOP], 2);
    std::uint32_t hw = 9, sw = 0, full = 0, resume = 0;
    char on = 0, off = 0;
    port->GetFlowOptions(hw, sw, full, resume, on, off);
    EXPECT_EQ(hw, 0u);
    EXPECT_EQ(sw, sfReceive | sfTransmit);
    EXPECT_EQ(on, 1);
    EXPECT_EQ(off, 2);
    EXPECT_EQ(port->SWFlowDisable(), ecOK);
    EXPECT_EQ(port->SWFlowState(), fsOff);
    EXPECT_FALSE(line->Settings().c_iflag & (IXON | IXOFF));
}

TEST_F(DispatcherOverFakeLine, DtrAndRtsFollowTheirSettersUnlessFlowControlDrivesThem) {
    ASSERT_EQ(Open(4096, ipDtr), ecOK); // DTR up, RTS down at open
    EXPECT_TRUE(line->Lines() & TIOCM_DTR);
    EXPECT_FALSE(line->Lines() & TIOCM_RTS);
    EXPECT_EQ(port->SetModem(false, true), ecOK);
    EXPECT_FALSE(line->Lines() & TIOCM_DTR);
    EXPECT_TRUE(line->Lines() & TIOCM_RTS);
    EXPECT_EQ(State().Flags & DCB_DTR_CONTROL, 0u);
    ASSERT_EQ(port->HWFlowOptions(3000, 1000, hfUseDtr), ecOK);
    EXPECT_EQ(port->SetDtr(true), 1); // the handshake drives it
    EXPECT_EQ(port->SetRts(false), ecOK);
    EXPECT_FALSE(line->Lines() & TIOCM_RTS);
    // A new line setting keeps the levels set.
    ASSERT_EQ(port->ChangeBaud(57600), ecOK);
    EXPECT_FALSE(line->Lines() & TIOCM_RTS);
}

TEST_F(DispatcherOverFakeLine, ModemStatusShowsEachLineAndItsChange) {
    ASSERT_EQ(Open(), ecOK);
    struct Case {
        int Line;
        bool (TSioBaseDispatcher::*Level)();
        bool (TSioBaseDispatcher::*Changed)();
        std::uint8_t Bit;
    };
    const Case cases[] = {
        {TIOCM_CTS, &TSioBaseDispatcher::CheckCTS, &TSioBaseDispatcher::CheckDeltaCTS, 0x10},
        {TIOCM_DSR, &TSioBaseDispatcher::CheckDSR, &TSioBaseDispatcher::CheckDeltaDSR, 0x20},
        {TIOCM_RNG, &TSioBaseDispatcher::CheckRI, &TSioBaseDispatcher::CheckDeltaRI, 0x40},
        {TIOCM_CAR, &TSioBaseDispatcher::CheckDCD, &TSioBaseDispatcher::CheckDeltaDCD, 0x80},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Bit);
        line->SetLines(c.Line);
        ASSERT_TRUE(PumpUntil([&] { return ((*port).*c.Changed)(); }));
        EXPECT_FALSE(((*port).*c.Changed)()); // reading cleared it
        EXPECT_TRUE(((*port).*c.Level)());
        EXPECT_EQ(port->GetModemStatus() & 0xF0, c.Bit);
        line->SetLines(0);
        ASSERT_TRUE(PumpUntil([&] { return ((*port).*c.Changed)(); }));
        EXPECT_FALSE(((*port).*c.Level)());
    }
    // Each check clears only its own line's change; GetModemStatus clears them all.
    line->SetLines(TIOCM_CTS | TIOCM_DSR);
    ASSERT_TRUE(PumpUntil([&] { return port->CheckDeltaCTS(); }));
    EXPECT_TRUE(port->CheckDeltaDSR());
    line->SetLines(TIOCM_CAR);
    ASSERT_TRUE(PumpUntil([&] { return (port->GetModemStatus() & 0x08) != 0; }));
    EXPECT_EQ(port->GetModemStatus() & 0x0F, 0);
}

// A dispatcher on the device alone, without its threads, whose settings lock a test can hold and
// whose following of the modem lines a test runs on a thread of its own.
class TLinesDispatcher : public TSioWin32Dispatcher {
public:
    TLinesDispatcher() : TSioWin32Dispatcher(nullptr) {}
    TCriticalSection& Settings() { return DataSection; }
    void FollowLines() { MapEventsToMS(); } // the dispatch pass after a line event
};

TEST(ModemStatus, AChangeIsReportedOnceWhenAnOlderReadOfTheLinesComesLast) {
    auto line = std::make_shared<TFakeLine>();
    line->Install("FAKE3");
    TLinesDispatcher port;
    ASSERT_NE(port.OpenCom("FAKE3", 64, 64), -1);
    line->SetLines(TIOCM_CTS);
    EXPECT_EQ(port.GetModemStatus(), 0x11);
    // The dispatch thread goes for the lines while the main thread holds the record; the lines
    // change, and the main thread reads and clears the change first. What the dispatch thread
    // records afterwards must not be the lines as they were before the change.
    std::unique_lock settings(port.Settings());
    const int reads = line->LineReads();
    std::thread dispatch([&] { port.FollowLines(); });
    PumpUntil([&] { return line->LineReads() > reads; }, 100); // time to read, which it must not
    line->SetLines(TIOCM_CAR);
    EXPECT_EQ(port.GetModemStatus(), 0x89); // CTS went, DCD came
    settings.unlock();
    dispatch.join();
    EXPECT_EQ(port.GetModemStatus(), 0x80);
    EXPECT_EQ(port.GetModemStatus(), 0x80);
}

TEST_F(DispatcherOverFakeLine, LineErrorsAreReportedMostImportantFirst) {
    ASSERT_EQ(Open(), ecOK);
    struct Case {
        int Overrun, Parity, Frame, Breaks, BufferOverrun;
        std::vector<std::int32_t> Reports; // successive GetLineError results
    };
    const Case cases[] = {
        {1, 1, 0, 0, 0, {2, 0}}, // bits 1 to 8 go together
        {1, 0, 0, 1, 0, {2, 9}}, // the break stays for CheckLineBreak
        {0, 0, 1, 0, 0, {4, 0}},
        {0, 1, 0, 0, 1, {1, 0}},
    };
    for (const Case& c : cases) {
        line->InjectErrors(c.Overrun, c.Parity, c.Frame, c.Breaks, c.BufferOverrun);
        port->OutBuffUsed(); // takes in the device's errors
        for (std::int32_t report : c.Reports)
            EXPECT_EQ(port->GetLineError(), report);
        EXPECT_EQ(port->CheckLineBreak(), c.Breaks > 0);
        EXPECT_FALSE(port->CheckLineBreak());
        EXPECT_EQ(port->GetLineError(), 0);
    }
}

TEST_F(DispatcherOverFakeLine, BreaksGoOnAndOff) {
    ASSERT_EQ(Open(), ecOK);
    port->SendBreak(1, false);
    EXPECT_EQ(line->BreaksSent(), 1);
    EXPECT_FALSE(line->BreakOn());
    port->SetBreak(true);
    EXPECT_TRUE(line->BreakOn());
    port->SetBreak(false);
    EXPECT_FALSE(line->BreakOn());
}

TEST_F(DispatcherOverFakeLine, DataPointersOptionsAndSizes) {
    ASSERT_EQ(Open(2048), ecOK);
    int a = 0;
    void* p = nullptr;
    EXPECT_EQ(port->SetDataPointer(&a, 0), ecBadArgument);
    EXPECT_EQ(port->SetDataPointer(&a, 4), ecBadArgument);
    EXPECT_EQ(port->SetDataPointer(&a, 3), ecOK);
    EXPECT_EQ(port->GetDataPointer(p, 3), ecOK);
    EXPECT_EQ(p, &a);
    port->OptionsOn(4 | 8);
    port->OptionsOff(8);
    EXPECT_TRUE(port->OptionsAreOn(4));
    EXPECT_FALSE(port->OptionsAreOn(4 | 8));
    std::uint32_t in = 0, out = 0;
    port->BufferSizes(in, out);
    EXPECT_EQ(in, 4096u);
    EXPECT_EQ(out, 2048u);
    EXPECT_EQ(port->SetCommBuffers(8192, 8192), ecOK);
    EXPECT_EQ(TSioBaseDispatcher::GetTComRecPtr<TSioWin32Dispatcher>(port->ComHandle()), port.get());
    EXPECT_EQ(TSioBaseDispatcher::GetTComRecPtr<TSioTAPI32Dispatcher>(port->ComHandle()), nullptr);
    EXPECT_EQ(TSioBaseDispatcher::PortListItem(port->PortIndex()), port.get());
}

TEST_F(DispatcherOverFakeLine, AFailedReadIsALossReportedToTheOwner) {
    ASSERT_EQ(Open(), ecOK);
    line->Send(Pattern(20, 6));
    ASSERT_TRUE(Arrived(20));
    line->FailReads(EIO);
    line->Send({1});
    ASSERT_TRUE(PumpUntil([&] { return !losses.empty(); }));
    EXPECT_EQ(losses[0].Code, ecDeviceRead);
    EXPECT_EQ(losses[0].LParam, LPARAM(port->PortIndex()) << 16);
    EXPECT_EQ(port->LastWinError(), ERROR_GEN_FAILURE);
    EXPECT_EQ(port->LastErrno(), EIO);
    EXPECT_TRUE(port->Lost());
    EXPECT_EQ(port->PutString("x"), ecPutBlockFail);
    EXPECT_EQ(port->GetLineError(), 10);
    EXPECT_EQ(port->GetLineError(), 0);
    std::vector<std::uint8_t> got(20);
    EXPECT_EQ(port->GetBlock(got.data(), 20), 20); // what came before is still there
    EXPECT_EQ(got, Pattern(20, 6));
    ASSERT_TRUE(PumpUntil([&] { return !port->DispActive(); })); // every worker stopped
    port->DonePort();
    EXPECT_EQ(port->ActiveThreads(), 0);
    EXPECT_EQ(port->ComHandle(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(losses.size(), 1u);
}

TEST_F(DispatcherOverFakeLine, AHandleThatWentAwayStopsTheWorkersSilently) {
    ASSERT_EQ(Open(), ecOK);
    line->FailReads(EBADF);
    line->Send({1});
    ASSERT_TRUE(PumpUntil([&] { return !port->DispActive(); }));
    ASSERT_TRUE(PumpQueued()); // a loss is posted before the last worker ends
    EXPECT_TRUE(losses.empty());
    EXPECT_FALSE(port->Lost());
    EXPECT_EQ(port->GetLineError(), 0);
}

TEST_F(DispatcherOverFakeLine, AFarEndThatHangsUpIsALoss) {
    ASSERT_EQ(Open(), ecOK);
    line->HangUp();
    ASSERT_TRUE(PumpUntil([&] { return !losses.empty(); }));
    EXPECT_EQ(losses[0].Code, ecDeviceRead);
    EXPECT_EQ(port->LastWinError(), ERROR_DEVICE_NOT_CONNECTED);
}

TEST_F(DispatcherOverFakeLine, AfterALossOnlyTheOutputStillInTheRingCountsAndNothingWaitsForIt) {
    ASSERT_EQ(Open(8192), ecOK);
    StallLine();
    ASSERT_EQ(port->PutBlock(Pattern(3000).data(), 3000), ecOK);
    EXPECT_EQ(port->OutBuffUsed(), std::int32_t(StalledBytes + 3000));
    line->HangUp(); // the device is pulled: the pending write and the device's queue go with it
    ASSERT_TRUE(PumpUntil([&] { return !losses.empty() && !port->DispActive(); }));
    EXPECT_EQ(port->OutBuffUsed(), 3000);
    EXPECT_EQ(port->OutBuffFree(), 8192 - 3000);
    // Nobody takes the 3000 any more: a new line setting does not wait for them.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(port->SetLine(9600, KeepParity, KeepDataBits, KeepStopBits),
              -std::int32_t(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST_F(DispatcherOverFakeLine, AWriteStalledWhenTheThreadsStopIsCancelled) {
    ASSERT_EQ(Open(8192), ecOK);
    StallLine(); // the write thread waits on a write of StalledBytes
    line->FailReads(EIO);
    line->Send({1}); // a read fails: every worker stops
    // Every thread has ended, the write thread with its write: the far end that reads again gets
    // only what was on the line, nothing from the block the thread freed.
    ASSERT_TRUE(
        PumpUntil([&] { return !losses.empty() && !port->DispActive() && port->ActiveThreads() == 0; }));
    EXPECT_EQ(ReceiveOnLine(4096).size(), 4096u);
    EXPECT_TRUE(line->Receive().empty());
}

TEST_F(DispatcherOverFakeLine, TheLookUpByHandleAnswersOnlyTheDispatcherThatHoldsItNow) {
    ASSERT_EQ(Open(), ecOK);
    const HANDLE first = port->ComHandle();
    EXPECT_EQ(TSioBaseDispatcher::GetTComRecPtr<TSioWin32Dispatcher>(first), port.get()); // now cached
    port->DonePort();
    EXPECT_EQ(TSioBaseDispatcher::GetTComRecPtr<TSioWin32Dispatcher>(first), nullptr);
    EXPECT_EQ(TSioBaseDispatcher::GetTComRecPtr<TSioWin32Dispatcher>(INVALID_HANDLE_VALUE), nullptr);
    TSioWin32Dispatcher other(nullptr);
    ASSERT_EQ(other.InitPort("\\\\.\\FAKE1", 19200, NOPARITY, 8, 1, 4096, 4096, 0), ecOK);
    EXPECT_EQ(other.ComHandle(), first) << "the descriptor's number comes round again";
    EXPECT_EQ(TSioBaseDispatcher::GetTComRecPtr<TSioWin32Dispatcher>(other.ComHandle()), &other);
}

TEST_F(DispatcherOverFakeLine, ClosingIsNotALoss) {
    ASSERT_EQ(Open(), ecOK);
    ASSERT_EQ(port->PutString("bye"), ecOK);
    port->DonePort();
    EXPECT_FALSE(port->DispActive());
    EXPECT_EQ(port->ActiveThreads(), 0);
    ASSERT_TRUE(PumpQueued()); // a loss is posted before the last worker ends
    EXPECT_TRUE(losses.empty());
    EXPECT_EQ(port->GetLineError(), 0);
    EXPECT_EQ(port->InBuffFree(), 8192);
    line->Receive();         // whatever of "bye" left before the close flushed the output
    ASSERT_EQ(Open(), ecOK); // and it opens again
    EXPECT_EQ(port->PutString("again"), ecOK);
    EXPECT_EQ(ReceiveOnLine(5), (std::vector<std::uint8_t>{'a', 'g', 'a', 'i', 'n'}));
}

TEST_F(DispatcherOverFakeLine, ACloseFromInsideANotificationIsFinishedByTheDestructor) {
    ASSERT_EQ(Open(), ecOK);
    line->Send({'o', 'k'});
    ASSERT_TRUE(Arrived(2));
    bool wasBusy = true;
    port->SetEventBusy(wasBusy, true);
    EXPECT_FALSE(wasBusy);
    port->DonePort();
    EXPECT_TRUE(port->ClosePending());
    EXPECT_EQ(port->ComHandle(), INVALID_HANDLE_VALUE); // the device is closed and the workers stopped
    EXPECT_EQ(port->ActiveThreads(), 0);
    port.reset(); // frees the rest
}

TEST_F(DispatcherOverFakeLine, AFailedOpenKeepsThePlatformsReason) {
    struct Case {
        int Errno;
        std::int32_t Result;
    };
    for (const Case& c : {Case{ENOENT, ecFileNotFound}, Case{EACCES, ecAccessDenied},
                          Case{EBUSY, ecAccessDenied}, Case{ENOMEM, ecOutOfMemory}}) {
        SCOPED_TRACE(c.Errno);
        line->RefuseErrno = c.Errno;
        TSioWin32Dispatcher refused(nullptr);
        EXPECT_EQ(refused.InitPort("FAKE1", 9600, NOPARITY, 8, 1, 4096, 4096, 0), c.Result);
        EXPECT_EQ(refused.LastErrno(), c.Errno);
        EXPECT_EQ(refused.ComHandle(), INVALID_HANDLE_VALUE);
        EXPECT_FALSE(refused.DispActive());
    }
}

// A dispatcher that is never opened, whose input queue and dispatch ring a test fills itself.
class TQueueDispatcher : public TSioWin32Dispatcher {
public:
    TQueueDispatcher() : TSioWin32Dispatcher(nullptr) {}
    void Queue(const std::vector<std::uint8_t>& bytes) {
        auto block = std::make_unique<TDataBuffer>(std::uint32_t(bytes.size()));
        std::memcpy(block->Data.get(), bytes.data(), bytes.size());
        block->BytesUsed = std::uint32_t(bytes.size());
        InQueue.Push(std::move(block));
    }
    void QueueStatus(std::uint32_t events) { InQueue.Push(std::make_unique<TStatusBuffer>(events)); }
    void MakeRing() {
        std::lock_guard disp(DispSection);
        DispBuffer = std::make_unique<std::uint8_t[]>(DispatchBufferSize);
    }
    std::uint32_t Extract() {
        std::uint32_t moved = 0;
        ExtractData(moved);
        return moved;
    }
    std::uint32_t InputCount() { // what the last look found queued
        std::lock_guard data(DataSection);
        return ComStatus.cbInQue;
    }
};

TEST(ReadCom, TakesFromSeveralBlocksAndLeavesAPartlyReadOneForTheNextRead) {
    TQueueDispatcher port;
    port.Queue(Pattern(10, 1));
    port.Queue(Pattern(5, 2));
    std::uint8_t got[20] = {};
    EXPECT_EQ(port.ReadCom(got, 4), 4);
    EXPECT_EQ(port.InQueueUsed(), 6);
    EXPECT_EQ(port.ReadCom(got + 4, 8), 8); // the rest of the first block and 2 of the second
    EXPECT_EQ(port.InQueueUsed(), 3);
    port.QueueStatus(EV_CTS);
    EXPECT_EQ(port.ReadCom(got + 12, 8), 3); // a line event stops the read
    EXPECT_EQ(port.ReadCom(got + 15, 8), 0);
    std::vector<std::uint8_t> expected = Pattern(10, 1);
    const std::vector<std::uint8_t> second = Pattern(5, 2);
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), got));
}

TEST(ExtractData, PutsWhatIsQueuedIntoTheRingAndCountsItAsTheInput) {
    TQueueDispatcher port;
    port.MakeRing();
    port.Queue(Pattern(100, 3));
    EXPECT_EQ(port.Extract(), 100u);
    EXPECT_EQ(port.InputCount(), 100u);
    EXPECT_EQ(port.InBuffUsed(), 100);
    EXPECT_EQ(port.Extract(), 0u);
    EXPECT_EQ(port.InputCount(), 0u);
}

TEST(TapiDispatcher, WithoutAHandleTheOpenFailsWithDeviceNotOpen) {
    TSioTAPI32Dispatcher port(nullptr, 0);
    EXPECT_EQ(port.InitPort(nullptr, 9600, NOPARITY, 8, 1, 4096, 4096, 0), ecCommNotOpen);
    EXPECT_EQ(port.ComHandle(), ecCommNotOpen); // negative: nothing to close
}

TEST(WaitTxSent, SleepsEighteenCharactersAfterTheOutputDrained) {
    DCB dcb;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    EXPECT_EQ(TSioBaseDispatcher::TxSettleMs(dcb, 115200), 2u);
    EXPECT_EQ(TSioBaseDispatcher::TxSettleMs(dcb, 9600), 19u);
    EXPECT_EQ(TSioBaseDispatcher::TxSettleMs(dcb, 921600), 1u); // 36 characters when 18 are under 1 ms
    dcb.Parity = EVENPARITY;
    dcb.StopBits = TWOSTOPBITS;
    EXPECT_EQ(TSioBaseDispatcher::TxSettleMs(dcb, 9600), 23u);
}

TEST(ConvertBaud, ReadsOldBaudIndexes) {
    const std::pair<std::uint32_t, std::uint32_t> cases[] = {
        {0xFEFF, 115200}, {0xFF10, 110},    {0xFF16, 9600}, {0xFF18, 19200},
        {0xFF19, 0xFF19}, {0xFF27, 256000}, {57600, 57600}, {0xFF28, 0xFF28},
    };
    for (const auto& [value, rate] : cases)
        EXPECT_EQ(TSioBaseDispatcher::ConvertBaud(value), rate) << value;
}

} // namespace
