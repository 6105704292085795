#include "platform/foreign/ForeignCode.h"

#include "platform/foreign/Answers.h"
#include "platform/foreign/CallSettings.h"
#include "platform/foreign/CallThreads.h"
#include "platform/foreign/FaultHandlers.h"
#include "platform/foreign/LibraryPlaces.h"

namespace quorvex::foreign {

namespace {

// Whether a fault in a library's code can be contained; with the once in
// which it is found, constant-initialised.
struct Installation {
    INIT_ONCE once = INIT_ONCE_STATIC_INIT;
    bool contained = false;
};

Installation& TheInstallation() {
    static constinit Installation installation;
    return installation;
}

BOOL CALLBACK InstallOnce(PINIT_ONCE, PVOID, PVOID*) {
    settings::Install();
    TheInstallation().contained = threads::Install(GetCurrentThreadId()) && places::Install();
    handlers::Install();
    answers::FindCallers();
    return TRUE;
}

}  // namespace

bool Install() {
    InitOnceExecuteOnce(&TheInstallation().once, InstallOnce, nullptr, nullptr);
    return TheInstallation().contained;
}

std::unique_ptr<Call> Open(const std::wstring& libraryPath) {
    auto call = std::make_unique<Call>();
    settings::Open(*call, libraryPath);
    handlers::PutBack();  // the rest was put back as the last call ended
    threads::Open(*call);
    return call;
}

HANDLE StartWorker(Call& call) {
    return CreateThread(nullptr, 0, handlers::RunWorker, &call, 0, nullptr);
}

void NoteLibrary(Call& call, HMODULE library) {
    call.library.store(library);
    if (library == nullptr) {
        // Its DllMain, or an import's, may have left work that still calls
        // where the images were.
        places::ReserveReleased();
    } else if (!places::Record(library)) {
        // Unknown to the handlers, its code is not released either.
        call.threadsRemain.store(true);
    }
}

bool Close(Call& call) {
    if (call.closed.exchange(true)) {
        return true;
    }
    // Only here, while the call is still the open one: a worker that ends
    // after its caller gave up must change nothing of a later call.
    Settle(call);
    const bool threadsRemain = threads::Close(call) || call.threadsRemain.load();
    call.threadsRemain.store(threadsRemain);
    return threadsRemain;
}

void Settle(Call& call) {
    settings::PutBack(call);
    handlers::PutBack();
}

void LetGoOfThreads(Call& call) { call.heldThreads.clear(); }

void Release(HMODULE library) {
    FreeLibrary(library);
    places::ReserveReleased();
}

bool GiveBackRoom() {
    const bool gaveBack = places::GiveBackReservations();
    // A load that failed for want of room may have run code of its imports:
    // their places are not among those given back.
    places::ReserveReleased();
    return gaveBack;
}

}  // namespace quorvex::foreign
