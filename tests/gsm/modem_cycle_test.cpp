// The GSM modem window against gsm-sim on COM5: the start-up connection and the AT cycle, stored SMS
// read and deleted in order and checked, request SMS out as the simulator decodes them.
#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/MainForm.h"
#include "core/ObjectRegistry.h"
#include "core/Settings.h"
#include "platform/Cp1251.h"
#include "tests/gsm/GsmFixture.h"
#include "tests/platform/TestSupport.h"

namespace {

using gsmsim::Bytes;
using Strings = std::vector<std::string>;

const QString SmsQuestion =
    QStringLiteral("Невозможно отправить запрос через TCP/IP!\r\nОтправить с помощью SMS?");

class GsmCycleTest : public GsmModemTest {
protected:
    Strings FirstCommands(std::size_t n) const {
        Strings all = sim.Commands();
        all.resize(std::min(n, all.size()));
        return all;
    }
};

TEST_F(GsmCycleTest, StartUpConnectsAndReadsAndDeletesTheStoredSmsInOrder) {
    sim.SetPinState(gsmsim::PinState::SimPin);
    const uint8_t version[4] = {1, 5, 0, 0};
    ASSERT_EQ(sim.AddSms("+71230000000",
                         gsmsim::ModemAnswerText(0x0102, FactoryKey, gsmsim::HwInfoAnswerItem(version, 0x3))),
              1);
    ASSERT_EQ(sim.AddSms("+79990000000", "hello"), 2);
    StartWithModem();
    TObjectStates* o = AddModemObject();
    EXPECT_EQ(ModemState, msConnecting);
    EXPECT_EQ(Indicator(spModem), "7");

    ASSERT_TRUE(RunCycle([&] { return CountCommands("AT+CPMS?") == 2; }));
    EXPECT_EQ(FirstCommands(12),
              (Strings{"AT", "AT+CPIN?", "AT+CPIN=\"1234\"", "AT+CMGF=0", "AT+CPMS?", "AT+CMGR=1",
                       "AT+CMGD=1", "AT+CMGR=2", "AT+CMGD=2", "AT", "AT+CPIN?", "AT+CPMS?"}));
    EXPECT_TRUE(sim.Cells().empty());
    EXPECT_EQ(ModemState, msReady);
    EXPECT_EQ(Indicator(spModem), "8");

    // The modem's answer is decoded, checked with the factory key and reaches its object.
    const int from = LogIndex("MD: SMS from +71230000000");
    const int checked = LogIndex("MD: TE SMS OK - 00600800");
    const int deleted = LogIndex("MD: SMS in cell 1 is deleted");
    ASSERT_GE(from, 0);
    EXPECT_LT(from, deleted);
    EXPECT_LT(deleted, checked);
    EXPECT_LT(LogIndex("Modem is connected - "), from);
    EXPECT_EQ(o->InputStates, (std::array<int32_t, 4>{1, 1, 0, 0}));
    EXPECT_EQ(o->HwVersion, (std::array<uint8_t, 4>{1, 5, 0, 0}));
    EXPECT_NE(o->LastDataTime, 0.0);
    // A stranger's SMS is logged with its text, not checked.
    const int stranger = LogIndex("MD: SMS from +79990000000");
    ASSERT_GE(stranger, 0);
    EXPECT_NE(LogText().find("MD: SMS from +79990000000\r\nhello\r\n"), std::string::npos);
    EXPECT_GT(LogIndex("MD: SMS in cell 2 is deleted"), stranger);
    EXPECT_EQ(LogLines().filter(QStringLiteral("MD: TE SMS")).size(), 1);
    EXPECT_TRUE(dialogs->Shown().empty());
}

TEST_F(GsmCycleTest, ReceiveIndicatorLightsForEveryDecodedSmsAndGoesOffAgain) {
    ASSERT_EQ(sim.AddSms("+79990000000", "hello"), 1);
    StartWithModem();
    ASSERT_TRUE(RunCycle([&] { return form->SMSReceiveTimer.Enabled(); }));
    EXPECT_EQ(Indicator(spReceive), "5");
    clock->Advance(500);
    EXPECT_EQ(Indicator(spReceive), "4");
}

// Results of the check against the object of the sender, as the log and the operator see them.
TEST_F(GsmCycleTest, IncomingSmsIsCheckedAgainstTheObjectOfItsSender) {
    const uint8_t version[4] = {1, 5, 0, 0};
    const Bytes hwInfo = gsmsim::HwInfoAnswerItem(version, 0x1);
    const uint8_t otherKey[16] = {'o', 't', 'h', 'e', 'r', 'k', 'e', 'y',
                                  '0', '0', '0', '0', '0', '0', '0', '1'};
    std::string damaged = gsmsim::ModemAnswerText(0x0102, FactoryKey, hwInfo);
    damaged[8] = damaged[8] == 'A' ? 'B' : 'A';
    struct {
        const char* Name;
        std::string Text;
        const char* Logged;
        const char* Error; // the dialog, or none
    } cases[] = {
        {"not of the system's format", "hello", "MD: incorrect TE SMS", nullptr},
        {"damaged", damaged, "MD: TE SMS crc error", nullptr},
        {"keyed with an unknown key", gsmsim::ModemAnswerText(0x0102, otherKey, hwInfo),
         "MD: TE SMS key error", nullptr},
        {"of another modem", gsmsim::ModemAnswerText(0x0103, FactoryKey, hwInfo),
         "MD: ID's matching error - 258 - 259",
         "ID контроллера с номером телефона +71230000000 (259)\r\n не совпадает с ID, указанным в адресной "
         "книге "
         "(258)"},
        {"without an answer", gsmsim::ModemAnswerText(0x0102, FactoryKey, {}), "MD: SMS error - no cmd",
         "Не удалось декодировать данные SMS-сообщения\r\nВозможно, неправильно указан тип контроллера для "
         "объекта 5"},
    };
    StartWithModem();
    TObjectStates* o = AddModemObject();
    ASSERT_TRUE(RunCycle([] { return ModemState == msReady; }));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        if (c.Error)
            dialogs->Expect(mtError, QString::fromUtf8(c.Error), mrOk);
        ASSERT_EQ(sim.AddSms("+71230000000", c.Text), 1);
        ASSERT_TRUE(RunCycle([&] { return LogLines().contains(QString::fromUtf8(c.Logged)); }));
        EXPECT_EQ(dialogs->Pending(), 0u);
        EXPECT_EQ(o->LastDataTime, 0.0);
    }
}

