// Bytes from virtual COM ports and from modems through the group routing: the real session manager's
// routing tick, ReadVirtualPort and the transmit side of the data items, with groups, modems and port
// programs that the input sets up and drives.
//
// The virtual port control is replaced by the fake below, a link seam: this file defines every member
// of TVirtualPortAx and the two free functions of platform/VirtualPort.h, so the linker takes no object
// of the real control from the platform library and no pty is made. (A member added to the control
// must be added here too, or the linker reports it twice.) A fake port hands out what its program wrote,
// takes what the program's room allows, and can fail.
//
// Input: a configuration (connected modems, up to four groups with a modem or port base and up to four
// members, numbers 1-5 being modems that exist), then operations, each an operation byte and its
// arguments. At the end the streams are checked for every group whose data cannot mix with another's:
// each member gets exactly what the base sent, and the base gets exactly what the members sent (in
// order for one member, as a multiset for several), minus what still waits in the queues.
#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <vector>

#include <QApplication>

#include "core/ObjectRegistry.h"
#include "core/Settings.h"
#include "platform/VirtualPort.h"
#include "sessions/ConnectionForm.h"
#include "sessions/GroupRouting.h"
#include "sessions/VirtualPorts.h"

using Bytes = std::vector<uint8_t>;

namespace {

void Require(bool ok) {
    if (!ok)
        std::abort();
}

struct TFakePort {
    Bytes Pending;   // written by the program, not read yet
    Bytes HandedOut; // read by the routing
    Bytes Out;       // written to the program
    int Room = 0;    // bytes the program takes before the port's buffer is full
    bool IsReady = true;
    bool Held = false;
    bool FailRead = false, FailWrite = false;
    int Taken = 0;
};

std::map<const TVirtualPortAx*, TFakePort>& FakePorts() {
    static std::map<const TVirtualPortAx*, TFakePort> ports;
    return ports;
}

TFakePort& Fake(const TVirtualPortAx* port) {
    return FakePorts().at(port);
}

} // namespace

// ---- The fake control

TVirtualPortAx::TVirtualPortAx(QObject* owner) : QObject(owner) {
    FakePorts()[this];
}
TVirtualPortAx::~TVirtualPortAx() {
    FakePorts().erase(this);
}
bool TVirtualPortAx::CreatePort(const QString&) {
    return false;
}
bool TVirtualPortAx::Attach(const QString&) {
    return false;
}
int TVirtualPortAx::SetStrictBaudrate(int) {
    return 1;
}
int TVirtualPortAx::SetWiring(int, int, int, int) {
    return 1;
}
bool TVirtualPortAx::Ready() const {
    return Fake(this).IsReady;
}
int TVirtualPortAx::Write(const std::uint8_t* buffer, int count) {
    TFakePort& f = Fake(this);
    if (f.FailWrite)
        throw std::runtime_error("write failed");
    const int n = f.IsReady ? std::clamp(f.Room, 0, std::max(count, 0)) : 0;
    f.Out.insert(f.Out.end(), buffer, buffer + n);
    f.Room -= n;
    return n;
}
int TVirtualPortAx::Read(std::uint8_t* buffer, int count) {
    TFakePort& f = Fake(this);
    if (f.FailRead)
        throw std::runtime_error("read failed");
    const int n = std::clamp(count, 0, int(f.Pending.size()));
    std::copy_n(f.Pending.begin(), n, buffer);
    f.HandedOut.insert(f.HandedOut.end(), f.Pending.begin(), f.Pending.begin() + n);
    f.Pending.erase(f.Pending.begin(), f.Pending.begin() + n);
    f.Taken += n;
    return n;
}
void TVirtualPortAx::ResumeRx() {
    Fake(this).Held = false;
}
bool IsOwnVirtualPort(const QString&) {
    return false;
}
int ComPortNumber(const QString&) {
    return 0;
}

namespace {

constexpr int Modems = 5; // objects 1-5; numbers 0, 6 and 7 name none

struct TModemStreams {
    Bytes Received;  // taken into the object's receive queue, as the modem sent it
    Bytes Delivered; // left the transmit queue acknowledged by the modem
};

struct TWorld {
    int argc = 1;
    char name[6] = "fuzz";
    char* argv[2] = {name, nullptr};
    std::array<TModemStreams, Modems + 1> streams;
    uint16_t nextId = 0;
    // Port groups that were read while some members were connected and others not: the others may
    // have lost data when their queues were full.
    std::set<const TReceiver*> mixedReads;

