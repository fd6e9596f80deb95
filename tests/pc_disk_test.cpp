// The driver as the operating system sees it on a whole simulated PC: each
// drive behind the adapter on each standard port is served as a SCSI disk
// whose blocks are the image's blocks, from the first to the last, with the
// mode pair negotiation or the switches choose; requests past the end move
// nothing; cartridges eject only when the door allows; a machine without
// the adapter ends with nothing held.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <ostream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "ata/ata.h"
#include "link/link.h"
#include "seam/nimb_driver.h"
#include "sim/ata/drive_presets.h"
#include "support/miniport_pc.h"
#include "support/pc_e2e.h"

namespace {

struct DriveCase {
    const char* preset;
    bool removable;
    uint32_t cylinders, heads, sectors;  // the geometry the driver presents
};

const DriveCase kDrives[] = {
    {"fixed", false, 130, 16, 63},
    {"iota", true, 768, 8, 32},
    {"conner", false, 615, 4, 17},
    {"syquest", true, 130, 16, 63},
};

void PrintTo(const DriveCase& d, std::ostream* os) { *os << d.preset; }

// Requests from block 0 to the last block; the last three straddle the
// block before the last and end on the last one.
std::vector<std::pair<uint32_t, uint32_t>> walk(uint32_t cap)
{
    return {{0, 3}, {cap / 5 + 1, 17}, {cap / 2 - 64, 130}, {3 * (cap / 4), 8},
            {cap - 40, 36}, {cap - 4, 3}, {cap - 2, 2}, {cap - 1, 1}};
}

using DiskParam = std::tuple<DriveCase, uint16_t>;

class PcDisk : public ::testing::TestWithParam<DiskParam> {
protected:
    void SetUp() override
    {
        // The image's own contents at the blocks the walk reads, written
        // before the driver was loaded.
        pc_ = e2e::makePc("plain", drive().preset, port());
        for (auto [lba, n] : walk(expectedCapacity())) pc_->image().write(lba, n, e2e::blocks(lba, n, 1).data());
        pc_->boot();
        ASSERT_TRUE(pc_->report().adapterFound);
        EXPECT_EQ(pc_->report().port, port());
        info_ = pc_->disk().identify();
        ASSERT_TRUE(info_.capacity.result.good());
        capacity_ = uint32_t(info_.capacity.blocks());
        ASSERT_EQ(capacity_, expectedCapacity());
    }
    void TearDown() override { e2e::expectNoViolations(*pc_); }
    const DriveCase& drive() const { return std::get<0>(GetParam()); }
    uint16_t port() const { return std::get<1>(GetParam()); }
    uint32_t expectedCapacity() const { return drive().cylinders * drive().heads * drive().sectors; }

