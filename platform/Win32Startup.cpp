#include "platform/Win32Startup.h"

#include <windows.h>

#include <string>

namespace quorvex {

namespace {

using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);

// Looked up, so that a Windows 7 without the loader update still starts.
SetDefaultDllDirectoriesFunction FindSetDefaultDllDirectories() {
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    if (kernel == nullptr) {
        return nullptr;
    }
    // Through a generic function type, which GCC lets any other cast from.
    return reinterpret_cast<SetDefaultDllDirectoriesFunction>(
        reinterpret_cast<void (*)()>(GetProcAddress(kernel, "SetDefaultDllDirectories")));
}

// The system libraries loaded by name after start-up that are not KnownDLLs:
// for themed controls, the window manager, the crypto base, version records
// and accessibility.
constexpr const wchar_t* LateLoadedLibraries[] = {L"uxtheme.dll", L"dwmapi.dll", L"cryptbase.dll",
                                                  L"version.dll", L"oleacc.dll"};

}  // namespace

bool HasDllSearchFlags() { return FindSetDefaultDllDirectories() != nullptr; }

void ApplyProcessSettings() {
    // A message box would freeze the window with no time limit; the library
    // loader and the file calls report their failure instead.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);

    const SetDefaultDllDirectoriesFunction setDefaultDllDirectories =
        FindSetDefaultDllDirectories();
    if (setDefaultDllDirectories != nullptr &&
        setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32) != FALSE) {
        return;
    }
    // Without it, the program's folder cannot be taken out of the search:
    // the current folder goes, and the libraries the system would look for
    // there are loaded now from the system folder, so that a later load by
    // name finds them loaded. They stay loaded until the program ends.
    SetDllDirectoryW(L"");
    std::wstring system(MAX_PATH, L'\0');
    const UINT length = GetSystemDirectoryW(system.data(), static_cast<UINT>(system.size()));
    if (length == 0 || length >= system.size()) {
        return;
    }
    system.resize(length);
    for (const wchar_t* name : LateLoadedLibraries) {
        LoadLibraryExW((system + L"\\" + name).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    }
}

}  // namespace quorvex
