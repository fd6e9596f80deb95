// Adapter detection and bring-up on one parallel port: wake, reset and
// identify the adapter, negotiate the modes, check the chosen pair through
// an ATA register and the test pattern, and fall back to the negotiated
// pair when the configured one cannot work. A port given up on is left as
// it was found, since it is also the machine's printer port.
#include "adapter/adapter.h"
#include "hostport/hostport.h"
#include "link/link.h"
#include "miniport/parameters.h"
#include "platform/port_io.h"

static const uint16_t CandidatePorts[] = {0x378, 0x3BC, 0x278, 0};

// The port as detection found it, put back when detection gives up.
struct PortAsFoundRecord {
    uint8_t Data;
    uint8_t Control;
    uint8_t Ecr;
    uint8_t HostPortKind;
    uint8_t ReadMode;
    uint8_t WriteMode;
};
static PortAsFoundRecord PortAsFound;
// The adapter answered the echo and identity tests on the port being tried.
static bool AdapterAnswered;

static void RecordPortAsFound(uint16_t port)
{
    PortAsFound.Data = InPortByte(port + PORT_DATA);
    PortAsFound.Control = InPortByte(port + PORT_CONTROL);
    PortAsFound.Ecr = InPortByte(port + PORT_ECR);
    PortAsFound.HostPortKind = LinkState.HostPortKind;
    PortAsFound.ReadMode = DriverParameters.ReadMode;
    PortAsFound.WriteMode = DriverParameters.WriteMode;
}

// Detection failed on this port: undo what it changed and report failure.
static bool AbandonPort(uint16_t port)
{
    if (AdapterAnswered) AdapterSendCode(port, 0x00);  // adapter back to normal mode
    OutPortByte(port + PORT_DATA, PortAsFound.Data);
    OutPortByte(port + PORT_CONTROL, PortAsFound.Control & 0x1F);
    if (LinkState.EcrPresent || HostChipState.HostEcrUsable || HostChipState.WinbondChipFound)
        OutPortByte(port + PORT_ECR, PortAsFound.Ecr);
    HostPortUndoChanges();
    LinkState.HostPortKind = PortAsFound.HostPortKind;
    DriverParameters.ReadMode = PortAsFound.ReadMode;
    DriverParameters.WriteMode = PortAsFound.WriteMode;
    return false;
}

static bool IsEpp32Pair(uint8_t readMode, uint8_t writeMode)
{
    return readMode == RM_EPP32 || writeMode == WM_EPP32;
}

static bool IsEppPair(uint8_t readMode, uint8_t writeMode)
{
    return IsEpp32Pair(readMode, writeMode) || readMode == RM_EPP8 || writeMode == WM_EPP8;
}

static uint8_t EnhancedKind(void)
{
    return HostChipState.HostHasEpp ? HOST_PORT_ENHANCED_EPP : HOST_PORT_ENHANCED;
}

static void ChipsetPortEnhanced(uint8_t value)
{
    if (LinkState.HostPortKind == HOST_PORT_CHIPSET_GATED) ChipsetGate(value);
}

// Puts the adapter into its EPP mode from the safe modes: register 0x83,
// normal code, the National Semiconductor EPP bits around the select.
static void AdapterEnterEpp(uint16_t port)
{
    SetLinkModes(RM_NIBBLE_SLOW, WM_BYTE_SLOW);
    ModeWriteRegister(ADAPTER_REG_CONFIG, DriverParameters.Reg83Param);
    AdapterSendCode(port, 0x00);
    NsSetPrinterMode(NS_PRINTER_EPP);
    EnhancedSelect(port);
    NsSetPrinterMode(NS_PRINTER_EPP_V19);
}

// The acceptance of a pair: the sector count register echoes two series of
// values and the test pattern comes through (a second time with 8-bit EPP
// blocks only).
static bool AcceptPair(uint16_t port, uint8_t readMode, uint8_t writeMode)
{
    AdapterDetachPlain(port, LinkState.HostPortKind);
    SetLinkModes(readMode, writeMode);
    ModeWriteRegister(ATA_REG_DRIVE_HEAD, 0xA0);
    if (!RegisterEchoTest(port, ATA_REG_SECTOR_COUNT, 0x80)) {
        ModeWriteRegister(ATA_REG_SECTOR_COUNT, 0);
        return false;
    }
    bool echoed = RegisterEchoTest(port, ATA_REG_SECTOR_COUNT, 0xEC);
    ModeWriteRegister(ATA_REG_SECTOR_COUNT, 0);
    if (!echoed) return false;
    if (PatternTest(port)) return true;
    if (readMode < RM_EPP8 && LinkState.Epp32Disabled) return false;
    LinkState.Epp32Disabled = 1;
    SetLinkModes(readMode, writeMode);
    return PatternTest(port);
}

