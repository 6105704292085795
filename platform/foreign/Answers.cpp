#include "platform/foreign/Answers.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <optional>

#include "platform/foreign/Lock.h"

namespace quorvex::foreign::answers {

namespace {

#if defined(__i386__)
// Where the system calls each kind of callback from, and how many bytes of
// arguments it passes; every callback it calls is __stdcall, so the callee
// removes them. Found once, by making the system call one callback of each
// kind, before any library's code runs: a handler or a timer that a library
// whose load failed leaves behind may call into its released place at once.
struct KnownCaller {
    const void* returnAddress = nullptr;
    DWORD argumentBytes = 0;
};
struct KnownCallers {
    SRWLOCK lock = SRWLOCK_INIT;
    std::array<KnownCaller, 16> callers{};
    std::atomic<std::size_t> count{0};
    LONG probesLeft = 9;  // the probes below
    HANDLE done = nullptr;
    DWORD probingThread = 0;
};

KnownCallers& TheCallers() {
    static constinit KnownCallers callers;
    return callers;
}

void NoteCaller(const void* returnAddress, DWORD argumentBytes) {
    KnownCallers& known = TheCallers();
    const ExclusiveLock lock(known.lock);
    const std::size_t count = known.count.load();
    if (count == known.callers.size() ||
        std::any_of(known.callers.begin(), known.callers.begin() + count,
                    [&](const KnownCaller& c) { return c.returnAddress == returnAddress; })) {
        return;
    }
    known.callers[count] = {returnAddress, argumentBytes};
    known.count.store(count + 1);
}

void NoteProbe(const void* returnAddress, DWORD argumentBytes) {
    NoteCaller(returnAddress, argumentBytes);
    if (InterlockedDecrement(&TheCallers().probesLeft) == 0) {
        SetEvent(TheCallers().done);
    }
}

VOID CALLBACK ProbeWaitOrTimer(PVOID, BOOLEAN) { NoteProbe(__builtin_return_address(0), 8); }
DWORD WINAPI ProbeWorkItem(LPVOID) {
    NoteProbe(__builtin_return_address(0), 4);
    return 0;
}
VOID CALLBACK ProbeSimple(PTP_CALLBACK_INSTANCE, PVOID) {
    NoteProbe(__builtin_return_address(0), 8);
}
VOID CALLBACK ProbeWork(PTP_CALLBACK_INSTANCE, PVOID, PTP_WORK) {
    NoteProbe(__builtin_return_address(0), 12);
}
VOID CALLBACK ProbeTimer(PTP_CALLBACK_INSTANCE, PVOID, PTP_TIMER) {
    NoteProbe(__builtin_return_address(0), 12);
}
VOID CALLBACK ProbeWait(PTP_CALLBACK_INSTANCE, PVOID, PTP_WAIT, TP_WAIT_RESULT) {
    NoteProbe(__builtin_return_address(0), 16);
}
// The exception dispatcher's call of vectored handlers, which a library may
// leave in the list ahead of any other.
constexpr DWORD ProbeException = 0xE0515658;
LONG CALLBACK ProbeVectoredHandler(EXCEPTION_POINTERS* exception) {
    if (exception->ExceptionRecord->ExceptionCode != ProbeException ||
        GetCurrentThreadId() != TheCallers().probingThread) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    NoteProbe(__builtin_return_address(0), 4);
    return EXCEPTION_CONTINUE_EXECUTION;
}

void ProbeCallers() {
    KnownCallers& known = TheCallers();
    known.done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    known.probingThread = GetCurrentThreadId();
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
    // First in the list: no other handler sees the probe.
    if (PVOID handler = AddVectoredExceptionHandler(1, ProbeVectoredHandler)) {
        RaiseException(ProbeException, 0, 0, nullptr);
        RemoveVectoredExceptionHandler(handler);
    }
    WaitForSingleObject(known.done, 2000);
}

// The bytes of arguments that the system's call returning to
// `returnAddress` passed; nothing when no known caller returns there.
std::optional<DWORD> ArgumentBytes(std::uintptr_t returnAddress) {
    if (reinterpret_cast<const void*>(returnAddress) == places::LoaderCaller()) {
        return 12;  // reason, data, context
    }
    const KnownCallers& known = TheCallers();
    const std::size_t count = std::min(known.count.load(), known.callers.size());
    for (std::size_t i = 0; i < count; ++i) {
        if (known.callers[i].returnAddress == reinterpret_cast<const void*>(returnAddress)) {
            return known.callers[i].argumentBytes;
        }
    }
    return std::nullopt;
}
#else
// The caller removes the arguments: a plain return fits every callback.
std::optional<DWORD> ArgumentBytes(std::uintptr_t) { return 0; }
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

template <typename Value>
std::optional<Value> Read(std::uintptr_t at) {
    Value value{};
    SIZE_T read = 0;
    if (ReadProcessMemory(GetCurrentProcess(), reinterpret_cast<const void*>(at), &value,
                          sizeof value, &read) == FALSE ||
        read != sizeof value) {
        return std::nullopt;
    }
    return value;
}

#if defined(__x86_64__)
// Control Flow Guard's dispatcher: Windows' x64 system libraries call a
// callback by calling the function that the pointer their load
// configuration names holds, with the target in RAX; it checks the target
// and jumps there. In a process without the guard, as this one, it is a
// bare `jmp rax`.
bool IsGuardDispatch(std::uintptr_t image, std::uintptr_t pointerAt, std::uintptr_t code) {
    constexpr std::uint32_t DispatchPointerOffset = 0x78;  // GuardCFDispatchFunctionPointer
    // Read with care: a packed image may keep its headers out of reach.
    const auto headers = Read<LONG>(image + offsetof(IMAGE_DOS_HEADER, e_lfanew));
    const auto directory =
        headers ? Read<IMAGE_DATA_DIRECTORY>(
                      image + static_cast<std::uintptr_t>(*headers) +
                      offsetof(IMAGE_NT_HEADERS, OptionalHeader.DataDirectory) +
                      IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG * sizeof(IMAGE_DATA_DIRECTORY))
                : std::nullopt;
    if (directory && directory->VirtualAddress != 0 &&
        directory->Size >= DispatchPointerOffset + 8) {
        const std::uintptr_t config = image + directory->VirtualAddress;
        const auto configSize = Read<std::uint32_t>(config);
        const auto named = Read<std::uint64_t>(config + DispatchPointerOffset);
        if (configSize && *configSize >= DispatchPointerOffset + 8 && named && *named != 0 &&
            *named == pointerAt) {
            return true;
        }
    }
    const auto bytes = Read<std::uint16_t>(code);
    return bytes && *bytes == 0xE0FF;  // jmp rax
}
#endif

// Whether the instruction that ends at `returnAddress`, in mapped code, is
// an indirect call (FF /2, through a register or a pointer in memory, as the
// system calls callbacks) whose target, by the caller's registers, is
// `target`: the fault at `target` is then at the callee's first
// instruction, not a return into released code with a stale value on the
// stack. Each reading of the bytes is tried, with and without a prefix; only
// the real call names the faulting address. On x64 the call may be of the
// guard's dispatcher, which has left RAX as it was.
bool CallsInto(std::uintptr_t returnAddress, std::uintptr_t target, const CONTEXT& context) {
    MEMORY_BASIC_INFORMATION info{};
    constexpr std::uintptr_t Longest = 8;  // a prefix and the longest call read here
    if (VirtualQuery(reinterpret_cast<const void*>(returnAddress - Longest), &info, sizeof info) ==
            0 ||
        info.Type != MEM_IMAGE) {
        return false;
    }
    // Copied with care: a packed image may keep pages out of reach.
    const auto code = Read<std::array<unsigned char, Longest>>(returnAddress - Longest);
    if (!code) {
        return false;
    }
    const unsigned char* const end = code->data() + Longest;
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
                called = Read<std::uintptr_t>(at);
#if defined(__x86_64__)
                if (called && *called != target && context.Rax == target &&
                    IsGuardDispatch(reinterpret_cast<std::uintptr_t>(info.AllocationBase), at,
                                    *called)) {
                    return true;
                }
#endif
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
bool WriteAnswer(places::LibraryPlace& place, std::uintptr_t address, DWORD argumentBytes) {
    SYSTEM_INFO system{};
    GetSystemInfo(&system);
    const std::uintptr_t size = system.dwPageSize;
    const std::uintptr_t page = address & ~(size - 1);
    auto* const pageStart = reinterpret_cast<unsigned char*>(page);
    MEMORY_BASIC_INFORMATION info{};
    if (page + size - address < 5 || !places::Reserve(place, true) ||
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
    place.answered.store(true);
    return true;
}

}  // namespace

bool AnsweredMeanwhile(places::LibraryPlace& place, std::uintptr_t address) {
    // Every answer is written under the lock, its page writable meanwhile.
    const ExclusiveLock lock(places::AnswerLock());
    MEMORY_BASIC_INFORMATION info{};
    constexpr DWORD Executable = PAGE_EXECUTE | PAGE_EXECUTE_READ;
    if (!place.answered.load() ||
        VirtualQuery(reinterpret_cast<const void*>(address), &info, sizeof info) == 0 ||
        reinterpret_cast<std::uintptr_t>(info.AllocationBase) != place.base.load() ||
        info.State != MEM_COMMIT || (info.Protect & Executable) == 0) {
        return false;
    }
    // An answer's bytes, not a halt's or a live image's.
    const auto code = Read<std::array<unsigned char, 3>>(address);
    return code && (*code)[0] == 0x31 && (*code)[1] == 0xC0 &&
           ((*code)[2] == 0xC3 || (*code)[2] == 0xC2);
}

void FindCallers() {
#if defined(__i386__)
    ProbeCallers();
#endif
}

bool AnswerCall(const CONTEXT& context, places::LibraryPlace& place, std::uintptr_t address) {
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
    const auto returnAddress = Read<std::uintptr_t>(sp);
    if (!returnAddress || places::Of(*returnAddress) != nullptr ||
        !CallsInto(*returnAddress, address, context)) {
        return false;
    }
    const std::optional<DWORD> argumentBytes = ArgumentBytes(*returnAddress);
    if (!argumentBytes) {
        return false;
    }
    const ExclusiveLock lock(places::AnswerLock());
    return WriteAnswer(place, address, *argumentBytes);
}

}  // namespace quorvex::foreign::answers
