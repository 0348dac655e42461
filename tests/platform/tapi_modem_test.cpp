// A line of the lines file driven by its modem (the GSM simulator on a pty): dialling, data and voice
// calls, rings, a modem that goes away and comes back, the line's configuration and its dialog.
#include <gtest/gtest.h>

#include "tests/platform/TapiFixture.h"

namespace {

using namespace tapi_test;

class TapiModem : public TapiLines {
protected:
    TapiModem() {
        SetModemEscapeGuardMs(5);
        WriteLines("GSM modem=COM5\n");
        sim.Start();
    }
    ~TapiModem() override { SetModemEscapeGuardMs(1000); }

    // Pumps until the call has been in the state.
    bool Reached(HCALL call, DWORD state) {
        return PumpUntil([&] {
            for (const auto& [s, mode] : StatesOf(call))
                if (s == state)
                    return true;
            return false;
        });
    }
    // Pulls the modem's cable: true once the modem has seen the device go, as it holds it no more.
    bool PullCable() {
        const std::string lost = sim.SlavePath();
        sim.PullCable();
        return PumpUntil([&] { return !HoldsOpen(lost); });
    }
    // Pulls the modem's cable under the call (meanwhile runs next): true once the call has ended, as
    // a lost device's does, with the loss said on standard error.
    bool EndsWhenTheCableIsPulled(HCALL call, const std::function<void()>& meanwhile = {}) {
        testing::internal::CaptureStderr();
        sim.PullCable();
        if (meanwhile)
            meanwhile();
        const bool ended = Reached(call, LINECALLSTATE_DISCONNECTED);
        const std::string said = testing::internal::GetCapturedStderr();
        EXPECT_NE(said.find("stopped answering"), std::string::npos) << said;
        if (ended) {
            EXPECT_EQ(StatesOf(call).back(),
                      std::make_pair(LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_UNAVAIL));
        }
        return ended;
    }
    // Drops, frees and closes, as an application ends a call.
    void EndCall(HLINE line, HCALL call) {
        EXPECT_EQ(WaitForReply(lineDrop(call, nullptr, 0)), 0);
        EXPECT_TRUE(Reached(call, LINECALLSTATE_IDLE));
        EXPECT_EQ(lineDeallocateCall(call), 0);
        EXPECT_EQ(lineClose(line), 0);
    }
    std::string CallData(std::size_t count) {
        std::string data;
        PumpUntil([&] {
            data += sim.TakeCallData();
            return data.size() >= count;
        });
        return data;
    }
    std::string Config(HLINEAPP) {
        TBuffer<VARSTRING> config(64);
        EXPECT_EQ(lineGetDevConfig(0, config.get(), "comm/datamodem"), 0);
        return config.Bytes(config->dwStringOffset, config->dwStringSize);
    }
    std::string FileText(const QString& path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string();
    }

