// Helpers for tests of forms and of the platform layer: every test executable that links
// platform_test_support gets a TApplication (offscreen) for its whole run.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <sys/resource.h>

#include <QByteArray>
#include <QString>

class QWidget;
class TForm;
class TStringGrid;
class TServerClientWinSocket;

// Runs the event loop until done() holds or timeoutMs of real time have passed; returns done().
bool PumpUntil(const std::function<bool()>& done, int timeoutMs = 5000);
// Runs the event loop for a short real time, to show that something does not happen.
void PumpFor(int ms);
// Runs the event loop without waiting until it has nothing left to do: every event posted before the
// call or meanwhile (the telephony provider's deliveries, a component's posted messages) and every
// descriptor ready before the call or meanwhile has been served; timers not yet due are not waited
// for. False when it found no rest.
[[nodiscard]] bool PumpIdle();
// The names of this process's open descriptors in /proc/self/fd.
std::set<QString> OpenDescriptorNames();
// Waits (at most 2 s), without running the event loop, until bytes wait on the server's end of a
// connection.
void AwaitReadable(const TServerClientWinSocket* s);
// The failure hook for TScriptedDialogs: fails the running test with the message.
void FailTest(const std::string& message);

// Sets an environment variable (or, with no value, removes it) for one scope.
class TEnvironment {
public:
    TEnvironment(const char* name, std::optional<QByteArray> value);
    ~TEnvironment();
    TEnvironment(const TEnvironment&) = delete;
    TEnvironment& operator=(const TEnvironment&) = delete;

private:
    const char* name_;
    std::optional<QByteArray> saved_;
};
// Types the text into target as the keyboard would, one key a character, whatever the characters.
void TypeText(QWidget* target, const QString& text);
// Runs the action once the form's modal loop is running.
void WhenModal(TForm& form, std::function<void()> action);
// Runs the action on the window of that object name once one is shown (a form that some call makes and
// shows modally itself); fails the test when none is within 5 s.
void WhenShown(const QString& objectName, std::function<void(QWidget*)> action);
// Clicks a data cell of the grid with the mouse.
void ClickCell(TStringGrid* grid, int col, int row);
// Types the text into the grid: the first key opens the current cell's editor, the rest go to it.
void TypeInGrid(TStringGrid* grid, const QString& text);

// A named pipe made at path for a test that the program never waits on one. A reader (or, for
// TWaiter::Writer, a writer) still waiting in its open after limitMs is let through: the watch opens
// the other end, so that the reader finds an empty file or the writer's bytes are taken, and the test
// ends; Released() then says so. The pipe stays when the watch ends.
class TFifoWatch {
public:
    enum class TWaiter { Reader, Writer };
    explicit TFifoWatch(std::string path, TWaiter waiter = TWaiter::Reader, int limitMs = 2000);
    ~TFifoWatch();
    TFifoWatch(const TFifoWatch&) = delete;
    TFifoWatch& operator=(const TFifoWatch&) = delete;

    bool Made() const { return made_; }
    // Somebody waited in an open of the pipe past the limit.
    bool Released() const { return released_; }

private:
    void Watch(TWaiter waiter, int limitMs);

    std::string path_;
    bool made_ = false;
    std::atomic<bool> released_{false};
    std::mutex mutex_;
    std::condition_variable stop_;
    bool stopping_ = false;
    std::thread thread_;
};

// What a user may leave where the program reads a file, and must not be read: a link to a named pipe
// (made by a TFifoWatch at pipe), a link to /dev/zero, and a regular file one byte over the cap. Make
// puts it at path; Problem is what the program says of it.
struct TOddFile {
    const char* Name;
    std::function<void()> Make;
    std::string Problem;
};
std::vector<TOddFile> OddFiles(const std::string& path, const std::string& pipe, std::uint64_t cap);
// What stands at path, without following a link: "link to <target>", "file of <n> bytes", "pipe",
// "nothing" or "other", for a test that the program kept a file it could not use.
std::string WhatIsAt(const std::string& path);

// The soft limit of open files for one scope; the one before comes back at its end or at Restore.
class TSoftFileLimit {
public:
    TSoftFileLimit() { getrlimit(RLIMIT_NOFILE, &saved_); }
    explicit TSoftFileLimit(rlim_t limit) : TSoftFileLimit() { Set(limit); }
    ~TSoftFileLimit() { Restore(); }
    TSoftFileLimit(const TSoftFileLimit&) = delete;
    TSoftFileLimit& operator=(const TSoftFileLimit&) = delete;

    void Set(rlim_t limit) const {
        rlimit changed = saved_;
        changed.rlim_cur = limit;
        setrlimit(RLIMIT_NOFILE, &changed);
    }
    void Restore() const { setrlimit(RLIMIT_NOFILE, &saved_); }
    rlim_t Hard() const { return saved_.rlim_max; }

private:
    rlimit saved_{};
};
