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

TEST_F(InstalledCopyFaults, EntryPointFaults) {
    Place(L"fixture_fault", installed);
    Expect(Run("unregister faults: install", Install, dest));
    Place(L"fixture_fault", installed);
    Expect(Run("unregister faults: uninstall", Uninstall, dest));
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
