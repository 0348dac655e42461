// Log lines of the sessions: through the main window's event log, in Windows-1251.
#pragma once

#include <cstdint>

#include <QString>

void SessionLog(const QString& text);
// " (object №n)", the object of a log line.
QString ObjectText(int objectNumber);
// Upper-case hexadecimal, zero-padded to width digits.
QString Hex(std::uint32_t value, int width);
