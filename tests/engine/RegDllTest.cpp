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

// Records every kernel call with its arguments and answers as scripted.
class RecordingKernel : public KernelServices {
  public:
    static inline const Module TheModule = reinterpret_cast<Module>(0x10000);
    static inline const Entry TheEntry = reinterpret_cast<Entry>(0x10400);
    static inline const Thread TheThread = reinterpret_cast<Thread>(0x44);

    std::optional<std::wstring> GetFullPathNameW(const std::wstring& path) override {
        calls.push_back("GetFullPathNameW " + Narrow(path));
        if (!resolves) {
            return std::nullopt;
        }
        const auto full = fullPaths.find(path);
        return full != fullPaths.end() ? full->second : path;
    }
    bool HasLoadLibrarySearchFlags() override { return searchFlags; }
    Module LoadLibraryExW(const std::wstring& path, std::uint32_t flags) override {
        calls.push_back("LoadLibraryExW " + Narrow(path) + " " + FlagNames(flags));
        loadedPaths.push_back(path);
        return loads ? TheModule : nullptr;
    }
    Entry GetProcAddress(Module module, const char* name) override {
        calls.push_back(std::string("GetProcAddress ") + Name(module) + " " + name);
        return exports ? TheEntry : nullptr;
    }
    Thread CreateThread(Entry entry) override {
        calls.push_back(std::string("CreateThread ") + (entry == TheEntry ? "entry" : "?"));
        return threadStarts ? TheThread : nullptr;
    }
    std::uint32_t WaitForSingleObject(Thread thread, std::uint32_t ms) override {
        calls.push_back(std::string("WaitForSingleObject ") + Name(thread) + " " +
                        std::to_string(ms));
        return waitResult;
    }
    std::optional<std::uint32_t> GetExitCodeThread(Thread thread) override {
        calls.push_back(std::string("GetExitCodeThread ") + Name(thread));
        return exitCode;
    }
    bool EntryReturned(Thread thread) override {
        calls.push_back(std::string("EntryReturned ") + Name(thread));
        return returned;
    }
    void CloseHandle(Thread thread) override {
        calls.push_back(std::string("CloseHandle ") + Name(thread));
    }
    void FreeLibrary(Module module) override {
        calls.push_back(std::string("FreeLibrary ") + Name(module));
    }
    void BeginForeignCode() override { calls.emplace_back("BeginForeignCode"); }
    bool EndForeignCode() override {
        calls.emplace_back("EndForeignCode");
        return threadsRemain;
    }

    bool resolves = true;
    std::map<std::wstring, std::wstring> fullPaths;  // the rest resolve to themselves
    bool searchFlags = true;
    bool loads = true;
    bool exports = true;
    bool threadStarts = true;
    std::uint32_t waitResult = 0;
    std::optional<std::uint32_t> exitCode = 0;
    bool returned = true;
    bool threadsRemain = false;
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
    static const char* Name(const void* handle) {
        return handle == TheModule ? "module" : handle == TheThread ? "worker" : "?";
    }
};

constexpr std::uint32_t WaitTimeout = 0x102;
constexpr std::uint32_t WaitFailed = 0xFFFFFFFF;
const std::wstring LibraryPath = L"C:\\WINDOWS\\SYSTEM\\Quorvexv1.4.dll";
const std::string Resolve = "GetFullPathNameW C:\\WINDOWS\\SYSTEM\\Quorvexv1.4.dll";
const std::string Load =
    "LoadLibraryExW C:\\WINDOWS\\SYSTEM\\Quorvexv1.4.dll SEARCH_DLL_LOAD_DIR|SEARCH_SYSTEM32";
const std::string Begin = "BeginForeignCode";
const std::string End = "EndForeignCode";

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
    kernel.loads = false;
    const std::pair<std::wstring, std::string> cases[] = {
        {L"   ", "   "}, {L" C:\\dir\\Quorvexv1.4.dll ", " C:\\dir\\Quorvexv1.4.dll "}};
    for (const auto& [passed, narrow] : cases) {
        kernel.calls.clear();
        std::wstring callersPath = passed;
        RegDll invoker(kernel);
        RegistrationInvoker& asTheCommandsSeeIt = invoker;
        EXPECT_EQ(asTheCommandsSeeIt.CallRegEntry(callersPath, RegModeRegister),
                  RegResult::LoadFailed);
        EXPECT_EQ(
            kernel.calls,
            (Calls{"GetFullPathNameW " + narrow, Begin,
                   "LoadLibraryExW " + narrow + " SEARCH_DLL_LOAD_DIR|SEARCH_SYSTEM32", End}));
        EXPECT_EQ(callersPath, passed);
    }
}

