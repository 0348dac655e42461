#include "core/EventLog.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <limits>

#include <fcntl.h>
#include <unistd.h>

#include "core/DataFolder.h"
#include "core/Settings.h"
#include "platform/Clock.h"

int EventLogHandle = -1;

namespace {

constexpr const char* LogExtension = ".txt";
constexpr const char* OldExtension = ".old";
constexpr std::int32_t DefaultLogSizeMB = 10;

// Other programs may read the log while we append to it.
int OpenForAppend(const std::string& path) {
    return ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}

void WriteAll(int handle, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(handle, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += std::size_t(n);
    }
}

bool EndsInCrLf(const std::string& text) {
    return text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0;
}

// Digits, dots, colons and blanks only, so Latin-1 is Windows-1251 here.
std::string Stamp(const char* format) {
    return FormatDateTime(QString::fromLatin1(format), Now()).toStdString();
}

} // namespace

std::int32_t GetOpenFileSize(int handle) {
    const off_t position = ::lseek(handle, 0, SEEK_CUR);
    if (position < 0)
        return -1;
    const off_t end = ::lseek(handle, 0, SEEK_END);
    if (::lseek(handle, position, SEEK_SET) < 0 || end < 0)
        return -1;
    // A file beyond 2 GB still counts as larger than any limit.
    return std::int32_t(std::min<off_t>(end, std::numeric_limits<std::int32_t>::max()));
}

std::int32_t LogSizeLimit(std::int32_t logSizeMB) {
    return std::clamp(logSizeMB, MinLogSizeMB, MaxLogSizeMB) << 20;
}

TEventLog::TEventLog() {
    SuspendTimer.SetEnabled(false);
    SuspendTimer.SetInterval(SuspendIntervalMs);
    SuspendTimer.SetOnTimer([this] { SuspendTimerTimer(); });
}

TEventLog::~TEventLog() {
    CloseLog();
}

std::string TEventLog::PathOf(const std::string& baseName, const char* extension) {
    return AppDataFolder + baseName + extension;
}

bool TEventLog::OpenLog() {
    if (EventLogHandle < 0 && !AppDataFolder.empty())
        EventLogHandle = OpenForAppend(PathOf(EventLogBaseName, LogExtension));
    return EventLogHandle >= 0;
}

void TEventLog::CloseLog() {
    if (EventLogHandle >= 0)
        ::close(EventLogHandle);
    EventLogHandle = -1;
}

void TEventLog::PrintMessage(const std::string& text) {
    SuspendTimer.SetEnabled(false);
    SuspendTimer.SetInterval(SuspendIntervalMs);
    SuspendTimer.SetEnabled(true);

    const bool noLogging = AppSettings && AppSettings->NoLogging != 0;
    if (noLogging || !OpenLog())
        return;
    std::string line = Stamp(LogDateTimeFormat) + text;
    if (!EndsInCrLf(text))
        line += "\r\n";
    WriteAll(EventLogHandle, line);
    CheckLogChange(EventLogHandle, EventLogBaseName,
                   LogSizeLimit(AppSettings ? AppSettings->LogSizeMB : DefaultLogSizeMB));
}

void TEventLog::CheckLogChange(int& handle, const std::string& baseName, std::int32_t limit) {
    if (handle < 0 || GetOpenFileSize(handle) <= limit)
        return;
    ::close(handle);
    handle = -1;
    const std::string current = PathOf(baseName, LogExtension);
    const std::string old = PathOf(baseName, OldExtension);
    ::unlink(old.c_str());
    // When the move fails the log stays closed; the next line reopens the large file and tries again.
    if (std::rename(current.c_str(), old.c_str()) == 0)
        handle = OpenForAppend(current);
}

void TEventLog::SuspendTimerTimer() {
    if (EventLogHandle >= 0) {
        PrintMessage("CH: suspending logging");
        CloseLog();
    }
    SuspendTimer.SetEnabled(false);
    if (OnSuspended)
        OnSuspended();
}

void TEventLog::StatusMessage(const std::string& text) {
    if (!OnStatus)
        return;
    std::string line(" ");
    line += Stamp(LongTimeFormat);
    line += "  ";
    line += text;
    OnStatus(line);
}
