// The reading of the GSM modem's replies as modems in the field print them: echo on and off, line ends
// of CR LF and of LF alone, blank lines, unsolicited result codes in the middle of a reply, and the
// error forms of the SIM and of the SMS commands.
#include "gsm/AtCommands.h"

#include <string>

#include <gtest/gtest.h>

#include "gsm/Pdu.h"

namespace {

// A published SMS-DELIVER: "hellohello" from 27838890001.
const std::string Pdu = "07917283010010F5040BC87238880900F10000993092516195800AE8329BFD4697D9EC37";

TEST(AtRepliesTest, AnswersAreRecognisedInTheRepliesOfRealModems) {
    const struct {
        const char* Name;
        int Command;
        std::string Reply;
        TAnswerResult Expected;
    } cases[] = {
        {"AT, echo on", cmdAlive, "AT\r\r\nOK\r\n", arAnswer0},
        {"AT, echo off", cmdAlive, "\r\nOK\r\n", arAnswer0},
        {"AT, LF only", cmdAlive, "\nOK\n", arAnswer0},
        {"AT, only its echo yet", cmdAlive, "AT\r", arNone},
        {"SIM ready, echo on", cmdPinQuery, "AT+CPIN?\r\r\n+CPIN: READY\r\n\r\nOK\r\n", arAnswer0},
        {"SIM ready, LF only", cmdPinQuery, "\n+CPIN: READY\n\nOK\n", arAnswer0},
        {"SIM ready, OK still to come", cmdPinQuery, "\r\n+CPIN: READY\r\n", arAnswer0},
        {"SIM asks for its PIN", cmdPinQuery, "\r\n+CPIN: SIM PIN\r\n\r\nOK\r\n", arAnswer2},
        {"SIM asks for its PUK", cmdPinQuery, "\r\n+CPIN: SIM PUK\r\n\r\nOK\r\n", arSimLocked},
        {"SIM asks for its PUK, LF only", cmdPinQuery, "\n+CPIN: SIM PUK\n\nOK\n", arSimLocked},
        {"SIM not inserted", cmdPinQuery, "AT+CPIN?\r\r\n+CME ERROR: 10\r\n", arAnswer3},
        {"PIN line not complete yet", cmdPinQuery, "\r\n+CPIN: SIM P", arNone},
        {"PDU mode refused", cmdPduMode, "AT+CMGF=0\r\r\nERROR\r\n", arAnswer2},
        {"PDU mode refused with a code", cmdPduMode, "\r\n+CMS ERROR: 303\r\n", arAnswer2},
        {"storage, LF only", cmdStorage, "\n+CPMS: \"SM\",3,30,\"SM\",3,30,\"SM\",3,30\n\nOK\n", arAnswer0},
        {"read of an empty cell refused", cmdRead, "AT+CMGR=4\r\r\n+CMS ERROR: 321\r\n", arAnswer2},
        {"read with a new SMS announced inside", cmdRead,
         "\r\n+CMGR: 0,,32\r\n\r\n+CMTI: \"SM\",2\r\n" + Pdu + "\r\n\r\nOK\r\n", arAnswer0},
        {"read cut in its PDU", cmdRead, "\r\n+CMGR: 0,,32\r\n" + Pdu.substr(0, 20), arNone},
        {"delete of a cell out of range", cmdDelete, "\r\n+CMS ERROR: 321\r\n", arAnswer2},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CheckAnswers(c.Command, c.Reply), c.Expected) << c.Name;
}

TEST(AtRepliesTest, PduLineIsFoundWhateverComesAroundIt) {
    const struct {
        const char* Name;
        std::string Reply;
        std::string Expected;
    } cases[] = {
        {"echo on", "AT+CMGR=1\r\r\n+CMGR: 0,,32\r\n" + Pdu + "\r\n\r\nOK\r\n", Pdu},
        {"echo off", "\r\n+CMGR: 0,,32\r\n" + Pdu + "\r\n\r\nOK\r\n", Pdu},
        {"an empty alpha field", "\r\n+CMGR: 1,\"\",32\r\n" + Pdu + "\r\n\r\nOK\r\n", Pdu},
        {"a blank line before the PDU", "\r\n+CMGR: 0,,32\r\n\r\n" + Pdu + "\r\n\r\nOK\r\n", Pdu},
        {"LF only", "\n+CMGR: 0,,32\n" + Pdu + "\n\nOK\n", Pdu},
        {"LF only and a blank line", "\n+CMGR: 0,,32\n\n" + Pdu + "\n\nOK\n", Pdu},
        {"+CMTI before the PDU", "\r\n+CMGR: 0,,32\r\n\r\n+CMTI: \"SM\",2\r\n" + Pdu + "\r\n\r\nOK\r\n", Pdu},
        {"+CMTI after the PDU", "\r\n+CMGR: 0,,32\r\n" + Pdu + "\r\n\r\n+CMTI: \"SM\",2\r\n\r\nOK\r\n", Pdu},
        {"RING before the PDU", "\r\n+CMGR: 0,,32\r\n\r\nRING\r\n\r\n" + Pdu + "\r\n\r\nOK\r\n", Pdu},
        {"+CMTI before the reply", "\r\n+CMTI: \"SM\",2\r\n\r\n+CMGR: 0,,32\r\n" + Pdu + "\r\n\r\nOK\r\n",
         Pdu},
        {"a NUL after the PDU", "\r\n+CMGR: 0,,32\r\n" + Pdu + std::string(1, '\0') + "\r\nOK\r\n", Pdu},
        {"cut in the PDU", "\r\n+CMGR: 0,,32\r\n" + Pdu.substr(0, 20), Pdu.substr(0, 20)},
        {"cut in the header", "\r\n+CMGR: 0,,3", ""},
        {"a header and no PDU", "\r\n+CMGR: 0,,0\r\n\r\nOK\r\n", ""},
        {"an empty cell", "AT+CMGR=4\r\r\nOK\r\n", ""},
        {"+CMS ERROR: 321", "AT+CMGR=4\r\r\n+CMS ERROR: 321\r\n", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const std::string line = ReadPduLine(c.Reply);
        EXPECT_EQ(line, c.Expected);
        if (line == Pdu) {
            SmsDeliverRecord record{};
            ASSERT_TRUE(DecodeDeliverPdu(line.c_str(), &record));
            EXPECT_STREQ(record.Text, "hellohello");
        }
    }
}

TEST(AtRepliesTest, SmsHeaderIsTheCmgrLine) {
    EXPECT_EQ(ReadSmsHeader("AT+CMGR=1\r\r\n+CMGR: 0,,32\r\n" + Pdu + "\r\n\r\nOK\r\n"), "+CMGR: 0,,32");
    EXPECT_EQ(ReadSmsHeader("\n+CMGR: 1,\"\",32\n" + Pdu + "\n\nOK\n"), "+CMGR: 1,\"\",32");
    EXPECT_EQ(ReadSmsHeader("\r\n+CMGR: 0,,3"), "+CMGR: 0,,3");
    EXPECT_EQ(ReadSmsHeader("AT+CMGR=4\r\r\nOK\r\n"), "");
}

TEST(AtRepliesTest, StorageCountsAreReadWhateverComesAroundThem) {
    const struct {
        const char* Name;
        std::string Reply;
        int Used, Total;
    } cases[] = {
        {"echo on", "AT+CPMS?\r\r\n+CPMS: \"SM\",4,30,\"SM\",4,30,\"SM\",4,30\r\n\r\nOK\r\n", 4, 30},
        {"LF only", "\n+CPMS: \"SM\",4,30,\"SM\",4,30,\"SM\",4,30\n\nOK\n", 4, 30},
        {"another storage name", "\r\n+CPMS: \"SM_P\",1,50,\"SM_P\",1,50,\"SM_P\",1,50\r\n\r\nOK\r\n", 1, 50},
        {"+CMTI before it", "\r\n+CMTI: \"SM\",5\r\n\r\n+CPMS: \"SM\",5,30,\"SM\",5,30\r\n\r\nOK\r\n", 5, 30},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        int used = -1, total = -1;
        ASSERT_TRUE(ParseStorage(c.Reply, used, total));
        EXPECT_EQ(used, c.Used);
        EXPECT_EQ(total, c.Total);
    }
}

} // namespace
