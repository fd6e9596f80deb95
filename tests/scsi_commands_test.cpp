// The SCSI command emulation on the whole simulated PC: answers clipped to
// allocation and buffer, sense after failures, CDB forms and bounds,
// transfer checks, and the media commands as the drive sees them.
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>

#include "ata/ata.h"
#include "seam/nimb_driver.h"
#include "sim/ata/ata_drive.h"
#include "sim/host/disk_client.h"
#include "sim/wire/nimb_adapter.h"
#include "support/miniport_pc.h"

using miniport_test::Guarded;
using sim::DataDirection;

namespace {

// The geometry and capacity each drive preset must be presented with on the
// 8 MiB image of these tests (16,384 sectors), worked by hand from the drive's
// IDENTIFY words and the translation rules (at most 1024 cylinders, 63
// sectors, 16 heads by CHS or 256 by LBA; capacity = the product):
//   fixed      LBA, current geometry 16,384 / (16 * 63) = 16/16/63
//   chs        CHS 980/10/17, within every limit
//   conner     reports 653/2/32, which this model's rule turns into 615/4/17
//   iota       addressed by CHS whatever word 49 says: 16,384 / (8 * 32) = 64/8/32
//   syquest    addressed by CHS: 16/16/63
//   removable  LBA, current geometry 16/16/63
struct PresetGeometry {
    const char* preset;
    uint16_t cylinders, heads, sectors;
    uint32_t blocks;
};

void PrintTo(const PresetGeometry& g, std::ostream* os) { *os << g.preset; }

const PresetGeometry kPresetGeometry[] = {
    {"fixed", 16, 16, 63, 16128},       {"chs", 980, 10, 17, 166600}, {"conner", 615, 4, 17, 41820},
    {"iota", 64, 8, 32, 16384},         {"syquest", 16, 16, 63, 16128},
    {"removable", 16, 16, 63, 16128},
};

const PresetGeometry& presetGeometry(const std::string& preset)
{
    for (const PresetGeometry& g : kPresetGeometry)
        if (preset == g.preset) return g;
    throw std::invalid_argument("no geometry worked out for " + preset);
}

class ScsiOnPc : public ::testing::Test {
protected:
    void SetUp() override { boot("fixed"); }
    void boot(const std::string& drive)
    {
        pc_ = miniport_test::makePc(drive);
        preset_ = drive;
        ASSERT_TRUE(pc_->boot().adapterFound);
    }
    void TearDown() override
    {
        EXPECT_EQ(pc_->host().violationCount(), 0u) << pc_->host().violationText();
        EXPECT_EQ(pc_->drive().violations().total(), 0u);
    }
    // One command into a guarded buffer of `length` bytes (NULL when `null`).
    uint8_t run(const std::vector<uint8_t>& cdb, uint32_t length, bool null = false,
                DataDirection dir = DataDirection::In)
    {
        buf_ = Guarded(length);
        return pc_->host().execute(0, 0, cdb, dir, null ? nullptr : buf_.data(), length).srbStatus;
    }
    sim::CommandResult withSense(const std::vector<uint8_t>& cdb)
    {
        std::vector<uint8_t> data(512);
        return pc_->disk().command(cdb, DataDirection::In, data.data(), (uint32_t)data.size());
    }
    size_t driveCommands() { return pc_->drive().commandLog().size(); }
    uint32_t be(size_t at, int n) const
    {
        uint32_t v = 0;
        for (int i = 0; i < n; ++i) v = v << 8 | buf_[at + i];
        return v;
    }
    // The block count the booted drive must be presented with.
    uint32_t capacity() const { return presetGeometry(preset_).blocks; }

