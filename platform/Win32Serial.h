// Stands in for the Win32 serial interface: CreateFile on a COM port with overlapped I/O,
// SetupComm, Get/SetCommState, Get/SetCommTimeouts, Set/GetCommMask, WaitCommEvent, ReadFile,
// WriteFile, GetOverlappedResult, CancelIoEx, ClearCommError, PurgeComm, EscapeCommFunction,
// GetCommModemStatus, Set/ClearCommBreak and CloseHandle, over termios, poll and threads.
//
// Names: "COMn" or "\\.\COMn" opens the device that platform/ComFolder.h resolves; a test may
// install a stand-in device under any name first (InstallCommDevice). Opening never changes the
// device's settings or lines; it opens with O_NONBLOCK | O_NOCTTY and, without sharing, takes an
// exclusive flock, so a second open (here or by any program that locks the same way) fails with
// ERROR_ACCESS_DENIED. GetLastErrno (platform/WinError.h) then tells "in use" (EBUSY) from "no
// permission" (EACCES).
//
// A handle is the device's descriptor. A terminal descriptor this layer did not open (the
// telephony layer hands one over) is taken on at its first use, without a lock, and CloseHandle
// closes it like the others; one never used is not known here and stays its giver's.
//
// Every handle is overlapped. ReadFile always completes at once (the setting that makes reads return
// at once is the only one honoured). WriteFile, WaitCommEvent complete at once when they can, else
// report ERROR_IO_PENDING and are finished by the handle's service thread, started at the first such
// call: it sets the OVERLAPPED's event when the operation ends. The caller's buffer, event mask and
// OVERLAPPED must live until then, or until CancelIoEx, PurgeComm or CloseHandle, which end a pending
// operation with ERROR_OPERATION_ABORTED before they return. SetCommMask ends a pending WaitCommEvent
// with success and the mask 0.
//
// Line events come from the device's counters (a terminal's are polled every 20 ms while a wait for
// them is pending); a pseudo-terminal keeps none, so it reports only received characters. A device
// that hangs up (the far end of a pseudo-terminal closes, an adapter is pulled) fails every call from
// then on with ERROR_DEVICE_NOT_CONNECTED. What a device cannot hold (data bits and parity on a
// pseudo-terminal, DTR and RTS without modem lines) is kept in a shadow of the DCB, so
// GetCommState reads back what SetCommState set.
//
// All calls may come from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/Sync.h"
#include "platform/WinError.h"

using HANDLE = int;
inline constexpr HANDLE INVALID_HANDLE_VALUE = -1;
inline constexpr std::uint32_t MAXDWORD = 0xFFFFFFFF;

inline constexpr std::uint32_t GENERIC_READ = 0x80000000;
inline constexpr std::uint32_t GENERIC_WRITE = 0x40000000;
inline constexpr std::uint32_t OPEN_EXISTING = 3;
inline constexpr std::uint32_t FILE_ATTRIBUTE_NORMAL = 0x00000080;
inline constexpr std::uint32_t FILE_FLAG_OVERLAPPED = 0x40000000;

