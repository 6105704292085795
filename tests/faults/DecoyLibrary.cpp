// A library that must never be loaded: it sits where a wrong reading of a
// path would lead (a fullwidth reverse solidus taken for a separator). Its
// DllMain notes the load in the record the fixtures write, so a test in the
// same process sees it.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        wchar_t calls[512] = L"";
        GetEnvironmentVariableW(L"QUORVEX_FIXTURE_CALLS", calls, 512);
        lstrcatW(calls, L"DecoyLoaded;");
        SetEnvironmentVariableW(L"QUORVEX_FIXTURE_CALLS", calls);
    }
    return TRUE;
}

extern "C" __attribute__((dllexport)) HRESULT WINAPI DllRegisterServer() { return S_OK; }

extern "C" __attribute__((dllexport)) HRESULT WINAPI DllUnregisterServer() { return S_OK; }
