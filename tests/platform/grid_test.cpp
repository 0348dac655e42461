#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QTest>
#include <QVBoxLayout>

#include "platform/StringGrid.h"
#include "tests/platform/TestSupport.h"

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
    EXPECT_EQ(grid.model()->rowCount(), 3);
    EXPECT_EQ(grid.model()->headerData(1, Qt::Horizontal), QStringLiteral("ID модема"));
    EXPECT_EQ(grid.model()->headerData(2, Qt::Horizontal), QString()); // no column number
    EXPECT_EQ(grid.model()->index(2, 1).data(), QStringLiteral("17"));
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

TEST(StringGrid, CellsAndTheirHintsGoWithTheirRows) {
    TStringGrid grid;
    grid.SetColCount(2);
    grid.SetRowCount(5);
    const auto rows = [&] {
        QStringList texts;
        for (int row = 1; row < grid.RowCount(); ++row)
            texts << grid.Cell(0, row) + grid.Cell(1, row) + u'|' + grid.CellHint(1, row);
        return texts.join(u' ').toStdString();
    };
    for (int row = 1; row <= 4; ++row) {
        grid.Cells[0][row] = QString::number(row);
        grid.Cells[1][row] = QStringLiteral("abcd").mid(row - 1, 1);
    }
    grid.SetCellHint(1, 3, QStringLiteral("h"));
    EXPECT_EQ(grid.model()->index(2, 1).data(Qt::ToolTipRole), QStringLiteral("h"));
    EXPECT_FALSE(grid.model()->index(1, 1).data(Qt::ToolTipRole).isValid());

    grid.MoveRows({3, 1, 4, 2});
    EXPECT_EQ(rows(), "3c|h 1a| 4d| 2b|");
    grid.MoveRows({1, 2, 3, 5}); // no row 5: nothing moves
    EXPECT_EQ(rows(), "3c|h 1a| 4d| 2b|");
    EXPECT_TRUE(grid.DeleteRow(2));
    EXPECT_EQ(rows(), "3c|h 4d| 2b|");
    EXPECT_FALSE(grid.DeleteRow(4));
    EXPECT_FALSE(grid.DeleteRow(0)); // the header
    grid.SetColCount(3);             // a new column leaves the cells where they were
    grid.Cells[2][1] = QStringLiteral("z");
    EXPECT_EQ(rows(), "3c|h 4d| 2b|");
    EXPECT_EQ(grid.Cell(2, 1), "z");
    grid.SetColCount(1);
    EXPECT_EQ(rows(), "3| 4| 2|");
    EXPECT_TRUE(grid.DeleteRow(1));
    EXPECT_TRUE(grid.DeleteRow(1));
    EXPECT_FALSE(grid.DeleteRow(1));
    EXPECT_EQ(grid.RowCount(), 2); // the last data row stays
    EXPECT_EQ(rows(), "2|");
}

