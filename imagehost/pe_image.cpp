// The reader of the driver image file. Every offset, size, count and RVA
// read from the file is checked before it is used: offsets against the file
// size, RVAs against SizeOfImage, all sums in 64 bits so that nothing wraps.
#include "imagehost/pe_image.h"

#include <algorithm>
#include <cstdio>

#include "imagehost/pe_format.h"

namespace imagehost {

namespace {

using namespace pe;

// Bounds of our own on the import tables, well past what a driver of this
// kind has (one module, a dozen operations), so that a file that chains
// descriptors or thunks through the whole image stays cheap to refuse.
constexpr uint32_t kMaxImportDescriptors = 64;
constexpr uint32_t kMaxImports = 4096;

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t le32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

std::string hex(uint64_t v)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(v));
    return text;
}

// A name from the file as it may appear in a one-line message.
std::string printable(const std::string& s)
{
    std::string out;
    for (char c : s) {
        unsigned char u = static_cast<unsigned char>(c);
        out += (u >= 0x20 && u < 0x7F) ? c : '?';
    }
    return out;
}

bool fail(std::string& error, std::string message)
{
    error = std::move(message);
    return false;
}

bool isPowerOfTwo(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

uint64_t alignUp(uint64_t v, uint32_t alignment) { return (v + alignment - 1) / alignment * alignment; }

// The bytes the image occupies in memory from a section's RVA on.
uint64_t sectionExtent(const PeSection& s, uint32_t alignment) { return alignUp(s.virtualSize, alignment); }

bool sameModule(const std::string& a, const char* b)
{
    size_t i = 0;
    for (; i < a.size() && b[i]; ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
        if (x != y) return false;
    }
    return i == a.size() && b[i] == 0;
}

// The file as the bounds-checked source of every header field.
struct FileBytes {
    const uint8_t* data;
    size_t size;

    bool has(uint64_t offset, uint64_t length) const { return offset <= size && length <= size - offset; }
};

// The image as it is mapped, read by RVA without laying it out: header
// bytes below SizeOfHeaders, each section's raw data at its RVA, and zeros
// everywhere else. Callers check the RVA range with contains() first.
class MappedView {
public:
    MappedView(const PeImage& image, const uint8_t* file) : image_(image), file_(file) {}

    bool contains(uint64_t rva, uint64_t length) const
    {
        return rva <= image_.sizeOfImage && length <= image_.sizeOfImage - rva;
    }

    uint8_t byte(uint32_t rva) const
    {
        if (rva < image_.sizeOfHeaders) return file_[rva];
        for (const PeSection& s : image_.sections) {
            if (rva >= s.virtualAddress && rva - s.virtualAddress < s.rawSize)
                return file_[s.rawOffset + (rva - s.virtualAddress)];
        }
        return 0;
    }

    uint16_t u16(uint32_t rva) const { return static_cast<uint16_t>(byte(rva) | (byte(rva + 1) << 8)); }

    uint32_t u32(uint32_t rva) const { return u16(rva) | (static_cast<uint32_t>(u16(rva + 2)) << 16); }

    enum class Text { Ok, TooLong, PastImage };

    // A NUL-terminated string of at most maxLength characters at rva.
    Text string(uint32_t rva, size_t maxLength, std::string& out) const
    {
        out.clear();
        for (uint64_t at = rva;; ++at) {
            if (!contains(at, 1)) return Text::PastImage;
            uint8_t c = byte(static_cast<uint32_t>(at));
            if (c == 0) return Text::Ok;
            if (out.size() == maxLength) return Text::TooLong;
            out += static_cast<char>(c);
        }
    }

private:
    const PeImage& image_;
    const uint8_t* file_;
};

struct Headers {
    uint32_t peOffset = 0;
    uint32_t optOffset = 0;
    uint16_t optSize = 0;
    uint16_t sectionCount = 0;
    uint32_t directoryCount = 0;
    uint32_t symbolTable = 0;
    uint32_t symbolCount = 0;
};

bool readHeaders(const FileBytes& f, Headers& h, PeImage& image, std::string& error)
{
    if (!f.has(0, kDosHeaderSize))
        return fail(error, "not a PE32 image: the file's " + std::to_string(f.size) +
                               " bytes are too few for the MS-DOS header");
    if (le16(f.data + kDosMagicOffset) != kDosMagic) return fail(error, "not a PE32 image: no MZ signature");
    h.peOffset = le32(f.data + kDosNewHeaderOffset);
    if (!f.has(h.peOffset, kSignatureSize + kFileHeaderSize))
        return fail(error, "not a PE32 image: the PE header at " + hex(h.peOffset) + " runs past the end of the file (" +
                               std::to_string(f.size) + " bytes)");
    if (le32(f.data + h.peOffset) != kSignature)
        return fail(error, "not a PE32 image: no PE signature at " + hex(h.peOffset));

    const uint8_t* coff = f.data + h.peOffset + kSignatureSize;
    uint16_t machine = le16(coff + kFileMachine);
    if (machine != kMachineI386) return fail(error, "not a PE32 image: machine " + hex(machine) + " is not i386");
    uint16_t characteristics = le16(coff + kFileCharacteristics);
    if (!(characteristics & kFileExecutableImage))
        return fail(error, "not an executable image: file characteristics " + hex(characteristics));
    if (characteristics & kFileRelocsStripped)
        return fail(error, "image cannot be moved: its relocations were stripped (file characteristics " +
                               hex(characteristics) + ")");
    h.sectionCount = le16(coff + kFileNumberOfSections);
    h.optSize = le16(coff + kFileSizeOfOptionalHeader);
    h.symbolTable = le32(coff + kFilePointerToSymbolTable);
    h.symbolCount = le32(coff + kFileNumberOfSymbols);

    h.optOffset = h.peOffset + kSignatureSize + kFileHeaderSize;
    if (h.optSize < 2 || !f.has(h.optOffset, 2))
        return fail(error, "not a PE32 image: the optional header is missing or truncated");
    const uint8_t* opt = f.data + h.optOffset;
    uint16_t magic = le16(opt + kOptMagic);
    if (magic == kMagicPe32Plus)
        return fail(error, "not a PE32 image: optional header magic " + hex(magic) + " is PE32+ (64-bit)");
    if (magic != kMagicPe32) return fail(error, "not a PE32 image: optional header magic " + hex(magic));
    if (h.optSize < kOptFixedSize)
        return fail(error, "not a PE32 image: SizeOfOptionalHeader " + std::to_string(h.optSize) +
                               " is too small for a PE32 optional header (" + std::to_string(kOptFixedSize) + ")");
    if (!f.has(h.optOffset, h.optSize))
        return fail(error, "optional header (" + std::to_string(h.optSize) + " bytes at " + hex(h.optOffset) +
                               ") runs past the end of the file");
    h.directoryCount = le32(opt + kOptNumberOfRvaAndSizes);
    if (kOptDataDirectories + uint64_t{kDataDirectorySize} * h.directoryCount > h.optSize)
        return fail(error, "NumberOfRvaAndSizes " + std::to_string(h.directoryCount) +
                               " does not fit the optional header of " + std::to_string(h.optSize) + " bytes");

    uint16_t subsystem = le16(opt + kOptSubsystem);
    if (subsystem != kSubsystemNative)
        return fail(error, "subsystem " + std::to_string(subsystem) + " is not the native subsystem (1)");

    image.entryRva = le32(opt + kOptAddressOfEntryPoint);
    image.imageBase = le32(opt + kOptImageBase);
    image.sectionAlignment = le32(opt + kOptSectionAlignment);
    image.sizeOfImage = le32(opt + kOptSizeOfImage);
    image.sizeOfHeaders = le32(opt + kOptSizeOfHeaders);
    image.checksum = le32(opt + kOptCheckSum);

    if (!isPowerOfTwo(image.sectionAlignment))
        return fail(error, "section alignment " + hex(image.sectionAlignment) + " is not a power of two");
    if (image.sizeOfImage == 0) return fail(error, "SizeOfImage is 0");
    if (image.sizeOfImage > kMaxImageSize)
        return fail(error, "SizeOfImage " + hex(image.sizeOfImage) + " exceeds the limit of " + hex(kMaxImageSize));
    if (image.sizeOfImage % image.sectionAlignment != 0)
        return fail(error, "SizeOfImage " + hex(image.sizeOfImage) + " is not a multiple of the section alignment " +
                               hex(image.sectionAlignment));
    if (uint64_t{image.imageBase} + image.sizeOfImage > (uint64_t{1} << 32))
        return fail(error, "image base " + hex(image.imageBase) + " with SizeOfImage " + hex(image.sizeOfImage) +
                               " runs past 4 GB");
    if (image.sizeOfHeaders > f.size)
        return fail(error, "SizeOfHeaders " + hex(image.sizeOfHeaders) + " runs past the end of the file (" +
                               std::to_string(f.size) + " bytes)");
    if (image.sizeOfHeaders > image.sizeOfImage)
        return fail(error, "SizeOfHeaders " + hex(image.sizeOfHeaders) + " exceeds SizeOfImage " +
                               hex(image.sizeOfImage));
    return true;
}

bool readSections(const FileBytes& f, const Headers& h, PeImage& image, std::string& error)
{
    if (h.sectionCount == 0) return fail(error, "the image has no sections");
    if (h.sectionCount > kMaxSections)
        return fail(error, std::to_string(h.sectionCount) + " sections, more than the limit of " +
                               std::to_string(kMaxSections));
    uint64_t table = uint64_t{h.optOffset} + h.optSize;
    uint64_t tableSize = uint64_t{kSectionHeaderSize} * h.sectionCount;
    if (!f.has(table, tableSize))
        return fail(error, "section table (" + std::to_string(h.sectionCount) + " headers at " + hex(table) +
                               ") runs past the end of the file");
    if (table + tableSize > image.sizeOfHeaders)
        return fail(error, "section table ends at " + hex(table + tableSize) + ", past SizeOfHeaders " +
                               hex(image.sizeOfHeaders));

    for (uint32_t i = 0; i < h.sectionCount; ++i) {
        const uint8_t* header = f.data + table + uint64_t{kSectionHeaderSize} * i;
        PeSection s;
        for (uint32_t c = 0; c < kSectionNameSize && header[kSectionName + c] != 0; ++c)
            s.name += static_cast<char>(header[kSectionName + c]);
        uint32_t rawDataSize = le32(header + kSectionSizeOfRawData);
        s.virtualAddress = le32(header + kSectionVirtualAddress);
        s.virtualSize = le32(header + kSectionVirtualSize);
        // Some linkers leave VirtualSize 0 and mean the raw data's size.
        if (s.virtualSize == 0) s.virtualSize = rawDataSize;
        s.rawOffset = le32(header + kSectionPointerToRawData);
        s.characteristics = le32(header + kSectionCharacteristics);
        std::string what = "section " + printable(s.name) + " (RVA " + hex(s.virtualAddress) + ")";

        if (s.virtualAddress % image.sectionAlignment != 0)
            return fail(error, what + " is not aligned to the section alignment " + hex(image.sectionAlignment));
        if (s.virtualAddress < image.sizeOfHeaders)
            return fail(error, what + " overlaps the headers (" + hex(image.sizeOfHeaders) + " bytes)");
        uint64_t extent = sectionExtent(s, image.sectionAlignment);
        if (uint64_t{s.virtualAddress} + extent > image.sizeOfImage)
            return fail(error, what + " with " + hex(s.virtualSize) + " bytes runs past SizeOfImage " +
                                   hex(image.sizeOfImage));
        if (rawDataSize != 0 && !f.has(s.rawOffset, rawDataSize))
            return fail(error, what + " raw data (" + hex(rawDataSize) + " bytes at " + hex(s.rawOffset) +
                                   ") runs past the end of the file (" + std::to_string(f.size) + " bytes)");
        // The bytes copied into the image: the raw data, but never more than
        // the section's memory rounded up to the section alignment. Raw data
        // is padded to the file alignment, and that padding may reach past
        // VirtualSize; whatever lies past the section's own pages belongs to
        // no section and is not copied.
        s.rawSize = static_cast<uint32_t>(std::min<uint64_t>(rawDataSize, extent));
        // A section with nothing to copy gets no file offset: its
        // PointerToRawData means nothing and need not lie in the file.
        if (s.rawSize == 0) s.rawOffset = 0;

        for (const PeSection& other : image.sections) {
            uint64_t a0 = s.virtualAddress, a1 = a0 + extent;
            uint64_t b0 = other.virtualAddress, b1 = b0 + sectionExtent(other, image.sectionAlignment);
            if (a0 < b1 && b0 < a1)
                return fail(error, "sections " + printable(other.name) + " and " + printable(s.name) +
                                       " overlap at RVA " + hex(std::max(a0, b0)));
        }
        image.sections.push_back(std::move(s));
    }

    for (const PeSection& s : image.sections) {
        if ((s.characteristics & kSectionExecute) && image.entryRva >= s.virtualAddress &&
            image.entryRva - s.virtualAddress < s.virtualSize)
            return true;
    }
    return fail(error, "entry point RVA " + hex(image.entryRva) + " is not in an executable section");
}

struct Directory {
    uint32_t rva = 0;
    uint32_t size = 0;
};

Directory directory(const FileBytes& f, const Headers& h, uint32_t index)
{
    Directory d;
    if (index >= h.directoryCount) return d;
    const uint8_t* entry = f.data + h.optOffset + kOptDataDirectories + kDataDirectorySize * index;
    d.rva = le32(entry);
    d.size = le32(entry + 4);
    return d;
}

bool readRelocations(const MappedView& view, Directory dir, PeImage& image, std::string& error)
{
    if (dir.rva == 0 || dir.size == 0) return true;
    if (!view.contains(dir.rva, dir.size))
        return fail(error, "relocation directory (" + hex(dir.size) + " bytes at RVA " + hex(dir.rva) +
                               ") runs past the end of the image");
    for (uint32_t offset = 0; offset < dir.size;) {
        uint32_t block = dir.rva + offset;
        if (dir.size - offset < kRelocBlockHeaderSize)
            return fail(error, "relocation block at RVA " + hex(block) + " runs past the end of the relocation directory");
        uint32_t page = view.u32(block + kRelocBlockPageRva);
        uint32_t blockSize = view.u32(block + kRelocBlockSize);
        if (blockSize < kRelocBlockHeaderSize || (blockSize - kRelocBlockHeaderSize) % kRelocEntrySize != 0)
            return fail(error, "relocation block at RVA " + hex(block) + " has size " + std::to_string(blockSize));
        if (blockSize > dir.size - offset)
            return fail(error, "relocation block at RVA " + hex(block) + " (" + std::to_string(blockSize) +
                                   " bytes) runs past the end of the relocation directory");
        for (uint32_t e = kRelocBlockHeaderSize; e < blockSize; e += kRelocEntrySize) {
            uint16_t entry = view.u16(block + e);
            uint16_t type = static_cast<uint16_t>(entry >> 12);
            uint64_t target = uint64_t{page} + (entry & 0x0FFFu);
            if (type == kRelocAbsolute) continue;
            if (type != kRelocHighLow)
                return fail(error, "relocation type " + std::to_string(type) + " at RVA " + hex(target) +
                                       " is not supported (only HIGHLOW and ABSOLUTE)");
            if (!view.contains(target, 4))
                return fail(error, "fixup at RVA " + hex(target) + " (block at RVA " + hex(block) +
                                       ") runs past the end of the image");
            image.relocations.push_back(static_cast<uint32_t>(target));
        }
        offset += blockSize;
    }
    return true;
}

bool readImportName(const MappedView& view, uint32_t rva, const std::string& what, std::string& name,
                    std::string& error)
{
    switch (view.string(rva, kMaxImportNameLength, name)) {
    case MappedView::Text::PastImage:
        return fail(error, what + " at RVA " + hex(rva) + " is not terminated inside the image");
    case MappedView::Text::TooLong:
        return fail(error, what + " at RVA " + hex(rva) + " is longer than " + std::to_string(kMaxImportNameLength) +
                               " characters");
    case MappedView::Text::Ok:
        break;
    }
    if (name.empty()) return fail(error, what + " at RVA " + hex(rva) + " is empty");
    return true;
}

bool readImports(const MappedView& view, Directory dir, PeImage& image, std::string& error)
{
    if (dir.rva == 0) return true;
    for (uint32_t n = 0;; ++n) {
        uint64_t descriptor = uint64_t{dir.rva} + uint64_t{kImportDescriptorSize} * n;
        if (!view.contains(descriptor, kImportDescriptorSize))
            return fail(error, "import descriptor at RVA " + hex(descriptor) + " lies outside the image");
        uint32_t d = static_cast<uint32_t>(descriptor);
        bool zero = true;
        for (uint32_t b = 0; b < kImportDescriptorSize && zero; ++b) zero = view.byte(d + b) == 0;
        if (zero) return true;
        if (n == kMaxImportDescriptors)
            return fail(error, "more than " + std::to_string(kMaxImportDescriptors) + " import descriptors");

        uint32_t lookup = view.u32(d + kImportOriginalFirstThunk);
        uint32_t nameRva = view.u32(d + kImportName);
        uint32_t slots = view.u32(d + kImportFirstThunk);
        std::string module;
        if (!readImportName(view, nameRva, "import descriptor at RVA " + hex(d) + ": module name", module, error))
            return false;
        std::string from = " from " + printable(module);
        if (slots == 0)
            return fail(error, "import descriptor at RVA " + hex(d) + from + " has no import address table");
        if (lookup == 0) lookup = slots;
        bool foreign = !sameModule(module, kPortDriverModule);

        for (uint32_t i = 0;; ++i) {
            uint64_t entry = uint64_t{lookup} + uint64_t{kThunkSize} * i;
            uint64_t slot = uint64_t{slots} + uint64_t{kThunkSize} * i;
            if (!view.contains(entry, kThunkSize))
                return fail(error, "import lookup entry at RVA " + hex(entry) + from + " lies outside the image");
            uint32_t thunk = view.u32(static_cast<uint32_t>(entry));
            if (thunk == 0) break;
            if (!view.contains(slot, kThunkSize))
                return fail(error, "import address slot at RVA " + hex(slot) + from + " lies outside the image");
            if (thunk & kThunkOrdinalFlag)
                return fail(error, "import by ordinal " + std::to_string(thunk & 0xFFFFu) + from +
                                       ": only imports by name are provided");
            if (!view.contains(thunk, kHintSize))
                return fail(error, "import name entry at RVA " + hex(thunk) + from + " lies outside the image");
            std::string name;
            if (!readImportName(view, thunk + kHintSize, "import name" + from, name, error)) return false;
            if (foreign)
                return fail(error, "import \"" + printable(name) + "\"" + from + ": only " + kPortDriverModule +
                                       " operations are provided");
            if (image.imports.size() == kMaxImports)
                return fail(error, "more than " + std::to_string(kMaxImports) + " imports");
            image.imports.push_back(PeImport{name, static_cast<uint32_t>(slot)});
        }
        if (foreign)
            return fail(error, "import descriptor at RVA " + hex(d) + " names " + printable(module) + ": only " +
                                   kPortDriverModule + " operations are provided");
    }
}

bool readSymbols(const FileBytes& f, const Headers& h, PeImage& image, std::string& error)
{
    if (h.symbolTable == 0) return true;
    uint64_t tableSize = uint64_t{kSymbolSize} * h.symbolCount;
    if (!f.has(h.symbolTable, tableSize))
        return fail(error, "COFF symbol table (" + std::to_string(h.symbolCount) + " records at " +
                               hex(h.symbolTable) + ") lies outside the file (" + std::to_string(f.size) + " bytes)");
    uint64_t strings = uint64_t{h.symbolTable} + tableSize;
    if (!f.has(strings, kStringTableSizeField))
        return fail(error, "COFF string table at " + hex(strings) + " lies outside the file (" +
                               std::to_string(f.size) + " bytes)");
    uint32_t stringsSize = le32(f.data + strings);
    if (stringsSize < kStringTableSizeField || !f.has(strings, stringsSize))
        return fail(error, "COFF string table (" + std::to_string(stringsSize) + " bytes at " + hex(strings) +
                               ") lies outside the file (" + std::to_string(f.size) + " bytes)");

    for (uint64_t i = 0; i < h.symbolCount;) {
        const uint8_t* record = f.data + h.symbolTable + kSymbolSize * i;
        uint8_t aux = record[kSymbolAuxCount];
        if (i + 1 + aux > h.symbolCount)
            return fail(error, "COFF symbol " + std::to_string(i) + ": its auxiliary records run past the table");
        int16_t section = static_cast<int16_t>(le16(record + kSymbolSectionNumber));
        if (record[kSymbolStorageClass] == kStorageClassExternal && section >= 1 && section <= h.sectionCount) {
            std::string name;
            if (le32(record + kSymbolName) == 0) {
                uint32_t offset = le32(record + kSymbolName + 4);
                if (offset < kStringTableSizeField || offset >= stringsSize)
                    return fail(error, "COFF symbol " + std::to_string(i) + ": name offset " + hex(offset) +
                                           " lies outside the string table");
                const uint8_t* begin = f.data + strings + offset;
                const uint8_t* end = f.data + strings + stringsSize;
                const uint8_t* nul = std::find(begin, end, uint8_t{0});
                if (nul == end)
                    return fail(error, "COFF symbol " + std::to_string(i) +
                                           ": name is not terminated inside the string table");
                name.assign(begin, nul);
            } else {
                for (uint32_t c = 0; c < 8 && record[kSymbolName + c] != 0; ++c)
                    name += static_cast<char>(record[kSymbolName + c]);
            }
            const PeSection& s = image.sections[static_cast<size_t>(section - 1)];
            uint32_t value = le32(record + kSymbolValue);
            // Symbols that mark the end of a section lie outside it: no
            // address in the image to give them.
            if (value < sectionExtent(s, image.sectionAlignment))
                image.symbols.push_back(PeSymbol{name, s.virtualAddress + value});
        }
        i += 1 + aux;
    }
    return true;
}

}  // namespace

