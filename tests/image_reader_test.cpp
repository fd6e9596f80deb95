// The reader of the driver image file on small PE32 images made to order:
// what it reports of a good image, how it lays the image out and moves it
// to another base, and, for each way a file can be wrong, that it refuses
// the file and says what is wrong with it.
#include <gtest/gtest.h>

#include <dirent.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/image_reader_harness.h"
#include "imagehost/pe_image.h"
#include "support/pe_builder.h"

namespace {

using imagehost::PeImage;
using pe_test::Bytes;
using pe_test::PeBuilder;
using pe_test::get32;
using pe_test::put16;
using pe_test::put32;
using pe_test::setChecksum;

constexpr uint32_t kBase = 0x10000;

Bytes pattern(size_t n, uint8_t seed)
{
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
    return b;
}

// .text at 0x1000 (0x300 bytes, 0x400 raw), .data at 0x2000, .bss at 0x3000
// (0x1800 bytes, no raw data), .idata at 0x5000, .reloc at 0x6000; image
// 0x7000 bytes. Three words hold addresses at the preferred base: .text+0x10
// and .text+0x20, and .data+8.
PeBuilder goodBuilder()
{
    PeBuilder b;
    Bytes text = pattern(0x400, 0x11);
    put32(text, 0x10, kBase + 0x2010);
    put32(text, 0x20, kBase + 0x5000);
    Bytes data = pattern(0x200, 0x5A);
    put32(data, 0x08, kBase + 0x1040);
    b.sections = {{".text", 0x1000, 0x300, 0x60000020, text},
                  {".data", 0x2000, 0x80, 0xC0000040, data},
                  {".bss", 0x3000, 0x1800, 0xC0000080, {}}};
    b.entryRva = 0x1040;
    b.imports = {{"SCSIPORT.SYS", {"ScsiPortInitialize", "ScsiPortNotification", "ScsiPortStallExecution"}}};
    b.relocations = {{0x1000, {0x3010, 0x3020, 0x0000}}, {0x2000, {0x3008, 0x0000}}};
    return b;
}

// The good image with a symbol table: three external symbols inside
// sections, and records that are not: a static one, an undefined one, an
// absolute one, one at the end of its section, one in a section that does
// not exist, and an auxiliary record that would read as an external symbol
// if it were not skipped.
PeBuilder builderWithSymbols()
{
    PeBuilder b = goodBuilder();
    b.withSymbols = true;
    Bytes ghost(18, 0);
    std::string g = "_Ghost";
    std::copy(g.begin(), g.end(), ghost.begin());
    put32(ghost, 8, 0x20);
    put16(ghost, 12, 1);
    ghost[16] = 2;
    b.symbols = {{".text", 0, 1, 3, ghost},
                 {"_DriverEntry", 0x40, 1, 2, {}},
                 {"_local", 0x10, 1, 3, {}},
                 {"_LinkState", 0x08, 2, 2, {}},
                 {"_Imported", 0, 0, 2, {}},
                 {"_Absolute", 5, -1, 2, {}},
                 {"_ABufferWithALongName", 0x100, 3, 2, {}},
                 {"_etext", 0x1000, 1, 2, {}},
                 {"_Nowhere", 0, 9, 2, {}}};
    return b;
}

// The file offset of an RVA, found from the file's own section table.
uint32_t fileOffset(const Bytes& f, uint32_t rva)
{
    uint32_t count = f[pe_test::kFileHeader + 2] | (f[pe_test::kFileHeader + 3] << 8);
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t h = pe_test::sectionHeader(i);
        uint32_t va = get32(f, h + 12), raw = get32(f, h + 16), ptr = get32(f, h + 20);
        if (rva >= va && rva < va + raw) return ptr + (rva - va);
    }
    ADD_FAILURE() << "RVA " << std::hex << rva << " has no raw data";
    return 0;
}

bool parse(const Bytes& f, PeImage& image, std::string& error)
{
    return imagehost::parsePeImage(f.data(), f.size(), image, error);
}

// The file is refused, with a one-line reason that contains each of the
// fragments.
void expectRefused(const Bytes& f, std::initializer_list<const char*> fragments)
{
    PeImage image;
    std::string error;
    EXPECT_FALSE(parse(f, image, error));
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    for (const char* fragment : fragments) EXPECT_NE(error.find(fragment), std::string::npos) << error;
}

