#include "tests/gsm/GsmCycle.h"

#include <chrono>

#include <gtest/gtest.h>

#include "gsm/ModemForm.h"
#include "platform/ClockSource.h"
#include "serial/ComPort.h"
#include "tests/platform/TestSupport.h"
#include "tools/gsm-sim/GsmSim.h"

namespace {

// The command is out, the modem has settled on it and the window has taken all the modem sent since:
// nothing more is on its way. In that order, so that each holds once the one before it has.
bool NothingMoreComes(TModemForm& window, const gsmsim::GsmSim& modem) {
    if (window.SioComPort1->OutBuffUsed() != 0)
        return false;
    const std::optional<std::string> sent = modem.Settled();
    // While the window waits, every byte it takes goes to its answer buffer; what came before the
    // command was written may stand before the modem's.
    return sent && window.AnswerBuffer.ends_with(*sent);
}

} // namespace

bool PullCable(gsmsim::GsmSim& modem, const TModemForm& window) {
    modem.PullCable();
    return PumpUntil([&] { return !window.SioComPort1->Open(); });
}

bool RunGsmCycle(TModemForm& window, TFakeClock& clock, const gsmsim::GsmSim& modem,
                 const std::function<bool()>& done, int answerMs, int maxSteps,
                 const std::function<void()>& pump, int limitMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    // An answer came, the window stopped waiting (its port closed) or the test has what it waits for.
    const auto over = [&] {
        return window.AnswerResult != arNone || !window.ATCommandTimer.Enabled() || done();
    };
    for (int step = 0; step < maxSteps && std::chrono::steady_clock::now() < deadline; ++step) {
        if (pump)
            pump();
        if (done())
            return true;
        const bool waiting = window.ATCommandTimer.Enabled() && window.CommandIndex != cmdPause;
        if (waiting) {
            PumpUntil([&] { return over() || NothingMoreComes(window, modem); }, answerMs);
            if (over())
                continue;
        }
        EXPECT_TRUE(PumpIdle());
        if (done())
            return true;
        if (waiting && window.ATCommandTimer.Enabled())
            clock.Advance(window.ATCommandTimer.Interval());
        else
            clock.Advance(100);
    }
    return done();
}
