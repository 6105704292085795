// What the commands find at the destination: missing, broken, failing,
// protected or held copies. The folder text is the destination folder; the
// application folder ships fixture_both_ok. The copy that hangs is in
// RepeatedUseFaultTest.cpp, as the one time-out of the suite.
#include "tests/faults/FaultHarness.h"

namespace quorvex::faults {
namespace {

using enum Command;

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

// After its fault the library stays loaded until the program ends (its
// detach code is not to be run on broken state), so it cannot be replaced or
// deleted meanwhile: each copy gets a folder of its own.
TEST_F(InstalledCopyFaults, EntryPointFaults) {
    // An access violation, and a raised code that is positive as an HRESULT.
    for (const auto& [fixture, name] :
         {std::pair{L"fixture_fault", "unregister faults"},
          std::pair{L"fixture_raise", "unregister raises 0x0EEDFADE"}}) {
        for (Command command : {Install, Uninstall}) {
            const bool install = command == Install;
            const std::wstring folder = testing::FolderForALoadedCopy(
                std::wstring(fixture) + (install ? L"-install" : L"-uninstall"));
            const std::wstring copy = folder + L"\\Quorvexv1.4.dll";
            MakeFolder(folder);
            Sentinel(folder);
            WatchTree(folder);
            Place(fixture, copy);
            Expect(
                Run(std::string(name) + (install ? ": install" : ": uninstall"), command, folder));
            EXPECT_NE(GetModuleHandleW(copy.c_str()), nullptr)
                << "the library was unloaded after its entry point faulted";
        }
    }
    // A shipped copy whose registration raises.
    const std::wstring folder = testing::FolderForALoadedCopy(L"fixture_raise-shipped");
    MakeFolder(folder);
    WatchTree(folder);
    Ship(L"fixture_raise");
    Expect(Run("register raises 0x0EEDFADE: install", Install, folder));
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

    // Once an accessibility client has asked, the window's thread is COM's
    // main apartment, where a class without a threading model is made.
    SendMessageW(Window().Handle(), WM_GETOBJECT, 0, static_cast<LPARAM>(OBJID_CLIENT));
    // COM keeps the library loaded there: a folder of its own.
    const std::wstring folder = testing::FolderForALoadedCopy(L"main-apartment");
    MakeFolder(folder);
    WatchTree(folder);
    Ship(L"fixture_main_apartment");
    SetEnvironmentVariableW(L"QUORVEX_FIXTURE_MAIN_APARTMENT", nullptr);
    const CaseResult made =
        Run("register makes a class in the main apartment: install", Install, folder);
    Expect(made);
    EXPECT_LT(made.seconds, 5.0) << "the entry points waited for the window";
    EXPECT_NE(GetEnvironmentVariableW(L"QUORVEX_FIXTURE_MAIN_APARTMENT", nullptr, 0), 0u)
        << "the object was not made in the window's apartment: the row shows nothing";
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

// A program reading the copy: it can be neither deleted nor replaced.
TEST_F(InstalledCopyFaults, HeldOpenByAnotherProgram) {
    for (Command command : {Install, Uninstall}) {
        Place(L"fixture_both_false", installed);
        HeldFile holder(L"open", installed);
        ASSERT_TRUE(holder.Holding());
        Expect(Run(std::string("held open, sharing reading only: ") +
                       (command == Install ? "install" : "uninstall"),
                   command, dest, [&] { holder.Release(); }));
        EXPECT_EQ(ReadFileBytes(installed), FixtureBytes(L"fixture_both_false"))
            << "the held copy did not stay: this case does not show a refused delete here";
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

TEST_F(InstalledCopyFaults, LoadedByAnotherProgram) {
    for (Command command : {Install, Uninstall}) {
        Place(L"fixture_both_false", installed);
        HeldFile holder(L"load", installed);
        ASSERT_TRUE(holder.Holding());
        Expect(Run(std::string("loaded by another program: ") +
                       (command == Install ? "install" : "uninstall"),
                   command, dest, [&] { holder.Release(); }));
    }
}

TEST_F(InstalledCopyFaults, FolderInItsPlace) {
    MakeFolder(installed);
    Sentinel(installed);
    Expect(Run("a folder named Quorvexv1.4.dll: install", Install, dest));
    Expect(Run("a folder named Quorvexv1.4.dll: uninstall", Uninstall, dest));
}

}  // namespace
}  // namespace quorvex::faults
