// Stands in for the framework's TTimer.
//
// OnTimer runs every Interval ms while Enabled. As the original: a new timer is enabled with an
// interval of 1000 ms; it runs only while it is enabled, its interval is above 0 and it has a handler;
// a change of Enabled or Interval, and every assignment of the handler, restarts the period. A handler
// that opens a nested event loop is not entered again by its own timer until it returns. While a
// TFakeClock is installed, a timer started then runs on that clock. As the original's, the timing is
// coarse (within 5 % of the interval), so that timers of related intervals wake the program together:
// every wakeup costs a poll of all its sockets. Main thread only.
#pragma once

#include <functional>

#include <QObject>
#include <QTimer>

#include "platform/Clock.h"

class TTimer : public QObject {
public:
    explicit TTimer(QObject* owner = nullptr);
    ~TTimer() override;

    bool Enabled() const { return enabled_; }
    void SetEnabled(bool enabled);
    int Interval() const { return interval_; }
    void SetInterval(int ms);
    void SetOnTimer(std::function<void()> handler);

    // Whether ticks are being counted now (enabled, interval above 0, handler set).
    bool Running() const { return running_; }

private:
    void Restart();
    void Stop();
    void Tick();
    void ScheduleFake(std::int64_t due);

    bool enabled_ = true;
    int interval_ = 1000;
    std::function<void()> onTimer_;
    bool running_ = false;
    bool inHandler_ = false;
    QTimer real_;
    TFakeClock::AlarmId fakeAlarm_ = 0;
};
