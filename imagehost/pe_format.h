// Where the fields of a PE32 image file lie, as the PE/COFF format puts
// them: the offsets inside each header record, its size, and the values of
// the fields the reader checks. All multi-byte fields are little-endian.
#ifndef IMAGEHOST_PE_FORMAT_H
#define IMAGEHOST_PE_FORMAT_H

#include <cstdint>

namespace imagehost {
namespace pe {

// The MS-DOS header at the start of the file.
constexpr uint32_t kDosHeaderSize = 0x40;
constexpr uint32_t kDosMagicOffset = 0x00;     // u16 "MZ"
constexpr uint32_t kDosNewHeaderOffset = 0x3C;  // u32 file offset of the PE signature
constexpr uint16_t kDosMagic = 0x5A4D;

// The PE signature "PE\0\0", then the COFF file header.
constexpr uint32_t kSignature = 0x00004550;
constexpr uint32_t kSignatureSize = 4;
constexpr uint32_t kFileHeaderSize = 20;
constexpr uint32_t kFileMachine = 0;               // u16
constexpr uint32_t kFileNumberOfSections = 2;      // u16
constexpr uint32_t kFilePointerToSymbolTable = 8;  // u32
constexpr uint32_t kFileNumberOfSymbols = 12;      // u32
constexpr uint32_t kFileSizeOfOptionalHeader = 16; // u16
constexpr uint32_t kFileCharacteristics = 18;      // u16

constexpr uint16_t kMachineI386 = 0x014C;
constexpr uint16_t kFileRelocsStripped = 0x0001;
constexpr uint16_t kFileExecutableImage = 0x0002;

// The PE32 optional header that follows the file header.
constexpr uint32_t kOptMagic = 0;                // u16
constexpr uint32_t kOptAddressOfEntryPoint = 16; // u32
constexpr uint32_t kOptImageBase = 28;           // u32
constexpr uint32_t kOptSectionAlignment = 32;    // u32
constexpr uint32_t kOptFileAlignment = 36;       // u32
constexpr uint32_t kOptSizeOfImage = 56;         // u32
constexpr uint32_t kOptSizeOfHeaders = 60;       // u32
constexpr uint32_t kOptCheckSum = 64;            // u32
constexpr uint32_t kOptSubsystem = 68;           // u16
constexpr uint32_t kOptNumberOfRvaAndSizes = 92; // u32
constexpr uint32_t kOptDataDirectories = 96;     // 8 bytes each: u32 RVA, u32 size
constexpr uint32_t kOptFixedSize = 96;           // the header without its directories
constexpr uint32_t kDataDirectorySize = 8;

constexpr uint16_t kMagicPe32 = 0x010B;
constexpr uint16_t kMagicPe32Plus = 0x020B;
constexpr uint16_t kSubsystemNative = 1;

constexpr uint32_t kDirectoryImport = 1;
constexpr uint32_t kDirectoryBaseRelocation = 5;

// A section header, one per section after the optional header.
constexpr uint32_t kSectionHeaderSize = 40;
constexpr uint32_t kSectionName = 0;              // 8 bytes, NUL-padded
constexpr uint32_t kSectionNameSize = 8;
constexpr uint32_t kSectionVirtualSize = 8;       // u32
constexpr uint32_t kSectionVirtualAddress = 12;   // u32
constexpr uint32_t kSectionSizeOfRawData = 16;    // u32
constexpr uint32_t kSectionPointerToRawData = 20; // u32
constexpr uint32_t kSectionCharacteristics = 36;  // u32

// An import descriptor; a table of them ends with one that is all zero.
constexpr uint32_t kImportDescriptorSize = 20;
constexpr uint32_t kImportOriginalFirstThunk = 0; // u32 RVA of the lookup table
constexpr uint32_t kImportName = 12;              // u32 RVA of the module name
constexpr uint32_t kImportFirstThunk = 16;        // u32 RVA of the import address table
constexpr uint32_t kThunkSize = 4;
constexpr uint32_t kThunkOrdinalFlag = 0x80000000;
constexpr uint32_t kHintSize = 2;  // u16 hint before each imported name

// A base relocation block: page RVA, block size, then 16-bit entries of
// type (high 4 bits) and offset in the page (low 12 bits).
constexpr uint32_t kRelocBlockHeaderSize = 8;
constexpr uint32_t kRelocBlockPageRva = 0;  // u32
constexpr uint32_t kRelocBlockSize = 4;     // u32
constexpr uint32_t kRelocEntrySize = 2;
constexpr uint16_t kRelocAbsolute = 0;
constexpr uint16_t kRelocHighLow = 3;

// COFF symbol records and the string table that follows them.
constexpr uint32_t kSymbolSize = 18;
constexpr uint32_t kSymbolName = 0;          // 8 bytes, or u32 0 then u32 string-table offset
constexpr uint32_t kSymbolValue = 8;         // u32
constexpr uint32_t kSymbolSectionNumber = 12; // i16, 1-based
constexpr uint32_t kSymbolStorageClass = 16; // u8
constexpr uint32_t kSymbolAuxCount = 17;     // u8
constexpr uint8_t kStorageClassExternal = 2;
constexpr uint32_t kStringTableSizeField = 4;  // u32 size, counting itself

}  // namespace pe
}  // namespace imagehost

#endif  // IMAGEHOST_PE_FORMAT_H
