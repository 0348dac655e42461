#include "platform/TcpServer.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

#include <QSocketNotifier>

#include "platform/Application.h"
#include "platform/Descriptors.h"

namespace {

constexpr int ReadChunk = 16 * 1024;
constexpr int EventsPerTurn = 1024; // then let timers and windows have theirs
constexpr int ServedPerAccept = 32; // connections served between two looks at the backlog
constexpr int MadePerTake = 32;     // connections made between two looks at the backlog
// Names the listening socket among the connections' tags, which count up from 1 in their upper half.
constexpr std::uint64_t ListenTag = 0;
constexpr std::uint32_t ReadEvents = EPOLLIN | EPOLLRDHUP;

bool WouldBlock(int e) {
    return e == EAGAIN || e == EWOULDBLOCK || e == EINTR;
}

// Stops watching; the notifier may be the one whose event is running, so it goes later.
void DropNotifier(QSocketNotifier*& notifier) {
    if (!notifier)
        return;
    notifier->setEnabled(false);
    notifier->deleteLater();
    notifier = nullptr;
}

} // namespace

int WinSockError(int e) {
    switch (e) {
    case 0:
        return 0;
    case EINTR:
        return WSAEINTR;
    case EBADF:
        return WSAEBADF;
    case EACCES:
    case EPERM:
        return WSAEACCES;
    case EFAULT:
        return WSAEFAULT;
    case EMFILE:
    case ENFILE:
        return WSAEMFILE;
    case EAGAIN:
        return WSAEWOULDBLOCK;
    case EINPROGRESS:
        return WSAEINPROGRESS;
    case EALREADY:
        return WSAEALREADY;
    case ENOTSOCK:
        return WSAENOTSOCK;
    case EMSGSIZE:
        return WSAEMSGSIZE;
    case EAFNOSUPPORT:
        return WSAEAFNOSUPPORT;
    case EADDRINUSE:
        return WSAEADDRINUSE;
    case EADDRNOTAVAIL:
        return WSAEADDRNOTAVAIL;
    case ENETDOWN:
        return WSAENETDOWN;
    case ENETUNREACH:
        return WSAENETUNREACH;
    case ENETRESET:
        return WSAENETRESET;
    case ECONNABORTED:
    case EPIPE: // writing after the connection ended
        return WSAECONNABORTED;
    case ECONNRESET:
        return WSAECONNRESET;
    case ENOBUFS:
    case ENOMEM:
        return WSAENOBUFS;
    case EISCONN:
        return WSAEISCONN;
    case ENOTCONN:
        return WSAENOTCONN;
    case ESHUTDOWN:
        return WSAESHUTDOWN;
    case ETIMEDOUT:
        return WSAETIMEDOUT;
    case ECONNREFUSED:
        return WSAECONNREFUSED;
    case EHOSTDOWN:
        return WSAEHOSTDOWN;
    case EHOSTUNREACH:
        return WSAEHOSTUNREACH;
    default:
        return WSAEINVAL;
    }
}

// --- one connection ---

// Runs a handler of the client's; a closed client is freed once no handler of it is running.
template <class F> void TServerSocket::Notify(TServerClientWinSocket* client, F&& handler) {
    ++client->handlersRunning_;
    Guarded(handler);
    --client->handlersRunning_;
    if (!client->connected_)
        FreeLater();
}

TServerClientWinSocket::TServerClientWinSocket(int socket, TServerSocket* server)
    : server_(server), fd_(socket) {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    if (getpeername(fd_, reinterpret_cast<sockaddr*>(&peer), &length) == 0 && peer.sin_family == AF_INET) {
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
        remoteAddress_ = QString::fromLatin1(text);
        remotePort_ = ntohs(peer.sin_port);
    }
    ++server_->openConnections_;
    server_->Watch(this);
}

TServerClientWinSocket::~TServerClientWinSocket() {
    Release();
}

void TServerClientWinSocket::Release() {
    connected_ = false;
    if (fd_ < 0)
        return;
    server_->Unwatch(this);
    ::close(fd_);
    fd_ = -1;
    --server_->openConnections_;
    server_->ResumeAccepting(); // there is room again
}

