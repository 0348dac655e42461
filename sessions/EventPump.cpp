// Received bytes into the link, and the pump that turns the link's events into actions: rejecting a
// failed authentication, binding, the answers of a data frame, supervisory frames, acknowledgements,
// the acknowledgement time-out.
#include "sessions/ConnectionForm.h"

#include <QScopeGuard>

#include "core/MainForm.h"
#include "core/ObjectRegistry.h"
#include "dialogs/ObjSettingsDialog.h"
#include "dialogs/SettingsDialog.h"
#include "platform/Clock.h"
#include "sessions/ServerConnection.h"
#include "sessions/SessionLog.h"

namespace {

// Clears the handled bits in the link's mask; the caller tests its own copy.
void Handled(IpLink* link, std::uint32_t bits) {
    link->Results.Answered &= ~bits;
}

} // namespace

void TConnectionForm::ServerSocketClientRead(TServerClientWinSocket* socket) {
    TServerConnection* c = Session(socket);
    const QByteArray bytes = socket->ReceiveText();
    if (!c)
        return;
    c->LastActivity = MonotonicMs();
    c->LogInput(
        QStringLiteral("SM: received %1 bytes (IP: %2, object: %3)")
            .arg(QString::number(int(bytes.size())), c->RemoteAddress(), QString::number(c->ObjectNumber)));
    if (!c->Link)
        return;
    c->Unread.append(bytes);
    LightReceiveSignal();
    FeedLink(c);
}

// The link takes at most one frame per call, and a state query would take the next one with its
// events lost among the state bits. So every frame goes in by a call of its own, its events are
// handled before the next is taken, and the state bits are read without taking anything. What the
// link's buffer has no room for waits in Unread.
void TConnectionForm::FeedLink(TServerConnection* c) {
    if (c->Feeding)
        return; // reached from a nested loop: the running feed takes the new bytes as well
    c->Feeding = true;
    const auto done = qScopeGuard([c] { c->Feeding = false; });
    for (bool first = true; c->Usable(); first = false) {
        IpLink* link = c->Link.get();
        const std::uint16_t before = link->RxLen;
        std::size_t taken = 0;
        std::uint32_t events = 0;
        {
            const TInputTrace trace(c);
            events = TMGSM_AcceptIpMsg(link, reinterpret_cast<const std::uint8_t*>(c->Unread.constData()),
                                       std::size_t(c->Unread.size()), &taken);
        }
        c->Unread.remove(0, qsizetype(taken));
        const bool moved = taken > 0 || link->RxLen != before;
        if (!c->CountStray(before + taken - link->RxLen, events))
            break;
        if (first || events != 0) {
            events |= TMGSM_IpState(link);
            c->LogInput(QStringLiteral("SM: AcceptIpMsg and QryIP OK - ") + Hex(events, 8));
            ProcessTirmalEvents(c, events);
        }
        if (!moved)
            break; // a partial frame waits for more bytes
    }
}

void TConnectionForm::ProcessTirmalEvents(TServerConnection* c, std::uint32_t events) {
    if (events & LEV_AUTH_ERROR) {
        SessionLog(QStringLiteral("SM: auth. error, closing connection"));
        c->Close();
    } else if (events & LEV_AUTH2) {
        Bind(c);
    } else if (events & LEV_DATA) {
        ProcessAnswers(c);
    } else if (events & LEV_SFRAMES) {
        SendSupervisory(c);
    } else if ((events & LEV_RR_DUE) && !(events & LEV_WAIT_ACK)) {
        if (c->PendingCommands != 0)
            RepeatCommand(c); // its frame carries the acknowledgement
        else
            SendRR(c);
    } else if (events & LEV_ACK_TIMEOUT) {
        c->Close(); // the disconnect event tells the main window and the profile editor
    } else if (!(events & LEV_WAIT_ACK)) {
        c->LogInput(QStringLiteral("SM: unprocessed states - ") + Hex(events, 8));
    }
}