TEST_F(GsmCycleTest, StateRequestGoesOutBySmsAsTheRightPdu) {
    StartWithModem();
    TObjectStates* o = AddModemObject();
    o->Password = MakePassword("ObjectKey0000001");
    ASSERT_TRUE(RunCycle([] { return ModemState == msReady; }));

    dialogs->Expect(mtConfirmation, SmsQuestion, mrOk);
    form->RequestCoordsButtonClick();
    EXPECT_TRUE(SmsSendPending);
    EXPECT_TRUE(LogLines().contains(QStringLiteral("MD: sending GetHwInfo (object №5)")));
    ASSERT_TRUE(RunCycle([&] { return SmsSending; })); // written, the modem's answer still to come
    EXPECT_EQ(Indicator(spSend), "3");
    ASSERT_TRUE(RunCycle([&] { return !SmsSendPending && !SmsSending; }));
    ASSERT_EQ(sim.Sent().size(), 1u);
    EXPECT_EQ(Indicator(spSend), "2");

    const gsmsim::SentSms sent = sim.Sent()[0];
    EXPECT_FALSE(sent.textMode);
    EXPECT_EQ(sent.destination, "+71230000000");
    EXPECT_EQ(sent.submit.destinationType, 0x91);
    EXPECT_EQ(sent.submit.serviceCentre, "");
    EXPECT_EQ(sent.submit.validityFormat, 2);
    EXPECT_EQ(sent.submit.validity, (Bytes{167}));
    EXPECT_EQ(sent.submit.dcs, 0);
    // The text's final line feed stays behind: marker, ID and 34 digits.
    EXPECT_EQ(sent.submit.udl, 39);
    EXPECT_EQ(sent.text.find_first_of("\r\n"), std::string::npos);
    uint16_t id = 0xFFFF;
    Bytes plain;
    ASSERT_TRUE(
        gsmsim::OpenRequestText(sent.text, reinterpret_cast<const uint8_t*>(o->Password.data()), &id, &plain))
        << sent.text;
    EXPECT_EQ(id, 0);
    ASSERT_FALSE(plain.empty());
    EXPECT_EQ(plain[0], CMD_GET_HW_INFO);
    // The SMS went out after a storage query, and the cycle asks for the storage again after it.
    const Strings commands = sim.Commands();
    const auto send = std::find_if(commands.begin(), commands.end(),
                                   [](const std::string& c) { return c.rfind("AT+CMGS=", 0) == 0; });
    ASSERT_NE(send, commands.end());
    EXPECT_EQ(*std::prev(send), "AT+CPMS?");
}