void expectAccepted(const Bytes& f, PeImage& image)
{
    std::string error;
    EXPECT_TRUE(parse(f, image, error)) << error;
}

// ---- a good image ----

TEST(ImageReader, GoodImageIsDescribedExactly)
{
    pe_test::Layout layout;
    Bytes f = goodBuilder().build(&layout);
    PeImage image;
    expectAccepted(f, image);

    EXPECT_EQ(image.imageBase, kBase);
    EXPECT_EQ(image.sizeOfImage, 0x7000u);
    EXPECT_EQ(image.sizeOfHeaders, 0x400u);
    EXPECT_EQ(image.entryRva, 0x1040u);
    EXPECT_EQ(image.sectionAlignment, 0x1000u);
    EXPECT_EQ(image.checksum, get32(f, pe_test::kChecksumField));

    struct Want {
        const char* name;
        uint32_t rva, virtualSize, rawSize, characteristics;
    };
    const Want want[] = {{".text", 0x1000, 0x300, 0x400, 0x60000020},  {".data", 0x2000, 0x80, 0x200, 0xC0000040},
                         {".bss", 0x3000, 0x1800, 0, 0xC0000080},      {".idata", 0x5000, 0x0, 0x200, 0xC0000040},
                         {".reloc", 0x6000, 0x1A, 0x200, 0x42000040}};
    ASSERT_EQ(image.sections.size(), 5u);
    for (size_t i = 0; i < 5; ++i) {
        const imagehost::PeSection& s = image.sections[i];
        EXPECT_EQ(s.name, want[i].name);
        EXPECT_EQ(s.virtualAddress, want[i].rva) << s.name;
        if (want[i].virtualSize) EXPECT_EQ(s.virtualSize, want[i].virtualSize) << s.name;
        EXPECT_EQ(s.rawSize, want[i].rawSize) << s.name;
        if (s.rawSize) EXPECT_EQ(s.rawOffset, layout.rawOffset[i]) << s.name;
        EXPECT_EQ(s.characteristics, want[i].characteristics) << s.name;
    }

    EXPECT_EQ(image.relocations, (std::vector<uint32_t>{0x1010, 0x1020, 0x2008}));

    ASSERT_EQ(image.imports.size(), 3u);
    EXPECT_EQ(image.imports[0].name, "ScsiPortInitialize");
    EXPECT_EQ(image.imports[1].name, "ScsiPortNotification");
    EXPECT_EQ(image.imports[2].name, "ScsiPortStallExecution");
    for (uint32_t i = 0; i < 3; ++i) EXPECT_EQ(image.imports[i].slotRva, layout.iatRva[0] + 4 * i);
    EXPECT_TRUE(image.symbols.empty());
    EXPECT_EQ(image.symbolRva("_DriverEntry"), 0u);
}

TEST(ImageReader, ExternalSymbolsInsideSectionsAreKeptWithTheirRvas)
{
    Bytes f = builderWithSymbols().build();
    PeImage image;
    expectAccepted(f, image);
    ASSERT_EQ(image.symbols.size(), 3u);
    EXPECT_EQ(image.symbols[0].name, "_DriverEntry");
    EXPECT_EQ(image.symbols[0].rva, 0x1040u);
    EXPECT_EQ(image.symbols[1].name, "_LinkState");
    EXPECT_EQ(image.symbols[1].rva, 0x2008u);
    EXPECT_EQ(image.symbols[2].name, "_ABufferWithALongName");
    EXPECT_EQ(image.symbols[2].rva, 0x3100u);
    EXPECT_EQ(image.symbolRva("_LinkState"), 0x2008u);
    EXPECT_EQ(image.symbolRva("_ABufferWithALongName"), 0x3100u);
    for (const char* absent : {"_Ghost", "_local", "_Imported", "_Absolute", "_etext", "_Nowhere", ".text"})
        EXPECT_EQ(image.symbolRva(absent), 0u) << absent;
}

TEST(ImageReader, ImportsWithoutALookupTableAreReadFromTheAddressTable)
{
    PeBuilder b = goodBuilder();
    b.imports[0].withLookupTable = false;
    pe_test::Layout layout;
    Bytes f = b.build(&layout);
    PeImage image;
    expectAccepted(f, image);
    ASSERT_EQ(image.imports.size(), 3u);
    EXPECT_EQ(image.imports[2].name, "ScsiPortStallExecution");
    EXPECT_EQ(image.imports[2].slotRva, layout.iatRva[0] + 8);
}

