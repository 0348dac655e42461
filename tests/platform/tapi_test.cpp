#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <tuple>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <QComboBox>
#include <QPushButton>
#include <QStandardItemModel>

#include "platform/Clock.h"
#include "platform/Tapi.h"
#include "platform/TapiConfigDialog.h"
#include "platform/TapiDevConfig.h"
#include "platform/TapiModem.h"
#include "tests/platform/TestSupport.h"
#include "tools/gsm-sim/GsmSim.h"

namespace {

// ---- What the line callback received

struct TReceived {
    DWORD Device, Message;
    DWORD_PTR Instance, Param1, Param2, Param3;
    bool OnMainThread;
    int Depth; // callbacks running when it came, itself included
};

std::vector<TReceived> received;
int depth = 0;
std::function<void(const TReceived&)> onReceived; // what a test's callback does besides recording

void Callback(DWORD device, DWORD message, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR param2,
              DWORD_PTR param3) {
    ++depth;
    const TReceived r{device,
                      message,
                      instance,
                      param1,
                      param2,
                      param3,
                      QThread::currentThread() == QCoreApplication::instance()->thread(),
                      depth};
    received.push_back(r);
    if (onReceived)
        onReceived(r);
    --depth;
}

// A zero-filled, aligned buffer for a variable-size structure.
template <class T> class TBuffer {
public:
    explicit TBuffer(DWORD size = sizeof(T)) : words_((size + 3) / 4) { get()->dwTotalSize = size; }
    T* get() { return reinterpret_cast<T*>(words_.data()); }
    T* operator->() { return get(); }
    std::string Bytes(DWORD offset, DWORD size) {
        return std::string(reinterpret_cast<char*>(get()) + offset, size);
    }

private:
    std::vector<DWORD> words_;
};

std::set<QString> OpenDescriptors() {
    const QStringList entries = QDir(QStringLiteral("/proc/self/fd"))
                                    .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    return {entries.begin(), entries.end()};
}

LINECALLPARAMS CallParams(DWORD bearer, DWORD media = LINEMEDIAMODE_DATAMODEM) {
    LINECALLPARAMS params{};
    params.dwTotalSize = sizeof params;
    params.dwBearerMode = bearer;
    params.dwMediaMode = media;
    params.dwCallParamFlags = LINECALLPARAMFLAGS_IDLE;
    params.dwAddressMode = LINEADDRESSMODE_ADDRESSID;
    return params;
}

// A pseudo-terminal pair whose slave end is raw: the modem's side is the master.
class TPty {
public:
    TPty() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        ::grantpt(master_);
        ::unlockpt(master_);
        slave_ = QString::fromLocal8Bit(::ptsname(master_));
        const int slave = ::open(::ptsname(master_), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios settings{};
        ::tcgetattr(slave, &settings);
        ::cfmakeraw(&settings);
        ::tcsetattr(slave, TCSANOW, &settings);
        ::close(slave);
    }
    ~TPty() { ::close(master_); }
    TPty(const TPty&) = delete;
    TPty& operator=(const TPty&) = delete;

    int Master() const { return master_; }
    QString Slave() const { return slave_; }

private:
    int master_;
    QString slave_;
};

void Write(int fd, const std::string& bytes) {
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
}

std::string Read(int fd, std::size_t count) {
    std::string bytes;
    pollfd ready{fd, POLLIN, 0};
    while (bytes.size() < count && ::poll(&ready, 1, 2000) == 1) {
        char buffer[256];
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got <= 0)
            break;
        bytes.append(buffer, std::size_t(got));
    }
    return bytes;
}

int DescriptorIn(TBuffer<VARSTRING>& id) {
    std::int32_t fd = -1;
    std::memcpy(&fd, id.Bytes(id->dwStringOffset, 4).data(), 4);
    return fd;
}

// ---- Fixtures

class Tapi : public ::testing::Test {
protected:
    void SetUp() override {
        received.clear();
        onReceived = nullptr;
    }
    void TearDown() override {
        onReceived = nullptr;
        for (HLINEAPP app : apps)
            lineShutdown(app);
    }

    HLINEAPP Initialize(DWORD* count = nullptr) {
        HLINEAPP app = 0;
        DWORD devices = 0;
        EXPECT_EQ(lineInitialize(&app, 0, Callback, "tapi-test", &devices), 0);
        apps.push_back(app);
        if (count)
            *count = devices;
        return app;
    }

    HLINE Open(HLINEAPP app, DWORD device, DWORD privileges = LINECALLPRIVILEGE_OWNER,
               DWORD media = LINEMEDIAMODE_DATAMODEM, DWORD_PTR instance = 0x5151) {
        HLINE line = 0;
        EXPECT_EQ(lineOpen(app, device, &line, TapiApiVersion14, 0, instance, privileges, media, nullptr), 0);
        EXPECT_EQ(lineSetStatusMessages(line, LINEDEVSTATE_ALL, LINEADDRESSSTATE_ALL), 0);
        return line;
    }

    // Places a call and pumps until its reply has come; the request's result.
    LONG MakeCall(HLINE line, HCALL* call, DWORD bearer, const char* number = "",
                  DWORD media = LINEMEDIAMODE_DATAMODEM) {
        const LINECALLPARAMS params = CallParams(bearer, media);
        const LONG request = lineMakeCall(line, call, number, 0, &params);
        return request > 0 ? WaitForReply(request) : request;
    }

    LONG WaitForReply(LONG request) {
        const TReceived* reply = WaitFor(LINE_REPLY, DWORD_PTR(request));
        return reply ? LONG(DWORD(reply->Param2)) : 1;
    }

    // Pumps until the message (with that first parameter, if given) has come.
    const TReceived* WaitFor(DWORD message, std::optional<DWORD_PTR> param1 = {}) {
        const TReceived* found = nullptr;
        PumpUntil([&] {
            for (const TReceived& r : received)
                if (r.Message == message && (!param1 || r.Param1 == *param1))
                    found = &r;
            return found != nullptr;
        });
        return found;
    }

    // The call states and their modes delivered for the call, in order.
    std::vector<std::pair<DWORD, DWORD>> StatesOf(HCALL call) const {
        std::vector<std::pair<DWORD, DWORD>> states;
        for (const TReceived& r : received)
            if (r.Message == LINE_CALLSTATE && r.Device == call)
                states.emplace_back(DWORD(r.Param1), DWORD(r.Param2));
        return states;
    }

    int Count(DWORD message) const {
        return int(std::count_if(received.begin(), received.end(),
                                 [&](const TReceived& r) { return r.Message == message; }));
    }

    std::vector<HLINEAPP> apps;
};

class TapiScript : public Tapi {
protected:
    TTapiTestBackEnd tapi;
};

class TapiLines : public Tapi {
protected:
    QTemporaryDir data;
    TEnvironment dataHome{"XDG_DATA_HOME", data.path().toLocal8Bit()};

    void WriteLines(const QByteArray& text) {
        ASSERT_TRUE(QDir().mkpath(data.path() + QStringLiteral("/tapi")));
        QFile file(TapiLinesFile());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(text);
    }
    void LinkCom(const QString& name, const QString& target) {
        ASSERT_TRUE(QDir().mkpath(data.path() + QStringLiteral("/com")));
        ASSERT_TRUE(QFile::link(target, data.path() + QStringLiteral("/com/") + name));
    }
    std::string NameOf(HLINEAPP app, DWORD device) {
        TBuffer<LINEDEVCAPS> caps(1024);
        EXPECT_EQ(lineGetDevCaps(app, device, TapiApiVersion14, 0, caps.get()), 0);
        return caps.Bytes(caps->dwLineNameOffset, caps->dwLineNameSize - 1);
    }
    std::string PortNameOf(HLINE line) {
        TBuffer<VARSTRING> id(256);
        EXPECT_EQ(lineGetID(line, 0, 0, LINECALLSELECT_LINE, id.get(), "comm/datamodem/portname"), 0);
        return id.Bytes(id->dwStringOffset, id->dwStringSize);
    }
};

// ---- Binding by name

const char* const LineFunctions[] = {
    "lineGenerateTone",
    "lineMonitorTones",
    "lineSetCallParams",
    "lineHandoff",
    "lineMonitorMedia",
    "lineGenerateDigits",
    "lineMonitorDigits",
    "lineInitialize",
    "lineShutdown",
    "lineNegotiateAPIVersion",
    "lineGetDevCaps",
    "lineOpen",
    "lineMakeCall",
    "lineAccept",
    "lineAnswer",
    "lineDeallocateCall",
    "lineDrop",
    "lineClose",
    "lineGetCountry",
    "lineConfigDialog",
    "lineConfigDialogEdit",
    "lineGetID",
    "lineSetStatusMessages",
    "lineGetStatusMessages",
    "lineGetAddressCaps",
    "lineGetAddressStatus",
    "lineGetLineDevStatus",
    "lineGetDevConfig",
    "lineSetDevConfig",
    "lineGetCallInfo",
    "lineGetCallStatus",
    "lineSetMediaMode",
    "lineTranslateAddress",
    "lineTranslateDialog",
    "lineSetCurrentLocation",
    "lineSetTollList",
    "lineGetTranslateCaps",
    "lineHold",
    "lineUnhold",
    "lineBlindTransfer",
};

