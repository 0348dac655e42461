// The redial of a failed call: a one-second countdown of RetryWait seconds, then the next attempt.
#include "platform/Timer.h"
#include "serial/TapiDevice.h"

namespace {

constexpr std::int32_t WaitingForRetryMessage = 32; // the library's own status message
constexpr std::int32_t WaitingForRetryState = 8;

} // namespace

void TSioCustomTapiDevice::CreateDialTimer() {
    FreeDialTimer();
    dialTimer_ = std::make_unique<TTimer>();
    dialTimer_->SetInterval(1000);
    dialTimer_->SetOnTimer([this] { TapiDialTimer(); });
    retryCountdown_ = RetryWait;
}

// The timer may be the one whose tick is running: it goes once the event loop is back.
void TSioCustomTapiDevice::FreeDialTimer() {
    if (!dialTimer_)
        return;
    dialTimer_->SetEnabled(false);
    dialTimer_.release()->deleteLater();
}

void TSioCustomTapiDevice::TapiDialTimer() {
    --retryCountdown_;
    if (GetTapiState() != tsIdle) {
        FreeDialTimer(); // a call is going on
    } else if (retryCountdown_ <= 0) {
        FreeDialTimer();
        ++attempt_;
        DialPrim(false);
    } else if (redial_) {
        TapiStatus(false, false, 0, WaitingForRetryMessage, WaitingForRetryState, 0, 0);
    } else {
        FreeDialTimer();
    }
}
