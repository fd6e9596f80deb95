// Moving data blocks between the ATA data register and memory. Each strobed
// mode has a streaming protocol: one address phase, then a run of bytes
// each clocked by a single control-line toggle. EPP modes hand the run to
// the port driver's string I/O. On enhanced ports blocks are cut into the
// chunk sizes the adapter knows, each announced in register 0xC4.
//
// The strobed modes move bytes in pairs: a count below 2 moves nothing, and
// of an odd count the final byte is neither clocked nor stored (the buffer
// keeps what it held there), so no routine ever touches memory at or past
// buffer + count.
#include "hostport/hostport.h"
#include "link/link.h"
#include "link/link_io.h"
#include "platform/port_io.h"
#include "platform/scsiport.h"

#define EPP32_MIN_COUNT 32

// Chunk lengths and the codes that announce them, largest first. The code
// for 512 bytes is 0.
struct ChunkSize {
    uint16_t Length;
    uint8_t Code;
};
static const ChunkSize ChunkTable[8] = {
    {0x8000, 7}, {0x4000, 6}, {0x2000, 5}, {0x1000, 4},
    {0x0800, 3}, {0x0200, 0}, {0x0020, 2}, {0x0002, 1},
};

static const ChunkSize& ChunkFor(uint32_t remaining)
{
    uint32_t i = 0;
    while (i + 1 < sizeof(ChunkTable) / sizeof(ChunkTable[0]) && remaining < ChunkTable[i].Length) ++i;
    return ChunkTable[i];
}

// --- Nibble streaming reads, modes 0 to 2.
struct NibbleBlockTiming {
    uint8_t Open, Strobe, Feed, Select, ReadBack, Status, Clock, LastClock, Close;
};
static const NibbleBlockTiming NibbleBlock[3] = {
    {1, 2, 1, 1, 1, 1, 1, 2, 1},
    {1, 2, 1, 1, 1, 1, 2, 2, 1},
    {2, 2, 2, 2, 2, 2, 2, 2, 2},
};

static void ReadNibbleBlock(uint32_t mode, uint8_t* buffer, uint16_t count)
{
    if (count < 2) return;
    const NibbleBlockTiming& t = NibbleBlock[mode];
    uint16_t data = PortBase, status = (uint16_t)(PortBase + PORT_STATUS);
    uint16_t control = (uint16_t)(PortBase + PORT_CONTROL);
    OutRepeat(data, 0x81, t.Open);
    OutRepeat(control, 0x01, t.Strobe);
    OutRepeat(control, 0x03, t.Feed);
    OutRepeat(data, 0xC1, t.Select);
    // Each clock flips control bits 1 and 2, every second one bit 0 too;
    // bits 3 to 7 stay as read back.
    uint8_t c = InRepeat(control, t.ReadBack);
    uint8_t m = 0x06;
    uint32_t bytes = (uint32_t)count & ~1u;
    for (uint32_t i = 0; i < bytes; ++i) {
        bool last = i + 1 == bytes;
        uint8_t low = InRepeat(status, t.Status);
        c ^= m;
        m ^= 0x01;
        OutRepeat(control, c, last ? t.LastClock : t.Clock);
        uint8_t high = InRepeat(status, t.Status);
        if (!last) {
            c ^= m;
            m ^= 0x01;
            OutRepeat(control, c, t.Clock);
        }
        buffer[i] = (uint8_t)((low >> 4) | (high & 0xF0));
    }
    OutRepeat(data, 0x00, t.Close);
    OutRepeat(control, 0x04, t.Close);
}

// --- Five plus three streaming reads, modes 3 to 5.
struct FiveThreeBlockTiming {
    uint8_t Setup, Sample, Clock;
};
static const FiveThreeBlockTiming FiveThreeBlock[3] = {
    {2, 1, 1},
    {2, 1, 2},
    {3, 2, 3},
};

static void ReadFiveThreeBlock(uint32_t mode, uint8_t* buffer, uint16_t count)
{
    if (count < 2) return;
    const FiveThreeBlockTiming& t = FiveThreeBlock[mode - RM_53_FAST];
    uint16_t data = PortBase, status = (uint16_t)(PortBase + PORT_STATUS);
    uint16_t control = (uint16_t)(PortBase + PORT_CONTROL);
    OutPortByte(data, 0x91);
    OutRepeat(control, 0x01, t.Setup);
    OutPortByte(data, 0x10);
    OutRepeat(control, 0x03, t.Setup);
    OutPortByte(data, 0x50);
    OutRepeat(control, 0x05, t.Setup);
    OutPortByte(data, 0xD1);
    uint8_t clock = 0x04;
    uint32_t bytes = (uint32_t)count & ~1u;
    for (uint32_t i = 0; i < bytes; ++i) {
        bool last = i + 1 == bytes;
        uint32_t samples = last ? 1 : t.Sample;
        uint8_t s = InRepeat(status, samples);
        uint8_t c = InRepeat(control, samples);
        if (!last) {
            OutRepeat(control, clock, t.Clock);
            clock ^= 0x01;
        }
        buffer[i] = (uint8_t)(((s >> 3) & 0x1F) | (((c >> 1) & 0x07) << 5));
    }
    OutPortByte(data, 0x00);
    OutPortByte(control, 0x04);
}

