// A handler the window calls back: a small callable copied as bytes (a
// lambda that captures `this` or references), held without allocating and
// without what std::function brings along.
#pragma once

#include <cstddef>
#include <memory>
#include <type_traits>

namespace quorvex {

template <typename Result>
class Handler {
  public:
    Handler() = default;
    Handler(std::nullptr_t) {}  // NOLINT(google-explicit-constructor): cleared as a pointer is
    template <typename Callable>
    requires(!std::is_same_v<std::decay_t<Callable>, Handler>)
        Handler(Callable callable) {  // NOLINT(google-explicit-constructor): as a lambda is passed
        static_assert(sizeof(Callable) <= sizeof storage_ && alignof(Callable) <= alignof(void*) &&
                          std::is_trivially_copyable_v<Callable>,
                      "a handler captures a few references or pointers at most");
        std::construct_at(reinterpret_cast<Callable*>(storage_), callable);
        call_ = [](const void* stored) -> Result {
            return (*static_cast<const Callable*>(stored))();
        };
    }

    explicit operator bool() const { return call_ != nullptr; }
    Result operator()() const { return call_(storage_); }

  private:
    alignas(void*) unsigned char storage_[4 * sizeof(void*)]{};
    Result (*call_)(const void*) = nullptr;
};

}  // namespace quorvex
