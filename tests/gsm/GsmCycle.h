// Drives the GSM modem window's AT cycle in a test with a fake clock and a modem that answers in real
// time.
#pragma once

#include <functional>

class TFakeClock;
class TModemForm;

// Runs the cycle until done() holds. While a command waits for its answer the modem gets up to answerMs
// of real time; when no answer came by then the fake clock jumps to the time-out. In the gaps between
// commands the fake clock moves in steps of 100 ms. pump (when set) runs once per step, for peers the
// test serves itself. False after maxSteps steps.
bool RunGsmCycle(TModemForm& window, TFakeClock& clock, const std::function<bool()>& done,
                 int answerMs = 3000, int maxSteps = 3000, const std::function<void()>& pump = {});
