// The real window in this process, under Wine and a virtual display.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Win32Kernel.h"
#include "tests/support/LabelBoxes.h"
#include "tests/support/PixelImage.h"
#include "tests/wine/WineSupport.h"
#include "ui/Installer.h"
#include "ui/ResourceIds.h"

namespace quorvex {
namespace {

using layout::IndexOf;
using testing::FixturePath;
using testing::TempDir;

using testing::PixelBox;
using testing::PixelImage;
using testing::TwipsBox;
namespace boxes = testing::boxes;

// The client area as the window renders it, through PrintWindow.
PixelImage CaptureClient(HWND window) {
    RECT client{};
    GetClientRect(window, &client);
    HDC screen = GetDC(nullptr);
    const UniqueGdi<HBITMAP> bitmap(CreateCompatibleBitmap(screen, client.right, client.bottom));
    HDC dc = CreateCompatibleDC(screen);
    const HGDIOBJ previous = SelectObject(dc, bitmap.get());
    PrintWindow(window, dc, PW_CLIENTONLY);
    SelectObject(dc, previous);
    DeleteDC(dc);
    ReleaseDC(nullptr, screen);
    return PixelImage::Of(bitmap.get());
}

PixelImage BackgroundPicture() {
    const UniqueGdi<HBITMAP> picture(
        static_cast<HBITMAP>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDB_BACKGROUND),
                                        IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION)));
    return PixelImage::Of(picture.get());
}

class MainWindowTest : public ::testing::Test {
  protected:
    MainWindowTest() : files(appDir.Path()) {}

    void SetUp() override { ASSERT_NE(window().Handle(), nullptr); }

    MainWindow& window() { return installer.Window(); }
    HWND Control(const wchar_t* name) { return window().ControlWindow(IndexOf(name)); }
    void Pump() {
        MSG message{};
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE) != FALSE) {
            if (!window().HandleDialogKey(message)) {
                TranslateMessage(&message);
                DispatchMessageW(&message);
            }
        }
    }
    void Key(UINT key, bool shift = false) {
        BYTE keys[256]{};
        GetKeyboardState(keys);
        keys[VK_SHIFT] = shift ? 0x80 : 0;
        SetKeyboardState(keys);
        PostMessageW(GetFocus(), WM_KEYDOWN, key, 1);
        PostMessageW(GetFocus(), WM_KEYUP, key, 0xC0000001);
        Pump();
        keys[VK_SHIFT] = 0;
        SetKeyboardState(keys);
    }
    void SetFolder(const std::wstring& folder) {
        SetWindowTextW(Control(L"FolderText"), folder.c_str());
    }
    std::wstring Status(StatusRow row) { return window().StatusCaption(row); }

    TempDir appDir;
    TempDir destDir;
    testing::FilesWithAppDirectory files;
    Win32Kernel kernel;
    Installer installer{GetModuleHandleW(nullptr), 96, kernel, files};
};

TEST_F(MainWindowTest, FrameAndControlsSitOnTheirPixelsAt96Dpi) {
    HWND main = window().Handle();
    RECT client{};
    GetClientRect(main, &client);
    EXPECT_EQ(client.right, 312);
    EXPECT_EQ(client.bottom, 358);

    const std::pair<const wchar_t*, RECT> boxes[] = {{L"FolderText", {8, 128, 305, 147}},
                                                     {L"cmdRegister", {8, 160, 305, 177}},
                                                     {L"cmdUninstall", {8, 184, 305, 201}},
                                                     {L"ExitCmd", {8, 328, 305, 345}}};
    for (const auto& [name, expected] : boxes) {
        RECT box{};
        GetWindowRect(Control(name), &box);
        MapWindowPoints(nullptr, main, reinterpret_cast<POINT*>(&box), 2);
        EXPECT_TRUE(EqualRect(&box, &expected)) << name;
    }

    wchar_t title[64]{};
    GetWindowTextW(main, title, 64);
    EXPECT_STREQ(title, L"Quorvex v1.4 Install");
    const LONG_PTR style = GetWindowLongPtrW(main, GWL_STYLE);
    EXPECT_TRUE((style & WS_SYSMENU) != 0 && (style & WS_CAPTION) == WS_CAPTION);
    EXPECT_EQ(style & (WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX), 0);
    // Owned by a hidden window, so it has no task-bar button of its own.
    HWND owner = GetWindow(main, GW_OWNER);
    ASSERT_NE(owner, nullptr);
    EXPECT_FALSE(IsWindowVisible(owner));
    EXPECT_EQ(GetWindowLongPtrW(main, GWL_EXSTYLE) & WS_EX_APPWINDOW, 0);
    EXPECT_NE(SendMessageW(main, WM_GETICON, ICON_BIG, 0), 0);
    EXPECT_GE(SendMessageW(Control(L"FolderText"), EM_GETLIMITTEXT, 0, 0), 0x7FFFFFFE);

    window().Show(SW_SHOWNORMAL);
    RECT frame{};
    GetWindowRect(main, &frame);
    EXPECT_NEAR((frame.left + frame.right) / 2, GetSystemMetrics(SM_CXSCREEN) / 2, 1);
    EXPECT_NEAR((frame.top + frame.bottom) / 2, GetSystemMetrics(SM_CYSCREEN) / 2, 1);
}

