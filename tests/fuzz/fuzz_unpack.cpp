// Unpacking of packed application data. The first two bytes give the unpacked length, the third the
// room of the output; the rest is the packed stream.
#include "protocol/tmgsm.h"

#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4)
        return 0;
    uint32_t n = (data[0] << 8 | data[1]) % 2100;
    uint32_t capacity = n + data[2] % 4;
    uint32_t avail = static_cast<uint32_t>(size - 3);
    size_t area = avail > capacity ? avail : capacity;
    auto buffer = std::make_unique<uint8_t[]>(area);
    memcpy(buffer.get(), data + 3, avail);
    uint32_t used = Pack_Decode(buffer.get(), avail, n, capacity);
    if (used > avail)
        __builtin_trap();
    return 0;
}
