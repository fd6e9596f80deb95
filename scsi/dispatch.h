// SCSI command emulation: the opcode dispatcher, status and sense, and
// the per-command handlers.
#ifndef SCSI_DISPATCH_H
#define SCSI_DISPATCH_H

#include <stdint.h>

struct UnitExtension;

// SCSI opcodes served.
#define SCSIOP_TEST_UNIT_READY 0x00
#define SCSIOP_REZERO_UNIT 0x01
#define SCSIOP_REQUEST_SENSE 0x03
#define SCSIOP_READ6 0x08
#define SCSIOP_WRITE6 0x0A
#define SCSIOP_SPACE 0x11  // direction known, not served
#define SCSIOP_INQUIRY 0x12
#define SCSIOP_MODE_SELECT 0x15
#define SCSIOP_MODE_SENSE 0x1A
#define SCSIOP_START_STOP_UNIT 0x1B
#define SCSIOP_MEDIUM_REMOVAL 0x1E
#define SCSIOP_READ_CAPACITY 0x25
#define SCSIOP_READ 0x28
#define SCSIOP_WRITE 0x2A
#define SCSIOP_SEEK 0x2B
#define SCSIOP_WRITE_VERIFY 0x2E  // direction known, not served
#define SCSIOP_VERIFY 0x2F
#define SCSIOP_VENDOR_NOP 0xFE

#define SENSE_DATA_LENGTH 18

// The sense key of the last command that ended with CHECK CONDITION.
extern uint8_t LastSenseKey;

// INQUIRY header and the buffers MODE SENSE assembles its answer in.
#define INQUIRY_HEADER_LENGTH 8
#define MODE_BUFFER_LENGTH 36
extern uint8_t InquiryHeader[INQUIRY_HEADER_LENGTH];
extern uint8_t ModePageBuffer[MODE_BUFFER_LENGTH];      // pages 0x00, 0x01, 0x03
extern uint8_t GeometryPageBuffer[MODE_BUFFER_LENGTH];  // page 0x04

// The most sectors one READ or WRITE moves: the ATA sector count register
// holds one byte, and the driver never sends the count 0 (256) for data
// commands, so longer requests are refused rather than cut short.
#define MAX_SECTORS_PER_COMMAND 255

void DispatchCommand(UnitExtension* unit);

// The data direction (UNIT_DIR_...) a command of this opcode really has;
// given, the direction the request stated, where the opcode does not fix it.
uint8_t CommandDirection(uint8_t opcode, uint8_t given);

// Turns CommandState.senseKey into the request's host and target status and
// sense area (also used when a deferred command finishes).
void SetRequestStatus(UnitExtension* unit);

void ScsiStateReset(void);

// Handlers, each reporting through CommandState.senseKey.
void ScsiRequestSense(UnitExtension* unit);
void ScsiInquiry(UnitExtension* unit);
void ScsiReadCapacity(UnitExtension* unit);
void ScsiModeSense(UnitExtension* unit);
void ScsiModeSelect(UnitExtension* unit);
void ScsiRead(UnitExtension* unit);
void ScsiWrite(UnitExtension* unit);
void ScsiVerify(UnitExtension* unit);
void ScsiSeek(UnitExtension* unit);
void ScsiRezeroUnit(UnitExtension* unit);
void ScsiStartStopUnit(UnitExtension* unit);
void ScsiMediumRemoval(UnitExtension* unit);
void ScsiTestUnitReady(UnitExtension* unit);
void ScsiVendorNop(UnitExtension* unit);

#endif  // SCSI_DISPATCH_H
