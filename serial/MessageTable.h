// The library's message table: the English text of every error code and of the positive numbers
// that name its status and log texts, 897 records sorted by the absolute value of their code.
//
// Every look-up takes the code's low 16 bits as a signed number and then its absolute value, so
// -2011 and 2011 find the same record. Records whose text this library never shows carry no text;
// for them, as for a number the table lacks, AproLoadStr falls back on the system's text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct AdMessageNumberLookupRecord {
    std::int32_t Code;
    const char* Text; // empty when the library never shows it
};

// Built once, on first use; read-only afterwards, so any thread may look up.
const std::vector<AdMessageNumberLookupRecord>& AdMessageNumberLookup();

// The table's text (at most 255 characters), or the empty text.
std::string MessageNumberToString(std::int16_t code);
// The table's text; else the system's text for the absolute value, its control characters made
// blanks and runs of blanks shortened to one; else empty.
std::string AproLoadStr(std::int16_t code);
std::string ErrorMsg(std::int32_t code); // AproLoadStr of the code's low 16 bits
// AproLoadStr of the code's low 16 bits as a zero-terminated text in dest, which holds at least
// AproLoadZSize characters; returns dest.
inline constexpr std::size_t AproLoadZSize = 256;
char* AproLoadZ(char* dest, std::int32_t code);
