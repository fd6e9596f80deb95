// Ownership of the parallel port around each request: wake-up pattern,
// code strobes, enhanced select, identity checks, the interrupt-wait state,
// and giving the port back as it was found.
#include "adapter/adapter.h"
#include "hostport/hostport.h"
#include "link/link.h"
#include "link/link_io.h"
#include "miniport/parameters.h"
#include "platform/port_io.h"

#define CODE_NORMAL 0x00
#define CODE_ENHANCED 0x0A
#define CODE_RESET 0x88


// The data-line values of the wake-up pattern, each held for three writes.
static const uint8_t WakePattern[5] = {0xA0, 0x50, 0xC0, 0x30, 0xA0};

void AdapterWake(uint16_t port)
{
    OutRepeat((uint16_t)(port + PORT_CONTROL), 0x04, 3);
    for (uint32_t i = 0; i < sizeof(WakePattern); ++i) OutRepeat(port, WakePattern[i], 3);
}

void AdapterSendCode(uint16_t port, uint8_t code)
{
    uint16_t control = (uint16_t)(port + PORT_CONTROL);
    uint8_t irqEnable = (uint8_t)(InPortByte(control) & 0x10);
    OutRepeat(port, code, 2);
    OutRepeat(control, (uint8_t)(irqEnable | 0x01), 4);
    OutRepeat(control, (uint8_t)(irqEnable | 0x04), 4);
}

void LinkSendNormalCode(uint16_t port)
{
    AdapterSendCode(port, CODE_NORMAL);
}

void EnhancedSelect(uint16_t port)
{
    if (LinkState.EcrPresent) {
        OutPortByte((uint16_t)(port + PORT_ECR), ECR_EPP_MODE);
        LinkState.EcrAcquireValue = ECR_EPP_MODE;
    }
    AdapterSendCode(port, CODE_ENHANCED);
}

void PortIdle(uint16_t port)
{
    uint16_t control = (uint16_t)(port + PORT_CONTROL);
    OutRepeat(port, 0x00, 2);
    OutRepeat(control, 0x01, 2);
    OutRepeat(control, 0x04, 2);
    OutRepeat(control, 0x0C, 2);
}

void AdapterDetachPlain(uint16_t port, uint8_t kind)
{
    if (kind != HOST_PORT_PLAIN) return;
    AdapterSendCode(port, CODE_NORMAL);
    OutRepeat((uint16_t)(port + PORT_CONTROL), 0x04, 4);
    PortIdle(port);
}

void AdapterReset(uint16_t port)
{
    uint16_t control = (uint16_t)(port + PORT_CONTROL);
    OutPortByte(control, 0x04);
    AdapterSendCode(port, CODE_RESET);
    DelayMilliseconds(100);
    AdapterSendCode(port, CODE_NORMAL);
    DelayMilliseconds(100);
    DelayMilliseconds(1000);
    OutPortByte(control, 0x0C);
}

void ArmPortInterrupt(uint16_t port)
{
    uint16_t control = (uint16_t)(port + PORT_CONTROL);
    OutPortByte(control, (uint8_t)((InPortByte(control) & 0x0F) | 0x10));
    if (LinkState.HostPortKind == HOST_PORT_PLAIN) AdapterSendCode(port, LinkState.IrqWaitCode);
}

void AdapterQuiesce(void)
{
    uint8_t reg = LinkState.HostPortKind != HOST_PORT_PLAIN ? ADAPTER_REG_ENHANCED_CONTROL
                                                            : ADAPTER_REG_PLAIN_CONTROL;
    ModeWriteRegister(reg, 0x10);
}

// Reads adapter register 0x82 with a fixed handshake of its own, the same
// in every transfer mode.
uint8_t RawIdRead(uint16_t port)
{
    uint16_t control = (uint16_t)(port + PORT_CONTROL);
    OutPortByte(port, ADAPTER_REG_IDENTITY);
    OutPortByte(control, 0x04);
    OutRepeat(control, 0x0C, 2);
    OutPortByte(control, 0x04);
    OutRepeat(control, 0x24, 2);
    OutRepeat(control, 0x26, 2);
    uint8_t value = InPortByte(port);
    OutPortByte(control, 0x04);
    return value;
}

bool RawIdProbe(uint16_t port)
{
    LinkState.RawIdCheck = RawIdRead(port) == LinkState.AdapterIdValue;
    return LinkState.RawIdCheck != 0;
}

bool AdapterIdCheck(void)
{
    if (LinkState.HostPortKind != HOST_PORT_PLAIN && LinkState.RawIdCheck &&
        RawIdRead(PortBase) != LinkState.AdapterIdValue)
        return false;
    return ModeReadRegister(ADAPTER_REG_IDENTITY) == LinkState.AdapterIdValue;
}

