// The command queue against simulated modems: result codes, what reaches the modem, what its answers
// do to the object and the profile editor, stop-and-wait, the acknowledgement time-out and polling.
#include "tests/sessions/SessionFixture.h"

#include <cstring>

#include <QRegularExpression>

#include "core/ObjectRegistry.h"
#include "core/Settings.h"
#include "tests/platform/TestSupport.h"

namespace {

using modemsim::LinkState;

Bytes Pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = uint8_t(seed + i * 13);
    return b;
}

class CommandTest : public SessionTest {
protected:
    // Object 5 with its modem connected and bound.
    void SetUp() override {
        object = AddObject(5);
        modemsim::ModemConfig config = Config(5);
        config.version[0] = 3;
        config.version[1] = 4;
        config.inputs = 0b1010;
        i = ConnectModem(config);
        ASSERT_TRUE(RunUntil([&] { return object->Connected != 0; }));
        c = SessionOf(5);
        ASSERT_NE(c, nullptr);
    }
    modemsim::ModemSim& Modem() { return pool->Modem(i); }
    // The sessions' log lines from line n on (the main window's idle log line may come between).
    QStringList SessionLinesFrom(int n) const {
        return LogLines().mid(n).filter(QRegularExpression("^SM: "));
    }
    // Our GetHwInfo frame has reached the modem, which stays silent: the link waits for its acknowledgement.
    void LeaveOurFrameUnacknowledged() {
        Modem().SetSilent(true, modemsim::MonotonicMs());
        const uint32_t framesIn = Modem().Stats().framesIn;
        form->QueryHwInfo(5);
        ASSERT_TRUE(RunUntil([&] {
            return (TMGSM_IpState(c->Link.get()) & LEV_WAIT_ACK) && Modem().Stats().framesIn > framesIn;
        }));
    }
    uint32_t Commands(uint8_t code) { return Modem().Stats().commands[code]; }

    TObjectStates* object = nullptr;
    size_t i = 0;
    TServerConnection* c = nullptr;
};

TEST_F(SessionTest, OperationsOnAnObjectWithoutConnectionReturn3AndLogNothing) {
    TObjectStates* object = AddObject(8);
    ObjProfile profile{};
    const int before = LogLines().size();
    EXPECT_EQ(form->QueryHwInfo(8), 3);
    EXPECT_EQ(form->QueryProfile(8), 3);
    EXPECT_EQ(form->SetProfile(8, &profile, 3), 3);
    EXPECT_EQ(form->SetKey(8, "NewKey0123456789"), 3);
    EXPECT_EQ(form->PollConnection(nullptr), 3);
    EXPECT_EQ(form->SendData(object), 1); // nothing to send is told first
    const uint8_t byte = 1;
    AppBuf_Push(object->AppBuf.get(), &byte, 1);
    EXPECT_EQ(form->SendData(object), 3);
    EXPECT_EQ(form->SetCall(8, QStringLiteral("+70000000000")), 0);
    EXPECT_EQ(LogLines().size(), before);
}

TEST_F(CommandTest, HardwareInformationIsQueuedAnsweredAndReachesTheObject) {
    EXPECT_EQ(object->HwVersion, (std::array<uint8_t, 4>{3, 4, 0, 0}));
    object->RequestFlags = TObjectStates::HwInfoRequested;
    EXPECT_EQ(form->QueryHwInfo(5), 2);
    EXPECT_TRUE(Logged("SM: sending GetHwInfo (object №5)"));
    EXPECT_EQ(c->PendingCommands, uint32_t(REQ_GET_HW_INFO));
    ASSERT_TRUE(RunUntil([&] { return object->LastDataTime != 0.0; }));
    EXPECT_EQ(Commands(CMD_GET_HW_INFO), 1u);
    EXPECT_EQ(object->InputStates, (std::array<int32_t, 4>{0, 1, 0, 1}));
    EXPECT_EQ(object->RequestFlags & TObjectStates::HwInfoRequested, 0u);
    EXPECT_EQ(c->PendingCommands, 0u);
    EXPECT_TRUE(Logged("SM: repeating command 00000800 (object №5)"));
    EXPECT_TRUE(Logged("SM: CreateIpMsg OK - 00002000"));
}

