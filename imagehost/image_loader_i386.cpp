// The driver image loader (see image_loader.h).
#if defined(__i386__)

#include "imagehost/image_loader.h"

#include <sys/mman.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "imagehost/import_thunks.h"
#include "imagehost/port_trap.h"
#include "platform/port_io.h"
#include "platform/scsiport.h"

namespace imagehost {
namespace {

constexpr uint32_t kPage = 0x1000;

uint32_t pageUp(uint32_t value) { return (value + kPage - 1) & ~(kPage - 1); }

std::string hex(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

const void* address(uint32_t value) { return reinterpret_cast<const void*>(uintptr_t(value)); }

template <typename F>
const void* routine(F* f)
{
    return reinterpret_cast<const void*>(f);
}

const HostOperation* find(const std::vector<HostOperation>& table, const std::string& name)
{
    for (const HostOperation& op : table)
        if (op.name == name) return &op;
    return nullptr;
}

}  // namespace

// The operations, with the bytes each pops: the arguments of the stdcall
// ones (a 64-bit physical address counts 8), none for the variadic
// notification, which uses the C convention.
const std::vector<HostOperation>& portDriverOperations()
{
    static const std::vector<HostOperation> table = {
        {"ScsiPortCompleteRequest", routine(&ScsiPortCompleteRequest), 20},
        {"ScsiPortConvertUlongToPhysicalAddress", routine(&ScsiPortConvertUlongToPhysicalAddress), 4},
        {"ScsiPortFreeDeviceBase", routine(&ScsiPortFreeDeviceBase), 8},
        {"ScsiPortGetDeviceBase", routine(&ScsiPortGetDeviceBase), 28},
        {"ScsiPortGetLogicalUnit", routine(&ScsiPortGetLogicalUnit), 16},
        {"ScsiPortInitialize", routine(&ScsiPortInitialize), 16},
        {"ScsiPortLogError", routine(&ScsiPortLogError), 28},
        {"ScsiPortNotification", routine(&ScsiPortNotification), 0},
        {"ScsiPortReadPortBufferUchar", routine(&ScsiPortReadPortBufferUchar), 12},
        {"ScsiPortReadPortBufferUlong", routine(&ScsiPortReadPortBufferUlong), 12},
        {"ScsiPortStallExecution", routine(&ScsiPortStallExecution), 4},
        {"ScsiPortWritePortBufferUchar", routine(&ScsiPortWritePortBufferUchar), 12},
        {"ScsiPortWritePortBufferUlong", routine(&ScsiPortWritePortBufferUlong), 12},
    };
    return table;
}

// The primitives use the C convention in the image and in the host alike.
const std::vector<HostOperation>& portPrimitives()
{
    static const std::vector<HostOperation> table = {
        {"_InPortByte", routine(&InPortByte), 0},
        {"_InPortWord", routine(&InPortWord), 0},
        {"_InPortDword", routine(&InPortDword), 0},
        {"_OutPortByte", routine(&OutPortByte), 0},
        {"_OutPortWord", routine(&OutPortWord), 0},
        {"_OutPortDword", routine(&OutPortDword), 0},
        {"_DisableProcessorInterrupts", routine(&DisableProcessorInterrupts), 0},
        {"_EnableProcessorInterrupts", routine(&EnableProcessorInterrupts), 0},
    };
    return table;
}

std::unique_ptr<LoadedImage> LoadedImage::load(const std::string& path, const LoadOptions& options,
                                               std::string& error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open the driver image " + path;
        return nullptr;
    }
    std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto image = load(file, options, error);
    if (!image) error = path + ": " + error;
    return image;
}

std::unique_ptr<LoadedImage> LoadedImage::load(const std::vector<uint8_t>& file,
                                               const LoadOptions& options, std::string& error)
{
    std::unique_ptr<LoadedImage> image(new LoadedImage);
    if (!parsePeImage(file.data(), file.size(), image->info_, error)) return nullptr;
    if (!image->map(file, options, error)) return nullptr;
    if (!image->bindImports(options, error)) return nullptr;
    image->redirectPrimitives(options);
    for (const PeSection& s : image->info_.sections) {
        if (s.characteristics & kSectionWrite) {
            const uint8_t* at = image->mapping_ + s.virtualAddress;
            image->writable_.push_back(
                {s.virtualAddress, std::vector<uint8_t>(at, at + pageUp(s.virtualSize))});
        }
    }
    if (!image->protect(error)) return nullptr;
    uintptr_t codeStart = UINTPTR_MAX, codeEnd = 0;
    for (const PeSection& s : image->info_.sections) {
        if (!(s.characteristics & kSectionExecute)) continue;
        uintptr_t start = reinterpret_cast<uintptr_t>(image->mapping_) + s.virtualAddress;
        codeStart = std::min(codeStart, start);
        codeEnd = std::max(codeEnd, start + s.virtualSize);
    }
    trapPortInstructions(codeStart, codeEnd);
    return image;
}

LoadedImage::~LoadedImage()
{
    if (mapping_) munmap(mapping_, info_.sizeOfImage);
    if (reserved_) munmap(reserved_, reservedSize_);
}

bool LoadedImage::map(const std::vector<uint8_t>& file, const LoadOptions&, std::string& error)
{
    // Keep the preferred range from being used, so that the image cannot
    // land there and any absolute address left unrelocated points at
    // nothing. A range the process already uses serves as well.
    reservedSize_ = info_.sizeOfImage;
    void* want = const_cast<void*>(address(info_.imageBase));
    void* got = mmap(want, reservedSize_, PROT_NONE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED_NOREPLACE, -1, 0);
    if (got == MAP_FAILED) {
        reservedSize_ = 0;
    } else if (got != want) {
        munmap(got, reservedSize_);
        reservedSize_ = 0;
    } else {
        reserved_ = got;
    }

    void* at = mmap(nullptr, info_.sizeOfImage, PROT_READ | PROT_WRITE,
                    MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (at == MAP_FAILED) {
        error = "cannot map " + std::to_string(info_.sizeOfImage) + " bytes for the image";
        return false;
    }
    mapping_ = static_cast<uint8_t*>(at);
    base_ = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(at));
    if (base_ == info_.imageBase) {
        error = "the image could only be mapped at its preferred base";
        return false;
    }
    std::vector<uint8_t> laidOut = layOutImage(info_, file.data(), file.size());
    relocateImage(info_, laidOut, base_);
    std::memcpy(mapping_, laidOut.data(), laidOut.size());
    return true;
}

bool LoadedImage::bindImports(const LoadOptions& options, std::string& error)
{
    for (const PeImport& imp : info_.imports) {
        const HostOperation* op = find(options.replacements, imp.name);
        if (!op) op = find(portDriverOperations(), imp.name);
        if (!op) {
            error = "import \"" + imp.name + "\" is not an operation the host provides";
            return false;
        }
        const void* thunk = bindThunk(thunksUsed_++, op->routine, op->popBytes, op->name.c_str());
        if (!thunk) {
            error = "more imports than the host has thunks for";
            return false;
        }
        uint32_t value = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(thunk));
        std::memcpy(mapping_ + imp.slotRva, &value, 4);
    }
    return true;
}

