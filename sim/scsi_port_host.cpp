// Placeholder port-driver services until the stand-in host is built: delays
// advance virtual time and the string transfers reach the I/O bus; every
// other operation does nothing.
#include <cstdarg>

#include "platform/scsiport.h"
#include "sim/io_bus.h"

extern "C" {

ULONG NTAPI ScsiPortInitialize(PVOID, PVOID, PHW_INITIALIZATION_DATA, PVOID) { return 0xC0000001u; }
SCSI_PHYSICAL_ADDRESS NTAPI ScsiPortConvertUlongToPhysicalAddress(ULONG address)
{
    SCSI_PHYSICAL_ADDRESS result;
    result.QuadPart = address;
    return result;
}
PVOID NTAPI ScsiPortGetDeviceBase(PVOID, INTERFACE_TYPE, ULONG, SCSI_PHYSICAL_ADDRESS address, ULONG,
                                  BOOLEAN)
{
    return reinterpret_cast<PVOID>(static_cast<uintptr_t>(address.QuadPart));
}
VOID NTAPI ScsiPortFreeDeviceBase(PVOID, PVOID) {}
PVOID NTAPI ScsiPortGetLogicalUnit(PVOID, UCHAR, UCHAR, UCHAR) { return nullptr; }
VOID ScsiPortNotification(SCSI_NOTIFICATION_TYPE, PVOID, ...) {}
VOID NTAPI ScsiPortCompleteRequest(PVOID, UCHAR, UCHAR, UCHAR, UCHAR) {}
VOID NTAPI ScsiPortStallExecution(ULONG delay)
{
    if (sim::platformBus()) sim::platformBus()->clock().advance(delay * sim::kMicrosecond);
}
VOID NTAPI ScsiPortLogError(PVOID, PSCSI_REQUEST_BLOCK, UCHAR, UCHAR, UCHAR, ULONG, ULONG) {}

static uint16_t portOf(const void* port) { return static_cast<uint16_t>(reinterpret_cast<uintptr_t>(port)); }

VOID NTAPI ScsiPortReadPortBufferUchar(PUCHAR port, PUCHAR buffer, ULONG count)
{
    for (ULONG i = 0; i < count; ++i) buffer[i] = sim::platformBus()->in8(portOf(port));
}
VOID NTAPI ScsiPortReadPortBufferUlong(PULONG port, PULONG buffer, ULONG count)
{
    for (ULONG i = 0; i < count; ++i) buffer[i] = sim::platformBus()->in32(portOf(port));
}
VOID NTAPI ScsiPortWritePortBufferUchar(PUCHAR port, PUCHAR buffer, ULONG count)
{
    for (ULONG i = 0; i < count; ++i) sim::platformBus()->out8(portOf(port), buffer[i]);
}
VOID NTAPI ScsiPortWritePortBufferUlong(PULONG port, PULONG buffer, ULONG count)
{
    for (ULONG i = 0; i < count; ++i) sim::platformBus()->out32(portOf(port), buffer[i]);
}
}
