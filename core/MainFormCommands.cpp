// The status bar's indicators, the reactions to the server and the GSM modem, and the operator's menu,
// tool-bar and panel commands with their access checks.
#include "core/MainForm.h"

#include <QPainter>
#include <QPushButton>
#include <QTabWidget>

#include "core/AboutBox.h"
#include "core/ObjectRegistry.h"
#include "core/Settings.h"
#include "dialogs/AddressBook.h"
#include "dialogs/ObjSettingsDialog.h"
#include "dialogs/SettingsDialog.h"
#include "gsm/ModemForm.h"
#include "platform/Cp1251.h"
#include "platform/Dialogs.h"
#include "sessions/ConnectionForm.h"
#include "sessions/GroupForms.h"
#include "sessions/VirtualPorts.h"

namespace {

struct TIndicatorLook {
    QColor Brush, Text; // an invalid colour: the system's button face and window text
    const char* Caption;
};

// By the panel's code "0" to "8".
const TIndicatorLook IndicatorLooks[9] = {
    {QColor(220, 30, 30), Qt::white, "TCP-порт"},
    {QColor(80, 200, 80), Qt::black, "TCP-порт"},
    {QColor(), QColor(), "Отправка"},
    {QColor(40, 121, 210), Qt::white, "Отправка"},
    {QColor(), QColor(), "Прием"},
    {QColor(40, 121, 210), Qt::white, "Прием"},
    {QColor(220, 30, 30), Qt::white, "Модем"},
    {QColor(215, 215, 90), Qt::black, "Модем"},
    {QColor(80, 200, 80), Qt::black, "Модем"},
};

// A counter shared by the users of one indicator: lit while any of them holds it.
bool Balance(int& counter, TSignalState state) {
    if (state == sgsOn)
        return ++counter > 0;
    if (--counter <= 0)
        counter = 0;
    return counter > 0;
}

} // namespace

void TMainForm::SetSignal(TSignal signal, TSignalState state) {
    auto code = [this](TStatusPanelIndex panel, const char* text) {
        StatusBar1->Panels(panel).Text = QLatin1String(text);
    };
    switch (signal) {
    case sgTcpPort:
        code(spTcpPort, state == sgsOn ? "1" : "0");
        break;
    case sgModem:
        code(spModem, state == sgsOff ? "6" : state == sgsOn ? "8" : "7");
        break;
    case sgSend:
        code(spSend, Balance(sendCount_, state) ? "3" : "2");
        break;
    case sgReceive:
        code(spReceive, Balance(receiveCount_, state) ? "5" : "4");
        break;
    default:
        return;
    }
    StatusBar1->Repaint();
}

void TMainForm::StatusBar1DrawPanel(int index, QPainter& painter, const QRect& rect) {
    const QString text = StatusBar1->Panels(index).Text;
    const QChar first = text.isEmpty() ? QChar() : text.front();
    if (first >= QLatin1Char('0') && first <= QLatin1Char('8')) {
        const TIndicatorLook& look = IndicatorLooks[first.unicode() - '0'];
        painter.fillRect(rect, look.Brush.isValid() ? look.Brush : palette().color(QPalette::Button));
        painter.setPen(look.Text.isValid() ? look.Text : palette().color(QPalette::WindowText));
        const QString caption = QString::fromUtf8(look.Caption);
        const int left = rect.left() + (rect.width() - painter.fontMetrics().horizontalAdvance(caption)) / 2;
        painter.setClipRect(rect);
        painter.drawText(QRect(left, rect.top(), rect.right() - left + 1, rect.height()),
                         Qt::AlignLeft | Qt::AlignTop, caption);
    } else {
        LogInvalidPanel("text", index, rect, text);
    }
    if (index < 0 || index > 4)
        LogInvalidPanel("number", index, rect, text);
    if (rect.width() != 76)
        LogInvalidPanel("width", index, rect, text);
}

// Each complaint once: the panels are repainted all the time, and every log line costs a save.
void TMainForm::LogInvalidPanel(const char* what, int index, const QRect& rect, const QString& text) {
    const QString line = QStringLiteral("Invalid %1 for StatusBar panel №%2: %3 %4")
                             .arg(QLatin1String(what))
                             .arg(index)
                             .arg(rect.width())
                             .arg(text);
    if (loggedPanelErrors_.insert(line).second)
        Log(line);
}

void TMainForm::OnServerSocketOpen() {
    SetSignal(sgTcpPort, sgsOn);
    TCPOpenMenuItem->setEnabled(false);
    TCPCloseMenuItem->setEnabled(true);
    Status(QStringLiteral("TCP-порт открыт"));
    Log(QStringLiteral("CH: TCP port is opened (%1)").arg(AppSettings ? AppSettings->TcpPort : 0));
}

void TMainForm::OnServerSocketOpenError() {
    const int port = AppSettings ? AppSettings->TcpPort : 0;
    Status(QStringLiteral("Ошибка открытия порта"));
    Log(QStringLiteral("CH: error opening TCP port %1").arg(port));
    MessageDlg(QStringLiteral("Ошибка открытия порта!\r\nНевозможно открыть TCP-порт %1").arg(port), mtError,
               mbOK);
}

void TMainForm::OnServerSocketClose(bool) {
    SetSignal(sgTcpPort, sgsOff);
    Status(QStringLiteral("TCP-порт закрыт"));
    Log(QStringLiteral("CH: the TCP port is closed"));
    TCPOpenMenuItem->setEnabled(true);
    TCPCloseMenuItem->setEnabled(false);
}

void TMainForm::OnModemConnect() {
    SetSignal(sgModem, sgsOn);
    UpdateObjectPanel();
    PrintMessage("Modem is connected - ");
}

void TMainForm::OnModemDisconnecting() {
    SetSignal(sgModem, sgsChanging);
    UpdateObjectPanel();
}

