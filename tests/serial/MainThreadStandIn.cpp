#include "tests/serial/MainThreadStandIn.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/Messages.h"
#include "platform/Sync.h"
#include "serial/ComPort.h"
#include "serial/Dispatcher.h"
#include "serial/Utilities.h"

class TMessageReceiver {
public:
    explicit TMessageReceiver(TMessageWindow::WindowProc procedure) : Procedure(std::move(procedure)) {}
    TMessageWindow::WindowProc Procedure;
};

namespace {

struct TSentCall {
    bool Done = false;
    bool Dropped = false;
    LRESULT Result = 0;
};

struct TQueued {
    HWND Window;
    unsigned Message;
    WPARAM WParam;
    LPARAM LParam;
    std::shared_ptr<TSentCall> Call;
};

std::mutex lock;
std::condition_variable finished;
std::deque<TQueued> queue;
std::map<HWND, TMessageReceiver*> windows;
HWND nextHandle = 1;
const std::thread::id mainThread = std::this_thread::get_id();

bool Queue(TQueued message) {
    std::lock_guard guard(lock);
    if (message.Window != 0 && !windows.count(message.Window))
        return false;
    queue.push_back(std::move(message));
    return true;
}

} // namespace

TMessageWindow::TMessageWindow(WindowProc procedure) : receiver_(new TMessageReceiver(std::move(procedure))) {
    std::lock_guard guard(lock);
    handle_ = nextHandle++;
    windows[handle_] = receiver_;
}

TMessageWindow::~TMessageWindow() {
    {
        std::lock_guard guard(lock);
        windows.erase(handle_);
        for (TQueued& q : queue) {
            if (q.Window == handle_ && q.Call)
                q.Call->Dropped = true;
        }
        std::erase_if(queue, [this](const TQueued& q) { return q.Window == handle_; });
    }
    finished.notify_all();
    delete receiver_;
}

bool PostMessage(HWND window, unsigned message, WPARAM wParam, LPARAM lParam) {
    return Queue({window, message, wParam, lParam, nullptr});
}

bool SendMessageTimeout(HWND window, unsigned message, WPARAM wParam, LPARAM lParam, unsigned timeoutMs,
                        LRESULT* result) {
    if (std::this_thread::get_id() == mainThread) {
        TMessageWindow::WindowProc procedure;
        {
            std::lock_guard guard(lock);
            const auto found = windows.find(window);
            if (found == windows.end())
                return false;
            procedure = found->second->Procedure;
        }
        const LRESULT r = procedure(message, wParam, lParam);
        if (result)
            *result = r;
        return true;
    }
    auto call = std::make_shared<TSentCall>();
    if (!Queue({window, message, wParam, lParam, call}))
        return false;
    std::unique_lock guard(lock);
    const auto over = [&] { return call->Done || call->Dropped; };
    if (timeoutMs == ~0u)
        finished.wait(guard, over);
    else if (!finished.wait_for(guard, std::chrono::milliseconds(timeoutMs), over))
        call->Dropped = true;
    if (result && call->Done)
        *result = call->Result;
    return call->Done;
}

LRESULT SendMessage(HWND window, unsigned message, WPARAM wParam, LPARAM lParam) {
    LRESULT result = 0;
    SendMessageTimeout(window, message, wParam, lParam, ~0u, &result);
    return result;
}

std::uint32_t SafeYield() {
    TQueued next{};
    TMessageWindow::WindowProc procedure;
    {
        std::lock_guard guard(lock);
        if (queue.empty())
            return 0;
        next = queue.front();
        if (next.Message == WM_QUIT)
            return WM_QUIT; // stays queued for the main loop
        queue.pop_front();
        if (next.Call && next.Call->Dropped)
            return 0;
        procedure = windows.at(next.Window)->Procedure;
    }
    const LRESULT r = procedure(next.Message, next.WParam, next.LParam);
    if (next.Call) {
        {
            std::lock_guard guard(lock);
            next.Call->Result = r;
            next.Call->Done = true;
        }
        finished.notify_all();
    }
    return (next.Message & 0xFFFF) | std::uint32_t(next.Window & 0xFFFF) << 16;
}

bool PumpUntil(const std::function<bool()>& done, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        SafeYield();
        Sleep(1);
    }
    return true;
}

bool PumpQueued(int timeoutMs) {
    bool ran = false;
    const TMessageWindow mark([&ran](unsigned, WPARAM, LPARAM) -> LRESULT {
        ran = true;
        return 0;
    });
    return PostMessage(mark.Handle(), WM_USER, 0, 0) && PumpUntil([&] { return ran; }, timeoutMs);
}

bool PumpPasses(const TSioBaseDispatcher& dispatcher) {
    // The thread counts a wait as each pass ends: three more take in two whole passes.
    const std::uint32_t waits = dispatcher.DispatchWaits();
    return PumpUntil([&] { return dispatcher.DispatchWaits() >= waits + 3; }) && PumpQueued();
}

void PostQuitMessage() {
    Queue({0, WM_QUIT, 0, 0, nullptr});
}

void ClearMessages() {
    {
        std::lock_guard guard(lock);
        for (TQueued& q : queue) {
            if (q.Call)
                q.Call->Dropped = true; // its sender stops waiting
        }
        queue.clear();
    }
    finished.notify_all();
}

namespace {

std::vector<std::string> shownErrors;
std::optional<std::uint16_t> promptAnswer;
int prompts = 0;

} // namespace

void ApplicationHandleException(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        shownErrors.push_back(e.what());
    } catch (...) {
        shownErrors.push_back("?");
    }
}

std::vector<std::string> TakeShownErrors() {
    return std::exchange(shownErrors, {});
}

bool PromptForComPort(std::uint16_t& comNumber) {
    ++prompts;
    if (!promptAnswer)
        return false;
    comNumber = *promptAnswer;
    return true;
}

void AnswerComPortPrompt(std::optional<std::uint16_t> answer) {
    promptAnswer = answer;
}

int ComPortPrompts() {
    return prompts;
}
