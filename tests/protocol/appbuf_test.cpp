#include "protocol/tmgsm.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

std::string captured;
void Capture(const char* text, size_t n) {
    captured.append(text, n);
}
void FixedClock(TmClock* now) {
    *now = TmClock{{2026, 3, 4, 10, 20, 30}, 400};
}

// Test names from the cases' descriptions.
struct CaseName {
    template <class Info> std::string operator()(const Info& info) const {
        std::string name = info.param.what;
        for (char& c : name)
            c = c == ' ' || c == ',' ? '_' : c;
        return name;
    }
};

Bytes Pattern(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto& v : b)
        v = static_cast<uint8_t>(rng());
    return b;
}

class AppBufTest : public ::testing::Test {
protected:
    void SetUp() override {
        captured.clear();
        Trace_SetSink(Capture);
        Tm_SetClockSource(FixedClock);
        AppBuf_Init(buf.get());
        buf->ModemId = 0x12AB;
    }
    void TearDown() override {
        Trace_SetSink(nullptr);
        Tm_SetClockSource(nullptr);
    }

    void Push(const Bytes& data) {
        ASSERT_EQ(AppBuf_Push(buf.get(), data.data(), static_cast<uint32_t>(data.size())), data.size());
    }

    // Builds one RxData item in an empty block; returns the item bytes.
    Bytes Send(int packing = 0, int huffman = 0) {
        uint8_t* pos = block;
        EXPECT_EQ(HCC_TxAppData(block, &pos, buf.get(), packing, huffman), 1);
        return Bytes(block, pos);
    }

    // The modem's RxDataAck answer, parsed and settled.
    int Ack(uint32_t size, uint8_t notReady, uint8_t* rnr) {
        const uint8_t item[3] = {notReady, static_cast<uint8_t>(size >> 8), static_cast<uint8_t>(size)};
        EXPECT_EQ(HCP_TxDataAck(item, 3, buf.get(), nullptr), item + 3);
        return AppBuf_TxAck(buf.get(), rnr);
    }

    // A TxData answer (code 6) or TxDataWoAvail (21) after its code byte.
    static Bytes TxDataItem(uint8_t flags, uint16_t id, uint16_t n, const Bytes& payload, int code = 6) {
        Bytes item{flags, static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id),
                   static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)};
        if (code == 6)
            item.insert(item.end(), {0x01, 0x02});
        item.insert(item.end(), payload.begin(), payload.end());
        return item;
    }

    void Receive(const Bytes& payload, uint16_t id) {
        Bytes item = TxDataItem(0, id, static_cast<uint16_t>(payload.size()), payload);
        ASSERT_EQ(HCP_TxData(item.data(), static_cast<uint32_t>(item.size()), buf.get(), nullptr, 6),
                  item.data() + item.size());
    }

    uint32_t TxFlags() { return AppBuf_TxState(buf.get(), nullptr); }

    // The bytes queued for sending, in order.
    Bytes Queued() {
        Bytes queued(buf->TxFill);
        EXPECT_EQ(AppBuf_TxPeek(buf.get(), 0, queued.data(), buf->TxFill), buf->TxFill);
        return queued;
    }

    std::unique_ptr<AppBuf> buf = std::make_unique<AppBuf>();
    uint8_t block[1024] = {};
};

TEST_F(AppBufTest, InitMarksNothingSentOrReceived) {
    EXPECT_EQ(buf->TxId, 65535u);
    EXPECT_EQ(buf->TxSize, 65535u);
    EXPECT_EQ(buf->RxId, 65535u);
    EXPECT_EQ(buf->RxSize, 65535u);
    AppBufState state;
    EXPECT_EQ(AppBuf_GetState(buf.get(), &state), AppBufRxEmpty);
    EXPECT_EQ(state.TxFlags, AppBufTxEmpty);
    EXPECT_EQ(state.RxFill, 0u);
    EXPECT_EQ(state.TxFree, 65536u);
}

TEST_F(AppBufTest, InitOfAZeroedBufferEqualsInit) {
    auto zeroed = std::make_unique<AppBuf>(); // value-initialised: all zero
    AppBuf_InitZeroed(zeroed.get());
    auto dirty = std::make_unique_for_overwrite<AppBuf>();
    std::memset(dirty.get(), 0xA5, sizeof(AppBuf));
    AppBuf_Init(dirty.get());
    EXPECT_EQ(std::memcmp(zeroed.get(), dirty.get(), sizeof(AppBuf)), 0);
}

