// The GSM modem window's SMS: request SMS to the objects, and the SMS the modems send.
#include <algorithm>
#include <cstring>
#include <exception>

#include "core/MainForm.h"
#include "core/ObjectRegistry.h"
#include "dialogs/ObjSettingsDialog.h"
#include "gsm/ModemForm.h"
#include "platform/Cp1251.h"
#include "sessions/SessionLog.h"

namespace {

// One day, in the codec's units of five minutes.
constexpr unsigned SmsValidity = 288;

// Log lines that hold an SMS's own Windows-1251 text.
void Log(const std::string& text) {
    if (MainForm)
        MainForm->PrintMessage(text);
}

} // namespace

// Outgoing requests.

int TModemForm::QueryHwInfo(TObjectStates* object) {
    return Request(object, "GetHwInfo", REQ_GET_HW_INFO, nullptr);
}

int TModemForm::SetProfile(TObjectStates* object, ObjProfile* profile, std::uint32_t mask) {
    return Request(object, "SetProfile", mask, profile);
}

int TModemForm::QueryProfile(TObjectStates* object, std::uint32_t mask) {
    return Request(object, "GetProfile", mask, nullptr);
}

int TModemForm::SetCall(TObjectStates*, const QString&) {
    return 0;
}

int TModemForm::SetTelemetry() {
    return 0;
}

int TModemForm::Request(TObjectStates* object, const char* name, std::uint32_t mask, ObjProfile* profile) {
    if (!object || object->Phone.empty())
        return 1;
    SessionLog(QStringLiteral("MD: sending ") + QLatin1String(name) + ObjectText(object->ObjectNumber));
    SmsObj sms{};
    try {
        TMGSM_InitSms(&sms, &AuthKeyTable);
    } catch (const std::exception& e) {
        Log(std::string("MD: Init TE-SMS object error - ") + e.what());
        return 2;
    }
    sms.Params.Profile = profile;
    return SendTervelSMS(&sms, object, mask) == 0 ? 0 : 2;
}

int TModemForm::SendTervelSMS(SmsObj* sms, TObjectStates* object, std::uint32_t mask) {
    if (mask == 0)
        return 0;
    std::uint32_t missing = 0;
    try {
        missing =
            TMGSM_CreateSmsMsg(sms, reinterpret_cast<const std::uint8_t*>(object->Password.data()), mask);
    } catch (const std::exception& e) {
        Log(std::string("MD: Create TE-SMS error - ") + e.what());
        return 2;
    }
    // A request that did not fit, or nothing at all, is not what the caller asked to send.
    if (missing != 0 || sms->TextLen == 0)
        return 2;
    std::size_t length = std::min<std::size_t>(sms->TextLen, sizeof sms->Text);
    if (sms->Text[length - 1] == '\n')
        --length;
    if (length > 160)
        return 3;
    const int result = EncodeSubmitPdu(SmsValidity, object->Phone.c_str(), sms->Text, &Submit, length);
    if (result == PduNumberRefused)
        return 4;
    if (result != PduEncoded)
        return 3;
    SmsSendPending = true;
    return 0;
}

// Incoming SMS.

bool TModemForm::ReceiveSMS() {
    SmsDecoded = false;
    const std::string line = ReadPduLine(AnswerBuffer);
    if (line.empty() || !DecodeDeliverPdu(line.c_str(), &Deliver))
        return false;
    SmsDecoded = true;
    Log(std::string("MD: SMS from ") + Deliver.Sender + "\r\n" + Deliver.Text + "\r\n");
    return true;
}

// A found SMS read whole is deleted, decoded or not; one that does not decode, or is not in the 7-bit
// alphabet (UCS2, 8-bit data), goes to the log with its "+CMGR:" line and its PDU line first, so that
// its content is kept (also that of a modem fallen back into text mode). One whose reply was cut short is
// left for a second reading on the next pass, and goes the same way when that reply is cut short too. An
// empty cell is passed by.
void TModemForm::SmsRead(bool whole) {
    if (AnswerBuffer.find("+CMGR:") == std::string::npos) {
        if (whole)
            cutCells_.erase(SmsCell);
        NextCell(false);
        return;
    }
    unreadCells_.erase(SmsCell);
    --SmsUsed; // one of the SMS counted is found
    if (!whole && cutCells_.insert(SmsCell).second) {
        NextCell(false);
        return;
    }
    cutCells_.erase(SmsCell);
    const auto logReply = [this](const char* what) {
        Log("MD: SMS in cell " + std::to_string(SmsCell) + what + "\r\n" + ReadSmsHeader(AnswerBuffer) +
            "\r\n" + ReadPduLine(AnswerBuffer) + "\r\n");
    };
    if (!whole || !ReceiveSMS())
        logReply(whole ? " is not decoded" : " is cut short");
    else if (!IsDefaultAlphabet(Deliver.Dcs))
        logReply(" is not in the 7-bit alphabet"); // no modem's answer; its text may not hold all of it
}

