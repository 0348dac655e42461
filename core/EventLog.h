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
#pragma once

#include <cstdint>
#include <functional>
#include <string>

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
    // Closes the log; EventLogHandle becomes -1.
    void CloseLog();

private:
    static std::string PathOf(const std::string& baseName, const char* extension);
    // The size of the file open in handle: measured once, then counted as lines are appended.
    std::int32_t FileSize(int handle);
    // The text stamped with the date and time, with its line end.
    std::string Line(const std::string& text);
    // Appends a whole line, or nothing of it: 0, or the error that kept it out.
    int Append(int handle, const std::string& line);
    // Counts a line the log could not take, for the error given; the first of a run is told on stderr.
    void LoseLine(int error);

    int sizeHandle_ = -1; // the handle whose size size_ holds
    std::int32_t size_ = 0;
    std::uint64_t lostLines_ = 0; // lines lost since the last one written
    std::string stamp_;           // the stamp of the second stampSecond_
    TDateTimeParts stampSecond_;
    std::string lostReason_;
    std::int64_t lastLineMs_ = 0; // monotonic
};
