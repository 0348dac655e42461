// The profile editor "Настройки контроллера объекта": reads the profile of one object's modem, lets the
// operator edit its GPRS, server and SMS fields, and writes it back over the modem's TCP connection or,
// when that is gone and the GSM modem is ready, by SMS. It also sends a new modem key at once.
//
// The main window puts the object number into Tag and calls LoadButtonClick, which starts a read and
// shows the dialog modally. The answers come later through the hooks: the session manager and the GSM
// modem window call them only while the dialog is visible, and the session manager, but for the key
// acknowledgement, only for the object in Tag. While an operation runs the pages and the read and write
// buttons are locked; every answer, acknowledgement, SMS outcome and end of the object's connection
// unlocks them. Messages about something that happened inside a notification are shown 100 ms later
// by a one-shot timer, outside it.
//
// Of the five pages only the fields of the "GSM/GPRS" page and the connect number are backed by the
// profile; the other controls are cleared and enabled like the rest, and never sent. The edits keep the
// form's lengths: the APN 32 characters, user name and password 30 (the profile holds 20, so a longer
// one is refused when written), phone numbers 15 digits, the session 3 digits (minutes, stored
// doubled), the port 5 digits up to 65535. They limit what is typed: a longer value read from the
// modem (a session of 1000 minutes or more, a number of 16 digits) is shown whole and written back as
// it came.
//
// Profile holds the answers of one object's read only; a write to any other object is refused, so
// that no value read from one modem ever reaches another. Main thread only.
#pragma once

#include <cstdint>

#include "platform/Forms.h"
#include "platform/Timer.h"
#include "protocol/tmgsm.h"

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTabWidget;
class QWidget;
class TImage;
class TObjectStates;
class TRadioGroup;

// Profile part 2 still has to go out by SMS once part 1 was sent.
extern bool PendingSecondPart;

class TObjSettingsDialog : public TForm {
public:
    explicit TObjSettingsDialog(QWidget* owner = nullptr);

    // What the dialog is doing.
    enum TOperation { opIdle = 0, opReading = 1, opWriting = 2, opWritingKey = 3, opWritingBySms = 5 };
    // Profile parts in LoadedParts: the request bits of the two profile writes.
    static constexpr std::uint32_t Part1 = REQ_SET_PROFILE1, Part2 = REQ_SET_PROFILE2;

    // Reads the profile of object Tag (when access was granted and the object is connected) and shows
    // the dialog modally unless it is visible already.
    virtual void LoadButtonClick();
    // Writes the loaded parts over TCP, or offers to send them by SMS.
    void SaveButtonClick();
    // The key change; no control of the form runs it.
    void PasswordButtonClick();

    // Hooks of the session manager.
    virtual void ObjectConnected();
    virtual void ConnectionLost();
    virtual void DecodeHwInfo(const HwInfo& info) { (void)info; }
    virtual void DecodeProfile1(ObjProfile* profile, bool authFlag);
    virtual void DecodeProfile2(ObjProfile* profile, bool authFlag);
    virtual void OperationDone();
    virtual void UpdateButtons();
    // Hooks of the GSM modem window: the modem became ready or is being disconnected; the pending SMS
    // went out or could not be sent.
    virtual void OnModemConnected();
    virtual void OnModemDisconnected();
    virtual void OnSMSSent();
    virtual void OnSMSFailed();

    // Key filters: digits; digits and "."; hexadecimal digits (backspace always passes).
    static void NumEditKeyPress(QChar& key);
    static void NumDotEditKeyPress(QChar& key);
    static void NumHexEditKeyPress(QChar& key);
    // Leaving Edit12 or Edit13 holds the port in 1024..65535 (an edit without a number: 10001).
    void Edit12Exit();

    // Interlocks of the port and connection pages.
    void RS232RadioButtonClick();
    void RS485RadioButtonClick();
    void TimeoutRadioButtonClick();
    void SymbolRadioButtonClick();
    void SymbolEditChange();
    void InstantConnectCheckBoxClick();

    // The profile image: filled from answers, encoded from the controls, and sent by both kinds of
    // write (the session keeps a pointer to it).
    ObjProfile Profile{};
    int OperationState = opIdle;
    // The parts whose answers are in Profile; 0xFFFF once the dialog was closed.
    std::uint32_t LoadedParts = 0xFFFF;
    // LoadedParts when the last read started.
    std::uint32_t SavedParts = 0xFFFF;
    // The object whose read filled Profile; -1 while none did.
    int ProfileObject = -1;

