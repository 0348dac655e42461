// The GSM modem simulator on its pty, reached through the COM folder as a user's modem is: a plain
// POSIX terminal, python3-serial, and the gsm-sim program.
#include "tools/gsm-sim/GsmSim.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

using namespace gsmsim;

extern char** environ;

namespace {

const char kSubmit[] = "0011000B916407281553F80000AA0AE8329BFD4697D9EC37"; // 23 octets, "hellohello"
constexpr int kLimitMs = 5000; // guards against a hang; a pty on this machine delivers in microseconds

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool WaitFor(const std::function<bool()>& done) {
    const int64_t end = NowMs() + kLimitMs;
    while (!done()) {
        if (NowMs() > end)
            return false;
        usleep(1000);
    }
    return true;
}

// Starts the program with its standard output on a pipe whose reading end goes to out; the process id, or
// -1 when it did not start.
pid_t StartPiped(const char* const argv[], int& out) {
    int fds[2];
    if (pipe(fds) != 0)
        return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    pid_t pid = 0;
    const bool started =
        posix_spawn(&pid, argv[0], &actions, nullptr, const_cast<char**>(argv), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (!started) {
        close(fds[0]);
        return -1;
    }
    out = fds[0];
    return pid;
}

// A terminal on the modem's port: the router's side, in plain POSIX.
class Terminal {
public:
    explicit Terminal(const std::string& path) { fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK); }
    ~Terminal() { Close(); }
    bool IsOpen() const { return fd_ >= 0; }
    int Fd() const { return fd_; }
    void Close() {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }
    bool Write(const std::string& bytes) {
        return write(fd_, bytes.data(), bytes.size()) == ssize_t(bytes.size());
    }
    // Reads until the text ends with `until`; pump (if any) runs between tries, for a simulator that is
    // polled by the test's own loop.
    std::string ReadUntil(const std::string& until, const std::function<void()>& pump = {}) {
        std::string got;
        const int64_t end = NowMs() + kLimitMs;
        while (!(got.size() >= until.size() &&
                 got.compare(got.size() - until.size(), until.size(), until) == 0) &&
               NowMs() < end) {
            if (pump)
                pump();
            pollfd p = {fd_, POLLIN, 0};
            if (poll(&p, 1, pump ? 0 : 10) <= 0 || !(p.revents & POLLIN))
                continue;
            char buf[4096];
            const ssize_t n = read(fd_, buf, sizeof buf);
            if (n <= 0)
                break;
            got.append(buf, size_t(n));
        }
        return got;
    }
    // What has arrived and is not read yet: for showing, once the simulator has settled, that nothing
    // came. A poll hands over what the pty still carries.
    std::string Unread() {
        std::string got;
        pollfd p = {fd_, POLLIN, 0};
        while (poll(&p, 1, 0) > 0 && (p.revents & POLLIN)) {
            char buf[4096];
            const ssize_t n = read(fd_, buf, sizeof buf);
            if (n <= 0)
                break;
            got.append(buf, size_t(n));
        }
        return got;
    }
    std::string Command(const std::string& line, const std::string& reply = "OK\r\n") {
        if (!Write(line + "\r"))
            return "write failed";
        return ReadUntil(reply);
    }

private:
    int fd_ = -1;
};

class GsmSimTest : public ::testing::Test {
protected:
    GsmSimTest() {
        char name[] = "/tmp/gsm-sim-test-XXXXXX";
        folder_ = mkdtemp(name) ? name : "";
        const char* old = getenv("XDG_DATA_HOME");
        hadOld_ = old != nullptr;
        old_ = old ? old : "";
        setenv("XDG_DATA_HOME", folder_.c_str(), 1);
    }
    ~GsmSimTest() override {
        if (hadOld_)
            setenv("XDG_DATA_HOME", old_.c_str(), 1);
        else
            unsetenv("XDG_DATA_HOME");
        std::error_code ec;
        std::filesystem::remove_all(folder_, ec);
    }

    std::string ComFolder() const { return folder_ + "/com/"; }

