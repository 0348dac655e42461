// The profile editor on the real session manager and main window (not shown on a screen), against a
// simulated modem on loopback, with a fake clock, scripted message boxes and a GSM modem window that
// records the SMS it is asked to send: reading and writing the profile over TCP and by SMS, the key
// change and the modem's next authentication with the new key, the locks and their release however
// the object's connection ends, and the fields' limits.
#include <cstring>

#include <QCheckBox>
#include <QFocusEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTest>

#include "core/ObjectRegistry.h"
#include "core/Settings.h"
#include "dialogs/PasswordUpdate.h"
#include "platform/Image.h"
#include "platform/RadioGroup.h"
#include "platform/StringGrid.h"
#include "tests/core/MainFormFixture.h"
#include "tests/dialogs/SettingsFixture.h"
#include "tests/platform/TestSupport.h"
#include "tests/sessions/SessionFixture.h"

namespace {

constexpr int ObjectNumber = 5;
const QString ReadingCaption = QStringLiteral("Профиль модкма №5 - идет считывание");
const QString IdleCaption = QStringLiteral("Профиль объекта №5");
const QString SmsQuestion =
    QStringLiteral("Невозможно отправить команду через TCP/IP!\r\nОтправить с помощью SMS?");
const QString KeyQuestion =
    QStringLiteral("Пароль успешно записан и вступит в силу\r\nпри следующем соединении "
                   "с объектом\r\nРазорвать текущее соединение?");

// What the modem holds before the editor reads it. The session is odd, which the halved display
// cannot show.
ObjProfile StoredProfile() {
    ObjProfile p{};
    p.ServerIp = 0xC0A8010A;
    p.ServerPort = 10002;
    p.Session = 31;
    Prof_SetStr(PROF_STR_APN, &p, "internet.operator.ru");
    Prof_SetStr(PROF_STR_USER, &p, "gprs");
    Prof_SetStr(PROF_STR_PASSWORD, &p, "secret");
    p.ExtraWord = 0x12345678;
    Digits_ToBcd("79161234567", p.ConnectPhone);
    Digits_ToBcd("79168999100", p.SmsCentre);
    Digits_ToBcd("79160000001", p.SmsPhone);
    p.Cfg0 = 0x2D;
    p.Cfg1 = 0x21;
    p.Cfg6 = 0xA5;
    p.Cfg7 = 0x11;
    p.Cfg13 = 0x7E;
    p.Cfg15 = 0x3C;
    p.Profile2Word = 0xBEEF;
    p.Profile2Byte = 0x5A;
    return p;
}

Bytes Wire(const ObjProfile& p, int part) {
    Bytes b(part == 0 ? PROF1_SIZE : PROF2_SIZE);
    Prof_Encode(b.data(), part, &p);
    return b;
}

void LeaveEdit(QLineEdit* edit) {
    QFocusEvent out(QEvent::FocusOut, Qt::TabFocusReason);
    QCoreApplication::sendEvent(edit, &out);
}

class ProfileEditorTest : public SessionTest {
protected:
    ProfileEditorTest() {
        editor = std::make_unique<TObjSettingsDialog>();
        ObjSettingsDialog = editor.get();
        newPassword = std::make_unique<TPasswordUpdate>();
        PasswordUpdate = newPassword.get();
        gsm = std::make_unique<TFakeModemForm>();
        ModemForm = gsm.get();
    }
    ~ProfileEditorTest() override {
        ObjSettingsDialog = nullptr;
        editor.reset();
        ModemForm = nullptr;
        gsm.reset();
        PasswordUpdate = nullptr;
        newPassword.reset();
        ModemState = msClosed;
        SmsSendPending = false;
        PendingSecondPart = false;
    }

    // Object 5 with its modem connected; the modem holds StoredProfile.
    void SetUp() override {
        object = AddObject(ObjectNumber);
        object->Phone = "+71230000000";
        i = ConnectModem(Config(ObjectNumber));
        ASSERT_TRUE(RunUntil([&] { return object->Connected != 0; }));
        const ObjProfile stored = StoredProfile();
        std::memcpy(Modem().Profile1(), Wire(stored, 0).data(), PROF1_SIZE);
        std::memcpy(Modem().Profile2(), Wire(stored, 1).data(), PROF2_SIZE);
    }

    modemsim::ModemSim& Modem() { return pool->Modem(i); }
    uint32_t Commands(uint8_t code) { return Modem().Stats().commands[code]; }
    bool LinkWaits() {
        TServerConnection* c = SessionOf(ObjectNumber);
        return c && (TMGSM_IpState(c->Link.get()) & LEV_WAIT_ACK);
    }
    bool Idle() const { return editor->OperationState == TObjSettingsDialog::opIdle; }
    bool Locked() const { return !editor->PageControl1->isEnabled() && !editor->LoadButton->isEnabled(); }

