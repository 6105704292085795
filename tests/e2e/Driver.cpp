#include "tests/e2e/Driver.h"

#include <vector>

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

// The window's font: 8-point "MS Shell Dlg" at the test display's 96 DPI.
constexpr int FontPixels = 11;

// Every text a status row can show.
constexpr const wchar_t* StatusTexts[] = {
    L"...",       L"No previous version.", L"Not Valid!", L"Failed!",
    L"Sucessful", L"Not a valid path",     L"N/A"};
constexpr PackedColour StatusColours[] = {colour::White, colour::Blue, colour::Red, colour::Green};

// The pixels of `text` drawn right-aligned and word-wrapped in a box of that
// size, as the window draws a status row: true where the text is.
std::vector<bool> DrawnText(const wchar_t* text, int width, int height) {
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    const UniqueGdi<HBITMAP> bitmap(CreateCompatibleBitmap(screen, width, height));
    ReleaseDC(nullptr, screen);
    const UniqueGdi<HFONT> font(CreateFontW(-FontPixels, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                                            DEFAULT_CHARSET, 0, 0, 0, 0, L"MS Shell Dlg"));
    const HGDIOBJ previousBitmap = SelectObject(memory, bitmap.get());
    const HGDIOBJ previousFont = SelectObject(memory, font.get());
    RECT box{0, 0, width, height};
    FillRect(memory, &box, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
    SetBkMode(memory, TRANSPARENT);
    SetTextColor(memory, RGB(255, 255, 255));
    DrawTextW(memory, text, -1, &box, DT_RIGHT | DT_WORDBREAK | DT_NOPREFIX | DT_EDITCONTROL);
    SelectObject(memory, previousFont);
    SelectObject(memory, previousBitmap);
    DeleteDC(memory);
    const testing::PixelImage drawn = testing::PixelImage::Of(bitmap.get());
    std::vector<bool> mask(static_cast<std::size_t>(width) * height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            mask[static_cast<std::size_t>(y) * width + x] = drawn.At(x, y) == colour::White;
        }
    }
    return mask;
}

}  // namespace

std::wstring Driver::ReadStatus(const testing::PixelImage& shot, const RECT& box) {
    // The row's colour is the status colour most of its pixels have.
    PackedColour rowColour = colour::White;
    int most = 0;
    for (PackedColour candidate : StatusColours) {
        if (const int count = shot.Count(candidate, box); count > most) {
            most = count;
            rowColour = candidate;
        }
    }
    if (most == 0) {
        return L"";
    }
    const int width = box.right - box.left;
    const int height = box.bottom - box.top;
    std::wstring best;
    std::size_t fewestMisses = 0;
    for (const wchar_t* text : StatusTexts) {
        const std::vector<bool> drawn = DrawnText(text, width, height);
        std::size_t misses = 0;
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                const bool shown = shot.At(box.left + x, box.top + y) == rowColour;
                misses += shown != drawn[static_cast<std::size_t>(y) * width + x] ? 1 : 0;
            }
        }
        if (best.empty() || misses < fewestMisses) {
            best = text;
            fewestMisses = misses;
        }
    }
    // A match leaves at most a few stray pixels; anything else is unknown.
    return fewestMisses * 4 <= static_cast<std::size_t>(most) ? best : L"";
}

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

std::optional<Driver> Driver::Attach(const wchar_t* title, DWORD timeoutMs) {
    for (const double deadline = NowMs() + timeoutMs; NowMs() < deadline; Sleep(50)) {
        HWND window = FindWindowW(nullptr, title);
        DWORD owner = 0;
        DWORD_PTR ignored = 0;
        if (window == nullptr || IsWindowVisible(window) == FALSE ||
            GetWindowThreadProcessId(window, &owner) == 0 ||
            SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, &ignored) == 0) {
            continue;
        }
        UniqueHandle process(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, owner));
        if (process) {
            return Driver(std::move(process), window);
        }
    }
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