TEST(ImageReader, ImportsFromTwoDescriptorsOfThePortDriverKeepTheirOwnSlots)
{
    PeBuilder b = goodBuilder();
    b.imports.push_back({"scsiport.sys", {"ScsiPortLogError"}});
    pe_test::Layout layout;
    Bytes f = b.build(&layout);
    PeImage image;
    expectAccepted(f, image);
    ASSERT_EQ(image.imports.size(), 4u);
    EXPECT_EQ(image.imports[3].name, "ScsiPortLogError");
    EXPECT_EQ(image.imports[3].slotRva, layout.iatRva[1]);
}

TEST(ImageReader, ChecksumIsTheOnesComplementWordSumPlusLength)
{
    // No PE header to skip a field in: 0xFFFF + 0x0002 carries round to
    // 0x0002, + 0x0007 (the odd last byte) = 0x0009, + 5 bytes = 0x000E.
    const uint8_t odd[] = {0xFF, 0xFF, 0x02, 0x00, 0x07};
    EXPECT_EQ(imagehost::peChecksum(odd, sizeof odd), 0x000Eu);

    Bytes f = goodBuilder().build();
    uint32_t sum = imagehost::peChecksum(f.data(), f.size());
    EXPECT_EQ(sum, get32(f, pe_test::kChecksumField));
    put32(f, pe_test::kChecksumField, 0xDEADBEEF);  // the field itself does not count
    EXPECT_EQ(imagehost::peChecksum(f.data(), f.size()), sum);
    f[0x300] ^= 0x01;
    EXPECT_NE(imagehost::peChecksum(f.data(), f.size()), sum);
}

// ---- laying out and moving ----

TEST(ImageReader, LayOutPutsRawDataAtItsRvaAndZerosEverywhereElse)
{
    pe_test::Layout layout;
    PeBuilder b = goodBuilder();
    Bytes f = b.build(&layout);
    PeImage image;
    expectAccepted(f, image);
    Bytes laid = imagehost::layOutImage(image, f.data(), f.size());

    Bytes want(0x7000, 0);
    std::copy(f.begin(), f.begin() + 0x400, want.begin());
    std::copy(b.sections[0].raw.begin(), b.sections[0].raw.end(), want.begin() + 0x1000);
    std::copy(b.sections[1].raw.begin(), b.sections[1].raw.end(), want.begin() + 0x2000);
    std::copy(f.begin() + layout.rawOffset[3], f.begin() + layout.rawOffset[3] + 0x200, want.begin() + 0x5000);
    std::copy(f.begin() + layout.rawOffset[4], f.begin() + layout.rawOffset[4] + 0x200, want.begin() + 0x6000);
    ASSERT_EQ(laid.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) ASSERT_EQ(laid[i], want[i]) << "at RVA 0x" << std::hex << i;
}

TEST(ImageReader, RawDataIsCopiedNoFurtherThanTheSectionsPages)
{
    // 0x1200 bytes of raw data for a section of 0x100 bytes: one page of it
    // is copied, and the section in the next page keeps its own bytes.
    PeBuilder b;
    b.sections = {{".text", 0x1000, 0x100, 0x60000020, pattern(0x1200, 0x33)},
                  {".data", 0x2000, 0x200, 0xC0000040, pattern(0x200, 0x99)}};
    b.entryRva = 0x1000;
    Bytes f = b.build();
    PeImage image;
    expectAccepted(f, image);
    EXPECT_EQ(image.sections[0].rawSize, 0x1000u);
    Bytes laid = imagehost::layOutImage(image, f.data(), f.size());
    ASSERT_EQ(laid.size(), 0x3000u);
    EXPECT_TRUE(std::equal(laid.begin() + 0x1000, laid.begin() + 0x2000, b.sections[0].raw.begin()));
    EXPECT_TRUE(std::equal(laid.begin() + 0x2000, laid.begin() + 0x2200, b.sections[1].raw.begin()));
}

TEST(ImageReader, ASectionWithoutRawDataHasNoFileOffset)
{
    // .bss has no raw data; whatever its PointerToRawData says, the image
    // gives an offset that lies inside the file.
    Bytes f = goodBuilder().build();
    put32(f, pe_test::sectionHeader(2) + 20, 0xFFFFF000);
    setChecksum(f);
    PeImage image;
    expectAccepted(f, image);
    EXPECT_EQ(image.sections[2].rawSize, 0u);
    EXPECT_EQ(image.sections[2].rawOffset, 0u);
}

