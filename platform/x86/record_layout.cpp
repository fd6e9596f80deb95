// The record layouts the port driver and the miniport share, as they are on
// the 32-bit x86 target. This file holds no code: it is compiled into the
// driver image only so that a layout change that would break the interface
// with the port driver stops the build. The headers carry the same size
// checks behind a pointer-size test; here they hold unconditionally.
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
static_assert(sizeof(SCSI_REQUEST_BLOCK) == 64, "request block is 64 bytes");
static_assert(offsetof(SCSI_REQUEST_BLOCK, SrbStatus) == 3, "request block layout");
static_assert(offsetof(SCSI_REQUEST_BLOCK, CdbLength) == 10, "request block layout");
static_assert(offsetof(SCSI_REQUEST_BLOCK, SrbFlags) == 12, "request block layout");
static_assert(offsetof(SCSI_REQUEST_BLOCK, DataTransferLength) == 16, "request block layout");
static_assert(offsetof(SCSI_REQUEST_BLOCK, DataBuffer) == 24, "request block layout");
static_assert(offsetof(SCSI_REQUEST_BLOCK, SrbExtension) == 40, "request block layout");
static_assert(offsetof(SCSI_REQUEST_BLOCK, Cdb) == 48, "request block layout");

// The registration record.
static_assert(sizeof(HW_INITIALIZATION_DATA) == 76, "registration record is 76 bytes");
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

// The miniport's own extensions, whose sizes it reports at registration.
static_assert(sizeof(AdapterExtension) == 17, "device extension is 17 bytes");
static_assert(sizeof(UnitExtension) == 122, "logical-unit extension is 122 bytes");
static_assert(offsetof(UnitExtension, DataBuffer) == 15, "logical-unit extension layout");
static_assert(offsetof(UnitExtension, TransferPointer) == 42, "logical-unit extension layout");
static_assert(offsetof(UnitExtension, Cdb) == 64, "logical-unit extension layout");
static_assert(offsetof(UnitExtension, Srb) == 114, "logical-unit extension layout");
static_assert(offsetof(UnitExtension, Adapter) == 118, "logical-unit extension layout");
