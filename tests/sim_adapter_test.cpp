// The parallel port and adapter models driven by hand-made port sequences:
// every access below is written out as the wire protocol defines it, with
// its repetition counts, independent of the driver's link code.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "sim/bus/io_bus.h"
#include "sim/wire/nimb_adapter.h"
#include "sim/wire/parallel_port.h"
#include "support/test_ata_device.h"

using sim::NimbAdapter;
using sim::ParallelPortConfig;
using sim::ParallelPortKind;

namespace {

constexpr uint16_t B = 0x378;
constexpr uint16_t DATA = B, STATUS = B + 1, CONTROL = B + 2, EPPA = B + 3, EPPD = B + 4;

ParallelPortConfig portFor(ParallelPortKind kind, bool byte7 = false)
{
    ParallelPortConfig c;
    c.base = B;
    c.kind = kind;
    c.byte7Direction = byte7;
    return c;
}

// Port kind each mode needs.
ParallelPortConfig portForReadMode(int mode)
{
    if (mode == 6 || mode == 7) return portFor(ParallelPortKind::Ps2, true);
    if (mode == 8 || mode == 9) return portFor(ParallelPortKind::Ps2);
    if (mode >= 10) return portFor(ParallelPortKind::Epp);
    return portFor(ParallelPortKind::Spp);
}

struct Wire {
    explicit Wire(ParallelPortConfig config) : port(clock, config), adapter(clock)
    {
        bus.attach(port);
        adapter.attachTo(port);
        adapter.attachDevice(&dev);
    }
    // Opened at once: see open().
    Wire(ParallelPortConfig config, bool epp) : Wire(config) { open(epp); }

    void out(uint16_t p, uint8_t v, int n = 1)
    {
        for (int i = 0; i < n; ++i) bus.out8(p, v);
    }
    uint8_t in(uint16_t p, int n = 1)
    {
        uint8_t v = 0;
        for (int i = 0; i < n; ++i) v = bus.in8(p);
        return v;
    }

    void wake()
    {
        out(CONTROL, 0x04, 3);
        for (uint8_t v : {0xA0, 0x50, 0xC0, 0x30, 0xA0}) out(DATA, v, 3);
    }
    void sendCode(uint8_t code)
    {
        uint8_t t = in(CONTROL) & 0x10;
        out(DATA, code, 2);
        out(CONTROL, t | 0x01, 4);
        out(CONTROL, t | 0x04, 4);
    }
    // Wake, normal mode, and EPP on for the EPP modes.
    void open(bool epp)
    {
        wake();
        sendCode(0x00);
        if (epp) sendCode(0x0A);
    }

    uint8_t readRegister(int mode, uint8_t r)
    {
        if (mode >= 10) {
            out(EPPA, r);
            out(CONTROL, (in(CONTROL) & 0x1F) | 0x20);
            uint8_t v = in(EPPD);
            out(CONTROL, in(CONTROL) & 0x1F);
            return v;
        }
        if (mode <= 2) {
            int a = mode == 2 ? 3 : 1, b = mode == 0 ? 1 : mode == 1 ? 2 : 3, s = mode == 2 ? 2 : 1;
            uint8_t A = (r | 0x38) ^ 0x01;
            out(DATA, A, a);
            out(CONTROL, 0x01, b);
            out(CONTROL, 0x03, a);
            out(DATA, A | 0x40, a);
            uint8_t s1 = in(STATUS, s);
            out(CONTROL, 0x01, b);
            uint8_t s2 = in(STATUS, s);
            out(CONTROL, 0x04, a);
            return static_cast<uint8_t>((s1 >> 4) | (s2 & 0xF0));
        }
        if (mode <= 5) {
            bool slow = mode == 5;
            uint8_t A = (r | 0x30) ^ 0x01;
            out(DATA, A, slow ? 2 : 1);
            out(CONTROL, 0x01, slow ? 3 : 2);
            out(DATA, A & 0x7F, slow ? 3 : 1);
            out(CONTROL, 0x03, slow ? 3 : 1);
            out(CONTROL, 0x05, slow ? 3 : 2);
            out(DATA, A | 0xC0, slow ? 3 : 1);
            uint8_t s = in(STATUS), c = in(CONTROL);
            out(CONTROL, 0x04, slow ? 3 : 1);
            return static_cast<uint8_t>(((s >> 3) & 0x1F) | (((c >> 1) & 0x07) << 5));
        }
        int n = (mode == 7 || mode == 9) ? 3 : 1;
        uint8_t A = (r | 0x28) ^ 0x01;
        out(DATA, A, n);
        out(CONTROL, 0x01, n);
        if (mode <= 7) {
            out(B + 7, 0x01, n);
            out(CONTROL, 0x83, n);
        } else {
            out(CONTROL, 0x21, mode == 8 ? 2 : 3);
            out(CONTROL, 0x23, n);
        }
        uint8_t v = in(DATA, n);
        out(CONTROL, 0x04, n);
        return v;
    }