TEST(ImageReader, RelocationAddsTheDeltaToTheFixupWordsAndNothingElse)
{
    Bytes f = goodBuilder().build();
    PeImage image;
    expectAccepted(f, image);
    const Bytes before = imagehost::layOutImage(image, f.data(), f.size());

    for (uint32_t newBase : {0x80A00000u, 0x00001000u}) {
        Bytes laid = before;
        imagehost::relocateImage(image, laid, newBase);
        ASSERT_EQ(laid.size(), before.size());
        EXPECT_EQ(get32(laid, 0x1010), newBase + 0x2010);
        EXPECT_EQ(get32(laid, 0x1020), newBase + 0x5000);
        EXPECT_EQ(get32(laid, 0x2008), newBase + 0x1040);
        for (size_t i = 0; i < laid.size(); ++i) {
            bool fixup = (i >= 0x1010 && i < 0x1014) || (i >= 0x1020 && i < 0x1024) || (i >= 0x2008 && i < 0x200C);
            if (!fixup) ASSERT_EQ(laid[i], before[i]) << "at RVA 0x" << std::hex << i;
        }
    }
    Bytes same = before;
    imagehost::relocateImage(image, same, kBase);
    EXPECT_EQ(same, before);
}

TEST(ImageReader, FixupInTheLastFourBytesOfTheImageIsAccepted)
{
    PeBuilder b = goodBuilder();
    b.relocations.push_back({0x6000, {0x3FFC}});
    PeImage image;
    expectAccepted(b.build(), image);
    EXPECT_EQ(image.relocations.back(), 0x6FFCu);
}

// ---- refusals: what the file is ----

TEST(ImageReaderRefuses, AnotherMachine)
{
    PeBuilder b = goodBuilder();
    b.machine = 0x8664;
    expectRefused(b.build(), {"machine 0x8664 is not i386"});
}

TEST(ImageReaderRefuses, Pe32PlusMagic)
{
    PeBuilder b = goodBuilder();
    b.magic = 0x020B;
    expectRefused(b.build(), {"0x20B", "PE32+"});
}

TEST(ImageReaderRefuses, ASubsystemOtherThanNative)
{
    PeBuilder b = goodBuilder();
    b.subsystem = 2;
    expectRefused(b.build(), {"subsystem 2"});
}

TEST(ImageReaderRefuses, AFileThatIsNotExecutable)
{
    PeBuilder b = goodBuilder();
    b.fileCharacteristics = 0x0100;
    expectRefused(b.build(), {"not an executable image"});
}

TEST(ImageReaderRefuses, AnImageWhoseRelocationsWereStripped)
{
    PeBuilder b = goodBuilder();
    b.fileCharacteristics = 0x0103;
    expectRefused(b.build(), {"relocations were stripped"});
}

TEST(ImageReaderRefuses, AChecksumThatDoesNotMatch)
{
    Bytes f = goodBuilder().build();
    uint32_t right = get32(f, pe_test::kChecksumField);
    put32(f, pe_test::kChecksumField, right + 1);
    char want[80];
    std::snprintf(want, sizeof want, "checksum 0x%X in the header, 0x%X computed", right + 1, right);
    expectRefused(f, {want});

    f = goodBuilder().build();
    f[0x1234 - 0x1000 + 0x400] ^= 0x80;  // a byte of .text
    expectRefused(f, {"checksum"});
}

TEST(ImageReaderRefuses, AFileCutShortAnywhere)
{
    pe_test::Layout layout;
    Bytes whole = builderWithSymbols().build(&layout);
    struct Cut {
        size_t size;
        const char* fragment;
    };
    const Cut cuts[] = {{0, "MS-DOS header"},
                        {0x20, "MS-DOS header"},
                        {0x90, "PE header"},
                        {0x100, "optional header"},
                        {0x190, "SizeOfHeaders"},
                        {layout.rawOffset[0] + 0x100, "section .text"},
                        {layout.rawOffset[1] + 0x10, "section .data"},
                        {layout.rawOffset[4] + 0x1FF, "section .reloc"},
                        {layout.symbolTable + 20, "COFF symbol table"},
                        {layout.stringTable + 2, "COFF string table"},
                        {whole.size() - 1, "COFF string table"}};
    for (const Cut& cut : cuts) {
        SCOPED_TRACE(cut.size);
        Bytes f(whole.begin(), whole.begin() + cut.size);
        expectRefused(f, {cut.fragment});
    }
    PeImage image;
    std::string error;
    EXPECT_FALSE(imagehost::parsePeImage(nullptr, 0, image, error));
}