TEST(TapiBinding, EveryLineFunctionIsFoundByNameInTheTelephonyLibrary) {
    const HMODULE module = LoadLibrary("TAPI32");
    ASSERT_NE(module, 0u);
    EXPECT_EQ(LoadLibrary("tapi32.dll"), module);
    for (const char* name : LineFunctions)
        EXPECT_NE(GetProcAddress(module, name), nullptr) << name;
    EXPECT_EQ(reinterpret_cast<decltype(&lineInitialize)>(GetProcAddress(module, "lineInitialize")),
              &lineInitialize);
    EXPECT_EQ(GetProcAddress(module, "lineinitialize"), nullptr); // entry names match exactly
    EXPECT_EQ(GetProcAddress(module, "lineRedirect"), nullptr);
    EXPECT_EQ(LoadLibrary("TAPI"), 0u);

    EXPECT_TRUE(FreeLibrary(module));
    EXPECT_NE(GetProcAddress(module, "lineOpen"), nullptr); // loaded twice, freed once
    EXPECT_TRUE(FreeLibrary(module));
    EXPECT_EQ(GetProcAddress(module, "lineOpen"), nullptr);
    EXPECT_FALSE(FreeLibrary(module));
}

TEST(TapiBinding, AMachineWithoutTheLibraryFindsNothingUntilItIsThere) {
    UnregisterModule("TAPI32");
    EXPECT_EQ(LoadLibrary("TAPI32"), 0u);
    EXPECT_EQ(LoadLibrary("TAPI32"), 0u);
    RegisterModule("TAPI32", Tapi32Entries());
    const HMODULE module = LoadLibrary("TAPI32");
    EXPECT_NE(module, 0u);
    EXPECT_NE(GetProcAddress(module, "lineMakeCall"), nullptr);
    FreeLibrary(module);
}

TEST(TapiBinding, WhatLinuxCannotOfferAnswersOperationUnavailable) {
    LINETRANSLATECAPS caps{};
    caps.dwTotalSize = sizeof caps;
    LINECOUNTRYLIST countries{};
    countries.dwTotalSize = sizeof countries;
    const std::pair<const char*, std::function<LONG()>> cases[] = {
        {"lineTranslateDialog", [] { return lineTranslateDialog(1, 0, TapiApiVersion14, 0, "123"); }},
        {"lineGetTranslateCaps", [&] { return lineGetTranslateCaps(1, TapiApiVersion14, &caps); }},
        {"lineSetCurrentLocation", [] { return lineSetCurrentLocation(1, 0); }},
        {"lineSetTollList", [] { return lineSetTollList(1, 0, "123", 1); }},
        {"lineGetCountry", [&] { return lineGetCountry(7, TapiApiVersion14, &countries); }},
        {"lineBlindTransfer", [] { return lineBlindTransfer(1, "123", 0); }},
    };
    for (const auto& [name, call] : cases)
        EXPECT_EQ(call(), LINEERR_OPERATIONUNAVAIL) << name;
}

// ---- Versions, handles, structures

TEST_F(TapiScript, VersionNegotiationSettlesOnOnePointFour) {
    tapi.AddLine({"GSM", {}});
    const HLINEAPP app = Initialize();
    struct Case {
        DWORD low, high;
        LONG result;
    };
    const Case cases[] = {
        {0x10004, 0x10004, 0},
        {0x10003, 0x20000, 0},
        {0x00010000, 0x10004, 0},
        {0x10003, 0x10003, LINEERR_INCOMPATIBLEAPIVERSION},
        {0x20000, 0x30000, LINEERR_INCOMPATIBLEAPIVERSION},
        {0x20000, 0x10000, LINEERR_INCOMPATIBLEAPIVERSION},
    };
    for (const Case& c : cases) {
        DWORD version = 0;
        LINEEXTENSIONID ext{1, 2, 3, 4};
        EXPECT_EQ(lineNegotiateAPIVersion(app, 0, c.low, c.high, &version, &ext), c.result)
            << std::hex << c.low;
        if (c.result == 0) {
            EXPECT_EQ(version, TapiApiVersion14);
            EXPECT_EQ(ext.dwExtensionID0 | ext.dwExtensionID1 | ext.dwExtensionID2 | ext.dwExtensionID3, 0u);
        }
    }
    DWORD version = 0;
    LINEEXTENSIONID ext{};
    EXPECT_EQ(lineNegotiateAPIVersion(app, 1, 0x10004, 0x10004, &version, &ext), LINEERR_BADDEVICEID);
    EXPECT_EQ(lineNegotiateAPIVersion(app + 1, 0, 0x10004, 0x10004, &version, &ext), LINEERR_INVALAPPHANDLE);
}

TEST_F(TapiScript, FunctionsRefuseAnotherVersionAndHandlesOfTheWrongKind) {
    tapi.AddLine({"GSM", {}});
    const HLINEAPP app = Initialize();
    TBuffer<LINEDEVCAPS> caps;
    EXPECT_EQ(lineGetDevCaps(app, 0, 0x10003, 0, caps.get()), LINEERR_INCOMPATIBLEAPIVERSION);
    EXPECT_EQ(lineGetDevCaps(app, 0, TapiApiVersion14, 1, caps.get()), LINEERR_INCOMPATIBLEEXTVERSION);
    HLINE line = 0;
    EXPECT_EQ(lineOpen(app, 0, &line, 0x20000, 0, 0, LINECALLPRIVILEGE_NONE, 0, nullptr),
              LINEERR_INCOMPATIBLEAPIVERSION);
    EXPECT_EQ(lineOpen(app, 0, &line, TapiApiVersion14, 0, 0, 0, 0, nullptr), LINEERR_INVALPRIVSELECT);
    EXPECT_EQ(lineOpen(app, 0, &line, TapiApiVersion14, 0, 0, LINECALLPRIVILEGE_OWNER,
                       LINEMEDIAMODE_AUTOMATEDVOICE, nullptr),
              LINEERR_INVALMEDIAMODE); // a data line has no voice
    line = Open(app, 0);
    EXPECT_EQ(lineClose(app), LINEERR_INVALLINEHANDLE);
    EXPECT_EQ(lineDrop(line, nullptr, 0), LINEERR_INVALCALLHANDLE);
    EXPECT_EQ(lineShutdown(line), LINEERR_INVALAPPHANDLE);
    EXPECT_EQ(lineClose(line), 0);
    EXPECT_EQ(lineClose(line), LINEERR_INVALLINEHANDLE);
}

TEST_F(TapiScript, LineCapabilitiesGrowFromTheFixedPartToTheName) {
    tapi.AddLine({"Siemens MC35i GSM", {}});
    const HLINEAPP app = Initialize();
    TBuffer<LINEDEVCAPS> small(239);
    EXPECT_EQ(lineGetDevCaps(app, 0, TapiApiVersion14, 0, small.get()), LINEERR_STRUCTURETOOSMALL);

    TBuffer<LINEDEVCAPS> fixed(240);
    ASSERT_EQ(lineGetDevCaps(app, 0, TapiApiVersion14, 0, fixed.get()), 0);
    EXPECT_EQ(fixed->dwNeededSize, 240u + 18u);
    EXPECT_EQ(fixed->dwUsedSize, 240u);
    EXPECT_EQ(fixed->dwLineNameSize, 0u);
    EXPECT_EQ(fixed->dwMediaModes, LINEMEDIAMODE_DATAMODEM);
    EXPECT_EQ(fixed->dwLineFeatures, LINEFEATURE_MAKECALL);

    TBuffer<LINEDEVCAPS> grown(fixed->dwNeededSize);
    ASSERT_EQ(lineGetDevCaps(app, 0, TapiApiVersion14, 0, grown.get()), 0);
    EXPECT_EQ(grown->dwUsedSize, grown->dwNeededSize);
    EXPECT_EQ(grown->dwLineNameOffset, 240u);
    EXPECT_EQ(grown->dwStringFormat, STRINGFORMAT_ASCII);
    EXPECT_EQ(grown.Bytes(grown->dwLineNameOffset, grown->dwLineNameSize),
              std::string("Siemens MC35i GSM", 18));
}

