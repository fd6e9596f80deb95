// Adapter discovery: reads the options, walks the parallel port addresses,
// probes each for the adapter, runs drive discovery on the first that
// answers and fills the port configuration for it.
#include "ata/ata.h"
#include "link/link.h"
#include "miniport/parameters.h"
#include "miniport/request.h"

// The argument string is NUL-terminated or at least this long.
#define ARGUMENT_SCAN_LIMIT 512

#define DEFAULT_MAXIMUM_TRANSFER 65536u
// One ATA command moves at most 255 sectors (the sector count register is
// one byte and the driver never sends the count 0), so the port driver is
// never told more than that, whatever the size keyword asks for.
#define LARGEST_TRANSFER (255u * ATA_SECTOR_SIZE)

static const uint16_t StandardPorts[] = {0x378, 0x3BC, 0x278, 0};

#define PROBE_PORT 0
#define PROBE_MODES 2
#define PROBE_RESULT 3
#define PROBE_WORDS 4

static uint32_t ArgumentLength(const char* text)
{
    uint32_t n = 0;
    while (n < ARGUMENT_SCAN_LIMIT && text[n] != '\0') ++n;
    return n;
}

static uint32_t MaximumTransferFor(uint32_t size)
{
    if (size == 0) return DEFAULT_MAXIMUM_TRANSFER;
    uint32_t bytes = ((size + 1) / 2) * 2048;  // may wrap to 0 for huge values
    if (bytes == 0 || bytes > LARGEST_TRANSFER) bytes = LARGEST_TRANSFER;
    return bytes;
}

// The switch pass, then the keywords in their fixed order.
static void ReadArguments(PCHAR text)
{
    uint32_t length = ArgumentLength(text);
    ParseArguments(text, length, "Not necessary(dummy)", 0);
    DriverKeywords.Blk = ParseArguments(text, length, "BLK", 1);
    DriverParameters.MediaStatusMode = (uint8_t)ParseArguments(text, length, "MSN", 1);
    DriverKeywords.Natn = ParseArguments(text, length, "NATN", 1);
    DriverKeywords.Ndpc = ParseArguments(text, length, "NDPC", 1);
    DriverKeywords.Port = ParseArguments(text, length, "port", 1);
    DriverKeywords.Size = ParseArguments(text, length, "size", 1);
    DriverKeywords.Irq = ParseArguments(text, length, "irq", 1);
}

// The EPP modes go in pairs; without EPP host hardware they fall back to 2/2.
static void PairFastModes(void)
{
    DriverParametersRecord* p = &DriverParameters;
    if (p->ReadMode == RM_EPP32 || p->WriteMode == WM_EPP32) {
        p->ReadMode = RM_EPP32;
        p->WriteMode = WM_EPP32;
        if (p->NoEppHost) {
            p->ReadMode = RM_NIBBLE_SLOW;
            p->WriteMode = WM_BYTE_SLOW;
            p->ModesForced = 0;
        }
    }
    if (p->ReadMode == RM_EPP8 || p->WriteMode == WM_EPP8) {
        p->ReadMode = RM_EPP8;
        p->WriteMode = WM_EPP8;
        if (p->NoEppHost) {
            p->ReadMode = RM_NIBBLE_SLOW;
            p->WriteMode = WM_BYTE_SLOW;
            p->ModesForced = 0;
        }
    }
}

BOOLEAN ProbePort(uint16_t port)
{
    uint32_t record[PROBE_WORDS] = {0, 0, 0, 0};
    record[PROBE_PORT] = port;
    record[PROBE_MODES] = DriverParameters.ModesForced
                              ? ((uint32_t)DriverParameters.ReadMode << 8) | DriverParameters.WriteMode
                              : 0xFFFFFFFFu;
    if (LinkProbeAdapter(record) != LINK_OK) return FALSE;
    if (record[PROBE_PORT] != port || (record[PROBE_MODES] & 0xFFFF) == 0xFFFF) return FALSE;

    DriverParameters.ReadMode = (uint8_t)((record[PROBE_MODES] >> 8) & 0xFF);
    DriverParameters.WriteMode = (uint8_t)(record[PROBE_MODES] & 0x0F);
    AdapterCount = 1;
    FastMode = (DriverParameters.ReadMode == RM_EPP8 || DriverParameters.ReadMode == RM_EPP32) ? 1 : 0;

    discoverDrives();

    pollOddBlocks = 0;
    if (FastMode && !multipleUsable(0)) pollOddBlocks = 1;
    return TRUE;
}