    void writeRegister(int mode, uint8_t r, uint8_t v)
    {
        if (mode >= 3) {
            out(EPPA, r | 0x40);
            out(EPPD, v);
            if (r == 0) out(EPPD, v);
            return;
        }
        int n = mode == 2 ? 2 : 1;
        out(DATA, (r | 0x18) ^ 0x01, n);
        out(CONTROL, 0x01, 2);
        out(DATA, v, n);
        out(CONTROL, 0x03, 2);
        out(CONTROL, 0x04, n);
    }

    // Streaming block reads, nibble, 5+3 and EPP modes. `clockDelta` +1 adds a clock after
    // the last byte, -1 leaves out the last one (nibble and 5+3 modes).
    void readBlock(int mode, uint8_t* buf, int count, int clockDelta = 0)
    {
        if (mode >= 10) {
            out(EPPA, 0x00);
            out(CONTROL, (in(CONTROL) & 0x1F) | 0x20);
            if (mode == 11) {
                for (int i = 0; i + 4 <= count; i += 4) {
                    uint32_t w = bus.in32(EPPD);
                    for (int k = 0; k < 4; ++k) buf[i + k] = static_cast<uint8_t>(w >> (8 * k));
                }
                for (int i = count & ~3; i < count; ++i) buf[i] = in(EPPD);
            } else {
                for (int i = 0; i < count; ++i) buf[i] = in(EPPD);
            }
            out(CONTROL, in(CONTROL) & 0x1F);
            return;
        }
        if (mode <= 2) {
            int d = mode == 2 ? 2 : 1, s = mode == 2 ? 2 : 1;
            out(DATA, 0x81, d);
            out(CONTROL, 0x01, 2);
            out(CONTROL, 0x03, d);
            out(DATA, 0xC1, d);
            uint8_t c = in(CONTROL, d), m = 0x06;
            auto clock = [&](int n) {
                c ^= m;
                m ^= 0x01;
                out(CONTROL, c, n);
            };
            for (int i = 0; i < count; ++i) {
                bool last = i == count - 1;
                uint8_t s1 = in(STATUS, s);
                if (!(last && clockDelta < 0)) clock(mode == 0 ? (last ? 2 : 1) : 2);
                uint8_t s2 = in(STATUS, s);
                if (!last) clock(mode == 0 ? 1 : 2);
                buf[i] = static_cast<uint8_t>((s1 >> 4) | (s2 & 0xF0));
            }
            if (clockDelta > 0) clock(1);
            out(DATA, 0x00, d);
            out(CONTROL, 0x04, d);
            return;
        }
        // 5+3 modes
        int r = mode == 5 ? 3 : 2, rd = mode == 5 ? 2 : 1, ck = mode - 2;
        out(DATA, 0x91);
        out(CONTROL, 0x01, r);
        out(DATA, 0x10);
        out(CONTROL, 0x03, r);
        out(DATA, 0x50);
        out(CONTROL, 0x05, r);
        out(DATA, 0xD1);
        uint8_t t = 0x04;
        for (int i = 0; i < count; ++i) {
            bool last = i == count - 1;
            uint8_t s = in(STATUS, last ? 1 : rd), c = in(CONTROL, last ? 1 : rd);
            bool skip = clockDelta < 0 && i == count - 2;
            if ((!last && !skip) || (last && clockDelta > 0)) {
                out(CONTROL, t, ck);
                t ^= 0x01;
            }
            buf[i] = static_cast<uint8_t>(((s >> 3) & 0x1F) | (((c >> 1) & 0x07) << 5));
        }
        out(DATA, 0x00);
        out(CONTROL, 0x04);
    }

