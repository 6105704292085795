#include "platform/ForeignCode.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#include "platform/Handles.h"
#include "platform/Win32Startup.h"

namespace quorvex::foreign {

namespace {

class ExclusiveLock {
  public:
    explicit ExclusiveLock(SRWLOCK& lock) : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
    ~ExclusiveLock() { ReleaseSRWLockExclusive(&lock_); }
    ExclusiveLock(const ExclusiveLock&) = delete;
    ExclusiveLock& operator=(const ExclusiveLock&) = delete;

  private:
    SRWLOCK& lock_;
};

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

// The place a library loaded during a call occupies, or occupied once it
// was released. Written under the registry's lock, read by the filter
// without it. Once released and free, the place is reserved for good: a
// callback the library left there must never run another library's code.
// Not so the place of a library without relocations: loaded again, as it is
// at the next install, it can only go there.
struct LibraryPlace {
    std::atomic<std::uintptr_t> base{0};
    std::atomic<std::uintptr_t> size{0};
    std::atomic<bool> movable{true};
    std::atomic<bool> released{false};
    std::atomic<bool> reserved{false};  // under the answer lock
};

using NextThreadFunction = LONG(NTAPI*)(HANDLE, HANDLE, ACCESS_MASK, ULONG, ULONG, PHANDLE);
using QueryThreadFunction = LONG(NTAPI*)(HANDLE, ULONG, PVOID, ULONG, PULONG);
// Looked up: a Windows 7 without its loader update (KB2533623) lacks it.
using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);

// What every thread consults on its first step (under the loader lock) and
// on a fault: constant-initialised, so that it exists before any thread
// starts, and never destroyed. What Install writes is written once, before
// any library's code runs, and only read afterwards.
struct Registry {
    SRWLOCK lock = SRWLOCK_INIT;
    bool ready = false;
    // The call whose library a thread belongs to (the worker's and those
    // born during it); null on every other thread.
    DWORD threadSlot = TLS_OUT_OF_INDEXES;
    LPTOP_LEVEL_EXCEPTION_FILTER previous = nullptr;  // the filter there before
    DWORD mainThread = 0;                             // the window's, never ended
    std::uintptr_t ntdllBase = 0;
    std::uintptr_t ntdllSize = 0;
    NextThreadFunction nextThread = nullptr;
    QueryThreadFunction queryThread = nullptr;
    UINT errorMode = 0;  // the program's, from start-up
    SetDefaultDllDirectoriesFunction setDefaultDllDirectories = nullptr;
    Call* open = nullptr;                     // under the lock
    std::array<LateThread, 64> late{};        // under the lock
    std::array<LibraryPlace, 1024> places{};  // each load takes one: released places stay taken
    std::atomic<std::size_t> placeCount{0};
    SRWLOCK answerLock = SRWLOCK_INIT;  // one stub written at a time
};

Registry& TheRegistry() {
    static constinit Registry registry;
    return registry;
}

const IMAGE_NT_HEADERS& HeadersOf(HMODULE module) {
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(module);
    return *reinterpret_cast<const IMAGE_NT_HEADERS*>(reinterpret_cast<const char*>(module) +
                                                      dos->e_lfanew);
}

std::uintptr_t ImageSize(HMODULE module) { return HeadersOf(module).OptionalHeader.SizeOfImage; }

bool HasRelocations(HMODULE module) {
    const IMAGE_NT_HEADERS& headers = HeadersOf(module);
    return (headers.FileHeader.Characteristics & IMAGE_FILE_RELOCS_STRIPPED) == 0 &&
           headers.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_BASERELOC].Size != 0;
}

LibraryPlace* PlaceOf(std::uintptr_t address) {
    Registry& registry = TheRegistry();
    const std::size_t count = std::min(registry.placeCount.load(), registry.places.size());
    for (std::size_t i = 0; i < count; ++i) {
        LibraryPlace& place = registry.places[i];
        const std::uintptr_t base = place.base.load();
        if (address >= base && address - base < place.size.load()) {
            return &place;
        }
    }
    return nullptr;
}

