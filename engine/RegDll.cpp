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
    kernel_.BeginForeignCode();
    KernelServices::Module module = kernel_.LoadLibraryExW(*fullPath, flags);
    const Outcome outcome =
        module != nullptr ? RunEntryPoint(module, mode) : Outcome{RegResult::LoadFailed, false};
    // A thread the library started (on its load, or in its entry point)
    // would wake up in unmapped code: while one runs, the library stays
    // loaded for the rest of the process.
    const bool threadsRemain = kernel_.EndForeignCode();
    if (outcome.mayRelease && !threadsRemain) {
        kernel_.FreeLibrary(module);
    }
    return outcome.result;
}

RegDll::Outcome RegDll::RunEntryPoint(KernelServices::Module module, RegMode mode) {
    const char* entryName = EntryName(mode);
    KernelServices::Entry entry =
        entryName != nullptr ? kernel_.GetProcAddress(module, entryName) : nullptr;
    if (entry == nullptr) {
        return {RegResult::EntryMissing, true};
    }

    KernelServices::Thread worker = kernel_.CreateThread(entry);
    if (worker == nullptr) {
        return {RegResult::NoAction, true};
    }

    const bool ended = kernel_.WaitForSingleObject(worker, RegEntryTimeoutMs) == 0;
    const std::optional<std::uint32_t> exitCode = kernel_.GetExitCodeThread(worker);
    // A worker that ended without the entry point's return has an exit code
    // that may look like any status: only its return tells.
    const bool returned = ended && kernel_.EntryReturned(worker);
    kernel_.CloseHandle(worker);
    if (!ended) {
        // The entry point may still be running on the worker.
        return {RegResult::TimedOut, false};
    }
    if (!returned) {
        // Its state is broken, and unloading would run its detach code on it.
        return {RegResult::EntryFailed, false};
    }
    if (exitCode && IsFailureStatus(*exitCode)) {
        return {RegResult::EntryFailed, true};
    }
    return {mode == RegModeRegister ? RegResult::Registered : RegResult::Unregistered, true};
}

}  // namespace quorvex
