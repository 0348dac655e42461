// modem-sim: plays one or many modems against a router over TCP. See --help.
#include "tools/modem-sim/ModemClient.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using namespace modemsim;

const char kHelp[] = R"(Usage: modem-sim --port N [options]
Plays the modem's side of the link against a router over TCP: connects, authenticates with a kind-2
AUTH, answers the router's commands, sends application data and input reports, acknowledges the
router's frames, and misbehaves on request.

Connection:
  --host ADDR            router address, numeric IPv4/IPv6 or localhost (default 127.0.0.1)
  --port N               router port (required)
  --count N              simulate N modems with the IDs ID to ID+N-1, one connection each (default 1)
  --reconnect MS         open a connection again MS ms after it closed (default: it stays closed)

Modem:
  --id N                 modem ID, decimal or 0x-hexadecimal (default 1)
  --key TEXT             the 16-character key (default the factory key 8888888888888888)
  --key-hex HEX          the key as 32 hexadecimal digits
  --kind N               AUTH kind 0, 1 or 2 (default 2; kinds 0 and 1 get no reply)
  --version A.B.C.D      version digits (default 1.5.0.0: version number 105)
  --packed               set option bit 0 of the AUTH (the modem accepts packed data)
  --pack                 pack the modem's own application data when that pays
  --wo-avail             send application data as TxDataWoAvail instead of TxData
  --hw-type N            type of the hardware-information answer, 0-4 (default 0)
  --inputs N             states of inputs 1-4 as bits 0-3 (default 0)
  --seed N               seed of the random values (default 1)

Traffic (each modem, once authenticated):
  --send TEXT            send TEXT as application data
  --send-hex HEX         send these bytes
  --send-file PATH       send the contents of a file
  --send-random N        send N random bytes
  --send-every MS        send the data again every MS ms
  --report-inputs-every MS
                         send an input report every MS ms
  --not-ready            answer the router's application data as not ready (nothing is taken)

Misbehaviour:
  --fault NAME[@auth]    a one-shot fault for the first frame it concerns after authentication, or,
                         with @auth, for the AUTH itself; may be given more than once. NAME is one of
                         bad-crc         wrong CRC of the payload (CRC-32 of an I frame, CRC-16 of AUTH)
                         bad-header-crc  wrong CRC-8 of the header
                         out-of-sequence N(S) of the next I frame one too high
                         duplicate       the frame written twice back to back
                         wrong-key       the AUTH encrypted with a wrong key (always @auth)
  --garbage N            send N random bytes (without sync bytes) right after authentication
  --silent               send nothing at all, not even the AUTH
  --silent-after-auth    fall silent once authenticated (frames are still taken in)
  --never-ack            never acknowledge the router's frames

Run:
  --duration SEC         stop after SEC seconds (default: run until every connection has closed)
  --until WHAT           stop as soon as every modem has reached WHAT: auth (authenticated), sent
                         (all its data acknowledged, nothing left to answer or to be acknowledged),
                         or closed (its connection closed)
  --print                print events and received data
  --quiet                print nothing but errors
  --help                 this text

Exit status: 0 when the run ended as asked (the --until condition reached, or the duration over, or
every connection closed); 1 when --until was not reached within --duration or an AUTH reply failed
its check or a modem could not connect; 2 for a usage error.
)";

volatile std::sig_atomic_t gStop = 0;

void OnSignal(int) {
    gStop = 1;
}

struct Options {
    std::string host = "127.0.0.1";
    long port = -1;
    long count = 1;
    long reconnectMs = 0;
    ModemConfig modem;
    std::vector<uint8_t> data;
    long sendEveryMs = 0;
    long inputsEveryMs = 0;
    bool notReady = false;
    std::vector<Fault> authFaults, faults;
    long garbage = 0;
    bool silent = false, silentAfterAuth = false, neverAck = false;
    double duration = 0;
    std::string until;
    bool print = false, quiet = false;
};

[[noreturn]] void Usage(const std::string& message) {
    fprintf(stderr, "modem-sim: %s\nTry 'modem-sim --help'.\n", message.c_str());
    exit(2);
}

long Number(const std::string& opt, const char* text, long lo, long hi) {
    char* end = nullptr;
    errno = 0;
    const long v = strtol(text, &end, 0);
    if (errno || end == text || *end || v < lo || v > hi)
        Usage("invalid value for " + opt + ": " + text);
    return v;
}

