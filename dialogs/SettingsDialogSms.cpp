// The settings dialog's "SMS" page: the text of an encrypted command SMS that tells a modem the address
// and port of the server to connect to, for the operator to send himself. The text carries the modem
// ID 0 and is encrypted with the key the operator chose, which the modem must hold as its key.
#include "dialogs/SettingsDialog.h"

#include <algorithm>
#include <string>

#include <QComboBox>
#include <QLineEdit>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>

#include "core/ObjectRegistry.h"
#include "core/Settings.h"
#include "dialogs/EditEvents.h"
#include "dialogs/PasswordUpdate.h"
#include "platform/Cp1251.h"
#include "platform/Image.h"
#include "platform/RadioGroup.h"

namespace {

constexpr int ArbitraryKeyItem = 1;
constexpr int SetIpCommand = 0;

} // namespace

void TSettingsDialog::InitSMSPanel() {
    Edit25->setText(QStringLiteral("10.0.0.1"));
    Edit12->setText(QStringLiteral("10001"));
    SmsObjectPassword = SmsKey = NoPassword;
    RadioGroup1->SetItemIndex(ArbitraryKeyItem);
    RadioGroup1Click();
    Image7->SetPicture(*passOff_);
    ComboBox1->setCurrentIndex(SetIpCommand);
    Memo1->clear();
}

// The system key: the settings' password in modes 3 and 4, the factory key in the others (mode 2
// included).
void TSettingsDialog::RadioGroup1Click() {
    const bool arbitrary = RadioGroup1->ItemIndex() == ArbitraryKeyItem;
    Button6->setEnabled(arbitrary);
    if (arbitrary) {
        SmsKey = SmsObjectPassword;
        return;
    }
    const int mode = AppSettings->SecurityMode;
    SmsKey = mode == smOnePassword || mode == smManyPasswords ? PasswordText(AppSettings->Password)
                                                              : std::string(NoPassword);
}

void TSettingsDialog::Button6Click() {
    if (!PasswordUpdate)
        return;
    PasswordUpdate->SetCaption(QStringLiteral("Ввод пароля"));
    PasswordUpdate->InfoLabel->setText(QStringLiteral("Введите пароль контроллера"));
    if (PasswordUpdate->ShowModal() != mrOk)
        return;
    SmsObjectPassword = SmsKey = PasswordUpdate->Password;
    Image7->SetPicture(SmsKey != NoPassword ? *passOn_ : *passOff_);
}

void TSettingsDialog::Button5Click() {
    const TPassword key = MakePassword(SmsKey);
    AuthKeys keys;
    TMGSM_AuthKeysInit(&keys);
    std::copy(key.begin(), key.end(), keys.SystemKey);
    keys.Count = 0;
    SmsObj sms;
    TMGSM_InitSms(&sms, &keys);
    if (ComboBox1->currentIndex() != SetIpCommand)
        return;
    ObjProfile profile{};
    std::uint32_t ip = 0;
    if (Ip_FromStr(&ip, ToCp1251(Edit25->text()).c_str()) != 1) {
        MessageDlg(QStringLiteral("Некорректный IP-адрес"), mtError, mbOK);
        return;
    }
    // The modem stores the port in 16 bits, and port 0 reaches no server.
    int32_t port = 0;
    if (!TryStrToInt(ToCp1251(Edit12->text()), port) || port < 1 || port > 0xFFFF) {
        MessageDlg(QStringLiteral("Некорректный TCP-порт"), mtError, mbOK);
        return;
    }
    profile.ServerIp = ip;
    profile.ServerPort = std::uint16_t(port);
    sms.Params.Profile = &profile;
    if (TMGSM_CreateSmsMsg(&sms, reinterpret_cast<const std::uint8_t*>(key.data()), REQ_SET_IP) != 0 ||
        sms.TextLen == 0) {
        MessageDlg(QStringLiteral("Ошибка формирования SMS"), mtError, mbOK);
        return;
    }
    std::string text(sms.Text, std::min<std::size_t>(sms.TextLen, sizeof sms.Text));
    if (text.back() == '\n')
        text.pop_back();
    Memo1->setPlainText(QString::fromLatin1(text));
}

void TSettingsDialog::Edit12Exit() {
    HoldInRange(Edit12, TcpPortLimits);
}

void TSettingsDialog::Edit25KeyPress(QChar& key) {
    DigitDotKeyFilter(key);
}

void TSettingsDialog::Edit12KeyPress(QChar& key) {
    DigitKeyFilter(key);
}
