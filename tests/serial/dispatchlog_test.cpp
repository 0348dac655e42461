// The byte trace and the dispatch log, and their files, on a dispatcher over the fake line with the
// fake clock standing still.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/ClockSource.h"
#include "serial/Serial.h"
#include "tests/serial/FakeCommDevice.h"
#include "tests/serial/MainThreadStandIn.h"
#include "tests/serial/SerialTestSupport.h"

namespace {

// The file's lines, split at CR LF.
std::vector<std::string> Lines(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream all;
    all << file.rdbuf();
    const std::string text = all.str();
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines.push_back(text.substr(start, end - start));
    EXPECT_EQ(start, text.size()) << "the last line ends too";
    return lines;
}

class TraceAndLog : public ::testing::Test {
protected:
    void SetUp() override {
        line->Install("FAKE4");
        port.DeviceName = "\\\\.\\COM4";
        ASSERT_EQ(port.InitPort("FAKE4", 19200, NOPARITY, 8, 1, 4096, 4096, ipDtr | ipRts), ecOK);
    }
    void TearDown() override {
        std::filesystem::remove_all(folder);
        ClearMessages();
    }

    void Receive(const std::string& text) {
        line->Send(Bytes(text));
        ASSERT_TRUE(PumpUntil([&] { return port.InBuffUsed() == std::int32_t(text.size()); }));
        std::vector<std::uint8_t> taken(text.size());
        port.GetBlock(taken.data(), std::uint32_t(text.size()));
    }

