// The session manager, a form that is created at start-up and never shown: the modems' TCP server,
// one session (TServerConnection) per accepted connection, the event pump that turns what the link
// layer reports into actions, the per-connection command queue and the timers that drive it all.
//
// Command operations answer at once with a TRequestResult and only set request bits; the link timer
// builds the next frame from them, one frame at a time (the link is stop-and-wait):
//   QueryHwInfo, QueryProfile, SetProfile  rrQueued, rrNotConnected (no connection bound to the object);
//   SendData                               rrNotDone (nothing to send: queue empty or a block
//                                          unacknowledged), rrQueued, rrNotConnected;
//   PollConnection                         rrDone (poll queued), rrNotDone (requests already pending),
//                                          rrNotConnected;
//   RepeatCommand                          rrDone (frame sent), rrNotDone (nothing built or sending
//                                          failed), rrLinkBusy;
//   SetKey (sent at once, never queued)    rrDone (sent), rrNotDone, rrLinkBusy, rrNotConnected.
//
// Every time-out (acknowledgement 20 s, polling after 180 s of silence) runs on the monotonic clock;
// the form points the link layer's clock at it. Main thread only; the socket events and the timers
// also run inside modal dialogs.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <QString>

#include "platform/Forms.h"
#include "platform/TcpServer.h"
#include "platform/Timer.h"
#include "protocol/tmgsm.h"

class QListWidget;
class QPushButton;
class TObjectStates;
class TServerConnection;

// The numbers are the ones the callers have always been given; a code means what its operation says.
enum TRequestResult : int {
    rrDone = 0,
    rrNotDone = 1,
    rrQueued = 2,
    rrLinkBusy = 2, // SetKey and RepeatCommand, which send at once
    rrNotConnected = 3,
};

class TConnectionForm : public TForm {
public:
    explicit TConnectionForm(QWidget* owner = nullptr);
    ~TConnectionForm() override;

    // The server: opens it on the settings' TCP port and tells the main window how that went.
    virtual void OpenPort();
    // Closes every connection and the server; true when the server was open.
    virtual bool ClosePort(bool fromMenu);
    // Takes the TCP port of the settings; only while the server is closed.
    virtual void ApplyInternetSettings();
    // Closes the connections whose binding no longer matches the address book.
    virtual void UpdateConnections();
    // After the settings were applied: starts, continues or cancels the firmware updates of the bound
    // connections by their objects' marks; versionsChanged: the loaded images changed.
    virtual void ApplySWSettings(bool versionsChanged);
    // Closes every other connection of s's object or modem ID, without a disconnection notice.
    void DisconnectDoubles(TServerConnection* s);
    // The first usable connection bound to the object, else null.
    TServerConnection* GetConnectionByObjNum(int objectNumber) const;
    // Binds c to object n (-1: unbinds it), keeping the index of GetConnectionByObjNum.
    void SetObjectNumber(TServerConnection* c, int objectNumber);
    // Closes the connections that have not authenticated within their deadline.
    void CloseUnauthenticated(std::int64_t now);
    // Before each accept: whether there is room for one more connection not authenticated yet, which
    // the one of them with the least claim makes once it has had its grace.
    bool ServerSocketAccepting(bool full);
    // Connections not authenticated yet.
    int UnauthenticatedCount() const { return int(noClaim_.size() + partial_.size()); }

    // Command queue (codes above).
    virtual int QueryHwInfo(int objectNumber);
    int QueryProfile(int objectNumber);
    int SetProfile(int objectNumber, ObjProfile* profile, std::uint32_t parts);
    int SendData(TObjectStates* object);
    int PollConnection(TServerConnection* c);
    int RepeatCommand(TServerConnection* c);
    // The key is cut or filled up to 16 characters.
    int SetKey(int objectNumber, std::string_view key);
    int SetCall(int objectNumber, const QString& phone);
    void CloseChangedKeyConnection(int objectNumber);

    // Event pump.
    void ProcessTirmalEvents(TServerConnection* c, std::uint32_t events);
    void ProcessData(int objectNumber, const HwInfo& info);
    void ProcessHwInfo(int objectNumber, const HwInfo& info);
    void DecodeProfile1(ObjProfile* profile, bool authFlag);
    void DecodeProfile2(ObjProfile* profile, bool authFlag);

    // Timers.
    void TervelProcessTimerTimer();
    void ConnectionCheckTimerTimer();
    void BuffersProcessTimerTimer(); // the group routing (GroupRouting.h)

    // Events of ServerSocket.
    std::unique_ptr<TServerClientWinSocket> ServerSocketGetSocket(int socket, TServerSocket* server);
    void ServerSocketClientConnect(TServerClientWinSocket* socket);
    void ServerSocketClientDisconnect(TServerClientWinSocket* socket);
    void ServerSocketClientRead(TServerClientWinSocket* socket);
    void ServerSocketClientError(TServerClientWinSocket* socket, TErrorEvent kind, int& code);

    TServerSocket ServerSocket;
    TTimer ConnectionCheckTimer; // 1000 ms
    TTimer TervelProcessTimer;   // 500 ms
    TTimer BuffersProcessTimer;  // 500 ms, for the group routing
    QPushButton* Button1 = nullptr;
    QListWidget* ListBox1 = nullptr;

