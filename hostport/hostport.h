// Host port setup: recognition of the machine's parallel port hardware
// (Super I/O chips, a PCI function, chipsets, PS/2 system boards, laptop
// chipsets) and switching its port into EPP or bidirectional mode.
#ifndef HOSTPORT_HOSTPORT_H
#define HOSTPORT_HOSTPORT_H

#include <stdint.h>

struct HostChipStateRecord {
    uint8_t NsChipFound;
    uint16_t NsIndexPort;
    uint8_t NsSavedPtr;
    uint8_t NsSavedPcr;
    uint8_t WinbondChipFound;
    uint8_t PciPresent;
    uint8_t PciChipFound;
    uint8_t HostHasEpp;
    uint8_t HostEcrUsable;
};

struct CmosWindowStateRecord {
    uint8_t State;  // 0xFF not probed, 0 absent, 1 present and switched to EPP
    uint8_t Unlocked;
    uint8_t SavedValue;
};

struct MachineSwitchStateRecord {
    uint8_t Ps2Machine;
    uint8_t Ps2ExtendedRequest;
    uint8_t Ps2PrepDone;
    uint8_t Ps2Saved;
    uint8_t Ps2SavedPos;
    uint8_t LaptopOpenWorked;
    uint8_t LaptopRestored;
    uint8_t LatchAtAE;
    uint8_t LaptopIdentity;  // 0 not looked at yet, 1 the laptop chipset, 2 something else
    uint16_t PowerRegSaved;
};

extern HostChipStateRecord HostChipState;
extern CmosWindowStateRecord CmosWindowState;
extern MachineSwitchStateRecord MachineSwitchState;

void HostPortStateReset(void);

// Super I/O detection and enhanced-mode enabling.
bool MachinePortSetup(uint16_t port);
bool ProbeSmcChip(void);
bool ProbeNsChip(uint16_t port);
bool ProbeWinbondChip(uint16_t port);
bool ProbePciChip(uint16_t port);
// Replaces bits 0-2 of the National Semiconductor chip's printer control
// register (bit 0 EPP enable, bit 1 EPP version 1.9, bit 2 ECP enable), when
// such a chip was found.
void NsSetPrinterMode(uint8_t bits);
#define NS_PRINTER_EPP 0x01
#define NS_PRINTER_EPP_V19 0x03
void NsRestore(uint16_t indexPort);
bool PicAliasAt23(void);
// Reads only: an index/data chipset, not a mirror of the interrupt
// controller, answers at 0x22/0x23.
bool UnidentifiedChipsetAt22(void);

// EPP host selection.
uint8_t SelectEppHost(void);
bool TryDirectEpp(void);
bool TryChipEpp(void);
bool PrepareEppCheck(void);
bool PrepareChipEppCheck(void);
bool VerifyEpp(uint16_t port);
bool CompareEppCycle(uint16_t port, uint8_t reg);

// The chipset configured through the index/data pair 0x100/0x101. Its
// register 2 gates the enhanced mode of the port at 0x378: normal while the
// port is a printer port, enhanced while the link owns it.
#define CHIPSET_INDEX_PORT 0x100
#define CHIPSET_DATA_PORT 0x101
#define CHIPSET_GATE_REG 0x02
#define CHIPSET_GATE_NORMAL 0x00
#define CHIPSET_GATE_ENHANCED 0xD0
// Writes value to the chipset's register 2.
void ChipsetGate(uint8_t value);

// PS/2 and laptop chipset switches.
bool MachineChipsetCheck(uint16_t port, uint8_t* kind);
bool MachineExtendedSwitch(uint16_t port, uint8_t* kind);
bool LaptopChipsetSelect(uint16_t port);
bool LaptopChipsetRestore(void);
void LaptopChipsetBidir(void);
bool Ps2Detect(void);
bool Ps2PortPreparation(uint16_t port);
void Ps2BidirEnable(uint16_t port, uint8_t* kind);
void Ps2SaveState(void);
void Ps2AltSetting(void);
void Ps2RestoreState(void);
void FastBusSwitch(void);

// Puts back the chip and chipset registers that the probes changed, for a
// port on which detection gave up (the port stays a printer port).
void HostPortUndoChanges(void);

#endif  // HOSTPORT_HOSTPORT_H
