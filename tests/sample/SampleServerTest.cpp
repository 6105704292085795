// The built Quorvexv1.4.dll, loaded and registered for real, and its class
// created through COM.
#include <gtest/gtest.h>

#include <objbase.h>
#include <windows.h>

#include <memory>
#include <string>

#include "sample/QuorvexSample.h"
#include "sample/RegKey.h"

namespace quorvex::sample {
namespace {

using ServerEntry = HRESULT(WINAPI*)();
using GetClassObjectEntry = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);

// Tests put this key, or one below it, in place of HKEY_CLASSES_ROOT.
constexpr wchar_t kScratchKey[] = L"Software\\Quorvex sample tests";

std::wstring ModulePath(HMODULE module) {
    wchar_t path[MAX_PATH * 4] = L"";
    GetModuleFileNameW(module, path, MAX_PATH * 4);
    return path;
}

// The library the build put beside this test program.
std::wstring LibraryPath() {
    std::wstring path = ModulePath(nullptr);
    return path.erase(path.find_last_of(L'\\') + 1) + L"Quorvexv1.4.dll";
}

// A string value, or "" when it is missing or not a string.
std::wstring ReadString(HKEY root, const std::wstring& key, const wchar_t* name) {
    wchar_t value[MAX_PATH * 4] = L"";
    DWORD bytes = sizeof value;
    RegGetValueW(root, key.c_str(), name, RRF_RT_REG_SZ | RRF_ZEROONFAILURE, nullptr, value,
                 &bytes);
    return value;
}

bool KeyExists(HKEY root, const wchar_t* key) {
    HKEY opened = nullptr;
    const bool exists = RegOpenKeyExW(root, key, 0, KEY_READ, &opened) == ERROR_SUCCESS;
    const UniqueKey owner(opened);
    return exists;
}

UniqueKey CreateKey(HKEY parent, const wchar_t* name, DWORD options = REG_OPTION_NON_VOLATILE) {
    HKEY created = nullptr;
    RegCreateKeyExW(parent, name, 0, nullptr, options, KEY_ALL_ACCESS, nullptr, &created, nullptr);
    return UniqueKey(created);
}

class SampleServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        RemoveRegistryTraces();
        // A single-threaded apartment, where the "Apartment" class is created
        // directly and its custom interface is reachable.
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        ASSERT_TRUE(library_) << "cannot load Quorvexv1.4.dll beside the tests";
        ASSERT_TRUE(registerServer_ && unregisterServer_ && canUnloadNow_ && getClassObject_);
    }
    void TearDown() override {
        CoUninitialize();
        RemoveRegistryTraces();
    }
    static void RemoveRegistryTraces() {
        RegOverridePredefKey(HKEY_CLASSES_ROOT, nullptr);
        RegDeleteTreeW(HKEY_CLASSES_ROOT, kSampleClassKey);
        RegDeleteTreeW(HKEY_CURRENT_USER, kScratchKey);
    }
    // Makes HKEY_CLASSES_ROOT mean another key, in this process only.
    static void RedirectClassesRoot(HKEY key) {
        ASSERT_EQ(RegOverridePredefKey(HKEY_CLASSES_ROOT, key), ERROR_SUCCESS);
    }

    template <typename Function>
    Function Entry(const char* name) const {
        // Through void (*)(), the one function type a cast may go through unchecked.
        return reinterpret_cast<Function>(
            reinterpret_cast<void (*)()>(GetProcAddress(library_.get(), name)));
    }

    struct ModuleReleaser {
        using pointer = HMODULE;
        void operator()(HMODULE module) const noexcept { FreeLibrary(module); }
    };
    const std::unique_ptr<std::remove_pointer_t<HMODULE>, ModuleReleaser> library_{
        LoadLibraryW(LibraryPath().c_str())};
    const std::wstring serverKey_ = std::wstring(kSampleClassKey) + L"\\InprocServer32";
    const ServerEntry registerServer_ = Entry<ServerEntry>("DllRegisterServer");
    const ServerEntry unregisterServer_ = Entry<ServerEntry>("DllUnregisterServer");
    const ServerEntry canUnloadNow_ = Entry<ServerEntry>("DllCanUnloadNow");
    const GetClassObjectEntry getClassObject_ = Entry<GetClassObjectEntry>("DllGetClassObject");
};

TEST_F(SampleServerTest, RegisterNamesTheLoadedFileAsTheInprocServer) {
    ASSERT_EQ(registerServer_(), S_OK);
    EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, kSampleClassKey, nullptr), kSampleFriendlyName);
    EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, serverKey_, nullptr), ModulePath(library_.get()));
    EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, serverKey_, L"ThreadingModel"), L"Apartment");

    // Registering again repairs an existing registration.
    ASSERT_EQ(RegSetKeyValueW(HKEY_CLASSES_ROOT, serverKey_.c_str(), L"ThreadingModel", REG_SZ,
                              L"Free", sizeof L"Free"),
              ERROR_SUCCESS);
    EXPECT_EQ(registerServer_(), S_OK);
    EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, serverKey_, L"ThreadingModel"), L"Apartment");
}

