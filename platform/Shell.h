// Stands in for the shell's folders (the all-users application-data folder, CSIDL_COMMON_APPDATA),
// the file-system tests and folder creation the program uses, the executable's folder, and the
// global named mutex that keeps a second instance out.
//
// Paths use '/'. The application-data folder is $XDG_DATA_HOME, else ~/.local/share, without a
// trailing '/'.
#pragma once

#include <QString>

QString CommonAppDataFolder();
// The COM folder, <CommonAppDataFolder>/com: entry COMn names the device of port COMn (a symlink to a
// serial device, or to the slave of a virtual port); without an entry COMn is /dev/ttyS<n-1>.
QString ComFolder();
QString ExecutableFolder(); // with a trailing '/'
bool DirectoryExists(const QString& path);
bool FileExists(const QString& path);
// Creates the folder and the missing folders above it; true when it exists afterwards.
bool ForceDirectories(const QString& path);

// A named mutex held by this process from construction until destruction or the process's end,
// whichever comes first. It is a lock on a file named after the mutex in $XDG_RUNTIME_DIR (else /tmp),
// so the system releases it when the process dies, however it dies.
class TNamedMutex {
public:
    enum TStatus {
        Created,       // this process holds it now
        AlreadyExists, // another holder has it (another process, or another TNamedMutex here)
        AccessDenied,  // the lock file belongs to someone this process may not open it for
        Failed,        // no lock could be made (no folder for it)
    };

    explicit TNamedMutex(const QString& name);
    ~TNamedMutex();
    TNamedMutex(const TNamedMutex&) = delete;
    TNamedMutex& operator=(const TNamedMutex&) = delete;

    TStatus Status() const { return status_; }
    static QString LockFile(const QString& name);

private:
    int fd_ = -1;
    TStatus status_ = Failed;
};