    TFakeClock clock{EncodeDateTime({2024, 3, 15, 12, 0, 0, 0}), 1'000'000};
    std::shared_ptr<TFakeLine> line = std::make_shared<TFakeLine>();
    TSioWin32Dispatcher port{nullptr};
    std::string folder = [] {
        char pattern[] = "/tmp/serial-trace-XXXXXX";
        return std::string(mkdtemp(pattern));
    }();
    std::string file = folder + "/SIO.TRC";
};

TEST_F(TraceAndLog, TheTraceShowsRunsOfSentAndReadBytesUnderTheirHeadings) {
    EXPECT_EQ(port.DumpTrace(file, true, false), ecOK);
    EXPECT_FALSE(std::filesystem::exists(file)) << "nothing recorded, no file";
    ASSERT_EQ(port.InitTracing(100), ecOK);
    port.PutString("AT\r");
    Receive("OK \r\n");
    port.PutString("~");

    struct Case {
        bool InHex, AllHex;
        std::vector<std::string> Lines;
    };
    const Case cases[] = {
        {true, false, {"Transmit: ", "AT[0D]", "", "Receive: ", "OK[20][0D][0A]", "", "Transmit: ", "~"}},
        {false, false, {"Transmit: ", "AT[13]", "", "Receive: ", "OK [13][10]", "", "Transmit: ", "~"}},
        {false,
         true,
         {"Transmit: ", "[41][54][0D]", "", "Receive: ", "[4F][4B][20][0D][0A]", "", "Transmit: ", "[7E]"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.InHex << c.AllHex);
        ASSERT_EQ(port.AppendTrace(file, c.InHex, c.AllHex), ecOK);
        EXPECT_EQ(Lines(file), c.Lines);
        std::filesystem::remove(file);
        // A dump starts the trace again, empty: the next case records the same bytes again.
        port.PutString("AT\r");
        Receive("OK \r\n");
        port.PutString("~");
    }
}

TEST_F(TraceAndLog, AWrappedTraceIsWrittenOldestFirstAndLongRunsAreBroken) {
    ASSERT_EQ(port.InitTracing(4), ecOK);
    port.PutString("123456");
    ASSERT_EQ(port.DumpTrace(file, true, false), ecOK);
    EXPECT_EQ(Lines(file), (std::vector<std::string>{"Transmit: ", "3456"}));

    port.AbortTracing();
    ASSERT_EQ(port.InitTracing(1000), ecOK);
    port.PutString(std::string(30, 'z'));
    ASSERT_EQ(port.DumpTrace(file, false, true), ecOK); // a dump replaces the file
    std::string first;
    for (int i = 0; i < 20; ++i)
        first += "[7A]";
    std::string rest;
    for (int i = 0; i < 10; ++i)
        rest += "[7A]";
    EXPECT_EQ(Lines(file), (std::vector<std::string>{"Transmit: ", first, rest}));
    EXPECT_EQ(port.InitTracing(4'000'001), ecOK) << "a trace that exists is only emptied";
    port.AbortTracing();
    EXPECT_EQ(port.InitTracing(4'000'001), ecBadArgument);
}

TEST_F(TraceAndLog, AFileThatCannotBeWrittenGivesThePlatformsErrorAndStopsTheTrace) {
    ASSERT_EQ(port.InitTracing(10), ecOK);
    port.PutString("x");
    const std::string nowhere = folder + "/missing/SIO.TRC";
    EXPECT_EQ(port.DumpTrace(nowhere, true, false), -std::int32_t(ERROR_FILE_NOT_FOUND));
    port.PutString("y");
    EXPECT_EQ(port.DumpTrace(file, true, false), ecOK);
    EXPECT_FALSE(std::filesystem::exists(file)) << "the trace was stopped and freed";

    port.InitDispatchLogging(0);
    port.AddStringToLog("kept");
    EXPECT_EQ(port.DumpDispatchLog(nowhere, true, false), -std::int32_t(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(port.DumpDispatchLog(file, true, false), ecOK);
    EXPECT_EQ(Lines(file).back(), "0000.000  User                    00000000  kept") << "the log stayed";
}

TEST_F(TraceAndLog, TheDispatchLogHasItsHeaderAndALinePerEntry) {
    const HWND window = 0x4D2;
    port.InitDispatchLogging(0);
    clock.Advance(1234);
    port.PutString("AT\r");
    const auto modem = std::uint32_t(port.AddStatusTrigger(stModem));
    port.ChangeLengthTrigger(5);
    port.RegisterWndTriggerHandler(window);
    clock.Advance(10);
    line->Send(Bytes("OK"));
    ASSERT_TRUE(PumpUntil([&] { return port.InBuffUsed() == 2; }));
    port.AddStringToLog("hello world");
    port.RemoveTrigger(modem);
    const auto timer = std::uint32_t(port.AddTimerTrigger());
    port.SetTimerTrigger(timer, 0, false);
    port.AddStringToLog(std::string(40, 'y'));
    ASSERT_EQ(port.DumpDispatchLog(file, true, false), ecOK);

    const std::vector<std::string> lines = Lines(file);
    ASSERT_EQ(lines.size(), 18u);
    EXPECT_EQ(lines[0], "SIO v4.07");
    EXPECT_EQ(lines[1].rfind("Compiler : ", 0), 0u);
    EXPECT_EQ(lines[2].rfind("Operating System : ", 0), 0u);
    EXPECT_EQ(lines[3], "Device: \\\\.\\COM4");
    EXPECT_EQ(lines[4], "Date/time: 15/03/24, 12:00:01");
    EXPECT_EQ(lines[5], "    Time  Type      SubType       Data      OtherData");
    EXPECT_EQ(lines[6], "--------  --------  ------------  --------  ---------");
    const std::vector<std::string> entries(lines.begin() + 7, lines.end());
    EXPECT_EQ(entries, (std::vector<std::string>{
                           "0001.234  Dispatch  WriteCom      00000003  AT[0D]",
                           "0001.234  TrigAdd   StatTrigger   00000009  (Modem status)",
                           "0001.234  TrigSet   AvailTrigger  00000005  ",
                           "0001.234  HndlrAdd  WndHandler    000004D2  ",
                           "0001.244  Dispatch  ReadCom       00000002  OK",
                           "0001.244  User                    00000000  hello world",
                           "0001.244  TrigDel   StatTrigger   00000009  (Modem status)",
                           "0001.244  TrigAdd   TimerTrigger  00000010  ",
                           "0001.244  TrigSet   TimerTrigger  00000010  Deactivated",
                           "0001.244  User                    00000000  " + std::string(35, 'y'),
                           std::string(44, ' ') + std::string(5, 'y'),
                       }));
    EXPECT_EQ(port.DumpDispatchLog(file, true, false), ecOK) << "the dump emptied the log";
    EXPECT_EQ(Lines(file).size(), 18u);
}

TEST_F(TraceAndLog, EntriesWithoutPayloadDoNotCountAgainstTheLogsLimit) {
    port.InitDispatchLogging(10);
    for (std::uint32_t i = 0; i < 100; ++i)
        port.ChangeLengthTrigger(i);
    port.AddStringToLog("0123456789");
    ASSERT_EQ(port.DumpDispatchLog(file, true, false), ecOK);
    EXPECT_EQ(Lines(file).size(), 7u + 101u);

    for (int i = 0; i < 3; ++i)
        port.AddStringToLog("abcdef");
    ASSERT_EQ(port.DumpDispatchLog(file, true, false), ecOK);
    const std::vector<std::string> lines = Lines(file);
    ASSERT_EQ(lines.size(), 7u + 2u) << "the oldest went once the payload passed the limit";
    EXPECT_EQ(lines.back(), "0000.000  User                    00000000  abcdef");
}

TEST(ComPortTraceAndLog, AreWrittenWhenThePortCloses) {
    TFakeClock clock;
    auto line = std::make_shared<TFakeLine>();
    line->Install("COM5");
    char pattern[] = "/tmp/serial-trace-XXXXXX";
    const std::string folder = mkdtemp(pattern);
    TSioComPort port;
    port.SetComNumber(5);
    port.SetTraceName(folder + "/port.trc");
    port.SetLogName(folder + "/port.log");
    port.SetTracing(tlDump); // a closed port keeps only on or off
    EXPECT_EQ(port.Tracing(), tlOff);
    port.SetTracing(tlOn);
    port.SetLogging(tlOn);
    port.SetOpen(true);
    port.PutString("AT");
    port.SetOpen(false);
    EXPECT_EQ(port.Tracing(), tlOff);
    EXPECT_EQ(port.Logging(), tlOff);
    EXPECT_EQ(Lines(folder + "/port.trc"), (std::vector<std::string>{"Transmit: ", "AT"}));
    const std::vector<std::string> log = Lines(folder + "/port.log");
    ASSERT_EQ(log.size(), 10u); // the header, the avail trigger and the window set at the open, AT
    EXPECT_EQ(log[3], "Device: \\\\.\\COM5");
    EXPECT_EQ(log[7], "0000.000  TrigSet   AvailTrigger  00000001  ");
    EXPECT_EQ(log[9], "0000.000  Dispatch  WriteCom      00000002  AT");
    std::filesystem::remove_all(folder);
    line->Uninstall();
}

} // namespace