TEST_F(TapiScript, EveryStructureRefusesLessThanItsFixedPart) {
    tapi.AddLine({"GSM", QStringLiteral("COM1"), LINEMEDIAMODE_DATAMODEM | LINEMEDIAMODE_INTERACTIVEVOICE});
    const HLINEAPP app = Initialize();
    const HLINE line = Open(app, 0, LINECALLPRIVILEGE_NONE);
    HCALL call = 0;
    ASSERT_EQ(MakeCall(line, &call, LINEBEARERMODE_VOICE, "5551234", LINEMEDIAMODE_INTERACTIVEVOICE), 0);
    // Each call fills a buffer of the given size.
    const std::pair<DWORD, std::function<LONG(DWORD)>> cases[] = {
        {240,
         [&](DWORD n) {
             TBuffer<LINEDEVCAPS> b(n);
             return lineGetDevCaps(app, 0, TapiApiVersion14, 0, b.get());
         }},
        {296,
         [&](DWORD n) {
             TBuffer<LINECALLINFO> b(n);
             return lineGetCallInfo(call, b.get());
         }},
        {36,
         [&](DWORD n) {
             TBuffer<LINECALLSTATUS> b(n);
             return lineGetCallStatus(call, b.get());
         }},
        {76,
         [&](DWORD n) {
             TBuffer<LINEDEVSTATUS> b(n);
             return lineGetLineDevStatus(line, b.get());
         }},
        {180,
         [&](DWORD n) {
             TBuffer<LINEADDRESSCAPS> b(n);
             return lineGetAddressCaps(app, 0, 0, TapiApiVersion14, 0, b.get());
         }},
        {64,
         [&](DWORD n) {
             TBuffer<LINEADDRESSSTATUS> b(n);
             return lineGetAddressStatus(line, 0, b.get());
         }},
        {40,
         [&](DWORD n) {
             TBuffer<LINETRANSLATEOUTPUT> b(n);
             return lineTranslateAddress(app, 0, TapiApiVersion14, "123", 0, 0, b.get());
         }},
        {24,
         [&](DWORD n) {
             TBuffer<VARSTRING> b(n);
             return lineGetID(line, 0, 0, LINECALLSELECT_LINE, b.get(), "comm/datamodem/portname");
         }},
    };
    for (const auto& [fixed, fill] : cases) {
        EXPECT_EQ(fill(fixed - 1), LINEERR_STRUCTURETOOSMALL) << fixed;
        EXPECT_EQ(fill(fixed), 0) << fixed;
    }
}

TEST_F(TapiScript, CallInformationCarriesTheNumbersWithTheirTerminators) {
    const DWORD gsm = tapi.AddLine({"GSM", {}, LINEMEDIAMODE_DATAMODEM, LINEFEATURE_MAKECALL, 9600});
    const HLINEAPP app = Initialize();
    const HLINE line = Open(app, gsm, LINECALLPRIVILEGE_NONE);
    HCALL call = 0;
    ASSERT_EQ(MakeCall(line, &call, LINEBEARERMODE_VOICE, "+79001234567"), 0);
    TBuffer<LINECALLINFO> fixed(296);
    ASSERT_EQ(lineGetCallInfo(call, fixed.get()), 0);
    EXPECT_EQ(fixed->dwNeededSize, 296u + 13u);
    EXPECT_EQ(fixed->dwCalledIDSize, 0u);
    TBuffer<LINECALLINFO> info(fixed->dwNeededSize);
    ASSERT_EQ(lineGetCallInfo(call, info.get()), 0);
    EXPECT_EQ(info->hLine, line);
    EXPECT_EQ(info->dwRate, 9600u);
    EXPECT_EQ(info->dwOrigin, LINECALLORIGIN_OUTBOUND);
    EXPECT_EQ(info->dwCalledIDFlags, LINECALLPARTYID_ADDRESS);
    EXPECT_EQ(info.Bytes(info->dwCalledIDOffset, info->dwCalledIDSize), std::string("+79001234567", 13));
    EXPECT_EQ(info->dwCallerIDFlags, LINECALLPARTYID_UNKNOWN);
}

TEST_F(TapiScript, ATranslatedAddressIsTheAddressAsGiven) {
    tapi.AddLine({"GSM", {}});
    const HLINEAPP app = Initialize();
    TBuffer<LINETRANSLATEOUTPUT> fixed(40);
    ASSERT_EQ(lineTranslateAddress(app, 0, TapiApiVersion14, "+7 (495) 1234567", 0,
                                   LINETRANSLATEOPTION_CANCELCALLWAITING, fixed.get()),
              0);
    EXPECT_EQ(fixed->dwNeededSize, 40u + 2 * 17u);
    EXPECT_EQ(fixed->dwDialableStringSize, 0u);
    TBuffer<LINETRANSLATEOUTPUT> out(fixed->dwNeededSize);
    ASSERT_EQ(lineTranslateAddress(app, 0, TapiApiVersion14, "+7 (495) 1234567", 0, 0, out.get()), 0);
    EXPECT_EQ(out.Bytes(out->dwDialableStringOffset, out->dwDialableStringSize),
              std::string("+7 (495) 1234567", 17));
    EXPECT_EQ(out.Bytes(out->dwDisplayableStringOffset, out->dwDisplayableStringSize),
              std::string("+7 (495) 1234567", 17));
    EXPECT_EQ(lineTranslateAddress(app, 0, TapiApiVersion14, "", 0, 0, out.get()), LINEERR_INVALADDRESS);
}

// ---- Calls by script

TEST_F(TapiScript, CallsPlacedOnALineFollowTheirScriptedResults) {
    using S = std::vector<std::pair<DWORD, DWORD>>;
    const S dialling{{LINECALLSTATE_DIALTONE, LINEDIALTONEMODE_NORMAL}, {LINECALLSTATE_DIALING, 0}};
    const auto then = [&](S tail, bool proceeding = true) {
        S all = dialling;
        if (proceeding)
            all.emplace_back(LINECALLSTATE_PROCEEDING, 0);
        all.insert(all.end(), tail.begin(), tail.end());
        return all;
    };
    struct Case {
        const char* name;
        TTapiTestBackEnd::TDialResult result;
        DWORD bearer;
        S states;
    };
    const Case cases[] = {
        {"connected", TTapiTestBackEnd::Connected, LINEBEARERMODE_VOICE,
         then({{LINECALLSTATE_CONNECTED, 0}})},
        {"busy", TTapiTestBackEnd::Busy, LINEBEARERMODE_VOICE,
         then({{LINECALLSTATE_BUSY, LINEBUSYMODE_STATION}})},
        {"no answer", TTapiTestBackEnd::NoAnswer, LINEBEARERMODE_VOICE,
         then({{LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_NOANSWER}})},
        {"early disconnect", TTapiTestBackEnd::Disconnected, LINEBEARERMODE_VOICE,
         then({{LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_UNAVAIL}}, false)},
        {"pass-through early disconnect",
         TTapiTestBackEnd::Disconnected,
         LINEBEARERMODE_PASSTHROUGH,
         {{LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_UNAVAIL}}},
    };
    TPty pty;
    const DWORD gsm = tapi.AddLine({"GSM", pty.Slave()});
    const HLINEAPP app = Initialize();
    for (const Case& c : cases) {
        received.clear();
        const HLINE line = Open(app, gsm, LINECALLPRIVILEGE_NONE);
        tapi.QueueDialResult(gsm, c.result);
        HCALL call = 0;
        ASSERT_EQ(MakeCall(line, &call, c.bearer, "5551234"), 0) << c.name;
        PumpUntil([&] { return StatesOf(call).size() >= c.states.size(); });
        EXPECT_EQ(StatesOf(call), c.states) << c.name;
        EXPECT_EQ(lineClose(line), 0);
    }
    EXPECT_EQ(tapi.DialledNumbers(gsm).size(), std::size(cases));
    EXPECT_EQ(tapi.DialledNumbers(gsm).front(), "5551234");
}

TEST_F(TapiScript, ARequestFailsAtOnceLaterOrIsNeverAnswered) {
    enum Kind { AtOnce, Later, Never };
    struct Case {
        const char* name;
        Kind kind;
    };
    const Case cases[] = {{"synchronous", AtOnce}, {"asynchronous", Later}, {"no reply", Never}};
    const DWORD gsm = tapi.AddLine({"GSM", {}});
    const HLINEAPP app = Initialize();
    for (const Case& c : cases) {
        received.clear();
        const HLINE line = Open(app, gsm, LINECALLPRIVILEGE_NONE);
        if (c.kind == AtOnce)
            tapi.FailNext("lineMakeCall", LINEERR_RESOURCEUNAVAIL);
        else if (c.kind == Later)
            tapi.FailNextReply("lineMakeCall", LINEERR_CALLUNAVAIL);
        else
            tapi.WithholdNextReply("lineMakeCall");
        const LINECALLPARAMS params = CallParams(LINEBEARERMODE_PASSTHROUGH);
        HCALL call = 0;
        const LONG request = lineMakeCall(line, &call, "", 0, &params);
        if (c.kind == AtOnce) {
            EXPECT_EQ(request, LINEERR_RESOURCEUNAVAIL) << c.name;
            EXPECT_EQ(call, 0u);
        } else if (c.kind == Later) {
            ASSERT_GT(request, 0) << c.name;
            EXPECT_EQ(WaitForReply(request), LINEERR_CALLUNAVAIL);
            EXPECT_EQ(tapi.CallState(call), LINECALLSTATE_IDLE); // never placed: freed at once
            EXPECT_EQ(lineDeallocateCall(call), 0);
        } else {
            ASSERT_GT(request, 0) << c.name;
            PumpFor(30);
            EXPECT_EQ(Count(LINE_REPLY), 0);
            const LONG drop = lineDrop(call, nullptr, 0); // the application gives up on it
            ASSERT_GT(drop, 0);
            EXPECT_EQ(WaitForReply(drop), 0);
            EXPECT_EQ(lineDeallocateCall(call), 0);
        }
        PumpFor(10);
        EXPECT_EQ(StatesOf(call).size(), c.kind == Never ? 1u : 0u) << c.name; // the drop's IDLE only
        EXPECT_EQ(lineClose(line), 0);
    }
}

