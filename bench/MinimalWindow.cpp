// The yardsticks for start-up time: the least a Win32 program does to show a
// window of the same size, built the same way as QuorvexInstall.exe. Built
// with MINIMAL_WITH_CONTROLS, the window also holds the program's text box
// and buttons, version 6 common controls: the floor for any window that
// shows them.
#include <windows.h>

#ifdef MINIMAL_WITH_CONTROLS
#include <commctrl.h>

#include <algorithm>
#include <iterator>

#include "ui/Layout.h"
#endif

namespace {

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

#ifdef MINIMAL_WITH_CONTROLS
void CreateControls(HWND window, HINSTANCE instance) {
    using quorvex::layout::Kind;
    const auto pixels = [](int twips) {
        return MulDiv(twips, USER_DEFAULT_SCREEN_DPI, quorvex::layout::TwipsPerInch);
    };
    for (const quorvex::layout::Control& control : quorvex::layout::Controls) {
        if (control.kind != Kind::TextBox && control.kind != Kind::Button) {
            continue;
        }
        const bool textBox = control.kind == Kind::TextBox;
        wchar_t caption[64]{};
        std::copy_n(control.caption.begin(),
                    std::min(control.caption.size(), std::size(caption) - 1), caption);
        CreateWindowExW(textBox ? WS_EX_CLIENTEDGE : 0, textBox ? L"EDIT" : L"BUTTON", caption,
                        WS_CHILD | WS_VISIBLE | WS_TABSTOP, pixels(control.left),
                        pixels(control.top), pixels(control.width), pixels(control.height), window,
                        nullptr, instance, nullptr);
    }
}
#endif

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
#ifdef MINIMAL_WITH_CONTROLS
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
#endif
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
    windowClass.lpszClassName = L"MinimalWindow";
    RegisterClassExW(&windowClass);
    HWND window = CreateWindowExW(0, L"MinimalWindow", L"Minimal Window",
                                  WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU, CW_USEDEFAULT,
                                  CW_USEDEFAULT, 318, 383, nullptr, nullptr, instance, nullptr);
#ifdef MINIMAL_WITH_CONTROLS
    CreateControls(window, instance);
#endif
    ShowWindow(window, showCommand);
    UpdateWindow(window);
    MSG message{};
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}
