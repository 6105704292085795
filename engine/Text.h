#pragma once

#include <string>
#include <string_view>

namespace quorvex {

// Removes leading and trailing spaces (U+0020 only; tabs and other blanks stay).
std::wstring TrimSpaces(std::wstring_view text);

}  // namespace quorvex
