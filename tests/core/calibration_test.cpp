#include "core/Calibration.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "core/DataFolder.h"
#include "platform/IniFile.h"
#include "tests/core/TempFolder.h"
#include "tests/platform/TestSupport.h"

namespace {

class CalibrationTest : public ::testing::Test {
protected:
    void SetUp() override { AppDataFolder = folder.Path(); }
    void TearDown() override {
        FreeCalibrationTables();
        AppDataFolder.clear();
    }
    void Load(const std::string& ini) {
        WriteFile(folder.Path() + "Calibrate.ini", ini);
        LoadCalibrationTables();
    }

    TTempFolder folder;
};

bool IsIdentity(const CalibrationTable& table) {
    for (int x = 0; x < 256; ++x)
        if (table.Value(x) != float(x))
            return false;
    return true;
}

TEST_F(CalibrationTest, NoFileGivesNoTables) {
    EXPECT_EQ(LoadCalibrationTables(), 0);
    EXPECT_TRUE(CalibrationTables.empty());
}

TEST_F(CalibrationTest, SectionsWithoutTwoLinesAreIdentityTables) {
    Load("[Tank=7-2]\n[Tank=8-1]\n100=5\n");
    ASSERT_EQ(CalibrationCount, 2);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(CalibrationTables[i].Id, 7 + i);
        EXPECT_EQ(CalibrationTables[i].Input, 2 - i);
        EXPECT_TRUE(IsIdentity(CalibrationTables[i]));
    }
}

TEST_F(CalibrationTest, UnusableSectionsAreCountedButMarked) {
    Load("[Tank-7=2]\n1=1\n2=2\n"
         "[Tank=9-1]\n50=1\n50=2\n"
         "[Tank=9-2]\nabc=1\n300=2\n10=4\n");
    ASSERT_EQ(CalibrationCount, 3);
    for (const CalibrationTable& table : CalibrationTables) {
        EXPECT_EQ(table.Id, 0);
        EXPECT_EQ(table.Input, 0);
    }
}

TEST_F(CalibrationTest, PointsBetweenAndBeyondLieOnTheLinesThroughTheirNeighbours) {
    Load("[Tank=12-1]\n10=1.0\n20=3.0\n");
    const CalibrationTable& t = CalibrationTables.at(0);
    EXPECT_EQ(t.Id, 12);
    EXPECT_EQ(t.Input, 1);
    EXPECT_FLOAT_EQ(t.Value(0), -1.0f);
    EXPECT_FLOAT_EQ(t.Value(10), 1.0f);
    EXPECT_FLOAT_EQ(t.Value(15), 2.0f);
    EXPECT_FLOAT_EQ(t.Value(20), 3.0f);
    EXPECT_FLOAT_EQ(t.Value(255), 50.0f);
}

TEST_F(CalibrationTest, ThreePointsUseTheSlopeOfEachPair) {
    Load("[A=3-4]\n0=0\n100=100\n200=0\n");
    const CalibrationTable& t = CalibrationTables.at(0);
    EXPECT_FLOAT_EQ(t.Value(50), 50.0f);
    EXPECT_FLOAT_EQ(t.Value(150), 50.0f);
    EXPECT_FLOAT_EQ(t.Value(255), -55.0f);
}

TEST_F(CalibrationTest, CommaAndDotAreBothDecimalSeparatorsAndNoNumberMeansX) {
    Load("[A=1-1]\n0=1,5\n255=1.5\n[A=1-2]\n10=abc\n20=5\n");
    EXPECT_FLOAT_EQ(CalibrationTables.at(0).Value(0), 1.5f);
    EXPECT_FLOAT_EQ(CalibrationTables.at(0).Value(255), 1.5f);
    EXPECT_FLOAT_EQ(CalibrationTables.at(1).Value(10), 10.0f);
}

TEST_F(CalibrationTest, FreeingEmptiesTheTables) {
    Load("[A=1-1]\n");
    FreeCalibrationTables();
    EXPECT_EQ(CalibrationCount, 0);
    EXPECT_TRUE(CalibrationTables.empty());
}

