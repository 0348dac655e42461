#include "platform/TapiModem.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <QFile>
#include <QSocketNotifier>
#include <QTimer>

#include "platform/Cp1251.h"
#include "platform/Timer.h"
#include "platform/Warning.h"

namespace {

int escapeGuardMs = 1000;
constexpr std::size_t MaxLine = 256;     // of what the modem says; the rest of a longer line is dropped
constexpr std::size_t MaxPartyText = 64; // of a caller's number or name
constexpr int WriteWaitMs = 1000;        // for the device to take a command
constexpr int DataWatchMs = 1000;        // between looks at a data call's device, which the port reads
constexpr const char* DialCharacters = "0123456789*#+ABCDabcd,TPWtpw!@";
constexpr const char* DialFillers = " -().";

std::string_view Trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

bool StartsWith(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (std::toupper(static_cast<unsigned char>(text[i])) != prefix[i])
            return false;
    return true;
}

bool Is(std::string_view text, std::string_view word) {
    return text.size() == word.size() && StartsWith(text, word);
}

// Printable ASCII as it is, anything else as '?', at most MaxPartyText characters.
std::string PartyText(std::string_view text) {
    std::string out;
    for (const char c : text.substr(0, MaxPartyText))
        out += c >= 0x20 && c < 0x7F ? c : '?';
    return out;
}

// The fields of "+CLIP: <number>,<type>,<subaddr>,<satype>,<alpha>,<CLI validity>", quotes dropped.
std::vector<std::string_view> ClipFields(std::string_view text) {
    std::vector<std::string_view> fields;
    std::size_t start = 0;
    bool quoted = false;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        if (i < text.size() && text[i] == '"')
            quoted = !quoted;
        if (i == text.size() || (text[i] == ',' && !quoted)) {
            std::string_view field = Trimmed(text.substr(start, i - start));
            if (field.size() >= 2 && field.front() == '"' && field.back() == '"')
                field = field.substr(1, field.size() - 2);
            fields.push_back(field);
            start = i + 1;
        }
    }
    return fields;
}

TModemCaller CallerOf(std::string_view text) {
    const std::vector<std::string_view> fields = ClipFields(text);
    TModemCaller caller;
    caller.Number = PartyText(fields[0]);
    caller.Name = fields.size() > 4 ? PartyText(fields[4]) : std::string();
    const std::string_view validity = fields.size() > 5 ? fields[5] : std::string_view();
    if (validity == "1")
        caller.Flags = LINECALLPARTYID_BLOCKED;
    else if (validity == "2")
        caller.Flags = LINECALLPARTYID_UNAVAIL;
    else
        caller.Flags = (caller.Number.empty() ? 0 : LINECALLPARTYID_ADDRESS) |
                       (caller.Name.empty() ? 0 : LINECALLPARTYID_NAME);
    if (!caller.Flags)
        caller.Flags = LINECALLPARTYID_UNKNOWN;
    if (caller.Flags & (LINECALLPARTYID_BLOCKED | LINECALLPARTYID_UNAVAIL))
        caller.Number.clear(), caller.Name.clear();
    return caller;
}

// The rate a CONNECT names: its leading digits ("CONNECT 9600/RLP"), 0 for none or too many.
DWORD RateOf(std::string_view rest) {
    rest = Trimmed(rest);
    DWORD rate = 0;
    for (std::size_t i = 0; i < rest.size() && i < 9 && rest[i] >= '0' && rest[i] <= '9'; ++i)
        rate = rate * 10 + DWORD(rest[i] - '0');
    return rate;
}

// The number as a modem dials it: what a person writes between the digits goes; nothing else may
// come into the command line.
std::optional<std::string> DialString(const std::string& number) {
    std::string dial;
    for (const char c : number) {
        if (c != 0 && std::strchr(DialFillers, c))
            continue;
        if (c == 0 || !std::strchr(DialCharacters, c))
            return std::nullopt;
        dial += c;
    }
    if (dial.empty())
        return std::nullopt;
    return dial;
}

// It may be the notifier or a timer whose signal runs now: then it goes once the event loop is back.
template <class T> void LetGo(std::unique_ptr<T>& object, bool later) {
    if (later)
        object.release()->deleteLater();
    else
        object.reset();
}

} // namespace

void SetModemEscapeGuardMs(int ms) {
    escapeGuardMs = ms;
}

