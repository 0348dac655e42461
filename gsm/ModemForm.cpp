// The GSM modem window: its controls, the connection on both roads and the AT command cycle.
#include "gsm/ModemForm.h"

#include <algorithm>
#include <exception>
#include <utility>

#include <QCheckBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>

#include "core/FormControls.h"
#include "core/MainForm.h"
#include "core/Settings.h"
#include "dialogs/ObjSettingsDialog.h"
#include "platform/Cp1251.h"
#include "serial/ComPort.h"
#include "serial/Exceptions.h"
#include "serial/TapiDevice.h"

std::int32_t ModemState = 0;
bool SmsSendPending = false;
bool SmsSending = false;
std::unique_ptr<TNamedMutex> MutexHandle;
TModemForm* ModemForm = nullptr;

namespace {

// A reply is acted on at its end, so its tail is all the cycle needs; a modem that floods the port
// cannot make the buffer grow beyond this.
constexpr std::size_t AnswerBufferLimit = 8192;

// Refusals of PDU mode before the modem is given up: it cannot serve the router in text mode.
constexpr int PduModeAttempts = 3;

// The profile editor, while it is visible: its GSM hooks are for an operator who watches it.
TObjSettingsDialog* ShownEditor() {
    return ObjSettingsDialog && ObjSettingsDialog->isVisible() ? ObjSettingsDialog : nullptr;
}

// The telephony line's modem could not be reached.
void TellNoModem() {
    MessageDlg(QStringLiteral("Невозможно подключиться к модему\r\n") + FromCp1251(AppSettings->TapiDevice),
               mtError, mbOK);
}

void SetSignal(TSignal signal, TSignalState state) {
    if (MainForm)
        MainForm->SetSignal(signal, state);
}

} // namespace

bool IsAlreadyRunning(const QString& name) {
    if (MutexHandle)
        return false;
    MutexHandle = std::make_unique<TNamedMutex>(name);
    const auto status = MutexHandle->Status();
    return status == TNamedMutex::AlreadyExists || status == TNamedMutex::AccessDenied;
}

TModemForm::TModemForm(QWidget* owner) : TForm(owner), SioComPort1(std::make_unique<TSioComPort>(this)) {
    setObjectName(QStringLiteral("ModemForm"));
    SetCaption(QStringLiteral("Modem"));
    resize(380, 321);
    CreateControls();

    GSMTimer.SetInterval(1000);
    GSMTimer.SetOnTimer([this] { GSMTimerTimer(); });
    ATCommandTimer.SetEnabled(false);
    ATCommandTimer.SetOnTimer([this] { ATCommandTimerTimer(); });
    MakeCommandTimer.SetEnabled(false);
    MakeCommandTimer.SetInterval(1000);
    MakeCommandTimer.SetOnTimer([this] { MakeCommandTimerTimer(); });
    ProcessSMSTimer.SetEnabled(false);
    ProcessSMSTimer.SetInterval(50);
    ProcessSMSTimer.SetOnTimer([this] { ProcessSMSTimerTimer(); });

    SioComPort1->SetPromptForPort(false);
    SioComPort1->SetInSize(8192);
    SioComPort1->SetBufferFull(7936);
    SioComPort1->SetBufferResume(256);
    SioComPort1->SetOnPortOpen([this](TSioCustomComPort*) { SioComPort1PortOpen(); });
    SioComPort1->SetOnPortClose([this](TSioCustomComPort*) { SioComPort1PortClose(); });
    SioComPort1->SetOnTriggerAvail(
        [this](TSioCustomComPort*, std::uint16_t count) { SioComPort1TriggerAvail(count); });
}

TModemForm::~TModemForm() {
    // The window goes quietly: closing the port now tells nobody.
    SioComPort1->SetOnPortOpen({});
    SioComPort1->SetOnPortClose({});
    SioComPort1->SetOnTriggerAvail({});
    if (TapiDeviceObj) {
        TapiDeviceObj->OnTapiFail = {};
        TapiDeviceObj.reset();
    }
    SioComPort1.reset();
}

void TModemForm::CreateControls() {
    Label1 = Placed(new QLabel(QStringLiteral("COM0 closed"), this), "Label1", 8, 8);
    Memo1 = Placed(new QPlainTextEdit(this), "Memo1", 8, 28);
    Memo1->setReadOnly(true);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo1->resize(364, 250);
    LogCheckBox = Placed(new QCheckBox(QStringLiteral("Logging"), this), "LogCheckBox", 8, 288);
    EchoCheckBox = Placed(new QCheckBox(QStringLiteral("Local echo"), this), "EchoCheckBox", 100, 288);
    ClearButton = Placed(new QPushButton(QStringLiteral("Clear"), this), "ClearButton", 297, 284);
    ClearButton->resize(75, 25);
    connect(ClearButton, &QPushButton::clicked, this, [this] { ClearButtonClick(); });
}

