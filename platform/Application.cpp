#include "platform/Application.h"

#include <csignal>
#include <cstdio>

#include "platform/Dialogs.h"

TApplication* Application = nullptr;

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {
    setQuitOnLastWindowClosed(false);
    std::signal(SIGXFSZ, SIG_IGN);
    Application = this;
}

TApplication::~TApplication() {
    if (Application == this)
        Application = nullptr;
}

void TApplication::ProcessMessages() {
    processEvents();
}

int TApplication::Run() {
    return exec();
}

void TApplication::Terminate() {
    terminated_ = true;
    quit();
}

bool TApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        ShowException(std::current_exception());
        return false;
    }
}

void ShowException(const std::exception_ptr& error) noexcept {
    QString text;
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        text = QString::fromUtf8(e.what());
    } catch (...) {
        text = QStringLiteral("Unknown exception");
    }
    try {
        MessageDlg(text, mtError, mbOK);
    } catch (...) {
        std::fprintf(stderr, "exception while showing an exception: %s\n", text.toLocal8Bit().constData());
    }
}
