// The calls of the GSM modem simulator: dialling, ringing with the caller's number, answering, data
// mode with its escape, hanging up and holding (GsmModem.h).
#include "tools/gsm-sim/GsmModem.h"

#include <iterator>
#include <utility>

namespace gsmsim {

namespace {

constexpr const char* kConnect = "CONNECT 9600";
constexpr const char* kNotAllowed = "+CME ERROR: 3";

// "+CLIP: "<number>",<type>,"",,"<name>",<validity>": type 145 for an international number.
std::string ClipLine(const Caller& caller) {
    const bool given = caller.validity == 0;
    const std::string number = given ? caller.number : std::string();
    const int type = !number.empty() && number[0] == '+' ? 145 : 129;
    return "+CLIP: \"" + number + "\"," + std::to_string(type) + ",\"\",,\"" + (given ? caller.name : "") +
           "\"," + std::to_string(caller.validity);
}

// By DialResult.
constexpr const char* kDialResultNames[] = {"connect",    "busy",        "no-answer",
                                            "no-carrier", "no-dialtone", "pending"};
constexpr const char* kDialResultCodes[] = {nullptr,      "BUSY",        "NO ANSWER",
                                            "NO CARRIER", "NO DIALTONE", nullptr};

} // namespace

const char* DialResult_Name(DialResult result) {
    const auto i = size_t(result);
    return i < std::size(kDialResultNames) ? kDialResultNames[i] : "?";
}

// The call comes up: a data call in data mode with its CONNECT, a voice call with OK.
void GsmModem::CallUp(bool voice, Reply* reply) {
    call_ = voice ? CallState::Voice : CallState::Data;
    reply->result = voice ? "OK" : kConnect;
    if (!voice)
        input_ = Input::Data;
}

// D, A and H; *known is false for any other command.
bool GsmModem::CallCommand(const std::string& upper, const std::string& cmd, Reply* reply, bool* known) {
    *known = true;
    if (upper[0] == 'D') {
        std::string number = cmd.substr(1);
        dialled_.push_back(number);
        const bool voice = !number.empty() && number.back() == ';';
        if (call_ != CallState::None || number.empty() || number == ";") {
            reply->result = "NO CARRIER";
            return true;
        }
        DialResult result = DialResult::Connect;
        if (!dialResults_.empty()) {
            result = dialResults_.front();
            dialResults_.pop_front();
        }
        if (result == DialResult::Connect) {
            CallUp(voice, reply);
        } else if (result == DialResult::Pending) {
            call_ = CallState::Dialling;
            input_ = Input::Dialling;
            reply->later = true;
        } else {
            reply->result = kDialResultCodes[size_t(result)];
        }
        return true;
    }
    if (upper == "A") {
        if (call_ != CallState::Ringing) {
            reply->result = "NO CARRIER";
            return true;
        }
        CallUp(ringing_.voice, reply);
        return true;
    }
    if (upper == "H" || upper == "H0") {
        call_ = CallState::None;
        return true;
    }
    *known = false;
    return false;
}

bool GsmModem::Clip(char op, const std::vector<std::string>& args, Reply*) {
    return Switch(op, args, "+CLIP", ",1", clip_); // ",1": the network gives caller identification
}

bool GsmModem::Chld(char op, const std::vector<std::string>& args, Reply* reply) {
    if (op == 't') {
        Respond("+CHLD: (0,1,2)");
        return true;
    }
    if (op != '=' || args.size() != 1)
        return false;
    const bool voice = call_ == CallState::Voice || call_ == CallState::Held;
    if (!holdSupported_ || !voice)
        return reply->Fail(kNotAllowed);
    if (args[0] == "2")
        call_ = call_ == CallState::Voice ? CallState::Held : CallState::Voice;
    else if (args[0] == "0" || args[0] == "1")
        call_ = CallState::None; // one call at most: releasing it, held or up
    else
        return reply->Fail(kNotAllowed);
    return true;
}

// "+++" leaves data mode; the call stays up until ATH.
void GsmModem::DataByte(char c) {
    if (c == '+') {
        if (++pluses_ < 3)
            return;
        pluses_ = 0;
        input_ = Input::Command;
        Respond("OK");
        return;
    }
    callData_.append(std::exchange(pluses_, 0), '+');
    callData_ += c;
}

void GsmModem::AbortDial() {
    call_ = CallState::None;
    input_ = Input::Command;
    Respond("NO CARRIER");
}

void GsmModem::EndCalls(bool powerOn) {
    call_ = CallState::None;
    pluses_ = 0;
    if (powerOn)
        clip_ = false;
}

void GsmModem::QueueDialResult(DialResult result) {
    dialResults_.push_back(result);
}

void GsmModem::Ring(const Caller& caller) {
    if (call_ != CallState::None && call_ != CallState::Ringing)
        return;
    call_ = CallState::Ringing;
    ringing_ = caller;
    Respond("RING");
    if (clip_)
        Respond(ClipLine(caller));
}

void GsmModem::HangUpCall() {
    const CallState was = std::exchange(call_, CallState::None);
    if (was == CallState::Data && input_ == Input::Data)
        input_ = Input::Command;
    if (was == CallState::Data || was == CallState::Voice || was == CallState::Held)
        Respond("NO CARRIER");
}

bool GsmModem::SendCallData(const std::string& bytes) {
    if (call_ != CallState::Data || input_ != Input::Data)
        return false;
    out_ += bytes;
    return true;
}

std::string GsmModem::TakeCallData() {
    return std::exchange(callData_, {});
}

} // namespace gsmsim
