// The link against the simulated parallel port, the NIMB adapter model and
// a small ATA test device: every register and block path in every mode
// must deliver the right bytes with no protocol violation in the model.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "hostport/hostport.h"
#include "link/link.h"
#include "miniport/parameters.h"
#include "miniport/request.h"
#include "sim/ata/ata_device.h"
#include "sim/bus/platform_port_io.h"
#include "sim/wire/nimb_adapter.h"
#include "sim/wire/parallel_port.h"
#include "support/test_ata_device.h"

namespace {

constexpr uint16_t kBase = 0x378;
constexpr uint8_t kIdentity = 0xA3;

// A read mode and the write mode and port it is run with.
struct ModeSetup {
    uint32_t readMode;
    uint32_t writeMode;
    sim::ParallelPortKind kind = sim::ParallelPortKind::Epp;
    bool byte7 = false;
};

ModeSetup ForRead(uint32_t mode)
{
    ModeSetup s{mode, mode >= RM_EPP8 ? uint32_t{WM_EPP8} : uint32_t{WM_BYTE_SLOW}};
    if (mode == RM_BYTE7_FAST || mode == RM_BYTE7_SLOW) {
        s.kind = sim::ParallelPortKind::Ps2;
        s.byte7 = true;
    }
    return s;
}

ModeSetup ForWrite(uint32_t mode)
{
    return ModeSetup{mode >= WM_EPP8 ? uint32_t{RM_EPP8} : uint32_t{RM_NIBBLE_SLOW}, mode};
}

bool IsEpp(const ModeSetup& s) { return s.readMode >= RM_EPP8 || s.writeMode >= WM_EPP8; }

class LinkWithAdapter : public ::testing::Test {
protected:
    void Build(const ModeSetup& s, sim::ParallelPortKind kind, uint8_t ecr = 0x15)
    {
        if (port) bus.detach(*port);
        DriverImageReset();
        sim::ParallelPortConfig pc;
        pc.base = kBase;
        pc.kind = kind;
        pc.byte7Direction = s.byte7;
        pc.ecrResetValue = ecr;
        port = std::make_unique<sim::ParallelPort>(clock, pc);
        bus.attach(*port);
        adapter.attachTo(*port);
        adapter.attachDevice(&device);
        sim::bindPlatformBus(&bus);
        PortBase = kBase;
        LinkState.AdapterIdValue = kIdentity;
        LinkState.HostPortKind = IsEpp(s) ? HOST_PORT_ENHANCED : HOST_PORT_PLAIN;
        SetLinkModes(static_cast<uint8_t>(s.readMode), static_cast<uint8_t>(s.writeMode));
    }
    void Build(const ModeSetup& s) { Build(s, s.kind); }

    void TearDown() override
    {
        if (port) bus.detach(*port);
        sim::bindPlatformBus(nullptr);
    }

    void ExpectNoViolations()
    {
        EXPECT_EQ(adapter.violationCount(), 0u) << adapter.lastViolation();
        EXPECT_EQ(device.dataUnderruns(), 0u);
    }

    // Task-file latches 1-6 hold distinct values, odd unlike even.
    void LoadTaskFile()
    {
        for (uint8_t reg = 1; reg <= 6; ++reg) device.writeRegister(reg, TaskFileValue(reg));
    }
    static uint8_t TaskFileValue(uint32_t reg) { return static_cast<uint8_t>(0x11 * reg + 0x80); }

    sim::Clock clock;
    sim::IoBus bus{clock};
    std::unique_ptr<sim::ParallelPort> port;
    sim::NimbAdapter adapter{clock};
    sim::TestAtaDevice device;
};

std::vector<uint8_t> RandomBytes(size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::vector<uint8_t> bytes(n);
    for (auto& b : bytes) b = static_cast<uint8_t>(rng());
    return bytes;
}

// --- Registers in every mode.

class Registers : public LinkWithAdapter, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(Registers, ReadAndWriteEveryRegister)
{
    Build(ForRead(GetParam()));
    ASSERT_EQ(LinkAcquire(), LINK_OK) << adapter.lastViolation();
    LoadTaskFile();
    for (uint32_t reg = 1; reg <= 6; ++reg)
        EXPECT_EQ(LinkReadRegister(reg), TaskFileValue(reg)) << "register " << reg;
    device.setStatus(0x51);
    EXPECT_EQ(LinkReadRegister(ATA_REG_STATUS), 0x51u);
    device.setStatus(0xD0);
    EXPECT_EQ(LinkReadRegister(ATA_REG_ALT_STATUS), 0xD0u);
    EXPECT_EQ(ModeReadRegister(ADAPTER_REG_IDENTITY), kIdentity);
    device.setInterrupt(true);
    EXPECT_EQ(ModeReadRegister(ADAPTER_REG_STATUS), ADAPTER_STATUS_DRIVE_IRQ);
    EXPECT_EQ(LinkDriveInterrupt(), 1u);
    device.setInterrupt(false);
    EXPECT_EQ(LinkDriveInterrupt(), LINK_NO_DRIVE_IRQ);
    EXPECT_EQ(LinkRelease(), LINK_OK);
    ExpectNoViolations();
    if (GetParam() > WM_EPP32) return;
    Build(ForWrite(GetParam()));
    ASSERT_EQ(LinkAcquire(), LINK_OK) << adapter.lastViolation();
    for (uint32_t reg = 1; reg <= 8; ++reg)
        EXPECT_EQ(LinkWriteRegister(reg, 0x90 + reg), LINK_OK);
    for (uint8_t reg = 1; reg <= 6; ++reg) EXPECT_EQ(device.latch(reg), 0x90 + reg);
    EXPECT_EQ(device.lastCommand(), 0x97);
    EXPECT_EQ(device.deviceControl(), 0x98);

