// The threads of a call: the worker, and every thread born while the call
// is open, are the library's; the system's thread pool's are nobody's.
#pragma once

#include <windows.h>

#include "platform/foreign/Call.h"

namespace quorvex::foreign::threads {

// Once: the thread marking and the system functions it needs, looked up now.
// `windowThread` is never ended. False when no thread can be marked.
bool Install(DWORD windowThread);

// The threads there when a call opens, listed and held open until it is let
// go of, so that no thread born meanwhile gets one of their identifiers; then
// the call is the open one.
void Open(Call& call);
// The call is no longer the open one. Returns whether threads born during it
// still run (or could not be listed); those not yet started are marked when
// they take their first step.
bool Close(Call& call);

// The worker's own mark.
void MarkThisThread(Call& call);
// The call whose library this thread belongs to; null on every other thread.
const Call* CallOfThisThread();
// The call that a library mapped now belongs to: the open one, or the one
// whose thread maps it.
Call* CallOfLoad();
bool IsWindowThread();
// Whether this thread is one of the system's thread pool (it starts in
// ntdll): it serves anyone's work, and the system must never see it ended.
bool IsThreadPoolThread();

}  // namespace quorvex::foreign::threads
