// The install command through the engine against the same platform calls
// made directly, on the real file system and loader. Prints the median of
// each, in microseconds, and their ratio.
//   engine_bench SHIPPED_LIBRARY [ROUNDS]
#include <windows.h>

#include <ole2.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/Commands.h"
#include "platform/Win32Files.h"
#include "platform/Win32Kernel.h"

namespace {

using namespace quorvex;

// A window that takes every write and shows nothing.
class NoWindow : public BoardControls {
  public:
    explicit NoWindow(std::wstring folder) : folder_(std::move(folder)) {}
    void SetStatusCaption(StatusRow, std::wstring_view caption) override { caption_ = caption; }
    std::wstring StatusCaption(StatusRow) const override { return caption_; }
    void SetStatusColour(StatusRow, PackedColour) override {}
    void SetShadowCaption(StatusRow, std::wstring_view) override {}
    std::wstring FolderText() const override { return folder_; }
    void SetButtonEnabled(CommandButton, bool) override {}

  private:
    std::wstring folder_;
    std::wstring caption_;
};

class AppFolder : public Win32Files {
  public:
    explicit AppFolder(std::wstring folder) : folder_(std::move(folder)) {}
    std::wstring ApplicationDirectory() const override { return folder_; }

  private:
    std::wstring folder_;
};

double NowUs() {
    LARGE_INTEGER frequency{};
    LARGE_INTEGER now{};
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) * 1e6 / static_cast<double>(frequency.QuadPart);
}

// What the install command asks of the platform, written out by hand: the
// library loaded (its imports from its own folder or the system's), its
// entry point run with OLE and the library released, on one worker thread.
// Loading on a thread other than the first costs Wine some 1.7 ms more
// than on the first (0.7 ms), so the yardstick loads where the program must.
struct DirectCall {
    const std::wstring* path;
    const char* name;
};

DWORD WINAPI LoadRunRelease(void* parameter) {
    const auto& call = *static_cast<const DirectCall*>(parameter);
    HMODULE module =
        LoadLibraryExW(call.path->c_str(), nullptr,
                       LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == nullptr) {
        return 0;
    }
    HRESULT status = S_OK;
    if (const FARPROC entry = GetProcAddress(module, call.name)) {
        const bool initialised = SUCCEEDED(OleInitialize(nullptr));
        status =
            reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(reinterpret_cast<void (*)()>(entry))();
        if (initialised) {
            OleUninitialize();
        }
    }
    FreeLibrary(module);
    return static_cast<DWORD>(status);
}

void RunEntry(const std::wstring& path, const char* name) {
    DirectCall call{&path, name};
    DWORD id = 0;
    HANDLE worker = CreateThread(nullptr, 0, LoadRunRelease, &call, 0, &id);
    if (worker != nullptr) {
        WaitForSingleObject(worker, 10000);
        DWORD code = 0;
        GetExitCodeThread(worker, &code);
        CloseHandle(worker);
    }
}

bool Readable(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    CloseHandle(file);
    return true;
}

// The installed copy opened for deletion; deleted unless it is the shipped one.
void DeleteUnlessSame(const std::wstring& destination, const std::wstring& source) {
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE file = CreateFileW(destination.c_str(), DELETE | FILE_READ_ATTRIBUTES, share, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    HANDLE kept = CreateFileW(source.c_str(), FILE_READ_ATTRIBUTES, share, nullptr, OPEN_EXISTING,
                              0, nullptr);
    struct {
        ULONGLONG volume;
        BYTE id[16];
    } a{}, b{};
    const auto idInfo = static_cast<FILE_INFO_BY_HANDLE_CLASS>(18);
    const bool same = kept != INVALID_HANDLE_VALUE &&
                      GetFileInformationByHandleEx(file, idInfo, &a, sizeof a) != FALSE &&
                      GetFileInformationByHandleEx(kept, idInfo, &b, sizeof b) != FALSE &&
                      std::memcmp(&a, &b, sizeof a) == 0;
    if (!same) {
        DWORD posixDelete = 0x3;
        SetFileInformationByHandle(file, static_cast<FILE_INFO_BY_HANDLE_CLASS>(21), &posixDelete,
                                   sizeof posixDelete);
    }
    if (kept != INVALID_HANDLE_VALUE) {
        CloseHandle(kept);
    }
    CloseHandle(file);
}

void DirectInstall(const std::wstring& source, const std::wstring& destination) {
    if (!Readable(source)) {
        return;
    }
    RunEntry(destination, "DllUnregisterServer");
    DeleteUnlessSame(destination, source);
    CopyFileW(source.c_str(), destination.c_str(), FALSE);
    RunEntry(destination, "DllRegisterServer");
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: engine_bench SHIPPED_LIBRARY [ROUNDS]\n");
        return 2;
    }
    const int rounds = argc > 2 ? _wtoi(argv[2]) : 30;
    wchar_t temp[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, temp);
    const std::wstring appFolder = std::wstring(temp) + L"quorvex-bench-app";
    const std::wstring destFolder = std::wstring(temp) + L"quorvex-bench-dest";
    CreateDirectoryW(appFolder.c_str(), nullptr);
    CreateDirectoryW(destFolder.c_str(), nullptr);
    const std::wstring source = appFolder + L"\\Quorvexv1.4.dll";
    const std::wstring destination = destFolder + L"\\Quorvexv1.4.dll";
    CopyFileW(argv[1], source.c_str(), FALSE);

    NoWindow window(destFolder);
    StatusBoard board(window);
    Win32Kernel kernel;
    RegDll invoker(kernel);
    AppFolder files(appFolder);
    InstallCommands commands(board, invoker, files);

    std::vector<double> engine;
    std::vector<double> direct;
    for (int round = 0; round < rounds; ++round) {
        // Alternate, so that neither side always runs on a warmer cache.
        double start = NowUs();
        commands.cmdRegister_Click();
        engine.push_back(NowUs() - start);
        start = NowUs();
        DirectInstall(source, destination);
        direct.push_back(NowUs() - start);
    }
    commands.cmdUninstall_Click();
    DeleteFileW(source.c_str());
    RemoveDirectoryW(appFolder.c_str());
    RemoveDirectoryW(destFolder.c_str());

    const double engineUs = Median(engine);
    const double directUs = Median(direct);
    std::printf("engine_install_us=%.0f\ndirect_install_us=%.0f\nengine_to_direct=%.3f\n", engineUs,
                directUs, engineUs / directUs);
    return 0;
}
