#include "tests/gsm/GsmCycle.h"

#include "gsm/ModemForm.h"
#include "platform/ClockSource.h"
#include "tests/platform/TestSupport.h"

bool RunGsmCycle(TModemForm& window, TFakeClock& clock, const std::function<bool()>& done, int answerMs,
                 int maxSteps, const std::function<void()>& pump) {
    for (int step = 0; step < maxSteps; ++step) {
        if (pump)
            pump();
        if (done())
            return true;
        const bool waiting = window.ATCommandTimer.Enabled() && window.CommandIndex != cmdPause;
        if (waiting && PumpUntil([&] { return window.AnswerResult != arNone || done(); }, answerMs))
            continue;
        PumpFor(1);
        if (done())
            return true;
        if (waiting && window.ATCommandTimer.Enabled())
            clock.Advance(window.ATCommandTimer.Interval());
        else
            clock.Advance(100);
    }
    return done();
}
