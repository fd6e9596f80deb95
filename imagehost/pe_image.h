// The driver image file as the kernel's loader sees it: a PE32 image for
// 32-bit x86, native subsystem, relocatable, importing the port driver's
// operations from SCSIPORT.SYS. parsePeImage() reads and checks a file
// without trusting any offset, size or count in it, and either describes
// the image or says, in one line, why the loader would refuse it.
//
// Everything here is plain byte arithmetic: it builds and runs on any host,
// so the checks are tested and fuzzed in the ordinary 64-bit build. Mapping
// and running the image is the 32-bit loader's business (image_loader.h).
#ifndef IMAGEHOST_PE_IMAGE_H
#define IMAGEHOST_PE_IMAGE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace imagehost {

// Limits on what the loader accepts, beyond what the format allows: no
// driver of this kind comes near them, and they keep a hostile file from
// asking for gigabytes.
constexpr uint32_t kMaxImageSize = 16u * 1024 * 1024;
constexpr size_t kMaxImportNameLength = 128;
constexpr uint32_t kMaxSections = 32;

// The DLL every import must come from.
constexpr const char* kPortDriverModule = "SCSIPORT.SYS";

// Section characteristics the loader reads.
constexpr uint32_t kSectionCode = 0x00000020;
constexpr uint32_t kSectionUninitializedData = 0x00000080;
constexpr uint32_t kSectionDiscardable = 0x02000000;
constexpr uint32_t kSectionExecute = 0x20000000;
constexpr uint32_t kSectionRead = 0x40000000;
constexpr uint32_t kSectionWrite = 0x80000000;

struct PeSection {
    std::string name;           // up to 8 characters
    uint32_t virtualAddress = 0;  // RVA
    uint32_t virtualSize = 0;     // bytes in memory (the rest after the raw data is zero);
                                  // SizeOfRawData when the header's VirtualSize is 0
    uint32_t rawOffset = 0;       // file offset of the raw data (0 when rawSize is 0)
    uint32_t rawSize = 0;         // bytes of raw data copied (never more than virtualSize
                                  // rounded up, never past the end of the file)
    uint32_t characteristics = 0;
};

struct PeImport {
    std::string name;     // the operation's exported name, e.g. "ScsiPortInitialize"
    uint32_t slotRva = 0;  // RVA of its 32-bit slot in the import address table
};

struct PeSymbol {
    std::string name;  // as the COFF table spells it, e.g. "_InPortByte"
    uint32_t rva = 0;
};

struct PeImage {
    uint32_t imageBase = 0;      // preferred load address
    uint32_t sizeOfImage = 0;    // bytes mapped, a multiple of the section alignment
    uint32_t sizeOfHeaders = 0;  // header bytes copied to the start of the mapping
    uint32_t entryRva = 0;       // DriverEntry, inside an executable section
    uint32_t sectionAlignment = 0;
    uint32_t checksum = 0;       // as recorded in the header (and verified)
    std::vector<PeSection> sections;
    // RVAs of the 32-bit words the base relocations fix up (IMAGE_REL_BASED_HIGHLOW);
    // padding entries (ABSOLUTE) are dropped.
    std::vector<uint32_t> relocations;
    std::vector<PeImport> imports;
    // External symbols of the COFF table that lie inside a section; empty
    // when the image carries no table.
    std::vector<PeSymbol> symbols;

    // The RVA of a symbol, or 0 when the image has no such symbol.
    uint32_t symbolRva(const std::string& name) const;
};

// The PE image checksum over a whole file, with the header's own checksum
// field counted as zero: what the kernel's loader compares with the header.
uint32_t peChecksum(const uint8_t* file, size_t size);

// Reads and checks an image. Returns false with a one-line reason in error
// (no trailing newline) when the file is truncated, corrupt, or an image the
// NT 4.0 loader would refuse: not PE32, not i386, not the native subsystem,
// not executable, a checksum that does not match, a section, relocation
// block, fixup, import descriptor or name outside the file or the image, an
// import name too long or unterminated, an import by ordinal, an import from
// any module but SCSIPORT.SYS, a relocation type other than HIGHLOW and
// ABSOLUTE, or an entry point outside the executable sections.
bool parsePeImage(const uint8_t* file, size_t size, PeImage& image, std::string& error);

// The image as the loader lays it out at its preferred base, before any
// relocation: sizeOfImage bytes, the headers first, each section's raw data
// at its RVA, and zeros everywhere else (uninitialised data included).
std::vector<uint8_t> layOutImage(const PeImage& image, const uint8_t* file, size_t size);

// Moves a laid-out image to another base: adds (newBase - imageBase) to every
// relocated 32-bit word. The relocations were checked to lie inside the image.
void relocateImage(const PeImage& image, std::vector<uint8_t>& laidOut, uint32_t newBase);

}  // namespace imagehost

#endif  // IMAGEHOST_PE_IMAGE_H
