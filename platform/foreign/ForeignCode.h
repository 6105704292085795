// What the program does about code it did not write: the libraries it loads,
// the libraries they bring in, the threads they start and the work they
// leave to the system's thread pool. That code runs in this process, so it
// can only be contained:
// - a fault it does not handle stops only the thread it happened on (a
//   thread of the system's pool is parked for good, never ended), and its
//   library stays loaded for the rest of the process;
// - a thread born while a call of a library's code runs belongs to that
//   library, and keeps it loaded while it runs;
// - code called in the place an image of the call occupied, once it is
//   unmapped, answers by returning at once rather than faulting at every
//   call (a timer, a handler or a notification left with the system).
// This header is the one door to it; the rest of platform/foreign/ is its
// rooms: CallThreads, LibraryPlaces, Answers, FaultHandlers, CallSettings,
// which share Call.h below it and never include it.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "platform/foreign/Call.h"

namespace quorvex::foreign {

// Once, before any library's code runs (as the first call opens, not at
// start-up), for the rest of the process, on the window's thread: the thread
// marking, the loader's notices of mapped images, the process's filter and
// vectored handler, on x86 where the system calls callbacks from, and the
// system functions the containment needs, looked up now so that no later
// step of it waits for the loader. False when a fault could not be
// contained: then no library's code may run.
bool Install();

// Opens a call of the library at `libraryPath` (fully qualified): threads
// born from now on are the library's, and its loads by name search its own
// folder first. Its worker is started by StartWorker.
std::unique_ptr<Call> Open(const std::wstring& libraryPath);
// Starts the call's worker, which runs call.body(call.argument) with a frame
// handler of its own below it: a fault there ends only the worker, whatever a
// library has done to the process's filter. Null when no thread was made.
HANDLE StartWorker(Call& call);
// The library that the call loaded, as soon as it has; null when the load
// failed, and then the places of the images it mapped stay reserved as a
// release's do.
void NoteLibrary(Call& call, HMODULE library);
// Closes the call's window: threads born from now on are not the library's.
// The first of the worker and its caller to close it lists the threads born
// during it that still run. True when the library must stay loaded: such a
// thread runs, or the caller had closed the call first, having given up.
// The first also puts back the process-wide settings that the program
// relies on and the library's code may have changed: the filter and the
// program's vectored handler (first again), the error mode, the folders
// searched for libraries loaded by name, the current folder.
bool Close(Call& call);
// Once the worker has ended within its caller's wait, the library's release
// included: the settings are put back again, as its detach code may have
// changed them after the call was closed. No later call can be open yet.
void Settle(Call& call);
// Closes the handles that listing the process's threads left open: once the
// worker has ended, by its caller. Under Wine, a call into the system costs
// a thread other than the first some ten times more (65 us against 5 us in a
// 32-bit process), and the worker makes enough of them already.
void LetGoOfThreads(Call& call);
// Releases the library. The places of the images unmapped with it stay
// known, so that code called there later (by a timer it never stopped) is
// answered, and stay reserved, so that no library loaded later lands there.
void Release(HMODULE library);

// Gives back the address space that released places keep reserved, but for
// those that answer calls, when a load or a thread found none: false when
// there was none to give back. The places of a load that has just failed
// are reserved afterwards.
bool GiveBackRoom();

}  // namespace quorvex::foreign
