#include <gtest/gtest.h>

#include <cstring>

#include "core/ObjectRegistry.h"
#include "platform/Cp1251.h"
#include "platform/ScriptedDialogs.h"

namespace {

const std::string Marker(NoPassword);

class RegistryTest : public ::testing::Test {
protected:
    ~RegistryTest() override {
        ObjectList.clear();
        AuthKeyTable = {};
        AccessGranted = false;
    }

    // Objects in list order, each with number and modem ID id and the phone given.
    static void MakeObjects(const std::vector<std::pair<int32_t, std::string>>& objects) {
        ObjectList.clear();
        for (const auto& [id, phone] : objects) {
            auto obj = std::make_unique<TObjectStates>();
            obj->ObjectNumber = obj->ModemID = id;
            obj->Phone = phone;
            ObjectList.push_back(std::move(obj));
        }
    }

    static TAddressBookRow Row(std::string id, std::string name = "", std::string phone = "") {
        TAddressBookRow row;
        row.ID = std::move(id);
        row.Name = std::move(name);
        row.Phone = std::move(phone);
        return row;
    }
};

TEST_F(RegistryTest, LookUpsByNumberAndModemIdFindTheFirstInListOrder) {
    MakeObjects({{5, ""}, {7, ""}, {5, ""}, {0, ""}});
    ObjectList[1]->ModemID = 70; // number and modem ID differ for once
    EXPECT_EQ(FindObjectByNum(5), ObjectList[0].get());
    EXPECT_EQ(FindObjectByNum(7), ObjectList[1].get());
    EXPECT_EQ(FindObjectByNum(0), ObjectList[3].get());
    EXPECT_EQ(FindObjectByNum(-1), nullptr); // a connection not bound yet
    EXPECT_EQ(FindObjectByNum(70), nullptr);
    EXPECT_EQ(FindObjectByID(5), ObjectList[0].get());
    EXPECT_EQ(FindObjectByID(70), ObjectList[1].get());
    EXPECT_EQ(FindObjectByID(7), nullptr);
    ObjectList.clear();
    EXPECT_EQ(FindObjectByNum(5), nullptr);
    EXPECT_EQ(FindObjectByID(5), nullptr);
}

// The look-ups answer from an index of the list: every way the list changes shows in their answers.
TEST_F(RegistryTest, LookUpsFollowEveryChangeOfTheList) {
    const auto object = [](int32_t number, int32_t id) {
        auto obj = std::make_unique<TObjectStates>();
        obj->ObjectNumber = number;
        obj->ModemID = id;
        return obj;
    };
    MakeObjects({{5, ""}, {7, ""}});
    const TObjectStates* five = FindObjectByNum(5);
    ASSERT_EQ(five, ObjectList[0].get());

    ObjectList.push_back(object(5, 5));
    const TObjectStates* laterFive = ObjectList.back().get();
    EXPECT_EQ(FindObjectByNum(5), five) << "a later duplicate does not take over";
    EXPECT_EQ(FindObjectByID(5), five);

    ObjectList.erase(ObjectList.begin());
    EXPECT_EQ(FindObjectByNum(5), laterFive);
    EXPECT_EQ(FindObjectByID(5), laterFive);

    ObjectList[0]->ObjectNumber = 9; // renumbered through the list
    EXPECT_EQ(FindObjectByNum(7), nullptr);
    EXPECT_EQ(FindObjectByNum(9), ObjectList[0].get());
    EXPECT_EQ(FindObjectByID(7), ObjectList[0].get());

    ObjectList[1] = object(4, 40); // replaced in place
    EXPECT_EQ(FindObjectByNum(5), nullptr);
    EXPECT_EQ(FindObjectByID(40), ObjectList[1].get());

    // As many new objects as before, in the same storage.
    ObjectList.clear();
    ObjectList.push_back(object(1, 11));
    ObjectList.push_back(object(2, 12));
    EXPECT_EQ(FindObjectByNum(9), nullptr);
    EXPECT_EQ(FindObjectByNum(2), ObjectList[1].get());
    EXPECT_EQ(FindObjectByID(11), ObjectList[0].get());

    ASSERT_TRUE(BuildObjectStates({Row("3"), Row("2"), Row("3")}));
    EXPECT_EQ(FindObjectByNum(3), ObjectList[0].get());
    EXPECT_EQ(FindObjectByID(2), ObjectList[1].get());
    EXPECT_EQ(FindObjectByNum(1), nullptr);
}

TEST_F(RegistryTest, LookUpByPhoneComparesTheLastTenCharacters) {
    struct Case {
        std::string stored, text;
        bool found;
    };
    const Case cases[] = {
        {"+79161234567", "9161234567", true}, // international prefix
        {"89161234567", "9161234567", true},  // national trunk digit
        {"9161234567", "9161234567", true},
        {"916123456", "916123456", true}, // shorter numbers compare whole
        {"916123456", "9161234567", false},
        {"916123456", "0916123456", false},
        {"+79161234567", "7916123456", false},
        {"+79161234567", "+79161234567", false}, // the text is only ever the last ten
        {"", "", false},
    };
    for (const Case& c : cases) {
        MakeObjects({{1, "0000000000"}, {2, c.stored}, {3, c.stored}});
        EXPECT_EQ(FindObjectByPhone(c.text), c.found ? ObjectList[1].get() : nullptr)
            << c.stored << " / " << c.text;
    }
}

TEST_F(RegistryTest, StringToIntegerAsTheFramework) {
    struct Case {
        const char* text;
        bool ok;
        int32_t value;
    };
    const Case cases[] = {
        {"12", true, 12},
        {"  12", true, 12},
        {"-7", true, -7},
        {"+7", true, 7},
        {"$FF", true, 255},
        {"0x1a", true, 26},
        {"2147483647", true, INT32_MAX},
        {"-2147483648", true, INT32_MIN},
        {"2147483648", false, 0},
        {"", false, 0},
        {" ", false, 0},
        {"12a", false, 0},
        {"12 ", false, 0},
        {"-", false, 0},
        {"$", false, 0},
        {"99999999999999999999", false, 0},
    };
    for (const Case& c : cases) {
        int32_t value = 0;
        EXPECT_EQ(TryStrToInt(c.text, value), c.ok) << '"' << c.text << '"';
        if (c.ok) {
            EXPECT_EQ(value, c.value) << c.text;
        }
    }
}

TEST_F(RegistryTest, AddressBookWithOnlyAnEmptyOrNonNumericRowGivesAnEmptyList) {
    for (const char* id : {"", "abc", " "}) {
        MakeObjects({{1, ""}, {2, ""}});
        EXPECT_TRUE(BuildObjectStates({Row(id, "name", "123")})) << id;
        EXPECT_TRUE(ObjectList.empty()) << id;
    }
    EXPECT_TRUE(BuildObjectStates({}));
    EXPECT_TRUE(ObjectList.empty());
}

TEST_F(RegistryTest, RebuildTakesTheRowsAndKeepsTheStateOfUnchangedObjects) {
    MakeObjects({{10, ""}, {20, ""}, {30, ""}});
    TObjectStates* kept = ObjectList[2].get();
    kept->Connected = 1;
    kept->InputStates = {1, 0, 1, 1};
    kept->HwVersion = {21, 3, 0, 1};
    kept->IsBKModel = 1;
    const uint8_t data[] = {1, 2, 3};
    ASSERT_EQ(AppBuf_Push(kept->AppBuf.get(), data, sizeof data), 3u);
    const ::AppBuf* keptBuffer = kept->AppBuf.get();

    TAddressBookRow first = Row("30", ToCp1251(QStringLiteral("Склад")), "+79161234567");
    first.Password = MakePassword("key-of-30");
    first.DevIDs = {1, -1, 0xABCD, -1};
    ASSERT_TRUE(BuildObjectStates({first, Row("40", "new", ""), Row("x", "no id", "")}));

    ASSERT_EQ(ObjectList.size(), 3u);
    EXPECT_EQ(ObjectList[0].get(), kept); // row 20 and row 10 are gone with their objects
    EXPECT_EQ(kept->ObjectNumber, 30);
    EXPECT_EQ(kept->ModemID, 30);
    EXPECT_EQ(kept->Name, ToCp1251(QStringLiteral("Склад")));
    EXPECT_EQ(kept->Phone, "+79161234567");
    EXPECT_EQ(PasswordText(kept->Password), "key-of-308888888");
    EXPECT_EQ(kept->DevIDs, (std::array<int32_t, 4>{1, -1, 0xABCD, -1}));
    EXPECT_EQ(kept->Connected, 1);
    EXPECT_EQ(kept->InputStates, (std::array<int32_t, 4>{1, 0, 1, 1}));
    EXPECT_EQ(kept->HwVersion, (std::array<uint8_t, 4>{21, 3, 0, 1}));
    EXPECT_EQ(kept->IsBKModel, 1);
    EXPECT_EQ(kept->AppBuf.get(), keptBuffer);
    TObjectStates fresh;
    AppBufState state{}, freshState{};
    AppBuf_GetState(kept->AppBuf.get(), &state);
    AppBuf_GetState(fresh.AppBuf.get(), &freshState);
    EXPECT_EQ(state.TxFree + 3, freshState.TxFree); // the buffered data is still there

    const TObjectStates& added = *ObjectList[1];
    EXPECT_EQ(added.ObjectNumber, 40);
    EXPECT_EQ(added.Connected, 0);
    EXPECT_EQ(PasswordText(added.Password), Marker);
    EXPECT_EQ(ObjectList[2]->ObjectNumber, INT32_MIN);
    EXPECT_EQ(ObjectList[2]->ModemID, INT32_MIN);
}

TEST_F(RegistryTest, TwoRowsWithTheSameIdGiveTwoObjectsAndTheFirstKeepsTheOldOne) {
    MakeObjects({{8, ""}});
    TObjectStates* old = ObjectList[0].get();
    old->Connected = 1;
    ASSERT_TRUE(BuildObjectStates({Row("8", "a"), Row("8", "b")}));
    ASSERT_EQ(ObjectList.size(), 2u);
    EXPECT_EQ(ObjectList[0].get(), old);
    EXPECT_EQ(ObjectList[0]->Name, "a");
    EXPECT_EQ(ObjectList[1]->Name, "b");
    EXPECT_EQ(ObjectList[1]->Connected, 0);
    EXPECT_EQ(FindObjectByID(8), old);
}

std::string KeyText(const uint8_t* key) {
    return std::string(reinterpret_cast<const char*>(key), AUTH_KEY_SIZE);
}

TEST_F(RegistryTest, KeyTableForEachSecurityMode) {
    const std::string factory = KeyText(Auth_FactoryKey);
    struct Case {
        int32_t mode;
        std::string systemKey;
        int count;
    };
    const Case cases[] = {
        {smNone, factory, 0},
        {smSettingsOnly, factory, 0},
        {smSettingsAndObjects, "SettingsPass8888", 0},
        {smOnePassword, "SettingsPass8888", 0},
        {smManyPasswords, factory, 3},
    };
    for (const Case& c : cases) {
        MakeObjects({{1, ""}, {2, ""}, {70000, ""}});
        ObjectList[0]->Password = MakePassword("first");
        TSettings settings;
        settings.SecurityMode = c.mode;
        settings.Password = MakePassword("SettingsPass");
        std::vector<std::string> log;
        AuthKeyTable.Count = 99; // whatever the table held is cleared first
        PrepareKeys(settings, [&](const std::string& line) { log.push_back(line); });

        EXPECT_EQ(log, std::vector<std::string>{"CH: TMGSM_AuthKeysInit OK"});
        EXPECT_EQ(KeyText(AuthKeyTable.SystemKey), c.systemKey) << "mode " << c.mode;
        ASSERT_EQ(AuthKeyTable.Count, c.count) << "mode " << c.mode;
        for (int i = 0; i < c.count; ++i) {
            EXPECT_EQ(AuthKeyTable.Ids[i], uint16_t(ObjectList[i]->ModemID));
            // the object's own key, not a copy
            EXPECT_EQ(AuthKeyTable.Keys[i], reinterpret_cast<const uint8_t*>(ObjectList[i]->Password.data()));
        }
        if (c.count) {
            EXPECT_EQ(AuthKeyTable.Ids[2], 70000 & 0xFFFF);
            EXPECT_EQ(KeyText(AuthKeyTable.Keys[0]), "first88888888888");
        }
        EXPECT_EQ(AuthKeyTable.Keys[c.count], nullptr);
    }
}

TEST_F(RegistryTest, InModeFourOnlyTheFirst256ObjectsAreListed) {
    std::vector<std::pair<int32_t, std::string>> objects;
    for (int id = 0; id < 300; ++id)
        objects.emplace_back(1000 + id, "");
    MakeObjects(objects);
    TSettings settings;
    settings.SecurityMode = smManyPasswords;
    PrepareKeys(settings, nullptr);
    ASSERT_EQ(AuthKeyTable.Count, AUTH_MAX_LISTED);
    EXPECT_EQ(AuthKeyTable.Ids[255], 1255);
    EXPECT_EQ(AuthKeyTable.Keys[255], reinterpret_cast<const uint8_t*>(ObjectList[255]->Password.data()));
}

struct TPromptCall {
    std::string caption, info;
};

TEST_F(RegistryTest, AccessCheckForEachSecurityMode) {
    const std::string wrong = "wrong88888888888";
    struct Case {
        int32_t mode;
        std::string settingsPassword, systemPassword;
        bool prompted;          // the prompt is shown
        bool ok;                // the operator presses OK (else Cancel)
        std::string entered;    // what the prompt returns on OK
        bool granted, errorBox; // "Неверный пароль!"
    };
    const std::string set = "Secret8888888888";
    const Case cases[] = {
        {smNone, set, set, false, false, "", true, false},
        {smSettingsOnly, Marker, set, false, false, "", true, false},
        {smSettingsOnly, set, Marker, true, true, set, true, false},
        {smSettingsOnly, set, Marker, true, true, wrong, false, true},
        {smSettingsOnly, set, Marker, true, false, "", false, false},
        {smSettingsAndObjects, set, Marker, false, false, "", true, false},
        {smSettingsAndObjects, Marker, set, true, true, set, true, false},
        {smOnePassword, Marker, set, true, false, "", false, false},
        {smOnePassword, set, set, true, true, Marker, false, true},
        {smManyPasswords, Marker, set, true, true, set, true, false},
        {smManyPasswords, set, set, true, true, wrong, false, true},
    };
    for (const Case& c : cases) {
        TScriptedDialogs dialogs([](const std::string& message) { ADD_FAILURE() << message; });
        if (c.errorBox)
            dialogs.Expect(mtError, QStringLiteral("Неверный пароль!"), mrOk);
        TSettings settings;
        settings.SecurityMode = c.mode;
        settings.Password = MakePassword(c.settingsPassword);
        std::vector<TPromptCall> prompts;
        AccessGranted = !c.granted;
        CheckPassword(settings, c.systemPassword,
                      [&](const std::string& caption, const std::string& info, std::string& password) {
                          prompts.push_back({caption, info});
                          password = c.entered;
                          return c.ok;
                      });
        const std::string what = "mode " + std::to_string(c.mode) + ", entered " + c.entered;
        EXPECT_EQ(AccessGranted, c.granted) << what;
        EXPECT_EQ(dialogs.Shown().size(), c.errorBox ? 1u : 0u) << what;
        ASSERT_EQ(prompts.size(), c.prompted ? 1u : 0u) << what;
        if (!c.prompted)
            continue;
        const bool settingsOnly = c.mode == smSettingsOnly;
        EXPECT_EQ(prompts[0].caption, settingsOnly ? "Запрос пароля" : "Запрос системного пароля");
        EXPECT_EQ(prompts[0].info,
                  settingsOnly ? "Введите пароль для доступа к настройкам" : "Введите системный пароль");
    }
}

} // namespace
