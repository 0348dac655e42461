#include <gtest/gtest.h>

#include <QTimer>

#include "serial/ComSelectForm.h"
#include "tests/serial/SerialTestSupport.h"

namespace {

// A COM folder where only the given ports lead to a device: every other number up to 51 is mapped
// to nothing, so the machine's own serial ports stay out of the list.
class ComSelectFormTest : public ::testing::Test {
protected:
    void Present(const std::vector<std::uint32_t>& ports) {
        for (std::uint32_t n = 1; n <= 51; ++n)
            folder.Map(n, folder.Root() + "/nothing");
        for (std::uint32_t n : ports) {
            ptys.push_back(std::make_unique<TPtyPair>());
            folder.Map(n, ptys.back()->SlavePath());
        }
    }

    QStringList Entries(const TComSelectForm& form) {
        QStringList entries;
        for (int i = 0; i < form.PortsComboBox->count(); ++i)
            entries << form.PortsComboBox->itemText(i);
        return entries;
    }

    TComFolder folder;
    std::vector<std::unique_ptr<TPtyPair>> ptys;
};

TEST_F(ComSelectFormTest, ListsTheAvailablePortsUpToFifty) {
    Present({4, 1, 51});
    TComSelectForm form;
    EXPECT_EQ(form.Caption(), QStringLiteral("Select Port"));
    EXPECT_EQ(Entries(form), (QStringList{QStringLiteral("COM1"), QStringLiteral("COM4")}));
    EXPECT_EQ(form.SelectedCom(), QStringLiteral("COM1"));
    EXPECT_EQ(form.SelectedComNum(), 1);
    form.PortsComboBox->setCurrentIndex(1);
    EXPECT_EQ(form.SelectedComNum(), 4);
    // As its form gives it, wider only as far as the screen's font needs for its texts.
    EXPECT_EQ(form.height(), 131);
    EXPECT_GE(form.width(), 220);
    EXPECT_TRUE(form.Bevel1->geometry().contains(form.Label1->geometry()));
}

TEST_F(ComSelectFormTest, OkChoosesAndCancelAborts) {
    Present({2});
    struct Case {
        const char* Button;
        int Result;
    };
    for (const Case& c : {Case{"OkBtn", mrOk}, Case{"AbortBtn", mrAbort}}) {
        TComSelectForm form;
        QTimer::singleShot(0, &form, [&form, &c] { form.findChild<QPushButton*>(c.Button)->click(); });
        EXPECT_EQ(form.ShowModal(), c.Result) << c.Button;
        EXPECT_EQ(form.SelectedComNum(), 2);
    }
}

TEST_F(ComSelectFormTest, WithNoPortTheChoiceIsNone) {
    Present({});
    TComSelectForm form;
    EXPECT_EQ(form.PortsComboBox->count(), 0);
    EXPECT_EQ(form.SelectedCom(), QString());
    EXPECT_EQ(form.SelectedComNum(), 0);
}

} // namespace