TEST_F(MainWindowTest, TabOrderAndInitialFocus) {
    window().Show(SW_SHOWNORMAL);
    Pump();
    ASSERT_EQ(GetFocus(), Control(L"cmdUninstall"));
    const wchar_t* forward[] = {L"ExitCmd", L"cmdRegister", L"FolderText", L"cmdUninstall"};
    for (const wchar_t* next : forward) {
        Key(VK_TAB);
        EXPECT_EQ(GetFocus(), Control(next)) << next;
    }
    const wchar_t* backward[] = {L"FolderText", L"cmdRegister", L"ExitCmd", L"cmdUninstall"};
    for (const wchar_t* next : backward) {
        Key(VK_TAB, true);
        EXPECT_EQ(GetFocus(), Control(next)) << next;
    }
}

TEST_F(MainWindowTest, KeysPressOnlyTheFocusedButton) {
    int registerClicks = 0;
    int uninstallClicks = 0;
    window().OnClick(CommandButton::Register, [&] { ++registerClicks; });
    window().OnClick(CommandButton::Uninstall, [&] { ++uninstallClicks; });
    window().Show(SW_SHOWNORMAL);
    Pump();

    Key(VK_ESCAPE);
    Key(VK_SPACE);
    EXPECT_EQ(uninstallClicks, 1);
    Key(VK_RETURN);
    EXPECT_EQ(uninstallClicks, 2);

    SetFocus(Control(L"FolderText"));
    Key(VK_RETURN);
    Key(VK_ESCAPE);
    EXPECT_EQ(registerClicks + uninstallClicks, 2);
    EXPECT_TRUE(IsWindow(window().Handle()));
}

TEST_F(MainWindowTest, SpaceRunsTheUninstallCommandFromTheStart) {
    ASSERT_TRUE(CopyFileW(FixturePath(L"fixture_both_ok").c_str(),
                          (destDir / L"Quorvexv1.4.dll").c_str(), FALSE));
    SetFolder(destDir.Path());
    window().Show(SW_SHOWNORMAL);
    Pump();
    Key(VK_SPACE);
    EXPECT_EQ(Status(StatusRow::Uninstall), L"Sucessful");
    EXPECT_EQ(Status(StatusRow::Copy), L"N/A");
    EXPECT_FALSE(testing::Exists(destDir / L"Quorvexv1.4.dll"));
    // The keyboard user carries on from the same button.
    EXPECT_EQ(GetFocus(), Control(L"cmdUninstall"));
}

