// The SMS on the SIM through the GSM modem window and gsm-sim: every decoded SMS checked once, in the
// order read, also while a box is open; what does not decode, or is not in the 7-bit alphabet, logged
// and deleted; a reply cut short read again; a late reply never taken for another cell's; and the same
// reading against the replies of real modems.
#include <cstdlib>
#include <functional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include <QRegularExpression>

#include <gtest/gtest.h>

#include "core/MainForm.h"
#include "core/ObjectRegistry.h"
#include "platform/Cp1251.h"
#include "serial/ComPort.h"
#include "tests/gsm/GsmFixture.h"
#include "tests/platform/TestSupport.h"

namespace {

using gsmsim::Bytes;

const uint8_t Version[4] = {1, 5, 0, 0};

// The box for an SMS of object 5 (ID 258) keyed with the modem ID 259.
const QString IdMismatchBox = QStringLiteral("ID контроллера с номером телефона +71230000000 (259)\r\n не "
                                             "совпадает с ID, указанным в адресной книге (258)");

// A radio modem's answer to GetHwInfo, keyed with the factory key, its inputs 1 and 2 on.
std::string HwInfoAnswer(uint16_t modemId) {
    return gsmsim::ModemAnswerText(modemId, FactoryKey, gsmsim::HwInfoAnswerItem(Version, 0x3));
}

// The operator who leaves the first box open while the cycle goes on: whileOpen runs before the
// scripted dialogs answer it.
class TBoxLeftOpen : public TDialogService {
public:
    explicit TBoxLeftOpen(std::function<void()> whileOpen)
        : whileOpen_(std::move(whileOpen)), previous_(SetDialogService(this)) {}
    ~TBoxLeftOpen() override { SetDialogService(previous_); }

