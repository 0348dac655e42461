// The GSM modem's road end to end: a simulated GSM modem on a pty pair, named as a line in the
// telephony lines file; the line device places the pass-through call and the serial port talks AT
// over the call's handle. The same line as the modem's own driver gives it: calls dialled and
// answered over AT, redialled, on the line's configured speed.
#include <algorithm>
#include <set>
#include <utility>

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include <QComboBox>
#include <QPushButton>

#include "platform/Clock.h"
#include "platform/Shell.h"
#include "platform/Tapi.h"
#include "platform/TapiConfigDialog.h"
#include "platform/TapiModem.h"
#include "serial/ComPort.h"
#include "serial/Exceptions.h"
#include "serial/TapiDevice.h"
#include "tests/platform/TestSupport.h"
#include "tests/serial/SerialTestSupport.h"
#include "tools/gsm-sim/GsmSim.h"

namespace {

QString Difference(const std::set<QString>& before) {
    QStringList text;
    for (const QString& fd : OpenDescriptorNames())
        if (!before.count(fd))
            text << fd + QStringLiteral(" -> ") + QFile::symLinkTarget(QStringLiteral("/proc/self/fd/") + fd);
    for (const QString& fd : before)
        if (!OpenDescriptorNames().count(fd))
            text << QStringLiteral("gone ") + fd;
    return text.join(QStringLiteral(", "));
}

void WriteLinesFile(const QByteArray& text) {
    ASSERT_TRUE(QDir().mkpath(CommonAppDataFolder() + QStringLiteral("/tapi")));
    QFile file(TapiLinesFile());
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(text);
}

TEST(TapiGsmRoad, ThePassThroughCallCarriesTheAtDialogueAndLeavesNothingBehind) {
    TComFolder folder;
    gsmsim::GsmSim modem({}, "COM5");
    ASSERT_TRUE(modem.Ok()) << modem.LastError();
    modem.Start();
    WriteLinesFile("GSM modem=COM5\n");

    TSioComPort port;
    TSioTapiDevice device(nullptr);
    ASSERT_EQ(device.TapiDevices(), std::vector<std::string>{"GSM modem"});
    int portOpened = 0, portClosed = 0;
    device.OnTapiPortOpen = [&](TSioCustomTapiDevice*) { ++portOpened; };
    device.OnTapiPortClose = [&](TSioCustomTapiDevice*) { ++portClosed; };
    device.ComPort = &port;
    device.ShowTapiDevices = false;
    device.ShowPorts = false;
    device.SetSelectedDevice("GSM modem");
    // Received bytes are read in the avail notification, as the GSM modem window reads them.
    std::string received;
    port.SetOnTriggerAvail([&received](TSioCustomComPort* cp, std::uint16_t count) {
        std::string block(std::min<std::size_t>(count, 255), '\0');
        cp->GetBlock(block.data(), std::uint32_t(block.size()));
        received += block;
    });
    const auto answer = [&received](const std::string& until) {
        PumpUntil([&] { return received.find(until) != std::string::npos; });
        return std::exchange(received, std::string());
    };

    const std::set<QString> before = OpenDescriptorNames();
    for (int round = 1; round <= 2; ++round) {
        port.SetTapiMode(tmAuto);
        device.ConfigAndOpen();
        ASSERT_TRUE(PumpUntil([&] { return portOpened == round; })) << round;
        EXPECT_TRUE(port.Open());
        EXPECT_EQ(port.TapiMode(), tmOn);
        EXPECT_NE(port.TapiCid, 0);
        EXPECT_EQ(port.ValidDispatcher()->DeviceName, "GSM modem");
        EXPECT_TRUE(device.CallConnected());
        // The modem drops what came before it noticed its terminal.
        ASSERT_TRUE(PumpUntil([&] { return modem.Connected(); })) << round;

        port.PutString("AT\r");
        const std::string ok = answer("OK\r\n");
        EXPECT_EQ(ok, "AT\r\r\nOK\r\n") << round;
        port.PutString("AT+CPIN?\r");
        const std::string pin = answer("+CPIN: READY\r\n\r\nOK\r\n");
        EXPECT_EQ(pin, "AT+CPIN?\r\r\n+CPIN: READY\r\n\r\nOK\r\n") << round;

        device.CancelCall();
        EXPECT_EQ(port.TapiCid, 0);
        EXPECT_FALSE(port.Open()) << round; // even when a notification was on its way
        EXPECT_FALSE(device.Open());
        EXPECT_EQ(device.CallHandle(), 0u);
        EXPECT_EQ(device.GetTapiState(), tsIdle);
        EXPECT_TRUE(PumpUntil([&] { return portClosed == round && !modem.Connected(); })) << round;
        EXPECT_TRUE(PumpUntil([&] { return OpenDescriptorNames() == before; }))
            << round << ": " << Difference(before).toStdString();
    }
    EXPECT_EQ(modem.Connections(), 2u);
    const std::vector<std::string> commands = modem.Commands();
    EXPECT_EQ(std::count(commands.begin(), commands.end(), "AT"), 2);
}

// A line of the lines file on the simulated modem, a port and a device on it, with what the device
// reports; the silence around "+++" is short.
class TapiModemRoad : public ::testing::Test {
protected:
    TapiModemRoad() {
        SetModemEscapeGuardMs(5);
        modem.Start();
        WriteLinesFile("GSM modem=COM5\n");
        port.SetOnTriggerAvail([this](TSioCustomComPort* cp, std::uint16_t count) {
            std::string block(std::min<std::size_t>(count, 255), '\0');
            cp->GetBlock(block.data(), std::uint32_t(block.size()));
            received += block;
        });
        device = MakeDevice();
    }
    ~TapiModemRoad() override {
        device->CancelCall();
        PumpUntil([&] { return !port.Open(); });
        device.reset();
        SetModemEscapeGuardMs(1000);
    }

