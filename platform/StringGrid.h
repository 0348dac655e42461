// Stands in for the framework's TStringGrid: a table view over cells of its own (TGridModel).
//
// Rows are counted as the original counts them: row 0 is the fixed header row (the table's column
// header), data rows start at 1, and RowCount includes the header, so it is at least 2 (one data
// row, possibly blank, always exists). Cells[col][row] reads and writes a cell of either kind.
// OnDrawCell runs after the grid has drawn a data cell, with that cell's rectangle, as an owner-draw
// event does. Whole rows are selected unless the owner selects single cells (setSelectionBehavior).
//
// Col and Row are the current cell. Every move of it, by the mouse, the keyboard, SetRow, SetCol or
// FocusCell, first asks OnSelectCell, which may refuse it; the current cell then stays where it is.
// While Editing is on, typing or F2 opens an in-place editor on the current cell, as ShowEditor does.
// What is typed reaches the cell at once, as in the original, so a handler that reads the cell sees
// it; a cell set while its editor is open shows in the editor. The edit validator, when set, refuses
// text as it is typed. OnExit runs when the focus goes from the grid (or its editor) to another
// control of the same window; a window that opens over it is no exit. OnDblClick, when set, replaces
// the double click's own action. Everything else (fonts, scrolling) is QTableView's own. Main thread
// only.
#pragma once

#include <functional>
#include <vector>

#include <QTableView>

class QPainter;
class TGridModel;
class QValidator;

class TStringGrid : public QTableView {
public:
    explicit TStringGrid(QWidget* parent = nullptr);
    ~TStringGrid() override;

    int ColCount() const;
    void SetColCount(int count);
    int RowCount() const;
    void SetRowCount(int count);
    // Data rows only; the rows below move up. The last data row stays: false then, and for a row
    // outside.
    bool DeleteRow(int row);
    int Row() const;
    void SetRow(int row);
    int Col() const;
    void SetCol(int col);
    // Makes (col, row) the current cell; false when OnSelectCell refused the move.
    bool FocusCell(int col, int row);
    // Turning editing off closes an open editor.
    void SetEditing(bool editing);
    // Opens the editor on the current cell while Editing is on.
    void ShowEditor();
    // Not owned; null accepts every text.
    void SetEditValidator(const QValidator* validator) { editValidator_ = validator; }
    const QValidator* EditValidator() const { return editValidator_; }
    int ColWidth(int col) const { return columnWidth(col); }
    void SetColWidth(int col, int width) { setColumnWidth(col, width); }
    void SetDefaultRowHeight(int height);

    QString Cell(int col, int row) const;
    void SetCell(int col, int row, const QString& text);
    // A data cell's tool tip; it moves with the cell.
    QString CellHint(int col, int row) const;
    void SetCellHint(int col, int row, const QString& hint);
    // While one lives, cells are set without the view hearing of each one (a signal per cell is most of
    // what filling many rows costs); it hears of all the data cells once at the end. No rows or columns
    // come or go meanwhile.
    class TCellBatch {
    public:
        explicit TCellBatch(TStringGrid* grid);
        ~TCellBatch();
        TCellBatch(const TCellBatch&) = delete;
        TCellBatch& operator=(const TCellBatch&) = delete;

    private:
        TStringGrid* grid_;
        bool blocked_;
    };
    // Rearranges the data rows in one pass: data row r takes the cells that row from[r - 1] held, for
    // each data row (from names every data row once). The view hears of it once, not cell by cell.
    void MoveRows(const std::vector<int>& from);

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
    // The cell that the current cell would move to; clearing canSelect keeps it where it is.
    std::function<void(int col, int row, bool& canSelect)> OnSelectCell;
    std::function<void()> OnExit;
    std::function<void()> OnDblClick;

protected:
    using QTableView::edit;
    bool edit(const QModelIndex& index, EditTrigger trigger, QEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    friend class TGridSelectionModel;
    // Asked before the current cell moves to index.
    bool CanSelect(const QModelIndex& index);
    bool Holds(const QWidget* widget) const;

    // Makes (col, row) of the model the current cell, as a click there would.
    void SetCurrent(int col, int row);

    TGridModel* cells_;
    bool editing_ = false;
    const QValidator* editValidator_ = nullptr;
};
