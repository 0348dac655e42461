#include "platform/StringGrid.h"

#include <QApplication>
#include <QHeaderView>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QStyledItemDelegate>

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

TStringGrid::TStringGrid(QWidget* parent) : QTableWidget(parent) {
    QItemSelectionModel* own = selectionModel();
    setSelectionModel(new TGridSelectionModel(model(), this));
    delete own;
    verticalHeader()->hide();
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setItemDelegate(new TCellDelegate(this));
    SetColCount(5);
    setRowCount(1);
    SetDefaultRowHeight(24);
    setCurrentCell(0, 0);
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
        setCurrentCell(row - 1, Col());
}

int TStringGrid::Col() const {
    return std::max(currentColumn(), 0);
}

void TStringGrid::SetCol(int col) {
    if (col >= 0 && col < ColCount())
        setCurrentCell(Row() - 1, col);
}

bool TStringGrid::FocusCell(int col, int row) {
    if (col < 0 || col >= ColCount() || row < 1 || row >= RowCount())
        return false;
    setCurrentCell(row - 1, col);
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
    return QTableWidget::edit(index, trigger, event);
}

void TStringGrid::mouseDoubleClickEvent(QMouseEvent* event) {
    if (!OnDblClick) {
        QTableWidget::mouseDoubleClickEvent(event);
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

TStringGrid::TCellBatch::TCellBatch(TStringGrid* grid)
    : grid_(grid), blocked_(grid->model()->blockSignals(true)) {}

TStringGrid::TCellBatch::~TCellBatch() {
    QAbstractItemModel* model = grid_->model();
    model->blockSignals(blocked_);
    if (!blocked_ && grid_->rowCount() > 0 && grid_->columnCount() > 0)
        emit model->dataChanged(model->index(0, 0),
                                model->index(grid_->rowCount() - 1, grid_->columnCount() - 1));
}

void TStringGrid::MoveRows(const std::vector<int>& from) {
    const int rows = rowCount(), cols = columnCount();
    if (int(from.size()) != rows || rows == 0)
        return;
    std::vector<QTableWidgetItem*> cells(std::size_t(rows) * std::size_t(cols));
    const TCellBatch batch(this);
    for (int row = 0; row < rows; ++row)
        for (int col = 0; col < cols; ++col)
            cells[std::size_t(row) * std::size_t(cols) + std::size_t(col)] = takeItem(row, col);
    for (int row = 0; row < rows; ++row)
        for (int col = 0; col < cols; ++col)
            if (QTableWidgetItem* cell =
                    cells[std::size_t(from[std::size_t(row)] - 1) * std::size_t(cols) + std::size_t(col)])
                setItem(row, col, cell);
}
