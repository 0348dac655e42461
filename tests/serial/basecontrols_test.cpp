// The bases of the library's visual components: each its kind of widget, with the fixed Version.
#include <gtest/gtest.h>

#include <QMetaProperty>
#include <QScrollArea>

#include "serial/BaseControls.h"

namespace {

template <class Control> void ExpectTheFixedVersion() {
    Control control;
    EXPECT_EQ(control.Version(), QStringLiteral("v4.07"));
    control.SetVersion(QStringLiteral("v9.99"));
    EXPECT_EQ(control.Version(), QStringLiteral("v4.07"));
    EXPECT_TRUE(control.setProperty("Version", QStringLiteral("v9.99")));
    EXPECT_EQ(control.property("Version").toString(), QStringLiteral("v4.07"));
    const QMetaObject* meta = control.metaObject();
    const QMetaProperty version = meta->property(meta->indexOfProperty("Version"));
    EXPECT_TRUE(version.isWritable());
    EXPECT_FALSE(version.isStored()) << "no form keeps it";
}

TEST(BaseControls, EachReadsTheLibrarysVersionWhateverIsWritten) {
    ExpectTheFixedVersion<TSioBaseWinControl>();
    ExpectTheFixedVersion<TSioBaseGraphicControl>();
    ExpectTheFixedVersion<TSioBaseScrollingWinControl>();
}

TEST(BaseControls, AreWidgetsOfTheirKind) {
    TSioBaseWinControl window;
    TSioBaseGraphicControl graphic(&window);
    EXPECT_EQ(graphic.parentWidget(), &window);
    EXPECT_FALSE(graphic.testAttribute(Qt::WA_NativeWindow)); // painted on its parent's window
    TSioBaseScrollingWinControl scrolling;
    EXPECT_NE(qobject_cast<QScrollArea*>(&scrolling), nullptr);
    auto* content = new TSioBaseWinControl;
    content->resize(400, 400);
    scrolling.setWidget(content);
    EXPECT_EQ(scrolling.widget(), content);
}

} // namespace
