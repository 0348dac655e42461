#include "dialogs/EditEvents.h"

#include <algorithm>

#include <QEvent>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QLineEdit>

#include "core/FormControls.h"
#include "core/ObjectRegistry.h"
#include "platform/Cp1251.h"

namespace {

bool IsDigit(QChar key) {
    return key >= QLatin1Char('0') && key <= QLatin1Char('9');
}

void Refuse(QChar& key, bool accepted) {
    if (!accepted && key != QLatin1Char('\b'))
        key = QChar();
}

// The events of one edit: its filter for every typed character, its exit handler when it is left.
class TEditEvents : public QObject {
public:
    TEditEvents(QObject* parent, TKeyFilter filter, std::function<void()> onExit)
        : QObject(parent), filter_(filter), onExit_(std::move(onExit)) {}

    bool eventFilter(QObject*, QEvent* event) override {
        // A popup menu of the edit takes the focus without the edit being left.
        if (event->type() == QEvent::FocusOut && onExit_ &&
            static_cast<QFocusEvent*>(event)->reason() != Qt::PopupFocusReason)
            onExit_();
        if (event->type() != QEvent::KeyPress || !filter_)
            return false;
        const QString text = static_cast<QKeyEvent*>(event)->text();
        for (QChar key : text) {
            if (key < QLatin1Char(' '))
                continue;
            filter_(key);
            if (key.isNull())
                return true;
        }
        return false;
    }

private:
    TKeyFilter filter_;
    std::function<void()> onExit_;
};

} // namespace

void DigitKeyFilter(QChar& key) {
    Refuse(key, IsDigit(key));
}

void DigitDotKeyFilter(QChar& key) {
    Refuse(key, IsDigit(key) || key == QLatin1Char('.'));
}

void HexDigitKeyFilter(QChar& key) {
    const char16_t c = key.unicode();
    Refuse(key, IsDigit(key) || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F'));
}

int EditNumber(const QLineEdit* edit, const TNumberLimits& limits) {
    int32_t value = limits.Default;
    if (!TryStrToInt(ToCp1251(edit->text()), value))
        value = limits.Default;
    return std::clamp(value, limits.Min, limits.Max);
}

void HoldInRange(QLineEdit* edit, const TNumberLimits& limits) {
    edit->setText(QString::number(EditNumber(edit, limits)));
}

QLineEdit* FilteredEdit(QWidget* parent, const char* name, int maxLength, TKeyFilter filter,
                        std::function<void()> onExit) {
    auto* edit = Named(new QLineEdit(parent), name);
    edit->setMaxLength(maxLength);
    if (filter || onExit)
        edit->installEventFilter(new TEditEvents(edit, filter, std::move(onExit)));
    return edit;
}
