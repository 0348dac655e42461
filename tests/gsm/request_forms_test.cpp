// The two SMS request dialogs, offscreen: their components and the SMS total as parts are checked.
#include <QCheckBox>
#include <QLabel>
#include <QPushButton>

#include <gtest/gtest.h>

#include "gsm/SmsRequestForms.h"

namespace {

QString Text(const QWidget* form, const char* name) {
    const auto* label = form->findChild<QLabel*>(QLatin1String(name));
    return label ? label->text() : QStringLiteral("<none>");
}

bool SmsShown(const QWidget* form, const char* name) {
    return form->findChild<QLabel*>(QLatin1String(name))->isEnabled();
}

TEST(SmsRequestForms, TeModelCountsTheCheckedParts) {
    TTESMSReqForm form;
    EXPECT_EQ(form.Caption(), "SMS - запрос");
    EXPECT_EQ(form.size(), QSize(std::max(275, form.width()), 217));
    EXPECT_EQ(Text(&form, "Label1"), "Невозможно отправить запрос через TCP/IP!");
    EXPECT_EQ(Text(&form, "Label2"), "Отправить с помощью SMS?");
    EXPECT_EQ(Text(&form, "Label6"), "Запрос");
    EXPECT_EQ(Text(&form, "Label7"), "Ответ");
    EXPECT_EQ(Text(&form, "Label8"), "Итого:");
    EXPECT_EQ(form.CheckBox1->text(), "Профиль 1 (GSM/GPRS)");
    EXPECT_EQ(form.CheckBox2->text(), "Профиль 2 (Отчеты/SMS)");
    EXPECT_EQ(form.CheckBox3->text(), "Диагностика");
    EXPECT_EQ(form.Button1->text(), "Да");
    EXPECT_TRUE(form.Button1->isDefault());
    EXPECT_EQ(form.Button2->text(), "Нет");
    EXPECT_EQ(Text(&form, "Label9"), "2 SMS");
    EXPECT_TRUE(SmsShown(&form, "Label3"));
    EXPECT_FALSE(SmsShown(&form, "Label5"));

    form.CheckBox3->click();
    EXPECT_EQ(Text(&form, "Label9"), "3 SMS");
    EXPECT_TRUE(SmsShown(&form, "Label5"));
    form.CheckBox1->click();
    form.CheckBox2->click();
    EXPECT_EQ(Text(&form, "Label9"), "1 SMS");
    EXPECT_FALSE(SmsShown(&form, "Label3"));
    EXPECT_EQ(form.SmsCount, 1);
}

TEST(SmsRequestForms, BkModelAsksForTheDiagnosticsOnly) {
    TBKSMSReqForm form;
    EXPECT_EQ(form.Caption(), "SMS - запрос");
    EXPECT_EQ(form.CheckBox1->text(), "Профиль");
    EXPECT_FALSE(form.CheckBox1->isChecked());
    EXPECT_FALSE(form.CheckBox1->isEnabled());
    EXPECT_TRUE(form.CheckBox3->isChecked());
    EXPECT_EQ(form.Button2->text(), "Отмена");
    EXPECT_EQ(Text(&form, "Label9"), "1 SMS");
    form.CheckBox3->click();
    EXPECT_EQ(Text(&form, "Label9"), "0 SMS");
}

TEST(SmsRequestForms, ButtonsAnswerYesAndNo) {
    for (const auto& [button, result] : {std::pair{1, mrYes}, std::pair{2, mrNo}}) {
        TTESMSReqForm form;
        QPushButton* b = button == 1 ? form.Button1 : form.Button2;
        QMetaObject::invokeMethod(
            b, [b] { b->click(); }, Qt::QueuedConnection);
        EXPECT_EQ(form.ShowModal(), result);
    }
}

} // namespace