    void writeBlock(int mode, const uint8_t* buf, int count)
    {
        if (mode >= 3) {
            out(EPPA, 0x40);
            if (mode == 4 && count >= 32) {
                for (int i = 0; i + 4 <= count; i += 4)
                    bus.out32(EPPD, buf[i] | (buf[i + 1] << 8) | (buf[i + 2] << 16) |
                                        (static_cast<uint32_t>(buf[i + 3]) << 24));
            } else {
                for (int i = 0; i < count; ++i) out(EPPD, buf[i]);
            }
            return;
        }
        int a = mode == 0 ? 1 : 2, d = mode == 2 ? 2 : 1, c = mode == 0 ? 1 : mode == 1 ? 2 : 4;
        int z = mode == 2 ? 3 : 2;
        out(DATA, 0xA1);
        out(CONTROL, 0x01, 2);
        out(CONTROL, 0x03, a);
        out(CONTROL, 0x01, a);
        out(CONTROL, 0x05, 2);
        uint8_t t = 0x04;
        for (int i = 0; i < count; ++i) {
            out(DATA, buf[i], d);
            out(CONTROL, t, c);
            t ^= 0x01;
        }
        out(CONTROL, t, z);
        out(CONTROL, t | 0x02, z);
        out(CONTROL, 0x04, z);
    }

    uint8_t echoByte(uint8_t value)
    {
        out(DATA, 0x80, 4);
        out(CONTROL, 0x01, 4);
        out(DATA, value, 4);
        out(CONTROL, 0x03, 4);
        uint8_t low = in(STATUS) >> 4;
        out(CONTROL, 0x01, 4);
        uint8_t high = in(STATUS) & 0xF0;
        out(CONTROL, 0x04);
        return static_cast<uint8_t>(low | high);
    }

    uint8_t rawIdentity()
    {
        out(DATA, 0x82);
        out(CONTROL, 0x04);
        out(CONTROL, 0x0C, 2);
        out(CONTROL, 0x04);
        out(CONTROL, 0x24, 2);
        out(CONTROL, 0x26, 2);
        uint8_t v = in(DATA);
        out(CONTROL, 0x04);
        return v;
    }

    sim::Clock clock;
    sim::IoBus bus{clock};
    sim::ParallelPort port;
    NimbAdapter adapter;
    sim::TestAtaDevice dev;
};

std::vector<uint8_t> pattern512()
{
    std::vector<uint8_t> p(512);
    for (int k = 0; k < 256; ++k) {
        p[2 * k] = static_cast<uint8_t>(k + 1);
        p[2 * k + 1] = static_cast<uint8_t>(0xFE - k);
    }
    return p;
}

// Port accesses per register read and per 512-byte block written.
constexpr int kRegisterReadCost[12] = {8, 10, 22, 11, 11, 22, 6, 18, 7, 18, 6, 6};
constexpr int kWriteCost[5] = {1037, 1551, 3090, 513, 129};

}  // namespace

// ---- identity, registers -------------------------------------------------------

TEST(SimAdapterIdentity, WakeAndIdentityInModeTwoAndByRawHandshake)
{
    Wire w(portFor(ParallelPortKind::Epp));
    EXPECT_NE(w.readRegister(2, 0x82) & 0xF0, 0xA0);  // asleep: status idles
    w.open(false);
    EXPECT_EQ(w.readRegister(2, 0x82), 0xA3);
    EXPECT_EQ(w.rawIdentity(), 0xFF);  // raw handshake needs EPP mode
    w.sendCode(0x0A);
    EXPECT_EQ(w.rawIdentity(), 0xA3);
    w.adapter.setIdentity(0x5C);
    EXPECT_EQ(w.rawIdentity(), 0x5C);
    EXPECT_EQ(w.adapter.violationCount(), 0u) << w.adapter.lastViolation();
}

