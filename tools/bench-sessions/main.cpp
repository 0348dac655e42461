// bench-sessions: N simulated modems against the router's real session manager on loopback.
//
//     bench-sessions [--idle] [--port P] [--delay MS] [modems] [seconds]   (defaults: 256, 10)
//
// --port: the router listens there (else on a free port); --delay: the modems connect so many ms after
// the router opened (else 1200), for a flood of other peers to come first (flood.py beside this).
//
// The modems run in a child process, so that the parent's CPU time and resident memory are the
// router's alone. The router first runs its timers for a moment with every object in place, as a
// router that has been running does when its fleet reconnects; then all N modems connect at once (a
// reconnect storm). Once every modem is authenticated, the router asks each connected object for its
// hardware information every second and sends it a block of application data, which the modem sends
// back; the router's routing takes what arrives (the objects are in no group, so it is dropped). At
// the end it prints the time for all N to connect and authenticate, the frames exchanged, the
// application data each way as the modems counted it, the router's CPU seconds per thousand frames
// and its resident memory per connection. With --idle nothing is asked or routed: the router only
// runs its timers (the links' 500 ms timer, the idle check, the main window's 500 ms refresh of the
// hidden window) for the given time, and the share of one core that it used is printed. A benchmark,
// not a test: build it without sanitizers.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sched.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <QTimer>

#include "core/MainForm.h"
#include "core/ObjectRegistry.h"
#include "core/Settings.h"
#include "dialogs/ObjSettingsDialog.h"
#include "dialogs/SettingsDialog.h"
#include "platform/Application.h"
#include "sessions/ConnectionForm.h"
#include "tools/bench-common/BenchSupport.h"
#include "tools/modem-sim/ModemClient.h"

