#include <gtest/gtest.h>

#include <QApplication>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QPushButton>
#include <QScreen>
#include <QTimer>

#include "platform/Application.h"
#include "platform/Forms.h"
#include "platform/ScriptedDialogs.h"
#include "platform/Timer.h"
#include "tests/platform/TestSupport.h"

namespace {

class TTestForm : public TForm {
public:
    TTestForm() {
        for (const int result : {mrOk, mrCancel, mrYes, mrNo}) {
            auto* button = new QPushButton(QString::number(result), this);
            SetButtonModalResult(button, result);
            buttons[result] = button;
        }
    }
    QPushButton* buttons[8] = {};
    int shows = 0, queries = 0, closes = 0;
    bool refuse = false;

protected:
    void FormShow() override { ++shows; }
    void FormCloseQuery(bool& canClose) override {
        ++queries;
        canClose = !refuse;
    }
    void FormClose() override { ++closes; }
};

TEST(Forms, ShowModalGivesTheResultOfTheButton) {
    for (const int result : {mrOk, mrCancel, mrYes, mrNo}) {
        TTestForm form;
        WhenModal(form, [&] { form.buttons[result]->click(); });
        EXPECT_EQ(form.ShowModal(), result);
        EXPECT_FALSE(form.isVisible());
        EXPECT_EQ(form.shows, 1);
        EXPECT_EQ(form.closes, 1);
    }
}

TEST(Forms, CloseBoxAndEscapeGiveCancel) {
    TTestForm form;
    WhenModal(form, [&] { form.close(); });
    EXPECT_EQ(form.ShowModal(), mrCancel);
    WhenModal(form, [&] {
        QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
        QApplication::sendEvent(&form, &escape);
    });
    EXPECT_EQ(form.ShowModal(), mrCancel);
    EXPECT_EQ(form.shows, 2);
}

TEST(Forms, CloseQueryCanKeepTheModalLoopRunning) {
    TTestForm form;
    form.refuse = true;
    WhenModal(form, [&] {
        form.buttons[mrOk]->click();
        form.close();
        EXPECT_TRUE(form.isVisible());
        EXPECT_EQ(form.ModalResult(), mrNone);
        form.refuse = false;
        form.buttons[mrNo]->click();
    });
    EXPECT_EQ(form.ShowModal(), mrNo);
    EXPECT_EQ(form.queries, 3);
    EXPECT_EQ(form.closes, 1);
}

TEST(Forms, ModalLoopRunsTimersAndModalResultEndsIt) {
    TFakeClock* none = TFakeClock::Current();
    ASSERT_EQ(none, nullptr); // this one runs on the real clock
    TTestForm form;
    TTimer timer;
    timer.SetInterval(1);
    int ticks = 0;
    timer.SetOnTimer([&] {
        if (++ticks == 3)
            form.SetModalResult(mrYes);
    });
    EXPECT_EQ(form.ShowModal(), mrYes);
    EXPECT_EQ(ticks, 3);
    EXPECT_TRUE(form.InModalLoop() == false);
}

TEST(Forms, ModalResultOutsideTheModalLoopIsOnlyStored) {
    TTestForm form;
    form.show();
    form.SetModalResult(mrOk);
    EXPECT_TRUE(form.isVisible());
    EXPECT_EQ(form.ModalResult(), mrOk);
    form.close();
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(form.closes, 1);
    form.show();
    EXPECT_EQ(form.shows, 2); // every show by the program
    form.Tag = 7;
    form.SetCaption(QStringLiteral("Запрос пароля"));
    EXPECT_EQ(form.Caption(), QStringLiteral("Запрос пароля"));
    EXPECT_EQ(form.Tag, 7);
}

class TTestMainForm : public TMainWindowForm {
public:
    bool hideInstead = true;
    int shows = 0, closes = 0;

protected:
    void FormShow() override { ++shows; }
    void FormCloseQuery(bool& canClose) override {
        if (hideInstead && isVisible()) {
            hide();
            canClose = false;
        }
    }
    void FormClose() override { ++closes; }
};

TEST(Forms, APositionPlacesTheFormWhenShownAndAtOnceWhileVisible) {
    TForm owner;
    owner.setGeometry(100, 120, 600, 400);
    owner.show();
    TForm form(&owner);
    form.resize(200, 100);
    EXPECT_EQ(form.Position(), poDesigned);
    EXPECT_TRUE(form.Ctl3D());
    form.move(5, 7);
    form.show();
    EXPECT_EQ(form.pos(), QPoint(5, 7)); // where it was put
    form.SetPosition(poOwnerFormCenter);
    EXPECT_EQ(form.frameGeometry().center(), owner.frameGeometry().center());
    form.hide();
    owner.move(300, 250);
    form.show();
    EXPECT_EQ(form.frameGeometry().center(), owner.frameGeometry().center());
    form.hide();

    const QRect screen = form.screen()->availableGeometry();
    TForm alone;
    alone.resize(200, 100);
    for (const TPosition position : {poScreenCenter, poOwnerFormCenter}) { // no owner: the screen
        alone.SetPosition(position);
        alone.show();
        EXPECT_EQ(alone.frameGeometry().center(), screen.center()) << position;
        alone.hide();
    }
    alone.SetCtl3D(false);
    EXPECT_FALSE(alone.Ctl3D());
}

// Wherever a form was put, it is shown inside the screen's available area, frame included.
TEST(Forms, AFormPutOffTheScreenIsShownInsideIt) {
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    TForm dialog;
    TMainWindowForm main;
    for (QWidget* form : std::initializer_list<QWidget*>{&dialog, &main})
        for (const QPoint at : {QPoint(-300, -200), QPoint(area.right() - 20, area.bottom() - 20),
                                QPoint(area.right() + 500, 40), QPoint(40, area.bottom() + 500)}) {
            form->setGeometry(QRect(at, QSize(200, 100)));
            form->show();
            EXPECT_TRUE(area.contains(form->frameGeometry())) << at.x() << "," << at.y();
            EXPECT_EQ(form->size(), QSize(200, 100));
            form->hide();
        }
}

// A caption longer than the form is wide widens it, a fixed-width form too, so the title reads whole.
TEST(Forms, AFormWidensForItsCaption) {
    const QString caption = QStringLiteral("Изменение системного пароля маршрутизатора");
    TForm sized, fixed;
    fixed.setFixedWidth(60);
    for (TForm* form : {&sized, &fixed}) {
        form->resize(60, 80);
        form->SetCaption(caption);
        form->show();
        EXPECT_GE(form->width(), CaptionWidth(caption));
        form->hide();
    }
    EXPECT_EQ(fixed.minimumWidth(), fixed.maximumWidth()) << "it stays fixed";
}

TEST(Forms, AComponentsOwnerIsFoundAsItsWindow) {
    TTestForm form;
    const void* owner = &form;
    EXPECT_EQ(OwnerWindow(owner), &form);
    const int notAWindow = 0;
    EXPECT_EQ(OwnerWindow(&notAWindow), nullptr);
    EXPECT_EQ(OwnerWindow(nullptr), nullptr);
}

TEST(Forms, MainFormHidesOnCloseAndItsRealCloseEndsTheProgram) {
    TTestMainForm main;
    Application->SetMainForm(&main);
    main.show();
    main.close();
    EXPECT_FALSE(main.isVisible());
    EXPECT_EQ(main.closes, 0);
    main.show();
    EXPECT_EQ(main.shows, 2);
    QTimer::singleShot(0, &main, [&] {
        main.hideInstead = false;
        main.close();
    });
    EXPECT_EQ(Application->Run(), 0); // returns because the main form closed
    EXPECT_EQ(main.closes, 1);
    Application->SetMainForm(nullptr);
}

} // namespace
