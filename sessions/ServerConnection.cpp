#include "sessions/ServerConnection.h"

#include <new>

#include "platform/Clock.h"
#include "sessions/SessionLog.h"

TServerConnection::TServerConnection(int socket, TServerSocket* server)
    : TServerClientWinSocket(socket, server), LastActivity(MonotonicMs()) {
    try {
        Link = std::make_unique<IpLink>();
    } catch (const std::bad_alloc&) {
        SessionLog(QStringLiteral("SM: can't create TirmalObj"));
    }
}

TServerConnection::~TServerConnection() = default;

TServerConnection* Session(TServerClientWinSocket* socket) {
    return dynamic_cast<TServerConnection*>(socket);
}
