#include "ui/MainWindow.h"

#include <commctrl.h>

#include <algorithm>
#include <utility>

#include "platform/Win32Startup.h"
#include "ui/ResourceIds.h"

namespace quorvex {

namespace {

using layout::Controls;
using layout::Kind;

constexpr wchar_t WindowClassName[] = L"QuorvexInstallMain";
constexpr wchar_t WindowTitle[] = L"Quorvex v1.4 Install";
constexpr DWORD WindowStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
constexpr DWORD WindowExStyle = WS_EX_DLGMODALFRAME;
constexpr int DialogFontPoints = 8;
// Child control ids: the table index moved clear of IDOK and IDCANCEL, which
// the dialog keyboard interface sends for Enter and Escape.
constexpr int FirstControlId = 100;

// Found while compiling: no search of the table is left for run time.
constexpr std::size_t RegisterIndex = layout::IndexOf(L"cmdRegister");
constexpr std::size_t UninstallIndex = layout::IndexOf(L"cmdUninstall");
constexpr std::size_t ExitIndex = layout::IndexOf(L"ExitCmd");

constexpr std::size_t ButtonIndex(CommandButton button) {
    switch (button) {
        case CommandButton::Register:
            return RegisterIndex;
        case CommandButton::Uninstall:
            return UninstallIndex;
        case CommandButton::Exit:
            return ExitIndex;
    }
    return ExitIndex;
}

constexpr std::size_t FolderTextIndex = layout::IndexOf(L"FolderText");

// Children are created in tab order: the dialog keyboard interface moves
// through them in the order they were made. The table is fixed, and so is
// the order, found while compiling.
constexpr std::array<std::size_t, layout::ControlCount> TabOrder = [] {
    std::array<std::size_t, layout::ControlCount> order{};
    for (std::size_t i = 0; i < order.size(); ++i) {
        order[i] = i;
    }
    std::sort(order.begin(), order.end(), [](std::size_t a, std::size_t b) {
        return Controls[a].tabIndex < Controls[b].tabIndex;
    });
    return order;
}();

bool RegisterWindowClass(HINSTANCE instance, WNDPROC procedure) {
    WNDCLASSEXW windowClass{};
    if (GetClassInfoExW(instance, WindowClassName, &windowClass) != FALSE) {
        return true;
    }
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = instance;
    // The caption and the task switcher show the class's icon (the small
    // size made from the same resource): no window needs one of its own.
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_APP));
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
    windowClass.lpszClassName = WindowClassName;
    return RegisterClassExW(&windowClass) != 0;
}

// Selects an object into a device context for one scope.
class Selection {
  public:
    Selection(HDC dc, HGDIOBJ object) : dc_(dc), previous_(SelectObject(dc, object)) {}
    ~Selection() { SelectObject(dc_, previous_); }
    Selection(const Selection&) = delete;
    Selection& operator=(const Selection&) = delete;

  private:
    HDC dc_;
    HGDIOBJ previous_;
};

struct DcDeleter {
    using pointer = HDC;
    void operator()(HDC dc) const noexcept { DeleteDC(dc); }
};
using UniqueDc = std::unique_ptr<std::remove_pointer_t<HDC>, DcDeleter>;

UniqueGdi<HFONT> DialogFont(int dpi) {
    LOGFONTW font{};
    font.lfHeight = -MulDiv(DialogFontPoints, dpi, 72);
    font.lfWeight = FW_NORMAL;
    font.lfCharSet = DEFAULT_CHARSET;
    lstrcpynW(font.lfFaceName, L"MS Shell Dlg", LF_FACESIZE);
    return UniqueGdi<HFONT>(CreateFontIndirectW(&font));
}

// The DPI of the monitor a window is on, where the system gives each monitor
// its own (Windows 10 1607 and later); 0 elsewhere.
int MonitorDpi(HWND window) {
    using GetDpiForWindowFunction = UINT(WINAPI*)(HWND);
    const auto getDpiForWindow =
        ProcAddress<GetDpiForWindowFunction>(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow");
    return getDpiForWindow != nullptr ? static_cast<int>(getDpiForWindow(window)) : 0;
}

}  // namespace

int SystemDpi() {
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    return dpi > 0 ? dpi : USER_DEFAULT_SCREEN_DPI;
}

