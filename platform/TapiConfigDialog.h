// Stands in for the configuration dialog of a modem line (lineConfigDialog, lineConfigDialogEdit): the
// speed, data bits, parity, stop bits and flow control of the line's device. 1.5 stop bits go with 5
// data bits only, so they are offered only then. Main thread only, with a QApplication.
#pragma once

#include <optional>

#include "platform/Forms.h"
#include "platform/TapiDevConfig.h"

class QComboBox;
class QPushButton;

class TTapiConfigForm : public TForm {
public:
    TTapiConfigForm(QWidget* owner, const QString& lineName, const TTapiDevConfig& config);

    QComboBox* tcfSpeed = nullptr;
    QComboBox* tcfDataBits = nullptr;
    QComboBox* tcfParity = nullptr;
    QComboBox* tcfStopBits = nullptr;
    QComboBox* tcfFlowControl = nullptr;
    QPushButton* tcfOkButton = nullptr;
    QPushButton* tcfCancelButton = nullptr;

    // What the dialog shows now.
    TTapiDevConfig Config() const;

private:
    void DataBitsChanged();
};

// Shows the dialog modally over the active window; the edited configuration on OK, none on Cancel.
std::optional<TTapiDevConfig> EditTapiDevConfig(const QString& lineName, const TTapiDevConfig& config);