std::vector<uint8_t> FromHex(const std::string& opt, const std::string& hex) {
    std::vector<uint8_t> out;
    if (hex.size() % 2)
        Usage("odd number of hexadecimal digits for " + opt);
    for (size_t i = 0; i < hex.size(); i += 2) {
        char* end = nullptr;
        const std::string pair = hex.substr(i, 2);
        const long v = strtol(pair.c_str(), &end, 16);
        if (*end)
            Usage("invalid hexadecimal digits for " + opt + ": " + pair);
        out.push_back(uint8_t(v));
    }
    return out;
}

Fault FaultByName(const std::string& name) {
    for (Fault f :
         {Fault::BadCrc, Fault::BadHeaderCrc, Fault::WrongKey, Fault::OutOfSequence, Fault::Duplicate})
        if (name == Fault_Name(f))
            return f;
    Usage("unknown fault: " + name);
}

void ParseVersion(const std::string& text, uint8_t digits[4]) {
    unsigned d[4];
    char tail;
    if (sscanf(text.c_str(), "%u.%u.%u.%u%c", &d[0], &d[1], &d[2], &d[3], &tail) != 4)
        Usage("invalid version: " + text);
    for (int i = 0; i < 4; ++i) {
        if (d[i] > 255)
            Usage("invalid version: " + text);
        digits[i] = uint8_t(d[i]);
    }
}

Options Parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string opt = argv[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= argc)
                Usage(opt + " needs a value");
            return argv[++i];
        };
        if (opt == "--help") {
            fputs(kHelp, stdout);
            exit(0);
        } else if (opt == "--host") {
            o.host = value();
        } else if (opt == "--port") {
            o.port = Number(opt, value(), 1, 65535);
        } else if (opt == "--count") {
            o.count = Number(opt, value(), 1, 65536);
        } else if (opt == "--reconnect") {
            o.reconnectMs = Number(opt, value(), 1, 86400000);
        } else if (opt == "--id") {
            o.modem.id = uint16_t(Number(opt, value(), 0, 65535));
        } else if (opt == "--key") {
            const std::string key = value();
            if (key.size() != 16)
                Usage("--key needs exactly 16 characters");
            memcpy(o.modem.key, key.data(), 16);
        } else if (opt == "--key-hex") {
            const std::vector<uint8_t> key = FromHex(opt, value());
            if (key.size() != 16)
                Usage("--key-hex needs exactly 32 hexadecimal digits");
            memcpy(o.modem.key, key.data(), 16);
        } else if (opt == "--kind") {
            o.modem.authKind = uint8_t(Number(opt, value(), 0, 2));
        } else if (opt == "--version") {
            ParseVersion(value(), o.modem.version);
        } else if (opt == "--packed") {
            o.modem.options |= 1;
        } else if (opt == "--pack") {
            o.modem.packData = true;
        } else if (opt == "--wo-avail") {
            o.modem.woAvail = true;
        } else if (opt == "--hw-type") {
            o.modem.hwType = uint8_t(Number(opt, value(), 0, 255));
        } else if (opt == "--inputs") {
            o.modem.inputs = uint8_t(Number(opt, value(), 0, 15));
        } else if (opt == "--seed") {
            o.modem.seed = uint64_t(Number(opt, value(), 0, 0x7FFFFFFF));
        } else if (opt == "--send") {
            const std::string text = value();
            o.data.assign(text.begin(), text.end());
        } else if (opt == "--send-hex") {
            o.data = FromHex(opt, value());
        } else if (opt == "--send-file") {
            const char* path = value();
            std::ifstream in(path, std::ios::binary);
            if (!in)
                Usage(std::string("cannot open ") + path + ": " + strerror(errno));
            o.data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        } else if (opt == "--send-random") {
            o.data.resize(size_t(Number(opt, value(), 1, 1 << 24)));
            uint32_t x = 0x12345678;
            for (uint8_t& b : o.data) {
                x = x * 1103515245 + 12345;
                b = uint8_t(x >> 16);
            }
        } else if (opt == "--send-every") {
            o.sendEveryMs = Number(opt, value(), 1, 86400000);
        } else if (opt == "--report-inputs-every") {
            o.inputsEveryMs = Number(opt, value(), 1, 86400000);
        } else if (opt == "--not-ready") {
            o.notReady = true;
        } else if (opt == "--fault") {
            std::string name = value();
            const bool atAuth = name.size() > 5 && name.compare(name.size() - 5, 5, "@auth") == 0;
            if (atAuth)
                name.resize(name.size() - 5);
            const Fault f = FaultByName(name);
            (atAuth || f == Fault::WrongKey ? o.authFaults : o.faults).push_back(f);
        } else if (opt == "--garbage") {
            o.garbage = Number(opt, value(), 1, 1 << 20);
        } else if (opt == "--silent") {
            o.silent = true;
        } else if (opt == "--silent-after-auth") {
            o.silentAfterAuth = true;
        } else if (opt == "--never-ack") {
            o.neverAck = true;
        } else if (opt == "--duration") {
            char* end = nullptr;
            const char* text = value();
            o.duration = strtod(text, &end);
            if (end == text || *end || o.duration <= 0)
                Usage("invalid value for --duration: " + std::string(text));
        } else if (opt == "--until") {
            o.until = value();
            if (o.until != "auth" && o.until != "sent" && o.until != "closed")
                Usage("--until takes auth, sent or closed");
        } else if (opt == "--print") {
            o.print = true;
        } else if (opt == "--quiet") {
            o.quiet = true;
        } else {
            Usage("unknown option: " + opt);
        }
    }
    if (o.port < 0)
        Usage("--port is required");
    if (o.modem.id + o.count - 1 > 65535)
        Usage("--id and --count give IDs above 65535");
    return o;
}

