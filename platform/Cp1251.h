// Stands in for the Windows-1251 code page (MultiByteToWideChar and back, CP 1251).
//
// The state file, passwords and log lines hold Windows-1251 bytes; the screen shows Unicode. Bytes
// 0x00-0x7F are ASCII. Byte 0x98, which the code page leaves unassigned, maps to U+0098 and back, so
// every byte string survives a round trip.
#pragma once

#include <string>
#include <string_view>

#include <QString>
#include <QValidator>

QString FromCp1251(std::string_view bytes);
// A character that Windows-1251 cannot hold becomes '?'.
std::string ToCp1251(const QString& text);
// Whether every character of the text can be held in Windows-1251.
bool IsCp1251(const QString& text);

// Refuses, as it is typed, text that Windows-1251 cannot hold (names and passwords are stored in it).
class TCp1251Validator : public QValidator {
public:
    using QValidator::QValidator;
    State validate(QString& input, int&) const override { return IsCp1251(input) ? Acceptable : Invalid; }
};
