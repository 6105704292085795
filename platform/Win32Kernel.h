#pragma once

#include <memory>

#include "engine/RegDll.h"

namespace quorvex {

struct ForeignCall;

// The real kernel services. The first one made installs, for the rest of the
// process, the containment of the libraries' code: a fault that a library's
// code does not handle, on its worker (one that timed out included) or on a
// thread started while its code ran, ends only that thread, and the library
// stays loaded for the rest of the process; faults on any other thread go to
// the filter that was there before. It also starts the process's main COM
// apartment on a thread of its own, before any window exists.
class Win32Kernel final : public KernelServices {
  public:
    Win32Kernel();
    ~Win32Kernel() override;
    Win32Kernel(const Win32Kernel&) = delete;
    Win32Kernel& operator=(const Win32Kernel&) = delete;

    std::optional<std::wstring> GetFullPathNameW(const std::wstring& path) override;
    bool HasLoadLibrarySearchFlags() override;
    Module LoadLibraryExW(const std::wstring& path, std::uint32_t flags) override;
    Entry GetProcAddress(Module module, const char* name) override;
    Thread CreateThread(Entry entry) override;
    std::uint32_t WaitForSingleObject(Thread thread, std::uint32_t ms) override;
    std::optional<std::uint32_t> GetExitCodeThread(Thread thread) override;
    bool EntryReturned(Thread thread) override;
    void CloseHandle(Thread thread) override;
    void FreeLibrary(Module module) override;
    void BeginForeignCode() override;
    bool EndForeignCode() override;

  private:
    std::unique_ptr<ForeignCall> call_;  // the call whose library's code runs now
};

}  // namespace quorvex
