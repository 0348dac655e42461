// The main window's construction, start-up and shut-down, the tray icon, and its thin members over the
// state file, the event log, the object registry and the access check.
#include "core/MainForm.h"

#include <stdexcept>
#include <utility>

#include <QApplication>
#include <QDialog>
#include <QGuiApplication>
#include <QMenu>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QThread>
#include <QTimer>

#include "core/Bitmaps.h"
#include "core/Calibration.h"
#include "core/DataFolder.h"
#include "core/ObjectRegistry.h"
#include "core/PasswordEnter.h"
#include "core/Settings.h"
#include "dialogs/AddressBook.h"
#include "dialogs/SettingsDialog.h"
#include "gsm/ModemForm.h"
#include "platform/Application.h"
#include "platform/Cp1251.h"
#include "platform/Dialogs.h"
#include "platform/Shell.h"
#include "platform/Signals.h"
#include "platform/Warning.h"
#include "sessions/ConnectionForm.h"

TMainForm* MainForm = nullptr;
bool FirstShow = true;
bool Shown = false;
bool ModemDisconnectRequested = false;
const char* const InstanceMutexName = "Global\\{5B7C2E91-4D3A-4F6B-9E28-7A1C0D5E3F42}";

namespace {

// The program's folder in the all-users application-data folder; FirstRun when it had to be made.
void SetDataFolders() {
    try {
        const QString company = CommonAppDataFolder() + QStringLiteral("/Kolvar/");
        if (!ForceDirectories(company))
            throw std::runtime_error("cannot create the company folder");
        const QString app = company + QStringLiteral("Vostrane/");
        if (!DirectoryExists(app)) {
            FirstRun = true;
            if (!ForceDirectories(app))
                throw std::runtime_error("cannot create the data folder");
        }
        CompanyDataFolder = company.toStdString();
        AppDataFolder = app.toStdString();
    } catch (...) {
        AppDataFolder = ExecutableFolder().toStdString();
    }
}

bool EnterPassword(const std::string& caption, const std::string& info, std::string& password) {
    if (!PasswordEnter)
        return false;
    PasswordEnter->SetCaption(QString::fromStdString(caption));
    PasswordEnter->InfoLabel->setText(QString::fromStdString(info));
    if (PasswordEnter->ShowModal() != mrOk)
        return false;
    password = PasswordEnter->Password;
    return true;
}

} // namespace

TMainForm::TMainForm(QWidget* owner) : TMainWindowForm(owner) {
    setObjectName(QStringLiteral("MainForm"));
    SetCaption(QStringLiteral("Маршрутизатор"));
    resize(557, 298);
    SetDataFolders();
    StatesFileName = AppDataFolder + "States.bin";
    try {
        ObjectList.clear();
        EventLog = std::make_unique<TEventLog>();
        EventLog->WriteOnAbnormalEnd(); // what waits for the end of the loop's turn is not lost to a crash
        EventLog->OnSuspended = [this] { Saver.Save(scIdle); };
        EventLog->OnStatus = [this](const std::string& text) {
            statusText_ = text;
            ShowStatusText();
        };
        // What the platform layer could not use (a telephony line, the registry store) is the
        // operator's to read later as well.
        SetPlatformWarningSink([this](const QString& text) { Log(text); });
        CreateSaver();
        bitmaps_ = {LoadBitmap("BLUE_ON"),  LoadBitmap("BLUE_OFF"), LoadBitmap("YEL_ON"),
                    LoadBitmap("YEL_OFF"),  LoadBitmap("RED_ON"),   LoadBitmap("RED_OFF"),
                    LoadBitmap("GRN_ON"),   LoadBitmap("GRN_OFF"),  LoadBitmap("UNDEFINED"),
                    LoadBitmap("PHONE_DIS")};
        setWindowIcon(LoadBitmap("ROUTER"));
        CreateMenus();
        CreateToolBar();
        CreateGrid();
        CreateObjectPanel();
        CreateStatusBar();
        CreateTrayIcon();
        CreateTimers();
        LayOut();
        TCPOpenMenuItem->setEnabled(true);
        TCPCloseMenuItem->setEnabled(false);
        SetSignal(sgTcpPort, sgsOff);
        SetSignal(sgModem, sgsOff);
        SetSignal(sgSend, sgsOff);
        SetSignal(sgReceive, sgsOff);
        EmptyObject = std::make_unique<TObjectStates>();
    } catch (...) {
        MessageDlg(QStringLiteral("Недостаточно памяти для работы программы!"), mtError, mbOK);
        CloseForGood();
    }
}