    int Show(TMsgDlgType type, const QString& text, TMsgDlgButtons buttons) override {
        if (const std::function<void()> run = std::exchange(whileOpen_, {}))
            run();
        return previous_->Show(type, text, buttons);
    }

private:
    std::function<void()> whileOpen_;
    TDialogService* previous_;
};

using GsmSmsTest = GsmModemTest;

TEST_F(GsmSmsTest, EveryDecodedSmsIsCheckedOnceInTheOrderReadWhileABoxIsOpen) {
    ASSERT_EQ(sim.AddSms("+71230000000", HwInfoAnswer(259)), 1); // another modem's ID: a box
    ASSERT_EQ(sim.AddSms("+71230000000", HwInfoAnswer(258)), 2);
    ASSERT_EQ(sim.AddSms("+71230000000", "hello"), 3);
    StartWithModem();
    TObjectStates* o = AddModemObject();
    bool readOn = false;
    TBoxLeftOpen box([&] {
        readOn =
            RunCycle([&] { return sim.Cells().empty() && LogIndex("MD: SMS in cell 3 is deleted") >= 0; });
    });
    dialogs->Expect(mtError, IdMismatchBox, mrOk);
    ASSERT_TRUE(RunCycle([&] { return LogIndex("MD: incorrect TE SMS") >= 0; }));
    EXPECT_TRUE(readOn);
    EXPECT_EQ(dialogs->Pending(), 0u);

    const QStringList checks =
        LogLines().filter(QRegularExpression(QStringLiteral("^MD: (TE SMS|ID's|incorrect)")));
    EXPECT_EQ(checks, (QStringList{QStringLiteral("MD: TE SMS OK - 00600800"),
                                   QStringLiteral("MD: ID's matching error - 258 - 259"),
                                   QStringLiteral("MD: TE SMS OK - 00600800"),
                                   QStringLiteral("MD: incorrect TE SMS")}));
    // The second SMS was checked after the cycle had read and deleted the third.
    EXPECT_GT(LogLines().lastIndexOf(QStringLiteral("MD: TE SMS OK - 00600800")),
              LogIndex("MD: SMS in cell 3 is deleted"));
    EXPECT_EQ(o->HwVersion, (std::array<uint8_t, 4>{1, 5, 0, 0}));
    EXPECT_EQ(o->InputStates, (std::array<int32_t, 4>{1, 1, 0, 0}));
    clock->Advance(1000); // nothing is left to check
    EXPECT_EQ(LogLines().filter(QStringLiteral("MD: TE SMS OK")).size(), 2);
}

// An SMS whose cell is deleted is gone from the SIM: it is checked even when the modem goes away before
// its check, or goes away and comes back while the box of an earlier SMS is open.
TEST_F(GsmSmsTest, DeletedSmsIsCheckedAlsoWhenTheModemGoesAway) {
    const auto closed = [&] { return ModemState == 0 && !gsm->SioComPort1->Open(); };
    const auto checks = [&] { return LogLines().filter(QStringLiteral("MD: TE SMS OK - 00600800")).size(); };
    ASSERT_EQ(sim.AddSms("+71230000000", HwInfoAnswer(258)), 1);
    StartWithModem();
    AddModemObject();
    ASSERT_TRUE(RunCycle([&] { return LogIndex("MD: SMS in cell 1 is deleted") >= 0; }));
    ModemDisconnectRequested = true;
    gsm->Disconnect();
    ASSERT_TRUE(PumpUntil(closed));
    EXPECT_EQ(checks(), 0);
    clock->Advance(100);
    EXPECT_EQ(checks(), 1);

    ASSERT_EQ(sim.AddSms("+71230000000", HwInfoAnswer(259)), 1);
    ASSERT_EQ(sim.AddSms("+71230000000", HwInfoAnswer(258)), 2);
    bool backAgain = false;
    TBoxLeftOpen box([&] {
        if (!RunCycle([&] { return sim.Cells().empty() && LogIndex("MD: SMS in cell 2 is deleted") >= 0; }))
            return;
        ModemDisconnectRequested = true;
        gsm->Disconnect();
        backAgain = PumpUntil(closed) && gsm->Connect() && RunCycle([] { return ModemState == 2; });
        EXPECT_EQ(checks(), 2); // the first and the one whose box is open
    });
    dialogs->Expect(mtError, IdMismatchBox, mrOk);
    ASSERT_TRUE(gsm->Connect());
    ASSERT_TRUE(RunCycle([&] { return dialogs->Pending() == 0 && checks() == 3; }));
    EXPECT_TRUE(backAgain);
    EXPECT_EQ(LogLines().filter(QStringLiteral("MD: ID's matching error")).size(), 1);
    clock->Advance(1000);
    EXPECT_EQ(checks(), 3);
}

// A delivery report, an SMS-SUBMIT in storage and an SMS-DELIVER short of its user data are read whole
// but do not decode: each is logged with its reply's lines and deleted, and the SMS behind them is read.
TEST_F(GsmSmsTest, SmsThatDoesNotDecodeIsLoggedAndDeleted) {
    gsmsim::DeliverSpec deliver;
    deliver.sender = "+79990000000";
    deliver.text = "hello";
    Bytes shortDeliver = gsmsim::EncodeDeliver(deliver);
    shortDeliver.pop_back();
    ASSERT_EQ(sim.AddPdu(gsmsim::ToHex(gsmsim::EncodeStatusReport({})), gsmsim::CellStatus::Unread, 1), 1);
    ASSERT_EQ(sim.AddPdu("0011000B916407281553F80000AA0AE8329BFD4697D9EC37", gsmsim::CellStatus::Unsent, 2),
              2);
    ASSERT_EQ(sim.AddPdu(gsmsim::ToHex(shortDeliver), gsmsim::CellStatus::Unread, 4), 4);
    const std::vector<gsmsim::Cell> stored = sim.Cells();
    ASSERT_EQ(sim.AddSms(deliver, 5), 5);
    StartWithModem();
    ASSERT_TRUE(RunUntilCommand("AT+CPMS?", 2));
    EXPECT_TRUE(sim.Cells().empty());
    const std::string log = ReadFile(DataFile("EventLog.txt"));
    for (const gsmsim::Cell& c : stored) {
        SCOPED_TRACE(c.index);
        const std::string cell = "MD: SMS in cell " + std::to_string(c.index);
        const std::size_t logged =
            log.find(cell + " is not decoded\r\n+CMGR: " + std::to_string(int(c.status)) + ",," +
                     std::to_string(c.tpduLength) + "\r\n" + gsmsim::ToHex(c.pdu) + "\r\n");
        ASSERT_NE(logged, std::string::npos);
        EXPECT_GT(log.find(cell + " is deleted"), logged);
    }
    EXPECT_GE(LogIndex("MD: SMS from +79990000000"), 0);
    EXPECT_EQ(LogLines().filter(QStringLiteral("MD: SMS from")).size(), 1);
    EXPECT_EQ(CountCommands("AT+CMGR="), 5); // and none beyond the last SMS

    // A modem fallen back into text mode: the sender and the text stay in the log.
    sim.Inject(gsmsim::Fault::TextMode);
    ASSERT_EQ(sim.AddSms("+79990000000", "typed"), 1);
    ASSERT_TRUE(RunCycle([&] { return sim.Cells().empty(); }));
    EXPECT_NE(
        ReadFile(DataFile("EventLog.txt"))
            .find("MD: SMS in cell 1 is not decoded\r\n+CMGR: \"REC UNREAD\",\"+79990000000\",,\"24/03/15,"
                  "12:00:00+12\"\r\ntyped\r\n"),
        std::string::npos);
}

// A reply cut short leaves its SMS on the SIM for the next pass; cut short again, the SMS is logged
// with what came of its reply and deleted.
TEST_F(GsmSmsTest, SmsWhoseReplyWasCutShortIsReadAgainOnTheNextPass) {
    StartWithModem();
    ASSERT_TRUE(RunCycle([] { return ModemState == 2; }));
    for (int cuts : {1, 2}) {
        SCOPED_TRACE(cuts);
        ASSERT_EQ(sim.AddSms("+79990000000", "cut " + std::to_string(cuts)), 1);
        const std::string pdu = gsmsim::ToHex(sim.Cells()[0].pdu);
        sim.Inject(gsmsim::Fault::CutReply, "AT+CMGR=", cuts);
        const int reads = CountCommands("AT+CMGR=1");
        const int passes = CountCommands("AT+CPMS?");
        ASSERT_TRUE(RunCycle([&] { return sim.Cells().empty(); }));
        EXPECT_EQ(CountCommands("AT+CMGR=1") - reads, 2);
        EXPECT_EQ(CountCommands("AT+CPMS?") - passes, 2); // the second reading in the next pass
        const std::string log = ReadFile(DataFile("EventLog.txt"));
        const std::string cut = "MD: SMS in cell 1 is cut short\r\n+CMGR: 1,,24\r\n";
        const std::size_t at = log.find(cut);
        if (cuts == 1) {
            EXPECT_EQ(at, std::string::npos);
            EXPECT_NE(ReadFile(DataFile("EventLog.txt")).find("MD: SMS from +79990000000\r\ncut 1\r\n"),
                      std::string::npos);
        } else {
            ASSERT_NE(at, std::string::npos);
            const std::size_t from = at + cut.size();
            const std::string came = log.substr(from, log.find("\r\n", from) - from);
            EXPECT_FALSE(came.empty());
            EXPECT_EQ(pdu.rfind(came, 0), 0u) << came;
            EXPECT_EQ(LogLines().filter(QStringLiteral("MD: SMS from")).size(), 1);
        }
    }
}

// A slow modem's reply that comes after its time-out, whole or the rest of one cut short, and the late
// replies that may follow it, are never taken for another cell's: every SMS is logged once, and the
// cell deleted after its log line is its own.
TEST_F(GsmSmsTest, ReplyThatComesLateIsNeverTakenForAnotherCells) {
    struct {
        const char* Name;
        std::vector<std::pair<gsmsim::Fault, const char*>> Late;
    } cases[] = {
        {"read", {{gsmsim::Fault::LateReply, "AT+CMGR=1"}}},
        {"rest of a read cut short",
         {{gsmsim::Fault::LateRest, "AT+CMGR=1"}, {gsmsim::Fault::LateReply, "AT+CMGR=2"}}},
        {"delete", {{gsmsim::Fault::LateReply, "AT+CMGD=1"}, {gsmsim::Fault::LateReply, "AT+CMGR=2"}}},
    };
    StartWithModem();
    ASSERT_TRUE(RunCycle([] { return ModemState == 2; }));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const std::size_t from = ReadFile(DataFile("EventLog.txt")).size();
        const std::string texts[] = {c.Name + std::string(" 1"), c.Name + std::string(" 2"),
                                     c.Name + std::string(" 3")};
        for (const std::string& text : texts)
            ASSERT_NE(sim.AddSms("+79990000000", text), 0);
        for (const auto& [fault, command] : c.Late)
            sim.Inject(fault, command, 1);
        ASSERT_TRUE(RunCycle([&] { return sim.Cells().empty(); }));
        ASSERT_TRUE(RunUntilCommand("AT+CPMS?"));
        const std::string log = ReadFile(DataFile("EventLog.txt")).substr(from);
        for (int cell = 1; cell <= 3; ++cell) {
            const std::string sms = "MD: SMS from +79990000000\r\n" + texts[cell - 1] + "\r\n";
            const std::size_t at = log.find(sms);
            ASSERT_NE(at, std::string::npos) << cell;
            EXPECT_EQ(log.find(sms, at + 1), std::string::npos) << cell;
            const std::string deleted = "SMS in cell "; // deleted, or an error deleting it
            const std::size_t next = log.find(deleted, at);
            ASSERT_NE(next, std::string::npos) << cell;
            EXPECT_EQ(std::atoi(log.c_str() + next + deleted.size()), cell);
        }
    }
}

