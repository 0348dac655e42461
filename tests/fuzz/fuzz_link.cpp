// Receive path of the link layer. The first byte picks the mode and the chunk sizes; in mode 0 the rest
// is raw bytes from the socket, in mode 1 it is a series of plaintext blocks ([length][bytes]) that the
// harness wraps into I and AI frames under the session key, so that decrypted answers reach the parser.
#include "protocol/tmgsm.h"

#include <cstring>
#include <memory>

namespace {

constexpr uint16_t Modem = 0x0102;

void NoTrace(const char*, size_t) {}
void FixedClock(TmClock* now) {
    *now = TmClock{{2026, 1, 2, 3, 4, 5}, 6};
}
uint32_t FixedSeed() {
    return 0x12345678;
}
uint32_t seconds = 0;
uint32_t FakeSeconds() {
    return seconds;
}

void Header(uint8_t* out, uint16_t ctl) {
    out[0] = 0x55;
    out[1] = 0xAA;
    out[2] = Modem >> 8;
    out[3] = Modem & 0xFF;
    out[4] = static_cast<uint8_t>(ctl >> 8);
    out[5] = static_cast<uint8_t>(ctl);
    out[6] = Crc8(out + 2, 4);
}

struct World {
    AuthKeys keys{};
    std::unique_ptr<IpLink> link = std::make_unique<IpLink>();
    std::unique_ptr<AppBuf> buf = std::make_unique<AppBuf>();
    AuthCtx modem{};
    uint8_t out[LNK_OUT_SIZE];
    uint16_t outLen = 0;

    World() {
        Trace_SetSink(NoTrace);
        Tm_SetClockSource(FixedClock);
        Auth_SetSeedSource(FixedSeed);
        TMGSM_SetLinkClock(FakeSeconds);
        TMGSM_AuthKeysInit(&keys);
    }

    // A kind-2 AUTH with the factory key, accepted and answered; the modem side learns the session key.
    void Start() {
        TMGSM_InitIp(link.get(), &keys, nullptr, 20, nullptr, 0);
        AppBuf_Init(buf.get());
        uint8_t r[16];
        for (int i = 0; i < 16; ++i)
            r[i] = static_cast<uint8_t>(i * 7);
        AesCtx aes;
        Aes_SetKey(&aes, Auth_FactoryKey, 128);
        uint8_t frame[LNK_AUTH_FRAME_SIZE] = {};
        Header(frame, LNK_AUTH | 32 << 9);
        uint8_t* p = frame + LNK_HEADER_SIZE;
        Aes_Encrypt(&aes, r, p);
        uint32_t crc = Crc32_Msb(r, 16);
        for (int i = 0; i < 4; ++i)
            p[16 + i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
        const uint8_t version[4] = {0xFF, 0xFE, 0x15, 0x00};
        memcpy(p + 20, version, 4);
        uint16_t crc16 = Crc16(p, AUTH_PAYLOAD_SIZE);
        p[32] = static_cast<uint8_t>(crc16 >> 8);
        p[33] = static_cast<uint8_t>(crc16);
        size_t taken = 0;
        TMGSM_AcceptIpMsg(link.get(), frame, sizeof frame, &taken);
        AppBuf_Link(buf.get(), link.get());
        uint32_t mask = REQ_AUTH;
        TMGSM_CreateIpMsg(link.get(), out, &outLen, &mask);
        modem = AuthCtx{};
        Auth_SetSessKey(&modem, link->Auth.SessKey);
    }

    void Pump(uint32_t ev) {
        ev |= TMGSM_QryIp(link.get());
        if (ev & LEV_RR_DUE)
            TMGSM_CreateRRMsg(link.get(), out, &outLen);
        if (ev & LEV_SFRAMES)
            TMGSM_GetIpSMsg(link.get(), out, &outLen);
        uint32_t mask = 0x80 | 0x10;
        TMGSM_CreateIpMsg(link.get(), out, &outLen, &mask);
        ++seconds;
    }

    void Feed(const uint8_t* data, size_t n, uint8_t chunkSeed) {
        size_t at = 0;
        while (at < n) {
            size_t chunk = 1 + (chunkSeed * 131u + at) % 1500;
            if (chunk > n - at)
                chunk = n - at;
            size_t taken = 0;
            uint32_t ev = TMGSM_AcceptIpMsg(link.get(), data + at, chunk, &taken);
            at += taken;
            Pump(ev);
        }
        for (int i = 0; i < 8; ++i)
            Pump(0);
    }

    // Wraps each [length][bytes] piece into an I or AI frame, the length's top bit choosing AI.
    void FeedBlocks(const uint8_t* data, size_t n, uint8_t chunkSeed) {
        uint8_t ns = 0;
        size_t at = 0;
        while (at + 2 <= n) {
            uint16_t head = static_cast<uint16_t>(data[at] << 8 | data[at + 1]);
            at += 2;
            uint16_t len = head & 0x3FF;
            if (len > LNK_MAX_CIPHER)
                len = LNK_MAX_CIPHER;
            if (len > n - at)
                len = static_cast<uint16_t>(n - at);
            uint8_t frame[LNK_MAX_FRAME];
            memcpy(frame + LNK_HEADER_SIZE, data + at, len);
            at += len;
            uint16_t padded = Auth_EncryptBlkCrc(&modem, frame + LNK_HEADER_SIZE, len);
            if (padded == 0)
                continue;
            bool ai = head & 0x8000;
            uint16_t ctl = static_cast<uint16_t>((ai ? LNK_AI : LNK_I) | (ns & 7) << 3 | link->VS << 6 |
                                                 (padded / 16 - 1) << 9);
            if (!ai)
                ++ns;
            Header(frame, ctl);
            Feed(frame, LNK_HEADER_SIZE + padded + 4u, chunkSeed);
        }
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static World world;
    if (size == 0)
        return 0;
    world.Start();
    uint8_t mode = data[0];
    if (mode & 0x80)
        world.FeedBlocks(data + 1, size - 1, mode);
    else
        world.Feed(data + 1, size - 1, mode);
    return 0;
}
