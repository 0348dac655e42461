// Every form and box of the program, shown offscreen with the longest texts its callers give it: each
// text shows whole, nothing lies over it, and every window lies inside the screen's available area.
#include <iostream>

#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include "app/FormSet.h"
#include "core/AboutBox.h"
#include "core/DataFolder.h"
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
#include "platform/Application.h"
#include "platform/ClockSource.h"
#include "platform/Cp1251.h"
#include "platform/RadioGroup.h"
#include "platform/ScriptedDialogs.h"
#include "serial/ComSelectForm.h"
#include "serial/DeviceSelectionForm.h"
#include "sessions/GroupForms.h"
#include "tests/core/EventLogLines.h"
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

QStringList LogLines() {
    return EventLogLines(AppDataFolder + "EventLog.txt", MainForm ? MainForm->EventLog.get() : nullptr);
}

// Every indicator of the status bar, lit or not, draws into the 76 pixels its self-check expects, so
// that the check logs nothing.
void ExpectIndicatorsOfTheirWidth() {
    const std::pair<TSignal, TSignalState> steps[] = {
        {sgTcpPort, sgsOn}, {sgSend, sgsOn},     {sgReceive, sgsOn}, {sgModem, sgsChanging},
        {sgSend, sgsOff},   {sgReceive, sgsOff}, {sgModem, sgsOff},  {sgTcpPort, sgsOff},
    };
    for (const auto& [signal, state] : steps) {
        MainForm->SetSignal(signal, state);
        MainForm->StatusBar1->grab();
    }
    for (int panel : {spTcpPort, spSend, spReceive})
        EXPECT_EQ(MainForm->StatusBar1->PanelRect(panel).width(), 76) << "panel " << panel;
    const QStringList complaints = LogLines().filter(QStringLiteral("Invalid width"));
    EXPECT_TRUE(complaints.isEmpty()) << complaints.join('\n').toStdString();
}

// The horizontal runs of ink in a row of a picture, in its coordinates: columns holding a pixel much
// darker than the row's background, parted by more than gap blank columns.
std::vector<std::pair<int, int>> InkRuns(const QImage& picture, const QRect& row, int gap) {
    const int background = qGray(picture.pixel(row.right() - 2, row.center().y()));
    std::vector<std::pair<int, int>> runs;
    for (int x = row.left(); x <= row.right(); ++x) {
        bool ink = false;
        for (int y = row.top(); y <= row.bottom() && !ink; ++y)
            ink = qGray(picture.pixel(x, y)) < background - 96;
        if (!ink)
            continue;
        if (!runs.empty() && x - runs.back().second <= gap + 1)
            runs.back().second = x;
        else
            runs.emplace_back(x, x);
    }
    return runs;
}

// The horizontal extent of a control, in its window's coordinates.
std::pair<int, int> Span(const QWidget* control) {
    const QPoint left = control->mapTo(control->window(), QPoint(0, 0));
    return {left.x(), left.x() + control->width() - 1};
}

// On the page "Обновление ПО", the line of the object in its list shows each column under its heading:
// the check box under "Обновить", the number ending where "№" ends, the name and the version starting
// where theirs start, the load under "Загрузка".
void ExpectUpdateRowUnderItsHeadings(TObjectStates* object) {
    QListWidget* list = SettingsDialog->ObjectsCheckListBox;
    const auto found = std::find_if(ObjectList.begin(), ObjectList.end(),
                                    [object](const auto& o) { return o.get() == object; });
    QListWidgetItem* line = list->item(int(found - ObjectList.begin()));
    ASSERT_NE(line, nullptr);
    list->clearSelection();
    list->setCurrentItem(nullptr);
    QCoreApplication::processEvents();
    const QImage picture = SettingsDialog->grab().toImage();
    const QPoint viewport = list->viewport()->mapTo(SettingsDialog, QPoint(0, 0));
    const QRect row = list->visualItemRect(line).translated(viewport);
    const int character = QFontMetrics(list->font()).horizontalAdvance(QLatin1Char('0'));
    // The check box, the number, the name, the model, the version, the load.
    const auto runs = InkRuns(picture, row, character * 3 / 2);
    ASSERT_EQ(runs.size(), 6u) << line->text().toStdString();
    const auto heading = [](const char* name) {
        auto* label = SettingsDialog->findChild<QLabel*>(QLatin1String(name));
        EXPECT_NE(label, nullptr) << name;
        return label ? Span(label) : std::pair<int, int>{-1000, -1000};
    };
    const auto under = [](std::pair<int, int> run, std::pair<int, int> heading) {
        return run.first <= heading.second && heading.first <= run.second;
    };
    constexpr int Bearing = 1; // what a glyph's ink may lie inside its advance
    EXPECT_TRUE(under(runs[0], heading("UpdateHeading")));
    EXPECT_NEAR(runs[1].second, heading("NumberHeading").second, Bearing);
    EXPECT_NEAR(runs[2].first, heading("NameHeading").first, Bearing);
    EXPECT_NEAR(runs[3].first, heading("VersionHeading").first, Bearing);
    EXPECT_TRUE(under(runs[5], heading("LoadHeading")));
}

