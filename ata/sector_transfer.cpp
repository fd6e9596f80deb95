// The sector transfer engine: READ SECTORS, WRITE SECTORS and IDENTIFY
// DEVICE data phases, one DRQ block at a time, polled or deferred to the
// drive interrupt and continued from the interrupt or timer path.
#include "ata/ata.h"
#include "ata/ata_internal.h"
#include "link/link.h"
#include "miniport/parameters.h"
#include "miniport/request.h"

static uint8_t requestUnit(UnitExtension* request) { return request->TargetId & 1; }

bool multipleUsable(uint8_t unit)
{
    UnitStateRecord* u = &UnitState[unit & 1];
    TransferState.blockSectors = 1;
    if (DriverParameters.NoMultipleMode) return false;
    if (!(u->flags & UNIT_MULTIPLE) || u->multipleCount == 0) return false;
    TransferState.blockSectors = u->multipleCount;
    return true;
}

// Timer and interrupt calls that found no drive interrupt since the
// transfer last deferred. After QUIET_POLLS_CHECK of them (1 s of 10 ms
// timer polls) the drive's status is looked at directly, and again every
// QUIET_POLLS_CHECK; after QUIET_POLLS_LIMIT (the busy time-out) the
// request ends NOT READY.
#define QUIET_POLLS_CHECK 100
#define QUIET_POLLS_LIMIT (ATA_BUSY_TICKS / 10)
static uint16_t quietPolls;
static uint8_t statusCheckDue;

bool transferWaitOverdue(void)
{
    if (!TransferState.deferPending) return false;
    if (++quietPolls % QUIET_POLLS_CHECK == 0) statusCheckDue = 1;
    return statusCheckDue != 0;
}

void deferTransfer(void)
{
    quietPolls = 0;
    statusCheckDue = 0;
    TransferState.deferred |= 1;
    TransferState.deferPending = 1;
    CommandState.senseKey = SENSE_NOT_READY;
    DeferUntilInterrupt(LinkRelease);
}

// The data phase moves sectors × 512 bytes through the request's buffer:
// none may be shorter, whether the request's data length or its SRB says
// so, and a write needs one. A read without one takes what the drive offers
// and throws it away. Checked before anything is sent; false with senseKey
// set when the command is not to be sent.
static bool bufferHolds(UnitExtension* request, uint16_t sectors)
{
    if (request->TransferPointer == 0) {
        if (TaskFile.command != ATA_CMD_WRITE_SECTORS) return true;
        CommandState.senseKey = SENSE_NO_BUFFER;
        return false;
    }
    uint32_t bytes = (uint32_t)sectors * ATA_SECTOR_SIZE;
    if (request->DataLength < bytes || (request->Srb && request->Srb->DataTransferLength < bytes)) {
        CommandState.senseKey = SENSE_ILLEGAL_REQUEST;
        return false;
    }
    return true;
}

// Data a request does not want (the ready test's probe read) is read all
// the same, a sector at a time, into this sector and thrown away: a data-in
// command ends only when the host has read its data, and ATA leaves a
// command written while the drive still offers data (DRQ) undefined.
static uint8_t discardedSector[ATA_SECTOR_SIZE];

static void readData(UnitExtension* request, uint16_t sectors)
{
    if (request->TransferPointer == 0) {
        for (uint16_t i = 0; i < sectors; ++i) LinkReadBlock(discardedSector, ATA_SECTOR_SIZE);
        return;
    }
    uint16_t bytes = (uint16_t)(sectors * ATA_SECTOR_SIZE);
    LinkReadBlock(request->TransferPointer, bytes);
    request->TransferPointer += bytes;
}

// Takes the next DRQ block off the sectors left; returns its sectors.
static uint16_t takeNextBlock(void)
{
    uint16_t n = TransferState.blockSectors < TransferState.sectorsLeft ? TransferState.blockSectors
                                                                        : TransferState.sectorsLeft;
    TransferState.sectorsLeft = (uint16_t)(TransferState.sectorsLeft - n);
    return n;
}