    std::unique_ptr<sim::SimulatedPc> pc_;
    sim::DiskInfo info_;
    uint32_t capacity_ = 0;
};

TEST_P(PcDisk, IdentifiesTheDriveWithItsGeometry)
{
    const DriveCase& d = drive();
    EXPECT_TRUE(info_.inquiry.result.good());
    EXPECT_EQ(info_.inquiry.deviceType, 0);
    // INQUIRY carries the first 18 characters of the drive's model.
    std::string model = sim::drivePreset(d.preset).model.substr(0, 18);
    model.erase(model.find_last_not_of(' ') + 1);
    EXPECT_EQ(info_.inquiry.vendorProduct, model);
    EXPECT_EQ(info_.inquiry.removable, d.removable);
    EXPECT_EQ(info_.capacity.blockLength, 512u);
    // Rigid disk page: cylinders in bytes 2-4, heads in byte 5; format
    // page: sectors per track in bytes 10-11.
    ASSERT_TRUE(info_.rigid.pagePresent && info_.rigid.page.size() >= 6);
    ASSERT_TRUE(info_.geometry.pagePresent && info_.geometry.page.size() >= 12);
    const std::vector<uint8_t>& rigid = info_.rigid.page;
    EXPECT_EQ((uint32_t(rigid[2]) << 16) | (rigid[3] << 8) | rigid[4], d.cylinders);
    EXPECT_EQ(rigid[5], d.heads);
    EXPECT_EQ((uint32_t(info_.geometry.page[10]) << 8) | info_.geometry.page[11], d.sectors);
    EXPECT_LE(capacity_, pc_->drive().capacity());
}

TEST_P(PcDisk, ReadsAndWritesTheWholeCapacity)
{
    for (auto [lba, n] : walk(capacity_)) {
        std::vector<uint8_t> back;
        ASSERT_TRUE(pc_->disk().read(lba, n, back).good()) << "read " << lba << "+" << n;
        EXPECT_EQ(back, e2e::blocks(lba, n, 1)) << "read " << lba << "+" << n;
    }
    for (auto [lba, n] : walk(capacity_)) e2e::expectRoundTrip(*pc_, lba, n, uint8_t(lba));
}

TEST_P(PcDisk, RequestsPastTheLastBlockMoveNothing)
{
    uint64_t imageBlocks = pc_->image().sectorCount();
    uint32_t tail = uint32_t(std::min<uint64_t>(imageBlocks, capacity_ + 2)) - (capacity_ - 1);
    std::vector<uint8_t> before = pc_->image().read(capacity_ - 1, tail);
    auto moved = [this] {
        uint64_t n = 0;
        for (const sim::CommandRecord& c : pc_->drive().commandLog()) n += c.sectorsMoved;
        return n;
    };
    uint64_t movedBefore = moved();
    const std::pair<uint32_t, uint16_t> requests[] = {{capacity_, 1}, {capacity_ - 1, 2}, {capacity_ + 7, 3}};
    for (auto [lba, n] : requests) {
        miniport_test::Guarded buffer(n * 512u);
        sim::CommandResult r = pc_->disk().read10(lba, n, buffer.data(), n * 512u);
        EXPECT_TRUE(r.checkCondition()) << "read " << lba << "+" << n;
        EXPECT_EQ(r.senseKey, 5) << "read " << lba << "+" << n;
        EXPECT_TRUE(buffer.untouchedFrom(0)) << "read " << lba << "+" << n;
        std::vector<uint8_t> data = e2e::blocks(lba, n, 9);
        r = pc_->disk().write10(lba, n, data.data(), n * 512u);
        EXPECT_TRUE(r.checkCondition()) << "write " << lba << "+" << n;
        EXPECT_EQ(r.senseKey, 5) << "write " << lba << "+" << n;
    }
    EXPECT_EQ(pc_->image().read(capacity_ - 1, tail), before);
    EXPECT_EQ(moved(), movedBefore);
    // The last block itself is still served.
    std::vector<uint8_t> last;
    EXPECT_TRUE(pc_->disk().read(capacity_ - 1, 1, last).good());
}

TEST_P(PcDisk, EjectsOnlyWhenTheDoorAllows)
{
    sim::DiskClient& disk = pc_->disk();
    if (!drive().removable) {
        // A fixed disk has neither door nor cartridge: both are refused.
        EXPECT_EQ(disk.preventAllow(true).senseKey, 5);
        EXPECT_EQ(disk.eject().senseKey, 5);
        EXPECT_TRUE(pc_->drive().mediumPresent());
        EXPECT_TRUE(disk.testUnitReady().good());
        return;
    }
    ASSERT_TRUE(disk.preventAllow(true).good());
    EXPECT_TRUE(pc_->drive().doorLocked());
    sim::CommandResult refused = disk.eject();  // the drive refuses a locked door
    EXPECT_TRUE(refused.checkCondition());
    EXPECT_TRUE(pc_->drive().mediumPresent());
    EXPECT_EQ(pc_->drive().ejectCount(), 0u);
    ASSERT_TRUE(disk.preventAllow(false).good());
    EXPECT_FALSE(pc_->drive().doorLocked());
    EXPECT_TRUE(disk.eject().good());
    EXPECT_FALSE(pc_->drive().mediumPresent());
    EXPECT_EQ(pc_->drive().ejectCount(), 1u);
    sim::CommandResult ready = disk.testUnitReady();
    EXPECT_TRUE(ready.checkCondition());
    EXPECT_EQ(ready.senseKey, 2);
    std::vector<uint8_t> data;
    EXPECT_EQ(disk.read(0, 1, data).senseKey, 2);
}

std::string diskName(const ::testing::TestParamInfo<DiskParam>& info)
{
    char port[8];
    std::snprintf(port, sizeof port, "%X", std::get<1>(info.param));
    return std::string(std::get<0>(info.param).preset) + "_" + port;
}

INSTANTIATE_TEST_SUITE_P(DrivesAndPorts, PcDisk,
                         ::testing::Combine(::testing::ValuesIn(kDrives),
                                            ::testing::Values(uint16_t(0x378), uint16_t(0x3BC), uint16_t(0x278))),
                         diskName);

// A disk of about 4.2 GB or more is presented with 256 heads (520
// cylinders of 256 heads of 63 sectors here), which the one-byte heads
// field of the rigid disk page cannot hold: the page says 255 there, never
// 0, which a host would divide by. Capacity and block addressing stay those
// of the 256-head geometry.
TEST(PcLargeDisk, RigidDiskPageNeverReportsZeroHeads)
{
    sim::PcConfig config;
    config.driver = seam::nimbDriver();
    config.host = "plain";
    config.imageBytes = 8400000ull * 512;  // kept sparse in memory
    sim::SimulatedPc pc(config);
    const uint32_t blocks = 520u * 256 * 63;
    pc.image().write(blocks - 1, 1, e2e::blocks(blocks - 1, 1, 1).data());
    pc.boot();
    ASSERT_TRUE(pc.report().adapterFound);
    sim::DiskInfo info = pc.disk().identify();
    ASSERT_TRUE(info.capacity.result.good());
    EXPECT_EQ(info.capacity.blocks(), blocks);
    ASSERT_TRUE(info.rigid.result.good());
    ASSERT_TRUE(info.rigid.pagePresent && info.rigid.page.size() >= 6);
    const std::vector<uint8_t>& rigid = info.rigid.page;
    EXPECT_EQ((uint32_t(rigid[2]) << 16) | (rigid[3] << 8) | rigid[4], 520u);
    EXPECT_EQ(rigid[5], 255);
    ASSERT_TRUE(info.geometry.pagePresent && info.geometry.page.size() >= 12);
    EXPECT_EQ((uint32_t(info.geometry.page[10]) << 8) | info.geometry.page[11], 63u);
    EXPECT_EQ(info.page0.descriptorBlocks, blocks);

    std::vector<uint8_t> back;
    ASSERT_TRUE(pc.disk().read(blocks - 1, 1, back).good());
    EXPECT_EQ(back, e2e::blocks(blocks - 1, 1, 1));
    e2e::expectRoundTrip(pc, blocks - 300, 40, 0x42);
    e2e::expectNoViolations(pc);
}

// A removable drive without media status notification, its door locked by
// the system, answers the eject button with a media change request: the
// next data command ends at once with ERR and MCR, having moved or checked
// nothing. Such a command is never GOOD. It ends with UNIT ATTENTION (medium
// may have changed), after which the class driver sends it again, and the
// repeated command is served as usual. The cartridge stays in, the door
// stays locked. Deferred to the drive interrupt, and polled (/di).
class PcChangeRequest : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override
    {
        pc_ = e2e::makePc("plain", "syquest", 0x378, GetParam());
        pc_->image().write(kBlock, 8, e2e::blocks(kBlock, 8, 1).data());
        pc_->boot();
        ASSERT_TRUE(pc_->report().adapterFound);
        ASSERT_TRUE(pc_->disk().identify().capacity.result.good());
        ASSERT_FALSE(pc_->drive().mediaStatusEnabled());
        ASSERT_TRUE(pc_->disk().preventAllow(true).good());
        ASSERT_TRUE(pc_->drive().doorLocked());
    }
    void TearDown() override { e2e::expectNoViolations(*pc_); }
    // The user presses the button; the locked drive keeps the cartridge and
    // raises the request for the next media command.
    void pressEject()
    {
        pc_->drive().pressEjectButton();
        ASSERT_TRUE(pc_->drive().changeRequestPending());
        ASSERT_TRUE(pc_->drive().mediumPresent());
    }
    static void expectRetryable(const sim::CommandResult& r, const char* what)
    {
        EXPECT_FALSE(r.good()) << what;
        EXPECT_TRUE(r.checkCondition()) << what;
        EXPECT_EQ(r.senseKey, 6) << what;
        EXPECT_EQ(r.asc, 0x28) << what;
    }

