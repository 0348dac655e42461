// Start-up and shut-down of the main window: the first start, a second instance, hiding to the tray,
// the exit, and a state file that does not open.
#include <csignal>
#include <filesystem>
#include <memory>
#include <thread>

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMenu>
#include <QScopeGuard>
#include <QScreen>
#include <QTimer>

#include "core/DataFolder.h"
#include "core/EventLog.h"
#include "core/ObjectRegistry.h"
#include "core/StateFile.h"
#include "platform/Registry.h"
#include "platform/Shell.h"
#include "platform/Warning.h"
#include "tests/core/HeldFileOps.h"
#include "tests/core/MainFormFixture.h"
#include "tests/platform/TestSupport.h"

namespace {

TEST_F(MainFormTest, FirstStartMakesTheDataFolderAndSavesTheDefaultsAfterTheIdleTime) {
    Start();
    EXPECT_TRUE(DirectoryExists(QString::fromStdString(DataFolder())));
    EXPECT_TRUE(FirstRun);
    EXPECT_EQ(AppDataFolder, DataFolder());
    EXPECT_TRUE(dialogs->Shown().empty());
    EXPECT_FALSE(StatesNotLoaded);
    EXPECT_FALSE(FileExists(DataFile("States.bin")));
    EXPECT_EQ(LogLines(), QStringList({"--------------------------", "CH: Gelvorant start",
                                       "CH: found 0 calibration tables", "CH: TMGSM_AuthKeysInit OK"}));

    clock->Advance(99);
    EXPECT_EQ(connection->Opens, 0);
    clock->Advance(1);
    EXPECT_EQ(connection->Opens, 1); // the server starts 100 ms after the first showing
    EXPECT_EQ(modem->Connects, 0);
    EXPECT_EQ(form->StatusBar1->Panels(spModem).Text, "6");

    clock->Advance(5000);
    EXPECT_TRUE(FileExists(DataFile("States.bin")));
    EXPECT_EQ(LogLines().back(), "CH: suspending logging");
}

TEST_F(MainFormTest, SecondInstanceShowsTheMessageAndTouchesNothingOfTheFirst) {
    ASSERT_TRUE(ForceDirectories(QString::fromStdString(DataFolder())));
    WriteFile(DataFile("States.bin"), std::string(64, '\x5A'));
    WriteFile(DataFile("EventLog.txt"), "15.03 11:59:00 CH: Gelvorant start\r\n");
    const TNamedMutex firstInstance(QString::fromLatin1(InstanceMutexName));
    ASSERT_EQ(firstInstance.Status(), TNamedMutex::Created);
    dialogs->Expect(mtError, QStringLiteral("Уже есть запущенная копия Маршрутизатора!"), mrOk);

    Start();
    ASSERT_TRUE(WaitForExit());
    clock->Advance(10'000);
    EXPECT_EQ(ReadFile(DataFile("States.bin")), std::string(64, '\x5A'));
    EXPECT_EQ(LogText(), "15.03 11:59:00 CH: Gelvorant start\r\n");
    EXPECT_EQ(connection->Opens, 0);
    EXPECT_FALSE(form->isVisible());
}

TEST_F(MainFormTest, ClosingHidesToTheTrayOrMinimisesWithoutOneAndExitEndsEverything) {
    for (const bool tray : {true, false}) {
        SCOPED_TRACE(tray ? "with a tray" : "without a tray");
        FirstShow = true;
        Shown = false;
        MutexHandle.reset();
        Start();
        form->Tray = tray;
        clock->Advance(6000);
        ASSERT_TRUE(FileExists(DataFile("States.bin")));

        form->close();
        EXPECT_EQ(form->Closed, 0);
        EXPECT_EQ(form->isVisible(), !tray);
        EXPECT_EQ(form->isMinimized(), !tray);
        EXPECT_TRUE(connection->Closes.empty());
        form->MenuItem1->trigger();
        EXPECT_TRUE(form->isVisible());
        EXPECT_FALSE(form->isMinimized());

        std::remove(DataFile("States.bin").c_str());
        form->MenuItem2->trigger();
        EXPECT_EQ(form->Closed, 1);
        EXPECT_EQ(LogLines().back(), "CH: Gelvorant is closed");
        EXPECT_TRUE(FileExists(DataFile("States.bin"))); // it was loaded, so it is written
        EXPECT_EQ(EventLogHandle, -1);
        EXPECT_EQ(connection->Closes, std::vector<bool>{false});
        EXPECT_EQ(modem->Disconnects, 1);
        EXPECT_TRUE(ModemDisconnectRequested);
        std::remove(DataFile("States.bin").c_str());
        clock->Advance(6000);
        EXPECT_TRUE(dialogs->Shown().empty());            // no message about the modem's loss
        EXPECT_FALSE(FileExists(DataFile("States.bin"))); // and no save after the exit's own
        connection->Closes.clear();
        modem->Disconnects = 0;
    }
}

// A termination signal is the exit of the menu, also from inside a modal box, which it cancels first:
// the window closes from the main loop once the box's own loop is over.
TEST_F(MainFormTest, ATerminationSignalExitsAsTheMenuDoesAndCancelsAnOpenBox) {
    for (const bool boxOpen : {false, true}) {
        SCOPED_TRACE(boxOpen ? "box open" : "no box");
        FirstShow = true;
        Shown = false;
        MutexHandle.reset();
        Start();
        clock->Advance(6000);
        AddObject(7, "Насосная");
        const std::string before = ReadFile(DataFile("States.bin"));
        const qsizetype linesBefore = LogLines().size();
        if (boxOpen) {
            QTimer::singleShot(0, form.get(), [this] { form->ExitOnSignal(SIGTERM); });
            EXPECT_EQ(PasswordEnter->ShowModal(), mrCancel);
            EXPECT_EQ(form->Closed, 0) << "not from inside the box's loop";
        } else {
            form->ExitOnSignal(SIGTERM);
        }
        form->ExitOnSignal(SIGHUP); // a second one changes nothing
        ASSERT_TRUE(WaitForExit());
        EXPECT_EQ(form->Closed, 1);
        EXPECT_NE(ReadFile(DataFile("States.bin")), before) << "the exit saved";
        const QStringList lines = LogLines().mid(linesBefore);
        EXPECT_EQ(lines.filter(QStringLiteral("received - exiting")),
                  QStringList{QStringLiteral("CH: SIGTERM received - exiting")});
        EXPECT_EQ(lines.back(), "CH: Gelvorant is closed");
        EXPECT_EQ(EventLogHandle, -1);
        EXPECT_EQ(connection->Closes, std::vector<bool>{false});
        connection->Closes.clear();
        ObjectList.clear();
    }
}

// Saves are written on a thread of their own; the exit's save is written before the exit goes on,
// however long the writing takes.
TEST_F(MainFormTest, ExitSaveIsWrittenBeforeTheExitGoesOnWhileOtherSavesAreNotWaitedFor) {
    Start();
    form->WaitForSaves = false;
    clock->Advance(6000);
    form->WaitForStates();
    ASSERT_TRUE(FileExists(DataFile("States.bin")));
    std::remove(DataFile("States.bin").c_str());
    THeldOps held;
    held.Hold();
    form->Writer.UseFileOps(held);
    const auto restore = qScopeGuard([&] {
        held.Release(); // whatever failed
        form->Writer.Wait();
        form->Writer.UseFileOps(StatesFileOps());
    });
    form->PrintMessage("CH: a line");
    clock->Advance(5000); // the idle save returns with its file not written
    EXPECT_TRUE(form->Writer.Busy());
    EXPECT_FALSE(FileExists(DataFile("States.bin")));
    // The held write goes on only once the exit waits for it.
    form->Saver.WaitWritten = [&held, wait = form->Saver.WaitWritten] {
        held.Release();
        wait();
    };
    form->MenuItem2->trigger();
    EXPECT_EQ(form->Closed, 1);
    EXPECT_TRUE(FileExists(DataFile("States.bin")));
    EXPECT_FALSE(form->Writer.Busy());
}

TEST_F(MainFormTest, StateFileThatDoesNotOpenEndsTheProgramAndIsNotWritten) {
    ASSERT_TRUE(ForceDirectories(QString::fromStdString(DataFolder())));
    const std::string damaged(48, '\x11');
    WriteFile(DataFile("States.bin"), damaged);
    dialogs->Expect(mtError, QStringLiteral("Невозможно расшифровать файл с настройками!"), mrOk);
    CancelPrompts();

    Start();
    ASSERT_TRUE(WaitForExit());
    clock->Advance(10'000);
    EXPECT_EQ(ReadFile(DataFile("States.bin")), damaged);
    const QStringList lines = LogLines();
    ASSERT_GE(lines.size(), 2);
    EXPECT_EQ(lines[lines.size() - 2], "CH: system password error");
    EXPECT_EQ(lines.back(), "CH: Gelvorant is closed");
    EXPECT_EQ(connection->Opens, 0);
    EXPECT_TRUE(StatesNotLoaded);
}

// Pipes where the files are: start-up neither waits on one nor replaces one, and says why each gave
// nothing.
TEST_F(MainFormTest, PipesInPlaceOfItsFilesNeverHoldTheStartUp) {
    ASSERT_TRUE(ForceDirectories(QString::fromStdString(DataFolder())));
    const TFifoWatch states(DataFile("States.bin")), calibration(DataFile("Calibrate.ini"));
    ASSERT_TRUE(states.Made() && calibration.Made());
    dialogs->Expect(mtError, QStringLiteral("Невозможно открыть файл с настройками!"), mrOk);
    CancelPrompts(); // none is expected: a pipe read as an empty file would ask for the password

    Start();
    EXPECT_EQ(LogLines(),
              QStringList({"CH: States.bin reading error - not a regular file", "--------------------------",
                           "CH: Gelvorant start", "CH: Calibrate.ini reading error - not a regular file",
                           "CH: found 0 calibration tables", "CH: TMGSM_AuthKeysInit OK"}));
    clock->Advance(100);
    EXPECT_EQ(connection->Opens, 1);
    clock->Advance(5000);
    QStringList lines = LogLines();
    ASSERT_GE(lines.size(), 2);
    EXPECT_EQ(lines[lines.size() - 2], "CH: suspending logging");
    EXPECT_EQ(lines.back(), "CH: States.bin is not written - it could not be read at start and is kept");
    EXPECT_TRUE(std::filesystem::is_fifo(DataFile("States.bin"))) << "a file that did not load is kept";
    EXPECT_TRUE(form->StatusBar1->Panels(spText).Text.startsWith(QString::fromUtf8(StatesUnsavedNote)));

    // A command of the operator that saves asks first; No keeps the file, as the log says.
    dialogs->Expect(
        mtConfirmation,
        QStringLiteral("Файл с состояниями объектов не удалось прочитать при запуске.\r\nЗаменить его?"),
        mrNo);
    form->WriteStates();
    EXPECT_EQ(LogLines().back(),
              "CH: States.bin is not written - the operator keeps the file that could not be read at start");
    EXPECT_TRUE(std::filesystem::is_fifo(DataFile("States.bin")));
    clock->Advance(3 * MaxSaveDelayMs);
    EXPECT_TRUE(std::filesystem::is_fifo(DataFile("States.bin")));
    EXPECT_FALSE(states.Released() || calibration.Released()) << "an open waited for a writer";
}

TEST_F(MainFormTest, StoredGeometryAndObjectsComeBackAtTheNextStart) {
    Start();
    AddObject(7, "Котельная");
    form->resize(700, 400);
    form->ObjectsGrid->SetColWidth(2, 123);
    Restart();
    ASSERT_EQ(ObjectList.size(), 1u);
    EXPECT_EQ(ObjectList[0]->ObjectNumber, 7);
    EXPECT_EQ(form->ObjectsGrid->Cell(1, 1), "7");
    EXPECT_EQ(form->ObjectsGrid->Cell(2, 1), "Котельная");
    EXPECT_EQ(form->size(), QSize(700, 400));
    EXPECT_EQ(form->ObjectsGrid->ColWidth(2), 123);
}

// A save killed before its rename leaves its temporary file: the next start removes it at once, not
// only at its first save.
TEST_F(MainFormTest, TheTemporaryFileOfAKilledSaveIsGoneAtTheNextStart) {
    Start();
    AddObject(7, "Котельная");
    form->ExitMenuItemClick();
    ASSERT_TRUE(WaitForExit());
    const std::string saved = ReadFile(DataFile("States.bin"));
    WriteFile(DataFile("States.bin.tmp"), std::string(1 << 20, '\x5A'));
    form.reset();
    ObjectList.clear();
    FirstShow = true;
    MutexHandle.reset();
    Start();
    EXPECT_FALSE(FileExists(DataFile("States.bin.tmp")));
    EXPECT_EQ(ReadFile(DataFile("States.bin")), saved);
    ASSERT_EQ(ObjectList.size(), 1u);
}

// The place stored at exit is the one taken at the next start, so the window does not creep across the
// screen by the size of its frame.
TEST_F(MainFormTest, TenStartsLeaveTheMainWindowWhereItWas) {
    Start();
    const QRect place(120, 90, 640, 360);
    form->setGeometry(place);
    QCoreApplication::processEvents();
    const QRect frame = form->frameGeometry();
    for (int start = 1; start <= 10; ++start) {
        Restart();
        QCoreApplication::processEvents();
        EXPECT_EQ(form->geometry(), place) << "start " << start;
        EXPECT_EQ(form->frameGeometry(), frame) << "start " << start;
    }
}

// A window stored where the screen no longer shows it (a screen since removed, or made smaller) comes
// back inside the screen's available area, title bar included.
TEST_F(MainFormTest, AMainWindowStoredOffTheScreenComesBackOntoIt) {
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    const QPoint stored[] = {{area.right() - 20, area.bottom() - 20},
                             {area.right() + 500, 40},
                             {-300, -200},
                             {40, area.bottom() + 500}};
    Start();
    for (const QPoint& at : stored) {
        form->setGeometry(QRect(at, QSize(640, 360)));
        Restart();
        QCoreApplication::processEvents();
        EXPECT_TRUE(area.contains(form->frameGeometry())) << at.x() << "," << at.y();
        EXPECT_EQ(form->size(), QSize(640, 360)) << at.x() << "," << at.y();
    }
}

TEST_F(MainFormTest, GsmModemIsStartedWithTheServerWhenTheSettingsAskForIt) {
    struct {
        bool ConnectResult;
        const char* Indicator;
    } cases[] = {{false, "6"}, {true, "7"}};
    for (const auto& c : cases) {
        FirstShow = true;
        MutexHandle.reset();
        Start();
        AppSettings->UseGsmModem = 1;
        modem->ConnectResult = c.ConnectResult;
        modem->Connects = 0;
        clock->Advance(100);
        EXPECT_EQ(modem->Connects, 1);
        EXPECT_EQ(form->StatusBar1->Panels(spModem).Text, c.Indicator);
        form->ExitMenuItemClick();
        form.reset();
    }
}

// What the platform layer could not use reaches the event log as well as standard error, from the main
// thread at once and from another once the loop runs; nothing once the main window is gone.
TEST_F(MainFormTest, PlatformWarningsReachTheEventLog) {
    Start();
    const QString store = QString::fromStdString(DataFile("registry"));
    ASSERT_TRUE(QDir().mkpath(store)); // a folder where the store should be
    TRegistry registry(store);
    EXPECT_FALSE(registry.OpenKey(QStringLiteral("Software\\Test"), true));
    const QString folder = store + ": not a regular file; the registry is not changed";
    EXPECT_EQ(LogLines().back(), folder);

    const QString worker = QStringLiteral("telephony: from a worker");
    std::thread([&] { PlatformWarning(worker); }).join();
    EXPECT_EQ(LogLines().back(), folder) << "delivered on the main thread only";
    QCoreApplication::processEvents();
    EXPECT_TRUE(LogLines().contains(worker));

    form.reset();
    PlatformWarning(QStringLiteral("telephony: after the window"));
    EXPECT_FALSE(LogLines().contains("telephony: after the window"));
}

} // namespace
