// What holds for the whole process and a library's code may change: the
// error mode, the folders searched for libraries loaded by name, the current
// folder. A call sets its library's folder in the search, and every call
// puts the program's own settings back as it ends.
#pragma once

#include <string>

#include "platform/foreign/Call.h"

namespace quorvex::foreign::settings {

// Once, before any library's code runs: the program's own settings, to be put back.
void Install();
// As a call opens: its current folder is noted, and its library's folder
// joins the search of loads by name, ahead of any folder a library added.
void Open(Call& call, const std::wstring& libraryPath);
// As a call ends: the program's settings again, and the call's current
// folder; the library's folder leaves the search.
void PutBack(Call& call);

}  // namespace quorvex::foreign::settings
