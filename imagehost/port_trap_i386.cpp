// Emulation of the image's port and interrupt-flag instructions (see
// port_trap.h). The fault is synchronous, raised by the image's own code
// running on this thread, so the handler may call into the bus as the
// image's code would have through a port primitive.
#if defined(__i386__)

#include "imagehost/port_trap.h"

#include <signal.h>
#include <ucontext.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "sim/bus/platform_port_io.h"

namespace imagehost {
namespace {

uintptr_t gStart = 0;
uintptr_t gEnd = 0;
uint64_t gTrapped = 0;
bool gInstalled = false;

void die(const char* what, uintptr_t address)
{
    char text[160];
    int n = std::snprintf(text, sizeof text,
                          "nimbsim: the driver image faulted (%s at 0x%08lX)\n", what,
                          static_cast<unsigned long>(address));
    if (n > 0) (void)!write(2, text, static_cast<size_t>(n));
    _exit(70);
}

uint32_t readIn(uint16_t port, unsigned bits)
{
    sim::IoBus* bus = sim::platformBus();
    if (!bus) return 0xFFFFFFFFu;
    if (bits == 8) return bus->in8(port);
    if (bits == 16) return bus->in16(port);
    return bus->in32(port);
}

void writeOut(uint16_t port, uint32_t value, unsigned bits)
{
    sim::IoBus* bus = sim::platformBus();
    if (!bus) return;
    if (bits == 8)
        bus->out8(port, static_cast<uint8_t>(value));
    else if (bits == 16)
        bus->out16(port, static_cast<uint16_t>(value));
    else
        bus->out32(port, value);
}

uint32_t merge(uint32_t eax, uint32_t value, unsigned bits)
{
    if (bits == 8) return (eax & 0xFFFFFF00u) | (value & 0xFFu);
    if (bits == 16) return (eax & 0xFFFF0000u) | (value & 0xFFFFu);
    return value;
}

// Emulates the instruction at eip; returns its length, or 0 when it is not
// one of ours.
unsigned emulate(const uint8_t* code, greg_t* regs)
{
    unsigned at = 0;
    bool operand16 = false;
    if (code[0] == 0x66) {
        operand16 = true;
        at = 1;
    }
    const uint8_t op = code[at];
    const bool wide = op & 1;
    const unsigned bits = !wide ? 8 : (operand16 ? 16 : 32);
    uint32_t eax = static_cast<uint32_t>(regs[REG_EAX]);
    const uint16_t dx = static_cast<uint16_t>(regs[REG_EDX]);
    switch (op) {
    case 0xE4:
    case 0xE5:
        regs[REG_EAX] = static_cast<greg_t>(merge(eax, readIn(code[at + 1], bits), bits));
        return at + 2;
    case 0xE6:
    case 0xE7:
        writeOut(code[at + 1], eax, bits);
        return at + 2;
    case 0xEC:
    case 0xED:
        regs[REG_EAX] = static_cast<greg_t>(merge(eax, readIn(dx, bits), bits));
        return at + 1;
    case 0xEE:
    case 0xEF:
        writeOut(dx, eax, bits);
        return at + 1;
    case 0xFA:
    case 0xFB:
        if (operand16) return 0;
        if (sim::platformBus()) {
            if (op == 0xFA)
                sim::platformBus()->disableInterrupts();
            else
                sim::platformBus()->enableInterrupts();
        }
        return 1;
    default:
        return 0;
    }
}

void onFault(int, siginfo_t* info, void* context)
{
    auto* uc = static_cast<ucontext_t*>(context);
    greg_t* regs = uc->uc_mcontext.gregs;
    const uintptr_t eip = static_cast<uintptr_t>(regs[REG_EIP]);
    // A port instruction faults with no address of its own (a general
    // protection fault); a fault on memory names the address.
    if (info->si_code != SI_KERNEL || eip < gStart || eip + 2 > gEnd)
        die("memory access or instruction outside the image's code", eip);
    unsigned length = emulate(reinterpret_cast<const uint8_t*>(eip), regs);
    if (length == 0) die("privileged instruction it cannot run", eip);
    regs[REG_EIP] = static_cast<greg_t>(eip + length);
    ++gTrapped;
}

}  // namespace

void trapPortInstructions(uintptr_t start, uintptr_t end)
{
    gStart = start;
    gEnd = end;
    if (gInstalled) return;
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_sigaction = onFault;
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    sigaction(SIGSEGV, &action, nullptr);
    gInstalled = true;
}

uint64_t trappedInstructions() { return gTrapped; }

}  // namespace imagehost

#endif  // __i386__