    std::string folder_;
    std::string old_;
    bool hadOld_ = false;
    GsmConfig cfg;
};

TEST_F(GsmSimTest, PublishesARawSlaveInTheComFolder) {
    std::string link;
    {
        GsmSim sim(cfg, "COM7");
        ASSERT_TRUE(sim.Ok()) << sim.LastError();
        link = sim.ComPath();
        EXPECT_EQ(link, ComFolder() + "COM7");
        std::error_code ec;
        EXPECT_EQ(std::filesystem::read_symlink(link, ec).string(), sim.SlavePath());
        EXPECT_EQ(sim.SlavePath().compare(0, 9, "/dev/pts/"), 0);

        Terminal t(link);
        ASSERT_TRUE(t.IsOpen()) << strerror(errno);
        termios tio;
        ASSERT_EQ(tcgetattr(t.Fd(), &tio), 0);
        EXPECT_FALSE(tio.c_lflag & (ICANON | ECHO | ISIG));
        EXPECT_FALSE(tio.c_oflag & OPOST);
        EXPECT_FALSE(tio.c_iflag & (ICRNL | IXON));
        EXPECT_FALSE(sim.Connected()); // nobody served the pty yet
    }
    EXPECT_FALSE(std::filesystem::is_symlink(link)) << "the COM entry outlived the simulator";
}

TEST_F(GsmSimTest, ServesOnItsOwnThreadWhileTheTestControlsIt) {
    cfg.pinState = PinState::SimPin;
    GsmSim sim(cfg, "COM3");
    ASSERT_TRUE(sim.Ok()) << sim.LastError();
    sim.Start();
    Terminal t(sim.ComPath());
    ASSERT_TRUE(t.IsOpen());

    EXPECT_EQ(t.Command("AT"), "AT\r\r\nOK\r\n");
    EXPECT_TRUE(sim.Connected());
    EXPECT_EQ(t.Command("AT+CPIN?"), "AT+CPIN?\r\r\n+CPIN: SIM PIN\r\n\r\nOK\r\n");
    EXPECT_EQ(t.Command("AT+CPIN=\"1234\""), "AT+CPIN=\"1234\"\r\r\nOK\r\n");
    EXPECT_EQ(sim.GetPinState(), PinState::Ready);

    ASSERT_EQ(sim.AddSms("+71230000000", "from the test"), 1);
    const std::string read = t.Command("AT+CMGR=1");
    EXPECT_NE(read.find("+CMGR: 0,,"), std::string::npos) << read;
    EXPECT_EQ(sim.Cells().at(0).status, CellStatus::Read);
    EXPECT_EQ(t.Command("AT+CMGD=1"), "AT+CMGD=1\r\r\nOK\r\n");
    EXPECT_TRUE(sim.Cells().empty());

    ASSERT_TRUE(t.Write(std::string("AT+CMGS=23\r") + kSubmit + "\x1A"));
    EXPECT_NE(t.ReadUntil("OK\r\n").find("+CMGS: 0"), std::string::npos);
    const std::vector<SentSms> sent = sim.TakeSent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].destination, "+46708251358");
    EXPECT_EQ(sent[0].text, "hellohello");

    sim.Unsolicited("+CMTI: \"SM\",1");
    EXPECT_EQ(t.ReadUntil("\r\n+CMTI: \"SM\",1\r\n"), "\r\n+CMTI: \"SM\",1\r\n");
    EXPECT_EQ(sim.Commands().size(), 6u);
    EXPECT_EQ(sim.Connections(), 1u);
    sim.Stop();
}

TEST_F(GsmSimTest, ServesAPollLoop) {
    GsmSim sim(cfg);
    ASSERT_TRUE(sim.Ok()) << sim.LastError();
    EXPECT_TRUE(sim.ComPath().empty());
    // A fault injected while nobody holds the port waits for the first terminal, however long.
    sim.Inject(Fault::Error, "AT", 1);
    for (int i = 0; i < 3; ++i)
        sim.Poll(1);
    Terminal t(sim.SlavePath());
    const auto pump = [&] { sim.Poll(1); };
    ASSERT_TRUE(t.Write("AT\r"));
    EXPECT_EQ(t.ReadUntil("ERROR\r\n", pump), "AT\r\r\nERROR\r\n");
    ASSERT_TRUE(t.Write("AT\r"));
    EXPECT_EQ(t.ReadUntil("OK\r\n", pump), "AT\r\r\nOK\r\n");
    EXPECT_EQ(sim.Connections(), 1u);
}

