#pragma once

#include <windows.h>

namespace quorvex::foreign {

// The headers of an image mapped at `image`.
inline const IMAGE_NT_HEADERS& HeadersOf(const void* image) {
    const auto* dos = static_cast<const IMAGE_DOS_HEADER*>(image);
    return *reinterpret_cast<const IMAGE_NT_HEADERS*>(static_cast<const char*>(image) +
                                                      dos->e_lfanew);
}

}  // namespace quorvex::foreign
