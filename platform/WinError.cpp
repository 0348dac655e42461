#include "platform/WinError.h"

#include <cerrno>
#include <cstring>

namespace {

thread_local std::uint32_t lastError = ERROR_SUCCESS;
thread_local int lastErrno = 0;

struct TErrnoMap {
    int Errno;
    std::uint32_t Code;
};

// The first row of a code is the errno whose text stands for it.
constexpr TErrnoMap ErrnoMap[] = {
    {EINVAL, ERROR_INVALID_PARAMETER},    {ENOTTY, ERROR_INVALID_FUNCTION},
    {ENOENT, ERROR_FILE_NOT_FOUND},       {ENOTDIR, ERROR_PATH_NOT_FOUND},
    {EMFILE, ERROR_TOO_MANY_OPEN_FILES},  {ENFILE, ERROR_TOO_MANY_OPEN_FILES},
    {EBUSY, ERROR_ACCESS_DENIED},         {EACCES, ERROR_ACCESS_DENIED},
    {EPERM, ERROR_ACCESS_DENIED},         {EBADF, ERROR_INVALID_HANDLE},
    {ENOMEM, ERROR_NOT_ENOUGH_MEMORY},    {EIO, ERROR_GEN_FAILURE},
    {ECANCELED, ERROR_OPERATION_ABORTED}, {EINPROGRESS, ERROR_IO_PENDING},
    {ENODEV, ERROR_DEVICE_NOT_CONNECTED}, {ENXIO, ERROR_DEVICE_NOT_CONNECTED},
};

int ErrnoForCode(std::uint32_t code) {
    for (const TErrnoMap& row : ErrnoMap) {
        if (row.Code == code)
            return row.Errno;
    }
    return 0;
}

} // namespace

std::uint32_t GetLastError() {
    return lastError;
}

void SetLastError(std::uint32_t code) {
    lastError = code;
    lastErrno = ErrnoForCode(code);
}

void SetLastError(std::uint32_t code, int error) {
    lastError = code;
    lastErrno = error;
}

int GetLastErrno() {
    return lastErrno;
}

std::uint32_t WinErrorFromErrno(int error) {
    for (const TErrnoMap& row : ErrnoMap) {
        if (row.Errno == error)
            return row.Code;
    }
    return ERROR_GEN_FAILURE;
}

std::uint32_t SetLastErrorFromErrno(int error) {
    SetLastError(WinErrorFromErrno(error), error);
    return lastError;
}

std::string SysErrorMessage(std::uint32_t code) {
    return ErrnoText(ErrnoForCode(code));
}

std::string ErrnoText(int error) {
    if (error == 0)
        return {};
    const char* text = strerrordesc_np(error);
    return text ? text : std::string();
}