// Records the place under the registry's lock; null when the table is full.
LibraryPlace* RecordPlace(HMODULE library, bool released) {
    Registry& registry = TheRegistry();
    const auto base = reinterpret_cast<std::uintptr_t>(library);
    const ExclusiveLock lock(registry.lock);
    const std::size_t count = registry.placeCount.load();
    for (std::size_t i = 0; i < count; ++i) {
        if (registry.places[i].base.load() == base) {
            registry.places[i].size.store(ImageSize(library));
            registry.places[i].movable.store(HasRelocations(library));
            registry.places[i].released.store(released);
            return &registry.places[i];
        }
    }
    if (count == registry.places.size()) {
        return nullptr;
    }
    registry.places[count].size.store(ImageSize(library));
    registry.places[count].movable.store(HasRelocations(library));
    registry.places[count].released.store(released);
    registry.places[count].base.store(base);
    registry.placeCount.store(count + 1);
    return &registry.places[count];
}

// Reserves a released library's place, once nothing is mapped there any
// more; under the answer lock.
bool ReservePlace(LibraryPlace& place) {
    if (!place.reserved.load()) {
        void* const base = reinterpret_cast<void*>(place.base.load());
        place.reserved.store(place.released.load() && place.movable.load() &&
                             VirtualAlloc(base, place.size.load(), MEM_RESERVE, PAGE_NOACCESS) ==
                                 base);
    }
    return place.reserved.load();
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
    const Registry& registry = TheRegistry();
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

bool StartsInThreadPool(HANDLE thread) { return StartOf(thread) == ThreadStart::InThreadPool; }

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
    Registry& registry = TheRegistry();
    if (reason != DLL_THREAD_ATTACH || !registry.ready || StartsInThreadPool(GetCurrentThread())) {
        return;
    }
    const ExclusiveLock lock(registry.lock);
    Call* owner = registry.open;
    if (owner == nullptr) {
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
        TlsSetValue(registry.threadSlot, owner);
    }
}

const Call* CallOfThisThread() {
    const Registry& registry = TheRegistry();
    return registry.ready ? static_cast<const Call*>(TlsGetValue(registry.threadSlot)) : nullptr;
}

// Ends a thread of a library after a fault that the library's code did not
// handle. The library's state is broken now, and unloading it would run its
// detach code, where a second fault would not be contained: it stays loaded
// for the rest of the process, whoever releases it.
[[noreturn]] void EndFaultingThread(const void* inLibrary, DWORD code) {
    if (inLibrary != nullptr) {
        HMODULE pinned = nullptr;
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                           static_cast<LPCWSTR>(inLibrary), &pinned);
    }
    ExitThread(code);
}

#if defined(__i386__)
// Where the system's thread pool calls each kind of callback from, and how
// many bytes of arguments it passes; every pool callback is __stdcall, so
// the callee removes them. Found once, by queueing a callback of each kind,
// before the first library is released: found at the first call into a
// released library's place instead, a timer's later ticks would meanwhile
// each take a pool thread.
struct PoolCaller {
    const void* returnAddress = nullptr;
    DWORD argumentBytes = 0;
};
struct PoolCallers {
    std::array<PoolCaller, 8> callers{};
    LONG count = 0;
    HANDLE done = nullptr;
};

PoolCallers& ThePoolCallers() {
    static constinit PoolCallers callers;
    return callers;
}

void NoteCaller(const void* returnAddress, DWORD argumentBytes) {
    PoolCallers& callers = ThePoolCallers();
    const LONG index = InterlockedIncrement(&callers.count) - 1;
    if (index < static_cast<LONG>(callers.callers.size())) {
        callers.callers[static_cast<std::size_t>(index)] = {returnAddress, argumentBytes};
    }
    if (index + 1 == static_cast<LONG>(callers.callers.size())) {
        SetEvent(callers.done);
    }
}

VOID CALLBACK ProbeWaitOrTimer(PVOID, BOOLEAN) { NoteCaller(__builtin_return_address(0), 8); }
DWORD WINAPI ProbeWorkItem(LPVOID) {
    NoteCaller(__builtin_return_address(0), 4);
    return 0;
}
VOID CALLBACK ProbeSimple(PTP_CALLBACK_INSTANCE, PVOID) {
    NoteCaller(__builtin_return_address(0), 8);
}
VOID CALLBACK ProbeWork(PTP_CALLBACK_INSTANCE, PVOID, PTP_WORK) {
    NoteCaller(__builtin_return_address(0), 12);
}
VOID CALLBACK ProbeTimer(PTP_CALLBACK_INSTANCE, PVOID, PTP_TIMER) {
    NoteCaller(__builtin_return_address(0), 12);
}
VOID CALLBACK ProbeWait(PTP_CALLBACK_INSTANCE, PVOID, PTP_WAIT, TP_WAIT_RESULT) {
    NoteCaller(__builtin_return_address(0), 16);
}