    TWorld() {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        new QApplication(argc, argv);
        Trace_SetSink([](const char*, size_t) {});
        AppSettings = new TSettings;
        ConnectionForm = new TConnectionForm;
        for (int i = 1; i <= Modems; ++i) {
            auto object = std::make_unique<TObjectStates>();
            object->ObjectNumber = i;
            object->ModemID = 100 + i;
            ObjectList.push_back(std::move(object));
        }
    }

    // Every buffer as after AppBuf_Init, without clearing the queues' bytes that nothing reads.
    void Reset() {
        for (const auto& o : ObjectList) {
            AppBuf* b = o->AppBuf.get();
            b->TxFill = b->TxHead = b->TxInFlight = b->TxAcked = b->RxPendingLen = b->RxPendingWire = 0;
            b->RxFill = b->RxHead = b->RxSinceAck = b->RxPendingId = 0;
            b->ModemRnr = b->OurRnr = 0;
            AppBuf_InitZeroed(b);
            o->Connected = 0;
        }
        TakeBuffersDue();
    }
    // What the input made goes with it, so that libFuzzer sees no memory kept from one input to the next.
    void Clear() {
        AppSettings->Receivers.clear();
        streams = {};
        mixedReads.clear();
    }
};

TWorld* world;

class TInput {
public:
    TInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool Empty() const { return pos_ >= size_; }
    uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    Bytes Take(size_t n) {
        n = std::min(n, size_ - pos_);
        Bytes b(data_ + pos_, data_ + pos_ + n);
        pos_ += n;
        return b;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

TObjectStates* Modem(int n) {
    return FindObjectByNum(n);
}

void ReadGroups(TInput& in) {
    const uint8_t connected = in.Byte();
    for (int i = 1; i <= Modems; ++i)
        Modem(i)->Connected = connected >> (i - 1) & 1;
    const int count = in.Byte() % 5;
    for (int i = 0; i < count; ++i) {
        auto g = std::make_unique<TReceiver>();
        const uint8_t base = in.Byte();
        if (base & 0x80) {
            g->BaseKind = TReceiver::bkComPort;
            g->BaseID = base & 3;
            if (!(base & 0x20)) { // else the port could not be made
                auto port = std::make_unique<TVirtualPortAx>();
                port->Tag = g->BaseID + 1;
                Fake(port.get()).IsReady = !(base & 0x40);
                AdoptVirtualPort(*g, std::move(port));
            }
        } else {
            g->BaseKind = TReceiver::bkObject;
            g->BaseID = (base & 7) - 1;
        }
        const int members = in.Byte() % 5;
        for (int m = 0; m < members; ++m)
            g->Members.push_back(in.Byte() % 8);
        AppSettings->Receivers.push_back(std::move(g));
    }
}

TReceiver* Group(uint8_t arg) {
    auto& groups = AppSettings->Receivers;
    return groups.empty() ? nullptr : groups[arg % groups.size()].get();
}

bool Distinct(const std::vector<uint32_t>& members) {
    std::vector<uint32_t> sorted = members;
    std::sort(sorted.begin(), sorted.end());
    return std::adjacent_find(sorted.begin(), sorted.end()) == sorted.end();
}

// What the control does when bytes wait and it is not held: reports them, and holds further reports
// when fewer were read. The routing reads only what the members that count can take (the connected
// ones, else all), so each of them takes everything read.
void Report(TVirtualPortAx* port) {
    TFakePort& f = Fake(port);
    if (f.Held || f.Pending.empty())
        return;
    const TReceiver* g = FindReceiverByBasePort(port->Tag);
    std::vector<std::pair<const AppBuf*, uint32_t>> counted;
    if (g && Distinct(g->Members)) {
        std::vector<const TObjectStates*> members, connected;
        for (const uint32_t m : g->Members)
            if (const TObjectStates* o = FindObjectByNum(int32_t(m))) {
                members.push_back(o);
                if (o->Connected)
                    connected.push_back(o);
            }
        if (!connected.empty() && connected.size() < members.size())
            world->mixedReads.insert(g);
        for (const TObjectStates* o : connected.empty() ? members : connected)
            counted.emplace_back(o->AppBuf.get(), o->AppBuf->TxFill);
    }
    const int waiting = int(f.Pending.size());
    f.Taken = 0;
    ReadVirtualPort(port, waiting);
    f.Held = f.Taken < waiting;
    for (const auto& [buffer, fill] : counted)
        Require(buffer->TxFill == fill + uint32_t(f.Taken));
}

// The modem sends a TxData item with these bytes; the router takes it into the receive queue whole or
// not at all.
void ModemSends(int n, const Bytes& bytes) {
    AppBuf* b = Modem(n)->AppBuf.get();
    Bytes item(7 + bytes.size());
    Put_U16BE(item.data() + 1, world->nextId++);
    Put_U16BE(item.data() + 3, uint16_t(bytes.size()));
    std::copy(bytes.begin(), bytes.end(), item.begin() + 7);
    Require(HCP_TxData(item.data(), uint32_t(item.size()), b, nullptr, CMD_TX_DATA) != nullptr);
    if (AppBuf_RxGet(b)) {
        Bytes& received = world->streams[size_t(n)].Received;
        received.insert(received.end(), bytes.begin(), bytes.end());
    }
    MarkBufferDue(Modem(n)); // as the event pump does
}

// The router builds the modem's next data item at an offset of the block; the item carries the front
// of the transmit queue, packed or not, and the modem acknowledges all or part of it. Packing is asked
// for one time in four (bits 0-1 both set), without the Huffman method: fuzz_pack covers the packer
// itself, and Huffman codes, slow under the fuzzer's instrumentation, took most of this target's time.
void ModemTakes(int n, uint8_t arg, uint8_t offset) {
    AppBuf* b = Modem(n)->AppBuf.get();
    uint8_t block[CMD_IP_ITEMS_MAX + 4];
    uint8_t* pos = block + offset * 4;
    const bool busy = b->TxInFlight != 0 || b->TxFill == 0;
    if (!HCC_TxAppData(block, &pos, b, (arg & 3) == 3, 0) || busy)
        return;
    const uint8_t* item = block + offset * 4;
    const uint32_t count = Get_U16BE(item + 3);
    const uint32_t wire = uint32_t(pos - item) - 5;
    Require(count > 0 && count == b->TxInFlight && count <= b->TxFill);
    Bytes payload(std::max(count, wire));
    std::copy_n(item + 5, wire, payload.begin());
    if (item[0] == CMD_RX_DATA_PACKED)
        Require(Pack_Decode(payload.data(), wire, count, uint32_t(payload.size())) == wire);
    else
        Require(item[0] == CMD_RX_DATA && wire == count);
    Bytes queued(count);
    Require(AppBuf_TxPeek(b, 0, queued.data(), count) == count);
    Require(std::equal(payload.begin(), payload.begin() + count, queued.begin()));

    // A TxDataAck: bit 2 the modem is not ready, bit 3 it acknowledges half the block.
    const uint32_t before = b->TxFill;
    uint8_t ack[3] = {uint8_t(arg >> 2 & 1), 0, 0};
    Put_U16BE(ack + 1, uint16_t(arg & 8 ? count / 2 : count));
    Require(HCP_TxDataAck(ack, sizeof ack, b, nullptr) != nullptr);
    AppBuf_TxAck(b, nullptr);
    MarkBufferDue(Modem(n));
    Require(b->TxFill <= before && before - b->TxFill <= count);
    Bytes& delivered = world->streams[size_t(n)].Delivered;
    delivered.insert(delivered.end(), payload.begin(), payload.begin() + (before - b->TxFill));
}

void Tick() {
    ConnectionForm->BuffersProcessTimerTimer();
    // The control reports again, from the event loop, what waits in a port that was resumed.
    for (const auto& g : AppSettings->Receivers)
        if (VirtualPortOf(*g))
            Report(VirtualPortOf(*g));
}

// 1, 8, 64 or 512 times the operation's bytes, so that a short input can fill the queues.
int Repeats(uint8_t arg) {
    return 1 << 3 * (arg >> 3);
}

void Run(TInput& in) {
    while (!in.Empty()) {
        const uint8_t op = in.Byte();
        const uint8_t arg = op >> 3;
        TReceiver* g = Group(arg);
        TVirtualPortAx* port = g ? VirtualPortOf(*g) : nullptr;
        switch (op & 7) {
        case 0: { // a connected modem sends
            const Bytes bytes = in.Take(in.Byte());
            if (Modem(arg % Modems + 1)->Connected && !bytes.empty())
                for (int r = Repeats(arg); r > 0; --r)
                    ModemSends(arg % Modems + 1, bytes);
            break;
        }
        case 1: // the program writes into its port
            if (port) {
                const Bytes bytes = in.Take(in.Byte());
                for (int r = Repeats(arg); r > 0; --r)
                    Fake(port).Pending.insert(Fake(port).Pending.end(), bytes.begin(), bytes.end());
                Report(port);
            }
            break;
        case 2:
            Tick();
            break;
        case 3: { // a connected modem takes its next data item
            const uint8_t how = in.Byte();
            const uint8_t offset = in.Byte() % 250;
            if (Modem(arg % Modems + 1)->Connected)
                ModemTakes(arg % Modems + 1, how, offset);
            break;
        }
        case 4: // the program reads
            if (port)
                Fake(port).Room += in.Byte() * 16;
            break;
        case 5: {
            TObjectStates* o = Modem(arg % Modems + 1);
            o->Connected = !o->Connected;
            break;
        }
        case 6:
            if (port)
                Fake(port).IsReady = !Fake(port).IsReady;
            break;
        case 7:
            if (port) {
                Fake(port).FailRead = arg & 8;
                Fake(port).FailWrite = arg & 16;
            }
            break;
        }
        for (const auto& group : AppSettings->Receivers)
            Require(group->BufferCount >= 0 && group->BufferCount <= TReceiver::BufferSize);
    }
}

// ---- The streams at the end

// The bytes a modem sent that left its receive queue.
Bytes Taken(int n) {
    const Bytes& all = world->streams[size_t(n)].Received;
    return Bytes(all.begin(), all.end() - Modem(n)->AppBuf->RxFill);
}

// The bytes that reached a modem's transmit queue: delivered and still queued.
Bytes Queued(int n) {
    Bytes all = world->streams[size_t(n)].Delivered;
    const AppBuf* b = Modem(n)->AppBuf.get();
    const size_t delivered = all.size();
    all.resize(delivered + b->TxFill);
    AppBuf_TxPeek(b, 0, all.data() + delivered, b->TxFill);
    return all;
}

bool IsModem(int32_t n) {
    return n >= 1 && n <= Modems;
}

// A group whose base and members take part in no other group, so that its streams are its own.
bool Isolated(const TReceiver& g) {
    const bool modemBase = g.BaseKind == 0;
    for (const auto& other : AppSettings->Receivers) {
        if (other.get() == &g)
            continue;
        if ((other->BaseKind > 0) == !modemBase && other->BaseID == g.BaseID)
            return false;
        for (const uint32_t m : other->Members)
            if (std::count(g.Members.begin(), g.Members.end(), m) || (modemBase && int32_t(m) == g.BaseID))
                return false;
        for (const uint32_t m : g.Members)
            if (other->BaseKind == 0 && int32_t(m) == other->BaseID)
                return false;
    }
    for (const uint32_t m : g.Members)
        if (std::count(g.Members.begin(), g.Members.end(), m) != 1 || (modemBase && int32_t(m) == g.BaseID))
            return false;
    return true;
}

void CheckGroup(const TReceiver& g) {
    if (!Isolated(g))
        return;
    const bool modemBase = g.BaseKind == 0;
    // Base to members: a port is read only as fast as the members take it; a modem base's data is lost
    // for a member whose queue is full.
    Bytes down;
    if (modemBase && IsModem(g.BaseID))
        down = Taken(g.BaseID);
    else if (!modemBase && VirtualPortOf(g))
        down = Fake(VirtualPortOf(g)).HandedOut;
    const bool heldBack = !modemBase && !world->mixedReads.count(&g);
    if (heldBack || down.size() <= AppBufTxSize)
        for (const uint32_t m : g.Members)
            if (IsModem(int32_t(m)))
                Require(Queued(int32_t(m)) == down);

    // Members to base.
    Bytes up(g.Buffer.begin(), g.Buffer.begin() + g.BufferCount);
    if (modemBase && IsModem(g.BaseID)) {
        const Bytes sent = Queued(g.BaseID);
        up.insert(up.begin(), sent.begin(), sent.end());
    } else if (!modemBase && VirtualPortOf(g)) {
        const Bytes& written = Fake(VirtualPortOf(g)).Out;
        up.insert(up.begin(), written.begin(), written.end());
    }
    Bytes from;
    int sources = 0;
    for (const uint32_t m : g.Members)
        if (IsModem(int32_t(m))) {
            const Bytes taken = Taken(int32_t(m));
            from.insert(from.end(), taken.begin(), taken.end());
            ++sources;
        }
    if (sources > 1) {
        std::sort(up.begin(), up.end());
        std::sort(from.begin(), from.end());
    }
    Require(up == from);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!world)
        world = new TWorld;
    world->Reset();
    TInput in(data, size);
    ReadGroups(in);
    Run(in);
    for (const auto& g : AppSettings->Receivers)
        CheckGroup(*g);
    // A modem in no group and the base of none has its data taken and dropped by the tick, as much as
    // a tick takes.
    std::array<uint32_t, Modems + 1> waiting{};
    for (int n = 1; n <= Modems; ++n)
        waiting[size_t(n)] = Modem(n)->AppBuf->RxFill;
    Tick();
    for (int n = 1; n <= Modems; ++n)
        if (!FindReceiverOfMember(n) && !FindReceiverByBaseObject(n))
            Require(Modem(n)->AppBuf->RxFill ==
                    waiting[size_t(n)] - std::min<uint32_t>(waiting[size_t(n)], TReceiver::BufferSize));
    world->Clear();
    return 0;
}
