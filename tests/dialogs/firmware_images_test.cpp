// The image table without a form: loading and checking an image file, the hardware groups, the image
// a modem's version selects, the lines of the update list.
#include <gtest/gtest.h>

#include <filesystem>

#include "dialogs/FirmwareImages.h"
#include "platform/Cp1251.h"
#include "protocol/tmgsm.h"
#include "tests/core/TempFolder.h"
#include "tests/dialogs/FirmwareFile.h"
#include "tests/platform/TestSupport.h"

namespace {

struct TLoadCase {
    const char* name;
    std::vector<uint8_t> bytes; // empty with noFile: nothing is written
    bool noFile;
    int result;
    TSWVersion version;
};

std::vector<uint8_t> Damaged(std::vector<uint8_t> image, size_t at) {
    image[at] ^= 0x40;
    return image;
}

TEST(PrepareSW, LoadsOnlyValidImagesOfTheKindThisSystemUpdates) {
    const std::vector<uint8_t> good = MakeFirmwareImage(3, 0xFFFE1603);
    std::vector<uint8_t> longCount = good;
    Put_U32LE(longCount.data(), 9); // claims more blocks than the file holds
    Put_U32LE(longCount.data() + 20, Crc32(longCount.data(), 20));
    const TLoadCase cases[] = {
        {"valid.prg", good, false, prLoaded, {1, 6, 0, 3}},
        {"missing.prg", {}, true, prNoFile, {}},
        {"empty.prg", {}, false, prInvalid, {}},
        {"thousand.prg", std::vector<uint8_t>(1000, 0x11), false, prInvalid, {}},
        {"badcrc.prg", Damaged(good, 21), false, prInvalid, {}},
        {"baddata.prg", Damaged(good, 300), false, prInvalid, {}},
        {"longcount.prg", longCount, false, prInvalid, {}},
        {"kind0.prg", MakeFirmwareImage(2, 0x01060003), false, prUnsupported, {}},
        {"kind1.prg", MakeFirmwareImage(2, 0xFFFF1603), false, prUnsupported, {}},
    };
    TTempFolder folder;
    for (const TLoadCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path =
            c.noFile ? folder.Path() + c.name : WriteFirmwareFile(folder.Path(), c.name, c.bytes);
        std::vector<uint8_t> image(5, 0xEE);
        TSWVersion version{9, 9, 9, 9};
        EXPECT_EQ(PrepareSW(path, image, version), c.result);
        EXPECT_EQ(version, c.version);
        EXPECT_EQ(image, c.result == prLoaded ? c.bytes : std::vector<uint8_t>());
    }
    std::vector<uint8_t> image;
    TSWVersion version{};
    EXPECT_EQ(PrepareSW("", image, version), prNoFile);
    EXPECT_NE(PrepareSW(folder.Path(), image, version), prLoaded); // a folder
    EXPECT_TRUE(image.empty());
}

// A pipe or a device is never waited on or read: there is no file to open. A file larger than a modem
// holds is not read: it is no valid image.
TEST(PrepareSW, OnlyARegularFileOfAtMostAnImagesSizeIsRead) {
    TTempFolder folder;
    const TFifoWatch fifo(folder.Path() + "pipe.prg");
    ASSERT_TRUE(fifo.Made());
    const std::string path = folder.Path() + "odd.prg";
    for (const TOddFile& odd : OddFiles(path, "pipe.prg", uint64_t(MaxImageBlocks) * UPD_BLOCK_SIZE)) {
        SCOPED_TRACE(odd.Name);
        odd.Make();
        std::vector<uint8_t> image(5, 0xEE);
        TSWVersion version{9, 9, 9, 9};
        EXPECT_EQ(PrepareSW(path, image, version),
                  std::string(odd.Name) == "over the cap" ? prInvalid : prNoFile);
        EXPECT_TRUE(image.empty());
        EXPECT_EQ(version, TSWVersion{});
        std::filesystem::remove(path);
    }
    EXPECT_FALSE(fifo.Released()) << "the open waited for a writer";
}

TEST(PrepareSW, FileNamesAreWindows1251) {
    TTempFolder folder;
    const std::string path =
        WriteFirmwareFile(folder.Path(), "прошивка.prg", MakeFirmwareImage(1, 0xFFFE2100));
    std::vector<uint8_t> image;
    TSWVersion version{};
    EXPECT_EQ(PrepareSW(ToCp1251(QString::fromStdString(path)), image, version), prLoaded);
    EXPECT_EQ(version, (TSWVersion{2, 1, 0, 0}));
}

TEST(HardwareGroup, IsTheSignedTensDigitOfTheFirstByte) {
    const struct {
        uint8_t first;
        int group;
        const char* model;
    } cases[] = {{0, 0, "Tirmal"}, {9, 0, "Tirmal"},    {10, 1, "?????"},    {25, 2, "?????"},
                 {29, 2, "?????"}, {0xFB, 0, "Tirmal"}, {0xF6, -1, "?????"}, {0x80, -12, "?????"}};
    for (const auto& c : cases) {
        EXPECT_EQ(HardwareGroup(c.first), c.group) << int(c.first);
        EXPECT_STREQ(ModelName(c.first), c.model) << int(c.first);
    }
}

class FindFirmwareIndexTest : public ::testing::Test {
protected:
    FindFirmwareIndexTest() {
        AppSettings = &settings;
        // Entry 1 failed to load; entry 3 lies beyond the count.
        const TSWVersion versions[] = {{25, 1, 0, 0}, {}, {5, 2, 0, 0}, {30, 1, 0, 0}};
        for (size_t i = 0; i < 4; ++i) {
            SWVersions[i] = versions[i];
            SWImages[i] = versions[i] == TSWVersion{} ? std::vector<uint8_t>() : std::vector<uint8_t>(128, 1);
        }
        settings.SWFileCount = 3;
    }
    ~FindFirmwareIndexTest() override {
        FreeSWImages();
        AppSettings = nullptr;
    }
    TSettings settings;
};

TEST_F(FindFirmwareIndexTest, FirstLoadedImageOfTheGroup) {
    const struct {
        uint8_t first;
        int index;
    } cases[] = {{25, 0}, {29, 0}, {20, 0}, {19, -1}, {5, 2}, {0, 2}, {0xFB, 2}, {30, -1}, {0xF6, -1}};
    for (const auto& c : cases)
        EXPECT_EQ(FindFirmwareIndex(c.first), c.index) << int(c.first);
    settings.SWFileCount = 0;
    EXPECT_EQ(FindFirmwareIndex(25), -1);
}

TEST(MakeObjStr, LinesOfTheUpdateList) {
    const struct {
        int32_t number;
        std::string name;
        int32_t state;
        TSWVersion version;
        std::string line;
    } cases[] = {
        {5, "Pump", -1, {1, 5, 0, 2}, "        5  Pump           Tirmal    01.05 00.02"},
        {5, "Pump", 45, {1, 5, 0, 2}, "        5  Pump           Tirmal    01.05 00.02   45%"},
        {12345, "", 0, {}, "    12345                           ---            0%"},
        {7,
         "A name of twenty chars",
         100,
         {112, 3, 4, 5},
         "        7  A name of twen ?????     12.03 04.05  100%"},
        {-1, "x", -1, {0xF6, 255, 0, 0}, "       -1  x              ?????     46.255 00.00"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(MakeObjStr(c.number, c.name, c.state, c.version), c.line) << c.name;
}

} // namespace
