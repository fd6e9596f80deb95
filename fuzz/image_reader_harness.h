// The image-file harness shared by the fuzz target and its regression
// tests. One input is a whole file, any bytes. It is read twice: as it is,
// and, when it is long enough to have a CheckSum field, as a copy with the
// right checksum written in, so that the fuzzer reaches images that are
// accepted and not only the checksum's refusal.
//
// A refusal must come with a one-line reason. An accepted image must keep
// every promise the reader makes to the loader: sections, fixups, import
// slots and symbols inside SizeOfImage, raw data inside the file, the entry
// point in an executable section, the checksum right; laid out it is
// SizeOfImage bytes holding the headers and each section's raw data at its
// RVA; moved to another base every fixup word changes by the difference,
// and moved back (when no two fixups share a byte) it is as it was.
//
// Every check returns "" when it holds, else what went wrong.
#ifndef FUZZ_IMAGE_READER_HARNESS_H
#define FUZZ_IMAGE_READER_HARNESS_H

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "imagehost/pe_image.h"

namespace nimb_fuzz {

inline uint32_t ImageWord(const uint8_t* p)
{
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline std::string CheckAcceptedImage(const imagehost::PeImage& image, const uint8_t* data, size_t size)
{
    using namespace imagehost;
    const uint64_t end = image.sizeOfImage;
    if (end == 0 || end > kMaxImageSize) return "accepted SizeOfImage " + std::to_string(end);
    if (image.sizeOfHeaders > size || image.sizeOfHeaders > end) return "accepted headers outside the file or image";
    if (image.sections.empty() || image.sections.size() > kMaxSections) return "accepted section count";
    if (image.checksum != peChecksum(data, size)) return "accepted a wrong checksum";
    const uint64_t align = image.sectionAlignment;
    if (align == 0 || (align & (align - 1)) != 0) return "accepted section alignment";
    bool entryInCode = false;
    for (const PeSection& s : image.sections) {
        uint64_t pages = (uint64_t{s.virtualSize} + align - 1) / align * align;
        if (s.virtualAddress < image.sizeOfHeaders || s.virtualAddress + pages > end)
            return "accepted section " + s.name + " outside the image";
        if (s.rawSize > pages || uint64_t{s.rawOffset} + s.rawSize > size)
            return "accepted section " + s.name + " raw data outside the file or its pages";
        for (const PeSection& t : image.sections) {
            if (&t == &s) continue;
            uint64_t tPages = (uint64_t{t.virtualSize} + align - 1) / align * align;
            if (s.virtualAddress < t.virtualAddress + tPages && t.virtualAddress < s.virtualAddress + pages)
                return "accepted overlapping sections " + s.name + " and " + t.name;
        }
        if ((s.characteristics & kSectionExecute) && image.entryRva >= s.virtualAddress &&
            image.entryRva - s.virtualAddress < s.virtualSize)
            entryInCode = true;
    }
    if (!entryInCode) return "accepted an entry point outside the executable sections";
    for (uint32_t rva : image.relocations)
        if (uint64_t{rva} + 4 > end) return "accepted a fixup past the image";
    for (const PeImport& i : image.imports) {
        if (uint64_t{i.slotRva} + 4 > end) return "accepted an import slot past the image";
        if (i.name.empty() || i.name.size() > kMaxImportNameLength) return "accepted import name " + i.name;
    }
    for (const PeSymbol& s : image.symbols)
        if (s.rva >= end) return "accepted symbol " + s.name + " past the image";

    std::vector<uint8_t> laid = layOutImage(image, data, size);
    if (laid.size() != end) return "laid out " + std::to_string(laid.size()) + " bytes";
    if (!std::equal(data, data + image.sizeOfHeaders, laid.begin())) return "headers not laid out";
    for (const PeSection& s : image.sections)
        if (!std::equal(data + s.rawOffset, data + s.rawOffset + s.rawSize, laid.begin() + s.virtualAddress))
            return "section " + s.name + " not laid out at its RVA";

    const uint32_t newBase = image.imageBase ^ 0x80010000u;
    const uint32_t delta = newBase - image.imageBase;
    std::vector<uint8_t> moved = laid;
    relocateImage(image, moved, newBase);
    if (moved.size() != end) return "relocation changed the image's size";
    std::vector<uint32_t> fixups = image.relocations;
    std::sort(fixups.begin(), fixups.end());
    bool apart = true;
    for (size_t i = 1; i < fixups.size(); ++i) apart = apart && fixups[i] - fixups[i - 1] >= 4;
    if (apart) {
        for (uint32_t rva : fixups)
            if (ImageWord(moved.data() + rva) != ImageWord(laid.data() + rva) + delta)
                return "fixup word not moved by the difference of the bases";
        // Back again: the image now sits at newBase.
        imagehost::PeImage atNew = image;
        atNew.imageBase = newBase;
        relocateImage(atNew, moved, image.imageBase);
        if (moved != laid) return "moving the image and back changed it";
    }
    return "";
}

inline std::string CheckImageOnce(const uint8_t* data, size_t size)
{
    imagehost::PeImage image;
    std::string error;
    if (!imagehost::parsePeImage(data, size, image, error)) {
        if (error.empty()) return "refused without a reason";
        if (error.find('\n') != std::string::npos) return "reason of more than one line: " + error;
        return "";
    }
    if (!error.empty()) return "accepted with a reason: " + error;
    return CheckAcceptedImage(image, data, size);
}

inline std::string CheckImageInput(const uint8_t* data, size_t size)
{
    std::string fault = CheckImageOnce(data, size);
    if (!fault.empty()) return fault;
    if (size < 0x40) return "";
    uint64_t field = uint64_t{ImageWord(data + 0x3C)} + 4 + 20 + 64;
    if (field + 4 > size) return "";
    std::vector<uint8_t> fixed(data, data + size);
    uint32_t sum = imagehost::peChecksum(fixed.data(), fixed.size());
    for (int b = 0; b < 4; ++b) fixed[field + b] = static_cast<uint8_t>(sum >> (8 * b));
    fault = CheckImageOnce(fixed.data(), fixed.size());
    return fault.empty() ? "" : "with the checksum set: " + fault;
}

}  // namespace nimb_fuzz

#endif  // FUZZ_IMAGE_READER_HARNESS_H
