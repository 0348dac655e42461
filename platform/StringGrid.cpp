#include "platform/StringGrid.h"

#include <algorithm>

#include <QApplication>
#include <QHeaderView>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QStyledItemDelegate>

#include "platform/GridModel.h"

// Every move of the current cell passes here, whoever makes it. A refused move also drops the
// selection that the same mouse press or drag would make, until the next move is allowed.
class TGridSelectionModel : public QItemSelectionModel {
public:
    TGridSelectionModel(QAbstractItemModel* model, TStringGrid* grid)
        : QItemSelectionModel(model, grid), grid_(grid) {}

    void setCurrentIndex(const QModelIndex& index, QItemSelectionModel::SelectionFlags command) override {
        refused_ = !grid_->CanSelect(index);
        if (!refused_)
            QItemSelectionModel::setCurrentIndex(index, command);
    }
    void select(const QItemSelection& selection, QItemSelectionModel::SelectionFlags command) override {
        if (!refused_)
            QItemSelectionModel::select(selection, command);
    }
    void select(const QModelIndex& index, QItemSelectionModel::SelectionFlags command) override {
        if (!refused_)
            QItemSelectionModel::select(index, command);
    }

private:
    TStringGrid* grid_;
    bool refused_ = false;
};

namespace {

class TCellDelegate : public QStyledItemDelegate {
public:
    explicit TCellDelegate(TStringGrid* grid) : QStyledItemDelegate(grid), grid_(grid) {}

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        QStyledItemDelegate::paint(painter, option, index);
        if (!grid_->OnDrawCell)
            return;
        painter->save();
        grid_->OnDrawCell(index.column(), index.row() + 1, option.rect, *painter);
        painter->restore();
    }

    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                          const QModelIndex& index) const override {
        QWidget* editor = QStyledItemDelegate::createEditor(parent, option, index);
        if (auto* line = qobject_cast<QLineEdit*>(editor)) {
            line->setValidator(grid_->EditValidator());
            auto* self = const_cast<TCellDelegate*>(this);
            connect(line, &QLineEdit::textEdited, self, [self, line] { emit self->commitData(line); });
        }
        return editor;
    }

    // The cell's own text coming back from each key would move the cursor to the end.
    void setEditorData(QWidget* editor, const QModelIndex& index) const override {
        const auto* line = qobject_cast<QLineEdit*>(editor);
        if (line && line->text() == index.data(Qt::EditRole).toString())
            return;
        QStyledItemDelegate::setEditorData(editor, index);
    }

private:
    TStringGrid* grid_;
};

} // namespace

TStringGrid::TStringGrid(QWidget* parent) : QTableView(parent), cells_(new TGridModel(this)) {
    setModel(cells_);
    QItemSelectionModel* own = selectionModel();
    setSelectionModel(new TGridSelectionModel(cells_, this));
    delete own;
    verticalHeader()->hide();
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setItemDelegate(new TCellDelegate(this));
    SetColCount(5);
    cells_->SetRowCount(1);
    SetDefaultRowHeight(24);
    SetCurrent(0, 0);
    connect(qApp, &QApplication::focusChanged, this, [this](QWidget* old, QWidget* now) {
        if (OnExit && Holds(old) && now && !Holds(now) && now->window() == window())
            OnExit();
    });
}

// The widget's own destructor clears the focus, which would call the handler above on a grid that is
// no longer one.
TStringGrid::~TStringGrid() {
    disconnect(qApp, nullptr, this, nullptr);
}

int TStringGrid::ColCount() const {
    return cells_->columnCount();
}

void TStringGrid::SetColCount(int count) {
    cells_->SetColumnCount(count);
}

int TStringGrid::RowCount() const {
    return cells_->rowCount() + 1;
}

void TStringGrid::SetRowCount(int count) {
    cells_->SetRowCount(std::max(count, 2) - 1);
    if (!currentIndex().isValid())
        SetCurrent(0, 0);
}

bool TStringGrid::DeleteRow(int row) {
    if (row < 1 || row >= RowCount() || RowCount() <= 2)
        return false;
    cells_->RemoveRow(row - 1);
    return true;
}

