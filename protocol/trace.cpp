// Trace output and the library's clock.
#include "protocol/tmgsm.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <poll.h>
#include <unistd.h>

namespace {

void SystemClock(TmClock* now) {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm local{};
    localtime_r(&ts.tv_sec, &local);
    now->date.year = static_cast<uint16_t>(local.tm_year + 1900);
    now->date.month = static_cast<uint8_t>(local.tm_mon + 1);
    now->date.day = static_cast<uint8_t>(local.tm_mday);
    now->date.hour = static_cast<uint8_t>(local.tm_hour);
    now->date.minute = static_cast<uint8_t>(local.tm_min);
    now->date.second = static_cast<uint8_t>(local.tm_sec);
    now->millisecond = static_cast<uint16_t>(ts.tv_nsec / 1000000);
}

TmClockSource clockSource = SystemClock;

// Writes only what standard output takes without waiting. Pieces of at most PIPE_BUF bytes are written
// whole or not at all to a pipe, so a reader sees whole pieces even when some are dropped.
void StdoutSink(const char* text, size_t n) {
    while (n > 0) {
        pollfd p{STDOUT_FILENO, POLLOUT, 0};
        if (poll(&p, 1, 0) != 1 || !(p.revents & POLLOUT))
            return;
        size_t piece = n < PIPE_BUF ? n : PIPE_BUF;
        ssize_t written = write(STDOUT_FILENO, text, piece);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        text += written;
        n -= static_cast<size_t>(written);
    }
}

TraceSink traceSink = StdoutSink;

void TraceVPrintf(const char* format, va_list args) {
    if (!Trace_On())
        return;
    char line[1024];
    int n = vsnprintf(line, sizeof line, format, args);
    if (n > 0)
        Trace_Write(line, static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1);
}

} // namespace

void Tm_SetClockSource(TmClockSource source) {
    clockSource = source ? source : SystemClock;
}

void Tm_ReadClock(TmClock* now) {
    clockSource(now);
}

uint32_t Tm_Now(TmDate* date) {
    TmClock now{};
    Tm_ReadClock(&now);
    if (date)
        *date = now.date;
    return Tm_DateToSecs(&now.date);
}

void Tm_Stamp(char* out) {
    TmClock now{};
    Tm_ReadClock(&now);
    snprintf(out, 12, "[%02d:%02d.%03d]", now.date.minute % 100, now.date.second % 100,
             now.millisecond % 1000);
}

uint32_t Tm_MsSince(uint32_t start) {
    TmClock now{};
    Tm_ReadClock(&now);
    uint32_t ms =
        now.date.hour * 3600000u + now.date.minute * 60000u + now.date.second * 1000u + now.millisecond;
    return ms - start;
}

void Trace_SetSink(TraceSink sink) {
    traceSink = sink ? sink : StdoutSink;
}

TraceSink Trace_GetSink() {
    return traceSink;
}

void Trace_Discard(const char*, size_t) {}

bool Trace_On() {
    return traceSink != Trace_Discard;
}

void Trace_Write(const char* text, size_t n) {
    if (n > 0)
        traceSink(text, n);
}

void Trace_Printf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    TraceVPrintf(format, args);
    va_end(args);
}

void Dbg_Printf(const char* format, ...) {
    if (!Trace_On())
        return;
    TmClock now{};
    Tm_ReadClock(&now);
    Trace_Printf("DBG(%02d.%02d:%02d:%03d): ", now.date.hour, now.date.minute, now.date.second,
                 now.millisecond);
    va_list args;
    va_start(args, format);
    TraceVPrintf(format, args);
    va_end(args);
}

void Dump_Hex(const char* label, const uint8_t* bytes, size_t n) {
    if (n == 0 || !bytes || !Trace_On())
        return;
    if (label)
        Trace_Printf("%s", label);
    char line[32 * 2 + 1];
    size_t used = 0;
    for (size_t i = 0; i < n; ++i) {
        Hex_Encode(line + used, bytes + i, 1);
        used += 2;
        bool lineFull = (i + 1) % 32 == 0;
        if (lineFull || i + 1 == n) {
            line[used++] = '\n';
            Trace_Write(line, used);
            used = 0;
        }
    }
}

void Dump_Asc(const char* label, const uint8_t* bytes, size_t n) {
    if (n == 0 || !bytes || !Trace_On())
        return;
    if (label)
        Trace_Printf("%s", label);
    char chunk[256];
    size_t used = 0;
    for (size_t i = 0; i < n; ++i) {
        if (bytes[i] != 7)
            chunk[used++] = static_cast<char>(bytes[i]);
        if (used == sizeof chunk || i + 1 == n) {
            Trace_Write(chunk, used);
            used = 0;
        }
    }
}
