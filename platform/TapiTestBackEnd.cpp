// The scripted telephony back-end of the tests, over the provider's script interface.
#include "platform/TapiTestBackEnd.h"

#include <stdexcept>

#include "platform/Modules.h"
#include "platform/TapiScript.h"

namespace {

bool backEndInstalled = false;

void CheckFunctionName(const std::string& function) {
    for (const TModuleEntry& entry : Tapi32Entries())
        if (entry.Name == function)
            return;
    throw std::invalid_argument("no line function " + function);
}

} // namespace

TTapiTestBackEnd::TTapiTestBackEnd() {
    if (backEndInstalled)
        throw std::logic_error("one telephony test back-end at a time");
    backEndInstalled = true;
    TapiScript::Install(true);
}

TTapiTestBackEnd::~TTapiTestBackEnd() {
    TapiScript::Install(false);
    backEndInstalled = false;
}

DWORD TTapiTestBackEnd::AddLine(const TLine& line) {
    return TapiScript::AddLine(line);
}

void TTapiTestBackEnd::QueueDialResult(DWORD deviceId, TDialResult result) {
    TapiScript::QueueDialResult(deviceId, result);
}

void TTapiTestBackEnd::FailNext(const std::string& function, LONG error) {
    CheckFunctionName(function);
    TapiScript::FailNext(function, error);
}

void TTapiTestBackEnd::FailNextReply(const std::string& function, LONG error) {
    CheckFunctionName(function);
    TapiScript::ReplyNext(function, false, error);
}

void TTapiTestBackEnd::WithholdNextReply(const std::string& function) {
    CheckFunctionName(function);
    TapiScript::ReplyNext(function, true, 0);
}

HCALL TTapiTestBackEnd::Ring(DWORD deviceId, const TCaller& caller) {
    return TapiScript::Ring(deviceId, caller);
}

void TTapiTestBackEnd::Disconnect(HCALL call, DWORD mode) {
    TapiScript::Disconnect(call, mode);
}

void TTapiTestBackEnd::Digit(HCALL call, char digit) {
    TapiScript::Digit(call, digit);
}

void TTapiTestBackEnd::Tone(HCALL call, std::size_t entry) {
    TapiScript::Tone(call, entry);
}

void TTapiTestBackEnd::SendLineDevState(DWORD deviceId, DWORD state, DWORD param2, DWORD param3) {
    TapiScript::SendLineDevState(deviceId, state, param2, param3);
}

void TTapiTestBackEnd::SendCallState(HCALL call, DWORD state, DWORD mode) {
    TapiScript::SendCallState(call, state, mode);
}

void TTapiTestBackEnd::CloseLine(DWORD deviceId) {
    TapiScript::CloseLine(deviceId);
}

std::vector<std::string> TTapiTestBackEnd::DialledNumbers(DWORD deviceId) const {
    return TapiScript::DialledNumbers(deviceId);
}

std::vector<DWORD> TTapiTestBackEnd::DialledBearerModes(DWORD deviceId) const {
    return TapiScript::DialledBearerModes(deviceId);
}

std::string TTapiTestBackEnd::GeneratedDigits(HCALL call) const {
    return TapiScript::GeneratedDigits(call);
}

int TTapiTestBackEnd::GeneratedTones(HCALL call) const {
    return TapiScript::GeneratedTones(call);
}

std::optional<DWORD> TTapiTestBackEnd::CallState(HCALL call) const {
    return TapiScript::CallState(call);
}
