// Stands in for the file calls the program makes on the files a user gives it ("States.bin",
// "Calibrate.ini", the telephony lines, firmware images) and on the stores it keeps: opening one and
// reading it whole (CreateFile, GetFileSize, ReadFile), finding the file that a path names when it is
// a symbolic link, and replacing that file so that a failed save never destroys the one before.
//
// Only a regular file is read, through any links that lead to it; a named pipe, a device or a folder is
// never waited for and counts as unreadable. No more than a cap is read, whatever size the file claims
// or turns out to have. Free of Qt; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>
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

// Replaces files through a temporary one beside them. Tests derive from it to make writing fail.
class TFileReplacer {
public:
    virtual ~TFileReplacer() = default;

    // Writes the bytes to TempName(path), flushes them to disk and renames the file over path: 0 when
    // done. On any failure the temporary file is removed, path is left as it was and the result tells
    // why: the errno of the call that failed, or ReplaceNotRegular when path is, or leads to, something
    // other than a regular file. When path is a symbolic link, all of that happens beside the file it
    // leads to, which is replaced; the link stays. The file keeps its permissions; a new one is its
    // owner's alone (0600).
    int Replace(const std::string& path, const std::uint8_t* data, std::size_t n);

    // The temporary file of a save of path, beside the file that path leads to.
    static std::string TempName(const std::string& path);

protected:
    // One write(2): the count written, or -1 with errno set.
    virtual ssize_t WriteSome(int fd, const std::uint8_t* data, std::size_t n);
    virtual bool Rename(const std::string& from, const std::string& to);

private:
    bool WriteAll(int fd, const std::uint8_t* data, std::size_t n);
};

// What Replace returns when the path leads to something other than a regular file (no errno is -1).
inline constexpr int ReplaceNotRegular = -1;

// Why a Replace failed, from what it returned, for a log line (Windows-1251).
std::string ReplaceProblem(int error);

// TFileReplacer::Replace on the real file system, with why it failed in problem.
bool ReplaceRegularFile(const std::string& path, const std::string& bytes, std::string& problem);
