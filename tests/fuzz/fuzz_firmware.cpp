// Firmware image files as the operator could load them, and update context answers from a modem.
#include "protocol/tmgsm.h"

#include <cstring>
#include <vector>

namespace {

// A small valid image for the answers to be checked against.
std::vector<uint8_t> ValidImage() {
    constexpr uint32_t count = 12;
    std::vector<uint8_t> image((count + 1) * UPD_BLOCK_SIZE);
    for (size_t i = UPD_BLOCK_SIZE; i < image.size(); ++i)
        image[i] = static_cast<uint8_t>(i * 13);
    image[0] = count;
    Md5_Digest(image.data() + UPD_BLOCK_SIZE, count * UPD_BLOCK_SIZE, image.data() + 4);
    uint32_t crc = Crc32(image.data(), 20);
    for (int i = 0; i < 4; ++i)
        image[20 + i] = static_cast<uint8_t>(crc >> (8 * i));
    return image;
}

void Transfer(UpdCtx* upd) {
    uint8_t out[1008];
    for (int i = 0; i < 64 && Upd_PutBlocks(upd, out, sizeof out) > 0; ++i) {
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::vector<uint8_t> valid = ValidImage();

    // The input as an image file.
    char text[UPD_TEXT_SIZE];
    uint8_t kind;
    UpdImg_Check(size ? data : nullptr, static_cast<uint32_t>(size), text, &kind);
    UpdCtx own{size ? data : nullptr, static_cast<uint32_t>(size), UPD_CTX_KNOWN, 0, 0};
    Transfer(&own);

    // The input as a GetUpdCtx answer about the valid image.
    UpdCtx upd{valid.data(), static_cast<uint32_t>(valid.size()), 0, 0, 0};
    if (HCP_UpdCtx(data, static_cast<uint32_t>(size), &upd))
        Transfer(&upd);
    return 0;
}