    gsmsim::GsmSim sim{{}, "COM5"};
};

TEST_F(TapiModem, ADialledCallFollowsTheModemsResult) {
    using D = gsmsim::DialResult;
    const struct {
        const char* Name;
        D Result;
        DWORD Media;
        std::pair<DWORD, DWORD> End;
    } cases[] = {
        {"data", D::Connect, LINEMEDIAMODE_DATAMODEM, {LINECALLSTATE_CONNECTED, 0}},
        {"voice", D::Connect, LINEMEDIAMODE_INTERACTIVEVOICE, {LINECALLSTATE_CONNECTED, 0}},
        {"busy", D::Busy, LINEMEDIAMODE_DATAMODEM, {LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_BUSY}},
        {"no answer",
         D::NoAnswer,
         LINEMEDIAMODE_DATAMODEM,
         {LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_NOANSWER}},
        {"no carrier",
         D::NoCarrier,
         LINEMEDIAMODE_INTERACTIVEVOICE,
         {LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_NORMAL}},
        {"no dial tone",
         D::NoDialtone,
         LINEMEDIAMODE_DATAMODEM,
         {LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_NODIALTONE}},
    };
    const HLINEAPP app = Initialize();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        received.clear();
        sim.QueueDialResult(c.Result);
        const HLINE line = Open(app, 0, LINECALLPRIVILEGE_NONE);
        HCALL call = 0;
        ASSERT_EQ(MakeCall(line, &call, LINEBEARERMODE_VOICE, "+7 (900) 123-45-67", c.Media), 0);
        ASSERT_TRUE(Reached(call, c.End.first));
        EXPECT_EQ(StatesOf(call), (std::vector<std::pair<DWORD, DWORD>>{{LINECALLSTATE_DIALING, 0}, c.End}));
        const bool voice = c.Media == LINEMEDIAMODE_INTERACTIVEVOICE;
        EXPECT_EQ(sim.Dialled().back(), voice ? "+79001234567;" : "+79001234567");
        TBuffer<LINECALLINFO> info(1024);
        ASSERT_EQ(lineGetCallInfo(call, info.get()), 0);
        const bool data = c.End.first == LINECALLSTATE_CONNECTED && !voice;
        EXPECT_EQ(info->dwRate, data ? 9600u : 0u);
        TBuffer<VARSTRING> id(64);
        EXPECT_EQ(lineGetID(line, 0, call, LINECALLSELECT_CALL, id.get(), "comm/datamodem"),
                  data ? 0 : LINEERR_INVALCALLSTATE);
        if (data)
            ::close(DescriptorIn(id));
        EndCall(line, call);
        EXPECT_EQ(sim.GetCallState(), gsmsim::CallState::None);
        EXPECT_TRUE(PumpUntil([&] { return !sim.Connected(); })); // the device goes with the call
    }
    EXPECT_EQ(sim.Commands().front(), "ATD+79001234567"); // no command before the call
}

TEST_F(TapiModem, AConnectedDataCallCarriesDataBothWaysAndIsDroppedWithTheEscapeAndATH) {
    const std::set<QString> before = OpenDescriptorNames();
    const HLINEAPP app = Initialize();
    const HLINE line = Open(app, 0, LINECALLPRIVILEGE_NONE);
    HCALL call = 0;
    ASSERT_EQ(MakeCall(line, &call, LINEBEARERMODE_VOICE, "5551234"), 0);
    ASSERT_TRUE(Reached(call, LINECALLSTATE_CONNECTED));
    TBuffer<VARSTRING> id(64);
    ASSERT_EQ(lineGetID(line, 0, call, LINECALLSELECT_CALL, id.get(), "comm/datamodem"), 0);
    const int fd = DescriptorIn(id);
    Write(fd, "to the far end +1+2");
    EXPECT_EQ(CallData(19), "to the far end +1+2");
    ASSERT_TRUE(sim.SendCallData("from the far end"));
    EXPECT_EQ(Read(fd, 16), "from the far end");
    ::close(fd);

    EndCall(line, call);
    EXPECT_EQ(sim.GetCallState(), gsmsim::CallState::None);
    EXPECT_EQ(sim.Commands(), (std::vector<std::string>{"ATD5551234", "ATH"}));
    EXPECT_EQ(sim.TakeCallData(), ""); // the escape was no data
    EXPECT_EQ(lineShutdown(app), 0);
    apps.clear();
    EXPECT_TRUE(PumpUntil([&] { return OpenDescriptorNames() == before; }));
}

TEST_F(TapiModem, ACallStillBeingPlacedIsAbortedAndAVanishedModemEndsIt) {
    TFakeClock clock; // the modem's NO CARRIER to the character is its answer, not the wait for one
    const HLINEAPP app = Initialize();
    sim.QueueDialResult(gsmsim::DialResult::Pending);
    const HLINE line = Open(app, 0, LINECALLPRIVILEGE_NONE);
    HCALL call = 0;
    ASSERT_EQ(MakeCall(line, &call, LINEBEARERMODE_VOICE, "5551234"), 0);
    ASSERT_TRUE(PumpUntil([&] { return sim.GetCallState() == gsmsim::CallState::Dialling; }));
    EndCall(line, call); // the modem stops dialling at a character, then hangs up
    EXPECT_EQ(sim.Commands().back(), "ATH");
    EXPECT_EQ(StatesOf(call),
              (std::vector<std::pair<DWORD, DWORD>>{{LINECALLSTATE_DIALING, 0}, {LINECALLSTATE_IDLE, 0}}));

    received.clear();
    sim.QueueDialResult(gsmsim::DialResult::Pending);
    const HLINE again = Open(app, 0, LINECALLPRIVILEGE_NONE);
    ASSERT_EQ(MakeCall(again, &call, LINEBEARERMODE_VOICE, "5551234"), 0);
    ASSERT_TRUE(PumpUntil([&] { return sim.GetCallState() == gsmsim::CallState::Dialling; }));
    ASSERT_TRUE(EndsWhenTheCableIsPulled(call));
    EndCall(again, call);
}