void LoadedImage::redirectPrimitives(const LoadOptions& options)
{
    if (options.trapPortInstructions) return;
    for (const HostOperation& prim : portPrimitives()) {
        uint32_t rva = info_.symbolRva(prim.name);
        if (rva == 0 || rva + 5 > info_.sizeOfImage) continue;
        const HostOperation* op = find(options.replacements, prim.name);
        if (!op) op = &prim;
        const void* thunk = bindThunk(thunksUsed_++, op->routine, op->popBytes, op->name.c_str());
        if (!thunk) return;
        // jmp rel32 to the thunk, over the primitive's first bytes.
        uint8_t* at = mapping_ + rva;
        int32_t rel = static_cast<int32_t>(reinterpret_cast<uintptr_t>(thunk) -
                                           (reinterpret_cast<uintptr_t>(at) + 5));
        at[0] = 0xE9;
        std::memcpy(at + 1, &rel, 4);
        ++redirected_;
    }
}

bool LoadedImage::protect(std::string& error)
{
    if (mprotect(mapping_, pageUp(info_.sizeOfHeaders), PROT_READ) != 0) {
        error = "cannot protect the image's headers";
        return false;
    }
    for (const PeSection& s : info_.sections) {
        int prot = 0;
        if (s.characteristics & kSectionRead) prot |= PROT_READ;
        if (s.characteristics & kSectionWrite) prot |= PROT_WRITE;
        if (s.characteristics & kSectionExecute) prot |= PROT_EXEC | PROT_READ;
        uint32_t length = pageUp(s.virtualSize);
        if (length == 0) continue;
        if (mprotect(mapping_ + s.virtualAddress, length, prot) != 0) {
            error = "cannot protect section " + s.name + " at " + hex(s.virtualAddress);
            return false;
        }
    }
    return true;
}

const void* LoadedImage::entry() const { return mapping_ + info_.entryRva; }

void* LoadedImage::symbol(const std::string& name) const
{
    uint32_t rva = info_.symbolRva(name);
    return rva ? mapping_ + rva : nullptr;
}

void LoadedImage::reset()
{
    for (const Saved& s : writable_) std::memcpy(mapping_ + s.rva, s.bytes.data(), s.bytes.size());
}

}  // namespace imagehost

#endif  // __i386__
