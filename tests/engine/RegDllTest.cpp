#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "engine/RegDll.h"

namespace quorvex {
namespace {

using Calls = std::vector<std::string>;

// Records every kernel call with its arguments and answers as scripted: the
// worker's report is what it had reached when the wait ended.
class RecordingKernel : public KernelServices {
  public:
    std::optional<std::wstring> GetFullPathNameW(const std::wstring& path) override {
        calls.push_back("GetFullPathNameW " + Narrow(path));
        if (!resolves) {
            return std::nullopt;
        }
        const auto full = fullPaths.find(path);
        return full != fullPaths.end() ? full->second : path;
    }
    std::optional<FileIdentity> IdentityOf(const std::wstring& path) override {
        const auto identity = identities.find(path);
        return identity != identities.end() ? std::optional(identity->second) : std::nullopt;
    }
    bool HasLoadLibrarySearchFlags() override { return searchFlags; }
    Thread StartCall(const CallPlan& plan) override {
        calls.push_back("StartCall " + Narrow(plan.path) + " " + FlagNames(plan.loadFlags) + " " +
                        (plan.entryName != nullptr ? plan.entryName : "none"));
        loadedPaths.push_back(plan.path);
        if (!threadStarts) {
            return nullptr;
        }
        workers.push_back(report);
        return reinterpret_cast<Thread>(workers.size());
    }
    std::uint32_t WaitForSingleObject(Thread thread, std::uint32_t ms) override {
        calls.push_back("WaitForSingleObject " + Name(thread) + " " + std::to_string(ms));
        return Of(thread).ended ? 0 : 0x102;
    }
    WorkerReport Report(Thread thread) override {
        calls.push_back("Report " + Name(thread));
        return Of(thread);
    }
    void CloseHandle(Thread thread) override { calls.push_back("CloseHandle " + Name(thread)); }

    // The report of the worker started `number`th, from 1.
    WorkerReport& Of(Thread thread) {
        return workers.at(reinterpret_cast<std::uintptr_t>(thread) - 1);
    }

    bool resolves = true;
    std::map<std::wstring, std::wstring> fullPaths;   // the rest resolve to themselves
    std::map<std::wstring, FileIdentity> identities;  // the rest cannot be opened
    bool searchFlags = true;
    bool threadStarts = true;
    WorkerReport report{WorkerStage::Returned, 0, true};  // for the next worker
    std::vector<WorkerReport> workers;
    Calls calls;
    std::vector<std::wstring> loadedPaths;

