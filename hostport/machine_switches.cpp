// Machine-specific port switches: the chipset configured through ports
// 0x100/0x101, the laptop chipset behind the power-management register at
// 0x22 and the configuration space at 0xAE/0xAF, PS/2 system boards (option
// register 2 at 0x102 while 0x94 holds the board in setup), and the fast
// bus switch.
#include "hostport/hostport.h"
#include "hostport/hostport_internal.h"
#include "link/link.h"
#include "miniport/parameters.h"
#include "platform/port_io.h"

#define PIC_MASK_PORT 0x21
#define POWER_REG 0x22
#define POWER_REG_WRITE_ONLY 0x8180  // key bits 15 and 7, relock bit 8: read 0
#define LAPTOP_POWER_CONTROL 0x705
#define LAPTOP_CFG_INDEX 0x24
#define LAPTOP_CFG_DATA 0x25
#define LAPTOP_PORT_INDEX 0xAE
#define LAPTOP_PORT_DATA 0xAF
#define LAPTOP_OPEN 0xFB
#define LAPTOP_CLOSE 0xF9
#define LAPTOP_LATCH_VALUE 0xDD
#define PS2_SETUP 0x94
#define PS2_ADAPTER_SETUP 0x96
#define PS2_POS2 0x102
#define PS2_SETUP_ON 0x7F
#define PS2_SETUP_OFF 0xFF

void IoRecoveryDelay(void)
{
    StallMicroseconds(1);
}

static void OutRecovered(uint16_t port, uint8_t value)
{
    OutPortByte(port, value);
    IoRecoveryDelay();
}

static uint8_t InRecovered(uint16_t port)
{
    uint8_t value = InPortByte(port);
    IoRecoveryDelay();
    return value;
}

// ---- Chipset at 0x100/0x101 ---------------------------------------------

void ChipsetGate(uint8_t value)
{
    OutPortByte(CHIPSET_INDEX_PORT, CHIPSET_GATE_REG);
    OutPortByte(CHIPSET_DATA_PORT, value);
}

bool ChipsetPairTest(void)
{
    uint8_t savedIndex = InPortByte(CHIPSET_INDEX_PORT);
    OutPortByte(CHIPSET_INDEX_PORT, CHIPSET_GATE_REG);
    uint8_t savedReg2 = InPortByte(CHIPSET_DATA_PORT);
    bool indexFFWritten = false;
    uint8_t savedRegFF = 0;
    bool passed = false;
    OutPortByte(CHIPSET_DATA_PORT, 0xFF);
    if (InPortByte(CHIPSET_DATA_PORT) == 0xFC) {
        OutPortByte(CHIPSET_DATA_PORT, 0x4C);
        if (InPortByte(CHIPSET_DATA_PORT) == 0x4C) {
            OutPortByte(CHIPSET_INDEX_PORT, 0xFF);
            savedRegFF = InPortByte(CHIPSET_DATA_PORT);
            indexFFWritten = true;
            OutPortByte(CHIPSET_DATA_PORT, 0x0C);
            passed = InPortByte(CHIPSET_DATA_PORT) != 0x0C;
        }
    }
    if (passed) {
        if (!HostChanges.ChipsetSeen) {
            HostChanges.ChipsetSeen = 1;
            HostChanges.ChipsetReg2 = savedReg2;
        }
        return true;
    }
    // Not the chipset: put back what the test wrote, last register first,
    // so that a plain latch ends with its old value.
    if (indexFFWritten) {
        OutPortByte(CHIPSET_INDEX_PORT, 0xFF);
        OutPortByte(CHIPSET_DATA_PORT, savedRegFF);
    }
    ChipsetGate(savedReg2);
    OutPortByte(CHIPSET_INDEX_PORT, savedIndex);
    return false;
}

bool MachineChipsetCheck(uint16_t port, uint8_t* kind)
{
    if (port != 0x378) return false;
    if (!ChipsetPairTest()) return false;
    *kind = HOST_PORT_CHIPSET_GATED;
    ChipsetGate(CHIPSET_GATE_NORMAL);
    return true;
}

bool MachineExtendedSwitch(uint16_t port, uint8_t* kind)
{
    if (port == 0x3BC) return false;
    if (MachineChipsetCheck(port, kind)) return true;
    if (*kind == HOST_PORT_ENHANCED_EPP) return true;
    return LaptopChipsetSelect(port);
}

// ---- Laptop chipset -----------------------------------------------------

