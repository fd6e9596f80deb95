// The link's own helpers for repeated port accesses. Every repetition is a
// separate I/O cycle: the adapter takes its timing from them, so the counts
// the callers pass are part of the wire protocol.
#ifndef LINK_LINK_IO_H
#define LINK_LINK_IO_H

#include <stdint.h>

#include "hostport/hostport.h"
#include "link/link.h"
#include "platform/port_io.h"

// Writes value to port, times times in a row.
static inline void OutRepeat(uint16_t port, uint8_t value, uint32_t times)
{
    while (times-- != 0) OutPortByte(port, value);
}

// Reads port times times in a row; the last read is the result.
static inline uint8_t InRepeat(uint16_t port, uint32_t times)
{
    uint8_t value = 0xFF;
    while (times-- != 0) value = InPortByte(port);
    return value;
}

// The register-window chipset's EPP cycles: base+3 is a chipset register
// whose low bits select the cycle and base+6 carries the address. Only a
// chipset that was found and switched to EPP uses it; an unprobed state
// (0xFF) keeps the standard EPP layout.
static inline bool AlternateEppLayout(void)
{
    return CmosWindowState.State == 1;
}

// The EPP address cycle for addr. In the alternate layout, wide selects the
// 32-bit data cycle afterwards.
static inline void EppAddressCycle(uint8_t addr, bool wide)
{
    uint16_t eppA = (uint16_t)(PortBase + PORT_EPP_ADDRESS);
    if (!AlternateEppLayout()) {
        OutPortByte(eppA, addr);
        return;
    }
    OutPortByte(eppA, (uint8_t)((InPortByte(eppA) & 0xF8) | 0x06));
    OutPortByte((uint16_t)(PortBase + 6), addr);
    if (wide) OutPortByte(eppA, (uint8_t)((InPortByte(eppA) & 0xF8) | 0x07));
}

// Turns the data lines to input (read, modify, write of CONTROL).
static inline void PortDirectionInput(void)
{
    uint16_t control = (uint16_t)(PortBase + PORT_CONTROL);
    OutPortByte(control, (uint8_t)((InPortByte(control) & 0x1F) | 0x20));
}

// Turns the data lines back to output, the other low bits kept.
static inline void PortDirectionOutput(void)
{
    uint16_t control = (uint16_t)(PortBase + PORT_CONTROL);
    OutPortByte(control, (uint8_t)(InPortByte(control) & 0x1F));
}

#endif  // LINK_LINK_IO_H