TEST_F(MainWindowTest, ButtonsRunTheirCommands) {
    ASSERT_TRUE(CopyFileW(FixturePath(L"fixture_both_ok").c_str(),
                          (appDir / L"Quorvexv1.4.dll").c_str(), FALSE));
    SetFolder(destDir.Path());
    window().Show(SW_SHOWNORMAL);

    SendMessageW(Control(L"cmdRegister"), BM_CLICK, 0, 0);
    EXPECT_EQ(Status(StatusRow::Uninstall), L"No previous version.");
    EXPECT_EQ(Status(StatusRow::Copy), L"Sucessful");
    EXPECT_EQ(Status(StatusRow::Install), L"Sucessful");
    EXPECT_TRUE(testing::Exists(destDir / L"Quorvexv1.4.dll"));
    for (const wchar_t* button : {L"cmdRegister", L"cmdUninstall", L"ExitCmd"}) {
        EXPECT_TRUE(IsWindowEnabled(Control(button))) << button;
    }

    SendMessageW(Control(L"cmdUninstall"), BM_CLICK, 0, 0);
    EXPECT_EQ(Status(StatusRow::Uninstall), L"Sucessful");
    EXPECT_EQ(Status(StatusRow::Install), L"N/A");
    EXPECT_FALSE(testing::Exists(destDir / L"Quorvexv1.4.dll"));

    bool closed = false;
    window().OnClosed([&] { closed = true; });
    SendMessageW(Control(L"ExitCmd"), BM_CLICK, 0, 0);
    EXPECT_TRUE(closed);
    EXPECT_EQ(window().Handle(), nullptr);
}

TEST_F(MainWindowTest, CloseBoxEndsTheProgram) {
    bool closed = false;
    window().OnClosed([&] { closed = true; });
    window().Show(SW_SHOWNORMAL);
    SendMessageW(window().Handle(), WM_SYSCOMMAND, SC_CLOSE, 0);
    Pump();
    EXPECT_TRUE(closed);
}

// What the window draws: every text in its colour inside its box, with a
// grey shadow one pixel right and below where it has one; white lines; the
// picture underneath. Text pixels are those that differ from the picture.
TEST_F(MainWindowTest, RendersTextsLinesAndPicture) {
    ASSERT_TRUE(CopyFileW(FixturePath(L"fixture_failing").c_str(),
                          (appDir / L"Quorvexv1.4.dll").c_str(), FALSE));
    SetFolder(destDir.Path());
    window().Show(SW_SHOWNORMAL);
    SendMessageW(Control(L"cmdRegister"), BM_CLICK, 0, 0);
    ASSERT_EQ(Status(StatusRow::Install), L"Failed!");

    const PixelImage shot = CaptureClient(window().Handle());
    ASSERT_EQ(shot.width, 312);
    shot.SaveBmp(testing::BuildDirectory() + L"\\main-window-after-install.bmp");
    const PixelImage picture = BackgroundPicture();
    ASSERT_EQ(picture.width, 312);
    ASSERT_EQ(picture.height, 358);
    const auto shows = [&](int x, int y, PackedColour colour) {
        return shot.At(x, y) == colour && picture.At(x, y) != colour;
    };

    struct Text {
        const char* name;
        TwipsBox box;
        PackedColour colour;
        bool shadowed;
    };
    const Text texts[] = {
        {"warning", boxes::Label1, colour::Red, false},
        {"what it does", boxes::Label2, colour::White, true},
        {"path prompt", boxes::Label3, colour::White, true},
        {"Status of Install...", boxes::Label4, colour::White, true},
        {"UnInstall Previous Version...", boxes::Label5, colour::White, true},
        {"Copy DLL to System Folder...", boxes::Label6, colour::White, true},
        {"Install Current Version...", boxes::Label7, colour::White, true},
        {"uninstall status", boxes::UnRegLabel, colour::Blue, true},
        {"copy status", boxes::CopyLabel, colour::Green, true},
        {"install status", boxes::RegLabel, colour::Red, true},
    };
    for (const Text& text : texts) {
        SCOPED_TRACE(text.name);
        const RECT box = PixelBox(text.box);
        int shown = 0;
        int shadowed = 0;
        int unshadowed = 0;
        for (int y = box.top; y < box.bottom; ++y) {
            for (int x = box.left; x < box.right; ++x) {
                if (!shows(x, y, text.colour)) {
                    continue;
                }
                ++shown;
                if (shot.At(x + 1, y + 1) != text.colour) {
                    (shows(x + 1, y + 1, colour::ShadowGrey) ? shadowed : unshadowed) += 1;
                }
            }
        }
        EXPECT_GT(shown, 20);
        if (text.shadowed) {
            EXPECT_GT(shadowed, 10);
            EXPECT_EQ(unshadowed, 0);
        } else {
            EXPECT_EQ(shadowed, 0);
        }
    }
    // Blue and green appear in their own rows only.
    const RECT client{0, 0, 312, 358};
    EXPECT_EQ(shot.Count(colour::Blue, client),
              shot.Count(colour::Blue, PixelBox(boxes::UnRegLabel)));
    EXPECT_EQ(shot.Count(colour::Green, client),
              shot.Count(colour::Green, PixelBox(boxes::CopyLabel)));

    for (int y : {8, 48, 88, 152, 208, 240, 320, 352}) {
        EXPECT_EQ(shot.Count(colour::White, RECT{8, y, 304, y + 1}), 296) << "line at " << y;
    }

    int differing = 0;
    for (int y = 202; y < 208; ++y) {  // between cmdUninstall and Line4
        for (int x = 0; x < 312; ++x) {
            differing += shot.At(x, y) != picture.At(x, y) ? 1 : 0;
        }
    }
    EXPECT_EQ(differing, 0);
}

