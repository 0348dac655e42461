// TDeviceSelectionForm: the modal dialog in which the operator picks the modem of a TAPI line device,
// a telephony line by name or a COM port ("Direct to COM" and its number). The device sets the
// fields, shows the dialog and reads the choice back. The list is built the first time the dialog is
// shown; later showings keep it and its selection. Main thread only.
#pragma once

#include <cstdint>
#include <string>

#include <QStringList>

#include "platform/Forms.h"
#include "serial/ComPort.h"

class QComboBox;
class QLabel;
class QPushButton;

class TDeviceSelectionForm : public TForm {
public:
    explicit TDeviceSelectionForm(QWidget* owner = nullptr);

    QLabel* dsfLabel = nullptr;
    QComboBox* dsfComboBox = nullptr;
    QPushButton* dsfOkBitBtn = nullptr;
    QPushButton* dsfCancelBitBtn = nullptr;

    // In: the port's mode (tmOff: a COM port is chosen); out: tmOff for a COM port, else tmAuto.
    TTapiMode TapiMode = tmAuto;
    // In: the port to preselect in mode tmOff; out: the chosen port, 0 for a line.
    std::uint16_t ComNumber = 0;
    // In: the line to preselect; out: the chosen entry (Windows-1251).
    std::string DeviceName;
    bool ShowTapiDevices = true;
    bool ShowPorts = true;
    bool FilterUnsupportedDevices = true;
    // With the filter: lines need voice, and COM ports are not listed.
    bool EnableVoice = false;

    // The entries, lines first.
    const QStringList& Items() const { return items_; }
    // The list has been built (the dialog was shown).
    bool Enumerated() const { return enumerated_; }

    void EnumAllPorts();
    void EnumTapiPorts();
    void EnumComPorts();

protected:
    void FormShow() override;

private:
    void dsfOkBitBtnClick();
    void dsfCancelBitBtnClick();

    QStringList items_;
    bool enumerated_ = false;
};