bool SystemHighContrast() {
    HIGHCONTRASTW contrast{};
    contrast.cbSize = sizeof contrast;
    return SystemParametersInfoW(SPI_GETHIGHCONTRAST, sizeof contrast, &contrast, 0) != FALSE &&
           (contrast.dwFlags & HCF_HIGHCONTRASTON) != 0;
}

MainWindow::MainWindow(HINSTANCE instance, int dpi)
    : dpi_(dpi), highContrastSetting_(SystemHighContrast), highContrast_(SystemHighContrast()) {
    for (std::size_t i = 0; i < layout::ControlCount; ++i) {
        captions_[i] = Controls[i].caption;
        colours_[i] = Controls[i].colour.value_or(colour::White);
    }

    font_ = DialogFont(dpi_);
    picture_.reset(static_cast<HBITMAP>(LoadImageW(instance, MAKEINTRESOURCEW(IDB_BACKGROUND),
                                                   IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION)));

    const HMODULE user32 = GetModuleHandleW(L"user32.dll");
    blockShutdown_ = ProcAddress<BlockShutdownFunction>(user32, "ShutdownBlockReasonCreate");
    unblockShutdown_ = ProcAddress<UnblockShutdownFunction>(user32, "ShutdownBlockReasonDestroy");
    busyCursor_ = LoadCursorW(nullptr, IDC_WAIT);

    if (!RegisterWindowClass(instance, WindowProc)) {
        return;  // no window: Handle() tells the program to end
    }
    owner_.reset(CreateWindowExW(0, L"STATIC", WindowTitle, WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                 instance, nullptr));

    RECT frame{0, 0, ToPixels(layout::ClientWidthTwips), ToPixels(layout::ClientHeightTwips)};
    AdjustWindowRectEx(&frame, WindowStyle, FALSE, WindowExStyle);
    CreateWindowExW(WindowExStyle, WindowClassName, WindowTitle, WindowStyle, CW_USEDEFAULT,
                    CW_USEDEFAULT, frame.right - frame.left, frame.bottom - frame.top, owner_.get(),
                    nullptr, instance, this);
    if (!window_) {
        return;
    }
    CreateChildWindows(instance);
}

MainWindow::~MainWindow() {
    closed_ = nullptr;
    window_.reset();
    owner_.reset();
}

void MainWindow::CreateChildWindows(HINSTANCE instance) {
    for (std::size_t index : TabOrder) {
        const layout::Control& control = Controls[index];
        const wchar_t* windowClass = nullptr;
        DWORD style = WS_CHILD | WS_VISIBLE | WS_TABSTOP;
        DWORD exStyle = 0;
        if (control.kind == Kind::TextBox) {
            windowClass = L"EDIT";
            style |= ES_LEFT | ES_AUTOHSCROLL;
            exStyle = WS_EX_CLIENTEDGE;
        } else if (control.kind == Kind::Button) {
            windowClass = L"BUTTON";
            style |= BS_PUSHBUTTON | BS_CENTER;
        } else {
            continue;
        }
        const RECT box = PixelBox(index);
        const std::wstring caption(control.caption);
        HWND child =
            CreateWindowExW(exStyle, windowClass, caption.c_str(), style, box.left, box.top,
                            box.right - box.left, box.bottom - box.top, window_.get(),
                            reinterpret_cast<HMENU>(static_cast<INT_PTR>(FirstControlId + index)),
                            instance, nullptr);
        SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(font_.get()), FALSE);
        childWindows_[index] = child;
    }
    // No limit on the folder text: the edit control's default is 30,000 characters.
    SendMessageW(childWindows_[FolderTextIndex], EM_SETLIMITTEXT, 0, 0);
    SetWindowSubclass(childWindows_[FolderTextIndex], FolderTextProc, 0,
                      reinterpret_cast<DWORD_PTR>(this));
}

int MainWindow::ToPixels(int twips) const { return MulDiv(twips, dpi_, layout::TwipsPerInch); }

