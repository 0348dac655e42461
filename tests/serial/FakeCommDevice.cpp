#include "tests/serial/FakeCommDevice.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "platform/Win32Serial.h"

class TFakeCommDevice : public TCommDevice {
public:
    explicit TFakeCommDevice(std::shared_ptr<TFakeLine> line)
        : line_(std::move(line)), in_(fcntl(line_->toDevice_[0], F_DUPFD_CLOEXEC, 3)),
          out_(fcntl(line_->fromDevice_[1], F_DUPFD_CLOEXEC, 3)) {}
    ~TFakeCommDevice() override {
        close(in_);
        close(out_);
    }

    int InputFd() const override { return in_; }
    int OutputFd() const override { return out_; }

    ssize_t Read(void* buffer, std::size_t size) override {
        {
            std::lock_guard guard(line_->lock_);
            if (line_->readErrno_) {
                errno = line_->readErrno_;
                return -1;
            }
        }
        return read(in_, buffer, size);
    }
    ssize_t Write(const void* data, std::size_t size) override {
        const ssize_t n = write(out_, data, size);
        if (n > 0) {
            std::lock_guard guard(line_->lock_);
            line_->written_ += std::uint64_t(n);
        }
        return n;
    }
    bool GetSettings(termios2& settings) override {
        std::lock_guard guard(line_->lock_);
        settings = line_->settings_;
        return true;
    }
    bool SetSettings(const termios2& settings) override {
        std::lock_guard guard(line_->lock_);
        line_->settings_ = settings;
        ++line_->settingsWrites_;
        line_->writtenAtSettings_ = line_->written_;
        return true;
    }
    bool GetLines(int& bits) override {
        std::lock_guard guard(line_->lock_);
        bits = line_->lines_;
        ++line_->lineReads_;
        return true;
    }
    bool ChangeLines(int set, int clear) override {
        std::lock_guard guard(line_->lock_);
        line_->lines_ = (line_->lines_ | set) & ~clear;
        return true;
    }
    bool SetBreak(bool on) override {
        std::lock_guard guard(line_->lock_);
        line_->breaksSent_ += on && !line_->breakOn_;
        line_->breakOn_ = on;
        return true;
    }
    bool Flush(int queue) override {
        if (queue == TCIFLUSH) {
            char scrap[512];
            while (read(in_, scrap, sizeof scrap) > 0) {
            }
            std::lock_guard guard(line_->lock_);
            ++line_->inputFlushes_;
        }
        return true;
    }
    bool Counters(serial_icounter_struct& counters) override {
        std::lock_guard guard(line_->lock_);
        counters = line_->counters_;
        return true;
    }
    bool OutputQueued(int& bytes) override {
        bytes = 0; // what is in the pipe has left
        return true;
    }
    bool SetRs485(bool on) override {
        std::lock_guard guard(line_->lock_);
        line_->rs485_ = on;
        return true;
    }
    void XoffState(bool& held, bool& sent) override {
        std::lock_guard guard(line_->lock_);
        held = line_->xoffHeld_;
        sent = line_->xoffSent_;
    }
    bool WatchChanges(std::function<void()> changed) override {
        std::lock_guard guard(line_->lock_);
        line_->watcher_ = std::move(changed);
        return true;
    }

private:
    std::shared_ptr<TFakeLine> line_;
    int in_;
    int out_;
};

TFakeLine::TFakeLine() {
    // Writing to a line that hung up fails (EPIPE), as it does on a terminal (EIO), rather than
    // raising the signal that would end the test program.
    signal(SIGPIPE, SIG_IGN);
    pipe2(toDevice_, O_CLOEXEC | O_NONBLOCK);
    pipe2(fromDevice_, O_CLOEXEC | O_NONBLOCK);
    fcntl(fromDevice_[1], F_SETPIPE_SZ, 4096);
    settings_.c_cflag = B9600 | CS8 | CREAD | CLOCAL;
    settings_.c_ispeed = settings_.c_ospeed = 9600;
    settings_.c_cc[VSTART] = 17;
    settings_.c_cc[VSTOP] = 19;
}

TFakeLine::~TFakeLine() {
    Uninstall();
    for (int fd : {toDevice_[0], toDevice_[1], fromDevice_[0], fromDevice_[1]}) {
        if (fd >= 0)
            close(fd);
    }
}

