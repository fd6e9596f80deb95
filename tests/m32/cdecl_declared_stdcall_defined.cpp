// Must not compile for 32-bit x86: a routine declared with the C calling
// convention and defined with the port driver's, so that callers that saw
// the declaration would pop arguments the routine has popped already.
#include "platform/scsiport.h"

BOOLEAN Interrupt(PVOID DeviceExtension);

BOOLEAN NTAPI Interrupt(PVOID DeviceExtension)
{
    (void)DeviceExtension;
    return TRUE;
}
