#include "gsm/SmsRequestForms.h"

TTESMSReqForm* TESMSReqForm = nullptr;
TBKSMSReqForm* BKSMSReqForm = nullptr;

TTESMSReqForm::TTESMSReqForm(QWidget* owner) : TForm(owner) {
    setObjectName(QStringLiteral("TESMSReqForm"));
    SetCaption(QStringLiteral("SMS - запрос"));
}

TBKSMSReqForm::TBKSMSReqForm(QWidget* owner) : TForm(owner) {
    setObjectName(QStringLiteral("BKSMSReqForm"));
    SetCaption(QStringLiteral("SMS - запрос"));
}
