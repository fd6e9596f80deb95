// The driver linked with the platform's stand-in implementation and nothing
// else of the stand-in (every object of both libraries is linked in, so a
// driver source that reached for anything more would not link): it loads on
// a machine whose bus holds no device at all and finds no adapter.
#include <cstdio>

#include "miniport/request.h"
#include "sim/bus/io_bus.h"
#include "sim/host/scsi_port_host.h"

int main()
{
    sim::Clock clock;
    sim::IoBus bus(clock);
    sim::ScsiPortHost host(bus);
    DriverImageReset();
    uint32_t status = host.boot(&DriverEntry);
    if (status == sim::kStatusSuccess || host.adapterCount() != 0 || host.violationCount() != 0) {
        std::fprintf(stderr, "driver on an empty bus: status 0x%08X, %zu adapters, violations:\n%s\n", status,
                     host.adapterCount(), host.violationText().c_str());
        return 1;
    }
    return 0;
}
