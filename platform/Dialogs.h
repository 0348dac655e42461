// Stands in for the framework's message boxes (MessageDlg, Application->MessageBox).
//
// Every message box of the program goes through MessageDlg, which hands it to the installed dialog
// service: the screen one by default, a scripted one in tests (ScriptedDialogs.h). The box is modal and
// pumps events while it is open, so timers and sockets keep running. Main thread only.
#pragma once

#include <QString>

enum TMsgDlgType { mtError, mtInformation, mtConfirmation };
enum TMsgDlgButtons { mbOK, mbOKCancel, mbYesNo };

// Modal results of boxes and forms.
inline constexpr int mrNone = 0;
inline constexpr int mrOk = 1;
inline constexpr int mrCancel = 2;
inline constexpr int mrAbort = 3;
inline constexpr int mrYes = 6;
inline constexpr int mrNo = 7;

class TDialogService {
public:
    virtual ~TDialogService() = default;
    // Shows one box and returns the modal result of the button chosen.
    virtual int Show(TMsgDlgType type, const QString& text, TMsgDlgButtons buttons) = 0;
};

int MessageDlg(const QString& text, TMsgDlgType type, TMsgDlgButtons buttons);

// Installs a service (null: the screen one) and returns the one it replaces.
TDialogService* SetDialogService(TDialogService* service);

// The result of a box closed without a button: OK, Cancel or No.
int EscapeResult(TMsgDlgButtons buttons);

// The text as the screen shows it: CR LF and a lone CR become line breaks.
QString DisplayText(const QString& text);
