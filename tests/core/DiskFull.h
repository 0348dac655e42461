// A full disk for the tests of the state file and the event log: while a TDiskFull lives, no file of
// this process grows beyond the given size (RLIMIT_FSIZE, with SIGXFSZ ignored so that a write beyond
// it fails with EFBIG instead of ending the process), as when the disk has no more room.
#pragma once

#include <csignal>
#include <cstdint>

#include <sys/resource.h>

class TDiskFull {
public:
    explicit TDiskFull(std::uint64_t roomBytes);
    ~TDiskFull();
    TDiskFull(const TDiskFull&) = delete;
    TDiskFull& operator=(const TDiskFull&) = delete;

private:
    rlimit saved_{};
    struct sigaction savedAction_ {};
};
