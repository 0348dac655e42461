#include <unistd.h>

#include <set>
#include <utility>

#include <gtest/gtest.h>

#include <QDir>
#include <QGuiApplication>
#include <QPushButton>
#include <QScopeGuard>

#include <QTimer>

#include "platform/Clock.h"
#include "platform/Registry.h"
#include "platform/ScriptedDialogs.h"
#include "platform/TapiTestBackEnd.h"
#include "platform/Timer.h"
#include "serial/ComPort.h"
#include "serial/DeviceSelectionForm.h"
#include "serial/Exceptions.h"
#include "serial/TapiDevice.h"
#include "tests/platform/TestSupport.h"
#include "tests/serial/SerialTestSupport.h"

namespace {

// Opens the device's internal steps to the tests.
class TTestDevice : public TSioTapiDevice {
public:
    using TSioTapiDevice::CheckError;
    using TSioTapiDevice::TSioTapiDevice;
    using TSioTapiDevice::WaitForCallState;
    using TSioTapiDevice::WaitForReply;
};

QString OwnValue() {
    return QString::fromLatin1(TapiRegistryValueName());
}

QStringList RegistryValues() {
    TRegistry registry;
    if (!registry.OpenKey(QString::fromLatin1(TapiRegistryKey), false))
        return {};
    return registry.GetValueNames();
}

// A data folder of the test's own (COM folder and registry inside it) and the scripted back-end.
class TapiDevice : public ::testing::Test {
protected:
    TComFolder folder;
    TTapiTestBackEnd tapi;
    TScriptedDialogs dialogs{FailTest};
};

TEST_F(TapiDevice, StartingWritesTheProcessValueAndStoppingRemovesIt) {
    {
        TRegistry registry;
        ASSERT_TRUE(registry.OpenKey(QString::fromLatin1(TapiRegistryKey), true));
        registry.WriteString(QStringLiteral("$0000FFFF"), QStringLiteral("65536")); // a process gone
        registry.WriteString(QStringLiteral("$0000FFFE"), QStringLiteral("65537"));
    }
    TTestDevice device(nullptr);
    ASSERT_NE(device.LineApp(), 0u);
    EXPECT_EQ(RegistryValues(), QStringList{OwnValue()}); // the stale ones swept
    TRegistry registry;
    ASSERT_TRUE(registry.OpenKey(QString::fromLatin1(TapiRegistryKey), false));
    EXPECT_EQ(registry.ReadString(OwnValue()), QString::number(device.LineApp()));
    EXPECT_EQ(OwnValue().size(), 9);

    EXPECT_TRUE(device.StopTapi());
    EXPECT_EQ(device.LineApp(), 0u);
    EXPECT_EQ(RegistryValues(), QStringList());
    EXPECT_TRUE(device.StartTapi()); // registers anew
    EXPECT_EQ(RegistryValues(), QStringList{OwnValue()});
}

TEST_F(TapiDevice, AReinitialisationIsWaitedOutWithTheLoopRunning) {
    TFakeClock clock;
    tapi.AddLine({"GSM", ""});
    tapi.FailNext("lineInitialize", LINEERR_REINIT);
    int ticks = 0;
    TTimer timer; // runs on the fake clock: only while the wait lets the loop run
    timer.SetInterval(1000);
    timer.SetOnTimer([&] { ++ticks; });
    QTimer::singleShot(0, [&] { clock.Advance(5000); });
    const std::int64_t start = clock.Ms();
    TTestDevice device(nullptr);
    EXPECT_NE(device.LineApp(), 0u);
    EXPECT_EQ(clock.Ms() - start, 5000);
    EXPECT_EQ(ticks, 5);
    EXPECT_EQ(device.TapiDevices(), std::vector<std::string>{"GSM"});
}

TEST_F(TapiDevice, StartingFailsQuietlyWhenTheInterfaceKeepsRefusing) {
    struct Case {
        const char* Name;
        std::vector<LONG> Answers;
        bool Started;
        std::int64_t Waited;
    };
    const Case cases[] = {
        {"reinitialised twice", {LINEERR_REINIT, LINEERR_REINIT}, false, 5000},
        {"no driver", {LINEERR_NODRIVER}, false, 0},
        {"no memory", {LINEERR_NOMEM}, false, 0},
        {"operation failed", {LINEERR_OPERATIONFAILED}, false, 0},
        {"another error, twice", {LINEERR_INVALPOINTER, LINEERR_INVALPOINTER}, true, 0},
        {"another error, three times",
         {LINEERR_INVALPOINTER, LINEERR_INVALPOINTER, LINEERR_INVALPOINTER},
         false,
         0},
    };
    TFakeClock clock;
    TTestDevice device(nullptr);
    for (const Case& c : cases) {
        ASSERT_TRUE(device.StopTapi());
        for (LONG answer : c.Answers)
            tapi.FailNext("lineInitialize", answer);
        if (c.Waited)
            QTimer::singleShot(0, [&] { clock.Advance(c.Waited); });
        const std::int64_t start = clock.Ms();
        bool started = false;
        EXPECT_NO_THROW(started = device.StartTapi()) << c.Name;
        EXPECT_EQ(started, c.Started) << c.Name;
        EXPECT_EQ(device.LineApp() != 0, c.Started) << c.Name;
        EXPECT_EQ(clock.Ms() - start, c.Waited) << c.Name;
        EXPECT_EQ(RegistryValues().contains(OwnValue()), c.Started) << c.Name;
    }
}

TEST_F(TapiDevice, WithoutTheLibraryStartingFailsAndTheNextOperationTriesAgain) {
    UnloadTapiProcs();
    UnregisterModule("TAPI32");
    TTestDevice device(nullptr);
    EXPECT_EQ(device.LineApp(), 0u);
    EXPECT_TRUE(device.TapiDevices().empty());
    RegisterModule("TAPI32", Tapi32Entries());
    EXPECT_TRUE(device.StartTapi());
}

TEST_F(TapiDevice, TheFilterListsOnlyLinesThatPlaceDataCalls) {
    tapi.AddLine({"Voice", "", LINEMEDIAMODE_AUTOMATEDVOICE}); // no wave device here
    tapi.AddLine({"GSM", "/dev/null"});
    tapi.AddLine({"Listening only", "", LINEMEDIAMODE_DATAMODEM, 0});
    tapi.AddLine({"Fax", "", LINEMEDIAMODE_DATAMODEM | LINEMEDIAMODE_G3FAX});
    TTestDevice device(nullptr);
    EXPECT_EQ(device.TapiDevices(), (std::vector<std::string>{"GSM", "Fax"}));
    EXPECT_EQ(device.DeviceCount(), 2);
    device.SetFilterUnsupportedDevices(false);
    device.EnumLineDevices();
    EXPECT_EQ(device.TapiDevices(), (std::vector<std::string>{"Voice", "GSM", "Listening only", "Fax"}));
    EXPECT_EQ(device.DeviceIDFromName("Fax"), 3);
    EXPECT_EQ(device.DeviceIDFromName("fax"), -1); // names match exactly
    EXPECT_EQ(device.DeviceIDFromName(""), -1);
}

TEST_F(TapiDevice, ALineWhoseCapabilitiesCannotBeReadEndsTheList) {
    tapi.AddLine({"GSM", ""});
    tapi.AddLine({.Name = "Broken", .CapsError = LINEERR_NOMEM});
    tapi.AddLine({"Second GSM", ""});
    TTestDevice device(nullptr);
    EXPECT_EQ(device.TapiDevices(), std::vector<std::string>{"GSM"});
    EXPECT_EQ(device.DeviceCount(), 1);
}

TEST_F(TapiDevice, ALineAddedWhileRunningIsListed) {
    tapi.AddLine({"GSM", ""});
    TTestDevice device(nullptr);
    TTestDevice other(nullptr);
    ASSERT_EQ(device.TapiDevices().size(), 1u);
    tapi.AddLine({"Second GSM", ""});
    EXPECT_TRUE(
        PumpUntil([&] { return device.TapiDevices().size() == 2 && other.TapiDevices().size() == 2; }));
    EXPECT_EQ(device.TapiDevices().back(), "Second GSM");
    EXPECT_EQ(device.DeviceIDFromName("Second GSM"), 1);
}

TEST_F(TapiDevice, TheLineInUseIsFoundByNameOrAsTheOnlyListedOne) {
    tapi.AddLine({"Voice", "", LINEMEDIAMODE_AUTOMATEDVOICE});
    tapi.AddLine({"GSM", ""});
    TTestDevice device(nullptr);
    device.ShowPorts = false;
    device.ShowTapiDevices = false;
    EXPECT_EQ(device.GetSelectedLine(), 1); // the only listed line, which is not device 0
    EXPECT_EQ(device.SelectedDevice(), "GSM");
    device.SetSelectedDevice("Voice");
    EXPECT_EQ(device.GetSelectedLine(), 0);
    for (const char* name : {"gsm", "Nowhere"}) {
        device.SetSelectedDevice(name);
        try {
            device.GetSelectedLine();
            ADD_FAILURE() << name;
        } catch (const ETapiNoSelect& error) {
            EXPECT_EQ(error.ErrorCode, -13930);
            EXPECT_EQ(error.Message, "No TAPI device selected");
        }
    }
    tapi.AddLine({"Second GSM", ""});
    ASSERT_TRUE(PumpUntil([&] { return device.TapiDevices().size() == 2; }));
    device.SetSelectedDevice("");
    EXPECT_THROW(device.GetSelectedLine(), ETapiNoSelect); // two lines: no choosing by itself
}

TEST_F(TapiDevice, AReinitialisationShutsTheLineDownAndTheNextUseOpensItAgain) {
    const DWORD gsm = tapi.AddLine({"GSM", ""});
    TSioComPort port;
    std::vector<TTapiLogCode> logged;
    TTestDevice device(nullptr);
    device.ComPort = &port;
    device.SetSelectedDevice("GSM");
    device.AutoAnswer();
    ASSERT_TRUE(device.Open());
    const HLINEAPP before = device.LineApp();
    device.OnTapiLog = [&](TSioCustomTapiDevice*, TTapiLogCode code) { logged.push_back(code); };

    tapi.SendLineDevState(gsm, LINEDEVSTATE_REINIT); // caused by nothing in particular: a shutdown
    ASSERT_TRUE(PumpUntil([&] { return device.LineApp() == 0; }));
    EXPECT_FALSE(device.Open());
    EXPECT_EQ(logged, (std::vector<TTapiLogCode>{ltapiDrop, ltapiCallFinish, ltapiDialFail}));
    EXPECT_EQ(RegistryValues(), QStringList());

    device.AutoAnswer();
    EXPECT_NE(device.LineApp(), 0u);
    EXPECT_NE(device.LineApp(), before);
    EXPECT_TRUE(device.Open());
    EXPECT_EQ(RegistryValues(), QStringList{OwnValue()});
    const HCALL call = tapi.Ring(gsm);
    EXPECT_NE(call, 0u); // the new open takes the calls
}

TEST_F(TapiDevice, TheSelectionDialogIsMadeWithTheDevicesFormAsItsOwner) {
    tapi.AddLine({"GSM", ""});
    tapi.AddLine({"Second GSM", ""});
    TForm form;
    form.setGeometry(200, 150, 640, 480);
    form.show();
    TTestDevice device(&form);
    device.ShowPorts = false;
    for (const bool selecting : {false, true}) {
        SCOPED_TRACE(selecting);
        QWidget* owner = nullptr;
        QPoint centre;
        WhenShown(QStringLiteral("DeviceSelectionForm"), [&](QWidget* window) {
            owner = window->parentWidget();
            centre = window->frameGeometry().center();
            dynamic_cast<TDeviceSelectionForm&>(*window).dsfCancelBitBtn->click();
        });
        if (selecting)
            EXPECT_EQ(device.SelectDevice(), mrCancel);
        else
            EXPECT_THROW(device.GetSelectedLine(), ETapiNoSelect); // two lines and no name
        EXPECT_EQ(owner, &form);
        EXPECT_EQ(centre, form.frameGeometry().center());
    }
}

TEST_F(TapiDevice, LineErrorsRaiseTheirLibraryException) {
    TTestDevice device(nullptr);
    EXPECT_NO_THROW(device.CheckError(0));
    try {
        device.CheckError(LINEERR_CALLUNAVAIL);
        ADD_FAILURE();
    } catch (const ETapiCallUnavail& error) {
        EXPECT_EQ(error.ErrorCode, -13805);
        EXPECT_EQ(error.Message, "Call unavailable");
    }
    try {
        device.CheckError(LINEERR_REINIT);
        ADD_FAILURE();
    } catch (const ETapiReinit& error) {
        EXPECT_EQ(error.ErrorCode, -13882);
        EXPECT_EQ(error.Message, "Reinit failed");
    }
    EXPECT_THROW(device.CheckError(ecTapiLoadFail), ETapiLoadFail);
    EXPECT_THROW(device.CheckError(ecTapiGetAddrFail), ETapiGetAddrFail);
}

TEST_F(TapiDevice, NoExceptionLeavesTheDestructor) {
    tapi.AddLine({"GSM", ""});
    auto device = std::make_unique<TTestDevice>(nullptr);
    tapi.FailNext("lineShutdown", LINEERR_OPERATIONFAILED);
    EXPECT_NO_THROW(device.reset());
}

TEST_F(TapiDevice, AnExceptionInALineEventOrAWindowMessageIsShownAndGoesNoFurther) {
    tapi.AddLine({"GSM", ""});
    TTestDevice device(nullptr);
    device.SetSelectedDevice("GSM");
    device.SetOpen(true);
    ASSERT_TRUE(device.Open());
    device.OnTapiLog = [](TSioCustomTapiDevice*, TTapiLogCode code) {
        if (code == ltapiDrop)
            throw ETapiUnexpected(-13934);
    };
    dialogs.Expect(mtError, QStringLiteral("Unexpected TAPI error"), mrOk);
    tapi.CloseLine(0); // LINE_CLOSE: the hang-up's log raises inside the callback
    EXPECT_TRUE(PumpUntil([&] { return dialogs.Pending() == 0; }));
    EXPECT_FALSE(device.Open());

    device.OnTapiLog = nullptr;
    int failures = 0;
    device.OnTapiFail = [&](TSioCustomTapiDevice*) {
        ++failures;
        throw ETapiCallUnavail(-13805);
    };
    dialogs.Expect(mtError, QStringLiteral("Call unavailable"), mrOk);
    device.SetOpen(true);
    device.SetOpen(false); // a call that never connected: its failure is reported from the window
    EXPECT_TRUE(PumpUntil([&] { return dialogs.Pending() == 0; }));
    EXPECT_EQ(failures, 1);
}

// One road of ConfigAndOpen, as the GSM modem window takes it: lines "Voice" (optional, not listed)
// and "GSM" on a pty, a port in tmAuto, no device list offered.
struct TOpenCase {
    const char* Name;
    std::string Selected = "GSM";
    bool VoiceLineFirst = false;
    enum { Auto, NoPort, Direct } Port = Auto;
    // Runs before ConfigAndOpen; the fake clock is there for a wait to run out.
    struct TRoad {
        TTapiTestBackEnd& Tapi;
        DWORD Gsm;
        TSioTapiDevice& Device;
        TFakeClock& Clock;
    };
    std::function<void(const TRoad&)> Script = {};
    std::int32_t Raised = 0; // the library code raised, 0 for none
    bool PortOpened = false;
    LONG FailureCode = 0;
    std::int64_t Waited = 0; // on the monotonic clock
    bool CallKept = false;   // connected without a port: left for OnTapiFail's handler to end
};

TEST(TapiConfigAndOpen, EveryOutcomeLeavesTheDeviceUsableAndNothingOpen) {
    const TOpenCase cases[] = {
        {.Name = "success", .PortOpened = true},
        {.Name = "synchronous failure",
         .Script = [](const TOpenCase::TRoad& r) { r.Tapi.FailNext("lineMakeCall", LINEERR_CALLUNAVAIL); },
         .Raised = -13805,
         .FailureCode = LINEERR_CALLUNAVAIL},
        {.Name = "asynchronous failure",
         .Script =
             [](const TOpenCase::TRoad& r) { r.Tapi.FailNextReply("lineMakeCall", LINEERR_RESOURCEUNAVAIL); },
         .Raised = -13805,
         .FailureCode = LINEERR_RESOURCEUNAVAIL},
        {.Name = "no reply within 30 s",
         .Script =
             [](const TOpenCase::TRoad& r) {
                 r.Tapi.WithholdNextReply("lineMakeCall");
                 TFakeClock* clock = &r.Clock;
                 QTimer::singleShot(0, [clock] { clock->Advance(29999); });
                 QTimer::singleShot(20, [clock] { clock->Advance(1); });
             },
         .Raised = -13805,
         .FailureCode = LINEERR_CALLUNAVAIL,
         .Waited = 30000},
        {.Name = "early disconnect",
         .Script =
             [](const TOpenCase::TRoad& r) { r.Tapi.QueueDialResult(r.Gsm, TTapiTestBackEnd::Disconnected); },
         .FailureCode = LINEDISCONNECTMODE_UNAVAIL},
        {.Name = "failed handle look-up",
         .Script = [](const TOpenCase::TRoad& r) { r.Tapi.FailNext("lineGetID", LINEERR_OPERATIONFAILED); },
         .CallKept = true},
        {.Name = "unknown name", .Selected = "Nowhere", .Raised = -13930},
        {.Name = "one listed line with no name", .Selected = "", .VoiceLineFirst = true, .PortOpened = true},
        {.Name = "no port", .Port = TOpenCase::NoPort, .Raised = -1005},
        {.Name = "port not in TAPI mode", .Port = TOpenCase::Direct, .Raised = -13929},
        {.Name = "a call already up",
         .Script =
             [](const TOpenCase::TRoad& r) {
                 r.Device.ConfigAndOpen();
                 ASSERT_TRUE(r.Device.CallConnected());
             },
         .Raised = -13928,
         .PortOpened = true},
    };
    TComFolder folder;
    TScriptedDialogs dialogs{FailTest};
    TPtyPair pty;
    for (const TOpenCase& c : cases) {
        SCOPED_TRACE(c.Name);
        const std::set<QString> before = OpenDescriptorNames();
        {
            TTapiTestBackEnd tapi;
            if (c.VoiceLineFirst)
                tapi.AddLine({"Voice", "", LINEMEDIAMODE_AUTOMATEDVOICE});
            const DWORD gsm = tapi.AddLine({"GSM", QString::fromStdString(pty.SlavePath())});
            TFakeClock clock;
            TSioComPort port;
            port.SetOnTriggerAvail([](TSioCustomComPort*, std::uint16_t) {});
            port.SetTapiMode(c.Port == TOpenCase::Direct ? tmNone : tmAuto);
            TSioTapiDevice device(nullptr);
            device.ComPort = c.Port == TOpenCase::NoPort ? nullptr : &port;
            device.ShowTapiDevices = false;
            device.ShowPorts = false;
            device.SetSelectedDevice(c.Selected);
            int failures = 0; // a handler, as the GSM modem window has none, only where it is looked at
            if (c.CallKept)
                device.OnTapiFail = [&](TSioCustomTapiDevice*) { ++failures; };
            const std::int64_t start = clock.Ms();
            if (c.Script)
                c.Script({tapi, gsm, device, clock});
            std::int32_t raised = 0;
            try {
                device.ConfigAndOpen();
            } catch (const ESIOException& error) {
                raised = error.ErrorCode;
            }
            EXPECT_EQ(raised, c.Raised);
            EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr); // the wait cursor is gone
            EXPECT_TRUE(PumpIdle());                               // what the device posted while it opened
            EXPECT_EQ(port.Open(), c.PortOpened);
            EXPECT_EQ(port.TapiCid != 0, c.PortOpened);
            EXPECT_EQ(device.FailureCode(), c.FailureCode);
            EXPECT_EQ(clock.Ms() - start, c.Waited);
            EXPECT_EQ(device.Open(), c.PortOpened || c.CallKept);
            EXPECT_EQ(device.CallConnected(), c.PortOpened || c.CallKept);
            EXPECT_EQ(failures, c.CallKept ? 1 : 0);
            if (c.PortOpened) {
                EXPECT_EQ(device.SelectedDevice(), "GSM");
                EXPECT_EQ(port.ValidDispatcher()->DeviceName, "GSM");
            }
            device.CancelCall();
            EXPECT_TRUE(PumpUntil([&] { return !port.Open(); }));
            EXPECT_EQ(device.GetTapiState(), tsIdle);
        }
        EXPECT_TRUE(PumpUntil([&] { return OpenDescriptorNames() == before; }));
    }
}

