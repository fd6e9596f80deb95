// The fault soak at CI size, and the faults it found pinned down one by one.
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "seam/nimb_driver.h"
#include "sim/ata/ata_drive.h"
#include "sim/ata/disk_image.h"
#include "sim/host/disk_client.h"
#include "sim/host/scsi_port_host.h"
#include "sim/machine/simulated_pc.h"
#include "sim/wire/nimb_adapter.h"
#include "soak/fault_soak.h"

namespace {

TEST(FaultSoak, InjectedFaultsNeverCostDataOrHang)
{
    sim::SoakOptions options;
    options.driver = seam::nimbDriver();
    options.requests = 1500;
    options.seed = 7;
    options.segmentRequests = 57;  // every machine kind once
    sim::SoakStats stats = sim::FaultSoak(options).run();
    SCOPED_TRACE(stats.detailText());
    EXPECT_EQ(stats.requests, 1500u);
    EXPECT_EQ(stats.mismatches, 0u);
    EXPECT_EQ(stats.hangs, 0u);
    EXPECT_EQ(stats.hostViolations, 0u);
    EXPECT_EQ(stats.unexplainedFailures, 0u);
    EXPECT_EQ(stats.bootFailures, 0u);
    // The drive is never written while busy or offering data, nor driven
    // against its protocol otherwise, but where the driver had lost it.
    EXPECT_EQ(stats.unexplainedDriveViolations, 0u);
    EXPECT_TRUE(stats.passed());
    // The soak did something: faults of many kinds went in, and the driver
    // reported failures for them.
    EXPECT_GT(stats.faultsInjected, 200u);
    EXPECT_GT(stats.failuresReported, 100u);
    EXPECT_GE(stats.faults.size(), 9u);
    EXPECT_GE(stats.failures[sim::SoakFault::UnreadableSector], 10u);
    EXPECT_GE(stats.failures[sim::SoakFault::MissingSector], 10u);
    EXPECT_EQ(stats.hosts.size(), sim::hostKinds().size());
    EXPECT_GE(stats.modes.size(), 5u);
    EXPECT_GT(stats.blocksMoved, 10000u);
}

// On the port turned around by control bit 7 the soak forces read modes 6
// and 7 as well, so the faults reach the driver in them too.
TEST(FaultSoak, ForcesTheBit7ReadsWhereThePortCarriesThem)
{
    sim::SoakOptions options;
    options.driver = seam::nimbDriver();
    options.requests = 400;
    options.seed = 5;
    options.segmentRequests = 10;
    options.hosts = {"byte7"};
    sim::SoakStats stats = sim::FaultSoak(options).run();
    SCOPED_TRACE(stats.detailText());
    EXPECT_TRUE(stats.passed());
    bool mode6 = false, mode7 = false;
    for (const auto& m : stats.modes) {
        mode6 = mode6 || m.first == 6;
        mode7 = mode7 || m.first == 7;
    }
    EXPECT_TRUE(mode6);
    EXPECT_TRUE(mode7);
}

TEST(FaultSoak, SameSeedSameRun)
{
    sim::SoakOptions options;
    options.driver = seam::nimbDriver();
    options.requests = 200;
    options.seed = 3;
    sim::SoakStats a = sim::FaultSoak(options).run();
    sim::SoakStats b = sim::FaultSoak(options).run();
    EXPECT_EQ(a.summaryLine(), b.summaryLine());
    EXPECT_EQ(a.virtualTime, b.virtualTime);
}

// --- Findings of the soak.

std::string describe(const sim::CommandResult& r)
{
    std::ostringstream out;
    out << "SRB 0x" << std::hex << unsigned(r.srbStatus) << " SCSI 0x" << unsigned(r.scsiStatus) << " key "
        << unsigned(r.senseKey) << " ASC 0x" << unsigned(r.asc) << (r.completed ? "" : " not completed")
        << (r.hang ? " hang" : "");
    return out.str();
}

// A request the driver gave up on says why: CHECK CONDITION with a sense key
// that is not NO SENSE, or an error status of the port driver. It never
// hangs and is never left without an outcome.
void expectFailedWithAReason(const sim::CommandResult& r)
{
    EXPECT_TRUE(r.completed) << describe(r);
    EXPECT_FALSE(r.hang) << describe(r);
    if (r.checkCondition()) {
        EXPECT_TRUE(r.senseValid) << describe(r);
        EXPECT_NE(r.senseKey, 0) << "CHECK CONDITION with NO SENSE: " << describe(r);
    } else {
        EXPECT_NE(r.srbStatus & 0x3F, SRB_STATUS_SUCCESS) << describe(r);
        EXPECT_NE(r.srbStatus & 0x3F, SRB_STATUS_PENDING) << describe(r);
    }
}

// A READ either fails with a reason or is GOOD and brought the blocks the
// image holds.
void expectReadGoodWithTheImageOrFailed(const sim::CommandResult& r, sim::DiskImage& image, uint32_t lba,
                                         uint32_t count, const std::vector<uint8_t>& data)
{
    if (r.good())
        EXPECT_EQ(data, image.read(lba, count)) << "GOOD with other data than blocks " << lba << "+" << count;
    else
        expectFailedWithAReason(r);
}

std::string driveLog(sim::SimulatedPc& pc)
{
    std::string text;
    for (const std::string& e : pc.drive().eventLog()) text += e + "\n";
    return text;
}

// A READ with no fault in its way is GOOD and brings the image's blocks.
void expectCleanRead(sim::SimulatedPc& pc, uint32_t lba, uint16_t count)
{
    std::vector<uint8_t> data(count * 512u, 0xEE);
    sim::CommandResult r = pc.disk().read10(lba, count, data.data(), count * 512u);
    EXPECT_TRUE(r.good()) << "read " << lba << "+" << count << ": " << describe(r);
    EXPECT_EQ(data, pc.image().read(lba, count)) << "read " << lba << "+" << count;
}

struct ResetRig {
    std::unique_ptr<sim::SimulatedPc> pc;
    explicit ResetRig(const char* arguments, const char* drive = "fixed")
    {
        sim::PcConfig config;
        config.driver = seam::nimbDriver();
        config.host = "plain";
        config.drive = drive;
        if (std::string(drive) == "fixed") config.imageBytes = 32ull << 20;
        config.arguments = std::string(arguments);
        pc = std::make_unique<sim::SimulatedPc>(config);
        pc->boot();
        pc->disk().setTimeout(60 * sim::kSecond);
        pc->disk().readCapacity();
        for (uint32_t b = 0; b < 64; ++b) {
            std::vector<uint8_t> block(512, static_cast<uint8_t>(b));
            pc->image().write(1000 + b, 1, block.data());
            std::vector<uint8_t> other(512, static_cast<uint8_t>(0x80 + b));
            pc->image().write(30000 + b, 1, other.data());
        }
    }
    // Starts a request and resets the bus while it waits for the drive.
    void resetDuring(uint8_t opcode, uint32_t lba, uint16_t count, std::vector<uint8_t>& buffer)
    {
        sim::ScsiPortHost& host = pc->host();
        SCSI_REQUEST_BLOCK* srb = host.makeSrb(SRB_FUNCTION_EXECUTE_SCSI);
        srb->CdbLength = 10;
        srb->Cdb[0] = opcode;
        srb->Cdb[2] = static_cast<UCHAR>(lba >> 24), srb->Cdb[3] = static_cast<UCHAR>(lba >> 16);
        srb->Cdb[4] = static_cast<UCHAR>(lba >> 8), srb->Cdb[5] = static_cast<UCHAR>(lba);
        srb->Cdb[8] = static_cast<UCHAR>(count);
        srb->SrbFlags = (opcode == sim::scsiop::kWrite10 ? SRB_FLAGS_DATA_OUT : SRB_FLAGS_DATA_IN) |
                        SRB_FLAGS_DISABLE_AUTOSENSE;
        srb->DataBuffer = buffer.data();
        srb->DataTransferLength = count * 512u;
        srb->TimeOutValue = 60;
        host.start(srb);
        ASSERT_FALSE(host.isCompleted(srb)) << "the request did not wait for the drive";
        host.resetBus(0);
        ASSERT_TRUE(host.isCompleted(srb));
        EXPECT_EQ(srb->SrbStatus & 0x3F, SRB_STATUS_BUS_RESET);
    }
};

// After a bus reset dropped a deferred READ, the drive is still busy with it;
// the next READ's command, written without waiting for BSY to clear, is
// ignored, and the driver then takes the dropped READ's data for its own:
// GOOD with another block's contents.
TEST(SoakFinding, ReadAfterAResetDuringADeferredReadGetsItsOwnBlocks)
{
    ResetRig rig("/r5 /w1 /dm", "conner");
    std::vector<uint8_t> dropped(28 * 512);
    rig.resetDuring(sim::scsiop::kRead10, 1000, 28, dropped);
    std::vector<uint8_t> data(8 * 512, 0xEE);
    sim::CommandResult r = rig.pc->disk().read10(30000, 8, data.data(), 8 * 512);
    SCOPED_TRACE(describe(r));
    expectReadGoodWithTheImageOrFailed(r, rig.pc->image(), 30000, 8, data);
    if (r.good()) {
        for (uint32_t b = 0; b < 8; ++b) EXPECT_EQ(data[b * 512], 0x80 + b) << "block " << 30000 + b;
    }
    EXPECT_EQ(rig.pc->drive().violations().commandWhileBusy, 0u);
    EXPECT_EQ(rig.pc->drive().violations().total(), 0u) << driveLog(*rig.pc);
    expectCleanRead(*rig.pc, 30000, 8);
    expectCleanRead(*rig.pc, 1000, 28);
}

// After a bus reset dropped a deferred WRITE in its data phase, the next
// READ's command is ignored the same way and nothing ever interrupts: the
// request stays open until the port driver's time-out.
TEST(SoakFinding, ReadAfterAResetDuringADeferredWriteCompletes)
{
    ResetRig rig("/r5 /w1 /dm");
    std::vector<uint8_t> written(27 * 512, 0x5A);
    rig.resetDuring(sim::scsiop::kWrite10, 2000, 27, written);
    std::vector<uint8_t> data(23 * 512);
    sim::CommandResult r = rig.pc->disk().read10(1000, 23, data.data(), 23 * 512);
    EXPECT_FALSE(r.hang);
    EXPECT_TRUE(r.completed);
    EXPECT_EQ(rig.pc->drive().violations().total(), 0u) << driveLog(*rig.pc);
    expectReadGoodWithTheImageOrFailed(r, rig.pc->image(), 1000, 23, data);
    expectCleanRead(*rig.pc, 1000, 23);
}

// The same after a dropped WRITE: the next WRITE's command is ignored and
// its data goes into the sectors the dropped write had still to come, far
// from the blocks it addressed.
TEST(SoakFinding, WriteAfterAResetDuringADeferredWriteStaysInItsBlocks)
{
    ResetRig rig("/r3 /w2 /dm");
    std::vector<uint8_t> dropped(6 * 512, 0x11);
    rig.resetDuring(sim::scsiop::kWrite10, 2000, 6, dropped);
    std::vector<uint8_t> data(16 * 512, 0x22);
    sim::CommandResult r = rig.pc->disk().write10(30000, 16, data.data(), 16 * 512);
    rig.pc->host().runFor(sim::kSecond);
    for (uint32_t b = 2000; b < 2006; ++b)
        EXPECT_NE(rig.pc->image().read(b, 1)[0], 0x22) << "block " << b << " holds the data sent to block 30000";
    EXPECT_EQ(rig.pc->drive().violations().commandWhileBusy, 0u);
    EXPECT_EQ(rig.pc->drive().violations().total(), 0u) << driveLog(*rig.pc);
    if (r.good())
        EXPECT_EQ(rig.pc->image().read(30000, 16), data) << "written GOOD, but not to its blocks";
    else
        expectFailedWithAReason(r);
    // Nothing is in the way of the next write and the reads after it.
    std::vector<uint8_t> again(16 * 512, 0x33);
    sim::CommandResult w = rig.pc->disk().write10(30000, 16, again.data(), 16 * 512);
    EXPECT_TRUE(w.good()) << describe(w);
    EXPECT_EQ(rig.pc->image().read(30000, 16), again);
    expectCleanRead(*rig.pc, 30000, 16);
    expectCleanRead(*rig.pc, 1000, 6);
}

// On a drive with media status notification, a GET MEDIA STATUS whose busy
// wait runs out (the drive busy for longer than 30 s) still lets the READ
// through: its command is written while the drive is busy, ignored, and the
// request waits for ever.
TEST(SoakFinding, MediaStatusBusyTimeOutStopsTheRead)
{
    sim::PcConfig config;
    config.driver = seam::nimbDriver();
    config.host = "epp";
    config.drive = "removable";
    config.imageBytes = 8ull << 20;
    sim::SimulatedPc pc(config);
    pc.boot();
    pc.disk().setTimeout(120 * sim::kSecond);
    pc.disk().readCapacity();
    std::vector<uint8_t> pattern(4 * 512);
    for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<uint8_t>(i * 5 + 1);
    pc.image().write(100, 4, pattern.data());
    sim::AtaDrive& drive = pc.drive();
    size_t before = drive.commandLog().size();
    sim::Nanoseconds releaseAt = 0;
    pc.bus().setSink([&](const sim::IoAccess&) {
        if (releaseAt == 0 && drive.commandLog().size() > before && drive.commandLog().back().command == 0xDA) {
            drive.faults().stuckBusy = sim::StuckBusy::Always;
            releaseAt = pc.clock().now() + 35 * sim::kSecond;
        }
        if (releaseAt && pc.clock().now() >= releaseAt) drive.faults().stuckBusy = sim::StuckBusy::Never;
    });
    std::vector<uint8_t> data(4 * 512);
    sim::CommandResult r = pc.disk().read10(100, 4, data.data(), 4 * 512);
    pc.bus().setSink(nullptr);
    ASSERT_NE(releaseAt, 0u);
    EXPECT_FALSE(r.hang);
    EXPECT_EQ(drive.violations().commandWhileBusy, 0u);
    expectReadGoodWithTheImageOrFailed(r, pc.image(), 100, 4, data);
    // Once the drive answers again, the next read is GOOD.
    drive.faults().stuckBusy = sim::StuckBusy::Never;
    expectCleanRead(pc, 100, 4);
}

// With the adapter unplugged for a moment during a read, the status
// register reads back as floating lines with CORR set; the driver answers
// RECOVERED ERROR (the data is good, says the key) for a buffer full of
// line noise.
TEST(SoakFinding, UnpluggedAdapterIsNeverRecoveredError)
{
    ResetRig rig("/r5 /w1 /dm");
    sim::NimbAdapter& adapter = rig.pc->adapter();
    sim::IoBus& bus = rig.pc->bus();
    sim::Nanoseconds unplugAt = rig.pc->clock().now() + 300 * sim::kMicrosecond;
    bool done = false;
    bus.setSink([&](const sim::IoAccess&) {
        if (!done && rig.pc->clock().now() >= unplugAt) {
            done = true;
            adapter.disconnect();
            adapter.reconnect();
        }
    });
    std::vector<uint8_t> data(8 * 512);
    sim::CommandResult r = rig.pc->disk().read10(1000, 8, data.data(), 8 * 512);
    bus.setSink(nullptr);
    ASSERT_TRUE(done);
    SCOPED_TRACE(testing::Message() << "SRB 0x" << std::hex << unsigned(r.srbStatus) << " key " << unsigned(r.senseKey));
    bool claimsData = r.good() || (r.checkCondition() && r.senseValid && r.senseKey == 1);
    if (claimsData) {
        for (uint32_t b = 0; b < 8; ++b) EXPECT_EQ(data[b * 512], b) << "block " << 1000 + b;
    }
    EXPECT_FALSE(r.hang);
    expectReadGoodWithTheImageOrFailed(r, rig.pc->image(), 1000, 8, data);
    expectCleanRead(*rig.pc, 1000, 8);
}

// Seen by the soak as "failed write left block 41817 holding neither old nor
// new data": a WRITE with a missing sector had written the block before it
// (41817) and failed; the next WRITE over it met an adapter unplugged before
// its data phase and failed without moving a byte. The block rightly held the
// first failed write's data; the soak only counted the last one's as possible.
// Here the machine's side: whatever moment the adapter goes away during the
// second write, every block holds its old data or the data of one of the two
// writes, and a write reported GOOD holds its own.
struct WriteBlocks {
    uint32_t first;
    uint16_t count;
    uint8_t seed;
    std::vector<uint8_t> data;
    WriteBlocks(uint32_t f, uint16_t n, uint8_t s) : first(f), count(n), seed(s), data(n * 512u)
    {
        for (size_t k = 0; k < data.size(); ++k) data[k] = static_cast<uint8_t>(seed ^ (k / 512) ^ (k * 7));
    }
    bool holds(const std::vector<uint8_t>& block, uint32_t lba) const
    {
        return lba >= first && lba < first + count &&
               std::memcmp(block.data(), data.data() + (lba - first) * 512u, 512) == 0;
    }
};

TEST(SoakFinding, UnpluggedAdapterAfterAFailedWriteLeavesNoMixedBlock)
{
    unsigned failed = 0;
    for (uint64_t at = 40; at <= 13000; at += 521) {
        for (uint64_t out : {20u, 700u, 6000u}) {
            SCOPED_TRACE(testing::Message() << "unplugged at access " << at << " for " << out);
            sim::PcConfig config;
            config.driver = seam::nimbDriver();
            config.host = "epp";
            config.drive = "conner";
            config.arguments = std::string("/r1 /w2 /di");
            sim::SimulatedPc pc(config);
            pc.boot();
            pc.disk().setTimeout(60 * sim::kSecond);
            pc.disk().readCapacity();
            WriteBlocks old(41816, 4, 0x10), firstTry(41817, 3, 0x50), second(41816, 4, 0xA0);
            pc.image().write(old.first, old.count, old.data.data());
            pc.drive().faults().addSector(41818, sim::SectorFault::IdNotFound);
            sim::CommandResult r1 = pc.disk().write10(firstTry.first, firstTry.count, firstTry.data.data(),
                                                      firstTry.data.size());
            pc.drive().faults().sectors.clear();
            ASSERT_FALSE(r1.good());
            ASSERT_TRUE(firstTry.holds(pc.image().read(41817, 1), 41817));

            sim::IoBus& bus = pc.bus();
            uint64_t start = bus.accessCount();
            bool unplugged = false, replugged = false;
            bus.setSink([&](const sim::IoAccess&) {
                uint64_t n = bus.accessCount() - start;
                if (!unplugged && n >= at) unplugged = true, pc.adapter().disconnect();
                if (unplugged && !replugged && n >= at + out) replugged = true, pc.adapter().reconnect();
            });
            sim::CommandResult r = pc.disk().write10(second.first, second.count, second.data.data(),
                                                     second.data.size());
            bus.setSink(nullptr);
            pc.adapter().reconnect();
            // A later request ends whatever the drive still has open.
            std::vector<uint8_t> back(512);
            pc.disk().read10(0, 1, back.data(), back.size());
            pc.host().runFor(sim::kSecond);
            EXPECT_FALSE(r.hang);
            if (!r.good()) ++failed;
            for (uint32_t b = 41816; b < 41820; ++b) {
                std::vector<uint8_t> now = pc.image().read(b, 1);
                EXPECT_TRUE(old.holds(now, b) || firstTry.holds(now, b) || second.holds(now, b))
                    << "block " << b << " mixed (SRB 0x" << std::hex << unsigned(r.srbStatus) << ")";
                if (r.good()) EXPECT_TRUE(second.holds(now, b)) << "block " << b << " reported written";
            }
            if (!r.good()) expectFailedWithAReason(r);
            expectCleanRead(pc, 41816, 4);
            if (::testing::Test::HasFailure()) return;
        }
    }
    EXPECT_GT(failed, 10u) << "the unplugging hardly ever met the write";
}

}  // namespace
