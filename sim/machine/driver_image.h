// The driver a simulated machine loads. The machine never names the
// driver's routines itself: whoever builds the machine hands it these, so
// that the stand-in builds and links without the driver, and the driver
// without the stand-in's machine.
#ifndef SIM_MACHINE_DRIVER_IMAGE_H
#define SIM_MACHINE_DRIVER_IMAGE_H

#include <functional>

#include "platform/scsiport.h"

namespace sim {

struct DriverImage {
    // The image's entry point, called once per boot with made-up driver
    // object and registry path.
    ULONG(NTAPI* entry)(PVOID driverObject, PVOID registryPath) = nullptr;
    // Puts the image's records back as a fresh load leaves them; called
    // before each boot, since one process boots many machines.
    std::function<void()> reset;
    // The kind of host port the driver settled on (0 plain, 1 and 3
    // enhanced, 2 gated by the 0x100/0x101 chipset), read from the driver's
    // link state as a debugger would: kinds 1 and 3 differ only there, and
    // nothing on the wire tells them apart. Absent when the driver's records
    // cannot be read.
    std::function<unsigned()> hostPortKind;

    bool loaded() const { return entry != nullptr; }
};

}  // namespace sim

#endif  // SIM_MACHINE_DRIVER_IMAGE_H
