// Driver entry: registration with the SCSI port driver, once for the ISA
// bus and once for the Micro Channel bus, and the adapter state routine.
#include "miniport/request.h"

static void ZeroBytes(void* record, uint32_t length)
{
    uint8_t* bytes = (uint8_t*)record;
    for (uint32_t i = 0; i < length; ++i) bytes[i] = 0;
}

// Fills the registration record for one bus; every field not named here
// stays zero (no tagged queuing, no automatic request sense, one request
// per unit, no vendor or device identifiers).
static void FillInitializationData(HW_INITIALIZATION_DATA* init, INTERFACE_TYPE bus)
{
    ZeroBytes(init, sizeof(*init));
    init->HwInitializationDataSize = sizeof(HW_INITIALIZATION_DATA);
    init->AdapterInterfaceType = bus;
    init->HwInitialize = HwInitialize;
    init->HwStartIo = HwStartIo;
    init->HwInterrupt = HwInterrupt;
    init->HwFindAdapter = HwFindAdapter;
    init->HwResetBus = HwResetBus;
    init->HwDmaStarted = 0;
    init->HwAdapterState = HwAdapterState;
    init->DeviceExtensionSize = sizeof(AdapterExtension);
    init->SpecificLuExtensionSize = sizeof(UnitExtension);
    init->SrbExtensionSize = 0;
    init->NumberOfAccessRanges = 1;
    init->MapBuffers = TRUE;
    init->NeedPhysicalAddresses = FALSE;
}

// Registers for both buses; the driver loads when either registration
// found the adapter. Success is 0 and errors are large values, so the
// smaller status (unsigned) is the one to return.
extern "C" ULONG NTAPI DriverEntry(PVOID DriverObject, PVOID RegistryPath)
{
    HW_INITIALIZATION_DATA init;
    ULONG context;

    FillInitializationData(&init, Isa);
    context = 0;
    ULONG isaStatus = ScsiPortInitialize(DriverObject, RegistryPath, &init, &context);

    context = 0;
    init.AdapterInterfaceType = MicroChannel;
    ULONG mcaStatus = ScsiPortInitialize(DriverObject, RegistryPath, &init, &context);

    return isaStatus < mcaStatus ? isaStatus : mcaStatus;
}

BOOLEAN NTAPI HwAdapterState(PVOID DeviceExtension, PVOID Context, BOOLEAN SaveState)
{
    (void)DeviceExtension;
    (void)Context;
    (void)SaveState;
    return TRUE;
}
