// The platform's port I/O primitives (platform/port_io.h) as the stand-in
// implements them: every IN and OUT the driver makes goes to the I/O bus
// bound here, the bus of the simulated machine the driver runs on.
#ifndef SIM_BUS_PLATFORM_PORT_IO_H
#define SIM_BUS_PLATFORM_PORT_IO_H

#include "sim/bus/io_bus.h"

namespace sim {

// The bus the platform's port I/O primitives reach. A simulated machine
// binds its bus here while the driver runs on it.
void bindPlatformBus(IoBus* bus);
IoBus* platformBus();

}  // namespace sim

#endif  // SIM_BUS_PLATFORM_PORT_IO_H
