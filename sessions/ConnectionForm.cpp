// The server and the connections' lifecycle: opening and closing, accepting, ending, socket errors, and
// the clean-ups that close connections whose binding is no longer valid.
#include "sessions/ConnectionForm.h"

#include <algorithm>
#include <cassert>
#include <iterator>
#include <new>

#include <QListWidget>
#include <QPushButton>

#include "core/MainForm.h"
#include "core/ObjectRegistry.h"
#include "core/Settings.h"
#include "dialogs/ObjSettingsDialog.h"
#include "platform/Clock.h"
#include "sessions/ServerConnection.h"
#include "sessions/SessionLog.h"
#include "sessions/VirtualPorts.h"

TConnectionForm* ConnectionForm = nullptr;

namespace {

std::uint32_t LinkSeconds() {
    return std::uint32_t(MonotonicMs() / 1000);
}

QString ErrorEventText(TErrorEvent kind) {
    switch (kind) {
    case eeGeneral:
        return QStringLiteral("(general error)");
    case eeSend:
        return QStringLiteral("while sending data");
    case eeReceive:
        return QStringLiteral("while receiving data");
    case eeConnect:
        return QStringLiteral("while completing a request");
    case eeDisconnect:
        return QStringLiteral("while closing a connection");
    case eeAccept:
        return QStringLiteral("while accepting a request");
    }
    return {};
}

// Whether what the link holds can still become an AUTH frame: it begins as one, with nothing stray
// before it.
bool AuthOnItsWay(const TServerConnection* c) {
    const IpLink* link = c->Link.get();
    if (!link || c->StrayBytes > 0 || link->RxLen == 0)
        return false;
    const std::uint8_t* b = link->RxBuf;
    const int n = link->RxLen;
    return b[0] == 0x55 && (n < 2 || b[1] == 0xAA) && (n < 6 || (b[5] & 7) == LNK_AUTH);
}

} // namespace

TConnectionForm::TConnectionForm(QWidget* owner) : TForm(owner) {
    setObjectName(QStringLiteral("ConnectionForm"));
    SetCaption(QStringLiteral("Connection"));
    Button1 = new QPushButton(QStringLiteral("Connect"), this);
    Button1->setObjectName(QStringLiteral("Button1"));
    ListBox1 = new QListWidget(this);
    ListBox1->setObjectName(QStringLiteral("ListBox1"));

    // The link layer measures the acknowledgement time-out on the same monotonic clock as the timers.
    TMGSM_SetLinkClock(LinkSeconds);

    ServerSocket.OnGetSocket = [this](int socket, TServerSocket* server) {
        return ServerSocketGetSocket(socket, server);
    };
    ServerSocket.OnClientConnect = [this](TServerClientWinSocket* s) { ServerSocketClientConnect(s); };
    ServerSocket.OnClientDisconnect = [this](TServerClientWinSocket* s) { ServerSocketClientDisconnect(s); };
    ServerSocket.OnClientRead = [this](TServerClientWinSocket* s) { ServerSocketClientRead(s); };
    ServerSocket.OnClientError = [this](TServerClientWinSocket* s, TErrorEvent kind, int& code) {
        ServerSocketClientError(s, kind, code);
    };
    ServerSocket.OnAccepting = [this](bool full) { return ServerSocketAccepting(full); };

    ConnectionCheckTimer.SetInterval(1000);
    ConnectionCheckTimer.SetOnTimer([this] { ConnectionCheckTimerTimer(); });
    TervelProcessTimer.SetInterval(500);
    TervelProcessTimer.SetOnTimer([this] { TervelProcessTimerTimer(); });
    BuffersProcessTimer.SetInterval(500);
    BuffersProcessTimer.SetOnTimer([this] { BuffersProcessTimerTimer(); });
    RoomTimer.SetEnabled(false);
    RoomTimer.SetOnTimer([this] {
        RoomTimer.SetEnabled(false);
        ServerSocket.ResumeAccepting();
    });
    // The ports of the groups are made as the state file is read.
    InstallVirtualPortHooks();
}

// The server closes its connections silently as it goes: no handler runs during destruction.
TConnectionForm::~TConnectionForm() {
    TMGSM_SetLinkClock(nullptr);
}

TServerConnection* TConnectionForm::UsableConnection(int i) const {
    TServerConnection* c = Session(ServerSocket.Connections(i));
    return c && c->Usable() ? c : nullptr;
}