static ULONG InterruptLevelFor(uint16_t port, ULONG given)
{
    if (DriverParameters.PollingMode) return 0;
    if (given != 0) return given;
    if (DriverKeywords.Irq >= 1 && DriverKeywords.Irq <= 14) return DriverKeywords.Irq;
    return (port == 0x378 || port == 0x3BC) ? 7 : 5;
}

static void FillConfiguration(AdapterExtension* adapter, PPORT_CONFIGURATION_INFORMATION config,
                              uint16_t port, ULONG length, ULONG maximumTransfer)
{
    adapter->CurrentUnit = 0;
    config->BusInterruptLevel = InterruptLevelFor(port, config->BusInterruptLevel);
    adapter->InitiatorId = 7;
    config->InitiatorBusId[0] = 7;
    ACCESS_RANGE* range = &(*config->AccessRanges)[0];
    range->RangeStart = ScsiPortConvertUlongToPhysicalAddress(port);
    range->RangeLength = length;
    range->RangeInMemory = FALSE;
    config->ScatterGather = FALSE;
    config->Master = FALSE;
    config->NumberOfBuses = 1;
    config->MaximumTransferLength = maximumTransfer;
    if (FastMode) config->BufferAccessScsiPortControlled = TRUE;
}

ULONG NTAPI HwFindAdapter(PVOID DeviceExtension, PVOID HwContext, PVOID BusInformation,
                          PCHAR ArgumentString, PPORT_CONFIGURATION_INFORMATION ConfigInfo,
                          PBOOLEAN Again)
{
    (void)BusInformation;
    AdapterExtension* adapter = (AdapterExtension*)DeviceExtension;
    ULONG noContext = 0;
    ULONG* context = HwContext != 0 ? (ULONG*)HwContext : &noContext;
    *Again = FALSE;

    // The driver serves one adapter: once any registration has found it,
    // every later call (the other bus included) finds nothing, and the
    // options and negotiated modes are left as discovery set them.
    if (AdapterCount != 0) return SP_RETURN_NOT_FOUND;

    uint16_t onePort[2] = {0, 0};
    const uint16_t* candidates = StandardPorts;
    ULONG maximumTransfer = DEFAULT_MAXIMUM_TRANSFER;
    uint32_t found = *context & 0xFFFF;
    uint32_t index = *context >> 16;

    if (ArgumentString != 0) {
        ReadArguments(ArgumentString);
        maximumTransfer = MaximumTransferFor(DriverKeywords.Size);
        if (DriverKeywords.Port != 0) {
            onePort[0] = (uint16_t)DriverKeywords.Port;
            candidates = onePort;
        }
    }
    PairFastModes();

    uint32_t listLength = 0;
    while (candidates[listLength] != 0) ++listLength;
    if (index >= listLength || found != 0) return SP_RETURN_NOT_FOUND;

    bool foundNow = false;
    while (candidates[index] != 0 && found == 0 && !foundNow) {
        uint16_t port = candidates[index];
        ULONG length = port == 0x3BC ? 3 : 8;
        PVOID base = ScsiPortGetDeviceBase(adapter, ConfigInfo->AdapterInterfaceType,
                                           ConfigInfo->SystemIoBusNumber,
                                           ScsiPortConvertUlongToPhysicalAddress(port), length, TRUE);
        adapter->MappedBase = (uint32_t)(uintptr_t)base;
        PortTable[found] = port;
        if (!ProbePort(port)) {
            ScsiPortFreeDeviceBase(adapter, base);
        } else {
            AdapterCount = (uint8_t)(AdapterCount + 1);
            foundNow = true;
            FillConfiguration(adapter, ConfigInfo, port, length, maximumTransfer);
            ++found;
        }
        ++index;
    }

    if (ConfigInfo->BusInterruptLevel != 0)
        ConfigInfo->InterruptMode =
            ConfigInfo->AdapterInterfaceType == MicroChannel ? LevelSensitive : Latched;

    *context = (index << 16) | found;
    return foundNow ? SP_RETURN_FOUND : SP_RETURN_NOT_FOUND;
}
