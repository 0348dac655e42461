#include "dialogs/UnusedDialogs.h"

#include <tuple>
#include <utility>

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "core/FormControls.h"
#include "core/MainForm.h"
#include "core/Settings.h"
#include "dialogs/SettingsDialog.h"
#include "platform/Cp1251.h"

TForm6* Form6 = nullptr;
TForm2* Form2 = nullptr;
TPasswordEnterDialog* PasswordEnterDialog = nullptr;
TAlarmEditDialog* AlarmEditDialog = nullptr;

namespace {

void Name(TForm* form, const char* name, const char* caption, int width, int height) {
    form->setObjectName(QLatin1String(name));
    form->SetCaption(QString::fromUtf8(caption));
    form->setFixedSize(width, height);
}

QLabel* Label(QWidget* form, const char* name, const char* caption, int left, int top) {
    return Placed(new QLabel(QString::fromUtf8(caption), form), name, left, top);
}

// The OK button (Default) and the Cancel button at the form's bottom right.
std::pair<QPushButton*, QPushButton*> OkCancel(TForm* form, const char* okName, const char* cancelName,
                                               int top) {
    const int right = form->width() - 8;
    auto* ok = Placed(new QPushButton(QStringLiteral("ОК"), form), okName, right - 2 * 75 - 6, top);
    auto* cancel = Placed(new QPushButton(QStringLiteral("Отмена"), form), cancelName, right - 75, top);
    for (QPushButton* b : {ok, cancel})
        b->resize(75, 25);
    ok->setDefault(true);
    return {ok, cancel};
}

// Buttons that end the dialog with OK and Cancel.
void EndWith(TForm* form, std::pair<QPushButton*, QPushButton*> buttons) {
    form->SetButtonModalResult(buttons.first, mrOk);
    form->SetButtonModalResult(buttons.second, mrCancel);
}

QLineEdit* PasswordField(QWidget* form, const char* name, int left, int top, int width) {
    auto* edit = Placed(new QLineEdit(form), name, left, top);
    edit->setFixedWidth(width);
    edit->setEchoMode(QLineEdit::Password);
    edit->setValidator(new TCp1251Validator(edit));
    return edit;
}

} // namespace

TForm6::TForm6(QWidget* owner) : TForm(owner) {
    Name(this, "Form6", "Ввод текста сообщения", 330, 105);
    Label1 = Label(this, "Label1", "Введите текст сообщения, и нажмите OK для отправки", 8, 8);
    ComboBox1 = Placed(new QComboBox(this), "ComboBox1", 8, 32);
    ComboBox1->setEditable(true);
    ComboBox1->addItem(QStringLiteral(">SRM;ID_FLAG=F<"));
    WidenToFit(this, {Label1});
    ComboBox1->setFixedWidth(width() - 16);
    std::tie(Button1, Button2) = OkCancel(this, "Button1", "Button2", 72);
    EndWith(this, {Button1, Button2});
}

void TForm6::FormShow() {
    ComboBox1->setFocus();
}

// Centred on its owner, as a dialog with a parent is.
TForm2::TForm2(QWidget* owner) : TForm(owner) {
    Name(this, "Form2", "Запрос PIN-кода", 230, 100);
    Label1 = Label(this, "Label1", "Введите PIN-код   (от 4 до 8 цифр)", 8, 8);
    WidenToFit(this, {Label1});
    Edit1 = PasswordField(this, "Edit1", 8, 32, width() - 16);
    std::tie(BitBtn2, BitBtn1) = OkCancel(this, "BitBtn2", "BitBtn1", 67);
    EndWith(this, {BitBtn2, BitBtn1});
}

void TForm2::FormShow() {
    Edit1->clear();
    Edit1->setFocus();
}

