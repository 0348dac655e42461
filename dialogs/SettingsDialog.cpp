// The settings dialog as a whole (construction, showing and closing, the change tests, the apply
// sequence) and its general page: TCP port, event log, security mode and passwords.
#include "dialogs/SettingsDialog.h"

#include <algorithm>

#include <QCheckBox>
#include <QLineEdit>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>

#include "core/Bitmaps.h"
#include "core/EventLog.h"
#include "core/MainForm.h"
#include "core/ObjectRegistry.h"
#include "core/Settings.h"
#include "dialogs/EditEvents.h"
#include "dialogs/PasswordUpdate.h"
#include "platform/Cp1251.h"
#include "platform/Image.h"
#include "platform/OpenDialog.h"
#include "platform/RadioGroup.h"
#include "serial/TapiDevice.h"
#include "sessions/ConnectionForm.h"

TSettingsDialog* SettingsDialog = nullptr;

namespace {

struct TModeTexts {
    const char* Help;
    const char* Button;
};

// By security mode.
const TModeTexts ModeTexts[] = {
    {"Пароли не используются", "Ввести пароль"},
    {"Паролем защищается вход в настройки программы", "Ввести пароль к настройкам"},
    {"Вводится один системный пароль, которым защищается вход в настройки и подключение всех модемов",
     "Ввести системный пароль"},
    {"Вводится один системный пароль, которым защищается запуск программы, вход в настройки и подключение "
     "всех модемов",
     "Ввести системный пароль"},
    {"Системным паролем защищается запуск программы и вход в настройки. Каждый модем защищается "
     "собственным паролем",
     "Ввести системный пароль"},
};

// An emptied edit becomes 1 when it is left. The change tests read an edit that holds no number as 1
// (the log size) and 5 (the period), and a commit as 10 and 5: OK given with Enter inside an emptied
// edit, which was never left, commits those.
constexpr TNumberLimits LogSizeExitLimits{1, MinLogSizeMB, MaxLogSizeMB};
constexpr TNumberLimits LogSizeChangeLimits{1, MinLogSizeMB, MaxLogSizeMB};
constexpr TNumberLimits LogSizeCommitLimits{10, MinLogSizeMB, MaxLogSizeMB};
constexpr TNumberLimits ExtraPeriodExitLimits{1, 1, 99};
constexpr TNumberLimits ExtraPeriodLimits{5, 1, 99};

std::string PhoneText(const QLineEdit* edit) {
    return ToCp1251(edit->text()).substr(0, 16);
}

} // namespace

TSettingsDialog::TSettingsDialog(QWidget* owner) : TForm(owner) {
    setObjectName(QStringLiteral("SettingsDialog"));
    SetCaption(QStringLiteral("Настройки и сервис"));
    passOn_ = std::make_unique<QPixmap>(LoadBitmap("PASS_ON"));
    passOff_ = std::make_unique<QPixmap>(LoadBitmap("PASS_OFF"));
    OpenDialog2 = std::make_unique<TOpenDialog>();
    OpenDialog2->Filter = QStringLiteral("Файлы ПО контроллера (*.prg)|*.prg|Все файлы (*.*)|*.*");
    SioTapiDevice1 = std::make_unique<TSioTapiDevice>(this);
    CreateControls();
    AppSettings = new TSettings;
}

TSettingsDialog::~TSettingsDialog() {
    FreeSWImages();
    delete AppSettings;
    AppSettings = nullptr;
}

void TSettingsDialog::FormShow() {
    if (!AccessGranted)
        return;
    SettingsToDialog();
    InitSMSPanel();
}

void TSettingsDialog::FormClose() {
    if (MainForm)
        MainForm->setEnabled(true);
    AccessGranted = false;
}

void TSettingsDialog::ButtonOKClick() {
    if (ApplySettings())
        close();
}

void TSettingsDialog::ButtonCancelClick() {
    close();
}