void MainWindow::ChangeDpi(int dpi, const RECT& frame) {
    dpi_ = dpi;
    // The old font stays alive until no control uses it.
    const UniqueGdi<HFONT> previousFont = std::exchange(font_, DialogFont(dpi_));
    HWND window = window_.get();
    constexpr UINT Flags = SWP_NOZORDER | SWP_NOACTIVATE;
    SetWindowPos(window, nullptr, frame.left, frame.top, frame.right - frame.left,
                 frame.bottom - frame.top, Flags);
    // The system's rectangle scales the whole frame; the client area is the
    // layout's, as for a window started at this DPI.
    RECT client{};
    RECT placed{};
    GetClientRect(window, &client);
    GetWindowRect(window, &placed);
    const int width = ToPixels(layout::ClientWidthTwips) - client.right;
    const int height = ToPixels(layout::ClientHeightTwips) - client.bottom;
    if (width != 0 || height != 0) {
        SetWindowPos(window, nullptr, 0, 0, placed.right - placed.left + width,
                     placed.bottom - placed.top + height, Flags | SWP_NOMOVE);
    }
    for (std::size_t i = 0; i < layout::ControlCount; ++i) {
        if (HWND child = childWindows_[i]; child != nullptr) {
            const RECT box = PixelBox(i);
            SetWindowPos(child, nullptr, box.left, box.top, box.right - box.left,
                         box.bottom - box.top, Flags);
            SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(font_.get()), FALSE);
        }
    }
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}

void MainWindow::ReadHighContrast() {
    const bool on = highContrastSetting_ && highContrastSetting_();
    if (on != highContrast_) {
        highContrast_ = on;
        InvalidateRect(window_.get(), nullptr, FALSE);
    }
}

RECT MainWindow::PixelBox(std::size_t index) const {
    const layout::Control& control = Controls[index];
    const int left = ToPixels(control.left);
    const int top = ToPixels(control.top);
    if (control.kind == Kind::Line) {
        return RECT{left, top, ToPixels(control.left + control.width), top + 1};
    }
    return RECT{left, top, ToPixels(control.left + control.width),
                ToPixels(control.top + control.height)};
}

RECT MainWindow::TextBand(std::size_t index) const {
    RECT client{};
    GetClientRect(window_.get(), &client);
    const RECT box = PixelBox(index);
    return RECT{client.left, box.top, client.right, box.bottom};
}

void MainWindow::OnClick(CommandButton button, Handler<void> handler) {
    clickHandlers_[static_cast<std::size_t>(button)] = handler;
}

void MainWindow::Show(int showCommand) {
    RECT frame{};
    GetWindowRect(window_.get(), &frame);
    // The system DPI is the main monitor's as it was at sign-in; the window
    // takes that of the monitor it is on now. Moving it to another monitor
    // brings WM_DPICHANGED.
    if (const int dpi = MonitorDpi(window_.get()); dpi > 0 && dpi != dpi_) {
        ChangeDpi(dpi, frame);
        GetWindowRect(window_.get(), &frame);
    }
    const int width = frame.right - frame.left;
    const int height = frame.bottom - frame.top;
    SetWindowPos(window_.get(), nullptr, (GetSystemMetrics(SM_CXSCREEN) - width) / 2,
                 (GetSystemMetrics(SM_CYSCREEN) - height) / 2, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    // Activated, the window brings the input method, which may make this
    // thread an apartment: COM's main one must be another.
    AwaitMainApartment();
    ShowWindow(window_.get(), showCommand);
    UpdateWindow(window_.get());
    SetFocus(GetNextDlgTabItem(window_.get(), nullptr, FALSE));
}

void MainWindow::Close() { DestroyWindow(window_.get()); }

bool MainWindow::HandleDialogKey(MSG& message) {
    return window_ && IsDialogMessageW(window_.get(), &message) != FALSE;
}

void MainWindow::RepaintLabel(std::size_t index) {
    if (!window_) {
        return;  // destroyed mid-command: a null window would mean every window
    }
    const RECT band = TextBand(index);
    InvalidateRect(window_.get(), &band, FALSE);
}

void MainWindow::SetCaption(std::size_t index, std::wstring_view caption) {
    if (captions_[index] != caption) {
        captions_[index] = caption;
        RepaintLabel(index);
    }
}

void MainWindow::SetStatusCaption(StatusRow row, std::wstring_view caption) {
    const std::size_t index = layout::ControlsOf(row).status;
    if (captions_[index] != caption) {
        SetCaption(index, caption);
        // So that a screen reader announces the outcome.
        if (window_) {
            NotifyWinEvent(EVENT_OBJECT_NAMECHANGE, window_.get(), OBJID_CLIENT,
                           AccessibleChildId(index));
        }
    }
}

std::wstring MainWindow::StatusCaption(StatusRow row) const {
    return captions_[layout::ControlsOf(row).status];
}

void MainWindow::SetStatusColour(StatusRow row, PackedColour colour) {
    const std::size_t index = layout::ControlsOf(row).status;
    if (colours_[index] != colour) {
        colours_[index] = colour;
        RepaintLabel(index);
    }
}

void MainWindow::SetShadowCaption(StatusRow row, std::wstring_view caption) {
    SetCaption(layout::ControlsOf(row).shadow, caption);
}

std::wstring MainWindow::FolderText() const {
    HWND edit = childWindows_[FolderTextIndex];
    std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(edit)) + 1, L'\0');
    const int length = GetWindowTextW(edit, text.data(), static_cast<int>(text.size()));
    text.resize(static_cast<std::size_t>(length > 0 ? length : 0));
    return text;
}

