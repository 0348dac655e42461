#include <gtest/gtest.h>

#include <QTemporaryDir>

#include "platform/Registry.h"

namespace {

class Registry : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString store = dir.path() + QStringLiteral("/registry/HKEY_CURRENT_USER");
    const QString tapi = QStringLiteral("SOFTWARE\\Kolvar\\Gelvorant\\TAPI");
};

TEST_F(Registry, OpensOnlyWhatExistsUnlessAskedToCreate) {
    TRegistry reg(store);
    EXPECT_FALSE(reg.OpenKey(tapi, false));
    EXPECT_FALSE(reg.WriteString(QStringLiteral("x"), QStringLiteral("1"))); // no key open
    EXPECT_TRUE(reg.OpenKey(tapi, true));
    EXPECT_EQ(reg.CurrentPath(), tapi);
    EXPECT_TRUE(reg.KeyExists(QStringLiteral("\\software\\kolvar\\gelvorant\\tapi\\")));
    EXPECT_TRUE(TRegistry(store).OpenKey(tapi, false));
    EXPECT_TRUE(reg.GetValueNames().isEmpty());
}

TEST_F(Registry, WritesReadsListsAndDeletesValues) {
    TRegistry reg(store);
    ASSERT_TRUE(reg.OpenKey(tapi, true));
    EXPECT_TRUE(reg.WriteString(QStringLiteral("$00001A2B"), QStringLiteral("12345")));
    EXPECT_TRUE(reg.WriteString(QStringLiteral("$00001A2C"), QStringLiteral("7")));
    EXPECT_TRUE(reg.WriteString(QStringLiteral("$00001a2b"), QStringLiteral("99"))); // the same value
    EXPECT_EQ(reg.GetValueNames(), (QStringList{QStringLiteral("$00001A2B"), QStringLiteral("$00001A2C")}));
    EXPECT_EQ(reg.ReadString(QStringLiteral("$00001A2B")), QStringLiteral("99"));
    EXPECT_TRUE(reg.ValueExists(QStringLiteral("$00001A2C")));
    EXPECT_TRUE(reg.DeleteValue(QStringLiteral("$00001A2C")));
    EXPECT_FALSE(reg.DeleteValue(QStringLiteral("$00001A2C")));
    EXPECT_FALSE(reg.ValueExists(QStringLiteral("$00001A2C")));
    EXPECT_EQ(reg.ReadString(QStringLiteral("$00001A2C")), QString());
    EXPECT_EQ(reg.GetValueNames(), QStringList{QStringLiteral("$00001A2B")});
}

TEST_F(Registry, EveryUserOfTheStoreSeesTheOthersChanges) {
    TRegistry one(store), two(store);
    ASSERT_TRUE(one.OpenKey(tapi, true));
    ASSERT_TRUE(two.OpenKey(tapi, false));
    one.WriteString(QStringLiteral("$0000000A"), QStringLiteral("1"));
    EXPECT_EQ(two.ReadString(QStringLiteral("$0000000A")), QStringLiteral("1"));
    two.DeleteValue(QStringLiteral("$0000000A"));
    EXPECT_FALSE(one.ValueExists(QStringLiteral("$0000000A")));
    ASSERT_TRUE(one.OpenKey(QStringLiteral("SOFTWARE\\Other"), true));
    one.WriteString(QStringLiteral("a"), QStringLiteral("b"));
    EXPECT_TRUE(two.GetValueNames().isEmpty()); // keys keep their own values
}

TEST_F(Registry, RefusesWhatTheStoreCannotHold) {
    TRegistry reg(store);
    ASSERT_TRUE(reg.OpenKey(tapi, true));
    for (const QString& name : {QString(), QStringLiteral("a=b"), QStringLiteral("[x"),
                                QStringLiteral("a\nb"), QStringLiteral(" padded")})
        EXPECT_FALSE(reg.WriteString(name, QStringLiteral("v"))) << name.toStdString();
    EXPECT_FALSE(reg.WriteString(QStringLiteral("v"), QStringLiteral("two\nlines")));
    EXPECT_TRUE(reg.WriteString(QStringLiteral("v"), QStringLiteral("a=b")));
    EXPECT_EQ(reg.ReadString(QStringLiteral("v")), QStringLiteral("a=b"));
    EXPECT_FALSE(reg.OpenKey(QStringLiteral("\\\\"), true));
}

} // namespace