// Settled tells a test that no more is coming: once the simulator has read what the terminal wrote,
// run it and written all it made of it, it gives what it sent since the last command line.
TEST_F(GsmSimTest, SettlesOnceWhatTheTerminalWroteIsServed) {
    cfg.longReplyBytes = 1 << 18; // more than the pty holds
    GsmSim sim(cfg);
    ASSERT_TRUE(sim.Ok()) << sim.LastError();
    EXPECT_EQ(sim.Settled(), std::nullopt); // nobody holds the port
    Terminal t(sim.SlavePath());
    const auto pump = [&] { sim.Poll(0); };
    ASSERT_TRUE(t.Write("AT\r"));
    EXPECT_EQ(t.ReadUntil("OK\r\n", pump), "AT\r\r\nOK\r\n");
    EXPECT_EQ(sim.Settled(), "AT\r\r\nOK\r\n");
    ASSERT_TRUE(t.Write("AT+CPIN?\r"));
    EXPECT_EQ(sim.Settled(), std::nullopt); // the line waits unread
    pump();
    EXPECT_EQ(sim.Settled(), "AT+CPIN?\r\r\n+CPIN: READY\r\n\r\nOK\r\n");
    EXPECT_EQ(t.Unread(), *sim.Settled());

    // A reply held back is not waited for; it comes with the next line.
    ASSERT_EQ(sim.AddSms("+71230000000", "late"), 1);
    sim.Inject(Fault::LateReply, "AT+CMGR=", 1);
    ASSERT_TRUE(t.Write("AT+CMGR=1\r"));
    pump();
    EXPECT_EQ(sim.Settled(), "AT+CMGR=1\r");
    ASSERT_TRUE(t.Write("AT\r"));
    pump();
    const std::string came = t.Unread(); // the echo of the read, then what its next line brought
    EXPECT_EQ(came.substr(0, 20), "AT+CMGR=1\r\r\n+CMGR: 0");
    EXPECT_EQ(sim.Settled(), came.substr(10));

    // A silent line: nothing. Then what comes unsolicited, once it is out.
    sim.Inject(Fault::Silent, "AT", 1);
    ASSERT_TRUE(t.Write("AT\r"));
    pump();
    EXPECT_EQ(sim.Settled(), "");
    sim.Unsolicited("+CMTI: \"SM\",1");
    EXPECT_EQ(sim.Settled(), std::nullopt); // waiting to be written
    pump();
    EXPECT_EQ(sim.Settled(), "\r\n+CMTI: \"SM\",1\r\n");
    EXPECT_EQ(t.Unread(), "\r\n+CMTI: \"SM\",1\r\n");

    // A reply longer than the pty holds: settled only once the terminal has made room for all of it.
    sim.Inject(Fault::LongReply, "AT", 1);
    ASSERT_TRUE(t.Write("AT\r"));
    pump();
    EXPECT_EQ(sim.Settled(), std::nullopt);
    const std::string reply = t.ReadUntil("OK\r\n", pump);
    EXPECT_EQ(reply.size(), 3 + cfg.longReplyBytes + 6);
    EXPECT_EQ(sim.Settled(), reply);

    // The next terminal starts afresh; a terminal gone is no terminal.
    t.Close();
    pump();
    EXPECT_EQ(sim.Settled(), std::nullopt);
    Terminal next(sim.SlavePath());
    pump();
    EXPECT_EQ(sim.Settled(), ""); // nothing was sent to this one yet
    ASSERT_TRUE(next.Write("AT\r"));
    pump();
    EXPECT_EQ(sim.Settled(), "AT\r\r\nOK\r\n");
}

