#include "tests/sessions/PeerProcess.h"

#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

TPeerProcess::TPeerProcess(std::vector<std::string> argv) {
    int toChild[2], fromChild[2];
    if (::pipe2(toChild, O_CLOEXEC) != 0 || ::pipe2(fromChild, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "no pipes";
        return;
    }
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(toChild[0], 0);
        ::dup2(fromChild[1], 1);
        std::vector<char*> args;
        for (std::string& a : argv)
            args.push_back(a.data());
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(toChild[0]);
    ::close(fromChild[1]);
    in_ = toChild[1];
    out_ = fromChild[0];
    ::fcntl(out_, F_SETFL, ::fcntl(out_, F_GETFL) | O_NONBLOCK);
    EXPECT_GT(pid_, 0);
}

TPeerProcess::~TPeerProcess() {
    if (in_ >= 0)
        ::close(in_);
    if (out_ >= 0)
        ::close(out_);
    if (pid_ > 0 && status_ < 0) {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
}

std::vector<std::string> TPeerProcess::Script(const char* name, std::vector<std::string> args) {
    std::vector<std::string> argv{"/usr/bin/python3", std::string(TEST_SOURCE_DIR) + "/peers/" + name};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

void TPeerProcess::WriteLine(const std::string& line) {
    const std::string text = line + "\n";
    size_t at = 0;
    while (at < text.size()) {
        const ssize_t n = ::write(in_, text.data() + at, text.size() - at);
        if (n <= 0)
            return;
        at += size_t(n);
    }
}

std::optional<std::string> TPeerProcess::TryLine() {
    char buffer[65536];
    ssize_t n;
    while ((n = ::read(out_, buffer, sizeof buffer)) > 0)
        pending_.append(buffer, size_t(n));
    const size_t end = pending_.find('\n');
    if (end == std::string::npos)
        return std::nullopt;
    std::string line = pending_.substr(0, end);
    pending_.erase(0, end + 1);
    return line;
}

bool TPeerProcess::Ended() {
    if (status_ >= 0)
        return true;
    int status = 0;
    if (pid_ > 0 && ::waitpid(pid_, &status, WNOHANG) == pid_)
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
    return status_ >= 0;
}

std::string ToHex(const std::vector<unsigned char>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char b : bytes) {
        hex += digits[b >> 4];
        hex += digits[b & 15];
    }
    return hex;
}

std::vector<unsigned char> FromHex(const std::string& hex) {
    std::vector<unsigned char> bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back((unsigned char)std::stoi(hex.substr(i, 2), nullptr, 16));
    return bytes;
}