void TConnectionForm::OpenPort() {
    if (!ServerSocket.SetPort(AppSettings->TcpPort) || !ServerSocket.Open())
        MainForm->OnServerSocketOpenError();
    if (ServerSocket.Active())
        MainForm->OnServerSocketOpen();
}

bool TConnectionForm::ClosePort(bool fromMenu) {
    // Closed connections stay in the list until the event loop frees them, so the walk reaches all.
    for (int i = 0; i < ServerSocket.ActiveConnections(); ++i)
        ServerSocket.Connections(i)->Close();
    if (!ServerSocket.Active())
        return false;
    ServerSocket.Close();
    if (!ServerSocket.Active())
        MainForm->OnServerSocketClose(fromMenu);
    return true;
}

void TConnectionForm::ApplyInternetSettings() {
    ServerSocket.SetPort(AppSettings->TcpPort);
}

std::unique_ptr<TServerClientWinSocket> TConnectionForm::ServerSocketGetSocket(int socket,
                                                                               TServerSocket* server) {
    std::unique_ptr<TServerConnection> c;
    try {
        c = std::make_unique<TServerConnection>(socket, server);
    } catch (const std::bad_alloc&) {
        SessionLog(QStringLiteral("SM: connection creation error!"));
        return nullptr;
    }
    if (c->Link) {
        TMGSM_InitIp(c->Link.get(), &AuthKeyTable, nullptr, AckTimeoutSec, nullptr, 0);
        SessionLog(QStringLiteral("SM: InitIp OK"));
    }
    return c;
}

void TConnectionForm::ServerSocketClientConnect(TServerClientWinSocket* socket) {
    SessionLog(QStringLiteral("SM: new connection (IP: %1)").arg(socket->RemoteAddress()));
    // A plain socket, made when the session object could not be, has none of a session's fields.
    TServerConnection* c = Session(socket);
    if (c)
        noClaim_.emplace(c->AcceptOrder, c);
    else
        socket->Close();
}

bool TConnectionForm::ServerSocketAccepting(bool) {
    const std::int64_t now = MonotonicMs();
    while (!HasRoom())
        if (!MakeRoom(now))
            return false; // the new one waits in the backlog
    return true;
}

bool TConnectionForm::HasRoom() const {
    const auto share = UnauthenticatedRoom(ServerSocket.ConnectionLimit());
    // Those taken from the backlog and not made yet are not authenticated either.
    return ServerSocket.OpenConnections() < ServerSocket.ConnectionLimit() &&
           UnauthenticatedCount() + ServerSocket.TakenConnections() < share;
}

bool TConnectionForm::MakeRoom(std::int64_t now) {
    for (auto* from : {&noClaim_, &partial_}) {
        if (from->empty() || now - from->begin()->second->AcceptedAt < RoomGraceMs)
            continue;
        TServerConnection* c = from->begin()->second;
        if (!StillUnauthenticated(c))
            return true; // it authenticated or ended meanwhile
        const bool partial = AuthOnItsWay(c);
        if (partial != (from == &partial_)) { // it has sent more since the last look
            from->erase(c->AcceptOrder);
            (partial ? partial_ : noClaim_).emplace(c->AcceptOrder, c);
            return true;
        }
        DropUnauthenticated(
            c, partial ? QStringLiteral("SM: no room for a new connection, closing the oldest one with a "
                                        "partial AUTH")
                       : QStringLiteral("SM: no room for a new connection, closing the oldest one not "
                                        "authenticated"));
        return true;
    }
    // None has had its grace yet: accepting goes on when the first has.
    std::int64_t due = -1;
    for (const auto* from : {&noClaim_, &partial_})
        if (!from->empty() && (due < 0 || from->begin()->second->AcceptedAt + RoomGraceMs < due))
            due = from->begin()->second->AcceptedAt + RoomGraceMs;
    if (due >= 0) {
        RoomTimer.SetInterval(int(std::max<std::int64_t>(1, due - now)));
        RoomTimer.SetEnabled(true);
    }
    return false;
}

bool TConnectionForm::StillUnauthenticated(TServerConnection* c) {
    c->ReadWaiting();
    return c->Connected() && !c->Authenticated();
}

void TConnectionForm::DropUnauthenticated(TServerConnection* c, const QString& why) {
    noClaim_.erase(c->AcceptOrder);
    partial_.erase(c->AcceptOrder);
    SessionLog(why + QStringLiteral(" (IP: %1)").arg(c->RemoteAddress()));
    c->Close();
}

