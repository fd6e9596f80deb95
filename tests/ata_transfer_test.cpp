// Reads and writes through the ATA layer on the simulated stack (link,
// parallel port, adapter, drive), polled and deferred, single and multiple
// sector blocks, compared with the disk image.
#include <gtest/gtest.h>

#include "ata_drive_bench.h"

namespace {

std::vector<uint8_t> freshData(uint32_t sectors, uint8_t seed)
{
    std::vector<uint8_t> data(size_t(sectors) * 512);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 31 + seed + (i >> 9));
    return data;
}

struct TransferCase {
    const char* name;
    const char* preset;
    bool polling;
    bool multiple;
    bool epp;
};

class Transfer : public ::testing::TestWithParam<TransferCase> {
protected:
    BenchOptions options() const
    {
        const TransferCase& c = GetParam();
        BenchOptions o;
        o.preset = c.preset;
        o.polling = c.polling;
        o.multiple = c.multiple;
        // Without read-ahead every command waits for the medium, so the
        // deferred configurations really defer (a cached block is read at
        // once, without any wait).
        if (!c.polling) o.configure = [](sim::DriveConfig& d) { d.timing.readAheadSectors = 0; };
        if (c.epp) {
            o.rig.portKind = sim::ParallelPortKind::Epp;
            o.rig.readMode = RM_EPP8;
            o.rig.writeMode = WM_EPP8;
        }
        return o;
    }
};

