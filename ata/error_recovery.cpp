// Status and error register mapping to sense keys, the check run after
// every command, and the door unlock that follows a failed command.
#include "ata/ata.h"
#include "ata/ata_internal.h"
#include "link/link.h"

// Sense keys by the position of the highest set error bit plus one.
const uint8_t StandardErrorKeys[9] = {
    SENSE_NONE,             // no bit
    SENSE_HARDWARE_ERROR,   // 0x01 AMNF
    SENSE_HARDWARE_ERROR,   // 0x02 TK0NF
    SENSE_ILLEGAL_REQUEST,  // 0x04 ABRT
    SENSE_HARDWARE_ERROR,   // 0x08 MCR
    SENSE_MEDIUM_ERROR,     // 0x10 IDNF
    SENSE_HARDWARE_ERROR,   // 0x20 MC
    SENSE_MEDIUM_ERROR,     // 0x40 UNC
    SENSE_MEDIUM_ERROR,     // 0x80 BBK
};

const uint8_t MediaErrorKeys[9] = {
    SENSE_NONE,            // no bit
    SENSE_MEDIUM_ERROR,    // 0x01 AMNF
    SENSE_NOT_READY,       // 0x02 NM
    SENSE_MEDIUM_ERROR,    // 0x04 ABRT
    SENSE_NONE,            // 0x08 MCR
    SENSE_MEDIUM_ERROR,    // 0x10 IDNF
    SENSE_UNIT_ATTENTION,  // 0x20 MC
    SENSE_DATA_PROTECT,    // 0x40 WP
    SENSE_MEDIUM_ERROR,    // 0x80 BBK
};

// A removable drive without media status notification reports a missing
// cartridge with bit 0x02 (NM) as well; there it means NOT READY, not a
// track 0 fault.
const uint8_t RemovableErrorKeys[9] = {
    SENSE_NONE,             // no bit
    SENSE_HARDWARE_ERROR,   // 0x01 AMNF
    SENSE_NOT_READY,        // 0x02 NM
    SENSE_ILLEGAL_REQUEST,  // 0x04 ABRT
    SENSE_HARDWARE_ERROR,   // 0x08 MCR
    SENSE_MEDIUM_ERROR,     // 0x10 IDNF
    SENSE_HARDWARE_ERROR,   // 0x20 MC
    SENSE_MEDIUM_ERROR,     // 0x40 UNC
    SENSE_MEDIUM_ERROR,     // 0x80 BBK
};

uint8_t recoveryDepth;

uint8_t errorKeyFor(const uint8_t* table, uint8_t error)
{
    for (int bit = 7; bit >= 0; --bit) {
        if (error & (1u << bit)) {
            uint8_t key = table[bit + 1];
            if (key != SENSE_NONE) return key;
        }
    }
    return SENSE_NONE;
}

static bool statusResult(uint8_t key)
{
    CommandState.senseKey = key;
    return key == SENSE_NONE;
}

// Reads the status register, which also acknowledges a drive interrupt,
// into lastStatus. False when the link could not read it.
static bool readStatus(uint8_t* status)
{
    bool read = readDriveRegister(ATA_REG_STATUS, status);
    LinkInterruptAck();
    if (read) CommandState.lastStatus = *status;
    return read;
}

// The key a status register value gives; a unit that shows a status has
// responded.
static bool statusKey(uint8_t unit, uint8_t status)
{
    UnitStateRecord* u = &UnitState[unit & 1];
    uint8_t command = TaskFile.command;
    u->flags |= UNIT_RESPONDED | UNIT_READY;
    if (status & (ATA_STATUS_BSY | ATA_STATUS_DRQ)) return statusResult(SENSE_NONE);
    if (status & ATA_STATUS_DF) {
        if (command == ATA_CMD_IDENTIFY) return statusResult(SENSE_NONE);
        // A verify must not report a device fault as write protection:
        // the verify handler forgives DATA PROTECT.
        return statusResult(command == ATA_CMD_READ_VERIFY ? SENSE_HARDWARE_ERROR : SENSE_DATA_PROTECT);
    }
    if ((status & ATA_STATUS_DRDY) && !(status & ATA_STATUS_DSC) && command != ATA_CMD_SEEK) {
        if (command == ATA_CMD_IDENTIFY) return statusResult(SENSE_NONE);
        u->flags &= ~UNIT_READY;
        return statusResult(SENSE_NOT_READY);
    }
    if (!(status & ATA_STATUS_DRDY)) {
        if (command == ATA_CMD_IDENTIFY || command == ATA_CMD_MEDIA_EJECT) return statusResult(SENSE_NONE);
        return statusResult(SENSE_NOT_READY);
    }
    // ERR ends the command whatever CORR says: the error register decides.
    bool corrected = (status & ATA_STATUS_CORR) && !(status & ATA_STATUS_ERR) && command != ATA_CMD_IDENTIFY;
    return statusResult(corrected ? SENSE_RECOVERED_ERROR : SENSE_NONE);
}

// Without a status to judge by the unit cannot take a command: NOT READY.
bool checkStatus(uint8_t unit)
{
    uint8_t status;
    if (!readStatus(&status)) return statusResult(SENSE_NOT_READY);
    return statusKey(unit, status);
}

