#include "platform/Win32Files.h"

#include <windows.h>

#include "platform/Handles.h"

namespace quorvex {

namespace {

// Without std::to_wstring, which would bring a whole printf into the program.
std::wstring Hex(DWORD value) {
    std::wstring digits;
    do {
        digits.insert(digits.begin(), L"0123456789abcdef"[value & 0xF]);
        value >>= 4;
    } while (value != 0);
    return digits;
}

// Opened for its attributes only, which no other program's sharing refuses.
// A folder does not open without FILE_FLAG_BACKUP_SEMANTICS, so it is no file.
UniqueHandle OpenForIdentity(const std::wstring& path) {
    return UniqueHandle(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

}  // namespace

std::wstring Win32Files::ApplicationDirectory() const {
    // The path may be longer than MAX_PATH; grow until it fits.
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) {
            return {};
        }
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    const std::size_t separator = path.find_last_of(L"\\/");
    return separator == std::wstring::npos ? std::wstring() : path.substr(0, separator);
}

bool Win32Files::CanRead(const std::wstring& path) const {
    // A folder does not open without FILE_FLAG_BACKUP_SEMANTICS, so it does not count.
    const UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return file.get() != INVALID_HANDLE_VALUE;
}

bool Win32Files::SameFile(const std::wstring& first, const std::wstring& second) const {
    // Both held open while they are compared, so that neither index can
    // have passed to another file in between.
    const UniqueHandle one = OpenForIdentity(first);
    const UniqueHandle other = OpenForIdentity(second);
    BY_HANDLE_FILE_INFORMATION a{};
    BY_HANDLE_FILE_INFORMATION b{};
    if (one.get() == INVALID_HANDLE_VALUE || other.get() == INVALID_HANDLE_VALUE ||
        GetFileInformationByHandle(one.get(), &a) == FALSE ||
        GetFileInformationByHandle(other.get(), &b) == FALSE) {
        return false;
    }
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
           a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

bool Win32Files::Delete(const std::wstring& path) {
    // A file another program holds open with delete sharing (scanners and
    // indexers do) is only marked for deletion and keeps its name until they
    // let go, so a copy made there next would vanish with it. Moved aside
    // first, the file frees its name at once.
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return DeleteFileW(path.c_str()) != FALSE;
    }
    const std::wstring aside =
        path + L"." + Hex(GetCurrentProcessId()) + L"-" + Hex(GetTickCount()) + L".deleted";
    if (MoveFileExW(path.c_str(), aside.c_str(), 0) == FALSE) {
        return DeleteFileW(path.c_str()) != FALSE;
    }
    if (DeleteFileW(aside.c_str()) != FALSE) {
        return true;
    }
    // It cannot go after all (read-only, or a program has it loaded): put it back.
    MoveFileExW(aside.c_str(), path.c_str(), 0);
    return false;
}

bool Win32Files::Copy(const std::wstring& source, const std::wstring& destination) {
    if (CopyFileW(source.c_str(), destination.c_str(), FALSE) == FALSE) {
        return false;
    }
    // A shipped copy from read-only media would otherwise make the installed
    // copy read-only, and the next install could not delete or replace it.
    const DWORD attributes = GetFileAttributesW(destination.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        SetFileAttributesW(destination.c_str(), attributes & ~DWORD{FILE_ATTRIBUTE_READONLY});
    }
    return true;
}

}  // namespace quorvex