// ---- sending --------------------------------------------------------------------------------------

TEST_F(AppBufTest, PushTakesWhatFitsAndKeepsTheQueuedData) {
    Bytes first = Pattern(65530, 1);
    Push(first);
    captured.clear();
    Bytes more = Pattern(10, 2);
    EXPECT_EQ(AppBuf_Push(buf.get(), more.data(), 10), 6u);
    EXPECT_EQ(captured, "DBG(10.20:30:400): AppBuf_Push[12ab] (6 of 10, sum=65536)\n");
    EXPECT_EQ(TxFlags(), AppBufTxFull);
    EXPECT_EQ(AppBuf_Push(buf.get(), more.data(), 10), 0u);
    Bytes all = first;
    all.insert(all.end(), more.begin(), more.begin() + 6);
    EXPECT_EQ(Queued(), all);
    uint32_t freeSpace = 1;
    AppBuf_TxState(buf.get(), &freeSpace);
    EXPECT_EQ(freeSpace, 0u);
}

TEST_F(AppBufTest, RxDataFillsTheBlockSpaceLeft) {
    Bytes data = Pattern(2000, 3);
    Push(data);
    Bytes item = Send();
    ASSERT_EQ(item.size(), 1008u);
    EXPECT_EQ(Bytes(item.begin(), item.begin() + 5), (Bytes{4, 0, 0, 0x03, 0xEB})); // ID 0, 1003 bytes
    EXPECT_EQ(Bytes(item.begin() + 5, item.end()), Bytes(data.begin(), data.begin() + 1003));
    EXPECT_EQ(buf->TxInFlight, 1003u);
    EXPECT_EQ(buf->TxSize, 1003u);
    EXPECT_EQ(buf->TxId, 0u);
    EXPECT_EQ(TxFlags(), AppBufTxInFlight);
    // While the block is in flight nothing more goes, and that counts as done.
    EXPECT_TRUE(Send().empty());
}

struct SpaceCase {
    uint32_t used;
    uint32_t queued;
    int result;
    size_t written;
};

class AppBufSpace : public AppBufTest, public ::testing::WithParamInterface<SpaceCase> {};

TEST_P(AppBufSpace, ItemOnlyWhenAtLeastOneDataByteFits) {
    const SpaceCase& c = GetParam();
    Push(Pattern(c.queued, 4));
    uint8_t* pos = block + c.used;
    EXPECT_EQ(HCC_TxAppData(block, &pos, buf.get(), 0, 0), c.result);
    EXPECT_EQ(static_cast<size_t>(pos - block - c.used), c.written);
    EXPECT_EQ(buf->TxInFlight, c.written ? c.written - 5 : 0);
}

INSTANTIATE_TEST_SUITE_P(Blocks, AppBufSpace,
                         ::testing::Values(SpaceCase{0, 2000, 1, 1008}, SpaceCase{1003, 2000, 0, 0},
                                           SpaceCase{1002, 2000, 1, 6}, SpaceCase{1008, 10, 0, 0},
                                           SpaceCase{500, 10, 1, 15}, SpaceCase{0, 0, 1, 0}));

TEST_F(AppBufTest, PackedDataGoesAsRxDataPackedWhenAllowed) {
    Bytes data(600, 'x');
    for (size_t i = 0; i < data.size(); i += 7)
        data[i] = 'y';
    Push(data);
    Bytes unpacked = Send(0, 0);
    EXPECT_EQ(unpacked[0], 4);
    ASSERT_EQ(Ack(600, 0, nullptr), 1);

    Push(data);
    Bytes item = Send(1, 1);
    ASSERT_GT(item.size(), 5u);
    EXPECT_EQ(item[0], 22);
    EXPECT_EQ(Bytes(item.begin() + 1, item.begin() + 5), (Bytes{0, 1, 0x02, 0x58})); // ID 1, 600 bytes
    EXPECT_LT(item.size(), 100u);
    Bytes stream(item.begin() + 5, item.end());
    stream.resize(600);
    EXPECT_EQ(Pack_Decode(stream.data(), static_cast<uint32_t>(item.size() - 5), 600, 600), item.size() - 5);
    EXPECT_EQ(stream, data);
    EXPECT_EQ(buf->TxInFlight, 600u);
}

TEST_F(AppBufTest, RandomDataGoesUnpackedEvenWhenPackingIsAllowed) {
    Push(Pattern(800, 5));
    EXPECT_EQ(Send(1, 1)[0], 4);
}

