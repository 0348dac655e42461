// The profile editor's operations: reading and writing the profile over TCP and by SMS, the key change,
// the hooks of the session manager and the GSM modem window, and the moving of the profile between the
// controls and the profile image.
#include "dialogs/ObjSettingsDialog.h"

#include <algorithm>
#include <exception>
#include <string>

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QTabWidget>

#include "core/MainForm.h"
#include "core/ObjectRegistry.h"
#include "core/Settings.h"
#include "dialogs/EditEvents.h"
#include "dialogs/PasswordUpdate.h"
#include "gsm/ModemForm.h"
#include "platform/Cp1251.h"
#include "platform/Image.h"
#include "platform/RadioGroup.h"
#include "sessions/ConnectionForm.h"

TObjSettingsDialog* ObjSettingsDialog = nullptr;
bool PendingSecondPart = false;

namespace {

// The largest session in minutes: it is stored doubled in 16 bits.
constexpr int MaxSessionMinutes = 0xFFFF / 2;
constexpr int MaxPort = 0xFFFF;
// Encoding failed with an exception.
constexpr int ExceptionCode = 9;

// The page that holds a field the profile cannot store, and the end of the message about it.
struct TFieldError {
    int Code;
    int Page; // -1: the page shown
    const char* Suffix;
};

const TFieldError FieldErrors[] = {
    {1, 2, "ый номер для голосовой связи"},
    {2, 0, "ый номер SMS-центра"},
    {3, 0, "ый номер SMS-потока №1"},
    {5, 0, "ая длина APN"},
    {6, 0, "ая длина имени пользователя"},
    {7, 0, "ая длина пароля"},
    {8, 0, "ый IP-адрес"},
    {ExceptionCode, -1, "ый профиль"},
};

std::string EditText(const QLineEdit* edit) {
    return ToCp1251(edit->text());
}

// The form's length limits what the operator types. A value read from the modem is shown whole even
// beyond it (the edit would cut it), so that a write sends it back as it came; clearing the controls
// gives the form's length back.
const char* const FormLength = "FormLength";

void ShowRead(QLineEdit* edit, const QString& text) {
    if (!edit->property(FormLength).isValid())
        edit->setProperty(FormLength, edit->maxLength());
    edit->setMaxLength(std::max(edit->property(FormLength).toInt(), int(text.size())));
    edit->setText(text);
}

void SetEditText(QLineEdit* edit, const char* text) {
    ShowRead(edit, FromCp1251(text));
}

// The edit's number held in 0..max (the edit rewritten when it was beyond); false when it holds none.
bool ReadNumber(QLineEdit* edit, int max, int& value) {
    int32_t number = 0;
    if (!TryStrToInt(EditText(edit), number))
        return false;
    value = std::clamp(number, 0, max);
    if (value != number)
        edit->setText(QString::number(value));
    return true;
}

// Every control inside parent, through the containers but not into compound controls (a combo box's
// own parts are not the form's controls).
template <class F> void ForEachControl(QWidget* parent, F&& action) {
    for (QWidget* w : parent->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
        action(w);
        if (qobject_cast<QGroupBox*>(w) || w->metaObject() == &QWidget::staticMetaObject)
            ForEachControl(w, action);
    }
}

// The controls placed directly on the pages.
template <class F> void ForEachPlacedControl(QTabWidget* pages, F&& action) {
    for (int i = 0; i < pages->count(); ++i)
        for (QWidget* w : pages->widget(i)->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly))
            action(w);
}

// Of two radio buttons that should exclude each other, the second is set to the opposite of the first
// when both are alike.
void Exclude(const QRadioButton* first, QRadioButton* second) {
    if (first->isChecked() == second->isChecked())
        second->setChecked(!first->isChecked());
}

void SetEnabled(std::initializer_list<QWidget*> controls, bool enabled) {
    for (QWidget* w : controls)
        w->setEnabled(enabled);
}

// Runs an encoder; an exception is logged after the prefix and gives ExceptionCode.
template <class F> int Guarded(const char* prefix, F encode) {
    try {
        return encode();
    } catch (const std::exception& e) {
        if (MainForm)
            MainForm->PrintMessage(prefix + std::string(e.what()));
        return ExceptionCode;
    }
}

