#include "protocol/tmgsm.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

TmDate Date(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
    return TmDate{static_cast<uint16_t>(y), static_cast<uint8_t>(mo), static_cast<uint8_t>(d),
                  static_cast<uint8_t>(h),  static_cast<uint8_t>(mi), static_cast<uint8_t>(s)};
}

bool SameDate(const TmDate& a, const TmDate& b) {
    return memcmp(&a, &b, sizeof a) == 0;
}

struct DateCase {
    TmDate date;
    uint32_t secs;
};

TEST(LibraryTime, KnownDatesGiveTheirSeconds) {
    const DateCase cases[] = {
        {Date(2001, 7, 28), 0},
        {Date(2001, 7, 29), 86400},
        {Date(2001, 7, 27), 4294880896u},
        {Date(2001, 7, 28, 23, 59, 59), 86399},
        {Date(2001, 8, 1), 4 * 86400},
        {Date(2002, 1, 1), 157 * 86400},
        {Date(2004, 2, 29, 12), (946 * 86400u) + 12 * 3600},
        {Date(2004, 3, 1), 947 * 86400u},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Tm_DateToSecs(&c.date), c.secs)
            << c.date.year << "-" << int(c.date.month) << "-" << int(c.date.day);
        if (c.date.year == 2001 && c.date.day == 27)
            continue; // before the epoch: wrapped, so it reads back as a date far ahead
        TmDate back{};
        Tm_SecsToDate(c.secs, &back);
        EXPECT_TRUE(SameDate(back, c.date)) << c.secs;
    }
}

TEST(LibraryTime, SecondsToDateInvertsOverManyYears) {
    // Every 7 hours and 13 seconds across the whole 32-bit range crosses every month and leap rule.
    for (uint64_t s = 0; s <= 0xFFFFFFFFu; s += 25213 * 7) {
        TmDate date{};
        Tm_SecsToDate(static_cast<uint32_t>(s), &date);
        ASSERT_GE(date.month, 1);
        ASSERT_LE(date.month, 12);
        ASSERT_GE(date.day, 1);
        ASSERT_EQ(Tm_DateToSecs(&date), static_cast<uint32_t>(s));
    }
}

TmClock fixedNow;
void FixedClock(TmClock* now) {
    *now = fixedNow;
}

class FixedClockTest : public ::testing::Test {
protected:
    void SetUp() override {
        fixedNow = TmClock{Date(2026, 12, 10, 9, 5, 7), 42};
        Tm_SetClockSource(FixedClock);
    }
    void TearDown() override { Tm_SetClockSource(nullptr); }
};

TEST_F(FixedClockTest, NowStampAndMillisecondsReadTheClockSource) {
    TmDate date{};
    uint32_t secs = Tm_Now(&date);
    EXPECT_TRUE(SameDate(date, fixedNow.date));
    EXPECT_EQ(secs, Tm_DateToSecs(&fixedNow.date));
    EXPECT_EQ(Tm_Now(nullptr), secs);

    char stamp[12];
    Tm_Stamp(stamp);
    EXPECT_STREQ(stamp, "[05:07.042]");

    uint32_t msOfDay = 9 * 3600000 + 5 * 60000 + 7 * 1000 + 42;
    EXPECT_EQ(Tm_MsSince(0), msOfDay);
    EXPECT_EQ(Tm_MsSince(msOfDay - 100), 100u);
    EXPECT_EQ(Tm_MsSince(msOfDay + 1), 0xFFFFFFFFu); // unsigned across midnight
}

TEST(LibraryTime, SystemClockIsTodayAfterTheEpoch) {
    TmDate date{};
    Tm_Now(&date);
    EXPECT_GE(date.year, 2026);
}

TEST(MemHelpers, NullAndEmptyAreHarmless) {
    uint8_t a[4] = {1, 2, 3, 4};
    uint8_t b[4] = {1, 2, 3, 4};
    EXPECT_EQ(Mem_Copy(a, nullptr, 4), a);
    EXPECT_EQ(Mem_Copy(a, b, 0), a);
    EXPECT_EQ(Mem_Copy(a, b, 3), a + 3);
    Mem_Set(nullptr, 0, 4);
    Mem_Zero(nullptr, 4);
    EXPECT_EQ(Mem_Equal(a, b, 4), 1);
    EXPECT_EQ(Mem_Equal(a, nullptr, 4), 0);
    Mem_Zero(a, 2);
    EXPECT_EQ(Mem_Equal(a, b, 4), 0);
    EXPECT_EQ(Mem_Equal(a + 2, b + 2, 2), 1);
}

