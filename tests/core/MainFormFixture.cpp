#include "tests/core/MainFormFixture.h"

#include <cstdlib>

#include "core/DataFolder.h"
#include "core/EventLog.h"
#include "core/ObjectRegistry.h"
#include "core/StateFile.h"
#include "platform/Cp1251.h"
#include "tests/core/EventLogLines.h"
#include "tests/platform/TestSupport.h"

namespace {

void ResetGlobals() {
    FirstShow = true;
    Shown = false;
    ModemDisconnectRequested = false;
    FirstRun = false;
    StatesNotLoaded = true;
    SystemPassword = std::string(NoPassword);
    AppDataFolder.clear();
    CompanyDataFolder.clear();
    StatesFileName.clear();
    MutexHandle.reset();
    ModemState = msClosed;
    SmsSendPending = false;
    AccessGranted = false;
    ObjectList.clear();
}

} // namespace

MainFormTest::MainFormTest() {
    ::setenv("XDG_DATA_HOME", data.Path().c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", runtime.Path().c_str(), 1);
    ResetGlobals();
    clock = std::make_unique<TFakeClock>();
    dialogs = std::make_unique<TScriptedDialogs>(FailTest);
    settings = std::make_unique<TSettingsDialog>();
    SettingsDialog = settings.get();
    prompt = std::make_unique<TPasswordEnter>();
    PasswordEnter = prompt.get();
    connection = std::make_unique<TFakeConnectionForm>();
    ConnectionForm = connection.get();
    modem = std::make_unique<TFakeModemForm>();
    ModemForm = modem.get();
    addressBook = std::make_unique<TAddrBook>();
    AddrBook = addressBook.get();
    groups = std::make_unique<TGroupsDialog>();
    GroupsDialog = groups.get();
    profile = std::make_unique<TFakeObjSettingsDialog>();
    ObjSettingsDialog = profile.get();
    promptCanceller.setInterval(1);
    promptCanceller.callOnTimeout([] {
        if (PasswordEnter && PasswordEnter->InModalLoop())
            PasswordEnter->SetModalResult(mrCancel);
    });
}

MainFormTest::~MainFormTest() {
    form.reset();
    MainForm = nullptr;
    ObjSettingsDialog = nullptr;
    GroupsDialog = nullptr;
    AddrBook = nullptr;
    ModemForm = nullptr;
    ConnectionForm = nullptr;
    PasswordEnter = nullptr;
    SettingsDialog = nullptr;
    settings.reset();
    ResetGlobals();
    ::unsetenv("XDG_DATA_HOME");
    ::unsetenv("XDG_RUNTIME_DIR");
}

void MainFormTest::Start() {
    form = std::make_unique<TTestMainForm>();
    MainForm = form.get();
    form->show();
}

void MainFormTest::Restart() {
    form->ExitMenuItemClick();
    EXPECT_EQ(form->Closed, 1);
    form.reset();
    ObjectList.clear();
    FirstShow = true;
    MutexHandle.reset();
    Start();
}

bool MainFormTest::WaitForExit() {
    return PumpUntil([this] { return form->Closed > 0; });
}

std::string MainFormTest::DataFolder() const {
    return data.Path() + "Kolvar/Vostrane/";
}

std::string MainFormTest::LogText() const {
    if (form && form->EventLog)
        form->EventLog->Flush();
    return ReadFile(DataFile("EventLog.txt"));
}

QStringList MainFormTest::LogLines() const {
    return EventLogLines(DataFile("EventLog.txt"), form ? form->EventLog.get() : nullptr);
}

TObjectStates* MainFormTest::AddObject(int number, const char* name) {
    auto object = std::make_unique<TObjectStates>();
    object->ObjectNumber = number;
    object->ModemID = number;
    object->Name = ToCp1251(QString::fromUtf8(name));
    ObjectList.push_back(std::move(object));
    form->FillObjectsGrid();
    return ObjectList.back().get();
}

void MainFormTest::CancelPrompts() {
    promptCanceller.start();
}
