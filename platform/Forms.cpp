#include "platform/Forms.h"

#include <QAbstractButton>
#include <QCloseEvent>
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

void TForm::showEvent(QShowEvent* event) {
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
