// The real program, started as its own process beside the sample library,
// driven from outside against the real registry and real files.
#include <gtest/gtest.h>

#include <windows.h>

#include <oleacc.h>

#include <algorithm>
#include <iterator>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "sample/QuorvexSample.h"
#include "tests/e2e/Driver.h"
#include "tests/support/LabelBoxes.h"
#include "tests/wine/WineSupport.h"

namespace quorvex {
namespace {

using e2e::Driver;
using testing::BuildDirectory;
using testing::Exists;
using testing::TempDir;

const std::wstring InstallButton = L"Install and Register DLL";
const std::wstring UninstallButton = L"Uninstall DLL without Install";

// Boxes at the 96 DPI of the test display.
using testing::PixelBox;
namespace boxes = testing::boxes;

// The server the class is registered with, in this process's registry view
// or, with KEY_WOW64_32KEY or KEY_WOW64_64KEY, in the one named.
std::optional<std::wstring> RegisteredServer(REGSAM view = 0) {
    const std::wstring key = std::wstring(sample::kSampleClassKey) + L"\\InprocServer32";
    HKEY opened = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_QUERY_VALUE | view, &opened) !=
        ERROR_SUCCESS) {
        return std::nullopt;
    }
    wchar_t value[1024]{};
    DWORD size = sizeof value;
    const LSTATUS status =
        RegGetValueW(opened, nullptr, nullptr, RRF_RT_REG_SZ, nullptr, value, &size);
    RegCloseKey(opened);
    return status == ERROR_SUCCESS ? std::optional<std::wstring>(value) : std::nullopt;
}

// A 32-bit program's registration lands in the 32-bit registry view, which
// 64-bit programs reach only by naming it; and the other way round.
constexpr REGSAM OwnView = sizeof(void*) == 4 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
constexpr REGSAM OtherView = sizeof(void*) == 4 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;

// Creates the sample class through COM in a process of its own, so that this
// one never holds the installed library loaded.
DWORD CreateSampleInAnotherProcess() {
    const e2e::StartedProcess started =
        e2e::StartProcess(BuildDirectory() + L"\\quorvex_driver.exe", L"create-sample");
    if (!started.process) {
        return 0xFFFFFFFF;
    }
    DWORD exitCode = 0xFFFFFFFF;
    if (WaitForSingleObject(started.process.get(), 30000) == WAIT_OBJECT_0) {
        GetExitCodeProcess(started.process.get(), &exitCode);
    }
    return exitCode;
}

// The three status texts as assistive technology in another process reads
// them (the client area's children 9, 11 and 13, in reading order); or the
// error that kept it from reading them.
struct ReadFromOutside {
    HRESULT status = E_FAIL;
    std::vector<std::wstring> texts;
};

ReadFromOutside StatusTextsReadFromOutside(HWND window) {
    ReadFromOutside read;
    const HRESULT apartment = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    IAccessible* client = nullptr;
    read.status = AccessibleObjectFromWindow(window, static_cast<DWORD>(OBJID_CLIENT),
                                             IID_IAccessible, reinterpret_cast<void**>(&client));
    if (SUCCEEDED(read.status)) {
        for (LONG child : {9, 11, 13}) {
            VARIANT id{};
            id.vt = VT_I4;
            id.lVal = child;
            BSTR name = nullptr;
            read.texts.emplace_back(
                SUCCEEDED(client->get_accName(id, &name)) && name != nullptr ? name : L"(no name)");
            SysFreeString(name);
        }
        client->Release();
    }
    if (SUCCEEDED(apartment)) {
        CoUninitialize();
    }
    return read;
}

class EndToEndTest : public ::testing::Test {
  protected:
    void SetUp() override {
        RegDeleteTreeW(HKEY_CLASSES_ROOT, sample::kSampleClassKey);
        program = Driver::Launch(BuildDirectory() + L"\\QuorvexInstall.exe", e2e::ProgramTitle);
        ASSERT_TRUE(program.has_value()) << "the program's window did not come up";
    }
    void TearDown() override {
        if (program && !program->WaitForExit(0)) {
            program->CloseBox();
            program->WaitForExit(10000);
        }
        RegDeleteTreeW(HKEY_CLASSES_ROOT, sample::kSampleClassKey);
    }

