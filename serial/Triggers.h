// Triggers and notification: what a user of a dispatcher arms (the avail trigger, data, timer and
// status triggers) and how it is told that one fired (window, procedure and method handlers).
//
// Handles. The avail trigger is always 1. The others get multiples of 8 from 8 on; a status
// trigger's handle also carries its kind in the low three bits. 0 is never a handle.
//
// Notifications carry (message, wParam, lParam) with lParam = PortIndex shl 16 plus a value:
//   TriggerAvailMessage  wParam the unread bytes announced          value 0
//   TriggerDataMessage   wParam the data trigger's handle           value the string's length
//   TriggerTimerMessage  wParam the timer trigger's handle          value 0
//   TriggerStatusMessage wParam the status trigger's handle         value the free output space (kind
//                                                                   3), the used output space (kind
//                                                                   4), else 0
// While an avail or data notification is being delivered, the handlers read the announced bytes
// with the dispatcher's reads; each handler starts from the same first byte, and the dispatch ring
// moves on by the most that any handler took.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "serial/Utilities.h"

inline constexpr unsigned TriggerAvailMessage = 0x7E01;
inline constexpr unsigned TriggerDataMessage = 0x7E02;
inline constexpr unsigned TriggerTimerMessage = 0x7E03;
inline constexpr unsigned TriggerStatusMessage = 0x7E04;

inline constexpr std::uint32_t AvailTriggerHandle = 1;
inline constexpr std::uint32_t MaxTrigLen = 21; // the longest data trigger

// Status trigger kinds: the low three bits of a status trigger's handle. The value it is armed with:
//   stModem       the lines to watch: CTS 0x10, DSR 0x20, RI 0x40, DCD 0x80 (any change fires)
//   stLine        the errors to watch: lsOverrun, lsParity, lsFraming, lsBreak
//   stOutBuffFree fires when at least that many bytes of output space are free
//   stOutBuffUsed fires when at most that many bytes of output wait
//   stOutSent     fires once PutBlock has written
inline constexpr std::uint32_t stNotActive = 0, stModem = 1, stLine = 2, stOutBuffFree = 3, stOutBuffUsed = 4,
                               stOutSent = 5;
inline constexpr std::uint32_t lsOverrun = 1, lsParity = 2, lsFraming = 4, lsBreak = 8;

enum class TTriggerType { ttNone, ttAvail, ttTimer, ttData, ttStatus };

struct TTimerTrigger {
    std::uint32_t Handle = 0;
    EventTimer Timer;
    std::uint32_t Ticks = 0; // the period last given
    bool Active = false;
};

struct TDataTrigger {
    std::uint32_t Handle = 0;
    std::uint32_t Len = 0;
    // How many bytes of Data each partial match in progress has matched (0: a free slot).
    std::uint32_t MatchState[MaxTrigLen + 1] = {};
    bool Hit = false;
    bool IgnoreCase = false;
    std::uint8_t Data[MaxTrigLen] = {}; // upper-cased when IgnoreCase
};

struct TStatusTrigger {
    std::uint32_t Handle = 0; // a handle number or-ed with Kind
    std::uint32_t Kind = 0;
    // Kind 1: the watched lines' mask in the high byte, their levels when armed in the low byte;
    // kind 2: the Windows error bits watched, then those that fired; kinds 3 and 4: a byte count.
    std::uint16_t Value = 0;
    bool Active = false;
    bool Hit = false; // fired in the current pass
};

// Feeds one received byte to a data trigger's partial matches: true when it completes the string.
// Every byte advances each running partial match and starts at most one new one, so a string whose
// beginning recurs inside it is found without looking back; a completed match forgets every partial
// one, so an occurrence that overlaps a completed one is not reported.
bool MatchDataTrigger(TDataTrigger& trigger, std::uint8_t ch);

// A dispatcher's triggers kept across a close and the next open.
struct TTriggerSave {
    std::uint32_t LenTrigger = 0;
    std::vector<TTimerTrigger> TimerTriggers;
    std::vector<TDataTrigger> DataTriggers;
    std::vector<TStatusTrigger> StatusTriggers;
};

// Handlers. A procedure and a method get (message, wParam, lParam) as a window would.
using TApdNotifyProc = void (*)(unsigned msg, std::uint32_t trigger, std::uint32_t data);
using TApdNotifyEvent = TMethod<unsigned, std::uint32_t, std::uint32_t>;

// UpdateHandlerFlags: fuKeepPort recomputes whether to notify; fuEnablePort makes window handlers
// notified even when the port's own window is the only one; fuDisablePort undoes that.
enum class TApHandlerFlagUpdate { fuKeepPort, fuEnablePort, fuDisablePort };
