#include "platform/IniFile.h"

#include <utility>

#include <QFile>

#include "platform/Cp1251.h"
#include "platform/Files.h"

namespace {

// "name=value" with both trimmed around the first '='; the line as it is without one.
QString TrimmedPair(QStringView line) {
    const qsizetype equals = line.indexOf(u'=');
    if (equals < 0)
        return line.toString();
    const QStringView name = line.left(equals).trimmed(), value = line.mid(equals + 1).trimmed();
    QString pair;
    pair.reserve(name.size() + 1 + value.size());
    return pair.append(name).append(u'=').append(value);
}

} // namespace

std::vector<TIniSection> ParseIni(const QString& text, TIniIndex* sectionIndex) {
    std::vector<TIniSection> sections;
    TIniIndex ownIndex;
    TIniIndex& index = sectionIndex ? *sectionIndex : ownIndex;
    index.clear();
    TIniSection* current = nullptr;
    const QStringView all(text);
    for (qsizetype start = 0; start <= all.size();) {
        qsizetype end = all.indexOf(u'\n', start);
        if (end < 0)
            end = all.size();
        const QStringView line = all.mid(start, end - start).trimmed();
        start = end + 1;
        if (line.isEmpty() || line.startsWith(u';'))
            continue;
        if (line.startsWith(u'[')) {
            const qsizetype close = line.indexOf(u']');
            const QString name = line.mid(1, close < 0 ? -1 : close - 1).trimmed().toString();
            QString key = IniNameKey(name);
            auto found = index.constFind(key);
            if (found == index.cend()) {
                found = index.insert(std::move(key), sections.size());
                sections.push_back(TIniSection{name, {}});
            }
            current = &sections[found.value()];
            continue;
        }
        if (current)
            current->Lines.append(TrimmedPair(line));
    }
    return sections;
}

TIniFile::TIniFile(const QString& fileName) {
    std::vector<std::uint8_t> bytes;
    const TFileRead read = ReadRegularFile(QFile::encodeName(fileName).toStdString(), MaxFileSize, bytes);
    if (read.Result != rfRead) {
        if (read.Result != rfMissing)
            problem_ = read.Problem();
        return;
    }
    sections_ = ParseIni(
        FromCp1251(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size())), &index_);
}

const TIniSection* TIniFile::Find(const QString& section) const {
    const auto found = index_.constFind(IniNameKey(section));
    return found == index_.cend() ? nullptr : &sections_[found.value()];
}

QStringList TIniFile::ReadSections() const {
    QStringList names;
    for (const TIniSection& s : sections_)
        names.append(s.Name);
    return names;
}

QStringList TIniFile::ReadSectionValues(const QString& section) const {
    const TIniSection* s = Find(section);
    return s ? s->Lines : QStringList();
}

QString TIniFile::ReadString(const QString& section, const QString& name, const QString& fallback) const {
    for (const QString& line : ReadSectionValues(section)) {
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (equals >= 0 && line.left(equals).compare(name, Qt::CaseInsensitive) == 0)
            return line.mid(equals + 1);
    }
    return fallback;
}

const TIniSection* FindSection(const std::vector<TIniSection>& sections, const QString& name) {
    for (const TIniSection& s : sections)
        if (s.Name.compare(name, Qt::CaseInsensitive) == 0)
            return &s;
    return nullptr;
}

TIniSection* FindSection(std::vector<TIniSection>& sections, const QString& name) {
    return const_cast<TIniSection*>(FindSection(std::as_const(sections), name));
}
