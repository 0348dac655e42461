// Faults injected into the state file and the event log: saves killed at random points, and a full
// disk under the running main window.
#include <cerrno>
#include <cstdio>
#include <iostream>
#include <string>

#include <sys/wait.h>

#include "core/StateFile.h"
#include "platform/Cp1251.h"
#include "platform/SysError.h"
#include "tests/core/DiskFull.h"
#include "tests/core/MainFormFixture.h"
#include "tests/core/TempFolder.h"

namespace {

// states-kill does the killing: a process of a single thread may fork children that run the saving
// code, which this one, with its application object, may not.
TEST(StatesKillTest, FileOpensOldOrNewWhereverASaveIsKilled) {
    const TTempFolder folder;
    const std::string command = std::string(STATES_KILL) + " " + folder.Path() + "States.bin 100 " +
                                std::to_string(testing::UnitTest::GetInstance()->random_seed());
    FILE* out = ::popen(command.c_str(), "r");
    ASSERT_NE(out, nullptr);
    std::string report;
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, out))
        report += buffer;
    const int status = ::pclose(out);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << report;
    const std::size_t summary = report.rfind("kills");
    ASSERT_NE(summary, std::string::npos) << report;
    int kills = 0, failures = -1, inside = 0, newer = 0;
    ASSERT_EQ(std::sscanf(report.c_str() + summary,
                          "kills %d, failures %d, inside the temporary file %d, newer state %d", &kills,
                          &failures, &inside, &newer),
              4)
        << report;
    std::cout << report;
    EXPECT_EQ(kills, 100);
    EXPECT_EQ(failures, 0);
    EXPECT_GT(inside, 0); // some kills did come in the middle of writing
    EXPECT_GT(newer, 0);
}

const QString CannotWrite = QStringLiteral("Невозможно записать файл с состояниями объектов");

// On a full disk the main window goes on: each save keeps the previous file, the box comes once and
// the status bar says the state is not saved. Once the disk has room the retry saves, though nothing is
// logged meanwhile; filled again, a new change gets its box again.
TEST_F(MainFormTest, FullDiskFreedAndFilledAgain) {
    Start();
    clock->Advance(5100);
    ASSERT_TRUE(FileExists(DataFile("States.bin")));
    const std::string previous = ReadFile(DataFile("States.bin"));
    const auto unsavedShown = [this] {
        return form->StatusBar1->Panels(spText).Text.startsWith(QString::fromUtf8(StatesUnsavedNote));
    };
    EXPECT_FALSE(unsavedShown());
    AddObject(7, "Насосная");
    int failures = 0;
    {
        const TDiskFull full(16);
        dialogs->Expect(mtError, CannotWrite, mrOk);
        for (int burst = 0; burst < 3; ++burst) {
            for (int line = 0; line < 10; ++line)
                form->PrintMessage("SM: line " + std::to_string(line) + " of burst " + std::to_string(burst));
            clock->Advance(5000); // the idle log timer saves
            EXPECT_EQ(ReadFile(DataFile("States.bin")), previous) << burst;
            EXPECT_FALSE(FileExists(DataFile("States.bin.tmp"))) << burst;
        }
        EXPECT_EQ(dialogs->Shown().size(), 1u);
        EXPECT_TRUE(unsavedShown());
        EXPECT_TRUE(form->SinceTimer.Enabled());
        EXPECT_GE(form->Saver.Failures(), 3);
        failures = form->Saver.Failures();
    }
    // Room again, and nothing logged: the retry saves.
    clock->Advance(RetryIntervalMs);
    const std::string saved = ReadFile(DataFile("States.bin"));
    EXPECT_NE(saved, previous);
    EXPECT_FALSE(unsavedShown());
    const QStringList lines = LogLines();
    EXPECT_EQ(lines.back(), QStringLiteral("CH: States.bin is written again after %1 failed saves")
                                .arg(form->Saver.Failures() == 0 ? failures : -1));
    EXPECT_FALSE(
        lines.filter(QStringLiteral(" log lines lost - ") + FromCp1251(SysErrorMessage(EFBIG))).isEmpty());

    // Full again: a change gets its box, and the state shows as not saved until it is.
    AddObject(8, "Котельная");
    {
        const TDiskFull full(16);
        dialogs->Expect(mtError, CannotWrite, mrOk);
        form->PrintMessage("SM: a change while the disk is full again");
        clock->Advance(5000);
        EXPECT_EQ(dialogs->Shown().size(), 2u);
        EXPECT_EQ(ReadFile(DataFile("States.bin")), saved);
        EXPECT_TRUE(unsavedShown());
    }
    clock->Advance(RetryIntervalMs);
    EXPECT_NE(ReadFile(DataFile("States.bin")), saved);
    EXPECT_FALSE(unsavedShown());
    EXPECT_EQ(dialogs->Shown().size(), 2u);
}

// With modems talking the log never rests for 5 s: a change is still saved within a minute.
TEST_F(MainFormTest, UnderSteadyTrafficAChangeIsSavedWithinAMinute) {
    Start();
    clock->Advance(5100);
    const std::string previous = ReadFile(DataFile("States.bin"));
    ASSERT_FALSE(previous.empty());
    AddObject(7, "Насосная");
    for (int second = 0; second < 75; ++second) {
        form->PrintMessage("SM: traffic at second " + std::to_string(second));
        clock->Advance(1000);
        if (second == 58) {
            EXPECT_EQ(ReadFile(DataFile("States.bin")), previous) << "the log never rested for 5 s";
        }
    }
    EXPECT_NE(ReadFile(DataFile("States.bin")), previous);
    EXPECT_EQ(LogLines().filter(QStringLiteral("CH: suspending logging")).size(), 1)
        << "the log never rested";
}

} // namespace
