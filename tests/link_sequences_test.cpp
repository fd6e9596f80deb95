// The link's port-level sequences on a bus with nothing attached (every read
// gives 0xFF): the golden per-mode access counts and byte sequences. The data
// round trips against the adapter model are in tests/link_adapter_test.cpp.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "hostport/hostport.h"
#include "link/link.h"
#include "miniport/parameters.h"
#include "miniport/request.h"
#include "sim/bus/platform_port_io.h"

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

    // Accesses as "W0=3e" (write of 0x3E to base+0) or "R1" (read of base+1);
    // other ports by absolute address; 32-bit accesses get "/4".
    std::string Trace() const
    {
        std::string out;
        for (const sim::IoAccess& a : bus.recorded()) {
            char text[40];
            unsigned where = a.port - kBase < 8u ? a.port - kBase : a.port;
            if (a.write)
                std::snprintf(text, sizeof text, a.port - kBase < 8u ? "W%u=%02x" : "W%x=%02x", where, a.value);
            else
                std::snprintf(text, sizeof text, a.port - kBase < 8u ? "R%u" : "R%x", where);
            out += (out.empty() ? "" : " ") + std::string(text) + (a.width == 4 ? "/4" : "");
        }
        return out;
    }

    std::vector<uint32_t> WritesTo(uint16_t port) const
    {
        std::vector<uint32_t> values;
        for (const sim::IoAccess& a : bus.recorded())
            if (a.write && a.port == port) values.push_back(a.value);
        return values;
    }

    uint8_t FirstData() const
    {
        std::vector<uint32_t> data = WritesTo(kBase);
        return data.empty() ? 0 : static_cast<uint8_t>(data[0]);
    }

    sim::Clock clock;
    sim::IoBus bus{clock};
};

// --- Register access: the golden table. An empty trace checks the count only.

struct RegisterCase {
    bool write;
    uint32_t mode;
    uint8_t reg;
    uint64_t count;
    const char* trace;
    bool alternate = false;  // register-window chipset found (State 1)
    bool link = false;       // through LinkReadRegister, port owned
};

class RegisterSequence : public LinkTrace, public ::testing::WithParamInterface<RegisterCase> {};

TEST_P(RegisterSequence, MatchesTheGoldenTable)
{
    const RegisterCase& c = GetParam();
    if (c.alternate) CmosWindowState.State = 1;
    ASSERT_EQ(CmosWindowState.State, c.alternate ? 1 : 0xFF);
    if (c.write) {
        LinkState.LinkWriteMode = c.mode;
        ModeWriteRegister(c.reg, c.reg == ATA_REG_DATA ? 0x12 : c.reg == ATA_REG_COMMAND && c.mode == WM_EPP8 ? 0x30 : 0xEC);
    } else if (c.link) {
        LinkState.Acquired = 1;
        LinkState.LinkReadMode = c.mode;
        LinkReadRegister(c.reg);
    } else {
        LinkState.LinkReadMode = c.mode;
        ModeReadRegister(c.reg);
    }
    EXPECT_EQ(bus.accessCount(), c.count);
    if (c.trace[0]) EXPECT_EQ(Trace(), c.trace);
}

constexpr uint8_t kSt = ATA_REG_STATUS;
constexpr uint8_t kCmd = ATA_REG_COMMAND;

