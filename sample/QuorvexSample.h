// The one class of the sample COM server Quorvexv1.4.dll: its identifiers,
// where it is registered, and its custom interface. Shared by the library
// and its tests.
#pragma once

#include <objbase.h>

namespace quorvex::sample {

// {A76248CA-888F-48C3-A189-0B2C40C98AA5}
inline constexpr CLSID kSampleClsid = {
    0xa76248ca, 0x888f, 0x48c3, {0xa1, 0x89, 0x0b, 0x2c, 0x40, 0xc9, 0x8a, 0xa5}};

// The class key below HKEY_CLASSES_ROOT; the CLSID's text is its last part,
// so the two cannot drift apart.
inline constexpr wchar_t kSampleClassKey[] = L"CLSID\\{A76248CA-888F-48C3-A189-0B2C40C98AA5}";
inline constexpr const wchar_t* kSampleClsidString = kSampleClassKey + 6;

inline constexpr wchar_t kSampleFriendlyName[] = L"Quorvex Sample";

// {C747CCE4-3A2C-4412-88AD-10D77DBF1D13}
inline constexpr IID kIIDQuorvexSample = {
    0xc747cce4, 0x3a2c, 0x4412, {0x88, 0xad, 0x10, 0xd7, 0x7d, 0xbf, 0x1d, 0x13}};

// The library's version, 1.4, as 0xMMMMmmmm.
inline constexpr ULONG kSampleVersion = 0x00010004;

// The class's one method beyond IUnknown. There is no proxy for it, so it is
// reachable only from the apartment that created the object (the class is
// registered as "Apartment").
struct IQuorvexSample : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetVersion(ULONG* version) = 0;
};

}  // namespace quorvex::sample
