// The places that the libraries a call maps occupy: the library itself, its
// imports and whatever it loads. A fault in one is the library's; once an
// image is unmapped its place stays known, so that code called there later
// (by a timer it never stopped) is answered, and stays reserved, so that no
// library loaded later lands there.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

namespace quorvex::foreign::places {

// Written under the table's lock, read by the fault handlers without it.
struct LibraryPlace {
    std::atomic<std::uintptr_t> base{0};
    std::atomic<std::uintptr_t> size{0};
    // A library without relocations can only load at its preferred base, as
    // it will at the next install: its place is never reserved.
    std::atomic<bool> movable{false};
    std::atomic<bool> unloading{false};  // the loader told of its unload
    std::atomic<bool> released{false};   // its image was seen unmapped
    // Under the answer lock:
    std::atomic<bool> reserved{false};
    std::atomic<bool> answered{false};   // an answer is written there: always kept
    std::atomic<bool> givenBack{false};  // reserved again only to answer a call
    bool counted = false;                // its reservation counts against the bound
    std::uint64_t reservedAt = 0;        // the order of reservations
};

// Once: from now on the loader tells of every image mapped or unmapped, and
// an image mapped during a call, or by one of its threads, is recorded as
// the call's. False when the loader cannot tell.
bool Install();

// The place holding `address`, or null.
LibraryPlace* Of(std::uintptr_t address);
// Records a library loaded before the loader could tell (another caller had
// it loaded); false when the table is full, and then it is never released.
bool Record(HMODULE library);

// Whether the place's image is unmapped; it is marked released once it is.
bool IsReleased(LibraryPlace& place);
// After a release: each place whose image the loader told of unloading and
// is gone now is marked released, and reserved where it can be.
void ReserveReleased();
// Reserves a released place once nothing is mapped there; under AnswerLock.
// What reservations that answer no call keep is bounded: the oldest are
// given back first to make room. A place reserved `toAnswer` a call there is
// kept for good, and counts against no bound.
bool Reserve(LibraryPlace& place, bool toAnswer = false);
// Gives back every reservation that answers no call, for a load or a thread
// that found no room; false when there was none.
bool GiveBackReservations();
// Taken to change what a released place holds.
SRWLOCK& AnswerLock();
// Where the loader calls its notifications from (a library may leave one of
// its own); null before the first.
const void* LoaderCaller();

}  // namespace quorvex::foreign::places
