#include "platform/Shell.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include "platform/ComFolder.h"

namespace {

QString FromEnvironment(const char* name) {
    return QString::fromLocal8Bit(qgetenv(name));
}

QString WithoutTrailingSlash(QString path) {
    while (path.size() > 1 && path.endsWith(QLatin1Char('/')))
        path.chop(1);
    return path;
}

} // namespace

QString CommonAppDataFolder() {
    return QString::fromLocal8Bit(CommonAppDataPath());
}

QString ComFolder() {
    return QString::fromLocal8Bit(ComFolderPath());
}

QString ExecutableFolder() {
    const QString folder =
        QCoreApplication::instance()
            ? QCoreApplication::applicationDirPath()
            : QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath().section('/', 0, -2);
    return WithoutTrailingSlash(folder) + QLatin1Char('/');
}

bool DirectoryExists(const QString& path) {
    return QFileInfo(path).isDir();
}

bool FileExists(const QString& path) {
    const QFileInfo info(path);
    return info.exists() && !info.isDir();
}

bool ForceDirectories(const QString& path) {
    return QDir().mkpath(path) && DirectoryExists(path);
}

QString TNamedMutex::LockFile(const QString& name) {
    QString folder = FromEnvironment("XDG_RUNTIME_DIR");
    if (folder.isEmpty() || !DirectoryExists(folder))
        folder = QStringLiteral("/tmp");
    QString file = name;
    file.replace(QLatin1Char('\\'), QLatin1Char('_')).replace(QLatin1Char('/'), QLatin1Char('_'));
    return WithoutTrailingSlash(folder) + QLatin1Char('/') + file + QStringLiteral(".lock");
}

TNamedMutex::TNamedMutex(const QString& name) {
    const QByteArray path = QFile::encodeName(LockFile(name));
    fd_ = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0) {
        status_ = errno == EACCES || errno == EPERM ? AccessDenied : Failed;
        return;
    }
    if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) {
        status_ = Created;
        return;
    }
    status_ = errno == EWOULDBLOCK ? AlreadyExists : Failed;
    ::close(fd_);
    fd_ = -1;
}

TNamedMutex::~TNamedMutex() {
    if (fd_ >= 0)
        ::close(fd_);
}
