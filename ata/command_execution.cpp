// The ATA command cycle: the waits, the task-file writes, command issue and
// execution, the software reset, and the conversion of a block address
// into task-file registers.
#include "ata/ata.h"
#include "ata/ata_internal.h"
#include "link/link.h"

// Nested commands borrow the task file; the copies are kept on a short stack
// so that a recovery inside a recovery cannot overwrite the outer copy. The
// innermost copy is also left in CommandState.savedTaskFile.
#define TASK_FILE_STACK_DEPTH 4
static TaskFileRecord taskFileStack[TASK_FILE_STACK_DEPTH];
static uint8_t taskFileDepth;

void ataCommandCycleReset(void)
{
    taskFileDepth = 0;
    recoveryDepth = 0;
}

bool readDriveRegister(uint8_t reg, uint8_t* value)
{
    uint32_t read = LinkReadRegister(reg);
    if (read > 0xFF) return false;  // a link code, not a register
    *value = (uint8_t)read;
    return true;
}

static void writeRegister(uint8_t reg, uint8_t value) { LinkWriteRegister(reg, value); }

// A status the link cannot read (the port is not the driver's) ends the
// wait at once: there is no drive to wait for.
bool waitNotBusy(uint8_t reg, uint16_t count)
{
    CommandState.senseKey = SENSE_NOT_READY;
    if (!readDriveRegister(reg, &CommandState.lastStatus)) return false;
    if (!(CommandState.lastStatus & ATA_STATUS_BSY)) {
        CommandState.senseKey = SENSE_NONE;
        return true;
    }
    for (uint32_t i = 0; i < count; ++i) {
        if (!readDriveRegister(reg, &CommandState.lastStatus)) return false;
        if (!(CommandState.lastStatus & ATA_STATUS_BSY)) {
            CommandState.senseKey = SENSE_NONE;
            return true;
        }
        DelayMilliseconds(1);
    }
    return false;
}

bool waitDataRequest(void)
{
    for (int i = 0; i < ATA_DRQ_POLLS; ++i) {
        uint8_t status;
        if (!readDriveRegister(ATA_REG_STATUS, &status)) return false;
        if (status & ATA_STATUS_DRQ) return true;
        DelayMilliseconds(1);
    }
    return false;
}

// With the fast EPP read modes and single-sector blocks, only the waits at
// 16-sector boundaries (and before the first block) are left to the
// interrupt; the others poll.
static bool oddBlockMustPoll(void)
{
    if (!pollOddBlocks) return false;
    return (TransferState.sectorsLeft % 16) != 0 &&
           TransferState.sectorsLeft != TransferState.sectorsRequested;
}

// A drive interrupt that has not come after ATA_LOST_INTERRUPT_POLLS polls
// may have been lost on its way: the drive's status is looked at then, and
// every ATA_LOST_INTERRUPT_POLLS after. BSY clear means the drive has done
// what the interrupt would have announced.
static bool interruptLost(int poll)
{
    if (poll == 0 || poll % ATA_LOST_INTERRUPT_POLLS != 0) return false;
    uint8_t status;
    return readDriveRegister(ATA_REG_ALT_STATUS, &status) && !(status & ATA_STATUS_BSY);
}

bool waitDriveInterrupt(bool polled)
{
    uint8_t command = TaskFile.command;
    if (!polled && !oddBlockMustPoll() &&
        (command == ATA_CMD_READ_SECTORS || command == ATA_CMD_WRITE_SECTORS)) {
        deferTransfer();
        return false;
    }
    LinkDriveInterrupt();
    CommandState.senseKey = SENSE_NOT_READY;
    for (int i = 0; i < ATA_INTERRUPT_POLLS; ++i) {
        if (LinkDriveInterrupt() == 1 || interruptLost(i)) {
            CommandState.senseKey = SENSE_NONE;
            return true;
        }
        DelayMilliseconds(1);
    }
    return false;
}

void writeTaskFile(void)
{
    CommandState.senseKey = SENSE_NONE;
    writeRegister(ATA_REG_FEATURES, TaskFile.features);
    writeRegister(ATA_REG_SECTOR_COUNT, TaskFile.sectorCount);
    writeRegister(ATA_REG_SECTOR_NUMBER, TaskFile.sectorNumber);
    writeRegister(ATA_REG_CYLINDER_LOW, TaskFile.cylinderLow);
    writeRegister(ATA_REG_CYLINDER_HIGH, TaskFile.cylinderHigh);
    writeRegister(ATA_REG_DRIVE_HEAD, TaskFile.driveHead);
    writeRegister(ATA_REG_COMMAND, TaskFile.command);
}

void writeDeviceControl(uint8_t unit)
{
    if (!UnitState[unit & 1].lbaMode) writeRegister(ATA_REG_DEVICE_CONTROL, CommandState.controlByte);
}

void selectDrive(uint8_t value) { writeRegister(ATA_REG_DRIVE_HEAD, value); }

