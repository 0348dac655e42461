#include "platform/Win32Serial.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <deque>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <optional>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>

#include "platform/ComFolder.h"
#include "platform/CommDevice.h"

namespace {

// A terminal opened by CreateFile or handed over by the telephony layer; owns its descriptor.
class TTtyDevice : public TCommDevice {
public:
    explicit TTtyDevice(int fd) : fd_(fd) {}
    ~TTtyDevice() override { close(fd_); }

    int InputFd() const override { return fd_; }
    int OutputFd() const override { return fd_; }
    ssize_t Read(void* buffer, std::size_t size) override { return read(fd_, buffer, size); }
    ssize_t Write(const void* data, std::size_t size) override { return write(fd_, data, size); }
    bool GetSettings(termios2& settings) override { return ioctl(fd_, TCGETS2, &settings) == 0; }
    bool SetSettings(const termios2& settings) override { return ioctl(fd_, TCSETS2, &settings) == 0; }
    bool GetLines(int& bits) override { return ioctl(fd_, TIOCMGET, &bits) == 0; }
    bool ChangeLines(int set, int clear) override {
        return (set == 0 || ioctl(fd_, TIOCMBIS, &set) == 0) &&
               (clear == 0 || ioctl(fd_, TIOCMBIC, &clear) == 0);
    }
    bool SetBreak(bool on) override { return ioctl(fd_, on ? TIOCSBRK : TIOCCBRK) == 0; }
    bool Flush(int queue) override { return ioctl(fd_, TCFLSH, queue) == 0; }
    bool Counters(serial_icounter_struct& counters) override {
        return ioctl(fd_, TIOCGICOUNT, &counters) == 0;
    }
    bool OutputQueued(int& bytes) override { return ioctl(fd_, TIOCOUTQ, &bytes) == 0; }
    bool SetRs485(bool on) override {
        serial_rs485 rs485{};
        rs485.flags = on ? SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND : 0;
        return ioctl(fd_, TIOCSRS485, &rs485) == 0;
    }

private:
    int fd_;
};

struct TPendingWrite {
    OVERLAPPED* Overlapped;
    const std::uint8_t* Data;
    std::uint32_t Size;
    std::uint32_t Done;
};

struct TPendingWait {
    OVERLAPPED* Overlapped;
    std::uint32_t* Events;
};

constexpr std::uint32_t LineEvents = EV_CTS | EV_DSR | EV_RLSD | EV_BREAK | EV_ERR | EV_RING;
constexpr int CounterPollMs = 20;

// One open handle. Lock guards every field; WakeFd is set before the handle is published and closed
// after its service thread has been joined.
struct THandle {
    std::mutex Lock;
    std::unique_ptr<TCommDevice> Device;
    std::optional<DCB> Shadow;
    COMMTIMEOUTS Timeouts;
    std::uint32_t Mask = 0;
    std::deque<TPendingWrite> Writes;
    std::optional<TPendingWait> Wait;
    bool HasCounters = false;
    bool Notifies = false;              // the device wakes the service thread itself
    serial_icounter_struct EventBase{}; // counters when line events were last reported
    serial_icounter_struct ErrorBase{}; // counters when line errors were last reported
    bool RxReported = false;            // EV_RXCHAR given and the input not read since
    std::uint32_t Gone = ERROR_SUCCESS; // the error of every call once the device hung up
    bool Stopping = false;
    bool Serving = false;
    std::thread Service;
    int WakeFd = -1;
};

std::mutex handlesLock;
std::map<HANDLE, std::shared_ptr<THandle>> handles;

std::mutex devicesLock;
std::map<std::string, TCommDeviceFactory> installedDevices;

std::string DeviceKey(const std::string& name) {
    std::string key = name.rfind("\\\\.\\", 0) == 0 ? name.substr(4) : name;
    for (char& c : key)
        c = char(std::toupper(static_cast<unsigned char>(c)));
    return key;
}

bool Fail(std::uint32_t code) {
    SetLastError(code);
    return false;
}

bool FailErrno() {
    SetLastErrorFromErrno(errno);
    return false;
}

void Wake(const THandle& h) {
    if (h.WakeFd >= 0) {
        const std::uint64_t one = 1;
        (void)!write(h.WakeFd, &one, sizeof one);
    }
}

void Complete(OVERLAPPED* overlapped, std::uint32_t status, std::uint32_t bytes) {
    overlapped->Internal = status;
    overlapped->InternalHigh = bytes;
    if (overlapped->hEvent)
        overlapped->hEvent->SetEvent();
}

void Start(OVERLAPPED* overlapped) {
    overlapped->Internal = ERROR_IO_PENDING;
    overlapped->InternalHigh = 0;
    if (overlapped->hEvent)
        overlapped->hEvent->ResetEvent();
}

// Ends the pending operations that match (all for null; with writesOnly, no wait) with `status`;
// true when one was ended.
bool EndPendingLocked(THandle& h, OVERLAPPED* only, std::uint32_t status, bool writesOnly = false) {
    bool ended = false;
    for (auto it = h.Writes.begin(); it != h.Writes.end();) {
        if (only && it->Overlapped != only) {
            ++it;
            continue;
        }
        Complete(it->Overlapped, status, it->Done);
        it = h.Writes.erase(it);
        ended = true;
    }
    if (h.Wait && !writesOnly && (!only || h.Wait->Overlapped == only)) {
        *h.Wait->Events = 0;
        Complete(h.Wait->Overlapped, status, 0);
        h.Wait.reset();
        ended = true;
    }
    return ended;
}

void HangUpLocked(THandle& h) {
    if (h.Gone == ERROR_SUCCESS)
        h.Gone = ERROR_DEVICE_NOT_CONNECTED;
    EndPendingLocked(h, nullptr, h.Gone);
}

bool Readable(const TCommDevice& device) {
    pollfd in{device.InputFd(), POLLIN, 0};
    return poll(&in, 1, 0) == 1 && (in.revents & POLLIN);
}

// The events since the last look, whatever the mask; moves the base on.
std::uint32_t TakeEventsLocked(THandle& h, bool readable) {
    std::uint32_t events = 0;
    if (readable && !h.RxReported)
        events |= EV_RXCHAR;
    serial_icounter_struct now{};
    if (h.HasCounters && h.Device->Counters(now)) {
        const serial_icounter_struct& was = h.EventBase;
        if (now.cts != was.cts)
            events |= EV_CTS;
        if (now.dsr != was.dsr)
            events |= EV_DSR;
        if (now.dcd != was.dcd)
            events |= EV_RLSD;
        if (now.rng != was.rng)
            events |= EV_RING;
        if (now.brk != was.brk)
            events |= EV_BREAK;
        if (now.frame != was.frame || now.overrun != was.overrun || now.parity != was.parity ||
            now.buf_overrun != was.buf_overrun)
            events |= EV_ERR;
        h.EventBase = now;
    }
    return events;
}

// Completes the pending wait when an event it waits for has come.
void CheckWaitLocked(THandle& h, bool readable) {
    if (!h.Wait)
        return;
    const std::uint32_t events = TakeEventsLocked(h, readable) & h.Mask;
    if (events == 0)
        return;
    if (events & EV_RXCHAR)
        h.RxReported = true;
    *h.Wait->Events = events;
    Complete(h.Wait->Overlapped, ERROR_SUCCESS, 0);
    h.Wait.reset();
}

// Moves pending output into the device as far as it takes it.
void WritePendingLocked(THandle& h) {
    while (!h.Writes.empty()) {
        TPendingWrite& w = h.Writes.front();
        const ssize_t n = h.Device->Write(w.Data + w.Done, w.Size - w.Done);
        if (n > 0) {
            w.Done += std::uint32_t(n);
            if (w.Done == w.Size) {
                Complete(w.Overlapped, ERROR_SUCCESS, w.Size);
                h.Writes.pop_front();
            }
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0 || errno == EAGAIN)
            return;
        Complete(w.Overlapped, WinErrorFromErrno(errno), w.Done);
        h.Writes.pop_front();
    }
}

void Serve(THandle& h) {
    for (;;) {
        pollfd fds[3]{};
        nfds_t count = 0;
        int timeoutMs = -1;
        {
            std::lock_guard guard(h.Lock);
            if (h.Stopping)
                return;
            fds[count++] = {h.WakeFd, POLLIN, 0};
            if (h.Gone == ERROR_SUCCESS) {
                const short in = h.Wait && (h.Mask & EV_RXCHAR) && !h.RxReported ? POLLIN : 0;
                const short out = h.Writes.empty() ? 0 : POLLOUT;
                if (h.Device->InputFd() == h.Device->OutputFd()) {
                    fds[count++] = {h.Device->InputFd(), short(in | out), 0};
                } else {
                    fds[count++] = {h.Device->InputFd(), in, 0};
                    fds[count++] = {h.Device->OutputFd(), out, 0};
                }
                if (h.Wait && (h.Mask & LineEvents) && h.HasCounters && !h.Notifies)
                    timeoutMs = CounterPollMs;
            }
        }
        if (poll(fds, count, timeoutMs) < 0 && errno != EINTR)
            return;
        std::lock_guard guard(h.Lock);
        std::uint64_t wakes = 0;
        (void)!read(h.WakeFd, &wakes, sizeof wakes);
        if (h.Stopping)
            return;
        if (h.Gone != ERROR_SUCCESS)
            continue;
        bool readable = false;
        bool hungUp = false;
        for (nfds_t i = 1; i < count; ++i) {
            readable = readable || (fds[i].fd == h.Device->InputFd() && (fds[i].revents & POLLIN));
            hungUp = hungUp || (fds[i].revents & (POLLHUP | POLLERR | POLLNVAL));
        }
        if (hungUp) {
            HangUpLocked(h);
            continue;
        }
        WritePendingLocked(h);
        CheckWaitLocked(h, readable);
    }
}

// Starts the service thread for a pending operation, or wakes it.
void ServeLocked(THandle& h) {
    if (!h.Serving) {
        h.Serving = true;
        h.Service = std::thread([&h] { Serve(h); });
    }
    Wake(h);
}

std::shared_ptr<THandle> Register(std::unique_ptr<TCommDevice> device) {
    auto h = std::make_shared<THandle>();
    h->WakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    serial_icounter_struct counters{};
    h->HasCounters = device->Counters(counters);
    h->EventBase = h->ErrorBase = counters;
    h->Notifies = device->WatchChanges([raw = h.get()] { Wake(*raw); });
    h->Device = std::move(device);
    return h;
}

// The handle, or null with ERROR_INVALID_HANDLE. A terminal descriptor seen for the first time is
// taken on.
std::shared_ptr<THandle> Find(HANDLE handle) {
    std::lock_guard guard(handlesLock);
    const auto found = handles.find(handle);
    if (found != handles.end())
        return found->second;
    const int flags = handle >= 0 ? fcntl(handle, F_GETFL) : -1;
    if (flags < 0 || !isatty(handle)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    fcntl(handle, F_SETFL, flags | O_NONBLOCK);
    auto h = Register(std::make_unique<TTtyDevice>(handle));
    handles[handle] = h;
    return h;
}

// Runs `call` on the handle under its lock; a hung-up device fails with its error.
template <class Call> bool WithHandle(HANDLE handle, Call&& call) {
    const std::shared_ptr<THandle> h = Find(handle);
    if (!h)
        return false;
    std::lock_guard guard(h->Lock);
    if (h->Stopping) // being closed
        return Fail(ERROR_INVALID_HANDLE);
    if (h->Gone != ERROR_SUCCESS)
        return Fail(h->Gone);
    return call(*h);
}

// Baud rates a terminal names with a code of its own; others go as BOTHER.
struct TBaudCode {
    std::uint32_t Rate;
    tcflag_t Code;
};
constexpr TBaudCode BaudCodes[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
    {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

void PutBaud(termios2& t, std::uint32_t rate) {
    tcflag_t code = BOTHER;
    for (const TBaudCode& b : BaudCodes) {
        if (b.Rate == rate)
            code = b.Code;
    }
    t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT)); // the input speed follows the output speed
    t.c_cflag |= code;
    t.c_ospeed = t.c_ispeed = rate;
}

std::uint32_t TakeBaud(const termios2& t) {
    const tcflag_t code = t.c_cflag & CBAUD;
    for (const TBaudCode& b : BaudCodes) {
        if (b.Code == code)
            return b.Rate;
    }
    return t.c_ospeed;
}

bool ValidDcb(const DCB& dcb) {
    return dcb.BaudRate != 0 && dcb.ByteSize >= 5 && dcb.ByteSize <= 8 && dcb.Parity <= SPACEPARITY &&
           dcb.StopBits <= TWOSTOPBITS && (dcb.StopBits != ONE5STOPBITS || dcb.ByteSize == 5) &&
           (!(dcb.Flags & (DCB_OUTX | DCB_INX)) || dcb.XonChar != dcb.XoffChar);
}

// A raw line (no echo, no translation, no signals) with the DCB's framing and flow control.
termios2 ToTermios(termios2 t, const DCB& dcb) {
    t.c_iflag &=
        ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | INPCK | IGNPAR);
    t.c_oflag &= ~OPOST;
    t.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    PutBaud(t, dcb.BaudRate);
    constexpr tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= sizes[dcb.ByteSize - 5];
    constexpr tcflag_t parities[] = {0, PARENB | PARODD, PARENB, PARENB | PARODD | CMSPAR, PARENB | CMSPAR};
    t.c_cflag |= parities[dcb.Parity];
    if (dcb.Flags & DCB_PARITY)
        t.c_iflag |= INPCK;
    if (dcb.StopBits != ONESTOPBIT)
        t.c_cflag |= CSTOPB;
    if ((dcb.Flags & DCB_OUTX_CTS_FLOW) || (dcb.Flags & DCB_RTS_CONTROL) == DCB_RTS_HANDSHAKE)
        t.c_cflag |= CRTSCTS;
    if (dcb.Flags & DCB_OUTX)
        t.c_iflag |= IXON;
    if (dcb.Flags & DCB_INX)
        t.c_iflag |= IXOFF;
    t.c_cc[VSTART] = cc_t(dcb.XonChar);
    t.c_cc[VSTOP] = cc_t(dcb.XoffChar);
    return t;
}

// The DCB of a handle nothing has been set on yet.
DCB FromTermios(const termios2& t, int lines, bool hasLines) {
    DCB dcb;
    dcb.BaudRate = TakeBaud(t);
    dcb.Flags = DCB_BINARY;
    if (t.c_iflag & INPCK)
        dcb.Flags |= DCB_PARITY;
    if (t.c_cflag & CRTSCTS)
        dcb.Flags |= DCB_OUTX_CTS_FLOW | DCB_RTS_HANDSHAKE;
    else if (!hasLines || (lines & TIOCM_RTS))
        dcb.Flags |= DCB_RTS_ENABLE;
    if (!hasLines || (lines & TIOCM_DTR))
        dcb.Flags |= DCB_DTR_ENABLE;
    // No XON/XOFF: a terminal's IXON is its interactive default, not a setting of the line.
    switch (t.c_cflag & CSIZE) {
    case CS5:
        dcb.ByteSize = 5;
        break;
    case CS6:
        dcb.ByteSize = 6;
        break;
    case CS7:
        dcb.ByteSize = 7;
        break;
    default:
        dcb.ByteSize = 8;
    }
    if (!(t.c_cflag & PARENB))
        dcb.Parity = NOPARITY;
    else if (t.c_cflag & CMSPAR)
        dcb.Parity = (t.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
    else
        dcb.Parity = (t.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
    dcb.StopBits = !(t.c_cflag & CSTOPB) ? ONESTOPBIT : dcb.ByteSize == 5 ? ONE5STOPBITS : TWOSTOPBITS;
    dcb.XonChar = char(t.c_cc[VSTART]);
    dcb.XoffChar = char(t.c_cc[VSTOP]);
    return dcb;
}

// Sets DTR and RTS as the DCB's control fields say, where they changed. A device without modem
// lines keeps them in the shadow only.
void ApplyLinesLocked(THandle& h, const DCB& dcb) {
    const std::uint32_t was = h.Shadow ? h.Shadow->Flags : ~dcb.Flags;
    if ((was ^ dcb.Flags) & DCB_DTR_CONTROL) {
        const bool on = (dcb.Flags & DCB_DTR_CONTROL) != 0; // no DTR handshake here: the line stays up
        h.Device->ChangeLines(on ? TIOCM_DTR : 0, on ? 0 : TIOCM_DTR);
    }
    if ((was ^ dcb.Flags) & DCB_RTS_CONTROL) {
        const std::uint32_t rts = dcb.Flags & DCB_RTS_CONTROL;
        if (rts == DCB_RTS_ENABLE || rts == 0)
            h.Device->ChangeLines(rts ? TIOCM_RTS : 0, rts ? 0 : TIOCM_RTS);
        if (rts == DCB_RTS_TOGGLE || (h.Shadow && (was & DCB_RTS_CONTROL) == DCB_RTS_TOGGLE))
            h.Device->SetRs485(rts == DCB_RTS_TOGGLE);
    }
}

} // namespace

HANDLE CreateFile(const char* name, std::uint32_t access, std::uint32_t shareMode, void* security,
                  std::uint32_t disposition, std::uint32_t flags, HANDLE templateFile) {
    (void)access, (void)security, (void)disposition, (void)flags, (void)templateFile;
    TCommDeviceFactory factory;
    {
        std::lock_guard guard(devicesLock);
        const auto found = installedDevices.find(DeviceKey(name ? name : ""));
        if (found != installedDevices.end())
            factory = found->second;
    }
    std::unique_ptr<TCommDevice> device;
    if (factory) {
        errno = 0;
        device = factory();
        if (!device) {
            SetLastErrorFromErrno(errno ? errno : ENOENT);
            return INVALID_HANDLE_VALUE;
        }
    } else {
        const std::optional<std::uint32_t> n = ComPortNumber(name ? name : "");
        if (!n) {
            SetLastError(ERROR_FILE_NOT_FOUND, ENOENT);
            return INVALID_HANDLE_VALUE;
        }
        int fd = open(ComDevicePath(*n).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            // A device node without hardware behind it is a port that does not exist.
            const int error = errno;
            if (error == EIO || error == ENXIO || error == ENODEV)
                SetLastError(ERROR_FILE_NOT_FOUND, error);
            else
                SetLastErrorFromErrno(error);
            return INVALID_HANDLE_VALUE;
        }
        if (fd < 3) { // keep clear of the standard streams' numbers
            const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
            const int error = errno;
            close(fd);
            if (moved < 0) {
                SetLastErrorFromErrno(error);
                return INVALID_HANDLE_VALUE;
            }
            fd = moved;
        }
        const bool inUse = shareMode == 0 && flock(fd, LOCK_EX | LOCK_NB) != 0;
        const bool terminal = isatty(fd);
        if (inUse || !terminal) {
            close(fd);
            SetLastError(inUse ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND, inUse ? EBUSY : ENOTTY);
            return INVALID_HANDLE_VALUE;
        }
        device = std::make_unique<TTtyDevice>(fd);
    }
    const HANDLE handle = device->InputFd();
    std::shared_ptr<THandle> h = Register(std::move(device));
    std::lock_guard guard(handlesLock);
    handles[handle] = std::move(h);
    return handle;
}

bool CloseHandle(HANDLE handle) {
    std::shared_ptr<THandle> h;
    {
        std::lock_guard guard(handlesLock);
        const auto found = handles.find(handle);
        if (found == handles.end()) // never a descriptor by number: it may belong to someone else now
            return Fail(ERROR_INVALID_HANDLE);
        h = std::move(found->second);
        handles.erase(found);
    }
    if (h->Notifies)
        h->Device->WatchChanges(nullptr);
    {
        std::lock_guard guard(h->Lock);
        h->Stopping = true;
        EndPendingLocked(*h, nullptr, ERROR_OPERATION_ABORTED);
        Wake(*h);
    }
    if (h->Service.joinable())
        h->Service.join();
    close(h->WakeFd);
    h->Device.reset();
    return true;
}

bool SetupComm(HANDLE handle, std::uint32_t inQueue, std::uint32_t outQueue) {
    (void)inQueue, (void)outQueue; // a terminal's queues have the sizes its driver gives them
    return WithHandle(handle, [](THandle&) { return true; });
}

bool GetCommState(HANDLE handle, DCB* dcb) {
    return WithHandle(handle, [&](THandle& h) {
        if (h.Shadow) {
            *dcb = *h.Shadow;
            return true;
        }
        termios2 t{};
        if (!h.Device->GetSettings(t))
            return FailErrno();
        int lines = 0;
        const bool hasLines = h.Device->GetLines(lines);
        *dcb = FromTermios(t, lines, hasLines);
        return true;
    });
}

bool SetCommState(HANDLE handle, const DCB* dcb) {
    if (!dcb || !ValidDcb(*dcb))
        return Fail(ERROR_INVALID_PARAMETER);
    return WithHandle(handle, [&](THandle& h) {
        termios2 t{};
        if (!h.Device->GetSettings(t) || !h.Device->SetSettings(ToTermios(t, *dcb)))
            return FailErrno();
        ApplyLinesLocked(h, *dcb);
        h.Shadow = *dcb;
        return true;
    });
}

bool SetDescriptorState(int fd, const DCB* dcb) {
    termios2 t{};
    if (ioctl(fd, TCGETS2, &t) != 0)
        return false;
    const DCB wanted = dcb ? *dcb : FromTermios(t, 0, false);
    if (!ValidDcb(wanted))
        return false;
    const termios2 raw = ToTermios(t, wanted);
    if (ioctl(fd, TCSETS2, &raw) != 0)
        return false;
    int lines = TIOCM_DTR | TIOCM_RTS; // a device without modem lines has nothing to raise
    ioctl(fd, TIOCMBIS, &lines);
    return true;
}

bool GetCommTimeouts(HANDLE handle, COMMTIMEOUTS* timeouts) {
    return WithHandle(handle, [&](THandle& h) {
        *timeouts = h.Timeouts;
        return true;
    });
}

bool SetCommTimeouts(HANDLE handle, const COMMTIMEOUTS* timeouts) {
    return WithHandle(handle, [&](THandle& h) {
        h.Timeouts = *timeouts;
        return true;
    });
}

bool SetCommMask(HANDLE handle, std::uint32_t mask) {
    return WithHandle(handle, [&](THandle& h) {
        h.Mask = mask;
        if (h.Wait)
            EndPendingLocked(h, h.Wait->Overlapped, ERROR_SUCCESS);
        Wake(h);
        return true;
    });
}

bool GetCommMask(HANDLE handle, std::uint32_t* mask) {
    return WithHandle(handle, [&](THandle& h) {
        *mask = h.Mask;
        return true;
    });
}

bool WaitCommEvent(HANDLE handle, std::uint32_t* events, OVERLAPPED* overlapped) {
    return WithHandle(handle, [&](THandle& h) {
        if (h.Wait || !overlapped)
            return Fail(ERROR_INVALID_PARAMETER);
        Start(overlapped);
        *events = 0;
        h.Wait = TPendingWait{overlapped, events};
        CheckWaitLocked(h, (h.Mask & EV_RXCHAR) && Readable(*h.Device));
        if (!h.Wait)
            return true;
        ServeLocked(h);
        return Fail(ERROR_IO_PENDING);
    });
}

bool ReadFile(HANDLE handle, void* buffer, std::uint32_t size, std::uint32_t* read, OVERLAPPED* overlapped) {
    return WithHandle(handle, [&](THandle& h) {
        if (overlapped)
            Start(overlapped);
        std::uint32_t got = 0;
        ssize_t n = 0;
        while (got < size && (n = h.Device->Read(static_cast<char*>(buffer) + got, size - got)) > 0)
            got += std::uint32_t(n);
        if (got == 0 && size > 0 && n == 0) {
            HangUpLocked(h);
            return Fail(h.Gone);
        }
        if (got == 0 && n < 0 && errno != EAGAIN && errno != EINTR) {
            const int error = errno;
            if (overlapped)
                Complete(overlapped, WinErrorFromErrno(error), 0);
            SetLastErrorFromErrno(error);
            return false;
        }
        if (got > 0 && h.RxReported) {
            h.RxReported = false;
            Wake(h);
        }
        if (read)
            *read = got;
        if (overlapped)
            Complete(overlapped, ERROR_SUCCESS, got);
        return true;
    });
}

bool WriteFile(HANDLE handle, const void* data, std::uint32_t size, std::uint32_t* written,
               OVERLAPPED* overlapped) {
    return WithHandle(handle, [&](THandle& h) {
        if (!overlapped)
            return Fail(ERROR_INVALID_PARAMETER);
        Start(overlapped);
        if (written)
            *written = 0;
        const bool queued = !h.Writes.empty();
        h.Writes.push_back({overlapped, static_cast<const std::uint8_t*>(data), size, 0});
        if (!queued)
            WritePendingLocked(h);
        if (overlapped->Internal == ERROR_IO_PENDING) {
            ServeLocked(h);
            return Fail(ERROR_IO_PENDING);
        }
        if (overlapped->Internal != ERROR_SUCCESS)
            return Fail(overlapped->Internal);
        if (written)
            *written = overlapped->InternalHigh;
        return true;
    });
}

bool GetOverlappedResult(HANDLE handle, OVERLAPPED* overlapped, std::uint32_t* bytes, bool wait) {
    const std::shared_ptr<THandle> h = Find(handle);
    if (!h)
        return false;
    std::unique_lock guard(h->Lock);
    if (overlapped->Internal == ERROR_IO_PENDING) {
        if (!wait || !overlapped->hEvent)
            return Fail(ERROR_IO_INCOMPLETE);
        guard.unlock();
        overlapped->hEvent->WaitFor(INFINITE); // a manual-reset event, so it stays set
        guard.lock();
    }
    if (bytes)
        *bytes = overlapped->InternalHigh;
    return overlapped->Internal == ERROR_SUCCESS || Fail(overlapped->Internal);
}

bool CancelIoEx(HANDLE handle, OVERLAPPED* overlapped) {
    const std::shared_ptr<THandle> h = Find(handle);
    if (!h)
        return false;
    std::lock_guard guard(h->Lock);
    return EndPendingLocked(*h, overlapped, ERROR_OPERATION_ABORTED) || Fail(ERROR_NOT_FOUND);
}

bool ClearCommError(HANDLE handle, std::uint32_t* errors, COMSTAT* status) {
    return WithHandle(handle, [&](THandle& h) {
        std::uint32_t bits = 0;
        serial_icounter_struct now{};
        if (h.HasCounters && h.Device->Counters(now)) {
            const serial_icounter_struct& was = h.ErrorBase;
            bits |= now.buf_overrun != was.buf_overrun ? CE_RXOVER : 0;
            bits |= now.overrun != was.overrun ? CE_OVERRUN : 0;
            bits |= now.parity != was.parity ? CE_RXPARITY : 0;
            bits |= now.frame != was.frame ? CE_FRAME : 0;
            bits |= now.brk != was.brk ? CE_BREAK : 0;
            h.ErrorBase = now;
        }
        if (errors)
            *errors = bits;
        if (!status)
            return true;
        *status = COMSTAT{};
        int queued = 0;
        if (ioctl(h.Device->InputFd(), FIONREAD, &queued) == 0)
            status->cbInQue = std::uint32_t(queued);
        if (h.Device->OutputQueued(queued))
            status->cbOutQue = std::uint32_t(queued);
        for (const TPendingWrite& w : h.Writes)
            status->cbOutQue += w.Size - w.Done;
        int lines = 0;
        const std::uint32_t flags = h.Shadow ? h.Shadow->Flags : 0;
        if (h.Device->GetLines(lines)) {
            if ((flags & DCB_OUTX_CTS_FLOW) && !(lines & TIOCM_CTS))
                status->Flags |= COMSTAT_CTS_HOLD;
            if ((flags & DCB_OUTX_DSR_FLOW) && !(lines & TIOCM_DSR))
                status->Flags |= COMSTAT_DSR_HOLD;
        }
        bool held = false, sent = false;
        h.Device->XoffState(held, sent);
        status->Flags |= (held ? COMSTAT_XOFF_HOLD : 0) | (sent ? COMSTAT_XOFF_SENT : 0);
        return true;
    });
}

bool PurgeComm(HANDLE handle, std::uint32_t flags) {
    return WithHandle(handle, [&](THandle& h) {
        if (flags & PURGE_TXABORT)
            EndPendingLocked(h, nullptr, ERROR_OPERATION_ABORTED, true);
        if ((flags & PURGE_TXCLEAR) && !h.Device->Flush(TCOFLUSH))
            return FailErrno();
        if (flags & PURGE_RXCLEAR) {
            if (!h.Device->Flush(TCIFLUSH))
                return FailErrno();
            h.RxReported = false;
            Wake(h);
        }
        return true;
    });
}

bool EscapeCommFunction(HANDLE handle, std::uint32_t function) {
    return WithHandle(handle, [&](THandle& h) {
        const bool rts = function == SETRTS || function == CLRRTS;
        const bool dtr = function == SETDTR || function == CLRDTR;
        if (function == SETBREAK || function == CLRBREAK)
            return h.Device->SetBreak(function == SETBREAK) || FailErrno();
        if (!rts && !dtr)
            return Fail(ERROR_INVALID_PARAMETER);
        const bool on = function == SETRTS || function == SETDTR;
        const int line = rts ? TIOCM_RTS : TIOCM_DTR;
        const std::uint32_t field = rts ? DCB_RTS_CONTROL : DCB_DTR_CONTROL;
        if (h.Shadow) {
            h.Shadow->Flags &= ~field;
            h.Shadow->Flags |= on ? (rts ? DCB_RTS_ENABLE : DCB_DTR_ENABLE) : 0;
        }
        return h.Device->ChangeLines(on ? line : 0, on ? 0 : line) || FailErrno();
    });
}

bool GetCommModemStatus(HANDLE handle, std::uint32_t* status) {
    return WithHandle(handle, [&](THandle& h) {
        int lines = 0;
        if (!h.Device->GetLines(lines)) {
            if (errno != ENOTTY && errno != EINVAL)
                return FailErrno();
            lines = 0; // no modem lines at all
        }
        *status = ((lines & TIOCM_CTS) ? MS_CTS_ON : 0) | ((lines & TIOCM_DSR) ? MS_DSR_ON : 0) |
                  ((lines & TIOCM_RNG) ? MS_RING_ON : 0) | ((lines & TIOCM_CAR) ? MS_RLSD_ON : 0);
        return true;
    });
}

bool SetCommBreak(HANDLE handle) {
    return EscapeCommFunction(handle, SETBREAK);
}

bool ClearCommBreak(HANDLE handle) {
    return EscapeCommFunction(handle, CLRBREAK);
}

void InstallCommDevice(const std::string& name, TCommDeviceFactory open) {
    std::lock_guard guard(devicesLock);
    if (open)
        installedDevices[DeviceKey(name)] = std::move(open);
    else
        installedDevices.erase(DeviceKey(name));
}
