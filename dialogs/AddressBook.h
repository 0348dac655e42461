// The address book (the objects, their phone numbers, passwords and device addresses) and its small
// dialog for the device addresses of one row.
//
// Minimal for now: the grid and the per-row lists exist with their columns, nothing fills them, and
// the window closes with Cancel only, so the object list is never rebuilt through it.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/Forms.h"
#include "platform/StringGrid.h"

class TAddrBook : public TForm {
public:
    explicit TAddrBook(QWidget* owner = nullptr);

    // Columns: 0 ID, 1 name, 2 phone, 3 password state, 4 device addresses; row 0 the headers.
    TStringGrid* ABGrid;
    std::vector<std::string> PasswordList;              // per row, 16 Windows-1251 bytes
    std::vector<std::array<std::int32_t, 4>> DevIDList; // per row

    // Empties the grid and the lists after the window was used.
    void ClearGrid();
};

class TEnterDevIDs : public TForm {
public:
    explicit TEnterDevIDs(QWidget* owner = nullptr);
};

extern TAddrBook* AddrBook;
extern TEnterDevIDs* EnterDevIDs;
