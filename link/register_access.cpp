// Reading and writing one adapter register in every transfer mode. Each
// strobed mode puts an address byte on the data lines, clocks it in with
// the control lines, then moves the value; the slower modes of a family
// repeat the same accesses more often. The repetition counts below are the
// adapter's timing and are reproduced exactly.
#include "hostport/hostport.h"
#include "link/link.h"
#include "link/link_io.h"
#include "platform/port_io.h"

// The address byte of a register: A = (r OR orBits) XOR xorBits. The
// cycle bits select the adapter's cycle class; toggling bit 0 keeps odd and
// even registers apart in every strobed mode.
struct AddressBits {
    uint8_t OrBits;
    uint8_t XorBits;
};

static const AddressBits ReadAddressTable[12] = {
    {0x38, 0x01}, {0x38, 0x01}, {0x38, 0x01},  // nibble
    {0x30, 0x01}, {0x30, 0x01}, {0x30, 0x01},  // five plus three
    {0x28, 0x01}, {0x28, 0x01},                // byte with control bit 7
    {0x28, 0x01}, {0x28, 0x01},                // bidirectional
    {0x00, 0x00}, {0x00, 0x00},                // EPP
};

static const AddressBits WriteAddressTable[5] = {
    {0x18, 0x01}, {0x18, 0x01}, {0x18, 0x01},  // strobed byte
    {0x40, 0x00}, {0x40, 0x00},                // EPP
};

static uint8_t ReadAddress(uint32_t mode, uint8_t reg)
{
    return (uint8_t)((reg | ReadAddressTable[mode].OrBits) ^ ReadAddressTable[mode].XorBits);
}

static uint8_t WriteAddress(uint32_t mode, uint8_t reg)
{
    return (uint8_t)((reg | WriteAddressTable[mode].OrBits) ^ WriteAddressTable[mode].XorBits);
}

// --- Nibble reads, modes 0 to 2.
struct NibbleRegisterTiming {
    uint8_t DataAddress, Strobe, Feed, DataSelect, Status, Release;
};
static const NibbleRegisterTiming NibbleRegister[3] = {
    {1, 1, 1, 1, 1, 1},
    {1, 2, 1, 1, 1, 1},
    {3, 3, 3, 3, 2, 3},
};

static uint8_t ReadNibbleRegister(uint32_t mode, uint8_t reg)
{
    const NibbleRegisterTiming& t = NibbleRegister[mode];
    uint16_t data = PortBase, status = (uint16_t)(PortBase + PORT_STATUS);
    uint16_t control = (uint16_t)(PortBase + PORT_CONTROL);
    uint8_t a = ReadAddress(mode, reg);
    OutRepeat(data, a, t.DataAddress);
    OutRepeat(control, 0x01, t.Strobe);
    OutRepeat(control, 0x03, t.Feed);
    OutRepeat(data, (uint8_t)(a | 0x40), t.DataSelect);
    uint8_t low = InRepeat(status, t.Status);
    OutRepeat(control, 0x01, t.Strobe);
    uint8_t high = InRepeat(status, t.Status);
    OutRepeat(control, 0x04, t.Release);
    return (uint8_t)((low >> 4) | (high & 0xF0));
}

// --- Five plus three reads, modes 3 to 5.
struct FiveThreeRegisterTiming {
    uint8_t DataAddress, Strobe, DataLow, Feed, Init, DataHigh, Release;
};
static const FiveThreeRegisterTiming FiveThreeRegister[3] = {
    {1, 2, 1, 1, 2, 1, 1},
    {1, 2, 1, 1, 2, 1, 1},
    {2, 3, 3, 3, 3, 3, 3},
};

static uint8_t ReadFiveThreeRegister(uint32_t mode, uint8_t reg)
{
    const FiveThreeRegisterTiming& t = FiveThreeRegister[mode - RM_53_FAST];
    uint16_t data = PortBase, status = (uint16_t)(PortBase + PORT_STATUS);
    uint16_t control = (uint16_t)(PortBase + PORT_CONTROL);
    uint8_t a = ReadAddress(mode, reg);
    OutRepeat(data, a, t.DataAddress);
    OutRepeat(control, 0x01, t.Strobe);
    OutRepeat(data, (uint8_t)(a & 0x7F), t.DataLow);
    OutRepeat(control, 0x03, t.Feed);
    OutRepeat(control, 0x05, t.Init);
    OutRepeat(data, (uint8_t)(a | 0xC0), t.DataHigh);
    uint8_t s = InPortByte(status);
    uint8_t c = InPortByte(control);
    OutRepeat(control, 0x04, t.Release);
    return (uint8_t)(((s >> 3) & 0x1F) | (((c >> 1) & 0x07) << 5));
}

// --- Eight-bit reads. Modes 6/7 turn the data lines with a write of 0x01
// to base+7 and control bit 7; modes 8/9 with the direction bit 5.
struct ByteRegisterTiming {
    bool PortSeven;  // turn by base+7 (else by CONTROL <- 0x21)
    uint8_t Sample;  // control value while the adapter drives the lines
    uint8_t DataAddress, Strobe, Turn, SampleWrites, ReadData, Release;
};
static const ByteRegisterTiming ByteRegister[4] = {
    {true, 0x83, 1, 1, 1, 1, 1, 1},
    {true, 0x83, 3, 3, 3, 3, 3, 3},
    {false, 0x23, 1, 1, 2, 1, 1, 1},
    {false, 0x23, 3, 3, 3, 3, 3, 3},
};

