#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QScopeGuard>

#include "platform/Descriptors.h"
#include "platform/ScriptedDialogs.h"
#include "platform/TcpServer.h"
#include "tests/platform/TestSupport.h"

namespace {

// The modem's end: a plain blocking socket on loopback.
class TClient {
public:
    explicit TClient(int port, int receiveBuffer = 0) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (receiveBuffer > 0)
            setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(std::uint16_t(port));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
        connectError_ = connected_ ? 0 : errno;
        sockaddr_in me{};
        socklen_t length = sizeof me;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&me), &length);
        localPort_ = ntohs(me.sin_port);
    }
    ~TClient() { Close(); }
    TClient(const TClient&) = delete;
    TClient& operator=(const TClient&) = delete;

    bool Connected() const { return connected_; }
    int ConnectError() const { return connectError_; }
    int LocalPort() const { return localPort_; } // also after the close
    int Fd() const { return fd_; }
    void Send(const std::string& bytes) const {
        ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size()));
    }
    std::string Read(std::size_t most = 1 << 16) const {
        std::string bytes(most, '\0');
        const ssize_t n = ::recv(fd_, bytes.data(), most, MSG_DONTWAIT);
        bytes.resize(n > 0 ? std::size_t(n) : 0);
        return bytes;
    }
    bool Ended() const {
        char c;
        return ::recv(fd_, &c, 1, MSG_DONTWAIT | MSG_PEEK) == 0;
    }
    // The other end reset the connection (told once): ECONNRESET, or EPIPE after its end came.
    bool WasReset() const {
        int error = 0;
        socklen_t length = sizeof error;
        getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length);
        return error == ECONNRESET || error == EPIPE;
    }
    // Ends the connection with a reset instead of a close.
    void Reset() {
        const linger abort{1, 0};
        setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        Close();
    }
    void Close() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
    bool connected_ = false;
    int connectError_ = 0;
    int localPort_ = 0;
};