    // Each row's status text shows in the expected colour, and in no other
    // status colour.
    void ExpectRowColours(PackedColour uninstall, PackedColour copy, PackedColour install,
                          const wchar_t* shotName) {
        const std::tuple<const char*, testing::TwipsBox, PackedColour> rows[] = {
            {"uninstall status", boxes::UnRegLabel, uninstall},
            {"copy status", boxes::CopyLabel, copy},
            {"install status", boxes::RegLabel, install}};
        const testing::PixelImage shot = program->CaptureClient([&](const auto& image) {
            return std::all_of(std::begin(rows), std::end(rows), [&](const auto& row) {
                return image.Count(std::get<2>(row), PixelBox(std::get<1>(row))) > 15;
            });
        });
        shot.SaveBmp(BuildDirectory() + L"\\" + shotName + L".bmp");
        ASSERT_EQ(shot.width, 312);
        for (const auto& [name, twips, expected] : rows) {
            const RECT box = PixelBox(twips);
            EXPECT_GT(shot.Count(expected, box), 15) << name;
            // Nothing is left over from the row's earlier text ("..." in white).
            EXPECT_EQ(shot.Count(colour::White, RECT{box.right, box.top, shot.width, box.bottom}),
                      0)
                << name;
            for (PackedColour other : {colour::Blue, colour::Red, colour::Green}) {
                if (other != expected) {
                    EXPECT_EQ(shot.Count(other, box), 0) << name;
                }
            }
        }
    }

    // What the rows show once the window has painted them as expected (or
    // after 5 s, whatever they show then).
    std::vector<std::wstring> Rows(const std::vector<std::wstring>& expected) const {
        const auto read = [](const testing::PixelImage& shot) {
            return std::vector<std::wstring>{Driver::ReadStatus(shot, PixelBox(boxes::UnRegLabel)),
                                             Driver::ReadStatus(shot, PixelBox(boxes::CopyLabel)),
                                             Driver::ReadStatus(shot, PixelBox(boxes::RegLabel))};
        };
        return read(
            program->CaptureClient([&](const auto& shot) { return read(shot) == expected; }));
    }

    TempDir dest;
    std::optional<Driver> program;
};

TEST_F(EndToEndTest, InstallRegistersTheSampleAndUninstallRemovesIt) {
    const std::wstring installed = dest / L"Quorvexv1.4.dll";
    program->Type(dest.Path());
    EXPECT_EQ(program->Text(program->Control(L"Edit")), dest.Path());

    program->Click(InstallButton.c_str());
    EXPECT_EQ(testing::ReadAll(installed),
              testing::ReadAll(BuildDirectory() + L"\\Quorvexv1.4.dll"));
    const std::optional<std::wstring> server = RegisteredServer();
    ASSERT_TRUE(server.has_value()) << "no InprocServer32 key after the install";
    EXPECT_EQ(lstrcmpiW(server->c_str(), installed.c_str()), 0) << *server;
    EXPECT_EQ(RegisteredServer(OwnView), server);
    EXPECT_FALSE(RegisteredServer(OtherView).has_value()) << "registered in the other view";
    EXPECT_EQ(CreateSampleInAnotherProcess(), 0u);
    ExpectRowColours(colour::Blue, colour::Green, colour::Green, L"e2e-after-install");

    // Installed again over itself: the old copy unregisters first.
    program->Click(InstallButton.c_str());
    ExpectRowColours(colour::Green, colour::Green, colour::Green, L"e2e-after-reinstall");

    program->Click(UninstallButton.c_str());
    EXPECT_FALSE(RegisteredServer().has_value());
    EXPECT_FALSE(Exists(installed));
    EXPECT_NE(CreateSampleInAnotherProcess(), 0u);
    ExpectRowColours(colour::Green, colour::Blue, colour::Blue, L"e2e-after-uninstall");

    program->Click(L"Exit Utility");
    EXPECT_TRUE(program->WaitForExit(10000));
}

TEST_F(EndToEndTest, ScreenReaderInAnotherProcessReadsTheOutcome) {
    program->Type(dest.Path());
    program->Click(InstallButton.c_str());
    const ReadFromOutside read = StatusTextsReadFromOutside(program->Window());
    if (sizeof(void*) == 8 && read.status == E_NOINTERFACE) {
        // Seen with Wine 10 here: a 32-bit client reads the 32-bit program,
        // a 64-bit one is refused the interface.
        GTEST_SKIP() << "Wine does not hand IAccessible to a 64-bit client in another process";
    }
    ASSERT_EQ(read.status, S_OK);
    EXPECT_EQ(read.texts,
              (std::vector<std::wstring>{L"No previous version.", L"Sucessful", L"Sucessful"}));
}

TEST_F(EndToEndTest, FolderThatDoesNotExistShowsNotAValidPath) {
    program->Type(dest / L"missing");
    program->Click(InstallButton.c_str());
    EXPECT_FALSE(RegisteredServer().has_value());
    const testing::PixelImage shot = program->CaptureClient([](const auto& image) {
        return image.Count(colour::Red, PixelBox(boxes::CopyLabel)) > 15;
    });
    EXPECT_GT(shot.Count(colour::Blue, PixelBox(boxes::UnRegLabel)), 15);
    EXPECT_GT(shot.Count(colour::Red, PixelBox(boxes::CopyLabel)), 15);
    EXPECT_EQ(shot.Count(colour::Green, PixelBox(boxes::RegLabel)), 0);
    EXPECT_EQ(shot.Count(colour::Red, PixelBox(boxes::RegLabel)), 0);
    // The buttons work again.
    EXPECT_NE(IsWindowEnabled(program->Control(InstallButton.c_str())), FALSE);
}

