// Calls the device places or takes besides the GSM modem's pass-through call: dialling a number
// (redialled by TapiRedial.cpp), answering, and holding and transferring a connected call.
#include "serial/TapiDevice.h"

void TSioCustomTapiDevice::Dial(const std::string& number) {
    AssureTapiReady();
    attempt_ = 1;
    redial_ = true;
    Number = number;
    passThroughMode_ = false;
    if (statusDisplay_)
        statusDisplay_->Answering = false;
    DialPrim(false);
}

void TSioCustomTapiDevice::AutoAnswer() {
    AssureTapiReady();
    StartTapi();
    dialing_ = false; // owner privileges: offered calls come to this line
    passThroughMode_ = false;
    SetOpen(false);
    SetOpen(true);
    waitingForCall_ = true;
    if (statusDisplay_)
        statusDisplay_->Answering = true;
}

void TSioCustomTapiDevice::CallRequest(LONG result) {
    result = WaitForReply(result);
    if (result >= 0)
        return;
    failureCode_ = result;
    if (OnTapiFail)
        PostTapiEvent(teFail);
    else
        CheckError(result);
}

void TSioCustomTapiDevice::HoldCall() {
    if (GetTapiState() == tsConnected)
        CallRequest(tuLineHold(callHandle_));
}

// A held call is taken back too: a held call is not connected.
void TSioCustomTapiDevice::UnHoldCall() {
    const TTapiState state = GetTapiState();
    if (state == tsConnected || state == tsOnHold)
        CallRequest(tuLineUnhold(callHandle_));
}

void TSioCustomTapiDevice::Transfer(const std::string& destination) {
    if (GetTapiState() == tsConnected)
        CallRequest(tuLineTransfer(callHandle_, destination.c_str(), 0));
}

std::int32_t TSioCustomTapiDevice::GetBPSRate() const {
    return callConnected_ && callInfo_ ? std::int32_t(callInfo_->dwRate) : 0;
}
