// The GSM modem window against a misbehaving gsm-sim: fatal answers, a long reply, a modem stuck in text
// mode, sends that fail, the cable pulled and the modem back; and the same cycle on a telephony line
// whose device is the simulator.
#include <algorithm>

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QPlainTextEdit>

#include <gtest/gtest.h>

#include "core/MainForm.h"
#include "core/Settings.h"
#include "platform/Shell.h"
#include "platform/Tapi.h"
#include "serial/ComPort.h"
#include "serial/TapiDevice.h"
#include "tests/gsm/GsmCycle.h"
#include "tests/gsm/GsmFixture.h"
#include "tests/platform/TestSupport.h"

namespace {

const QString LostLink = QStringLiteral("Связь с модемом прервана");

class GsmFaultTest : public GsmModemTest {
protected:
    bool Closed() const { return ModemState == msClosed && !gsm->SioComPort1->Open(); }
};

TEST_F(GsmFaultTest, FatalAnswersCloseThePortAndTellTheOperatorWithoutTheLostLinkMessage) {
    struct {
        const char* Name;
        gsmsim::PinState Pin;
        const char* SimPin;  // the SIM's PIN (the settings give "1234")
        gsmsim::Fault Fault; // Error: none injected
        const char* FaultCommand;
        const char* Message;
        const char* Repeated; // the command tried again and again before the modem is given up
        int Times;
    } cases[] = {
        {"silent modem", gsmsim::PinState::Ready, "1234", gsmsim::Fault::Silent, "", "Модем не отвечает",
         "AT", 5},
        {"no SIM", gsmsim::PinState::NoSim, "1234", gsmsim::Fault::Error, nullptr,
         "В модеме отсутствует SIM-карта", "AT+CPIN?", 1},
        {"SIM asks for its PUK", gsmsim::PinState::SimPuk, "1234", gsmsim::Fault::Error, nullptr,
         "SIM-карта заблокирована", "AT+CPIN?", 1},
        {"PIN query unanswered", gsmsim::PinState::Ready, "1234", gsmsim::Fault::Silent, "AT+CPIN?",
         "SIM-карта заблокирована", "AT+CPIN?", 1},
        {"wrong PIN", gsmsim::PinState::SimPin, "4321", gsmsim::Fault::Error, nullptr,
         "Ошибка ввода PIN-кода", "AT+CPIN=", 1},
        {"PDU mode refused", gsmsim::PinState::Ready, "1234", gsmsim::Fault::TextMode, "",
         "Модем не поддерживает режим PDU", "AT+CMGF=0", 3},
        {"PDU mode refused after a new opening", gsmsim::PinState::Ready, "1234", gsmsim::Fault::TextMode, "",
         "Модем не поддерживает режим PDU", "AT+CMGF=0", 3},
    };
    Start();
    UseModem();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        sim.SetPinState(c.Pin);
        sim.SetPin(c.SimPin);
        if (c.FaultCommand)
            sim.Inject(c.Fault, c.FaultCommand);
        const std::size_t before = sim.Commands().size();
        ASSERT_TRUE(gsm->Connect());
        dialogs->Expect(mtError, QString::fromUtf8(c.Message), mrOk);
        ASSERT_TRUE(RunCycle([&] { return Closed(); }));
        EXPECT_EQ(dialogs->Pending(), 0u);
        EXPECT_EQ(Indicator(spModem), "6");
        EXPECT_FALSE(ModemDisconnectRequested);
        EXPECT_FALSE(gsm->ATCommandTimer.Enabled() || gsm->MakeCommandTimer.Enabled());
        clock->Advance(500); // no message about a lost link follows
        EXPECT_FALSE(form->ModemDisconnectTimer.Enabled());
        const std::vector<std::string> all = sim.Commands();
        const std::vector<std::string> commands(all.begin() + long(before), all.end());
        auto count = [&](const std::string& prefix) {
            return std::count_if(commands.begin(), commands.end(),
                                 [&](const std::string& command) { return command.rfind(prefix, 0) == 0; });
        };
        EXPECT_EQ(count(c.Repeated), c.Times);
        EXPECT_EQ(count("AT+CPMS?"), 0); // never ready
        ASSERT_TRUE(PumpUntil([&] { return !sim.Connected(); }));
    }
}