uint32_t PeImage::symbolRva(const std::string& name) const
{
    for (const PeSymbol& s : symbols) {
        if (s.name == name) return s.rva;
    }
    return 0;
}

uint32_t peChecksum(const uint8_t* file, size_t size)
{
    // The CheckSum field counts as zero; when the file is too short to have
    // one every byte counts.
    uint64_t field = UINT64_MAX;
    if (size >= kDosHeaderSize) {
        uint64_t at = uint64_t{le32(file + kDosNewHeaderOffset)} + kSignatureSize + kFileHeaderSize + kOptCheckSum;
        if (at + 4 <= size) field = at;
    }
    auto byteAt = [&](size_t i) -> uint32_t { return (i >= field && i < field + 4) ? 0 : file[i]; };
    uint32_t sum = 0;
    for (size_t i = 0; i < size; i += 2) {
        uint32_t word = byteAt(i);
        if (i + 1 < size) word |= byteAt(i + 1) << 8;
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return sum + static_cast<uint32_t>(size);
}

bool parsePeImage(const uint8_t* file, size_t size, PeImage& image, std::string& error)
{
    image = PeImage{};
    error.clear();
    static const uint8_t kNothing = 0;
    FileBytes f{file ? file : &kNothing, file ? size : 0};
    Headers h;
    if (!readHeaders(f, h, image, error) || !readSections(f, h, image, error)) return false;
    MappedView view(image, f.data);
    if (!readRelocations(view, directory(f, h, kDirectoryBaseRelocation), image, error) ||
        !readImports(view, directory(f, h, kDirectoryImport), image, error) || !readSymbols(f, h, image, error))
        return false;
    // Last, so that a truncated or damaged file is refused for what is
    // wrong with it rather than for the sum that it also breaks.
    uint32_t computed = peChecksum(f.data, f.size);
    if (computed != image.checksum)
        return fail(error, "checksum " + hex(image.checksum) + " in the header, " + hex(computed) + " computed");
    return true;
}

// Each section gets rawSize bytes of the file, min(SizeOfRawData, VirtualSize
// rounded up to the section alignment) as parsePeImage worked it out; the
// rest of the image stays zero. The bounds are checked again here so that
// an image description that did not come from parsePeImage cannot make it
// read or write outside the buffers.
std::vector<uint8_t> layOutImage(const PeImage& image, const uint8_t* file, size_t size)
{
    std::vector<uint8_t> out(image.sizeOfImage, 0);
    if (!file) return out;
    size_t headers = std::min<size_t>({image.sizeOfHeaders, size, out.size()});
    std::copy(file, file + headers, out.begin());
    for (const PeSection& s : image.sections) {
        if (s.rawOffset > size || s.virtualAddress > out.size()) continue;
        size_t n = std::min<size_t>({s.rawSize, size - s.rawOffset, out.size() - s.virtualAddress});
        std::copy(file + s.rawOffset, file + s.rawOffset + n, out.begin() + s.virtualAddress);
    }
    return out;
}

void relocateImage(const PeImage& image, std::vector<uint8_t>& laidOut, uint32_t newBase)
{
    uint32_t delta = newBase - image.imageBase;
    for (uint32_t rva : image.relocations) {
        if (uint64_t{rva} + 4 > laidOut.size()) continue;
        uint8_t* p = laidOut.data() + rva;
        uint32_t v = le32(p) + delta;
        for (int b = 0; b < 4; ++b) p[b] = static_cast<uint8_t>(v >> (8 * b));
    }
}

}  // namespace imagehost
