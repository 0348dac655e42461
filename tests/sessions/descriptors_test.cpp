// Descriptors under a low limit: a flood of idle connections from one script holds no more than its
// share of the connections, the oldest giving way for new ones, so that a modem still binds while the
// log, the save and the program's threads find the descriptors they need.
#include "tests/sessions/SessionFixture.h"

#include <filesystem>
#include <memory>
#include <sys/resource.h>
#include <thread>

#include <QThread>

#include "core/DataFolder.h"
#include "core/ObjectRegistry.h"
#include "platform/Descriptors.h"
#include "tests/sessions/PeerProcess.h"

namespace {

using modemsim::LinkState;

// The server room for this many connections beside its reserve.
constexpr int Room = 32;

class DescriptorTest : public SessionTest {
protected:
    // Opens the server again under a soft limit that leaves it room for Room connections.
    void LowerLimit() {
        form->ClosePort(false);
        limit_.Set(rlim_t(OpenDescriptors() + 2 + TServerSocket::DescriptorReserve + Room));
        form->OpenPort();
        port = uint16_t(form->ServerSocket.LocalPort());
    }

    // Waits for the script's answer without running the router's loop, so that its connections wait
    // in the backlog together with whatever else connects meanwhile.
    static std::string Answer(TPeerProcess& script) {
        for (int i = 0; i < 5000; ++i) {
            if (std::optional<std::string> line = script.TryLine())
                return *line;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return "no answer";
    }

    int Unauthenticated() const {
        int n = 0;
        for (int i = 0; i < form->ServerSocket.ActiveConnections(); ++i) {
            const TServerConnection* c = Session(form->ServerSocket.Connections(i));
            n += c && c->Connected() && !c->Authenticated();
        }
        return n;
    }

private:
    TSoftFileLimit limit_;
};

TEST_F(DescriptorTest, AModemBindsDuringAFloodOfIdleConnectionsAndTheLogAndTheSaveWork) {
    TObjectStates* object = AddObject(5);
    LowerLimit();
    ASSERT_EQ(form->ServerSocket.ConnectionLimit(), Room);
    const int share = TConnectionForm::UnauthenticatedRoom(Room);
    TPeerProcess flood(TPeerProcess::Script("idle_flood.py", {std::to_string(port)}));
    ASSERT_EQ(Answer(flood), "OK 0");
    // More than the limit in all, and more than the share behind the modem.
    flood.WriteLine("20");
    ASSERT_EQ(Answer(flood), "OK 20");
    TManualModem modem(port, Config(5));
    modem.Connect();
    flood.WriteLine("150");
    ASSERT_EQ(Answer(flood), "OK 170");

    manual.push_back(&modem);
    int most = 0;
    int ms = 0;
    for (; ms < 15'000 && modem.Modem.State() != LinkState::Ready; ms += 250) {
        Advance(250, 250);
        most = std::max(most, Unauthenticated());
    }
    manual.clear();
    ASSERT_EQ(modem.Modem.State(), LinkState::Ready) << "not bound within " << ms << " ms";
    EXPECT_TRUE(object->Connected);
    EXPECT_LT(ms, int(TConnectionForm::AuthDeadlineMs)) << "before the deadline closed the flood";
    EXPECT_LE(most, share);
    EXPECT_GT(CountLogged("SM: no room for a new connection, closing the oldest one not authenticated (IP: "
                          "127.0.0.1)"),
              0);
    EXPECT_LE(form->ServerSocket.OpenConnections(), form->ServerSocket.ConnectionLimit());
    EXPECT_GE(DescriptorLimit() - OpenDescriptors(), TServerSocket::DescriptorReserve - 8);

    // The log takes the binding, the save writes its file, a thread starts.
    EXPECT_TRUE(Logged("CH: new object connected (object №5)"));
    std::filesystem::remove(StatesFileName);
    main->WriteStates();
    EXPECT_TRUE(std::filesystem::exists(StatesFileName));
    std::unique_ptr<QThread> thread(QThread::create([] {}));
    thread->start();
    EXPECT_TRUE(thread->wait(5000));
    EXPECT_TRUE(modem.Read()) << "the modem is still served";
}

TEST(UnauthenticatedRoom, IsHalfTheConnectionsUpToABoundThatAHighLimitOfOpenFilesCannotRaise) {
    const struct {
        int Limit, Room;
    } cases[] = {{0, 1}, {1, 1}, {300, 150}, {32768, 16384}, {40000, 16384}, {1048448, 16384}};
    for (const auto& c : cases)
        EXPECT_EQ(TConnectionForm::UnauthenticatedRoom(c.Limit), c.Room) << "limit " << c.Limit;
}

} // namespace
