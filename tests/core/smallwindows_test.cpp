// The About box and the heap window.
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <gtest/gtest.h>

#include "core/AboutBox.h"
#include "core/HeapForm.h"
#include "platform/Clock.h"

namespace {

TEST(AboutBoxTest, ShowsNameAndVersionAndClosesWithOk) {
    TAboutBox box;
    EXPECT_EQ(box.Caption(), "О программе");
    EXPECT_EQ(box.ProductName->text(), "Маршрутизатор");
    EXPECT_EQ(box.Version->text(), "Версия 1.2");
    EXPECT_FALSE(box.ProgramIcon->pixmap().isNull());
    QTimer::singleShot(0, &box, [&box] { box.OKButton->click(); });
    EXPECT_EQ(box.ShowModal(), mrOk);
}

TEST(HeapFormTest, FiguresAreRefreshedEverySecondWhileShownAndExitIsCancel) {
    TFakeClock clock;
    TForm9 form;
    EXPECT_EQ(form.Caption(), "Куча");
    EXPECT_EQ(form.Captions[0]->text(), "TotalAddrSpace:");
    EXPECT_EQ(form.Captions[8]->text(), "Unused:");
    int ticks = 0;
    QTimer::singleShot(0, &form, [&] {
        EXPECT_TRUE(form.Timer1.Enabled());
        for (QLabel* value : form.Values) {
            bool number = false;
            value->text().toULongLong(&number);
            EXPECT_TRUE(number) << value->objectName().toStdString();
        }
        form.Values[0]->clear();
        clock.Advance(1000);
        ticks = form.Values[0]->text().isEmpty() ? 0 : 1;
        form.Button2->click(); // compaction cannot fail: no message
        form.Button1->click();
    });
    EXPECT_EQ(form.ShowModal(), mrCancel);
    EXPECT_EQ(ticks, 1);
    EXPECT_FALSE(form.Timer1.Enabled());
}

} // namespace
