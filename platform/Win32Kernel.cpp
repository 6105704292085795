#include "platform/Win32Kernel.h"

#include <atomic>
#include <memory>

#include "platform/Handles.h"
#include "platform/Win32Files.h"
#include "platform/Win32Startup.h"
#include "platform/foreign/ForeignCode.h"

namespace quorvex {

static_assert(LoadWithAlteredSearchPath == LOAD_WITH_ALTERED_SEARCH_PATH);
static_assert(LoadLibrarySearchDllLoadDir == LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR);
static_assert(LoadLibrarySearchSystem32 == LOAD_LIBRARY_SEARCH_SYSTEM32);

namespace {

// What the worker shares with its caller. The caller owns it; once the caller
// has stopped waiting for a worker that still runs, or a thread the library
// started still runs, it belongs to them for good, as the library does.
struct WorkerRecord {
    CallPlan plan;
    std::unique_ptr<foreign::Call> call;
    std::atomic<WorkerStage> stage{WorkerStage::Loading};
    std::atomic<std::uint32_t> status{0};
    std::atomic<bool> gaveUp{false};  // the caller has stopped waiting
};

struct Worker {
    UniqueHandle thread;
    std::unique_ptr<WorkerRecord> record;
};

// Many servers use COM in their entry points (a filter mapper, type
// libraries, the component categories manager), so the entry point runs in
// a single-threaded apartment with OLE, as the usual registration tool runs
// it. Should OLE not start, the entry point runs all the same and its own
// result tells.
std::uint32_t RunInApartment(FARPROC entry) {
    using EntryPoint = HRESULT(STDAPICALLTYPE*)();
    const Apartment ole(Apartment::With::Ole);
    return static_cast<std::uint32_t>(
        reinterpret_cast<EntryPoint>(reinterpret_cast<void (*)()>(entry))());
}

// Whether the last call failed for want of address space or memory.
bool OutOfRoom() {
    const DWORD error = GetLastError();
    return error == ERROR_NOT_ENOUGH_MEMORY || error == ERROR_OUTOFMEMORY ||
           error == ERROR_COMMITMENT_LIMIT || error == ERROR_INVALID_ADDRESS;
}

// Whether a file lies at `path`, for a load that failed: the loader refused
// it (not a library, the other architecture, an import missing, a DllMain
// that failed), rather than found nothing. A file whose attributes are kept
// from the program is there all the same: its registration may be too.
bool FileIsThere(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        return (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    }
    const DWORD error = GetLastError();
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ||
           error == ERROR_LOCK_VIOLATION;
}

// The worker: all of the library's code in this call runs here, under the
// caller's one wait.
DWORD WINAPI CarryOutPlan(LPVOID parameter) {
    WorkerRecord& worker = *static_cast<WorkerRecord*>(parameter);
    const auto load = [&] {
        return ::LoadLibraryExW(worker.plan.path.c_str(), nullptr, worker.plan.loadFlags);
    };
    HMODULE library = load();
    bool outOfRoom = library == nullptr && OutOfRoom();
    if (outOfRoom && foreign::GiveBackRoom()) {
        library = load();
        outOfRoom = library == nullptr && OutOfRoom();
    }
    foreign::NoteLibrary(*worker.call, library);
    if (library == nullptr) {
        worker.stage = outOfRoom                       ? WorkerStage::OutOfRoom
                       : FileIsThere(worker.plan.path) ? WorkerStage::NotLoaded
                                                       : WorkerStage::NoFile;
    } else if (const FARPROC entry = worker.plan.entryName != nullptr
                                         ? ::GetProcAddress(library, worker.plan.entryName)
                                         : nullptr;
               entry == nullptr) {
        worker.stage = WorkerStage::EntryMissing;
    } else {
        worker.stage = WorkerStage::InEntryPoint;
        // After a load past the limit, the caller has told of a time-out: an
        // entry point run now would act behind the rows' back.
        if (!worker.gaveUp) {
            worker.status = RunInApartment(entry);
            worker.stage = WorkerStage::Returned;
        }
    }
    const bool keep = foreign::Close(*worker.call);
    const WorkerStage reached = worker.stage;
    if (library != nullptr && !keep &&
        (reached == WorkerStage::EntryMissing || reached == WorkerStage::Returned)) {
        foreign::Release(library);
    }
    return 0;
}

Worker& WorkerOf(KernelServices::Thread thread) { return *static_cast<Worker*>(thread); }

bool HasEnded(HANDLE thread) { return ::WaitForSingleObject(thread, 0) == WAIT_OBJECT_0; }

}  // namespace

Win32Kernel::Win32Kernel() : searchFlags_(HasDllSearchFlags()) {}

bool Win32Kernel::Prepare() {
    if (!prepared_) {
        prepared_ = true;
        AwaitMainApartment();
        HMODULE ole32 = Ole32().Module();
        apartmentType_ = ProcAddress<CoGetApartmentTypeFunction>(ole32, "CoGetApartmentType");
        apartmentWait_ =
            ProcAddress<CoWaitForMultipleHandlesFunction>(ole32, "CoWaitForMultipleHandles");
    }
    return foreign::Install();
}

std::optional<std::wstring> Win32Kernel::GetFullPathNameW(const std::wstring& path) {
    return FullPathOf(path);
}

std::optional<FileIdentity> Win32Kernel::IdentityOf(const std::wstring& fullPath) {
    const UniqueHandle file(CreateFileW(fullPath.c_str(), FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                        nullptr));
    if (file.get() == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    return IdentityOfFile(file.get());
}

bool Win32Kernel::HasLoadLibrarySearchFlags() { return searchFlags_; }

KernelServices::Thread Win32Kernel::StartCall(const CallPlan& plan) {
    if (!Prepare()) {
        return nullptr;  // a fault could not be contained: the library's code does not run
    }
    auto worker = std::make_unique<Worker>();
    worker->record = std::make_unique<WorkerRecord>();
    WorkerRecord& record = *worker->record;
    record.plan = plan;
    record.call = foreign::Open(plan.path);
    record.call->body = CarryOutPlan;
    record.call->argument = &record;
    worker->thread.reset(foreign::StartWorker(*record.call));
    if (!worker->thread && foreign::GiveBackRoom()) {
        worker->thread.reset(foreign::StartWorker(*record.call));
    }
    if (!worker->thread) {
        if (foreign::Close(*record.call)) {
            // A thread born meanwhile is marked with the call: it stays.
            static_cast<void>(worker->record.release());
        }
        return nullptr;
    }
    return worker.release();
}

// An entry point may send a message to every window (WM_SETTINGCHANGE to
// HWND_BROADCAST) and wait for the answer, and once this thread is an
// apartment a screen reader may call into it: those are answered meanwhile,
// or they would wait for the command. Input stays queued, so no command
// starts and nothing is clicked while this one runs.
// Windows calls a window hung (ghosted, "Not Responding", its close box
// offering to end the program) when its thread has not read its queue for
// 5 s and is not waiting for input. So the thread waits for input as well,
// looks at it without taking it (which marks it seen: the wait wakes again
// only for newer input), and looks at least every half second, since COM's
// wait has a wake mask of its own.
DWORD Win32Kernel::WaitAnsweringCallers(HANDLE thread, DWORD ms) const {
    constexpr DWORD LookAtQueueEvery = 500;
    const ULONGLONG deadline = GetTickCount64() + ms;
    for (;;) {
        MSG message{};
        PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_INPUT | PM_QS_SENDMESSAGE);
        const ULONGLONG now = GetTickCount64();
        const DWORD left = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
        if (left == 0) {
            return ::WaitForSingleObject(thread, 0);
        }
        const DWORD slice = left < LookAtQueueEvery ? left : LookAtQueueEvery;
        DWORD woken = WAIT_FAILED;
        // The thread may enter an apartment while it waits (an accessibility
        // client's first question): asked each time round.
        APTTYPE type = APTTYPE_MTA;
        APTTYPEQUALIFIER qualifier = APTTYPEQUALIFIER_NONE;
        if (apartmentType_ != nullptr && apartmentWait_ != nullptr &&
            SUCCEEDED(apartmentType_(&type, &qualifier)) &&
            (type == APTTYPE_STA || type == APTTYPE_MAINSTA)) {
            // COM's own wait answers calls into the apartment, and sent messages.
            HANDLE handles[] = {thread};
            DWORD index = 0;
            const HRESULT waited = apartmentWait_(0, slice, 1, handles, &index);
            woken = waited == S_OK                ? WAIT_OBJECT_0
                    : waited == RPC_S_CALLPENDING ? WAIT_TIMEOUT
                                                  : WAIT_FAILED;
        } else {
            woken = MsgWaitForMultipleObjectsEx(1, &thread, slice, QS_SENDMESSAGE | QS_INPUT, 0);
        }
        if (woken == WAIT_OBJECT_0 || woken == WAIT_FAILED) {
            return woken;
        }
    }
}

std::uint32_t Win32Kernel::WaitForSingleObject(Thread thread, std::uint32_t ms) {
    Worker& worker = WorkerOf(thread);
    const DWORD waited = WaitAnsweringCallers(worker.thread.get(), ms);
    if (waited != WAIT_OBJECT_0) {
        worker.record->gaveUp = true;
    }
    // Closed by the worker when its code ended; otherwise now.
    static_cast<void>(foreign::Close(*worker.record->call));
    if (waited == WAIT_OBJECT_0) {
        foreign::Settle(*worker.record->call);
        foreign::LetGoOfThreads(*worker.record->call);
    }
    return waited;
}

WorkerReport Win32Kernel::Report(Thread thread) {
    const Worker& worker = WorkerOf(thread);
    const bool ended = HasEnded(worker.thread.get());
    return {worker.record->stage, worker.record->status, ended};
}

void Win32Kernel::CloseHandle(Thread thread) {
    const std::unique_ptr<Worker> worker(static_cast<Worker*>(thread));
    if (!HasEnded(worker->thread.get()) || worker->record->call->threadsRemain) {
        // Still running, or threads of the library are: their record stays with them.
        static_cast<void>(worker->record.release());
    }
}

}  // namespace quorvex
