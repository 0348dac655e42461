// Triggers and their notification on a dispatcher over the fake line: the data-trigger matcher,
// handles, data, status and timer triggers (the timers on the fake clock), the handlers.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <thread>
#include <unistd.h>

#include "platform/ClockSource.h"
#include "serial/Serial.h"
#include "tests/serial/FakeCommDevice.h"
#include "tests/serial/MainThreadStandIn.h"
#include "tests/serial/SerialTestSupport.h"

namespace {

// Positions (0-based) of the input's bytes at which the trigger reports a match.
std::vector<std::size_t> Matches(const std::string& data, bool ignoreCase, const std::string& input) {
    TDataTrigger trigger;
    trigger.Len = std::uint32_t(data.size());
    trigger.IgnoreCase = ignoreCase;
    for (std::size_t i = 0; i < data.size(); ++i)
        trigger.Data[i] = ignoreCase ? AnsiUpCase(std::uint8_t(data[i])) : std::uint8_t(data[i]);
    std::vector<std::size_t> at;
    for (std::size_t i = 0; i < input.size(); ++i) {
        if (MatchDataTrigger(trigger, std::uint8_t(input[i])))
            at.push_back(i);
    }
    return at;
}

TEST(MatchDataTrigger, FindsEachByteSequenceWithoutLookingBack) {
    struct Case {
        const char* Data;
        bool IgnoreCase;
        const char* Input;
        std::vector<std::size_t> At;
    };
    const Case cases[] = {
        {"OK", false, "xxOK", {3}},
        {"OK", false, "xxok", {}},
        {"ok", true, "xxOK\r\nOk", {3, 7}},
        {"AAB", false, "AAAB", {3}}, // a beginning that recurs inside the string
        {"ABAC", false, "ABABAC", {5}},
        // A completed match forgets every partial one: the overlapping second occurrence is lost.
        {"ABAB", false, "ABABAB", {3}},
        {"ABAB", false, "ABABABAB", {3, 7}},
        // The byte that completes a match may start the next one in a later slot.
        {"AA", false, "AAAA", {1, 2}},
        {"A", false, "xAyA", {1, 3}},
        {"\xE0\xE1", true, "x\xC0\xC1", {2}}, // Cyrillic letters fold as Windows-1251 does
        {"123456789012345678901", false, "0123456789012345678901", {21}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Matches(c.Data, c.IgnoreCase, c.Input), c.At) << c.Data << " in " << c.Input;
}

TEST(TriggerHandles, AreMultiplesOfEightWithTheStatusKindInTheLowBits) {
    TSioWin32Dispatcher port(nullptr); // triggers need no open port
    EXPECT_EQ(port.AddDataTrigger("OK", false), 8);
    EXPECT_EQ(port.AddTimerTrigger(), 16);
    EXPECT_EQ(port.AddStatusTrigger(stOutSent), 24 | 5);
    EXPECT_EQ(port.AddStatusTrigger(6), ecBadArgument);
    EXPECT_EQ(port.AddDataTrigger(std::string(21, 'x').c_str(), false), 32);
    EXPECT_EQ(port.AddDataTrigger(std::string(22, 'x').c_str(), false), ecTriggerTooLong);
    EXPECT_EQ(TSioBaseDispatcher::ClassifyStatusTrigger(24 | 5), stOutSent);

    TTriggerType kind = TTriggerType::ttNone;
    void* record = nullptr;
    EXPECT_EQ(port.FindTriggerFromHandle(8 | 3, false, kind, record), ecOK); // a data handle's low bits
    EXPECT_EQ(kind, TTriggerType::ttData);
    EXPECT_EQ(port.FindTriggerFromHandle(24, false, kind, record), ecBadTriggerHandle); // kind missing
    for (std::uint32_t none : {0u, 1u})
        EXPECT_EQ(port.FindTriggerFromHandle(none, false, kind, record), ecBadTriggerHandle);

    EXPECT_EQ(port.RemoveTrigger(0), ecBadTriggerHandle);
    EXPECT_EQ(port.RemoveTrigger(1), ecOK); // the avail trigger goes off
    EXPECT_EQ(port.RemoveTrigger(16), ecOK);
    EXPECT_EQ(port.RemoveTrigger(16), ecBadTriggerHandle);
    EXPECT_EQ(port.SetTimerTrigger(8, 5, true), ecBadTriggerHandle); // not a timer
    EXPECT_EQ(port.SetStatusTrigger(8, 5, true), ecBadTriggerHandle);
}

TEST(TriggerHandles, AfterTheCountRunsOutTheSmallestFreeOneIsTaken) {
    TSioWin32Dispatcher port(nullptr);
    for (int i = 1; i < 4096; ++i)
        ASSERT_EQ(port.RemoveTrigger(std::uint32_t(port.AddTimerTrigger())), ecOK);
    const std::int32_t kept = port.AddTimerTrigger(); // the count ran out: 8 is free again
    EXPECT_EQ(kept, 8);
    EXPECT_EQ(port.AddStatusTrigger(stLine), 16 | stLine);
    for (std::uint32_t handle = 24; handle <= 4096; handle += 8)
        ASSERT_EQ(port.AddDataTrigger("x", false), std::int32_t(handle));
    EXPECT_EQ(port.AddTimerTrigger(), ecNoMoreTriggers);
    EXPECT_EQ(port.RemoveTrigger(16 | stLine), ecOK);
    EXPECT_EQ(port.AddTimerTrigger(), 16);
}

TEST(TriggerHandles, NewOnesNeverCollideWithRestoredOnes) {
    TSioWin32Dispatcher port(nullptr);
    port.ChangeLengthTrigger(1);
    const std::int32_t data = port.AddDataTrigger("OK", false);
    const std::int32_t timer = port.AddTimerTrigger();
    const std::int32_t status = port.AddStatusTrigger(stModem);
    TTriggerSave save;
    port.SaveTriggers(save);
    port.RemoveAllTriggers(); // what an open does
    port.RestoreTriggers(save);
    EXPECT_EQ(save.DataTriggers.size(), 1u); // the save keeps its copies
    const std::int32_t added = port.AddTimerTrigger();
    for (std::int32_t restored : {data, timer, status})
        EXPECT_NE(added & ~7, restored & ~7);
    TTriggerType kind = TTriggerType::ttNone;
    void* record = nullptr;
    EXPECT_EQ(port.FindTriggerFromHandle(std::uint32_t(data), false, kind, record), ecOK);
    EXPECT_EQ(static_cast<TDataTrigger*>(record)->Len, 2u);
    TSioBaseDispatcher::ClearSaveBuffers(save);
    EXPECT_TRUE(save.DataTriggers.empty());
}

// One notification as a window received it.
struct TNote {
    unsigned Msg;
    std::uint32_t Trigger;
    std::uint16_t Value; // lParam's low word
    bool operator==(const TNote&) const = default;
};

std::ostream& operator<<(std::ostream& out, const TNote& n) {
    return out << std::hex << "{" << n.Msg << ", " << std::dec << n.Trigger << ", " << n.Value << "}";
}

// Takes `count` bytes into `into`, or none when fewer are there.
void Take(TSioBaseDispatcher& port, std::uint32_t count, std::string& into) {
    std::vector<std::uint8_t> block(count);
    if (port.GetBlock(block.data(), count) == std::int32_t(count))
        into.append(block.begin(), block.end());
}

// A dispatcher whose settings lock a test can hold, which stops the dispatch thread at the next
// step of a notification that needs it, and which shows what the notification counted as taken.
class TProbedDispatcher : public TSioWin32Dispatcher {
public:
    using TSioWin32Dispatcher::TSioWin32Dispatcher;
    ~TProbedDispatcher() override { Shutdown(); } // as a device layer: the workers end first
    TCriticalSection& Settings() { return DataSection; }
    std::uint32_t CountedAsTaken() {
        std::lock_guard disp(DispSection);
        return MaxTaken;
    }
    // Waits, answering no message, until the dispatch thread hands an avail or data notification
    // to a handler once the handlers before it took `taken` bytes; a handler on the main thread
    // then waits for this thread.
    bool WaitUntilAHandlerIsDelivered(std::uint32_t taken = 0) {
        for (const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
             std::chrono::steady_clock::now() < end; std::this_thread::yield()) {
            std::lock_guard disp(DispSection);
            if (InDataNotify && HandlerRunning && MaxTaken >= taken)
                return true;
        }
        return false;
    }
};

// A method handler that notes the counts it is told and takes that many of the announced bytes;
// it is deregistered when it goes.
struct TTaker {
    TTaker(TProbedDispatcher& port, bool sync) : Port(port) {
        sync ? Port.RegisterSyncEventTriggerHandler(Event) : Port.RegisterEventTriggerHandler(Event);
    }
    ~TTaker() { Port.DeregisterEventTriggerHandler(Event); }
    TTaker(const TTaker&) = delete;
    TTaker& operator=(const TTaker&) = delete;

    TProbedDispatcher& Port;
    std::vector<std::uint32_t> Told;
    std::string Got;
    const TApdNotifyEvent Event{[](void* object, unsigned msg, std::uint32_t count, std::uint32_t) {
                                    auto& t = *static_cast<TTaker*>(object);
                                    if (msg != TriggerAvailMessage)
                                        return;
                                    t.Told.push_back(count);
                                    Take(t.Port, count, t.Got);
                                },
                                this};
};

// Deregisters a handler whose object is the test's, before that goes, however the test ends.
struct TDeregister {
    TProbedDispatcher& Port;
    TApdNotifyEvent Handler;
    ~TDeregister() { Port.DeregisterEventTriggerHandler(Handler); }
};

class TriggersOverFakeLine : public ::testing::Test {
protected:
    void SetUp() override {
        line->Install("FAKE2");
        ASSERT_EQ(port->InitPort("FAKE2", 19200, NOPARITY, 8, 1, 4096, 4096, ipDtr | ipRts), ecOK);
        port->RegisterWndTriggerHandler(window.Handle());
        port->UpdateHandlerFlags(TApHandlerFlagUpdate::fuEnablePort); // the only window is told too
    }
    void TearDown() override {
        port.reset();
        ClearMessages();
        WndNotifyTimeoutMs = 3000;
    }

    bool NotesReach(std::size_t count) {
        return PumpUntil([&] { return notes.size() >= count; });
    }
    // To show that nothing more comes.
    void Passes() { ASSERT_TRUE(PumpPasses(*port)); }
    // Waits (answering messages) until no notification is being delivered, and marks the
    // dispatcher busy, so that no pass checks a trigger until ReleaseNotifications.
    void HoldNotifications() {
        for (bool wasBusy = true; wasBusy; Sleep(1)) {
            port->SetEventBusy(wasBusy, true);
            SafeYield();
        }
    }
    void ReleaseNotifications() {
        bool wasBusy = false;
        port->SetEventBusy(wasBusy, false);
    }
    // One avail notification came: the handler and the window were told of `rest` and took it,
    // and nothing is left.
    void ExpectOneAvailTakenBy(const TTaker& handler, const std::string& rest) {
        const auto count = std::uint32_t(rest.size());
        EXPECT_EQ(handler.Told, std::vector<std::uint32_t>{count});
        EXPECT_EQ(handler.Got, rest);
        EXPECT_EQ(notes, (std::vector<TNote>{{TriggerAvailMessage, count, 0}}));
        EXPECT_EQ(byWindow, rest);
        EXPECT_EQ(port->InBuffUsed(), 0);
    }

    std::shared_ptr<TFakeLine> line = std::make_shared<TFakeLine>();
    std::unique_ptr<TProbedDispatcher> port = std::make_unique<TProbedDispatcher>(nullptr);
    std::vector<TNote> notes;
    std::string byWindow;
    // By default the window's avail handler takes every announced byte.
    std::function<void(const TNote&)> onNote = [this](const TNote& n) {
        if (n.Msg == TriggerAvailMessage)
            Take(*port, n.Trigger, byWindow);
    };
    TMessageWindow window{[this](unsigned msg, WPARAM wParam, LPARAM lParam) -> LRESULT {
        if (port && msg >= TriggerAvailMessage && msg <= TriggerStatusMessage) {
            EXPECT_EQ(std::uint32_t(lParam) >> 16, std::uint32_t(port->PortIndex()));
            notes.push_back({msg, std::uint32_t(wParam), std::uint16_t(lParam)});
            onNote(notes.back());
        }
        return 0;
    }};
};

TEST_F(TriggersOverFakeLine, DataTriggersAreNotifiedAfterTheBytesBeforeThem) {
    struct Case {
        std::vector<std::string> Triggers;
        std::uint32_t LenTrigger;
        std::string Input;
        // The data notifications name their trigger by its index in Triggers.
        std::vector<TNote> Expected;
    };
    constexpr unsigned A = TriggerAvailMessage, D = TriggerDataMessage;
    const Case cases[] = {
        {{"OK"}, 1, "xxOK", {{A, 2, 0}, {D, 0, 2}, {A, 2, 0}}},
        // Both are told, the later-added first; the bytes before the longer string come first.
        {{"K", "OK"}, 1, "xxOK", {{A, 2, 0}, {D, 1, 2}, {D, 0, 1}, {A, 2, 0}}},
        {{"OK"}, 3, "xxOK", {{D, 0, 2}, {A, 4, 0}}}, // 2 before it are fewer than 3
        {{"ABAB"}, 0, "ABABAB", {{D, 0, 4}}},
        {{"ABAB"}, 0, "ABABABAB", {{D, 0, 4}, {D, 0, 4}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Input);
        port->RemoveAllTriggers();
        port->FlushInBuffer();
        notes.clear();
        std::vector<std::uint32_t> handles;
        for (const std::string& t : c.Triggers)
            handles.push_back(std::uint32_t(port->AddDataTrigger(t.c_str(), false)));
        port->ChangeLengthTrigger(c.LenTrigger);
        line->Send(Bytes(c.Input));
        ASSERT_TRUE(NotesReach(c.Expected.size()));
        Passes();
        std::vector<TNote> expected = c.Expected;
        for (TNote& n : expected) {
            if (n.Msg == D)
                n.Trigger = handles[n.Trigger];
        }
        EXPECT_EQ(notes, expected);
    }
}

TEST_F(TriggersOverFakeLine, NoBytesAreAnnouncedBeforeAStringPartlyReadAlready) {
    onNote = [](const TNote&) {}; // nothing is taken in a notification
    const auto ok = std::uint32_t(port->AddDataTrigger("OK", false));
    port->ChangeLengthTrigger(1);
    line->Send(Bytes("O"));
    ASSERT_TRUE(NotesReach(1)); // the O is scanned and announced
    HoldNotifications();
    std::uint8_t ch = 0;
    port->GetChar(ch); // and read outside any notification
    ReleaseNotifications();
    line->Send(Bytes("K"));
    ASSERT_TRUE(NotesReach(3));
    Passes();
    // Of the matched string only K is unread: there is nothing before it to announce.
    EXPECT_EQ(notes,
              (std::vector<TNote>{
                  {TriggerAvailMessage, 1, 0}, {TriggerDataMessage, ok, 2}, {TriggerAvailMessage, 1, 0}}));
}

TEST_F(TriggersOverFakeLine, ARingFilledAllTheWayRoundIsAnnouncedAgain) {
    port->ChangeLengthTrigger(1);
    line->Send(std::vector<std::uint8_t>(100, 'a'));
    ASSERT_TRUE(NotesReach(1)); // all taken
    HoldNotifications();        // the passes move bytes but check no trigger
    line->Send(std::vector<std::uint8_t>(8192, 'b'));
    ASSERT_TRUE(PumpUntil([&] { return port->InBuffUsed() == 8192; }));
    ReleaseNotifications();
    ASSERT_TRUE(NotesReach(2));
    EXPECT_EQ(notes.back(), (TNote{TriggerAvailMessage, 8192, 0}));
}

TEST_F(TriggersOverFakeLine, AReadingLoopOutsideTheHandlersGetsEachByteOnce) {
    // A program's own loop reads what the handler leaves, as fast as it can, while avail and data
    // notifications come and go: no read that falls between a notification's steps is counted
    // nowhere and made again.
    onNote = [](const TNote&) {};
    port->ChangeLengthTrigger(1);
    port->AddDataTrigger("\r", false);
    const std::string command = "AT+CPIN?\r";
    std::string sent, got;
    for (int i = 0; i < 100; ++i) {
        line->Send(Bytes(command));
        sent += command;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (got.size() < sent.size() && std::chrono::steady_clock::now() < deadline) {
            for (std::uint8_t ch = 0; port->CharReady() && port->GetChar(ch) == ecOK;)
                got += char(ch);
            SafeYield();
        }
    }
    Passes();
    EXPECT_FALSE(port->CharReady());
    EXPECT_EQ(got, sent);
}

TEST_F(TriggersOverFakeLine, AReadBetweenTheHandlersTakesWhatTheFirstLeftAndTheNextAreToldTheRest) {
    // A handler on the dispatch thread takes the first byte; the test then holds the settings
    // lock, which stops the dispatch thread right after it counted that byte, and reads there.
    // The handlers after it, on the dispatch thread and on the main thread, go on from there.
    struct TStage {
        std::atomic<int> Step{0}; // 1 the handler took its byte, 2 it may return
        std::uint8_t Taken = 0;
        TProbedDispatcher* Port = nullptr;
    } stage;
    stage.Port = port.get();
    const TApdNotifyEvent first{[](void* object, unsigned msg, std::uint32_t, std::uint32_t) {
                                    auto& s = *static_cast<TStage*>(object);
                                    if (msg != TriggerAvailMessage || s.Step != 0)
                                        return;
                                    s.Port->GetChar(s.Taken);
                                    s.Step = 1;
                                    for (int i = 0; i < 5000 && s.Step != 2; ++i)
                                        Sleep(1);
                                },
                                &stage};
    port->RegisterEventTriggerHandler(first);
    TDeregister deregister{*port, first};
    TTaker second(*port, false);
    port->ChangeLengthTrigger(1);
    line->Send(Bytes("ABC"));
    ASSERT_TRUE(PumpUntil([&] { return stage.Step == 1; }));
    std::string outside;
    {
        std::lock_guard hold(port->Settings());
        stage.Step = 2;
        ASSERT_TRUE(PumpUntil([&] { return port->CountedAsTaken() == 1; }));
        EXPECT_TRUE(port->CharReady());
        EXPECT_EQ(port->InBuffUsed(), 2);
        std::uint8_t ch = 0;
        if (port->GetChar(ch) == ecOK)
            outside += char(ch);
    }
    ASSERT_TRUE(NotesReach(1));
    Passes();
    EXPECT_EQ(char(stage.Taken), 'A');
    EXPECT_EQ(outside, "B");
    ExpectOneAvailTakenBy(second, "C");
}

TEST_F(TriggersOverFakeLine, AReadOnTheMainThreadBeforeItsHandlerRunsTakesTheFirstBytesAndTheHandlerTheRest) {
    // The dispatch thread waits for the main thread to run a synchronised handler, then the
    // window's; the main thread, not yet answering, polls the port as a program would.
    WndNotifyTimeoutMs = 60000; // the answer comes late on purpose
    TTaker synced(*port, true);
    port->ChangeLengthTrigger(1);
    line->Send(Bytes("ABC"));
    ASSERT_TRUE(port->WaitUntilAHandlerIsDelivered());
    EXPECT_TRUE(port->CharReady());
    EXPECT_EQ(port->InBuffUsed(), 3);
    std::uint8_t ch = 0;
    EXPECT_EQ(port->PeekChar(ch, 1), ecOK);
    EXPECT_EQ(port->GetChar(ch), ecOK);
    EXPECT_EQ(char(ch), 'A');
    ASSERT_TRUE(NotesReach(1));
    Passes();
    ExpectOneAvailTakenBy(synced, "BC");
}

TEST_F(TriggersOverFakeLine, AReadOnTheMainThreadStartsPastTheMostAnEarlierHandlerTook) {
    // A handler on the dispatch thread takes two bytes; the synchronised one after it waits for
    // the main thread, which reads first: it gets the third byte, not one already taken.
    WndNotifyTimeoutMs = 60000;
    struct TTwo {
        TProbedDispatcher* Port;
        std::string Got;
    } two{port.get(), {}};
    const TApdNotifyEvent takesTwo{[](void* object, unsigned msg, std::uint32_t, std::uint32_t) {
                                       auto& t = *static_cast<TTwo*>(object);
                                       if (msg == TriggerAvailMessage && t.Got.empty())
                                           Take(*t.Port, 2, t.Got);
                                   },
                                   &two};
    port->RegisterEventTriggerHandler(takesTwo);
    TDeregister deregister{*port, takesTwo};
    TTaker synced(*port, true);
    port->ChangeLengthTrigger(1);
    line->Send(Bytes("ABCD"));
    ASSERT_TRUE(port->WaitUntilAHandlerIsDelivered(2));
    EXPECT_EQ(port->InBuffUsed(), 2);
    std::uint8_t ch = 0;
    EXPECT_EQ(port->GetChar(ch), ecOK);
    EXPECT_EQ(char(ch), 'C');
    ASSERT_TRUE(NotesReach(1));
    Passes();
    EXPECT_EQ(two.Got, "AB");
    ExpectOneAvailTakenBy(synced, "D");
}

TEST_F(TriggersOverFakeLine, AFlushInsideAHandlerDropsWhatWasAnnounced) {
    bool readyAfterFlush = true;
    onNote = [&](const TNote&) {
        std::uint8_t ch = 0;
        port->GetChar(ch);
        port->FlushInBuffer();
        readyAfterFlush = port->CharReady();
    };
    port->ChangeLengthTrigger(1);
    line->Send(Bytes("ABC"));
    ASSERT_TRUE(NotesReach(1));
    Passes();
    EXPECT_FALSE(readyAfterFlush);
    EXPECT_EQ(port->InBuffUsed(), 0);
    line->Send(Bytes("D"));
    ASSERT_TRUE(NotesReach(2));
    EXPECT_EQ(notes.back(), (TNote{TriggerAvailMessage, 1, 0})); // only what came after
}

TEST_F(TriggersOverFakeLine, AWindowThatIsGoneOrLateDoesNotHoldTheNotificationUp) {
    WndNotifyTimeoutMs = 50;
    {
        TMessageWindow gone([](unsigned, WPARAM, LPARAM) -> LRESULT { return 0; });
        port->RegisterWndTriggerHandler(gone.Handle());
    }
    port->DeregisterWndTriggerHandler(window.Handle());
    port->RegisterWndTriggerHandler(window.Handle()); // now after the gone one
    port->InitDispatchLogging(0);
    const auto first = std::uint32_t(port->AddStatusTrigger(stOutBuffFree));
    const auto second = std::uint32_t(port->AddStatusTrigger(stOutBuffFree));
    port->SetStatusTrigger(first, 0, true);
    port->SetStatusTrigger(second, 0, true);
    // The main thread answers no message until the second trigger has fired, which the dispatch
    // thread reaches only once the first notification's sends are over.
    char path[] = "/tmp/serial-log-XXXXXX";
    close(mkstemp(path));
    char secondFired[32];
    std::snprintf(secondFired, sizeof secondFired, "Status        %08X", second);
    // A whole pass after the arming checks both triggers.
    const std::uint32_t waits = port->DispatchWaits();
    for (int i = 0; i < 5000 && port->DispatchWaits() < waits + 2; ++i)
        Sleep(1);
    port->AppendDispatchLog(path, true, false);
    std::ifstream file(path);
    const std::string log(std::istreambuf_iterator<char>(file), {});
    std::remove(path);
    EXPECT_NE(log.find(secondFired), std::string::npos);
    Passes();
    for (const TNote& n : notes)
        EXPECT_NE(n.Trigger, first) << "a message whose time ran out is not delivered later";
}

TEST_F(TriggersOverFakeLine, StatusTriggersFireOncePerArming) {
    struct Case {
        const char* Name;
        std::uint32_t Kind;
        std::uint32_t Value;
        std::function<void()> Cause;
        std::uint16_t Reported; // lParam's low word
    };
    const Case cases[] = {
        {"CTS rises", stModem, 0x10, [this] { line->SetLines(TIOCM_CTS); }, 0},
        {"CTS falls", stModem, 0x10, [this] { line->SetLines(0); }, 0},
        {"DCD of CTS and DCD", stModem, 0x90, [this] { line->SetLines(TIOCM_CAR); }, 0},
        {"overrun", stLine, lsOverrun, [this] { line->InjectErrors(1, 0, 0, 0); }, 0},
        {"break", stLine, lsBreak | lsFraming, [this] { line->InjectErrors(0, 0, 0, 1); }, 0},
        {"output space free", stOutBuffFree, 0, [] {}, 4096},
        {"output nearly sent", stOutBuffUsed, 100, [] {}, 0},
        {"output sent", stOutSent, 0, [this] { port->PutString("x"); }, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        notes.clear();
        const auto handle = std::uint32_t(port->AddStatusTrigger(c.Kind));
        ASSERT_EQ(port->SetStatusTrigger(handle, c.Value, true), ecOK);
        c.Cause();
        ASSERT_TRUE(NotesReach(1));
        c.Cause(); // again: the trigger is disarmed
        Passes();
        EXPECT_EQ(notes, (std::vector<TNote>{{TriggerStatusMessage, handle, c.Reported}}));
        EXPECT_EQ(port->RemoveTrigger(handle), ecOK);
        port->GetLineError();
        port->CheckLineBreak();
    }
}

TEST_F(TriggersOverFakeLine, AStatusTriggerIgnoresWhatItDoesNotWatch) {
    const auto lines = std::uint32_t(port->AddStatusTrigger(stModem));
    const auto errors = std::uint32_t(port->AddStatusTrigger(stLine));
    const auto disarmed = std::uint32_t(port->AddStatusTrigger(stOutSent));
    port->SetStatusTrigger(lines, 0x20, true); // DSR only
    port->SetStatusTrigger(errors, lsFraming, true);
    port->SetStatusTrigger(disarmed, 0, false);
    line->SetLines(TIOCM_CTS | TIOCM_RNG);
    line->InjectErrors(1, 1, 0, 0);
    port->PutString("x");
    Passes();
    EXPECT_TRUE(notes.empty());
}

TEST_F(TriggersOverFakeLine, ALostDeviceFiresEveryArmedLineStatusTrigger) {
    const auto handle = std::uint32_t(port->AddStatusTrigger(stLine));
    port->SetStatusTrigger(handle, lsBreak, true);
    line->FailReads(EIO);
    line->Send({1});
    ASSERT_TRUE(NotesReach(1));
    EXPECT_EQ(notes[0], (TNote{TriggerStatusMessage, handle, 0}));
    EXPECT_EQ(port->GetLineError(), 10);
}

TEST_F(TriggersOverFakeLine, TimerTriggersFireOnTheClockAndOnlyWhenArmed) {
    TFakeClock clock;
    struct Case {
        std::int32_t Ticks;
        std::int64_t AdvanceMs;
        bool Fires;
    };
    // The tick is 55 ms; a timer expires once the tick count has passed its end.
    const Case cases[] = {
        {3, 0, false}, {3, 2 * 55, false}, {3, 4 * 55, true}, {0, 55, true}, {36, 37 * 55, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.Ticks << " ticks, " << c.AdvanceMs << " ms");
        notes.clear();
        const auto handle = std::uint32_t(port->AddTimerTrigger());
        ASSERT_EQ(port->SetTimerTrigger(handle, c.Ticks, true), ecOK);
        std::int32_t remaining = -1;
        EXPECT_EQ(port->TimerTicksRemaining(handle, remaining), ecOK);
        EXPECT_EQ(remaining, c.Ticks);
        clock.Advance(c.AdvanceMs);
        if (c.Fires)
            ASSERT_TRUE(NotesReach(1));
        else
            Passes();
        const std::vector<TNote> fired{{TriggerTimerMessage, handle, 0}};
        EXPECT_EQ(notes, c.Fires ? fired : std::vector<TNote>{});
        if (c.Fires) {
            clock.Advance(100 * 55); // once per arming
            Passes();
            EXPECT_EQ(notes.size(), 1u);
        }
        port->RemoveTrigger(handle);
    }
}

TEST_F(TriggersOverFakeLine, ATimerCanBeExtendedAndDisarmed) {
    TFakeClock clock;
    const auto extended = std::uint32_t(port->AddTimerTrigger());
    const auto disarmed = std::uint32_t(port->AddTimerTrigger());
    port->SetTimerTrigger(extended, 2, true);
    port->SetTimerTrigger(disarmed, 2, true);
    port->SetTimerTrigger(disarmed, 0, false);
    EXPECT_EQ(port->ExtendTimer(extended, 10), ecOK);
    clock.Advance(4 * 55);
    Passes();
    EXPECT_TRUE(notes.empty());
    clock.Advance(10 * 55);
    ASSERT_TRUE(NotesReach(1));
    Passes();
    EXPECT_EQ(notes, (std::vector<TNote>{{TriggerTimerMessage, extended, 0}}));
    port->SetTimerTrigger(extended, 0, true); // armed again for the period last given
    clock.Advance(3 * 55);
    EXPECT_TRUE(NotesReach(2));
}

TEST_F(TriggersOverFakeLine, ATimerArmedAgainWithoutTicksRunsItsLastPeriod) {
    TFakeClock clock;
    const auto handle = std::uint32_t(port->AddTimerTrigger());
    port->SetTimerTrigger(handle, 10, true);
    clock.Advance(11 * 55);
    ASSERT_TRUE(NotesReach(1));
    ASSERT_EQ(port->SetTimerTrigger(handle, 0, true), ecOK);
    std::int32_t remaining = 0;
    EXPECT_EQ(port->TimerTicksRemaining(handle, remaining), ecOK);
    EXPECT_EQ(remaining, 10);
    clock.Advance(2 * 55);
    Passes();
    EXPECT_EQ(notes.size(), 1u);
    clock.Advance(9 * 55);
    EXPECT_TRUE(NotesReach(2));
}

TEST_F(TriggersOverFakeLine, TheRingMovesOnByTheMostThatAnyHandlerTook) {
    // Three handlers of a data notification take 5, 2 and 3 bytes, each from the same first byte.
    struct THandlerTake {
        TProbedDispatcher* Port;
        std::uint32_t Count;
        std::string Taken;
    };
    THandlerTake onDispatchThread{port.get(), 5, {}}, onMainThread{port.get(), 2, {}};
    const auto take = [](void* object, unsigned msg, std::uint32_t, std::uint32_t) {
        auto& t = *static_cast<THandlerTake*>(object);
        if (msg != TriggerAvailMessage || !t.Taken.empty())
            return;
        t.Taken.resize(t.Count);
        t.Port->GetBlock(t.Taken.data(), t.Count);
    };
    const TApdNotifyEvent direct{take, &onDispatchThread}, synchronised{take, &onMainThread};
    port->RegisterEventTriggerHandler(direct);
    port->RegisterSyncEventTriggerHandler(synchronised);
    struct TDeregister { // both, before the takes go, however the test ends
        TProbedDispatcher& Port;
        TApdNotifyEvent Handler;
        ~TDeregister() {
            Port.DeregisterEventTriggerHandler(Handler);
            Port.DeregisterEventTriggerHandler(Handler);
        }
    } deregister{*port, direct};
    std::string byWindow;
    onNote = [&](const TNote& n) { // the last handler told takes 3
        if (n.Msg != TriggerAvailMessage || !byWindow.empty())
            return;
        byWindow.resize(3);
        port->GetBlock(byWindow.data(), 3);
    };
    port->ChangeLengthTrigger(10); // one notification for all ten
    line->Send(Bytes("0123456789"));
    ASSERT_TRUE(NotesReach(1));
    ASSERT_TRUE(PumpUntil([&] { return port->InBuffUsed() != 0; })); // the notification is over
    EXPECT_EQ(onDispatchThread.Taken, "01234");
    EXPECT_EQ(onMainThread.Taken, "01");
    EXPECT_EQ(byWindow, "012");
    EXPECT_EQ(port->InBuffUsed(), 5);
    std::string rest(5, '\0');
    EXPECT_EQ(port->GetBlock(rest.data(), 5), 5);
    EXPECT_EQ(rest, "56789");
}

TEST_F(TriggersOverFakeLine, WithoutAHandlerToTellTriggersStillFire) {
    TFakeClock clock;
    port->UpdateHandlerFlags(TApHandlerFlagUpdate::fuDisablePort); // the own window alone is not told
    const auto timer = std::uint32_t(port->AddTimerTrigger());
    port->SetTimerTrigger(timer, 1, true);
    clock.Advance(3 * 55);
    TTriggerSave save; // a copy made under the dispatcher's lock
    ASSERT_TRUE(PumpUntil([&] {
        port->SaveTriggers(save);
        return !save.TimerTriggers.at(0).Active;
    }));
    EXPECT_TRUE(notes.empty());
}

TEST_F(TriggersOverFakeLine, HandlersOfEveryKindAreToldEachOnItsThread) {
    static std::mutex lock;
    static std::vector<TThreadId> procThreads;
    static std::vector<TThreadId> syncThreads;
    procThreads.clear();
    syncThreads.clear();
    const TApdNotifyProc proc = [](unsigned, std::uint32_t, std::uint32_t) {
        std::lock_guard guard(lock);
        procThreads.push_back(GetCurrentThreadId());
    };
    const TApdNotifyEvent sync{[](void* object, unsigned, std::uint32_t, std::uint32_t lParam) {
                                   auto* p = static_cast<TSioBaseDispatcher*>(object);
                                   EXPECT_EQ(lParam >> 16, std::uint32_t(p->PortIndex()));
                                   syncThreads.push_back(GetCurrentThreadId());
                               },
                               port.get()};
    port->RegisterProcTriggerHandler(proc);
    port->RegisterSyncEventTriggerHandler(sync);
    const auto handle = std::uint32_t(port->AddStatusTrigger(stOutSent));
    port->SetStatusTrigger(handle, 0, true);
    port->PutString("x");
    ASSERT_TRUE(NotesReach(1));
    EXPECT_EQ(syncThreads, std::vector<TThreadId>{GetCurrentThreadId()}); // the main thread
    {
        std::lock_guard guard(lock);
        ASSERT_EQ(procThreads.size(), 1u);
        EXPECT_NE(procThreads[0], GetCurrentThreadId()); // the dispatch thread itself
    }

    // A handler removed while a notification runs goes when it ends.
    onNote = [&](const TNote&) {
        port->DeregisterProcTriggerHandler(proc);
        port->DeregisterEventTriggerHandler(sync);
    };
    port->SetStatusTrigger(handle, 0, true);
    port->PutString("y");
    ASSERT_TRUE(NotesReach(2));
    port->SetStatusTrigger(handle, 0, true);
    port->PutString("z");
    ASSERT_TRUE(NotesReach(3));
    EXPECT_EQ(syncThreads.size(), 2u);
    std::lock_guard guard(lock);
    EXPECT_EQ(procThreads.size(), 2u);
}

TEST_F(TriggersOverFakeLine, AFullDispatchRingThatNobodyReadsLeavesTheDispatchThreadWaiting) {
    onNote = [](const TNote&) {}; // the handler takes nothing
    port->ChangeLengthTrigger(1);
    line->Send(std::vector<std::uint8_t>(9000, 'x'));
    // The handler takes nothing, so the pass that fills the ring announces all of it.
    ASSERT_TRUE(PumpUntil([&] { return !notes.empty() && notes.back().Trigger == 8192; }));
    const std::size_t told = notes.size();
    // Each pass logs the full ring: a spinning thread would log thousands in this time.
    port->InitDispatchLogging(0);
    PumpUntil([] { return false; }, 300);
    char path[] = "/tmp/serial-log-XXXXXX";
    close(mkstemp(path));
    ASSERT_EQ(port->DumpDispatchLog(path, false, false), ecOK);
    std::ifstream log(path);
    int full = 0;
    for (std::string text; std::getline(log, text);)
        full += text.find("Dispatch buffer full.") != std::string::npos;
    std::remove(path);
    EXPECT_GT(full, 0);
    EXPECT_LT(full, 60);
    EXPECT_EQ(notes.size(), told); // and nobody is told again of what was told
    std::vector<std::uint8_t> some(1000);
    port->GetBlock(some.data(), 1000); // a reader makes room: the rest comes in
    EXPECT_TRUE(PumpUntil([&] { return port->InBuffUsed() == 8000; }));
}

} // namespace