// --- Eight-bit streaming reads, modes 6 to 9.
struct ByteBlockTiming {
    uint8_t Turn, Hold, Start;          // control values after the strobe
    uint8_t TurnWrites, HoldWrites, StartWrites;
    uint8_t Clock0;                     // first clock value
    uint8_t Sample, Clock, Close;
};
static const ByteBlockTiming ByteBlock[4] = {
    {0x83, 0x81, 0x85, 1, 1, 1, 0x84, 1, 2, 1},
    {0x83, 0x81, 0x85, 2, 2, 2, 0x84, 2, 4, 1},
    {0x23, 0x21, 0x25, 1, 1, 2, 0x24, 1, 1, 2},
    {0x23, 0x21, 0x25, 2, 2, 2, 0x24, 2, 2, 2},
};

static void ReadByteBlock(uint32_t mode, uint8_t* buffer, uint16_t count)
{
    if (count < 2) return;
    const ByteBlockTiming& t = ByteBlock[mode - RM_BYTE7_FAST];
    uint16_t data = PortBase, control = (uint16_t)(PortBase + PORT_CONTROL);
    OutPortByte(data, 0x89);
    OutRepeat(control, 0x01, 2);
    OutRepeat(control, t.Turn, t.TurnWrites);
    OutRepeat(control, t.Hold, t.HoldWrites);
    OutRepeat(control, t.Start, t.StartWrites);
    uint8_t clock = t.Clock0;
    uint32_t bytes = (uint32_t)count & ~1u;
    for (uint32_t i = 0; i < bytes; ++i) {
        bool last = i + 1 == bytes;
        buffer[i] = InRepeat(data, last ? 1 : t.Sample);
        if (!last) {
            OutRepeat(control, clock, t.Clock);
            clock ^= 0x01;
        }
    }
    OutRepeat(control, 0x06, t.Close);
    OutRepeat(control, 0x04, t.Close);
}

// --- EPP reads and writes through the port driver's string I/O at base+4.
static void ReadEpp8Block(uint8_t* buffer, uint16_t count)
{
    if (count == 0) return;
    EppAddressCycle(0x00, false);
    PortDirectionInput();
    ScsiPortReadPortBufferUchar(PORT_ADDRESS_UCHAR(PortBase + PORT_EPP_DATA), buffer, count);
    PortDirectionOutput();
}

static void ReadEpp32Block(uint8_t* buffer, uint16_t count)
{
    if (count == 0) return;
    uint32_t words = (uint32_t)count & ~3u;
    EppAddressCycle(0x00, true);
    PortDirectionInput();
    if (words != 0) {
        ScsiPortReadPortBufferUlong(PORT_ADDRESS_ULONG(PortBase + PORT_EPP_DATA),
                                    reinterpret_cast<PULONG>(buffer), (ULONG)count >> 2);
        buffer += words;
    }
    if ((count & 3) != 0)
        ScsiPortReadPortBufferUchar(PORT_ADDRESS_UCHAR(PortBase + PORT_EPP_DATA), buffer,
                                    (ULONG)count & 3);
    PortDirectionOutput();
}

static void WriteEpp32Block(uint8_t* buffer, uint16_t count)
{
    if (count == 0) return;
    uint32_t words = (uint32_t)count & ~3u;
    EppAddressCycle(0x40, true);
    if (words != 0) {
        ScsiPortWritePortBufferUlong(PORT_ADDRESS_ULONG(PortBase + PORT_EPP_DATA),
                                     reinterpret_cast<PULONG>(buffer), (ULONG)count >> 2);
        buffer += words;
    }
    if ((count & 3) != 0)
        ScsiPortWritePortBufferUchar(PORT_ADDRESS_UCHAR(PortBase + PORT_EPP_DATA), buffer,
                                     (ULONG)count & 3);
}

static bool Epp32Allowed(void)
{
    return LinkState.Epp32Usable && !LinkState.Epp32Disabled;
}

