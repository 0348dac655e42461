// The state file's writing as the tests of its writer and of the exit hold it: while held, a write
// waits until released, and with fail set it fails with ENOSPC.
#pragma once

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "core/StatesFileOps.h"

class THeldOps : public TStatesFileOps {
public:
    bool fail = false;

    void Hold() {
        const std::lock_guard lock(mutex_);
        held_ = true;
    }
    void Release() {
        {
            const std::lock_guard lock(mutex_);
            held_ = false;
        }
        released_.notify_all();
    }
    // Waits, with a bound, until a write waits on the hold.
    bool WaitUntilHeld() {
        std::unique_lock lock(mutex_);
        return waitingWriter_.wait_for(lock, std::chrono::seconds(10), [this] { return writerHeld_; });
    }

protected:
    ssize_t WriteSome(int fd, const uint8_t* data, size_t n) override {
        {
            std::unique_lock lock(mutex_);
            writerHeld_ = held_;
            waitingWriter_.notify_all();
            released_.wait(lock, [this] { return !held_; });
            writerHeld_ = false;
            if (fail) {
                errno = ENOSPC;
                return -1;
            }
        }
        return TStatesFileOps::WriteSome(fd, data, n);
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable released_, waitingWriter_;
    bool held_ = false, writerHeld_ = false;
};
