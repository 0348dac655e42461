// The virtual port over a pty: its link in the COM folder, readiness while a program holds it, raw
// transfer both ways, short writes, held reports, leftover links, and no spinning while nobody holds it.
#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <numeric>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include "platform/Shell.h"
#include "platform/VirtualPort.h"
#include "tests/platform/TestSupport.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes AllByteValues() {
    Bytes b(256);
    std::iota(b.begin(), b.end(), 0);
    return b;
}

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// A program on the far side: opens the port's link as PC software would, changing no setting.
class TProgram {
public:
    explicit TProgram(const QString& link)
        : fd_(::open(QFile::encodeName(link).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {
        EXPECT_GE(fd_, 0) << strerror(errno);
    }
    ~TProgram() { Close(); }
    void Close() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }
    void Write(const Bytes& bytes) {
        ASSERT_EQ(::write(fd_, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    }
    // What arrives within a moment.
    Bytes Read(size_t expected) {
        Bytes got;
        PumpUntil(
            [&] {
                uint8_t buffer[4096];
                const ssize_t n = ::read(fd_, buffer, sizeof buffer);
                if (n > 0)
                    got.insert(got.end(), buffer, buffer + n);
                return got.size() >= expected;
            },
            2000);
        return got;
    }
    void Purge() { ::tcflush(fd_, TCIFLUSH); }

private:
    int fd_;
};

class VirtualPort : public ::testing::Test {
protected:
    QString Link(int n) const { return ComFolder() + QStringLiteral("/COM") + QString::number(n); }
    // Collects every report and reads up to `take` bytes of each.
    void Collect(TVirtualPortAx& port, int take = 1 << 20) {
        port.OnRxChar = [this, take](TVirtualPortAx* sender, int count) {
            reports.push_back(count);
            uint8_t buffer[70000];
            const int n = sender->Read(buffer, std::min(count, take));
            received.insert(received.end(), buffer, buffer + n);
        };
    }

    static constexpr uint8_t Mark = 0x5A;
    // Until the port takes writes: a program holds it and has had its moment to set it up. The program
    // reads the byte written to tell.
    static bool WaitWritable(TVirtualPortAx& port, TProgram& program) {
        return PumpUntil([&] { return port.Write(&Mark, 1) == 1; }) && !program.Read(1).empty();
    }
    // Whether a byte the port writes now is the next the program gets: nothing else was on its way.
    static bool NothingBefore(TVirtualPortAx& port, TProgram& program) {
        return PumpUntil([&] { return port.Write(&Mark, 1) == 1; }) && program.Read(1) == Bytes{Mark};
    }

    QTemporaryDir dir;
    TEnvironment dataHome{"XDG_DATA_HOME", QFile::encodeName(dir.path())};
    std::vector<int> reports;
    Bytes received;
};

TEST_F(VirtualPort, CreatePortPublishesItsLinkUntilDestroyed) {
    {
        TVirtualPortAx port;
        ASSERT_TRUE(port.CreatePort(QStringLiteral("COM5")));
        EXPECT_EQ(port.PortName(), QStringLiteral("COM5"));
        EXPECT_EQ(QFileInfo(Link(5)).symLinkTarget(), port.SlavePath());
        EXPECT_TRUE(port.SlavePath().startsWith(QStringLiteral("/dev/pts/")));
        EXPECT_TRUE(IsOwnVirtualPort(QStringLiteral("com5")));
        EXPECT_FALSE(port.CreatePort(QStringLiteral("COM6"))) << "one port per control";

        TVirtualPortAx other;
        EXPECT_FALSE(other.CreatePort(QStringLiteral("COM5")));
        EXPECT_FALSE(other.Attach(QStringLiteral("COM5"))) << "the port of a live control is not taken over";
    }
    EXPECT_FALSE(QFileInfo(Link(5)).isSymLink());
    EXPECT_FALSE(IsOwnVirtualPort(QStringLiteral("COM5")));
}

TEST_F(VirtualPort, OnlyCom1ToCom256AreMade) {
    struct Case {
        const char* name;
        bool made;
    } cases[] = {{"COM1", true}, {"com256", true}, {"COM0", false},  {"COM257", false},
                 {"COM", false}, {"LPT1", false},  {"COM5x", false}, {"COM05", false}};
    for (const Case& c : cases) {
        TVirtualPortAx port;
        EXPECT_EQ(port.CreatePort(QString::fromLatin1(c.name)), c.made) << c.name;
    }
}

TEST_F(VirtualPort, LeftoverLinksAreReplacedButDevicesAreNot) {
    ASSERT_TRUE(ForceDirectories(ComFolder()));
    ASSERT_EQ(::symlink("/dev/pts/99999", QFile::encodeName(Link(7)).constData()), 0); // a dead run's pty
    ASSERT_EQ(::symlink("/dev/null", QFile::encodeName(Link(8)).constData()), 0);      // a device
    QFile file(Link(9));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();

    TVirtualPortAx seven, eight, nine;
    EXPECT_FALSE(seven.CreatePort(QStringLiteral("COM7")));
    EXPECT_TRUE(seven.Attach(QStringLiteral("COM7")));
    EXPECT_EQ(QFileInfo(Link(7)).symLinkTarget(), seven.SlavePath());
    EXPECT_FALSE(eight.CreatePort(QStringLiteral("COM8")));
    EXPECT_FALSE(eight.Attach(QStringLiteral("COM8")));
    EXPECT_EQ(QFileInfo(Link(8)).symLinkTarget(), QStringLiteral("/dev/null"));
    EXPECT_FALSE(nine.Attach(QStringLiteral("COM9")));
    EXPECT_TRUE(QFileInfo(Link(9)).isFile());
}

TEST_F(VirtualPort, ReadyOnlyWhileAProgramHoldsThePortAndNothingIsWrittenBefore) {
    TVirtualPortAx port;
    Collect(port);
    ASSERT_TRUE(port.CreatePort(QStringLiteral("COM3")));
    EXPECT_FALSE(port.Ready());
    const Bytes data = AllByteValues();
    EXPECT_EQ(port.Write(data.data(), int(data.size())), 0);
    {
        TProgram program(Link(3));
        EXPECT_TRUE(PumpUntil([&] { return port.Ready(); }));
        EXPECT_TRUE(NothingBefore(port, program)) << "nothing was kept from before";
    }
    EXPECT_TRUE(PumpUntil([&] { return !port.Ready(); }));
    EXPECT_EQ(port.Write(data.data(), int(data.size())), 0);
    EXPECT_TRUE(reports.empty());
}

TEST_F(VirtualPort, EveryByteValuePassesBothWaysWithoutEcho) {
    TVirtualPortAx port;
    Collect(port);
    ASSERT_TRUE(port.CreatePort(QStringLiteral("COM4")));
    const Bytes data = AllByteValues();
    for (int round = 0; round < 2; ++round) { // the second program finds the port as raw as the first
        received.clear();
        TProgram program(Link(4));
        ASSERT_TRUE(WaitWritable(port, program));
        program.Write(data);
        ASSERT_TRUE(PumpUntil([&] { return received.size() >= data.size(); }));
        EXPECT_EQ(received, data);
        EXPECT_EQ(port.Write(data.data(), int(data.size())), int(data.size()));
        EXPECT_EQ(program.Read(data.size()), data);
        EXPECT_TRUE(NothingBefore(port, program));
        program.Write({Mark}); // behind any echo of what the port wrote
        ASSERT_TRUE(PumpUntil([&] { return received.size() > data.size(); }));
        Bytes expected = data;
        expected.push_back(Mark);
        EXPECT_EQ(received, expected) << "nothing came back as an echo";
    }
}

TEST_F(VirtualPort, AProgramThatPurgesItsInputWhileSettingUpLosesNothing) {
    TVirtualPortAx port;
    ASSERT_TRUE(port.CreatePort(QStringLiteral("COM5")));
    TProgram program(Link(5));
    ASSERT_TRUE(PumpUntil([&] { return port.Ready(); }));
    const Bytes data = AllByteValues();
    EXPECT_EQ(port.Write(data.data(), int(data.size())), 0) << "the program is still setting the port up";
    program.Purge();
    int written = 0;
    EXPECT_TRUE(PumpUntil([&] { return (written = port.Write(data.data(), int(data.size()))) > 0; }));
    EXPECT_EQ(written, int(data.size()));
    EXPECT_EQ(program.Read(data.size()), data);
}

// A program that closes the port and opens it again at once: both arrive in one turn of the loop, so
// the control never sees the port not ready in between, and the reopen still gets its moment.
TEST_F(VirtualPort, EveryReopenGetsItsMomentHoweverItsEventsArrive) {
    TVirtualPortAx port;
    ASSERT_TRUE(port.CreatePort(QStringLiteral("COM13")));
    auto program = std::make_unique<TProgram>(Link(13));
    ASSERT_TRUE(WaitWritable(port, *program));
    const Bytes data = AllByteValues();
    program.reset();
    program = std::make_unique<TProgram>(Link(13));
    EXPECT_EQ(port.Write(data.data(), int(data.size())), 0) << "the program is setting the port up again";
    program->Purge();
    int written = 0;
    EXPECT_TRUE(PumpUntil([&] { return (written = port.Write(data.data(), int(data.size()))) > 0; }));
    EXPECT_EQ(written, int(data.size()));
    EXPECT_EQ(program->Read(data.size()), data);
}

// A pass over the ports asks the system for the programs' opens once, at its first port: a reopen
// before that is seen, one during the pass (nested passes included) only by the next pass or write.
TEST_F(VirtualPort, APassOverThePortsSeesTheOpensOfItsStart) {
    TVirtualPortAx early, late;
    ASSERT_TRUE(early.CreatePort(QStringLiteral("COM31")));
    ASSERT_TRUE(late.CreatePort(QStringLiteral("COM32")));
    auto earlyProgram = std::make_unique<TProgram>(Link(31));
    auto lateProgram = std::make_unique<TProgram>(Link(32));
    ASSERT_TRUE(WaitWritable(early, *earlyProgram));
    ASSERT_TRUE(WaitWritable(late, *lateProgram));
    const Bytes data = AllByteValues();
    const auto reopen = [this](std::unique_ptr<TProgram>& program, int n) {
        program.reset();
        program = std::make_unique<TProgram>(Link(n));
    };
    for (int round = 0; round < 2; ++round) {
        {
            const TPortPass pass;
            reopen(earlyProgram, 31);
            EXPECT_EQ(early.Write(data.data(), int(data.size())), 0) << "seen at the pass's first ask";
            reopen(lateProgram, 32);
            const TPortPass nested;
            EXPECT_EQ(late.Write(data.data(), int(data.size())), int(data.size())) << "not seen in the pass";
        }
        if (round == 0) {
            EXPECT_EQ(late.Write(data.data(), int(data.size())), 0) << "seen by the next write";
        } else {
            const TPortPass next;
            EXPECT_EQ(late.Write(data.data(), int(data.size())), 0) << "seen by the next pass";
        }
        ASSERT_TRUE(WaitWritable(early, *earlyProgram));
        ASSERT_TRUE(WaitWritable(late, *lateProgram));
        earlyProgram->Purge();
        lateProgram->Purge();
    }
}

// The ports share one queue of opens: a reopen taken from it by another port's write is still seen by
// the reopened port's next write, though the queue is empty by then.
TEST_F(VirtualPort, AReopenTakenFromTheQueueByAnotherPortIsStillSeen) {
    TVirtualPortAx first, second;
    ASSERT_TRUE(first.CreatePort(QStringLiteral("COM33")));
    ASSERT_TRUE(second.CreatePort(QStringLiteral("COM34")));
    auto firstProgram = std::make_unique<TProgram>(Link(33));
    auto secondProgram = std::make_unique<TProgram>(Link(34));
    ASSERT_TRUE(WaitWritable(first, *firstProgram));
    ASSERT_TRUE(WaitWritable(second, *secondProgram));
    const Bytes data = AllByteValues();
    ASSERT_EQ(second.Write(data.data(), int(data.size())), int(data.size()));
    secondProgram.reset();
    secondProgram = std::make_unique<TProgram>(Link(34));
    EXPECT_EQ(first.Write(data.data(), int(data.size())), int(data.size()));
    EXPECT_EQ(second.Write(data.data(), int(data.size())), 0) << "the program is setting the port up again";
}

// PC software finds the port by its link: removed, moved away or gone with its folder, it is made again
// while the port lives; the ports sharing the folder keep their watch when one of them goes, and each
// watches the folder that came again.
TEST_F(VirtualPort, ALinkRemovedWhileThePortLivesIsPublishedAgain) {
    TVirtualPortAx port, third;
    auto other = std::make_unique<TVirtualPortAx>();
    ASSERT_TRUE(port.CreatePort(QStringLiteral("COM14")));
    ASSERT_TRUE(other->CreatePort(QStringLiteral("COM15")));
    ASSERT_TRUE(third.CreatePort(QStringLiteral("COM16")));
    auto remove = [&](int n) { return ::unlink(QFile::encodeName(Link(n)).constData()) == 0; };
    auto published = [&](int n, const TVirtualPortAx& p) {
        return PumpUntil([&] { return QFileInfo(Link(n)).symLinkTarget() == p.SlavePath(); });
    };
    ASSERT_TRUE(remove(14));
    EXPECT_TRUE(published(14, port)) << "removed";
    other.reset();
    EXPECT_FALSE(QFileInfo(Link(15)).isSymLink());
    const QByteArray link = QFile::encodeName(Link(14));
    ASSERT_EQ(::rename(link.constData(), (link + ".old").constData()), 0);
    EXPECT_TRUE(published(14, port)) << "moved away";
    ASSERT_EQ(::unlink((link + ".old").constData()), 0);
    ASSERT_TRUE(remove(14) && remove(16));
    ASSERT_EQ(::rmdir(QFile::encodeName(ComFolder()).constData()), 0);
    EXPECT_TRUE(published(14, port) && published(16, third)) << "gone with their folder";
    for (const auto& [n, p] : {std::pair<int, TVirtualPortAx*>{14, &port}, {16, &third}}) {
        ASSERT_TRUE(remove(n));
        EXPECT_TRUE(published(n, *p)) << "COM" << n << ": the new folder is watched";
    }
    TProgram program(Link(14));
    EXPECT_TRUE(PumpUntil([&] { return port.Ready(); }));
}

TEST_F(VirtualPort, BytesOfAProgramThatClosedAreStillReported) {
    TVirtualPortAx port;
    Collect(port);
    ASSERT_TRUE(port.CreatePort(QStringLiteral("COM2")));
    {
        TProgram program(Link(2));
        program.Write({'a', 'b', 'c'});
    }
    ASSERT_TRUE(PumpUntil([&] { return received.size() == 3; }));
    EXPECT_EQ(received, (Bytes{'a', 'b', 'c'}));
}

TEST_F(VirtualPort, AFullPortTakesPartOfAWriteAndThenNothing) {
    TVirtualPortAx port;
    ASSERT_TRUE(port.CreatePort(QStringLiteral("COM10")));
    TProgram program(Link(10));
    Bytes sent;
    Bytes chunk(4096);
    bool shortWrite = false;
    for (int i = 0; i < 1000; ++i) {
        for (size_t k = 0; k < chunk.size(); ++k)
            chunk[k] = uint8_t(sent.size() + k);
        int n = 0;
        const auto write = [&] { return (n = port.Write(chunk.data(), int(chunk.size()))) > 0; };
        if (i == 0) // once the program has had its moment, with nothing written before
            ASSERT_TRUE(PumpUntil(write));
        else
            write();
        ASSERT_GE(n, 0);
        sent.insert(sent.end(), chunk.begin(), chunk.begin() + n);
        shortWrite = shortWrite || n < int(chunk.size());
        if (n == 0)
            break;
    }
    EXPECT_TRUE(shortWrite);
    EXPECT_EQ(port.Write(chunk.data(), 1), 0) << "full";
    EXPECT_EQ(program.Read(sent.size()), sent) << "every byte taken arrives, in order";
}

TEST_F(VirtualPort, AReportLeftUnreadHoldsTheNextUntilResumed) {
    TVirtualPortAx port;
    Collect(port, 100);
    ASSERT_TRUE(port.CreatePort(QStringLiteral("COM11")));
    TProgram program(Link(11));
    ASSERT_TRUE(PumpUntil([&] { return port.Ready(); }));
    Bytes data(1000);
    std::iota(data.begin(), data.end(), 0);
    program.Write(data);
    ASSERT_TRUE(PumpUntil([&] { return !reports.empty(); }));
    ASSERT_TRUE(PumpIdle());
    EXPECT_EQ(reports.size(), 1u) << "held";
    EXPECT_EQ(received.size(), 100u);
    port.ResumeRx();
    ASSERT_TRUE(PumpUntil([&] { return reports.size() == 2; }));
    EXPECT_EQ(reports[1], 900);
    EXPECT_EQ(received, Bytes(data.begin(), data.begin() + 200));
}

// The routing resumes every port at the end of its tick; one event from the loop serves them all, and
// a port deleted in between is passed over without holding up the others.
TEST_F(VirtualPort, PortsResumedTogetherAreEachServedOnce) {
    auto gone = std::make_unique<TVirtualPortAx>();
    TVirtualPortAx first, second;
    std::vector<int> counts(3);
    int port = 21;
    for (TVirtualPortAx* p : {gone.get(), &first, &second}) {
        p->OnRxChar = [&counts, i = port - 21](TVirtualPortAx* sender, int) {
            ++counts[size_t(i)];
            uint8_t byte;
            sender->Read(&byte, 1); // one at a time: the rest is held
        };
        ASSERT_TRUE(p->CreatePort(QStringLiteral("COM%1").arg(port++)));
    }
    TProgram a(Link(21)), b(Link(22)), c(Link(23));
    for (TProgram* program : {&a, &b, &c})
        program->Write(Bytes(10, 0x55));
    ASSERT_TRUE(PumpUntil([&] { return counts == std::vector<int>{1, 1, 1}; }));
    for (int round = 2; round <= 3; ++round) {
        for (TVirtualPortAx* p : {gone.get(), &first, &second})
            if (p)
                p->ResumeRx();
        if (round == 3)
            gone.reset();
        ASSERT_TRUE(PumpUntil([&] { return counts[1] == round && counts[2] == round; })) << round;
        ASSERT_TRUE(PumpIdle());
        EXPECT_EQ(counts, (std::vector<int>{2, round, round})) << "each resume reports once";
    }
}

TEST_F(VirtualPort, NoSpinningWhileNobodyHoldsThePort) {
    TVirtualPortAx port;
    Collect(port);
    ASSERT_TRUE(port.CreatePort(QStringLiteral("COM12")));
    {
        TProgram program(Link(12)); // held once, then hung up again
        ASSERT_TRUE(PumpUntil([&] { return port.Ready(); }));
    }
    ASSERT_TRUE(PumpUntil([&] { return !port.Ready(); }));
    const double before = CpuSeconds();
    PumpFor(300); // a spin shows only over time: no event marks that none happened
    EXPECT_LT(CpuSeconds() - before, 0.1);
}

} // namespace
