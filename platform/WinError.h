// Stands in for the Windows error numbers that the platform's Win32-shaped calls report
// (GetLastError, SetLastError) and for FormatMessage of the system's message table.
//
// Each failing call sets the calling thread's last error: the Windows number the caller tests and,
// beside it, the POSIX errno it came from, so that a log line can name the real reason (two errors
// that Windows folds into one number, such as "in use" and "permission denied" for
// ERROR_ACCESS_DENIED, stay apart). Both are per thread, as on Windows.
#pragma once

#include <cstdint>
#include <string>

inline constexpr std::uint32_t ERROR_SUCCESS = 0;
inline constexpr std::uint32_t ERROR_INVALID_FUNCTION = 1;
inline constexpr std::uint32_t ERROR_FILE_NOT_FOUND = 2;
inline constexpr std::uint32_t ERROR_PATH_NOT_FOUND = 3;
inline constexpr std::uint32_t ERROR_TOO_MANY_OPEN_FILES = 4;
inline constexpr std::uint32_t ERROR_ACCESS_DENIED = 5;
inline constexpr std::uint32_t ERROR_INVALID_HANDLE = 6;
inline constexpr std::uint32_t ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr std::uint32_t ERROR_GEN_FAILURE = 31;
inline constexpr std::uint32_t ERROR_INVALID_PARAMETER = 87;
inline constexpr std::uint32_t ERROR_OPERATION_ABORTED = 995;
inline constexpr std::uint32_t ERROR_IO_INCOMPLETE = 996;
inline constexpr std::uint32_t ERROR_IO_PENDING = 997;
inline constexpr std::uint32_t ERROR_DEVICE_NOT_CONNECTED = 1167;
inline constexpr std::uint32_t ERROR_NOT_FOUND = 1168;

std::uint32_t GetLastError();
void SetLastError(std::uint32_t code); // the errno beside it becomes the one that code stands for
void SetLastError(std::uint32_t code, int error);
int GetLastErrno(); // the POSIX reason behind GetLastError, 0 when none

// Sets both from a POSIX errno (ENOENT gives ERROR_FILE_NOT_FOUND, EACCES and EBUSY give
// ERROR_ACCESS_DENIED, ...) and returns the Windows number.
std::uint32_t SetLastErrorFromErrno(int error);
std::uint32_t WinErrorFromErrno(int error);

// The system's text for a Windows error number: the text of the errno that it stands for; empty for
// a number this platform never reports.
std::string SysErrorMessage(std::uint32_t code);
// The text of a POSIX errno ("Permission denied"); empty for 0.
std::string ErrnoText(int error);
