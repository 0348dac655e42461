#include "protocol/tmgsm.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

void SealHeader(Bytes& image) {
    Put_U32LE(image.data() + 20, Crc32(image.data(), 20));
}

const TmDate buildDate = {2023, 5, 17, 14, 9, 41};

// A valid image of count data blocks, built the way the modem maker builds one.
Bytes MakeImage(uint32_t count, uint32_t version = 0xFFFE1203) {
    Bytes image((count + 1) * UPD_BLOCK_SIZE);
    for (size_t i = UPD_BLOCK_SIZE; i < image.size(); ++i)
        image[i] = uint8_t(i * 31 + i / 128);
    Put_U32LE(image.data(), count);
    Md5_Digest(image.data() + UPD_BLOCK_SIZE, count * UPD_BLOCK_SIZE, image.data() + 4);
    Put_U32LE(image.data() + 24, version);
    Put_U32LE(image.data() + 28, Tm_DateToSecs(&buildDate));
    for (int i = 32; i < UPD_BLOCK_SIZE; ++i)
        image[i] = 0xA5; // not read
    SealHeader(image);
    return image;
}

int Check(const Bytes& image, std::string* text = nullptr, uint8_t* kind = nullptr) {
    char area[UPD_TEXT_SIZE];
    memset(area, '#', sizeof area);
    int valid = UpdImg_Check(image.data(), uint32_t(image.size()), area, kind);
    if (text)
        *text = std::string(area, area + UPD_TEXT_SIZE);
    return valid;
}

std::string Padded(const std::string& text) {
    std::string area(UPD_TEXT_SIZE, '\0');
    area.replace(0, text.size(), text);
    return area;
}

TEST(FirmwareImage, ValidImageGivesItsKindAndVersionText) {
    std::string text;
    uint8_t kind = 9;
    EXPECT_EQ(Check(MakeImage(3), &text, &kind), 1);
    EXPECT_EQ(kind, 2);
    EXPECT_EQ(text, Padded("m01.02 p00.03 (17/05/2023 14:09)"));
    EXPECT_EQ(UpdImg_Check(MakeImage(3).data(), 4 * UPD_BLOCK_SIZE, nullptr, nullptr), 1);
}

TEST(FirmwareImage, VersionWordKinds) {
    struct {
        uint32_t word;
        uint8_t kind;
        const char* digits;
    } cases[] = {
        {0xFFFF2107, 1, "m02.01 p00.07"},   {0xFFFE1203, 2, "m01.02 p00.03"},
        {0xFFFD3456, 3, "m03.04 p05.06"},   {0xFFFC0001, 4, "m00.00 p00.01"},
        {0xFFFB1234, 0, "m255.251 p18.52"}, {0x1402030A, 0, "m20.02 p03.10"},
    };
    for (const auto& c : cases) {
        std::string text;
        uint8_t kind = 9;
        EXPECT_EQ(Check(MakeImage(1, c.word), &text, &kind), 1) << std::hex << c.word;
        EXPECT_EQ(kind, c.kind) << std::hex << c.word;
        EXPECT_EQ(text, Padded(std::string(c.digits) + " (17/05/2023 14:09)")) << std::hex << c.word;
    }
}

// Each damaged variant is invalid; those that still hold a version word report it.
TEST(FirmwareImage, DamagedVariantsAreInvalid) {
    const std::string version = Padded("m01.02 p00.03 (17/05/2023 14:09)");
    const std::string none = Padded("");
    struct Variant {
        const char* name;
        void (*damage)(Bytes&);
        const std::string& text;
        uint8_t kind;
    } variants[] = {
        {"HeaderCrc", [](Bytes& im) { im[20] ^= 1; }, version, 2},
        {"CountZero",
         [](Bytes& im) {
             Put_U32LE(im.data(), 0);
             SealHeader(im);
         },
         version, 2},
        {"CountBeyondTheBuffer",
         [](Bytes& im) {
             Put_U32LE(im.data(), 4);
             SealHeader(im);
         },
         version, 2},
        {"CountHuge",
         [](Bytes& im) {
             Put_U32LE(im.data(), 0xFFFFFFFF);
             SealHeader(im);
         },
         version, 2},
        {"LastBlockMissing", [](Bytes& im) { im.resize(im.size() - UPD_BLOCK_SIZE); }, version, 2},
        {"ShortFile", [](Bytes& im) { im.resize(im.size() - 1); }, version, 2},
        {"OnlyTheHeader", [](Bytes& im) { im.resize(UPD_BLOCK_SIZE); }, version, 2},
        {"HalfAHeader", [](Bytes& im) { im.resize(64); }, version, 2},
        {"NoVersionWord", [](Bytes& im) { im.resize(31); }, none, 0},
        {"Empty", [](Bytes& im) { im.clear(); }, none, 0},
        {"DataDamaged", [](Bytes& im) { im[3 * UPD_BLOCK_SIZE + 17] ^= 0x80; }, version, 2},
        {"DataMd5Wrong",
         [](Bytes& im) {
             im[10] ^= 0x40;
             SealHeader(im);
         },
         version, 2},
    };
    for (const auto& v : variants) {
        Bytes image = MakeImage(3);
        v.damage(image);
        // An exact-size copy, so that the sanitizer sees any read past its end.
        Bytes exact(image);
        std::string text;
        uint8_t kind = 9;
        EXPECT_EQ(Check(exact, &text, &kind), 0) << v.name;
        EXPECT_EQ(kind, v.kind) << v.name;
        EXPECT_EQ(text, v.text) << v.name;
    }
}

