#pragma once

#include <windows.h>

#include <objbase.h>

#include "engine/RegDll.h"

namespace quorvex {

// The real kernel services: the loader, the worker and the wait. The first
// call makes sure of COM's main apartment and installs, for the rest of the
// process, the containment of the libraries' code
// (platform/foreign/ForeignCode.h).
class Win32Kernel final : public KernelServices {
  public:
    Win32Kernel();
    ~Win32Kernel() override = default;
    Win32Kernel(const Win32Kernel&) = delete;
    Win32Kernel& operator=(const Win32Kernel&) = delete;

    std::optional<std::wstring> GetFullPathNameW(const std::wstring& path) override;
    std::optional<FileIdentity> IdentityOf(const std::wstring& fullPath) override;
    bool HasLoadLibrarySearchFlags() override;
    Thread StartCall(const CallPlan& plan) override;
    std::uint32_t WaitForSingleObject(Thread thread, std::uint32_t ms) override;
    WorkerReport Report(Thread thread) override;
    void CloseHandle(Thread thread) override;

  private:
    using CoGetApartmentTypeFunction = HRESULT(WINAPI*)(APTTYPE*, APTTYPEQUALIFIER*);
    using CoWaitForMultipleHandlesFunction = HRESULT(WINAPI*)(DWORD, DWORD, ULONG, LPHANDLE,
                                                              LPDWORD);
    // Once, as the first call begins rather than at start-up, so that the
    // window shows sooner, and before any library's code runs: COM's main
    // apartment there, COM's wait functions looked up, and the containment
    // installed. False when a fault could not be contained.
    bool Prepare();
    // Waits for the thread to end, at most `ms` from now, answering callers
    // and looking at input without taking it.
    DWORD WaitAnsweringCallers(HANDLE thread, DWORD ms) const;

    bool searchFlags_ = false;
    bool prepared_ = false;
    // Looked up once: once a library's code has run, the loader's lock may
    // never be given back, and the window's thread must never wait for it.
    CoGetApartmentTypeFunction apartmentType_ = nullptr;
    CoWaitForMultipleHandlesFunction apartmentWait_ = nullptr;
};

}  // namespace quorvex
