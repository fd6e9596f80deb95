// EPP host selection: prepares the port for hardware EPP, first on the bare
// port and then through a recognised enhanced chip, and accepts EPP only
// when EPP cycles and hand-made cycles read the adapter alike and the test
// pattern comes through in EPP. Also finds and switches the chipset whose
// configuration registers sit behind the register window at 0xF073.
#include "adapter/adapter.h"
#include "hostport/hostport.h"
#include "hostport/hostport_internal.h"
#include "link/link.h"
#include "miniport/parameters.h"
#include "platform/port_io.h"

#define RTC_INDEX 0x70
#define RTC_DATA 0x71
#define CMOS_WINDOW 0xF073
#define CMOS_WINDOW_STATUS 0xFC72
#define CMOS_WINDOW_PORT 0x2072
#define CMOS_WINDOW_KEY 0xDA
#define CMOS_WINDOW_UNPROBED 0xFF
#define CMOS_WINDOW_ABSENT 0
#define CMOS_WINDOW_PRESENT 1

static const uint8_t CmosMirrorRegisters[] = {4, 7, 9};
// Port selected by bits 10-9 of the window's port register.
static const uint16_t CmosWindowPorts[4] = {0, 0x3BC, 0x378, 0x278};

// ---- CMOS-window chipset ------------------------------------------------

// The clock keeps running: an update between the two reads of a register
// changes it, and a mirror would then read unlike the clock. A register that
// differs is read from the clock once more; if the clock now agrees with
// the window, the window followed the clock.
bool CmosWindowIsMirror(void)
{
    for (unsigned i = 0; i < sizeof(CmosMirrorRegisters); ++i) {
        OutPortByte(RTC_INDEX, CmosMirrorRegisters[i]);
        uint8_t clock = InPortByte(RTC_DATA);
        uint8_t window = InPortByte(CMOS_WINDOW);
        if (window != clock && InPortByte(RTC_DATA) != window) return false;
    }
    return true;
}

void CmosWindowUnlock(void)
{
    OutPortByte(RTC_INDEX, 9);
    uint8_t clock = InPortByte(RTC_DATA);
    uint8_t window = InPortByte(CMOS_WINDOW);
    // A second unlock in the same probe must not take the unlocked value
    // for the one to restore.
    if (!CmosWindowState.Unlocked) CmosWindowState.SavedValue = window;
    CmosWindowState.Unlocked = 1;
    OutPortByte(CMOS_WINDOW, CMOS_WINDOW_KEY);
    OutPortByte(RTC_INDEX, 9);
    OutPortByte(RTC_DATA, clock);
}

void CmosWindowRestore(void)
{
    OutPortByte(RTC_INDEX, 9);
    uint8_t clock = InPortByte(RTC_DATA);
    OutPortByte(RTC_INDEX, 9);
    OutPortByte(CMOS_WINDOW, CmosWindowState.SavedValue);
    OutPortByte(RTC_INDEX, 9);
    OutPortByte(RTC_DATA, clock);
}

bool CmosWindowPresent(void)
{
    if (CmosWindowIsMirror()) return false;
    CmosWindowUnlock();
    uint16_t first = InPortWord(CMOS_WINDOW_STATUS);
    if (!(first & 0x0001)) return false;
    uint16_t second = InPortWord(CMOS_WINDOW_STATUS);
    return ((first ^ second) & 0x8000) != 0;
}

bool CmosWindowPortIs(uint16_t port)
{
    CmosWindowUnlock();
    uint16_t selected = CmosWindowPorts[(InPortWord(CMOS_WINDOW_PORT) >> 9) & 0x03];
    if (selected == 0 || selected != port) return false;
    OutPortByte(port + PORT_EPP_ADDRESS, 6);
    uint8_t value = InPortByte(port | 7);
    return (uint8_t)~value < 0x0A;
}

void CmosWindowSwitchEpp(uint16_t port)
{
    uint8_t value = InPortByte(port + 3);
    OutPortByte(port + 3, (uint8_t)((value & 0xFD) | 0x05));
    value = InPortByte(port + 7);
    OutPortByte(port + 7, (uint8_t)((value & 0x09) | 0x32));
    value = InPortByte(port + 3);
    OutPortByte(port + 3, value | 0x07);
    OutPortByte(port + PORT_CONTROL, 0x04);
}

// ---- EPP verification ---------------------------------------------------

// Reads the data lines with the port turned to input after driving `value`.
static uint8_t ReadBackTurned(uint16_t port, uint8_t value)
{
    OutPortByte(port + PORT_DATA, value);
    uint8_t control = InPortByte(port + PORT_CONTROL);
    OutPortByte(port + PORT_CONTROL, control | 0x24);
    uint8_t lines = InPortByte(port + PORT_DATA);
    OutPortByte(port + PORT_CONTROL, control);
    return lines;
}

static const uint8_t HandReadControl[] = {0x04, 0x0C, 0x04, 0x24, 0x26};