  private:
    static std::string Narrow(const std::wstring& text) {
        std::string narrow;
        for (wchar_t c : text) {
            narrow += c < 128 ? static_cast<char>(c) : '?';
        }
        return narrow;
    }
    static std::string FlagNames(std::uint32_t flags) {
        switch (flags) {
            case LoadLibrarySearchDllLoadDir | LoadLibrarySearchSystem32:
                return "SEARCH_DLL_LOAD_DIR|SEARCH_SYSTEM32";
            case LoadWithAlteredSearchPath:
                return "ALTERED_SEARCH_PATH";
            default:
                return std::to_string(flags);
        }
    }
    static std::string Name(Thread thread) {
        return "worker" + std::to_string(reinterpret_cast<std::uintptr_t>(thread));
    }
};

const std::wstring LibraryPath = L"C:\\WINDOWS\\SYSTEM\\Quorvexv1.4.dll";
const std::string Resolve = "GetFullPathNameW C:\\WINDOWS\\SYSTEM\\Quorvexv1.4.dll";
const std::string Start =
    "StartCall C:\\WINDOWS\\SYSTEM\\Quorvexv1.4.dll SEARCH_DLL_LOAD_DIR|SEARCH_SYSTEM32 ";
const WorkerReport NothingThere{WorkerStage::NoFile, 0, true};

// What one call does when its worker has ended: one wait for all of the
// library's code, then the handle is closed.
Calls EndedCall(const std::string& entryName, int worker = 1) {
    const std::string name = "worker" + std::to_string(worker);
    return {Resolve, Start + entryName, "WaitForSingleObject " + name + " 10000", "Report " + name,
            "CloseHandle " + name};
}

class RegDllTest : public ::testing::Test {
  protected:
    RegResult Call(const std::wstring& path, RegMode mode) {
        return RegDll(kernel).CallRegEntry(path, mode);
    }
    RecordingKernel kernel;
};

TEST_F(RegDllTest, EmptyPathDoesNothingWhateverTheMode) {
    for (RegMode mode : {1, 2, 0, 3, -1}) {
        EXPECT_EQ(Call(L"", mode), RegResult::NoAction);
    }
    EXPECT_TRUE(kernel.calls.empty());
}

// The invoker neither trims the path it is given nor changes the caller's
// string: blanks alone, or around a path, reach the loader as they are.
TEST_F(RegDllTest, PathReachesTheLoaderUntrimmedAndTheCallersStringIsKept) {
    kernel.report = NothingThere;
    const std::pair<std::wstring, std::string> cases[] = {
        {L"   ", "   "}, {L" C:\\dir\\Quorvexv1.4.dll ", " C:\\dir\\Quorvexv1.4.dll "}};
    for (const auto& [passed, narrow] : cases) {
        kernel.calls.clear();
        std::wstring callersPath = passed;
        RegDll invoker(kernel);
        RegistrationInvoker& asTheCommandsSeeIt = invoker;
        EXPECT_EQ(asTheCommandsSeeIt.CallRegEntry(callersPath, RegModeRegister),
                  RegResult::LoadFailed);
        EXPECT_EQ(kernel.calls.at(1),
                  "StartCall " + narrow + " SEARCH_DLL_LOAD_DIR|SEARCH_SYSTEM32 DllRegisterServer");
        EXPECT_EQ(callersPath, passed);
    }
}

TEST_F(RegDllTest, UnloadableLibraryEndsItsWorkerWithLoadFailed) {
    kernel.report = NothingThere;
    const std::pair<RegMode, const char*> modes[] = {{RegModeRegister, "DllRegisterServer"},
                                                     {RegModeUnregister, "DllUnregisterServer"},
                                                     {0, "none"}};
    for (auto [mode, entryName] : modes) {
        kernel.calls.clear();
        kernel.workers.clear();
        EXPECT_EQ(Call(LibraryPath, mode), RegResult::LoadFailed);
        EXPECT_EQ(kernel.calls, EndedCall(entryName));
    }
}

// A folder name the ANSI code page cannot hold reaches the loader unchanged.
TEST_F(RegDllTest, PathOutsideTheAnsiCodePageReachesTheLoaderIntact) {
    const std::wstring greek = L"C:\\\x03A6\x03AC\x03BA\x03B5\x03BB\x03BF\x03C2\\Quorvexv1.4.dll";
    kernel.report = NothingThere;
    EXPECT_EQ(Call(greek, RegModeRegister), RegResult::LoadFailed);
    EXPECT_EQ(kernel.loadedPaths, std::vector<std::wstring>{greek});
}

// The library is loaded by its full path, its own imports from its folder
// and the system folder only (never the program's folder, the current folder
// or PATH); where the system lacks those flags, from its folder first.
TEST_F(RegDllTest, LibraryIsLoadedByItsFullPathWithImportsFromItsOwnFolder) {
    kernel.fullPaths[L"dest\\Quorvexv1.4.dll"] = L"C:\\Users\\me\\dest\\Quorvexv1.4.dll";
    kernel.report = NothingThere;
    EXPECT_EQ(Call(L"dest\\Quorvexv1.4.dll", RegModeRegister), RegResult::LoadFailed);
    EXPECT_EQ(kernel.calls.at(1),
              "StartCall C:\\Users\\me\\dest\\Quorvexv1.4.dll "
              "SEARCH_DLL_LOAD_DIR|SEARCH_SYSTEM32 DllRegisterServer");

    kernel.calls.clear();
    kernel.searchFlags = false;
    EXPECT_EQ(Call(L"dest\\Quorvexv1.4.dll", RegModeRegister), RegResult::LoadFailed);
    EXPECT_EQ(kernel.calls.at(1),
              "StartCall C:\\Users\\me\\dest\\Quorvexv1.4.dll "
              "ALTERED_SEARCH_PATH DllRegisterServer");

    kernel.calls.clear();
    kernel.resolves = false;
    EXPECT_EQ(Call(L"dest\\Quorvexv1.4.dll", RegModeRegister), RegResult::LoadFailed);
    EXPECT_EQ(kernel.calls, (Calls{"GetFullPathNameW dest\\Quorvexv1.4.dll"}));
}

// Other modes name no entry point: the worker loads and releases the library.
TEST_F(RegDllTest, OtherModesOrAMissingExportGiveEntryMissing) {
    kernel.report = {WorkerStage::EntryMissing, 0, true};
    for (RegMode mode : {0, 3, -1}) {
        kernel.calls.clear();
        kernel.workers.clear();
        EXPECT_EQ(Call(LibraryPath, mode), RegResult::EntryMissing);
        EXPECT_EQ(kernel.calls, EndedCall("none"));
    }
    kernel.calls.clear();
    kernel.workers.clear();
    EXPECT_EQ(Call(LibraryPath, RegModeUnregister), RegResult::EntryMissing);
    EXPECT_EQ(kernel.calls, EndedCall("DllUnregisterServer"));
}

// Nothing of the copy ran: it was not unregistered, and is not to be taken for none.
TEST_F(RegDllTest, WorkerNotCreatedIsALoadWithoutRoomAndNoWait) {
    kernel.threadStarts = false;
    EXPECT_EQ(Call(LibraryPath, RegModeRegister), RegResult::LoadOutOfRoom);
    EXPECT_EQ(kernel.calls, (Calls{Resolve, Start + "DllRegisterServer"}));
}

// The entry point's HRESULT decides between success and EntryFailed: only a
// negative status is a failure. A worker ended while loading or in the entry
// point (a fault, a stack overflow, ExitThread) failed; one still there at
// the limit timed out. An entry point that returned keeps its result when
// only the release is late.
TEST_F(RegDllTest, ResultFollowsWhereTheWorkerGotAndWhatTheEntryPointReturned) {
    struct Case {
        WorkerReport report;
        RegResult registerResult;
        RegResult unregisterResult;
    };
    using enum WorkerStage;
    const Case cases[] = {
        {{Returned, 0u, true}, RegResult::Registered, RegResult::Unregistered},  // S_OK
        {{Returned, 1u, true}, RegResult::Registered, RegResult::Unregistered},  // S_FALSE
        {{Returned, 0x7FFFFFFFu, true}, RegResult::Registered, RegResult::Unregistered},
        {{Returned, 0x80070005u, true}, RegResult::EntryFailed, RegResult::EntryFailed},
        {{Returned, 0x80040201u, true}, RegResult::EntryFailed, RegResult::EntryFailed},
        {{InEntryPoint, 0u, true}, RegResult::EntryFailed, RegResult::EntryFailed},
        {{Loading, 0u, true}, RegResult::EntryFailed, RegResult::EntryFailed},
        {{InEntryPoint, 0u, false}, RegResult::TimedOut, RegResult::TimedOut},
        {{Loading, 0u, false}, RegResult::TimedOut, RegResult::TimedOut},
        {{Returned, 0u, false}, RegResult::Registered, RegResult::Unregistered},  // a slow release
        {{Returned, 0x80004005u, false}, RegResult::EntryFailed, RegResult::EntryFailed},
        {{NoFile, 0u, true}, RegResult::LoadFailed, RegResult::LoadFailed},
        {{NotLoaded, 0u, true}, RegResult::LoadRefused, RegResult::LoadRefused},
        {{OutOfRoom, 0u, true}, RegResult::LoadOutOfRoom, RegResult::LoadOutOfRoom},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(static_cast<int>(c.report.stage)) + " " +
                     std::to_string(c.report.status) + (c.report.ended ? " ended" : " running"));
        kernel.report = c.report;
        EXPECT_EQ(Call(LibraryPath, RegModeRegister), c.registerResult);
        EXPECT_EQ(Call(LibraryPath, RegModeUnregister), c.unregisterResult);
        EXPECT_EQ(ResultOf(c.report, RegModeRegister), c.registerResult);
    }
}

// A worker still running at the limit keeps its handle, and no second call
// into the same library starts while it runs (whatever the letter case of
// its path): its outcome could be undone behind the rows' back.
TEST_F(RegDllTest, NoCallIntoALibraryWhoseEarlierCallStillRuns) {
    RegDll invoker(kernel);
    kernel.report = {WorkerStage::InEntryPoint, 0, false};
    EXPECT_EQ(invoker.CallRegEntry(LibraryPath, RegModeUnregister), RegResult::TimedOut);
    EXPECT_EQ(kernel.calls.back(), "Report worker1") << "a running worker's handle was closed";

    kernel.calls.clear();
    kernel.report = {WorkerStage::Returned, 0, true};
    EXPECT_EQ(invoker.CallRegEntry(L"c:\\windows\\system\\QUORVEXV1.4.DLL", RegModeRegister),
              RegResult::TimedOut);
    EXPECT_EQ(kernel.calls,
              (Calls{"GetFullPathNameW c:\\windows\\system\\QUORVEXV1.4.DLL", "Report worker1"}));

    // Another library starts; once the first worker has ended, its own does too.
    EXPECT_EQ(invoker.CallRegEntry(L"C:\\other\\Quorvexv1.4.dll", RegModeRegister),
              RegResult::Registered);
    kernel.Of(reinterpret_cast<KernelServices::Thread>(1)).ended = true;
    kernel.calls.clear();
    EXPECT_EQ(invoker.CallRegEntry(LibraryPath, RegModeRegister), RegResult::Registered);
    EXPECT_EQ(kernel.calls.at(1), "Report worker1");
    EXPECT_EQ(kernel.calls.at(2), "CloseHandle worker1");
    EXPECT_EQ(kernel.calls.at(3), Start + "DllRegisterServer");
}

// The same file by another spelling (an 8.3 name, a \\?\ prefix, a letter
// case outside ASCII) is the same library; another file at a path spelt
// alike once the first is gone is not.
TEST_F(RegDllTest, StillRunningIsJudgedByTheFileNotItsSpelling) {
    const std::wstring shortName = L"C:\\WINDOWS\\SYSTEM\\QUORVE~1.DLL";
    kernel.identities[LibraryPath] = {7, {1, 2, 3}};
    kernel.identities[shortName] = {7, {1, 2, 3}};
    RegDll invoker(kernel);
    kernel.report = {WorkerStage::InEntryPoint, 0, false};
    EXPECT_EQ(invoker.CallRegEntry(LibraryPath, RegModeUnregister), RegResult::TimedOut);
    kernel.report = {WorkerStage::Returned, 0, true};
    EXPECT_EQ(invoker.CallRegEntry(shortName, RegModeRegister), RegResult::TimedOut)
        << "a second entry point started beside the one still running";
    kernel.identities[LibraryPath] = {7, {9}};
    EXPECT_EQ(invoker.CallRegEntry(LibraryPath, RegModeRegister), RegResult::Registered);
}

}  // namespace
}  // namespace quorvex
