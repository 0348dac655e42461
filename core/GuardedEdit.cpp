#include "core/GuardedEdit.h"

#include <QAccessibleWidget>

#include "platform/Cp1251.h"

namespace {

// What assistive programs see: a password field with an empty text of length 1.
class TGuardedEditAccessible : public QAccessibleWidget, public QAccessibleTextInterface {
public:
    explicit TGuardedEditAccessible(QWidget* edit) : QAccessibleWidget(edit, QAccessible::EditableText) {}

    QString text(QAccessible::Text t) const override {
        return t == QAccessible::Value ? QString() : QAccessibleWidget::text(t);
    }
    QAccessible::State state() const override {
        QAccessible::State s = QAccessibleWidget::state();
        s.passwordEdit = true;
        s.editable = true;
        return s;
    }
    void* interface_cast(QAccessible::InterfaceType t) override {
        if (t == QAccessible::TextInterface)
            return static_cast<QAccessibleTextInterface*>(this);
        return QAccessibleWidget::interface_cast(t);
    }

    void selection(int, int* startOffset, int* endOffset) const override { *startOffset = *endOffset = 0; }
    int selectionCount() const override { return 0; }
    void addSelection(int, int) override {}
    void removeSelection(int) override {}
    void setSelection(int, int, int) override {}
    int cursorPosition() const override { return 0; }
    void setCursorPosition(int) override {}
    QString text(int, int) const override { return {}; }
    QString textBeforeOffset(int, QAccessible::TextBoundaryType, int* start, int* end) const override {
        return Nothing(start, end);
    }
    QString textAfterOffset(int, QAccessible::TextBoundaryType, int* start, int* end) const override {
        return Nothing(start, end);
    }
    QString textAtOffset(int, QAccessible::TextBoundaryType, int* start, int* end) const override {
        return Nothing(start, end);
    }
    int characterCount() const override { return 1; }
    QRect characterRect(int) const override { return {}; }
    int offsetAtPoint(const QPoint&) const override { return -1; }
    void scrollToSubstring(int, int) override {}
    QString attributes(int, int* start, int* end) const override { return Nothing(start, end); }

private:
    static QString Nothing(int* start, int* end) {
        *start = *end = 0;
        return {};
    }
};

QAccessibleInterface* GuardedEditAccessibleFactory(const QString& className, QObject* object) {
    if (className == QLatin1String("TGuardedEdit") && object && object->isWidgetType())
        return new TGuardedEditAccessible(static_cast<QWidget*>(object));
    return nullptr;
}

} // namespace

std::string FillUpPassword(std::string_view entry) {
    return PasswordText(MakePassword(entry));
}

TGuardedEdit::TGuardedEdit(QWidget* parent) : QLineEdit(parent) {
    static const bool factoryInstalled = (QAccessible::installFactory(GuardedEditAccessibleFactory), true);
    (void)factoryInstalled;
    setMaxLength(int(PasswordLength));
    setValidator(new TCp1251Validator(this));
    setStyleSheet(QStringLiteral("lineedit-password-character: 42")); // '*'
    KeepMasked();
}

std::string TGuardedEdit::ReadOut(TReadOutTag) const {
    return ToCp1251(QLineEdit::text().left(int(PasswordLength)));
}

QVariant TGuardedEdit::inputMethodQuery(Qt::InputMethodQuery query) const {
    switch (query) {
    case Qt::ImSurroundingText:
    case Qt::ImCurrentSelection:
    case Qt::ImTextBeforeCursor:
    case Qt::ImTextAfterCursor:
        return QString();
    default:
        return QLineEdit::inputMethodQuery(query);
    }
}

bool TGuardedEdit::event(QEvent* event) {
    KeepMasked();
    return QLineEdit::event(event);
}

void TGuardedEdit::KeepMasked() {
    if (echoMode() != QLineEdit::Password)
        QLineEdit::setEchoMode(QLineEdit::Password);
}
