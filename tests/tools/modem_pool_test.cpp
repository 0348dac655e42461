// The simulator over TCP on loopback: the pool and the modem-sim program against a small router side
// in the test (a listening socket and RouterPeer frames).
#include "tests/tools/RouterPeer.h"
#include "tools/modem-sim/ModemClient.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace modemsim;

extern char** environ;

namespace {

const uint8_t kNonce[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

// One connection of the test's router: answers the AUTH, asks for the hardware information while
// sending data to the modem, takes the modem's data and acknowledges everything.
struct RouterConn {
    explicit RouterConn(int f) : fd(f), peer(kFactoryKey) {}

    int fd;
    RouterPeer peer;
    Bytes in;
    bool authed = false, hwInfo = false, dataAck = false;
    Bytes dataFromModem;
    std::string error;

    void Send(const Bytes& b) {
        if (send(fd, b.data(), b.size(), MSG_NOSIGNAL) != ssize_t(b.size()))
            error = "short send";
    }

    // Size of the frame at the front of in, 0 while it is incomplete.
    size_t FrontFrame() const {
        if (in.size() < 7)
            return 0;
        const uint8_t type = in[5] & 7, length = in[4] >> 1 & 63;
        const size_t size = type == 4 ? 41 : (type == 0 || type == 5) ? 7 + 16 * (length + 1) + 4 : 7;
        return in.size() >= size ? size : 0;
    }

    void Take(const PeerFrame& f) {
        if (f.type == 4) {
            if (!peer.TakeAuth(f)) {
                error = "AUTH does not open";
                return;
            }
            authed = true;
            Send(peer.Reply(kNonce));
            Send(peer.Command(Cat({11, 4, 0, 0, 0, 8}, Bytes{'t', 'o', ' ', 'm', 'o', 'd', 'e', 'm'})));
            return;
        }
        if (f.type != 0)
            return;
        if (!f.opened || f.ns != peer.vr) {
            error = "bad I frame";
            return;
        }
        peer.vr = uint8_t((peer.vr + 1) & 7);
        bool data = false;
        for (size_t pos = 0; pos < f.payload.size() && f.payload[pos] != 0xFF;) {
            const uint8_t code = f.payload[pos];
            if (code == 0x8B) {
                hwInfo = true;
                pos += 3 + f.payload[pos + 2];
            } else if (code == 0x85) {
                dataAck = true;
                pos += 4;
            } else if (code == 0x86) {
                const size_t n = size_t(f.payload[pos + 4] << 8 | f.payload[pos + 5]);
                dataFromModem.insert(dataFromModem.end(), f.payload.begin() + ptrdiff_t(pos) + 8,
                                     f.payload.begin() + ptrdiff_t(pos + 8 + n));
                data = true;
                pos += 8 + n;
            } else {
                error = "unexpected answer";
                return;
            }
        }
        if (data) // taken: the acknowledgement travels with the TxDataAck
            Send(peer.Info(5, 0, peer.vr, {7, 0, 0, uint8_t(dataFromModem.size())}));
        else
            Send(peer.Supervisory(1, peer.vr));
    }

    // Reads what arrived; false when the modem closed the connection.
    bool Read() {
        uint8_t buf[2048];
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n == 0)
            return false;
        if (n < 0)
            return errno == EAGAIN || errno == EINTR;
        in.insert(in.end(), buf, buf + n);
        while (size_t size = FrontFrame()) {
            std::vector<PeerFrame> frames;
            std::string why;
            if (!peer.Split(Bytes(in.begin(), in.begin() + ptrdiff_t(size)), &frames, &why))
                error = why;
            else
                Take(frames[0]);
            in.erase(in.begin(), in.begin() + ptrdiff_t(size));
        }
        return true;
    }

    static Bytes Cat(Bytes a, const Bytes& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    }
};

class TestRouter {
public:
    TestRouter() {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        listen(listener_, 64);
        socklen_t len = sizeof addr;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
        port = ntohs(addr.sin_port);
    }
    ~TestRouter() {
        CloseAll();
        close(listener_);
    }

    // Accepts and reads what is there, waiting at most timeoutMs.
    void Poll(int timeoutMs) {
        std::vector<pollfd> fds = {{listener_, POLLIN, 0}};
        for (auto& c : conns)
            fds.push_back({c.first, POLLIN, 0});
        poll(fds.data(), fds.size(), timeoutMs);
        for (;;) {
            sockaddr_in from = {};
            socklen_t fromLen = sizeof from;
            const int fd = accept4(listener_, reinterpret_cast<sockaddr*>(&from), &fromLen, SOCK_NONBLOCK);
            if (fd < 0)
                break;
            conns.emplace(fd, std::make_unique<RouterConn>(fd));
            ++accepted;
            char text[INET_ADDRSTRLEN] = "";
            inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
            ++fromAddress[text];
        }
        for (auto it = conns.begin(); it != conns.end();) {
            if (!it->second->Read()) {
                close(it->first);
                ended.push_back(std::move(it->second));
                it = conns.erase(it);
            } else {
                ++it;
            }
        }
    }

