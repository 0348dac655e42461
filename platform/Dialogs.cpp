#include "platform/Dialogs.h"

#include <algorithm>

#include <QApplication>
#include <QLabel>
#include <QLayout>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>

#include "platform/Application.h"
#include "platform/Forms.h"

namespace {

// Qt wraps a box's text once the box would be wider than a fixed width, and sizes the box for its
// caption in a font of its own: here a line of the text stays whole while it fits in three quarters of
// the screen, and the box is as wide as the title bar needs to show the caption whole.
class TMessageBox : public QMessageBox {
public:
    using QMessageBox::QMessageBox;

    void KeepLinesWhole() {
        auto* label = findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
        const QScreen* shown = screen();
        if (!label || !shown)
            return;
        int widest = 0;
        for (const QString& line : label->text().split(QLatin1Char('\n')))
            widest = std::max(widest, label->fontMetrics().horizontalAdvance(line));
        // A pixel or two to spare: the label lays its text out in a way of its own.
        const int whole = widest + 4;
        if (whole <= shown->availableGeometry().width() * 3 / 4)
            label->setMinimumWidth(whole);
    }

protected:
    bool event(QEvent* event) override {
        const bool result = QMessageBox::event(event);
        if (event->type() == QEvent::LayoutRequest)
            FitCaption();
        return result;
    }

    void showEvent(QShowEvent* event) override {
        QMessageBox::showEvent(event);
        FitCaption();
    }

private:
    void FitCaption() {
        const int caption = CaptionWidth(windowTitle());
        if (width() >= caption || !layout())
            return;
        const int height =
            layout()->hasHeightForWidth() ? layout()->totalHeightForWidth(caption) : this->height();
        setFixedSize(caption, height);
        QCoreApplication::removePostedEvents(this, QEvent::LayoutRequest);
    }
};

class TScreenDialogs : public TDialogService {
public:
    int Show(TMsgDlgType type, const QString& text, TMsgDlgButtons buttons) override {
        TMessageBox box(Icon(type), Application ? Application->Title() : QString(), DisplayText(text),
                        QMessageBox::NoButton, QApplication::activeWindow());
        box.KeepLinesWhole();
        switch (buttons) {
        case mbOK:
            box.setEscapeButton(AddButton(box, QMessageBox::Ok, "ОК"));
            break;
        case mbOKCancel:
            AddButton(box, QMessageBox::Ok, "ОК");
            box.setEscapeButton(AddButton(box, QMessageBox::Cancel, "Отмена"));
            break;
        case mbYesNo:
            AddButton(box, QMessageBox::Yes, "Да");
            box.setEscapeButton(AddButton(box, QMessageBox::No, "Нет"));
            break;
        }
        box.exec();
        return Result(box.standardButton(box.clickedButton()), buttons);
    }

private:
    // The buttons read in the program's language whatever translation Qt found.
    static QPushButton* AddButton(QMessageBox& box, QMessageBox::StandardButton button, const char* text) {
        QPushButton* added = box.addButton(button);
        added->setText(QString::fromUtf8(text));
        return added;
    }

    static QMessageBox::Icon Icon(TMsgDlgType type) {
        switch (type) {
        case mtError:
            return QMessageBox::Critical;
        case mtInformation:
            return QMessageBox::Information;
        case mtConfirmation:
            return QMessageBox::Question;
        }
        return QMessageBox::NoIcon;
    }

    static int Result(QMessageBox::StandardButton button, TMsgDlgButtons buttons) {
        switch (button) {
        case QMessageBox::Ok:
            return mrOk;
        case QMessageBox::Cancel:
            return mrCancel;
        case QMessageBox::Yes:
            return mrYes;
        case QMessageBox::No:
            return mrNo;
        default:
            return EscapeResult(buttons);
        }
    }
};

TScreenDialogs screenDialogs;
TDialogService* current = &screenDialogs;

} // namespace

int MessageDlg(const QString& text, TMsgDlgType type, TMsgDlgButtons buttons) {
    return current->Show(type, text, buttons);
}

TDialogService* SetDialogService(TDialogService* service) {
    TDialogService* previous = current == &screenDialogs ? nullptr : current;
    current = service ? service : &screenDialogs;
    return previous;
}

int EscapeResult(TMsgDlgButtons buttons) {
    return buttons == mbOK ? mrOk : buttons == mbOKCancel ? mrCancel : mrNo;
}

QString DisplayText(const QString& text) {
    QString out = text;
    out.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    out.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return out;
}
