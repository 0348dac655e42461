// The GSM modem's AT command cycle as data: the commands with their expected answers, time-outs and
// successors, and the reading of what the modem replies (which expected answer a reply holds, the SIM's
// state, the storage counts, the PDU line of a read SMS). Nothing here touches a port or a form.
//
// A reply is every byte received since the command was written, NUL bytes and echo included.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

// One command of the cycle. The answers are indexes into ModemAnswers, -1 for none.
struct TATCommand {
    std::int8_t Answer0, Answer1, Answer2, Answer3;
    std::int16_t Next;       // the command that follows unless an answer handler changes it
    std::int16_t TimeoutSec; // answer time-out
    char Command[30];        // the fixed text; the cycle appends the variable part
};

enum TATCommandIndex : std::int8_t {
    cmdAlive = 0,    // "AT"
    cmdPinQuery = 1, // "AT+CPIN?"
    cmdPinEnter = 2, // "AT+CPIN=" and the PIN
    cmdPduMode = 3,  // "AT+CMGF=0"
    cmdStorage = 4,  // "AT+CPMS?"
    cmdRead = 5,     // "AT+CMGR=" and the cell
    cmdDelete = 6,   // "AT+CMGD=" and the cell
    cmdSend = 7,     // "AT+CMGS=" and the length, the PDU and Ctrl-Z
    cmdPause = 8,    // nothing is written: a second's pause
    ATCommandCount = 9
};

// What a reply was recognised as (AnswerResult).
enum TAnswerResult : std::int32_t {
    arNone = 0,      // nothing recognised yet
    arAnswer0 = 1,   // Answer0 found
    arAnswer1 = 2,   // Answer1 found
    arAnswer2 = 3,   // Answer2 found
    arAnswer3 = 4,   // Answer3 found
    arTimeout = 5,   // no answer in time
    arSimLocked = 6, // "+CPIN:" named a state other than READY and SIM PIN (a PUK, a blocked SIM)
};

// "OK", "READY", "> ", "ERROR", "SIM PIN".
extern const std::array<const char*, 5> ModemAnswers;
extern const std::array<TATCommand, ATCommandCount> ATCommandTable;

// The result a reply to the command at index holds: Answer0, Answer2, Answer3, Answer1 in this order,
// the first found wins. For "AT+CPIN?" a complete "+CPIN:" line decides instead: READY is arAnswer0,
// SIM PIN arAnswer2, anything else arSimLocked. arNone while nothing is recognised.
TAnswerResult CheckAnswers(int index, std::string_view reply);

// The storage counts of a "+CPMS:" reply: the first two numbers after the first comma behind it. False
// (and both left alone) when the reply does not hold them.
bool ParseStorage(std::string_view reply, int& used, int& total);

// The "+CMGR:" line of a reply, without its line end; empty when the reply holds none.
std::string ReadSmsHeader(std::string_view reply);

// The PDU line of a "+CMGR:" reply: the first line after the "+CMGR:" line that is neither blank nor a
// result code the modem sent on its own ("+CMTI:" and the like, "RING"); lines end in CR LF or LF
// alone. Of a reply cut short, the part of the line that came. Empty when the reply holds no such line
// before its final result.
std::string ReadPduLine(std::string_view reply);
