// The file operations of the state file: reading it whole, and replacing it so that a failed save
// never destroys the previous file. Tests derive from TStatesFileOps to make reading or writing fail.
#pragma once

#include "platform/Files.h"

#include <cstdint>
#include <string>
#include <vector>

class TStatesFileOps : public TFileReplacer {
public:
    // A regular file of at most maxSize bytes (platform/Files).
    virtual TFileRead ReadAll(const std::string& path, uint64_t maxSize, std::vector<uint8_t>& bytes);

    // Removes the temporary file that a save killed before its rename left behind.
    void RemoveTemp(const std::string& path);
};

// The operations on the real file system.
TStatesFileOps& StatesFileOps();