TEST_F(RegDllTest, UnloadableLibraryAcquiresNothing) {
    kernel.loads = false;
    for (RegMode mode : {1, 2, 0, 3, -1}) {
        kernel.calls.clear();
        EXPECT_EQ(Call(LibraryPath, mode), RegResult::LoadFailed);
        EXPECT_EQ(kernel.calls, (Calls{Resolve, Begin, Load, End}));
    }
}

// A folder name the ANSI code page cannot hold reaches the loader unchanged.
TEST_F(RegDllTest, PathOutsideTheAnsiCodePageReachesTheLoaderIntact) {
    const std::wstring greek = L"C:\\\x03A6\x03AC\x03BA\x03B5\x03BB\x03BF\x03C2\\Quorvexv1.4.dll";
    kernel.loads = false;
    EXPECT_EQ(Call(greek, RegModeRegister), RegResult::LoadFailed);
    EXPECT_EQ(kernel.loadedPaths, std::vector<std::wstring>{greek});
}

// The library is loaded by its full path, its own imports from its folder
// and the system folder only (never the program's folder, the current folder
// or PATH); where the system lacks those flags, from its folder first.
TEST_F(RegDllTest, LibraryIsLoadedByItsFullPathWithImportsFromItsOwnFolder) {
    kernel.fullPaths[L"dest\\Quorvexv1.4.dll"] = L"C:\\Users\\me\\dest\\Quorvexv1.4.dll";
    kernel.loads = false;
    EXPECT_EQ(Call(L"dest\\Quorvexv1.4.dll", RegModeRegister), RegResult::LoadFailed);
    EXPECT_EQ(kernel.calls, (Calls{"GetFullPathNameW dest\\Quorvexv1.4.dll", Begin,
                                   "LoadLibraryExW C:\\Users\\me\\dest\\Quorvexv1.4.dll "
                                   "SEARCH_DLL_LOAD_DIR|SEARCH_SYSTEM32",
                                   End}));

    kernel.calls.clear();
    kernel.searchFlags = false;
    EXPECT_EQ(Call(L"dest\\Quorvexv1.4.dll", RegModeRegister), RegResult::LoadFailed);
    EXPECT_EQ(kernel.calls.at(2),
              "LoadLibraryExW C:\\Users\\me\\dest\\Quorvexv1.4.dll ALTERED_SEARCH_PATH");

    kernel.calls.clear();
    kernel.resolves = false;
    EXPECT_EQ(Call(L"dest\\Quorvexv1.4.dll", RegModeRegister), RegResult::LoadFailed);
    EXPECT_EQ(kernel.calls, (Calls{"GetFullPathNameW dest\\Quorvexv1.4.dll"}));
}

TEST_F(RegDllTest, OtherModesLoadAndReleaseWithoutLookUp) {
    for (RegMode mode : {0, 3, -1}) {
        kernel.calls.clear();
        EXPECT_EQ(Call(LibraryPath, mode), RegResult::EntryMissing);
        EXPECT_EQ(kernel.calls, (Calls{Resolve, Begin, Load, End, "FreeLibrary module"}));
    }
}

TEST_F(RegDllTest, MissingExportReleasesTheLibrary) {
    kernel.exports = false;
    EXPECT_EQ(Call(LibraryPath, RegModeUnregister), RegResult::EntryMissing);
    EXPECT_EQ(kernel.calls,
              (Calls{Resolve, Begin, Load, "GetProcAddress module DllUnregisterServer", End,
                     "FreeLibrary module"}));
}

TEST_F(RegDllTest, WorkerNotCreatedReleasesTheLibraryAndReportsNoAction) {
    kernel.threadStarts = false;
    EXPECT_EQ(Call(LibraryPath, RegModeRegister), RegResult::NoAction);
    EXPECT_EQ(kernel.calls, (Calls{Resolve, Begin, Load, "GetProcAddress module DllRegisterServer",
                                   "CreateThread entry", End, "FreeLibrary module"}));
}

