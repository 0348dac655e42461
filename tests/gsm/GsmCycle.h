// Drives the GSM modem window's AT cycle in a test with a fake clock and a modem that answers in real
// time.
#pragma once

#include <functional>

class TFakeClock;
class TModemForm;

namespace gsmsim {
class GsmSim;
}

// Pulls the modem's cable and waits until the window's port has seen the loss, so that the fake clock
// moves on only after it: else a command written meanwhile fails first. False when the loss was not
// seen in time. The boxes the loss shows are expected before the call.
bool PullCable(gsmsim::GsmSim& modem, const TModemForm& window);

// Runs the cycle until done() holds. While a command waits for its answer the modem serves it in real
// time; once the modem has settled on it and the window has taken all it sent, and no answer came,
// the fake clock jumps to the time-out. answerMs of real time is the most a command waits for that,
// against a modem that hangs. In the gaps between commands the fake clock moves in steps of 100 ms.
// pump (when set) runs once per step, for peers the test serves itself. False after maxSteps steps, or
// once limitMs of real time have passed: a cycle that keeps waiting out answerMs fails instead of
// hanging the test.
bool RunGsmCycle(TModemForm& window, TFakeClock& clock, const gsmsim::GsmSim& modem,
                 const std::function<bool()>& done, int answerMs = 3000, int maxSteps = 3000,
                 const std::function<void()>& pump = {}, int limitMs = 60000);
