#include "dialogs/ObjSettingsDialog.h"

TObjSettingsDialog* ObjSettingsDialog = nullptr;

TObjSettingsDialog::TObjSettingsDialog(QWidget* owner) : TForm(owner) {
    setObjectName(QStringLiteral("ObjSettingsDialog"));
    SetCaption(QStringLiteral("Настройки контроллера объекта"));
    InfoTimer.SetEnabled(false);
}

void TObjSettingsDialog::LoadButtonClick() {}
