// The ATA device protocol: the task-file shadow, the state of the command
// in progress, the per-unit records, and the operations of the command
// cycle, identification, sector transfer, error mapping and removable
// media handling.
#ifndef ATA_ATA_H
#define ATA_ATA_H

#include <stdint.h>

struct UnitExtension;

// Status register bits.
#define ATA_STATUS_BSY 0x80
#define ATA_STATUS_DRDY 0x40
#define ATA_STATUS_DF 0x20
#define ATA_STATUS_DSC 0x10
#define ATA_STATUS_DRQ 0x08
#define ATA_STATUS_CORR 0x04
#define ATA_STATUS_ERR 0x01

// Error register bits (ordinary meaning / media status meaning).
#define ATA_ERROR_BBK 0x80
#define ATA_ERROR_UNC 0x40  // WP with media status notification
#define ATA_ERROR_MC 0x20
#define ATA_ERROR_IDNF 0x10
#define ATA_ERROR_MCR 0x08
#define ATA_ERROR_ABRT 0x04
#define ATA_ERROR_TK0NF 0x02  // NM with media status notification
#define ATA_ERROR_AMNF 0x01

// Media status bits returned by GET MEDIA STATUS.
#define MEDIA_WP 0x40
#define MEDIA_MC 0x20
#define MEDIA_MCR 0x08
#define MEDIA_ABRT 0x04
#define MEDIA_NM 0x02

// Device control values.
#define ATA_CONTROL_SRST 0x04

// ATA commands the driver issues.
#define ATA_CMD_RECALIBRATE 0x10
#define ATA_CMD_READ_SECTORS 0x20
#define ATA_CMD_WRITE_SECTORS 0x30
#define ATA_CMD_READ_VERIFY 0x40
#define ATA_CMD_SEEK 0x70
#define ATA_CMD_INITIALIZE_PARAMETERS 0x91
#define ATA_CMD_VENDOR_SYQUEST 0xC0
#define ATA_CMD_READ_MULTIPLE 0xC4
#define ATA_CMD_WRITE_MULTIPLE 0xC5
#define ATA_CMD_SET_MULTIPLE 0xC6
#define ATA_CMD_GET_MEDIA_STATUS 0xDA
#define ATA_CMD_ACK_MEDIA_CHANGE 0xDB
#define ATA_CMD_POST_BOOT 0xDC
#define ATA_CMD_PRE_BOOT 0xDD
#define ATA_CMD_DOOR_LOCK 0xDE
#define ATA_CMD_DOOR_UNLOCK 0xDF
#define ATA_CMD_IDLE_IMMEDIATE 0xE1
#define ATA_CMD_IDLE 0xE3
#define ATA_CMD_SLEEP 0xE6
#define ATA_CMD_IDENTIFY 0xEC
#define ATA_CMD_MEDIA_EJECT 0xED
#define ATA_CMD_SET_FEATURES 0xEF
#define ATA_FEATURE_ENABLE_MSN 0x95

// Sense keys, the one currency of command outcomes.
#define SENSE_NONE 0x00
#define SENSE_RECOVERED_ERROR 0x01
#define SENSE_NOT_READY 0x02
#define SENSE_MEDIUM_ERROR 0x03
#define SENSE_HARDWARE_ERROR 0x04
#define SENSE_ILLEGAL_REQUEST 0x05
#define SENSE_UNIT_ATTENTION 0x06
#define SENSE_DATA_PROTECT 0x07
#define SENSE_NO_BUFFER 0x12  // not a sense key: the command found no data buffer

// UnitState.flags.
#define UNIT_RESPONDED 0x01
#define UNIT_SYQUEST 0x02
#define UNIT_IOTA 0x04
#define UNIT_READY 0x08
#define UNIT_MULTIPLE 0x10
#define UNIT_REMOVABLE 0x80

#define ATA_UNITS 2

// Drive/head values: the unit in bit 4, bits 7 and 5 set, bit 6 for LBA.
#define ATA_SELECT_UNIT0 0xA0
#define ATA_SELECT_UNIT1 0xB0
#define ATA_SELECT_LBA0 0xE0
#define ATA_SELECT_LBA1 0xF0

// The drive select value of a unit: head 0, cylinder/head/sector form.
inline uint8_t unitSelect(uint8_t unit) { return unit ? ATA_SELECT_UNIT1 : ATA_SELECT_UNIT0; }
#define ATA_SECTOR_SIZE 512
#define MODEL_LENGTH 18

struct TaskFileRecord {
    uint8_t features;
    uint8_t sectorCount;
    uint8_t sectorNumber;
    uint8_t cylinderLow;
    uint8_t cylinderHigh;
    uint8_t driveHead;
    uint8_t command;
};

struct CommandStateRecord {
    uint8_t senseKey;
    uint8_t controlByte;
    uint8_t lastStatus;
    uint8_t lastError;
    uint8_t mediaStatus;
    TaskFileRecord savedTaskFile;
    uint32_t discoveryActive;
};

struct UnitStateRecord {
    uint8_t flags;
    uint8_t absent;  // 0xFF at load
    uint8_t lbaMode;
    uint8_t msnEnabled;
    uint8_t doorLocked;
    uint16_t multipleCount;
    uint16_t standbyTicks;
};

