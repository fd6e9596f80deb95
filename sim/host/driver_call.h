// Every call the host makes into the driver (its entry point, the Hw
// routines, the timer and the requested routines) goes through
// callDriver().
//
// On 32-bit x86 the call crosses a checked boundary: the host pushes the
// arguments itself, loads EBX, ESI, EDI and EBP with marker values, and
// after the routine returns checks what the port driver's calling
// convention promises it: the routine popped exactly its arguments
// (stdcall), the four registers hold their markers again, and the direction
// flag is clear. A break is a host violation, and the host's own stack and
// registers are put back whatever the routine left. Elsewhere the call is a
// plain call: a 64-bit build has only one convention.
#ifndef SIM_HOST_DRIVER_CALL_H
#define SIM_HOST_DRIVER_CALL_H

#include <cstdint>
#include <string>
#include <type_traits>

#include "platform/scsiport.h"

namespace sim {

#if defined(__i386__)

// What one checked call saw; the layout is shared with the assembly.
struct BoundaryFrame {
    uint32_t savedEsp;       // the gate's own stack pointer
    uint32_t savedEbp;
    uint32_t espBeforeCall;  // with the arguments pushed
    uint32_t espAfter;
    uint32_t ebxAfter;
    uint32_t esiAfter;
    uint32_t ediAfter;
    uint32_t ebpAfter;
    uint32_t flagsAfter;
    uint32_t eax;
    uint32_t edx;
    BoundaryFrame* outer;    // the call this one is nested in
};

// Register markers loaded before each call and expected back.
constexpr uint32_t kMarkerEbx = 0x5EB05EB0u;
constexpr uint32_t kMarkerEsi = 0x51515151u;
constexpr uint32_t kMarkerEdi = 0xD1D1D1D1u;
constexpr uint32_t kMarkerEbp = 0xEB9EB9E0u;

// Calls routine with count 32-bit arguments (args[0] first) and records
// what came back in frame; returns EAX.
uint32_t checkedCall(const void* routine, const uint32_t* args, uint32_t count,
                     BoundaryFrame& frame);

// Reports a break of the calling convention on either side of the
// boundary as a violation of the bound host (on standard error without one).
void reportBoundaryBreak(const std::string& text);

// Reports each break of the convention a finished call shows: popped bytes
// of arguments where popBytes were due, any of EBX, ESI, EDI and EBP (in
// that order in the arrays) not as it had to be, the direction flag set in
// flagsAfter. who starts each report; returns the number of breaks.
unsigned reportCallBreaks(const std::string& who, int32_t popped, uint32_t popBytes,
                          const uint32_t want[4], const uint32_t got[4], uint32_t flagsAfter);

// Checks a finished call of a routine that should have popped popBytes;
// reports each break as a host violation naming the routine. Returns the
// number of breaks.
unsigned checkBoundaryFrame(const BoundaryFrame& frame, uint32_t popBytes, const char* routine);

template <typename T>
uint32_t boundaryWord(T value)
{
    if constexpr (std::is_pointer_v<T>)
        return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(value));
    else
        return static_cast<uint32_t>(value);
}

template <typename R, typename... A, typename... V>
R callDriver(const char* name, R(NTAPI* routine)(A...), V... values)
{
    static_assert(sizeof...(A) == sizeof...(V), "one value per argument");
    const uint32_t args[sizeof...(A) + 1] = {boundaryWord(static_cast<A>(values))..., 0};
    BoundaryFrame frame{};
    uint32_t result = checkedCall(reinterpret_cast<const void*>(routine), args,
                                  sizeof...(A), frame);
    checkBoundaryFrame(frame, 4 * sizeof...(A), name);
    if constexpr (std::is_void_v<R>) {
        (void)result;
    } else {
        return static_cast<R>(result);
    }
}

#else

template <typename R, typename... A, typename... V>
R callDriver(const char*, R(NTAPI* routine)(A...), V... values)
{
    return routine(static_cast<A>(values)...);
}

#endif

}  // namespace sim

#endif  // SIM_HOST_DRIVER_CALL_H