TEST(StrHelpers, LengthsAndCopy) {
    EXPECT_EQ(Str_Len16(nullptr), 0);
    EXPECT_EQ(Str_Len16("abc"), 3);
    EXPECT_EQ(Str_LenMax("abcdef", 4), 4u);
    EXPECT_EQ(Str_LenMax("ab", 4), 2u);
    EXPECT_EQ(Str_LenMax(nullptr, 4), 0u);
    char out[8] = "xxxxxxx";
    EXPECT_EQ(Str_CopyNoNul(out, "abc"), 3u);
    EXPECT_STREQ(out, "abcxxxx");
}

TEST(ByteOrder, FieldsReadAndWriteInTheirOrder) {
    // Distinct bytes, so that any swapped or shifted byte shows; the top bit set catches sign extension.
    const uint8_t bytes[] = {0xF1, 0x82, 0x73, 0x04};
    EXPECT_EQ(Get_U16BE(bytes), 0xF182);
    EXPECT_EQ(Get_U32BE(bytes), 0xF1827304u);
    EXPECT_EQ(Get_U32LE(bytes), 0x047382F1u);

    uint8_t out[6] = {};
    EXPECT_EQ(Put_U16BE(out + 1, 0xF182), out + 3);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 6), (std::vector<uint8_t>{0, 0xF1, 0x82, 0, 0, 0}));
    EXPECT_EQ(Put_U32BE(out + 1, 0xF1827304u), out + 5);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 6), (std::vector<uint8_t>{0, 0xF1, 0x82, 0x73, 0x04, 0}));
    EXPECT_EQ(Put_U32LE(out + 1, 0xF1827304u), out + 5);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 6), (std::vector<uint8_t>{0, 0x04, 0x73, 0x82, 0xF1, 0}));
}

class ByteBufTest : public ::testing::Test {
protected:
    uint8_t storage[8]{};
    ByteBuf buf{storage, 8, 0};
    void Fill(const char* text) {
        buf.length = 0;
        Buf_Append(&buf, reinterpret_cast<const uint8_t*>(text), static_cast<uint16_t>(strlen(text)));
    }
};

TEST_F(ByteBufTest, AppendTakesWhatFits) {
    const uint8_t bytes[] = {1, 2, 3, 4, 5, 6};
    EXPECT_EQ(Buf_Append(&buf, bytes, 0), 0);
    EXPECT_EQ(Buf_Append(&buf, nullptr, 3), 0);
    EXPECT_EQ(Buf_Append(&buf, bytes, 6), 6);
    EXPECT_EQ(Buf_Append(&buf, bytes, 6), 2);
    EXPECT_EQ(Buf_Append(&buf, bytes, 6), 0);
    EXPECT_EQ(buf.length, 8);
    EXPECT_EQ(storage[7], 2);
}

TEST_F(ByteBufTest, ConsumeRemovesFromTheFront) {
    Fill("abcdef");
    EXPECT_EQ(Buf_Consume(&buf, 2), 4);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(storage)), "cdef");
    EXPECT_EQ(Buf_Consume(&buf, 0), 4);
    EXPECT_EQ(Buf_Consume(&buf, 5), 4);
    EXPECT_EQ(Buf_Consume(&buf, 4), 0);
    EXPECT_EQ(storage[0], 0);
}

TEST_F(ByteBufTest, ConsumeOfAFullBufferWritesNoTerminatorPastTheEnd) {
    Fill("abcdefgh");
    EXPECT_EQ(Buf_Consume(&buf, 1), 7);
    EXPECT_EQ(storage[7], 0);
}

