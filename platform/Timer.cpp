#include "platform/Timer.h"

#include <QPointer>

#include "platform/Application.h"

TTimer::TTimer(QObject* owner) : QObject(owner) {
    real_.setTimerType(Qt::CoarseTimer);
    connect(&real_, &QTimer::timeout, this, [this] { Tick(); });
}

TTimer::~TTimer() {
    Stop();
}

void TTimer::SetEnabled(bool enabled) {
    if (enabled == enabled_)
        return;
    enabled_ = enabled;
    Restart();
}

void TTimer::SetInterval(int ms) {
    if (ms == interval_)
        return;
    interval_ = ms;
    Restart();
}

void TTimer::SetOnTimer(std::function<void()> handler) {
    onTimer_ = std::move(handler);
    Restart();
}

void TTimer::Restart() {
    Stop();
    if (!enabled_ || interval_ <= 0 || !onTimer_)
        return;
    running_ = true;
    if (TFakeClock* fake = TFakeClock::Current())
        ScheduleFake(fake->Ms() + interval_);
    else
        real_.start(interval_);
}

void TTimer::Stop() {
    running_ = false;
    real_.stop();
    if (fakeAlarm_ != 0) {
        if (TFakeClock* fake = TFakeClock::Current())
            fake->Cancel(fakeAlarm_);
        fakeAlarm_ = 0;
    }
}

void TTimer::ScheduleFake(std::int64_t due) {
    fakeAlarm_ = TFakeClock::Current()->Schedule(due, [this, due] {
        fakeAlarm_ = 0;
        ScheduleFake(due + interval_); // before the tick, which may stop or restart the timer
        Tick();
    });
}

void TTimer::Tick() {
    if (inHandler_ || !running_)
        return;
    inHandler_ = true;
    const QPointer<TTimer> self(this);              // the handler may destroy its timer
    const std::function<void()> handler = onTimer_; // or replace itself
    Guarded(handler);
    if (self)
        inHandler_ = false;
}