static uint8_t ReadByteRegister(uint32_t mode, uint8_t reg)
{
    const ByteRegisterTiming& t = ByteRegister[mode - RM_BYTE7_FAST];
    uint16_t data = PortBase, control = (uint16_t)(PortBase + PORT_CONTROL);
    OutRepeat(data, ReadAddress(mode, reg), t.DataAddress);
    OutRepeat(control, 0x01, t.Strobe);
    if (t.PortSeven)
        OutRepeat((uint16_t)(PortBase + 7), 0x01, t.Turn);
    else
        OutRepeat(control, 0x21, t.Turn);
    OutRepeat(control, t.Sample, t.SampleWrites);
    uint8_t value = InRepeat(data, t.ReadData);
    OutRepeat(control, 0x04, t.Release);
    return value;
}

// --- EPP reads, modes 10 and 11.
static uint8_t ReadEppRegister(uint8_t reg)
{
    EppAddressCycle(reg, false);
    PortDirectionInput();
    uint8_t value = InPortByte((uint16_t)(PortBase + PORT_EPP_DATA));
    PortDirectionOutput();
    return value;
}

uint8_t ModeReadRegister(uint8_t reg)
{
    uint32_t mode = LinkState.LinkReadMode;
    if (mode > RM_EPP32) mode = RM_NIBBLE_SLOW;
    if (mode <= RM_NIBBLE_SLOW) return ReadNibbleRegister(mode, reg);
    if (mode <= RM_53_SLOW) return ReadFiveThreeRegister(mode, reg);
    if (mode <= RM_BIDIR_SLOW) return ReadByteRegister(mode, reg);
    return ReadEppRegister(reg);
}

// --- Strobed writes, modes 0 to 2.
struct StrobedWriteTiming {
    uint8_t DataAddress, Strobe, DataValue, Feed, Release;
};
static const StrobedWriteTiming StrobedWrite[3] = {
    {1, 2, 1, 2, 1},
    {1, 2, 1, 2, 1},
    {2, 2, 2, 2, 2},
};

static void WriteStrobedRegister(uint32_t mode, uint8_t reg, uint8_t value)
{
    const StrobedWriteTiming& t = StrobedWrite[mode];
    uint16_t data = PortBase, control = (uint16_t)(PortBase + PORT_CONTROL);
    OutRepeat(data, WriteAddress(mode, reg), t.DataAddress);
    OutRepeat(control, 0x01, t.Strobe);
    OutRepeat(data, value, t.DataValue);
    OutRepeat(control, 0x03, t.Feed);
    OutRepeat(control, 0x04, t.Release);
}

// --- EPP writes, modes 3 and 4. The data register is 16 bits wide on the
// drive side: a byte written to it goes out twice to fill both halves.
static void WriteEppRegister(uint32_t mode, uint8_t reg, uint8_t value)
{
    uint16_t eppData = (uint16_t)(PortBase + PORT_EPP_DATA);
    EppAddressCycle(WriteAddress(mode, reg), false);
    OutPortByte(eppData, value);
    if (reg == ATA_REG_DATA) OutPortByte(eppData, value);
}

void ModeWriteRegister(uint8_t reg, uint8_t value)
{
    uint32_t mode = LinkState.LinkWriteMode;
    if (mode <= WM_BYTE_SLOW)
        WriteStrobedRegister(mode, reg, value);
    else if (mode <= WM_EPP32)
        WriteEppRegister(mode, reg, value);
}

// --- Ownership-tested access, as the ATA layer uses it.
static uint8_t AdapterRegisterNumber(uint32_t reg)
{
    return reg == ATA_REG_ALT_STATUS ? (uint8_t)ADAPTER_REG_CONTROL_BLOCK : (uint8_t)reg;
}

uint32_t LinkReadRegister(uint32_t reg)
{
    if (LinkState.Acquired != 1) return LINK_NOT_ACQUIRED;
    return ModeReadRegister(AdapterRegisterNumber(reg));
}

uint32_t LinkWriteRegister(uint32_t reg, uint32_t value)
{
    if (LinkState.Acquired != 1) return LINK_NOT_ACQUIRED;
    ModeWriteRegister(AdapterRegisterNumber(reg), (uint8_t)value);
    return LINK_OK;
}

bool SetLinkModes(uint8_t readMode, uint8_t writeMode)
{
    LinkState.LinkReadMode = readMode;
    LinkState.LinkWriteMode = writeMode;
    return true;
}

void LinkLoadReg83(void)
{
    ModeWriteRegister(ADAPTER_REG_CONFIG, LinkState.Reg83Value);
}

uint32_t LinkDriveInterrupt(void)
{
    if (LinkState.Acquired != 1) return LINK_NO_DRIVE_IRQ;
    uint8_t status = ModeReadRegister(ADAPTER_REG_STATUS);
    return (status & ADAPTER_STATUS_DRIVE_IRQ) ? 1u : LINK_NO_DRIVE_IRQ;
}