// A narrow path to the peer, so that sends have to wait for it.
void NarrowSendBuffer(const TServerClientWinSocket* s) {
    const int size = 4096;
    setsockopt(s->SocketHandle(), SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
}

// Waits, without running the event loop, until the kernel has seen the peer end the connection.
void AwaitPeerEnd(int fd) {
    pollfd p{fd, POLLIN, 0};
    ::poll(&p, 1, 2000);
}

class Server : public ::testing::Test {
protected:
    TServerSocket server;
    std::vector<std::string> events; // "connect 40123", "read 40123", "error 2 10054 40123", ...
    QByteArray received;
    bool zeroErrors = true;
    int port = 0;

    void SetUp() override {
        ASSERT_TRUE(server.Open());
        port = server.LocalPort();
        ASSERT_GT(port, 0);
        server.OnClientConnect = [this](TServerClientWinSocket* s) { Log("connect", s); };
        server.OnClientRead = [this](TServerClientWinSocket* s) {
            Log("read", s);
            received += s->ReceiveText();
        };
        server.OnClientError = [this](TServerClientWinSocket* s, TErrorEvent kind, int& code) {
            Log("error " + std::to_string(kind) + " " + std::to_string(code), s);
            if (zeroErrors)
                code = 0;
        };
        server.OnClientDisconnect = [this](TServerClientWinSocket* s) { Log("disconnect", s); };
    }

    void Log(const std::string& what, TServerClientWinSocket* s) {
        events.push_back(what + " " + std::to_string(s->RemotePort()));
    }
    static std::string For(const std::string& what, const TClient& c) {
        return what + " " + std::to_string(c.LocalPort());
    }
    int Count(const std::string& event) const { return int(std::count(events.begin(), events.end(), event)); }
    bool Seen(const std::string& event) const { return Count(event) > 0; }

    // Connects a client and waits until the server has it.
    TServerClientWinSocket* Accept(const TClient& client) {
        EXPECT_TRUE(client.Connected());
        const std::string connect = For("connect", client);
        EXPECT_TRUE(PumpUntil([&] { return Seen(connect); }));
        for (int i = 0; i < server.ActiveConnections(); ++i)
            if (server.Connections(i)->RemotePort() == client.LocalPort())
                return server.Connections(i);
        return nullptr;
    }
};

TEST_F(Server, AcceptsReadsEverythingAndKnowsTheRemoteAddress) {
    TClient client(port);
    TServerClientWinSocket* s = Accept(client);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->RemoteAddress(), QStringLiteral("127.0.0.1"));
    EXPECT_TRUE(s->Connected());
    client.Send("first ");
    client.Send("second ");
    client.Send(std::string(100'000, 'x'));
    EXPECT_TRUE(PumpUntil([&] { return received.size() == 100'013; }));
    EXPECT_TRUE(received.startsWith("first second xxx"));
    EXPECT_EQ(Count(For("connect", client)), 1);
}

TEST_F(Server, LeavesWhatTheHandlerDoesNotTake) {
    server.OnClientRead = [](TServerClientWinSocket*) {};
    TClient client(port);
    TServerClientWinSocket* s = Accept(client);
    client.Send("abcdef");
    ASSERT_TRUE(PumpUntil([&] { return s->ReceiveLength() == 6; }));
    char head[3];
    EXPECT_EQ(s->ReceiveBuf(head, 3), 3);
    EXPECT_EQ(std::string(head, 3), "abc");
    EXPECT_EQ(s->ReceiveLength(), 3);
    EXPECT_EQ(s->ReceiveText(), QByteArray("def"));
}

TEST_F(Server, PeerResetGives10054AndOneDisconnect) {
    TClient client(port);
    Accept(client);
    const std::string disconnect = For("disconnect", client);
    const std::string error = For("error 2 10054", client);
    client.Reset();
    ASSERT_TRUE(PumpUntil([&] { return Seen(disconnect); }));
    ASSERT_TRUE(PumpIdle());
    EXPECT_EQ(Count(error), 1);
    EXPECT_EQ(Count(disconnect), 1);
    EXPECT_LT(std::find(events.begin(), events.end(), error),
              std::find(events.begin(), events.end(), disconnect));
}

TEST_F(Server, AnErrorCodeLeftSetClosesTheConnection) {
    zeroErrors = false;
    TClient client(port);
    TServerClientWinSocket* s = Accept(client);
    const std::string disconnect = For("disconnect", client);
    client.Reset();
    ASSERT_TRUE(PumpUntil([&] { return Seen(disconnect); }));
    EXPECT_EQ(events.back(), disconnect);
    EXPECT_EQ(events[events.size() - 2], For("error 2 10054", client));
    (void)s;
}

TEST_F(Server, ExactlyOneDisconnectWhoeverCloses) {
    // The peer closes; the server closes, twice; the server closes inside its read handler.
    TClient byPeer(port), byServer(port), inHandler(port);
    Accept(byPeer);
    TServerClientWinSocket* closed = Accept(byServer);
    Accept(inHandler);
    server.OnClientRead = [&](TServerClientWinSocket* s) {
        s->Close();
        s->Close();
    };
    byPeer.Close();
    closed->Close();
    EXPECT_EQ(Count(For("disconnect", byServer)), 1); // at once, inside Close()
    closed->Close();
    inHandler.Send("bye");
    ASSERT_TRUE(
        PumpUntil([&] { return Seen(For("disconnect", byPeer)) && Seen(For("disconnect", inHandler)); }));
    EXPECT_TRUE(PumpUntil([&] { return byServer.Ended() && inHandler.Ended(); }));
    ASSERT_TRUE(PumpIdle());
    for (const TClient* c : {&byPeer, &byServer, &inHandler})
        EXPECT_EQ(Count(For("disconnect", *c)), 1);
    EXPECT_EQ(server.ActiveConnections(), 0);
}

// A modem that sends a frame and ends its side at once: the frame is read before the connection ends;
// of a flood left behind, no more than one event's reading.
TEST_F(Server, WhatAPeerSentBeforeItEndedIsReadUpToTheBoundOfOneEvent) {
    for (const std::size_t size : {std::size_t(41), std::size_t(20'000), std::size_t(90'000)}) {
        TClient client(port);
        const TServerClientWinSocket* s = Accept(client);
        std::size_t sent = 0; // the loop does not run: nothing is read yet
        const std::string bytes(size, 'z');
        for (ssize_t n = 0; sent < size && n >= 0; sent += std::size_t(std::max<ssize_t>(n, 0)))
            n = ::send(client.Fd(), bytes.data() + sent, size - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
        client.Close();
        pollfd end{s->SocketHandle(), POLLRDHUP, 0};
        ASSERT_EQ(::poll(&end, 1, 2000), 1) << "the end came behind the bytes it waits for";
        received.clear();
        const std::string disconnect = For("disconnect", client);
        ASSERT_TRUE(PumpUntil([&] { return Seen(disconnect); }));
        EXPECT_EQ(std::size_t(received.size()),
                  std::min(sent, std::size_t(TServerClientWinSocket::ReadPerEvent)))
            << size;
        EXPECT_EQ(Count(For("read", client)), 1) << size;
        EXPECT_EQ(Count(disconnect), 1) << size;
        EXPECT_LT(std::find(events.begin(), events.end(), For("read", client)),
                  std::find(events.begin(), events.end(), disconnect));
    }
}

// One turn reports a connection ready, others, and the end of another's peer; the first one's handler
// closes the other, and the server's look at the backlog among the others lets the next connection
// in on the same descriptor. The end reported for the connection that went must not reach the new one.
TEST_F(Server, AReadinessOfAClosedConnectionDoesNotReachTheNextOnItsDescriptor) {
    TClient first(port), going(port);
    TServerClientWinSocket* reader = Accept(first);
    TServerClientWinSocket* gone = Accept(going);
    ASSERT_TRUE(reader && gone);
    std::vector<std::unique_ptr<TClient>> others; // enough that the server looks at the backlog between
    for (int i = 0; i < 32; ++i)
        Accept(*others.emplace_back(std::make_unique<TClient>(port)));
    const int descriptor = gone->SocketHandle();
    // The holes below it filled, so that the next connection gets that descriptor once it is free.
    std::vector<int> fillers;
    for (int fd = ::dup(2); fd >= 0; fd = ::dup(2)) {
        if (fd > descriptor) {
            ::close(fd);
            break;
        }
        fillers.push_back(fd);
    }
    const auto closeFillers = qScopeGuard([&] {
        for (const int fd : fillers)
            ::close(fd);
    });
    bool room = false;
    server.OnAccepting = [&](bool) { return room; };
    server.OnClientRead = [&](TServerClientWinSocket* s) {
        s->ReceiveText();
        if (s == reader && !room) {
            room = true;
            gone->Close();
        }
    };
    first.Send("x"); // ready first, then the others and the listening socket, then the end of the other
    AwaitReadable(reader);
    for (const auto& other : others)
        other->Send("y");
    TClient next(port);
    int nextDescriptor = -1;
    server.OnClientConnect = [&](TServerClientWinSocket* s) {
        Log("connect", s);
        if (s->RemotePort() == next.LocalPort())
            nextDescriptor = s->SocketHandle();
    };
    const std::string nextConnect = For("connect", next);
    going.Close();
    fillers.push_back(::dup(2)); // where the peer's end was
    AwaitPeerEnd(gone->SocketHandle());
    ASSERT_TRUE(PumpUntil([&] { return Seen(nextConnect); }));
    ASSERT_TRUE(PumpIdle());
    ASSERT_EQ(nextDescriptor, descriptor) << "the descriptor was not reused";
    EXPECT_EQ(Count(For("disconnect", next)), 0);
    EXPECT_FALSE(next.Ended());
}

TEST_F(Server, NoEventAfterAConnectionIsClosed) {
    TClient client(port);
    TServerClientWinSocket* s = Accept(client);
    s->Close();
    EXPECT_FALSE(s->Connected());
    EXPECT_EQ(s->SendBuf("x", 1), -1);
    const std::size_t before = events.size();
    client.Send("late data");
    client.Reset();
    // A client that connects after them: what they brought has been served by the time it is in.
    TClient after(port);
    const std::string connect = For("connect", after);
    ASSERT_TRUE(PumpUntil([&] { return Seen(connect); }));
    ASSERT_TRUE(PumpIdle());
    std::erase(events, connect);
    EXPECT_EQ(events.size(), before);
}

TEST_F(Server, ClosedConnectionsStayListedUntilTheLoopComesRound) {
    TClient a(port), b(port), c(port);
    Accept(a);
    Accept(b);
    Accept(c);
    // The session manager's walk: close the connection at index i while i is below the count.
    for (int i = 0; i < server.ActiveConnections(); ++i)
        server.Connections(i)->Close();
    EXPECT_EQ(server.ActiveConnections(), 3);
    for (const TClient* client : {&a, &b, &c})
        EXPECT_EQ(Count(For("disconnect", *client)), 1);
    EXPECT_TRUE(PumpUntil([&] { return server.ActiveConnections() == 0; }));
    EXPECT_EQ(server.Connections(0), nullptr);
}

TEST_F(Server, FreesNoConnectionWhileItsHandlerWaitsInANestedLoop) {
    TClient client(port);
    Accept(client);
    const std::string disconnect = For("disconnect", client);
    QString addressAfter;
    server.OnClientRead = [&](TServerClientWinSocket* s) {
        client.Close(); // the peer goes while this handler shows a modal box
        PumpUntil([&] { return Seen(disconnect); });
        EXPECT_TRUE(PumpIdle());
        addressAfter = s->RemoteAddress(); // must still be there
    };
    client.Send("x");
    ASSERT_TRUE(PumpUntil([&] { return !addressAfter.isEmpty(); }));
    EXPECT_EQ(addressAfter, QStringLiteral("127.0.0.1"));
    EXPECT_TRUE(PumpUntil([&] { return server.ActiveConnections() == 0; }));
    EXPECT_EQ(Count(disconnect), 1);
}

// Both connections are ready in the same turn; the first one read closes the other and lets a nested
// loop free it, so the readiness still pending for the other must not reach the freed object.
TEST_F(Server, AConnectionFreedWhileItsReadinessIsPendingIsNotTouched) {
    TClient a(port), b(port);
    TServerClientWinSocket* sockets[] = {Accept(a), Accept(b)};
    ASSERT_TRUE(sockets[0] && sockets[1]);
    int reads = 0;
    server.OnClientRead = [&](TServerClientWinSocket* s) {
        ++reads;
        s->ReceiveText();
        TServerClientWinSocket* other = s == sockets[0] ? sockets[1] : sockets[0];
        other->Close();
        PumpUntil([&] { return server.ActiveConnections() == 1; });
    };
    a.Send("x");
    b.Send("y");
    AwaitReadable(sockets[0]);
    AwaitReadable(sockets[1]);
    PumpUntil([&] { return reads > 0 && server.ActiveConnections() == 1; });
    ASSERT_TRUE(PumpIdle());
    EXPECT_EQ(reads, 1);
    EXPECT_EQ(server.ActiveConnections(), 1);
}

TEST_F(Server, CloseEndsEveryConnectionOnceAndThenIsSilent) {
    TClient a(port), b(port);
    Accept(a);
    Accept(b);
    server.Close();
    EXPECT_FALSE(server.Active());
    EXPECT_EQ(Count(For("disconnect", a)), 1);
    EXPECT_EQ(Count(For("disconnect", b)), 1);
    const std::size_t before = events.size();
    b.Send("after close");
    a.Reset();
    TClient late(port);
    EXPECT_FALSE(late.Connected());
    EXPECT_EQ(late.ConnectError(), ECONNREFUSED);
    EXPECT_TRUE(PumpUntil([&] { return b.WasReset(); })) << "the bytes after the close were refused";
    ASSERT_TRUE(PumpIdle());
    EXPECT_EQ(events.size(), before);
    EXPECT_EQ(server.ActiveConnections(), 0);
    server.Close(); // a closed server closes quietly
}

TEST_F(Server, SendsAMegabyteWholeToASlowReader) {
    TClient client(port, 4096);
    TServerClientWinSocket* s = Accept(client);
    NarrowSendBuffer(s);
    std::string payload(1 << 20, '\0');
    for (std::size_t i = 0; i < payload.size(); ++i)
        payload[i] = char(i * 7 + i / 251);
    EXPECT_EQ(s->SendBuf(payload.data(), int(payload.size())), int(payload.size()));
    EXPECT_GT(s->SendQueued(), 0); // the system could not take it all at once
    std::string got;
    EXPECT_TRUE(PumpUntil(
        [&] {
            got += client.Read(16 * 1024);
            return got.size() >= payload.size();
        },
        30'000));
    EXPECT_TRUE(got == payload);
    EXPECT_EQ(s->SendQueued(), 0);
}

TEST_F(Server, RefusesASendThatWouldOverflowTheQueue) {
    TClient client(port, 4096);
    TServerClientWinSocket* s = Accept(client);
    NarrowSendBuffer(s);
    const std::string big(TServerClientWinSocket::SendQueueLimit + 1, 'b');
    EXPECT_EQ(s->SendBuf(big.data(), int(big.size())), -1);
    EXPECT_EQ(s->SendQueued(), 0);
    const std::string full(TServerClientWinSocket::SendQueueLimit, 'f');
    EXPECT_EQ(s->SendBuf(full.data(), int(full.size())), int(full.size()));
    const int room = TServerClientWinSocket::SendQueueLimit - s->SendQueued(); // the peer reads nothing
    EXPECT_EQ(s->SendBuf(full.data(), room + 1), -1);
    EXPECT_EQ(s->SendBuf(full.data(), room), room);
    EXPECT_EQ(s->SendQueued(), TServerClientWinSocket::SendQueueLimit);
    EXPECT_TRUE(s->Connected());
}

TEST_F(Server, ASendFailureIsReportedFromTheLoopNotFromTheSend) {
    TClient client(port);
    TServerClientWinSocket* s = Accept(client);
    const int fd = s->SocketHandle();
    client.Reset();
    AwaitPeerEnd(fd);
    const std::size_t before = events.size();
    EXPECT_EQ(s->SendBuf("frame", 5), -1);
    EXPECT_EQ(events.size(), before);
    const std::string disconnect = For("disconnect", client);
    ASSERT_TRUE(PumpUntil([&] { return Seen(disconnect); }));
    ASSERT_GE(events.size(), before + 2);
    const std::string error = events[before];
    EXPECT_TRUE(error == For("error 1 10054", client) || error == For("error 1 10053", client)) << error;
    EXPECT_EQ(Count(disconnect), 1);
    EXPECT_EQ(s->SendBuf("frame", 5), -1);
}

class TSession : public TServerClientWinSocket {
public:
    TSession(int socket, TServerSocket* server, int* freed)
        : TServerClientWinSocket(socket, server), freed_(freed) {}
    ~TSession() override { ++*freed_; }
    int ObjectNumber = -1;

private:
    int* freed_;
};

TEST_F(Server, MakesTheConnectionObjectTheProgramAsksFor) {
    int freed = 0;
    int made = 0;
    server.OnGetSocket = [&](int socket, TServerSocket* owner) -> std::unique_ptr<TServerClientWinSocket> {
        if (made++ == 1)
            return nullptr; // the second gets a plain connection
        return std::make_unique<TSession>(socket, owner, &freed);
    };
    std::vector<bool> sessions;
    server.OnClientConnect = [&](TServerClientWinSocket* s) {
        Log("connect", s);
        sessions.push_back(dynamic_cast<TSession*>(s) != nullptr);
    };
    TClient a(port), b(port);
    Accept(a);
    Accept(b);
    EXPECT_EQ(sessions, (std::vector<bool>{true, false}));
    server.Close();
    EXPECT_TRUE(PumpUntil([&] { return freed == 1; }));
}

TEST_F(Server, AnExceptionInAHandlerIsShownAndServingGoesOn) {
    TScriptedDialogs dialogs(FailTest);
    dialogs.Expect(mtError, QStringLiteral("read failed"), mrOk);
    int reads = 0;
    server.OnClientRead = [&](TServerClientWinSocket* s) {
        s->ReceiveText();
        if (++reads == 1)
            throw std::runtime_error("read failed");
    };
    TClient client(port);
    Accept(client);
    client.Send("1");
    ASSERT_TRUE(PumpUntil([&] { return reads == 1; }));
    client.Send("2");
    EXPECT_TRUE(PumpUntil([&] { return reads == 2; }));
}

TEST_F(Server, RefusesABusyPortAndAPortChangeWhileOpen) {
    TServerSocket second;
    EXPECT_TRUE(second.SetPort(port));
    EXPECT_FALSE(second.Open());
    EXPECT_EQ(second.LastError(), WSAEADDRINUSE);
    EXPECT_FALSE(second.Active());
    EXPECT_FALSE(server.SetPort(port + 1));
    server.Close();
    EXPECT_TRUE(server.SetPort(port));
    EXPECT_EQ(server.Port(), port);
}

TEST_F(Server, ReopensItsPortRightAfterClosingIt) {
    // The server side closes first, so its end of the connection lingers in TIME_WAIT.
    TClient client(port);
    Accept(client)->Close();
    ASSERT_TRUE(PumpUntil([&] { return client.Ended(); }));
    client.Close();
    server.Close();
    TServerSocket again;
    again.SetPort(port);
    EXPECT_TRUE(again.Open()) << again.LastError();
}

// The lowest descriptor not open now: as a soft limit, it leaves no room for another.
rlim_t LowestFreeDescriptor() {
    const int lowestFree = ::dup(0);
    ::close(lowestFree);
    return rlim_t(lowestFree);
}

TEST_F(Server, PausesAcceptingWhenOutOfDescriptorsInsteadOfSpinning) {
    TFakeClock clock;
    TClient client(port); // waits in the listen queue
    ASSERT_TRUE(client.Connected());
    const TSoftFileLimit limit(LowestFreeDescriptor());
    ASSERT_TRUE(PumpUntil([&] { return server.AcceptPaused(); }));
    ASSERT_TRUE(PumpIdle()) << "a spinning accept keeps the loop busy";
    EXPECT_TRUE(server.AcceptPaused());
    EXPECT_FALSE(Seen(For("connect", client)));
    limit.Restore();
    clock.Advance(TServerSocket::AcceptRetryMs - 1);
    EXPECT_TRUE(server.AcceptPaused());
    clock.Advance(1);
    EXPECT_FALSE(server.AcceptPaused());
    EXPECT_TRUE(PumpUntil([&] { return Seen(For("connect", client)); }));
}

TEST_F(Server, TakesTheWholeBacklogInOneTurnOfTheLoop) {
    constexpr int Count = 200;
    std::vector<std::unique_ptr<TClient>> clients;
    for (int i = 0; i < Count; ++i)
        clients.push_back(std::make_unique<TClient>(port)); // all wait in the listen queue
    QCoreApplication::processEvents();
    EXPECT_EQ(server.ActiveConnections(), Count);
}

// Sockets made before the limit is set and connected after, so that the count of the program's other
// descriptors does not change under the test.
class TLateClients {
public:
    explicit TLateClients(int count) {
        for (int i = 0; i < count; ++i)
            fds_.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    }
    ~TLateClients() {
        for (const int fd : fds_)
            ::close(fd);
    }
    // The port of the client's end.
    int Connect(int i, int port) const {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(std::uint16_t(port));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::connect(fds_[std::size_t(i)], reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
        sockaddr_in me{};
        socklen_t length = sizeof me;
        getsockname(fds_[std::size_t(i)], reinterpret_cast<sockaddr*>(&me), &length);
        return ntohs(me.sin_port);
    }

private:
    std::vector<int> fds_;
};

TEST_F(Server, LeavesTheReserveFreeAndTakesTheNextWhenAConnectionEnds) {
    TFakeClock clock; // no retry of the accept: the end of a connection alone lets the next one in
    server.Close();
    const TLateClients clients(3);
    const int open = OpenDescriptors();
    ASSERT_GT(open, 0);
    // Room for two connections beside the listening socket and the epoll instance.
    const TSoftFileLimit limit(rlim_t(open + 2 + TServerSocket::DescriptorReserve + 2));
    TServerSocket low;
    low.OnClientConnect = [this](TServerClientWinSocket* s) { Log("connect", s); };
    ASSERT_TRUE(low.Open());
    EXPECT_EQ(low.ConnectionLimit(), 2);
    int ports[3];
    for (int i = 0; i < 3; ++i)
        ports[i] = clients.Connect(i, low.LocalPort());
    ASSERT_TRUE(PumpUntil([&] { return low.AcceptPaused(); }));
    ASSERT_TRUE(PumpIdle());
    EXPECT_EQ(low.OpenConnections(), 2);
    EXPECT_FALSE(Seen("connect " + std::to_string(ports[2])));
    // The reserve still takes what the program opens besides: files, its threads' wake-ups, ports.
    std::vector<int> own;
    for (int i = 0; i < 100; ++i)
        own.push_back(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    EXPECT_TRUE(std::none_of(own.begin(), own.end(), [](int fd) { return fd < 0; }));
    for (const int fd : own)
        if (fd >= 0)
            ::close(fd);

    low.Connections(0)->Close();
    EXPECT_TRUE(PumpUntil([&] { return Seen("connect " + std::to_string(ports[2])); }));
    EXPECT_EQ(low.OpenConnections(), 2);
}

// A server on the fake clock with room for two connections, both taken, and a third waiting in the
// backlog; beside them the program holds two descriptors of its own, which a test closes.
class Recount : public Server {
protected:
    void SetUp() override {
        Server::SetUp();
        server.Close();
        for (int& fd : own)
            fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        limit.Set(rlim_t(OpenDescriptors() + 2 + TServerSocket::DescriptorReserve + 2));
        low.OnClientConnect = [this](TServerClientWinSocket* s) { Log("connect", s); };
        ASSERT_TRUE(low.Open());
        ASSERT_EQ(low.ConnectionLimit(), 2);
        for (int i = 0; i < 3; ++i)
            ports[i] = clients.Connect(i, low.LocalPort());
        ASSERT_TRUE(PumpUntil([&] { return low.AcceptPaused(); }));
        ASSERT_EQ(low.OpenConnections(), 2);
    }
    void TearDown() override { CloseOwn(); }
    void CloseOwn() {
        for (int& fd : own)
            if (fd >= 0)
                ::close(std::exchange(fd, -1));
    }
    // Waits for the server's next look at the backlog (accepting resumed): whether it let the third in.
    bool ThirdLetIn() {
        const std::string connect = "connect " + std::to_string(ports[2]);
        EXPECT_TRUE(PumpUntil([&] { return low.AcceptPaused() || Seen(connect); }));
        return Seen(connect);
    }

    TFakeClock clock;
    const TLateClients clients{3};
    int own[2] = {-1, -1};
    const TSoftFileLimit limit;
    TServerSocket low;
    int ports[3] = {};
};

TEST_F(Recount, DescriptorsClosedBesideAreNotCountedBeforeASecondHasPassed) {
    CloseOwn();
    clock.Advance(TServerSocket::RecountMs - 1);
    low.ResumeAccepting();
    EXPECT_FALSE(ThirdLetIn()) << "counted again at a look within the second";
    EXPECT_EQ(low.ConnectionLimit(), 2);
}

TEST_F(Recount, DescriptorsClosedBesideAreCountedByTheFirstLookAfterASecond) {
    CloseOwn();
    clock.Advance(TServerSocket::RecountMs); // the retry of the accept looks again
    EXPECT_TRUE(ThirdLetIn());
    EXPECT_EQ(low.ConnectionLimit(), 4);
    EXPECT_EQ(low.OpenConnections(), 3);
}

TEST_F(Server, AsksTheProgramBeforeEachAcceptAndTellsItWhenFull) {
    server.Close();
    const TLateClients clients(3);
    const TSoftFileLimit limit(rlim_t(OpenDescriptors() + 2 + TServerSocket::DescriptorReserve + 2));
    TServerSocket low;
    ASSERT_TRUE(low.Open());
    std::vector<bool> asked; // full, each time
    bool allow = false;
    int ended = 0;
    low.OnClientDisconnect = [&](TServerClientWinSocket*) { ++ended; };
    low.OnAccepting = [&](bool full) {
        asked.push_back(full);
        if (full && low.OpenConnections() > 0)
            low.Connections(0)->Close(); // the oldest makes room
        return allow;
    };
    clients.Connect(0, low.LocalPort());
    ASSERT_TRUE(PumpUntil([&] { return low.AcceptPaused(); }));
    EXPECT_EQ(low.ActiveConnections(), 0) << "held back in the backlog";
    allow = true;
    low.ResumeAccepting();
    ASSERT_TRUE(PumpUntil([&] { return low.OpenConnections() == 1; }));
    clients.Connect(1, low.LocalPort());
    ASSERT_TRUE(PumpUntil([&] { return low.OpenConnections() == 2; }));
    clients.Connect(2, low.LocalPort());
    ASSERT_TRUE(PumpUntil([&] { return ended == 1 && low.OpenConnections() == 2; }));
    ASSERT_GE(asked.size(), 4u);
    EXPECT_EQ(asked[0], false);
    EXPECT_EQ(asked.back(), true) << "the third came in for the first";
}

TEST(WinSockError, MapsErrnoToWindowsSocketsCodes) {
    const std::pair<int, int> cases[] = {
        {0, 0},
        {ECONNABORTED, 10053},
        {ECONNRESET, 10054},
        {EPIPE, 10053},
        {ETIMEDOUT, 10060},
        {ECONNREFUSED, 10061},
        {EADDRINUSE, 10048},
        {EMFILE, 10024},
        {ENOBUFS, 10055},
        {EHOSTUNREACH, 10065},
        {ENETUNREACH, 10051},
        {ENOTCONN, 10057},
        {EAGAIN, 10035},
        {EXFULL, 10022}, // no counterpart
    };
    for (const auto& [e, code] : cases)
        EXPECT_EQ(WinSockError(e), code) << e;
}

} // namespace
