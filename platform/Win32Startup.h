// Settings that hold for the whole process, made once, first thing at
// start-up, before any window or common-controls call; and the system
// libraries the program loads itself, from the system folder.
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

// A system library loaded from the system folder at its first use rather
// than at start-up, and kept until the process ends: for what the window does
// not need to show itself. Thread-safe, and constant-initialised.
class LazySystemLibrary {
  public:
    constexpr explicit LazySystemLibrary(const wchar_t* name) : name_(name) {}
    LazySystemLibrary(const LazySystemLibrary&) = delete;
    LazySystemLibrary& operator=(const LazySystemLibrary&) = delete;

    // The module, loaded by the first call on any thread; null when it cannot be loaded.
    HMODULE Module();
    // An export, as the function type it has, loading the library if need be;
    // null when the library or the export is missing.
    template <typename Function>
    Function Find(const char* name) {
        return ProcAddress<Function>(Module(), name);
    }

  private:
    static BOOL CALLBACK Load(PINIT_ONCE, PVOID self, PVOID*);

    const wchar_t* name_;
    INIT_ONCE once_ = INIT_ONCE_STATIC_INIT;
    HMODULE module_ = nullptr;
};

// COM's runtime, which a static import would load before the window shows:
// ole32.dll (apartments, OLE) and oleaut32.dll (strings, variants).
LazySystemLibrary& Ole32();
LazySystemLibrary& OleAut32();

// The process's main single-threaded apartment, on a thread of the
// program's own that only serves COM: the first thread of a process to
// enter a single-threaded apartment is the main one, where COM makes a class
// registered without a threading model, and that must never be the window's
// thread (a library's code would run there). Started by the first call,
// which waits until it is there: before the window's thread may enter an
// apartment itself (the window shown and activated brings the input method,
// which may; an accessibility client's first question), and before any
// library's code runs. Not started earlier: made while the window is, it
// would slow both down, as the two threads take turns at the loader.
void AwaitMainApartment();

// The calling thread in a single-threaded apartment for as long as this
// lives, with OLE (OleInitialize, as registration tools run entry points) or
// COM alone (CoInitializeEx). A thread already in another apartment stays
// there. ole32 is loaded at the first one.
class Apartment {
  public:
    enum class With { Com, Ole };
    explicit Apartment(With with);
    ~Apartment();
    Apartment(const Apartment&) = delete;
    Apartment& operator=(const Apartment&) = delete;

  private:
    using Leave = void(WINAPI*)();
    Leave leave_ = nullptr;  // CoUninitialize or OleUninitialize, once entered
};

}  // namespace quorvex
