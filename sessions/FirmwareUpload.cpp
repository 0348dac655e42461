// Firmware upload: the image a bound modem gets, the two answers that drive its update (the modem's
// update context and the acknowledgement of blocks), a block request that builds nothing, and the
// settings' marks and images taking effect.
//
// An update runs: binding -> GetUpdCtx -> the context (the share the modem holds) -> SetUpdBlk frames,
// each acknowledged, with GetUpdCtx again whenever the context is not known -> every block sent
// (UpdateState 100) -> the acknowledgement that ends it (UpdateState -1). It resumes after every
// reconnection while the object is marked and an image of its hardware group is loaded.
#include "sessions/ConnectionForm.h"

#include "core/ObjectStates.h"
#include "dialogs/FirmwareImages.h"
#include "dialogs/SettingsDialog.h"
#include "sessions/ServerConnection.h"
#include "sessions/SessionLog.h"

namespace {

// The link sends from entry index of the table; -1 or an empty entry: no image.
void GiveImage(IpLink* link, int index) {
    const std::vector<uint8_t>* image = index >= 0 ? &SWImages[std::size_t(index)] : nullptr;
    const bool loaded = image && !image->empty();
    link->Upd.Image = loaded ? image->data() : nullptr;
    link->Upd.ImageSize = loaded ? uint32_t(image->size()) : 0;
}

// The object's modem runs the version of image index: all four bytes.
bool RunsImageVersion(const TObjectStates* object, int index) {
    return index >= 0 && object->HwVersion == SWVersions[std::size_t(index)];
}

void Redraw(TObjectStates* object) {
    if (SettingsDialog && SettingsDialog->isVisible())
        SettingsDialog->RedrawUpdateString(object);
}

} // namespace

void TConnectionForm::ChooseFirmware(TServerConnection* c, TObjectStates* object) {
    IpLink* link = c->Link.get();
    const int index = FindFirmwareIndex(object->HwVersion[0]);
    if (index < 0) {
        GiveImage(link, -1);
        object->UpdateState = -1;
        return;
    }
    // A connection that served another object's modem before this authentication may hold the image of
    // another group; the context it knew belongs to that image.
    if (link->Upd.Image != SWImages[std::size_t(index)].data()) {
        GiveImage(link, index);
        link->Upd.Flags &= ~UPD_CTX_KNOWN;
    }
    if (object->UpdateState == 100 && RunsImageVersion(object, index))
        object->UpdateState = -1; // it came back with the new version
}

void TConnectionForm::UpdateContextReceived(TServerConnection* c, TObjectStates* object) {
    const UpdCtx& upd = c->Link->Upd;
    if (object->UpdateState >= 0) {
        object->UpdateState = upd.Percent;
        c->PendingCommands = (c->PendingCommands | REQ_SET_UPD_BLK) & ~REQ_GET_UPD_CTX;
    }
    SessionLog(QStringLiteral("SM: update ctx received - progress: %1, err: %2")
                   .arg(upd.Percent)
                   .arg((upd.Flags & UPD_RESTART) ? 1 : 0));
    Redraw(object);
}

void TConnectionForm::UpdateBlocksAcknowledged(TServerConnection* c, TObjectStates* object) {
    const UpdCtx& upd = c->Link->Upd;
    const bool stop = upd.Flags & UPD_COMPLETE;
    if (object->UpdateState >= 0) {
        object->UpdateState = upd.Percent;
        if (stop)
            object->UpdateState = -1;
        else if (upd.Flags & UPD_CTX_KNOWN)
            c->PendingCommands = (c->PendingCommands | REQ_SET_UPD_BLK) & ~REQ_GET_UPD_CTX;
        else
            c->PendingCommands |= REQ_GET_UPD_CTX;
    }
    SessionLog(
        QStringLiteral("SM: update block ack - progress: %1, stop: %2").arg(upd.Percent).arg(stop ? 1 : 0));
    Redraw(object);
}

// A block request that builds nothing is never sent as an empty frame nor left to be tried forever:
// the update context decides what it means.
void TConnectionForm::UpdateBlocksTried(TServerConnection* c, bool built) {
    TObjectStates* object = BoundObject(c);
    const uint8_t flags = c->Link->Upd.Flags;
    if (built) {
        if ((flags & UPD_COMPLETE) && object) {
            object->UpdateState = 100; // every block is out; the acknowledgement ends the update
            Redraw(object);
        }
        return;
    }
    c->PendingCommands &= ~REQ_SET_UPD_BLK;
    if (flags & UPD_COMPLETE) {
        // The modem already holds the whole image. It is finished once it runs the image's version; until
        // then it stands where a modem whose last blocks were sent stands, and its next binding decides.
        if (object && object->UpdateState >= 0 &&
            !RunsImageVersion(object, FindFirmwareIndex(object->HwVersion[0]))) {
            object->UpdateState = 100;
            Redraw(object);
            return;
        }
        SessionLog(QStringLiteral("SM: update finished") + ObjectText(c->ObjectNumber));
    } else if (flags & UPD_INVALID) {
        c->PendingCommands &= ~REQ_GET_UPD_CTX;
        SessionLog(QStringLiteral("SM: update cancelled, the image is invalid") +
                   ObjectText(c->ObjectNumber));
    } else {
        c->PendingCommands |= REQ_GET_UPD_CTX; // the modem's context is not known: ask for it
        return;
    }
    if (object) {
        object->UpdateState = -1;
        Redraw(object);
    }
}

void TConnectionForm::ApplySWSettings(bool versionsChanged) {
    for (int i = 0; i < ServerSocket.ActiveConnections(); ++i) {
        TServerConnection* c = UsableConnection(i);
        if (!c)
            continue;
        IpLink* link = c->Link.get();
        // Only a connection bound to its object, by the modem ID that authenticated, is updated; the
        // others keep no image, since the commit may have freed the one they had.
        TObjectStates* object = BoundObject(c);
        if (!object || object->ModemID != c->BoundModemId) {
            GiveImage(link, -1);
            continue;
        }
        const int index = FindFirmwareIndex(object->HwVersion[0]);
        if (object->UpdateState >= 0 && index >= 0) {
            if (versionsChanged) { // start over from the modem's context, with the new image
                GiveImage(link, index);
                link->Upd.Flags &= ~UPD_CTX_KNOWN;
                c->PendingCommands &= ~REQ_SET_UPD_BLK;
            }
            c->PendingCommands |= REQ_GET_UPD_CTX;
        } else {
            GiveImage(link, index);
            link->Upd.Flags &= ~UPD_CTX_KNOWN;
            c->PendingCommands &= ~(REQ_SET_UPD_BLK | REQ_GET_UPD_CTX);
            object->UpdateState = -1;
        }
    }
}
