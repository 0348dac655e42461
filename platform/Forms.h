// Stands in for the framework's forms (TForm): the events a form handles, ShowModal and ModalResult,
// Caption and Tag.
//
// TForm is a dialog window, TMainWindowForm the main window (menus, tool bar, status bar). Both call
//   FormShow                 each time the program shows the form (not when the window system
//                            restores it from the task bar),
//   FormCloseQuery(canClose) before it closes; clearing canClose keeps it open,
//   FormClose                when it does close.
// ShowModal runs a nested event loop, so timers and sockets go on meanwhile; setting ModalResult to
// non-zero ends it (after FormCloseQuery agrees). The close box gives mrCancel. Escape clicks the form's
// Cancel button (a button given mrCancel, or the one SetCancelButton names), so that it does what that
// button does, shown modally or not; a form without one gives mrCancel to Escape. A form still
// inside ShowModal must not be destroyed. A form's Position places it each time it is shown (and at
// once while it is visible); its Ctl3D is kept for those who read it back, as the look here is the
// window system's. Main thread only.
//
// Every form that is shown lies inside the available area of its screen (what panels and task bars
// leave), frame included, and a dialog is at least as wide as its caption needs.
#pragma once

#include <QDialog>
#include <QMainWindow>

#include "platform/Dialogs.h"

class QAbstractButton;

// Where a form is placed when it is shown.
enum TPosition {
    poDesigned, // where its geometry says
    poDefault,  // where the window system puts it
    poDefaultPosOnly,
    poDefaultSizeOnly,
    poScreenCenter, // at the centre of the screen
    poDesktopCenter,
    poMainFormCenter,  // at the centre of the application's main form
    poOwnerFormCenter, // at the centre of its owner
};

// The width a window needs for the whole of its caption to show in the title bar, beside the window
// menu's icon and the title bar's buttons (window managers draw captions in a bold font).
int CaptionWidth(const QString& caption);

// Moves a top-level window so that the whole of it, frame included, lies inside the available area of
// the screen it is on, or of the primary screen when no screen shows it; a window larger than that area
// keeps its top left corner inside.
void KeepOnScreen(QWidget* window);

// Centres a window on another window (on the screen without one), inside the available area.
void CentreOn(QWidget* window, const QWidget* on);

class TFormEvents {
public:
    virtual ~TFormEvents() = default;
    int Tag = 0;

protected:
    virtual void FormShow() {}
    virtual void FormCloseQuery(bool& canClose) { (void)canClose; }
    virtual void FormClose() {}

    // FormCloseQuery, then FormClose if it agreed; true when the form may close.
    bool CloseAllowed();
};

class TForm : public QDialog, public TFormEvents {
public:
    explicit TForm(QWidget* owner = nullptr);

    QString Caption() const { return windowTitle(); }
    void SetCaption(const QString& caption) { setWindowTitle(caption); }
    TPosition Position() const { return position_; }
    void SetPosition(TPosition position);
    bool Ctl3D() const { return ctl3D_; }
    void SetCtl3D(bool ctl3D) { ctl3D_ = ctl3D; }

    // Shows the form modally and returns mrOk, mrCancel, mrYes, mrNo or whatever ended the loop.
    int ShowModal();
    bool InModalLoop() const { return modal_; }
    int ModalResult() const { return modalResult_; }
    void SetModalResult(int result);
    // Clicking the button sets the form's ModalResult to result; a button given mrCancel is the form's
    // Cancel button.
    void SetButtonModalResult(QAbstractButton* button, int result);
    // The button that Escape clicks (while it is visible and enabled).
    void SetCancelButton(QAbstractButton* button) { cancelButton_ = button; }

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void done(int result) override;
    void reject() override;

private:
    void Place();

    QAbstractButton* cancelButton_ = nullptr;
    bool modal_ = false;
    int modalResult_ = mrNone;
    TPosition position_ = poDesigned;
    bool ctl3D_ = true;
};

// The window of a component's owner, which a component knows only by its address: the widget that is
// that object, null when it is none.
QWidget* OwnerWindow(const void* owner);

class TMainWindowForm : public QMainWindow, public TFormEvents {
public:
    explicit TMainWindowForm(QWidget* owner = nullptr);

    QString Caption() const { return windowTitle(); }
    void SetCaption(const QString& caption) { setWindowTitle(caption); }

protected:
    void showEvent(QShowEvent* event) override;
    // When this is the application's main form, its close ends the program.
    void closeEvent(QCloseEvent* event) override;
};
