#include "tools/gsm-sim/GsmSim.h"

#include "platform/Shell.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

namespace gsmsim {

namespace {

// While no terminal holds the slave, the master reports a hang-up whatever it is asked for, so it is
// not polled then; this is how often it is looked at instead.
constexpr int kHangupRecheckMs = 10;

std::string Errno(const std::string& what) {
    return what + ": " + strerror(errno);
}

} // namespace

GsmSim::GsmSim(const GsmConfig& config, const std::string& comName) : modem_(config) {
    wake_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake_ < 0) {
        error_ = Errno("eventfd");
        return;
    }
    if (!comName.empty())
        comPath_ =
            (CommonAppDataFolder() + QStringLiteral("/com/") + QString::fromStdString(comName)).toStdString();
    std::lock_guard lock(mutex_);
    OpenPair();
}

GsmSim::~GsmSim() {
    Stop();
    if (master_ >= 0)
        close(master_);
    if (wake_ >= 0)
        close(wake_);
    Unpublish();
}

// The COM entry goes with the device, when it is still ours: the pseudo-terminal's number may soon be
// another program's.
void GsmSim::Unpublish() const {
    char target[PATH_MAX];
    const ssize_t n = comPath_.empty() ? -1 : readlink(comPath_.c_str(), target, sizeof target);
    if (n > 0 && std::string(target, size_t(n)) == linkedTo_)
        unlink(comPath_.c_str());
}

bool GsmSim::OpenPair() {
    const int m = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    char name[128];
    if (m < 0 || grantpt(m) != 0 || unlockpt(m) != 0 || ptsname_r(m, name, sizeof name) != 0) {
        error_ = Errno("pseudo-terminal");
        if (m >= 0)
            close(m);
        return false;
    }
    // Raw, and opened and closed once, so that the master shows from the start that nobody holds it.
    const int s = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios t;
    if (s < 0 || tcgetattr(s, &t) != 0) {
        error_ = Errno(std::string("cannot open ") + name);
        if (s >= 0)
            close(s);
        close(m);
        return false;
    }
    cfmakeraw(&t);
    tcsetattr(s, TCSANOW, &t);
    close(s);
    master_ = m;
    slave_ = name;
    present_ = false;
    ++generation_;
    return Publish();
}

// Points the COM entry at the slave; a rename over the old entry, so that it never goes missing.
bool GsmSim::Publish() {
    if (comPath_.empty())
        return true;
    const std::string folder = comPath_.substr(0, comPath_.rfind('/'));
    const std::string temp = comPath_ + ".new" + std::to_string(getpid());
    unlink(temp.c_str());
    if (!ForceDirectories(QString::fromStdString(folder)) || symlink(slave_.c_str(), temp.c_str()) != 0 ||
        rename(temp.c_str(), comPath_.c_str()) != 0) {
        error_ = Errno("cannot publish " + comPath_);
        unlink(temp.c_str());
        return false;
    }
    linkedTo_ = slave_;
    return true;
}

bool GsmSim::Ok() const {
    std::lock_guard lock(mutex_);
    return wake_ >= 0 && master_ >= 0 && (comPath_.empty() || linkedTo_ == slave_);
}

std::string GsmSim::LastError() const {
    std::lock_guard lock(mutex_);
    return error_;
}

std::string GsmSim::SlavePath() const {
    std::lock_guard lock(mutex_);
    return master_ >= 0 ? slave_ : std::string();
}

std::string GsmSim::ComPath() const {
    return comPath_;
}

void GsmSim::Start() {
    if (running_.exchange(true))
        return;
    thread_ = std::thread([this] {
        while (running_)
            Poll(1000);
    });
}

void GsmSim::Stop() {
    if (!running_.exchange(false))
        return;
    Wake();
    thread_.join();
}

void GsmSim::Wake() {
    const uint64_t one = 1;
    if (wake_ >= 0 && write(wake_, &one, sizeof one) < 0) {
        // The counter is full, so a wake-up is pending anyway.
    }
}