TEST_F(GsmSimTest, ClosingThePortEndsTheFaultsAndDropsWhatWasNotRead) {
    GsmSim sim(cfg, "COM4");
    ASSERT_TRUE(sim.Ok()) << sim.LastError();
    sim.Start();
    sim.Inject(Fault::Silent); // before anyone connects: for the first connection
    {
        Terminal t(sim.ComPath());
        ASSERT_TRUE(t.Write("AT\r"));
        ASSERT_TRUE(WaitFor([&] { return sim.Settled().has_value(); }));
        EXPECT_EQ(sim.Commands().size(), 1u);
        EXPECT_EQ(sim.Settled(), "");
        EXPECT_EQ(t.Unread(), "");
    }
    ASSERT_TRUE(WaitFor([&] { return !sim.Connected(); }));
    {
        Terminal t(sim.ComPath());
        EXPECT_EQ(t.Command("AT"), "AT\r\r\nOK\r\n");
        // A reply that arrived and was never read ...
        ASSERT_TRUE(t.Write("AT+CPIN?\r"));
        pollfd p = {t.Fd(), POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, kLimitMs), 1);
    }
    ASSERT_TRUE(WaitFor([&] { return !sim.Connected(); }));
    // ... is not handed to the next terminal.
    Terminal t(sim.ComPath());
    EXPECT_EQ(t.Command("AT"), "AT\r\r\nOK\r\n");
    EXPECT_EQ(sim.Connections(), 3u);
}

TEST_F(GsmSimTest, PullingTheCableAndPluggingItBackIn) {
    cfg.pinState = PinState::SimPin;
    GsmSim sim(cfg, "COM2");
    ASSERT_TRUE(sim.Ok()) << sim.LastError();
    sim.AddSms("+71230000000", "stays on the SIM");
    sim.Start();
    const std::string oldSlave = sim.SlavePath();
    Terminal t(sim.ComPath());
    EXPECT_EQ(t.Command("AT+CPIN=\"1234\""), "AT+CPIN=\"1234\"\r\r\nOK\r\n");
    EXPECT_EQ(t.Command("ATE0"), "ATE0\r\r\nOK\r\n");
    sim.Inject(Fault::Error);

    sim.PullCable();
    pollfd p = {t.Fd(), POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, kLimitMs), 1);
    EXPECT_TRUE(p.revents & POLLHUP);
    char c;
    EXPECT_LE(read(t.Fd(), &c, 1), 0);
    EXPECT_FALSE(t.Write("AT\r"));
    EXPECT_EQ(errno, EIO);
    EXPECT_TRUE(sim.SlavePath().empty());
    EXPECT_NE(access(oldSlave.c_str(), F_OK), 0) << "the device did not vanish";
    EXPECT_FALSE(Terminal(sim.ComPath()).IsOpen()) << "the COM entry still leads somewhere";
    t.Close();

    ASSERT_TRUE(sim.PlugIn()) << sim.LastError();
    std::error_code ec;
    EXPECT_EQ(std::filesystem::read_symlink(sim.ComPath(), ec).string(), sim.SlavePath());
    Terminal again(sim.ComPath());
    ASSERT_TRUE(again.IsOpen());
    // Freshly powered: echo on, the PIN asked again, no fault; the SMS is still there.
    EXPECT_EQ(again.Command("AT+CPIN?"), "AT+CPIN?\r\r\n+CPIN: SIM PIN\r\n\r\nOK\r\n");
    EXPECT_EQ(again.Command("AT+CPIN=\"1234\""), "AT+CPIN=\"1234\"\r\r\nOK\r\n");
    EXPECT_NE(again.Command("AT+CMGR=1").find("+CMGR: 0,,"), std::string::npos);
}

TEST_F(GsmSimTest, LongReplyArrivesWhole) {
    GsmSim sim(cfg, "COM6");
    ASSERT_TRUE(sim.Ok()) << sim.LastError();
    ASSERT_EQ(sim.AddSms("+71230000000", std::string(160, 'x')), 1);
    sim.Inject(Fault::LongReply, "AT+CMGR=", 1);
    sim.Start();
    Terminal t(sim.ComPath());
    const std::string reply = t.Command("AT+CMGR=1");
    // Echo, filler, then the reply: a 167-octet PDU (centre 8, transfer unit 159) in hexadecimal.
    ASSERT_EQ(reply.size(), 10 + 1024 + (2 + 13 + 2 + 2 * (8 + 159) + 2) + 6u) << reply;
    EXPECT_EQ(reply[10], '\0');
    EXPECT_EQ(reply.substr(10 + 1024, 15), "\r\n+CMGR: 0,,159");
}

