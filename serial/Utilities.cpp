#include "serial/Utilities.h"

#include "platform/ClockSource.h"
#include "platform/Sync.h"

std::uint32_t AdTimeGetTime() {
    return timeGetTime();
}

std::int32_t TickCount() {
    return std::int32_t(AdTimeGetTime() / TickMs);
}

std::int32_t Ticks2Secs(std::int32_t ticks) {
    return ((ticks + 9) * 92) / 1675;
}

std::int32_t Secs2Ticks(std::int32_t seconds) {
    return std::int32_t(std::int64_t(seconds) * 1675 / 92);
}

std::int32_t MSecs2Ticks(std::int32_t milliseconds) {
    return std::int32_t(std::int64_t(milliseconds) * 1675 / 92000);
}

void NewTimer(EventTimer& timer, std::int32_t ticks) {
    if (ticks > MaxTicks)
        ticks = MaxTicks;
    timer.StartTicks = TickCount();
    timer.ExpireTicks = timer.StartTicks + ticks;
}

void NewTimerSecs(EventTimer& timer, std::int32_t seconds) {
    NewTimer(timer, Secs2Ticks(seconds));
}

namespace {

// The tick count on the timer's scale: past the clock's wrap it goes on counting.
std::int32_t Now(const EventTimer& timer) {
    const std::int32_t now = TickCount();
    return now >= timer.StartTicks ? now : now + WrapTicks;
}

} // namespace

bool TimerExpired(const EventTimer& timer) {
    return Now(timer) > timer.ExpireTicks;
}

std::int32_t ElapsedTime(const EventTimer& timer) {
    return Now(timer) - timer.StartTicks;
}

std::int32_t RemainingTime(const EventTimer& timer) {
    const std::int32_t left = timer.ExpireTicks - Now(timer);
    return left > 0 ? left : 0;
}

std::int32_t ElapsedTimeInSecs(const EventTimer& timer) {
    return Ticks2Secs(ElapsedTime(timer));
}

std::int32_t RemainingTimeInSecs(const EventTimer& timer) {
    return Ticks2Secs(RemainingTime(timer));
}

std::uint32_t DelayTicks(std::int32_t ticks, bool yield) {
    if (ticks < 1)
        return 0;
    EventTimer timer;
    NewTimer(timer, ticks);
    std::uint32_t result = 0;
    for (;;) {
        if (yield)
            result = SafeYield();
        if (result == WM_QUIT || TimerExpired(timer))
            return result;
        Sleep(1); // a tick is 55 ms: no need to spin hard
    }
}
