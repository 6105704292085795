// One window used again and again, as a user would: the suite's one
// time-out, then twenty commands, counting threads and handles, and at last
// a fault in the worker that timed out.
#include <cstdio>
#include <string>

#include "tests/faults/FaultHarness.h"

namespace quorvex::faults {
namespace {

using enum Command;

using RepeatedUse = FaultTest;

struct Resources {
    int threads;
    unsigned handles;
};

// GetProcessHandleCount when it follows an opened handle; otherwise every
// live handle value counted (Wine reports 0 whatever is open).
Resources Count(bool reported) {
    return {ThreadCount(), reported ? ReportedHandleCount().value_or(0) : ProbedHandleCount()};
}

TEST_F(RepeatedUse, TwentyCommandsAfterATimeOutLeaveOnlyTheHungThread) {
    const bool reported = ReportedHandleCount().has_value();
    if (!reported) {
        const unsigned before = ProbedHandleCount();
        const UniqueHandle extra(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        ASSERT_EQ(ProbedHandleCount(), before + 1) << "no way to count handles here";
    }
    const char* method = reported ? "GetProcessHandleCount"
                                  : "GetHandleInformation on every handle value, as "
                                    "GetProcessHandleCount reports 0 here and does not change "
                                    "when a handle is opened";

    // Whatever the first commands create once (classes, loader state) is not a leak.
    Expect(Run("repeated use: first install", Install, dest));
    Expect(Run("repeated use: first uninstall", Uninstall, dest));
    const Resources start = Count(reported);

    // The hung copy faults when told to, once later commands' workers have
    // come and gone: it must still end only its own thread.
    const UniqueHandle faultSignal(
        CreateEventW(nullptr, TRUE, FALSE,
                     (L"quorvex-fixture-fault-" + std::to_wstring(GetCurrentProcessId())).c_str()));
    ASSERT_TRUE(faultSignal);
    const std::wstring hungFolder = LoadedCopyFolder(L"hung");
    Sentinel(hungFolder);
    Place(L"fixture_hang_then_fault", hungFolder + L"\\Quorvexv1.4.dll");
    const CaseResult hang = Run("unregister hangs past the limit: install", Install, hungFolder);
    Expect(hang);
    EXPECT_GE(hang.seconds, 9.9) << "the command gave up before its 10 s";
    EXPECT_LT(hang.seconds, 20.0) << "the command waited far beyond its 10 s";
    const Resources afterTimeOut = Count(reported);
    EXPECT_EQ(afterTimeOut.threads, start.threads + 1) << "the hung worker is the one thread left";

    // The same file by another spelling while its entry point still runs: no
    // second entry point starts beside it, whose outcome could undo the rows.
    const CaseResult again = Run("the hung copy by its \\\\?\\ form meanwhile: uninstall",
                                 Uninstall, L"\\\\?\\" + hungFolder);
    Expect(again);
    EXPECT_LT(again.seconds, 5.0) << "a second entry point started beside the one still running";

    const std::wstring folder = dest;
    const std::wstring copy = folder + L"\\Quorvexv1.4.dll";
    const wchar_t* previous[] = {nullptr, L"fixture_denied", L"fixture_failing",
                                 L"fixture_register_only", L"fixture_both_false"};
    CaseResult all;
    all.name = "twenty commands after the time-out";
    recordInTable_ = false;
    for (int i = 0; i < 20; ++i) {
        const Command command = i % 2 == 0 ? Install : Uninstall;
        if (const wchar_t* fixture = previous[(i / 2) % 5]; command == Install && fixture) {
            Place(fixture, copy);
        }
        const CaseResult one = Run("repeated use: command " + std::to_string(i + 1) +
                                       (command == Install ? " (install)" : " (uninstall)"),
                                   command, folder);
        Expect(one);
        all.findings.insert(all.findings.end(), one.findings.begin(), one.findings.end());
        all.rows = one.rows;
        all.seconds += one.seconds;
    }
    recordInTable_ = true;
    CaseTable::Add(all);

    const Resources end = Count(reported);
    EXPECT_EQ(end.threads, afterTimeOut.threads) << "threads left behind by the commands";
    // Wine makes a semaphore for a critical section the first time two threads
    // contend for it; a handle lost per command would show twenty times over.
    EXPECT_LE(end.handles, afterTimeOut.handles + 4) << "handles left behind by the commands";
    char note[400];
    std::snprintf(note, sizeof note,
                  "threads %d before the time-out, %d after it, %d after twenty more commands; "
                  "handles %u, %u, %u (counted with %s)",
                  start.threads, afterTimeOut.threads, end.threads, start.handles,
                  afterTimeOut.handles, end.handles, method);
    CaseTable::Note(note);
    std::printf("%s\n", note);

    ASSERT_TRUE(SetEvent(faultSignal.get()));
    int threads = ThreadCount();
    for (int waited = 0; threads != start.threads && waited < 30000; waited += 50) {
        Sleep(50);
        threads = ThreadCount();
    }
    EXPECT_EQ(threads, start.threads) << "the hung worker did not end when it faulted";
    Expect(Run("repeated use: install after the hung worker faulted", Install, folder));
}

}  // namespace
}  // namespace quorvex::faults