    std::unique_ptr<sim::SimulatedPc> pc_;
    std::string preset_;
    Guarded buf_{0};
};

TEST_F(ScsiOnPc, InquiryAndCapacity)
{
    ASSERT_EQ(run({0x12, 0, 0, 0, 36, 0}, 36), SRB_STATUS_SUCCESS);
    const uint8_t header[8] = {0x00, 0x00, 0x01, 0, 0, 0, 0, 0};
    EXPECT_EQ(0, std::memcmp(buf_.data(), header, 8));
    std::string model = pc_->drive().config().model;
    model.resize(40, ' ');  // as IDENTIFY carries it, padded with blanks
    EXPECT_EQ(0, std::memcmp(buf_.data() + 8, model.data(), MODEL_LENGTH));
    for (int i = 26; i < 36; ++i) EXPECT_EQ(buf_[i], 0) << i;
    EXPECT_TRUE(buf_.untouchedFrom(36));
    run({0x12, 0, 0, 0, 5, 0}, 36);
    EXPECT_TRUE(buf_.untouchedFrom(5));
    run({0x12, 0, 0, 0, 255, 0}, 20);  // allocation beyond the buffer
    EXPECT_TRUE(buf_.untouchedFrom(20));
    EXPECT_EQ(run({0x12, 0, 0, 0, 36, 0}, 36, true), SRB_STATUS_DATA_OVERRUN);

    ASSERT_EQ(run({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8), SRB_STATUS_SUCCESS);
    EXPECT_EQ(be(0, 4), capacity() - 1);
    EXPECT_EQ(be(4, 4), 512u);
    run({0x25, 0, 0, 0, 0, 0, 0, 0, 1, 0}, 8);  // PMI: the block count
    EXPECT_EQ(be(0, 4), capacity());
    EXPECT_EQ(run({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 7), SRB_STATUS_DATA_OVERRUN);
    EXPECT_TRUE(buf_.untouchedFrom(0));
    EXPECT_EQ(run({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8, true), SRB_STATUS_DATA_OVERRUN);
}

TEST_F(ScsiOnPc, ModeSensePages)
{
    ASSERT_EQ(run({0x1A, 0, 0x01, 0, 12, 0}, 12), SRB_STATUS_SUCCESS);
    EXPECT_EQ(be(0, 4), 0x0B000008u);
    EXPECT_EQ(be(5, 3), capacity() & 0xFFFFFF);
    EXPECT_EQ(be(9, 3), 512u);
    run({0x1A, 0, 0x03, 0, 36, 0}, 36);
    EXPECT_EQ(be(12, 2), 0x0316u);
    EXPECT_EQ(be(22, 2), 63u);
    run({0x1A, 0, 0x44, 0, 36, 0}, 20);  // page 4 with page control 1; a buffer of 20
    EXPECT_EQ(be(14, 3), 16u);
    EXPECT_EQ(buf_[17], 16);
    EXPECT_TRUE(buf_.untouchedFrom(20));
    for (const auto& cdb : {std::vector<uint8_t>{0x1A, 0, 0x3F, 0, 36, 0}, {0x1A, 0, 0x08, 0, 36, 0},
                            {0x1A, 0, 0x00, 0, 13, 0}}) {
        sim::CommandResult c = withSense(cdb);
        EXPECT_TRUE(c.checkCondition());
        EXPECT_EQ(c.senseKey, SENSE_ILLEGAL_REQUEST);
        EXPECT_EQ(c.asc, 0x27);
    }
}

// Every preset's READ CAPACITY and mode pages, byte for byte, against the
// geometry worked out for it above.
class PresetAnswers : public ScsiOnPc, public ::testing::WithParamInterface<PresetGeometry> {
protected:
    void SetUp() override { boot(GetParam().preset); }
    // The 12 bytes of mode header and block descriptor, then zeros.
    std::vector<uint8_t> modeAnswer(uint8_t dataLength) const
    {
        uint32_t blocks = GetParam().blocks;
        std::vector<uint8_t> b(36, 0);
        b[0] = dataLength;
        b[3] = 0x08;
        b[5] = uint8_t(blocks >> 16), b[6] = uint8_t(blocks >> 8), b[7] = uint8_t(blocks);
        b[10] = 0x02;
        return b;
    }
    std::vector<uint8_t> answer(size_t n) const { return std::vector<uint8_t>(buf_.bytes.begin(), buf_.bytes.begin() + n); }
};

TEST_P(PresetAnswers, CapacityAndModePagesDescribeThePresentedGeometry)
{
    const PresetGeometry& g = GetParam();
    // A removable drive may first report its cartridge as changed.
    pc_->disk().testUnitReady();
    ASSERT_TRUE(pc_->disk().testUnitReady().good());

    ASSERT_EQ(run({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8), SRB_STATUS_SUCCESS);
    uint32_t last = g.blocks - 1;
    EXPECT_EQ(answer(8), (std::vector<uint8_t>{uint8_t(last >> 24), uint8_t(last >> 16), uint8_t(last >> 8),
                                                uint8_t(last), 0, 0, 2, 0}));
    ASSERT_EQ(run({0x25, 0, 0, 0, 0, 0, 0, 0, 1, 0}, 8), SRB_STATUS_SUCCESS);
    EXPECT_EQ(answer(8), (std::vector<uint8_t>{uint8_t(g.blocks >> 24), uint8_t(g.blocks >> 16),
                                                uint8_t(g.blocks >> 8), uint8_t(g.blocks), 0, 0, 2, 0}));

    // The format page first: pages 0x00 and 0x01 share its buffer, and it
    // must be built for itself, not left over from them.
    std::vector<uint8_t> format = modeAnswer(0x23);
    format[12] = 0x03, format[13] = 0x16, format[14] = 0x03;
    format[22] = uint8_t(g.sectors >> 8), format[23] = uint8_t(g.sectors);
    format[24] = 0x02;
    ASSERT_EQ(run({0x1A, 0, 0x03, 0, 36, 0}, 36), SRB_STATUS_SUCCESS);
    EXPECT_EQ(answer(36), format);

    std::vector<uint8_t> header = modeAnswer(0x0B);
    header.resize(12);
    ASSERT_EQ(run({0x1A, 0, 0x01, 0, 12, 0}, 12), SRB_STATUS_SUCCESS);
    EXPECT_EQ(answer(12), header);
    header[0] = 0x23;
    ASSERT_EQ(run({0x1A, 0, 0x00, 0, 12, 0}, 12), SRB_STATUS_SUCCESS);
    EXPECT_EQ(answer(12), header);

    std::vector<uint8_t> rigid = modeAnswer(0x23);
    rigid[12] = 0x04, rigid[13] = 0x16;
    rigid[15] = uint8_t(g.cylinders >> 8), rigid[16] = uint8_t(g.cylinders);
    rigid[17] = uint8_t(g.heads);
    ASSERT_EQ(run({0x1A, 0, 0x04, 0, 36, 0}, 36), SRB_STATUS_SUCCESS);
    EXPECT_EQ(answer(36), rigid);
}

INSTANTIATE_TEST_SUITE_P(Presets, PresetAnswers, ::testing::ValuesIn(kPresetGeometry),
                         [](const ::testing::TestParamInfo<PresetGeometry>& i) { return std::string(i.param.preset); });

// A CHS drive of 10 cylinders, 10 heads and 10 sectors: 1000 blocks, the
// last one 999 (0x3E7).
TEST_F(ScsiOnPc, ThousandBlockDriveReportsItsLastBlockAndItsCount)
{
    pc_ = miniport_test::makePc("chs");
    pc_->drive().faults().identifyWords = {{1, 10}, {3, 10}, {6, 10}};
    ASSERT_TRUE(pc_->boot().adapterFound);
    ASSERT_EQ(run({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8), SRB_STATUS_SUCCESS);
    const uint8_t last[8] = {0x00, 0x00, 0x03, 0xE7, 0x00, 0x00, 0x02, 0x00};
    EXPECT_EQ(0, std::memcmp(buf_.data(), last, 8));
    ASSERT_EQ(run({0x25, 0, 0, 0, 0, 0, 0, 0, 1, 0}, 8), SRB_STATUS_SUCCESS);
    const uint8_t count[8] = {0x00, 0x00, 0x03, 0xE8, 0x00, 0x00, 0x02, 0x00};
    EXPECT_EQ(0, std::memcmp(buf_.data(), count, 8));
    ASSERT_EQ(run({0x1A, 0, 0x04, 0, 36, 0}, 36), SRB_STATUS_SUCCESS);
    EXPECT_EQ(be(5, 3), 1000u);
    EXPECT_EQ(be(14, 3), 10u);
    EXPECT_EQ(buf_[17], 10);
}

TEST_F(ScsiOnPc, RequestSenseKeepsTheLastKeyAndClipsToTheBuffer)
{
    size_t before = driveCommands();
    for (uint8_t op : {0x11, 0x2E, 0x5A}) EXPECT_EQ(withSense({op, 0, 0, 0, 0, 0, 0, 0, 0, 0}).senseKey, 5) << int(op);
    EXPECT_EQ(driveCommands(), before);
    ASSERT_TRUE(pc_->disk().testUnitReady().good());

    ASSERT_EQ(run({0x03, 0, 0, 0, 18, 0}, 18), SRB_STATUS_SUCCESS);
    const uint8_t expected[18] = {0x70, 0, 0x05, 0, 0, 0, 0, 0x08, 0, 0, 0, 0, 0x27, 0, 0, 0, 0, 0};
    EXPECT_EQ(0, std::memcmp(buf_.data(), expected, 18));
    EXPECT_TRUE(buf_.untouchedFrom(18));
    run({0x03, 0, 0, 0, 18, 0}, 4);
    EXPECT_TRUE(buf_.untouchedFrom(4));
    EXPECT_EQ(run({0x03, 0, 0, 0, 18, 0}, 0), SRB_STATUS_SUCCESS);
    EXPECT_EQ(run({0x03, 0, 0, 0, 18, 0}, 18, true), SRB_STATUS_DATA_OVERRUN);
}

// REQUEST SENSE reads nothing of its CDB but the opcode: a CDB of 1 to 5
// bytes is served. Nothing about a REQUEST SENSE, served or refused, may
// replace the key it exists to report.
TEST_F(ScsiOnPc, RequestSenseOfAnyLengthKeepsTheKeyOfTheFailure)
{
    pc_->drive().faults().addSector(100, sim::SectorFault::Uncorrectable);
    std::vector<uint8_t> data;
    sim::CommandResult failed = pc_->disk().read(100, 1, data);
    ASSERT_TRUE(failed.checkCondition());
    ASSERT_EQ(failed.senseKey, SENSE_MEDIUM_ERROR);

    const std::vector<uint8_t> sense = {0x03, 0, 0, 0, 18, 0};
    for (size_t length = 1; length <= 5; ++length) {
        std::vector<uint8_t> cdb(sense.begin(), sense.begin() + length);
        EXPECT_EQ(run(cdb, 18), SRB_STATUS_SUCCESS) << "CDB of " << length;
        EXPECT_EQ(buf_[0], 0x70) << "CDB of " << length;
        EXPECT_EQ(buf_[2], SENSE_MEDIUM_ERROR) << "CDB of " << length;
        EXPECT_EQ(buf_[7], 0x08) << "CDB of " << length;
        EXPECT_TRUE(buf_.untouchedFrom(18));
    }
    // Refused: no CDB at all, no buffer, another unit.
    EXPECT_EQ(run({}, 18), SRB_STATUS_INVALID_REQUEST);
    EXPECT_EQ(run(sense, 18, true), SRB_STATUS_DATA_OVERRUN);
    EXPECT_EQ(pc_->host().execute(1, 0, sense, DataDirection::In, buf_.data(), 18).srbStatus,
              SRB_STATUS_SELECTION_TIMEOUT);

    ASSERT_EQ(run(sense, 18), SRB_STATUS_SUCCESS);
    EXPECT_EQ(buf_[2], SENSE_MEDIUM_ERROR);
}

// Transfers refused before the drive sees them; 0xEE marks a block address
// at the last block.
struct Refusal {
    const char* name;
    std::vector<uint8_t> cdb;
    uint32_t length;
    bool null;
    uint8_t srbStatus;
};

class RefusedTransfer : public ScsiOnPc, public ::testing::WithParamInterface<Refusal> {};

TEST_P(RefusedTransfer, LeavesTheDriveAndTheBufferAlone)
{
    std::vector<uint8_t> cdb = GetParam().cdb;
    if (cdb[2] == 0xEE)
        for (int i = 0; i < 4; ++i) cdb[2 + i] = (uint8_t)((capacity() - 1) >> (24 - 8 * i));
    size_t before = driveCommands();
    EXPECT_EQ(run(cdb, GetParam().length, GetParam().null), GetParam().srbStatus);
    EXPECT_EQ(driveCommands(), before);
    EXPECT_TRUE(buf_.untouchedFrom(0));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RefusedTransfer,
    ::testing::Values(Refusal{"overrun", {0x28, 0, 0, 0, 0, 0, 0, 0, 8, 0}, 3584, false, SRB_STATUS_DATA_OVERRUN},
                      Refusal{"nobuffer", {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}, 512, true, SRB_STATUS_DATA_OVERRUN},
                      Refusal{"writeoverrun", {0x2A, 0, 0, 0, 0, 0, 0, 0, 2, 0}, 512, false, SRB_STATUS_DATA_OVERRUN},
                      Refusal{"zerolength", {0x28, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 512, false, SRB_STATUS_SUCCESS},
                      Refusal{"sectors256", {0x28, 0, 0, 0, 0, 0, 0, 1, 0, 0}, 131072, false, SRB_STATUS_ERROR},
                      Refusal{"sectors257", {0x2A, 0, 0, 0, 0, 0, 0, 1, 1, 0}, 131584, false, SRB_STATUS_ERROR},
                      Refusal{"sixbytezero", {0x08, 0, 0, 0, 0, 0}, 131072, false, SRB_STATUS_ERROR},
                      Refusal{"pastend", {0x28, 0, 0xEE, 0, 0, 0, 0, 0, 2, 0}, 1024, false, SRB_STATUS_ERROR},
                      Refusal{"verifypastend", {0x2F, 0, 0xEE, 0, 0, 0, 0, 0, 0, 0}, 0, true, SRB_STATUS_ERROR},
                      Refusal{"shortcdb", {0x28, 0, 0, 0, 0, 1}, 512, false, SRB_STATUS_ERROR}),
    [](const ::testing::TestParamInfo<Refusal>& i) { return std::string(i.param.name); });

TEST_F(ScsiOnPc, DataAndTheRegistersTheDriveGets)
{
    std::vector<uint8_t> out(8 * 512), in(8 * 512, 0);
    for (size_t i = 0; i < out.size(); ++i) out[i] = (uint8_t)(i * 7 + 3);
    uint32_t block = capacity() - 8;
    ASSERT_TRUE(pc_->disk().write10(block, 8, out.data(), (uint32_t)out.size()).good());
    ASSERT_TRUE(pc_->disk().read10(block, 8, in.data(), (uint32_t)in.size()).good());
    EXPECT_EQ(in, out);

    // READ(6) in a padded 12-byte CDB is read in the 6-byte form.
    std::vector<uint8_t> one(512);
    ASSERT_EQ(pc_->host().execute(0, 0, {0x08, 0, 0x12, 0x34, 1, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
                                  DataDirection::In, one.data(), 512).srbStatus,
              SRB_STATUS_SUCCESS);
    const sim::CommandRecord& read6 = pc_->drive().commandLog().back();
    EXPECT_EQ(read6.sectorNumber, 0x34);
    EXPECT_EQ(read6.cylinderLow, 0x12);
    EXPECT_EQ(read6.sectorCount, 1);

    ASSERT_TRUE(pc_->disk().verify10(0, 0).good());  // length 0 asks for 256 sectors
    EXPECT_EQ(pc_->drive().commandLog().back().command, ATA_CMD_READ_VERIFY);
    EXPECT_EQ(pc_->drive().commandLog().back().sectorCount, 0);

    size_t before = driveCommands();
    EXPECT_TRUE(pc_->disk().testUnitReady().good());  // fixed disk: only the ready check
    EXPECT_EQ(run({0xFE, 0, 0, 0, 0, 0}, 0, true, DataDirection::None), SRB_STATUS_SUCCESS);
    EXPECT_EQ(driveCommands(), before);
}

// A CDB shorter than its command's group (6 bytes for group 0, 10 for
// group 1) is refused before the drive sees anything.
TEST_F(ScsiOnPc, ShortCdbsAreRefused)
{
    const std::pair<uint8_t, size_t> commands[] = {
        {0x00, 6}, {0x01, 6}, {0x08, 6}, {0x0A, 6}, {0x12, 6}, {0x1A, 6}, {0x1B, 6}, {0x1E, 6},
        {0x25, 10}, {0x28, 10}, {0x2A, 10}, {0x2B, 10}, {0x2F, 10}};
    std::vector<uint8_t> data(512);
    for (const auto& c : commands) {
        std::vector<uint8_t> cdb(c.second - 1, 0);
        cdb[0] = c.first;
        if (c.first == 0x08 || c.first == 0x0A) cdb[4] = 1;
        size_t before = driveCommands();
        sim::ExecuteResult r = pc_->host().execute(0, 0, cdb, DataDirection::In, data.data(), 512);
        EXPECT_TRUE(r.completed) << std::hex << int(c.first);
        EXPECT_NE(r.srbStatus, SRB_STATUS_SUCCESS) << std::hex << int(c.first);
        EXPECT_EQ(driveCommands(), before) << std::hex << int(c.first);
    }
}

// SEEK(10) as the drive gets it. A unit addressed by LBA is sought by its
// block address, so every block of the default 64 MiB disk is a place to
// seek to, those whose bits 8-23 are no cylinder of the drive included,
// and nothing follows the seek (no door unlock after a failure). A unit
// addressed by CHS is sought to the block's cylinder with head 0.
TEST(ScsiSeek, ReachesTheBlockTheDriveIsAddressedBy)
{
    struct Case {
        const char* preset;
        uint32_t block;
        uint8_t sector, driveHead;
        uint16_t cylinder;
    };
    const Case cases[] = {
        {"fixed", 0, 0x00, 0xE0, 0x0000},          {"fixed", 1000, 0xE8, 0xE0, 0x0003},
        {"fixed", 33279, 0xFF, 0xE0, 0x0081},      {"fixed", 33280, 0x00, 0xE0, 0x0082},
        {"fixed", 74565, 0x45, 0xE0, 0x0123},      {"fixed", 131039, 0xDF, 0xE0, 0x01FF},
        {"chs", 85005 + 3 * 17 + 4, 1, 0xA0, 500}, {"chs", 166599, 1, 0xA0, 979},
    };
    for (const Case& c : cases) {
        sim::PcConfig config;  // the 64 MiB LBA disk unless the CHS disk is asked for
        config.driver = seam::nimbDriver();
        config.drive = c.preset;
        sim::SimulatedPc pc(config);
        ASSERT_TRUE(pc.boot().adapterFound);
        if (std::string(c.preset) == "fixed") {
            ASSERT_EQ(UnitState[0].lbaMode, 1);
            // 64 MiB: 131,072 sectors, current geometry 130/16/63.
            ASSERT_EQ(pc.disk().readCapacity().blocks(), 131040u);
        }
        pc.drive().clearLogs();
        uint32_t b = c.block;
        sim::CommandResult r = pc.disk().command(
            {0x2B, 0, uint8_t(b >> 24), uint8_t(b >> 16), uint8_t(b >> 8), uint8_t(b), 0, 0, 0, 0},
            DataDirection::None, nullptr, 0);
        EXPECT_TRUE(r.good()) << c.preset << " " << b << ": sense " << int(r.senseKey);
        const std::vector<sim::CommandRecord>& log = pc.drive().commandLog();
        ASSERT_EQ(log.size(), 1u) << c.preset << " " << b;
        EXPECT_EQ(log[0].command, ATA_CMD_SEEK);
        EXPECT_EQ(log[0].sectorNumber, c.sector) << c.preset << " " << b;
        EXPECT_EQ(log[0].cylinderLow | log[0].cylinderHigh << 8, c.cylinder) << c.preset << " " << b;
        EXPECT_EQ(log[0].driveHead, c.driveHead) << c.preset << " " << b;
        EXPECT_EQ(log[0].status, 0x50) << c.preset << " " << b;
        EXPECT_EQ(pc.drive().violations().total(), 0u);
    }
}

TEST_F(ScsiOnPc, RemovableWithoutMediaStatus)
{
    boot("syquest");
    for (int round = 0; round < 2; ++round) {  // the ready test reads the first sector every time
        pc_->drive().clearLogs();
        EXPECT_TRUE(pc_->disk().testUnitReady().good());
        const auto& log = pc_->drive().commandLog();
        ASSERT_EQ(log.size(), 2u);
        EXPECT_TRUE(log[0].command == ATA_CMD_READ_SECTORS || log[0].command == ATA_CMD_READ_MULTIPLE);
        EXPECT_EQ(log[0].sectorCount, 1);
        EXPECT_EQ(log[0].sectorNumber, 1);
        EXPECT_EQ(log[1].command, ATA_CMD_POST_BOOT);
    }

    // MODE SELECT reads the list only within its length and the buffer.
    const std::vector<uint8_t> list = {0, 0, 0, 0, 0x80, 0x02, 0x02, 0x00, 0x00, 0x02, 0x02, 0x00};
    for (uint32_t length : {8u, 10u}) {
        std::vector<uint8_t> b = list;
        EXPECT_EQ(pc_->host().execute(0, 0, {0x15, 0, 0, 0, 12, 0}, DataDirection::Out, b.data(), length).srbStatus,
                  SRB_STATUS_ERROR);
    }
    std::vector<uint8_t> b = list;
    ASSERT_EQ(pc_->host().execute(0, 0, {0x15, 0x01, 0, 0, 12, 0}, DataDirection::Out, b.data(), 12).srbStatus,
              SRB_STATUS_SUCCESS);
    EXPECT_EQ(pc_->drive().commandLog().back().command, ATA_CMD_VENDOR_SYQUEST);
    EXPECT_EQ(pc_->drive().commandLog().back().features, 0x50);  // 'P'

    pc_->drive().faults().abortCommand(ATA_CMD_DOOR_LOCK);
    EXPECT_TRUE(pc_->disk().preventAllow(true).checkCondition());
    EXPECT_EQ(UnitState[0].doorLocked, 1);  // set whatever the outcome
    size_t before = driveCommands();
    EXPECT_TRUE(pc_->disk().command({0x1B, 0, 0, 0, 0x03, 0}, DataDirection::None, nullptr, 0).good());
    EXPECT_EQ(driveCommands(), before);  // load: nothing to do
    EXPECT_TRUE(pc_->disk().eject().good());
    EXPECT_EQ(pc_->drive().ejectCount(), 1u);
}

// The ready test's probe read, on drives without media status notification,
// takes the sector the drive offers before it writes the next command: ATA
// leaves a command written while DRQ is set undefined (a drive may hang or
// run the dropped read's count for the next command).
TEST_F(ScsiOnPc, ReadyProbeTakesItsSectorBeforeTheNextCommand)
{
    for (const char* drive : {"syquest", "iota"}) {
        SCOPED_TRACE(drive);
        boot(drive);
        pc_->disk().testUnitReady();  // may report the cartridge changed since power-on
        pc_->drive().clearLogs();
        EXPECT_TRUE(pc_->disk().testUnitReady().good());
        const auto& log = pc_->drive().commandLog();
        ASSERT_EQ(log.size(), 2u);
        EXPECT_FALSE(log[0].cutShort);
        EXPECT_EQ(log[0].sectorsMoved, 1u);
        EXPECT_EQ(log[0].status, 0x50);
        EXPECT_EQ(log[1].command, ATA_CMD_POST_BOOT);
        EXPECT_EQ(pc_->drive().violations().total(), 0u);
    }
    // A media change still ends the ready test with UNIT ATTENTION.
    pc_->drive().insertMedium(pc_->image());
    sim::CommandResult tur = pc_->disk().testUnitReady();
    EXPECT_TRUE(tur.checkCondition());
    EXPECT_EQ(tur.senseKey, SENSE_UNIT_ATTENTION);
    EXPECT_TRUE(pc_->disk().testUnitReady().good());
}

TEST_F(ScsiOnPc, MediaStatusDriveReportsProtectionAndMissingMedium)
{
    boot("removable");
    ASSERT_EQ(UnitState[0].msnEnabled, 1);
    pc_->drive().setWriteProtected(true);
    sim::ModeSenseResult m = pc_->disk().modeSense(0x00, 12);
    EXPECT_TRUE(m.result.good());
    EXPECT_TRUE(m.writeProtected);
    pc_->drive().removeMedium();
    sim::CommandResult tur = pc_->disk().testUnitReady();
    EXPECT_EQ(tur.senseKey, SENSE_NOT_READY);
    EXPECT_EQ(tur.asc, 0x3A);
}

// TEST UNIT READY on a drive with media status notification is decided by
// GET MEDIA STATUS. A query the drive never answers (stuck busy, or the
// adapter gone while it waits) has no media bits to judge by: the unit is
// not ready, never GOOD.
struct MediaStatusRig {
    std::unique_ptr<sim::SimulatedPc> pc = miniport_test::makePc("removable");
    MediaStatusRig()
    {
        pc->boot();
        pc->disk().setTimeout(120 * sim::kSecond);
        pc->disk().identify();
        EXPECT_EQ(UnitState[0].msnEnabled, 1);
        EXPECT_TRUE(pc->disk().testUnitReady().good());
    }
    sim::ExecuteResult testUnitReady()
    {
        return pc->host().execute(0, 0, {sim::scsiop::kTestUnitReady, 0, 0, 0, 0, 0}, DataDirection::None,
                                  nullptr, 0, 120 * sim::kSecond);
    }
    uint8_t senseKey()
    {
        std::vector<uint8_t> sense;
        EXPECT_TRUE(pc->disk().requestSense(sense).good());
        return sense.size() > 2 ? sense[2] & 0x0F : 0xFF;
    }
};

TEST(ScsiReadyTest, MediaStatusQueryOfAStuckDriveIsNotReady)
{
    MediaStatusRig rig;
    rig.pc->drive().faults().stuckBusy = sim::StuckBusy::Always;
    sim::ExecuteResult r = rig.testUnitReady();
    ASSERT_TRUE(r.completed);
    EXPECT_EQ(r.scsiStatus, SCSISTAT_CHECK_CONDITION);
    EXPECT_EQ(rig.senseKey(), SENSE_NOT_READY);
    EXPECT_EQ(UnitState[0].flags & UNIT_READY, 0);
    EXPECT_EQ(rig.pc->drive().violations().commandWhileBusy, 0u);

    rig.pc->drive().faults().stuckBusy = sim::StuckBusy::Never;
    EXPECT_TRUE(rig.pc->disk().testUnitReady().good());
}

// The adapter unplugged at each point of the ready test until the drive has
// finished its GET MEDIA STATUS (and plugged back once the test is over):
// the driver cannot have had the answer, so the test fails.
TEST(ScsiReadyTest, MediaStatusQueryThroughAnUnpluggedAdapterIsNeverGood)
{
    unsigned unanswered = 0;
    for (uint64_t at = 1; at < 200; at += 2) {
        SCOPED_TRACE(testing::Message() << "unplugged at access " << at);
        MediaStatusRig rig;
        sim::AtaDrive& drive = rig.pc->drive();
        sim::IoBus& bus = rig.pc->bus();
        size_t commands = drive.commandLog().size();
        uint64_t start = bus.accessCount();
        bool unplugged = false, beforeTheAnswer = false;
        bus.setSink([&](const sim::IoAccess&) {
            if (unplugged || bus.accessCount() - start < at) return;
            unplugged = true;
            beforeTheAnswer = drive.commandLog().size() == commands || !drive.commandLog().back().finished;
            rig.pc->adapter().disconnect();
        });
        sim::ExecuteResult r = rig.testUnitReady();
        bus.setSink(nullptr);
        rig.pc->adapter().reconnect();
        ASSERT_TRUE(r.completed);
        if (!unplugged) break;  // past the end of the ready test
        if (!beforeTheAnswer) continue;
        ++unanswered;
        EXPECT_NE(r.srbStatus & 0x3F, SRB_STATUS_SUCCESS);
        if (r.scsiStatus == SCSISTAT_CHECK_CONDITION) EXPECT_NE(rig.senseKey(), SENSE_NONE);
        EXPECT_TRUE(rig.pc->disk().testUnitReady().good()) << "the unit is ready again";
        if (::testing::Test::HasFailure()) return;
    }
    EXPECT_GT(unanswered, 20u);
}

}  // namespace
