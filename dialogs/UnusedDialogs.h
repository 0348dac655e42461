// Four dialogs that the program creates at start-up and never shows: a message text, a PIN, the
// settings password and the alarm events of an object's inputs.
//
// Minimal for now: the forms exist with their names and captions, without their controls.
#pragma once

#include "platform/Forms.h"

class TForm6 : public TForm {
public:
    explicit TForm6(QWidget* owner = nullptr);
};

class TForm2 : public TForm {
public:
    explicit TForm2(QWidget* owner = nullptr);
};

class TPasswordEnterDialog : public TForm {
public:
    explicit TPasswordEnterDialog(QWidget* owner = nullptr);
};

class TAlarmEditDialog : public TForm {
public:
    explicit TAlarmEditDialog(QWidget* owner = nullptr);
};

extern TForm6* Form6;
extern TForm2* Form2;
extern TPasswordEnterDialog* PasswordEnterDialog;
extern TAlarmEditDialog* AlarmEditDialog;
