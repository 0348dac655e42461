// The radio group and the file-open box's filter.
#include <gtest/gtest.h>

#include <QRadioButton>
#include <QStringList>

#include "platform/OpenDialog.h"
#include "platform/RadioGroup.h"

namespace {

TEST(RadioGroup, ItemIndexFollowsTheCheckedItemAndOnlyClicksRunOnClick) {
    TRadioGroup group(QStringLiteral("Режим"),
                      {QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")});
    int clicks = 0;
    group.OnClick = [&] { ++clicks; };
    EXPECT_EQ(group.title(), QStringLiteral("Режим"));
    EXPECT_EQ(group.ItemIndex(), -1);
    group.SetItemIndex(2);
    EXPECT_EQ(group.ItemIndex(), 2);
    EXPECT_TRUE(group.Button(2)->isChecked());
    EXPECT_EQ(clicks, 0);
    group.Button(1)->click();
    EXPECT_EQ(group.ItemIndex(), 1);
    EXPECT_FALSE(group.Button(2)->isChecked());
    EXPECT_EQ(clicks, 1);
    group.SetItemIndex(7); // out of range: nothing checked
    EXPECT_EQ(group.ItemIndex(), -1);
    group.Button(0)->click();
    EXPECT_EQ(group.ItemIndex(), 0);
    EXPECT_EQ(clicks, 2);
}

TEST(OpenDialog, FilterPairsBecomeTheFileDialogsFilter) {
    const struct {
        const char* filter;
        const char* qt;
    } cases[] = {
        {"Файлы ПО контроллера (*.prg)|*.prg|Все файлы (*.*)|*.*",
         "Файлы ПО контроллера (*.prg);;Все файлы (*.*)"},
        {"Images|*.png;*.bmp", "Images (*.png *.bmp)"},
        {"", ""},
        {"Lonely description", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(QtFileFilter(QString::fromUtf8(c.filter)), QString::fromUtf8(c.qt)) << c.filter;
}

} // namespace
