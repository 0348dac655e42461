// Every form and box of the program, shown offscreen with the longest texts its callers give it: each
// text shows whole, nothing lies over it, and every window lies inside the screen's available area.
#include <iostream>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QTabWidget>
#include <QTimer>
#include <gtest/gtest.h>

#include "app/FormSet.h"
#include "core/AboutBox.h"
#include "core/HeapForm.h"
#include "core/MainForm.h"
#include "core/ObjectRegistry.h"
#include "core/PasswordEnter.h"
#include "core/Settings.h"
#include "dialogs/AddressBook.h"
#include "dialogs/ObjSettingsDialog.h"
#include "dialogs/PasswordUpdate.h"
#include "dialogs/SettingsDialog.h"
#include "dialogs/UnusedDialogs.h"
#include "gsm/ModemForm.h"
#include "gsm/SmsRequestForms.h"
#include "platform/ClockSource.h"
#include "platform/Cp1251.h"
#include "platform/RadioGroup.h"
#include "platform/ScriptedDialogs.h"
#include "serial/ComSelectForm.h"
#include "serial/DeviceSelectionForm.h"
#include "sessions/GroupForms.h"
#include "tests/core/TempFolder.h"
#include "tests/platform/LayoutCheck.h"
#include "tests/platform/TestSupport.h"

namespace {

// The longest names the operator gives: a group name of 20 characters, an object's ID of five digits.
const QString GroupName = QStringLiteral("Насосная станция №12");
const QString ObjectName = QStringLiteral("Котельная Заречного района");

class FormsOnScreenTest : public ::testing::Test {
protected:
    FormsOnScreenTest()
        : data("XDG_DATA_HOME", QByteArray::fromStdString(folder.Path())),
          runtime("XDG_RUNTIME_DIR", QByteArray::fromStdString(folder.Path())) {}

    // Shows the window as the program does (not modally: the test looks at it and hides it again) and
    // expects every text of it to show whole; with a picture name, saves its picture too.
    void ExpectReadable(QWidget* window, const QString& what, const char* picture = nullptr) {
        window->show();
        QCoreApplication::processEvents();
        Look(window, what, picture);
        window->hide();
    }

    static void Look(QWidget* window, const QString& what, const char* picture = nullptr) {
        const QStringList faults = LayoutFaults(window);
        EXPECT_TRUE(faults.isEmpty()) << what.toStdString() << ":\n" << faults.join('\n').toStdString();
        if (!picture)
            return;
        const QString path = SavePicture(window, QString::fromLatin1(picture));
        EXPECT_FALSE(path.isEmpty()) << picture;
        std::cout << what.toStdString() << " picture: " << path.toStdString() << std::endl;
    }

    // Each page of a tab control in turn.
    void ExpectPagesReadable(QWidget* window, QTabWidget* pages) {
        for (int page = 0; page < pages->count(); ++page) {
            window->show();
            pages->setCurrentIndex(page);
            QCoreApplication::processEvents();
            Look(window, window->objectName() + QLatin1Char('/') + pages->tabText(page));
            window->hide();
        }
    }

