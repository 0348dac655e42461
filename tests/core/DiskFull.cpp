#include "tests/core/DiskFull.h"

#include <gtest/gtest.h>

TDiskFull::TDiskFull(std::uint64_t roomBytes) {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    EXPECT_EQ(::sigaction(SIGXFSZ, &ignore, &savedAction_), 0);
    EXPECT_EQ(::getrlimit(RLIMIT_FSIZE, &saved_), 0);
    rlimit limit = saved_;
    limit.rlim_cur = rlim_t(roomBytes);
    EXPECT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
}

TDiskFull::~TDiskFull() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    ::sigaction(SIGXFSZ, &savedAction_, nullptr);
}
