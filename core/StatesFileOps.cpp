#include "core/StatesFileOps.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string FolderOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The rename itself lasts only once the folder is on disk too.
void SyncFolder(const std::string& path) {
    int fd = ::open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

} // namespace

TStatesFileOps& StatesFileOps() {
    static TStatesFileOps ops;
    return ops;
}

TFileRead TStatesFileOps::ReadAll(const std::string& path, uint64_t maxSize, std::vector<uint8_t>& bytes) {
    return ReadRegularFile(path, maxSize, bytes);
}

std::string TStatesFileOps::TempName(const std::string& path) {
    std::string file;
    if (!LinkedFile(path, file))
        file = path;
    return file + ".tmp";
}

bool TStatesFileOps::Replace(const std::string& path, const uint8_t* data, size_t n) {
    // Through a link, the file it leads to is replaced: renaming over the link would leave its target
    // behind, never written again.
    std::string file;
    if (!LinkedFile(path, file))
        return false;
    // Nor is a pipe, a device or a folder there replaced, or written when a link leads to it.
    struct stat info {};
    if (::stat(file.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
        errno = 0;
        return false;
    }
    const std::string temp = file + ".tmp";
    // Made afresh: whatever stands under the name (a link, a pipe) is neither written through nor waited on.
    ::unlink(temp.c_str());
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    bool ok = WriteAll(fd, data, n) && ::fsync(fd) == 0;
    int error = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (ok && !Rename(temp, file)) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        ::unlink(temp.c_str());
        errno = error;
        return false;
    }
    SyncFolder(file);
    return true;
}

void TStatesFileOps::RemoveTemp(const std::string& path) {
    ::unlink(TempName(path).c_str());
}

ssize_t TStatesFileOps::WriteSome(int fd, const uint8_t* data, size_t n) {
    return ::write(fd, data, n);
}

bool TStatesFileOps::Rename(const std::string& from, const std::string& to) {
    return std::rename(from.c_str(), to.c_str()) == 0;
}

bool TStatesFileOps::WriteAll(int fd, const uint8_t* data, size_t n) {
    size_t done = 0;
    while (done < n) {
        ssize_t k = WriteSome(fd, data + done, n - done);
        if (k > 0)
            done += static_cast<size_t>(k);
        else if (k == 0 || errno != EINTR)
            return false;
    }
    return true;
}