BOOL CALLBACK FindPoolCallers(PINIT_ONCE, PVOID, PVOID*) {
    PoolCallers& callers = ThePoolCallers();
    callers.done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const HANDLE signalled = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    // One-shot, and never freed: this runs once per process.
    HANDLE timer = nullptr;
    HANDLE wait = nullptr;
    QueueUserWorkItem(ProbeWorkItem, nullptr, WT_EXECUTEDEFAULT);
    CreateTimerQueueTimer(&timer, nullptr, ProbeWaitOrTimer, nullptr, 0, 0, WT_EXECUTEONLYONCE);
    CreateTimerQueueTimer(&timer, nullptr, ProbeWaitOrTimer, nullptr, 0, 0,
                          WT_EXECUTEONLYONCE | WT_EXECUTEINTIMERTHREAD);
    RegisterWaitForSingleObject(&wait, signalled, ProbeWaitOrTimer, nullptr, INFINITE,
                                WT_EXECUTEONLYONCE);
    TrySubmitThreadpoolCallback(ProbeSimple, nullptr, nullptr);
    SubmitThreadpoolWork(CreateThreadpoolWork(ProbeWork, nullptr, nullptr));
    FILETIME now{0xFFFFFFFF, 0xFFFFFFFF};  // relative: 100 ns from now
    SetThreadpoolTimer(CreateThreadpoolTimer(ProbeTimer, nullptr, nullptr), &now, 0, 0);
    SetThreadpoolWait(CreateThreadpoolWait(ProbeWait, nullptr, nullptr), signalled, nullptr);
    WaitForSingleObject(callers.done, 2000);
    return TRUE;
}

void FindPoolCallersOnce() {
    static constinit INIT_ONCE once = INIT_ONCE_STATIC_INIT;
    InitOnceExecuteOnce(&once, FindPoolCallers, nullptr, nullptr);
}

// The bytes of arguments that the pool's call returning to `returnAddress`
// passed; nothing when no callback of the pool's returns there.
std::optional<DWORD> ArgumentBytes(const void* returnAddress) {
    const PoolCallers& callers = ThePoolCallers();
    const auto count =
        std::min<std::size_t>(static_cast<std::size_t>(callers.count), callers.callers.size());
    for (std::size_t i = 0; i < count; ++i) {
        if (callers.callers[i].returnAddress == returnAddress) {
            return callers.callers[i].argumentBytes;
        }
    }
    return std::nullopt;
}
#else
void FindPoolCallersOnce() {}

// The caller removes the arguments: a plain return fits every callback.
std::optional<DWORD> ArgumentBytes(const void*) { return 0; }
#endif

// A general register of the caller as it made its call, numbered as the
// instruction set numbers them; the call has since pushed its return
// address.
std::uintptr_t CallerRegister(const CONTEXT& context, unsigned number) {
#if defined(__i386__)
    const std::array<DWORD, 8> registers{context.Eax,     context.Ecx, context.Edx, context.Ebx,
                                         context.Esp + 4, context.Ebp, context.Esi, context.Edi};
#else
    const std::array<DWORD64, 16> registers{context.Rax,     context.Rcx, context.Rdx, context.Rbx,
                                            context.Rsp + 8, context.Rbp, context.Rsi, context.Rdi,
                                            context.R8,      context.R9,  context.R10, context.R11,
                                            context.R12,     context.R13, context.R14, context.R15};
#endif
    return static_cast<std::uintptr_t>(registers[number % registers.size()]);
}

std::optional<std::uintptr_t> ReadPointer(std::uintptr_t at) {
    std::uintptr_t value = 0;
    SIZE_T read = 0;
    if (ReadProcessMemory(GetCurrentProcess(), reinterpret_cast<const void*>(at), &value,
                          sizeof value, &read) == FALSE ||
        read != sizeof value) {
        return std::nullopt;
    }
    return value;
}