#define LAPTOP_NOT_CHECKED 0
#define LAPTOP_IDENTIFIED 1
#define LAPTOP_ABSENT 2

// Reads only. Other boards put other things at 0x22/0x23 that a write
// there would damage: a mirror of the interrupt controller (a write to 0x23
// changes its mask, one with bit 4 set to 0x22 re-initialises it) or a
// chipset's own index/data pair. The laptop chipset's power register is a
// steady 16-bit register, its high byte also readable at 0x23, whose key
// and relock bits read 0; the interrupt controller's mask does not show
// through at 0x23; and its power control register answers at 0x705. The
// unidentified chipset's flipping status fails the first test, a mirror of
// the interrupt controller the mask test. The answer is kept for the life
// of the driver, so the ports are read once.
bool LaptopChipsetIdentified(void)
{
    if (MachineSwitchState.LaptopIdentity == LAPTOP_NOT_CHECKED) {
        MachineSwitchState.LaptopIdentity = LAPTOP_ABSENT;
        uint16_t word = InPortWord(POWER_REG);
        uint8_t high = InPortByte(POWER_REG + 1);
        uint8_t low = InPortByte(POWER_REG);
        if ((uint16_t)((high << 8) | low) != word) return false;
        if (word & POWER_REG_WRITE_ONLY) return false;
        if (InPortByte(PIC_MASK_PORT) == high) return false;
        if (InPortByte(LAPTOP_POWER_CONTROL) == 0xFF) return false;
        MachineSwitchState.LaptopIdentity = LAPTOP_IDENTIFIED;
    }
    return MachineSwitchState.LaptopIdentity == LAPTOP_IDENTIFIED;
}

bool PowerRegisterUnlock(void)
{
    uint16_t value = InPortWord(POWER_REG);
    MachineSwitchState.PowerRegSaved = value;
    OutPortByte(POWER_REG + 1, (uint8_t)value);
    OutPortByte(POWER_REG, (uint8_t)((value >> 8) | 0x80));
    OutPortWord(POWER_REG, (uint16_t)(value | 0x8000));
    InPortWord(POWER_REG);
    return (InPortWord(POWER_REG) & 0x01) != 0;
}

bool PowerRegisterRelock(void)
{
    uint16_t saved = MachineSwitchState.PowerRegSaved;
    OutPortWord(POWER_REG, saved);
    if (saved & 0x01) return true;
    OutPortWord(POWER_REG, (uint16_t)(saved | 0x0100));
    InPortWord(POWER_REG);
    return (InPortWord(POWER_REG) & 0x01) == 0;
}

bool PowerRegisterProbe(void)
{
    if (!PowerRegisterUnlock()) {
        // Whatever answers at 0x22 gets its register back as it was read.
        OutPortWord(POWER_REG, MachineSwitchState.PowerRegSaved);
        return false;
    }
    InPortWord(POWER_REG);
    return PowerRegisterRelock();
}

void PowerRegisterClearBit1(void)
{
    if ((InPortByte(POWER_REG) & 0x01) == 0) PowerRegisterUnlock();
    uint8_t value = InPortByte(POWER_REG);
    OutPortByte(POWER_REG, value & 0xFD);
    PowerRegisterRelock();
}

void LaptopUnlockReadSequence(void)
{
    static const uint16_t UnlockReads[] = {0xFC23, 0xF023, 0xC023, 0x0023,
                                           0xFFFB, 0xFFFF, 0xFFFD, 0xFFF9};
    for (unsigned i = 0; i < sizeof(UnlockReads) / sizeof(UnlockReads[0]); ++i)
        InPortByte(UnlockReads[i]);
}

void LaptopLatchTest(void)
{
    uint8_t saved = InPortByte(LAPTOP_PORT_INDEX);
    OutPortByte(LAPTOP_PORT_INDEX, LAPTOP_LATCH_VALUE);
    MachineSwitchState.LatchAtAE = InPortByte(LAPTOP_PORT_INDEX) == LAPTOP_LATCH_VALUE;
    OutPortByte(LAPTOP_PORT_INDEX, saved);
}

static void LaptopConfigSetBits(uint8_t reg, uint8_t bits)
{
    uint8_t value = ConfigRead(LAPTOP_CFG_INDEX, reg);
    ConfigWrite(LAPTOP_CFG_INDEX, reg, value | bits);
}

