// The record layouts the port driver and the miniport share, as they are on
// the 32-bit x86 target. This file holds no code: it is compiled into the
// driver image only so that a layout change that would break the interface
// with the port driver stops the build. The headers' own size checks (the
// 76-, 64-, 17- and 122-byte records) apply here too, since pointers are 4
// bytes; this file adds the field offsets the port driver relies on.
#include <stddef.h>
#include <stdint.h>

#include "miniport/request.h"
#include "platform/scsiport.h"

static_assert(sizeof(void*) == 4, "the driver image is for 32-bit x86");
static_assert(UINTPTR_MAX == 0xFFFFFFFFu, "pointers are 4 bytes");
static_assert(sizeof(ULONG) == 4 && sizeof(USHORT) == 2 && sizeof(BOOLEAN) == 1, "basic types");
static_assert(sizeof(INTERFACE_TYPE) == 4 && sizeof(SCSI_NOTIFICATION_TYPE) == 4, "enums are 4 bytes");
static_assert(sizeof(SCSI_PHYSICAL_ADDRESS) == 8, "physical address");
#if defined(_WIN32)
// The Windows ABI aligns 64-bit members on 8 bytes (the System V i386 ABI on 4).
static_assert(alignof(SCSI_PHYSICAL_ADDRESS) == 8, "physical address alignment");
#endif

// The request block.
static_assert(offsetof(SCSI_REQUEST_BLOCK, SrbStatus) == 3, "request block layout");
static_assert(offsetof(SCSI_REQUEST_BLOCK, CdbLength) == 10, "request block layout");
static_assert(offsetof(SCSI_REQUEST_BLOCK, SrbFlags) == 12, "request block layout");
static_assert(offsetof(SCSI_REQUEST_BLOCK, DataTransferLength) == 16, "request block layout");
static_assert(offsetof(SCSI_REQUEST_BLOCK, DataBuffer) == 24, "request block layout");
static_assert(offsetof(SCSI_REQUEST_BLOCK, SrbExtension) == 40, "request block layout");
static_assert(offsetof(SCSI_REQUEST_BLOCK, Cdb) == 48, "request block layout");

// The registration record.
static_assert(offsetof(HW_INITIALIZATION_DATA, HwInitialize) == 8, "registration record layout");
static_assert(offsetof(HW_INITIALIZATION_DATA, HwAdapterState) == 32, "registration record layout");
static_assert(offsetof(HW_INITIALIZATION_DATA, DeviceExtensionSize) == 36,
              "registration record layout");
static_assert(offsetof(HW_INITIALIZATION_DATA, NumberOfAccessRanges) == 48,
              "registration record layout");
static_assert(offsetof(HW_INITIALIZATION_DATA, MapBuffers) == 56, "registration record layout");
static_assert(offsetof(HW_INITIALIZATION_DATA, VendorIdLength) == 62, "registration record layout");
static_assert(offsetof(HW_INITIALIZATION_DATA, DeviceId) == 72, "registration record layout");

// The configuration record the port driver fills.
static_assert(sizeof(ACCESS_RANGE) == 16, "access range");
static_assert(offsetof(PORT_CONFIGURATION_INFORMATION, AccessRanges) == 56, "configuration layout");
static_assert(offsetof(PORT_CONFIGURATION_INFORMATION, NumberOfBuses) == 64, "configuration layout");
static_assert(offsetof(PORT_CONFIGURATION_INFORMATION, MapBuffers) == 81, "configuration layout");
static_assert(offsetof(PORT_CONFIGURATION_INFORMATION, SlotNumber) == 92, "configuration layout");
static_assert(sizeof(PORT_CONFIGURATION_INFORMATION) == 124, "configuration record");
