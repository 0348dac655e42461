// Stands in for the file calls the program makes on the files a user gives it ("States.bin",
// "Calibrate.ini", the telephony lines, firmware images): opening one and reading it whole (CreateFile,
// GetFileSize, ReadFile), and finding the file that a path names when it is a symbolic link, so that a
// save replaces that file and keeps the link.
//
// Only a regular file is read, through any links that lead to it; a named pipe, a device or a folder is
// never waited for and counts as unreadable. No more than a cap is read, whatever size the file claims
// or turns out to have. Free of Qt; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum TReadFileResult {
    rfRead,
    rfMissing,    // no such file, or a link that leads nowhere
    rfNotRegular, // a named pipe, a device, a folder...
    rfTooLarge,   // more than the cap: nothing of it is kept
    rfFailed,     // it could not be opened or read in full
};

// What the messages say of a file that is no regular file.
inline constexpr const char* NotRegularFile = "not a regular file";

struct TFileRead {
    TReadFileResult Result = rfFailed;
    int Error = 0;             // errno, for rfMissing and rfFailed
    std::uint64_t MaxSize = 0; // the cap it was read with

    // Why the file was not read, for a log line (Windows-1251); empty for rfRead.
    std::string Problem() const;
};

// Reads the file whole into bytes, which is empty on every result but rfRead.
TFileRead ReadRegularFile(const std::string& path, std::uint64_t maxSize, std::vector<std::uint8_t>& bytes);

// The path of the file that path leads to: path itself unless it is a symbolic link, else the link's
// target, followed as far as links go (a target that does not exist yet included). False with errno set
// when the links go round in a loop or cannot be read.
bool LinkedFile(const std::string& path, std::string& file);
