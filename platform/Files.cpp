#include "platform/Files.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <new>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/SysError.h"

namespace {

// Links that lead to links: as many as the system itself follows.
constexpr int MaxLinks = 40;

TFileRead Outcome(TReadFileResult result, int error, std::uint64_t maxSize) {
    return TFileRead{result, error, maxSize};
}

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The rename itself lasts only once the folder is on disk too.
void SyncFolder(const std::string& path) {
    const int fd = ::open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

// Reads to the end, or one byte beyond maxSize; the file's own size is only where to start.
TFileRead ReadOpen(int fd, std::uint64_t sizeHint, std::uint64_t maxSize, std::vector<std::uint8_t>& bytes) {
    std::size_t done = 0;
    try {
        bytes.resize(std::size_t(std::min(sizeHint, maxSize) + 1));
        for (;;) {
            const ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return Outcome(rfFailed, errno, maxSize);
            if (n == 0)
                break;
            done += std::size_t(n);
            if (done > maxSize)
                return Outcome(rfTooLarge, 0, maxSize); // it grew past the cap while being read
            if (done == bytes.size())
                bytes.resize(std::size_t(std::min<std::uint64_t>(maxSize + 1, std::uint64_t(done) * 2)));
        }
    } catch (const std::bad_alloc&) {
        return Outcome(rfFailed, ENOMEM, maxSize);
    }
    bytes.resize(done);
    return Outcome(rfRead, 0, maxSize);
}

} // namespace

std::string TFileRead::Problem() const {
    switch (Result) {
    case rfRead:
        return {};
    case rfNotRegular:
        return NotRegularFile;
    case rfTooLarge:
        return "larger than " + std::to_string(MaxSize) + " bytes";
    case rfMissing:
    case rfFailed:
        break;
    }
    return SysErrorMessage(Error);
}

TFileRead ReadRegularFile(const std::string& path, std::uint64_t maxSize, std::vector<std::uint8_t>& bytes) {
    bytes.clear();
    // Looked at before it is opened: opening a device may do something (a serial port raises its lines),
    // and opening a named pipe waits for a writer.
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        return Outcome(errno == ENOENT ? rfMissing : rfFailed, errno, maxSize);
    if (!S_ISREG(info.st_mode))
        return Outcome(rfNotRegular, 0, maxSize);
    if (std::uint64_t(info.st_size) > maxSize)
        return Outcome(rfTooLarge, 0, maxSize);
    // Without waiting all the same, for a pipe put in its place meanwhile.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return Outcome(errno == ENOENT ? rfMissing : rfFailed, errno, maxSize);
    TFileRead read;
    if (::fstat(fd, &info) != 0)
        read = Outcome(rfFailed, errno, maxSize);
    else if (!S_ISREG(info.st_mode))
        read = Outcome(rfNotRegular, 0, maxSize);
    else
        read = ReadOpen(fd, std::uint64_t(info.st_size), maxSize, bytes);
    ::close(fd);
    if (read.Result != rfRead)
        bytes = std::vector<std::uint8_t>();
    return read;
}

bool LinkedFile(const std::string& path, std::string& file) {
    file = path;
    for (int links = 0; links < MaxLinks; ++links) {
        struct stat info {};
        if (::lstat(file.c_str(), &info) != 0 || !S_ISLNK(info.st_mode))
            return true; // the file itself, or the place where a save creates it
        char target[PATH_MAX];
        const ssize_t n = ::readlink(file.c_str(), target, sizeof target);
        if (n < 0)
            return false;
        if (std::size_t(n) == sizeof target) {
            errno = ENAMETOOLONG;
            return false;
        }
        // A relative target is relative to the link's folder.
        const std::size_t slash = file.rfind('/');
        const std::string folder =
            target[0] == '/' || slash == std::string::npos ? "" : file.substr(0, slash + 1);
        file = folder + std::string(target, std::size_t(n));
    }
    errno = ELOOP;
    return false;
}

std::string TFileReplacer::TempName(const std::string& path) {
    std::string file;
    if (!LinkedFile(path, file))
        file = path;
    return file + ".tmp";
}

int TFileReplacer::Replace(const std::string& path, const std::uint8_t* data, std::size_t n) {
    // Through a link, the file it leads to is replaced: renaming over the link would leave its target
    // behind, never written again.
    std::string file;
    if (!LinkedFile(path, file))
        return errno;
    // Nor is a pipe, a device or a folder there replaced, or written when a link leads to it.
    struct stat info {};
    const bool there = ::stat(file.c_str(), &info) == 0;
    if (there && !S_ISREG(info.st_mode))
        return ReplaceNotRegular;
    const std::string temp = file + ".tmp";
    // Made afresh: whatever stands under the name (a link, a pipe) is neither written through nor waited on.
    ::unlink(temp.c_str());
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return errno;
    // The file replaced keeps its permissions: one a user shares with others stays shared.
    if (there)
        ::fchmod(fd, info.st_mode & 0777);
    int error = WriteAll(fd, data, n) && ::fsync(fd) == 0 ? 0 : errno;
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0 && !Rename(temp, file))
        error = errno;
    if (error != 0) {
        ::unlink(temp.c_str());
        return error;
    }
    SyncFolder(file);
    return 0;
}

ssize_t TFileReplacer::WriteSome(int fd, const std::uint8_t* data, std::size_t n) {
    return ::write(fd, data, n);
}

bool TFileReplacer::Rename(const std::string& from, const std::string& to) {
    return std::rename(from.c_str(), to.c_str()) == 0;
}

bool TFileReplacer::WriteAll(int fd, const std::uint8_t* data, std::size_t n) {
    std::size_t done = 0;
    while (done < n) {
        const ssize_t k = WriteSome(fd, data + done, n - done);
        if (k > 0) {
            done += std::size_t(k);
        } else if (k == 0) {
            errno = ENOSPC; // what a write that takes nothing means here
            return false;
        } else if (errno != EINTR) {
            return false;
        }
    }
    return true;
}

std::string ReplaceProblem(int error) {
    return error != ReplaceNotRegular ? SysErrorMessage(error) : std::string(NotRegularFile);
}

bool ReplaceRegularFile(const std::string& path, const std::string& bytes, std::string& problem) {
    TFileReplacer replacer;
    const int error =
        replacer.Replace(path, reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    if (error != 0)
        problem = ReplaceProblem(error);
    return error == 0;
}