// A voice call, up or held, ends when the modem says the far end is gone: NO CARRIER, or BUSY as some
// modems say it.
TEST_F(TapiModem, AVoiceCallUpOrHeldEndsWhenTheModemSaysNoCarrierOrBusy) {
    const HLINEAPP app = Initialize();
    for (const char* said : {"NO CARRIER", "BUSY"})
        for (const bool held : {false, true}) {
            SCOPED_TRACE(std::string(said) + (held ? ", held" : ""));
            received.clear();
            const HLINE line = Open(app, 0, LINECALLPRIVILEGE_NONE);
            HCALL call = 0;
            ASSERT_EQ(MakeCall(line, &call, LINEBEARERMODE_VOICE, "100", LINEMEDIAMODE_INTERACTIVEVOICE), 0);
            ASSERT_TRUE(Reached(call, LINECALLSTATE_CONNECTED));
            if (held) {
                EXPECT_EQ(WaitForReply(lineHold(call)), 0);
                ASSERT_TRUE(Reached(call, LINECALLSTATE_ONHOLD));
            }
            sim.Unsolicited(said);
            ASSERT_TRUE(Reached(call, LINECALLSTATE_DISCONNECTED));
            EXPECT_EQ(StatesOf(call).back(),
                      std::make_pair(LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_NORMAL));
            EndCall(line, call);
            EXPECT_TRUE(PumpUntil([&] { return !sim.Connected(); })); // the device goes with the call
        }
}

TEST_F(TapiModem, AModemThatVanishesUnderAConnectedDataCallEndsIt) {
    TFakeClock clock;
    const HLINEAPP app = Initialize();
    const HLINE line = Open(app, 0, LINECALLPRIVILEGE_NONE);
    HCALL call = 0;
    ASSERT_EQ(MakeCall(line, &call, LINEBEARERMODE_VOICE, "5551234"), 0);
    ASSERT_TRUE(Reached(call, LINECALLSTATE_CONNECTED));
    clock.Advance(5000); // the looks at the device run in it
    EXPECT_TRUE(PumpIdle());
    EXPECT_EQ(StatesOf(call).back().first, LINECALLSTATE_CONNECTED); // a quiet call goes on
    TBuffer<VARSTRING> id(64);
    ASSERT_EQ(lineGetID(line, 0, call, LINECALLSELECT_CALL, id.get(), "comm/datamodem"), 0);
    const int fd = DescriptorIn(id); // the call's device, to see it hang up
    ASSERT_TRUE(EndsWhenTheCableIsPulled(call, [&] {
        EXPECT_TRUE(PumpUntil([&] { return HungUp(fd); }));
        clock.Advance(1000); // the next look at the device
    }));
    ::close(fd);
    EndCall(line, call);
}

