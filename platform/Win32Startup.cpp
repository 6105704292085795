#include "platform/Win32Startup.h"

#include <windows.h>

#include <ole2.h>

#include <string>

namespace quorvex {

namespace {

using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);

// Looked up, so that a Windows 7 without the loader update still starts.
SetDefaultDllDirectoriesFunction FindSetDefaultDllDirectories() {
    return ProcAddress<SetDefaultDllDirectoriesFunction>(GetModuleHandleW(L"kernel32.dll"),
                                                         "SetDefaultDllDirectories");
}

// The system libraries loaded by name after start-up that are not KnownDLLs:
// for themed controls, the window manager, the crypto base, version records
// and accessibility.
constexpr const wchar_t* LateLoadedLibraries[] = {L"uxtheme.dll", L"dwmapi.dll", L"cryptbase.dll",
                                                  L"version.dll", L"oleacc.dll"};

}  // namespace

bool HasDllSearchFlags() { return FindSetDefaultDllDirectories() != nullptr; }

UniqueModule LoadSystemLibrary(const wchar_t* name) {
    std::wstring path(MAX_PATH, L'\0');
    const UINT length = GetSystemDirectoryW(path.data(), static_cast<UINT>(path.size()));
    if (length == 0 || length >= path.size()) {
        return nullptr;
    }
    path.resize(length);
    path += L"\\";
    path += name;
    return UniqueModule(LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
}

void ApplyProcessSettings() {
    // A message box would freeze the window with no time limit; the library
    // loader and the file calls report their failure instead.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);

    const SetDefaultDllDirectoriesFunction setDefaultDllDirectories =
        FindSetDefaultDllDirectories();
    if (setDefaultDllDirectories != nullptr &&
        setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32) != FALSE) {
        return;
    }
    // Without it, the program's folder cannot be taken out of the search:
    // the current folder goes, and the libraries the system would look for
    // there are loaded now from the system folder, so that a later load by
    // name finds them loaded. They stay loaded until the program ends.
    SetDllDirectoryW(L"");
    for (const wchar_t* name : LateLoadedLibraries) {
        static_cast<void>(LoadSystemLibrary(name).release());
    }
}

HMODULE LazySystemLibrary::Module() {
    InitOnceExecuteOnce(&once_, Load, this, nullptr);
    return module_;
}

BOOL CALLBACK LazySystemLibrary::Load(PINIT_ONCE, PVOID self, PVOID*) {
    auto* library = static_cast<LazySystemLibrary*>(self);
    // Never freed: code of its own may run on other threads until the end.
    library->module_ = LoadSystemLibrary(library->name_).release();
    return TRUE;  // a missing library stays missing: no second attempt
}

LazySystemLibrary& Ole32() {
    static constinit LazySystemLibrary library(L"ole32.dll");
    return library;
}

LazySystemLibrary& OleAut32() {
    static constinit LazySystemLibrary library(L"oleaut32.dll");
    return library;
}

namespace {

struct MainApartment {
    INIT_ONCE started = INIT_ONCE_STATIC_INIT;
    HANDLE ready = nullptr;  // set once it is the main apartment; never closed
};

MainApartment& TheMainApartment() {
    static constinit MainApartment apartment;
    return apartment;
}

DWORD WINAPI ServeMainApartment(LPVOID) {
    const Apartment com(Apartment::With::Com);
    SetEvent(TheMainApartment().ready);
    MSG message{};
    while (GetMessageW(&message, nullptr, 0, 0) != -1) {
        DispatchMessageW(&message);  // a quit message posted by anyone ends nothing
    }
    return 0;
}

BOOL CALLBACK Start(PINIT_ONCE, PVOID, PVOID*) {
    MainApartment& apartment = TheMainApartment();
    apartment.ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const UniqueHandle thread(
        apartment.ready != nullptr
            ? ::CreateThread(nullptr, 0, ServeMainApartment, nullptr, 0, nullptr)
            : nullptr);
    if (!thread && apartment.ready != nullptr) {
        SetEvent(apartment.ready);  // none to wait for; not tried again
    }
    return TRUE;
}

}  // namespace

void AwaitMainApartment() {
    InitOnceExecuteOnce(&TheMainApartment().started, Start, nullptr, nullptr);
    if (const HANDLE ready = TheMainApartment().ready) {
        ::WaitForSingleObject(ready, INFINITE);
    }
}

Apartment::Apartment(With with) {
    LazySystemLibrary& ole32 = Ole32();
    if (with == With::Ole) {
        const auto enter = ole32.Find<decltype(&OleInitialize)>("OleInitialize");
        const auto leave = ole32.Find<Leave>("OleUninitialize");
        if (enter != nullptr && leave != nullptr && SUCCEEDED(enter(nullptr))) {
            leave_ = leave;
        }
    } else {
        const auto enter = ole32.Find<decltype(&CoInitializeEx)>("CoInitializeEx");
        const auto leave = ole32.Find<Leave>("CoUninitialize");
        if (enter != nullptr && leave != nullptr &&
            SUCCEEDED(enter(nullptr, COINIT_APARTMENTTHREADED))) {
            leave_ = leave;
        }
    }
}

Apartment::~Apartment() {
    if (leave_ != nullptr) {
        leave_();
    }
}

}  // namespace quorvex
