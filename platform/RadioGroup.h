// Stands in for the framework's TRadioGroup: a captioned box with one radio button per item, the index
// of the checked one, and an event when the operator checks one.
#pragma once

#include <functional>

#include <QGroupBox>
#include <QStringList>

class QButtonGroup;
class QRadioButton;

class TRadioGroup : public QGroupBox {
public:
    TRadioGroup(const QString& caption, const QStringList& items, QWidget* parent = nullptr);

    // The checked item, -1 when none is.
    int ItemIndex() const;
    // Checks that item (none for an index out of range) without running OnClick.
    void SetItemIndex(int index);
    QRadioButton* Button(int index) const;

    // The operator clicked an item.
    std::function<void()> OnClick;

private:
    QButtonGroup* group_;
};
