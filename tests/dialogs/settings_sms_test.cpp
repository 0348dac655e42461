// The settings dialog's "SMS" page: the command text it forms, opened again as a modem's SMS would be
// with the protocol library's SMS text codec, the key it is encrypted with in each security mode, and
// the refusals of bad addresses and ports.
#include <cstring>

#include <QComboBox>
#include <QFocusEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include "core/Bitmaps.h"
#include "core/Settings.h"
#include "platform/Image.h"
#include "platform/RadioGroup.h"
#include "tests/dialogs/SettingsFixture.h"
#include "tests/platform/TestSupport.h"
#include "tools/gsm-sim/ModemSms.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr int SmsPage = 3;

// A text opened with the router's SMS text codec, with a key table that holds key as its system key and
// lists no modem; and with the modem's side of the text format, which gives the block's plaintext.
struct TOpenedText {
    int Result; // of TMGSM_AcceptSmsMsg
    uint16_t ModemId;
    Bytes Plain; // the items, when the modem's side could open the text with key
};

TOpenedText OpenText(const QString& text, std::string_view key) {
    AuthKeys keys;
    TMGSM_AuthKeysInit(&keys);
    const TPassword password = MakePassword(key);
    std::memcpy(keys.SystemKey, password.data(), sizeof keys.SystemKey);
    SmsObj sms;
    TMGSM_InitSms(&sms, &keys);
    const std::string bytes = text.toStdString();
    TOpenedText opened{TMGSM_AcceptSmsMsg(&sms, bytes.data(), bytes.size()), sms.ModemId, {}};
    uint16_t id = 0;
    if (!gsmsim::OpenRequestText(bytes, reinterpret_cast<const uint8_t*>(password.data()), &id,
                                 &opened.Plain))
        opened.Plain.clear();
    return opened;
}

// The SetIp item: its code, the address (first dotted part first) and the port, big-endian.
Bytes SetIpItem(uint32_t ip, uint16_t port) {
    return {CMD_SET_IP,  uint8_t(ip >> 24),  uint8_t(ip >> 16), uint8_t(ip >> 8),
            uint8_t(ip), uint8_t(port >> 8), uint8_t(port)};
}

Bytes Head(const Bytes& b, size_t n) {
    return Bytes(b.begin(), b.begin() + std::ptrdiff_t(std::min(n, b.size())));
}

void LeaveEdit(QLineEdit* edit) {
    QFocusEvent out(QEvent::FocusOut, Qt::TabFocusReason);
    QCoreApplication::sendEvent(edit, &out);
}

bool Shows(const TImage* image, const char* bitmap) {
    return image->pixmap().toImage() == LoadBitmap(bitmap).toImage();
}

class SmsPageTest : public SettingsTest {
protected:
    QString Form() {
        dialog->Button5->click();
        return dialog->Memo1->toPlainText();
    }
};

TEST_F(SmsPageTest, DefaultsFormASetIpTextForTheFactoryKey) {
    OpenDialog(SmsPage);
    EXPECT_EQ(dialog->ComboBox1->currentText(), QStringLiteral("Изменить IP-адрес и порт"));
    EXPECT_EQ(dialog->Edit25->text(), QStringLiteral("10.0.0.1"));
    EXPECT_EQ(dialog->Edit12->text(), QStringLiteral("10001"));
    EXPECT_EQ(dialog->RadioGroup1->ItemIndex(), 1);
    EXPECT_TRUE(dialog->Button6->isEnabled());
    EXPECT_TRUE(Shows(dialog->Image7, "PASS_OFF"));
    EXPECT_TRUE(dialog->Memo1->toPlainText().isEmpty());

    const QString text = Form();
    // One 7-byte item makes a 16-byte block, sent in hexadecimal: marker, ID 0000, 34 digits; no LF.
    EXPECT_EQ(text.size(), 39) << text.toStdString();
    EXPECT_TRUE(text.startsWith(QStringLiteral(",0000")));
    EXPECT_FALSE(text.endsWith(QLatin1Char('\n')));
    const TOpenedText opened = OpenText(text, NoPassword);
    EXPECT_EQ(opened.Result, SMS_FACTORY_KEY);
    EXPECT_EQ(opened.ModemId, 0);
    EXPECT_EQ(Head(opened.Plain, 7), SetIpItem(0x0A000001, 10001));
}

