#include "serial/ComSelectForm.h"

#include <algorithm>

#include "serial/ComPort.h"
#include "serial/PortProbe.h"

namespace {

constexpr std::uint32_t HighestPort = 50;

template <class W> W* Placed(W* control, const char* name, int left, int top, int width, int height) {
    control->setObjectName(QLatin1String(name));
    control->setGeometry(left, top, width, height);
    return control;
}

} // namespace

TComSelectForm::TComSelectForm(QWidget* owner)
    : TForm(owner),
      Label1(Placed(new QLabel(QStringLiteral("The configured serial port is not valid."), this), "Label1",
                    14, 14, 194, 18)),
      Label2(
          Placed(new QLabel(QStringLiteral("Please choose another port."), this), "Label2", 14, 36, 194, 18)),
      Bevel1(Placed(new QFrame(this), "Bevel1", 8, 8, 204, 52)),
      PortsComboBox(Placed(new QComboBox(this), "PortsComboBox", 8, 68, 204, 24)),
      OkBtn(Placed(new QPushButton(QStringLiteral("OK"), this), "OkBtn", 30, 100, 75, 25)),
      AbortBtn(Placed(new QPushButton(QStringLiteral("Cancel"), this), "AbortBtn", 115, 100, 75, 25)) {
    setObjectName(QStringLiteral("ComSelectForm"));
    SetCaption(QStringLiteral("Select Port"));
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFixedSize(220, 131);
    Bevel1->setFrameShape(QFrame::Box);
    Bevel1->setFrameShadow(QFrame::Sunken);
    Bevel1->lower(); // a frame around the labels, behind them
    // The labels show whole in the screen's font: the frame, the list and the form widen for them,
    // and the buttons stay in the middle.
    for (QLabel* label : {Label1, Label2})
        label->resize(label->sizeHint().width(), label->height());
    const int grow = std::max({0, Label1->geometry().right() + 7 - Bevel1->geometry().right(),
                               Label2->geometry().right() + 7 - Bevel1->geometry().right()});
    Bevel1->resize(Bevel1->width() + grow, Bevel1->height());
    PortsComboBox->resize(PortsComboBox->width() + grow, PortsComboBox->height());
    for (QPushButton* button : {OkBtn, AbortBtn})
        button->move(button->x() + grow / 2, button->y());
    setFixedSize(width() + grow, height());
    PortsComboBox->setEditable(false);
    OkBtn->setDefault(true);
    SetButtonModalResult(OkBtn, mrOk);
    SetButtonModalResult(AbortBtn, mrAbort);
    SetCancelButton(AbortBtn);
    FormCreate();
}

void TComSelectForm::FormCreate() {
    for (std::uint32_t n = 1; n <= HighestPort; ++n) {
        if (IsPortAvailable(n))
            PortsComboBox->addItem(QStringLiteral("COM%1").arg(n));
    }
    PortsComboBox->setCurrentIndex(PortsComboBox->count() > 0 ? 0 : -1);
}

QString TComSelectForm::SelectedCom() const {
    return PortsComboBox->currentText();
}

std::uint16_t TComSelectForm::SelectedComNum() const {
    return std::uint16_t(SelectedCom().mid(3).toUInt());
}

bool PromptForComPort(std::uint16_t& comNumber) {
    TComSelectForm dialog;
    if (dialog.ShowModal() != mrOk)
        return false;
    comNumber = dialog.SelectedComNum();
    return true;
}
