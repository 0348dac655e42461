// The pieces of the sessions' log lines: the object of a line and hexadecimal numbers.
#include <gtest/gtest.h>

#include "sessions/SessionLog.h"

namespace {

TEST(SessionLogText, ObjectOfALine) {
    const std::pair<int, const char*> cases[] = {
        {0, " (object №0)"}, {7, " (object №7)"}, {65535, " (object №65535)"}, {-1, " (object №-1)"}};
    for (const auto& [number, text] : cases)
        EXPECT_EQ(ObjectText(number).toStdString(), text) << number;
}

TEST(SessionLogText, UpperCaseHexPaddedToItsWidth) {
    struct Case {
        std::uint32_t value;
        int width;
        const char* text;
    };
    const Case cases[] = {
        {0, 8, "00000000"},
        {0x420, 8, "00000420"},
        {0xABCDEF12, 8, "ABCDEF12"},
        {0xFFFFFFFF, 8, "FFFFFFFF"},
        {0x1F, 4, "001F"},
        {0x12345, 4, "12345"},
        {0, 0, "0"},
        {0xA, 1, "A"},
        {0xBEEF, 2, "BEEF"},
        {0x10, 10, "0000000010"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Hex(c.value, c.width).toStdString(), c.text) << c.value << " " << c.width;
}

} // namespace
