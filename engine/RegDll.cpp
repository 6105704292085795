#include "engine/RegDll.h"

namespace quorvex {

namespace {

const char* EntryName(RegMode mode) {
    switch (mode) {
        case RegModeRegister:
            return "DllRegisterServer";
        case RegModeUnregister:
            return "DllUnregisterServer";
        default:
            return nullptr;
    }
}

// Entry points return an HRESULT; only negative ones report failure.
bool IsFailureStatus(std::uint32_t exitCode) { return static_cast<std::int32_t>(exitCode) < 0; }

}  // namespace

RegResult RegDll::CallRegEntry(std::wstring path, RegMode mode) {
    if (path.empty()) {
        return RegResult::NoAction;
    }
    // The search flags below take only a fully qualified path.
    const std::optional<std::wstring> fullPath = kernel_.GetFullPathNameW(path);
    if (!fullPath) {
        return RegResult::LoadFailed;
    }
    // The library's own imports come from its folder, then the system folder;
    // never from the program's folder (typically a Downloads folder, where
    // anyone's file may lie beside it, loaded here with administrator
    // rights), the current folder or PATH.
    const std::uint32_t flags = kernel_.HasLoadLibrarySearchFlags()
                                    ? LoadLibrarySearchDllLoadDir | LoadLibrarySearchSystem32
                                    : LoadWithAlteredSearchPath;
    KernelServices::Module module = kernel_.LoadLibraryExW(*fullPath, flags);
    if (module == nullptr) {
        return RegResult::LoadFailed;
    }

    const char* entryName = EntryName(mode);
    KernelServices::Entry entry =
        entryName != nullptr ? kernel_.GetProcAddress(module, entryName) : nullptr;
    if (entry == nullptr) {
        kernel_.FreeLibrary(module);
        return RegResult::EntryMissing;
    }

    KernelServices::Thread worker = kernel_.CreateThread(entry);
    if (worker == nullptr) {
        kernel_.FreeLibrary(module);
        return RegResult::NoAction;
    }

    const bool ended = kernel_.WaitForSingleObject(worker, RegEntryTimeoutMs) == 0;
    const std::optional<std::uint32_t> exitCode = kernel_.GetExitCodeThread(worker);
    // A fault's code can look like any status, a success among them
    // (0x0EEDFADE, or a C++ exception's): only the containment tells.
    const bool faulted = ended && kernel_.EndedByFault(worker);
    kernel_.CloseHandle(worker);
    if (!ended) {
        // The entry point may still be running on the worker: the library
        // stays loaded for the rest of the process.
        return RegResult::TimedOut;
    }
    kernel_.FreeLibrary(module);

    if (faulted || (exitCode && IsFailureStatus(*exitCode))) {
        return RegResult::EntryFailed;
    }
    return mode == RegModeRegister ? RegResult::Registered : RegResult::Unregistered;
}

}  // namespace quorvex