// Moves one DRQ block into the buffer. The data register is read only
// while the drive offers data: a drive that ends the command with an error
// (ERR, no DRQ) leaves the buffer untouched and the error to the check.
static bool readBlock(UnitExtension* request)
{
    if (!waitNotBusy(ATA_REG_STATUS, ATA_BUSY_TICKS)) {
        CommandState.senseKey = SENSE_NOT_READY;
        TransferState.transferDone = 1;
        return false;
    }
    LinkInterruptAck();
    if (!(CommandState.lastStatus & ATA_STATUS_DRQ)) {
        TransferState.transferDone = 1;
        TransferState.sectorsLeft = 0;
        if (CommandState.lastStatus & ATA_STATUS_ERR) {
            TransferState.endedEarly = 1;
            CommandState.senseKey = SENSE_NONE;  // the post-command check reads the error
            return true;
        }
        // The drive ended the command without the data: never GOOD.
        CommandState.senseKey = SENSE_NOT_READY;
        return false;
    }
    uint16_t n = takeNextBlock();
    readData(request, n);
    uint8_t status;
    if (!readDriveRegister(ATA_REG_ALT_STATUS, &status)) {
        // The port is no longer the driver's: nothing more can be read.
        TransferState.transferDone = 1;
        TransferState.sectorsLeft = 0;
        CommandState.senseKey = SENSE_NOT_READY;
        return false;
    }
    if (status & (ATA_STATUS_BSY | ATA_STATUS_DRQ)) {
        if (TransferState.sectorsLeft == 0) TransferState.transferDone = 1;
    } else if ((status & ATA_STATUS_ERR) || TransferState.sectorsLeft == 0) {
        if (TransferState.sectorsLeft != 0) TransferState.endedEarly = 1;
        TransferState.transferDone = 1;
        TransferState.sectorsLeft = 0;
        CommandState.senseKey = SENSE_NONE;
    }
    return true;
}

// The post-command check of a read; a read the drive ended before all its
// sectors were moved has failed, whatever the check found.
static void readOutcome(uint8_t unit)
{
    postCommandCheck(unit);
    if (TransferState.endedEarly) failUnfinishedCommand();
}

// Writes the data command's task file. A drive still busy with a command
// the driver has already finished with (one that failed its check early)
// would ignore the command and end the old one in its place: the command
// waits for BSY to clear, and is not sent at all when it never does. Nor is
// it sent to a drive without DRDY (still spinning up after power-on or a
// reset), which would only abort it: that read or write is NOT READY, as
// the drive's status after it would say. IDENTIFY DEVICE is still asked of
// such a drive.
static bool beginDataCommand(uint8_t unit, uint8_t base, uint8_t multiple)
{
    TransferState.endedEarly = 0;
    LinkBeginInterruptWait();
    uint8_t status;
    bool read = readDriveRegister(ATA_REG_STATUS, &status);
    LinkInterruptAck();
    bool busy = read && (status & ATA_STATUS_BSY);
    if (!read || (busy && !waitNotBusy(ATA_REG_STATUS, ATA_BUSY_TICKS))) {
        CommandState.senseKey = SENSE_NOT_READY;
        TransferState.transferDone = 1;
        return false;
    }
    if (busy) status = CommandState.lastStatus;
    if (!(status & ATA_STATUS_DRDY) && TaskFile.command != ATA_CMD_IDENTIFY) {
        CommandState.lastStatus = status;
        CommandState.senseKey = SENSE_NOT_READY;
        TransferState.transferDone = 1;
        return false;
    }
    writeDeviceControl(unit);
    CommandState.lastError = 0;
    TransferState.blockSectors = 1;
    if (TaskFile.command == base && multipleUsable(unit)) {
        TaskFile.command = multiple;
        writeTaskFile();
        TaskFile.command = base;
    } else {
        writeTaskFile();
    }
    return true;
}