struct TKeyCase {
    const char* name;
    int mode;
    int item;            // of RadioGroup1
    const char* entered; // with Button6 before choosing the item; null: nothing entered
    const char* key;     // the key the text must open with
};

TEST_F(SmsPageTest, TextIsEncryptedWithTheChosenKey) {
    const TKeyCase cases[] = {
        {"system key in mode 0", smNone, 0, nullptr, "8888888888888888"},
        {"system key in mode 1", smSettingsOnly, 0, nullptr, "8888888888888888"},
        {"system key in mode 2 stays the factory key", smSettingsAndObjects, 0, nullptr, "8888888888888888"},
        {"system key in mode 3", smOnePassword, 0, nullptr, "Settings"},
        {"system key in mode 4", smManyPasswords, 0, nullptr, "Settings"},
        {"a key entered", smOnePassword, 1, "Obj42", "Obj4288888888888"},
        {"a key entered, the system one chosen", smManyPasswords, 0, "Obj42", "Settings"},
    };
    for (const TKeyCase& c : cases) {
        SCOPED_TRACE(c.name);
        AppSettings->SecurityMode = c.mode;
        AppSettings->Password = MakePassword("Settings");
        OpenDialog(SmsPage);
        if (c.entered) {
            AnswerNewPassword(QString::fromLatin1(c.entered));
            dialog->Button6->click();
        }
        dialog->RadioGroup1->Button(c.item)->click();
        EXPECT_EQ(dialog->Button6->isEnabled(), c.item == 1);
        const QString text = Form();
        const bool factory = std::string_view(c.key) == NoPassword;
        const TOpenedText opened = OpenText(text, c.key);
        EXPECT_EQ(opened.Result, factory ? SMS_FACTORY_KEY : SMS_OWN_KEY);
        EXPECT_EQ(Head(opened.Plain, 7), SetIpItem(0x0A000001, 10001));
        if (!factory) {
            EXPECT_EQ(OpenText(text, NoPassword).Result, SMS_NO_KEY);
        }
        dialog->ButtonCancel->click();
    }
}

TEST_F(SmsPageTest, EveryAddressAndPortTravelsAsTyped) {
    struct {
        const char *ip, *port;
        uint32_t value;
        uint16_t portValue;
    } const cases[] = {
        {"192.168.100.254", "1", 0xC0A864FE, 1},
        {"255.255.255.255", "65535", 0xFFFFFFFF, 65535},
        {"0.0.0.0", "1024", 0, 1024},
    };
    OpenDialog(SmsPage);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ip);
        dialog->Edit25->setText(QLatin1String(c.ip));
        dialog->Edit12->setText(QLatin1String(c.port));
        EXPECT_EQ(Head(OpenText(Form(), NoPassword).Plain, 7), SetIpItem(c.value, c.portValue));
    }
}

TEST_F(SmsPageTest, BadAddressOrPortIsRefusedAndTheTextStays) {
    struct {
        const char *ip, *port, *message;
    } const cases[] = {
        {"1.2.3", "10001", "Некорректный IP-адрес"},
        {"256.1.1.1", "10001", "Некорректный IP-адрес"},
        {"1..2.3.4", "10001", "Некорректный IP-адрес"},
        {"", "10001", "Некорректный IP-адрес"},
        {"10.0.0.1", "", "Некорректный TCP-порт"},
        // The edit was not left, so nothing held these in range: what the modem cannot store is refused.
        {"10.0.0.1", "0", "Некорректный TCP-порт"},
        {"10.0.0.1", "70000", "Некорректный TCP-порт"},
    };
    OpenDialog(SmsPage);
    const QString formed = Form();
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.ip) + ":" + c.port);
        dialog->Edit25->setText(QLatin1String(c.ip));
        dialog->Edit12->setText(QLatin1String(c.port));
        dialogs->Expect(mtError, QString::fromUtf8(c.message), mrOk);
        dialog->Button5->click();
        EXPECT_EQ(dialogs->Pending(), 0u);
        EXPECT_EQ(dialog->Memo1->toPlainText(), formed);
    }
}