// A cell the modem refuses to read, every time, is logged once and deleted as any other: the SMS behind
// it are read, and the passes after it no more read it, nor every cell up to the storage's end.
class GsmUnreadCellTest : public GsmModemTest {
protected:
    GsmUnreadCellTest()
        : GsmModemTest([] {
              gsmsim::GsmConfig config;
              config.capacity = 9; // no cell number begins with another's
              return config;
          }()) {}
};

TEST_F(GsmUnreadCellTest, CellThatTheModemWillNotReadIsLoggedOnceAndDeleted) {
    ASSERT_EQ(sim.AddSms("+79990000000", "unread"), 1);
    ASSERT_EQ(sim.AddSms("+79990000000", "hello"), 2);
    sim.Inject(gsmsim::Fault::Error, "AT+CMGR=1");
    StartWithModem();
    ASSERT_TRUE(RunCycle([&] { return sim.Cells().empty(); }));
    ASSERT_TRUE(RunUntilCommand("AT+CPMS?"));
    EXPECT_EQ(LogLines().count(QStringLiteral("MD: error reading SMS in cell 1")), 1);
    EXPECT_LT(LogIndex("MD: error reading SMS in cell 1"), LogIndex("MD: SMS in cell 1 is deleted"));
    EXPECT_NE(ReadFile(DataFile("EventLog.txt")).find("MD: SMS from +79990000000\r\nhello\r\n"),
              std::string::npos);
    EXPECT_EQ(LogLines().filter(QStringLiteral("MD: SMS from")).size(), 1);
    const int reads = CountCommands("AT+CMGR=");
    ASSERT_TRUE(RunUntilCommand("AT+CPMS?", 2));
    EXPECT_EQ(CountCommands("AT+CMGR="), reads);

    // One the modem will not delete either stays, and its reading's failure is not logged again.
    ASSERT_EQ(sim.AddSms("+79990000000", "kept", 3), 3);
    sim.Inject(gsmsim::Fault::Error, "AT+CMGR=3");
    sim.Inject(gsmsim::Fault::Error, "AT+CMGD=3");
    ASSERT_TRUE(RunUntilCommand("AT+CMGD=3", 3));
    EXPECT_EQ(LogLines().count(QStringLiteral("MD: error reading SMS in cell 3")), 1);
    EXPECT_EQ(LogLines().count(QStringLiteral("MD: error deleting SMS in cell 3")), 3);
}

