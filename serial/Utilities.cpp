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

void DelayMS(std::uint32_t milliseconds) {
    std::uint32_t waited = 0;
    for (std::uint32_t last = AdTimeGetTime(); waited < milliseconds;) {
        Sleep(0);
        const std::uint32_t now = AdTimeGetTime();
        waited += now - last; // unsigned: a clock that starts again from zero still counts on
        last = now;
    }
}

std::uint8_t AnsiUpCase(std::uint8_t ch) {
    if ((ch >= 'a' && ch <= 'z') || ch >= 0xE0)
        return std::uint8_t(ch - 0x20);
    // The Cyrillic letters outside the alphabet's run, lower case first.
    constexpr std::uint8_t Others[][2] = {{0x83, 0x81}, {0x90, 0x80}, {0x9A, 0x8A}, {0x9C, 0x8C},
                                          {0x9D, 0x8D}, {0x9E, 0x8E}, {0x9F, 0x8F}, {0xA2, 0xA1},
                                          {0xB3, 0xB2}, {0xB4, 0xA5}, {0xB8, 0xA8}, {0xBA, 0xAA},
                                          {0xBC, 0xA3}, {0xBE, 0xBD}, {0xBF, 0xAF}};
    for (const auto& pair : Others) {
        if (ch == pair[0])
            return pair[1];
    }
    return ch;
}

namespace {

// Owners and their components, in the order the components were made.
std::vector<std::pair<const void*, TSioBaseComponent*>>& Components() {
    static std::vector<std::pair<const void*, TSioBaseComponent*>> components;
    return components;
}

} // namespace

TSioBaseComponent::TSioBaseComponent(const void* owner) : owner_(owner) {
    if (owner_)
        Components().emplace_back(owner_, this);
}

TSioBaseComponent::~TSioBaseComponent() {
    std::erase_if(Components(), [this](const auto& entry) { return entry.second == this; });
}

std::vector<TSioBaseComponent*> TSioBaseComponent::OwnedComponents(const void* owner) {
    std::vector<TSioBaseComponent*> owned;
    for (const auto& [o, component] : Components()) {
        if (o == owner && owner)
            owned.push_back(component);
    }
    return owned;
}