TEST(SimAdapterIdentity, AbsentAndSilentAdaptersNeverAnswer)
{
    Wire w(portFor(ParallelPortKind::Spp));
    w.adapter.setSilent(true);
    w.open(false);
    EXPECT_FALSE(w.adapter.awake());
    EXPECT_NE(w.readRegister(2, 0x82) & 0xF0, 0xA0);
    w.adapter.setSilent(false);
    w.adapter.disconnect();
    w.open(false);
    EXPECT_EQ(w.in(STATUS), 0xFF);
    EXPECT_EQ(w.echoByte(0x80), 0xFF);
    w.adapter.reconnect();
    EXPECT_FALSE(w.adapter.awake());
    w.open(false);
    EXPECT_EQ(w.readRegister(1, 0x82), 0xA3);
}

TEST(SimAdapterIdentity, QuiesceThenNormalCodePutsTheChipToSleep)
{
    Wire w(portFor(ParallelPortKind::Spp), false);
    w.writeRegister(2, 0x9C, 0x10);
    EXPECT_TRUE(w.adapter.awake());
    w.sendCode(0x00);
    EXPECT_FALSE(w.adapter.awake());
    EXPECT_NE(w.readRegister(2, 0x82) & 0xF0, 0xA0);
    w.open(false);  // wake clears register 0x84
    EXPECT_EQ(w.adapter.register84(), 0x00);
    EXPECT_EQ(w.readRegister(2, 0x82), 0xA3);
}

class SimAdapterRegisters : public ::testing::TestWithParam<int> {};

TEST_P(SimAdapterRegisters, EveryReadModeReadsTheRegisterItAddresses)
{
    int mode = GetParam();
    Wire w(portForReadMode(mode), mode >= 10);
    int writeMode = mode >= 10 ? 3 : 2;
    for (uint8_t r = 1; r <= 6; ++r) w.writeRegister(writeMode, r, static_cast<uint8_t>(0x11 * r + 0x20));
    w.dev.setStatus(0x58 & ~0x08);
    w.writeRegister(writeMode, 0x83, 0x02);
    for (uint8_t r = 1; r <= 6; ++r) EXPECT_EQ(w.readRegister(mode, r), 0x11 * r + 0x20) << int(r);
    EXPECT_EQ(w.readRegister(mode, 7), 0x50);
    EXPECT_EQ(w.readRegister(mode, 0x86), 0x50);
    uint64_t before = w.bus.accessCount();
    EXPECT_EQ(w.readRegister(mode, 0x82), 0xA3);
    EXPECT_EQ(w.bus.accessCount() - before, static_cast<uint64_t>(kRegisterReadCost[mode]));
    EXPECT_EQ(w.readRegister(mode, 0x83), 0x02);
    w.dev.setInterrupt(true);
    EXPECT_EQ(w.readRegister(mode, 0x81), 0x10);
    EXPECT_EQ(w.adapter.violationCount(), 0u) << w.adapter.lastViolation();
    EXPECT_EQ(w.adapter.phase(), NimbAdapter::Phase::Idle);
}

INSTANTIATE_TEST_SUITE_P(AllReadModes, SimAdapterRegisters, ::testing::Range(0, 12));

TEST(SimAdapterRegisters, AddressBytesOfTheEdgeCases)
{
    Wire w(portFor(ParallelPortKind::Spp), false);
    w.bus.startRecording();
    w.readRegister(0, 0x86);
    std::vector<uint8_t> dataWrites;
    for (const auto& a : w.bus.recorded())
        if (a.write && a.port == DATA) dataWrites.push_back(static_cast<uint8_t>(a.value));
    EXPECT_EQ(dataWrites, (std::vector<uint8_t>{0xBF, 0xFF}));
    EXPECT_EQ(w.bus.recorded().size(), 8u);
    w.bus.clearRecording();
    w.writeRegister(0, 7, 0xEC);  // command register: address 0x1E
    EXPECT_EQ(w.bus.recorded()[0].value, 0x1Eu);
    EXPECT_EQ(w.dev.lastCommand(), 0xEC);
    // The r | 0x29 form of modes 6/7 reads the odd register for an even one.
    Wire b(portForReadMode(6), false);
    b.writeRegister(2, 6, 0xA0);
    EXPECT_EQ(b.readRegister(6, 6), 0xA0);
    EXPECT_EQ(b.readRegister(6, 7), 0x50);
    EXPECT_EQ(b.adapter.violationCount(), 0u) << b.adapter.lastViolation();
}

