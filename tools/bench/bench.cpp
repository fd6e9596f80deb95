// nimbsim bench: for every read mode and write mode, on a machine where the
// mode works, one READ(10) or WRITE(10) of one sector and one of 128 sectors
// (64 KiB) go through the disk client, the port driver host and the whole
// driver. The bus counters give every port access of each request; the
// recorded trace is cut into its block transfers, which must cost exactly
// what the mode's protocol prescribes. What the driver chose is read where
// the hardware shows it: the pair from the mode byte on the port's data
// lines, 32-bit EPP blocks from the width of their data cycles, the DRQ
// block from the command the drive was given.
#include "tools/bench/bench.h"

#include <cstdio>
#include <ctime>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "sim/ata/ata_drive.h"
#include "sim/ata/disk_image.h"
#include "sim/bus/io_bus.h"
#include "sim/host/disk_client.h"
#include "sim/machine/host_kinds.h"
#include "sim/wire/nimb_adapter.h"
#include "tools/bench/bench_figures.h"
#include "tools/bench/bench_rig.h"
#include "tools/nimbsim/report.h"

namespace nimbsim {
namespace bench {
namespace {


constexpr uint32_t kRequestSectors = 128;  // 64 KiB
constexpr uint32_t kRequestBytes = kRequestSectors * sim::kSectorBytes;
constexpr uint32_t kFirstLba = 4096;
// The tool's own speed: requests repeated until this much CPU time passed.
constexpr double kTimingSeconds = 0.25;
constexpr unsigned kMaxTimedRequests = 48;

// Where and how each mode is measured: on a machine kind whose port
// carries the mode (as the table of machine kinds says). The argument
// string forces the pair without negotiation (/da) where that is how the
// mode is reached.
struct BenchCase {
    Direction direction;
    unsigned mode;
    const char* machine;
    const char* arguments;
};

// On the PS/2 board only the negotiation's second attempt (the extended
// request) turns the port bidirectional, so modes 8 and 9 are forced but
// negotiated there (no /da).
// Read modes 0-9 run with write mode 1, write modes 0-2 with read mode 4
// (the pair the negotiation ladder prefers on a plain port), so that the
// register traffic around the blocks is the same within a family.
// The argument switch /r takes read modes below 11 and /w write modes
// below 4; read mode 11 and write mode 4 are the 32-bit EPP block routines
// that read mode 10 and write mode 3 use once negotiation has found that
// 32-bit EPP cycles work on the port, so /r10 with negotiation reaches
// them, and /da /r10 (no negotiation, no 32-bit probe) keeps 8-bit blocks.
const BenchCase kCases[] = {
    {Direction::Read, 0, "plain", "/da /r0 /w1"},  {Direction::Read, 1, "plain", "/da /r1 /w1"},
    {Direction::Read, 2, "plain", "/da /r2 /w1"},  {Direction::Read, 3, "plain", "/da /r3 /w1"},
    {Direction::Read, 4, "plain", "/da /r4 /w1"},  {Direction::Read, 5, "plain", "/da /r5 /w1"},
    {Direction::Read, 6, "byte7", "/da /r6 /w1"},  {Direction::Read, 7, "byte7", "/da /r7 /w1"},
    {Direction::Read, 8, "ps2", "/r8 /w1"},        {Direction::Read, 9, "ps2", "/r9 /w1"},
    {Direction::Read, 10, "epp", "/da /r10"},      {Direction::Read, 11, "epp", "/r10"},
    {Direction::Write, 0, "plain", "/da /r4 /w0"}, {Direction::Write, 1, "plain", "/da /r4 /w1"},
    {Direction::Write, 2, "plain", "/da /r4 /w2"}, {Direction::Write, 3, "epp", "/da /r10"},
    {Direction::Write, 4, "epp", "/r10"},
};

struct Measured {
    bool ran = false;
    std::string problem;       // why the row has no figures, or what disagreed
    unsigned linkRead = 0;     // the pair the driver settled on
    unsigned linkWrite = 0;
    bool upgraded = false;     // 8-bit EPP mode running the 32-bit blocks
    uint64_t sectorBlock = 0;  // block accesses of the one-sector request
    uint64_t sectorChunk = 0;  // chunk-code accesses of that request
    uint64_t request = 0;      // all accesses of the 64 KiB request
    double cpuSeconds = 0;
    uint64_t timedBytes = 0;
    bool blocksAgree = false;
};

// ATA opcodes of the commands whose DRQ blocks are the drive's multiple
// count rather than one sector.
constexpr uint8_t kReadMultiple = 0xC4;
constexpr uint8_t kWriteMultiple = 0xC5;

// The sectors per DRQ block of the data commands the drive took from
// `first` on in its command log.
uint32_t drqSectors(const sim::AtaDrive& drive, size_t first)
{
    const std::vector<sim::CommandRecord>& log = drive.commandLog();
    for (size_t i = first; i < log.size(); ++i)
        if ((log[i].command == kReadMultiple || log[i].command == kWriteMultiple) && drive.multipleCount() != 0)
            return drive.multipleCount();
    return 1;
}

// Whether a block of the trace moved its data in 32-bit EPP cycles.
bool epp32Blocks(const std::vector<TraceSegment>& segments)
{
    for (const TraceSegment& s : segments)
        if ((s.kind == TraceSegment::EppRead || s.kind == TraceSegment::EppWrite) && s.dataWidth == 4) return true;
    return false;
}

// Whether the machine kind's port carries the mode: nibble and
// five-plus-three reads and strobed writes every port does.
bool carries(const sim::HostKindInfo& kind, Direction direction, unsigned mode)
{
    if (isEppMode(direction, mode)) return kind.epp;
    if (direction == Direction::Write || mode <= 5) return true;
    return mode <= 7 ? kind.bit7Reads : kind.bidirectionalReads;
}

std::string settledOn(const Measured& m)
{
    return "driver settled on " + std::to_string(m.linkRead) + "/" + std::to_string(m.linkWrite);
}

std::vector<uint8_t> randomSectors(uint32_t sectors, unsigned seed)
{
    std::mt19937 rng(seed);
    std::vector<uint8_t> data(size_t(sectors) * sim::kSectorBytes);
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    return data;
}

// One READ(10) or WRITE(10) of data.size() bytes at lba. A read must
// bring back `data` (the image holds it there); a write sends `data`,
// which must then be in the image.
bool transfer(BenchRig& rig, Direction direction, uint32_t lba, const std::vector<uint8_t>& data,
              std::string& problem)
{
    uint32_t sectors = static_cast<uint32_t>(data.size() / sim::kSectorBytes);
    sim::CommandResult r;
    std::vector<uint8_t> got(data.size());
    if (direction == Direction::Read) {
        r = rig.disk().read10(lba, static_cast<uint16_t>(sectors), got.data(), static_cast<uint32_t>(got.size()));
    } else {
        r = rig.disk().write10(lba, static_cast<uint16_t>(sectors), data.data(), static_cast<uint32_t>(data.size()));
        rig.image().read(lba, sectors, got.data());
    }
    if (!r.good()) {
        problem = "request failed: " + describeFailure(r);
        return false;
    }
    if (got != data) {
        problem = "data corrupted";
        return false;
    }
    return true;
}

Measured measure(const BenchCase& c, const sim::DriverImage& driver)
{
    Measured m;
    const ModeFigures& figures = figuresFor(c.direction, c.mode);
    const sim::HostKindInfo* kind = sim::findHostKind(c.machine);
    if (!kind || !carries(*kind, c.direction, c.mode)) {
        m.problem = "the machine's port does not carry the mode";
        return m;
    }
    auto rig = makeRig(c.machine, c.arguments, driver);
    if (!rig->boot()) {
        m.problem = "adapter not found";
        return m;
    }
    sim::IoBus& bus = rig->bus();
    sim::DiskInfo info = rig->disk().identify();
    // After a request the driver leaves its mode byte, read mode * 16 +
    // write mode, on the port's data lines.
    uint8_t modeByte = rig->dataLatch();
    m.linkRead = modeByte >> 4;
    m.linkWrite = modeByte & 0x0F;
    unsigned pairMode = c.direction == Direction::Read ? m.linkRead : m.linkWrite;
    bool eppPair = isEppMode(Direction::Read, m.linkRead) || isEppMode(Direction::Write, m.linkWrite);
    if (pairMode != c.mode && !(pairMode == epp8Mode(c.direction) && c.mode == epp32Mode(c.direction))) {
        m.problem = settledOn(m);
        return m;
    }
    if (!info.capacity.result.good()) {
        m.problem = "READ CAPACITY failed: " + describeFailure(info.capacity.result);
        return m;
    }

    // Reads find their data in the image; writes put theirs there.
    std::vector<uint8_t> data = randomSectors(kRequestSectors, c.mode + 1);
    if (c.direction == Direction::Read) rig->image().write(kFirstLba, kRequestSectors, data.data());
    std::vector<uint8_t> one(data.begin(), data.begin() + sim::kSectorBytes);

    // A first request settles whatever the first one after loading does.
    // Its blocks show whether an 8-bit EPP mode runs the 32-bit routine,
    // which it does once 32-bit cycles were found to work.
    bus.clearRecording();
    bus.startRecording();
    bool settled = transfer(*rig, c.direction, kFirstLba, one, m.problem);
    bus.stopRecording();
    if (!settled) return m;
    m.upgraded = pairMode == epp8Mode(c.direction) && epp32Blocks(findBlockSegments(bus.recorded(), rig->portBase()));
    if ((m.upgraded ? epp32Mode(c.direction) : pairMode) != c.mode) {
        m.problem = settledOn(m);
        return m;
    }

    bus.clearRecording();
    bus.startRecording();
    bool ok = transfer(*rig, c.direction, kFirstLba, one, m.problem);
    bus.stopRecording();
    if (!ok) return m;
    // On a port run in an EPP pair every block is cut into the chunks the
    // adapter's chunk codes announce.
    auto segments = findBlockSegments(bus.recorded(), rig->portBase());
    for (const auto& s : segments) {
        if (s.kind == TraceSegment::ChunkCode)
            m.sectorChunk += s.accesses;
        else
            m.sectorBlock += s.accesses;
    }
    std::string oneSector = compareBlocks(segments, expectedBlocks(figures, 1, 1, eppPair));

    bus.clearRecording();
    bus.startRecording();
    size_t commandsBefore = rig->drive().commandLog().size();
    uint64_t before = bus.accessCount();
    ok = transfer(*rig, c.direction, kFirstLba, data, m.problem);
    m.request = bus.accessCount() - before;
    bus.stopRecording();
    if (!ok) return m;
    segments = findBlockSegments(bus.recorded(), rig->portBase());
    std::string whole = compareBlocks(
        segments, expectedBlocks(figures, kRequestSectors, drqSectors(rig->drive(), commandsBefore), eppPair));
    bus.clearRecording();
    m.ran = true;
    m.blocksAgree = oneSector.empty() && whole.empty();
    if (!oneSector.empty()) m.problem = "1 sector: " + oneSector;
    if (!whole.empty()) m.problem += (m.problem.empty() ? "" : "; ") + std::string("64 KiB: ") + whole;

    // The tool's own speed, without recording.
    std::clock_t start = std::clock();
    unsigned n = 0;
    do {
        uint32_t lba = kFirstLba + kRequestSectors * (n % 4);
        if (c.direction == Direction::Read) rig->image().write(lba, kRequestSectors, data.data());
        if (!transfer(*rig, c.direction, lba, data, m.problem)) {
            m.ran = false;
            return m;
        }
        ++n;
        m.cpuSeconds = double(std::clock() - start) / CLOCKS_PER_SEC;
    } while (m.cpuSeconds < kTimingSeconds && n < kMaxTimedRequests);
    m.timedBytes = uint64_t(n) * kRequestBytes;
    if (rig->adapter().violationCount() != 0) {
        m.blocksAgree = false;
        m.problem += (m.problem.empty() ? "" : "; ") + std::string("adapter: ") + rig->adapter().lastViolation();
    }
    return m;
}

const char* modeSymbol(Direction direction, unsigned mode)
{
    return direction == Direction::Read ? readModeName(mode) : writeModeName(mode);
}

void printHeader()
{
    std::printf(
        "Port accesses per transfer mode, through the disk client, the port driver host and the whole\n"
        "driver (boot, then one READ(10)/WRITE(10) of 1 sector and one of 128 sectors = 64 KiB).\n"
        "  machine    where the mode works; args: the driver's argument string; pair: read/write modes used\n"
        "  blk/512    block-transfer accesses of the 1-sector request (the streaming call alone)\n"
        "  exact      the protocol's exact count for a 512-byte block; +cc: chunk code on enhanced ports\n"
        "  req 64K    every bus access of the 64 KiB request (acquire, task file, status, blocks, release)\n"
        "  /sector    req 64K / 128;  bare: accesses that carry sector bytes, per sector;  x bare = ratio\n"
        "  KB/s       modelled throughput at 1 us per port access: 65536 B / (req 64K x 1 us), 1 KB = 1024 B\n"
        "  MB/cpu-s   the tool's own speed: simulated MB (10^6 B) moved per host CPU second\n"
        "  blocks     whether every block of both requests cost exactly the protocol's count\n\n");
    std::printf("%-3s %-2s %-14s %-7s %-12s %-6s %7s %9s %9s %9s %5s %6s %8s %8s  %s\n", "dir", "m", "mode",
                "machine", "args", "pair", "blk/512", "exact", "req 64K", "/sector", "bare", "x bare", "KB/s",
                "MB/cpu-s", "blocks");
}

}  // namespace

int runBench(const sim::DriverImage& driver)
{
    std::clock_t start = std::clock();
    printHeader();
    unsigned agreed = 0, measured = 0;
    bool anyUpgraded = false;
    std::vector<std::string> problems;
    for (const BenchCase& c : kCases) {
        const ModeFigures& f = figuresFor(c.direction, c.mode);
        Measured m = measure(c, driver);
        const char* dir = c.direction == Direction::Read ? "R" : "W";
        if (!m.ran) {
            std::printf("%-3s %-2u %-14s %-7s %-12s  n/a: %s\n", dir, c.mode, modeSymbol(c.direction, c.mode),
                        c.machine, c.arguments, m.problem.c_str());
            problems.push_back(std::string(dir) + std::to_string(c.mode) + ": " + m.problem);
            continue;
        }
        ++measured;
        if (m.blocksAgree) ++agreed;
        else problems.push_back(std::string(dir) + std::to_string(c.mode) + ": " + m.problem);
        char pair[32], exact[48];
        std::snprintf(pair, sizeof pair, "%u/%u%s", m.linkRead, m.linkWrite, m.upgraded ? "*" : "");
        if (m.upgraded) anyUpgraded = true;
        uint64_t exactBlock = f.blockAccesses(sim::kSectorBytes);
        if (m.sectorChunk)
            std::snprintf(exact, sizeof exact, "%llu+%llu", (unsigned long long)exactBlock,
                          (unsigned long long)m.sectorChunk);
        else
            std::snprintf(exact, sizeof exact, "%llu", (unsigned long long)exactBlock);
        double perSector = double(m.request) / kRequestSectors;
        double bare = double(f.bareCycles(sim::kSectorBytes));
        double kbs = kRequestBytes / (double(m.request) * 1e-6) / 1024.0;
        double speed = m.cpuSeconds > 0 ? m.timedBytes / 1e6 / m.cpuSeconds : 0.0;
        std::printf("%-3s %-2u %-14s %-7s %-12s %-6s %7llu %9s %9llu %9.1f %5.0f %6.2f %8.1f %8.1f  %s\n", dir,
                    c.mode, modeSymbol(c.direction, c.mode), c.machine, c.arguments, pair,
                    (unsigned long long)m.sectorBlock, exact, (unsigned long long)m.request, perSector, bare,
                    perSector / bare, kbs, speed, m.blocksAgree ? "exact" : "DIFFER");
    }
    double seconds = double(std::clock() - start) / CLOCKS_PER_SEC;
    if (anyUpgraded)
        std::printf("\n* the driver's link modes are 10/3 with 32-bit EPP cycles found working: its block routines\n"
                    "  are those of read mode 11 and write mode 4, which the argument string cannot select\n"
                    "  directly (/r takes modes below 11, /w below 4).\n");
    std::printf("\nBlock transfers: %u of %u measured modes cost exactly the protocol's count per block "
                "(1-sector and 64 KiB requests).\n",
                agreed, measured);
    for (const std::string& p : problems) std::printf("  %s\n", p.c_str());
    std::printf("Bench took %.1f s of host CPU time.\n", seconds);
    return problems.empty() ? 0 : 1;
}

}  // namespace bench
}  // namespace nimbsim
