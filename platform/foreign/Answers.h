// Answers written in released places: code called where a released library
// was (a timer, a handler or a notification it left with the system) returns
// at once rather than fault at every call.
#pragma once

#include <windows.h>

#include <cstdint>

#include "platform/foreign/LibraryPlaces.h"

namespace quorvex::foreign::answers {

// Once, before any library's code runs: on x86, where the system calls each
// kind of callback from, and how many bytes of arguments it passes.
void FindCallers();

// Whether the fault at `address`, in the released `place`, met an answer
// page that another thread had made writable to add an answer, or a call
// that another thread answered first: once that thread is done, the answer
// stands there, and the instruction is to be tried again.
bool AnsweredMeanwhile(places::LibraryPlace& place, std::uintptr_t address);

// The fault at `address`, in the released `place`, when it is the first
// instruction of a call there: writes the answer and returns true, after
// which the call is made again and returns 0.
bool AnswerCall(const CONTEXT& context, places::LibraryPlace& place, std::uintptr_t address);

}  // namespace quorvex::foreign::answers
