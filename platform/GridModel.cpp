#include "platform/GridModel.h"

#include <algorithm>
#include <utility>

int TGridModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : rows_;
}

int TGridModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : cols_;
}

QVariant TGridModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid())
        return {};
    switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole:
        return Text(index.column(), index.row());
    case Qt::ToolTipRole:
        if (QString hint = Hint(index.column(), index.row()); !hint.isEmpty())
            return hint;
        return {};
    default:
        return {};
    }
}

bool TGridModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (!index.isValid() || role != Qt::EditRole || !Holds(index.column(), index.row()))
        return false;
    SetText(index.column(), index.row(), value.toString());
    return true;
}

QVariant TGridModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (role != Qt::DisplayRole)
        return {};
    // An empty header stays empty rather than showing the column's number.
    return orientation == Qt::Horizontal ? Header(section) : QString::number(section + 1);
}

Qt::ItemFlags TGridModel::flags(const QModelIndex& index) const {
    if (!index.isValid())
        return Qt::NoItemFlags;
    return Qt::ItemIsSelectable | Qt::ItemIsEnabled | Qt::ItemIsEditable;
}

void TGridModel::SetRowCount(int rows) {
    rows = std::max(rows, 0);
    if (rows == rows_)
        return;
    if (rows > rows_)
        beginInsertRows({}, rows_, rows - 1);
    else
        beginRemoveRows({}, rows, rows_ - 1);
    const bool more = rows > rows_;
    rows_ = rows;
    texts_.resize(std::size_t(rows_) * std::size_t(cols_));
    if (!hints_.empty())
        hints_.resize(texts_.size());
    if (more)
        endInsertRows();
    else
        endRemoveRows();
}

void TGridModel::SetColumnCount(int cols) {
    cols = std::max(cols, 0);
    if (cols == cols_)
        return;
    if (cols > cols_)
        beginInsertColumns({}, cols_, cols - 1);
    else
        beginRemoveColumns({}, cols, cols_ - 1);
    const bool more = cols > cols_;
    Reshape(texts_, rows_, cols);
    if (!hints_.empty())
        Reshape(hints_, rows_, cols);
    cols_ = cols;
    headers_.resize(std::size_t(cols_));
    if (more)
        endInsertColumns();
    else
        endRemoveColumns();
}

void TGridModel::Reshape(std::vector<QString>& cells, int rows, int cols) const {
    std::vector<QString> shaped(std::size_t(rows) * std::size_t(cols));
    const int kept = std::min(cols, cols_);
    for (int row = 0; row < rows; ++row)
        for (int col = 0; col < kept; ++col)
            shaped[std::size_t(row) * std::size_t(cols) + std::size_t(col)] = std::move(cells[At(col, row)]);
    cells.swap(shaped);
}

void TGridModel::RemoveRow(int row) {
    if (row < 0 || row >= rows_)
        return;
    beginRemoveRows({}, row, row);
    const auto erase = [&](std::vector<QString>& cells) {
        const auto first = cells.begin() + std::ptrdiff_t(At(0, row));
        cells.erase(first, first + cols_);
    };
    erase(texts_);
    if (!hints_.empty())
        erase(hints_);
    --rows_;
    endRemoveRows();
}

bool TGridModel::Holds(int col, int row) const {
    return col >= 0 && col < cols_ && row >= 0 && row < rows_;
}

std::size_t TGridModel::At(int col, int row) const {
    return std::size_t(row) * std::size_t(cols_) + std::size_t(col);
}

QString TGridModel::Text(int col, int row) const {
    return Holds(col, row) ? texts_[At(col, row)] : QString();
}

void TGridModel::SetText(int col, int row, const QString& text) {
    if (!Holds(col, row))
        return;
    texts_[At(col, row)] = text;
    Changed(col, row);
}

QString TGridModel::Hint(int col, int row) const {
    return Holds(col, row) && !hints_.empty() ? hints_[At(col, row)] : QString();
}

void TGridModel::SetHint(int col, int row, const QString& hint) {
    if (!Holds(col, row) || (hints_.empty() && hint.isEmpty()))
        return;
    hints_.resize(texts_.size());
    hints_[At(col, row)] = hint;
    Changed(col, row);
}

QString TGridModel::Header(int col) const {
    return col >= 0 && col < cols_ ? headers_[std::size_t(col)] : QString();
}

void TGridModel::SetHeader(int col, const QString& text) {
    if (col < 0 || col >= cols_)
        return;
    headers_[std::size_t(col)] = text;
    emit headerDataChanged(Qt::Horizontal, col, col);
}

void TGridModel::Changed(int col, int row) {
    const QModelIndex cell = index(row, col);
    emit dataChanged(cell, cell);
}

void TGridModel::MoveRows(const std::vector<int>& from) {
    if (int(from.size()) != rows_ || rows_ == 0 ||
        !std::all_of(from.begin(), from.end(), [this](int row) { return row >= 0 && row < rows_; }))
        return;
    const auto move = [&](std::vector<QString>& cells) {
        std::vector<QString> moved(cells.size());
        for (int row = 0; row < rows_; ++row)
            std::move(cells.begin() + std::ptrdiff_t(At(0, from[std::size_t(row)])),
                      cells.begin() + std::ptrdiff_t(At(0, from[std::size_t(row)]) + std::size_t(cols_)),
                      moved.begin() + std::ptrdiff_t(At(0, row)));
        cells.swap(moved);
    };
    move(texts_);
    if (!hints_.empty())
        move(hints_);
    if (cols_ > 0)
        emit dataChanged(index(0, 0), index(rows_ - 1, cols_ - 1));
}