    // Opens the editor on object 5 as the main window does once access was granted, but without the
    // modal loop, and waits until the read is done.
    void OpenAndRead() {
        AccessGranted = true;
        editor->Tag = ObjectNumber;
        editor->show();
        editor->LoadButtonClick();
        ASSERT_TRUE(RunUntil([&] { return Idle() && editor->LoadedParts == 3; }));
    }
    void WaitIdle() {
        ASSERT_TRUE(RunUntil([&] { return Idle(); }));
    }
    // Ends the modem's connection and waits until the editor heard of it.
    void DropModem() {
        pool->Close(i);
        ASSERT_TRUE(RunUntil([&] { return !object->Connected; }));
        ASSERT_TRUE(PumpIdle()); // the editor is told after the disconnect event
    }
    // The GSM modem window reports that it is ready.
    void GsmModemReady() {
        ModemState = msReady;
        editor->OnModemConnected();
    }

    std::unique_ptr<TObjSettingsDialog> editor;
    std::unique_ptr<TPasswordUpdate> newPassword;
    std::unique_ptr<TFakeModemForm> gsm;
    TObjectStates* object = nullptr;
    size_t i = 0;
};

// The operator's whole road through the main window's "Профиль..." button: the read, an edit, the
// write, the close.
class ProfileThroughMainWindowTest : public ProfileEditorTest {
protected:
    void ReadEditAndWrite() {
        // The read is asked for; the modem has not answered yet.
        EXPECT_EQ(editor->Caption(), ReadingCaption);
        EXPECT_TRUE(Locked());
        EXPECT_FALSE(editor->SaveButton->isEnabled());
        EXPECT_EQ(editor->PageControl1->currentIndex(), 0);
        ASSERT_TRUE(RunUntil([&] { return Idle() && editor->LoadedParts == 3; }));
        EXPECT_EQ(Commands(CMD_GET_PROFILE1), 1u);
        EXPECT_EQ(editor->Caption(), IdleCaption);
        EXPECT_TRUE(editor->PageControl1->isEnabled());
        EXPECT_TRUE(editor->SaveButton->isEnabled());
        const std::pair<QLineEdit*, const char*> shown[] = {
            {editor->Edit21, "internet.operator.ru"},
            {editor->Edit22, "gprs"},
            {editor->Edit23, "secret"},
            {editor->Edit25, "192.168.1.10"},
            {editor->Edit12, "10002"},
            {editor->Edit24, "15"},
            {editor->ConnectPhoneEdit, "79161234567"},
            {editor->SMSSCAEdit, "79168999100"},
            {editor->SMSPhoneEdit, "79160000001"},
        };
        for (auto [edit, text] : shown)
            EXPECT_EQ(edit->text(), QLatin1String(text)) << edit->objectName().toStdString();
        // Enabled by the parts loaded; the connection page and the diagnostics stay disabled.
        for (QWidget* w : {editor->GroupBox7, editor->GroupBox1, editor->GroupBox2, editor->GroupBox3,
                           editor->GroupBox4, editor->GroupBox5, editor->GroupBox9})
            EXPECT_TRUE(w->isEnabled()) << w->objectName().toStdString();
        for (QWidget* w : std::initializer_list<QWidget*>{
                 editor->InstantConnectCheckBox, editor->ConnectGroupBox, editor->DisconnectGroupBox,
                 editor->GroupBox13, editor->GroupBox14, editor->GroupBox15, editor->GroupBox16,
                 editor->GroupBox17, editor->GroupBox12})
            EXPECT_FALSE(w->isEnabled()) << w->objectName().toStdString();

        editor->Edit21->setText(QStringLiteral("inet"));
        editor->Edit25->setText(QStringLiteral("10.1.2.3"));
        editor->Edit12->setText(QStringLiteral("12000"));
        editor->Edit24->setText(QStringLiteral("7"));
        editor->SMSPhoneEdit->setText(QStringLiteral("79990001122"));
        editor->SaveButton->click();
        EXPECT_EQ(editor->OperationState, TObjSettingsDialog::opWriting);
        EXPECT_TRUE(Locked());
        ASSERT_TRUE(RunUntil([&] { return Idle(); }));
        EXPECT_TRUE(editor->SaveButton->isEnabled());

        ObjProfile expected = StoredProfile();
        Prof_SetStr(PROF_STR_APN, &expected, "inet");
        expected.ServerIp = 0x0A010203;
        expected.ServerPort = 12000;
        expected.Session = 14;
        Digits_ToBcd("79990001122", expected.SmsPhone);
        EXPECT_EQ(Bytes(Modem().Profile1(), Modem().Profile1() + PROF1_SIZE), Wire(expected, 0));
        EXPECT_EQ(Bytes(Modem().Profile2(), Modem().Profile2() + PROF2_SIZE), Wire(expected, 1));
    }
};

TEST_F(ProfileThroughMainWindowTest, ReadsAndWritesTheProfileOverTcp) {
    main->ObjectsGrid->SetRow(1);
    bool ran = false;
    WhenModal(*editor, [&] {
        ran = true;
        ReadEditAndWrite();
        editor->CloseButton->click();
    });
    main->SettingsButtonClick();
    EXPECT_TRUE(ran);
    EXPECT_FALSE(editor->isVisible());
    EXPECT_FALSE(AccessGranted);
    // Closed: every part counts as loaded, the fields are empty; the connection page stays disabled.
    EXPECT_EQ(editor->LoadedParts, 0xFFFFu);
    EXPECT_TRUE(editor->Edit21->text().isEmpty());
    EXPECT_TRUE(editor->GroupBox13->isEnabled());
    EXPECT_FALSE(editor->ConnectGroupBox->isEnabled());
    EXPECT_TRUE(Logged("SM: sending GetProfile (object №5)"));
    EXPECT_TRUE(Logged("SM: sending SetProfile (object №5)"));
}

TEST_F(ProfileEditorTest, ObjectWithoutConnectionOpensNothing) {
    AddObject(6);
    main->ObjectsGrid->SetRow(2);
    main->SettingsButtonClick();
    EXPECT_FALSE(editor->isVisible());
    EXPECT_FALSE(AccessGranted);
    EXPECT_EQ(Commands(CMD_GET_PROFILE1), 0u);
}

// An edit left alone keeps the value read, an odd session included; numbers beyond what the profile
// stores are held at its limit.
TEST_F(ProfileEditorTest, SessionAndPortKeepOrHoldTheirValues) {
    struct {
        const char *session, *port;
        uint16_t storedSession, storedPort;
        const char *shownSession, *shownPort;
    } const cases[] = {
        {"15", "10002", 31, 10002, "15", "10002"},
        {"7", "80", 14, 80, "7", "80"},
        {"", "", 14, 80, "", ""},
        {"999", "99999", 1998, 65535, "999", "65535"},
        {"0", "0", 0, 0, "0", "0"},
    };
    OpenAndRead();
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.session) + " min, port " + c.port);
        editor->Edit24->setText(QLatin1String(c.session));
        editor->Edit12->setText(QLatin1String(c.port));
        editor->SaveButtonClick();
        // Copies: the profile's fields are packed, so a reference to one may be misaligned.
        const auto session = editor->Profile.Session, port = editor->Profile.ServerPort;
        EXPECT_EQ(session, c.storedSession);
        EXPECT_EQ(port, c.storedPort);
        EXPECT_EQ(editor->Edit24->text(), QLatin1String(c.shownSession));
        EXPECT_EQ(editor->Edit12->text(), QLatin1String(c.shownPort));
        WaitIdle();
    }
}