// Modes that cannot work on this port: on 0x3BC no EPP and no byte-wide
// mode with bit 7 (their registers lie outside its three-port range).
static bool PairUsableOn(uint16_t port, uint8_t readMode, uint8_t writeMode)
{
    if (port != 0x3BC) return true;
    if (readMode == RM_BYTE7_FAST || readMode == RM_BYTE7_SLOW) return false;
    return !IsEppPair(readMode, writeMode);
}

bool FallBackToFoundModes(uint16_t port)
{
    AdapterInitStateRecord& state = AdapterInitState;
    if (state.FoundWriteMode == NO_MODE || state.FoundReadMode == NO_MODE) return false;
    uint8_t readMode = state.FoundReadMode;
    uint8_t writeMode = state.FoundWriteMode;
    bool substituted = !PairUsableOn(port, readMode, writeMode);
    if (substituted) {
        readMode = RM_NIBBLE_SLOW;
        writeMode = WM_BYTE_SLOW;
    }
    DriverParameters.ReadMode = readMode;
    DriverParameters.WriteMode = writeMode;
    bool epp = readMode == RM_EPP8 || readMode == RM_EPP32;
    if (DriverParameters.ModesForced || substituted)
        LinkState.HostPortKind = epp ? HOST_PORT_ENHANCED : HOST_PORT_PLAIN;
    SetLinkModes(readMode, writeMode);
    if (epp) {
        if (HostChipState.HostHasEpp == 1) LinkState.HostPortKind = HOST_PORT_ENHANCED_EPP;
        MachineExtendedSwitch(port, &LinkState.HostPortKind);
        ChipsetPortEnhanced(CHIPSET_GATE_ENHANCED);
        AdapterEnterEpp(port);
    }
    // The found pair was only pattern-tested (or, without negotiation, not
    // tested at all): it must pass the full acceptance before it stands.
    if (!AcceptPair(port, readMode, writeMode)) return false;
    state.Initialised = 1;
    AdapterQuiesce();
    AdapterSendCode(port, 0x00);
    return true;
}

// Falls back after the pair (readMode, writeMode) failed its acceptance:
// when that pair is the found one there is nothing left to fall back to.
static bool FallBackAfterFailure(uint16_t port, uint8_t readMode, uint8_t writeMode)
{
    if (AdapterInitState.FoundReadMode == readMode && AdapterInitState.FoundWriteMode == writeMode)
        return false;
    return FallBackToFoundModes(port);
}

// The chipset's EPP pair was taken without a test and has now failed it:
// switch the chipset's port back, take the adapter out of EPP and
// negotiate as on any other machine, so that the port ends in a pair that
// works rather than in no adapter at all.
static bool RenegotiateAfterShortcut(uint16_t port)
{
    if (!ChipsetShortcutTaken || DriverParameters.ModesForced) return false;
    ChipsetShortcutTaken = false;
    LinkState.HostPortKind = HOST_PORT_CHIPSET_GATED;
    ChipsetPortEnhanced(CHIPSET_GATE_NORMAL);
    LinkState.HostPortKind = HOST_PORT_PLAIN;
    SetLinkModes(RM_NIBBLE_SLOW, WM_BYTE_SLOW);
    AdapterSendCode(port, 0x00);
    LinkState.Epp32Disabled = 1;
    NegotiateWithoutShortcut(&AdapterInitState.FoundReadMode, &AdapterInitState.FoundWriteMode);
    LinkState.Epp32Disabled = 0;
    if (AdapterInitState.FoundReadMode == NO_MODE) return false;
    return FallBackToFoundModes(port);
}

