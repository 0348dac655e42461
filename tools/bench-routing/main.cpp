// bench-routing: application data routed between N simulated modems and programs on virtual COM ports.
//
//     bench-routing [modems] [seconds] [warm-up seconds]
//                                  (defaults: 256 modems, 10 seconds, 3 s warm-up; at most 256 modems)
//
// Each modem is the one member of a group whose base is a virtual COM port (COM1 ... COMN). The modems
// run in one child process, and each port has a child process of its own that holds it open, as PC
// software would; so the parent's CPU time and memory are the router's alone. For a fixed time every
// modem streams upstream and every program writes downstream, each as fast as the link or the port
// takes. The data is 16-byte records carrying their send time, so the receivers measure latency.
// Nothing is counted during the warm-up, while the modems' 64 KB transmit queues and the ports fill: the
// figures are those of the steady state that follows (the queues' fill at its start and end is printed).
// Printed: bytes routed per second each way, p50 and p99 latency each way, the router's CPU seconds
// (user and system) per routed megabyte and its main thread's busy share of one core, its resident
// memory and what each connection added to it, event-log bytes per routed kilobyte, and, in the same
// run, the CPU per megabyte of socat forwarding as many bytes from a TCP socket into a pty (the floor).
// A benchmark, not a test: build it without sanitizers.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <QTimer>

#include "core/DataFolder.h"
#include "core/MainForm.h"
#include "core/ObjectRegistry.h"
#include "core/Settings.h"
#include "dialogs/ObjSettingsDialog.h"
#include "dialogs/SettingsDialog.h"
#include "platform/Application.h"
#include "platform/Dialogs.h"
#include "platform/Shell.h"
#include "sessions/ConnectionForm.h"
#include "sessions/VirtualPorts.h"
#include "tools/bench-common/BenchSupport.h"
#include "tools/modem-sim/ModemClient.h"

namespace {

constexpr size_t RecordSize = 16;
constexpr uint32_t Magic = 0x52545242; // "BRTR"
constexpr int Buckets = 160;           // quarter octaves of microseconds

int64_t NowNs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

double Seconds(const timeval& t) {
    return double(t.tv_sec) + double(t.tv_usec) / 1e6;
}

// The process's CPU seconds in user and system mode, and the main thread's.
struct TCpu {
    double user = 0, system = 0, thread = 0;

