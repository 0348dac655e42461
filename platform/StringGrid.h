// Stands in for the framework's TStringGrid, where its conventions differ from QTableWidget's.
//
// Rows are counted as the original counts them: row 0 is the fixed header row (the table's column
// header), data rows start at 1, and RowCount includes the header, so it is at least 2 (one data
// row, possibly blank, always exists). Cells[col][row] reads and writes a cell of either kind.
// OnDrawCell runs after the grid has drawn a data cell, with that cell's rectangle, as an owner-draw
// event does. Whole rows are selected; Row is the selected data row. Cells are not edited in place.
// Everything else (clicks, fonts, scrolling) is QTableWidget's own. Main thread only.
#pragma once

#include <functional>

#include <QTableWidget>

class QPainter;

class TStringGrid : public QTableWidget {
public:
    explicit TStringGrid(QWidget* parent = nullptr);

    int ColCount() const { return columnCount(); }
    void SetColCount(int count);
    int RowCount() const { return rowCount() + 1; }
    void SetRowCount(int count);
    int Row() const;
    void SetRow(int row);
    int ColWidth(int col) const { return columnWidth(col); }
    void SetColWidth(int col, int width) { setColumnWidth(col, width); }
    void SetDefaultRowHeight(int height);

    QString Cell(int col, int row) const;
    void SetCell(int col, int row, const QString& text);

    class TCellRef {
    public:
        TCellRef(TStringGrid* grid, int col, int row) : grid_(grid), col_(col), row_(row) {}
        operator QString() const { return grid_->Cell(col_, row_); }
        QString Text() const { return grid_->Cell(col_, row_); }
        TCellRef& operator=(const QString& text) {
            grid_->SetCell(col_, row_, text);
            return *this;
        }

    private:
        TStringGrid* grid_;
        int col_, row_;
    };
    class TColumnRef {
    public:
        TColumnRef(TStringGrid* grid, int col) : grid_(grid), col_(col) {}
        TCellRef operator[](int row) const { return {grid_, col_, row}; }

    private:
        TStringGrid* grid_;
        int col_;
    };
    class TCellsRef {
    public:
        explicit TCellsRef(TStringGrid* grid) : grid_(grid) {}
        TColumnRef operator[](int col) const { return {grid_, col}; }

    private:
        TStringGrid* grid_;
    };
    const TCellsRef Cells{this};

    // col, row (1 and up), the cell's rectangle, a painter that the grid restores afterwards.
    std::function<void(int col, int row, const QRect& rect, QPainter& painter)> OnDrawCell;
};
