// Both commands with the real invoker and real files in temporary folders.
#include <gtest/gtest.h>

#include <windows.h>

#include "engine/Commands.h"
#include "platform/Handles.h"
#include "platform/Win32Kernel.h"
#include "tests/support/Fakes.h"
#include "tests/wine/WineSupport.h"

namespace quorvex {
namespace {

using testing::Exists;
using testing::FakeControls;
using testing::FixturePath;
using testing::ReadAll;
using testing::TakeFixtureCalls;
using testing::TempDir;

// The real kernel, but no worker can be made: the address space used up by
// parked threads' stacks, or faults that could not be contained.
class KernelWithoutWorkers final : public KernelServices {
  public:
    explicit KernelWithoutWorkers(KernelServices& real) : real_(real) {}
    std::optional<std::wstring> GetFullPathNameW(const std::wstring& path) override {
        return real_.GetFullPathNameW(path);
    }
    std::optional<FileIdentity> IdentityOf(const std::wstring& path) override {
        return real_.IdentityOf(path);
    }
    bool HasLoadLibrarySearchFlags() override { return real_.HasLoadLibrarySearchFlags(); }
    Thread StartCall(const CallPlan&) override { return nullptr; }
    std::uint32_t WaitForSingleObject(Thread, std::uint32_t) override { return 0; }
    WorkerReport Report(Thread) override { return {}; }
    void CloseHandle(Thread) override {}

  private:
    KernelServices& real_;
};

class CommandsWineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        TakeFixtureCalls();
        CreateDirectoryW(appDir.c_str(), nullptr);
        CreateDirectoryW(destDir.c_str(), nullptr);
        controls.folder = destDir;
    }

    void Ship(const wchar_t* fixture) { Place(fixture, shipped); }
    void Install(const wchar_t* fixture) { Place(fixture, installed); }
    static void Place(const wchar_t* fixture, const std::wstring& path) {
        ASSERT_TRUE(CopyFileW(FixturePath(fixture).c_str(), path.c_str(), FALSE));
    }
    std::wstring Caption(StatusRow row) const { return controls.Caption(row); }
    void ExpectRows(const wchar_t* uninstall, const wchar_t* copy, const wchar_t* install) {
        EXPECT_EQ(Caption(StatusRow::Uninstall), uninstall);
        EXPECT_EQ(Caption(StatusRow::Copy), copy);
        EXPECT_EQ(Caption(StatusRow::Install), install);
        EXPECT_TRUE(controls.AllButtonsEnabled());
        for (StatusRow row : AllStatusRows) {
            EXPECT_EQ(controls.Shadow(row), controls.Caption(row));
        }
    }

    TempDir temp;
    const std::wstring appDir = temp / L"app";
    const std::wstring destDir = temp / L"dest";
    const std::wstring shipped = appDir + L"\\Quorvexv1.4.dll";
    const std::wstring installed = destDir + L"\\Quorvexv1.4.dll";

    testing::Log log;
    FakeControls controls{log};
    Win32Kernel kernel;
    RegDll invoker{kernel};
    testing::FilesWithAppDirectory files{appDir};
    StatusBoard board{controls};
    InstallCommands commands{board, invoker, files};
};

TEST_F(CommandsWineTest, FreshInstallCopiesAndRegisters) {
    Ship(L"fixture_both_ok");
    commands.cmdRegister_Click();
    ExpectRows(L"No previous version.", L"Sucessful", L"Sucessful");
    EXPECT_EQ(ReadAll(installed), ReadAll(shipped));
    EXPECT_EQ(TakeFixtureCalls(), L"DllRegisterServer;");
}

TEST_F(CommandsWineTest, InstallReplacesTheInstalledCopy) {
    Install(L"fixture_register_only");
    Ship(L"fixture_both_ok");
    commands.cmdRegister_Click();
    ExpectRows(L"Not Valid!", L"Sucessful", L"Sucessful");
    EXPECT_EQ(ReadAll(installed), ReadAll(shipped));

    // Now the installed copy unregisters itself before it is replaced.
    Ship(L"fixture_failing");
    TakeFixtureCalls();
    commands.cmdRegister_Click();
    ExpectRows(L"Sucessful", L"Sucessful", L"Failed!");
    EXPECT_EQ(TakeFixtureCalls(), L"DllUnregisterServer;DllRegisterServer;");
    EXPECT_EQ(ReadAll(installed), ReadAll(shipped));
}