TEST_F(MainWindowTest, LongStatusWrapsAndStaysInsideItsBox) {
    window().SetStatusColour(StatusRow::Uninstall, colour::Blue);
    window().SetStatusCaption(StatusRow::Uninstall,
                              L"No previous version. No previous version. No previous version.");
    const PixelImage shot = CaptureClient(window().Handle());
    const RECT box = PixelBox(boxes::UnRegLabel);
    EXPECT_GT(shot.Count(colour::Blue, box), 50);
    const RECT band{0, box.top, 312, box.bottom};
    EXPECT_EQ(shot.Count(colour::Blue, RECT{0, 0, 312, 358}), shot.Count(colour::Blue, band));
    // The shadow is cut at its own box's bottom as well.
    const RECT below{box.left, box.bottom + 1, box.right + 1, box.bottom + 8};
    EXPECT_EQ(shot.Count(colour::ShadowGrey, below), 0);
}

// Right-aligned "..." keeps all three dots, even where the font's last
// glyph reaches past the box.
TEST_F(MainWindowTest, IdleStatusShowsThreeDots) {
    const PixelImage shot = CaptureClient(window().Handle());
    for (const TwipsBox& status : {boxes::UnRegLabel, boxes::CopyLabel, boxes::RegLabel}) {
        const RECT box = PixelBox(status);
        int dots = 0;
        bool inDot = false;
        for (int x = box.left; x < 312; ++x) {
            const bool white = shot.Count(colour::White, RECT{x, box.top, x + 1, box.bottom}) > 0;
            dots += white && !inDot ? 1 : 0;
            inDot = white;
        }
        EXPECT_EQ(dots, 3) << "status text at y " << box.top;
    }
}

TEST(MainWindowDpiTest, AtOtherDpisControlsScaleAndThePictureDoesNot) {
    MainWindow window(GetModuleHandleW(nullptr), 144);
    RECT client{};
    GetClientRect(window.Handle(), &client);
    EXPECT_EQ(client.right, 468);
    EXPECT_EQ(client.bottom, 537);
    RECT button{};
    GetWindowRect(window.ControlWindow(IndexOf(L"ExitCmd")), &button);
    MapWindowPoints(nullptr, window.Handle(), reinterpret_cast<POINT*>(&button), 2);
    EXPECT_EQ(button.top, 492);

    const PixelImage shot = CaptureClient(window.Handle());
    const PixelImage picture = BackgroundPicture();
    int differing = 0;
    for (int y = 183; y < 191; ++y) {  // between Label3 and FolderText
        for (int x = 0; x < 312; ++x) {
            differing += shot.At(x, y) != picture.At(x, y) ? 1 : 0;
        }
    }
    EXPECT_EQ(differing, 0);
    // Right of every control (and of any glyph reaching past its box).
    EXPECT_EQ(shot.Count(0, RECT{463, 0, 468, 537}), 5 * 537);
    EXPECT_EQ(shot.Count(0, RECT{0, 529, 468, 537}), 468 * 8);
    EXPECT_EQ(shot.Count(colour::White, RECT{12, 528, 456, 529}), 444);
}

}  // namespace
}  // namespace quorvex