TEST_F(TapiScript, RepliesAndStatesComeLaterFromTheMainLoopOneAtATime) {
    const DWORD gsm = tapi.AddLine({"GSM", {}});
    const HLINEAPP app = Initialize();
    const HLINE line = Open(app, gsm, LINECALLPRIVILEGE_NONE, 0, 0xC0FFEE);
    HCALL call = 0;
    // On CONNECTED the application hangs up from inside its callback.
    LONG drop = 0;
    onReceived = [&](const TReceived& r) {
        if (r.Message == LINE_CALLSTATE && r.Param1 == LINECALLSTATE_CONNECTED)
            drop = lineDrop(call, nullptr, 0);
    };
    const LINECALLPARAMS params = CallParams(LINEBEARERMODE_VOICE);
    const LONG request = lineMakeCall(line, &call, "123", 0, &params);
    ASSERT_GT(request, 0);
    EXPECT_TRUE(received.empty()); // nothing inside the call that caused it
    ASSERT_NE(WaitFor(LINE_CALLSTATE, LINECALLSTATE_IDLE), nullptr);

    ASSERT_GT(drop, 0);
    EXPECT_EQ(received.front().Message, LINE_REPLY);
    EXPECT_EQ(received.front().Param1, DWORD_PTR(request));
    EXPECT_EQ(received.front().Instance, 0xC0FFEEu);
    EXPECT_EQ(received.back().Param1, LINECALLSTATE_IDLE);
    for (const TReceived& r : received) {
        EXPECT_TRUE(r.OnMainThread);
        EXPECT_EQ(r.Depth, 1); // the drop's reply and IDLE did not come inside the CONNECTED callback
    }
    const auto connected = std::find_if(received.begin(), received.end(), [](const TReceived& r) {
        return r.Message == LINE_CALLSTATE && r.Param1 == LINECALLSTATE_CONNECTED;
    });
    const auto dropped = std::find_if(received.begin(), received.end(), [&](const TReceived& r) {
        return r.Message == LINE_REPLY && r.Param1 == DWORD_PTR(drop);
    });
    EXPECT_LT(connected, dropped);
}

TEST_F(TapiScript, ARingingCallIsOfferedOnceAndAnsweredOnAnyRing) {
    TPty pty;
    const DWORD gsm = tapi.AddLine({"GSM", pty.Slave()});
    const HLINEAPP app = Initialize();
    const HLINE line = Open(app, gsm);
    const HCALL call = tapi.Ring(gsm, {"+79001234567", "Office"});
    ASSERT_NE(call, 0u);
    EXPECT_EQ(tapi.Ring(gsm, {"+79001234567", "Office"}), call);
    EXPECT_EQ(tapi.Ring(gsm, {"+79001234567", "Office"}), call);
    EXPECT_TRUE(received.empty());
    PumpUntil([&] { return Count(LINE_LINEDEVSTATE) == 3; });

    EXPECT_EQ(StatesOf(call), (std::vector<std::pair<DWORD, DWORD>>{{LINECALLSTATE_OFFERING, 0}}));
    EXPECT_EQ(received.front().Param3, LINECALLPRIVILEGE_OWNER);
    EXPECT_EQ(Count(LINE_CALLINFO), 1);
    std::vector<DWORD_PTR> rings;
    for (const TReceived& r : received)
        if (r.Message == LINE_LINEDEVSTATE) {
            EXPECT_EQ(r.Device, line);
            EXPECT_EQ(r.Param1, LINEDEVSTATE_RINGING);
            rings.push_back(r.Param3);
        }
    EXPECT_EQ(rings, (std::vector<DWORD_PTR>{0, 1, 2}));

    const LONG answer = lineAnswer(call, nullptr, 0);
    ASSERT_GT(answer, 0);
    EXPECT_EQ(WaitForReply(answer), 0);
    ASSERT_NE(WaitFor(LINE_CALLSTATE, LINECALLSTATE_CONNECTED), nullptr);
    TBuffer<VARSTRING> id(64);
    ASSERT_EQ(lineGetID(0, 0, call, LINECALLSELECT_CALL, id.get(), "comm/datamodem"), 0);
    const int fd = DescriptorIn(id);
    Write(pty.Master(), "RING\r\n");
    EXPECT_EQ(Read(fd, 6), "RING\r\n");
    ::close(fd);
}

TEST_F(TapiScript, CallerIdentificationFollowsWhatTheNetworkTells) {
    struct Case {
        TTapiTestBackEnd::TCaller caller;
        DWORD flags;
        std::string number, name;
    };
    const Case cases[] = {
        {{"+79001234567", "Office"},
         LINECALLPARTYID_ADDRESS | LINECALLPARTYID_NAME,
         {"+79001234567", 13},
         {"Office", 7}},
        {{"+79001234567", ""}, LINECALLPARTYID_ADDRESS, {"+79001234567", 13}, ""},
        {{"", ""}, LINECALLPARTYID_UNKNOWN, "", ""},
        {{"", "", LINECALLPARTYID_BLOCKED}, LINECALLPARTYID_BLOCKED, "", ""},
        {{"12345", "Out", LINECALLPARTYID_OUTOFAREA}, LINECALLPARTYID_OUTOFAREA, "", ""},
    };
    const DWORD gsm = tapi.AddLine({"GSM", {}});
    const HLINEAPP app = Initialize();
    for (const Case& c : cases) {
        const HLINE line = Open(app, gsm);
        const HCALL call = tapi.Ring(gsm, c.caller);
        TBuffer<LINECALLINFO> info(1024);
        ASSERT_EQ(lineGetCallInfo(call, info.get()), 0);
        EXPECT_EQ(info->dwOrigin, LINECALLORIGIN_EXTERNAL);
        EXPECT_EQ(info->dwCallerIDFlags, c.flags) << c.caller.Number;
        EXPECT_EQ(info.Bytes(info->dwCallerIDOffset, info->dwCallerIDSize), c.number);
        EXPECT_EQ(info.Bytes(info->dwCallerIDNameOffset, info->dwCallerIDNameSize), c.name);
        EXPECT_EQ(lineClose(line), 0);
    }
}

TEST_F(TapiScript, ARingWithoutAnOwnerOffersNothingButStillRings) {
    const DWORD gsm = tapi.AddLine({"GSM", {}});
    const HLINEAPP app = Initialize();
    const HLINE monitor = Open(app, gsm, LINECALLPRIVILEGE_MONITOR);
    EXPECT_EQ(tapi.Ring(gsm), 0u);
    ASSERT_NE(WaitFor(LINE_LINEDEVSTATE), nullptr);
    EXPECT_EQ(received.front().Device, monitor);
    EXPECT_EQ(Count(LINE_CALLSTATE), 0);
}

TEST_F(TapiScript, DigitsAreHeardWhileMonitoredAndSentOnVoiceLinesOnly) {
    const DWORD voice = tapi.AddLine({"Voice", {}, LINEMEDIAMODE_AUTOMATEDVOICE | LINEMEDIAMODE_DATAMODEM});
    const DWORD data = tapi.AddLine({"Data", {}});
    const HLINEAPP app = Initialize();
    Open(app, voice, LINECALLPRIVILEGE_OWNER, LINEMEDIAMODE_AUTOMATEDVOICE);
    const HCALL call = tapi.Ring(voice, {"1", "", 0, LINEMEDIAMODE_AUTOMATEDVOICE});
    ASSERT_EQ(WaitForReply(lineAnswer(call, nullptr, 0)), 0);
    tapi.Digit(call, '4'); // not monitored yet
    ASSERT_EQ(lineMonitorDigits(call, LINEDIGITMODE_DTMF), 0);
    tapi.Digit(call, '5');
    const TReceived* digit = WaitFor(LINE_MONITORDIGITS);
    ASSERT_NE(digit, nullptr);
    EXPECT_EQ(digit->Param1, DWORD_PTR('5'));
    EXPECT_EQ(digit->Param2, LINEDIGITMODE_DTMF);
    EXPECT_EQ(Count(LINE_MONITORDIGITS), 1);

    EXPECT_EQ(lineGenerateDigits(call, LINEDIGITMODE_DTMF, "12#", 100), 0);
    EXPECT_EQ(lineGenerateDigits(call, LINEDIGITMODE_DTMF, "1x", 100), LINEERR_INVALDIGITS);
    EXPECT_EQ(lineGenerateTone(call, 1, 100, 0, nullptr), 0);
    EXPECT_EQ(tapi.GeneratedDigits(call), "12#");
    EXPECT_EQ(tapi.GeneratedTones(call), 1);
    PumpUntil([&] { return Count(LINE_GENERATE) == 2; });
    EXPECT_EQ(Count(LINE_GENERATE), 2);

    Open(app, data);
    const HCALL dataCall = tapi.Ring(data);
    EXPECT_EQ(lineMonitorDigits(dataCall, LINEDIGITMODE_DTMF), LINEERR_OPERATIONUNAVAIL);
    EXPECT_EQ(lineGenerateDigits(dataCall, LINEDIGITMODE_DTMF, "1", 100), LINEERR_OPERATIONUNAVAIL);
}