namespace {

constexpr int DataBlock = 64;
constexpr int CycleMs = 1000;
int SettleMs = 1200; // the routing's and the links' 500 ms timers run twice before the storm

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void WriteLine(int fd, const std::string& line) {
    const std::string text = line + "\n";
    if (::write(fd, text.data(), text.size()) < 0)
        std::perror("bench-sessions: write");
}

// What the modems counted: frames both ways, application data from the router, and their own data
// that the router took (acknowledged).
struct TCounts {
    uint64_t frames = 0, dataIn = 0, dataTaken = 0;
};

TCounts Counts(modemsim::ModemPool& pool) {
    TCounts n;
    for (size_t i = 0; i < pool.Size(); ++i) {
        const modemsim::ModemStats& stats = pool.Modem(i).Stats();
        n.frames += stats.framesIn + stats.framesOut;
        n.dataIn += stats.dataBytesIn;
        n.dataTaken += stats.dataBytesAcked;
    }
    return n;
}

// The modems: connect all, report the time, echo the router's data for the given time, report what
// they counted in that time.
[[noreturn]] void RunModems(int portPipe, int resultPipe, int modems, int seconds) {
    uint16_t port = 0;
    if (::read(portPipe, &port, sizeof port) != sizeof port)
        ::_exit(1);
    RaiseDescriptorLimit();
    // The modems' own CPU is not the router's: a router pinned to a shared core leaves them out.
    cpu_set_t all;
    CPU_ZERO(&all);
    for (int i = 0; i < CPU_SETSIZE; ++i)
        CPU_SET(i, &all);
    sched_setaffinity(0, sizeof all, &all);
    modemsim::ModemPool pool("127.0.0.1", port);
    // As a fleet comes from many addresses: from one, connects slow down past some 14 000.
    std::vector<std::string> sources;
    for (int k = 2; k <= 9; ++k)
        sources.push_back("127.0.0." + std::to_string(k));
    pool.SetSourceAddresses(std::move(sources));
    for (int id = 1; id <= modems; ++id) {
        modemsim::ModemConfig config;
        config.id = uint16_t(id);
        config.seed = uint64_t(id);
        pool.Add(config);
    }
    const uint32_t start = modemsim::MonotonicMs();
    pool.OpenAll();
    const bool ready = pool.RunUntil([&] { return pool.CountReady() == pool.Size(); }, 120'000);
    const uint32_t connectMs = modemsim::MonotonicMs() - start;
    WriteLine(resultPipe, "ready " + std::to_string(connectMs) + " " + std::to_string(pool.CountReady()) +
                              " " + std::to_string(pool.ClosedCount()));
    if (!ready)
        ::_exit(2);
    const TCounts before = Counts(pool);
    const uint32_t end = modemsim::MonotonicMs() + uint32_t(seconds) * 1000;
    while (int32_t(end - modemsim::MonotonicMs()) > 0) {
        pool.Poll(5);
        const uint32_t now = modemsim::MonotonicMs();
        for (size_t i = 0; i < pool.Size(); ++i) {
            modemsim::ModemSim& m = pool.Modem(i);
            if (!m.ReceivedData().empty() && m.PendingData() == 0) {
                m.QueueData(m.ReceivedData().data(), m.ReceivedData().size(), now);
                m.ClearReceivedData();
            }
        }
    }
    const TCounts after = Counts(pool);
    // What the modems received and did not have taken back yet: echoed and not acknowledged by the
    // router (in flight or waiting in their queues), or not echoed yet.
    uint64_t queued = 0, unechoed = 0;
    for (size_t i = 0; i < pool.Size(); ++i) {
        queued += pool.Modem(i).PendingData();
        unechoed += pool.Modem(i).ReceivedData().size();
    }
    WriteLine(resultPipe,
              "done " + std::to_string(after.frames - before.frames) + " " +
                  std::to_string(pool.CountReady()) + " " + std::to_string(after.dataIn - before.dataIn) +
                  " " + std::to_string(after.dataTaken - before.dataTaken) + " " + std::to_string(queued) +
                  " " + std::to_string(unechoed) + " " + std::to_string(before.dataIn - before.dataTaken));
    ::_exit(0);
}

// The router's side of the cycles: what the main window's hardware-information timer and the group
// routing would ask of the session manager.
void Cycle() {
    static const uint8_t block[DataBlock] = {1, 2, 3, 4, 5, 6, 7, 8};
    for (const auto& o : ObjectList) {
        if (!o->Connected)
            continue;
        ConnectionForm->QueryHwInfo(o->ObjectNumber);
        AppBuf_Push(o->AppBuf.get(), block, DataBlock);
        ConnectionForm->SendData(o.get());
    }
}

struct TResults {
    long connectMs = -1;
    long frames = 0;
    long dataOut = 0, dataBack = 0;
    long readyAtStart = 0, readyAtEnd = 0;
    long closedAtStart = 0; // connections the router ended before every modem was authenticated
    long queued = 0, unechoed = 0, backlogBefore = 0;
    double cpuStart = 0, cpuEnd = 0;
    long rssBefore = 0, rssConnected = 0;
};

// A storm that did not end with every modem authenticated is said so, and nothing after it is measured.
bool PrintStorm(const TResults& r, int modems) {
    if (r.readyAtStart == modems)
        return true;
    std::printf("bench-sessions: NOT ALL AUTHENTICATED: %ld of %d modems after %ld ms; the router closed %ld "
                "connections of them before they were authenticated\n",
                r.readyAtStart, modems, r.connectMs, r.closedAtStart);
    return false;
}

void PrintIdle(const TResults& r, int modems, int seconds) {
    if (!PrintStorm(r, modems))
        return;
    std::printf("bench-sessions: %d modems connected, %d s with nothing to route\n", modems, seconds);
    std::printf("  all connected and authenticated in %ld ms (%ld of %d)\n", r.connectMs, r.readyAtStart,
                modems);
    std::printf("  frames exchanged meanwhile: %ld, modems still authenticated at the end: %ld\n", r.frames,
                r.readyAtEnd);
    const double cpu = r.cpuEnd - r.cpuStart;
    std::printf("  router CPU: %.4f s in %d s, %.3f %% of one core (goals: under 0.2 %% with 256 modems, "
                "under 1 %% with 10 000)\n",
                cpu, seconds, cpu * 100.0 / seconds);
}

void Print(const TResults& r, int modems, int seconds) {
    if (!PrintStorm(r, modems))
        return;
    std::printf("bench-sessions: %d modems, %d s of request/answer and data cycles\n", modems, seconds);
    std::printf(
        "  all connected and authenticated in %ld ms (%ld of %d; goals: 10 000 about 1 s, 19 000 under "
        "4 s)\n",
        r.connectMs, r.readyAtStart, modems);
    std::printf("  frames exchanged: %ld (%.0f per second), modems still authenticated at the end: %ld\n",
                r.frames, double(r.frames) / seconds, r.readyAtEnd);
    const double cpu = r.cpuEnd - r.cpuStart;
    std::printf("  application data: %ld bytes to the modems, %ld bytes back from the modems taken by the "
                "router\n",
                r.dataOut, r.dataBack);
    // Every byte: what came back and was taken, less what was owed from before the run, plus what
    // the modems still held at its end, is what they received; the rest is lost.
    const long owed = r.backlogBefore, held = r.queued + r.unechoed;
    std::printf("    at the end %ld bytes were in the modems' queues, echoed and not yet acknowledged by the "
                "router (in flight or waiting), and %ld received and not echoed yet; %ld were owed from "
                "before; lost: %ld\n",
                r.queued, r.unechoed, owed, r.dataOut + owed - r.dataBack - held);
    std::printf("  router CPU: %.3f s, %.4f s per 1000 frames\n", cpu,
                r.frames > 0 ? cpu * 1000.0 / double(r.frames) : 0.0);
    std::printf("  router resident memory: %ld KB before, %ld KB connected, %.1f KB per connection (goal: "
                "no more than 20.5 KB)\n",
                r.rssBefore, r.rssConnected, double(r.rssConnected - r.rssBefore) / modems);
}

} // namespace

int main(int argc, char** argv) {
    bool idle = false;
    int listenPort = 0;
    int first = 1;
    for (; first < argc && std::strncmp(argv[first], "--", 2) == 0; ++first) {
        if (std::strcmp(argv[first], "--idle") == 0)
            idle = true;
        else if (std::strcmp(argv[first], "--port") == 0 && first + 1 < argc)
            listenPort = std::atoi(argv[++first]);
        else if (std::strcmp(argv[first], "--delay") == 0 && first + 1 < argc)
            SettleMs = std::atoi(argv[++first]);
    }
    const int modems = argc > first ? std::atoi(argv[first]) : 256;
    const int seconds = argc > first + 1 ? std::atoi(argv[first + 1]) : 10;
    if (modems < 1 || modems > 65535 || seconds < 1) {
        std::fprintf(stderr, "usage: bench-sessions [--idle] [modems 1-65535] [seconds]\n");
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    RaiseDescriptorLimit();
    int portPipe[2], resultPipe[2];
    if (::pipe(portPipe) != 0 || ::pipe(resultPipe) != 0)
        return 1;
    const pid_t child = ::fork();
    if (child < 0)
        return 1;
    if (child == 0) {
        ::close(portPipe[1]);
        ::close(resultPipe[0]);
        RunModems(portPipe[0], resultPipe[1], modems, seconds);
    }
    ::close(portPipe[0]);
    ::close(resultPipe[1]);

    // The router: its data folder in a fresh temporary folder, its windows offscreen.
    const TBenchFolder folder("bench-sessions");
    if (folder.Path().empty())
        return 1;
    ::setenv("XDG_DATA_HOME", folder.Path().c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", folder.Path().c_str(), 1);
    if (!std::getenv("QT_QPA_PLATFORM"))
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    // The frame trace goes nowhere, as to a standard output that nobody reads.
    Trace_SetSink(Trace_Discard);
    TApplication app(argc, argv);
    TSettingsDialog settings;
    SettingsDialog = &settings;
    AppSettings->TcpPort = listenPort;
    TMainForm main;
    MainForm = &main;
    TObjSettingsDialog profile;
    ObjSettingsDialog = &profile;
    TConnectionForm connection;
    ConnectionForm = &connection;
    for (int id = 1; id <= modems; ++id) {
        auto object = std::make_unique<TObjectStates>();
        object->ObjectNumber = id;
        object->ModemID = id;
        ObjectList.push_back(std::move(object));
    }
    main.FillObjectsGrid();
    main.PrepareKeys();
    connection.OpenPort();
    const uint16_t port = uint16_t(connection.ServerSocket.LocalPort());
    if (port == 0)
        return 1;

    TResults results;
    QTimer::singleShot(SettleMs, [&] {
        results.rssBefore = ResidentKB();
        if (::write(portPipe[1], &port, sizeof port) != sizeof port)
            app.quit();
    });
    QTimer cycle;
    cycle.setInterval(CycleMs);
    QObject::connect(&cycle, &QTimer::timeout, [] { Cycle(); });
    std::string pending;
    QSocketNotifier fromModems(resultPipe[0], QSocketNotifier::Read);
    QObject::connect(&fromModems, &QSocketNotifier::activated, [&] {
        char buffer[256];
        const ssize_t n = ::read(resultPipe[0], buffer, sizeof buffer);
        if (n <= 0) {
            app.quit();
            return;
        }
        pending.append(buffer, size_t(n));
        for (size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
            const std::string line = pending.substr(0, end);
            if (std::sscanf(line.c_str(), "ready %ld %ld %ld", &results.connectMs, &results.readyAtStart,
                            &results.closedAtStart) == 3) {
                results.rssConnected = ResidentKB();
                results.cpuStart = CpuSeconds();
                if (idle) {
                    main.SinceTimer.SetEnabled(true); // as after the start-up, the window hidden
                } else {
                    Cycle();
                    cycle.start();
                }
            } else if (std::sscanf(line.c_str(), "done %ld %ld %ld %ld %ld %ld %ld", &results.frames,
                                   &results.readyAtEnd, &results.dataOut, &results.dataBack, &results.queued,
                                   &results.unechoed, &results.backlogBefore) == 7) {
                results.cpuEnd = CpuSeconds();
                app.quit();
            }
        }
    });
    app.exec();
    cycle.stop();
    int status = 0;
    ::waitpid(child, &status, 0);
    connection.ClosePort(false);
    if (idle)
        PrintIdle(results, modems, seconds);
    else
        Print(results, modems, seconds);
    ObjectList.clear();
    ConnectionForm = nullptr;
    ObjSettingsDialog = nullptr;
    MainForm = nullptr;
    SettingsDialog = nullptr;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}
