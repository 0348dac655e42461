#include "tests/sessions/SessionFixture.h"

#include <cerrno>
#include <cstdlib>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/DataFolder.h"
#include "core/ObjectRegistry.h"
#include "core/Settings.h"
#include "platform/Cp1251.h"
#include "platform/Shell.h"
#include "sessions/VirtualPorts.h"
#include "tests/core/EventLogLines.h"
#include "tests/platform/TestSupport.h"

namespace {

int ConnectLoopback(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        ADD_FAILURE() << "cannot connect to the router: " << strerror(errno);
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

void WriteAll(int fd, const Bytes& bytes) {
    size_t at = 0;
    while (at < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
        if (n > 0)
            at += size_t(n);
        else if (n < 0 && errno != EAGAIN && errno != EINTR)
            return;
        else // until the router has read enough to make room
            PumpUntil([fd] {
                pollfd room{fd, POLLOUT, 0};
                return ::poll(&room, 1, 0) == 1;
            });
    }
}

// Reads what is waiting; false when the peer has closed.
bool ReadAvailable(int fd, Bytes& into) {
    uint8_t buffer[4096];
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n > 0)
            into.insert(into.end(), buffer, buffer + n);
        else
            return !(n == 0 || (errno != EAGAIN && errno != EINTR));
    }
}

void ResetGlobals() {
    ObjectList.clear();
    AppDataFolder.clear();
    CompanyDataFolder.clear();
    StatesFileName.clear();
    StatesNotLoaded = true;
    AccessGranted = false;
    TMGSM_AuthKeysInit(&AuthKeyTable);
}

} // namespace

TManualModem::TManualModem(uint16_t port, const modemsim::ModemConfig& config)
    : Modem(config), fd_(ConnectLoopback(port)) {}

TManualModem::~TManualModem() {
    ::close(fd_);
}

void TManualModem::Connect() {
    Modem.Connect(modemsim::MonotonicMs());
    Flush();
}

bool TManualModem::Read() {
    Bytes in;
    closed_ = closed_ || !ReadAvailable(fd_, in);
    if (!in.empty())
        Modem.Feed(in.data(), in.size(), modemsim::MonotonicMs());
    return !closed_;
}

Bytes TManualModem::TakeOutput() {
    Bytes out(Modem.OutputData(), Modem.OutputData() + Modem.OutputSize());
    Modem.ConsumeOutput(out.size());
    return out;
}

void TManualModem::Write(const Bytes& bytes) {
    WriteAll(fd_, bytes);
}

TRawPeer::TRawPeer(uint16_t port) : fd_(ConnectLoopback(port)) {}

TRawPeer::~TRawPeer() {
    ::close(fd_);
}

void TRawPeer::Write(const Bytes& bytes) {
    WriteAll(fd_, bytes);
}

bool TRawPeer::StillOpen() {
    Bytes ignored;
    return ReadAvailable(fd_, ignored);
}

SessionTest::SessionTest() {
    ::setenv("XDG_DATA_HOME", data.Path().c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", runtime.Path().c_str(), 1);
    ResetGlobals();
    StatesNotLoaded = false;      // no start-up read a file: the state is the test's own
    Trace_SetSink(Trace_Discard); // the link's frame trace would drown the test output
    clock = std::make_unique<TFakeClock>();
    dialogs = std::make_unique<TScriptedDialogs>(FailTest);
    settings = std::make_unique<TSettingsDialog>();
    SettingsDialog = settings.get();
    AppSettings->TcpPort = 0; // any free port
    main = std::make_unique<TMainForm>();
    main->WaitForSaves = true;
    MainForm = main.get();
    profile = std::make_unique<TRecordingProfileEditor>();
    ObjSettingsDialog = profile.get();
    form = std::make_unique<TConnectionForm>();
    ConnectionForm = form.get();
    form->OpenPort();
    port = uint16_t(form->ServerSocket.LocalPort());
    EXPECT_NE(port, 0);
    pool = std::make_unique<modemsim::ModemPool>("127.0.0.1", port);
}

SessionTest::~SessionTest() {
    pool.reset();
    ConnectionForm = nullptr;
    form.reset();
    ObjSettingsDialog = nullptr;
    profile.reset();
    MainForm = nullptr;
    main.reset();
    SettingsDialog = nullptr;
    settings.reset();
    dialogs.reset();
    clock.reset();
    Trace_SetSink(nullptr);
    ResetGlobals();
    ::unsetenv("XDG_DATA_HOME");
    ::unsetenv("XDG_RUNTIME_DIR");
}

TObjectStates* SessionTest::AddObject(int id) {
    AddObjects(id, 1);
    return ObjectList.back().get();
}

void SessionTest::AddObjects(int first, int count) {
    for (int id = first; id < first + count; ++id) {
        auto object = std::make_unique<TObjectStates>();
        object->ObjectNumber = id;
        object->ModemID = id;
        ObjectList.push_back(std::move(object));
    }
    main->FillObjectsGrid();
    main->PrepareKeys();
}

TReceiver& SessionTest::AddLiveGroup(const char* name, int baseKind, int baseID,
                                     std::vector<uint32_t> members) {
    auto g = std::make_unique<TReceiver>();
    g->Name = ToCp1251(QString::fromUtf8(name));
    g->BaseKind = baseKind;
    g->BaseID = baseID;
    g->Members = std::move(members);
    TReceiver& group = *AppSettings->Receivers.emplace_back(std::move(g));
    CreateVirtualPort(group);
    return group;
}

QString SessionTest::ComLink(int n) {
    return ComFolder() + QStringLiteral("/COM%1").arg(n);
}

modemsim::ModemConfig SessionTest::Config(uint16_t id) {
    modemsim::ModemConfig config;
    config.id = id;
    config.seed = id;
    return config;
}

size_t SessionTest::ConnectModem(const modemsim::ModemConfig& config) {
    const size_t i = pool->Add(config);
    pool->Open(i);
    EXPECT_TRUE(RunUntil([&] { return pool->Modem(i).State() == modemsim::LinkState::Ready; }))
        << "modem " << config.id << " not authenticated";
    return i;
}

void SessionTest::PumpOnce() {
    pool->Poll(0);
    for (TManualModem* m : manual)
        if (m->Read())
            m->Flush();
    PumpFor(1); // the simulated modems' timers run on the real clock: each step gives them a moment
}

bool SessionTest::RunUntil(const std::function<bool()>& done, int stepMs, int limitMs) {
    return PumpUntil(
        [&] {
            pool->Poll(0);
            for (TManualModem* m : manual)
                if (m->Read())
                    m->Flush();
            if (stepMs > 0)
                clock->Advance(stepMs);
            return done();
        },
        limitMs);
}

void SessionTest::Advance(int ms, int stepMs) {
    for (int done = 0; done < ms; done += stepMs) {
        clock->Advance(std::min(stepMs, ms - done));
        PumpOnce();
    }
}

int SessionTest::SessionCount() const {
    int n = 0;
    for (int i = 0; i < form->ServerSocket.ActiveConnections(); ++i)
        n += form->ServerSocket.Connections(i)->Connected();
    return n;
}

QStringList SessionTest::LogLines() const {
    return EventLogLines(AppDataFolder + "EventLog.txt", main ? main->EventLog.get() : nullptr);
}

int SessionTest::CountLogged(const QString& prefix) const {
    int n = 0;
    for (const QString& line : LogLines())
        n += line.startsWith(prefix);
    return n;
}
