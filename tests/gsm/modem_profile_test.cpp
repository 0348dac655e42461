// The profile editor writing a profile by SMS through the real GSM modem window and gsm-sim: both parts
// as two SMS, the second only after the first was sent, and the failures of the send.
#include <QPushButton>

#include <gtest/gtest.h>

#include "core/ObjectRegistry.h"
#include "dialogs/ObjSettingsDialog.h"
#include "tests/gsm/GsmCycle.h"
#include "tests/gsm/GsmFixture.h"
#include "tests/platform/TestSupport.h"

namespace {

using gsmsim::Bytes;

const QString SmsQuestion =
    QStringLiteral("Невозможно отправить команду через TCP/IP!\r\nОтправить с помощью SMS?");
const QString SmsFailed = QStringLiteral("Невозможно записать профиль!\r\nОшибка отправки SMS-сообщения!");
const char ObjectKey[] = "ObjectKey0000001";

ObjProfile StoredProfile() {
    ObjProfile p{};
    p.ServerIp = 0xC0A8010A;
    p.ServerPort = 10002;
    p.Session = 30;
    Prof_SetStr(PROF_STR_APN, &p, "internet.operator.ru");
    Prof_SetStr(PROF_STR_USER, &p, "gprs");
    Prof_SetStr(PROF_STR_PASSWORD, &p, "secret");
    Digits_ToBcd("79161234567", p.ConnectPhone);
    Digits_ToBcd("79168999100", p.SmsCentre);
    Digits_ToBcd("79160000001", p.SmsPhone);
    return p;
}

Bytes Part(const ObjProfile& p, int part) {
    Bytes b(part == 0 ? PROF1_SIZE : PROF2_SIZE);
    Prof_Encode(b.data(), part, &p);
    return b;
}

class GsmProfileTest : public GsmModemTest {
protected:
    ~GsmProfileTest() override { PendingSecondPart = false; }

    // The editor shows object 5 with both parts read (as a TCP read would leave them) while the GSM
    // modem connects; the object itself is not connected.
    void OpenEditor() {
        StartWithModem();
        object = AddObject(5, "Насосная");
        object->Phone = "+71230000000";
        object->Password = MakePassword(ObjectKey);
        AccessGranted = true;
        profile->Tag = 5;
        profile->show();
        ObjProfile p = StoredProfile();
        profile->DecodeProfile1(&p, true);
        profile->DecodeProfile2(&p, true);
        profile->UpdateButtons();
    }
    bool Idle() const { return profile->OperationState == TObjSettingsDialog::opIdle; }
    // The request block of a sent SMS, opened with the object's key.
    Bytes Opened(const gsmsim::SentSms& sms) const {
        uint16_t id = 0xFFFF;
        Bytes plain;
        EXPECT_TRUE(
            gsmsim::OpenRequestText(sms.text, reinterpret_cast<const uint8_t*>(ObjectKey), &id, &plain));
        EXPECT_EQ(id, 0);
        return plain;
    }

    TObjectStates* object = nullptr;
};

TEST_F(GsmProfileTest, BothPartsGoAsTwoSmsTheSecondAfterTheFirstWasSent) {
    OpenEditor();
    EXPECT_FALSE(profile->SaveButton->isEnabled());
    ASSERT_TRUE(RunCycle([] { return ModemState == msReady; }));
    EXPECT_TRUE(profile->LoadButton->isEnabled()); // the GSM modem is ready for an offline object
    EXPECT_TRUE(profile->SaveButton->isEnabled());

    dialogs->Expect(mtConfirmation, SmsQuestion, mrOk);
    profile->SaveButtonClick();
    EXPECT_TRUE(SmsSendPending); // formed within the call
    ASSERT_TRUE(RunCycle([&] { return sim.Sent().size() == 1; }));
    EXPECT_FALSE(Idle());
    ASSERT_TRUE(RunCycle([&] { return sim.Sent().size() == 2 && Idle() && !SmsSendPending; }));

    const std::vector<gsmsim::SentSms> sent = sim.Sent();
    const ObjProfile p = StoredProfile();
    for (int part = 0; part < 2; ++part) {
        SCOPED_TRACE(part);
        EXPECT_EQ(sent[part].destination, "+71230000000");
        EXPECT_EQ(sent[part].submit.destinationType, 0x91);
        EXPECT_EQ(sent[part].submit.validity, (Bytes{167}));
        const Bytes plain = Opened(sent[part]);
        const Bytes wire = Part(p, part);
        ASSERT_GT(plain.size(), wire.size());
        EXPECT_EQ(plain[0], part == 0 ? CMD_SET_PROFILE1 : CMD_SET_PROFILE2);
        EXPECT_EQ(Bytes(plain.begin() + 1, plain.begin() + 1 + long(wire.size())), wire);
    }
    // The second SMS went out in the cycle after the first one's "OK".
    std::vector<std::string> commands = sim.Commands();
    const auto first = std::find_if(commands.begin(), commands.end(),
                                    [](const std::string& c) { return c.rfind("AT+CMGS=", 0) == 0; });
    ASSERT_NE(first, commands.end());
    EXPECT_EQ(*std::next(first), "AT+CPMS?");
    EXPECT_EQ(std::next(first, 2)->rfind("AT+CMGS=", 0), 0u);
    EXPECT_TRUE(dialogs->Shown().size() == 1u);
}

TEST_F(GsmProfileTest, FailedFirstSmsIsReportedAndNoSecondFollows) {
    OpenEditor();
    ASSERT_TRUE(RunCycle([] { return ModemState == msReady; }));
    struct {
        const char* Name;
        bool Silent; // else ERROR
    } cases[] = {{"ERROR", false}, {"no answer", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        sim.Inject(c.Silent ? gsmsim::Fault::Silent : gsmsim::Fault::Error, "AT+CMGS=", 1);
        dialogs->Expect(mtConfirmation, SmsQuestion, mrOk);
        profile->SaveButtonClick();
        ASSERT_TRUE(RunUntilCommand("AT+CMGS="));
        dialogs->Expect(mtError, SmsFailed, mrOk);
        ASSERT_TRUE(RunCycle([&] { return dialogs->Pending() == 0; }));
        EXPECT_TRUE(Idle());
        EXPECT_FALSE(PendingSecondPart);
        ASSERT_TRUE(RunUntilCommand("AT+CPMS?", 2));
        EXPECT_EQ(CountCommands("AT+CMGS="), c.Silent ? 2 : 1);
        EXPECT_TRUE(sim.Sent().empty());
    }

    // The modem lost with the first part waiting.
    dialogs->Expect(mtConfirmation, SmsQuestion, mrOk);
    profile->SaveButtonClick();
    dialogs->Expect(mtError, SmsFailed, mrOk);
    dialogs->Expect(mtError, QStringLiteral("Связь с модемом прервана"), mrOk);
    ASSERT_TRUE(PullCable(sim, *gsm));
    ASSERT_TRUE(RunCycle([&] { return ModemState == msClosed && dialogs->Pending() == 0; }));
    EXPECT_TRUE(Idle());
    EXPECT_FALSE(PendingSecondPart);
    EXPECT_FALSE(profile->SaveButton->isEnabled());
}

} // namespace
