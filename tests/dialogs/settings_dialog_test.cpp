// The settings dialog's general page and its apply sequence: the order of the calls, the edits' limits,
// the security modes with their passwords, the log and the hardware-information timer.
#include <QCheckBox>
#include <QFocusEvent>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include "core/Bitmaps.h"
#include "core/DataFolder.h"
#include "core/EventLog.h"
#include "core/ObjectRegistry.h"
#include "core/StateFile.h"
#include "platform/Cp1251.h"
#include "platform/Image.h"
#include "platform/RadioGroup.h"
#include "tests/dialogs/SettingsFixture.h"
#include "tests/platform/TestSupport.h"

namespace {

const std::string Marker(NoPassword);

std::string Padded(const char* password) {
    return PasswordText(MakePassword(password));
}

void LeaveEdit(QLineEdit* edit) {
    QFocusEvent out(QEvent::FocusOut, Qt::TabFocusReason);
    QCoreApplication::sendEvent(edit, &out);
}

void Retype(QLineEdit* edit, const QString& text) {
    edit->clear();
    QTest::keyClicks(edit, text);
}

bool Shows(const TImage* image, const char* bitmap) {
    return image->pixmap().toImage() == LoadBitmap(bitmap).toImage();
}

enum TChange { chNothing, chPort, chGeneral, chVersions, chMarks };

struct TApplyCase {
    const char* name;
    TChange change;
    bool serverOpen;
    bool access;
    QStringList calls;
};

TEST_F(SettingsTest, ApplyRunsItsStepsInOrderForEveryKindOfChange) {
    const QStringList tail = {"WriteStates", "ApplyGeneralSettings", "UpdateAll"};
    const TApplyCase cases[] = {
        {"nothing changed", chNothing, true, true, QStringList{"ApplySWSettings(0)"} + tail},
        {"port, server open",
         chPort,
         true,
         true,
         {"ClosePort", "DialogToSettings", "ApplySWSettings(0)", "WriteStates", "ApplyInternetSettings",
          "OpenPort", "ApplyGeneralSettings", "UpdateAll"}},
        {"port, server closed",
         chPort,
         false,
         true,
         {"ClosePort", "DialogToSettings", "ApplySWSettings(0)", "WriteStates", "ApplyInternetSettings",
          "ApplyGeneralSettings", "UpdateAll"}},
        {"general settings", chGeneral, true, true,
         QStringList{"DialogToSettings", "ApplySWSettings(0)"} + tail},
        {"image versions", chVersions, true, true,
         QStringList{"DialogToSettings", "ApplySWSettings(1)"} + tail},
        {"update marks", chMarks, true, true, QStringList{"DialogToSettings", "ApplySWSettings(0)"} + tail},
        {"no access", chGeneral, true, false, {}},
    };
    Start();
    AddObject(5, "a");
    int minor = 0;
    for (const TApplyCase& c : cases) {
        for (QPushButton* button : {dialog->ApplyButton, dialog->ButtonOK}) {
            SCOPED_TRACE(std::string(c.name) + " with " + button->objectName().toStdString());
            OpenDialog();
            server->ServerOpen = c.serverOpen;
            const int port = AppSettings->TcpPort;
            switch (c.change) {
            case chNothing:
                break;
            case chPort:
                dialog->TcpPortEdit->setText(QString::number(port + 1));
                break;
            case chGeneral:
                dialog->LogSizeEdit->setText(QString::number(AppSettings->LogSizeMB % 99 + 1));
                break;
            case chVersions:
                openDialog->Answers.push_back(
                    QString::fromStdString(ImageFile("image.prg", 2, 0xFFFE1600 + uint32_t(++minor))));
                dialog->EnterSWButton->click();
                break;
            case chMarks: {
                QListWidgetItem* line = dialog->ObjectsCheckListBox->item(0);
                line->setCheckState(line->checkState() == Qt::Checked ? Qt::Unchecked : Qt::Checked);
                break;
            }
            }
            AccessGranted = c.access;
            std::remove(DataFile("States.bin").c_str());
            button->click();
            EXPECT_EQ(calls, c.calls);
            EXPECT_EQ(FileExists(DataFile("States.bin")), c.access);
            EXPECT_EQ(AppSettings->TcpPort, c.change == chPort && c.access ? port + 1 : port);
            // OK closes the window only when the settings were applied.
            EXPECT_EQ(dialog->isVisible(), button == dialog->ApplyButton || !c.access);
            dialog->ButtonCancel->click();
            EXPECT_FALSE(dialog->isVisible());
            EXPECT_TRUE(form->isEnabled());
            EXPECT_FALSE(AccessGranted);
        }
    }
}

TEST_F(SettingsTest, CancelCommitsNothingAndTheNextShowReloadsTheControls) {
    OpenDialog();
    dialog->TcpPortEdit->setText(QStringLiteral("2000"));
    dialog->NoLoggingCheckBox->setChecked(true);
    dialog->SecurityModeRadioGroup->Button(3)->click();
    AnswerNewPassword(QStringLiteral("secret"));
    dialog->EnterPasswordButton->click();
    dialog->ButtonCancel->click();
    EXPECT_TRUE(calls.isEmpty());
    EXPECT_EQ(AppSettings->TcpPort, 10001);
    EXPECT_EQ(AppSettings->SecurityMode, smNone);
    EXPECT_EQ(PasswordText(AppSettings->Password), Marker);
    EXPECT_EQ(SystemPassword, Marker);

    OpenDialog();
    EXPECT_EQ(dialog->TcpPortEdit->text(), QStringLiteral("10001"));
    EXPECT_FALSE(dialog->NoLoggingCheckBox->isChecked());
    EXPECT_EQ(dialog->SecurityModeRadioGroup->ItemIndex(), 0);
    EXPECT_EQ(dialog->NewSystemPassword, Marker);
}

struct TEditCase {
    const char* edit;
    QString typed;
    QString left;
};

TEST_F(SettingsTest, EditsTakeOnlyDigitsAndAreHeldInRangeWhenLeft) {
    const TEditCase cases[] = {
        {"TcpPortEdit", "80", "1024"},      {"TcpPortEdit", "70000", "65535"}, {"TcpPortEdit", "", "10001"},
        {"TcpPortEdit", "123456", "12345"}, {"LogSizeEdit", "", "1"},          {"LogSizeEdit", "0", "1"},
        {"LogSizeEdit", "150", "15"},       {"LogSizeEdit", "a4-b", "4"},      {"LogSizeEdit", "+7", "7"},
    };
    OpenDialog();
    for (const TEditCase& c : cases) {
        SCOPED_TRACE(std::string(c.edit) + " \"" + c.typed.toStdString() + "\"");
        auto* edit = dialog->findChild<QLineEdit*>(QLatin1String(c.edit));
        ASSERT_NE(edit, nullptr);
        Retype(edit, c.typed);
        LeaveEdit(edit);
        EXPECT_EQ(edit->text(), c.left);
    }
    // The hidden period edit likewise.
    for (const auto& [text, left] : {std::pair{"", "1"}, {"0", "1"}, {"42", "42"}}) {
        dialog->ExtraPeriodEdit->setText(QLatin1String(text));
        dialog->ExtraPeriodEditExit();
        EXPECT_EQ(dialog->ExtraPeriodEdit->text(), QLatin1String(left)) << text;
    }
    // The phone edit's filter also takes "+".
    QString kept;
    for (QChar key : QStringLiteral("+7 (900) 12-34\b")) {
        TSettingsDialog::PhoneNumberEditKeyPress(key);
        if (!key.isNull())
            kept += key;
    }
    EXPECT_EQ(kept, QStringLiteral("+79001234\b"));
}

// OK given with Enter inside an emptied log-size edit, which is never left: the change test reads it as
// 1, a commit as 10.
TEST_F(SettingsTest, OkGivenWithEnterInsideAnEmptiedLogSizeEdit) {
    AppSettings->LogSizeMB = 1;
    OpenDialog();
    dialog->LogSizeEdit->setFocus();
    Retype(dialog->LogSizeEdit, QString());
    QTest::keyClick(dialog->LogSizeEdit, Qt::Key_Return);
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(calls, QStringList({"ApplySWSettings(0)", "WriteStates", "ApplyGeneralSettings", "UpdateAll"}))
        << "nothing else changed: nothing is committed";
    EXPECT_EQ(AppSettings->LogSizeMB, 1);

    // With another change the settings are committed, and the emptied edit with them.
    calls.clear();
    OpenDialog();
    dialog->NoLoggingCheckBox->setChecked(true);
    dialog->LogSizeEdit->setFocus();
    Retype(dialog->LogSizeEdit, QString());
    QTest::keyClick(dialog->LogSizeEdit, Qt::Key_Return);
    EXPECT_TRUE(calls.contains("DialogToSettings"));
    EXPECT_EQ(AppSettings->LogSizeMB, 10);
    EXPECT_NE(AppSettings->NoLogging, 0);

    // A typed port beyond the range is held in it without the edit being left.
    OpenDialog();
    dialog->TcpPortEdit->setText(QStringLiteral("80"));
    dialog->ButtonOK->click();
    EXPECT_EQ(AppSettings->TcpPort, 1024);
}

// A port below 1024 from "States.bin" stays where it is, the server and its modems with it, as long as
// the operator leaves its field as it was shown, even after visiting it.
TEST_F(SettingsTest, UntouchedPortBelowTheTypedRangeKeepsItsStoredValue) {
    AppSettings->TcpPort = 80;
    OpenDialog();
    EXPECT_EQ(dialog->TcpPortEdit->text(), QStringLiteral("80"));
    LeaveEdit(dialog->TcpPortEdit);
    EXPECT_EQ(dialog->TcpPortEdit->text(), QStringLiteral("80"));
    dialog->LogSizeEdit->setText(QStringLiteral("7"));
    dialog->ButtonOK->click();
    EXPECT_FALSE(calls.contains("ClosePort"));
    EXPECT_EQ(AppSettings->TcpPort, 80);
    EXPECT_EQ(AppSettings->LogSizeMB, 7);

    // Typed, it is held in range when left.
    calls.clear();
    OpenDialog();
    Retype(dialog->TcpPortEdit, QStringLiteral("81"));
    LeaveEdit(dialog->TcpPortEdit);
    EXPECT_EQ(dialog->TcpPortEdit->text(), QStringLiteral("1024"));
    dialog->ButtonOK->click();
    EXPECT_TRUE(calls.contains("ClosePort"));
    EXPECT_EQ(AppSettings->TcpPort, 1024);
}

struct TModeCase {
    const char* name;
    int fromMode;
    const char* fromPassword; // the stored password; also the system password from mode 2 on
    int toMode;
    const char* entered; // typed into the new-password dialog; null: the button is not used
    bool cancelled;      // the new-password dialog is cancelled
    QStringList texts;   // its caption and prompt
    bool passOn;         // PassImage after the entry
    const char* password;
    const char* systemPassword;
    const char* systemKey;
    int listedKeys;
    const char* prompt; // typed at the next start; null: it opens without one
};

const QStringList SettingsTexts = {"Ввод пароля", "Введите пароль для доступа к настройкам"};
const QStringList SystemTexts = {"Изменение системного пароля", "Введите системный пароль"};

TEST_F(SettingsTest, SecurityModesSetThePasswordsTheKeyTableAndTheStateFileKey) {
    const TModeCase cases[] = {
        {"0 to 1", smNone, "", smSettingsOnly, "setup", false, SettingsTexts, true, "setup", "", "", 0,
         nullptr},
        {"0 to 2", smNone, "", smSettingsAndObjects, "objects", false, SystemTexts, true, "objects",
         "objects", "objects", 0, nullptr},
        {"0 to 3", smNone, "", smOnePassword, "launch", false, SystemTexts, true, "launch", "launch",
         "launch", 0, "launch"},
        {"0 to 4", smNone, "", smManyPasswords, "many", false, SystemTexts, true, "many", "many", "", 1,
         "many"},
        {"3 to 0", smOnePassword, "launch", smNone, nullptr, false, {}, false, "", "", "", 0, nullptr},
        {"1 to 2 without a password",
         smSettingsOnly,
         "setup",
         smSettingsAndObjects,
         nullptr,
         false,
         {},
         false,
         "",
         "",
         "",
         0,
         nullptr},
        {"3 to 1 without a password",
         smOnePassword,
         "launch",
         smSettingsOnly,
         nullptr,
         false,
         {},
         true,
         "launch",
         "",
         "",
         0,
         nullptr},
        {"3 to 4, cancelled", smOnePassword, "launch", smManyPasswords, "other", true, SystemTexts, true,
         "launch", "launch", "", 1, "launch"},
    };
    for (const TModeCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::remove(DataFile("States.bin").c_str());
        Restart(); // without a state file, as at the first start
        TObjectStates* object = AddObject(5, "own");
        object->Password = MakePassword("ownkey");
        AppSettings->SecurityMode = c.fromMode;
        AppSettings->Password = MakePassword(c.fromPassword);
        SystemPassword = c.fromMode >= smSettingsAndObjects ? Padded(c.fromPassword) : Marker;
        form->PrepareKeys();

        OpenDialog();
        dialog->SecurityModeRadioGroup->Button(c.toMode)->click();
        newPasswordTexts.clear();
        if (c.entered) {
            AnswerNewPassword(QString::fromLatin1(c.entered), !c.cancelled);
            dialog->EnterPasswordButton->click();
        }
        EXPECT_EQ(newPasswordTexts, c.texts);
        EXPECT_TRUE(Shows(dialog->PassImage, c.passOn ? "PASS_ON" : "PASS_OFF"));
        dialog->ButtonOK->click();

        EXPECT_EQ(AppSettings->SecurityMode, c.toMode);
        EXPECT_EQ(PasswordText(AppSettings->Password), Padded(c.password));
        EXPECT_EQ(SystemPassword, Padded(c.systemPassword));
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(AuthKeyTable.SystemKey), 16),
                  Padded(c.systemKey));
        EXPECT_EQ(AuthKeyTable.Count, c.listedKeys);