TEST_P(Transfer, ReadsImageAndWritesBack)
{
    DriveBench bench(options());
    ASSERT_TRUE(bench.discover());
    ASSERT_GT(UnitParameters[0].totalSectors, 100u);
    int deferrals = 0;
    for (uint16_t count : {1, 3, 20, 33}) {
        std::vector<uint8_t> buf;
        uint32_t block = 5 + count * 3;
        ASSERT_EQ(bench.read(block, count, buf), SENSE_NONE) << "count " << count;
        EXPECT_TRUE(bench.finished);
        deferrals += bench.deferred;
        std::vector<uint8_t> expect = bench.imageBytes(block, count);
        EXPECT_TRUE(std::equal(expect.begin(), expect.end(), buf.begin())) << "count " << count;
        EXPECT_TRUE(DriveBench::canaryIntact(buf, expect.size()));
        if (bench.deferred) {
            EXPECT_EQ(bench.rig.request.Status, UNIT_STATUS_DONE);
            EXPECT_EQ(bench.rig.request.TargetStatus, 0);
        }
    }
    if (GetParam().polling) EXPECT_EQ(deferrals, 0);
    else EXPECT_GE(deferrals, 3);
    for (uint16_t count : {1, 17, 40}) {
        uint32_t block = 100 + count;
        std::vector<uint8_t> data = freshData(count, uint8_t(count));
        ASSERT_EQ(bench.write(block, data), SENSE_NONE) << "count " << count;
        EXPECT_TRUE(bench.finished);
        EXPECT_EQ(bench.imageBytes(block, count), data);
        std::vector<uint8_t> back;
        ASSERT_EQ(bench.read(block, count, back), SENSE_NONE);
        EXPECT_TRUE(std::equal(data.begin(), data.end(), back.begin()));
    }
    EXPECT_EQ(bench.drive->violations().total(), 0u);
    EXPECT_EQ(bench.rig.adapter.violationCount(), 0u) << bench.rig.adapter.lastViolation();
    EXPECT_EQ(LinkState.InterruptWait, 0);
    EXPECT_EQ(LinkState.Acquired, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Stack, Transfer,
    ::testing::Values(TransferCase{"fixed_polled_multiple", "fixed", true, true, false},
                      TransferCase{"fixed_deferred_multiple", "fixed", false, true, false},
                      TransferCase{"fixed_deferred_single", "fixed", false, false, false},
                      TransferCase{"fixed_polled_single_epp", "fixed", true, false, true},
                      TransferCase{"fixed_deferred_multiple_epp", "fixed", false, true, true},
                      TransferCase{"chs_deferred", "chs", false, true, false},
                      TransferCase{"chs_polled_single", "chs", true, false, false},
                      TransferCase{"conner_polled", "conner", true, true, false},
                      TransferCase{"iota_deferred", "iota", false, true, false},
                      TransferCase{"removable_msn_deferred", "removable", false, true, false}),
    [](const ::testing::TestParamInfo<TransferCase>& info) { return std::string(info.param.name); });

// --- Injected faults: the mapped key, and nothing written where the command failed.

struct FaultCase {
    const char* name;
    bool write;
    bool polling;
    std::function<void(sim::AtaDrive&)> inject;  // or a fault on the third sector
    uint8_t key;
    sim::SectorFault sector = sim::SectorFault::Corrected;
};

class Fault : public ::testing::TestWithParam<FaultCase> {};

constexpr uint32_t kFaultBlock = 40;

TEST_P(Fault, EndsWithMappedKey)
{
    const FaultCase& c = GetParam();
    BenchOptions o;
    o.polling = c.polling;
    DriveBench bench(o);
    ASSERT_TRUE(bench.discover());
    if (c.inject) c.inject(*bench.drive);
    else bench.drive->faults().addSector(kFaultBlock + 2, c.sector);
    uint8_t key;
    std::vector<uint8_t> before = bench.imageBytes(kFaultBlock, 4);
    if (c.write) {
        key = bench.write(kFaultBlock, freshData(4, 9));
        if (key != SENSE_NONE) EXPECT_EQ(bench.imageBytes(kFaultBlock + 2, 2), std::vector<uint8_t>(before.begin() + 1024, before.end()));
    } else {
        std::vector<uint8_t> buf;
        key = bench.read(kFaultBlock, 4, buf);
        EXPECT_TRUE(DriveBench::canaryIntact(buf, 4 * 512));
    }
    EXPECT_EQ(key, c.key);
    EXPECT_TRUE(bench.finished);
    EXPECT_EQ(LinkState.InterruptWait, 0);
    if (bench.deferred) EXPECT_EQ(bench.rig.request.TargetStatus, c.key ? 2 : 0);
}

void stuckAfterFirstBlock(sim::AtaDrive& d)
{
    DriverParameters.NoMultipleMode = 1;
    d.faults().stuckBusy = sim::StuckBusy::MidTransfer;
    d.faults().stuckAfterBlocks = 1;
}

INSTANTIATE_TEST_SUITE_P(
    Stack, Fault,
    ::testing::Values(
        FaultCase{"unc_read_polled", false, true, nullptr, SENSE_MEDIUM_ERROR, sim::SectorFault::Uncorrectable},
        FaultCase{"unc_read_deferred", false, false, nullptr, SENSE_MEDIUM_ERROR, sim::SectorFault::Uncorrectable},
        FaultCase{"unc_data_read_deferred", false, false, nullptr, SENSE_MEDIUM_ERROR, sim::SectorFault::UncorrectableWithData},
        FaultCase{"idnf_read", false, false, nullptr, SENSE_MEDIUM_ERROR, sim::SectorFault::IdNotFound},
        FaultCase{"amnf_read", false, true, nullptr, SENSE_HARDWARE_ERROR, sim::SectorFault::AddressMarkNotFound},
        FaultCase{"bbk_read", false, false, nullptr, SENSE_MEDIUM_ERROR, sim::SectorFault::BadBlock},
        FaultCase{"corrected_read", false, false, nullptr, SENSE_RECOVERED_ERROR, sim::SectorFault::Corrected},
        FaultCase{"idnf_write_polled", true, true, nullptr, SENSE_MEDIUM_ERROR, sim::SectorFault::IdNotFound},
        FaultCase{"idnf_write_deferred", true, false, nullptr, SENSE_MEDIUM_ERROR, sim::SectorFault::IdNotFound},
        FaultCase{"aborted_write", true, false, [](sim::AtaDrive& d) { d.faults().abortCommand(ATA_CMD_WRITE_MULTIPLE); }, SENSE_ILLEGAL_REQUEST},
        FaultCase{"stuck_busy_read_polled", false, true, [](sim::AtaDrive& d) { stuckAfterFirstBlock(d); }, SENSE_NOT_READY},
        FaultCase{"stuck_busy_write_polled", true, true, [](sim::AtaDrive& d) { stuckAfterFirstBlock(d); }, SENSE_NOT_READY},
        FaultCase{"late_drq_accepted", true, true, [](sim::AtaDrive& d) { d.faults().lateDrq = 40 * sim::kMillisecond; }, SENSE_NONE},
        FaultCase{"late_drq_too_late", true, true, [](sim::AtaDrive& d) { d.faults().lateDrq = 200 * sim::kMillisecond; }, SENSE_NOT_READY},
        // The drive's status shows it done though its interrupt never came.
        FaultCase{"lost_interrupts_polled", false, true, [](sim::AtaDrive& d) { d.faults().suppressInterrupts = sim::kAlways; }, SENSE_NONE},
        FaultCase{"lost_interrupts_deferred", false, false, [](sim::AtaDrive& d) { d.faults().suppressInterrupts = sim::kAlways; }, SENSE_NONE}),
    [](const ::testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.name); });

