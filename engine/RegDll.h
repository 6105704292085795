// RegDll: runs a library's self-registration entry point on a worker
// thread under a time limit, and tells how far it got.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

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
    // The loader found no room for the library in the address space, or no
    // worker could be made: a copy may well be there, and is not to be taken
    // for none.
    LoadOutOfRoom = 7,
    // A file is there and the loader refused it (not a library, the other
    // architecture, an import missing, a DllMain that failed): its
    // unregistration never ran.
    LoadRefused = 8,
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

// What one worker does, all of it under the limit: loads the library,
// looks up the entry point, runs it and releases the library.
struct CallPlan {
    std::wstring path;        // fully qualified
    std::uint32_t loadFlags;  // for LoadLibraryExW
    const char* entryName;    // null: none is looked up
};

// How far a worker has got, as its caller finds it.
enum class WorkerStage : std::int32_t {
    Loading,       // the load has not ended
    NoFile,        // nothing was loaded, and no file is at the path
    NotLoaded,     // the loader refused the file at the path
    OutOfRoom,     // the loader found no address space for it
    EntryMissing,  // loaded; it has no such entry point, or none was named
    InEntryPoint,  // the entry point has not returned
    Returned,      // the entry point returned; its status is known
};

struct WorkerReport {
    WorkerStage stage = WorkerStage::Loading;
    std::uint32_t status = 0;  // the entry point's HRESULT, once it returned
    bool ended = false;        // the worker has ended, however
};

// A file as its file system knows it, whatever the spelling of its path
// (letter case, an 8.3 name, a \\?\ prefix): its volume's serial number
// and its identifier there.
struct FileIdentity {
    std::uint64_t volume = 0;
    std::array<std::uint8_t, 16> file{};
    bool operator==(const FileIdentity&) const = default;
};

// The kernel services CallRegEntry is written against; tests bind a fake.
class KernelServices {
  public:
    using Thread = void*;

    virtual ~KernelServices() = default;

    // The fully qualified path, resolved against the current folder and drive
    // as the file calls resolve it; nothing when it cannot be resolved.
    virtual std::optional<std::wstring> GetFullPathNameW(const std::wstring& path) = 0;
    // The file at the fully qualified path; nothing when it cannot be opened.
    virtual std::optional<FileIdentity> IdentityOf(const std::wstring& fullPath) = 0;
    // Whether LoadLibraryExW takes the LOAD_LIBRARY_SEARCH_ flags: Windows 8
    // and later, and Windows 7 with its loader update (KB2533623).
    virtual bool HasLoadLibrarySearchFlags() = 0;
    // Starts a worker that carries out the plan: the library's code (its
    // load, its entry point and its release) runs there and never on the
    // caller's thread. Null when no thread was made, or a fault in the
    // library's code could not be contained; nothing has run then.
    // A library whose entry point did not return, or that left a thread of
    // its own running, is not released; nor is one whose caller gave up
    // before it was done: an entry point that did not start by then never
    // starts.
    virtual Thread StartCall(const CallPlan& plan) = 0;
    // Waits at most `ms` for the worker to end: 0 when it has. The library's
    // code may send messages to the caller's windows, or call into its COM
    // apartment, and wait for the answer: those are answered meanwhile.
    virtual std::uint32_t WaitForSingleObject(Thread thread, std::uint32_t ms) = 0;
    // How far the worker has got; an ended worker's stage tells where it
    // stopped (one that ended while loading or in its entry point was ended
    // by a fault, a stack overflow or its own ExitThread).
    virtual WorkerReport Report(Thread thread) = 0;
    virtual void CloseHandle(Thread thread) = 0;
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
    ~RegDll() override;
    RegDll(const RegDll&) = delete;
    RegDll& operator=(const RegDll&) = delete;

    RegResult CallRegEntry(std::wstring path, RegMode mode) override;

  private:
    // A worker that was still running when its call gave up on it.
    struct Unfinished {
        std::wstring path;
        std::optional<FileIdentity> file;
        KernelServices::Thread thread;
    };
    // Whether an earlier call into the same file is still running: the same
    // identity, or where either is unknown, the same path.
    bool StillRunning(const std::wstring& fullPath);

    KernelServices& kernel_;
    std::vector<Unfinished> unfinished_;
};

// The result of a call from what its worker had reached when the wait ended.
RegResult ResultOf(const WorkerReport& report, RegMode mode);

}  // namespace quorvex