void TConnectionForm::ServerSocketClientDisconnect(TServerClientWinSocket* socket) {
    TServerConnection* c = Session(socket);
    if (!c)
        return;
    Unindex(c);        // first: the indexes must not keep it whatever fails below
    c->Unread.clear(); // what the link had no room for yet goes with the connection, unparsed
    c->LogLeftOutLines();
    const int n = c->ObjectNumber;
    if (n < 0)
        return;
    // The buffer belongs to the object, which a rebuilt address book may have destroyed meanwhile.
    if (TObjectStates* object = BoundObject(c))
        AppBuf_UnLink(object->AppBuf.get());
    MainForm->OnObjectDisconnected(n);
    ReleaseProfileEditor(n);
}

void TConnectionForm::ServerSocketClientError(TServerClientWinSocket* socket, TErrorEvent kind, int& code) {
    const TServerConnection* c = Session(socket);
    SessionLog(QStringLiteral("SM: Socket error %1 code:%2 (object N%3, IP:%4)")
                   .arg(ErrorEventText(kind), QString::number(code),
                        QString::number(c ? c->ObjectNumber : -1), socket->RemoteAddress()));
    // Every error reported is fatal to the connection (aborted, reset, timed out, ...); one reported
    // while closing needs no second close.
    if (kind != eeDisconnect)
        socket->Close();
    code = 0;
}

void TConnectionForm::DisconnectDoubles(TServerConnection* s) {
    if (s->ObjectNumber < 0)
        return;
    const std::vector<TServerConnection*> doubles = DoublesOf(s);
    assert(doubles == DoublesByWalk(s)); // the test build checks every answer against the walk
    for (TServerConnection* c : doubles) {
        if (!c->Usable())
            continue; // closed meanwhile
        const int n = c->ObjectNumber;
        SessionLog(QStringLiteral("SM: disabling double connection (IP: %1, object №%2, ID:%3)")
                       .arg(c->RemoteAddress(), QString::number(n), QString::number(c->Link->ModemId)));
        SetObjectNumber(c, -1); // the object stays connected through s
        c->Close();
        if (n >= 0)
            ReleaseProfileEditor(n);
    }
}

std::vector<TServerConnection*> TConnectionForm::DoublesOf(const TServerConnection* s) const {
    std::vector<TServerConnection*> doubles;
    for (const auto* list :
         {bound_.Of(s->ObjectNumber), s->BoundModemId >= 0 ? byModemId_.Of(s->BoundModemId) : nullptr})
        if (list)
            std::copy_if(list->begin(), list->end(), std::back_inserter(doubles),
                         [s](const TServerConnection* c) { return c != s && c->Usable(); });
    std::sort(doubles.begin(), doubles.end(), [](const TServerConnection* a, const TServerConnection* b) {
        return a->AcceptOrder < b->AcceptOrder;
    });
    doubles.erase(std::unique(doubles.begin(), doubles.end()), doubles.end());
    return doubles;
}

std::vector<TServerConnection*> TConnectionForm::DoublesByWalk(const TServerConnection* s) const {
    std::vector<TServerConnection*> doubles;
    for (int i = 0; i < ServerSocket.ActiveConnections(); ++i) {
        TServerConnection* c = UsableConnection(i);
        const bool sameModem = c && c->BoundModemId >= 0 && c->BoundModemId == s->BoundModemId;
        if (c && c != s && (c->ObjectNumber == s->ObjectNumber || sameModem))
            doubles.push_back(c);
    }
    return doubles;
}

void TConnectionForm::UpdateConnections() {
    for (int i = 0; i < ServerSocket.ActiveConnections(); ++i) {
        TServerConnection* c = UsableConnection(i);
        if (!c)
            continue;
        TObjectStates* object = FindObjectByNum(c->ObjectNumber);
        if (object && FindObjectByID(c->BoundModemId) == object)
            continue;
        SessionLog(QStringLiteral("SM: disabling changed connection, object №%1, ID:%2)")
                       .arg(QString::number(c->ObjectNumber), QString::number(c->Link->ModemId)));
        c->Close();
    }
}

TServerConnection* TConnectionForm::GetConnectionByObjNum(int objectNumber) const {
    if (objectNumber < 0)
        return FirstConnectionOf(objectNumber); // an unbound one: the index holds bound ones only
    TServerConnection* first = nullptr;
    if (const std::vector<TServerConnection*>* list = bound_.Of(objectNumber)) {
        const auto usable =
            std::find_if(list->begin(), list->end(), [](const TServerConnection* c) { return c->Usable(); });
        first = usable == list->end() ? nullptr : *usable;
    }
    assert(first == FirstConnectionOf(objectNumber)); // the test build checks every answer
    return first;
}

