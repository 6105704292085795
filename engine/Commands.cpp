#include "engine/Commands.h"

#include <string>

#include "engine/Text.h"

namespace quorvex {

namespace {

// Runs one step; a step that throws is abandoned and reported as false.
template <typename Step>
bool Attempt(Step&& step) noexcept {
    try {
        step();
        return true;
    } catch (...) {
        return false;
    }
}

// Thrown to leave the normal road when the copy fails.
struct CopyFailed {};

}  // namespace

void InstallCommands::cmdRegister_Click() noexcept {
    std::wstring source;
    std::wstring destination;
    const bool prepared = Attempt([&] {
        board_.SetButtonsEnabled(false);
        board_.ResetRows();
        source = files_.ApplicationDirectory() + std::wstring(TargetFileName);
        destination = Destination();
    });
    if (!prepared) {
        Attempt([&] { board_.SetButtonsEnabled(true); });
        return;
    }

    // Without a shipped copy to put in its place, the installed one is left alone.
    bool sourceReadable = false;
    Attempt([&] { sourceReadable = files_.CanRead(source); });
    if (!sourceReadable) {
        Attempt([&] { board_.MirrorShadow(StatusRow::Uninstall); });
        TakeErrorRoad();
        return;
    }

    // Without room to load the copy, there may be none to load the new one
    // either: the copy stays as it is. One the loader refused is replaced,
    // as after any other unregistration that failed.
    if (Unregister(destination) == RegResult::LoadOutOfRoom) {
        TakeErrorRoad();
        return;
    }
    // Installing into the program's own folder: the installed copy is the
    // shipped one. Deleted, it would be lost; it is registered where it is.
    const bool inPlace = Delete(destination, source) == Deletion::IsKept;

    const bool installed = Attempt([&] {
        // A copy that stays (loaded by a program, this one included, or held
        // open) but holds the shipped bytes already is the library in place.
        if (!inPlace && !files_.Copy(source, destination) &&
            !files_.HoldSameBytes(source, destination)) {
            throw CopyFailed{};
        }
        board_.SetStatus(StatusRow::Copy, status_text::Successful, colour::Green);
        const RegResult result = invoker_.CallRegEntry(destination, RegModeRegister);
        board_.ShowResult(StatusRow::Install, result);
        board_.MirrorShadow(StatusRow::Copy);
        board_.MirrorShadow(StatusRow::Install);
        board_.SetButtonsEnabled(true);
    });
    if (!installed) {
        TakeErrorRoad();
    }
}

void InstallCommands::cmdUninstall_Click() noexcept {
    std::wstring destination;
    const bool prepared = Attempt([&] {
        board_.SetButtonsEnabled(false);
        board_.ResetRows();
        destination = Destination();
    });
    if (!prepared) {
        Attempt([&] { board_.SetButtonsEnabled(true); });
        return;
    }

    // A copy that is there but was never unregistered stays: deleted, it
    // would leave its registration behind. Its row says "Failed!".
    const RegResult unregistered = Unregister(destination);
    if (unregistered != RegResult::LoadOutOfRoom && unregistered != RegResult::LoadRefused &&
        Delete(destination, {}) == Deletion::Refused) {
        // Whatever its unregistration said, the copy is still installed.
        Attempt([&] { board_.SetStatus(StatusRow::Uninstall, status_text::Failed, colour::Red); });
        Attempt([&] { board_.MirrorShadow(StatusRow::Uninstall); });
    }
    Attempt([&] { board_.SetStatus(StatusRow::Copy, status_text::NotApplicable, colour::Blue); });
    Attempt([&] { board_.MirrorShadow(StatusRow::Copy); });
    Attempt(
        [&] { board_.SetStatus(StatusRow::Install, status_text::NotApplicable, colour::Blue); });
    Attempt([&] { board_.MirrorShadow(StatusRow::Install); });
    Attempt([&] { board_.SetButtonsEnabled(true); });
}

std::wstring InstallCommands::Destination() const {
    // Trimmed and resolved once: the unregistration, the delete, the copy and
    // the registration all name the same file, whatever a library's code does
    // to the current folder meanwhile.
    const std::wstring text = TrimSpaces(board_.FolderText()) + std::wstring(TargetFileName);
    return files_.FullPath(text).value_or(text);
}

RegResult InstallCommands::Unregister(const std::wstring& destination) noexcept {
    RegResult result = RegResult::NoAction;
    Attempt([&] { result = invoker_.CallRegEntry(destination, RegModeUnregister); });
    Attempt([&] { board_.ShowResult(StatusRow::Uninstall, result); });
    Attempt([&] { board_.MirrorShadow(StatusRow::Uninstall); });
    return result;
}

Deletion InstallCommands::Delete(const std::wstring& destination,
                                 const std::wstring& keep) noexcept {
    Deletion deletion = Deletion::Refused;
    Attempt([&] { deletion = files_.Delete(destination, keep); });
    return deletion;
}

void InstallCommands::TakeErrorRoad() noexcept {
    // Each step on its own, so that the buttons come back whatever fails.
    Attempt([&] { board_.SetStatus(StatusRow::Copy, status_text::NotAValidPath, colour::Red); });
    Attempt([&] { board_.MirrorShadow(StatusRow::Copy); });
    Attempt([&] { board_.MirrorShadow(StatusRow::Install); });
    Attempt([&] { board_.SetButtonsEnabled(true); });
}

}  // namespace quorvex
