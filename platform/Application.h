// Stands in for the framework's application object (Application: Title, ProcessMessages, Run,
// Terminate) and its exception guard.
//
// No exception crosses the event loop: the platform's own event sources (timers, sockets, messages)
// run handlers through Guarded, and notify() catches whatever else escapes an event handler. Either
// way the exception is shown as the framework shows it: an error box with its message, OK button.
#pragma once

#include <exception>

#include <QApplication>
#include <QPointer>
#include <QString>
#include <QWidget>

class TApplication : public QApplication {
public:
    // The program does not end when its last window closes; the main form's close ends the loop. A
    // file that may grow no further (a file size limit) fails the write, as a full disk does, instead
    // of ending the program. Qt's own texts are in Russian where Qt's Russian translation is installed.
    TApplication(int& argc, char** argv);
    ~TApplication() override;

    QString Title() const { return title_; }
    void SetTitle(const QString& title) { title_ = title; }

    // The form whose close ends the program.
    void SetMainForm(QWidget* form) { mainForm_ = form; }
    QWidget* MainForm() const { return mainForm_; }

    void ProcessMessages();
    int Run();
    void Terminate();
    // Terminate was called: the loop is ending (what a pending quit message tells the framework).
    bool Terminated() const { return terminated_; }

    bool notify(QObject* receiver, QEvent* event) override;

private:
    QString title_;
    QPointer<QWidget> mainForm_;
    bool terminated_ = false;
};

extern TApplication* Application;

// Shows an exception that was caught at the edge of an event handler.
void ShowException(const std::exception_ptr& error) noexcept;

template <class F> void Guarded(F&& handler) noexcept {
    try {
        handler();
    } catch (...) {
        ShowException(std::current_exception());
    }
}
