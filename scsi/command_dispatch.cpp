// The opcode dispatcher: which unit is served, the port around each
// command, the handler table, the SCSI status and sense made from the
// handler's sense key, and REQUEST SENSE.
#include "link/link.h"
#include "scsi/dispatch.h"
#include "scsi/scsi_common.h"

typedef void (*CommandHandler)(UnitExtension* unit);

// The direction an opcode keeps when the table does not fix it: the SRB's.
#define DIR_AS_GIVEN 0xFF

struct OpcodeEntry {
    uint8_t opcode;
    uint8_t minimumCdbLength;  // shorter CDBs are refused
    uint8_t direction;         // UNIT_DIR_..., whatever the SRB said; or DIR_AS_GIVEN
    CommandHandler handler;    // none: the direction is known, the command refused
};

static const OpcodeEntry OpcodeTable[] = {
    {SCSIOP_TEST_UNIT_READY, 6, UNIT_DIR_NONE, ScsiTestUnitReady},
    {SCSIOP_REZERO_UNIT, 6, UNIT_DIR_NONE, ScsiRezeroUnit},
    {SCSIOP_REQUEST_SENSE, 1, UNIT_DIR_IN, ScsiRequestSense},  // reads nothing of its CDB
    {SCSIOP_READ6, 6, UNIT_DIR_IN, ScsiRead},
    {SCSIOP_WRITE6, 6, UNIT_DIR_OUT, ScsiWrite},
    {SCSIOP_SPACE, 6, UNIT_DIR_NONE, 0},
    {SCSIOP_INQUIRY, 6, UNIT_DIR_IN, ScsiInquiry},
    {SCSIOP_MODE_SELECT, 6, UNIT_DIR_OUT, ScsiModeSelect},
    {SCSIOP_MODE_SENSE, 6, UNIT_DIR_IN, ScsiModeSense},
    {SCSIOP_START_STOP_UNIT, 6, UNIT_DIR_NONE, ScsiStartStopUnit},
    {SCSIOP_MEDIUM_REMOVAL, 6, DIR_AS_GIVEN, ScsiMediumRemoval},
    {SCSIOP_READ_CAPACITY, 10, UNIT_DIR_IN, ScsiReadCapacity},
    {SCSIOP_READ, 10, UNIT_DIR_IN, ScsiRead},
    {SCSIOP_WRITE, 10, UNIT_DIR_OUT, ScsiWrite},
    {SCSIOP_SEEK, 10, UNIT_DIR_NONE, ScsiSeek},
    {SCSIOP_WRITE_VERIFY, 10, UNIT_DIR_OUT, 0},
    {SCSIOP_VERIFY, 10, UNIT_DIR_NONE, ScsiVerify},
    {SCSIOP_VENDOR_NOP, 1, DIR_AS_GIVEN, ScsiVendorNop},
};

static const OpcodeEntry* FindOpcode(uint8_t opcode)
{
    for (uint32_t i = 0; i < sizeof(OpcodeTable) / sizeof(OpcodeTable[0]); ++i)
        if (OpcodeTable[i].opcode == opcode) return &OpcodeTable[i];
    return 0;
}

uint8_t CommandDirection(uint8_t opcode, uint8_t given)
{
    const OpcodeEntry* entry = FindOpcode(opcode);
    if (entry == 0 || entry->direction == DIR_AS_GIVEN) return given;
    return entry->direction;
}

