// The password prompt and the new-password dialog, with their guarded edits.
#include <gtest/gtest.h>

#include <functional>

#include <QAccessible>
#include <QKeyEvent>
#include <QMetaProperty>
#include <QPushButton>
#include <QTest>

#include "core/PasswordEnter.h"
#include "dialogs/PasswordUpdate.h"
#include "platform/Cp1251.h"
#include "platform/ScriptedDialogs.h"
#include "tests/platform/TestSupport.h"

namespace {

const std::string Marker = "8888888888888888";

// What the edit itself holds, read past the guard, to see that it is emptied.
QString Held(TGuardedEdit* edit) {
    return static_cast<QLineEdit*>(edit)->text();
}

struct TEntryCase {
    QString typed;
    std::string result;
};

const TEntryCase EntryCases[] = {
    {"", Marker},
    {"abc12", "abc1288888888888"},
    {"0123456789ABCDEF", "0123456789ABCDEF"},
    {"0123456789ABCDEFGH", "0123456789ABCDEF"}, // no 17th character
    {QStringLiteral("пароль"), ToCp1251(QStringLiteral("пароль8888888888"))},
    {QStringLiteral("a中b"), "ab88888888888888"}, // what Windows-1251 cannot hold is refused
};

TEST(PasswordEnter, OkGivesTheEntryFilledUpToSixteenCharacters) {
    TPasswordEnter form;
    for (const TEntryCase& c : EntryCases) {
        WhenModal(form, [&] {
            TypeText(form.PasswordEdit, c.typed);
            EXPECT_TRUE(form.Password.empty());
            form.ButtonOK->click();
        });
        EXPECT_EQ(form.ShowModal(), mrOk) << c.typed.toStdString();
        EXPECT_EQ(form.Password, c.result) << c.typed.toStdString();
        EXPECT_EQ(Held(form.PasswordEdit), QString());
    }
}

TEST(PasswordEnter, CancelEscapeAndCloseBoxGiveCancelAndNoPassword) {
    const std::function<void(TPasswordEnter&)> ways[] = {
        [](TPasswordEnter& f) { f.ButtonCancel->click(); },
        [](TPasswordEnter& f) { QTest::keyClick(f.PasswordEdit, Qt::Key_Escape); },
        [](TPasswordEnter& f) { f.close(); },
    };
    TPasswordEnter form;
    WhenModal(form, [&] { form.ButtonOK->click(); });
    ASSERT_EQ(form.ShowModal(), mrOk);
    for (const auto& way : ways) {
        WhenModal(form, [&] {
            TypeText(form.PasswordEdit, "secret");
            way(form);
        });
        EXPECT_EQ(form.ShowModal(), mrCancel);
        EXPECT_TRUE(form.Password.empty());
        EXPECT_EQ(Held(form.PasswordEdit), QString());
    }
}

TEST(PasswordEnter, ShowsTheCallersTextsAndFocusesTheEdit) {
    TPasswordEnter form;
    form.SetCaption(QStringLiteral("Запрос системного пароля"));
    form.InfoLabel->setText(QStringLiteral("Введите системный пароль"));
    WhenModal(form, [&] {
        EXPECT_EQ(form.windowTitle(), QStringLiteral("Запрос системного пароля"));
        EXPECT_EQ(form.focusWidget(), form.PasswordEdit);
        EXPECT_TRUE(form.ButtonOK->isDefault());
        form.ButtonCancel->click();
    });
    EXPECT_EQ(form.ShowModal(), mrCancel);
}

// Every reader but the dialog's OK handler gets nothing, and the text stays masked.
void ExpectGuarded(TGuardedEdit* edit) {
    TypeText(edit, "secret");
    edit->selectAll();
    EXPECT_EQ(edit->text(), QString());
    EXPECT_EQ(edit->selectedText(), QString());
    EXPECT_EQ(edit->property("text").toString(), QString());
    EXPECT_EQ(edit->property("selectedText").toString(), QString());
    EXPECT_EQ(edit->metaObject()->userProperty().read(edit).toString(), QString());
    EXPECT_EQ(edit->inputMethodQuery(Qt::ImSurroundingText).toString(), QString());
    EXPECT_EQ(edit->inputMethodQuery(Qt::ImCurrentSelection).toString(), QString());
    EXPECT_EQ(edit->inputMethodQuery(Qt::ImTextBeforeCursor).toString(), QString());

    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(edit);
    ASSERT_NE(accessible, nullptr);
    EXPECT_EQ(accessible->text(QAccessible::Value), QString());
    EXPECT_TRUE(accessible->state().passwordEdit);
    ASSERT_NE(accessible->textInterface(), nullptr);
    EXPECT_EQ(accessible->textInterface()->characterCount(), 1);
    EXPECT_EQ(accessible->textInterface()->text(0, 6), QString());

    edit->setProperty("echoMode", QLineEdit::Normal);
    EXPECT_EQ(edit->echoMode(), QLineEdit::Password);
    static_cast<QLineEdit*>(edit)->setEchoMode(QLineEdit::Normal);
    edit->grab(); // painting is the first thing it does
    EXPECT_EQ(edit->echoMode(), QLineEdit::Password);
    EXPECT_EQ(edit->displayText(), QString(6, QLatin1Char('*')));
}

TEST(PasswordEnter, OtherReadersGetNothingAndCannotUnmask) {
    TPasswordEnter form;
    WhenModal(form, [&] {
        ExpectGuarded(form.PasswordEdit);
        form.ButtonOK->click();
    });
    EXPECT_EQ(form.ShowModal(), mrOk);
    EXPECT_EQ(form.Password, "secret8888888888");
}

TEST(PasswordUpdate, EqualEntriesGiveThePasswordFilledUp) {
    TPasswordUpdate form;
    for (const TEntryCase& c : EntryCases) {
        WhenModal(form, [&] {
            TypeText(form.PasswordEdit, c.typed);
            TypeText(form.PasswordDoubleEdit, c.typed);
            form.ButtonOK->click();
        });
        EXPECT_EQ(form.ShowModal(), mrOk) << c.typed.toStdString();
        EXPECT_EQ(form.Password, c.result) << c.typed.toStdString();
        EXPECT_EQ(Held(form.PasswordEdit), QString());
        EXPECT_EQ(Held(form.PasswordDoubleEdit), QString());
    }
}

TEST(PasswordUpdate, RepeatThatDiffersIsRefusedAndTheDialogStaysOpen) {
    const std::pair<QString, QString> entries[] = {
        {"Secret", "secret"}, {"secret", ""}, {"", "8"}, {"abc", "abcd"}};
    TPasswordUpdate form;
    for (const auto& entry : entries) {
        const QString &first = entry.first, &repeat = entry.second; // clang 14 captures no bindings
        TScriptedDialogs dialogs(FailTest);
        dialogs.Expect(mtError, QStringLiteral("Пароль и его повтор не совпадают!"), mrOk);
        WhenModal(form, [&] {
            TypeText(form.PasswordEdit, first);
            TypeText(form.PasswordDoubleEdit, repeat);
            form.PasswordDoubleEdit->setFocus();
            form.ButtonOK->click();
            EXPECT_TRUE(form.isVisible());
            EXPECT_EQ(form.focusWidget(), form.PasswordEdit);
            EXPECT_EQ(Held(form.PasswordEdit), first);
            EXPECT_EQ(Held(form.PasswordDoubleEdit), repeat);
            form.ButtonCancel->click();
        });
        EXPECT_EQ(form.ShowModal(), mrCancel) << first.toStdString();
        EXPECT_TRUE(form.Password.empty());
        EXPECT_EQ(dialogs.Shown().size(), 1u);
    }
}

TEST(PasswordUpdate, BothEditsAreGuarded) {
    TPasswordUpdate form;
    WhenModal(form, [&] {
        ExpectGuarded(form.PasswordEdit);
        ExpectGuarded(form.PasswordDoubleEdit);
        form.ButtonOK->click();
    });
    EXPECT_EQ(form.ShowModal(), mrOk);
    EXPECT_EQ(form.Password, "secret8888888888");
}

} // namespace