TEST_F(RegDllTest, WorkerEndingInTimeClosesTheHandleThenReleasesTheLibrary) {
    const std::pair<RegMode, const char*> modes[] = {{RegModeRegister, "DllRegisterServer"},
                                                     {RegModeUnregister, "DllUnregisterServer"}};
    for (auto [mode, entryName] : modes) {
        kernel.calls.clear();
        const RegResult expected =
            mode == RegModeRegister ? RegResult::Registered : RegResult::Unregistered;
        EXPECT_EQ(Call(LibraryPath, mode), expected);
        EXPECT_EQ(kernel.calls,
                  (Calls{Resolve, Begin, Load, std::string("GetProcAddress module ") + entryName,
                         "CreateThread entry", "WaitForSingleObject worker 10000",
                         "GetExitCodeThread worker", "EntryReturned worker", "CloseHandle worker",
                         End, "FreeLibrary module"}));
    }
}

// The entry point's HRESULT decides between success and EntryFailed: only a
// negative status is a failure. An unreadable code is taken as success. A
// worker ended without the entry point's return (a fault, a stack overflow,
// ExitThread) failed, whatever its exit code, and its library stays loaded.
TEST_F(RegDllTest, FailureStatusOfTheEntryPointIsReported) {
    struct Case {
        std::optional<std::uint32_t> exitCode;
        bool returned;
        RegResult registerResult;
        RegResult unregisterResult;
    };
    const Case cases[] = {
        {0u, true, RegResult::Registered, RegResult::Unregistered},  // S_OK
        {1u, true, RegResult::Registered, RegResult::Unregistered},  // S_FALSE
        {0x7FFFFFFFu, true, RegResult::Registered, RegResult::Unregistered},
        {0x80070005u, true, RegResult::EntryFailed, RegResult::EntryFailed},  // E_ACCESSDENIED
        {0x80040201u, true, RegResult::EntryFailed, RegResult::EntryFailed},  // SELFREG_E_CLASS
        {std::nullopt, true, RegResult::Registered, RegResult::Unregistered},
        {0xC0000005u, false, RegResult::EntryFailed, RegResult::EntryFailed},  // access violation
        {0x0EEDFADEu, false, RegResult::EntryFailed, RegResult::EntryFailed},  // a raised exception
        {0u, false, RegResult::EntryFailed, RegResult::EntryFailed},           // ExitThread(0)
        {1u, false, RegResult::EntryFailed,
         RegResult::EntryFailed},  // a stack overflow, under Wine
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.exitCode ? std::to_string(*c.exitCode) : "unreadable");
        kernel.exitCode = c.exitCode;
        kernel.returned = c.returned;
        kernel.calls.clear();
        EXPECT_EQ(Call(LibraryPath, RegModeRegister), c.registerResult);
        EXPECT_EQ(Call(LibraryPath, RegModeUnregister), c.unregisterResult);
        EXPECT_EQ(std::count(kernel.calls.begin(), kernel.calls.end(), "FreeLibrary module"),
                  c.returned ? 2 : 0);
    }
}

// The library is kept loaded for good: its code may still be running.
TEST_F(RegDllTest, TimeOutOrFailedWaitKeepsTheLibraryLoaded) {
    for (std::uint32_t waitResult : {WaitTimeout, WaitFailed, 0x80u}) {
        kernel.calls.clear();
        kernel.waitResult = waitResult;
        kernel.exitCode = 259;  // STILL_ACTIVE
        EXPECT_EQ(Call(LibraryPath, RegModeUnregister), RegResult::TimedOut);
        EXPECT_EQ(kernel.calls,
                  (Calls{Resolve, Begin, Load, "GetProcAddress module DllUnregisterServer",
                         "CreateThread entry", "WaitForSingleObject worker 10000",
                         "GetExitCodeThread worker", "CloseHandle worker", End}));
    }
}

// A thread the library started, on its load or in its entry point, may still
// run its code: on every road that would release the library, it stays.
TEST_F(RegDllTest, ThreadsLeftBehindKeepTheLibraryLoaded) {
    kernel.threadsRemain = true;
    const auto road = [&](bool exports, bool threadStarts, RegMode mode, RegResult expected) {
        kernel.calls.clear();
        kernel.exports = exports;
        kernel.threadStarts = threadStarts;
        EXPECT_EQ(Call(LibraryPath, mode), expected);
        EXPECT_EQ(kernel.calls.back(), End);
    };
    road(true, true, RegModeRegister, RegResult::Registered);
    road(true, true, RegModeUnregister, RegResult::Unregistered);
    road(false, true, RegModeUnregister, RegResult::EntryMissing);
    road(true, true, 0, RegResult::EntryMissing);
    road(true, false, RegModeRegister, RegResult::NoAction);
}

}  // namespace
}  // namespace quorvex
