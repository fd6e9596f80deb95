// The block transfers a whole driver makes for real requests, found in the
// port trace the way `nimbsim bench` finds them, must cost exactly the
// accesses each mode's protocol prescribes (the figures below are the
// protocol's own counts, not the tool's table).
#include <gtest/gtest.h>

#include <vector>

#include "seam/nimb_driver.h"
#include "sim/ata/ata_drive.h"
#include "sim/ata/disk_image.h"
#include "sim/bus/io_bus.h"
#include "sim/host/disk_client.h"
#include "sim/wire/nimb_adapter.h"
#include "tools/bench/bench_figures.h"
#include "tools/bench/bench_rig.h"

namespace {

using nimbsim::bench::Direction;
using nimbsim::bench::TraceSegment;

struct BlockCase {
    const char* machine;
    const char* arguments;
    Direction direction;
    uint64_t sectorBlock;  // accesses of one 512-byte block
    uint64_t chunkCode;    // accesses of the chunk code before it
    uint64_t driveBlock;   // accesses of one 8 KiB block
};

void PrintTo(const BlockCase& c, std::ostream* os) { *os << c.machine << " '" << c.arguments << "'"; }

class BenchBlocks : public ::testing::TestWithParam<BlockCase> {
protected:
    void SetUp() override
    {
        rig = nimbsim::bench::makeRig(GetParam().machine, GetParam().arguments, seam::nimbDriver());
        ASSERT_TRUE(rig->boot());
        ASSERT_TRUE(rig->disk().identify().capacity.result.good());
    }

    // One request of `sectors` at LBA 100, recorded; its block segments.
    std::vector<TraceSegment> Record(uint32_t sectors)
    {
        std::vector<uint8_t> data(sectors * 512);
        for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + i / 512);
        if (GetParam().direction == Direction::Read) rig->image().write(100, sectors, data.data());
        sim::IoBus& bus = rig->bus();
        bus.clearRecording();
        bus.startRecording();
        std::vector<uint8_t> got(data.size());
        sim::CommandResult r =
            GetParam().direction == Direction::Read
                ? rig->disk().read10(100, static_cast<uint16_t>(sectors), got.data(), static_cast<uint32_t>(got.size()))
                : rig->disk().write10(100, static_cast<uint16_t>(sectors), data.data(), static_cast<uint32_t>(data.size()));
        bus.stopRecording();
        EXPECT_TRUE(r.good());
        if (GetParam().direction == Direction::Write) rig->image().read(100, sectors, got.data());
        EXPECT_EQ(got, data);
        trace = bus.recorded();
        return nimbsim::bench::findBlockSegments(trace, rig->portBase());
    }

    std::unique_ptr<nimbsim::bench::BenchRig> rig;
    std::vector<sim::IoAccess> trace;
};

TEST_P(BenchBlocks, OneSectorBlockCostsTheProtocolsCount)
{
    auto segments = Record(1);
    std::vector<uint64_t> blocks, codes;
    for (const TraceSegment& s : segments)
        (s.kind == TraceSegment::ChunkCode ? codes : blocks).push_back(s.accesses);
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0], GetParam().sectorBlock);
    EXPECT_EQ(codes, GetParam().chunkCode ? std::vector<uint64_t>{GetParam().chunkCode} : std::vector<uint64_t>{});
    EXPECT_EQ(rig->adapter().violationCount(), 0u) << rig->adapter().lastViolation();
}

// 64 KiB in DRQ blocks of 16 sectors (the drive's multiple count): eight
// 8 KiB blocks, each one chunk on an enhanced port.
TEST_P(BenchBlocks, MultipleSectorBlocksCostTheProtocolsCount)
{
    ASSERT_EQ(rig->drive().multipleCount(), 16u);
    std::vector<uint64_t> blocks;
    uint64_t codes = 0;
    for (const TraceSegment& s : Record(128)) {
        if (s.kind == TraceSegment::ChunkCode)
            ++codes;
        else
            blocks.push_back(s.accesses);
    }
    EXPECT_EQ(blocks, std::vector<uint64_t>(8, GetParam().driveBlock));
    EXPECT_EQ(codes, GetParam().chunkCode ? 8u : 0u);
}

