// Adapter detection and mode negotiation against the parallel port and
// NIMB adapter models: port order, identity, the test pattern, the trial
// ladder, forced modes and their fall-back, and what a failed port keeps.
#include <gtest/gtest.h>

#include <algorithm>

#include "adapter_rig.h"
#include "sim/chips/smc_fdc37c665.h"

namespace {

using sim::ParallelPortKind;

uint16_t BaseOf(uint16_t port)
{
    for (uint16_t base : {0x378, 0x3BC, 0x278})
        if (port >= base && port <= base + 7) return base;
    return 0;
}

// ---- Port order ---------------------------------------------------------

class DetectionPortOrder : public ::testing::TestWithParam<uint16_t> {};

TEST_P(DetectionPortOrder, TriesStandardPortsInOrderAndStopsAtTheAdapter)
{
    AdapterRigOptions o;
    o.base = GetParam();
    o.kind = ParallelPortKind::Spp;
    AdapterRig rig(o);
    rig.start();
    rig.bus.startRecording();
    ASSERT_TRUE(InitAdapterOnPorts(0));
    EXPECT_EQ(PortBase, GetParam());
    std::vector<uint16_t> order;
    for (const auto& a : rig.bus.recorded()) {
        uint16_t base = BaseOf(a.port);
        if (base && (order.empty() || order.back() != base) &&
            std::find(order.begin(), order.end(), base) == order.end())
            order.push_back(base);
    }
    std::vector<uint16_t> expected;
    for (uint16_t base : {0x378, 0x3BC, 0x278}) {
        expected.push_back(base);
        if (base == GetParam()) break;
    }
    EXPECT_EQ(order, expected);
    EXPECT_EQ(rig.adapter.violationCount(), 0u) << rig.adapter.lastViolation();
}

INSTANTIATE_TEST_SUITE_P(Ports, DetectionPortOrder, ::testing::Values(0x378, 0x3BC, 0x278));

TEST(Detection, SecondCallAfterBringUpTouchesNothing)
{
    AdapterRig rig;
    rig.start();
    ASSERT_TRUE(InitAdapterOnPorts(0));
    uint64_t before = rig.bus.accessCount();
    EXPECT_FALSE(InitAdapterOnPorts(0));
    EXPECT_FALSE(InitAdapterOnPorts(0x378));
    EXPECT_EQ(rig.bus.accessCount(), before);
}

// ---- Identity -----------------------------------------------------------

class DetectionIdentity : public ::testing::TestWithParam<std::pair<uint8_t, bool>> {};

TEST_P(DetectionIdentity, UpperNibbleMustBeA)
{
    AdapterRig rig;
    rig.adapter.setIdentity(GetParam().first);
    rig.start();
    EXPECT_EQ(InitAdapterOnPorts(0x378), GetParam().second);
    if (GetParam().second) EXPECT_EQ(LinkState.AdapterIdValue, GetParam().first);
}

INSTANTIATE_TEST_SUITE_P(Values, DetectionIdentity,
                         ::testing::Values(std::make_pair(uint8_t(0xA3), true),
                                           std::make_pair(uint8_t(0xAF), true),
                                           std::make_pair(uint8_t(0x53), false),
                                           std::make_pair(uint8_t(0xB3), false),
                                           std::make_pair(uint8_t(0x0A), false)));

// ---- The test pattern ---------------------------------------------------

class PatternCorruption : public ::testing::TestWithParam<std::pair<unsigned, unsigned>> {};

TEST_P(PatternCorruption, OneWrongByteInAnyPassFailsThePair)
{
    AdapterRig rig;
    rig.start();
    ASSERT_TRUE(InitAdapterOnPorts(0x378));
    ASSERT_EQ(LinkAcquire(), LINK_OK);
    ASSERT_TRUE(PatternTest(0x378));
    rig.adapter.corruptPatternByte(GetParam().first, GetParam().second);
    EXPECT_FALSE(PatternTest(0x378));
    rig.adapter.clearPatternCorruption();
    EXPECT_TRUE(PatternTest(0x378));
    EXPECT_EQ(LinkRelease(), LINK_OK);
}

INSTANTIATE_TEST_SUITE_P(Passes, PatternCorruption,
                         ::testing::Values(std::make_pair(0u, 0u), std::make_pair(0u, 511u),
                                           std::make_pair(57u, 200u), std::make_pair(99u, 1u)));

// Outputs that settle after 3 us: the echo and identity (slow, repeated
// accesses) still pass, every block mode fails, on a machine whose SMC chip
// was switched to EPP on the way.
TEST(Detection, NoPairPassingFailsAndLeavesPortEcrAndChipAsFound)
{
    AdapterRigOptions o;
    o.kind = ParallelPortKind::Ecp;
    o.eppEnabled = false;
    o.bidirectional = false;
    AdapterRig rig(o);
    auto& smc = rig.addChip<sim::SmcFdc37c665>(rig.port, 0x3F0, 0x65, sim::ChipFault::None);
    rig.adapter.setSettleTime(3000);
    rig.start();
    rig.port.write8(0x378, 0x5A);
    rig.port.write8(0x37A, 0x0C);
    uint8_t ecr = rig.port.read8(0x77A);
    EXPECT_FALSE(InitAdapterOnPorts(0x378));
    EXPECT_EQ(LinkState.AdapterIdValue, 0xA3);  // the adapter did answer
    EXPECT_EQ(AdapterInitState.FoundReadMode, NO_MODE);
    EXPECT_EQ(AdapterInitState.FoundWriteMode, NO_MODE);
    EXPECT_EQ(AdapterInitState.Initialised, 0);
    EXPECT_EQ(rig.port.dataLatch(), 0x5A);
    EXPECT_EQ(rig.port.controlLatch() & 0x3F, 0x0C);
    EXPECT_EQ(rig.port.read8(0x77A), ecr);
    EXPECT_FALSE(smc.registersChanged()) << ::testing::PrintToString(smc.changedRegisters());
    EXPECT_EQ(LinkState.HostPortKind, HOST_PORT_PLAIN);
    EXPECT_EQ(smc.violations(), 0u) << smc.lastViolation();
}

TEST(Detection, NoAdapterLeavesDataAndControlAsFound)
{
    AdapterRigOptions o;
    o.adapterPresent = false;
    AdapterRig rig(o);
    rig.start();
    rig.port.write8(0x378, 0x33);
    rig.port.write8(0x37A, 0x0D);
    EXPECT_FALSE(InitAdapterOnPorts(0));
    EXPECT_EQ(rig.port.dataLatch(), 0x33);
    EXPECT_EQ(rig.port.controlLatch() & 0x1F, 0x0D);
}

// ---- The ladder ---------------------------------------------------------

struct LadderCase {
    ParallelPortKind kind;
    sim::Nanoseconds settle;
    uint8_t readMode;
    uint8_t writeMode;
};

class DetectionLadder : public ::testing::TestWithParam<LadderCase> {};

TEST_P(DetectionLadder, PicksTheFastestPairThatPasses)
{
    AdapterRigOptions o;
    o.kind = GetParam().kind;
    AdapterRig rig(o);
    rig.adapter.setSettleTime(GetParam().settle);
    rig.start();
    ASSERT_TRUE(InitAdapterOnPorts(0x378));
    EXPECT_EQ(DriverParameters.ReadMode, GetParam().readMode);
    EXPECT_EQ(DriverParameters.WriteMode, GetParam().writeMode);
    EXPECT_EQ(LinkState.LinkReadMode, GetParam().readMode);
    EXPECT_EQ(LinkState.LinkWriteMode, GetParam().writeMode);
    EXPECT_EQ(AdapterInitState.Initialised, 1);
}

INSTANTIATE_TEST_SUITE_P(Ports, DetectionLadder,
                         ::testing::Values(LadderCase{ParallelPortKind::Epp, 0, RM_EPP8, WM_EPP8},
                                           LadderCase{ParallelPortKind::Ps2, 0, RM_BIDIR_SLOW, WM_BYTE},
                                           LadderCase{ParallelPortKind::Spp, 0, RM_53, WM_BYTE},
                                           LadderCase{ParallelPortKind::Spp, 1500, RM_53_SLOW, WM_BYTE}));

struct Reg83Case {
    uint8_t param;
    uint8_t readMode;  // forced when not RM_EPP8
    uint8_t writeMode;
};

class DetectionReg83 : public ::testing::TestWithParam<Reg83Case> {};

TEST_P(DetectionReg83, EppPairsLoadRegister83)
{
    AdapterRig rig;
    DriverParameters.Reg83Param = GetParam().param;
    if (GetParam().readMode != RM_EPP8) {
        DriverParameters.ReadMode = GetParam().readMode;
        DriverParameters.WriteMode = GetParam().writeMode;
        DriverParameters.ModesForced = 1;
    }
    rig.start();
    ASSERT_TRUE(InitAdapterOnPorts(0x378));
    EXPECT_EQ(DriverParameters.ReadMode, GetParam().readMode);
    EXPECT_EQ(DriverParameters.WriteMode, GetParam().writeMode);
    EXPECT_EQ(rig.adapter.register83(), GetParam().param);
    EXPECT_NE(LinkState.HostPortKind, HOST_PORT_PLAIN);
    EXPECT_EQ(rig.adapter.violationCount(), 0u) << rig.adapter.lastViolation();
}

INSTANTIATE_TEST_SUITE_P(Pairs, DetectionReg83,
                         ::testing::Values(Reg83Case{2, RM_EPP8, WM_EPP8},
                                           Reg83Case{2, RM_EPP32, WM_EPP32},
                                           Reg83Case{5, RM_EPP8, WM_EPP8}));

// ---- Forced modes and the fall-back -------------------------------------

void ForceModes(uint8_t readMode, uint8_t writeMode)
{
    DriverParameters.ReadMode = readMode;
    DriverParameters.WriteMode = writeMode;
    DriverParameters.ModesForced = 1;
}

TEST(DetectionForced, EppOn3bcFallsBackToNegotiatedModes)
{
    AdapterRigOptions o;
    o.base = 0x3BC;
    o.kind = ParallelPortKind::Ps2;
    AdapterRig rig(o);
    ForceModes(RM_EPP8, WM_EPP8);
    rig.start();
    ASSERT_TRUE(InitAdapterOnPorts(0x3BC));
    EXPECT_EQ(DriverParameters.ReadMode, AdapterInitState.FoundReadMode);
    EXPECT_EQ(DriverParameters.ReadMode, RM_BIDIR_SLOW);
    EXPECT_EQ(LinkState.HostPortKind, HOST_PORT_PLAIN);
    EXPECT_EQ(AdapterInitState.Initialised, 1);
}

TEST(DetectionForced, ByteSevenModesWhereEppWasFoundFallBackToEpp)
{
    for (uint8_t readMode : {uint8_t(RM_BYTE7_FAST), uint8_t(RM_BYTE7_SLOW)}) {
        AdapterRig rig;
        ForceModes(readMode, WM_BYTE_SLOW);
        rig.start();
        ASSERT_TRUE(InitAdapterOnPorts(0x378));
        EXPECT_EQ(DriverParameters.ReadMode, RM_EPP8);
        EXPECT_EQ(DriverParameters.WriteMode, WM_EPP8);
        EXPECT_NE(LinkState.HostPortKind, HOST_PORT_PLAIN);
        EXPECT_EQ(AdapterInitState.Initialised, 1);
        EXPECT_FALSE(InitAdapterOnPorts(0));  // brought up once
    }
}

TEST(DetectionForced, UnnegotiatedEpp32KeepsTheEnhancedLayout)
{
    AdapterRig rig;
    DriverParameters.NoModeNegotiation = 1;
    ForceModes(RM_EPP32, WM_EPP32);
    rig.start();
    ASSERT_TRUE(InitAdapterOnPorts(0x378));
    EXPECT_EQ(DriverParameters.ReadMode, RM_EPP32);
    EXPECT_NE(LinkState.HostPortKind, HOST_PORT_PLAIN);
    EXPECT_EQ(CmosWindowState.State, 0xFF);  // never probed: standard layout in use
    EXPECT_EQ(rig.adapter.violationCount(), 0u) << rig.adapter.lastViolation();
}

TEST(DetectionForced, UnnegotiatedEppOn3bcIsRefused)
{
    AdapterRigOptions o;
    o.base = 0x3BC;
    o.kind = ParallelPortKind::Spp;
    AdapterRig rig(o);
    DriverParameters.NoModeNegotiation = 1;
    ForceModes(RM_EPP8, WM_EPP8);
    rig.start();
    rig.bus.startRecording();
    ASSERT_TRUE(InitAdapterOnPorts(0x3BC));
    EXPECT_EQ(DriverParameters.ReadMode, RM_NIBBLE_SLOW);
    EXPECT_EQ(DriverParameters.WriteMode, WM_BYTE_SLOW);
    EXPECT_EQ(LinkState.HostPortKind, HOST_PORT_PLAIN);
    for (const auto& a : rig.bus.recorded())
        EXPECT_FALSE(a.port >= 0x3BF && a.port <= 0x3C3) << sim::formatAccess(a);
}

}  // namespace