TMainForm::~TMainForm() {
    SetPlatformWarningSink(nullptr);
    FreeCalibrationTables();
    ObjectList.clear();
    EmptyObject.reset();
    if (MainForm == this)
        MainForm = nullptr;
}

bool TMainForm::HasSystemTray() const {
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void TMainForm::CreateTrayIcon() {
    PopupMenu1 = new QMenu(this);
    PopupMenu1->setObjectName(QStringLiteral("PopupMenu1"));
    MenuItem1 = PopupMenu1->addAction(QStringLiteral("&Открыть..."), this, [this] { MenuItem1Click(); });
    MenuItem1->setObjectName(QStringLiteral("MenuItem1"));
    MenuItem2 = PopupMenu1->addAction(QStringLiteral("В&ыход"), this, [this] { MenuItem2Click(); });
    MenuItem2->setObjectName(QStringLiteral("MenuItem2"));
    TrayIcon = new QSystemTrayIcon(LoadBitmap("ROUTER"), this);
    TrayIcon->setObjectName(QStringLiteral("TrayIcon"));
    TrayIcon->setToolTip(QStringLiteral("Маршрутизатор"));
    TrayIcon->setContextMenu(PopupMenu1);
    // The menu opens on any button; a double click brings the window back.
    connect(TrayIcon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::DoubleClick)
            MenuItem1Click();
        else if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::MiddleClick)
            PopupMenu1->popup(QCursor::pos());
    });
    // Qt registers the icon again by itself when the desktop's tray restarts, so there is no
    // "TaskbarCreated" message to handle.
    if (HasSystemTray())
        TrayIcon->show();
}

void TMainForm::CreateTimers() {
    ConnectTimer.SetEnabled(false);
    ConnectTimer.SetInterval(100);
    ConnectTimer.SetOnTimer([this] { ConnectTimerTimer(); });
    SinceTimer.SetEnabled(false);
    SinceTimer.SetInterval(500);
    SinceTimer.SetOnTimer([this] { SinceTimerTimer(); });
    MessageSendTimer.SetEnabled(false);
    MessageSendTimer.SetInterval(500);
    MessageSendTimer.SetOnTimer([this] { MessageSendTimerTimer(); });
    SMSReceiveTimer.SetEnabled(false);
    SMSReceiveTimer.SetInterval(500);
    SMSReceiveTimer.SetOnTimer([this] { SMSReceiveTimerTimer(); });
    ExtraInfoTimer.SetEnabled(false);
    ExtraInfoTimer.SetOnTimer([this] { ExtraInfoTimerTimer(); });
    ModemDisconnectTimer.SetEnabled(false);
    ModemDisconnectTimer.SetInterval(100);
    ModemDisconnectTimer.SetOnTimer([this] { ModemDisconnectTimerTimer(); });
}

void TMainForm::FormShow() {
    if (!FirstShow) {
        SinceTimerTimer(); // the refresh left a hidden window alone
        return;
    }
    StartUp();
    FirstShow = false;
    Shown = true;
    SinceTimer.SetEnabled(true);
}

void TMainForm::StartUp() {
    if (IsAlreadyRunning(QString::fromLatin1(InstanceMutexName))) {
        // Nothing of the running instance is touched: no log line, no state file.
        anotherInstance_ = true;
        MessageDlg(QStringLiteral("Уже есть запущенная копия Маршрутизатора!"), mtError, mbOK);
        CloseForGood();
        return;
    }
    const bool read = ReadStates();
    PrintMessage("--------------------------");
    PrintMessage("CH: Gelvorant start");
    std::string calibrationProblem;
    const std::int32_t calibrationTables = LoadCalibrationTables(&calibrationProblem);
    if (!calibrationProblem.empty())
        PrintMessage("CH: Calibrate.ini reading error - " + calibrationProblem);
    Log(QStringLiteral("CH: found %1 calibration tables").arg(calibrationTables));
    if (!read) {
        PrintMessage("CH: system password error");
        CloseForGood();
        return;
    }
    FillObjectsGrid();
    PrepareKeys();
    ConnectTimer.SetEnabled(true);
    UpdateObjectPanel();
    if (SettingsDialog)
        SettingsDialog->InitialPrepareSW();
}

void TMainForm::ConnectTimerTimer() {
    ConnectTimer.SetEnabled(false);
    if (ConnectionForm)
        ConnectionForm->OpenPort();
    RestartExtraInfoTimer();
    if (AppSettings && AppSettings->UseGsmModem) {
        SetSignal(sgModem, sgsChanging);
        if (!ModemForm || !ModemForm->Connect())
            SetSignal(sgModem, sgsOff);
    }
}

