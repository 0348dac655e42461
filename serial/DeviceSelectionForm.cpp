#include "serial/DeviceSelectionForm.h"

#include <algorithm>

#include <QComboBox>
#include <QLabel>
#include <QPushButton>

#include "platform/Cp1251.h"
#include "serial/PortProbe.h"
#include "serial/TapiBinding.h"
#include "serial/Utilities.h"

namespace {

const QString ComEntryPrefix = QStringLiteral("Direct to COM");
constexpr std::uint32_t HighestPort = 50;

template <class W> W* Placed(W* control, const char* name, int left, int top, int width, int height) {
    control->setObjectName(QLatin1String(name));
    control->setGeometry(left, top, width, height);
    return control;
}

void NoLineCallback(DWORD, DWORD, DWORD_PTR, DWORD_PTR, DWORD_PTR, DWORD_PTR) {}

} // namespace

TDeviceSelectionForm::TDeviceSelectionForm(QWidget* owner)
    : TForm(owner),
      dsfLabel(Placed(new QLabel(QStringLiteral("Название:"), this), "dsfLabel", 8, 12, 53, 13)),
      dsfComboBox(Placed(new QComboBox(this), "dsfComboBox", 68, 8, 245, 21)),
      dsfOkBitBtn(Placed(new QPushButton(QStringLiteral("OK"), this), "dsfOkBitBtn", 152, 40, 75, 25)),
      dsfCancelBitBtn(
          Placed(new QPushButton(QStringLiteral("Отмена"), this), "dsfCancelBitBtn", 236, 40, 75, 25)) {
    setObjectName(QStringLiteral("DeviceSelectionForm"));
    SetCaption(QStringLiteral("Выбор GSM-модема"));
    SetPosition(poOwnerFormCenter);
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFixedSize(318, 68);
    QFont font(QStringLiteral("MS Sans Serif"));
    font.setPixelSize(11);
    setFont(font);
    // The label shows whole in whatever font stands in for that one: the list and the buttons move
    // right and the form widens.
    dsfLabel->resize(dsfLabel->sizeHint().width(), dsfLabel->height());
    const int grow = std::max(0, dsfLabel->geometry().right() + 8 - dsfComboBox->x());
    for (QWidget* control : std::initializer_list<QWidget*>{dsfComboBox, dsfOkBitBtn, dsfCancelBitBtn})
        control->move(control->x() + grow, control->y());
    setFixedSize(width() + grow, height());
    dsfComboBox->setEditable(false);
    setTabOrder(dsfOkBitBtn, dsfCancelBitBtn);
    setTabOrder(dsfCancelBitBtn, dsfComboBox);
    dsfOkBitBtn->setDefault(true);
    dsfOkBitBtn->setFocus();
    connect(dsfOkBitBtn, &QPushButton::clicked, this, [this] { dsfOkBitBtnClick(); });
    connect(dsfCancelBitBtn, &QPushButton::clicked, this, [this] { dsfCancelBitBtnClick(); });
    SetCancelButton(dsfCancelBitBtn);
}

void TDeviceSelectionForm::FormShow() {
    if (enumerated_)
        return;
    EnumAllPorts();
    dsfComboBox->clear();
    dsfComboBox->addItems(items_);
    const QString wanted =
        TapiMode == tmOff ? ComEntryPrefix + QString::number(ComNumber) : FromCp1251(DeviceName);
    const int found = dsfComboBox->findText(wanted, Qt::MatchExactly | Qt::MatchCaseSensitive);
    enumerated_ = true;
    dsfComboBox->setCurrentIndex(found >= 0 ? found : (items_.isEmpty() ? -1 : 0));
    dsfOkBitBtn->setFocus();
}

void TDeviceSelectionForm::EnumAllPorts() {
    const TWaitCursor hourglass;
    if (ShowTapiDevices)
        EnumTapiPorts();
    if (ShowPorts && !(FilterUnsupportedDevices && EnableVoice))
        EnumComPorts();
}

void TDeviceSelectionForm::EnumComPorts() {
    for (std::uint32_t n = 1; n <= HighestPort; ++n) {
        if (IsPortAvailable(n))
            items_ << ComEntryPrefix + QString::number(n);
        SafeYield();
    }
}

void TDeviceSelectionForm::EnumTapiPorts() {
    HLINEAPP app = 0;
    DWORD count = 0;
    if (tuLineInitialize(app, 0, NoLineCallback, "", count) != 0)
        return;
    for (DWORD id = 0; id < std::uint16_t(count); ++id) {
        DWORD version = 0;
        TLineExtensionID extension{};
        if (tuLineNegotiateApiVersion(app, id, TapiApiVersion14, TapiApiVersion14, version, extension) != 0)
            continue;
        TLineDevCaps* fetched = nullptr;
        const LONG result = tuLineGetDevCapsDyn(app, id, version, 0, fetched);
        const TTapiBuffer<TLineDevCaps> caps(fetched);
        if (result != 0 || !caps)
            continue;
        bool kept = true;
        if (FilterUnsupportedDevices) {
            const DWORD media = caps->dwMediaModes;
            if (media & LINEMEDIAMODE_DATAMODEM)
                kept = true;
            else if (!(media & LINEMEDIAMODE_AUTOMATEDVOICE) && EnableVoice)
                kept = false;
            else
                kept = LineHasWaveDevice(app, id, version);
            kept = kept && (caps->dwLineFeatures & LINEFEATURE_MAKECALL);
        }
        if (kept)
            items_ << FromCp1251(TapiText(*caps, caps->dwLineNameSize, caps->dwLineNameOffset));
    }
    tuLineShutdown(app);
}

void TDeviceSelectionForm::dsfOkBitBtnClick() {
    const QString chosen = dsfComboBox->currentText();
    DeviceName = ToCp1251(chosen);
    if (chosen.contains(ComEntryPrefix)) {
        TapiMode = tmOff;
        ComNumber =
            std::uint16_t(chosen.mid(chosen.indexOf(ComEntryPrefix) + ComEntryPrefix.size()).toUInt());
    } else {
        TapiMode = tmAuto;
        ComNumber = 0;
    }
    SetModalResult(mrOk);
}

void TDeviceSelectionForm::dsfCancelBitBtnClick() {
    SetModalResult(mrCancel);
}
