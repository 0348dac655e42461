#include "platform/IniFile.h"

#include <utility>

#include <QFile>

#include "platform/Cp1251.h"

namespace {

QString TrimmedPair(const QString& line) {
    const qsizetype equals = line.indexOf(QLatin1Char('='));
    if (equals < 0)
        return line;
    return line.left(equals).trimmed() + QLatin1Char('=') + line.mid(equals + 1).trimmed();
}

} // namespace

std::vector<TIniSection> ParseIni(const QString& text) {
    std::vector<TIniSection> sections;
    TIniSection* current = nullptr;
    for (const QString& raw : text.split(QLatin1Char('\n'))) {
        const QString line = raw.trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char(';')))
            continue;
        if (line.startsWith(QLatin1Char('['))) {
            const qsizetype close = line.indexOf(QLatin1Char(']'));
            const QString name = line.mid(1, close < 0 ? -1 : close - 1).trimmed();
            current = FindSection(sections, name);
            if (!current)
                current = &sections.emplace_back(TIniSection{name, {}});
            continue;
        }
        if (current)
            current->Lines.append(TrimmedPair(line));
    }
    return sections;
}

TIniFile::TIniFile(const QString& fileName) {
    QFile file(fileName);
    if (file.open(QIODevice::ReadOnly)) {
        const QByteArray bytes = file.readAll();
        sections_ = ParseIni(FromCp1251(std::string_view(bytes.constData(), std::size_t(bytes.size()))));
    }
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
