// The settings dialog's firmware pages: opening and closing image files, the update marks with
// "Рекомендуемые", committing them, the stored images at start-up, the lines the sessions redraw.
#include <QListWidget>
#include <QPushButton>

#include "core/ObjectRegistry.h"
#include "platform/Cp1251.h"
#include "platform/StringGrid.h"
#include "tests/dialogs/FirmwareFile.h"
#include "tests/dialogs/SettingsFixture.h"
#include "tests/platform/TestSupport.h"

namespace {

QStringList Row(const TStringGrid* grid, int row) {
    return {grid->Cell(0, row), grid->Cell(1, row), grid->Cell(2, row)};
}

QString Hint(const TStringGrid* grid, int row) {
    return grid->CellHint(2, row);
}

class FirmwarePagesTest : public SettingsTest {
protected:
    // Opens the file in the dialog's "Открыть...".
    void Open(const std::string& path) {
        openDialog->Answers.push_back(QString::fromStdString(path));
        dialog->EnterSWButton->click();
    }
    std::vector<bool> Marks() const {
        std::vector<bool> marks;
        for (int i = 0; i < dialog->ObjectsCheckListBox->count(); ++i)
            marks.push_back(dialog->ObjectsCheckListBox->item(i)->checkState() == Qt::Checked);
        return marks;
    }
    TStringGrid* Grid() const { return dialog->StringGrid1; }
};

TEST_F(FirmwarePagesTest, OneImagePerHardwareGroupIsListed) {
    OpenDialog(2);
    EXPECT_EQ(Grid()->RowCount(), 2);
    EXPECT_EQ(Row(Grid(), 0), QStringList({"mcv   prf", "H/W", "Файл"}));
    const std::string a = ImageFile("a.prg", 3, 0xFFFE1600);
    const std::string b = ImageFile("b.prg", 2, 0xFFFEC103); // 12.1: hardware group 1
    const std::string c = ImageFile("c.prg", 2, 0xFFFE0905); // 0.9: group 0 again

    Open(a); // the first image fills the empty row
    EXPECT_EQ(Grid()->RowCount(), 2);
    EXPECT_EQ(Row(Grid(), 1), QStringList({"01.06 00.00", "Tirmal", QString::fromStdString(a)}));
    EXPECT_EQ(Hint(Grid(), 1), QString::fromStdString(a));
    Open(b);
    EXPECT_EQ(Grid()->RowCount(), 3);
    EXPECT_EQ(Row(Grid(), 2), QStringList({"12.01 00.03", "?????", QString::fromStdString(b)}));
    EXPECT_EQ(Grid()->Row(), 2);
    Open(c); // replaces the image of its group, whatever its version
    EXPECT_EQ(Grid()->RowCount(), 3);
    EXPECT_EQ(Row(Grid(), 1), QStringList({"00.09 00.05", "Tirmal", QString::fromStdString(c)}));
    EXPECT_EQ(Grid()->Row(), 1);
    EXPECT_EQ(dialog->SWVersionList, (std::vector<TSWVersion>{{0, 9, 0, 5}, {12, 1, 0, 3}}));
    // Nothing is loaded before the settings are applied.
    EXPECT_TRUE(SWImages[0].empty());

    dialog->ButtonOK->click();
    EXPECT_EQ(AppSettings->SWFileCount, 2);
    EXPECT_EQ(AppSettings->SWFiles[0], c);
    EXPECT_EQ(AppSettings->SWFiles[1], b);
    EXPECT_EQ(SWImages[0], MakeFirmwareImage(2, 0xFFFE0905));
    EXPECT_EQ(SWVersions[1], (TSWVersion{12, 1, 0, 3}));
}

TEST_F(FirmwarePagesTest, FilesThatAreNotImagesOfThisSystemAreRefusedAndChangeNothing) {
    const std::string bad = WriteFirmwareFile(images.Path(), "bad.prg", std::vector<uint8_t>(1000, 7));
    const std::string empty = WriteFirmwareFile(images.Path(), "empty.prg", {});
    const std::string other = ImageFile("other.prg", 2, 0xFFFD1600); // kind 3
    const struct {
        std::string path;
        const char* text;
    } cases[] = {
        {images.Path() + "missing.prg", "Невозможно открыть файл!\r\n"},
        {bad, "Некорректный файл!\r\n"},
        {empty, "Некорректный файл!\r\n"},
        {other, "Обновление данного ПО не поддерживается!\r\n"},
    };
    OpenDialog(2);
    Open(ImageFile("a.prg", 3, 0xFFFE1600));
    for (const auto& c : cases) {
        dialogs->Expect(mtError, QString::fromUtf8(c.text), mrOk);
        Open(c.path);
        EXPECT_EQ(dialog->SWVersionList.size(), 1u) << c.path;
        EXPECT_EQ(Grid()->RowCount(), 2) << c.path;
    }
    // A cancelled box changes nothing either.
    dialog->EnterSWButton->click();
    EXPECT_EQ(dialog->SWVersionList.size(), 1u);
}

TEST_F(FirmwarePagesTest, OpenBoxStartsAtTheSelectedFileUntilItHasOneOfItsOwn) {
    OpenDialog(2);
    const std::string a = ImageFile("a.prg", 3, 0xFFFE1600);
    const std::string b = ImageFile("b.prg", 2, 0xFFFEC100);
    Open(a);
    Open(b);
    openDialog->FileName.clear();
    Grid()->SetRow(1);
    dialog->EnterSWButton->click(); // cancelled
    dialog->EnterSWButton->click();
    EXPECT_EQ(openDialog->StartedAt, QStringList({"", QString::fromStdString(a), QString::fromStdString(a),
                                                  QString::fromStdString(a)}));
}

TEST_F(FirmwarePagesTest, ClosingImagesDeletesTheirRowsAndTheLastOneOnlyClearsIt) {
    OpenDialog(2);
    dialog->DeleteSWButton->click(); // an empty list: nothing happens
    EXPECT_EQ(Grid()->RowCount(), 2);
    const std::string a = ImageFile("a.prg", 3, 0xFFFE1600);
    const std::string b = ImageFile("b.prg", 2, 0xFFFEC100);
    Open(a);
    Open(b);
    Grid()->SetRow(1);
    dialog->DeleteSWButton->click();
    EXPECT_EQ(Grid()->RowCount(), 2);
    EXPECT_EQ(Row(Grid(), 1), QStringList({"12.01 00.00", "?????", QString::fromStdString(b)}));
    dialog->DeleteSWButton->click();
    EXPECT_EQ(Grid()->RowCount(), 2);
    EXPECT_EQ(Row(Grid(), 1), QStringList({"", "", ""}));
    EXPECT_EQ(Hint(Grid(), 1), QString());
    EXPECT_TRUE(dialog->SWVersionList.empty());
    dialog->DeleteSWButton->click();
    EXPECT_TRUE(dialog->SWVersionList.empty());
}

TEST_F(FirmwarePagesTest, RecommendedMarksOnlyObjectsOlderThanTheImageOfTheirGroup) {
    Start();
    const struct {
        int number;
        TSWVersion version;
        bool recommended;
    } objects[] = {
        {1, {1, 5, 9, 9}, true},   // older main program in group 0
        {2, {1, 6, 0, 0}, false},  // the image's version
        {3, {1, 6, 0, 9}, false},  // only the profile is newer than the one it has
        {4, {1, 7, 0, 0}, false},  // newer
        {5, {0, 0, 0, 0}, false},  // never connected
        {6, {0, 9, 0, 0}, false},  // first byte 0: never recommended
        {7, {12, 0, 0, 0}, true},  // older in group 1
        {8, {19, 9, 0, 0}, false}, // group 1, newer
        {9, {30, 1, 0, 0}, false}, // no image of group 3
    };
    for (const auto& o : objects)
        AddObject(o.number, "x")->HwVersion = o.version;
    OpenDialog(1);
    Open(ImageFile("a.prg", 3, 0xFFFE1600));
    Open(ImageFile("b.prg", 2, 0xFFFEC100));
    dialog->Button1Click();
    EXPECT_EQ(Marks(), std::vector<bool>(9, true));
    dialog->Button3Click();
    std::vector<bool> expected;
    for (const auto& o : objects)
        expected.push_back(o.recommended);
    EXPECT_EQ(Marks(), expected);
    dialog->Button2Click();
    EXPECT_EQ(Marks(), std::vector<bool>(9, false));
}

TEST_F(FirmwarePagesTest, CommittedMarksKeepARunningUpdatesProgress) {
    Start();
    AddObject(1, "running")->UpdateState = 30;
    AddObject(2, "stopped")->UpdateState = 30;
    AddObject(3, "new")->UpdateState = -1;
    AddObject(4, "left")->UpdateState = -1;
    OpenDialog(1);
    EXPECT_EQ(Marks(), std::vector<bool>({true, true, false, false}));
    EXPECT_TRUE(dialog->ObjectsCheckListBox->item(0)->text().endsWith(QStringLiteral("   30%")));
    EXPECT_FALSE(dialog->SWSettingsChanged());
    dialog->ObjectsCheckListBox->item(1)->setCheckState(Qt::Unchecked);
    dialog->ObjectsCheckListBox->item(2)->setCheckState(Qt::Checked);
    EXPECT_TRUE(dialog->SWSettingsChanged());
    dialog->ButtonOK->click();
    EXPECT_EQ(calls.mid(0, 2), QStringList({"DialogToSettings", "ApplySWSettings(0)"}));
    const int states[] = {30, -1, 0, -1};
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(ObjectList[std::size_t(i)]->UpdateState, states[i]) << i;
}

// A stored file that is missing at start-up keeps its row, shown as not loaded, and its name through
// every OK, until the operator closes it. It belongs to no hardware group: an image opened later is
// listed beside it, and it recommends nothing.
TEST_F(FirmwarePagesTest, StoredImageThatDoesNotLoadKeepsItsNameShownAsNotLoadedUntilClosed) {
    const std::string good = ImageFile("good.prg", 3, 0xFFFEC100);
    const std::string gone = images.Path() + "gone.prg";
    AppSettings->SWFileCount = 2;
    AppSettings->SWFiles[0] = gone;
    AppSettings->SWFiles[1] = good;
    Start(); // loads the stored images
    AddObject(1, "x")->HwVersion = {1, 5, 0, 0};
    EXPECT_TRUE(SWImages[0].empty());
    EXPECT_EQ(SWVersions[0], TSWVersion{});
    EXPECT_EQ(SWVersions[1], (TSWVersion{12, 1, 0, 0}));
    EXPECT_TRUE(LogLines().contains(QString::fromStdString("CH: firmware file not loaded - " + gone)));

    OpenDialog(2);
    EXPECT_EQ(Grid()->RowCount(), 3);
    EXPECT_EQ(Row(Grid(), 1), QStringList({"---", "", QString::fromStdString(gone)}));
    EXPECT_EQ(Hint(Grid(), 1), QString::fromStdString(gone) + QStringLiteral("\nФайл не загружен"));
    EXPECT_EQ(Row(Grid(), 2), QStringList({"12.01 00.00", "?????", QString::fromStdString(good)}));
    EXPECT_FALSE(dialog->SWVersionChanged());
    dialog->Button3Click();
    EXPECT_EQ(Marks(), std::vector<bool>{false});
    dialog->ButtonOK->click();
    EXPECT_EQ(calls.mid(0, 1), QStringList({"ApplySWSettings(0)"}));
    EXPECT_EQ(AppSettings->SWFileCount, 2);
    EXPECT_EQ(AppSettings->SWFiles[0], gone);
    EXPECT_EQ(AppSettings->SWFiles[1], good);

    OpenDialog(2);
    const std::string groupZero = ImageFile("zero.prg", 3, 0xFFFE1600);
    Open(groupZero);
    EXPECT_EQ(Grid()->RowCount(), 4);
    EXPECT_EQ(Row(Grid(), 1), QStringList({"---", "", QString::fromStdString(gone)}));
    EXPECT_EQ(Row(Grid(), 3), QStringList({"01.06 00.00", "Tirmal", QString::fromStdString(groupZero)}));
    Grid()->SetRow(1);
    dialog->DeleteSWButton->click();
    dialog->ButtonOK->click();
    EXPECT_EQ(AppSettings->SWFileCount, 2);
    EXPECT_EQ(AppSettings->SWFiles[0], good);
    EXPECT_EQ(AppSettings->SWFiles[1], groupZero);
    EXPECT_EQ(SWVersions[0], (TSWVersion{12, 1, 0, 0}));
    EXPECT_EQ(SWVersions[1], (TSWVersion{1, 6, 0, 0}));
    EXPECT_FALSE(SWImages[1].empty());
    EXPECT_TRUE(SWImages[2].empty());
}

TEST_F(FirmwarePagesTest, RedrawnLineShowsTheProgressAndLosesItsMarkWhenTheUpdateEnds) {
    Start();
    AddObject(1, "first");
    TObjectStates* second = AddObject(2, "second");
    second->HwVersion = {1, 5, 0, 0};
    second->UpdateState = 0;
    OpenDialog(1);
    second->UpdateState = 45;
    dialog->RedrawUpdateString(second);
    EXPECT_EQ(dialog->ObjectsCheckListBox->item(1)->text(),
              QStringLiteral("        2  second         Tirmal    01.05 00.00   45%"));
    EXPECT_EQ(Marks(), std::vector<bool>({false, true}));
    second->UpdateState = -1;
    dialog->RedrawUpdateString(second);
    EXPECT_EQ(dialog->ObjectsCheckListBox->item(1)->text(),
              QStringLiteral("        2  second         Tirmal    01.05 00.00"));
    EXPECT_EQ(Marks(), std::vector<bool>({false, false}));
}

} // namespace
