// The cells of a TStringGrid: a table of texts, each with an optional hint, and the column headers.
//
// The texts sit in one array, row after row, so that a grid of many thousand rows costs a string per
// cell and no object per cell, and rearranging its rows moves strings, not items. Rows and columns are
// the model's own (0 is the first data row); TStringGrid counts them its way. Main thread only.
#pragma once

#include <vector>

#include <QAbstractTableModel>
#include <QString>

class TGridModel : public QAbstractTableModel {
public:
    using QAbstractTableModel::QAbstractTableModel;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    void SetRowCount(int rows);
    void SetColumnCount(int cols);
    void RemoveRow(int row);

    // Out of range: an empty text, and nothing set.
    QString Text(int col, int row) const;
    void SetText(int col, int row, const QString& text);
    QString Hint(int col, int row) const;
    void SetHint(int col, int row, const QString& hint);
    QString Header(int col) const;
    void SetHeader(int col, const QString& text);

    // Row r takes what row from[r] held, for each row; the view hears of it once. Nothing moves unless
    // from names a row for every row.
    void MoveRows(const std::vector<int>& from);

private:
    bool Holds(int col, int row) const;
    std::size_t At(int col, int row) const;
    // Rebuilds a row-major array for a new shape, keeping what fits.
    void Reshape(std::vector<QString>& cells, int rows, int cols) const;
    void Changed(int col, int row);

    int rows_ = 0, cols_ = 0;
    std::vector<QString> texts_;
    std::vector<QString> hints_; // empty until a hint is set, then shaped as texts_
    std::vector<QString> headers_;
};
