#include <gtest/gtest.h>
#include <iconv.h>

#include "platform/Cp1251.h"

namespace {

// The C library's own table of the code page, as an independent reference.
QString ByIconv(unsigned char byte) {
    iconv_t cd = iconv_open("UTF-16LE", "CP1251");
    if (cd == iconv_t(-1))
        return QString();
    char in[1] = {char(byte)};
    char16_t out[2] = {};
    char* inPtr = in;
    char* outPtr = reinterpret_cast<char*>(out);
    size_t inLeft = 1, outLeft = sizeof out;
    const size_t done = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
    iconv_close(cd);
    return done == size_t(-1) ? QString() : QString(QChar(out[0]));
}

TEST(Cp1251, EveryByteRoundTrips) {
    std::string all;
    for (int b = 0; b < 256; ++b)
        all += char(b);
    const QString text = FromCp1251(all);
    ASSERT_EQ(text.size(), 256);
    EXPECT_TRUE(IsCp1251(text));
    EXPECT_EQ(ToCp1251(text), all);
}

TEST(Cp1251, AgreesWithTheSystemTable) {
    for (int b = 0; b < 256; ++b) {
        if (b == 0x98)
            continue; // unassigned in the code page; we keep it as U+0098
        const QString expected = ByIconv(static_cast<unsigned char>(b));
        ASSERT_FALSE(expected.isEmpty()) << "iconv has no CP1251 table";
        EXPECT_EQ(FromCp1251(std::string(1, char(b))), expected) << "byte 0x" << std::hex << b;
    }
    EXPECT_EQ(FromCp1251("\x98").at(0).unicode(), 0x98);
}

TEST(Cp1251, ConvertsTheOperatorsTexts) {
    const QString text = QStringLiteral("Маршрутизатор №1 «ЁЖ»");
    const std::string bytes = "\xCC\xE0\xF0\xF8\xF0\xF3\xF2\xE8\xE7\xE0\xF2\xEE\xF0 \xB9"
                              "1 \xAB\xA8\xC6\xBB";
    EXPECT_EQ(ToCp1251(text), bytes);
    EXPECT_EQ(FromCp1251(bytes), text);
}

TEST(Cp1251, TellsWhatItCannotHold) {
    struct Case {
        QString text;
        bool holds;
        std::string bytes;
    };
    const Case cases[] = {
        {QStringLiteral("TCP-порт"), true, "TCP-\xEF\xEE\xF0\xF2"},
        {QStringLiteral("€ ™ —"), true, "\x88 \x99 \x97"},
        {QStringLiteral("Grüße"), false, "Gr??e"},
        {QStringLiteral("中"), false, "?"},
        {QString(), true, ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IsCp1251(c.text), c.holds) << c.text.toStdString();
        EXPECT_EQ(ToCp1251(c.text), c.bytes) << c.text.toStdString();
    }
}

} // namespace
