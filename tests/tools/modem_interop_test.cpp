// The simulator against the router's own authentication and block code: the AUTH it sends is accepted,
// the router's reply makes it ready with the same session key, and command blocks open both ways.
#include "tests/tools/RouterPeer.h"
#include "tools/modem-sim/ModemSim.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace modemsim;

namespace {

Bytes Drain(ModemSim& m) {
    Bytes b(m.OutputData(), m.OutputData() + m.OutputSize());
    m.ConsumeOutput(b.size());
    return b;
}

struct RouterAuth {
    RouterAuth() {
        TMGSM_AuthKeysInit(&keys);
        memset(&ctx, 0, sizeof ctx);
        Auth_Init(&ctx, &keys);
    }

    // Runs the router's key trial on the modem's AUTH frame; 1 accepted.
    int Accept(const Bytes& frame, uint16_t id) {
        EXPECT_EQ(frame.size(), 41u);
        Bytes payload(frame.begin() + 7, frame.begin() + 39);
        return Auth_Accept(&ctx, payload.data(), id, version, &versionNo, &kind);
    }

    // The router's kind-2 reply frame.
    Bytes Reply(uint16_t id) {
        uint8_t payload[32];
        Auth_CreateResp(&ctx, payload);
        const uint8_t tail[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0x10, 0, 0, 0};
        memcpy(payload + 24, tail, 8);
        uint8_t frame[41];
        Frame_WriteAuth(frame, id, payload);
        return Bytes(frame, frame + 41);
    }

    AuthKeys keys;
    AuthCtx ctx;
    uint8_t version[4] = {};
    uint32_t versionNo = 0;
    uint8_t kind = 9;
};

} // namespace

TEST(ModemInterop, RouterAcceptsTheAuthAndTheModemTakesItsReply) {
    ModemConfig cfg;
    cfg.id = 0x0A0B;
    ModemSim modem(cfg);
    RouterAuth router;
    modem.Connect(0);
    ASSERT_EQ(router.Accept(Drain(modem), cfg.id), 1);
    EXPECT_EQ(router.kind, 2);
    EXPECT_EQ(router.versionNo, 105u);
    EXPECT_TRUE(Auth_UsedFactoryKey(&router.ctx));

    const Bytes reply = router.Reply(cfg.id);
    modem.Feed(reply.data(), reply.size(), 0);
    ASSERT_EQ(modem.State(), LinkState::Ready);
    EXPECT_EQ(Bytes(modem.SessionKey(), modem.SessionKey() + 16),
              Bytes(router.ctx.SessKey, router.ctx.SessKey + 16));

    // A command block of the router opens in the modem, the modem's answer in the router.
    uint8_t block[16 + 4] = {11};
    const uint16_t padded = Auth_EncryptBlkCrc(&router.ctx, block, 1);
    uint8_t frame[7 + 20];
    Header_Write(frame, cfg.id, Control{FrameI, 0, 0, uint8_t(padded / 16 - 1)});
    memcpy(frame + 7, block, 20);
    modem.Feed(frame, sizeof frame, 0);
    Bytes answer = Drain(modem);
    ASSERT_GT(answer.size(), 11u);
    const Control ctl = Control_Unpack(Get_U16BE(&answer[4]));
    EXPECT_EQ(ctl.type, FrameI);
    EXPECT_EQ(ctl.nr, 1);
    ASSERT_EQ(answer.size(), 7 + 16 * (ctl.length + 1) + 4u);
    ASSERT_EQ(Auth_DecryptBlk(&router.ctx, answer.data() + 7, uint16_t(answer.size() - 7)), 1);
    EXPECT_EQ(answer[7], 0x8B);
}

TEST(ModemInterop, ListedAndPendingKeysOpenTheModemsAuth) {
    uint8_t own[16];
    memcpy(own, "own key of modem", 16);
    ModemConfig cfg;
    cfg.id = 77;
    memcpy(cfg.key, own, 16);
    {
        ModemSim modem(cfg);
        RouterAuth router;
        router.keys.Count = 1;
        router.keys.Ids[0] = 77;
        router.keys.Keys[0] = own;
        modem.Connect(0);
        EXPECT_EQ(router.Accept(Drain(modem), 77), 1);
        EXPECT_FALSE(Auth_UsedFactoryKey(&router.ctx));
    }
    {
        // A SetKey answered by the modem: its next AUTH opens with the pending key.
        ModemSim modem(cfg);
        RouterPeer peer(own);
        modem.Connect(0);
        std::vector<PeerFrame> frames;
        std::string why;
        ASSERT_TRUE(peer.Split(Drain(modem), &frames, &why));
        ASSERT_TRUE(peer.TakeAuth(frames[0]));
        const uint8_t nonce[16] = {1};
        const Bytes reply = peer.Reply(nonce);
        modem.Feed(reply.data(), reply.size(), 0);
        uint8_t fresh[16];
        memcpy(fresh, "a brand new key!", 16);
        Bytes items(17, 8); // the SetKey code, then the key
        memcpy(items.data() + 1, fresh, 16);
        const Bytes cmd = peer.Command(items);
        modem.Feed(cmd.data(), cmd.size(), 0);

        RouterAuth router;
        router.keys.SystemKey[0] ^= 1; // neither factory nor system key will do
        Auth_SetPendingKey(&router.ctx, fresh);
        modem.Connect(0);
        EXPECT_EQ(router.Accept(Drain(modem), 77), 1);
        EXPECT_TRUE(Auth_UsedPendingKey(&router.ctx));
    }
}
