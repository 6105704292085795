#include "platform/Win32Files.h"

#include <windows.h>

#include <cstring>
#include <vector>

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

// Classes and flags of Windows 8 and Windows 10 (1607), which the headers
// offer only to programs that require those systems. Older systems refuse
// them, and the callers fall back.
constexpr auto FileIdInfoClass = static_cast<FILE_INFO_BY_HANDLE_CLASS>(18);
constexpr auto FileDispositionInfoExClass = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
constexpr DWORD DispositionDelete = 0x1;
constexpr DWORD DispositionPosixSemantics = 0x2;

struct FileId128 {
    ULONGLONG volumeSerialNumber;
    BYTE fileId[16];
};

// Whether two open files are one.
bool SameFile(HANDLE one, HANDLE other) {
    const std::optional<FileIdentity> identity = IdentityOfFile(one);
    return identity && identity == IdentityOfFile(other);
}

// Renames an open file within its folder.
bool Rename(HANDLE file, const std::wstring& name) {
    const std::size_t nameBytes = name.size() * sizeof(wchar_t);
    std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + nameBytes);
    auto* const rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->FileNameLength = static_cast<DWORD>(nameBytes);
    std::memcpy(rename->FileName, name.data(), nameBytes);
    return SetFileInformationByHandle(file, FileRenameInfo, rename,
                                      static_cast<DWORD>(buffer.size())) != FALSE;
}

bool SetDeleteDisposition(HANDLE file, bool remove) {
    FILE_DISPOSITION_INFO disposition{static_cast<BOOLEAN>(remove ? TRUE : FALSE)};
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition,
                                      sizeof disposition) != FALSE;
}

// Deletes an open file. The plain disposition comes first: every system
// refuses it for a read-only file and for a library a program has loaded
// (Wine checks the latter only there). Then the name goes at once: a file
// another program holds open with delete sharing (scanners and indexers do)
// would otherwise keep it until they let go, and a copy made there next
// would vanish with it.
bool DeleteOpenFile(HANDLE file, const std::wstring& path) {
    if (!SetDeleteDisposition(file, true)) {
        return false;
    }
    DWORD posix = DispositionDelete | DispositionPosixSemantics;
    if (SetFileInformationByHandle(file, FileDispositionInfoExClass, &posix, sizeof posix) !=
        FALSE) {
        return true;
    }
    // Without POSIX semantics (before Windows 10 1607) the file is moved
    // aside, and put back if it cannot go after all.
    SetDeleteDisposition(file, false);
    const std::size_t separator = path.find_last_of(L"\\/");
    const std::wstring name = separator == std::wstring::npos ? path : path.substr(separator + 1);
    const bool movedAside = Rename(
        file, name + L"." + Hex(GetCurrentProcessId()) + L"-" + Hex(GetTickCount()) + L".deleted");
    if (SetDeleteDisposition(file, true)) {
        return true;
    }
    if (movedAside) {
        Rename(file, name);
    }
    return false;
}

// A folder does not open without FILE_FLAG_BACKUP_SEMANTICS, so it is not read.
UniqueHandle OpenForReading(const std::wstring& path) {
    return UniqueHandle(CreateFileW(path.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
}

bool FileIsThere(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// The folder of the running executable.
std::wstring ReadApplicationDirectory() {
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

}  // namespace

std::optional<FileIdentity> IdentityOfFile(HANDLE file) {
    FileIdentity identity;
    FileId128 id{};
    if (GetFileInformationByHandleEx(file, FileIdInfoClass, &id, sizeof id) != FALSE) {
        identity.volume = id.volumeSerialNumber;
        std::memcpy(identity.file.data(), id.fileId, sizeof id.fileId);
        return identity;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileInformationByHandle(file, &info) == FALSE) {
        return std::nullopt;
    }
    identity.volume = info.dwVolumeSerialNumber;
    const ULONGLONG index =
        (static_cast<ULONGLONG>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    std::memcpy(identity.file.data(), &index, sizeof index);
    return identity;
}

std::optional<std::wstring> FullPathOf(const std::wstring& path) {
    // The system would stop at an embedded NUL and resolve a shorter path.
    if (path.find(L'\0') != std::wstring::npos) {
        return std::nullopt;
    }
    std::wstring full(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            ::GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
        if (length == 0) {
            return std::nullopt;
        }
        if (length < full.size()) {
            full.resize(length);
            return full;
        }
        full.resize(length);  // the size it needs, terminator included
    }
}

Win32Files::Win32Files() : applicationDirectory_(ReadApplicationDirectory()) {}

bool Win32Files::CanRead(const std::wstring& path) const {
    return OpenForReading(path).get() != INVALID_HANDLE_VALUE;
}

Deletion Win32Files::Delete(const std::wstring& path, const std::wstring& keep) {
    // The identity and the delete are decided on the one handle, so that no
    // other file can have taken the name in between. A link is deleted, not
    // its target, as DeleteFileW does; a folder does not open, and is no file.
    const UniqueHandle file(CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                                        nullptr));
    if (file.get() == INVALID_HANDLE_VALUE) {
        return FileIsThere(path) ? Deletion::Refused : Deletion::NoFile;
    }
    if (!keep.empty()) {
        const UniqueHandle kept(CreateFileW(keep.c_str(), FILE_READ_ATTRIBUTES,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                            nullptr, OPEN_EXISTING, 0, nullptr));
        if (kept.get() != INVALID_HANDLE_VALUE && SameFile(file.get(), kept.get())) {
            return Deletion::IsKept;
        }
    }
    return DeleteOpenFile(file.get(), path) ? Deletion::Deleted : Deletion::Refused;
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

bool Win32Files::HoldSameBytes(const std::wstring& first, const std::wstring& second) const {
    const UniqueHandle one = OpenForReading(first);
    const UniqueHandle other = OpenForReading(second);
    LARGE_INTEGER oneSize{};
    LARGE_INTEGER otherSize{};
    if (one.get() == INVALID_HANDLE_VALUE || other.get() == INVALID_HANDLE_VALUE ||
        GetFileSizeEx(one.get(), &oneSize) == FALSE ||
        GetFileSizeEx(other.get(), &otherSize) == FALSE || oneSize.QuadPart != otherSize.QuadPart) {
        return false;
    }
    constexpr DWORD Chunk = 65536;
    std::vector<char> oneBytes(Chunk);
    std::vector<char> otherBytes(Chunk);
    for (;;) {
        DWORD oneRead = 0;
        DWORD otherRead = 0;
        if (ReadFile(one.get(), oneBytes.data(), Chunk, &oneRead, nullptr) == FALSE ||
            ReadFile(other.get(), otherBytes.data(), Chunk, &otherRead, nullptr) == FALSE ||
            oneRead != otherRead || std::memcmp(oneBytes.data(), otherBytes.data(), oneRead) != 0) {
            return false;
        }
        if (oneRead == 0) {
            return true;
        }
    }
}

}  // namespace quorvex
