#include "core/EventLog.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <limits>
#include <tuple>

#include <QAbstractEventDispatcher>

#include <fcntl.h>
#include <unistd.h>

#include "core/DataFolder.h"
#include "core/Settings.h"
#include "platform/Clock.h"
#include "platform/SysError.h"

int EventLogHandle = -1;

namespace {

constexpr const char* LogExtension = ".txt";
constexpr const char* OldExtension = ".old";
constexpr std::int32_t DefaultLogSizeMB = 10;
constexpr std::size_t FlushBytes = 64 * 1024; // a burst larger than this goes out without waiting

// The log whose waiting lines an abort or a crash writes, and the actions those signals had before.
TEventLog* AbnormalEndLog = nullptr;
constexpr int AbnormalEndSignals[] = {SIGABRT, SIGSEGV, SIGBUS, SIGILL, SIGFPE};
struct sigaction SavedActions[std::size(AbnormalEndSignals)];
bool AbnormalEndHandled = false;

// Other programs may read the log while we append to it. A named pipe in its place is not waited for.
int OpenForAppend(const std::string& path, int extraFlags = 0) {
    return ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK | O_CLOEXEC | extraFlags, 0644);
}

// The count written; short (with errno set) when the disk is full or the file may grow no more.
std::size_t WriteAll(int handle, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(handle, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            break;
        }
        done += std::size_t(n);
    }
    return done;
}

bool EndsInCrLf(const std::string& text) {
    return text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0;
}

// Digits, dots, colons and blanks only, so Latin-1 is Windows-1251 here.
std::string Stamp(const char* format, TDateTime time) {
    return FormatDateTime(QString::fromLatin1(format), time).toStdString();
}

bool SameTime(const TDateTimeParts& a, const TDateTimeParts& b) {
    return std::tie(a.Year, a.Month, a.Day, a.Hour, a.Minute, a.Second, a.Msec) ==
           std::tie(b.Year, b.Month, b.Day, b.Hour, b.Minute, b.Second, b.Msec);
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
    SuspendTimer.SetOnTimer([this] {
        // Lines written since the timer started moved its moment on.
        if (const std::int64_t idle = MonotonicMs() - lastLineMs_; idle < SuspendIntervalMs)
            SuspendTimer.SetInterval(int(SuspendIntervalMs - idle));
        else
            SuspendTimerTimer();
    });
}

TEventLog::~TEventLog() {
    for (const QMetaObject::Connection& c : turnEnd_)
        QObject::disconnect(c);
    CloseLog();
    if (AbnormalEndLog == this)
        AbnormalEndLog = nullptr;
}

void TEventLog::FlushAtEndOfTurn() {
    if (!turnEnd_.empty())
        return;
    QAbstractEventDispatcher* loop = QAbstractEventDispatcher::instance();
    if (!loop)
        return; // no loop yet: the lines wait for the next call that finds one, or for 64 KB, or the close
    turnEnd_.push_back(QObject::connect(loop, &QAbstractEventDispatcher::aboutToBlock, [this] { Flush(); }));
    // Loops that never wait (a yield in a delay) still get their lines out after every pass.
    turnEnd_.push_back(QObject::connect(loop, &QAbstractEventDispatcher::awake, [this] { Flush(); }));
}

void TEventLog::Queue(std::string line, std::uint64_t lostCount) {
    if (pending_.empty())
        pending_.reserve(FlushBytes + 4096); // so that a crash never finds the buffer being moved
    pending_ += line;
    queued_.push_back({pending_.size(), lostCount});
}

void TEventLog::Flush() {
    if (pending_.empty())
        return;
    std::size_t written = 0;
    int error = EBADF;
    if (EventLogHandle >= 0)
        written = AppendWhole(
            EventLogHandle, pending_,
            [this](std::size_t part) {
                std::size_t kept = 0;
                for (const TQueued& q : queued_)
                    if (q.end <= part)
                        kept = q.end;
                return kept;
            },
            error);
    // Lines that did not make it are lost as single lines are: counted, and told by the next line.
    for (const TQueued& q : queued_) {
        if (q.end <= written)
            continue;
        if (q.lostCount > 0)
            lostLines_ += q.lostCount;
        else
            LoseLine(error);
    }
    pending_.clear();
    queued_.clear();
}

void TEventLog::WriteOnAbnormalEnd() {
    AbnormalEndLog = this;
    if (AbnormalEndHandled)
        return;
    AbnormalEndHandled = true;
    struct sigaction action {};
    action.sa_sigaction = AbnormalEnd;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    for (std::size_t i = 0; i < std::size(AbnormalEndSignals); ++i)
        ::sigaction(AbnormalEndSignals[i], &action, &SavedActions[i]);
}

// Only what is safe in a signal handler: the lines as they wait, in one write. The action the signal
// had before then takes over: a signal that was sent (abort, qFatal, std::terminate) is raised again,
// and a fault returns to its instruction, which faults again.
void TEventLog::AbnormalEnd(int signal, siginfo_t* info, void*) {
    if (TEventLog* log = AbnormalEndLog; log && EventLogHandle >= 0 && !log->pending_.empty()) {
        [[maybe_unused]] const ssize_t k =
            ::write(EventLogHandle, log->pending_.data(), log->pending_.size());
        log->queued_.clear();
        log->pending_.clear();
    }
    for (std::size_t i = 0; i < std::size(AbnormalEndSignals); ++i)
        if (AbnormalEndSignals[i] == signal)
            ::sigaction(signal, &SavedActions[i], nullptr);
    if (!info || info->si_code <= 0)
        ::raise(signal);
}