    static TCpu Now() {
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        timespec t{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return {Seconds(usage.ru_utime), Seconds(usage.ru_stime), double(t.tv_sec) + double(t.tv_nsec) / 1e9};
    }
    TCpu operator-(const TCpu& o) const { return {user - o.user, system - o.system, thread - o.thread}; }
    double Total() const { return user + system; }
};

// What a receiver reports: bytes received in the window and a latency histogram. Written in one
// write, under PIPE_BUF, so the reports of many children do not mix.
struct TReport {
    int32_t upstream = 0; // 1: measured at a port (modem to program), 0: at the modems
    uint64_t bytes = 0;
    std::array<uint32_t, Buckets> histogram{};
};
static_assert(sizeof(TReport) < PIPE_BUF);

// The start and end of the window in which bytes are counted, sent to every child when the streams
// start (the warm-up before start is not counted).
struct TWindow {
    int64_t start = 0, end = 0;
};

// Records out of a byte stream that may be cut anywhere.
class TRecordReader {
public:
    void Take(const uint8_t* data, size_t n, int64_t now, TReport& report, const TWindow& w) {
        if (now >= w.start && now <= w.end)
            report.bytes += n;
        partial_.insert(partial_.end(), data, data + n);
        size_t at = 0;
        for (; at + RecordSize <= partial_.size(); at += RecordSize) {
            uint32_t magic;
            int64_t sent;
            std::memcpy(&magic, partial_.data() + at, 4);
            std::memcpy(&sent, partial_.data() + at + 8, 8);
            if (magic != Magic || sent < w.start || now < w.start || now > w.end)
                continue;
            const double us = std::max(1.0, double(now - sent) / 1000.0);
            report.histogram[size_t(std::clamp(int(std::log2(us) * 4), 0, Buckets - 1))]++;
        }
        partial_.erase(partial_.begin(), partial_.begin() + long(at));
    }

private:
    std::vector<uint8_t> partial_;
};

void FillRecords(uint8_t* out, size_t records, uint32_t& seq) {
    const int64_t now = NowNs();
    for (size_t i = 0; i < records; ++i) {
        std::memcpy(out + i * RecordSize, &Magic, 4);
        std::memcpy(out + i * RecordSize + 4, &seq, 4);
        std::memcpy(out + i * RecordSize + 8, &now, 8);
        ++seq;
    }
}

void Send(int fd, const void* data, size_t n) {
    if (::write(fd, data, n) != ssize_t(n))
        std::perror("bench-routing: pipe");
}

// Reads one window message; blocks.
TWindow AwaitWindow(int goPipe) {
    TWindow w;
    if (::read(goPipe, &w, sizeof w) != sizeof w)
        ::_exit(3);
    return w;
}

// A program on port n: opens its link once the router has made it, then writes records as fast as
// the port takes them and reads what comes.
[[noreturn]] void RunProgram(int n, const std::string& comFolder, int readyPipe, int goPipe, int resultPipe) {
    const std::string link = comFolder + "/COM" + std::to_string(n);
    int fd = -1;
    for (int i = 0; i < 60000 && fd < 0; ++i) {
        fd = ::open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            ::usleep(1000);
    }
    if (fd < 0)
        ::_exit(2);
    termios tio{};
    if (::tcgetattr(fd, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::tcsetattr(fd, TCSANOW, &tio);
    }
    const char ready = 'p';
    Send(readyPipe, &ready, 1);
    const TWindow w = AwaitWindow(goPipe);
    TReport report;
    report.upstream = 1;
    TRecordReader reader;
    uint8_t out[4096];
    size_t outAt = sizeof out, outEnd = sizeof out;
    uint32_t seq = 0;
    uint8_t in[8192];
    while (NowNs() < w.end) {
        pollfd p{fd, POLLIN | POLLOUT, 0};
        ::poll(&p, 1, 20);
        if (p.revents & POLLOUT) {
            if (outAt == outEnd) {
                FillRecords(out, sizeof out / RecordSize, seq);
                outAt = 0;
            }
            const ssize_t k = ::write(fd, out + outAt, outEnd - outAt);
            if (k > 0)
                outAt += size_t(k);
        }
        if (p.revents & POLLIN) {
            const ssize_t k = ::read(fd, in, sizeof in);
            if (k > 0)
                reader.Take(in, size_t(k), NowNs(), report, w);
        }
    }
    Send(resultPipe, &report, sizeof report);
    ::_exit(0);
}

// The modems: connect all, then stream records upstream and read what comes downstream.
[[noreturn]] void RunModems(int modems, int portPipe, int readyPipe, int goPipe, int resultPipe) {
    uint16_t port = 0;
    if (::read(portPipe, &port, sizeof port) != sizeof port)
        ::_exit(1);
    RaiseDescriptorLimit();
    modemsim::ModemPool pool("127.0.0.1", port);
    for (int id = 1; id <= modems; ++id) {
        modemsim::ModemConfig config;
        config.id = uint16_t(id);
        config.seed = uint64_t(id);
        pool.Add(config);
    }
    pool.OpenAll();
    if (!pool.RunUntil([&] { return pool.CountReady() == pool.Size(); }, 120'000))
        ::_exit(2);
    const char ready = 'm';
    Send(readyPipe, &ready, 1);
    // Keep the links alive while the programs open their ports.
    ::fcntl(goPipe, F_SETFL, ::fcntl(goPipe, F_GETFL) | O_NONBLOCK);
    TWindow w;
    while (::read(goPipe, &w, sizeof w) != sizeof w)
        pool.Poll(5);
    TReport report;
    std::vector<TRecordReader> readers(static_cast<size_t>(modems));
    std::vector<uint32_t> seq(static_cast<size_t>(modems));
    uint8_t out[2048];
    while (NowNs() < w.end) {
        pool.Poll(2);
        const int64_t now = NowNs();
        for (size_t i = 0; i < pool.Size(); ++i) {
            modemsim::ModemSim& m = pool.Modem(i);
            if (!m.ReceivedData().empty()) {
                readers[i].Take(m.ReceivedData().data(), m.ReceivedData().size(), now, report, w);
                m.ClearReceivedData();
            }
            if (m.PendingData() < sizeof out) {
                FillRecords(out, sizeof out / RecordSize, seq[i]);
                m.QueueData(out, sizeof out, modemsim::MonotonicMs());
            }
        }
    }
    Send(resultPipe, &report, sizeof report);
    ::_exit(0);
}

double Percentile(const std::array<uint64_t, Buckets>& histogram, double share) {
    uint64_t total = 0;
    for (uint64_t c : histogram)
        total += c;
    uint64_t seen = 0;
    for (int b = 0; b < Buckets; ++b) {
        seen += histogram[size_t(b)];
        if (total > 0 && double(seen) >= share * double(total))
            return std::exp2((b + 0.5) / 4.0) / 1000.0; // milliseconds, the bucket's middle
    }
    return 0;
}

// p50 and p99; a record that waits behind full 64 KB queues may take longer than the window.
std::string LatencyText(const std::array<uint64_t, Buckets>& histogram) {
    uint64_t total = 0;
    for (uint64_t c : histogram)
        total += c;
    if (total == 0)
        return "no record sent in the window arrived in it";
    char text[96];
    std::snprintf(text, sizeof text, "p50 %.1f ms, p99 %.1f ms", Percentile(histogram, 0.5),
                  Percentile(histogram, 0.99));
    return text;
}

// The floor: socat forwarding bytes bytes from a TCP socket into a pty; its CPU seconds.
double SocatFloor(uint64_t bytes, const std::string& folder) {
    const std::string link = folder + "/floor";
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    const int port = ntohs(address.sin_port);
    ::close(listener); // a free port for socat to listen on
    const std::string listen = "TCP-LISTEN:" + std::to_string(port) + ",bind=127.0.0.1,reuseaddr";
    const std::string pty = "PTY,link=" + link + ",raw,echo=0";
    const pid_t socat = ::fork();
    if (socat == 0) {
        ::execlp("socat", "socat", "-u", listen.c_str(), pty.c_str(), nullptr);
        ::_exit(127);
    }
    // The writer holds its connection until everything was read: socat's end would hang the pty up
    // and drop what it still holds.
    int done[2];
    if (::pipe(done) != 0)
        return 0;
    const pid_t writer = ::fork();
    if (writer == 0) {
        ::close(done[1]);
        int fd = -1;
        for (int i = 0; i < 5000 && fd < 0; ++i) {
            fd = ::socket(AF_INET, SOCK_STREAM, 0);
            if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
                ::close(fd);
                fd = -1;
                ::usleep(1000);
            }
        }
        std::vector<uint8_t> block(65536, 0x5A);
        for (uint64_t sent = 0; fd >= 0 && sent < bytes;) {
            const ssize_t k =
                ::write(fd, block.data(), size_t(std::min<uint64_t>(block.size(), bytes - sent)));
            if (k <= 0)
                break;
            sent += uint64_t(k);
        }
        char end;
        while (::read(done[0], &end, 1) > 0) {
        }
        ::_exit(0);
    }
    ::close(done[0]);
    int fd = -1;
    for (int i = 0; i < 5000 && fd < 0; ++i) {
        fd = ::open(link.c_str(), O_RDONLY | O_NOCTTY);
        if (fd < 0)
            ::usleep(1000);
    }
    uint64_t got = 0;
    std::vector<uint8_t> in(65536);
    while (fd >= 0 && got < bytes) {
        const ssize_t k = ::read(fd, in.data(), in.size());
        if (k <= 0)
            break;
        got += uint64_t(k);
    }
    ::close(done[1]);
    ::waitpid(writer, nullptr, 0);
    int status = 0;
    rusage usage{};
    ::wait4(socat, &status, 0, &usage);
    if (fd >= 0)
        ::close(fd);
    if (got < bytes)
        std::fprintf(stderr, "bench-routing: socat delivered %llu of %llu bytes\n", (unsigned long long)got,
                     (unsigned long long)bytes);
    return Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
}

// How full the modems' transmit queues are, in per cent of their 64 KB together.
double QueueFill() {
    uint64_t fill = 0;
    for (const auto& o : ObjectList)
        fill += o->AppBuf->TxFill;
    return ObjectList.empty() ? 0.0
                              : 100.0 * double(fill) / (double(AppBufTxSize) * double(ObjectList.size()));
}

uint64_t FileSize(const std::string& path) {
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    return error ? 0 : uint64_t(size);
}

} // namespace

int main(int argc, char** argv) {
    const int modems = argc > 1 ? std::atoi(argv[1]) : 256;
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 10;
    const int warmUp = argc > 3 ? std::atoi(argv[3]) : 3;
    if (modems < 1 || modems > 256 || seconds < 1 || warmUp < 0) {
        std::fprintf(stderr, "usage: bench-routing [modems 1-256] [seconds] [warm-up seconds]\n");
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    RaiseDescriptorLimit();
    // Removed last: the forms still write into it as they go.
    const TBenchFolder folder("bench-routing");
    if (folder.Path().empty())
        return 1;
    ::setenv("XDG_DATA_HOME", folder.Path().c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", folder.Path().c_str(), 1);
    const std::string comFolder = ComFolder().toStdString();

    int portPipe[2], readyPipe[2], goPipe[2], resultPipe[2];
    if (::pipe(portPipe) != 0 || ::pipe(readyPipe) != 0 || ::pipe(goPipe) != 0 || ::pipe(resultPipe) != 0)
        return 1;
    // The children first, before the router has a thread or a window.
    std::vector<pid_t> children;
    for (int n = 0; n <= modems; ++n) {
        const pid_t child = ::fork();
        if (child < 0)
            return 1;
        if (child == 0) {
            ::close(readyPipe[0]);
            ::close(resultPipe[0]);
            ::close(goPipe[1]);
            if (n == 0)
                RunModems(modems, portPipe[0], readyPipe[1], goPipe[0], resultPipe[1]);
            RunProgram(n, comFolder, readyPipe[1], goPipe[0], resultPipe[1]);
        }
        children.push_back(child);
    }
    ::close(portPipe[0]);
    ::close(readyPipe[1]);
    ::close(goPipe[0]);
    ::close(resultPipe[1]);

    // The router, its windows offscreen; the frame trace goes nowhere.
    if (!std::getenv("QT_QPA_PLATFORM"))
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    Trace_SetSink(Trace_Discard);
    TApplication app(argc, argv);
    TPrintedDialogs boxes("bench-routing");
    SetDialogService(&boxes);
    TSettingsDialog settings;
    SettingsDialog = &settings;
    AppSettings->TcpPort = 0;
    AppSettings->LogSizeMB = 99; // no rotation during the run
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
        auto group = std::make_unique<TReceiver>();
        group->Name = "COM" + std::to_string(id);
        group->BaseKind = TReceiver::bkComPort;
        group->BaseID = id - 1;
        group->Members = {uint32_t(id)};
        CreateVirtualPort(*AppSettings->Receivers.emplace_back(std::move(group)));
    }
    main.PrepareKeys();
    connection.OpenPort();
    const uint16_t port = uint16_t(connection.ServerSocket.LocalPort());
    if (port == 0)
        return 1;
    const std::string logFile = AppDataFolder + "EventLog.txt";

    int ready = 0, reports = 0;
    TWindow window;
    TCpu cpu0, cpu1;
    uint64_t log0 = 0, log1 = 0;
    double fill0 = 0, fill1 = 0;
    long rss = 0, rssUnconnected = 0, rssConnected = 0;
    // The modems connect once the router has settled, so that the memory they add can be told.
    QTimer::singleShot(500, [&] {
        rssUnconnected = ResidentKB();
        if (::write(portPipe[1], &port, sizeof port) != sizeof port)
            app.exit(1);
    });
    uint64_t bytes[2] = {};
    std::array<uint64_t, Buckets> latency[2] = {};
    // The figures are taken when the window ends; the run ends once they are and every report is in
    // (or no more can come).
    bool reportsDone = false;
    QTimer end;
    end.setSingleShot(true);
    end.setTimerType(Qt::PreciseTimer);
    QObject::connect(&end, &QTimer::timeout, [&] {
        cpu1 = TCpu::Now();
        log1 = FileSize(logFile);
        fill1 = QueueFill();
        rss = ResidentKB();
        if (reportsDone)
            app.quit();
    });
    QTimer begin;
    begin.setSingleShot(true);
    begin.setTimerType(Qt::PreciseTimer);
    QObject::connect(&begin, &QTimer::timeout, [&] {
        cpu0 = TCpu::Now();
        log0 = FileSize(logFile);
        fill0 = QueueFill();
        // For a profiler to attach to the window alone.
        std::fprintf(stderr, "bench-routing: counting from now for %d s (process %d)\n", seconds,
                     int(::getpid()));
    });
    QSocketNotifier readies(readyPipe[0], QSocketNotifier::Read);
    QObject::connect(&readies, &QSocketNotifier::activated, [&] {
        char c[512];
        const ssize_t n = ::read(readyPipe[0], c, sizeof c);
        ready += int(std::max<ssize_t>(n, 0));
        if (n <= 0 || ready < modems + 1)
            return;
        readies.setEnabled(false);
        rssConnected = ResidentKB();
        window.start = NowNs() + int64_t(warmUp) * 1'000'000'000;
        window.end = window.start + int64_t(seconds) * 1'000'000'000;
        for (int i = 0; i <= modems; ++i)
            Send(goPipe[1], &window, sizeof window);
        begin.start(warmUp * 1000);
        end.start((warmUp + seconds) * 1000);
    });
    QSocketNotifier results(resultPipe[0], QSocketNotifier::Read);
    QObject::connect(&results, &QSocketNotifier::activated, [&] {
        TReport r;
        if (::read(resultPipe[0], &r, sizeof r) != sizeof r) {
            results.setEnabled(false);
            reportsDone = true;
        } else {
            bytes[r.upstream] += r.bytes;
            for (int b = 0; b < Buckets; ++b)
                latency[r.upstream][size_t(b)] += r.histogram[size_t(b)];
            reportsDone = ++reports == modems + 1;
        }
        if (reportsDone && !end.isActive())
            app.quit();
    });
    app.exec();
    int failed = 0;
    for (pid_t child : children) {
        int status = 0;
        ::waitpid(child, &status, 0);
        failed += !(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    connection.ClosePort(false);

    const double routedMB = double(bytes[0] + bytes[1]) / 1e6;
    const TCpu used = cpu1 - cpu0;
    const double cpu = used.Total();
    const double socatCpu = SocatFloor(bytes[0] + bytes[1], folder.Path());
    const double socatPerMB = routedMB > 0 ? socatCpu / routedMB : 0;
    const double routerPerMB = routedMB > 0 ? cpu / routedMB : 0;
    std::printf("bench-routing: %d modems, each the member of a group whose base is a virtual COM port, %d s "
                "after %d s of warm-up\n",
                modems, seconds, warmUp);
    std::printf("  modems' transmit queues %.0f %% full when counting started, %.0f %% when it ended\n",
                fill0, fill1);
    std::printf(
        "  routed upstream (modems to ports): %.0f bytes/s; downstream (ports to modems): %.0f bytes/s\n",
        double(bytes[1]) / seconds, double(bytes[0]) / seconds);
    std::printf("  latency upstream: %s; downstream: %s\n", LatencyText(latency[1]).c_str(),
                LatencyText(latency[0]).c_str());
    std::printf(
        "  router CPU: %.3f s (user %.3f, system %.3f), %.4f s per routed MB; main thread busy %.2f %% "
        "of one core\n",
        cpu, used.user, used.system, routerPerMB, 100.0 * used.thread / seconds);
    std::printf(
        "  router resident memory: %ld KB; per connection %.1f KB (%ld KB before the modems connected, "
        "%ld KB once all were)\n",
        rss, double(rssConnected - rssUnconnected) / modems, rssUnconnected, rssConnected);
    std::printf("  event log: %llu bytes, %.1f bytes per routed KB\n", (unsigned long long)(log1 - log0),
                routedMB > 0 ? double(log1 - log0) / (routedMB * 1000.0) : 0.0);
    std::printf(
        "  CPU per routed MB: router %.4f s, socat forwarding the same %.3f MB from TCP into a pty %.4f s "
        "(%.3f s CPU): router/socat %.1fx\n",
        routerPerMB, routedMB, socatPerMB, socatCpu, socatPerMB > 0 ? routerPerMB / socatPerMB : 0.0);
    if (failed)
        std::printf("  %d helper processes failed\n", failed);

    AppSettings->Receivers.clear();
    ObjectList.clear();
    ConnectionForm = nullptr;
    ObjSettingsDialog = nullptr;
    MainForm = nullptr;
    SettingsDialog = nullptr;
    return failed == 0 ? 0 : 1;
}
