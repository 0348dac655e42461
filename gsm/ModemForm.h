// The GSM modem window: the GSM modem on a COM port or a telephony line, its AT command cycle and the
// SMS it receives and sends; and the single-instance test of the program.
//
// Connect opens the port (or places the telephony line's pass-through call, whose connection opens the
// port); the port's opening starts the cycle. The cycle is driven by two timers, exactly one armed
// between commands: ATCommandTimer waits for the answer, MakeCommandTimer makes the second's gap before
// the next command. It checks that the modem answers, checks the SIM and enters its PIN, sets PDU mode
// once per opening, counts the stored SMS, reads each and deletes it once it was read whole, sends the
// one waiting SMS, pauses and starts over. A fatal answer (a modem that refuses PDU mode a few times
// too), or a write that fails, closes the port and tells the operator; a port that closes by itself
// ends the cycle the same way, and the main window reports the lost link. Nothing reconnects the modem.
//
// Nothing leaves the SIM unseen: an SMS that does not decode is logged with its reply's lines before
// its cell is deleted, and one whose reply was cut short is read again on the next pass, and logged and
// deleted when that reply is cut short too. A read or delete that times out ends the pass, so that a
// reply that is only late goes to the "AT" of the next pass, never to another cell's command. An SMS not
// in the 7-bit alphabet is logged with its reply's lines as well: its text is not all of it. Every SMS
// decoded is checked once, in the order read, even while the box of an earlier one is open and the cycle
// reads on.
//
// Received bytes are read in the port's avail notification: everything waiting, as raw bytes. An answer
// is acted on once: bytes after it until the next command are only logged.
//
// The window itself only monitors the dialogue; the main window creates it at start-up and never shows
// it. Main thread only.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <set>
#include <string>

#include <QString>

#include "gsm/AtCommands.h"
#include "gsm/Pdu.h"
#include "platform/Forms.h"
#include "platform/Shell.h"
#include "platform/Timer.h"
#include "protocol/tmgsm.h"

class QCheckBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class TObjectStates;
class TSioComPort;
class TSioTapiDevice;

enum TModemState : std::int32_t { msClosed, msConnecting, msReady, msDisconnecting };
extern TModemState ModemState;
// What a request SMS to an object came to.
enum TSmsRequestResult : int {
    srQueued,    // for the next AT cycle
    srNoPhone,   // the object has no phone number
    srNotFormed, // the SMS could not be built or encoded
};
// An SMS waits for the AT cycle to send it.
extern bool SmsSendPending;
// "AT+CMGS=" was written and the send indicator is lit.
extern bool SmsSending;

// The single-instance mutex, taken by the first IsAlreadyRunning and held for the life of the process.
// Tests reset it to start another "instance".
extern std::unique_ptr<TNamedMutex> MutexHandle;

// True when another process (or another holder) has the named mutex. A second call in the same process
// returns false.
bool IsAlreadyRunning(const QString& name);

// The "AT" a modem may leave unanswered in a row before it counts as gone.
inline constexpr std::int32_t AliveAttempts = 5;

class TModemForm : public TForm {
public:
    explicit TModemForm(QWidget* owner = nullptr);
    ~TModemForm() override;

    // Starts connecting the GSM modem of the settings; false when its port could not be opened (or the
    // telephony line not reached), which the operator has been told. ModemState is msConnecting
    // afterwards.
    virtual bool Connect();
    // Stops the AT cycle and closes the port or cancels the telephony call.
    virtual void Disconnect();

    // Request SMS to an object, queued for the next AT cycle; each returns a TSmsRequestResult. One SMS
    // waits at a time and a new request replaces it, so callers ask only while ModemState is msReady
    // and SmsSendPending is false. The SMS is formed within
    // the call.
    // The hardware information.
    virtual int QueryHwInfo(TObjectStates* object);
    // Writes the profile parts in mask (1 profile 1, 2 profile 2) from profile.
    virtual int SetProfile(TObjectStates* object, ObjProfile* profile, std::uint32_t mask);
    // Asks for what the request mask names; nothing calls it.
    virtual int QueryProfile(TObjectStates* object, std::uint32_t mask);
    // Voice call and telemetry: nothing is sent; always 0.
    virtual int SetCall(TObjectStates* object, const QString& phone);
    int SetTelemetry();
    // Builds the text for mask into sms with the object's key and encodes it to the object's phone:
    // 0 pending (for a mask of 0: nothing asked, nothing done); 2 the text could not be built (or came
    // out empty or short of a request); 3 it is longer than 160 characters; 4 the number was refused.
    int SendTervelSMS(SmsObj* sms, TObjectStates* object, std::uint32_t mask);

