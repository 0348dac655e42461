// Two question dialogs, one per modem model, about sending a request by SMS and which parts it asks
// for, with the number of SMS the answers take; created at start-up and never shown (the request paths
// ask their own questions).
#pragma once

#include <utility>
#include <vector>

#include "platform/Forms.h"

class QCheckBox;
class QLabel;
class QPushButton;

// What both dialogs share: the texts, the totals and the Yes and No buttons.
class TSmsRequestForm : public TForm {
public:
    QLabel *Label1 = nullptr, *Label2 = nullptr, *Label6 = nullptr, *Label7 = nullptr, *Label8 = nullptr,
           *Label9 = nullptr;
    QPushButton *Button1 = nullptr, *Button2 = nullptr;
    // The SMS the checked parts take.
    int SmsCount = 1;

protected:
    TSmsRequestForm(QWidget* owner, const char* name, const char* noCaption);
    // A part's check box in the next row, with its "1 SMS" label (smsName) in the answer column.
    QCheckBox* AddPart(const char* name, const char* caption, bool checked, const char* smsName);
    // Runs every part's handler once, as the dialog's constructor does.
    void CountParts();

private:
    void PartClick(QCheckBox* box, QLabel* sms);

    int nextRow_;
    std::vector<std::pair<QCheckBox*, QLabel*>> parts_;
};

class TTESMSReqForm : public TSmsRequestForm {
public:
    explicit TTESMSReqForm(QWidget* owner = nullptr);
    QCheckBox *CheckBox1 = nullptr, *CheckBox2 = nullptr, *CheckBox3 = nullptr;
};

class TBKSMSReqForm : public TSmsRequestForm {
public:
    explicit TBKSMSReqForm(QWidget* owner = nullptr);
    QCheckBox *CheckBox1 = nullptr, *CheckBox3 = nullptr;
};

extern TTESMSReqForm* TESMSReqForm;
extern TBKSMSReqForm* BKSMSReqForm;
