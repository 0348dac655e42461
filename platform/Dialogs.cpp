#include "platform/Dialogs.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>

#include "platform/Application.h"

namespace {

class TScreenDialogs : public TDialogService {
public:
    int Show(TMsgDlgType type, const QString& text, TMsgDlgButtons buttons) override {
        QMessageBox box(Icon(type), Application ? Application->Title() : QString(), DisplayText(text),
                        QMessageBox::NoButton, QApplication::activeWindow());
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