    // Incoming SMS: takes the SMS out of the "+CMGR:" reply (true when one was decoded); checks a
    // decoded SMS against the object of its sender (the SMS whose cells were deleted, 50 ms later, in
    // their order); the hook for a verified SMS, which gives the object the answered inputs and version.
    bool ReceiveSMS();
    void ProcessSMS(const SmsDeliverRecord& deliver);
    virtual void ProcessSMSEvents(SmsObj* sms, TObjectStates* object, bool ownKey);
    // Forward profile answers to the profile editor; nothing calls them.
    void DecodeProfile1(ObjProfile* profile, bool authFlag);
    void DecodeProfile2(ObjProfile* profile, bool authFlag);

    // Controls and components.
    QLabel* Label1 = nullptr;
    QPlainTextEdit* Memo1 = nullptr;
    QCheckBox *LogCheckBox = nullptr, *EchoCheckBox = nullptr;
    QPushButton* ClearButton = nullptr;
    TTimer GSMTimer, ATCommandTimer, MakeCommandTimer, ProcessSMSTimer;
    std::unique_ptr<TSioComPort> SioComPort1;
    // The telephony line device, made on the first telephony connect. Declared after the port: the
    // device's destructor closes the port, so it goes first.
    std::unique_ptr<TSioTapiDevice> TapiDeviceObj;

    // The cycle's state.
    TATCommand CurrentCommand{};
    std::int8_t CommandIndex = 0;
    std::int32_t AnswerResult = arNone;
    std::string AnswerBuffer; // raw bytes received since the command was written
    QString ModemErrorText;
    std::int32_t AliveRetries = 0; // of AliveAttempts
    std::int32_t SmsUsed = 0, SmsTotal = 0, SmsCell = 0;
    bool InitDone = false;
    bool SmsDecoded = false;
    // The one outgoing and the last received SMS.
    SmsSubmitRecord Submit{};
    SmsDeliverRecord Deliver{};

    // Timer ticks and port events (public for the tests' sake, as a form's handlers are).
    void GSMTimerTimer();
    void ATCommandTimerTimer();
    void MakeCommandTimerTimer();
    void ProcessSMSTimerTimer();
    void SioComPort1PortOpen();
    void SioComPort1PortClose();
    void SioComPort1TriggerAvail(std::uint16_t count);
    void ClearButtonClick();

private:
    void CreateControls();
    void OpenTapiDevice();
    void TapiDeviceFail();
    void MakeATCommand();
    void ProcessOKAnswer();
    // True when the outcome is fatal (ModemErrorText set).
    bool ProcessErrorAnswer();
    void Fatal();
    void WriteFailed();
    // The port is closed for good: state 0 and the main window told.
    void Closed();
    void CheckIncomingSMS();
    // The answer to "AT+CMGR=": whole (its final result came) or not.
    void SmsRead(bool whole);
    // The modem refused "AT+CMGR=".
    void SmsNotRead();
    // After the cell was deleted (or could not be): the deferred check, a waiting send, the next cell.
    void NextCell(bool checkDecoded);
    void SendEnded(bool sent);
    int Request(TObjectStates* object, const char* name, std::uint32_t mask, ObjProfile* profile);
    void AppendToMemo(const QString& text);
    QString PortName() const;

    bool escapePending_ = false; // the last send failed: ESC goes before the next command
    int pduModeRefusals_ = 0;    // "AT+CMGF=0" failed in a row since the port opened
    bool passEnds_ = false;      // a read or delete timed out: the pass ends with its cell
    std::set<int> cutCells_;     // cells whose last reading was cut short
    std::set<int> unreadCells_;  // cells the modem refused to read, logged once until read or deleted
    // Decoded SMS whose cells were deleted, oldest first, waiting for their check.
    std::deque<SmsDeliverRecord> toCheck_;
};

extern TModemForm* ModemForm;