void MainWindow::SetButtonEnabled(CommandButton button, bool enabled) {
    EnableWindow(childWindows_[ButtonIndex(button)], enabled ? TRUE : FALSE);
}

void MainWindow::Click(std::size_t index) {
    for (CommandButton button :
         {CommandButton::Register, CommandButton::Uninstall, CommandButton::Exit}) {
        if (ButtonIndex(button) != index) {
            continue;
        }
        // While a command waits for a library's entry point, messages sent to
        // the window are answered: a click sent then starts nothing.
        if (commandRunning_) {
            return;
        }
        HWND pressed = childWindows_[index];
        if (const auto& handler = clickHandlers_[static_cast<std::size_t>(button)]; handler) {
            commandRunning_ = true;
            // The thread reads no input until the command ends: the pointer
            // says so, here and whenever the window is asked for it.
            const HCURSOR shown = SetCursor(busyCursor_);
            // A log-off between the delete of the installed copy and the end
            // of the copy would leave neither: the system is told why not.
            if (blockShutdown_ != nullptr && unblockShutdown_ != nullptr) {
                blockShutdown_(window_.get(), L"Quorvexv1.4.dll is being installed or removed.");
            }
            handler();
            if (unblockShutdown_ != nullptr && window_) {
                unblockShutdown_(window_.get());
            }
            commandRunning_ = false;
            // The cursor shown before; a move made meanwhile, dropped below,
            // sets that of the place it ended at.
            SetCursor(shown);
        }
        DiscardQueuedInput();
        if (closeRequested_) {
            Close();  // the close request made meanwhile, which the command held back
            return;
        }
        if (paintDeferred_ && window_) {
            paintDeferred_ = false;
            InvalidateRect(window_.get(), nullptr, FALSE);
        }
        // Disabling the focused button during the command may have taken the
        // focus away; the keyboard user carries on from the button pressed.
        HWND focus = GetFocus();
        if (window_ && IsWindowEnabled(pressed) != FALSE &&
            (focus == nullptr || focus == window_.get() || IsWindowEnabled(focus) == FALSE)) {
            SetFocus(pressed);
        }
        return;
    }
}

void MainWindow::DiscardQueuedInput() {
    // A command reads no input while it runs, so clicks and keys made meanwhile
    // (an impatient second click on the button) wait in the queue and would
    // reach the buttons once they are enabled again. They were meant for a
    // window that was busy: they go, the frame's clicks too. Only a close
    // request among them (Alt+F4, the close box) is kept, and carried out.
    // Paint, close and system messages stay.
    if (!window_) {
        return;
    }
    MSG message{};
    while (PeekMessageW(&message, window_.get(), WM_MOUSEFIRST, WM_MOUSELAST, PM_REMOVE) != FALSE) {
    }
    while (PeekMessageW(&message, window_.get(), WM_NCMOUSEMOVE, WM_NCXBUTTONDBLCLK, PM_REMOVE) !=
           FALSE) {
        closeRequested_ |= message.message == WM_NCLBUTTONDOWN && message.wParam == HTCLOSE;
    }
    while (PeekMessageW(&message, window_.get(), WM_KEYFIRST, WM_KEYLAST, PM_REMOVE) != FALSE) {
        closeRequested_ |= message.message == WM_SYSKEYDOWN && message.wParam == VK_F4;
    }
}