TEST(ImageReaderRefuses, SizeOfImageOverTheLimit)
{
    PeBuilder b = goodBuilder();
    b.sizeOfImage = imagehost::kMaxImageSize + 0x1000;
    expectRefused(b.build(), {"SizeOfImage 0x1001000 exceeds"});
}

TEST(ImageReaderRefuses, MoreSectionsThanTheLimit)
{
    Bytes f = goodBuilder().build();
    put16(f, pe_test::kFileHeader + 2, imagehost::kMaxSections + 1);
    setChecksum(f);
    expectRefused(f, {"33 sections"});
}

// ---- refusals: sections ----

TEST(ImageReaderRefuses, SectionRawDataPastTheEndOfTheFile)
{
    Bytes f = goodBuilder().build();
    put32(f, pe_test::sectionHeader(1) + 20, static_cast<uint32_t>(f.size() - 0x100));
    setChecksum(f);
    expectRefused(f, {"section .data", "raw data", "past the end of the file"});

    put32(f, pe_test::sectionHeader(1) + 20, 0xFFFFFF00);  // offset + size wraps in 32 bits
    setChecksum(f);
    expectRefused(f, {"section .data", "past the end of the file"});
}

TEST(ImageReaderRefuses, SectionPastSizeOfImage)
{
    PeBuilder b = goodBuilder();
    b.sizeOfImage = 0x6000;
    expectRefused(b.build(), {"section .reloc", "past SizeOfImage 0x6000"});

    Bytes f = goodBuilder().build();
    put32(f, pe_test::sectionHeader(2) + 8, 0xFFFFF800);  // .bss: RVA + size wraps in 32 bits
    setChecksum(f);
    expectRefused(f, {"section .bss", "past SizeOfImage"});
}

TEST(ImageReaderRefuses, OverlappingSections)
{
    Bytes f = goodBuilder().build();
    put32(f, pe_test::sectionHeader(2) + 8, 0x2100);  // .bss now reaches into .idata's page
    setChecksum(f);
    expectRefused(f, {"sections .bss and .idata overlap at RVA 0x5000"});

    f = goodBuilder().build();
    put32(f, pe_test::sectionHeader(1) + 12, 0x1000);  // .data on top of .text
    setChecksum(f);
    expectRefused(f, {".text", ".data", "overlap"});
}

TEST(ImageReaderRefuses, ASectionOverTheHeaders)
{
    Bytes f = goodBuilder().build();
    put32(f, pe_test::sectionHeader(2) + 12, 0);
    setChecksum(f);
    expectRefused(f, {"section .bss", "overlaps the headers"});
}

TEST(ImageReaderRefuses, ASectionOffTheSectionAlignment)
{
    Bytes f = goodBuilder().build();
    put32(f, pe_test::sectionHeader(2) + 12, 0x3200);
    setChecksum(f);
    expectRefused(f, {"section .bss", "not aligned"});
}

TEST(ImageReaderRefuses, AnEntryPointOutsideTheCode)
{
    PeBuilder b = goodBuilder();
    b.entryRva = 0x2000;  // .data
    expectRefused(b.build(), {"entry point RVA 0x2000 is not in an executable section"});
    b.entryRva = 0x1300;  // past .text's 0x300 bytes, in its page
    expectRefused(b.build(), {"entry point RVA 0x1300"});
    b.entryRva = 0x12FF;
    PeImage image;
    expectAccepted(b.build(), image);
}

// ---- refusals: base relocations ----

TEST(ImageReaderRefuses, ARelocationBlockOfSizeZero)
{
    PeBuilder b = goodBuilder();
    b.relocations[1].size = 0;
    expectRefused(b.build(), {"relocation block at RVA 0x600E has size 0"});
}

TEST(ImageReaderRefuses, ARelocationBlockPastTheDirectory)
{
    PeBuilder b = goodBuilder();
    b.relocations[1].size = 8 + 2 * 2 + 8;
    expectRefused(b.build(), {"relocation block at RVA 0x600E", "past the end of the relocation directory"});
}

