// Helpers for tests of forms and of the platform layer: every test executable that links
// platform_test_support gets a TApplication (offscreen) for its whole run.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include <QByteArray>
class QString;
class QWidget;
class TForm;
class TStringGrid;

// Runs the event loop until done() holds or timeoutMs of real time have passed; returns done().
bool PumpUntil(const std::function<bool()>& done, int timeoutMs = 5000);
// Runs the event loop for a short real time, to show that something does not happen.
void PumpFor(int ms);
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
// Types the text into target as the keyboard would, one key a character, whatever the characters.
void TypeText(QWidget* target, const QString& text);
// Runs the action once the form's modal loop is running.
void WhenModal(TForm& form, std::function<void()> action);
// Runs the action on the window of that object name once one is shown (a form that some call makes and
// shows modally itself); fails the test when none is within 5 s.
void WhenShown(const QString& objectName, std::function<void(QWidget*)> action);
// Clicks a data cell of the grid with the mouse.
void ClickCell(TStringGrid* grid, int col, int row);
// Types the text into the grid: the first key opens the current cell's editor, the rest go to it.
void TypeInGrid(TStringGrid* grid, const QString& text);