TEST_F(ProfileEditorTest, FieldThatTheProfileCannotStoreIsNamedOnItsPageAndNothingIsSent) {
    struct {
        QLineEdit* TObjSettingsDialog::*edit;
        const char* text;
        int page;
        const char* message;
    } const cases[] = {
        {&TObjSettingsDialog::ConnectPhoneEdit, "123", 2, "ый номер для голосовой связи"},
        {&TObjSettingsDialog::SMSSCAEdit, "0000001", 0, "ый номер SMS-центра"},
        {&TObjSettingsDialog::SMSPhoneEdit, "12345", 0, "ый номер SMS-потока №1"},
        {&TObjSettingsDialog::Edit21, "", 0, "ая длина APN"},
        {&TObjSettingsDialog::Edit25, "1.2.3", 0, "ый IP-адрес"},
        {&TObjSettingsDialog::Edit25, "10.0.0.256", 0, "ый IP-адрес"},
        // The form takes 30 characters, the profile 20.
        {&TObjSettingsDialog::Edit22, "user-name-of-21-chars", 0, "ая длина имени пользователя"},
        {&TObjSettingsDialog::Edit23, "a-password-of-thirty-character", 0, "ая длина пароля"},
    };
    OpenAndRead();
    for (const auto& c : cases) {
        QLineEdit* edit = editor.get()->*c.edit;
        SCOPED_TRACE(edit->objectName().toStdString());
        const QString before = edit->text();
        edit->setText(QLatin1String(c.text));
        editor->PageControl1->setCurrentIndex(3);
        dialogs->Expect(mtError,
                        QStringLiteral("Ошибка записи профиля!\r\nНекорректн") + QString::fromUtf8(c.message),
                        mrOk);
        editor->SaveButton->click();
        EXPECT_EQ(dialogs->Pending(), 0u);
        EXPECT_EQ(editor->PageControl1->currentIndex(), c.page);
        EXPECT_TRUE(Idle());
        edit->setText(before);
    }
    Advance(1000);
    EXPECT_EQ(Commands(CMD_SET_PROFILE1) + Commands(CMD_SET_PROFILE2), 0u);
}

