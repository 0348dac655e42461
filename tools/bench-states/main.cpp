// bench-states: the router's start-up and its saving of "States.bin" with many objects.
//
//     bench-states [objects] [runs]        (defaults: 1000 objects, 10 runs)
//
// Writes a "States.bin" of N objects (names, phones and keys filled in, no groups) into a fresh data
// folder, then:
// - starts the router program (app/router of the same build, or $ROUTER_PROGRAM) on that folder,
//   offscreen, as many times as runs, and measures the time from the start until its TCP port accepts a
//   connection (the server opens 100 ms after the main window first shows, by design), then ends it;
// - reads the file as the start-up does and saves it as the idle log timer does, runs times each, in
//   this process with the router's own code, and measures the reading, the saving's share of the main
//   thread (its snapshot), the time until the writer's thread had written it, and the writing of the
//   file alone.
// - parses a "Calibrate.ini" of 80,000 sections with the INI reader, loads it into its tables as the
//   start-up does, and reads a `tapi/lines` of 80,000 lines as a telephony registration does, runs
//   times each, in a folder of their own that the started router does not see.
// Prints the median and the largest of each beside its goal (start-up to listening under 1 s, the
// reading under 500 ms, a save's share of the main thread under 50 ms, the 80,000 sections under
// 100 ms). A benchmark, not a test: build it without sanitizers.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>

#include "core/Calibration.h"
#include "core/DataFolder.h"
#include "core/StateFile.h"
#include "core/StatesWriter.h"
#include "platform/Cp1251.h"
#include "platform/IniFile.h"
#include "platform/Tapi.h"
#include "tools/bench-common/BenchSupport.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

struct TFigures {
    std::vector<double> Ms;
    void Add(double ms) { Ms.push_back(ms); }
    double Median() {
        std::sort(Ms.begin(), Ms.end());
        return Ms.empty() ? 0.0 : Ms[Ms.size() / 2];
    }
    double Max() const { return Ms.empty() ? 0.0 : *std::max_element(Ms.begin(), Ms.end()); }
};

void MakeObjects(int count, TObjectList& objects) {
    for (int i = 0; i < count; ++i) {
        auto o = std::make_unique<TObjectStates>();
        o->ObjectNumber = i + 1;
        o->ModemID = i + 1;
        o->Name = ToCp1251(QStringLiteral("Объект №%1, насосная станция").arg(i + 1));
        o->Phone = "+7916" + std::to_string(1000000 + i);
        o->Password = MakePassword("Key" + std::to_string(100000000000 + i));
        o->LastDataTime = 45000.0 + i;
        objects.push_back(std::move(o));
    }
}

bool Accepts(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return connected;
}

constexpr double RouterEnded = -1, NoPortInTime = -2;

// Starts the router on the data folder; the time until its port accepts, or RouterEnded or NoPortInTime.
double StartUpMs(const char* program, const std::string& home, uint16_t port) {
    const Clock::time_point start = Clock::now();
    const pid_t router = ::fork();
    if (router == 0) {
        ::setenv("XDG_DATA_HOME", home.c_str(), 1);
        ::setenv("XDG_RUNTIME_DIR", home.c_str(), 1);
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        ::execl(program, program, nullptr);
        ::_exit(127);
    }
    if (router < 0)
        return RouterEnded; // never started
    double ms = NoPortInTime;
    while (Ms(Clock::now() - start) < 30'000) {
        if (Accepts(port)) {
            ms = Ms(Clock::now() - start);
            break;
        }
        if (::waitpid(router, nullptr, WNOHANG) == router)
            return RouterEnded;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    ::kill(router, SIGKILL);
    ::waitpid(router, nullptr, 0);
    return ms;
}

constexpr int ParsedEntries = 80'000;

bool WriteText(const std::string& path, const std::string& text) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    const bool written = file && std::fwrite(text.data(), 1, text.size(), file) == text.size();
    return file && std::fclose(file) == 0 && written;
}

// One section per modem ID and input, as a fleet's calibration would be written: two points each.
std::string CalibrationFile() {
    std::string text;
    for (int i = 0; i < ParsedEntries; ++i)
        text += "[Tank=" + std::to_string(i / 8 + 1) + "-" + std::to_string(i % 8 + 1) +
                "]\n0=0\n255=" + std::to_string(i % 100) + ",5\n";
    return text;
}

std::string LinesFile() {
    std::string text;
    for (int i = 0; i < ParsedEntries; ++i)
        text += "GSM modem " + std::to_string(i) + "=/dev/ttyUSB" + std::to_string(i % 8) + "\n";
    return text;
}

void IgnoreLineEvent(DWORD, DWORD, DWORD_PTR, DWORD_PTR, DWORD_PTR, DWORD_PTR) {}

