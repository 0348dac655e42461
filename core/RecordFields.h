// Field types shared by the records of the state file.
//
// Texts in records are Windows-1251 bytes in std::string. Fixed-width text fields are char arrays:
// NUL-terminated where the record says so, a password exactly 16 bytes without a NUL.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <string>
#include <string_view>

// Days since 1899-12-30 00:00 local time, the fraction the time of day (as platform/Clock.h).
using TDateTime = double;

inline constexpr size_t PasswordLength = 16;
using TPassword = std::array<char, PasswordLength>;
// No password is set; also the modems' factory key.
inline constexpr std::string_view NoPassword = "8888888888888888";

// The text cut to 16 bytes and filled up on the right with the marker's character.
inline TPassword MakePassword(std::string_view text) {
    TPassword password;
    password.fill(NoPassword[0]);
    std::copy_n(text.begin(), std::min(text.size(), PasswordLength), password.begin());
    return password;
}

inline std::string PasswordText(const TPassword& password) {
    return std::string(password.begin(), password.end());
}

// The text of a NUL-terminated fixed field (the whole field when it holds no NUL).
template <size_t N> std::string FixedText(const std::array<char, N>& field) {
    auto end = std::find(field.begin(), field.end(), '\0');
    return std::string(field.begin(), end);
}

// Stores at most N - 1 bytes of the text and clears the rest of the field.
template <size_t N> void SetFixedText(std::array<char, N>& field, std::string_view text) {
    field.fill('\0');
    std::copy_n(text.begin(), std::min(text.size(), N - 1), field.begin());
}