// Object 5 was read and the editor closed; object 6's read is cut by its link dropping, which leaves
// writing enabled. Its profile was never read, so nothing is written to it, by SMS or over TCP, until a
// read of its own succeeds: the configuration bytes the form does not show would be object 5's.
TEST_F(ProfileEditorTest, NoWriteCarriesAProfileReadFromAnotherObject) {
    OpenAndRead();
    editor->close();
    TObjectStates* sixth = AddObject(6);
    sixth->Phone = "+71230000006";
    const size_t k = ConnectModem(Config(6));
    ObjProfile own = StoredProfile(); // but for what the form does not show
    Prof_SetStr(PROF_STR_APN, &own, "six.apn");
    own.Session = 20;
    own.ExtraWord = 0x66666666;
    own.Cfg0 = 0x06;
    own.Cfg1 = 0x16;
    own.Cfg6 = 0x66;
    own.Cfg13 = 0x36;
    own.Profile2Word = 0x6666;
    own.Profile2Byte = 0x06;
    std::memcpy(pool->Modem(k).Profile1(), Wire(own, 0).data(), PROF1_SIZE);
    std::memcpy(pool->Modem(k).Profile2(), Wire(own, 1).data(), PROF2_SIZE);

    editor->Tag = 6;
    editor->show();
    pool->Modem(k).SetSilent(true, modemsim::MonotonicMs());
    editor->LoadButtonClick();
    dialogs->Expect(mtError, QStringLiteral("Невозможно считать профиль!\r\nСвязь с объектом прервана!"),
                    mrOk);
    pool->Close(k);
    ASSERT_TRUE(RunUntil([&] { return !sixth->Connected && Idle() && dialogs->Pending() == 0; }));
    EXPECT_EQ(editor->LoadedParts, 0xFFFFu);

    const QString refused = QStringLiteral("Невозможно записать профиль!\r\nПрофиль объекта не считан!");
    GsmModemReady();
    ASSERT_TRUE(editor->SaveButton->isEnabled());
    editor->Edit21->setText(QStringLiteral("typed.apn"));
    editor->Edit25->setText(QStringLiteral("10.1.2.3"));
    dialogs->Expect(mtError, refused, mrOk);
    editor->SaveButton->click();
    EXPECT_EQ(dialogs->Pending(), 0u);
    EXPECT_TRUE(gsm->ProfileWrites.empty());
    EXPECT_TRUE(Idle());

    pool->Modem(k).SetSilent(false, modemsim::MonotonicMs());
    pool->Open(k);
    ASSERT_TRUE(RunUntil([&] { return sixth->Connected != 0; }));
    dialogs->Expect(mtError, refused, mrOk);
    editor->SaveButton->click();
    EXPECT_EQ(dialogs->Pending(), 0u);
    Advance(1000);
    EXPECT_EQ(pool->Modem(k).Stats().commands[CMD_SET_PROFILE1], 0u);
    EXPECT_EQ(Bytes(pool->Modem(k).Profile1(), pool->Modem(k).Profile1() + PROF1_SIZE), Wire(own, 0));

    // Its own read makes it writable, with its own configuration bytes.
    editor->LoadButtonClick();
    ASSERT_TRUE(RunUntil([&] { return Idle() && editor->LoadedParts == 3; }));
    editor->Edit25->setText(QStringLiteral("10.1.2.3"));
    editor->SaveButton->click();
    ASSERT_TRUE(RunUntil([&] { return pool->Modem(k).Stats().commands[CMD_SET_PROFILE2] == 1; }));
    WaitIdle();
    own.ServerIp = 0x0A010203;
    EXPECT_EQ(Bytes(pool->Modem(k).Profile1(), pool->Modem(k).Profile1() + PROF1_SIZE), Wire(own, 0));
    EXPECT_EQ(Bytes(pool->Modem(k).Profile2(), pool->Modem(k).Profile2() + PROF2_SIZE), Wire(own, 1));
}

