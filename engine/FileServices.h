// The file services the commands need. Failures come back as false.
#pragma once

#include <optional>
#include <string>

namespace quorvex {

enum class Deletion {
    Deleted,
    NoFile,   // nothing, or a folder, is there
    IsKept,   // it is the file at `keep`, and stays
    Refused,  // a file is still there
};

class FileServices {
  public:
    virtual ~FileServices() = default;
    // The folder of the running executable, without a trailing separator.
    virtual std::wstring ApplicationDirectory() const = 0;
    // The fully qualified path, resolved against the current folder and drive
    // as the file calls resolve it; nothing when it cannot be resolved.
    virtual std::optional<std::wstring> FullPath(const std::wstring& path) const = 0;
    // True when the file exists and can be opened for reading.
    virtual bool CanRead(const std::wstring& path) const = 0;
    // Deletes the file at `path`, unless it is the file at `keep` (another
    // spelling of the same folder, an 8.3 name, a hard link): told by the file
    // system's identity of the open files, never by comparing the strings,
    // and on the handle the delete goes through. An empty `keep` keeps nothing.
    [[nodiscard]] virtual Deletion Delete(const std::wstring& path, const std::wstring& keep) = 0;
    // Replaces an existing destination; the copy is left writable.
    [[nodiscard]] virtual bool Copy(const std::wstring& source,
                                    const std::wstring& destination) = 0;
    // True when both files can be read and hold the same bytes.
    virtual bool HoldSameBytes(const std::wstring& first, const std::wstring& second) const = 0;
};

}  // namespace quorvex