// Its library stays loaded after the fault, so it cannot be replaced until
// the program ends; it lives in a folder that a later run clears.
TEST_F(CommandsWineTest, FaultingInstalledCopyStaysLoadedAndInPlace) {
    const std::wstring folder = testing::FolderForALoadedCopy(L"commands");
    const std::wstring copy = folder + L"\\Quorvexv1.4.dll";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    Place(L"fixture_fault", copy);
    Ship(L"fixture_both_ok");
    controls.folder = folder;
    commands.cmdRegister_Click();
    ExpectRows(L"Failed!", L"Not a valid path", L"...");
    EXPECT_NE(GetModuleHandleW(copy.c_str()), nullptr);
    EXPECT_EQ(ReadAll(copy), ReadAll(FixturePath(L"fixture_fault")));
}

// A copy that no worker could unregister was never unregistered: deleted,
// it would leave its registration behind. Neither command deletes it.
TEST_F(CommandsWineTest, CopyNoWorkerCouldUnregisterStays) {
    KernelWithoutWorkers withoutWorkers(kernel);
    RegDll stuck(withoutWorkers);
    InstallCommands stuckCommands(board, stuck, files);
    Install(L"fixture_both_ok");
    Ship(L"fixture_failing");
    stuckCommands.cmdUninstall_Click();
    ExpectRows(L"Failed!", L"N/A", L"N/A");
    EXPECT_EQ(ReadAll(installed), ReadAll(FixturePath(L"fixture_both_ok")));
    stuckCommands.cmdRegister_Click();
    ExpectRows(L"Failed!", L"Not a valid path", L"...");
    EXPECT_EQ(ReadAll(installed), ReadAll(FixturePath(L"fixture_both_ok")));
}

TEST_F(CommandsWineTest, MissingShippedCopyKeepsTheInstalledOne) {
    Install(L"fixture_both_ok");
    const std::vector<char> before = ReadAll(installed);
    commands.cmdRegister_Click();
    ExpectRows(L"...", L"Not a valid path", L"...");
    EXPECT_EQ(ReadAll(installed), before);
    EXPECT_EQ(TakeFixtureCalls(), L"");
}

TEST_F(CommandsWineTest, MissingDestinationFolderTakesTheErrorRoad) {
    Ship(L"fixture_both_ok");
    controls.folder = temp / L"no such folder";
    commands.cmdRegister_Click();
    ExpectRows(L"No previous version.", L"Not a valid path", L"...");
    EXPECT_FALSE(Exists(temp / L"no such folder"));
}

TEST_F(CommandsWineTest, CopyHeldLoadedByARunningProgramIsNotReplaced) {
    Install(L"fixture_register_only");
    Ship(L"fixture_both_ok");
    const UniqueModule held(LoadLibraryW(installed.c_str()));
    ASSERT_TRUE(held);
    const std::vector<char> before = ReadAll(installed);
    commands.cmdRegister_Click();
    ExpectRows(L"Not Valid!", L"Not a valid path", L"...");
    EXPECT_EQ(ReadAll(installed), before);
}