void GsmSim::Poll(int timeoutMs) {
    pollfd fds[2] = {{wake_, POLLIN, 0}, {-1, 0, 0}};
    uint64_t generation;
    {
        std::lock_guard lock(mutex_);
        generation = generation_;
        if (master_ >= 0 && present_)
            fds[1] = {master_, short(POLLIN | (modem_.Output().empty() ? 0 : POLLOUT)), 0};
        else if (master_ >= 0)
            timeoutMs = timeoutMs < 0 ? kHangupRecheckMs : std::min(timeoutMs, kHangupRecheckMs);
    }
    if (poll(fds, fds[1].fd >= 0 ? 2 : 1, timeoutMs) < 0 && errno != EINTR)
        return;
    uint64_t count;
    if (fds[0].revents & POLLIN && read(wake_, &count, sizeof count) < 0) {
        // Nothing was pending after all.
    }
    std::lock_guard lock(mutex_);
    if (generation == generation_ && master_ >= 0)
        Service();
}

// Under the lock: notices a terminal coming or going, takes its bytes, answers.
void GsmSim::Service() {
    pollfd p = {master_, POLLIN, 0};
    if (poll(&p, 1, 0) < 0)
        return;
    const bool data = p.revents & POLLIN;
    const bool hangup = p.revents & POLLHUP;
    if (hangup && !data && !present_)
        return;      // still nobody there
    if (!present_) { // also one that came, wrote and went between two looks
        present_ = true;
        ++connections_;
        sentSinceLine_.clear();
    }
    if (data) {
        const size_t lines = modem_.Commands().size();
        uint8_t buf[4096];
        ssize_t n;
        while ((n = read(master_, buf, sizeof buf)) > 0)
            modem_.Feed(buf, size_t(n));
        if (modem_.Commands().size() != lines)
            sentSinceLine_.clear(); // what goes out from here on came after the terminal's last line
    }
    if (hangup) {
        present_ = false;
        modem_.Disconnected();
        FlushSlaveInput();
        return;
    }
    // All that is waiting in one write, so a long reply reaches the terminal as one burst.
    const std::string& out = modem_.Output();
    if (!out.empty()) {
        const ssize_t n = write(master_, out.data(), out.size());
        if (n > 0) {
            sentSinceLine_.append(out, 0, size_t(n));
            modem_.ConsumeOutput(size_t(n));
        }
    }
}