bool waitReady(uint8_t unit)
{
    if (!waitNotBusy(ATA_REG_STATUS, ATA_BUSY_TICKS)) return false;
    selectDrive(TaskFile.driveHead);
    uint8_t command = TaskFile.command;
    if (UnitState[unit & 1].msnEnabled &&
        (command == ATA_CMD_GET_MEDIA_STATUS || command == ATA_CMD_SET_FEATURES)) {
        CommandState.senseKey = SENSE_NONE;
        return true;
    }
    checkStatus(unit);
    uint8_t key = CommandState.senseKey;
    if (key == SENSE_RECOVERED_ERROR || key == SENSE_HARDWARE_ERROR || key == SENSE_DATA_PROTECT)
        CommandState.senseKey = SENSE_NONE;
    return CommandState.senseKey == SENSE_NONE;
}

bool issueCommand(uint8_t unit)
{
    LinkBeginInterruptWait();
    LinkReadRegister(ATA_REG_STATUS);
    LinkInterruptAck();
    writeDeviceControl(unit);
    if (!waitReady(unit)) return false;
    writeTaskFile();
    return true;
}

bool executeCommand(uint8_t unit)
{
    if (!mediaPrecheck(unit)) return false;
    if (!issueCommand(unit)) return false;
    if (!waitDriveInterrupt(true)) return false;  // a non-data command is always polled
    LinkBeginInterruptWait();
    LinkReadRegister(ATA_REG_STATUS);
    LinkInterruptAck();
    if (waitNotBusy(ATA_REG_STATUS, ATA_BUSY_TICKS)) postCommandCheck(unit);
    return CommandState.senseKey == SENSE_NONE;
}

// READ VERIFY keeps the head its address was loaded with.
bool executeUnitCommand(uint8_t unit)
{
    if (TaskFile.command != ATA_CMD_READ_VERIFY) TaskFile.driveHead = unitSelect(unit);
    return executeCommand(unit);
}

// A drive whose spindle is not yet at speed after a reset (at power-on)
// clears BSY before it raises DRDY, and aborts any command meanwhile. The
// status the busy wait ended on is looked at first, so a drive that is
// ready at once costs no extra read.
static bool waitDriveReady(uint16_t count)
{
    for (uint32_t i = 0;; ++i) {
        uint8_t status = CommandState.lastStatus;
        if (!(status & ATA_STATUS_BSY) && (status & ATA_STATUS_DRDY)) return true;
        if (i == count) return false;
        DelayMilliseconds(1);
        if (!readDriveRegister(ATA_REG_STATUS, &CommandState.lastStatus)) return false;
    }
}

void resetDrive(void)
{
    CommandState.senseKey = SENSE_NONE;
    writeRegister(ATA_REG_DEVICE_CONTROL, ATA_CONTROL_SRST);
    DelayMilliseconds(ATA_RESET_TICKS);
    writeRegister(ATA_REG_DEVICE_CONTROL, 0x00);
    bool ready = waitNotBusy(ATA_REG_STATUS, ATA_BUSY_TICKS) && waitDriveReady(ATA_BUSY_TICKS);
    CommandState.senseKey = ready ? SENSE_NONE : SENSE_HARDWARE_ERROR;
}

void saveTaskFile(void)
{
    if (taskFileDepth < TASK_FILE_STACK_DEPTH) taskFileStack[taskFileDepth++] = TaskFile;
    CommandState.savedTaskFile = TaskFile;
}

void restoreTaskFile(void)
{
    if (taskFileDepth == 0) {
        TaskFile = CommandState.savedTaskFile;
        return;
    }
    TaskFile = taskFileStack[--taskFileDepth];
    if (taskFileDepth) CommandState.savedTaskFile = taskFileStack[taskFileDepth - 1];
}

void loadBlockAddress(uint8_t unit, uint32_t block, uint16_t count)
{
    unit &= 1;
    TaskFile.sectorCount = (uint8_t)count;
    if (UnitState[unit].lbaMode) {
        // 24 bits of LBA; bits 24-27 stay 0 in the drive/head register.
        TaskFile.sectorNumber = (uint8_t)block;
        TaskFile.cylinderLow = (uint8_t)(block >> 8);
        TaskFile.cylinderHigh = (uint8_t)(block >> 16);
        TaskFile.driveHead = unit ? ATA_SELECT_LBA1 : ATA_SELECT_LBA0;
        return;
    }
    UnitParametersRecord* p = &UnitParameters[unit];
    if (p->sectorsPerTrack == 0) p->sectorsPerTrack = 1;
    uint32_t sectors = p->sectorsPerTrack;
    uint16_t heads = p->heads & 0xFF;
    if (heads == 0) heads = 1;  // no geometry, no capacity: no block is ever in range
    uint32_t track = block / sectors;
    uint16_t cylinder = (uint16_t)((uint16_t)(track & 0xFFFF) / heads);
    TaskFile.sectorNumber = (uint8_t)(block % sectors + 1);
    TaskFile.cylinderLow = (uint8_t)cylinder;
    TaskFile.cylinderHigh = (uint8_t)(cylinder >> 8);
    TaskFile.driveHead = (uint8_t)(unitSelect(unit) | (track % heads));
}