TEST_F(CommandsWineTest, ReadOnlyShippedCopyLeavesAReplaceableInstall) {
    Ship(L"fixture_both_ok");
    ASSERT_TRUE(SetFileAttributesW(shipped.c_str(), FILE_ATTRIBUTE_READONLY));
    commands.cmdRegister_Click();
    ExpectRows(L"No previous version.", L"Sucessful", L"Sucessful");
    EXPECT_EQ(GetFileAttributesW(installed.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);

    commands.cmdRegister_Click();
    ExpectRows(L"Sucessful", L"Sucessful", L"Sucessful");
}

TEST_F(CommandsWineTest, UninstallUnregistersAndDeletes) {
    Install(L"fixture_both_ok");
    Ship(L"fixture_both_ok");
    const std::vector<char> shippedBefore = ReadAll(shipped);
    commands.cmdUninstall_Click();
    ExpectRows(L"Sucessful", L"N/A", L"N/A");
    EXPECT_FALSE(Exists(installed));
    EXPECT_EQ(TakeFixtureCalls(), L"DllUnregisterServer;");
    EXPECT_EQ(ReadAll(shipped), shippedBefore);

    commands.cmdUninstall_Click();
    ExpectRows(L"No previous version.", L"N/A", L"N/A");
}

// A server that uses COM in its entry points, as media filters and type
// libraries do: it registers and unregisters only on a thread with COM.
TEST_F(CommandsWineTest, ServerUsingComInItsEntryPointsRegistersAndUnregisters) {
    Ship(L"fixture_needs_com");
    commands.cmdRegister_Click();
    ExpectRows(L"No previous version.", L"Sucessful", L"Sucessful");
    commands.cmdUninstall_Click();
    ExpectRows(L"Sucessful", L"N/A", L"N/A");
    EXPECT_FALSE(Exists(installed));
    EXPECT_EQ(TakeFixtureCalls(), L"DllRegisterServer;DllUnregisterServer;");
}

// The library imports qvxdep.dll, or loads it by its bare name during its
// call (as a delay-loaded import is), and it lies beside the installed copy.
// A decoy of that name beside this program (as a file downloaded next to the
// installer would lie) would make the registration fail, and notes its load.
TEST_F(CommandsWineTest, LibrariesOfTheLibraryComeFromItsFolderNeverTheProgramsFolder) {
    const std::wstring build = testing::BuildDirectory();
    const std::wstring planted = build + L"\\qvxdep.dll";
    for (const wchar_t* fixture : {L"fixture_imports_dep", L"fixture_loads_dep_by_name"}) {
        SCOPED_TRACE(fixture == std::wstring(L"fixture_imports_dep") ? "import" : "by name");
        DeleteFileW(planted.c_str());  // left behind by a run that failed
        DeleteFileW(installed.c_str());
        ASSERT_TRUE(CopyFileW((build + L"\\dependency\\qvxdep.dll").c_str(),
                              (destDir + L"\\qvxdep.dll").c_str(), FALSE));
        Ship(fixture);

        // Nothing planted: the library is found beside the library.
        commands.cmdRegister_Click();
        ExpectRows(L"No previous version.", L"Sucessful", L"Sucessful");

        ASSERT_TRUE(CopyFileW((build + L"\\decoy\\qvxdep.dll").c_str(), planted.c_str(), FALSE));
        commands.cmdRegister_Click();
        ExpectRows(L"Sucessful", L"Sucessful", L"Sucessful");
        commands.cmdUninstall_Click();
        ExpectRows(L"Sucessful", L"N/A", L"N/A");
        EXPECT_EQ(TakeFixtureCalls(),
                  L"DllRegisterServer;DllUnregisterServer;DllRegisterServer;DllUnregisterServer;");
        // The library's folder has left the search with the end of its call.
        const HMODULE afterwards = LoadLibraryW(L"qvxdep.dll");
        EXPECT_EQ(afterwards, nullptr);
        if (afterwards != nullptr) {
            FreeLibrary(afterwards);
        }
        EXPECT_TRUE(DeleteFileW(planted.c_str()));
    }
}

// Pasted text often has a blank in front: the copy it names is the one
// unregistered and deleted.
TEST_F(CommandsWineTest, LeadingSpacesNameTheSameCopyForEveryStep) {
    Install(L"fixture_both_ok");
    controls.folder = L"  " + destDir;
    Ship(L"fixture_both_ok");
    commands.cmdUninstall_Click();
    ExpectRows(L"Sucessful", L"N/A", L"N/A");
    EXPECT_FALSE(Exists(installed));
}

}  // namespace
}  // namespace quorvex
