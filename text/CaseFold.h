#pragma once

#include <string_view>

// Comparison of code page 1251 text without regard to case: Latin and
// Cyrillic letters (Ё, Ґ, Ў, Є, Ї, І and the rest) fold to their capitals.
// The folding table is derived once from the Unicode case rules of the C
// library, never from the process locale, so it answers the same under every
// environment.
namespace od {

char UpperCp1251(char c) noexcept;
bool EqualsIgnoreCaseCp1251(std::string_view a, std::string_view b) noexcept;
bool StartsWithIgnoreCaseCp1251(std::string_view text, std::string_view prefix) noexcept;

} // namespace od
