#include "platform/Win32Kernel.h"

#include <windows.h>

#include <objbase.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <memory>
#include <optional>
#include <vector>

#include "platform/Handles.h"
#include "platform/Win32Startup.h"

namespace quorvex {

static_assert(LoadWithAlteredSearchPath == LOAD_WITH_ALTERED_SEARCH_PATH);
static_assert(LoadLibrarySearchDllLoadDir == LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR);
static_assert(LoadLibrarySearchSystem32 == LOAD_LIBRARY_SEARCH_SYSTEM32);

// One call of a library's code, from its load to the end of the call. Every
// thread born meanwhile points at it; once such a thread outlives the call,
// it is never freed, as its library is never unloaded.
struct ForeignCall {
    std::atomic<HMODULE> library{nullptr};  // once loaded: what a fault pins
    // The process's threads when the call began, sorted; nothing when they
    // could not be listed, and then every thread may be the library's.
    std::optional<std::vector<DWORD>> threadsBefore;
};

namespace {

// A thread born during a call that had not yet taken its first step when
// the call ended (it was made suspended, or had not been scheduled yet). Its
// creation time tells it from a later thread given the same identifier.
struct LateThread {
    DWORD id = 0;
    FILETIME created{};
    ForeignCall* call = nullptr;
};

// What every thread consults on its first step (under the loader lock) and
// on a fault: constant-initialised, so that it exists before any thread
// starts, and never destroyed. The slot and the filter are written once,
// before any library's code runs, and only read afterwards.
struct ForeignCode {
    SRWLOCK lock = SRWLOCK_INIT;
    bool ready = false;
    // The call whose library a thread belongs to (the worker's and those
    // born during it); null on the program's own threads.
    DWORD threadSlot = TLS_OUT_OF_INDEXES;
    LPTOP_LEVEL_EXCEPTION_FILTER previous = nullptr;  // the filter there before
    ForeignCall* open = nullptr;                      // under the lock
    std::array<LateThread, 32> late{};                // under the lock
};

ForeignCode& Registry() {
    static constinit ForeignCode registry;
    return registry;
}

class ExclusiveLock {
  public:
    explicit ExclusiveLock(SRWLOCK& lock) : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
    ~ExclusiveLock() { ReleaseSRWLockExclusive(&lock_); }
    ExclusiveLock(const ExclusiveLock&) = delete;
    ExclusiveLock& operator=(const ExclusiveLock&) = delete;

