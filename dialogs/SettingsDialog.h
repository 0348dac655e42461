// The settings and service window "Настройки и сервис". Its constructor creates the one settings
// record, AppSettings, which every part of the program reads; it fills the table of loaded firmware
// images (dialogs/FirmwareImages.h) and frees it at exit.
//
// Pages: 0 "Общие" (TCP port, event log, security mode and passwords), 1 "Обновление ПО" (the objects
// marked for a firmware update, with their progress), 2 "Файлы с ПО" (one firmware image file per
// hardware group), 3 "SMS" (the text of an encrypted command SMS that the operator sends to a modem
// himself; the program sends nothing). The main window shows it without a modal loop after an
// access check and disables itself meanwhile; closing the window enables the main window again and
// ends the access.
//
// The controls and the working copies are filled from the settings when the window is shown, and
// committed only by ApplySettings (OK and Apply), which then applies them in a fixed order: the server
// reopened on a changed port, the firmware step, the state file, the event log and the
// hardware-information timer, the main window's refresh. Main thread only.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "dialogs/FirmwareImages.h"
#include "platform/Forms.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPixmap;
class QPlainTextEdit;
class QPushButton;
class QTabWidget;
class TImage;
class TObjectStates;
class TOpenDialog;
class TRadioGroup;
class TSioTapiDevice;
class TStringGrid;

class TSettingsDialog : public TForm {
public:
    explicit TSettingsDialog(QWidget* owner = nullptr);
    ~TSettingsDialog() override;

    QTabWidget* PageControl1 = nullptr;
    QPushButton *ButtonOK = nullptr, *ButtonCancel = nullptr, *ApplyButton = nullptr;

    // "Общие".
    QLineEdit *TcpPortEdit = nullptr, *LogSizeEdit = nullptr;
    QCheckBox* NoLoggingCheckBox = nullptr;
    TRadioGroup* SecurityModeRadioGroup = nullptr;
    QPlainTextEdit* HelpMemo = nullptr;
    QPushButton* EnterPasswordButton = nullptr;
    TImage* PassImage = nullptr;
    // Hidden and disabled; their settings pass through the dialog unchanged.
    QLineEdit* PhoneNumberEdit = nullptr;
    QCheckBox* ExtraInfoCheckBox = nullptr;
    QLineEdit* ExtraPeriodEdit = nullptr;
    QLabel* ExtraPeriodLabel = nullptr;

    // "Обновление ПО": one line per object, in the order of the object list; checked means marked.
    QListWidget* ObjectsCheckListBox = nullptr;
    QPushButton *Button1 = nullptr, *Button2 = nullptr, *Button3 = nullptr;
    // "Файлы с ПО": row i + 1 shows entry i of SWVersionList.
    TStringGrid* StringGrid1 = nullptr;
    QPushButton *EnterSWButton = nullptr, *DeleteSWButton = nullptr;
    std::unique_ptr<TOpenDialog> OpenDialog2;
    // Placed on the form and never used: it registers a line application at start-up and ends it at exit.
    std::unique_ptr<TSioTapiDevice> SioTapiDevice1;

    // "SMS": the command (one: the server's address and port), its parameters, the key and the text.
    QComboBox* ComboBox1 = nullptr;
    QLineEdit *Edit25 = nullptr, *Edit12 = nullptr;
    TRadioGroup* RadioGroup1 = nullptr; // the key: 0 "Системный", 1 "Произвольный"
    QPushButton* Button6 = nullptr;     // enters the arbitrary key
    TImage* Image7 = nullptr;
    QPushButton* Button5 = nullptr; // forms the text
    QPlainTextEdit* Memo1 = nullptr;

    // Working copies, 16 Windows-1251 characters each.
    std::string NewSettingsPassword, NewSystemPassword;
    // The image versions as edited, one per grid row.
    std::vector<TSWVersion> SWVersionList;

    // The apply sequence; false, doing nothing, when no access was granted.
    bool ApplySettings();
    void SettingsToDialog();
    virtual void DialogToSettings();
    bool InternetSettingsChanged() const;
    bool GeneralSettingsChanged() const;
    bool SWVersionChanged() const;
    bool SWSettingsChanged() const;
    // Opens or closes the event log and restarts the hardware-information timer.
    virtual void ApplyGeneralSettings();

    void ButtonOKClick();
    void ButtonCancelClick();
    void ApplyButtonClick();
    void SecurityModeRadioGroupClick();
    void EnterPasswordButtonClick();
    void TcpPortEditExit();
    void LogSizeEditExit();
    void ExtraPeriodEditExit();
    void ExtraInfoCheckBoxClick();
    // Key filters: a refused key becomes a null character.
    static void TimeoutEditKeyPress(QChar& key);
    static void PhoneNumberEditKeyPress(QChar& key);

    // "SMS" page: the key the text is encrypted with, and the arbitrary key last entered (16
    // Windows-1251 characters each).
    std::string SmsKey, SmsObjectPassword;
    // Resets the page; every showing with access granted runs it.
    void InitSMSPanel();
    void RadioGroup1Click();
    void Button6Click();
    // Forms the text into Memo1; a bad address or port, or a text that cannot be formed, is refused
    // with a message and Memo1 keeps its text.
    void Button5Click();
    void Edit12Exit();
    static void Edit25KeyPress(QChar& key);
    static void Edit12KeyPress(QChar& key);

    // Firmware pages.
    void EnterSWButtonClick();
    void DeleteSWButtonClick();
    void Button1Click(); // check every line
    void Button2Click(); // clear every line
    void Button3Click(); // check the objects that have a newer image of their group
    // Loads the stored images once the state file was read; a file that does not load leaves its entry
    // empty and is named in the log, and keeps its name, shown as not loaded, until it is closed.
    void InitialPrepareSW();
    // Shows the object's update state in its line (the sessions call it while this is visible).
    virtual void RedrawUpdateString(TObjectStates* object);

protected:
    void FormShow() override;
    void FormClose() override;

private:
    void CreateControls();
    void CreateGeneralPage(QWidget* page);
    void CreateUpdatePage(QWidget* page);
    void CreateFilesPage(QWidget* page);
    void CreateSmsPage(QWidget* page);
    // The security mode the radio group shows; the stored one while it shows none.
    int SelectedMode() const;
    // The port edit still shows the stored port; the port it stands for (typed ones held in range).
    bool TcpPortUntouched() const;
    int TcpPortValue() const;
    void ShowSWPages();
    void FillFileRow(int row, const TSWVersion& version, const QString& fileName);
    void CommitSW();
    bool Marked(int line) const;

    std::unique_ptr<QPixmap> passOn_, passOff_;
};

extern TSettingsDialog* SettingsDialog;