void ShowError(const QString& text) {
    MessageDlg(text, mtError, mbOK);
}

} // namespace

TObjSettingsDialog::TObjSettingsDialog(QWidget* owner) : TForm(owner) {
    setObjectName(QStringLiteral("ObjSettingsDialog"));
    SetCaption(QStringLiteral("Настройки контроллера объекта"));
    CreateControls();
    for (TTimer* timer : {&InfoTimer, &SMSErrorTimer, &ProfileErrorTimer}) {
        timer->SetEnabled(false);
        timer->SetInterval(100);
    }
    InfoTimer.SetOnTimer([this] { InfoTimerTimer(); });
    SMSErrorTimer.SetOnTimer([this] { SMSErrorTimerTimer(); });
    ProfileErrorTimer.SetOnTimer([this] { ProfileErrorTimerTimer(); });
}

TObjectStates* TObjSettingsDialog::EditedObject() const {
    return FindObjectByNum(Tag);
}

bool TObjSettingsDialog::SmsAvailable() {
    return ModemState == msReady && !SmsSendPending && ModemForm;
}

void TObjSettingsDialog::ShowImpossible(const char* action, const char* reason) {
    ShowError(
        QStringLiteral("Невозможно %1!\r\n%2!").arg(QString::fromUtf8(action), QString::fromUtf8(reason)));
}

// Buttons and locks.

void TObjSettingsDialog::UpdateButtons() {
    const TObjectStates* object = EditedObject();
    const bool available = SmsAvailable() || (object && object->Connected);
    LoadButton->setEnabled(available);
    SaveButton->setEnabled(available && (LoadedParts & (Part1 | Part2)));
}

void TObjSettingsDialog::DisableButtons() {
    LoadButton->setEnabled(false);
    SaveButton->setEnabled(false);
}

void TObjSettingsDialog::EnableGroupBoxes(bool enable) {
    ForEachPlacedControl(PageControl1, [&](QWidget* placed) {
        if (enable && !(placed->property("Tag").toUInt() & LoadedParts))
            return;
        placed->setEnabled(enable);
        ForEachControl(placed, [enable](QWidget* w) { w->setEnabled(enable); });
    });
}

void TObjSettingsDialog::OperationStarted() {
    PageControl1->setEnabled(false);
    EnableGroupBoxes(false);
    DisableButtons();
}

void TObjSettingsDialog::OperationDone() {
    SetCaption(QStringLiteral("Профиль объекта №%1").arg(Tag));
    PageControl1->setEnabled(true);
    EnableGroupBoxes(true);
    OperationState = opIdle;
}

void TObjSettingsDialog::ClearControls() {
    ForEachPlacedControl(PageControl1, [](QWidget* placed) {
        ForEachControl(placed, [](QWidget* w) {
            if (auto* edit = qobject_cast<QLineEdit*>(w)) {
                edit->clear();
                if (const QVariant length = edit->property(FormLength); length.isValid())
                    edit->setMaxLength(length.toInt());
            } else if (auto* check = qobject_cast<QCheckBox*>(w))
                check->setChecked(false);
            else if (auto* combo = qobject_cast<QComboBox*>(w))
                combo->setCurrentIndex(0);
            else if (auto* radios = dynamic_cast<TRadioGroup*>(w))
                radios->SetItemIndex(0);
        });
    });
}

void TObjSettingsDialog::FormShow() {
    PageControl1->setCurrentIndex(0);
    ClearControls();
}

void TObjSettingsDialog::FormClose() {
    LoadedParts = 0xFFFF;
    // A second part whose first one is still out goes nowhere once the dialog is closed.
    PendingSecondPart = false;
    OperationDone();
    UpdateButtons();
    ClearControls();
}

// Reading.

void TObjSettingsDialog::LoadButtonClick() {
    const TObjectStates* object = EditedObject();
    if (!AccessGranted || !object || !object->Connected || !ConnectionForm)
        return;
    const int r = ConnectionForm->QueryProfile(Tag);
    if (r == rrNotDone)
        ShowError(QStringLiteral("Ошибка чтения профиля!"));
    else if (r == rrNotConnected)
        ShowImpossible("считать профиль", "Объект не подключен");
    if (r != rrDone && r != rrQueued)
        return;
    SetCaption(QStringLiteral("Профиль модкма №%1 - идет считывание").arg(Tag));
    OperationState = opReading;
    OperationStarted();
    SavedParts = LoadedParts;
    LoadedParts = 0;
    if (!isVisible())
        ShowModal();
}

