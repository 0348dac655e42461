// A new user's first objects: the program's forms from an empty data folder, the address book driven
// through the main window's menu, and simulated modems over loopback that bind to what was entered, also
// while the book is edited again.
#include <functional>
#include <memory>

#include <QPushButton>
#include <QToolButton>

#include "core/ObjectRegistry.h"
#include "core/StateFile.h"
#include "dialogs/PasswordUpdate.h"
#include "platform/Cp1251.h"
#include "tests/core/MainFormFixture.h"
#include "tests/platform/TestSupport.h"
#include "tools/modem-sim/ModemClient.h"

namespace {

// The main window with the real session manager in place of the recording one.
class NewUserTest : public MainFormTest {
protected:
    NewUserTest() {
        Trace_SetSink(Trace_Discard);
        AppSettings->TcpPort = 0; // any free port; nothing stored says otherwise yet
        PasswordUpdate = passwordUpdate.get();
        EnterDevIDs = devIDs.get();
        ConnectionForm = sessions.get();
        Start();
        clock->Advance(100); // the server opens 100 ms after the first showing
        port = uint16_t(sessions->ServerSocket.LocalPort());
        EXPECT_NE(port, 0);
        pool = std::make_unique<modemsim::ModemPool>("127.0.0.1", port);
    }
    ~NewUserTest() override {
        pool.reset();
        sessions->ClosePort(false);
        ConnectionForm = connection.get();
        sessions.reset();
        EnterDevIDs = nullptr;
        PasswordUpdate = nullptr;
        Trace_SetSink(nullptr);
    }

    // Opens the address book from the main window's menu and, once it is up, lets the operator act.
    void EditAddressBook(std::function<void()> operatorActs) {
        WhenModal(*addressBook, std::move(operatorActs));
        form->ABookMenuItem->trigger();
    }
    TStringGrid* Grid() const { return addressBook->ABGrid; }
    // Clicks the cell and types the text into it, as the keyboard gives it.
    void Enter(int col, int row, const QString& text) {
        ClickCell(Grid(), col, row);
        TypeInGrid(Grid(), text);
    }
    // Types a new ID over the old one.
    void Retype(int row, const QString& id) {
        Grid()->Cells[0][row] = QString();
        Enter(0, row, id);
    }

    size_t ConnectModem(uint16_t id) {
        modemsim::ModemConfig config;
        config.id = id;
        config.seed = id;
        const size_t i = pool->Add(config);
        pool->Open(i);
        EXPECT_TRUE(RunUntil([&] { return pool->Modem(i).State() == modemsim::LinkState::Ready; }));
        return i;
    }
    // Pumps the router and the modems, the fake clock 100 ms a round, until done() holds or timeoutMs
    // of real time have passed.
    bool RunUntil(const std::function<bool()>& done, int timeoutMs = 5000) {
        return PumpUntil(
            [&] {
                pool->Poll(0);
                clock->Advance(100);
                return done();
            },
            timeoutMs);
    }
    std::vector<int> IDs() const {
        std::vector<int> ids;
        for (const auto& object : ObjectList)
            ids.push_back(object->ModemID);
        return ids;
    }

    std::unique_ptr<TPasswordUpdate> passwordUpdate = std::make_unique<TPasswordUpdate>();
    std::unique_ptr<TEnterDevIDs> devIDs = std::make_unique<TEnterDevIDs>();
    std::unique_ptr<TConnectionForm> sessions = std::make_unique<TConnectionForm>();
    uint16_t port = 0;
    std::unique_ptr<modemsim::ModemPool> pool;
};

TEST_F(NewUserTest, ObjectsEnteredInTheBookAreSavedAndTheirModemsBindAndStayBoundThroughEdits) {
    ASSERT_TRUE(ObjectList.empty());
    ASSERT_FALSE(FileExists(DataFile("States.bin")));

    // Two objects, typed in as a new user would; the second is entered first.
    EditAddressBook([&] {
        Enter(0, 1, QStringLiteral("102"));
        Enter(1, 1, QStringLiteral("Насосная"));
        Enter(2, 1, QStringLiteral("+79161234567"));
        addressBook->ToolButton1->click();
        Enter(0, 2, QStringLiteral("101"));
        Enter(1, 2, QStringLiteral("Котельная"));
        Enter(2, 2, QStringLiteral("89161234567")); // the same number by its last ten characters
        dialogs->Expect(mtError, QStringLiteral("Модем с данным номером телефона уже существует!"), mrOk);
        addressBook->OkButton->click();
        EXPECT_TRUE(addressBook->isVisible());
        Enter(2, 2, QStringLiteral("+79160000001"));
        addressBook->OkButton->click();
    });
    EXPECT_EQ(IDs(), (std::vector<int>{101, 102}));
    EXPECT_EQ(ObjectList[0]->Name, ToCp1251(QStringLiteral("Котельная")));
    EXPECT_EQ(ObjectList[1]->Phone, "+79161234567");
    EXPECT_EQ(form->ObjectsGrid->RowCount(), 3);
    EXPECT_EQ(addressBook->ABGrid->RowCount(), 2); // the book keeps no copy
    EXPECT_FALSE(AccessGranted);

    // The state file holds them.
    ASSERT_TRUE(FileExists(DataFile("States.bin")));
    std::string file = ReadFile(DataFile("States.bin"));
    std::vector<uint8_t> plain(file.begin(), file.end());
    const TPassword key = MakePassword(NoPassword);
    ASSERT_TRUE(DecryptStates(plain, reinterpret_cast<const uint8_t*>(key.data())));
    TStatesImage image;
    ASSERT_EQ(DecodeStates(plain.data(), plain.size(), image), dcOk);
    ASSERT_EQ(image.Objects.size(), 2u);
    EXPECT_EQ(image.Objects[1]->ModemID, 102);
    EXPECT_EQ(image.Objects[1]->Phone, "+79161234567");

    // A modem with one of the IDs connects and is bound to its object.
    const size_t modem = ConnectModem(102);
    TObjectStates* bound = FindObjectByID(102);
    ASSERT_NE(bound, nullptr);
    ASSERT_TRUE(RunUntil([&] { return bound->Connected != 0; }));
    TServerConnection* session = sessions->GetConnectionByObjNum(102);
    ASSERT_NE(session, nullptr);

    // Other IDs change and a row is added: the bound object survives with its connection.
    EditAddressBook([&] {
        Retype(1, QStringLiteral("103"));
        addressBook->ToolButton1->click();
        Enter(0, 3, QStringLiteral("99"));
        addressBook->OkButton->click();
    });
    EXPECT_EQ(IDs(), (std::vector<int>{99, 102, 103}));
    EXPECT_EQ(FindObjectByID(102), bound);
    EXPECT_TRUE(bound->Connected);
    EXPECT_FALSE(RunUntil([&] { return !pool->IsConnected(modem); }, 300));
    EXPECT_EQ(pool->ClosedCount(), 0u);
    EXPECT_EQ(sessions->GetConnectionByObjNum(102), session);

    // The bound object's own ID changes: its object is gone, and so is its connection.
    EditAddressBook([&] {
        Retype(2, QStringLiteral("104"));
        addressBook->OkButton->click();
    });
    EXPECT_EQ(IDs(), (std::vector<int>{99, 103, 104}));
    EXPECT_TRUE(RunUntil([&] { return !pool->IsConnected(modem); }));
    EXPECT_EQ(sessions->GetConnectionByObjNum(102), nullptr);
}

} // namespace