  private:
    SRWLOCK& lock_;
};

// What CreateThread hands out as a KernelServices::Thread: the worker and
// what it shares with its caller. The caller owns the record; once the
// caller has stopped waiting for a worker that still runs, it belongs to
// that worker for good, as its library does.
struct WorkerRecord {
    KernelServices::Entry entry = nullptr;
    ForeignCall* call = nullptr;
    LONG returned = FALSE;  // set on the worker once the entry point has returned
};

struct Worker {
    UniqueHandle thread;
    std::unique_ptr<WorkerRecord> record;
};

// Ends a thread of a library after a fault that the library's code did not
// handle. The library's state is broken now, and unloading it would run its
// detach code, where a second fault would not be contained: it stays loaded
// for the rest of the process, whoever releases it.
[[noreturn]] void EndFaultingThread(const ForeignCall& call, DWORD code) {
    if (const HMODULE library = call.library.load()) {
        HMODULE pinned = nullptr;
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                           reinterpret_cast<LPCWSTR>(library), &pinned);
    }
    ExitThread(code);
}

const ForeignCall* CallOfThisThread() {
    const ForeignCode& code = Registry();
    return code.ready ? static_cast<const ForeignCall*>(TlsGetValue(code.threadSlot)) : nullptr;
}

// The process's filter, for the threads born during a call: a library may
// replace or clear it, so it is put back around each call.
LONG WINAPI ContainFault(EXCEPTION_POINTERS* exception) {
    if (const ForeignCall* call = CallOfThisThread()) {
        EndFaultingThread(*call, exception->ExceptionRecord->ExceptionCode);
    }
    const LPTOP_LEVEL_EXCEPTION_FILTER previous = Registry().previous;
    return previous != nullptr ? previous(exception) : EXCEPTION_CONTINUE_SEARCH;
}

void PutContainmentBack() { SetUnhandledExceptionFilter(ContainFault); }

// Calls `visit` with a handle to each thread of this process, in the order
// NtGetNextThread gives them (a snapshot of the whole system's threads would
// cost some 20 ms under Wine); false when not all of them could be listed.
template <typename Visit>
bool ForEachThread(Visit&& visit) {
    using NextThreadFunction = LONG(NTAPI*)(HANDLE, HANDLE, ACCESS_MASK, ULONG, ULONG, PHANDLE);
    constexpr LONG NoMoreEntries = static_cast<LONG>(0x8000001A);
    const auto next =
        ProcAddress<NextThreadFunction>(GetModuleHandleW(L"ntdll.dll"), "NtGetNextThread");
    if (next == nullptr) {
        return false;
    }
    UniqueHandle thread;
    for (;;) {
        HANDLE following = nullptr;
        const LONG status = next(GetCurrentProcess(), thread.get(),
                                 THREAD_QUERY_INFORMATION | SYNCHRONIZE, 0, 0, &following);
        if (status < 0) {
            return status == NoMoreEntries;
        }
        thread.reset(following);
        visit(thread.get());
    }
}

// The identifiers of the process's threads, sorted; nothing when they
// cannot be listed.
std::optional<std::vector<DWORD>> ProcessThreads() {
    std::vector<DWORD> threads;
    if (!ForEachThread([&](HANDLE thread) { threads.push_back(GetThreadId(thread)); })) {
        return std::nullopt;
    }
    std::sort(threads.begin(), threads.end());
    return threads;
}

FILETIME CreationTime(HANDLE thread) {
    FILETIME created{};
    FILETIME ended{};
    FILETIME kernel{};
    FILETIME user{};
    GetThreadTimes(thread, &created, &ended, &kernel, &user);
    return created;
}

// Whether the thread still runs, and when it was made; a thread that cannot
// be opened is taken to run, made at no time that a thread can have.
bool StillRuns(DWORD id, FILETIME& created) {
    created = {};
    const UniqueHandle thread(
        OpenThread(SYNCHRONIZE | THREAD_QUERY_LIMITED_INFORMATION, FALSE, id));
    if (!thread) {
        return true;
    }
    created = CreationTime(thread.get());
    return ::WaitForSingleObject(thread.get(), 0) == WAIT_TIMEOUT;
}

// The system's thread pool, which the loader uses too, starts its threads in
// ntdll; they serve whatever work is queued and may be born during any load
// (Windows maps a library's imports on them), so they belong to no library.
bool StartsInThreadPool(HANDLE thread) {
    using QueryFunction = LONG(NTAPI*)(HANDLE, ULONG, PVOID, ULONG, PULONG);
    constexpr ULONG ThreadQuerySetWin32StartAddress = 9;
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    const auto query = ProcAddress<QueryFunction>(ntdll, "NtQueryInformationThread");
    void* start = nullptr;
    HMODULE module = nullptr;
    return query != nullptr &&
           query(thread, ThreadQuerySetWin32StartAddress, &start, sizeof start, nullptr) >= 0 &&
           GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                  GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              static_cast<LPCWSTR>(start), &module) != FALSE &&
           module == ntdll;
}

// Run by the loader on each new thread's first step, before its start
// routine: a thread born while a library's code runs belongs to it.
void NTAPI MarkLibraryThread(PVOID, DWORD reason, PVOID) {
    if (reason != DLL_THREAD_ATTACH || StartsInThreadPool(GetCurrentThread())) {
        return;
    }
    ForeignCode& code = Registry();
    const ExclusiveLock lock(code.lock);
    ForeignCall* owner = code.open;
    if (owner == nullptr) {
        const DWORD self = GetCurrentThreadId();
        const FILETIME created = CreationTime(GetCurrentThread());
        for (LateThread& late : code.late) {
            if (late.call != nullptr && late.id == self &&
                CompareFileTime(&late.created, &created) == 0) {
                owner = late.call;
                late = {};
                break;
            }
        }
    }
    if (owner != nullptr) {
        TlsSetValue(code.threadSlot, owner);
    }
}

}  // namespace
}  // namespace quorvex