static bool readBody(UnitExtension* request, uint16_t sectors, bool polled)
{
    uint8_t unit = requestUnit(request);
    if (!beginDataCommand(unit, ATA_CMD_READ_SECTORS, ATA_CMD_READ_MULTIPLE)) return false;
    TransferState.sectorsLeft = TransferState.sectorsRequested = sectors;
    for (;;) {
        uint8_t status;
        if (!readDriveRegister(ATA_REG_ALT_STATUS, &status)) {
            CommandState.senseKey = SENSE_NOT_READY;  // the port is no longer the driver's
            return false;
        }
        bool ready = !(status & ATA_STATUS_BSY) && (status & ATA_STATUS_DSC) && (status & ATA_STATUS_DRQ);
        if (!ready && !waitDriveInterrupt(polled)) {
            CommandState.senseKey = SENSE_NOT_READY;
            return false;
        }
        if (TransferState.sectorsLeft == 0) break;
        if (!readBlock(request)) return false;
        if (TransferState.sectorsLeft == 0) break;
    }
    readOutcome(unit);
    TransferState.transferDone = 1;
    return true;
}

// A read or write that deferred stays open after the dispatcher returns.
static void markIfDeferred(UnitExtension* request)
{
    if (TransferState.deferred & 1) request->WorkFlags |= WORK_STILL_RUNNING;
}

// A polled multiple-mode read that the drive aborted, with ABRT alone in its
// error register: the drive may have forgotten its block size.
static bool multipleReadAborted(void)
{
    return !(TransferState.deferred & 1) && CommandState.lastError == ATA_ERROR_ABRT &&
           TaskFile.command == ATA_CMD_READ_SECTORS && TransferState.blockSectors > 1;
}

// Re-arms a removable drive and gives the drive its block size again, the
// read's task file kept. When the drive refuses, the read's key stands.
static bool rearmMultiple(uint8_t unit)
{
    uint8_t readKey = CommandState.senseKey;
    saveTaskFile();
    rearmRemovable(unit);
    bool rearmed = setMultipleMode(TransferState.blockSectors, unit);
    restoreTaskFile();
    if (!rearmed) CommandState.senseKey = readKey;
    return rearmed;
}

// A read runs once, and once more after a multiple-mode read the drive
// aborted, if the drive takes its block size again: each run passes the
// removable-media pre-check first.
bool readSectors(UnitExtension* request, uint16_t sectors, bool polled)
{
    uint8_t unit = requestUnit(request);
    TransferState.transferDone = 0;
    CommandState.lastError = 0;
    TransferState.deferred &= (uint8_t)~1;
    uint8_t* start = request->TransferPointer;
    if (!mediaPrecheck(unit) || !bufferHolds(request, sectors)) return CommandState.senseKey == SENSE_NONE;
    readBody(request, sectors, polled);
    markIfDeferred(request);
    if (multipleReadAborted() && rearmMultiple(unit)) {
        request->TransferPointer = start;
        TransferState.transferDone = 0;
        if (mediaPrecheck(unit)) {
            readBody(request, sectors, polled);
            markIfDeferred(request);
        }
    }
    return CommandState.senseKey == SENSE_NONE;
}

// The drive refused the data phase of a write: its error register says why
// (a media change, a protected or missing medium), so the check runs; the
// write has failed whatever it found.
static bool writeRefused(uint8_t unit)
{
    postCommandCheck(unit);
    failUnfinishedCommand();
    TransferState.transferDone = 1;
    return false;
}

static bool writeFailed(void)
{
    CommandState.senseKey = SENSE_NOT_READY;
    TransferState.transferDone = 1;
    return false;
}

static bool writeBlock(UnitExtension* request, bool polled)
{
    uint8_t unit = requestUnit(request);
    if (!waitNotBusy(ATA_REG_STATUS, ATA_BUSY_TICKS) || CommandState.senseKey != SENSE_NONE) return writeFailed();
    if ((CommandState.lastStatus & (ATA_STATUS_ERR | ATA_STATUS_DRQ)) == ATA_STATUS_ERR) return writeRefused(unit);
    if (!waitDataRequest()) {
        if (!readDriveRegister(ATA_REG_ALT_STATUS, &CommandState.lastStatus)) return writeFailed();
        if (CommandState.lastStatus & ATA_STATUS_ERR) return writeRefused(unit);
        return writeFailed();
    }
    LinkReadRegister(ATA_REG_STATUS);
    LinkInterruptAck();
    uint16_t n = takeNextBlock();
    uint16_t bytes = (uint16_t)(n * ATA_SECTOR_SIZE);
    LinkWriteBlock(request->TransferPointer, bytes);
    request->TransferPointer += bytes;
    if (!waitDriveInterrupt(polled)) {
        CommandState.senseKey = SENSE_NOT_READY;
        if ((TaskFile.command == ATA_CMD_READ_SECTORS || TaskFile.command == ATA_CMD_WRITE_SECTORS) && !polled)
            TransferState.transferDone = 1;
        return false;
    }
    // The drive still busy with the block after the interrupt: NOT READY.
    if (!waitNotBusy(ATA_REG_ALT_STATUS, ATA_BUSY_TICKS)) return writeFailed();
    TransferState.transferDone = 1;
    return true;
}

