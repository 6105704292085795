#include "tests/e2e/Driver.h"

namespace quorvex::e2e {

namespace {

struct Search {
    const wchar_t* textOrClass;
    HWND found;
};

// Another process's control text is read with WM_GETTEXT: GetWindowText
// does not reach into another process's edit control.
std::wstring WindowText(HWND window) {
    const auto length = SendMessageW(window, WM_GETTEXTLENGTH, 0, 0);
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    const auto copied =
        SendMessageW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
    text.resize(static_cast<std::size_t>(copied));
    return text;
}

BOOL CALLBACK MatchChild(HWND child, LPARAM state) {
    auto* search = reinterpret_cast<Search*>(state);
    wchar_t className[64]{};
    GetClassNameW(child, className, 64);
    if (lstrcmpiW(className, search->textOrClass) == 0 ||
        WindowText(child) == search->textOrClass) {
        search->found = child;
        return FALSE;
    }
    return TRUE;
}

// The window's eight rules, at 96 DPI, are white at their left end.
bool ShowsRules(const testing::PixelImage& image) {
    for (int y : {8, 48, 88, 152, 208, 240, 320, 352}) {
        if (y >= image.height || image.At(10, y) != 0xFFFFFF) {
            return false;
        }
    }
    return true;
}

}  // namespace

double NowMs() {
    LARGE_INTEGER frequency{};
    LARGE_INTEGER now{};
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

StartedProcess StartProcess(const std::wstring& program, const std::wstring& arguments) {
    std::wstring commandLine = L"\"" + program + L"\"";
    if (!arguments.empty()) {
        commandLine += L" " + arguments;
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    if (CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                       nullptr, &startup, &started) == FALSE) {
        return {};
    }
    CloseHandle(started.hThread);
    return {UniqueHandle(started.hProcess), started.dwProcessId};
}

std::optional<Driver> Driver::Launch(const std::wstring& program, const wchar_t* title,
                                     DWORD timeoutMs) {
    StartedProcess started = StartProcess(program);
    if (!started.process) {
        return std::nullopt;
    }
    UniqueHandle process = std::move(started.process);

    // The window shows and paints before the program waits for input, so a
    // sent message that comes back means the first paint is done.
    const double deadline = NowMs() + timeoutMs;
    while (NowMs() < deadline) {
        HWND window = FindWindowW(nullptr, title);
        DWORD owner = 0;
        if (window != nullptr) {
            GetWindowThreadProcessId(window, &owner);
        }
        DWORD_PTR ignored = 0;
        if (owner == started.id && IsWindowVisible(window) != FALSE &&
            SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, &ignored) != 0) {
            return Driver(std::move(process), window);
        }
        if (WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0) {
            return std::nullopt;
        }
        Sleep(1);
    }
    TerminateProcess(process.get(), 1);
    return std::nullopt;
}

HWND Driver::Control(const wchar_t* textOrClass) const {
    Search search{textOrClass, nullptr};
    EnumChildWindows(window_, MatchChild, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::wstring Driver::Text(HWND control) const { return WindowText(control); }

void Driver::Type(const std::wstring& text) const {
    HWND edit = Control(L"Edit");
    SendMessageW(edit, EM_SETSEL, 0, -1);
    SendMessageW(edit, EM_REPLACESEL, TRUE, reinterpret_cast<LPARAM>(text.c_str()));
}

void Driver::Click(const wchar_t* caption) const {
    // BM_CLICK from another process returns after the click handler has.
    SendMessageW(Control(caption), BM_CLICK, 0, 0);
}

testing::PixelImage Driver::CaptureClient(const ImageCheck& shows) const {
    RECT client{};
    GetClientRect(window_, &client);
    POINT origin{0, 0};
    ClientToScreen(window_, &origin);
    // The program repaints after a click has returned, and the screen shows
    // it a moment later: wait until its white rules are on the screen.
    SetForegroundWindow(window_);
    UpdateWindow(window_);
    testing::PixelImage image;
    for (const double deadline = NowMs() + 5000; NowMs() < deadline; Sleep(50)) {
        HDC screen = GetDC(nullptr);
        image = testing::CopyFromDc(screen, origin.x, origin.y, client.right, client.bottom);
        ReleaseDC(nullptr, screen);
        if (ShowsRules(image) && (!shows || shows(image))) {
            break;
        }
    }
    return image;
}

void Driver::CloseBox() const { PostMessageW(window_, WM_SYSCOMMAND, SC_CLOSE, 0); }

bool Driver::WaitForExit(DWORD timeoutMs) const {
    return WaitForSingleObject(process_.get(), timeoutMs) == WAIT_OBJECT_0;
}

}  // namespace quorvex::e2e