TEST_F(TapiScript, MonitoredTonesAreHeardByTheirEntry) {
    const DWORD voice = tapi.AddLine({"Voice", {}, LINEMEDIAMODE_AUTOMATEDVOICE});
    const HLINEAPP app = Initialize();
    Open(app, voice, LINECALLPRIVILEGE_OWNER, LINEMEDIAMODE_AUTOMATEDVOICE);
    const HCALL call = tapi.Ring(voice, {"1", "", 0, LINEMEDIAMODE_AUTOMATEDVOICE});
    ASSERT_EQ(WaitForReply(lineAnswer(call, nullptr, 0)), 0);
    tapi.Tone(call, 0); // nothing monitored yet
    const LINEMONITORTONE tones[2] = {{0xA1, 500, 440, 0, 0}, {0xB2, 500, 1100, 0, 0}};
    ASSERT_EQ(lineMonitorTones(call, tones, 2), 0);
    tapi.Tone(call, 1);
    tapi.Tone(call, 2); // no such entry
    const TReceived* tone = WaitFor(LINE_MONITORTONE);
    ASSERT_NE(tone, nullptr);
    EXPECT_EQ(tone->Param1, 0xB2u);
    ASSERT_EQ(lineMonitorTones(call, nullptr, 0), 0); // monitoring ends
    tapi.Tone(call, 0);
    PumpFor(20);
    EXPECT_EQ(Count(LINE_MONITORTONE), 1);
}

TEST_F(TapiScript, ALineWithWaveDevicesHandsOutTheirIdentifiersAndRecordsItsDialling) {
    const DWORD voice = tapi.AddLine(
        {.Name = "Voice", .MediaModes = LINEMEDIAMODE_AUTOMATEDVOICE, .WaveIn = 3, .WaveOut = 5});
    const DWORD half =
        tapi.AddLine({.Name = "Half", .MediaModes = LINEMEDIAMODE_AUTOMATEDVOICE, .WaveOut = 0});
    const HLINEAPP app = Initialize();
    const HLINE line = Open(app, voice, LINECALLPRIVILEGE_NONE, LINEMEDIAMODE_AUTOMATEDVOICE);
    HCALL call = 0;
    ASSERT_EQ(MakeCall(line, &call, LINEBEARERMODE_VOICE, "42", LINEMEDIAMODE_AUTOMATEDVOICE), 0);
    TBuffer<VARSTRING> id(64);
    for (const auto& [deviceClass, expected] : {std::pair{"wave/in", 3u}, std::pair{"wave/out", 5u}}) {
        for (const DWORD select : {LINECALLSELECT_LINE, LINECALLSELECT_CALL}) {
            ASSERT_EQ(lineGetID(line, 0, call, select, id.get(), deviceClass), 0) << deviceClass;
            EXPECT_EQ(id->dwStringFormat, STRINGFORMAT_BINARY);
            ASSERT_EQ(id->dwStringSize, 4u);
            EXPECT_EQ(id.Bytes(id->dwStringOffset, 4),
                      std::string(reinterpret_cast<const char*>(&expected), 4));
        }
    }
    const HLINE halfLine = Open(app, half, LINECALLPRIVILEGE_NONE, LINEMEDIAMODE_AUTOMATEDVOICE);
    EXPECT_EQ(lineGetID(halfLine, 0, 0, LINECALLSELECT_LINE, id.get(), "wave/in"), LINEERR_NODEVICE);
    EXPECT_EQ(lineGetID(halfLine, 0, 0, LINECALLSELECT_LINE, id.get(), "wave/out"), 0);
    EXPECT_EQ(tapi.DialledNumbers(voice), std::vector<std::string>{"42"});
    EXPECT_EQ(tapi.DialledBearerModes(voice), std::vector<DWORD>{LINEBEARERMODE_VOICE});
}

TEST_F(TapiScript, TheFarEndHangsUpAndTheCallIsDroppedToIdle) {
    const DWORD gsm = tapi.AddLine({"GSM", {}});
    const HLINEAPP app = Initialize();
    const HLINE line = Open(app, gsm, LINECALLPRIVILEGE_NONE);
    HCALL call = 0;
    ASSERT_EQ(MakeCall(line, &call, LINEBEARERMODE_VOICE, "1"), 0);
    EXPECT_EQ(lineDeallocateCall(call), LINEERR_INVALCALLSTATE); // still connected
    tapi.Disconnect(call, LINEDISCONNECTMODE_NORMAL);
    ASSERT_NE(WaitFor(LINE_CALLSTATE, LINECALLSTATE_DISCONNECTED), nullptr);
    EXPECT_EQ(StatesOf(call).back().second, LINEDISCONNECTMODE_NORMAL);
    EXPECT_EQ(WaitForReply(lineDrop(call, nullptr, 0)), 0);
    ASSERT_NE(WaitFor(LINE_CALLSTATE, LINECALLSTATE_IDLE), nullptr);
    EXPECT_EQ(lineDrop(call, nullptr, 0), LINEERR_INVALCALLSTATE);
    EXPECT_EQ(lineDeallocateCall(call), 0);
    EXPECT_EQ(tapi.CallState(call), std::nullopt);
}

TEST_F(TapiScript, AFailedHandleLookUpHandsOutNoDescriptor) {
    TPty pty;
    const DWORD gsm = tapi.AddLine({"GSM", pty.Slave()});
    const HLINEAPP app = Initialize();
    const HLINE line = Open(app, gsm, LINECALLPRIVILEGE_NONE);
    HCALL call = 0;
    ASSERT_EQ(MakeCall(line, &call, LINEBEARERMODE_PASSTHROUGH), 0);
    const std::set<QString> before = OpenDescriptors();
    tapi.FailNext("lineGetID", LINEERR_OPERATIONFAILED);
    TBuffer<VARSTRING> id(64);
    EXPECT_EQ(lineGetID(line, 0, call, LINECALLSELECT_CALL, id.get(), "comm/datamodem"),
              LINEERR_OPERATIONFAILED);
    TBuffer<VARSTRING> small(27); // no room for the handle and the name
    EXPECT_EQ(lineGetID(line, 0, call, LINECALLSELECT_CALL, small.get(), "comm/datamodem"), 0);
    EXPECT_EQ(small->dwStringSize, 0u);
    EXPECT_EQ(small->dwNeededSize, 24u + 4u + 4u);
    EXPECT_EQ(OpenDescriptors(), before);

    ASSERT_EQ(lineGetID(line, 0, call, LINECALLSELECT_CALL, id.get(), "comm/datamodem"), 0); // the next works
    EXPECT_EQ(id->dwStringFormat, STRINGFORMAT_BINARY);
    EXPECT_EQ(id.Bytes(id->dwStringOffset + 4, id->dwStringSize - 4), std::string("GSM", 4));
    ::close(DescriptorIn(id));
}

TEST_F(TapiScript, WaveDevicesAreNoneAndThePortNameIsTheDeviceAsWritten) {
    const DWORD gsm = tapi.AddLine({"GSM", QStringLiteral("COM3")});
    const DWORD voice = tapi.AddLine({"Voice", {}, LINEMEDIAMODE_AUTOMATEDVOICE});
    const HLINEAPP app = Initialize();
    const HLINE line = Open(app, gsm);
    TBuffer<VARSTRING> id(64);
    EXPECT_EQ(lineGetID(line, 0, 0, LINECALLSELECT_LINE, id.get(), "wave/in"), LINEERR_NODEVICE);
    EXPECT_EQ(lineGetID(line, 0, 0, LINECALLSELECT_LINE, id.get(), "wave/out"), LINEERR_NODEVICE);
    EXPECT_EQ(lineGetID(line, 0, 0, LINECALLSELECT_LINE, id.get(), "tapi/phone"), LINEERR_INVALDEVICECLASS);
    EXPECT_EQ(lineGetID(line, 0, 0, LINECALLSELECT_LINE, id.get(), "comm/datamodem"), LINEERR_INVALCALLSTATE);
    ASSERT_EQ(lineGetID(line, 0, 0, LINECALLSELECT_LINE, id.get(), "COMM/DATAMODEM/PORTNAME"), 0);
    EXPECT_EQ(id->dwStringFormat, STRINGFORMAT_ASCII);
    EXPECT_EQ(id.Bytes(id->dwStringOffset, id->dwStringSize), std::string("COM3", 5));
    const HLINE voiceLine = Open(app, voice, LINECALLPRIVILEGE_OWNER, LINEMEDIAMODE_AUTOMATEDVOICE);
    EXPECT_EQ(lineGetID(voiceLine, 0, 0, LINECALLSELECT_LINE, id.get(), "wave/out"), LINEERR_NODEVICE);
    EXPECT_EQ(lineGetID(voiceLine, 0, 0, LINECALLSELECT_LINE, id.get(), "comm/datamodem/portname"),
              LINEERR_NODEVICE);
}

