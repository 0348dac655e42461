// Descriptors under a low limit: a flood of idle connections from one script holds no more than the
// room, the one with the least claim giving way for new ones, so that a modem still binds while the
// log, the save and the program's threads find the descriptors they need.
#include "tests/sessions/SessionFixture.h"

#include <filesystem>
#include <memory>
#include <poll.h>
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

class AdmissionTest : public DescriptorTest {
protected:
    // Both ends of the peers are in this process: their bound is reached long before the descriptors.
    AdmissionTest() { form->UnauthenticatedCap = Room / 4; }
    // A peer the router has taken.
    TRawPeer& Hold() {
        peers.push_back(std::make_unique<TRawPeer>(port));
        const int n = SessionCount() + 1;
        EXPECT_TRUE(RunUntil([&] { return SessionCount() == n; }, 0));
        return *peers.back();
    }
    // Idle peers, fresh on the clock, until the connections not authenticated fill their room.
    void FillShare() {
        while (SessionCount() < TConnectionForm::UnauthenticatedRoom(Room, form->UnauthenticatedCap) &&
               !HasFailure())
            Hold();
    }
    std::vector<std::unique_ptr<TRawPeer>> peers;
};

// The modem's AUTH waits unread when room is needed and the modem is the oldest connection: it is read
// and served, and nobody is closed, since its binding made the room.
TEST_F(AdmissionTest, AModemWhoseAuthWaitsUnreadIsServedBeforeAnyoneIsClosedForRoom) {
    TObjectStates* object = AddObject(5);
    LowerLimit();
    TManualModem modem(port, Config(5));
    ASSERT_TRUE(RunUntil([&] { return SessionCount() == 1; }, 0));
    FillShare();
    clock->Advance(4 * int(TConnectionForm::RoomGraceMs)); // every one of them may give way now
    modem.Connect();
    modem.Flush();
    AwaitReadable(form->ServerSocket.Connections(0));
    TRawPeer newcomer(port);
    manual.push_back(&modem);
    ASSERT_TRUE(RunUntil([&] { return object->Connected && modem.Modem.State() == LinkState::Ready; }, 0));
    ASSERT_TRUE(RunUntil([&] { return SessionCount() == int(peers.size()) + 2; }, 0));
    manual.clear();
    EXPECT_EQ(CountLogged("SM: no room for a new connection"), 0);
    EXPECT_EQ(std::count_if(peers.begin(), peers.end(), [](const auto& p) { return p->StillOpen(); }),
              int(peers.size()));
}

// Nor does the 20 s deadline close a modem whose AUTH came just before it and waits unread.
TEST_F(AdmissionTest, AModemWhoseAuthWaitsUnreadAtTheDeadlineIsServed) {
    TObjectStates* object = AddObject(5);
    TManualModem modem(port, Config(5));
    ASSERT_TRUE(RunUntil([&] { return SessionCount() == 1; }, 0));
    Advance(int(TConnectionForm::AuthDeadlineMs) - 500, 500);
    modem.Connect();
    modem.Flush();
    AwaitReadable(form->ServerSocket.Connections(0));
    clock->Advance(1000);
    form->CloseUnauthenticated(MonotonicMs());
    EXPECT_TRUE(object->Connected);
    EXPECT_EQ(CountLogged("SM: no authentication within"), 0);
}

// A modem authenticating frees a place among those not authenticated at once: the connection held back
// in the backlog comes in without waiting for any time to pass.
TEST_F(AdmissionTest, TheNextConnectionIsTakenAsSoonAsOneAuthenticates) {
    TObjectStates* object = AddObject(5);
    LowerLimit();
    TManualModem modem(port, Config(5));
    ASSERT_TRUE(RunUntil([&] { return SessionCount() == 1; }, 0));
    FillShare();
    TRawPeer newcomer(port);
    ASSERT_TRUE(RunUntil([&] { return form->ServerSocket.AcceptPaused(); }, 0));
    const int held = SessionCount();
    manual.push_back(&modem);
    modem.Connect();
    ASSERT_TRUE(RunUntil([&] { return object->Connected; }, 0));
    EXPECT_TRUE(RunUntil([&] { return SessionCount() == held + 1; }, 0));
    manual.clear();
    EXPECT_EQ(CountLogged("SM: no room for a new connection"), 0);
}

