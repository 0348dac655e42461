// Stands in for the framework's non-blocking TServerSocket and its client sockets
// (TServerClientWinSocket), over POSIX sockets. The server watches the listening socket and all its
// connections through one epoll instance behind a single QSocketNotifier, so that accepting, reading
// and closing cost the same at ten thousand connections as at ten.
//
// Events, all on the main thread and from the event loop:
//   OnGetSocket         makes the object for an accepted connection (null: a plain one is used);
//   OnClientConnect     once, right after the accept;
//   OnClientRead        bytes have arrived; ReceiveText/ReceiveBuf take them;
//   OnClientError       (kind, Windows Sockets code by reference); a code the handler leaves
//                       non-zero closes the connection; a broken connection left open ends when the
//                       next read finds its end;
//   OnClientDisconnect  exactly once per connection, whoever closes it: the peer, Close(), the server's
//                       Close(), or an error. Once the peer has ended its side, what it sent before
//                       is read up to ReadPerEvent bytes, the rest dropped, and the connection ends.
// After its disconnect event a connection raises no event and SendBuf refuses; it stays in the list
// (Connected() false) until the event loop comes round again with no handler of it running, and is
// then freed, so index walks that close connections reach every one. After Close() of the server no
// event is raised at all. Destroying the server closes everything silently.
// Accepting takes the whole backlog at once, as long as there is room: the server never takes more
// connections than ConnectionLimit, which leaves DescriptorReserve descriptors free for the program's
// own files, threads and serial ports, and the program may hold new connections back (OnAccepting).
// Held back, or after a failed accept (descriptor limit, memory), accepting pauses instead of spinning:
// it resumes when a connection ends, on ResumeAccepting, and every AcceptRetryMs.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

#include <QByteArray>
#include <QObject>
#include <QString>

#include "platform/Timer.h"

class QSocketNotifier;
class TServerSocket;

enum TErrorEvent { eeGeneral = 0, eeSend = 1, eeReceive = 2, eeConnect = 3, eeDisconnect = 4, eeAccept = 5 };

// Windows Sockets error codes.
inline constexpr int WSAEINTR = 10004;
inline constexpr int WSAEBADF = 10009;
inline constexpr int WSAEACCES = 10013;
inline constexpr int WSAEFAULT = 10014;
inline constexpr int WSAEINVAL = 10022;
inline constexpr int WSAEMFILE = 10024;
inline constexpr int WSAEWOULDBLOCK = 10035;
inline constexpr int WSAEINPROGRESS = 10036;
inline constexpr int WSAEALREADY = 10037;
inline constexpr int WSAENOTSOCK = 10038;
inline constexpr int WSAEMSGSIZE = 10040;
inline constexpr int WSAEAFNOSUPPORT = 10047;
inline constexpr int WSAEADDRINUSE = 10048;
inline constexpr int WSAEADDRNOTAVAIL = 10049;
inline constexpr int WSAENETDOWN = 10050;
inline constexpr int WSAENETUNREACH = 10051;
inline constexpr int WSAENETRESET = 10052;
inline constexpr int WSAECONNABORTED = 10053;
inline constexpr int WSAECONNRESET = 10054;
inline constexpr int WSAENOBUFS = 10055;
inline constexpr int WSAEISCONN = 10056;
inline constexpr int WSAENOTCONN = 10057;
inline constexpr int WSAESHUTDOWN = 10058;
inline constexpr int WSAETIMEDOUT = 10060;
inline constexpr int WSAECONNREFUSED = 10061;
inline constexpr int WSAEHOSTDOWN = 10064;
inline constexpr int WSAEHOSTUNREACH = 10065;

// The Windows Sockets code for an errno value; an errno without a counterpart gives WSAEINVAL.
int WinSockError(int errnoValue);

class TServerClientWinSocket : public QObject {
public:
    TServerClientWinSocket(int socket, TServerSocket* server);
    ~TServerClientWinSocket() override;

    int SocketHandle() const { return fd_; }
    bool Connected() const { return connected_; }
    TServerSocket* Server() const { return server_; }
    QString RemoteAddress() const { return remoteAddress_; } // "a.b.c.d"
    int RemotePort() const { return remotePort_; }

    // Bytes received and not yet taken.
    int ReceiveLength() const { return int(received_.size()); }
    int ReceiveBuf(void* buffer, int count);
    QByteArray ReceiveText();

    // Takes all count bytes or none: what the system does not take at once is queued (at most
    // SendQueueLimit bytes in all) and written as the peer reads. Returns count, or -1 when the
    // connection is closed, has failed, or the queue would overflow.
    int SendBuf(const void* buffer, int count);
    int SendQueued() const { return int(queued_.size()); }

