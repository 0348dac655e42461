// The serial port library: what a user of a serial port includes.
//
// Pieces
//   serial/ErrorCodes.h, MessageTable.h, Exceptions.h  result codes, their texts, their exceptions
//   serial/Utilities.h       55 ms ticks, timers, DelayTicks and SafeYield, TSioBaseComponent
//   serial/ComPort.h         TSioComPort: the component a program uses; the rest is what it is made of
//   serial/Dispatcher.h      TSioBaseDispatcher: buffers, line settings, modem lines, flow control
//   serial/Triggers.h        avail, data, timer and status triggers and the handlers they notify
//   serial/DispatchLog.h     the byte trace and the dispatch log
//   serial/Win32Dispatcher.h the device layer (TSioWin32Dispatcher, TSioTAPI32Dispatcher), threads
//   serial/PortProbe.h       IsPortAvailable
//   serial/ComSelectForm.h   the port selection dialog (Qt; not included here)
// Below the dialog nothing here uses Qt: the library reaches the main thread only through
// platform/Messages.h, SafeYield, ApplicationHandleException and PromptForComPort, which a program
// without Qt provides itself.
//
// Ownership
//   The component creates one dispatcher per open port (new TSioWin32Dispatcher(owner), InitPort) and
//   deletes it after DonePort. The dispatcher owns its buffers, events and four worker threads and
//   frees them only on the main thread once every worker has ended; the device layer owns the
//   device handle, a TAPI dispatcher the handle it was given. Registered windows are only referred
//   to: deregister a window before destroying it.
//
// Results
//   Operations return 0 or a negative code of ErrorCodes.h (a few a count or a state, as their
//   comments say) and raise nothing. CheckException(component, result) turns a negative result into
//   the exception of its class, with the message table's text; the component does that.
//   Opening reports the platform's reason: -2 no such port, -5 in use or not permitted
//   (LastErrno() gives EBUSY or EACCES), -8 out of memory.
//
// Threads
//   Every operation of the component, a dispatcher, the probe and the dialog belongs to the main
//   thread. Each open port runs a read, a write, a status and a dispatch thread; they touch the
//   main thread only by messages. The dispatch thread notifies the component's hidden window with a
//   blocking send (at most WndNotifyTimeoutMs, 3000 ms), so the component's events run on the main
//   thread while it waits; a close from inside one finishes when the window's deferred message
//   (0x7E0A) comes, one made once it has returned is done at once. When a worker fails (the device
//   is gone, a read or write fails, memory runs out) the port enters the lost state: PutBlock gives
//   -3004, what was received can still be read, and DeviceLostMessage (0x7E0B, wParam the failure's
//   code, lParam PortIndex shl 16) is posted to each registered window; the component then closes
//   the port by itself. Closing a port is never reported as a loss. While an avail or data
//   notification is delivered, a handler's reads count as its own; a read outside the handlers
//   (between them, or on the main thread while the dispatch thread waits for it to run one) gets
//   what the handlers have not taken at once, and the handlers are told what it left.
//
// Locks (internal): the port list, then each dispatcher's settings, dispatch ring, output ring and
// queue locks, always in that order; none is held while waiting for a thread, but the component's
// window holds the port list while its event handler runs.
#pragma once

#include "serial/ComPort.h"
#include "serial/DispatchLog.h"
#include "serial/Dispatcher.h"
#include "serial/ErrorCodes.h"
#include "serial/Exceptions.h"
#include "serial/MessageTable.h"
#include "serial/PortProbe.h"
#include "serial/Triggers.h"
#include "serial/Utilities.h"
#include "serial/Win32Dispatcher.h"
