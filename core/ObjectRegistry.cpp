#include "core/ObjectRegistry.h"

#include <algorithm>
#include <cassert>
#include <climits>
#include <new>

#include "platform/Dialogs.h"

TObjectList ObjectList;
std::unique_ptr<TObjectStates> EmptyObject;
AuthKeys AuthKeyTable{};
bool AccessGranted = false;

namespace {

constexpr std::size_t PhoneDigits = 10;
constexpr int32_t NotAnInteger = INT32_MIN;

const TObjectList& Objects() {
    return ObjectList;
}

template <class Match> TObjectStates* FindFirst(Match match) {
    const auto it = std::find_if(Objects().begin(), Objects().end(),
                                 [&](const std::unique_ptr<TObjectStates>& obj) { return match(*obj); });
    return it == Objects().end() ? nullptr : it->get();
}

// The router looks objects up for every frame and every routed block, so from the list's indexes.
TObjectStates* Indexed(int which, int32_t key, [[maybe_unused]] auto match) {
    TObjectStates* obj = Objects().First(which, key);
    assert(obj == FindFirst(match)); // the test build checks every answer against the walk
    return obj;
}

int DigitValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return 99;
}

// Takes the row's object out of the old list, or makes a new one.
std::unique_ptr<TObjectStates> ObjectForRow(TObjectList& old, int32_t id) {
    const std::size_t at = old.Find(TObjectKeys::Number, id);
    return at == TObjectList::npos ? std::make_unique<TObjectStates>() : std::move(old[at]);
}

// The address book has no model column, so a reused object keeps the IsBKModel it was stored with.
void TakeRow(TObjectStates& obj, const TAddressBookRow& row, int32_t id) {
    obj.ObjectNumber = id;
    obj.ModemID = id;
    obj.Name = row.Name;
    obj.Phone = row.Phone;
    obj.Password = row.Password;
    obj.DevIDs = row.DevIDs;
}

} // namespace

TObjectStates* FindObjectByNum(int32_t objectNumber) {
    return Indexed(TObjectKeys::Number, objectNumber,
                   [&](const TObjectStates& obj) { return obj.ObjectNumber == objectNumber; });
}

TObjectStates* FindObjectByID(int32_t modemID) {
    return Indexed(TObjectKeys::ModemID, modemID,
                   [&](const TObjectStates& obj) { return obj.ModemID == modemID; });
}

TObjectStates* FindObjectByPhone(std::string_view text) {
    if (text.empty())
        return nullptr; // would find the first object without a phone number
    return FindFirst([&](const TObjectStates& obj) { return PhoneKey(obj.Phone) == text; });
}

std::string_view PhoneKey(std::string_view phone) {
    return phone.substr(phone.size() > PhoneDigits ? phone.size() - PhoneDigits : 0);
}

bool TryStrToInt(std::string_view text, int32_t& value) {
    std::size_t i = text.find_first_not_of(' ');
    if (i == std::string_view::npos)
        return false;
    const bool negative = text[i] == '-';
    if (text[i] == '-' || text[i] == '+')
        ++i;
    int base = 10;
    if (i < text.size() && text[i] == '$') {
        base = 16;
        ++i;
    } else if (text.substr(i, 2) == "0x" || text.substr(i, 2) == "0X") {
        base = 16;
        i += 2;
    }
    if (i == text.size())
        return false;
    int64_t magnitude = 0;
    for (; i < text.size(); ++i) {
        const int digit = DigitValue(text[i]);
        if (digit >= base)
            return false;
        magnitude = magnitude * base + digit;
        if (magnitude > int64_t(INT32_MAX) + 1)
            return false;
    }
    const int64_t result = negative ? -magnitude : magnitude;
    if (result > INT32_MAX)
        return false;
    value = int32_t(result);
    return true;
}

bool BuildObjectStates(const std::vector<TAddressBookRow>& rows) {
    TObjectList old = std::move(ObjectList);
    ObjectList.clear();
    int32_t firstId = 0;
    const bool empty = rows.empty() || (rows.size() < 2 && !TryStrToInt(rows[0].ID, firstId));
    bool complete = true;
    try {
        if (!empty) {
            ObjectList.reserve(rows.size());
            for (const TAddressBookRow& row : rows) {
                int32_t id = NotAnInteger;
                if (!TryStrToInt(row.ID, id))
                    id = NotAnInteger;
                std::unique_ptr<TObjectStates> obj = ObjectForRow(old, id);
                TakeRow(*obj, row, id);
                ObjectList.push_back(std::move(obj));
            }
        }
    } catch (const std::bad_alloc&) {
        complete = false;
    }
    return complete; // the objects still in the old list go with it
}

void PrepareKeys(const TSettings& settings, const std::function<void(const std::string&)>& printMessage) {
    TMGSM_AuthKeysInit(&AuthKeyTable);
    if (printMessage)
        printMessage("CH: TMGSM_AuthKeysInit OK");
    switch (settings.SecurityMode) {
    case smSettingsAndObjects:
    case smOnePassword:
        std::copy(settings.Password.begin(), settings.Password.end(), AuthKeyTable.SystemKey);
        break;
    case smManyPasswords: {
        const std::size_t count = std::min<std::size_t>(ObjectList.size(), AUTH_MAX_LISTED);
        AuthKeyTable.Count = uint16_t(count);
        for (std::size_t i = 0; i < count; ++i) {
            AuthKeyTable.Ids[i] = uint16_t(ObjectList[i]->ModemID);
            AuthKeyTable.Keys[i] = reinterpret_cast<const uint8_t*>(ObjectList[i]->Password.data());
        }
        break;
    }
    default:
        break; // every modem is tried with the factory key only
    }
}

void CheckPassword(const TSettings& settings, const std::string& systemPassword,
                   const TPasswordPrompt& enterPassword) {
    AccessGranted = false;
    if (settings.SecurityMode == smNone) {
        AccessGranted = true;
        return;
    }
    const bool settingsOnly = settings.SecurityMode == smSettingsOnly;
    const std::string expected = settingsOnly ? PasswordText(settings.Password) : systemPassword;
    if (expected == NoPassword) {
        AccessGranted = true;
        return;
    }
    const std::string caption = settingsOnly ? "Запрос пароля" : "Запрос системного пароля";
    const std::string info =
        settingsOnly ? "Введите пароль для доступа к настройкам" : "Введите системный пароль";
    std::string entered;
    if (!enterPassword || !enterPassword(caption, info, entered))
        return;
    AccessGranted = entered == expected;
    if (!AccessGranted)
        MessageDlg(QStringLiteral("Неверный пароль!"), mtError, mbOK);
}
