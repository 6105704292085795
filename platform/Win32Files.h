#pragma once

#include <windows.h>

#include <optional>
#include <string>

#include "engine/FileServices.h"
#include "engine/RegDll.h"

namespace quorvex {

// The fully qualified path, as the file calls resolve `path` against the
// current folder and drive; nothing when it cannot be resolved.
std::optional<std::wstring> FullPathOf(const std::wstring& path);

// The open file as its file system knows it: the 128-bit file id where the
// system has it (the 64-bit index is not unique on ReFS), else the 64-bit
// index; nothing when neither can be read.
std::optional<FileIdentity> IdentityOfFile(HANDLE file);

class Win32Files : public FileServices {
  public:
    Win32Files();

    // Read when made: looking it up later asks the loader, whose lock a
    // library's code may hold for good.
    std::wstring ApplicationDirectory() const override { return applicationDirectory_; }
    std::optional<std::wstring> FullPath(const std::wstring& path) const override {
        return FullPathOf(path);
    }
    bool CanRead(const std::wstring& path) const override;
    Deletion Delete(const std::wstring& path, const std::wstring& keep) override;
    bool Copy(const std::wstring& source, const std::wstring& destination) override;
    bool HoldSameBytes(const std::wstring& first, const std::wstring& second) const override;

  private:
    std::wstring applicationDirectory_;
};

}  // namespace quorvex