INSTANTIATE_TEST_SUITE_P(
    AllModes, RegisterSequence,
    ::testing::Values(
        RegisterCase{false, 0, kSt, 8, "W0=3e W2=01 W2=03 W0=7e R1 W2=01 R1 W2=04"},
        // Register 8 (alternate status) goes out as 0x86.
        RegisterCase{false, 0, ATA_REG_ALT_STATUS, 8, "W0=bf W2=01 W2=03 W0=ff R1 W2=01 R1 W2=04", false, true},
        RegisterCase{false, 1, kSt, 10, ""}, RegisterCase{false, 2, kSt, 22, ""},
        // A = (1 | 0x30) ^ 1 = 0x30.
        RegisterCase{false, 3, ATA_REG_ERROR, 11, "W0=30 W2=01 W2=01 W0=30 W2=03 W2=05 W2=05 W0=f0 R1 R2 W2=04"},
        RegisterCase{false, 4, kSt, 11, ""}, RegisterCase{false, 5, kSt, 22, ""},
        RegisterCase{false, 6, kSt, 6, "W0=2e W2=01 W7=01 W2=83 R0 W2=04"},
        RegisterCase{false, 7, kSt, 18, ""},
        RegisterCase{false, 8, kSt, 7, "W0=2e W2=01 W2=21 W2=21 W2=23 R0 W2=04"},
        RegisterCase{false, 9, kSt, 18, ""},
        // The unprobed window state (0xFF) keeps the standard EPP layout.
        RegisterCase{false, 10, kSt, 6, "W3=07 R2 W2=3f R4 R2 W2=1f"},
        RegisterCase{false, 10, kSt, 8, "R3 W3=fe W6=07 R2 W2=3f R4 R2 W2=1f", true},
        RegisterCase{false, 11, kSt, 6, ""}, RegisterCase{false, 12, kSt, 22, ""},
        RegisterCase{false, 200, kSt, 22, ""},
        RegisterCase{true, 0, kCmd, 7, "W0=1e W2=01 W2=01 W0=ec W2=03 W2=03 W2=04"},
        RegisterCase{true, 1, kCmd, 7, ""}, RegisterCase{true, 2, kCmd, 10, ""},
        // EPP writes the data register twice.
        RegisterCase{true, 3, kCmd, 2, "W3=47 W4=30"},
        RegisterCase{true, 3, ATA_REG_DATA, 3, "W3=40 W4=12 W4=12"},
        RegisterCase{true, 4, kCmd, 2, ""}, RegisterCase{true, 4, ATA_REG_DATA, 5, "", true},
        RegisterCase{true, 5, kCmd, 0, ""}, RegisterCase{true, 99, kCmd, 0, ""}));

// Odd and even registers must give different address bytes in every read
// mode (6 and 7: (r | 0x28) ^ 1), or status, error and cylinder-high reads
// return their even neighbour.
class AddressByte : public LinkTrace, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(AddressByte, OddAndEvenRegistersDiffer)
{
    LinkState.LinkReadMode = GetParam();
    for (uint8_t reg = 0; reg < 8; ++reg) {
        Clear();
        ModeReadRegister(reg);
        uint8_t a = FirstData();
        if (GetParam() == RM_BYTE7_FAST || GetParam() == RM_BYTE7_SLOW)
            EXPECT_EQ(a, static_cast<uint8_t>((reg | 0x28) ^ 0x01));
        if (reg & 1) continue;
        Clear();
        ModeReadRegister(static_cast<uint8_t>(reg + 1));
        EXPECT_NE(FirstData(), a) << "registers " << int(reg) << " and " << int(reg + 1);
    }
}

INSTANTIATE_TEST_SUITE_P(StrobedReadModes, AddressByte, ::testing::Range<uint32_t>(0, 10));

TEST_F(LinkTrace, RegisterAccessWithoutOwnershipDoesNoIo)
{
    uint8_t buffer[4] = {};
    EXPECT_EQ(LinkReadRegister(ATA_REG_STATUS), LINK_NOT_ACQUIRED);
    EXPECT_EQ(LinkWriteRegister(ATA_REG_COMMAND, 0x20), LINK_NOT_ACQUIRED);
    EXPECT_EQ(LinkDriveInterrupt(), LINK_NO_DRIVE_IRQ);
    EXPECT_EQ(LinkReadBlock(buffer, 4), LINK_NOT_ACQUIRED);
    EXPECT_EQ(LinkWriteBlock(buffer, 4), LINK_NOT_ACQUIRED);
    EXPECT_EQ(bus.accessCount(), 0u);
}

// --- Block transfer: accesses per 512-byte sector.

struct BlockCount {
    bool write;
    uint32_t mode;
    uint64_t count512;
    bool alternate = false;
    bool epp32 = false;
};

class BlockCountTable : public LinkTrace, public ::testing::WithParamInterface<BlockCount> {};

TEST_P(BlockCountTable, PerSectorAccesses)
{
    const BlockCount& c = GetParam();
    uint8_t buffer[512] = {};
    LinkState.Epp32Usable = c.epp32;
    if (c.alternate) CmosWindowState.State = 1;
    if (c.write) {
        LinkState.LinkWriteMode = c.mode;
        ModeWriteBlock(buffer, 512);
    } else {
        LinkState.LinkReadMode = c.mode;
        ModeReadBlock(buffer, 512);
    }
    EXPECT_EQ(bus.accessCount(), c.count512);
}

