// The object list and its look-ups, its rebuilding from the address book, the key table that the link
// layer authenticates with, and the access check that guards the configuration dialogs.
//
// The main window owns the list and calls these from its members of the same names. Main thread only:
// the session code reads the list and the key table from socket events on the same thread. The key
// table points into the objects' passwords, so every rebuild of the list is followed by PrepareKeys
// before anything else can run.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/ObjectStates.h"
#include "core/RecordFields.h"
#include "core/Settings.h"
#include "protocol/tmgsm.h"

// Every object, in address-book order after a rebuild or file order after a read; owns them.
extern TObjectList ObjectList;
// Shown in the object panel while the list is empty; the main window's constructor creates it.
extern std::unique_ptr<TObjectStates> EmptyObject;
extern AuthKeys AuthKeyTable;
// The result of the last access check; whoever acted on it clears it when done.
extern bool AccessGranted;

// The first object in list order with that number, modem ID or phone number; null when there is none.
TObjectStates* FindObjectByNum(int32_t objectNumber);
TObjectStates* FindObjectByID(int32_t modemID);
// text: the last ten characters of an SMS sender's number, compared with each stored phone's PhoneKey;
// an empty text finds nothing.
TObjectStates* FindObjectByPhone(std::string_view text);
// What the phone look-up compares of a number: its last ten characters, all of a shorter one.
std::string_view PhoneKey(std::string_view phone);

// One data row of the address book: the cells of its ID, name and phone columns (Windows-1251) and
// its entries of the key and device-address lists.
struct TAddressBookRow {
    std::string ID;
    std::string Name;
    std::string Phone;
    TPassword Password = MakePassword(NoPassword);
    std::array<int32_t, 4> DevIDs{-1, -1, -1, -1};
};

// The framework's string-to-integer test: blanks in front, a sign, decimal digits or '$' / "0x" and
// hexadecimal digits, nothing after them, within 32 bits.
bool TryStrToInt(std::string_view text, int32_t& value);

// Rebuilds ObjectList from the address book's data rows (rows 1 to RowCount - 1). A row whose ID is
// that of an object of the old list takes that object over with its connection state, inputs and
// buffered data; the objects of rows that are gone are destroyed. False when memory ran out on the
// way; the rows handled so far form the list then.
bool BuildObjectStates(const std::vector<TAddressBookRow>& rows);

// Refills AuthKeyTable for the security mode of settings; logs through printMessage.
void PrepareKeys(const TSettings& settings, const std::function<void(const std::string&)>& printMessage);

// The modal password prompt: caption and info in UTF-8; true on OK with the entered password
// (16 Windows-1251 bytes).
using TPasswordPrompt =
    std::function<bool(const std::string& caption, const std::string& info, std::string& password)>;

// Sets AccessGranted for the security mode of settings, asking for the settings password (mode 1) or
// systemPassword (modes 2 to 4) unless that is the no-password marker. A wrong entry is reported with
// "Неверный пароль!" through the dialog service; Cancel shows nothing.
void CheckPassword(const TSettings& settings, const std::string& systemPassword,
                   const TPasswordPrompt& enterPassword);
