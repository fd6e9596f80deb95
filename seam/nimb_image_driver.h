// The NIMB miniport as a driver image file (nimb.sys) loaded into this
// process, handed to a simulated machine like the linked-in driver. Only a
// 32-bit x86 build can run the image.
#ifndef SEAM_NIMB_IMAGE_DRIVER_H
#define SEAM_NIMB_IMAGE_DRIVER_H

#include <string>

#include "sim/machine/driver_image.h"

namespace seam {

// True when this build can load and run a driver image.
bool imageDriverSupported();

// Loads the image file; false with a one-line reason in error when the
// file is unusable (or the build cannot run images). With trapPortIo every
// port instruction of the image is trapped; otherwise its port primitives
// are redirected to the bus and only the rest are trapped.
bool loadImageDriver(const std::string& path, bool trapPortIo, sim::DriverImage& driver,
                     std::string& error);

}  // namespace seam

#endif  // SEAM_NIMB_IMAGE_DRIVER_H