TEST_F(ProfileEditorTest, EditsKeepTheFormsLengths) {
    editor->show();
    editor->SymbolRadioButton->click();
    struct {
        QLineEdit* edit;
        QString typed, taken;
    } const cases[] = {
        {editor->Edit21, QString(40, QLatin1Char('a')), QString(32, QLatin1Char('a'))},
        {editor->Edit22, QString(35, QLatin1Char('u')), QString(30, QLatin1Char('u'))},
        {editor->Edit23, QString(35, QLatin1Char('p')), QString(30, QLatin1Char('p'))},
        {editor->Edit25, QStringLiteral("1a92.1,68.1 .1x"), QStringLiteral("192.168.1.1")},
        {editor->Edit24, QStringLiteral("12a3456"), QStringLiteral("123")},
        {editor->Edit12, QStringLiteral("123456"), QStringLiteral("12345")},
        {editor->ConnectPhoneEdit, QStringLiteral("+7916-123456789012345"),
         QStringLiteral("791612345678901")},
        {editor->SMSSCAEdit, QStringLiteral("12345678901234567"), QStringLiteral("123456789012345")},
        {editor->SMSPhoneEdit, QStringLiteral("12345678901234567"), QStringLiteral("123456789012345")},
        {editor->SymbolEdit, QStringLiteral("g0Dx"), QStringLiteral("0D")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.edit->objectName().toStdString());
        c.edit->clear();
        TypeText(c.edit, c.typed);
        EXPECT_EQ(c.edit->text(), c.taken);
    }
    // Text that Windows-1251 cannot hold is refused as it is typed.
    editor->Edit21->clear();
    TypeText(editor->Edit21, QStringLiteral("сеть€✓"));
    EXPECT_EQ(editor->Edit21->text(), QStringLiteral("сеть€"));

    for (auto [typed, held] :
         {std::pair{"99999", "65535"}, {"80", "1024"}, {"", "10001"}, {"4000", "4000"}}) {
        editor->Edit12->setText(QLatin1String(typed));
        LeaveEdit(editor->Edit12);
        EXPECT_EQ(editor->Edit12->text(), QLatin1String(held));
    }
    editor->Edit12->setText(QStringLiteral("80"));
    LeaveEdit(editor->Edit13);
    EXPECT_EQ(editor->Edit12->text(), QStringLiteral("1024"));
}

// What the modem holds is shown whole, beyond the lengths the operator may type (a session of 2000
// minutes, numbers of 16 digits), and a write that changes another field sends it back as it came. The
// next showing takes the form's lengths again.
TEST_F(ProfileEditorTest, ValuesReadBeyondTheFormsLengthsAreShownWholeAndWrittenBackAsTheyCame) {
    ObjProfile stored = StoredProfile();
    stored.Session = 4000;
    Digits_ToBcd("7916123456789012", stored.ConnectPhone);
    Digits_ToBcd("7916899910012345", stored.SmsCentre);
    Digits_ToBcd("7916000000112345", stored.SmsPhone);
    std::memcpy(Modem().Profile1(), Wire(stored, 0).data(), PROF1_SIZE);
    std::memcpy(Modem().Profile2(), Wire(stored, 1).data(), PROF2_SIZE);
    OpenAndRead();
    EXPECT_EQ(editor->Edit24->text(), QStringLiteral("2000"));
    EXPECT_EQ(editor->ConnectPhoneEdit->text(), QStringLiteral("7916123456789012"));
    EXPECT_EQ(editor->SMSSCAEdit->text(), QStringLiteral("7916899910012345"));
    EXPECT_EQ(editor->SMSPhoneEdit->text(), QStringLiteral("7916000000112345"));
    editor->Edit25->setText(QStringLiteral("10.1.2.3"));
    editor->SaveButton->click();
    ASSERT_TRUE(RunUntil([&] { return Commands(CMD_SET_PROFILE2) == 1; }));
    WaitIdle();
    stored.ServerIp = 0x0A010203;
    EXPECT_EQ(Bytes(Modem().Profile1(), Modem().Profile1() + PROF1_SIZE), Wire(stored, 0));
    EXPECT_EQ(Bytes(Modem().Profile2(), Modem().Profile2() + PROF2_SIZE), Wire(stored, 1));

    editor->close();
    editor->show();
    for (QLineEdit* edit :
         {editor->Edit24, editor->ConnectPhoneEdit, editor->SMSSCAEdit, editor->SMSPhoneEdit})
        EXPECT_EQ(edit->maxLength(), edit == editor->Edit24 ? 3 : 15) << edit->objectName().toStdString();
}