// A drive that sticks busy without an interrupt leaves a deferred request
// waiting, uncompleted, until the bus reset drops it.
TEST(StuckBusy, DeferredRequestWaitsForTheReset)
{
    for (bool write : {false, true}) {
        DriveBench bench;
        ASSERT_TRUE(bench.discover());
        stuckAfterFirstBlock(*bench.drive);
        std::vector<uint8_t> buf(4 * 512, 0xEE);
        std::vector<uint8_t> data = freshData(4, 1);
        LinkAcquire();
        bench.rig.prepare(write ? ATA_CMD_WRITE_SECTORS : ATA_CMD_READ_SECTORS, kFaultBlock, 4,
                          write ? data.data() : buf.data(), 4 * 512);
        write ? writeSectors(&bench.rig.request, 4, DriverParameters.PollingMode)
              : readSectors(&bench.rig.request, 4, DriverParameters.PollingMode);
        ASSERT_TRUE(bench.rig.request.WorkFlags & WORK_STILL_RUNNING);
        EXPECT_FALSE(bench.rig.resumeUntilDone(5 * sim::kSecond));
        EXPECT_EQ(bench.rig.request.Status, UNIT_STATUS_PENDING);
        abandonTransfer();
        EXPECT_FALSE(TransferState.deferPending);
        EXPECT_EQ(LinkState.InterruptWait, 0);
        EXPECT_EQ(LinkState.Acquired, 0);
        uint64_t accesses = bench.rig.bus.accessCount();
        resumeTransfer(&bench.rig.request);
        EXPECT_EQ(bench.rig.bus.accessCount(), accesses);
    }
}

// With pollOddBlocks the continuation defers only at 16-sector boundaries
// and polls in between; each deferral arms the port interrupt once (code
// 0x90 on a plain port), and the final release strobes one more code.
TEST(OddBlocks, DeferOnlyAtSixteenSectorBoundaries)
{
    for (uint8_t odd : {0, 1}) {
        BenchOptions o;
        o.multiple = false;
        o.configure = [](sim::DriveConfig& d) { d.timing.readAheadSectors = 0; };
        DriveBench bench(o);
        ASSERT_TRUE(bench.discover());
        pollOddBlocks = odd;
        LinkAcquire();
        uint64_t codes = bench.rig.adapter.counters().codes;
        std::vector<uint8_t> buf(20 * 512);
        bench.rig.prepare(ATA_CMD_READ_SECTORS, 30, 20, buf.data(), uint32_t(buf.size()));
        readSectors(&bench.rig.request, 20, DriverParameters.PollingMode);
        ASSERT_TRUE(bench.rig.resumeUntilDone());
        EXPECT_EQ(CommandState.senseKey, SENSE_NONE);
        EXPECT_EQ(bench.rig.adapter.counters().codes - codes, odd ? 3u : 21u);
        EXPECT_EQ(buf, bench.imageBytes(30, 20));
    }
}

