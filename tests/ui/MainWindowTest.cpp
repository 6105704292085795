// The real window in this process, under Wine and a virtual display.
#include <gtest/gtest.h>

#include <windows.h>

#include <commctrl.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/Win32Kernel.h"
#include "tests/support/LabelBoxes.h"
#include "tests/support/PixelImage.h"
#include "tests/wine/WineSupport.h"
#include "ui/Accessibility.h"
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

// Each real control's box in the client area and its font's height (the
// client area's picture leaves the controls out).
std::vector<LONG> ControlGeometry(const MainWindow& window) {
    std::vector<LONG> geometry;
    for (std::size_t i = 0; i < layout::ControlCount; ++i) {
        if (HWND control = window.ControlWindow(i); control != nullptr) {
            RECT box{};
            GetWindowRect(control, &box);
            MapWindowPoints(nullptr, window.Handle(), reinterpret_cast<POINT*>(&box), 2);
            LOGFONTW font{};
            GetObjectW(reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)),
                       sizeof font, &font);
            geometry.insert(geometry.end(),
                            {box.left, box.top, box.right, box.bottom, font.lfHeight});
        }
    }
    return geometry;
}

// The cursor each time the system asked the window where the pointer is,
// which it does whenever the window's thread looks at mouse input.
LRESULT CALLBACK NoteLooks(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                           DWORD_PTR looks) {
    if (message == WM_NCHITTEST) {
        reinterpret_cast<std::vector<HCURSOR>*>(looks)->push_back(GetCursor());
    }
    return DefSubclassProc(window, message, wParam, lParam);
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
    // Puts a built library in `folder` as Quorvexv1.4.dll, types the
    // destination folder and shows the window.
    void ShowWithLibrary(const wchar_t* fixture, const TempDir& folder) {
        ASSERT_TRUE(
            CopyFileW(FixturePath(fixture).c_str(), (folder / L"Quorvexv1.4.dll").c_str(), FALSE));
        SetFolder(destDir.Path());
        window().Show(SW_SHOWNORMAL);
    }

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
    EXPECT_NE(GetClassLongPtrW(main, GCLP_HICON), 0);
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
    ShowWithLibrary(L"fixture_both_ok", destDir);
    Pump();
    Key(VK_SPACE);
    EXPECT_EQ(Status(StatusRow::Uninstall), L"Sucessful");
    EXPECT_EQ(Status(StatusRow::Copy), L"N/A");
    EXPECT_FALSE(testing::Exists(destDir / L"Quorvexv1.4.dll"));
    // The keyboard user carries on from the same button.
    EXPECT_EQ(GetFocus(), Control(L"cmdUninstall"));
}

