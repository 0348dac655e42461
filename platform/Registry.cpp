#include "platform/Registry.h"

#include <cstdint>
#include <cstdio>
#include <optional>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "platform/Cp1251.h"
#include "platform/Files.h"
#include "platform/VirtualPort.h"
#include "platform/Warning.h"

namespace {

constexpr const char* NotChanged = "the registry is not changed";

QString NormalKey(const QString& key) {
    return key.split(QLatin1Char('\\'), Qt::SkipEmptyParts).join('\\');
}

QString NameOf(const QString& line) {
    return line.section(QLatin1Char('='), 0, 0);
}

qsizetype FindValue(const TIniSection& key, const QString& name) {
    for (qsizetype i = 0; i < key.Lines.size(); ++i)
        if (NameOf(key.Lines[i]).compare(name, Qt::CaseInsensitive) == 0)
            return i;
    return -1;
}

bool ValidName(const QString& name) {
    return !name.isEmpty() && name.trimmed() == name && !name.contains(QLatin1Char('=')) &&
           !name.contains(QLatin1Char('\n')) && !name.contains(QLatin1Char('\r')) &&
           !name.startsWith(QLatin1Char('[')) && !name.startsWith(QLatin1Char(';'));
}

bool ValidValue(const QString& value) {
    return value.trimmed() == value && !value.contains(QLatin1Char('\n')) &&
           !value.contains(QLatin1Char('\r'));
}

// A lock on a file beside the store, held for one call.
class TStoreLock {
public:
    TStoreLock(const QString& store, int mode) {
        ForceDirectories(QFileInfo(store).absolutePath());
        fd_ = ::open(QFile::encodeName(store + QStringLiteral(".lock")).constData(),
                     O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ >= 0)
            ::flock(fd_, mode);
    }
    ~TStoreLock() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    TStoreLock(const TStoreLock&) = delete;
    TStoreLock& operator=(const TStoreLock&) = delete;
    bool Held() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

void Warn(const QString& store, const QString& problem, const char* outcome) {
    PlatformWarning(QStringLiteral("%1: %2; %3").arg(store, problem, QString::fromLatin1(outcome)));
}

// The keys of the store, none when it is missing; nothing, with why on stderr, when it is no regular
// file or cannot be read whole.
std::optional<std::vector<TIniSection>> Read(const QString& store, const char* outcome) {
    std::vector<std::uint8_t> bytes;
    const TFileRead read =
        ReadRegularFile(QFile::encodeName(store).toStdString(), TRegistry::MaxStoreSize, bytes);
    if (read.Result == rfMissing)
        return std::vector<TIniSection>();
    if (read.Result != rfRead) {
        Warn(store, FromCp1251(read.Problem()), outcome);
        return std::nullopt;
    }
    return ParseIni(QString::fromUtf8(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size())));
}

bool Write(const QString& store, const std::vector<TIniSection>& keys) {
    QString text;
    for (const TIniSection& key : keys) {
        text += QLatin1Char('[') + key.Name + QStringLiteral("]\n");
        for (const QString& line : key.Lines)
            text += line + QLatin1Char('\n');
    }
    std::string problem;
    if (ReplaceRegularFile(QFile::encodeName(store).toStdString(), text.toUtf8().toStdString(), problem))
        return true;
    Warn(store, FromCp1251(problem), NotChanged);
    return false;
}

} // namespace

TRegistry::TRegistry(QString storeFile) : store_(std::move(storeFile)) {}

QString TRegistry::DefaultStore() {
    return CommonAppDataFolder() + QStringLiteral("/registry/HKEY_CURRENT_USER");
}

std::vector<TIniSection> TRegistry::Load() const {
    const TStoreLock lock(store_, LOCK_SH);
    return Read(store_, "no registry keys").value_or(std::vector<TIniSection>());
}

template <class Edit> bool TRegistry::Change(Edit&& edit) {
    const TStoreLock lock(store_, LOCK_EX);
    if (!lock.Held())
        return false;
    // A store that cannot be read is kept: written anew, it would hold only this change.
    std::optional<std::vector<TIniSection>> keys = Read(store_, NotChanged);
    return keys && edit(*keys) && Write(store_, *keys);
}

bool TRegistry::OpenKey(const QString& key, bool canCreate) {
    const QString path = NormalKey(key);
    const bool opened = KeyExists(path) || (canCreate && !path.isEmpty() && Change([&](auto& keys) {
                                                if (!FindSection(keys, path))
                                                    keys.push_back({path, {}});
                                                return true;
                                            }));
    if (opened)
        key_ = path;
    return opened;
}

bool TRegistry::KeyExists(const QString& key) const {
    return FindSection(Load(), NormalKey(key)) != nullptr;
}

bool TRegistry::ValueExists(const QString& name) const {
    const std::vector<TIniSection> keys = Load();
    const TIniSection* key = FindSection(keys, key_);
    return key && FindValue(*key, name) >= 0;
}

QString TRegistry::ReadString(const QString& name) const {
    const std::vector<TIniSection> keys = Load();
    const TIniSection* key = FindSection(keys, key_);
    const qsizetype i = key ? FindValue(*key, name) : -1;
    return i < 0 ? QString() : key->Lines[i].section(QLatin1Char('='), 1);
}