TEST_F(CommandTest, InputReportUpdatesInputsAndLastDataTime) {
    clock->Advance(60'000);
    Modem().SetInputs(0b0011, true, modemsim::MonotonicMs());
    ASSERT_TRUE(RunUntil([&] { return object->InputStates[0] != 0; }, 0));
    EXPECT_EQ(object->InputStates, (std::array<int32_t, 4>{1, 1, 0, 0}));
    EXPECT_DOUBLE_EQ(object->LastDataTime, Now());
}

TEST_F(CommandTest, ProfileAskedForTwiceGoesInOneFrameAndReachesTheEditor) {
    profile->Tag = 5;
    profile->show();
    EXPECT_EQ(form->QueryProfile(5), 2);
    EXPECT_EQ(form->QueryProfile(5), 2);
    EXPECT_EQ(c->PendingCommands, uint32_t(REQ_GET_PROFILE1 | REQ_GET_PROFILE2 | REQ_GET_HW_INFO));
    ASSERT_TRUE(RunUntil([&] { return profile->Calls.contains("DecodeProfile2(false)"); }))
        << profile->Calls.join(",").toStdString() << " answered " << std::hex << c->Link->Results.Answered
        << " pending " << c->PendingCommands;
    EXPECT_EQ(Commands(CMD_GET_PROFILE1), 1u);
    EXPECT_EQ(Commands(CMD_GET_PROFILE2), 1u);
    EXPECT_EQ(Commands(CMD_GET_HW_INFO), 1u);
    EXPECT_EQ(Modem().Stats().infoIn, 1u);
    EXPECT_EQ(profile->Calls,
              (QStringList{"DecodeHwInfo", "OperationDone", "UpdateButtons", "DecodeProfile1(false)",
                           "DecodeProfile2(false)", "OperationDone", "UpdateButtons"}));
}

TEST_F(CommandTest, OneProfilePartReadWaitsForTheOther) {
    profile->Tag = 5;
    profile->show();
    c->PendingCommands = REQ_GET_PROFILE1;
    ASSERT_TRUE(RunUntil([&] { return Commands(CMD_GET_PROFILE1) == 1 && Modem().Idle(); }));
    Advance(1000);
    EXPECT_TRUE(profile->Calls.isEmpty()) << profile->Calls.join(",").toStdString();
    EXPECT_EQ(c->Link->Results.Answered & REQ_GET_PROFILE1, uint32_t(REQ_GET_PROFILE1)); // kept

    c->PendingCommands = REQ_GET_PROFILE2;
    ASSERT_TRUE(RunUntil([&] { return profile->Calls.contains("OperationDone"); }));
    EXPECT_EQ(profile->Calls, (QStringList{"DecodeProfile1(false)", "DecodeProfile2(false)", "OperationDone",
                                           "UpdateButtons"}));
    EXPECT_EQ(c->Link->Results.Answered & (REQ_GET_PROFILE1 | REQ_GET_PROFILE2), 0u);
}

TEST_F(CommandTest, AnswersForAnotherObjectDoNotReachTheEditor) {
    profile->Tag = 6;
    profile->show();
    form->QueryProfile(5);
    ASSERT_TRUE(RunUntil([&] { return Commands(CMD_GET_PROFILE2) == 1 && object->LastDataTime != 0.0; }));
    Advance(1000);
    EXPECT_TRUE(profile->Calls.isEmpty()) << profile->Calls.join(",").toStdString();
}

struct WriteCase {
    uint32_t loaded; // parts the editor has loaded
    uint32_t parts;  // parts written
    bool done;
};

class ProfileWriteTest : public CommandTest, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(ProfileWriteTest, WriteIsDoneWhenEveryLoadedPartIsAcknowledged) {
    const WriteCase& w = GetParam();
    profile->Tag = 5;
    profile->LoadedParts = w.loaded;
    profile->show();
    ObjProfile written{};
    std::strcpy(written.Apn, "internet");
    EXPECT_EQ(form->SetProfile(5, &written, w.parts), 2);
    EXPECT_TRUE(Logged("SM: sending SetProfile (object №5)"));
    EXPECT_EQ(c->ProfileData, &written);
    ASSERT_TRUE(RunUntil([&] { return c->PendingCommands == 0 && Modem().Idle(); }));
    Advance(1000);
    EXPECT_EQ(Commands(CMD_SET_PROFILE1), (w.parts & 1) ? 1u : 0u);
    EXPECT_EQ(Commands(CMD_SET_PROFILE2), (w.parts & 2) ? 1u : 0u);
    EXPECT_EQ(profile->Calls.contains("OperationDone"), w.done) << profile->Calls.join(",").toStdString();
    EXPECT_EQ(c->Link->Results.Answered & (REQ_SET_PROFILE1 | REQ_SET_PROFILE2), 0u);
}

INSTANTIATE_TEST_SUITE_P(Parts, ProfileWriteTest,
                         ::testing::Values(WriteCase{3, 3, true}, WriteCase{1, 1, true},
                                           WriteCase{3, 1, false}, WriteCase{2, 1, false},
                                           WriteCase{0, 1, true}));

TEST_F(CommandTest, DataToTheModemIsSentOneBlockAtATime) {
    ::AppBuf* buffer = object->AppBuf.get();
    EXPECT_EQ(form->SendData(object), 1); // empty queue
    const Bytes data = Pattern(300, 7);
    AppBuf_Push(buffer, data.data(), uint32_t(data.size()));
    EXPECT_EQ(form->SendData(object), 2);
    EXPECT_TRUE(Logged("SM: sending TxData (object №5)"));
    ASSERT_TRUE(RunUntil([&] { return buffer->TxInFlight != 0; }, 50));
    EXPECT_EQ(form->SendData(object), 1); // the block is not acknowledged yet
    ASSERT_TRUE(RunUntil([&] { return Modem().ReceivedData() == data && buffer->TxInFlight == 0; }));
    EXPECT_EQ(form->SendData(object), 1);
}

TEST_F(CommandTest, DataFromTheModemIsTakenReportedAndAcknowledged) {
    // A member of a group without a base: the routing leaves its data in its buffer.
    auto group = std::make_unique<TReceiver>();
    group->Members = {5};
    AppSettings->Receivers.push_back(std::move(group));
    const Bytes data = Pattern(500, 3);
    Modem().QueueData(data.data(), data.size(), modemsim::MonotonicMs());
    ASSERT_TRUE(RunUntil([&] { return Modem().PendingData() == 0; }));
    Bytes taken(data.size() + 10);
    taken.resize(AppBuf_Pop(object->AppBuf.get(), taken.data(), uint32_t(taken.size())));
    EXPECT_EQ(taken, data);
    EXPECT_NE(object->LastDataTime, 0.0);
    EXPECT_EQ(Modem().Stats().dataResends, 0u);
}

TEST_F(CommandTest, KeyChangeWaitsForAFreeLinkAndIsAcknowledgedToTheEditor) {
    profile->Tag = 9; // the key acknowledgement reaches the editor whatever it shows
    profile->show();
    Modem().SetSilent(true, modemsim::MonotonicMs());
    form->QueryHwInfo(5);
    ASSERT_TRUE(RunUntil([&] { return (TMGSM_IpState(c->Link.get()) & LEV_WAIT_ACK) != 0; }));
    EXPECT_EQ(form->SetKey(5, "NewKey0123456789"), 2);
    EXPECT_EQ(Commands(CMD_SET_KEY), 0u);
    Modem().SetSilent(false, modemsim::MonotonicMs());
    ASSERT_TRUE(RunUntil([&] { return (TMGSM_IpState(c->Link.get()) & LEV_WAIT_ACK) == 0; }));
    EXPECT_EQ(form->SetKey(5, "NewKey0123456789"), 0);
    EXPECT_EQ(c->PendingCommands, 0u); // the key never enters the queue
    ASSERT_TRUE(RunUntil([&] { return profile->InfoTimer.Enabled(); }));
    EXPECT_EQ(Commands(CMD_SET_KEY), 1u);
    EXPECT_EQ(std::memcmp(Modem().Key(), "8888888888888888", 16), 0); // the new key counts from the next AUTH
    EXPECT_EQ(profile->Calls, (QStringList{"OperationDone", "UpdateButtons"}));

    form->CloseChangedKeyConnection(5);
    EXPECT_TRUE(Logged("SM: closing connection with changed key (object №5)"));
    ASSERT_TRUE(RunUntil([&] { return !pool->IsOpen(i); }));
    EXPECT_FALSE(object->Connected);
}

TEST_F(CommandTest, FirmwareBlocksWaitForAFrameOfTheirOwn) {
    c->PendingCommands = REQ_SET_UPD_BLK | REQ_TX_DATA_ACK;
    EXPECT_EQ(form->RepeatCommand(c), 0);
    EXPECT_EQ(c->PendingCommands, uint32_t(REQ_SET_UPD_BLK));
    // Without an image nothing is built; the request is dropped instead of being tried forever.
    EXPECT_EQ(form->RepeatCommand(c), 1);
    EXPECT_EQ(c->PendingCommands, 0u);
    EXPECT_TRUE(Logged("SM: update cancelled, the image is invalid (object №5)"));
}

TEST_F(CommandTest, PollIsQueuedOnlyIntoAnEmptyMask) {
    EXPECT_EQ(form->PollConnection(c), 0);
    EXPECT_EQ(c->PendingCommands, uint32_t(REQ_NULL));
    EXPECT_TRUE(Logged("SM: polling (object №5)"));
    c->PendingCommands = REQ_GET_HW_INFO;
    EXPECT_EQ(form->PollConnection(c), 1);
    EXPECT_EQ(c->PendingCommands, uint32_t(REQ_GET_HW_INFO));
}

// The modem's data in a frame that does not acknowledge ours is dropped unreported; the RR tells the
// modem to send it again.
TEST_F(SessionTest, DataArrivingWhileOurFrameWaitsForItsAcknowledgementIsDropped) {
    TObjectStates* object = AddObject(5);
    // A member of a group without a base: the routing leaves its data in its buffer.
    auto group = std::make_unique<TReceiver>();
    group->Members = {5};
    AppSettings->Receivers.push_back(std::move(group));
    TManualModem modem(port, Config(5));
    manual.push_back(&modem);
    modem.Connect();
    ASSERT_TRUE(RunUntil([&] { return object->Connected && modem.Modem.State() == LinkState::Ready; }));
    manual.clear(); // the modem reads and writes only when the test says so
    TServerConnection* c = SessionOf(5);
    ASSERT_NE(c, nullptr);

    const Bytes data = Pattern(40, 9);
    modem.Modem.QueueData(data.data(), data.size(), modemsim::MonotonicMs());
    const Bytes dataFrame = modem.TakeOutput(); // sent before the modem sees our next frame
    ASSERT_FALSE(dataFrame.empty());
    form->QueryHwInfo(5);
    ASSERT_TRUE(RunUntil([&] { return (TMGSM_IpState(c->Link.get()) & LEV_WAIT_ACK) != 0; }));

    modem.Write(dataFrame);
    ASSERT_TRUE(RunUntil([&] { return Logged("SM: AcceptIpMsg and QryIP OK - 00000620"); }, 0));
    EXPECT_EQ(object->AppBuf->RxFill, 0u);
    EXPECT_EQ(object->AppBuf->RxPendingLen, 0u);
    EXPECT_EQ(object->LastDataTime, 0.0); // nothing reported
    EXPECT_EQ(c->PendingCommands & REQ_TX_DATA_ACK, 0u);
    EXPECT_TRUE(Logged("SM: CreateRRMsg OK - 00004000"));

    manual.push_back(&modem);
    ASSERT_TRUE(RunUntil([&] { return modem.Modem.PendingData() == 0; }));
    Bytes taken(data.size() + 10);
    taken.resize(AppBuf_Pop(object->AppBuf.get(), taken.data(), uint32_t(taken.size())));
    EXPECT_EQ(taken, data);
    EXPECT_GE(modem.Modem.Stats().dataResends, 1u);
}

// The link may report an acknowledgement due while our own frame still waits for the modem's; the
// pending requests and the RR then wait too, and nothing is logged.
TEST_F(CommandTest, AcknowledgementDueWhileOurFrameWaitsSendsNothing) {
    LeaveOurFrameUnacknowledged();
    for (const uint32_t pending : {0u, uint32_t(REQ_GET_PROFILE1 | REQ_GET_PROFILE2)}) {
        c->PendingCommands = pending;
        c->Link->Flags |= LNK_RR_DUE;
        ASSERT_EQ(TMGSM_IpState(c->Link.get()) & (LEV_WAIT_ACK | LEV_RR_DUE),
                  uint32_t(LEV_WAIT_ACK | LEV_RR_DUE));
        const int lines = LogLines().size();
        const uint32_t framesIn = Modem().Stats().framesIn;
        Advance(1000);
        EXPECT_EQ(SessionLinesFrom(lines), QStringList{}) << pending;
        EXPECT_EQ(Modem().Stats().framesIn, framesIn) << pending;
        EXPECT_EQ(c->PendingCommands, pending);
        EXPECT_TRUE(c->Link->Flags & LNK_RR_DUE) << pending;
    }
    c->PendingCommands = 0;
}

TEST_F(CommandTest, WaitingForTheAcknowledgementAloneIsNotLogged) {
    LeaveOurFrameUnacknowledged();
    const int lines = LogLines().size();
    Advance(5000); // ten link timer ticks that see only 0x200
    EXPECT_EQ(SessionLinesFrom(lines), QStringList{});
    EXPECT_TRUE(c->Connected());

    form->ProcessTirmalEvents(c, LEV_RNR_RCVD); // any other state is still told
    EXPECT_EQ(SessionLinesFrom(lines), QStringList{"SM: unprocessed states - 00000100"});
}

TEST_F(CommandTest, FrameUnacknowledgedFor20SecondsClosesTheConnection) {
    profile->Tag = 5;
    profile->show();
    Modem().SetSilent(true, modemsim::MonotonicMs());
    form->QueryHwInfo(5);
    Advance(500);
    ASSERT_TRUE(TMGSM_IpState(c->Link.get()) & LEV_WAIT_ACK);
    Advance(18'500);
    EXPECT_TRUE(c->Connected());
    EXPECT_TRUE(object->Connected);
    Advance(2'000);
    EXPECT_FALSE(object->Connected);
    EXPECT_TRUE(Logged("CH: the object disconnected (№5)"));
    ASSERT_TRUE(RunUntil([&] { return !pool->IsOpen(i) && profile->Calls.contains("ConnectionLost"); }, 0));
}

TEST_F(CommandTest, SilenceOfMoreThan180SecondsMakesTheRouterPoll) {
    Advance(179'000, 1000);
    EXPECT_EQ(CountLogged("SM: polling"), 0);
    Advance(3'000, 500);
    ASSERT_TRUE(RunUntil([&] { return Commands(CMD_NULL) == 1; }, 0));
    EXPECT_EQ(CountLogged("SM: polling (object №5)"), 1);
    EXPECT_TRUE(c->Connected());
    // The answer is new activity: the next poll is 180 s away.
    Advance(100'000, 1000);
    EXPECT_EQ(CountLogged("SM: polling"), 1);
}

TEST_F(CommandTest, SilenceWithRequestsPendingQueuesNoPollButCountsAgain) {
    c->PendingCommands = REQ_SET_PROFILE1; // no profile given: nothing can be built, the bit stays
    Advance(182'000, 1000);
    EXPECT_EQ(CountLogged("SM: polling"), 0);
    EXPECT_EQ(Commands(CMD_NULL), 0u);
    EXPECT_GT(c->LastActivity, clock->Ms() - 5'000);
    c->PendingCommands = 0;
}

} // namespace
