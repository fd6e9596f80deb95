// Routines shared between the host port setup files but not called from
// other layers: the single steps of the chip probes and the record of chip
// registers changed, so that a port given up on can be left as found.
#ifndef HOSTPORT_HOSTPORT_INTERNAL_H
#define HOSTPORT_HOSTPORT_INTERNAL_H

#include <stdint.h>

// Configuration index/data pair access.
uint8_t ConfigRead(uint16_t indexPort, uint8_t reg);
void ConfigWrite(uint16_t indexPort, uint8_t reg, uint8_t value);

// National Semiconductor steps.
bool NsPortMatch(uint16_t indexPort, uint16_t port);
bool NsEnableEpp(uint16_t indexPort);
void NsSetPrinterControlBit1(bool set);

// Winbond and PCI steps.
bool ProbeWinbondKey(uint16_t port, uint8_t key);
void PciEnableEpp(void);

// The 0x100/0x101 chipset register test (steps 2 to 4 of the check); a
// failed test puts back what it wrote.
bool ChipsetPairTest(void);

// The CMOS-window chipset.
bool CmosWindowIsMirror(void);
void CmosWindowUnlock(void);
void CmosWindowRestore(void);
bool CmosWindowPresent(void);
bool CmosWindowPortIs(uint16_t port);
void CmosWindowSwitchEpp(uint16_t port);

// Laptop chipset primitives. LaptopChipsetIdentified reads only; LaptopOpen,
// where selecting and restoring the chipset's port begin, writes nothing
// until it is true.
bool LaptopChipsetIdentified(void);
bool PowerRegisterUnlock(void);
bool PowerRegisterRelock(void);
bool PowerRegisterProbe(void);
void PowerRegisterClearBit1(void);
void LaptopUnlockReadSequence(void);
void LaptopLatchTest(void);
bool LaptopOpen(void);
bool LaptopClose(void);

// Separates successive accesses to the system board and chipset ports.
void IoRecoveryDelay(void);

// Chip registers changed by the probes, with their values as found.
struct HostChangeRecord {
    uint8_t SmcChanged;       // 1 register-style, 2 logical-device
    uint16_t SmcIndexPort;
    uint8_t SmcReg1;          // register style
    uint8_t SmcReg4;
    uint8_t SmcDevice;        // logical-device style: register 7 as found
    uint8_t SmcModeF0;        // and the parallel device's register 0xF0
    uint8_t NsChanged;
    uint16_t NsIndexPort;
    uint8_t NsIndexValue;
    uint8_t NsReg2;
    uint8_t NsReg4;
    uint8_t WinbondChanged;
    uint8_t WinbondKey;
    uint8_t WinbondReg9;
    uint8_t WinbondReg0;
    uint8_t PciChanged;
    uint8_t PciReg52;
    uint8_t PciReg53;
    uint8_t ChipsetSeen;      // the 0x100/0x101 chipset answered
    uint8_t ChipsetReg2;      // its register 2 as first found
};
extern HostChangeRecord HostChanges;

void HostChangesReset(void);

#endif  // HOSTPORT_HOSTPORT_INTERNAL_H
