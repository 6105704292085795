// Owners for Win32 handles.
#pragma once

#include <windows.h>

#include <memory>
#include <type_traits>

namespace quorvex {

struct HandleCloser {
    using pointer = HANDLE;
    void operator()(HANDLE handle) const noexcept {
        if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
            CloseHandle(handle);
        }
    }
};
// Kernel object handles; both null and INVALID_HANDLE_VALUE mean "none".
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

struct ModuleReleaser {
    using pointer = HMODULE;
    void operator()(HMODULE module) const noexcept { FreeLibrary(module); }
};
using UniqueModule = std::unique_ptr<std::remove_pointer_t<HMODULE>, ModuleReleaser>;

struct GdiObjectDeleter {
    void operator()(HGDIOBJ object) const noexcept { DeleteObject(object); }
};
template <typename GdiHandle>
using UniqueGdi = std::unique_ptr<std::remove_pointer_t<GdiHandle>, GdiObjectDeleter>;

}  // namespace quorvex
