// The texts of call progress: a line message's state, by the position of its lowest bit, in the
// message table (serial/TapiStatusTexts.h).
#include <bit>
#include <iterator>

#include "serial/MessageTable.h"
#include "serial/TapiDevice.h"

namespace {

constexpr DWORD RetryStatusMessage = 32; // the library's own status message
constexpr DWORD RetryStatusState = 8;
constexpr int CallStateBase = 13500;
constexpr int LineDevStateBase = 13532;
constexpr int ReplyBase = 13564;
constexpr int OwnStatusBase = 13596;
constexpr int DisconnectReasonBase = 13650;
constexpr int LineErrorBase = 13800;

// 1 to 32; 0 when no bit is set.
int LowestBit(DWORD value) {
    return value == 0 ? 0 : std::countr_zero(value) + 1;
}

std::string Text(int number) {
    return MessageNumberToString(std::int16_t(number));
}

// The text with its one placeholder filled.
std::string Filled(std::string text, const char* placeholder, const std::string& value) {
    const std::size_t at = text.find(placeholder);
    if (at != std::string::npos)
        text.replace(at, 2, value);
    return text;
}

} // namespace

std::string TSioCustomTapiDevice::TapiStatusMsg(DWORD message, DWORD state, DWORD reason) const {
    int base = OwnStatusBase;
    if (message == LINE_CALLSTATE)
        base = CallStateBase;
    else if (message == LINE_LINEDEVSTATE)
        base = LineDevStateBase;
    else if (message == LINE_REPLY)
        base = ReplyBase;
    const std::string text = Text(base + LowestBit(state));
    if (message == RetryStatusMessage && state == RetryStatusState)
        return Filled(text, "%d", std::to_string(retryCountdown_));
    if (message == LINE_CALLSTATE && state == LINECALLSTATE_DISCONNECTED)
        return Filled(text, "%s", Text(DisconnectReasonBase + LowestBit(reason)));
    return text;
}

// The names of the history codes, for a caller's own log; the history file writes its own texts.
std::string TSioCustomTapiDevice::TapiLogToString(TTapiLogCode code) const {
    static const char* const texts[] = {
        "None",
        "Call started",
        "Call finished",
        "Dialing",
        "Accepting an incoming call",
        "Answering an incoming call",
        "Connected",
        "Call cancelled",
        "Call drop",
        "Called number was busy",
        "Dial failed",
        "Received a DTMF tone",
    };
    static_assert(std::size(texts) == ltapiReceivedDigit + 1);
    return code >= ltapiNone && code <= ltapiReceivedDigit ? texts[code] : std::string();
}

// A negative code is a line error (0x80000000 + n), or one of the binding's own codes, which name
// their text themselves.
std::string TSioCustomTapiDevice::FailureCodeMsg(std::int32_t code) const {
    if (code < 0 && DWORD(code) >= 0x80000000u && DWORD(code) <= 0x8000FFFFu)
        return Text(LineErrorBase + (code & 0xFFFF));
    if (code < 0)
        return Text(code);
    return TapiStatusMsg(LINE_CALLSTATE, LINECALLSTATE_DISCONNECTED, DWORD(code));
}