struct UnitParametersRecord {
    uint16_t cylinders;
    uint16_t heads;
    uint16_t sectorsPerTrack;
    uint16_t defaultCylinders;
    uint16_t defaultHeads;
    uint16_t defaultSectorsPerTrack;
    uint32_t totalSectors;
    uint8_t controlByte;
    char model[MODEL_LENGTH + 1];
};

struct IdentifyStateRecord {
    uint8_t forceChs;
    uint8_t iotaDrive;
};

struct TransferStateRecord {
    uint16_t sectorsLeft;
    uint16_t sectorsRequested;
    uint16_t blockSectors;  // 1
    uint8_t transferDone;
    uint8_t deferPending;
    uint8_t deferred;
    uint8_t endedEarly;  // the drive ended the read before all its sectors were moved
};

extern TaskFileRecord TaskFile;
extern CommandStateRecord CommandState;
extern UnitStateRecord UnitState[ATA_UNITS];
extern UnitParametersRecord UnitParameters[ATA_UNITS];
extern uint8_t IdentifyBuffer[512];
extern IdentifyStateRecord IdentifyState;
extern uint8_t pollOddBlocks;
extern TransferStateRecord TransferState;

void ataStateReset(void);

// Command execution.
bool waitNotBusy(uint8_t reg, uint16_t count);
bool waitDataRequest(void);
// Waits for the drive's interrupt request. polled: by polling only, never
// deferring the request (a read or write that is not polled defers).
bool waitDriveInterrupt(bool polled);
void writeTaskFile(void);
void writeDeviceControl(uint8_t unit);
void selectDrive(uint8_t value);
bool waitReady(uint8_t unit);
bool issueCommand(uint8_t unit);
bool executeCommand(uint8_t unit);
bool executeUnitCommand(uint8_t unit);
void resetDrive(void);
void saveTaskFile(void);
void restoreTaskFile(void);
// Fills the address and count registers of the task file for count blocks
// from block, in the unit's addressing: LBA, or cylinder/head/sector in its
// presented geometry. The caller has checked the range against the unit;
// the count register takes one byte, so a count of 256 goes out as 0.
void loadBlockAddress(uint8_t unit, uint32_t block, uint16_t count);

// Identification and parameters.
bool discoverDrives(void);
bool identifyDevice(UnitExtension* request);
void computeParameters(UnitExtension* request);
void initializeDeviceParameters(UnitExtension* request);
bool programGeometry(UnitExtension* request);
bool setUpDrive(UnitExtension* request);
bool registerTest(uint8_t unit);
void wakeIdle(void);
void negotiateMultiple(UnitExtension* request);
bool setMultipleMode(uint16_t count, uint8_t unit);
void setStandbyTimer(uint8_t unit);
uint16_t getCylinders(uint8_t unit);
uint16_t getHeads(uint8_t unit);
uint16_t getSectorsPerTrack(uint8_t unit);
uint8_t getControlByte(uint8_t unit);
const char* getModel(uint8_t unit);
uint32_t getCapacity(uint8_t unit);
UnitParametersRecord* getUnitParameters(uint8_t unit);

// Sector transfer. A read or write runs the command the task file holds,
// with its address loaded, and moves sectors sectors through the request's
// TransferPointer (a NULL pointer reads the data and throws it away).
// polled: the command waits for the drive by polling and never defers.
bool readSectors(UnitExtension* request, uint16_t sectors, bool polled);
bool writeSectors(UnitExtension* request, uint16_t sectors, bool polled);
bool multipleUsable(uint8_t unit);
bool resumeTransfer(UnitExtension* request);
// Counts a poll of a deferred transfer that found no interrupt; true when
// the drive's status is due to be looked at directly (resumeTransfer).
bool transferWaitOverdue(void);
// Drops any deferred transfer without touching the drive (bus reset).
void abandonTransfer(void);

// Error recovery and sense mapping.
bool checkStatus(uint8_t unit);
bool mapErrorRegister(uint8_t unit);
bool postCommandCheck(uint8_t unit);
bool unlockDoor(uint8_t unit);
// Run after the post-command check of a read, write or verify that the
// drive ended before all its sectors were moved or checked: such a command
// has failed, so a check that found no key of its own does not make it
// GOOD. It then ends with UNIT ATTENTION when the drive ended it for a media
// change request, NOT READY otherwise.
void failUnfinishedCommand(void);
// Brings a drive that may still be busy with, or in the data phase of, a
// dropped command back to idle: software reset, then the present units are
// programmed again as set-up left them. The port must be held.
void recoverDrive(void);

// Removable media.
bool mediaPrecheck(uint8_t unit);
uint8_t getMediaStatus(uint8_t unit);
// GET MEDIA STATUS, its media status bits in *media. False when the drive
// gave no answer to judge by (the query ran out, or its registers were not
// the drive's); senseKey then holds the query's own failure.
bool queryMediaStatus(uint8_t unit, uint8_t* media);
bool enableMediaStatus(uint8_t unit);
bool rearmRemovable(uint8_t unit);
bool acknowledgeMediaChange(uint8_t unit);
void handleMediaChange(uint8_t unit);

#endif  // ATA_ATA_H
