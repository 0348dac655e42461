// The address book and its device-address dialog, driven as the operator drives them: clicks on cells,
// typed keys, the tool buttons, OK.
#include <gtest/gtest.h>

#include <functional>

#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QToolButton>

#include "core/ObjectRegistry.h"
#include "core/Settings.h"
#include "core/StateFile.h"
#include "dialogs/AddressBook.h"
#include "dialogs/PasswordUpdate.h"
#include "platform/Cp1251.h"
#include "platform/ScriptedDialogs.h"
#include "tests/platform/TestSupport.h"

namespace {

const std::string Marker = "8888888888888888";
const std::array<int32_t, 4> NoDevices{-1, -1, -1, -1};

const QString BadID = QStringLiteral("Некорректная строка с ID модема!");
const QString IDRange = QStringLiteral("Значение ID должно лежать в диапазоне\r\nот 0 до 65535!");
const QString SameID = QStringLiteral("Модем с данным ID уже существует!");
const QString LongPhone = QStringLiteral("Слишком большая строка с номером телефона!");
const QString SamePhone = QStringLiteral("Модем с данным номером телефона уже существует!");
const QString EmptyRows = QStringLiteral(
    "В адресной книге есть модемы с незаполненными номерами или ID\r\nУдалить все такие модемы?");

struct TObject {
    int ID;
    const char* Name;
    const char* Phone;
    std::string Password = Marker;
    std::array<int32_t, 4> DevIDs = NoDevices;
};

class AddressBookTest : public ::testing::Test {
protected:
    AddressBookTest() {
        AppSettings = &settings;
        SystemPassword = Marker;
        ObjectList.clear();
        AccessGranted = true;
        PasswordUpdate = &passwordUpdate;
        EnterDevIDs = &devIDs;
    }
    ~AddressBookTest() override {
        book.close();
        EnterDevIDs = nullptr;
        PasswordUpdate = nullptr;
        AccessGranted = false;
        ObjectList.clear();
        SystemPassword = Marker;
        AppSettings = nullptr;
    }

    // Shows the book (not modally: OK only sets its ModalResult) with these objects in the list.
    void Open(const std::vector<TObject>& objects = {}) {
        for (const TObject& o : objects) {
            auto object = std::make_unique<TObjectStates>();
            object->ObjectNumber = object->ModemID = o.ID;
            object->Name = ToCp1251(QString::fromUtf8(o.Name));
            object->Phone = o.Phone;
            object->Password = MakePassword(o.Password);
            object->DevIDs = o.DevIDs;
            ObjectList.push_back(std::move(object));
        }
        book.show();
        book.activateWindow();
        ASSERT_TRUE(PumpUntil([&] { return book.isActiveWindow(); }));
    }

    TStringGrid* Grid() const { return book.ABGrid; }
    QLineEdit* Editor() const {
        return qobject_cast<QLineEdit*>(Grid()->indexWidget(Grid()->currentIndex()));
    }
    void Click(int col, int row) { ClickCell(Grid(), col, row); }
    void DoubleClick(int col, int row) {
        Click(col, row);
        QTest::mouseDClick(Grid()->viewport(), Qt::LeftButton, {},
                           Grid()->visualRect(Grid()->model()->index(row - 1, col)).center());
    }
    void Type(const QString& text) { TypeInGrid(Grid(), text); }
    // Clicks the cell and types the text into it.
    void Enter(int col, int row, const QString& text) {
        Click(col, row);
        Type(text);
    }
    std::pair<int, int> Current() const { return {Grid()->Col(), Grid()->Row()}; }
    // Columns 0 to 4 of every data row, joined by '|'.
    QStringList Rows() const {
        QStringList rows;
        for (int row = 1; row < Grid()->RowCount(); ++row) {
            QStringList cells;
            for (int col = 0; col < 5; ++col)
                cells << Grid()->Cell(col, row);
            rows << cells.join('|');
        }
        return rows;
    }

