// gsm-sim: a GSM modem on a pseudo-terminal pair. See --help.
#include "tools/gsm-sim/GsmSim.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace gsmsim;

const char kHelp[] = R"(Usage: gsm-sim [options]
A GSM modem on a pseudo-terminal pair: prints the path of the slave side (the modem's serial port) on
its first line and serves the AT dialogue until it is interrupted. With --com it also publishes the
slave as a COM folder entry ($XDG_DATA_HOME, else ~/.local/share, then /com/COMn), where the router
finds a user's real modem, and prints that entry's path on a second line.

  --com COMn             publish the slave as the COM folder entry COMn
  --pin PIN              the SIM asks for this PIN
  --puk PUK              the SIM's PUK (default 12345678)
  --sim-puk              the SIM is blocked: it asks for its PUK
  --no-sim               no SIM in the modem
  --capacity N           cells of the SMS storage, 1-255 (default 30)
  --sms NUMBER TEXT      an incoming SMS in the next free cell; may be given more than once
  --no-echo              echo off at power-on (ATE0)
  --empty-read-error     reading an empty cell answers +CMS ERROR: 321 instead of OK
  --lf-only              reply lines end in LF alone
  --blank-line           a blank line between "+CMGR:" and the PDU
  --status-report        a delivery report in the next free cell
  --text-mode            the modem is in text mode and refuses PDU mode until the port is closed
  --print                print each command line and each SMS sent, as they come

Exit status: 0 when interrupted, 1 when the pseudo-terminal or the COM entry could not be made,
2 for a usage error.
)";

volatile std::sig_atomic_t gStop = 0;

void OnSignal(int) {
    gStop = 1;
}

[[noreturn]] void Usage(const std::string& message) {
    fprintf(stderr, "gsm-sim: %s\nTry 'gsm-sim --help'.\n", message.c_str());
    exit(2);
}

struct Options {
    GsmConfig modem;
    std::string com;
    std::vector<std::pair<std::string, std::string>> sms;
    bool print = false;
    bool statusReport = false, textMode = false;
};

Options Parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string opt = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                Usage(opt + " needs a value");
            return argv[++i];
        };
        if (opt == "--help") {
            fputs(kHelp, stdout);
            exit(0);
        } else if (opt == "--com") {
            o.com = value();
            if (o.com.empty() || o.com.find('/') != std::string::npos)
                Usage("--com takes a name such as COM5");
        } else if (opt == "--pin") {
            o.modem.pin = value();
            o.modem.pinState = PinState::SimPin;
        } else if (opt == "--puk") {
            o.modem.puk = value();
        } else if (opt == "--sim-puk") {
            o.modem.pinState = PinState::SimPuk;
        } else if (opt == "--no-sim") {
            o.modem.pinState = PinState::NoSim;
        } else if (opt == "--capacity") {
            const std::string text = value();
            char* end = nullptr;
            const long n = strtol(text.c_str(), &end, 10);
            if (end == text.c_str() || *end || n < 1 || n > 255)
                Usage("invalid value for --capacity: " + text);
            o.modem.capacity = int(n);
        } else if (opt == "--sms") {
            const std::string number = value();
            o.sms.emplace_back(number, value());
        } else if (opt == "--no-echo") {
            o.modem.echo = false;
        } else if (opt == "--empty-read-error") {
            o.modem.emptyReadIsError = true;
        } else if (opt == "--lf-only") {
            o.modem.lfOnly = true;
        } else if (opt == "--blank-line") {
            o.modem.blankLineBeforePdu = true;
        } else if (opt == "--status-report") {
            o.statusReport = true;
        } else if (opt == "--text-mode") {
            o.textMode = true;
        } else if (opt == "--print") {
            o.print = true;
        } else {
            Usage("unknown option: " + opt);
        }
    }
    return o;
}

} // namespace

int main(int argc, char** argv) {
    const Options o = Parse(argc, argv);
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);

    GsmSim modem(o.modem, o.com);
    if (!modem.Ok()) {
        fprintf(stderr, "gsm-sim: %s\n", modem.LastError().c_str());
        return 1;
    }
    for (const auto& [number, text] : o.sms)
        if (modem.AddSms(number, text) == 0) {
            fprintf(stderr, "gsm-sim: cannot store the SMS from %s\n", number.c_str());
            return 1;
        }
    if (o.statusReport && modem.AddPdu(ToHex(EncodeStatusReport({}))) == 0) {
        fprintf(stderr, "gsm-sim: no free cell for the delivery report\n");
        return 1;
    }
    if (o.textMode)
        modem.Inject(Fault::TextMode);
    printf("%s\n", modem.SlavePath().c_str());
    if (!o.com.empty())
        printf("%s\n", modem.ComPath().c_str());
    fflush(stdout);

    size_t commandsShown = 0;
    while (!gStop) {
        modem.Poll(100);
        if (!o.print)
            continue;
        const std::vector<std::string> commands = modem.Commands();
        for (; commandsShown < commands.size(); ++commandsShown)
            printf("> %s\n", commands[commandsShown].c_str());
        for (const SentSms& sms : modem.TakeSent())
            printf("SMS to %s (reference %u%s): %s\n", sms.destination.c_str(), sms.messageRef,
                   sms.textMode ? ", text mode" : "", sms.text.c_str());
        fflush(stdout);
    }
    return 0;
}