TEST(SimAdapterRegisters, WriteWithoutAutoFeedIsAnUnknownCode)
{
    Wire w(portFor(ParallelPortKind::Spp));
    w.adapter.setEventLog(true);
    w.open(false);
    w.out(DATA, (2 | 0x18) ^ 1);
    w.out(CONTROL, 0x01, 2);
    w.out(DATA, 0x55);
    w.out(CONTROL, 0x04);  // auto-feed never raised
    EXPECT_EQ(w.adapter.violationCount(), 1u);
    EXPECT_NE(w.adapter.lastViolation().find("unknown code"), std::string::npos);
    EXPECT_NE(w.dev.latch(2), 0x55);
    ASSERT_FALSE(w.adapter.events().empty());
    EXPECT_EQ(w.adapter.events().front(), "wake");
    EXPECT_EQ(w.adapter.events().back().rfind("VIOLATION unknown code 0x", 0), 0u);
}

// ---- blocks --------------------------------------------------------------------

class SimAdapterBlocks : public ::testing::TestWithParam<int> {};

TEST_P(SimAdapterBlocks, DriveDataReadNeedsDrqForEveryWord)
{
    int mode = GetParam();
    Wire w(portForReadMode(mode), mode >= 10);
    if (mode >= 10) w.writeRegister(3, 0xC4, 0x00);
    std::vector<uint8_t> sector(512);
    for (int i = 0; i < 512; ++i) sector[i] = static_cast<uint8_t>(i * 7 + 3);
    w.dev.loadReadData(sector);
    std::vector<uint8_t> buf(512, 0);
    w.readBlock(mode, buf.data(), 512);
    w.readRegister(mode, 7);
    EXPECT_EQ(buf, sector);
    EXPECT_EQ(w.adapter.violationCount(), 0u) << w.adapter.lastViolation();
    EXPECT_FALSE(w.dev.drq());
    // A short sector: the last word has no DRQ.
    w.dev.loadReadData(std::vector<uint8_t>(510, 0x11));
    w.readBlock(mode, buf.data(), 512);
    w.readRegister(mode, 7);
    EXPECT_EQ(w.adapter.violationCount(), 1u);
    EXPECT_NE(w.adapter.lastViolation().find("without DRQ"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(StreamingModes, SimAdapterBlocks, ::testing::Values(0, 1, 2, 3, 4, 5, 10, 11));

class SimAdapterWrites : public ::testing::TestWithParam<int> {};

TEST_P(SimAdapterWrites, BlockWriteHasTheExactCostAndReachesTheDrive)
{
    int mode = GetParam();
    Wire w(portFor(mode >= 3 ? ParallelPortKind::Epp : ParallelPortKind::Spp), mode >= 3);
    if (mode >= 3) w.writeRegister(3, 0xC4, 0x00);
    std::vector<uint8_t> sector(512);
    for (int i = 0; i < 512; ++i) sector[i] = static_cast<uint8_t>(0xFF - i * 5);
    w.dev.expectWriteData(512);
    uint64_t before = w.bus.accessCount();
    w.writeBlock(mode, sector.data(), 512);
    EXPECT_EQ(w.bus.accessCount() - before, static_cast<uint64_t>(kWriteCost[mode]));
    w.readRegister(2, 7);
    EXPECT_EQ(w.dev.written(), sector);
    EXPECT_EQ(w.adapter.violationCount(), 0u) << w.adapter.lastViolation();
    // No DRQ: a second block is refused word by word (in EPP the first word
    // of a stream passes, as the data-register write of a register access).
    w.writeBlock(mode, sector.data(), 512);
    w.readRegister(2, 7);
    EXPECT_EQ(w.adapter.violationCount(), mode >= 3 ? 255u : 256u);
    EXPECT_EQ(w.dev.dataUnderruns(), 0u);
    EXPECT_EQ(w.adapter.counters().dataRegisterIgnored, mode >= 3 ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(AllWriteModes, SimAdapterWrites, ::testing::Range(0, 5));

struct ClockCase {
    int mode;
    int delta;  // one clock more (+1) or less (-1) than the protocol
};

class SimAdapterClockCounts : public ::testing::TestWithParam<ClockCase> {};

// Two bytes take three clocks in the nibble modes and one in the others;
// one clock more or less shows as a violation at the block's end.
TEST_P(SimAdapterClockCounts, WrongClockCountIsAViolation)
{
    ClockCase c = GetParam();
    Wire w(portForReadMode(c.mode), false);
    w.writeRegister(2, 0x9C, 0x08);
    uint8_t buf[2] = {};
    w.readBlock(c.mode, buf, 2, c.delta);
    w.readRegister(2, 0x81);
    EXPECT_EQ(w.adapter.violationCount(), c.delta ? 1u : 0u) << w.adapter.lastViolation();
    if (c.delta >= 0) EXPECT_EQ(buf[0] | (buf[1] << 8), 0xFE01);
    if (c.delta < 0) EXPECT_NE(buf[1], 0xFE);  // the second byte never came
}

INSTANTIATE_TEST_SUITE_P(NibbleAndFiveThree, SimAdapterClockCounts,
                         ::testing::Values(ClockCase{0, 0}, ClockCase{0, 1}, ClockCase{0, -1},
                                           ClockCase{2, 1}, ClockCase{2, -1}, ClockCase{3, 0},
                                           ClockCase{3, 1}, ClockCase{4, -1}, ClockCase{5, 1}));

TEST(SimAdapterBlocks, CorruptPatternByteAppearsInThatPassOnly)
{
    Wire w(portFor(ParallelPortKind::Epp), true);
    w.writeRegister(3, 0xC4, 0x00);
    w.writeRegister(3, 0xC4, 0x08);
    w.adapter.corruptPatternByte(2, 300);
    auto good = pattern512();
    for (int pass = 0; pass < 4; ++pass) {
        std::vector<uint8_t> buf(512);
        w.readBlock(10, buf.data(), 512);
        int bad = 0;
        for (int i = 0; i < 512; ++i) bad += buf[i] != good[i];
        EXPECT_EQ(bad, pass == 2 ? 1 : 0) << pass;
        if (pass == 2) EXPECT_EQ(buf[300], static_cast<uint8_t>(~good[300]));
    }
}

TEST(SimAdapterBlocks, EppChunkBudgetIsStickyAndEnforced)
{
    Wire w(portFor(ParallelPortKind::Epp), true);
    w.writeRegister(3, 0xC4, 0x0A);  // pattern on, chunk code 2: 32 bytes
    EXPECT_EQ(w.adapter.chunkBudget(), 32u);
    std::vector<uint8_t> buf(40);
    w.readBlock(10, buf.data(), 32);
    EXPECT_EQ(w.adapter.violationCount(), 0u);
    w.readBlock(10, buf.data(), 34);
    EXPECT_EQ(buf[33], 0xFF);
    EXPECT_EQ(w.adapter.violationCount(), 2u);
}

TEST(SimAdapterBlocks, Epp32ReadsThroughLaneZeroAndLaneThreeAlone)
{
    Wire w(portFor(ParallelPortKind::Epp), true);
    w.out(EPPA, 0x82);
    EXPECT_EQ(w.in(B + 7), 0xA3);  // one cycle
    EXPECT_EQ(w.bus.in32(EPPD), 0xA3A3A3A3u);
    uint64_t cycles = w.port.eppCycles();
    w.writeRegister(3, 0xC4, 0x08);
    std::vector<uint8_t> buf(512);
    w.readBlock(11, buf.data(), 6);  // one dword and two bytes
    EXPECT_EQ(w.port.eppCycles() - cycles, 2u + 1u + 6u);
    auto good = pattern512();
    EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 6, good.begin()));
}

// ---- echo, interrupts, port kinds ------------------------------------------------

TEST(SimAdapterEcho, NibbleEchoTestValuesComeBack)
{
    Wire w(portFor(ParallelPortKind::Spp));
    w.wake();
    w.wake();
    w.sendCode(0x00);  // detach, reset, idle as detection does before the echo test
    w.out(CONTROL, 0x04, 4);
    w.out(DATA, 0x00, 2);
    for (uint8_t c : {0x01, 0x04, 0x0C}) w.out(CONTROL, c, 2);
    w.out(CONTROL, 0x04);
    w.sendCode(0x88);
    EXPECT_TRUE(w.adapter.driveResetHeld());
    w.sendCode(0x00);
    EXPECT_FALSE(w.adapter.driveResetHeld());
    EXPECT_EQ(w.dev.resets(), 1u);
    w.out(CONTROL, 0x0C);
    for (uint8_t start : {0x80, 0xEC})
        for (uint8_t v = start; v; v >>= 1) EXPECT_EQ(w.echoByte(v), v);
    EXPECT_EQ(w.adapter.counters().echoCycles, 16u);
    EXPECT_EQ(w.adapter.violationCount(), 0u) << w.adapter.lastViolation();
}

TEST(SimAdapterInterrupt, PlainPortAfterCode90AndEppMode)
{
    Wire w(portFor(ParallelPortKind::Epp), false);
    w.out(CONTROL, (w.in(CONTROL) & 0x0F) | 0x10);
    w.sendCode(0x90);
    EXPECT_TRUE(w.in(STATUS) & 0x08);
    EXPECT_FALSE(w.port.interruptLine());
    w.dev.setInterrupt(true);
    EXPECT_FALSE(w.in(STATUS) & 0x08);
    EXPECT_TRUE(w.port.interruptLine());
    EXPECT_EQ(w.port.interruptEdges(), 1u);
    EXPECT_EQ(w.readRegister(2, 7), 0x50);  // reading status acknowledges
    EXPECT_FALSE(w.port.interruptLine());
    // EPP mode: ack follows INTRQ with no code.
    w.sendCode(0x00);
    w.sendCode(0x0A);
    w.out(CONTROL, (w.in(CONTROL) & 0x0F) | 0x10);
    EXPECT_FALSE(w.in(STATUS) & 0x40);
    w.dev.setInterrupt(true);
    EXPECT_TRUE(w.in(STATUS) & 0x40);
    EXPECT_TRUE(w.port.interruptLine());
    w.out(CONTROL, 0x04);  // interrupt enable off
    EXPECT_FALSE(w.port.interruptLine());
}

TEST(SimParallelPort, DirectionAndEppByKind)
{
    struct Case {
        ParallelPortConfig config;
        bool turns;
        bool epp;
    };
    ParallelPortConfig unswitched = portFor(ParallelPortKind::Ps2);
    unswitched.bidirectionalEnabled = false;
    ParallelPortConfig noEpp = portFor(ParallelPortKind::Epp);
    noEpp.eppEnabled = false;
    ParallelPortConfig at3bc = portFor(ParallelPortKind::Epp);
    at3bc.base = 0x3BC;
    for (const Case& c : {Case{portFor(ParallelPortKind::Spp), false, false},
                          Case{unswitched, false, false}, Case{portFor(ParallelPortKind::Ps2), true, false},
                          Case{noEpp, true, false}, Case{portFor(ParallelPortKind::Epp), true, true},
                          Case{at3bc, true, false}}) {
        Wire w(c.config);
        uint16_t base = c.config.base;
        w.open(true);
        w.out(base, 0xAA);
        w.out(base + 2, 0x24);
        EXPECT_EQ(w.in(base), c.turns ? 0xFF : 0xAA) << parallelPortKindName(c.config.kind);
        w.out(base + 2, 0x04);
        w.out(base + 3, 0x82);
        EXPECT_EQ(w.in(base + 4), c.epp ? 0xA3 : 0xFF);
        EXPECT_EQ(w.port.decodes(base + 3), c.config.base != 0x3BC && c.config.kind == ParallelPortKind::Epp);
    }
    sim::Clock clock;
    sim::ParallelPort spp(clock, portFor(ParallelPortKind::Spp));
    spp.setChipEpp(true);
    EXPECT_TRUE(spp.eppActive());
}

TEST(SimParallelPort, EcrModeSelectsEppAndDirection)
{
    Wire w(portFor(ParallelPortKind::Ecp));
    EXPECT_EQ(w.in(B + 0x402), 0x15);
    w.open(true);
    w.out(EPPA, 0x82);
    EXPECT_EQ(w.in(EPPD), 0xFF);  // mode 000
    w.out(B + 0x402, 0x34);       // mode 001: PS/2
    w.out(DATA, 0x5A);
    w.out(CONTROL, 0x24);
    EXPECT_EQ(w.in(DATA), 0xFF);
    w.out(CONTROL, 0x04);
    w.out(B + 0x402, 0x84);  // mode 100: EPP
    EXPECT_EQ(w.in(B + 0x402), 0x85);
    w.sendCode(0x0A);
    w.out(EPPA, 0x82);
    EXPECT_EQ(w.in(EPPD), 0xA3);
    EXPECT_EQ(w.adapter.violationCount(), 0u) << w.adapter.lastViolation();
}

TEST(SimParallelPort, AlternateLayoutCarriesAddressAtPlusSix)
{
    ParallelPortConfig c = portFor(ParallelPortKind::Spp);
    c.alternateEppLayout = true;
    Wire w(c);
    w.port.setChipEpp(true);
    w.open(true);
    auto select = [&](uint8_t width, uint8_t address) {  // +3 bits 0-2, then the address at +6
        w.out(EPPA, (w.in(EPPA) & 0xF8) | width);
        if (address != 0xFF) w.out(B + 6, address);
    };
    select(6, 0x82);
    EXPECT_EQ(w.in(EPPD), 0xA3);
    w.writeRegister(3, 0xC4, 0x08);  // standard layout address: no cycle at +3
    EXPECT_EQ(w.adapter.register84(), 0x00);
    select(6, 0xC4);
    w.out(EPPD, 0x08);
    select(6, 0x00);
    EXPECT_EQ(w.bus.in32(EPPD), 0xFFFFFF01u);  // byte-wide select: lane 0 only
    select(6, 0x00);
    select(7, 0xFF);
    EXPECT_EQ(w.bus.in32(EPPD), 0xFD02FE01u);  // four cycles
}

TEST(SimAdapterTiming, SettleTimeLeavesOnlyTheSlowerModes)
{
    // settle in us -> read modes whose pattern block still comes through.
    for (int settle : {0, 1, 2}) {
        for (int mode : {0, 1, 2, 3, 4, 5}) {
            Wire w(portForReadMode(mode));
            w.adapter.setSettleTime(settle * sim::kMicrosecond);
            w.open(false);
            w.writeRegister(2, 0x9C, 0x08);
            std::vector<uint8_t> buf(512);
            w.readBlock(mode, buf.data(), 512);
            bool expectGood = settle == 0 || (settle == 1 && mode != 0 && mode != 3) ||
                              (settle == 2 && (mode == 2 || mode == 5));
            EXPECT_EQ(buf == pattern512(), expectGood) << "settle " << settle << " mode " << mode;
        }
    }
}

class SimAdapterDataRegister : public ::testing::TestWithParam<int> {};

TEST_P(SimAdapterDataRegister, RegisterFormReachesTheDriveOnlyWithDrq)
{
    int mode = GetParam();
    Wire w(portFor(mode >= 3 ? ParallelPortKind::Epp : ParallelPortKind::Spp), mode >= 3);
    w.writeRegister(mode, 0, 0xFF);  // as the register echo test does, no DRQ
    EXPECT_EQ(w.dev.dataWrites(), 0u);
    EXPECT_EQ(w.adapter.counters().dataRegisterIgnored, 1u);
    w.dev.expectWriteData(2);
    w.writeRegister(mode, 0, 0x5A);
    EXPECT_EQ(w.dev.written(), (std::vector<uint8_t>{0x5A, 0x5A}));
    EXPECT_EQ(w.adapter.violationCount(), 0u) << w.adapter.lastViolation();
}

INSTANTIATE_TEST_SUITE_P(WriteModes, SimAdapterDataRegister, ::testing::Range(0, 5));