    TScriptedDialogs dialogs{FailTest};
    TSettings settings;
    TPasswordUpdate passwordUpdate;
    TEnterDevIDs devIDs;
    TAddrBook book;
};

struct TCellCase {
    const char* name;
    int col;
    QString typed;
    QString kept;  // the cell after leaving it
    QString error; // empty: none
};

TEST_F(AddressBookTest, IdAndPhoneCellsAreCheckedAsTheyAreLeft) {
    const TCellCase cases[] = {
        {"blanks around", 0, " 12 ", "12", {}},
        {"hexadecimal", 0, "$1F", "31", {}},
        {"the largest", 0, "65535", "65535", {}},
        {"too large", 0, "65536", "", IDRange},
        {"negative", 0, "-1", "", IDRange},
        {"not a number", 0, "12a", "", BadID},
        {"another row's ID", 0, "007", "", SameID},
        {"21 characters", 2, "+12345678901234567890", "+12345678901234567890", {}},
        {"22 characters", 2, "+123456789012345678901", "", LongPhone},
        {"same last ten, other prefix", 2, "89161234567", "", SamePhone},
        {"just the last ten", 2, "9161234567", "", SamePhone},
        {"other last ten", 2, "+79161234568", "+79161234568", {}},
        {"shorter number", 2, "1234567", "1234567", {}},
    };
    Open({{7, "other", "+79161234567"}});
    ASSERT_TRUE(Grid()->FocusCell(0, 1));
    book.ToolButton1Click();
    ASSERT_EQ(Current(), std::make_pair(0, 2));
    for (const TCellCase& c : cases) {
        SCOPED_TRACE(c.name);
        Grid()->Cells[c.col][2] = QString();
        Enter(c.col, 2, c.typed);
        if (!c.error.isEmpty())
            dialogs.Expect(mtError, c.error, mrOk);
        Click(1, 1);
        EXPECT_EQ(Grid()->Cell(c.col, 2), c.kept);
        if (c.error.isEmpty()) {
            EXPECT_EQ(Current(), std::make_pair(1, 1));
        } else {
            EXPECT_EQ(Current(), std::make_pair(c.col, 2)); // refused: the cell stays current
            EXPECT_TRUE(Grid()->hasFocus());
        }
        EXPECT_EQ(dialogs.Pending(), 0u);
    }
}

TEST_F(AddressBookTest, LeavingAPhoneCellChecksItsRowsIdToo) {
    Open({{7, "a", ""}, {8, "b", ""}});
    Click(2, 2);
    Grid()->Cells[0][2] = QStringLiteral("7");
    Type(QStringLiteral("123"));
    dialogs.Expect(mtError, SameID, mrOk);
    Click(1, 1);
    EXPECT_EQ(Rows()[1], "|b|123|Нет|");
}

TEST_F(AddressBookTest, LeavingTheGridForAnotherControlChecksTheCell) {
    Open({{7, "a", ""}});
    book.ToolButton1Click();
    Type(QStringLiteral("7"));
    dialogs.Expect(mtError, SameID, mrOk);
    book.OkButton->setFocus();
    EXPECT_EQ(Grid()->Cell(0, 2), QString());
    EXPECT_TRUE(Grid()->hasFocus());
}

TEST_F(AddressBookTest, TextThatWindows1251CannotHoldIsRefusedAsTyped) {
    Open();
    Enter(1, 1, QStringLiteral("Иван 中№1"));
    EXPECT_EQ(Grid()->Cell(1, 1), QStringLiteral("Иван №1"));
}

TEST_F(AddressBookTest, KeyAndAddressColumnsAreNotEditedButDoubleClickOpensTheirDialogs) {
    Open({{12, "a", ""}});
    Enter(3, 1, QStringLiteral("x"));
    Enter(4, 1, QStringLiteral("x"));
    EXPECT_EQ(Rows(), QStringList{"12|a||Нет|"});

    dialogs.Expect(mtInformation, QStringLiteral("В текущем режиме защиты ввод паролей не предусмотрен!"),
                   mrOk);
    DoubleClick(3, 1);
    EXPECT_EQ(dialogs.Shown().size(), 1u);

    WhenModal(devIDs, [&] {
        EXPECT_EQ(devIDs.IDLabel->text(), QStringLiteral("Адреса устройств, подключенных к модему 12"));
        TypeText(devIDs.ID1Edit, QStringLiteral("1"));
        TypeText(devIDs.ID3Edit, QStringLiteral("abcd"));
        devIDs.ButtonOK->click();
    });
    DoubleClick(4, 1);
    EXPECT_EQ(Rows(), QStringList{"12|a||Нет|0001h  ABCDh  "});
    EXPECT_EQ(book.DevIDList[0], (std::array<int32_t, 4>{1, -1, 0xABCD, -1}));

    DoubleClick(1, 1); // elsewhere the cell is edited
    ASSERT_NE(Editor(), nullptr);
    QTest::keyClick(Editor(), Qt::Key_End);
    Type(QStringLiteral("b"));
    EXPECT_EQ(Grid()->Cell(1, 1), "ab");
}

TEST_F(AddressBookTest, DeviceDialogReadsHexadecimalAndEmptyAsNoDevice) {
    devIDs.DevIDs = {0x1F, -1, 0xFFFF, 0};
    WhenModal(devIDs, [&] {
        EXPECT_EQ(devIDs.ID1Edit->text(), "001F");
        EXPECT_EQ(devIDs.ID2Edit->text(), "");
        EXPECT_EQ(devIDs.ID3Edit->text(), "FFFF");
        EXPECT_EQ(devIDs.ID4Edit->text(), "0000");
        devIDs.ID1Edit->clear();
        TypeText(devIDs.ID2Edit, QStringLiteral("fgf-f+0")); // only hexadecimal digits, at most four
        devIDs.ID4Edit->clear();
        devIDs.ButtonOK->click();
    });
    EXPECT_EQ(devIDs.ShowModal(), mrOk);
    EXPECT_EQ(devIDs.DevIDs, (std::array<int32_t, 4>{-1, 0xFFF0, 0xFFFF, -1}));
    EXPECT_EQ(devIDs.ID2Edit->text(), "fff0");
    EXPECT_TRUE(TEnterDevIDs::IDEditKeyPress(u'\b'));
    EXPECT_FALSE(TEnterDevIDs::IDEditKeyPress(u'G'));
}

TEST_F(AddressBookTest, KeyButtonFollowsTheSecurityMode) {
    const QString noEntry = QStringLiteral("В текущем режиме защиты ввод паролей не предусмотрен!");
    const QString noChange = QStringLiteral("В текущем режиме защиты изменение паролей не предусмотрено!");
    Open({{12, "a", ""}});
    for (const auto& [mode, text] :
         {std::pair{smNone, noEntry}, std::pair{smSettingsOnly, noEntry},
          std::pair{smSettingsAndObjects, noChange}, std::pair{smOnePassword, noChange}}) {
        settings.SecurityMode = mode;
        dialogs.Expect(mtInformation, text, mrOk);
        book.ToolButton9->click();
    }
    settings.SecurityMode = smManyPasswords;
    for (const auto& [typed, key, shown] :
         {std::tuple{"abc", "abc8888888888888", "Есть"}, std::tuple{"", "8888888888888888", "Нет"}}) {
        WhenModal(passwordUpdate, [&, typed = typed] { // clang 14 captures no bindings
            EXPECT_EQ(passwordUpdate.Caption(), QStringLiteral("Изменение пароля"));
            EXPECT_EQ(passwordUpdate.InfoLabel->text(),
                      QStringLiteral("Введите пароль контроллера c ID: 12"));
            TypeText(passwordUpdate.PasswordEdit, typed);
            TypeText(passwordUpdate.PasswordDoubleEdit, typed);
            passwordUpdate.ButtonOK->click();
        });
        book.ToolButton9->click();
        EXPECT_EQ(book.PasswordList[0], key);
        EXPECT_EQ(Grid()->Cell(3, 1), QString::fromUtf8(shown));
    }
}

TEST_F(AddressBookTest, KeyColumnShowsTheSystemKeyOrTheRowsOwnByMode) {
    SystemPassword = "system8888888888";
    Open({{1, "a", "", "own1888888888888"}, {2, "b", ""}});
    const std::pair<int, QStringList> cases[] = {
        {smNone, {"Нет", "Нет"}},
        {smSettingsOnly, {"Нет", "Нет"}},
        {smSettingsAndObjects, {"Есть", "Есть"}},
        {smOnePassword, {"Есть", "Есть"}},
        {smManyPasswords, {"Есть", "Нет"}},
    };
    for (const auto& [mode, shown] : cases) {
        settings.SecurityMode = mode;
        book.ShowPasswordColumn();
        EXPECT_EQ((QStringList{Grid()->Cell(3, 1), Grid()->Cell(3, 2)}), shown) << mode;
    }
    SystemPassword = Marker;
    settings.SecurityMode = smOnePassword;
    book.ShowPasswordColumn();
    EXPECT_EQ(Grid()->Cell(3, 1), "Нет");
}

TEST_F(AddressBookTest, DeletingMovesRowsUpAndTheOnlyRowIsEmptiedInstead) {
    settings.SecurityMode = smManyPasswords;
    Open({{1, "a", "111", "key1888888888888", {1, -1, -1, -1}}, {2, "b", "222"}, {3, "c", "333"}});
    ASSERT_TRUE(Grid()->FocusCell(1, 1));
    dialogs.Expect(mtConfirmation,
                   QStringLiteral("Для модема 1 введен пароль.\r\nУдалить этот модем вместе с паролем?"),
                   mrCancel);
    book.ToolButton7->click();
    EXPECT_EQ(Rows().size(), 3);
    dialogs.Expect(mtConfirmation,
                   QStringLiteral("Для модема 1 введен пароль.\r\nУдалить этот модем вместе с паролем?"),
                   mrOk);
    book.ToolButton7->click();
    EXPECT_EQ(Rows(), (QStringList{"2|b|222|Нет|", "3|c|333|Нет|"}));
    EXPECT_EQ(book.PasswordList, (std::vector<std::string>{Marker, Marker}));
    EXPECT_EQ(book.DevIDList, (std::vector<std::array<int32_t, 4>>{NoDevices, NoDevices}));
    EXPECT_EQ(Current().first, 0);

    book.ToolButton7->click();
    book.ToolButton7->click();
    EXPECT_EQ(Rows(), QStringList{"|||Нет|"});
    EXPECT_EQ(book.PasswordList, std::vector<std::string>{Marker});
    EXPECT_EQ(Grid()->RowCount(), 2);
}

TEST_F(AddressBookTest, AddingARowStartsItEmptyAndOnlyAfterTheCurrentCellPasses) {
    Open({{1, "a", ""}});
    book.ToolButton1->click();
    EXPECT_EQ(Rows(), (QStringList{"1|a||Нет|", "|||Нет|"}));
    EXPECT_EQ(Current(), std::make_pair(0, 2));
    EXPECT_EQ(book.PasswordList.size(), 2u);
    EXPECT_EQ(book.DevIDList.back(), NoDevices);
    Type(QStringLiteral("1"));
    dialogs.Expect(mtError, SameID, mrOk);
    book.ToolButton1->click();
    EXPECT_EQ(Rows().size(), 2);
    book.ToolButton3->click();
    EXPECT_EQ(Current(), std::make_pair(0, 1));
    book.ToolButton4->click();
    EXPECT_EQ(Current(), std::make_pair(0, 2));
}

TEST_F(AddressBookTest, SortingByIdTakesKeysAndAddressesAlong) {
    Open({{30, "c", "3", "key3888888888888", {3, -1, -1, -1}},
          {5, "a", "1", "key1888888888888", {1, -1, -1, -1}},
          {12, "b", "2", "key2888888888888", {2, -1, -1, -1}}});
    book.ToolButton1->click();
    Enter(1, 4, QStringLiteral(" "));
    book.ToolButton5->click();
    EXPECT_EQ(Rows(),
              (QStringList{"|||Нет|", "5|a|1|Нет|0001h  ", "12|b|2|Нет|0002h  ", "30|c|3|Нет|0003h  "}));
    EXPECT_EQ(book.PasswordList,
              (std::vector<std::string>{Marker, "key1888888888888", "key2888888888888", "key3888888888888"}));
    EXPECT_EQ(book.DevIDList[3][0], 3);
    EXPECT_EQ(Current(), std::make_pair(0, 1));
}

// Of equal keys (a cell without a number sorts as 0) the selection takes the first row, and the row
// it replaces goes to the taken row's place.
TEST_F(AddressBookTest, SortingTakesTheFirstRowOfEqualKeys) {
    Open({{5, "a", "1"}, {1, "b", "2"}, {2, "c", "3"}, {0, "d", "4"}});
    Grid()->Cells[0][2] = QString();
    Grid()->Cells[0][3] = QStringLiteral("x");
    book.ToolButton5->click();
    EXPECT_EQ(Rows(), (QStringList{"|b|2|Нет|", "x|c|3|Нет|", "0|d|4|Нет|", "5|a|1|Нет|"}));
}

// The rows come out as the selection sort of the book places them, whatever the keys and their repeats.
TEST_F(AddressBookTest, SortingPlacesEveryRowAsTheSelectionSortDoes) {
    std::vector<TObject> objects;
    for (int i = 0; i < 60; ++i)
        objects.push_back({i, "", ""});
    Open(objects);
    Grid()->FocusCell(1, 1); // no ID cell is checked on the way
    QStringList ids;
    uint32_t random = 12345;
    for (int row = 1; row <= 60; ++row) {
        random = random * 1103515245 + 12345;
        const int pick = int(random >> 16) % 9;
        const QString id = pick == 0   ? QString()
                           : pick == 1 ? QStringLiteral("-")
                                       : QString::number(pick % 4);
        Grid()->Cells[0][row] = id;
        Grid()->Cells[1][row] = QString::number(row);
        ids << id;
    }
    // The selection sort itself, on the keys.
    QStringList names;
    for (int row = 1; row <= 60; ++row)
        names << QString::number(row);
    auto key = [](const QString& id) {
        bool ok = false;
        const int n = id.toInt(&ok);
        return ok ? n : 0;
    };
    for (int i = 0; i < 59; ++i) {
        int smallest = i;
        for (int j = i + 1; j < 60; ++j)
            if (key(ids[j]) < key(ids[smallest]))
                smallest = j;
        ids.swapItemsAt(i, smallest);
        names.swapItemsAt(i, smallest);
    }
    book.ToolButton5->click();
    for (int row = 1; row <= 60; ++row) {
        EXPECT_EQ(Grid()->Cell(0, row), ids[row - 1]) << row;
        EXPECT_EQ(Grid()->Cell(1, row), names[row - 1]) << row;
    }
}

TEST_F(AddressBookTest, OkDropsEveryRowWithoutIdAndTheOthersKeepTheirKeysAndAddresses) {
    Open({{1, "a", "1", "key1888888888888", {1, -1, -1, -1}},
          {2, "b", "2", "key2888888888888", {2, -1, -1, -1}},
          {3, "c", "3", "key3888888888888", {3, -1, -1, -1}},
          {4, "d", "4", "key4888888888888", {4, -1, -1, -1}},
          {5, "e", "5", "key5888888888888", {5, -1, -1, -1}}});
    Grid()->Cells[0][2] = QString();
    Grid()->Cells[0][4] = QString();
    dialogs.Expect(mtError, EmptyRows, mrYes);
    book.OkButton->click();
    EXPECT_EQ(book.ModalResult(), mrOk);
    EXPECT_EQ(Rows(), (QStringList{"1|a|1|Нет|0001h  ", "3|c|3|Нет|0003h  ", "5|e|5|Нет|0005h  "}));
    EXPECT_EQ(book.PasswordList,
              (std::vector<std::string>{"key1888888888888", "key3888888888888", "key5888888888888"}));
    EXPECT_EQ(book.DevIDList.size(), 3u);
}

TEST_F(AddressBookTest, OkChecksEveryCellAndRefusesTheLaterOfTwoEqualEntries) {
    Open({{7, "a", "+79161234567"}, {8, "b", "89161234567"}, {7, "c", ""}});
    dialogs.Expect(mtError, SameID, mrOk);
    book.OkButton->click();
    EXPECT_EQ(book.ModalResult(), mrNone);
    EXPECT_EQ(Rows()[2], "|c||Нет|");
    EXPECT_EQ(Current(), std::make_pair(0, 3));

    dialogs.Expect(mtError, SamePhone, mrOk);
    book.OkButton->click();
    EXPECT_EQ(Rows()[1], "8|b||Нет|");
    EXPECT_EQ(Current(), std::make_pair(2, 2));

    dialogs.Expect(mtError, EmptyRows, mrNo);
    book.OkButton->click();
    EXPECT_EQ(book.ModalResult(), mrNone);
    EXPECT_EQ(Current(), std::make_pair(0, 3));

    dialogs.Expect(mtError, EmptyRows, mrYes);
    book.OkButton->click();
    EXPECT_EQ(book.ModalResult(), mrOk);
    EXPECT_EQ(Rows(), (QStringList{"7|a|+79161234567|Нет|", "8|b||Нет|"}));
}

// Rows that each stand as their checks would leave them still meet the check of every other row.
TEST_F(AddressBookTest, OkRefusesAnIdTakenTwiceAmongRowsThatAreOtherwiseInOrder) {
    Open({{7, "a", ""}, {7, "b", ""}});
    dialogs.Expect(mtError, SameID, mrOk);
    book.OkButton->click();
    EXPECT_EQ(book.ModalResult(), mrNone);
    EXPECT_EQ(Rows(), (QStringList{"7|a||Нет|", "|b||Нет|"}));
}

// An ID that passes its check only once it is trimmed counts as the ID it then holds.
TEST_F(AddressBookTest, OkCountsAnIdAsItsCheckLeavesIt) {
    Open({{7, "a", ""}, {8, "b", ""}});
    for (const int row : {1, 2})
        book.ABGrid->Cells[0][row] = QStringLiteral("\t7");
    dialogs.Expect(mtError, SameID, mrOk);
    book.OkButton->click();
    EXPECT_EQ(book.ModalResult(), mrNone);
    EXPECT_EQ(Rows(), (QStringList{"|a||Нет|", "7|b||Нет|"}));
    EXPECT_EQ(Current(), std::make_pair(0, 1));
}

// OK leaves every ID as its check writes it, even when nothing else is to be said.
TEST_F(AddressBookTest, OkWritesEveryIdAsItsNumber) {
    Open({{7, "a", ""}, {8, "b", ""}});
    book.ABGrid->Cells[0][2] = QStringLiteral("$C");
    book.OkButton->click();
    EXPECT_EQ(book.ModalResult(), mrOk);
    EXPECT_EQ(Rows(), (QStringList{"7|a||Нет|", "12|b||Нет|"}));
}

TEST_F(AddressBookTest, OkWithARowWithoutIdAsksAndYesLeavesAnEmptyBook) {
    Open();
    Enter(1, 1, QStringLiteral("named"));
    dialogs.Expect(mtError, EmptyRows, mrNo);
    book.OkButton->click();
    EXPECT_EQ(book.ModalResult(), mrNone);
    EXPECT_EQ(Current(), std::make_pair(0, 1));
    dialogs.Expect(mtError, EmptyRows, mrYes);
    book.OkButton->click();
    EXPECT_EQ(book.ModalResult(), mrOk);
    EXPECT_EQ(Rows(), QStringList{"|||Нет|"});
}

TEST_F(AddressBookTest, OkWithOneEmptyRowClosesWithoutAQuestion) {
    Open();
    book.OkButton->click();
    EXPECT_EQ(book.ModalResult(), mrOk);
    EXPECT_TRUE(dialogs.Shown().empty());
}

TEST_F(AddressBookTest, ShowingFillsTheGridAndClearGridLeavesNoKeyBehind) {
    settings.SecurityMode = smManyPasswords;
    Open({{3, "Склад", "+70001112233", "key3888888888888", {0x10, -1, -1, 0x20}}});
    EXPECT_EQ(Grid()->Cell(0, 0), "ID модема");
    EXPECT_EQ(Grid()->Cell(4, 0), "Адреса устройств");
    EXPECT_EQ(Rows(), QStringList{"3|Склад|+70001112233|Есть|0010h  0020h  "});
    EXPECT_EQ(book.PasswordList, std::vector<std::string>{"key3888888888888"});
    book.ClearGrid();
    EXPECT_EQ(Rows(), QStringList{"|||Нет|"});
    EXPECT_EQ(book.PasswordList, std::vector<std::string>{Marker});
    EXPECT_EQ(book.DevIDList, (std::vector<std::array<int32_t, 4>>{NoDevices}));
}

} // namespace
