#include "tests/platform/LayoutCheck.h"

#include <vector>

#include <QAbstractItemView>
#include <QAbstractSpinBox>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOption>
#include <QTabBar>
#include <QTextDocument>
#include <QTextEdit>
#include <QToolButton>

#include "platform/Forms.h"

namespace {

// A visible control and the part of it, in window coordinates, that nothing else may cover.
struct TArea {
    const QWidget* Control;
    QRect Rect;
};

QString Name(const QWidget* w) {
    QString name = w->objectName();
    if (name.isEmpty())
        name = QString::fromLatin1(w->metaObject()->className());
    return name;
}

QString Describe(const QWidget* window, const QWidget* w, const QString& text) {
    return Name(window) + QLatin1Char('/') + Name(w) + QStringLiteral(" \"") + text + QLatin1Char('"');
}

// The parts of a compound control (a list's scroll bars, a combo box's edit) are the control's business.
bool IsPartOfControl(const QWidget* w, const QWidget* window) {
    if (qobject_cast<const QScrollBar*>(w))
        return true;
    for (const QWidget* p = w->parentWidget(); p && p != window; p = p->parentWidget())
        if (qobject_cast<const QAbstractItemView*>(p) || qobject_cast<const QPlainTextEdit*>(p) ||
            qobject_cast<const QTextEdit*>(p) || qobject_cast<const QComboBox*>(p) ||
            qobject_cast<const QAbstractSpinBox*>(p) || qobject_cast<const QLineEdit*>(p) ||
            qobject_cast<const QTabBar*>(p) || qobject_cast<const QScrollBar*>(p))
            return true;
    return false;
}

QString Plain(QString text) {
    text.replace(QStringLiteral("&&"), QStringLiteral("\x01"));
    text.remove(QLatin1Char('&'));
    text.replace(QLatin1Char('\x01'), QLatin1Char('&'));
    return text;
}

QSize TextSize(const QLabel* label, const QString& text) {
    if (label->textFormat() == Qt::RichText ||
        (label->textFormat() == Qt::AutoText && Qt::mightBeRichText(text))) {
        QTextDocument document;
        document.setDefaultFont(label->font());
        document.setDocumentMargin(0);
        document.setHtml(text);
        return document.size().toSize();
    }
    const QFontMetrics fm = label->fontMetrics();
    const QStringList lines = text.split(QLatin1Char('\n'));
    int width = 0;
    for (const QString& line : lines)
        width = std::max(width, fm.horizontalAdvance(line));
    return {width, fm.height() + fm.lineSpacing() * int(lines.size() - 1)};
}

QRect InWindow(const QWidget* window, const QWidget* w, const QRect& rect) {
    return QRect(w->mapTo(window, rect.topLeft()), rect.size());
}

class TChecker {
public:
    explicit TChecker(const QWidget* window) : window_(window) {}

    QStringList Run() {
        CheckWindow();
        for (const QWidget* w : window_->findChildren<QWidget*>()) {
            if (!w->isVisible() || w->isWindow() || IsPartOfControl(w, window_))
                continue;
            if (auto* label = qobject_cast<const QLabel*>(w))
                CheckLabel(label);
            else if (auto* button = qobject_cast<const QAbstractButton*>(w))
                CheckButton(button);
            else if (auto* box = qobject_cast<const QGroupBox*>(w))
                CheckGroupBox(box);
            else if (qobject_cast<const QLineEdit*>(w) || qobject_cast<const QComboBox*>(w) ||
                     qobject_cast<const QAbstractScrollArea*>(w) || qobject_cast<const QAbstractSpinBox*>(w))
                AddArea(w, w->rect(), QString());
        }
        CheckOverlaps();
        return faults_;
    }

private:
    void CheckWindow() {
        const QString caption = window_->windowTitle();
        const QRect frame = window_->frameGeometry();
        if (CaptionWidth(caption) > frame.width())
            faults_ << Name(window_) +
                           QStringLiteral(": caption \"%1\" needs %2 px, the window is %3 px wide")
                               .arg(caption)
                               .arg(CaptionWidth(caption))
                               .arg(frame.width());
        const QScreen* screen = window_->screen();
        if (screen && !screen->availableGeometry().contains(frame))
            faults_ << Name(window_) +
                           QStringLiteral(": window at %1,%2 %3x%4 outside the screen's %5,%6 %7x%8")
                               .arg(frame.x())
                               .arg(frame.y())
                               .arg(frame.width())
                               .arg(frame.height())
                               .arg(screen->availableGeometry().x())
                               .arg(screen->availableGeometry().y())
                               .arg(screen->availableGeometry().width())
                               .arg(screen->availableGeometry().height());
    }