TEST_F(TapiModem, AModemLostWhileListeningListensAgainOnceItsDeviceIsBack) {
    TFakeClock clock;
    const HLINEAPP app = Initialize();
    const HLINE line = Open(app, 0, LINECALLPRIVILEGE_OWNER);
    ASSERT_TRUE(PumpUntil([&] { return sim.Connected(); }));
    testing::internal::CaptureStderr();
    ASSERT_TRUE(PullCable());
    for (int i = 0; i < 3; ++i) { // the device is away: nothing to open
        clock.Advance(5000);
        EXPECT_TRUE(PumpIdle());
    }
    ASSERT_TRUE(sim.PlugIn());
    clock.Advance(5000);
    ASSERT_TRUE(PumpUntil([&] { return sim.Connected(); }));
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("stopped answering"), std::string::npos) << said;
    EXPECT_EQ(said.find("cannot open"), std::string::npos) << said;
    ASSERT_TRUE(PumpUntil([&] { return sim.Commands().size() == 2; }));
    EXPECT_EQ(sim.Commands(), (std::vector<std::string>{"AT+CLIP=1", "AT+CLIP=1"}));
    sim.Ring({"+79001234567", ""});
    EXPECT_NE(WaitFor(LINE_CALLSTATE, LINECALLSTATE_OFFERING), nullptr);
    EXPECT_EQ(lineClose(line), 0);
    // With no open that wants the rings, a loss is not followed up.
    const HLINE other = Open(app, 0, LINECALLPRIVILEGE_OWNER);
    ASSERT_TRUE(PumpUntil([&] { return sim.Connected(); }));
    ASSERT_TRUE(PullCable());
    EXPECT_EQ(lineClose(other), 0);
    ASSERT_TRUE(sim.PlugIn());
    clock.Advance(5000); // a look for the device would open it in here
    EXPECT_TRUE(PumpIdle());
    EXPECT_FALSE(HoldsOpen(sim.SlavePath()));
    EXPECT_FALSE(sim.Connected());
}

// A device that is back but cannot be opened yet (another program holds it) is tried again.
TEST_F(TapiModem, AModemBackButHeldElsewhereAtItsFirstReopenIsTriedAgain) {
    TFakeClock clock;
    const HLINEAPP app = Initialize();
    const HLINE line = Open(app, 0, LINECALLPRIVILEGE_OWNER);
    ASSERT_TRUE(PumpUntil([&] { return sim.Commands().size() == 1; }));
    testing::internal::CaptureStderr();
    ASSERT_TRUE(PullCable());
    ASSERT_TRUE(sim.PlugIn());
    const int holder = ::open(sim.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
    clock.Advance(5000); // the look for the device, which tries to open it
    EXPECT_TRUE(PumpIdle());
    ::close(holder);
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("cannot open"), std::string::npos) << said;
    clock.Advance(5000);
    ASSERT_TRUE(PumpUntil([&] { return sim.Commands().size() == 2; }));
    EXPECT_EQ(sim.Commands().back(), "AT+CLIP=1");
    EXPECT_EQ(lineClose(line), 0);
}

TEST_F(TapiModem, AnOwnerOpenHearsTheRingsWithTheCallerAndItsAnswerConnects) {
    const HLINEAPP app = Initialize();
    const HLINE line = Open(app, 0, LINECALLPRIVILEGE_OWNER);
    ASSERT_TRUE(PumpUntil([&] { return sim.ClipEnabled(); }));
    sim.Ring({"+79001234567", "Office"});
    const TReceived* offered = WaitFor(LINE_CALLSTATE, LINECALLSTATE_OFFERING);
    ASSERT_NE(offered, nullptr);
    const HCALL call = HCALL(offered->Device);
    ASSERT_NE(WaitFor(LINE_CALLINFO, LINECALLINFOSTATE_CALLERID), nullptr);
    TBuffer<LINECALLINFO> info(1024);
    ASSERT_EQ(lineGetCallInfo(call, info.get()), 0);
    EXPECT_EQ(info->dwOrigin, LINECALLORIGIN_EXTERNAL);
    EXPECT_EQ(info->dwMediaMode, LINEMEDIAMODE_DATAMODEM);
    EXPECT_EQ(info->dwCallerIDFlags, LINECALLPARTYID_ADDRESS | LINECALLPARTYID_NAME);
    EXPECT_EQ(info.Bytes(info->dwCallerIDOffset, info->dwCallerIDSize), std::string("+79001234567", 13));
    EXPECT_EQ(info.Bytes(info->dwCallerIDNameOffset, info->dwCallerIDNameSize), std::string("Office", 7));
    sim.Ring({"+79001234567", "Office"});
    const auto rings = [&] {
        std::vector<DWORD_PTR> counts;
        for (const TReceived& r : received)
            if (r.Message == LINE_LINEDEVSTATE && r.Param1 == LINEDEVSTATE_RINGING)
                counts.push_back(r.Param3);
        return counts;
    };
    ASSERT_TRUE(PumpUntil([&] { return rings().size() == 2; }));
    EXPECT_EQ(rings(), (std::vector<DWORD_PTR>{0, 1}));
    EXPECT_EQ(Count(LINE_CALLINFO), 1); // the same caller is told once

    EXPECT_EQ(WaitForReply(lineAnswer(call, nullptr, 0)), 0);
    ASSERT_TRUE(Reached(call, LINECALLSTATE_CONNECTED));
    EXPECT_EQ(sim.GetCallState(), gsmsim::CallState::Data);
    TBuffer<VARSTRING> id(64);
    ASSERT_EQ(lineGetID(line, 0, call, LINECALLSELECT_CALL, id.get(), "comm/datamodem"), 0);
    const int fd = DescriptorIn(id);
    ASSERT_TRUE(sim.SendCallData("hello"));
    EXPECT_EQ(Read(fd, 5), "hello");
    ::close(fd);
    EndCall(line, call);
    EXPECT_TRUE(PumpUntil([&] { return !sim.Connected(); }));
    // Listening again once the call was over, until the line closed.
    EXPECT_EQ(sim.Commands(), (std::vector<std::string>{"AT+CLIP=1", "ATA", "ATH", "AT+CLIP=1"}));
}

