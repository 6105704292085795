// Where the window's labels are, in twips from the client area's top-left
// corner. Written out here rather than read from the window's own layout
// table, so that a label drawn in the wrong place does not take the tests
// with it.
#pragma once

#include <windows.h>

namespace quorvex::testing {

struct TwipsBox {
    int left;
    int top;
    int width;
    int height;
};

namespace boxes {
inline constexpr TwipsBox Label1{120, 240, 4455, 375};   // the red warning
inline constexpr TwipsBox Label2{120, 840, 4455, 375};   // what the utility does
inline constexpr TwipsBox Label3{120, 1440, 4455, 375};  // the prompt for the path
inline constexpr TwipsBox Label4{120, 3240, 4455, 255};  // "Status of Install..."
inline constexpr TwipsBox Label5{120, 3720, 2175, 255};  // the three row titles
inline constexpr TwipsBox Label6{120, 4080, 2175, 255};
inline constexpr TwipsBox Label7{120, 4440, 2175, 255};
inline constexpr TwipsBox UnRegLabel{2400, 3720, 2175, 255};  // the three status texts
inline constexpr TwipsBox CopyLabel{2400, 4080, 2175, 255};
inline constexpr TwipsBox RegLabel{2400, 4440, 2175, 255};
}  // namespace boxes

// The box in pixels at `dpi` dots per inch (1440 twips to the inch).
inline RECT PixelBox(const TwipsBox& box, int dpi = 96) {
    const auto pixels = [dpi](int twips) { return MulDiv(twips, dpi, 1440); };
    return RECT{pixels(box.left), pixels(box.top), pixels(box.left + box.width),
                pixels(box.top + box.height)};
}

}  // namespace quorvex::testing