// ---- acknowledgement -----------------------------------------------------------------------------

TEST_F(AppBufTest, AcknowledgedBlockLeavesTheQueueAndTheIdAdvances) {
    Bytes data = Pattern(1500, 6);
    Push(data);
    Send();
    const uint8_t answer[3] = {0, 0xA3, 0xEB}; // ready, inputs 1010, 1003 bytes
    uint8_t inputs = 0xF0;
    EXPECT_EQ(HCP_TxDataAck(answer, 3, buf.get(), &inputs), answer + 3);
    EXPECT_EQ(inputs, 0xFA);
    uint8_t rnr = 9;
    EXPECT_EQ(AppBuf_TxAck(buf.get(), &rnr), 1);
    EXPECT_EQ(rnr, 0);
    EXPECT_EQ(buf->TxFill, 497u);
    EXPECT_EQ(Queued(), Bytes(data.begin() + 1003, data.end()));
    EXPECT_EQ(buf->TxId, 1u);
    EXPECT_EQ(buf->TxInFlight, 0u);
    Bytes next = Send();
    EXPECT_EQ(Bytes(next.begin(), next.begin() + 5), (Bytes{4, 0, 1, 0x01, 0xF1}));
}

// The queue is a ring: a settled block only moves its start, and data queued across the end of the ring
// goes out in order, in blocks as large as before, whatever the packing.
TEST_F(AppBufTest, BlocksAcrossTheEndOfTheRingGoOutWholeAndInOrder) {
    for (const int packing : {0, 1}) {
        AppBuf_Init(buf.get());
        Bytes sent, all;
        unsigned seed = 10;
        uint32_t blocks = 0;
        // Full queue refilled after every block, as while a program writes faster than the modem takes.
        while (sent.size() < 3 * AppBufTxSize) {
            Bytes more = Pattern(AppBufTxSize - buf->TxFill, seed++);
            if (packing)
                std::fill(more.begin(), more.begin() + long(more.size() / 2), uint8_t(0x20));
            Push(more);
            all.insert(all.end(), more.begin(), more.end());
            ASSERT_EQ(Queued(), Bytes(all.end() - long(buf->TxFill), all.end()));
            uint8_t* pos = block;
            ASSERT_EQ(HCC_TxAppData(block, &pos, buf.get(), packing, 0), 1);
            const uint32_t n = buf->TxInFlight;
            ASSERT_EQ(n, 1008u - 5) << "a block as large as the frame takes";
            Bytes payload(block + 5, pos);
            if (block[0] == CMD_RX_DATA_PACKED) {
                const uint32_t wire = uint32_t(payload.size());
                payload.resize(AppBufPendingSize);
                ASSERT_GT(Pack_Decode(payload.data(), wire, n, AppBufPendingSize), 0u);
                payload.resize(n);
            }
            ASSERT_EQ(payload, Bytes(all.begin() + long(sent.size()), all.begin() + long(sent.size() + n)))
                << "block " << blocks << (packing ? ", packing" : "");
            sent.insert(sent.end(), all.begin() + long(sent.size()), all.begin() + long(sent.size() + n));
            ASSERT_EQ(Ack(n, 0, nullptr), 1);
            ++blocks;
        }
        EXPECT_GT(blocks, 3 * AppBufTxSize / 1003 - 1);
        EXPECT_EQ(Queued(), Bytes(all.begin() + long(sent.size()), all.end()));
    }
}

TEST_F(AppBufTest, DataIdsRunFromZeroTo65534AndWrap) {
    Bytes data(1, 0x55);
    Push(data);
    EXPECT_EQ(Send()[2], 0);
    ASSERT_EQ(Ack(1, 0, nullptr), 1);
    EXPECT_EQ(buf->TxId, 1u);
    buf->TxId = 65534;
    Push(data);
    Bytes item = Send();
    EXPECT_EQ(item[1], 0xFF);
    EXPECT_EQ(item[2], 0xFE);
    ASSERT_EQ(Ack(1, 0, nullptr), 1);
    EXPECT_EQ(buf->TxId, 0u);
}

