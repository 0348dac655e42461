// The per-connection command queue: the operations that set request bits, the building and sending of
// the next frame, the key change that goes at once, and the timers that drive the links and poll idle
// modems.
#include "sessions/ConnectionForm.h"

#include <algorithm>

#include "core/MainForm.h"
#include "core/ObjectStates.h"
#include "core/RecordFields.h"
#include "platform/Clock.h"
#include "sessions/ServerConnection.h"
#include "sessions/SessionLog.h"

int TConnectionForm::QueryHwInfo(int objectNumber) {
    TServerConnection* c = GetConnectionByObjNum(objectNumber);
    if (!c)
        return rrNotConnected;
    SessionLog(QStringLiteral("SM: sending GetHwInfo") + ObjectText(objectNumber));
    c->PendingCommands |= REQ_GET_HW_INFO;
    return rrQueued;
}

int TConnectionForm::QueryProfile(int objectNumber) {
    TServerConnection* c = GetConnectionByObjNum(objectNumber);
    if (!c)
        return rrNotConnected;
    SessionLog(QStringLiteral("SM: sending GetProfile") + ObjectText(objectNumber));
    c->PendingCommands |= REQ_GET_PROFILE1 | REQ_GET_PROFILE2 | REQ_GET_HW_INFO;
    return rrQueued;
}

int TConnectionForm::SetProfile(int objectNumber, ObjProfile* profile, std::uint32_t parts) {
    TServerConnection* c = GetConnectionByObjNum(objectNumber);
    if (!c)
        return rrNotConnected;
    SessionLog(QStringLiteral("SM: sending SetProfile") + ObjectText(objectNumber));
    c->PendingCommands |= parts;
    c->ProfileData = profile;
    return rrQueued;
}

int TConnectionForm::SendData(TObjectStates* object) {
    AppBufState state{};
    AppBuf_GetState(object->AppBuf.get(), &state);
    if (state.TxFlags & (AppBufTxEmpty | AppBufTxInFlight))
        return rrNotDone;
    TServerConnection* c = GetConnectionByObjNum(object->ObjectNumber);
    if (!c)
        return rrNotConnected;
    SessionLog(QStringLiteral("SM: sending TxData") + ObjectText(object->ObjectNumber));
    c->PendingCommands |= REQ_RX_DATA;
    return rrQueued;
}

int TConnectionForm::PollConnection(TServerConnection* c) {
    if (!c)
        return rrNotConnected;
    if (c->PendingCommands != 0)
        return rrNotDone;
    c->PendingCommands = REQ_NULL;
    SessionLog(QStringLiteral("SM: polling") + ObjectText(c->ObjectNumber));
    return rrDone;
}

int TConnectionForm::RepeatCommand(TServerConnection* c) {
    IpLink* link = c->Link.get();
    SessionLog(QStringLiteral("SM: repeating command ") + Hex(c->PendingCommands, 8) +
               ObjectText(c->ObjectNumber));
    // Firmware blocks travel in a frame of their own, after every other request.
    std::uint32_t cmd = c->PendingCommands;
    if (cmd != REQ_SET_UPD_BLK)
        cmd &= ~REQ_SET_UPD_BLK;
    const std::uint32_t rest = c->PendingCommands ^ cmd;
    const bool blocks = cmd & REQ_SET_UPD_BLK;
    if (cmd & (REQ_SET_PROFILE1 | REQ_SET_PROFILE2))
        link->Params.Profile = c->ProfileData;
    const int result = SendCommandFrame(c, cmd);
    if (blocks && result != rrLinkBusy)
        UpdateBlocksTried(c, !(cmd & REQ_SET_UPD_BLK)); // the builder clears the bits it placed
    if (result == rrLinkBusy)
        SessionLog(QStringLiteral("SM: error - busy"));
    else if (result == rrDone)
        c->PendingCommands = rest; // what the frame had no room for is set again by its setter
    return result;
}

int TConnectionForm::SetKey(int objectNumber, std::string_view key) {
    TServerConnection* c = GetConnectionByObjNum(objectNumber);
    if (!c)
        return rrNotConnected;
    IpLink* link = c->Link.get();
    SessionLog(QStringLiteral("SM: sending SetKey") + ObjectText(objectNumber));
    const TPassword newKey = MakePassword(key);
    std::copy(newKey.begin(), newKey.end(), link->Params.NewKey);
    std::uint32_t mask = REQ_SET_KEY;
    return SendCommandFrame(c, mask);
}

int TConnectionForm::SendCommandFrame(TServerConnection* c, std::uint32_t& mask) {
    std::uint8_t out[LNK_OUT_SIZE];
    std::uint16_t length = 0;
    const std::uint32_t r = TMGSM_CreateIpMsg(c->Link.get(), out, &length, &mask);
    SessionLog(QStringLiteral("SM: CreateIpMsg OK - ") + Hex(r, 8));
    if (r & LEV_WAIT_ACK)
        return rrLinkBusy;
    if (!(r & LEV_FRAME_BUILT) || !Send(c, out, length))
        return rrNotDone;
    LightSendSignal();
    return rrDone;
}

int TConnectionForm::SetCall(int, const QString&) {
    return 0;
}

void TConnectionForm::CloseChangedKeyConnection(int objectNumber) {
    if (TServerConnection* c = GetConnectionByObjNum(objectNumber)) {
        SessionLog(QStringLiteral("SM: closing connection with changed key") + ObjectText(objectNumber));
        c->Close();
    }
}

// A poll at most once per 180 s of silence, and only into an empty mask; the silence counts again
// from here whether or not the poll could be queued.
void TConnectionForm::PollIfIdle(TServerConnection* c, std::int64_t now) {
    if (now - c->LastActivity > IdlePollMs) {
        PollConnection(c);
        c->LastActivity = now;
    }
}

void TConnectionForm::TervelProcessTimerTimer() {
    const std::int64_t now = MonotonicMs();
    for (int i = 0; i < ServerSocket.ActiveConnections(); ++i) {
        TServerConnection* c = UsableConnection(i);
        if (!c || c->Feeding)
            continue;
        // Every complete frame was taken when it arrived, so the query takes none here.
        const std::uint32_t events = TMGSM_QryIp(c->Link.get());
        PollIfIdle(c, now);
        if (events != 0)
            ProcessTirmalEvents(c, events);
        else if (c->PendingCommands != 0)
            RepeatCommand(c);
    }
}

void TConnectionForm::ConnectionCheckTimerTimer() {
    const std::int64_t now = MonotonicMs();
    CloseUnauthenticated(now);
    for (int i = 0; i < ServerSocket.ActiveConnections(); ++i)
        if (TServerConnection* c = UsableConnection(i))
            PollIfIdle(c, now);
}
