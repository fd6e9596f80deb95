// INQUIRY, READ CAPACITY, MODE SENSE and MODE SELECT: the unit described
// as a SCSI direct-access device from its identification and geometry.
#include "scsi/dispatch.h"
#include "scsi/scsi_common.h"

#define INQUIRY_MODEL_OFFSET 8
#define INQUIRY_ANSWER_LENGTH 40  // header, 19 model bytes, zero bytes after
#define CAPACITY_DATA_LENGTH 8
#define MODE_HEADER_LENGTH 12     // header and block descriptor

// Answers of any length: the header, the model with its NUL, then zeros.
void ScsiInquiry(UnitExtension* unit)
{
    uint8_t u = RequestUnit(unit);
    uint32_t allocation = unit->Cdb[4];

    InquiryHeader[1] = (UnitState[u].flags & UNIT_REMOVABLE) ? 0x80 : 0x00;

    uint8_t answer[INQUIRY_ANSWER_LENGTH];
    for (uint32_t i = 0; i < INQUIRY_ANSWER_LENGTH; ++i) answer[i] = 0x00;
    CopyBytes(answer, InquiryHeader, INQUIRY_HEADER_LENGTH);
    CopyBytes(answer + INQUIRY_MODEL_OFFSET, (const uint8_t*)getModel(u), MODEL_LENGTH + 1);

    // Past the answer's own bytes the rest of the allocation is zeros.
    uint32_t count = MinimumOf(allocation, unit->DataLength);
    if (count == 0) return;
    if (unit->DataBuffer == 0) {
        CommandState.senseKey = SENSE_NO_BUFFER;
        return;
    }
    for (uint32_t i = 0; i < count; ++i)
        unit->DataBuffer[i] = i < INQUIRY_ANSWER_LENGTH ? answer[i] : 0x00;
}

static void PutBigEndian32(uint8_t* p, uint32_t value)
{
    p[0] = (uint8_t)(value >> 24);
    p[1] = (uint8_t)(value >> 16);
    p[2] = (uint8_t)(value >> 8);
    p[3] = (uint8_t)value;
}

// The last block address (or, with PMI, the block count) and the block length.
void ScsiReadCapacity(UnitExtension* unit)
{
    if (unit->DataBuffer == 0 || unit->DataLength < CAPACITY_DATA_LENGTH) {
        CommandState.senseKey = SENSE_NO_BUFFER;
        return;
    }
    uint32_t value = getCapacity(RequestUnit(unit));
    if (CommandState.senseKey != SENSE_NONE) return;  // re-identification failed
    if (!(unit->Cdb[8] & 0x01)) value -= 1;
    PutBigEndian32(unit->DataBuffer, value);
    PutBigEndian32(unit->DataBuffer + 4, ATA_SECTOR_SIZE);
}

// ---------------------------------------------------------------------------
// MODE SENSE(6).

struct ModePageEntry {
    uint8_t pageCode;
    uint8_t modeDataLength;  // header byte 0
    uint8_t* buffer;
    bool hasPageBytes;       // pages without bytes refuse an allocation above 12
};

static const ModePageEntry ModePageTable[] = {
    {0x00, 0x23, ModePageBuffer, false},
    {0x01, 0x0B, ModePageBuffer, false},
    {0x03, 0x23, ModePageBuffer, true},
    {0x04, 0x23, GeometryPageBuffer, true},
};

static const ModePageEntry* FindModePage(uint8_t pageCode)
{
    for (uint32_t i = 0; i < sizeof(ModePageTable) / sizeof(ModePageTable[0]); ++i)
        if (ModePageTable[i].pageCode == pageCode) return &ModePageTable[i];
    return 0;
}

static void BuildModeHeader(uint8_t* b, uint8_t dataLength, bool writeProtected, uint32_t blocks)
{
    b[0] = dataLength;
    b[1] = 0x00;
    b[2] = writeProtected ? 0x80 : 0x00;
    b[3] = 0x08;
    b[4] = 0x00;
    b[5] = (uint8_t)(blocks >> 16);
    b[6] = (uint8_t)(blocks >> 8);
    b[7] = (uint8_t)blocks;
    b[8] = 0x00;
    b[9] = 0x00;
    b[10] = 0x02;
    b[11] = 0x00;
}

// Format device page.
static void BuildFormatPage(uint8_t* b, uint8_t u)
{
    uint16_t sectors = getSectorsPerTrack(u);
    b[12] = 0x03;
    b[13] = 0x16;
    b[14] = 0x03;
    b[15] = 0x00;
    for (int i = 16; i <= 21; ++i) b[i] = 0x00;
    b[22] = (uint8_t)(sectors >> 8);
    b[23] = (uint8_t)sectors;
    b[24] = 0x02;
    b[25] = 0x00;
    for (int i = 26; i < MODE_BUFFER_LENGTH; ++i) b[i] = 0x00;
}

#define PAGE_HEADS_LIMIT 255  // the page's heads field is one byte

