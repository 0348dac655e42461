#include "dialogs/UnusedDialogs.h"

TForm6* Form6 = nullptr;
TForm2* Form2 = nullptr;
TPasswordEnterDialog* PasswordEnterDialog = nullptr;
TAlarmEditDialog* AlarmEditDialog = nullptr;

namespace {

void Name(TForm* form, const char* name, const char* caption) {
    form->setObjectName(QLatin1String(name));
    form->SetCaption(QString::fromUtf8(caption));
}

} // namespace

TForm6::TForm6(QWidget* owner) : TForm(owner) {
    Name(this, "Form6", "Ввод текста сообщения");
}

TForm2::TForm2(QWidget* owner) : TForm(owner) {
    Name(this, "Form2", "Запрос PIN-кода");
}

TPasswordEnterDialog::TPasswordEnterDialog(QWidget* owner) : TForm(owner) {
    Name(this, "PasswordEnterDialog", "Запрос пароля");
}

TAlarmEditDialog::TAlarmEditDialog(QWidget* owner) : TForm(owner) {
    Name(this, "AlarmEditDialog", "Определение тревоги");
}
