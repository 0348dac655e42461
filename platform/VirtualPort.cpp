#include "platform/VirtualPort.h"

#include <algorithm>
#include <cerrno>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <unordered_map>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QTimer>

#include "platform/Shell.h"

namespace {

constexpr int MaxComNumber = 256;

// The controls of this process by the COM number they serve.
std::map<int, TVirtualPortAx*>& LivePorts() {
    static std::map<int, TVirtualPortAx*> ports;
    return ports;
}

QByteArray Path(const QString& path) {
    return QFile::encodeName(path);
}

// The target of a symlink, or nothing when path is none.
std::optional<QString> LinkTarget(const QString& path) {
    char target[4096];
    const ssize_t n = ::readlink(Path(path).constData(), target, sizeof target - 1);
    if (n < 0)
        return std::nullopt;
    return QFile::decodeName(QByteArray(target, int(n)));
}

bool EntryExists(const QString& path) {
    struct stat st;
    return ::lstat(Path(path).constData(), &st) == 0;
}

// A link that an earlier run left: to a pty, whose master died with that run, or to nothing at all.
bool IsLeftover(const QString& link) {
    const std::optional<QString> target = LinkTarget(link);
    if (!target)
        return false;
    struct stat st;
    return target->startsWith(QStringLiteral("/dev/pts/")) || ::stat(Path(link).constData(), &st) != 0;
}

// One inotify instance for every port of the process (the system allows few instances per user, and
// many watches): opens and closes of the ports' slaves by other programs, and entries leaving the COM
// folder. Watches of one path share the system's watch; each caller holds a token of its own.
class TOpenWatch {
public:
    // Calls changed after events of mask on path; the token, or -1.
    static int Add(const char* path, uint32_t mask, std::function<void()> changed) {
        std::unique_ptr<TOpenWatch>& watch = Instance();
        if (!watch) {
            const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
            if (fd < 0)
                return -1;
            watch.reset(new TOpenWatch(fd));
        }
        const int wd = ::inotify_add_watch(watch->fd_, path, mask);
        if (wd < 0) {
            if (watch->tokens_.empty())
                watch.reset();
            return -1;
        }
        const int token = ++watch->lastToken_;
        watch->tokens_[token] = {wd, std::move(changed)};
        ++Changes;
        return token;
    }
    static void Remove(int token) {
        std::unique_ptr<TOpenWatch>& watch = Instance();
        if (!watch)
            return;
        const auto found = watch->tokens_.find(token);
        if (found == watch->tokens_.end())
            return;
        const int wd = found->second.Wd;
        watch->tokens_.erase(found);
        ++Changes;
        if (std::none_of(watch->tokens_.begin(), watch->tokens_.end(),
                         [wd](const auto& t) { return t.second.Wd == wd; })) {
            ::inotify_rm_watch(watch->fd_, wd);
            watch->opens_.erase(wd);
        }
        if (watch->tokens_.empty())
            watch.reset();
    }
    // How many times the token's path was opened since it was watched, events still queued included:
    // an open is in the queue as soon as it is done, before a poll of the master can see it.
    // queued false: a poll of the watch just now found nothing queued, so there is nothing to take.
    static unsigned Opens(int token, bool queued = true) {
        std::unique_ptr<TOpenWatch>& watch = Instance();
        if (!watch)
            return 0;
        const auto found = watch->tokens_.find(token);
        if (found == watch->tokens_.end())
            return 0;
        if (queued && (TPortPass::Depth == 0 || watch->collectedInPass_ != TPortPass::Number)) {
            watch->collectedInPass_ = TPortPass::Depth > 0 ? TPortPass::Number : 0;
            if (watch->Collect() && !std::exchange(watch->dispatchQueued_, true))
                QMetaObject::invokeMethod(
                    watch->notifier_, [] { Instance()->Dispatch(); }, Qt::QueuedConnection);
        }
        const auto opens = watch->opens_.find(found->second.Wd);
        return opens != watch->opens_.end() ? opens->second : 0;
    }
    // Moves on whenever a count of opens may have changed: a count asked again with nothing queued
    // and no change since is the one given last.
    static inline unsigned Changes = 0;
    // The descriptor to poll for queued events, or -1.
    static int Fd() {
        const std::unique_ptr<TOpenWatch>& watch = Instance();
        return watch ? watch->fd_ : -1;
    }
    ~TOpenWatch() {
        delete notifier_;
        ::close(fd_);
    }

private:
    struct TToken {
        int Wd;
        std::function<void()> Changed;
    };

