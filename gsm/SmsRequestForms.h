// Two question dialogs, one per modem model, about sending a request by SMS; created at start-up and
// never shown.
//
// Minimal for now: the forms exist with their names and caption, without their controls.
#pragma once

#include "platform/Forms.h"

class TTESMSReqForm : public TForm {
public:
    explicit TTESMSReqForm(QWidget* owner = nullptr);
};

class TBKSMSReqForm : public TForm {
public:
    explicit TBKSMSReqForm(QWidget* owner = nullptr);
};

extern TTESMSReqForm* TESMSReqForm;
extern TBKSMSReqForm* BKSMSReqForm;
