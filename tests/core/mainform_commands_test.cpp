// The status indicators, the reactions to the server and the GSM modem, and the operator's commands.
#include <QImage>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>

#include "core/ObjectRegistry.h"
#include "core/Settings.h"
#include "tests/core/MainFormFixture.h"
#include "tests/platform/TestSupport.h"

namespace {

struct TSignalStep {
    TSignal Signal;
    TSignalState State;
};

QColor PanelColour(TMainForm& form, int panel) {
    const QImage image = form.StatusBar1->grab().toImage();
    return image.pixelColor(form.StatusBar1->PanelRect(panel).topLeft() + QPoint(2, 1));
}

TEST_F(MainFormTest, IndicatorsFollowSetSignalAndBalanceTheirUsers) {
    Start();
    struct {
        std::vector<TSignalStep> Steps;
        TStatusPanelIndex Panel;
        const char* Code;
    } cases[] = {
        {{{sgTcpPort, sgsOn}}, spTcpPort, "1"},
        {{{sgTcpPort, sgsChanging}}, spTcpPort, "0"},
        {{{sgModem, sgsChanging}}, spModem, "7"},
        {{{sgModem, sgsOn}}, spModem, "8"},
        {{{sgModem, sgsOff}}, spModem, "6"},
        {{{sgSend, sgsOn}, {sgSend, sgsOn}, {sgSend, sgsOff}}, spSend, "3"},
        {{{sgSend, sgsOff}}, spSend, "2"},
        {{{sgSend, sgsOff}, {sgSend, sgsOff}, {sgSend, sgsOn}},
         spSend,
         "3"}, // the counter never went below 0
        {{{sgSend, sgsOff}}, spSend, "2"},
        {{{sgReceive, sgsOn}}, spReceive, "5"},
        {{{sgReceive, sgsOff}}, spReceive, "4"},
        {{{TSignal(2), sgsOn}, {TSignal(4), sgsOn}}, spReceive, "4"},
    };
    for (const auto& c : cases) {
        for (const TSignalStep& step : c.Steps)
            form->SetSignal(step.Signal, step.State);
        EXPECT_EQ(form->StatusBar1->Panels(c.Panel).Text, c.Code) << int(c.Panel) << " " << c.Code;
    }
}

TEST_F(MainFormTest, IndicatorsAreDrawnInTheirColoursAndABadTextIsLoggedOnce) {
    Start();
    EXPECT_EQ(PanelColour(*form, spTcpPort), QColor(220, 30, 30));
    form->SetSignal(sgTcpPort, sgsOn);
    EXPECT_EQ(PanelColour(*form, spTcpPort), QColor(80, 200, 80));
    form->SetSignal(sgSend, sgsOn);
    EXPECT_EQ(PanelColour(*form, spSend), QColor(40, 121, 210));

    form->StatusBar1->Panels(spTcpPort).Text = QStringLiteral("X");
    form->StatusBar1->grab();
    form->StatusBar1->grab();
    EXPECT_EQ(LogLines().count("Invalid text for StatusBar panel №0: 76 X"), 1);
}

TEST_F(MainFormTest, ServerOpeningAndClosingSwitchTheMenuItemsAndAreLogged) {
    Start();
    form->OnServerSocketOpen();
    EXPECT_EQ(form->StatusBar1->Panels(spTcpPort).Text, "1");
    EXPECT_FALSE(form->TCPOpenMenuItem->isEnabled());
    EXPECT_TRUE(form->TCPCloseMenuItem->isEnabled());
    EXPECT_EQ(LogLines().back(), "CH: TCP port is opened (10001)");
    EXPECT_TRUE(form->StatusBar1->Panels(spText).Text.endsWith("  TCP-порт открыт"));

    form->TCPCloseMenuItem->trigger();
    EXPECT_EQ(connection->Closes, std::vector<bool>{true});
    form->OnServerSocketClose(true);
    EXPECT_EQ(form->StatusBar1->Panels(spTcpPort).Text, "0");
    EXPECT_TRUE(form->TCPOpenMenuItem->isEnabled());
    EXPECT_FALSE(form->TCPCloseMenuItem->isEnabled());
    EXPECT_EQ(LogLines().back(), "CH: the TCP port is closed");

    dialogs->Expect(mtError, QStringLiteral("Ошибка открытия порта!\r\nНевозможно открыть TCP-порт 10001"),
                    mrOk);
    form->OnServerSocketOpenError();
    EXPECT_EQ(LogLines().back(), "CH: error opening TCP port 10001");
    form->TCPOpenMenuItem->trigger();
    EXPECT_EQ(connection->Opens, 1);
}

TEST_F(MainFormTest, UnrequestedLossOfTheGsmModemIsReportedAMomentLater) {
    Start();
    form->OnModemConnect();
    EXPECT_EQ(form->StatusBar1->Panels(spModem).Text, "8");
    EXPECT_EQ(LogLines().back(), "Modem is connected - ");
    form->OnModemDisconnecting();
    EXPECT_EQ(form->StatusBar1->Panels(spModem).Text, "7");

    form->OnModemDisconnect();
    EXPECT_EQ(form->StatusBar1->Panels(spModem).Text, "6");
    EXPECT_EQ(LogLines().back(), "Modem is disconnected");
    EXPECT_TRUE(dialogs->Shown().empty());
    dialogs->Expect(mtError, QStringLiteral("Связь с модемом прервана"), mrOk);
    clock->Advance(100);
    EXPECT_EQ(dialogs->Shown().size(), 1u);

    ModemDisconnectRequested = true;
    form->OnModemDisconnect();
    EXPECT_FALSE(ModemDisconnectRequested);
    clock->Advance(1000);
    EXPECT_EQ(dialogs->Shown().size(), 1u);
}

TEST_F(MainFormTest, StateRequestOverTcpIsSentOnceUntilTheAnswer) {
    Start();
    TObjectStates* o = AddObject(21, "x");
    o->Connected = 1;
    form->UpdateObjectPanel();
    connection->QueryResult = 2;
    form->RequestButton->click();
    EXPECT_EQ(connection->Queries, std::vector<int>{21});
    EXPECT_TRUE(o->RequestFlags & TObjectStates::HwInfoRequested);
    EXPECT_FALSE(form->RequestButton->isEnabled());
    form->RequestCoordsButtonClick(); // outstanding: nothing
    EXPECT_EQ(connection->Queries.size(), 1u);

    o->RequestFlags = 0;
    connection->QueryResult = 3;
    dialogs->Expect(mtError, QStringLiteral("Невозможно отправить запрос!\rМодем не подключен!"), mrOk);
    form->RequestCoordsButtonClick();
    EXPECT_EQ(o->RequestFlags, 0u);
}

TEST_F(MainFormTest, StateRequestBySmsAsksFirstAndReportsWhatFailed) {
    Start();
    TObjectStates* o = AddObject(22, "x");
    form->RequestCoordsButtonClick(); // the GSM modem is not ready: nothing
    EXPECT_TRUE(dialogs->Shown().empty());

    ModemState = msReady;
    const QString question =
        QStringLiteral("Невозможно отправить запрос через TCP/IP!\r\nОтправить с помощью SMS?");
    dialogs->Expect(mtConfirmation, question, mrCancel);
    form->RequestCoordsButtonClick();
    EXPECT_TRUE(modem->Queries.empty());
    struct {
        int Result;
        const char* Error;
    } cases[] = {{0, nullptr}, {1, "Не задан номер телефона модема!"}, {2, "Ошибка формирования запроса!"}};
    for (const auto& c : cases) {
        modem->QueryResult = c.Result;
        dialogs->Expect(mtConfirmation, question, mrOk);
        if (c.Error)
            dialogs->Expect(mtError, QString::fromUtf8(c.Error), mrOk);
        form->RequestCoordsButtonClick();
        EXPECT_EQ(modem->Queries.back(), o);
        EXPECT_EQ(dialogs->Pending(), 0u);
    }
    o->IsBKModel = 1;
    dialogs->Expect(mtConfirmation, QStringLiteral("Запрос будет отправлен с помощью SMS"), mrCancel);
    form->RequestCoordsButtonClick();
}

TEST_F(MainFormTest, HiddenCallButtonAsksForAVoiceCallOfTheSelectedObject) {
    Start();
    // The button is never shown (nor enabled), so its signal stands in for a click.
    form->CallButton->clicked(); // no object: nothing
    EXPECT_TRUE(modem->Calls.empty());
    TObjectStates* o = AddObject(22, "x");
    SetFixedText(AppSettings->DispatcherPhone, "+79160000001");
    form->CallButton->clicked();
    ASSERT_EQ(modem->Calls.size(), 1u);
    EXPECT_EQ(modem->Calls[0].first, o);
    EXPECT_EQ(modem->Calls[0].second, "+79160000001");
    o->Connected = 1; // over the modem's own connection instead
    form->CallButton->clicked();
    EXPECT_EQ(modem->Calls.size(), 1u);
    EXPECT_FALSE(form->CallButton->isVisible());
}

TEST_F(MainFormTest, HardwareInformationIsRequestedEveryPeriodAndNeverWithPeriodZero) {
    for (const int period : {10, 0}) {
        SCOPED_TRACE(period);
        FirstShow = true;
        MutexHandle.reset();
        ObjectList.clear();
        Start();
        AppSettings->ExtraInfo = 1;
        AppSettings->ExtraPeriod = period;
        AddObject(31, "x")->Connected = 1;
        AddObject(32, "y")->Connected = 0;
        AddObject(33, "z")->Connected = 1;
        ObjectList[2]->IsBKModel = 1;
        connection->Queries.clear();
        clock->Advance(100 + 10 * 60'000 - 1);
        EXPECT_TRUE(connection->Queries.empty());
        clock->Advance(1);
        EXPECT_EQ(connection->Queries, period ? std::vector<int>{31} : std::vector<int>{});
        clock->Advance(10 * 60'000); // still outstanding: not asked again
        EXPECT_EQ(connection->Queries.size(), period ? 1u : 0u);
        EXPECT_EQ(form->ExtraInfoTimer.Running(), period != 0);
        form->ExitMenuItemClick();
        form.reset();
    }
}

TEST_F(MainFormTest, ProtectedCommandsAskForTheSystemPasswordAndOpenNothingWithoutIt) {
    Start();
    AddObject(41, "x")->Connected = 1;
    form->UpdateObjectPanel();
    AppSettings->SecurityMode = smOnePassword;
    SystemPassword = PasswordText(MakePassword("secret"));
    int modalShown = 0;
    QTimer watch;
    watch.callOnTimeout([&] {
        for (TForm* dialog : {static_cast<TForm*>(AddrBook), static_cast<TForm*>(GroupsDialog)})
            if (dialog->InModalLoop()) {
                ++modalShown;
                dialog->SetModalResult(mrCancel);
            }
    });
    watch.start(1);
    CancelPrompts();
    const std::vector<std::function<void()>> commands = {
        [&] { form->GeneralMenuItem->trigger(); }, [&] { form->ABookMenuItem->trigger(); },
        [&] { form->GroupsMenuItem->trigger(); }, [&] { form->SettingsButton->click(); }};
    for (const auto& command : commands) {
        command();
        EXPECT_FALSE(AccessGranted);
    }
    EXPECT_EQ(modalShown, 0);
    EXPECT_FALSE(SettingsDialog->isVisible());
    EXPECT_TRUE(form->isEnabled());
    EXPECT_TRUE(profile->Loads.empty());
    EXPECT_TRUE(dialogs->Shown().empty());

    // The right password opens the settings on the page of the command; closing them ends the access.
    promptCanceller.stop();
    QTimer::singleShot(0, [] {
        QTest::keyClicks(PasswordEnter->PasswordEdit, QStringLiteral("secret"));
        PasswordEnter->ButtonOK->click();
    });
    form->SMSMenuItem->trigger();
    EXPECT_TRUE(AccessGranted);
    EXPECT_TRUE(SettingsDialog->isVisible());
    EXPECT_EQ(SettingsDialog->PageControl1->currentIndex(), 3);
    EXPECT_FALSE(form->isEnabled());
    SettingsDialog->close();
    EXPECT_TRUE(form->isEnabled());
    EXPECT_FALSE(AccessGranted);

    QTimer::singleShot(0, [] {
        QTest::keyClicks(PasswordEnter->PasswordEdit, QStringLiteral("wrong"));
        PasswordEnter->ButtonOK->click();
    });
    dialogs->Expect(mtError, QStringLiteral("Неверный пароль!"), mrOk);
    form->SettingsButton->click();
    EXPECT_TRUE(profile->Loads.empty());
}

TEST_F(MainFormTest, AddressBookOkRebuildsTheListAndSavesAndProfileGoesToTheSelectedObject) {
    Start();
    AddObject(51, "old");
    form->UpdateObjectPanel();
    form->SettingsButtonClick();
    EXPECT_EQ(profile->Loads, std::vector<int>{51});

    QTimer::singleShot(0, [] {
        AddrBook->ABGrid->SetRowCount(3);
        AddrBook->ABGrid->Cells[0][1] = QStringLiteral("51");
        AddrBook->ABGrid->Cells[1][1] = QStringLiteral("Новое имя");
        AddrBook->ABGrid->Cells[0][2] = QStringLiteral("52");
        AddrBook->SetModalResult(mrOk);
    });
    std::remove(DataFile("States.bin").c_str());
    form->ABookMenuItemClick();
    ASSERT_EQ(ObjectList.size(), 2u);
    EXPECT_EQ(form->ObjectsGrid->Cell(2, 1), "Новое имя");
    EXPECT_EQ(form->ObjectsGrid->Cell(1, 2), "52");
    EXPECT_EQ(connection->Updates, 1);
    EXPECT_TRUE(FileExists(DataFile("States.bin")));
    EXPECT_EQ(AddrBook->ABGrid->RowCount(), 2); // the book's grid is reset
    EXPECT_FALSE(AccessGranted);
}

} // namespace