// Received application data as text, with bytes outside printable ASCII as \xHH.
std::string Printable(const std::vector<uint8_t>& data) {
    std::string s;
    for (uint8_t b : data) {
        if (b >= 32 && b < 127 && b != '\\') {
            s += char(b);
        } else {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02X", b);
            s += hex;
        }
    }
    return s;
}

// What the program does for each modem beside the simulator itself.
struct Driver {
    bool wasReady = false;
    bool wasOpen = false;
    bool everConnected = false;
    bool everClosed = false;
    bool authFailed = false;
    uint32_t nextSend = 0;
    uint32_t nextInputs = 0;
};

void OnReady(const Options& o, ModemSim& m, Driver& d, uint32_t now) {
    for (Fault f : o.faults)
        m.Inject(f);
    if (o.garbage)
        m.SendGarbage(size_t(o.garbage));
    if (o.silentAfterAuth)
        m.SetSilent(true, now);
    if (!o.data.empty() && d.nextSend == 0) {
        m.QueueData(o.data.data(), o.data.size(), now);
        d.nextSend = now + uint32_t(o.sendEveryMs);
    }
    d.nextInputs = now + uint32_t(o.inputsEveryMs);
}

void Report(const Options& o, ModemSim& m, Driver& d, uint32_t now) {
    const uint32_t ev = m.TakeEvents();
    if (ev & EvAuthOk) {
        if (o.print)
            printf("modem %04X: authenticated\n", m.Id());
        OnReady(o, m, d, now);
    }
    if (ev & EvAuthFailed) {
        d.authFailed = true;
        static const char* const why[] = {"ok", "the nonce does not open with the key", "wrong proof bytes",
                                          "wrong option bytes"};
        fprintf(stderr, "modem %04X: AUTH reply rejected: %s\n", m.Id(), why[int(m.ReplyFault())]);
    }
    if (o.print && (ev & EvDataReceived)) {
        printf("modem %04X: received %zu bytes: %s\n", m.Id(), m.ReceivedData().size(),
               Printable(m.ReceivedData()).c_str());
        m.ClearReceivedData();
    }
    if (o.print && (ev & EvDataAcked))
        printf("modem %04X: %u bytes acknowledged in all, %zu pending\n", m.Id(), m.Stats().dataBytesAcked,
               m.PendingData());
    if (o.print && (ev & EvKeyChanged))
        printf("modem %04X: new key received\n", m.Id());
    if (o.print && (ev & EvAckTimeout))
        printf("modem %04X: acknowledgement timed out, frame sent again\n", m.Id());
}

void Periodic(const Options& o, ModemSim& m, Driver& d, uint32_t now) {
    if (m.State() != LinkState::Ready)
        return;
    if (o.sendEveryMs && int32_t(now - d.nextSend) >= 0) {
        m.QueueData(o.data.data(), o.data.size(), now);
        d.nextSend = now + uint32_t(o.sendEveryMs);
    }
    if (o.inputsEveryMs && int32_t(now - d.nextInputs) >= 0) {
        m.SetInputs(m.Inputs(), true, now);
        d.nextInputs = now + uint32_t(o.inputsEveryMs);
    }
}

