#include "core/PasswordEnter.h"

#include <QLabel>
#include <QPushButton>

#include "core/FormControls.h"

namespace {

constexpr int DesignWidth = 235;

} // namespace

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
    setFixedSize(DesignWidth, 135);
    PasswordEdit->setFixedWidth(161);
    ButtonOK->resize(75, 25);
    ButtonCancel->resize(75, 25);
    ButtonOK->setDefault(true);
    connect(ButtonOK, &QPushButton::clicked, this, [this] { ButtonOKClick(); });
    SetButtonModalResult(ButtonCancel, mrCancel);
}

// The caption and the prompt line that the caller set show whole, the prompt on one line.
void TPasswordEnter::FormShow() {
    InfoLabel->resize(InfoLabel->sizeHint());
    FitWidth(this, DesignWidth, std::max(TextRight(InfoLabel), CaptionWidth(Caption())),
             {ButtonOK, ButtonCancel}, {PasswordEdit});
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
