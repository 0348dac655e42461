#include "gsm/ModemForm.h"

std::int32_t ModemState = 0;
bool SmsSendPending = false;
std::unique_ptr<TNamedMutex> MutexHandle;
TModemForm* ModemForm = nullptr;

bool IsAlreadyRunning(const QString& name) {
    if (MutexHandle)
        return false;
    MutexHandle = std::make_unique<TNamedMutex>(name);
    const auto status = MutexHandle->Status();
    return status == TNamedMutex::AlreadyExists || status == TNamedMutex::AccessDenied;
}

TModemForm::TModemForm(QWidget* owner) : TForm(owner) {
    setObjectName(QStringLiteral("ModemForm"));
    SetCaption(QStringLiteral("Modem"));
    resize(380, 321);
}

bool TModemForm::Connect() {
    return false;
}

void TModemForm::Disconnect() {}

int TModemForm::QueryHwInfo(TObjectStates*) {
    return 2;
}

int TModemForm::SetProfile(TObjectStates*, ObjProfile*, std::uint32_t) {
    return 2;
}

int TModemForm::QueryProfile(TObjectStates*, std::uint32_t) {
    return 2;
}