    explicit TOpenWatch(int fd) : fd_(fd), notifier_(new QSocketNotifier(fd, QSocketNotifier::Read)) {
        QObject::connect(notifier_, &QSocketNotifier::activated, notifier_, [] {
            Instance()->Collect();
            Instance()->Dispatch();
        });
    }
    static std::unique_ptr<TOpenWatch>& Instance() {
        static std::unique_ptr<TOpenWatch> watch;
        return watch;
    }
    // Takes the queued events, counting opens; true when there were any.
    bool Collect() {
        bool any = false;
        alignas(inotify_event) char events[4096];
        ssize_t n;
        while ((n = ::read(fd_, events, sizeof events)) > 0)
            for (ssize_t at = 0; at < n;) {
                const auto* e = reinterpret_cast<const inotify_event*>(events + at);
                any = true;
                ++Changes;
                if (e->mask & IN_Q_OVERFLOW) { // events were lost: each watch may have had any
                    for (const auto& [token, t] : tokens_) {
                        pending_.insert(t.Wd);
                        ++opens_[t.Wd];
                    }
                } else {
                    pending_.insert(e->wd);
                    if (e->mask & IN_OPEN)
                        ++opens_[e->wd];
                }
                at += ssize_t(sizeof(inotify_event) + e->len);
            }
        return any;
    }
    void Dispatch() {
        dispatchQueued_ = false;
        const std::set<int> wds = std::exchange(pending_, {});
        std::vector<int> tokens;
        for (const auto& [token, t] : tokens_)
            if (wds.count(t.Wd))
                tokens.push_back(token);
        std::sort(tokens.begin(), tokens.end()); // in the order the watches were made
        // A handler may remove watches, the last one deleting this watcher.
        for (const int token : tokens) {
            std::unique_ptr<TOpenWatch>& watch = Instance();
            if (!watch)
                return;
            const auto found = watch->tokens_.find(token);
            if (found != watch->tokens_.end()) {
                const std::function<void()> changed = found->second.Changed;
                changed();
            }
        }
    }