// Whether the instruction that ends at `returnAddress`, in mapped code, is
// an indirect call (FF /2, through a register or a pointer in memory, as the
// system calls callbacks) whose target, by the caller's registers, is
// `target`: the fault at `target` is then at the callee's first
// instruction, not a return into released code with a stale value on the
// stack. Each reading of the bytes is tried, with and without a prefix; only
// the real call names the faulting address.
bool CallsInto(std::uintptr_t returnAddress, std::uintptr_t target, const CONTEXT& context) {
    MEMORY_BASIC_INFORMATION info{};
    if (VirtualQuery(reinterpret_cast<const void*>(returnAddress - 8), &info, sizeof info) == 0 ||
        info.Type != MEM_IMAGE || info.State != MEM_COMMIT ||
        reinterpret_cast<std::uintptr_t>(info.BaseAddress) + info.RegionSize < returnAddress) {
        return false;
    }
    const auto* end = reinterpret_cast<const unsigned char*>(returnAddress);
    for (int length = 2; length <= 7; ++length) {
        const unsigned modrm = end[1 - length];
        const unsigned mod = modrm >> 6;
        const unsigned rm = modrm & 7;
        const bool sib = mod != 3 && rm == 4;
        const unsigned sibByte = sib ? end[2 - length] : 0;
        const bool noBase = mod == 0 && (rm == 5 || (sib && (sibByte & 7) == 5));
        const int displacementSize = mod == 1 ? 1 : (mod == 2 || noBase) ? 4 : 0;
        if (end[-length] != 0xFF || ((modrm >> 3) & 7) != 2 ||
            length != 2 + (sib ? 1 : 0) + displacementSize) {
            continue;
        }
        std::int32_t displacement = displacementSize == 1 ? static_cast<signed char>(end[-1]) : 0;
        if (displacementSize == 4) {
            std::memcpy(&displacement, end - 4, sizeof displacement);
        }
#if defined(__x86_64__)
        const unsigned prefix = (end[-length - 1] & 0xF0) == 0x40 ? end[-length - 1] : 0;
#else
        const unsigned prefix = 0;
#endif
        for (const unsigned rex : {0U, prefix}) {
            const unsigned extendBase = (rex & 1) << 3;
            const unsigned extendIndex = (rex & 2) << 2;
            std::optional<std::uintptr_t> called;
            if (mod == 3) {
                called = CallerRegister(context, rm | extendBase);
            } else {
                auto at = static_cast<std::uintptr_t>(static_cast<std::intptr_t>(displacement));
                if (mod == 0 && rm == 5) {
#if defined(__x86_64__)
                    at += returnAddress;  // relative to the next instruction
#endif
                } else if (sib) {
                    const unsigned index = ((sibByte >> 3) & 7) | extendIndex;
                    if (index != 4) {
                        at += CallerRegister(context, index) << (sibByte >> 6);
                    }
                    if (!noBase) {
                        at += CallerRegister(context, (sibByte & 7) | extendBase);
                    }
                } else {
                    at += CallerRegister(context, rm | extendBase);
                }
                called = ReadPointer(at);
            }
            if (called == target) {
                return true;
            }
        }
    }
    return false;
}

// Writes, at `address` in a released library's place, code that returns
// at once with 0, removing `argumentBytes` of arguments. The page is one
// this program commits in its reservation of the place; the rest of it
// halts, so a call elsewhere in it comes here too. Under the answer lock.
bool WriteAnswer(LibraryPlace& place, std::uintptr_t address, DWORD argumentBytes) {
    SYSTEM_INFO system{};
    GetSystemInfo(&system);
    const std::uintptr_t size = system.dwPageSize;
    const std::uintptr_t page = address & ~(size - 1);
    auto* const pageStart = reinterpret_cast<unsigned char*>(page);
    MEMORY_BASIC_INFORMATION info{};
    if (page + size - address < 5 || !ReservePlace(place) ||
        VirtualQuery(pageStart, &info, sizeof info) == 0 ||
        reinterpret_cast<std::uintptr_t>(info.AllocationBase) != place.base.load()) {
        return false;
    }
    DWORD old = 0;
    if (info.State == MEM_COMMIT) {  // written before: only this program commits here
        if (VirtualProtect(pageStart, size, PAGE_READWRITE, &old) == FALSE) {
            return false;
        }
    } else if (VirtualAlloc(pageStart, size, MEM_COMMIT, PAGE_READWRITE) != nullptr) {
        std::fill_n(pageStart, size, static_cast<unsigned char>(0xF4));  // hlt
    } else {
        return false;
    }
    auto* code = reinterpret_cast<unsigned char*>(address);
    code[0] = 0x31;  // xor eax, eax
    code[1] = 0xC0;
    if (argumentBytes == 0) {
        code[2] = 0xC3;  // ret
    } else {
        code[2] = 0xC2;  // ret imm16
        code[3] = static_cast<unsigned char>(argumentBytes & 0xFF);
        code[4] = static_cast<unsigned char>(argumentBytes >> 8);
    }
    VirtualProtect(pageStart, size, PAGE_EXECUTE_READ, &old);
    FlushInstructionCache(GetCurrentProcess(), pageStart, size);
    return true;
}

