// The program's one window: the fixed layout with its picture, windowless
// labels and lines painted by the window itself, and the real edit control
// and push buttons. It is the status board's view of the controls.
#pragma once

#include <windows.h>

#include <array>
#include <memory>
#include <string>

#include "engine/StatusBoard.h"
#include "platform/Handles.h"
#include "ui/Accessibility.h"
#include "ui/Handler.h"
#include "ui/Layout.h"

namespace quorvex {

struct WindowDestroyer {
    using pointer = HWND;
    void operator()(HWND window) const noexcept { DestroyWindow(window); }
};
using UniqueWindow = std::unique_ptr<std::remove_pointer_t<HWND>, WindowDestroyer>;

class MainWindow final : public BoardControls, public AccessibleView {
  public:
    // Builds the window and its controls, hidden, for a screen of `dpi` dots per inch.
    MainWindow(HINSTANCE instance, int dpi);
    ~MainWindow() override;
    MainWindow(const MainWindow&) = delete;
    MainWindow& operator=(const MainWindow&) = delete;

    void OnClick(CommandButton button, Handler<void> handler);
    // Runs once the window has been destroyed, by the user or by Close().
    void OnClosed(Handler<void> handler) { closed_ = handler; }
    // Takes the DPI of the monitor the window is on, centres the window on
    // the screen, shows it and puts the focus on the first control in tab
    // order.
    void Show(int showCommand);
    void Close();

    // Where the window reads whether high contrast is on: at creation, and
    // again whenever the system's settings or colours change. The system's
    // setting unless replaced.
    void ReadHighContrastFrom(Handler<bool> setting) { highContrastSetting_ = setting; }

    // The keyboard interface of a dialog: Tab, Shift+Tab, Enter on a button.
    bool HandleDialogKey(MSG& message);

    HWND Handle() const override { return window_.get(); }
    // The child window of a windowed control (text box, buttons); null otherwise.
    HWND ControlWindow(std::size_t index) const override { return childWindows_[index]; }
    RECT PixelBox(std::size_t index) const override;
    // Where a label's text may show: its rows of the client area. Lines wrap
    // inside the box and are cut off at its bottom, but a glyph that overhangs
    // its side (the last dot of a right-aligned "...") is drawn whole.
    RECT TextBand(std::size_t index) const;
    // A label's caption as it is painted now.
    std::wstring_view Caption(std::size_t index) const override { return captions_[index]; }

    // BoardControls
    void SetStatusCaption(StatusRow row, std::wstring_view caption) override;
    std::wstring StatusCaption(StatusRow row) const override;
    void SetStatusColour(StatusRow row, PackedColour colour) override;
    void SetShadowCaption(StatusRow row, std::wstring_view caption) override;
    std::wstring FolderText() const override;
    void SetButtonEnabled(CommandButton button, bool enabled) override;

  private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    static LRESULT CALLBACK FolderTextProc(HWND box, UINT message, WPARAM wParam, LPARAM lParam,
                                           UINT_PTR, DWORD_PTR self);
    // The answer to WM_GETOBJECT for the client area of the window or of the
    // folder text box; 0 for the default answer.
    LRESULT AccessibleObject(HWND target, WPARAM wParam);
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void CreateChildWindows(HINSTANCE instance);
    void Paint(HDC target, const RECT& area) const;
    // Draws what lies in the area (client coordinates) into a DC that maps them.
    void PaintLayout(HDC dc, const RECT& area) const;
    void SetCaption(std::size_t index, std::wstring_view caption);
    // Marks a label for the next paint; nothing is drawn now.
    void RepaintLabel(std::size_t index);
    void Click(std::size_t index);
    // Drops mouse and keyboard input queued for the window and its controls.
    void DiscardQueuedInput();
    int ToPixels(int twips) const;
    // Takes `dpi` as the window's: the font made again, the window moved to
    // `frame` with the client area of the layout, every control placed again
    // from the table. The client area is drawn at the next paint.
    void ChangeDpi(int dpi, const RECT& frame);
    void ReadHighContrast();

    int dpi_;
    Handler<bool> highContrastSetting_;
    bool highContrast_ = false;  // draw in the system's colours, with no picture
    UniqueGdi<HFONT> font_;
    UniqueGdi<HBITMAP> picture_;
    UniqueWindow owner_;  // hidden; keeps the window off the task bar
    UniqueWindow window_;
    std::array<HWND, layout::ControlCount> childWindows_{};
    std::array<std::wstring, layout::ControlCount> captions_;
    std::array<PackedColour, layout::ControlCount> colours_{};
    std::array<Handler<void>, 3> clickHandlers_;
    Handler<void> closed_;
    HWND lastFocus_ = nullptr;
    // Looked up when made (where the system has them): once a library's code
    // has run, asking the loader may wait for ever.
    using BlockShutdownFunction = BOOL(WINAPI*)(HWND, LPCWSTR);
    using UnblockShutdownFunction = BOOL(WINAPI*)(HWND);
    BlockShutdownFunction blockShutdown_ = nullptr;
    UnblockShutdownFunction unblockShutdown_ = nullptr;
    // Shown over the window while a command holds its thread; a shared
    // system cursor, loaded before any library's code runs.
    HCURSOR busyCursor_ = nullptr;
    bool commandRunning_ = false;
    bool closeRequested_ = false;                   // while a command ran
    bool paintDeferred_ = false;                    // a paint asked for while a command ran
    std::unique_ptr<Accessibility> accessibility_;  // made when first asked for
};

// The system's dots per inch, as a DPI-aware program sees it.
int SystemDpi();
// Whether the user has turned high contrast on.
bool SystemHighContrast();

}  // namespace quorvex