    // A frame longer than this is never sent.
    static constexpr int MaxSendLength = 1030;
    static constexpr std::uint32_t AckTimeoutSec = 20;
    static constexpr std::int64_t IdlePollMs = 180'000;
    // A connection that has not authenticated by then is closed.
    static constexpr std::int64_t AuthDeadlineMs = AckTimeoutSec * 1000;
    // Connections not authenticated yet may take all the room the descriptors leave, but never more
    // than UnauthenticatedMost, as many as there can be modems, so that under a high limit of open
    // files a flood of them cannot take more memory than the whole fleet would. For a new one, one of
    // them gives way once it has been open RoomGraceMs: first those that sent no part of an AUTH
    // (nothing, stray bytes, or an AUTH of a kind never bound), oldest first, then those that hold a
    // partial AUTH, oldest first. What waits in a socket is read before the connection is judged, so
    // a modem whose AUTH came is served, not closed; a modem sends its AUTH as it connects, so the
    // grace only covers an AUTH still on its way, and under a flood the room turns over at
    // 1/RoomGraceMs of its size per second.
    static constexpr int UnauthenticatedMost = 65536;
    static constexpr std::int64_t RoomGraceMs = 250;
    static int UnauthenticatedRoom(int connectionLimit, int most = UnauthenticatedMost) {
        return std::clamp(connectionLimit, 1, most);
    }
    // The bound in force; lower for a test that must reach it.
    int UnauthenticatedCap = UnauthenticatedMost;

private:
    // Receiving and the pump.
    void FeedLink(TServerConnection* c);
    void Bind(TServerConnection* c);
    void ProcessAnswers(TServerConnection* c);
    bool TakeData(TServerConnection* c, TObjectStates* object);
    void ProcessProfileAnswers(TServerConnection* c, std::uint32_t answered);
    void SendAuthReply(TServerConnection* c);
    void SendSupervisory(TServerConnection* c);
    void SendRR(TServerConnection* c);
    using SFrameSource = std::uint32_t (*)(IpLink*, std::uint8_t*, std::uint16_t*);
    void SendSFrames(TServerConnection* c, SFrameSource source, const char* name);
    bool Send(TServerConnection* c, const std::uint8_t* buffer, std::uint16_t length);
    // Builds one command frame from mask (left holding what it could not place) and sends it, lighting
    // the send indicator: 0 sent, 1 nothing built or sending failed, 2 link busy.
    int SendCommandFrame(TServerConnection* c, std::uint32_t& mask);
    void Report(int objectNumber, const HwInfo& info, std::int8_t kind);
    // Firmware upload.
    void ChooseFirmware(TServerConnection* c, TObjectStates* object);
    void UpdateContextReceived(TServerConnection* c, TObjectStates* object);
    void UpdateBlocksAcknowledged(TServerConnection* c, TObjectStates* object);
    // After RepeatCommand tried the firmware blocks; built: an item was put into the frame.
    void UpdateBlocksTried(TServerConnection* c, bool built);
    void PollIfIdle(TServerConnection* c, std::int64_t now);
    // The object the connection is bound to, looked up afresh (the address book may have changed).
    static TObjectStates* BoundObject(const TServerConnection* c);
    // Whether the profile editor is visible and shows object n.
    static bool ProfileEditorShows(int objectNumber);
    // Releases the profile editor's operation on object n once the current event is done.
    void ReleaseProfileEditor(int objectNumber);
    void LightSendSignal();
    void LightReceiveSignal();
    // Connection i of the server's list when it is usable (connected, with a link), else null.
    TServerConnection* UsableConnection(int i) const;
    TServerConnection* FirstConnectionOf(int objectNumber) const; // the walk the index stands for
    // The modem ID that authenticated on c, keeping the index of DisconnectDoubles.
    void SetBoundModemId(TServerConnection* c, int modemId);
    // The other usable connections of s's object or modem ID, in the order of the server's list.
    std::vector<TServerConnection*> DoublesOf(const TServerConnection* s) const;
    std::vector<TServerConnection*> DoublesByWalk(const TServerConnection* s) const;
    // The connection that gives way for a new one, read first; false when none has had its grace.
    bool MakeRoom(std::int64_t now);
    bool HasRoom() const;
    // Reads what waits for c; whether c is still open and not authenticated after that.
    static bool StillUnauthenticated(TServerConnection* c);
    // Closes c, not authenticated yet, logging why and its address.
    void DropUnauthenticated(TServerConnection* c, const QString& why);
    void Unindex(TServerConnection* c);

    // Connections by a key, each key's in the order of the server's list.
    class TConnectionIndex {
    public:
        void Add(int key, TServerConnection* c);
        void Remove(int key, TServerConnection* c);
        const std::vector<TServerConnection*>* Of(int key) const;

    private:
        std::unordered_map<int, std::vector<TServerConnection*>> lists_;
    };

    // The connections bound to each object number and those of each authenticated modem ID; a
    // connection leaves them when it is unbound or ends. The router looks a connection up for every
    // routed block, and for the doubles of every modem that authenticates.
    TConnectionIndex bound_, byModemId_;
    // The connections not authenticated yet by their accept order, oldest first: those that have sent
    // no part of an AUTH as far as the last look showed, and those that hold one in part.
    std::map<std::uint64_t, TServerConnection*> noClaim_, partial_;
    // Takes accepting up again when the first connection that could give way has had its grace.
    TTimer RoomTimer;
};

extern TConnectionForm* ConnectionForm;