TServerConnection* TConnectionForm::FirstConnectionOf(int objectNumber) const {
    for (int i = 0; i < ServerSocket.ActiveConnections(); ++i)
        if (TServerConnection* c = UsableConnection(i); c && c->ObjectNumber == objectNumber)
            return c;
    return nullptr;
}

void TConnectionForm::SetObjectNumber(TServerConnection* c, int objectNumber) {
    bound_.Remove(c->ObjectNumber, c);
    c->ObjectNumber = objectNumber;
    if (objectNumber >= 0)
        bound_.Add(objectNumber, c);
}

void TConnectionForm::SetBoundModemId(TServerConnection* c, int modemId) {
    byModemId_.Remove(c->BoundModemId, c);
    c->BoundModemId = modemId;
    byModemId_.Add(modemId, c);
    if (noClaim_.erase(c->AcceptOrder) + partial_.erase(c->AcceptOrder) != 0)
        ServerSocket.ResumeAccepting(); // a connection held back for want of room may come in now
}

void TConnectionForm::Unindex(TServerConnection* c) {
    bound_.Remove(c->ObjectNumber, c);
    byModemId_.Remove(c->BoundModemId, c);
    noClaim_.erase(c->AcceptOrder);
    partial_.erase(c->AcceptOrder);
}

void TConnectionForm::TConnectionIndex::Add(int key, TServerConnection* c) {
    std::vector<TServerConnection*>& list = lists_[key];
    list.insert(std::upper_bound(list.begin(), list.end(), c,
                                 [](const TServerConnection* a, const TServerConnection* b) {
                                     return a->AcceptOrder < b->AcceptOrder;
                                 }),
                c);
}

void TConnectionForm::TConnectionIndex::Remove(int key, TServerConnection* c) {
    const auto found = lists_.find(key);
    if (found == lists_.end())
        return;
    std::erase(found->second, c);
    if (found->second.empty())
        lists_.erase(found);
}

const std::vector<TServerConnection*>* TConnectionForm::TConnectionIndex::Of(int key) const {
    const auto found = lists_.find(key);
    return found == lists_.end() ? nullptr : &found->second;
}

void TConnectionForm::CloseUnauthenticated(std::int64_t now) {
    for (;;) {
        TServerConnection* c = nullptr;
        for (const auto* from : {&noClaim_, &partial_})
            if (!from->empty() && (!c || from->begin()->second->AcceptOrder < c->AcceptOrder))
                c = from->begin()->second;
        if (!c || now - c->AcceptedAt < AuthDeadlineMs)
            return;
        if (StillUnauthenticated(c)) // a modem whose AUTH waited unread is served instead
            DropUnauthenticated(c, QStringLiteral("SM: no authentication within %1 s, closing connection")
                                       .arg(AuthDeadlineMs / 1000));
    }
}

TObjectStates* TConnectionForm::BoundObject(const TServerConnection* c) {
    return c->ObjectNumber >= 0 ? FindObjectByNum(c->ObjectNumber) : nullptr;
}

bool TConnectionForm::ProfileEditorShows(int objectNumber) {
    return ObjSettingsDialog && ObjSettingsDialog->isVisible() && ObjSettingsDialog->Tag == objectNumber;
}

void TConnectionForm::ReleaseProfileEditor(int objectNumber) {
    // Later, not inside the socket event: the editor may show a message box, whose nested loop must
    // not run under the walks over the connections.
    QMetaObject::invokeMethod(
        this,
        [objectNumber] {
            if (ProfileEditorShows(objectNumber))
                ObjSettingsDialog->ConnectionLost();
        },
        Qt::QueuedConnection);
}

void TConnectionForm::LightSendSignal() {
    if (!MainForm->MessageSendTimer.Running()) {
        MainForm->SetSignal(sgSend, sgsOn);
        MainForm->MessageSendTimer.SetEnabled(true);
    }
}

void TConnectionForm::LightReceiveSignal() {
    if (!MainForm->SMSReceiveTimer.Running()) {
        MainForm->SetSignal(sgReceive, sgsOn);
        MainForm->SMSReceiveTimer.SetEnabled(true);
    }
}
