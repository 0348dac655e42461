// The About box: the program's picture, name and version; shown modally from the main window's menu.
#pragma once

#include "platform/Forms.h"
#include "platform/Image.h"

class QFrame;
class QLabel;
class QPushButton;

class TAboutBox : public TForm {
public:
    explicit TAboutBox(QWidget* owner = nullptr);

    QFrame* Panel1 = nullptr;
    TImage* ProgramIcon = nullptr;
    QLabel* ProductName = nullptr;
    QLabel* Version = nullptr;
    QPushButton* OKButton = nullptr;

protected:
    void FormShow() override;
};

extern TAboutBox* AboutBox;