// A reply that comes after a burst of filler holding a NUL byte is still read whole.
TEST_F(GsmFaultTest, LongReplyWithANulByteIsReadWhole) {
    ASSERT_EQ(sim.AddSms("+79990000000", "hello"), 1);
    sim.Inject(gsmsim::Fault::LongReply, "AT+CPMS?", 1);
    StartWithModem();
    ASSERT_TRUE(RunCycle([&] { return sim.Cells().empty(); }));
    EXPECT_EQ(CountCommands("AT+CMGR=1"), 1);
    EXPECT_EQ(ModemState, msReady);
}

// Nothing is read or sent before PDU mode is set: the set-up is repeated while the modem refuses it,
// a few times (a modem that goes on refusing is given up, above).
TEST_F(GsmFaultTest, ModemInTextModeIsAskedForPduModeAgainBeforeAnySmsIsRead) {
    ASSERT_EQ(sim.AddSms("+79990000000", "hello"), 1);
    sim.Inject(gsmsim::Fault::TextMode, {}, 2);
    StartWithModem();
    ASSERT_TRUE(RunUntilCommand("AT+CMGF=0", 2));
    EXPECT_EQ(CountCommands("AT+CPMS?"), 0);
    EXPECT_EQ(CountCommands("AT+CMGR="), 0);
    EXPECT_EQ(ModemState, msConnecting);
    ASSERT_TRUE(RunCycle([&] { return sim.Cells().empty(); }));
    EXPECT_EQ(ModemState, msReady);
    EXPECT_EQ(CountCommands("AT+CMGF=0"), 3);
}

// A send that fails drops its SMS and turns the indicator off; ESC goes before the next command, in
// case the modem still waits for the rest of the SMS.
TEST_F(GsmFaultTest, FailedSendIsDroppedAndEscapedAndTheCycleGoesOn) {
    StartWithModem();
    TObjectStates* o = AddModemObject();
    gsm->LogCheckBox->setChecked(true);
    gsm->EchoCheckBox->setChecked(true);
    ASSERT_TRUE(RunCycle([] { return ModemState == msReady; }));
    for (const gsmsim::Fault fault : {gsmsim::Fault::Error, gsmsim::Fault::Silent}) {
        SCOPED_TRACE(gsmsim::Fault_Name(fault));
        sim.Inject(fault, "AT+CMGS=", 1);
        gsm->ClearButtonClick();
        ASSERT_EQ(gsm->QueryHwInfo(o), 0);
        ASSERT_TRUE(RunUntilCommand("AT+CMGS="));
        ASSERT_TRUE(RunCycle([] { return !SmsSendPending && !SmsSending; }));
        EXPECT_EQ(Indicator(spSend), "2");
        ASSERT_TRUE(RunUntilCommand("AT+CPMS?"));
        EXPECT_TRUE(gsm->Memo1->toPlainText().contains(QChar(0x1B) + QStringLiteral("AT+CPMS?")));
        EXPECT_TRUE(sim.Sent().empty());
        EXPECT_EQ(ModemState, msReady);
    }
    // The next SMS goes out.
    ASSERT_EQ(gsm->QueryHwInfo(o), 0);
    ASSERT_TRUE(RunCycle([&] { return sim.Sent().size() == 1; }));
}

// The send indicator goes off with the modem; the SMS stays pending for the next connection.
TEST_F(GsmFaultTest, DisconnectDuringASendTurnsTheSendIndicatorOff) {
    StartWithModem();
    TObjectStates* o = AddModemObject();
    ASSERT_TRUE(RunCycle([] { return ModemState == msReady; }));
    sim.Inject(gsmsim::Fault::Silent, "AT+CMGS=", 1);
    ASSERT_EQ(gsm->QueryHwInfo(o), 0);
    ASSERT_TRUE(RunCycle([&] { return SmsSending; }));
    EXPECT_EQ(Indicator(spSend), "3");
    ModemDisconnectRequested = true;
    gsm->Disconnect();
    EXPECT_EQ(Indicator(spSend), "2");
    ASSERT_TRUE(RunCycle([&] { return Closed(); }));
    EXPECT_EQ(Indicator(spSend), "2");
    EXPECT_FALSE(SmsSending);
    EXPECT_TRUE(SmsSendPending);
}

