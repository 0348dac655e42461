#include "platform/Warning.h"

#include <cstdio>
#include <memory>
#include <mutex>

#include <QCoreApplication>
#include <QThread>

namespace {

using TSink = std::function<void(const QString&)>;

std::mutex sinkLock;
std::shared_ptr<const TSink> sink; // replaced whole, so that a warning on its way keeps the one it took

std::shared_ptr<const TSink> Sink() {
    const std::lock_guard guard(sinkLock);
    return sink;
}

} // namespace

void PlatformWarning(const QString& text) {
    std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
    QCoreApplication* const application = QCoreApplication::instance();
    if (!application || !Sink())
        return;
    // The sink is the main thread's; it is looked up again there, so one taken away meanwhile gets nothing.
    const auto deliver = [text] {
        if (const std::shared_ptr<const TSink> current = Sink())
            (*current)(text);
    };
    if (QThread::currentThread() == application->thread())
        deliver();
    else
        QMetaObject::invokeMethod(application, deliver, Qt::QueuedConnection);
}

void SetPlatformWarningSink(std::function<void(const QString&)> to) {
    std::shared_ptr<const TSink> next = to ? std::make_shared<const TSink>(std::move(to)) : nullptr;
    const std::lock_guard guard(sinkLock);
    sink = std::move(next);
}