TEST(StringGrid, RowIsTheSelectedDataRow) {
    TStringGrid grid;
    grid.SetRowCount(5);
    EXPECT_EQ(grid.Row(), 1);
    grid.SetRow(3);
    EXPECT_EQ(grid.Row(), 3);
    EXPECT_EQ(grid.currentIndex().row(), 2);
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

// A grid of single cells in a window with one other control, shown and active, that records the
// moves it was asked about.
class EditableGrid : public ::testing::Test {
protected:
    EditableGrid() {
        auto* layout = new QVBoxLayout(&window);
        layout->addWidget(grid = new TStringGrid);
        layout->addWidget(other = new QPushButton(QStringLiteral("other")));
        grid->SetColCount(3);
        grid->SetRowCount(4);
        grid->setSelectionBehavior(QAbstractItemView::SelectItems);
        grid->SetEditing(true);
        grid->OnSelectCell = [this](int col, int row, bool& canSelect) {
            asked.push_back({col, row});
            canSelect = allow;
        };
        window.resize(400, 300);
        window.show();
        window.activateWindow();
        EXPECT_TRUE(PumpUntil([this] { return window.isActiveWindow(); }));
        grid->setFocus();
    }

    QLineEdit* Editor() const { return qobject_cast<QLineEdit*>(grid->indexWidget(grid->currentIndex())); }
    void Type(const QString& text) { TypeInGrid(grid, text); }
    void Key(Qt::Key key) { QTest::keyClick(Editor() ? static_cast<QWidget*>(Editor()) : grid, key); }
    void Click(int col, int row) { ClickCell(grid, col, row); }
    std::pair<int, int> Current() const { return {grid->Col(), grid->Row()}; }

    QWidget window;
    TStringGrid* grid;
    QPushButton* other;
    std::vector<std::pair<int, int>> asked;
    bool allow = true;
};

TEST_F(EditableGrid, EveryWayOfMovingAsksFirstAndARefusalKeepsTheCell) {
    const std::vector<std::pair<const char*, std::function<void()>>> moves = {
        {"click", [&] { Click(2, 3); }},
        {"arrow key", [&] { Key(Qt::Key_Down); }},
        {"SetRow", [&] { grid->SetRow(3); }},
        {"SetCol", [&] { grid->SetCol(2); }},
        {"FocusCell", [&] { EXPECT_FALSE(grid->FocusCell(1, 2)); }},
    };
    for (const auto& [way, move] : moves) {
        SCOPED_TRACE(way);
        allow = false;
        ASSERT_TRUE(grid->FocusCell(0, 1) || Current() == std::make_pair(0, 1));
        asked.clear();
        grid->clearSelection();
        move();
        EXPECT_EQ(asked.size(), 1u);
        EXPECT_EQ(Current(), std::make_pair(0, 1));
        EXPECT_TRUE(grid->selectionModel()->selectedIndexes().isEmpty()); // no stray selection either
    }
    allow = true;
    asked.clear();
    Click(2, 3);
    EXPECT_EQ(asked, (std::vector<std::pair<int, int>>{{2, 3}}));
    EXPECT_EQ(Current(), std::make_pair(2, 3));
    EXPECT_TRUE(grid->FocusCell(1, 2));
    asked.clear();
    EXPECT_TRUE(grid->FocusCell(1, 2)); // staying put is no move
    EXPECT_TRUE(asked.empty());
}

TEST_F(EditableGrid, TypedTextReachesTheCellAtOnceAndTheCellsTextReachesTheEditor) {
    grid->FocusCell(1, 2);
    Type(QStringLiteral("ab"));
    ASSERT_NE(Editor(), nullptr);
    EXPECT_EQ(grid->Cell(1, 2), "ab"); // before the editor closes
    Key(Qt::Key_Left);
    Type(QStringLiteral("XY"));
    EXPECT_EQ(grid->Cell(1, 2), "aXYb"); // the cursor stayed where the typing is
    grid->Cells[1][2] = QString();
    EXPECT_EQ(Editor()->text(), QString());

    grid->SetEditing(false);
    EXPECT_EQ(Editor(), nullptr);
    Type(QStringLiteral("zz"));
    grid->ShowEditor();
    EXPECT_EQ(Editor(), nullptr);
    EXPECT_EQ(grid->Cell(1, 2), QString());
}

TEST_F(EditableGrid, TheValidatorRefusesTextAsItIsTyped) {
    QRegularExpressionValidator digits(QRegularExpression(QStringLiteral("[0-9]*")));
    grid->SetEditValidator(&digits);
    grid->FocusCell(0, 1);
    Type(QStringLiteral("1a2"));
    EXPECT_EQ(grid->Cell(0, 1), "12");
}

TEST_F(EditableGrid, TabToARefusedCellLeavesNoEditorThere) {
    grid->FocusCell(0, 1);
    Type(QStringLiteral("7"));
    allow = false;
    Key(Qt::Key_Tab);
    EXPECT_EQ(Current(), std::make_pair(0, 1));
    EXPECT_EQ(grid->Cell(0, 1), "7");
    for (int col = 0; col < 3; ++col) {
        for (int row = 1; row < 4; ++row) {
            if (std::make_pair(col, row) != std::make_pair(0, 1)) {
                EXPECT_EQ(grid->indexWidget(grid->model()->index(row - 1, col)), nullptr) << col << row;
            }
        }
    }
}

TEST_F(EditableGrid, ExitIsTheFocusGoingToAnotherControlOfTheWindow) {
    int exits = 0;
    grid->OnExit = [&] { ++exits; };
    grid->FocusCell(1, 1);
    Type(QStringLiteral("a")); // the focus is in the editor now
    ASSERT_NE(Editor(), nullptr);
    QWidget popup;
    popup.show();
    popup.activateWindow();
    PumpUntil([&] { return popup.isActiveWindow(); }, 1000);
    EXPECT_EQ(exits, 0);
    window.activateWindow();
    PumpUntil([&] { return window.isActiveWindow(); }, 1000);
    other->setFocus();
    EXPECT_EQ(exits, 1);
    EXPECT_EQ(grid->Cell(1, 1), "a");
}

TEST_F(EditableGrid, DoubleClickRunsItsHandlerInsteadOfEditing) {
    int clicks = 0;
    grid->OnDblClick = [&] { ++clicks; };
    const QPoint at = grid->visualRect(grid->model()->index(1, 1)).center();
    QTest::mouseDClick(grid->viewport(), Qt::LeftButton, {}, at);
    EXPECT_EQ(clicks, 1);
    EXPECT_EQ(Editor(), nullptr);
}

} // namespace
