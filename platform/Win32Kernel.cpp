#include "platform/Win32Kernel.h"

#include <windows.h>

#include <atomic>

namespace quorvex {

namespace {

// The worker whose faults end it rather than the process. An exception
// filter gets no context of its own, so this is the one piece of state
// shared with it; calls never overlap, so one record is enough.
struct FaultContainment {
    // The filter is in place before CreateThread returns the worker's id.
    static constexpr DWORD IdPending = 0xFFFFFFFF;  // thread ids are multiples of 4
    std::atomic<DWORD> workerId{0};
    std::atomic<LPTOP_LEVEL_EXCEPTION_FILTER> previousFilter{nullptr};
};

FaultContainment& Containment() {
    static FaultContainment containment;
    return containment;
}

LONG WINAPI EndFaultingWorker(EXCEPTION_POINTERS* exception) {
    FaultContainment& containment = Containment();
    DWORD workerId = containment.workerId.load();
    while (workerId == FaultContainment::IdPending) {
        Sleep(0);
        workerId = containment.workerId.load();
    }
    if (workerId != 0 && workerId == GetCurrentThreadId()) {
        // The exception code (0xC0000005 and the like) is negative as an
        // HRESULT, so the caller sees the entry point as failed.
        ExitThread(exception->ExceptionRecord->ExceptionCode);
    }
    const LPTOP_LEVEL_EXCEPTION_FILTER previous = containment.previousFilter.load();
    return previous != nullptr ? previous(exception) : EXCEPTION_CONTINUE_SEARCH;
}

void StopContainingFaults() {
    FaultContainment& containment = Containment();
    SetUnhandledExceptionFilter(containment.previousFilter.load());
    containment.workerId.store(0);
}

bool IsUtf8CodePage(UINT codePage) { return codePage == CP_UTF8; }

}  // namespace

std::optional<std::string> Win32Kernel::ToAnsi(const std::wstring& text) {
    // An embedded NUL would make the loader see a shorter, different path.
    if (text.empty() || text.find(L'\0') != std::wstring::npos) {
        return std::nullopt;
    }
    const UINT codePage = GetACP();
    const int wideLength = static_cast<int>(text.size());
    // UTF-8 represents everything but unpaired surrogates, which it refuses;
    // other code pages report any character they had to replace.
    const DWORD flags = IsUtf8CodePage(codePage) ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    BOOL usedDefault = FALSE;
    BOOL* usedDefaultOut = IsUtf8CodePage(codePage) ? nullptr : &usedDefault;
    const int length = WideCharToMultiByte(codePage, flags, text.data(), wideLength, nullptr, 0,
                                           nullptr, usedDefaultOut);
    if (length <= 0 || usedDefault != FALSE) {
        return std::nullopt;
    }
    std::string ansi(static_cast<std::size_t>(length), '\0');
    if (WideCharToMultiByte(codePage, flags, text.data(), wideLength, ansi.data(), length, nullptr,
                            usedDefaultOut) != length ||
        usedDefault != FALSE) {
        return std::nullopt;
    }
    return ansi;
}

KernelServices::Module Win32Kernel::LoadLibraryA(const std::string& ansiPath) {
    return ::LoadLibraryA(ansiPath.c_str());
}

KernelServices::Entry Win32Kernel::GetProcAddress(Module module, const char* name) {
    return reinterpret_cast<Entry>(::GetProcAddress(static_cast<HMODULE>(module), name));
}

KernelServices::Thread Win32Kernel::CreateThread(Entry entry) {
    FaultContainment& containment = Containment();
    containment.workerId.store(FaultContainment::IdPending);
    containment.previousFilter.store(SetUnhandledExceptionFilter(EndFaultingWorker));

    // The entry point itself is the thread's start routine. On x86 it takes
    // no argument where a start routine takes one; that is harmless, as the
    // system ends the thread with its result and never returns to the frame.
    DWORD workerId = 0;
    HANDLE worker = ::CreateThread(nullptr, 0, reinterpret_cast<LPTHREAD_START_ROUTINE>(entry),
                                   nullptr, 0, &workerId);
    if (worker == nullptr) {
        StopContainingFaults();
        return nullptr;
    }
    containment.workerId.store(workerId);
    return worker;
}

std::uint32_t Win32Kernel::WaitForSingleObject(Thread thread, std::uint32_t ms) {
    return ::WaitForSingleObject(static_cast<HANDLE>(thread), ms);
}

std::optional<std::uint32_t> Win32Kernel::GetExitCodeThread(Thread thread) {
    DWORD exitCode = 0;
    if (::GetExitCodeThread(static_cast<HANDLE>(thread), &exitCode) == FALSE) {
        return std::nullopt;
    }
    return exitCode;
}

void Win32Kernel::CloseHandle(Thread thread) {
    ::CloseHandle(static_cast<HANDLE>(thread));
    StopContainingFaults();
}

void Win32Kernel::FreeLibrary(Module module) { ::FreeLibrary(static_cast<HMODULE>(module)); }

}  // namespace quorvex
