// The handlers that contain a library's faults, and what they do with the
// thread a fault happened on: the library's own threads and the worker are
// ended, a thread of the system's pool is parked for good, the window's
// thread is never touched.
#pragma once

#include <windows.h>

#include "platform/foreign/Call.h"

namespace quorvex::foreign::handlers {

// Once: the process's filter and the program's vectored handler.
void Install();
// A library may clear or replace the filter, or add a vectored handler of its
// own ahead of the program's: both are put back first, around every call.
void PutBack();
// The worker's start routine: the call's body with a frame handler of the
// program's own below it, which ends the worker at a fault its code does not
// handle, whatever a library has done to the filter.
DWORD WINAPI RunWorker(LPVOID call);

}  // namespace quorvex::foreign::handlers
