// Warnings of the platform layer (telephony lines and their configuration, the registry store): what
// it could not use and went on without. Each goes to standard error and, once the program has named
// one, to its sink (the event log), which gets it on the main thread. Any thread.
#pragma once

#include <functional>

#include <QString>

void PlatformWarning(const QString& text);

// Where warnings go beside standard error; an empty function takes the sink away again.
void SetPlatformWarningSink(std::function<void(const QString&)> sink);
