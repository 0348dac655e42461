// TMainForm: the router's main window. On the left the objects grid (lamp and time since the last
// connect or disconnect, number, name), on the right the selected object's panel (last data, input
// lamps and names, the state request and the profile), the status bar with the TCP port, GSM modem,
// sending and receiving indicators, the menus, the tool bar and the tray icon.
//
// It starts and stops the program: its first showing makes the single-instance check, reads the state
// file and starts the server and the GSM modem 100 ms later; closing it hides it to the tray, and only
// an explicit exit stops everything, saves the state and ends the program.
//
// The members that read and write the state file, write the log, rebuild the object list, fill the key
// table and check access are thin: the work is done by the form-free code of core/. Main thread only.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <set>
#include <string>

#include <QPixmap>

#include "core/EventLog.h"
#include "core/ObjectStates.h"
#include "core/StateFile.h"
#include "core/StatesSaver.h"
#include "core/StatesWriter.h"
#include "platform/Forms.h"
#include "platform/Image.h"
#include "platform/StatusBar.h"
#include "platform/StringGrid.h"
#include "platform/Timer.h"

class QAction;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QScrollArea;
class QSplitter;
class QSystemTrayIcon;
class QToolBar;
class TVirtualPortAx;

// Which status bar indicator; other values change nothing.
enum TSignal { sgModem = 1, sgTcpPort = 3, sgSend = 5, sgReceive = 6 };
enum TSignalState { sgsOff = 0, sgsChanging = 1, sgsOn = 2 };

// The status bar's panels.
enum TStatusPanelIndex { spTcpPort = 0, spModem = 1, spSend = 2, spReceive = 3, spText = 4 };

// An input report of a session, built by the caller for one call.
struct TReportHeader {
    std::int32_t ObjectNumber = 0;
    std::array<TDateTime, 3> Times{}; // the third is the report's time
};
struct TSensorReport {
    std::array<std::int8_t, 4> InputStates{}; // inputs 1 to 4, 0 or 1
    std::int32_t ObjectNumber = 0;
    std::int8_t Kind = 0; // 0 data report, 1 hardware-information answer
};

// The start-up work of the first FormShow is still to do.
extern bool FirstShow;
// The start-up is done; while set, closing the main window hides it.
extern bool Shown;
// A GSM modem disconnect was asked for, so its loss is no error.
extern bool ModemDisconnectRequested;
// What the status bar says first while the state is not saved (UTF-8).
inline constexpr const char* StatesUnsavedNote = "Состояние не сохранено!";
// The name of the single-instance mutex.
extern const char* const InstanceMutexName;

class TMainForm : public TMainWindowForm {
public:
    explicit TMainForm(QWidget* owner = nullptr);
    ~TMainForm() override;

    // Menus and tool bar.
    QToolBar* ToolBar1 = nullptr;
    QAction *TCPOpenMenuItem = nullptr, *TCPCloseMenuItem = nullptr, *ExitMenuItem = nullptr;
    QAction *GeneralMenuItem = nullptr, *ABookMenuItem = nullptr, *GroupsMenuItem = nullptr,
            *UpdateMenuItem = nullptr, *SMSMenuItem = nullptr, *AboutMenuItem = nullptr;
    QAction *ToolButton2 = nullptr, *ToolButton3 = nullptr, *ToolButton4 = nullptr, *ToolButton5 = nullptr,
            *ToolButton8 = nullptr;
    // Grid and panel.
    QSplitter* Splitter1 = nullptr;
    QFrame* GridPanel = nullptr;
    TStringGrid* ObjectsGrid = nullptr;
    QFrame* ObjectPanel = nullptr;
    QFrame* CurrentObjectBevel = nullptr;
    QLabel *CurrentObjectLabel = nullptr, *LastMessageTimeLabel = nullptr, *SinceLastMessageLabel = nullptr;
    QScrollArea* ObjectScrollBox = nullptr;
    QGroupBox* StatesGroupBox = nullptr;
    TImage *In1Image = nullptr, *In2Image = nullptr, *In3Image = nullptr, *In4Image = nullptr;
    QLabel *In1Label = nullptr, *In2Label = nullptr, *In3Label = nullptr, *RTSLabel = nullptr;
    QPushButton *RequestButton = nullptr, *SettingsButton = nullptr;
    QLineEdit* PinNameEdit = nullptr;
    TStatusBar* StatusBar1 = nullptr;
    // Controls that are never shown.
    QPushButton *CallButton = nullptr, *HangupButton = nullptr, *Button1 = nullptr, *Button2 = nullptr,
                *SetOutputsButton = nullptr, *ResetButton = nullptr, *Button3 = nullptr, *Button7 = nullptr;
    TImage* CallImage = nullptr;
    QLabel *CountLabel1 = nullptr, *CountLabel2 = nullptr;
    // Tray icon and its menu.
    QSystemTrayIcon* TrayIcon = nullptr;
    QMenu* PopupMenu1 = nullptr;
    QAction *MenuItem1 = nullptr, *MenuItem2 = nullptr;

    TTimer ConnectTimer, SinceTimer, MessageSendTimer, SMSReceiveTimer, ExtraInfoTimer, ModemDisconnectTimer;
    std::unique_ptr<TEventLog> EventLog;

