#include "protocol/tmgsm.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

std::string captured;
void Capture(const char* text, size_t n) {
    captured.append(text, n);
}

TmClock fixedNow{{2026, 12, 10, 9, 5, 7}, 42};
void FixedClock(TmClock* now) {
    *now = fixedNow;
}

class TraceTest : public ::testing::Test {
protected:
    void SetUp() override {
        captured.clear();
        Trace_SetSink(Capture);
        Tm_SetClockSource(FixedClock);
    }
    void TearDown() override {
        Trace_SetSink(nullptr);
        Tm_SetClockSource(nullptr);
    }
};

TEST_F(TraceTest, DbgLineStartsWithTheTimeOfDay) {
    Dbg_Printf("link %d\n", 7);
    EXPECT_EQ(captured, "DBG(09.05:07:042): link 7\n");
}

TEST_F(TraceTest, HexDumpBreaksEvery32Bytes) {
    uint8_t bytes[33];
    for (int i = 0; i < 33; ++i)
        bytes[i] = static_cast<uint8_t>(i);
    Dump_Hex("RX:", bytes, 33);
    std::string expected = "RX:";
    for (int i = 0; i < 32; ++i) {
        char two[3];
        snprintf(two, sizeof two, "%02X", i);
        expected += two;
    }
    expected += "\n20\n";
    EXPECT_EQ(captured, expected);

    captured.clear();
    Dump_Hex("RX:", bytes, 0);
    Dump_Hex(nullptr, bytes + 10, 2);
    EXPECT_EQ(captured, "0A0B\n");
}

TEST_F(TraceTest, AsciiDumpLeavesOutBellAndAddsNoLineBreak) {
    const uint8_t bytes[] = {'O', 7, 'K', '\r'};
    Dump_Asc("> ", bytes, 4);
    Dump_Asc("> ", bytes, 0);
    EXPECT_EQ(captured, "> OK\r");
}

int clockReads = 0;
void CountingClock(TmClock* now) {
    ++clockReads;
    *now = fixedNow;
}

// Nothing is formatted for a sink that drops everything: not even the time of a line is read.
TEST_F(TraceTest, DiscardingSinkFormatsNothing) {
    const uint8_t bytes[] = {1, 2, 3};
    Tm_SetClockSource(CountingClock);
    clockReads = 0;
    Trace_SetSink(Trace_Discard);
    EXPECT_FALSE(Trace_On());
    Dbg_Printf("link %d\n", 7);
    Dump_Hex("RX:", bytes, 3);
    Dump_Asc("> ", bytes, 3);
    Trace_Printf("%s\n", "plain");
    EXPECT_EQ(clockReads, 0);

    Trace_SetSink(Capture);
    EXPECT_TRUE(Trace_On());
    Dbg_Printf("link %d\n", 7);
    EXPECT_EQ(clockReads, 1);
    EXPECT_EQ(captured, "DBG(09.05:07:042): link 7\n");
}

TEST(TraceSink, FullPipeDropsLinesInsteadOfBlocking) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    int saved = dup(STDOUT_FILENO);
    ASSERT_GE(saved, 0);
    ASSERT_EQ(dup2(fds[1], STDOUT_FILENO), STDOUT_FILENO);
    // Nobody reads: far more than a pipe holds must come back at once.
    std::string line(200, 'x');
    line += '\n';
    for (int i = 0; i < 20000; ++i)
        Trace_Write(line.data(), line.size());
    dup2(saved, STDOUT_FILENO);
    close(saved);
    close(fds[1]);

    // What got through is whole lines.
    std::string got;
    char chunk[4096];
    ssize_t n;
    while ((n = read(fds[0], chunk, sizeof chunk)) > 0)
        got.append(chunk, static_cast<size_t>(n));
    close(fds[0]);
    EXPECT_GT(got.size(), 0u);
    EXPECT_LT(got.size(), 20000 * line.size());
    EXPECT_EQ(got.size() % line.size(), 0u);
}

} // namespace