    std::unique_ptr<TSioTapiDevice> MakeDevice() {
        auto made = std::make_unique<TSioTapiDevice>(nullptr);
        made->ComPort = &port;
        made->ShowTapiDevices = false;
        made->ShowPorts = false;
        made->SetSelectedDevice("GSM modem");
        made->OnTapiLog = [this](TSioCustomTapiDevice*, TTapiLogCode code) { logged.push_back(code); };
        made->OnTapiFail = [this](TSioCustomTapiDevice*) { ++failures; };
        made->OnTapiCallerID = [this](TSioCustomTapiDevice*, const std::string& id, const std::string& name) {
            callerIds.emplace_back(id, name);
        };
        made->OnTapiStatus = [this](TSioCustomTapiDevice*, bool, bool, std::int32_t, std::int32_t message,
                                    std::int32_t param1, std::int32_t, std::int32_t) {
            if (message == LINE_LINEDEVSTATE && DWORD(param1) == LINEDEVSTATE_RINGING)
                ++rings;
            if (message == 32) // waiting for the next attempt
                ++retries;
        };
        return made;
    }
    // Data both ways over the port and the modem's call.
    void DataGoesBothWays() {
        port.PutString("to the far end");
        std::string far;
        EXPECT_TRUE(PumpUntil([&] {
            far += modem.TakeCallData();
            return far == "to the far end";
        })) << far;
        ASSERT_TRUE(modem.SendCallData("to the router"));
        EXPECT_TRUE(PumpUntil([&] { return received == "to the router"; })) << received;
        received.clear();
    }
    int Count(TTapiLogCode code) const { return int(std::count(logged.begin(), logged.end(), code)); }