TEST_F(TapiModem, AWithheldCallerIsToldSoAndACallThatStopsRingingIsGone) {
    TFakeClock clock;
    const HLINEAPP app = Initialize();
    const HLINE line = Open(app, 0, LINECALLPRIVILEGE_OWNER);
    ASSERT_TRUE(PumpUntil([&] { return sim.ClipEnabled(); }));
    sim.Ring({"", "", 1});
    ASSERT_NE(WaitFor(LINE_CALLINFO, LINECALLINFOSTATE_CALLERID), nullptr);
    const HCALL call = HCALL(WaitFor(LINE_CALLSTATE, LINECALLSTATE_OFFERING)->Device);
    TBuffer<LINECALLINFO> info(1024);
    ASSERT_EQ(lineGetCallInfo(call, info.get()), 0);
    EXPECT_EQ(info->dwCallerIDFlags, LINECALLPARTYID_BLOCKED);
    clock.Advance(RingGapMs - 1);
    EXPECT_TRUE(PumpIdle());
    EXPECT_EQ(StatesOf(call).size(), 1u);
    clock.Advance(1);
    ASSERT_TRUE(Reached(call, LINECALLSTATE_DISCONNECTED));
    EXPECT_EQ(StatesOf(call).back(), std::make_pair(LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_NORMAL));
    EndCall(line, call);
}

TEST_F(TapiModem, AVoiceCallIsHeldAndTakenBackWhereTheModemAgrees) {
    const HLINEAPP app = Initialize();
    const HLINE line = Open(app, 0, LINECALLPRIVILEGE_NONE);
    HCALL call = 0;
    ASSERT_EQ(MakeCall(line, &call, LINEBEARERMODE_VOICE, "100", LINEMEDIAMODE_INTERACTIVEVOICE), 0);
    ASSERT_TRUE(Reached(call, LINECALLSTATE_CONNECTED));
    EXPECT_EQ(lineUnhold(call), LINEERR_INVALCALLSTATE); // not held
    EXPECT_EQ(WaitForReply(lineHold(call)), 0);
    ASSERT_TRUE(Reached(call, LINECALLSTATE_ONHOLD));
    EXPECT_EQ(sim.GetCallState(), gsmsim::CallState::Held);
    EXPECT_EQ(lineHold(call), LINEERR_INVALCALLSTATE);
    EXPECT_EQ(WaitForReply(lineUnhold(call)), 0);
    ASSERT_TRUE(PumpUntil([&] { return StatesOf(call).back().first == LINECALLSTATE_CONNECTED; }));
    EXPECT_EQ(sim.GetCallState(), gsmsim::CallState::Voice);

    sim.SetHoldSupported(false);
    EXPECT_EQ(WaitForReply(lineHold(call)), LINEERR_OPERATIONUNAVAIL);
    EXPECT_TRUE(PumpIdle()); // a state would have been queued with the reply
    EXPECT_EQ(StatesOf(call).back().first, LINECALLSTATE_CONNECTED);
    EXPECT_EQ(lineBlindTransfer(call, "200", 0), LINEERR_OPERATIONUNAVAIL);
    EndCall(line, call);

    // A data call cannot be held.
    const HLINE data = Open(app, 0, LINECALLPRIVILEGE_NONE);
    ASSERT_EQ(MakeCall(data, &call, LINEBEARERMODE_VOICE, "100"), 0);
    ASSERT_TRUE(Reached(call, LINECALLSTATE_CONNECTED));
    EXPECT_EQ(lineHold(call), LINEERR_OPERATIONUNAVAIL);
    EndCall(data, call);
    const std::vector<std::string> commands = sim.Commands();
    EXPECT_EQ(std::count(commands.begin(), commands.end(), "AT+CHLD=2"), 3);
}