// The DCB's bit fields, as bits of its Flags word.
inline constexpr std::uint32_t DCB_BINARY = 0x0001;
inline constexpr std::uint32_t DCB_PARITY = 0x0002; // check parity on input
inline constexpr std::uint32_t DCB_OUTX_CTS_FLOW = 0x0004;
inline constexpr std::uint32_t DCB_OUTX_DSR_FLOW = 0x0008;
inline constexpr std::uint32_t DCB_DTR_CONTROL = 0x0030; // the field: off 0, on, handshake
inline constexpr std::uint32_t DCB_DTR_ENABLE = 0x0010;
inline constexpr std::uint32_t DCB_DTR_HANDSHAKE = 0x0020;
inline constexpr std::uint32_t DCB_DSR_SENSITIVITY = 0x0040;
inline constexpr std::uint32_t DCB_TX_CONTINUE_ON_XOFF = 0x0080;
inline constexpr std::uint32_t DCB_OUTX = 0x0100; // XON/XOFF on output
inline constexpr std::uint32_t DCB_INX = 0x0200;  // XON/XOFF on input
inline constexpr std::uint32_t DCB_ERROR_CHAR = 0x0400;
inline constexpr std::uint32_t DCB_NULL = 0x0800;        // discard received null bytes
inline constexpr std::uint32_t DCB_RTS_CONTROL = 0x3000; // the field: off 0, on, handshake, toggle
inline constexpr std::uint32_t DCB_RTS_ENABLE = 0x1000;
inline constexpr std::uint32_t DCB_RTS_HANDSHAKE = 0x2000;
inline constexpr std::uint32_t DCB_RTS_TOGGLE = 0x3000;
inline constexpr std::uint32_t DCB_ABORT_ON_ERROR = 0x4000;

inline constexpr std::uint8_t NOPARITY = 0, ODDPARITY = 1, EVENPARITY = 2, MARKPARITY = 3, SPACEPARITY = 4;
inline constexpr std::uint8_t ONESTOPBIT = 0, ONE5STOPBITS = 1, TWOSTOPBITS = 2;

struct DCB {
    std::uint32_t DCBlength = sizeof(DCB);
    std::uint32_t BaudRate = 0;
    std::uint32_t Flags = 0;
    std::uint16_t wReserved = 0;
    std::uint16_t XonLim = 0;
    std::uint16_t XoffLim = 0;
    std::uint8_t ByteSize = 0;
    std::uint8_t Parity = 0;
    std::uint8_t StopBits = 0;
    char XonChar = 0;
    char XoffChar = 0;
    char ErrorChar = 0;
    char EofChar = 0;
    char EvtChar = 0;
    std::uint16_t wReserved1 = 0;
    bool operator==(const DCB&) const = default;
};

inline constexpr std::uint32_t COMSTAT_CTS_HOLD = 0x01;
inline constexpr std::uint32_t COMSTAT_DSR_HOLD = 0x02;
inline constexpr std::uint32_t COMSTAT_RLSD_HOLD = 0x04;
inline constexpr std::uint32_t COMSTAT_XOFF_HOLD = 0x08;
inline constexpr std::uint32_t COMSTAT_XOFF_SENT = 0x10;

struct COMSTAT {
    std::uint32_t Flags = 0;    // COMSTAT_ bits
    std::uint32_t cbInQue = 0;  // received, not yet read
    std::uint32_t cbOutQue = 0; // written (pending writes included), not yet sent
};

struct COMMTIMEOUTS {
    std::uint32_t ReadIntervalTimeout = 0;
    std::uint32_t ReadTotalTimeoutMultiplier = 0;
    std::uint32_t ReadTotalTimeoutConstant = 0;
    std::uint32_t WriteTotalTimeoutMultiplier = 0;
    std::uint32_t WriteTotalTimeoutConstant = 0;
};

// The state of one overlapped operation. Internal is ERROR_IO_PENDING while it runs, then 0 or the
// error; InternalHigh the bytes moved. hEvent (owned by the caller) is cleared when the operation
// starts and set when it ends.
struct OVERLAPPED {
    std::uint32_t Internal = 0;
    std::uint32_t InternalHigh = 0;
    TEvent* hEvent = nullptr;
};

inline constexpr std::uint32_t EV_RXCHAR = 0x0001;
inline constexpr std::uint32_t EV_CTS = 0x0008;
inline constexpr std::uint32_t EV_DSR = 0x0010;
inline constexpr std::uint32_t EV_RLSD = 0x0020;
inline constexpr std::uint32_t EV_BREAK = 0x0040;
inline constexpr std::uint32_t EV_ERR = 0x0080;
inline constexpr std::uint32_t EV_RING = 0x0100;