TEST_F(GsmFaultTest, PulledCableClosesThePortAndTheModemIsBackOnTheNextConnect) {
    StartWithModem();
    ASSERT_TRUE(RunCycle([] { return ModemState == msReady; }));
    dialogs->Expect(mtError, LostLink, mrOk);
    ASSERT_TRUE(PullCable(sim, *gsm));
    ASSERT_TRUE(RunCycle([&] { return Closed() && dialogs->Pending() == 0; }));
    EXPECT_EQ(Indicator(spModem), "6");
    EXPECT_FALSE(gsm->ATCommandTimer.Enabled() || gsm->MakeCommandTimer.Enabled());
    EXPECT_TRUE(LogLines().contains(QStringLiteral("Modem is disconnected")));

    ASSERT_TRUE(sim.PlugIn()) << sim.LastError();
    form->SetSignal(sgModem, sgsChanging);
    ASSERT_TRUE(gsm->Connect());
    ASSERT_TRUE(RunCycle([] { return ModemState == msReady; }));
    EXPECT_EQ(Indicator(spModem), "8");
    EXPECT_EQ(sim.Connections(), 2u);
}

// The write that fails (the device is gone before its loss was noticed) ends the cycle as a fatal
// answer does.
TEST_F(GsmFaultTest, WriteThatFailsEndsTheCycle) {
    StartWithModem();
    ASSERT_TRUE(RunCycle([] { return ModemState == msReady; }));
    ASSERT_TRUE(RunCycle([&] { return gsm->MakeCommandTimer.Enabled(); }));
    // The port as it is while its loss is on its way: it takes no more.
    gsm->SioComPort1->SetOnPortClose({});
    gsm->SioComPort1->SetOpen(false);
    gsm->SioComPort1->SetAutoOpen(false);
    dialogs->Expect(mtError, QStringLiteral("Ошибка передачи данных на COM5"), mrOk);
    ASSERT_TRUE(RunCycle([&] { return dialogs->Pending() == 0; }, 50));
    EXPECT_EQ(ModemState, msDisconnecting);
    EXPECT_FALSE(gsm->ATCommandTimer.Enabled() || gsm->MakeCommandTimer.Enabled());
}

void WriteLinesFile(const QByteArray& text) {
    ASSERT_TRUE(QDir().mkpath(CommonAppDataFolder() + QStringLiteral("/tapi")));
    QFile file(TapiLinesFile());
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(text);
}

TEST_F(GsmFaultTest, TelephonyLineRunsTheSameCycle) {
    WriteLinesFile("GSM modem=COM5\n");
    ASSERT_EQ(sim.AddSms("+79990000000", "hello"), 1);
    StartWithModem("GSM modem");
    for (int round = 1; round <= 2; ++round) {
        SCOPED_TRACE(round);
        ASSERT_TRUE(RunCycle([&] { return ModemState == msReady && sim.Cells().empty(); }));
        EXPECT_TRUE(gsm->SioComPort1->Open());
        EXPECT_EQ(gsm->SioComPort1->TapiMode(), tmOn);
        EXPECT_EQ(Indicator(spModem), "8");
        // As at exit: a requested disconnect, reported silently.
        ModemDisconnectRequested = true;
        gsm->Disconnect();
        ASSERT_TRUE(RunCycle([&] { return Closed(); }));
        EXPECT_EQ(Indicator(spModem), "6");
        EXPECT_EQ(gsm->TapiDeviceObj->CallHandle(), 0u);
        ASSERT_TRUE(PumpUntil([&] { return !sim.Connected(); }));
        ASSERT_EQ(sim.AddSms("+79990000000", "again"), 1);
        if (round == 1) {
            ASSERT_TRUE(gsm->Connect());
        }
    }
    EXPECT_EQ(sim.Connections(), 2u);
}

// A line that is not listed fails at once; a line whose device cannot be opened fails after the call
// was placed, and the modem is not left connecting.
TEST_F(GsmFaultTest, TelephonyLineThatCannotBeReachedIsReported) {
    WriteLinesFile("GSM modem=COM5\nBroken modem=COM9\n");
    Start();
    UseModem("Other modem");
    dialogs->Expect(mtError, QStringLiteral("Невозможно подключиться к модему\r\nOther modem"), mrOk);
    EXPECT_FALSE(gsm->Connect());
    EXPECT_EQ(dialogs->Pending(), 0u);
    EXPECT_EQ(ModemState, msConnecting);

    UseModem("Broken modem");
    form->SetSignal(sgModem, sgsChanging);
    ASSERT_TRUE(gsm->Connect());
    dialogs->Expect(mtError, QStringLiteral("Невозможно подключиться к модему\r\nBroken modem"), mrOk);
    ASSERT_TRUE(RunCycle([&] { return Closed() && dialogs->Pending() == 0; }));
    EXPECT_EQ(Indicator(spModem), "6");
    clock->Advance(500); // and no message about a lost link
    EXPECT_FALSE(form->ModemDisconnectTimer.Enabled());
}

} // namespace