TModemResult ParseModemLine(std::string_view line) {
    line = Trimmed(line);
    TModemResult result;
    if (Is(line, "OK"))
        result.Kind = TModemResult::Ok;
    else if (Is(line, "ERROR") || StartsWith(line, "+CME ERROR") || StartsWith(line, "+CMS ERROR"))
        result.Kind = TModemResult::Error;
    else if (Is(line, "NO CARRIER"))
        result.Kind = TModemResult::NoCarrier;
    else if (Is(line, "BUSY"))
        result.Kind = TModemResult::Busy;
    else if (Is(line, "NO ANSWER"))
        result.Kind = TModemResult::NoAnswer;
    else if (Is(line, "NO DIALTONE") || Is(line, "NO DIAL TONE"))
        result.Kind = TModemResult::NoDialtone;
    else if (Is(line, "RING") || StartsWith(line, "+CRING:"))
        result.Kind = TModemResult::Ring;
    else if (StartsWith(line, "+CLIP:")) {
        result.Kind = TModemResult::CallerId;
        result.Caller = CallerOf(line.substr(6));
    } else if (StartsWith(line, "CONNECT") && (line.size() == 7 || line[7] == ' ' || line[7] == '/')) {
        result.Kind = TModemResult::Connect;
        result.Rate = RateOf(line.substr(7));
    }
    return result;
}

TTapiModem::TTapiModem(QString device, TEvents events)
    : device_(std::move(device)), events_(std::move(events)) {}

// Nobody is told any more: the line goes with it.
TTapiModem::~TTapiModem() {
    hungUp_ = nullptr;
    held_ = nullptr;
    Close();
}

LONG TTapiModem::Open(const std::optional<TTapiDevConfig>& config, const std::string& lineName) {
    if (fd_ >= 0)
        return 0;
    if (const LONG error = OpenTapiDevice(device_, config, lineName, &fd_))
        return error;
    notifier_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated,
                     [this] { Handle(&TTapiModem::ReadAvailable); });
    wait_ = std::make_unique<TTimer>();
    wait_->SetEnabled(false);
    wait_->SetOnTimer([this] { Handle(&TTapiModem::TimedOut); });
    guard_ = std::make_unique<QTimer>();
    guard_->setSingleShot(true);
    QObject::connect(guard_.get(), &QTimer::timeout, [this] { Handle(&TTapiModem::Escape); });
    SetState(TState::Idle);
    return 0;
}

void TTapiModem::Close() {
    if (fd_ < 0)
        return;
    notifier_->setEnabled(false);
    wait_->SetEnabled(false);
    guard_->stop();
    LetGo(notifier_, handling_ > 0);
    LetGo(wait_, handling_ > 0);
    LetGo(guard_, handling_ > 0);
    ::close(fd_);
    fd_ = -1;
    line_.clear();
    state_ = TState::Closed;
    if (auto done = std::exchange(hungUp_, nullptr))
        done();
    if (auto done = std::exchange(held_, nullptr))
        done(false);
}

void TTapiModem::Handle(void (TTapiModem::*handler)()) {
    ++handling_;
    (this->*handler)();
    --handling_;
}

bool TTapiModem::InCall() const {
    return state_ != TState::Closed && state_ != TState::Idle && state_ != TState::Listening;
}

bool TTapiModem::Reading() const {
    return state_ != TState::Closed && state_ != TState::Data && state_ != TState::PassThrough &&
           state_ != TState::Escaping;
}

void TTapiModem::SetState(TState state) {
    state_ = state;
    if (wait_)
        wait_->SetEnabled(false);
    if (notifier_)
        notifier_->setEnabled(Reading());
    if (!Reading())
        line_.clear();
}

void TTapiModem::Wait(int ms) {
    wait_->SetInterval(ms);
    wait_->SetEnabled(true);
}