    static constexpr uint32_t kBlock = 200;
    std::unique_ptr<sim::SimulatedPc> pc_;
};

TEST_P(PcChangeRequest, DataCommandIsNotGoodAndItsRetrySucceeds)
{
    sim::DiskClient& disk = pc_->disk();

    pressEject();
    miniport_test::Guarded buffer(8 * 512);
    expectRetryable(disk.read10(kBlock, 8, buffer.data(), 8 * 512), "read");
    EXPECT_TRUE(buffer.untouchedFrom(0));
    ASSERT_TRUE(disk.read10(kBlock, 8, buffer.data(), 8 * 512).good());
    EXPECT_EQ(std::vector<uint8_t>(buffer.bytes.begin(), buffer.bytes.begin() + 8 * 512), e2e::blocks(kBlock, 8, 1));

    pressEject();
    expectRetryable(disk.verify10(kBlock, 8), "verify");
    EXPECT_TRUE(disk.verify10(kBlock, 8).good());

    pressEject();
    std::vector<uint8_t> before = pc_->image().read(kBlock + 100, 4);
    std::vector<uint8_t> data = e2e::blocks(kBlock + 100, 4, 7);
    expectRetryable(disk.write10(kBlock + 100, 4, data.data(), 4 * 512), "write");
    EXPECT_EQ(pc_->image().read(kBlock + 100, 4), before);
    ASSERT_TRUE(disk.write10(kBlock + 100, 4, data.data(), 4 * 512).good());
    EXPECT_EQ(pc_->image().read(kBlock + 100, 4), data);

    EXPECT_TRUE(pc_->drive().mediumPresent());
    EXPECT_TRUE(pc_->drive().doorLocked());
    EXPECT_EQ(pc_->drive().ejectCount(), 0u);

    // A verify over an unreadable sector: the request ends it before the
    // sector is looked at, and the retry finds the sector bad.
    pc_->drive().faults().addSector(kBlock + 300, sim::SectorFault::Uncorrectable);
    pressEject();
    expectRetryable(disk.verify10(kBlock + 296, 8), "verify of an unreadable sector");
    sim::CommandResult retried = disk.verify10(kBlock + 296, 8);
    EXPECT_TRUE(retried.checkCondition());
    EXPECT_EQ(retried.senseKey, 3);
}