// An object without a phone gets no SMS and no log line; a request of nothing is done at once.
TEST_F(GsmCycleTest, RequestWithoutPhoneOrWithoutRequestsSendsNothing) {
    StartWithModem();
    TObjectStates* o = AddModemObject();
    ASSERT_TRUE(RunCycle([] { return ModemState == msReady; }));
    const uint8_t reference = SmsMessageRef;
    o->Phone.clear();
    ObjProfile profile{};
    EXPECT_EQ(gsm->QueryHwInfo(o), 1);
    EXPECT_EQ(gsm->SetProfile(o, &profile, 1), 1);
    EXPECT_EQ(LogLines().filter(QStringLiteral("MD: sending")).size(), 0);
    o->Phone = "+71230000000";
    SmsObj sms{};
    TMGSM_InitSms(&sms, &AuthKeyTable);
    EXPECT_EQ(gsm->SendTervelSMS(&sms, o, 0), 0);
    EXPECT_EQ(gsm->QueryProfile(o, 0), 0);
    EXPECT_FALSE(SmsSendPending);
    EXPECT_EQ(SmsMessageRef, reference);
    ASSERT_TRUE(RunUntilCommand("AT+CPMS?"));
    EXPECT_EQ(CountCommands("AT+CMGS="), 0);
}

// An SMS asked for while a cell is being read goes out right after that cell's delete; the reading
// starts over from the storage query.
TEST_F(GsmCycleTest, WaitingSmsGoesOutRightAfterTheCurrentDelete) {
    ASSERT_EQ(sim.AddSms("+79990000000", "first"), 1);
    ASSERT_EQ(sim.AddSms("+79990000000", "second"), 2);
    StartWithModem();
    TObjectStates* o = AddModemObject();
    ASSERT_TRUE(RunCycle([&] { return gsm->CommandIndex == cmdRead && gsm->SmsCell == 1; }));
    ASSERT_EQ(gsm->QueryHwInfo(o), 0);
    ASSERT_TRUE(RunCycle([&] { return sim.Sent().size() == 1 && sim.Cells().empty(); }));
    Strings commands = sim.Commands();
    const auto read = std::find(commands.begin(), commands.end(), "AT+CMGR=1");
    ASSERT_GE(commands.end() - read, 7);
    EXPECT_EQ(read[1], "AT+CMGD=1");
    EXPECT_EQ(read[2].rfind("AT+CMGS=", 0), 0u) << read[2];
    EXPECT_EQ(Strings(read + 3, read + 7), (Strings{"AT+CPMS?", "AT+CMGR=1", "AT+CMGR=2", "AT+CMGD=2"}));
}

// The cells are read up to the storage's size, not up to the count of SMS in it: a SIM with 4 SMS
// may hold one in cell 5.
TEST_F(GsmCycleTest, SmsBehindAGapIsRead) {
    for (int cell : {1, 2, 3, 5})
        ASSERT_EQ(sim.AddSms("+79990000000", "cell " + std::to_string(cell), cell), cell);
    StartWithModem();
    ASSERT_TRUE(RunUntilCommand("AT+CPMS?", 2));
    EXPECT_TRUE(sim.Cells().empty());
    EXPECT_EQ(CountCommands("AT+CMGR="), 5);
    EXPECT_EQ(CountCommands("AT+CMGD="), 4);
    EXPECT_GE(LogIndex("MD: SMS in cell 5 is deleted"), 0);
}

} // namespace
