// The telephony lines file and the line configurations: what is read, what is refused and said, the
// devices a line opens; the modem's results and the configuration texts.
#include <gtest/gtest.h>

#include "tests/platform/TapiFixture.h"

namespace {

using namespace tapi_test;

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
    const std::set<QString> before = OpenDescriptorNames();
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
        EXPECT_EQ(OpenDescriptorNames(), before);
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
        EXPECT_TRUE(PumpIdle()); // a state of the call would have been queued with its reply
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
        if (config) {
            EXPECT_EQ(TapiDevConfigText(*config), read) << text;
        }
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
        {TapiFlowNone, false, false}, // the device keeps its settings between opens: XON/XOFF goes too
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

} // namespace
