// The profile editor of one object (its GPRS, server and SMS settings, read and written over TCP or by
// SMS).
//
// Minimal for now: the form exists; loading a profile does nothing, since no modem can answer yet.
#pragma once

#include "platform/Forms.h"

class TObjSettingsDialog : public TForm {
public:
    explicit TObjSettingsDialog(QWidget* owner = nullptr);

    // Reads the profile of object Tag and shows the dialog.
    virtual void LoadButtonClick();
};

extern TObjSettingsDialog* ObjSettingsDialog;
