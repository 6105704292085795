// Helpers for tests that run on the real Win32 API under Wine.
#pragma once

#include <windows.h>

#include <cwchar>
#include <string>
#include <vector>

#include "engine/FileServices.h"
#include "platform/Win32Files.h"

namespace quorvex::testing {

// The folder of the test executable, where the build puts the fixture libraries.
inline std::wstring BuildDirectory() { return Win32Files().ApplicationDirectory(); }

inline std::wstring FixturePath(const std::wstring& name) {
    return BuildDirectory() + L"\\" + name + L".dll";
}

// Removes a folder with everything in it, read-only files too.
inline void RemoveTree(const std::wstring& folder) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") {
                continue;
            }
            const std::wstring child = folder + L"\\" + name;
            SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                RemoveTree(child);
            } else {
                DeleteFileW(child.c_str());
            }
        } while (FindNextFileW(search, &found) != FALSE);
        FindClose(search);
    }
    RemoveDirectoryW(folder.c_str());
}

// A new empty folder under the temporary folder, removed with its contents.
class TempDir {
  public:
    TempDir() {
        wchar_t base[MAX_PATH + 1];
        GetTempPathW(MAX_PATH + 1, base);
        for (unsigned n = GetTickCount() ^ GetCurrentProcessId();; ++n) {
            path_ = std::wstring(base) + L"quorvex-test-" + std::to_wstring(n);
            if (CreateDirectoryW(path_.c_str(), nullptr) != FALSE) {
                break;
            }
        }
    }
    ~TempDir() { RemoveTree(path_); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::wstring& Path() const { return path_; }
    std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }

  private:
    std::wstring path_;
};

// A folder for a library that stays loaded until the process ends (after a
// time-out or a fault in its entry point), so cannot be removed before then.
// A later run clears it away. Wine hands out the same process ids again, so
// a folder with this process's id and purpose is an earlier run's as well.
inline std::wstring FolderForALoadedCopy(const std::wstring& purpose) {
    const std::wstring stem = L"quorvex-loaded-";
    wchar_t base[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, base);
    const DWORD self = GetCurrentProcessId();
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((base + stem + L"*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const DWORD owner = std::wcstoul(found.cFileName + stem.size(), nullptr, 10);
            HANDLE process = owner == self ? nullptr : OpenProcess(SYNCHRONIZE, FALSE, owner);
            const bool ended = owner != self && (process == nullptr ||
                                                 WaitForSingleObject(process, 0) == WAIT_OBJECT_0);
            if (process != nullptr) {
                CloseHandle(process);
            }
            if (ended) {
                RemoveTree(base + std::wstring(found.cFileName));
            }
        } while (FindNextFileW(search, &found) != FALSE);
        FindClose(search);
    }
    const std::wstring folder = base + stem + std::to_wstring(self) + L"-" + purpose;
    RemoveTree(folder);
    return folder;
}

inline std::vector<char> ReadAll(const std::wstring& path) {
    std::vector<char> content;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return content;
    }
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) != FALSE && read > 0) {
        content.insert(content.end(), buffer, buffer + read);
    }
    CloseHandle(file);
    return content;
}

inline bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

inline bool WriteText(const std::wstring& path, const char* text) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    const BOOL ok = WriteFile(file, text, lstrlenA(text), &written, nullptr);
    CloseHandle(file);
    return ok != FALSE;
}

// Entry points the fixtures ran in this process since the last call.
inline std::wstring TakeFixtureCalls() {
    wchar_t calls[512] = L"";
    GetEnvironmentVariableW(L"QUORVEX_FIXTURE_CALLS", calls, 512);
    SetEnvironmentVariableW(L"QUORVEX_FIXTURE_CALLS", nullptr);
    return calls;
}

// The real file services, with the application folder put elsewhere so a
// test can choose what is "shipped".
class FilesWithAppDirectory : public Win32Files {
  public:
    explicit FilesWithAppDirectory(std::wstring appDirectory)
        : appDirectory_(std::move(appDirectory)) {}
    std::wstring ApplicationDirectory() const override { return appDirectory_; }

  private:
    std::wstring appDirectory_;
};

}  // namespace quorvex::testing