// A pipe or a device is never waited on or read, nor is a file over the cap; the loading says why.
TEST_F(CalibrationTest, OnlyARegularFileOfAtMostTheCapIsRead) {
    const std::string path = folder.Path() + "Calibrate.ini";
    const TFifoWatch fifo(folder.Path() + "pipe");
    ASSERT_TRUE(fifo.Made());
    for (const TOddFile& odd : OddFiles(path, "pipe", TIniFile::MaxFileSize)) {
        SCOPED_TRACE(odd.Name);
        odd.Make();
        std::string problem;
        EXPECT_EQ(LoadCalibrationTables(&problem), 0);
        EXPECT_EQ(problem, odd.Problem);
        std::filesystem::remove(path);
    }
    EXPECT_FALSE(fifo.Released()) << "the open waited for a writer";

    WriteFile(path, "[Tank=7-2]\n");
    std::filesystem::resize_file(path, TIniFile::MaxFileSize);
    std::string problem = "not set";
    EXPECT_EQ(LoadCalibrationTables(&problem), 1) << "a file of the cap is read";
    EXPECT_EQ(problem, "");
}

TEST_F(CalibrationTest, SectionsAreFoundByTheirNameWhateverItsCase) {
    // The first appearance keeps its place and its spelling; later ones add their lines to it.
    std::string ini;
    for (int id = 1; id <= 3000; ++id)
        ini += "[Tank=" + std::to_string(id) + "-1]\n0=" + std::to_string(id) + "\n";
    for (int id = 3000; id >= 1; --id)
        ini += "[TANK=" + std::to_string(id) + "-1]\n255=" + std::to_string(id + 255) + "\n";
    Load(ini);
    ASSERT_EQ(CalibrationCount, 3000);
    for (int id = 1; id <= 3000; ++id) {
        const CalibrationTable& t = CalibrationTables[std::size_t(id - 1)];
        ASSERT_EQ(t.Id, id);
        ASSERT_FLOAT_EQ(t.Value(0), float(id));
        ASSERT_FLOAT_EQ(t.Value(100), float(id + 100));
    }
}

// A file of tiny distinct sections, as large as is read: every section is counted, an unusable or
// identity table holds no values, and the tables take a small multiple of the file's size.
TEST_F(CalibrationTest, ManyTinySectionsTakeASmallMultipleOfTheFileSize) {
    std::string ini;
    int sections = 0, usable = 0;
    while (ini.size() < (1u << 20)) {
        const std::string id = std::to_string(sections % 65536 + 1) + "-" + std::to_string(sections / 65536);
        switch (sections++ % 3) {
        case 0: // two points
            ini += "[=" + id + "]\n0=1\n9=2\n";
            ++usable;
            break;
        case 1: // no lines: the identity
            ini += "[=" + id + "]\n";
            break;
        default: // no name that parses
            ini += "[" + std::to_string(sections) + "]\n";
        }
    }
    Load(ini);
    ASSERT_EQ(CalibrationCount, sections);
    EXPECT_EQ(CalibrationPoints.size(), std::size_t(2 * usable));
    const std::size_t bytes = CalibrationTables.capacity() * sizeof(CalibrationTable) +
                              CalibrationPoints.capacity() * sizeof(CalibrationPoint);
    EXPECT_LE(bytes, 4 * ini.size());
    for (int i = 0; i < sections; ++i) {
        const CalibrationTable& t = CalibrationTables[std::size_t(i)];
        ASSERT_EQ(t.Count, i % 3 == 0 ? 2u : 0u) << i;
        ASSERT_EQ(t.Id != 0, i % 3 != 2) << i;
    }
    EXPECT_FLOAT_EQ(CalibrationTables[0].Value(255), 1.0f + 255.0f / 9.0f);
    EXPECT_FLOAT_EQ(CalibrationTables[1].Value(77), 77.0f);
}

TEST(CalibrationSectionTest, NameEndsInEqualsIdHyphenAndDigit) {
    struct {
        const char* Name;
        bool Ok;
        std::int32_t Id, Input;
    } cases[] = {
        {"Tank=12-1", true, 12, 1}, {"=7-2", true, 7, 2},     {"x=abc-3", true, 0, 3},
        {"a=1-2-3", true, 1, 2},    {"Tank=5-", false, 0, 0}, {"Tank-7=2", false, 0, 0},
        {"Tank7-2", false, 0, 0},   {"Tank=72", false, 0, 0},
    };
    for (const auto& c : cases) {
        std::int32_t id = -1, input = -1;
        EXPECT_EQ(ParseCalibrationSection(QString::fromLatin1(c.Name), id, input), c.Ok) << c.Name;
        EXPECT_EQ(id, c.Id) << c.Name;
        EXPECT_EQ(input, c.Input) << c.Name;
    }
}

} // namespace