    // Connections, open or ended, that saw the hardware information, the data acknowledgement and the
    // expected data.
    size_t CountDone(const Bytes& expected) const {
        size_t n = 0;
        for (const RouterConn* c : All())
            n += c->hwInfo && c->dataAck && c->dataFromModem == expected;
        return n;
    }

    std::string Errors() const {
        std::string all;
        for (const RouterConn* c : All())
            all += c->error;
        return all;
    }

    std::vector<const RouterConn*> All() const {
        std::vector<const RouterConn*> all;
        for (const auto& c : conns)
            all.push_back(c.second.get());
        for (const auto& c : ended)
            all.push_back(c.get());
        return all;
    }

    void CloseAll() {
        for (auto& c : conns)
            close(c.first);
        conns.clear();
    }

    uint16_t port = 0;
    size_t accepted = 0;
    std::map<std::string, int> fromAddress; // connections accepted from each peer address
    std::map<int, std::unique_ptr<RouterConn>> conns;
    std::vector<std::unique_ptr<RouterConn>> ended; // closed by the modem

private:
    int listener_ = -1;
};

} // namespace

TEST(ModemPool, ModemsAuthenticateAnswerAndExchangeDataOverLoopback) {
    TestRouter router;
    ModemPool pool("127.0.0.1", router.port);
    constexpr int kModems = 20;
    const Bytes fromModem = {'f', 'r', 'o', 'm', ' ', 'm', 'o', 'd', 'e', 'm'};
    for (int i = 0; i < kModems; ++i) {
        ModemConfig cfg;
        cfg.id = uint16_t(100 + i);
        pool.Modem(pool.Add(cfg)).QueueData(fromModem.data(), fromModem.size(), 0);
    }
    pool.OpenAll();
    const uint32_t start = MonotonicMs();
    while (router.CountDone(fromModem) < kModems && MonotonicMs() - start < 10000) {
        pool.Poll(1);
        router.Poll(1);
    }
    EXPECT_EQ(router.Errors(), "");
    ASSERT_EQ(router.CountDone(fromModem), size_t(kModems));
    EXPECT_TRUE(pool.RunUntil(
        [&] {
            router.Poll(0);
            for (size_t i = 0; i < pool.Size(); ++i)
                if (pool.Modem(i).PendingData() || pool.Modem(i).ReceivedData().size() != 8)
                    return false;
            return true;
        },
        5000));
    EXPECT_EQ(pool.CountReady(), size_t(kModems));
    for (size_t i = 0; i < pool.Size(); ++i)
        EXPECT_EQ(pool.Modem(i).ReceivedData(), (Bytes{'t', 'o', ' ', 'm', 'o', 'd', 'e', 'm'}));

    // The router ends every connection: the pool closes its side and the modems go offline.
    router.CloseAll();
    EXPECT_TRUE(pool.RunUntil([&] { return pool.CountOpen() == 0; }, 5000));
    EXPECT_EQ(pool.ClosedCount(), uint32_t(kModems));
    EXPECT_EQ(pool.Modem(0).State(), LinkState::Offline);
}

TEST(ModemPool, ClosedConnectionIsOpenedAgainAfterTheDelay) {
    TestRouter router;
    ModemPool pool("localhost", router.port);
    pool.SetReconnectMs(50);
    pool.Add(ModemConfig{});
    pool.OpenAll();
    ASSERT_TRUE(pool.RunUntil(
        [&] {
            router.Poll(0);
            return pool.CountReady() == 1;
        },
        5000));
    router.CloseAll();
    ASSERT_TRUE(pool.RunUntil(
        [&] {
            router.Poll(0);
            return router.accepted == 2 && pool.CountReady() == 1;
        },
        5000));
    EXPECT_EQ(pool.ClosedCount(), 1u);
}

TEST(ModemPool, RefusedConnectionIsReported) {
    uint16_t port;
    {
        TestRouter gone; // a port that was free a moment ago
        port = gone.port;
    }
    ModemPool pool("127.0.0.1", port);
    pool.Add(ModemConfig{});
    pool.OpenAll();
    EXPECT_TRUE(pool.RunUntil([&] { return pool.ClosedCount() == 1; }, 5000));
    EXPECT_FALSE(pool.IsOpen(0));
    EXPECT_NE(pool.LastError().find("refused"), std::string::npos) << pool.LastError();
}

