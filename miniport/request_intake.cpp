// Request intake and completion: HwStartIo, the copy of the request into
// the unit's extension, the start and execution of one SCSI command, and
// its completion back to the port driver.
#include "link/link.h"
#include "miniport/parameters.h"
#include "miniport/request.h"
#include "scsi/dispatch.h"

// Hands an SRB that is not taken into execution straight back.
static void RefuseRequest(AdapterExtension* adapter, SCSI_REQUEST_BLOCK* srb, uint8_t srbStatus)
{
    srb->SrbStatus = srbStatus;
    ScsiPortNotification(RequestComplete, adapter, srb);
    ScsiPortNotification(NextRequest, adapter);
}

static void StartExecuteScsi(AdapterExtension* adapter, UnitExtension* unit,
                             SCSI_REQUEST_BLOCK* srb)
{
    PortBase = PortTable[0];
    adapter->CurrentSrb = srb;
    unit->Srb = srb;
    adapter->TimerWait = 0;

    if (DriverParameters.PollingMode) {
        ScsiPortNotification(CallEnableInterrupts, adapter, DeferredStartIo);
        return;
    }
    AdapterFlags[0] = 0;
    LoadUnitExtension(srb, unit);
    StartRequest(unit);
    WriteModeByte();
    if (unit->WorkFlags & WORK_STILL_RUNNING) return;  // completed later by the drive interrupt
    ScsiPortNotification(NextRequest, adapter);
}

BOOLEAN NTAPI HwStartIo(PVOID DeviceExtension, PSCSI_REQUEST_BLOCK Srb)
{
    AdapterExtension* adapter = (AdapterExtension*)DeviceExtension;
    adapter->LastPathId = Srb->PathId;

    UnitExtension* unit =
        (UnitExtension*)ScsiPortGetLogicalUnit(adapter, Srb->PathId, Srb->TargetId, Srb->Lun);
    if (unit == 0) {
        // No extension for this unit: nothing the driver can serve there.
        RefuseRequest(adapter, Srb, SRB_STATUS_SELECTION_TIMEOUT);
        return TRUE;
    }

    Srb->SrbStatus = SRB_STATUS_PENDING;
    adapter->CurrentUnit = unit;
    unit->Adapter = adapter;

    switch (Srb->Function) {
    case SRB_FUNCTION_EXECUTE_SCSI:
        // The CDB is copied into the extension, and the sense area follows
        // it there: a length the record cannot hold is refused untouched.
        if (Srb->CdbLength == 0 || Srb->CdbLength > MAX_CDB_LENGTH) {
            RefuseRequest(adapter, Srb, SRB_STATUS_INVALID_REQUEST);
            return TRUE;
        }
        StartExecuteScsi(adapter, unit, Srb);
        return TRUE;

    case SRB_FUNCTION_ABORT_COMMAND:
        PortBase = PortTable[0];
        if (adapter->CurrentSrb == 0) {
            Srb->SrbStatus = SRB_STATUS_ABORT_FAILED;
            ScsiPortNotification(RequestComplete, adapter, Srb);
        } else {
            HwResetBus(adapter, Srb->PathId);
            ScsiPortNotification(ResetDetected, adapter);
        }
        ScsiPortNotification(NextRequest, adapter);
        return TRUE;

    case SRB_FUNCTION_RESET_BUS:     // 0x12
    case SRB_FUNCTION_RESET_DEVICE:  // 0x13
        // The bus reset completes every outstanding request, this one too,
        // so its own status is set first: once completed it is not ours.
        PortBase = PortTable[0];
        Srb->SrbStatus = SRB_STATUS_SUCCESS;
        HwResetBus(adapter, Srb->PathId);
        ScsiPortNotification(NextRequest, adapter);
        return TRUE;

    default:
        RefuseRequest(adapter, Srb, SRB_STATUS_INVALID_REQUEST);
        return TRUE;
    }
}

// Polling mode: the request is started from a routine the port driver runs
// with interrupts enabled.
VOID NTAPI DeferredStartIo(PVOID DeviceExtension)
{
    AdapterExtension* adapter = (AdapterExtension*)DeviceExtension;
    UnitExtension* unit = adapter->CurrentUnit;
    // A bus reset between HwStartIo and now has already completed the request.
    if (adapter->CurrentSrb == 0 || unit == 0) return;

    LoadUnitExtension(adapter->CurrentSrb, unit);
    StartRequest(unit);
    WriteModeByte();
    if (!(unit->WorkFlags & WORK_STILL_RUNNING)) ScsiPortNotification(NextRequest, adapter);
}

void LoadUnitExtension(SCSI_REQUEST_BLOCK* srb, UnitExtension* unit)
{
    unit->Command = 2;
    unit->Status = UNIT_STATUS_PENDING;
    unit->AdapterNumber = 0;
    unit->TargetId = srb->TargetId;
    unit->Lun = srb->Lun;
    unit->CdbLength = srb->CdbLength <= MAX_CDB_LENGTH ? srb->CdbLength : MAX_CDB_LENGTH;
    unit->DataBuffer = (uint8_t*)srb->DataBuffer;
    unit->DataLength = srb->DataTransferLength;
    unit->SenseLength = srb->SenseInfoBufferLength;
    unit->WorkFlags = 0;
    for (uint8_t i = 0; i < unit->CdbLength; ++i) unit->Cdb[i] = srb->Cdb[i];

    ULONG direction = srb->SrbFlags & (SRB_FLAGS_DATA_IN | SRB_FLAGS_DATA_OUT);
    if (direction == (SRB_FLAGS_DATA_IN | SRB_FLAGS_DATA_OUT)) unit->Flags = UNIT_DIR_UNKNOWN;
    else if (direction == SRB_FLAGS_DATA_IN) unit->Flags = UNIT_DIR_IN;
    else if (direction == SRB_FLAGS_DATA_OUT) unit->Flags = UNIT_DIR_OUT;
    else unit->Flags = UNIT_DIR_NONE;
}

