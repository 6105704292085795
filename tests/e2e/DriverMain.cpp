// quorvex_driver: the end-to-end driver as a command, for the tests and the
// benchmarks. Prints key=value lines.
//   quorvex_driver create-sample            create the sample class through COM
//   quorvex_driver startup PROGRAM TITLE    start to first paint, in ms
//   quorvex_driver install PROGRAM FOLDER   one install click, in ms, and the
//                                           program's peak working set after it
//   quorvex_driver wait-window TITLE DESKTOP
//                                           until the program already running on
//                                           that desktop shows its window
//   quorvex_driver click-install TITLE DESKTOP
//                                           in that program, one install click
//                                           with the folder as it stands; prints
//                                           the three rows' texts
#include <windows.h>

#include <psapi.h>

#include <cstdio>
#include <string>

#include "sample/QuorvexSample.h"
#include "tests/e2e/Driver.h"
#include "tests/support/LabelBoxes.h"

namespace {

using quorvex::e2e::Driver;
using quorvex::e2e::NowMs;

int CreateSample() {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    quorvex::sample::IQuorvexSample* object = nullptr;
    const HRESULT created =
        CoCreateInstance(quorvex::sample::kSampleClsid, nullptr, CLSCTX_INPROC_SERVER,
                         quorvex::sample::kIIDQuorvexSample, reinterpret_cast<void**>(&object));
    ULONG version = 0;
    const bool works = SUCCEEDED(created) && SUCCEEDED(object->GetVersion(&version)) &&
                       version == quorvex::sample::kSampleVersion;
    if (object != nullptr) {
        object->Release();
    }
    std::printf("create_hresult=0x%08lx\n", static_cast<unsigned long>(created));
    CoUninitialize();
    return works ? 0 : 1;
}

void Close(const Driver& program) {
    program.CloseBox();
    program.WaitForExit(10000);
}

int Startup(const wchar_t* program, const wchar_t* title) {
    // Out of the way of every window measured: under the pointer, a window
    // has a mouse move to answer before anything else, and the program
    // centres its window where the display's pointer starts.
    SetCursorPos(0, 0);
    const double start = NowMs();
    const auto driven = Driver::Launch(program, title);
    if (!driven) {
        return 1;
    }
    std::printf("startup_ms=%.1f\n", NowMs() - start);
    Close(*driven);
    return 0;
}

int Install(const wchar_t* program, const wchar_t* folder) {
    const auto driven = Driver::Launch(program, quorvex::e2e::ProgramTitle);
    if (!driven) {
        return 1;
    }
    driven->Type(folder);
    const double start = NowMs();
    driven->Click(L"Install and Register DLL");
    std::printf("install_ms=%.1f\n", NowMs() - start);
    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof memory;
    if (GetProcessMemoryInfo(driven->Process(), &memory, sizeof memory) != FALSE) {
        std::printf("peak_working_set_kb=%llu\n",
                    static_cast<unsigned long long>(memory.PeakWorkingSetSize / 1024));
    }
    Close(*driven);
    return 0;
}

// Moves this thread to the named desktop (one of Wine's own, which draws
// window frames), where the program's window is found; waits for the
// desktop to be made, as Wine makes it when its first program starts.
bool UseDesktop(const wchar_t* name) {
    for (const double deadline = NowMs() + 30000; NowMs() < deadline; Sleep(50)) {
        if (HDESK desktop = OpenDesktopW(name, 0, FALSE, GENERIC_ALL); desktop != nullptr) {
            return SetThreadDesktop(desktop) != FALSE;
        }
    }
    return false;
}

int ClickInstall(const wchar_t* title, const wchar_t* desktop) {
    const auto driven = UseDesktop(desktop) ? Driver::Attach(title) : std::nullopt;
    if (!driven) {
        return 1;
    }
    driven->Click(L"Install and Register DLL");
    namespace boxes = quorvex::testing::boxes;
    using quorvex::testing::PixelBox;
    // Every install ends with a result in the first row.
    const quorvex::testing::PixelImage shot =
        driven->CaptureClient([](const quorvex::testing::PixelImage& image) {
            return image.Count(quorvex::colour::White, PixelBox(boxes::UnRegLabel)) == 0;
        });
    const std::pair<const char*, quorvex::testing::TwipsBox> rows[] = {
        {"uninstall_row", boxes::UnRegLabel},
        {"copy_row", boxes::CopyLabel},
        {"install_row", boxes::RegLabel}};
    for (const auto& [name, box] : rows) {
        std::printf("%s=%ls\n", name, Driver::ReadStatus(shot, PixelBox(box)).c_str());
    }
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"create-sample") {
        return CreateSample();
    }
    if (command == L"startup" && argc == 4) {
        return Startup(argv[2], argv[3]);
    }
    if (command == L"install" && argc == 4) {
        return Install(argv[2], argv[3]);
    }
    if (command == L"wait-window" && argc == 4) {
        return UseDesktop(argv[3]) && Driver::Attach(argv[2]) ? 0 : 1;
    }
    if (command == L"click-install" && argc == 4) {
        return ClickInstall(argv[2], argv[3]);
    }
    std::fprintf(
        stderr,
        "usage: quorvex_driver create-sample | startup PROGRAM TITLE | install PROGRAM FOLDER |\n"
        "       wait-window TITLE DESKTOP | click-install TITLE DESKTOP\n");
    return 2;
}