INSTANTIATE_TEST_SUITE_P(Waits, PcChangeRequest, ::testing::Values("", "/di"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return std::string(*info.param ? "polled" : "deferred");
                         });


// A CHS disk of 4100 cylinders, 8 heads, 32 sectors per track that cannot
// translate: it refuses the 1024/16/63 worked out from its geometry and
// keeps addressing in 8/32.
sim::PcConfig untranslatableDisk()
{
    sim::PcConfig config;
    config.driver = seam::nimbDriver();
    config.host = "epp";
    config.drive = "chs";
    config.imageBytes = 4100ull * 8 * 32 * 512;
    config.configureDrive = [](sim::DriveConfig& d) {
        d.cylinders = 4100;
        d.heads = 8;
        d.sectorsPerTrack = 32;
        d.capacitySectors = 4100u * 8u * 32u;
        d.translatesGeometry = false;
    };
    return config;
}

// Heads field and sectors per track of each INITIALIZE DEVICE PARAMETERS.
std::vector<std::pair<uint8_t, uint8_t>> geometriesSent(sim::SimulatedPc& pc)
{
    std::vector<std::pair<uint8_t, uint8_t>> sent;
    for (const sim::CommandRecord& c : pc.drive().commandLog())
        if (c.command == ATA_CMD_INITIALIZE_PARAMETERS) sent.emplace_back(c.driveHead, c.sectorCount);
    return sent;
}

size_t storedSectors(sim::SimulatedPc& pc)
{
    auto* image = dynamic_cast<sim::MemoryDiskImage*>(&pc.image());
    return image ? image->storedSectors() : 0;
}

