#pragma once

#include "engine/RegDll.h"

namespace quorvex {

// The real kernel services. The first one made installs, for the rest of the
// process, the containment of faults in entry points: as long as a worker
// runs (one that timed out included), a fault that its entry point does not
// handle ends only that worker, and its library stays loaded for the rest of
// the process; faults on any other thread go to the filter that was there
// before.
class Win32Kernel final : public KernelServices {
  public:
    Win32Kernel();

    std::optional<std::wstring> GetFullPathNameW(const std::wstring& path) override;
    bool HasLoadLibrarySearchFlags() override;
    Module LoadLibraryExW(const std::wstring& path, std::uint32_t flags) override;
    Entry GetProcAddress(Module module, const char* name) override;
    Thread CreateThread(Entry entry) override;
    std::uint32_t WaitForSingleObject(Thread thread, std::uint32_t ms) override;
    std::optional<std::uint32_t> GetExitCodeThread(Thread thread) override;
    bool EndedByFault(Thread thread) override;
    void CloseHandle(Thread thread) override;
    void FreeLibrary(Module module) override;
};

}  // namespace quorvex
