// One accepted modem connection: the server's client socket with the session's own state, the link
// context of the modem link protocol above all.
#pragma once

#include <cstdint>
#include <memory>

#include <QByteArray>

#include "platform/TcpServer.h"
#include "protocol/tmgsm.h"

class TServerConnection : public TServerClientWinSocket {
public:
    // Allocates the link; when that fails, Link stays null and the failure is logged.
    TServerConnection(int socket, TServerSocket* server);
    ~TServerConnection() override;

    // Monotonic milliseconds of the last received block or of the last idle poll.
    std::int64_t LastActivity;
    // The object the connection is bound to; -1 while unbound.
    std::int32_t ObjectNumber = -1;
    // False only when the modem authenticated with the factory key.
    bool AuthFlag = false;
    // Null if it could not be allocated; never changes during the connection.
    std::unique_ptr<IpLink> Link;
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
};

// The session object of a client socket; null for a plain socket made when creating one failed.
TServerConnection* Session(TServerClientWinSocket* socket);