// --- The ABRT retry of a multiple-mode read.

const BenchOptions kPolled{"fixed", {}, true};

TEST(AbortRetry, ForgottenMultipleModeIsRearmedAndRetriedOnce)
{
    DriveBench bench(kPolled);
    ASSERT_TRUE(bench.discover());
    ASSERT_EQ(UnitState[0].multipleCount, 16);
    bench.drive->forgetMultipleMode();
    bench.drive->clearLogs();
    std::vector<uint8_t> buf;
    ASSERT_EQ(bench.read(8, 20, buf), SENSE_NONE);
    std::vector<uint8_t> expect = bench.imageBytes(8, 20);
    EXPECT_TRUE(std::equal(expect.begin(), expect.end(), buf.begin()));
    EXPECT_TRUE(DriveBench::canaryIntact(buf, expect.size()));
    int reads = 0, setMultiple = 0;
    for (const sim::CommandRecord& r : bench.drive->commandLog()) {
        reads += r.command == ATA_CMD_READ_MULTIPLE;
        setMultiple += r.command == ATA_CMD_SET_MULTIPLE;
    }
    EXPECT_EQ(reads, 2);
    EXPECT_EQ(setMultiple, 1);
}

TEST(AbortRetry, FailedSetMultipleKeepsTheReadsKey)
{
    DriveBench bench(kPolled);
    ASSERT_TRUE(bench.discover());
    bench.drive->forgetMultipleMode();
    bench.drive->faults().abortCommand(ATA_CMD_SET_MULTIPLE);
    std::vector<uint8_t> buf;
    EXPECT_EQ(bench.read(8, 20, buf), SENSE_ILLEGAL_REQUEST);
    EXPECT_TRUE(DriveBench::canaryIntact(buf, 20 * 512));
}

TEST(AbortRetry, DeferredReadIsNotRetried)
{
    DriveBench bench;
    ASSERT_TRUE(bench.discover());
    bench.drive->forgetMultipleMode();
    bench.drive->clearLogs();
    std::vector<uint8_t> buf;
    EXPECT_EQ(bench.read(8, 20, buf), SENSE_ILLEGAL_REQUEST);
    EXPECT_TRUE(bench.deferred);
    EXPECT_TRUE(DriveBench::canaryIntact(buf, 20 * 512));
    for (const sim::CommandRecord& r : bench.drive->commandLog()) EXPECT_NE(r.command, ATA_CMD_SET_MULTIPLE);
}

// --- Requests the task file cannot carry are refused before the drive sees them.

TEST(Refusal, OutOfRangeOversizeAndShortBuffer)
{
    DriveBench bench;
    ASSERT_TRUE(bench.discover());
    // The fixed disk's 64 MiB: 131,072 sectors presented as 130/16/63.
    const uint32_t capacity = 131040;
    bench.drive->clearLogs();
    std::vector<uint8_t> buf(300 * 512 + 16, 0xEE);
    EXPECT_EQ(bench.transfer(ATA_CMD_READ_SECTORS, capacity - 1, 2, buf.data(), 2 * 512), SENSE_ILLEGAL_REQUEST);
    EXPECT_EQ(bench.transfer(ATA_CMD_WRITE_SECTORS, capacity, 1, buf.data(), 512), SENSE_ILLEGAL_REQUEST);
    // Block 2^24 + 5 would alias onto block 5 in the 24-bit address.
    EXPECT_EQ(bench.transfer(ATA_CMD_WRITE_SECTORS, (1u << 24) + 5, 1, buf.data(), 512), SENSE_ILLEGAL_REQUEST);
    EXPECT_EQ(bench.transfer(ATA_CMD_READ_SECTORS, 0, 300, buf.data(), 300 * 512), SENSE_ILLEGAL_REQUEST);
    // The SRB's buffer is shorter than the count asks for.
    EXPECT_EQ(bench.transfer(ATA_CMD_READ_SECTORS, 0, 4, buf.data(), 3 * 512), SENSE_ILLEGAL_REQUEST);
    EXPECT_EQ(bench.transfer(ATA_CMD_READ_SECTORS, 0, 0, buf.data(), 0), SENSE_NONE);
    EXPECT_TRUE(bench.drive->commandLog().empty());
    EXPECT_TRUE(DriveBench::canaryIntact(buf, 0));
    EXPECT_EQ(bench.transfer(ATA_CMD_READ_SECTORS, capacity - 2, 2, buf.data(), 2 * 512), SENSE_NONE);
    UnitParameters[0].totalSectors = 0;  // zero capacity is not ready
    EXPECT_EQ(bench.transfer(ATA_CMD_READ_SECTORS, 0, 1, buf.data(), 512), SENSE_NOT_READY);
}