    void CheckLabel(const QLabel* label) {
        const QString text = label->text();
        if (text.isEmpty()) {
            if (!label->pixmap().isNull())
                AddArea(label,
                        QStyle::alignedRect(label->layoutDirection(), label->alignment(),
                                            label->pixmap().deviceIndependentSize().toSize(),
                                            label->contentsRect()),
                        QString());
            return;
        }
        const int m = label->margin();
        const QRect room = label->contentsRect().adjusted(m, m, -m, -m);
        QSize size = TextSize(label, text);
        if (label->wordWrap()) {
            size = QSize(room.width(), label->heightForWidth(label->width()) - 2 * m);
            if (size.height() > room.height())
                faults_ << Describe(window_, label, text) +
                               QStringLiteral(": %1 px of wrapped lines in %2 px")
                                   .arg(size.height())
                                   .arg(room.height());
        } else if (size.width() > room.width() || size.height() > room.height()) {
            faults_ << Describe(window_, label, text) + QStringLiteral(": %1x%2 px in %3x%4 px")
                                                            .arg(size.width())
                                                            .arg(size.height())
                                                            .arg(room.width())
                                                            .arg(room.height());
        }
        AddArea(label, QStyle::alignedRect(label->layoutDirection(), label->alignment(), size, room), text);
    }

    void CheckButton(const QAbstractButton* button) {
        const QString text = Plain(button->text());
        AddArea(button, button->rect(), text);
        if (text.isEmpty())
            return;
        if (auto* tool = qobject_cast<const QToolButton*>(button);
            tool && (tool->toolButtonStyle() == Qt::ToolButtonIconOnly && !tool->icon().isNull()))
            return;
        const int textWidth = button->fontMetrics().horizontalAdvance(text) +
                              (button->icon().isNull() ? 0 : button->iconSize().width() + 4);
        int room = button->width();
        if (qobject_cast<const QCheckBox*>(button) || qobject_cast<const QRadioButton*>(button)) {
            if (button->sizeHint().width() > room)
                faults_ << Describe(window_, button, text) + QStringLiteral(": needs %1 px, has %2 px")
                                                                 .arg(button->sizeHint().width())
                                                                 .arg(room);
            return;
        }
        if (auto* push = qobject_cast<const QPushButton*>(button)) {
            QStyleOptionButton option;
            option.initFrom(push);
            option.text = push->text();
            if (push->autoDefault() || push->isDefault())
                option.features |= QStyleOptionButton::AutoDefaultButton;
            room = push->style()->subElementRect(QStyle::SE_PushButtonContents, &option, push).width();
        } else {
            room -= 2 * button->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, button);
        }
        // A text that touches the button's edges reads as cut.
        if (textWidth + 4 > room)
            faults_ << Describe(window_, button, text) +
                           QStringLiteral(": %1 px of text in %2 px").arg(textWidth).arg(room);
    }

    void CheckGroupBox(const QGroupBox* box) {
        if (box->title().isEmpty())
            return;
        QStyleOptionGroupBox option;
        option.initFrom(box);
        option.text = box->title();
        option.lineWidth = 1;
        option.textAlignment = box->alignment();
        option.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
        const QRect label =
            box->style()->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxLabel, box);
        const QString text = Plain(box->title());
        const int needed = box->fontMetrics().horizontalAdvance(text);
        // The style makes the title's room as wide as the text: it must lie inside the box.
        if (label.left() < 0 || label.right() >= box->width())
            faults_
                << Describe(window_, box, text) +
                       QStringLiteral(": title of %1 px in a box %2 px wide").arg(needed).arg(box->width());
    }

    // Remembers what the control shows, and complains when it does not lie inside its parent.
    void AddArea(const QWidget* control, const QRect& rect, const QString& text) {
        areas_.push_back({control, InWindow(window_, control, rect)});
        const QWidget* parent = control->parentWidget();
        if (!parent || control->isWindow())
            return;
        // A scroll area's contents may be larger than its view: that is what the scroll bars are for.
        if (const QWidget* view = parent->parentWidget();
            view && qobject_cast<const QScrollArea*>(view->parentWidget()))
            return;
        const QRect inParent(control->mapTo(parent, rect.topLeft()), rect.size());
        if (!parent->rect().contains(inParent))
            faults_ << Describe(window_, control, text) +
                           QStringLiteral(": reaches out of %1 (%2,%3 %4x%5 in %6x%7)")
                               .arg(Name(parent))
                               .arg(inParent.x())
                               .arg(inParent.y())
                               .arg(inParent.width())
                               .arg(inParent.height())
                               .arg(parent->width())
                               .arg(parent->height());
    }

    void CheckOverlaps() {
        for (size_t i = 0; i < areas_.size(); ++i)
            for (size_t j = i + 1; j < areas_.size(); ++j) {
                const TArea& a = areas_[i];
                const TArea& b = areas_[j];
                if (a.Control->isAncestorOf(b.Control) || b.Control->isAncestorOf(a.Control))
                    continue;
                // A text that touches the next control reads as run into it.
                if (a.Rect.adjusted(-1, -1, 1, 1).intersects(b.Rect))
                    faults_ << Name(window_) + QStringLiteral(": %1 and %2 touch or lie over each other")
                                                   .arg(Name(a.Control), Name(b.Control));
            }
    }

    const QWidget* window_;
    std::vector<TArea> areas_;
    QStringList faults_;
};

} // namespace

QStringList LayoutFaults(const QWidget* window) {
    return TChecker(window).Run();
}

QString SavePicture(QWidget* window, const QString& name) {
    const QString path =
        QCoreApplication::applicationDirPath() + QLatin1Char('/') + name + QStringLiteral(".png");
    return window->grab().toImage().save(path) ? path : QString();
}