void TSettingsDialog::ApplyButtonClick() {
    ApplySettings();
    SettingsToDialog();
}

bool TSettingsDialog::ApplySettings() {
    if (!AccessGranted)
        return false;
    const bool portChanged = InternetSettingsChanged();
    bool serverWasOpen = false;
    if (portChanged && ConnectionForm)
        serverWasOpen = ConnectionForm->ClosePort(false);
    const bool versionsChanged = SWVersionChanged();
    if (portChanged || GeneralSettingsChanged() || versionsChanged || SWSettingsChanged())
        DialogToSettings();
    if (ConnectionForm)
        ConnectionForm->ApplySWSettings(versionsChanged);
    if (MainForm)
        MainForm->WriteStates();
    if (portChanged && ConnectionForm) {
        ConnectionForm->ApplyInternetSettings();
        if (serverWasOpen)
            ConnectionForm->OpenPort();
    }
    ApplyGeneralSettings();
    if (MainForm)
        MainForm->UpdateAll();
    return true;
}

void TSettingsDialog::SettingsToDialog() {
    const TSettings& s = *AppSettings;
    TcpPortEdit->setText(QString::number(s.TcpPort));
    LogSizeEdit->setText(QString::number(s.LogSizeMB));
    NoLoggingCheckBox->setChecked(s.NoLogging != 0);
    NewSettingsPassword = PasswordText(s.Password);
    NewSystemPassword = SystemPassword;
    SecurityModeRadioGroup->SetItemIndex(s.SecurityMode);
    SecurityModeRadioGroupClick();
    ExtraPeriodEdit->setText(QString::number(s.ExtraPeriod));
    ExtraInfoCheckBox->setChecked(s.ExtraInfo != 0);
    ExtraInfoCheckBoxClick();
    PhoneNumberEdit->setText(FromCp1251(FixedText(s.DispatcherPhone)));
    ShowSWPages();
}

// The stored port, shown untouched, stays as it is even outside the range an operator may type (a
// file may hold 80): moving the server would drop every modem. What was typed is held in range.
bool TSettingsDialog::TcpPortUntouched() const {
    return TcpPortEdit->text() == QString::number(AppSettings->TcpPort);
}

int TSettingsDialog::TcpPortValue() const {
    return TcpPortUntouched() ? AppSettings->TcpPort : EditNumber(TcpPortEdit, TcpPortLimits);
}

bool TSettingsDialog::InternetSettingsChanged() const {
    return TcpPortValue() != AppSettings->TcpPort;
}

bool TSettingsDialog::GeneralSettingsChanged() const {
    const TSettings& s = *AppSettings;
    return EditNumber(LogSizeEdit, LogSizeChangeLimits) != s.LogSizeMB ||
           NoLoggingCheckBox->isChecked() != (s.NoLogging != 0) || SelectedMode() != s.SecurityMode ||
           PasswordText(s.Password) != NewSettingsPassword || SystemPassword != NewSystemPassword ||
           EditNumber(ExtraPeriodEdit, ExtraPeriodLimits) != s.ExtraPeriod ||
           ExtraInfoCheckBox->isChecked() != (s.ExtraInfo != 0) ||
           PhoneText(PhoneNumberEdit) != FixedText(s.DispatcherPhone);
}

void TSettingsDialog::DialogToSettings() {
    TSettings& s = *AppSettings;
    s.TcpPort = TcpPortValue();
    s.LogSizeMB = EditNumber(LogSizeEdit, LogSizeCommitLimits);
    s.NoLogging = NoLoggingCheckBox->isChecked();
    s.ExtraPeriod = EditNumber(ExtraPeriodEdit, ExtraPeriodLimits);
    s.ExtraInfo = ExtraInfoCheckBox->isChecked();
    s.SecurityMode = SelectedMode();
    switch (s.SecurityMode) {
    case smNone:
        s.Password = MakePassword(NoPassword);
        SystemPassword = NoPassword;
        break;
    case smSettingsOnly:
        s.Password = MakePassword(NewSettingsPassword);
        SystemPassword = NoPassword;
        break;
    default:
        s.Password = MakePassword(NewSystemPassword);
        SystemPassword = PasswordText(s.Password);
        break;
    }
    if (MainForm)
        MainForm->PrepareKeys();
    SetFixedText(s.DispatcherPhone, PhoneText(PhoneNumberEdit));
    CommitSW();
}

