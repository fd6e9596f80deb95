// The image-to-host thunks (see import_thunks.h).
//
// Thunk N is "movl $N, %eax; jmp common": EAX is free at a call under both
// conventions. The common part keeps a frame per open call in a fixed
// array (calls nest: ScsiPortInitialize runs HwFindAdapter, which calls
// out again), puts its own return label in place of the image's return
// address and jumps to the target. Back from the target it records what it
// found, moves ESP to where the convention says it belongs, calls the
// checker on that stack, restores EBX/ESI/EDI/EBP from the frame and
// returns to the image with EAX and EDX as the target left them (a 64-bit
// result comes back in EDX:EAX). The build is not position-independent, so
// the assembly names its tables by address.
#if defined(__i386__)

#include "imagehost/import_thunks.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "sim/host/driver_call.h"

namespace {

struct ThunkFrame {
    uint32_t index;        //  0
    uint32_t returnTo;     //  4
    uint32_t espAtEntry;   //  8 (pointing at the return address)
    uint32_t ebx;          // 12
    uint32_t esi;          // 16
    uint32_t edi;          // 20
    uint32_t ebp;          // 24
    uint32_t flagsAtEntry; // 28
    uint32_t espAfter;     // 32
    uint32_t eax;          // 36
    uint32_t edx;          // 40
    uint32_t flagsAfter;   // 44
    uint32_t ebxAfter;     // 48
    uint32_t esiAfter;     // 52
    uint32_t ediAfter;     // 56
    uint32_t ebpAfter;     // 60
};
static_assert(sizeof(ThunkFrame) == 64, "frame layout shared with the assembly");

constexpr uint32_t kMaxDepth = 64;
const char* gNames[imagehost::kThunkCount] = {};
uint64_t gViolations = 0;

}  // namespace

extern "C" {
ThunkFrame nimbThunkFrames[kMaxDepth];
uint32_t nimbThunkDepth = 0;
const void* nimbThunkTargets[imagehost::kThunkCount] = {};
uint32_t nimbThunkPops[imagehost::kThunkCount] = {};
void nimbThunkReturned(ThunkFrame* frame);
void nimbThunkOverflow();
extern const char nimb_thunk_0[];
}

static_assert(imagehost::kThunkCount == 32, "the assembly below makes 32 thunks");
static_assert(kMaxDepth == 64, "the assembly below checks the depth against 64");

// Each thunk is 16 bytes: movl (5) + jmp rel32 (5), padded.
__asm__(R"(
    .text
    .p2align 4
    .globl nimb_thunk_0
nimb_thunk_0:
    .set i, 0
    .rept 32
    .p2align 4
    movl $i, %eax
    jmp nimb_thunk_common
    .set i, i + 1
    .endr

nimb_thunk_common:
    movl nimbThunkDepth, %ecx
    cmpl $64, %ecx
    jae nimb_thunk_too_deep
    incl nimbThunkDepth
    shll $6, %ecx
    addl $nimbThunkFrames, %ecx
    movl %eax, 0(%ecx)
    movl (%esp), %edx
    movl %edx, 4(%ecx)
    movl %esp, 8(%ecx)
    movl %ebx, 12(%ecx)
    movl %esi, 16(%ecx)
    movl %edi, 20(%ecx)
    movl %ebp, 24(%ecx)
    pushfl
    popl 28(%ecx)
    movl $nimb_thunk_return, (%esp)
    cld
    jmp *nimbThunkTargets(,%eax,4)

nimb_thunk_return:
    movl nimbThunkDepth, %ecx
    decl %ecx
    movl %ecx, nimbThunkDepth
    shll $6, %ecx
    addl $nimbThunkFrames, %ecx
    movl %esp, 32(%ecx)
    movl %eax, 36(%ecx)
    movl %edx, 40(%ecx)
    pushfl
    popl 44(%ecx)
    movl %ebx, 48(%ecx)
    movl %esi, 52(%ecx)
    movl %edi, 56(%ecx)
    movl %ebp, 60(%ecx)
    movl 0(%ecx), %eax
    movl 8(%ecx), %esp
    addl $4, %esp
    addl nimbThunkPops(,%eax,4), %esp
    cld
    pushl %ecx
    call nimbThunkReturned
    popl %ecx
    movl 12(%ecx), %ebx
    movl 16(%ecx), %esi
    movl 20(%ecx), %edi
    movl 24(%ecx), %ebp
    movl 36(%ecx), %eax
    movl 40(%ecx), %edx
    jmp *4(%ecx)

nimb_thunk_too_deep:
    call nimbThunkOverflow
)");

namespace {

void report(const std::string& text)
{
    ++gViolations;
    sim::reportBoundaryBreak(text);
}

}  // namespace

extern "C" void nimbThunkReturned(ThunkFrame* f)
{
    uint32_t pops = nimbThunkPops[f->index];
    int32_t popped = static_cast<int32_t>(f->espAfter - f->espAtEntry) - 4;
    const bool broken = popped != static_cast<int32_t>(pops) || f->ebx != f->ebxAfter ||
                        f->esi != f->esiAfter || f->edi != f->ediAfter || f->ebp != f->ebpAfter ||
                        ((f->flagsAtEntry | f->flagsAfter) & 0x400u);
    if (!broken) return;  // the common case, kept cheap: every port access comes here
    const char* name = gNames[f->index] ? gNames[f->index] : "unbound import";
    const std::string who = std::string("call out to ") + name + ": ";
    if (f->flagsAtEntry & 0x400u) report(who + "called with the direction flag set");
    const uint32_t before[4] = {f->ebx, f->esi, f->edi, f->ebp};
    const uint32_t after[4] = {f->ebxAfter, f->esiAfter, f->ediAfter, f->ebpAfter};
    gViolations += sim::reportCallBreaks(who, popped, pops, before, after, f->flagsAfter);
}

extern "C" void nimbThunkOverflow()
{
    std::fprintf(stderr, "nimbsim: the driver image's calls out nest deeper than %u\n",
                 unsigned(kMaxDepth));
    std::abort();
}

namespace imagehost {

const void* bindThunk(size_t index, const void* target, uint32_t popBytes, const char* name)
{
    if (index >= kThunkCount) return nullptr;
    nimbThunkTargets[index] = target;
    nimbThunkPops[index] = popBytes;
    gNames[index] = name;
    return nimb_thunk_0 + 16 * index;
}

uint64_t thunkViolations() { return gViolations; }

}  // namespace imagehost

#endif  // __i386__
