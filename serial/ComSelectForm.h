// TComSelectForm: the small modal dialog that asks for another COM port when the configured one is
// not valid. Its list holds COM1 to COM50, those that IsPortAvailable finds, with the first one
// selected. mrOk means a port was chosen; Cancel gives mrAbort. Main thread only.
#pragma once

#include <cstdint>

#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QPushButton>

#include "platform/Forms.h"

class TComSelectForm : public TForm {
public:
    explicit TComSelectForm(QWidget* owner = nullptr);

    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QFrame* Bevel1 = nullptr;
    QComboBox* PortsComboBox = nullptr;
    QPushButton* OkBtn = nullptr;
    QPushButton* AbortBtn = nullptr;

    QString SelectedCom() const;          // "COMn", empty when the list is empty
    std::uint16_t SelectedComNum() const; // n, 0 when the list is empty

private:
    void FormCreate();
};
