// Helpers for the serial tests: a COM folder of their own, pseudo-terminal pairs, peer processes.
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

struct termios; // not included here: TermiosProbe.cpp needs the kernel's own

// The text's bytes.
std::vector<std::uint8_t> Bytes(const std::string& text);

// Points the common application-data folder (and so the COM folder) at a fresh temporary folder for
// its lifetime.
class TComFolder {
public:
    TComFolder();
    ~TComFolder();
    TComFolder(const TComFolder&) = delete;
    TComFolder& operator=(const TComFolder&) = delete;

    void Map(std::uint32_t n, const std::string& device); // COMn -> device
    void Unmap(std::uint32_t n);
    const std::string& Root() const { return root_; }

private:
    std::string root_;
    std::string savedDataHome_;
    bool hadDataHome_ = false;
};

// A pseudo-terminal: the test holds the master; the slave is the port under test.
class TPtyPair {
public:
    TPtyPair();
    ~TPtyPair();
    TPtyPair(const TPtyPair&) = delete;
    TPtyPair& operator=(const TPtyPair&) = delete;

    int Master() const { return master_; }
    const std::string& SlavePath() const { return slave_; }
    termios SlaveSettings() const; // as the master reports them
    void CloseMaster();            // the far end vanishes
    void Write(const std::vector<std::uint8_t>& bytes);
    // Reads until `count` bytes came or timeoutMs passed.
    std::vector<std::uint8_t> Read(std::size_t count, int timeoutMs = 3000);

private:
    int master_ = -1;
    std::string slave_;
};

// The output speed of a terminal as the kernel holds it (for rates without a B constant).
std::uint32_t TerminalSpeed(int fd);

// A program started by the test and stopped by the pid it got; its standard output is a pipe.
class TChildProcess {
public:
    explicit TChildProcess(const std::vector<std::string>& arguments);
    ~TChildProcess();
    TChildProcess(const TChildProcess&) = delete;
    TChildProcess& operator=(const TChildProcess&) = delete;

    bool Started() const { return pid_ > 0; }
    // Waits for a line of output that holds `text`.
    bool WaitForOutput(const std::string& text, int timeoutMs = 10000);

private:
    pid_t pid_ = -1;
    int output_ = -1;
    std::string seen_;
};