    device.expectWriteData(2);
    LinkWriteRegister(ATA_REG_DATA, 0x3C);
    EXPECT_EQ(device.written(), (std::vector<uint8_t>{0x3C, 0x3C}));

    ModeWriteRegister(ADAPTER_REG_CONFIG, 0x05);
    EXPECT_EQ(adapter.register83(), 0x05);
    LinkState.Reg83Value = 0x02;
    LinkLoadReg83();
    EXPECT_EQ(adapter.register83(), 0x02);
    ModeWriteRegister(ADAPTER_REG_PLAIN_CONTROL, 0x03);
    EXPECT_EQ(adapter.register84(), 0x03);
    ModeWriteRegister(ADAPTER_REG_ENHANCED_CONTROL, 0x06);
    EXPECT_EQ(adapter.register84(), 0x06);
    EXPECT_EQ(LinkRelease(), LINK_OK);
    ExpectNoViolations();
}

INSTANTIATE_TEST_SUITE_P(AllModes, Registers, ::testing::Range<uint32_t>(0, 12));

// --- Blocks in every mode.

struct BlockCase {
    uint32_t mode;
    uint16_t count;
};

std::string BlockName(const ::testing::TestParamInfo<BlockCase>& info)
{
    return "mode" + std::to_string(info.param.mode) + "_" + std::to_string(info.param.count);
}

std::vector<BlockCase> Cases(uint32_t modes)
{
    std::vector<BlockCase> cases;
    for (uint32_t m = 0; m < modes; ++m)
        for (uint16_t n : {1, 2, 3, 32, 35, 512, 513, 0x1000, 0x8000, 0xFFFE}) cases.push_back({m, n});
    return cases;
}

// A final odd byte is never moved: a read leaves it, a write drops it.
class Blocks : public LinkWithAdapter, public ::testing::WithParamInterface<BlockCase> {};

TEST_P(Blocks, ReadAndWriteByteForByte)
{
    const uint32_t mode = GetParam().mode;
    const uint16_t n = GetParam().count;
    const size_t moved = n & ~1u;
    Build(ForRead(mode));
    ASSERT_EQ(LinkAcquire(), LINK_OK) << adapter.lastViolation();
    std::vector<uint8_t> data = RandomBytes(moved, n + mode);
    device.loadReadData(data);
    std::vector<uint8_t> buffer(n + 1u, 0x5A);
    ASSERT_EQ(LinkReadBlock(buffer.data(), n), LINK_OK);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), buffer.begin()));
    for (size_t i = moved; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], 0x5A) << "byte " << i;
    EXPECT_FALSE(device.drq());
    EXPECT_EQ(LinkRelease(), LINK_OK);
    ExpectNoViolations();
    if (mode > WM_EPP32) return;
    Build(ForWrite(mode));
    ASSERT_EQ(LinkAcquire(), LINK_OK) << adapter.lastViolation();
    data = RandomBytes(n, n * 3u + mode);
    device.expectWriteData(moved);
    ASSERT_EQ(LinkWriteBlock(data.data(), n), LINK_OK);
    data.resize(moved);
    EXPECT_EQ(device.written(), data);
    EXPECT_FALSE(device.drq());
    EXPECT_EQ(LinkRelease(), LINK_OK);
    ExpectNoViolations();
}

INSTANTIATE_TEST_SUITE_P(AllModes, Blocks, ::testing::ValuesIn(Cases(12)), BlockName);

// --- Ownership.