void TSettingsDialog::ApplyGeneralSettings() {
    const TSettings& s = *AppSettings;
    TEventLog* log = MainForm ? MainForm->EventLog.get() : nullptr;
    if (!s.NoLogging && EventLogHandle < 0 && log && log->OpenLog())
        MainForm->CheckLogChange(EventLogHandle, EventLogBaseName, LogSizeLimit(s.LogSizeMB));
    if (MainForm)
        MainForm->RestartExtraInfoTimer();
    if (s.NoLogging && EventLogHandle >= 0 && log)
        log->CloseLog();
}

int TSettingsDialog::SelectedMode() const {
    const int index = SecurityModeRadioGroup->ItemIndex();
    return index >= 0 ? index : AppSettings->SecurityMode;
}

void TSettingsDialog::SecurityModeRadioGroupClick() {
    const int mode = SecurityModeRadioGroup->ItemIndex();
    const TModeTexts& texts = ModeTexts[std::clamp(mode, 0, int(smManyPasswords))];
    EnterPasswordButton->setEnabled(mode > smNone);
    HelpMemo->setPlainText(QString::fromUtf8(texts.Help));
    EnterPasswordButton->setText(QString::fromUtf8(texts.Button));
    bool set = false;
    if (mode == smSettingsOnly)
        set = NewSettingsPassword != NoPassword;
    else if (mode > smSettingsOnly)
        set = NewSystemPassword != NoPassword;
    PassImage->SetPicture(set ? *passOn_ : *passOff_);
}

void TSettingsDialog::EnterPasswordButtonClick() {
    const int mode = SecurityModeRadioGroup->ItemIndex();
    if (mode <= smNone || !PasswordUpdate)
        return;
    const bool settingsOnly = mode == smSettingsOnly;
    PasswordUpdate->SetCaption(settingsOnly ? QStringLiteral("Ввод пароля")
                                            : QStringLiteral("Изменение системного пароля"));
    PasswordUpdate->InfoLabel->setText(settingsOnly
                                           ? QStringLiteral("Введите пароль для доступа к настройкам")
                                           : QStringLiteral("Введите системный пароль"));
    if (PasswordUpdate->ShowModal() == mrOk) {
        NewSettingsPassword = PasswordUpdate->Password;
        NewSystemPassword = settingsOnly ? std::string(NoPassword) : PasswordUpdate->Password;
    }
    SecurityModeRadioGroupClick();
}

void TSettingsDialog::TcpPortEditExit() {
    if (!TcpPortUntouched())
        HoldInRange(TcpPortEdit, TcpPortLimits);
}

void TSettingsDialog::LogSizeEditExit() {
    HoldInRange(LogSizeEdit, LogSizeExitLimits);
}

void TSettingsDialog::ExtraPeriodEditExit() {
    HoldInRange(ExtraPeriodEdit, ExtraPeriodExitLimits);
}

void TSettingsDialog::ExtraInfoCheckBoxClick() {
    const bool on = ExtraInfoCheckBox->isChecked();
    ExtraPeriodEdit->setEnabled(on);
    ExtraPeriodLabel->setEnabled(on);
}

void TSettingsDialog::TimeoutEditKeyPress(QChar& key) {
    DigitKeyFilter(key);
}

void TSettingsDialog::PhoneNumberEditKeyPress(QChar& key) {
    if (key != QLatin1Char('+'))
        TimeoutEditKeyPress(key);
}