void TObjSettingsDialog::MergeProfileImage(const ObjProfile* profile) {
    if (!(LoadedParts & (Part1 | Part2)) || ProfileObject != Tag) {
        Profile = *profile;
        ProfileObject = Tag;
        return;
    }
    auto* to = reinterpret_cast<std::uint8_t*>(&Profile);
    const auto* from = reinterpret_cast<const std::uint8_t*>(profile);
    for (std::size_t i = 0; i < sizeof Profile; ++i)
        to[i] |= from[i];
}

void TObjSettingsDialog::DecodeProfile1(ObjProfile* profile, bool) {
    MergeProfileImage(profile);
    char text[34];
    Bcd_ToDigits(text, Profile.ConnectPhone);
    SetEditText(ConnectPhoneEdit, text);
    QLineEdit* strings[] = {Edit21, Edit22, Edit23};
    for (int field = PROF_STR_APN; field <= PROF_STR_PASSWORD; ++field) {
        Prof_GetStr(field, &Profile, text);
        SetEditText(strings[field], text);
    }
    Ip_ToStr(Profile.ServerIp, text);
    SetEditText(Edit25, text);
    ShowSessionAndPort();
    LoadedParts |= Part1;
}

void TObjSettingsDialog::DecodeProfile2(ObjProfile* profile, bool) {
    MergeProfileImage(profile);
    char text[17];
    Bcd_ToDigits(text, Profile.SmsCentre);
    SetEditText(SMSSCAEdit, text);
    Bcd_ToDigits(text, Profile.SmsPhone);
    SetEditText(SMSPhoneEdit, text);
    ShowSessionAndPort();
    LoadedParts |= Part2;
}

void TObjSettingsDialog::ShowSessionAndPort() {
    ShowRead(Edit24, QString::number(Profile.Session / 2));
    ShowRead(Edit12, QString::number(Profile.ServerPort));
}

// An edit without a number keeps the value read; so does a session shown unchanged, which keeps an odd
// value that the halved display cannot show.
void TObjSettingsDialog::ReadSessionAndPort() {
    int value = 0;
    if (ReadNumber(Edit24, MaxSessionMinutes, value) && value != Profile.Session / 2)
        Profile.Session = std::uint16_t(value * 2);
    if (ReadNumber(Edit12, MaxPort, value))
        Profile.ServerPort = std::uint16_t(value);
}

// Writing.

int TObjSettingsDialog::EncodeProfile1() {
    if (Digits_ToBcd(EditText(ConnectPhoneEdit).c_str(), Profile.ConnectPhone) != 1)
        return 1;
    const QLineEdit* strings[] = {Edit21, Edit22, Edit23};
    for (int field = PROF_STR_APN; field <= PROF_STR_PASSWORD; ++field)
        if (Prof_SetStr(field, &Profile, EditText(strings[field]).c_str()) != 1)
            return 5 + field;
    std::uint32_t ip = 0;
    if (Ip_FromStr(&ip, EditText(Edit25).c_str()) != 1)
        return 8;
    Profile.ServerIp = ip;
    ReadSessionAndPort();
    return 0;
}

int TObjSettingsDialog::EncodeProfile2() {
    if (Digits_ToBcd(EditText(SMSSCAEdit).c_str(), Profile.SmsCentre) != 1)
        return 2;
    if (Digits_ToBcd(EditText(SMSPhoneEdit).c_str(), Profile.SmsPhone) != 1)
        return 3;
    return 0;
}

int TObjSettingsDialog::EncodeProfile() {
    int e = 0;
    if (LoadedParts & Part1)
        e = Guarded("SM: profile1 encoding error - ", [this] { return EncodeProfile1(); });
    if (e == 0 && (LoadedParts & Part2))
        e = Guarded("SM: profile2 encoding error - ", [this] { return EncodeProfile2(); });
    return e;
}

