#include "tools/modem-sim/ModemClient.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
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

ModemPool::ModemPool(std::string host, uint16_t port)
    : host_(std::move(host)), port_(port), epoll_(epoll_create1(EPOLL_CLOEXEC)) {}

ModemPool::~ModemPool() {
    for (auto& e : entries_)
        if (e->fd >= 0)
            close(e->fd);
    if (epoll_ >= 0)
        close(epoll_);
}

void ModemPool::Watch(Entry& e) {
    const bool writes = e.conn == Conn::Connecting || e.modem->OutputSize() > 0;
    if (writes == e.writesWatched)
        return;
    epoll_event event{};
    event.events = EPOLLIN | (writes ? std::uint32_t(EPOLLOUT) : 0u);
    event.data.ptr = &e;
    epoll_ctl(epoll_, EPOLL_CTL_MOD, e.fd, &event);
    e.writesWatched = writes;
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
    Touch(e);
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
    if (!BindSource(e))
        return;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.ptr = &e;
    if (epoll_ctl(epoll_, EPOLL_CTL_ADD, e.fd, &event) != 0) {
        Drop(e, "epoll_ctl", errno);
        return;
    }
    e.writesWatched = false;
    if (connect(e.fd, reinterpret_cast<sockaddr*>(&addr), len) == 0) {
        e.conn = Conn::Connected;
        e.modem->Connect(MonotonicMs());
        Flush(e);
    } else if (errno == EINPROGRESS) {
        e.conn = Conn::Connecting;
        Watch(e);
    } else {
        Drop(e, "connect", errno);
    }
}

bool ModemPool::BindSource(Entry& e) {
    if (sources_.empty())
        return true;
    const std::string& source = sources_[nextSource_++ % sources_.size()];
    sockaddr_storage addr;
    const socklen_t len = MakeAddress(source, 0, &addr);
    if (!len) {
        Drop(e, ("bad source address " + source).c_str(), EINVAL);
        return false;
    }
    // The port is chosen at the connect, among those free for this address and the router's.
    const int one = 1;
    setsockopt(e.fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
    if (bind(e.fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
        Drop(e, ("bind " + source).c_str(), errno);
        return false;
    }
    return true;
}

void ModemPool::OpenAll() {
    for (size_t i = 0; i < entries_.size(); ++i)
        Open(i);
}

void ModemPool::Close(size_t i) {
    Entry& e = *entries_[i];
    Touch(e);
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
    size_t n = ready_;
    for (const Entry* e : touched_)
        n = n - e->ready + (e->modem->State() == LinkState::Ready);
    return n;
}

void ModemPool::Touch(Entry& e) {
    if (!e.touched) {
        e.touched = true;
        touched_.push_back(&e);
    }
}

void ModemPool::Settle(Entry& e) {
    if (e.conn == Conn::Connected)
        Flush(e);
    const bool ready = e.modem->State() == LinkState::Ready;
    ready_ = ready_ - e.ready + ready;
    e.ready = ready;
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
    Touch(e);
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
            break; // the rest waits until the socket is writable
        } else if (n < 0 && errno != EINTR) {
            Drop(e, "send", errno);
        }
    }
    if (e.conn != Conn::Closed)
        Watch(e);
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
    epoll_event events[256];
    const int n = epoll_wait(epoll_, events, 256, timeoutMs);
    if (n < 0 && errno != EINTR) {
        lastError_ = std::string("epoll_wait: ") + strerror(errno);
        return;
    }
    const uint32_t now = MonotonicMs();
    for (int k = 0; k < n; ++k) {
        Entry& e = *static_cast<Entry*>(events[k].data.ptr);
        if (e.conn == Conn::Connecting)
            Finish(e, now);
        else if (e.conn == Conn::Connected && (events[k].events & (EPOLLIN | EPOLLHUP | EPOLLERR)))
            ReadFrom(e, now);
        Touch(e);
    }
    if (now - ticked_ >= TickMs) {
        ticked_ = now;
        for (auto& e : entries_) {
            if (e->conn == Conn::Closed) {
                if (e->reconnect && int32_t(now - e->reconnectAt) >= 0)
                    Open(size_t(&e - entries_.data()));
            } else if (e->conn == Conn::Connected) {
                e->modem->Tick(now);
                Settle(*e);
            }
        }
    }
    // Settling may touch a modem again (one whose send failed is dropped): it is settled once more.
    for (size_t k = 0; k < touched_.size(); ++k) {
        touched_[k]->touched = false;
        Settle(*touched_[k]);
    }
    touched_.clear();
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
