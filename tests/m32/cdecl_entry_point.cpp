// Must not compile for 32-bit x86: a routine of the C calling convention
// registered as an entry point, which the port driver calls as stdcall
// (the callee pops its arguments).
#include "platform/scsiport.h"

static BOOLEAN StartIo(PVOID DeviceExtension, PSCSI_REQUEST_BLOCK Srb)
{
    (void)DeviceExtension;
    (void)Srb;
    return TRUE;
}

void Register(HW_INITIALIZATION_DATA* init)
{
    init->HwStartIo = StartIo;
}