// The refused geometry is never used: the unit is presented in the drive's
// own heads and sectors per track, which the drive accepted, and every
// block is the image's block of the same number.
TEST(PcDiskGeometry, RefusedTranslationFallsBackToTheDrivesOwnGeometry)
{
    sim::SimulatedPc pc(untranslatableDisk());
    ASSERT_TRUE(pc.boot().adapterFound);
    using Sent = std::vector<std::pair<uint8_t, uint8_t>>;
    EXPECT_EQ(geometriesSent(pc), (Sent{{0x0F, 63}, {0x07, 32}}));  // 16/63 refused, then 8/32
    EXPECT_EQ(pc.drive().logicalHeads(), 8);
    EXPECT_EQ(pc.drive().logicalSectors(), 32);
    sim::DiskInfo info = pc.disk().identify();
    EXPECT_TRUE(info.ready.good());
    ASSERT_TRUE(info.capacity.result.good());
    const uint32_t capacity = uint32_t(info.capacity.blocks());
    EXPECT_EQ(capacity, 4100u * 8u * 32u);  // the whole drive, in its own geometry
    ASSERT_TRUE(info.rigid.pagePresent && info.rigid.page.size() >= 6);
    ASSERT_TRUE(info.geometry.pagePresent && info.geometry.page.size() >= 12);
    EXPECT_EQ(info.rigid.page[5], 8);
    EXPECT_EQ((uint32_t(info.geometry.page[10]) << 8) | info.geometry.page[11], 32u);

    // Block 63 is the drive's sector 63, not cylinder 0, head 1, sector 1 of
    // a 63-sector track, which this drive takes for its sector 32.
    std::vector<uint8_t> data = e2e::blocks(63, 1, 0x42);
    ASSERT_TRUE(pc.disk().write(63, data).good());
    EXPECT_EQ(pc.image().read(63, 1), data);
    EXPECT_EQ(pc.image().read(32, 1), std::vector<uint8_t>(512, 0));

    // Across tracks, heads and cylinders, up to the last block: each lands on
    // its own sector and nowhere else.
    const std::pair<uint32_t, uint32_t> writes[] = {{0, 2}, {250, 20}, {4093, 7}, {capacity / 3 + 5, 40},
                                                    {capacity - 33, 33}};
    size_t written = 1;
    for (auto [lba, n] : writes) {
        e2e::expectRoundTrip(pc, lba, n, uint8_t(lba));
        written += n;
    }
    EXPECT_EQ(storedSectors(pc), written);
    e2e::expectNoViolations(pc);
}

// The older CHS-only disk of 1224 cylinders, 15 heads, 17 sectors per track
// refuses the 1024/16/19 the driver works out from that: the unit is served
// in the drive's own geometry with its whole capacity, and blocks at the
// start, in the middle and at the end land on the image's blocks of the
// same number.
TEST(PcDiskGeometry, OlderDiskThatCannotTranslateServesItsWholeCapacity)
{
    auto pc = e2e::bootPc("epp", "oldchs");
    ASSERT_TRUE(pc->report().adapterFound);
    using Sent = std::vector<std::pair<uint8_t, uint8_t>>;
    EXPECT_EQ(geometriesSent(*pc), (Sent{{0x0F, 19}, {0x0E, 17}}));  // 16/19 refused, then 15/17
    sim::DiskInfo info = pc->disk().identify();
    EXPECT_TRUE(info.ready.good());
    ASSERT_TRUE(info.capacity.result.good());
    const uint32_t blocks = 1224u * 15u * 17u;  // 312,120
    EXPECT_EQ(info.capacity.blocks(), blocks);
    EXPECT_EQ(info.capacity.blockLength, 512u);
    e2e::expectRoundTrip(*pc, 0, 8, 0x51);
    e2e::expectRoundTrip(*pc, blocks / 2 - 3, 8, 0x52);  // across a track and a head
    e2e::expectRoundTrip(*pc, blocks - 8, 8, 0x53);
    EXPECT_EQ(storedSectors(*pc), 24u);
    std::vector<uint8_t> back;
    EXPECT_EQ(pc->disk().read(blocks, 1, back).senseKey, SENSE_ILLEGAL_REQUEST);
    e2e::expectNoViolations(*pc);
}

// A drive that refuses every geometry, its own included, has no sectors the
// driver can address: the unit is not ready and nothing is written.
TEST(PcDiskGeometry, NoGeometryAcceptedMeansNotReady)
{
    sim::SimulatedPc pc(untranslatableDisk());
    pc.drive().faults().abortCommand(0x91);
    ASSERT_TRUE(pc.boot().adapterFound);
    using Sent = std::vector<std::pair<uint8_t, uint8_t>>;
    EXPECT_EQ(geometriesSent(pc), (Sent{{0x0F, 63}, {0x07, 32}}));
    sim::DiskClient& disk = pc.disk();
    EXPECT_EQ(disk.testUnitReady().senseKey, SENSE_NOT_READY);
    EXPECT_EQ(disk.readCapacity().result.senseKey, SENSE_NOT_READY);
    std::vector<uint8_t> data = e2e::blocks(63, 1, 0x42), back;
    sim::CommandResult w = disk.write(63, data);
    EXPECT_TRUE(w.checkCondition());
    EXPECT_EQ(w.senseKey, SENSE_NOT_READY);
    EXPECT_EQ(disk.read(63, 1, back).senseKey, SENSE_NOT_READY);
    EXPECT_EQ(storedSectors(pc), 0u);
    e2e::expectNoViolations(pc);
}

