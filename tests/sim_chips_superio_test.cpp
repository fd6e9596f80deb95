// Super I/O chip models (SMC, National Semiconductor, Winbond) and the PCI
// function, driven by their configuration sequences as raw port accesses.
#include <gtest/gtest.h>

#include "sim/ns_pc873xx.h"
#include "sim/pci_config.h"
#include "sim/smc_fdc37c665.h"
#include "sim/smc_fdc37c666.h"
#include "sim/smc_fdc37c93x.h"
#include "sim/winbond_w83877f.h"
#include "support/chip_test_support.h"

using namespace sim;
using chiptest::FakeFeatures;

namespace {

struct Machine {
    Clock clock;
    IoBus bus{clock};
    FakeFeatures port;
};

// SMC configuration: enter with a key written twice, leave with 0xAA twice;
// on the pair 0xEA every stay is bracketed by 0xFB and 0xF9.
void smcEnter(IoBus& bus, uint16_t index, uint8_t key)
{
    if (index == 0xEA) bus.out8(0xFB, 0x00);
    bus.out8(index, key);
    bus.out8(index, key);
}
void smcLeave(IoBus& bus, uint16_t index)
{
    bus.out8(index, 0xAA);
    bus.out8(index, 0xAA);
    if (index == 0xEA) bus.out8(0xF9, 0x00);
}
uint8_t smcRead(IoBus& bus, uint16_t index, uint8_t reg)
{
    bus.out8(index, reg);
    return bus.in8(index + 1);
}
void smcWrite(IoBus& bus, uint16_t index, uint8_t reg, uint8_t value)
{
    bus.out8(index, reg);
    bus.out8(index + 1, value);
}
uint8_t smcIdentity(IoBus& bus, uint16_t index, uint8_t key, int selects)
{
    smcEnter(bus, index, key);
    for (int i = 0; i < selects; ++i) bus.out8(index, 0x0D);
    return bus.in8(index + 1);
}

struct SmcCase {
    uint16_t index;
    uint8_t identity;
};

class SmcRegisterStyle : public ::testing::TestWithParam<SmcCase> {};

TEST_P(SmcRegisterStyle, IdentifiesAndSwitchesEppOnlyAfterBothRegisters)
{
    Machine m;
    SmcFdc37c665 chip(m.port, GetParam().index, GetParam().identity);
    m.bus.attach(chip);
    EXPECT_FALSE(m.port.epp);

    EXPECT_EQ(smcIdentity(m.bus, GetParam().index, 0x55, 2), GetParam().identity);
    uint8_t r1 = smcRead(m.bus, GetParam().index, 1);
    smcWrite(m.bus, GetParam().index, 1, r1 & 0xF7);
    EXPECT_FALSE(m.port.epp) << "register 1 alone must not enable EPP";
    uint8_t r4 = smcRead(m.bus, GetParam().index, 4);
    smcWrite(m.bus, GetParam().index, 4, r4 | 0x43);
    EXPECT_TRUE(m.port.epp);
    smcLeave(m.bus, GetParam().index);

    EXPECT_FALSE(chip.inConfigMode());
    EXPECT_FALSE(chip.bracketOpen());
    EXPECT_EQ(chip.reg(4) & 0x43, 0x43);
    EXPECT_EQ(chip.violations(), 0u);
    EXPECT_EQ(m.bus.in8(GetParam().index + 1), 0xFF) << "registers hidden after leaving";
}

INSTANTIATE_TEST_SUITE_P(Pairs, SmcRegisterStyle,
                         ::testing::Values(SmcCase{0x3F0, 0x65}, SmcCase{0x370, 0x65},
                                           SmcCase{0xEA, 0x65}, SmcCase{0x3F0, 0x03},
                                           SmcCase{0xEA, 0x03}));

TEST(SmcConfig, WrongKeyOrMissingBracketTouchesNothing)
{
    Machine m;
    SmcFdc37c665 chip(m.port, 0xEA);
    m.bus.attach(chip);
    // Without the 0xFB bracket the pair is not decoded at all.
    m.bus.out8(0xEA, 0x55);
    m.bus.out8(0xEA, 0x55);
    m.bus.out8(0xEA, 0x0D);
    EXPECT_EQ(m.bus.in8(0xEB), 0xFF);
    m.bus.out8(0xEB, 0x00);
    // The second key of the family does not open a 665.
    EXPECT_EQ(smcIdentity(m.bus, 0xEA, 0x44, 1), 0xFF);
    m.bus.out8(0xEB, 0x00);
    smcLeave(m.bus, 0xEA);
    // A key written once, then something else, does not open it either.
    m.bus.out8(0xFB, 0);
    m.bus.out8(0xEA, 0x55);
    m.bus.out8(0xEA, 0x0D);
    m.bus.out8(0xEA, 0x55);
    EXPECT_FALSE(chip.inConfigMode());
    m.bus.out8(0xF9, 0);
    EXPECT_FALSE(chip.registersChanged());
    EXPECT_FALSE(m.port.epp);
    EXPECT_EQ(chip.violations(), 1u) << "one data write in run mode";
}

TEST(SmcConfig, HalfWorkingChipKeepsRegistersButNotTheSwitch)
{
    Machine m;
    SmcFdc37c665 chip(m.port, 0x3F0, 0x65, ChipFault::SwitchIgnored);
    m.bus.attach(chip);
    smcEnter(m.bus, 0x3F0, 0x55);
    smcWrite(m.bus, 0x3F0, 1, smcRead(m.bus, 0x3F0, 1) & 0xF7);
    smcWrite(m.bus, 0x3F0, 4, smcRead(m.bus, 0x3F0, 4) | 0x43);
    smcLeave(m.bus, 0x3F0);
    EXPECT_TRUE(chip.eppEnabled());
    EXPECT_FALSE(m.port.epp);
}

TEST(Smc666, AnswersOnlyUnderSecondKeyAndNeedsNoWrites)
{
    Machine m;
    SmcFdc37c666 chip(m.port, 0x370);
    m.bus.attach(chip);
    EXPECT_TRUE(m.port.epp) << "strapped EPP from power-on";
    EXPECT_EQ(smcIdentity(m.bus, 0x370, 0x55, 2), 0xFF);
    EXPECT_EQ(smcRead(m.bus, 0x370, 7), 0xFF) << "no logical-device register either";
    smcLeave(m.bus, 0x370);
    EXPECT_EQ(smcIdentity(m.bus, 0x370, 0x44, 1), 0x66);
    smcLeave(m.bus, 0x370);
    EXPECT_FALSE(chip.registersChanged());
    EXPECT_EQ(chip.writeCount(), 0u);

    Machine h;
    SmcFdc37c666 half(h.port, 0x3F0, ChipFault::SwitchIgnored);
    EXPECT_FALSE(h.port.epp);
}

class Smc93x : public ::testing::TestWithParam<uint16_t> {};

TEST_P(Smc93x, ParallelDeviceAtMatchingBaseGetsEpp)
{
    const uint16_t index = GetParam();
    const uint8_t mode = index == 0xEA ? 0x03 : 0x3B;
    Machine m;
    SmcFdc37c93x chip(m.port, index, 0x278);
    m.bus.attach(chip);
    uint8_t id = smcIdentity(m.bus, index, 0x55, 2);
    EXPECT_NE(id, 0x65);
    EXPECT_NE(id, 0x03);
    uint8_t saved = smcRead(m.bus, index, 7);
    ASSERT_NE(saved, 0xFF);
    smcWrite(m.bus, index, 7, 3);
    uint16_t base = static_cast<uint16_t>(smcRead(m.bus, index, 0x60) << 8);
    base |= smcRead(m.bus, index, 0x61);
    EXPECT_EQ(base, 0x278);
    smcWrite(m.bus, index, 0xF0, mode);
    smcLeave(m.bus, index);
    EXPECT_TRUE(m.port.epp);
    EXPECT_EQ(chip.deviceRegister(3, 0xF0), mode);
}

INSTANTIATE_TEST_SUITE_P(Pairs, Smc93x, ::testing::Values(0x3F0, 0x370, 0xEA));

TEST(Smc93xProbe, OtherBaseRestoresDeviceNumberAndWrongAnswerLooksAbsent)
{
    Machine m;
    SmcFdc37c93x chip(m.port, 0x3F0, 0x3BC);
    m.bus.attach(chip);
    smcEnter(m.bus, 0x3F0, 0x55);
    uint8_t saved = smcRead(m.bus, 0x3F0, 7);
    smcWrite(m.bus, 0x3F0, 7, 3);
    EXPECT_EQ(smcRead(m.bus, 0x3F0, 0x60), 0x03);
    EXPECT_EQ(smcRead(m.bus, 0x3F0, 0x61), 0xBC);
    smcWrite(m.bus, 0x3F0, 7, saved);
    smcLeave(m.bus, 0x3F0);
    EXPECT_FALSE(chip.registersChanged());

    Machine w;
    SmcFdc37c93x wrong(w.port, 0x3F0, 0x378, ChipFault::WrongAnswer);
    w.bus.attach(wrong);
    smcEnter(w.bus, 0x3F0, 0x55);
    EXPECT_EQ(smcRead(w.bus, 0x3F0, 7), 0xFF);
}

// National Semiconductor: index port reads back, no key.
uint8_t nsRead(IoBus& bus, uint16_t p, uint8_t reg)
{
    bus.out8(p, reg);
    return bus.in8(p + 1);
}
void nsWrite2(IoBus& bus, uint16_t p, uint8_t reg, uint8_t value)
{
    bus.out8(p, reg);
    bus.out8(p + 1, value);
    bus.out8(p + 1, value);
}

struct NsCase {
    uint16_t index;
    uint16_t base;
    uint8_t farBits;  // FAR bits 1-0 expected
};

class NsChip : public ::testing::TestWithParam<NsCase> {};

TEST_P(NsChip, AddressDecodeAndEppEnable)
{
    const NsCase c = GetParam();
    Machine m;
    NsPc873xx chip(m.port, c.index, c.base);
    m.bus.attach(chip);
    m.bus.out8(c.index, 0x00);
    EXPECT_EQ(m.bus.in8(c.index), 0x00) << "index port reads back";
    EXPECT_EQ(m.bus.in8(c.index + 1) & 0x01, 0x01);
    EXPECT_EQ(nsRead(m.bus, c.index, 1) & 0x03, c.farBits);
    EXPECT_EQ(chip.selectedPort(), c.base);

    uint8_t ptr = nsRead(m.bus, c.index, 2);
    nsWrite2(m.bus, c.index, 2, ptr & 0x7F);
    EXPECT_EQ(m.bus.in8(c.index + 1) & 0x80, 0x00) << "PTR bit 7 is writable";
    nsWrite2(m.bus, c.index, 2, ptr | 0x80);
    uint8_t pcr = nsRead(m.bus, c.index, 4);
    nsWrite2(m.bus, c.index, 4, static_cast<uint8_t>((pcr & 0x81) | 0x01));
    EXPECT_EQ(nsRead(m.bus, c.index, 4) & 0x15, 0x01);
    EXPECT_TRUE(m.port.epp);

    nsWrite2(m.bus, c.index, 2, ptr & 0x7F);
    EXPECT_FALSE(m.port.epp) << "extended modes withdrawn";
}

INSTANTIATE_TEST_SUITE_P(Straps, NsChip,
                         ::testing::Values(NsCase{0x398, 0x378, 0x00}, NsCase{0x26E, 0x278, 0x02},
                                           NsCase{0x15C, 0x3BC, 0x01}, NsCase{0x2E, 0x378, 0x00}));

TEST(NsChipFaults, ReservedBitAndForeignAddress)
{
    Machine m;
    NsPc873xx wrong(m.port, 0x398, 0x378, ChipFault::WrongAnswer);
    m.bus.attach(wrong);
    uint8_t found = nsRead(m.bus, 0x398, 4);
    nsWrite2(m.bus, 0x398, 4, 0x01);
    uint8_t pcr = m.bus.in8(0x399);
    EXPECT_EQ(pcr & 0x15, 0x11);
    nsWrite2(m.bus, 0x398, 4, found);  // written back as read: bit 4 is not stored
    m.bus.out8(0x398, 0x00);
    EXPECT_FALSE(wrong.registersChanged());

    // FAR moved to another address: the owned port loses EPP.
    Machine f;
    NsPc873xx chip(f.port, 0x2E, 0x378);
    f.bus.attach(chip);
    nsWrite2(f.bus, 0x2E, 4, 0x01);
    EXPECT_TRUE(f.port.epp);
    nsWrite2(f.bus, 0x2E, 1, 0x12);
    EXPECT_FALSE(f.port.epp);
    EXPECT_EQ(f.bus.in8(0x398), 0xFF) << "nothing at the other straps";
}

class Winbond : public ::testing::TestWithParam<uint8_t> {};

TEST_P(Winbond, ReadBackTestThenEppSwitch)
{
    const uint8_t key = GetParam();
    Machine m;
    WinbondW83877f chip(m.port, key);
    m.bus.attach(chip);
    m.bus.out8(0x250, key);
    m.bus.out8(0x251, 1);
    uint8_t test = static_cast<uint8_t>(~m.bus.in8(0x252));
    m.bus.out8(0x251, 0);
    uint8_t saved = m.bus.in8(0x252);
    m.bus.out8(0x252, test);
    m.bus.out8(0x251, 1);
    m.bus.in8(0x252);
    m.bus.out8(0x251, 0);
    EXPECT_EQ(m.bus.in8(0x252), test);
    m.bus.out8(0x252, saved);
    m.bus.out8(0x250, 0x00);
    EXPECT_FALSE(chip.registersChanged());

    m.bus.out8(0x250, key);
    m.bus.out8(0x251, 9);
    m.bus.out8(0x252, m.bus.in8(0x252) | 0x80);
    EXPECT_FALSE(m.port.epp);
    m.bus.out8(0x251, 0);
    m.bus.out8(0x252, m.bus.in8(0x252) | 0x04);
    m.bus.out8(0x250, 0x00);
    EXPECT_TRUE(m.port.epp);
    EXPECT_EQ(chip.violations(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Keys, Winbond, ::testing::Values(0x89, 0x88));

TEST(WinbondKeys, WrongKeyLeavesRegistersClosed)
{
    Machine m;
    WinbondW83877f chip(m.port, 0x88);
    m.bus.attach(chip);
    m.bus.out8(0x250, 0x89);
    m.bus.out8(0x251, 0);
    EXPECT_EQ(m.bus.in8(0x252), 0xFF);
    m.bus.out8(0x252, 0x04);
    m.bus.out8(0x250, 0x00);
    EXPECT_FALSE(chip.registersChanged());
    EXPECT_EQ(chip.writeCount(), 0u);

    Machine w;
    WinbondW83877f wrong(w.port, 0x89, ChipFault::WrongAnswer);
    w.bus.attach(wrong);
    w.bus.out8(0x250, 0x89);
    w.bus.out8(0x251, 0);
    w.bus.out8(0x252, 0xA5);
    EXPECT_NE(w.bus.in8(0x252), 0xA5);
}

// PCI mechanism 1, always with interrupts off as the protocol demands.
uint8_t pciPortControl(IoBus& bus)
{
    uint32_t saved = bus.in32(0xCF8);
    bus.out32(0xCF8, 0x80001050);
    uint8_t value = bus.in8(0xCFE);
    bus.out32(0xCF8, saved);
    return value;
}

class PciPort : public ::testing::TestWithParam<std::pair<uint16_t, uint8_t>> {};

TEST_P(PciPort, ReportsPortAndEnablesEpp)
{
    Machine m;
    PciConfigSpace pci(m.bus, m.port, GetParam().first);
    m.bus.attach(pci);
    m.bus.disableInterrupts();
    uint8_t byte = m.bus.in8(0xCF8);
    uint32_t word = m.bus.in32(0xCF8);
    EXPECT_NE(byte, static_cast<uint8_t>(word));
    EXPECT_EQ((pciPortControl(m.bus) >> 2) & 3, GetParam().second);
    EXPECT_FALSE(pci.registersChanged()) << "a read-only probe restores CONFIG_ADDRESS";

    uint32_t saved = m.bus.in32(0xCF8);
    m.bus.out32(0xCF8, 0x80001050);
    uint8_t r52 = m.bus.in8(0xCFE);
    m.bus.out32(0xCF8, 0x80001050);
    m.bus.out8(0xCFE, r52 | 0x20);
    EXPECT_FALSE(m.port.epp) << "0x53 not yet written";
    m.bus.out32(0xCF8, 0x80001050);
    m.bus.out8(0xCFF, 0x80);
    m.bus.out32(0xCF8, saved);
    m.bus.enableInterrupts();
    EXPECT_EQ(m.port.epp, GetParam().first != 0);
    EXPECT_EQ(pci.violations(), 0u);
    EXPECT_EQ(pci.configAddress(), saved);
}

INSTANTIATE_TEST_SUITE_P(Ports, PciPort,
                         ::testing::Values(std::make_pair<uint16_t, uint8_t>(0x378, 0),
                                           std::make_pair<uint16_t, uint8_t>(0x278, 1),
                                           std::make_pair<uint16_t, uint8_t>(0x3BC, 2),
                                           std::make_pair<uint16_t, uint8_t>(0, 3)));

TEST(PciConfig, InterruptsEnabledAndWrongFunctionAndAbsentMechanism)
{
    Machine m;
    PciConfigSpace pci(m.bus, m.port, 0x378);
    m.bus.attach(pci);
    m.bus.in32(0xCF8);
    EXPECT_EQ(pci.accessesWithInterruptsEnabled(), 1u);
    m.bus.disableInterrupts();
    m.bus.out32(0xCF8, 0x80001850);  // device 3
    EXPECT_EQ(m.bus.in8(0xCFE), 0xFF);
    m.bus.out8(0xCFE, 0x20);
    m.bus.out32(0xCF8, 0x00001050);  // enable bit clear
    EXPECT_EQ(m.bus.in32(0xCFC), 0xFFFFFFFFu);
    EXPECT_EQ(pci.functionRegister(0x52) & 0x20, 0);

    Machine w;
    PciConfigSpace absent(w.bus, w.port, 0x378, ChipFault::WrongAnswer);
    w.bus.attach(absent);
    w.bus.disableInterrupts();
    EXPECT_EQ(w.bus.in8(0xCF8), static_cast<uint8_t>(w.bus.in32(0xCF8)));
}

}  // namespace
