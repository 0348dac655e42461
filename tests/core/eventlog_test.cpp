#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <memory>

#include <QEventLoop>
#include <QTimer>

#include <fcntl.h>
#include <unistd.h>

#include "core/DataFolder.h"
#include "core/EventLog.h"
#include "core/Settings.h"
#include "platform/Clock.h"
#include "platform/Cp1251.h"
#include "platform/SysError.h"
#include "tests/core/DiskFull.h"
#include "tests/core/TempFolder.h"
#include "tests/platform/TestSupport.h"

namespace {

constexpr std::int32_t OneMB = 1 << 20;

// Catches what is written to standard error, in a pipe.
class TStandardError {
public:
    TStandardError() {
        EXPECT_EQ(::pipe2(pipe_, O_NONBLOCK | O_CLOEXEC), 0);
        saved_ = ::dup(2);
        ::dup2(pipe_[1], 2);
    }
    ~TStandardError() {
        Restore();
        ::close(pipe_[0]);
    }
    std::string Take() {
        Restore();
        std::string text;
        char buffer[512];
        for (ssize_t n; (n = ::read(pipe_[0], buffer, sizeof buffer)) > 0;)
            text.append(buffer, std::size_t(n));
        return text;
    }

private:
    void Restore() {
        if (saved_ < 0)
            return;
        ::dup2(saved_, 2);
        ::close(saved_);
        ::close(pipe_[1]);
        saved_ = -1;
    }
    int pipe_[2] = {-1, -1};
    int saved_ = -1;
};

class EventLogTest : public ::testing::Test {
protected:
    EventLogTest() {
        AppDataFolder = folder.Path();
        AppSettings = settings.get();
        log.OnSuspended = [this] { ++saves; };
    }
    ~EventLogTest() override {
        log.CloseLog();
        AppSettings = nullptr;
        AppDataFolder.clear();
    }

    std::string LogPath() const { return folder.Path() + "EventLog.txt"; }
    std::string OldPath() const { return folder.Path() + "EventLog.old"; }
    // The file once the loop's turn has ended.
    std::string Log() {
        log.Flush();
        return ReadFile(LogPath());
    }
    // Lets the event loop finish a turn.
    static void EndTurn() {
        QEventLoop loop;
        QTimer::singleShot(0, &loop, &QEventLoop::quit);
        loop.exec();
    }

