// A main window in a temporary data folder, with a fake clock, scripted message boxes and stand-ins
// for the session manager and the GSM modem window that record what the main window asks of them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <QStringList>
#include <QTimer>
#include <gtest/gtest.h>

#include "core/MainForm.h"
#include "core/PasswordEnter.h"
#include "dialogs/AddressBook.h"
#include "dialogs/ObjSettingsDialog.h"
#include "dialogs/SettingsDialog.h"
#include "gsm/ModemForm.h"
#include "platform/Clock.h"
#include "platform/ScriptedDialogs.h"
#include "sessions/ConnectionForm.h"
#include "sessions/GroupForms.h"
#include "tests/core/TempFolder.h"

class TFakeConnectionForm : public TConnectionForm {
public:
    // A constructor of its own, so that the form is not zeroed first: a member it leaves unset holds
    // the test run's fill, as in the program.
    TFakeConnectionForm() {}
    int Opens = 0;
    std::vector<bool> Closes; // the from-menu flags
    int Updates = 0;
    std::vector<int> Queries;
    int QueryResult = 2;

    void OpenPort() override { ++Opens; }
    bool ClosePort(bool fromMenu) override {
        Closes.push_back(fromMenu);
        return false;
    }
    void UpdateConnections() override { ++Updates; }
    int QueryHwInfo(int objectNumber) override {
        Queries.push_back(objectNumber);
        return QueryResult;
    }
};

class TFakeModemForm : public TModemForm {
public:
    TFakeModemForm() {}
    bool ConnectResult = false;
    int Connects = 0, Disconnects = 0;
    std::vector<TObjectStates*> Queries;
    int QueryResult = 0;

    bool Connect() override {
        ++Connects;
        return ConnectResult;
    }
    void Disconnect() override { ++Disconnects; }
    int QueryHwInfo(TObjectStates* object) override {
        Queries.push_back(object);
        return QueryResult;
    }

    // Profile writes by SMS, with the image as it was when the SMS would have been formed; the n-th
    // is answered with ProfileResults[n] (0 beyond them).
    struct TProfileWrite {
        TObjectStates* Object;
        ObjProfile Profile;
        std::uint32_t Parts;
    };
    std::vector<TProfileWrite> ProfileWrites;
    std::vector<int> ProfileResults;
    std::vector<std::pair<TObjectStates*, QString>> Calls;
    int SetCall(TObjectStates* object, const QString& phone) override {
        Calls.emplace_back(object, phone);
        return 0;
    }

    int SetProfile(TObjectStates* object, ObjProfile* profile, std::uint32_t parts) override {
        ProfileWrites.push_back({object, *profile, parts});
        return ProfileWrites.size() <= ProfileResults.size() ? ProfileResults[ProfileWrites.size() - 1] : 0;
    }
};

class TFakeObjSettingsDialog : public TObjSettingsDialog {
public:
    TFakeObjSettingsDialog() {}
    std::vector<int> Loads; // the object numbers in Tag
    void LoadButtonClick() override { Loads.push_back(Tag); }
};

class TTestMainForm : public TMainForm {
public:
    TTestMainForm() { WaitForSaves = true; }
    bool Tray = true;
    int Closed = 0;               // FormClose runs
    QStringList* Calls = nullptr; // when set, records WriteStates and UpdateAll

    void WriteStates() override {
        if (Calls)
            *Calls << "WriteStates";
        TMainForm::WriteStates();
    }
    void UpdateAll() override {
        if (Calls)
            *Calls << "UpdateAll";
        TMainForm::UpdateAll();
    }

protected:
    bool HasSystemTray() const override { return Tray; }
    void FormClose() override {
        TMainForm::FormClose();
        ++Closed;
    }
};

class MainFormTest : public ::testing::Test {
protected:
    MainFormTest();
    ~MainFormTest() override;

    // Makes the main window (after the test has prepared the data folder) and shows it.
    void Start();
    // Ends the program through its menu and starts it again on the same data folder.
    void Restart();
    // Pumps the event loop until the main window has closed for good.
    bool WaitForExit();

    std::string DataFolder() const; // the program's data folder, with its trailing '/'
    std::string DataFile(const char* name) const { return DataFolder() + name; }
    // The log's lines without their time stamps.
    QStringList LogLines() const;
    // "EventLog.txt" with the lines that wait for the end of the loop's turn.
    std::string LogText() const;
    // Appends an object to the list and shows the list in the grid.
    TObjectStates* AddObject(int number, const char* name);
    // Cancels the password prompt whenever it is open.
    void CancelPrompts();
    TDateTime SecondsAgo(double seconds) const { return Now() - seconds / 86400.0; }

    TTempFolder data, runtime;
    std::unique_ptr<TFakeClock> clock;
    std::unique_ptr<TScriptedDialogs> dialogs;
    std::unique_ptr<TSettingsDialog> settings;
    std::unique_ptr<TPasswordEnter> prompt;
    std::unique_ptr<TFakeConnectionForm> connection;
    std::unique_ptr<TFakeModemForm> modem;
    std::unique_ptr<TAddrBook> addressBook;
    std::unique_ptr<TGroupsDialog> groups;
    std::unique_ptr<TFakeObjSettingsDialog> profile;
    std::unique_ptr<TTestMainForm> form;
    QTimer promptCanceller;
};
