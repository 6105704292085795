#include "platform/Win32Kernel.h"

#include <windows.h>

#include <objbase.h>

#include <memory>
#include <optional>

#include "platform/Handles.h"
#include "platform/Win32Startup.h"

namespace quorvex {

static_assert(LoadWithAlteredSearchPath == LOAD_WITH_ALTERED_SEARCH_PATH);
static_assert(LoadLibrarySearchDllLoadDir == LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR);
static_assert(LoadLibrarySearchSystem32 == LOAD_LIBRARY_SEARCH_SYSTEM32);

namespace {

// What a worker and its caller share: the entry point it runs, and whether a
// fault ended it. The caller owns it; once the caller has stopped waiting for
// a worker that still runs, it belongs to that worker for good, as its
// library does.
struct WorkerRecord {
    KernelServices::Entry entry = nullptr;
    // Set on the worker by the filter; read by the caller once the worker has ended.
    LONG faulted = FALSE;
};

// What CreateThread hands out as a KernelServices::Thread.
struct Worker {
    UniqueHandle thread;
    std::unique_ptr<WorkerRecord> record;
};

// Made once per process and only read afterwards, so the filter takes no
// lock: the thread-local slot that marks a worker (it holds the worker's
// record; null on every other thread) and the filter that was there before.
struct FaultContainment {
    DWORD workerSlot;
    LPTOP_LEVEL_EXCEPTION_FILTER previous;
};

LONG WINAPI EndFaultingWorker(EXCEPTION_POINTERS* exception);

const FaultContainment& Containment() {
    static const FaultContainment containment{TlsAlloc(),
                                              SetUnhandledExceptionFilter(EndFaultingWorker)};
    return containment;
}

LONG WINAPI EndFaultingWorker(EXCEPTION_POINTERS* exception) {
    const FaultContainment& containment = Containment();
    auto* const worker = static_cast<WorkerRecord*>(TlsGetValue(containment.workerSlot));
    if (worker == nullptr) {
        return containment.previous != nullptr ? containment.previous(exception)
                                               : EXCEPTION_CONTINUE_SEARCH;
    }
    // The library's state is broken now, and unloading it would run its
    // detach code, where a second fault would not be contained: it stays
    // loaded for the rest of the process, whoever releases it.
    HMODULE library = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       static_cast<LPCWSTR>(worker->entry), &library);
    InterlockedExchange(&worker->faulted, TRUE);
    ExitThread(exception->ExceptionRecord->ExceptionCode);
}

// The worker's start routine. Many servers use COM in their entry points
// (a filter mapper, type libraries, the component categories manager), so the
// entry point runs in a single-threaded apartment with OLE, as the usual
// registration tool runs it. Should OLE not start, the entry point runs all
// the same and its own result tells.
DWORD WINAPI RunEntryPoint(LPVOID parameter) {
    auto* const worker = static_cast<WorkerRecord*>(parameter);
    TlsSetValue(Containment().workerSlot, worker);  // from here on, a fault ends only this thread
    using EntryPoint = HRESULT(STDAPICALLTYPE*)();
    const Apartment ole(Apartment::With::Ole);
    const HRESULT result = reinterpret_cast<EntryPoint>(worker->entry)();
    return static_cast<DWORD>(result);
}

using CoGetApartmentTypeFunction = HRESULT(WINAPI*)(APTTYPE*, APTTYPEQUALIFIER*);
using CoWaitForMultipleHandlesFunction = HRESULT(WINAPI*)(DWORD, DWORD, ULONG, LPHANDLE, LPDWORD);

// Looked up afresh each time: ole32 may be loaded, or the thread
// may enter an apartment (an accessibility client's first question), while
// it waits.
CoWaitForMultipleHandlesFunction ApartmentWait() {
    HMODULE ole32 = Ole32().IfLoaded();
    const auto apartmentType = ProcAddress<CoGetApartmentTypeFunction>(ole32, "CoGetApartmentType");
    APTTYPE type = APTTYPE_MTA;
    APTTYPEQUALIFIER qualifier = APTTYPEQUALIFIER_NONE;
    if (apartmentType == nullptr || FAILED(apartmentType(&type, &qualifier)) ||
        (type != APTTYPE_STA && type != APTTYPE_MAINSTA)) {
        return nullptr;
    }
    return ProcAddress<CoWaitForMultipleHandlesFunction>(ole32, "CoWaitForMultipleHandles");
}

// Waits for the thread to end, at most `ms` from now. An entry point may send
// a message to every window (WM_SETTINGCHANGE to HWND_BROADCAST) or call into
// this thread's apartment (a class without a threading model is made in the
// main apartment), and wait for the answer: those are answered meanwhile, or
// the two would wait for each other. Input stays queued, so no command
// starts and nothing is clicked while this one runs.
DWORD WaitAnsweringCallers(HANDLE thread, DWORD ms) {
    const ULONGLONG deadline = GetTickCount64() + ms;
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        const DWORD left = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
        if (const CoWaitForMultipleHandlesFunction apartmentWait = ApartmentWait()) {
            // COM's own wait answers calls into the apartment, and sent messages.
            HANDLE handles[] = {thread};
            DWORD index = 0;
            const HRESULT waited = apartmentWait(0, left, 1, handles, &index);
            return waited == S_OK                ? WAIT_OBJECT_0
                   : waited == RPC_S_CALLPENDING ? WAIT_TIMEOUT
                                                 : WAIT_FAILED;
        }
        const DWORD woken = MsgWaitForMultipleObjectsEx(1, &thread, left, QS_SENDMESSAGE, 0);
        if (woken != WAIT_OBJECT_0 + 1) {
            return woken;
        }
        MSG message{};
        PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
}

}  // namespace

