// The GSM modem simulator's AT interpreter on byte strings: the router's cycle, PIN, storage, reading,
// deleting, sending, text mode and the faults; calls dialled, rung, answered, held and hung up.
#include "tools/gsm-sim/GsmModem.h"

#include <gtest/gtest.h>

using namespace gsmsim;

namespace {

const char kSubmit[] = "0011000B916407281553F80000AA0AE8329BFD4697D9EC37"; // 23 octets, "hellohello"

class GsmModemTest : public ::testing::Test {
protected:
    void Create() { modem = std::make_unique<GsmModem>(cfg); }

    // Feeds the bytes and returns everything the modem answered.
    std::string Say(const std::string& bytes) {
        if (!modem)
            Create();
        modem->Feed(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
        std::string out = modem->Output();
        modem->ConsumeOutput(out.size());
        return out;
    }
    // A command line with echo; returns the reply after the echo.
    std::string Cmd(const std::string& line) {
        const std::string out = Say(line + "\r");
        const std::string echo = line + "\r";
        if (modem->Echo() && out.compare(0, echo.size(), echo) == 0)
            return out.substr(echo.size());
        return out;
    }

    int AddSms(const std::string& sender, const std::string& text, int cell = 0) {
        if (!modem)
            Create();
        DeliverSpec spec;
        spec.sender = sender;
        spec.text = text;
        return modem->AddSms(spec, cell);
    }
    std::string PduOf(const std::string& sender, const std::string& text) {
        DeliverSpec spec;
        spec.sender = sender;
        spec.text = text;
        return ToHex(EncodeDeliver(spec));
    }

    GsmConfig cfg;
    std::unique_ptr<GsmModem> modem;
};

// The router's cycle against a SIM that asks for its PIN and holds two SMS.
TEST_F(GsmModemTest, RoutersCycle) {
    cfg.pinState = PinState::SimPin;
    Create();
    ASSERT_EQ(AddSms("+71230000000", "first"), 1);
    ASSERT_EQ(AddSms("+71230000001", "second"), 2);

    const struct {
        std::string line, reply;
    } steps[] = {
        {"AT", "\r\nOK\r\n"},
        {"AT+CPIN?", "\r\n+CPIN: SIM PIN\r\n\r\nOK\r\n"},
        {"AT+CPIN=\"1234\"", "\r\nOK\r\n"},
        {"AT+CMGF=0", "\r\nOK\r\n"},
        {"AT+CPMS?", "\r\n+CPMS: \"SM\",2,30,\"SM\",2,30,\"SM\",2,30\r\n\r\nOK\r\n"},
        {"AT+CMGR=1", "\r\n+CMGR: 0,,24\r\n" + PduOf("+71230000000", "first") + "\r\n\r\nOK\r\n"},
        {"AT+CMGD=1", "\r\nOK\r\n"},
        {"AT+CMGR=2", "\r\n+CMGR: 0,,25\r\n" + PduOf("+71230000001", "second") + "\r\n\r\nOK\r\n"},
        {"AT+CMGD=2", "\r\nOK\r\n"},
        {"AT", "\r\nOK\r\n"},
        {"AT+CPIN?", "\r\n+CPIN: READY\r\n\r\nOK\r\n"},
        {"AT+CPMS?", "\r\n+CPMS: \"SM\",0,30,\"SM\",0,30,\"SM\",0,30\r\n\r\nOK\r\n"},
    };
    for (const auto& s : steps)
        EXPECT_EQ(Say(s.line + "\r"), s.line + "\r" + s.reply) << s.line;

    // The router writes the send command, the PDU and Ctrl-Z at once, without waiting for "> ".
    EXPECT_EQ(Say(std::string("AT+CMGS=23\r") + kSubmit + "\x1A"),
              std::string("AT+CMGS=23\r\r\n> ") + kSubmit + "\r\n+CMGS: 0\r\n\r\nOK\r\n");
    ASSERT_EQ(modem->Sent().size(), 1u);
    EXPECT_EQ(modem->Sent()[0].destination, "+46708251358");
    EXPECT_EQ(modem->Sent()[0].text, "hellohello");
    EXPECT_EQ(modem->Sent()[0].pdu, kSubmit);
    EXPECT_FALSE(modem->Sent()[0].textMode);
    EXPECT_EQ(modem->Commands().front(), "AT");
    EXPECT_EQ(modem->Commands().back(), "AT+CMGS=23");
    EXPECT_EQ(modem->Commands().size(), 13u);
}

TEST_F(GsmModemTest, PinStates) {
    const struct {
        PinState state;
        std::string read;
        std::string smsCommand;
    } cases[] = {
        {PinState::Ready, "\r\n+CPIN: READY\r\n\r\nOK\r\n",
         "\r\n+CPMS: \"SM\",0,30,\"SM\",0,30,\"SM\",0,30\r\n\r\nOK\r\n"},
        {PinState::SimPin, "\r\n+CPIN: SIM PIN\r\n\r\nOK\r\n", "\r\n+CMS ERROR: 311\r\n"},
        {PinState::SimPuk, "\r\n+CPIN: SIM PUK\r\n\r\nOK\r\n", "\r\n+CMS ERROR: 316\r\n"},
        {PinState::NoSim, "\r\nERROR\r\n", "\r\n+CMS ERROR: 310\r\n"},
    };
    for (const auto& c : cases) {
        cfg.pinState = c.state;
        Create();
        EXPECT_EQ(Cmd("AT+CPIN?"), c.read) << PinState_Name(c.state);
        EXPECT_EQ(Cmd("AT+CPMS?"), c.smsCommand) << PinState_Name(c.state);
        EXPECT_EQ(Cmd("AT+CMGF=0"), "\r\nOK\r\n") << PinState_Name(c.state); // no SIM needed
    }
}

TEST_F(GsmModemTest, WrongPinsBlockTheSimAndThePukUnblocksIt) {
    cfg.pinState = PinState::SimPin;
    Create();
    EXPECT_EQ(Cmd("AT+CPIN=\"0000\""), "\r\nERROR\r\n");
    EXPECT_EQ(Cmd("AT+CPIN=\"1111\""), "\r\nERROR\r\n");
    EXPECT_EQ(Cmd("AT+CPIN?"), "\r\n+CPIN: SIM PIN\r\n\r\nOK\r\n");
    EXPECT_EQ(Cmd("AT+CPIN=\"2222\""), "\r\nERROR\r\n");
    EXPECT_EQ(Cmd("AT+CPIN?"), "\r\n+CPIN: SIM PUK\r\n\r\nOK\r\n");
    EXPECT_EQ(Cmd("AT+CPIN=\"1234\""), "\r\nERROR\r\n"); // the right PIN no longer helps
    modem->PowerCycle();
    EXPECT_EQ(modem->GetPinState(), PinState::SimPuk); // the SIM stays blocked
    EXPECT_EQ(Cmd("AT+CPIN=\"87654321\",\"4321\""), "\r\nERROR\r\n");
    EXPECT_EQ(Cmd("AT+CPIN=\"12345678\",\"4321\""), "\r\nOK\r\n");
    EXPECT_EQ(Cmd("AT+CPIN?"), "\r\n+CPIN: READY\r\n\r\nOK\r\n");
    EXPECT_EQ(Cmd("AT+CPIN=\"4321\""), "\r\nERROR\r\n"); // nothing to unlock
    modem->PowerCycle();
    EXPECT_EQ(Cmd("AT+CPIN?"), "\r\n+CPIN: SIM PIN\r\n\r\nOK\r\n");
    EXPECT_EQ(Cmd("AT+CPIN=\"4321\""), "\r\nOK\r\n");
}

TEST_F(GsmModemTest, StorageSelection) {
    AddSms("1", "x");
    EXPECT_EQ(Cmd("AT+CPMS=\"SM\""), "\r\n+CPMS: 1,30,1,30,1,30\r\n\r\nOK\r\n");
    EXPECT_EQ(Cmd("AT+CPMS=\"SM\",\"SM\",\"SM\""), "\r\n+CPMS: 1,30,1,30,1,30\r\n\r\nOK\r\n");
    EXPECT_EQ(Cmd("AT+CPMS=\"ME\""), "\r\n+CMS ERROR: 302\r\n");
    EXPECT_EQ(Cmd("AT+CPMS=?"), "\r\n+CPMS: (\"SM\"),(\"SM\"),(\"SM\")\r\n\r\nOK\r\n");
    EXPECT_EQ(Cmd("AT+CPMS"), "\r\nERROR\r\n");
}

TEST_F(GsmModemTest, ReadingCells) {
    ASSERT_EQ(AddSms("+71230000000", "two", 2), 2);
    EXPECT_EQ(AddSms("+7", "taken", 2), 0);
    EXPECT_EQ(AddSms("+7", "out of range", 31), 0);
    EXPECT_EQ(Cmd("AT+CMGR=1"), "\r\nOK\r\n"); // empty
    EXPECT_EQ(Cmd("AT+CMGR=0"), "\r\n+CMS ERROR: 321\r\n");
    EXPECT_EQ(Cmd("AT+CMGR=31"), "\r\n+CMS ERROR: 321\r\n");
    EXPECT_EQ(Cmd("AT+CMGR=x"), "\r\nERROR\r\n");
    EXPECT_EQ(Cmd("AT+CMGR=2").substr(0, 17), "\r\n+CMGR: 0,,22\r\n0");
    EXPECT_EQ(Cmd("AT+CMGR=2").substr(0, 17), "\r\n+CMGR: 1,,22\r\n0"); // read now

    cfg.emptyReadIsError = true;
    Create();
    EXPECT_EQ(Cmd("AT+CMGR=1"), "\r\n+CMS ERROR: 321\r\n");

    // Cells fill from the first free one; a full storage takes no more.
    cfg.capacity = 2;
    Create();
    EXPECT_EQ(AddSms("1", "a", 2), 2);
    EXPECT_EQ(AddSms("1", "b"), 1);
    EXPECT_EQ(AddSms("1", "c"), 0);
    EXPECT_EQ(modem->UsedCells(), 2);
}

TEST_F(GsmModemTest, ListingAndDeleting) {
    Create();
    AddSms("1", "a");
    AddSms("2", "b");
    ASSERT_EQ(modem->AddPdu("0001000101", CellStatus::Unsent), 3);
    ASSERT_EQ(modem->AddPdu("0001000102", CellStatus::Sent), 4);
    Cmd("AT+CMGR=1");
    auto listed = [&](const std::string& cmd) {
        const std::string out = Cmd(cmd);
        std::string indexes;
        for (size_t at = out.find("+CMGL: "); at != std::string::npos; at = out.find("+CMGL: ", at + 1))
            indexes += out[at + 7];
        return indexes;
    };
    EXPECT_EQ(listed("AT+CMGL=4"), "1234");
    EXPECT_EQ(listed("AT+CMGL=1"), "12"); // the listing above marked cell 2 read
    EXPECT_EQ(listed("AT+CMGL"), "");
    EXPECT_EQ(listed("AT+CMGL=2"), "3");
    EXPECT_EQ(Cmd("AT+CMGL=5"), "\r\n+CMS ERROR: 304\r\n");
    EXPECT_EQ(Cmd("AT+CMGL=3").find("+CMGL: 4,3,,4\r\n0001000102\r\n"), 2u);

    EXPECT_EQ(Cmd("AT+CMGD=9"), "\r\nOK\r\n"); // an empty cell
    EXPECT_EQ(Cmd("AT+CMGD=31"), "\r\n+CMS ERROR: 321\r\n");
    EXPECT_EQ(Cmd("AT+CMGD=1,5"), "\r\nERROR\r\n");
    EXPECT_EQ(Cmd("AT+CMGD=0,1"), "\r\nOK\r\n"); // read ones
    EXPECT_EQ(listed("AT+CMGL=4"), "34");
    AddSms("5", "unread");
    EXPECT_EQ(Cmd("AT+CMGD=1,2"), "\r\nOK\r\n"); // read and sent
    EXPECT_EQ(listed("AT+CMGL=4"), "13");        // cell 1 was free again
    EXPECT_EQ(Cmd("AT+CMGD=1,3"), "\r\nOK\r\n"); // ... and unsent
    EXPECT_EQ(modem->UsedCells(), 0);            // the listing read cell 1
    AddSms("5", "unread");
    EXPECT_EQ(Cmd("AT+CMGD=1,4"), "\r\nOK\r\n");
    EXPECT_EQ(modem->UsedCells(), 0);
}

TEST_F(GsmModemTest, SendingInPduMode) {
    // The prompt, then the PDU in pieces, then Ctrl-Z.
    EXPECT_EQ(Say("AT+CMGS=23\r"), "AT+CMGS=23\r\r\n> ");
    EXPECT_EQ(Say(std::string(kSubmit).substr(0, 10)), std::string(kSubmit).substr(0, 10));
    EXPECT_EQ(Say(std::string(kSubmit).substr(10) + "\x1A"),
              std::string(kSubmit).substr(10) + "\r\n+CMGS: 0\r\n\r\nOK\r\n");
    ASSERT_EQ(modem->Sent().size(), 1u);

    // Lower-case digits are taken; ESC cancels; a PDU of the wrong length or kind is refused.
    std::string lower = kSubmit;
    for (char& c : lower)
        c = char(tolower(c));
    EXPECT_NE(Say("AT+CMGS=23\r" + lower + "\x1A").find("+CMGS: 0"), std::string::npos);
    EXPECT_EQ(Say(std::string("AT+CMGS=23\r") + kSubmit + "\x1B"),
              std::string("AT+CMGS=23\r\r\n> ") + kSubmit + "\r\nOK\r\n");
    EXPECT_EQ(Say(std::string("AT+CMGS=22\r") + kSubmit + "\x1A").substr(15 + 48), "\r\n+CMS ERROR: 304\r\n");
    EXPECT_NE(Say("AT+CMGS=5\r000100\x1A").find("+CMS ERROR: 304"), std::string::npos);
    EXPECT_NE(Say("AT+CMGS=23\rXYZ\x1A").find("+CMS ERROR: 304"), std::string::npos);
    EXPECT_EQ(Cmd("AT+CMGS=0"), "\r\n+CMS ERROR: 304\r\n");
    EXPECT_EQ(Cmd("AT+CMGS=165"), "\r\n+CMS ERROR: 304\r\n");
    EXPECT_EQ(modem->Sent().size(), 2u);
    EXPECT_EQ(modem->TakeSent().size(), 2u);
    EXPECT_TRUE(modem->Sent().empty());
    EXPECT_EQ(Cmd("AT"), "\r\nOK\r\n"); // back in command state
}

TEST_F(GsmModemTest, TextMode) {
    AddSms("+71230000000", "Привет [1]");
    EXPECT_EQ(Cmd("AT+CMGF=1"), "\r\nOK\r\n");
    EXPECT_EQ(Cmd("AT+CMGF?"), "\r\n+CMGF: 1\r\n\r\nOK\r\n");
    EXPECT_EQ(
        Cmd("AT+CMGR=1"),
        "\r\n+CMGR: \"REC UNREAD\",\"+71230000000\",,\"24/03/15,12:00:00+12\"\r\n?????? [1]\r\n\r\nOK\r\n");
    EXPECT_EQ(Cmd("AT+CMGL=\"ALL\"").substr(0, 27), "\r\n+CMGL: 1,\"REC READ\",\"+712");
    EXPECT_EQ(Cmd("AT+CMGL=4"), "\r\n+CMS ERROR: 305\r\n");

    EXPECT_EQ(Say("AT+CMGS=\"+71230000000\"\rline 1\rline 2\x1A"),
              "AT+CMGS=\"+71230000000\"\r\r\n> line 1\r\n> line 2\r\n+CMGS: 1\r\n\r\nOK\r\n");
    // The router's PDU command in text mode: the length becomes the number and the PDU the text.
    Say(std::string("AT+CMGS=23\r") + kSubmit + "\x1A");
    ASSERT_EQ(modem->Sent().size(), 2u);
    EXPECT_TRUE(modem->Sent()[0].textMode);
    EXPECT_EQ(modem->Sent()[0].destination, "+71230000000");
    EXPECT_EQ(modem->Sent()[0].text, "line 1\rline 2");
    EXPECT_EQ(modem->Sent()[1].destination, "23");
    EXPECT_EQ(modem->Sent()[1].text, kSubmit);
    EXPECT_EQ(modem->Sent()[1].messageRef, 2);
}

TEST_F(GsmModemTest, CommandLines) {
    const struct {
        std::string in, out;
    } cases[] = {
        {"noise AT\r", "AT\r\r\nOK\r\n"},                                 // noise before "AT" is dropped
        {"at+cpin?\r", "at+cpin?\r\r\n+CPIN: READY\r\n\r\nOK\r\n"},       // case does not matter
        {"AT+CPIX\b\bIN?\r", "AT+CPIN?\r\r\n+CPIN: READY\r\n\r\nOK\r\n"}, // backspace edits
        {"AT+CP\x1B"
         "AT\r",
         "AT\r\r\nOK\r\n"},                               // ESC drops the line
        {"AT + CMGF = 0\r", "AT + CMGF = 0\r\r\nOK\r\n"}, // blanks are ignored
        {"AT+CMGF=0;+CMGF?\r", "AT+CMGF=0;+CMGF?\r\r\n+CMGF: 0\r\n\r\nOK\r\n"},
        {"AT+CMGF?;+CFUN=1\r", "AT+CMGF?;+CFUN=1\r\r\n+CMGF: 0\r\n\r\nERROR\r\n"},
        {"ATX\r", "ATX\r\r\nERROR\r\n"},
        {"AT+CMGF=2\r", "AT+CMGF=2\r\r\nERROR\r\n"},
        {"\x1A\x1B\n\r", ""},
        {"AAT\r", "AT\r\r\nOK\r\n"},
        {"AT" + std::string(1100, 'E') + "\r", "AT" + std::string(1023, 'E') + "\r\r\nERROR\r\n"},
    };
    for (const auto& c : cases) {
        Create();
        EXPECT_EQ(Say(c.in), c.out) << c.in;
    }
    Create();
    EXPECT_EQ(Say("ATE0\r"), "ATE0\r\r\nOK\r\n"); // the line that turns echo off is still echoed
    EXPECT_EQ(Say("AT\r"), "\r\nOK\r\n");
    EXPECT_EQ(Say("ATE1E0\r"), "\r\nOK\r\n");
    EXPECT_EQ(Say("ATE\r"), "\r\nOK\r\n");
    EXPECT_EQ(Say("ATE1\r"), "\r\nOK\r\n");
    EXPECT_EQ(Say("AT\r"), "AT\r\r\nOK\r\n");
    modem->Unsolicited("+CMTI: \"SM\",1");
    EXPECT_EQ(Say(""), "\r\n+CMTI: \"SM\",1\r\n");
}

TEST_F(GsmModemTest, Faults) {
    Create();
    modem->Inject(Fault::Silent, "AT+CPIN?");
    EXPECT_EQ(Say("AT+CPIN?\r"), "");
    EXPECT_EQ(Say("AT+CPIN?\r"), "");
    EXPECT_EQ(Cmd("AT"), "\r\nOK\r\n"); // other commands are answered
    modem->Disconnected();              // the faults end with the connection
    EXPECT_EQ(Cmd("AT+CPIN?"), "\r\n+CPIN: READY\r\n\r\nOK\r\n");

    modem->Inject(Fault::Error, "at+cmgd=", 2);
    EXPECT_EQ(Cmd("AT+CMGD=1"), "\r\nERROR\r\n");
    EXPECT_EQ(Cmd("AT+CMGR=1"), "\r\nOK\r\n");
    EXPECT_EQ(Cmd("AT+CMGD=2"), "\r\nERROR\r\n");
    EXPECT_EQ(Cmd("AT+CMGD=3"), "\r\nOK\r\n");

    modem->Inject(Fault::Silent); // everything
    EXPECT_EQ(Say("AT\rAT+CPMS?\r"), "");
    modem->ClearFaults();
    EXPECT_EQ(Cmd("AT"), "\r\nOK\r\n");

    // A silent send swallows its PDU: no SMS, no reply, and the next command is served.
    modem->Inject(Fault::Silent, "AT+CMGS", 1);
    EXPECT_EQ(Say(std::string("AT+CMGS=23\r") + kSubmit + "\x1A"), "");
    EXPECT_TRUE(modem->Sent().empty());
    EXPECT_EQ(Cmd("AT"), "\r\nOK\r\n");
    // A refused send leaves its PDU to fall on the command state as noise.
    modem->Inject(Fault::Error, "AT+CMGS", 1);
    EXPECT_EQ(Say(std::string("AT+CMGS=23\r") + kSubmit + "\x1A" + "AT\r"),
              "AT+CMGS=23\r\r\nERROR\r\nAT\r\r\nOK\r\n");
    EXPECT_TRUE(modem->Sent().empty());

    modem->Inject(Fault::LongReply, "AT+CPMS?", 1);
    const std::string longReply = Cmd("AT+CPMS?");
    EXPECT_EQ(longReply.size(), 1024 + 46u);
    EXPECT_EQ(longReply[0], '\0');
    EXPECT_EQ(longReply.substr(1024), "\r\n+CPMS: \"SM\",0,30,\"SM\",0,30,\"SM\",0,30\r\n\r\nOK\r\n");
    EXPECT_EQ(Cmd("AT+CPMS?").size(), 46u);

    modem->Inject(Fault::TextMode, {}, 1);
    EXPECT_TRUE(modem->TextMode());
    EXPECT_EQ(Cmd("AT+CMGF=0"), "\r\nERROR\r\n");
    EXPECT_EQ(Cmd("AT+CMGF?"), "\r\n+CMGF: 1\r\n\r\nOK\r\n");
    EXPECT_EQ(Cmd("AT+CMGF=0"), "\r\nOK\r\n");
    EXPECT_FALSE(modem->TextMode());
}

// Replies as some modems shape them: cut short, a new SMS announced inside, line ends of LF alone, a
// blank line before the PDU.
TEST_F(GsmModemTest, ReplyShapes) {
    Create();
    ASSERT_EQ(AddSms("+71230000000", "first"), 1);
    const std::string pdu = PduOf("+71230000000", "first");
    const std::string whole = "\r\n+CMGR: 0,,24\r\n" + pdu + "\r\n\r\nOK\r\n";

    modem->Inject(Fault::CutReply, "AT+CMGR=", 1);
    EXPECT_EQ(Say("AT+CMGR=1\r"), "AT+CMGR=1\r" + whole.substr(0, whole.size() / 2));
    EXPECT_EQ(Cmd("AT+CMGR=1"), "\r\n+CMGR: 1,,24\r\n" + pdu + "\r\n\r\nOK\r\n");
    // A slow modem's reply, or the rest of it, comes with the next command line.
    const std::string read = "\r\n+CMGR: 1,,24\r\n" + pdu + "\r\n\r\nOK\r\n";
    modem->Inject(Fault::LateReply, "AT+CMGR=", 1);
    EXPECT_EQ(Say("AT+CMGR=1\r"), "AT+CMGR=1\r");
    EXPECT_EQ(Say("AT\r"), read + "AT\r\r\nOK\r\n");
    modem->Inject(Fault::LateRest, "AT+CMGR=", 1);
    EXPECT_EQ(Say("AT+CMGR=1\r"), "AT+CMGR=1\r" + read.substr(0, read.size() / 2));
    EXPECT_EQ(Say("AT\r"), read.substr(read.size() / 2) + "AT\r\r\nOK\r\n");

    modem->Inject(Fault::UnsolicitedInReply, "AT+CMGR=", 1);
    EXPECT_EQ(Cmd("AT+CMGR=1"), "\r\n+CMGR: 1,,24\r\n+CMTI: \"SM\",2\r\n\r\n" + pdu + "\r\n\r\nOK\r\n");
    modem->Inject(Fault::UnsolicitedInReply, "AT", 1);
    EXPECT_EQ(Cmd("AT"), "\r\nOK\r\n+CMTI: \"SM\",2\r\n\r\n");

    cfg.lfOnly = true;
    cfg.blankLineBeforePdu = true;
    Create();
    ASSERT_EQ(AddSms("+71230000000", "first"), 1);
    EXPECT_EQ(Cmd("AT+CMGR=1"), "\n+CMGR: 0,,24\n\n" + pdu + "\n\nOK\n");
    EXPECT_EQ(Cmd("AT+CMGL=4"), "\n+CMGL: 1,1,,24\n\n" + pdu + "\n\nOK\n");
    EXPECT_EQ(Cmd("AT+CPIN?"), "\n+CPIN: READY\n\nOK\n");
    modem->Inject(Fault::UnsolicitedInReply, "AT+CMGR=", 1);
    EXPECT_EQ(Cmd("AT+CMGR=1"), "\n+CMGR: 1,,24\n+CMTI: \"SM\",2\n\n\n" + pdu + "\n\nOK\n");
}

TEST_F(GsmModemTest, DisconnectDropsHalfTypedInputAndUnsentOutput) {
    Create();
    modem->Inject(Fault::LateReply, "AT+CMGS=", 1); // its prompt held back
    Say("AT+CMGS=23\r00110");
    modem->Unsolicited("RING");
    modem->Disconnected();
    EXPECT_TRUE(modem->Output().empty());
    EXPECT_EQ(Say("0B9\x1A"
                  "AT\r"),
              "AT\r\r\nOK\r\n");
    EXPECT_TRUE(modem->Sent().empty());
}

TEST_F(GsmModemTest, PowerCycleRestoresThePowerOnSettings) {
    cfg.pinState = PinState::SimPin;
    Create();
    AddSms("1", "kept");
    Say("ATE0\r");
    Cmd("AT+CPIN=\"1234\"");
    Cmd("AT+CMGF=1");
    modem->PowerCycle();
    EXPECT_TRUE(modem->Echo());
    EXPECT_FALSE(modem->TextMode());
    EXPECT_EQ(modem->GetPinState(), PinState::SimPin);
    EXPECT_EQ(modem->UsedCells(), 1);
}

TEST_F(GsmModemTest, ADialledCallGetsItsQueuedResult) {
    const struct {
        DialResult Result;
        const char* Dial;
        const char* Reply;
        CallState State;
    } cases[] = {
        {DialResult::Connect, "ATD+79001234567", "\r\nCONNECT 9600\r\n", CallState::Data},
        {DialResult::Connect, "ATD100;", "\r\nOK\r\n", CallState::Voice},
        {DialResult::Busy, "ATD100", "\r\nBUSY\r\n", CallState::None},
        {DialResult::NoAnswer, "ATD100", "\r\nNO ANSWER\r\n", CallState::None},
        {DialResult::NoCarrier, "ATD100", "\r\nNO CARRIER\r\n", CallState::None},
        {DialResult::NoDialtone, "ATD 100", "\r\nNO DIALTONE\r\n", CallState::None},
        {DialResult::Pending, "ATD100", "", CallState::Dialling},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(DialResult_Name(c.Result));
        Create();
        modem->QueueDialResult(c.Result);
        EXPECT_EQ(Cmd(c.Dial), c.Reply);
        EXPECT_EQ(modem->GetCallState(), c.State);
    }
    EXPECT_EQ(Say("x"), "\r\nNO CARRIER\r\n"); // a character stops the dialling
    EXPECT_EQ(modem->GetCallState(), CallState::None);
    EXPECT_EQ(modem->Dialled(), std::vector<std::string>{"100"});
    EXPECT_EQ(Cmd("ATD"), "\r\nNO CARRIER\r\n"); // nothing to dial
}

TEST_F(GsmModemTest, DataModeCarriesTheCallUntilTheEscape) {
    EXPECT_EQ(Cmd("ATD100"), "\r\nCONNECT 9600\r\n");
    EXPECT_EQ(Say("AT\r1+2++3"), ""); // data, not commands
    EXPECT_TRUE(modem->SendCallData("far"));
    EXPECT_EQ(Say(""), "far");
    EXPECT_EQ(Say("+++"), "\r\nOK\r\n");
    EXPECT_EQ(modem->TakeCallData(), "AT\r1+2++3");
    EXPECT_FALSE(modem->SendCallData("late")); // command mode now; the call stays up
    EXPECT_EQ(modem->GetCallState(), CallState::Data);
    EXPECT_EQ(Cmd("ATH"), "\r\nOK\r\n");
    EXPECT_EQ(modem->GetCallState(), CallState::None);

    EXPECT_EQ(Cmd("ATD100"), "\r\nCONNECT 9600\r\n");
    modem->HangUpCall(); // the far end goes
    EXPECT_EQ(Say(""), "\r\nNO CARRIER\r\n");
    EXPECT_EQ(Cmd("AT"), "\r\nOK\r\n");
}

TEST_F(GsmModemTest, ARingNamesItsCallerOnceAskedToAndIsAnswered) {
    modem = std::make_unique<GsmModem>(cfg);
    modem->Ring({"+79001234567", "Office"});
    EXPECT_EQ(Say(""), "\r\nRING\r\n"); // no caller line yet
    EXPECT_EQ(Cmd("AT+CLIP=1"), "\r\nOK\r\n");
    EXPECT_EQ(Cmd("AT+CLIP?"), "\r\n+CLIP: 1,1\r\n\r\nOK\r\n");
    modem->Ring({"+79001234567", "Office"});
    EXPECT_EQ(Say(""), "\r\nRING\r\n\r\n+CLIP: \"+79001234567\",145,\"\",,\"Office\",0\r\n");
    EXPECT_EQ(Cmd("ATA"), "\r\nCONNECT 9600\r\n");
    EXPECT_EQ(modem->GetCallState(), CallState::Data);
    modem->Disconnected(); // the terminal's DTR went
    EXPECT_EQ(modem->GetCallState(), CallState::None);
    EXPECT_TRUE(modem->ClipEnabled()); // until power goes
    modem->Ring({"", "", 1, true});
    EXPECT_EQ(Say(""), "\r\nRING\r\n\r\n+CLIP: \"\",129,\"\",,\"\",1\r\n");
    EXPECT_EQ(Cmd("ATA"), "\r\nOK\r\n"); // a voice call
    EXPECT_EQ(modem->GetCallState(), CallState::Voice);
    modem->PowerCycle();
    EXPECT_FALSE(modem->ClipEnabled());
    EXPECT_EQ(Cmd("ATA"), "\r\nNO CARRIER\r\n"); // nothing rings
}

TEST_F(GsmModemTest, AVoiceCallIsHeldWhereHoldIsSupported) {
    EXPECT_EQ(Cmd("AT+CHLD=2"), "\r\n+CME ERROR: 3\r\n"); // no call
    EXPECT_EQ(Cmd("ATD100;"), "\r\nOK\r\n");
    EXPECT_EQ(Cmd("AT+CHLD=2"), "\r\nOK\r\n");
    EXPECT_EQ(modem->GetCallState(), CallState::Held);
    EXPECT_EQ(Cmd("AT+CHLD=2"), "\r\nOK\r\n");
    EXPECT_EQ(modem->GetCallState(), CallState::Voice);
    modem->SetHoldSupported(false);
    EXPECT_EQ(Cmd("AT+CHLD=2"), "\r\n+CME ERROR: 3\r\n");
    EXPECT_EQ(Cmd("AT+CHLD=?"), "\r\n+CHLD: (0,1,2)\r\n\r\nOK\r\n");
    EXPECT_EQ(Cmd("ATH"), "\r\nOK\r\n");
}

} // namespace