void TConnectionForm::Bind(TServerConnection* c) {
    IpLink* link = c->Link.get();
    c->AuthFlag = TMGSM_IpAuthRes(link) != 1;
    // The AUTH just accepted is the last frame taken, so the link's modem ID is the one it proved.
    TObjectStates* object = FindObjectByID(link->ModemId);
    if (!object) {
        SessionLog(QStringLiteral("SM: disconnecting the object with bad ID: ") + Hex(link->ModemId, 4) +
                   QStringLiteral("h"));
        c->Close();
        return;
    }
    // A modem that authenticates again on the same connection as another one leaves its first object.
    if (c->ObjectNumber >= 0 && c->ObjectNumber != object->ObjectNumber) {
        MainForm->OnObjectDisconnected(c->ObjectNumber);
        ReleaseProfileEditor(c->ObjectNumber);
    }
    SetObjectNumber(c, object->ObjectNumber);
    SetBoundModemId(c, link->ModemId);
    std::copy(std::begin(link->Results.HwInfo.Version), std::end(link->Results.HwInfo.Version),
              object->HwVersion.begin());
    AppBuf_Link(object->AppBuf.get(), link);
    MarkBufferDue(object); // what waited while it was away goes now
    ChooseFirmware(c, object);
    if (SettingsDialog && SettingsDialog->isVisible())
        SettingsDialog->RedrawUpdateString(object);
    SendAuthReply(c);
    if (object->UpdateState >= 0 && link->Upd.Image)
        c->PendingCommands |= REQ_GET_UPD_CTX;
    MainForm->OnResolveObjNum(object);
    DisconnectDoubles(c);
    if (ProfileEditorShows(c->ObjectNumber))
        ObjSettingsDialog->ObjectConnected();
}

void TConnectionForm::SendAuthReply(TServerConnection* c) {
    std::uint8_t out[LNK_OUT_SIZE];
    std::uint16_t length = 0;
    std::uint32_t mask = REQ_AUTH;
    const std::uint32_t r = TMGSM_CreateIpMsg(c->Link.get(), out, &length, &mask);
    SessionLog(QStringLiteral("SM: CreateIpMsg OK - ") + Hex(r, 8));
    if (r & LEV_AUTH_REPLY)
        Send(c, out, length);
}

void TConnectionForm::ProcessAnswers(TServerConnection* c) {
    IpLink* link = c->Link.get();
    TObjectStates* object = BoundObject(c);
    const std::uint32_t a = link->Results.Answered;
    const HwInfo& info = link->Results.HwInfo;
    bool sendRR = true;
    if (a & REQ_GET_UPD_CTX) {
        Handled(link, REQ_GET_UPD_CTX);
        if (object)
            UpdateContextReceived(c, object);
    }
    if (a & REQ_SET_UPD_BLK) {
        Handled(link, REQ_SET_UPD_BLK);
        if (object)
            UpdateBlocksAcknowledged(c, object);
    }
    if (a & REQ_TX_DATA) {
        Handled(link, REQ_TX_DATA);
        if (object && TakeData(c, object))
            sendRR = false; // the acknowledgement goes in the next command frame instead
    }
    if (a & REQ_RX_DATA_ACK) {
        Handled(link, REQ_RX_DATA_ACK);
        if (object) {
            std::uint8_t rnr = 0;
            if (AppBuf_TxAck(object->AppBuf.get(), &rnr) == 0)
                SessionLog(QStringLiteral("SM: AppBuf_TxAck is unsuccessful"));
            MarkBufferDue(object); // the next block may go
            if (rnr)
                SessionLog(QStringLiteral("SM: receiver not ready for object N") +
                           QString::number(object->ObjectNumber));
        }
    }
    if (a & REQ_GET_HW_INFO) {
        if (ProfileEditorShows(c->ObjectNumber)) {
            ObjSettingsDialog->DecodeHwInfo(info);
            ObjSettingsDialog->OperationDone();
            ObjSettingsDialog->UpdateButtons();
        }
        ProcessHwInfo(c->ObjectNumber, info);
        Handled(link, REQ_GET_HW_INFO);
    }
    if (a & REQ_GET_INPUTS) {
        ProcessHwInfo(c->ObjectNumber, info);
        Handled(link, REQ_GET_INPUTS);
    }
    ProcessProfileAnswers(c, a);
    if (sendRR && (TMGSM_IpState(link) & LEV_RR_DUE))
        SendRR(c);
}

// The payload of the modem's TxData: dropped while our own frame waits for its acknowledgement (the
// modem sends it again), else taken and reported. True when a TxDataAck was queued.
bool TConnectionForm::TakeData(TServerConnection* c, TObjectStates* object) {
    ::AppBuf* buffer = object->AppBuf.get();
    if (TMGSM_IpState(c->Link.get()) & LEV_WAIT_ACK) {
        AppBuf_RxRej(buffer);
        return false;
    }
    if (AppBuf_RxGet(buffer) == 0)
        SessionLog(QStringLiteral("SM: AppBuf_RxGet is unsuccessful"));
    else
        ProcessData(c->ObjectNumber, c->Link->Results.HwInfo);
    MarkBufferDue(object); // to be routed
    c->PendingCommands |= REQ_TX_DATA_ACK;
    return true;
}

