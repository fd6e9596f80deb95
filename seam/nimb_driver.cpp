#include "seam/nimb_driver.h"

#include "link/link.h"
#include "miniport/request.h"

namespace seam {

sim::DriverImage nimbDriver()
{
    sim::DriverImage image;
    image.entry = &DriverEntry;
    image.reset = &DriverImageReset;
    return image;
}

unsigned nimbDriverPortKind() { return LinkState.HostPortKind; }

}  // namespace seam