INSTANTIATE_TEST_SUITE_P(
    AllModes, BlockCountTable,
    ::testing::Values(BlockCount{false, 0, 2056}, BlockCount{false, 1, 3078}, BlockCount{false, 2, 4108},
                      BlockCount{false, 3, 1547}, BlockCount{false, 4, 2058}, BlockCount{false, 5, 3594},
                      BlockCount{false, 6, 1542}, BlockCount{false, 7, 3078}, BlockCount{false, 8, 1034},
                      BlockCount{false, 9, 2058}, BlockCount{false, 10, 517},
                      BlockCount{false, 10, 133, false, true}, BlockCount{false, 11, 133},
                      BlockCount{false, 10, 519, true}, BlockCount{false, 11, 137, true},
                      BlockCount{false, 12, 0}, BlockCount{true, 0, 1037}, BlockCount{true, 1, 1551},
                      BlockCount{true, 2, 3090}, BlockCount{true, 3, 513},
                      BlockCount{true, 3, 129, false, true}, BlockCount{true, 4, 129},
                      BlockCount{true, 3, 515, true}, BlockCount{true, 4, 133, true},
                      BlockCount{true, 5, 0}));

TEST_F(LinkTrace, TwoByteNibbleReadClocksThreeTimes)
{
    uint8_t buffer[2];
    LinkState.LinkReadMode = RM_NIBBLE_FAST;
    ModeReadBlock(buffer, 2);
    // CONTROL reads back 0xFF here, so the clock starts from 0xFF.
    EXPECT_EQ(Trace(),
              "W0=81 W2=01 W2=01 W2=03 W0=c1 R2 R1 W2=f9 R1 W2=fe R1 W2=f8 W2=f8 R1 W0=00 W2=04");
}

// Strobed streaming never touches memory past the count: a count below 2 does
// no I/O, and an odd count moves its pairs and leaves (or drops) the last byte.
class StrobedOddCounts : public LinkTrace, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(StrobedOddCounts, StopAtTheLastPair)
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
    if (GetParam() >= 3) return;
    Clear();
    LinkState.LinkWriteMode = GetParam();
    uint8_t out[3] = {1, 2, 3};
    ModeWriteBlock(out, 1);
    EXPECT_EQ(bus.accessCount(), 0u);
    ModeWriteBlock(out, 2);
    two = bus.accessCount();
    Clear();
    ModeWriteBlock(out, 3);
    EXPECT_EQ(bus.accessCount(), two);
    for (uint32_t v : WritesTo(kBase)) EXPECT_NE(v, 3u);
}

INSTANTIATE_TEST_SUITE_P(StrobedModes, StrobedOddCounts, ::testing::Range<uint32_t>(0, 10));

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

// The chunk codes announced (address 0xC4, then the code) before each chunk
// on an enhanced port.
struct ChunkCase {
    uint16_t count;
    std::vector<uint32_t> codes;
    uint64_t dataCycles;
};

class Chunking : public LinkTrace, public ::testing::WithParamInterface<ChunkCase> {};