TEST_F(TapiModem, AnOwnerOpenThatGoesAtOnceLeavesTheDeviceAlone) {
    const HLINEAPP app = Initialize();
    const HLINE tried = Open(app, 0, LINECALLPRIVILEGE_OWNER);
    EXPECT_EQ(lineClose(tried), 0);
    EXPECT_TRUE(PumpIdle()); // the open's look at the modem, once the loop is back
    EXPECT_FALSE(HoldsOpen(sim.SlavePath()));
    EXPECT_EQ(sim.Connections(), 0u);
    const HLINE kept = Open(app, 0, LINECALLPRIVILEGE_OWNER);
    ASSERT_TRUE(PumpUntil([&] { return sim.Connected() && sim.ClipEnabled(); }));
    EXPECT_EQ(sim.Connections(), 1u); // the first open never reached the modem
    EXPECT_EQ(lineClose(kept), 0);
    EXPECT_TRUE(PumpUntil([&] { return !sim.Connected(); }));
}

TEST_F(TapiModem, TheLinesConfigurationIsAppliedWhenItsDeviceOpensAndLastsAcrossStarts) {
    HLINEAPP app = Initialize();
    EXPECT_EQ(Config(app), ""); // none yet: the device as it is
    TTapiDevConfig config;
    config.dwBaudRate = 57600;
    config.ByteSize = 7;
    config.Parity = EVENPARITY;
    config.StopBits = TWOSTOPBITS;
    config.FlowControl = TapiFlowHardware;
    ASSERT_EQ(lineSetDevConfig(0, &config, sizeof config, "comm/datamodem"), 0);
    EXPECT_EQ(FileText(TapiDevConfigFile()), "GSM modem=57600,7,E,2,RTS/CTS\n");
    TTapiDevConfig unsound = config;
    unsound.ByteSize = 9;
    EXPECT_EQ(lineSetDevConfig(0, &unsound, sizeof unsound, "comm/datamodem"), LINEERR_INVALPARAM);
    EXPECT_EQ(lineSetDevConfig(0, "abc", 3, "comm/datamodem"), LINEERR_INVALPARAM);
    EXPECT_EQ(Config(app), TapiDevConfigBytes(config));

    const HLINE line = Open(app, 0, LINECALLPRIVILEGE_NONE);
    HCALL call = 0;
    ASSERT_EQ(MakeCall(line, &call, LINEBEARERMODE_PASSTHROUGH), 0);
    ASSERT_TRUE(Reached(call, LINECALLSTATE_CONNECTED));
    EXPECT_EQ(sim.LineSpeed(), 57600u);
    EndCall(line, call);

    // The next start, with every application gone meanwhile, reads the lines and their
    // configurations anew.
    EXPECT_EQ(lineShutdown(app), 0);
    apps.clear();
    app = Initialize();
    EXPECT_EQ(Config(app), TapiDevConfigBytes(config));
    EXPECT_EQ(lineShutdown(app), 0);
    apps.clear();

    QFile file(TapiDevConfigFile());
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("GSM modem=fast\nOther=9600,8,N,1,none\n");
    file.close();
    testing::internal::CaptureStderr();
    app = Initialize();
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("\"fast\" is no line configuration"), std::string::npos) << said;
    EXPECT_EQ(Config(app), "");
    config.dwBaudRate = 9600;
    ASSERT_EQ(lineSetDevConfig(0, &config, sizeof config, "comm/datamodem"), 0);
    EXPECT_EQ(FileText(TapiDevConfigFile()), "GSM modem=9600,7,E,2,RTS/CTS\nOther=9600,8,N,1,none\n");
}