bool mapErrorRegister(uint8_t unit)
{
    UnitStateRecord* u = &UnitState[unit & 1];
    uint8_t command = TaskFile.command;
    uint8_t error;
    if (!readDriveRegister(ATA_REG_ERROR, &error)) {
        // No error register to map: nothing of the drive's was read.
        CommandState.senseKey = SENSE_HARDWARE_ERROR;
        return false;
    }
    CommandState.lastError = error;
    if (command == ATA_CMD_GET_MEDIA_STATUS) CommandState.mediaStatus = error;
    // Recovery commands map their own registers but start no recovery.
    if ((u->flags & UNIT_REMOVABLE) && !u->msnEnabled && recoveryDepth == 0) {
        if ((error & ATA_ERROR_MC) && command != ATA_CMD_DOOR_LOCK) {
            uint8_t status = CommandState.lastStatus;
            handleMediaChange(unit);
            CommandState.lastStatus = status;
            CommandState.lastError = error;
            CommandState.senseKey = SENSE_UNIT_ATTENTION;
            return false;
        }
        if (error & ATA_ERROR_MCR) {
            // The failed command's status survives the acknowledgement, so
            // its caller can still see that the command ended early.
            uint8_t status = CommandState.lastStatus;
            LinkWriteRegister(ATA_REG_COMMAND, ATA_CMD_ACK_MEDIA_CHANGE);
            waitNotBusy(ATA_REG_STATUS, ATA_BUSY_TICKS);
            CommandState.lastStatus = status;
            // The request is acknowledged; the command's own error bits
            // (an unreadable sector, say) still count.
            uint8_t key = errorKeyFor(RemovableErrorKeys, (uint8_t)(error & ~ATA_ERROR_MCR));
            if (key != SENSE_NONE) CommandState.senseKey = key;
            return true;
        }
    }
    const uint8_t* table = u->msnEnabled                    ? MediaErrorKeys
                           : (u->flags & UNIT_REMOVABLE) ? RemovableErrorKeys
                                                         : StandardErrorKeys;
    uint8_t key = errorKeyFor(table, error);
    // On a verify, bit 0x40 is an uncorrectable sector, never protection.
    if (command == ATA_CMD_READ_VERIFY && key == SENSE_DATA_PROTECT) key = SENSE_MEDIUM_ERROR;
    CommandState.senseKey = key;
    return true;
}

// A status no drive shows at the end of a command: ERR with DRQ (failed,
// yet still offering data), or ERR read through an adapter that no longer
// answers its identity (unplugged, or plugged back and asleep: every
// register then reads the floating lines). Nothing the command moved can be
// trusted, and the error register would be line noise as well.
static bool notADriveStatus(uint8_t status)
{
    if ((status & (ATA_STATUS_BSY | ATA_STATUS_DRQ | ATA_STATUS_ERR)) == (ATA_STATUS_DRQ | ATA_STATUS_ERR))
        return true;
    return (status & ATA_STATUS_ERR) && !AdapterIdCheck();
}

bool postCommandCheck(uint8_t unit)
{
    UnitStateRecord* u = &UnitState[unit & 1];
    uint8_t command = TaskFile.command;
    uint8_t status;
    if (!readStatus(&status)) {
        // No status: the port is not the driver's, there is no drive to
        // talk to, as with an adapter that no longer answers.
        CommandState.senseKey = SENSE_HARDWARE_ERROR;
        return false;
    }
    bool ok = statusKey(unit, status);
    if (notADriveStatus(status)) {
        // No recovery either: there is no drive to talk to.
        CommandState.senseKey = SENSE_HARDWARE_ERROR;
        return false;
    }
    if ((ok || command == ATA_CMD_IDENTIFY || command == ATA_CMD_GET_MEDIA_STATUS) &&
        (CommandState.lastStatus & ATA_STATUS_ERR) && command != ATA_CMD_SLEEP)
        mapErrorRegister(unit);
    if (command != ATA_CMD_DOOR_UNLOCK && command != ATA_CMD_DOOR_LOCK && command != ATA_CMD_POST_BOOT &&
        !u->msnEnabled && CommandState.senseKey != SENSE_NONE && recoveryDepth == 0) {
        // The failed command's outcome and registers survive the unlock.
        uint8_t key = CommandState.senseKey;
        uint8_t status = CommandState.lastStatus;
        uint8_t error = CommandState.lastError;
        saveTaskFile();
        ++recoveryDepth;
        unlockDoor(unit);
        --recoveryDepth;
        restoreTaskFile();
        CommandState.senseKey = key;
        CommandState.lastStatus = status;
        CommandState.lastError = error;
    }
    return CommandState.senseKey == SENSE_NONE;
}

// The early ending that maps to no key is a media change request (the user
// pressed the eject button of a locked drive): the check acknowledged it,
// the cartridge is still in, and the same command succeeds when it is sent
// again. It is reported as UNIT ATTENTION, after which the class driver
// repeats the command. An early ending with no reason given at all is NOT
// READY. No door unlock follows: the lock the system asked for holds.
void failUnfinishedCommand(void)
{
    if (CommandState.senseKey != SENSE_NONE) return;
    CommandState.senseKey = (CommandState.lastError & ATA_ERROR_MCR) ? SENSE_UNIT_ATTENTION : SENSE_NOT_READY;
}

bool unlockDoor(uint8_t unit)
{
    TaskFile.command = ATA_CMD_DOOR_UNLOCK;
    executeCommand(unit);
    UnitState[unit & 1].doorLocked = 0;
    return CommandState.senseKey == SENSE_NONE;
}

// A software reset ends whatever the drive was doing, and makes it forget
// the geometry and block size it was given: both are programmed again, so
// the next command finds the drive idle and addressing as before. A drive
// that stays busy after the reset is left alone.
void recoverDrive(void)
{
    resetDrive();
    if (CommandState.senseKey != SENSE_NONE) return;
    for (uint8_t unit = 0; unit < ATA_UNITS; ++unit)
        if (UnitState[unit].absent == 0) reprogramUnit(unit);
    selectDrive(ATA_SELECT_UNIT0);
}
