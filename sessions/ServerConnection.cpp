#include "sessions/ServerConnection.h"

#include <algorithm>
#include <new>

#include "platform/BlockPool.h"
#include "platform/Clock.h"
#include "sessions/SessionLog.h"

namespace {

std::uint64_t accepted = 0;

// A storm of connections allocates thousands of links at once, and the timers walk them all.
TBlockPool& Links() {
    static TBlockPool pool(sizeof(IpLink));
    return pool;
}

} // namespace

void TServerConnection::TLinkDeleter::operator()(IpLink* link) const {
    Links().Free(link);
}

TServerConnection::TServerConnection(int socket, TServerSocket* server)
    : TServerClientWinSocket(socket, server), LastActivity(MonotonicMs()), AcceptedAt(LastActivity),
      AcceptOrder(++accepted) {
    try {
        Link.reset(static_cast<IpLink*>(Links().Allocate()));
    } catch (const std::bad_alloc&) {
        SessionLog(QStringLiteral("SM: can't create TirmalObj"));
    }
}

TServerConnection::~TServerConnection() = default;

bool TServerConnection::CountStray(std::size_t consumed, std::uint32_t events) {
    if (Authenticated())
        return true;
    const bool authFrame = (events & (LEV_AUTH0 | LEV_AUTH1 | LEV_AUTH2)) &&
                           (Link->RxCtl & 7) == LNK_AUTH; // the frame type is in bits 0-2
    if (!authFrame)
        StrayBytes += int(consumed);
    if (StrayBytes <= StrayAllowance)
        return true;
    SessionLog(QStringLiteral("SM: too much data before authentication, closing connection (IP: %1)")
                   .arg(RemoteAddress()));
    Close();
    return false;
}

void TServerConnection::LogInput(const QString& text) {
    if (Authenticated()) {
        SessionLog(text);
    } else if (LogLines < LineAllowance) {
        ++LogLines;
        SessionLog(text);
    } else {
        ++LogLeftOut;
    }
}

void TServerConnection::LogLeftOutLines() const {
    if (LogLeftOut > 0 || TraceLeftOut > 0)
        SessionLog(
            QStringLiteral("SM: %1 log lines and %2 trace lines left out before authentication (IP: %3)")
                .arg(QString::number(LogLeftOut), QString::number(TraceLeftOut), RemoteAddress()));
}

TServerConnection* TInputTrace::counted_ = nullptr;
TraceSink TInputTrace::forward_ = nullptr;

TInputTrace::TInputTrace(TServerConnection* c) {
    if (c->Authenticated() || counted_)
        return;
    active_ = true;
    counted_ = c;
    forward_ = Trace_GetSink();
    Trace_SetSink(Sink);
}

TInputTrace::~TInputTrace() {
    if (!active_)
        return;
    Trace_SetSink(forward_);
    counted_ = nullptr;
}

// Counts whole lines: a piece is passed on while the connection still has lines left.
void TInputTrace::Sink(const char* text, std::size_t n) {
    const int lines = int(std::count(text, text + n, '\n'));
    if (counted_->TraceLines < TServerConnection::LineAllowance) {
        counted_->TraceLines += lines;
        forward_(text, n);
    } else {
        counted_->TraceLeftOut += lines;
    }
}

TServerConnection* Session(TServerClientWinSocket* socket) {
    return dynamic_cast<TServerConnection*>(socket);
}