Win32Kernel::Win32Kernel() { static_cast<void>(Containment()); }

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

KernelServices::Module Win32Kernel::LoadLibraryExW(const std::wstring& path, std::uint32_t flags) {
    return ::LoadLibraryExW(path.c_str(), nullptr, flags);
}

KernelServices::Entry Win32Kernel::GetProcAddress(Module module, const char* name) {
    return reinterpret_cast<Entry>(::GetProcAddress(static_cast<HMODULE>(module), name));
}

KernelServices::Thread Win32Kernel::CreateThread(Entry entry) {
    if (Containment().workerSlot == TLS_OUT_OF_INDEXES) {
        return nullptr;  // a fault could not be contained: the entry point does not run
    }
    auto worker = std::make_unique<Worker>();
    worker->record = std::make_unique<WorkerRecord>();
    worker->record->entry = entry;
    worker->thread.reset(
        ::CreateThread(nullptr, 0, RunEntryPoint, worker->record.get(), 0, nullptr));
    return worker->thread ? worker.release() : nullptr;
}

std::uint32_t Win32Kernel::WaitForSingleObject(Thread thread, std::uint32_t ms) {
    return WaitAnsweringCallers(static_cast<Worker*>(thread)->thread.get(), ms);
}

std::optional<std::uint32_t> Win32Kernel::GetExitCodeThread(Thread thread) {
    DWORD exitCode = 0;
    if (::GetExitCodeThread(static_cast<Worker*>(thread)->thread.get(), &exitCode) == FALSE) {
        return std::nullopt;
    }
    return exitCode;
}

bool Win32Kernel::EndedByFault(Thread thread) {
    return static_cast<Worker*>(thread)->record->faulted != FALSE;
}

void Win32Kernel::CloseHandle(Thread thread) {
    const std::unique_ptr<Worker> worker(static_cast<Worker*>(thread));
    if (::WaitForSingleObject(worker->thread.get(), 0) != WAIT_OBJECT_0) {
        // Still running, and it may still fault: its record stays with it.
        static_cast<void>(worker->record.release());
    }
}

void Win32Kernel::FreeLibrary(Module module) { ::FreeLibrary(static_cast<HMODULE>(module)); }

}  // namespace quorvex