int TServerClientWinSocket::ReceiveBuf(void* buffer, int count) {
    const int n = std::clamp(count, 0, ReceiveLength());
    std::copy_n(received_.constData(), n, static_cast<char*>(buffer));
    received_.remove(0, n);
    return n;
}

QByteArray TServerClientWinSocket::ReceiveText() {
    return std::exchange(received_, QByteArray());
}

int TServerClientWinSocket::SendBuf(const void* buffer, int count) {
    if (!connected_ || sendFailed_ || count < 0 || queued_.size() + qsizetype(count) > SendQueueLimit)
        return -1;
    const char* bytes = static_cast<const char*>(buffer);
    qsizetype sent = 0;
    if (queued_.isEmpty()) {
        const ssize_t n = ::send(fd_, bytes, size_t(count), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && !WouldBlock(errno)) {
            // Reported from the event loop, not from inside the caller's send.
            sendFailed_ = true;
            const int e = errno;
            QMetaObject::invokeMethod(
                this, [this, e] { Fail(eeSend, e); }, Qt::QueuedConnection);
            return -1;
        }
        sent = n < 0 ? 0 : n;
    }
    if (sent < count) {
        queued_.append(bytes + sent, count - sent);
        WatchWrites(true);
    }
    return count;
}

void TServerClientWinSocket::WatchWrites(bool on) {
    if (on == writesWatched_ || tag_ == 0)
        return;
    writesWatched_ = on;
    server_->Watch(fd_, tag_, ReadEvents | (on ? std::uint32_t(EPOLLOUT) : 0u), EPOLL_CTL_MOD);
}

// The readiness the server's epoll instance reported for this connection.
void TServerClientWinSocket::Ready(std::uint32_t events) {
    if (events & (ReadEvents | EPOLLHUP | EPOLLERR))
        Readable(events);
    if (connected_ && (events & EPOLLOUT))
        Writable();
}