TPasswordEnterDialog::TPasswordEnterDialog(QWidget* owner) : TForm(owner) {
    Name(this, "PasswordEnterDialog", "Запрос пароля", 235, 115);
    Label4 = Label(this, "Label4", "Введите пароль для доступа к настройкам", 8, 12);
    Label5 = Label(this, "Label5", "Пароль:", 8, 44);
    WidenToFit(this, {Label4});
    PasswordEdit = PasswordField(this, "PasswordEdit", 64, 40, 161);
    PasswordEdit->setMaxLength(20);
    std::tie(ButtonOK, ButtonCancel) = OkCancel(this, "ButtonOK", "ButtonCancel", 80);
    // A wrong password keeps the dialog open, so OK ends it only through its handler.
    connect(ButtonOK, &QPushButton::clicked, this, [this] { ButtonOKClick(); });
    connect(ButtonCancel, &QPushButton::clicked, this, [this] { ButtonCancelClick(); });
}

void TPasswordEnterDialog::FormShow() {
    if (MainForm)
        CentreOn(this, MainForm);
    PasswordEdit->clear();
    PasswordEdit->setFocus();
}

void TPasswordEnterDialog::ButtonOKClick() {
    if (AppSettings && ToCp1251(PasswordEdit->text()) == PasswordText(AppSettings->Password)) {
        hide();
        if (SettingsDialog)
            SettingsDialog->show();
        return;
    }
    MessageDlg(QStringLiteral("Пароль неверен!"), mtError, mbOK);
    PasswordEdit->clear();
    PasswordEdit->setFocus();
}

void TPasswordEnterDialog::ButtonCancelClick() {
    close();
}

void TPasswordEnterDialog::FormClose() {
    if (MainForm)
        MainForm->setEnabled(true);
}

// Centred on the screen, as a dialog without a parent is.
TAlarmEditDialog::TAlarmEditDialog(QWidget* owner) : TForm(owner) {
    Name(this, "AlarmEditDialog", "Определение тревоги", 300, 240);
    CurrentObjectLabel = Label(this, "CurrentObjectLabel", "Текущий объект", 8, 8);
    Label1 = Label(this, "Label1", "Выберите \"тревожные\" события для входов объекта", 8, 28);
    WidenToFit(this, {Label1});
    const QStringList events = {
        QStringLiteral("N - Нет"),
        QStringLiteral("0 -  Разомкнут (\"0\")"),
        QStringLiteral("1 - Замкнут (\"1\")"),
        QStringLiteral("R - Замыкание (\"0\"->\"1\")"),
        QStringLiteral("F - Размыкание (\"1\"->\"0\")"),
        QStringLiteral("A - Любое изменение (\"0\"<->\"1\")"),
    };
    const char* numbers[] = {"Label2", "Label3", "Label4", "Label5", "Label6"};
    const char* labels[] = {"In1Label", "In2Label", "In3Label", "In4Label", "In5Label"};
    const char* lists[] = {"In1ComboBox", "In2ComboBox", "In3ComboBox", "In4ComboBox", "In5ComboBox"};
    QLabel** inLabels[] = {&In1Label, &In2Label, &In3Label, &In4Label, &In5Label};
    QComboBox** inLists[] = {&In1ComboBox, &In2ComboBox, &In3ComboBox, &In4ComboBox, &In5ComboBox};
    for (int i = 0; i < 5; ++i) {
        const int top = 56 + 28 * i;
        Placed(new QLabel(QStringLiteral("%1.").arg(i + 1), this), numbers[i], 8, top + 4);
        *inLabels[i] = Placed(new QLabel(QStringLiteral("IN%1").arg(i + 1), this), labels[i], 28, top + 4);
        QComboBox* list = Placed(new QComboBox(this), lists[i], 70, top);
        list->addItems(events);
        list->setFixedWidth(222);
        *inLists[i] = list;
    }
    std::tie(ButtonOK, ButtonCancel) = OkCancel(this, "ButtonOK", "ButtonCancel", 204);
    EndWith(this, {ButtonOK, ButtonCancel});
}
