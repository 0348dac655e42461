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

    QLabel* Label1 = nullptr;
    QComboBox* ComboBox1 = nullptr;
    QPushButton *Button1 = nullptr, *Button2 = nullptr;

protected:
    void FormShow() override;
};

class TForm2 : public TForm {
public:
    explicit TForm2(QWidget* owner = nullptr);

    QLabel* Label1 = nullptr;
    QLineEdit* Edit1 = nullptr;
    QPushButton *BitBtn2 = nullptr, *BitBtn1 = nullptr; // OK, Cancel

protected:
    void FormShow() override;
};

class TPasswordEnterDialog : public TForm {
public:
    explicit TPasswordEnterDialog(QWidget* owner = nullptr);

    QLabel *Label4 = nullptr, *Label5 = nullptr;
    QLineEdit* PasswordEdit = nullptr;
    QPushButton *ButtonOK = nullptr, *ButtonCancel = nullptr;

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

    QLabel *CurrentObjectLabel = nullptr, *Label1 = nullptr;
    QLabel *In1Label = nullptr, *In2Label = nullptr, *In3Label = nullptr, *In4Label = nullptr,
           *In5Label = nullptr;
    QComboBox *In1ComboBox = nullptr, *In2ComboBox = nullptr, *In3ComboBox = nullptr, *In4ComboBox = nullptr,
              *In5ComboBox = nullptr;
    QPushButton *ButtonOK = nullptr, *ButtonCancel = nullptr;
};

extern TForm6* Form6;
extern TForm2* Form2;
extern TPasswordEnterDialog* PasswordEnterDialog;
extern TAlarmEditDialog* AlarmEditDialog;
