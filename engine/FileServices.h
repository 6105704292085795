// The file services the commands need. Failures come back as false.
#pragma once

#include <string>

namespace quorvex {

class FileServices {
  public:
    virtual ~FileServices() = default;
    // The folder of the running executable, without a trailing separator.
    virtual std::wstring ApplicationDirectory() const = 0;
    // True when the file exists and can be opened for reading.
    virtual bool CanRead(const std::wstring& path) const = 0;
    // True when both paths open and name one file (another spelling of the
    // same folder, an 8.3 name, a hard link), told by the file system's
    // identity of the open files, never by comparing the strings.
    virtual bool SameFile(const std::wstring& first, const std::wstring& second) const = 0;
    [[nodiscard]] virtual bool Delete(const std::wstring& path) = 0;
    // Replaces an existing destination; the copy is left writable.
    [[nodiscard]] virtual bool Copy(const std::wstring& source,
                                    const std::wstring& destination) = 0;
};

}  // namespace quorvex
