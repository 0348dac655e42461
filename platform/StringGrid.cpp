#include "platform/StringGrid.h"

#include <QHeaderView>
#include <QPainter>
#include <QStyledItemDelegate>

namespace {

class TDrawCellDelegate : public QStyledItemDelegate {
public:
    explicit TDrawCellDelegate(TStringGrid* grid) : QStyledItemDelegate(grid), grid_(grid) {}

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        QStyledItemDelegate::paint(painter, option, index);
        if (!grid_->OnDrawCell)
            return;
        painter->save();
        grid_->OnDrawCell(index.column(), index.row() + 1, option.rect, *painter);
        painter->restore();
    }

private:
    TStringGrid* grid_;
};

} // namespace

TStringGrid::TStringGrid(QWidget* parent) : QTableWidget(parent) {
    verticalHeader()->hide();
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setItemDelegate(new TDrawCellDelegate(this));
    SetColCount(5);
    setRowCount(1);
    SetDefaultRowHeight(24);
    setCurrentCell(0, 0);
}

void TStringGrid::SetColCount(int count) {
    const int old = columnCount();
    setColumnCount(count);
    for (int col = old; col < count; ++col)
        setHorizontalHeaderItem(col, new QTableWidgetItem());
}

void TStringGrid::SetRowCount(int count) {
    setRowCount(std::max(count, 2) - 1);
    if (currentRow() < 0)
        setCurrentCell(0, 0);
}

int TStringGrid::Row() const {
    return std::max(currentRow(), 0) + 1;
}

void TStringGrid::SetRow(int row) {
    if (row >= 1 && row < RowCount())
        setCurrentCell(row - 1, std::max(currentColumn(), 0));
}

void TStringGrid::SetDefaultRowHeight(int height) {
    verticalHeader()->setMinimumSectionSize(1);
    verticalHeader()->setDefaultSectionSize(height);
}

QString TStringGrid::Cell(int col, int row) const {
    const QTableWidgetItem* cell = row == 0 ? horizontalHeaderItem(col) : item(row - 1, col);
    return cell ? cell->text() : QString();
}

void TStringGrid::SetCell(int col, int row, const QString& text) {
    if (col < 0 || col >= columnCount() || row < 0 || row >= RowCount())
        return;
    if (row == 0) {
        horizontalHeaderItem(col)->setText(text);
        return;
    }
    if (QTableWidgetItem* cell = item(row - 1, col))
        cell->setText(text);
    else
        setItem(row - 1, col, new QTableWidgetItem(text));
}
