#include "platform/foreign/LibraryPlaces.h"

#include <algorithm>
#include <array>

#include "platform/Win32Startup.h"
#include "platform/foreign/CallThreads.h"
#include "platform/foreign/Image.h"
#include "platform/foreign/Lock.h"

namespace quorvex::foreign::places {

namespace {

// What the loader passes to its notifications (LDR_DLL_NOTIFICATION_DATA).
struct MappingNotice {
    ULONG flags;
    const void* fullName;
    const void* baseName;
    void* base;
    ULONG size;
};
constexpr ULONG ImageMapped = 1;    // LDR_DLL_NOTIFICATION_REASON_LOADED
constexpr ULONG ImageUnmapped = 2;  // LDR_DLL_NOTIFICATION_REASON_UNLOADED
using NoticeFunction = VOID(NTAPI*)(ULONG, const MappingNotice*, PVOID);
using RegisterNoticeFunction = LONG(NTAPI*)(ULONG, NoticeFunction, PVOID, PVOID*);

struct PlaceTable {
    SRWLOCK lock = SRWLOCK_INIT;
    bool ready = false;
    // Each image a call maps takes one, and keeps it once unmapped; a place
    // that another image is mapped over is taken over by it, or freed.
    std::array<LibraryPlace, 1024> places{};
    std::atomic<std::size_t> count{0};
    // Where the loader calls its notifications from.
    std::atomic<const void*> loaderCaller{nullptr};
    SRWLOCK answerLock = SRWLOCK_INIT;
    // Under the answer lock: what the reservations that answer no call keep.
    std::uintptr_t reservedBytes = 0;
    std::uint64_t reservations = 0;
};

// What the reservations of places that answer no call may keep: a library
// of 20 MB installed a hundred times in one run would otherwise take the
// whole of an x86 process's 2 GB, and every later load would fail.
constexpr std::uintptr_t ReservationBound =
    sizeof(void*) == 4 ? std::uintptr_t{256} << 20 : std::uintptr_t{16} << 30;

PlaceTable& TheTable() {
    static constinit PlaceTable table;
    return table;
}

bool HasRelocations(const void* image) {
    const IMAGE_NT_HEADERS& headers = HeadersOf(image);
    return (headers.FileHeader.Characteristics & IMAGE_FILE_RELOCS_STRIPPED) == 0 &&
           headers.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_BASERELOC].Size != 0;
}

// Under the table's lock: writes the image into `place`, which readers may
// be looking at; whatever it held before is no longer there. A place that
// an image is mapped over holds no reservation of the program's.
void Fill(LibraryPlace& place, std::uintptr_t base, std::uintptr_t size, bool movable) {
    place.size.store(0);
    place.unloading.store(false);
    place.released.store(false);
    place.reserved.store(false);
    place.answered.store(false);
    place.givenBack.store(false);
    place.counted = false;
    place.movable.store(movable);
    place.base.store(base);
    place.size.store(size);
}

// An image is mapped: a place it overlaps held an older image, gone now, and
// is taken over or freed. The image is recorded as `owner`'s, if any; false
// when the table is full.
bool NoteMapped(const Call* owner, std::uintptr_t base, std::uintptr_t size, const void* image) {
    PlaceTable& table = TheTable();
    const ExclusiveLock lock(table.lock);
    const std::size_t count = table.count.load();
    LibraryPlace* slot = nullptr;
    for (std::size_t i = 0; i < count; ++i) {
        LibraryPlace& place = table.places[i];
        const std::uintptr_t placeBase = place.base.load();
        const std::uintptr_t placeSize = place.size.load();
        if (placeSize != 0 && placeBase < base + size && base < placeBase + placeSize) {
            Fill(place, 0, 0, false);
        }
        if (slot == nullptr && place.size.load() == 0) {
            slot = &place;
        }
    }
    if (owner == nullptr) {
        return true;
    }
    if (slot == nullptr && count < table.places.size()) {
        slot = &table.places[count];
        table.count.store(count + 1);
    }
    if (slot != nullptr) {
        Fill(*slot, base, size, HasRelocations(image));
    }
    return slot != nullptr;
}

// Called by the loader on whatever thread maps or unmaps an image (Wine
// holds its lock then): it takes only the table's lock. The loader tells of
// an unload before the image is unmapped: it is taken to be released only
// once it is seen gone.
VOID NTAPI NoteMapping(ULONG reason, const MappingNotice* notice, PVOID) {
    TheTable().loaderCaller.store(__builtin_return_address(0));
    const auto base = reinterpret_cast<std::uintptr_t>(notice->base);
    if (reason == ImageMapped) {
        Call* const owner = threads::CallOfLoad();
        if (!NoteMapped(owner, base, notice->size, notice->base)) {
            owner->threadsRemain.store(true);  // unknown to the handlers, its code must never go
        }
    } else if (reason == ImageUnmapped) {
        if (LibraryPlace* const place = Of(base); place != nullptr && place->base.load() == base) {
            place->unloading.store(true);
        }
    }
}

}  // namespace

