// The driver image's own IN, OUT, CLI and STI instructions, carried to the
// simulated machine. A Linux process has no I/O privilege, so each of them
// raises a general-protection fault, which the kernel delivers as SIGSEGV.
// The handler decodes the instruction at the faulting address, performs it
// on the bound platform bus (the port access, or the bus's interrupt flag),
// writes the result into the saved registers and steps over it:
//
//   E4 ib / E5 ib     IN AL/AX/EAX, imm8        EC / ED   IN AL/AX/EAX, DX
//   E6 ib / E7 ib     OUT imm8, AL/AX/EAX       EE / EF   OUT DX, AL/AX/EAX
//   FA                CLI                       FB        STI
//
// with an operand-size prefix (66) selecting 16 bits for the E5/E7/ED/EF
// forms. Only instructions inside the code range given are emulated; any
// other fault is a real crash and ends the process with a message.
//
// 32-bit x86 only.
#ifndef IMAGEHOST_PORT_TRAP_H
#define IMAGEHOST_PORT_TRAP_H

#include <cstdint>

namespace imagehost {

// Installs the handler (once) and sets the code range [start, end) whose
// instructions it emulates.
void trapPortInstructions(uintptr_t start, uintptr_t end);

// Instructions emulated since the start.
uint64_t trappedInstructions();

}  // namespace imagehost

#endif  // IMAGEHOST_PORT_TRAP_H
