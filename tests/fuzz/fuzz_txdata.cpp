// The data answers of a modem: TxData, TxDataWoAvail and RxDataAck items, with and without a buffer,
// followed by taking the payload into the receive queue. The first byte picks the item kind.
#include "protocol/tmgsm.h"

#include <cstring>
#include <memory>

namespace {
AppBuf buffer;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    static bool ready = (AppBuf_Init(&buffer), Trace_SetSink([](const char*, size_t) {}), true);
    (void)ready;
    uint32_t avail = static_cast<uint32_t>(size - 1);
    auto item = std::make_unique<uint8_t[]>(avail ? avail : 1);
    memcpy(item.get(), data + 1, avail);
    uint8_t inputs = 0;
    const uint8_t* end;
    if (data[0] & 1) {
        end = HCP_TxDataAck(item.get(), avail, &buffer, &inputs);
        AppBuf_TxAck(&buffer, nullptr);
    } else {
        int code = data[0] & 2 ? 21 : 6;
        end = HCP_TxData(item.get(), avail, data[0] & 4 ? nullptr : &buffer, &inputs, code);
        if (buffer.RxPendingLen > AppBufPendingSize)
            __builtin_trap();
        AppBuf_RxGet(&buffer);
        uint8_t out[AppBufRxSize];
        AppBuf_Pop(&buffer, out, sizeof out);
    }
    if (end && end > item.get() + avail)
        __builtin_trap();
    return 0;
}
