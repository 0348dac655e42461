// Helpers for tests of forms and of the platform layer: every test executable that links
// platform_test_support gets a TApplication (offscreen) for its whole run.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include <QByteArray>

class QWidget;
class TForm;

// Runs the event loop until done() holds or timeoutMs of real time have passed; returns done().
bool PumpUntil(const std::function<bool()>& done, int timeoutMs = 5000);
// Runs the event loop for a short real time, to show that something does not happen.
void PumpFor(int ms);
// Types the text into the widget as the keyboard would, one character a key, whatever the characters.
void Type(QWidget* widget, const QString& text);
// Runs action once the form is shown in its modal loop (ShowModal has not returned yet then).
void WhenModal(TForm& form, std::function<void()> action);
// The failure hook for TScriptedDialogs: fails the running test with the message.
void FailTest(const std::string& message);

// Sets an environment variable (or, with no value, removes it) for one scope.
class TEnvironment {
public:
    TEnvironment(const char* name, std::optional<QByteArray> value);
    ~TEnvironment();
    TEnvironment(const TEnvironment&) = delete;
    TEnvironment& operator=(const TEnvironment&) = delete;

private:
    const char* name_;
    std::optional<QByteArray> saved_;
};
