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

// On a full disk the main window goes on: each save keeps the previous file, the failure is shown
// once, and when there is room again the file is saved and the log tells the lines it lost.
TEST_F(MainFormTest, FullDiskKeepsThePreviousStateFileAndTheRouterRunning) {
    Start();
    clock->Advance(5100);
    ASSERT_TRUE(FileExists(DataFile("States.bin")));
    const std::string previous = ReadFile(DataFile("States.bin"));
    AddObject(7, "Насосная");
    {
        const TDiskFull full(16);
        dialogs->Expect(mtError, QStringLiteral("Невозможно записать файл с состояниями объектов"), mrOk);
        for (int burst = 0; burst < 3; ++burst) {
            for (int line = 0; line < 10; ++line)
                form->PrintMessage("SM: line " + std::to_string(line) + " of burst " + std::to_string(burst));
            clock->Advance(5000); // the idle log timer saves
            EXPECT_EQ(ReadFile(DataFile("States.bin")), previous) << burst;
            EXPECT_FALSE(FileExists(DataFile("States.bin.tmp"))) << burst;
        }
        EXPECT_EQ(dialogs->Shown().size(), 1u);
        EXPECT_TRUE(form->SinceTimer.Enabled());
    }
    form->PrintMessage("SM: room again");
    clock->Advance(5000);
    EXPECT_NE(ReadFile(DataFile("States.bin")), previous);
    const QStringList lines = LogLines();
    ASSERT_GE(lines.size(), 3);
    EXPECT_EQ(lines[lines.size() - 3],
              QStringLiteral("CH: 34 log lines lost - ") + FromCp1251(SysErrorMessage(EFBIG)));
    EXPECT_EQ(lines[lines.size() - 2], "SM: room again");
    EXPECT_EQ(lines.back(), "CH: suspending logging");
}

} // namespace
