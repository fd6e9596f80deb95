// The one place where the stand-in meets the NIMB miniport by name: the
// tool, the tests and the fuzz targets take the driver a simulated machine
// loads from here, and nothing in sim/, soak/ or tools/bench/ names a
// driver routine or reads a driver record.
#ifndef SEAM_NIMB_DRIVER_H
#define SEAM_NIMB_DRIVER_H

#include "sim/machine/driver_image.h"

namespace seam {

// DriverEntry, and the reset of the driver's records between boots.
sim::DriverImage nimbDriver();

// The kind of host port the driver settled on (0 plain, 1 and 3 enhanced,
// 2 gated by the 0x100/0x101 chipset), read from its link state as a
// debugger would. Kinds 1 and 3 differ only in this record: nothing on the
// wire tells them apart.
unsigned nimbDriverPortKind();

}  // namespace seam

#endif  // SEAM_NIMB_DRIVER_H