TEST_F(TapiScript, ReinitReachesEveryApplicationAndAClosedLineTellsItsOpener) {
    const DWORD gsm = tapi.AddLine({"GSM", {}});
    const HLINEAPP first = Initialize();
    Initialize();
    const HLINE line = Open(first, gsm, LINECALLPRIVILEGE_OWNER, LINEMEDIAMODE_DATAMODEM, 0xAB);
    tapi.SendLineDevState(gsm, LINEDEVSTATE_REINIT);
    tapi.SendLineDevState(gsm, LINEDEVSTATE_OUTOFSERVICE);
    tapi.CloseLine(gsm);
    EXPECT_EQ(lineClose(line), LINEERR_INVALLINEHANDLE); // gone at once
    ASSERT_NE(WaitFor(LINE_CLOSE), nullptr);
    PumpFor(10);
    ASSERT_EQ(received.size(), 3u); // the out-of-service state went with the line
    EXPECT_EQ(received[0].Param1, LINEDEVSTATE_REINIT);
    EXPECT_EQ(received[0].Instance, 0xABu); // the application's component, by its open line
    EXPECT_EQ(received[1].Param1, LINEDEVSTATE_REINIT);
    EXPECT_EQ(received[1].Instance, 0u); // one with no line open has none
    EXPECT_EQ(received[2].Message, LINE_CLOSE);
    EXPECT_EQ(received[2].Device, line);
    EXPECT_EQ(received[2].Instance, 0xABu);
}

TEST_F(TapiScript, ANewLineIsBroadcastToEveryTapiDeviceWindow) {
    std::vector<std::tuple<int, unsigned, WPARAM, LPARAM>> posted;
    const auto window = [&](int which) {
        return std::make_unique<TMessageWindow>([&posted, which](unsigned m, WPARAM w, LPARAM l) {
            posted.emplace_back(which, m, w, l);
            return LRESULT(0);
        });
    };
    const auto first = window(1), second = window(2), other = window(3);
    RegisterTapiDeviceWindow(first->Handle());
    RegisterTapiDeviceWindow(second->Handle());
    // The component's callback on LINE_CREATE.
    onReceived = [](const TReceived& r) {
        if (r.Message == LINE_CREATE)
            BroadcastTapiNewLine(DWORD(r.Param1));
    };
    tapi.AddLine({"GSM", {}});
    DWORD count = 0;
    Initialize(&count);
    EXPECT_EQ(count, 1u);
    const DWORD added = tapi.AddLine({"Second", {}});
    EXPECT_EQ(added, 1u);
    EXPECT_TRUE(PumpUntil([&] { return posted.size() == 2; }));
    PumpFor(10);
    UnregisterTapiDeviceWindow(first->Handle());
    UnregisterTapiDeviceWindow(second->Handle());
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].Message, LINE_CREATE);
    EXPECT_EQ(received[0].Instance, 0u);
    ASSERT_EQ(posted.size(), 2u);
    for (const auto& [which, message, wParam, lParam] : posted) {
        EXPECT_NE(which, 3);
        EXPECT_EQ(message, 0x7EB5u);
        EXPECT_EQ(wParam, 4u);
        EXPECT_EQ(lParam, LPARAM(added));
    }
}

TEST_F(TapiScript, ShuttingDownEndsCallsAndDeliversNothingMore) {
    TPty pty;
    const DWORD gsm = tapi.AddLine({"GSM", pty.Slave()});
    const std::set<QString> before = OpenDescriptors();
    const HLINEAPP app = Initialize();
    const HLINE line = Open(app, gsm, LINECALLPRIVILEGE_NONE);
    HCALL call = 0;
    const LINECALLPARAMS params = CallParams(LINEBEARERMODE_PASSTHROUGH);
    ASSERT_GT(lineMakeCall(line, &call, "", 0, &params), 0);
    EXPECT_NE(OpenDescriptors(), before); // the call holds the device
    EXPECT_EQ(lineShutdown(app), 0);
    apps.clear();
    PumpFor(20);
    EXPECT_TRUE(received.empty());
    EXPECT_EQ(tapi.CallState(call), std::nullopt);
    EXPECT_EQ(OpenDescriptors(), before);
}

TEST_F(TapiScript, ScriptingAFunctionThatDoesNotExistIsRefused) {
    EXPECT_THROW(tapi.FailNext("lineMakeCal", LINEERR_NOMEM), std::invalid_argument);
    EXPECT_THROW(tapi.WithholdNextReply("tuLineDrop"), std::invalid_argument);
    EXPECT_THROW(TTapiTestBackEnd second, std::logic_error);
}

// ---- Lines from the file

TEST_F(TapiLines, NoFileOrNoLinesMeansNoDevicesAndNothingToSay) {
    const std::optional<QByteArray> files[] = {std::nullopt, QByteArray(), QByteArray("\n  \r\n\n")};
    for (const auto& file : files) {
        if (file)
            WriteLines(*file);
        testing::internal::CaptureStderr();
        DWORD count = 99;
        const HLINEAPP app = Initialize(&count);
        EXPECT_EQ(count, 0u);
        DWORD version = 0;
        LINEEXTENSIONID ext{};
        EXPECT_EQ(lineNegotiateAPIVersion(app, 0, 0x10004, 0x10004, &version, &ext), LINEERR_BADDEVICEID);
        EXPECT_EQ(lineShutdown(app), 0);
        apps.clear();
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    }
}

TEST_F(TapiLines, BadLinesAreReportedAndTheOthersListedInOrder) {
    WriteLines("GSM=/dev/ttyUSB0\n"
               "no equals sign\n"
               "=/dev/ttyS0\n"
               "Empty=\n"
               "Relative=dev/ttyS0\n"
               "GSM=/dev/ttyUSB1\n"
               "Kitaj=COM0\n"
               "\xd0\x9c\xd0\xbe\xd0\xb4\xd0\xb5\xd0\xbc = com3 \r\n"
               "\xe4\xb8\xad=/dev/ttyS1\n"
               "Spare=a=b\n");
    testing::internal::CaptureStderr();
    DWORD count = 0;
    const HLINEAPP app = Initialize(&count);
    const std::string errors = testing::internal::GetCapturedStderr();
    ASSERT_EQ(count, 2u);
    EXPECT_EQ(NameOf(app, 0), "GSM");
    EXPECT_EQ(NameOf(app, 1), "\xcc\xee\xe4\xe5\xec"); // "Модем" in Windows-1251
    const HLINE line = Open(app, 1);
    EXPECT_EQ(PortNameOf(line), std::string("COM3", 5));
    const QString file = TapiLinesFile();
    for (int bad : {2, 3, 4, 5, 6, 7, 9, 10})
        EXPECT_NE(errors.find(QStringLiteral("%1:%2: ").arg(file).arg(bad).toStdString()), std::string::npos)
            << bad;
    EXPECT_EQ(errors.find(QStringLiteral("%1:1: ").arg(file).toStdString()), std::string::npos);
    EXPECT_EQ(errors.find(QStringLiteral("%1:8: ").arg(file).toStdString()), std::string::npos);
}

TEST_F(TapiLines, ALineHoldingANulIsRefused) {
    // The name would be cut at the NUL for the line's users, and the path would open another device.
    static const char lines[] = "Spare\0GSM=COM3\nGSM=/dev/ttyS0\0USB0\nGood=COM4\n";
    WriteLines(QByteArray(lines, sizeof lines - 1));
    testing::internal::CaptureStderr();
    DWORD count = 0;
    const HLINEAPP app = Initialize(&count);
    const std::string errors = testing::internal::GetCapturedStderr();
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(NameOf(app, 0), "Good");
    for (int bad : {1, 2})
        EXPECT_NE(
            errors.find(
                QStringLiteral("%1:%2: the line holds a NUL").arg(TapiLinesFile()).arg(bad).toStdString()),
            std::string::npos)
            << bad;
}

// A pipe or a device in the file's place is never waited on or read, nor is a file over the cap: there
// are no lines, and standard error says why.
TEST_F(TapiLines, OnlyARegularFileOfAtMostTheCapIsRead) {
    ASSERT_TRUE(QDir().mkpath(data.path() + QStringLiteral("/tapi")));
    const std::string path = TapiLinesFile().toStdString();
    const TFifoWatch fifo(data.path().toStdString() + "/tapi/pipe");
    ASSERT_TRUE(fifo.Made());
    for (const TOddFile& odd : OddFiles(path, "pipe", MaxTapiLinesFileSize)) {
        SCOPED_TRACE(odd.Name);
        odd.Make();
        testing::internal::CaptureStderr();
        DWORD count = 99;
        const HLINEAPP app = Initialize(&count);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  path + ": " + odd.Problem + "; no telephony lines\n");
        EXPECT_EQ(count, 0u);
        EXPECT_EQ(lineShutdown(app), 0);
        apps.clear();
        ASSERT_TRUE(QFile::remove(TapiLinesFile()));
    }
    EXPECT_FALSE(fifo.Released()) << "the open waited for a writer";
}