        // The file written by the apply opens at the next start with the key of the new mode.
        Restart(c.prompt ? QString::fromLatin1(c.prompt) : QString());
        EXPECT_EQ(promptsShown, c.prompt ? 1 : 0);
        EXPECT_FALSE(StatesNotLoaded);
        EXPECT_EQ(AppSettings->SecurityMode, c.toMode);
        EXPECT_EQ(PasswordText(AppSettings->Password), Padded(c.password));
        EXPECT_EQ(SystemPassword, Padded(c.systemPassword));
        ASSERT_EQ(ObjectList.size(), 1u);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(AuthKeyTable.SystemKey), 16),
                  Padded(c.systemKey));
        EXPECT_EQ(AuthKeyTable.Count, c.listedKeys);
        ObjectList.clear();
    }
}

TEST_F(SettingsTest, EachModeShowsItsHelpAndButton) {
    const struct {
        int mode;
        const char* help;
        const char* button;
        bool enabled;
    } cases[] = {
        {0, "Пароли не используются", "Ввести пароль", false},
        {1, "Паролем защищается вход в настройки программы", "Ввести пароль к настройкам", true},
        {2, "Вводится один системный пароль, которым защищается вход в настройки и подключение всех модемов",
         "Ввести системный пароль", true},
        {3,
         "Вводится один системный пароль, которым защищается запуск программы, вход в настройки и "
         "подключение "
         "всех модемов",
         "Ввести системный пароль", true},
        {4,
         "Системным паролем защищается запуск программы и вход в настройки. Каждый модем защищается "
         "собственным паролем",
         "Ввести системный пароль", true},
    };
    OpenDialog();
    for (const auto& c : cases) {
        dialog->SecurityModeRadioGroup->Button(c.mode)->click();
        EXPECT_EQ(dialog->HelpMemo->toPlainText(), QString::fromUtf8(c.help)) << c.mode;
        EXPECT_EQ(dialog->EnterPasswordButton->text(), QString::fromUtf8(c.button)) << c.mode;
        EXPECT_EQ(dialog->EnterPasswordButton->isEnabled(), c.enabled) << c.mode;
        EXPECT_TRUE(Shows(dialog->PassImage, "PASS_OFF")) << c.mode;
    }
}

