#include "platform/Win32Startup.h"

#include <windows.h>

namespace quorvex {

void ApplyProcessSettings() {
    // A message box would freeze the window with no time limit; the library
    // loader and the file calls report their failure instead.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
}

}  // namespace quorvex
