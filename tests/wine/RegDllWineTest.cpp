// The invoker on the real loader and threads, with the fixture libraries.
#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <string>
#include <vector>

#include "engine/RegDll.h"
#include "platform/Handles.h"
#include "platform/Win32Kernel.h"
#include "platform/Win32Startup.h"
#include "tests/wine/WineSupport.h"

namespace quorvex {
namespace {

using testing::FixturePath;
using testing::TakeFixtureCalls;
using testing::TempDir;

class RegDllWineTest : public ::testing::Test {
  protected:
    void SetUp() override { TakeFixtureCalls(); }

    RegResult Call(const std::wstring& path, RegMode mode) {
        return RegDll(kernel).CallRegEntry(path, mode);
    }
    static bool IsLoaded(const std::wstring& path) {
        return GetModuleHandleW(path.c_str()) != nullptr;
    }

    Win32Kernel kernel;
};

TEST_F(RegDllWineTest, EntryPointsRunOnceEachAndTheLibraryIsReleased) {
    const std::wstring library = FixturePath(L"fixture_both_ok");
    EXPECT_EQ(Call(library, RegModeUnregister), RegResult::Unregistered);
    EXPECT_EQ(Call(library, RegModeRegister), RegResult::Registered);
    EXPECT_EQ(TakeFixtureCalls(), L"DllUnregisterServer;DllRegisterServer;");
    EXPECT_FALSE(IsLoaded(library));

    EXPECT_EQ(Call(FixturePath(L"fixture_both_false"), RegModeRegister), RegResult::Registered);
}

TEST_F(RegDllWineTest, MissingEntryPointsAndOtherModes) {
    const std::wstring registerOnly = FixturePath(L"fixture_register_only");
    EXPECT_EQ(Call(registerOnly, RegModeUnregister), RegResult::EntryMissing);
    EXPECT_FALSE(IsLoaded(registerOnly));
    EXPECT_EQ(Call(registerOnly, RegModeRegister), RegResult::Registered);

    const std::wstring none = FixturePath(L"fixture_no_entries");
    EXPECT_EQ(Call(none, RegModeRegister), RegResult::EntryMissing);
    EXPECT_EQ(Call(none, RegModeUnregister), RegResult::EntryMissing);
    for (RegMode mode : {0, 3, -1}) {
        EXPECT_EQ(Call(FixturePath(L"fixture_both_ok"), mode), RegResult::EntryMissing);
    }
    EXPECT_FALSE(IsLoaded(FixturePath(L"fixture_both_ok")));
    EXPECT_EQ(TakeFixtureCalls(), L"DllRegisterServer;");
}

TEST_F(RegDllWineTest, FailureStatusIsNotReportedAsSuccess) {
    for (const wchar_t* fixture : {L"fixture_failing", L"fixture_denied"}) {
        EXPECT_EQ(Call(FixturePath(fixture), RegModeRegister), RegResult::EntryFailed) << fixture;
        EXPECT_EQ(Call(FixturePath(fixture), RegModeUnregister), RegResult::EntryFailed) << fixture;
    }
}

// Nothing at the path is LoadFailed; a file there that the loader refuses
// is LoadRefused, as its registration may well be there.
TEST_F(RegDllWineTest, UnloadablePaths) {
    TempDir temp;
    ASSERT_TRUE(testing::WriteText(temp / L"Quorvexv1.4.dll", "not a library"));
    EXPECT_EQ(Call(temp / L"Quorvexv1.4.dll", RegModeUnregister), RegResult::LoadRefused);
    EXPECT_EQ(Call(temp.Path(), RegModeUnregister), RegResult::LoadFailed);  // a folder
    EXPECT_EQ(Call(temp / L"missing.dll", RegModeUnregister), RegResult::LoadFailed);
    EXPECT_EQ(Call(L"   ", RegModeUnregister), RegResult::LoadFailed);
    EXPECT_EQ(Call(L"", RegModeUnregister), RegResult::NoAction);
    EXPECT_EQ(Call(FixturePath(L"fixture_refuse_load"), RegModeRegister), RegResult::LoadRefused);
    EXPECT_EQ(TakeFixtureCalls(), L"");
}

// A fault in the entry point ends only its worker, and the library stays
// loaded (its detach code would run on broken state).
TEST_F(RegDllWineTest, FaultingEntryPointEndsOnlyItsWorker) {
    EXPECT_EQ(Call(FixturePath(L"fixture_fault"), RegModeUnregister), RegResult::EntryFailed);
    EXPECT_TRUE(IsLoaded(FixturePath(L"fixture_fault")));
    EXPECT_EQ(Call(FixturePath(L"fixture_fault"), RegModeRegister), RegResult::EntryFailed);
    EXPECT_EQ(TakeFixtureCalls(), L"DllUnregisterServer;DllRegisterServer;");
    // The process goes on working normally.
    EXPECT_EQ(Call(FixturePath(L"fixture_both_ok"), RegModeRegister), RegResult::Registered);
}

// Names are handed to the wide loader as they are: a character no ANSI code
// page holds loads its own file, and U+FF3C is no separator.
TEST_F(RegDllWineTest, NamesOutsideTheAnsiCodePageLoadAsTheyAre) {
    TempDir temp;
    ASSERT_TRUE(CreateDirectoryW((temp / L"a").c_str(), nullptr));
    ASSERT_TRUE(CopyFileW(FixturePath(L"fixture_both_ok").c_str(),
                          (temp / L"a\\Quorvexv1.4.dll").c_str(), TRUE));
    EXPECT_EQ(Call(temp / L"a\xFF3CQuorvexv1.4.dll", RegModeUnregister), RegResult::LoadFailed);
    EXPECT_EQ(TakeFixtureCalls(), L"");

    ASSERT_TRUE(CopyFileW(FixturePath(L"fixture_both_ok").c_str(),
                          (temp / L"\x03A6\x00A5\xFF3C.dll").c_str(), TRUE));
    EXPECT_EQ(Call(temp / L"\x03A6\x00A5\xFF3C.dll", RegModeUnregister), RegResult::Unregistered);
    EXPECT_EQ(TakeFixtureCalls(), L"DllUnregisterServer;");
}

// Process-wide settings cannot be undone, so start-up is tried in a child
// process: this program again, running only this test, told so by
// QUORVEX_STARTUP_CHILD.
TEST_F(RegDllWineTest, StartUpSettingsHoldForTheWholeProcess) {
    constexpr wchar_t ChildFlag[] = L"QUORVEX_STARTUP_CHILD";
    if (GetEnvironmentVariableW(ChildFlag, nullptr, 0) != 0) {
        // Wine starts a process with these bits already set; the system does not.
        SetErrorMode(0);
        // A library in the program's folder, of a name the system has none of,
        // is found by its bare name, until start-up.
        const std::wstring planted = L"fixture_both_ok.dll";
        HMODULE before = LoadLibraryW(planted.c_str());
        ASSERT_NE(before, nullptr);
        FreeLibrary(before);
        ASSERT_EQ(GetModuleHandleW(planted.c_str()), nullptr);

        ApplyProcessSettings();
        // No system message box for a drive without a medium or a library
        // the loader cannot open.
        EXPECT_EQ(GetErrorMode(), UINT{SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX});
        const UniqueModule after(LoadLibraryW(planted.c_str()));
        EXPECT_EQ(after.get(), nullptr) << "a bare name still reaches the program's folder";
        const UniqueModule system(LoadLibraryW(L"version.dll"));
        EXPECT_NE(system.get(), nullptr) << "a system library no longer loads by name";
        return;
    }

    TempDir temp;
    const std::wstring outputPath = temp / L"child.txt";
    SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
    UniqueHandle output(CreateFileW(outputPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherited,
                                    CREATE_ALWAYS, 0, nullptr));
    ASSERT_NE(output.get(), INVALID_HANDLE_VALUE);
    const std::wstring program = testing::BuildDirectory() + L"\\wine_tests.exe";
    std::wstring commandLine =
        L"\"" + program + L"\" --gtest_filter=RegDllWineTest.StartUpSettingsHoldForTheWholeProcess";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = output.get();
    startup.hStdError = output.get();
    PROCESS_INFORMATION child{};
    SetEnvironmentVariableW(ChildFlag, L"1");
    const BOOL started =
        CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                       CREATE_DEFAULT_ERROR_MODE, nullptr, nullptr, &startup, &child);
    SetEnvironmentVariableW(ChildFlag, nullptr);
    ASSERT_TRUE(started);
    const UniqueHandle process(child.hProcess);
    CloseHandle(child.hThread);
    output.reset();
    ASSERT_EQ(WaitForSingleObject(process.get(), 60000), WAIT_OBJECT_0);
    DWORD exitCode = 1;
    GetExitCodeProcess(process.get(), &exitCode);
    const std::vector<char> printed = testing::ReadAll(outputPath);
    EXPECT_EQ(exitCode, 0u) << std::string(printed.begin(), printed.end());
}

// Kept last and alone: it waits out the whole limit.
TEST_F(RegDllWineTest, EntryPointPastTheLimitTimesOutAndStaysLoaded) {
    const std::wstring library = FixturePath(L"fixture_hang");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Call(library, RegModeUnregister), RegResult::TimedOut);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(9900));
    EXPECT_LT(waited, std::chrono::milliseconds(15000));
    // Its code is still running on the worker, so it must not be unloaded.
    EXPECT_TRUE(IsLoaded(library));
}

}  // namespace
}  // namespace quorvex
