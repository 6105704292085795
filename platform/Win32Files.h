#pragma once

#include "engine/FileServices.h"

namespace quorvex {

class Win32Files : public FileServices {
  public:
    std::wstring ApplicationDirectory() const override;
    bool CanRead(const std::wstring& path) const override;
    Deletion Delete(const std::wstring& path, const std::wstring& keep) override;
    bool Copy(const std::wstring& source, const std::wstring& destination) override;
    bool HoldSameBytes(const std::wstring& first, const std::wstring& second) const override;
};

}  // namespace quorvex
