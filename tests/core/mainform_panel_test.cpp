// The objects grid and the object panel: durations, lamps, the sessions' notifications, input names,
// and a picture of the whole window.
#include <iostream>

#include <QCoreApplication>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "core/Bitmaps.h"
#include "core/ObjectRegistry.h"
#include "platform/Cp1251.h"
#include "tests/core/MainFormFixture.h"

namespace {

const QString LampRoom = QStringLiteral("       ");

// The colour in the middle of the lamp of a grid row.
QColor LampColour(TMainForm& form, int row) {
    const QRect cell = form.ObjectsGrid->visualRect(form.ObjectsGrid->model()->index(row - 1, 0));
    const QImage image = form.ObjectsGrid->viewport()->grab().toImage();
    return image.pixelColor(cell.left() + 2 + 7, cell.top() + 2 + 7);
}

bool IsGreen(const QColor& c) {
    return c.green() > 150 && c.red() < 150;
}
bool IsRed(const QColor& c) {
    return c.red() > 150 && c.green() < 150;
}

TEST_F(MainFormTest, GridShowsTheLampAndTheTimeSinceTheLastConnectOrDisconnect) {
    Start();
    TObjectStates* a = AddObject(101, "Котельная");
    AddObject(102, "Насосная");
    a->Connected = 1;
    a->ConnectTime = SecondsAgo(2 * 86400 + 5 * 3600 + 7 * 60 + 9);
    clock->Advance(500);
    EXPECT_EQ(form->ObjectsGrid->Cell(0, 1), LampRoom + "002 05:07:09");
    EXPECT_EQ(form->ObjectsGrid->Cell(0, 2), LampRoom); // never connected
    EXPECT_TRUE(IsGreen(LampColour(*form, 1)));
    EXPECT_TRUE(IsRed(LampColour(*form, 2)));

    form->OnObjectDisconnected(101);
    clock->Advance(3000);
    EXPECT_FALSE(a->Connected);
    EXPECT_EQ(form->ObjectsGrid->Cell(0, 1), LampRoom + "000 00:00:03");
    EXPECT_TRUE(IsRed(LampColour(*form, 1)));
    EXPECT_EQ(LogLines().back(), "CH: the object disconnected (№101)");
    EXPECT_TRUE(form->StatusBar1->Panels(spText).Text.endsWith("  Отсоединился модем 101"));

    form->OnResolveObjNum(ObjectList[1].get());
    EXPECT_TRUE(ObjectList[1]->Connected && ObjectList[1]->ConnectedOnce);
    EXPECT_EQ(LogLines().back(), "CH: new object connected (object №102)");
    EXPECT_TRUE(form->StatusBar1->Panels(spText).Text.endsWith("  Подсоединился модем 102"));
    EXPECT_TRUE(IsGreen(LampColour(*form, 2)));
}

TEST_F(MainFormTest, WindowBackFromTheTrayShowsTheCurrentTimesAtOnce) {
    Start();
    TObjectStates* a = AddObject(1, "a");
    a->Connected = 1;
    a->ConnectTime = SecondsAgo(60);
    clock->Advance(500);
    EXPECT_EQ(form->ObjectsGrid->Cell(0, 1), LampRoom + "000 00:01:00");
    form->close(); // to the tray
    ASSERT_FALSE(form->isVisible());
    clock->Advance(3600 * 1000);
    form->MenuItem1->trigger();
    EXPECT_EQ(form->ObjectsGrid->Cell(0, 1), LampRoom + "000 01:01:00");
}

TEST_F(MainFormTest, ShorterListLosesTheRowsOfTheLongerOneAndShowsOnlyItsOwnTimes) {
    Start();
    for (int i = 1; i <= 3; ++i)
        AddObject(i, "x")->ConnectTime = SecondsAgo(60 * i);
    clock->Advance(500);
    ObjectList.erase(ObjectList.begin()); // the first row is gone, the others move up
    ObjectList[1]->ConnectTime = 0.0;
    form->FillObjectsGrid();
    EXPECT_EQ(form->ObjectsGrid->RowCount(), 3);
    EXPECT_EQ(form->ObjectsGrid->Cell(0, 1), LampRoom + "000 00:02:00");
    EXPECT_EQ(form->ObjectsGrid->Cell(0, 2), LampRoom);
    ObjectList.clear();
    form->FillObjectsGrid();
    EXPECT_EQ(form->ObjectsGrid->RowCount(), 2);
    for (int col = 0; col < 3; ++col)
        EXPECT_TRUE(form->ObjectsGrid->Cell(col, 1).isEmpty());
    form->UpdateObjectPanel();
    EXPECT_FALSE(form->ObjectPanel->isEnabled());
}

TEST_F(MainFormTest, PanelShowsTheTimeOfTheLastDataAndHowLongAgo) {
    Start();
    TObjectStates* o = AddObject(5, "Склад");
    form->UpdateObjectPanel();
    EXPECT_EQ(form->CurrentObjectLabel->text(), "Текущий модем:  5  -  Склад");
    EXPECT_EQ(form->LastMessageTimeLabel->text(), "Последние данные: время не известно");
    EXPECT_EQ(form->SinceLastMessageLabel->text(), "");
    struct {
        double Seconds;
        const char* Caption;
    } cases[] = {{45 * 60 + 12, "(45 мин 12 с назад)"}, {3 * 3600, "(3 ч 0 мин назад)"}};
    for (const auto& c : cases) {
        o->LastDataTime = SecondsAgo(c.Seconds);
        clock->Advance(500);
        EXPECT_EQ(form->SinceLastMessageLabel->text(), c.Caption);
        EXPECT_EQ(form->LastMessageTimeLabel->text(),
                  "Последние данные: " + TimeToStr(o->LastDataTime) + ' ' + DateToStr(o->LastDataTime));
    }
}

TEST_F(MainFormTest, ReportsSetTheInputsAndOnlyAnAnswerEndsTheOutstandingRequest) {
    Start();
    TObjectStates* o = AddObject(9, "x");
    o->Connected = 1;
    o->RequestFlags = TObjectStates::HwInfoRequested;
    TReportHeader header;
    header.ObjectNumber = 9;
    header.Times[2] = SecondsAgo(10);
    TSensorReport report;
    report.InputStates = {1, 0, 1, 0};
    form->ConverterReceiveSensor(nullptr, header, report);
    EXPECT_EQ(o->InputStates, (std::array<std::int32_t, 4>{1, 0, 1, 0}));
    EXPECT_EQ(o->LastDataTime, header.Times[2]);
    clock->Advance(500);
    EXPECT_FALSE(form->RequestButton->isEnabled());
    EXPECT_EQ(form->In1Image->Tag & 0xF, 1);
    EXPECT_EQ(form->In2Image->Tag & 0xF, 2);
    EXPECT_EQ(form->In3Image->Tag & 0xF, 1);

    report.Kind = 1;
    form->ConverterReceiveSensor(nullptr, header, report);
    clock->Advance(500);
    EXPECT_EQ(o->RequestFlags, 0u);
    EXPECT_TRUE(form->RequestButton->isEnabled());

    header.ObjectNumber = 10; // nobody's
    report.InputStates = {0, 0, 0, 0};
    form->ConverterReceiveSensor(nullptr, header, report);
    EXPECT_EQ(o->InputStates[0], 1);
}

// A lamp keeps its picture until the state it shows changes. Each lamp is marked with a picture the
// window never draws, so that any redraw shows.
TEST_F(MainFormTest, LampIsRedrawnOnlyWhenItsStateChanges) {
    Start();
    TObjectStates* a = AddObject(1, "a");
    TObjectStates* b = AddObject(2, "b");
    a->InputStates = b->InputStates = {1, 0, 1, 0};
    form->UpdateObjectPanel();
    const std::array<TImage*, 4> lamps{form->In1Image, form->In2Image, form->In3Image, form->In4Image};
    QPixmap marker(4, 4);
    marker.fill(Qt::magenta);
    const auto marked = [&](const TImage* lamp) { return lamp->pixmap().cacheKey() == marker.cacheKey(); };

    // SetLed draws only a state other than the one in the image's tag.
    form->In1Image->SetPicture(marker);
    form->SetLed(form->In1Image, 1);
    EXPECT_TRUE(marked(form->In1Image));
    form->SetLed(form->In1Image, 2);
    EXPECT_EQ(form->In1Image->pixmap().toImage(), LoadBitmap("YEL_OFF").toImage());
    form->SetLed(form->In1Image, 1);

    // The panel goes by the states it drew last, whatever the tags say and whichever object it shows.
    for (TImage* lamp : lamps) {
        lamp->SetPicture(marker);
        lamp->Tag &= ~0xF;
    }
    clock->Advance(500);
    form->ObjectsGrid->SetRow(2);
    form->ObjectsGridClick();
    for (TImage* lamp : lamps)
        EXPECT_TRUE(marked(lamp)) << lamp->objectName().toStdString();

    b->InputStates[1] = 1;
    clock->Advance(500);
    EXPECT_EQ(lamps[1]->pixmap().toImage(), LoadBitmap("YEL_ON").toImage());
    for (const int i : {0, 2, 3})
        EXPECT_TRUE(marked(lamps[std::size_t(i)])) << i;
}

TEST_F(MainFormTest, InputNameIsEditedInPlaceAndKeepsFifteenCharacters) {
    Start();
    TObjectStates* o = AddObject(3, "x");
    form->UpdateObjectPanel();
    struct {
        Qt::Key Key;
        const char* Stored;
    } cases[] = {{Qt::Key_Escape, "IN2"}, {Qt::Key_Return, "Уровень в баке "}};
    for (const auto& c : cases) {
        QTest::mouseDClick(form->In2Label, Qt::LeftButton);
        ASSERT_TRUE(form->PinNameEdit->isVisible());
        EXPECT_EQ(form->PinNameEdit->text(), FromCp1251(FixedText(o->PinNames[1])));
        form->PinNameEdit->selectAll();
        form->PinNameEdit->insert(QStringLiteral("Уровень в баке №2 л")); // 20 characters typed
        QTest::keyClick(form->PinNameEdit, c.Key);
        EXPECT_FALSE(form->PinNameEdit->isVisible());
        EXPECT_EQ(FromCp1251(FixedText(o->PinNames[1])), QString::fromUtf8(c.Stored));
    }
    clock->Advance(500);
    EXPECT_EQ(form->In2Label->text(), "Уровень в баке ");

    // A click on the panel commits as well.
    QTest::mouseDClick(form->In1Label, Qt::LeftButton);
    form->PinNameEdit->setText(QStringLiteral("Дверь"));
    QTest::mouseClick(form->StatesGroupBox, Qt::LeftButton);
    EXPECT_EQ(FromCp1251(FixedText(o->PinNames[0])), "Дверь");
}

TEST_F(MainFormTest, ButtonsFollowTheConnectionAndTheGsmModem) {
    Start();
    TObjectStates* o = AddObject(1, "x");
    struct {
        bool Connected;
        std::uint32_t Flags;
        TModemState Modem;
        bool Pending;
        bool Request, Profile;
    } cases[] = {
        {true, 0, msClosed, false, true, true},    {true, 1, msClosed, false, false, true},
        {false, 0, msClosed, false, false, false}, {false, 0, msReady, false, true, true},
        {false, 0, msReady, true, false, false},   {false, 0, msConnecting, false, false, false},
    };
    for (const auto& c : cases) {
        o->Connected = c.Connected;
        o->RequestFlags = c.Flags;
        ModemState = c.Modem;
        SmsSendPending = c.Pending;
        form->UpdateObjectPanel();
        EXPECT_EQ(form->RequestButton->isEnabled(), c.Request)
            << c.Connected << c.Flags << c.Modem << c.Pending;
        EXPECT_EQ(form->SettingsButton->isEnabled(), c.Profile)
            << c.Connected << c.Flags << c.Modem << c.Pending;
    }
}

// A fixture of three objects: one connected, one never connected, one selected with inputs 1 and 3 on.
TEST_F(MainFormTest, PictureOfTheMainWindow) {
    Start();
    TObjectStates* a = AddObject(1201, "Котельная №1");
    a->Connected = 1;
    a->ConnectTime = SecondsAgo(2 * 86400 + 5 * 3600 + 7 * 60 + 9);
    AddObject(1202, "Насосная станция");
    TObjectStates* c = AddObject(1203, "Склад ГСМ");
    c->ConnectTime = SecondsAgo(3 * 3600);
    c->LastDataTime = SecondsAgo(45 * 60 + 12);
    c->InputStates = {1, 0, 1, 0};
    SetFixedText(c->PinNames[0], ToCp1251(QStringLiteral("Дверь")));
    SetFixedText(c->PinNames[2], ToCp1251(QStringLiteral("Охрана")));
    form->ObjectsGrid->SetRow(3);
    form->OnServerSocketOpen();
    clock->Advance(500);

    QCoreApplication::processEvents(); // the layout requests the showing posted
    const QString path = QCoreApplication::applicationDirPath() + QStringLiteral("/mainform.png");
    const QImage picture = form->grab().toImage();
    ASSERT_FALSE(picture.isNull());
    ASSERT_TRUE(picture.save(path));
    std::cout << "main window picture: " << path.toStdString() << std::endl;
    EXPECT_EQ(form->In1Image->Tag & 0xF, 1);
    EXPECT_EQ(form->In2Image->Tag & 0xF, 2);
    EXPECT_EQ(form->In3Image->Tag & 0xF, 1);
}

} // namespace
