#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include "platform/Registry.h"
#include "platform/VirtualPort.h"
#include "tests/platform/TestSupport.h"

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

// A pipe or a device in the store's place is never waited on or read, nor is a store over the cap: it
// holds no keys, is never replaced by a change, and standard error says why.
TEST_F(Registry, OnlyARegularStoreOfAtMostTheCapIsReadAndNoOtherIsReplaced) {
    ASSERT_TRUE(QDir().mkpath(dir.path() + QStringLiteral("/registry")));
    const std::string path = store.toStdString();
    const TFifoWatch fifo(dir.path().toStdString() + "/registry/pipe");
    ASSERT_TRUE(fifo.Made());
    for (const TOddFile& odd : OddFiles(path, "pipe", TRegistry::MaxStoreSize)) {
        SCOPED_TRACE(odd.Name);
        odd.Make();
        const std::string before = WhatIsAt(path);
        testing::internal::CaptureStderr();
        EXPECT_FALSE(TRegistry(store).OpenKey(tapi, true)); // looked for, then made
        EXPECT_EQ(testing::internal::GetCapturedStderr(), path + ": " + odd.Problem + "; no registry keys\n" +
                                                              path + ": " + odd.Problem +
                                                              "; the registry is not changed\n");
        EXPECT_EQ(WhatIsAt(path), before);
        ASSERT_TRUE(QFile::remove(store));
    }
    EXPECT_FALSE(fifo.Released()) << "the open waited for a writer";
}

// A user who keeps the store elsewhere links it in: changes replace the file the link leads to.
TEST_F(Registry, AStoreBehindALinkIsChangedThroughItAndTheLinkKept) {
    ASSERT_TRUE(QDir().mkpath(dir.path() + QStringLiteral("/registry")));
    ASSERT_TRUE(QDir().mkpath(dir.path() + QStringLiteral("/elsewhere")));
    const QString target = dir.path() + QStringLiteral("/elsewhere/keys");
    ASSERT_TRUE(QFile::link(QStringLiteral("../elsewhere/keys"), store));
    TRegistry reg(store);
    ASSERT_TRUE(reg.OpenKey(tapi, true));
    ASSERT_TRUE(reg.WriteString(QStringLiteral("$0000000A"), QStringLiteral("1")));
    EXPECT_EQ(WhatIsAt(store.toStdString()), "link to ../elsewhere/keys");
    EXPECT_TRUE(TRegistry(target).KeyExists(tapi));
    EXPECT_EQ(reg.ReadString(QStringLiteral("$0000000A")), QStringLiteral("1"));
    EXPECT_FALSE(QFileInfo::exists(target + QStringLiteral(".tmp")));
}

} // namespace

namespace {

// A COM folder and a kernel tty class of our own making.
class MachineRegistry : public ::testing::Test {
protected:
    MachineRegistry() {
        QDir().mkpath(com);
        for (const char* port : {"ttyS0", "ttyS1", "ttyS3", "ttyUSB0"}) {
            QDir().mkpath(tty + "/" + port);
            if (QString(port) != "ttyS1") // registered by the driver, no hardware behind it
                QDir().mkpath(tty + "/" + port + "/device");
        }
        QFile::link(QStringLiteral("/dev/ttyUSB0"), com + "/COM2");
        QFile::link(QStringLiteral("/dev/null"), com + "/COM4"); // names the kernel's ttyS3 away
        QFile::link(QStringLiteral("/dev/null"), com + "/COM4.new.1");
    }
    // The instance keys below the enumeration root, as bus\device\instance.
    QStringList Instances(TLocalMachineRegistry& reg) {
        QStringList found;
        const QString root = QStringLiteral("SYSTEM\\CurrentControlSet\\Enum");
        EXPECT_TRUE(reg.OpenKeyReadOnly(root));
        for (const QString& bus : reg.GetKeyNames()) {
            EXPECT_TRUE(reg.OpenKeyReadOnly(root + "\\" + bus));
            for (const QString& device : reg.GetKeyNames()) {
                EXPECT_TRUE(reg.OpenKeyReadOnly(root + "\\" + bus + "\\" + device));
                for (const QString& instance : reg.GetKeyNames())
                    found << bus + "\\" + device + "\\" + instance;
            }
        }
        found.sort();
        return found;
    }

    QTemporaryDir dir;
    TEnvironment dataHome{"XDG_DATA_HOME", QFile::encodeName(dir.path())};
    QString com = dir.path() + "/com", tty = dir.path() + "/tty";
};

TEST_F(MachineRegistry, SerialPortsAreEnumeratedFromTheComFolderAndTheKernel) {
    TVirtualPortAx own;
    ASSERT_TRUE(own.CreatePort(QStringLiteral("COM6")));
    TLocalMachineRegistry reg(com, tty);
    EXPECT_EQ(Instances(reg), (QStringList{"ACPI\\PNP0501\\ttyS0", "ROOT\\PORTS\\COM2", "ROOT\\PORTS\\COM4",
                                           "ROOT\\PORTS\\COM6"}));
    struct Case {
        const char *key, *port, *friendly;
    } cases[] = {{"ACPI\\PNP0501\\ttyS0", "COM1", "Communications Port (COM1)"},
                 {"ROOT\\PORTS\\COM2", "COM2", "Serial port /dev/ttyUSB0 (COM2)"},
                 {"root\\ports\\com6", "COM6", "KOLVAR Virtual Serial Port (COM6)"}};
    for (const Case& c : cases) {
        const QString key = QStringLiteral("SYSTEM\\CURRENTCONTROLSET\\ENUM\\") + c.key;
        ASSERT_TRUE(reg.OpenKeyReadOnly(key)) << c.key;
        EXPECT_EQ(reg.ReadString("Class"), "Ports");
        EXPECT_EQ(reg.ReadString("ClassGUID"), "{4D36E978-E325-11CE-BFC1-08002BE10318}");
        EXPECT_EQ(reg.ReadString("FriendlyName"), c.friendly);
        ASSERT_TRUE(reg.OpenKeyReadOnly(key + "\\Device Parameters"));
        EXPECT_EQ(reg.ReadString("PortName"), c.port);
        EXPECT_FALSE(reg.ValueExists("FriendlyName"));
    }
    EXPECT_FALSE(reg.OpenKeyReadOnly("SOFTWARE"));
    EXPECT_EQ(reg.ReadString("PortName"), "COM6") << "a failed open keeps the current key";
}

} // namespace