void MainWindow::PaintLayout(HDC dc, const RECT& area) const {
    // High contrast: the system's colours on a plain field, and no shadows.
    const COLORREF text = GetSysColor(COLOR_WINDOWTEXT);
    FillRect(dc, &area,
             highContrast_ ? GetSysColorBrush(COLOR_WINDOW)
                           : static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));

    // The picture keeps its own pixel size whatever the DPI.
    if (picture_ && !highContrast_) {
        BITMAP size{};
        GetObjectW(picture_.get(), sizeof size, &size);
        const UniqueDc pictureDc(CreateCompatibleDC(dc));
        const Selection selected(pictureDc.get(), picture_.get());
        BitBlt(dc, 0, 0, size.bmWidth, size.bmHeight, pictureDc.get(), 0, 0, SRCCOPY);
    }

    const UniqueGdi<HBRUSH> lineBrush(CreateSolidBrush(highContrast_ ? text : colour::White));
    for (std::size_t i = 0; i < layout::ControlCount; ++i) {
        if (Controls[i].kind == Kind::Line) {
            const RECT line = PixelBox(i);
            FillRect(dc, &line, lineBrush.get());
        }
    }

    // Shadows first, so that each label is drawn over its own shadow.
    const Selection font(dc, font_.get());
    SetBkMode(dc, TRANSPARENT);
    for (bool shadows : {true, false}) {
        for (std::size_t i = 0; i < layout::ControlCount; ++i) {
            const layout::Control& control = Controls[i];
            if (control.kind != Kind::Label || control.shadowOf.empty() != shadows ||
                (highContrast_ && !control.shadowOf.empty())) {
                continue;
            }
            const RECT band = TextBand(i);
            if (RECT shown{}; IntersectRect(&shown, &band, &area) == FALSE) {
                continue;  // laying out the text would be wasted
            }
            RECT box = PixelBox(i);
            const UINT align = control.align == layout::Align::Right ? DT_RIGHT : DT_LEFT;
            SetTextColor(dc, highContrast_ ? text : colours_[i]);
            const int saved = SaveDC(dc);
            IntersectClipRect(dc, band.left, band.top, band.right, band.bottom);
            DrawTextW(dc, captions_[i].c_str(), static_cast<int>(captions_[i].size()), &box,
                      align | DT_WORDBREAK | DT_NOPREFIX | DT_EDITCONTROL | DT_NOCLIP);
            RestoreDC(dc, saved);
        }
    }
}

void MainWindow::Paint(HDC target, const RECT& area) const {
    RECT client{};
    GetClientRect(window_.get(), &client);
    RECT part{};
    if (IntersectRect(&part, &area, &client) == FALSE) {
        return;
    }
    // Drawn off screen and copied in one piece, so nothing flickers; only the
    // area asked for, as each themed button asks for the few pixels behind it.
    const int width = part.right - part.left;
    const int height = part.bottom - part.top;
    const UniqueDc buffer(CreateCompatibleDC(target));
    const UniqueGdi<HBITMAP> pixels(CreateCompatibleBitmap(target, width, height));
    const Selection selected(buffer.get(), pixels.get());
    SetViewportOrgEx(buffer.get(), -part.left, -part.top, nullptr);
    PaintLayout(buffer.get(), part);
    BitBlt(target, part.left, part.top, width, height, buffer.get(), part.left, part.top, SRCCOPY);
}

LRESULT CALLBACK MainWindow::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* self =
            static_cast<MainWindow*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        self->window_.reset(window);
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    auto* self = reinterpret_cast<MainWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self == nullptr) {
        return DefWindowProcW(window, message, wParam, lParam);
    }
    return self->HandleMessage(message, wParam, lParam);
}

LRESULT CALLBACK MainWindow::FolderTextProc(HWND box, UINT message, WPARAM wParam, LPARAM lParam,
                                            UINT_PTR, DWORD_PTR self) {
    if (message == WM_GETOBJECT && AsksForClientObject(lParam)) {
        if (const LRESULT answer =
                reinterpret_cast<MainWindow*>(self)->AccessibleObject(box, wParam);
            answer != 0) {
            return answer;
        }
    } else if (message == WM_NCDESTROY) {
        RemoveWindowSubclass(box, FolderTextProc, 0);
    }
    return DefSubclassProc(box, message, wParam, lParam);
}

LRESULT MainWindow::AccessibleObject(HWND target, WPARAM wParam) {
    if (!accessibility_) {
        AwaitMainApartment();  // before this thread enters an apartment of its own
        accessibility_ = std::make_unique<Accessibility>(*this);
    }
    return accessibility_->ClientObject(target, wParam);
}

