// Stands in for the framework's TIniFile reader (GetPrivateProfile...): sections and name=value lines.
//
// The file is read once, as Windows-1251 text, when the object is made; a missing file reads as
// empty. Lines are trimmed; blank lines and lines starting with ';' are skipped; lines before the
// first section are ignored. A section name runs from '[' to the first ']' and may hold '=' and '-'.
// Section and value names compare without regard to case; a section that appears twice is one section.
#pragma once

#include <vector>

#include <QStringList>

struct TIniSection {
    QString Name;
    QStringList Lines; // trimmed, in file order, "name=value" or whatever the line holds
};

std::vector<TIniSection> ParseIni(const QString& text);
// The section of that name, or null.
const TIniSection* FindSection(const std::vector<TIniSection>& sections, const QString& name);
TIniSection* FindSection(std::vector<TIniSection>& sections, const QString& name);

class TIniFile {
public:
    explicit TIniFile(const QString& fileName);

    QStringList ReadSections() const;
    bool SectionExists(const QString& section) const { return Find(section) != nullptr; }
    // The section's lines with name and value trimmed around the first '='.
    QStringList ReadSectionValues(const QString& section) const;
    QString ReadString(const QString& section, const QString& name, const QString& fallback) const;

private:
    const TIniSection* Find(const QString& section) const { return FindSection(sections_, section); }
    std::vector<TIniSection> sections_;
};
