// The look-ups of the groups: the first group in array order answers, as a walk would find it, and
// every change of the array shows in the answers; a group buffer that its base modem takes in part; and
// the routing tick, which visits only the objects marked as having something to do.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "core/ObjectRegistry.h"
#include "core/Settings.h"
#include "sessions/ConnectionForm.h"
#include "sessions/GroupRouting.h"

namespace {

class GroupLookUp : public ::testing::Test {
protected:
    GroupLookUp() : saved_(AppSettings) {
        AppSettings = &settings;
        ObjectList.clear();
    }
    ~GroupLookUp() override {
        AppSettings = saved_;
        ObjectList.clear();
    }

    static std::unique_ptr<TReceiver> Group(int baseKind, int baseID, std::vector<uint32_t> members) {
        auto g = std::make_unique<TReceiver>();
        g->BaseKind = baseKind;
        g->BaseID = baseID;
        g->Members = std::move(members);
        return g;
    }
    TReceiver* Add(int baseKind, int baseID, std::vector<uint32_t> members) {
        return settings.Receivers.emplace_back(Group(baseKind, baseID, std::move(members))).get();
    }

    TSettings settings;

private:
    TSettings* saved_;
};

TEST_F(GroupLookUp, TheFirstGroupInArrayOrderAnswers) {
    TReceiver* com3 = Add(TReceiver::bkComPort, 2, {5, 6});
    TReceiver* base7 = Add(TReceiver::bkObject, 7, {6, 8});
    TReceiver* com3Again = Add(TReceiver::bkComPort, 2, {9});
    Add(TReceiver::bkObject, 7, {5});
    Add(-1, 4, {}); // a kind no base has: neither an object nor a port base

    EXPECT_EQ(FindReceiverOfMember(6), com3) << "a member of two groups belongs to the first";
    EXPECT_EQ(FindReceiverOfMember(5), com3);
    EXPECT_EQ(FindReceiverOfMember(8), base7);
    EXPECT_EQ(FindReceiverOfMember(9), com3Again);
    EXPECT_EQ(FindReceiverOfMember(7), nullptr);
    EXPECT_EQ(FindReceiverByBasePort(3), com3);
    EXPECT_EQ(FindReceiverByBasePort(5), nullptr);
    EXPECT_EQ(FindReceiverByBaseObject(7), base7);
    EXPECT_EQ(FindReceiverByBaseObject(2), nullptr) << "the number of a port base is no object";
    EXPECT_EQ(FindReceiverByBaseObject(4), nullptr);
}

TEST_F(GroupLookUp, AnswersFollowEveryChangeOfTheGroups) {
    Add(TReceiver::bkObject, 7, {5});
    TReceiver* second = Add(TReceiver::bkObject, 7, {5, 6});
    ASSERT_EQ(FindReceiverOfMember(5), settings.Receivers[0].get());

    settings.Receivers.erase(settings.Receivers.begin());
    EXPECT_EQ(FindReceiverOfMember(5), second);
    EXPECT_EQ(FindReceiverByBaseObject(7), second);

    settings.Receivers[0]->Members.push_back(11); // edited through the array
    settings.Receivers[0]->BaseKind = TReceiver::bkComPort;
    EXPECT_EQ(FindReceiverOfMember(11), second);
    EXPECT_EQ(FindReceiverByBaseObject(7), nullptr);
    EXPECT_EQ(FindReceiverByBasePort(8), second);

    // Replaced as a whole, as the group editor's OK does.
    std::vector<std::unique_ptr<TReceiver>> edited;
    edited.push_back(Group(TReceiver::bkObject, 1, {11}));
    settings.Receivers = std::move(edited);
    EXPECT_EQ(FindReceiverOfMember(5), nullptr);
    EXPECT_EQ(FindReceiverOfMember(11), settings.Receivers[0].get());
    EXPECT_EQ(FindReceiverByBasePort(8), nullptr);

    AppSettings = nullptr;
    EXPECT_EQ(FindReceiverOfMember(11), nullptr);
}

// The base modem's transmit queue takes only part of the member data waiting for it: the rest stays in
// the group buffer, in order, for the next tick.
TEST_F(GroupLookUp, WhatTheBaseModemsQueueCannotTakeStaysInTheGroupBuffer) {
    auto& base = *ObjectList.emplace_back(std::make_unique<TObjectStates>());
    base.ObjectNumber = base.ModemID = 7;
    const std::vector<uint8_t> filler(AppBufTxSize - 1000, 0xEE);
    ASSERT_EQ(AppBuf_Push(base.AppBuf.get(), filler.data(), uint32_t(filler.size())), filler.size());
    TReceiver* g = Add(TReceiver::bkObject, 7, {5});
    for (int i = 0; i < 3000; ++i)
        g->Buffer[size_t(i)] = uint8_t(i % 251);
    g->BufferCount = 3000;

    FlushReceiverBuffers();
    ASSERT_EQ(g->BufferCount, 2000);
    for (int i = 0; i < 2000; ++i)
        ASSERT_EQ(g->Buffer[size_t(i)], uint8_t((i + 1000) % 251)) << i;
    std::vector<uint8_t> queued(1000);
    ASSERT_EQ(AppBuf_TxPeek(base.AppBuf.get(), uint32_t(filler.size()), queued.data(), 1000), 1000u);
    for (int i = 0; i < 1000; ++i)
        ASSERT_EQ(queued[size_t(i)], uint8_t(i % 251)) << i;
}

// The tick takes the data of the marked objects in the object list's order, whatever order they were
// marked in; an object nobody marked is not visited; one whose data could not all be taken is visited
// again on the next tick, and no more once nothing is left.
TEST_F(GroupLookUp, TheTickVisitsTheMarkedObjectsInListOrderUntilNothingIsLeft) {
    TConnectionForm form;
    TakeBuffersDue();
    for (int n = 1; n <= 4; ++n) {
        auto& o = *ObjectList.emplace_back(std::make_unique<TObjectStates>());
        o.ObjectNumber = o.ModemID = n;
    }
    TReceiver* g = Add(TReceiver::bkObject, 99, {1, 2, 3, 4}); // a base no object has: the data stays
    const auto receive = [](int n, uint8_t byte, uint32_t count) {
        AppBuf* b = FindObjectByNum(n)->AppBuf.get();
        for (uint32_t i = 0; i < count; ++i)
            b->RxQueue[(b->RxHead + b->RxFill + i) % AppBufRxSize] = byte;
        b->RxFill += count;
    };
    receive(1, 'a', 2);
    receive(2, 'b', 2);
    receive(3, 'c', 2);
    receive(4, 'd', 2); // never marked
    MarkBufferDue(FindObjectByNum(3));
    MarkBufferDue(FindObjectByNum(1));
    MarkBufferDue(FindObjectByNum(2));
    MarkBufferDue(FindObjectByNum(3)); // once is enough
    form.BuffersProcessTimerTimer();
    EXPECT_EQ(std::string(g->Buffer.begin(), g->Buffer.begin() + g->BufferCount), "aabbcc");
    EXPECT_EQ(FindObjectByNum(4)->AppBuf->RxFill, 2u) << "not visited";
    EXPECT_TRUE(TakeBuffersDue().empty()) << "nothing left to do";

    // The group buffer has room for only part of object 2's data: the rest waits for the next tick.
    g->BufferCount = TReceiver::BufferSize - 3;
    receive(2, 'B', 5);
    MarkBufferDue(FindObjectByNum(2));
    form.BuffersProcessTimerTimer();
    EXPECT_EQ(FindObjectByNum(2)->AppBuf->RxFill, 2u);
    g->BufferCount = 0;
    form.BuffersProcessTimerTimer();
    EXPECT_EQ(std::string(g->Buffer.begin(), g->Buffer.begin() + g->BufferCount), "BB");
    EXPECT_EQ(FindObjectByNum(2)->AppBuf->RxFill, 0u);
    form.BuffersProcessTimerTimer();
    EXPECT_TRUE(TakeBuffersDue().empty());

    // An object destroyed while marked leaves the marked ones.
    MarkBufferDue(FindObjectByNum(1));
    MarkBufferDue(FindObjectByNum(3));
    ObjectList.erase(ObjectList.begin());
    const std::vector<TObjectStates*> due = TakeBuffersDue();
    ASSERT_EQ(due.size(), 1u);
    EXPECT_EQ(due[0], FindObjectByNum(3));
}

// How much of a member's data the routing takes: what the group buffer has room for, unless the base
// cannot take it yet (a base modem not connected, no base at all); a base that names no object lets it
// be taken, as data of a modem in no group is.
TEST_F(GroupLookUp, AMembersDataIsTakenAsFarAsItsBaseCanTakeIt) {
    auto& base = *ObjectList.emplace_back(std::make_unique<TObjectStates>());
    base.ObjectNumber = base.ModemID = 7;
    TReceiver* g = Add(TReceiver::bkObject, 7, {5});
    g->BufferCount = 1000;
    const int space = TReceiver::BufferSize - 1000;
    const struct {
        int BaseID;
        bool Connected;
        int Taken;
    } cases[] = {{7, true, space}, {7, false, 0}, {8, false, space}, {-1, false, 0}};
    for (const auto& c : cases) {
        g->BaseID = c.BaseID;
        base.Connected = c.Connected;
        EXPECT_EQ(ReceiverFreeSpace(5), c.Taken) << "base " << c.BaseID << (c.Connected ? ", connected" : "");
    }
}

} // namespace