TEST_F(LinkWithAdapter, ReleaseRestoresThePortAsFound)
{
    Build(ForRead(RM_EPP8), sim::ParallelPortKind::Ecp, 0x34);
    LinkState.HostPortKind = HOST_PORT_ENHANCED;
    LinkState.EcrPresent = 1;
    LinkState.EcrSavedValue = 0x34;  // as host setup read it, bit 0 cleared
    bus.out8(kBase, 0x6B);
    bus.out8(kBase + 2, 0x0E);
    ASSERT_EQ(LinkAcquire(), LINK_OK) << adapter.lastViolation();
    EXPECT_EQ(port->ecr(), 0x84);
    EXPECT_TRUE(adapter.awake());
    LoadTaskFile();
    EXPECT_EQ(LinkReadRegister(2), TaskFileValue(2));
    ASSERT_EQ(LinkRelease(), LINK_OK);
    EXPECT_EQ(port->dataLatch(), 0x6B);
    EXPECT_EQ(port->controlLatch(), 0x0E);
    EXPECT_EQ(port->ecr(), 0x34);
    EXPECT_FALSE(adapter.awake());  // quiesced: register 0x84 rest, then code 0
    ExpectNoViolations();
}

// Repeated rounds; the second case is a Winbond chip whose ECR host setup
// left in EPP mode, with bidirectional mode 9 chosen on the plain port kind.
class Rounds : public LinkWithAdapter, public ::testing::WithParamInterface<bool> {};

TEST_P(Rounds, AcquireAfterReleaseWorksAgain)
{
    if (GetParam()) {
        Build(ForRead(RM_BIDIR_SLOW), sim::ParallelPortKind::Ecp, 0x84);
        HostChipState.WinbondChipFound = 1;
    } else {
        Build(ForRead(RM_NIBBLE_FAST));
    }
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(LinkAcquire(), LINK_OK) << "round " << round;
        LoadTaskFile();
        EXPECT_EQ(LinkReadRegister(5), TaskFileValue(5));
        ASSERT_EQ(LinkRelease(), LINK_OK);
    }
    ExpectNoViolations();
}

INSTANTIATE_TEST_SUITE_P(PlainAndWinbondBidirectional, Rounds, ::testing::Bool());

TEST_F(LinkWithAdapter, EnhancedRawIdentityCheck)
{
    Build(ForRead(RM_EPP8));
    LinkState.HostPortKind = HOST_PORT_ENHANCED_EPP;
    ASSERT_EQ(LinkAcquire(), LINK_OK);
    EXPECT_TRUE(RawIdProbe(kBase));
    ASSERT_EQ(LinkRelease(), LINK_OK);
    ASSERT_EQ(LinkAcquire(), LINK_OK);  // now with the raw read as well
    EXPECT_GT(adapter.counters().rawReads, 0u);
    LinkRelease();
    adapter.setIdentity(0xA5);
    EXPECT_EQ(LinkAcquire(), LINK_NO_ADAPTER);
    ExpectNoViolations();
}

TEST_F(LinkWithAdapter, RefusedAcquiresAndStrayReleases)
{
    Build(ForRead(RM_NIBBLE_SLOW));
    EXPECT_EQ(LinkRelease(), LINK_NOT_ACQUIRED);
    EXPECT_EQ(bus.accessCount(), 0u);
    adapter.setPresent(false);
    EXPECT_EQ(LinkAcquire(), LINK_NO_ADAPTER);
    EXPECT_EQ(LinkState.Acquired, 0);
    adapter.setPresent(true);
    adapter.setSilent(true);
    EXPECT_EQ(LinkAcquire(), LINK_NO_ADAPTER);
    adapter.setSilent(false);
    ASSERT_EQ(LinkAcquire(), LINK_OK);
    uint64_t after = bus.accessCount();
    EXPECT_EQ(LinkAcquire(), LINK_ALREADY_ACQUIRED);
    EXPECT_EQ(bus.accessCount(), after);
    EXPECT_EQ(LinkRelease(), LINK_OK);
    after = bus.accessCount();
    EXPECT_EQ(LinkRelease(), LINK_NOT_ACQUIRED);
    EXPECT_EQ(bus.accessCount(), after);
}

class InterruptWait : public LinkWithAdapter, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(InterruptWait, ArmedPortSignalsTheDriveInterrupt)
{
    Build(ForRead(GetParam()));
    ASSERT_EQ(LinkAcquire(), LINK_OK);
    LinkBeginInterruptWait();
    LinkReadRegister(ATA_REG_STATUS);
    LinkInterruptAck();
    uint64_t before = bus.accessCount();
    EXPECT_EQ(LinkAcquire(), LINK_OK);
    EXPECT_EQ(bus.accessCount(), before);
    EXPECT_EQ(LinkRelease(), LINK_OK);  // arms; the port stays owned
    EXPECT_EQ(LinkState.Acquired, 1);
    EXPECT_EQ(port->controlLatch() & 0x10, 0x10);
    EXPECT_EQ(LinkInterruptPending(), LINK_NO_INTERRUPT);
    EXPECT_FALSE(port->interruptLine());
    device.setInterrupt(true);
    EXPECT_EQ(LinkInterruptPending(), LINK_OK);
    EXPECT_TRUE(port->interruptLine());
    LinkEndInterruptWait();
    EXPECT_EQ(LinkInterruptPending(), LINK_NO_INTERRUPT);
    EXPECT_EQ(LinkRelease(), LINK_OK);
    EXPECT_EQ(LinkState.Acquired, 0);
    ExpectNoViolations();
}