// Rigid disk geometry page. A translation of 256 heads (disks of about
// 4.2 GB and more) does not fit the heads byte: it is reported as 255
// rather than wrapped to 0. Capacity and addressing keep the real count.
static void BuildGeometryPage(uint8_t* b, uint8_t u)
{
    uint32_t cylinders = getCylinders(u);
    uint16_t heads = getHeads(u);
    b[12] = 0x04;
    b[13] = 0x16;
    b[14] = (uint8_t)(cylinders >> 16);
    b[15] = (uint8_t)(cylinders >> 8);
    b[16] = (uint8_t)cylinders;
    b[17] = (uint8_t)(heads > PAGE_HEADS_LIMIT ? PAGE_HEADS_LIMIT : heads);
    for (int i = 18; i < MODE_BUFFER_LENGTH; ++i) b[i] = 0x00;
}

// Write protection as the drive's media status reports it. A protected
// medium makes GET MEDIA STATUS end with DATA PROTECT, which here is the
// answer, not a failure; any other key fails the command.
static bool ReadWriteProtect(uint8_t u, bool* writeProtected)
{
    *writeProtected = false;
    if (!UnitState[u].msnEnabled) return true;
    uint8_t media = getMediaStatus(u);
    if (CommandState.senseKey == SENSE_DATA_PROTECT) CommandState.senseKey = SENSE_NONE;
    if (CommandState.senseKey != SENSE_NONE) return false;
    *writeProtected = (media & MEDIA_WP) != 0;
    return true;
}

void ScsiModeSense(UnitExtension* unit)
{
    uint8_t u = RequestUnit(unit);
    uint32_t allocation = unit->Cdb[4];
    const ModePageEntry* page = FindModePage(unit->Cdb[2] & 0x3F);
    if (page == 0 || (!page->hasPageBytes && allocation > MODE_HEADER_LENGTH)) {
        CommandState.senseKey = SENSE_ILLEGAL_REQUEST;
        return;
    }
    if (MinimumOf(allocation, unit->DataLength) != 0 && unit->DataBuffer == 0) {
        CommandState.senseKey = SENSE_NO_BUFFER;
        return;
    }
    bool writeProtected;
    if (!ReadWriteProtect(u, &writeProtected)) return;

    uint32_t blocks = getCapacity(u);
    if (CommandState.senseKey != SENSE_NONE) return;
    BuildModeHeader(page->buffer, page->modeDataLength, writeProtected, blocks);
    if (page->pageCode == 0x03) BuildFormatPage(page->buffer, u);
    if (page->pageCode == 0x04) BuildGeometryPage(page->buffer, u);
    ReturnData(unit, page->buffer, MODE_BUFFER_LENGTH, allocation);
}

// ---------------------------------------------------------------------------
// MODE SELECT(6): the vendor page 0x00 of SyQuest drives, passed on as the
// drive's vendor command.

struct VendorFeatureEntry {
    uint8_t savePages;     // CDB byte 1 bit 0
    uint8_t pageBit;       // page byte 2 bit 1
    uint8_t features;
};

static const VendorFeatureEntry VendorFeatureTable[] = {
    {1, 0, 0x45},  // 'E'
    {1, 1, 0x50},  // 'P'
    {0, 0, 0x65},  // 'e'
    {0, 1, 0x70},  // 'p'
};

static uint8_t VendorFeatures(uint8_t savePages, uint8_t pageBit)
{
    for (uint32_t i = 0; i < sizeof(VendorFeatureTable) / sizeof(VendorFeatureTable[0]); ++i)
        if (VendorFeatureTable[i].savePages == savePages && VendorFeatureTable[i].pageBit == pageBit)
            return VendorFeatureTable[i].features;
    return 0;
}

// Offset of page 0x00 in the parameter list, or -1 when there is none.
// Every byte looked at lies within both the list length and the buffer.
static int32_t FindVendorPage(const uint8_t* list, uint32_t limit)
{
    if (list == 0 || limit < 4) return -1;
    uint32_t offset = 4u + list[3];
    while (offset + 2 < limit) {  // page code, length and byte 2 are in the list
        if (list[offset] == 0x00) return (int32_t)offset;
        offset += 2u + list[offset + 1];
    }
    return -1;
}

void ScsiModeSelect(UnitExtension* unit)
{
    uint8_t u = RequestUnit(unit);
    CommandState.senseKey = SENSE_ILLEGAL_REQUEST;
    if (!(UnitState[u].flags & UNIT_SYQUEST)) return;

    uint32_t limit = MinimumOf(unit->Cdb[4], unit->DataLength);
    int32_t offset = FindVendorPage(unit->DataBuffer, limit);
    if (offset < 0) return;

    uint8_t savePages = unit->Cdb[1] & 0x01;
    uint8_t pageBit = (unit->DataBuffer[offset + 2] & 0x02) ? 1 : 0;
    TaskFile.driveHead = unitSelect(u);
    TaskFile.command = ATA_CMD_VENDOR_SYQUEST;
    TaskFile.features = VendorFeatures(savePages, pageBit);
    executeUnitCommand(u);
}