void TObjSettingsDialog::SaveButtonClick() {
    if (!AccessGranted)
        return;
    // After a read that was cut short the image may hold another object's profile, or none: what the
    // form does not show (the configuration bytes) would be written from it.
    if ((LoadedParts & (Part1 | Part2)) && ProfileObject != Tag) {
        ShowImpossible("записать профиль", "Профиль объекта не считан");
        return;
    }
    if (const int e = EncodeProfile(); e != 0) {
        const TFieldError* error = std::find_if(std::begin(FieldErrors), std::end(FieldErrors),
                                                [e](auto& f) { return f.Code == e; });
        if (error->Page >= 0)
            PageControl1->setCurrentIndex(error->Page);
        ShowError(QStringLiteral("Ошибка записи профиля!\r\nНекорректн") + QString::fromUtf8(error->Suffix));
        return;
    }
    const std::uint32_t parts = LoadedParts & (Part1 | Part2);
    TObjectStates* object = EditedObject();
    if (!parts || !object)
        return;
    if (object->Connected && ConnectionForm) {
        const int r = ConnectionForm->SetProfile(Tag, &Profile, parts);
        if (r == rrDone || r == rrQueued) {
            OperationStarted();
            OperationState = opWriting;
        } else if (r == rrNotDone) {
            ShowError(QStringLiteral("Ошибка записи профиля!"));
        } else if (r == rrNotConnected) {
            ShowImpossible("записать профиль", "Объект не подключен");
        }
        return;
    }
    if (!SmsAvailable())
        return;
    if (MessageDlg(QStringLiteral("Невозможно отправить команду через TCP/IP!\r\nОтправить с помощью SMS?"),
                   mtConfirmation, mbOKCancel) != mrOk)
        return;
    // Both parts do not fit into one SMS: part 1 goes now, part 2 once it was sent.
    const std::uint32_t first = parts == (Part1 | Part2) ? Part1 : parts;
    const int r = ModemForm->SetProfile(object, &Profile, first);
    if (r == srQueued) {
        OperationStarted();
        OperationState = opWritingBySms;
        PendingSecondPart = first != parts;
    } else if (r == srNoPhone) {
        ShowError(QStringLiteral("Не задан номер телефона объекта!"));
    } else if (r == srNotFormed) {
        ShowError(QStringLiteral("Ошибка формирования запроса!"));
    }
}

// The key change.

void TObjSettingsDialog::PasswordButtonClick() {
    if (!AppSettings || AppSettings->SecurityMode < smSettingsAndObjects) {
        MessageDlg(QStringLiteral("В текущем режиме защиты изменение пароля контроллера не предусмотрено!"),
                   mtInformation, mbOK);
        return;
    }
    if (!AccessGranted || !PasswordUpdate || !ConnectionForm)
        return;
    PasswordUpdate->SetCaption(QStringLiteral("Изменение пароля"));
    PasswordUpdate->InfoLabel->setText(QStringLiteral("Введите пароль для объекта № %1").arg(Tag));
    if (PasswordUpdate->ShowModal() != mrOk)
        return;
    switch (ConnectionForm->SetKey(Tag, PasswordUpdate->Password)) {
    case rrDone:
        SetCaption(QStringLiteral("Профиль объекта №%1 - идет запись пароля").arg(Tag));
        OperationStarted();
        OperationState = opWritingKey;
        break;
    case rrNotDone:
        ShowError(QStringLiteral("Ошибка записи пароля!"));
        break;
    case rrLinkBusy:
        ShowImpossible("записать пароль", "Идет обмен данными");
        break;
    case rrNotConnected:
        ShowImpossible("записать пароль", "Объект не подключен");
        break;
    }
}

void TObjSettingsDialog::InfoTimerTimer() {
    InfoTimer.SetEnabled(false);
    if (MessageDlg(QStringLiteral("Пароль успешно записан и вступит в силу\r\nпри следующем соединении с "
                                  "объектом\r\nРазорвать текущее соединение?"),
                   mtConfirmation, mbYesNo) != mrYes)
        return;
    if (ConnectionForm)
        ConnectionForm->CloseChangedKeyConnection(Tag);
    ConnectionLost();
}

// Hooks of the session manager.

void TObjSettingsDialog::ObjectConnected() {
    if (OperationState != opWritingBySms)
        UpdateButtons();
}

