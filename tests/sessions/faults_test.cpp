// Faults from outside, each followed by the same three checks: the router still accepts and binds a
// good modem, its heap is back at the level it had before the fault, and it does not spin.
#include "tests/sessions/SessionFixture.h"

#include <algorithm>
#include <cerrno>
#include <random>

#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QFile>
#include <QTimer>
#include <fcntl.h>
#include <unistd.h>

#include "core/ObjectRegistry.h"
#include "core/Settings.h"
#include "platform/HeapStatus.h"
#include "platform/VirtualPort.h"
#include "sessions/VirtualPorts.h"
#include "tests/platform/TestSupport.h"

// Under a sanitizer its own allocator holds the heap, and tells how much of it is in use.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define HEAP_FROM_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define HEAP_FROM_SANITIZER 1
#endif
#endif
#ifdef HEAP_FROM_SANITIZER
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace {

using modemsim::LinkState;

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Bytes in use on the heap of the whole process: the router, Qt, and the test's modems, which are made
// before the first measurement (their buffers keep the room they grow to, a few kilobytes each).
std::int64_t HeapInUse() {
    // Sockets and notifiers that were let go are deleted by the event loop; here it is the test's.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
#ifdef HEAP_FROM_SANITIZER
    return std::int64_t(__sanitizer_get_current_allocated_bytes());
#else
    HeapCompact();
    return std::int64_t(GetHeapStatus().TotalAllocated);
#endif
}

Bytes RandomBytes(std::mt19937& random, size_t n) {
    Bytes b(n);
    for (uint8_t& x : b)
        x = uint8_t(random());
    return b;
}

class FaultTest : public SessionTest {
protected:
    // Modem IDs of the faults' own modems lie below it.
    static constexpr int GoodId = 900;
    // What the heap may differ by after a fault. A connection costs the router about 12 KB while it
    // lasts (its link context above all), so a leak of anything per connection or per block shows far
    // above these. Below them lie the test's modems' buffers, the allocators' small caches and, per
    // descriptor that was watched at once, the event loop's poll records, which it keeps for the next
    // ones (about 100 bytes per connection after a thousand, measured; a second thousand adds none).
    static constexpr std::int64_t HeapTolerance = 48 * 1024;
    static constexpr std::int64_t KeptPerConnection = 256;
    static constexpr std::int64_t ConnectionCost = 16 * 1024; // an upper bound, for heaps during a fault
    // Process CPU over a quiet stretch of QuietMs of real time, in which the router's event loop runs
    // as it does in the program, waking only for its events. Idle, it costs a few milliseconds at most;
    // a notifier or timer that fires without end keeps the thread busy for the whole stretch, which a
    // busy machine shares at worst between two or three programs per core. The bound lies between.
    // A loaded machine may charge a burst of its own work (the network's for other programs) to any
    // one stretch, while a spin fills every one: the least of a few stretches counts.
    static constexpr int QuietMs = 200;
    static constexpr double SpinBoundSeconds = 0.05;
    // Real time for the waits that a loaded machine stretches most (hundreds of modems, a transfer).
    static constexpr int LongMs = 30'000;

    FaultTest() {
        AddObject(GoodId);
        good = pool->Add(Config(GoodId));
    }

    // The good modem on a fresh connection, bound and answering.
    void ExpectGoodModemServed() {
        pool->Close(good);
        ASSERT_TRUE(RunUntil([&] { return SessionOf(GoodId) == nullptr; }, 0));
        pool->Open(good);
        TObjectStates* object = FindObjectByNum(GoodId);
        ASSERT_TRUE(RunUntil([&] {
            return object->Connected && pool->Modem(good).State() == LinkState::Ready;
        })) << "the good modem is not bound";
        ASSERT_NE(SessionOf(GoodId), nullptr);
        EXPECT_EQ(SessionOf(GoodId)->BoundModemId, GoodId);
        object->LastDataTime = 0.0;
        ASSERT_EQ(form->QueryHwInfo(GoodId), 2);
        EXPECT_TRUE(RunUntil([&] { return object->LastDataTime != 0.0; }))
            << "the good modem is not answered";
    }

    // The good modem bound, then the heap as the fault will find it.
    std::int64_t Baseline() {
        ExpectGoodModemServed();
        Settle();
        return HeapInUse();
    }

    // The router's timers once, then the events they left.
    void Settle() {
        Advance(1000, 500);
        EXPECT_TRUE(PumpIdle());
    }

    double CpuOfQuietStretch() {
        Settle();
        double least = 1.0;
        for (int k = 0; k < 3 && least >= SpinBoundSeconds; ++k) {
            QEventLoop loop;
            QTimer::singleShot(QuietMs, &loop, &QEventLoop::quit);
            const double before = CpuSeconds();
            loop.exec();
            least = std::min(least, CpuSeconds() - before);
        }
        return least;
    }

    // The three checks after a fault: baseline is the heap before it, connections the most that were
    // open at once.
    void ExpectRecovered(std::int64_t baseline, int connections) {
        ExpectGoodModemServed();
        Settle();
        const std::int64_t after = HeapInUse();
        EXPECT_LE(after - baseline, HeapTolerance + KeptPerConnection * connections)
            << "heap before " << baseline << ", after " << after;
        EXPECT_LT(CpuOfQuietStretch(), SpinBoundSeconds);
    }

    size_t good = 0;
};

// --- a modem that stops acknowledging ---

struct SilenceCase {
    const char* name;
    bool silent;   // nothing leaves the modem (a report made meanwhile is lost with the connection)
    bool neverAck; // it answers and sends, but acknowledges nothing
};

void PrintTo(const SilenceCase& c, std::ostream* os) {
    *os << c.name;
}

class StopsAcknowledgingTest : public FaultTest, public ::testing::WithParamInterface<SilenceCase> {};

// The router's frame waits for its acknowledgement 20 s and no longer, sends nothing new meanwhile,
// and the data that frame carried reaches the modem once it is back on a new connection.
TEST_P(StopsAcknowledgingTest, ConnectionEndsAfterTheAcknowledgementTimeOutAndDataWaitsForTheModem) {
    const SilenceCase& fault = GetParam();
    constexpr int Id = 7;
    AddObject(Id);
    const size_t i = pool->Add(Config(Id)); // the test's own memory, made before the first measurement
    const std::int64_t baseline = Baseline();
    pool->Open(i);
    TObjectStates* object = FindObjectByNum(Id);
    ASSERT_TRUE(RunUntil([&] { return object->Connected && pool->Modem(i).State() == LinkState::Ready; }));
    modemsim::ModemSim& modem = pool->Modem(i);
    modem.SetSilent(fault.silent, modemsim::MonotonicMs());
    modem.SetNeverAck(fault.neverAck);
    const uint32_t framesBefore = modem.Stats().infoIn;

    const Bytes data(3000, 0x5A);
    ASSERT_EQ(AppBuf_Push(object->AppBuf.get(), data.data(), uint32_t(data.size())), data.size());
    MarkBufferDue(object);                                  // as the routing does when it queues data
    modem.SetInputs(0b0101, true, modemsim::MonotonicMs()); // a frame of its own, while ours waits
    Advance(18'500, 500);
    EXPECT_LT(CpuOfQuietStretch(), SpinBoundSeconds) << "while the frame waits"; // a second more
    EXPECT_TRUE(pool->IsOpen(i));
    EXPECT_TRUE(object->Connected);
    EXPECT_EQ(modem.Stats().infoIn, framesBefore + 1) << "one frame in flight, none built after it";
    Advance(1'500, 500);
    ASSERT_TRUE(RunUntil([&] { return !pool->IsOpen(i); }, 0));
    EXPECT_FALSE(object->Connected);
    EXPECT_TRUE(Logged(QStringLiteral("CH: the object disconnected (№%1)").arg(Id)));

    modem.SetSilent(false, modemsim::MonotonicMs());
    modem.SetNeverAck(false);
    pool->Open(i);
    ASSERT_TRUE(RunUntil([&] { return modem.ReceivedData().size() >= data.size() && modem.Idle(); }));
    EXPECT_EQ(modem.ReceivedData(), data);
    if (!fault.silent) {
        EXPECT_EQ(object->InputStates, (std::array<int32_t, 4>{1, 0, 1, 0})) << "the report sent meanwhile";
    }
    pool->Close(i);
    ASSERT_TRUE(RunUntil([&] { return SessionOf(Id) == nullptr; }, 0));
    ExpectRecovered(baseline, 2);
}

INSTANTIATE_TEST_SUITE_P(Modems, StopsAcknowledgingTest,
                         ::testing::Values(SilenceCase{"Silent", true, false},
                                           SilenceCase{"NeverAcknowledges", false, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- a reconnect storm ---

// 256 modems, all bound, drop and come back at once, several rounds over: either they vanish without a
// word and their new connections find the old ones still open (doubles, which the router replaces),
// or they close and reconnect at once.
TEST_F(FaultTest, ReconnectStormOf256ModemsLeavesEveryObjectBoundOnce) {
    constexpr int Count = 256;
    AddObjects(1, Count);
    // Two sets of the same modems: while one set's connections stay open, the other set comes back on
    // new ones. Modem k of a set has the ID k + 1.
    modemsim::ModemPool sets[2] = {modemsim::ModemPool("127.0.0.1", port),
                                   modemsim::ModemPool("127.0.0.1", port)};
    for (modemsim::ModemPool& set : sets)
        for (int id = 1; id <= Count; ++id)
            set.Add(Config(uint16_t(id)));
    // The router's timers are not needed and stay still, whatever the real time taken.
    const auto run = [&](const std::function<bool()>& done) {
        return RunUntil(
            [&] {
                for (modemsim::ModemPool& set : sets)
                    set.Poll(0);
                return done();
            },
            0, LongMs);
    };
    const auto allBound = [&](const modemsim::ModemPool& set) {
        if (set.CountReady() != Count)
            return false;
        for (int id = 1; id <= Count; ++id) {
            const TServerConnection* c = SessionOf(id);
            if (!FindObjectByNum(id)->Connected || !c || c->BoundModemId != id)
                return false;
        }
        return true;
    };
    int active = 0;
    sets[active].OpenAll();
    ASSERT_TRUE(run([&] { return allBound(sets[active]); }));
    const std::int64_t baseline = Baseline();

    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(testing::Message() << "round " << round);
        const int doublesBefore = CountLogged("SM: disabling double connection");
        const int connectedBefore = CountLogged("CH: new object connected");
        const int disconnectedBefore = CountLogged("CH: the object disconnected");
        if (round % 2 == 0) {
            const int old = active;
            active = 1 - active;
            sets[active].OpenAll();
            ASSERT_TRUE(run([&] { return sets[old].CountOpen() == 0 && allBound(sets[active]); }))
                << sets[active].CountReady() << " ready";
            EXPECT_EQ(CountLogged("SM: disabling double connection") - doublesBefore, Count);
            EXPECT_EQ(CountLogged("CH: the object disconnected") - disconnectedBefore, 0);
        } else {
            for (size_t k = 0; k < Count; ++k)
                sets[active].Close(k);
            sets[active].OpenAll();
            ASSERT_TRUE(run([&] { return allBound(sets[active]); })) << sets[active].CountReady() << " ready";
            // An old connection ends with its notice, unless the new one was bound first and closed it.
            EXPECT_EQ(CountLogged("CH: the object disconnected") - disconnectedBefore +
                          CountLogged("SM: disabling double connection") - doublesBefore,
                      Count);
        }
        EXPECT_EQ(CountLogged("CH: new object connected") - connectedBefore, Count);
        ASSERT_TRUE(run([&] { return SessionCount() == Count + 1; })) << SessionCount();
    }
    EXPECT_EQ(CountLogged("SM: auth. error"), 0);
    EXPECT_EQ(CountLogged("SM: Socket error"), 0);
    ExpectRecovered(baseline, 2 * Count + 1);
}

// --- connections that never authenticate ---

TEST_F(FaultTest, ThousandConnectionsThatNeverAuthenticateAreClosedAndLeaveNothingBehind) {
    constexpr int Count = 1000;
    // Both ends of every connection are in this process, beside what Qt and the test hold.
    const TDescriptorLimit limit(2 * Count + 200);
    if (!limit.Enough())
        GTEST_SKIP() << "needs " << 2 * Count + 200 << " file descriptors; the hard limit is "
                     << limit.Hard();
    constexpr int Id = 8;
    AddObject(Id);
    const size_t i = pool->Add(Config(Id));
    const std::int64_t baseline = Baseline();
    {
        std::vector<std::unique_ptr<TRawPeer>> peers;
        for (int k = 0; k < Count; ++k) {
            peers.push_back(std::make_unique<TRawPeer>(port));
            if (k % 100 == 99)
                PumpOnce(); // the router accepts as they come, as it would
        }
        ASSERT_TRUE(RunUntil([&] { return SessionCount() == Count + 1; }, 0)) << SessionCount();
        EXPECT_FALSE(form->ServerSocket.AcceptPaused());
        Advance(5'000, 1000);
        // A modem beside them is bound.
        pool->Open(i);
        ASSERT_TRUE(RunUntil([&] { return FindObjectByNum(Id)->Connected != 0; }, 0));
        EXPECT_LT(CpuOfQuietStretch(), SpinBoundSeconds) << "with a thousand idle connections";
        Advance(16'000, 1000);
        ASSERT_TRUE(RunUntil([&] { return SessionCount() == 2; }, 0)) << SessionCount();
        EXPECT_EQ(CountLogged("SM: no authentication within 20 s, closing connection (IP: 127.0.0.1)"),
                  Count);
        EXPECT_EQ(std::count_if(peers.begin(), peers.end(), [](const auto& p) { return p->StillOpen(); }), 0);
        EXPECT_TRUE(FindObjectByNum(Id)->Connected);
        pool->Close(i);
        ASSERT_TRUE(RunUntil([&] { return SessionOf(Id) == nullptr; }, 0));
    }
    ExpectRecovered(baseline, Count + 2);
}

// --- a garbage flood ---

// Peers that write random bytes as fast as the router reads them, wave after wave, while a modem
// authenticates among them and another is served.
TEST_F(FaultTest, GarbageFloodFromSeveralPeersIsClosedWhileModemsAreServed) {
    constexpr int Peers = 8, Waves = 3;
    constexpr size_t FloodBytes = 64 * 1024;
    constexpr int Bystander = 9, Newcomer = 10;
    AddObject(Bystander);
    AddObject(Newcomer);
    const size_t newcomer = pool->Add(Config(Newcomer));
    const size_t bystander = pool->Add(Config(Bystander));
    std::mt19937 random(21);
    std::vector<Bytes> floods;
    for (int k = 0; k < Peers; ++k)
        floods.push_back(RandomBytes(random, FloodBytes));
    const std::int64_t baseline = Baseline();
    pool->Open(bystander);
    ASSERT_TRUE(RunUntil([&] { return FindObjectByNum(Bystander)->Connected != 0; }));

    for (int wave = 0; wave < Waves; ++wave) {
        std::vector<std::unique_ptr<TRawPeer>> peers;
        for (int k = 0; k < Peers; ++k)
            peers.push_back(std::make_unique<TRawPeer>(port));
        if (wave == 1)
            pool->Open(newcomer);
        FindObjectByNum(Bystander)->LastDataTime = 0.0;
        ASSERT_EQ(form->QueryHwInfo(Bystander), 2);
        for (int k = 0; k < Peers; ++k)
            peers[size_t(k)]->Write(floods[size_t(k)]); // until the router closes it
        ASSERT_TRUE(RunUntil([&] {
            return std::none_of(peers.begin(), peers.end(), [](const auto& p) { return p->StillOpen(); }) &&
                   FindObjectByNum(Bystander)->LastDataTime != 0.0;
        }));
    }
    ASSERT_TRUE(RunUntil([&] { return FindObjectByNum(Newcomer)->Connected != 0; }));
    ASSERT_TRUE(RunUntil([&] { return SessionCount() == 3; }, 0)) << SessionCount();
    EXPECT_EQ(CountLogged("SM: too much data before authentication, closing connection (IP: 127.0.0.1)") +
                  CountLogged("SM: auth. error, closing connection"),
              Peers * Waves);
    EXPECT_TRUE(FindObjectByNum(Bystander)->Connected);
    pool->Close(bystander);
    pool->Close(newcomer);
    ASSERT_TRUE(RunUntil([&] { return SessionCount() == 1; }, 0));
    ExpectRecovered(baseline, Peers + 3);
}

// --- a virtual port whose reader stops reading ---

// A program on the PC's side of a port, in this process: holds the port open and reads only when
// told to.
class THeldPort {
public:
    explicit THeldPort(const QString& link)
        : fd_(::open(QFile::encodeName(link).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {
        EXPECT_GE(fd_, 0) << strerror(errno);
    }
    ~THeldPort() { ::close(fd_); }
    // Reads what waits.
    void Read() {
        uint8_t buffer[4096];
        ssize_t n;
        while ((n = ::read(fd_, buffer, sizeof buffer)) > 0)
            Received.insert(Received.end(), buffer, buffer + n);
    }
    Bytes Received;

private:
    int fd_;
};

// Every byte of one member's stream, in order: the members' streams are told apart by their values.
Bytes StreamOf(const Bytes& mixed, uint8_t parity) {
    Bytes out;
    std::copy_if(mixed.begin(), mixed.end(), std::back_inserter(out),
                 [&](uint8_t b) { return (b & 1) == parity; });
    return out;
}

TEST_F(FaultTest, PortWhoseReaderStopsReadingHoldsTheMembersBackAndLosesNothing) {
    constexpr int M1 = 11, M2 = 12, Com = 9;
    AddObject(M1);
    AddObject(M2);
    // More than the port, the group's buffer and both members' receive queues hold together.
    constexpr size_t Each = 96 * 1024;
    Bytes sent[2];
    for (int m = 0; m < 2; ++m) {
        sent[m].resize(Each);
        for (size_t k = 0; k < Each; ++k)
            sent[m][k] = uint8_t((k * 7 + k / 251) << 1 | size_t(m));
    }
    const size_t i1 = pool->Add(Config(M1)), i2 = pool->Add(Config(M2));
    auto g = std::make_unique<TReceiver>();
    g->Name = "held";
    g->BaseKind = TReceiver::bkComPort;
    g->BaseID = Com - 1;
    g->Members = {uint32_t(M1), uint32_t(M2)};
    TReceiver& group = *AppSettings->Receivers.emplace_back(std::move(g));
    CreateVirtualPort(group);
    ASSERT_NE(VirtualPortOf(group), nullptr);
    THeldPort program(ComLink(Com));
    program.Received.reserve(2 * Each);
    // Queued before the first measurement: what the modems hold is the test's memory, not the router's.
    pool->Modem(i1).QueueData(sent[0].data(), sent[0].size(), modemsim::MonotonicMs());
    pool->Modem(i2).QueueData(sent[1].data(), sent[1].size(), modemsim::MonotonicMs());
    const std::int64_t baseline = Baseline();

    pool->Open(i1);
    pool->Open(i2);
    ASSERT_TRUE(RunUntil([&] { return FindObjectByNum(M1)->Connected && FindObjectByNum(M2)->Connected; }));
    // The router takes what its buffers hold, then holds the members back.
    Advance(30'000, 500);
    EXPECT_EQ(group.BufferCount, TReceiver::BufferSize);
    // The heap holds the members' two sessions, and none of the data beyond the router's fixed buffers:
    // more of it waits at the modems than the heap may grow by.
    const std::int64_t heldBound = HeapTolerance + 2 * ConnectionCost;
    EXPECT_GT(std::int64_t(pool->Modem(i1).PendingData() + pool->Modem(i2).PendingData()), heldBound);
    const std::int64_t held = HeapInUse();
    EXPECT_LE(held - baseline, heldBound) << "heap before " << baseline << ", held " << held;
    EXPECT_LT(CpuOfQuietStretch(), SpinBoundSeconds) << "while the reader does not read";
    EXPECT_TRUE(FindObjectByNum(M1)->Connected && FindObjectByNum(M2)->Connected);

    // The reader reads again: everything comes, in order.
    ASSERT_TRUE(RunUntil(
        [&] {
            program.Read();
            return program.Received.size() >= 2 * Each;
        },
        500, LongMs))
        << program.Received.size();
    EXPECT_EQ(program.Received.size(), 2 * Each);
    EXPECT_EQ(StreamOf(program.Received, 0), sent[0]);
    EXPECT_EQ(StreamOf(program.Received, 1), sent[1]);
    EXPECT_EQ(CountLogged("GR: "), 0);
    pool->Close(i1);
    pool->Close(i2);
    ASSERT_TRUE(RunUntil([&] { return SessionCount() == 1; }, 0));
    ExpectRecovered(baseline, 3);
}

} // namespace
