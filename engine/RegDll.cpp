#include "engine/RegDll.h"

#include <algorithm>

#include "engine/Text.h"

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
bool IsFailureStatus(std::uint32_t status) { return static_cast<std::int32_t>(status) < 0; }

}  // namespace

RegResult ResultOf(const WorkerReport& report, RegMode mode) {
    switch (report.stage) {
        case WorkerStage::NoFile:
            return RegResult::LoadFailed;
        case WorkerStage::NotLoaded:
            return RegResult::LoadRefused;
        case WorkerStage::OutOfRoom:
            return RegResult::LoadOutOfRoom;
        case WorkerStage::EntryMissing:
            return RegResult::EntryMissing;
        case WorkerStage::Returned:
            // Whether or not its release has ended: that is the copy's affair.
            if (IsFailureStatus(report.status)) {
                return RegResult::EntryFailed;
            }
            return mode == RegModeRegister ? RegResult::Registered : RegResult::Unregistered;
        case WorkerStage::Loading:
        case WorkerStage::InEntryPoint:
            break;
    }
    // Ended there, the worker was ended by the library's code; still there,
    // it ran out of time.
    return report.ended ? RegResult::EntryFailed : RegResult::TimedOut;
}

RegDll::~RegDll() {
    for (const Unfinished& call : unfinished_) {
        kernel_.CloseHandle(call.thread);
    }
}

bool RegDll::StillRunning(const std::wstring& fullPath) {
    std::erase_if(unfinished_, [&](const Unfinished& call) {
        if (!kernel_.Report(call.thread).ended) {
            return false;
        }
        kernel_.CloseHandle(call.thread);
        return true;
    });
    if (unfinished_.empty()) {
        return false;
    }
    const std::optional<FileIdentity> file = kernel_.IdentityOf(fullPath);
    return std::any_of(unfinished_.begin(), unfinished_.end(), [&](const Unfinished& call) {
        return call.file && file ? *call.file == *file
                                 : EqualIgnoringAsciiCase(call.path, fullPath);
    });
}

RegResult RegDll::CallRegEntry(std::wstring path, RegMode mode) {
    if (path.empty()) {
        return RegResult::NoAction;
    }
    // The search flags below take only a fully qualified path.
    const std::optional<std::wstring> fullPath = kernel_.GetFullPathNameW(path);
    if (!fullPath) {
        return RegResult::LoadFailed;
    }
    // An earlier call's entry point that is still running could undo what
    // this one does, after the rows have told of it.
    if (StillRunning(*fullPath)) {
        return RegResult::TimedOut;
    }
    // The library's own imports come from its folder, then the system folder;
    // never from the program's folder (typically a Downloads folder, where
    // anyone's file may lie beside it, loaded here with administrator
    // rights), the current folder or PATH.
    const std::uint32_t flags = kernel_.HasLoadLibrarySearchFlags()
                                    ? LoadLibrarySearchDllLoadDir | LoadLibrarySearchSystem32
                                    : LoadWithAlteredSearchPath;
    KernelServices::Thread worker = kernel_.StartCall({*fullPath, flags, EntryName(mode)});
    if (worker == nullptr) {
        // As for a load without room: whatever is there was not unregistered.
        return RegResult::LoadOutOfRoom;
    }
    // One wait covers the load, the entry point and the release.
    kernel_.WaitForSingleObject(worker, RegEntryTimeoutMs);
    const WorkerReport report = kernel_.Report(worker);
    if (report.ended) {
        kernel_.CloseHandle(worker);
    } else {
        unfinished_.push_back({*fullPath, kernel_.IdentityOf(*fullPath), worker});
    }
    return ResultOf(report, mode);
}

}  // namespace quorvex
