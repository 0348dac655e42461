#include <gtest/gtest.h>

#include <QPainter>

#include "platform/StatusBar.h"

namespace {

// The first panel draws inside a 1-pixel border, the later ones also 2 pixels apart from the one before.
TEST(StatusBar, PanelsSitSideBySideAndTheLastStretches) {
    TStatusBar bar;
    for (const int width : {78, 0, 80, 80, 50})
        bar.AddPanel(width, QStringLiteral("0"), true);
    bar.resize(600, 24);
    struct Case {
        int index, left, width;
    };
    for (const Case c :
         {Case{0, 1, 76}, Case{1, 81, 0}, Case{2, 81, 76}, Case{3, 161, 76}, Case{4, 241, 358}}) {
        EXPECT_EQ(bar.PanelRect(c.index).left(), c.left) << c.index;
        EXPECT_EQ(bar.PanelRect(c.index).width(), c.width) << c.index;
        EXPECT_EQ(bar.PanelRect(c.index).height(), 22) << c.index;
    }
}

TEST(StatusBar, OwnerDrawnPanelsAreDrawnByTheHook) {
    TStatusBar bar;
    bar.AddPanel(78, QStringLiteral("0"), true);
    bar.AddPanel(80, QStringLiteral("text"));
    bar.resize(300, 24);
    std::vector<int> drawn;
    bar.OnDrawPanel = [&](int index, QPainter& painter, const QRect& rect) {
        drawn.push_back(index);
        EXPECT_EQ(bar.Panels(index).Text, QStringLiteral("1"));
        painter.fillRect(rect, QColor(80, 200, 80));
    };
    bar.Panels(0).Text = QStringLiteral("1");
    const QImage image = bar.grab().toImage();
    EXPECT_EQ(drawn, std::vector<int>{0});
    EXPECT_EQ(image.pixelColor(bar.PanelRect(0).center()), QColor(80, 200, 80));
    EXPECT_NE(image.pixelColor(bar.PanelRect(1).center()), QColor(80, 200, 80));
}

} // namespace
