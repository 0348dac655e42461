// The address book (the objects, their phone numbers, keys and device addresses) and its small dialog
// for the device addresses of one row.
//
// The book edits a copy of the object list: FormShow fills the grid from ObjectList while access is
// granted; on mrOk the main window rebuilds its objects from the grid and the two per-row lists, and
// calls ClearGrid whatever the result, so that no key stays in the grid. IDs and phone numbers are
// checked as the operator leaves their cell, and all of them again on OK: an ID is an integer 0 to
// 65535 that no other row has, a phone number at most 21 characters whose last ten characters (all
// of a shorter one) no other row's number ends in, since incoming SMS find their object by those.
// A cell that fails is emptied after its message. Text that Windows-1251 cannot hold is refused as
// typed.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/Forms.h"
#include "platform/StringGrid.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QToolBar;
class QToolButton;

class TAddrBook : public TForm {
public:
    explicit TAddrBook(QWidget* owner = nullptr);

    // Columns: 0 ID, 1 name, 2 phone, 3 whether the row has a key, 4 device addresses; row 0 the
    // headers. Columns 3 and 4 are never edited in place.
    TStringGrid* ABGrid = nullptr;
    QToolBar* ToolBar1 = nullptr;
    QToolButton *ToolButton1 = nullptr, *ToolButton3 = nullptr, *ToolButton4 = nullptr,
                *ToolButton5 = nullptr, *ToolButton7 = nullptr, *ToolButton9 = nullptr,
                *ToolButton11 = nullptr;
    QPushButton* OkButton = nullptr;   // "ОК"
    QPushButton* ButtonOK = nullptr;   // "Отмена"
    QComboBox* TypeComboBox = nullptr; // the modem models; hidden, nothing stores a choice

    // Entry r - 1 belongs to data row r.
    std::vector<std::string> PasswordList;              // 16 Windows-1251 bytes each
    std::vector<std::array<std::int32_t, 4>> DevIDList; // -1 for an empty slot

    // One empty row with the marker key and no device addresses.
    void ClearGrid();
    void FillFromObjects();
    void ShowPasswordColumn();
    void ShowDeviceColumn();
    // Checks the current cell as leaving it does; false (the focus back on the grid) when it failed.
    bool CheckStringGrid();
    bool IDIsOK(int row);
    bool PhoneIsOK(int row);
    void SortByID();
    bool CheckEmptyRows();
    void DeleteEmptyRows();

    void ToolButton1Click();  // add a row
    void ToolButton3Click();  // first row
    void ToolButton4Click();  // last row
    void ToolButton5Click();  // sort by ID
    void ToolButton7Click();  // delete the row
    void ToolButton9Click();  // the row's key
    void ToolButton11Click(); // the row's device addresses
    void OkButtonClick();

protected:
    void FormShow() override;

private:
    void CreateToolBar();
    void CreateGrid();
    void ResizeColumns();
    // The lists follow RowCount: new entries hold the marker key and four -1. False when memory ran
    // out; the book and the program are then closing.
    bool ResizeLists();
    void ShowPasswordCell(int row);
    void ShowDeviceCell(int row);
    void EmptyRow(int row);
    // Data row r takes the cells and list entries of row from[r - 1], for every data row.
    void ArrangeRows(const std::vector<int>& from);
    // The row with its list entries; false (nothing changed) for the grid's last data row.
    bool DeleteRow(int row);
    // The checks with the test whether another row holds the ID or the phone key.
    bool IDIsOK(int row, const std::function<bool(std::int32_t)>& taken);
    bool PhoneIsOK(int row, const std::function<bool(const std::string&)>& taken);
    // Whether a data row other than row has a cell in column col that match accepts.
    bool OtherRowHas(int col, int row, const std::function<bool(const QString&)>& match) const;
    // No error: true. Otherwise the error is shown and the cell emptied: false.
    bool Verdict(int col, int row, const QString& error);
    // Checks every ID and phone cell; on a failure selects the cell and gives false.
    bool AllCellsOK();
    void ABGridSelectCell(int col, int row, bool& canSelect);
    void ABGridDblClick();

    bool checking_ = false; // a check (its message boxes included) is running
};

class TEnterDevIDs : public TForm {
public:
    explicit TEnterDevIDs(QWidget* owner = nullptr);

    QLabel* IDLabel = nullptr; // set by the caller
    QLabel* Label5 = nullptr;
    QLineEdit *ID1Edit = nullptr, *ID2Edit = nullptr, *ID3Edit = nullptr,
              *ID4Edit = nullptr; // Tag 0 to 3 in the property "Tag"
    QPushButton *ButtonOK = nullptr, *ButtonCancel = nullptr;

    // In and out; -1 for an empty slot.
    std::array<std::int32_t, 4> DevIDs{-1, -1, -1, -1};

    // Whether a key typed into an address edit is kept: hexadecimal digits and Backspace.
    static bool IDEditKeyPress(QChar key);
    void IDEditExit(QLineEdit* edit);

protected:
    void FormShow() override;
    void FormClose() override;

private:
    std::array<QLineEdit*, 4> Edits() const { return {ID1Edit, ID2Edit, ID3Edit, ID4Edit}; }
};

extern TAddrBook* AddrBook;
extern TEnterDevIDs* EnterDevIDs;