TEST_F(ProfileEditorTest, PortAndConnectionPagesInterlock) {
    editor->show();
    const QList<QWidget*> rs485 = {editor->RTimeCheckBox,       editor->RTimeEdit, editor->RTimeRadioButton1,
                                   editor->RTimeRadioButton100, editor->STimeEdit, editor->STimeRadioButton1,
                                   editor->STimeRadioButton100, editor->ETimeEdit, editor->ETimeRadioButton1,
                                   editor->ETimeRadioButton100, editor->DataImage};
    auto check = [&](bool rs232) {
        EXPECT_EQ(editor->RS232RadioButton->isChecked(), rs232);
        EXPECT_EQ(editor->RS485RadioButton->isChecked(), !rs232);
        EXPECT_EQ(editor->RTCCheckBox->isEnabled(), rs232);
        EXPECT_EQ(editor->DCDRadioGroup->isEnabled(), rs232);
        for (QWidget* w : rs485)
            EXPECT_EQ(w->isEnabled(), !rs232) << w->objectName().toStdString();
    };
    check(true);
    editor->RS485RadioButton->click();
    check(false);
    editor->RS232RadioButton->click();
    check(true);

    EXPECT_TRUE(editor->TimeoutEdit->isEnabled());
    EXPECT_FALSE(editor->SymbolEdit->isEnabled());
    editor->SymbolRadioButton->click();
    EXPECT_FALSE(editor->TimeoutRadioButton->isChecked());
    EXPECT_FALSE(editor->TimeoutEdit->isEnabled());
    EXPECT_FALSE(editor->TimeoutLabel->isEnabled());
    EXPECT_TRUE(editor->SymbolEdit->isEnabled());
    EXPECT_TRUE(editor->SymbolLabel->isEnabled());

    for (auto [code, label] : {std::pair{"41", "\"A\""}, {"", "\" \""}, {"C0", "\"А\""}, {"7e", "\"~\""}}) {
        editor->SymbolEdit->setText(QLatin1String(code));
        EXPECT_EQ(editor->SymbolLabel->text(), QString::fromUtf8(label)) << code;
    }

    editor->InstantConnectCheckBox->click();
    EXPECT_FALSE(editor->ConnectGroupBox->isEnabled());
    EXPECT_FALSE(editor->DisconnectGroupBox->isEnabled());
    editor->InstantConnectCheckBox->click();
    EXPECT_TRUE(editor->ConnectGroupBox->isEnabled());
    EXPECT_TRUE(editor->DisconnectGroupBox->isEnabled());
}

// However the object's connection ends while an operation runs, the editor is unlocked and says which
// operation was cut short; a read gives back the parts it had before.
enum TOperationKind { okNone, okRead, okWrite, okKey };
enum TEnd { endModemCloses, endAckTimeout };

class LostConnectionTest : public ProfileEditorTest,
                           public ::testing::WithParamInterface<std::tuple<TOperationKind, TEnd>> {};