// On the page "GSM/GPRS" the fields of both boxes start at one line, and the three texts of the GPRS
// part, one under another, are as wide as one another.
void ExpectGsmPageOnOneGrid() {
    TObjSettingsDialog* d = ObjSettingsDialog;
    const int left = Span(d->Edit21).first;
    for (QLineEdit* edit :
         {d->Edit22, d->Edit23, d->Edit25, d->Edit13, d->Edit24, d->SMSSCAEdit, d->SMSPhoneEdit})
        EXPECT_EQ(Span(edit).first, left) << edit->objectName().toStdString();
    for (QLineEdit* edit : {d->Edit22, d->Edit23})
        EXPECT_EQ(edit->width(), d->Edit21->width()) << edit->objectName().toStdString();
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
    ExpectIndicatorsOfTheirWidth();
    Look(MainForm, QStringLiteral("main window"), "mainform");

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
    ExpectReadable(AddrBook, QStringLiteral("address book"), "addrbook");
    EnterDevIDs->IDLabel->setText(QStringLiteral("Адреса устройств, подключенных к модему 65535"));
    EnterDevIDs->DevIDs = {0xABCD, 0xFFFF, 0x0001, -1};
    ExpectReadable(EnterDevIDs, QStringLiteral("device addresses"));
    // An object that has reported its version, marked for update: a line with every column.
    TObjectStates* reported = AddObject(7, QStringLiteral("Щ"));
    reported->HwVersion = {5, 1, 2, 3};
    reported->UpdateState = 45;
    for (int mode = smNone; mode <= smManyPasswords; ++mode) {
        AppSettings->SecurityMode = mode;
        ExpectPagesReadable(SettingsDialog, SettingsDialog->PageControl1);
    }
    SettingsDialog->show();
    SettingsDialog->PageControl1->setCurrentIndex(1);
    QCoreApplication::processEvents();
    ExpectUpdateRowUnderItsHeadings(reported);
    Look(SettingsDialog, QStringLiteral("settings, update"), "settings_update");
    SettingsDialog->hide();
    ObjSettingsDialog->Tag = 65535;
    ExpectPagesReadable(ObjSettingsDialog, ObjSettingsDialog->PageControl1);
    ObjSettingsDialog->show();
    ObjSettingsDialog->PageControl1->setCurrentIndex(0);
    QCoreApplication::processEvents();
    ExpectGsmPageOnOneGrid();
    Look(ObjSettingsDialog, QStringLiteral("profile editor, GSM/GPRS"), "objsettings_gsm");
    ObjSettingsDialog->hide();
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

// The screen's own boxes, as the operator sees them: every button reads in Russian, each line of the
// text shows on one line of the box, and the box is wide enough for its caption, the program's title.
TEST_F(FormsOnScreenTest, MessageBoxesShowTheirTextsWholeWithRussianButtons) {
    TFormSet forms;
    forms.CreateForms();
    Application->SetTitle(QStringLiteral("Маршрутизатор"));
    MainForm->show();
    MainForm->ConnectTimer.SetEnabled(false);
    QCoreApplication::processEvents();
    const QString longest = QStringLiteral(
        "В адресной книге есть модемы с незаполненными номерами или ID\r\nУдалить все такие модемы?");
    const QString widest =
        QStringLiteral("В текущем режиме защиты изменение пароля контроллера не предусмотрено!");
    const struct {
        QString Text;
        TMsgDlgType Type;
        TMsgDlgButtons Buttons;
        QStringList Texts;
        const char* Picture;
    } cases[] = {
        {longest, mtError, mbOK, {"ОК"}, nullptr},
        {longest, mtInformation, mbOK, {"ОК"}, nullptr},
        {longest, mtConfirmation, mbOKCancel, {"ОК", "Отмена"}, nullptr},
        {longest, mtError, mbYesNo, {"Да", "Нет"}, "yesnobox"},
        {widest, mtInformation, mbOK, {"ОК"}, nullptr},
        {QStringLiteral("Неверный пароль!"), mtError, mbOK, {"ОК"}, "wrongpasswordbox"},
        {QStringLiteral("Невозможно отправить запрос!\rМодем не подключен!"), mtError, mbOK, {"ОК"}, nullptr},
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
            Look(box, c.Text, c.Picture);
            const auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
            EXPECT_NE(label, nullptr);
            for (const QString& line : label ? label->text().split(QLatin1Char('\n')) : QStringList())
                EXPECT_GE(label->contentsRect().width(), label->fontMetrics().horizontalAdvance(line))
                    << "wrapped: " << line.toStdString();
            EXPECT_GE(box->width(), CaptionWidth(box->windowTitle())) << c.Text.toStdString();
            box->escapeButton()->click();
        });
        look.start();
        MessageDlg(c.Text, c.Type, c.Buttons);
        texts.sort();
        QStringList expected = c.Texts;
        expected.sort();
        EXPECT_EQ(texts.join(' ').toStdString(), expected.join(' ').toStdString());
    }
    Application->SetTitle(QString());
}

