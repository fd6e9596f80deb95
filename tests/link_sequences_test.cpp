// The link's port-level sequences as they appear on the bus, checked against
// the wire protocol's exact access counts and byte values. The bus here has
// nothing attached (every read gives 0xFF), so these tests see only what
// the driver puts out; tests/link_adapter_test.cpp runs the same routines
// against the adapter model.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "hostport/hostport.h"
#include "link/link.h"
#include "miniport/parameters.h"
#include "miniport/request.h"
#include "sim/io_bus.h"

namespace {

constexpr uint16_t kBase = 0x378;

class LinkTrace : public ::testing::Test {
protected:
    void SetUp() override
    {
        DriverImageReset();
        sim::bindPlatformBus(&bus);
        PortBase = kBase;
        bus.startRecording();
    }
    void TearDown() override { sim::bindPlatformBus(nullptr); }

    void Clear()
    {
        bus.clearRecording();
        bus.resetCounters();
    }

    // Accesses as "W0=3e" (write of 0x3E to base+0) or "R1" (read of
    // base+1); other ports by absolute address; 32-bit accesses get "/4".
    std::string Trace() const
    {
        std::string out;
        for (const sim::IoAccess& a : bus.recorded()) {
            char text[32];
            char where[16];
            if (a.port >= kBase && a.port < kBase + 8)
                std::snprintf(where, sizeof where, "%u", a.port - kBase);
            else
                std::snprintf(where, sizeof where, "%x", a.port);
            if (a.write)
                std::snprintf(text, sizeof text, "W%s=%02x", where, a.value);
            else
                std::snprintf(text, sizeof text, "R%s", where);
            if (!out.empty()) out += ' ';
            out += text;
            if (a.width == 4) out += "/4";
        }
        return out;
    }

    // Values written to one port, in order.
    std::vector<uint32_t> WritesTo(uint16_t port) const
    {
        std::vector<uint32_t> values;
        for (const sim::IoAccess& a : bus.recorded())
            if (a.write && a.port == port) values.push_back(a.value);
        return values;
    }

    // The first value written to DATA.
    uint8_t FirstData() const
    {
        for (const sim::IoAccess& a : bus.recorded())
            if (a.write && a.port == kBase) return static_cast<uint8_t>(a.value);
        return 0;
    }