    TFakeClock clock{EncodeDateTime({2024, 3, 15, 9, 7, 5, 0})};
    TTempFolder folder;
    std::unique_ptr<TSettings> settings = std::make_unique<TSettings>();
    TEventLog log;
    int saves = 0;
};

TEST_F(EventLogTest, LineIsStampedAndEndsInOneCrLf) {
    struct Case {
        std::string text, written;
    };
    const Case cases[] = {
        {"CH: Gelvorant start", "CH: Gelvorant start\r\n"},
        {"SM: done\r\n", "SM: done\r\n"},
        {"lone LF\n", "lone LF\n\r\n"},
        {"lone CR\r", "lone CR\r\r\n"},
        {"", "\r\n"},
        {"\n", "\n\r\n"},
        {"\r", "\r\r\n"},
        {"\r\n", "\r\n"},
        {ToCp1251(QStringLiteral("MD: Модем готов")), ToCp1251(QStringLiteral("MD: Модем готов\r\n"))},
    };
    for (const Case& c : cases) {
        std::filesystem::remove(LogPath());
        log.CloseLog();
        log.PrintMessage(c.text);
        EXPECT_EQ(Log(), "15.03 09:07:05 " + c.written) << "text of " << c.text.size() << " bytes";
    }
}

TEST_F(EventLogTest, LinesAreAppendedToAnExistingFile) {
    WriteFile(LogPath(), "earlier\r\n");
    log.PrintMessage("one");
    clock.Advance(61'000);
    log.PrintMessage("two");
    EXPECT_EQ(Log(), "earlier\r\n15.03 09:07:05 one\r\n15.03 09:07:10 CH: suspending logging\r\n"
                     "15.03 09:08:06 two\r\n");
}

TEST_F(EventLogTest, IdleTimerClosesTheLogAndSavesFiveSecondsAfterTheLastLine) {
    log.PrintMessage("CH: first");
    clock.Advance(1000);
    log.PrintMessage("CH: second");
    EXPECT_GE(EventLogHandle, 0);
    clock.Advance(4999);
    EXPECT_GE(EventLogHandle, 0);
    EXPECT_EQ(saves, 0);
    clock.Advance(1);
    EXPECT_EQ(EventLogHandle, -1);
    EXPECT_FALSE(log.SuspendTimer.Enabled());
    EXPECT_EQ(saves, 1);
    EXPECT_EQ(Log(), "15.03 09:07:05 CH: first\r\n15.03 09:07:06 CH: second\r\n"
                     "15.03 09:07:11 CH: suspending logging\r\n");
    clock.Advance(60'000);
    EXPECT_EQ(saves, 1);
}

TEST_F(EventLogTest, WithoutLoggingNothingIsWrittenButTheStateFileIsStillSaved) {
    settings->NoLogging = 1;
    log.PrintMessage("CH: Gelvorant start");
    EXPECT_EQ(EventLogHandle, -1);
    clock.Advance(SuspendIntervalMs);
    EXPECT_FALSE(FileExists(LogPath()));
    EXPECT_EQ(saves, 1);
}

TEST_F(EventLogTest, LineWrittenWhileTheLogIsClosedReopensIt) {
    log.PrintMessage("before");
    log.CloseLog(); // as the settings dialog does while the idle timer runs
    clock.Advance(1000);
    log.PrintMessage("after");
    EXPECT_EQ(Log(), "15.03 09:07:05 before\r\n15.03 09:07:06 after\r\n");
}

TEST_F(EventLogTest, NothingIsOpenedBeforeTheDataFolderIsKnown) {
    AppDataFolder.clear();
    log.PrintMessage("early");
    EXPECT_EQ(EventLogHandle, -1);
    EXPECT_FALSE(FileExists("EventLog.txt"));
}

TEST_F(EventLogTest, FileLargerThanTheLimitMovesToOld) {
    settings->LogSizeMB = 1;
    const std::string line = "15.03 09:07:05 x\r\n";
    WriteFile(OldPath(), "previous generation");
    WriteFile(LogPath(), std::string(OneMB - line.size(), 'a'));

    log.PrintMessage("x"); // exactly the limit: stays
    log.Flush();
    EXPECT_EQ(std::filesystem::file_size(LogPath()), std::uintmax_t(OneMB));
    EXPECT_EQ(ReadFile(OldPath()), "previous generation");

    log.PrintMessage("x"); // one line over: written, then moved
    const std::string old = ReadFile(OldPath());
    EXPECT_EQ(old.size(), OneMB + line.size());
    EXPECT_EQ(old.substr(old.size() - 2 * line.size()), line + line);
    EXPECT_EQ(Log(), "");
    EXPECT_GE(EventLogHandle, 0);

    log.PrintMessage("next");
    EXPECT_EQ(Log(), "15.03 09:07:05 next\r\n");
}

TEST_F(EventLogTest, SizeSettingOutsideOneToNinetyNineIsClamped) {
    struct Case {
        std::int32_t mb, limit;
    };
    for (const Case c : {Case{-5, OneMB},
                         {0, OneMB},
                         {1, OneMB},
                         {10, 10 * OneMB},
                         {99, 99 * OneMB},
                         {100, 99 * OneMB},
                         {0x7FFFFFFF, 99 * OneMB}}) {
        EXPECT_EQ(LogSizeLimit(c.mb), c.limit) << c.mb;
    }
    settings->LogSizeMB = 0; // would otherwise move the file after every line
    log.PrintMessage("one");
    log.PrintMessage("two");
    EXPECT_FALSE(FileExists(OldPath()));
    EXPECT_EQ(Log(), "15.03 09:07:05 one\r\n15.03 09:07:05 two\r\n");
}

// An older generation that cannot be replaced (here a folder of that name) must not let the log grow
// without bound: the current file starts over and says why.
TEST_F(EventLogTest, FailedMoveStartsTheLogOverSoThatItKeepsToItsLimit) {
    settings->LogSizeMB = 1;
    std::filesystem::create_directory(OldPath()); // a folder that is not empty cannot be replaced
    WriteFile(OldPath() + "/keep", "k");
    WriteFile(LogPath(), std::string(OneMB, 'a'));
    const std::string startsOver = "15.03 09:07:05 CH: EventLog.old cannot be replaced - " +
                                   SysErrorMessage(EISDIR) + "; EventLog.txt starts over\r\n";

    log.PrintMessage("first");
    EXPECT_GE(EventLogHandle, 0);
    EXPECT_EQ(Log(), startsOver);
    const std::string line(1000, 'x');
    int startedOver = 0;
    for (int i = 0; i < 3 * 1100; ++i) {
        log.PrintMessage(line);
        log.Flush();
        const std::uintmax_t size = std::filesystem::file_size(LogPath());
        ASSERT_LE(size, std::uintmax_t(OneMB + 2 * 1024)) << i;
        if (size == startsOver.size()) {
            EXPECT_EQ(Log(), startsOver);
            ++startedOver;
        }
    }
    EXPECT_EQ(startedOver, 3);
    EXPECT_EQ(ReadFile(OldPath() + "/keep"), "k");

    std::filesystem::remove_all(OldPath()); // the next rotation moves the file again
    for (int i = 0; i < 1100 && !FileExists(OldPath()); ++i)
        log.PrintMessage(line);
    EXPECT_GT(std::filesystem::file_size(OldPath()), std::uintmax_t(OneMB));
    EXPECT_EQ(Log(), "");
}

// A disk without room loses whole lines, never a part of one, and the loss is told once.
TEST_F(EventLogTest, DiskFullLosesWholeLinesAndTellsTheLossOnce) {
    log.PrintMessage("before");
    const std::string before = Log();
    TStandardError standardError; // not in a file, which would be full as well
    {
        const TDiskFull full(before.size() + 10);
        for (int i = 0; i < 4; ++i)
            log.PrintMessage("SM: a line that does not fit");
        EXPECT_EQ(Log(), before);
        clock.Advance(SuspendIntervalMs); // the idle timer's line is lost as well; the state is still saved
        EXPECT_EQ(saves, 1);
    }
    const std::string reported = standardError.Take();
    EXPECT_EQ(reported, "router: " + LogPath() + ": lines are lost: " + SysErrorMessage(EFBIG) + "\n");

    log.PrintMessage("after");
    EXPECT_EQ(Log(), before + "15.03 09:07:10 CH: 5 log lines lost - " + SysErrorMessage(EFBIG) +
                         "\r\n15.03 09:07:10 after\r\n");
}

// Lines that come while the file cannot be opened are lost the same way: counted, told once on standard
// error, and the count written by the first line the log takes again.
TEST_F(EventLogTest, LinesWhileTheFileCannotBeOpenedAreCountedAndToldWhenItOpens) {
    std::filesystem::create_directory(LogPath());
    TStandardError standardError;
    for (int i = 0; i < 3; ++i)
        log.PrintMessage("SM: a line with no file to go to");
    EXPECT_EQ(EventLogHandle, -1);
    EXPECT_EQ(standardError.Take(),
              "router: " + LogPath() + ": lines are lost: " + SysErrorMessage(EISDIR) + "\n");
    clock.Advance(SuspendIntervalMs);
    EXPECT_EQ(saves, 1) << "the state file is still saved";

    std::filesystem::remove(LogPath());
    log.PrintMessage("after");
    log.PrintMessage("later");
    EXPECT_EQ(Log(), "15.03 09:07:10 CH: 3 log lines lost - " + SysErrorMessage(EISDIR) +
                         "\r\n15.03 09:07:10 after\r\n15.03 09:07:10 later\r\n")
        << "the count is told once";
    EXPECT_EQ(standardError.Take(), "");
}

// A pipe in the file's place with nobody reading it never holds the program up: its lines are lost.
TEST_F(EventLogTest, APipeWithNoReaderIsNotWaitedFor) {
    TStandardError standardError;
    {
        const TFifoWatch fifo(LogPath(), TFifoWatch::TWaiter::Writer);
        ASSERT_TRUE(fifo.Made());
        log.PrintMessage("first");
        log.PrintMessage("second");
        EXPECT_EQ(EventLogHandle, -1);
        EXPECT_FALSE(fifo.Released()) << "the open waited for a reader";
    }
    EXPECT_EQ(standardError.Take(),
              "router: " + LogPath() + ": lines are lost: " + SysErrorMessage(ENXIO) + "\n");
    std::filesystem::remove(LogPath());
    log.PrintMessage("after");
    EXPECT_EQ(Log(), "15.03 09:07:05 CH: 2 log lines lost - " + SysErrorMessage(ENXIO) +
                         "\r\n15.03 09:07:05 after\r\n");
}

// The lines of one turn of the event loop go to the file together, in order, when the loop is about to
// wait; a burst of 64 KB goes at once; closing the log writes what waits.
TEST_F(EventLogTest, LinesWaitForTheEndOfTheLoopsTurnAndKeepTheirOrder) {
    log.PrintMessage("one");
    clock.Advance(1000);
    log.PrintMessage("two");
    log.PrintMessage("three\r\n");
    EXPECT_EQ(ReadFile(LogPath()), "") << "nothing written line by line";
    EndTurn();
    EXPECT_EQ(ReadFile(LogPath()), "15.03 09:07:05 one\r\n15.03 09:07:06 two\r\n15.03 09:07:06 three\r\n");

    std::filesystem::remove(LogPath());
    log.CloseLog();
    const std::string line(999, 'x');
    const std::string written = "15.03 09:07:06 " + line + "\r\n";
    int lines = 0;
    while (ReadFile(LogPath()).empty() && lines < 100) {
        log.PrintMessage(line);
        ++lines;
    }
    EXPECT_EQ(lines, int(64 * 1024 / written.size()) + 1) << "a burst goes out once it reaches 64 KB";
    EXPECT_EQ(ReadFile(LogPath()).size(), lines * written.size());

    log.PrintMessage("last");
    log.CloseLog(); // as at exit
    EXPECT_EQ(ReadFile(LogPath()).size(), lines * written.size() + 21);
    EXPECT_EQ(EventLogHandle, -1);
}

// A disk that fills part-way through a turn's lines keeps the whole lines that fit; the rest are lost as
// single lines are, and told by the next line that fits.
TEST_F(EventLogTest, DiskFullPartWayThroughATurnKeepsTheWholeLinesThatFit) {
    const std::string line = "15.03 09:07:05 SM: line\r\n";
    TStandardError standardError;
    {
        const TDiskFull full(2 * line.size() + 10);
        for (int i = 0; i < 5; ++i)
            log.PrintMessage("SM: line");
        EndTurn();
        EXPECT_EQ(ReadFile(LogPath()), line + line);
    }
    EXPECT_EQ(standardError.Take(),
              "router: " + LogPath() + ": lines are lost: " + SysErrorMessage(EFBIG) + "\n");
    log.PrintMessage("after");
    EXPECT_EQ(Log(), line + line + "15.03 09:07:05 CH: 3 log lines lost - " + SysErrorMessage(EFBIG) +
                         "\r\n15.03 09:07:05 after\r\n");
}

// An abort (qFatal and std::terminate end in one), or a crash, still writes the lines of the turn.
TEST_F(EventLogTest, AnAbortOrACrashWritesTheLinesThatWait) {
    struct Case {
        const char* what;
        void (*end)();
    };
    const Case cases[] = {
        {"abort", [] { std::abort(); }},
        {"qFatal", [] { qFatal("the end"); }},
        {"terminate", [] { std::terminate(); }},
        {"crash", [] { *reinterpret_cast<volatile int*>(std::uintptr_t(16)) = 1; }},
        {"kill", [] { ::raise(SIGBUS); }},
    };
    for (const Case& c : cases) {
        std::filesystem::remove(LogPath());
        log.CloseLog();
        EXPECT_DEATH(
            {
                log.WriteOnAbnormalEnd();
                log.PrintMessage("CH: first");
                log.PrintMessage(std::string("CH: before the ") + c.what);
                c.end();
            },
            "");
        EXPECT_EQ(ReadFile(LogPath()),
                  std::string("15.03 09:07:05 CH: first\r\n15.03 09:07:05 CH: before the ") + c.what +
                      "\r\n");
    }
}

TEST_F(EventLogTest, CheckLogChangeLeavesClosedAndSmallFilesAlone) {
    int handle = -1;
    log.CheckLogChange(handle, "Other", 0);
    EXPECT_EQ(handle, -1);

    WriteFile(folder.Path() + "Other.txt", "12345");
    handle = ::open((folder.Path() + "Other.txt").c_str(), O_WRONLY | O_APPEND);
    log.CheckLogChange(handle, "Other", 5);
    EXPECT_FALSE(FileExists(folder.Path() + "Other.old"));
    log.CheckLogChange(handle, "Other", 4);
    EXPECT_EQ(ReadFile(folder.Path() + "Other.old"), "12345");
    EXPECT_EQ(ReadFile(folder.Path() + "Other.txt"), "");
    ASSERT_GE(handle, 0);
    ::close(handle);
}

TEST_F(EventLogTest, GetOpenFileSizeKeepsThePosition) {
    WriteFile(LogPath(), "0123456789");
    const int handle = ::open(LogPath().c_str(), O_RDONLY);
    ASSERT_GE(handle, 0);
    ASSERT_EQ(::lseek(handle, 3, SEEK_SET), 3);
    EXPECT_EQ(GetOpenFileSize(handle), 10);
    EXPECT_EQ(::lseek(handle, 0, SEEK_CUR), 3);
    ::close(handle);

    int pipeEnds[2];
    ASSERT_EQ(::pipe(pipeEnds), 0);
    EXPECT_EQ(GetOpenFileSize(pipeEnds[0]), -1);
    ::close(pipeEnds[0]);
    ::close(pipeEnds[1]);
    EXPECT_EQ(GetOpenFileSize(-1), -1);
}

TEST_F(EventLogTest, StatusMessageShowsTheLongTimeAndTheText) {
    clock.SetNow(EncodeDateTime({2024, 3, 15, 17, 5, 9, 0}));
    std::string shown;
    log.OnStatus = [&](const std::string& text) { shown = text; };
    log.StatusMessage(ToCp1251(QStringLiteral("TCP-порт открыт")));
    EXPECT_EQ(FromCp1251(shown), QStringLiteral(" 17:05:09  TCP-порт открыт"));
}

} // namespace