TEST(ModemPool, ConnectionsComeFromTheSourceAddressesInTurn) {
    TestRouter router;
    ModemPool pool("127.0.0.1", router.port);
    pool.SetSourceAddresses({"127.0.0.2", "127.0.0.3", "127.0.0.9"});
    for (int i = 0; i < 6; ++i)
        pool.Add(ModemConfig{});
    pool.OpenAll();
    ASSERT_TRUE(pool.RunUntil(
        [&] {
            router.Poll(0);
            return pool.CountReady() == 6;
        },
        5000))
        << pool.LastError();
    EXPECT_EQ(router.fromAddress,
              (std::map<std::string, int>{{"127.0.0.2", 2}, {"127.0.0.3", 2}, {"127.0.0.9", 2}}));
}

TEST(ModemPool, SourceAddressThatCannotBeBoundIsReported) {
    TestRouter router;
    const struct {
        const char* source;
        const char* error;
    } cases[] = {
        {"not an address", "bad source address not an address"},
        {"192.0.2.1", "bind 192.0.2.1: Cannot assign requested address"}, // not this host's
    };
    for (const auto& c : cases) {
        ModemPool pool("127.0.0.1", router.port);
        pool.SetSourceAddresses({c.source});
        pool.Add(ModemConfig{});
        pool.OpenAll();
        EXPECT_EQ(pool.ClosedCount(), 1u) << c.source;
        EXPECT_FALSE(pool.IsOpen(0)) << c.source;
        EXPECT_EQ(pool.LastError().rfind(c.error, 0), 0u) << pool.LastError();
    }
    router.Poll(0);
    EXPECT_EQ(router.accepted, 0u);
}

namespace {

// Runs the program with its output to a file; returns the process id.
pid_t Spawn(const std::vector<std::string>& args, const std::string& outPath) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

std::string ReadFile(const std::string& path) {
    std::string text;
    if (FILE* f = fopen(path.c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f)) > 0)
            text.append(buf, n);
        fclose(f);
    }
    return text;
}

std::string TempPath(const char* name) {
    return testing::TempDir() + name + std::to_string(getpid());
}

// Waits for the child while the router side runs; returns its exit status, -1 on a time-out.
int WaitWhileServing(pid_t pid, TestRouter& router, uint32_t limitMs) {
    const uint32_t start = MonotonicMs();
    while (MonotonicMs() - start < limitMs) {
        router.Poll(5);
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
}

} // namespace

TEST(ModemSimProgram, HelpListsTheOptions) {
    const std::string out = TempPath("help");
    const pid_t pid = Spawn({MODEM_SIM_PATH, "--help"}, out);
    ASSERT_GT(pid, 0);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    const std::string text = ReadFile(out);
    for (const char* opt :
         {"--port", "--id", "--key", "--count", "--send", "--fault", "bad-crc", "wrong-key",
          "out-of-sequence", "duplicate", "--garbage", "--silent", "--never-ack", "--until"})
        EXPECT_NE(text.find(opt), std::string::npos) << opt;
    unlink(out.c_str());
}

TEST(ModemSimProgram, UsageErrorsExitWithTwo) {
    const std::string out = TempPath("usage");
    for (const std::vector<std::string>& args : {std::vector<std::string>{MODEM_SIM_PATH},
                                                 {MODEM_SIM_PATH, "--port", "1", "--key", "short"},
                                                 {MODEM_SIM_PATH, "--port", "1", "--fault", "nonsense"}}) {
        const pid_t pid = Spawn(args, out);
        ASSERT_GT(pid, 0);
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << args.back();
    }
    unlink(out.c_str());
}

TEST(ModemSimProgram, ModemsDeliverTheirDataAndExit) {
    TestRouter router;
    const std::string out = TempPath("run");
    const pid_t pid =
        Spawn({MODEM_SIM_PATH, "--port", std::to_string(router.port), "--id", "0x200", "--count", "3",
               "--send", "from modem", "--until", "sent", "--duration", "20", "--print"},
              out);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(WaitWhileServing(pid, router, 20000), 0) << ReadFile(out);
    EXPECT_EQ(router.Errors(), "");
    EXPECT_EQ(router.CountDone(Bytes{'f', 'r', 'o', 'm', ' ', 'm', 'o', 'd', 'e', 'm'}), 3u) << ReadFile(out);
    const std::string text = ReadFile(out);
    EXPECT_NE(text.find("modem 0202: authenticated"), std::string::npos) << text;
    unlink(out.c_str());
}