// The lines' configurations beside them are read the same way, and a file that cannot be read is kept
// rather than replaced by one holding only the saved line.
TEST_F(TapiLines, OnlyARegularConfigurationFileOfAtMostTheCapIsReadAndNoOtherIsReplaced) {
    ASSERT_TRUE(QDir().mkpath(data.path() + QStringLiteral("/tapi")));
    const std::string path = TapiDevConfigFile().toStdString();
    const TFifoWatch fifo(data.path().toStdString() + "/tapi/pipe");
    ASSERT_TRUE(fifo.Made());
    for (const TOddFile& odd : OddFiles(path, "pipe", 64 * 1024)) {
        SCOPED_TRACE(odd.Name);
        odd.Make();
        const std::string before = WhatIsAt(path);
        testing::internal::CaptureStderr();
        EXPECT_TRUE(ReadTapiDevConfigs().empty());
        EXPECT_FALSE(WriteTapiDevConfig("GSM", TTapiDevConfig{}));
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  path + ": " + odd.Problem + "; the line configurations are not used\n" + path + ": " +
                      odd.Problem + "; the configuration of the line \"GSM\" is not saved\n");
        EXPECT_EQ(WhatIsAt(path), before);
        ASSERT_TRUE(QFile::remove(TapiDevConfigFile()));
    }
    EXPECT_FALSE(fifo.Released()) << "the open waited for a writer";
}

TEST_F(TapiLines, AConfigurationFileBehindALinkIsSavedThroughItAndTheLinkKept) {
    ASSERT_TRUE(QDir().mkpath(data.path() + QStringLiteral("/tapi")));
    const QString target = data.path() + QStringLiteral("/devconfig elsewhere");
    {
        QFile file(target);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("Other=9600,8,N,1,none\n");
    }
    ASSERT_TRUE(QFile::link(QStringLiteral("../devconfig elsewhere"), TapiDevConfigFile()));
    TTapiDevConfig config;
    config.dwBaudRate = 19200;
    ASSERT_TRUE(WriteTapiDevConfig("GSM", config));
    EXPECT_EQ(WhatIsAt(TapiDevConfigFile().toStdString()), "link to ../devconfig elsewhere");
    QFile file(target);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), "Other=9600,8,N,1,none\nGSM=19200,8,N,1,none\n");
    const std::map<QString, TTapiDevConfig> configs = ReadTapiDevConfigs();
    ASSERT_EQ(configs.count(QStringLiteral("GSM")), 1u);
    EXPECT_EQ(configs.at(QStringLiteral("GSM")), config);
}

TEST_F(TapiLines, EachNameIsListedOnceInTheOrderOfItsFirstLine) {
    QByteArray text;
    for (int i = 0; i < 2000; ++i)
        text += "Line " + QByteArray::number(i) + "=/dev/ttyS" + QByteArray::number(i % 4) + "\n";
    for (int i = 1999; i >= 0; i -= 2)
        text += "Line " + QByteArray::number(i) + "=/dev/ttyUSB0\n";
    WriteLines(text);
    testing::internal::CaptureStderr();
    DWORD count = 0;
    const HLINEAPP app = Initialize(&count);
    const std::string errors = testing::internal::GetCapturedStderr();
    ASSERT_EQ(count, 2000u);
    for (DWORD i = 0; i < count; ++i)
        ASSERT_EQ(NameOf(app, i), "Line " + std::to_string(i));
    EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1000);
    EXPECT_NE(errors.find(QStringLiteral("%1:2001: a line of this name is listed above")
                              .arg(TapiLinesFile())
                              .toStdString()),
              std::string::npos);
}

TEST_F(TapiLines, ComNamesResolveThroughTheComFolder) {
    LinkCom(QStringLiteral("COM3"), QStringLiteral("/dev/ttyUSB0"));
    LinkCom(QStringLiteral("COM4"), data.path() + QStringLiteral("/gone")); // a device unplugged
    const std::pair<QString, QString> cases[] = {
        {QStringLiteral("COM3"), data.path() + QStringLiteral("/com/COM3")},
        {QStringLiteral("COM4"), data.path() + QStringLiteral("/com/COM4")},
        {QStringLiteral("COM12"), QStringLiteral("/dev/ttyS11")},
        {QStringLiteral("/dev/ttyACM0"), QStringLiteral("/dev/ttyACM0")},
    };
    for (const auto& [device, path] : cases)
        EXPECT_EQ(TapiLineDevicePath(device), path) << device.toStdString();
}

TEST_F(TapiLines, APassThroughCallHandsOutAUsableDescriptorAndLeaksNone) {
    TPty pty;
    LinkCom(QStringLiteral("COM7"), pty.Slave());
    WriteLines("GSM modem=COM7\n");
    const std::set<QString> before = OpenDescriptors();
    for (int round = 0; round < 2; ++round) { // and the device opens again afterwards
        received.clear();
        DWORD count = 0;
        const HLINEAPP app = Initialize(&count);
        ASSERT_EQ(count, 1u);
        const HLINE line = Open(app, 0, LINECALLPRIVILEGE_NONE);
        HCALL call = 0;
        ASSERT_EQ(MakeCall(line, &call, LINEBEARERMODE_PASSTHROUGH), 0);
        ASSERT_NE(WaitFor(LINE_CALLSTATE, LINECALLSTATE_CONNECTED), nullptr);
        EXPECT_EQ(StatesOf(call).size(), 1u);

        TBuffer<VARSTRING> id(64);
        ASSERT_EQ(lineGetID(line, 0, call, LINECALLSELECT_CALL, id.get(), "comm/datamodem"), 0);
        const int fd = DescriptorIn(id);
        TBuffer<VARSTRING> again(64);
        ASSERT_EQ(lineGetID(line, 0, 0, LINECALLSELECT_LINE, again.get(), "comm/datamodem"), 0);
        const int second = DescriptorIn(again);
        EXPECT_NE(fd, second); // a fresh duplicate each time
        ::close(second);
        EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC);
        Write(fd, "AT\r");
        EXPECT_EQ(Read(pty.Master(), 3), "AT\r");
        Write(pty.Master(), "\r\nOK\r\n");
        EXPECT_EQ(Read(fd, 6), "\r\nOK\r\n");
        ::close(fd);

        EXPECT_EQ(WaitForReply(lineDrop(call, nullptr, 0)), 0);
        ASSERT_NE(WaitFor(LINE_CALLSTATE, LINECALLSTATE_IDLE), nullptr);
        EXPECT_EQ(lineDeallocateCall(call), 0);
        EXPECT_EQ(lineClose(line), 0);
        EXPECT_EQ(lineShutdown(app), 0);
        apps.clear();
        EXPECT_EQ(OpenDescriptors(), before);
    }
}

TEST_F(TapiLines, ADeviceMissingOrHeldElsewhereFailsTheCallInItsReply) {
    TPty pty;
    const int held = ::open(pty.Slave().toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0); // another program has the port
    WriteLines("Missing=" + data.path().toLocal8Bit() + "/none\nHeld=" + pty.Slave().toLocal8Bit() + "\n");
    const std::pair<DWORD, LONG> cases[] = {{0, LINEERR_NODEVICE}, {1, LINEERR_RESOURCEUNAVAIL}};
    const HLINEAPP app = Initialize();
    for (const auto& [device, error] : cases) {
        const HLINE line = Open(app, device, LINECALLPRIVILEGE_NONE);
        testing::internal::CaptureStderr();
        HCALL call = 0;
        EXPECT_EQ(MakeCall(line, &call, LINEBEARERMODE_PASSTHROUGH), error) << device;
        const std::string said = testing::internal::GetCapturedStderr();
        EXPECT_NE(said.find(device == 0 ? "/none" : pty.Slave().toStdString()), std::string::npos) << said;
        PumpFor(10);
        EXPECT_TRUE(StatesOf(call).empty());
        EXPECT_EQ(lineDeallocateCall(call), 0); // idle all along
    }
    ::close(held);
}

TEST_F(TapiLines, LinesAddedToTheFileAreFoundByTheNextRegistration) {
    WriteLines("GSM=/dev/ttyUSB0\n");
    DWORD count = 0;
    const HLINEAPP first = Initialize(&count);
    ASSERT_EQ(count, 1u);
    WriteLines("Spare=/dev/ttyUSB1\nGSM=/dev/ttyUSB0\n");
    const HLINEAPP second = Initialize(&count);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(NameOf(second, 0), "GSM"); // identifiers stay while anyone is registered
    EXPECT_EQ(NameOf(second, 1), "Spare");
    const TReceived* created = WaitFor(LINE_CREATE);
    ASSERT_NE(created, nullptr);
    EXPECT_EQ(created->Param1, 1u);
    EXPECT_EQ(Count(LINE_CREATE), 1); // to the application registered before only
    EXPECT_EQ(NameOf(first, 1), "Spare");
}

// ---- A line of the file: its modem, the GSM modem simulator on a pty

