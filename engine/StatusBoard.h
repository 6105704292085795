// The part of the window that changes while a command runs: three status
// rows with drop shadows, the folder text and the three command buttons.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/RegDll.h"

namespace quorvex {

// red + 256 * green + 65536 * blue, the same packing as a Win32 COLORREF.
using PackedColour = std::uint32_t;

constexpr PackedColour PackColour(std::uint8_t red, std::uint8_t green, std::uint8_t blue) {
    return red + 256u * green + 65536u * blue;
}

namespace colour {
inline constexpr PackedColour White = PackColour(255, 255, 255);
inline constexpr PackedColour Blue = PackColour(0, 0, 255);
inline constexpr PackedColour Red = PackColour(255, 0, 0);
inline constexpr PackedColour Green = PackColour(0, 255, 0);
inline constexpr PackedColour ShadowGrey = PackColour(64, 64, 64);
}  // namespace colour

namespace status_text {
inline constexpr std::wstring_view Idle = L"...";
inline constexpr std::wstring_view NoPreviousVersion = L"No previous version.";
inline constexpr std::wstring_view NotValid = L"Not Valid!";
inline constexpr std::wstring_view Failed = L"Failed!";
inline constexpr std::wstring_view Successful = L"Sucessful";
inline constexpr std::wstring_view NotAValidPath = L"Not a valid path";
inline constexpr std::wstring_view NotApplicable = L"N/A";
}  // namespace status_text

enum class StatusRow { Uninstall = 1, Copy = 2, Install = 3 };
inline constexpr StatusRow AllStatusRows[] = {StatusRow::Uninstall, StatusRow::Copy,
                                              StatusRow::Install};

enum class CommandButton { Register, Uninstall, Exit };

struct RowStatus {
    std::wstring_view text;
    PackedColour colour;
};

// The row tables; nothing for a result the row's table leaves out.
std::optional<RowStatus> UninstallRowStatus(RegResult result);
std::optional<RowStatus> InstallRowStatus(RegResult result);

// What the board needs of the window. Any operation may throw when the
// window refuses a write; the commands decide what that means.
class BoardControls {
  public:
    virtual ~BoardControls() = default;
    virtual void SetStatusCaption(StatusRow row, std::wstring_view caption) = 0;
    virtual std::wstring StatusCaption(StatusRow row) const = 0;
    virtual void SetStatusColour(StatusRow row, PackedColour colour) = 0;
    virtual void SetShadowCaption(StatusRow row, std::wstring_view caption) = 0;
    virtual std::wstring FolderText() const = 0;
    virtual void SetButtonEnabled(CommandButton button, bool enabled) = 0;
};

class StatusBoard {
  public:
    explicit StatusBoard(BoardControls& controls) : controls_(controls) {}

    void ResetRows();
    void SetStatus(StatusRow row, std::wstring_view text, PackedColour colour);
    void ShowResult(StatusRow row, RegResult result);
    void MirrorShadow(StatusRow row);
    void SetButtonsEnabled(bool enabled);
    std::wstring FolderText() const { return controls_.FolderText(); }

  private:
    BoardControls& controls_;
};

}  // namespace quorvex