// What the last terminal left unread would go to the next one; a serial port loses it at the close.
void GsmSim::FlushSlaveInput() {
    const int s = open(slave_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (s < 0)
        return;
    tcflush(s, TCIFLUSH);
    close(s);
}

void GsmSim::SetPinState(PinState state) {
    std::lock_guard lock(mutex_);
    modem_.SetPinState(state);
}

PinState GsmSim::GetPinState() const {
    std::lock_guard lock(mutex_);
    return modem_.GetPinState();
}

void GsmSim::SetPin(const std::string& pin) {
    std::lock_guard lock(mutex_);
    modem_.SetPin(pin);
}

int GsmSim::AddSms(const std::string& sender, const std::string& text, int cell) {
    DeliverSpec spec;
    spec.sender = sender;
    spec.text = text;
    return AddSms(spec, cell);
}

int GsmSim::AddSms(const DeliverSpec& spec, int cell) {
    std::lock_guard lock(mutex_);
    return modem_.AddSms(spec, cell);
}

int GsmSim::AddPdu(const std::string& hex, CellStatus status, int cell) {
    std::lock_guard lock(mutex_);
    return modem_.AddPdu(hex, status, cell);
}

std::vector<Cell> GsmSim::Cells() const {
    std::lock_guard lock(mutex_);
    return modem_.Cells();
}

std::vector<SentSms> GsmSim::Sent() const {
    std::lock_guard lock(mutex_);
    return modem_.Sent();
}

std::vector<SentSms> GsmSim::TakeSent() {
    std::lock_guard lock(mutex_);
    return modem_.TakeSent();
}

std::vector<std::string> GsmSim::Commands() const {
    std::lock_guard lock(mutex_);
    return modem_.Commands();
}

void GsmSim::Inject(Fault fault, const std::string& command, int times) {
    std::lock_guard lock(mutex_);
    modem_.Inject(fault, command, times);
}

void GsmSim::ClearFaults() {
    std::lock_guard lock(mutex_);
    modem_.ClearFaults();
}

void GsmSim::Unsolicited(const std::string& line) {
    ToTerminal([&] {
        modem_.Unsolicited(line);
        return true;
    });
}

void GsmSim::PullCable() {
    {
        std::lock_guard lock(mutex_);
        if (master_ < 0)
            return;
        close(master_);
        master_ = -1;
        ++generation_;
        present_ = false;
        modem_.Disconnected();
        Unpublish();
    }
    Wake();
}

bool GsmSim::PlugIn() {
    {
        std::lock_guard lock(mutex_);
        if (master_ >= 0)
            return true;
        if (!OpenPair())
            return false;
        modem_.PowerCycle();
    }
    Wake();
    return true;
}

bool GsmSim::Connected() const {
    std::lock_guard lock(mutex_);
    return present_;
}

uint32_t GsmSim::Connections() const {
    std::lock_guard lock(mutex_);
    return connections_;
}

std::optional<std::string> GsmSim::Settled() const {
    std::lock_guard lock(mutex_);
    if (master_ < 0 || !present_ || !modem_.Output().empty())
        return std::nullopt;
    // A poll hands over what the pty still carries, so a byte the terminal has written shows here.
    pollfd p = {master_, POLLIN, 0};
    if (poll(&p, 1, 0) != 0)
        return std::nullopt;
    return sentSinceLine_;
}

// ---- Calls

void GsmSim::QueueDialResult(DialResult result) {
    std::lock_guard lock(mutex_);
    modem_.QueueDialResult(result);
}

// The modem's news reaches a terminal that holds the port; nobody else hears it.
template <class Action> bool GsmSim::ToTerminal(Action action) {
    bool done = false;
    {
        std::lock_guard lock(mutex_);
        if (!present_)
            return false;
        done = action();
    }
    Wake();
    return done;
}

void GsmSim::Ring(const Caller& caller) {
    ToTerminal([&] {
        modem_.Ring(caller);
        return true;
    });
}

void GsmSim::HangUpCall() {
    ToTerminal([&] {
        modem_.HangUpCall();
        return true;
    });
}

bool GsmSim::SendCallData(const std::string& bytes) {
    return ToTerminal([&] { return modem_.SendCallData(bytes); });
}

std::string GsmSim::TakeCallData() {
    std::lock_guard lock(mutex_);
    return modem_.TakeCallData();
}

std::vector<std::string> GsmSim::Dialled() const {
    std::lock_guard lock(mutex_);
    return modem_.Dialled();
}

CallState GsmSim::GetCallState() const {
    std::lock_guard lock(mutex_);
    return modem_.GetCallState();
}

bool GsmSim::ClipEnabled() const {
    std::lock_guard lock(mutex_);
    return modem_.ClipEnabled();
}

void GsmSim::SetHoldSupported(bool supported) {
    std::lock_guard lock(mutex_);
    modem_.SetHoldSupported(supported);
}

uint32_t GsmSim::LineSpeed() const {
    std::lock_guard lock(mutex_);
    termios t{};
    if (master_ < 0 || tcgetattr(master_, &t) != 0) // a master reports its slave's settings
        return 0;
    static const std::pair<speed_t, uint32_t> kRates[] = {
        {B300, 300},       {B600, 600},       {B1200, 1200},     {B2400, 2400},   {B4800, 4800},
        {B9600, 9600},     {B19200, 19200},   {B38400, 38400},   {B57600, 57600}, {B115200, 115200},
        {B230400, 230400}, {B460800, 460800}, {B921600, 921600},
    };
    const speed_t code = cfgetospeed(&t);
    for (const auto& [known, rate] : kRates)
        if (known == code)
            return rate;
    return 0;
}

} // namespace gsmsim
