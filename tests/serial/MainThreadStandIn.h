// The main thread of a test program without Qt: a stand-in for platform/Messages.h and SafeYield.
//
// Posted and sent messages queue up until the test's thread (the "main thread": the one that ran
// the program's static initialisation) runs them with SafeYield, one message per call.
#pragma once

#include <functional>

// Runs SafeYield until done() holds or timeoutMs of real time have passed; returns done().
bool PumpUntil(const std::function<bool()>& done, int timeoutMs = 5000);
// Queues the quit message, as the program's end would.
void PostQuitMessage();
// Drops every queued message (the quit included).
void ClearMessages();
