#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include "platform/Cp1251.h"
#include "platform/IniFile.h"

namespace {

QString WriteFile(const QTemporaryDir& dir, const std::string& bytes) {
    const QString path = dir.path() + QStringLiteral("/Calibrate.ini");
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    file.write(bytes.data(), qint64(bytes.size()));
    return path;
}

TEST(IniFile, ReadsSectionsWithEqualsAndHyphensInTheirNames) {
    QTemporaryDir dir;
    const std::string text = "; calibration\r\n"
                             "stray=line before any section\r\n"
                             "[Tank=12-1]\r\n"
                             " 10 = 1,5 \r\n"
                             "20=3.0\r\n"
                             "\r\n"
                             "no equals here\r\n"
                             "[" +
                             ToCp1251(QStringLiteral("Бак=7-2")) +
                             "]\n"
                             "100=5\n"
                             "[tank=12-1]\n"
                             "10=2\n";
    const TIniFile ini(WriteFile(dir, text));
    EXPECT_EQ(ini.ReadSections(), (QStringList{QStringLiteral("Tank=12-1"), QStringLiteral("Бак=7-2")}));
    EXPECT_EQ(ini.ReadSectionValues(QStringLiteral("Tank=12-1")),
              (QStringList{QStringLiteral("10=1,5"), QStringLiteral("20=3.0"),
                           QStringLiteral("no equals here"), QStringLiteral("10=2")}));
    EXPECT_EQ(ini.ReadSectionValues(QStringLiteral("БАК=7-2")), QStringList{QStringLiteral("100=5")});
    EXPECT_EQ(ini.ReadString(QStringLiteral("Tank=12-1"), QStringLiteral("20"), QString()),
              QStringLiteral("3.0"));
    EXPECT_EQ(ini.ReadString(QStringLiteral("Tank=12-1"), QStringLiteral("30"), QStringLiteral("-")),
              QStringLiteral("-"));
    EXPECT_TRUE(ini.SectionExists(QStringLiteral("TANK=12-1")));
    EXPECT_FALSE(ini.SectionExists(QStringLiteral("stray")));
}

TEST(IniFile, AMissingFileHasNoSections) {
    const TIniFile ini(QStringLiteral("/nonexistent/Calibrate.ini"));
    EXPECT_TRUE(ini.ReadSections().isEmpty());
    EXPECT_TRUE(ini.ReadSectionValues(QStringLiteral("x")).isEmpty());
}

TEST(IniFile, ASectionWithoutLinesStillCounts) {
    QTemporaryDir dir;
    const TIniFile ini(WriteFile(dir, "[Tank=7-2]\n[Tank-7=2]\n[unclosed\nx=1\n"));
    EXPECT_EQ(ini.ReadSections(), (QStringList{QStringLiteral("Tank=7-2"), QStringLiteral("Tank-7=2"),
                                               QStringLiteral("unclosed")}));
    EXPECT_TRUE(ini.ReadSectionValues(QStringLiteral("Tank=7-2")).isEmpty());
}

} // namespace
