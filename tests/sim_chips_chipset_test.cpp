// Chipset models (CMOS window with the RTC, PIC mirrors, 0x100/0x101, PS/2
// board, laptop chipset, the 0x22/0x23 chipset), driven by their
// configuration sequences as raw port accesses.
#include <gtest/gtest.h>

#include "sim/chips/chipset_100.h"
#include "sim/chips/cmos_window_chipset.h"
#include "sim/chips/indexed_chipset22.h"
#include "sim/chips/laptop_chipset.h"
#include "sim/chips/pic.h"
#include "sim/chips/ps2_system_board.h"
#include "sim/chips/rtc.h"
#include "sim/wire/parallel_port.h"
#include "support/chip_test_support.h"

using namespace sim;
using chiptest::FakeFeatures;
using chiptest::FakePortRegisters;
using chiptest::outs;
using chiptest::Rig;

namespace {

struct Machine {
    Clock clock;
    IoBus bus{clock};
    FakeFeatures port;
};

// Window chipset at `base`, attached before the port so it sees +3 and +7.
struct Window : Machine {
    explicit Window(uint16_t base, ChipFault fault = ChipFault::None)
        : regs(base), chip(rtc, port, regs, base, fault)
    {
        bus.attach(chip);
        bus.attach(rtc);
        bus.attach(regs);
    }
    Rtc rtc;
    FakePortRegisters regs;
    CmosWindowChipset chip;
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
    outs(bus, {{0xF073, 0xDA}, {0x70, 9}, {0x71, clock}});
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
    Window m(base);
    EXPECT_TRUE(m.port.alternate);
    EXPECT_FALSE(m.port.epp);
    EXPECT_FALSE(windowIsMirror(m.bus));

    windowUnlock(m.bus);
    EXPECT_TRUE(m.chip.unlocked());
    EXPECT_FALSE(m.rtc.registersChanged()) << "the clock value was put back";
    uint16_t first = m.bus.in16(0xFC72);
    EXPECT_EQ(first & 1, 1);
    EXPECT_NE(first & 0x8000, m.bus.in16(0xFC72) & 0x8000);
    EXPECT_EQ((m.bus.in16(0x2072) >> 9) & 3, GetParam().second);

