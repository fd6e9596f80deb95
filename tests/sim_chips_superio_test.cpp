// Super I/O chip models (SMC, National Semiconductor, Winbond) and the PCI
// function, driven by their configuration sequences as raw port accesses.
#include <gtest/gtest.h>

#include "sim/chips/ns_pc873xx.h"
#include "sim/chips/pci_config.h"
#include "sim/chips/smc_fdc37c665.h"
#include "sim/chips/smc_fdc37c666.h"
#include "sim/chips/smc_fdc37c93x.h"
#include "sim/chips/winbond_w83877f.h"
#include "support/chip_test_support.h"

using namespace sim;
using chiptest::FakeFeatures;
using chiptest::outs;
using chiptest::Rig;

namespace {

// SMC configuration: enter with a key written twice, leave with 0xAA twice;
// on the pair 0xEA every stay is bracketed by 0xFB and 0xF9.
void smcEnter(IoBus& bus, uint16_t index, uint8_t key)
{
    if (index == 0xEA) bus.out8(0xFB, 0x00);
    outs(bus, {{index, key}, {index, key}});
}
void smcLeave(IoBus& bus, uint16_t index)
{
    outs(bus, {{index, 0xAA}, {index, 0xAA}});
    if (index == 0xEA) bus.out8(0xF9, 0x00);
}
// Index/data pair access (SMC and National Semiconductor alike).
uint8_t rd(IoBus& bus, uint16_t index, uint8_t reg)
{
    bus.out8(index, reg);
    return bus.in8(index + 1);
}
void wr(IoBus& bus, uint16_t index, uint8_t reg, uint8_t value, int times = 1)
{
    bus.out8(index, reg);
    for (int i = 0; i < times; ++i) bus.out8(index + 1, value);
}
uint8_t smcIdentity(IoBus& bus, uint16_t index, uint8_t key, int selects)
{
    smcEnter(bus, index, key);
    for (int i = 0; i < selects; ++i) bus.out8(index, 0x0D);
    return bus.in8(index + 1);
}
// Register 1 bit 3 cleared, register 4 bits 0, 1, 6 set.
void smc665Epp(IoBus& bus, uint16_t index, FakeFeatures* port = nullptr)
{
    wr(bus, index, 1, rd(bus, index, 1) & 0xF7);
    if (port) EXPECT_FALSE(port->epp) << "register 1 alone must not enable EPP";
    wr(bus, index, 4, rd(bus, index, 4) | 0x43);
}

struct SmcCase {
    uint16_t index;
    uint8_t identity;
};

class SmcRegisterStyle : public ::testing::TestWithParam<SmcCase> {};

TEST_P(SmcRegisterStyle, IdentifiesAndSwitchesEppOnlyAfterBothRegisters)
{
    const uint16_t index = GetParam().index;
    Rig<SmcFdc37c665> m(index, GetParam().identity);
    EXPECT_FALSE(m.port.epp);
    EXPECT_EQ(smcIdentity(m.bus, index, 0x55, 2), GetParam().identity);
    smc665Epp(m.bus, index, &m.port);
    EXPECT_TRUE(m.port.epp);
    smcLeave(m.bus, index);
    EXPECT_FALSE(m.chip.inConfigMode());
    EXPECT_FALSE(m.chip.bracketOpen());
    EXPECT_EQ(m.chip.reg(4) & 0x43, 0x43);
    EXPECT_EQ(m.chip.violations(), 0u);
    EXPECT_EQ(m.bus.in8(index + 1), 0xFF) << "registers hidden after leaving";
}

INSTANTIATE_TEST_SUITE_P(Pairs, SmcRegisterStyle,
                         ::testing::Values(SmcCase{0x3F0, 0x65}, SmcCase{0x370, 0x65}, SmcCase{0xEA, 0x65},
                                           SmcCase{0x3F0, 0x03}, SmcCase{0xEA, 0x03}));

TEST(SmcConfig, WrongKeyOrMissingBracketTouchesNothing)
{
    Rig<SmcFdc37c665> m(0xEA);
    outs(m.bus, {{0xEA, 0x55}, {0xEA, 0x55}, {0xEA, 0x0D}});  // no 0xFB bracket: not decoded
    EXPECT_EQ(m.bus.in8(0xEB), 0xFF);
    m.bus.out8(0xEB, 0x00);
    EXPECT_EQ(smcIdentity(m.bus, 0xEA, 0x44, 1), 0xFF) << "the family's second key";
    m.bus.out8(0xEB, 0x00);
    smcLeave(m.bus, 0xEA);
    outs(m.bus, {{0xFB, 0}, {0xEA, 0x55}, {0xEA, 0x0D}, {0xEA, 0x55}});  // key once, then other
    EXPECT_FALSE(m.chip.inConfigMode());
    m.bus.out8(0xF9, 0);
    EXPECT_FALSE(m.chip.registersChanged());
    EXPECT_FALSE(m.port.epp);
    EXPECT_EQ(m.chip.violations(), 1u) << "one data write in run mode";
}

TEST(SmcConfig, HalfWorkingChipKeepsRegistersButNotTheSwitch)
{
    Rig<SmcFdc37c665> m(0x3F0, 0x65, ChipFault::SwitchIgnored);
    smcEnter(m.bus, 0x3F0, 0x55);
    smc665Epp(m.bus, 0x3F0);
    smcLeave(m.bus, 0x3F0);
    EXPECT_TRUE(m.chip.eppEnabled());
    EXPECT_FALSE(m.port.epp);
}

TEST(Smc666, AnswersOnlyUnderSecondKeyAndNeedsNoWrites)
{
    Rig<SmcFdc37c666> m(0x370);
    EXPECT_TRUE(m.port.epp) << "strapped EPP from power-on";
    EXPECT_EQ(smcIdentity(m.bus, 0x370, 0x55, 2), 0xFF);
    EXPECT_EQ(rd(m.bus, 0x370, 7), 0xFF) << "no logical-device register either";
    smcLeave(m.bus, 0x370);
    EXPECT_EQ(smcIdentity(m.bus, 0x370, 0x44, 1), 0x66);
    smcLeave(m.bus, 0x370);
    EXPECT_FALSE(m.chip.registersChanged());
    EXPECT_EQ(m.chip.writeCount(), 0u);
    Rig<SmcFdc37c666> half(0x3F0, ChipFault::SwitchIgnored);
    EXPECT_FALSE(half.port.epp);
}

class Smc93x : public ::testing::TestWithParam<uint16_t> {};

TEST_P(Smc93x, ParallelDeviceAtMatchingBaseGetsEpp)
{
    const uint16_t index = GetParam();
    const uint8_t mode = index == 0xEA ? 0x03 : 0x3B;
    Rig<SmcFdc37c93x> m(index, 0x278);
    uint8_t id = smcIdentity(m.bus, index, 0x55, 2);
    EXPECT_NE(id, 0x65);
    EXPECT_NE(id, 0x03);
    ASSERT_NE(rd(m.bus, index, 7), 0xFF);
    wr(m.bus, index, 7, 3);
    EXPECT_EQ(rd(m.bus, index, 0x60) << 8 | rd(m.bus, index, 0x61), 0x278);
    wr(m.bus, index, 0xF0, mode);
    smcLeave(m.bus, index);
    EXPECT_TRUE(m.port.epp);
    EXPECT_EQ(m.chip.deviceRegister(3, 0xF0), mode);
}

INSTANTIATE_TEST_SUITE_P(Pairs, Smc93x, ::testing::Values(0x3F0, 0x370, 0xEA));

TEST(Smc93xProbe, OtherBaseRestoresDeviceNumberAndWrongAnswerLooksAbsent)
{
    Rig<SmcFdc37c93x> m(0x3F0, 0x3BC);
    smcEnter(m.bus, 0x3F0, 0x55);
    uint8_t saved = rd(m.bus, 0x3F0, 7);
    wr(m.bus, 0x3F0, 7, 3);
    EXPECT_EQ(rd(m.bus, 0x3F0, 0x60), 0x03);
    EXPECT_EQ(rd(m.bus, 0x3F0, 0x61), 0xBC);
    wr(m.bus, 0x3F0, 7, saved);
    smcLeave(m.bus, 0x3F0);
    EXPECT_FALSE(m.chip.registersChanged());

    Rig<SmcFdc37c93x> w(0x3F0, 0x378, ChipFault::WrongAnswer);
    smcEnter(w.bus, 0x3F0, 0x55);
    EXPECT_EQ(rd(w.bus, 0x3F0, 7), 0xFF);
}

TEST(SmcConfig, BracketAtEAOpensAndClosesOnlyWithItsKeys)
{
    Rig<SmcFdc37c93x> m(0xEA, 0x378);
    m.bus.out8(0xFB, 0x01);  // not the key: the pair stays hidden
    outs(m.bus, {{0xEA, 0x55}, {0xEA, 0x55}, {0xEA, 0x20}});
    EXPECT_FALSE(m.chip.bracketOpen());
    EXPECT_EQ(m.bus.in8(0xEB), 0xFF);
    EXPECT_EQ(m.chip.configEntries(), 0u);

    m.bus.out8(0xFB, 0x00);
    EXPECT_TRUE(m.chip.bracketOpen());
    smcEnter(m.bus, 0xEA, 0x55);
    EXPECT_EQ(rd(m.bus, 0xEA, 0x20), 0x30);
    m.bus.out8(0xF9, 0x01);  // not the key: the pair stays open
    EXPECT_TRUE(m.chip.bracketOpen());
    smcLeave(m.bus, 0xEA);
    EXPECT_FALSE(m.chip.bracketOpen());
    EXPECT_EQ(m.chip.violations(), 0u);
}

TEST(SmcConfig, LogicalDeviceModeRegisterKeepsEveryBit)
{
    Rig<SmcFdc37c93x> m(0x3F0, 0x378);
    smcEnter(m.bus, 0x3F0, 0x55);
    wr(m.bus, 0x3F0, 0x07, 3);
    wr(m.bus, 0x3F0, 0xF0, 0x3B);
    EXPECT_EQ(rd(m.bus, 0x3F0, 0xF0), 0x3B) << "FIFO threshold and timing bits are read/write";
    EXPECT_TRUE(m.port.epp);
    wr(m.bus, 0x3F0, 0xF0, 0x03);
    EXPECT_EQ(rd(m.bus, 0x3F0, 0xF0), 0x03);
    smcLeave(m.bus, 0x3F0);
}

// National Semiconductor: index port reads back, no key, data written twice.
struct NsCase {
    uint16_t index;
    uint16_t base;
    uint8_t farBits;  // FAR bits 1-0 expected
};

class NsChip : public ::testing::TestWithParam<NsCase> {};

TEST_P(NsChip, AddressDecodeAndEppEnable)
{
    const NsCase c = GetParam();
    Rig<NsPc873xx> m(c.index, c.base);
    m.bus.out8(c.index, 0x00);
    EXPECT_EQ(m.bus.in8(c.index), 0x00) << "index port reads back";
    EXPECT_EQ(m.bus.in8(c.index + 1) & 0x01, 0x01);
    EXPECT_EQ(rd(m.bus, c.index, 1) & 0x03, c.farBits);
    EXPECT_EQ(m.chip.selectedPort(), c.base);

    uint8_t ptr = rd(m.bus, c.index, 2);
    wr(m.bus, c.index, 2, ptr & 0x7F, 2);
    EXPECT_EQ(m.bus.in8(c.index + 1) & 0x80, 0x00) << "PTR bit 7 is writable";
    wr(m.bus, c.index, 2, ptr | 0x80, 2);
    wr(m.bus, c.index, 4, static_cast<uint8_t>((rd(m.bus, c.index, 4) & 0x81) | 0x01), 2);
    EXPECT_EQ(rd(m.bus, c.index, 4) & 0x15, 0x01);
    EXPECT_TRUE(m.port.epp);
    wr(m.bus, c.index, 2, ptr & 0x7F, 2);
    EXPECT_FALSE(m.port.epp) << "extended modes withdrawn";
}

INSTANTIATE_TEST_SUITE_P(Straps, NsChip,
                         ::testing::Values(NsCase{0x398, 0x378, 0x00}, NsCase{0x26E, 0x278, 0x02},
                                           NsCase{0x15C, 0x3BC, 0x01}, NsCase{0x2E, 0x378, 0x00}));

TEST(NsChipFaults, ReservedBitAndForeignAddress)
{
    Rig<NsPc873xx> m(0x398, 0x378, ChipFault::WrongAnswer);
    uint8_t found = rd(m.bus, 0x398, 4);
    wr(m.bus, 0x398, 4, 0x01, 2);
    EXPECT_EQ(m.bus.in8(0x399) & 0x15, 0x11);
    wr(m.bus, 0x398, 4, found, 2);  // written back as read: bit 4 is not stored
    m.bus.out8(0x398, 0x00);
    EXPECT_FALSE(m.chip.registersChanged());

    Rig<NsPc873xx> f(0x2E, 0x378);  // FAR moved elsewhere: the owned port loses EPP
    wr(f.bus, 0x2E, 4, 0x01, 2);
    EXPECT_TRUE(f.port.epp);
    wr(f.bus, 0x2E, 1, 0x12, 2);
    EXPECT_FALSE(f.port.epp);
    EXPECT_EQ(f.bus.in8(0x398), 0xFF) << "nothing at the other straps";
}

TEST(NsChipProtocol, DataTakesEffectOnlyWhenWrittenTwiceInSuccession)
{
    Rig<NsPc873xx> m(0x398, 0x378);
    uint8_t ptr = rd(m.bus, 0x398, 2);
    wr(m.bus, 0x398, 2, ptr & 0x7F, 1);
    EXPECT_EQ(m.bus.in8(0x399), ptr) << "a lone write is ignored";
    EXPECT_EQ(m.chip.violations(), 1u);

    m.bus.out8(0x399, ptr & 0x7F);  // two writes with an index write between them
    m.bus.out8(0x398, 2);
    m.bus.out8(0x399, ptr & 0x7F);
    EXPECT_EQ(m.bus.in8(0x399), ptr);
    EXPECT_EQ(m.chip.violations(), 3u);

    wr(m.bus, 0x398, 4, 0x01, 2);
    EXPECT_EQ(m.bus.in8(0x399) & 0x07, 0x01) << "two writes in succession store";
    EXPECT_TRUE(m.port.epp);
    wr(m.bus, 0x398, 4, 0x03, 3);
    EXPECT_EQ(m.bus.in8(0x399) & 0x07, 0x03) << "a third write in the same run is harmless";
    EXPECT_EQ(m.chip.violations(), 3u);
}

TEST(NsChipProtocol, FirstIndexReadAfterResetAnswersTheIdentification)
{
    Rig<NsPc873xx> m(0x2E, 0x378);
    EXPECT_EQ(m.bus.in8(0x2E), 0x88);
    EXPECT_EQ(m.bus.in8(0x2E), 0x00) << "from the second read on, the index";
    m.bus.out8(0x2E, 0x04);
    EXPECT_EQ(m.bus.in8(0x2E), 0x04);
}

// Winbond: key at 0x250, index 0x251, data 0x252.
uint8_t wbRead(IoBus& bus, uint8_t reg)
{
    bus.out8(0x251, reg);
    return bus.in8(0x252);
}

class Winbond : public ::testing::TestWithParam<uint8_t> {};

TEST_P(Winbond, ReadBackTestThenEppSwitch)
{
    const uint8_t key = GetParam();
    Rig<WinbondW83877f> m(key);
    m.bus.out8(0x250, key);
    uint8_t test = static_cast<uint8_t>(~wbRead(m.bus, 1));
    uint8_t saved = wbRead(m.bus, 0);
    m.bus.out8(0x252, test);
    wbRead(m.bus, 1);
    EXPECT_EQ(wbRead(m.bus, 0), test);
    outs(m.bus, {{0x252, saved}, {0x250, 0x00}});
    EXPECT_FALSE(m.chip.registersChanged());

    m.bus.out8(0x250, key);
    m.bus.out8(0x252, wbRead(m.bus, 9) | 0x80);
    EXPECT_FALSE(m.port.epp);
    m.bus.out8(0x252, wbRead(m.bus, 0) | 0x04);
    m.bus.out8(0x250, 0x00);
    EXPECT_TRUE(m.port.epp);
    EXPECT_EQ(m.chip.violations(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Keys, Winbond, ::testing::Values(0x89, 0x88));

TEST(WinbondKeys, WrongKeyLeavesRegistersClosed)
{
    Rig<WinbondW83877f> m(0x88);
    m.bus.out8(0x250, 0x89);
    EXPECT_EQ(wbRead(m.bus, 0), 0xFF);
    outs(m.bus, {{0x252, 0x04}, {0x250, 0x00}});
    EXPECT_FALSE(m.chip.registersChanged());
    EXPECT_EQ(m.chip.writeCount(), 0u);

    Rig<WinbondW83877f> w(0x89, ChipFault::WrongAnswer);
    outs(w.bus, {{0x250, 0x89}, {0x251, 0}, {0x252, 0xA5}});
    EXPECT_NE(w.bus.in8(0x252), 0xA5);
}

// PCI mechanism 1, with interrupts off as the protocol demands.
struct Pci {
    explicit Pci(uint16_t base, ChipFault fault = ChipFault::None) : pci(bus, port, base, fault)
    {
        bus.attach(pci);
    }
    Clock clock;
    IoBus bus{clock};
    FakeFeatures port;
    PciConfigSpace pci;
};

class PciPort : public ::testing::TestWithParam<std::pair<uint16_t, uint8_t>> {};

TEST_P(PciPort, ReportsPortAndEnablesEpp)
{
    Pci m(GetParam().first);
    m.bus.disableInterrupts();
    EXPECT_NE(m.bus.in8(0xCF8), static_cast<uint8_t>(m.bus.in32(0xCF8)));
    uint32_t saved = m.bus.in32(0xCF8);
    m.bus.out32(0xCF8, 0x80001050);
    uint8_t r52 = m.bus.in8(0xCFE);
    m.bus.out32(0xCF8, saved);
    EXPECT_EQ((r52 >> 2) & 3, GetParam().second);
    EXPECT_FALSE(m.pci.registersChanged()) << "a read-only probe restores CONFIG_ADDRESS";

    m.bus.out32(0xCF8, 0x80001050);
    m.bus.out8(0xCFE, r52 | 0x20);
    EXPECT_FALSE(m.port.epp) << "0x53 not yet written";
    m.bus.out32(0xCF8, 0x80001050);
    m.bus.out8(0xCFF, 0x80);
    m.bus.out32(0xCF8, saved);
    m.bus.enableInterrupts();
    EXPECT_EQ(m.port.epp, GetParam().first != 0);
    EXPECT_EQ(m.pci.violations(), 0u);
    EXPECT_EQ(m.pci.configAddress(), saved);
}

INSTANTIATE_TEST_SUITE_P(Ports, PciPort,
                         ::testing::Values(std::make_pair<uint16_t, uint8_t>(0x378, 0),
                                           std::make_pair<uint16_t, uint8_t>(0x278, 1),
                                           std::make_pair<uint16_t, uint8_t>(0x3BC, 2),
                                           std::make_pair<uint16_t, uint8_t>(0, 3)));

TEST(PciConfig, InterruptsEnabledAndWrongFunctionAndAbsentMechanism)
{
    Pci m(0x378);
    m.bus.in32(0xCF8);
    EXPECT_EQ(m.pci.accessesWithInterruptsEnabled(), 1u);
    m.bus.disableInterrupts();
    m.bus.out32(0xCF8, 0x80001850);  // device 3
    EXPECT_EQ(m.bus.in8(0xCFE), 0xFF);
    m.bus.out8(0xCFE, 0x20);
    m.bus.out32(0xCF8, 0x00001050);  // enable bit clear
    EXPECT_EQ(m.bus.in32(0xCFC), 0xFFFFFFFFu);
    EXPECT_EQ(m.pci.functionRegister(0x52) & 0x20, 0);

    Pci w(0x378, ChipFault::WrongAnswer);
    w.bus.disableInterrupts();
    EXPECT_EQ(w.bus.in8(0xCF8), static_cast<uint8_t>(w.bus.in32(0xCF8)));
}

}  // namespace
