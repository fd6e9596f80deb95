// The commands that move data or act on the medium: READ and WRITE (6 and
// 10), VERIFY, SEEK, REZERO UNIT, START STOP UNIT, PREVENT ALLOW MEDIUM
// REMOVAL, TEST UNIT READY and the vendor no-operation 0xFE.
#include "miniport/parameters.h"
#include "scsi/dispatch.h"
#include "scsi/scsi_common.h"

#define VERIFY_ZERO_COUNT 256  // a verification length of 0 reaches the drive as count 0
#define PROBE_SECTORS 1        // the ready test's probe read of a removable drive

// Block address and length of a read, write, verify or seek, decoded once
// from the CDB in the form its opcode has (group 0 opcodes are 6-byte
// commands). The ATA layer is handed the checked block and count; it never
// reads the CDB.
struct BlockRange {
    uint32_t block;
    uint32_t count;
};

static BlockRange DecodeBlockRange(const UnitExtension* unit)
{
    BlockRange r;
    const uint8_t* cdb = unit->Cdb;
    if (cdb[0] < 0x20) {
        r.block = BigEndian24(cdb + 1);
        r.count = cdb[4] != 0 ? cdb[4] : 256;  // a 6-byte length of 0 means 256
    } else {
        r.block = BigEndian32(cdb + 2);
        r.count = BigEndian16(cdb + 7);
    }
    return r;
}

// Blocks past the end of the medium are refused before the drive sees
// them; a unit without a known capacity (no medium) is not ready. Returns
// the sense key to end with, SENSE_NONE when the range is on the medium.
// This is the one check of a range: a capacity never exceeds what the task
// file can address (24 bits of LBA, 65536 tracks of CHS), so every block
// on the medium is one that loadBlockAddress can compose.
static uint8_t RangeCheck(uint8_t u, uint32_t block, uint32_t count)
{
    uint32_t capacity = UnitParameters[u].totalSectors;
    if (capacity == 0) return SENSE_NOT_READY;
    if (block >= capacity || count > capacity - block) return SENSE_ILLEGAL_REQUEST;
    return SENSE_NONE;
}

// Checks a READ or WRITE and prepares its task file and transfer. Returns
// the sectors to move; 0 when the command is over already (refused, or
// nothing to move).
static uint16_t PrepareTransfer(UnitExtension* unit, uint8_t command)
{
    uint8_t u = RequestUnit(unit);
    BlockRange r = DecodeBlockRange(unit);
    if (r.count == 0) return 0;  // a 10-byte length of 0 moves nothing: GOOD
    if (r.count > MAX_SECTORS_PER_COMMAND) {
        CommandState.senseKey = SENSE_ILLEGAL_REQUEST;
        return 0;
    }
    if (unit->DataBuffer == 0 || unit->DataLength < r.count * ATA_SECTOR_SIZE) {
        CommandState.senseKey = SENSE_NO_BUFFER;  // data overrun, the drive untouched
        return 0;
    }
    uint8_t range = RangeCheck(u, r.block, r.count);
    if (range != SENSE_NONE) {
        CommandState.senseKey = range;
        return 0;
    }
    TaskFile.command = command;
    loadBlockAddress(u, r.block, (uint16_t)r.count);
    unit->DataLength = r.count * ATA_SECTOR_SIZE;
    unit->TransferPointer = unit->DataBuffer;
    return (uint16_t)r.count;
}

void ScsiRead(UnitExtension* unit)
{
    uint16_t sectors = PrepareTransfer(unit, ATA_CMD_READ_SECTORS);
    if (sectors != 0) readSectors(unit, sectors, DriverParameters.PollingMode != 0);
}

void ScsiWrite(UnitExtension* unit)
{
    uint16_t sectors = PrepareTransfer(unit, ATA_CMD_WRITE_SECTORS);
    if (sectors != 0) writeSectors(unit, sectors, DriverParameters.PollingMode != 0);
}

// A verification length of 0 asks the drive for 256 sectors.
void ScsiVerify(UnitExtension* unit)
{
    uint8_t u = RequestUnit(unit);
    BlockRange r = DecodeBlockRange(unit);
    uint32_t count = r.count != 0 ? r.count : VERIFY_ZERO_COUNT;
    uint8_t range = r.count > MAX_SECTORS_PER_COMMAND ? SENSE_ILLEGAL_REQUEST : RangeCheck(u, r.block, count);
    if (range != SENSE_NONE) {
        CommandState.senseKey = range;
        return;
    }
    TaskFile.command = ATA_CMD_READ_VERIFY;
    loadBlockAddress(u, r.block, (uint16_t)count);
    executeUnitCommand(u);
    // ERR ends a verify at the first sector it could not check: a check
    // that found no key of its own does not make the verify GOOD.
    if (CommandState.lastStatus & ATA_STATUS_ERR) failUnfinishedCommand();
    if (CommandState.senseKey == SENSE_DATA_PROTECT) CommandState.senseKey = SENSE_NONE;
}

