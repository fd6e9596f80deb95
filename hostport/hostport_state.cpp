// Host port setup's records and their load-time values.
#include "hostport/hostport.h"

HostChipStateRecord HostChipState;
CmosWindowStateRecord CmosWindowState = {0xFF, 0, 0};
MachineSwitchStateRecord MachineSwitchState;

void HostPortStateReset(void)
{
    HostChipState = HostChipStateRecord();
    CmosWindowState = CmosWindowStateRecord();
    CmosWindowState.State = 0xFF;
    MachineSwitchState = MachineSwitchStateRecord();
}