TEST(TapiConfigAndOpen, FromInsideTheSerialPortsOwnHandlerThePortOpenIsToldOnceThePortIsOpen) {
    TComFolder folder;
    TScriptedDialogs dialogs{FailTest};
    TPtyPair com, line;
    folder.Map(7, com.SlavePath());
    TTapiTestBackEnd tapi;
    tapi.AddLine({"GSM", QString::fromStdString(line.SlavePath())});
    TSioComPort port; // open on a COM port until the call takes it over
    port.SetComNumber(7);
    TSioTapiDevice device(nullptr);
    device.ComPort = &port;
    device.ShowTapiDevices = false;
    device.ShowPorts = false;
    device.SetSelectedDevice("GSM");
    int told = 0;
    bool openWhenTold = false;
    device.OnTapiPortOpen = [&](TSioCustomTapiDevice*) {
        ++told;
        openWhenTold = port.PortState() == psOpen && port.TapiCid != 0;
    };
    // The handler below shortens the window's time-out; a failed assertion must not leave it short
    // (and the port and device, made before, close with it restored).
    const auto restoreTimeout = qScopeGuard([] { WndNotifyTimeoutMs = 3000; });
    bool dialled = false;
    port.SetOnTriggerAvail([&](TSioCustomComPort*, std::uint16_t) {
        if (std::exchange(dialled, true))
            return;
        // The call's port opens while this handler runs: the close it makes first is deferred
        // until the dispatch thread, which waits for this handler, has given up on it.
        WndNotifyTimeoutMs = 50;
        device.ConfigAndOpen();
    });
    port.SetOpen(true);
    com.Write(Bytes("RING\r\n"));
    ASSERT_TRUE(PumpUntil([&] { return told == 1; }));
    EXPECT_TRUE(openWhenTold);
    EXPECT_EQ(port.ValidDispatcher()->DeviceName, "GSM");
    port.PutString("AT\r");
    EXPECT_EQ(line.Read(3), Bytes("AT\r"));
    device.CancelCall();
    EXPECT_TRUE(PumpUntil([&] { return !port.Open(); }));
}

} // namespace