// A cell the modem will not read is deleted all the same, or every pass would read it again and count
// it among the SMS still to come. An empty cell that the modem calls an invalid index is passed by, as
// one answered with a bare OK.
void TModemForm::SmsNotRead() {
    if (AnswerBuffer.find("+CMS ERROR: 321") != std::string::npos) {
        NextCell(false);
        return;
    }
    if (unreadCells_.insert(SmsCell).second)
        Log("MD: error reading SMS in cell " + std::to_string(SmsCell));
}

// The box of one SMS keeps this handler open while the cycle reads on; the SMS deleted meanwhile wait
// in the queue and are checked here, in their order, once the box is closed.
void TModemForm::ProcessSMSTimerTimer() {
    ProcessSMSTimer.SetEnabled(false);
    while (!toCheck_.empty()) {
        const SmsDeliverRecord sms = toCheck_.front();
        toCheck_.pop_front();
        ProcessSMS(sms);
    }
}

void TModemForm::ProcessSMS(const SmsDeliverRecord& deliver) {
    const std::string sender = deliver.Sender;
    TObjectStates* object = FindObjectByPhone(PhoneKey(sender));
    bool withoutCommand = false, idMismatch = false;
    SmsObj sms{};
    if (object) {
        try {
            TMGSM_InitSms(&sms, &AuthKeyTable);
        } catch (const std::exception& e) {
            Log(std::string("MD: Init TE SMS object error - ") + e.what());
        }
        int result = -1;
        try {
            result = TMGSM_AcceptSmsMsg(&sms, deliver.Text, std::strlen(deliver.Text));
        } catch (const std::exception& e) {
            Log(std::string("MD: TMGSM_AcceptSmsMsg error - ") + e.what());
        }
        switch (result) {
        case SMS_NO_MARKER:
        case SMS_MALFORMED:
            Log("MD: incorrect TE SMS\r\n");
            break;
        case SMS_BAD_CRC:
            Log("MD: TE SMS crc error\r\n");
            break;
        case SMS_NO_KEY:
            Log("MD: TE SMS key error\r\n");
            break;
        case SMS_FACTORY_KEY:
        case SMS_OWN_KEY:
            SessionLog(QStringLiteral("MD: TE SMS OK - ") + Hex(sms.Results.Answered, 8));
            if (sms.Results.Answered == 0)
                withoutCommand = true;
            else if (sms.ModemId != object->ModemID)
                idMismatch = true;
            else
                ProcessSMSEvents(&sms, object, result == SMS_OWN_KEY);
            break;
        default:
            break;
        }
    }
    if (MainForm && !MainForm->SMSReceiveTimer.Enabled()) {
        MainForm->SetSignal(sgReceive, sgsOn);
        MainForm->SMSReceiveTimer.SetEnabled(true);
    }
    if (withoutCommand) {
        Log("MD: SMS error - no cmd");
        MessageDlg(
            QStringLiteral("Не удалось декодировать данные SMS-сообщения\r\nВозможно, неправильно указан "
                           "тип контроллера для объекта %1")
                .arg(object->ObjectNumber),
            mtError, mbOK);
    }
    if (idMismatch) {
        SessionLog(QStringLiteral("MD: ID's matching error - %1 - %2").arg(object->ModemID).arg(sms.ModemId));
        MessageDlg(
            QStringLiteral("ID контроллера с номером телефона %1 (%2)\r\n не совпадает с ID, указанным в "
                           "адресной книге (%3)")
                .arg(FromCp1251(sender))
                .arg(sms.ModemId)
                .arg(object->ModemID),
            mtError, mbOK);
    }
}

// A verified answer reaches its object as the same answer over TCP would: the input states and, from
// the hardware information, the version.
void TModemForm::ProcessSMSEvents(SmsObj* sms, TObjectStates* object, bool) {
    const std::uint32_t answered = sms->Results.Answered;
    if (!(answered & (REQ_GET_HW_INFO | REQ_GET_INPUTS)) || !MainForm)
        return;
    const HwInfo& info = sms->Results.HwInfo;
    if (answered & REQ_GET_HW_INFO)
        std::copy(std::begin(info.Version), std::end(info.Version), object->HwVersion.begin());
    TReportHeader header;
    header.ObjectNumber = object->ObjectNumber;
    header.Times.fill(Now());
    TSensorReport report;
    for (int i = 0; i < 4; ++i)
        report.InputStates[std::size_t(i)] = std::int8_t((info.InputBits >> i) & 1);
    report.ObjectNumber = object->ObjectNumber;
    report.Kind = (answered & REQ_GET_HW_INFO) ? 1 : 0;
    MainForm->ConverterReceiveSensor(this, header, report);
    MainForm->UpdateObjectPanel();
}

void TModemForm::DecodeProfile1(ObjProfile* profile, bool authFlag) {
    try {
        if (ObjSettingsDialog)
            ObjSettingsDialog->DecodeProfile1(profile, authFlag);
    } catch (const std::exception& e) {
        Log(std::string("MD: profile1 decoding error - ") + e.what());
    }
}

void TModemForm::DecodeProfile2(ObjProfile* profile, bool authFlag) {
    try {
        if (ObjSettingsDialog)
            ObjSettingsDialog->DecodeProfile2(profile, authFlag);
    } catch (const std::exception& e) {
        Log(std::string("MD: profile2 decoding error - ") + e.what());
    }
}
