#include "tests/dialogs/FirmwareFile.h"

#include "protocol/tmgsm.h"
#include "tests/core/TempFolder.h"

std::vector<uint8_t> MakeFirmwareImage(uint32_t count, uint32_t versionWord, uint8_t seed) {
    std::vector<uint8_t> image((count + 1) * UPD_BLOCK_SIZE);
    for (size_t i = UPD_BLOCK_SIZE; i < image.size(); ++i)
        image[i] = uint8_t(i * 31 + i / 128 + seed);
    Put_U32LE(image.data(), count);
    Md5_Digest(image.data() + UPD_BLOCK_SIZE, count * UPD_BLOCK_SIZE, image.data() + 4);
    Put_U32LE(image.data() + 24, versionWord);
    const TmDate built = {2024, 3, 5, 10, 30, 0};
    Put_U32LE(image.data() + 28, Tm_DateToSecs(&built));
    Put_U32LE(image.data() + 20, Crc32(image.data(), 20));
    return image;
}

std::string WriteFirmwareFile(const std::string& folder, const std::string& name,
                              const std::vector<uint8_t>& bytes) {
    const std::string path = folder + name;
    WriteFile(path, std::string(bytes.begin(), bytes.end()));
    return path;
}
