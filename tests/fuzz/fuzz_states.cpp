// The decrypted state file as a damaged or foreign file may hold it, behind a valid CRC: the decoder
// stays inside the block, and what it accepts encodes back to a block that decodes to the same.
#include "core/StateFile.h"

#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

void Require(bool ok) {
    if (!ok) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A copy of exactly the input's size, so that a read past the end is a sanitizer report.
    auto block = std::make_unique<uint8_t[]>(size);
    if (size)
        std::memcpy(block.get(), data, size);
    TStatesImage image;
    if (DecodeStates(block.get(), size, image) != dcOk)
        return 0;
    Require(image.Settings && image.Settings->SWFileCount >= 0 && image.Settings->SWFileCount <= 25);

    std::vector<uint8_t> plain = BuildStatesPlain(image.Window, *image.Settings, image.Objects);
    TStatesImage again;
    Require(DecodeStates(plain.data(), plain.size(), again) == dcOk);
    Require(again.Window == image.Window);
    Require(again.Objects.size() == image.Objects.size());
    Require(BuildStatesPlain(again.Window, *again.Settings, again.Objects) == plain);
    return 0;
}
