// Writes snapshots of the state file on a thread of its own, so that a save costs the main thread only
// the taking of its snapshot: the encryption, the writing, the flush to disk and the rename (through a
// temporary file, so that a kill at any point leaves the previous file or the new one) run there.
//
// Snapshots are written one at a time in the order given; one given while another waits replaces it,
// since only the newest state is worth writing. How each write ended is handed to OnWritten on the
// thread that made the writer (the main thread), through its event loop, or at once by Wait. The
// destructor writes what waits and stops the thread.
#pragma once

#include "core/StateFile.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

#include <QObject>

class TStatesWriter {
public:
    explicit TStatesWriter(TStatesFileOps& ops = StatesFileOps());
    ~TStatesWriter();
    TStatesWriter(const TStatesWriter&) = delete;
    TStatesWriter& operator=(const TStatesWriter&) = delete;

    std::function<void(const TStatesWritten&)> OnWritten;

    void Write(TStatesSnapshot snapshot);
    // Blocks until nothing is written or waits to be, then hands the ends not yet handed to OnWritten.
    void Wait();
    // A snapshot is being written or waits to be.
    bool Busy() const;
    // The file operations of the writes to come (tests make them fail or wait).
    void UseFileOps(TStatesFileOps& ops);

private:
    void Run();
    void Deliver();

    TStatesFileOps* ops_;
    QObject context_; // delivers on the thread that made the writer
    mutable std::mutex mutex_;
    std::condition_variable wake_, idle_;
    std::optional<TStatesSnapshot> waiting_;
    bool writing_ = false;
    bool stopping_ = false;
    std::deque<TStatesWritten> ended_;
    std::thread thread_; // last: started once the rest is there
};