// An SMS not in the 7-bit alphabet is no modem's answer, and its text is not all of it: its reply's
// lines go to the log before its cell is deleted. It is checked as any other.
TEST_F(GsmSmsTest, SmsNotInThe7BitAlphabetIsLoggedWithItsPduLine) {
    gsmsim::DeliverSpec ucs2;
    ucs2.sender = "+79990000000";
    ucs2.dcs = 0x08;
    ucs2.text = "Баланс: 100 р. 中"; // the last not in Windows-1251
    gsmsim::DeliverSpec data;
    data.sender = "+71230000000";
    data.dcs = 0x04;
    data.text = "\x01\x02"
                "data";
    ASSERT_EQ(sim.AddSms(ucs2), 1);
    ASSERT_EQ(sim.AddSms(data), 2);
    ASSERT_EQ(sim.AddSms("+79990000000", "hello"), 3);
    const std::vector<gsmsim::Cell> stored = sim.Cells();
    StartWithModem();
    AddModemObject();
    ASSERT_TRUE(RunCycle([&] { return sim.Cells().empty() && LogIndex("MD: incorrect TE SMS") >= 0; }));
    const std::string log = ReadFile(DataFile("EventLog.txt"));
    for (int cell : {1, 2}) {
        const gsmsim::Cell& c = stored[std::size_t(cell - 1)];
        const std::string name = "MD: SMS in cell " + std::to_string(cell);
        const std::size_t logged =
            log.find(name + " is not in the 7-bit alphabet\r\n+CMGR: 0,," + std::to_string(c.tpduLength) +
                     "\r\n" + gsmsim::ToHex(c.pdu) + "\r\n");
        ASSERT_NE(logged, std::string::npos) << cell;
        EXPECT_GT(log.find(name + " is deleted"), logged) << cell;
    }
    EXPECT_EQ(LogLines().filter(QStringLiteral("is not in the 7-bit alphabet")).size(), 2);
    EXPECT_EQ(LogLines().filter(QStringLiteral("MD: SMS from")).size(), 3);
    EXPECT_TRUE(FromCp1251(log).contains(QStringLiteral("MD: SMS from +79990000000\r\nБаланс: 100 р. ?")));
    EXPECT_EQ(LogLines().filter(QStringLiteral("MD: incorrect TE SMS")).size(), 1); // the data of object 5
}

