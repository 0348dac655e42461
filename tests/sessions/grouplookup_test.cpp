// The look-ups of the groups: the first group in array order answers, as a walk would find it, and
// every change of the array shows in the answers; and a group buffer that its base modem takes in part.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "core/ObjectRegistry.h"
#include "core/Settings.h"
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
    for (int i = 0; i < 1000; ++i)
        ASSERT_EQ(base.AppBuf->TxQueue[filler.size() + size_t(i)], uint8_t(i % 251)) << i;
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