// The protocol's counts for blocks of N = 512 and N = 8192 bytes: reads
// nibble 4N+8 (mode 0), five-plus-three 3N+11 (mode 3), byte-wide with
// bit 7 3N+6 (mode 6), bidirectional 2N+10 (mode 8), EPP N+5 and N/4+5;
// writes 2N+13 (mode 0), 6N+18 (mode 2), EPP N+1 and N/4+1; 2 accesses of
// chunk code per chunk on EPP ports.
INSTANTIATE_TEST_SUITE_P(
    Modes, BenchBlocks,
    ::testing::Values(BlockCase{"plain", "/da /r0 /w1", Direction::Read, 2056, 0, 32776},
                      BlockCase{"plain", "/da /r3 /w1", Direction::Read, 1547, 0, 24587},
                      BlockCase{"byte7", "/da /r6 /w1", Direction::Read, 1542, 0, 24582},
                      BlockCase{"ps2", "/r8 /w1", Direction::Read, 1034, 0, 16394},
                      BlockCase{"epp", "/da /r10", Direction::Read, 517, 2, 8197},
                      BlockCase{"epp", "/r10", Direction::Read, 133, 2, 2053},
                      BlockCase{"plain", "/da /r4 /w0", Direction::Write, 1037, 0, 16397},
                      BlockCase{"plain", "/da /r4 /w2", Direction::Write, 3090, 0, 49170},
                      BlockCase{"epp", "/da /r10", Direction::Write, 513, 2, 8193},
                      BlockCase{"epp", "/r10", Direction::Write, 129, 2, 2049}));

// The reader measures, it does not assume: one clock fewer in the middle of
// a block shows as a block one access short, and the comparison says so.
TEST(BenchTraceReader, AMissingClockShowsInTheCount)
{
    auto rig = nimbsim::bench::makeRig("plain", "/da /r0 /w1", seam::nimbDriver());
    ASSERT_TRUE(rig->boot());
    sim::IoBus& bus = rig->bus();
    std::vector<uint8_t> buffer(512);
    ASSERT_TRUE(rig->disk().read10(7, 1, buffer.data(), 512).good());
    bus.startRecording();
    ASSERT_TRUE(rig->disk().read10(7, 1, buffer.data(), 512).good());
    bus.stopRecording();
    std::vector<sim::IoAccess> trace = bus.recorded();
    auto segments = nimbsim::bench::findBlockSegments(trace, 0x378);
    ASSERT_EQ(segments.size(), 1u);
    const auto& mode0 = nimbsim::bench::figuresFor(Direction::Read, 0);
    auto expected = nimbsim::bench::expectedBlocks(mode0, 1, 1, false);
    EXPECT_EQ(nimbsim::bench::compareBlocks(segments, expected), "");

    // Drop the first clock write (a CONTROL write) after the tenth access
    // of the block.
    size_t at = segments[0].first + 10;
    while (!(trace[at].write && trace[at].port == 0x37A)) ++at;
    trace.erase(trace.begin() + static_cast<long>(at));
    auto damaged = nimbsim::bench::findBlockSegments(trace, 0x378);
    ASSERT_EQ(damaged.size(), 1u);
    EXPECT_EQ(damaged[0].accesses, 2055u);
    EXPECT_NE(nimbsim::bench::compareBlocks(damaged, expected), "");
}

// The bench tells an 8-bit EPP mode that runs the 32-bit block routine by
// the width of the block's data cycles: 32 bits once negotiation found
// them working (/r10), 8 bits without negotiation (/da /r10).
TEST(BenchTraceReader, TellsThirtyTwoBitEppBlocksByTheirCycles)
{
    for (const char* arguments : {"/r10", "/da /r10"}) {
        SCOPED_TRACE(arguments);
        auto rig = nimbsim::bench::makeRig("epp", arguments, seam::nimbDriver());
        ASSERT_TRUE(rig->boot());
        sim::IoBus& bus = rig->bus();
        std::vector<uint8_t> buffer(512, 0x6B);
        bus.startRecording();
        ASSERT_TRUE(rig->disk().write10(9, 1, buffer.data(), 512).good());
        ASSERT_TRUE(rig->disk().read10(9, 1, buffer.data(), 512).good());
        bus.stopRecording();
        std::vector<TraceSegment::Kind> kinds;
        uint8_t expectedWidth = std::string(arguments) == "/r10" ? 4 : 1;
        for (const TraceSegment& s : nimbsim::bench::findBlockSegments(bus.recorded(), 0x378)) {
            if (s.kind == TraceSegment::ChunkCode) continue;
            kinds.push_back(s.kind);
            EXPECT_EQ(s.dataWidth, expectedWidth);
            EXPECT_EQ(s.eppBytes, 512u);
        }
        EXPECT_EQ(kinds, (std::vector<TraceSegment::Kind>{TraceSegment::EppWrite, TraceSegment::EppRead}));
    }
}

}  // namespace