TEST_F(ByteBufTest, RemoveInTheMiddleZeroesTheTail) {
    Fill("abcdef");
    uint16_t length = buf.length;
    EXPECT_EQ(Buf_Remove(storage, 8, &length, 1, 2), 2);
    EXPECT_EQ(length, 4);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(storage)), "adef");
    EXPECT_EQ(storage[4] | storage[5] | storage[6] | storage[7], 0);
    EXPECT_EQ(Buf_Remove(storage, 8, &length, 3, 8), 1); // only what there is after the offset
    EXPECT_EQ(length, 3);
    EXPECT_EQ(Buf_Remove(storage, 8, &length, 4, 1), 0); // offset beyond the length
    EXPECT_EQ(Buf_Remove(storage, 8, &length, 0, 0), 0);
    EXPECT_EQ(Buf_Remove(storage, 8, &length, 0, 9), 0); // more than the capacity
    EXPECT_EQ(length, 3);
}

TEST(Hex, EncodeAndDecode) {
    const uint8_t bytes[] = {0x00, 0x0A, 0xFF, 0x5c};
    char out[9] = {};
    EXPECT_EQ(Hex_Encode(out, bytes, 4), out + 8);
    EXPECT_STREQ(out, "000AFF5C");

    uint8_t buf[8] = {0xAB, 0x01, 0x7F};
    EXPECT_EQ(Hex_EncodeInPlace(buf, 3, 5), 0u);
    EXPECT_EQ(Hex_EncodeInPlace(buf, 3, 6), 6u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 6), "AB017F");
    EXPECT_EQ(Hex_DecodeInPlace(buf, 6), 3);
    EXPECT_EQ(buf[0], 0xAB);
    EXPECT_EQ(buf[2], 0x7F);
}

TEST(Hex, DecodeStopsAtANonDigitOrAnOddTail) {
    struct Case {
        const char* text;
        std::vector<uint8_t> bytes;
    } cases[] = {
        {"0aF", {0x0A}}, {"ab12zz34", {0xAB, 0x12}}, {"g0", {}}, {"", {}}, {"fFeE", {0xFF, 0xEE}},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> buf(c.text, c.text + strlen(c.text));
        uint8_t n = Hex_DecodeInPlace(buf.data(), buf.size());
        buf.resize(n);
        EXPECT_EQ(buf, c.bytes) << c.text;
    }
}

TEST(Hex, DecodeCountNeverWraps) {
    std::vector<uint8_t> buf(600, '1');
    EXPECT_EQ(Hex_DecodeInPlace(buf.data(), buf.size()), 255);
}

TEST(Txt64, PartExampleAndRejections) {
    uint8_t buf[8] = {0x00, 0x10, 0x83};
    EXPECT_EQ(Txt64_Encode(buf, 3, 8), 4u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 4), "0123");
    EXPECT_EQ(Txt64_Decode(buf, 4), 3);
    EXPECT_EQ(buf[0], 0x00);
    EXPECT_EQ(buf[1], 0x10);
    EXPECT_EQ(buf[2], 0x83);

    uint8_t bad[] = {'0', '1', '2', '#'};
    EXPECT_EQ(Txt64_Decode(bad, 4), 0);
    EXPECT_EQ(Txt64_Encode(buf, 3, 3), 0u);
    EXPECT_EQ(Txt64_Encode(buf, 0, 8), 0u);
    std::vector<uint8_t> big(300);
    EXPECT_EQ(Txt64_Encode(big.data(), 151, big.size()), 0u);
    EXPECT_EQ(Txt64_Encode(big.data(), 150, big.size()), 200u);
}

TEST(Txt64, RoundTripsEveryWholeGroupLength) {
    for (size_t n = 3; n <= 150; n += 3) {
        std::vector<uint8_t> data(n), buf(n / 3 * 4);
        for (size_t i = 0; i < n; ++i)
            data[i] = static_cast<uint8_t>(i * 37 + n);
        std::copy(data.begin(), data.end(), buf.begin());
        ASSERT_EQ(Txt64_Encode(buf.data(), n, buf.size()), buf.size());
        for (uint8_t c : buf)
            ASSERT_NE(strchr(Txt64_Alphabet, c), nullptr);
        ASSERT_EQ(Txt64_Decode(buf.data(), buf.size()), n);
        buf.resize(n);
        EXPECT_EQ(buf, data) << n;
    }
}

TEST(Txt64, DecodeDropsTheBadGroupAndTheRest) {
    uint8_t text[] = "0123012$0123";
    EXPECT_EQ(Txt64_Decode(text, 12), 3);
    uint8_t tail[] = "012301";
    EXPECT_EQ(Txt64_Decode(tail, 6), 3); // fewer than 4 characters left
}

} // namespace