TEST_F(SampleServerTest, CreatedObjectKeepsComReferenceRules) {
    ASSERT_EQ(registerServer_(), S_OK);
    IUnknown* unknown = nullptr;
    ASSERT_EQ(CoCreateInstance(kSampleClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<void**>(&unknown)),
              S_OK);
    EXPECT_EQ(canUnloadNow_(), S_FALSE);

    IQuorvexSample* sample = nullptr;
    ASSERT_EQ(unknown->QueryInterface(kIIDQuorvexSample, reinterpret_cast<void**>(&sample)), S_OK);
    ULONG version = 0;
    EXPECT_EQ(sample->GetVersion(&version), S_OK);
    EXPECT_EQ(version, kSampleVersion);

    // Every interface leads back to the same IUnknown.
    IUnknown* identity = nullptr;
    ASSERT_EQ(sample->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
    EXPECT_EQ(identity, unknown);
    EXPECT_EQ(identity->Release(), 2u);

    // A refused interface takes no reference and clears the pointer.
    void* other = &version;
    EXPECT_EQ(unknown->QueryInterface(IID_IDispatch, &other), E_NOINTERFACE);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(unknown->QueryInterface(IID_IUnknown, nullptr), E_POINTER);

    EXPECT_EQ(unknown->AddRef(), 3u);
    EXPECT_EQ(unknown->Release(), 2u);
    EXPECT_EQ(sample->Release(), 1u);
    EXPECT_EQ(canUnloadNow_(), S_FALSE);
    EXPECT_EQ(unknown->Release(), 0u);
    EXPECT_EQ(canUnloadNow_(), S_OK);
}

TEST_F(SampleServerTest, ClassFactoryServesOnlyItsClassAndHoldsTheLibraryWhileLocked) {
    void* out = &out;
    EXPECT_EQ(getClassObject_(IID_IUnknown, IID_IClassFactory, &out), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(out, nullptr);

    IClassFactory* factory = nullptr;
    ASSERT_EQ(getClassObject_(kSampleClsid, IID_IClassFactory, reinterpret_cast<void**>(&factory)),
              S_OK);
    EXPECT_EQ(factory->CreateInstance(factory, IID_IUnknown, &out), CLASS_E_NOAGGREGATION);
    // A lock outlives the reference it was taken through.
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    factory->Release();
    EXPECT_EQ(canUnloadNow_(), S_FALSE);
    ASSERT_EQ(getClassObject_(kSampleClsid, IID_IClassFactory, reinterpret_cast<void**>(&factory)),
              S_OK);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    factory->Release();
    EXPECT_EQ(canUnloadNow_(), S_OK);
}

TEST_F(SampleServerTest, UnregisterRemovesTheWholeClassKeyAndMayBeRepeated) {
    ASSERT_EQ(registerServer_(), S_OK);
    ASSERT_TRUE(CreateKey(HKEY_CLASSES_ROOT, (serverKey_ + L"\\Extra").c_str()));
    EXPECT_EQ(unregisterServer_(), S_OK);
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kSampleClassKey));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"CLSID"));
    EXPECT_EQ(unregisterServer_(), S_OK);

    IUnknown* unknown = nullptr;
    EXPECT_EQ(CoCreateInstance(kSampleClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<void**>(&unknown)),
              REGDB_E_CLASSNOTREG);
}

// Wine creates keys below a key opened read-only, so a read-only root cannot
// stand for an unwritable place here; a deleted root refuses everything.
TEST_F(SampleServerTest, DeletedClassesRootFailsBothEntryPoints) {
    const UniqueKey scratch = CreateKey(HKEY_CURRENT_USER, kScratchKey);
    const UniqueKey gone = CreateKey(scratch.get(), L"gone");
    ASSERT_EQ(RegDeleteKeyW(scratch.get(), L"gone"), ERROR_SUCCESS);
    RedirectClassesRoot(gone.get());

    EXPECT_EQ(registerServer_(), HRESULT_FROM_WIN32(ERROR_KEY_DELETED));
    EXPECT_EQ(unregisterServer_(), HRESULT_FROM_WIN32(ERROR_KEY_DELETED));
    RedirectClassesRoot(nullptr);
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kSampleClassKey));
}

// A class key left volatile may only have volatile subkeys: the friendly
// name is written into it, and then InprocServer32 cannot be created.
TEST_F(SampleServerTest, RegisterThatFailsHalfwayRemovesWhatItWrote) {
    const UniqueKey scratch = CreateKey(HKEY_CURRENT_USER, kScratchKey);
    const UniqueKey classes = CreateKey(scratch.get(), L"CLSID");
    ASSERT_TRUE(CreateKey(classes.get(), kSampleClsidString, REG_OPTION_VOLATILE));
    RedirectClassesRoot(scratch.get());

    EXPECT_EQ(registerServer_(), HRESULT_FROM_WIN32(ERROR_CHILD_MUST_BE_VOLATILE));
    EXPECT_FALSE(KeyExists(scratch.get(), kSampleClassKey));
    EXPECT_TRUE(KeyExists(scratch.get(), L"CLSID"));
}

}  // namespace
}  // namespace quorvex::sample