bool IsFetchFault(const EXCEPTION_RECORD& record) {
    const auto address = reinterpret_cast<ULONG_PTR>(record.ExceptionAddress);
    return record.ExceptionCode == EXCEPTION_PRIV_INSTRUCTION ||  // the halts around an answer
           (record.ExceptionCode == EXCEPTION_ACCESS_VIOLATION && record.NumberParameters >= 2 &&
            record.ExceptionInformation[1] == address);
}

// A call into the place a released library occupied (a timer or other
// callback it left with the system): the fault is at the first instruction,
// and the stack's top is the return address of the call that named it.
// Rather than fault at every call, the place answers it by returning at once.
bool AnswerCallIntoReleasedPlace(const CONTEXT& context, LibraryPlace& place,
                                 std::uintptr_t address) {
#if defined(__i386__)
    const std::uintptr_t ip = context.Eip;
    const std::uintptr_t sp = context.Esp;
#else
    const std::uintptr_t ip = context.Rip;
    const std::uintptr_t sp = context.Rsp;
#endif
    if (ip != address) {
        return false;
    }
    const std::uintptr_t returnAddress = *reinterpret_cast<const std::uintptr_t*>(sp);
    if (PlaceOf(returnAddress) != nullptr || !CallsInto(returnAddress, address, context)) {
        return false;
    }
    const std::optional<DWORD> argumentBytes =
        ArgumentBytes(reinterpret_cast<const void*>(returnAddress));
    if (!argumentBytes) {
        return false;
    }
    const ExclusiveLock lock(TheRegistry().answerLock);
    return WriteAnswer(place, address, *argumentBytes);
}

