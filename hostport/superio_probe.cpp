// Super I/O detection: finds the chip that owns the parallel port at
// PortBase (SMC, National Semiconductor, Winbond, a PCI bridge function, or
// an unidentified chipset at 0x22/0x23), switches its port into an EPP
// capable mode and leaves flags for the link, negotiation and EPP selection.
#include "hostport/hostport.h"
#include "hostport/hostport_internal.h"
#include "link/link.h"
#include "platform/port_io.h"

#define PIC_MASK_PORT 0x21
#define PCI_CONFIG_ADDRESS 0xCF8
#define PCI_CONFIG_DATA_52 0xCFE
#define PCI_CONFIG_DATA_53 0xCFF
#define PCI_PORT_FUNCTION_50 0x80001050u  // bus 0, device 2, function 0, register 0x50

static const uint16_t SmcConfigPorts[] = {0x3F0, 0x370, 0xEA, 0};
static const uint16_t NsIndexPorts[] = {0x398, 0x26E, 0x15C, 0x2E, 0};
// Port selected by bits 3-2 of the PCI function's register 0x52.
static const uint16_t PciPortBySelect[4] = {0x378, 0x278, 0x3BC, 0};

uint8_t ConfigRead(uint16_t indexPort, uint8_t reg)
{
    OutPortByte(indexPort, reg);
    return InPortByte(indexPort + 1);
}

void ConfigWrite(uint16_t indexPort, uint8_t reg, uint8_t value)
{
    OutPortByte(indexPort, reg);
    OutPortByte(indexPort + 1, value);
}

static void SetEnhancedHost(uint8_t epp32)
{
    LinkState.HostPortKind = HOST_PORT_ENHANCED_EPP;
    HostChipState.HostHasEpp = 1;
    HostChipState.HostEcrUsable = 1;
    LinkState.Epp32Usable = epp32;
}

// ---- SMC ----------------------------------------------------------------

static void SmcEnter(uint16_t indexPort, uint8_t key)
{
    if (indexPort == 0xEA) OutPortByte(0xFB, 0x00);
    OutPortByte(indexPort, key);
    OutPortByte(indexPort, key);
}

static void SmcLeave(uint16_t indexPort)
{
    OutPortByte(indexPort, 0xAA);
    OutPortByte(indexPort, 0xAA);
    if (indexPort == 0xEA) OutPortByte(0xF9, 0x00);
}

static void SmcRecordEcr(void)
{
    LinkState.EcrSavedValue = InPortByte(PortBase + PORT_ECR) & 0xFE;
}

// FDC37C665GT / FDC37C669: register 1 bit 3 cleared, register 4 OR 0x43.
static void SmcSetupRegisterStyle(uint16_t indexPort)
{
    LinkState.EcrPresent = 1;
    uint8_t reg1 = ConfigRead(indexPort, 1);
    ConfigWrite(indexPort, 1, reg1 & 0xF7);
    uint8_t reg4 = ConfigRead(indexPort, 4);
    ConfigWrite(indexPort, 4, reg4 | 0x43);
    if (!HostChanges.SmcChanged) {
        HostChanges.SmcChanged = 1;
        HostChanges.SmcIndexPort = indexPort;
        HostChanges.SmcReg1 = reg1;
        HostChanges.SmcReg4 = reg4;
    }
    SmcLeave(indexPort);
    if (PortBase == 0x3BC) OutPortByte(PortBase + PORT_ECR, ECR_PS2_MODE);
    SmcRecordEcr();
}