void TConnectionForm::ProcessProfileAnswers(TServerConnection* c, std::uint32_t a) {
    IpLink* link = c->Link.get();
    const bool shown = ProfileEditorShows(c->ObjectNumber);
    constexpr std::uint32_t Read = REQ_GET_PROFILE1 | REQ_GET_PROFILE2;
    constexpr std::uint32_t Written = REQ_SET_PROFILE1 | REQ_SET_PROFILE2;
    if ((a & Read) == Read) { // one part alone waits for the other
        if (shown) {
            DecodeProfile1(&link->Results.Profile, c->AuthFlag);
            DecodeProfile2(&link->Results.Profile, c->AuthFlag);
            ObjSettingsDialog->OperationDone();
            ObjSettingsDialog->UpdateButtons();
        }
        Handled(link, Read);
    }
    if (a & Written) {
        if (shown) {
            // Done when every loaded part among the two was acknowledged by this frame.
            const std::uint32_t loaded = ObjSettingsDialog->LoadedParts;
            if (((a & REQ_SET_PROFILE1) || !(loaded & REQ_SET_PROFILE1)) &&
                ((a & REQ_SET_PROFILE2) || !(loaded & REQ_SET_PROFILE2))) {
                ObjSettingsDialog->OperationDone();
                ObjSettingsDialog->UpdateButtons();
            }
        }
        Handled(link, Written);
    }
    if (a & REQ_SET_KEY) {
        if (ObjSettingsDialog && ObjSettingsDialog->isVisible()) {
            ObjSettingsDialog->OperationDone();
            ObjSettingsDialog->UpdateButtons();
            ObjSettingsDialog->InfoTimer.SetEnabled(true);
        }
        Handled(link, REQ_SET_KEY);
    }
}

void TConnectionForm::SendSupervisory(TServerConnection* c) {
    SendSFrames(c, TMGSM_GetIpSMsg, "GetIpSMsg");
}

void TConnectionForm::SendRR(TServerConnection* c) {
    SendSFrames(c, TMGSM_CreateRRMsg, "CreateRRMsg");
}

void TConnectionForm::SendSFrames(TServerConnection* c, SFrameSource source, const char* name) {
    std::uint8_t out[LNK_OUT_SIZE];
    std::uint16_t length = 0;
    const std::uint32_t r = source(c->Link.get(), out, &length);
    SessionLog(QStringLiteral("SM: %1 OK - %2").arg(QLatin1String(name), Hex(r, 8)));
    if (r & LEV_SFRAMES)
        Send(c, out, length);
}

bool TConnectionForm::Send(TServerConnection* c, const std::uint8_t* buffer, std::uint16_t length) {
    if (length > MaxSendLength)
        return false;
    if (c->SendBuf(buffer, length) < 0) {
        SessionLog(QStringLiteral("SM: error sending a packet"));
        return false;
    }
    return true;
}

void TConnectionForm::ProcessData(int objectNumber, const HwInfo& info) {
    Report(objectNumber, info, 0);
}

void TConnectionForm::ProcessHwInfo(int objectNumber, const HwInfo& info) {
    Report(objectNumber, info, 1);
}

void TConnectionForm::Report(int objectNumber, const HwInfo& info, std::int8_t kind) {
    TReportHeader header;
    header.ObjectNumber = objectNumber;
    header.Times.fill(Now());
    TSensorReport report;
    for (int i = 0; i < 4; ++i)
        report.InputStates[std::size_t(i)] = std::int8_t((info.InputBits >> i) & 1);
    report.ObjectNumber = objectNumber;
    report.Kind = kind;
    MainForm->ConverterReceiveSensor(this, header, report);
}

void TConnectionForm::DecodeProfile1(ObjProfile* profile, bool authFlag) {
    ObjSettingsDialog->DecodeProfile1(profile, authFlag);
}

void TConnectionForm::DecodeProfile2(ObjProfile* profile, bool authFlag) {
    ObjSettingsDialog->DecodeProfile2(profile, authFlag);
}
