// Stands in for window messages to hidden windows: a window procedure on the main thread,
// PostMessage, SendMessage and SendMessageTimeout, RegisterWindowMessage.
//
// A TMessageWindow is made on the main thread and its procedure always runs there, from the event
// loop (nested loops of modal dialogs included). PostMessage and the sends may be called from any
// thread with the window's handle; a handle whose window is gone is refused. A send from the main
// thread calls the procedure at once. A send from another thread waits until the procedure has
// returned, or, for SendMessageTimeout, at most the time-out: a message whose time ran out before the
// main thread took it is dropped; one already running finishes, but nobody waits for it.
//
// A window may be destroyed from inside its own procedure: no message reaches it from then on, and
// the procedure finishes first.
//
// The header needs no Qt, so code without Qt (the serial library's core) can post and send; a
// program without Qt links a stand-in of its own for these calls.
#pragma once

#include <cstdint>
#include <functional>

class QString;

using HWND = std::uintptr_t; // 0: no window
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;

inline constexpr unsigned WM_USER = 0x0400;

class TMessageReceiver;

class TMessageWindow {
public:
    using WindowProc = std::function<LRESULT(unsigned message, WPARAM wParam, LPARAM lParam)>;

    explicit TMessageWindow(WindowProc procedure);
    ~TMessageWindow();
    TMessageWindow(const TMessageWindow&) = delete;
    TMessageWindow& operator=(const TMessageWindow&) = delete;

    HWND Handle() const { return handle_; }

private:
    HWND handle_;
    TMessageReceiver* receiver_;
};

bool PostMessage(HWND window, unsigned message, WPARAM wParam, LPARAM lParam);
// Waits as long as it takes; 0 when the window is gone.
LRESULT SendMessage(HWND window, unsigned message, WPARAM wParam, LPARAM lParam);
// True when the procedure ran and returned within timeoutMs; its result goes to *result.
bool SendMessageTimeout(HWND window, unsigned message, WPARAM wParam, LPARAM lParam, unsigned timeoutMs,
                        LRESULT* result);

// The messages the main thread's loop has taken from the queue and run so far, and the last of
// them: what a message pump reports of the messages it let run. Main thread only.
struct TMessageRun {
    std::uint64_t Count = 0;
    unsigned Message = 0;
    HWND Window = 0;
};
TMessageRun LastMessageRun();

// The same number for the same name (case-insensitive) for the life of the program, from 0xC000 up.
unsigned RegisterWindowMessage(const QString& name);
