// Bad folder texts, typed into the real window. The destination holds an
// installed copy (fixture_both_false) and the application folder ships
// fixture_both_ok, so a real copy is told apart from none by its bytes.
#include <string>
#include <utility>
#include <vector>

#include "tests/faults/FaultHarness.h"

namespace quorvex::faults {
namespace {

using enum Command;

class FolderTextFaults : public FaultTest {
  protected:
    void SetUp() override {
        FaultTest::SetUp();
        if (!HasFatalFailure()) {
            Reinstall();
        }
    }
    void Reinstall() { Place(L"fixture_both_false", installed); }
};

TEST_F(FolderTextFaults, EmptyTextMeansTheRootOfTheCurrentDrive) {
    if (!ClaimDriveRootLibrary()) {
        GTEST_SKIP() << "C:\\Quorvexv1.4.dll is there and was not made by these tests";
    }
    Expect(Run("empty text: install (into C:\\)", Install, L""));
    Expect(Run("empty text: uninstall (from C:\\)", Uninstall, L""));
}

// Trimmed away, the blanks leave the empty text: the root of the current drive.
TEST_F(FolderTextFaults, OnlyBlanks) {
    if (!ClaimDriveRootLibrary()) {
        GTEST_SKIP() << "C:\\Quorvexv1.4.dll is there and was not made by these tests";
    }
    Expect(Run("only blanks: install, C:\\ empty", Install, L"   "));
    Place(L"fixture_both_false", DriveRootLibrary);
    Expect(Run("only blanks: uninstall, a copy in C:\\", Uninstall, L"   "));
    Expect(Run("only blanks: install, a copy in C:\\", Install, L"   "));
}

TEST_F(FolderTextFaults, BlanksAroundARealFolder) {
    Expect(Run("leading blanks: install", Install, L"  " + dest));
    Reinstall();
    Expect(Run("leading blanks: uninstall", Uninstall, L"  " + dest));
    Reinstall();
    Expect(Run("trailing blanks: install", Install, dest + L"  "));
    Reinstall();
    Expect(Run("trailing blanks: uninstall", Uninstall, dest + L"  "));
    Reinstall();
    Expect(Run("leading and trailing blanks: install", Install, L" " + dest + L" "));
}

TEST_F(FolderTextFaults, TrailingBackslash) {
    Expect(Run("trailing backslash: install", Install, dest + L"\\"));
    Expect(Run("trailing backslash: uninstall", Uninstall, dest + L"\\"));
}

// The current directory is the test's own folder, which holds "dest".
TEST_F(FolderTextFaults, RelativePaths) {
    Expect(Run("relative path: install", Install, L"dest"));
    Expect(Run("relative path: uninstall", Uninstall, L".\\dest"));
    Reinstall();
    Expect(Run("drive-relative path: install", Install, L"C:dest"));
}

// The folder the program runs from, in each spelling that names it, and a
// hard link to the shipped copy: the installed and the shipped copy are one
// file. It is registered where it is; nothing is deleted.
TEST_F(FolderTextFaults, TheProgramsOwnFolder) {
    std::wstring capitals = app;
    CharUpperBuffW(capitals.data(), static_cast<DWORD>(capitals.size()));
    wchar_t shortName[MAX_PATH + 1] = L"";
    GetShortPathNameW(app.c_str(), shortName, MAX_PATH + 1);
    std::vector<std::pair<std::string, std::wstring>> spellings = {
        {"as it is", app},
        {"with a trailing backslash", app + L"\\"},
        {"ending in \\.", app + L"\\."},
        {"in capitals", capitals}};
    if (*shortName != L'\0' && !SamePath(shortName, app)) {
        spellings.emplace_back("by its 8.3 name", shortName);
    }
    for (const auto& [name, text] : spellings) {
        Ship(L"fixture_both_ok");
        Expect(Run("the program's own folder, " + name + ": install", Install, text));
    }

    const auto links = [](const std::wstring& path) -> DWORD {
        const UniqueHandle file(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                            nullptr, OPEN_EXISTING, 0, nullptr));
        BY_HANDLE_FILE_INFORMATION information{};
        return file.get() != INVALID_HANDLE_VALUE &&
                       GetFileInformationByHandle(file.get(), &information) != FALSE
                   ? information.nNumberOfLinks
                   : 0;
    };
    ASSERT_TRUE(DeleteFileW(installed.c_str()));
    ASSERT_TRUE(CreateHardLinkW(installed.c_str(), shipped.c_str(), nullptr));
    ASSERT_EQ(links(shipped), 2u);
    Expect(Run("a hard link to the shipped copy: install", Install, dest));
    EXPECT_EQ(links(shipped), 2u) << "the link was deleted and a new copy made in its place";
}

TEST_F(FolderTextFaults, FolderThatDoesNotExist) {
    Expect(Run("missing folder: install", Install, temp / L"no such folder"));
    Expect(Run("missing folder: uninstall", Uninstall, temp / L"no such folder"));
}

TEST_F(FolderTextFaults, PathThroughAFile) {
    WriteBytes(temp / L"notes.txt", "The user's notes.");
    Expect(Run("path through a file: install", Install, temp / L"notes.txt"));
    Expect(Run("path through a file: uninstall", Uninstall, temp / L"notes.txt"));
}

TEST_F(FolderTextFaults, FortyThousandCharacters) {
    std::wstring text = temp.Path() + L"\\";
    text.append(40000 - text.size(), L'x');
    ASSERT_EQ(text.size(), 40000u);
    Expect(Run("40,000 characters: install", Install, text));
    Expect(Run("40,000 characters: uninstall", Uninstall, text));
}

// A real folder whose path is longer than MAX_PATH, typed plainly and in the
// extended form.
TEST_F(FolderTextFaults, RealPathLongerThanMaxPath) {
    std::wstring deep = L"\\\\?\\" + temp.Path();
    for (wchar_t name = L'a'; name < L'g'; ++name) {
        deep += L"\\" + std::wstring(50, name);
        MakeFolder(deep);
    }
    const std::wstring plain = deep.substr(4);
    ASSERT_GT(plain.size() + std::wstring(LibraryName).size() + 1, std::size_t{MAX_PATH});
    Sentinel(deep);

    // Past MAX_PATH the ANSI loader reaches nothing: the copy is reported as
    // no previous version and deleted, and the new one cannot be registered.
    Place(L"fixture_both_false", deep + L"\\Quorvexv1.4.dll");
    Expect(Run("longer than MAX_PATH: install", Install, plain));
    Place(L"fixture_both_false", deep + L"\\Quorvexv1.4.dll");
    Expect(Run("longer than MAX_PATH: uninstall", Uninstall, plain));
    Place(L"fixture_both_false", deep + L"\\Quorvexv1.4.dll");
    Expect(Run("longer than MAX_PATH, \\\\?\\ form: install", Install, deep));
}

TEST_F(FolderTextFaults, ExtendedAndDeviceForms) {
    Expect(Run("\\\\?\\ form: install", Install, L"\\\\?\\" + dest));
    Expect(Run("\\\\?\\ form: uninstall", Uninstall, L"\\\\?\\" + dest));
    Reinstall();
    Expect(Run("\\\\.\\ form: install", Install, L"\\\\.\\" + dest));
    Expect(Run("\\\\.\\ form: uninstall", Uninstall, L"\\\\.\\" + dest));
}

// The same folder through the administrative share. Wine has no such share,
// so there these name a missing folder, and the rows' names say so; on
// Windows they reach "dest".
TEST_F(FolderTextFaults, UncForms) {
    const auto here = [](const std::wstring& folder) {
        return FolderExists(folder) ? std::string() : std::string(", a missing folder here");
    };
    const std::wstring share = L"\\\\localhost\\C$" + dest.substr(2);
    Expect(Run("UNC \\\\localhost\\C$" + here(share) + ": install", Install, share));
    Expect(Run("UNC \\\\localhost\\C$" + here(share) + ": uninstall", Uninstall, share));
    Reinstall();
    const std::wstring extended = L"\\\\?\\UNC\\localhost\\C$" + dest.substr(2);
    Expect(Run("UNC \\\\?\\UNC\\localhost\\C$" + here(extended) + ": install", Install, extended));
    Expect(Run("UNC that does not resolve: install", Install,
               L"\\\\no-such-host.invalid\\share\\dest"));
}

// As the whole text they are relative names in the current directory; as a
// component they name a real folder made through an extended path.
TEST_F(FolderTextFaults, ReservedDeviceNames) {
    for (const std::wstring name : {L"CON", L"NUL", L"COM1"}) {
        const std::string shown(name.begin(), name.end());
        ExpectInstallThenUninstall("device name " + shown + " as the text", name);
        FolderWithInstalledCopy(L"\\\\?\\" + temp.Path() + L"\\" + name);
        ExpectInstallThenUninstall("device name " + shown + " as a folder",
                                   temp.Path() + L"\\" + name);
    }
}

// A folder "a<c>b" next to a folder "a" holding "b\Quorvexv1.4.dll", a
// library that records its own load: reading <c> as a separator would reach it.
class CharacterOutsideAnsi : public FolderTextFaults {
  protected:
    std::wstring FolderWith(wchar_t character) {
        MakeFolder(temp / L"a");
        MakeFolder(temp / L"a\\b");
        Place(L"fault_decoy", temp / L"a\\b\\Quorvexv1.4.dll");
        const std::wstring folder = temp / (std::wstring(L"a") + character + L"b");
        FolderWithInstalledCopy(folder);
        return folder;
    }
};

TEST_F(CharacterOutsideAnsi, YenSign) {
    const std::wstring folder = FolderWith(L'\u00A5');
    ExpectInstallThenUninstall("U+00A5 in a folder name", folder);
}

TEST_F(CharacterOutsideAnsi, FullwidthReverseSolidus) {
    const std::wstring folder = FolderWith(L'\uFF3C');
    // Loaded through the wide loader as the folder it names; never through a
    // best-fit backslash (the decoy in a\b stays unloaded).
    Expect(Run("U+FF3C in a folder name: install", Install, folder));
    Place(L"fixture_both_false", folder + L"\\Quorvexv1.4.dll");
    Expect(Run("U+FF3C in a folder name: uninstall", Uninstall, folder));
}

// A name the ANSI code page cannot hold: the copy is unregistered before it
// is deleted, and the new one registered.
TEST_F(CharacterOutsideAnsi, GreekFolderName) {
    const std::wstring folder = temp / L"\u03A6\u03AC\u03BA\u03B5\u03BB\u03BF\u03C2";
    FolderWithInstalledCopy(folder);
    ExpectInstallThenUninstall("a Greek folder name", folder);
}

// Folders whose names end in a dot or a space exist (made through extended
// paths); a plain path may not reach them.
TEST_F(FolderTextFaults, FolderWithATrailingDotOrSpace) {
    for (const wchar_t* last : {L".", L" "}) {
        const std::string shown = *last == L'.' ? "dot" : "space";
        FolderWithInstalledCopy(L"\\\\?\\" + temp.Path() + L"\\odd" + last);
        ExpectInstallThenUninstall("folder with a trailing " + shown,
                                   temp.Path() + L"\\odd" + last);
    }
}

}  // namespace
}  // namespace quorvex::faults
