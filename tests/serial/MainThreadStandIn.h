// The main thread of a test program without Qt: a stand-in for platform/Messages.h, SafeYield, the
// application's error box and the COM port selection dialog.
//
// Posted and sent messages queue up until the test's thread (the "main thread": the one that ran
// the program's static initialisation) runs them with SafeYield, one message per call.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

class TSioBaseDispatcher;

// Runs SafeYield until done() holds or timeoutMs of real time have passed; returns done().
bool PumpUntil(const std::function<bool()>& done, int timeoutMs = 5000);
// Runs messages until one posted now has run, so that every message queued before it has run (or,
// sent by a thread that stopped waiting, was dropped); false when it did not within timeoutMs.
bool PumpQueued(int timeoutMs = 5000);
// Runs messages until the dispatcher's thread has made two whole passes since the call and what they
// queued has run, so that a test can show that nothing more comes.
bool PumpPasses(const TSioBaseDispatcher& dispatcher);
// Queues the quit message, as the program's end would.
void PostQuitMessage();
// Drops every queued message (the quit included); a thread that sent one stops waiting for it.
void ClearMessages();

// The messages of the exceptions handed to the application's error box since the last call.
std::vector<std::string> TakeShownErrors();
// What the COM port selection dialog answers from now on: a port number, or nothing (Cancel).
void AnswerComPortPrompt(std::optional<std::uint16_t> answer);
int ComPortPrompts(); // how often it was shown
