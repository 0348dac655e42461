// TPasswordEnter: the modal prompt for an existing password (the system password when the state file
// does not open with the stored keys, the settings or system password before a protected dialog).
//
// The caller sets Caption and InfoLabel, shows it modally and, on mrOk, reads Password: the entry in
// Windows-1251 filled up to 16 characters. After any other result nothing was entered. One instance is
// created at start-up and reused; each showing starts with an empty Password and ends with an empty edit.
#pragma once

#include <string>

#include "core/GuardedEdit.h"
#include "platform/Forms.h"

#include <QLabel>
#include <QPushButton>

class TPasswordEnter : public TForm {
public:
    explicit TPasswordEnter(QWidget* owner = nullptr);

    QLabel* InfoLabel = nullptr;
    QLabel* PassLabel = nullptr;
    TGuardedEdit* PasswordEdit = nullptr;
    QPushButton* ButtonOK = nullptr;
    QPushButton* ButtonCancel = nullptr;

    std::string Password;

protected:
    void FormShow() override;
    void FormClose() override;

private:
    void ButtonOKClick();
};

extern TPasswordEnter* PasswordEnter;