bool TRegistry::WriteString(const QString& name, const QString& value) {
    if (key_.isEmpty() || !ValidName(name) || !ValidValue(value))
        return false;
    return Change([&](auto& keys) {
        TIniSection* key = FindSection(keys, key_);
        if (!key)
            key = &keys.emplace_back(TIniSection{key_, {}});
        const qsizetype i = FindValue(*key, name);
        if (i < 0)
            key->Lines.append(name + QLatin1Char('=') + value);
        else // the name keeps the spelling it was first written with
            key->Lines[i] = NameOf(key->Lines[i]) + QLatin1Char('=') + value;
        return true;
    });
}

bool TRegistry::DeleteValue(const QString& name) {
    return Change([&](auto& keys) {
        TIniSection* key = FindSection(keys, key_);
        const qsizetype i = key ? FindValue(*key, name) : -1;
        if (i < 0)
            return false;
        key->Lines.removeAt(i);
        return true;
    });
}

QStringList TRegistry::GetValueNames() const {
    const std::vector<TIniSection> keys = Load();
    const TIniSection* key = FindSection(keys, key_);
    QStringList names;
    if (key)
        for (const QString& line : key->Lines)
            names.append(NameOf(line));
    return names;
}

TLocalMachineRegistry::TLocalMachineRegistry(const QString& comFolder, const QString& ttyClass) {
    const QString root = QStringLiteral("SYSTEM\\CURRENTCONTROLSET\\ENUM");
    Key(root);
    std::vector<bool> named(257, false);
    const QDir com(comFolder);
    for (const QString& entry : com.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
        const int n = ComPortNumber(entry);
        if (n == 0 || entry != QStringLiteral("COM") + QString::number(n))
            continue;
        named[n] = true;
        const QString target = QFileInfo(com.filePath(entry)).symLinkTarget();
        const QString friendly = IsOwnVirtualPort(entry) ? QStringLiteral("KOLVAR Virtual Serial Port")
                                 : target.isEmpty()      ? QStringLiteral("Serial port")
                                                         : QStringLiteral("Serial port ") + target;
        AddPort(root + QStringLiteral("\\ROOT\\PORTS\\") + entry, n, friendly);
    }
    // The kernel registers its serial ports whether hardware answers at them or not.
    const QDir tty(ttyClass);
    for (const QString& entry : tty.entryList({QStringLiteral("ttyS*")}, QDir::AllEntries | QDir::System)) {
        bool ok = false;
        const int n = entry.mid(4).toInt(&ok) + 1;
        if (ok && n >= 1 && n <= 256 && !named[n] && QFileInfo::exists(tty.filePath(entry) + "/device"))
            AddPort(root + QStringLiteral("\\ACPI\\PNP0501\\") + entry, n,
                    QStringLiteral("Communications Port"));
    }
}

void TLocalMachineRegistry::AddPort(const QString& instance, int number, const QString& friendlyName) {
    const QString port = QStringLiteral("COM") + QString::number(number);
    TKey& key = Key(instance);
    key.Values[QStringLiteral("CLASS")] = QStringLiteral("Ports");
    key.Values[QStringLiteral("CLASSGUID")] = QStringLiteral("{4D36E978-E325-11CE-BFC1-08002BE10318}");
    key.Values[QStringLiteral("FRIENDLYNAME")] =
        friendlyName + QStringLiteral(" (") + port + QLatin1Char(')');
    Key(instance + QStringLiteral("\\Device Parameters")).Values[QStringLiteral("PORTNAME")] = port;
}

TLocalMachineRegistry::TKey& TLocalMachineRegistry::Key(const QString& path) {
    const QString upper = path.toUpper();
    if (auto found = keys_.find(upper); found != keys_.end())
        return found->second;
    const qsizetype cut = path.lastIndexOf(QLatin1Char('\\'));
    if (cut > 0)
        Key(path.left(cut)).SubKeys.append(path.mid(cut + 1));
    return keys_[upper];
}

const TLocalMachineRegistry::TKey* TLocalMachineRegistry::Current() const {
    const auto found = keys_.find(key_.toUpper());
    return key_.isEmpty() || found == keys_.end() ? nullptr : &found->second;
}

bool TLocalMachineRegistry::OpenKeyReadOnly(const QString& key) {
    const QString path = NormalKey(key);
    if (!keys_.count(path.toUpper()))
        return false;
    key_ = path;
    return true;
}

QStringList TLocalMachineRegistry::GetKeyNames() const {
    const TKey* key = Current();
    return key ? key->SubKeys : QStringList();
}

bool TLocalMachineRegistry::ValueExists(const QString& name) const {
    const TKey* key = Current();
    return key && key->Values.count(name.toUpper());
}

QString TLocalMachineRegistry::ReadString(const QString& name) const {
    const TKey* key = Current();
    if (!key)
        return {};
    const auto found = key->Values.find(name.toUpper());
    return found != key->Values.end() ? found->second : QString();
}
