// Small PE32 image files made to order for the image reader's tests and
// the fuzz corpus: headers, sections with the raw data given, an import
// directory and a base relocation directory in sections of their own, an
// optional COFF symbol table, and the header checksum. Every field can be
// set or patched afterwards, so a test can damage exactly one thing.
//
// The layout is fixed: MS-DOS header, PE signature at 0x80, the optional
// header at 0x98 with 16 data directories, the section table at 0x178.
#ifndef TESTS_SUPPORT_PE_BUILDER_H
#define TESTS_SUPPORT_PE_BUILDER_H

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace pe_test {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kPeOffset = 0x80;
constexpr uint32_t kFileHeader = kPeOffset + 4;
constexpr uint32_t kOptHeader = kFileHeader + 20;
constexpr uint32_t kOptSize = 96 + 16 * 8;
constexpr uint32_t kSectionTable = kOptHeader + kOptSize;
constexpr uint32_t kChecksumField = kOptHeader + 64;

inline uint32_t sectionHeader(size_t index) { return kSectionTable + 40 * static_cast<uint32_t>(index); }
inline uint32_t dataDirectory(size_t index) { return kOptHeader + 96 + 8 * static_cast<uint32_t>(index); }

inline void put16(Bytes& b, size_t at, uint32_t v)
{
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}

inline void put32(Bytes& b, size_t at, uint32_t v)
{
    put16(b, at, v & 0xFFFF);
    put16(b, at + 2, v >> 16);
}

inline uint32_t get32(const Bytes& b, size_t at)
{
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

// The PE checksum: the file's 16-bit words (the CheckSum field as zero)
// added with end-around carry, then the file length.
inline uint32_t checksumOf(const Bytes& file)
{
    uint64_t sum = 0;
    for (size_t i = 0; i < file.size(); i += 2) {
        uint32_t lo = (i >= kChecksumField && i < kChecksumField + 4) ? 0 : file[i];
        uint32_t hi = (i + 1 >= file.size() || (i + 1 >= kChecksumField && i + 1 < kChecksumField + 4)) ? 0 : file[i + 1];
        sum += lo | (hi << 8);
    }
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint32_t>(sum + file.size());
}

inline void setChecksum(Bytes& file) { put32(file, kChecksumField, checksumOf(file)); }

struct Section {
    std::string name;
    uint32_t rva = 0;
    uint32_t virtualSize = 0;
    uint32_t characteristics = 0;
    Bytes raw;  // SizeOfRawData is raw.size(); none: PointerToRawData 0
};

struct RelocBlock {
    uint32_t page = 0;
    std::vector<uint16_t> entries;  // type << 12 | offset
    int64_t size = -1;              // SizeOfBlock as written; -1: 8 + 2 per entry
};

// An import descriptor; a name "#N" is an import by ordinal N.
struct Import {
    std::string module;
    std::vector<std::string> names;
    bool withLookupTable = true;  // false: OriginalFirstThunk 0, names read from the IAT
};

struct Symbol {
    std::string name;  // longer than 8: through the string table
    uint32_t value = 0;
    int16_t section = 0;
    uint8_t storageClass = 2;
    Bytes aux;  // whole 18-byte auxiliary records
};

// Where build() put things.
struct Layout {
    uint32_t idataRva = 0;
    std::vector<uint32_t> iatRva;  // per import descriptor
    uint32_t relocRva = 0;
    uint32_t relocSize = 0;
    uint32_t symbolTable = 0;  // file offset, 0 without symbols
    uint32_t stringTable = 0;  // file offset
    std::vector<uint32_t> rawOffset;  // per section, file offset of the raw data
};

struct PeBuilder {
    uint16_t machine = 0x014C;
    uint16_t magic = 0x010B;
    uint16_t subsystem = 1;
    uint16_t fileCharacteristics = 0x0102;  // executable, 32-bit
    uint32_t imageBase = 0x10000;
    uint32_t sectionAlignment = 0x1000;
    uint32_t fileAlignment = 0x200;
    uint32_t entryRva = 0;
    uint32_t sizeOfImage = 0;  // 0: up to the end of the last section
    uint8_t fileFill = 0xCC;   // between the pieces of the file
    std::vector<Section> sections;
    std::vector<Import> imports;         // an .idata section after the others
    std::vector<RelocBlock> relocations; // a .reloc section after that
    std::vector<Section> after;          // sections after .idata and .reloc
    std::vector<Symbol> symbols;
    bool withSymbols = false;

    static uint32_t alignUp(uint32_t v, uint32_t a) { return (v + a - 1) / a * a; }

    uint32_t nextRva(const std::vector<Section>& all) const
    {
        uint32_t end = sectionAlignment;
        for (const Section& s : all) end = std::max(end, alignUp(s.rva + std::max<uint32_t>(s.virtualSize, 1), sectionAlignment));
        return end;
    }

    Section importSection(uint32_t rva, Layout& layout) const
    {
        Section s{".idata", rva, 0, 0xC0000040, {}};
        Bytes& d = s.raw;
        d.assign(20 * (imports.size() + 1), 0);
        for (size_t m = 0; m < imports.size(); ++m) {
            const Import& imp = imports[m];
            size_t entries = imp.names.size() + 1;
            uint32_t lookup = rva + static_cast<uint32_t>(d.size());
            d.resize(d.size() + 4 * entries, 0);
            uint32_t iat = rva + static_cast<uint32_t>(d.size());
            d.resize(d.size() + 4 * entries, 0);
            layout.iatRva.push_back(iat);
            for (size_t i = 0; i < imp.names.size(); ++i) {
                uint32_t thunk;
                if (imp.names[i][0] == '#') {
                    thunk = 0x80000000u | static_cast<uint32_t>(std::stoul(imp.names[i].substr(1)));
                } else {
                    if (d.size() % 2) d.push_back(0);
                    thunk = rva + static_cast<uint32_t>(d.size());
                    d.push_back(static_cast<uint8_t>(i));
                    d.push_back(0);
                    d.insert(d.end(), imp.names[i].begin(), imp.names[i].end());
                    d.push_back(0);
                }
                put32(d, lookup - rva + 4 * i, thunk);
                put32(d, iat - rva + 4 * i, thunk);
            }
            uint32_t name = rva + static_cast<uint32_t>(d.size());
            d.insert(d.end(), imp.module.begin(), imp.module.end());
            d.push_back(0);
            put32(d, 20 * m + 0, imp.withLookupTable ? lookup : 0);
            put32(d, 20 * m + 12, name);
            put32(d, 20 * m + 16, iat);
        }
        s.virtualSize = static_cast<uint32_t>(d.size());
        d.resize(alignUp(static_cast<uint32_t>(d.size()), fileAlignment), 0);
        return s;
    }

    Section relocSection(uint32_t rva, Layout& layout) const
    {
        Section s{".reloc", rva, 0, 0x42000040, {}};
        for (const RelocBlock& b : relocations) {
            size_t at = s.raw.size();
            s.raw.resize(at + 8 + 2 * b.entries.size(), 0);
            put32(s.raw, at, b.page);
            put32(s.raw, at + 4, static_cast<uint32_t>(b.size >= 0 ? b.size : 8 + 2 * b.entries.size()));
            for (size_t i = 0; i < b.entries.size(); ++i) put16(s.raw, at + 8 + 2 * i, b.entries[i]);
        }
        s.virtualSize = static_cast<uint32_t>(s.raw.size());
        layout.relocRva = rva;
        layout.relocSize = s.virtualSize;
        s.raw.resize(alignUp(static_cast<uint32_t>(s.raw.size()), fileAlignment), 0);
        return s;
    }

    Bytes build(Layout* where = nullptr) const
    {
        Layout layout;
        std::vector<Section> all = sections;
        if (!imports.empty()) {
            layout.idataRva = nextRva(all);
            all.push_back(importSection(layout.idataRva, layout));
        }
        if (!relocations.empty()) all.push_back(relocSection(nextRva(all), layout));
        all.insert(all.end(), after.begin(), after.end());

        uint32_t headers = alignUp(sectionHeader(all.size()), fileAlignment);
        Bytes f(headers, 0);
        f[0] = 'M';
        f[1] = 'Z';
        put32(f, 0x3C, kPeOffset);
        put32(f, kPeOffset, 0x00004550);
        put16(f, kFileHeader + 0, machine);
        put16(f, kFileHeader + 2, static_cast<uint32_t>(all.size()));
        put16(f, kFileHeader + 16, kOptSize);
        put16(f, kFileHeader + 18, fileCharacteristics);
        put16(f, kOptHeader + 0, magic);
        put32(f, kOptHeader + 16, entryRva);
        put32(f, kOptHeader + 28, imageBase);
        put32(f, kOptHeader + 32, sectionAlignment);
        put32(f, kOptHeader + 36, fileAlignment);
        put32(f, kOptHeader + 56, sizeOfImage ? sizeOfImage : nextRva(all));
        put32(f, kOptHeader + 60, headers);
        put16(f, kOptHeader + 68, subsystem);
        put32(f, kOptHeader + 92, 16);
        if (!imports.empty()) {
            put32(f, dataDirectory(1), layout.idataRva);
            put32(f, dataDirectory(1) + 4, static_cast<uint32_t>(20 * (imports.size() + 1)));
        }
        if (!relocations.empty()) {
            put32(f, dataDirectory(5), layout.relocRva);
            put32(f, dataDirectory(5) + 4, layout.relocSize);
        }
        for (size_t i = 0; i < all.size(); ++i) {
            const Section& s = all[i];
            uint32_t h = sectionHeader(i);
            for (size_t c = 0; c < s.name.size() && c < 8; ++c) f[h + c] = static_cast<uint8_t>(s.name[c]);
            put32(f, h + 8, s.virtualSize);
            put32(f, h + 12, s.rva);
            put32(f, h + 16, static_cast<uint32_t>(s.raw.size()));
            put32(f, h + 36, s.characteristics);
            uint32_t at = 0;
            if (!s.raw.empty()) {
                at = static_cast<uint32_t>(f.size());
                put32(f, h + 20, at);
                f.insert(f.end(), s.raw.begin(), s.raw.end());
                f.resize(alignUp(static_cast<uint32_t>(f.size()), fileAlignment), fileFill);
            }
            layout.rawOffset.push_back(at);
        }
        if (withSymbols) {
            layout.symbolTable = static_cast<uint32_t>(f.size());
            Bytes strings(4, 0);
            uint32_t records = 0;
            for (const Symbol& sym : symbols) {
                Bytes r(18, 0);
                if (sym.name.size() > 8) {
                    put32(r, 4, static_cast<uint32_t>(strings.size()));
                    strings.insert(strings.end(), sym.name.begin(), sym.name.end());
                    strings.push_back(0);
                } else {
                    for (size_t c = 0; c < sym.name.size(); ++c) r[c] = static_cast<uint8_t>(sym.name[c]);
                }
                put32(r, 8, sym.value);
                put16(r, 12, static_cast<uint16_t>(sym.section));
                r[16] = sym.storageClass;
                r[17] = static_cast<uint8_t>(sym.aux.size() / 18);
                f.insert(f.end(), r.begin(), r.end());
                f.insert(f.end(), sym.aux.begin(), sym.aux.end());
                records += 1 + static_cast<uint32_t>(sym.aux.size() / 18);
            }
            put32(strings, 0, static_cast<uint32_t>(strings.size()));
            layout.stringTable = static_cast<uint32_t>(f.size());
            f.insert(f.end(), strings.begin(), strings.end());
            put32(f, kFileHeader + 8, layout.symbolTable);
            put32(f, kFileHeader + 12, records);
        }
        setChecksum(f);
        if (where) *where = layout;
        return f;
    }
};

}  // namespace pe_test

#endif  // TESTS_SUPPORT_PE_BUILDER_H
