// The interrupt and timer routines through which a request that waits for
// the drive resumes, and the bus reset and initialisation routines.
#include "ata/ata.h"
#include "link/link.h"
#include "miniport/request.h"

#define TIMER_INTERVAL_US 10000

BOOLEAN NTAPI HwInterrupt(PVOID DeviceExtension)
{
    AdapterExtension* adapter = (AdapterExtension*)DeviceExtension;
    UnitExtension* unit = adapter->CurrentUnit;
    if (unit == 0 || !(AdapterFlags[0] & WAIT_FOR_DRIVE)) return FALSE;
    unit->Adapter = adapter;
    return ServiceInterrupt(unit);
}

BOOLEAN ServiceInterrupt(UnitExtension* unit)
{
    PortBase = PortTable[0];
    // Without the port's interrupt the transfer is only polled again, until
    // the wait has lasted long enough for the drive's status to be checked
    // (its interrupt may have been lost).
    if (LinkInterruptPending() != 0 && !transferWaitOverdue()) {
        RequestTimer(unit, TIMER_INTERVAL_US);
        return TRUE;
    }
    resumeTransfer(unit);
    return TRUE;
}

VOID NTAPI TimerRoutine(PVOID DeviceExtension)
{
    AdapterExtension* adapter = (AdapterExtension*)DeviceExtension;
    if (adapter->TimerWait == 0 || (AdapterFlags[0] & CONTINUATION_RUNNING)) return;
    if (!HwInterrupt(adapter))
        ScsiPortNotification(RequestTimerCall, adapter, TimerRoutine, (ULONG)TIMER_INTERVAL_US);
    WriteModeByte();
}

// Ends the wait of a deferred request, if any, resets the drive that request
// left working, and gives the port back.
// The port driver completes every outstanding request itself, so the
// driver forgets the request here: a late drive interrupt or timer call
// then finds nothing to resume and nothing is completed twice.
BOOLEAN NTAPI HwResetBus(PVOID DeviceExtension, ULONG PathId)
{
    AdapterExtension* adapter = (AdapterExtension*)DeviceExtension;
    PortBase = PortTable[0];

    // A request that waited for the drive leaves the drive busy with its
    // command, or in its data phase: the next command would be ignored, or
    // would take that command's data. The drive is reset to idle first.
    bool driveBusy = (AdapterFlags[0] & WAIT_FOR_DRIVE) != 0;
    abandonTransfer();
    LinkEndInterruptWait();  // so that the release below really frees the port
    LinkAcquire();
    if (driveBusy) {
        recoverDrive();
        LinkEndInterruptWait();
    }
    LinkRelease();

    adapter->TimerWait = 0;
    adapter->CurrentSrb = 0;
    AdapterFlags[0] &= (uint8_t)~(WAIT_FOR_DRIVE | CONTINUATION_RUNNING | REQUEST_ACTIVE);

    ScsiPortCompleteRequest(adapter, (UCHAR)PathId, 0xFF, 0xFF, SRB_STATUS_BUS_RESET);
    return TRUE;
}

BOOLEAN NTAPI HwInitialize(PVOID DeviceExtension)
{
    AdapterExtension* adapter = (AdapterExtension*)DeviceExtension;
    PortBase = PortTable[0];
    LinkAcquire();
    LinkRelease();
    ScsiPortNotification(ResetDetected, adapter);
    adapter->CurrentSrb = 0;
    adapter->TimerWait = 0;
    AdapterFlags[0] &= (uint8_t)~(WAIT_FOR_DRIVE | CONTINUATION_RUNNING | REQUEST_ACTIVE);
    return TRUE;
}