TEST_P(LostConnectionTest, UnlocksTheEditorWithItsMessage) {
    const auto [kind, end] = GetParam();
    AppSettings->SecurityMode = smSettingsAndObjects;
    if (kind == okRead) {
        AccessGranted = true;
        editor->Tag = ObjectNumber;
        editor->show();
    } else {
        OpenAndRead();
    }
    const uint32_t partsBefore = editor->LoadedParts;
    Modem().SetSilent(true, modemsim::MonotonicMs());
    const char* action = nullptr;
    switch (kind) {
    case okNone: // a request of the main window keeps the link waiting
        form->QueryHwInfo(ObjectNumber);
        break;
    case okRead:
        editor->LoadButtonClick();
        action = "считать профиль";
        break;
    case okWrite:
        editor->SaveButtonClick();
        action = "записать профиль";
        break;
    case okKey:
        AnswerNewPassword(*newPassword, QStringLiteral("NewKey"));
        editor->PasswordButtonClick();
        action = "записать пароль";
        break;
    }
    ASSERT_TRUE(RunUntil([&] { return LinkWaits(); }));
    EXPECT_EQ(Locked(), kind != okNone);
    if (action)
        dialogs->Expect(
            mtError,
            QStringLiteral("Невозможно %1!\r\nСвязь с объектом прервана!").arg(QString::fromUtf8(action)),
            mrOk);
    if (end == endModemCloses)
        pool->Close(i);
    else
        Advance(21'000, 500);
    ASSERT_TRUE(RunUntil([&] { return !object->Connected && dialogs->Pending() == 0; }));
    ASSERT_TRUE(PumpIdle());
    EXPECT_TRUE(Idle());
    EXPECT_TRUE(editor->PageControl1->isEnabled());
    EXPECT_EQ(editor->Caption(), IdleCaption);
    EXPECT_EQ(editor->LoadedParts, partsBefore);
    // Nothing is left to read or write with: no connection and no GSM modem.
    EXPECT_FALSE(editor->LoadButton->isEnabled());
    EXPECT_FALSE(editor->SaveButton->isEnabled());
    if (kind == okRead) { // 0xFFFF, as after a close: every tagged group box is enabled again
        EXPECT_TRUE(editor->GroupBox13->isEnabled());
    }
}

INSTANTIATE_TEST_SUITE_P(Operations, LostConnectionTest,
                         ::testing::Combine(::testing::Values(okNone, okRead, okWrite, okKey),
                                            ::testing::Values(endModemCloses, endAckTimeout)));

TEST_F(ProfileEditorTest, WritesBothPartsBySmsOneAfterTheOther) {
    OpenAndRead();
    DropModem();
    EXPECT_FALSE(editor->SaveButton->isEnabled());
    GsmModemReady();
    EXPECT_TRUE(editor->LoadButton->isEnabled());
    EXPECT_TRUE(editor->SaveButton->isEnabled());

    editor->Edit21->setText(QStringLiteral("sms.apn"));
    dialogs->Expect(mtConfirmation, SmsQuestion, mrOk);
    editor->SaveButton->click();
    ASSERT_EQ(gsm->ProfileWrites.size(), 1u);
    EXPECT_EQ(gsm->ProfileWrites[0].Object, object);
    EXPECT_EQ(gsm->ProfileWrites[0].Parts, uint32_t(REQ_SET_PROFILE1));
    ObjProfile expected = StoredProfile();
    Prof_SetStr(PROF_STR_APN, &expected, "sms.apn");
    EXPECT_EQ(Wire(gsm->ProfileWrites[0].Profile, 0), Wire(expected, 0));
    EXPECT_EQ(editor->OperationState, TObjSettingsDialog::opWritingBySms);
    EXPECT_TRUE(PendingSecondPart);
    EXPECT_TRUE(Locked());
    editor->ObjectConnected(); // a connection meanwhile does not unlock an SMS write
    EXPECT_FALSE(editor->LoadButton->isEnabled());

    editor->OnSMSSent(); // "AT+CMGS=" answered "OK"
    ASSERT_EQ(gsm->ProfileWrites.size(), 2u);
    EXPECT_EQ(gsm->ProfileWrites[1].Parts, uint32_t(REQ_SET_PROFILE2));
    EXPECT_EQ(Wire(gsm->ProfileWrites[1].Profile, 1), Wire(expected, 1));
    EXPECT_EQ(editor->OperationState, TObjSettingsDialog::opWritingBySms);
    EXPECT_FALSE(PendingSecondPart);
    EXPECT_TRUE(Locked());

    editor->OnSMSSent();
    EXPECT_EQ(gsm->ProfileWrites.size(), 2u);
    EXPECT_TRUE(Idle());
    EXPECT_FALSE(Locked());
    EXPECT_TRUE(dialogs->Shown().size() == 1u);
}

TEST_F(ProfileEditorTest, SmsIsOfferedOnlyWhileTheGsmModemIsReadyAndFree) {
    OpenAndRead();
    DropModem();
    editor->SaveButtonClick(); // GSM modem closed: nothing is offered
    ModemState = msReady;
    SmsSendPending = true;
    editor->SaveButtonClick(); // another SMS waits
    editor->UpdateButtons();
    EXPECT_FALSE(editor->SaveButton->isEnabled());
    EXPECT_TRUE(dialogs->Shown().empty());
    EXPECT_TRUE(gsm->ProfileWrites.empty());

    SmsSendPending = false;
    dialogs->Expect(mtConfirmation, SmsQuestion, mrCancel);
    editor->SaveButtonClick();
    EXPECT_TRUE(gsm->ProfileWrites.empty());
    EXPECT_TRUE(Idle());
}

struct TSmsFailureCase {
    const char* name;
    std::vector<int> results;                               // of the GSM modem window's SetProfile
    std::vector<void (TObjSettingsDialog::*)()> afterwards; // what the GSM modem window reports
    const char* message;                                    // null: none
    bool late;                                              // shown 100 ms after the report
    size_t writes;
};

TEST_F(ProfileEditorTest, SmsFailuresAreReportedAndLeaveTheEditorIdle) {
    using D = TObjSettingsDialog;
    const TSmsFailureCase cases[] = {
        {"no phone number", {1}, {}, "Не задан номер телефона объекта!", false, 1},
        {"first SMS not formed", {2}, {}, "Ошибка формирования запроса!", false, 1},
        {"sending failed",
         {0},
         {&D::OnSMSFailed},
         "Невозможно записать профиль!\r\nОшибка отправки SMS-сообщения!",
         true,
         1},
        {"GSM modem disconnected",
         {0},
         {&D::OnModemDisconnected},
         "Невозможно записать профиль!\r\nОшибка отправки SMS-сообщения!",
         true,
         1},
        {"second SMS not formed", {0, 2}, {&D::OnSMSSent}, "Ошибка формирования запроса!", true, 2},
        // The second part of a failed write does not follow some later SMS.
        {"failure, then another SMS sent",
         {0},
         {&D::OnSMSFailed, &D::OnSMSSent},
         "Невозможно записать профиль!\r\nОшибка отправки SMS-сообщения!",
         true,
         1},
    };
    OpenAndRead();
    DropModem();
    GsmModemReady();
    for (const TSmsFailureCase& c : cases) {
        SCOPED_TRACE(c.name);
        gsm->ProfileWrites.clear();
        gsm->ProfileResults = c.results;
        dialogs->Expect(mtConfirmation, SmsQuestion, mrOk);
        if (c.message && !c.late)
            dialogs->Expect(mtError, QString::fromUtf8(c.message), mrOk);
        editor->SaveButtonClick();
        for (auto report : c.afterwards)
            (editor.get()->*report)();
        EXPECT_EQ(dialogs->Pending(), 0u);
        if (c.late) {
            dialogs->Expect(mtError, QString::fromUtf8(c.message), mrOk);
            Advance(100);
            EXPECT_EQ(dialogs->Pending(), 0u);
        }
        EXPECT_EQ(gsm->ProfileWrites.size(), c.writes);
        EXPECT_TRUE(Idle());
        EXPECT_FALSE(PendingSecondPart);
        EXPECT_TRUE(editor->PageControl1->isEnabled());
    }
}

// The new key goes at once; after the modem's acknowledgement the operator is asked whether to drop the
// connection, and the modem's next authentication is with its new key, which the key table lists.
TEST_F(ProfileEditorTest, KeyChangeIsSentAtOnceAndTheModemThenAuthenticatesWithTheNewKey) {
    AppSettings->SecurityMode = smManyPasswords;
    object->Password = MakePassword("NewKey5");
    main->PrepareKeys();
    OpenAndRead();
    QStringList texts;
    AnswerNewPassword(*newPassword, QStringLiteral("NewKey5"), true, &texts);
    editor->PasswordButtonClick();
    EXPECT_EQ(texts, (QStringList{"Изменение пароля", "Введите пароль для объекта № 5"}));
    EXPECT_EQ(editor->Caption(), QStringLiteral("Профиль объекта №5 - идет запись пароля"));
    EXPECT_EQ(editor->OperationState, TObjSettingsDialog::opWritingKey);
    EXPECT_TRUE(Locked());
    EXPECT_EQ(SessionOf(ObjectNumber)->PendingCommands, 0u); // not queued: already on its way

    dialogs->Expect(mtConfirmation, KeyQuestion, mrYes);
    ASSERT_TRUE(RunUntil([&] { return dialogs->Pending() == 0; }));
    EXPECT_EQ(Commands(CMD_SET_KEY), 1u);
    EXPECT_TRUE(Logged("SM: closing connection with changed key (object №5)"));
    ASSERT_TRUE(RunUntil([&] { return !pool->IsOpen(i) && !object->Connected; }));
    ASSERT_TRUE(PumpIdle());
    EXPECT_TRUE(Idle());

    pool->Open(i);
    ASSERT_TRUE(RunUntil([&] { return object->Connected != 0; }));
    EXPECT_EQ(std::memcmp(Modem().Key(), "NewKey5888888888", 16), 0);
    TServerConnection* c = SessionOf(ObjectNumber);
    ASSERT_NE(c, nullptr);
    EXPECT_TRUE(c->AuthFlag); // not the factory key
    EXPECT_FALSE(Auth_UsedFactoryKey(&c->Link->Auth));
    EXPECT_TRUE(editor->LoadButton->isEnabled()); // told of the new connection
    editor->LoadButtonClick();
    ASSERT_TRUE(RunUntil([&] { return Idle() && editor->LoadedParts == 3; }));
}

TEST_F(ProfileEditorTest, KeyChangeAnsweredNoKeepsTheConnection) {
    AppSettings->SecurityMode = smOnePassword;
    OpenAndRead();
    AnswerNewPassword(*newPassword, QStringLiteral("Other"));
    editor->PasswordButtonClick();
    dialogs->Expect(mtConfirmation, KeyQuestion, mrNo);
    ASSERT_TRUE(RunUntil([&] { return dialogs->Pending() == 0; }));
    EXPECT_TRUE(Idle());
    Advance(1000);
    EXPECT_TRUE(object->Connected);
    EXPECT_TRUE(pool->IsConnected(i));
}

TEST_F(ProfileEditorTest, KeyChangeRefusals) {
    OpenAndRead();
    AppSettings->SecurityMode = smSettingsOnly;
    dialogs->Expect(mtInformation,
                    QStringLiteral("В текущем режиме защиты изменение пароля контроллера не предусмотрено!"),
                    mrOk);
    editor->PasswordButtonClick();
    EXPECT_FALSE(newPassword->isVisible());

    AppSettings->SecurityMode = smSettingsAndObjects;
    AnswerNewPassword(*newPassword, QString(), false);
    editor->PasswordButtonClick();

    Modem().SetSilent(true, modemsim::MonotonicMs());
    form->QueryHwInfo(ObjectNumber);
    ASSERT_TRUE(RunUntil([&] { return LinkWaits(); }));
    AnswerNewPassword(*newPassword, QStringLiteral("NewKey"));
    dialogs->Expect(mtError, QStringLiteral("Невозможно записать пароль!\r\nИдет обмен данными!"), mrOk);
    editor->PasswordButtonClick();

    Modem().SetSilent(false, modemsim::MonotonicMs());
    DropModem();
    AnswerNewPassword(*newPassword, QStringLiteral("NewKey"));
    dialogs->Expect(mtError, QStringLiteral("Невозможно записать пароль!\r\nОбъект не подключен!"), mrOk);
    editor->PasswordButtonClick();

    EXPECT_EQ(dialogs->Pending(), 0u);
    EXPECT_EQ(Commands(CMD_SET_KEY), 0u);
    EXPECT_TRUE(Idle());
}

} // namespace
