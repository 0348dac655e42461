// The group editor and its two small dialogs (renaming a group, choosing its base).
//
// Minimal for now: the forms exist with their names; the editor has no controls yet and closes with
// Cancel only, so no group is ever changed through it.
#pragma once

#include "platform/Forms.h"

class TGroupsDialog : public TForm {
public:
    explicit TGroupsDialog(QWidget* owner = nullptr);
};

class TRenameForm : public TForm {
public:
    explicit TRenameForm(QWidget* owner = nullptr);
};

class TSelectBaseForm : public TForm {
public:
    explicit TSelectBaseForm(QWidget* owner = nullptr);
};

extern TGroupsDialog* GroupsDialog;
extern TRenameForm* RenameForm;
extern TSelectBaseForm* SelectBaseForm;