    sim::Clock clock;
    sim::IoBus bus{clock};
};

// --- Register access.

struct ModeCount {
    uint32_t mode;
    uint64_t count;
};

class RegisterReadCount : public LinkTrace, public ::testing::WithParamInterface<ModeCount> {};

TEST_P(RegisterReadCount, MatchesTheModesRepetitions)
{
    LinkState.LinkReadMode = GetParam().mode;
    ModeReadRegister(ATA_REG_STATUS);
    EXPECT_EQ(bus.accessCount(), GetParam().count);
}

INSTANTIATE_TEST_SUITE_P(AllReadModes, RegisterReadCount,
                         ::testing::Values(ModeCount{0, 8}, ModeCount{1, 10}, ModeCount{2, 22},
                                           ModeCount{3, 11}, ModeCount{4, 11}, ModeCount{5, 22},
                                           ModeCount{6, 6}, ModeCount{7, 18}, ModeCount{8, 7},
                                           ModeCount{9, 18}, ModeCount{10, 6}, ModeCount{11, 6},
                                           ModeCount{12, 22}, ModeCount{200, 22}));

class RegisterWriteCount : public LinkTrace, public ::testing::WithParamInterface<ModeCount> {};

TEST_P(RegisterWriteCount, MatchesTheModesRepetitions)
{
    LinkState.LinkWriteMode = GetParam().mode;
    ModeWriteRegister(ATA_REG_COMMAND, 0x20);
    EXPECT_EQ(bus.accessCount(), GetParam().count);
}

INSTANTIATE_TEST_SUITE_P(AllWriteModes, RegisterWriteCount,
                         ::testing::Values(ModeCount{0, 7}, ModeCount{1, 7}, ModeCount{2, 10},
                                           ModeCount{3, 2}, ModeCount{4, 2}, ModeCount{5, 0},
                                           ModeCount{99, 0}));

TEST_F(LinkTrace, NibbleStatusReadSequence)
{
    LinkState.LinkReadMode = RM_NIBBLE_FAST;
    ModeReadRegister(ATA_REG_STATUS);
    EXPECT_EQ(Trace(), "W0=3e W2=01 W2=03 W0=7e R1 W2=01 R1 W2=04");
}

TEST_F(LinkTrace, RegisterEightGoesOutAs0x86)
{
    LinkState.Acquired = 1;
    LinkState.LinkReadMode = RM_NIBBLE_FAST;
    LinkReadRegister(ATA_REG_ALT_STATUS);
    EXPECT_EQ(Trace(), "W0=bf W2=01 W2=03 W0=ff R1 W2=01 R1 W2=04");
}

TEST_F(LinkTrace, ModeReadRegisterTwelveIsModeTwo)
{
    LinkState.LinkReadMode = RM_NIBBLE_SLOW;
    ModeReadRegister(5);
    std::string two = Trace();
    Clear();
    LinkState.LinkReadMode = 12;
    ModeReadRegister(5);
    EXPECT_EQ(Trace(), two);
}

TEST_F(LinkTrace, BidirectionalStatusReadSequence)
{
    LinkState.LinkReadMode = RM_BIDIR_FAST;
    ModeReadRegister(ATA_REG_STATUS);
    EXPECT_EQ(Trace(), "W0=2e W2=01 W2=21 W2=21 W2=23 R0 W2=04");
}

TEST_F(LinkTrace, Byte7ReadUsesPortSevenAndControlBit7)
{
    LinkState.LinkReadMode = RM_BYTE7_FAST;
    ModeReadRegister(ATA_REG_STATUS);
    EXPECT_EQ(Trace(), "W0=2e W2=01 W7=01 W2=83 R0 W2=04");
}

TEST_F(LinkTrace, FiveThreeReadSequence)
{
    LinkState.LinkReadMode = RM_53_FAST;
    ModeReadRegister(ATA_REG_ERROR);
    // A = (1 | 0x30) ^ 1 = 0x30.
    EXPECT_EQ(Trace(), "W0=30 W2=01 W2=01 W0=30 W2=03 W2=05 W2=05 W0=f0 R1 R2 W2=04");
}

// Odd and even registers must give different address bytes in every read
// mode, or status, error and cylinder-high reads return their even
// neighbour.
class AddressByte : public LinkTrace, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(AddressByte, OddAndEvenRegistersDiffer)
{
    LinkState.LinkReadMode = GetParam();
    for (uint8_t even = 0; even < 8; even += 2) {
        Clear();
        ModeReadRegister(even);
        uint8_t a = FirstData();
        Clear();
        ModeReadRegister(static_cast<uint8_t>(even + 1));
        EXPECT_NE(FirstData(), a) << "registers " << int(even) << " and " << int(even + 1);
    }
}

INSTANTIATE_TEST_SUITE_P(StrobedReadModes, AddressByte, ::testing::Range<uint32_t>(0, 10));

TEST_F(LinkTrace, Byte7AddressMatchesBidirectionalCycleBits)
{
    for (uint8_t reg : {1, 5, 6, 7}) {
        LinkState.LinkReadMode = RM_BYTE7_SLOW;
        Clear();
        ModeReadRegister(reg);
        EXPECT_EQ(FirstData(), static_cast<uint8_t>((reg | 0x28) ^ 0x01));
    }
}

TEST_F(LinkTrace, StrobedCommandWriteSequence)
{
    LinkState.LinkWriteMode = WM_BYTE_FAST;
    ModeWriteRegister(ATA_REG_COMMAND, 0xEC);
    EXPECT_EQ(Trace(), "W0=1e W2=01 W2=01 W0=ec W2=03 W2=03 W2=04");
}

TEST_F(LinkTrace, EppWritesTheDataRegisterTwice)
{
    LinkState.LinkWriteMode = WM_EPP8;
    ModeWriteRegister(ATA_REG_COMMAND, 0x30);
    EXPECT_EQ(Trace(), "W3=47 W4=30");
    Clear();
    ModeWriteRegister(ATA_REG_DATA, 0x12);
    EXPECT_EQ(Trace(), "W3=40 W4=12 W4=12");
}

TEST_F(LinkTrace, UnprobedWindowStateKeepsStandardEppLayout)
{
    ASSERT_EQ(CmosWindowState.State, 0xFF);
    LinkState.LinkReadMode = RM_EPP8;
    ModeReadRegister(ATA_REG_STATUS);
    EXPECT_EQ(Trace(), "W3=07 R2 W2=3f R4 R2 W2=1f");
}

TEST_F(LinkTrace, FoundWindowChipsetUsesAlternateLayout)
{
    CmosWindowState.State = 1;
    LinkState.LinkReadMode = RM_EPP8;
    ModeReadRegister(ATA_REG_STATUS);
    EXPECT_EQ(Trace(), "R3 W3=fe W6=07 R2 W2=3f R4 R2 W2=1f");
    Clear();
    LinkState.LinkWriteMode = WM_EPP32;
    ModeWriteRegister(ATA_REG_DATA, 0x00);
    EXPECT_EQ(bus.accessCount(), 5u);
}

TEST_F(LinkTrace, RegisterAccessWithoutOwnershipDoesNoIo)
{
    EXPECT_EQ(LinkReadRegister(ATA_REG_STATUS), LINK_NOT_ACQUIRED);
    EXPECT_EQ(LinkWriteRegister(ATA_REG_COMMAND, 0x20), LINK_NOT_ACQUIRED);
    EXPECT_EQ(LinkDriveInterrupt(), LINK_NO_DRIVE_IRQ);
    uint8_t buffer[4] = {};
    EXPECT_EQ(LinkReadBlock(buffer, 4), LINK_NOT_ACQUIRED);
    EXPECT_EQ(LinkWriteBlock(buffer, 4), LINK_NOT_ACQUIRED);
    EXPECT_EQ(bus.accessCount(), 0u);
}

// --- Block transfer.

struct BlockCount {
    uint32_t mode;
    uint64_t count512;
    bool alternate = false;
    bool epp32 = false;
};

class BlockReadCount : public LinkTrace, public ::testing::WithParamInterface<BlockCount> {};

TEST_P(BlockReadCount, PerSectorAccesses)
{
    uint8_t buffer[512];
    LinkState.LinkReadMode = GetParam().mode;
    LinkState.Epp32Usable = GetParam().epp32;
    if (GetParam().alternate) CmosWindowState.State = 1;
    ModeReadBlock(buffer, 512);
    EXPECT_EQ(bus.accessCount(), GetParam().count512);
}

INSTANTIATE_TEST_SUITE_P(
    AllReadModes, BlockReadCount,
    ::testing::Values(BlockCount{0, 2056}, BlockCount{1, 3078}, BlockCount{2, 4108},
                      BlockCount{3, 1547}, BlockCount{4, 2058}, BlockCount{5, 3594},
                      BlockCount{6, 1542}, BlockCount{7, 3078}, BlockCount{8, 1034},
                      BlockCount{9, 2058}, BlockCount{10, 517}, BlockCount{10, 133, false, true},
                      BlockCount{11, 133}, BlockCount{10, 519, true}, BlockCount{11, 137, true},
                      BlockCount{12, 0}));

class BlockWriteCount : public LinkTrace, public ::testing::WithParamInterface<BlockCount> {};

TEST_P(BlockWriteCount, PerSectorAccesses)
{
    uint8_t buffer[512] = {};
    LinkState.LinkWriteMode = GetParam().mode;
    LinkState.Epp32Usable = GetParam().epp32;
    if (GetParam().alternate) CmosWindowState.State = 1;
    ModeWriteBlock(buffer, 512);
    EXPECT_EQ(bus.accessCount(), GetParam().count512);
}

INSTANTIATE_TEST_SUITE_P(AllWriteModes, BlockWriteCount,
                         ::testing::Values(BlockCount{0, 1037}, BlockCount{1, 1551},
                                           BlockCount{2, 3090}, BlockCount{3, 513},
                                           BlockCount{3, 129, false, true}, BlockCount{4, 129},
                                           BlockCount{3, 515, true}, BlockCount{4, 133, true},
                                           BlockCount{5, 0}));

TEST_F(LinkTrace, TwoByteNibbleReadClocksThreeTimes)
{
    uint8_t buffer[2];
    LinkState.LinkReadMode = RM_NIBBLE_FAST;
    ModeReadBlock(buffer, 2);
    // CONTROL reads back 0xFF here, so the clock starts from 0xFF.
    EXPECT_EQ(Trace(),
              "W0=81 W2=01 W2=01 W2=03 W0=c1 R2 R1 W2=f9 R1 W2=fe R1 W2=f8 W2=f8 R1 W0=00 W2=04");
}

// Strobed streaming never touches memory past the count: a count below 2
// does nothing, and an odd count moves its pairs and leaves the last byte.
class StrobedOddCounts : public LinkTrace, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(StrobedOddCounts, ReadsStopAtTheLastPair)
{
    LinkState.LinkReadMode = GetParam();
    uint8_t buffer[8];
    std::memset(buffer, 0x5A, sizeof buffer);
    ModeReadBlock(buffer, 1);
    EXPECT_EQ(bus.accessCount(), 0u);
    EXPECT_EQ(buffer[0], 0x5A);

