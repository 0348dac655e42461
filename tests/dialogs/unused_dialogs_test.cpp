// The four dialogs that are created and never shown: their components, found by name, and the few
// handlers they have.
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "core/Settings.h"
#include "dialogs/SettingsDialog.h"
#include "dialogs/UnusedDialogs.h"
#include "platform/ScriptedDialogs.h"
#include "tests/platform/TestSupport.h"

namespace {

// A component by its name and what it shows: a label's or button's caption, an edit's text, or a
// list's items joined by '|'.
struct TComponent {
    const char* name;
    QString shows;
};

QString Shows(const QWidget* widget) {
    if (const auto* label = qobject_cast<const QLabel*>(widget))
        return label->text();
    if (const auto* button = qobject_cast<const QPushButton*>(widget))
        return button->text();
    if (const auto* edit = qobject_cast<const QLineEdit*>(widget))
        return edit->text();
    if (const auto* list = qobject_cast<const QComboBox*>(widget)) {
        QStringList items;
        for (int i = 0; i < list->count(); ++i)
            items << list->itemText(i);
        return items.join('|');
    }
    return QStringLiteral("?");
}

void ExpectComponents(const TForm& form, const std::vector<TComponent>& components) {
    for (const TComponent& c : components) {
        const auto* widget = form.findChild<QWidget*>(QLatin1String(c.name));
        ASSERT_NE(widget, nullptr) << form.objectName().toStdString() << "." << c.name;
        EXPECT_EQ(Shows(widget), c.shows) << form.objectName().toStdString() << "." << c.name;
    }
}

// The OK button is the default one and ends the dialog with mrOk, Cancel with mrCancel.
void ExpectOkAndCancel(TForm& form, QPushButton* ok, QPushButton* cancel) {
    EXPECT_TRUE(ok->isDefault());
    for (const auto& [button, result] : {std::pair{ok, mrOk}, std::pair{cancel, mrCancel}}) {
        WhenModal(form, [button = button] { button->click(); }); // clang 14 captures no bindings
        EXPECT_EQ(form.ShowModal(), result) << form.objectName().toStdString();
    }
}

const QString Events =
    QStringLiteral("N - Нет|0 -  Разомкнут (\"0\")|1 - Замкнут (\"1\")|R - Замыкание (\"0\"->\"1\")|"
                   "F - Размыкание (\"1\"->\"0\")|A - Любое изменение (\"0\"<->\"1\")");

TEST(UnusedDialogs, ExistWithEveryComponentOfTheirForms) {
    TForm6 form6;
    EXPECT_EQ(form6.objectName(), "Form6");
    EXPECT_EQ(form6.Caption(), "Ввод текста сообщения");
    ExpectComponents(form6, {{"Label1", "Введите текст сообщения, и нажмите OK для отправки"},
                             {"ComboBox1", ">SRM;ID_FLAG=F<"},
                             {"Button1", "ОК"},
                             {"Button2", "Отмена"}});
    EXPECT_TRUE(form6.ComboBox1->isEditable());
    ExpectOkAndCancel(form6, form6.Button1, form6.Button2);

    TForm2 form2;
    EXPECT_EQ(form2.objectName(), "Form2");
    EXPECT_EQ(form2.Caption(), "Запрос PIN-кода");
    ExpectComponents(form2, {{"Label1", "Введите PIN-код   (от 4 до 8 цифр)"},
                             {"Edit1", ""},
                             {"BitBtn2", "ОК"},
                             {"BitBtn1", "Отмена"}});
    EXPECT_EQ(form2.Edit1->echoMode(), QLineEdit::Password);
    ExpectOkAndCancel(form2, form2.BitBtn2, form2.BitBtn1);

    TPasswordEnterDialog password;
    EXPECT_EQ(password.objectName(), "PasswordEnterDialog");
    EXPECT_EQ(password.Caption(), "Запрос пароля");
    ExpectComponents(password, {{"Label4", "Введите пароль для доступа к настройкам"},
                                {"Label5", "Пароль:"},
                                {"PasswordEdit", ""},
                                {"ButtonOK", "ОК"},
                                {"ButtonCancel", "Отмена"}});
    EXPECT_EQ(password.PasswordEdit->maxLength(), 20);
    EXPECT_EQ(password.PasswordEdit->echoMode(), QLineEdit::Password);
    EXPECT_TRUE(password.ButtonOK->isDefault());

    TAlarmEditDialog alarm;
    EXPECT_EQ(alarm.objectName(), "AlarmEditDialog");
    EXPECT_EQ(alarm.Caption(), "Определение тревоги");
    std::vector<TComponent> components = {{"CurrentObjectLabel", "Текущий объект"},
                                          {"Label1", "Выберите \"тревожные\" события для входов объекта"},
                                          {"ButtonOK", "ОК"},
                                          {"ButtonCancel", "Отмена"}};
    const char* labels[] = {"In1Label", "In2Label", "In3Label", "In4Label", "In5Label"};
    const char* lists[] = {"In1ComboBox", "In2ComboBox", "In3ComboBox", "In4ComboBox", "In5ComboBox"};
    const char* inputs[] = {"IN1", "IN2", "IN3", "IN4", "IN5"};
    for (int i = 0; i < 5; ++i) {
        components.push_back({labels[i], QString::fromUtf8(inputs[i])});
        components.push_back({lists[i], Events});
    }
    ExpectComponents(alarm, components);
    EXPECT_FALSE(alarm.In3ComboBox->isEditable());
    ExpectOkAndCancel(alarm, alarm.ButtonOK, alarm.ButtonCancel);
}

TEST(UnusedDialogs, ShowingEmptiesAndFocusesTheEntry) {
    auto show = [](TForm& form) {
        form.show();
        form.activateWindow();
        ASSERT_TRUE(PumpUntil([&] { return form.isActiveWindow(); }));
    };
    TForm2 form2;
    form2.Edit1->setText(QStringLiteral("1234"));
    show(form2);
    EXPECT_EQ(form2.Edit1->text(), QString());
    EXPECT_TRUE(form2.Edit1->hasFocus());
    TForm6 form6;
    show(form6);
    EXPECT_TRUE(form6.ComboBox1->hasFocus());
}

TEST(UnusedDialogs, PasswordEnterDialogOpensTheSettingsOnlyForTheSettingsPassword) {
    TScriptedDialogs dialogs(FailTest);
    auto settingsDialog = std::make_unique<TSettingsDialog>();
    SettingsDialog = settingsDialog.get();
    AppSettings->Password = MakePassword("secret");
    TPasswordEnterDialog password;
    password.show();

    dialogs.Expect(mtError, QStringLiteral("Пароль неверен!"), mrOk);
    TypeText(password.PasswordEdit, QStringLiteral("secret")); // not filled up: the 16 characters are asked
    password.ButtonOK->click();
    EXPECT_EQ(password.PasswordEdit->text(), QString());
    EXPECT_TRUE(password.isVisible());
    EXPECT_FALSE(SettingsDialog->isVisible());

    TypeText(password.PasswordEdit, QStringLiteral("secret8888888888"));
    password.ButtonOK->click();
    EXPECT_FALSE(password.isVisible());
    EXPECT_TRUE(SettingsDialog->isVisible());
    SettingsDialog->hide();

    password.show();
    password.ButtonCancel->click();
    EXPECT_FALSE(password.isVisible());
    SettingsDialog = nullptr;
}

} // namespace
