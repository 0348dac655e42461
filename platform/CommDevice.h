// The device behind a serial handle of platform/Win32Serial.h: a terminal (a serial port or a
// pseudo-terminal) opened by CreateFile, or a stand-in that a test installs under a name to carry
// what a pseudo-terminal cannot (modem-status lines, line errors and breaks, a read error).
//
// Settings travel as the kernel's struct termios2. This header includes <asm/termbits.h>, which
// cannot share a translation unit with <termios.h>.
#pragma once

#include <asm/termbits.h>
#include <cstddef>
#include <functional>
#include <linux/serial.h>
#include <sys/types.h>

// Every call returns false (or -1) with errno set when it fails. The handle layer serialises the
// calls on one device, except WatchChanges's callback, which the device makes from its own thread.
class TCommDevice {
public:
    virtual ~TCommDevice() = default;

    // Polled for input and for room to write (one descriptor for a terminal). A hang-up shows as
    // POLLHUP or POLLERR on either.
    virtual int InputFd() const = 0;
    virtual int OutputFd() const = 0;

    // Never block: -1 with EAGAIN when nothing can move; Read gives 0 once the far end hung up.
    virtual ssize_t Read(void* buffer, std::size_t size) = 0;
    virtual ssize_t Write(const void* data, std::size_t size) = 0;

    virtual bool GetSettings(termios2& settings) = 0;
    virtual bool SetSettings(const termios2& settings) = 0;
    virtual bool GetLines(int& bits) = 0; // TIOCM_ bits; ENOTTY when the device has none
    virtual bool ChangeLines(int set, int clear) = 0;
    virtual bool SetBreak(bool on) = 0;
    virtual bool Flush(int queue) = 0; // TCIFLUSH or TCOFLUSH
    // Transitions of the status lines, line errors and breaks since the device was opened;
    // ENOTTY when the device keeps no counters.
    virtual bool Counters(serial_icounter_struct& counters) = 0;
    virtual bool OutputQueued(int& bytes) = 0; // written but not yet sent
    virtual bool SetRs485(bool on) = 0;        // RTS raised while sending
    // Transmission held by a received XOFF, and XOFF sent: no terminal reports these.
    virtual void XoffState(bool& held, bool& sent) { held = sent = false; }
    // A device that can tell when its counters change calls `changed` from then on (an empty
    // function stops it) and returns true; the handle layer polls the others.
    virtual bool WatchChanges(std::function<void()> changed) {
        (void)changed;
        return false;
    }
};
