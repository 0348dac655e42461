// Stands in for the framework's TIniFile reader (GetPrivateProfile...): sections and name=value lines.
//
// The file is read once, as Windows-1251 text, when the object is made; a missing file reads as
// empty, and so does one that is no regular file or is larger than MaxFileSize (ReadProblem says why).
// Lines are trimmed; blank lines and lines starting with ';' are skipped; lines before the first
// section are ignored. A section name runs from '[' to the first ']' and may hold '=' and '-'.
// Section and value names compare without regard to case; a section that appears twice is one
// section, in the place where it first appears. Sections are found through an index.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <QHash>
#include <QStringList>

struct TIniSection {
    QString Name;
    QStringList Lines; // trimmed, in file order, "name=value" or whatever the line holds
};

// Two names that compare equal without regard to case have the same key.
inline QString IniNameKey(const QString& name) {
    return name.toCaseFolded();
}
// The place of each section by the key of its name.
using TIniIndex = QHash<QString, std::size_t>;

// The sections in file order; index, when given, receives the place of each.
std::vector<TIniSection> ParseIni(const QString& text, TIniIndex* index = nullptr);
// The section of that name, or null.
const TIniSection* FindSection(const std::vector<TIniSection>& sections, const QString& name);
TIniSection* FindSection(std::vector<TIniSection>& sections, const QString& name);

class TIniFile {
public:
    // Far above any file written by hand.
    static constexpr std::uint64_t MaxFileSize = 4 << 20;

    explicit TIniFile(const QString& fileName);

    // Why a file that is there was not read (Windows-1251); empty when it was read or is missing.
    const std::string& ReadProblem() const { return problem_; }

    QStringList ReadSections() const;
    bool SectionExists(const QString& section) const { return Find(section) != nullptr; }
    // The section's lines with name and value trimmed around the first '='.
    QStringList ReadSectionValues(const QString& section) const;
    QString ReadString(const QString& section, const QString& name, const QString& fallback) const;

private:
    const TIniSection* Find(const QString& section) const;
    std::vector<TIniSection> sections_;
    TIniIndex index_;
    std::string problem_;
};
