#include "gsm/SmsRequestForms.h"

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>

#include "core/FormControls.h"

TTESMSReqForm* TESMSReqForm = nullptr;
TBKSMSReqForm* BKSMSReqForm = nullptr;

namespace {

constexpr int RowHeight = 24;
constexpr int AnswerColumn = 200;

QLabel* Label(QWidget* form, const char* name, const char* caption, int left, int top) {
    return Placed(new QLabel(QString::fromUtf8(caption), form), name, left, top);
}

} // namespace

TSmsRequestForm::TSmsRequestForm(QWidget* owner, const char* name, const char* noCaption) : TForm(owner) {
    setObjectName(QLatin1String(name));
    SetCaption(QStringLiteral("SMS - запрос"));
    setFixedSize(275, 217);
    Label1 = Label(this, "Label1", "Невозможно отправить запрос через TCP/IP!", 8, 8);
    Label2 = Label(this, "Label2", "Отправить с помощью SMS?", 8, 28);
    Label6 = Label(this, "Label6", "Запрос", 8, 56);
    Label7 = Label(this, "Label7", "Ответ", AnswerColumn, 56);
    nextRow_ = 56 + RowHeight;
    Label8 = Label(this, "Label8", "Итого:", 8, 152);
    Label9 = Label(this, "Label9", "", AnswerColumn, 152);
    Button1 = Placed(new QPushButton(QStringLiteral("Да"), this), "Button1", 56, 180);
    Button2 = Placed(new QPushButton(QString::fromUtf8(noCaption), this), "Button2", 144, 180);
    for (QPushButton* button : {Button1, Button2})
        button->resize(75, 25);
    Button1->setDefault(true);
    SetButtonModalResult(Button1, mrYes);
    SetButtonModalResult(Button2, mrNo);
    WidenToFit(this, {Label1});
}

QCheckBox* TSmsRequestForm::AddPart(const char* name, const char* caption, bool checked,
                                    const char* smsName) {
    auto* box = Placed(new QCheckBox(QString::fromUtf8(caption), this), name, 8, nextRow_);
    box->setChecked(checked);
    auto* sms = Label(this, smsName, "1 SMS", AnswerColumn, nextRow_ + 2);
    nextRow_ += RowHeight;
    parts_.emplace_back(box, sms);
    connect(box, &QCheckBox::clicked, this, [this, box, sms] { PartClick(box, sms); });
    return box;
}

void TSmsRequestForm::CountParts() {
    SmsCount = 1;
    for (const auto& [box, sms] : parts_)
        PartClick(box, sms);
}

void TSmsRequestForm::PartClick(QCheckBox* box, QLabel* sms) {
    sms->setEnabled(box->isChecked());
    SmsCount += box->isChecked() ? 1 : -1;
    Label9->setText(QStringLiteral("%1 SMS").arg(SmsCount));
}

TTESMSReqForm::TTESMSReqForm(QWidget* owner) : TSmsRequestForm(owner, "TESMSReqForm", "Нет") {
    CheckBox1 = AddPart("CheckBox1", "Профиль 1 (GSM/GPRS)", true, "Label3");
    CheckBox2 = AddPart("CheckBox2", "Профиль 2 (Отчеты/SMS)", true, "Label4");
    CheckBox3 = AddPart("CheckBox3", "Диагностика", false, "Label5");
    CountParts();
}

TBKSMSReqForm::TBKSMSReqForm(QWidget* owner) : TSmsRequestForm(owner, "BKSMSReqForm", "Отмена") {
    CheckBox1 = AddPart("CheckBox1", "Профиль", false, "Label3");
    CheckBox1->setEnabled(false);
    CheckBox3 = AddPart("CheckBox3", "Диагностика", true, "Label5");
    CountParts();
    SetCancelButton(Button2);
}
