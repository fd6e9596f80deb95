// Drive discovery and the geometry, capacity and flags computed from the
// drive model's IDENTIFY data.
#include <gtest/gtest.h>

#include <cstring>

#include "ata_drive_bench.h"

namespace {

struct GeometryCase {
    const char* name;
    const char* preset;
    std::map<int, uint16_t> words;  // IDENTIFY words the drive reports instead
    uint16_t cylinders, heads, sectors;
    uint32_t total;
    uint8_t controlByte;
    uint8_t lbaMode;
};

std::map<int, uint16_t> chs(uint16_t c, uint16_t h, uint16_t s) { return {{1, c}, {3, h}, {6, s}}; }

std::map<int, uint16_t> lba(uint16_t c, uint16_t h, uint16_t s, uint32_t total)
{
    return {{54, c}, {55, h}, {56, s}, {60, uint16_t(total)}, {61, uint16_t(total >> 16)}};
}

class Geometry : public ::testing::TestWithParam<GeometryCase> {};

TEST_P(Geometry, ComputedFromIdentify)
{
    const GeometryCase& c = GetParam();
    BenchOptions o;
    o.preset = c.preset;
    DriveBench bench(o);
    bench.drive->faults().identifyWords = c.words;
    ASSERT_TRUE(bench.discover());
    const UnitParametersRecord& p = UnitParameters[0];
    EXPECT_EQ(p.cylinders, c.cylinders);
    EXPECT_EQ(p.heads, c.heads);
    EXPECT_EQ(p.sectorsPerTrack, c.sectors);
    EXPECT_EQ(p.totalSectors, c.total);
    EXPECT_EQ(p.controlByte, c.controlByte);
    EXPECT_EQ(UnitState[0].lbaMode, c.lbaMode);
    EXPECT_EQ(getCapacity(0), c.total);
}

INSTANTIATE_TEST_SUITE_P(
    WorkedCases, Geometry,
    ::testing::Values(
        GeometryCase{"chs_980_10_17", "chs", {}, 980, 10, 17, 166600, 0x08, 0},
        GeometryCase{"chs_2100_16_63", "chs", chs(2100, 16, 63), 1024, 16, 63, 1032192, 0x08, 0},
        GeometryCase{"chs_2000_16_17", "chs", chs(2000, 16, 17), 1024, 16, 33, 540672, 0x08, 0},
        GeometryCase{"chs_1025_halved", "chs", chs(1025, 16, 63), 1023, 16, 63, 1031184, 0x08, 0},
        GeometryCase{"chs_1024_kept", "chs", chs(1024, 16, 63), 1024, 16, 63, 1032192, 0x08, 0},
        GeometryCase{"chs_seven_heads", "chs", chs(500, 7, 17), 500, 7, 17, 59500, 0x00, 0},
        GeometryCase{"lba_4092_16_63", "fixed", lba(4092, 16, 63, 4092u * 16 * 63), 1023, 64, 63, 4124736, 0x08, 1},
        GeometryCase{"lba_16383_16_63", "fixed", lba(16383, 16, 63, 16383u * 16 * 63), 1023, 256, 63, 16498944, 0x08, 1},
        GeometryCase{"lba_words_60_61_zero", "fixed", {{1, 130}, {3, 16}, {6, 63}, {60, 0}, {61, 0}}, 130, 16, 63, 131040, 0x08, 0},
        GeometryCase{"fixed_preset", "fixed", {}, 130, 16, 63, 131040, 0x08, 1},
        GeometryCase{"conner_653_32", "conner", {}, 615, 4, 17, 41820, 0x00, 0},
        GeometryCase{"conner_other_words", "conner", chs(654, 2, 32), 654, 2, 32, 41856, 0x00, 0},
        GeometryCase{"iota_forced_chs", "iota", {}, 768, 8, 32, 196608, 0x08, 0},
        GeometryCase{"syquest_forced_chs", "syquest", {}, 130, 16, 63, 131040, 0x08, 0},
        GeometryCase{"removable_lba", "removable", {}, 130, 16, 63, 131040, 0x08, 1}),
    [](const ::testing::TestParamInfo<GeometryCase>& info) { return std::string(info.param.name); });

struct FamilyCase {
    const char* preset;
    uint8_t mediaStatusMode;
    uint8_t flags;  // family bits expected (removable, Iota, SyQuest)
    uint8_t msn;
    uint8_t setupAck;  // command sent at set-up to re-arm, 0 none
    uint32_t blocks;   // capacity presented for the preset's default medium
};

class Family : public ::testing::TestWithParam<FamilyCase> {};

TEST_P(Family, FlagsAndMediaStatus)
{
    const FamilyCase& c = GetParam();
    BenchOptions o;
    o.preset = c.preset;
    o.mediaStatusMode = c.mediaStatusMode;
    DriveBench bench(o);
    ASSERT_TRUE(bench.discover());
    EXPECT_EQ(UnitState[0].flags & (UNIT_REMOVABLE | UNIT_IOTA | UNIT_SYQUEST), c.flags);
    EXPECT_EQ(UnitState[0].msnEnabled, c.msn);
    EXPECT_EQ(bench.drive->mediaStatusEnabled(), c.msn != 0);
    bool dc = false, db = false;
    for (const sim::CommandRecord& r : bench.drive->commandLog()) {
        dc |= r.command == ATA_CMD_POST_BOOT;
        db |= r.command == ATA_CMD_ACK_MEDIA_CHANGE;
    }
    EXPECT_EQ(dc, c.setupAck == ATA_CMD_POST_BOOT);
    EXPECT_EQ(db, c.setupAck == ATA_CMD_ACK_MEDIA_CHANGE);
    const UnitParametersRecord& p = UnitParameters[0];
    EXPECT_EQ(p.totalSectors, c.blocks);
    EXPECT_EQ(std::strlen(p.model), size_t(MODEL_LENGTH));
}

INSTANTIATE_TEST_SUITE_P(
    Presets, Family,
    ::testing::Values(FamilyCase{"fixed", 0, 0, 0, 0, 131040}, FamilyCase{"chs", 0, 0, 0, 0, 166600},
                      FamilyCase{"iota", 0, UNIT_REMOVABLE | UNIT_IOTA, 0, ATA_CMD_POST_BOOT, 196608},
                      FamilyCase{"iota", 1, UNIT_REMOVABLE | UNIT_IOTA, 1, ATA_CMD_POST_BOOT, 196608},
                      FamilyCase{"iota", 2, UNIT_REMOVABLE, 1, ATA_CMD_ACK_MEDIA_CHANGE, 196608},
                      FamilyCase{"syquest", 0, UNIT_REMOVABLE | UNIT_SYQUEST, 0, ATA_CMD_ACK_MEDIA_CHANGE, 131040},
                      FamilyCase{"removable", 0, UNIT_REMOVABLE, 1, ATA_CMD_ACK_MEDIA_CHANGE, 131040}));

// --- IDENTIFY data that makes no sense.

TEST(GarbageIdentify, ZeroGeometryGivesNoCapacity)
{
    DriveBench bench;
    bench.drive->faults().identifyGarbage = sim::IdentifyGarbage::ZeroGeometry;
    discoverDrives();
    EXPECT_EQ(UnitParameters[0].totalSectors, 0u);
    CommandState.senseKey = 0;
    EXPECT_EQ(getCapacity(0), 0u);
    EXPECT_EQ(CommandState.senseKey, SENSE_NOT_READY);
    if (UnitState[0].absent == 0) {
        std::vector<uint8_t> buf;
        EXPECT_EQ(bench.read(0, 1, buf), SENSE_NOT_READY);
    }
}

TEST(GarbageIdentify, HugeCountsAreClamped)
{
    DriveBench bench;
    bench.drive->faults().identifyGarbage = sim::IdentifyGarbage::HugeCounts;
    sim::Nanoseconds start = bench.rig.clock.now();
    discoverDrives();
    EXPECT_LT(bench.rig.clock.now() - start, 200 * sim::kSecond);
    const UnitParametersRecord& p = UnitParameters[0];
    EXPECT_LE(p.cylinders, 1024);
    EXPECT_LE(p.heads, 256);
    EXPECT_LE(p.sectorsPerTrack, 63);
    EXPECT_EQ(p.totalSectors, uint32_t(p.cylinders) * p.heads * p.sectorsPerTrack);
}

TEST(GarbageIdentify, UnterminatedModelIsCut)
{
    DriveBench bench;
    bench.drive->faults().identifyGarbage = sim::IdentifyGarbage::UnterminatedModel;
    ASSERT_TRUE(bench.discover());
    EXPECT_EQ(UnitParameters[0].model[MODEL_LENGTH], 0);
    EXPECT_EQ(std::strlen(getModel(0)), size_t(MODEL_LENGTH));
}

TEST(GarbageIdentify, ZeroHeadsInParametersDoNotDivide)
{
    DriveBench bench;
    ASSERT_TRUE(bench.discover());
    UnitState[0].lbaMode = 0;
    UnitParameters[0].heads = 0;
    UnitParameters[0].sectorsPerTrack = 0;
    loadBlockAddress(0, 77, 0);
    EXPECT_EQ(UnitParameters[0].sectorsPerTrack, 1);
    EXPECT_EQ(TaskFile.sectorNumber, 1);
}

// --- Discovery itself.

TEST(Discovery, LeavesTheCurrentUnitTableAsFound)
{
    DriveBench bench;
    UnitExtension other{};
    ActiveUnitTable[0] = &other;
    ASSERT_TRUE(bench.discover());
    EXPECT_EQ(ActiveUnitTable[0], &other);
    ActiveUnitTable[0] = nullptr;
    ASSERT_TRUE(bench.discover());
    EXPECT_EQ(ActiveUnitTable[0], nullptr);
    EXPECT_EQ(CommandState.discoveryActive, 0u);
    EXPECT_EQ(LinkState.Acquired, 0);
}

TEST(Discovery, NoDriveLeavesTheUnitAbsent)
{
    DriveBench bench;
    bench.drive->faults().absent = true;
    EXPECT_TRUE(discoverDrives());
    EXPECT_EQ(UnitState[0].absent, 0xFF);
    EXPECT_EQ(LinkState.Acquired, 0);
}

TEST(Discovery, DeadRegistersWakeWithIdleImmediate)
{
    DriveBench bench;
    bench.drive->faults().registersDead = true;
    ASSERT_TRUE(bench.discover());
    EXPECT_EQ(bench.drive->commandLog().front().command, ATA_CMD_IDLE_IMMEDIATE);
}

TEST(Discovery, CapacityQueryReidentifiesOnlyRemovableUnits)
{
    for (const char* preset : {"fixed", "iota"}) {
        BenchOptions o;
        o.preset = preset;
        DriveBench bench(o);
        ASSERT_TRUE(bench.discover());
        bench.drive->clearLogs();
        LinkAcquire();
        getCapacity(0);
        getCapacity(0);
        LinkEndInterruptWait();
        LinkRelease();
        size_t identifies = 0;
        for (const sim::CommandRecord& r : bench.drive->commandLog()) identifies += r.command == ATA_CMD_IDENTIFY;
        EXPECT_EQ(identifies, std::string(preset) == "iota" ? 2u : 0u) << preset;
    }
}

// A drive that refuses SET FEATURES 0x95 is used without notification,
// and a later capacity query does not turn it back on.
TEST(Discovery, RefusedMediaStatusStaysOff)
{
    BenchOptions o;
    o.preset = "removable";
    DriveBench bench(o);
    bench.drive->faults().abortCommand(ATA_CMD_SET_FEATURES);
    ASSERT_TRUE(bench.discover());
    EXPECT_EQ(UnitState[0].msnEnabled, 0);
    LinkAcquire();
    getCapacity(0);
    LinkEndInterruptWait();
    LinkRelease();
    EXPECT_EQ(UnitState[0].msnEnabled, 0);
}

// A cartridge with another geometry: the capacity query tells the drive
// the new geometry, so CHS addresses keep meaning the same sectors.
TEST(Discovery, CapacityQueryReprogramsAChangedGeometry)
{
    BenchOptions o;
    o.preset = "iota";
    DriveBench bench(o);
    ASSERT_TRUE(bench.discover());
    ASSERT_EQ(bench.drive->logicalHeads(), 8);
    bench.drive->faults().identifyWords = {{3, 4}, {6, 32}};
    LinkAcquire();
    getCapacity(0);
    LinkEndInterruptWait();
    LinkRelease();
    EXPECT_EQ(CommandState.senseKey, SENSE_NONE);
    EXPECT_EQ(UnitParameters[0].heads, 4);
    EXPECT_EQ(bench.drive->logicalHeads(), 4);
    EXPECT_EQ(bench.drive->logicalSectors(), 32);
    std::vector<uint8_t> buf;
    ASSERT_EQ(bench.read(200, 2, buf), SENSE_NONE);
    std::vector<uint8_t> expect = bench.imageBytes(200, 2);
    EXPECT_TRUE(std::equal(expect.begin(), expect.end(), buf.begin()));
}

// A cartridge whose geometry the drive refuses, its own included: the
// capacity query reports the unit not ready, this time and the next, and no
// block is addressed in the refused geometry.
TEST(Discovery, CapacityQueryWithARefusedGeometryAddressesNothing)
{
    BenchOptions o;
    o.preset = "iota";
    DriveBench bench(o);
    ASSERT_TRUE(bench.discover());
    bench.drive->faults().identifyWords = {{3, 4}, {6, 32}};
    bench.drive->faults().abortCommand(ATA_CMD_INITIALIZE_PARAMETERS);
    for (int query = 0; query < 2; ++query) {
        LinkAcquire();
        CommandState.senseKey = SENSE_NONE;
        EXPECT_EQ(getCapacity(0), 0u) << query;
        EXPECT_EQ(CommandState.senseKey, SENSE_NOT_READY) << query;
        LinkEndInterruptWait();
        LinkRelease();
        size_t before = bench.drive->commandLog().size();
        std::vector<uint8_t> buf;
        EXPECT_EQ(bench.read(200, 2, buf), SENSE_NOT_READY) << query;
        EXPECT_EQ(bench.drive->commandLog().size(), before) << query;
    }
    EXPECT_EQ(bench.drive->logicalHeads(), 8);
}

}  // namespace
