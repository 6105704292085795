// Settings that hold for the whole process, made once, first thing at
// start-up, before any window or common-controls call.
#pragma once

#include <windows.h>

#include "platform/Handles.h"

namespace quorvex {

// - No system message box for a drive without a medium or a file the loader
//   cannot open: every outcome belongs in the window's rows.
// - Libraries loaded by name (by the program or by the system on its behalf)
//   come from the system folder only, never from the program's own folder,
//   where anyone's file may lie beside it.
void ApplyProcessSettings();

// Whether this system has SetDefaultDllDirectories and the LOAD_LIBRARY_SEARCH_
// flags: Windows 8 and later, and Windows 7 with its loader update (KB2533623).
bool HasDllSearchFlags();

// A system library loaded by its full path in the system folder, never by
// its bare name; its own imports come from there too. Null when it is missing.
UniqueModule LoadSystemLibrary(const wchar_t* name);

// An export of a module, as the function type it has; null when the module
// or the export is missing.
template <typename Function>
Function ProcAddress(HMODULE module, const char* name) {
    if (module == nullptr) {
        return nullptr;
    }
    // Through the generic function type, which converts to any other.
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(::GetProcAddress(module, name)));
}

}  // namespace quorvex
