#include "core/AboutBox.h"

#include <QFrame>
#include <QLabel>
#include <QPushButton>

#include "core/Bitmaps.h"
#include "core/MainForm.h"

TAboutBox* AboutBox = nullptr;

TAboutBox::TAboutBox(QWidget* owner) : TForm(owner) {
    setObjectName(QStringLiteral("AboutBox"));
    SetCaption(QStringLiteral("О программе"));
    setFixedSize(242, 391);

    Panel1 = new QFrame(this);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setFrameStyle(QFrame::Panel | QFrame::Raised);
    Panel1->setGeometry(8, 8, 226, 334);

    ProgramIcon = new TImage(Panel1);
    ProgramIcon->setObjectName(QStringLiteral("ProgramIcon"));
    ProgramIcon->setGeometry(8, 8, 60, 318);
    ProgramIcon->setScaledContents(true);
    ProgramIcon->SetPicture(LoadBitmap("ABOUT"));

    ProductName = new QLabel(QStringLiteral("Маршрутизатор"), Panel1);
    ProductName->setObjectName(QStringLiteral("ProductName"));
    QFont bold = ProductName->font();
    bold.setBold(true);
    bold.setPointSizeF(bold.pointSizeF() * 1.3);
    ProductName->setFont(bold);
    ProductName->setGeometry(80, 40, 140, 24);

    Version = new QLabel(QStringLiteral("Версия 1.2"), Panel1);
    Version->setObjectName(QStringLiteral("Version"));
    Version->setGeometry(80, 72, 140, 20);

    OKButton = new QPushButton(QStringLiteral("OK"), this);
    OKButton->setObjectName(QStringLiteral("OKButton"));
    OKButton->setGeometry(83, 352, 75, 25);
    OKButton->setDefault(true);
    SetButtonModalResult(OKButton, mrOk);
}

void TAboutBox::FormShow() {
    if (MainForm)
        move(MainForm->frameGeometry().center() - rect().center());
}