std::string TEventLog::PathOf(const std::string& baseName, const char* extension) {
    return AppDataFolder + baseName + extension;
}

bool TEventLog::OpenLog() {
    if (EventLogHandle < 0 && !AppDataFolder.empty()) {
        EventLogHandle = OpenForAppend(PathOf(EventLogBaseName, LogExtension));
        sizeHandle_ = -1; // measured afresh: the number may be the one of a file closed meanwhile
    }
    return EventLogHandle >= 0;
}

void TEventLog::CloseLog() {
    Flush();
    if (EventLogHandle >= 0)
        ::close(EventLogHandle);
    EventLogHandle = -1;
    sizeHandle_ = -1;
}

std::int32_t TEventLog::FileSize(int handle) {
    if (handle != sizeHandle_) {
        size_ = GetOpenFileSize(handle);
        sizeHandle_ = size_ >= 0 ? handle : -1;
    }
    return size_;
}

std::string TEventLog::Line(const std::string& text) {
    // The stamp is formatted once a second, however many lines share it.
    const TDateTime now = Now();
    TDateTimeParts second = DecodeDateTime(now);
    second.Msec = 0;
    if (stamp_.empty() || !SameTime(second, stampSecond_)) {
        stamp_ = Stamp(LogDateTimeFormat, now);
        stampSecond_ = second;
    }
    std::string line;
    line.reserve(stamp_.size() + text.size() + 2);
    line += stamp_;
    line += text;
    if (!EndsInCrLf(text))
        line += "\r\n";
    return line;
}

int TEventLog::Append(int handle, const std::string& line) {
    int error = 0;
    AppendWhole(
        handle, line, [](std::size_t) { return std::size_t(0); }, error);
    return error;
}

// The file holds whole lines only, so that a line the disk had no room for is taken back.
std::size_t TEventLog::AppendWhole(int handle, const std::string& lines,
                                   const std::function<std::size_t(std::size_t)>& wholeUpTo, int& error) {
    const std::int32_t before = FileSize(handle);
    std::size_t written = WriteAll(handle, lines);
    error = 0;
    if (written < lines.size()) {
        error = errno;
        const std::size_t kept = wholeUpTo(written);
        if (written > kept && (before < 0 || ::ftruncate(handle, off_t(before) + off_t(kept)) != 0))
            sizeHandle_ = -1;
        written = kept;
    }
    if (handle == sizeHandle_)
        size_ = std::int32_t(std::min<std::int64_t>(std::int64_t(size_) + std::int64_t(written),
                                                    std::numeric_limits<std::int32_t>::max()));
    return written;
}

void TEventLog::PrintMessage(const std::string& text) {
    // The idle timer fires 5 s after the last line. A line while it runs only moves that moment on;
    // the timer waits out the rest when it comes (restarting it for every line costs more than the
    // line's own formatting).
    lastLineMs_ = MonotonicMs();
    if (!SuspendTimer.Enabled()) {
        SuspendTimer.SetInterval(SuspendIntervalMs);
        SuspendTimer.SetEnabled(true);
    }

    const bool noLogging = AppSettings && AppSettings->NoLogging != 0;
    if (noLogging || AppDataFolder.empty())
        return;
    if (!OpenLog()) {
        LoseLine(errno);
        return;
    }
    FlushAtEndOfTurn();
    // The lines lost while there was no room or no file are told once, by the first line that fits again.
    if (lostLines_ > 0) {
        Queue(Line("CH: " + std::to_string(lostLines_) + " log lines lost - " + lostReason_), lostLines_);
        lostLines_ = 0;
    }
    Queue(Line(text));
    // The file is rotated after the same line as if every line went out at once.
    const std::int32_t limit = LogSizeLimit(AppSettings ? AppSettings->LogSizeMB : DefaultLogSizeMB);
    const std::int32_t size = FileSize(EventLogHandle);
    if (pending_.size() >= FlushBytes || size < 0 ||
        std::int64_t(size) + std::int64_t(pending_.size()) > limit)
        CheckLogChange(EventLogHandle, EventLogBaseName, limit);
}

void TEventLog::LoseLine(int error) {
    if (lostLines_++ > 0)
        return;
    // The log cannot tell it now: standard error does, once.
    lostReason_ = SysErrorMessage(error);
    std::fprintf(stderr, "router: %s: lines are lost: %s\n", PathOf(EventLogBaseName, LogExtension).c_str(),
                 lostReason_.c_str());
}

void TEventLog::CheckLogChange(int& handle, const std::string& baseName, std::int32_t limit) {
    if (handle == EventLogHandle)
        Flush();
    if (handle < 0 || FileSize(handle) <= limit)
        return;
    ::close(handle);
    handle = -1;
    sizeHandle_ = -1;
    const std::string current = PathOf(baseName, LogExtension);
    const std::string old = PathOf(baseName, OldExtension);
    ::unlink(old.c_str());
    if (std::rename(current.c_str(), old.c_str()) == 0) {
        handle = OpenForAppend(current);
        return;
    }
    // The generation that cannot be moved is dropped, so that the log still keeps to its size.
    const std::string reason = SysErrorMessage(errno);
    handle = OpenForAppend(current, O_TRUNC);
    if (handle >= 0)
        Append(handle, Line("CH: " + baseName + OldExtension + " cannot be replaced - " + reason + "; " +
                            baseName + LogExtension + " starts over"));
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
    line += Stamp(LongTimeFormat, Now());
    line += "  ";
    line += text;
    OnStatus(line);
}