TEST_F(SmsPageTest, EditsTakeTheirKeysAndThePortIsHeldInRangeWhenLeft) {
    OpenDialog(SmsPage);
    dialog->Edit25->clear();
    QTest::keyClicks(dialog->Edit25, QStringLiteral("1a0. 0-.0,.9x"));
    EXPECT_EQ(dialog->Edit25->text(), QStringLiteral("10.0.0.9"));
    dialog->Edit12->clear();
    QTest::keyClicks(dialog->Edit12, QStringLiteral("9x9.9 99"));
    EXPECT_EQ(dialog->Edit12->text(), QStringLiteral("99999"));
    LeaveEdit(dialog->Edit12);
    EXPECT_EQ(dialog->Edit12->text(), QStringLiteral("65535"));
    for (auto [typed, held] : {std::pair{"80", "1024"}, {"", "10001"}, {"2000", "2000"}}) {
        dialog->Edit12->setText(QLatin1String(typed));
        LeaveEdit(dialog->Edit12);
        EXPECT_EQ(dialog->Edit12->text(), QLatin1String(held));
    }
    EXPECT_EQ(Head(OpenText(Form(), NoPassword).Plain, 7), SetIpItem(0x0A000009, 2000));
}

TEST_F(SmsPageTest, ObjectKeyIsEnteredOnlyForAnArbitraryKeyAndShownByItsPicture) {
    OpenDialog(SmsPage);
    AnswerNewPassword(QStringLiteral("Obj42"));
    dialog->Button6->click();
    EXPECT_EQ(newPasswordTexts, (QStringList{"Ввод пароля", "Введите пароль контроллера"}));
    EXPECT_TRUE(Shows(dialog->Image7, "PASS_ON"));
    EXPECT_EQ(dialog->SmsKey, "Obj4288888888888");

    AnswerNewPassword(QString(), false);
    dialog->Button6->click();
    EXPECT_TRUE(Shows(dialog->Image7, "PASS_ON"));
    EXPECT_EQ(dialog->SmsObjectPassword, "Obj4288888888888");

    dialog->RadioGroup1->Button(0)->click();
    EXPECT_FALSE(dialog->Button6->isEnabled());
    EXPECT_EQ(dialog->SmsKey, std::string(NoPassword));
    dialog->RadioGroup1->Button(1)->click();
    EXPECT_EQ(dialog->SmsKey, "Obj4288888888888");

    AnswerNewPassword(QString());
    dialog->Button6->click();
    EXPECT_TRUE(Shows(dialog->Image7, "PASS_OFF"));
    EXPECT_EQ(dialog->SmsKey, std::string(NoPassword));
}

TEST_F(SmsPageTest, EveryShowingStartsThePageAfresh) {
    OpenDialog(SmsPage);
    dialog->Edit25->setText(QStringLiteral("1.2.3.4"));
    AnswerNewPassword(QStringLiteral("Obj42"));
    dialog->Button6->click();
    dialog->RadioGroup1->Button(0)->click();
    Form();
    dialog->ButtonCancel->click();

    OpenDialog(SmsPage);
    EXPECT_EQ(dialog->Edit25->text(), QStringLiteral("10.0.0.1"));
    EXPECT_EQ(dialog->RadioGroup1->ItemIndex(), 1);
    EXPECT_EQ(dialog->SmsKey, std::string(NoPassword));
    EXPECT_TRUE(Shows(dialog->Image7, "PASS_OFF"));
    EXPECT_TRUE(dialog->Memo1->toPlainText().isEmpty());
}

} // namespace