    TTempFolder folder;
    TEnvironment data, runtime;
    TFakeClock clock; // nothing starts by itself: no server, no modem
};

TObjectStates* AddObject(int number, const QString& name) {
    auto object = std::make_unique<TObjectStates>();
    object->ObjectNumber = number;
    object->ModemID = number;
    object->Name = ToCp1251(name);
    ObjectList.push_back(std::move(object));
    return ObjectList.back().get();
}

TEST_F(FormsOnScreenTest, EveryFormShowsItsTextsWholeInsideTheScreen) {
    TScriptedDialogs dialogs(FailTest);
    TFormSet forms;
    forms.CreateForms();

    MainForm->show();
    MainForm->ConnectTimer.SetEnabled(false); // no server: the test looks, it does not serve
    QCoreApplication::processEvents();
    for (int id : {65533, 65534})
        AddObject(id, ObjectName);
    TObjectStates* selected = AddObject(65535, ObjectName);
    selected->Connected = 1;
    selected->ConnectTime = Now() - 3.0 / 24;
    MainForm->FillObjectsGrid();
    MainForm->ObjectsGrid->SetRow(3);
    // The last data 4 minutes 10 seconds ago, 23 hours 59 minutes ago, 12345 days 23 hours ago.
    for (double ago : {(4 * 60 + 10) / 86400.0, (23 * 60 + 59) / 1440.0, 12345.0 + 23.5 / 24}) {
        selected->LastDataTime = Now() - ago;
        MainForm->SinceTimerTimer();
        QCoreApplication::processEvents();
        Look(MainForm, QStringLiteral("main window, ") + MainForm->SinceLastMessageLabel->text());
    }

    // The password dialogs with each caption and prompt their callers give them.
    const struct {
        TForm* Form;
        QLabel* Info;
        const char* Caption;
        const char* Prompt;
    } prompts[] = {
        {PasswordEnter, PasswordEnter->InfoLabel, "Маршрутизатор", "Введите системный пароль"},
        {PasswordEnter, PasswordEnter->InfoLabel, "Запрос пароля", "Введите пароль для доступа к настройкам"},
        {PasswordEnter, PasswordEnter->InfoLabel, "Запрос системного пароля", "Введите системный пароль"},
        {PasswordUpdate, PasswordUpdate->InfoLabel, "Ввод пароля", "Введите пароль для доступа к настройкам"},
        {PasswordUpdate, PasswordUpdate->InfoLabel, "Изменение системного пароля",
         "Введите системный пароль"},
        {PasswordUpdate, PasswordUpdate->InfoLabel, "Ввод пароля", "Введите пароль контроллера"},
        {PasswordUpdate, PasswordUpdate->InfoLabel, "Изменение пароля", "Введите пароль для объекта № 65535"},
        {PasswordUpdate, PasswordUpdate->InfoLabel, "Изменение пароля",
         "Введите пароль контроллера c ID: 65535"},
    };
    for (const auto& p : prompts) {
        p.Form->SetCaption(QString::fromUtf8(p.Caption));
        p.Info->setText(QString::fromUtf8(p.Prompt));
        ExpectReadable(p.Form,
                       QString::fromUtf8(p.Caption) + QStringLiteral(", ") + QString::fromUtf8(p.Prompt));
    }

    // The group editor and its two dialogs, with a group of the longest name that has members.
    auto group = std::make_unique<TReceiver>();
    group->Name = ToCp1251(GroupName);
    group->Members = {65533};
    AppSettings->Receivers.push_back(std::move(group));
    AccessGranted = true;
    ExpectReadable(GroupsDialog, QStringLiteral("group editor"), "groupsdialog");
    AccessGranted = true;
    GroupsDialog->show();
    RenameForm->NameLabel->setText(GroupName);
    ExpectReadable(RenameForm, QStringLiteral("rename"));
    SelectBaseForm->NameLabel->setText(GroupName);
    SelectBaseForm->BaseKind = TReceiver::bkObject;
    SelectBaseForm->BaseID = 65535;
    ExpectReadable(SelectBaseForm, QStringLiteral("Выбор базы"), "selectbase");
    GroupsDialog->hide();

    ExpectReadable(AboutBox, QStringLiteral("About box"), "aboutbox");
    AccessGranted = true;
    ExpectReadable(AddrBook, QStringLiteral("address book"));
    EnterDevIDs->IDLabel->setText(QStringLiteral("Адреса устройств, подключенных к модему 65535"));
    EnterDevIDs->DevIDs = {0xABCD, 0xFFFF, 0x0001, -1};
    ExpectReadable(EnterDevIDs, QStringLiteral("device addresses"));
    for (int mode = smNone; mode <= smManyPasswords; ++mode) {
        AppSettings->SecurityMode = mode;
        ExpectPagesReadable(SettingsDialog, SettingsDialog->PageControl1);
    }
    ObjSettingsDialog->Tag = 65535;
    ExpectPagesReadable(ObjSettingsDialog, ObjSettingsDialog->PageControl1);
    ExpectReadable(Form9, QStringLiteral("heap"));
    ExpectReadable(ModemForm, QStringLiteral("GSM modem"));
    ExpectReadable(TESMSReqForm, QStringLiteral("SMS request"));
    ExpectReadable(BKSMSReqForm, QStringLiteral("SMS request, second model"));
    for (TForm* unused : std::initializer_list<TForm*>{Form6, Form2, PasswordEnterDialog, AlarmEditDialog})
        ExpectReadable(unused, unused->objectName());
    TComSelectForm ports;
    ExpectReadable(&ports, QStringLiteral("port selection"));
    TDeviceSelectionForm devices;
    ExpectReadable(&devices, QStringLiteral("GSM modem selection"));
    AccessGranted = false;
}

// The screen's own boxes, as the operator sees them: every button reads in Russian.
TEST_F(FormsOnScreenTest, MessageBoxesShowTheirTextsWholeWithRussianButtons) {
    TFormSet forms;
    forms.CreateForms();
    MainForm->show();
    MainForm->ConnectTimer.SetEnabled(false);
    QCoreApplication::processEvents();
    const QString longest = QStringLiteral(
        "В адресной книге есть модемы с незаполненными номерами или ID\r\nУдалить все такие модемы?");
    const struct {
        TMsgDlgType Type;
        TMsgDlgButtons Buttons;
        QStringList Texts;
        const char* Picture;
    } cases[] = {
        {mtError, mbOK, {"ОК"}, nullptr},
        {mtInformation, mbOK, {"ОК"}, nullptr},
        {mtConfirmation, mbOKCancel, {"ОК", "Отмена"}, nullptr},
        {mtError, mbYesNo, {"Да", "Нет"}, "yesnobox"},
    };
    for (const auto& c : cases) {
        QStringList texts;
        QTimer look;
        look.setInterval(1);
        look.callOnTimeout([&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box || !box->isVisible())
                return;
            look.stop();
            for (const QAbstractButton* button : box->buttons())
                texts << button->text();
            Look(box, QStringLiteral("box"), c.Picture);
            box->escapeButton()->click();
        });
        look.start();
        MessageDlg(longest, c.Type, c.Buttons);
        texts.sort();
        QStringList expected = c.Texts;
        expected.sort();
        EXPECT_EQ(texts.join(' ').toStdString(), expected.join(' ').toStdString());
    }
}

// The rest of Qt's own texts (an edit's context menu, the file box) come from Qt's Russian translation.
TEST_F(FormsOnScreenTest, QtsOwnTextsAreInRussian) {
    QLineEdit edit;
    const std::unique_ptr<QMenu> menu(edit.createStandardContextMenu());
    QStringList texts;
    for (const QAction* action : menu->actions())
        texts << action->text();
    EXPECT_TRUE(texts.join(' ').contains(QStringLiteral("Копировать"))) << texts.join(' ').toStdString();
}

} // namespace
