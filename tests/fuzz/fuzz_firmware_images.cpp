// Firmware image files as the settings dialog loads them into the table that uploads are sent from, and
// the texts it shows for them: a file either loads whole, with the version of its header, or leaves its
// entry empty.
//
// Input: a control byte, then the file. Bit 0 of the control byte makes the file a well-formed image
// first (whole blocks, the block count unless bit 1 is set, the data digest and the header CRC), so that
// the header's version and kind are reached; bit 2 loads a name with no file behind it.
#include "dialogs/FirmwareImages.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "protocol/tmgsm.h"
#include "tests/core/TempFolder.h"

namespace {

void Require(bool ok) {
    if (!ok)
        std::abort();
}

void MakeWellFormed(std::vector<uint8_t>& file, bool keepCount) {
    const size_t blocks = std::max<size_t>(2, (file.size() + UPD_BLOCK_SIZE - 1) / UPD_BLOCK_SIZE);
    file.resize(blocks * UPD_BLOCK_SIZE);
    uint32_t count = Get_U32LE(file.data());
    if (!keepCount)
        count = uint32_t(blocks - 1);
    Put_U32LE(file.data(), count);
    if (uint64_t(count) + 1 <= blocks)
        Md5_Digest(file.data() + UPD_BLOCK_SIZE, count * UPD_BLOCK_SIZE, file.data() + 4);
    Put_U32LE(file.data() + 20, Crc32(file.data(), 20));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static TTempFolder* folder = new TTempFolder;
    static TSettings* settings = new TSettings;
    if (size < 1)
        return 0;
    const uint8_t control = data[0];
    std::vector<uint8_t> file(data + 1, data + size);
    if (control & 1)
        MakeWellFormed(file, control & 2);
    const std::string name = folder->Path() + (control & 4 ? "missing.bin" : "image.bin");
    if (!(control & 4))
        WriteFile(name, std::string(file.begin(), file.end()));

    AppSettings = settings;
    settings->SWFileCount = 1;
    settings->SWFiles[0] = name;
    const int result = PrepareSW(name, SWImages[0], SWVersions[0]);
    const std::vector<uint8_t>& image = SWImages[0];
    const TSWVersion& version = SWVersions[0];
    Require(result >= prLoaded && result <= prUnsupported);
    Require(result == prNoFile || !(control & 4));
    if (result == prLoaded) {
        Require(image == file);
        char text[UPD_TEXT_SIZE];
        uint8_t kind = 0;
        Require(UpdImg_Check(image.data(), uint32_t(image.size()), text, &kind) == 1 && kind == 2);
    } else {
        Require(image.empty() && version == TSWVersion{});
    }

    // The dialog's lines for an object of this version, and the upload's choice of image for it.
    const int index = FindFirmwareIndex(version[0]);
    Require(index == (result == prLoaded ? 0 : -1));
    int32_t number = 0;
    std::memcpy(&number, data, std::min<size_t>(size, sizeof number));
    const std::string objectName(reinterpret_cast<const char*>(data), std::min<size_t>(size, 20));
    const std::string line = MakeObjStr(number, objectName, int8_t(control), version);
    Require(line.size() < 128 && VersionText(version).size() <= 15);
    FreeSWImages();
    AppSettings = nullptr;
    return 0;
}