TEST_F(MainWindowTest, ButtonsRunTheirCommands) {
    ShowWithLibrary(L"fixture_both_ok", appDir);

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

// Clicks and keys made while a command runs wait in the queue; they are
// dropped when it ends, so an impatient second click does not run it again.
// A close request made meanwhile is still carried out.
TEST_F(MainWindowTest, InputMadeDuringACommandIsDropped) {
    window().Show(SW_SHOWNORMAL);
    Pump();
    HWND button = Control(L"cmdUninstall");
    RECT box{};
    GetWindowRect(button, &box);
    const auto absolute = [](LONG at, int metric) {
        return static_cast<LONG>(MulDiv(at, 65536, GetSystemMetrics(metric)));
    };
    const LONG x = absolute((box.left + box.right) / 2, SM_CXSCREEN);
    const LONG y = absolute((box.top + box.bottom) / 2, SM_CYSCREEN);

    int runs = 0;
    window().OnClick(CommandButton::Uninstall, [&] {
        if (++runs > 1) {
            return;
        }
        // Another click on the same button and Space on it, as real input.
        INPUT input[5]{};
        for (INPUT& one : input) {
            one.type = INPUT_MOUSE;
            one.mi.dx = x;
            one.mi.dy = y;
        }
        input[0].mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
        input[1].mi.dwFlags = MOUSEEVENTF_LEFTDOWN | MOUSEEVENTF_ABSOLUTE;
        input[2].mi.dwFlags = MOUSEEVENTF_LEFTUP | MOUSEEVENTF_ABSOLUTE;
        input[3] = INPUT{INPUT_KEYBOARD, {}};
        input[3].ki.wVk = VK_SPACE;
        input[4] = input[3];
        input[4].ki.dwFlags = KEYEVENTF_KEYUP;
        SendInput(5, input, sizeof(INPUT));
    });
    SetFocus(button);
    SendMessageW(button, BM_CLICK, 0, 0);
    for (int i = 0; i < 10; ++i) {
        Pump();
        Sleep(20);
    }
    EXPECT_EQ(runs, 1);

    bool closed = false;
    window().OnClosed([&] { closed = true; });
    window().OnClick(CommandButton::Uninstall,
                     [&] { PostMessageW(window().Handle(), WM_SYSCOMMAND, SC_CLOSE, 0); });
    SendMessageW(button, BM_CLICK, 0, 0);
    Pump();
    EXPECT_TRUE(closed);
}

// Windows calls a window hung, and offers to end the program, when its
// thread has not read its queue for 5 s and waits for no input. While an
// entry point runs for 3 s the thread keeps looking at a move of the pointer
// (which stays queued), under the busy cursor; the controls ask for it too.
TEST_F(MainWindowTest, LongEntryPointLooksAtInputUnderTheBusyCursor) {
    ShowWithLibrary(L"fixture_three_seconds", destDir);
    Pump();
    std::vector<HCURSOR> looks;
    SetWindowSubclass(window().Handle(), NoteLooks, 1, reinterpret_cast<DWORD_PTR>(&looks));
    POINT over{150, 40};
    ClientToScreen(window().Handle(), &over);
    SetCursorPos(over.x, over.y);
    const HCURSOR arrow = LoadCursorW(nullptr, IDC_ARROW);
    const HCURSOR busy = LoadCursorW(nullptr, IDC_WAIT);
    SetCursor(arrow);
    SendMessageW(Control(L"cmdUninstall"), BM_CLICK, 0, 0);
    EXPECT_EQ(Status(StatusRow::Uninstall), L"Sucessful");
    EXPECT_GE(std::count(looks.begin(), looks.end(), busy), 3)
        << "no look at input under the busy cursor";

    // Enter takes no capture, so no move follows that would set the cursor again.
    HCURSOR overText = nullptr;
    window().OnClick(CommandButton::Register, [&] {
        HWND text = Control(L"FolderText");
        SendMessageW(text, WM_SETCURSOR, reinterpret_cast<WPARAM>(text), HTCLIENT);
        overText = GetCursor();
    });
    SetFocus(Control(L"cmdRegister"));
    Key(VK_RETURN);
    RemoveWindowSubclass(window().Handle(), NoteLooks, 1);
    EXPECT_EQ(overText, busy);
    EXPECT_EQ(GetCursor(), arrow) << "the cursor was not given back";
}

// A close request made while a command runs, sent (as foreign code may),
// typed or clicked, is carried out once the command has ended; a window
// destroyed meanwhile ends the program and draws on no other window.
TEST_F(MainWindowTest, CloseRequestsDuringACommandAreCarriedOutAfterIt) {
    MainWindow other(GetModuleHandleW(nullptr), 96);
    other.Show(SW_SHOWNOACTIVATE);
    const auto request = [](HWND window) {
        return std::array<std::function<void()>, 4>{
            [=] { SendMessageW(window, WM_CLOSE, 0, 0); },
            [=] { PostMessageW(GetFocus(), WM_SYSKEYDOWN, VK_F4, 1 | 1 << 29); },
            [=] { PostMessageW(window, WM_NCLBUTTONDOWN, HTCLOSE, 0); },
            [=] { DestroyWindow(window); }};
    };
    for (std::size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        Installer one(GetModuleHandleW(nullptr), 96, kernel, files);
        MainWindow& busy = one.Window();
        bool closed = false;
        busy.OnClosed([&] { closed = true; });
        busy.Show(SW_SHOWNORMAL);
        Pump();
        busy.OnClick(CommandButton::Uninstall, [&] {
            request(busy.Handle())[i]();
            EXPECT_EQ(closed, i == 3) << "closed while the command ran";
            busy.SetStatusCaption(StatusRow::Copy, L"N/A");
        });
        ValidateRect(other.Handle(), nullptr);
        SendMessageW(busy.ControlWindow(IndexOf(L"cmdUninstall")), BM_CLICK, 0, 0);
        EXPECT_TRUE(closed);
        EXPECT_FALSE(GetUpdateRect(other.Handle(), nullptr, FALSE))
            << "another window was drawn on";
    }
}

// The session does not end in the middle of a command, between the delete
// of the installed copy and the end of the copy; afterwards it may.
TEST_F(MainWindowTest, EndOfTheSessionWaitsForTheCommand) {
    window().Show(SW_SHOWNORMAL);
    LRESULT during = TRUE;
    window().OnClick(CommandButton::Register, [&] {
        during = SendMessageW(window().Handle(), WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF);
    });
    SendMessageW(window().ControlWindow(IndexOf(L"cmdRegister")), BM_CLICK, 0, 0);
    EXPECT_EQ(during, FALSE);
    EXPECT_NE(SendMessageW(window().Handle(), WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF), FALSE);
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
    ShowWithLibrary(L"fixture_failing", appDir);
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

    // A themed button asks for the pixels behind it alone: a DC clipped to
    // its box, with the origin moved there. Each part is the whole's.
    const RECT rows = PixelBox(boxes::UnRegLabel);
    for (const RECT part :
         {PixelBox(boxes::Label3), RECT{rows.left - 37, rows.top - 3, 311, 330}}) {
        const int width = part.right - part.left;
        const int height = part.bottom - part.top;
        HDC screen = GetDC(nullptr);
        const UniqueGdi<HBITMAP> bitmap(CreateCompatibleBitmap(screen, width, height));
        HDC dc = CreateCompatibleDC(screen);
        const HGDIOBJ previous = SelectObject(dc, bitmap.get());
        SetViewportOrgEx(dc, -part.left, -part.top, nullptr);
        IntersectClipRect(dc, part.left, part.top, part.right, part.bottom);
        SendMessageW(window().Handle(), WM_PRINTCLIENT, reinterpret_cast<WPARAM>(dc), PRF_CLIENT);
        SelectObject(dc, previous);
        DeleteDC(dc);
        ReleaseDC(nullptr, screen);
        const PixelImage printed = PixelImage::Of(bitmap.get());
        differing = 0;
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                differing += printed.At(x, y) != shot.At(part.left + x, part.top + y) ? 1 : 0;
            }
        }
        EXPECT_EQ(differing, 0) << "part at " << part.left << "," << part.top;
    }
}