// The outcome of a write once its last block is sent: a drive that still
// wants data, or is still busy, has not taken the write.
static void writeOutcome(uint8_t unit)
{
    postCommandCheck(unit);
    if (CommandState.senseKey == SENSE_NONE && (CommandState.lastStatus & (ATA_STATUS_DRQ | ATA_STATUS_BSY))) {
        CommandState.senseKey = SENSE_NOT_READY;
        TransferState.transferDone = 1;
    }
}

static bool writeBody(UnitExtension* request, uint16_t sectors, bool polled)
{
    uint8_t unit = requestUnit(request);
    if (!beginDataCommand(unit, ATA_CMD_WRITE_SECTORS, ATA_CMD_WRITE_MULTIPLE)) return false;
    TransferState.sectorsRequested = 0;
    TransferState.sectorsLeft = sectors;
    do {
        if (!writeBlock(request, polled)) return false;
    } while (TransferState.sectorsLeft != 0);
    writeOutcome(unit);
    return CommandState.senseKey == SENSE_NONE;
}

bool writeSectors(UnitExtension* request, uint16_t sectors, bool polled)
{
    uint8_t unit = requestUnit(request);
    CommandState.lastError = 0;
    TransferState.deferred &= (uint8_t)~1;
    TransferState.transferDone = 0;
    if (mediaPrecheck(unit) && bufferHolds(request, sectors)) {
        writeBody(request, sectors, polled);
        markIfDeferred(request);
    }
    return CommandState.senseKey == SENSE_NONE;
}

// Ends a deferred command: no more interrupt wait or timer polls; the
// miniport then completes the request.
static void finishDeferred(UnitExtension* request)
{
    LinkEndInterruptWait();
    DeferUntilInterrupt(0);
    TransferState.deferPending = 0;
    CompleteDeferredRequest(request);
}

// A continuation belongs to a request that deferred, which is not polled.
#define CONTINUATION_POLLED false

// The drive's interrupt has come: the wait is over, its polls forgotten.
static void interruptTaken(UnitExtension* request)
{
    quietPolls = 0;
    statusCheckDue = 0;
    LinkReadRegister(ATA_REG_STATUS);
    LinkInterruptAck();
    if (request->Adapter) request->Adapter->TimerWait = 0;
}

// Without the 10 ms timer only the drive's interrupt resumes a transfer.
// A drive quick with its next block raises its interrupt request while the
// driver is still busy with the last one, and the processor may then see no
// fresh edge once the port is handed back for the wait. So after deferring,
// the port's interrupt request is looked at once: when it is already up the
// drive is asked, and the transfer goes on at once if the interrupt is its.
static bool interruptAlreadyRaised(UnitExtension* request)
{
    if (!DriverParameters.NoTimer || !(TransferState.deferred & 1)) return false;
    if (LinkInterruptPending() != LINK_OK) return false;
    LinkAcquire();
    if (LinkDriveInterrupt() != 1) {
        LinkInterruptAck();
        DeferUntilInterrupt(LinkRelease);
        return false;
    }
    interruptTaken(request);
    TransferState.deferred &= (uint8_t)~1;
    return true;
}

// Waits for the next block inside a continuation. Returns true when the
// drive is ready; false when the request has been deferred again (nothing
// more to do now) or when the wait ran out (the request is then finished
// with NOT READY rather than left open).
static bool continuationWait(UnitExtension* request)
{
    TransferState.deferred &= (uint8_t)~1;
    if (waitDriveInterrupt(CONTINUATION_POLLED)) return true;
    if (!(TransferState.deferred & 1)) {
        CommandState.senseKey = SENSE_NOT_READY;
        finishDeferred(request);
    }
    return interruptAlreadyRaised(request);
}