TEST(Refusal, VerifyPastTheEndAndTheProbeRead)
{
    DriveBench bench;
    ASSERT_TRUE(bench.discover());
    std::vector<uint8_t> buf(1024);
    LinkAcquire();
    bench.rig.prepare(ATA_CMD_READ_VERIFY, 131039, 2, buf.data(), 0);  // from the last block of 130/16/63
    bench.drive->clearLogs();
    // The SCSI side checks a verify's range before the drive sees it.
    auto verify = [&] {
        ScsiVerify(&bench.rig.request);
        return CommandState.senseKey == SENSE_NONE;
    };
    EXPECT_FALSE(verify());
    EXPECT_EQ(CommandState.senseKey, SENSE_ILLEGAL_REQUEST);
    EXPECT_TRUE(bench.drive->commandLog().empty());
    // The ready probe: the command runs, its data is not wanted.
    TaskFile = TaskFileRecord{0, 1, 1, 0, 0, 0xA0, ATA_CMD_READ_SECTORS};
    bench.rig.request.TransferPointer = nullptr;
    bench.rig.request.DataLength = 0;
    DriverParameters.PollingMode = 1;
    EXPECT_TRUE(readSectors(&bench.rig.request, 1, DriverParameters.PollingMode));
    ASSERT_EQ(bench.drive->commandLog().size(), 1u);
    EXPECT_EQ(bench.drive->commandLog()[0].command, ATA_CMD_READ_MULTIPLE);
    EXPECT_EQ(bench.rig.adapter.violationCount(), 0u);
    LinkEndInterruptWait();
    LinkRelease();
}

// --- A bus reset in the middle of a deferred read.

TEST(Abandon, MidTransferLeavesDriveUsableAndNothingCompletesTwice)
{
    BenchOptions o;
    o.multiple = false;
    DriveBench bench(o);
    ASSERT_TRUE(bench.discover());
    std::vector<uint8_t> buf(40 * 512, 0xEE);
    LinkAcquire();
    bench.rig.prepare(ATA_CMD_READ_SECTORS, 60, 40, buf.data(), uint32_t(buf.size()));
    readSectors(&bench.rig.request, 40, DriverParameters.PollingMode);
    ASSERT_TRUE(bench.rig.request.WorkFlags & WORK_STILL_RUNNING);
    for (int i = 0; i < 5; ++i) {
        bench.rig.clock.advance(10 * sim::kMillisecond);
        resumeTransfer(&bench.rig.request);
    }
    ASSERT_TRUE(TransferState.deferPending);
    abandonTransfer();
    EXPECT_EQ(AdapterFlags[0] & WAIT_FOR_DRIVE, 0);
    EXPECT_EQ(LinkState.InterruptWait, 0);
    std::vector<uint8_t> snapshot = buf;
    uint8_t status = bench.rig.request.Status;
    uint64_t accesses = bench.rig.bus.accessCount();
    bench.rig.clock.advance(50 * sim::kMillisecond);
    EXPECT_TRUE(resumeTransfer(&bench.rig.request));
    EXPECT_EQ(bench.rig.bus.accessCount(), accesses);
    EXPECT_EQ(buf, snapshot);
    EXPECT_EQ(bench.rig.request.Status, status);

    std::vector<uint8_t> again;
    ASSERT_EQ(bench.read(200, 3, again), SENSE_NONE);
    std::vector<uint8_t> expect = bench.imageBytes(200, 3);
    EXPECT_TRUE(std::equal(expect.begin(), expect.end(), again.begin()));
    EXPECT_EQ(buf, snapshot);
}