// First, before any frame's handler: code fetched from a released
// library's place, where there is none. No handler knows of it, and after
// a return into the place, with whatever then lies on the stack, no
// unwinder may get as far as the process's filter. A call there is
// answered; otherwise the thread ends, unless it is the window's.
LONG WINAPI ContainFetchFromReleasedPlace(EXCEPTION_POINTERS* exception) {
    const EXCEPTION_RECORD& record = *exception->ExceptionRecord;
    const auto address = reinterpret_cast<std::uintptr_t>(record.ExceptionAddress);
    LibraryPlace* const place = PlaceOf(address);
    if (place == nullptr || !place->released.load() || !IsFetchFault(record)) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    if (AnswerCallIntoReleasedPlace(*exception->ContextRecord, *place, address)) {
        return EXCEPTION_CONTINUE_EXECUTION;
    }
    if (const Call* call = CallOfThisThread()) {
        EndFaultingThread(call->library.load(), record.ExceptionCode);
    }
    if (GetCurrentThreadId() != TheRegistry().mainThread) {
        EndFaultingThread(nullptr, record.ExceptionCode);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

// The process's filter: a library may replace or clear it, so it is put
// back around each call. A fault is the library's when it happens on one of
// its threads, or in its code (a callback it left to the system's thread
// pool, or a thread that attached after the call); other faults go to the
// filter that was there before.
LONG WINAPI ContainFault(EXCEPTION_POINTERS* exception) {
    const DWORD code = exception->ExceptionRecord->ExceptionCode;
    if (const Call* call = CallOfThisThread()) {
        EndFaultingThread(call->library.load(), code);
    }
    const void* address = exception->ExceptionRecord->ExceptionAddress;
    if (PlaceOf(reinterpret_cast<std::uintptr_t>(address)) != nullptr &&
        GetCurrentThreadId() != TheRegistry().mainThread) {
        EndFaultingThread(address, code);
    }
    const LPTOP_LEVEL_EXCEPTION_FILTER previous = TheRegistry().previous;
    return previous != nullptr ? previous(exception) : EXCEPTION_CONTINUE_SEARCH;
}

// The library's own folder joins the search of loads by name (a helper
// beside it, a delay-loaded import), beside the system folder; never the
// program's folder.
void SearchLibraryFolder(const std::wstring& libraryPath) {
    const Registry& registry = TheRegistry();
    if (registry.setDefaultDllDirectories != nullptr) {
        registry.setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32 |
                                          LOAD_LIBRARY_SEARCH_USER_DIRS);
    }
    SetDllDirectoryW(libraryPath.substr(0, libraryPath.find_last_of(L'\\')).c_str());
}

std::wstring CurrentFolder() {
    std::wstring folder(GetCurrentDirectoryW(0, nullptr), L'\0');
    folder.resize(GetCurrentDirectoryW(static_cast<DWORD>(folder.size()), folder.data()));
    return folder;
}

// What the program set up at start-up, and the call's current folder. A
// library may change any of them (a crash reporter's error mode, its own
// search folders, the current folder), and they hold for the whole process.
void PutSettingsBack(Call& call) {
    const Registry& registry = TheRegistry();
    SetUnhandledExceptionFilter(ContainFault);
    if (GetErrorMode() != registry.errorMode) {
        SetErrorMode(registry.errorMode);
    }
    if (registry.setDefaultDllDirectories != nullptr) {
        // Without the user folders, whatever a library added is not searched.
        registry.setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
        SetDllDirectoryW(nullptr);
    } else {
        SetDllDirectoryW(L"");  // as at start-up: not the current folder
    }
    if (!call.currentFolder.empty() && CurrentFolder() != call.currentFolder) {
        SetCurrentDirectoryW(call.currentFolder.c_str());
    }
}

}  // namespace
}  // namespace quorvex::foreign

// The program's TLS callbacks run on every thread's start, in any build.
extern "C" {
__attribute__((section(".CRT$XLB"),
               used)) extern const PIMAGE_TLS_CALLBACK quorvexMarkLibraryThread =
    quorvex::foreign::MarkLibraryThread;

// The worker's outermost frame handler: a fault that the library's code
// does not handle ends the worker there, whatever a library has done to the
// process's filter.
__attribute__((used)) EXCEPTION_DISPOSITION QuorvexEndFaultingWorker(EXCEPTION_RECORD* record,
                                                                     void*, CONTEXT*, void*) {
    const quorvex::foreign::Call* call = quorvex::foreign::CallOfThisThread();
    if ((record->ExceptionFlags & EXCEPTION_UNWIND) != 0 || call == nullptr) {
        return ExceptionContinueSearch;
    }
    quorvex::foreign::EndFaultingThread(call->library.load(), record->ExceptionCode);
}
}

