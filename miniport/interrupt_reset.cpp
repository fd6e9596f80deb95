// The interrupt and timer routines through which a request that waits for
// the drive resumes, and the bus reset and initialisation routines.
#include "ata/ata.h"
#include "link/link.h"
#include "miniport/parameters.h"
#include "miniport/request.h"
#include "platform/port_io.h"

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
    if (LinkInterruptPending() != 0) {
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
    OutPortByte(PortBase, (uint8_t)(DriverParameters.ReadMode * 16 + DriverParameters.WriteMode));
}

// Ends the wait of a deferred request, if any, and gives the port back.
// The port driver completes every outstanding request itself, so the
// driver forgets the request here: a late drive interrupt or timer call
// then finds nothing to resume and nothing is completed twice.
BOOLEAN NTAPI HwResetBus(PVOID DeviceExtension, ULONG PathId)
{
    AdapterExtension* adapter = (AdapterExtension*)DeviceExtension;
    PortBase = PortTable[0];

    abandonTransfer();
    LinkEndInterruptWait();  // so that the release below really frees the port
    LinkAcquire();
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