TEST_F(AppBufTest, ShortAcknowledgementLeavesTheWholeBlockForTheSameId) {
    Bytes data = Pattern(300, 7);
    Push(data);
    Bytes first = Send();
    EXPECT_EQ(Ack(100, 0, nullptr), 0);
    EXPECT_NE(captured.find("AppBuf_TxAck:12ab; error =00000010\n"), std::string::npos);
    EXPECT_EQ(buf->TxFill, 300u);
    EXPECT_EQ(buf->TxInFlight, 0u);
    EXPECT_EQ(Send(), first);
}

TEST_F(AppBufTest, ModemNotReadyLeavesTheBlockForTheSameId) {
    Push(Pattern(50, 8));
    Bytes first = Send();
    uint8_t rnr = 0;
    EXPECT_EQ(Ack(0, 1, &rnr), 1);
    EXPECT_EQ(rnr, 1);
    EXPECT_NE(captured.find("AppBuf_TxAck:12ab; modem RNR\n"), std::string::npos);
    EXPECT_EQ(buf->TxFill, 50u);
    EXPECT_EQ(Send(), first);
}

TEST_F(AppBufTest, AcknowledgementOfNothingMovesTheIdOn) {
    Push(Pattern(50, 9));
    Send();
    EXPECT_EQ(Ack(0, 0, nullptr), 1);
    EXPECT_EQ(buf->TxFill, 50u);
    EXPECT_EQ(buf->TxId, 1u);
}

TEST_F(AppBufTest, AcknowledgementWithoutABlockInFlightIsRefused) {
    EXPECT_EQ(AppBuf_TxAck(buf.get(), nullptr), 0);
    EXPECT_NE(captured.find("AppBuf_TxAck:12ab; error =00000001\n"), std::string::npos);
    Push(Pattern(5, 10));
    captured.clear();
    EXPECT_EQ(AppBuf_TxAck(buf.get(), nullptr), 0);
    EXPECT_EQ(captured, "DBG(10.20:30:400): AppBuf_TxAck:12ab; No Ack wait\n");
}

TEST_F(AppBufTest, AckAnswerIsShortOrSkippedWithoutABuffer) {
    const uint8_t answer[3] = {1, 0xF0, 0x10};
    EXPECT_EQ(HCP_TxDataAck(answer, 2, buf.get(), nullptr), nullptr);
    uint8_t inputs = 0x05;
    EXPECT_EQ(HCP_TxDataAck(answer, 3, nullptr, &inputs), answer + 3);
    EXPECT_EQ(inputs, 0x05);
}

// ---- state repairs --------------------------------------------------------------------------------

struct RepairCase {
    const char* what;
    uint32_t fill, inFlight, acked;
    uint32_t flags;
    uint32_t fillAfter, inFlightAfter;
};

class AppBufRepair : public AppBufTest, public ::testing::WithParamInterface<RepairCase> {};

TEST_P(AppBufRepair, TransmitStateIsRepaired) {
    const RepairCase& c = GetParam();
    buf->TxFill = c.fill;
    buf->TxInFlight = c.inFlight;
    buf->TxAcked = c.acked;
    buf->ModemRnr = 1;
    EXPECT_EQ(TxFlags(), c.flags) << c.what;
    EXPECT_EQ(buf->TxFill, c.fillAfter);
    EXPECT_EQ(buf->TxInFlight, c.inFlightAfter);
}

INSTANTIATE_TEST_SUITE_P(
    States, AppBufRepair,
    ::testing::Values(
        RepairCase{"fill beyond the queue", 70000, 10, 10, AppBufTxRepaired | AppBufTxEmpty, 0, 0},
        RepairCase{"block larger than the queue", 5, 10, 0, AppBufTxRepaired, 5, 0},
        RepairCase{"acknowledged size differs", 50, 10, 3, AppBufTxAckMismatch, 50, 0},
        RepairCase{"block with an empty queue", 0, 10, 0, AppBufTxRepaired | AppBufTxEmpty, 0, 0},
        RepairCase{"block in flight", 50, 10, 10, AppBufTxInFlight, 50, 10},
        RepairCase{"full queue", 65536, 0, 0, AppBufTxFull, 65536, 0}),
    CaseName());

TEST_F(AppBufTest, ReceiveStateIsRepaired) {
    buf->RxFill = 20000;
    buf->RxSinceAck = 7;
    buf->OurRnr = 1;
    uint32_t fill = 1;
    EXPECT_EQ(AppBuf_RxState(buf.get(), &fill), AppBufRxRepaired | AppBufRxEmpty);
    EXPECT_EQ(fill, 0u);
    EXPECT_EQ(buf->RxSinceAck, 0u);
    EXPECT_EQ(buf->OurRnr, 0);
    EXPECT_EQ(AppBuf_Pop(buf.get(), block, sizeof block), 0u);
}

