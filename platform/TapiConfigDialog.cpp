#include "platform/TapiConfigDialog.h"

#include <QApplication>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QPushButton>
#include <QStandardItemModel>
#include <QVBoxLayout>

namespace {

constexpr std::uint32_t Speeds[] = {300,   600,   1200,   2400,   4800,   9600,  19200,
                                    38400, 57600, 115200, 230400, 460800, 921600};
constexpr int OneAndAHalfItem = ONE5STOPBITS;

QComboBox* Choice(QWidget* owner, const char* name, const QStringList& items) {
    auto* combo = new QComboBox(owner);
    combo->setObjectName(QLatin1String(name));
    combo->setEditable(false);
    combo->addItems(items);
    return combo;
}

} // namespace

TTapiConfigForm::TTapiConfigForm(QWidget* owner, const QString& lineName, const TTapiDevConfig& config)
    : TForm(owner), tcfSpeed(Choice(this, "tcfSpeed", {})),
      tcfDataBits(
          Choice(this, "tcfDataBits",
                 {QStringLiteral("5"), QStringLiteral("6"), QStringLiteral("7"), QStringLiteral("8")})),
      tcfParity(Choice(this, "tcfParity",
                       {QStringLiteral("Нет"), QStringLiteral("Нечёт"), QStringLiteral("Чёт"),
                        QStringLiteral("Маркер"), QStringLiteral("Пробел")})),
      tcfStopBits(
          Choice(this, "tcfStopBits", {QStringLiteral("1"), QStringLiteral("1,5"), QStringLiteral("2")})),
      tcfFlowControl(Choice(this, "tcfFlowControl",
                            {QStringLiteral("Нет"), QStringLiteral("Аппаратное (RTS/CTS)"),
                             QStringLiteral("Программное (XON/XOFF)")})),
      tcfOkButton(new QPushButton(QStringLiteral("OK"), this)),
      tcfCancelButton(new QPushButton(QStringLiteral("Отмена"), this)) {
    setObjectName(QStringLiteral("TapiConfigForm"));
    SetCaption(QStringLiteral("Параметры линии «%1»").arg(lineName));
    SetPosition(poOwnerFormCenter);
    tcfOkButton->setObjectName(QStringLiteral("tcfOkButton"));
    tcfCancelButton->setObjectName(QStringLiteral("tcfCancelButton"));
    tcfOkButton->setDefault(true);
    SetButtonModalResult(tcfOkButton, mrOk);
    SetButtonModalResult(tcfCancelButton, mrCancel);

    bool listed = false;
    for (const std::uint32_t speed : Speeds) {
        if (!listed && speed > config.dwBaudRate) // a speed of its own keeps its place in the order
            tcfSpeed->addItem(QString::number(config.dwBaudRate), config.dwBaudRate);
        listed = listed || speed >= config.dwBaudRate;
        tcfSpeed->addItem(QString::number(speed), speed);
    }
    if (!listed)
        tcfSpeed->addItem(QString::number(config.dwBaudRate), config.dwBaudRate);
    tcfSpeed->setCurrentIndex(tcfSpeed->findData(config.dwBaudRate));
    tcfDataBits->setCurrentIndex(config.ByteSize - 5);
    tcfParity->setCurrentIndex(config.Parity);
    tcfFlowControl->setCurrentIndex(config.FlowControl);
    DataBitsChanged();
    tcfStopBits->setCurrentIndex(config.StopBits);
    connect(tcfDataBits, &QComboBox::currentIndexChanged, this, [this] { DataBitsChanged(); });

    auto* fields = new QFormLayout;
    fields->addRow(QStringLiteral("Скорость, бит/с:"), tcfSpeed);
    fields->addRow(QStringLiteral("Биты данных:"), tcfDataBits);
    fields->addRow(QStringLiteral("Чётность:"), tcfParity);
    fields->addRow(QStringLiteral("Стоповые биты:"), tcfStopBits);
    fields->addRow(QStringLiteral("Управление потоком:"), tcfFlowControl);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(tcfOkButton);
    buttons->addWidget(tcfCancelButton);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(fields);
    layout->addLayout(buttons);
}

// With other than 5 data bits, 1.5 stop bits become 2.
void TTapiConfigForm::DataBitsChanged() {
    const bool five = tcfDataBits->currentIndex() == 0;
    if (auto* items = qobject_cast<QStandardItemModel*>(tcfStopBits->model()))
        items->item(OneAndAHalfItem)->setEnabled(five);
    if (!five && tcfStopBits->currentIndex() == OneAndAHalfItem)
        tcfStopBits->setCurrentIndex(TWOSTOPBITS);
}

TTapiDevConfig TTapiConfigForm::Config() const {
    TTapiDevConfig config;
    config.dwBaudRate = tcfSpeed->currentData().toUInt();
    config.ByteSize = std::uint8_t(5 + tcfDataBits->currentIndex());
    config.Parity = std::uint8_t(tcfParity->currentIndex());
    config.StopBits = std::uint8_t(tcfStopBits->currentIndex());
    config.FlowControl = std::uint8_t(tcfFlowControl->currentIndex());
    return config;
}

std::optional<TTapiDevConfig> EditTapiDevConfig(const QString& lineName, const TTapiDevConfig& config) {
    TTapiConfigForm form(QApplication::activeWindow(), lineName, config);
    if (form.ShowModal() != mrOk)
        return std::nullopt;
    return form.Config();
}
