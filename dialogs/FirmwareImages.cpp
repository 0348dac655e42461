#include "dialogs/FirmwareImages.h"

#include <algorithm>
#include <cstdio>

#include <QFile>

#include "platform/Cp1251.h"
#include "platform/Files.h"
#include "protocol/tmgsm.h"

std::array<std::vector<uint8_t>, TSettingsFields::SWFileMax> SWImages;
std::array<TSWVersion, TSettingsFields::SWFileMax> SWVersions{};

namespace {

constexpr uint8_t UpdatableKind = 2;

// The two-digit number at pos of the version text "mNN.NN pNN.NN ...".
uint8_t TextDigits(const char* text, int pos) {
    return uint8_t((text[pos] - '0') * 10 + (text[pos + 1] - '0'));
}

} // namespace

int PrepareSW(const std::string& name, std::vector<uint8_t>& image, TSWVersion& version) {
    image = std::vector<uint8_t>(); // the old buffer goes now, not when a new one is read
    version = {};
    if (name.empty())
        return prNoFile;
    // A file larger than a modem holds is not read: it is no image of ours.
    const TFileRead read = ReadRegularFile(QFile::encodeName(FromCp1251(name)).toStdString(),
                                           uint64_t(MaxImageBlocks) * UPD_BLOCK_SIZE, image);
    if (read.Result != rfRead && read.Result != rfTooLarge)
        return prNoFile;
    char text[UPD_TEXT_SIZE];
    uint8_t kind = 0;
    if (image.empty() || image.size() % UPD_BLOCK_SIZE != 0 ||
        UpdImg_Check(image.data(), uint32_t(image.size()), text, &kind) != 1) {
        image = std::vector<uint8_t>();
        return prInvalid;
    }
    if (kind != UpdatableKind) {
        image = std::vector<uint8_t>();
        return prUnsupported;
    }
    version = {TextDigits(text, 1), TextDigits(text, 4), TextDigits(text, 8), TextDigits(text, 11)};
    return prLoaded;
}

int HardwareGroup(uint8_t firstByte) {
    return int8_t(firstByte) / 10;
}

const char* ModelName(uint8_t firstByte) {
    return HardwareGroup(firstByte) == 0 ? "Tirmal" : "?????";
}

std::string VersionText(const TSWVersion& v) {
    char text[32];
    std::snprintf(text, sizeof text, "%2.2d.%2.2d %2.2d.%2.2d", v[0] % 100, v[1], v[2], v[3]);
    return text;
}

int FindFirmwareIndex(uint8_t firstByte) {
    const int count = AppSettings ? std::clamp(AppSettings->SWFileCount, 0, TSettingsFields::SWFileMax) : 0;
    for (int i = 0; i < count; ++i)
        if (!SWImages[std::size_t(i)].empty() &&
            HardwareGroup(SWVersions[std::size_t(i)][0]) == HardwareGroup(firstByte))
            return i;
    return -1;
}

std::string MakeObjStr(int32_t objectNumber, const std::string& name, int32_t updateState,
                       const TSWVersion& version) {
    const std::string shown = name.empty() ? " " : name.substr(0, 14);
    char line[128];
    std::string versionPart = "          ---        ";
    if (version != TSWVersion{}) {
        std::snprintf(line, sizeof line, "%-10s%s", ModelName(version[0]), VersionText(version).c_str());
        versionPart = line;
    }
    std::snprintf(line, sizeof line, " %8d  %-14s %s", objectNumber, shown.c_str(), versionPart.c_str());
    std::string result = line;
    if (updateState >= 0) {
        std::snprintf(line, sizeof line, " %4d%%", updateState);
        result += line;
    }
    return result;
}

void FreeSWImages() {
    for (auto& image : SWImages)
        image = std::vector<uint8_t>();
    SWVersions.fill({});
}