// High contrast: no picture and no shadows, every text and line in the
// window-text colour on the window colour; switched off, the picture is back.
TEST_F(MainWindowTest, HighContrastDrawsInTheSystemColours) {
    window().SetStatusColour(StatusRow::Uninstall, colour::Blue);
    const PixelImage before = CaptureClient(window().Handle());
    bool highContrast = true;
    window().ReadHighContrastFrom([&] { return highContrast; });
    SendMessageW(window().Handle(), WM_SETTINGCHANGE, SPI_SETHIGHCONTRAST, 0);
    const PixelImage shot = CaptureClient(window().Handle());
    const PackedColour field = GetSysColor(COLOR_WINDOW);
    const PackedColour text = GetSysColor(COLOR_WINDOWTEXT);
    // All but the rows of the real controls, which the system draws.
    for (const RECT& rows :
         {RECT{0, 0, 312, 128}, RECT{0, 201, 312, 328}, RECT{0, 345, 312, 358}}) {
        EXPECT_EQ(shot.Count(field, rows) + shot.Count(text, rows), 312 * (rows.bottom - rows.top));
    }
    EXPECT_EQ(shot.Count(field, RECT{0, 202, 312, 208}), 312 * 6);  // where the picture was
    EXPECT_GT(shot.Count(text, PixelBox(boxes::Label1)), 20);
    EXPECT_EQ(shot.Count(text, RECT{8, 240, 304, 241}), 296);  // Line5

    highContrast = false;
    SendMessageW(window().Handle(), WM_SYSCOLORCHANGE, 0, 0);
    EXPECT_TRUE(CaptureClient(window().Handle()).bgrx == before.bgrx);
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

LRESULT CALLBACK RefuseTheMainWindow(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_CREATEWND) {
        const wchar_t* className = reinterpret_cast<CBT_CREATEWNDW*>(lParam)->lpcs->lpszClass;
        if (!IS_INTRESOURCE(className) && lstrcmpW(className, L"QuorvexInstallMain") == 0) {
            return 1;
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

// A window that cannot be made ends the program at once with a failure code,
// rather than leave it waiting invisibly for messages.
TEST(MainWindowStartTest, NoWindowEndsTheProgramAtOnce) {
    TempDir appDir;
    testing::FilesWithAppDirectory files(appDir.Path());
    Win32Kernel kernel;
    HHOOK hook = SetWindowsHookExW(WH_CBT, RefuseTheMainWindow, nullptr, GetCurrentThreadId());
    ASSERT_NE(hook, nullptr);
    // Should a message loop run after all, this ends it, with code 0.
    PostQuitMessage(0);
    const int exitCode = RunInstaller(GetModuleHandleW(nullptr), SW_SHOWNORMAL, kernel, files);
    UnhookWindowsHookEx(hook);
    MSG quit{};
    PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);
    EXPECT_NE(exitCode, 0);
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

// Moved to a monitor of another DPI, the window looks as if it had been
// started there; and so when it comes back.
TEST(MainWindowDpiTest, MovedToAnotherDpiLooksAsIfStartedThere) {
    MainWindow started(GetModuleHandleW(nullptr), 144);
    MainWindow moved(GetModuleHandleW(nullptr), 96);
    const PixelImage at96 = CaptureClient(moved.Handle());
    const std::vector<LONG> controlsAt96 = ControlGeometry(moved);
    RECT frame{};
    GetWindowRect(moved.Handle(), &frame);
    // As the system suggests it: the whole frame scaled, borders too.
    RECT suggested{frame.left, frame.top, frame.left + (frame.right - frame.left) * 3 / 2,
                   frame.top + (frame.bottom - frame.top) * 3 / 2};
    SendMessageW(moved.Handle(), WM_DPICHANGED, MAKEWPARAM(144, 144),
                 reinterpret_cast<LPARAM>(&suggested));
    EXPECT_TRUE(CaptureClient(moved.Handle()).bgrx == CaptureClient(started.Handle()).bgrx);
    EXPECT_EQ(ControlGeometry(moved), ControlGeometry(started));
    SendMessageW(moved.Handle(), WM_DPICHANGED, MAKEWPARAM(96, 96),
                 reinterpret_cast<LPARAM>(&frame));
    EXPECT_TRUE(CaptureClient(moved.Handle()).bgrx == at96.bgrx);
    EXPECT_EQ(ControlGeometry(moved), controlsAt96);
}

// What assistive technology reads, through oleacc in this process. (From
// another process Wine's oleacc hands out nothing: see the README.)

struct Variant : VARIANT {
    Variant() : VARIANT() { VariantInit(this); }
    ~Variant() { VariantClear(this); }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;
};

VARIANT ChildId(LONG id) {
    VARIANT child;
    VariantInit(&child);
    V_VT(&child) = VT_I4;
    V_I4(&child) = id;
    return child;
}

ComPtr<IAccessible> ClientObject(const Oleacc& oleacc, HWND window) {
    ComPtr<IAccessible> object;
    oleacc.AccessibleObjectFromWindow(window, static_cast<DWORD>(OBJID_CLIENT),
                                      __uuidof(IAccessible), object.Put());
    return object;
}

std::wstring Name(IAccessible* object, LONG id) {
    BSTR raw = nullptr;
    const HRESULT result = object->get_accName(ChildId(id), &raw);
    const UniqueBstr name(raw);
    if (FAILED(result)) {
        return L"(error)";
    }
    return raw == nullptr ? L"" : std::wstring(raw, SysStringLen(raw));
}

LONG Role(IAccessible* object, LONG id) {
    Variant role;
    object->get_accRole(ChildId(id), &role);
    return V_VT(&role) == VT_I4 ? V_I4(&role) : -1;
}

RECT Location(IAccessible* object, LONG id) {
    LONG left = 0;
    LONG top = 0;
    LONG width = 0;
    LONG height = 0;
    object->accLocation(&left, &top, &width, &height, ChildId(id));
    return RECT{left, top, left + width, top + height};
}

HWND WindowOf(IUnknown* object) {
    ComPtr<IOleWindow> window;
    HWND handle = nullptr;
    if (object != nullptr &&
        SUCCEEDED(object->QueryInterface(__uuidof(IOleWindow), window.Put()))) {
        window->GetWindow(&handle);
    }
    return handle;
}

RECT OnScreen(HWND window, RECT box) {
    MapWindowPoints(window, nullptr, reinterpret_cast<POINT*>(&box), 2);
    return box;
}

TEST_F(MainWindowTest, AccessibleChildrenAreTheLabelsAndControlsInLayoutOrder) {
    const Oleacc oleacc;
    ASSERT_TRUE(oleacc.Loaded());
    window().Show(SW_SHOWNORMAL);
    Pump();
    const ComPtr<IAccessible> client = ClientObject(oleacc, window().Handle());
    ASSERT_TRUE(client);

    // Reading order. Shadows repeat their labels and are left out.
    const wchar_t* const expected[] = {L"Label1",      L"Label2",       L"Label3",    L"FolderText",
                                       L"cmdRegister", L"cmdUninstall", L"Label4",    L"Label5",
                                       L"UnRegLabel",  L"Label6",       L"CopyLabel", L"Label7",
                                       L"RegLabel",    L"ExitCmd"};
    constexpr LONG Count = std::size(expected);
    LONG count = 0;
    ASSERT_EQ(client->get_accChildCount(&count), S_OK);
    ASSERT_EQ(count, Count);
    std::array<Variant, Count> children;
    LONG obtained = 0;
    ASSERT_EQ(oleacc.AccessibleChildren(client.get(), 0, Count, children.data(), &obtained), S_OK);
    ASSERT_EQ(obtained, Count);

    for (LONG id = 1; id <= Count; ++id) {
        const std::size_t control = IndexOf(expected[id - 1]);
        const VARIANT& child = children[static_cast<std::size_t>(id - 1)];
        SCOPED_TRACE(expected[id - 1]);
        if (layout::Controls[control].kind == layout::Kind::Label) {
            // A simple element of the client object: static text named by
            // its caption, where it is painted.
            ASSERT_EQ(V_VT(&child), VT_I4);
            EXPECT_EQ(V_I4(&child), id);
            EXPECT_EQ(Name(client.get(), id), layout::Controls[control].caption);
            EXPECT_EQ(Role(client.get(), id), ROLE_SYSTEM_STATICTEXT);
            const RECT box = OnScreen(window().Handle(), window().PixelBox(control));
            const RECT location = Location(client.get(), id);
            EXPECT_TRUE(EqualRect(&location, &box));
            Variant hit;
            client->accHitTest((box.left + box.right) / 2, (box.top + box.bottom) / 2, &hit);
            EXPECT_TRUE(V_VT(&hit) == VT_I4 && V_I4(&hit) == id);
        } else {
            // A real control: the standard object of its window.
            ASSERT_EQ(V_VT(&child), VT_DISPATCH);
            EXPECT_EQ(WindowOf(V_DISPATCH(&child)), window().ControlWindow(control));
        }
        Variant next;
        const HRESULT moved = client->accNavigate(NAVDIR_NEXT, ChildId(id), &next);
        if (id == Count) {
            EXPECT_EQ(moved, S_FALSE);
        } else if (V_VT(&children[static_cast<std::size_t>(id)]) == VT_I4) {
            EXPECT_TRUE(V_VT(&next) == VT_I4 && V_I4(&next) == id + 1);
        } else {
            ASSERT_EQ(V_VT(&next), VT_DISPATCH);
            EXPECT_EQ(WindowOf(V_DISPATCH(&next)),
                      WindowOf(V_DISPATCH(&children[static_cast<std::size_t>(id)])));
        }
    }
    // The buttons keep the names of their standard objects.
    for (const wchar_t* button : {L"cmdRegister", L"cmdUninstall", L"ExitCmd"}) {
        const ComPtr<IAccessible> object = ClientObject(oleacc, Control(button));
        ASSERT_TRUE(object);
        EXPECT_EQ(Name(object.get(), CHILDID_SELF), layout::Controls[IndexOf(button)].caption);
    }

    // Boxes follow the DPI: RegLabel is 2400, 4440, 2175 x 255 twips.
    MainWindow large(GetModuleHandleW(nullptr), 144);
    const ComPtr<IAccessible> largeClient = ClientObject(oleacc, large.Handle());
    ASSERT_TRUE(largeClient);
    const RECT expectedBox = OnScreen(large.Handle(), RECT{240, 444, 458, 470});
    const RECT largeBox = Location(largeClient.get(), 13);
    EXPECT_TRUE(EqualRect(&largeBox, &expectedBox));
    // And when the window moves to a monitor of that DPI.
    RECT frame{};
    GetWindowRect(window().Handle(), &frame);
    SendMessageW(window().Handle(), WM_DPICHANGED, MAKEWPARAM(144, 144),
                 reinterpret_cast<LPARAM>(&frame));
    const RECT movedBox = Location(client.get(), 13);
    const RECT expectedMovedBox = OnScreen(window().Handle(), RECT{240, 444, 458, 470});
    EXPECT_TRUE(EqualRect(&movedBox, &expectedMovedBox));
}

TEST_F(MainWindowTest, FolderTextIsNamedByTheInstructionAboveIt) {
    const Oleacc oleacc;
    ASSERT_TRUE(oleacc.Loaded());
    const ComPtr<IAccessible> box = ClientObject(oleacc, Control(L"FolderText"));
    ASSERT_TRUE(box);
    EXPECT_EQ(Name(box.get(), CHILDID_SELF), layout::Label3Text);
    // Otherwise the box's standard object answers: an editable text with the folder.
    EXPECT_EQ(Role(box.get(), CHILDID_SELF), ROLE_SYSTEM_TEXT);
    BSTR raw = nullptr;
    ASSERT_EQ(box->get_accValue(ChildId(CHILDID_SELF), &raw), S_OK);
    const UniqueBstr value(raw);
    EXPECT_STREQ(value.get(), L"C:\\WINDOWS\\SYSTEM");
}

// Name changes of the window's elements, as a screen reader hooks them: out
// of context, delivered to this thread while it pumps messages.
class NameChanges {
  public:
    struct Change {
        HWND window;
        LONG object;
        LONG child;
    };

    NameChanges()
        : hook_(SetWinEventHook(EVENT_OBJECT_NAMECHANGE, EVENT_OBJECT_NAMECHANGE, nullptr, Record,
                                GetCurrentProcessId(), 0, WINEVENT_OUTOFCONTEXT)) {
        recording_ = this;
    }
    ~NameChanges() {
        UnhookWinEvent(hook_);
        recording_ = nullptr;
    }
    NameChanges(const NameChanges&) = delete;
    NameChanges& operator=(const NameChanges&) = delete;

    bool Hooked() const { return hook_ != nullptr; }
    // The children of `window`'s client object that changed names, in order.
    std::vector<LONG> ClientChildren(HWND window) const {
        std::vector<LONG> children;
        for (const Change& change : changes_) {
            if (change.window == window && change.object == OBJID_CLIENT) {
                children.push_back(change.child);
            }
        }
        return children;
    }

  private:
    static void CALLBACK Record(HWINEVENTHOOK, DWORD, HWND window, LONG object, LONG child, DWORD,
                                DWORD) {
        if (recording_ != nullptr) {
            recording_->changes_.push_back(Change{window, object, child});
        }
    }

    static thread_local NameChanges* recording_;
    HWINEVENTHOOK hook_;
    std::vector<Change> changes_;
};
thread_local NameChanges* NameChanges::recording_ = nullptr;

TEST_F(MainWindowTest, InstallRenamesTheStatusElementsAndSaysSo) {
    ShowWithLibrary(L"fixture_both_ok", appDir);
    Pump();
    const Oleacc oleacc;
    ASSERT_TRUE(oleacc.Loaded());
    const ComPtr<IAccessible> client = ClientObject(oleacc, window().Handle());
    ASSERT_TRUE(client);

    NameChanges changes;
    ASSERT_TRUE(changes.Hooked());
    SendMessageW(Control(L"cmdRegister"), BM_CLICK, 0, 0);
    Pump();
    // The three status elements (children 9, 11 and 13), each once, in
    // the order the command reached them.
    EXPECT_EQ(changes.ClientChildren(window().Handle()), (std::vector<LONG>{9, 11, 13}));
    EXPECT_EQ(Name(client.get(), 9), L"No previous version.");
    EXPECT_EQ(Name(client.get(), 11), L"Sucessful");
    EXPECT_EQ(Name(client.get(), 13), L"Sucessful");

    // Clients may hold the objects after the window has gone.
    const ComPtr<IAccessible> box = ClientObject(oleacc, Control(L"FolderText"));
    ASSERT_TRUE(box);
    window().Close();
    BSTR name = nullptr;
    EXPECT_EQ(client->get_accName(ChildId(9), &name), CO_E_OBJNOTCONNECTED);
    EXPECT_EQ(box->get_accName(ChildId(CHILDID_SELF), &name), CO_E_OBJNOTCONNECTED);
    LONG count = 0;
    EXPECT_EQ(client->get_accChildCount(&count), CO_E_OBJNOTCONNECTED);
}

}  // namespace
}  // namespace quorvex