// The drive loses power and gets it back while the system runs. Until its
// spindle is at speed every request ends NOT READY and moves nothing, and no
// command reaches the drive before it shows DRDY. Once it is at speed the
// unit reads and writes as before, although the drive has forgotten its
// block size (polled here: see the report of the deferred case).
class PcSpinUp : public ::testing::TestWithParam<const char*> {};

TEST_P(PcSpinUp, RequestsWhileTheDriveSpinsUpAreNotReady)
{
    auto pc = e2e::bootPc("epp", "fixed", 0x378, GetParam());
    ASSERT_TRUE(pc->report().adapterFound);
    sim::DiskClient& disk = pc->disk();
    std::vector<uint8_t> kept = e2e::blocks(500, 8, 0x11), back;
    ASSERT_TRUE(disk.write(500, kept).good());

    pc->drive().powerOn();
    sim::Nanoseconds ready = pc->clock().now() + pc->drive().config().timing.spinUp;
    EXPECT_EQ(disk.verify(500, 8).senseKey, SENSE_NOT_READY);  // comes while the drive is busy
    sim::CommandResult r = disk.read(500, 8, back);
    EXPECT_TRUE(r.checkCondition());
    EXPECT_EQ(r.senseKey, SENSE_NOT_READY);
    std::vector<uint8_t> data = e2e::blocks(600, 8, 0x22);
    sim::CommandResult w = disk.write(600, data);
    EXPECT_TRUE(w.checkCondition());
    EXPECT_EQ(w.senseKey, SENSE_NOT_READY);
    EXPECT_EQ(disk.testUnitReady().senseKey, SENSE_NOT_READY);
    EXPECT_EQ(pc->image().read(600, 8), std::vector<uint8_t>(8 * 512, 0));
    ASSERT_LT(pc->clock().now(), ready) << "the requests came after the spin-up";
    EXPECT_EQ(pc->drive().violations().commandWhileNotReady, 0u) << e2e::driveEvents(*pc);

    pc->clock().advance(ready - pc->clock().now());
    EXPECT_TRUE(disk.testUnitReady().good());
    ASSERT_TRUE(disk.read(500, 8, back).good());
    EXPECT_EQ(back, kept);
    e2e::expectRoundTrip(*pc, 600, 8, 0x22);

    pc->drive().powerOn();  // a read first, while the drive is busy
    ready = pc->clock().now() + pc->drive().config().timing.spinUp;
    EXPECT_EQ(disk.read(600, 8, back).senseKey, SENSE_NOT_READY);
    ASSERT_LT(pc->clock().now(), ready);
    pc->clock().advance(ready - pc->clock().now());
    ASSERT_TRUE(disk.read(600, 8, back).good());
    EXPECT_EQ(back, data);
    e2e::expectNoViolations(*pc);
}

// A drive whose spindle takes three seconds to come up is still spinning
// when the driver resets it at start-up: the driver waits for it to be
// ready instead of giving up on it, and asks it nothing before that.
TEST(PcSlowSpinUp, DriveStillSpinningUpAtStartIsWaitedFor)
{
    sim::PcConfig config;
    config.driver = seam::nimbDriver();
    config.host = "epp";
    config.drive = "fixed";
    config.configureDrive = [](sim::DriveConfig& d) { d.timing.spinUp = 3 * sim::kSecond; };
    sim::SimulatedPc pc(config);
    ASSERT_TRUE(pc.boot().adapterFound);
    EXPECT_GE(pc.clock().now(), 3 * sim::kSecond);
    EXPECT_TRUE(pc.disk().testUnitReady().good());
    sim::DiskInfo info = pc.disk().identify();
    ASSERT_TRUE(info.capacity.result.good());
    EXPECT_EQ(info.capacity.blocks(), 130u * 16u * 63u);
    e2e::expectRoundTrip(pc, 4000, 16, 0x5A);
    e2e::expectNoViolations(pc);
}

INSTANTIATE_TEST_SUITE_P(Waits, PcSpinUp, ::testing::Values("/di"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return std::string(*info.param ? "polled" : "deferred");
                         });

