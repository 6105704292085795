#include "platform/foreign/CallSettings.h"

#include <windows.h>

#include "platform/Win32Startup.h"

namespace quorvex::foreign::settings {

namespace {

// Looked up: a Windows 7 without its loader update (KB2533623) lacks it.
using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);

struct ProgramSettings {
    UINT errorMode = 0;
    SetDefaultDllDirectoriesFunction setDefaultDllDirectories = nullptr;
};

ProgramSettings& TheSettings() {
    static constinit ProgramSettings settings;
    return settings;
}

std::wstring CurrentFolder() {
    std::wstring folder(GetCurrentDirectoryW(0, nullptr), L'\0');
    folder.resize(GetCurrentDirectoryW(static_cast<DWORD>(folder.size()), folder.data()));
    return folder;
}

}  // namespace

void Install() {
    ProgramSettings& settings = TheSettings();
    settings.errorMode = GetErrorMode();
    settings.setDefaultDllDirectories = ProcAddress<SetDefaultDllDirectoriesFunction>(
        GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories");
}

// The library's own folder joins the search of loads by name (a helper
// beside it, a delay-loaded import), beside the system folder; never the
// program's folder.
void Open(Call& call, const std::wstring& libraryPath) {
    call.currentFolder = CurrentFolder();
    const ProgramSettings& settings = TheSettings();
    if (settings.setDefaultDllDirectories != nullptr) {
        settings.setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32 |
                                          LOAD_LIBRARY_SEARCH_USER_DIRS);
    }
    SetDllDirectoryW(libraryPath.substr(0, libraryPath.find_last_of(L'\\')).c_str());
}

// A library may change any of them (a crash reporter's error mode, its own
// search folders, the current folder), and they hold for the whole process.
void PutBack(const Call& call) {
    const ProgramSettings& settings = TheSettings();
    if (GetErrorMode() != settings.errorMode) {
        SetErrorMode(settings.errorMode);
    }
    if (settings.setDefaultDllDirectories != nullptr) {
        // Without the user folders, whatever a library added is not searched.
        settings.setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
        SetDllDirectoryW(nullptr);
    } else {
        SetDllDirectoryW(L"");  // as at start-up: not the current folder
    }
    if (!call.currentFolder.empty() && CurrentFolder() != call.currentFolder) {
        SetCurrentDirectoryW(call.currentFolder.c_str());
    }
}

}  // namespace quorvex::foreign::settings
