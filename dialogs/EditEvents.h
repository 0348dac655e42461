// The key filters and exit handlers that the dialogs bind to their edits, as the forms do: every typed
// character key goes through the edit's filter, which may drop it (editing and control keys pass
// untouched, as they never reach a key-press handler), and leaving the edit runs its exit handler,
// changed or not.
#pragma once

#include <functional>

#include <QChar>

class QLineEdit;
class QWidget;

// A key filter turns a refused key into a null character.
using TKeyFilter = void (*)(QChar& key);

// Digits and backspace.
void DigitKeyFilter(QChar& key);
// Digits, "." and backspace.
void DigitDotKeyFilter(QChar& key);
// Hexadecimal digits (either case) and backspace.
void HexDigitKeyFilter(QChar& key);

// A number edit: what an edit without a number reads as, and the range it is held in.
struct TNumberLimits {
    int Default, Min, Max;
};
// The server port edits of the dialogs.
inline constexpr TNumberLimits TcpPortLimits{10001, 1024, 65535};

// The value the edit reads as.
int EditNumber(const QLineEdit* edit, const TNumberLimits& limits);
// Rewrites the edit as the value it reads as.
void HoldInRange(QLineEdit* edit, const TNumberLimits& limits);

// An edit named after its component, of at most maxLength characters, with its key filter (none when
// null) and exit handler.
QLineEdit* FilteredEdit(QWidget* parent, const char* name, int maxLength, TKeyFilter filter,
                        std::function<void()> onExit = {});