TEST(FirmwareImage, BytesAfterTheCountedBlocksAreNotPartOfIt) {
    Bytes image = MakeImage(3);
    image.resize(image.size() + UPD_BLOCK_SIZE, 0x77);
    EXPECT_EQ(Check(image), 1);
}

TEST(FirmwareImage, NullImageIsInvalidAndClearsTheOutputs) {
    char text[UPD_TEXT_SIZE];
    memset(text, '#', sizeof text);
    uint8_t kind = 9;
    EXPECT_EQ(UpdImg_Check(nullptr, 4096, text, &kind), 0);
    EXPECT_EQ(kind, 0);
    EXPECT_EQ(std::string(text, sizeof text), Padded(""));
}

// The GetUpdCtx answer a modem gives when it holds the first held blocks of image.
Bytes UpdCtxAnswer(const Bytes& image, uint16_t held) {
    Bytes answer(UPD_CTX_ANSWER_SIZE);
    uint32_t count = image[0] | image[1] << 8;
    Put_U16BE(answer.data(), held);
    Put_U16BE(answer.data() + 2, uint16_t(count));
    memcpy(answer.data() + 4, image.data() + 4, 16);
    if (held > 1 && held - 1u <= count) {
        uint32_t bytes = (held - 1u) * UPD_BLOCK_SIZE;
        if (held - 1u == count)
            Md5_Digest(image.data() + UPD_BLOCK_SIZE, bytes, answer.data() + 20);
        else
            Md5_RawState(image.data() + UPD_BLOCK_SIZE, bytes, answer.data() + 20);
    }
    return answer;
}

class UpdateTest : public testing::Test {
protected:
    void Use(const Bytes& im) {
        image = im;
        upd = UpdCtx{image.data(), uint32_t(image.size()), 0, 0, 0};
    }
    void Answer(const Bytes& answer) {
        EXPECT_EQ(HCP_UpdCtx(answer.data(), uint32_t(answer.size()), &upd),
                  answer.data() + UPD_CTX_ANSWER_SIZE);
    }
    // One SetUpdBlk item into an empty IP block.
    uint32_t Put(uint32_t space = 1008) {
        item.assign(space, 0);
        uint32_t n = Upd_PutBlocks(&upd, item.data(), space);
        item.resize(n);
        return n;
    }
    bool ItemCarries(uint32_t first, uint32_t k) {
        return item.size() == 2 + k * UPD_BLOCK_SIZE &&
               memcmp(item.data() + 2, image.data() + first * UPD_BLOCK_SIZE, k * UPD_BLOCK_SIZE) == 0;
    }
    Bytes image, item;
    UpdCtx upd{};
};

TEST_F(UpdateTest, ShortAnswerIsNotParsed) {
    Use(MakeImage(20));
    Bytes answer = UpdCtxAnswer(image, 5);
    answer.resize(35);
    EXPECT_EQ(HCP_UpdCtx(answer.data(), 35, &upd), nullptr);
    EXPECT_EQ(upd.Flags, 0);
    EXPECT_EQ(upd.NextBlock, 0u);
}

TEST_F(UpdateTest, TwentyBlocksGoOutInThreeFrames) {
    Use(MakeImage(20));
    Answer(UpdCtxAnswer(image, 0));
    EXPECT_EQ(upd.Flags, UPD_CTX_KNOWN);
    EXPECT_EQ(upd.NextBlock, 0u);

    const struct {
        uint8_t b;
        uint32_t first;
        uint8_t percent;
    } frames[] = {{0x86, 0, 33}, {0x06, 7, 66}, {0x06, 14, 100}};
    for (const auto& f : frames) {
        ASSERT_EQ(Put(), 2u + 7 * UPD_BLOCK_SIZE) << f.first;
        EXPECT_EQ(item[0], CMD_SET_UPD_BLK);
        EXPECT_EQ(item[1], f.b) << f.first;
        EXPECT_TRUE(ItemCarries(f.first, 7)) << f.first;
        EXPECT_EQ(upd.Percent, f.percent) << f.first;
    }
    EXPECT_EQ(upd.Flags & (UPD_COMPLETE | UPD_CTX_KNOWN), UPD_COMPLETE);
    EXPECT_EQ(upd.NextBlock, 21u);
    EXPECT_EQ(Put(), 0u) << "no context known any more";
}