bool Install() {
    PlaceTable& table = TheTable();
    const ExclusiveLock lock(table.lock);
    if (!table.ready) {
        const auto registerNotice = ProcAddress<RegisterNoticeFunction>(
            GetModuleHandleW(L"ntdll.dll"), "LdrRegisterDllNotification");
        PVOID cookie = nullptr;  // never unregistered: it serves the whole process
        table.ready =
            registerNotice != nullptr && registerNotice(0, NoteMapping, nullptr, &cookie) >= 0;
    }
    return table.ready;
}

LibraryPlace* Of(std::uintptr_t address) {
    PlaceTable& table = TheTable();
    const std::size_t count = std::min(table.count.load(), table.places.size());
    for (std::size_t i = 0; i < count; ++i) {
        LibraryPlace& place = table.places[i];
        const std::uintptr_t base = place.base.load();
        if (address >= base && address - base < place.size.load()) {
            return &place;
        }
    }
    return nullptr;
}

bool Record(HMODULE library) {
    const auto base = reinterpret_cast<std::uintptr_t>(library);
    if (const LibraryPlace* place = Of(base); place != nullptr && place->base.load() == base) {
        return true;
    }
    const Call* const owner = threads::CallOfLoad();
    return owner != nullptr &&
           NoteMapped(owner, base, HeadersOf(library).OptionalHeader.SizeOfImage, library);
}

void ReserveReleased() {
    PlaceTable& table = TheTable();
    const ExclusiveLock lock(table.answerLock);
    const std::size_t count = std::min(table.count.load(), table.places.size());
    for (std::size_t i = 0; i < count; ++i) {
        LibraryPlace& place = table.places[i];
        if (place.size.load() == 0) {
            continue;
        }
        // Asking the system costs a worker some 65 us a time under Wine: only
        // of the images the loader unloaded.
        if (!place.givenBack.load() && (place.released.load() || place.unloading.load()) &&
            IsReleased(place)) {
            Reserve(place);
        }
    }
}

namespace {

// Under the answer lock: gives back the oldest reservation that answers no
// call; false when there is none.
bool GiveBackOldest() {
    PlaceTable& table = TheTable();
    LibraryPlace* oldest = nullptr;
    const std::size_t count = std::min(table.count.load(), table.places.size());
    for (std::size_t i = 0; i < count; ++i) {
        LibraryPlace& place = table.places[i];
        if (place.reserved.load() && place.counted &&
            (oldest == nullptr || place.reservedAt < oldest->reservedAt)) {
            oldest = &place;
        }
    }
    if (oldest == nullptr) {
        return false;
    }
    VirtualFree(reinterpret_cast<void*>(oldest->base.load()), 0, MEM_RELEASE);
    table.reservedBytes -= oldest->size.load();
    oldest->counted = false;
    oldest->reserved.store(false);
    oldest->givenBack.store(true);
    return true;
}

}  // namespace

bool Reserve(LibraryPlace& place, bool toAnswer) {
    PlaceTable& table = TheTable();
    const std::uintptr_t size = place.size.load();
    if (toAnswer && place.counted) {
        // Kept for good from now on: it no longer counts against the bound.
        table.reservedBytes -= size;
        place.counted = false;
    }
    if (place.reserved.load() || !place.released.load() || !place.movable.load()) {
        return place.reserved.load();
    }
    while (!toAnswer && table.reservedBytes + size > ReservationBound && GiveBackOldest()) {
    }
    if (!toAnswer && table.reservedBytes + size > ReservationBound) {
        return false;
    }
    void* const base = reinterpret_cast<void*>(place.base.load());
    if (VirtualAlloc(base, size, MEM_RESERVE, PAGE_NOACCESS) != base) {
        return false;
    }
    if (!toAnswer) {
        table.reservedBytes += size;
        place.counted = true;
    }
    place.reservedAt = ++table.reservations;
    place.reserved.store(true);
    return true;
}

bool GiveBackReservations() {
    const ExclusiveLock lock(TheTable().answerLock);
    bool gaveBack = false;
    while (GiveBackOldest()) {
        gaveBack = true;
    }
    return gaveBack;
}

SRWLOCK& AnswerLock() { return TheTable().answerLock; }

bool IsReleased(LibraryPlace& place) {
    if (place.released.load()) {
        return true;
    }
    // Under the table's lock, as the loader's notice of an image mapped over
    // the place changes the record: its base is read again there.
    const ExclusiveLock lock(TheTable().lock);
    const auto base = place.base.load();
    MEMORY_BASIC_INFORMATION info{};
    const bool gone = place.size.load() != 0 &&
                      (VirtualQuery(reinterpret_cast<const void*>(base), &info, sizeof info) == 0 ||
                       info.State == MEM_FREE || info.Type != MEM_IMAGE ||
                       reinterpret_cast<std::uintptr_t>(info.AllocationBase) != base);
    if (gone) {
        place.released.store(true);
    }
    return gone;
}

const void* LoaderCaller() { return TheTable().loaderCaller.load(); }

}  // namespace quorvex::foreign::places