    TComFolder folder;
    gsmsim::GsmSim modem{{}, "COM5"};
    TSioComPort port;
    std::string received;
    std::vector<TTapiLogCode> logged;
    std::vector<std::pair<std::string, std::string>> callerIds;
    int failures = 0, rings = 0, retries = 0;
    std::unique_ptr<TSioTapiDevice> device;
};

TEST_F(TapiModemRoad, ACallIsDialledAnsweredConnectedCarriesDataBothWaysAndIsDropped) {
    const std::set<QString> before = OpenDescriptorNames();
    device->Dial("+7 900 123-45-67");
    ASSERT_TRUE(PumpUntil([&] { return port.Open(); }));
    EXPECT_EQ(modem.Dialled(), std::vector<std::string>{"+79001234567"});
    EXPECT_EQ(modem.GetCallState(), gsmsim::CallState::Data);
    EXPECT_TRUE(device->CallConnected());
    EXPECT_EQ(device->GetBPSRate(), 9600);
    EXPECT_EQ(port.ValidDispatcher()->DeviceName, "GSM modem");
    DataGoesBothWays();
    device->HoldCall(); // a data call is not held: the failure goes to the handler
    EXPECT_TRUE(PumpUntil([&] { return failures == 1; }));
    EXPECT_EQ(device->FailureCode(), LINEERR_OPERATIONUNAVAIL);
    EXPECT_TRUE(device->CallConnected());

    device->CancelCall();
    EXPECT_TRUE(PumpUntil([&] { return !port.Open() && modem.GetCallState() == gsmsim::CallState::None; }));
    EXPECT_EQ(modem.Commands(), (std::vector<std::string>{"ATD+79001234567", "ATH"}));
    EXPECT_EQ(logged, (std::vector<TTapiLogCode>{ltapiCallStart, ltapiDial, ltapiConnect, ltapiCancel,
                                                 ltapiDrop, ltapiCallFinish}));
    EXPECT_EQ(failures, 1); // the hold's
    EXPECT_TRUE(PumpUntil([&] { return !modem.Connected() && OpenDescriptorNames() == before; }))
        << Difference(before).toStdString();
}

TEST_F(TapiModemRoad, ARingWithTheCallersNumberIsAnsweredByAutoAnswer) {
    device->AnswerOnRing = 2;
    device->AutoAnswer();
    ASSERT_TRUE(PumpUntil([&] { return modem.ClipEnabled(); }));
    for (int ring = 1; ring <= 2; ++ring) {
        modem.Ring({"+79001234567", "Office"});
        ASSERT_TRUE(PumpUntil([&] { return rings == ring; })) << ring;
    }
    EXPECT_EQ(modem.GetCallState(), gsmsim::CallState::Ringing); // two rings, counted 0 and 1
    modem.Ring({"+79001234567", "Office"});
    ASSERT_TRUE(PumpUntil([&] { return port.Open(); }));
    EXPECT_EQ(callerIds, (std::vector<std::pair<std::string, std::string>>{{"+79001234567", "Office"}}));
    EXPECT_EQ(device->GetCallerID(), "+79001234567");
    EXPECT_EQ(device->GetCallerIDName(), "Office");
    EXPECT_EQ(modem.GetCallState(), gsmsim::CallState::Data);
    // The answer's reply comes once ATA is out; the connection when the modem says so.
    EXPECT_EQ(logged, (std::vector<TTapiLogCode>{ltapiCallStart, ltapiAccept, ltapiAnswer, ltapiConnect}));
    DataGoesBothWays();

    modem.HangUpCall(); // the far end goes: the port reads the modem's word for it
    EXPECT_TRUE(PumpUntil([&] { return received == "\r\nNO CARRIER\r\n"; })) << received;
    device->CancelCall();
    EXPECT_TRUE(PumpUntil([&] { return !port.Open() && !modem.Connected(); }));
    // The line listened again once the call was over, until the device closed it.
    EXPECT_EQ(modem.Commands(), (std::vector<std::string>{"AT+CLIP=1", "ATA", "ATH", "AT+CLIP=1"}));
    EXPECT_EQ(failures, 0);
}

TEST_F(TapiModemRoad, ABusyLineIsDialledAgainRetryWaitSecondsLater) {
    TFakeClock clock;
    modem.QueueDialResult(gsmsim::DialResult::Busy);
    device->Dial("100");
    ASSERT_TRUE(PumpUntil([&] { return Count(ltapiDrop) == 1; }));
    EXPECT_EQ(device->FailureCode(), LINEDISCONNECTMODE_BUSY);
    EXPECT_EQ(logged, (std::vector<TTapiLogCode>{ltapiCallStart, ltapiDial, ltapiBusy, ltapiDrop}));
    EXPECT_TRUE(PumpUntil([&] { return !modem.Connected(); })); // the line is let go meanwhile
    clock.Advance(59000);
    EXPECT_EQ(modem.Dialled().size(), 1u);
    EXPECT_EQ(retries, 59);
    clock.Advance(1000);
    ASSERT_TRUE(PumpUntil([&] { return port.Open(); }));
    EXPECT_EQ(modem.Dialled(), (std::vector<std::string>{"100", "100"}));
    EXPECT_EQ(logged, (std::vector<TTapiLogCode>{ltapiCallStart, ltapiDial, ltapiBusy, ltapiDrop, ltapiDial,
                                                 ltapiConnect}));
    EXPECT_EQ(failures, 0);
    DataGoesBothWays();
}

TEST_F(TapiModemRoad, TheConfiguredSpeedIsTheDevicesAndLastsAcrossStarts) {
    WhenShown(QStringLiteral("TapiConfigForm"), [](QWidget* window) {
        auto& form = dynamic_cast<TTapiConfigForm&>(*window);
        form.tcfSpeed->setCurrentIndex(form.tcfSpeed->findData(57600));
        form.tcfOkButton->click();
    });
    device->ShowConfigDialog();
    EXPECT_FALSE(device->Open()); // the dialog opened no call
    device.reset();               // the program ends; at its next start the line keeps its configuration
    device = MakeDevice();
    const TTapiConfigRec config = device->GetDevConfig();
    const std::optional<TTapiDevConfig> line = TapiDevConfigOf(config.Data.data(), config.DataSize);
    ASSERT_TRUE(line);
    EXPECT_EQ(line->dwBaudRate, 57600u);

    port.SetTapiMode(tmAuto);
    device->ConfigAndOpen(); // the GSM modem window's road
    ASSERT_TRUE(PumpUntil([&] { return port.Open() && modem.Connected(); }));
    EXPECT_EQ(modem.LineSpeed(), 57600u);
    EXPECT_EQ(port.Baud(), 57600); // the port runs on the line as the telephony layer set it
    port.PutString("AT\r");
    EXPECT_TRUE(PumpUntil([&] { return received == "AT\r\r\nOK\r\n"; })) << received;
}

} // namespace
