// The link's driver-wide records and their load-time values.
#include "link/link.h"

LinkStateRecord LinkState = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x90, RM_NIBBLE_SLOW, WM_BYTE_SLOW, 2, 0, 0};
uint16_t PortBase;

void LinkStateReset(void)
{
    LinkState = LinkStateRecord();
    LinkState.IrqWaitCode = 0x90;
    LinkState.LinkReadMode = RM_NIBBLE_SLOW;
    LinkState.LinkWriteMode = WM_BYTE_SLOW;
    LinkState.Reg83Value = 2;
    PortBase = 0;
}