    // State file. WriteStates is the save an operator command asks for. Saver decides when a save is
    // made and what follows a failure; a save takes its snapshot on the main thread and leaves the
    // writing to Writer, whose end comes back to Saver. WaitForStates blocks until what was handed to
    // Writer is written and reported, as the exit saves do.
    TStatesWriter Writer;
    TStatesSaver Saver;
    bool WaitForSaves = false; // each save is written before it returns (tests)
    bool ReadStates();
    virtual void WriteStates();
    void WaitForStates();
    void ApplyValues(const TWindowValues& stored);
    TWindowValues CurrentValues() const;
    // Event log; the texts are Windows-1251.
    void PrintMessage(const std::string& text);
    void StatusMessage(const std::string& text);
    void CheckLogChange(int& handle, const std::string& baseName, std::int32_t limit);
    // Object list, key table, access.
    bool BuildObjectStates();
    void PrepareKeys();
    void CheckPassword();

    // Start-up and shut-down.
    void ConnectTimerTimer();
    void ExitMenuItemClick();
    void MenuItem1Click();
    void MenuItem2Click();
    // A termination signal (SIGTERM, SIGINT, SIGHUP): the same exit as "Выход", once; an open modal
    // box is cancelled first.
    void ExitOnSignal(int signal);

    // Grid and panel.
    void FillObjectsGrid();
    void UpdateObjectPanel(bool unused = false);
    void UpdateObjectPanelControls(TObjectStates* object);
    virtual void UpdateAll();
    void SetLed(TImage* image, int state);
    void WriteSinceTime(QLabel* label, TDateTime time);
    QString GetSinceTime(TDateTime time) const;
    void SinceTimerTimer();
    void ObjectsGridClick();
    void PinNameLabelDblClick(QLabel* label);
    void ClosePinNameEdit(bool commit);
    // The selected object, or null while the list is empty.
    TObjectStates* SelectedObject() const;

    // Notifications of the sessions.
    void OnResolveObjNum(TObjectStates* object);
    void OnObjectDisconnected(int objectNumber);
    void ConverterReceiveSensor(QObject* sender, const TReportHeader& header, const TSensorReport& report);

    // Status indicators and the notifications of the server and the GSM modem.
    void SetSignal(TSignal signal, TSignalState state);
    void OnServerSocketOpen();
    void OnServerSocketOpenError();
    void OnServerSocketClose(bool fromMenu);
    void OnModemConnect();
    void OnModemDisconnecting();
    void OnModemDisconnect();
    void VirtualPortAxRxChar(TVirtualPortAx* sender, int count);

    // Operator commands.
    void TCPOpenMenuItemClick();
    void TCPCloseMenuItemClick();
    void GeneralMenuItemClick(); // the settings dialog's pages 0, 1 and 3
    void UpdateMenuItemClick();
    void SMSMenuItemClick();
    void SettingsMenuItemClick(int tag);
    void ABookMenuItemClick();
    void GroupsMenuItemClick();
    void AboutMenuItemClick();
    void SettingsButtonClick();
    void RequestCoordsButtonClick();
    // The hidden voice-call button: the dispatcher's phone to the selected object.
    void CallButtonClick();
    void ExtraInfoTimerTimer();
    // Starts ExtraInfoTimer from the settings: every ExtraPeriod minutes while ExtraInfo is set.
    void RestartExtraInfoTimer();

protected:
    void FormShow() override;
    void FormCloseQuery(bool& canClose) override;
    void FormClose() override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    // Whether the desktop shows tray icons; without one, closing minimises instead of hiding.
    virtual bool HasSystemTray() const;

private:
    struct TBitmaps {
        QPixmap BlueOn, BlueOff, YelOn, YelOff, RedOn, RedOff, GrnOn, GrnOff, Undefined, PhoneDis;
    };

    void CreateMenus();
    void CreateToolBar();
    void CreateGrid();
    void CreateObjectPanel();
    void CreateStatesGroupBox(QWidget* parent);
    void CreateHiddenControls(QWidget* parent);
    void CreateStatusBar();
    void CreateTrayIcon();
    void CreateTimers();
    void LayOut();
    void SetGridPanelWidth(int width);
    int GridPanelWidth() const;
    void RepaintGrid();
    void ResizeStatesGroupBox();
    void StatesGroupBoxClick();
    void StartUp();
    void ShutDown();
    void CloseForGood();
    void ObjectsGridDrawCell(int col, int row, const QRect& rect, QPainter& painter);
    void StatusBar1DrawPanel(int index, QPainter& painter, const QRect& rect);
    void LogInvalidPanel(const char* what, int index, const QRect& rect, const QString& text);
    void MessageSendTimerTimer();
    void SMSReceiveTimerTimer();
    void ModemDisconnectTimerTimer();
    void Log(const QString& text);
    void Status(const QString& text);
    TStatesHooks StatesHooks();
    bool StartStatesWrite();
    void CreateSaver();
    void ShowStatusText();
    void FinishExitOnSignal();
    bool IsSelected(const TObjectStates* object) const;

    TBitmaps bitmaps_;
    std::array<TImage*, 4> inputImages_{};
    std::array<QLabel*, 3> pinLabels_{};
    std::array<std::int32_t, 4> drawnStates_{-1, -1, -1, -1};
    int sendCount_ = 0;
    int receiveCount_ = 0;
    bool anotherInstance_ = false;
    bool exitBySignal_ = false;
    std::string statusText_; // the last status text (Windows-1251), shown after the unsaved note
    bool closingPinEdit_ = false;
    std::set<QString> loggedPanelErrors_;
};

extern TMainForm* MainForm;
