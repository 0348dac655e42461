#include "platform/RadioGroup.h"

#include <QButtonGroup>
#include <QRadioButton>
#include <QVBoxLayout>

TRadioGroup::TRadioGroup(const QString& caption, const QStringList& items, QWidget* parent)
    : QGroupBox(caption, parent), group_(new QButtonGroup(this)) {
    auto* layout = new QVBoxLayout(this);
    for (int i = 0; i < items.size(); ++i) {
        auto* button = new QRadioButton(items[i], this);
        group_->addButton(button, i);
        layout->addWidget(button);
    }
    connect(group_, &QButtonGroup::idClicked, this, [this] {
        if (OnClick)
            OnClick();
    });
}

int TRadioGroup::ItemIndex() const {
    return group_->checkedId();
}

void TRadioGroup::SetItemIndex(int index) {
    if (QAbstractButton* button = group_->button(index)) {
        button->setChecked(true);
        return;
    }
    // An exclusive group keeps one button checked; unchecking needs it off for a moment.
    group_->setExclusive(false);
    if (QAbstractButton* checked = group_->checkedButton())
        checked->setChecked(false);
    group_->setExclusive(true);
}

QRadioButton* TRadioGroup::Button(int index) const {
    return static_cast<QRadioButton*>(group_->button(index));
}