// Logical-device chip: true when its parallel device (3) sits at PortBase
// and was set up; otherwise the device number register is put back.
static bool SmcSetupLogicalDevice(uint16_t indexPort, uint8_t device)
{
    ConfigWrite(indexPort, 7, 3);
    uint16_t base = (uint16_t)(ConfigRead(indexPort, 0x60) << 8);
    base |= ConfigRead(indexPort, 0x61);
    if (base != PortBase) {
        ConfigWrite(indexPort, 7, device);
        return false;
    }
    LinkState.EcrPresent = 1;
    uint8_t mode = ConfigRead(indexPort, 0xF0);
    OutPortByte(indexPort + 1, indexPort == 0xEA ? 0x03 : 0x3B);
    if (!HostChanges.SmcChanged) {
        HostChanges.SmcChanged = 2;
        HostChanges.SmcIndexPort = indexPort;
        HostChanges.SmcDevice = device;
        HostChanges.SmcModeF0 = mode;
    }
    if (PortBase == 0x3BC) OutPortByte(PortBase + PORT_ECR, ECR_PS2_MODE);
    SmcLeave(indexPort);
    SmcRecordEcr();
    return true;
}

bool ProbeSmcChip(void)
{
    for (int i = 0; SmcConfigPorts[i] != 0; ++i) {
        uint16_t indexPort = SmcConfigPorts[i];
        SmcEnter(indexPort, 0x55);
        OutPortByte(indexPort, 0x0D);
        OutPortByte(indexPort, 0x0D);
        uint8_t id = InPortByte(indexPort + 1);
        if (id == 0x65 || id == 0x03) {
            SmcSetupRegisterStyle(indexPort);
            return true;
        }
        uint8_t device = ConfigRead(indexPort, 7);
        if (device != 0xFF && SmcSetupLogicalDevice(indexPort, device)) return true;
        SmcLeave(indexPort);
        SmcEnter(indexPort, 0x44);
        OutPortByte(indexPort, 0x0D);
        id = InPortByte(indexPort + 1);
        SmcLeave(indexPort);
        if (id == 0x66) {  // FDC37C666GT: recognised, registers left alone
            LinkState.EcrPresent = 1;
            SmcRecordEcr();
            return true;
        }
    }
    return false;
}

// ---- National Semiconductor ---------------------------------------------

// Runs one read of `probe` with the interrupt controller's mask inverted;
// interrupts are held off while the mask differs from what the system set.
static uint8_t ReadWithPicMask(uint16_t probe, uint8_t mask, uint8_t original)
{
    DisableProcessorInterrupts();
    OutPortByte(PIC_MASK_PORT, mask);
    uint8_t value = InPortByte(probe);
    OutPortByte(PIC_MASK_PORT, original);
    EnableProcessorInterrupts();
    return value;
}

// 0x2E/0x2F may only mirror the interrupt controller's mask register.
static bool NsIndexMirrorsPic(void)
{
    uint8_t mask = InPortByte(PIC_MASK_PORT);
    if (InPortByte(0x2F) != mask) return false;
    uint8_t inverted = (uint8_t)~mask;
    return ReadWithPicMask(0x2F, inverted, mask) == inverted;
}

static uint8_t NsSavedIndex;

bool NsPortMatch(uint16_t indexPort, uint16_t port)
{
    InPortByte(indexPort);
    NsSavedIndex = InPortByte(indexPort);
    OutPortByte(indexPort, 0x00);
    bool match = false;
    if (InPortByte(indexPort) == 0x00 && (InPortByte(indexPort + 1) & 0x01)) {
        uint8_t address = ConfigRead(indexPort, 1);
        uint16_t chipPort = (address & 0x02) ? 0x278 : 0x378;
        match = !(address & 0x01) && chipPort == port;
    }
    if (!match) OutPortByte(indexPort, NsSavedIndex);
    return match;
}

static void NsWriteTwice(uint16_t indexPort, uint8_t value)
{
    OutPortByte(indexPort + 1, value);
    OutPortByte(indexPort + 1, value);
}

