#include "sessions/GroupRouting.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <exception>
#include <utility>

#include "core/ObjectRegistry.h"
#include "core/Settings.h"
#include "platform/Cp1251.h"
#include "platform/VirtualPort.h"
#include "sessions/ConnectionForm.h"
#include "sessions/SessionLog.h"
#include "sessions/VirtualPorts.h"

namespace {

template <class Match> TReceiver* FindReceiver(Match&& match) {
    if (!AppSettings)
        return nullptr;
    for (const auto& g : std::as_const(AppSettings->Receivers))
        if (match(*g))
            return g.get();
    return nullptr;
}

// The routing looks groups up for every object on every tick and for every block a port delivers, so
// from the array's indexes.
template <class Match> TReceiver* Indexed(int which, int key, [[maybe_unused]] Match&& match) {
    if (!AppSettings)
        return nullptr;
    TReceiver* g = AppSettings->Receivers.First(which, key);
    assert(g == FindReceiver(match)); // the test build checks every answer against the walk
    return g;
}

void SendIfConnected(TObjectStates* object) {
    if (ConnectionForm && object->Connected)
        ConnectionForm->SendData(object);
}

void Consume(TReceiver& g, int count) {
    std::memmove(g.Buffer.data(), g.Buffer.data() + count, size_t(g.BufferCount - count));
    g.BufferCount -= count;
}

} // namespace

TReceiver* FindReceiverOfMember(int objectNumber) {
    return Indexed(TReceiverKeys::Member, objectNumber, [&](const TReceiver& g) {
        return std::find(g.Members.begin(), g.Members.end(), uint32_t(objectNumber)) != g.Members.end();
    });
}

TReceiver* FindReceiverByBaseObject(int objectNumber) {
    return Indexed(TReceiverKeys::BaseObject, objectNumber,
                   [&](const TReceiver& g) { return g.BaseKind == 0 && g.BaseID == objectNumber; });
}

TReceiver* FindReceiverByBasePort(int comNumber) {
    return Indexed(TReceiverKeys::BasePort, comNumber - 1,
                   [&](const TReceiver& g) { return g.BaseKind > 0 && g.BaseID == comNumber - 1; });
}

int ReceiverFreeSpace(int objectNumber) {
    if (FindReceiverByBaseObject(objectNumber))
        return TReceiver::BufferSize;
    const TReceiver* g = FindReceiverOfMember(objectNumber);
    if (!g)
        return TReceiver::BufferSize; // taken and dropped
    const int space = TReceiver::BufferSize - g->BufferCount;
    if (g->BaseKind == 0) {
        if (g->BaseID < 0)
            return 0;
        const TObjectStates* base = FindObjectByNum(g->BaseID);
        return base && !base->Connected ? 0 : space;
    }
    const TVirtualPortAx* port = VirtualPortOf(*g);
    return port && !port->Ready() ? 0 : space;
}

void RouteObjectData(int objectNumber, const std::uint8_t* data, int length) {
    if (TReceiver* g = FindReceiverByBaseObject(objectNumber)) {
        PushToReceiverMembers(*g, data, length);
    } else if (TReceiver* g = FindReceiverOfMember(objectNumber)) {
        const int n = std::clamp(length, 0, TReceiver::BufferSize - g->BufferCount);
        std::memcpy(g->Buffer.data() + g->BufferCount, data, size_t(n));
        g->BufferCount += n;
    }
}

void PushToReceiverMembers(TReceiver& group, const std::uint8_t* data, int length) {
    for (const uint32_t m : group.Members) {
        TObjectStates* member = FindObjectByNum(int32_t(m));
        if (!member || !member->AppBuf)
            continue;
        const uint32_t k = AppBuf_Push(member->AppBuf.get(), data, uint32_t(length));
        if (k > 0)
            MarkBufferDue(member);
        if (k != uint32_t(length))
            SessionLog(QStringLiteral("GR: AppBuf pushing error (%1 of %2 are pushed)").arg(k).arg(length));
        SendIfConnected(member);
    }
}

int ReceiverMembersFreeSpace(const TReceiver& group, int wanted) {
    int connected = wanted, any = wanted;
    bool someConnected = false;
    for (const uint32_t m : group.Members) {
        const TObjectStates* member = FindObjectByNum(int32_t(m));
        if (!member || !member->AppBuf)
            continue;
        AppBufState state{};
        AppBuf_GetState(member->AppBuf.get(), &state);
        const int free = int(state.TxFree);
        any = std::min(any, free);
        if (member->Connected) {
            someConnected = true;
            connected = std::min(connected, free);
        }
    }
    return someConnected ? connected : any;
}

