// Host port setup's records and their load-time values.
#include "hostport/hostport.h"
#include "hostport/hostport_internal.h"

HostChipStateRecord HostChipState;
CmosWindowStateRecord CmosWindowState = {0xFF, 0, 0};
MachineSwitchStateRecord MachineSwitchState;
HostChangeRecord HostChanges;

void HostPortStateReset(void)
{
    HostChipState = HostChipStateRecord();
    CmosWindowState = CmosWindowStateRecord();
    CmosWindowState.State = 0xFF;
    MachineSwitchState = MachineSwitchStateRecord();
    HostChangesReset();
}

void HostChangesReset(void)
{
    HostChanges = HostChangeRecord();
}
