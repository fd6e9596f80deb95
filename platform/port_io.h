// Direct x86 port I/O: byte, 16-bit and 32-bit IN and OUT, and the
// processor interrupt flag (CLI/STI) around accesses that must not be
// interleaved with anything else on the machine.
//
// On the 32-bit target these are single instructions. Everywhere else they
// are supplied by whatever platform the driver is linked against.
#ifndef PLATFORM_PORT_IO_H
#define PLATFORM_PORT_IO_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

uint8_t InPortByte(uint16_t port);
uint16_t InPortWord(uint16_t port);
uint32_t InPortDword(uint16_t port);
void OutPortByte(uint16_t port, uint8_t value);
void OutPortWord(uint16_t port, uint16_t value);
void OutPortDword(uint16_t port, uint32_t value);

void DisableProcessorInterrupts(void);
void EnableProcessorInterrupts(void);

#ifdef __cplusplus
}
#endif

#endif  // PLATFORM_PORT_IO_H
