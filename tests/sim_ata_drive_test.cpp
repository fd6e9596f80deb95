// The simulated ATA drive, driven as an ATA host drives it: task file
// writes, status polls, data words, with virtual time advancing 1 us per
// register access as it does on the bus.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <unistd.h>

#include "sim/ata/ata_drive.h"

using namespace sim;

namespace {

struct Host {
    explicit Host(const std::string& preset, uint64_t sectors = 0, bool medium = true)
        : config(drivePreset(preset)),
          image(DiskImage::inMemory(sectors ? sectors : config.defaultImageBytes / kSectorBytes)),
          drive(clock, config, medium ? image.get() : nullptr) {}

    uint8_t rd(uint8_t reg) { clock.advance(kMicrosecond); return drive.readRegister(reg); }
    void wr(uint8_t reg, uint8_t v) { clock.advance(kMicrosecond); drive.writeRegister(reg, v); }
    uint8_t alt() { return rd(kAtaAltStatusDeviceControl); }
    uint8_t error() { return rd(kAtaErrorFeatures); }

    void command(uint8_t op, uint8_t count = 0, uint8_t sector = 0, uint16_t cyl = 0, uint8_t dh = 0xA0,
                 uint8_t features = 0)
    {
        uint8_t file[] = {features, count, sector, uint8_t(cyl), uint8_t(cyl >> 8), dh, op};
        for (uint8_t r = 1; r <= 7; ++r) wr(r, file[r - 1]);
    }
    void lbaCommand(uint8_t op, uint32_t lba, uint8_t count)
    {
        command(op, count, static_cast<uint8_t>(lba), static_cast<uint16_t>(lba >> 8),
                static_cast<uint8_t>(0xE0 | ((lba >> 24) & 0x0F)));
    }
    // Polls every 10 us until `ready`; false after the limit.
    template <class F>
    bool waitFor(F ready, Nanoseconds limit)
    {
        for (Nanoseconds end = clock.now() + limit; clock.now() < end; clock.advance(10 * kMicrosecond))
            if (ready()) return true;
        return false;
    }
    bool waitNotBusy(Nanoseconds limit = 100 * kMillisecond)
    {
        return waitFor([&] { return !(alt() & kStatusBsy); }, limit);
    }
    bool waitInterrupt(Nanoseconds limit = 100 * kMillisecond)
    {
        return waitFor([&] { return drive.interruptRequest(); }, limit);
    }
    // Non-data command to its end: the status register value.
    uint8_t run(uint8_t op, uint8_t count = 0, uint8_t sector = 0, uint16_t cyl = 0, uint8_t dh = 0xA0,
                uint8_t features = 0)
    {
        command(op, count, sector, cyl, dh, features);
        EXPECT_TRUE(waitInterrupt()) << "no INTRQ for command " << int(op);
        return rd(7);
    }
    // Non-data command that must end with ERR: the error register.
    uint8_t fails(uint8_t op, uint8_t count = 0, uint8_t sector = 0, uint16_t cyl = 0, uint8_t dh = 0xA0,
                  uint8_t features = 0)
    {
        EXPECT_EQ(run(op, count, sector, cyl, dh, features), 0x51) << "command " << int(op);
        return error();
    }
    std::vector<uint8_t> readWords(size_t bytes)
    {
        std::vector<uint8_t> out;
        for (size_t i = 0; i < bytes / 2; ++i) {
            uint16_t w = drive.readData();
            out.push_back(static_cast<uint8_t>(w));
            out.push_back(static_cast<uint8_t>(w >> 8));
        }
        return out;
    }
    void writeWords(const uint8_t* data, size_t bytes)
    {
        for (size_t i = 0; i < bytes; i += 2) drive.writeData(static_cast<uint16_t>(data[i] | (data[i + 1] << 8)));
    }
    // PIO in: INTRQ and DRQ before each block of blockSectors.
    std::vector<uint8_t> readData(uint32_t sectors, uint32_t blockSectors = 1)
    {
        std::vector<uint8_t> all;
        for (uint32_t done = 0; done < sectors; done += blockSectors) {
            EXPECT_TRUE(waitInterrupt()) << "no INTRQ before block at " << done;
            EXPECT_EQ(rd(7) & (kStatusBsy | kStatusDrq), kStatusDrq);
            auto block = readWords(std::min(blockSectors, sectors - done) * kSectorBytes);
            all.insert(all.end(), block.begin(), block.end());
        }
        return all;
    }
    // PIO out: DRQ for the first block, INTRQ after each.
    void writeData(const std::vector<uint8_t>& data, uint32_t blockSectors = 1)
    {
        uint32_t sectors = static_cast<uint32_t>(data.size() / kSectorBytes);
        ASSERT_TRUE(waitNotBusy());
        for (uint32_t done = 0; done < sectors; done += blockSectors) {
            ASSERT_TRUE(rd(7) & kStatusDrq) << "no DRQ for block at " << done;
            uint32_t n = std::min(blockSectors, sectors - done);
            writeWords(&data[size_t(done) * kSectorBytes], size_t(n) * kSectorBytes);
            ASSERT_TRUE(waitInterrupt()) << "no INTRQ after block at " << done;
        }
    }

