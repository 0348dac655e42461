#include "platform/TcpServer.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

#include <QSocketNotifier>

#include "platform/Application.h"

namespace {

constexpr int ReadChunk = 16 * 1024;
constexpr int ReadPerEvent = 64 * 1024; // then let other connections have their turn
constexpr int AcceptsPerEvent = 64;

bool WouldBlock(int e) {
    return e == EAGAIN || e == EWOULDBLOCK || e == EINTR;
}

QSocketNotifier* Watch(int fd, QSocketNotifier::Type type, QObject* owner, std::function<void()> handler) {
    auto* notifier = new QSocketNotifier(fd, type, owner);
    QObject::connect(notifier, &QSocketNotifier::activated, owner,
                     [handler = std::move(handler)] { handler(); });
    return notifier;
}

// Stops watching; the notifier may be the one whose event is running, so it goes later.
void Unwatch(QSocketNotifier*& notifier) {
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
    readNotifier_ = Watch(fd_, QSocketNotifier::Read, this, [this] { Readable(); });
    writeNotifier_ = Watch(fd_, QSocketNotifier::Write, this, [this] { Writable(); });
    writeNotifier_->setEnabled(false);
}

TServerClientWinSocket::~TServerClientWinSocket() {
    Release();
}

void TServerClientWinSocket::Release() {
    connected_ = false;
    Unwatch(readNotifier_);
    Unwatch(writeNotifier_);
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
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
        writeNotifier_->setEnabled(true);
    }
    return count;
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
    writeNotifier_->setEnabled(false);
}

// The peer has ended its side in order (a reset is left for recv to report).
bool TServerClientWinSocket::PeerEnded() const {
    pollfd p{fd_, POLLRDHUP, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLRDHUP) && !(p.revents & POLLERR);
}

void TServerClientWinSocket::Readable() {
    // What a peer that has gone left queued is not read: a flood must not outlive its sender.
    if (PeerEnded()) {
        Close();
        return;
    }
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
    else if (ended)
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
    acceptRetry_.SetOnTimer([this] {
        acceptRetry_.SetEnabled(false);
        acceptPaused_ = false;
        if (acceptNotifier_)
            acceptNotifier_->setEnabled(true);
    });
}

TServerSocket::~TServerSocket() {
    clients_.clear(); // silently: no handler runs during destruction
    Unwatch(acceptNotifier_);
    if (listenFd_ >= 0)
        ::close(listenFd_);
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
    if (fd < 0) {
        lastError_ = WinSockError(errno);
        return false;
    }
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(std::uint16_t(port_));
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, SOMAXCONN) != 0) {
        lastError_ = WinSockError(errno);
        ::close(fd);
        return false;
    }
    lastError_ = 0;
    listenFd_ = fd;
    acceptNotifier_ = Watch(fd, QSocketNotifier::Read, this, [this] { Acceptable(); });
    return true;
}

void TServerSocket::Close() {
    if (!Active())
        return;
    // Each disconnect handler may close others; walk by index over the list as it stands.
    for (std::size_t i = 0; i < clients_.size(); ++i)
        clients_[i]->Close();
    Unwatch(acceptNotifier_);
    ::close(listenFd_);
    listenFd_ = -1;
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

void TServerSocket::Acceptable() {
    for (int i = 0; i < AcceptsPerEvent && Active(); ++i) {
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            Accepted(fd);
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return;
        } else if (errno != EINTR && errno != ECONNABORTED) {
            PauseAccepting(); // out of descriptors or memory: retrying at once would spin
            return;
        }
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

void TServerSocket::PauseAccepting() {
    acceptPaused_ = true;
    acceptNotifier_->setEnabled(false);
    acceptRetry_.SetEnabled(true);
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
