#include "platform/Win32Kernel.h"

#include <windows.h>

#include <ole2.h>

#include <optional>
#include <vector>

#include "platform/Handles.h"
#include "platform/Win32Startup.h"

namespace quorvex {

static_assert(LoadWithAlteredSearchPath == LOAD_WITH_ALTERED_SEARCH_PATH);
static_assert(LoadLibrarySearchDllLoadDir == LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR);
static_assert(LoadLibrarySearchSystem32 == LOAD_LIBRARY_SEARCH_SYSTEM32);

namespace {

// The workers whose faults end them rather than the process: every worker
// that may still run. One that timed out runs on beside later commands'
// workers and can fault at any time, so each stays here until it has ended.
// An exception filter gets no context of its own, so this is the one piece
// of state shared with it; the filter only reads it, under the lock.
class FaultContainment {
  public:
    // A worker, created suspended so that it cannot fault before it is known.
    // The duplicate of its handle keeps its id from passing to another
    // thread while it is listed.
    void Add(DWORD id, UniqueHandle handle, KernelServices::Entry entry);
    // Forgets the workers that have ended; with none left, the filter that
    // was there before is put back.
    void ForgetEnded();
    // Room for one more worker, made before the worker is.
    void Reserve();

    // On the faulting thread: its entry point when it is a listed worker.
    std::optional<KernelServices::Entry> EntryOf(DWORD threadId);
    LPTOP_LEVEL_EXCEPTION_FILTER Previous();

  private:
    struct Worker {
        DWORD id;
        UniqueHandle handle;
        KernelServices::Entry entry;
    };
    SRWLOCK lock_ = SRWLOCK_INIT;
    std::vector<Worker> workers_;
    LPTOP_LEVEL_EXCEPTION_FILTER previous_ = nullptr;
};

FaultContainment& Containment() {
    static FaultContainment containment;
    return containment;
}

// Holds an SRW lock, exclusively or shared, for as long as it lives.
template <void(WINAPI* Acquire)(PSRWLOCK), void(WINAPI* Release)(PSRWLOCK)>
class SrwLockHold {
  public:
    explicit SrwLockHold(SRWLOCK& lock) : lock_(lock) { Acquire(&lock_); }
    ~SrwLockHold() { Release(&lock_); }
    SrwLockHold(const SrwLockHold&) = delete;
    SrwLockHold& operator=(const SrwLockHold&) = delete;

  private:
    SRWLOCK& lock_;
};
using ExclusiveLock = SrwLockHold<AcquireSRWLockExclusive, ReleaseSRWLockExclusive>;
using SharedLock = SrwLockHold<AcquireSRWLockShared, ReleaseSRWLockShared>;

LONG WINAPI EndFaultingWorker(EXCEPTION_POINTERS* exception);

void FaultContainment::Reserve() {
    const ExclusiveLock locked(lock_);
    workers_.reserve(workers_.size() + 1);
}

void FaultContainment::Add(DWORD id, UniqueHandle handle, KernelServices::Entry entry) {
    const ExclusiveLock locked(lock_);
    if (workers_.empty()) {
        previous_ = SetUnhandledExceptionFilter(EndFaultingWorker);
    }
    workers_.push_back({id, std::move(handle), entry});  // room was reserved: cannot throw
}

void FaultContainment::ForgetEnded() {
    const ExclusiveLock locked(lock_);
    if (workers_.empty()) {
        return;
    }
    std::erase_if(workers_, [](const Worker& worker) {
        return WaitForSingleObject(worker.handle.get(), 0) == WAIT_OBJECT_0;
    });
    if (workers_.empty()) {
        SetUnhandledExceptionFilter(previous_);
    }
}

std::optional<KernelServices::Entry> FaultContainment::EntryOf(DWORD threadId) {
    const SharedLock locked(lock_);
    for (const Worker& worker : workers_) {
        if (worker.id == threadId) {
            return worker.entry;
        }
    }
    return std::nullopt;
}

LPTOP_LEVEL_EXCEPTION_FILTER FaultContainment::Previous() {
    const SharedLock locked(lock_);
    return previous_;
}

LONG WINAPI EndFaultingWorker(EXCEPTION_POINTERS* exception) {
    FaultContainment& containment = Containment();
    if (const std::optional<KernelServices::Entry> entry =
            containment.EntryOf(GetCurrentThreadId())) {
        // The library's state is broken now, and unloading it would run its
        // detach code, where a second fault would not be contained: it stays
        // loaded for the rest of the process, whoever releases it.
        HMODULE library = nullptr;
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                           static_cast<LPCWSTR>(*entry), &library);
        // The exception code (0xC0000005 and the like) is negative as an
        // HRESULT, so the caller sees the entry point as failed.
        ExitThread(exception->ExceptionRecord->ExceptionCode);
    }
    const LPTOP_LEVEL_EXCEPTION_FILTER previous = containment.Previous();
    return previous != nullptr ? previous(exception) : EXCEPTION_CONTINUE_SEARCH;
}

// The worker's start routine. Many servers use COM in their entry points
// (a filter mapper, type libraries, the component categories manager), so the
// entry point runs in a single-threaded apartment with OLE, as the usual
// registration tool runs it. Should OLE not start, the entry point runs all
// the same and its own result tells.
DWORD WINAPI RunEntryPoint(LPVOID entry) {
    using EntryPoint = HRESULT(STDAPICALLTYPE*)();
    const Apartment ole(Apartment::With::Ole);
    const HRESULT result = reinterpret_cast<EntryPoint>(entry)();
    return static_cast<DWORD>(result);
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

std::optional<std::wstring> Win32Kernel::GetFullPathNameW(const std::wstring& path) {
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

bool Win32Kernel::HasLoadLibrarySearchFlags() { return HasDllSearchFlags(); }

KernelServices::Module Win32Kernel::LoadLibraryExA(const std::string& ansiPath,
                                                   std::uint32_t flags) {
    return ::LoadLibraryExA(ansiPath.c_str(), nullptr, flags);
}

KernelServices::Entry Win32Kernel::GetProcAddress(Module module, const char* name) {
    return reinterpret_cast<Entry>(::GetProcAddress(static_cast<HMODULE>(module), name));
}

KernelServices::Thread Win32Kernel::CreateThread(Entry entry) {
    FaultContainment& containment = Containment();
    containment.ForgetEnded();
    containment.Reserve();

    // It starts suspended, and runs only once containment knows it.
    DWORD workerId = 0;
    UniqueHandle worker(
        ::CreateThread(nullptr, 0, RunEntryPoint, entry, CREATE_SUSPENDED, &workerId));
    if (!worker) {
        return nullptr;
    }
    HANDLE kept = nullptr;
    const HANDLE self = GetCurrentProcess();
    if (DuplicateHandle(self, worker.get(), self, &kept, SYNCHRONIZE, FALSE, 0) == FALSE) {
        TerminateThread(worker.get(), 0);  // it has not run a single instruction
        return nullptr;
    }
    containment.Add(workerId, UniqueHandle(kept), entry);
    if (ResumeThread(worker.get()) == static_cast<DWORD>(-1)) {
        TerminateThread(worker.get(), 0);
        WaitForSingleObject(worker.get(), INFINITE);
        containment.ForgetEnded();
        return nullptr;
    }
    return worker.release();
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
    // A worker that has not ended stays contained.
    Containment().ForgetEnded();
}

void Win32Kernel::FreeLibrary(Module module) { ::FreeLibrary(static_cast<HMODULE>(module)); }

}  // namespace quorvex
