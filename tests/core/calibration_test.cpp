#include "core/Calibration.h"

#include <gtest/gtest.h>

#include "core/DataFolder.h"
#include "tests/core/TempFolder.h"

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
        if (table.Values[x] != float(x))
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
    EXPECT_FLOAT_EQ(t.Values[0], -1.0f);
    EXPECT_FLOAT_EQ(t.Values[10], 1.0f);
    EXPECT_FLOAT_EQ(t.Values[15], 2.0f);
    EXPECT_FLOAT_EQ(t.Values[20], 3.0f);
    EXPECT_FLOAT_EQ(t.Values[255], 50.0f);
}

TEST_F(CalibrationTest, ThreePointsUseTheSlopeOfEachPair) {
    Load("[A=3-4]\n0=0\n100=100\n200=0\n");
    const CalibrationTable& t = CalibrationTables.at(0);
    EXPECT_FLOAT_EQ(t.Values[50], 50.0f);
    EXPECT_FLOAT_EQ(t.Values[150], 50.0f);
    EXPECT_FLOAT_EQ(t.Values[255], -55.0f);
}

TEST_F(CalibrationTest, CommaAndDotAreBothDecimalSeparatorsAndNoNumberMeansX) {
    Load("[A=1-1]\n0=1,5\n255=1.5\n[A=1-2]\n10=abc\n20=5\n");
    EXPECT_FLOAT_EQ(CalibrationTables.at(0).Values[0], 1.5f);
    EXPECT_FLOAT_EQ(CalibrationTables.at(0).Values[255], 1.5f);
    EXPECT_FLOAT_EQ(CalibrationTables.at(1).Values[10], 10.0f);
}

TEST_F(CalibrationTest, FreeingEmptiesTheTables) {
    Load("[A=1-1]\n");
    FreeCalibrationTables();
    EXPECT_EQ(CalibrationCount, 0);
    EXPECT_TRUE(CalibrationTables.empty());
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