TEST_F(UpdateTest, ModemHoldingEverythingOnlyCompletes) {
    Use(MakeImage(20));
    Answer(UpdCtxAnswer(image, 21));
    EXPECT_EQ(upd.Percent, 100);
    EXPECT_EQ(upd.NextBlock, 21u);
    EXPECT_EQ(Put(), 0u);
    EXPECT_EQ(upd.Flags & (UPD_COMPLETE | UPD_CTX_KNOWN), UPD_COMPLETE);
}

TEST_F(UpdateTest, PartialImageResumesAfterTheUnfinishedHash) {
    Use(MakeImage(20));
    Answer(UpdCtxAnswer(image, 11)); // the header and 10 data blocks: the raw MD5 state over 1280 bytes
    EXPECT_EQ(upd.Flags, UPD_CTX_KNOWN);
    EXPECT_EQ(upd.NextBlock, 11u);
    EXPECT_EQ(upd.Percent, 11 * 100 / 21);
    ASSERT_GT(Put(), 0u);
    EXPECT_EQ(item[1], 0x06);
    EXPECT_TRUE(ItemCarries(11, 7));
}

TEST_F(UpdateTest, OnlyTheHeaderHeld) {
    Use(MakeImage(20));
    Answer(UpdCtxAnswer(image, 1));
    EXPECT_EQ(upd.Flags, UPD_CTX_KNOWN);
    EXPECT_EQ(upd.NextBlock, 1u);
    EXPECT_EQ(upd.Percent, 0);
}

TEST_F(UpdateTest, AnotherImageOnTheModemRestartsAtBlockZero) {
    struct {
        const char* name;
        void (*alter)(Bytes&);
    } cases[] = {
        {"HeldHashDiffers", [](Bytes& a) { a[25] ^= 1; }},
        {"CountDiffers", [](Bytes& a) { Put_U16BE(a.data() + 2, 19); }},
        {"DataMd5Differs", [](Bytes& a) { a[4] ^= 1; }},
        {"HeldOnlyHeaderOfAnotherImage",
         [](Bytes& a) {
             Put_U16BE(a.data(), 1);
             a[19] ^= 1;
         }},
        // More blocks than the image has: never hashed past the image's end.
        {"HeldBeyondTheImage", [](Bytes& a) { Put_U16BE(a.data(), 22); }},
        {"HeldAll", [](Bytes& a) { Put_U16BE(a.data(), 0xFFFF); }},
    };
    for (const auto& c : cases) {
        Use(MakeImage(20));
        Bytes answer = UpdCtxAnswer(image, 11);
        c.alter(answer);
        upd.NextBlock = 5;
        Answer(answer);
        EXPECT_EQ(upd.Flags, UPD_CTX_KNOWN | UPD_RESTART) << c.name;
        EXPECT_EQ(upd.NextBlock, 0u) << c.name;
        EXPECT_EQ(upd.Percent, 0) << c.name;
        ASSERT_GT(Put(), 0u) << c.name;
        EXPECT_EQ(item[1], 0x86) << c.name;
        EXPECT_TRUE(ItemCarries(0, 7)) << c.name;
        EXPECT_EQ(upd.Flags & UPD_RESTART, 0) << c.name;
    }
}

TEST_F(UpdateTest, InvalidImageIsMarkedAndNothingIsSent) {
    for (bool noImage : {false, true}) {
        Bytes bad = MakeImage(20);
        bad[20] ^= 1;
        Use(bad);
        if (noImage)
            upd.Image = nullptr;
        upd.Flags = UPD_RESTART;
        upd.NextBlock = 9;
        Answer(UpdCtxAnswer(MakeImage(20), 11));
        EXPECT_EQ(upd.Flags, UPD_INVALID) << noImage;
        EXPECT_EQ(upd.NextBlock, 0u) << noImage;
        upd.Flags |= UPD_CTX_KNOWN;
        EXPECT_EQ(Put(), 0u) << noImage;
        EXPECT_EQ(upd.Flags, UPD_INVALID) << noImage;
    }
}

TEST_F(UpdateTest, ImageSizeShorterThanItsCountIsInvalid) {
    Use(MakeImage(20));
    upd.ImageSize -= UPD_BLOCK_SIZE;
    Answer(UpdCtxAnswer(image, 21));
    EXPECT_EQ(upd.Flags, UPD_INVALID);
}