static void WriteEpp8Block(uint8_t* buffer, uint16_t count)
{
    if (Epp32Allowed()) {
        WriteEpp32Block(buffer, count);
        return;
    }
    if (count == 0) return;
    EppAddressCycle(0x40, false);
    ScsiPortWritePortBufferUchar(PORT_ADDRESS_UCHAR(PortBase + PORT_EPP_DATA), buffer, count);
}

// --- Strobed streaming writes, modes 0 to 2.
struct StrobedBlockTiming {
    uint8_t Feed, Data, Clock, Close;
};
static const StrobedBlockTiming StrobedBlock[3] = {
    {1, 1, 1, 2},
    {2, 1, 2, 2},
    {2, 2, 4, 3},
};

static void WriteStrobedBlock(uint32_t mode, uint8_t* buffer, uint16_t count)
{
    if (count < 2) return;
    const StrobedBlockTiming& t = StrobedBlock[mode];
    uint16_t data = PortBase, control = (uint16_t)(PortBase + PORT_CONTROL);
    OutPortByte(data, 0xA1);
    OutRepeat(control, 0x01, 2);
    OutRepeat(control, 0x03, t.Feed);
    OutRepeat(control, 0x01, t.Feed);
    OutRepeat(control, 0x05, 2);
    uint8_t clock = 0x04;
    uint32_t bytes = (uint32_t)count & ~1u;
    for (uint32_t i = 0; i < bytes; ++i) {
        OutRepeat(data, buffer[i], t.Data);
        OutRepeat(control, clock, t.Clock);
        clock ^= 0x01;
    }
    OutRepeat(control, clock, t.Close);
    OutRepeat(control, (uint8_t)(clock | 0x02), t.Close);
    OutRepeat(control, 0x04, t.Close);
}

void ModeReadBlock(uint8_t* buffer, uint16_t count)
{
    uint32_t mode = LinkState.LinkReadMode;
    if (mode <= RM_NIBBLE_SLOW)
        ReadNibbleBlock(mode, buffer, count);
    else if (mode <= RM_53_SLOW)
        ReadFiveThreeBlock(mode, buffer, count);
    else if (mode <= RM_BIDIR_SLOW)
        ReadByteBlock(mode, buffer, count);
    else if (mode == RM_EPP8 && !Epp32Allowed())
        ReadEpp8Block(buffer, count);
    else if (mode <= RM_EPP32)
        ReadEpp32Block(buffer, count);
}

void ModeWriteBlock(uint8_t* buffer, uint16_t count)
{
    uint32_t mode = LinkState.LinkWriteMode;
    if (mode <= WM_BYTE_SLOW)
        WriteStrobedBlock(mode, buffer, count);
    else if (mode == WM_EPP8 || (mode == WM_EPP32 && count < EPP32_MIN_COUNT))
        WriteEpp8Block(buffer, count);
    else if (mode == WM_EPP32)
        WriteEpp32Block(buffer, count);
}

// Cuts a block into announced chunks on enhanced ports; a plain port takes
// the whole count in one run.
static uint32_t TransferBlock(uint8_t* buffer, uint16_t count, void (*move)(uint8_t*, uint16_t))
{
    if (LinkState.Acquired != 1) return LINK_NOT_ACQUIRED;
    if (LinkState.HostPortKind == HOST_PORT_PLAIN) {
        move(buffer, count);
        return LINK_OK;
    }
    uint32_t remaining = count;
    while (remaining >= 2) {
        const ChunkSize& chunk = ChunkFor(remaining);
        remaining -= chunk.Length;
        LinkWriteRegister(ADAPTER_REG_ENHANCED_CONTROL, chunk.Code);
        move(buffer, chunk.Length);
        buffer += chunk.Length;
    }
    return LINK_OK;
}

uint32_t LinkReadBlock(uint8_t* buffer, uint16_t count)
{
    return TransferBlock(buffer, count, ModeReadBlock);
}

uint32_t LinkWriteBlock(uint8_t* buffer, uint16_t count)
{
    return TransferBlock(buffer, count, ModeWriteBlock);
}

bool Epp32Probe(void)
{
    LinkState.Epp32Usable = 0;
    if (PortBase != 0x3BC && AlternateEppLayout()) {
        LinkState.Epp32Usable = 1;
        return true;
    }
    EnhancedSelect(PortBase);
    OutPortByte((uint16_t)(PortBase + PORT_EPP_ADDRESS), ADAPTER_REG_IDENTITY);
    if (InPortByte((uint16_t)(PortBase + 7)) != LinkState.AdapterIdValue) return false;
    LinkState.Epp32Usable = 1;
    return true;
}
