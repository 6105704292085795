// An owner for registry keys.
#pragma once

#include <windows.h>

#include <memory>
#include <type_traits>

namespace quorvex::sample {

struct RegKeyCloser {
    using pointer = HKEY;
    void operator()(HKEY key) const noexcept { RegCloseKey(key); }
};
// Never given a predefined key such as HKEY_CLASSES_ROOT.
using UniqueKey = std::unique_ptr<std::remove_pointer_t<HKEY>, RegKeyCloser>;

}  // namespace quorvex::sample