bool CompareEppCycle(uint16_t port, uint8_t reg)
{
    if (CmosWindowState.State == CMOS_WINDOW_PRESENT) return true;
    CmosWindowState.Unlocked = 0;
    if (CmosWindowState.State == CMOS_WINDOW_UNPROBED) {
        if (CmosWindowPresent() && CmosWindowPortIs(port)) {
            CmosWindowSwitchEpp(port);
            LinkState.HostPortKind = HOST_PORT_ENHANCED_EPP;
            CmosWindowState.State = CMOS_WINDOW_PRESENT;
            LinkState.Epp32Usable = 1;
            return true;
        }
        if (CmosWindowState.Unlocked) CmosWindowRestore();
        CmosWindowState.State = CMOS_WINDOW_ABSENT;
    }

    // Data lines that cannot turn around leave nothing to compare.
    if (ReadBackTurned(port, 0xAA) == 0xAA && ReadBackTurned(port, 0x55) == 0x55) return true;

    OutPortByte(port + PORT_DATA, reg);
    for (unsigned i = 0; i < sizeof(HandReadControl); ++i)
        OutPortByte(port + PORT_CONTROL, HandReadControl[i]);
    uint8_t handMade = InPortByte(port + PORT_DATA);
    OutPortByte(port + PORT_CONTROL, 0x04);

    OutPortByte(port + PORT_DATA, (uint8_t)~InPortByte(port + PORT_DATA));
    uint8_t savedAddress = InPortByte(port + PORT_EPP_ADDRESS);

    OutPortByte(port + PORT_EPP_ADDRESS, reg);
    uint8_t control = InPortByte(port + PORT_CONTROL);
    OutPortByte(port + PORT_CONTROL, (uint8_t)((control & 0x1F) | 0x20));
    uint8_t epp = InPortByte(port + PORT_EPP_DATA);
    if (handMade == epp) {
        OutPortByte(port + PORT_CONTROL, control & 0x1F);
        return true;
    }
    OutPortByte(port + PORT_EPP_ADDRESS, savedAddress);
    return false;
}

bool VerifyEpp(uint16_t port)
{
    SetLinkModes(RM_EPP8, WM_EPP8);
    RawIdProbe(port);
    bool passed = CompareEppCycle(port, 1) && CompareEppCycle(port, 6) && PatternTest(port);
    OutPortByte(port + PORT_DATA, 0x00);
    if (HostChipState.NsChipFound) NsSetPrinterControlBit1(false);
    LinkSendNormalCode(port);
    return passed;
}

// ---- Preparation and selection ------------------------------------------

// Steps shared by both preparations: normal code, safe modes, register
// 0x83, EPP select, and the PS/2 board exclusion.
static bool PrepareCommon(void)
{
    LinkSendNormalCode(PortBase);
    SetLinkModes(RM_NIBBLE_SLOW, WM_BYTE_SLOW);
    LinkLoadReg83();
    if (PortBase == 0x3BC) return false;
    EnhancedSelect(PortBase);
    if (Ps2Detect()) {
        OutPortByte(PortBase + PORT_EPP_ADDRESS, 0x02);
        if (InPortByte(PortBase + PORT_EPP_ADDRESS) == 0xC2) {
            OutPortByte(PortBase + PORT_DATA, 0x00);
            LinkSendNormalCode(PortBase);
        }
        return false;
    }
    return true;
}

bool PrepareEppCheck(void)
{
    return PrepareCommon();
}

bool PrepareChipEppCheck(void)
{
    if (!PrepareCommon()) return false;
    if (!LinkState.EcrPresent && !HostChipState.NsChipFound &&
        !HostChipState.WinbondChipFound && !HostChipState.PciChipFound) {
        HostChipState.HostHasEpp = 0;
        LinkState.HostPortKind = HOST_PORT_PLAIN;
        return !MachineExtendedSwitch(PortBase, &LinkState.HostPortKind);
    }
    if (HostChipState.NsChipFound) NsSetPrinterControlBit1(true);
    return true;
}

bool TryDirectEpp(void)
{
    if (!PrepareEppCheck()) return false;
    if (!VerifyEpp(PortBase)) return false;
    ProbeNsChip(PortBase);
    if (!HostChipState.NsChipFound) Epp32Probe();
    LinkState.HostPortKind = HOST_PORT_ENHANCED_EPP;
    HostChipState.HostHasEpp = 1;
    return true;
}

bool TryChipEpp(void)
{
    if (!MachinePortSetup(PortBase)) return false;
    if (!PrepareChipEppCheck()) return false;
    return VerifyEpp(PortBase);
}

static void ApplyEpp32Switches(void)
{
    if (DriverParameters.Epp32On) LinkState.Epp32Usable = 1;
    if (DriverParameters.Epp32Off) LinkState.Epp32Usable = 0;
}

uint8_t SelectEppHost(void)
{
    if (TryDirectEpp()) {
        ApplyEpp32Switches();
        LinkState.HostPortKind = HOST_PORT_ENHANCED_EPP;
        return 0;
    }
    if (TryChipEpp()) {
        ApplyEpp32Switches();
        LinkState.HostPortKind = HOST_PORT_ENHANCED;
        return 0;
    }
    if (HostChipState.NsChipFound) NsRestore(HostChipState.NsIndexPort);
    LinkState.HostPortKind = HOST_PORT_PLAIN;
    return MachineSwitchState.Ps2Machine ? 1 : 2;
}
