#include "gsm/AtCommands.h"

#include <algorithm>

const std::array<const char*, 5> ModemAnswers = {"OK", "READY", "> ", "ERROR", "SIM PIN"};

const std::array<TATCommand, ATCommandCount> ATCommandTable = {{
    {0, -1, 3, -1, 1, 3, "AT\r"},
    {1, 0, 4, 3, 4, 10, "AT+CPIN?\r"},
    {0, -1, 3, -1, 3, 30, "AT+CPIN=\""},
    {0, -1, 3, -1, 4, 5, "AT+CMGF=0\r"},
    {0, -1, 3, -1, 8, 5, "AT+CPMS?\r"},
    {0, -1, 3, -1, 6, 5, "AT+CMGR="},
    {0, -1, 3, -1, 5, 10, "AT+CMGD="},
    {0, -1, 3, -1, 4, 40, "AT+CMGS="},
    {-1, -1, -1, -1, 0, 1, ""},
}};

namespace {

// Modems end lines with CR LF, some with LF alone; a NUL ends the text as well.
constexpr std::string_view LineEnds("\r\n\0", 3);

bool Holds(std::string_view reply, int answer) {
    return answer >= 0 && reply.find(ModemAnswers[std::size_t(answer)]) != std::string_view::npos;
}

// The value of a complete "+CPIN:" line, without its blanks; empty while there is none.
std::string_view PinValue(std::string_view reply) {
    const std::size_t at = reply.find("+CPIN:");
    if (at == std::string_view::npos)
        return {};
    std::string_view rest = reply.substr(at + 6);
    const std::size_t end = rest.find_first_of("\r\n");
    if (end == std::string_view::npos)
        return {};
    rest = rest.substr(0, end);
    const std::size_t first = rest.find_first_not_of(' ');
    if (first == std::string_view::npos)
        return {};
    return rest.substr(first, rest.find_last_not_of(' ') + 1 - first);
}

// A non-negative decimal number of at most 9 digits after optional blanks, as the reply's counts are.
bool TakeNumber(std::string_view& text, int& value) {
    std::size_t i = text.find_first_not_of(' ');
    if (i == std::string_view::npos)
        return false;
    int n = 0, digits = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++digits) {
        if (digits == 9)
            return false;
        n = n * 10 + (text[i] - '0');
    }
    if (digits == 0)
        return false;
    value = n;
    text.remove_prefix(i);
    return true;
}

// A result code the modem sends on its own, which may come in the middle of a reply: a new SMS
// ("+CMTI:"), a status report, a network event, a call.
bool IsUnsolicited(std::string_view line) {
    return line.front() == '+' || line == "RING";
}

// The reply from its "+CMGR:" on; empty when it holds none.
std::string_view FromSmsHeader(std::string_view reply) {
    const std::size_t at = reply.find("+CMGR:");
    return at == std::string_view::npos ? std::string_view() : reply.substr(at);
}

} // namespace

TAnswerResult CheckAnswers(int index, std::string_view reply) {
    if (index == cmdPinQuery) {
        const std::string_view pin = PinValue(reply);
        if (pin == "READY")
            return arAnswer0;
        if (pin == "SIM PIN")
            return arAnswer2;
        if (!pin.empty())
            return arSimLocked;
    }
    const TATCommand& command = ATCommandTable[std::size_t(index)];
    if (Holds(reply, command.Answer0))
        return arAnswer0;
    if (Holds(reply, command.Answer2))
        return arAnswer2;
    if (Holds(reply, command.Answer3))
        return arAnswer3;
    if (Holds(reply, command.Answer1))
        return arAnswer1;
    return arNone;
}

bool ParseStorage(std::string_view reply, int& used, int& total) {
    const std::size_t at = reply.find("+CPMS:");
    if (at == std::string_view::npos)
        return false;
    const std::size_t comma = reply.find(',', at);
    if (comma == std::string_view::npos)
        return false;
    std::string_view rest = reply.substr(comma + 1);
    int first = 0, second = 0;
    if (!TakeNumber(rest, first) || rest.empty() || rest.front() != ',')
        return false;
    rest.remove_prefix(1);
    if (!TakeNumber(rest, second))
        return false;
    used = first;
    total = second;
    return true;
}

std::string ReadSmsHeader(std::string_view reply) {
    const std::string_view rest = FromSmsHeader(reply);
    return std::string(rest.substr(0, rest.find_first_of(LineEnds)));
}

std::string ReadPduLine(std::string_view reply) {
    std::string_view rest = FromSmsHeader(reply);
    rest.remove_prefix(std::min(rest.find_first_of(LineEnds), rest.size())); // the "+CMGR:" line
    for (;;) {
        const std::size_t start = rest.find_first_not_of(LineEnds);
        if (start == std::string_view::npos)
            return {};
        rest.remove_prefix(start);
        const std::string_view line = rest.substr(0, rest.find_first_of(LineEnds));
        if (line == "OK" || line == "ERROR")
            return {}; // the reply ended without one
        if (!IsUnsolicited(line))
            return std::string(line);
        rest.remove_prefix(line.size());
    }
}
