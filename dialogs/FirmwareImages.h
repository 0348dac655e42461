// The table of loaded firmware images that uploads are sent from, the loading and checking of one image
// file, and the texts the settings dialog shows for versions and objects. No form: the sessions read the
// table, the settings dialog fills it.
//
// Entry i of the table belongs to entry i of the settings' SWFiles; only the first SWFileCount entries
// count. An entry holds its whole file, or nothing when it could not be loaded (then its version is
// 0.0.0.0). The links of the sessions point into the buffers, so an entry is replaced only by the
// settings dialog's commit, which is followed at once by TConnectionForm::ApplySWSettings. Main thread
// only.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "core/Settings.h"

// Main program major and minor, profile major and minor.
using TSWVersion = std::array<uint8_t, 4>;

extern std::array<std::vector<uint8_t>, TSettingsFields::SWFileMax> SWImages;
extern std::array<TSWVersion, TSettingsFields::SWFileMax> SWVersions;

// Results of PrepareSW.
enum TPrepareResult {
    prLoaded = 0,
    prNoFile = 1,      // no name, no such file, no regular file, or it cannot be read
    prInvalid = 2,     // not a valid image, or larger than a modem holds
    prUnsupported = 3, // a valid image of a kind this system does not update
};

// The largest image a modem can hold: its update context counts blocks in 16 bits.
inline constexpr uint32_t MaxImageBlocks = 0x10000;

// Loads and checks the image file of that name (Windows-1251). On prLoaded, image holds the file and
// version its version; on every other result image is empty and version 0.0.0.0.
int PrepareSW(const std::string& name, std::vector<uint8_t>& image, TSWVersion& version);

// The hardware group of a version's first byte: its tens digit, the byte taken as signed and the
// quotient truncated (so -5 and 5 are both group 0).
int HardwareGroup(uint8_t firstByte);
// "Tirmal" for group 0, "?????" for every other group.
const char* ModelName(uint8_t firstByte);
// "%2.2d.%2.2d %2.2d.%2.2d" of the first byte modulo 100 and the other three.
std::string VersionText(const TSWVersion& version);

// The first loaded image below SWFileCount of the same hardware group as firstByte, else -1.
int FindFirmwareIndex(uint8_t firstByte);

// One line of the update list (Windows-1251): number, name cut to 14 characters, model and version
// (or "---" for 0.0.0.0), and the progress when the object is marked.
std::string MakeObjStr(int32_t objectNumber, const std::string& name, int32_t updateState,
                       const TSWVersion& version);

// Empties every entry of the table.
void FreeSWImages();
