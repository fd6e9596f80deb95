// Port I/O for the 32-bit x86 target: each routine is the single IN, OUT,
// CLI or STI instruction. The driver runs in kernel mode (ring 0), where the
// processor lets it reach every I/O port and the interrupt flag directly.
//
// The "memory" clobber keeps the compiler from moving buffer loads and stores
// across a port access or across the interrupt-flag change: the device sees
// the accesses in program order.
#include "platform/port_io.h"

#if !defined(__i386__)
#error "port_io_x86.cpp is the 32-bit x86 implementation of the port I/O primitives"
#endif

extern "C" uint8_t InPortByte(uint16_t port)
{
    uint8_t value;
    __asm__ __volatile__("inb %w1, %b0" : "=a"(value) : "Nd"(port) : "memory");
    return value;
}

extern "C" uint16_t InPortWord(uint16_t port)
{
    uint16_t value;
    __asm__ __volatile__("inw %w1, %w0" : "=a"(value) : "Nd"(port) : "memory");
    return value;
}

extern "C" uint32_t InPortDword(uint16_t port)
{
    uint32_t value;
    __asm__ __volatile__("inl %w1, %0" : "=a"(value) : "Nd"(port) : "memory");
    return value;
}

extern "C" void OutPortByte(uint16_t port, uint8_t value)
{
    __asm__ __volatile__("outb %b0, %w1" : : "a"(value), "Nd"(port) : "memory");
}

extern "C" void OutPortWord(uint16_t port, uint16_t value)
{
    __asm__ __volatile__("outw %w0, %w1" : : "a"(value), "Nd"(port) : "memory");
}

extern "C" void OutPortDword(uint16_t port, uint32_t value)
{
    __asm__ __volatile__("outl %0, %w1" : : "a"(value), "Nd"(port) : "memory");
}

extern "C" void DisableProcessorInterrupts(void)
{
    __asm__ __volatile__("cli" : : : "memory");
}

extern "C" void EnableProcessorInterrupts(void)
{
    __asm__ __volatile__("sti" : : : "memory");
}