// python3-serial, as PC software would use the port.
TEST_F(GsmSimTest, PythonSerialClient) {
    cfg.pinState = PinState::SimPin;
    GsmSim sim(cfg, "COM9");
    ASSERT_TRUE(sim.Ok()) << sim.LastError();
    sim.AddSms("+71230000000", "hello");
    sim.Start();

    const char* script = R"(
import sys, serial
port = serial.Serial(sys.argv[1], 115200, timeout=5)
def command(data):
    port.write(data)
    got = b''
    while not (got.endswith(b'OK\r\n') or got.endswith(b'ERROR\r\n') or got.endswith(b'> ')):
        chunk = port.read(1)
        if not chunk:
            break
        got += chunk + port.read(port.in_waiting)
    print(got.decode('latin-1').replace('\r', '<CR>').replace('\n', '<LF>'))
command(b'ATE0\r')
command(b'AT+CPIN?\r')
command(b'AT+CPIN="1234"\r')
command(b'AT+CMGF=0\r')
command(b'AT+CPMS?\r')
command(b'AT+CMGR=1\r')
command(b'AT+CMGD=1\r')
command(b'AT+CMGS=23\r')
command(sys.argv[2].encode() + b'\x1a')
)";
    const std::string com = sim.ComPath();
    const char* argv[] = {"/usr/bin/python3", "-c", script, com.c_str(), kSubmit, nullptr};
    int out = -1;
    const pid_t pid = StartPiped(argv, out);
    ASSERT_GT(pid, 0);
    std::string text;
    char buf[4096];
    ssize_t n;
    pollfd p = {out, POLLIN, 0};
    while (poll(&p, 1, kLimitMs) == 1 && (n = read(out, buf, sizeof buf)) > 0)
        text.append(buf, size_t(n));
    close(out);
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << text;

    DeliverSpec spec;
    spec.sender = "+71230000000";
    spec.text = "hello";
    const std::string expected =
        "ATE0<CR><CR><LF>OK<CR><LF>\n"
        "<CR><LF>+CPIN: SIM PIN<CR><LF><CR><LF>OK<CR><LF>\n"
        "<CR><LF>OK<CR><LF>\n"
        "<CR><LF>OK<CR><LF>\n"
        "<CR><LF>+CPMS: \"SM\",1,30,\"SM\",1,30,\"SM\",1,30<CR><LF><CR><LF>OK<CR><LF>\n"
        "<CR><LF>+CMGR: 0,,24<CR><LF>" +
        ToHex(EncodeDeliver(spec)) +
        "<CR><LF><CR><LF>OK<CR><LF>\n"
        "<CR><LF>OK<CR><LF>\n"
        "<CR><LF>> \n"
        "<CR><LF>+CMGS: 0<CR><LF><CR><LF>OK<CR><LF>\n";
    EXPECT_EQ(text, expected);
    ASSERT_EQ(sim.Sent().size(), 1u);
    EXPECT_EQ(sim.Sent()[0].pdu, kSubmit);
}

// The gsm-sim program: prints its slave and its COM entry, serves them, and tidies up on SIGTERM.
TEST_F(GsmSimTest, Program) {
    const char* argv[] = {GSM_SIM_PATH, "--com", "COM11", "--sms", "+71230000000", "hi", nullptr};
    int out = -1;
    const pid_t pid = StartPiped(argv, out);
    ASSERT_GT(pid, 0);
    std::string lines;
    pollfd p = {out, POLLIN, 0};
    char buf[512];
    ssize_t n;
    while (std::count(lines.begin(), lines.end(), '\n') < 2 && poll(&p, 1, kLimitMs) == 1 &&
           (n = read(out, buf, sizeof buf)) > 0)
        lines.append(buf, size_t(n));
    close(out);

    const size_t first = lines.find('\n');
    ASSERT_NE(first, std::string::npos) << lines;
    const std::string slave = lines.substr(0, first);
    const std::string com = lines.substr(first + 1, lines.find('\n', first + 1) - first - 1);
    EXPECT_EQ(com, ComFolder() + "COM11");
    std::error_code ec;
    EXPECT_EQ(std::filesystem::read_symlink(com, ec).string(), slave);
    {
        Terminal t(com);
        EXPECT_NE(t.Command("AT+CMGR=1").find("+CMGR: 0,,21"), std::string::npos);
    }
    kill(pid, SIGTERM);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_FALSE(std::filesystem::is_symlink(com));
}

} // namespace
