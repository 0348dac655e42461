#include <gtest/gtest.h>

#include <QPainter>

#include "platform/StringGrid.h"

namespace {

TEST(StringGrid, RowZeroIsTheHeaderAndCountsInRowCount) {
    TStringGrid grid;
    grid.SetColCount(3);
    EXPECT_EQ(grid.RowCount(), 2); // the header and one blank data row
    grid.Cells[0][0] = QStringLiteral("Статус/время");
    grid.Cells[1][0] = QStringLiteral("ID модема");
    grid.SetRowCount(4);
    grid.Cells[1][3] = QStringLiteral("17");
    EXPECT_EQ(grid.RowCount(), 4);
    EXPECT_EQ(grid.rowCount(), 3);
    EXPECT_EQ(grid.horizontalHeaderItem(1)->text(), QStringLiteral("ID модема"));
    EXPECT_EQ(grid.item(2, 1)->text(), QStringLiteral("17"));
    EXPECT_EQ(QString(grid.Cells[1][3]), QStringLiteral("17"));
    EXPECT_EQ(grid.Cells[0][0].Text(), QStringLiteral("Статус/время"));
    EXPECT_EQ(grid.Cells[2][2].Text(), QString()); // never written
}

TEST(StringGrid, KeepsOneDataRowAndIgnoresCellsOutside) {
    TStringGrid grid;
    grid.SetColCount(3);
    for (const int asked : {0, 1, 2}) {
        grid.SetRowCount(asked);
        EXPECT_EQ(grid.RowCount(), 2) << asked;
    }
    grid.Cells[1][5] = QStringLiteral("x");
    grid.Cells[7][1] = QStringLiteral("x");
    EXPECT_EQ(grid.RowCount(), 2);
    EXPECT_EQ(grid.Cells[1][5].Text(), QString());
}

TEST(StringGrid, RowIsTheSelectedDataRow) {
    TStringGrid grid;
    grid.SetRowCount(5);
    EXPECT_EQ(grid.Row(), 1);
    grid.SetRow(3);
    EXPECT_EQ(grid.Row(), 3);
    EXPECT_EQ(grid.currentRow(), 2);
    grid.SetRow(0); // the header cannot be selected
    grid.SetRow(5);
    EXPECT_EQ(grid.Row(), 3);
    grid.SetColWidth(2, 123);
    EXPECT_EQ(grid.ColWidth(2), 123);
}

TEST(StringGrid, DrawCellRunsAfterTheGridForDataCells) {
    TStringGrid grid;
    grid.SetColCount(3);
    grid.SetRowCount(3);
    grid.SetDefaultRowHeight(20);
    grid.resize(400, 200);
    grid.Cells[0][1] = QStringLiteral("       002 05:07:09");
    std::vector<std::pair<int, int>> drawn;
    QRect cell01;
    grid.OnDrawCell = [&](int col, int row, const QRect& rect, QPainter& painter) {
        drawn.push_back({col, row});
        if (col == 0 && row == 1) {
            cell01 = rect;
            painter.fillRect(rect.left() + 2, rect.top() + 2, 10, 10, Qt::green);
        }
    };
    const QImage image = grid.grab().toImage();
    EXPECT_NE(std::find(drawn.begin(), drawn.end(), std::make_pair(0, 1)), drawn.end());
    EXPECT_NE(std::find(drawn.begin(), drawn.end(), std::make_pair(2, 2)), drawn.end());
    for (const auto& [col, row] : drawn)
        EXPECT_GE(row, 1);
    ASSERT_TRUE(cell01.isValid());
    EXPECT_EQ(grid.rowHeight(0), 20);
    EXPECT_GE(cell01.height(), 19); // the grid line may take the last pixel
    const QPoint lamp = grid.viewport()->mapTo(&grid, cell01.topLeft() + QPoint(5, 5));
    EXPECT_EQ(image.pixelColor(lamp), QColor(Qt::green));
}

} // namespace