    // Started by the key acknowledgement: asks whether to drop the connection.
    TTimer InfoTimer;
    // Report an SMS that could not be sent, or a second part that could not be formed.
    TTimer SMSErrorTimer;
    TTimer ProfileErrorTimer;

    QTabWidget* PageControl1 = nullptr;
    QPushButton *LoadButton = nullptr, *SaveButton = nullptr, *CloseButton = nullptr;
    // "GSM/GPRS".
    QGroupBox *GroupBox7 = nullptr, *GroupBox1 = nullptr;
    QLineEdit *Edit21 = nullptr, *Edit22 = nullptr, *Edit23 = nullptr, *Edit25 = nullptr, *Edit12 = nullptr,
              *Edit24 = nullptr;
    QLineEdit *SMSSCAEdit = nullptr, *SMSPhoneEdit = nullptr, *Edit13 = nullptr;
    // "Порт".
    QGroupBox *GroupBox2 = nullptr, *GroupBox3 = nullptr, *GroupBox4 = nullptr;
    QRadioButton *RS232RadioButton = nullptr, *RS485RadioButton = nullptr;
    QCheckBox* RTCCheckBox = nullptr;
    TRadioGroup* DCDRadioGroup = nullptr;
    QLineEdit *STimeEdit = nullptr, *ETimeEdit = nullptr;
    QRadioButton *STimeRadioButton1 = nullptr, *STimeRadioButton100 = nullptr, *ETimeRadioButton1 = nullptr,
                 *ETimeRadioButton100 = nullptr;
    TImage* DataImage = nullptr;
    QCheckBox* RTimeCheckBox = nullptr;
    QLineEdit* RTimeEdit = nullptr;
    QRadioButton *RTimeRadioButton1 = nullptr, *RTimeRadioButton100 = nullptr;
    QRadioButton *TimeoutRadioButton = nullptr, *SymbolRadioButton = nullptr;
    QLineEdit *TimeoutEdit = nullptr, *SymbolEdit = nullptr;
    QLabel *TimeoutLabel = nullptr, *SymbolLabel = nullptr;
    // "Соединение".
    QCheckBox* InstantConnectCheckBox = nullptr;
    QGroupBox *ConnectGroupBox = nullptr, *DisconnectGroupBox = nullptr;
    QLineEdit* ConnectPhoneEdit = nullptr;
    // "Телеметрия" and "Диагностика".
    QGroupBox *GroupBox5 = nullptr, *GroupBox9 = nullptr;
    QGroupBox *GroupBox13 = nullptr, *GroupBox14 = nullptr, *GroupBox15 = nullptr, *GroupBox16 = nullptr,
              *GroupBox17 = nullptr, *GroupBox12 = nullptr;

protected:
    void FormShow() override;
    void FormClose() override;

private:
    // Builds the pages and buttons (ObjSettingsDialogLayout.cpp).
    void CreateControls();
    void CreateGsmPage(QWidget* page);
    void CreatePortPage(QWidget* page);
    void CreateConnectionPage(QWidget* page);
    void CreateTelemetryPage(QWidget* page);
    void CreateDiagnosticsPage(QWidget* page);

    void DisableButtons();
    // Enables or disables the controls placed directly on the pages, with everything inside them;
    // enabling leaves alone those whose tag shares no bit with LoadedParts.
    void EnableGroupBoxes(bool enable);
    void OperationStarted();
    // Empties the contents of the group boxes.
    void ClearControls();
    void MergeProfileImage(const ObjProfile* profile);
    // 0, or the code of the first field that the profile cannot store.
    int EncodeProfile();
    int EncodeProfile1();
    int EncodeProfile2();
    void ShowSessionAndPort();
    void ReadSessionAndPort();
    // The edited object, null when the address book no longer holds it.
    TObjectStates* EditedObject() const;
    // The GSM modem is ready and no SMS waits to be sent.
    static bool SmsAvailable();
    // Shows "Невозможно " + action + "!\r\n" + reason.
    static void ShowImpossible(const char* action, const char* reason);
    void InfoTimerTimer();
    void SMSErrorTimerTimer();
    void ProfileErrorTimerTimer();
};

extern TObjSettingsDialog* ObjSettingsDialog;
