#include "tests/platform/TestSupport.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QKeyEvent>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include "platform/Application.h"
#include "platform/Forms.h"
#include "platform/StringGrid.h"
#include "platform/TcpServer.h"

namespace {

class TApplicationEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        static int argc = 1;
        static char name[] = "platform-tests";
        static char* argv[] = {name, nullptr};
        app_ = std::make_unique<TApplication>(argc, argv);
    }
    void TearDown() override { app_.reset(); }

private:
    std::unique_ptr<TApplication> app_;
};

const auto* const environment = ::testing::AddGlobalTestEnvironment(new TApplicationEnvironment);

} // namespace

bool PumpUntil(const std::function<bool()>& done, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    QTimer wake; // so that waiting for events comes back to look at the deadline
    wake.start(5);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

void PumpFor(int ms) {
    PumpUntil([] { return false; }, ms);
}

// Unchecked by the sanitizer: its check of a virtual call needs a free descriptor, and a test of the
// descriptor limit may leave none.
__attribute__((no_sanitize("vptr"))) bool PumpIdle() {
    QAbstractEventDispatcher* loop = QAbstractEventDispatcher::instance();
    for (int turns = 0; turns < 100'000; ++turns)
        if (!loop->processEvents(QEventLoop::AllEvents))
            return true;
    return false;
}

std::set<QString> OpenDescriptorNames() {
    const QStringList entries = QDir(QStringLiteral("/proc/self/fd"))
                                    .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    return {entries.begin(), entries.end()};
}

void AwaitReadable(const TServerClientWinSocket* s) {
    pollfd p{s->SocketHandle(), POLLIN, 0};
    ::poll(&p, 1, 2000);
}

void FailTest(const std::string& message) {
    ADD_FAILURE() << message;
}

TEnvironment::TEnvironment(const char* name, std::optional<QByteArray> value) : name_(name) {
    if (qEnvironmentVariableIsSet(name))
        saved_ = qgetenv(name);
    if (value)
        qputenv(name, *value);
    else
        qunsetenv(name);
}

TEnvironment::~TEnvironment() {
    if (saved_)
        qputenv(name_, *saved_);
    else
        qunsetenv(name_);
}

void TypeText(QWidget* target, const QString& text) {
    for (const QChar c : text) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(c));
        QCoreApplication::sendEvent(target, &press);
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, QString(c));
        QCoreApplication::sendEvent(target, &release);
    }
}

void WhenModal(TForm& form, std::function<void()> action) {
    QTimer::singleShot(0, &form, [&form, action = std::move(action)] {
        ASSERT_TRUE(PumpUntil([&] { return form.isVisible(); }));
        action();
    });
}

void WhenShown(const QString& objectName, std::function<void(QWidget*)> action) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, poll, [poll, objectName, action = std::move(action), deadline] {
        for (QWidget* window : QApplication::topLevelWidgets())
            if (window->objectName() == objectName && window->isVisible()) {
                poll->stop();
                poll->deleteLater();
                action(window);
                return;
            }
        if (std::chrono::steady_clock::now() > deadline) {
            poll->stop();
            poll->deleteLater();
            ADD_FAILURE() << "no window " << objectName.toStdString() << " was shown";
        }
    });
    poll->start(1);
}

void ClickCell(TStringGrid* grid, int col, int row) {
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, {},
                      grid->visualRect(grid->model()->index(row - 1, col)).center());
}

void TypeInGrid(TStringGrid* grid, const QString& text) {
    for (const QChar c : text) {
        QWidget* editor = grid->indexWidget(grid->currentIndex());
        TypeText(editor ? editor : grid, c);
    }
}

TFifoWatch::TFifoWatch(std::string path, TWaiter waiter, int limitMs) : path_(std::move(path)) {
    made_ = ::mkfifo(path_.c_str(), 0600) == 0;
    if (made_)
        thread_ = std::thread([this, waiter, limitMs] { Watch(waiter, limitMs); });
}

TFifoWatch::~TFifoWatch() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    stop_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

void TFifoWatch::Watch(TWaiter waiter, int limitMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (stop_.wait_for(lock, std::chrono::milliseconds(limitMs), [this] { return stopping_; }))
        return;
    // Past the limit: whoever waits is let through, again and again, until the test is done.
    int reader = -1;
    while (!stopping_) {
        if (waiter == TWaiter::Reader) {
            // Opening for writing without waiting succeeds only while a reader is in its open.
            const int fd = ::open(path_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd >= 0) {
                released_ = true;
                ::close(fd);
            }
        } else {
            if (reader < 0)
                reader = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            char bytes[4096];
            while (reader >= 0 && ::read(reader, bytes, sizeof bytes) > 0)
                released_ = true;
        }
        stop_.wait_for(lock, std::chrono::milliseconds(20), [this] { return stopping_; });
    }
    if (reader >= 0)
        ::close(reader);
}

std::vector<TOddFile> OddFiles(const std::string& path, const std::string& pipe, std::uint64_t cap) {
    return {
        {"link to a pipe", [=] { std::filesystem::create_symlink(pipe, path); }, "not a regular file"},
        {"link to /dev/zero", [=] { std::filesystem::create_symlink("/dev/zero", path); },
         "not a regular file"},
        {"over the cap",
         [=] {
             std::ofstream(path) << "[x=1-1]\n";
             std::filesystem::resize_file(path, cap + 1); // holds nothing on disk
         },
         "larger than " + std::to_string(cap) + " bytes"},
    };
}

std::string WhatIsAt(const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code error;
    switch (fs::symlink_status(path, error).type()) {
    case fs::file_type::not_found:
        return "nothing";
    case fs::file_type::symlink:
        return "link to " + fs::read_symlink(path, error).string();
    case fs::file_type::regular:
        return "file of " + std::to_string(fs::file_size(path, error)) + " bytes";
    case fs::file_type::fifo:
        return "pipe";
    default:
        return "other";
    }
}