bool NsEnableEpp(uint16_t indexPort)
{
    uint8_t ptr = ConfigRead(indexPort, 2);
    HostChipState.NsSavedPtr = ptr;
    NsWriteTwice(indexPort, ptr & 0x7F);
    if (InPortByte(indexPort + 1) & 0x80) {
        NsWriteTwice(indexPort, ptr);
        OutPortByte(indexPort, NsSavedIndex);
        return false;
    }
    NsWriteTwice(indexPort, ptr | 0x80);
    uint8_t pcr = ConfigRead(indexPort, 4);
    HostChipState.NsSavedPcr = pcr;
    NsWriteTwice(indexPort, (pcr & 0x81) | 0x01);
    if ((InPortByte(indexPort + 1) & 0x15) != 0x01) {
        NsWriteTwice(indexPort, pcr);
        OutPortByte(indexPort, 2);
        NsWriteTwice(indexPort, ptr);
        OutPortByte(indexPort, NsSavedIndex);
        return false;
    }
    if (!HostChanges.NsChanged) {
        HostChanges.NsChanged = 1;
        HostChanges.NsIndexPort = indexPort;
        HostChanges.NsIndexValue = NsSavedIndex;
        HostChanges.NsReg2 = ptr;
        HostChanges.NsReg4 = pcr;
    }
    return true;
}

bool ProbeNsChip(uint16_t port)
{
    for (int i = 0; NsIndexPorts[i] != 0; ++i) {
        uint16_t indexPort = NsIndexPorts[i];
        if (indexPort == 0x2E && NsIndexMirrorsPic()) continue;
        if (!NsPortMatch(indexPort, port)) continue;
        HostChipState.NsIndexPort = indexPort;
        if (NsEnableEpp(indexPort)) {
            HostChipState.NsChipFound = 1;
            LinkState.Epp32Usable = 1;
            return true;
        }
    }
    return false;
}

void NsSetPrinterMode(uint8_t bits)
{
    if (!HostChipState.NsChipFound) return;
    uint16_t indexPort = HostChipState.NsIndexPort;
    uint8_t value = (uint8_t)((ConfigRead(indexPort, 4) & 0xF8) | (bits & 0x07));
    OutPortByte(indexPort + 1, value);
    OutPortByte(indexPort + 1, value);
    OutPortByte(indexPort + 1, value);
}

// Sets or clears the EPP version bit (register 4 bit 1). The chip takes a
// configuration write only when the data port is written twice in
// succession; a single write would leave the register as it was.
void NsSetPrinterControlBit1(bool set)
{
    uint16_t indexPort = HostChipState.NsIndexPort;
    uint8_t value = ConfigRead(indexPort, 4);
    NsWriteTwice(indexPort, set ? (uint8_t)(value | 0x02) : (uint8_t)(value & 0xFD));
}

void NsRestore(uint16_t indexPort)
{
    OutPortByte(indexPort, 2);
    NsWriteTwice(indexPort, HostChipState.NsSavedPtr | 0x80);
    OutPortByte(indexPort, 4);
    NsWriteTwice(indexPort, HostChipState.NsSavedPcr);
    HostChipState.NsChipFound = 0;
}

// ---- Winbond ------------------------------------------------------------

#define WINBOND_ENABLE 0x250
#define WINBOND_INDEX 0x251
#define WINBOND_DATA 0x252

static uint8_t WinbondRead(uint8_t reg)
{
    OutPortByte(WINBOND_INDEX, reg);
    return InPortByte(WINBOND_DATA);
}

static void WinbondWrite(uint8_t reg, uint8_t value)
{
    OutPortByte(WINBOND_INDEX, reg);
    OutPortByte(WINBOND_DATA, value);
}