// Connection.

bool TModemForm::Connect() {
    ModemState = 1;
    if (!AppSettings)
        return false;
    const TSettings& s = *AppSettings;
    if (s.UseComPort) {
        try {
            SioComPort1->SetTapiMode(tmNone);
            SioComPort1->SetBaud(s.Baud);
            SioComPort1->SetComNumber(std::uint16_t(s.ComIndex + 1));
            SioComPort1->SetDataBits(std::uint16_t(8 - s.DataBitsCode));
            SioComPort1->SetHWFlowOptions(s.HwFlow ? THWFlowOptionSet{hwfUseRTS, hwfRequireCTS}
                                                   : THWFlowOptionSet{});
            SioComPort1->SetParity(TParity(s.Parity));
            SioComPort1->SetStopBits(std::uint16_t(s.StopBitsCode + 1));
        } catch (const std::exception&) {
            MessageDlg(QStringLiteral("Некорректные настройки COM-порта"), mtError, mbOK);
            return false;
        }
        try {
            SioComPort1->SetOpen(true);
        } catch (const std::exception&) {
            MessageDlg(QStringLiteral("Невозможно открыть порт COM%1").arg(s.ComIndex + 1), mtError, mbOK);
            return false;
        }
        return true;
    }
    try {
        SioComPort1->SetTapiMode(tmAuto);
        try {
            OpenTapiDevice();
        } catch (const ETapiNoSelect&) {
            // The line may have come after the device listed the lines: a new device lists them again.
            TapiDeviceObj.reset();
            SioComPort1->SetTapiMode(tmAuto);
            OpenTapiDevice();
        }
    } catch (const std::exception&) {
        TellNoModem();
        return false;
    }
    return true;
}

void TModemForm::OpenTapiDevice() {
    if (!TapiDeviceObj)
        TapiDeviceObj = std::make_unique<TSioTapiDevice>(this);
    TapiDeviceObj->SetSelectedDevice(AppSettings->TapiDevice);
    TapiDeviceObj->ComPort = SioComPort1.get();
    TapiDeviceObj->ShowTapiDevices = false;
    TapiDeviceObj->ShowPorts = false;
    TapiDeviceObj->OnTapiPortClose = [](TSioCustomTapiDevice*) {};
    TapiDeviceObj->OnTapiFail = [this](TSioCustomTapiDevice*) { TapiDeviceFail(); };
    TapiDeviceObj->ConfigAndOpen();
}

// A call that failed without its port ever opening (a failed hand-over of the call's handle, a device
// that cannot be opened) is reported only here: the modem must not be left connecting for ever. The
// operator hears of it as of a line that could not be opened.
void TModemForm::TapiDeviceFail() {
    if (ModemState == 0 || SioComPort1->Open())
        return; // an open port reports its own close
    const bool connecting = ModemState == 1;
    if (connecting)
        ModemDisconnectRequested = true;
    if (ModemState != 3)
        Disconnect();
    if (!SioComPort1->Open())
        Closed();
    if (connecting)
        TellNoModem();
}

void TModemForm::Disconnect() {
    ModemState = 3;
    ATCommandTimer.SetEnabled(false);
    MakeCommandTimer.SetEnabled(false);
    if (SmsSending) {
        SetSignal(sgSend, sgsOff);
        SmsSending = false; // lit once, turned off once
    }
    if (MainForm)
        MainForm->OnModemDisconnecting();
    if (TObjSettingsDialog* editor = ShownEditor())
        editor->OnModemDisconnected();
    if (AppSettings && !AppSettings->UseComPort) {
        if (TapiDeviceObj) {
            try {
                TapiDeviceObj->CancelCall();
            } catch (const std::exception& e) {
                if (MainForm)
                    MainForm->PrintMessage(std::string("MD: error canceling a call - ") + e.what());
            }
        }
    } else {
        SioComPort1->SetOpen(false);
    }
}

void TModemForm::Closed() {
    if (ModemState == 0)
        return;
    ModemState = 0;
    if (MainForm)
        MainForm->OnModemDisconnect();
}

void TModemForm::SioComPort1PortOpen() {
    CurrentCommand.Next = cmdAlive;
    AliveRetries = 5;
    InitDone = false;
    pduModeRefusals_ = 0;
    passEnds_ = false;
    cutCells_.clear();
    unreadCells_.clear();
    MakeATCommand();
}

void TModemForm::SioComPort1PortClose() {
    if (ModemState != 3)
        Disconnect(); // closed by itself: the cable was pulled, the device is gone
    Closed();
}

