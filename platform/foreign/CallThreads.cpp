#include "platform/foreign/CallThreads.h"

#include <algorithm>
#include <array>
#include <cstdint>

#include "platform/Handles.h"
#include "platform/Win32Startup.h"
#include "platform/foreign/Image.h"
#include "platform/foreign/Lock.h"

namespace quorvex::foreign::threads {

namespace {

// A thread, told from a later one given the same identifier by its
// creation time.
struct ThreadIdentity {
    DWORD id = 0;
    ULONGLONG created = 0;
    bool operator==(const ThreadIdentity&) const = default;
};

// A thread born during a call that had not yet taken its first step when
// the call was closed (it was made suspended, or had not been scheduled).
struct LateThread {
    ThreadIdentity thread;
    Call* call = nullptr;
};

using NextThreadFunction = LONG(NTAPI*)(HANDLE, HANDLE, ACCESS_MASK, ULONG, ULONG, PHANDLE);
using QueryThreadFunction = LONG(NTAPI*)(HANDLE, ULONG, PVOID, ULONG, PULONG);

// What every thread consults on its first step (under the loader lock) and
// on a fault: constant-initialised, so that it exists before any thread
// starts, and never destroyed; all zeroes, so that it takes no room in the
// file. What Install writes is written once, before any library's code
// runs, and only read afterwards.
struct ThreadRegistry {
    SRWLOCK lock = SRWLOCK_INIT;
    bool ready = false;
    DWORD slot = 0;  // the thread's call, once ready
    DWORD windowThread = 0;
    std::uintptr_t ntdllBase = 0;
    std::uintptr_t ntdllSize = 0;
    NextThreadFunction nextThread = nullptr;
    QueryThreadFunction queryThread = nullptr;
    Call* open = nullptr;               // under the lock
    std::array<LateThread, 64> late{};  // under the lock
};

ThreadRegistry& TheRegistry() {
    static constinit ThreadRegistry registry;
    return registry;
}

ULONGLONG CreationTime(HANDLE thread) {
    FILETIME created{};
    FILETIME ended{};
    FILETIME kernel{};
    FILETIME user{};
    GetThreadTimes(thread, &created, &ended, &kernel, &user);
    return (static_cast<ULONGLONG>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

ThreadIdentity IdentityOf(HANDLE thread) { return {GetThreadId(thread), CreationTime(thread)}; }

// Calls `visit` with a handle to each thread of this process, in the order
// NtGetNextThread gives them (a snapshot of the whole system's threads would
// cost some 20 ms under Wine); the visitor may keep the handle. False when
// not all of them could be listed.
template <typename Visit>
bool ForEachThread(Visit&& visit) {
    constexpr LONG NoMoreEntries = static_cast<LONG>(0x8000001A);
    const NextThreadFunction next = TheRegistry().nextThread;
    if (next == nullptr) {
        return false;
    }
    UniqueHandle thread;
    HANDLE previous = nullptr;  // open: here, or kept by the visitor
    for (;;) {
        HANDLE following = nullptr;
        const LONG status = next(GetCurrentProcess(), previous,
                                 THREAD_QUERY_INFORMATION | SYNCHRONIZE, 0, 0, &following);
        if (status < 0) {
            return status == NoMoreEntries;
        }
        thread.reset(following);
        previous = following;
        visit(thread);
    }
}

// Whether the thread still runs as the one that was made then; a thread
// that cannot be opened is taken to run.
bool StillRuns(const ThreadIdentity& thread) {
    const UniqueHandle opened(
        OpenThread(SYNCHRONIZE | THREAD_QUERY_LIMITED_INFORMATION, FALSE, thread.id));
    if (!opened) {
        return true;
    }
    return CreationTime(opened.get()) == thread.created &&
           ::WaitForSingleObject(opened.get(), 0) == WAIT_TIMEOUT;
}

// Where a thread starts. Wine tells only once the thread has taken its
// first step; until then the answer is unknown.
enum class ThreadStart { Unknown, InThreadPool, Elsewhere };

// The system's thread pool, which the loader uses too, starts its threads in
// ntdll; they serve whatever work is queued and may be born during any load
// (Windows maps a library's imports on them), so they belong to no library.
ThreadStart StartOf(HANDLE thread) {
    constexpr ULONG ThreadQuerySetWin32StartAddress = 9;
    const ThreadRegistry& registry = TheRegistry();
    void* start = nullptr;
    if (registry.queryThread == nullptr ||
        registry.queryThread(thread, ThreadQuerySetWin32StartAddress, &start, sizeof start,
                             nullptr) < 0) {
        return ThreadStart::Elsewhere;
    }
    const auto address = reinterpret_cast<std::uintptr_t>(start);
    return address == 0 ? ThreadStart::Unknown
           : address >= registry.ntdllBase && address - registry.ntdllBase < registry.ntdllSize
               ? ThreadStart::InThreadPool
               : ThreadStart::Elsewhere;
}

// A thread just born, as the pool's are when work is queued, is given until
// `deadline` (a tick count) to take its first step: counted as the
// library's, it would keep the library loaded for good. One made suspended
// stays unknown.
bool StartsInThreadPoolOnceKnown(HANDLE thread, ULONGLONG deadline) {
    ThreadStart start = StartOf(thread);
    while (start == ThreadStart::Unknown && GetTickCount64() < deadline) {
        Sleep(1);
        start = StartOf(thread);
    }
    return start == ThreadStart::InThreadPool;
}

// Run by the loader on each new thread's first step, before its start
// routine: a thread born while a library's code runs belongs to it.
void NTAPI MarkLibraryThread(PVOID, DWORD reason, PVOID) {
    ThreadRegistry& registry = TheRegistry();
    if (reason != DLL_THREAD_ATTACH || !registry.ready || IsThreadPoolThread()) {
        return;
    }
    const ExclusiveLock lock(registry.lock);
    Call* owner = registry.open;
    const DWORD id = GetCurrentThreadId();
    if (owner != nullptr && owner->threadsBefore &&
        std::binary_search(owner->threadsBefore->begin(), owner->threadsBefore->end(), id)) {
        owner = nullptr;  // there before the call, only late to start: an earlier call's, if any
    }
    if (owner != nullptr) {
        owner->markedThreads.push_back(id);
    } else {
        const ThreadIdentity self = IdentityOf(GetCurrentThread());
        for (LateThread& late : registry.late) {
            if (late.call != nullptr && late.thread == self) {
                owner = late.call;
                late = {};
                break;
            }
        }
    }
    if (owner != nullptr) {
        TlsSetValue(registry.slot, owner);
    }
}

}  // namespace

bool Install(DWORD windowThread) {
    ThreadRegistry& registry = TheRegistry();
    const ExclusiveLock lock(registry.lock);
    if (!registry.ready) {
        const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        if (ntdll != nullptr) {
            registry.ntdllBase = reinterpret_cast<std::uintptr_t>(ntdll);
            registry.ntdllSize = HeadersOf(ntdll).OptionalHeader.SizeOfImage;
            registry.nextThread = ProcAddress<NextThreadFunction>(ntdll, "NtGetNextThread");
            registry.queryThread =
                ProcAddress<QueryThreadFunction>(ntdll, "NtQueryInformationThread");
        }
        registry.windowThread = windowThread;
        registry.slot = TlsAlloc();
        registry.ready = registry.slot != TLS_OUT_OF_INDEXES;
    }
    return registry.ready;
}

void Open(Call& call) {
    std::vector<DWORD> threads;
    if (ForEachThread([&](UniqueHandle& thread) {
            threads.push_back(GetThreadId(thread.get()));
            call.heldThreads.push_back(std::move(thread));
        })) {
        std::sort(threads.begin(), threads.end());
        call.threadsBefore = std::move(threads);
    }
    call.markedThreads.reserve(16);  // mostly no allocation on a thread's first step
    ThreadRegistry& registry = TheRegistry();
    const ExclusiveLock lock(registry.lock);
    registry.open = &call;
}

bool Close(Call& call) {
    ThreadRegistry& registry = TheRegistry();
    {
        // First: a thread that takes its first step from now on is not
        // marked with the call, which is freed once no thread of it runs.
        const ExclusiveLock lock(registry.lock);
        if (registry.open == &call) {
            registry.open = nullptr;
        }
    }
    // The threads born during the call that still run.
    std::vector<LateThread> born;
    const ULONGLONG startDeadline = GetTickCount64() + 500;
    const bool listed =
        call.threadsBefore && ForEachThread([&](UniqueHandle& thread) {
            const DWORD id = GetThreadId(thread.get());
            if (id != GetCurrentThreadId() &&
                !std::binary_search(call.threadsBefore->begin(), call.threadsBefore->end(), id) &&
                ::WaitForSingleObject(thread.get(), 0) == WAIT_TIMEOUT &&
                !StartsInThreadPoolOnceKnown(thread.get(), startDeadline)) {
                born.push_back({{id, CreationTime(thread.get())}, &call});
            }
            call.heldThreads.push_back(std::move(thread));
        });

    const ExclusiveLock lock(registry.lock);
    // A thread born during the call that has not yet taken its first step
    // is marked when it does. An entry whose thread has ended makes room.
    for (LateThread& late : registry.late) {
        if (late.call != nullptr && !StillRuns(late.thread)) {
            late = {};
        }
    }
    auto free = registry.late.begin();
    for (const LateThread& thread : born) {
        if (std::find(call.markedThreads.begin(), call.markedThreads.end(), thread.thread.id) !=
            call.markedThreads.end()) {
            continue;  // it took its first step while the call was open, and is marked
        }
        free = std::find_if(free, registry.late.end(),
                            [](const LateThread& late) { return late.call == nullptr; });
        if (free == registry.late.end()) {
            break;  // unmarked, it is still the library's by where its code lies
        }
        *free = thread;
    }
    return !listed || !born.empty();
}

void MarkThisThread(Call& call) {
    const ThreadRegistry& registry = TheRegistry();
    if (registry.ready) {
        TlsSetValue(registry.slot, &call);
    }
}

const Call* CallOfThisThread() {
    const ThreadRegistry& registry = TheRegistry();
    return registry.ready ? static_cast<const Call*>(TlsGetValue(registry.slot)) : nullptr;
}

Call* CallOfLoad() {
    ThreadRegistry& registry = TheRegistry();
    if (!registry.ready) {
        return nullptr;
    }
    if (auto* own = static_cast<Call*>(TlsGetValue(registry.slot))) {
        return own;
    }
    const ExclusiveLock lock(registry.lock);
    return registry.open;
}

bool IsWindowThread() { return GetCurrentThreadId() == TheRegistry().windowThread; }

bool IsThreadPoolThread() { return StartOf(GetCurrentThread()) == ThreadStart::InThreadPool; }

}  // namespace quorvex::foreign::threads

// The program's TLS callbacks run on every thread's start, in any build.
extern "C" {
__attribute__((section(".CRT$XLB"),
               used)) extern const PIMAGE_TLS_CALLBACK quorvexMarkLibraryThread =
    quorvex::foreign::threads::MarkLibraryThread;
}