bool ProbeWinbondKey(uint16_t port, uint8_t key)
{
    HostChipState.WinbondChipFound = 0;
    if (port == 0x3BC) return false;
    OutPortByte(WINBOND_ENABLE, key);
    uint8_t test = (uint8_t)~WinbondRead(1);
    uint8_t saved = WinbondRead(0);
    OutPortByte(WINBOND_DATA, test);
    WinbondRead(1);
    uint8_t readBack = WinbondRead(0);
    OutPortByte(WINBOND_DATA, saved);
    OutPortByte(WINBOND_ENABLE, 0x00);
    if (readBack != test) return false;

    OutPortByte(WINBOND_ENABLE, key);
    uint8_t reg9 = WinbondRead(9);
    OutPortByte(WINBOND_DATA, reg9 | 0x80);
    uint8_t reg0 = WinbondRead(0);
    OutPortByte(WINBOND_DATA, reg0 | 0x04);
    if (!HostChanges.WinbondChanged) {
        HostChanges.WinbondChanged = 1;
        HostChanges.WinbondKey = key;
        HostChanges.WinbondReg9 = reg9;
        HostChanges.WinbondReg0 = reg0;
    }
    HostChipState.WinbondChipFound = 1;
    OutPortByte(WINBOND_ENABLE, 0x00);
    OutPortByte(port + PORT_ECR, ECR_EPP_MODE);
    OutPortByte(port + PORT_CONTROL, 0x04);
    return true;
}

bool ProbeWinbondChip(uint16_t port)
{
    if (ProbeWinbondKey(port, 0x89)) return true;
    return ProbeWinbondKey(port, 0x88);
}

// ---- PCI function -------------------------------------------------------

bool ProbePciChip(uint16_t port)
{
    DisableProcessorInterrupts();
    uint8_t low = InPortByte(PCI_CONFIG_ADDRESS);
    uint32_t saved = InPortDword(PCI_CONFIG_ADDRESS);
    if (low == (uint8_t)saved) {
        EnableProcessorInterrupts();
        return false;
    }
    OutPortDword(PCI_CONFIG_ADDRESS, PCI_PORT_FUNCTION_50);
    uint8_t reg52 = InPortByte(PCI_CONFIG_DATA_52);
    OutPortDword(PCI_CONFIG_ADDRESS, saved);
    EnableProcessorInterrupts();
    HostChipState.PciPresent = 1;
    uint16_t selected = PciPortBySelect[(reg52 >> 2) & 0x03];
    return selected != 0 && selected == port;
}

void PciEnableEpp(void)
{
    DisableProcessorInterrupts();
    uint32_t saved = InPortDword(PCI_CONFIG_ADDRESS);
    OutPortDword(PCI_CONFIG_ADDRESS, PCI_PORT_FUNCTION_50);
    uint8_t reg52 = InPortByte(PCI_CONFIG_DATA_52);
    OutPortDword(PCI_CONFIG_ADDRESS, PCI_PORT_FUNCTION_50);
    OutPortByte(PCI_CONFIG_DATA_52, reg52 | 0x20);
    OutPortDword(PCI_CONFIG_ADDRESS, PCI_PORT_FUNCTION_50);
    uint8_t reg53 = InPortByte(PCI_CONFIG_DATA_53);
    OutPortByte(PCI_CONFIG_DATA_53, 0x80);
    OutPortDword(PCI_CONFIG_ADDRESS, saved);
    EnableProcessorInterrupts();
    if (!HostChanges.PciChanged) {
        HostChanges.PciChanged = 1;
        HostChanges.PciReg52 = reg52;
        HostChanges.PciReg53 = reg53;
    }
}

// ---- Interrupt controller alias and the unidentified chipset ------------

bool PicAliasAt23(void)
{
    uint8_t mask = InPortByte(PIC_MASK_PORT);
    if (InPortByte(0x23) != mask) return false;
    if (ReadWithPicMask(0x23, 0xA0, mask) != 0xA0) return false;
    return ReadWithPicMask(0x23, 0x0A, mask) == 0x0A;
}

