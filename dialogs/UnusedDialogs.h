// Four dialogs that the program creates at start-up and never shows: a message text, a PIN, the
// settings password and the alarm events of an object's inputs. Nothing stores what is entered in them.
#pragma once

#include <array>

#include "platform/Forms.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

class TForm6 : public TForm {
public:
    explicit TForm6(QWidget* owner = nullptr);

    QLabel* Label1;
    QComboBox* ComboBox1;
    QPushButton *Button1, *Button2;

protected:
    void FormShow() override;
};

class TForm2 : public TForm {
public:
    explicit TForm2(QWidget* owner = nullptr);

    QLabel* Label1;
    QLineEdit* Edit1;
    QPushButton *BitBtn2, *BitBtn1; // OK, Cancel

protected:
    void FormShow() override;
};

class TPasswordEnterDialog : public TForm {
public:
    explicit TPasswordEnterDialog(QWidget* owner = nullptr);

    QLabel *Label4, *Label5;
    QLineEdit* PasswordEdit;
    QPushButton *ButtonOK, *ButtonCancel;

    // The settings password entered: the dialog hides and the settings dialog shows.
    void ButtonOKClick();
    void ButtonCancelClick();

protected:
    void FormShow() override;
    void FormClose() override;
};

class TAlarmEditDialog : public TForm {
public:
    explicit TAlarmEditDialog(QWidget* owner = nullptr);

    QLabel *CurrentObjectLabel, *Label1;
    QLabel *In1Label, *In2Label, *In3Label, *In4Label, *In5Label;
    QComboBox *In1ComboBox, *In2ComboBox, *In3ComboBox, *In4ComboBox, *In5ComboBox;
    QPushButton *ButtonOK, *ButtonCancel;
};

extern TForm6* Form6;
extern TForm2* Form2;
extern TPasswordEnterDialog* PasswordEnterDialog;
extern TAlarmEditDialog* AlarmEditDialog;