static void continueRead(UnitExtension* request)
{
    CommandState.senseKey = SENSE_NONE;
    for (;;) {
        if (TransferState.sectorsLeft == 0) {
            TransferState.transferDone = 1;
        } else if (!readBlock(request)) {
            // The busy wait ran out: the buffer is not filled.
            finishDeferred(request);
            return;
        }
        if (TransferState.transferDone) break;
        if (!continuationWait(request)) return;
    }
    readOutcome(requestUnit(request));
    finishDeferred(request);
}

static void continueWrite(UnitExtension* request)
{
    CommandState.senseKey = SENSE_NONE;
    while (TransferState.sectorsLeft != 0) {
        TransferState.deferred &= (uint8_t)~1;
        if (!writeBlock(request, CONTINUATION_POLLED)) {
            if (!(TransferState.deferred & 1)) finishDeferred(request);
            if (interruptAlreadyRaised(request)) continue;
            return;
        }
    }
    writeOutcome(requestUnit(request));
    finishDeferred(request);
}

// The drive's interrupt has not come for a long time: it may have been lost
// (the drive's INTRQ, or an adapter unplugged and back asleep, which
// forwards nothing). The port is taken afresh, which wakes the adapter and
// checks its identity, and the drive's status decides: BSY clear means the
// drive has done what the interrupt would have announced.
static bool driveDoneWithoutInterrupt(void)
{
    if (!statusCheckDue && !transferWaitOverdue()) return false;
    statusCheckDue = 0;
    LinkEndInterruptWait();
    LinkRelease();
    bool present = LinkAcquire() == LINK_OK;
    LinkBeginInterruptWait();
    uint8_t status;
    return present && readDriveRegister(ATA_REG_ALT_STATUS, &status) && !(status & ATA_STATUS_BSY);
}

// The drive stayed busy, or the adapter away, for the whole busy time-out:
// the request ends NOT READY and the drive is reset, so that the next
// command does not meet the unfinished one.
static void transferTimedOut(UnitExtension* request)
{
    if (request->Adapter) request->Adapter->TimerWait = 0;
    AdapterFlags[0] |= CONTINUATION_RUNNING;
    if (LinkState.Acquired) recoverDrive();
    TransferState.sectorsLeft = 0;
    TransferState.transferDone = 1;
    CommandState.senseKey = SENSE_NOT_READY;
    finishDeferred(request);
    AdapterFlags[0] &= (uint8_t)~CONTINUATION_RUNNING;
}

bool resumeTransfer(UnitExtension* request)
{
    if (!TransferState.deferPending || request == 0) return true;
    LinkAcquire();
    if (LinkDriveInterrupt() != 1 && !driveDoneWithoutInterrupt()) {
        if (quietPolls >= QUIET_POLLS_LIMIT) {
            transferTimedOut(request);
            return true;
        }
        LinkInterruptAck();
        DeferUntilInterrupt(LinkRelease);
        return true;
    }
    interruptTaken(request);
    AdapterFlags[0] |= CONTINUATION_RUNNING;
    if (TaskFile.command == ATA_CMD_WRITE_SECTORS) continueWrite(request);
    else if (TaskFile.command == ATA_CMD_READ_SECTORS) continueRead(request);
    AdapterFlags[0] &= (uint8_t)~CONTINUATION_RUNNING;
    return true;
}

void abandonTransfer(void)
{
    if (!TransferState.deferPending) return;
    quietPolls = 0;
    statusCheckDue = 0;
    TransferState.deferPending = 0;
    TransferState.deferred = 0;
    TransferState.sectorsLeft = 0;
    TransferState.transferDone = 1;
    AdapterFlags[0] &= (uint8_t)~(WAIT_FOR_DRIVE | CONTINUATION_RUNNING);
    // The port was kept for the drive's interrupt; give it back for real.
    LinkEndInterruptWait();
    LinkRelease();
}