TEST_F(SettingsTest, LogIsOpenedOrClosedAndTheTimerRestartedOnEveryApply) {
    AppSettings->ExtraInfo = 1;
    AppSettings->ExtraPeriod = 7;
    SetFixedText(AppSettings->DispatcherPhone, "+79001234567");
    OpenDialog();
    form->EventLog->CloseLog();
    form->ExtraInfoTimer.SetEnabled(false);
    dialog->ApplyButton->click(); // nothing changed
    EXPECT_GE(EventLogHandle, 0);
    EXPECT_TRUE(form->ExtraInfoTimer.Running());
    EXPECT_EQ(form->ExtraInfoTimer.Interval(), 7 * 60'000);

    dialog->NoLoggingCheckBox->setChecked(true);
    dialog->ApplyButton->click();
    EXPECT_EQ(EventLogHandle, -1);
    const std::string log = LogText();
    form->PrintMessage("CH: not written");
    EXPECT_EQ(LogText(), log);

    dialog->NoLoggingCheckBox->setChecked(false);
    dialog->ButtonOK->click();
    EXPECT_GE(EventLogHandle, 0);
    // The settings the dialog cannot reach passed through every apply unchanged.
    EXPECT_EQ(AppSettings->ExtraInfo, 1);
    EXPECT_EQ(AppSettings->ExtraPeriod, 7);
    EXPECT_EQ(FixedText(AppSettings->DispatcherPhone), "+79001234567");
    EXPECT_FALSE(dialog->ExtraInfoCheckBox->isVisible());
    EXPECT_FALSE(dialog->PhoneNumberEdit->isEnabled());
}

} // namespace