enum class Sent { Nothing, PartialAuth, Stray };

struct THeld {
    Sent What;
    int AgeMs; // when the newcomer comes
};

struct RoomCase {
    const char* Name;
    std::vector<THeld> Held; // oldest first
    int Closed;              // the one of them that gives way, -1 none yet
    int LaterMs;             // none: after so many more ms, the first one gives way
};

void PrintTo(const RoomCase& r, std::ostream* os) {
    *os << r.Name;
}

class RoomTest : public AdmissionTest, public ::testing::WithParamInterface<RoomCase> {};

TEST_P(RoomTest, TheOneWithTheLeastClaimGivesWayOnceItHasHadItsGrace) {
    const RoomCase& r = GetParam();
    LowerLimit();
    for (std::size_t i = 0; i < r.Held.size(); ++i) {
        TRawPeer& peer = Hold();
        if (r.Held[i].What == Sent::PartialAuth) {
            Bytes auth(20, 0x11); // 20 of an AUTH frame's 41 bytes
            modemsim::Header_Write(auth.data(), 5, {modemsim::FrameAuth, 0, 0, 32});
            peer.Write(auth);
        } else if (r.Held[i].What == Sent::Stray) {
            peer.Write(Bytes(10, 0x01));
        }
        Advance(r.Held[i].AgeMs - (i + 1 < r.Held.size() ? r.Held[i + 1].AgeMs : 0), 50);
    }
    FillShare();
    const int held = SessionCount();
    TRawPeer newcomer(port);
    const auto open = [&] {
        std::vector<bool> v;
        for (std::size_t i = 0; i < peers.size(); ++i)
            v.push_back(peers[i]->StillOpen());
        return v;
    };
    std::vector<bool> expected(peers.size(), true);
    if (r.Closed >= 0) {
        expected[std::size_t(r.Closed)] = false;
        ASSERT_TRUE(RunUntil([&] { return !peers[std::size_t(r.Closed)]->StillOpen(); }, 0));
        ASSERT_TRUE(RunUntil([&] { return SessionCount() == held; }, 0)) << "the newcomer came in";
        EXPECT_EQ(open(), expected);
        return;
    }
    // The router has looked at the newcomer and held it back.
    ASSERT_TRUE(RunUntil([&] { return form->ServerSocket.AcceptPaused(); }, 0));
    ASSERT_TRUE(PumpIdle());
    EXPECT_EQ(open(), expected) << "nobody gives way within the grace";
    EXPECT_TRUE(form->ServerSocket.AcceptPaused());
    Advance(r.LaterMs, 10);
    expected[0] = false;
    ASSERT_TRUE(RunUntil([&] { return !peers[0]->StillOpen(); }, 0));
    EXPECT_EQ(open(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Claims, RoomTest,
    ::testing::Values(
        RoomCase{"TheOldestIdleOnePastItsGrace", {{Sent::Nothing, 400}, {Sent::Nothing, 300}}, 0, 0},
        RoomCase{"NothingSentBeforeAPartialAuth", {{Sent::PartialAuth, 600}, {Sent::Nothing, 300}}, 1, 0},
        RoomCase{"StrayBytesBeforeAPartialAuth", {{Sent::PartialAuth, 600}, {Sent::Stray, 300}}, 1, 0},
        RoomCase{"ThePartialAuthHeldLongest", {{Sent::PartialAuth, 600}, {Sent::PartialAuth, 500}}, 0, 0},
        RoomCase{"NoneBeforeItsGraceIsOver", {{Sent::Nothing, 200}}, -1, 60}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(UnauthenticatedRoom, IsTheWholeRoomUpToAsManyAsThereCanBeModems) {
    const struct {
        int Limit, Room;
    } cases[] = {{0, 1}, {1, 1}, {300, 300}, {19872, 19872}, {65536, 65536}, {1048448, 65536}};
    for (const auto& c : cases)
        EXPECT_EQ(TConnectionForm::UnauthenticatedRoom(c.Limit), c.Room) << "limit " << c.Limit;
}

} // namespace