// Modems differ in their replies; the SMS are read, decoded, checked and deleted all the same.
struct TModemKind {
    const char* Name;
    gsmsim::GsmConfig Config;
    bool NewSmsInReply; // a "+CMTI:" line inside every "+CMGR:" reply
};

void PrintTo(const TModemKind& kind, std::ostream* out) {
    *out << kind.Name;
}

gsmsim::GsmConfig Kind(bool echo, bool lfOnly, bool blankLine, bool emptyReadIsError) {
    gsmsim::GsmConfig c;
    c.echo = echo;
    c.lfOnly = lfOnly;
    c.blankLineBeforePdu = blankLine;
    c.emptyReadIsError = emptyReadIsError;
    return c;
}

const TModemKind ModemKinds[] = {
    {"EchoOn", Kind(true, false, false, false), false},
    {"EchoOff", Kind(false, false, false, false), false},
    {"LfOnly", Kind(true, true, false, false), false},
    {"BlankLineBeforePdu", Kind(true, false, true, false), false},
    {"EmptyCellIsCmsError321", Kind(true, false, false, true), false},
    {"NewSmsAnnouncedInsideTheReply", Kind(true, false, false, false), true},
    {"AllOfThem", Kind(false, true, true, true), true},
};

class GsmRepliesTest : public GsmModemTest, public testing::WithParamInterface<TModemKind> {
protected:
    GsmRepliesTest() : GsmModemTest(GetParam().Config) {}
};

TEST_P(GsmRepliesTest, SmsBehindAGapAreReadCheckedAndDeleted) {
    ASSERT_EQ(sim.AddSms("+79990000000", "hello"), 1);
    ASSERT_EQ(sim.AddSms("+71230000000", HwInfoAnswer(258), 3), 3);
    if (GetParam().NewSmsInReply)
        sim.Inject(gsmsim::Fault::UnsolicitedInReply, "AT+CMGR=");
    StartWithModem();
    TObjectStates* o = AddModemObject();
    ASSERT_TRUE(RunCycle([&] { return sim.Cells().empty() && LogIndex("MD: TE SMS OK - 00600800") >= 0; }));
    EXPECT_EQ(ModemState, 2);
    EXPECT_NE(ReadFile(DataFile("EventLog.txt")).find("MD: SMS from +79990000000\r\nhello\r\n"),
              std::string::npos);
    EXPECT_EQ(CountCommands("AT+CMGR="), 3);
    EXPECT_EQ(CountCommands("AT+CMGD="), 2);
    EXPECT_EQ(LogLines().filter(QStringLiteral("is not decoded")).size(), 0);
    EXPECT_EQ(o->HwVersion, (std::array<uint8_t, 4>{1, 5, 0, 0}));
    EXPECT_TRUE(dialogs->Shown().empty());
}

INSTANTIATE_TEST_SUITE_P(RealModems, GsmRepliesTest, testing::ValuesIn(ModemKinds),
                         [](const testing::TestParamInfo<TModemKind>& info) { return info.param.Name; });

} // namespace
