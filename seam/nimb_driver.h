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

}  // namespace seam

#endif  // SEAM_NIMB_DRIVER_H