bool Reached(const Options& o, ModemPool& pool, const std::vector<Driver>& drivers) {
    for (size_t i = 0; i < pool.Size(); ++i) {
        ModemSim& m = pool.Modem(i);
        const bool ok = o.until == "auth"     ? m.State() == LinkState::Ready || drivers[i].wasReady
                        : o.until == "sent"   ? m.Idle()
                        : o.until == "closed" ? drivers[i].everClosed && !pool.IsOpen(i)
                                              : !pool.IsOpen(i);
        if (!ok)
            return false;
    }
    return true;
}

void Summary(ModemPool& pool) {
    for (size_t i = 0; i < pool.Size(); ++i) {
        ModemSim& m = pool.Modem(i);
        const ModemStats& s = m.Stats();
        uint32_t commands = 0;
        for (uint32_t c : s.commands)
            commands += c;
        printf("modem %04X: %s, frames in %u out %u, commands %u, data in %u B, data out %u B acknowledged "
               "(%zu pending), frame errors %u\n",
               m.Id(), LinkState_Name(m.State()), s.framesIn, s.framesOut, commands, s.dataBytesIn,
               s.dataBytesAcked, m.PendingData(), s.badHeaders + s.badLengths + s.badAuthCrcs + s.badBlocks);
    }
}

} // namespace

int main(int argc, char** argv) {
    const Options o = Parse(argc, argv);
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGPIPE, SIG_IGN);

    ModemPool pool(o.host, uint16_t(o.port));
    pool.SetReconnectMs(uint32_t(o.reconnectMs));
    for (long k = 0; k < o.count; ++k) {
        ModemConfig cfg = o.modem;
        cfg.id = uint16_t(o.modem.id + k);
        const size_t i = pool.Add(cfg);
        ModemSim& m = pool.Modem(i);
        m.SetNeverAck(o.neverAck);
        m.SetRxNotReady(o.notReady);
        m.SetSilent(o.silent, 0);
    }
    std::vector<Driver> drivers(pool.Size());
    auto injectAuthFaults = [&] {
        for (size_t i = 0; i < pool.Size(); ++i)
            if (!pool.IsOpen(i))
                for (Fault f : o.authFaults)
                    pool.Modem(i).Inject(f);
    };
    injectAuthFaults();
    pool.OpenAll();

    const uint32_t start = MonotonicMs();
    const uint32_t limit = uint32_t(o.duration * 1000);
    bool reached = false;
    while (!gStop) {
        pool.Poll(10);
        const uint32_t now = MonotonicMs();
        for (size_t i = 0; i < pool.Size(); ++i) {
            ModemSim& m = pool.Modem(i);
            Driver& d = drivers[i];
            Report(o, m, d, now);
            Periodic(o, m, d, now);
            d.wasReady = d.wasReady || m.State() == LinkState::Ready;
            d.everConnected = d.everConnected || pool.IsConnected(i);
            const bool open = pool.IsOpen(i);
            if (d.wasOpen && !open) {
                d.everClosed = true;
                if (o.print)
                    printf("modem %04X: connection closed\n", m.Id());
                for (Fault f : o.authFaults)
                    m.Inject(f); // for the next connection
            }
            d.wasOpen = open;
        }
        if (!o.until.empty() || !limit) {
            reached = Reached(o, pool, drivers);
            if (reached && (!o.until.empty() || !o.reconnectMs))
                break;
        }
        if (limit && now - start >= limit)
            break;
        fflush(stdout);
    }
    if (!pool.LastError().empty() && !o.quiet)
        fprintf(stderr, "modem-sim: %s\n", pool.LastError().c_str());
    if (!o.quiet)
        Summary(pool);
    bool failed = false;
    for (size_t i = 0; i < drivers.size(); ++i) {
        if (!drivers[i].everConnected)
            fprintf(stderr, "modem %04X: could not connect to %s port %ld\n", pool.Modem(i).Id(),
                    o.host.c_str(), o.port);
        failed = failed || drivers[i].authFailed || !drivers[i].everConnected;
    }
    if (failed || (!o.until.empty() && !reached))
        return 1;
    return 0;
}
