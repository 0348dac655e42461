#include "tools/modem-sim/ModemClient.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

namespace modemsim {

uint32_t MonotonicMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint32_t(uint64_t(ts.tv_sec) * 1000 + uint64_t(ts.tv_nsec) / 1000000);
}

namespace {

// Fills addr from a numeric address or "localhost"; returns its length, 0 when the host is not valid.
socklen_t MakeAddress(const std::string& host, uint16_t port, sockaddr_storage* addr) {
    memset(addr, 0, sizeof *addr);
    const std::string name = host == "localhost" ? "127.0.0.1" : host;
    auto* v4 = reinterpret_cast<sockaddr_in*>(addr);
    if (inet_pton(AF_INET, name.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        return sizeof *v4;
    }
    auto* v6 = reinterpret_cast<sockaddr_in6*>(addr);
    if (inet_pton(AF_INET6, name.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        return sizeof *v6;
    }
    return 0;
}

} // namespace

ModemPool::ModemPool(std::string host, uint16_t port) : host_(std::move(host)), port_(port) {}

ModemPool::~ModemPool() {
    for (auto& e : entries_)
        if (e->fd >= 0)
            close(e->fd);
}

size_t ModemPool::Add(const ModemConfig& config) {
    auto e = std::make_unique<Entry>();
    e->modem = std::make_unique<ModemSim>(config);
    entries_.push_back(std::move(e));
    return entries_.size() - 1;
}

void ModemPool::Open(size_t i) {
    Entry& e = *entries_[i];
    if (e.conn != Conn::Closed)
        return;
    e.reconnect = false;
    sockaddr_storage addr;
    const socklen_t len = MakeAddress(host_, port_, &addr);
    if (!len) {
        lastError_ = "bad address: " + host_;
        ++closed_;
        return;
    }
    e.fd = socket(addr.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (e.fd < 0) {
        Drop(e, "socket", errno);
        return;
    }
    const int one = 1;
    setsockopt(e.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (connect(e.fd, reinterpret_cast<sockaddr*>(&addr), len) == 0) {
        e.conn = Conn::Connected;
        e.modem->Connect(MonotonicMs());
        Flush(e);
    } else if (errno == EINPROGRESS) {
        e.conn = Conn::Connecting;
    } else {
        Drop(e, "connect", errno);
    }
}

void ModemPool::OpenAll() {
    for (size_t i = 0; i < entries_.size(); ++i)
        Open(i);
}

void ModemPool::Close(size_t i) {
    Entry& e = *entries_[i];
    if (e.fd >= 0)
        close(e.fd);
    e.fd = -1;
    e.conn = Conn::Closed;
    e.reconnect = false;
    e.modem->Disconnect();
}

bool ModemPool::IsOpen(size_t i) const {
    return entries_[i]->conn != Conn::Closed;
}

bool ModemPool::IsConnected(size_t i) const {
    return entries_[i]->conn == Conn::Connected;
}

size_t ModemPool::CountReady() const {
    size_t n = 0;
    for (const auto& e : entries_)
        n += e->modem->State() == LinkState::Ready;
    return n;
}

size_t ModemPool::CountOpen() const {
    size_t n = 0;
    for (const auto& e : entries_)
        n += e->conn != Conn::Closed;
    return n;
}

// A connection ended by the peer or by an error: close it and plan the reconnect.
void ModemPool::Drop(Entry& e, const char* what, int err) {
    if (err)
        lastError_ = std::string(what) + ": " + strerror(err);
    if (e.fd >= 0)
        close(e.fd);
    e.fd = -1;
    e.conn = Conn::Closed;
    e.modem->Disconnect();
    ++closed_;
    if (reconnectMs_) {
        e.reconnect = true;
        e.reconnectAt = MonotonicMs() + reconnectMs_;
    }
}

void ModemPool::Flush(Entry& e) {
    ModemSim& m = *e.modem;
    while (e.conn == Conn::Connected && m.OutputSize() > 0) {
        const ssize_t n = send(e.fd, m.OutputData(), m.OutputSize(), MSG_NOSIGNAL);
        if (n > 0) {
            m.ConsumeOutput(size_t(n));
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return; // the rest waits for POLLOUT
        } else if (n < 0 && errno != EINTR) {
            Drop(e, "send", errno);
        }
    }
}

void ModemPool::ReadFrom(Entry& e, uint32_t now) {
    uint8_t buf[4096];
    for (;;) {
        const ssize_t n = recv(e.fd, buf, sizeof buf, 0);
        if (n > 0) {
            e.modem->Feed(buf, size_t(n), now);
            continue;
        }
        if (n == 0)
            Drop(e, "closed", 0);
        else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            Drop(e, "recv", errno);
        return;
    }
}

// The non-blocking connect completed, one way or the other.
void ModemPool::Finish(Entry& e, uint32_t now) {
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(e.fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0)
        err = errno;
    if (err) {
        Drop(e, "connect", err);
        return;
    }
    e.conn = Conn::Connected;
    e.modem->Connect(now);
}

void ModemPool::Poll(int timeoutMs) {
    std::vector<pollfd> fds;
    std::vector<Entry*> owners;
    fds.reserve(entries_.size());
    owners.reserve(entries_.size());
    for (auto& e : entries_) {
        if (e->conn == Conn::Closed)
            continue;
        short events = POLLIN;
        if (e->conn == Conn::Connecting || e->modem->OutputSize() > 0)
            events |= POLLOUT;
        fds.push_back(pollfd{e->fd, events, 0});
        owners.push_back(e.get());
    }
    if (poll(fds.data(), fds.size(), timeoutMs) < 0 && errno != EINTR) {
        lastError_ = std::string("poll: ") + strerror(errno);
        return;
    }
    const uint32_t now = MonotonicMs();
    for (size_t k = 0; k < fds.size(); ++k) {
        Entry& e = *owners[k];
        const short rev = fds[k].revents;
        if (e.conn == Conn::Connecting) {
            if (rev)
                Finish(e, now);
        } else if (rev & (POLLIN | POLLHUP | POLLERR)) {
            ReadFrom(e, now);
        }
    }
    for (auto& e : entries_) {
        if (e->conn == Conn::Closed) {
            if (e->reconnect && int32_t(now - e->reconnectAt) >= 0)
                Open(size_t(&e - entries_.data()));
            continue;
        }
        if (e->conn == Conn::Connected) {
            e->modem->Tick(now);
            Flush(*e);
        }
    }
}

bool ModemPool::RunUntil(const std::function<bool()>& done, uint32_t limitMs) {
    const uint32_t start = MonotonicMs();
    while (!done()) {
        if (MonotonicMs() - start >= limitMs)
            return false;
        Poll(10);
    }
    return true;
}

} // namespace modemsim
