#include "tests/serial/SerialTestSupport.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

extern char** environ;

namespace {

int RemainingMs(std::chrono::steady_clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? int(left.count()) : 0;
}

} // namespace

std::vector<std::uint8_t> Bytes(const std::string& text) {
    return {text.begin(), text.end()};
}

TComFolder::TComFolder() {
    char pattern[] = "/tmp/serial-test-XXXXXX";
    root_ = mkdtemp(pattern);
    std::filesystem::create_directories(root_ + "/com");
    if (const char* old = std::getenv("XDG_DATA_HOME")) {
        hadDataHome_ = true;
        savedDataHome_ = old;
    }
    setenv("XDG_DATA_HOME", root_.c_str(), 1);
}

TComFolder::~TComFolder() {
    if (hadDataHome_)
        setenv("XDG_DATA_HOME", savedDataHome_.c_str(), 1);
    else
        unsetenv("XDG_DATA_HOME");
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
}

void TComFolder::Map(std::uint32_t n, const std::string& device) {
    const std::string entry = root_ + "/com/COM" + std::to_string(n);
    unlink(entry.c_str());
    ASSERT_EQ(symlink(device.c_str(), entry.c_str()), 0) << entry;
}

void TComFolder::Unmap(std::uint32_t n) {
    unlink((root_ + "/com/COM" + std::to_string(n)).c_str());
}

TPtyPair::TPtyPair() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
        ADD_FAILURE() << "no pseudo-terminal";
        return;
    }
    char name[PATH_MAX];
    ptsname_r(master_, name, sizeof name);
    slave_ = name;
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
}

TPtyPair::~TPtyPair() {
    CloseMaster();
}

termios TPtyPair::SlaveSettings() const {
    termios t{};
    tcgetattr(master_, &t); // a master reports its slave's settings
    return t;
}

void TPtyPair::CloseMaster() {
    if (master_ >= 0)
        close(master_);
    master_ = -1;
}

void TPtyPair::Write(const std::vector<std::uint8_t>& bytes) {
    std::size_t done = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (done < bytes.size() && RemainingMs(deadline) > 0) {
        const ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += std::size_t(n);
            continue;
        }
        pollfd out{master_, POLLOUT, 0};
        poll(&out, 1, 10);
    }
    EXPECT_EQ(done, bytes.size());
}

std::vector<std::uint8_t> TPtyPair::Read(std::size_t count, int timeoutMs) {
    std::vector<std::uint8_t> bytes;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (bytes.size() < count) {
        pollfd in{master_, POLLIN, 0};
        if (poll(&in, 1, RemainingMs(deadline)) <= 0)
            break;
        std::uint8_t chunk[1024];
        const ssize_t n = read(master_, chunk, sizeof chunk);
        if (n <= 0)
            break;
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    return bytes;
}

TChildProcess::TChildProcess(const std::vector<std::string>& arguments) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    std::vector<char*> argv;
    for (const std::string& a : arguments)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    output_ = pipeFds[0];
}

TChildProcess::~TChildProcess() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    if (output_ >= 0)
        close(output_);
}

bool TChildProcess::WaitForOutput(const std::string& text, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (seen_.find(text) == std::string::npos) {
        pollfd in{output_, POLLIN, 0};
        if (poll(&in, 1, RemainingMs(deadline)) <= 0)
            return false;
        char chunk[256];
        const ssize_t n = read(output_, chunk, sizeof chunk);
        if (n <= 0)
            return false;
        seen_.append(chunk, std::size_t(n));
    }
    return true;
}
