#include "platform/foreign/FaultHandlers.h"

#include <cstdint>

#include "platform/foreign/Answers.h"
#include "platform/foreign/CallThreads.h"
#include "platform/foreign/LibraryPlaces.h"
#include "platform/foreign/Lock.h"

namespace quorvex::foreign::handlers {

namespace {

struct HandlerState {
    LPTOP_LEVEL_EXCEPTION_FILTER previous = nullptr;  // the filter there before
    SRWLOCK lock = SRWLOCK_INIT;
    PVOID vectored = nullptr;  // under the lock
};

HandlerState& TheState() {
    static constinit HandlerState state;
    return state;
}

// Keeps a thread whose work faulted in a library's code, holding nothing of
// the program's, for the rest of the process. A thread of the system's pool
// may not be ended: Windows ends the process instead (ExitThread on a pool
// worker raises STATUS_INVALID_THREAD), and the pool serves on with others.
[[noreturn]] void Park() {
    for (;;) {
        SleepEx(INFINITE, FALSE);
    }
}

// Ends or parks a thread after a fault that the library's code did not
// handle. The library's state is broken now, and unloading it would run its
// detach code, where a second fault would not be contained: it stays loaded
// for the rest of the process, whoever releases it.
[[noreturn]] void StopFaultingThread(const void* inLibrary, DWORD code) {
    if (inLibrary != nullptr) {
        HMODULE pinned = nullptr;
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                           static_cast<LPCWSTR>(inLibrary), &pinned);
    }
    if (threads::IsThreadPoolThread()) {
        Park();
    }
    ExitThread(code);
}

// Sends the thread whose exception is `context` on to StopFaultingThread, on
// its own stack below where it faulted, as a call would; for the vectored
// handler to return EXCEPTION_CONTINUE_EXECUTION. The dispatcher holds a
// reference on the handler's entry in its list while it calls it, and a
// handler that never returned would keep the entry there for good, called
// at every later exception.
LONG ContinueInStop(CONTEXT& context, const void* inLibrary, DWORD code) {
    constexpr std::uintptr_t Below = 256;  // what the faulting code may have left below its stack
#if defined(__i386__)
    // Aligned as at a call: the arguments on 16 bytes, the return address below.
    const std::uintptr_t sp = ((context.Esp - Below) & ~std::uintptr_t{15}) - 20;
    auto* const frame = reinterpret_cast<std::uintptr_t*>(sp);
    frame[0] = 0;  // no return
    frame[1] = reinterpret_cast<std::uintptr_t>(inLibrary);
    frame[2] = code;
    context.Esp = static_cast<DWORD>(sp);
    context.Eip = static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(&StopFaultingThread));
#else
    // Aligned as at a call: the return address below 32 bytes of home space.
    const std::uintptr_t sp = ((context.Rsp - Below) & ~std::uintptr_t{15}) - 40;
    *reinterpret_cast<std::uintptr_t*>(sp) = 0;  // no return
    context.Rsp = sp;
    context.Rcx = reinterpret_cast<std::uintptr_t>(inLibrary);
    context.Rdx = code;
    context.Rip = reinterpret_cast<std::uintptr_t>(&StopFaultingThread);
#endif
    return EXCEPTION_CONTINUE_EXECUTION;
}

// What Windows' thread pool raises on its thread when work called
// ExitThread, or returned with the thread changed in a way the pool does not
// put back (impersonating, a transaction, the loader's lock held, another
// language, priority or affinity). It then ends the process: the program
// never does any of that, so some library's work did.
bool IsPoolsComplaint(DWORD code) {
    constexpr DWORD ReturnedWhileImpersonating = 0xC0000710;
    constexpr DWORD ReturnedThreadPriority = 0xC000071B;
    constexpr DWORD InvalidThread = 0xC000071C;  // STATUS_INVALID_THREAD
    constexpr DWORD ReturnedThreadAffinity = 0xC0000721;
    return code == ReturnedWhileImpersonating || code == ReturnedThreadPriority ||
           (code >= InvalidThread && code <= ReturnedThreadAffinity);
}

bool IsFetchFault(const EXCEPTION_RECORD& record) {
    const auto address = reinterpret_cast<ULONG_PTR>(record.ExceptionAddress);
    return record.ExceptionCode == EXCEPTION_PRIV_INSTRUCTION ||  // the halts around an answer
           (record.ExceptionCode == EXCEPTION_ACCESS_VIOLATION && record.NumberParameters >= 2 &&
            record.ExceptionInformation[1] == address);
}

