#include "core/StatesFileOps.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <new>
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

TStatesFileOps::TReadResult TStatesFileOps::ReadAll(const std::string& path, std::vector<uint8_t>& bytes) {
    bytes.clear();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? frMissing : frFailed;
    struct stat info {};
    bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    try {
        if (ok)
            bytes.resize(static_cast<size_t>(info.st_size));
    } catch (const std::bad_alloc&) {
        ok = false;
    }
    if (ok) {
        size_t done = 0;
        while (ok && done < bytes.size()) {
            ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
            if (n > 0)
                done += static_cast<size_t>(n);
            else if (n == 0 || errno != EINTR)
                ok = false;
        }
    }
    ::close(fd);
    if (!ok)
        bytes.clear();
    return ok ? frRead : frFailed;
}

bool TStatesFileOps::Replace(const std::string& path, const uint8_t* data, size_t n) {
    std::string temp = TempName(path);
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    bool ok = WriteAll(fd, data, n) && ::fsync(fd) == 0;
    int error = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (ok && !Rename(temp, path)) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        ::unlink(temp.c_str());
        errno = error;
        return false;
    }
    SyncFolder(path);
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
