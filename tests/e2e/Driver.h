// Drives a running QuorvexInstall.exe from another process, as a user would:
// finds its window by title, types into the folder box, clicks buttons, and
// captures what the window shows.
#pragma once

#include <windows.h>

#include <functional>
#include <optional>
#include <string>

#include "platform/Handles.h"
#include "tests/support/PixelImage.h"

namespace quorvex::e2e {

inline constexpr wchar_t ProgramTitle[] = L"Quorvex v1.4 Install";

class Driver {
  public:
    // Starts the program and waits until its window has painted and waits for
    // input; nothing when it did not within the time.
    static std::optional<Driver> Launch(const std::wstring& program, const wchar_t* title,
                                        DWORD timeoutMs = 30000);
    // The program already running with that window title, once its window
    // shows and waits for input; nothing when it did not within the time.
    static std::optional<Driver> Attach(const wchar_t* title, DWORD timeoutMs = 30000);

    HWND Window() const { return window_; }
    HANDLE Process() const { return process_.get(); }
    // A child window by its text ("Exit Utility") or, for the text box, by class ("Edit").
    HWND Control(const wchar_t* textOrClass) const;

    // Replaces the folder box's text, as a paste would.
    void Type(const std::wstring& text) const;
    std::wstring Text(HWND control) const;
    // Clicks a button; returns once the program has handled the click.
    void Click(const wchar_t* caption) const;
    // What the screen shows of the client area, as the user sees it. The
    // screen follows a click only after the program has painted and the
    // display has caught up: with `shows`, waits (5 s at most) until it holds.
    using ImageCheck = std::function<bool(const testing::PixelImage&)>;
    testing::PixelImage CaptureClient(const ImageCheck& shows = nullptr) const;
    // Which status text a row shows on the screen ("" when none can be
    // told), read by drawing each of the texts the rows can show as the
    // window draws them and taking the one that matches the row's pixels.
    static std::wstring ReadStatus(const testing::PixelImage& shot, const RECT& box);
    // Closes the window with its close box (the system menu's Close).
    void CloseBox() const;
    bool WaitForExit(DWORD timeoutMs) const;

  private:
    Driver(UniqueHandle process, HWND window) : process_(std::move(process)), window_(window) {}

    UniqueHandle process_;
    HWND window_;
};

struct StartedProcess {
    UniqueHandle process;
    DWORD id = 0;
};
// Starts a program with the given arguments; a null handle when it cannot.
StartedProcess StartProcess(const std::wstring& program, const std::wstring& arguments = L"");

// Milliseconds since an arbitrary start, with sub-millisecond resolution.
double NowMs();

}  // namespace quorvex::e2e
