#include "dialogs/PasswordUpdate.h"

#include <QLabel>
#include <QPushButton>

#include "core/FormControls.h"
#include "core/MainForm.h"

namespace {

constexpr int DesignWidth = 235;

} // namespace

TPasswordUpdate* PasswordUpdate = nullptr;

TPasswordUpdate::TPasswordUpdate(QWidget* owner)
    : TForm(owner),
      InfoLabel(Placed(new QLabel(QStringLiteral("Введите пароль для доступа к настройкам"), this),
                       "InfoLabel", 8, 12)),
      PassLabel(Placed(new QLabel(QStringLiteral("Пароль:"), this), "PassLabel", 8, 44)),
      PassDoubleLabel(Placed(new QLabel(QStringLiteral("Повтор:"), this), "PassDoubleLabel", 8, 76)),
      PasswordEdit(Placed(new TGuardedEdit(this), "PasswordEdit", 64, 40)),
      PasswordDoubleEdit(Placed(new TGuardedEdit(this), "PasswordDoubleEdit", 64, 72)),
      ButtonOK(Placed(new QPushButton(QStringLiteral("ОК"), this), "ButtonOK", 72, 104)),
      ButtonCancel(Placed(new QPushButton(QStringLiteral("Отмена"), this), "ButtonCancel", 152, 104)) {
    setObjectName(QStringLiteral("PasswordUpdate"));
    SetCaption(QStringLiteral("PasswordUpdate"));
    setFixedSize(DesignWidth, 135);
    for (TGuardedEdit* edit : {PasswordEdit, PasswordDoubleEdit})
        edit->setFixedWidth(161);
    for (QPushButton* button : {ButtonOK, ButtonCancel})
        button->resize(75, 25);
    setTabOrder(PasswordEdit, PasswordDoubleEdit);
    ButtonOK->setDefault(true);
    connect(ButtonOK, &QPushButton::clicked, this, [this] { ButtonOKClick(); });
    SetButtonModalResult(ButtonCancel, mrCancel);
}

// The caption and the prompt line that the caller set show whole, the prompt on one line.
void TPasswordUpdate::FormShow() {
    InfoLabel->resize(InfoLabel->sizeHint());
    FitWidth(this, DesignWidth, std::max(TextRight(InfoLabel), CaptionWidth(Caption())),
             {ButtonOK, ButtonCancel}, {PasswordEdit, PasswordDoubleEdit});
    if (MainForm)
        CentreOn(this, MainForm);
    Password.clear();
    PasswordEdit->setFocus();
}

void TPasswordUpdate::FormClose() {
    PasswordEdit->clear();
    PasswordDoubleEdit->clear();
}

void TPasswordUpdate::ButtonOKClick() {
    const std::string entry = PasswordEdit->ReadOut(TReadOutTag());
    if (entry != PasswordDoubleEdit->ReadOut(TReadOutTag())) {
        MessageDlg(QStringLiteral("Пароль и его повтор не совпадают!"), mtError, mbOK);
        PasswordEdit->setFocus();
        return;
    }
    Password = FillUpPassword(entry);
    SetModalResult(mrOk);
}
