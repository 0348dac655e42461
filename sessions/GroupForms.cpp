#include "sessions/GroupForms.h"

TGroupsDialog* GroupsDialog = nullptr;
TRenameForm* RenameForm = nullptr;
TSelectBaseForm* SelectBaseForm = nullptr;

TGroupsDialog::TGroupsDialog(QWidget* owner) : TForm(owner) {
    setObjectName(QStringLiteral("GroupsDialog"));
    SetCaption(QStringLiteral("Редактор групп"));
}

TRenameForm::TRenameForm(QWidget* owner) : TForm(owner) {
    setObjectName(QStringLiteral("RenameForm"));
    SetCaption(QStringLiteral("Переименование группы"));
}

TSelectBaseForm::TSelectBaseForm(QWidget* owner) : TForm(owner) {
    setObjectName(QStringLiteral("SelectBaseForm"));
    SetCaption(QStringLiteral("Выбор базы"));
}
