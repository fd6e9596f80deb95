// The link's services from the port driver: the table of running units,
// busy-wait delays, timer and next-request notifications, and deferring a
// command until the drive interrupts.
#include "link/link.h"
#include "miniport/parameters.h"
#include "miniport/request.h"
#include "platform/scsiport.h"

#define DEFER_POLL_INTERVAL_US 10000

void SetCurrentUnit(UnitExtension* unit)
{
    ActiveUnitTable[unit->AdapterNumber] = unit;
}

UnitExtension* GetCurrentUnit(uint8_t adapterNumber)
{
    return ActiveUnitTable[adapterNumber];
}

void StallMicroseconds(uint32_t microseconds)
{
    ScsiPortStallExecution(microseconds);
}

void DelayMilliseconds(uint32_t milliseconds)
{
    while (milliseconds-- != 0) StallMicroseconds(1000);
}

void RequestTimer(UnitExtension* unit, uint32_t microseconds)
{
    if (DriverParameters.NoTimer) return;
    ScsiPortNotification(RequestTimerCall, unit->Adapter, (PHW_TIMER)TimerRoutine,
                         (ULONG)microseconds);
}

void ReadyForNextRequest(UnitExtension* unit)
{
    ScsiPortNotification(NextRequest, unit->Adapter);
}

void DeferUntilInterrupt(DeferRoutine continuation)
{
    UnitExtension* unit = GetCurrentUnit(0);
    if (unit != nullptr && unit->Adapter != nullptr)
        unit->Adapter->TimerWait = continuation != nullptr ? 1 : 0;
    if (continuation == nullptr) return;
    continuation();
    if (unit != nullptr) RequestTimer(unit, DEFER_POLL_INTERVAL_US);
    AdapterFlags[0] |= WAIT_FOR_DRIVE;
}
