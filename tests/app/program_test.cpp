// The router program itself, started as a user starts it.
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

// The soft limit of open files of a running process, -1 when it cannot be read.
long SoftFileLimit(pid_t pid) {
    std::ifstream limits("/proc/" + std::to_string(pid) + "/limits");
    for (std::string line; std::getline(limits, line);)
        if (line.rfind("Max open files", 0) == 0)
            return std::strtol(line.c_str() + 14, nullptr, 10);
    return -1;
}

TEST(Program, RaisesItsSoftLimitOfOpenFilesToTheHardOneAtStart) {
    rlimit files{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &files), 0);
    if (files.rlim_max <= 256)
        GTEST_SKIP() << "the hard limit of open files is " << files.rlim_max;
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("router-program-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    const pid_t router = ::fork();
    if (router == 0) {
        rlimit low = files;
        low.rlim_cur = 256;
        setrlimit(RLIMIT_NOFILE, &low);
        ::setenv("XDG_DATA_HOME", folder.c_str(), 1);
        ::setenv("XDG_RUNTIME_DIR", folder.c_str(), 1);
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        ::execl(ROUTER_PROGRAM, ROUTER_PROGRAM, nullptr);
        ::_exit(127);
    }
    ASSERT_GT(router, 0);
    long soft = -1;
    for (int i = 0; i < 1000 && soft != long(files.rlim_max); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (::waitpid(router, nullptr, WNOHANG) == router)
            break;
        soft = SoftFileLimit(router);
    }
    ::kill(router, SIGKILL);
    ::waitpid(router, nullptr, 0);
    std::filesystem::remove_all(folder);
    EXPECT_EQ(soft, long(files.rlim_max));
}

} // namespace