// Reads the lines file as a registration does; the count of lines, or -1.
long ReadTapiLines() {
    HLINEAPP app = 0;
    DWORD lines = 0;
    if (lineInitialize(&app, 0, IgnoreLineEvent, "bench-states", &lines) != 0)
        return -1;
    lineShutdown(app);
    return long(lines);
}

} // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 10;
    if (count < 0 || runs < 1) {
        std::fprintf(stderr, "usage: bench-states [objects] [runs]\n");
        return 2;
    }
    const char* program = std::getenv("ROUTER_PROGRAM") ? std::getenv("ROUTER_PROGRAM") : ROUTER_PROGRAM;
    const TBenchFolder home("bench-states");
    if (home.Path().empty())
        return 1;
    const std::string folder = home.Path() + "/Kolvar/Vostrane/";
    std::filesystem::create_directories(folder);
    StatesFileName = folder + "States.bin";

    TSettings settings;
    const TReservedPort port; // for every start: nothing else binds it between two
    settings.TcpPort = port.Port();
    TObjectList objects;
    MakeObjects(count, objects);
    const TWindowValues window{10, 20, 800, 600, 300, {50, 120, 90}};
    if (!WriteStates(window, settings, objects, {}))
        return 1;
    std::printf("bench-states: %d objects, \"States.bin\" of %ju bytes, %d runs\n", count,
                std::uintmax_t(std::filesystem::file_size(StatesFileName)), runs);

    TFigures startUp, read, save, saved, write;
    TStatesWriter writer;
    for (int run = 0; run < runs; ++run) {
        std::filesystem::remove(folder + "EventLog.txt");
        const double ms = StartUpMs(program, home.Path(), uint16_t(settings.TcpPort));
        if (ms < 0) {
            std::fprintf(stderr, "bench-states: %s did not open its port %d (%s)\n", program,
                         settings.TcpPort, ms == RouterEnded ? "it ended" : "not within 30 s");
            return 1;
        }
        startUp.Add(ms);
    }
    for (int run = 0; run < runs; ++run) {
        SystemPassword = std::string(NoPassword);
        TSettings loaded;
        TStatesRead states;
        Clock::time_point start = Clock::now();
        if (!ReadStates(loaded, states, {}) || states.Objects.size() != std::size_t(count))
            return 1;
        read.Add(Ms(Clock::now() - start));

        // As the main window saves: the snapshot here, the rest on the writer's thread.
        bool written = false;
        writer.OnWritten = [&written](const TStatesWritten& end) { written = end.Ok; };
        start = Clock::now();
        TStatesSnapshot snapshot;
        if (!TakeStatesSnapshot(window, loaded, states.Objects, {}, snapshot))
            return 1;
        writer.Write(std::move(snapshot));
        save.Add(Ms(Clock::now() - start));
        writer.Wait();
        if (!written)
            return 1;
        saved.Add(Ms(Clock::now() - start));

        std::vector<uint8_t> plain = BuildStatesPlain(window, loaded, states.Objects);
        start = Clock::now();
        if (StatesFileOps().Replace(StatesFileName, plain.data(), plain.size()) != 0)
            return 1;
        write.Add(Ms(Clock::now() - start));
        if (!WriteStates(window, loaded, states.Objects, {})) // the file that opens again
            return 1;
    }
    // The parsing, in a data folder of its own.
    const QCoreApplication application(argc, argv); // the telephony stand-in delivers through it
    const std::string parsing = home.Path() + "/parsing/";
    std::filesystem::create_directories(parsing + "tapi");
    AppDataFolder = parsing;
    ::setenv("XDG_DATA_HOME", parsing.c_str(), 1);
    const std::string calibration = CalibrationFile(), lines = LinesFile();
    if (!WriteText(parsing + "Calibrate.ini", calibration) || !WriteText(parsing + "tapi/lines", lines))
        return 1;
    TFigures sections, tables, tapiLines;
    for (int run = 0; run < runs; ++run) {
        Clock::time_point start = Clock::now();
        if (TIniFile(QString::fromStdString(parsing) + QStringLiteral("Calibrate.ini"))
                .ReadSections()
                .size() != ParsedEntries)
            return 1;
        sections.Add(Ms(Clock::now() - start));

        start = Clock::now();
        if (LoadCalibrationTables() != ParsedEntries)
            return 1;
        tables.Add(Ms(Clock::now() - start));
        FreeCalibrationTables();

        start = Clock::now();
        if (ReadTapiLines() != ParsedEntries)
            return 1;
        tapiLines.Add(Ms(Clock::now() - start));
    }

    std::printf("  start-up to listening: median %.1f ms, largest %.1f ms (goal: under 1000 ms; 100 ms of it "
                "is the designed delay)\n",
                startUp.Median(), startUp.Max());
    std::printf("  reading the file (in-process): median %.1f ms, largest %.1f ms (goal: under 500 ms)\n",
                read.Median(), read.Max());
    std::printf("  a save, on the main thread: median %.1f ms, largest %.1f ms (goal: under 50 ms)\n",
                save.Median(), save.Max());
    std::printf("    and until the writer's thread had written it: median %.1f ms, largest %.1f ms\n",
                saved.Median(), saved.Max());
    std::printf("    of which writing, flushing and renaming the file: median %.1f ms, largest %.1f ms\n",
                write.Median(), write.Max());
    std::printf("  \"Calibrate.ini\" of %d sections (%zu bytes) parsed: median %.1f ms, largest %.1f ms "
                "(goal: under 100 ms)\n",
                ParsedEntries, calibration.size(), sections.Median(), sections.Max());
    std::printf("    and loaded into its %d tables of %zu bytes each: median %.1f ms, largest %.1f ms\n",
                ParsedEntries, sizeof(CalibrationTable), tables.Median(), tables.Max());
    std::printf("  tapi/lines of %d lines (%zu bytes) read: median %.1f ms, largest %.1f ms\n", ParsedEntries,
                lines.size(), tapiLines.Median(), tapiLines.Max());
    return 0;
}