TEST_F(TapiModem, TheConfigurationDialogShowsAndEditsTheLinesConfiguration) {
    Initialize();
    const auto form = [](QWidget* window) { return dynamic_cast<TTapiConfigForm*>(window); };
    WhenShown(QStringLiteral("TapiConfigForm"), [&](QWidget* window) {
        TTapiConfigForm* f = form(window);
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(f->Caption(), QStringLiteral("Параметры линии «GSM modem»"));
        EXPECT_EQ(f->Config(), TTapiDevConfig{}); // none yet: the default
        auto* stopBits = qobject_cast<QStandardItemModel*>(f->tcfStopBits->model());
        EXPECT_FALSE(stopBits->item(ONE5STOPBITS)->isEnabled()); // not with 8 data bits
        f->tcfSpeed->setCurrentIndex(f->tcfSpeed->findData(19200));
        f->tcfDataBits->setCurrentIndex(0);
        EXPECT_TRUE(stopBits->item(ONE5STOPBITS)->isEnabled());
        f->tcfStopBits->setCurrentIndex(ONE5STOPBITS);
        f->tcfParity->setCurrentIndex(ODDPARITY);
        f->tcfFlowControl->setCurrentIndex(TapiFlowXonXoff);
        f->tcfOkButton->click();
    });
    EXPECT_EQ(lineConfigDialog(0, 0, "comm/datamodem"), 0);
    const std::optional<TTapiDevConfig> edited = TapiDevConfigOf(Config(0).data(), Config(0).size());
    ASSERT_TRUE(edited);
    EXPECT_EQ(TapiDevConfigText(*edited), "19200,5,O,1.5,XON/XOFF");

    WhenShown(QStringLiteral("TapiConfigForm"), [&](QWidget* window) {
        TTapiConfigForm* f = form(window);
        EXPECT_EQ(f->Config(), *edited);
        f->tcfDataBits->setCurrentIndex(3); // 1.5 stop bits go too
        EXPECT_EQ(f->Config().StopBits, TWOSTOPBITS);
        f->tcfCancelButton->click();
    });
    EXPECT_EQ(lineConfigDialog(0, 0, "comm/datamodem"), 0);
    EXPECT_EQ(Config(0), TapiDevConfigBytes(*edited)); // cancelled

    // The editing variant hands back what it was given, edited, and keeps nothing.
    TTapiDevConfig given;
    given.dwBaudRate = 250000; // a speed of its own is offered too
    for (const bool ok : {true, false}) {
        WhenShown(QStringLiteral("TapiConfigForm"), [&, ok](QWidget* window) {
            TTapiConfigForm* f = form(window);
            EXPECT_EQ(f->Config(), given);
            EXPECT_EQ(f->tcfSpeed->itemText(f->tcfSpeed->findData(250000) - 1), QStringLiteral("230400"));
            f->tcfParity->setCurrentIndex(MARKPARITY);
            (ok ? f->tcfOkButton : f->tcfCancelButton)->click();
        });
        TBuffer<VARSTRING> out(64);
        ASSERT_EQ(lineConfigDialogEdit(0, 0, "comm/datamodem", &given, sizeof given, out.get()), 0);
        const std::string bytes = out.Bytes(out->dwStringOffset, out->dwStringSize);
        const std::optional<TTapiDevConfig> back = TapiDevConfigOf(bytes.data(), bytes.size());
        ASSERT_TRUE(back) << ok;
        EXPECT_EQ(back->Parity, ok ? MARKPARITY : NOPARITY);
        EXPECT_EQ(back->dwBaudRate, 250000u);
    }
    EXPECT_EQ(Config(0), TapiDevConfigBytes(*edited));
    TBuffer<VARSTRING> out(64);
    EXPECT_EQ(lineConfigDialogEdit(0, 0, "comm/datamodem", "abc", 3, out.get()), LINEERR_INVALPARAM);
    TBuffer<VARSTRING> small(8);
    EXPECT_EQ(lineConfigDialogEdit(0, 0, "comm/datamodem", &given, sizeof given, small.get()),
              LINEERR_STRUCTURETOOSMALL);
    EXPECT_EQ(lineConfigDialog(0, 0, "wave/in"), LINEERR_INVALDEVICECLASS);
}

} // namespace
