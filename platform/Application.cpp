#include "platform/Application.h"

#include <csignal>
#include <cstdio>

#include <QLibraryInfo>
#include <QTranslator>

#include "platform/Dialogs.h"

TApplication* Application = nullptr;

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {
    setQuitOnLastWindowClosed(false);
    std::signal(SIGXFSZ, SIG_IGN);
    Application = this;
    // Qt's own boxes and menus (the file box, an edit's context menu) speak the operator's language.
    auto* translator = new QTranslator(this);
    if (translator->load(QStringLiteral("qtbase_ru"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        installTranslator(translator);
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
