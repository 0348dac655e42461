// TPasswordUpdate: the modal dialog for a new password (settings or system password, the password of a
// formed SMS command, a modem's own key), asked twice.
//
// The caller sets Caption and InfoLabel, shows it modally and, on mrOk, reads Password: the entry in
// Windows-1251 filled up to 16 characters. A repeat that differs is refused and the dialog stays open.
// Its two edits are guarded as in the password prompt. One instance is created at start-up and reused.
#pragma once

#include <string>

#include "core/GuardedEdit.h"
#include "platform/Forms.h"

#include <QLabel>
#include <QPushButton>

class TPasswordUpdate : public TForm {
public:
    explicit TPasswordUpdate(QWidget* owner = nullptr);

    QLabel* InfoLabel = nullptr;
    QLabel* PassLabel = nullptr;
    QLabel* PassDoubleLabel = nullptr;
    TGuardedEdit* PasswordEdit = nullptr;
    TGuardedEdit* PasswordDoubleEdit = nullptr;
    QPushButton* ButtonOK = nullptr;
    QPushButton* ButtonCancel = nullptr;

    std::string Password;

protected:
    void FormShow() override;
    void FormClose() override;

private:
    void ButtonOKClick();
};

extern TPasswordUpdate* PasswordUpdate;
