#include "seam/nimb_driver.h"

#include "link/link.h"
#include "miniport/request.h"

namespace seam {

sim::DriverImage nimbDriver()
{
    sim::DriverImage image;
    image.entry = &DriverEntry;
    image.reset = &DriverImageReset;
    image.hostPortKind = [] { return unsigned(LinkState.HostPortKind); };
    return image;
}


}  // namespace seam
