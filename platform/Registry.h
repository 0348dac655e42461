// Stands in for the registry keys the program writes itself (TRegistry on HKEY_CURRENT_USER):
// string values of a key, read, written, listed and deleted.
//
// The keys live in one text file per user, by default <application-data folder>/registry/
// HKEY_CURRENT_USER, as sections named by the key's path with one name=value line per value. Every
// call reads the file afresh and every change rewrites it whole under a lock, so several processes
// may use the same key. Key paths use '\' and, like value names, compare without regard to case.
// Value names may not hold '=' or line breaks, nor values line breaks; such writes are refused.
#pragma once

#include <vector>

#include <QStringList>

#include "platform/IniFile.h"

class TRegistry {
public:
    explicit TRegistry(QString storeFile = DefaultStore());
    static QString DefaultStore();

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
