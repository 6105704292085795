#include <gtest/gtest.h>

#include <algorithm>

#include "engine/Commands.h"
#include "engine/Text.h"
#include "tests/support/Fakes.h"

namespace quorvex {
namespace {

using testing::FakeControls;
using testing::FakeFiles;
using testing::FakeInvoker;
using testing::Log;

const std::wstring Source = L"D:\\Setup\\Quorvexv1.4.dll";
const std::wstring Installed = L"C:\\WINDOWS\\SYSTEM\\Quorvexv1.4.dll";

const Log DisableButtons{"enable cmdRegister 0", "enable cmdUninstall 0", "enable ExitCmd 0"};
const Log EnableButtons{"enable cmdRegister 1", "enable cmdUninstall 1", "enable ExitCmd 1"};
const Log ResetRows{"colour 1 white", "caption 1 ...",  "colour 2 white",
                    "caption 2 ...",  "colour 3 white", "caption 3 ..."};

Log Concat(std::initializer_list<Log> parts) {
    Log all;
    for (const Log& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

class CommandsTest : public ::testing::Test {
  protected:
    void SetUp() override { files.files.insert(Installed); }

    void ExpectIdleAndMirrored() {
        EXPECT_TRUE(controls.AllButtonsEnabled());
        for (StatusRow row : AllStatusRows) {
            EXPECT_EQ(controls.Shadow(row), controls.Caption(row))
                << "row " << static_cast<int>(row);
        }
    }
    bool Logged(const std::string& entry) const {
        return std::find(log.begin(), log.end(), entry) != log.end();
    }

    Log log;
    FakeControls controls{log};
    FakeInvoker invoker{log};
    FakeFiles files{log};
    StatusBoard board{controls};
    InstallCommands commands{board, invoker, files};
};

TEST_F(CommandsTest, InstallRunsEveryStepInOrder) {
    invoker.results = {RegResult::Unregistered, RegResult::Registered};
    commands.cmdRegister_Click();

    EXPECT_EQ(log,
              Concat({DisableButtons,
                      ResetRows,
                      {"unregister C:\\WINDOWS\\SYSTEM\\Quorvexv1.4.dll", "colour 1 green",
                       "caption 1 Sucessful", "shadow 1 Sucessful",
                       "delete C:\\WINDOWS\\SYSTEM\\Quorvexv1.4.dll",
                       "copy D:\\Setup\\Quorvexv1.4.dll > C:\\WINDOWS\\SYSTEM\\Quorvexv1.4.dll",
                       "colour 2 green", "caption 2 Sucessful",
                       "register C:\\WINDOWS\\SYSTEM\\Quorvexv1.4.dll", "colour 3 green",
                       "caption 3 Sucessful", "shadow 2 Sucessful", "shadow 3 Sucessful"},
                      EnableButtons}));
    ExpectIdleAndMirrored();
}

// The folder text names the program's own folder under another spelling (or
// the installed copy is a hard link to the shipped one): the only copy is
// unregistered and registered where it is, never deleted or copied over itself.
TEST_F(CommandsTest, InstallIntoTheProgramsOwnFolderKeepsTheOnlyCopy) {
    files.sameAs[Installed] = Source;
    invoker.results = {RegResult::Unregistered, RegResult::Registered};
    commands.cmdRegister_Click();

    EXPECT_EQ(log, Concat({DisableButtons,
                           ResetRows,
                           {"unregister C:\\WINDOWS\\SYSTEM\\Quorvexv1.4.dll", "colour 1 green",
                            "caption 1 Sucessful", "shadow 1 Sucessful",
                            "delete C:\\WINDOWS\\SYSTEM\\Quorvexv1.4.dll", "colour 2 green",
                            "caption 2 Sucessful", "register C:\\WINDOWS\\SYSTEM\\Quorvexv1.4.dll",
                            "colour 3 green", "caption 3 Sucessful", "shadow 2 Sucessful",
                            "shadow 3 Sucessful"},
                           EnableButtons}));
    EXPECT_EQ(files.files.count(Source), 1u);
    EXPECT_EQ(files.files.count(Installed), 1u);
    ExpectIdleAndMirrored();
}

TEST_F(CommandsTest, UninstallRunsEveryStepInOrderAndNeverTouchesTheShippedCopy) {
    invoker.results = {RegResult::Unregistered};
    commands.cmdUninstall_Click();

    EXPECT_EQ(log, Concat({DisableButtons,
                           ResetRows,
                           {"unregister C:\\WINDOWS\\SYSTEM\\Quorvexv1.4.dll", "colour 1 green",
                            "caption 1 Sucessful", "shadow 1 Sucessful",
                            "delete C:\\WINDOWS\\SYSTEM\\Quorvexv1.4.dll", "colour 2 blue",
                            "caption 2 N/A", "shadow 2 N/A", "colour 3 blue", "caption 3 N/A",
                            "shadow 3 N/A"},
                           EnableButtons}));
    EXPECT_EQ(files.files.count(Source), 1u);
    EXPECT_EQ(files.files.count(Installed), 0u);
    ExpectIdleAndMirrored();
}

// Each uninstall-row outcome is shown, mirrored, and the delete still runs;
// but for a copy that is there and was never unregistered (the loader found
// no room for it, or refused it): the uninstall keeps it, as its
// registration would stay behind, and the install replaces a refused one as
// after any failed unregistration, and leaves one without room as it is.
TEST_F(CommandsTest, UninstallRowOutcomesNeverStopTheDelete) {
    const std::pair<RegResult, const wchar_t*> outcomes[] = {
        {RegResult::NoAction, L"..."},
        {RegResult::LoadFailed, L"No previous version."},
        {RegResult::EntryMissing, L"Not Valid!"},
        {RegResult::TimedOut, L"Failed!"},
        {RegResult::EntryFailed, L"Failed!"},
        {RegResult::Unregistered, L"Sucessful"}};
    const auto check = [&](RegResult result, const wchar_t* text, bool uninstallDeletes,
                           bool installDeletes) {
        for (bool install : {false, true}) {
            SCOPED_TRACE(::testing::Message()
                         << static_cast<int>(result) << (install ? " install" : " uninstall"));
            log.clear();
            invoker.results = {result, RegResult::Registered};
            install ? commands.cmdRegister_Click() : commands.cmdUninstall_Click();
            const bool deleted = install ? installDeletes : uninstallDeletes;
            EXPECT_EQ(controls.Caption(StatusRow::Uninstall), text);
            EXPECT_EQ(Logged("delete C:\\WINDOWS\\SYSTEM\\Quorvexv1.4.dll"), deleted);
            EXPECT_EQ(Logged("register C:\\WINDOWS\\SYSTEM\\Quorvexv1.4.dll"), install && deleted);
            ExpectIdleAndMirrored();
        }
    };
    for (auto [result, text] : outcomes) {
        check(result, text, true, true);
    }
    check(RegResult::LoadOutOfRoom, L"Failed!", false, false);
    check(RegResult::LoadRefused, L"Failed!", false, true);

    // A copy still there after the delete was not uninstalled, whatever its
    // unregistration said; on the install, the copy row tells instead.
    files.refuseDelete = true;
    for (auto [result, text] : outcomes) {
        for (bool install : {false, true}) {
            SCOPED_TRACE(::testing::Message() << static_cast<int>(result) << " stays");
            invoker.results = {result, RegResult::Registered};
            install ? commands.cmdRegister_Click() : commands.cmdUninstall_Click();
            EXPECT_EQ(controls.Caption(StatusRow::Uninstall), install ? text : L"Failed!");
            EXPECT_TRUE(install || controls.Colour(StatusRow::Uninstall) == colour::Red);
            ExpectIdleAndMirrored();
        }
    }
}

// Trimmed once, the folder text names one file for every step.
TEST_F(CommandsTest, FolderTextIsTrimmedOnceForEveryStep) {
    controls.folder = L"  C:\\Apps  ";
    invoker.results = {RegResult::LoadFailed, RegResult::Registered};
    commands.cmdRegister_Click();
    EXPECT_TRUE(Logged("unregister C:\\Apps\\Quorvexv1.4.dll"));
    EXPECT_TRUE(Logged("delete C:\\Apps\\Quorvexv1.4.dll"));
    EXPECT_TRUE(Logged("copy D:\\Setup\\Quorvexv1.4.dll > C:\\Apps\\Quorvexv1.4.dll"));
    EXPECT_TRUE(Logged("register C:\\Apps\\Quorvexv1.4.dll"));

    log.clear();
    commands.cmdUninstall_Click();
    EXPECT_TRUE(Logged("unregister C:\\Apps\\Quorvexv1.4.dll"));
    EXPECT_TRUE(Logged("delete C:\\Apps\\Quorvexv1.4.dll"));
}

// Resolved once, as the command begins: a library that changes the current
// folder during its call moves none of the later steps. Text that does not
// resolve is used as it stands, and fails in the steps.
TEST_F(CommandsTest, FolderTextIsResolvedOnceForEveryStep) {
    controls.folder = L"dest";
    const std::wstring full = L"C:\\Users\\me\\dest\\Quorvexv1.4.dll";
    files.fullPaths[L"dest\\Quorvexv1.4.dll"] = full;
    files.files.insert(full);
    invoker.results = {RegResult::Unregistered, RegResult::Registered};
    commands.cmdRegister_Click();
    EXPECT_EQ(files.resolved, 1);
    for (const char* step :
         {"unregister ", "delete ", "copy D:\\Setup\\Quorvexv1.4.dll > ", "register "}) {
        EXPECT_TRUE(Logged(step + std::string("C:\\Users\\me\\dest\\Quorvexv1.4.dll"))) << step;
    }

    log.clear();
    files.fullPaths[L"dest\\Quorvexv1.4.dll"] = std::nullopt;
    commands.cmdUninstall_Click();
    EXPECT_TRUE(Logged("unregister dest\\Quorvexv1.4.dll"));
    EXPECT_TRUE(Logged("delete dest\\Quorvexv1.4.dll"));
}

TEST_F(CommandsTest, FolderTextIsJoinedWithoutAddingOrRemovingSeparators) {
    controls.folder = L"C:\\Apps\\";
    commands.cmdUninstall_Click();
    EXPECT_TRUE(Logged("delete C:\\Apps\\\\Quorvexv1.4.dll"));
    log.clear();
    controls.folder = L"";
    commands.cmdUninstall_Click();
    EXPECT_TRUE(Logged("unregister \\Quorvexv1.4.dll"));
}

TEST_F(CommandsTest, FailedCopyTakesTheErrorRoad) {
    files.refuseCopy = true;
    invoker.results = {RegResult::LoadFailed};
    commands.cmdRegister_Click();

    EXPECT_EQ(controls.Caption(StatusRow::Uninstall), L"No previous version.");
    EXPECT_EQ(controls.Caption(StatusRow::Copy), L"Not a valid path");
    EXPECT_EQ(controls.Colour(StatusRow::Copy), colour::Red);
    EXPECT_EQ(controls.Caption(StatusRow::Install), L"...");
    EXPECT_EQ(controls.Colour(StatusRow::Install), colour::White);
    EXPECT_FALSE(Logged("register C:\\WINDOWS\\SYSTEM\\Quorvexv1.4.dll"));
    EXPECT_EQ(std::vector(log.end() - 7, log.end()),
              Concat({{"colour 2 red", "caption 2 Not a valid path", "shadow 2 Not a valid path",
                       "shadow 3 ..."},
                      EnableButtons}));
    ExpectIdleAndMirrored();
}

// A copy that can be neither deleted nor replaced but holds the shipped
// bytes is the library in place: it is registered.
TEST_F(CommandsTest, StayingCopyWithTheShippedBytesIsRegistered) {
    files.files.insert(L"C:\\WINDOWS\\SYSTEM\\Quorvexv1.4.dll");
    files.refuseDelete = true;
    files.refuseCopy = true;
    files.sameBytes = true;
    invoker.results = {RegResult::Unregistered, RegResult::Registered};
    commands.cmdRegister_Click();
    EXPECT_EQ(controls.Caption(StatusRow::Copy), L"Sucessful");
    EXPECT_TRUE(Logged("register C:\\WINDOWS\\SYSTEM\\Quorvexv1.4.dll"));
    EXPECT_EQ(controls.Caption(StatusRow::Install), L"Sucessful");
}

// "Sucessful" in the copy row is overwritten once a later step fails.
TEST_F(CommandsTest, FailureAfterTheCopyStillTakesTheErrorRoad) {
    const std::string laterFailures[] = {"caption 2 Sucessful", "caption 3 Sucessful",
                                         "shadow 2 Sucessful", "shadow 3 Sucessful",
                                         "enable ExitCmd 1"};
    for (const std::string& failing : laterFailures) {
        SCOPED_TRACE(failing);
        controls.failing = {failing};
        invoker.results = {RegResult::Unregistered, RegResult::Registered};
        commands.cmdRegister_Click();
        EXPECT_EQ(controls.Caption(StatusRow::Copy), L"Not a valid path");
        EXPECT_EQ(controls.Colour(StatusRow::Copy), colour::Red);
        EXPECT_EQ(controls.Shadow(StatusRow::Copy), L"Not a valid path");
    }

    controls.failing.clear();
    invoker.throwOnMode = RegModeRegister;
    commands.cmdRegister_Click();
    EXPECT_EQ(controls.Caption(StatusRow::Copy), L"Not a valid path");
    EXPECT_EQ(controls.Caption(StatusRow::Install), L"...");
    ExpectIdleAndMirrored();
}

TEST_F(CommandsTest, FailuresBeforeTheCopyAreSkipped) {
    controls.failing = {"caption 1 Not Valid!", "shadow 1 ..."};
    files.refuseDelete = true;
    invoker.results = {RegResult::EntryMissing, RegResult::Registered};
    commands.cmdRegister_Click();
    EXPECT_TRUE(Logged("copy D:\\Setup\\Quorvexv1.4.dll > C:\\WINDOWS\\SYSTEM\\Quorvexv1.4.dll"));
    EXPECT_EQ(controls.Caption(StatusRow::Copy), L"Sucessful");
    EXPECT_EQ(controls.Caption(StatusRow::Install), L"Sucessful");
    EXPECT_TRUE(controls.AllButtonsEnabled());

    controls.failing.clear();
    invoker.throwOnMode = RegModeUnregister;
    invoker.results = {RegResult::Registered};
    commands.cmdRegister_Click();
    EXPECT_EQ(controls.Caption(StatusRow::Uninstall), L"...");
    EXPECT_EQ(controls.Caption(StatusRow::Install), L"Sucessful");
    ExpectIdleAndMirrored();
}

TEST_F(CommandsTest, UninstallSkipsEveryFailingStep) {
    controls.failing = {"caption 2 N/A", "shadow 1 Sucessful", "enable cmdUninstall 1"};
    invoker.results = {RegResult::Unregistered};
    commands.cmdUninstall_Click();
    EXPECT_EQ(controls.Caption(StatusRow::Uninstall), L"Sucessful");
    EXPECT_EQ(controls.Shadow(StatusRow::Uninstall), L"...");
    EXPECT_EQ(controls.Caption(StatusRow::Copy), L"...");
    EXPECT_EQ(controls.Caption(StatusRow::Install), L"N/A");
    EXPECT_EQ(controls.Shadow(StatusRow::Install), L"N/A");
    // A refused button does not keep the other two disabled.
    EXPECT_EQ(log.back(), "enable ExitCmd 1");
    EXPECT_TRUE(controls.buttons[0]);
    EXPECT_TRUE(controls.buttons[2]);
}

TEST_F(CommandsTest, RegistrationNotStartedLeavesTheInstallRowIdleAfterACopy) {
    invoker.results = {RegResult::Unregistered, RegResult::NoAction};
    commands.cmdRegister_Click();
    EXPECT_EQ(controls.Caption(StatusRow::Copy), L"Sucessful");
    EXPECT_EQ(controls.Caption(StatusRow::Install), L"...");
    EXPECT_EQ(controls.Colour(StatusRow::Install), colour::White);
    ExpectIdleAndMirrored();
}

TEST_F(CommandsTest, FailedRegistrationIsNotShownAsSuccess) {
    invoker.results = {RegResult::Unregistered, RegResult::EntryFailed};
    commands.cmdRegister_Click();
    EXPECT_EQ(controls.Caption(StatusRow::Install), L"Failed!");
    EXPECT_EQ(controls.Colour(StatusRow::Install), colour::Red);
    ExpectIdleAndMirrored();
}

TEST_F(CommandsTest, MissingShippedCopyLeavesTheInstalledOneAlone) {
    files.files.erase(Source);
    controls.shadows = {L"old", L"old", L"old"};
    commands.cmdRegister_Click();

    EXPECT_EQ(log, Concat({DisableButtons,
                           ResetRows,
                           {"shadow 1 ...", "colour 2 red", "caption 2 Not a valid path",
                            "shadow 2 Not a valid path", "shadow 3 ..."},
                           EnableButtons}));
    EXPECT_EQ(files.files.count(Installed), 1u);
    EXPECT_EQ(controls.Caption(StatusRow::Uninstall), L"...");
    ExpectIdleAndMirrored();
}

TEST_F(CommandsTest, RefusedPreparationStillReEnablesTheButtons) {
    controls.failing = {"caption 2 ..."};
    commands.cmdRegister_Click();
    EXPECT_TRUE(controls.AllButtonsEnabled());
    EXPECT_FALSE(Logged("delete C:\\WINDOWS\\SYSTEM\\Quorvexv1.4.dll"));
    commands.cmdUninstall_Click();
    EXPECT_TRUE(controls.AllButtonsEnabled());
    EXPECT_FALSE(Logged("delete C:\\WINDOWS\\SYSTEM\\Quorvexv1.4.dll"));
}

TEST(TrimSpacesTest, RemovesOnlyLeadingAndTrailingSpaces) {
    EXPECT_EQ(TrimSpaces(L"  a b  "), L"a b");
    EXPECT_EQ(TrimSpaces(L"    "), L"");
    EXPECT_EQ(TrimSpaces(L""), L"");
    EXPECT_EQ(TrimSpaces(L"\ta\t"), L"\ta\t");
    EXPECT_EQ(TrimSpaces(L" \xA0x\xA0 "), L"\xA0x\xA0");
}

}  // namespace
}  // namespace quorvex
