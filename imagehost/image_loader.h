// Loads the driver image file into this (32-bit x86) process and makes it
// runnable on the simulated PC, as the kernel's loader and the port driver
// would make it runnable on a real one:
//
// * the file is read and checked (pe_image.h); anything the loader would
//   refuse is refused with a one-line reason;
// * the image's preferred address range is reserved and left inaccessible,
//   and the image is mapped elsewhere, so that an address the base
//   relocations missed faults at once instead of working by luck;
// * the base relocations are applied for the address it got;
// * each import is bound by name to a thunk in front of the host's
//   operation of that name (import_thunks.h); an import the host does not
//   provide is refused;
// * unless every port instruction is to be trapped, the image's port I/O
//   primitives, found by their names in its symbol table, are redirected to
//   the bus through thunks too (one call per access instead of a fault);
//   the instructions left are trapped (port_trap.h);
// * each section gets the protection its header asks for: code read and
//   execute, read-only data read-only, data read and write;
// * the writable sections are kept as loaded, so that each boot starts
//   from a fresh image.
//
// The thunks and the trap are process-wide, so one image is loaded at a
// time. 32-bit x86 only.
#ifndef IMAGEHOST_IMAGE_LOADER_H
#define IMAGEHOST_IMAGE_LOADER_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "imagehost/pe_image.h"

namespace imagehost {

// A host routine an import (or redirected primitive) is bound to.
struct HostOperation {
    std::string name;     // the import's name, or the symbol's for a primitive
    const void* routine;  // the host's implementation
    uint32_t popBytes;    // what it pops: its arguments (stdcall) or 0 (C convention)
};

// The SCSIPORT.SYS operations the host provides, and the port primitives
// the fast path redirects (found by their symbol names).
const std::vector<HostOperation>& portDriverOperations();
const std::vector<HostOperation>& portPrimitives();

struct LoadOptions {
    // Trap every IN, OUT, CLI and STI instead of redirecting the image's
    // port primitives.
    bool trapPortInstructions = false;
    // Bindings that replace the host's own, by name (to check the checks).
    std::vector<HostOperation> replacements;
};

class LoadedImage {
public:
    // Loads a file; nullptr with a reason in error when it cannot.
    static std::unique_ptr<LoadedImage> load(const std::string& path, const LoadOptions& options,
                                             std::string& error);
    static std::unique_ptr<LoadedImage> load(const std::vector<uint8_t>& file,
                                             const LoadOptions& options, std::string& error);
    ~LoadedImage();
    LoadedImage(const LoadedImage&) = delete;
    LoadedImage& operator=(const LoadedImage&) = delete;

    const PeImage& info() const { return info_; }
    uint32_t base() const { return base_; }
    // The entry point's address in this process.
    const void* entry() const;
    // Where a symbol of the image lies in this process; nullptr if the
    // image has no such symbol.
    void* symbol(const std::string& name) const;
    // Puts every writable section back as the load left it.
    void reset();
    // How many port primitives the fast path redirected (0 when trapping).
    unsigned redirectedPrimitives() const { return redirected_; }

private:
    LoadedImage() = default;
    bool map(const std::vector<uint8_t>& file, const LoadOptions& options, std::string& error);
    bool bindImports(const LoadOptions& options, std::string& error);
    void redirectPrimitives(const LoadOptions& options);
    bool protect(std::string& error);

    PeImage info_;
    uint8_t* mapping_ = nullptr;
    uint32_t base_ = 0;
    void* reserved_ = nullptr;  // the preferred range, kept inaccessible
    size_t reservedSize_ = 0;
    unsigned redirected_ = 0;
    size_t thunksUsed_ = 0;
    struct Saved {
        uint32_t rva;
        std::vector<uint8_t> bytes;
    };
    std::vector<Saved> writable_;
};

}  // namespace imagehost

#endif  // IMAGEHOST_IMAGE_LOADER_H
