// The file operations of the state file: reading it whole, and replacing it so that a failed save
// never destroys the previous file. Tests derive from TStatesFileOps to make reading or writing fail.
#pragma once

#include "platform/Files.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

class TStatesFileOps {
public:
    virtual ~TStatesFileOps() = default;

    // A regular file of at most maxSize bytes (platform/Files).
    virtual TFileRead ReadAll(const std::string& path, uint64_t maxSize, std::vector<uint8_t>& bytes);
    // Writes the bytes to TempName(path), flushes them to disk and renames the file over path. On any
    // failure the temporary file is removed, path is left as it was and errno tells why (0: path is, or
    // leads to, something other than a regular file). When path is a symbolic link, all of that happens
    // beside the file it leads to, which is replaced; the link stays.
    bool Replace(const std::string& path, const uint8_t* data, size_t n);

    // Removes the temporary file that a save killed before its rename left behind.
    void RemoveTemp(const std::string& path);

    // The temporary file of a save of path, beside the file that path leads to.
    static std::string TempName(const std::string& path);

protected:
    // One write(2): the count written, or -1 with errno set.
    virtual ssize_t WriteSome(int fd, const uint8_t* data, size_t n);
    virtual bool Rename(const std::string& from, const std::string& to);

private:
    bool WriteAll(int fd, const uint8_t* data, size_t n);
};

// The operations on the real file system.
TStatesFileOps& StatesFileOps();