// A library whose DllMain deadlocks on load (it waits for a thread it has
// started, which waits for the loader's lock) keeps the loader's lock for
// good. The window still answers, later commands end within their limit,
// and Exit ends the program at once.
TEST_F(EndToEndTest, LibraryThatDeadlocksOnLoadLeavesAWindowThatAnswersAndExits) {
    ASSERT_TRUE(CopyFileW((BuildDirectory() + L"\\fixture_deadlock_on_load.dll").c_str(),
                          (dest / L"Quorvexv1.4.dll").c_str(), FALSE));
    const auto timedClick = [&](const std::wstring& button) {
        const double start = e2e::NowMs();
        program->Click(button.c_str());
        return (e2e::NowMs() - start) / 1000;
    };
    program->Type(dest.Path());
    const double first = timedClick(UninstallButton);
    EXPECT_LT(first, 12.0);
    const std::vector<std::wstring> afterFirst{L"Failed!", L"N/A", L"N/A"};
    EXPECT_EQ(Rows(afterFirst), afterFirst);
    DWORD_PTR answer = 0;
    EXPECT_NE(
        SendMessageTimeoutW(program->Window(), WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 1000, &answer), 0)
        << "the window does not answer";

    // The next command's library cannot load while the lock is held: it
    // fails at the limit of each of its two calls, and says so.
    TempDir another;
    program->Type(another.Path());
    const double second = timedClick(InstallButton);
    EXPECT_LT(second, 2 * 12.0);
    const std::vector<std::wstring> afterSecond{L"Failed!", L"Sucessful", L"Failed!"};
    EXPECT_EQ(Rows(afterSecond), afterSecond);

    const double exitStart = e2e::NowMs();
    program->Click(L"Exit Utility");
    const bool exited = program->WaitForExit(5000);
    EXPECT_TRUE(exited) << "Exit Utility did not end the program";
    EXPECT_LT((e2e::NowMs() - exitStart) / 1000, 1.0);
    if (!exited) {
        TerminateProcess(program->Process(), 1);
    }
}

// The first library the program meets adds a vectored handler first in the
// list, then fails its load: every later exception in the process calls into
// its released place, and is answered there from the start. Later commands
// load, run and release their libraries as usual.
TEST_F(EndToEndTest, HandlerLeftByAFirstLoadThatFailed) {
    ASSERT_TRUE(CopyFileW((BuildDirectory() + L"\\fixture_handler_on_load.dll").c_str(),
                          (dest / L"Quorvexv1.4.dll").c_str(), FALSE));
    program->Type(dest.Path());
    program->Click(UninstallButton.c_str());
    const std::vector<std::wstring> refused{L"Failed!", L"N/A", L"N/A"};
    EXPECT_EQ(Rows(refused), refused);
    TempDir another;
    program->Type(another.Path());
    for (const wchar_t* previous : {L"No previous version.", L"Sucessful", L"Sucessful"}) {
        program->Click(InstallButton.c_str());
        const std::vector<std::wstring> installed{previous, L"Sucessful", L"Sucessful"};
        EXPECT_EQ(Rows(installed), installed);
    }
}

// COM's main apartment is a thread of the program's own, also once the shown
// window's thread has entered COM itself (the input method, a screen
// reader): a class registered without a threading model is never made on
// the window's thread, where the library's code would run.
TEST_F(EndToEndTest, ClassOfTheMainApartmentIsNotMadeOnTheWindowsThread) {
    ASSERT_TRUE(CopyFileW((BuildDirectory() + L"\\fixture_main_apartment.dll").c_str(),
                          (dest / L"Quorvexv1.4.dll").c_str(), FALSE));
    DWORD_PTR answer = 0;
    SendMessageTimeoutW(program->Window(), WM_GETOBJECT, 0, static_cast<LPARAM>(OBJID_CLIENT),
                        SMTO_ABORTIFHUNG, 5000, &answer);
    program->Type(dest.Path());
    program->Click(InstallButton.c_str());
    // COM keeps the unregistered copy loaded: it stays, and no copy is made.
    const std::vector<std::wstring> rows{L"Sucessful", L"Not a valid path", L"..."};
    EXPECT_EQ(Rows(rows), rows);
}

TEST_F(EndToEndTest, CloseBoxEndsTheProgram) {
    program->CloseBox();
    EXPECT_TRUE(program->WaitForExit(10000));
}

}  // namespace
}  // namespace quorvex