void TStringGrid::SetCurrent(int col, int row) {
    setCurrentIndex(cells_->index(row, col));
}

int TStringGrid::Row() const {
    return std::max(currentIndex().row(), 0) + 1;
}

void TStringGrid::SetRow(int row) {
    if (row >= 1 && row < RowCount())
        SetCurrent(Col(), row - 1);
}

int TStringGrid::Col() const {
    return std::max(currentIndex().column(), 0);
}

void TStringGrid::SetCol(int col) {
    if (col >= 0 && col < ColCount())
        SetCurrent(col, Row() - 1);
}

bool TStringGrid::FocusCell(int col, int row) {
    if (col < 0 || col >= ColCount() || row < 1 || row >= RowCount())
        return false;
    SetCurrent(col, row - 1);
    return Col() == col && Row() == row;
}

void TStringGrid::SetEditing(bool editing) {
    editing_ = editing;
    setEditTriggers(editing ? QAbstractItemView::AnyKeyPressed | QAbstractItemView::EditKeyPressed
                            : QAbstractItemView::NoEditTriggers);
    if (QWidget* editor = editing ? nullptr : indexWidget(currentIndex()))
        closeEditor(editor, QAbstractItemDelegate::NoHint);
}

void TStringGrid::ShowEditor() {
    if (editing_)
        edit(currentIndex(), AllEditTriggers, nullptr);
}

bool TStringGrid::edit(const QModelIndex& index, EditTrigger trigger, QEvent* event) {
    // Qt opens the next cell's editor after a Tab even when the move there was refused, and after
    // one into a cell that is not edited; it asks through its public edit(), which reports a refusal
    // on the console, so that one is told yes.
    if (!editing_ || index != currentIndex())
        return trigger == AllEditTriggers && !event;
    return QTableView::edit(index, trigger, event);
}

void TStringGrid::mouseDoubleClickEvent(QMouseEvent* event) {
    if (!OnDblClick) {
        QTableView::mouseDoubleClickEvent(event);
        return;
    }
    event->accept();
    OnDblClick();
}

bool TStringGrid::CanSelect(const QModelIndex& index) {
    const QModelIndex from = currentIndex();
    if (!OnSelectCell || !index.isValid() || !from.isValid() || index == from)
        return true;
    bool canSelect = true;
    OnSelectCell(index.column(), index.row() + 1, canSelect);
    return canSelect;
}

bool TStringGrid::Holds(const QWidget* widget) const {
    return widget && (widget == this || isAncestorOf(widget));
}

void TStringGrid::SetDefaultRowHeight(int height) {
    verticalHeader()->setMinimumSectionSize(1);
    verticalHeader()->setDefaultSectionSize(height);
}

QString TStringGrid::Cell(int col, int row) const {
    return row == 0 ? cells_->Header(col) : cells_->Text(col, row - 1);
}

void TStringGrid::SetCell(int col, int row, const QString& text) {
    if (row == 0)
        cells_->SetHeader(col, text);
    else
        cells_->SetText(col, row - 1, text);
}

QString TStringGrid::CellHint(int col, int row) const {
    return cells_->Hint(col, row - 1);
}

void TStringGrid::SetCellHint(int col, int row, const QString& hint) {
    cells_->SetHint(col, row - 1, hint);
}

TStringGrid::TCellBatch::TCellBatch(TStringGrid* grid)
    : grid_(grid), blocked_(grid->cells_->blockSignals(true)) {}

TStringGrid::TCellBatch::~TCellBatch() {
    TGridModel* cells = grid_->cells_;
    cells->blockSignals(blocked_);
    if (!blocked_ && cells->rowCount() > 0 && cells->columnCount() > 0)
        emit cells->dataChanged(cells->index(0, 0),
                                cells->index(cells->rowCount() - 1, cells->columnCount() - 1));
}

void TStringGrid::MoveRows(const std::vector<int>& from) {
    std::vector<int> rows(from.size());
    std::transform(from.begin(), from.end(), rows.begin(), [](int row) { return row - 1; });
    cells_->MoveRows(rows);
}
