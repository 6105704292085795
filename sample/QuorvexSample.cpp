// Quorvexv1.4.dll: an in-process COM server with one stateless class, which
// registers itself under HKEY_CLASSES_ROOT\CLSID.
#include "sample/QuorvexSample.h"

#include <objbase.h>
#include <olectl.h>  // the entry points are declared here and in <objbase.h>
#include <windows.h>

#include <atomic>
#include <cwchar>
#include <new>
#include <string>

#include "sample/RegKey.h"

// The linker's symbol for this library's own module header.
extern "C" IMAGE_DOS_HEADER __ImageBase;  // NOLINT(bugprone-reserved-identifier)

namespace quorvex::sample {
namespace {

// A COM object that lives as long as the library. Its reference count is
// module-level state that COM requires: DllCanUnloadNow reports whether
// anyone still holds it.
template <typename Interface, const IID& InterfaceId>
class StaticObject : public Interface {
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) final {
        if (out == nullptr) {
            return E_POINTER;
        }
        if (iid != IID_IUnknown && iid != InterfaceId) {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        *out = static_cast<Interface*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() final { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() final { return --references_; }

    bool IsHeld() const { return references_.load() != 0; }

  private:
    std::atomic<ULONG> references_{0};
};

class Sample final : public StaticObject<IQuorvexSample, kIIDQuorvexSample> {
  public:
    HRESULT STDMETHODCALLTYPE GetVersion(ULONG* version) override {
        if (version == nullptr) {
            return E_POINTER;
        }
        *version = kSampleVersion;
        return S_OK;
    }
};

constinit Sample sampleObject;

class Factory final : public StaticObject<IClassFactory, IID_IClassFactory> {
  public:
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        if (out == nullptr) {
            return E_POINTER;
        }
        *out = nullptr;
        if (outer != nullptr) {
            return CLASS_E_NOAGGREGATION;
        }
        return sampleObject.QueryInterface(iid, out);
    }
    // A lock keeps the library loaded just as a reference to the factory does.
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        if (lock != FALSE) {
            AddRef();
        } else {
            Release();
        }
        return S_OK;
    }
};

constinit Factory classFactory;

// This library's full path as the loader knows it, or a Win32 error.
DWORD GetOwnPath(std::wstring& path) {
    const auto self = reinterpret_cast<HMODULE>(&__ImageBase);
    // Paths may be longer than MAX_PATH, up to the 32767 characters Windows allows.
    for (path.resize(MAX_PATH); path.size() <= 32768; path.resize(path.size() * 2)) {
        const auto capacity = static_cast<DWORD>(path.size());
        const DWORD length = GetModuleFileNameW(self, path.data(), capacity);
        if (length == 0) {
            return GetLastError();
        }
        if (length < capacity) {
            path.resize(length);
            return ERROR_SUCCESS;
        }
    }
    return ERROR_FILENAME_EXCED_RANGE;
}

LSTATUS CreateKey(HKEY parent, const wchar_t* name, UniqueKey& key) {
    HKEY created = nullptr;
    const LSTATUS status =
        RegCreateKeyExW(parent, name, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_SET_VALUE | KEY_CREATE_SUB_KEY, nullptr, &created, nullptr);
    key.reset(status == ERROR_SUCCESS ? created : nullptr);
    return status;
}

LSTATUS SetString(HKEY key, const wchar_t* name, const wchar_t* value) {
    const auto bytes = static_cast<DWORD>((std::wcslen(value) + 1) * sizeof(wchar_t));
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value), bytes);
}

LSTATUS WriteClass(HKEY classKey, const std::wstring& path) {
    LSTATUS status = SetString(classKey, nullptr, kSampleFriendlyName);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    UniqueKey server;
    status = CreateKey(classKey, L"InprocServer32", server);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    status = SetString(server.get(), nullptr, path.c_str());
    if (status != ERROR_SUCCESS) {
        return status;
    }
    return SetString(server.get(), L"ThreadingModel", L"Apartment");
}

HRESULT Register() {
    std::wstring path;
    if (const DWORD error = GetOwnPath(path); error != ERROR_SUCCESS) {
        return HRESULT_FROM_WIN32(error);
    }
    UniqueKey classKey;
    LSTATUS status = CreateKey(HKEY_CLASSES_ROOT, kSampleClassKey, classKey);
    if (status == ERROR_SUCCESS) {
        status = WriteClass(classKey.get(), path);
        if (status != ERROR_SUCCESS) {
            // Half a registration could make COM load the wrong file or
            // none; an unregistered class at least fails plainly.
            classKey.reset();
            RegDeleteTreeW(HKEY_CLASSES_ROOT, kSampleClassKey);
        }
    }
    return HRESULT_FROM_WIN32(status);
}

}  // namespace
}  // namespace quorvex::sample

using quorvex::sample::kSampleClassKey;
using quorvex::sample::kSampleClsid;

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
    if (out == nullptr) {
        return E_POINTER;
    }
    *out = nullptr;
    if (clsid != kSampleClsid) {
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    return quorvex::sample::classFactory.QueryInterface(iid, out);
}

STDAPI DllCanUnloadNow() {
    using quorvex::sample::classFactory;
    using quorvex::sample::sampleObject;
    return sampleObject.IsHeld() || classFactory.IsHeld() ? S_FALSE : S_OK;
}

STDAPI DllRegisterServer() {
    try {
        return quorvex::sample::Register();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

STDAPI DllUnregisterServer() {
    const LSTATUS status = RegDeleteTreeW(HKEY_CLASSES_ROOT, kSampleClassKey);
    return status == ERROR_FILE_NOT_FOUND ? S_OK : HRESULT_FROM_WIN32(status);
}
