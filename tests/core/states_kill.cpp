// states-kill: kills saves of the state file at random points and checks that the file always opens
// afterwards, for the fault test of the state file.
//
//     states-kill <file> <kills> <seed>
//
// Each round forks a child that saves states k, k + 1, ... over and over with the router's own
// state-file code, where state k has the TCP port k and objects whose names carry k. The child is
// killed with SIGKILL after 0, 1 or 2 whole saves and a random part of the time a save takes, and the
// file is read as at start-up: it must open and hold one whole state, the last one seen or a newer
// one. The next round goes on from there.
// Prints one line per failure and a summary; the exit status is 0 when every round passed. The
// process has a single thread, so the children may run the saving code without an exec.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

#include "core/StateFile.h"

namespace {

constexpr int Objects = 20;

std::string ObjectName(int k, int i) {
    return "object " + std::to_string(i) + " of state " + std::to_string(k);
}

using Clock = std::chrono::steady_clock;

// Saves states k, k + 1, ... up to last, writing a byte to done after each when done is not -1;
// false when a save fails.
bool Save(int k, int last, int done = -1) {
    TSettings settings;
    TObjectList objects;
    for (int i = 0; i < Objects; ++i) {
        objects.push_back(std::make_unique<TObjectStates>());
        objects.back()->ObjectNumber = i;
    }
    for (; k <= last; ++k) {
        settings.TcpPort = k;
        for (int i = 0; i < Objects; ++i)
            objects[std::size_t(i)]->Name = ObjectName(k, i);
        if (!WriteStates({}, settings, objects, {}) || (done >= 0 && ::write(done, "s", 1) != 1))
            return false;
    }
    return true;
}

// Reads the file as at start-up; the state it holds, or -1 when it does not open whole.
int ReadState() {
    SystemPassword = std::string(NoPassword);
    StatesNotLoaded = true;
    TSettings settings;
    TStatesRead read;
    if (!ReadStates(settings, read, {}) || StatesNotLoaded || read.Objects.size() != std::size_t(Objects))
        return -1;
    for (int i = 0; i < Objects; ++i)
        if (read.Objects[std::size_t(i)]->Name != ObjectName(settings.TcpPort, i))
            return -1;
    return settings.TcpPort;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4)
        return 2;
    StatesFileName = argv[1];
    const int kills = std::atoi(argv[2]);
    std::mt19937 random(unsigned(std::strtoul(argv[3], nullptr, 10)));
    std::uniform_int_distribution<int> wholeSaves(0, 2);
    std::uniform_real_distribution<double> part(0.0, 1.0);
    int last = 0, failures = 0, inside = 0, newer = 0;
    Clock::time_point start = Clock::now();
    if (!Save(0, 0))
        return 1;
    Clock::duration saveTime = Clock::now() - start; // kept up to date as the load of the machine changes
    for (int round = 0; round < kills; ++round) {
        int done[2];
        if (::pipe(done) != 0)
            return 1;
        const pid_t saver = ::fork();
        if (saver < 0)
            return 1;
        if (saver == 0) {
            ::close(done[0]);
            ::_exit(Save(last + 1, std::numeric_limits<int>::max(), done[1]) ? 0 : 1);
        }
        ::close(done[1]);
        char byte;
        start = Clock::now();
        for (int n = wholeSaves(random), i = 0; i < n && ::read(done[0], &byte, 1) == 1; ++i) {
            if (i > 0)
                saveTime = Clock::now() - start;
            start = Clock::now();
        }
        std::this_thread::sleep_for(std::chrono::duration_cast<Clock::duration>(saveTime * part(random)));
        ::kill(saver, SIGKILL);
        ::close(done[0]);
        int status = 0;
        ::waitpid(saver, &status, 0);
        if (!WIFSIGNALED(status)) {
            std::printf("round %d: the saver ended by itself (%d)\n", round, status);
            return 1;
        }
        inside += ::access(TStatesFileOps::TempName(StatesFileName).c_str(), F_OK) == 0;
        const int state = ReadState();
        if (state < last) {
            std::printf("round %d: the file holds %d after %d\n", round, state, last);
            ++failures;
            continue;
        }
        newer += state > last;
        last = state;
    }
    std::printf("kills %d, failures %d, inside the temporary file %d, newer state %d\n", kills, failures,
                inside, newer);
    return failures == 0 ? 0 : 1;
}