TEST_F(UpdateTest, SpaceDecidesTheBlockCount) {
    Use(MakeImage(300));
    Answer(UpdCtxAnswer(image, 0));
    struct {
        uint32_t space, blocks;
    } cases[] = {{129, 0}, {130, 1}, {257, 1}, {258, 2}, {1008, 7}, {100000, 128}};
    for (const auto& c : cases) {
        upd.NextBlock = 0;
        upd.Flags = UPD_CTX_KNOWN;
        EXPECT_EQ(Put(c.space), c.blocks ? 2 + c.blocks * UPD_BLOCK_SIZE : 0) << c.space;
        if (c.blocks) {
            EXPECT_EQ(item[1], 0x80 | (c.blocks - 1)) << c.space;
            EXPECT_EQ(upd.NextBlock, c.blocks) << c.space;
        }
    }
}

TEST_F(UpdateTest, BuilderItemTakesTheSpaceLeftInTheBlockAndMovesOn) {
    Use(MakeImage(20));
    Answer(UpdCtxAnswer(image, 0));
    uint8_t block[CMD_IP_ITEMS_MAX + 4] = {};
    struct {
        uint8_t mode;
        size_t used, blocks;
    } cases[] = {{CMD_MODE_IP, 0, 7},
                 {CMD_MODE_IP, CMD_IP_ITEMS_MAX - 258, 2},
                 {CMD_MODE_IP, 879, 0},
                 {CMD_MODE_SMS, 0, 0}};
    for (const auto& c : cases) {
        upd.NextBlock = 0;
        upd.Flags = UPD_CTX_KNOWN;
        uint8_t* pos = block + c.used;
        EXPECT_EQ(HCC_UpdBlk(0, block, &pos, &upd, c.mode), c.blocks ? 1 : 0) << c.used;
        EXPECT_EQ(pos, block + c.used + (c.blocks ? 2 + c.blocks * UPD_BLOCK_SIZE : 0)) << c.used;
        EXPECT_EQ(upd.NextBlock, c.blocks) << c.used;
    }
}

TEST_F(UpdateTest, NothingWithoutAKnownContext) {
    Use(MakeImage(20));
    upd.Flags = UPD_COMPLETE;
    EXPECT_EQ(Put(), 0u);
    EXPECT_EQ(upd.Flags, 0) << "completion is cleared first";
}

TEST_F(UpdateTest, LastItemTakesOnlyTheBlocksLeft) {
    Use(MakeImage(9));
    Answer(UpdCtxAnswer(image, 7));
    ASSERT_EQ(Put(), 2u + 3 * UPD_BLOCK_SIZE);
    EXPECT_EQ(item[1], 0x02);
    EXPECT_TRUE(ItemCarries(7, 3));
    EXPECT_EQ(upd.Percent, 100);
    EXPECT_TRUE(upd.Flags & UPD_COMPLETE);
}

// Outside bytes: damaged images of exact size and random update context answers.
TEST(FirmwareDamage, RandomDamageNeverReadsPastTheBuffers) {
    std::mt19937 random(2024);
    const Bytes good = MakeImage(12);
    for (int i = 0; i < 2000; ++i) {
        Bytes image = good;
        int flips = int(random() % 4);
        for (int f = 0; f < flips; ++f)
            image[random() % (i % 2 ? 32 : image.size())] ^= uint8_t(1 + random() % 255);
        if (random() % 3 == 0)
            Put_U32LE(image.data(), random() % 40); // a count that may claim more than there is
        if (random() % 2)
            SealHeader(image);
        if (random() % 3 == 0)
            image.resize(random() % (image.size() + 1));
        Bytes exact(image);
        char text[UPD_TEXT_SIZE];
        uint8_t kind;
        int valid = UpdImg_Check(exact.empty() ? nullptr : exact.data(), uint32_t(exact.size()), text, &kind);
        EXPECT_LE(kind, 4);
        EXPECT_EQ(text[UPD_TEXT_SIZE - 1], '\0');
        if (exact == good) {
            EXPECT_EQ(valid, 1);
        }

        UpdCtx upd{exact.empty() ? nullptr : exact.data(), uint32_t(exact.size()), 0, 0, 0};
        Bytes answer = UpdCtxAnswer(good, uint16_t(random() % 16));
        for (int f = 0; f < 3; ++f)
            answer[random() % answer.size()] ^= uint8_t(random());
        uint32_t avail = uint32_t(random() % 40);
        answer.resize(std::min<size_t>(answer.size(), avail));
        HCP_UpdCtx(answer.data(), uint32_t(answer.size()), &upd);
        Bytes out(1008);
        for (int round = 0; round < 30 && Upd_PutBlocks(&upd, out.data(), uint32_t(out.size())) > 0; ++round)
            EXPECT_LE(upd.Percent, 100);
    }
}

} // namespace