    m.bus.out8(base + 3, 6);
    EXPECT_LT(static_cast<uint8_t>(~m.bus.in8(base | 7)), 0x0A);
    m.bus.out8(base + 3, (m.bus.in8(base + 3) & 0xFD) | 0x05);
    EXPECT_FALSE(m.port.epp);
    m.bus.out8(base + 7, (m.bus.in8(base + 7) & 0x09) | 0x32);
    m.bus.out8(base + 3, m.bus.in8(base + 3) | 0x07);
    EXPECT_TRUE(m.port.epp);
    EXPECT_EQ(m.regs.regs[3], 0x07) << "accesses pass on to the port's registers";
    EXPECT_EQ(m.chip.violations(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Ports, CmosWindowPort,
                         ::testing::Values(std::make_pair<uint16_t, uint16_t>(0x378, 2),
                                           std::make_pair<uint16_t, uint16_t>(0x278, 3)));

TEST(CmosWindow, LockedReadsAreViolationsAndRelockRestoresAll)
{
    Window m(0x378);
    EXPECT_EQ(m.bus.in16(0xFC72), 0xFFFF);
    EXPECT_EQ(m.chip.violations(), 2u);
    m.bus.out8(0x70, 9);
    uint8_t saved = m.bus.in8(0xF073);
    windowUnlock(m.bus);
    m.bus.out8(0x70, 9);
    uint8_t clock = m.bus.in8(0x71);
    outs(m.bus, {{0x70, 9}, {0xF073, saved}, {0x70, 9}, {0x71, clock}});
    EXPECT_FALSE(m.chip.unlocked());
    EXPECT_FALSE(m.chip.registersChanged());
    EXPECT_FALSE(m.rtc.registersChanged());

    Window w(0x378, ChipFault::WrongAnswer);
    windowUnlock(w.bus);
    EXPECT_EQ(w.bus.in16(0xFC72) & 0x8000, w.bus.in16(0xFC72) & 0x8000);
}

// The clock runs in virtual time: UIP rises 244 us before each update and
// falls when the 1984 us update cycle ends, and only then do the time
// registers show the new second.
struct RunningClock {
    Clock clock;
    IoBus bus{clock};
    Rtc rtc{&clock};
    RunningClock() { bus.attach(rtc); }
    uint8_t reg(uint8_t index)
    {
        bus.out8(0x70, index);
        return bus.in8(0x71);
    }
    void set(uint8_t index, uint8_t value) { outs(bus, {{0x70, index}, {0x71, value}}); }
    void runTo(Nanoseconds t) { clock.advance(t - clock.now()); }
};

TEST(Rtc, SecondsAdvanceWithUpdateInProgressAroundEachUpdate)
{
    RunningClock m;
    EXPECT_EQ(m.reg(0x00), 0x30);
    Nanoseconds update = m.rtc.nextUpdate();
    m.runTo(update - 300 * kMicrosecond);
    EXPECT_EQ(m.reg(0x0A) & 0x80, 0) << "no update within 244 us";
    m.runTo(update - 200 * kMicrosecond);
    EXPECT_EQ(m.reg(0x0A), 0xA6) << "UIP set, divider and rate kept";
    m.runTo(update + 1000 * kMicrosecond);
    EXPECT_EQ(m.reg(0x0A) & 0x80, 0x80);
    EXPECT_EQ(m.reg(0x00), 0x30) << "the new second shows when the cycle ends";
    m.runTo(update + 1990 * kMicrosecond);
    EXPECT_EQ(m.reg(0x0A), 0x26);
    EXPECT_EQ(m.reg(0x00), 0x31);
    m.runTo(update + 30 * kSecond);
    EXPECT_EQ(m.reg(0x00), 0x00);
    EXPECT_EQ(m.reg(0x02), 0x16) << "seconds carry into the minutes";
    EXPECT_EQ(m.rtc.timeChanges(), 0u);
}

TEST(Rtc, CarriesThroughTheCalendarAndStopsWhileSet)
{
    RunningClock m;
    m.set(0x0B, 0x82);  // SET: no updates while the time is written
    for (auto [index, value] : {std::pair<uint8_t, uint8_t>{0x00, 0x59}, {0x02, 0x59}, {0x04, 0x23},
                                {0x06, 0x07}, {0x07, 0x31}, {0x08, 0x12}, {0x09, 0x99}})
        m.set(index, value);
    m.runTo(m.clock.now() + 3 * kSecond);
    EXPECT_EQ(m.reg(0x00), 0x59) << "stopped while SET";
    EXPECT_EQ(m.reg(0x0A) & 0x80, 0) << "no UIP while SET";
    m.set(0x0B, 0x02);
    m.runTo(m.rtc.nextUpdate() + 2 * kMillisecond);
    const uint8_t expected[10] = {0x00, 0, 0x00, 0, 0x00, 0, 0x01, 0x01, 0x01, 0x00};
    for (uint8_t index : {0, 2, 4, 6, 7, 8, 9}) EXPECT_EQ(m.reg(index), expected[index]) << int(index);
    // 28 February of a leap year is followed by the 29th; binary, 12-hour.
    m.set(0x0B, 0x86);
    for (auto [index, value] : {std::pair<uint8_t, uint8_t>{0x00, 59}, {0x02, 59}, {0x04, 0x8B},
                                {0x07, 28}, {0x08, 2}, {0x09, 24}})
        m.set(index, value);
    m.set(0x0B, 0x04);
    m.runTo(m.rtc.nextUpdate() + 2 * kMillisecond);
    EXPECT_EQ(m.reg(0x04), 0x0C) << "11 PM is followed by 12 AM";
    EXPECT_EQ(m.reg(0x07), 29);
    EXPECT_EQ(m.reg(0x08), 2);
}

TEST(Pic, MirrorsFollowTheMaskOnlyWhereWired)
{
    Machine m;
    Pic pic(&m.bus, true, true), plain;
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
    p.bus.attach(plain);
    p.bus.out8(0x21, 0xA0);
    EXPECT_EQ(p.bus.in8(0x23), 0xFF);
    EXPECT_EQ(p.bus.in8(0x2F), 0xFF);
    EXPECT_EQ(pic.mirrorWrites(), 0u);
}

// What a chipset's register sequence does when 0x22/0x23 are the
// controller: the mask goes through the mirror, and a value with bit 4 set
// at 0x22 starts an initialisation that clears the mask and swallows the
// next writes to the data port as the vector base and cascade words.
TEST(Pic, WritesThroughTheMirrorReachTheController)
{
    Machine m;
    Pic pic(&m.bus, true, false);
    m.bus.attach(pic);
    m.bus.out8(0x22, 0x0A);  // an operation command (read select): nothing modelled changes
    EXPECT_FALSE(pic.registersChanged());
    EXPECT_EQ(pic.mirrorWrites(), 1u);

    m.bus.out8(0x23, 0x00);
    EXPECT_EQ(pic.mask(), 0x00);
    EXPECT_EQ(pic.unmaskedWithInterruptsEnabled(), 1u);
    m.bus.out8(0x23, Pic::kPowerOnMask);
    EXPECT_FALSE(pic.registersChanged());

    m.bus.out8(0x22, 0xB8);  // ICW1: cascaded, no ICW4
    EXPECT_EQ(pic.initialisations(), 1u);
    EXPECT_EQ(pic.violations(), 1u);
    EXPECT_EQ(pic.mask(), 0x00);
    EXPECT_TRUE(pic.initialising());
    m.bus.out8(0x23, 0xB8);  // ICW2
    EXPECT_EQ(pic.vectorBase(), 0xB8);
    EXPECT_EQ(pic.mask(), 0x00);
    m.bus.out8(0x23, 0xB8);  // ICW3, and the sequence is over
    EXPECT_FALSE(pic.initialising());
    EXPECT_EQ(pic.mask(), 0x00);
    m.bus.out8(0x21, Pic::kPowerOnMask);
    EXPECT_EQ(pic.mask(), Pic::kPowerOnMask);
    EXPECT_EQ(pic.mirrorWrites(), 6u);
    EXPECT_EQ(::testing::PrintToString(pic.changedRegisters()), "{ \"ICW1\", \"ICW2\", \"ICW3\", \"ICW4\" }");

    // Single, with ICW4: no cascade word.
    Machine s;
    Pic single(&s.bus);
    s.bus.attach(single);
    s.bus.out8(0x20, 0x13);
    s.bus.out8(0x21, 0x08);
    EXPECT_TRUE(single.initialising());
    s.bus.out8(0x21, 0x01);
    EXPECT_FALSE(single.initialising());
    EXPECT_EQ(single.mask(), 0x00);
    EXPECT_EQ(single.mirrorWrites(), 0u);
}

// Register 2 bits 0-1 read 0, 0x4C stores, and index 0xFF is another register.
bool chipset100Check(IoBus& bus)
{
    outs(bus, {{0x100, 0x02}, {0x101, 0xFF}});
    if (bus.in8(0x101) != 0xFC) return false;
    bus.out8(0x101, 0x4C);
    if (bus.in8(0x101) != 0x4C) return false;
    outs(bus, {{0x100, 0xFF}, {0x101, 0x0C}});
    if (bus.in8(0x101) == 0x0C) return false;
    outs(bus, {{0x100, 0x02}, {0x101, 0x00}});
    return true;
}

TEST(Chipset100Test, RecognisedAndSwitchesEnhancedMode)
{
    Rig<Chipset100> m;
    EXPECT_TRUE(chipset100Check(m.bus));
    EXPECT_FALSE(m.port.epp);
    outs(m.bus, {{0x100, 0x02}, {0x101, 0xD0}});
    EXPECT_TRUE(m.port.epp);
    outs(m.bus, {{0x100, 0x02}, {0x101, 0x00}});
    EXPECT_FALSE(m.port.epp);
    EXPECT_FALSE(m.chip.registersChanged());
}

TEST(Chipset100Test, PlainLatchAndWrongAnswerAreRejected)
{
    Rig<Chipset100> m(Chipset100::Kind::PlainLatch);
    EXPECT_FALSE(chipset100Check(m.bus));
    outs(m.bus, {{0x100, 0x02}, {0x101, 0xD0}});
    EXPECT_EQ(m.port.eppCalls, 0);
    Rig<Chipset100> w(Chipset100::Kind::Chipset, ChipFault::WrongAnswer);
    EXPECT_FALSE(chipset100Check(w.bus));
}

bool ps2Detect(IoBus& bus)
{
    bus.out8(0x94, 0x7F);
    uint8_t v = bus.in8(0x102);
    outs(bus, {{0x102, static_cast<uint8_t>((v & 0x0F) | 0x90)}, {0x94, 0x7F}});
    uint8_t r = bus.in8(0x102);
    outs(bus, {{0x102, v}, {0x94, 0xFF}});
    return (r & 0xF0) == 0x90;
}

// Setup mode via `enter`, then register 0x102 bit 7 cleared (or set).
void ps2SetBit7(IoBus& bus, bool set, std::initializer_list<std::pair<uint16_t, uint8_t>> enter = {{0x94, 0x7F}})
{
    outs(bus, enter);
    uint8_t v = bus.in8(0x102);
    bus.out8(0x102, set ? v | 0x90 : v & 0x7F);
}

TEST(Ps2Board, DetectedAndOnlyTheExtendedEnableMakesItBidirectional)
{
    Rig<Ps2SystemBoard> m(0x378);
    EXPECT_EQ(m.bus.in8(0x102), 0xFF) << "hidden outside setup";
    EXPECT_TRUE(ps2Detect(m.bus));
    EXPECT_FALSE(m.chip.registersChanged());
    ps2SetBit7(m.bus, true);
    m.bus.out8(0x94, 0xFF);
    EXPECT_FALSE(m.port.bidirectional) << "bit 7 set is output only";
    m.bus.out8(0x96, 0x00);
    ps2SetBit7(m.bus, false);
    m.bus.out8(0x94, 0xFF);
    EXPECT_TRUE(m.port.bidirectional);
    m.bus.out8(0x102, 0x80);
    EXPECT_EQ(m.chip.violations(), 1u);
    EXPECT_TRUE(m.port.bidirectional);
}

TEST(Ps2Board, AlternateSetupAndFaults)
{
    Rig<Ps2SystemBoard> m(0x278);
    ps2SetBit7(m.bus, false, {{0x94, 0xF9}, {0x94, 0xFB}});
    m.bus.out8(0x94, 0xFF);
    EXPECT_TRUE(m.port.bidirectional);
    EXPECT_EQ(m.chip.violations(), 0u);

    Rig<Ps2SystemBoard> w(0x378, ChipFault::WrongAnswer);
    EXPECT_FALSE(ps2Detect(w.bus));
    Rig<Ps2SystemBoard> h(0x378, ChipFault::SwitchIgnored);
    ps2SetBit7(h.bus, false);
    EXPECT_TRUE(h.chip.bidirectionalEnabled());
    EXPECT_FALSE(h.port.bidirectional);
}

// Bits 6-5 of option register 2 select where the board's port is decoded
// and bit 4 enables it: the port answers at the new address at once and no
// longer at the old one.
TEST(Ps2Board, AddressBitsMoveThePort)
{
    Clock clock;
    IoBus bus{clock};
    ParallelPortConfig config;
    config.base = 0x378;
    config.kind = ParallelPortKind::Ps2;
    ParallelPort port(clock, config);
    Ps2SystemBoard board(port, 0x378);
    bus.attach(board);
    bus.attach(port);
    bus.out8(0x378, 0x5A);
    ASSERT_EQ(bus.in8(0x378), 0x5A);

    auto setPos2 = [&](uint8_t keep, uint8_t set) {
        bus.out8(0x94, 0x7F);
        uint8_t v = bus.in8(0x102);
        bus.out8(0x102, static_cast<uint8_t>((v & keep) | set));
        bus.out8(0x94, 0xFF);
    };
    setPos2(0x9F, 0x40);  // 10: 0x278
    EXPECT_EQ(board.selectedPort(), 0x278);
    EXPECT_EQ(bus.in8(0x378), 0xFF) << "the old address no longer answers";
    EXPECT_EQ(bus.in8(0x278), 0x5A) << "the port's latch answers at the new address";
    setPos2(0x9F, 0x00);  // 00: 0x3BC
    EXPECT_EQ(bus.in8(0x278), 0xFF);
    EXPECT_EQ(bus.in8(0x3BC), 0x5A);
    setPos2(0xEF, 0x00);  // bit 4 clear: the port is disabled
    EXPECT_EQ(bus.in8(0x3BC), 0xFF);
    EXPECT_EQ(bus.in8(0x378), 0xFF);
    setPos2(0x9F, 0x70);  // 11 is reserved: nowhere
    EXPECT_EQ(bus.in8(0x3BC), 0xFF);
    EXPECT_EQ(bus.in8(0x378), 0xFF);
    EXPECT_EQ(bus.in8(0x278), 0xFF);
    setPos2(0x9F, 0x30);  // back at 0x378, enabled
    EXPECT_EQ(bus.in8(0x378), 0x5A);
    EXPECT_EQ(board.violations(), 0u) << board.lastViolation();
}

// Laptop chipset primitives, as the machine expects them.
struct Laptop {
    explicit Laptop(IoBus& bus) : bus(bus) {}
    bool unlock(int keyError = 0)
    {
        saved = bus.in16(0x22);
        bus.out8(0x23, static_cast<uint8_t>(saved + keyError));
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
    void unlockReads(bool inOrder = true)
    {
        for (uint16_t p : {0xFC23, inOrder ? 0xF023 : 0xC023, inOrder ? 0xC023 : 0xF023, 0x0023, 0xFFFB,
                           0xFFFF, 0xFFFD, 0xFFF9})
            bus.in8(p);
    }
    void configOr(uint8_t reg, uint8_t bits)
    {
        bus.out8(0x24, reg);
        uint8_t v = bus.in8(0x25);
        outs(bus, {{0x24, reg}, {0x25, static_cast<uint8_t>(v | bits)}});
    }
    bool open(bool powerPort = true)
    {
        if (!unlock()) return false;
        bus.in16(0x22);
        if (!relock()) return false;
        if (powerPort) bus.out8(0x705, 0x01);
        clearBit1();
        unlockReads();
        configOr(0x61, 0x08);
        outs(bus, {{0x24, 0xFA}, {0x25, 0x01}, {0xFB, 0x00}, {0xAE, 0xDD}});
        return bus.in8(0xAE) == 0xDD;
    }
    bool close()
    {
        outs(bus, {{0xF9, 0x00}, {0xAE, 0xDD}});
        return bus.in8(0xAE) != 0xDD;
    }
    IoBus& bus;
    uint16_t saved = 0;
};

TEST(LaptopChipsetTest, PowerRegisterUnlocksAndRelocks)
{
    Rig<LaptopChipset> m(0x378);
    Laptop l(m.bus);
    EXPECT_EQ(m.bus.in16(0x22) & 1, 0);
    EXPECT_TRUE(l.unlock());
    EXPECT_TRUE(m.chip.unlocked());
    EXPECT_TRUE(l.relock());
    EXPECT_FALSE(m.chip.registersChanged());
    EXPECT_FALSE(l.unlock(1)) << "a wrong first key step leaves it locked";
    m.bus.out16(0x22, 0x0000);
    EXPECT_FALSE(m.chip.registersChanged()) << "locked writes are ignored";
}

TEST(LaptopChipsetTest, OpenSelectRestoreSwitchesEpp)
{
    Rig<LaptopChipset> m(0x278);
    Laptop l(m.bus);
    for (uint8_t mode : {0xE0, 0x00}) {
        ASSERT_TRUE(l.open());
        outs(m.bus, {{0xAE, 0x02}, {0xAF, mode}});
        EXPECT_EQ(m.port.epp, mode != 0);
        EXPECT_TRUE(l.close());
        EXPECT_EQ(m.port.epp, mode != 0);
    }
    EXPECT_EQ(m.chip.violations(), 0u);
    l.clearBit1();
    l.unlockReads();
    l.configOr(0x61, 0x01);
    EXPECT_TRUE(m.port.bidirectional);
}

TEST(LaptopChipsetTest, WrongSequencesKeepTheSpaceClosed)
{
    Rig<LaptopChipset> m(0x378);
    Laptop l(m.bus);
    l.unlockReads();  // not armed through PMR bit 1
    EXPECT_FALSE(m.chip.pairOpen());
    l.clearBit1();
    l.unlockReads(false);
    EXPECT_FALSE(m.chip.pairOpen());
    l.configOr(0x61, 0x08);
    EXPECT_EQ(m.chip.violations(), 3u) << "index, index and data written while locked";
    outs(m.bus, {{0xFB, 0}, {0xAE, 0xDD}});
    EXPECT_EQ(m.bus.in8(0xAE), 0xFF);
    EXPECT_FALSE(m.port.epp);

    Rig<LaptopChipset> w(0x378, false, ChipFault::WrongAnswer);
    EXPECT_FALSE(Laptop(w.bus).open());
}

// Bit 0 of 0x705 powers the chipset's parallel port block: without it the
// configuration space holding the port setting does not open, and the
// port's EPP stays off while the setting is kept for when power returns.
TEST(LaptopChipsetTest, PortPowerGatesTheSpaceAndTheEpp)
{
    Rig<LaptopChipset> m(0x378);
    Laptop l(m.bus);
    EXPECT_FALSE(l.open(false)) << "the space stays closed while the port block is off";
    EXPECT_FALSE(m.chip.spaceOpen());
    EXPECT_EQ(m.bus.in8(0xAE), 0xFF);
    l.close();
    ASSERT_TRUE(l.open());
    outs(m.bus, {{0xAE, 0x02}, {0xAF, 0xD0}});
    EXPECT_TRUE(m.port.epp);
    m.bus.out8(0x705, 0x00);
    EXPECT_FALSE(m.port.epp) << "an unpowered port makes no EPP cycles";
    EXPECT_EQ(m.bus.in8(0xAE), 0xFF) << "nor does its space answer";
    EXPECT_EQ(m.chip.spaceRegister(0x02), 0xD0) << "the setting is kept";
    m.bus.out8(0x705, 0x01);
    EXPECT_TRUE(m.port.epp);
    EXPECT_EQ(m.chip.violations(), 0u) << m.chip.lastViolation();
}

TEST(LaptopChipsetTest, LatchAtAEReadsBackOutsideTheSpace)
{
    Rig<LaptopChipset> m(0x378, true);
    uint8_t saved = m.bus.in8(0xAE);
    m.bus.out8(0xAE, 0xDD);
    EXPECT_EQ(m.bus.in8(0xAE), 0xDD);
    m.bus.out8(0xAE, saved);
    EXPECT_FALSE(m.chip.registersChanged());
    ASSERT_TRUE(Laptop(m.bus).open());
    outs(m.bus, {{0xAE, 0x02}, {0xAF, 0xD0}});
    EXPECT_TRUE(m.port.epp);
}

TEST(IndexedChipset, ReadOnlyTestSeesTogglingStatusAndWritesNothing)
{
    Machine m;
    IndexedChipset22 chip, still(ChipFault::WrongAnswer);
    m.bus.attach(chip);
    uint16_t w = m.bus.in16(0x22);
    uint8_t high = m.bus.in8(0x23);
    EXPECT_NE(static_cast<uint16_t>(m.bus.in8(0x22) | (high << 8)), w);
    EXPECT_NE(w & 0xFF, 0xFF);
    EXPECT_NE(w >> 8, 0xFF);
    EXPECT_NE(m.bus.in8(0x22), m.bus.in8(0x22));
    EXPECT_FALSE(chip.registersChanged());
    EXPECT_EQ(chip.writeCount(), 0u);

    Machine f;
    f.bus.attach(still);
    EXPECT_EQ(f.bus.in8(0x22), f.bus.in8(0x22));
}

}  // namespace
