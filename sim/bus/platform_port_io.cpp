// The platform's port I/O primitives, carried to the simulated I/O bus.
// With no machine bound the processor sees an empty bus: reads give all
// ones and writes vanish.
#include "sim/bus/platform_port_io.h"

#include "platform/port_io.h"

namespace sim {

namespace {
IoBus* gPlatformBus = nullptr;
}

void bindPlatformBus(IoBus* bus) { gPlatformBus = bus; }
IoBus* platformBus() { return gPlatformBus; }

}  // namespace sim

using sim::platformBus;

extern "C" {

uint8_t InPortByte(uint16_t port) { return platformBus() ? platformBus()->in8(port) : 0xFF; }
uint16_t InPortWord(uint16_t port) { return platformBus() ? platformBus()->in16(port) : 0xFFFF; }
uint32_t InPortDword(uint16_t port)
{
    return platformBus() ? platformBus()->in32(port) : 0xFFFFFFFFu;
}
void OutPortByte(uint16_t port, uint8_t value)
{
    if (platformBus()) platformBus()->out8(port, value);
}
void OutPortWord(uint16_t port, uint16_t value)
{
    if (platformBus()) platformBus()->out16(port, value);
}
void OutPortDword(uint16_t port, uint32_t value)
{
    if (platformBus()) platformBus()->out32(port, value);
}
void DisableProcessorInterrupts(void)
{
    if (platformBus()) platformBus()->disableInterrupts();
}
void EnableProcessorInterrupts(void)
{
    if (platformBus()) platformBus()->enableInterrupts();
}
}