TEST(TapiModemResults, TheModemsLinesAreReadAsTheirResults) {
    using R = TModemResult;
    const DWORD named = LINECALLPARTYID_ADDRESS | LINECALLPARTYID_NAME;
    const struct {
        std::string Line;
        R::TKind Kind;
        DWORD Rate = 0;
        TModemCaller Caller = {};
    } cases[] = {
        {"OK", R::Ok},
        {" ok\t", R::Ok},
        {"ERROR", R::Error},
        {"+CME ERROR: 3", R::Error},
        {"CONNECT", R::Connect},
        {"CONNECT 9600", R::Connect, 9600},
        {"CONNECT 14400/RLP", R::Connect, 14400},
        {"CONNECT 99999999999", R::Connect, 999999999}, // no more digits than fit
        {"CONNECTED", R::Other},
        {"NO CARRIER", R::NoCarrier},
        {"BUSY", R::Busy},
        {"NO ANSWER", R::NoAnswer},
        {"NO DIALTONE", R::NoDialtone},
        {"NO DIAL TONE", R::NoDialtone},
        {"RING", R::Ring},
        {"+CRING: VOICE", R::Ring},
        {"ATD123", R::Other},
        {"+CLIP: \"+79001234567\",145,\"\",,\"Office\",0", R::CallerId, 0, {"+79001234567", "Office", named}},
        {"+CLIP: \"84951234567\",129", R::CallerId, 0, {"84951234567", "", LINECALLPARTYID_ADDRESS}},
        {"+CLIP: \"123\",129,\"\",,\"Smith, John\",0", R::CallerId, 0, {"123", "Smith, John", named}},
        {"+CLIP: \"\",128,\"\",,\"\",1", R::CallerId, 0, {"", "", LINECALLPARTYID_BLOCKED}},
        {"+CLIP: \"123\",129,,,\"Name\",2", R::CallerId, 0, {"", "", LINECALLPARTYID_UNAVAIL}},
        {"+CLIP:", R::CallerId, 0, {"", "", LINECALLPARTYID_UNKNOWN}},
        {"+CLIP: \"\x01\xff\"", R::CallerId, 0, {"??", "", LINECALLPARTYID_ADDRESS}},
        {"+CLIP: \"" + std::string(100, '7') + "\"",
         R::CallerId,
         0,
         {std::string(64, '7'), "", LINECALLPARTYID_ADDRESS}},
    };
    for (const auto& c : cases) {
        const R result = ParseModemLine(c.Line);
        EXPECT_EQ(result.Kind, c.Kind) << c.Line;
        EXPECT_EQ(result.Rate, c.Rate) << c.Line;
        EXPECT_EQ(result.Caller, c.Caller) << c.Line;
    }
}

TEST(TapiDevConfigs, AConfigurationIsTakenOnlyWhenEveryFieldIsSound) {
    const std::pair<std::string, const char*> texts[] = {
        {"115200,8,N,1,none", "115200,8,N,1,none"},
        {" 9600 , 7 , e , 2 , rts/cts", "9600,7,E,2,RTS/CTS"},
        {"50,5,S,1.5,XON/XOFF", "50,5,S,1.5,XON/XOFF"},
        {"4000000,6,M,1,none", "4000000,6,M,1,none"},
        {"", nullptr},
        {"115200,8,N,1", nullptr},
        {"115200,8,N,1,none,none", nullptr},
        {"115200,264,N,1,none", nullptr}, // not 8 bits once cut to a byte
        {"115200,9,N,1,none", nullptr},
        {"115200,4,N,1,none", nullptr},
        {"115200,8,X,1,none", nullptr},
        {"115200,8,NO,1,none", nullptr},
        {"115200,8,,1,none", nullptr},
        {std::string("115200,8,\0,1,none", 17), nullptr},
        {"115200,8,N,1.5,none", nullptr}, // with 5 data bits only
        {"115200,8,N,3,none", nullptr},
        {"115200,8,N,1,both", nullptr},
        {"49,8,N,1,none", nullptr},
        {"4000001,8,N,1,none", nullptr},
        {"4294967296,8,N,1,none", nullptr},
        {"-9600,8,N,1,none", nullptr},
        {"9600x,8,N,1,none", nullptr},
    };
    for (const auto& [text, read] : texts) {
        const std::optional<TTapiDevConfig> config = TapiDevConfigFromText(text);
        ASSERT_EQ(config.has_value(), read != nullptr) << text;
        if (config)
            EXPECT_EQ(TapiDevConfigText(*config), read) << text;
    }

    TTapiDevConfig sound;
    const std::string bytes = TapiDevConfigBytes(sound);
    ASSERT_EQ(bytes.size(), 16u);
    EXPECT_EQ(TapiDevConfigOf(bytes.data(), bytes.size()), sound);
    EXPECT_EQ(TapiDevConfigOf(nullptr, 16), std::nullopt);
    EXPECT_EQ(TapiDevConfigOf(bytes.data(), 15), std::nullopt);
    const std::string longer = bytes + '\0';
    EXPECT_EQ(TapiDevConfigOf(longer.data(), longer.size()), std::nullopt);
    const std::function<void(TTapiDevConfig&)> spoils[] = {
        [](TTapiDevConfig& c) { c.dwSize = 20; },
        [](TTapiDevConfig& c) { c.dwVersion = 2; },
        [](TTapiDevConfig& c) { c.Parity = SPACEPARITY + 1; },
        [](TTapiDevConfig& c) { c.FlowControl = TapiFlowXonXoff + 1; },
    };
    for (std::size_t i = 0; i < std::size(spoils); ++i) {
        TTapiDevConfig bad = sound;
        spoils[i](bad);
        const std::string unsound = TapiDevConfigBytes(bad);
        EXPECT_EQ(TapiDevConfigOf(unsound.data(), unsound.size()), std::nullopt) << i;
    }
}

// Each flow control sets its own lines on the device and clears the others'.
TEST(TapiDevConfigs, EachFlowControlSetsItsOwnLinesOnTheDeviceAndNoOther) {
    const struct {
        std::uint8_t Flow;
        bool RtsCts, XonXoff;
    } cases[] = {
        {TapiFlowNone, false, false},
        {TapiFlowHardware, true, false},
        {TapiFlowXonXoff, false, true},
    };
    TPty pty;
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.Flow));
        TTapiDevConfig config;
        config.FlowControl = c.Flow;
        int fd = -1;
        ASSERT_EQ(OpenTapiDevice(pty.Slave(), config, "GSM modem", &fd), 0);
        termios t{};
        ASSERT_EQ(::tcgetattr(fd, &t), 0);
        ::close(fd);
        EXPECT_EQ((t.c_cflag & CRTSCTS) != 0, c.RtsCts);
        EXPECT_EQ((t.c_iflag & IXON) != 0, c.XonXoff);
        EXPECT_EQ((t.c_iflag & IXOFF) != 0, c.XonXoff);
    }
}

// The lines file names the simulator's port; the silence around "+++" is short.
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
        if (ended)
            EXPECT_EQ(StatesOf(call).back(),
                      std::make_pair(LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_UNAVAIL));
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
    const std::set<QString> before = OpenDescriptors();
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
    EXPECT_TRUE(PumpUntil([&] { return OpenDescriptors() == before; }));
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
    clock.Advance(5000);
    PumpFor(20);
    EXPECT_EQ(StatesOf(call).back().first, LINECALLSTATE_CONNECTED); // a quiet call goes on
    ASSERT_TRUE(EndsWhenTheCableIsPulled(call, [&] {
        PumpFor(20);
        clock.Advance(1000); // the next look at the device, which the port reads
    }));
    EndCall(line, call);
}

TEST_F(TapiModem, AModemLostWhileListeningListensAgainOnceItsDeviceIsBack) {
    TFakeClock clock;
    const HLINEAPP app = Initialize();
    const HLINE line = Open(app, 0, LINECALLPRIVILEGE_OWNER);
    ASSERT_TRUE(PumpUntil([&] { return sim.Connected(); }));
    testing::internal::CaptureStderr();
    sim.PullCable();
    PumpFor(20);
    for (int i = 0; i < 3; ++i) { // the device is away: nothing to open
        clock.Advance(5000);
        PumpFor(5);
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
    sim.PullCable();
    PumpFor(20);
    EXPECT_EQ(lineClose(other), 0);
    ASSERT_TRUE(sim.PlugIn());
    clock.Advance(5000);
    PumpFor(20);
    EXPECT_FALSE(sim.Connected());
}

// A device that is back but cannot be opened yet (another program holds it) is tried again.
TEST_F(TapiModem, AModemBackButHeldElsewhereAtItsFirstReopenIsTriedAgain) {
    TFakeClock clock;
    const HLINEAPP app = Initialize();
    const HLINE line = Open(app, 0, LINECALLPRIVILEGE_OWNER);
    ASSERT_TRUE(PumpUntil([&] { return sim.Commands().size() == 1; }));
    testing::internal::CaptureStderr();
    sim.PullCable();
    PumpFor(20);
    ASSERT_TRUE(sim.PlugIn());
    const int holder = ::open(sim.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
    clock.Advance(5000);
    PumpFor(20);
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
    PumpFor(20);
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
    PumpFor(20);
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
    PumpFor(30);
    EXPECT_EQ(sim.Connections(), 0u);
    const HLINE kept = Open(app, 0, LINECALLPRIVILEGE_OWNER);
    ASSERT_TRUE(PumpUntil([&] { return sim.Connected() && sim.ClipEnabled(); }));
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