void DispatchCommand(UnitExtension* unit)
{
    uint8_t opcode = unit->Cdb[0];
    unit->HostStatus = HOST_STATUS_SELECTION_TIMEOUT;
    if (unit->TargetId >= 1 || unit->Lun != 0) return;  // only the master drive, LUN 0

    const UnitStateRecord* state = &UnitState[unit->TargetId];
    if (state->absent == 0 && ((state->flags & UNIT_RESPONDED) || opcode == SCSIOP_TEST_UNIT_READY))
        unit->HostStatus = HOST_STATUS_NONE;

    if (opcode != SCSIOP_REQUEST_SENSE) TaskFile = TaskFileRecord();

    if (LinkAcquire() == LINK_NO_ADAPTER) {
        unit->HostStatus = HOST_STATUS_SELECTION_TIMEOUT;
        return;
    }
    CommandState.senseKey = SENSE_NONE;

    const OpcodeEntry* entry = FindOpcode(opcode);
    if (entry == 0 || entry->handler == 0 || unit->CdbLength < entry->minimumCdbLength)
        CommandState.senseKey = SENSE_ILLEGAL_REQUEST;
    else
        entry->handler(unit);

    // A command that waits for the drive gets its status when it ends, and
    // keeps the port until then.
    if (unit->WorkFlags & WORK_STILL_RUNNING) return;
    SetRequestStatus(unit);
    LinkEndInterruptWait();
    LinkRelease();
}

void SetRequestStatus(UnitExtension* unit)
{
    uint8_t key = CommandState.senseKey;
    if (key == SENSE_NO_BUFFER) {
        unit->HostStatus = HOST_STATUS_DATA_OVERRUN;
    } else if (key != SENSE_NONE) {
        unit->TargetStatus = SCSISTAT_CHECK_CONDITION;
        uint8_t* sense = UnitSenseArea(unit);
        sense[0] = 0x70;
        sense[1] = 0x00;
        sense[2] = key;
        sense[3] = 0x00;
        sense[7] = 0x00;
        // REQUEST SENSE reports the saved key; whatever becomes of it, it
        // never replaces that key.
        if (unit->Cdb[0] != SCSIOP_REQUEST_SENSE) LastSenseKey = key;
    } else {
        unit->TargetStatus = SCSISTAT_GOOD;
    }
}

// Additional sense code reported with each sense key; the qualifier is 0.
struct SenseCodeEntry {
    uint8_t senseKey;
    uint8_t additionalCode;
};

static const SenseCodeEntry SenseCodeTable[] = {
    {SENSE_NOT_READY, 0x3A},        // medium not present
    {SENSE_ILLEGAL_REQUEST, 0x27},  // as this driver has always reported it
    {SENSE_UNIT_ATTENTION, 0x28},   // not ready to ready change, medium may have changed
};

static uint8_t AdditionalSenseCode(uint8_t key)
{
    for (uint32_t i = 0; i < sizeof(SenseCodeTable) / sizeof(SenseCodeTable[0]); ++i)
        if (SenseCodeTable[i].senseKey == key) return SenseCodeTable[i].additionalCode;
    return 0x00;
}

// Answers from the key of the last failed command. The sense data is
// clipped to the request's buffer; it is never longer than 18 bytes.
void ScsiRequestSense(UnitExtension* unit)
{
    unit->HostStatus = HOST_STATUS_NONE;
    unit->TargetStatus = SCSISTAT_GOOD;

    uint8_t sense[SENSE_DATA_LENGTH];
    for (uint32_t i = 0; i < SENSE_DATA_LENGTH; ++i) sense[i] = 0x00;
    sense[0] = 0x70;
    sense[2] = LastSenseKey;
    sense[7] = 0x08;
    sense[12] = AdditionalSenseCode(LastSenseKey);

    if (!ReturnData(unit, sense, SENSE_DATA_LENGTH, SENSE_DATA_LENGTH)) return;
    CommandState.senseKey = SENSE_NONE;
}

bool ReturnData(UnitExtension* unit, const uint8_t* answer, uint32_t available, uint32_t allowed)
{
    uint32_t count = MinimumOf(MinimumOf(available, allowed), unit->DataLength);
    if (count == 0) return true;
    if (unit->DataBuffer == 0) {
        CommandState.senseKey = SENSE_NO_BUFFER;
        return false;
    }
    CopyBytes(unit->DataBuffer, answer, count);
    return true;
}
