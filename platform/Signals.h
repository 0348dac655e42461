// Stands in for what Windows tells a program when the session ends or its console goes away
// (WM_QUERYENDSESSION and WM_ENDSESSION, CTRL_CLOSE_EVENT): here the signals SIGTERM (a shutdown, a
// service stop), SIGHUP (a logout, the terminal closed) and SIGINT (Ctrl-C).
//
// While a TExitSignals lives they do not end the process: the handler only writes the signal's number
// to a pipe, and the event loop hands it to OnSignal on the main thread, in the order they came. The
// dispositions before it are restored when it goes. One at a time; main thread only.
#pragma once

#include <csignal>
#include <functional>

#include <QObject>

class QSocketNotifier;

class TExitSignals : public QObject {
public:
    explicit TExitSignals(std::function<void(int signal)> onSignal);
    ~TExitSignals() override;
    TExitSignals(const TExitSignals&) = delete;
    TExitSignals& operator=(const TExitSignals&) = delete;

    static constexpr int Signals[] = {SIGTERM, SIGINT, SIGHUP};

private:
    void Read();

    std::function<void(int)> onSignal_;
    int pipe_[2] = {-1, -1};
    QSocketNotifier* notifier_ = nullptr;
    struct sigaction saved_[std::size(Signals)] = {};
};

// "SIGTERM", "SIGINT" or "SIGHUP"; "a signal" for any other.
const char* SignalName(int signal);
