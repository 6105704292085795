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

bool IsFetchFault(const EXCEPTION_RECORD& record) {
    const auto address = reinterpret_cast<ULONG_PTR>(record.ExceptionAddress);
    return record.ExceptionCode == EXCEPTION_PRIV_INSTRUCTION ||  // the halts around an answer
           (record.ExceptionCode == EXCEPTION_ACCESS_VIOLATION && record.NumberParameters >= 2 &&
            record.ExceptionInformation[1] == address);
}

// First, before any frame's handler, whose owners cannot know of them:
// - what Windows raises when work on a pool thread calls ExitThread, after
//   the thread's detach has run, and then ends the process: the program
//   never does, so some library's work did, and the thread is parked;
// - code fetched from a released library's place, where there is none:
//   after a return into the place, with whatever then lies on the stack, no
//   unwinder may get as far as the process's filter. A call there is
//   answered; otherwise the thread stops, unless it is the window's.
LONG WINAPI ContainFirst(EXCEPTION_POINTERS* exception) {
    const EXCEPTION_RECORD& record = *exception->ExceptionRecord;
    constexpr DWORD InvalidThread = 0xC000071C;  // STATUS_INVALID_THREAD
    if (record.ExceptionCode == InvalidThread && threads::IsThreadPoolThread()) {
        Park();
    }
    const auto address = reinterpret_cast<std::uintptr_t>(record.ExceptionAddress);
    places::LibraryPlace* const place = places::Of(address);
    if (place == nullptr || !IsFetchFault(record) || !places::IsReleased(*place)) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    if (answers::AnsweredMeanwhile(*place, address) ||
        answers::AnswerCall(*exception->ContextRecord, *place, address)) {
        return EXCEPTION_CONTINUE_EXECUTION;
    }
    if (const Call* call = threads::CallOfThisThread()) {
        StopFaultingThread(call->library.load(), record.ExceptionCode);
    }
    if (!threads::IsWindowThread()) {
        StopFaultingThread(nullptr, record.ExceptionCode);
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
