// A definition of ScsiPortConvertUlongToPhysicalAddress from its declaration
// in the platform header, as any port driver (the stand-in's too) defines
// it. On 32-bit x86 the port driver pops the 4-byte argument (stdcall) and
// returns the 64-bit address in EDX:EAX, with no hidden result pointer: the
// code generated here must end in "ret $4".
#include "platform/scsiport.h"

extern "C" SCSI_PHYSICAL_ADDRESS NTAPI ScsiPortConvertUlongToPhysicalAddress(ULONG UlongAddress)
{
    SCSI_PHYSICAL_ADDRESS address;
    address.QuadPart = UlongAddress;
    return address;
}
