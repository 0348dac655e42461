// Modems connecting to the real server: authentication, binding to their objects, double connections,
// connections that end, the address book changing under them, the server opening and closing.
#include "tests/sessions/SessionFixture.h"

#include <algorithm>
#include <cstring>

#include "core/ObjectRegistry.h"
#include "core/Settings.h"
#include "platform/Cp1251.h"
#include "tests/platform/TestSupport.h"

namespace {

using modemsim::LinkState;

void SetKey(uint8_t (&key)[16], const char* text) {
    std::memcpy(key, text, 16);
}

struct KeyCase {
    const char* name;
    int securityMode;
    const char* settingsPassword; // the system key in modes 2 and 3
    const char* objectKey;        // the object's own key (mode 4)
    const char* modemKey;
    bool bound;
    bool authFlag; // false only for the factory key
};

class KeyTest : public SessionTest, public ::testing::WithParamInterface<KeyCase> {};

TEST_P(KeyTest, ModemIsBoundExactlyWhenItsKeyOpensTheAuth) {
    const KeyCase& k = GetParam();
    AppSettings->SecurityMode = k.securityMode;
    AppSettings->Password = MakePassword(k.settingsPassword);
    TObjectStates* object = AddObject(5);
    object->Password = MakePassword(k.objectKey);
    main->PrepareKeys();

    modemsim::ModemConfig config = Config(5);
    SetKey(config.key, k.modemKey);
    config.version[0] = 2;
    config.version[1] = 7;
    const size_t i = pool->Add(config);
    pool->Open(i);
    ASSERT_TRUE(RunUntil([&] {
        return k.bound ? pool->Modem(i).State() == LinkState::Ready && object->Connected : !pool->IsOpen(i);
    }));

    EXPECT_TRUE(Logged("SM: new connection (IP: 127.0.0.1)"));
    EXPECT_TRUE(Logged("SM: InitIp OK"));
    EXPECT_TRUE(Logged("SM: received 41 bytes (IP: 127.0.0.1, object: -1)"));
    if (k.bound) {
        EXPECT_TRUE(Logged("SM: AcceptIpMsg and QryIP OK - 00000010"));
        EXPECT_TRUE(Logged("SM: CreateIpMsg OK - 00008000"));
        EXPECT_TRUE(Logged("CH: new object connected (object №5)"));
        TServerConnection* c = SessionOf(5);
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(c->AuthFlag, k.authFlag);
        EXPECT_EQ(c->BoundModemId, 5);
        EXPECT_EQ(object->HwVersion, (std::array<uint8_t, 4>{2, 7, 0, 0}));
    } else {
        EXPECT_TRUE(Logged("SM: auth. error, closing connection"));
        EXPECT_FALSE(object->Connected);
        EXPECT_EQ(SessionOf(5), nullptr);
        EXPECT_FALSE(Logged("CH: the object disconnected (№5)"));
    }
}

INSTANTIATE_TEST_SUITE_P(Keys, KeyTest,
                         ::testing::Values(KeyCase{"FactoryKey", smNone, "8888888888888888",
                                                   "8888888888888888", "8888888888888888", true, false},
                                           KeyCase{"SystemKey", smOnePassword, "SystemKey0123456",
                                                   "8888888888888888", "SystemKey0123456", true, true},
                                           KeyCase{"OwnKey", smManyPasswords, "8888888888888888",
                                                   "ObjectKey0123456", "ObjectKey0123456", true, true},
                                           KeyCase{"WrongOwnKey", smManyPasswords, "8888888888888888",
                                                   "ObjectKey0123456", "WrongKey01234567", false, false},
                                           KeyCase{"NotTheFactoryKey", smNone, "8888888888888888",
                                                   "8888888888888888", "WrongKey01234567", false, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SessionTest, ModemWithoutAnObjectIsNotBound) {
    AddObject(5);
    const size_t i = pool->Add(Config(0x63));
    pool->Open(i);
    ASSERT_TRUE(RunUntil([&] { return !pool->IsOpen(i); }));
    EXPECT_TRUE(Logged("SM: disconnecting the object with bad ID: 0063h"));
    EXPECT_FALSE(Logged("CH: new object connected (object №99)"));
    EXPECT_EQ(CountLogged("CH: the object disconnected"), 0);
    EXPECT_EQ(SessionCount(), 0);
}

TEST_F(SessionTest, ModemsOfKinds0And1StayUnbound) {
    AddObject(5);
    AddObject(6);
    for (auto [id, kind, line] : {std::tuple{5, 0, "SM: unprocessed states - 00000001"},
                                  std::tuple{6, 1, "SM: unprocessed states - 00000008"}}) {
        modemsim::ModemConfig config = Config(uint16_t(id));
        config.authKind = uint8_t(kind);
        const size_t i = pool->Add(config);
        pool->Open(i);
        ASSERT_TRUE(RunUntil([&, line = line] { return Logged(line); }))
            << kind; // clang 14 captures no bindings
        EXPECT_EQ(SessionOf(id), nullptr);
        EXPECT_FALSE(FindObjectByNum(id)->Connected);
    }
    EXPECT_EQ(SessionCount(), 2);
}

TEST_F(SessionTest, SecondConnectionOfAnObjectClosesTheOlderWithoutDisconnectNotice) {
    TObjectStates* object = AddObject(5);
    const size_t first = ConnectModem(Config(5));
    modemsim::ModemConfig again = Config(5);
    again.seed = 77;
    const size_t second = ConnectModem(again);
    ASSERT_TRUE(RunUntil([&] { return !pool->IsOpen(first); }));

    EXPECT_TRUE(Logged("SM: disabling double connection (IP: 127.0.0.1, object №5, ID:5)"));
    EXPECT_FALSE(Logged("CH: the object disconnected (№5)"));
    EXPECT_TRUE(object->Connected);
    EXPECT_EQ(SessionCount(), 1);
    // The newer connection serves the object.
    EXPECT_EQ(form->QueryHwInfo(5), 2);
    ASSERT_TRUE(RunUntil([&] { return pool->Modem(second).Stats().commands[CMD_GET_HW_INFO] == 1; }));
}

// Connections are looked up by their object through an index: the first bound one in the server's
// list answers, whatever order they were bound in, and one that is unbound or ends leaves it.
TEST_F(SessionTest, ConnectionOfAnObjectIsTheFirstBoundInListOrder) {
    std::vector<std::unique_ptr<TRawPeer>> peers;
    for (int i = 0; i < 3; ++i)
        peers.push_back(std::make_unique<TRawPeer>(port));
    ASSERT_TRUE(RunUntil([&] { return SessionCount() == 3; }, 0));
    TServerConnection* c[3];
    for (int i = 0; i < 3; ++i)
        ASSERT_NE(c[i] = Session(form->ServerSocket.Connections(i)), nullptr);

    form->SetObjectNumber(c[2], 5);
    EXPECT_EQ(SessionOf(5), c[2]);
    form->SetObjectNumber(c[0], 5);
    EXPECT_EQ(SessionOf(5), c[0]) << "first in the list, though bound last";
    form->SetObjectNumber(c[0], 6);
    EXPECT_EQ(SessionOf(5), c[2]);
    EXPECT_EQ(SessionOf(6), c[0]);
    form->SetObjectNumber(c[1], 6);
    form->SetObjectNumber(c[2], -1);
    EXPECT_EQ(SessionOf(5), nullptr);

    peers[0].reset();
    ASSERT_TRUE(RunUntil([&] { return SessionCount() == 2; }, 0));
    EXPECT_EQ(SessionOf(6), c[1]);
}

TEST_F(SessionTest, BindingObject0LeavesConnectionsStillAuthenticating) {
    AddObject(0);
    TRawPeer waiting(port); // connected, has sent nothing yet
    ASSERT_TRUE(RunUntil([&] { return SessionCount() == 1; }));
    ConnectModem(Config(0));
    ASSERT_TRUE(RunUntil([&] { return FindObjectByNum(0)->Connected != 0; }));
    PumpOnce();
    EXPECT_TRUE(waiting.StillOpen());
    EXPECT_EQ(SessionCount(), 2);
    EXPECT_EQ(CountLogged("SM: disabling double connection"), 0);
}

class EndTest : public SessionTest, public ::testing::WithParamInterface<int> {};

TEST_P(EndTest, EndOfABoundConnectionTellsTheMainWindowAndReleasesTheProfileEditor) {
    const int n = GetParam();
    TObjectStates* object = AddObject(n);
    const size_t i = ConnectModem(Config(uint16_t(n)));
    profile->Tag = n;
    profile->show();
    pool->Close(i);
    ASSERT_TRUE(RunUntil([&] { return !object->Connected; }));
    EXPECT_TRUE(Logged(QStringLiteral("CH: the object disconnected (№%1)").arg(n)));
    ASSERT_TRUE(RunUntil([&] { return profile->Calls.contains("ConnectionLost"); }));
}

INSTANTIATE_TEST_SUITE_P(Objects, EndTest, ::testing::Values(0, 7));

// A modem that changes the ID in its frame headers after the AUTH moves nothing to the object of that
// ID, and closes nobody's session by it.
TEST_F(SessionTest, LaterHeadersWithAnotherIdStayWithTheBoundObject) {
    TObjectStates* bound = AddObject(5);
    TObjectStates* other = AddObject(6);
    TManualModem modem(port, Config(5));
    manual.push_back(&modem);
    modem.Connect();
    ASSERT_TRUE(RunUntil([&] { return bound->Connected && modem.Modem.State() == LinkState::Ready; }));
    manual.clear();

    modem.Modem.SetInputs(0b0101, true, modemsim::MonotonicMs());
    Bytes frame = modem.TakeOutput();
    ASSERT_GE(frame.size(), size_t(LNK_HEADER_SIZE));
    frame[2] = 0;
    frame[3] = 6;
    frame[6] = Crc8(frame.data() + 2, 4);
    modem.Write(frame);
    ASSERT_TRUE(RunUntil([&] { return bound->InputStates[0] != 0; }));
    EXPECT_EQ(bound->InputStates, (std::array<int32_t, 4>{1, 0, 1, 0}));
    EXPECT_EQ(other->InputStates, (std::array<int32_t, 4>{}));
    EXPECT_EQ(other->LastDataTime, 0.0);

    ConnectModem(Config(6));
    PumpOnce();
    EXPECT_TRUE(modem.Read());
    EXPECT_TRUE(bound->Connected);
    EXPECT_EQ(CountLogged("SM: disabling double connection"), 0);
}

TEST_F(SessionTest, ChangedAddressBookClosesSessionsThatNoLongerMatch) {
    AddObject(5);
    AddObject(6);
    const size_t kept = ConnectModem(Config(5));
    const size_t gone = ConnectModem(Config(6));
    TRawPeer unbound(port);
    ASSERT_TRUE(RunUntil([&] { return SessionCount() == 3; }));

    ObjectList.erase(ObjectList.begin() + 1); // object 6 leaves the address book
    main->PrepareKeys();
    form->UpdateConnections();

    EXPECT_TRUE(Logged("SM: disabling changed connection, object №6, ID:6)"));
    EXPECT_TRUE(Logged("SM: disabling changed connection, object №-1, ID:0)"));
    EXPECT_TRUE(Logged("CH: the object disconnected (№6)"));
    ASSERT_TRUE(RunUntil([&] { return !pool->IsOpen(gone); }));
    EXPECT_TRUE(pool->IsOpen(kept));
    EXPECT_FALSE(unbound.StillOpen());
    EXPECT_EQ(SessionCount(), 1);
}

TEST_F(SessionTest, ClosingTheServerEndsEverySessionAndOnlyAnOpenServerReportsIt) {
    TObjectStates* object = AddObject(5);
    const size_t i = ConnectModem(Config(5));
    EXPECT_TRUE(form->ClosePort(true));
    EXPECT_FALSE(object->Connected);
    EXPECT_TRUE(Logged("CH: the object disconnected (№5)"));
    EXPECT_EQ(CountLogged("CH: the TCP port is closed"), 1);
    ASSERT_TRUE(RunUntil([&] { return !pool->IsOpen(i); }));

    EXPECT_FALSE(form->ClosePort(false));
    EXPECT_EQ(CountLogged("CH: the TCP port is closed"), 1);
}

TEST_F(SessionTest, PortInUseIsReportedAndNotOpened) {
    TServerSocket blocker;
    ASSERT_TRUE(blocker.Open());
    form->ClosePort(false);
    AppSettings->TcpPort = blocker.LocalPort();
    form->ApplyInternetSettings();
    const int opened = CountLogged("CH: TCP port is opened");
    dialogs->Expect(
        mtError,
        QStringLiteral("Ошибка открытия порта!\r\nНевозможно открыть TCP-порт %1").arg(AppSettings->TcpPort),
        mrOk);
    form->OpenPort();
    EXPECT_FALSE(form->ServerSocket.Active());
    EXPECT_EQ(CountLogged("CH: TCP port is opened"), opened);
    EXPECT_TRUE(Logged(QStringLiteral("CH: error opening TCP port %1").arg(AppSettings->TcpPort)));
}

struct ErrorCase {
    TErrorEvent kind;
    int code;
    const char* line;
    bool closes;
};

class SocketErrorTest : public SessionTest, public ::testing::WithParamInterface<ErrorCase> {};

TEST_P(SocketErrorTest, ErrorsAreLoggedSuppressedAndEndTheConnectionUnlessItIsClosing) {
    const ErrorCase& e = GetParam();
    AddObject(5);
    ConnectModem(Config(5));
    TServerConnection* c = SessionOf(5);
    ASSERT_NE(c, nullptr);
    int code = e.code;
    form->ServerSocketClientError(c, e.kind, code);
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(Logged(e.line)) << LogLines().join("\n").toStdString();
    EXPECT_EQ(c->Connected(), !e.closes);
}

INSTANTIATE_TEST_SUITE_P(
    Errors, SocketErrorTest,
    ::testing::Values(
        ErrorCase{eeReceive, WSAECONNRESET,
                  "SM: Socket error while receiving data code:10054 (object N5, IP:127.0.0.1)", true},
        ErrorCase{eeSend, WSAECONNABORTED,
                  "SM: Socket error while sending data code:10053 (object N5, IP:127.0.0.1)", true},
        ErrorCase{eeDisconnect, WSAECONNRESET,
                  "SM: Socket error while closing a connection code:10054 (object N5, IP:127.0.0.1)", false},
        ErrorCase{eeReceive, WSAETIMEDOUT,
                  "SM: Socket error while receiving data code:10060 (object N5, IP:127.0.0.1)", true},
        ErrorCase{eeGeneral, WSAENETRESET,
                  "SM: Socket error (general error) code:10052 (object N5, IP:127.0.0.1)", true}));

} // namespace
