// The byte trace and the dispatch log of a dispatcher: what they record and how their files look.
//
// Byte trace: pairs (kind, byte), 'T' for a byte sent, 'R' for one the application read, in a ring
// of at most 4,000,000 entries. Its text file shows runs of one kind under a heading of their own
// ("Transmit: ", "Receive: "), printable bytes as themselves and the others as "[nn]".
//
// Dispatch log: one entry per event of the dispatch pass, per trigger and handler change, per block
// sent and per text a user adds, with the milliseconds since the port opened. Its file has a header
// (library version, compiler, operating system, device, date and time, two heading lines) and a
// line per entry:
//     "%8s  %-8s  %-12s  %08.8x  " time as seconds.milliseconds, type, subtype, data
// followed by the payload, continued on lines indented by 44 blanks.
//
// Both are off when a port opens and are kept under the dispatcher's DataSection; the log's entries
// go through its queue's own lock, so any thread may add them.
#pragma once

#include <cstdint>

inline constexpr std::uint32_t MaxTraceEntries = 4'000'000;

// Entry types; the log shows message 15001 + type.
enum TDispatchType : std::uint8_t {
    dtNone,
    dtDispatch,
    dtTrigger,
    dtTriggerAlloc,
    dtTriggerDispose,
    dtTriggerHandlerAlloc,
    dtTriggerHandlerDispose,
    dtTriggerDataChange,
    dtUser,
};

// Entry subtypes; the log shows message 15100 + subtype (nothing for dstNone).
enum TDispatchSubType : std::uint16_t {
    dstNone,
    dstReadCom,
    dstWriteCom,
    dstStatus,
    dstAvail,
    dstData,
    dstTimer,
    dstAvailTrigger,
    dstDataTrigger,
    dstTimerTrigger,
    dstStatusTrigger,
    dstWndHandler,
    dstProcHandler,
    dstEventHandler,
};

inline constexpr std::int32_t DispatchTypeTextBase = 15001;
inline constexpr std::int32_t DispatchSubTypeTextBase = 15100;
inline constexpr std::int32_t LogHeadingText1 = 15501, LogHeadingText2 = 15502;