void TMainForm::OnModemDisconnect() {
    SetSignal(sgModem, sgsOff);
    PrintMessage("Modem is disconnected");
    // The message waits until the modem window's own processing is over.
    if (!ModemDisconnectRequested)
        ModemDisconnectTimer.SetEnabled(true);
    ModemDisconnectRequested = false;
}

void TMainForm::ModemDisconnectTimerTimer() {
    ModemDisconnectTimer.SetEnabled(false);
    MessageDlg(QStringLiteral("Связь с модемом прервана"), mtError, mbOK);
}

void TMainForm::MessageSendTimerTimer() {
    SetSignal(sgSend, sgsOff);
    MessageSendTimer.SetEnabled(false);
}

void TMainForm::SMSReceiveTimerTimer() {
    SetSignal(sgReceive, sgsOff);
    SMSReceiveTimer.SetEnabled(false);
}

void TMainForm::VirtualPortAxRxChar(TVirtualPortAx* sender, int count) {
    ReadVirtualPort(sender, count);
}

void TMainForm::TCPOpenMenuItemClick() {
    if (ConnectionForm)
        ConnectionForm->OpenPort();
}

void TMainForm::TCPCloseMenuItemClick() {
    if (ConnectionForm)
        ConnectionForm->ClosePort(true);
}

void TMainForm::GeneralMenuItemClick() {
    SettingsMenuItemClick(0);
}

void TMainForm::UpdateMenuItemClick() {
    SettingsMenuItemClick(1);
}

void TMainForm::SMSMenuItemClick() {
    SettingsMenuItemClick(3);
}

// The dialog runs without a modal loop while the main window is disabled; it enables the window and
// ends the access itself when it closes.
void TMainForm::SettingsMenuItemClick(int tag) {
    ClosePinNameEdit(true);
    CheckPassword();
    if (!AccessGranted || !SettingsDialog)
        return;
    SettingsDialog->PageControl1->setCurrentIndex(tag);
    setEnabled(false);
    SettingsDialog->show();
}

void TMainForm::ABookMenuItemClick() {
    ClosePinNameEdit(true);
    CheckPassword();
    if (AccessGranted && AddrBook && AddrBook->ShowModal() == mrOk) {
        BuildObjectStates();
        FillObjectsGrid();
        PrepareKeys();
        if (ConnectionForm)
            ConnectionForm->UpdateConnections();
        WriteStates();
        UpdateAll();
    }
    if (AddrBook)
        AddrBook->ClearGrid();
    AccessGranted = false;
}

void TMainForm::GroupsMenuItemClick() {
    ClosePinNameEdit(true);
    CheckPassword();
    if (AccessGranted && GroupsDialog && GroupsDialog->ShowModal() == mrOk)
        WriteStates();
    AccessGranted = false;
}

void TMainForm::AboutMenuItemClick() {
    if (AboutBox)
        AboutBox->ShowModal();
}

void TMainForm::SettingsButtonClick() {
    TObjectStates* o = SelectedObject();
    if (!o)
        return;
    CheckPassword();
    if (AccessGranted && ObjSettingsDialog) {
        ObjSettingsDialog->Tag = o->ObjectNumber;
        ObjSettingsDialog->LoadButtonClick();
    }
    AccessGranted = false;
}

void TMainForm::RequestCoordsButtonClick() {
    TObjectStates* o = SelectedObject();
    if (!o)
        return;
    if (o->Connected) {
        if ((o->RequestFlags & TObjectStates::HwInfoRequested) || !ConnectionForm)
            return;
        const int result = ConnectionForm->QueryHwInfo(o->ObjectNumber);
        if (result == rrNotConnected) {
            MessageDlg(QStringLiteral("Невозможно отправить запрос!\rМодем не подключен!"), mtError, mbOK);
        } else if (result == rrQueued) {
            o->RequestFlags |= TObjectStates::HwInfoRequested;
            RequestButton->setEnabled(false);
        }
        return;
    }
    if (ModemState != msReady || SmsSendPending || !ModemForm)
        return;
    const QString question =
        o->IsBKModel
            ? QStringLiteral("Запрос будет отправлен с помощью SMS")
            : QStringLiteral("Невозможно отправить запрос через TCP/IP!\r\nОтправить с помощью SMS?");
    if (MessageDlg(question, mtConfirmation, mbOKCancel) != mrOk)
        return;
    const int result = ModemForm->QueryHwInfo(o);
    if (result == srNoPhone)
        MessageDlg(QStringLiteral("Не задан номер телефона модема!"), mtError, mbOK);
    else if (result == srNotFormed)
        MessageDlg(QStringLiteral("Ошибка формирования запроса!"), mtError, mbOK);
}

// A voice call goes over the modem's TCP connection, or else through the GSM modem; neither places one.
void TMainForm::CallButtonClick() {
    TObjectStates* o = SelectedObject();
    if (!o)
        return;
    const QString phone = AppSettings ? FromCp1251(FixedText(AppSettings->DispatcherPhone)) : QString();
    if (o->Connected) {
        if (ConnectionForm)
            ConnectionForm->SetCall(o->ObjectNumber, phone);
    } else if (ModemForm) {
        ModemForm->SetCall(o, phone);
    }
}

void TMainForm::ExtraInfoTimerTimer() {
    if (!ConnectionForm)
        return;
    for (const auto& o : ObjectList) {
        if (!o->Connected || o->IsBKModel || (o->RequestFlags & TObjectStates::HwInfoRequested))
            continue;
        if (ConnectionForm->QueryHwInfo(o->ObjectNumber) == rrQueued) {
            o->RequestFlags |= TObjectStates::HwInfoRequested;
            RequestButton->setEnabled(false);
        }
    }
}
