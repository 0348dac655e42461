// The session manager, a form that is never shown: the modems' TCP server, their sessions and the
// commands sent to them.
//
// Minimal for now: the operations that the main window and the dialogs call exist, but no server is
// opened and no modem can connect, so nothing is ever queued. The real manager replaces this class.
#pragma once

#include "platform/Forms.h"

class TConnectionForm : public TForm {
public:
    explicit TConnectionForm(QWidget* owner = nullptr);

    // Opens the TCP server; reports through the main window's server notifications.
    virtual void OpenPort();
    // Closes every session and the server; true when the server was open.
    virtual bool ClosePort(bool fromMenu);
    // Takes the TCP port of the settings; only while the server is closed.
    virtual void ApplyInternetSettings();
    // Closes the sessions whose object no longer matches the address book.
    virtual void UpdateConnections();
    // Asks the object for its hardware information: 2 queued, 3 not connected.
    virtual int QueryHwInfo(int objectNumber);
};

extern TConnectionForm* ConnectionForm;
