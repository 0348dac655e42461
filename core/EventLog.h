// The event log: "EventLog.txt" in the data folder AppDataFolder, one older generation as "EventLog.old", and
// the short status text of the main window's status bar.
//
// Every line is "dd.mm hh:nn:ss " (local time), the caller's text in Windows-1251, and CR LF unless the
// text already ends in CR LF. The file is opened by the first line of a burst and closed by the idle
// timer 5 s after the last one, which then lets the main window save the state file. A line written
// while the log is closed reopens it. A line the disk has no room for, or that comes while the file
// cannot be opened, is lost whole; the loss is told once on standard error and, as a count, by the
// first line that fits again. A log whose older
// generation cannot be replaced starts over, so that it still keeps to its size. The size of the open
// file is kept between lines; open and close the log through OpenLog and CloseLog. Main thread only;
// no failure is shown to the operator.
//
// The lines of one turn of the event loop wait in memory and go to the file together when the loop
// is about to wait again (at a thousand modems one write per line was most of the program's system
// time). They are written at once when they reach 64 KB, before the file is rotated or closed, and
// when the log is destroyed; WriteOnAbnormalEnd writes them before an abort or a crash.
#pragma once

#include <csignal>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <QMetaObject>

#include "platform/Clock.h"
#include "platform/Timer.h"

// The open log file, -1 while the log is closed.
extern int EventLogHandle;

inline constexpr const char* EventLogBaseName = "EventLog";
inline constexpr int SuspendIntervalMs = 5000;
inline constexpr int MinLogSizeMB = 1;
inline constexpr int MaxLogSizeMB = 99;

// Size of an open file, found by seeking to its end and back to where it was; -1 when seeking fails.
std::int32_t GetOpenFileSize(int handle);

// The rotation limit in bytes for a size setting, which is clamped to 1-99 MB.
std::int32_t LogSizeLimit(std::int32_t logSizeMB);

class TEventLog {
public:
    TEventLog();
    ~TEventLog(); // closes the log
    TEventLog(const TEventLog&) = delete;
    TEventLog& operator=(const TEventLog&) = delete;

    // Idle timer: disabled at start; it fires 5000 ms after the last line.
    TTimer SuspendTimer;
    // Run when the idle timer has closed the log: the main window writes the state file there
    // (unless the state file failed to load).
    std::function<void()> OnSuspended;
    // Shows a status text (Windows-1251) in panel 4 of the status bar and repaints it.
    std::function<void(const std::string&)> OnStatus;

    // Writes one line; uses AppSettings' NoLogging and LogSizeMB.
    void PrintMessage(const std::string& text);
    // Moves AppDataFolder + base + ".txt" to ".old" when the open handle's file is larger than limit bytes,
    // and starts a new file in handle. handle is -1 while no file could be opened.
    void CheckLogChange(int& handle, const std::string& baseName, std::int32_t limit);
    void SuspendTimerTimer();
    // " " + the local time (long time format) + two blanks + text, through OnStatus.
    void StatusMessage(const std::string& text);

    // Opens "EventLog.txt" (created when missing) for appending into EventLogHandle, unless it is open;
    // true when the log is open. Nothing is opened while AppDataFolder is still empty.
    bool OpenLog();
    // Writes the lines waiting, then closes the log; EventLogHandle becomes -1.
    void CloseLog();
    // Writes the lines waiting for the end of the loop's turn.
    void Flush();
    // From now on an abort (qFatal, std::terminate) or a crash of the process first writes what waits
    // in this log. One log of the process at a time; its destruction ends it.
    void WriteOnAbnormalEnd();

private:
    static std::string PathOf(const std::string& baseName, const char* extension);
    // The size of the file open in handle: measured once, then counted as lines are appended.
    std::int32_t FileSize(int handle);
    // The text stamped with the date and time, with its line end.
    std::string Line(const std::string& text);
    // Appends a whole line, or nothing of it: 0, or the error that kept it out.
    int Append(int handle, const std::string& line);
    // Appends the lines; when the disk takes only a part, what wholeUpTo(written) gives of it stays
    // (the whole lines in it) and the rest of a line is taken back. The bytes kept; error is 0, or
    // the error of a write cut short.
    std::size_t AppendWhole(int handle, const std::string& lines,
                            const std::function<std::size_t(std::size_t)>& wholeUpTo, int& error);
    // Queues a line for the next Flush; lostCount > 0 marks the line telling that many lost lines.
    void Queue(std::string line, std::uint64_t lostCount = 0);
    // Flush runs when the event loop is about to wait, or after it waited.
    void FlushAtEndOfTurn();
    // The handler of an abort or a crash.
    static void AbnormalEnd(int signal, siginfo_t* info, void* context);
    // Counts a line the log could not take, for the error given; the first of a run is told on stderr.
    void LoseLine(int error);

    int sizeHandle_ = -1; // the handle whose size size_ holds
    std::int32_t size_ = 0;
    std::uint64_t lostLines_ = 0; // lines lost since the last one written
    std::string stamp_;           // the stamp of the second stampSecond_
    TDateTimeParts stampSecond_;
    std::string lostReason_;
    std::int64_t lastLineMs_ = 0; // monotonic

    // The lines waiting, and where each ends in pending_ with the count it tells when it is the loss line.
    struct TQueued {
        std::size_t end;
        std::uint64_t lostCount;
    };
    std::string pending_;
    std::vector<TQueued> queued_;
    std::vector<QMetaObject::Connection> turnEnd_;
};