    Clock clock;
    DriveConfig config;
    std::unique_ptr<DiskImage> image;
    AtaDrive drive;
};

std::vector<uint8_t> pattern(uint32_t sectors, uint8_t seed)
{
    std::vector<uint8_t> d(size_t(sectors) * kSectorBytes);
    for (size_t i = 0; i < d.size(); ++i) d[i] = static_cast<uint8_t>(seed + i * 7 + i / 512);
    return d;
}

std::array<uint16_t, 256> identify(Host& h, uint8_t endStatus = 0x50)
{
    h.command(0xEC, 1);
    auto bytes = h.readData(1);
    EXPECT_EQ(h.rd(7), endStatus);
    std::array<uint16_t, 256> w{};
    for (int i = 0; i < 256; ++i) w[i] = static_cast<uint16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    return w;
}

std::string model(const std::array<uint16_t, 256>& w)
{
    std::string s;
    for (int i = 27; i <= 46; ++i) {
        s += char(w[i] >> 8);
        s += char(w[i] & 0xFF);
    }
    return s;
}

}  // namespace

// ---- IDENTIFY ----

struct IdentifyCase {
    const char* preset;
    const char* modelPrefix;
    uint16_t word0, c, h, s;
    bool lba;
    uint32_t total;  // words 60-61
    uint16_t w127;
};

class IdentifyWords : public ::testing::TestWithParam<IdentifyCase> {};

