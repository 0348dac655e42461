#include "sessions/ConnectionForm.h"

TConnectionForm* ConnectionForm = nullptr;

TConnectionForm::TConnectionForm(QWidget* owner) : TForm(owner) {
    setObjectName(QStringLiteral("ConnectionForm"));
    SetCaption(QStringLiteral("Connection"));
}

void TConnectionForm::OpenPort() {}

bool TConnectionForm::ClosePort(bool) {
    return false;
}

void TConnectionForm::ApplyInternetSettings() {}

void TConnectionForm::UpdateConnections() {}

int TConnectionForm::QueryHwInfo(int) {
    return 3;
}