    int fd_;
    QSocketNotifier* notifier_;
    int lastToken_ = 0;
    // Asked for every write and report of every port: hashed, not walked.
    std::unordered_map<int, TToken> tokens_;
    std::unordered_map<int, unsigned> opens_; // by the system's watch
    std::set<int> pending_;                   // system's watches with events not yet handed on
    bool dispatchQueued_ = false;
    unsigned collectedInPass_ = 0; // the pass whose opens were taken already; 0: none
};

// A new link under a private name renamed over the old one: no moment without a COMn.
bool ReplaceLink(const QString& link, const char* target) {
    const QByteArray fresh = Path(link + QStringLiteral(".new.") + QString::number(::getpid()));
    ::unlink(fresh.constData());
    if (::symlink(target, fresh.constData()) == 0 && ::rename(fresh.constData(), Path(link).constData()) == 0)
        return true;
    ::unlink(fresh.constData());
    return false;
}

// The slave without echo, line editing, signals or translation in either direction.
bool SetRaw(const char* slave) {
    const int fd = ::open(slave, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return false;
    termios tio{};
    bool ok = ::tcgetattr(fd, &tio) == 0;
    if (ok) {
        ::cfmakeraw(&tio);
        tio.c_cflag |= CLOCAL | CREAD;
        tio.c_cc[VMIN] = 1;
        tio.c_cc[VTIME] = 0;
        ok = ::tcsetattr(fd, TCSANOW, &tio) == 0;
    }
    // Closing it leaves the pair hung up until a program opens the slave, which the master can see.
    ::close(fd);
    return ok;
}

} // namespace

int ComPortNumber(const QString& portName) {
    static const QRegularExpression pattern(QStringLiteral("^COM([1-9][0-9]{0,2})$"),
                                            QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = pattern.match(portName);
    const int n = match.hasMatch() ? match.captured(1).toInt() : 0;
    return n <= MaxComNumber ? n : 0;
}

bool IsOwnVirtualPort(const QString& portName) {
    const int n = ComPortNumber(portName);
    return n > 0 && LivePorts().count(n) > 0;
}

TVirtualPortAx::TVirtualPortAx(QObject* owner) : QObject(owner) {}

TVirtualPortAx::~TVirtualPortAx() {
    Release();
}

bool TVirtualPortAx::CreatePort(const QString& portName) {
    return Open(portName, false);
}

bool TVirtualPortAx::Attach(const QString& portName) {
    return Open(portName, true);
}

bool TVirtualPortAx::Open(const QString& portName, bool replace) {
    const int n = ComPortNumber(portName);
    if (n == 0 || master_ >= 0 || LivePorts().count(n))
        return false;
    const QString folder = ComFolder();
    const QString link = folder + QStringLiteral("/COM") + QString::number(n);
    if (EntryExists(link) && !(replace && IsLeftover(link)))
        return false;
    if (!ForceDirectories(folder))
        return false;

    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    char slave[256];
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0 ||
        ::ptsname_r(master_, slave, sizeof slave) != 0 || !SetRaw(slave)) {
        Release();
        return false;
    }
    slave_ = QFile::decodeName(slave);
    watch_ = TOpenWatch::Add(slave, IN_OPEN | IN_CLOSE, [this] { Service(); });
    folderWatch_ = WatchFolder(folder);
    if (watch_ < 0 || folderWatch_ < 0) {
        Release();
        return false;
    }
    if (!(replace ? ReplaceLink(link, slave) : ::symlink(slave, Path(link).constData()) == 0)) {
        Release();
        return false;
    }
    name_ = QStringLiteral("COM") + QString::number(n);
    link_ = link;
    LivePorts()[n] = this;

    readNotifier_ = new QSocketNotifier(master_, QSocketNotifier::Read, this);
    readNotifier_->setEnabled(false); // hung up until a program opens the port
    QObject::connect(readNotifier_, &QSocketNotifier::activated, this, [this] { Service(); });
    return true;
}

void TVirtualPortAx::Release() {
    delete readNotifier_;
    readNotifier_ = nullptr;
    if (!link_.isEmpty() && LinkTarget(link_) == slave_)
        ::unlink(Path(link_).constData());
    if (const int n = ComPortNumber(name_); n > 0 && LivePorts()[n] == this)
        LivePorts().erase(n);
    for (const int watch : {watch_, folderWatch_})
        if (watch >= 0)
            TOpenWatch::Remove(watch);
    if (master_ >= 0)
        ::close(master_);
    watch_ = folderWatch_ = master_ = -1;
    ready_ = false;
    name_.clear();
    link_.clear();
    slave_.clear();
    leftOver_.clear();
}

int TVirtualPortAx::SetStrictBaudrate(int strict) {
    strictBaudrate_ = strict;
    return 1;
}

int TVirtualPortAx::SetWiring(int dtr, int rts, int out1, int out2) {
    wiring_[0] = dtr;
    wiring_[1] = rts;
    wiring_[2] = out1;
    wiring_[3] = out2;
    return 1;
}

// With opensQueued, the same call also tells whether the programs' opens and closes wait to be taken:
// the watch is polled after the master, so an open the master's answer shows is queued by then.
bool TVirtualPortAx::Poll(bool* opensQueued) {
    const int watchFd = opensQueued ? TOpenWatch::Fd() : -1;
    pollfd p[2] = {{master_, POLLOUT, 0}, {watchFd, POLLIN, 0}};
    const int polled = master_ >= 0 ? ::poll(p, watchFd >= 0 ? 2 : 1, 0) : -1;
    ready_ = polled >= 0 && !(p[0].revents & POLLHUP);
    if (opensQueued)
        *opensQueued = watchFd < 0 || polled < 0 || p[1].revents != 0;
    return ready_;
}

// Every open by a program starts its moment, however its events arrive: a close and the next open may
// come in one turn of the loop, with no moment of not-ready seen in between.
bool TVirtualPortAx::Settled(bool ready, bool opensQueued) {
    if (!opensQueued && TOpenWatch::Changes == changesSeen_)
        return ready && settled_; // no open since the last look, nor any change of the watches
    const unsigned opens = TOpenWatch::Opens(watch_, opensQueued);
    changesSeen_ = TOpenWatch::Changes;
    if (opens != opensSeen_) {
        opensSeen_ = opens;
        settled_ = false;
        QTimer::singleShot(SettleMs, this, [this, settle = ++settles_] {
            if (settle == settles_)
                settled_ = true;
        });
    }
    return ready && settled_;
}

int TVirtualPortAx::WatchFolder(const QString& folder) {
    return TOpenWatch::Add(Path(folder).constData(),
                           IN_DELETE | IN_MOVED_FROM | IN_DELETE_SELF | IN_MOVE_SELF,
                           [this] { Republish(); });
}

// PC software finds the port by its link: one removed while the port lives is made again, and the
// folder with it. A folder that went and came again is watched afresh (watching the folder still
// watched gives the same watch).
void TVirtualPortAx::Republish() {
    if (master_ < 0)
        return;
    const QString folder = QFileInfo(link_).path();
    if (!EntryExists(link_) && ForceDirectories(folder))
        ::symlink(Path(slave_).constData(), Path(link_).constData());
    TOpenWatch::Remove(std::exchange(folderWatch_, WatchFolder(folder)));
}

int TVirtualPortAx::Write(const std::uint8_t* buffer, int count) {
    if (count <= 0)
        return 0;
    bool opensQueued = true;
    const bool ready = Poll(&opensQueued);
    if (!Settled(ready, opensQueued))
        return 0;
    const ssize_t n = ::write(master_, buffer, size_t(count));
    return n > 0 ? int(n) : 0;
}

// Out of line: the fuzz target of the routing replaces every member of the control.
bool TVirtualPortAx::Ready() const {
    return ready_;
}

int TVirtualPortAx::Read(std::uint8_t* buffer, int count) {
    if (master_ < 0 || count <= 0)
        return 0;
    const int stashed = std::min(count, int(leftOver_.size()));
    std::copy_n(leftOver_.begin(), stashed, buffer);
    leftOver_.erase(leftOver_.begin(), leftOver_.begin() + stashed);
    const ssize_t n = stashed < count ? ::read(master_, buffer + stashed, size_t(count - stashed)) : 0;
    const int total = stashed + int(std::max<ssize_t>(n, 0));
    taken_ += total;
    return total;
}

int TVirtualPortAx::Waiting() const {
    int n = 0;
    if (master_ < 0 || ::ioctl(master_, FIONREAD, &n) != 0)
        n = 0;
    return int(leftOver_.size()) + n;
}

// The kernel may still be moving a closing program's last bytes to the master when its close is
// seen, and FIONREAD does not wait for them; a read does, so they are read here before the hang-up
// turns the read notifier off.
void TVirtualPortAx::TakeLeftOver() {
    std::uint8_t buffer[4096];
    ssize_t n;
    while ((n = ::read(master_, buffer, sizeof buffer)) > 0)
        leftOver_.insert(leftOver_.end(), buffer, buffer + n);
}

void TVirtualPortAx::ResumeRx() {
    if (!held_)
        return;
    held_ = false;
    // One event from the loop serves every port resumed meanwhile (the routing resumes them all).
    static std::vector<QPointer<TVirtualPortAx>> resumed;
    resumed.emplace_back(this);
    if (resumed.size() == 1)
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [] {
                const TPortPass pass;
                for (const QPointer<TVirtualPortAx>& port : std::exchange(resumed, {}))
                    if (port)
                        port->Report(port->ready_); // the last sign of an open or close still holds
            },
            Qt::QueuedConnection);
}

// After every sign of life on the master or the slave (an open, a close, bytes), the system is asked
// afresh whether a program holds the port.
void TVirtualPortAx::Service() {
    Report(Poll());
}

// Reports what waits, then listens on the master only while a program holds the slave (a hung-up
// master reports POLLHUP without end).
void TVirtualPortAx::Report(bool ready) {
    if (master_ < 0)
        return;
    Settled(ready); // an open starts its moment now, not at the next write
    if (!ready)
        TakeLeftOver();
    const int waiting = Waiting();
    if (waiting > 0 && !held_) {
        if (OnRxChar) {
            QPointer<TVirtualPortAx> self(this);
            taken_ = 0;
            OnRxChar(this, waiting);
            if (!self || master_ < 0)
                return;
            held_ = taken_ < waiting;
        } else {
            std::uint8_t dropped[4096];
            leftOver_.clear();
            while (::read(master_, dropped, sizeof dropped) > 0) {
            }
        }
    }
    readNotifier_->setEnabled(!held_ && Poll());
}
