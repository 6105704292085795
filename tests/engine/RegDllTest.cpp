#include <gtest/gtest.h>

#include <cstdint>
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

    std::optional<std::string> ToAnsi(const std::wstring& text) override {
        if (!representable) {
            return std::nullopt;
        }
        return std::string(text.begin(), text.end());
    }
    Module LoadLibraryA(const std::string& ansiPath) override {
        calls.push_back("LoadLibraryA " + ansiPath);
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
    void CloseHandle(Thread thread) override {
        calls.push_back(std::string("CloseHandle ") + Name(thread));
    }
    void FreeLibrary(Module module) override {
        calls.push_back(std::string("FreeLibrary ") + Name(module));
    }

    bool representable = true;
    bool loads = true;
    bool exports = true;
    bool threadStarts = true;
    std::uint32_t waitResult = 0;
    std::optional<std::uint32_t> exitCode = 0;
    Calls calls;

  private:
    static const char* Name(const void* handle) {
        return handle == TheModule ? "module" : handle == TheThread ? "worker" : "?";
    }
};

constexpr std::uint32_t WaitTimeout = 0x102;
constexpr std::uint32_t WaitFailed = 0xFFFFFFFF;
const std::wstring LibraryPath = L"C:\\WINDOWS\\SYSTEM\\Quorvexv1.4.dll";

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
        {L"   ", "LoadLibraryA    "},
        {L" C:\\dir\\Quorvexv1.4.dll ", "LoadLibraryA  C:\\dir\\Quorvexv1.4.dll "}};
    for (const auto& [passed, loaderCall] : cases) {
        kernel.calls.clear();
        std::wstring callersPath = passed;
        RegDll invoker(kernel);
        RegistrationInvoker& asTheCommandsSeeIt = invoker;
        EXPECT_EQ(asTheCommandsSeeIt.CallRegEntry(callersPath, RegModeRegister),
                  RegResult::LoadFailed);
        EXPECT_EQ(kernel.calls, (Calls{loaderCall}));
        EXPECT_EQ(callersPath, passed);
    }
}

TEST_F(RegDllTest, UnloadableLibraryAcquiresNothing) {
    kernel.loads = false;
    for (RegMode mode : {1, 2, 0, 3, -1}) {
        kernel.calls.clear();
        EXPECT_EQ(Call(LibraryPath, mode), RegResult::LoadFailed);
        EXPECT_EQ(kernel.calls, (Calls{"LoadLibraryA C:\\WINDOWS\\SYSTEM\\Quorvexv1.4.dll"}));
    }
}

TEST_F(RegDllTest, PathOutsideTheAnsiCodePageNeverReachesTheLoader) {
    kernel.representable = false;
    EXPECT_EQ(Call(L"C:\\x\xFF3C..\\evil\\Quorvexv1.4.dll", RegModeRegister),
              RegResult::LoadFailed);
    EXPECT_TRUE(kernel.calls.empty());
}

TEST_F(RegDllTest, OtherModesLoadAndReleaseWithoutLookUp) {
    for (RegMode mode : {0, 3, -1}) {
        kernel.calls.clear();
        EXPECT_EQ(Call(LibraryPath, mode), RegResult::EntryMissing);
        EXPECT_EQ(kernel.calls, (Calls{"LoadLibraryA C:\\WINDOWS\\SYSTEM\\Quorvexv1.4.dll",
                                       "FreeLibrary module"}));
    }
}

TEST_F(RegDllTest, MissingExportReleasesTheLibrary) {
    kernel.exports = false;
    EXPECT_EQ(Call(LibraryPath, RegModeUnregister), RegResult::EntryMissing);
    EXPECT_EQ(kernel.calls,
              (Calls{"LoadLibraryA C:\\WINDOWS\\SYSTEM\\Quorvexv1.4.dll",
                     "GetProcAddress module DllUnregisterServer", "FreeLibrary module"}));
}

TEST_F(RegDllTest, WorkerNotCreatedReleasesTheLibraryAndReportsNoAction) {
    kernel.threadStarts = false;
    EXPECT_EQ(Call(LibraryPath, RegModeRegister), RegResult::NoAction);
    EXPECT_EQ(kernel.calls, (Calls{"LoadLibraryA C:\\WINDOWS\\SYSTEM\\Quorvexv1.4.dll",
                                   "GetProcAddress module DllRegisterServer", "CreateThread entry",
                                   "FreeLibrary module"}));
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
                  (Calls{"LoadLibraryA C:\\WINDOWS\\SYSTEM\\Quorvexv1.4.dll",
                         std::string("GetProcAddress module ") + entryName, "CreateThread entry",
                         "WaitForSingleObject worker 10000", "GetExitCodeThread worker",
                         "CloseHandle worker", "FreeLibrary module"}));
    }
}

// The entry point's HRESULT decides between success and EntryFailed: only a
// negative status is a failure. An unreadable code is taken as success.
TEST_F(RegDllTest, FailureStatusOfTheEntryPointIsReported) {
    struct Case {
        std::optional<std::uint32_t> exitCode;
        RegResult registerResult;
        RegResult unregisterResult;
    };
    const Case cases[] = {
        {0u, RegResult::Registered, RegResult::Unregistered},  // S_OK
        {1u, RegResult::Registered, RegResult::Unregistered},  // S_FALSE
        {0x7FFFFFFFu, RegResult::Registered, RegResult::Unregistered},
        {0x80070005u, RegResult::EntryFailed, RegResult::EntryFailed},  // E_ACCESSDENIED
        {0x80040201u, RegResult::EntryFailed, RegResult::EntryFailed},  // SELFREG_E_CLASS
        {0xC0000005u, RegResult::EntryFailed, RegResult::EntryFailed},  // worker ended by a fault
        {std::nullopt, RegResult::Registered, RegResult::Unregistered},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.exitCode ? std::to_string(*c.exitCode) : "unreadable");
        kernel.exitCode = c.exitCode;
        EXPECT_EQ(Call(LibraryPath, RegModeRegister), c.registerResult);
        EXPECT_EQ(Call(LibraryPath, RegModeUnregister), c.unregisterResult);
    }
}

// The library is kept loaded for good: its code may still be running.
TEST_F(RegDllTest, TimeOutOrFailedWaitKeepsTheLibraryLoaded) {
    for (std::uint32_t waitResult : {WaitTimeout, WaitFailed, 0x80u}) {
        kernel.calls.clear();
        kernel.waitResult = waitResult;
        kernel.exitCode = 259;  // STILL_ACTIVE
        EXPECT_EQ(Call(LibraryPath, RegModeUnregister), RegResult::TimedOut);
        EXPECT_EQ(kernel.calls, (Calls{"LoadLibraryA C:\\WINDOWS\\SYSTEM\\Quorvexv1.4.dll",
                                       "GetProcAddress module DllUnregisterServer",
                                       "CreateThread entry", "WaitForSingleObject worker 10000",
                                       "GetExitCodeThread worker", "CloseHandle worker"}));
    }
}

}  // namespace
}  // namespace quorvex
