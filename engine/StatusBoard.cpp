#include "engine/StatusBoard.h"

#include <array>

namespace quorvex {

std::optional<RowStatus> UninstallRowStatus(RegResult result) {
    switch (result) {
        case RegResult::LoadFailed:
            return RowStatus{status_text::NoPreviousVersion, colour::Blue};
        case RegResult::EntryMissing:
            return RowStatus{status_text::NotValid, colour::Red};
        case RegResult::TimedOut:
        case RegResult::EntryFailed:
        case RegResult::LoadOutOfRoom:
        case RegResult::LoadRefused:
            return RowStatus{status_text::Failed, colour::Red};
        case RegResult::Unregistered:
            return RowStatus{status_text::Successful, colour::Green};
        default:
            return std::nullopt;
    }
}

std::optional<RowStatus> InstallRowStatus(RegResult result) {
    switch (result) {
        case RegResult::LoadFailed:
        case RegResult::EntryMissing:
        case RegResult::TimedOut:
        case RegResult::EntryFailed:
        case RegResult::LoadOutOfRoom:
        case RegResult::LoadRefused:
            return RowStatus{status_text::Failed, colour::Red};
        case RegResult::Registered:
            return RowStatus{status_text::Successful, colour::Green};
        default:
            return std::nullopt;
    }
}

void StatusBoard::ResetRows() {
    for (StatusRow row : AllStatusRows) {
        SetStatus(row, status_text::Idle, colour::White);
    }
}

void StatusBoard::SetStatus(StatusRow row, std::wstring_view text, PackedColour colour) {
    controls_.SetStatusColour(row, colour);
    controls_.SetStatusCaption(row, text);
}

void StatusBoard::ShowResult(StatusRow row, RegResult result) {
    std::optional<RowStatus> status;
    if (row == StatusRow::Uninstall) {
        status = UninstallRowStatus(result);
    } else if (row == StatusRow::Install) {
        status = InstallRowStatus(result);
    }
    if (status) {
        SetStatus(row, status->text, status->colour);
    }
}

void StatusBoard::MirrorShadow(StatusRow row) {
    controls_.SetShadowCaption(row, controls_.StatusCaption(row));
}

void StatusBoard::SetButtonsEnabled(bool enabled) {
    // A refused button does not keep the others from changing; the first
    // refusal is passed on once all three have been tried.
    constexpr std::array buttons{CommandButton::Register, CommandButton::Uninstall,
                                 CommandButton::Exit};
    for (auto button = buttons.begin(); button != buttons.end(); ++button) {
        try {
            controls_.SetButtonEnabled(*button, enabled);
        } catch (...) {
            for (auto rest = button + 1; rest != buttons.end(); ++rest) {
                try {
                    controls_.SetButtonEnabled(*rest, enabled);
                } catch (...) {
                    // only the first refusal is passed on
                }
            }
            throw;
        }
    }
}

}  // namespace quorvex