// A unit addressed by LBA seeks to the block's address as READ and WRITE
// compose it: its bits 8-23 are no cylinder of the drive. A CHS unit seeks
// to the composed cylinder with head 0. A seek moves no sectors: count 0.
void ScsiSeek(UnitExtension* unit)
{
    uint8_t u = RequestUnit(unit);
    BlockRange r = DecodeBlockRange(unit);
    uint8_t range = RangeCheck(u, r.block, 1);
    if (range != SENSE_NONE) {
        CommandState.senseKey = range;
        return;
    }
    TaskFile.command = ATA_CMD_SEEK;
    loadBlockAddress(u, r.block, 0);
    if (UnitState[u].lbaMode) {
        executeCommand(u);
        return;
    }
    TaskFile.sectorNumber = 1;
    executeUnitCommand(u);
}

void ScsiRezeroUnit(UnitExtension* unit)
{
    TaskFile.command = ATA_CMD_RECALIBRATE;
    executeUnitCommand(RequestUnit(unit));
}

// Clears the address registers and selects the unit for a non-data command.
static void PrepareUnitCommand(uint8_t u, uint8_t command)
{
    TaskFile.features = 0;
    TaskFile.sectorCount = 0;
    TaskFile.sectorNumber = 0;
    TaskFile.cylinderLow = 0;
    TaskFile.cylinderHigh = 0;
    TaskFile.driveHead = unitSelect(u);
    TaskFile.command = command;
}

// Only "eject" (LoEj set, Start clear) reaches the drive.
void ScsiStartStopUnit(UnitExtension* unit)
{
    uint8_t u = RequestUnit(unit);
    if ((unit->Cdb[4] & 0x03) != 0x02) return;
    PrepareUnitCommand(u, ATA_CMD_MEDIA_EJECT);
    executeUnitCommand(u);
}

// The door state is recorded before the command runs, whatever its outcome.
void ScsiMediumRemoval(UnitExtension* unit)
{
    uint8_t u = RequestUnit(unit);
    if (unit->Cdb[4] & 0x01) {
        PrepareUnitCommand(u, ATA_CMD_DOOR_LOCK);
        UnitState[u].doorLocked = 1;
    } else {
        PrepareUnitCommand(u, ATA_CMD_DOOR_UNLOCK);
        UnitState[u].doorLocked = 0;
    }
    executeUnitCommand(u);
}

// Removable drive with media status notification: the status bits decide.
// A query without an answer (the drive stuck busy, the adapter gone) keeps
// its own failure: there are no bits to call the unit ready by.
static void MediaStatusReady(uint8_t u)
{
    uint8_t media = 0;
    if (!queryMediaStatus(u, &media)) {
        if (CommandState.senseKey == SENSE_NOT_READY) UnitState[u].flags &= (uint8_t)~UNIT_READY;
        return;
    }
    CommandState.senseKey = SENSE_NONE;
    if (media & MEDIA_MC) CommandState.senseKey = SENSE_UNIT_ATTENTION;
    if (media & MEDIA_NM) {
        CommandState.senseKey = SENSE_NOT_READY;
        UnitState[u].flags &= (uint8_t)~UNIT_READY;
    }
}

// Removable drive without it: a read of the first sector, polled so that
// it never defers, whose data is thrown away, shows a media change; then
// the post-boot command. Returns false when the media change ends the
// command.
static bool ProbeRead(UnitExtension* unit, uint8_t u)
{
    TaskFile.command = ATA_CMD_READ_SECTORS;
    TaskFile.sectorCount = PROBE_SECTORS;
    TaskFile.sectorNumber = 1;
    unit->TransferPointer = 0;

    CommandState.senseKey = SENSE_NONE;
    readSectors(unit, PROBE_SECTORS, true);
    if (CommandState.senseKey == SENSE_UNIT_ATTENTION) return false;

    PrepareUnitCommand(u, ATA_CMD_POST_BOOT);
    executeCommand(u);
    return true;
}

void ScsiTestUnitReady(UnitExtension* unit)
{
    uint8_t u = RequestUnit(unit);
    TaskFile.driveHead = unitSelect(u);
    selectDrive(TaskFile.driveHead);
    CommandState.controlByte = getControlByte(u);

    if (UnitState[u].flags & UNIT_REMOVABLE) {
        if (UnitState[u].msnEnabled) {
            MediaStatusReady(u);
            return;
        }
        if (!ProbeRead(unit, u)) return;
    }
    waitReady(u);
    // A fixed disk left without a geometry the drive accepted has no block
    // to offer, however ready the drive itself is.
    if (CommandState.senseKey == SENSE_NONE && !(UnitState[u].flags & UNIT_REMOVABLE) &&
        UnitParameters[u].totalSectors == 0)
        CommandState.senseKey = SENSE_NOT_READY;
    if (CommandState.senseKey == SENSE_NOT_READY) UnitState[u].flags &= (uint8_t)~UNIT_READY;
}

void ScsiVendorNop(UnitExtension* unit)
{
    (void)unit;
}
