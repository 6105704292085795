// What the commands find at the destination: missing, broken, failing,
// protected or held copies. The folder text is the destination folder; the
// application folder ships fixture_both_ok. The copy that hangs is in
// RepeatedUseFaultTest.cpp, as the one time-out of the suite.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cwchar>

#include "tests/faults/FaultHarness.h"

#if defined(__x86_64__)
// A call as Windows' x64 system libraries call a callback: of the function
// that Control Flow Guard's dispatch pointer holds (in a process without
// the guard, a bare `jmp rax`), with the target in RAX.
extern "C" std::uintptr_t quorvexCallThroughDispatcher(std::uintptr_t target);
asm(R"(
    .text
quorvexDispatch:
    jmp *%rax
    .globl quorvexCallThroughDispatcher
    .seh_proc quorvexCallThroughDispatcher
quorvexCallThroughDispatcher:
    subq $40, %rsp
    .seh_stackalloc 40
    .seh_endprologue
    movq %rcx, %rax
    call *quorvexDispatchPointer(%rip)
    nop
    addq $40, %rsp
    ret
    .seh_endproc
    .data
    .p2align 3
quorvexDispatchPointer:
    .quad quorvexDispatch
    .text
)");
#endif

namespace quorvex::faults {
namespace {

using enum Command;

// The event that lets the fixtures' slow entry points and DllMain end.
UniqueHandle ReleaseEvent() {
    return UniqueHandle(CreateEventW(
        nullptr, TRUE, FALSE,
        (L"quorvex-fixture-release-" + std::to_wstring(GetCurrentProcessId())).c_str()));
}

// A number a fixture set in the environment; 0 when there is none.
std::uint64_t FixtureNumber(const wchar_t* variable) {
    wchar_t text[24] = L"";
    GetEnvironmentVariableW(variable, text, 24);
    return std::wcstoull(text, nullptr, 10);
}

// Whether a thread of the test's own, not the system pool's, running `body`
// comes back and goes on.
bool ThreadComesBack(LPTHREAD_START_ROUTINE body, LPVOID argument) {
    const UniqueHandle thread(CreateThread(nullptr, 0, body, argument, 0, nullptr));
    DWORD exitCode = 0;
    return thread && WaitForSingleObject(thread.get(), 5000) == WAIT_OBJECT_0 &&
           GetExitCodeThread(thread.get(), &exitCode) && exitCode == 7;
}

#if defined(__x86_64__)
DWORD WINAPI CallThroughDispatcher(LPVOID target) {
    quorvexCallThroughDispatcher(reinterpret_cast<std::uintptr_t>(target));
    return 7;
}
#endif

// What Windows' pool raises on its thread, as RtlRaiseStatus does, when work
// called ExitThread (STATUS_INVALID_THREAD) or returned with the thread
// changed: impersonating, with a priority, a transaction, the loader's lock,
// a language, a priority raised back, an affinity.
struct PoolsComplaint {
    DWORD code;
    std::atomic<DWORD> raisedOn{0};
};
constexpr DWORD PoolsComplaints[] = {0xC000071C, 0xC0000710, 0xC000071B, 0xC000071D,
                                     0xC000071E, 0xC000071F, 0xC0000720, 0xC0000721};

DWORD WINAPI RaisePoolsComplaint(LPVOID raised) {
    auto& complaint = *static_cast<PoolsComplaint*>(raised);
    complaint.raisedOn.store(GetCurrentThreadId());
    RaiseException(complaint.code, EXCEPTION_NONCONTINUABLE, 0, nullptr);
    return 0;
}

constexpr DWORD TestException = 0xE0515659;

LONG WINAPI HandleTestException(EXCEPTION_POINTERS* exception) {
    return exception->ExceptionRecord->ExceptionCode == TestException ? EXCEPTION_CONTINUE_EXECUTION
                                                                      : EXCEPTION_CONTINUE_SEARCH;
}

DWORD WINAPI RaiseTestException(LPVOID) {
    RaiseException(TestException, 0, 0, nullptr);
    return 7;
}

using InstalledCopyFaults = FaultTest;

TEST_F(InstalledCopyFaults, MissingOrNotALibrary) {
    Expect(Run("installed copy missing: install", Install, dest));
    WriteBytes(installed, "MZ but not a library at all");
    Expect(Run("installed copy not a library: install", Install, dest));
    WriteBytes(installed, "MZ but not a library at all");
    Expect(Run("installed copy not a library: uninstall", Uninstall, dest));
}

TEST_F(InstalledCopyFaults, LibraryOfTheOtherBitness) {
    ASSERT_TRUE(FixtureBytes(L"fixture_other_bitness")) << "the build makes it for either bitness";
    Place(L"fixture_other_bitness", installed);
    Expect(Run("installed copy of the other bitness: install", Install, dest));
    Place(L"fixture_other_bitness", installed);
    Expect(Run("installed copy of the other bitness: uninstall", Uninstall, dest));
}

TEST_F(InstalledCopyFaults, RefusesToLoadOrLacksEntryPoints) {
    Place(L"fixture_refuse_load", installed);
    Expect(Run("installed copy refuses to load: install", Install, dest));
    Place(L"fixture_register_only", installed);
    Expect(Run("installed copy without DllUnregisterServer: install", Install, dest));
    Place(L"fixture_register_only", installed);
    Expect(Run("installed copy without DllUnregisterServer: uninstall", Uninstall, dest));
    Place(L"fixture_no_entries", installed);
    Expect(Run("installed copy without entry points: uninstall", Uninstall, dest));
}

TEST_F(InstalledCopyFaults, EntryPointReportsAStatus) {
    Place(L"fixture_failing", installed);
    Expect(Run("unregister returns SELFREG_E_CLASS: install", Install, dest));
    Place(L"fixture_failing", installed);
    Expect(Run("unregister returns SELFREG_E_CLASS: uninstall", Uninstall, dest));
    Place(L"fixture_denied", installed);
    Expect(Run("unregister returns E_ACCESSDENIED: uninstall", Uninstall, dest));
    // S_FALSE is positive: a success, if a qualified one.
    Place(L"fixture_both_false", installed);
    Expect(Run("unregister returns S_FALSE: uninstall", Uninstall, dest));
}

// After its fault, or any other end without its return, the library stays
// loaded until the program ends (its detach code is not to be run on broken
// state), so it cannot be replaced or deleted meanwhile: each copy gets a
// folder of its own.
TEST_F(InstalledCopyFaults, EntryPointFaults) {
    // An access violation, a raised code that is positive as an HRESULT, a
    // worker ended with exit code 1 by Wine without any handler, and one
    // ended with exit code 0, the status of a success.
    for (const auto& [fixture, name] :
         {std::pair{L"fixture_fault", "unregister faults"},
          std::pair{L"fixture_raise", "unregister raises 0x0EEDFADE"},
          std::pair{L"fixture_stack_overflow", "unregister overflows its stack"},
          std::pair{L"fixture_exit_thread", "unregister ends its own thread"},
          std::pair{L"fixture_clear_filter_fault", "unregister clears the filter, then faults"}}) {
        for (Command command : {Install, Uninstall}) {
            const bool install = command == Install;
            const std::wstring folder =
                LoadedCopyFolder(std::wstring(fixture) + (install ? L"-install" : L"-uninstall"));
            const std::wstring copy = folder + L"\\Quorvexv1.4.dll";
            Sentinel(folder);
            Place(fixture, copy);
            Expect(
                Run(std::string(name) + (install ? ": install" : ": uninstall"), command, folder));
            EXPECT_NE(GetModuleHandleW(copy.c_str()), nullptr)
                << "the library was unloaded after its entry point faulted";
        }
    }
    // Shipped copies whose registration ends without its return.
    for (const auto& [fixture, name] :
         {std::pair{L"fixture_raise", "register raises 0x0EEDFADE: install"},
          std::pair{L"fixture_stack_overflow", "register overflows its stack: install"},
          std::pair{L"fixture_exit_thread", "register ends its own thread: install"}}) {
        const std::wstring folder = LoadedCopyFolder(std::wstring(fixture) + L"-shipped");
        Ship(fixture);
        Expect(Run(name, Install, folder));
    }
}

// Threads a library leaves running: one started on its load that never
// stops, and one that faults 400 ms after its entry point has returned,
// after a library has cleared the process's filter too. The library stays
// loaded while they run, and a fault on one ends only that thread.
TEST_F(InstalledCopyFaults, ThreadsTheLibraryLeavesBehind) {
    const int threadsBefore = ThreadCount();
    const auto inFolderOfItsOwn = [&](const wchar_t* fixture, const std::string& name,
                                      Command command) {
        const std::wstring folder = LoadedCopyFolder(fixture);
        const std::wstring copy = folder + L"\\Quorvexv1.4.dll";
        if (command == Uninstall) {
            Place(fixture, copy);
        } else {
            Ship(fixture);
        }
        Expect(Run(name, command, folder));
        EXPECT_NE(GetModuleHandleW(copy.c_str()), nullptr)
            << name << ": the library was unloaded while its thread ran";
    };
    inFolderOfItsOwn(L"fixture_thread_on_load", "a thread started on load runs on: uninstall",
                     Uninstall);
    inFolderOfItsOwn(L"fixture_thread_faults_later",
                     "unregister leaves a thread that faults later: uninstall", Uninstall);
    inFolderOfItsOwn(L"fixture_clear_filter_thread_faults",
                     "register clears the filter, leaves a thread that faults: install", Install);
    // The cleared filter does not outlast its call: the next library's fault is contained.
    const std::wstring folder = LoadedCopyFolder(L"fixture_fault-after-clear");
    Place(L"fixture_clear_filter", folder + L"\\Quorvexv1.4.dll");
    Ship(L"fixture_fault");
    Expect(Run("unregister clears the filter, register faults: install", Install, folder));

    for (int waited = 0; ThreadCount() > threadsBefore + 1 && waited < 5000; waited += 50) {
        Pump();
        Sleep(50);
    }
    EXPECT_EQ(ThreadCount(), threadsBefore + 1)
        << "only the thread that never stops runs on once the others have faulted";
}

// A library's load and release run on the worker under the same limit: a
// DllMain that takes 30 s holds neither the window nor the command past it.
// A late load is a time-out and its entry point never runs; a late release
// leaves the entry point's result, and a copy that stays.
TEST_F(InstalledCopyFaults, LoadOrReleasePastTheLimit) {
    struct Case {
        const wchar_t* fixture;
        const char* name;
        Command command;
    };
    for (const Case& c :
         {Case{L"fixture_slow_load", "load takes 30 s: uninstall", Uninstall},
          Case{L"fixture_slow_load", "register's load takes 30 s: install", Install},
          Case{L"fixture_slow_unload", "release takes 30 s: uninstall", Uninstall},
          Case{L"fixture_slow_unload", "register's release takes 30 s: install", Install}}) {
        const UniqueHandle release = ReleaseEvent();
        const std::wstring folder =
            LoadedCopyFolder(std::wstring(c.fixture) + (c.command == Install ? L"-in" : L"-un"));
        const std::wstring copy = folder + L"\\Quorvexv1.4.dll";
        if (c.command == Uninstall) {
            Place(c.fixture, copy);
        } else {
            Ship(c.fixture);
        }
        const CaseResult result = Run(c.name, c.command, folder);
        Expect(result);
        EXPECT_LT(result.seconds, 12.0) << c.name << ": the command waited for DllMain";
        SetEvent(release.get());
        // Given back by DllMain's end: the next case's library loads at once.
        GetModuleHandleW(copy.c_str());
        Sleep(500);
        EXPECT_EQ(testing::TakeFixtureCalls().find(L"Dll"), std::wstring::npos)
            << c.name << ": an entry point ran once its load had ended, past the limit";
    }
}

// A worker that ends after its caller gave up, in the middle of a later
// call: the later library's folder is still searched for what it loads by
// name.
TEST_F(InstalledCopyFaults, LateWorkerChangesNothingOfALaterCall) {
    const UniqueHandle release = ReleaseEvent();
    const std::wstring slow = LoadedCopyFolder(L"late-worker");
    Place(L"fixture_slow_unregister", slow + L"\\Quorvexv1.4.dll");
    Expect(Run("unregister takes 13 s: uninstall", Uninstall, slow));
    ASSERT_TRUE(CopyFileW(BuildFile(L"dependency\\qvxdep.dll").c_str(),
                          (dest + L"\\qvxdep.dll").c_str(), FALSE));
    Ship(L"fixture_release_then_loads_dep");
    Expect(Run("the last one ends during the next, which loads by name: install", Install, dest));
}

// An unregistration past the limit that removes the registration when it
// ends: the registration of the same library waits for nothing and is not
// shown as made.
TEST_F(InstalledCopyFaults, UnregistrationPastTheLimitUndoesNoRegistrationShownMade) {
    const UniqueHandle release = ReleaseEvent();
    const std::wstring folder = LoadedCopyFolder(L"slow-unregister");
    Place(L"fixture_slow_unregister", folder + L"\\Quorvexv1.4.dll");
    Ship(L"fixture_slow_unregister");
    SetEnvironmentVariableW(L"QUORVEX_FIXTURE_UNREGISTERED", nullptr);
    const CaseResult result =
        Run("unregister takes 13 s, then removes the registration: install", Install, folder);
    Expect(result);
    SetEvent(release.get());
    for (int waited = 0;
         GetEnvironmentVariableW(L"QUORVEX_FIXTURE_UNREGISTERED", nullptr, 0) == 0 && waited < 5000;
         waited += 50) {
        Sleep(50);
    }
    EXPECT_TRUE(result.rows[2] != status_text::Successful ||
                GetEnvironmentVariableW(L"QUORVEX_FIXTURE_REGISTERED", nullptr, 0) != 0)
        << "the install row says registered, and nothing is";
}

// Work a library leaves to the system's thread pool and never stops: a
// periodic timer and work that faults 400 ms after the call. The library is
// released all the same; neither takes the program with it, the timer's
// ticks make no stream of new threads, and no later library is loaded
// where they call.
TEST_F(InstalledCopyFaults, WorkLeftToTheThreadPool) {
    Ship(L"fixture_periodic_timer");
    Expect(Run("register leaves a periodic timer running: install", Install, dest));
    EXPECT_EQ(GetModuleHandleW(installed.c_str()), nullptr)
        << "the library stays loaded: threads the pool started for its timer were taken for its "
           "own";
    // Its first tick comes while the next copies' entry points run: the place
    // the first one left is taken by no later library.
    SetEnvironmentVariableW(L"QUORVEX_FIXTURE_CODE_AT", nullptr);
    Expect(Run("install again before the timer's first tick", Install, dest));
#if defined(__x86_64__)
    // Windows' x64 pool calls a callback through the guard's dispatcher.
    const std::uintptr_t released = FixtureNumber(L"QUORVEX_FIXTURE_CODE_AT");
    ASSERT_NE(released, 0u);
    EXPECT_TRUE(ThreadComesBack(CallThroughDispatcher, reinterpret_cast<LPVOID>(released)))
        << "a call into a released place through the dispatcher was not answered";
#endif
    Ship(L"fixture_work_faults_later");
    SetEnvironmentVariableW(L"QUORVEX_FIXTURE_FAULTED_ON", nullptr);
    Expect(Run("register leaves pool work that faults later: install", Install, dest));
    for (int waited = 0; waited < 1000; waited += 50) {
        Pump();
        Sleep(50);
    }
    // Windows ends the process when a pool thread is ended: it is parked.
    const auto faultedOn = static_cast<DWORD>(FixtureNumber(L"QUORVEX_FIXTURE_FAULTED_ON"));
    ASSERT_NE(faultedOn, 0u) << "the pool's work never faulted";
    const UniqueHandle parked(OpenThread(SYNCHRONIZE, FALSE, faultedOn));
    EXPECT_TRUE(parked && WaitForSingleObject(parked.get(), 0) == WAIT_TIMEOUT)
        << "the pool thread whose work faulted was ended";
    // Every thread seen over a second of ticks: ones that come and go count too.
    const std::vector<DWORD> before = ThreadIds();
    std::vector<DWORD> born;
    for (int waited = 0; waited < 1000; waited += 10) {
        for (DWORD thread : ThreadIds()) {
            if (std::find(before.begin(), before.end(), thread) == before.end() &&
                std::find(born.begin(), born.end(), thread) == born.end()) {
                born.push_back(thread);
            }
        }
        Pump();
        Sleep(10);
    }
    // Unanswered, each tick (every 20 ms) would stop a thread and the pool
    // start another: some fifty. The pool may also replace the thread parked
    // above and, on a slow machine, start a worker or two more.
    EXPECT_LE(born.size(), 3u) << "the timer's ticks start new threads";
    Expect(Run("install after the pool's work faulted", Install, dest));
    // Places left reserved, a library without relocations still loads where
    // it always does.
    Place(L"fixture_fixed_base", installed);
    Ship(L"fixture_fixed_base");
    const CaseResult fixed =
        Run("library that cannot be moved, over itself: install", Install, dest);
    Expect(fixed);
    EXPECT_EQ(fixed.rows[2], status_text::Successful) << "its second load went elsewhere";
    // Work that ends its pool thread, or returns it changed, as Windows tells
    // of it. Last, as the pool then makes new threads in place of those
    // parked here.
    for (const DWORD code : PoolsComplaints) {
        PoolsComplaint complaint{code};
        ASSERT_TRUE(QueueUserWorkItem(RaisePoolsComplaint, &complaint, WT_EXECUTEDEFAULT));
        for (int waited = 0; complaint.raisedOn.load() == 0 && waited < 2000; waited += 10) {
            Sleep(10);
        }
        Sleep(100);
        const UniqueHandle ending(OpenThread(SYNCHRONIZE, FALSE, complaint.raisedOn.load()));
        EXPECT_TRUE(ending && WaitForSingleObject(ending.get(), 0) == WAIT_TIMEOUT)
            << std::hex << code << ": the pool thread was not parked";
    }
}

// A library whose DllMain starts a periodic timer, then fails the load: its
// place stays reserved as a release's does, so its next load, at once, goes
// elsewhere, and no tick of the first reaches the next copy's code.
TEST_F(InstalledCopyFaults, WorkLeftByALoadThatFailed) {
    SetEnvironmentVariableW(L"QUORVEX_FIXTURE_STRAY_TICK", nullptr);
    SetEnvironmentVariableW(L"QUORVEX_FIXTURE_REFUSE_LOAD", L"1");
    Ship(L"fixture_timer_on_load");
    Expect(Run("register's DllMain starts a timer, then fails the load: install", Install, dest));
    SetEnvironmentVariableW(L"QUORVEX_FIXTURE_REFUSE_LOAD", nullptr);
    Expect(Run("install again before the failed load's first tick", Install, dest));
    for (int waited = 0; waited < 500; waited += 50) {
        Pump();
        Sleep(50);
    }
    EXPECT_EQ(GetEnvironmentVariableW(L"QUORVEX_FIXTURE_STRAY_TICK", nullptr, 0), 0u)
        << "a tick of the failed load's timer ran a later copy's code";
}

// The library's import leaves a timer of the system's queue running and is
// unloaded with it: its place is the library's, and its ticks are answered.
TEST_F(InstalledCopyFaults, WorkLeftByTheLibrarysImport) {
    const std::wstring helper = dest + L"\\qvxtick.dll";
    ASSERT_TRUE(CopyFileW(BuildFile(L"tickdep\\qvxtick.dll").c_str(), helper.c_str(), FALSE));
    Ship(L"fixture_imports_tick");
    Expect(Run("register's import leaves a periodic timer running: install", Install, dest));
    Expect(Run("install again before the import's first tick", Install, dest));
    for (int waited = 0; waited < 1000; waited += 50) {
        Pump();
        Sleep(50);
    }
    EXPECT_EQ(GetModuleHandleW(helper.c_str()), nullptr) << "the import stayed loaded";
}

// A vectored handler that a library adds first and leaves behind is called
// at every later exception, in its released place: the program's own handler
// stays ahead of it and answers that call, on the worker and on any thread.
TEST_F(InstalledCopyFaults, VectoredHandlerLeftBehind) {
    const std::wstring folder = LoadedCopyFolder(L"vectored-handler");
    Ship(L"fixture_vectored_handler");
    Expect(Run("register leaves a vectored handler: install", Install, folder));
    Ship(L"fixture_fault");
    Expect(Run("unregister leaves a vectored handler, register faults: install", Install, folder));
    PVOID last = AddVectoredExceptionHandler(0, HandleTestException);
    EXPECT_TRUE(ThreadComesBack(RaiseTestException, nullptr))
        << "an exception handled by a later handler ended its thread";
    RemoveVectoredExceptionHandler(last);
}

// A library whose image is 192 MB, installed twelve times in one run, as a
// developer re-registering each build does: the places it leaves reserved
// never take the address space that a later load needs (2 GB on x86).
TEST_F(InstalledCopyFaults, LargeLibraryInstalledAgainAndAgain) {
    Ship(L"fixture_large_image");
    for (int install = 1; install <= 12; ++install) {
        Expect(Run("192 MB library, install " + std::to_string(install) + " of 12", Install, dest));
    }
}

// A library's code that changes what holds for the whole process: a crash
// reporter's error mode, its own search folders (the program's folder among
// them), the current folder. With a relative folder text, every step still
// names the folder typed, and afterwards the settings are the program's own.
TEST_F(InstalledCopyFaults, SettingsALibraryChangesArePutBack) {
    const UINT errorMode = GetErrorMode();
    Place(L"fixture_changes_settings", installed);
    Ship(L"fixture_changes_settings");
    Expect(Run("entry points change the process's settings, relative folder: install", Install,
               L"dest"));
    EXPECT_EQ(GetErrorMode(), errorMode);
    EXPECT_TRUE(SamePath(FullPath(L"."), temp.Path())) << "the current folder moved";
    const std::wstring planted = BuildFile(L"qvxdep.dll");
    ASSERT_TRUE(CopyFileW(BuildFile(L"decoy\\qvxdep.dll").c_str(), planted.c_str(), FALSE));
    const HMODULE found = LoadLibraryW(L"qvxdep.dll");
    EXPECT_EQ(found, nullptr) << "the program's folder is searched for libraries loaded by name";
    if (found != nullptr) {
        FreeLibrary(found);
    }
    // The folder that library added, and never removed, is searched after
    // the next library's own: the helper beside that one is the one loaded.
    ASSERT_TRUE(CopyFileW(BuildFile(L"dependency\\qvxdep.dll").c_str(),
                          (dest + L"\\qvxdep.dll").c_str(), FALSE));
    Ship(L"fixture_loads_dep_by_name");
    Expect(Run("the next library loads the helper beside it by name: install", Install, L"dest"));
    DeleteFileW(planted.c_str());
    testing::TakeFixtureCalls();
}

// Entry points that wait for the window's thread: a message sent to every
// window. They must not wait out the time limit.
TEST_F(InstalledCopyFaults, EntryPointsThatWaitForTheWindow) {
    Place(L"fixture_broadcast", installed);
    Ship(L"fixture_broadcast");
    for (Command command : {Install, Uninstall}) {
        const CaseResult result = Run(std::string("entry points broadcast WM_SETTINGCHANGE: ") +
                                          (command == Install ? "install" : "uninstall"),
                                      command, dest);
        Expect(result);
        EXPECT_LT(result.seconds, 5.0) << "the entry points waited for the window";
    }

    // A class without a threading model is made in COM's main apartment,
    // which is not the window's thread, even once that is an apartment (an
    // accessibility client has asked).
    SendMessageW(Window().Handle(), WM_GETOBJECT, 0, static_cast<LPARAM>(OBJID_CLIENT));
    // COM keeps the library loaded there: a folder of its own.
    const std::wstring folder = LoadedCopyFolder(L"main-apartment");
    Ship(L"fixture_main_apartment");
    SetEnvironmentVariableW(L"QUORVEX_FIXTURE_MAIN_APARTMENT", nullptr);
    const CaseResult made =
        Run("register makes a class in the main apartment: install", Install, folder);
    Expect(made);
    EXPECT_LT(made.seconds, 5.0) << "the entry points waited for the window";
    wchar_t madeOn[16] = L"";
    GetEnvironmentVariableW(L"QUORVEX_FIXTURE_MAIN_APARTMENT", madeOn, 16);
    EXPECT_NE(madeOn[0], L'\0') << "the object was not made in the main apartment";
    EXPECT_NE(std::wstring(madeOn), std::to_wstring(GetCurrentThreadId()))
        << "the object was made on the window's thread";

    // One that takes 30 s to make ends at the limit, the window's thread free.
    const UniqueHandle release = ReleaseEvent();
    const std::wstring slowFolder = LoadedCopyFolder(L"slow-main-apartment");
    Ship(L"fixture_slow_main_apartment");
    const CaseResult slow =
        Run("register makes a class in the main apartment in 30 s: install", Install, slowFolder);
    SetEvent(release.get());
    Expect(slow);
    EXPECT_LT(slow.seconds, 12.0) << "the class was made where the limit does not count";
}

// Windows neither deletes nor overwrites a read-only copy. Wine run as root
// overwrites it, and the row's name says so where that happens.
TEST_F(InstalledCopyFaults, ReadOnly) {
    const std::string overwritten = OverwritesReadOnlyFile(temp.Path()) ? ", overwritten here" : "";
    for (Command command : {Install, Uninstall}) {
        Place(L"fixture_both_false", installed);
        ASSERT_TRUE(SetFileAttributesW(installed.c_str(), FILE_ATTRIBUTE_READONLY));
        Expect(Run(command == Install ? "read-only installed copy" + overwritten + ": install"
                                      : "read-only installed copy: uninstall",
                   command, dest));
    }
}

// Another program reading or running the copy: it can be neither deleted
// nor replaced. One that holds the shipped bytes already is in place.
TEST_F(InstalledCopyFaults, HeldByAnotherProgram) {
    struct Case {
        const wchar_t* mode;
        const char* name;
        const wchar_t* fixture;
        Command command;
    };
    for (const Case& c :
         {Case{L"open", "held open, sharing reading only: install", L"fixture_both_false", Install},
          Case{L"open", "held open, sharing reading only: uninstall", L"fixture_both_false",
               Uninstall},
          Case{L"open", "held open, sharing reading only, shipped bytes: install",
               L"fixture_both_ok", Install},
          Case{L"load", "loaded by another program: install", L"fixture_both_false", Install},
          Case{L"load", "loaded by another program: uninstall", L"fixture_both_false", Uninstall},
          Case{L"load", "loaded by another program, shipped bytes: install", L"fixture_both_ok",
               Install}}) {
        Place(c.fixture, installed);
        HeldFile holder(c.mode, installed);
        ASSERT_TRUE(holder.Holding());
        Expect(Run(c.name, c.command, dest, [&] { holder.Release(); }));
        EXPECT_EQ(ReadFileBytes(installed), FixtureBytes(c.fixture))
            << c.name << ": the held copy did not stay: this case does not show a refused delete";
    }
}

// Scanners and indexers open files sharing deletion: a delete then only
// takes effect once they let go.
TEST_F(InstalledCopyFaults, HeldOpenSharingDeletion) {
    Place(L"fixture_both_false", installed);
    HeldFile holder(L"open-share-delete", installed);
    ASSERT_TRUE(holder.Holding());
    Expect(Run("held open, sharing deletion: install", Install, dest, [&] { holder.Release(); }));

    Place(L"fixture_both_false", installed);
    HeldFile again(L"open-share-delete", installed);
    ASSERT_TRUE(again.Holding());
    Expect(
        Run("held open, sharing deletion: uninstall", Uninstall, dest, [&] { again.Release(); }));
}

TEST_F(InstalledCopyFaults, FolderInItsPlace) {
    MakeFolder(installed);
    Sentinel(installed);
    Expect(Run("a folder named Quorvexv1.4.dll: install", Install, dest));
    Expect(Run("a folder named Quorvexv1.4.dll: uninstall", Uninstall, dest));
}

}  // namespace
}  // namespace quorvex::faults