bool LaptopOpen(void)
{
    if (!LaptopChipsetIdentified()) return false;
    if (!PowerRegisterProbe()) return false;
    LaptopLatchTest();
    OutPortByte(LAPTOP_POWER_CONTROL, 0x01);
    PowerRegisterClearBit1();
    LaptopUnlockReadSequence();
    LaptopConfigSetBits(0x61, 0x08);
    ConfigWrite(LAPTOP_CFG_INDEX, 0xFA, 0x01);
    OutPortByte(LAPTOP_OPEN, 0x00);
    OutPortByte(LAPTOP_PORT_INDEX, LAPTOP_LATCH_VALUE);
    MachineSwitchState.LaptopOpenWorked =
        InPortByte(LAPTOP_PORT_INDEX) == LAPTOP_LATCH_VALUE;
    return MachineSwitchState.LaptopOpenWorked;
}

bool LaptopClose(void)
{
    OutPortByte(LAPTOP_CLOSE, 0x00);
    OutPortByte(LAPTOP_PORT_INDEX, LAPTOP_LATCH_VALUE);
    return InPortByte(LAPTOP_PORT_INDEX) != LAPTOP_LATCH_VALUE;
}

bool LaptopChipsetSelect(uint16_t port)
{
    if (!LaptopOpen()) return false;
    ConfigWrite(LAPTOP_PORT_INDEX, 0x02, port == 0x278 ? 0xE0 : 0xD0);
    if (!MachineSwitchState.LatchAtAE) LaptopClose();
    return true;
}

bool LaptopChipsetRestore(void)
{
    if (MachineSwitchState.LaptopRestored || !MachineSwitchState.LaptopOpenWorked) return true;
    if (!LaptopOpen()) return false;
    MachineSwitchState.LaptopRestored = 1;
    ConfigWrite(LAPTOP_PORT_INDEX, 0x02, 0x00);
    LaptopClose();
    return true;
}

// Also asked for by the fast-bus switch, whatever the machine: on a board
// without the laptop chipset its ports are left alone.
void LaptopChipsetBidir(void)
{
    if (!LaptopChipsetIdentified()) return;
    PowerRegisterClearBit1();
    LaptopUnlockReadSequence();
    LaptopConfigSetBits(0x61, 0x01);
}

// ---- PS/2 system board --------------------------------------------------

// Writes option register 2 with its high nibble 1001 and reads it back;
// a PS/2 board keeps the nibble. The register is put back either way.
static bool Ps2RegisterTest(void)
{
    OutRecovered(PS2_SETUP, PS2_SETUP_ON);
    uint8_t value = InRecovered(PS2_POS2);
    OutRecovered(PS2_POS2, (uint8_t)((value & 0x0F) | 0x90));
    OutRecovered(PS2_SETUP, PS2_SETUP_ON);
    uint8_t readBack = InRecovered(PS2_POS2);
    OutRecovered(PS2_POS2, value);
    OutRecovered(PS2_SETUP, PS2_SETUP_OFF);
    return (readBack & 0xF0) == 0x90;
}

bool Ps2Detect(void)
{
    MachineSwitchState.Ps2Machine = Ps2RegisterTest();
    return MachineSwitchState.Ps2Machine;
}

bool Ps2PortPreparation(uint16_t port)
{
    if (DriverParameters.NoPs2Detect) return false;
    if (!MachineSwitchState.Ps2PrepDone) {
        if (!Ps2RegisterTest()) {
            MachineSwitchState.Ps2Machine = 0;
            return false;
        }
        if (MachinePortSetup(port) &&
            (LinkState.EcrPresent || HostChipState.NsChipFound ||
             HostChipState.WinbondChipFound || HostChipState.PciChipFound)) {
            LinkState.EcrPresent = 0;
            HostChipState.NsChipFound = 0;
            HostChipState.WinbondChipFound = 0;
            HostChipState.PciChipFound = 0;
            return false;
        }
        if (!HostChipState.PciPresent && MachineExtendedSwitch(port, &LinkState.HostPortKind))
            return false;
    }
    MachineSwitchState.Ps2PrepDone = 1;
    if (port == 0x3BC) {
        // Move the system-board port to 0x378 for one write, then back.
        OutRecovered(PS2_SETUP, PS2_SETUP_ON);
        uint8_t pos = InRecovered(PS2_POS2);
        OutRecovered(PS2_POS2, pos | 0x30);
        OutRecovered(PS2_SETUP, PS2_SETUP_OFF);
        OutRecovered(0x37D, 0x00);
        OutRecovered(PS2_SETUP, PS2_SETUP_ON);
        OutRecovered(PS2_POS2, pos);
        OutRecovered(PS2_SETUP, PS2_SETUP_OFF);
    } else {
        OutPortByte(port + 5, 0x00);
    }
    return true;
}