void TServerClientWinSocket::Writable() {
    while (!queued_.isEmpty()) {
        const ssize_t n =
            ::send(fd_, queued_.constData(), size_t(queued_.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (!WouldBlock(errno))
                Fail(eeSend, errno);
            return;
        }
        queued_.remove(0, n);
    }
    WatchWrites(false);
}

void TServerClientWinSocket::ReadWaiting() {
    if (connected_)
        Readable(0);
}

void TServerClientWinSocket::Readable(std::uint32_t events) {
    // A peer that has ended its side in order: what it sent before is read, up to the bound of one
    // event, and then the connection ends, so that a flood does not outlive its sender by more. A
    // reset is left for recv to report.
    const bool peerEnded = (events & EPOLLRDHUP) && !(events & EPOLLERR);
    char chunk[ReadChunk];
    int total = 0;
    int error = 0;
    bool ended = false;
    while (total < ReadPerEvent) {
        const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
        if (n > 0) {
            received_.append(chunk, n);
            total += int(n);
            if (size_t(n) < sizeof chunk)
                break; // drained for now; more wakes the notifier again
        } else if (n == 0) {
            ended = true;
            break;
        } else {
            if (!WouldBlock(errno))
                error = errno;
            if (errno != EINTR)
                break;
        }
    }
    if (total > 0)
        server_->Notify(this, [this] {
            if (server_->OnClientRead)
                server_->OnClientRead(this);
        });
    if (!connected_)
        return;
    if (error != 0)
        Fail(eeReceive, error);
    else if (ended || peerEnded)
        Close();
}

void TServerClientWinSocket::Fail(TErrorEvent kind, int errnoValue) {
    if (!connected_)
        return;
    sendFailed_ = sendFailed_ || kind == eeSend;
    int code = WinSockError(errnoValue);
    server_->Notify(this, [&] {
        if (server_->OnClientError)
            server_->OnClientError(this, kind, code);
    });
    if (connected_ && code != 0)
        Close();
}

void TServerClientWinSocket::Close() {
    if (!connected_)
        return;
    if (!queued_.isEmpty()) // one last try; what the system takes still goes out after the close
        ::send(fd_, queued_.constData(), size_t(queued_.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
    Release();
    server_->Notify(this, [this] {
        if (server_->OnClientDisconnect)
            server_->OnClientDisconnect(this);
    });
}

// --- the server ---

TServerSocket::TServerSocket(QObject* owner) : QObject(owner) {
    acceptRetry_.SetEnabled(false);
    acceptRetry_.SetInterval(AcceptRetryMs);
    acceptRetry_.SetOnTimer([this] { ResumeAccepting(); });
}

TServerSocket::~TServerSocket() {
    DropTaken();
    clients_.clear(); // silently: no handler runs during destruction
    DropNotifier(readyNotifier_);
    if (listenFd_ >= 0)
        ::close(listenFd_);
    if (epollFd_ >= 0)
        ::close(epollFd_);
}

bool TServerSocket::SetPort(int port) {
    if (Active() || port < 0 || port > 65535)
        return false;
    port_ = port;
    return true;
}

bool TServerSocket::Open() {
    if (Active())
        return true;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int epoll = fd < 0 ? -1 : ::epoll_create1(EPOLL_CLOEXEC);
    if (epoll < 0) {
        lastError_ = WinSockError(errno);
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(std::uint16_t(port_));
    epollFd_ = epoll;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, SOMAXCONN) != 0 || !Watch(fd, ListenTag, EPOLLIN, EPOLL_CTL_ADD)) {
        lastError_ = WinSockError(errno);
        ::close(fd);
        ::close(epollFd_);
        epollFd_ = -1;
        return false;
    }
    lastError_ = 0;
    listenFd_ = fd;
    readyNotifier_ = new QSocketNotifier(epollFd_, QSocketNotifier::Read, this);
    connect(readyNotifier_, &QSocketNotifier::activated, this, [this] { Ready(); });
    CountDescriptors();
    return true;
}

void TServerSocket::Close() {
    if (!Active())
        return;
    // Each disconnect handler may close others; walk by index over the list as it stands.
    for (std::size_t i = 0; i < clients_.size(); ++i)
        clients_[i]->Close();
    DropTaken();
    DropNotifier(readyNotifier_);
    ::close(listenFd_);
    listenFd_ = -1;
    ::close(epollFd_);
    epollFd_ = -1;
    acceptRetry_.SetEnabled(false);
    acceptPaused_ = false;
}

int TServerSocket::LocalPort() const {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (!Active() || getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 0;
    return ntohs(address.sin_port);
}

TServerClientWinSocket* TServerSocket::Connections(int index) const {
    return index >= 0 && index < ActiveConnections() ? clients_[std::size_t(index)].get() : nullptr;
}

bool TServerSocket::Watch(int fd, std::uint64_t tag, std::uint32_t events, int operation) {
    epoll_event event{};
    event.events = events;
    event.data.u64 = tag;
    return ::epoll_ctl(epollFd_, operation, fd, &event) == 0;
}

// A connection is named by its descriptor and a serial number, so that a readiness reported for one
// that has gone since is not taken for a newer one on the same descriptor.
void TServerSocket::Watch(TServerClientWinSocket* client) {
    const int fd = client->fd_;
    if (epollFd_ < 0 || fd < 0)
        return;
    if (++serial_ == 0)
        serial_ = 1;
    const std::uint64_t tag = std::uint64_t(serial_) << 32 | std::uint32_t(fd);
    if (!Watch(fd, tag, ReadEvents, EPOLL_CTL_ADD))
        return; // never reported ready: the deadlines of its owner end it
    if (watched_.size() <= std::size_t(fd))
        watched_.resize(std::size_t(fd) + 1, nullptr);
    watched_[std::size_t(fd)] = client;
    client->tag_ = tag;
}

void TServerSocket::Unwatch(TServerClientWinSocket* client) {
    if (client->tag_ == 0)
        return;
    const int fd = client->fd_;
    ::epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd, nullptr);
    watched_[std::size_t(fd)] = nullptr;
    client->tag_ = 0;
}

TServerClientWinSocket* TServerSocket::Watched(std::uint64_t tag) const {
    const std::size_t fd = std::uint32_t(tag);
    TServerClientWinSocket* client = fd < watched_.size() ? watched_[fd] : nullptr;
    return client && client->tag_ == tag ? client : nullptr;
}

// One turn: what the epoll instance reports, with a look at the backlog first and again after every
// few connections served.
void TServerSocket::Ready() {
    epoll_event events[EventsPerTurn];
    const int n = Active() ? ::epoll_wait(epollFd_, events, EventsPerTurn, 0) : 0;
    for (int i = 0; i < n && Active(); ++i) {
        if (events[i].data.u64 == ListenTag || i % ServedPerAccept == 0)
            Acceptable();
        if (TServerClientWinSocket* client = Watched(events[i].data.u64))
            client->Ready(events[i].events);
    }
}

// What the program holds besides the connections; when that cannot be told, the last count holds, or
// at first as many as the reserve.
void TServerSocket::CountDescriptors() {
    const int open = OpenDescriptors();
    if (open < 0 && connectionLimit_ > 0)
        return;
    const int others = open < 0 ? DescriptorReserve : open - OpenConnections();
    connectionLimit_ = std::max(0, DescriptorLimit() - others - DescriptorReserve);
}

// Whether the connections have reached the limit, counted again before saying so: the program's own
// descriptors may have changed since the last count.
bool TServerSocket::Full() {
    if (OpenConnections() < connectionLimit_)
        return false;
    CountDescriptors();
    return OpenConnections() >= connectionLimit_;
}

bool TServerSocket::MayAccept() {
    const bool full = Full();
    bool accept = !full;
    if (OnAccepting)
        Guarded([&] { accept = OnAccepting(full); });
    return accept && OpenConnections() < connectionLimit_;
}

// Whether a connection waits in the backlog: the program is asked only for one that does.
bool TServerSocket::Waiting() const {
    pollfd listening{listenFd_, POLLIN, 0};
    return ::poll(&listening, 1, 0) == 1 && (listening.revents & POLLIN);
}

// Takes the connections waiting in the backlog, as long as the program lets them in, without making
// their objects yet: taking one costs a fraction of making it, and the system's backlog holds a few
// thousand at most; in a storm it drops what does not fit, and such a modem tries again only a second
// later.
void TServerSocket::TakeBacklog() {
    while (Active() && !acceptPaused_ && Waiting()) {
        if (!MayAccept()) {
            PauseAccepting();
            return;
        }
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            taken_.push_back(fd);
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return;
        } else if (errno != EINTR && errno != ECONNABORTED) {
            PauseAccepting(); // out of descriptors or memory: retrying at once would spin
            return;
        }
    }
}

// The connections taken are handed to the program in the order they came, a few at a time with the
// backlog taken again in between.
void TServerSocket::Acceptable() {
    TakeBacklog();
    while (Active() && !taken_.empty()) {
        for (int k = 0; k < MadePerTake && Active() && !taken_.empty(); ++k) {
            const int fd = taken_.front();
            taken_.pop_front();
            Accepted(fd);
        }
        TakeBacklog();
    }
}

void TServerSocket::Accepted(int fd) {
    std::unique_ptr<TServerClientWinSocket> client;
    Guarded([&] {
        if (OnGetSocket)
            client = OnGetSocket(fd, this);
    });
    if (!client)
        client = std::make_unique<TServerClientWinSocket>(fd, this);
    TServerClientWinSocket* socket = client.get();
    clients_.push_back(std::move(client));
    Notify(socket, [&] {
        if (OnClientConnect)
            OnClientConnect(socket);
    });
}

// Connections taken and not handed to the program yet end with the server, unannounced.
void TServerSocket::DropTaken() {
    for (const int fd : taken_)
        ::close(fd);
    taken_.clear();
}

void TServerSocket::PauseAccepting() {
    if (acceptPaused_ || !Active())
        return;
    acceptPaused_ = true;
    Watch(listenFd_, ListenTag, 0, EPOLL_CTL_MOD);
    acceptRetry_.SetEnabled(true);
}

void TServerSocket::ResumeAccepting() {
    if (!acceptPaused_ || !Active())
        return;
    acceptPaused_ = false;
    acceptRetry_.SetEnabled(false);
    Watch(listenFd_, ListenTag, EPOLLIN, EPOLL_CTL_MOD);
}

void TServerSocket::FreeLater() {
    if (freePosted_)
        return;
    freePosted_ = true;
    QMetaObject::invokeMethod(
        this, [this] { FreeClosed(); }, Qt::QueuedConnection);
}

void TServerSocket::FreeClosed() {
    freePosted_ = false;
    std::erase_if(clients_, [](const auto& c) { return !c->connected_ && c->handlersRunning_ == 0; });
}
