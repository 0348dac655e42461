#include "platform/Forms.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCloseEvent>
#include <QScreen>
#include <QShowEvent>

#include "platform/Application.h"

bool TFormEvents::CloseAllowed() {
    bool canClose = true;
    FormCloseQuery(canClose);
    if (canClose)
        FormClose();
    return canClose;
}

TForm::TForm(QWidget* owner) : QDialog(owner) {}

int TForm::ShowModal() {
    modalResult_ = mrNone;
    modal_ = true;
    exec();
    modal_ = false;
    return modalResult_;
}

void TForm::SetModalResult(int result) {
    modalResult_ = result;
    if (!modal_ || result == mrNone || !isVisible())
        return;
    if (!CloseAllowed()) {
        modalResult_ = mrNone;
        return;
    }
    QDialog::done(result);
}

void TForm::SetButtonModalResult(QAbstractButton* button, int result) {
    connect(button, &QAbstractButton::clicked, this, [this, result] { SetModalResult(result); });
}

void TForm::SetPosition(TPosition position) {
    position_ = position;
    if (isVisible())
        Place();
}

// The centred positions fall back to the screen when there is nothing to centre on.
void TForm::Place() {
    const QWidget* around = nullptr;
    if (position_ == poOwnerFormCenter && parentWidget())
        around = parentWidget()->window();
    else if (position_ == poMainFormCenter && Application && Application->MainForm())
        around = Application->MainForm();
    else if (position_ != poScreenCenter && position_ != poDesktopCenter && position_ != poOwnerFormCenter &&
             position_ != poMainFormCenter)
        return; // designed, or the window system's choice
    QRect area = around ? around->frameGeometry() : QRect();
    if (!around) {
        const QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
        if (!screen)
            return;
        area = screen->availableGeometry();
    }
    QRect frame = frameGeometry();
    frame.moveCenter(area.center());
    move(frame.topLeft());
}

void TForm::showEvent(QShowEvent* event) {
    if (!event->spontaneous())
        Place();
    QDialog::showEvent(event);
    if (!event->spontaneous())
        FormShow();
}

void TForm::closeEvent(QCloseEvent* event) {
    if (modal_) {
        SetModalResult(mrCancel); // hides the form itself when the close is allowed
        event->ignore();
        return;
    }
    event->setAccepted(CloseAllowed());
}

// Qt's accept() and reject() (Enter, Escape) end up here.
void TForm::done(int result) {
    SetModalResult(result == QDialog::Rejected ? mrCancel : result);
}

QWidget* OwnerWindow(const void* owner) {
    if (!owner)
        return nullptr;
    for (QWidget* widget : QApplication::allWidgets())
        if (dynamic_cast<const void*>(widget) == owner)
            return widget;
    return nullptr;
}

TMainWindowForm::TMainWindowForm(QWidget* owner) : QMainWindow(owner) {}

void TMainWindowForm::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (!event->spontaneous())
        FormShow();
}

void TMainWindowForm::closeEvent(QCloseEvent* event) {
    event->setAccepted(CloseAllowed());
    if (event->isAccepted() && Application && Application->MainForm() == this)
        Application->Terminate();
}