#define BIDIR_PATH_BOARD 1
#define BIDIR_PATH_LAPTOP 2

static uint8_t Ps2BidirPath(uint8_t* kind)
{
    if (MachineSwitchState.Ps2Machine) return BIDIR_PATH_BOARD;
    if (DriverParameters.FastBusWanted == 1) return BIDIR_PATH_LAPTOP;
    if (!MachineSwitchState.LaptopOpenWorked) return BIDIR_PATH_BOARD;
    if (!ChipsetPairTest()) return BIDIR_PATH_LAPTOP;
    ChipsetGate(CHIPSET_GATE_NORMAL);
    *kind = HOST_PORT_PLAIN;
    return BIDIR_PATH_BOARD;
}

void Ps2BidirEnable(uint16_t port, uint8_t* kind)
{
    if (HostChipState.HostEcrUsable) OutPortByte(port + PORT_ECR, 0x24);
    if (*kind == HOST_PORT_ENHANCED_EPP) return;
    if (Ps2BidirPath(kind) == BIDIR_PATH_LAPTOP) {
        LaptopChipsetBidir();
        MachineSwitchState.Ps2ExtendedRequest = 0;
    }
    if (MachineSwitchState.Ps2ExtendedRequest) {
        OutRecovered(PS2_ADAPTER_SETUP, 0x00);
        OutRecovered(PS2_SETUP, PS2_SETUP_ON);
        uint8_t pos = InRecovered(PS2_POS2);
        OutRecovered(PS2_POS2, pos & 0x7F);
    } else {
        OutRecovered(PS2_SETUP, PS2_SETUP_ON);
        uint8_t pos = InRecovered(PS2_POS2);
        OutRecovered(PS2_POS2, pos | 0x90);
    }
    OutRecovered(PS2_SETUP, PS2_SETUP_OFF);
}

void Ps2SaveState(void)
{
    if (MachineSwitchState.Ps2Saved) return;
    OutRecovered(PS2_SETUP, PS2_SETUP_OFF);
    uint8_t outside = InRecovered(PS2_POS2);
    OutRecovered(PS2_SETUP, PS2_SETUP_ON);
    MachineSwitchState.Ps2Machine = 0;
    MachineSwitchState.Ps2Saved = 0;
    MachineSwitchState.Ps2SavedPos = InRecovered(PS2_POS2);
    if (MachineSwitchState.Ps2SavedPos == outside) {
        // No option register appeared in setup: take the board out of it.
        OutRecovered(PS2_SETUP, PS2_SETUP_OFF);
        return;
    }
    OutRecovered(PS2_POS2, 0x97);
    uint8_t readBack = InRecovered(PS2_POS2);
    OutRecovered(PS2_POS2, MachineSwitchState.Ps2SavedPos);
    OutRecovered(PS2_SETUP, PS2_SETUP_OFF);
    uint8_t isPs2 = (readBack & 0xF0) == 0x90;
    MachineSwitchState.Ps2Saved = isPs2;
    MachineSwitchState.Ps2Machine = isPs2;
}

void Ps2AltSetting(void)
{
    if (!MachineSwitchState.Ps2Machine) return;
    OutRecovered(PS2_SETUP, 0xF9);
    OutRecovered(PS2_SETUP, 0xFB);
    uint8_t pos = InRecovered(PS2_POS2);
    OutRecovered(PS2_POS2, pos & 0x7F);
    OutRecovered(PS2_SETUP, PS2_SETUP_OFF);
}

void Ps2RestoreState(void)
{
    if (!MachineSwitchState.Ps2Saved) return;
    OutRecovered(PS2_SETUP, PS2_SETUP_ON);
    OutRecovered(PS2_POS2, MachineSwitchState.Ps2SavedPos);
    OutRecovered(PS2_SETUP, PS2_SETUP_OFF);
}

// Chipset fast-bus bit: register 0x21 through the index/data pair at
// 0x22/0x23, with the chipset's own strobe at 0xC2 in between. Only where
// an index/data chipset answers there: through a mirror of the interrupt
// controller the same writes would change its mask.
void FastBusSwitch(void)
{
    if (!UnidentifiedChipsetAt22()) return;
    OutRecovered(0x22, 0x21);
    OutRecovered(0x23, 0x02);
    OutRecovered(0xC2, 0x22);
    uint8_t value = InRecovered(0x23);
    OutRecovered(0x23, value | 0x04);
}