void TFakeLine::Install(const std::string& name) {
    installedName_ = name;
    std::weak_ptr<TFakeLine> weak = weak_from_this();
    InstallCommDevice(name, [weak]() -> std::unique_ptr<TCommDevice> {
        const std::shared_ptr<TFakeLine> line = weak.lock();
        if (!line) {
            errno = ENOENT;
            return nullptr;
        }
        if (line->RefuseErrno) {
            errno = line->RefuseErrno;
            return nullptr;
        }
        std::lock_guard guard(line->lock_);
        ++line->opens_;
        return std::make_unique<TFakeCommDevice>(line);
    });
}

void TFakeLine::Uninstall() {
    if (!installedName_.empty())
        InstallCommDevice(installedName_, nullptr);
    installedName_.clear();
}

void TFakeLine::Send(const std::vector<std::uint8_t>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(toDevice_[1], bytes.data() + done, bytes.size() - done);
        if (n > 0)
            done += std::size_t(n);
        else
            usleep(1000);
    }
}

std::vector<std::uint8_t> TFakeLine::Receive() {
    std::vector<std::uint8_t> bytes;
    std::uint8_t chunk[4096];
    ssize_t n = 0;
    while ((n = read(fromDevice_[0], chunk, sizeof chunk)) > 0)
        bytes.insert(bytes.end(), chunk, chunk + n);
    return bytes;
}

void TFakeLine::HangUp() {
    close(toDevice_[1]);
    close(fromDevice_[0]);
    toDevice_[1] = fromDevice_[0] = -1;
}

void TFakeLine::Changed() {
    if (watcher_)
        watcher_();
}

void TFakeLine::SetLines(int bits) {
    std::lock_guard guard(lock_);
    const int changed = (lines_ ^ bits) & (TIOCM_CTS | TIOCM_DSR | TIOCM_RNG | TIOCM_CAR);
    counters_.cts += (changed & TIOCM_CTS) != 0;
    counters_.dsr += (changed & TIOCM_DSR) != 0;
    counters_.rng += (changed & TIOCM_RNG) != 0;
    counters_.dcd += (changed & TIOCM_CAR) != 0;
    lines_ = (lines_ & ~(TIOCM_CTS | TIOCM_DSR | TIOCM_RNG | TIOCM_CAR)) | bits;
    Changed();
}

void TFakeLine::InjectErrors(int overrun, int parity, int frame, int breaks, int bufferOverrun) {
    std::lock_guard guard(lock_);
    counters_.overrun += overrun;
    counters_.parity += parity;
    counters_.frame += frame;
    counters_.brk += breaks;
    counters_.buf_overrun += bufferOverrun;
    Changed();
}

void TFakeLine::SetXoff(bool held, bool sent) {
    std::lock_guard guard(lock_);
    xoffHeld_ = held;
    xoffSent_ = sent;
}

void TFakeLine::FailReads(int error) {
    std::lock_guard guard(lock_);
    readErrno_ = error;
}

#define FAKE_LINE_GETTER(Type, Name, Field)                                                                  \
    Type TFakeLine::Name() {                                                                                 \
        std::lock_guard guard(lock_);                                                                        \
        return Field;                                                                                        \
    }
FAKE_LINE_GETTER(int, Lines, lines_)
FAKE_LINE_GETTER(int, LineReads, lineReads_)
FAKE_LINE_GETTER(bool, BreakOn, breakOn_)
FAKE_LINE_GETTER(int, BreaksSent, breaksSent_)
FAKE_LINE_GETTER(termios2, Settings, settings_)
FAKE_LINE_GETTER(int, SettingsWrites, settingsWrites_)
FAKE_LINE_GETTER(std::uint64_t, BytesWritten, written_)
FAKE_LINE_GETTER(std::uint64_t, BytesWrittenAtLastSettings, writtenAtSettings_)
FAKE_LINE_GETTER(int, InputFlushes, inputFlushes_)
FAKE_LINE_GETTER(bool, Rs485, rs485_)
FAKE_LINE_GETTER(int, Opens, opens_)
#undef FAKE_LINE_GETTER
