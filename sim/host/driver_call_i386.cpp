// The checked call into the driver on 32-bit x86 (see driver_call.h).
//
// The gate keeps its own EBP and ESP in the frame, which it finds again
// after the call through a global chain of frames (calls nest: the entry
// point calls ScsiPortInitialize, which calls HwFindAdapter), so nothing
// the routine does to the registers or the stack pointer can lose the way
// back. The build is not position-independent, so the assembly names the
// chain's head by its address.
#if defined(__i386__)

#include "sim/host/driver_call.h"

#include <cstdio>
#include <string>

#include "sim/host/scsi_port_host.h"

extern "C" {
sim::BoundaryFrame* nimbBoundaryTop = nullptr;
uint32_t nimb_checked_call(const void* routine, const uint32_t* args, uint32_t count,
                           sim::BoundaryFrame* frame);
}

static_assert(sizeof(sim::BoundaryFrame) == 48, "frame layout shared with the assembly");

__asm__(R"(
    .text
    .globl nimb_checked_call
    .type nimb_checked_call, @function
nimb_checked_call:
    pushl %ebp
    movl %esp, %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    movl 20(%ebp), %ecx
    movl nimbBoundaryTop, %eax
    movl %eax, 44(%ecx)
    movl %ecx, nimbBoundaryTop
    movl %esp, 0(%ecx)
    movl %ebp, 4(%ecx)
    movl 16(%ebp), %ecx
    movl 12(%ebp), %edx
1:  testl %ecx, %ecx
    jz 2f
    decl %ecx
    pushl (%edx,%ecx,4)
    jmp 1b
2:  movl nimbBoundaryTop, %ecx
    movl %esp, 8(%ecx)
    movl 8(%ebp), %eax
    movl $0x5EB05EB0, %ebx
    movl $0x51515151, %esi
    movl $0xD1D1D1D1, %edi
    movl $0xEB9EB9E0, %ebp
    cld
    call *%eax
    movl nimbBoundaryTop, %ecx
    movl %esp, 12(%ecx)
    movl %ebx, 16(%ecx)
    movl %esi, 20(%ecx)
    movl %edi, 24(%ecx)
    movl %ebp, 28(%ecx)
    movl %eax, 36(%ecx)
    movl %edx, 40(%ecx)
    movl 0(%ecx), %esp
    movl 4(%ecx), %ebp
    pushfl
    popl 32(%ecx)
    cld
    movl 44(%ecx), %edx
    movl %edx, nimbBoundaryTop
    movl 36(%ecx), %eax
    popl %edi
    popl %esi
    popl %ebx
    popl %ebp
    ret
    .size nimb_checked_call, .-nimb_checked_call
)");

namespace sim {

uint32_t checkedCall(const void* routine, const uint32_t* args, uint32_t count,
                     BoundaryFrame& frame)
{
    return nimb_checked_call(routine, args, count, &frame);
}

namespace {

std::string hex(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

}  // namespace

void reportBoundaryBreak(const std::string& text)
{
    if (platformHost())
        platformHost()->violation(text);
    else
        std::fprintf(stderr, "boundary violation: %s\n", text.c_str());
}

unsigned reportCallBreaks(const std::string& who, int32_t popped, uint32_t popBytes,
                          const uint32_t want[4], const uint32_t got[4], uint32_t flagsAfter)
{
    static const char* const kNames[4] = {"EBX", "ESI", "EDI", "EBP"};
    unsigned breaks = 0;
    if (popped != static_cast<int32_t>(popBytes)) {
        reportBoundaryBreak(who + "popped " + std::to_string(popped) + " bytes of arguments, not " +
                            std::to_string(popBytes) + " (calling convention)");
        ++breaks;
    }
    for (int i = 0; i < 4; ++i) {
        if (got[i] != want[i]) {
            reportBoundaryBreak(who + kNames[i] + " not preserved (" + hex(want[i]) + " became " +
                                hex(got[i]) + ")");
            ++breaks;
        }
    }
    if (flagsAfter & 0x400u) {
        reportBoundaryBreak(who + "returned with the direction flag set");
        ++breaks;
    }
    return breaks;
}

unsigned checkBoundaryFrame(const BoundaryFrame& frame, uint32_t popBytes, const char* routine)
{
    int32_t popped = static_cast<int32_t>(frame.espAfter - frame.espBeforeCall);
    if (popped == static_cast<int32_t>(popBytes) && frame.ebxAfter == kMarkerEbx &&
        frame.esiAfter == kMarkerEsi && frame.ediAfter == kMarkerEdi &&
        frame.ebpAfter == kMarkerEbp && !(frame.flagsAfter & 0x400u))
        return 0;
    const uint32_t want[4] = {kMarkerEbx, kMarkerEsi, kMarkerEdi, kMarkerEbp};
    const uint32_t got[4] = {frame.ebxAfter, frame.esiAfter, frame.ediAfter, frame.ebpAfter};
    return reportCallBreaks(std::string("call into ") + routine + ": ", popped, popBytes, want, got,
                            frame.flagsAfter);
}

}  // namespace sim

#endif  // __i386__
