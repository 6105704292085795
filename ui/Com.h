// Owners for COM references and strings, and the reference count of the
// objects this program serves.
#pragma once

#include <windows.h>

#include <objbase.h>
#include <oleauto.h>

#include <memory>
#include <utility>

#include "platform/Win32Startup.h"

namespace quorvex {

// One reference to a COM interface, released when the owner goes.
template <typename Interface>
class ComPtr {
  public:
    ComPtr() = default;
    // Takes over a reference the caller holds.
    explicit ComPtr(Interface* adopted) : p_(adopted) {}
    ComPtr(const ComPtr& other) : p_(other.p_) {
        if (p_ != nullptr) {
            p_->AddRef();
        }
    }
    ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    // From an owner of a derived class.
    template <typename Derived>
    ComPtr(ComPtr<Derived>&& other) noexcept  // NOLINT(google-explicit-constructor)
        : p_(std::exchange(other.p_, nullptr)) {}
    ComPtr& operator=(ComPtr other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }
    ~ComPtr() { reset(); }

    Interface* get() const { return p_; }
    Interface* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    void reset() {
        if (Interface* held = std::exchange(p_, nullptr); held != nullptr) {
            held->Release();
        }
    }
    // The slot of an out parameter, emptied first.
    void** Put() {
        reset();
        return reinterpret_cast<void**>(&p_);
    }

  private:
    template <typename>
    friend class ComPtr;
    Interface* p_ = nullptr;
};

struct BstrFree {
    void operator()(BSTR text) const noexcept {
        if (const auto free = OleAut32().Find<decltype(&SysFreeString)>("SysFreeString")) {
            free(text);
        }
    }
};
using UniqueBstr = std::unique_ptr<OLECHAR, BstrFree>;

// The reference count of a COM object this program serves. MakeCom creates
// the object in a std::unique_ptr and hands its first reference to a
// ComPtr; the last Release gives the object back to a std::unique_ptr,
// which deletes it. Derived must be final or have a virtual destructor.
template <typename Derived>
class RefCounted {
  protected:
    ULONG AddReference() { return static_cast<ULONG>(InterlockedIncrement(&count_)); }
    ULONG ReleaseReference() {
        const LONG left = InterlockedDecrement(&count_);
        if (left == 0) {
            const std::unique_ptr<Derived> last(static_cast<Derived*>(this));
        }
        return static_cast<ULONG>(left);
    }

  private:
    LONG count_ = 1;
};

template <typename Object, typename... Arguments>
ComPtr<Object> MakeCom(Arguments&&... arguments) {
    return ComPtr<Object>(
        std::make_unique<Object>(std::forward<Arguments>(arguments)...).release());
}

}  // namespace quorvex