// ---- receiving ------------------------------------------------------------------------------------

TEST_F(AppBufTest, ReceivedPayloadIsTakenAcknowledgedAndPopped) {
    Bytes payload = Pattern(700, 11);
    Receive(payload, 42);
    EXPECT_EQ(AppBuf_RxState(buf.get(), nullptr), AppBufRxEmpty | AppBufRxPending);
    EXPECT_EQ(buf->RxPendingWire, 700u);
    captured.clear();
    EXPECT_EQ(AppBuf_RxGet(buf.get()), 1);
    EXPECT_EQ(captured.rfind("DBG(10.20:30:400): AppBuf_RxGet:12ab\nASC:", 0), 0u);
    EXPECT_NE(captured.find("\nHEX:"), std::string::npos);
    EXPECT_EQ(captured.substr(captured.size() - 20), "\n------------------\n");
    EXPECT_EQ(buf->RxId, 42u);
    EXPECT_EQ(buf->RxSize, 700u);
    EXPECT_EQ(buf->RxSinceAck, 700u);
    EXPECT_EQ(AppBuf_RxState(buf.get(), nullptr), AppBufRxUnacked);
    EXPECT_EQ(AppBuf_RxGet(buf.get()), 0); // nothing pending any more

    uint8_t* pos = block;
    EXPECT_EQ(HCC_RxDataAck(block, &pos, buf.get()), 1);
    EXPECT_EQ(Bytes(block, pos), (Bytes{7, 0, 0x02, 0xBC}));
    EXPECT_EQ(buf->RxSinceAck, 0u);

    Bytes out(1000);
    EXPECT_EQ(AppBuf_Pop(buf.get(), out.data(), 300), 300u);
    EXPECT_EQ(AppBuf_Pop(buf.get(), out.data() + 300, 1000), 400u);
    out.resize(700);
    EXPECT_EQ(out, payload);
    EXPECT_EQ(AppBuf_Pop(buf.get(), out.data(), 10), 0u);
}

TEST_F(AppBufTest, AckItemNeedsFourBytesOfSpace) {
    buf->RxSinceAck = 5;
    uint8_t* pos = block + 1005;
    EXPECT_EQ(HCC_RxDataAck(block, &pos, buf.get()), 0);
    EXPECT_EQ(pos, block + 1005);
    EXPECT_EQ(buf->RxSinceAck, 5u);
    pos = block + 1004;
    EXPECT_EQ(HCC_RxDataAck(block, &pos, buf.get()), 1);
    EXPECT_EQ(pos, block + 1008);
}

TEST_F(AppBufTest, PayloadThatDoesNotFitWholeIsRefusedAsNotReady) {
    Bytes filler = Pattern(16000, 12);
    for (size_t i = 0; i < filler.size(); i += 1000) {
        Receive(Bytes(filler.begin() + static_cast<long>(i), filler.begin() + static_cast<long>(i + 1000)),
                1);
        ASSERT_EQ(AppBuf_RxGet(buf.get()), 1);
    }
    buf->RxSinceAck = 0;
    Receive(Pattern(500, 13), 2);
    EXPECT_EQ(AppBuf_RxGet(buf.get()), 0);
    EXPECT_EQ(buf->RxFill, 16000u);
    EXPECT_EQ(Bytes(buf->RxQueue, buf->RxQueue + 16000), filler);
    EXPECT_EQ(buf->OurRnr, 1);
    EXPECT_EQ(buf->RxSinceAck, 0u);
    EXPECT_EQ(buf->RxId, 1u);
    EXPECT_EQ(AppBuf_RxState(buf.get(), nullptr), 0u); // nothing pending, nothing to acknowledge

    // Once the PC side has taken data the router is ready again, and the modem's repeat fits.
    Bytes out(1000);
    EXPECT_EQ(AppBuf_Pop(buf.get(), out.data(), 1000), 1000u);
    EXPECT_EQ(buf->OurRnr, 0);
    Receive(Pattern(500, 13), 2);
    EXPECT_EQ(AppBuf_RxGet(buf.get()), 1);
    EXPECT_EQ(buf->RxFill, 15500u);

    // The queue is a ring: the repeat went past its end and comes out behind the rest, in order.
    Bytes expected(filler.begin() + 1000, filler.end());
    const Bytes repeat = Pattern(500, 13);
    expected.insert(expected.end(), repeat.begin(), repeat.end());
    out.assign(16000, 0);
    EXPECT_EQ(AppBuf_Pop(buf.get(), out.data(), 7000), 7000u);
    EXPECT_EQ(AppBuf_Pop(buf.get(), out.data() + 7000, 9000), 8500u);
    out.resize(15500);
    EXPECT_EQ(out, expected);
    EXPECT_EQ(AppBuf_RxState(buf.get(), nullptr), AppBufRxEmpty | AppBufRxUnacked);
}

