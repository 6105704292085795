#include "platform/foreign/CallSettings.h"

#include <windows.h>

#include "platform/Win32Startup.h"

namespace quorvex::foreign::settings {

namespace {

// Looked up: a Windows 7 without its loader update (KB2533623) lacks them.
using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
using AddDllDirectoryFunction = DLL_DIRECTORY_COOKIE(WINAPI*)(PCWSTR);
using RemoveDllDirectoryFunction = BOOL(WINAPI*)(DLL_DIRECTORY_COOKIE);

struct ProgramSettings {
    UINT errorMode = 0;
    SetDefaultDllDirectoriesFunction setDefaultDllDirectories = nullptr;
    AddDllDirectoryFunction addDllDirectory = nullptr;
    RemoveDllDirectoryFunction removeDllDirectory = nullptr;
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
    const HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    settings.setDefaultDllDirectories =
        ProcAddress<SetDefaultDllDirectoriesFunction>(kernel32, "SetDefaultDllDirectories");
    settings.addDllDirectory = ProcAddress<AddDllDirectoryFunction>(kernel32, "AddDllDirectory");
    settings.removeDllDirectory =
        ProcAddress<RemoveDllDirectoryFunction>(kernel32, "RemoveDllDirectory");
}

// The library's own folder joins the search of loads by name (a helper
// beside it, a delay-loaded import), beside the system folder; never the
// program's folder. Folders added with AddDllDirectory are searched newest
// first, and before the one SetDllDirectory names: a folder an earlier
// library added and never removed would come before this library's own,
// which is added last for that.
void Open(Call& call, const std::wstring& libraryPath) {
    call.currentFolder = CurrentFolder();
    const ProgramSettings& settings = TheSettings();
    const std::wstring folder = libraryPath.substr(0, libraryPath.find_last_of(L'\\'));
    if (settings.setDefaultDllDirectories != nullptr) {
        settings.setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32 |
                                          LOAD_LIBRARY_SEARCH_USER_DIRS);
    }
    if (settings.addDllDirectory != nullptr) {
        call.addedFolder.store(settings.addDllDirectory(folder.c_str()));
    }
    SetDllDirectoryW(folder.c_str());
}

// A library may change any of them (a crash reporter's error mode, its own
// search folders, the current folder), and they hold for the whole process.
void PutBack(Call& call) {
    const ProgramSettings& settings = TheSettings();
    if (void* added = call.addedFolder.exchange(nullptr);
        added != nullptr && settings.removeDllDirectory != nullptr) {
        settings.removeDllDirectory(added);
    }
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
