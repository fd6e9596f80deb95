// Placeholders for routines not yet built; each returns failure.
#pragma GCC diagnostic ignored "-Wunused-parameter"
#include "miniport/request.h"

extern "C" ULONG NTAPI DriverEntry(PVOID DriverObject, PVOID RegistryPath) { return 0; }
ULONG NTAPI HwFindAdapter(PVOID DeviceExtension, PVOID HwContext, PVOID BusInformation, PCHAR ArgumentString, PPORT_CONFIGURATION_INFORMATION ConfigInfo, PBOOLEAN Again) { return 0; }
BOOLEAN NTAPI HwInitialize(PVOID DeviceExtension) { return 0; }
BOOLEAN NTAPI HwStartIo(PVOID DeviceExtension, PSCSI_REQUEST_BLOCK Srb) { return 0; }
BOOLEAN NTAPI HwInterrupt(PVOID DeviceExtension) { return 0; }
BOOLEAN NTAPI HwResetBus(PVOID DeviceExtension, ULONG PathId) { return 0; }
BOOLEAN NTAPI HwAdapterState(PVOID DeviceExtension, PVOID Context, BOOLEAN SaveState) { return 0; }
VOID NTAPI TimerRoutine(PVOID DeviceExtension) { }
VOID NTAPI DeferredStartIo(PVOID DeviceExtension) { }
void LoadUnitExtension(SCSI_REQUEST_BLOCK* srb, UnitExtension* unit) { }
void StartRequest(UnitExtension* unit) { }
void ExecuteRequest(UnitExtension* unit) { }
void CompleteUnitRequest(UnitExtension* unit) { }
void CompleteCurrentRequest(AdapterExtension* adapter) { }
BOOLEAN ServiceInterrupt(UnitExtension* unit) { return 0; }

uint32_t ParseArguments(char* text, uint32_t textLength, const char* keyword, uint32_t keywordMode) { return 0; }
