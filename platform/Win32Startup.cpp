#include "platform/Win32Startup.h"

#include <windows.h>

#include <string>

namespace quorvex {

namespace {

using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);

// Looked up, so that a Windows 7 without the loader update still starts.
SetDefaultDllDirectoriesFunction FindSetDefaultDllDirectories() {
    return ProcAddress<SetDefaultDllDirectoriesFunction>(GetModuleHandleW(L"kernel32.dll"),
                                                         "SetDefaultDllDirectories");
}

// The system libraries loaded by name after start-up that are not KnownDLLs:
// for themed controls, the window manager, the crypto base, version records
// and accessibility.
constexpr const wchar_t* LateLoadedLibraries[] = {L"uxtheme.dll", L"dwmapi.dll", L"cryptbase.dll",
                                                  L"version.dll", L"oleacc.dll"};

}  // namespace

bool HasDllSearchFlags() { return FindSetDefaultDllDirectories() != nullptr; }

UniqueModule LoadSystemLibrary(const wchar_t* name) {
    std::wstring path(MAX_PATH, L'\0');
    const UINT length = GetSystemDirectoryW(path.data(), static_cast<UINT>(path.size()));
    if (length == 0 || length >= path.size()) {
        return nullptr;
    }
    path.resize(length);
    path += L"\\";
    path += name;
    return UniqueModule(LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
}

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
    for (const wchar_t* name : LateLoadedLibraries) {
        static_cast<void>(LoadSystemLibrary(name).release());
    }
}

}  // namespace quorvex
