// A program the test starts beside the router (Debian's python3 with a script of tests/sessions/peers,
// socat, ...): its standard input and output are pipes to the test, and it is stopped by the process id
// the test started.
#pragma once

#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

class TPeerProcess {
public:
    explicit TPeerProcess(std::vector<std::string> argv);
    ~TPeerProcess();
    TPeerProcess(const TPeerProcess&) = delete;
    TPeerProcess& operator=(const TPeerProcess&) = delete;

    // A python3 script of tests/sessions/peers with its arguments.
    static std::vector<std::string> Script(const char* name, std::vector<std::string> args);

    void WriteLine(const std::string& line);
    // The next whole line of its output, if one has come.
    std::optional<std::string> TryLine();
    // Whether it has ended; its exit status then.
    bool Ended();
    int ExitStatus() const { return status_; }

private:
    pid_t pid_ = -1;
    int in_ = -1, out_ = -1;
    std::string pending_;
    int status_ = -1;
};

std::string ToHex(const std::vector<unsigned char>& bytes);
std::vector<unsigned char> FromHex(const std::string& hex);
