#include <gtest/gtest.h>

#include <iostream>
#include <optional>

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QTemporaryDir>

#include "platform/Shell.h"
#include "tests/platform/TestSupport.h"

namespace {

TEST(Shell, TheApplicationDataFolderFollowsTheDesktopConvention) {
    struct Case {
        std::optional<QByteArray> dataHome;
        QByteArray home;
        QString folder;
    };
    const Case cases[] = {
        {QByteArray("/srv/data/"), "/home/op", QStringLiteral("/srv/data")},
        {QByteArray("/srv/data"), "/home/op", QStringLiteral("/srv/data")},
        {std::nullopt, "/home/op", QStringLiteral("/home/op/.local/share")},
        {QByteArray(""), "/home/op/", QStringLiteral("/home/op/.local/share")},
    };
    for (const Case& c : cases) {
        const TEnvironment data("XDG_DATA_HOME", c.dataHome);
        const TEnvironment home("HOME", c.home);
        EXPECT_EQ(CommonAppDataFolder(), c.folder);
    }
}

TEST(Shell, MakesFoldersAndTellsFilesFromFolders) {
    QTemporaryDir temp;
    const QString folder = temp.path() + QStringLiteral("/Kolvar/Vostrane");
    EXPECT_FALSE(DirectoryExists(folder));
    EXPECT_TRUE(ForceDirectories(folder));
    EXPECT_TRUE(DirectoryExists(folder));
    EXPECT_TRUE(ForceDirectories(folder));
    QFile file(folder + QStringLiteral("/States.bin"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    EXPECT_TRUE(FileExists(file.fileName()));
    EXPECT_FALSE(FileExists(folder));
    EXPECT_FALSE(DirectoryExists(file.fileName()));
    EXPECT_FALSE(ForceDirectories(file.fileName() + QStringLiteral("/below")));
}

TEST(Shell, TheExecutablesFolderEndsInASlash) {
    const QString folder = ExecutableFolder();
    EXPECT_TRUE(folder.endsWith(QLatin1Char('/')));
    EXPECT_TRUE(QFileInfo::exists(folder + QCoreApplication::applicationName()) ||
                QFileInfo::exists(folder + QStringLiteral("platform_tests")));
}

class NamedMutex : public ::testing::Test {
protected:
    QTemporaryDir runtime;
    TEnvironment runtimeDir{"XDG_RUNTIME_DIR", runtime.path().toLocal8Bit()};
    QString name = QStringLiteral("Global\\{5A1B2C3D-0000-4000-8000-00000000000%1}").arg(::getpid() % 10);

    // This test program again, running only the child's part with the given mode.
    void StartChild(QProcess& child, const char* mode) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("PLATFORM_TEST_MUTEX"), name);
        env.insert(QStringLiteral("PLATFORM_TEST_MUTEX_MODE"), QString::fromLatin1(mode));
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(),
                    {QStringLiteral("--gtest_also_run_disabled_tests"),
                     QStringLiteral("--gtest_filter=DISABLED_NamedMutexChild.*")});
        ASSERT_TRUE(child.waitForStarted());
    }
    static bool WaitFor(QProcess& child, const QByteArray& line, QByteArray& output) {
        while (!output.contains(line))
            if (!child.waitForReadyRead(20'000))
                return false;
            else
                output += child.readAllStandardOutput();
        return true;
    }
};

TEST_F(NamedMutex, ExcludesASecondHolderInThisProcess) {
    auto first = std::make_unique<TNamedMutex>(name);
    EXPECT_EQ(first->Status(), TNamedMutex::Created);
    EXPECT_EQ(TNamedMutex(name).Status(), TNamedMutex::AlreadyExists);
    first.reset();
    EXPECT_EQ(TNamedMutex(name).Status(), TNamedMutex::Created);
    EXPECT_TRUE(TNamedMutex::LockFile(name).startsWith(runtime.path() + QStringLiteral("/Global_{")));
}

TEST_F(NamedMutex, ASecondProcessCannotTakeItWhileTheFirstHoldsIt) {
    const TNamedMutex held(name);
    ASSERT_EQ(held.Status(), TNamedMutex::Created);
    QProcess child;
    StartChild(child, "try");
    QByteArray output;
    EXPECT_TRUE(WaitFor(child, "status=" + QByteArray::number(TNamedMutex::AlreadyExists), output))
        << output.data();
    child.waitForFinished(20'000);
}

TEST_F(NamedMutex, IsReleasedWhenTheHoldingProcessDies) {
    QProcess child;
    StartChild(child, "hold");
    QByteArray output;
    ASSERT_TRUE(WaitFor(child, "held", output)) << output.data();
    EXPECT_EQ(TNamedMutex(name).Status(), TNamedMutex::AlreadyExists);
    child.kill(); // the process we started, by its id
    ASSERT_TRUE(child.waitForFinished(20'000));
    EXPECT_EQ(TNamedMutex(name).Status(), TNamedMutex::Created);
}

// Runs only in the child started above.
TEST(DISABLED_NamedMutexChild, TakeOrHold) {
    const QString name = qEnvironmentVariable("PLATFORM_TEST_MUTEX");
    ASSERT_FALSE(name.isEmpty());
    const TNamedMutex mutex(name);
    std::cout << "status=" << mutex.Status() << std::endl;
    if (qEnvironmentVariable("PLATFORM_TEST_MUTEX_MODE") == QStringLiteral("hold") &&
        mutex.Status() == TNamedMutex::Created) {
        std::cout << "held" << std::endl;
        std::string line;
        std::getline(std::cin, line); // until killed
    }
}

} // namespace