TEST_F(AppBufTest, PayloadFillingTheQueueExactlyReportsNotReady) {
    for (int i = 0; i < 16; ++i) {
        Receive(Pattern(1024, static_cast<unsigned>(i)), static_cast<uint16_t>(i));
        ASSERT_EQ(AppBuf_RxGet(buf.get()), 1);
    }
    EXPECT_EQ(buf->OurRnr, 1);
    EXPECT_EQ(AppBuf_RxState(buf.get(), nullptr), AppBufRxFull | AppBufRxUnacked);
}

TEST_F(AppBufTest, RejectedPayloadIsDropped) {
    Receive(Pattern(10, 14), 3);
    EXPECT_EQ(AppBuf_RxRej(buf.get()), AppBufRxEmpty);
    EXPECT_EQ(buf->RxPendingLen, 0u);
    EXPECT_EQ(buf->OurRnr, 0);
    EXPECT_EQ(AppBuf_RxGet(buf.get()), 0);
}

TEST_F(AppBufTest, PackedPayloadIsUnpackedAndItsWireLengthKept) {
    Bytes payload(900, 'a');
    for (size_t i = 0; i < payload.size(); i += 3)
        payload[i] = 'b';
    PackState state;
    PackWork work;
    ASSERT_EQ(Pack_Choose(payload.data(), 900, &state, &work, 1), 1);
    Bytes stream(state.Size);
    ASSERT_EQ(Pack_Encode(payload.data(), 900, &state, &work, stream.data(), state.Size), state.Size);
    stream.push_back(0x85); // the next item's code byte
    Bytes item = TxDataItem(0x80 | 0x06, 77, 900, stream);
    uint8_t inputs = 0;
    EXPECT_EQ(HCP_TxData(item.data(), static_cast<uint32_t>(item.size()), buf.get(), &inputs, 6),
              item.data() + item.size() - 1);
    EXPECT_EQ(inputs, 0x06);
    EXPECT_EQ(buf->RxPendingId, 77u);
    EXPECT_EQ(buf->RxPendingLen, 900u);
    EXPECT_EQ(buf->RxPendingWire, state.Size);
    EXPECT_EQ(Bytes(buf->RxPending, buf->RxPending + 900), payload);

    // Without a buffer the item is unpacked aside only to find its end.
    inputs = 0;
    EXPECT_EQ(HCP_TxData(item.data(), static_cast<uint32_t>(item.size()), nullptr, &inputs, 6),
              item.data() + item.size() - 1);
    EXPECT_EQ(inputs, 0x06);
}

struct TxDataCase {
    const char* what;
    Bytes item;
    int code;
    long end; // -1: refused
    uint32_t pendingLen;
};

class AppBufTxData : public AppBufTest, public ::testing::WithParamInterface<TxDataCase> {};

TEST_P(AppBufTxData, ItemIsParsedOrRefused) {
    const TxDataCase& c = GetParam();
    // An earlier payload never survives a later item whose head was read, refused or not.
    Receive(Bytes(10, 1), 5);
    Bytes item = c.item;
    const uint8_t* end =
        HCP_TxData(item.data(), static_cast<uint32_t>(item.size()), buf.get(), nullptr, c.code);
    EXPECT_EQ(end ? end - item.data() : -1, c.end) << c.what;
    EXPECT_EQ(buf->RxPendingLen, c.pendingLen) << c.what;
    if (c.end < 0)
        return;
    // The same item without a buffer ends at the same place.
    end = HCP_TxData(item.data(), static_cast<uint32_t>(item.size()), nullptr, nullptr, c.code);
    EXPECT_EQ(end ? end - item.data() : -1, c.end) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Items, AppBufTxData,
    ::testing::Values(
        TxDataCase{"plain", {0, 0, 9, 0, 3, 0, 0, 'a', 'b', 'c', 0x85}, 6, 10, 3},
        TxDataCase{"without avail", {0, 0, 9, 0, 3, 'a', 'b', 'c'}, 21, 8, 3},
        TxDataCase{"empty", {0x80, 0, 9, 0, 0, 0, 0}, 6, 7, 0},
        TxDataCase{"head cut short", {0, 0, 9, 0, 3, 0}, 6, -1, 10},
        TxDataCase{"data cut short", {0, 0, 9, 0, 4, 0, 0, 'a', 'b', 'c'}, 6, -1, 0},
        TxDataCase{"packed constant", {0x80, 0, 9, 0, 20, 0, 0, 0x00, 'z', 0x85}, 6, 9, 20},
        TxDataCase{"packed and damaged", {0x80, 0, 9, 0, 20, 0, 0, 0x3F, 'z', 0x85}, 6, -1, 0},
        TxDataCase{"packed, longer than the pending area", {0x80, 0, 9, 0x08, 0x04, 0x00, 'z'}, 21, -1, 0}));