// First, before any frame's handler, whose owners cannot know of them:
// - what Windows' pool raises on its thread after a library's work, then
//   ending the process: the thread is parked;
// - code fetched from a released library's place, where there is none:
//   after a return into the place, with whatever then lies on the stack, no
//   unwinder may get as far as the process's filter. A call there is
//   answered; otherwise the thread stops, unless it is the window's.
// A thread stopped here stops once the handler has returned.
LONG WINAPI ContainFirst(EXCEPTION_POINTERS* exception) {
    const EXCEPTION_RECORD& record = *exception->ExceptionRecord;
    CONTEXT& context = *exception->ContextRecord;
    if (IsPoolsComplaint(record.ExceptionCode) && threads::IsThreadPoolThread()) {
        return ContinueInStop(context, nullptr, record.ExceptionCode);
    }
    const auto address = reinterpret_cast<std::uintptr_t>(record.ExceptionAddress);
    places::LibraryPlace* const place = places::Of(address);
    if (place == nullptr || !IsFetchFault(record) || !places::IsReleased(*place)) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    if (answers::AnsweredMeanwhile(*place, address) ||
        answers::AnswerCall(context, *place, address)) {
        return EXCEPTION_CONTINUE_EXECUTION;
    }
    if (const Call* call = threads::CallOfThisThread()) {
        return ContinueInStop(context, call->library.load(), record.ExceptionCode);
    }
    if (!threads::IsWindowThread()) {
        return ContinueInStop(context, nullptr, record.ExceptionCode);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

// The process's filter. A fault is the library's when it happens on one of
// its threads, or in the code of an image its call mapped (a callback it
// left to the system's thread pool, or a thread that attached after the
// call); other faults go to the filter that was there before.
LONG WINAPI ContainFault(EXCEPTION_POINTERS* exception) {
    const DWORD code = exception->ExceptionRecord->ExceptionCode;
    if (const Call* call = threads::CallOfThisThread()) {
        StopFaultingThread(call->library.load(), code);
    }
    const void* address = exception->ExceptionRecord->ExceptionAddress;
    if (places::Of(reinterpret_cast<std::uintptr_t>(address)) != nullptr &&
        !threads::IsWindowThread()) {
        StopFaultingThread(address, code);
    }
    const LPTOP_LEVEL_EXCEPTION_FILTER previous = TheState().previous;
    return previous != nullptr ? previous(exception) : EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

void Install() {
    HandlerState& state = TheState();
    state.previous = SetUnhandledExceptionFilter(ContainFault);
    const ExclusiveLock lock(state.lock);
    state.vectored = AddVectoredExceptionHandler(1, ContainFirst);
}

void PutBack() {
    SetUnhandledExceptionFilter(ContainFault);
    // Added again first before the old one goes, so that no fault meanwhile
    // finds the list without it.
    HandlerState& state = TheState();
    const ExclusiveLock lock(state.lock);
    if (PVOID first = AddVectoredExceptionHandler(1, ContainFirst)) {
        if (state.vectored != nullptr) {
            RemoveVectoredExceptionHandler(state.vectored);
        }
        state.vectored = first;
    }
}

}  // namespace quorvex::foreign::handlers

// The worker's outermost frame handler: a fault that the library's code
// does not handle ends the worker there, whatever a library has done to the
// process's filter.
extern "C" __attribute__((used)) EXCEPTION_DISPOSITION QuorvexEndFaultingWorker(
    EXCEPTION_RECORD* record, void*, CONTEXT*, void*) {
    const quorvex::foreign::Call* call = quorvex::foreign::threads::CallOfThisThread();
    if ((record->ExceptionFlags & EXCEPTION_UNWIND) != 0 || call == nullptr) {
        return ExceptionContinueSearch;
    }
    quorvex::foreign::handlers::StopFaultingThread(call->library.load(), record->ExceptionCode);
}

namespace quorvex::foreign::handlers {

// Its frame holds the handler above, so it stays on the stack below the
// library's code: no tail call.
DWORD WINAPI RunWorker(LPVOID parameter) {
    Call& call = *static_cast<Call*>(parameter);
    threads::MarkThisThread(call);
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

}  // namespace quorvex::foreign::handlers
