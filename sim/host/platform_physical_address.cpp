// ScsiPortConvertUlongToPhysicalAddress as the stand-in implements it.
//
// It has a file of its own because of how it returns: the port driver
// hands back the 8-byte record in EDX:EAX, as every Windows compiler for
// 32-bit x86 returns an 8-byte record. A System V compiler does so only
// with -freg-struct-return, so a 32-bit build compiles this file (and the
// driver, its caller) with that option, and a driver image built for
// Windows finds the result where it looks for it. The file holds nothing
// else, so that the option changes no other routine's convention.
#include "platform/scsiport.h"

extern "C" SCSI_PHYSICAL_ADDRESS NTAPI ScsiPortConvertUlongToPhysicalAddress(ULONG address)
{
    SCSI_PHYSICAL_ADDRESS result;
    result.QuadPart = address;
    return result;
}