// The whole text, or false: a modem that takes no command within a second is as good as gone.
bool TTapiModem::Send(const std::string& text) {
    std::size_t done = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(WriteWaitMs);
    while (done < text.size()) {
        const ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
        if (n > 0) {
            done += std::size_t(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd out{fd_, POLLOUT, 0};
        if (left.count() <= 0 || ::poll(&out, 1, int(left.count())) <= 0)
            return false;
    }
    return true;
}

void TTapiModem::Listen() {
    if (state_ != TState::Idle && state_ != TState::Listening)
        return;
    if (state_ == TState::Idle)
        Send("AT+CLIP=1\r"); // without it the modem names no caller
    SetState(TState::Listening);
}

LONG TTapiModem::Dial(const std::string& number, bool voice) {
    if (state_ != TState::Idle && state_ != TState::Listening)
        return LINEERR_CALLUNAVAIL;
    const std::optional<std::string> dial = DialString(number);
    if (!dial)
        return LINEERR_INVALADDRESS;
    ::tcflush(fd_, TCIFLUSH); // what the modem said before is no answer to this
    line_.clear();
    if (!Send("ATD" + *dial + (voice ? ";\r" : "\r")))
        return LINEERR_OPERATIONFAILED;
    voice_ = voice;
    SetState(TState::Dialling);
    Wait(DialResultMs);
    return 0;
}

LONG TTapiModem::Answer() {
    if (state_ != TState::Ringing)
        return LINEERR_INVALCALLSTATE;
    if (!Send("ATA\r"))
        return LINEERR_OPERATIONFAILED;
    SetState(TState::Answering);
    Wait(DialResultMs);
    return 0;
}

void TTapiModem::PassThrough() {
    SetState(TState::PassThrough);
}

void TTapiModem::HangUp(std::function<void()> done) {
    if (hungUp_) { // already on its way
        hungUp_ = [first = std::move(hungUp_), done = std::move(done)] {
            first();
            if (done)
                done();
        };
        return;
    }
    hungUp_ = std::move(done);
    switch (state_) {
    case TState::Data:
        SetState(TState::Escaping);
        guard_->start(escapeGuardMs);
        return;
    case TState::Dialling:
    case TState::Answering:
        SetState(TState::Aborting);
        if (!Send("\r"))
            return Lost();
        Wait(ModemAnswerMs);
        return;
    case TState::Holding:
        if (auto held = std::exchange(held_, nullptr))
            held(false);
        return SendHangUp();
    case TState::Ringing:
    case TState::Voice:
    case TState::Held:
        return SendHangUp();
    case TState::PassThrough:
        SetState(TState::Idle);
        return HungUp();
    default:
        return HungUp();
    }
}

void TTapiModem::SwapHold(std::function<void(bool ok)> done) {
    if ((state_ != TState::Voice && state_ != TState::Held) || !Send("AT+CHLD=2\r")) {
        done(false);
        return;
    }
    holdFrom_ = state_;
    held_ = std::move(done);
    SetState(TState::Holding);
    Wait(ModemAnswerMs);
}

// The silence before "+++" has passed: the escape, then the silence after it, which the modem ends
// with its OK.
void TTapiModem::Escape() {
    if (state_ != TState::Escaping)
        return;
    ::tcflush(fd_, TCIFLUSH); // the call's last bytes, which nobody reads any more
    if (!Send("+++"))
        return Lost();
    escaped_ = true;
    SetState(TState::HangingUp); // reading again, for the escape's OK
    Wait(3 * escapeGuardMs);     // the silence after it, and time for the OK
}

void TTapiModem::SendHangUp() {
    if (!Send("ATH\r"))
        return Lost();
    escaped_ = false;
    SetState(TState::HangingUp);
    Wait(ModemAnswerMs);
}

void TTapiModem::HungUp() {
    if (state_ != TState::Closed)
        SetState(TState::Idle);
    if (auto done = std::exchange(hungUp_, nullptr))
        done();
}

void TTapiModem::Ended(DWORD mode) {
    SetState(TState::Idle);
    if (events_.Disconnected)
        events_.Disconnected(mode);
}

void TTapiModem::TimedOut() {
    wait_->SetEnabled(false);
    switch (state_) {
    case TState::Ringing: // the caller gave up
        SetState(TState::Listening);
        if (events_.Disconnected)
            events_.Disconnected(LINEDISCONNECTMODE_NORMAL);
        return;
    case TState::Dialling:
    case TState::Answering:
        return Ended(LINEDISCONNECTMODE_UNAVAIL);
    case TState::Aborting:
        return SendHangUp();
    case TState::HangingUp:
        if (escaped_) // no OK to the escape: the modem may be back already
            return SendHangUp();
        return HungUp();
    case TState::Holding:
        SetState(holdFrom_);
        if (auto held = std::exchange(held_, nullptr))
            held(false);
        return;
    case TState::Data: // without reading: the bytes are the port's
        if (pollfd out{fd_, 0, 0}; ::poll(&out, 1, 0) > 0 && (out.revents & (POLLHUP | POLLERR | POLLNVAL)))
            return Lost();
        return Wait(DataWatchMs);
    default:
        return;
    }
}

// One byte at a time: after the CONNECT line the rest is the port's.
void TTapiModem::ReadAvailable() {
    while (fd_ >= 0 && Reading()) {
        pollfd in{fd_, POLLIN, 0};
        if (::poll(&in, 1, 0) <= 0)
            return;
        if (!(in.revents & POLLIN))
            return Lost(); // hung up or failed
        char c = 0;
        const ssize_t n = ::read(fd_, &c, 1);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        if (n <= 0)
            return Lost();
        if (c == '\n') {
            const std::string line = std::exchange(line_, {});
            if (!StartsWith(Trimmed(line), "AT")) // the modem's echo of a command
                TakeLine(ParseModemLine(line));
        } else if (c != '\r' && line_.size() < MaxLine) {
            line_ += c;
        }
    }
}

void TTapiModem::TakeLine(const TModemResult& result) {
    using R = TModemResult;
    const bool ends = result.Kind == R::NoCarrier || result.Kind == R::Busy || result.Kind == R::NoAnswer ||
                      result.Kind == R::NoDialtone || result.Kind == R::Error;
    const auto mode = [&] {
        switch (result.Kind) {
        case R::Busy:
            return LINEDISCONNECTMODE_BUSY;
        case R::NoAnswer:
            return LINEDISCONNECTMODE_NOANSWER;
        case R::NoDialtone:
            return LINEDISCONNECTMODE_NODIALTONE;
        case R::NoCarrier:
            return LINEDISCONNECTMODE_NORMAL;
        default:
            return LINEDISCONNECTMODE_UNAVAIL;
        }
    };
    switch (state_) {
    case TState::Listening:
    case TState::Ringing:
        if (result.Kind == R::Ring) {
            if (state_ == TState::Listening)
                caller_ = {};
            SetState(TState::Ringing);
            Wait(RingGapMs);
            if (events_.Ring)
                events_.Ring();
        } else if (result.Kind == R::CallerId && state_ == TState::Ringing && result.Caller != caller_) {
            caller_ = result.Caller;
            if (events_.Caller)
                events_.Caller(caller_);
        }
        return;
    case TState::Dialling:
    case TState::Answering:
        if (result.Kind == R::Connect || (result.Kind == R::Ok && (voice_ || state_ == TState::Answering))) {
            const bool data = result.Kind == R::Connect;
            voice_ = !data;
            SetState(data ? TState::Data : TState::Voice);
            if (data)
                Wait(DataWatchMs);
            if (events_.Connected)
                events_.Connected(result.Rate, data);
        } else if (ends) {
            Ended(mode());
        }
        return;
    case TState::Voice:
    case TState::Held:
        if (result.Kind == R::NoCarrier || result.Kind == R::Busy)
            Ended(LINEDISCONNECTMODE_NORMAL);
        return;
    case TState::Holding:
        if (result.Kind == R::Ok || result.Kind == R::Error) {
            SetState(result.Kind == R::Ok ? (holdFrom_ == TState::Voice ? TState::Held : TState::Voice)
                                          : holdFrom_);
            if (auto held = std::exchange(held_, nullptr))
                held(result.Kind == R::Ok);
        }
        return;
    case TState::Aborting:
        if (result.Kind == R::Ok || ends)
            SendHangUp();
        return;
    case TState::HangingUp:
        if (result.Kind == R::Ok && escaped_) // the escape's: now the hang-up
            return SendHangUp();
        if (result.Kind == R::Ok || ends)
            HungUp();
        return;
    default:
        return;
    }
}

// The device failed: a call on it ends, and the device is let go.
void TTapiModem::Lost() {
    const bool inCall = state_ == TState::Ringing || state_ == TState::Dialling ||
                        state_ == TState::Answering || state_ == TState::Voice || state_ == TState::Held ||
                        state_ == TState::Holding || state_ == TState::Data;
    PlatformWarning(QStringLiteral("telephony: %1 stopped answering").arg(device_));
    Close();
    if (inCall && events_.Disconnected)
        events_.Disconnected(LINEDISCONNECTMODE_UNAVAIL);
    else if (!inCall && events_.Gone)
        events_.Gone();
}
