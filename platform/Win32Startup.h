// Settings that hold for the whole process, made once, first thing at
// start-up, before any window or common-controls call.
#pragma once

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

}  // namespace quorvex