// Reads only: an index/data chipset at 0x22/0x23 answers differently to a
// word read than to two byte reads, and is not a mirror of the interrupt
// controller at 0x20/0x21.
bool UnidentifiedChipsetAt22(void)
{
    uint16_t word = InPortWord(0x22);
    uint8_t high = InPortByte(0x23);
    uint8_t low = InPortByte(0x22);
    if ((uint16_t)((high << 8) | low) == word) return false;
    if ((word & 0xFF) == 0xFF || (word >> 8) == 0xFF) return false;
    uint16_t pic = InPortWord(0x20);
    if (InPortByte(0x21) != (uint8_t)(pic >> 8)) return false;
    uint16_t across = InPortWord(0x21);
    return InPortByte(0x22) != (uint8_t)(across >> 8);
}

bool MachinePortSetup(uint16_t port)
{
    ProbeSmcChip();
    if (LinkState.EcrPresent) {
        SetEnhancedHost(1);
        return true;
    }
    ProbeNsChip(port);
    if (HostChipState.NsChipFound) {
        SetEnhancedHost(1);
        return true;
    }
    ProbeWinbondChip(port);
    if (HostChipState.WinbondChipFound) {
        SetEnhancedHost(1);
        return true;
    }
    if (ProbePciChip(port)) {
        HostChipState.PciChipFound = 1;
        if (port != 0x3BC) {
            PciEnableEpp();
            SetEnhancedHost(0);
            return true;
        }
    }
    if (HostChipState.PciPresent) return false;
    if (PicAliasAt23()) return false;
    return UnidentifiedChipsetAt22();
}

// ---- Undo for a port given up on ----------------------------------------

void HostPortUndoChanges(void)
{
    if (HostChanges.SmcChanged) {
        uint16_t indexPort = HostChanges.SmcIndexPort;
        SmcEnter(indexPort, 0x55);
        if (HostChanges.SmcChanged == 1) {
            ConfigWrite(indexPort, 1, HostChanges.SmcReg1);
            ConfigWrite(indexPort, 4, HostChanges.SmcReg4);
        } else {
            ConfigWrite(indexPort, 7, 3);
            ConfigWrite(indexPort, 0xF0, HostChanges.SmcModeF0);
            ConfigWrite(indexPort, 7, HostChanges.SmcDevice);
        }
        SmcLeave(indexPort);
    }
    if (HostChanges.NsChanged) {
        uint16_t indexPort = HostChanges.NsIndexPort;
        OutPortByte(indexPort, 2);
        NsWriteTwice(indexPort, HostChanges.NsReg2);
        OutPortByte(indexPort, 4);
        NsWriteTwice(indexPort, HostChanges.NsReg4);
        OutPortByte(indexPort, HostChanges.NsIndexValue);
        HostChipState.NsChipFound = 0;
    }
    if (HostChanges.WinbondChanged) {
        OutPortByte(WINBOND_ENABLE, HostChanges.WinbondKey);
        WinbondWrite(9, HostChanges.WinbondReg9);
        WinbondWrite(0, HostChanges.WinbondReg0);
        OutPortByte(WINBOND_ENABLE, 0x00);
    }
    if (HostChanges.PciChanged) {
        DisableProcessorInterrupts();
        uint32_t saved = InPortDword(PCI_CONFIG_ADDRESS);
        OutPortDword(PCI_CONFIG_ADDRESS, PCI_PORT_FUNCTION_50);
        OutPortByte(PCI_CONFIG_DATA_52, HostChanges.PciReg52);
        OutPortDword(PCI_CONFIG_ADDRESS, PCI_PORT_FUNCTION_50);
        OutPortByte(PCI_CONFIG_DATA_53, HostChanges.PciReg53);
        OutPortDword(PCI_CONFIG_ADDRESS, saved);
        EnableProcessorInterrupts();
    }
    if (HostChanges.ChipsetSeen) {
        ChipsetGate(HostChanges.ChipsetReg2);
    }
    LaptopChipsetRestore();
    Ps2RestoreState();
    HostChangesReset();
}