TEST(ImageReaderRefuses, ARelocationDirectoryPastTheImage)
{
    Bytes f = goodBuilder().build();
    put32(f, pe_test::dataDirectory(5) + 4, 0x1001);
    setChecksum(f);
    expectRefused(f, {"relocation directory", "past the end of the image"});
}

TEST(ImageReaderRefuses, AFixupPastTheImage)
{
    PeBuilder b = goodBuilder();
    b.relocations.push_back({0x6000, {0x3FFE}});
    expectRefused(b.build(), {"fixup at RVA 0x6FFE", "past the end of the image"});

    b = goodBuilder();
    b.relocations.push_back({0xFFFFF000, {0x3FFF}});  // page + offset past 4 GB
    expectRefused(b.build(), {"fixup at RVA 0xFFFFFFFF"});
}

TEST(ImageReaderRefuses, RelocationTypesOtherThanHighLow)
{
    for (uint16_t type : {1, 2, 10}) {
        PeBuilder b = goodBuilder();
        b.relocations[0].entries[1] = static_cast<uint16_t>(type << 12 | 0x020);
        expectRefused(b.build(), {("relocation type " + std::to_string(type) + " at RVA 0x1020").c_str()});
    }
}

// ---- refusals: imports ----

TEST(ImageReaderRefuses, AnImportFromAnotherModule)
{
    PeBuilder b = goodBuilder();
    b.imports.push_back({"NTOSKRNL.EXE", {"KeBugCheck"}});
    expectRefused(b.build(), {"import \"KeBugCheck\" from NTOSKRNL.EXE: only SCSIPORT.SYS operations are provided"});
}

TEST(ImageReaderRefuses, AnImportByOrdinal)
{
    PeBuilder b = goodBuilder();
    b.imports[0].names[1] = "#7";
    expectRefused(b.build(), {"import by ordinal 7 from SCSIPORT.SYS"});
}

TEST(ImageReaderRefuses, AnImportNameTooLong)
{
    PeBuilder b = goodBuilder();
    b.imports[0].names[1] = std::string(imagehost::kMaxImportNameLength, 'X');
    PeImage image;
    expectAccepted(b.build(), image);
    EXPECT_EQ(image.imports[1].name.size(), imagehost::kMaxImportNameLength);

    b.imports[0].names[1] += "Y";
    expectRefused(b.build(), {"import name", "longer than 128"});
}

// A last section of 'A's to the very end of the image, for names that run
// off its end.
PeBuilder builderWithTail()
{
    PeBuilder b = goodBuilder();
    b.after.push_back({".tail", 0x7000, 0x1000, 0xC0000040, Bytes(0x1000, 'A')});
    return b;
}

TEST(ImageReaderRefuses, AnImportNameUnterminatedInTheImage)
{
    pe_test::Layout layout;
    Bytes f = builderWithTail().build(&layout);
    uint32_t lookup = get32(f, fileOffset(f, layout.idataRva));  // OriginalFirstThunk
    put32(f, fileOffset(f, lookup + 4), 0x7FF0);
    put32(f, fileOffset(f, layout.iatRva[0] + 4), 0x7FF0);
    setChecksum(f);
    expectRefused(f, {"import name", "at RVA 0x7FF2 is not terminated inside the image"});
}

TEST(ImageReaderRefuses, AModuleNameUnterminatedInTheImage)
{
    pe_test::Layout layout;
    Bytes f = builderWithTail().build(&layout);
    put32(f, fileOffset(f, layout.idataRva + 12), 0x7F80);
    setChecksum(f);
    expectRefused(f, {"module name at RVA 0x7F80 is not terminated inside the image"});
}

TEST(ImageReaderRefuses, AnImportDescriptorOutsideTheImage)
{
    Bytes f = goodBuilder().build();
    put32(f, pe_test::dataDirectory(1), 0x7000 - 10);
    setChecksum(f);
    expectRefused(f, {"import descriptor at RVA 0x6FF6 lies outside the image"});

    // A descriptor of junk in the image's last bytes names a module that
    // lies outside it.
    f = builderWithTail().build();
    put32(f, pe_test::dataDirectory(1), 0x8000 - 20);
    setChecksum(f);
    expectRefused(f, {"module name", "not terminated inside the image"});
}

