#include "tests/core/EventLogLines.h"

#include "core/EventLog.h"
#include "platform/Cp1251.h"
#include "tests/core/TempFolder.h"

QStringList EventLogLines(const std::string& path, TEventLog* log) {
    if (log)
        log->Flush();
    QStringList lines = FromCp1251(ReadFile(path)).split(QStringLiteral("\r\n"));
    if (!lines.isEmpty() && lines.back().isEmpty())
        lines.pop_back();
    for (QString& line : lines)
        line.remove(0, 15); // "dd.mm hh:nn:ss "
    return lines;
}
