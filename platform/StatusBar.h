// Stands in for the framework's TStatusBar with its panels and owner-drawn panels.
//
// The bar is a row of panels of fixed widths, the last one stretching to the right edge. A text panel
// shows its Text; an owner-drawn one is painted by OnDrawPanel with the panel's inner rectangle: the
// panel less a 1-pixel border on each side and, for every panel but the first, less the 2-pixel gap
// that parts it from the panel before, so that the first panel 78 wide and the later ones 80 wide all
// draw into 76. The geometry is the bar's own, the same on every window system and style. Changing a
// panel's Text or Width shows at the next paint; Repaint paints at once. Main thread only.
#pragma once

#include <functional>
#include <vector>

#include <QStatusBar>

class QPainter;

struct TStatusPanel {
    int Width = 50;
    QString Text;
    bool OwnerDraw = false;
};

class TStatusBar : public QStatusBar {
public:
    explicit TStatusBar(QWidget* parent = nullptr);

    int AddPanel(int width, const QString& text = QString(), bool ownerDraw = false);
    int PanelCount() const { return int(panels_.size()); }
    TStatusPanel& Panels(int index) { return panels_.at(index); }
    QRect PanelRect(int index) const;
    void Repaint() { repaint(); }

    std::function<void(int index, QPainter& painter, const QRect& rect)> OnDrawPanel;

    static constexpr int PanelGap = 2;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::vector<TStatusPanel> panels_;
};
