#include "core/AboutBox.h"

#include <QFrame>
#include <QLabel>
#include <QPushButton>

#include "core/Bitmaps.h"
#include "core/FormControls.h"
#include "core/MainForm.h"

TAboutBox* AboutBox = nullptr;

namespace {

constexpr int DesignWidth = 242, PanelWidth = 226;

} // namespace

TAboutBox::TAboutBox(QWidget* owner) : TForm(owner) {
    setObjectName(QStringLiteral("AboutBox"));
    SetCaption(QStringLiteral("О программе"));
    setFixedSize(DesignWidth, 391);

    Panel1 = new QFrame(this);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setFrameStyle(QFrame::Panel | QFrame::Raised);
    Panel1->setGeometry(8, 8, PanelWidth, 334);

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
    ProductName->move(80, 40);
    ProductName->resize(ProductName->sizeHint());

    Version = new QLabel(QStringLiteral("Версия 1.2"), Panel1);
    Version->setObjectName(QStringLiteral("Version"));
    Version->move(80, 72);
    Version->resize(Version->sizeHint());

    OKButton = new QPushButton(QStringLiteral("OK"), this);
    OKButton->setObjectName(QStringLiteral("OKButton"));
    OKButton->setGeometry(83, 352, 75, 25);
    // The product's name in its large font shows whole: the panel and the box widen for it.
    const int grow = std::max({0, TextRight(ProductName) - PanelWidth, TextRight(Version) - PanelWidth});
    Panel1->resize(PanelWidth + grow, Panel1->height());
    FitWidth(this, DesignWidth, DesignWidth + grow, {});
    OKButton->move((width() - OKButton->width()) / 2, OKButton->y());
    OKButton->setDefault(true);
    SetButtonModalResult(OKButton, mrOk);
}

void TAboutBox::FormShow() {
    if (MainForm)
        CentreOn(this, MainForm);
}
