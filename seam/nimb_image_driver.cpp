#include "seam/nimb_image_driver.h"

#if defined(__i386__)
#include <memory>

#include "imagehost/image_loader.h"
#include "link/link.h"
#endif

namespace seam {

#if defined(__i386__)

bool imageDriverSupported() { return true; }

bool loadImageDriver(const std::string& path, bool trapPortIo, sim::DriverImage& driver,
                     std::string& error)
{
    imagehost::LoadOptions options;
    options.trapPortInstructions = trapPortIo;
    std::shared_ptr<imagehost::LoadedImage> image =
        imagehost::LoadedImage::load(path, options, error);
    if (!image) return false;
    driver = sim::DriverImage();
    driver.entry = reinterpret_cast<ULONG(NTAPI*)(PVOID, PVOID)>(const_cast<void*>(image->entry()));
    driver.reset = [image] { image->reset(); };
    // The image's link state, read through its symbol table with the
    // record's declaration: the layout is the same on every 32-bit x86
    // compiler.
    if (const void* state = image->symbol("_LinkState")) {
        driver.hostPortKind = [image, state] {
            return unsigned(static_cast<const LinkStateRecord*>(state)->HostPortKind);
        };
    }
    return true;
}

#else

bool imageDriverSupported() { return false; }

bool loadImageDriver(const std::string&, bool, sim::DriverImage&, std::string& error)
{
    error = "this build of nimbsim cannot run a driver image: build the 32-bit one (make image)";
    return false;
}

#endif

}  // namespace seam