TEST_P(IdentifyWords, ReportPresetGeometryAndFeatures)
{
    const auto& p = GetParam();
    Host h(p.preset);
    auto w = identify(h);
    std::string m = model(w);
    EXPECT_EQ(m.size(), 40u);
    EXPECT_EQ(m.rfind(p.modelPrefix, 0), 0u) << m;
    EXPECT_EQ(m.back(), ' ');  // padded with spaces
    // Words 0, 1, 3, 6, then 54-56: current = default before INITIALIZE DEVICE PARAMETERS.
    EXPECT_EQ((std::vector<uint16_t>{w[0], w[1], w[3], w[6], w[54], w[55], w[56]}),
              (std::vector<uint16_t>{p.word0, p.c, p.h, p.s, p.c, p.h, p.s}));
    EXPECT_EQ((w[49] >> 9) & 1, p.lba ? 1 : 0);
    EXPECT_EQ(uint32_t(w[60]) | (uint32_t(w[61]) << 16), p.total);
    EXPECT_EQ(w[127] & 1, p.w127);
    EXPECT_EQ(w[47] & 0xFF, h.config.maxMultiple);
    EXPECT_EQ(h.drive.violations().total(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Presets, IdentifyWords,
                         ::testing::Values(IdentifyCase{"fixed", "NIMB SimDisk", 0x0040, 130, 16, 63, true, 131072, 0},
                                           IdentifyCase{"iota", "Iota Memories 42", 0x0080, 768, 8, 32, true, 196608, 1},
                                           IdentifyCase{"conner", "Conner Periph", 0x0040, 653, 2, 32, false, 0, 0},
                                           IdentifyCase{"syquest", "SyQuest", 0x0080, 130, 16, 63, true, 131072, 0},
                                           IdentifyCase{"removable", "NIMB", 0x0080, 130, 16, 63, true, 131072, 1},
                                           IdentifyCase{"chs", "NIMB", 0x0040, 980, 10, 17, false, 0, 0}));

TEST(SimAtaDrive, RemovableWithoutCartridgeIdentifiesZeroGeometry)
{
    Host h("iota", 0, false);
    auto w = identify(h);
    EXPECT_EQ(w[3], 0);
    EXPECT_EQ(w[55], 0);
    EXPECT_EQ(w[60] | w[61], 0);
}

// ---- data round trips ----

TEST(SimAtaDrive, LbaWriteThenReadRoundTripsThroughTheImage)
{
    Host h("fixed");
    auto data = pattern(3, 0x11);
    h.lbaCommand(0x30, 70000, 3);
    h.writeData(data);
    EXPECT_EQ(h.rd(7), 0x50);
    EXPECT_EQ(h.image->read(70000, 3), data);

    h.lbaCommand(0x20, 70000, 3);
    EXPECT_EQ(h.readData(3), data);
    EXPECT_EQ(h.rd(7), 0x50);
    EXPECT_FALSE(h.drive.interruptRequest());  // no INTRQ after the last read block
    EXPECT_EQ(h.rd(2), 0);  // count 0, address of the last sector moved
    EXPECT_EQ(h.rd(3) | h.rd(4) << 8, 70002 & 0xFFFF);
    EXPECT_EQ(h.drive.violations().total(), 0u);
}

TEST(SimAtaDrive, ChsUsesTheGeometryOfInitializeDeviceParameters)
{
    Host h("conner");
    EXPECT_EQ(h.run(0x91, 17, 0, 0, 0x00 | 3), 0x50);  // 4 heads, 17 sectors, bits 7/5 clear
    auto w = identify(h);
    EXPECT_EQ((std::vector<uint16_t>{w[54], w[55], w[56]}), (std::vector<uint16_t>{615, 4, 17}));

    auto data = pattern(2, 0x5A);
    h.command(0x30, 2, 5, 1, 0xA2);  // cylinder 1, head 2, sector 5: (1*4+2)*17+4
    h.writeData(data);
    EXPECT_EQ(h.image->read(106, 2), data);
    h.command(0x20, 2, 5, 1, 0xA2);
    EXPECT_EQ(h.readData(2), data);

    EXPECT_EQ(h.fails(0x20, 1, 18, 0, 0xA0), kErrorIdnf);  // sector 18 of 17
    EXPECT_EQ(h.fails(0x20, 1, 1, 615, 0xA0), kErrorIdnf);  // cylinder past the end
}

TEST(SimAtaDrive, FileImageWritesReachTheFileAtOnce)
{
    std::string path = ::testing::TempDir() + "sim_ata_drive_" + std::to_string(::getpid()) + ".img";
    std::remove(path.c_str());
    Clock clock;
    auto image = DiskImage::openFile(path, 2048);
    ASSERT_EQ(image->sectorCount(), 2048u);
    AtaDrive drive(clock, drivePreset("fixed"), image.get());
    auto data = pattern(1, 0x3C);
    const uint8_t taskFile[] = {1, 9, 0, 0, 0xE0, 0x30};  // WRITE SECTORS, one at LBA 9
    for (uint8_t r = 2; r <= 7; ++r) drive.writeRegister(r, taskFile[r - 2]);
    clock.advance(kMillisecond);
    for (size_t i = 0; i < data.size(); i += 2) drive.writeData(static_cast<uint16_t>(data[i] | (data[i + 1] << 8)));
    clock.advance(10 * kMillisecond);
    ASSERT_EQ(drive.readRegister(7), 0x50);

    std::ifstream file(path, std::ios::binary);  // the drive still holds it open
    std::vector<uint8_t> onDisk(512);
    file.seekg(9 * 512);
    file.read(reinterpret_cast<char*>(onDisk.data()), 512);
    EXPECT_EQ(onDisk, data);
    image.reset();
    EXPECT_EQ(DiskImage::openFile(path, 1)->sectorCount(), 2048u);  // reopened, not recreated
    EXPECT_EQ(DiskImage::openFile(path, 1)->read(9, 1), data);
    std::remove(path.c_str());
}

// ---- multiple mode ----

TEST(SimAtaDrive, MultipleModeNeedsSetMultipleAndMovesWholeBlocks)
{
    Host h("fixed");
    EXPECT_EQ(h.fails(0xC4, 1, 0, 0, 0xE0), kErrorAbrt);
    EXPECT_EQ(h.run(0xC6, 3), 0x51);   // not a power of two
    EXPECT_EQ(h.run(0xC6, 32), 0x51);  // above word 47
    EXPECT_EQ(h.run(0xC6, 16), 0x50);
    EXPECT_EQ(h.drive.multipleCount(), 16);

    auto data = pattern(20, 0x77);
    h.image->write(500, 20, data.data());
    uint64_t before = h.drive.interruptCount();
    h.lbaCommand(0xC4, 500, 20);
    EXPECT_EQ(h.readData(20, 16), data);  // a block of 16, then one of 4
    EXPECT_EQ(h.drive.interruptCount() - before, 2u);
    EXPECT_EQ(h.rd(7), 0x50);

    before = h.drive.interruptCount();
    auto other = pattern(20, 0x21);
    h.lbaCommand(0xC5, 600, 20);
    h.writeData(other, 16);
    EXPECT_EQ(h.drive.interruptCount() - before, 2u);  // after each block, none before the first
    EXPECT_EQ(h.image->read(600, 20), other);
    EXPECT_EQ(h.drive.violations().total(), 0u);
}

TEST(SimAtaDrive, SectorCountZeroMeans256)
{
    Host h("fixed");
    h.lbaCommand(0x20, 0, 0);
    EXPECT_EQ(h.readData(256).size(), 256u * 512u);
    EXPECT_EQ(h.rd(7), 0x50);
}

// ---- removable media ----

TEST(SimAtaDrive, MediaStatusReportsChangeWriteProtectAndNoMedium)
{
    Host h("removable");
    EXPECT_EQ(h.run(0xEF, 0, 0, 0, 0xA0, 0x95), 0x50);
    EXPECT_TRUE(h.drive.mediaStatusEnabled());
    EXPECT_EQ(h.run(0xDA), 0x50);
    EXPECT_EQ(h.error(), 0);

    h.drive.insertMedium(DiskImage::inMemory(4096), true);
    EXPECT_EQ(h.fails(0xDA), kErrorMc | kErrorWp);
    EXPECT_EQ(h.fails(0xDA), kErrorWp);  // MC reported once
    EXPECT_EQ(h.run(0x30, 1, 1, 0, 0xE0) & kStatusDrq, 0);  // write refused before DRQ
    EXPECT_EQ(h.error(), kErrorWp);

    h.drive.pressEjectButton();  // with notification: a request, not an eject
    EXPECT_TRUE(h.drive.mediumPresent());
    EXPECT_EQ(h.fails(0xDA), kErrorWp | kErrorMcr);

    h.drive.setWriteProtected(false);
    EXPECT_EQ(h.run(0xED), 0x00);  // ejected: neither ready nor seek complete
    EXPECT_FALSE(h.drive.mediumPresent());
    EXPECT_EQ(h.run(0xDA), 0x01);
    EXPECT_EQ(h.error(), kErrorNm);
}

TEST(SimAtaDrive, WithoutNotificationTheNextCommandReportsTheChange)
{
    Host h("syquest");
    auto cartridge = DiskImage::inMemory(8192);
    h.drive.insertMedium(*cartridge);
    EXPECT_EQ(h.run(0xE1), 0x50);  // not a media access: no report
    for (int i = 0; i < 2; ++i) EXPECT_EQ(h.fails(0x20, 1, 1, 0, 0xA0), kErrorMc);  // until acknowledged
    EXPECT_EQ(h.run(0xDB), 0x50);
    h.command(0x20, 1, 1, 0, 0xA0);
    h.readData(1);
    EXPECT_EQ(h.rd(7), 0x50);

    EXPECT_EQ(h.run(0xDE), 0x50);
    h.drive.pressEjectButton();  // locked: a request, reported once
    EXPECT_EQ(h.fails(0x10), kErrorMcr);
    EXPECT_EQ(h.fails(0xED), kErrorAbrt);  // door locked
    EXPECT_EQ(h.run(0xDF), 0x50);
    h.drive.pressEjectButton();  // unlocked: ejects, the drive stays ready
    EXPECT_FALSE(h.drive.mediumPresent());
    EXPECT_EQ(h.fails(0x20, 1, 1, 0, 0xA0), kErrorNm);
    EXPECT_EQ(h.run(0xEF, 0, 0, 0, 0xA0, 0x95), 0x51);  // no notification on this drive
    EXPECT_EQ(h.run(0xC0, 0, 0, 0, 0xA0, 0x50), 0x50);  // vendor command
    EXPECT_EQ(h.drive.vendorSetting(), 0x50);
}

TEST(SimAtaDrive, FixedDiskAbortsRemovableCommands)
{
    Host h("fixed");
    for (uint8_t op : {0xDA, 0xDB, 0xDC, 0xDE, 0xDF, 0xED, 0xC0, 0x99}) EXPECT_EQ(h.fails(op), kErrorAbrt);
    EXPECT_EQ(h.run(0xEF, 0, 0, 0, 0xA0, 0x95), 0x51);
}

// ---- faults ----

struct FaultCase {
    SectorFault kind;
    uint8_t status;  // after the command (or at the DRQ with data)
    uint8_t error;
};

class SectorFaults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(SectorFaults, ReadEndsAtTheSectorInError)
{
    const auto& p = GetParam();
    Host h("fixed");
    h.drive.faults().addSector(101, p.kind);
    h.lbaCommand(0x20, 100, 3);
    h.readData(1);  // sector 100 is good
    ASSERT_TRUE(h.waitInterrupt());
    EXPECT_EQ(h.rd(7), p.status);
    EXPECT_EQ(h.error(), p.error);
    if (p.status & kStatusDrq) {
        h.readWords(512);
        EXPECT_EQ(h.rd(7), 0x51);  // ended after the bad block
    }
    EXPECT_EQ(h.rd(3), 101);  // the sector in error
    EXPECT_EQ(h.rd(2), 2);    // sectors not moved
    EXPECT_EQ(h.drive.violations().total(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Kinds, SectorFaults,
                         ::testing::Values(FaultCase{SectorFault::Uncorrectable, 0x51, kErrorUnc},
                                           FaultCase{SectorFault::UncorrectableWithData, 0x59, kErrorUnc},
                                           FaultCase{SectorFault::IdNotFound, 0x51, kErrorIdnf},
                                           FaultCase{SectorFault::AddressMarkNotFound, 0x51, kErrorAmnf},
                                           FaultCase{SectorFault::BadBlock, 0x51, kErrorBbk}));

TEST(SimAtaDrive, CorrectedDataAndLateDrq)
{
    Host h("fixed");
    auto data = pattern(1, 9);
    h.image->write(5, 1, data.data());
    h.drive.faults().addSector(5, SectorFault::Corrected);
    h.lbaCommand(0x20, 5, 1);
    EXPECT_EQ(h.readData(1), data);
    EXPECT_EQ(h.rd(7), 0x54);  // good data, CORR
    h.drive.faults().lateDrq = 60 * kMillisecond;
    h.lbaCommand(0x30, 0, 1);
    h.clock.advance(1 * kMillisecond);
    EXPECT_EQ(h.rd(7), 0x50);  // neither BSY nor DRQ
    h.clock.advance(60 * kMillisecond);
    EXPECT_EQ(h.rd(7), 0x58);
}

TEST(SimAtaDrive, AbsentDriveFloatsAndDeadRegistersWakeOnIdleImmediate)
{
    Host none("fixed"), h("fixed");
    none.drive.faults().absent = true;
    none.wr(4, 0x55);
    EXPECT_EQ(none.rd(4) & none.rd(7), 0xFF);
    h.drive.faults().registersDead = true;
    h.wr(4, 0x55);
    EXPECT_EQ(h.rd(4), 0x00);
    EXPECT_EQ(h.run(0xE1), 0x50);
    h.wr(4, 0x55);
    EXPECT_EQ(h.rd(4), 0x55);
}

TEST(SimAtaDrive, StatusFaults)
{
    Host h("fixed");
    h.drive.faults().abortCommand(0x10, 1);
    EXPECT_EQ(h.fails(0x10), kErrorAbrt);
    EXPECT_EQ(h.run(0x10), 0x50);  // once only
    h.drive.faults().dscNeverSet = true;
    EXPECT_EQ(h.run(0x10), 0x40);
    h.drive.faults().dscNeverSet = false;
    h.drive.faults().deviceFault = true;
    EXPECT_EQ(h.run(0x10), 0x71);
    EXPECT_EQ(identify(h, 0x70)[1], 130);  // IDENTIFY still answers, with DF
}

TEST(SimAtaDrive, InterruptSuppressedAndStuckBusy)
{
    Host h("fixed");
    h.drive.faults().suppressInterrupts = 1;
    h.command(0x10);
    EXPECT_FALSE(h.waitInterrupt(50 * kMillisecond));
    EXPECT_EQ(h.rd(7), 0x50);  // the command ended all the same
    EXPECT_EQ(h.run(0x10), 0x50);

    h.drive.faults().stuckBusy = StuckBusy::MidTransfer;
    h.drive.faults().stuckAfterBlocks = 1;
    h.lbaCommand(0x20, 0, 2);
    h.readData(1);
    EXPECT_FALSE(h.waitNotBusy(1 * kSecond));
    h.wr(2, 5);  // ignored and counted
    EXPECT_EQ(h.drive.violations().registerWriteWhileBusy, 1u);
}

TEST(SimAtaDrive, GarbageIdentify)
{
    Host h("fixed");
    h.drive.faults().identifyGarbage = IdentifyGarbage::UnterminatedModel;
    EXPECT_EQ(model(identify(h)).back(), 'X');
    h.drive.faults().identifyGarbage = IdentifyGarbage::ZeroGeometry;
    auto w = identify(h);
    EXPECT_EQ(w[3] | w[6] | w[55] | w[56], 0);
    h.drive.faults().identifyGarbage = IdentifyGarbage::HugeCounts;
    EXPECT_EQ(identify(h)[6], 0xFFFF);
}

// ---- reset, timing, protocol ----

TEST(SimAtaDrive, SoftResetBusyThenSignatureWithoutInterrupt)
{
    Host h("fixed");
    EXPECT_EQ(h.run(0xC6, 16), 0x50);
    h.wr(8, 0x04);
    EXPECT_EQ(h.rd(7), 0x80);
    h.clock.advance(60 * kMillisecond);
    h.wr(8, 0x00);
    EXPECT_EQ(h.alt(), 0x80);
    h.clock.advance(h.config.timing.resetBusy);
    EXPECT_EQ(h.alt(), 0x50);
    EXPECT_FALSE(h.drive.interruptRequest());
    EXPECT_EQ(h.error(), 0x01);
    EXPECT_EQ(h.rd(2), 1);
    EXPECT_EQ(h.rd(3), 1);
    EXPECT_EQ(h.drive.multipleCount(), 16);  // kept

    h.drive.faults().forgetMultipleOnReset = true;
    h.drive.faults().stuckBusy = StuckBusy::AfterReset;
    h.wr(8, 0x04);
    h.wr(8, 0x00);
    EXPECT_FALSE(h.waitNotBusy(1 * kSecond));
}

// Power-on: BSY while the drive tests itself, then BSY clear but neither
// DRDY nor DSC until the spindle is at speed. Registers answer meanwhile; a
// command is aborted and counted. A software reset in that time does not
// make the drive ready sooner.
TEST(SimAtaDrive, PowerOnIsBusyThenNotReadyUntilSpunUp)
{
    Host h("fixed");
    const DriveTiming& tm = h.config.timing;
    ASSERT_GT(tm.spinUp, tm.powerOnBusy + tm.resetBusy + 70 * kMillisecond);
    Nanoseconds on = h.clock.now();
    h.drive.powerOn();
    EXPECT_EQ(h.rd(7), kStatusBsy);
    h.wr(4, 0x55);  // ignored while busy
    EXPECT_EQ(h.drive.violations().registerWriteWhileBusy, 1u);
    ASSERT_TRUE(h.waitNotBusy(tm.powerOnBusy + kMillisecond));
    EXPECT_GE(h.clock.now() - on, tm.powerOnBusy);
    EXPECT_EQ(h.rd(7), 0x00);  // spinning up
    EXPECT_EQ(h.error(), 0x01);
    h.wr(4, 0x55);
    EXPECT_EQ(h.rd(4), 0x55);

    h.command(0xEC, 1);
    ASSERT_TRUE(h.waitInterrupt());
    EXPECT_EQ(h.rd(7), kStatusErr);
    EXPECT_EQ(h.error(), kErrorAbrt);
    h.command(0x91, 17, 0, 0, 0x03);
    ASSERT_TRUE(h.waitInterrupt());
    EXPECT_EQ(h.rd(7), kStatusErr);
    EXPECT_EQ(h.error(), kErrorAbrt);
    EXPECT_EQ(h.drive.logicalHeads(), 16);  // not taken
    EXPECT_EQ(h.drive.violations().commandWhileNotReady, 2u);

    h.wr(8, kControlSrst);
    h.clock.advance(60 * kMillisecond);
    h.wr(8, 0x00);
    EXPECT_EQ(h.alt(), kStatusBsy);
    ASSERT_TRUE(h.waitNotBusy(tm.resetBusy + kMillisecond));
    EXPECT_EQ(h.alt(), 0x00);  // still spinning up
    EXPECT_EQ(h.rd(2), 1);     // the signature
    h.clock.advance(on + tm.spinUp - h.clock.now());
    EXPECT_EQ(h.alt(), 0x50);
    EXPECT_EQ(h.run(0x10), 0x50);
    EXPECT_EQ(h.drive.violations().commandWhileNotReady, 2u);
}

// The reset line: busy for the reset time, the signature, and the settings
// of power-on (no multiple mode, the default geometry), whatever a software
// reset keeps.
TEST(SimAtaDrive, HardwareResetIsBusyAndRevertsTheSettings)
{
    Host h("fixed");
    ASSERT_TRUE(h.config.keepSettingsOnReset);
    EXPECT_EQ(h.run(0xC6, 16), 0x50);
    EXPECT_EQ(h.run(0x91, 32, 0, 0, 0x07), 0x50);
    EXPECT_EQ(h.drive.logicalHeads(), 8);
    Nanoseconds start = h.clock.now();
    h.drive.hardwareReset();
    EXPECT_EQ(h.alt(), kStatusBsy);
    ASSERT_TRUE(h.waitNotBusy());
    EXPECT_GE(h.clock.now() - start, h.config.timing.resetBusy);
    EXPECT_EQ(h.alt(), 0x50);  // the spindle never stopped
    EXPECT_FALSE(h.drive.interruptRequest());
    EXPECT_EQ(h.error(), 0x01);
    EXPECT_EQ(h.rd(3), 1);
    EXPECT_EQ(h.drive.multipleCount(), 0);
    EXPECT_EQ(h.drive.logicalHeads(), 16);
    EXPECT_EQ(h.drive.logicalSectors(), 63);
    EXPECT_EQ(h.drive.violations().total(), 0u);
}

TEST(SimAtaDrive, ColdReadWaitsReReadIsReadyAtOnce)
{
    Host h("fixed");
    Nanoseconds start = h.clock.now();
    h.lbaCommand(0x20, 40000, 128);  // 64 KiB
    EXPECT_EQ(h.alt(), 0x80);
    h.readData(128);
    Nanoseconds took = h.clock.now() - start;
    EXPECT_GT(took, 2 * kMillisecond);
    EXPECT_LT(took, 10 * kMillisecond);

    h.lbaCommand(0x20, 40000, 1);  // in the buffer
    EXPECT_EQ(h.alt(), 0x58);
    h.readWords(512);
    h.lbaCommand(0x20, 40128, 1);  // read ahead
    EXPECT_EQ(h.alt(), 0x58);
}

TEST(SimAtaDrive, ProtocolViolationsAndCutShortDataPhase)
{
    Host h("fixed");
    h.drive.readData();
    h.drive.writeData(0);
    h.wr(8, 0x02);
    auto& v = h.drive.violations();
    EXPECT_EQ(v.dataReadWithoutDrq, 1u);
    EXPECT_EQ(v.dataWriteWithoutDrq, 1u);
    EXPECT_EQ(v.interruptDisabled, 1u);
    h.wr(8, 0x00);

    h.lbaCommand(0x20, 0, 4);
    ASSERT_TRUE(h.waitInterrupt());
    h.rd(7);
    EXPECT_EQ(h.run(0xE1), 0x50);  // the read's data phase ends here
    ASSERT_GE(h.drive.commandLog().size(), 2u);
    const auto& read = h.drive.commandLog()[h.drive.commandLog().size() - 2];
    EXPECT_EQ(read.command, 0x20);
    EXPECT_TRUE(read.cutShort);
    EXPECT_EQ(h.drive.commandLog().back().command, 0xE1);
    EXPECT_EQ(h.drive.commandLog().back().status, 0x50);

    h.command(0x10);
    h.wr(7, 0x10);  // while busy
    EXPECT_EQ(v.commandWhileBusy, 1u);
}

// ATA lets the host write a task-file register or a command only while BSY
// and DRQ are both clear; device control, SRST included, at any time.
TEST(SimAtaDrive, WritesDuringADataPhaseAreCounted)
{
    Host h("fixed");
    auto& v = h.drive.violations();
    h.lbaCommand(0x20, 10, 2);
    ASSERT_TRUE(h.waitInterrupt());
    EXPECT_EQ(h.rd(7) & (kStatusBsy | kStatusDrq), kStatusDrq);
    h.wr(6, 0xE0);
    EXPECT_EQ(v.registerWriteDuringDrq, 1u);
    h.wr(8, 0x00);
    EXPECT_EQ(v.total(), 1u);
    h.readWords(512);
    h.readData(1);
    EXPECT_EQ(h.rd(7), 0x50);
    h.wr(2, 1);  // the data phase is over
    EXPECT_EQ(v.registerWriteDuringDrq, 1u);

    h.lbaCommand(0x30, 20, 2);
    ASSERT_TRUE(h.waitNotBusy());
    ASSERT_TRUE(h.rd(7) & kStatusDrq);
    h.wr(7, 0xE1);  // taken: the write's data phase ends, IDLE IMMEDIATE runs
    EXPECT_EQ(v.commandDuringDrq, 1u);
    EXPECT_EQ(v.commandWhileBusy, 0u);
    EXPECT_TRUE(h.drive.commandLog()[h.drive.commandLog().size() - 2].cutShort);
    ASSERT_TRUE(h.waitInterrupt());
    EXPECT_EQ(h.rd(7), 0x50);

    h.lbaCommand(0x20, 10, 1);
    ASSERT_TRUE(h.waitInterrupt());
    h.wr(8, kControlSrst);  // a reset may end a data phase at any time
    h.wr(8, 0x00);
    EXPECT_EQ(v.total(), 2u);
    EXPECT_EQ(v.writesWhileBusyOrDrq(), 2u);
}

TEST(SimAtaDrive, DeviceOneIsAbsent)
{
    Host h("fixed");
    h.wr(6, 0xB0);
    EXPECT_EQ(h.rd(7), 0x00);
    h.wr(7, 0x10);
    h.clock.advance(50 * kMillisecond);
    EXPECT_FALSE(h.drive.interruptRequest());
    h.wr(6, 0xA0);
    EXPECT_EQ(h.rd(7), 0x50);
    EXPECT_EQ(h.drive.commandLog().size(), 0u);
}

// A drive that cannot translate accepts its own heads and sectors per
// track and aborts any other geometry, addressing as before.
TEST(SimAtaDrive, DriveThatCannotTranslateRefusesOtherGeometries)
{
    DriveConfig config = drivePreset("chs");
    config.translatesGeometry = false;
    Clock clock;
    auto image = DiskImage::inMemory(980u * 10u * 17u);
    AtaDrive drive(clock, config, image.get());
    auto run = [&](uint8_t count, uint8_t dh) {
        uint8_t file[] = {0, count, 0, 0, 0, dh, 0x91};
        for (uint8_t r = 1; r <= 7; ++r) drive.writeRegister(r, file[r - 1]);
        clock.advance(10 * kMillisecond);
        return std::make_pair(drive.readRegister(7), drive.readRegister(1));
    };
    EXPECT_EQ(run(63, 0x0F), std::make_pair(uint8_t(0x51), kErrorAbrt));  // 16/63
    EXPECT_EQ(run(17, 0x0F), std::make_pair(uint8_t(0x51), kErrorAbrt));  // 16/17
    EXPECT_EQ(drive.logicalHeads(), 10);
    EXPECT_EQ(drive.logicalSectors(), 17);
    EXPECT_EQ(run(17, 0x09).first, 0x50);  // 10/17, its own
    EXPECT_EQ(drive.logicalHeads(), 10);
}

TEST(SimAtaDrive, VerifyAndSeekCheckTheirAddresses)
{
    Host h("fixed");
    h.drive.faults().addSector(42, SectorFault::Uncorrectable);
    EXPECT_EQ(h.fails(0x40, 8, 40, 0, 0xE0), kErrorUnc);
    EXPECT_EQ(h.rd(3), 42);
    EXPECT_EQ(h.run(0x40, 8, 50, 0, 0xE0), 0x50);
    EXPECT_EQ(h.run(0x70, 0, 1, 129, 0xA0), 0x50);  // last cylinder of 130
    EXPECT_EQ(h.fails(0x70, 0, 1, 130, 0xA0), kErrorIdnf);
}

TEST(SimAtaDrive, PostBootAcknowledgesOnIotaAndStickyChangeStays)
{
    DriveConfig config = drivePreset("iota");
    config.mediaChangedAtPowerOn = true;
    Clock clock;
    auto image = DiskImage::inMemory(196608);
    AtaDrive drive(clock, config, image.get());
    EXPECT_TRUE(drive.mediaChangePending());
    drive.writeRegister(6, 0xA0);
    drive.writeRegister(7, 0xDC);
    clock.advance(10 * kMillisecond);
    EXPECT_EQ(drive.readRegister(7), 0x50);
    EXPECT_FALSE(drive.mediaChangePending());

    drive.faults().stickyMediaChange = true;
    drive.insertMedium(*image);
    drive.writeRegister(7, 0xDB);
    clock.advance(10 * kMillisecond);
    EXPECT_TRUE(drive.mediaChangePending());
}