TEST_P(Chunking, AnnouncesEachChunk)
{
    static uint8_t buffer[0x10000];
    const ChunkCase& c = GetParam();
    std::memset(buffer, 0x5A, sizeof buffer);
    LinkState.Acquired = 1;
    LinkState.HostPortKind = HOST_PORT_ENHANCED;
    LinkState.LinkReadMode = RM_EPP8;
    LinkState.LinkWriteMode = WM_EPP8;
    ASSERT_EQ(LinkReadBlock(buffer, c.count), LINK_OK);
    std::vector<uint32_t> codes;
    const auto& rec = bus.recorded();
    for (size_t i = 0; i + 1 < rec.size(); ++i)
        if (rec[i].write && rec[i].port == kBase + 3 && rec[i].value == 0xC4) codes.push_back(rec[i + 1].value);
    EXPECT_EQ(codes, c.codes);
    EXPECT_EQ(bus.accessCount(kBase + 4) - codes.size(), c.dataCycles);
    EXPECT_EQ(buffer[c.count], 0x5A);
    if (c.count & 1) EXPECT_EQ(buffer[c.count - 1], 0x5A);
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

TEST_F(LinkTrace, ChunkOverheadPlainAndEnhanced)
{
    LinkState.Acquired = 1;
    LinkState.LinkReadMode = RM_EPP8;
    LinkState.LinkWriteMode = WM_EPP8;
    uint8_t buffer[1024];
    ASSERT_EQ(LinkReadBlock(buffer, 1024), LINK_OK);  // plain: whole block unannounced
    EXPECT_EQ(bus.accessCount(), 1024u + 5u);
    EXPECT_EQ(WritesTo(kBase + 3), std::vector<uint32_t>{0x00});
    LinkState.HostPortKind = HOST_PORT_ENHANCED_EPP;
    Clear();
    LinkReadBlock(buffer, 512);
    EXPECT_EQ(bus.accessCount(), 517u + 2u);
    Clear();
    LinkWriteBlock(buffer, 512);
    EXPECT_EQ(bus.accessCount(), 513u + 2u);
}

// --- Ownership; the empty bus stands for an adapter whose identity reads 0xFF.

class LinkOwnershipTrace : public LinkTrace {
protected:
    void SetUp() override
    {
        LinkTrace::SetUp();
        LinkState.AdapterIdValue = 0xFF;
    }
};

TEST_F(LinkOwnershipTrace, PlainAcquireAndRelease)
{
    ASSERT_EQ(LinkAcquire(), LINK_OK);
    EXPECT_EQ(bus.accessCount(), 33u + 22u);  // 33 plus the identity read
    Clear();
    EXPECT_EQ(LinkRelease(), LINK_OK);
    EXPECT_EQ(bus.accessCount(), 13u + 10u);
    // Quiesce writes 0x10 to register 0x9C in write mode 2 first; release
    // ends with direction and upper CONTROL bits cleared (CONTROL read 0xFF).
    EXPECT_EQ(WritesTo(kBase)[0], (0x9Cu | 0x18) ^ 1);
    EXPECT_EQ(WritesTo(kBase + 2).back(), 0x1Fu);
    EXPECT_EQ(WritesTo(kBase).back(), 0xFFu);
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
    LinkState.HostPortKind = HOST_PORT_ENHANCED;  // enhanced arm sends no code
    LinkBeginInterruptWait();
    LinkRelease();
    EXPECT_EQ(Trace(), "R2 W2=1f");
}

// The ECR is written at release under the same condition as at acquire: a
// bidirectional port on a Winbond chip set to SPP at release would leave the
// data lines output-only at the next acquire.
TEST_F(LinkOwnershipTrace, EcrSwitchedBothWaysOnlyOnEnhancedPorts)
{
    LinkState.EcrPresent = 1;
    LinkState.EcrSavedValue = 0x34;
    HostChipState.WinbondChipFound = 1;
    ASSERT_EQ(LinkAcquire(), LINK_OK);
    LinkRelease();
    EXPECT_TRUE(WritesTo(kBase + 0x402).empty());
    LinkState.HostPortKind = HOST_PORT_ENHANCED;
    Clear();
    ASSERT_EQ(LinkAcquire(), LINK_OK);
    EXPECT_EQ(WritesTo(kBase + 0x402), (std::vector<uint32_t>{0x84, 0x84, 0x84}));
    Clear();
    LinkRelease();
    EXPECT_EQ(WritesTo(kBase + 0x402), (std::vector<uint32_t>{0x34, 0x14}));
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

TEST_F(LinkOwnershipTrace, Epp32ProbeOnUnprobedWindowReadsLaneThree)
{
    EXPECT_TRUE(Epp32Probe());
    EXPECT_EQ(bus.accessCount(kBase + 7), 1u);
    CmosWindowState.State = 1;
    Clear();
    EXPECT_TRUE(Epp32Probe());
    EXPECT_EQ(bus.accessCount(), 0u);
}

TEST_F(LinkTrace, DelayAndResetTiming)
{
    DelayMilliseconds(0);
    EXPECT_EQ(clock.now(), 0u);
    DelayMilliseconds(100);
    EXPECT_EQ(clock.now(), 100 * sim::kMillisecond);
    EXPECT_EQ(bus.accessCount(), 0u);
    AdapterReset(kBase);  // held for 1200 ms
    EXPECT_EQ(bus.accessCount(), 24u);
    EXPECT_EQ(clock.now(), 1300 * sim::kMillisecond + 24 * sim::kMicrosecond);
}

}  // namespace