void TObjSettingsDialog::ConnectionLost() {
    const char* action = nullptr;
    switch (OperationState) {
    case opReading:
        action = "считать профиль";
        LoadedParts = SavedParts;
        break;
    case opWriting:
        action = "записать профиль";
        break;
    case opWritingKey:
        action = "записать пароль";
        break;
    }
    OperationDone();
    UpdateButtons();
    if (action)
        ShowImpossible(action, "Связь с объектом прервана");
}

// Hooks of the GSM modem window.

void TObjSettingsDialog::OnModemConnected() {
    UpdateButtons();
}

void TObjSettingsDialog::OnModemDisconnected() {
    OnSMSFailed();
}

void TObjSettingsDialog::OnSMSSent() {
    OperationDone();
    UpdateButtons();
    if (!PendingSecondPart)
        return;
    PendingSecondPart = false;
    TObjectStates* object = EditedObject();
    const int r = object && ModemForm ? ModemForm->SetProfile(object, &Profile, Part2) : srNotFormed;
    if (r == srQueued) {
        OperationStarted();
        OperationState = opWritingBySms;
    } else if (r != srNoPhone) {
        ProfileErrorTimer.SetEnabled(true);
    }
}

void TObjSettingsDialog::OnSMSFailed() {
    if (OperationState == opWritingBySms)
        SMSErrorTimer.SetEnabled(true);
    // The second part of a write whose first part failed is not sent after some later SMS.
    PendingSecondPart = false;
    OperationDone();
    UpdateButtons();
}

void TObjSettingsDialog::SMSErrorTimerTimer() {
    SMSErrorTimer.SetEnabled(false);
    ShowImpossible("записать профиль", "Ошибка отправки SMS-сообщения");
}

void TObjSettingsDialog::ProfileErrorTimerTimer() {
    ProfileErrorTimer.SetEnabled(false);
    ShowError(QStringLiteral("Ошибка формирования запроса!"));
}

// Key filters and interlocks.

void TObjSettingsDialog::NumEditKeyPress(QChar& key) {
    DigitKeyFilter(key);
}

void TObjSettingsDialog::NumDotEditKeyPress(QChar& key) {
    DigitDotKeyFilter(key);
}

void TObjSettingsDialog::NumHexEditKeyPress(QChar& key) {
    HexDigitKeyFilter(key);
}

void TObjSettingsDialog::Edit12Exit() {
    HoldInRange(Edit12, TcpPortLimits);
}

void TObjSettingsDialog::RS232RadioButtonClick() {
    SetEnabled({RTCCheckBox, DCDRadioGroup}, RS232RadioButton->isChecked());
    Exclude(RS232RadioButton, RS485RadioButton);
}

void TObjSettingsDialog::RS485RadioButtonClick() {
    SetEnabled({RTimeCheckBox, RTimeEdit, RTimeRadioButton1, RTimeRadioButton100, STimeEdit,
                STimeRadioButton1, STimeRadioButton100, ETimeEdit, ETimeRadioButton1, ETimeRadioButton100,
                DataImage},
               RS485RadioButton->isChecked());
    Exclude(RS485RadioButton, RS232RadioButton);
}

void TObjSettingsDialog::TimeoutRadioButtonClick() {
    SetEnabled({TimeoutEdit, TimeoutLabel}, TimeoutRadioButton->isChecked());
    Exclude(TimeoutRadioButton, SymbolRadioButton);
}

void TObjSettingsDialog::SymbolRadioButtonClick() {
    SetEnabled({SymbolEdit, SymbolLabel}, SymbolRadioButton->isChecked());
    Exclude(SymbolRadioButton, TimeoutRadioButton);
}

// The label shows, between double quotes, the character whose code the edit holds in hexadecimal.
void TObjSettingsDialog::SymbolEditChange() {
    bool hex = false;
    const uint code = SymbolEdit->text().toUInt(&hex, 16);
    const QString symbol = hex && code <= 0xFF ? FromCp1251(std::string(1, char(code))) : QStringLiteral(" ");
    SymbolLabel->setText(QLatin1Char('"') + symbol + QLatin1Char('"'));
}

void TObjSettingsDialog::InstantConnectCheckBoxClick() {
    SetEnabled({ConnectGroupBox, DisconnectGroupBox}, !InstantConnectCheckBox->isChecked());
}