namespace quorvex::foreign {
namespace {

// The worker's start routine. Its frame holds the handler above, so it
// stays on the stack below the library's code: no tail call.
DWORD WINAPI RunWorker(LPVOID parameter) {
    Call& call = *static_cast<Call*>(parameter);
    TlsSetValue(TheRegistry().threadSlot, &call);
    // Room for the handler, should the library's code overflow its stack.
    ULONG reserve = 64 * 1024;
    SetThreadStackGuarantee(&reserve);
#if defined(__i386__)
    struct Registration {
        void* previous;
        void* handler;
    } frame{nullptr, reinterpret_cast<void*>(&QuorvexEndFaultingWorker)};
    asm volatile("movl %%fs:0, %0" : "=r"(frame.previous));
    asm volatile("movl %0, %%fs:0" : : "r"(&frame) : "memory");
    const DWORD result = call.body(call.argument);
    asm volatile("movl %0, %%fs:0" : : "r"(frame.previous) : "memory");
#elif defined(__x86_64__)
    asm(".seh_handler QuorvexEndFaultingWorker, @except");
    const DWORD result = call.body(call.argument);
    // A call, not a jump; and the return address is no epilogue, which the
    // unwinder would take this frame to be leaving, its handler passed over.
    asm volatile("nop" : : "r"(result) : "memory");
#else
#error "the worker's frame handler is written for x86 and x86_64"
#endif
    return result;
}

DWORD WINAPI ServeMainApartment(LPVOID started) {
    const Apartment com(Apartment::With::Com);
    SetEvent(static_cast<HANDLE>(started));
    MSG message{};
    while (GetMessageW(&message, nullptr, 0, 0) != -1) {
        DispatchMessageW(&message);  // a quit message posted by anyone ends nothing
    }
    return 0;
}

}  // namespace

bool Install() {
    Registry& registry = TheRegistry();
    const ExclusiveLock lock(registry.lock);
    if (!registry.ready) {
        const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        if (ntdll != nullptr) {
            registry.ntdllBase = reinterpret_cast<std::uintptr_t>(ntdll);
            registry.ntdllSize = ImageSize(ntdll);
            registry.nextThread = ProcAddress<NextThreadFunction>(ntdll, "NtGetNextThread");
            registry.queryThread =
                ProcAddress<QueryThreadFunction>(ntdll, "NtQueryInformationThread");
        }
        registry.setDefaultDllDirectories = ProcAddress<SetDefaultDllDirectoriesFunction>(
            GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories");
        registry.errorMode = GetErrorMode();
        registry.mainThread = GetCurrentThreadId();
        registry.threadSlot = TlsAlloc();
        registry.previous = SetUnhandledExceptionFilter(ContainFault);
        AddVectoredExceptionHandler(1, ContainFetchFromReleasedPlace);
        registry.ready = true;
    }
    return registry.threadSlot != TLS_OUT_OF_INDEXES;
}

std::unique_ptr<Call> Open(const std::wstring& libraryPath) {
    auto call = std::make_unique<Call>();
    std::vector<DWORD> threads;
    if (ForEachThread([&](UniqueHandle& thread) {
            threads.push_back(GetThreadId(thread.get()));
            call->heldThreads.push_back(std::move(thread));
        })) {
        std::sort(threads.begin(), threads.end());
        call->threadsBefore = std::move(threads);
    }
    call->currentFolder = CurrentFolder();
    SetUnhandledExceptionFilter(ContainFault);  // the rest was put back as the last call ended
    SearchLibraryFolder(libraryPath);
    Registry& registry = TheRegistry();
    const ExclusiveLock lock(registry.lock);
    registry.open = call.get();
    return call;
}

HANDLE StartWorker(Call& call) { return CreateThread(nullptr, 0, RunWorker, &call, 0, nullptr); }

void NoteLibrary(Call& call, HMODULE library) {
    call.library.store(library);
    if (library != nullptr && RecordPlace(library, false) == nullptr) {
        // Unknown to the filter, its code is not released either.
        call.threadsRemain.store(true);
    }
}

bool Close(Call& call) {
    PutSettingsBack(call);
    if (call.closed.exchange(true)) {
        return true;
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
    const bool threadsRemain = !listed || !born.empty() || call.threadsRemain.load();
    call.threadsRemain.store(threadsRemain);

    Registry& registry = TheRegistry();
    const ExclusiveLock lock(registry.lock);
    if (registry.open == &call) {
        registry.open = nullptr;
    }
    // A thread born during the call that has not yet taken its first step
    // is marked when it does. An entry whose thread has ended makes room.
    for (LateThread& late : registry.late) {
        if (late.call != nullptr && !StillRuns(late.thread)) {
            late = {};
        }
    }
    auto free = registry.late.begin();
    for (const LateThread& thread : born) {
        free = std::find_if(free, registry.late.end(),
                            [](const LateThread& late) { return late.call == nullptr; });
        if (free == registry.late.end()) {
            break;  // unmarked, it is still the library's by where its code lies
        }
        *free = thread;
    }
    return threadsRemain;
}

void LetGoOfThreads(Call& call) { call.heldThreads.clear(); }

void Release(HMODULE library) {
    FindPoolCallersOnce();
    LibraryPlace* const place = RecordPlace(library, true);
    FreeLibrary(library);
    if (place != nullptr) {
        const ExclusiveLock lock(TheRegistry().answerLock);
        ReservePlace(*place);
    }
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

}  // namespace quorvex::foreign
