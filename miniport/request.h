// The request records shared by every layer: the adapter's device
// extension, the per-unit logical-unit extension (laid out as the ASPI
// execute-SCSI request block), the adapter state byte, and the driver-wide
// request tables. Also the miniport's entry points.
#ifndef MINIPORT_REQUEST_H
#define MINIPORT_REQUEST_H

#include <stddef.h>
#include <stdint.h>

#include "platform/scsiport.h"

struct UnitExtension;

#pragma pack(push, 1)

// Device extension (17 bytes on the 32-bit target).
struct AdapterExtension {
    uint32_t MappedBase;           // from ScsiPortGetDeviceBase; kept, never used for I/O
    UnitExtension* CurrentUnit;    // unit of the request last handed to HwStartIo
    SCSI_REQUEST_BLOCK* CurrentSrb;  // request being executed; NULL when none
    uint8_t LastPathId;
    uint8_t InitiatorId;           // 7
    uint8_t TimerWait;             // 1 while a request waits for the drive and is polled by timer
    uint8_t Reserved[2];
};

// Logical-unit extension (122 bytes on the 32-bit target). Offsets in the
// comments are those of the 32-bit layout.
struct UnitExtension {
    uint8_t Command;         // 0: 2, execute a SCSI command
    uint8_t Status;          // 1: 0 pending, 1 done, 4 done with error
    uint8_t AdapterNumber;   // 2: always 0
    uint8_t Flags;           // 3: UNIT_DIR_... data direction
    uint32_t Reserved4;      // 4
    uint8_t TargetId;        // 8
    uint8_t Lun;             // 9
    uint32_t DataLength;     // 10
    uint8_t SenseLength;     // 14
    uint8_t* DataBuffer;     // 15
    uint32_t Reserved19;     // 19: link field
    uint8_t CdbLength;       // 23
    uint8_t HostStatus;      // 24: HOST_STATUS_...
    uint8_t TargetStatus;    // 25: SCSI status byte
    uint8_t Reserved26[16];  // 26
    uint8_t* TransferPointer;  // 42: next byte to move; NULL discards the data
    uint8_t Reserved46[8];   // 46
    uint8_t WorkFlags;       // 54: bit 0, the command still runs after the dispatcher returned
    uint8_t Reserved55[9];   // 55
    uint8_t Cdb[50];         // 64: CdbLength bytes of CDB, then the 8-byte sense area
    SCSI_REQUEST_BLOCK* Srb;   // 114
    AdapterExtension* Adapter;  // 118
};

#pragma pack(pop)

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(AdapterExtension) == 17, "device extension is 17 bytes on x86");
static_assert(sizeof(UnitExtension) == 122, "logical-unit extension is 122 bytes on x86");
static_assert(offsetof(UnitExtension, DataBuffer) == 15, "layout");
static_assert(offsetof(UnitExtension, CdbLength) == 23, "layout");
static_assert(offsetof(UnitExtension, TransferPointer) == 42, "layout");
static_assert(offsetof(UnitExtension, WorkFlags) == 54, "layout");
static_assert(offsetof(UnitExtension, Cdb) == 64, "layout");
static_assert(offsetof(UnitExtension, Srb) == 114, "layout");
static_assert(offsetof(UnitExtension, Adapter) == 118, "layout");
#endif

// The longest CDB the driver accepts; it keeps the sense area inside Cdb[].
#define MAX_CDB_LENGTH 16
#define SENSE_AREA_LENGTH 8

// The sense area follows the CDB.
inline uint8_t* UnitSenseArea(UnitExtension* unit) { return unit->Cdb + unit->CdbLength; }

// UnitExtension.Flags: data direction.
#define UNIT_DIR_UNKNOWN 0x00
#define UNIT_DIR_IN 0x08
#define UNIT_DIR_OUT 0x10
#define UNIT_DIR_NONE 0x18

// UnitExtension.Status.
#define UNIT_STATUS_PENDING 0
#define UNIT_STATUS_DONE 1
#define UNIT_STATUS_ERROR 4

// UnitExtension.HostStatus.
#define HOST_STATUS_NONE 0x00
#define HOST_STATUS_SELECTION_TIMEOUT 0x11
#define HOST_STATUS_DATA_OVERRUN 0x12
#define HOST_STATUS_BUS_FREE 0x13
#define HOST_STATUS_PHASE_SEQUENCE 0x14
#define HOST_STATUS_PHASE_SEQUENCE_ALT 0x80

// UnitExtension.WorkFlags.
#define WORK_STILL_RUNNING 0x01

// AdapterFlags bits.
#define WAIT_FOR_DRIVE 0x01
#define CONTINUATION_RUNNING 0x02
#define REQUEST_ACTIVE 0x04

#define MAX_ADAPTERS 2

// Driver-wide request state; zero at load.
extern uint16_t PortTable[MAX_ADAPTERS];
extern UnitExtension* ActiveUnitTable[MAX_ADAPTERS];
extern uint8_t AdapterCount;
extern uint8_t AdapterFlags[MAX_ADAPTERS];

// Entry points registered with the port driver.
extern "C" ULONG NTAPI DriverEntry(PVOID DriverObject, PVOID RegistryPath);
ULONG NTAPI HwFindAdapter(PVOID DeviceExtension, PVOID HwContext, PVOID BusInformation,
                          PCHAR ArgumentString, PPORT_CONFIGURATION_INFORMATION ConfigInfo,
                          PBOOLEAN Again);
BOOLEAN NTAPI HwInitialize(PVOID DeviceExtension);
BOOLEAN NTAPI HwStartIo(PVOID DeviceExtension, PSCSI_REQUEST_BLOCK Srb);
BOOLEAN NTAPI HwInterrupt(PVOID DeviceExtension);
BOOLEAN NTAPI HwResetBus(PVOID DeviceExtension, ULONG PathId);
BOOLEAN NTAPI HwAdapterState(PVOID DeviceExtension, PVOID Context, BOOLEAN SaveState);
VOID NTAPI TimerRoutine(PVOID DeviceExtension);
VOID NTAPI DeferredStartIo(PVOID DeviceExtension);

// Request intake and completion.
void LoadUnitExtension(SCSI_REQUEST_BLOCK* srb, UnitExtension* unit);
void StartRequest(UnitExtension* unit);
void ExecuteRequest(UnitExtension* unit);
void CompleteUnitRequest(UnitExtension* unit);
void CompleteCurrentRequest(AdapterExtension* adapter);
// The completion routine of a request that waited for the drive, called by
// the ATA layer once it has ended the command and its interrupt wait: the
// request's status and sense from the command's sense key, the port given
// back, the request completed and the next one asked for.
void CompleteDeferredRequest(UnitExtension* unit);

// Interrupt path.
BOOLEAN ServiceInterrupt(UnitExtension* unit);

// Discovery: whether the adapter answers at the port; on success the modes
// are set and drive discovery has run.
BOOLEAN ProbePort(uint16_t port);

// Returns every driver-wide record to its load-time value. A real load
// starts from a fresh image; a host that loads the driver more than once
// in one process calls this before each load.
void DriverImageReset(void);

#endif  // MINIPORT_REQUEST_H
