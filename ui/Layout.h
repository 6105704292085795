// The fixed layout of the main window: every control, in twips from the
// top-left corner of the client area. Code that creates and paints the
// window reads this table and nothing else.
#pragma once

#include <optional>
#include <string_view>

#include "engine/Commands.h"
#include "engine/StatusBoard.h"

namespace quorvex::layout {

enum class Kind { Label, Line, TextBox, Button };
enum class Align { Left, Right, Centre };

inline constexpr int ClientWidthTwips = 4680;
inline constexpr int ClientHeightTwips = 5370;
inline constexpr int TwipsPerInch = 1440;

// Text colour of controls drawn in the system's own colours.
inline constexpr std::optional<PackedColour> SystemColour = std::nullopt;

struct Control {
    std::wstring_view name;
    Kind kind;
    int left;
    int top;
    int width;   // lines: their length
    int height;  // lines: 0, as they are one pixel whatever the DPI
    std::wstring_view caption;
    std::optional<PackedColour> colour;
    Align align;
    int tabIndex;
    std::wstring_view shadowOf;  // the label this one is the drop shadow of
};

inline constexpr std::wstring_view Label1Text =
    L"Warning: You must not be running any programs that use this .dll or it will fail to "
    L"install sucessfully";
inline constexpr std::wstring_view Label2Text =
    L"This install utililty will uninstall any previous versions of this .dll and install and "
    L"register the newer version.";
inline constexpr std::wstring_view Label3Text =
    L"If the path below is not the correct path to your window's system folder, please type in "
    L"the correct path.";

using enum Kind;
using enum Align;
using namespace colour;

// clang-format off
inline constexpr Control Controls[] = {
    // name            kind     left  top   width height caption                              colour        align   tab shadow of
    {L"Label1",        Label,   120,  240,  4455, 375, Label1Text,                            Red,          Left,   13, L""},
    {L"Label2",        Label,   120,  840,  4455, 375, Label2Text,                            White,        Left,   12, L""},
    {L"Label8",        Label,   135,  855,  4455, 375, Label2Text,                            ShadowGrey,   Left,   14, L"Label2"},
    {L"Label3",        Label,   120,  1440, 4455, 375, Label3Text,                            White,        Left,   11, L""},
    {L"Label9",        Label,   135,  1455, 4455, 375, Label3Text,                            ShadowGrey,   Left,   15, L"Label3"},
    {L"FolderText",    TextBox, 120,  1920, 4455, 285, DefaultFolder,                         SystemColour, Left,   6,  L""},
    {L"cmdRegister",   Button,  120,  2400, 4455, 255, L"Install and Register DLL",           SystemColour, Centre, 5,  L""},
    {L"cmdUninstall",  Button,  120,  2760, 4455, 255, L"Uninstall DLL without Install",      SystemColour, Centre, 3,  L""},
    {L"Label4",        Label,   120,  3240, 4455, 255, L"Status of Install...",               White,        Left,   10, L""},
    {L"Label10",       Label,   135,  3255, 3255, 255, L"Status of Install...",               ShadowGrey,   Left,   16, L"Label4"},
    {L"Label5",        Label,   120,  3720, 2175, 255, L"UnInstall Previous Version...",      White,        Left,   0,  L""},
    {L"Label11",       Label,   135,  3735, 2175, 255, L"UnInstall Previous Version...",      ShadowGrey,   Left,   17, L"Label5"},
    {L"UnRegLabel",    Label,   2400, 3720, 2175, 255, L"...",                                White,        Right,  9,  L""},
    {L"Label14",       Label,   2415, 3735, 2175, 255, L"...",                                ShadowGrey,   Right,  20, L"UnRegLabel"},
    {L"Label6",        Label,   120,  4080, 2175, 255, L"Copy DLL to System Folder...",       White,        Left,   1,  L""},
    {L"Label12",       Label,   135,  4095, 2175, 255, L"Copy DLL to System Folder...",       ShadowGrey,   Left,   18, L"Label6"},
    {L"CopyLabel",     Label,   2400, 4080, 2175, 255, L"...",                                White,        Right,  8,  L""},
    {L"Label15",       Label,   2415, 4095, 2175, 255, L"...",                                ShadowGrey,   Right,  21, L"CopyLabel"},
    {L"Label7",        Label,   120,  4440, 2175, 255, L"Install Current Version...",         White,        Left,   2,  L""},
    {L"Label13",       Label,   135,  4455, 2175, 255, L"Install Current Version...",         ShadowGrey,   Left,   19, L"Label7"},
    {L"RegLabel",      Label,   2400, 4440, 2175, 255, L"...",                                White,        Right,  7,  L""},
    {L"Label16",       Label,   2415, 4455, 2175, 255, L"...",                                ShadowGrey,   Right,  22, L"RegLabel"},
    {L"ExitCmd",       Button,  120,  4920, 4455, 255, L"Exit Utility",                       SystemColour, Centre, 4,  L""},
    {L"Line7",         Line,    120,  120,  4440, 0,   L"",                                   White,        Left,   -1, L""},
    {L"Line1",         Line,    120,  720,  4440, 0,   L"",                                   White,        Left,   -1, L""},
    {L"Line2",         Line,    120,  1320, 4440, 0,   L"",                                   White,        Left,   -1, L""},
    {L"Line3",         Line,    120,  2280, 4440, 0,   L"",                                   White,        Left,   -1, L""},
    {L"Line4",         Line,    120,  3120, 4440, 0,   L"",                                   White,        Left,   -1, L""},
    {L"Line5",         Line,    120,  3600, 4440, 0,   L"",                                   White,        Left,   -1, L""},
    {L"Line6",         Line,    120,  4800, 4440, 0,   L"",                                   White,        Left,   -1, L""},
    {L"Line8",         Line,    120,  5280, 4440, 0,   L"",                                   White,        Left,   -1, L""},
};
// clang-format on

inline constexpr std::size_t ControlCount = std::size(Controls);

// Index of a control in the table; the table is fixed, so a bad name is a
// compile-time error wherever this is used in a constant expression.
constexpr std::size_t IndexOf(std::wstring_view name) {
    for (std::size_t i = 0; i < ControlCount; ++i) {
        if (Controls[i].name == name) {
            return i;
        }
    }
    throw "no such control";
}

// The status label and shadow label of each row, in row order.
struct RowControls {
    std::size_t status;
    std::size_t shadow;
};
inline constexpr RowControls StatusRowControls[] = {
    {IndexOf(L"UnRegLabel"), IndexOf(L"Label14")},
    {IndexOf(L"CopyLabel"), IndexOf(L"Label15")},
    {IndexOf(L"RegLabel"), IndexOf(L"Label16")},
};

constexpr const RowControls& ControlsOf(StatusRow row) {
    return StatusRowControls[static_cast<std::size_t>(row) - 1];
}

}  // namespace quorvex::layout