// --- Media changes.

TEST(MediaChange, UnitAttentionOnceThenWorks)
{
    for (uint8_t msnMode : {0, 1}) {
        SCOPED_TRACE(msnMode ? "media status notification" : "error register");
        BenchOptions o;
        o.preset = "iota";
        o.mediaStatusMode = msnMode;
        DriveBench bench(o);
        ASSERT_TRUE(bench.discover());
        EXPECT_EQ(UnitState[0].msnEnabled, msnMode);
        std::vector<uint8_t> buf;
        ASSERT_EQ(bench.read(3, 2, buf), SENSE_NONE);
        auto second = sim::DiskImage::inMemory(bench.image->sectorCount());
        std::vector<uint8_t> sector(512, 0x5A);
        second->writeSector(3, sector.data());
        bench.drive->removeMedium();
        bench.drive->insertMedium(*second);
        EXPECT_EQ(bench.read(3, 2, buf), SENSE_UNIT_ATTENTION);
        ASSERT_EQ(bench.read(3, 2, buf), SENSE_NONE);
        EXPECT_EQ(buf[0], 0x5A);
        EXPECT_EQ(buf[511], 0x5A);
        EXPECT_EQ(buf[512], 0x00);
        bench.drive->removeMedium();
    }
}

// A drive without notification reports the change in the error register
// of a write that it refuses before any data: the write ends with UNIT
// ATTENTION, not NOT READY, and nothing reaches the new cartridge.
TEST(MediaChange, WriteRefusedBeforeDataReportsTheChange)
{
    DriveBench bench(BenchOptions{"iota"});
    ASSERT_TRUE(bench.discover());
    auto second = sim::DiskImage::inMemory(bench.image->sectorCount());
    bench.drive->removeMedium();
    bench.drive->insertMedium(*second);
    EXPECT_EQ(bench.write(10, freshData(2, 3)), SENSE_UNIT_ATTENTION);
    std::vector<uint8_t> sector(512, 0xFF);
    second->readSector(10, sector.data());
    EXPECT_EQ(sector, std::vector<uint8_t>(512, 0));
    // Cartridge taken out: the drive stays ready and answers NM, which is
    // NOT READY (medium not present).
    bench.drive->removeMedium();
    std::vector<uint8_t> buf;
    EXPECT_EQ(bench.read(3, 2, buf), SENSE_NOT_READY);
}

TEST(MediaChange, WriteProtectedCartridge)
{
    DriveBench bench(BenchOptions{"removable"});
    ASSERT_TRUE(bench.discover());
    ASSERT_EQ(UnitState[0].msnEnabled, 1);
    bench.drive->setWriteProtected(true);
    bench.drive->clearLogs();
    std::vector<uint8_t> before = bench.imageBytes(10, 2);
    EXPECT_EQ(bench.write(10, freshData(2, 3)), SENSE_DATA_PROTECT);
    EXPECT_EQ(bench.imageBytes(10, 2), before);
    for (const sim::CommandRecord& r : bench.drive->commandLog()) EXPECT_NE(r.command & 0xF0, 0x30);
    std::vector<uint8_t> buf;
    EXPECT_EQ(bench.read(10, 2, buf), SENSE_NONE);
}

}  // namespace
