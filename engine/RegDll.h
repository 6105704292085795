// RegDll: runs a library's self-registration entry point on a worker
// thread under a time limit, and tells how far it got.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace quorvex {

// How far a call of CallRegEntry got; never a platform error code.
enum class RegResult : std::int32_t {
    NoAction = 0,
    LoadFailed = 1,
    EntryMissing = 2,
    TimedOut = 3,
    Registered = 4,
    Unregistered = 5,
    // The entry point reported failure (a negative HRESULT), or its worker
    // ended without its return: a fault it did not handle, a stack overflow,
    // its own ExitThread.
    EntryFailed = 6,
};

// Any value is accepted; only these two name an entry point.
using RegMode = std::int32_t;
inline constexpr RegMode RegModeRegister = 1;
inline constexpr RegMode RegModeUnregister = 2;

inline constexpr std::uint32_t RegEntryTimeoutMs = 10000;

// LoadLibraryExW flags, with the values the system gives them.
inline constexpr std::uint32_t LoadWithAlteredSearchPath = 0x00000008;
inline constexpr std::uint32_t LoadLibrarySearchDllLoadDir = 0x00000100;
inline constexpr std::uint32_t LoadLibrarySearchSystem32 = 0x00000800;

// The kernel services CallRegEntry is written against, named after the
// Win32 functions the program binds them to; tests bind a recording fake.
class KernelServices {
  public:
    using Module = void*;
    using Entry = void*;
    using Thread = void*;

    virtual ~KernelServices() = default;

    // The fully qualified path, resolved against the current folder and drive
    // as the file calls resolve it; nothing when it cannot be resolved.
    virtual std::optional<std::wstring> GetFullPathNameW(const std::wstring& path) = 0;
    // Whether LoadLibraryExW takes the LOAD_LIBRARY_SEARCH_ flags: Windows 8
    // and later, and Windows 7 with its loader update (KB2533623).
    virtual bool HasLoadLibrarySearchFlags() = 0;
    // LoadLibraryExW(path, null, flags).
    virtual Module LoadLibraryExW(const std::wstring& path, std::uint32_t flags) = 0;
    virtual Entry GetProcAddress(Module module, const char* name) = 0;
    // CreateThread(null, 0, worker routine, entry, 0, &id): the worker
    // initialises OLE, calls the entry point and ends with its HRESULT as the
    // exit code. Null when no thread was made.
    virtual Thread CreateThread(Entry entry) = 0;
    // Waits at most `ms` for the worker to end: 0 when it has. The entry point
    // may send messages to the caller's windows, or call into its COM
    // apartment, and wait for the answer: those are answered meanwhile.
    virtual std::uint32_t WaitForSingleObject(Thread thread, std::uint32_t ms) = 0;
    virtual std::optional<std::uint32_t> GetExitCodeThread(Thread thread) = 0;
    // Whether the entry point of an ended worker returned. A worker ended any
    // other way (a fault, a stack overflow, its own ExitThread) has an exit
    // code that may look like any status, a success among them.
    virtual bool EntryReturned(Thread thread) = 0;
    virtual void CloseHandle(Thread thread) = 0;
    virtual void FreeLibrary(Module module) = 0;
    // The library's code runs from its load to the end of its call, on the
    // worker and on any thread started meanwhile, by whoever starts it: such
    // a thread belongs to the library, and a fault on it ends only that
    // thread. Begun before the load; ending it tells whether such a thread
    // still runs (the worker of a call that timed out among them).
    virtual void BeginForeignCode() = 0;
    [[nodiscard]] virtual bool EndForeignCode() = 0;
};

// What the commands need: one registration call.
class RegistrationInvoker {
  public:
    virtual ~RegistrationInvoker() = default;
    virtual RegResult CallRegEntry(std::wstring path, RegMode mode) = 0;
};

class RegDll final : public RegistrationInvoker {
  public:
    explicit RegDll(KernelServices& kernel) : kernel_(kernel) {}
    RegResult CallRegEntry(std::wstring path, RegMode mode) override;

  private:
    struct Outcome {
        RegResult result;
        bool mayRelease;  // not after a time-out, nor after an end without a return
    };
    // Looks up the entry point of the loaded library and runs it.
    Outcome RunEntryPoint(KernelServices::Module module, RegMode mode);

    KernelServices& kernel_;
};

}  // namespace quorvex
