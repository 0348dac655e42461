#include "platform/StatusBar.h"

#include <QPainter>

TStatusBar::TStatusBar(QWidget* parent) : QStatusBar(parent) {
    setSizeGripEnabled(false);
}

int TStatusBar::AddPanel(int width, const QString& text, bool ownerDraw) {
    panels_.push_back({width, text, ownerDraw});
    updateGeometry();
    return PanelCount() - 1;
}

QRect TStatusBar::PanelRect(int index) const {
    int left = 0;
    for (int i = 0; i < index; ++i)
        left += panels_.at(i).Width;
    const bool last = index == PanelCount() - 1;
    const int own = panels_.at(index).Width;
    const int outer = last ? std::max(width() - left, own) : own;
    const int gap = index > 0 ? PanelGap : 0;
    return QRect(left + gap + 1, 1, std::max(outer - gap - 2, 0), std::max(height() - 2, 0));
}

QSize TStatusBar::sizeHint() const {
    return QSize(QStatusBar::sizeHint().width(), fontMetrics().height() + 6);
}

void TStatusBar::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    for (int i = 0; i < PanelCount(); ++i) {
        const QRect rect = PanelRect(i);
        if (rect.width() <= 0)
            continue;
        painter.setPen(palette().color(QPalette::Mid));
        painter.drawRect(rect.adjusted(-1, -1, 0, 0));
        if (panels_[i].OwnerDraw) {
            if (OnDrawPanel) {
                painter.save();
                painter.setClipRect(rect);
                OnDrawPanel(i, painter, rect);
                painter.restore();
            }
            continue;
        }
        painter.setPen(palette().color(QPalette::WindowText));
        painter.drawText(rect.adjusted(2, 0, -2, 0), Qt::AlignLeft | Qt::AlignVCenter, panels_[i].Text);
    }
}
