// The fault suite's harness. One case is one command run through the real
// window on real files; it is judged afterwards from what is on disk and
// what the fixture libraries recorded, never from the status table itself.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>

#include <array>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Handles.h"
#include "platform/Win32Kernel.h"
#include "tests/wine/WineSupport.h"
#include "ui/Installer.h"

namespace quorvex::faults {

using Bytes = std::vector<char>;

enum class Command { Install, Uninstall };

inline constexpr std::wstring_view LibraryName = L"Quorvexv1.4.dll";
inline constexpr wchar_t DriveRootLibrary[] = L"C:\\Quorvexv1.4.dll";

struct FindCloser {
    using pointer = HANDLE;
    void operator()(HANDLE search) const noexcept {
        if (search != INVALID_HANDLE_VALUE) {
            FindClose(search);
        }
    }
};
// A FindFirstFileW search; INVALID_HANDLE_VALUE means none.
using UniqueFind = std::unique_ptr<void, FindCloser>;

// The bytes of a file opened through the Win32 API with exactly this
// string; nothing when it does not open as a file.
std::optional<Bytes> ReadFileBytes(const std::wstring& path);
std::wstring FullPath(const std::wstring& path);
// The place the Win32 API resolves `path` to, as an extended-length path
// that no further normalisation or length limit applies to.
std::wstring ExtendedPath(const std::wstring& path);
// Leading and trailing U+0020, the blanks the commands drop.
std::wstring TrimBlanks(std::wstring_view text);
// Removes a folder and everything in it, odd names included.
void RemoveTree(const std::wstring& folder);
bool SamePath(const std::wstring& a, const std::wstring& b);

// A library the build made, beside the test executable.
std::wstring BuildFile(const std::wstring& name);
std::optional<Bytes> FixtureBytes(const std::wstring& fixture);
bool IsTestLibrary(const Bytes& bytes);

// What is at a path as the loader sees it, taken before a command runs.
struct LibraryProbe {
    bool loadable = false;
    bool exportsUnregister = false;
    bool exportsRegister = false;
    std::optional<Bytes> bytes;
};
LibraryProbe ProbeLibrary(const std::wstring& path);

// Every file (with its bytes) and folder under some roots, by extended path.
using Tree = std::map<std::wstring, std::optional<Bytes>>;
void AddTree(Tree& tree, const std::wstring& root);

// Where this platform is not Windows, found out on a scratch file in
// `folder`: Wine run as root lets CopyFileW overwrite a read-only file.
bool OverwritesReadOnlyFile(const std::wstring& folder);
bool FolderExists(const std::wstring& path);

// Every thread of the process, and those of them not of the system's thread pool.
std::vector<DWORD> ThreadIds();
int ThreadCount();
// The process's handle count, or nothing when GetProcessHandleCount does not
// follow an opened handle (Wine reports 0); `ProbedHandleCount` then counts
// live handle values one by one.
std::optional<unsigned> ReportedHandleCount();
unsigned ProbedHandleCount();

// A file held by another program, the fault_holder helper: open sharing
// reading only ("open"), open sharing writing and deletion too
// ("open-share-delete"), or loaded as a library ("load"). Released on
// Release() or destruction.
class HeldFile {
  public:
    HeldFile(const std::wstring& mode, const std::wstring& path);
    ~HeldFile() { Release(); }
    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;

    bool Holding() const { return holding_; }
    void Release();

  private:
    UniqueHandle ready_;
    UniqueHandle release_;
    UniqueHandle process_;
    bool holding_ = false;
};

enum class Check { Buttons, Rows, Kept };

struct Finding {
    Check check;
    std::string text;
};

struct CaseResult {
    std::string name;
    std::array<std::wstring, 3> rows;
    std::array<std::wstring, 3> expected;
    std::vector<Finding> findings;
    double seconds = 0;

    bool Held(Check check) const;
};

// The printed table of every case that ran, one line each.
class CaseTable : public ::testing::Environment {
  public:
    static void Add(const CaseResult& result);
    static void Note(std::string text);
    void TearDown() override;
};

// The real window and the real commands, shared by the tests of a suite:
// under Wine with no window manager, hiding or destroying a shown window
// waits 2 s for the X server. The application folder goes with it.
struct SuiteWindow {
    testing::TempDir appFolder;
    testing::FilesWithAppDirectory files{appFolder.Path()};
    Win32Kernel kernel;
    Installer installer{GetModuleHandleW(nullptr), 96, kernel, files};
};

// Each test gets a fresh temporary folder on C: (the current directory while
// it runs) with a destination folder, the application folder emptied and
// given the shipped copy, sentinel files in both, and the suite's window.
class FaultTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite();
    static void TearDownTestSuite();
    void SetUp() override;
    void TearDown() override;

    void Ship(const std::wstring& fixture) { Place(fixture, shipped); }
    // Copies a built library to `path` (an extended path reaches odd names).
    static void Place(const std::wstring& fixture, const std::wstring& path);
    static void MakeFolder(const std::wstring& path);
    static void WriteBytes(const std::wstring& path, std::string_view text);
    // A file whose bytes no command may change.
    void Sentinel(const std::wstring& folder);
    // A new folder holding a user's file and an installed copy.
    void FolderWithInstalledCopy(const std::wstring& folder);
    // A new watched folder for a copy that stays loaded for the rest of the
    // process, and so cannot be deleted or replaced by a later case.
    std::wstring LoadedCopyFolder(const std::wstring& name) {
        const std::wstring folder = testing::FolderForALoadedCopy(name);
        MakeFolder(folder);
        WatchTree(folder);
        return folder;
    }
    // A file outside the test's folders that only a command aimed at it may change.
    void Watch(const std::wstring& path) { watched_.push_back(path); }
    // A folder outside the test's folder whose files no command may change
    // unless aimed at them.
    void WatchTree(const std::wstring& folder) { watchedTrees_.push_back(folder); }
    // Lets the test use C:\Quorvexv1.4.dll; false when something not made by
    // these tests is there. The file is removed after the test.
    bool ClaimDriveRootLibrary();

    static MainWindow& Window() { return suite_->installer.Window(); }
    void Type(const std::wstring& text);
    void Pump();
    bool ButtonEnabled(CommandButton button);

    // Types the text, clicks the command's button and judges the outcome;
    // `afterCommand` runs before the judging (to let go of a held file).
    CaseResult Run(std::string name, Command command, const std::wstring& folderText,
                   const std::function<void()>& afterCommand = {});
    // Reports every failed check of the case.
    static void Expect(const CaseResult& result);
    // Runs "NAME: install", then "NAME: uninstall", with the same folder text.
    void ExpectInstallThenUninstall(const std::string& name, const std::wstring& folderText);

    // Off for a run of commands that the test reports as one line.
    bool recordInTable_ = true;

    testing::TempDir temp;
    const std::wstring app = suite_->appFolder.Path();
    const std::wstring dest = temp / L"dest";
    const std::wstring shipped = app + L"\\" + std::wstring(LibraryName);
    const std::wstring installed = dest + L"\\" + std::wstring(LibraryName);

  private:
    static std::unique_ptr<SuiteWindow> suite_;
    std::wstring savedDirectory_;
    std::vector<std::wstring> watched_;
    std::vector<std::wstring> watchedTrees_;
    bool claimedDriveRoot_ = false;
    int sentinels_ = 0;
};

}  // namespace quorvex::faults
