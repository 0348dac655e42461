// Stands in for the registry: the keys the program writes itself (TRegistry on HKEY_CURRENT_USER):
// string values of a key, read, written, listed and deleted.
//
// The keys live in one text file per user, by default <application-data folder>/registry/
// HKEY_CURRENT_USER, as sections named by the key's path with one name=value line per value. Every
// call reads the file afresh and every change rewrites it whole under a lock, so several processes
// may use the same key. Key paths use '\' and, like value names, compare without regard to case.
// Value names may not hold '=' or line breaks, nor values line breaks; such writes are refused.
// A store that is no regular file or larger than MaxStoreSize holds no keys and is never changed;
// standard error says why. A store that is a symbolic link is changed through it.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include <QStringList>

#include "platform/IniFile.h"
#include "platform/Shell.h"

class TRegistry {
public:
    explicit TRegistry(QString storeFile = DefaultStore());
    static QString DefaultStore();
    static constexpr std::uint64_t MaxStoreSize = 1 << 20; // far more than the values the program writes

    // Makes the key current; false when it does not exist and may not be created (or cannot be).
    bool OpenKey(const QString& key, bool canCreate);
    void CloseKey() { key_.clear(); }
    QString CurrentPath() const { return key_; }
    bool KeyExists(const QString& key) const;

    // Of the current key.
    bool ValueExists(const QString& name) const;
    QString ReadString(const QString& name) const; // empty when there is no such value
    bool WriteString(const QString& name, const QString& value);
    bool DeleteValue(const QString& name);
    QStringList GetValueNames() const;

private:
    std::vector<TIniSection> Load() const;
    template <class Edit> bool Change(Edit&& edit);

    QString store_;
    QString key_;
};

// Stands in for HKEY_LOCAL_MACHINE, read only. Of it only the serial ports of the device enumeration
// exist, synthesised when the object is made, one instance key per port:
//   SYSTEM\CURRENTCONTROLSET\ENUM\ROOT\PORTS\COMn      an entry COMn of the COM folder
//   SYSTEM\CURRENTCONTROLSET\ENUM\ACPI\PNP0501\ttySk   a serial port of the kernel, which is COM(k+1)
//                                                       unless the COM folder names that port
// each with the values CLASS "Ports", CLASSGUID (the ports class) and FRIENDLYNAME, and the subkey
// DEVICE PARAMETERS with PORTNAME "COMn". A virtual port that this process serves is named
// "KOLVAR Virtual Serial Port (COMn)". Key paths use '\' and, like value names, compare without
// regard to case.
class TLocalMachineRegistry {
public:
    explicit TLocalMachineRegistry(const QString& comFolder = ComFolder(),
                                   const QString& ttyClass = QStringLiteral("/sys/class/tty"));

    // Makes the key current; false when it does not exist.
    bool OpenKeyReadOnly(const QString& key);
    void CloseKey() { key_.clear(); }
    // Of the current key: the names of its subkeys, its values.
    QStringList GetKeyNames() const;
    bool ValueExists(const QString& name) const;
    QString ReadString(const QString& name) const; // empty when there is no such value

private:
    struct TKey {
        QStringList SubKeys;
        std::map<QString, QString> Values; // by upper-case name
    };
    void AddPort(const QString& instance, int number, const QString& friendlyName);
    TKey& Key(const QString& path); // made with the keys above it when missing
    const TKey* Current() const;

    std::map<QString, TKey> keys_; // by upper-case path
    QString key_;
};