bool IdentifyAdapter(uint16_t port)
{
    uint8_t kind = LinkState.HostPortKind;
    SetLinkModes(RM_NIBBLE_SLOW, WM_BYTE_SLOW);
    LinkState.HostPortKind = HOST_PORT_PLAIN;
    if (!NibbleEchoTest(port)) {
        LinkState.HostPortKind = kind;
        return false;
    }
    AdapterDetachPlain(port, LinkState.HostPortKind);
    LinkState.AdapterIdValue = ModeReadRegister(ADAPTER_REG_IDENTITY);
    if ((LinkState.AdapterIdValue & 0xF0) != 0xA0) {
        PortIdle(port);
        return false;
    }
    AdapterAnswered = true;
    ModeWriteRegister(ATA_REG_DRIVE_HEAD, 0xA0);
    LinkState.Epp32Disabled = 1;
    OutPortByte(port + PORT_CONTROL, 0x04);
    ChipsetShortcutTaken = false;
    if (DriverParameters.NoModeNegotiation) {
        AdapterInitState.FoundReadMode = DriverParameters.ReadMode;
        AdapterInitState.FoundWriteMode = DriverParameters.WriteMode;
    } else {
        NegotiateModes(&AdapterInitState.FoundReadMode, &AdapterInitState.FoundWriteMode);
    }
    LinkState.Epp32Disabled = 0;
    if (!AdapterInitState.Initialised && !DriverParameters.ModesForced) {
        DriverParameters.ReadMode = AdapterInitState.FoundReadMode;
        DriverParameters.WriteMode = AdapterInitState.FoundWriteMode;
        if (AdapterInitState.FoundReadMode == RM_EPP8) LinkState.HostPortKind = HOST_PORT_ENHANCED;
    }
    uint8_t readMode = DriverParameters.ReadMode;
    uint8_t writeMode = DriverParameters.WriteMode;
    SetLinkModes(readMode, writeMode);
    if (IsEpp32Pair(readMode, writeMode)) {
        readMode = RM_EPP32;
        writeMode = WM_EPP32;
    } else if (IsEppPair(readMode, writeMode)) {
        readMode = RM_EPP8;
        writeMode = WM_EPP8;
    } else {
        LinkState.HostPortKind = HOST_PORT_PLAIN;
        LaptopChipsetRestore();
        if (readMode == RM_BIDIR_FAST || readMode == RM_BIDIR_SLOW) {
            // A PS/2 board's port turns round only in its extended mode
            // (option register 2 bit 7 clear); setting bits 7 and 4 merely
            // enables it as an output-only port.
            if (Ps2Detect()) MachineSwitchState.Ps2ExtendedRequest = 1;
            Ps2BidirEnable(port, &LinkState.HostPortKind);
        }
        return true;
    }
    AdapterEnterEpp(port);
    LinkState.HostPortKind = EnhancedKind();
    MachineExtendedSwitch(port, &LinkState.HostPortKind);
    ChipsetPortEnhanced(CHIPSET_GATE_ENHANCED);
    SetLinkModes(readMode, writeMode);
    return true;
}

bool InitAdapter(uint16_t port)
{
    if (AdapterInitState.Initialised) return false;
    PortBase = port;
    AdapterAnswered = false;
    RecordPortAsFound(port);
    MachineChipsetCheck(port, &LinkState.HostPortKind);
    ChipsetPortEnhanced(CHIPSET_GATE_NORMAL);
    Ps2PortPreparation(port);

    uint8_t control = InPortByte(port + PORT_CONTROL);
    LinkState.SavedControl = control & 0x1F;
    OutPortByte(port + PORT_CONTROL, control & 0x0F);
    AdapterWake(port);
    AdapterWake(port);
    uint8_t kind = LinkState.HostPortKind;
    LinkState.HostPortKind = HOST_PORT_PLAIN;
    AdapterDetachPlain(port, HOST_PORT_PLAIN);
    AdapterReset(port);
    LinkState.HostPortKind = kind;

    if (!IdentifyAdapter(port)) return AbandonPort(port);
    AdapterInitStateRecord& state = AdapterInitState;
    if (state.FoundWriteMode == NO_MODE || state.FoundReadMode == NO_MODE) return AbandonPort(port);

    uint8_t readMode = DriverParameters.ReadMode;
    uint8_t writeMode = DriverParameters.WriteMode;
    bool fallBack = false;
    if (readMode == RM_BYTE7_FAST || readMode == RM_BYTE7_SLOW)
        fallBack = port == 0x3BC || state.FoundReadMode == RM_EPP8;
    else if (IsEppPair(readMode, writeMode))
        fallBack = port == 0x3BC || state.FoundReadMode != RM_EPP8;
    if (fallBack) return FallBackToFoundModes(port) || AbandonPort(port);

    if (!AcceptPair(port, readMode, writeMode))
        return FallBackAfterFailure(port, readMode, writeMode) || RenegotiateAfterShortcut(port) ||
               AbandonPort(port);

    state.Initialised = 1;
    if (IsEppPair(readMode, writeMode)) {
        if (IsEpp32Pair(readMode, writeMode)) {
            readMode = RM_EPP32;
            writeMode = WM_EPP32;
        } else {
            readMode = RM_EPP8;
            writeMode = WM_EPP8;
        }
        LinkState.HostPortKind = EnhancedKind();
        MachineExtendedSwitch(port, &LinkState.HostPortKind);
        SetLinkModes(readMode, writeMode);
        ChipsetPortEnhanced(CHIPSET_GATE_NORMAL);
    } else {
        // AcceptPair has left the link in this pair already.
        LinkState.HostPortKind = HOST_PORT_PLAIN;
    }
    DriverParameters.ReadMode = readMode;
    DriverParameters.WriteMode = writeMode;
    AdapterQuiesce();
    AdapterSendCode(port, 0x00);
    return true;
}

bool InitAdapterOnPorts(uint16_t port)
{
    if (port != 0) {
        PortBase = port;
        return InitAdapter(port);
    }
    for (int i = 0; CandidatePorts[i] != 0; ++i) {
        PortBase = CandidatePorts[i];
        if (InitAdapter(PortBase)) return true;
    }
    return false;
}
