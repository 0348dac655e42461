// Packing of application data as programs on virtual ports and modems send it: every method that the
// measurement finds usable packs the data to exactly its measured size, and unpacks back to the data;
// with too little room it packs nothing rather than past the room.
//
// Input: a control byte (bit 0: Huffman measured too; bits 1-2: room taken from the measured size),
// then the data.
#include "protocol/tmgsm.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

void Require(bool ok) {
    if (!ok)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2 || size > 1 + CMD_IP_ITEMS_MAX)
        return 0;
    const uint8_t control = data[0];
    const uint16_t n = uint16_t(size - 1);
    const uint8_t* bytes = data + 1;
    PackState state;
    PackWork work;
    const int pays = Pack_Choose(bytes, n, &state, &work, control & 1);
    Require(!pays || (state.Kind < PackKinds && state.Size < n && state.Size == state.Sizes[state.Kind]));
    Pack_Measure(bytes, n, &state, &work, control & 1);

    const uint32_t less = control >> 1 & 3;
    for (uint8_t kind = 0; kind < PackKinds; ++kind) {
        const uint32_t measured = state.Sizes[kind];
        if (measured == PackNoSize)
            continue;
        state.Kind = kind;
        // The room in a buffer of exactly that size, so that a write past it is a sanitizer report.
        const uint32_t room = measured > less ? measured - less : 1;
        auto out = std::make_unique<uint8_t[]>(room);
        const uint32_t packed = Pack_Encode(bytes, n, &state, &work, out.get(), room);
        Require(packed == (less == 0 ? measured : 0));
        if (packed == 0 || packed > PackScratchSize)
            continue;
        std::vector<uint8_t> area(std::max<uint32_t>(packed, n));
        std::copy_n(out.get(), packed, area.begin());
        Require(Pack_Decode(area.data(), packed, n, uint32_t(area.size())) == packed);
        Require(std::equal(area.begin(), area.begin() + n, bytes));
    }
    return 0;
}
