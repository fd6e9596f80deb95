// Chipset models (CMOS window with the RTC, PIC mirrors, 0x100/0x101, PS/2
// board, laptop chipset, the 0x22/0x23 chipset), driven by their
// configuration sequences as raw port accesses.
#include <gtest/gtest.h>

#include "sim/chipset_100.h"
#include "sim/cmos_window_chipset.h"
#include "sim/indexed_chipset22.h"
#include "sim/laptop_chipset.h"
#include "sim/pic.h"
#include "sim/ps2_system_board.h"
#include "sim/rtc.h"
#include "support/chip_test_support.h"

using namespace sim;
using chiptest::FakeFeatures;
using chiptest::FakePortRegisters;

namespace {

struct Machine {
    Clock clock;
    IoBus bus{clock};
    FakeFeatures port;
};

bool windowIsMirror(IoBus& bus)
{
    for (uint8_t reg : {4, 7, 9}) {
        bus.out8(0x70, reg);
        if (bus.in8(0x71) != bus.in8(0xF073)) return false;
    }
    return true;
}

void windowUnlock(IoBus& bus)
{
    bus.out8(0x70, 9);
    uint8_t clock = bus.in8(0x71);
    bus.in8(0xF073);
    bus.out8(0xF073, 0xDA);
    bus.out8(0x70, 9);
    bus.out8(0x71, clock);
}

TEST(CmosWindow, AbsentChipsetLeavesAMirrorOfTheClock)
{
    Machine m;
    Rtc rtc;
    m.bus.attach(rtc);
    EXPECT_TRUE(windowIsMirror(m.bus));
}

class CmosWindowPort : public ::testing::TestWithParam<std::pair<uint16_t, uint16_t>> {};

TEST_P(CmosWindowPort, UnlockPresenceAddressAndEppSwitch)
{
    const uint16_t base = GetParam().first;
    Machine m;
    Rtc rtc;
    FakePortRegisters regs(base);
    CmosWindowChipset chip(rtc, m.port, regs, base);
    m.bus.attach(chip);  // before the port, so it sees +3 and +7
    m.bus.attach(rtc);
    m.bus.attach(regs);
    EXPECT_TRUE(m.port.alternate);
    EXPECT_FALSE(m.port.epp);
    EXPECT_FALSE(windowIsMirror(m.bus));

    windowUnlock(m.bus);
    EXPECT_TRUE(chip.unlocked());
    EXPECT_FALSE(rtc.registersChanged()) << "the clock value was put back";
    uint16_t first = m.bus.in16(0xFC72);
    uint16_t second = m.bus.in16(0xFC72);
    EXPECT_EQ(first & 1, 1);
    EXPECT_NE(first & 0x8000, second & 0x8000);
    EXPECT_EQ((m.bus.in16(0x2072) >> 9) & 3, GetParam().second);

    m.bus.out8(base + 3, 6);
    EXPECT_LT(static_cast<uint8_t>(~m.bus.in8(base | 7)), 0x0A);
    uint8_t r3 = m.bus.in8(base + 3);
    m.bus.out8(base + 3, (r3 & 0xFD) | 0x05);
    EXPECT_FALSE(m.port.epp);
    uint8_t r7 = m.bus.in8(base + 7);
    m.bus.out8(base + 7, (r7 & 0x09) | 0x32);
    m.bus.out8(base + 3, m.bus.in8(base + 3) | 0x07);
    EXPECT_TRUE(m.port.epp);
    EXPECT_EQ(regs.regs[3], 0x07) << "accesses pass on to the port's registers";
    EXPECT_EQ(chip.violations(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Ports, CmosWindowPort,
                         ::testing::Values(std::make_pair<uint16_t, uint16_t>(0x378, 2),
                                           std::make_pair<uint16_t, uint16_t>(0x278, 3)));

TEST(CmosWindow, LockedReadsAreViolationsAndRelockRestoresAll)
{
    Machine m;
    Rtc rtc;
    FakePortRegisters regs(0x378);
    CmosWindowChipset chip(rtc, m.port, regs, 0x378);
    m.bus.attach(chip);
    m.bus.attach(rtc);
    EXPECT_EQ(m.bus.in16(0xFC72), 0xFFFF);
    EXPECT_EQ(chip.violations(), 2u);

    m.bus.out8(0x70, 9);
    uint8_t saved = m.bus.in8(0xF073);
    windowUnlock(m.bus);
    m.bus.out8(0x70, 9);
    uint8_t clock = m.bus.in8(0x71);
    m.bus.out8(0x70, 9);
    m.bus.out8(0xF073, saved);
    m.bus.out8(0x70, 9);
    m.bus.out8(0x71, clock);
    EXPECT_FALSE(chip.unlocked());
    EXPECT_FALSE(chip.registersChanged());
    EXPECT_FALSE(rtc.registersChanged());

    Machine w;
    Rtc rtc2;
    FakePortRegisters regs2(0x378);
    CmosWindowChipset still(rtc2, w.port, regs2, 0x378, ChipFault::WrongAnswer);
    w.bus.attach(still);
    w.bus.attach(rtc2);
    windowUnlock(w.bus);
    EXPECT_EQ(w.bus.in16(0xFC72) & 0x8000, w.bus.in16(0xFC72) & 0x8000);
}

TEST(Pic, MirrorsFollowTheMaskOnlyWhereWired)
{
    Machine m;
    Pic pic(&m.bus, true, true);
    m.bus.attach(pic);
    for (uint8_t v : {0xA0, 0x0A}) {
        m.bus.out8(0x21, v);
        EXPECT_EQ(m.bus.in8(0x23), v);
        EXPECT_EQ(m.bus.in8(0x2F), v);
    }
    EXPECT_EQ(pic.unmaskedWithInterruptsEnabled(), 2u);
    m.bus.out8(0x21, Pic::kPowerOnMask);
    EXPECT_FALSE(pic.registersChanged());

    Machine p;
    Pic plain;
    p.bus.attach(plain);
    p.bus.out8(0x21, 0xA0);
    EXPECT_EQ(p.bus.in8(0x23), 0xFF);
    EXPECT_EQ(p.bus.in8(0x2F), 0xFF);
}

// The 0x100/0x101 test: register 2 bits 0-1 read 0, 0x4C stores, and index
// 0xFF is a different register.
bool chipset100Check(IoBus& bus)
{
    bus.out8(0x100, 0x02);
    bus.out8(0x101, 0xFF);
    if (bus.in8(0x101) != 0xFC) return false;
    bus.out8(0x101, 0x4C);
    if (bus.in8(0x101) != 0x4C) return false;
    bus.out8(0x100, 0xFF);
    bus.out8(0x101, 0x0C);
    if (bus.in8(0x101) == 0x0C) return false;
    bus.out8(0x100, 0x02);
    bus.out8(0x101, 0x00);
    return true;
}

TEST(Chipset100Test, RecognisedAndSwitchesEnhancedMode)
{
    Machine m;
    Chipset100 chip(m.port);
    m.bus.attach(chip);
    EXPECT_TRUE(chipset100Check(m.bus));
    EXPECT_FALSE(m.port.epp);
    m.bus.out8(0x100, 0x02);
    m.bus.out8(0x101, 0xD0);
    EXPECT_TRUE(m.port.epp);
    m.bus.out8(0x100, 0x02);
    m.bus.out8(0x101, 0x00);
    EXPECT_FALSE(m.port.epp);
    EXPECT_FALSE(chip.registersChanged());
}

TEST(Chipset100Test, PlainLatchAndWrongAnswerAreRejected)
{
    Machine m;
    Chipset100 latch(m.port, Chipset100::Kind::PlainLatch);
    m.bus.attach(latch);
    EXPECT_FALSE(chipset100Check(m.bus));
    m.bus.out8(0x100, 0x02);
    m.bus.out8(0x101, 0xD0);
    EXPECT_FALSE(m.port.epp);
    EXPECT_EQ(m.port.eppCalls, 0);

    Machine w;
    Chipset100 wrong(w.port, Chipset100::Kind::Chipset, ChipFault::WrongAnswer);
    w.bus.attach(wrong);
    EXPECT_FALSE(chipset100Check(w.bus));
}

bool ps2Detect(IoBus& bus)
{
    bus.out8(0x94, 0x7F);
    uint8_t v = bus.in8(0x102);
    bus.out8(0x102, (v & 0x0F) | 0x90);
    bus.out8(0x94, 0x7F);
    uint8_t r = bus.in8(0x102);
    bus.out8(0x102, v);
    bus.out8(0x94, 0xFF);
    return (r & 0xF0) == 0x90;
}

TEST(Ps2Board, DetectedAndOnlyTheExtendedEnableMakesItBidirectional)
{
    Machine m;
    Ps2SystemBoard board(m.port, 0x378);
    m.bus.attach(board);
    EXPECT_EQ(m.bus.in8(0x102), 0xFF) << "hidden outside setup";
    EXPECT_TRUE(ps2Detect(m.bus));
    EXPECT_FALSE(board.registersChanged());
    EXPECT_FALSE(m.port.bidirectional);

    m.bus.out8(0x94, 0x7F);
    m.bus.out8(0x102, m.bus.in8(0x102) | 0x90);
    m.bus.out8(0x94, 0xFF);
    EXPECT_FALSE(m.port.bidirectional) << "bit 7 set is output only";

    m.bus.out8(0x96, 0x00);
    m.bus.out8(0x94, 0x7F);
    m.bus.out8(0x102, m.bus.in8(0x102) & 0x7F);
    m.bus.out8(0x94, 0xFF);
    EXPECT_TRUE(m.port.bidirectional);

    m.bus.out8(0x102, 0x80);
    EXPECT_EQ(board.violations(), 1u);
    EXPECT_TRUE(m.port.bidirectional);
}

TEST(Ps2Board, AlternateSetupAndFaults)
{
    Machine m;
    Ps2SystemBoard board(m.port, 0x278);
    m.bus.attach(board);
    m.bus.out8(0x94, 0xF9);
    m.bus.out8(0x94, 0xFB);
    m.bus.out8(0x102, m.bus.in8(0x102) & 0x7F);
    m.bus.out8(0x94, 0xFF);
    EXPECT_TRUE(m.port.bidirectional);
    EXPECT_EQ(board.violations(), 0u);

    Machine w;
    Ps2SystemBoard wrong(w.port, 0x378, ChipFault::WrongAnswer);
    w.bus.attach(wrong);
    EXPECT_FALSE(ps2Detect(w.bus));

    Machine h;
    Ps2SystemBoard half(h.port, 0x378, ChipFault::SwitchIgnored);
    h.bus.attach(half);
    h.bus.out8(0x94, 0x7F);
    h.bus.out8(0x102, h.bus.in8(0x102) & 0x7F);
    EXPECT_TRUE(half.bidirectionalEnabled());
    EXPECT_FALSE(h.port.bidirectional);
}

// Laptop chipset primitives, as the machine expects them.
struct Laptop {
    explicit Laptop(IoBus& bus) : bus(bus) {}
    bool unlock()
    {
        saved = bus.in16(0x22);
        bus.out8(0x23, static_cast<uint8_t>(saved));
        bus.out8(0x22, static_cast<uint8_t>((saved >> 8) | 0x80));
        bus.out16(0x22, saved | 0x8000);
        bus.in16(0x22);
        return bus.in16(0x22) & 1;
    }
    bool relock()
    {
        bus.out16(0x22, saved);
        if (saved & 1) return true;
        bus.out16(0x22, saved | 0x0100);
        bus.in16(0x22);
        return !(bus.in16(0x22) & 1);
    }
    void clearBit1()
    {
        if (!(bus.in8(0x22) & 1)) unlock();
        bus.out8(0x22, bus.in8(0x22) & 0xFD);
        relock();
    }
    void unlockReads()
    {
        for (uint16_t p : {0xFC23, 0xF023, 0xC023, 0x0023, 0xFFFB, 0xFFFF, 0xFFFD, 0xFFF9})
            bus.in8(p);
    }
    void configOr(uint8_t reg, uint8_t bits)
    {
        bus.out8(0x24, reg);
        uint8_t v = bus.in8(0x25);
        bus.out8(0x24, reg);
        bus.out8(0x25, v | bits);
    }
    bool open()
    {
        if (!unlock()) return false;
        bus.in16(0x22);
        if (!relock()) return false;
        bus.out8(0x705, 0x01);
        clearBit1();
        unlockReads();
        configOr(0x61, 0x08);
        bus.out8(0x24, 0xFA);
        bus.out8(0x25, 0x01);
        bus.out8(0xFB, 0x00);
        bus.out8(0xAE, 0xDD);
        return bus.in8(0xAE) == 0xDD;
    }
    bool close()
    {
        bus.out8(0xF9, 0x00);
        bus.out8(0xAE, 0xDD);
        return bus.in8(0xAE) != 0xDD;
    }
    IoBus& bus;
    uint16_t saved = 0;
};

TEST(LaptopChipsetTest, PowerRegisterUnlocksAndRelocks)
{
    Machine m;
    LaptopChipset chip(m.port, 0x378);
    m.bus.attach(chip);
    Laptop l(m.bus);
    EXPECT_EQ(m.bus.in16(0x22) & 1, 0);
    EXPECT_TRUE(l.unlock());
    EXPECT_TRUE(chip.unlocked());
    EXPECT_TRUE(l.relock());
    EXPECT_FALSE(chip.registersChanged());

    // A wrong first key step leaves it locked.
    uint16_t v = m.bus.in16(0x22);
    m.bus.out8(0x23, static_cast<uint8_t>(v + 1));
    m.bus.out8(0x22, static_cast<uint8_t>((v >> 8) | 0x80));
    m.bus.out16(0x22, v | 0x8000);
    m.bus.in16(0x22);
    EXPECT_EQ(m.bus.in16(0x22) & 1, 0);
    m.bus.out16(0x22, 0x0000);
    EXPECT_FALSE(chip.registersChanged()) << "locked writes are ignored";
}

TEST(LaptopChipsetTest, OpenSelectRestoreSwitchesEpp)
{
    Machine m;
    LaptopChipset chip(m.port, 0x278);
    m.bus.attach(chip);
    Laptop l(m.bus);
    ASSERT_TRUE(l.open());
    m.bus.out8(0xAE, 0x02);
    m.bus.out8(0xAF, 0xE0);
    EXPECT_TRUE(m.port.epp);
    EXPECT_TRUE(l.close());
    EXPECT_TRUE(m.port.epp);

    ASSERT_TRUE(l.open());
    m.bus.out8(0xAE, 0x02);
    m.bus.out8(0xAF, 0x00);
    EXPECT_TRUE(l.close());
    EXPECT_FALSE(m.port.epp);
    EXPECT_EQ(chip.violations(), 0u);

    l.clearBit1();
    l.unlockReads();
    l.configOr(0x61, 0x01);
    EXPECT_TRUE(m.port.bidirectional);
}

TEST(LaptopChipsetTest, WrongSequencesKeepTheSpaceClosed)
{
    Machine m;
    LaptopChipset chip(m.port, 0x378);
    m.bus.attach(chip);
    Laptop l(m.bus);
    // The right read sequence without arming it through PMR bit 1.
    l.unlockReads();
    EXPECT_FALSE(chip.pairOpen());
    // Armed, but read out of order.
    l.clearBit1();
    for (uint16_t p : {0xFC23, 0xC023, 0xF023, 0x0023, 0xFFFB, 0xFFFF, 0xFFFD, 0xFFF9})
        m.bus.in8(p);
    EXPECT_FALSE(chip.pairOpen());
    l.configOr(0x61, 0x08);
    EXPECT_EQ(chip.violations(), 3u) << "index, index and data written while locked";
    m.bus.out8(0xFB, 0);
    m.bus.out8(0xAE, 0xDD);
    EXPECT_EQ(m.bus.in8(0xAE), 0xFF);
    EXPECT_FALSE(m.port.epp);

    Machine w;
    LaptopChipset wrong(w.port, 0x378, false, ChipFault::WrongAnswer);
    w.bus.attach(wrong);
    Laptop lw(w.bus);
    EXPECT_FALSE(lw.open());
}

TEST(LaptopChipsetTest, LatchAtAEReadsBackOutsideTheSpace)
{
    Machine m;
    LaptopChipset chip(m.port, 0x378, true);
    m.bus.attach(chip);
    uint8_t saved = m.bus.in8(0xAE);
    m.bus.out8(0xAE, 0xDD);
    EXPECT_EQ(m.bus.in8(0xAE), 0xDD);
    m.bus.out8(0xAE, saved);
    EXPECT_FALSE(chip.registersChanged());
    Laptop l(m.bus);
    ASSERT_TRUE(l.open());
    m.bus.out8(0xAE, 0x02);
    m.bus.out8(0xAF, 0xD0);
    EXPECT_TRUE(m.port.epp);
}

TEST(IndexedChipset, ReadOnlyTestSeesTogglingStatusAndWritesNothing)
{
    Machine m;
    IndexedChipset22 chip;
    m.bus.attach(chip);
    uint16_t w = m.bus.in16(0x22);
    uint8_t high = m.bus.in8(0x23);
    uint8_t low = m.bus.in8(0x22);
    EXPECT_NE(static_cast<uint16_t>(low | (high << 8)), w);
    EXPECT_NE(w & 0xFF, 0xFF);
    EXPECT_NE(w >> 8, 0xFF);
    EXPECT_NE(m.bus.in8(0x22), m.bus.in8(0x22));
    EXPECT_FALSE(chip.registersChanged());
    EXPECT_EQ(chip.writeCount(), 0u);

    Machine f;
    IndexedChipset22 still(ChipFault::WrongAnswer);
    f.bus.attach(still);
    EXPECT_EQ(f.bus.in8(0x22), f.bus.in8(0x22));
}

}  // namespace