    ModeReadBlock(buffer, 2);
    uint64_t two = bus.accessCount();
    Clear();
    std::memset(buffer, 0x5A, sizeof buffer);
    ModeReadBlock(buffer, 3);
    EXPECT_EQ(bus.accessCount(), two);
    EXPECT_EQ(buffer[1], 0xFF);
    EXPECT_EQ(buffer[2], 0x5A);
}

INSTANTIATE_TEST_SUITE_P(StrobedModes, StrobedOddCounts, ::testing::Range<uint32_t>(0, 10));

class StrobedOddWrites : public LinkTrace, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(StrobedOddWrites, DropTheOddByte)
{
    LinkState.LinkWriteMode = GetParam();
    uint8_t buffer[3] = {1, 2, 3};
    ModeWriteBlock(buffer, 1);
    EXPECT_EQ(bus.accessCount(), 0u);
    ModeWriteBlock(buffer, 2);
    uint64_t two = bus.accessCount();
    Clear();
    ModeWriteBlock(buffer, 3);
    EXPECT_EQ(bus.accessCount(), two);
    for (uint32_t v : WritesTo(kBase)) EXPECT_NE(v, 3u);
}

INSTANTIATE_TEST_SUITE_P(StrobedModes, StrobedOddWrites, ::testing::Range<uint32_t>(0, 3));

TEST_F(LinkTrace, EppReadMovesAnOddByte)
{
    LinkState.LinkReadMode = RM_EPP8;
    uint8_t buffer[2] = {0, 0x5A};
    ModeReadBlock(buffer, 1);
    EXPECT_EQ(buffer[0], 0xFF);
    EXPECT_EQ(buffer[1], 0x5A);
}

TEST_F(LinkTrace, UpgradedEppReadSplitsWordsAndBytes)
{
    LinkState.LinkReadMode = RM_EPP8;
    LinkState.Epp32Usable = 1;
    uint8_t buffer[6];
    ModeReadBlock(buffer, 6);
    EXPECT_EQ(Trace(), "W3=00 R2 W2=3f R4/4 R4 R4 R2 W2=1f");
    Clear();
    LinkState.Epp32Disabled = 1;
    ModeReadBlock(buffer, 6);
    EXPECT_EQ(Trace(), "W3=00 R2 W2=3f R4 R4 R4 R4 R4 R4 R2 W2=1f");
}

TEST_F(LinkTrace, WriteModeFourGoesWideFrom32Bytes)
{
    LinkState.LinkWriteMode = WM_EPP32;
    uint8_t buffer[32] = {};
    ModeWriteBlock(buffer, 31);
    EXPECT_EQ(bus.accessCount(), 32u);
    EXPECT_EQ(bus.accessCount(kBase + 4), 31u);
    Clear();
    ModeWriteBlock(buffer, 32);
    EXPECT_EQ(Trace(), "W3=40 W4=00/4 W4=00/4 W4=00/4 W4=00/4 W4=00/4 W4=00/4 W4=00/4 W4=00/4");
}

// The chunk codes announced before each chunk on an enhanced port.
struct ChunkCase {
    uint16_t count;
    std::vector<uint32_t> codes;
    uint64_t dataCycles;
};

class Chunking : public LinkTrace, public ::testing::WithParamInterface<ChunkCase> {};

TEST_P(Chunking, AnnouncesEachChunk)
{
    static uint8_t buffer[0x10000];
    std::memset(buffer, 0x5A, sizeof buffer);
    LinkState.Acquired = 1;
    LinkState.HostPortKind = HOST_PORT_ENHANCED;
    LinkState.LinkReadMode = RM_EPP8;
    LinkState.LinkWriteMode = WM_EPP8;
    ASSERT_EQ(LinkReadBlock(buffer, GetParam().count), LINK_OK);
    // Each announcement: address 0xC4 then the code on EPP-D.
    std::vector<uint32_t> codes;
    const auto& rec = bus.recorded();
    for (size_t i = 0; i + 1 < rec.size(); ++i)
        if (rec[i].write && rec[i].port == kBase + 3 && rec[i].value == 0xC4)
            codes.push_back(rec[i + 1].value);
    EXPECT_EQ(codes, GetParam().codes);
    uint64_t reads = 0;
    for (const auto& a : rec)
        if (!a.write && a.port == kBase + 4) ++reads;
    EXPECT_EQ(reads, GetParam().dataCycles);
    EXPECT_EQ(buffer[GetParam().count], 0x5A);
    if (GetParam().count & 1) EXPECT_EQ(buffer[GetParam().count - 1], 0x5A);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, Chunking,
    ::testing::Values(ChunkCase{512, {0}, 512}, ChunkCase{1024, {0, 0}, 1024},
                      ChunkCase{0x1000, {4}, 0x1000}, ChunkCase{34, {2, 1}, 34},
                      ChunkCase{35, {2, 1}, 34}, ChunkCase{1, {}, 0}, ChunkCase{2, {1}, 2},
                      ChunkCase{0xFFFF, {7, 6, 5, 4, 3, 0, 0, 0, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,
                                         2, 2, 2, 2, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
                                         1, 1},
                                0xFFFE}));

TEST_F(LinkTrace, PlainPortSendsTheWholeBlockUnannounced)
{
    LinkState.Acquired = 1;
    LinkState.LinkReadMode = RM_EPP8;
    uint8_t buffer[1024];
    ASSERT_EQ(LinkReadBlock(buffer, 1024), LINK_OK);
    EXPECT_EQ(bus.accessCount(), 1024u + 5u);
    EXPECT_EQ(WritesTo(kBase + 3), std::vector<uint32_t>{0x00});
}

TEST_F(LinkTrace, EnhancedChunkOverheadIsTwoAccesses)
{
    LinkState.Acquired = 1;
    LinkState.HostPortKind = HOST_PORT_ENHANCED_EPP;
    LinkState.LinkReadMode = RM_EPP8;
    LinkState.LinkWriteMode = WM_EPP8;
    uint8_t buffer[512];
    LinkReadBlock(buffer, 512);
    EXPECT_EQ(bus.accessCount(), 517u + 2u);
    Clear();
    LinkWriteBlock(buffer, 512);
    EXPECT_EQ(bus.accessCount(), 513u + 2u);
}

// --- Ownership, with an empty bus standing for an adapter whose identity
// reads 0xFF in every mode.

class LinkOwnershipTrace : public LinkTrace {
protected:
    void SetUp() override
    {
        LinkTrace::SetUp();
        LinkState.AdapterIdValue = 0xFF;
    }
};

TEST_F(LinkOwnershipTrace, PlainAcquireIs33AccessesAndAnIdentityRead)
{
    ASSERT_EQ(LinkAcquire(), LINK_OK);
    EXPECT_EQ(bus.accessCount(), 33u + 22u);
    Clear();
    EXPECT_EQ(LinkRelease(), LINK_OK);
    EXPECT_EQ(bus.accessCount(), 13u + 10u);
    // Quiesce writes 0x10 to register 0x9C in write mode 2.
    EXPECT_EQ(WritesTo(kBase)[0], (0x9Cu | 0x18) ^ 1);
}

TEST_F(LinkOwnershipTrace, InterruptWaitKeepsThePort)
{
    LinkBeginInterruptWait();
    EXPECT_EQ(LinkAcquire(), LINK_OK);
    EXPECT_EQ(bus.accessCount(), 0u);
    EXPECT_EQ(LinkRelease(), LINK_OK);
    // Arm: CONTROL read and rewritten with interrupt enable, then code 0x90.
    EXPECT_EQ(Trace(), "R2 W2=1f R2 W0=90 W0=90 W2=11 W2=11 W2=11 W2=11 W2=14 W2=14 W2=14 W2=14");
    EXPECT_EQ(LinkState.Acquired, 0);
    LinkEndInterruptWait();
    Clear();
    EXPECT_EQ(LinkInterruptPending(), LINK_NO_INTERRUPT);
    EXPECT_EQ(bus.accessCount(), 0u);
}

TEST_F(LinkOwnershipTrace, EnhancedArmSendsNoCode)
{
    LinkState.HostPortKind = HOST_PORT_ENHANCED;
    LinkBeginInterruptWait();
    LinkRelease();
    EXPECT_EQ(Trace(), "R2 W2=1f");
}

TEST_F(LinkOwnershipTrace, ReleaseClearsDirectionAndUpperControlBits)
{
    ASSERT_EQ(LinkAcquire(), LINK_OK);  // CONTROL read 0xFF
    Clear();
    LinkRelease();
    std::vector<uint32_t> control = WritesTo(kBase + 2);
    EXPECT_EQ(control.back(), 0x1Fu);
    EXPECT_EQ(WritesTo(kBase).back(), 0xFFu);
}

TEST_F(LinkOwnershipTrace, EnhancedPortSwitchesEcrBothWays)
{
    LinkState.HostPortKind = HOST_PORT_ENHANCED;
    LinkState.EcrPresent = 1;
    LinkState.EcrSavedValue = 0x34;
    HostChipState.WinbondChipFound = 1;
    ASSERT_EQ(LinkAcquire(), LINK_OK);
    EXPECT_EQ(WritesTo(kBase + 0x402), (std::vector<uint32_t>{0x84, 0x84, 0x84}));
    Clear();
    LinkRelease();
    EXPECT_EQ(WritesTo(kBase + 0x402), (std::vector<uint32_t>{0x34, 0x14}));
}

TEST_F(LinkOwnershipTrace, PlainPortLeavesEcrAlone)
{
    // A bidirectional port found on a Winbond chip: setting SPP at release
    // would leave the data lines output-only at the next acquire.
    LinkState.EcrPresent = 1;
    HostChipState.WinbondChipFound = 1;
    ASSERT_EQ(LinkAcquire(), LINK_OK);
    LinkRelease();
    EXPECT_TRUE(WritesTo(kBase + 0x402).empty());
}

TEST_F(LinkOwnershipTrace, NsRegisterOnPlainPortIsSetOnlyAtRelease)
{
    HostChipState.NsChipFound = 1;
    HostChipState.NsIndexPort = 0x398;
    ASSERT_EQ(LinkAcquire(), LINK_OK);
    EXPECT_EQ(bus.accessCount(0x398) + bus.accessCount(0x399), 0u);
    Clear();
    LinkRelease();
    EXPECT_EQ(WritesTo(0x398), std::vector<uint32_t>{0x04});
    EXPECT_EQ(WritesTo(0x399), (std::vector<uint32_t>{0xF9, 0xF9, 0xF9}));
}

TEST_F(LinkOwnershipTrace, ChipsetGatedPortWritesTheGate)
{
    LinkState.HostPortKind = HOST_PORT_CHIPSET_GATED;
    ASSERT_EQ(LinkAcquire(), LINK_OK);
    EXPECT_EQ(WritesTo(0x101), (std::vector<uint32_t>{0x00, 0xD0}));
    Clear();
    LinkRelease();
    EXPECT_EQ(WritesTo(0x101), std::vector<uint32_t>{0x00});
}

TEST_F(LinkTrace, Epp32ProbeOnUnprobedWindowReadsLaneThree)
{
    LinkState.AdapterIdValue = 0xFF;
    EXPECT_TRUE(Epp32Probe());
    EXPECT_EQ(bus.accessCount(kBase + 7), 1u);
    CmosWindowState.State = 1;
    Clear();
    EXPECT_TRUE(Epp32Probe());
    EXPECT_EQ(bus.accessCount(), 0u);
}

TEST_F(LinkTrace, DelayIsWholeMillisecondStalls)
{
    DelayMilliseconds(0);
    EXPECT_EQ(clock.now(), 0u);
    DelayMilliseconds(100);
    EXPECT_EQ(clock.now(), 100 * sim::kMillisecond);
    EXPECT_EQ(bus.accessCount(), 0u);
}

TEST_F(LinkTrace, ResetHoldsForTwelveHundredMilliseconds)
{
    AdapterReset(kBase);
    EXPECT_EQ(bus.accessCount(), 24u);
    EXPECT_EQ(clock.now(), 1200 * sim::kMillisecond + 24 * sim::kMicrosecond);
}

}  // namespace