    // Raises the disconnect event (at most once); the server frees the object later.
    void Close();
    // Reads what waits in the socket now, as when the server finds it readable (the read event, or
    // the end of the connection), so that the program can know what a connection sent before it
    // decides about it.
    void ReadWaiting();

    static constexpr int SendQueueLimit = 8 << 20;
    // Read from one connection for one readiness, before the others have their turn.
    static constexpr int ReadPerEvent = 64 * 1024;

private:
    friend class TServerSocket;
    void Ready(std::uint32_t events);
    void Readable(std::uint32_t events);
    void Writable();
    void WatchWrites(bool on);
    void Fail(TErrorEvent kind, int errnoValue);
    void Release();

    TServerSocket* server_;
    int fd_;
    bool connected_ = true;
    bool sendFailed_ = false;
    int handlersRunning_ = 0;
    QString remoteAddress_;
    int remotePort_ = 0;
    QByteArray received_;
    QByteArray queued_;
    std::uint64_t tag_ = 0; // how the server's epoll instance names it; 0 while not watched
    bool writesWatched_ = false;
};

class TServerSocket : public QObject {
public:
    explicit TServerSocket(QObject* owner = nullptr);
    ~TServerSocket() override;

    int Port() const { return port_; }
    bool SetPort(int port); // refused while the server is active
    bool Active() const { return listenFd_ >= 0; }
    // Listens on every interface; false with LastError() set when that fails.
    bool Open();
    void Close();
    int LastError() const { return lastError_; }
    int LocalPort() const; // the port listened on, also when Port is 0
    bool AcceptPaused() const { return acceptPaused_; }

    int ActiveConnections() const { return int(clients_.size()); }
    TServerClientWinSocket* Connections(int index) const;

    // How many connections the descriptors leave room for: the soft limit of open files less what the
    // program holds besides the connections and DescriptorReserve. Counted when the server opens and
    // again each time the connections reach it.
    int ConnectionLimit() const { return connectionLimit_; }
    // Connections that hold a descriptor (one closed and not yet freed holds none), those taken from
    // the backlog and not yet handed to the program included.
    int OpenConnections() const { return openConnections_ + TakenConnections(); }
    // Connections taken from the backlog and not yet handed to the program (OnGetSocket,
    // OnClientConnect), which follows within the same turn of the loop.
    int TakenConnections() const { return int(taken_.size()); }
    // Accepting paused is taken up again at the next turn of the loop.
    void ResumeAccepting();

    std::function<std::unique_ptr<TServerClientWinSocket>(int socket, TServerSocket* server)> OnGetSocket;
    std::function<void(TServerClientWinSocket* socket)> OnClientConnect;
    std::function<void(TServerClientWinSocket* socket)> OnClientRead;
    std::function<void(TServerClientWinSocket* socket, TErrorEvent kind, int& code)> OnClientError;
    std::function<void(TServerClientWinSocket* socket)> OnClientDisconnect;
    // Asked before each accept of a connection waiting in the backlog; full: ConnectionLimit is reached, so
    // only closing a connection makes room. False, or no room made, leaves the connection waiting in the
    // backlog and pauses accepting. Without a handler the server accepts while it has room.
    std::function<bool(bool full)> OnAccepting;

    static constexpr int AcceptRetryMs = 1000;
    static constexpr int DescriptorReserve = 128;

private:
    friend class TServerClientWinSocket;
    template <class F> void Notify(TServerClientWinSocket* client, F&& handler);
    void Ready();
    bool Watch(int fd, std::uint64_t tag, std::uint32_t events, int operation);
    void Watch(TServerClientWinSocket* client);
    void Unwatch(TServerClientWinSocket* client);
    TServerClientWinSocket* Watched(std::uint64_t tag) const;
    bool Full();
    void CountDescriptors();
    bool Waiting() const;
    bool MayAccept();
    void TakeBacklog();
    void Acceptable();
    void DropTaken();
    void Accepted(int fd);
    void PauseAccepting();
    void FreeLater();
    void FreeClosed();

    int port_ = 0;
    int listenFd_ = -1;
    int epollFd_ = -1;
    int lastError_ = 0;
    bool acceptPaused_ = false;
    bool freePosted_ = false;
    int connectionLimit_ = 0;
    int openConnections_ = 0;
    std::uint32_t serial_ = 0;
    QSocketNotifier* readyNotifier_ = nullptr;
    TTimer acceptRetry_;
    std::vector<std::unique_ptr<TServerClientWinSocket>> clients_;
    std::vector<TServerClientWinSocket*> watched_; // by descriptor
    std::deque<int> taken_;
};