void TModemForm::GSMTimerTimer() {
    Label1->setText(QStringLiteral("COM%1 %2")
                        .arg(SioComPort1->ComNumber())
                        .arg(SioComPort1->Open() ? QStringLiteral("opened") : QStringLiteral("closed")));
}

void TModemForm::ClearButtonClick() {
    Memo1->clear();
}

void TModemForm::AppendToMemo(const QString& text) {
    Memo1->moveCursor(QTextCursor::End);
    Memo1->insertPlainText(text);
    Memo1->verticalScrollBar()->setValue(Memo1->verticalScrollBar()->maximum());
}

QString TModemForm::PortName() const {
    return AppSettings && !AppSettings->UseComPort
               ? QStringLiteral("в модем\r\n") + FromCp1251(AppSettings->TapiDevice)
               : QStringLiteral("на COM%1").arg(SioComPort1->ComNumber());
}

// The cycle.

void TModemForm::MakeATCommand() {
    CommandIndex = std::int8_t(CurrentCommand.Next);
    CurrentCommand = ATCommandTable[std::size_t(CommandIndex)];
    std::string text = CurrentCommand.Command;
    switch (CommandIndex) {
    case cmdPinEnter:
        text += AppSettings ? std::string(AppSettings->SimPin.data()) : std::string();
        text += "\"\r";
        break;
    case cmdRead:
        SmsDecoded = false;
        [[fallthrough]];
    case cmdDelete:
        text += std::to_string(SmsCell) + "\r";
        break;
    case cmdSend: {
        char hex[SubmitHexSize];
        PduToHex(hex, &Submit);
        text += std::to_string(Submit.TpduLength) + "\r" + hex + "\x1A";
        break;
    }
    case cmdPause:
        AliveRetries = 5;
        break;
    default:
        break;
    }
    if (escapePending_) {
        text.insert(0, "\x1B"); // ends a send that the modem may still be waiting to complete
        escapePending_ = false;
    }
    AnswerResult = arNone;
    ATCommandTimer.SetInterval(CurrentCommand.TimeoutSec * 1000);
    ATCommandTimer.SetEnabled(true);
    AnswerBuffer.clear();
    try {
        if (!text.empty())
            SioComPort1->PutString(text);
    } catch (const std::exception&) {
        ATCommandTimer.SetEnabled(false);
        WriteFailed();
        return;
    }
    if (LogCheckBox->isChecked() && EchoCheckBox->isChecked())
        AppendToMemo(FromCp1251(text));
    if (CommandIndex == cmdSend) {
        SmsSending = true;
        SetSignal(sgSend, sgsOn);
    }
}

// A port that takes no more is as good as lost: the cycle ends as after a fatal answer.
void TModemForm::WriteFailed() {
    ModemErrorText = QStringLiteral("Ошибка передачи данных ") + PortName();
    Fatal();
}

void TModemForm::SioComPort1TriggerAvail(std::uint16_t count) {
    std::string bytes;
    try {
        for (std::size_t n = count; n > 0 && bytes.size() < AnswerBufferLimit;
             n = std::size_t(std::max(SioComPort1->InBuffUsed(), 0))) {
            const std::size_t at = bytes.size();
            bytes.resize(at + n);
            SioComPort1->GetBlock(bytes.data() + at, std::uint32_t(n));
        }
    } catch (const std::exception&) {
        bytes.clear(); // a port that went away meanwhile: its close follows
    }
    if (bytes.empty())
        return;
    if (LogCheckBox->isChecked())
        AppendToMemo(FromCp1251(bytes));
    // Only a command waiting for its answer takes bytes: after the answer (or the time-out) until the
    // next command is written, they are late or unsolicited.
    if (AnswerResult != arNone || !ATCommandTimer.Enabled())
        return;
    AnswerBuffer += bytes;
    if (AnswerBuffer.size() > AnswerBufferLimit)
        AnswerBuffer.erase(0, AnswerBuffer.size() - AnswerBufferLimit);
    AnswerResult = CheckAnswers(CommandIndex, AnswerBuffer);
    if (AnswerResult == arNone)
        return;
    ATCommandTimer.SetEnabled(false);
    if (AnswerResult == arAnswer0 || AnswerResult == arAnswer1) {
        ProcessOKAnswer();
        MakeCommandTimer.SetEnabled(true);
    } else if (ProcessErrorAnswer()) {
        Fatal();
    } else {
        MakeCommandTimer.SetEnabled(true);
    }
}

void TModemForm::ATCommandTimerTimer() {
    ATCommandTimer.SetEnabled(false);
    if (AnswerResult != arNone)
        return;
    AnswerResult = arTimeout;
    // A reply that is only late must not be taken for another cell's command: the pass ends with this
    // cell, and the "AT" that starts the next one takes what still comes.
    if (CommandIndex == cmdRead || CommandIndex == cmdDelete)
        passEnds_ = true;
    if (ProcessErrorAnswer())
        Fatal();
    else
        MakeATCommand();
}

