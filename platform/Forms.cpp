#include "platform/Forms.h"

#include <algorithm>

#include <QAbstractButton>
#include <QApplication>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QShowEvent>
#include <QWindow>

#include "platform/Application.h"

namespace {

// Room in the title bar besides the caption: the window menu's icon, three buttons, the gaps.
constexpr int TitleBarFurniture = 110;

QMargins Margins(const QWidget* window) {
    const QRect frame = window->frameGeometry(), client = window->geometry();
    return {client.left() - frame.left(), client.top() - frame.top(), frame.right() - client.right(),
            frame.bottom() - client.bottom()};
}

// A window's frame is known only once the window manager framed it: until then, take the frame of a
// window that is already shown.
QMargins FrameMargins(const QWidget* window) {
    QMargins margins = Margins(window);
    if (!margins.isNull())
        return margins;
    for (const QWidget* other : QApplication::topLevelWidgets())
        if (other != window && other->isVisible() && !(margins = Margins(other)).isNull())
            return margins;
    return {};
}

// A window manager frames a window only once it maps it, after the window was placed: such a window
// is kept on the screen again when it is first exposed, its frame known by then.
class TKeepOnScreenWhenFramed : public QObject {
public:
    explicit TKeepOnScreenWhenFramed(QWidget* window) : QObject(window), window_(window) {
        window->windowHandle()->installEventFilter(this);
    }

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Expose && window_->windowHandle()->isExposed()) {
            watched->removeEventFilter(this);
            deleteLater();
            KeepOnScreen(window_);
        }
        return false;
    }

private:
    QWidget* window_;
};

void KeepOnScreenFramed(QWidget* window) {
    KeepOnScreen(window);
    if (Margins(window).isNull() && window->windowHandle())
        new TKeepOnScreenWhenFramed(window);
}

void FitCaption(QWidget* form) {
    const int width = CaptionWidth(form->windowTitle());
    if (form->width() >= width)
        return;
    if (form->minimumWidth() == form->maximumWidth())
        form->setFixedWidth(width);
    else
        form->resize(width, form->height());
}

} // namespace

int CaptionWidth(const QString& caption) {
    QFont bold = QApplication::font();
    bold.setBold(true);
    return QFontMetrics(bold).horizontalAdvance(caption) + TitleBarFurniture;
}

void KeepOnScreen(QWidget* window) {
    const QMargins margins = FrameMargins(window);
    const QRect frame = window->geometry().marginsAdded(margins);
    const QScreen* screen = QGuiApplication::screenAt(frame.center());
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect area = screen->availableGeometry();
    const QPoint topLeft(std::max(area.left(), std::min(frame.left(), area.right() + 1 - frame.width())),
                         std::max(area.top(), std::min(frame.top(), area.bottom() + 1 - frame.height())));
    if (topLeft != frame.topLeft())
        window->setGeometry(QRect(topLeft + QPoint(margins.left(), margins.top()), window->size()));
}

void CentreOn(QWidget* window, const QWidget* on) {
    const QScreen* screen = on ? on->screen() : QGuiApplication::primaryScreen();
    const QPoint centre = on       ? on->frameGeometry().center()
                          : screen ? screen->availableGeometry().center()
                                   : QPoint();
    QRect frame = window->geometry().marginsAdded(FrameMargins(window));
    frame.moveCenter(centre);
    window->move(frame.topLeft()); // a window's position is its frame's
    KeepOnScreen(window);
}

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
    if (result == mrCancel && !cancelButton_)
        cancelButton_ = button;
}

void TForm::SetPosition(TPosition position) {
    position_ = position;
    if (isVisible())
        Place();
}

// The centred positions fall back to the screen when there is nothing to centre on.
void TForm::Place() {
    switch (position_) {
    case poOwnerFormCenter:
        return CentreOn(this, parentWidget() ? parentWidget()->window() : nullptr);
    case poMainFormCenter:
        return CentreOn(this,
                        Application && Application->MainForm() != this ? Application->MainForm() : nullptr);
    case poScreenCenter:
    case poDesktopCenter:
        return CentreOn(this, nullptr);
    default: // designed, or the window system's choice
        return;
    }
}

void TForm::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (event->spontaneous())
        return;
    FormShow();
    FitCaption(this);
    Place();
    KeepOnScreenFramed(this);
}

void TForm::closeEvent(QCloseEvent* event) {
    if (modal_) {
        SetModalResult(mrCancel); // hides the form itself when the close is allowed
        event->ignore();
        return;
    }
    event->setAccepted(CloseAllowed());
}

// Qt's accept() and reject() end up here.
void TForm::done(int result) {
    SetModalResult(result == QDialog::Rejected ? mrCancel : result);
}

// Escape.
void TForm::reject() {
    if (!cancelButton_)
        return done(QDialog::Rejected);
    if (cancelButton_->isVisible() && cancelButton_->isEnabled())
        cancelButton_->click();
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
    if (event->spontaneous())
        return;
    FormShow();
    KeepOnScreenFramed(this);
}

void TMainWindowForm::closeEvent(QCloseEvent* event) {
    event->setAccepted(CloseAllowed());
    if (event->isAccepted() && Application && Application->MainForm() == this)
        Application->Terminate();
}
