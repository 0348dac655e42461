// The event log as the tests read it.
#pragma once

#include <string>

#include <QStringList>

class TEventLog;

// The lines of the log file at path, without their time stamps. The lines of the event loop's turn
// that the log (when given) still holds are written first.
QStringList EventLogLines(const std::string& path, TEventLog* log = nullptr);