void TModemForm::MakeCommandTimerTimer() {
    MakeCommandTimer.SetEnabled(false);
    MakeATCommand();
}

void TModemForm::Fatal() {
    ModemDisconnectRequested = true;
    Disconnect();
    MessageDlg(ModemErrorText, mtError, mbOK);
}

void TModemForm::ProcessOKAnswer() {
    switch (CommandIndex) {
    case cmdPinQuery:
        if (!InitDone)
            CurrentCommand.Next = cmdPduMode; // PDU mode is set once per opening
        InitDone = true;
        break;
    case cmdPinEnter:
        InitDone = true;
        break;
    case cmdPduMode:
        pduModeRefusals_ = 0;
        break;
    case cmdStorage:
        if (ModemState != 2) {
            ModemState = 2;
            if (MainForm)
                MainForm->OnModemConnect();
            if (TObjSettingsDialog* editor = ShownEditor())
                editor->OnModemConnected();
        }
        CheckIncomingSMS();
        break;
    case cmdRead:
        SmsRead(true);
        break;
    case cmdDelete:
        if (MainForm)
            MainForm->PrintMessage("MD: SMS in cell " + std::to_string(SmsCell) + " is deleted");
        unreadCells_.erase(SmsCell);
        NextCell(true);
        break;
    case cmdSend:
        SmsSendPending = false;
        SendEnded(true);
        break;
    default:
        break;
    }
}

bool TModemForm::ProcessErrorAnswer() {
    switch (CommandIndex) {
    case cmdAlive:
        InitDone = false;
        if (--AliveRetries <= 0) {
            ModemErrorText = QStringLiteral("Модем не отвечает");
            return true;
        }
        CurrentCommand.Next = cmdAlive;
        return false;
    case cmdPinQuery:
        if (AnswerResult == arAnswer2) {
            CurrentCommand.Next = cmdPinEnter;
            return false;
        }
        ModemErrorText = AnswerResult == arAnswer3 ? QStringLiteral("В модеме отсутствует SIM-карта")
                                                   : QStringLiteral("SIM-карта заблокирована");
        return true;
    case cmdPinEnter:
        ModemErrorText = QStringLiteral("Ошибка ввода PIN-кода");
        return true;
    case cmdPduMode:
        // No SMS is read or sent in text mode: the set-up starts over, but not for ever.
        InitDone = false;
        if (++pduModeRefusals_ >= PduModeAttempts) {
            ModemErrorText = QStringLiteral("Модем не поддерживает режим PDU");
            return true;
        }
        CurrentCommand.Next = cmdAlive;
        return false;
    case cmdRead:
        if (AnswerResult == arTimeout)
            SmsRead(false);
        else
            SmsNotRead();
        return false;
    case cmdDelete:
        if (MainForm)
            MainForm->PrintMessage("MD: error deleting SMS in cell " + std::to_string(SmsCell));
        NextCell(true);
        return false;
    case cmdSend:
        SmsSendPending = false;
        escapePending_ = true;
        SendEnded(false);
        return false;
    default:
        return false;
    }
}

void TModemForm::CheckIncomingSMS() {
    SmsUsed = 0;
    int used = 0, total = 0;
    if (ParseStorage(AnswerBuffer, used, total)) {
        SmsUsed = used;
        SmsTotal = total;
    }
    if (SmsUsed != 0) {
        SmsCell = 1;
        CurrentCommand.Next = cmdRead;
    }
    if (SmsSendPending)
        CurrentCommand.Next = cmdSend; // sending goes before reading
}

void TModemForm::NextCell(bool checkDecoded) {
    if (checkDecoded && SmsDecoded) {
        toCheck_.push_back(Deliver); // the next reading overwrites it
        ProcessSMSTimer.SetEnabled(true);
    }
    if (std::exchange(passEnds_, false)) {
        CurrentCommand.Next = cmdAlive; // a waiting send goes after the next "AT+CPMS?"
        return;
    }
    if (SmsSendPending) {
        CurrentCommand.Next = cmdSend;
        return;
    }
    ++SmsCell;
    CurrentCommand.Next = SmsCell > SmsTotal || SmsUsed < 1 ? cmdAlive : cmdRead;
}

void TModemForm::SendEnded(bool sent) {
    if (!SmsSending)
        return;
    SetSignal(sgSend, sgsOff);
    SmsSending = false;
    if (TObjSettingsDialog* editor = ShownEditor()) {
        if (sent)
            editor->OnSMSSent();
        else
            editor->OnSMSFailed();
    }
}