TEST_F(AppBufTest, PlainPayloadLongerThanThePendingAreaIsRefused) {
    Bytes payload(2052, 'q');
    Bytes item = TxDataItem(0, 1, 2052, payload);
    EXPECT_EQ(HCP_TxData(item.data(), static_cast<uint32_t>(item.size()), buf.get(), nullptr, 6), nullptr);
    EXPECT_EQ(buf->RxPendingLen, 0u);
    // Without a buffer nothing is stored, so the item is simply passed over.
    EXPECT_EQ(HCP_TxData(item.data(), static_cast<uint32_t>(item.size()), nullptr, nullptr, 6),
              item.data() + item.size());
}

// ---- reconnection ---------------------------------------------------------------------------------

struct LinkCase {
    const char* what;
    uint32_t peerId, peerSize;
    bool ack;           // the block in flight was settled before the connection was lost
    uint32_t txIdAfter; // sent block: ID 3, 400 of 1000 queued bytes
    uint32_t fillAfter; // bytes left in the queue
    uint32_t inFlightAfter;
    const char* trace;
};

class AppBufLink : public AppBufTest, public ::testing::WithParamInterface<LinkCase> {};

TEST_P(AppBufLink, SendSideIsReconciled) {
    const LinkCase& c = GetParam();
    Bytes data = Pattern(1000, 15);
    Push(data);
    buf->TxId = 3;
    uint8_t* pos = block + 1008 - 405;
    ASSERT_EQ(HCC_TxAppData(block, &pos, buf.get(), 0, 0), 1);
    ASSERT_EQ(buf->TxInFlight, 400u);
    if (c.ack) {
        ASSERT_EQ(Ack(400, 0, nullptr), 1);
    }
    buf->RxId = 17;
    buf->RxSize = 60;
    auto link = std::make_unique<IpLink>();
    link->ModemId = 0x0777;
    link->PeerRxId = c.peerId;
    link->PeerRxSize = c.peerSize;
    captured.clear();
    AppBuf_Link(buf.get(), link.get());
    EXPECT_EQ(link->AppBuf, buf.get());
    EXPECT_EQ(buf->ModemId, 0x0777);
    EXPECT_EQ(link->OurRxId, 17u);
    EXPECT_EQ(link->OurRxSize, 60u);
    EXPECT_EQ(buf->TxId, c.txIdAfter) << c.what;
    EXPECT_EQ(buf->TxFill, c.fillAfter) << c.what;
    EXPECT_EQ(buf->TxInFlight, c.inFlightAfter) << c.what;
    EXPECT_EQ(Queued(), Bytes(data.end() - c.fillAfter, data.end()));
    std::string expected = std::string("DBG(10.20:30:400): AppBuf_Link\n *** ID:0777\n") + c.trace;
    EXPECT_EQ(captured, expected + "-------------------\n") << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Reconnects, AppBufLink,
    ::testing::Values(
        LinkCase{"modem never received", 65535, 65535, false, 0, 1000, 0, " *** client never rcv yet ***\n"},
        LinkCase{"block in flight not received", 2, 900, false, 3, 1000, 0, " *** last data was acked ***\n"},
        LinkCase{"block acknowledged before", 3, 400, true, 4, 600, 0, " *** last data was acked ***\n"},
        LinkCase{"nothing in flight", 4, 400, true, 4, 600, 0, ""},
        LinkCase{"size above the block", 3, 401, false, 3, 1000, 0, " *** incorrect size to ack (skip) ***"},
        LinkCase{
            "block received whole", 3, 400, false, 5, 600, 0,
            " *** previos data ack : (400) ***DBG(10.20:30:400): AppBuf_TxAck:0777 (Ack:400, Fill:600)\n"},
        // Only the bytes the modem has are removed, so none of them reaches it twice.
        LinkCase{
            "block received in part", 3, 150, false, 5, 850, 0,
            " *** previos data ack : (150) ***DBG(10.20:30:400): AppBuf_TxAck:0777 (Ack:150, Fill:850)\n"},
        LinkCase{"block received empty", 3, 0, false, 5, 1000, 0,
                 " *** previos data ack : (0) ***DBG(10.20:30:400): AppBuf_TxAck:0777 (Ack:0, Fill:1000)\n"}),
    CaseName());

