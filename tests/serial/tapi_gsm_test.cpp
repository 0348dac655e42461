// The GSM modem's road end to end: a simulated GSM modem on a pty pair, named as a line in the
// telephony lines file; the line device places the pass-through call and the serial port talks AT
// over the call's handle.
#include <algorithm>
#include <set>
#include <utility>

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include "platform/Shell.h"
#include "platform/Tapi.h"
#include "serial/ComPort.h"
#include "serial/TapiDevice.h"
#include "tests/platform/TestSupport.h"
#include "tests/serial/SerialTestSupport.h"
#include "tools/gsm-sim/GsmSim.h"

namespace {

std::set<QString> OpenDescriptors() {
    const QStringList entries = QDir(QStringLiteral("/proc/self/fd"))
                                    .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    return {entries.begin(), entries.end()};
}

QString Difference(const std::set<QString>& before) {
    QStringList text;
    for (const QString& fd : OpenDescriptors())
        if (!before.count(fd))
            text << fd + QStringLiteral(" -> ") + QFile::symLinkTarget(QStringLiteral("/proc/self/fd/") + fd);
    for (const QString& fd : before)
        if (!OpenDescriptors().count(fd))
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

    const std::set<QString> before = OpenDescriptors();
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
        EXPECT_TRUE(PumpUntil([&] { return OpenDescriptors() == before; }))
            << round << ": " << Difference(before).toStdString();
    }
    EXPECT_EQ(modem.Connections(), 2u);
    const std::vector<std::string> commands = modem.Commands();
    EXPECT_EQ(std::count(commands.begin(), commands.end(), "AT"), 2);
}

} // namespace
