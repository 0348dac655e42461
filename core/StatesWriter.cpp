#include "core/StatesWriter.h"

#include <utility>

TStatesWriter::TStatesWriter(TStatesFileOps& ops) : ops_(&ops), thread_([this] { Run(); }) {}

TStatesWriter::~TStatesWriter() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    thread_.join();
}

void TStatesWriter::Write(TStatesSnapshot snapshot) {
    {
        const std::lock_guard lock(mutex_);
        waiting_ = std::move(snapshot);
    }
    wake_.notify_one();
}

void TStatesWriter::Wait() {
    {
        std::unique_lock lock(mutex_);
        idle_.wait(lock, [this] { return !writing_ && !waiting_; });
    }
    Deliver();
}

bool TStatesWriter::Busy() const {
    const std::lock_guard lock(mutex_);
    return writing_ || waiting_;
}

void TStatesWriter::UseFileOps(TStatesFileOps& ops) {
    const std::lock_guard lock(mutex_);
    ops_ = &ops;
}

void TStatesWriter::Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || waiting_; });
        if (!waiting_)
            return; // stopping, and nothing left to write
        TStatesSnapshot snapshot = std::move(*waiting_);
        waiting_.reset();
        writing_ = true;
        TStatesFileOps& ops = *ops_;
        lock.unlock();
        const TStatesWritten written = WriteStatesSnapshot(snapshot, ops);
        snapshot = {}; // its memory goes here, not on the main thread
        lock.lock();
        writing_ = false;
        ended_.push_back(written);
        QMetaObject::invokeMethod(
            &context_, [this] { Deliver(); }, Qt::QueuedConnection);
        if (!waiting_)
            idle_.notify_all();
    }
}

void TStatesWriter::Deliver() {
    std::deque<TStatesWritten> ended;
    {
        const std::lock_guard lock(mutex_);
        ended.swap(ended_);
    }
    for (const TStatesWritten& written : ended)
        if (OnWritten)
            OnWritten(written);
}
