// One accepted modem connection: the server's client socket with the session's own state, the link
// context of the modem link protocol above all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include <QByteArray>
#include <QString>

#include "platform/TcpServer.h"
#include "protocol/tmgsm.h"

class TServerConnection : public TServerClientWinSocket {
public:
    // Allocates the link from the links' pool, uncleared: TMGSM_InitIp clears it before anything reads
    // it. When that fails, Link stays null and the failure is logged.
    TServerConnection(int socket, TServerSocket* server);
    ~TServerConnection() override;

    // Monotonic milliseconds of the last received block or of the last idle poll.
    std::int64_t LastActivity;
    // The object the connection is bound to; -1 while unbound. The session manager indexes it: set
    // it through TConnectionForm::SetObjectNumber.
    std::int32_t ObjectNumber = -1;
    // False only when the modem authenticated with the factory key.
    bool AuthFlag = false;
    // Null if it could not be allocated; never changes during the connection.
    struct TLinkDeleter {
        void operator()(IpLink* link) const;
    };
    std::unique_ptr<IpLink, TLinkDeleter> Link;
    // Request bits for the next command frame.
    std::uint32_t PendingCommands = 0;
    // The profile a profile write sends; the profile editor's, never freed here.
    ObjProfile* ProfileData = nullptr;

    // The modem ID of the AUTH that bound the connection, -1 while unbound. Later frame headers may
    // carry another ID; only this one decides which object the session serves.
    std::int32_t BoundModemId = -1;
    // Received bytes that the link has no room for yet.
    QByteArray Unread;
    // The received bytes are being handed to the link (a nested event loop must not start over).
    bool Feeding = false;

    // Connected, with a link: the walks over the connections pass over every other one.
    bool Usable() const { return Connected() && Link != nullptr; }

    // A modem has authenticated on it (and it stays so when a newer connection takes the object).
    bool Authenticated() const { return BoundModemId >= 0; }

    // A real modem sends its AUTH as soon as it connects, so what comes before authentication is not
    // served at length: a connection has a deadline from its accept to authenticate (the session
    // manager's), StrayAllowance bytes that are not an AUTH frame, and LineAllowance log lines and as
    // many trace lines from its input.
    static constexpr int StrayAllowance = 1024;
    static constexpr int LineAllowance = 10;
    const std::int64_t AcceptedAt;
    // Counts the connections in the order they were accepted, which is the order of the server's list.
    const std::uint64_t AcceptOrder;
    int StrayBytes = 0;
    int LogLines = 0, LogLeftOut = 0;
    int TraceLines = 0, TraceLeftOut = 0;

    // Counts what the link took off its buffer in one call that gave these events: before
    // authentication, every byte but those of an AUTH frame. Past the allowance the connection is
    // closed with a line of its own; false then.
    bool CountStray(std::size_t consumed, std::uint32_t events);
    // Logs a line that its input caused: every one once authenticated, before that the first
    // LineAllowance; the rest are only counted.
    void LogInput(const QString& text);
    // One line telling what was left out, if anything was; for the end of the connection.
    void LogLeftOutLines() const;
};

// While it lives, the protocol library's trace output counts against the allowance of a connection
// that has not authenticated; nothing happens for one that has. Only around library calls that cannot
// reach the event loop: the trace sink is one for all connections. A second one while the first lives
// does nothing.
class TInputTrace {
public:
    explicit TInputTrace(TServerConnection* c);
    ~TInputTrace();
    TInputTrace(const TInputTrace&) = delete;
    TInputTrace& operator=(const TInputTrace&) = delete;

private:
    static void Sink(const char* text, std::size_t n);
    static TServerConnection* counted_;
    static TraceSink forward_;
    bool active_ = false;
};

// The session object of a client socket; null for a plain socket made when creating one failed.
TServerConnection* Session(TServerClientWinSocket* socket);
