#include "core/PasswordEnter.h"

#include <QLabel>
#include <QPushButton>

#include "core/FormControls.h"

TPasswordEnter* PasswordEnter = nullptr;

TPasswordEnter::TPasswordEnter(QWidget* owner)
    : TForm(owner),
      InfoLabel(Placed(new QLabel(QStringLiteral("Введите системный пароль"), this), "InfoLabel", 7, 20)),
      PassLabel(Placed(new QLabel(QStringLiteral("Пароль:"), this), "PassLabel", 8, 60)),
      PasswordEdit(Placed(new TGuardedEdit(this), "PasswordEdit", 64, 56)),
      ButtonOK(Placed(new QPushButton(QStringLiteral("ОК"), this), "ButtonOK", 72, 104)),
      ButtonCancel(Placed(new QPushButton(QStringLiteral("Отмена"), this), "ButtonCancel", 152, 104)) {
    setObjectName(QStringLiteral("PasswordEnter"));
    SetCaption(QStringLiteral("Запрос пароля"));
    setFixedSize(235, 135);
    // The callers' prompt lines are longer than the dialog is wide in some fonts.
    InfoLabel->setWordWrap(true);
    InfoLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    InfoLabel->resize(235 - 2 * 7, 34);
    PasswordEdit->setFixedWidth(161);
    ButtonOK->resize(75, 25);
    ButtonCancel->resize(75, 25);
    ButtonOK->setDefault(true);
    connect(ButtonOK, &QPushButton::clicked, this, [this] { ButtonOKClick(); });
    SetButtonModalResult(ButtonCancel, mrCancel);
}

void TPasswordEnter::FormShow() {
    Password.clear();
    PasswordEdit->setFocus();
}

void TPasswordEnter::FormClose() {
    PasswordEdit->clear();
}

void TPasswordEnter::ButtonOKClick() {
    Password = FillUpPassword(PasswordEdit->ReadOut(TReadOutTag()));
    SetModalResult(mrOk);
}
