// Firmware image files for the tests of the settings dialog and of the upload, built the way the modem
// maker builds them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A valid image of count data blocks; versionWord 0xFFFE0000 | digits gives an image of kind 2 whose
// version bytes are the four digits (0xFFFE1600: 1.6.0.0). seed varies the data.
std::vector<uint8_t> MakeFirmwareImage(uint32_t count, uint32_t versionWord, uint8_t seed = 1);
// Writes the bytes to folder + name and returns that path.
std::string WriteFirmwareFile(const std::string& folder, const std::string& name,
                              const std::vector<uint8_t>& bytes);