void FlushReceiverBuffers() {
    if (!AppSettings)
        return;
    for (const auto& g : std::as_const(AppSettings->Receivers)) {
        if (g->BufferCount <= 0)
            continue;
        if (g->BaseKind == 0) {
            TObjectStates* base = g->BaseID >= 0 ? FindObjectByNum(g->BaseID) : nullptr;
            if (!base || !base->AppBuf)
                continue;
            const uint32_t k = AppBuf_Push(base->AppBuf.get(), g->Buffer.data(), uint32_t(g->BufferCount));
            if (k > 0) {
                Consume(*g, int(k));
                MarkBufferDue(base);
                SendIfConnected(base);
            }
        } else if (TVirtualPortAx* port = VirtualPortOf(*g)) {
            int k = 0;
            try {
                k = port->Write(g->Buffer.data(), g->BufferCount);
            } catch (const std::exception&) {
                k = 0;
            }
            if (k > 0)
                Consume(*g, std::min(k, g->BufferCount));
        }
    }
}

QString ReceiverBaseDescription(int baseKind, int baseID) {
    if (baseID < 0)
        return {};
    if (baseKind > 0)
        return QStringLiteral("COM") + QString::number(baseID + 1);
    const TObjectStates* object = FindObjectByNum(baseID);
    return object ? QString::number(object->ObjectNumber) + QStringLiteral(" - ") + FromCp1251(object->Name)
                  : QString();
}

namespace {

// Whether the routing must visit the object again on the next tick: data from its modem is still
// waiting, or data for it waits for a frame (a block in flight is settled by the modem's answer, which
// marks the object again).
bool StillDue(TObjectStates& o) {
    AppBufState state{};
    AppBuf_GetState(o.AppBuf.get(), &state);
    return !(state.RxFlags & AppBufRxEmpty) ||
           (o.Connected && !(state.TxFlags & (AppBufTxEmpty | AppBufTxInFlight)));
}

// The objects to visit in the order of the object list, which is the order their data reaches a
// group's buffer in; those in no list (or with a number some earlier object has) come after.
std::vector<TObjectStates*> BuffersDueInListOrder() {
    std::vector<TObjectStates*> due = TakeBuffersDue();
    if (due.size() < 2)
        return due;
    std::vector<std::pair<std::size_t, TObjectStates*>> ordered;
    ordered.reserve(due.size());
    for (TObjectStates* o : due) {
        const std::size_t at = ObjectList.Find(TObjectKeys::Number, o->ObjectNumber);
        ordered.emplace_back(
            at != TObjectList::npos && std::as_const(ObjectList)[at].get() == o ? at : TObjectList::npos, o);
    }
    std::stable_sort(ordered.begin(), ordered.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (std::size_t i = 0; i < due.size(); ++i)
        due[i] = ordered[i].second;
    return due;
}

} // namespace

// The routing tick: only the objects whose buffers have something to do.
void TConnectionForm::BuffersProcessTimerTimer() {
    FlushReceiverBuffers();
    bool moved = false;
    const std::vector<TObjectStates*> due = BuffersDueInListOrder();
    std::size_t visited = 0;
    try {
        std::uint8_t work[TReceiver::BufferSize];
        for (; visited < due.size(); ++visited) {
            TObjectStates* o = due[visited];
            // A buffer never used has nothing to route, and looking would touch its pages.
            if (!o->AppBuf || (!o->AppBuf.Used() && !o->Connected))
                continue;
            AppBufState state{};
            AppBuf_GetState(o->AppBuf.get(), &state);
            if (!(state.RxFlags & AppBufRxEmpty)) {
                const int n = std::min(ReceiverFreeSpace(o->ObjectNumber), TReceiver::BufferSize);
                const uint32_t k = n > 0 ? AppBuf_Pop(o->AppBuf.get(), work, uint32_t(n)) : 0;
                if (k > 0) {
                    RouteObjectData(o->ObjectNumber, work, int(k));
                    moved = true;
                }
            }
            if (o->Connected)
                SendData(o);
            if (StillDue(*o))
                MarkBufferDue(o);
        }
    } catch (const std::exception&) {
    }
    // Those the walk did not reach wait for the next tick.
    for (std::size_t i = visited; i < due.size(); ++i)
        MarkBufferDue(due[i]);
    if (moved)
        FlushReceiverBuffers();
    // Ports held back while their members were full may be read again.
    if (AppSettings)
        for (const auto& g : std::as_const(AppSettings->Receivers))
            if (TVirtualPortAx* port = VirtualPortOf(*g))
                port->ResumeRx();
}
