// The guarded password edit of the two password dialogs.
//
// Only the owning dialog's OK handler reads the typed text, with a read-out tag that only the two
// dialogs can make. Every other way of reading it gets nothing: text(), selectedText(), the "text"
// property, input-method queries and the accessibility interface that assistive programs use (which
// reports an empty text of length 1). The echo mode stays Password with '*' for every character: it
// cannot be set through this class or its properties, and a change made through the QLineEdit base is
// undone before the edit handles its next event. At most 16 characters, each one Windows-1251 can hold.
#pragma once

#include <string>

#include <QLineEdit>

#include "core/RecordFields.h"

class TPasswordEnter;
class TPasswordUpdate;

// A password entry of at most 16 characters filled up on the right with the no-password marker's
// character to exactly 16, so that an empty one yields the marker "8888888888888888".
std::string FillUpPassword(std::string_view entry);

class TReadOutTag {
    TReadOutTag() = default;
    friend class TPasswordEnter;
    friend class TPasswordUpdate;
};

class TGuardedEdit : public QLineEdit {
    Q_OBJECT
    Q_PROPERTY(QString text READ text WRITE setText USER true)
    Q_PROPERTY(QString selectedText READ selectedText)
    Q_PROPERTY(QString displayText READ displayText)
    Q_PROPERTY(QLineEdit::EchoMode echoMode READ echoMode WRITE RefuseEchoMode)

public:
    explicit TGuardedEdit(QWidget* parent = nullptr);

    // The typed text in Windows-1251, for the dialog's OK handler.
    std::string ReadOut(TReadOutTag) const;

    QString text() const { return {}; }
    QString selectedText() const { return {}; }
    void setEchoMode(QLineEdit::EchoMode) = delete;

    QVariant inputMethodQuery(Qt::InputMethodQuery query) const override;

protected:
    bool event(QEvent* event) override;

private:
    void RefuseEchoMode(QLineEdit::EchoMode) {}
    void KeepMasked();
};
