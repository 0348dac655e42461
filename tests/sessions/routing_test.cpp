// Group routing end to end: simulated modems over loopback, virtual COM ports over ptys, and programs
// on the PC's side of them (python3-serial, a pymodbus master).
#include "sessions/VirtualPorts.h"
#include "tests/sessions/SessionFixture.h"

#include <algorithm>
#include <numeric>

#include "core/ObjectRegistry.h"
#include "core/Settings.h"
#include "platform/VirtualPort.h"
#include "sessions/GroupRouting.h"
#include "tests/sessions/PeerProcess.h"

namespace {

Bytes Pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = uint8_t(seed + i * 7 + i / 251);
    return b;
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes AllByteValues() {
    Bytes b(256);
    std::iota(b.begin(), b.end(), 0);
    return b;
}

class RoutingTest : public SessionTest {
protected:
    // The modem of object id, connected and bound.
    modemsim::ModemSim& Online(int id) {
        TObjectStates* object = FindObjectByNum(id);
        if (!object)
            object = AddObject(id);
        const size_t i = ConnectModem(Config(uint16_t(id)));
        EXPECT_TRUE(RunUntil([&] { return object->Connected != 0; }));
        return pool->Modem(i);
    }
    static std::string Link(int n) { return ComLink(n).toStdString(); }
    // Waits, routing meanwhile, for the program's next line.
    std::string Reply(TPeerProcess& peer) {
        std::optional<std::string> line;
        RunLong([&] { return (line = peer.TryLine()).has_value(); });
        return line.value_or("(no reply)");
    }
    std::string Ask(TPeerProcess& peer, const std::string& command) {
        peer.WriteLine(command);
        return Reply(peer);
    }
    // RunUntil for as long as a slow transfer needs.
    bool RunLong(const std::function<bool()>& done, int limitMs = 60000) {
        return RunUntil(done, 100, limitMs);
    }
    static bool Received(modemsim::ModemSim& m, size_t n) { return m.ReceivedData().size() >= n; }
};

TEST_F(RoutingTest, APortGroupCarriesEveryByteValueBetweenAProgramAndTwoModems) {
    modemsim::ModemSim& m1 = Online(1);
    modemsim::ModemSim& m2 = Online(2);
    AddLiveGroup("port", TReceiver::bkComPort, 4, {1, 2});
    TPeerProcess pc(TPeerProcess::Script("pc_port.py", {Link(5)}));
    ASSERT_EQ(Reply(pc), "OK");
    const Bytes all = AllByteValues();

    ASSERT_EQ(Ask(pc, "W " + ToHex(all)), "OK");
    ASSERT_TRUE(RunUntil([&] { return Received(m1, 256) && Received(m2, 256); }));
    EXPECT_EQ(m1.ReceivedData(), all);
    EXPECT_EQ(m2.ReceivedData(), all);

    for (modemsim::ModemSim* m : {&m1, &m2}) {
        m->QueueData(all.data(), all.size(), modemsim::MonotonicMs());
        EXPECT_EQ(Ask(pc, "R 256 5000"), "D " + ToHex(all));
    }
    EXPECT_EQ(Ask(pc, "R 1 100"), "D ") << "nothing is echoed to the program";
    Advance(1000);
    EXPECT_EQ(m1.ReceivedData().size(), 256u) << "nor to the modems";
    EXPECT_EQ(m2.ReceivedData().size(), 256u);
}

TEST_F(RoutingTest, ABaseModemReachesEveryMemberAndEachMemberReachesTheBase) {
    modemsim::ModemSim& base = Online(1);
    modemsim::ModemSim& m2 = Online(2);
    modemsim::ModemSim& m3 = Online(3);
    AddLiveGroup("modems", TReceiver::bkObject, 1, {2, 3});
    const Bytes down = Pattern(1500, 1);
    base.QueueData(down.data(), down.size(), modemsim::MonotonicMs());
    ASSERT_TRUE(RunUntil([&] { return Received(m2, down.size()) && Received(m3, down.size()); }));
    EXPECT_EQ(m2.ReceivedData(), down);
    EXPECT_EQ(m3.ReceivedData(), down);

    const Bytes up2 = Pattern(300, 2), up3 = Pattern(200, 3);
    m2.QueueData(up2.data(), up2.size(), modemsim::MonotonicMs());
    ASSERT_TRUE(RunUntil([&] { return Received(base, up2.size()); }));
    m3.QueueData(up3.data(), up3.size(), modemsim::MonotonicMs());
    ASSERT_TRUE(RunUntil([&] { return Received(base, up2.size() + up3.size()); }));
    EXPECT_EQ(base.ReceivedData(), up2 + up3);
    EXPECT_EQ(m2.ReceivedData(), down) << "members do not hear each other";
}

TEST_F(RoutingTest, DataOfAModemInNoGroupIsTakenAndDropped) {
    modemsim::ModemSim& lone = Online(4);
    modemsim::ModemSim& base = Online(6);
    modemsim::ModemSim& member = Online(7);
    AddLiveGroup("other", TReceiver::bkObject, 6, {7});
    const Bytes data = Pattern(500, 4);
    lone.QueueData(data.data(), data.size(), modemsim::MonotonicMs());
    ASSERT_TRUE(RunUntil([&] { return lone.PendingData() == 0 && FindObjectByNum(4)->AppBuf->RxFill == 0; }));
    Advance(1000);
    EXPECT_TRUE(base.ReceivedData().empty());
    EXPECT_TRUE(member.ReceivedData().empty());
}

// The routing tick leaves the buffers of objects that never carried data untouched, so that a large
// address book costs it no memory.
TEST_F(RoutingTest, TickLeavesBuffersNeverUsedUntouched) {
    TObjectStates* idle = AddObject(3);
    modemsim::ModemSim& lone = Online(4);
    Advance(2000);
    EXPECT_FALSE(idle->AppBuf.Used());
    EXPECT_TRUE(FindObjectByNum(4)->AppBuf.Used());
    EXPECT_TRUE(lone.ReceivedData().empty());
}

TEST_F(RoutingTest, MemberDataWaitsForAnOfflineBaseAndMovesOnWhenItConnects) {
    TObjectStates* baseObject = AddObject(1);
    modemsim::ModemSim& member = Online(2);
    TReceiver& group = AddLiveGroup("waiting", TReceiver::bkObject, 1, {2});
    const Bytes data = Pattern(3000, 5);
    member.QueueData(data.data(), data.size(), modemsim::MonotonicMs());
    ASSERT_TRUE(RunUntil([&] { return member.PendingData() == 0; }));
    Advance(2000);
    EXPECT_EQ(FindObjectByNum(2)->AppBuf->RxFill, data.size()) << "left in the member's own queue";
    EXPECT_EQ(group.BufferCount, 0);
    EXPECT_EQ(baseObject->AppBuf->TxFill, 0u);

    modemsim::ModemSim& base = Online(1);
    ASSERT_TRUE(RunUntil([&] { return Received(base, data.size()); }));
    EXPECT_EQ(base.ReceivedData(), data);
}

TEST_F(RoutingTest, BaseDataWaitsForAnOfflineMemberUntilItConnects) {
    modemsim::ModemSim& base = Online(1);
    TObjectStates* later = AddObject(3);
    AddLiveGroup("later", TReceiver::bkObject, 1, {3});
    const Bytes data = Pattern(400, 6);
    base.QueueData(data.data(), data.size(), modemsim::MonotonicMs());
    ASSERT_TRUE(RunUntil([&] { return later->AppBuf->TxFill == data.size(); }));
    modemsim::ModemSim& member = Online(3);
    ASSERT_TRUE(RunUntil([&] { return Received(member, data.size()); }));
    EXPECT_EQ(member.ReceivedData(), data);
}

TEST_F(RoutingTest, MemberDataWaitsWhileNoProgramHoldsThePort) {
    modemsim::ModemSim& member = Online(2);
    TReceiver& group = AddLiveGroup("port", TReceiver::bkComPort, 5, {2});
    ASSERT_NE(VirtualPortOf(group), nullptr);
    const Bytes data = Pattern(500, 7);
    member.QueueData(data.data(), data.size(), modemsim::MonotonicMs());
    ASSERT_TRUE(RunUntil([&] { return member.PendingData() == 0; }));
    Advance(2000);
    EXPECT_EQ(FindObjectByNum(2)->AppBuf->RxFill, data.size());
    EXPECT_EQ(group.BufferCount, 0);

    TPeerProcess pc(TPeerProcess::Script("pc_port.py", {Link(6)}));
    ASSERT_EQ(Reply(pc), "OK");
    EXPECT_EQ(Ask(pc, "R 500 5000"), "D " + ToHex(data));
}

TEST_F(RoutingTest, AProgramWritingFasterThanTheModemsTakeIsHeldBackAndLosesNothing) {
    modemsim::ModemSim& m1 = Online(1);
    modemsim::ModemSim& m2 = Online(2);
    AddLiveGroup("flood", TReceiver::bkComPort, 6, {1, 2});
    TPeerProcess pc(TPeerProcess::Script("pc_port.py", {Link(7)}));
    ASSERT_EQ(Reply(pc), "OK");
    const Bytes data = Pattern(AppBufTxSize + 6000, 8); // more than a member's transmit queue holds
    pc.WriteLine("W " + ToHex(data));
    ASSERT_TRUE(RunLong([&] { return Received(m1, data.size()) && Received(m2, data.size()); }, 200000));
    EXPECT_EQ(m1.ReceivedData(), data);
    EXPECT_EQ(m2.ReceivedData(), data);
    EXPECT_EQ(Reply(pc), "OK");
    EXPECT_EQ(CountLogged("GR: AppBuf pushing error"), 0);
}

TEST_F(RoutingTest, BytesOfAPortThatIsNoGroupsBaseAreReadAndDropped) {
    modemsim::ModemSim& member = Online(1);
    TReceiver& group = AddLiveGroup("gone", TReceiver::bkComPort, 7, {1});
    TVirtualPortAx* const port = VirtualPortOf(group);
    ASSERT_NE(port, nullptr);
    group.BaseID = 8; // the group's base is now another port: COM8 belongs to nobody
    TPeerProcess pc(TPeerProcess::Script("pc_port.py", {Link(8)}));
    ASSERT_EQ(Reply(pc), "OK");
    ASSERT_EQ(Ask(pc, "W 0102030405"), "OK");
    Advance(1000);
    uint8_t left[8];
    EXPECT_EQ(port->Read(left, sizeof left), 0) << "read";
    EXPECT_TRUE(member.ReceivedData().empty()) << "and dropped";
    group.BaseID = 7; // so that the group hands its port back when it goes
}

// A Modbus ASCII slave behind modem 1: answers "read holding registers" with its table.
class TModbusSlave {
public:
    TModbusSlave(modemsim::ModemSim& modem, uint8_t address, std::vector<uint16_t> registers)
        : modem_(modem), address_(address), registers_(std::move(registers)) {}
    // Answers a whole request that has arrived; true when it did.
    bool Serve() {
        const Bytes& in = modem_.ReceivedData();
        const auto end = std::search(in.begin(), in.end(), crlf_.begin(), crlf_.end());
        if (in.empty() || in[0] != ':' || end == in.end())
            return false;
        const Bytes request = FromHex(std::string(in.begin() + 1, end));
        modem_.ClearReceivedData();
        ++requests;
        if (request.size() != 7 || request[0] != address_ || request[1] != 3 || Lrc(request) != 0)
            return true;
        const size_t first = size_t(request[2] << 8 | request[3]) - 0x6B,
                     count = size_t(request[4] << 8 | request[5]);
        Bytes reply{address_, 3, uint8_t(2 * count)};
        for (size_t i = first; i < first + count; ++i) {
            reply.push_back(uint8_t(registers_.at(i) >> 8));
            reply.push_back(uint8_t(registers_.at(i)));
        }
        reply.push_back(uint8_t(-Lrc(reply)));
        std::string text = ":" + ToHex(reply) + "\r\n";
        std::transform(text.begin(), text.end(), text.begin(), ::toupper);
        modem_.QueueData(reinterpret_cast<const uint8_t*>(text.data()), text.size(), modemsim::MonotonicMs());
        return true;
    }
    int requests = 0;

private:
    static uint8_t Lrc(const Bytes& bytes) { return uint8_t(std::accumulate(bytes.begin(), bytes.end(), 0)); }
    modemsim::ModemSim& modem_;
    uint8_t address_;
    std::vector<uint16_t> registers_; // from address 0x6B on
    const Bytes crlf_{'\r', '\n'};
};

TEST_F(RoutingTest, AModbusAsciiMasterOnAPortReadsRegistersOfASlaveBehindAModem) {
    TModbusSlave slave(Online(1), 17, {0x022B, 0x0000, 0x0064});
    TReceiver& group = AddLiveGroup("modbus", TReceiver::bkComPort, 8, {1});
    group.Protocol = TReceiver::prModbusAscii;
    TPeerProcess master(TPeerProcess::Script("modbus_master.py", {Link(9), "17", "107", "3"}));
    std::optional<std::string> line;
    ASSERT_TRUE(RunLong([&] {
        slave.Serve();
        if (!line)
            line = master.TryLine();
        return line && master.Ended();
    }));
    EXPECT_EQ(*line, "REGS 555 0 100");
    EXPECT_EQ(master.ExitStatus(), 0);
    EXPECT_EQ(slave.requests, 1);
}

} // namespace