// The pair negotiation settles on, and what the switches change. The
// driver leaves (read mode * 16 + write mode) on the data lines after each
// request.
struct ModeCase {
    const char* host;
    uint16_t port;
    const char* arguments;
    int readMode, writeMode;  // -1: no adapter may be reported
    const char* why;
};

const ModeCase kModes[] = {
    {"plain", 0x378, "", 4, 1, "plain port: five-plus-three read, byte write"},
    {"epp", 0x378, "", 10, 3, "EPP port: 8-bit EPP both ways"},
    {"epp", 0x3BC, "", 9, 1, "no EPP registers at 0x3BC"},
    {"epp", 0x378, "/da", 2, 2, "no negotiation: the default modes"},
    {"plain", 0x378, "/da", 2, 2, "no negotiation: the default modes"},
    {"epp", 0x378, "/da /r0 /w0", 0, 0, "given modes used as they are"},
    {"epp", 0x378, "/da /r9 /w2", 9, 2, "given modes used as they are"},
    {"epp", 0x378, "/r5 /w1", 5, 1, "given modes kept when they pass"},
    {"plain", 0x378, "/r1 /w2", 1, 2, "given modes kept when they pass"},
    {"plain", 0x378, "/r9 /w1", 4, 1, "bidirectional impossible: the negotiated pair"},
    {"plain", 0x378, "/r10 /w3", 4, 1, "EPP impossible: the negotiated pair"},
    {"epp", 0x3BC, "/r10 /w3", 9, 1, "EPP impossible at 0x3BC: the negotiated pair"},
    {"plain", 0x378, "/da /r10 /w3", -1, -1, "imposed EPP on a plain port: no disk rather than a broken one"},
};

void PrintTo(const ModeCase& c, std::ostream* os)
{
    *os << c.host << " 0x" << std::hex << c.port << std::dec << " '" << c.arguments << "'";
}

class PcModes : public ::testing::TestWithParam<ModeCase> {};

TEST_P(PcModes, ChoosesTheModesAndMovesData)
{
    const ModeCase& c = GetParam();
    auto pc = e2e::bootPc(c.host, "fixed", c.port, c.arguments);
    if (c.readMode < 0) {
        EXPECT_FALSE(pc->report().adapterFound) << c.why;
        EXPECT_TRUE(pc->host().heldMappings().empty());
    } else {
        ASSERT_TRUE(pc->report().adapterFound) << c.why;
        e2e::expectRoundTrip(*pc, 1000, 40, 0x3C);
        uint8_t modes = e2e::modeByte(*pc);
        EXPECT_EQ(modes >> 4, c.readMode) << c.why;
        EXPECT_EQ(modes & 0x0F, c.writeMode) << c.why;
        EXPECT_EQ(LinkState.HostPortKind, c.readMode == 10 ? 3u : 0u) << c.why;
    }
    e2e::expectNoViolations(*pc);
}

INSTANTIATE_TEST_SUITE_P(Switches, PcModes, ::testing::ValuesIn(kModes));

// Nothing on the cable: every port is tried in order and given back, and
// every chip register a probe changed is put back.
class PcNoAdapter : public ::testing::TestWithParam<const char*> {};

TEST_P(PcNoAdapter, TriesEveryPortAndHoldsNothing)
{
    sim::PcConfig config;
    config.driver = seam::nimbDriver();
    config.host = GetParam();
    config.adapterPresent = false;
    sim::SimulatedPc pc(config);
    const sim::BootReport& report = pc.boot();
    EXPECT_FALSE(report.adapterFound);
    EXPECT_NE(report.driverStatus, sim::kStatusSuccess);
    EXPECT_EQ(report.portsTried, (std::vector<uint16_t>{0x378, 0x3BC, 0x278}));
    EXPECT_TRUE(pc.host().heldMappings().empty());
    for (sim::ChipModel* chip : pc.hostChips()) EXPECT_FALSE(chip->registersChanged()) << chip->name();
    e2e::expectNoViolations(pc);
}

std::vector<const char*> machineKinds()
{
    std::vector<const char*> names;
    for (const sim::HostKindInfo& k : sim::hostKinds()) names.push_back(k.name);
    return names;
}

INSTANTIATE_TEST_SUITE_P(Machines, PcNoAdapter, ::testing::ValuesIn(machineKinds()),
                         [](const ::testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

}  // namespace
