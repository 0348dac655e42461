// The router program itself, started as a user starts it.
#include <array>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include <fcntl.h>

#include "core/StateFile.h"
#include "tools/bench-common/BenchSupport.h"

namespace {

std::string ReadText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Waits for what holds to become true, polling every 10 ms for at most the given time.
template <class F> bool WaitFor(F&& holds, std::chrono::milliseconds atMost) {
    for (const auto end = std::chrono::steady_clock::now() + atMost;
         std::chrono::steady_clock::now() < end;) {
        if (holds())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return holds();
}

pid_t StartProgram(const char* path, const std::filesystem::path& folder,
                   std::vector<std::string> args = {}) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setenv("XDG_DATA_HOME", folder.c_str(), 1);
        ::setenv("XDG_RUNTIME_DIR", folder.c_str(), 1);
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        // Their traces are of no interest here.
        if (const int null = ::open("/dev/null", O_WRONLY); null >= 0)
            ::dup2(null, STDOUT_FILENO);
        std::vector<char*> argv{const_cast<char*>(path)};
        for (std::string& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        ::execv(path, argv.data());
        ::_exit(127);
    }
    return pid;
}

// A signal that ends a session or a terminal ends the router as its exit does: what a modem reported
// is in the state file, its telephony registration is gone, the log is closed, and the status is 0.
TEST(Program, ATerminationSignalEndsItAsItsExitDoes) {
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(signal);
        const std::filesystem::path folder =
            std::filesystem::temp_directory_path() / ("router-signal-" + std::to_string(::getpid()));
        std::filesystem::remove_all(folder);
        const std::filesystem::path data = folder / "Kolvar" / "Vostrane";
        std::filesystem::create_directories(data);
        std::filesystem::permissions(folder, std::filesystem::perms::owner_all);
        const std::filesystem::path log = data / "EventLog.txt";
        const auto logged = [&log](const std::string& line) {
            return ReadText(log).find(line) != std::string::npos;
        };
        const TReservedPort reserved; // no other program's bind takes it before the router's
        const int port = reserved.Port();
        ASSERT_GT(port, 0);
        // One object, ID 1, that has never reported its firmware version.
        StatesFileName = (data / "States.bin").string();
        SystemPassword = std::string(NoPassword);
        TSettings initial;
        initial.TcpPort = port;
        TObjectList objects;
        objects.push_back(std::make_unique<TObjectStates>());
        objects.back()->ObjectNumber = objects.back()->ModemID = 1;
        ASSERT_TRUE(WriteStates({}, initial, objects, {}));
        std::filesystem::remove(log);
        const pid_t router = StartProgram(ROUTER_PROGRAM, folder);
        ASSERT_GT(router, 0);
        ASSERT_TRUE(
            WaitFor([&] { return logged("CH: TCP port is opened") || logged("CH: error opening TCP port"); },
                    std::chrono::seconds(60)))
            << ReadText(log);
        if (!logged("CH: TCP port is opened")) {
            ::kill(router, SIGKILL);
            ::waitpid(router, nullptr, 0);
            FAIL() << ReadText(log);
        }
        char valueName[16];
        std::snprintf(valueName, sizeof valueName, "$%08X", unsigned(router));
        const std::filesystem::path registry = folder / "registry" / "HKEY_CURRENT_USER";
        EXPECT_NE(ReadText(registry).find(valueName), std::string::npos) << "the router registered";
        const pid_t modem = StartProgram(MODEM_SIM, folder,
                                         {"--port", std::to_string(port), "--id", "1", "--version", "2.3.4.5",
                                          "--report-inputs-every", "100", "--duration", "30", "--quiet"});
        ASSERT_GT(modem, 0);
        EXPECT_TRUE(
            WaitFor([&] { return logged("CH: new object connected (object ") /* the log is Windows-1251 */; },
                    std::chrono::seconds(20)));
        ::kill(router, signal); // well within the 5 s the log rests before a save
        int status = 0;
        EXPECT_TRUE(
            WaitFor([&] { return ::waitpid(router, &status, WNOHANG) == router; }, std::chrono::seconds(20)));
        ::kill(modem, SIGKILL);
        ::waitpid(modem, nullptr, 0);
        if (!WIFEXITED(status)) {
            ::kill(router, SIGKILL);
            ::waitpid(router, nullptr, 0);
        }
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

        TSettings settings;
        TStatesRead read;
        StatesNotLoaded = true;
        ASSERT_TRUE(ReadStates(settings, read, {}));
        ASSERT_EQ(read.Objects.size(), 1u);
        EXPECT_EQ(read.Objects[0]->HwVersion, (std::array<std::uint8_t, 4>{2, 3, 4, 5}));
        EXPECT_EQ(ReadText(registry).find(valueName), std::string::npos) << "the registration is removed";
        const std::string text = ReadText(log);
        EXPECT_NE(text.find(std::string("CH: ") +
                            (signal == SIGTERM  ? "SIGTERM"
                             : signal == SIGINT ? "SIGINT"
                                                : "SIGHUP") +
                            " received - exiting"),
                  std::string::npos);
        EXPECT_GE(text.size(), 25u);
        EXPECT_EQ(text.substr(text.size() - 25), "CH: Gelvorant is closed\r\n") << text;
        StatesFileName.clear();
        std::filesystem::remove_all(folder);
    }
}

// The soft limit of open files of a running process, -1 when it cannot be read.
long SoftFileLimit(pid_t pid) {
    std::ifstream limits("/proc/" + std::to_string(pid) + "/limits");
    for (std::string line; std::getline(limits, line);)
        if (line.rfind("Max open files", 0) == 0)
            return std::strtol(line.c_str() + 14, nullptr, 10);
    return -1;
}

TEST(Program, RaisesItsSoftLimitOfOpenFilesToTheHardOneAtStart) {
    rlimit files{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &files), 0);
    if (files.rlim_max <= 256)
        GTEST_SKIP() << "the hard limit of open files is " << files.rlim_max;
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("router-program-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    const pid_t router = ::fork();
    if (router == 0) {
        rlimit low = files;
        low.rlim_cur = 256;
        setrlimit(RLIMIT_NOFILE, &low);
        ::setenv("XDG_DATA_HOME", folder.c_str(), 1);
        ::setenv("XDG_RUNTIME_DIR", folder.c_str(), 1);
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        ::execl(ROUTER_PROGRAM, ROUTER_PROGRAM, nullptr);
        ::_exit(127);
    }
    ASSERT_GT(router, 0);
    long soft = -1;
    for (int i = 0; i < 1000 && soft != long(files.rlim_max); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (::waitpid(router, nullptr, WNOHANG) == router)
            break;
        soft = SoftFileLimit(router);
    }
    ::kill(router, SIGKILL);
    ::waitpid(router, nullptr, 0);
    std::filesystem::remove_all(folder);
    EXPECT_EQ(soft, long(files.rlim_max));
}

} // namespace