// The link switches the ECR only on enhanced ports, and under the same
// condition at acquire and release: whatever release sets (the saved value,
// SPP on a Winbond chip) the next acquire undoes. A plain port keeps the ECR
// mode host port setup left; a bidirectional mode 8/9 port needs it, and
// SPP set at release with nothing to undo it would leave its data lines
// output-only for good.
static bool LinkOwnsEcr(void)
{
    return LinkState.HostPortKind != HOST_PORT_PLAIN;
}

uint32_t LinkAcquire(void)
{
    if (LinkState.InterruptWait) return LINK_OK;
    if (LinkState.Acquired) return LINK_ALREADY_ACQUIRED;
    LinkState.Acquired = 1;

    uint8_t kind = LinkState.HostPortKind;
    uint16_t control = (uint16_t)(PortBase + PORT_CONTROL);
    uint16_t ecr = (uint16_t)(PortBase + PORT_ECR);
    if (kind == HOST_PORT_CHIPSET_GATED) ChipsetGate(CHIPSET_GATE_NORMAL);
    LinkState.SavedData = InPortByte(PortBase);
    LinkState.SavedControl = InPortByte(control);
    OutRepeat(control, 0x04, 2);
    AdapterWake(PortBase);
    AdapterSendCode(PortBase, CODE_NORMAL);
    if (kind != HOST_PORT_PLAIN) {
        EnhancedSelect(PortBase);
        if (kind == HOST_PORT_CHIPSET_GATED) ChipsetGate(CHIPSET_GATE_ENHANCED);
    }
    if (MachineSwitchState.Ps2PrepDone) OutPortByte((uint16_t)(PortBase + PORT_EPP_ADDRESS), 0x02);
    if (LinkOwnsEcr() && LinkState.EcrPresent) OutPortByte(ecr, LinkState.EcrAcquireValue);
    if (kind != HOST_PORT_PLAIN) NsSetPrinterMode(NS_PRINTER_EPP_V19);
    if (LinkOwnsEcr() && HostChipState.WinbondChipFound) OutPortByte(ecr, ECR_EPP_MODE);
    if (!AdapterIdCheck()) {
        LinkState.Acquired = 0;
        return LINK_NO_ADAPTER;
    }
    return LINK_OK;
}

uint32_t LinkRelease(void)
{
    if (LinkState.InterruptWait) {
        ArmPortInterrupt(PortBase);
        return LINK_OK;
    }
    if (!LinkState.Acquired) return LINK_NOT_ACQUIRED;
    LinkState.Acquired = 0;

    uint16_t ecr = (uint16_t)(PortBase + PORT_ECR);
    NsSetPrinterMode(NS_PRINTER_EPP);
    AdapterQuiesce();
    if (LinkState.HostPortKind == HOST_PORT_CHIPSET_GATED) ChipsetGate(CHIPSET_GATE_NORMAL);
    AdapterSendCode(PortBase, CODE_NORMAL);
    OutPortByte(PortBase, LinkState.SavedData);
    OutPortByte((uint16_t)(PortBase + PORT_CONTROL), (uint8_t)(LinkState.SavedControl & 0x1F));
    if (LinkOwnsEcr()) {
        if (LinkState.EcrPresent) OutPortByte(ecr, LinkState.EcrSavedValue);
        if (HostChipState.WinbondChipFound) OutPortByte(ecr, ECR_SPP_MODE);
    }
    return LINK_OK;
}

void LinkBeginInterruptWait(void)
{
    LinkState.InterruptWait = 1;
}

void LinkInterruptAck(void)
{
}

void LinkEndInterruptWait(void)
{
    LinkState.InterruptWait = 0;
}

uint32_t LinkInterruptPending(void)
{
    if (!LinkState.InterruptWait) return LINK_NO_INTERRUPT;
    uint8_t status = InPortByte((uint16_t)(PortBase + PORT_STATUS));
    bool signalled = LinkState.HostPortKind == HOST_PORT_PLAIN ? (status & 0x08) == 0
                                                               : (status & 0x40) != 0;
    return signalled ? LINK_OK : LINK_NO_INTERRUPT;
}

void WriteModeByte(void)
{
    OutPortByte(PortBase, (uint8_t)(DriverParameters.ReadMode * 16 + DriverParameters.WriteMode));
}

uint32_t LinkProbeAdapter(uint32_t* probeRecord)
{
    if (!InitAdapterOnPorts((uint16_t)probeRecord[0])) return LINK_NO_ADAPTER;
    probeRecord[0] = PortBase;
    probeRecord[2] = ((uint32_t)DriverParameters.ReadMode << 8) | DriverParameters.WriteMode;
    probeRecord[3] = 1;
    return LINK_OK;
}
