// The line device's own calls over the scripted telephony back-end: dialling with redial on the fake
// clock, answering with caller identification, the operations Linux does not offer, the line's
// configuration and numbers, the texts of call progress, and the device among a form's components.
#include <algorithm>
#include <functional>

#include <gtest/gtest.h>

#include <QComboBox>
#include <QPushButton>

#include "platform/Clock.h"
#include "platform/ScriptedDialogs.h"
#include "platform/TapiConfigDialog.h"
#include "platform/TapiTestBackEnd.h"
#include "serial/ComPort.h"
#include "serial/Exceptions.h"
#include "serial/TapiDevice.h"
#include "tests/platform/TestSupport.h"
#include "tests/serial/SerialTestSupport.h"

namespace {

constexpr std::int32_t RetryStatus = 32; // the device's own waiting-for-retry status

int Count(const std::vector<TTapiLogCode>& logged, TTapiLogCode code) {
    return int(std::count(logged.begin(), logged.end(), code));
}

TTapiConfigRec ConfigRec(const TTapiDevConfig& line) {
    TTapiConfigRec config;
    const std::string bytes = TapiDevConfigBytes(line);
    config.DataSize = std::uint32_t(bytes.size());
    std::copy(bytes.begin(), bytes.end(), config.Data.begin());
    return config;
}

std::optional<TTapiDevConfig> DevConfigOf(const TTapiConfigRec& config) {
    return TapiDevConfigOf(config.Data.data(), config.DataSize);
}

// A status display without a window: what the device tells it.
class TQuietStatus : public TSioAbstractTapiStatus {
public:
    using TSioAbstractTapiStatus::TSioAbstractTapiStatus;
    void UpdateDisplay(bool, bool, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t,
                       std::uint32_t) override {
        ++updates;
    }
    int updates = 0;

protected:
    void CreateDisplay() override {}
    void DestroyDisplay() override {}
};

// A data line on a pty, a port in tmAuto and a device on them, with what the device reports.
class TapiCalls : public ::testing::Test {
protected:
    TapiCalls() {
        port.SetOnTriggerAvail([](TSioCustomComPort*, std::uint16_t) {});
        device.ComPort = &port;
        device.ShowPorts = false;
        device.ShowTapiDevices = false;
        device.SetSelectedDevice("Modem");
        device.OnTapiLog = [this](TSioCustomTapiDevice*, TTapiLogCode code) { logged.push_back(code); };
        device.OnTapiStatus = [this](TSioCustomTapiDevice* sender, bool, bool, std::int32_t,
                                     std::int32_t message, std::int32_t param1, std::int32_t,
                                     std::int32_t param3) {
            ++statuses;
            if (message == RetryStatus)
                retries.push_back(sender->TapiStatusMsg(DWORD(message), DWORD(param1), 0));
            if (message == LINE_LINEDEVSTATE && DWORD(param1) == LINEDEVSTATE_RINGING)
                rings.push_back(param3);
        };
        device.OnTapiFail = [this](TSioCustomTapiDevice*) { ++failures; };
        device.OnTapiCallerID = [this](TSioCustomTapiDevice*, const std::string& id,
                                       const std::string& name) { callerIds.emplace_back(id, name); };
    }
    ~TapiCalls() override {
        device.CancelCall();
        PumpUntil([&] { return !port.Open(); });
    }