// The program's TLS callbacks run on every thread's start, in any build.
extern "C" {
__attribute__((section(".CRT$XLB"),
               used)) extern const PIMAGE_TLS_CALLBACK quorvexMarkLibraryThread =
    quorvex::MarkLibraryThread;

// The worker's outermost frame handler: a fault that the entry point does
// not handle ends the worker there, whatever a library has done to the
// process's filter.
__attribute__((used)) EXCEPTION_DISPOSITION QuorvexEndFaultingWorker(EXCEPTION_RECORD* record,
                                                                     void*, CONTEXT*, void*) {
    const quorvex::ForeignCall* call = quorvex::CallOfThisThread();
    if ((record->ExceptionFlags & EXCEPTION_UNWIND) != 0 || call == nullptr) {
        return ExceptionContinueSearch;
    }
    quorvex::EndFaultingThread(*call, record->ExceptionCode);
}
}

namespace quorvex {
namespace {

// Many servers use COM in their entry points (a filter mapper, type
// libraries, the component categories manager), so the entry point runs in
// a single-threaded apartment with OLE, as the usual registration tool runs
// it. Should OLE not start, the entry point runs all the same and its own
// result tells.
__attribute__((noinline)) DWORD RunInApartment(const WorkerRecord& worker) {
    using EntryPoint = HRESULT(STDAPICALLTYPE*)();
    const Apartment ole(Apartment::With::Ole);
    return static_cast<DWORD>(reinterpret_cast<EntryPoint>(worker.entry)());
}

// The worker's start routine. Its frame holds the handler above, so it
// stays on the stack below the entry point: no tail call.
DWORD WINAPI RunEntryPoint(LPVOID parameter) {
    auto* const worker = static_cast<WorkerRecord*>(parameter);
    TlsSetValue(Registry().threadSlot, worker->call);
    // Room for the handler, should the entry point overflow its stack.
    ULONG reserve = 64 * 1024;
    SetThreadStackGuarantee(&reserve);
#if defined(__i386__)
    struct Registration {
        void* previous;
        void* handler;
    } frame{nullptr, reinterpret_cast<void*>(&QuorvexEndFaultingWorker)};
    asm volatile("movl %%fs:0, %0" : "=r"(frame.previous));
    asm volatile("movl %0, %%fs:0" : : "r"(&frame) : "memory");
    const DWORD result = RunInApartment(*worker);
    asm volatile("movl %0, %%fs:0" : : "r"(frame.previous) : "memory");
#elif defined(__x86_64__)
    asm(".seh_handler QuorvexEndFaultingWorker, @except");
    const DWORD result = RunInApartment(*worker);
#else
#error "the worker's frame handler is written for x86 and x86_64"
#endif
    InterlockedExchange(&worker->returned, TRUE);
    return result;
}

// A thread of the program's own that only serves COM, started before any
// window exists: the process's first single-threaded apartment, and so its
// main one, where COM makes a class registered without a threading model.
// On the window's thread (an apartment once the input-method support or an
// accessibility client has made it one), such a class would run a
// library's code where no containment holds and no limit counts.
DWORD WINAPI ServeMainApartment(LPVOID started) {
    const Apartment com(Apartment::With::Com);
    SetEvent(static_cast<HANDLE>(started));
    MSG message{};
    while (GetMessageW(&message, nullptr, 0, 0) != -1) {
        DispatchMessageW(&message);  // a quit message posted by anyone ends nothing
    }
    return 0;
}

void StartMainApartment() {
    static const bool started = [] {
        const UniqueHandle ready(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        const UniqueHandle thread(
            ready ? ::CreateThread(nullptr, 0, ServeMainApartment, ready.get(), 0, nullptr)
                  : nullptr);
        return thread && ::WaitForSingleObject(ready.get(), INFINITE) == WAIT_OBJECT_0;
    }();
    static_cast<void>(started);
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
// a message to every window (WM_SETTINGCHANGE to HWND_BROADCAST) and wait
// for the answer, and once this thread is an apartment a screen reader may
// call into it: those are answered meanwhile, or they would wait for the
// command. Input stays queued, so no command
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

Win32Kernel::Win32Kernel() {
    ForeignCode& code = Registry();
    {
        const ExclusiveLock lock(code.lock);
        if (!code.ready) {
            code.threadSlot = TlsAlloc();
            code.previous = SetUnhandledExceptionFilter(ContainFault);
            code.ready = true;
        }
    }
    StartMainApartment();
}

Win32Kernel::~Win32Kernel() = default;

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
    const HMODULE module = ::LoadLibraryExW(path.c_str(), nullptr, flags);
    if (call_) {
        call_->library.store(module);
    }
    return module;
}

KernelServices::Entry Win32Kernel::GetProcAddress(Module module, const char* name) {
    return reinterpret_cast<Entry>(::GetProcAddress(static_cast<HMODULE>(module), name));
}

KernelServices::Thread Win32Kernel::CreateThread(Entry entry) {
    if (Registry().threadSlot == TLS_OUT_OF_INDEXES || !call_) {
        return nullptr;  // a fault could not be contained: the entry point does not run
    }
    auto worker = std::make_unique<Worker>();
    worker->record = std::make_unique<WorkerRecord>();
    worker->record->entry = entry;
    worker->record->call = call_.get();
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

bool Win32Kernel::EntryReturned(Thread thread) {
    return static_cast<Worker*>(thread)->record->returned != FALSE;
}

void Win32Kernel::CloseHandle(Thread thread) {
    const std::unique_ptr<Worker> worker(static_cast<Worker*>(thread));
    if (::WaitForSingleObject(worker->thread.get(), 0) != WAIT_OBJECT_0) {
        // Still running, and it may still fault: its record stays with it.
        static_cast<void>(worker->record.release());
    }
}

void Win32Kernel::FreeLibrary(Module module) { ::FreeLibrary(static_cast<HMODULE>(module)); }

void Win32Kernel::BeginForeignCode() {
    auto call = std::make_unique<ForeignCall>();
    call->threadsBefore = ProcessThreads();
    PutContainmentBack();
    ForeignCode& code = Registry();
    const ExclusiveLock lock(code.lock);
    code.open = call.get();
    call_ = std::move(call);
}

bool Win32Kernel::EndForeignCode() {
    // A library may have replaced or cleared the filter during its call.
    PutContainmentBack();
    std::unique_ptr<ForeignCall> call = std::move(call_);
    if (!call) {
        return false;
    }
    // The threads born during the call that still run.
    std::vector<LateThread> born;
    const bool listed =
        call->threadsBefore && ForEachThread([&](HANDLE thread) {
            const DWORD id = GetThreadId(thread);
            if (!std::binary_search(call->threadsBefore->begin(), call->threadsBefore->end(), id) &&
                ::WaitForSingleObject(thread, 0) == WAIT_TIMEOUT && !StartsInThreadPool(thread)) {
                born.push_back({id, CreationTime(thread), call.get()});
            }
        });
    const bool threadsRemain = !listed || !born.empty();

    ForeignCode& code = Registry();
    {
        const ExclusiveLock lock(code.lock);
        code.open = nullptr;
        // A thread born during the call that has not yet taken its first
        // step is marked when it does. An entry whose thread has ended makes
        // room.
        for (LateThread& late : code.late) {
            FILETIME created{};
            if (late.call != nullptr &&
                (!StillRuns(late.id, created) || CompareFileTime(&created, &late.created) != 0)) {
                late = {};
            }
        }
        auto free = code.late.begin();
        for (const LateThread& thread : born) {
            free = std::find_if(free, code.late.end(),
                                [](const LateThread& late) { return late.call == nullptr; });
            if (free == code.late.end()) {
                break;
            }
            *free = thread;
        }
    }
    if (threadsRemain) {
        // Its threads point at it for as long as they run.
        static_cast<void>(call.release());
    }
    return threadsRemain;
}

}  // namespace quorvex
