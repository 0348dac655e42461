#include "app/FormSet.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>

#include <gtest/gtest.h>

#include "core/MainForm.h"
#include "core/ObjectRegistry.h"
#include "core/PasswordEnter.h"
#include "core/Settings.h"
#include "dialogs/AddressBook.h"
#include "dialogs/SettingsDialog.h"
#include "gsm/ModemForm.h"
#include "platform/Registry.h"
#include "platform/ScriptedDialogs.h"
#include "serial/TapiBinding.h"
#include "serial/TapiDevice.h"
#include "sessions/GroupForms.h"
#include "tests/platform/TestSupport.h"

namespace {

class FormSetTest : public ::testing::Test {
protected:
    FormSetTest() {
        folder = std::filesystem::temp_directory_path() / ("router-app-" + std::to_string(::getpid()));
        std::filesystem::create_directories(folder);
        ::setenv("XDG_DATA_HOME", folder.c_str(), 1);
        ::setenv("XDG_RUNTIME_DIR", folder.c_str(), 1);
    }
    ~FormSetTest() override {
        ::unsetenv("XDG_DATA_HOME");
        ::unsetenv("XDG_RUNTIME_DIR");
        std::filesystem::remove_all(folder);
    }
    std::filesystem::path folder;
};

TEST_F(FormSetTest, TwentyFormsAreMadeInTheirOrderAndDestroyedInReverse) {
    const QStringList expected = {
        "MainForm",       "ConnectionForm",      "PasswordEnter", "Form6",           "Form2",
        "SettingsDialog", "PasswordEnterDialog", "AboutBox",      "AlarmEditDialog", "AddrBook",
        "PasswordUpdate", "ObjSettingsDialog",   "Form9",         "ModemForm",       "TESMSReqForm",
        "BKSMSReqForm",   "GroupsDialog",        "RenameForm",    "SelectBaseForm",  "EnterDevIDs"};
    QStringList destroyed;
    {
        TFormSet forms;
        forms.CreateForms();
        QStringList created;
        for (QWidget* form : forms.Forms()) {
            created << form->objectName();
            QObject::connect(form, &QObject::destroyed,
                             [&destroyed, name = form->objectName()] { destroyed << name; });
        }
        EXPECT_EQ(created, expected);
        EXPECT_NE(MainForm, nullptr);
        EXPECT_NE(AppSettings, nullptr); // made by the settings dialog
        EXPECT_NE(EnterDevIDs, nullptr);
        EXPECT_EQ(MainForm->windowTitle(), "Маршрутизатор");
    }
    QStringList reversed(expected.rbegin(), expected.rend());
    EXPECT_EQ(destroyed, reversed);
    EXPECT_EQ(MainForm, nullptr);
    EXPECT_EQ(AppSettings, nullptr);
    EXPECT_EQ(PasswordEnter, nullptr);
    EXPECT_EQ(GroupsDialog, nullptr);
    EXPECT_EQ(ModemForm, nullptr);
}

TEST_F(FormSetTest, WithNoTelephonyLinesStartUpAndExitAreQuickAndQuiet) {
    ASSERT_FALSE(std::filesystem::exists(folder / "tapi"));
    TScriptedDialogs dialogs(FailTest); // any box fails the test
    const auto values = [] {
        TRegistry registry;
        return registry.OpenKey(QString::fromLatin1(TapiRegistryKey), false) ? registry.GetValueNames()
                                                                             : QStringList();
    };
    testing::internal::CaptureStderr();
    const auto start = std::chrono::steady_clock::now();
    {
        TFormSet forms;
        forms.CreateForms();
        const TSioTapiDevice* device = SettingsDialog->SioTapiDevice1.get();
        ASSERT_NE(device, nullptr);
        EXPECT_NE(device->LineApp(), 0u); // registered, with nothing to list
        EXPECT_TRUE(device->TapiDevices().empty());
        EXPECT_EQ(values(), QStringList{QString::fromLatin1(TapiRegistryValueName())});
        EXPECT_NE(TapiModule, 0u); // loaded by the settings dialog's line device
    }
    EXPECT_EQ(TapiModule, 0u); // let go after the forms, at the program's end
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_LT(elapsed, std::chrono::seconds(2)); // no re-initialisation wait, which alone takes 5 s
    EXPECT_TRUE(dialogs.Shown().empty());
    EXPECT_EQ(values(), QStringList()); // the registration ended at exit
}

} // namespace