TEST_F(AppBufTest, LinkBeforeAnythingWasSentChangesNothing) {
    Push(Pattern(10, 16));
    auto link = std::make_unique<IpLink>();
    link->PeerRxId = 5;
    link->PeerRxSize = 5;
    AppBuf_Link(buf.get(), link.get());
    EXPECT_NE(captured.find(" *** server never trx yet ***\n"), std::string::npos);
    EXPECT_EQ(buf->TxId, 65535u);
    EXPECT_EQ(link->OurRxId, 65535u);
    EXPECT_EQ(link->OurRxSize, 65535u);
    EXPECT_EQ(Send()[2], 0); // the first block still carries ID 0
}

TEST_F(AppBufTest, UnlinkOnlyTraces) {
    Push(Pattern(10, 17));
    AppBuf before = *buf;
    captured.clear();
    AppBuf_UnLink(buf.get());
    EXPECT_EQ(captured, "DBG(10.20:30:400): AppBuf_UnLink\n *** ID:12ab\n-------------------\n");
    EXPECT_EQ(memcmp(&before, buf.get(), sizeof before), 0);
}

// ---- damage -----------------------------------------------------------------------------------------

// Random and damaged answer items never make the parsers read past what they were given, and whatever
// they accept can be taken into the receive queue.
TEST_F(AppBufTest, SeededRandomDamageOfAnswersIsHandledCleanly) {
    std::mt19937 rng(777);
    PackState state;
    PackWork work;
    for (int iteration = 0; iteration < 5000; ++iteration) {
        int code = rng() % 2 ? 6 : 21;
        Bytes payload = Pattern(1 + rng() % 1000, static_cast<unsigned>(iteration));
        if (rng() % 2)
            for (auto& v : payload)
                v &= 0x03;
        Bytes stream = payload;
        uint8_t flags = static_cast<uint8_t>(rng() & 0x0F);
        auto n = static_cast<uint16_t>(payload.size());
        if (rng() % 2 && Pack_Choose(payload.data(), n, &state, &work, 1)) {
            stream.resize(state.Size);
            Pack_Encode(payload.data(), n, &state, &work, stream.data(), state.Size);
            flags |= 0x80;
        }
        Bytes item = TxDataItem(flags, static_cast<uint16_t>(rng()), n, stream, code);
        for (int k = static_cast<int>(rng() % 4); k > 0; --k)
            item[rng() % item.size()] = static_cast<uint8_t>(rng());
        if (rng() % 3 == 0)
            item.resize(rng() % item.size());
        auto heap = std::make_unique<uint8_t[]>(item.size() + 1);
        std::copy(item.begin(), item.end(), heap.get());
        uint32_t avail = static_cast<uint32_t>(item.size());
        const uint8_t* end = HCP_TxData(heap.get(), avail, buf.get(), nullptr, code);
        if (end) {
            ASSERT_LE(end, heap.get() + avail);
            ASSERT_LE(buf->RxPendingLen, AppBufPendingSize);
        } else {
            ASSERT_EQ(buf->RxPendingLen, 0u);
        }
        AppBuf_RxGet(buf.get());
        uint8_t out[4096];
        AppBuf_Pop(buf.get(), out, sizeof out);
        end = HCP_TxData(heap.get(), avail, nullptr, nullptr, code);
        ASSERT_TRUE(!end || end <= heap.get() + avail);
        end = HCP_TxDataAck(heap.get(), avail, buf.get(), nullptr);
        ASSERT_TRUE(!end || end <= heap.get() + avail);
        AppBuf_TxAck(buf.get(), nullptr);
    }
}

} // namespace
