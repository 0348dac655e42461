#include "core/StatesSaver.h"

#include <utility>

#include <QScopedValueRollback>

#include "core/StateFile.h"

namespace {

const char* const WriteErrorLine = "CH: States.bin writing error - ";
const char* const KeptUnreadLine =
    "CH: States.bin is not written - it could not be read at start and is kept";
const char* const ReplacedUnreadLine =
    "CH: States.bin that could not be read at start is replaced at the operator's word";
const char* const RefusedUnreadLine =
    "CH: States.bin is not written - the operator keeps the file that could not be read at start";

bool IsExit(TSaveCause cause) {
    return cause == scExit || cause == scSignalExit;
}

} // namespace

TStatesSaver::TStatesSaver() {
    MaxDelayTimer.SetEnabled(false);
    MaxDelayTimer.SetInterval(MaxSaveDelayMs);
    MaxDelayTimer.SetOnTimer([this] { Save(scMaxDelay); });
    RetryTimer.SetEnabled(false);
    RetryTimer.SetInterval(RetryIntervalMs);
    RetryTimer.SetOnTimer([this] { Save(scRetry); });
}

void TStatesSaver::Changed() {
    // The first change since the last save starts the count; later ones do not move it on.
    if (!MaxDelayTimer.Enabled())
        MaxDelayTimer.SetEnabled(true);
}

bool TStatesSaver::Save(TSaveCause cause) {
    if (saving_)
        return false; // a nested loop of the save's own box: the retry comes after it
    const bool exit = IsExit(cause);
    if (stopped_ && !exit && cause != scOperator)
        return false;
    if (writing_ && exit && WaitWritten) {
        // The write under way ends first, as part of the exit: nothing is retried, nobody asked.
        queued_ = false;
        writeCause_ = cause;
        WaitWritten();
    }
    if (writing_) {
        // Its end starts this save; the operator's command keeps its box.
        queuedCause_ = queued_ && queuedCause_ == scOperator ? scOperator : cause;
        queued_ = true;
        return false;
    }
    const QScopedValueRollback busy(saving_, true);
    if (StatesNotLoaded && !MayReplaceUnread(cause))
        return false;
    // Lines logged while saving are changes after this save.
    MaxDelayTimer.SetEnabled(false);
    writeCause_ = cause;
    writing_ = true;
    if (!Write || !Write()) {
        writing_ = false;
        Failed(cause, {});
        return false;
    }
    if (writing_ && exit && WaitWritten)
        WaitWritten();
    return !writing_ && Ended(); // a write that ended meanwhile had its end wait for this
}

void TStatesSaver::Written(bool ok, const std::string& problem) {
    if (!writing_)
        return; // no write of this saver's
    writing_ = false;
    writtenOk_ = ok;
    problem_ = problem;
    if (saving_)
        return; // its Save waits for it and goes on
    {
        const QScopedValueRollback busy(saving_, true);
        Ended();
    }
    if (std::exchange(queued_, false))
        Save(queuedCause_);
}

bool TStatesSaver::Ended() {
    if (writtenOk_) {
        Succeeded();
        return true;
    }
    Failed(writeCause_, problem_);
    return false;
}

void TStatesSaver::Stop() {
    stopped_ = true;
    MaxDelayTimer.SetEnabled(false);
    RetryTimer.SetEnabled(false);
    queued_ = false;
}

bool TStatesSaver::MayReplaceUnread(TSaveCause cause) {
    if (replaceAgreed_)
        return true;
    if (cause == scOperator) {
        if (ConfirmReplaceUnread && ConfirmReplaceUnread()) {
            Print(ReplacedUnreadLine);
            replaceAgreed_ = true;
            return true;
        }
        Print(RefusedUnreadLine);
    } else if (!IsExit(cause) && !std::exchange(unreadLogged_, true)) {
        Print(KeptUnreadLine);
    }
    SetUnsaved(failing_, true);
    return false;
}

void TStatesSaver::Succeeded() {
    RetryTimer.SetEnabled(false);
    if (failures_ > 0)
        Print("CH: States.bin is written again after " + std::to_string(failures_) + " failed saves");
    failures_ = 0;
    boxShown_ = false;
    StatesNotLoaded = false; // the file is this run's own now
    SetUnsaved(false, false);
}

void TStatesSaver::Failed(TSaveCause cause, const std::string& problem) {
    ++failures_;
    SetUnsaved(true, keptUnread_);
    if (problem.empty())
        return; // logged by the writer; the same state would fail the same way
    // The next try comes a whole interval after this one, whatever started it; it is armed before the
    // box, whose loop runs the timers.
    RetryTimer.SetEnabled(false);
    if (!IsExit(cause))
        RetryTimer.SetEnabled(true);
    std::string line = WriteErrorLine + problem;
    if (failures_ > 1)
        line += " (" + std::to_string(failures_) + " failures in a row)";
    Print(line);
    // The operator who asked for the save hears of its failure; otherwise once per run of failures.
    const bool box = cause == scOperator || (cause != scSignalExit && !boxShown_);
    if (box && ShowWriteError) {
        boxShown_ = true;
        ShowWriteError();
    }
}

void TStatesSaver::SetUnsaved(bool failing, bool keptUnread) {
    const bool before = Unsaved();
    failing_ = failing;
    keptUnread_ = keptUnread;
    if (Unsaved() != before && OnUnsavedChanged)
        OnUnsavedChanged();
}

void TStatesSaver::Print(const std::string& line) {
    if (PrintMessage)
        PrintMessage(line);
}