// Escape in a dialog with a Cancel or Close button does what that button does, the dialog shown as the
// program shows it: modally, or, for the settings, not.
TEST_F(FormsOnScreenTest, EscapeIsTheCancelOrCloseButtonOfEveryDialog) {
    TScriptedDialogs dialogs(FailTest);
    TFormSet forms;
    forms.CreateForms();
    MainForm->show();
    MainForm->ConnectTimer.SetEnabled(false);
    QCoreApplication::processEvents();
    const auto escape = [](QWidget* form) {
        QWidget* target = form->focusWidget() ? form->focusWidget() : form;
        QTest::keyClick(target, Qt::Key_Escape);
    };

    AccessGranted = true;
    MainForm->setEnabled(false); // as the settings command leaves it
    SettingsDialog->show();
    QCoreApplication::processEvents();
    escape(SettingsDialog);
    EXPECT_FALSE(SettingsDialog->isVisible()) << "Настройки и сервис";
    EXPECT_TRUE(MainForm->isEnabled());
    EXPECT_FALSE(AccessGranted);

    TComSelectForm ports;
    TDeviceSelectionForm devices;
    // Its first show asks the telephony for its lines, which runs events before the dialog's loop does.
    devices.show();
    QCoreApplication::processEvents();
    devices.hide();
    const struct {
        TForm* Form;
        int Result; // what its Cancel or Close button gives
    } modal[] = {
        {PasswordEnter, mrCancel},
        {PasswordUpdate, mrCancel},
        {GroupsDialog, mrCancel},
        {RenameForm, mrCancel},
        {SelectBaseForm, mrCancel},
        {AddrBook, mrCancel},
        {EnterDevIDs, mrCancel},
        {ObjSettingsDialog, mrCancel},
        {Form9, mrCancel},
        {BKSMSReqForm, mrNo},
        {Form6, mrCancel},
        {Form2, mrCancel},
        {PasswordEnterDialog, mrCancel},
        {AlarmEditDialog, mrCancel},
        {&ports, mrAbort},
        {&devices, mrCancel},
    };
    for (const auto& m : modal) {
        AccessGranted = true;
        bool escaped = false;
        WhenModal(*m.Form, [&] {
            escape(m.Form);
            escaped = !m.Form->isVisible();
            if (!escaped)
                m.Form->SetModalResult(mrAbort + 100); // ends the loop for the next case
        });
        const int result = m.Form->ShowModal();
        EXPECT_TRUE(escaped) << m.Form->objectName().toStdString();
        EXPECT_EQ(result, m.Result) << m.Form->objectName().toStdString();
    }
    AccessGranted = false;
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
