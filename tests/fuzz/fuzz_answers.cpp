// Answer records as a modem may send them: the parser stays inside the record, the buffer and the
// stores, sets only answer bits and removes exactly the record.
//
// Input: a control byte (bits 0-1 the modem's VersionNo 0, 103, 104 or 105; bit 2 SMS mode; bit 3 no
// application data buffer; bit 4 the next two bytes are the record's length field as sent), then the
// plaintext of the block.
#include "protocol/tmgsm.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

void Require(bool ok) {
    if (!ok)
        std::abort();
}

void Silent(const char*, size_t) {}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::unique_ptr<AppBuf> buf = std::make_unique<AppBuf>();
    static const uint32_t versions[] = {0, 103, 104, 105};
    if (size < 1 || size > 1100)
        return 0;
    Trace_SetSink(Silent);
    const uint8_t control = data[0];
    data++;
    size--;
    uint16_t lengthField = static_cast<uint16_t>(size);
    if (control & 0x10) {
        if (size < 2)
            return 0;
        lengthField = static_cast<uint16_t>(data[0] << 8 | data[1]);
        data += 2;
        size -= 2;
    }
    // The record in an area of exactly its size.
    std::vector<uint8_t> records(size + 2);
    records[0] = static_cast<uint8_t>(lengthField >> 8);
    records[1] = static_cast<uint8_t>(lengthField);
    if (size)
        memcpy(records.data() + 2, data, size);
    uint16_t recordsLen = static_cast<uint16_t>(records.size());

    CmdResults results{};
    results.HwInfo.VersionNo = versions[control & 3];
    CmdParams params{};
    AuthCtx auth{};
    UpdCtx upd{};
    AppBuf_Init(buf.get());
    uint8_t log[LOG_STORE_SIZE] = {};
    uint8_t block[CMD_IP_ITEMS_MAX + 4];
    uint16_t blockLen = 0;
    CmdCtx ctx{
        0x00AB, &results, &params,   &auth,          &upd,        control & 8 ? nullptr : buf.get(),
        0x6,    block,    &blockLen, records.data(), &recordsLen, static_cast<uint16_t>(records.size()),
        log};
    HCP_ParseAnswers(control & 4 ? CMD_MODE_SMS : CMD_MODE_IP, &ctx);

    const size_t n = (lengthField & 0x3FF) < size ? (lengthField & 0x3FF) : size;
    Require(recordsLen == records.size() - 2 - n);
    Require((results.Answered & ~0x7FFFFFu) == 0);
    Require((results.Answered & (REQ_RX_DATA | REQ_TX_DATA_ACK | REQ_GPRS_CLOSE | REQ_NULL)) == 0);
    Require(buf->RxPendingLen <= AppBufPendingSize);
    Trace_SetSink(nullptr);
    return 0;
}