TEST(ImageReaderRefuses, AnImportTableEntryOutsideTheImage)
{
    pe_test::Layout layout;
    Bytes f = goodBuilder().build(&layout);
    put32(f, fileOffset(f, layout.idataRva + 16), 0xFFFFFFF8);  // FirstThunk
    setChecksum(f);
    expectRefused(f, {"import address slot at RVA 0xFFFFFFF8", "outside the image"});

    f = goodBuilder().build(&layout);
    uint32_t lookup = get32(f, fileOffset(f, layout.idataRva));
    put32(f, fileOffset(f, lookup), 0x7000 - 1);  // hint/name entry in the last byte
    setChecksum(f);
    expectRefused(f, {"import name entry at RVA 0x6FFF", "outside the image"});
}

// ---- refusals: the symbol table ----

TEST(ImageReaderRefuses, ASymbolTableOutsideTheFile)
{
    Bytes f = builderWithSymbols().build();
    put32(f, pe_test::kFileHeader + 8, static_cast<uint32_t>(f.size() - 10));
    setChecksum(f);
    expectRefused(f, {"COFF symbol table", "outside the file"});

    f = builderWithSymbols().build();
    put32(f, pe_test::kFileHeader + 12, 0x10000000);  // 18 * count runs to gigabytes
    setChecksum(f);
    expectRefused(f, {"COFF symbol table", "outside the file"});
}

TEST(ImageReaderRefuses, AStringTableOutsideTheFile)
{
    pe_test::Layout layout;
    Bytes f = builderWithSymbols().build(&layout);
    put32(f, layout.stringTable, static_cast<uint32_t>(f.size() - layout.stringTable + 1));
    setChecksum(f);
    expectRefused(f, {"COFF string table", "outside the file"});
}

TEST(ImageReaderRefuses, ASymbolNameOutsideTheStringTable)
{
    pe_test::Layout layout;
    Bytes f = builderWithSymbols().build(&layout);
    // The record of _ABufferWithALongName: .text and its aux record come
    // first, then five records of one each.
    uint32_t record = layout.symbolTable + 18 * 7;
    put32(f, record + 4, get32(f, layout.stringTable));
    setChecksum(f);
    expectRefused(f, {"COFF symbol 7", "outside the string table"});
}

// ---- the fuzz target's seeds ----

// The seeds live beside the fuzz target: <tree>/fuzz/corpus/image_reader_fuzz/.
std::vector<std::pair<std::string, Bytes>> seeds()
{
    std::string here = __FILE__;
    std::string dir = here.substr(0, here.rfind("tests/")) + "fuzz/corpus/image_reader_fuzz/";
    std::vector<std::pair<std::string, Bytes>> inputs;
    DIR* d = opendir(dir.c_str());
    if (!d) return inputs;
    while (dirent* entry = readdir(d)) {
        std::string name = entry->d_name;
        if (name[0] == '.') continue;
        std::ifstream file(dir + name, std::ios::binary);
        inputs.emplace_back(name, Bytes(std::istreambuf_iterator<char>(file), {}));
    }
    closedir(d);
    return inputs;
}

TEST(ImageReaderSeeds, EverySeedKeepsTheFuzzTargetsRules)
{
    auto inputs = seeds();
    ASSERT_GE(inputs.size(), 5u);
    for (const auto& [name, bytes] : inputs)
        EXPECT_EQ(nimb_fuzz::CheckImageInput(bytes.data(), bytes.size()), "") << name;
}

// One seed is a driver image as the cross build makes it.
TEST(ImageReaderSeeds, ABuiltDriverImageIsAccepted)
{
    for (const auto& [name, bytes] : seeds()) {
        if (name != "nimb_sys") continue;
        PeImage image;
        expectAccepted(bytes, image);
        EXPECT_EQ(image.imageBase, 0x10000u);
        ASSERT_EQ(image.imports.size(), 13u);
        for (const imagehost::PeImport& i : image.imports) EXPECT_EQ(i.name.rfind("ScsiPort", 0), 0u) << i.name;
        EXPECT_FALSE(image.relocations.empty());
        EXPECT_NE(image.symbolRva("_InPortByte"), 0u);
        EXPECT_NE(image.symbolRva("_LinkState"), 0u);
        return;
    }
    FAIL() << "no nimb_sys seed";
}

}  // namespace
