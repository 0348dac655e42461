#include "platform/Signals.h"

#include <cerrno>
#include <cstdio>
#include <iterator>

#include <fcntl.h>
#include <unistd.h>

#include <QSocketNotifier>

namespace {

int SignalPipe = -1; // the write end, for the handler

void OnSignal(int signal) {
    const int saved = errno;
    const unsigned char number = static_cast<unsigned char>(signal);
    // A full pipe drops the signal: one of the same kind is already waiting.
    [[maybe_unused]] const ssize_t n = ::write(SignalPipe, &number, 1);
    errno = saved;
}

} // namespace

TExitSignals::TExitSignals(std::function<void(int signal)> onSignal) : onSignal_(std::move(onSignal)) {
    if (::pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::perror("router: no pipe for the exit signals");
        return;
    }
    SignalPipe = pipe_[1];
    notifier_ = new QSocketNotifier(pipe_[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] { Read(); });
    struct sigaction action {};
    action.sa_handler = OnSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (std::size_t i = 0; i < std::size(Signals); ++i)
        ::sigaction(Signals[i], &action, &saved_[i]);
}

TExitSignals::~TExitSignals() {
    if (pipe_[0] < 0)
        return;
    for (std::size_t i = 0; i < std::size(Signals); ++i)
        ::sigaction(Signals[i], &saved_[i], nullptr);
    SignalPipe = -1;
    delete notifier_;
    ::close(pipe_[0]);
    ::close(pipe_[1]);
}

void TExitSignals::Read() {
    unsigned char numbers[16];
    const ssize_t n = ::read(pipe_[0], numbers, sizeof numbers);
    for (ssize_t i = 0; i < n; ++i)
        if (onSignal_)
            onSignal_(numbers[i]);
}

const char* SignalName(int signal) {
    switch (signal) {
    case SIGTERM:
        return "SIGTERM";
    case SIGINT:
        return "SIGINT";
    case SIGHUP:
        return "SIGHUP";
    default:
        return "a signal";
    }
}
