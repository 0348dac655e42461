#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QKeyEvent>
#include <QMessageBox>
#include <QTimer>

#include "platform/Application.h"
#include "platform/ScriptedDialogs.h"
#include "tests/platform/TestSupport.h"

namespace {

TEST(DisplayText, TurnsCrLfAndLoneCrIntoLineBreaks) {
    struct Case {
        const char* in;
        const char* out;
    };
    const Case cases[] = {
        {"Ошибка открытия порта!\r\nНевозможно", "Ошибка открытия порта!\nНевозможно"},
        {"Невозможно отправить запрос!\rМодем не подключен!",
         "Невозможно отправить запрос!\nМодем не подключен!"},
        {"a\r\r\nb\nc", "a\n\nb\nc"},
        {"plain", "plain"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(DisplayText(QString::fromUtf8(c.in)).toStdString(), c.out);
}

TEST(ScriptedDialogs, RecordsEachBoxAndAnswersFromTheQueue) {
    TScriptedDialogs dialogs(FailTest);
    dialogs.Answer(mrOk);
    dialogs.Expect(mtConfirmation, QStringLiteral("Отправить?"), mrCancel);
    dialogs.Answer(mrYes);
    EXPECT_EQ(MessageDlg(QStringLiteral("Неверный пароль!"), mtError, mbOK), mrOk);
    EXPECT_EQ(MessageDlg(QStringLiteral("Отправить?"), mtConfirmation, mbOKCancel), mrCancel);
    EXPECT_EQ(MessageDlg(QStringLiteral("Разорвать?"), mtConfirmation, mbYesNo), mrYes);
    ASSERT_EQ(dialogs.Shown().size(), 3u);
    EXPECT_EQ(dialogs.Shown()[0].Type, mtError);
    EXPECT_EQ(dialogs.Shown()[0].Text, QStringLiteral("Неверный пароль!"));
    EXPECT_EQ(dialogs.Shown()[1].Buttons, mbOKCancel);
    EXPECT_EQ(dialogs.Shown()[2].Buttons, mbYesNo);
    EXPECT_EQ(dialogs.Pending(), 0u);
}

// The statements below run inside gtest's failure catchers, which take no local variables.
void ShowUnexpectedBox() {
    TScriptedDialogs dialogs(FailTest);
    EXPECT_EQ(MessageDlg(QStringLiteral("Связь с модемом прервана"), mtError, mbOK), mrOk);
}
void AnswerWithAButtonTheBoxHasNot() {
    TScriptedDialogs dialogs(FailTest);
    dialogs.Answer(mrYes);
    EXPECT_EQ(MessageDlg(QStringLiteral("?"), mtConfirmation, mbOKCancel), mrCancel);
}
void ShowAnotherTextThanExpected() {
    TScriptedDialogs dialogs(FailTest);
    dialogs.Expect(mtError, QStringLiteral("Неверный пароль!"), mrOk);
    MessageDlg(QStringLiteral("Пароль неверен!"), mtError, mbOK);
}
void LeaveAnAnswerUnused() {
    TScriptedDialogs dialogs(FailTest);
    dialogs.Answer(mrOk);
}

TEST(ScriptedDialogs, FailsTheTestOnWhatNobodyExpected) {
    EXPECT_NONFATAL_FAILURE(ShowUnexpectedBox(), "unexpected error box [OK] \"Связь с модемом прервана\"");
    EXPECT_NONFATAL_FAILURE(AnswerWithAButtonTheBoxHasNot(), "answer 6 is not a button");
    EXPECT_NONFATAL_FAILURE(ShowAnotherTextThanExpected(), "shown error box [OK] \"Пароль неверен!\"");
    EXPECT_NONFATAL_FAILURE(LeaveAnAnswerUnused(), "1 expected message box(es) never shown");
}

TEST(ScriptedDialogs, RestoresTheServiceBefore) {
    TScriptedDialogs outer(FailTest);
    {
        TScriptedDialogs inner(FailTest);
        inner.Answer(mrNo);
        MessageDlg(QStringLiteral("inner"), mtConfirmation, mbYesNo);
    }
    outer.Answer(mrOk);
    MessageDlg(QStringLiteral("outer"), mtInformation, mbOK);
    EXPECT_EQ(outer.Shown().size(), 1u);
}

// The screen service, driven by a key press or a click on the box it shows.
struct ScreenCase {
    TMsgDlgButtons buttons;
    QMessageBox::StandardButton click; // NoButton: press Escape
    int result;
};

class ScreenDialogs : public ::testing::TestWithParam<ScreenCase> {};

TEST_P(ScreenDialogs, GiveTheResultOfTheButtonChosen) {
    const ScreenCase c = GetParam();
    QString shownText;
    QTimer::singleShot(0, [&] {
        ASSERT_TRUE(PumpUntil([] { return qobject_cast<QMessageBox*>(QApplication::activeModalWidget()); }));
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        shownText = box->text();
        if (c.click == QMessageBox::NoButton) {
            QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
            QApplication::sendEvent(box, &escape);
        } else {
            box->button(c.click)->click();
        }
    });
    EXPECT_EQ(MessageDlg(QStringLiteral("Первая строка\r\nвторая"), mtConfirmation, c.buttons), c.result);
    EXPECT_EQ(shownText, QStringLiteral("Первая строка\nвторая"));
}

INSTANTIATE_TEST_SUITE_P(Buttons, ScreenDialogs,
                         ::testing::Values(ScreenCase{mbOK, QMessageBox::Ok, mrOk},
                                           ScreenCase{mbOK, QMessageBox::NoButton, mrOk},
                                           ScreenCase{mbOKCancel, QMessageBox::Ok, mrOk},
                                           ScreenCase{mbOKCancel, QMessageBox::Cancel, mrCancel},
                                           ScreenCase{mbOKCancel, QMessageBox::NoButton, mrCancel},
                                           ScreenCase{mbYesNo, QMessageBox::Yes, mrYes},
                                           ScreenCase{mbYesNo, QMessageBox::No, mrNo}));

class Thrower : public QObject {
public:
    bool event(QEvent* e) override {
        if (e->type() == QEvent::User)
            throw std::runtime_error("Ошибка в обработчике");
        return QObject::event(e);
    }
};

TEST(Application, ShowsAnExceptionThatEscapesAnEventHandler) {
    TScriptedDialogs dialogs(FailTest);
    dialogs.Expect(mtError, QStringLiteral("Ошибка в обработчике"), mrOk);
    Thrower thrower;
    QCoreApplication::postEvent(&thrower, new QEvent(QEvent::User));
    EXPECT_TRUE(PumpUntil([&] { return dialogs.Pending() == 0; }));
}

TEST(Application, GuardsAHandlerOfItsOwn) {
    TScriptedDialogs dialogs(FailTest);
    dialogs.Expect(mtError, QStringLiteral("Unknown exception"), mrOk);
    Guarded([] { throw 42; });
    EXPECT_EQ(Application->Title(), QString());
    Application->SetTitle(QStringLiteral("Маршрутизатор"));
    EXPECT_EQ(Application->Title(), QStringLiteral("Маршрутизатор"));
    Application->SetTitle(QString());
    EXPECT_FALSE(QApplication::quitOnLastWindowClosed());
}

} // namespace
