// The calls the driver image makes out to the host: each import slot of the
// image (and each port primitive the fast path redirects) points at a thunk
// of its own, which records the image's return address, stack pointer and
// EBX/ESI/EDI/EBP, then jumps to the host's routine with the image's own
// arguments in place. When the routine comes back the thunk checks the
// calling convention from the image's side: ESP moved by exactly the bytes
// the operation pops (its arguments for stdcall, none for the C convention),
// the four registers are unchanged and the direction flag is clear; the
// image also must not have called with the direction flag set. A break is a
// host violation, and the image gets back the stack pointer and registers
// the convention promises it, so that the run goes on and the report is seen.
//
// 32-bit x86 only.
#ifndef IMAGEHOST_IMPORT_THUNKS_H
#define IMAGEHOST_IMPORT_THUNKS_H

#include <cstddef>
#include <cstdint>

namespace imagehost {

constexpr size_t kThunkCount = 32;

// Points thunk index at target, a routine that pops popBytes of arguments;
// name is what a violation report calls it. Returns the thunk's address, or
// nullptr when index is out of range.
const void* bindThunk(size_t index, const void* target, uint32_t popBytes, const char* name);

// Breaks seen by the thunks since the start (all of them are also reported
// to the bound host).
uint64_t thunkViolations();

}  // namespace imagehost

#endif  // IMAGEHOST_IMPORT_THUNKS_H
