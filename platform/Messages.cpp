#include "platform/Messages.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include <QCoreApplication>
#include <QEvent>
#include <QThread>

#include "platform/Application.h"

namespace {

// One send from another thread, shared by the sender and the event that carries it.
struct TSentCall {
    enum State { Waiting, Running, Done, Dropped };
    std::mutex Lock;
    std::condition_variable Finished;
    State Now = Waiting;
    LRESULT Result = 0;

    void Finish(State state, LRESULT result = 0) {
        std::lock_guard guard(Lock);
        Now = state;
        Result = result;
        Finished.notify_all();
    }
};

const QEvent::Type MessageEventType = QEvent::Type(QEvent::registerEventType());

struct TMessageEvent : QEvent {
    TMessageEvent(unsigned message, WPARAM wParam, LPARAM lParam, std::shared_ptr<TSentCall> call)
        : QEvent(MessageEventType), Message(message), WParam(wParam), LParam(lParam), Call(std::move(call)) {}
    // An event dropped with its window tells its sender at once.
    ~TMessageEvent() override {
        if (Call && !Handled)
            Call->Finish(TSentCall::Dropped);
    }
    unsigned Message;
    WPARAM WParam;
    LPARAM LParam;
    std::shared_ptr<TSentCall> Call;
    bool Handled = false;
};

std::mutex windowsLock;
std::map<HWND, TMessageReceiver*> windows;
HWND nextHandle = 1;
TMessageRun lastRun; // main thread only

bool OnMainThread() {
    return QCoreApplication::instance() && QThread::currentThread() == QCoreApplication::instance()->thread();
}

} // namespace

class TMessageReceiver : public QObject {
public:
    TMessageReceiver(HWND handle, TMessageWindow::WindowProc procedure)
        : handle_(handle), procedure_(std::move(procedure)) {}

    LRESULT Call(unsigned message, WPARAM wParam, LPARAM lParam) {
        LRESULT result = 0;
        ++running_;
        Guarded([&] { result = procedure_(message, wParam, lParam); });
        --running_;
        return result;
    }

    // The window is gone. A procedure that destroyed its own window is still running: the receiver
    // (and the procedure) go once the event loop is back.
    void Retire() {
        if (running_ == 0) {
            delete this;
            return;
        }
        retired_ = true;
        deleteLater();
    }

    bool event(QEvent* e) override {
        if (e->type() != MessageEventType)
            return QObject::event(e);
        auto* m = static_cast<TMessageEvent*>(e);
        if (retired_)
            return true; // dropped: a sender hears so from the event's end
        m->Handled = true;
        if (!m->Call) {
            Run(*m);
            return true;
        }
        {
            std::lock_guard guard(m->Call->Lock);
            if (m->Call->Now != TSentCall::Waiting)
                return true; // the sender gave up before we got to it
            m->Call->Now = TSentCall::Running;
        }
        m->Call->Finish(TSentCall::Done, Run(*m));
        return true;
    }

private:
    LRESULT Run(const TMessageEvent& m) {
        lastRun = {lastRun.Count + 1, m.Message, handle_};
        return Call(m.Message, m.WParam, m.LParam);
    }

    HWND handle_;
    TMessageWindow::WindowProc procedure_;
    int running_ = 0;
    bool retired_ = false;
};

TMessageWindow::TMessageWindow(WindowProc procedure) {
    std::lock_guard guard(windowsLock);
    handle_ = nextHandle++;
    receiver_ = new TMessageReceiver(handle_, std::move(procedure));
    windows[handle_] = receiver_;
}

TMessageWindow::~TMessageWindow() {
    {
        std::lock_guard guard(windowsLock);
        windows.erase(handle_);
    }
    receiver_->Retire(); // drops the events still queued for it
}

namespace {

// Posts under the lock, so the window cannot go between the look-up and the post.
bool Post(HWND window, unsigned message, WPARAM wParam, LPARAM lParam, std::shared_ptr<TSentCall> call) {
    std::lock_guard guard(windowsLock);
    const auto found = windows.find(window);
    if (found == windows.end())
        return false;
    QCoreApplication::postEvent(found->second, new TMessageEvent(message, wParam, lParam, std::move(call)));
    return true;
}

// On the main thread the procedure runs at once.
std::optional<LRESULT> CallDirectly(HWND window, unsigned message, WPARAM wParam, LPARAM lParam) {
    TMessageReceiver* receiver = nullptr;
    {
        std::lock_guard guard(windowsLock);
        const auto found = windows.find(window);
        if (found != windows.end())
            receiver = found->second;
    }
    if (!receiver)
        return std::nullopt;
    return receiver->Call(message, wParam, lParam);
}

} // namespace

bool PostMessage(HWND window, unsigned message, WPARAM wParam, LPARAM lParam) {
    return Post(window, message, wParam, lParam, nullptr);
}

LRESULT SendMessage(HWND window, unsigned message, WPARAM wParam, LPARAM lParam) {
    LRESULT result = 0;
    SendMessageTimeout(window, message, wParam, lParam, ~0u, &result);
    return result;
}

bool SendMessageTimeout(HWND window, unsigned message, WPARAM wParam, LPARAM lParam, unsigned timeoutMs,
                        LRESULT* result) {
    if (OnMainThread()) {
        const std::optional<LRESULT> direct = CallDirectly(window, message, wParam, lParam);
        if (direct && result)
            *result = *direct;
        return direct.has_value();
    }
    auto call = std::make_shared<TSentCall>();
    if (!Post(window, message, wParam, lParam, call))
        return false;
    std::unique_lock guard(call->Lock);
    const auto over = [&] { return call->Now == TSentCall::Done || call->Now == TSentCall::Dropped; };
    if (timeoutMs == ~0u)
        call->Finished.wait(guard, over);
    else
        call->Finished.wait_for(guard, std::chrono::milliseconds(timeoutMs), over);
    if (call->Now == TSentCall::Waiting)
        call->Now = TSentCall::Dropped;
    if (call->Now != TSentCall::Done)
        return false;
    if (result)
        *result = call->Result;
    return true;
}

TMessageRun LastMessageRun() {
    return lastRun;
}

unsigned RegisterWindowMessage(const QString& name) {
    static std::mutex lock;
    static std::map<QString, unsigned> registered;
    std::lock_guard guard(lock);
    const auto [entry, added] = registered.try_emplace(name.toLower(), 0xC000 + unsigned(registered.size()));
    return entry->second;
}