void TMainForm::RestartExtraInfoTimer() {
    // A period of 0 minutes would make a timer that never fires; it stays off instead.
    const int period = AppSettings ? AppSettings->ExtraPeriod : 0;
    ExtraInfoTimer.SetEnabled(false);
    ExtraInfoTimer.SetInterval(period > 0 ? period * 60'000 : 0);
    ExtraInfoTimer.SetEnabled(AppSettings && AppSettings->ExtraInfo && period > 0);
}

void TMainForm::FormCloseQuery(bool& canClose) {
    ClosePinNameEdit(true);
    if (isVisible() && Shown) {
        // Without a tray there would be no way back to a hidden window.
        if (HasSystemTray())
            hide();
        else
            showMinimized();
        canClose = false;
        return;
    }
    ShutDown();
}

void TMainForm::ShutDown() {
    ConnectTimer.SetEnabled(false);
    ModemDisconnectRequested = true;
    if (ModemForm)
        ModemForm->Disconnect();
    if (ConnectionForm)
        ConnectionForm->ClosePort(false);
}

void TMainForm::FormClose() {
    PrintMessage("CH: Gelvorant is closed");
    Saver.Save(exitBySignal_ ? scSignalExit : scExit); // written before the program ends
    Saver.Stop();                                      // nothing is saved after the exit's own save
    if (EventLog)
        EventLog->CloseLog();
    SinceTimer.SetEnabled(false);
    if (TrayIcon && TrayIcon->isVisible())
        TrayIcon->hide();
}

void TMainForm::ExitMenuItemClick() {
    Shown = false;
    close();
}

// Closing from inside the start-up or a save is left to the event loop, so that the window is not
// hidden in the middle of being shown; it is an exit, never a hiding to the tray.
void TMainForm::CloseForGood() {
    QTimer::singleShot(0, this, [this] {
        Shown = false;
        close();
    });
}

void TMainForm::ExitOnSignal(int signal) {
    if (std::exchange(exitBySignal_, true))
        return; // the exit is under way
    Log(QStringLiteral("CH: %1 received - exiting").arg(QLatin1String(SignalName(signal))));
    FinishExitOnSignal();
}

// The window closes from the main loop once the start-up is done: a form inside exec() is never
// destroyed, and a box's loop would hold the exit's save back. Open boxes are cancelled.
void TMainForm::FinishExitOnSignal() {
    if (Application && Application->Terminated())
        return;
    QWidget* modal = QApplication::activeModalWidget();
    if (modal) {
        if (auto* dialog = qobject_cast<QDialog*>(modal))
            dialog->reject();
        else
            modal->close();
    }
    if (modal || FirstShow || QThread::currentThread()->loopLevel() > 1) {
        QTimer::singleShot(10, this, [this] { FinishExitOnSignal(); });
        return;
    }
    ExitMenuItemClick();
}

void TMainForm::MenuItem1Click() {
    show();
    if (isMinimized())
        showNormal();
    raise();
    activateWindow();
}

void TMainForm::MenuItem2Click() {
    ExitMenuItemClick();
}

TStatesHooks TMainForm::StatesHooks() {
    TStatesHooks hooks;
    hooks.ShowError = [](const std::string& text) {
        MessageDlg(QString::fromStdString(text), mtError, mbOK);
    };
    hooks.EnterPassword = EnterPassword;
    hooks.PrintMessage = [this](const std::string& line) { PrintMessage(line); };
    hooks.CloseMainWindow = [this] { CloseForGood(); };
    return hooks;
}

bool TMainForm::ReadStates() {
    TStatesRead read;
    if (!AppSettings || !::ReadStates(*AppSettings, read, StatesHooks()))
        return false;
    if (read.Window)
        ApplyValues(*read.Window);
    for (std::size_t i = 0; i < read.Objects.size(); ++i)
        ObjectList.push_back(std::move(read.Objects[i]));
    return true;
}

void TMainForm::WriteStates() {
    Saver.Save(scOperator);
}

void TMainForm::WaitForStates() {
    Writer.Wait();
}

// The snapshot is taken here; the writer's end comes back to the saver through Writer.OnWritten.
bool TMainForm::StartStatesWrite() {
    TStatesSnapshot snapshot;
    if (!AppSettings ||
        !TakeStatesSnapshot(CurrentValues(), *AppSettings, ObjectList, StatesHooks(), snapshot))
        return false;
    Writer.Write(std::move(snapshot));
    if (WaitForSaves)
        WaitForStates();
    return true;
}

void TMainForm::CreateSaver() {
    Saver.Write = [this] { return StartStatesWrite(); };
    Saver.WaitWritten = [this] { WaitForStates(); };
    Writer.OnWritten = [this](const TStatesWritten& written) {
        Saver.Written(written.Ok, written.Ok ? std::string() : ReplaceProblem(written.Error));
    };
    // The saver's own lines are no change of the state.
    Saver.PrintMessage = [this](const std::string& line) {
        if (EventLog && !anotherInstance_)
            EventLog->PrintMessage(line);
    };
    Saver.ShowWriteError = [this] {
        if (!isActiveWindow())
            MenuItem1Click();
        MessageDlg(QStringLiteral("Невозможно записать файл с состояниями объектов"), mtError, mbOK);
    };
    Saver.ConfirmReplaceUnread = [] {
        return MessageDlg(QStringLiteral("Файл с состояниями объектов не удалось прочитать при запуске.\r\n"
                                         "Заменить его?"),
                          mtConfirmation, mbYesNo) == mrYes;
    };
    Saver.OnUnsavedChanged = [this] { ShowStatusText(); };
}

// While the state is not saved the status text says so first.
void TMainForm::ShowStatusText() {
    QString text = FromCp1251(statusText_);
    if (Saver.Unsaved())
        text.prepend(QString::fromUtf8(StatesUnsavedNote));
    StatusBar1->Panels(spText).Text = text;
    StatusBar1->Repaint();
}

// The window's client area is what is stored and what comes back: its frame is the window manager's,
// and is not known yet when the window is placed at start-up.
TWindowValues TMainForm::CurrentValues() const {
    TWindowValues values;
    values.Left = geometry().x();
    values.Top = geometry().y();
    values.Width = width();
    values.Height = height();
    values.GridPanelWidth = GridPanelWidth();
    for (int col = 0; col < 3; ++col)
        values.ColWidths[col] = ObjectsGrid->ColWidth(col);
    return values;
}

void TMainForm::ApplyValues(const TWindowValues& stored) {
    const QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
    const QSize size = screen ? screen->size() : QSize(1024, 768);
    const TWindowValues values = ::ApplyValues(stored, CurrentValues(), size.width(), size.height());
    setGeometry(values.Left, values.Top, values.Width, values.Height);
    SetGridPanelWidth(values.GridPanelWidth);
    for (int col = 0; col < 3; ++col)
        ObjectsGrid->SetColWidth(col, values.ColWidths[col]);
}

void TMainForm::PrintMessage(const std::string& text) {
    if (EventLog && !anotherInstance_) {
        EventLog->PrintMessage(text);
        Saver.Changed();
    }
}

void TMainForm::StatusMessage(const std::string& text) {
    if (EventLog)
        EventLog->StatusMessage(text);
}

void TMainForm::CheckLogChange(int& handle, const std::string& baseName, std::int32_t limit) {
    if (EventLog)
        EventLog->CheckLogChange(handle, baseName, limit);
}

void TMainForm::Log(const QString& text) {
    PrintMessage(ToCp1251(text));
}

void TMainForm::Status(const QString& text) {
    StatusMessage(ToCp1251(text));
}

bool TMainForm::BuildObjectStates() {
    std::vector<TAddressBookRow> rows;
    if (AddrBook) {
        const TStringGrid* grid = AddrBook->ABGrid;
        for (int row = 1; row < grid->RowCount(); ++row) {
            TAddressBookRow entry;
            entry.ID = ToCp1251(grid->Cell(0, row));
            entry.Name = ToCp1251(grid->Cell(1, row));
            entry.Phone = ToCp1251(grid->Cell(2, row));
            if (std::size_t(row - 1) < AddrBook->PasswordList.size())
                entry.Password = MakePassword(AddrBook->PasswordList[row - 1]);
            if (std::size_t(row - 1) < AddrBook->DevIDList.size())
                entry.DevIDs = AddrBook->DevIDList[row - 1];
            rows.push_back(std::move(entry));
        }
    }
    return ::BuildObjectStates(rows);
}

void TMainForm::PrepareKeys() {
    if (AppSettings)
        ::PrepareKeys(*AppSettings, [this](const std::string& line) { PrintMessage(line); });
}

void TMainForm::CheckPassword() {
    AccessGranted = false;
    if (AppSettings)
        ::CheckPassword(*AppSettings, SystemPassword, EnterPassword);
}
