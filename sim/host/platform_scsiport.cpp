// The port driver operations (platform/scsiport.h) as the stand-in
// implements them: the miniport is linked against these. Each goes to the
// bound ScsiPortHost; the delay and the port string transfers also work
// with only an I/O bus bound, and with nothing bound a string read gives
// all ones.
#include <cstdarg>
#include <cstdint>
#include <cstring>

#include "platform/scsiport.h"
#include "sim/bus/platform_port_io.h"
#include "sim/host/scsi_port_host.h"

using sim::platformBus;
using sim::platformHost;

namespace {

sim::IoBus* stringBus()
{
    if (platformBus()) return platformBus();
    return platformHost() ? &platformHost()->bus() : nullptr;
}

uint16_t portOf(const void* port)
{
    return static_cast<uint16_t>(reinterpret_cast<uintptr_t>(port));
}

}  // namespace

extern "C" {

ULONG NTAPI ScsiPortInitialize(PVOID argument1, PVOID argument2, PHW_INITIALIZATION_DATA data,
                               PVOID context)
{
    if (!platformHost()) return sim::kStatusUnsuccessful;
    return platformHost()->initialize(argument1, argument2, data, context);
}

PVOID NTAPI ScsiPortGetDeviceBase(PVOID extension, INTERFACE_TYPE busType, ULONG busNumber,
                                  SCSI_PHYSICAL_ADDRESS address, ULONG length, BOOLEAN inIoSpace)
{
    if (!platformHost())
        return reinterpret_cast<PVOID>(static_cast<uintptr_t>(address.u.LowPart));
    return platformHost()->getDeviceBase(extension, busType, busNumber, address, length,
                                         inIoSpace);
}

VOID NTAPI ScsiPortFreeDeviceBase(PVOID extension, PVOID base)
{
    if (platformHost()) platformHost()->freeDeviceBase(extension, base);
}

PVOID NTAPI ScsiPortGetLogicalUnit(PVOID extension, UCHAR pathId, UCHAR targetId, UCHAR lun)
{
    if (!platformHost()) return nullptr;
    return platformHost()->getLogicalUnit(extension, pathId, targetId, lun);
}

VOID ScsiPortNotification(SCSI_NOTIFICATION_TYPE type, PVOID extension, ...)
{
    sim::ScsiPortHost* host = platformHost();
    if (!host) return;
    va_list args;
    va_start(args, extension);
    switch (type) {
    case RequestComplete:
        host->notifyRequestComplete(extension, va_arg(args, PSCSI_REQUEST_BLOCK));
        break;
    case NextRequest:
        host->notifyNextRequest(extension);
        break;
    case NextLuRequest: {
        UCHAR pathId = static_cast<UCHAR>(va_arg(args, int));
        UCHAR targetId = static_cast<UCHAR>(va_arg(args, int));
        UCHAR lun = static_cast<UCHAR>(va_arg(args, int));
        host->notifyNextLuRequest(extension, pathId, targetId, lun);
        break;
    }
    case ResetDetected:
        host->notifyResetDetected(extension);
        break;
    case CallDisableInterrupts:
        host->notifyCallRoutine(extension, va_arg(args, PHW_TIMER), false);
        break;
    case CallEnableInterrupts:
        host->notifyCallRoutine(extension, va_arg(args, PHW_TIMER), true);
        break;
    case RequestTimerCall: {
        PHW_TIMER routine = va_arg(args, PHW_TIMER);
        ULONG microseconds = va_arg(args, ULONG);
        host->notifyTimer(extension, routine, microseconds);
        break;
    }
    default:
        host->notifyUnknown(extension, static_cast<int>(type));
        break;
    }
    va_end(args);
}

VOID NTAPI ScsiPortCompleteRequest(PVOID extension, UCHAR pathId, UCHAR targetId, UCHAR lun,
                                   UCHAR status)
{
    if (platformHost()) platformHost()->completeRequests(extension, pathId, targetId, lun, status);
}

VOID NTAPI ScsiPortStallExecution(ULONG delay)
{
    if (platformHost())
        platformHost()->stall(delay);
    else if (platformBus())
        platformBus()->clock().advance(static_cast<sim::Nanoseconds>(delay) * sim::kMicrosecond);
}

VOID NTAPI ScsiPortLogError(PVOID extension, PSCSI_REQUEST_BLOCK srb, UCHAR pathId,
                            UCHAR targetId, UCHAR lun, ULONG errorCode, ULONG uniqueId)
{
    if (platformHost())
        platformHost()->logError(extension, srb, pathId, targetId, lun, errorCode, uniqueId);
}

VOID NTAPI ScsiPortReadPortBufferUchar(PUCHAR port, PUCHAR buffer, ULONG count)
{
    sim::IoBus* bus = stringBus();
    for (ULONG i = 0; i < count; ++i) buffer[i] = bus ? bus->in8(portOf(port)) : 0xFF;
}

VOID NTAPI ScsiPortReadPortBufferUlong(PULONG port, PULONG buffer, ULONG count)
{
    // The buffer need not be aligned (x86 does not care), so each word is
    // copied bytewise.
    sim::IoBus* bus = stringBus();
    auto* bytes = reinterpret_cast<unsigned char*>(buffer);
    for (ULONG i = 0; i < count; ++i) {
        ULONG value = bus ? bus->in32(portOf(port)) : 0xFFFFFFFFu;
        std::memcpy(bytes + 4 * size_t(i), &value, 4);
    }
}

VOID NTAPI ScsiPortWritePortBufferUchar(PUCHAR port, PUCHAR buffer, ULONG count)
{
    sim::IoBus* bus = stringBus();
    if (!bus) return;
    for (ULONG i = 0; i < count; ++i) bus->out8(portOf(port), buffer[i]);
}

VOID NTAPI ScsiPortWritePortBufferUlong(PULONG port, PULONG buffer, ULONG count)
{
    sim::IoBus* bus = stringBus();
    if (!bus) return;
    const auto* bytes = reinterpret_cast<const unsigned char*>(buffer);
    for (ULONG i = 0; i < count; ++i) {
        ULONG value;
        std::memcpy(&value, bytes + 4 * size_t(i), 4);
        bus->out32(portOf(port), value);
    }
}

}  // extern "C"
