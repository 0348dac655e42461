// The profile editor of one object (its GPRS, server and SMS settings, read and written over TCP or by
// SMS).
//
// Minimal for now: the form exists; loading a profile does nothing, since no modem can answer yet.
#pragma once

#include <cstdint>

#include "platform/Forms.h"
#include "platform/Timer.h"
#include "protocol/tmgsm.h"

class TObjSettingsDialog : public TForm {
public:
    explicit TObjSettingsDialog(QWidget* owner = nullptr);

    // Reads the profile of object Tag and shows the dialog.
    virtual void LoadButtonClick();

    // Hooks of the sessions, called while the dialog is visible (all but the key acknowledgement only
    // for the object in Tag): a connection was bound, the connection ended, answers arrived, an
    // operation is done.
    virtual void ObjectConnected() {}
    virtual void ConnectionLost() {}
    virtual void DecodeHwInfo(const HwInfo& info) { (void)info; }
    virtual void DecodeProfile1(ObjProfile* profile, bool authFlag) { (void)profile, (void)authFlag; }
    virtual void DecodeProfile2(ObjProfile* profile, bool authFlag) { (void)profile, (void)authFlag; }
    virtual void OperationDone() {}
    virtual void UpdateButtons() {}

    // The profile parts loaded from the modem (request bits 0x1 and 0x2).
    std::uint32_t LoadedParts = 0xFFFF;
    // Started by the key acknowledgement.
    TTimer InfoTimer;
};

extern TObjSettingsDialog* ObjSettingsDialog;