inline constexpr std::uint32_t CE_RXOVER = 0x0001;
inline constexpr std::uint32_t CE_OVERRUN = 0x0002;
inline constexpr std::uint32_t CE_RXPARITY = 0x0004;
inline constexpr std::uint32_t CE_FRAME = 0x0008;
inline constexpr std::uint32_t CE_BREAK = 0x0010;

inline constexpr std::uint32_t PURGE_TXABORT = 0x0001;
inline constexpr std::uint32_t PURGE_RXABORT = 0x0002;
inline constexpr std::uint32_t PURGE_TXCLEAR = 0x0004;
inline constexpr std::uint32_t PURGE_RXCLEAR = 0x0008;

inline constexpr std::uint32_t MS_CTS_ON = 0x0010;
inline constexpr std::uint32_t MS_DSR_ON = 0x0020;
inline constexpr std::uint32_t MS_RING_ON = 0x0040;
inline constexpr std::uint32_t MS_RLSD_ON = 0x0080;

inline constexpr std::uint32_t SETRTS = 3;
inline constexpr std::uint32_t CLRRTS = 4;
inline constexpr std::uint32_t SETDTR = 5;
inline constexpr std::uint32_t CLRDTR = 6;
inline constexpr std::uint32_t SETBREAK = 8;
inline constexpr std::uint32_t CLRBREAK = 9;

// Every call but CreateFile returns false on failure with GetLastError set.
HANDLE CreateFile(const char* name, std::uint32_t access, std::uint32_t shareMode, void* security,
                  std::uint32_t disposition, std::uint32_t flags, HANDLE templateFile);
bool CloseHandle(HANDLE handle);
bool SetupComm(HANDLE handle, std::uint32_t inQueue, std::uint32_t outQueue);
bool GetCommState(HANDLE handle, DCB* dcb);
bool SetCommState(HANDLE handle, const DCB* dcb);
bool GetCommTimeouts(HANDLE handle, COMMTIMEOUTS* timeouts);
bool SetCommTimeouts(HANDLE handle, const COMMTIMEOUTS* timeouts);
bool SetCommMask(HANDLE handle, std::uint32_t mask);
bool GetCommMask(HANDLE handle, std::uint32_t* mask);
bool WaitCommEvent(HANDLE handle, std::uint32_t* events, OVERLAPPED* overlapped);
bool ReadFile(HANDLE handle, void* buffer, std::uint32_t size, std::uint32_t* read, OVERLAPPED* overlapped);
bool WriteFile(HANDLE handle, const void* data, std::uint32_t size, std::uint32_t* written,
               OVERLAPPED* overlapped);
bool GetOverlappedResult(HANDLE handle, OVERLAPPED* overlapped, std::uint32_t* bytes, bool wait);
bool CancelIoEx(HANDLE handle, OVERLAPPED* overlapped); // null: every pending operation
bool ClearCommError(HANDLE handle, std::uint32_t* errors, COMSTAT* status);
bool PurgeComm(HANDLE handle, std::uint32_t flags);
bool EscapeCommFunction(HANDLE handle, std::uint32_t function);
bool GetCommModemStatus(HANDLE handle, std::uint32_t* status);
bool SetCommBreak(HANDLE handle);
bool ClearCommBreak(HANDLE handle);

// Sets the line of a terminal descriptor that is not a handle of this layer (the telephony layer's) as
// SetCommState would, raw, with DTR and RTS raised; without a DCB its speed and framing stay as they
// are. False when it is no terminal or the DCB is not sound.
bool SetDescriptorState(int fd, const DCB* dcb);

class TCommDevice; // platform/CommDevice.h

// For tests: CreateFile of `name` (compared without letter case, with or without "\\.\") calls
// `open` instead of opening a device; a null result fails with the errno it left. An empty function
// removes the name.
using TCommDeviceFactory = std::function<std::unique_ptr<TCommDevice>()>;
void InstallCommDevice(const std::string& name, TCommDeviceFactory open);
