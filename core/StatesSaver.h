// When the state file is saved, and what happens when a save fails.
//
// A save follows each burst of log lines (5 s after its last line) and every operator command that
// changes the state; under steady traffic, where the log never rests for 5 s, a change is saved at the
// latest MaxSaveDelayMs after it was made. A failed save is tried again every RetryIntervalMs until one
// succeeds. Every failure is logged, with its count when they repeat; the error box comes once per run
// of failures, and for each failed save the operator asked for. While the state is not saved, Unsaved()
// is true and OnUnsavedChanged tells the main window, which shows it in the status bar.
//
// A file that could not be read at start (StatesNotLoaded) is never replaced without the operator's
// word: saves of their own accord skip it (the log says why, once), and a save the operator asked for
// asks first. Main thread only; form-free, so that the tests drive it on the fake clock.
//
// A save only starts the writing (core/StatesWriter writes on a thread of its own) and hears how it
// ended through Written; a save asked for while one is written follows it. The exits' saves wait for
// the writing, so that the program does not end before the file is replaced.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/Timer.h"

inline constexpr int MaxSaveDelayMs = 60'000;
inline constexpr int RetryIntervalMs = 5000;

enum TSaveCause {
    scIdle,       // the log rested for 5 s
    scMaxDelay,   // a change waited MaxSaveDelayMs
    scRetry,      // the save before failed
    scOperator,   // an operator command changed the state
    scExit,       // the exit the operator chose
    scSignalExit, // the exit a signal started: nobody may be at the desk, so no box
};

class TStatesSaver {
public:
    TStatesSaver();
    TStatesSaver(const TStatesSaver&) = delete;
    TStatesSaver& operator=(const TStatesSaver&) = delete;

    // Starts writing the file: true when a write was started, whose end comes to Written, at once or
    // later; false when none could be, the writer having logged why itself (no usable key, a state too
    // large): the same state would fail the same way, so it is not tried again.
    std::function<bool()> Write;
    // Blocks until the write under way has ended and Written has heard of it.
    std::function<void()> WaitWritten;
    std::function<void(const std::string& line)> PrintMessage; // Windows-1251; counts as no change
    std::function<void()> ShowWriteError;                      // brings the program up, shows the box
    // Asks whether the file that could not be read may be replaced; true on Yes.
    std::function<bool()> ConfirmReplaceUnread;
    std::function<void()> OnUnsavedChanged;

    // Something the state holds may have changed (a log line): saved within MaxSaveDelayMs.
    void Changed();
    // Saves now, or once the write under way has ended; an exit's save waits for its writing. True
    // when the file was replaced before it returned.
    bool Save(TSaveCause cause);
    // How the write that a save started ended: replaced, or not, with why (Windows-1251).
    void Written(bool ok, const std::string& problem);
    // No more saves of its own accord (after the exit's own save): from now on only an exit's or the
    // operator's save is written.
    void Stop();

    // The state is not saved: the last save failed, or a file not read keeps it from being saved.
    bool Unsaved() const { return failing_ || keptUnread_; }
    int Failures() const { return failures_; }
    // A write was started and has not ended yet.
    bool Writing() const { return writing_; }

    TTimer MaxDelayTimer, RetryTimer;

private:
    bool MayReplaceUnread(TSaveCause cause);
    bool Ended();
    void Succeeded();
    void Failed(TSaveCause cause, const std::string& problem);
    void SetUnsaved(bool failing, bool keptUnread);
    void Print(const std::string& line);

    bool stopped_ = false;
    bool saving_ = false;            // inside Save or a save's end (its box pumps events)
    bool writing_ = false;           // a write was started and has not ended
    TSaveCause writeCause_ = scIdle; // who asked for it
    bool writtenOk_ = false;         // how the last write ended
    std::string problem_;
    bool queued_ = false; // a save was asked for while it was written
    TSaveCause queuedCause_ = scIdle;
    bool failing_ = false;       // the last save failed
    bool boxShown_ = false;      // the box of this run of failures was shown
    bool keptUnread_ = false;    // a save was skipped to keep a file not read
    bool unreadLogged_ = false;  // and the log said why
    bool replaceAgreed_ = false; // the operator agreed to replace it
    int failures_ = 0;           // failed saves in a row
};
