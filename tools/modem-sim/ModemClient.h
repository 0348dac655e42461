// Runs simulated modems over TCP: plain POSIX non-blocking sockets, many connections watched by one
// epoll instance, so that ten thousand of them cost the loop no more per event than ten.
//
//     modemsim::ModemPool pool("127.0.0.1", port);
//     for (uint16_t id = 1; id <= 100; ++id) { cfg.id = id; pool.Add(cfg); }
//     pool.OpenAll();
//     bool ok = pool.RunUntil([&] { return pool.CountReady() == pool.Size(); }, 5000);
//
// Each modem gets its own connection; when it is established the modem's Connect() queues the AUTH.
// A round costs the modems that had socket activity or were reached through Modem(); the timers of
// all of them run every TickMs.
// A connection that the router closes (or that fails) is closed here and the modem's Disconnect()
// called; with a reconnect delay set it is opened again after that delay. The pool's clock is the
// monotonic clock in milliseconds. Single-threaded; the pool owns its modems and sockets.
#pragma once

#include "tools/modem-sim/ModemSim.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace modemsim {

// Milliseconds of the monotonic clock.
uint32_t MonotonicMs();

class ModemPool {
public:
    // host: a numeric IPv4 or IPv6 address, or "localhost".
    ModemPool(std::string host, uint16_t port);
    ~ModemPool();
    ModemPool(const ModemPool&) = delete;
    ModemPool& operator=(const ModemPool&) = delete;

    // Adds a modem (not yet connected); returns its index.
    size_t Add(const ModemConfig& config);
    size_t Size() const { return entries_.size(); }
    // The modem may be changed through it: what it then has to send goes out in the next round.
    ModemSim& Modem(size_t i) {
        Touch(*entries_[i]);
        return *entries_[i]->modem;
    }

    // The connections' own addresses (numeric, of the host's family), taken in turn, each connection
    // with a port of its own on its address; none (the default): the system chooses. Beyond some 14 000
    // connections from one address to one port the system's search for a free port slows every connect.
    void SetSourceAddresses(std::vector<std::string> addresses) { sources_ = std::move(addresses); }

    // Delay before a closed connection is opened again; 0 (the default): it stays closed.
    void SetReconnectMs(uint32_t ms) { reconnectMs_ = ms; }

    void Open(size_t i);
    void OpenAll();
    void Close(size_t i);
    bool IsOpen(size_t i) const; // connecting or connected
    bool IsConnected(size_t i) const;
    // Connections that ended (closed by the router, refused or failed) since the pool started.
    uint32_t ClosedCount() const { return closed_; }
    size_t CountReady() const; // modems in LinkState::Ready
    size_t CountOpen() const;

    // One round: waits at most timeoutMs for socket activity, moves bytes both ways, and every
    // TickMs runs the modems' timers and the reconnects that are due.
    void Poll(int timeoutMs);
    static constexpr uint32_t TickMs = 10;
    // Rounds until done() is true or limitMs have passed; returns done().
    bool RunUntil(const std::function<bool()>& done, uint32_t limitMs);

    // Last error of a connection attempt or socket, as text ("" when none).
    const std::string& LastError() const { return lastError_; }

private:
    enum class Conn : uint8_t { Closed, Connecting, Connected };
    struct Entry {
        std::unique_ptr<ModemSim> modem;
        int fd = -1;
        Conn conn = Conn::Closed;
        bool reconnect = false;
        uint32_t reconnectAt = 0;
        bool writesWatched = false;
        bool ready = false;   // as counted in ready_
        bool touched = false; // in touched_
    };

    // Watches for writability too while the connect is in progress or output waits.
    void Watch(Entry& e);
    void Drop(Entry& e, const char* what, int err);
    void Flush(Entry& e);
    void ReadFrom(Entry& e, uint32_t now);
    void Finish(Entry& e, uint32_t now);
    // The modem may have something to send or may have changed its state.
    void Touch(Entry& e);
    void Settle(Entry& e);

    // Binds the new socket to the next source address; false (and the error noted) when it cannot.
    bool BindSource(Entry& e);

    std::string host_;
    uint16_t port_;
    std::vector<std::string> sources_;
    size_t nextSource_ = 0;
    int epoll_ = -1;
    uint32_t ticked_ = 0;
    size_t ready_ = 0; // modems Ready as of their last Settle
    std::vector<Entry*> touched_;
    uint32_t reconnectMs_ = 0;
    uint32_t closed_ = 0;
    std::string lastError_;
    std::vector<std::unique_ptr<Entry>> entries_;
};

} // namespace modemsim