    TComFolder folder;
    TScriptedDialogs dialogs{FailTest};
    TPtyPair pty;
    TTapiTestBackEnd tapi;
    TFakeClock clock;
    const DWORD modem =
        tapi.AddLine({.Name = "Modem", .Device = QString::fromStdString(pty.SlavePath()), .Rate = 9600});
    TSioComPort port;
    // What the device reported; they outlive it, which reports as it goes.
    std::vector<TTapiLogCode> logged;
    std::vector<std::string> retries;
    std::vector<std::int32_t> rings;
    std::vector<std::pair<std::string, std::string>> callerIds;
    int statuses = 0;
    int failures = 0;
    TSioTapiDevice device{nullptr};
};

struct TDialCase {
    const char* Name;
    std::vector<TTapiTestBackEnd::TDialResult> Results; // of the calls in turn; then they connect
    std::function<void(TTapiTestBackEnd&)> Script;
    int Calls;
    bool Connected;
    LONG FailureCode;
    std::vector<TTapiLogCode> Log;
};

class TapiDialling : public TapiCalls, public ::testing::WithParamInterface<TDialCase> {};

// RetryWait 60 and MaxAttempts 3, as a device starts.
TEST_P(TapiDialling, AFailedCallIsPlacedAgainRetryWaitSecondsLaterUpToMaxAttempts) {
    const TDialCase& c = GetParam();
    for (const auto result : c.Results)
        tapi.QueueDialResult(modem, result);
    if (c.Script)
        c.Script(tapi);
    const auto dialled = [&] { return int(tapi.DialledNumbers(modem).size()); };

    device.Dial("+7 900 123-45-67");
    for (int call = 1; call < c.Calls; ++call) {
        ASSERT_TRUE(PumpUntil([&] { return Count(logged, ltapiDrop) == call; }));
        clock.Advance(59000); // a waiting-for-retry status each second, no call yet
        EXPECT_EQ(dialled(), call);
        EXPECT_EQ(retries.size(), std::size_t(59 * call));
        clock.Advance(1000);
        EXPECT_EQ(dialled(), call + 1);
    }
    ASSERT_TRUE(PumpUntil([&] { return port.Open() || failures > 0; }));
    clock.Advance(120000); // nothing more is placed
    EXPECT_EQ(dialled(), c.Calls);
    EXPECT_EQ(tapi.DialledNumbers(modem).back(), "+7 900 123-45-67");
    EXPECT_EQ(tapi.DialledBearerModes(modem), std::vector<DWORD>(std::size_t(c.Calls), LINEBEARERMODE_VOICE));
    EXPECT_EQ(port.Open(), c.Connected);
    EXPECT_EQ(device.CallConnected(), c.Connected);
    EXPECT_EQ(failures, c.Connected ? 0 : 1);
    EXPECT_EQ(device.FailureCode(), c.FailureCode);
    EXPECT_EQ(logged, c.Log);
    if (c.Calls > 1) {
        EXPECT_EQ(retries.front(), "Waiting for retry in 59 seconds");
        EXPECT_EQ(retries.at(58), "Waiting for retry in 1 seconds");
    }
}

using B = TTapiTestBackEnd;
INSTANTIATE_TEST_SUITE_P(
    Outcomes, TapiDialling,
    ::testing::Values(TDialCase{"BusyThenConnected",
                                {B::Busy},
                                {},
                                2,
                                true,
                                0,
                                {ltapiCallStart, ltapiDial, ltapiBusy, ltapiDrop, ltapiDial, ltapiConnect}},
                      TDialCase{"BusyEveryTime",
                                {B::Busy, B::Busy, B::Busy},
                                {},
                                3,
                                false,
                                0,
                                {ltapiCallStart, ltapiDial, ltapiBusy, ltapiDrop, ltapiDial, ltapiBusy,
                                 ltapiDrop, ltapiDial, ltapiBusy, ltapiDrop, ltapiCallFinish, ltapiDialFail}},
                      TDialCase{"NoAnswerThenTheFarEndUnavailable",
                                {B::NoAnswer, B::Disconnected, B::Disconnected},
                                {},
                                3,
                                false,
                                LINEDISCONNECTMODE_UNAVAIL,
                                {ltapiCallStart, ltapiDial, ltapiDrop, ltapiDial, ltapiDrop, ltapiDial,
                                 ltapiDrop, ltapiCallFinish, ltapiDialFail}},
                      TDialCase{"RefusedWhenPlacedIsNotPlacedAgain",
                                {},
                                [](B& tapi) { tapi.FailNextReply("lineMakeCall", LINEERR_CALLUNAVAIL); },
                                1,
                                false,
                                LINEERR_CALLUNAVAIL,
                                {ltapiCallStart, ltapiDial, ltapiDialFail, ltapiDrop, ltapiCallFinish,
                                 ltapiDialFail}}),
    [](const ::testing::TestParamInfo<TDialCase>& info) { return std::string(info.param.Name); });

TEST_F(TapiCalls, AConnectedCallThatEndsIsNoFailedDial) {
    device.Dial("100");
    ASSERT_TRUE(PumpUntil([&] { return port.Open(); }));
    tapi.Disconnect(device.CallHandle());
    ASSERT_TRUE(PumpUntil([&] { return Count(logged, ltapiCallFinish) == 1; }));
    EXPECT_TRUE(PumpIdle()); // a failure would have been posted by then
    EXPECT_EQ(logged, (std::vector<TTapiLogCode>{ltapiCallStart, ltapiDial, ltapiConnect, ltapiDrop,
                                                 ltapiCallFinish}));
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(device.FailureCode(), LINEDISCONNECTMODE_NORMAL);
}

TEST_F(TapiCalls, ASecondConnectedStateOfTheCallChangesNothing) {
    int connects = 0, opens = 0;
    device.OnTapiConnect = [&](TSioCustomTapiDevice*) { ++connects; };
    device.OnTapiPortOpen = [&](TSioCustomTapiDevice*) { ++opens; };
    device.Dial("100");
    ASSERT_TRUE(PumpUntil([&] { return connects == 1 && opens == 1; }));
    const std::uint16_t handle = port.TapiCid;
    tapi.SendCallState(device.CallHandle(), LINECALLSTATE_CONNECTED);
    EXPECT_TRUE(PumpIdle()); // the state, and what the device posts on it
    EXPECT_EQ(connects, 1);
    EXPECT_EQ(opens, 1);
    EXPECT_EQ(Count(logged, ltapiConnect), 1);
    EXPECT_TRUE(port.Open());
    EXPECT_EQ(port.TapiCid, handle);
}

TEST_F(TapiCalls, ALineOutOfServiceDisconnectedOrInMaintenanceIsHungUp) {
    for (const DWORD state :
         {LINEDEVSTATE_OUTOFSERVICE, LINEDEVSTATE_DISCONNECTED, LINEDEVSTATE_MAINTENANCE}) {
        SCOPED_TRACE(state);
        logged.clear();
        device.Dial("100");
        ASSERT_TRUE(PumpUntil([&] { return port.Open(); }));
        tapi.SendLineDevState(modem, state);
        ASSERT_TRUE(PumpUntil([&] { return !device.Open() && !port.Open(); }));
        EXPECT_EQ(Count(logged, ltapiDrop), 1);
        EXPECT_EQ(device.GetTapiState(), tsIdle);
    }
}

TEST_F(TapiCalls, ThePassThroughRoadReportsNoStatus) {
    TQuietStatus display(nullptr);
    device.SetStatusDisplay(&display);
    device.ConfigAndOpen();
    ASSERT_TRUE(PumpUntil([&] { return port.Open(); }));
    device.CancelCall();
    ASSERT_TRUE(PumpUntil([&] { return !port.Open(); }));
    EXPECT_TRUE(PumpIdle()); // the states of the call's end
    EXPECT_EQ(display.updates, 0);
    EXPECT_EQ(statuses, 0);
    device.Dial("100"); // a dialled call reports
    ASSERT_TRUE(PumpUntil([&] { return port.Open(); }));
    EXPECT_GT(display.updates, 0);
    EXPECT_GT(statuses, 0);
}

TEST_F(TapiCalls, CancellingDuringTheCountdownEndsTheRedial) {
    tapi.QueueDialResult(modem, TTapiTestBackEnd::Busy);
    device.Dial("100");
    ASSERT_TRUE(PumpUntil([&] { return Count(logged, ltapiDrop) == 1; }));
    clock.Advance(10000);
    device.CancelCall();
    clock.Advance(60000);
    EXPECT_EQ(tapi.DialledNumbers(modem).size(), 1u);
    EXPECT_EQ(retries.size(), 10u);
    EXPECT_EQ(Count(logged, ltapiCallFinish), 1);
}

TEST_F(TapiCalls, AnOfferedCallIsAnsweredAtTheConfiguredRingWithItsCallerReported) {
    TQuietStatus display(nullptr);
    device.SetStatusDisplay(&display);
    device.AnswerOnRing = 2;
    device.AutoAnswer();
    EXPECT_TRUE(device.Open());
    EXPECT_TRUE(display.Answering);
    const HCALL call = tapi.Ring(modem, {"  +79001234567 ", "Office"});
    ASSERT_TRUE(PumpUntil([&] { return rings.size() == 1 && callerIds.size() == 1; }));
    tapi.Ring(modem);
    ASSERT_TRUE(PumpUntil([&] { return rings.size() == 2; }));
    EXPECT_TRUE(PumpIdle()); // an answer on the second ring would have been asked for by then
    EXPECT_EQ(Count(logged, ltapiAnswer), 0); // two rings, counted 0 and 1
    EXPECT_EQ(tapi.CallState(call), LINECALLSTATE_ACCEPTED);
    EXPECT_FALSE(port.Open());
    tapi.Ring(modem);
    ASSERT_TRUE(PumpUntil([&] { return port.Open(); }));

    EXPECT_EQ(rings, (std::vector<std::int32_t>{0, 1, 2}));
    // "answering" is logged once the answer's reply is in, and the connection came with it.
    EXPECT_EQ(logged, (std::vector<TTapiLogCode>{ltapiCallStart, ltapiAccept, ltapiConnect, ltapiAnswer}));
    EXPECT_EQ(callerIds, (std::vector<std::pair<std::string, std::string>>{{"+79001234567", "Office"}}));
    EXPECT_EQ(device.GetCallerID(), "  +79001234567 ");
    EXPECT_EQ(device.GetCallerIDName(), "Office");
    EXPECT_EQ(device.GetCalledID(), "Unknown");
    EXPECT_EQ(device.GetBPSRate(), 9600);
    EXPECT_EQ(tapi.CallState(call), LINECALLSTATE_CONNECTED);
    EXPECT_EQ(failures, 0);

    EXPECT_THROW(device.Dial("1"), ETapiBusy); // a call is up
}

TEST_F(TapiCalls, CallerIdentificationSaysWhyAPartyIsNotKnown) {
    struct Case {
        TTapiTestBackEnd::TCaller Caller;
        std::string Id, Name;
    };
    const Case cases[] = {
        {{"+74951234567", "Office"}, "+74951234567", "Office"},
        {{"+74951234567", ""}, "+74951234567", ""},
        {{"", "", LINECALLPARTYID_BLOCKED}, "Caller ID Blocked", "Caller ID Blocked"},
        {{"+7495", "Office", LINECALLPARTYID_ADDRESS | LINECALLPARTYID_BLOCKED},
         "+7495",
         "Caller ID Blocked"},
        {{"", "", LINECALLPARTYID_OUTOFAREA | LINECALLPARTYID_UNKNOWN},
         "Out of Area Call",
         "Out of Area Call"},
        {{"", "", LINECALLPARTYID_UNKNOWN}, "Unknown", "Unknown"},
        {{"", "", LINECALLPARTYID_UNAVAIL}, "Unavailable", "Unavailable"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Id);
        device.AutoAnswer();
        callerIds.clear();
        tapi.Ring(modem, c.Caller);
        ASSERT_TRUE(PumpUntil([&] { return callerIds.size() == 1; }));
        EXPECT_EQ(callerIds.front(), std::make_pair(c.Id, c.Name));
        EXPECT_EQ(device.GetCallerID(), c.Id);
        EXPECT_EQ(device.GetCallerIDName(), c.Name);
        device.CancelCall();
    }
}

TEST_F(TapiCalls, HoldUnholdAndTransferAreUnavailableHereAndActOnlyOnAConnectedCall) {
    const std::pair<const char*, std::function<void()>> operations[] = {
        {"hold", [&] { device.HoldCall(); }},
        {"unhold", [&] { device.UnHoldCall(); }},
        {"transfer", [&] { device.Transfer("200"); }},
    };
    device.OnTapiFail = nullptr;
    for (const auto& [name, operation] : operations)
        EXPECT_NO_THROW(operation()) << name; // no call: nothing happens
    device.Dial("100");
    ASSERT_TRUE(PumpUntil([&] { return port.Open(); }));
    for (const auto& [name, operation] : operations) {
        try {
            operation();
            ADD_FAILURE() << name;
        } catch (const ETapiOperationUnavail& error) {
            EXPECT_EQ(error.ErrorCode, -13873) << name;
            EXPECT_EQ(error.Message, "Operation unavailable") << name;
        }
        EXPECT_EQ(device.FailureCode(), LINEERR_OPERATIONUNAVAIL);
    }
    device.OnTapiFail = [this](TSioCustomTapiDevice*) { ++failures; };
    EXPECT_NO_THROW(device.HoldCall()); // with a handler the failure goes to it
    EXPECT_TRUE(PumpUntil([&] { return failures == 1; }));
    EXPECT_TRUE(port.Open()); // the call goes on
}

TEST_F(TapiCalls, TheLinesConfigurationAndNumbers) {
    const DWORD com = tapi.AddLine({.Name = "Serial modem", .Device = QStringLiteral("COM7")});
    ASSERT_TRUE(PumpUntil([&] { return device.TapiDevices().size() == 2; }));
    device.OnTapiFail = nullptr;

    EXPECT_EQ(device.GetComNumber(), 0); // a line on a path, not on COMn
    device.SetSelectedDevice("Serial modem");
    EXPECT_EQ(device.GetComNumber(), 7);
    EXPECT_EQ(tapi.DialledNumbers(com).size(), 0u);
    EXPECT_TRUE(PumpIdle());
    EXPECT_TRUE(logged.empty()); // a query is no call: nothing started, nothing failed
    EXPECT_FALSE(device.Open());

    EXPECT_EQ(device.GetDevConfig().DataSize, 0u); // none yet
    TTapiDevConfig line;
    line.dwBaudRate = 38400;
    line.StopBits = TWOSTOPBITS;
    const TTapiConfigRec config = ConfigRec(line);
    device.SetDevConfig(config);
    EXPECT_EQ(DevConfigOf(device.GetDevConfig()), line);
    TTapiConfigRec unsound;
    unsound.DataSize = 3;
    EXPECT_THROW(device.SetDevConfig(unsound), ETapiInvalParam);
    EXPECT_EQ(DevConfigOf(device.GetDevConfig()), line);

    EXPECT_EQ(device.TranslateAddress("+7 (495) 123-45-67"), "+7 (495) 123-45-67");
    std::string dialable, displayable;
    DWORD current = 1, destination = 1, results = 1;
    EXPECT_EQ(device.TranslateAddressEx("8 495", 0, dialable, displayable, current, destination, results), 0);
    EXPECT_EQ(dialable, std::string("8 495", 6)); // with its terminating zero
    EXPECT_EQ(displayable, std::string("8 495", 6));
    EXPECT_EQ(current, 0u);
    EXPECT_THROW(device.TranslateAddress(std::string(100, '1')), ETapiTranslateFail);

    // The configuration dialog edits the line's own configuration, or the one it is given.
    WhenShown(QStringLiteral("TapiConfigForm"), [](QWidget* window) {
        auto* form = dynamic_cast<TTapiConfigForm*>(window);
        ASSERT_NE(form, nullptr);
        EXPECT_EQ(form->Caption(), QStringLiteral("Параметры линии «Serial modem»"));
        form->tcfSpeed->setCurrentIndex(form->tcfSpeed->findData(57600));
        form->tcfOkButton->click();
    });
    device.ShowConfigDialog();
    line.dwBaudRate = 57600;
    EXPECT_EQ(DevConfigOf(device.GetDevConfig()), line);
    WhenShown(QStringLiteral("TapiConfigForm"), [](QWidget* window) {
        auto* form = dynamic_cast<TTapiConfigForm*>(window);
        form->tcfParity->setCurrentIndex(EVENPARITY);
        form->tcfOkButton->click();
    });
    TTapiDevConfig edited = DevConfigOf(config).value();
    edited.Parity = EVENPARITY;
    EXPECT_EQ(DevConfigOf(device.ShowConfigDialogEdit(config)), edited);
    EXPECT_EQ(DevConfigOf(device.GetDevConfig()), line); // only handed back
    EXPECT_THROW(device.ShowConfigDialogEdit(unsound), ETapiInvalParam);

    // The translation dialog is not offered here.
    EXPECT_FALSE(device.TranslateDialog("123"));
    EXPECT_EQ(device.GetParentHWnd(), 0u);
    EXPECT_TRUE(PumpIdle());
    EXPECT_TRUE(logged.empty());
    EXPECT_FALSE(device.Open());
}

TEST_F(TapiCalls, StatusTextsNameTheStateTheReasonAndTheFailure) {
    const struct {
        DWORD Message, State, Reason;
        const char* Text;
    } statuses[] = {
        {LINE_CALLSTATE, LINECALLSTATE_CONNECTED, 0, "Connected!"},
        {LINE_CALLSTATE, LINECALLSTATE_DIALING | LINECALLSTATE_BUSY, 0, "Dialing"},
        {LINE_CALLSTATE, LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_NORMAL,
         "Call disconnected (Normal Hangup by Remote)"},
        {LINE_CALLSTATE, LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_BUSY | LINEDISCONNECTMODE_NOANSWER,
         "Call disconnected (Called number busy)"},
        {LINE_LINEDEVSTATE, LINEDEVSTATE_RINGING, 0, "Ringing"},
        {LINE_LINEDEVSTATE, LINEDEVSTATE_OUTOFSERVICE, 0, "Line out of service"},
        {LINE_REPLY, 1, 0, "Request completed"},
        {RetryStatus, 8, 0, "Waiting for retry in 0 seconds"},
    };
    for (const auto& s : statuses)
        EXPECT_EQ(device.TapiStatusMsg(s.Message, s.State, s.Reason), s.Text) << s.Text;
    EXPECT_EQ(device.FailureCodeMsg(LINEERR_CALLUNAVAIL), "Call unavailable");
    EXPECT_EQ(device.FailureCodeMsg(LINEERR_OPERATIONUNAVAIL), "Operation unavailable");
    EXPECT_EQ(device.FailureCodeMsg(LINEDISCONNECTMODE_NOANSWER), "Call disconnected (No answer)");
    EXPECT_EQ(device.FailureCodeMsg(ecTapiLoadFail), "Failed to find/load TAPI.DLL");

    const std::pair<TTapiLogCode, const char*> logs[] = {
        {ltapiNone, "None"},
        {ltapiCallStart, "Call started"},
        {ltapiCallFinish, "Call finished"},
        {ltapiDial, "Dialing"},
        {ltapiAccept, "Accepting an incoming call"},
        {ltapiAnswer, "Answering an incoming call"},
        {ltapiConnect, "Connected"},
        {ltapiCancel, "Call cancelled"},
        {ltapiDrop, "Call drop"},
        {ltapiBusy, "Called number was busy"},
        {ltapiDialFail, "Dial failed"},
        {ltapiReceivedDigit, "Received a DTMF tone"},
    };
    device.Number = "100";
    for (const auto& [code, text] : logs)
        EXPECT_EQ(device.TapiLogToString(code), text) << code;
}

TEST(TapiComponent, ThePortDisplayAndLogOfTheFormAreTakenAndLetGo) {
    TComFolder folder;
    TTapiTestBackEnd tapi;
    const int form = 0;
    TSioComPort port(&form);
    port.SetAutoOpen(true);
    TSioComPort direct;
    TSioTapiDevice device(&form);
    device.BeginLoading();
    device.Loaded();
    EXPECT_EQ(device.ComPort, &port);
    EXPECT_EQ(port.TapiMode(), tmOn); // it runs on the device's calls now
    EXPECT_FALSE(port.AutoOpen());

    device.Notification(&port, opRemove);
    EXPECT_EQ(device.ComPort, nullptr);
    direct.SetTapiMode(tmOff);
    device.Notification(&direct, opInsert);
    EXPECT_EQ(device.ComPort, &direct);
    EXPECT_EQ(direct.TapiMode(), tmOff); // a port chosen directly stays so
    device.Notification(&port, opInsert);
    EXPECT_EQ(device.ComPort, &direct); // one port is enough

    TQuietStatus display(nullptr);
    TSioTapiLog log(nullptr);
    device.Notification(&display, opInsert);
    device.Notification(&log, opInsert);
    EXPECT_EQ(device.StatusDisplay(), &display);
    EXPECT_EQ(device.TapiLog(), &log);
    EXPECT_EQ(display.TapiDevice, &device);
    TSioTapiDevice other(nullptr);
    other.Notification(&display, opInsert); // it serves the first device
    EXPECT_EQ(other.StatusDisplay(), nullptr);
    device.Notification(&display, opRemove);
    device.Notification(&log, opRemove);
    EXPECT_EQ(device.StatusDisplay(), nullptr);
    EXPECT_EQ(display.TapiDevice, nullptr);
    EXPECT_EQ(log.TapiDevice, nullptr);
}

TEST(TapiComponent, AssignTakesTheSettingsAndTheCallButNotTheLineOrTheCompanions) {
    TComFolder folder;
    TScriptedDialogs dialogs{FailTest};
    TTapiTestBackEnd tapi;
    const DWORD line = tapi.AddLine({"Modem", ""});
    TSioComPort port;
    TQuietStatus display(nullptr);
    TSioTapiDevice source(nullptr);
    source.ComPort = &port;
    source.SetStatusDisplay(&display);
    source.SetSelectedDevice("Modem");
    source.MaxAttempts = 5;
    source.RetryWait = 7;
    source.AnswerOnRing = 4;
    source.ShowTapiDevices = false;
    int callerIds = 0;
    source.OnTapiCallerID = [&](TSioCustomTapiDevice*, const std::string&, const std::string&) {
        ++callerIds;
    };
    source.AutoAnswer();
    tapi.Ring(line, {"555", "Caller"});
    ASSERT_TRUE(PumpUntil([&] { return callerIds == 1; }));

    TSioTapiDevice copy(nullptr);
    copy.Assign(source);
    EXPECT_EQ(copy.SelectedDevice(), "Modem");
    EXPECT_EQ(copy.MaxAttempts, 5);
    EXPECT_EQ(copy.RetryWait, 7);
    EXPECT_EQ(copy.AnswerOnRing, 4);
    EXPECT_FALSE(copy.ShowTapiDevices);
    EXPECT_EQ(copy.ComPort, &port);
    EXPECT_EQ(copy.GetCallerID(), "555");
    EXPECT_EQ(copy.GetCallerIDName(), "Caller");
    EXPECT_TRUE(copy.TapiDevices().empty());
    EXPECT_FALSE(copy.Open()); // the line is the source's
    EXPECT_EQ(copy.StatusDisplay(), nullptr);
    EXPECT_EQ(display.TapiDevice, &source);
    source.CancelCall();
}

} // namespace
