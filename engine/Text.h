#pragma once

#include <string>
#include <string_view>

namespace quorvex {

// Removes leading and trailing spaces (U+0020 only; tabs and other blanks stay).
std::wstring TrimSpaces(std::wstring_view text);

// Equal but for the case of the letters A to Z, as the file system compares
// most names.
bool EqualIgnoringAsciiCase(std::wstring_view a, std::wstring_view b);

}  // namespace quorvex
