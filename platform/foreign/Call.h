// One call of a library's code, as every room of platform/foreign/ knows it.
#pragma once

#include <windows.h>

#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include "platform/Handles.h"

namespace quorvex::foreign {

// One call of a library's code, from its load to the end of its release, on
// a worker of its own. Every thread born meanwhile points at it; once such a
// thread outlives the call, the call is never freed, as its library is never
// released.
struct Call {
    std::atomic<HMODULE> library{nullptr};  // once loaded: what a fault keeps loaded
    // The identifiers of the process's threads when the call began, sorted;
    // nothing when they could not be listed, and then every thread may be the
    // library's. Handles to those threads keep their identifiers from being
    // given to threads born meanwhile; with those of the listing at its end,
    // they are held until LetGoOfThreads.
    std::optional<std::vector<DWORD>> threadsBefore;
    std::vector<UniqueHandle> heldThreads;
    // The threads marked with the call on their first step while it was
    // open; under the thread registry's lock.
    std::vector<DWORD> markedThreads;
    std::atomic<bool> closed{false};
    std::atomic<bool> threadsRemain{false};  // found by the one who closed it
    LPTHREAD_START_ROUTINE body = nullptr;   // what the worker runs
    void* argument = nullptr;
    // The current folder when the call began, put back when it ends.
    std::wstring currentFolder;
    // The library's folder, added to the search for the call's length
    // (AddDllDirectory's cookie); null once removed.
    std::atomic<void*> addedFolder{nullptr};
};

}  // namespace quorvex::foreign
