#include "tools/gsm-sim/GsmModem.h"

#include <algorithm>
#include <cctype>

namespace gsmsim {

namespace {

constexpr char kCtrlZ = 0x1A;
constexpr char kEsc = 0x1B;
constexpr char kBackspace = 0x08;
constexpr size_t kMaxLine = 1024; // characters of a command line, and of a PDU or text after "> "
constexpr size_t kMaxTpdu = 164;  // octets of the longest SUBMIT

// +CMS ERROR values.
constexpr int kNotAllowed = 302;
constexpr int kBadPduParameter = 304;
constexpr int kBadTextParameter = 305;
constexpr int kNoSim = 310;
constexpr int kSimPinRequired = 311;
constexpr int kSimPukRequired = 316;
constexpr int kBadIndex = 321;

const char* const kStatusText[] = {"REC UNREAD", "REC READ", "STO UNSENT", "STO SENT", "ALL"};
constexpr int kAll = 4;

std::string Upper(std::string s) {
    for (char& c : s)
        c = char(toupper(uint8_t(c)));
    return s;
}

bool ParseInt(const std::string& s, int* v) {
    if (s.empty() || s.size() > 9 ||
        !std::all_of(s.begin(), s.end(), [](char c) { return isdigit(uint8_t(c)); }))
        return false;
    *v = std::stoi(s);
    return true;
}

// Splits parameters at commas outside double quotes and drops the quotes.
std::vector<std::string> SplitArgs(const std::string& s) {
    std::vector<std::string> args(1);
    bool quoted = false;
    for (char c : s) {
        if (c == '"')
            quoted = !quoted;
        else if (c == ',' && !quoted)
            args.emplace_back();
        else
            args.back() += c;
    }
    return args;
}

// The command line after "AT" without the blanks outside quotes, which a modem ignores.
std::string Compact(const std::string& s) {
    std::string out;
    bool quoted = false;
    for (char c : s) {
        quoted = quoted != (c == '"');
        if (quoted || c != ' ')
            out += c;
    }
    return out;
}

std::string CmsError(int code) {
    return "+CMS ERROR: " + std::to_string(code);
}

// What text mode prints of a UTF-8 text: the terminal's character set is plain ASCII.
std::string Ira(const std::string& utf8) {
    std::string out;
    for (size_t i = 0; i < utf8.size(); ++i) {
        const auto c = uint8_t(utf8[i]);
        if (c < 0x80)
            out += char(c);
        else if ((c & 0xC0) != 0x80)
            out += '?';
    }
    return out;
}

bool Matches(CellStatus status, int stat) {
    return stat == kAll || int(status) == stat;
}

} // namespace

const char* PinState_Name(PinState state) {
    switch (state) {
    case PinState::Ready:
        return "READY";
    case PinState::SimPin:
        return "SIM PIN";
    case PinState::SimPuk:
        return "SIM PUK";
    case PinState::NoSim:
        return "no SIM";
    }
    return "?";
}

const char* Fault_Name(Fault fault) {
    switch (fault) {
    case Fault::Silent:
        return "silent";
    case Fault::Error:
        return "error";
    case Fault::LongReply:
        return "long-reply";
    case Fault::TextMode:
        return "text-mode";
    case Fault::CutReply:
        return "cut-reply";
    case Fault::UnsolicitedInReply:
        return "unsolicited-in-reply";
    case Fault::LateReply:
        return "late-reply";
    case Fault::LateRest:
        return "late-rest";
    }
    return "?";
}

GsmModem::GsmModem(const GsmConfig& config)
    : cfg_(config), powerOnPin_(config.pinState), pin_(config.pinState), echo_(config.echo) {
    cfg_.capacity = std::clamp(cfg_.capacity, 1, 255);
}

void GsmModem::Feed(const uint8_t* data, size_t n) {
    for (size_t i = 0; i < n; ++i)
        TakeByte(data[i]);
}

void GsmModem::TakeByte(uint8_t byte) {
    const char c = char(byte);
    switch (input_) {
    case Input::Command:
        if (line_.empty()) { // looking for "AT"; anything before it is noise
            if (c == 'A' || c == 'a')
                line_ = c;
        } else if (line_.size() == 1) {
            if (c == 'T' || c == 't')
                line_ += c;
            else
                line_ = (c == 'A' || c == 'a') ? std::string(1, c) : std::string();
        } else if (c == '\r') {
            const std::string line = line_;
            line_.clear();
            RunLine(line);
            Reshape();
        } else if (c == kEsc) {
            line_.clear();
        } else if (c == kBackspace) {
            if (line_.size() > 2)
                line_.pop_back();
        } else if (c != '\n' && line_.size() <= kMaxLine) {
            line_ += c;
        }
        return;
    case Input::Pdu:
    case Input::Text:
        if (c == kCtrlZ || c == kEsc) {
            FinishSend(c == kEsc);
            return;
        }
        if (input_ == Input::Pdu && (c == '\r' || c == '\n'))
            return;
        if (body_.size() <= kMaxLine)
            body_ += c;
        if (input_ == Input::Text && c == '\r')
            out_ += "\r\n> "; // the text goes on in a new line
        else if (echo_)
            out_ += c;
        return;
    case Input::Swallow:
        if (c == kCtrlZ || c == kEsc)
            input_ = Input::Command;
        return;
    case Input::Data:
        DataByte(c);
        return;
    case Input::Dialling:
        AbortDial();
        return;
    }
}

std::optional<Fault> GsmModem::TakeFault(const std::string& upper) {
    for (size_t i = 0; i < rules_.size(); ++i) {
        Rule& r = rules_[i];
        if (upper.compare(0, r.command.size(), r.command) != 0)
            continue;
        const Fault fault = r.fault;
        if (r.remaining > 0 && --r.remaining == 0)
            rules_.erase(rules_.begin() + ptrdiff_t(i));
        return fault;
    }
    return std::nullopt;
}

void GsmModem::RunLine(const std::string& line) {
    out_ += late_;
    late_.clear();
    commands_.push_back(line);
    const std::string upper = Upper(line);
    const std::optional<Fault> fault = TakeFault(upper);
    if (fault == Fault::Silent) {
        if (upper.compare(0, 8, "AT+CMGS=") == 0)
            input_ = Input::Swallow;
        return;
    }
    if (echo_)
        out_ += line + "\r";
    if (fault == Fault::CutReply || fault == Fault::UnsolicitedInReply || fault == Fault::LateReply ||
        fault == Fault::LateRest) {
        reshape_ = fault;
        replyAt_ = out_.size();
    }
    if (fault == Fault::LongReply && cfg_.longReplyBytes >= 5)
        out_ += std::string(1, '\0') + "\r\n" + std::string(cfg_.longReplyBytes - 5, '-') + "\r\n";
    if (fault == Fault::Error || fault == Fault::TextMode || line.size() > kMaxLine) {
        Respond("ERROR");
        return;
    }

    const std::string rest = Compact(line.substr(2));
    Reply reply;
    for (size_t pos = 0; pos < rest.size() && !reply.prompt;) {
        size_t end = pos + 1;
        if (rest[pos] == '+') {
            bool quoted = false;
            while (end < rest.size() && (quoted || rest[end] != ';'))
                quoted = quoted != (rest[end++] == '"');
        } else if (rest[pos] == 'D' || rest[pos] == 'd') {
            end = rest.size(); // the dial string is the rest of the line
        } else {
            while (end < rest.size() && isdigit(uint8_t(rest[end])))
                ++end;
        }
        if (!RunCommand(rest.substr(pos, end - pos), &reply)) {
            Respond(reply.final.empty() ? "ERROR" : reply.final);
            return;
        }
        pos = end < rest.size() && rest[end] == ';' ? end + 1 : end;
    }
    if (reply.prompt) {
        body_.clear();
        out_ += "\r\n> ";
        return;
    }
    if (!reply.later)
        Respond(reply.result.empty() ? "OK" : reply.result);
}

bool GsmModem::RunCommand(const std::string& cmd, Reply* reply) {
    if (cmd[0] != '+') {
        const std::string upper = Upper(cmd);
        if (upper == "E" || upper == "E0" || upper == "E1") {
            echo_ = upper == "E1";
            return true;
        }
        bool known = false;
        const bool done = CallCommand(upper, cmd, reply, &known);
        return known && done;
    }
    size_t nameEnd = 1;
    while (nameEnd < cmd.size() && isalnum(uint8_t(cmd[nameEnd])))
        ++nameEnd;
    const std::string name = Upper(cmd.substr(0, nameEnd));
    const std::string tail = cmd.substr(nameEnd);
    // The operation: 'a' action, '?' read, 't' test, '=' set with parameters.
    char op = 'a';
    std::vector<std::string> args;
    if (tail == "?") {
        op = '?';
    } else if (tail == "=?") {
        op = 't';
    } else if (!tail.empty()) {
        if (tail[0] != '=')
            return false;
        op = '=';
        args = SplitArgs(tail.substr(1));
    }
    using Handler = bool (GsmModem::*)(char, const std::vector<std::string>&, Reply*);
    static const std::pair<const char*, Handler> kCommands[] = {
        {"+CPIN", &GsmModem::Cpin}, {"+CPMS", &GsmModem::Cpms}, {"+CMGF", &GsmModem::Cmgf},
        {"+CMGR", &GsmModem::Cmgr}, {"+CMGL", &GsmModem::Cmgl}, {"+CMGD", &GsmModem::Cmgd},
        {"+CMGS", &GsmModem::Cmgs}, {"+CLIP", &GsmModem::Clip}, {"+CHLD", &GsmModem::Chld},
    };
    for (const auto& [n, handler] : kCommands)
        if (name == n)
            return (this->*handler)(op, args, reply);
    return false;
}

bool GsmModem::SimReady(Reply* reply) const {
    switch (pin_) {
    case PinState::Ready:
        return true;
    case PinState::SimPin:
        return reply->Fail(CmsError(kSimPinRequired));
    case PinState::SimPuk:
        return reply->Fail(CmsError(kSimPukRequired));
    case PinState::NoSim:
        return reply->Fail(CmsError(kNoSim));
    }
    return false;
}

bool GsmModem::Cpin(char op, const std::vector<std::string>& args, Reply*) {
    if (op == 't')
        return true;
    if (pin_ == PinState::NoSim)
        return false;
    if (op == '?') {
        Respond(std::string("+CPIN: ") + PinState_Name(pin_));
        return true;
    }
    if (op != '=' || args.size() > 2)
        return false;
    if (pin_ == PinState::SimPin && args.size() == 1) {
        if (args[0] == cfg_.pin) {
            pin_ = PinState::Ready;
            pinTries_ = 3;
            return true;
        }
        if (--pinTries_ == 0)
            pin_ = powerOnPin_ = PinState::SimPuk;
        return false;
    }
    if (pin_ == PinState::SimPuk && args.size() == 2 && args[0] == cfg_.puk && !args[1].empty()) {
        cfg_.pin = args[1];
        pin_ = PinState::Ready;
        powerOnPin_ = PinState::SimPin;
        pinTries_ = 3;
        return true;
    }
    return false;
}

bool GsmModem::Cpms(char op, const std::vector<std::string>& args, Reply* reply) {
    if (!SimReady(reply))
        return false;
    const std::string counts = std::to_string(UsedCells()) + "," + std::to_string(cfg_.capacity);
    if (op == '?') {
        Respond("+CPMS: \"SM\"," + counts + ",\"SM\"," + counts + ",\"SM\"," + counts);
        return true;
    }
    if (op == 't') {
        Respond("+CPMS: (\"SM\"),(\"SM\"),(\"SM\")");
        return true;
    }
    if (op != '=' || args.size() > 3)
        return false;
    for (const std::string& mem : args)
        if (mem != "SM")
            return reply->Fail(CmsError(kNotAllowed));
    Respond("+CPMS: " + counts + "," + counts + "," + counts);
    return true;
}

// A setting of 0 or 1: "?" tells it (after it in the reply: rest), "=?" its range, "=0" and "=1" set it.
bool GsmModem::Switch(char op, const std::vector<std::string>& args, const std::string& name,
                      const char* rest, bool& on) {
    if (op == '?') {
        Respond(name + ": " + (on ? "1" : "0") + rest);
        return true;
    }
    if (op == 't') {
        Respond(name + ": (0,1)");
        return true;
    }
    if (op != '=' || args.size() != 1 || (args[0] != "0" && args[0] != "1"))
        return false;
    on = args[0] == "1";
    return true;
}

bool GsmModem::Cmgf(char op, const std::vector<std::string>& args, Reply*) {
    return Switch(op, args, "+CMGF", "", textMode_);
}

void GsmModem::ListCell(Cell& cell, bool withIndex, std::string* info) const {
    const std::string head = withIndex ? "+CMGL: " + std::to_string(cell.index) + "," : "+CMGR: ";
    if (!textMode_) {
        *info += head + std::to_string(int(cell.status)) + ",," + std::to_string(cell.tpduLength) + Eol() +
                 (cfg_.blankLineBeforePdu ? Eol() : "") + ToHex(cell.pdu);
    } else {
        const bool stored = cell.status == CellStatus::Unsent || cell.status == CellStatus::Sent;
        *info += head + "\"" + kStatusText[int(cell.status)] + "\",\"" + Ira(cell.address) + "\"," +
                 (stored ? "" : ",\"" + SmsTime_Text(cell.time) + "\"") + Eol() + Ira(cell.text);
    }
    if (cell.status == CellStatus::Unread)
        cell.status = CellStatus::Read;
}

bool GsmModem::Cmgr(char op, const std::vector<std::string>& args, Reply* reply) {
    if (!SimReady(reply))
        return false;
    if (op == 't')
        return true;
    int index = 0;
    if (op != '=' || args.size() != 1 || !ParseInt(args[0], &index))
        return false;
    if (index < 1 || index > cfg_.capacity)
        return reply->Fail(CmsError(kBadIndex));
    Cell* cell = FindCell(index);
    if (!cell)
        return cfg_.emptyReadIsError ? reply->Fail(CmsError(kBadIndex)) : true;
    std::string info;
    ListCell(*cell, false, &info);
    Respond(info);
    return true;
}

bool GsmModem::Cmgl(char op, const std::vector<std::string>& args, Reply* reply) {
    if (!SimReady(reply))
        return false;
    if (op == 't') {
        Respond(textMode_ ? "+CMGL: (\"REC UNREAD\",\"REC READ\",\"STO UNSENT\",\"STO SENT\",\"ALL\")"
                          : "+CMGL: (0-4)");
        return true;
    }
    if (op == '?' || args.size() > 1)
        return false;
    int stat = int(CellStatus::Unread);
    if (op == '=') {
        const std::string& a = args[0];
        const auto* named = std::find(std::begin(kStatusText), std::end(kStatusText), a);
        const bool ok = textMode_ ? named != std::end(kStatusText) : ParseInt(a, &stat) && stat <= kAll;
        if (!ok)
            return reply->Fail(CmsError(textMode_ ? kBadTextParameter : kBadPduParameter));
        if (textMode_)
            stat = int(named - std::begin(kStatusText));
    }
    std::string info;
    for (Cell& cell : cells_) {
        if (!Matches(cell.status, stat))
            continue;
        if (!info.empty())
            info += Eol();
        ListCell(cell, true, &info);
    }
    if (!info.empty())
        Respond(info);
    return true;
}

bool GsmModem::Cmgd(char op, const std::vector<std::string>& args, Reply* reply) {
    if (!SimReady(reply))
        return false;
    if (op == 't') {
        Respond("+CMGD: (1-" + std::to_string(cfg_.capacity) + "),(0-4)");
        return true;
    }
    int index = 0, flag = 0;
    if (op != '=' || args.empty() || args.size() > 2 || !ParseInt(args[0], &index) ||
        (args.size() == 2 && (!ParseInt(args[1], &flag) || flag > 4)))
        return false;
    if (flag == 0) {
        if (index < 1 || index > cfg_.capacity)
            return reply->Fail(CmsError(kBadIndex));
        std::erase_if(cells_, [index](const Cell& c) { return c.index == index; });
        return true;
    }
    // 1 read, 2 read and sent, 3 read, sent and unsent, 4 all; the index is ignored.
    std::erase_if(cells_, [flag](const Cell& c) {
        switch (c.status) {
        case CellStatus::Read:
            return true;
        case CellStatus::Sent:
            return flag >= 2;
        case CellStatus::Unsent:
            return flag >= 3;
        case CellStatus::Unread:
            return flag == 4;
        }
        return false;
    });
    return true;
}

bool GsmModem::Cmgs(char op, const std::vector<std::string>& args, Reply* reply) {
    if (!SimReady(reply))
        return false;
    if (op == 't')
        return true;
    if (op != '=')
        return false;
    if (textMode_) {
        int type = 0;
        if (args.empty() || args.size() > 2 || args[0].empty() ||
            (args.size() == 2 && !ParseInt(args[1], &type)))
            return reply->Fail(CmsError(kBadTextParameter));
        sendTo_ = args[0];
        input_ = Input::Text;
    } else {
        int length = 0;
        if (args.size() != 1 || !ParseInt(args[0], &length) || length < 1 || size_t(length) > kMaxTpdu)
            return reply->Fail(CmsError(kBadPduParameter));
        sendLength_ = size_t(length);
        input_ = Input::Pdu;
    }
    reply->prompt = true;
    return true;
}

void GsmModem::FinishSend(bool cancel) {
    const bool text = input_ == Input::Text;
    input_ = Input::Command;
    if (cancel) {
        Respond("OK");
        return;
    }
    SentSms sms;
    sms.textMode = text;
    if (text) {
        if (TextToSeptets(body_).size() > 160) {
            Respond(CmsError(kBadTextParameter));
            return;
        }
        sms.destination = sendTo_;
        sms.text = body_;
        sms.messageRef = ++textRef_;
    } else {
        Bytes pdu;
        if (!FromHex(body_, &pdu) || !DecodeSubmit(pdu, sendLength_, &sms.submit)) {
            Respond(CmsError(kBadPduParameter));
            return;
        }
        sms.destination = sms.submit.destination;
        sms.text = sms.submit.text;
        sms.messageRef = sms.submit.messageRef;
        sms.pdu = body_;
    }
    Respond("+CMGS: " + std::to_string(sms.messageRef));
    sent_.push_back(std::move(sms));
    Respond("OK");
}

void GsmModem::Respond(const std::string& text) {
    out_ += Eol() + text + Eol();
}

void GsmModem::Reshape() {
    if (!reshape_)
        return;
    const Fault fault = *reshape_;
    reshape_.reset();
    if (fault == Fault::CutReply || fault == Fault::LateReply || fault == Fault::LateRest) {
        const size_t cut = fault == Fault::LateReply ? replyAt_ : replyAt_ + (out_.size() - replyAt_) / 2;
        if (fault != Fault::CutReply)
            late_ = out_.substr(cut);
        out_.resize(cut);
        return;
    }
    const size_t first = out_.find_first_not_of("\r\n", replyAt_);
    const size_t end = first == std::string::npos ? first : out_.find(Eol(), first);
    if (end != std::string::npos)
        out_.insert(end, Eol() + ("+CMTI: \"SM\"," + std::to_string(FreeCell(0))) + Eol());
}

void GsmModem::Disconnected() {
    EndCalls(false); // the terminal's DTR went with it
    input_ = Input::Command;
    line_.clear();
    body_.clear();
    out_.clear();
    late_.clear();
    rules_.clear();
}

void GsmModem::PowerCycle() {
    Disconnected();
    EndCalls(true);
    echo_ = cfg_.echo;
    textMode_ = false;
    pin_ = powerOnPin_;
    pinTries_ = 3;
}

void GsmModem::SetPinState(PinState state) {
    pin_ = powerOnPin_ = state;
    pinTries_ = 3;
}

Cell* GsmModem::FindCell(int index) {
    for (Cell& c : cells_)
        if (c.index == index)
            return &c;
    return nullptr;
}

int GsmModem::FreeCell(int cell) const {
    auto used = [this](int i) {
        return std::any_of(cells_.begin(), cells_.end(), [i](const Cell& c) { return c.index == i; });
    };
    if (cell != 0)
        return cell >= 1 && cell <= cfg_.capacity && !used(cell) ? cell : 0;
    for (int i = 1; i <= cfg_.capacity; ++i)
        if (!used(i))
            return i;
    return 0;
}

int GsmModem::Store(Cell cell, int index) {
    cell.index = FreeCell(index);
    if (cell.index == 0)
        return 0;
    const auto at =
        std::find_if(cells_.begin(), cells_.end(), [&cell](const Cell& c) { return c.index > cell.index; });
    return cells_.insert(at, std::move(cell))->index;
}

int GsmModem::AddSms(const DeliverSpec& spec, int cell) {
    Cell c;
    c.pdu = EncodeDeliver(spec, &c.tpduLength);
    if (c.pdu.empty())
        return 0;
    c.address = spec.sender;
    c.text = spec.text;
    c.time = spec.time;
    return Store(std::move(c), cell);
}

int GsmModem::AddPdu(const std::string& hex, CellStatus status, int cell) {
    Cell c;
    c.status = status;
    if (!FromHex(hex, &c.pdu) || c.pdu.empty())
        return 0;
    const size_t sc = size_t(c.pdu[0]) + 1;
    c.tpduLength = c.pdu.size() > sc ? c.pdu.size() - sc : 0;
    return Store(std::move(c), cell);
}

std::vector<Cell> GsmModem::Cells() const {
    return cells_;
}

int GsmModem::UsedCells() const {
    return int(cells_.size());
}

void GsmModem::Inject(Fault fault, const std::string& command, int times) {
    std::string upper = Upper(command);
    if (fault == Fault::TextMode) {
        textMode_ = true;
        upper = "AT+CMGF=0";
    }
    rules_.push_back({fault, upper == "AT" ? std::string() : upper, std::max(times, 0)});
}

void GsmModem::ClearFaults() {
    rules_.clear();
}

void GsmModem::Unsolicited(const std::string& line) {
    Respond(line);
}

std::vector<SentSms> GsmModem::TakeSent() {
    std::vector<SentSms> taken;
    taken.swap(sent_);
    return taken;
}

} // namespace gsmsim