LRESULT MainWindow::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    HWND window = window_.get();
    switch (message) {
        case WM_ERASEBKGND:
            return 1;  // WM_PAINT covers every pixel
        case WM_PAINT: {
            if (commandRunning_) {
                // COM's wait may ask for a paint mid-command; the rows are
                // shown once the command has ended.
                ValidateRect(window, nullptr);
                paintDeferred_ = true;
                return 0;
            }
            PAINTSTRUCT paint{};
            HDC dc = BeginPaint(window, &paint);
            Paint(dc, paint.rcPaint);
            EndPaint(window, &paint);
            return 0;
        }
        case WM_PRINTCLIENT: {
            HDC target = reinterpret_cast<HDC>(wParam);
            RECT area{};
            if (GetClipBox(target, &area) == ERROR) {
                GetClientRect(window, &area);
            }
            Paint(target, area);
            return 0;
        }
        case WM_COMMAND: {
            const int id = LOWORD(wParam);
            if (id == IDOK) {
                // Enter presses the focused button, and nothing in the text box.
                HWND focus = GetFocus();
                for (std::size_t i = 0; i < layout::ControlCount; ++i) {
                    if (focus != nullptr && childWindows_[i] == focus &&
                        Controls[i].kind == Kind::Button) {
                        Click(i);
                        break;
                    }
                }
                return 0;
            }
            if (HIWORD(wParam) == BN_CLICKED && id >= FirstControlId &&
                id < FirstControlId + static_cast<int>(layout::ControlCount)) {
                Click(static_cast<std::size_t>(id - FirstControlId));
            }
            return 0;  // Escape (IDCANCEL) does nothing
        }
        case WM_ACTIVATE:
            // Like a dialog: the focus leaves with the window and comes back
            // to the same control.
            if (LOWORD(wParam) == WA_INACTIVE) {
                HWND focus = GetFocus();
                if (focus != nullptr && IsChild(window, focus) != FALSE) {
                    lastFocus_ = focus;
                }
            }
            return DefWindowProcW(window, message, wParam, lParam);
        case WM_SETFOCUS: {
            HWND next = lastFocus_ != nullptr && IsWindowEnabled(lastFocus_) != FALSE
                            ? lastFocus_
                            : GetNextDlgTabItem(window, nullptr, FALSE);
            if (next != nullptr) {
                SetFocus(next);
            }
            return 0;
        }
        case WM_DPICHANGED:
            // The system's rectangle keeps the window where the user moved it.
            ChangeDpi(HIWORD(wParam), *reinterpret_cast<const RECT*>(lParam));
            return 0;
        case WM_SYSCOLORCHANGE:
            // The common controls keep colours of their own.
            for (HWND child : childWindows_) {
                if (child != nullptr) {
                    SendMessageW(child, message, wParam, lParam);
                }
            }
            ReadHighContrast();
            return DefWindowProcW(window, message, wParam, lParam);
        case WM_SETTINGCHANGE:
            ReadHighContrast();
            return DefWindowProcW(window, message, wParam, lParam);
        case WM_GETOBJECT:
            if (AsksForClientObject(lParam)) {
                if (const LRESULT answer = AccessibleObject(window, wParam); answer != 0) {
                    return answer;
                }
            }
            return DefWindowProcW(window, message, wParam, lParam);
        case WM_QUERYENDSESSION:
            if (commandRunning_) {
                return FALSE;  // asked while a command waits for a library
            }
            return DefWindowProcW(window, message, wParam, lParam);
        case WM_SETCURSOR:
            // Asked by the controls too, before they choose their own.
            if (commandRunning_) {
                SetCursor(busyCursor_);
                return TRUE;
            }
            return DefWindowProcW(window, message, wParam, lParam);
        case WM_CLOSE:
            if (commandRunning_) {
                closeRequested_ = true;  // carried out once the command has ended
                return 0;
            }
            return DefWindowProcW(window, message, wParam, lParam);
        case WM_DESTROY:
            if (closed_) {
                closed_();
            }
            // Clients may hold the objects after the window has gone.
            if (accessibility_) {
                accessibility_->Disconnect();
            }
            return 0;
        case WM_NCDESTROY:
            // The controls have gone with it; their handles may name other windows soon.
            childWindows_.fill(nullptr);
            SetWindowLongPtrW(window, GWLP_USERDATA, 0);
            static_cast<void>(window_.release());
            return DefWindowProcW(window, message, wParam, lParam);
        default:
            return DefWindowProcW(window, message, wParam, lParam);
    }
}

}  // namespace quorvex