void StartRequest(UnitExtension* unit)
{
    SetCurrentUnit(unit);
    if (AdapterCount <= unit->AdapterNumber) {
        unit->HostStatus = HOST_STATUS_SELECTION_TIMEOUT;
        DeferUntilInterrupt(0);
        CompleteUnitRequest(unit);
        return;
    }
    unit->WorkFlags = 0;
    PortBase = PortTable[unit->AdapterNumber];
    if (AdapterFlags[unit->AdapterNumber] & REQUEST_ACTIVE) {
        unit->HostStatus = HOST_STATUS_SELECTION_TIMEOUT;
        CompleteUnitRequest(unit);
        return;
    }
    ExecuteRequest(unit);
}

void ExecuteRequest(UnitExtension* unit)
{
    unit->Flags = CommandDirection(unit->Cdb[0], unit->Flags);
    SetCurrentUnit(unit);
    AdapterFlags[unit->AdapterNumber] |= REQUEST_ACTIVE;
    unit->HostStatus = HOST_STATUS_NONE;
    unit->TargetStatus = SCSISTAT_GOOD;
    unit->Status = UNIT_STATUS_PENDING;

    LinkAcquire();
    DispatchCommand(unit);
    if (unit->WorkFlags & WORK_STILL_RUNNING) return;  // finished by the continuation

    LinkRelease();
    DeferUntilInterrupt(0);
    CompleteUnitRequest(unit);
}

void CompleteDeferredRequest(UnitExtension* unit)
{
    AdapterFlags[0] &= (uint8_t)~WAIT_FOR_DRIVE;
    SetRequestStatus(unit);
    LinkRelease();
    CompleteUnitRequest(unit);
    if (DriverParameters.EchoModes) WriteModeByte();
    ReadyForNextRequest(unit);
}

// SRB status by host status; the first row that matches decides.
struct HostStatusMapping {
    uint8_t hostStatus;
    uint8_t srbStatus;
};

static const HostStatusMapping HostStatusTable[] = {
    {HOST_STATUS_SELECTION_TIMEOUT, SRB_STATUS_SELECTION_TIMEOUT},
    {HOST_STATUS_DATA_OVERRUN, SRB_STATUS_DATA_OVERRUN},
    {HOST_STATUS_BUS_FREE, SRB_STATUS_UNEXPECTED_BUS_FREE},
    {HOST_STATUS_PHASE_SEQUENCE, SRB_STATUS_PHASE_SEQUENCE_FAILURE},
    {HOST_STATUS_PHASE_SEQUENCE_ALT, SRB_STATUS_PHASE_SEQUENCE_FAILURE},
};

static uint8_t FailureSrbStatus(const UnitExtension* unit)
{
    if (unit->HostStatus != HOST_STATUS_NONE) {
        for (uint32_t i = 0; i < sizeof(HostStatusTable) / sizeof(HostStatusTable[0]); ++i)
            if (HostStatusTable[i].hostStatus == unit->HostStatus) return HostStatusTable[i].srbStatus;
        return SRB_STATUS_ERROR;
    }
    if (unit->TargetStatus == SCSISTAT_BUSY) return SRB_STATUS_BUSY;
    return SRB_STATUS_ERROR;
}

void CompleteUnitRequest(UnitExtension* unit)
{
    AdapterExtension* adapter = unit->Adapter;
    SCSI_REQUEST_BLOCK* srb = unit->Srb;
    // An SRB that is no longer the adapter's current one has been handed
    // back already (bus reset): it is not the driver's to write any more.
    bool own = srb != 0 && adapter != 0 && srb == adapter->CurrentSrb;

    if (unit->Status == UNIT_STATUS_PENDING) {
        uint8_t srbStatus;
        if (unit->HostStatus == HOST_STATUS_NONE && unit->TargetStatus == SCSISTAT_GOOD) {
            unit->Status = UNIT_STATUS_DONE;
            srbStatus = SRB_STATUS_SUCCESS;
        } else {
            unit->Status = UNIT_STATUS_ERROR;
            srbStatus = FailureSrbStatus(unit);
        }
        if (own) srb->SrbStatus = srbStatus;
    }
    AdapterFlags[unit->AdapterNumber] &= (uint8_t)~REQUEST_ACTIVE;
    if (own) srb->ScsiStatus = unit->TargetStatus;
    if (adapter != 0) CompleteCurrentRequest(adapter);
}

void CompleteCurrentRequest(AdapterExtension* adapter)
{
    SCSI_REQUEST_BLOCK* srb = adapter->CurrentSrb;
    if (srb != 0 && srb->SrbStatus == SRB_STATUS_PENDING) {
        srb->SrbStatus = SRB_STATUS_ERROR;
        ScsiPortLogError(adapter, srb, srb->PathId, srb->TargetId, srb->Lun,
                         SP_INTERNAL_ADAPTER_ERROR, 5);
    }
    adapter->CurrentSrb = 0;
    if (srb != 0) ScsiPortNotification(RequestComplete, adapter, srb);
}