INSTANTIATE_TEST_SUITE_P(PlainAndEnhanced, InterruptWait, ::testing::Values(RM_NIBBLE_SLOW, RM_EPP8));

// The register-window chipset's EPP layout, once host setup found it.
class AlternateLayout : public LinkWithAdapter, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(AlternateLayout, RegistersAndSectorsGoThroughBasePlusSix)
{
    ModeSetup s{GetParam(), GetParam() == RM_EPP32 ? uint32_t{WM_EPP32} : uint32_t{WM_EPP8}};
    Build(s);
    port->setAlternateEppLayout(true);
    port->setChipEpp(true);
    CmosWindowState.State = 1;
    ASSERT_EQ(LinkAcquire(), LINK_OK) << adapter.lastViolation();
    LoadTaskFile();
    EXPECT_EQ(LinkReadRegister(5), TaskFileValue(5));
    LinkWriteRegister(4, 0x42);
    EXPECT_EQ(device.latch(4), 0x42);
    std::vector<uint8_t> data = RandomBytes(1024, 11);
    device.loadReadData(data);
    std::vector<uint8_t> buffer(1024);
    LinkReadBlock(buffer.data(), 1024);
    EXPECT_EQ(buffer, data);
    device.expectWriteData(1024);
    LinkWriteBlock(data.data(), 1024);
    EXPECT_EQ(device.written(), data);
    LinkRelease();
    ExpectNoViolations();
}

INSTANTIATE_TEST_SUITE_P(EppModes, AlternateLayout, ::testing::Values(RM_EPP8, RM_EPP32));

TEST_F(LinkWithAdapter, Epp32ProbeReadsTheIdentityOnLaneThree)
{
    Build(ForRead(RM_EPP8));
    ASSERT_EQ(LinkAcquire(), LINK_OK);
    EXPECT_TRUE(Epp32Probe());
    EXPECT_EQ(LinkState.Epp32Usable, 1);
    adapter.setIdentity(0xA7);
    EXPECT_FALSE(Epp32Probe());
    EXPECT_EQ(LinkState.Epp32Usable, 0);
}

// Detection through the probe entry, then ordinary requests in the modes it
// negotiated.
TEST_F(LinkWithAdapter, ProbeFindsTheAdapterAndReportsItsModes)
{
    Build(ForRead(RM_NIBBLE_SLOW), sim::ParallelPortKind::Ps2);
    LinkState.AdapterIdValue = 0;
    uint32_t record[4] = {kBase, 0, 0xFFFFFFFFu, 0};
    ASSERT_EQ(LinkProbeAdapter(record), LINK_OK);
    EXPECT_EQ(record[0], kBase);
    EXPECT_EQ(record[2], 0x0901u);  // a bidirectional port passes the first pair of the ladder, 9/1
    EXPECT_EQ(record[3], 1u);
    EXPECT_EQ(LinkState.AdapterIdValue, kIdentity);
    ASSERT_EQ(LinkAcquire(), LINK_OK);
    LoadTaskFile();
    EXPECT_EQ(LinkReadRegister(3), TaskFileValue(3));
    EXPECT_EQ(LinkRelease(), LINK_OK);
    ExpectNoViolations();
}

// Port 0 asks for every standard port in turn: the record then says where
// the adapter answered.
TEST_F(LinkWithAdapter, ProbeOfEveryPortReportsWhereTheAdapterAnswered)
{
    Build(ForRead(RM_NIBBLE_SLOW), sim::ParallelPortKind::Ps2);
    uint32_t record[4] = {0, 0, 0xFFFFFFFFu, 0};
    ASSERT_EQ(LinkProbeAdapter(record), LINK_OK);
    EXPECT_EQ(record[0], kBase);
    EXPECT_EQ(record[1], 0u);
    ExpectNoViolations();
}

TEST_F(LinkWithAdapter, ProbeWithoutAdapterLeavesTheRecord)
{
    Build(ForRead(RM_NIBBLE_SLOW));
    adapter.setPresent(false);
    std::vector<uint32_t> record{kBase, 7, 0xFFFFFFFFu, 0};
    EXPECT_EQ(LinkProbeAdapter(record.data()), LINK_NO_ADAPTER);
    EXPECT_EQ(record, (std::vector<uint32_t>{kBase, 7, 0xFFFFFFFFu, 0}));
}

}  // namespace
