#include "tools/bench/bench_figures.h"

#include <algorithm>
#include <sstream>
#include <stdexcept>

namespace nimbsim {
namespace bench {
namespace {

// Per mode: the streaming block's cost (perByte * N / divisor + fixed) and
// its bare data cycles (barePerByte * N / bareDivisor).
const std::vector<ModeFigures> kModes = {
    {Direction::Read, 0, "nibble", 4, 1, 8, 2, 1},
    {Direction::Read, 1, "nibble", 6, 1, 6, 2, 1},
    {Direction::Read, 2, "nibble", 8, 1, 12, 2, 1},
    {Direction::Read, 3, "5+3", 3, 1, 11, 2, 1},
    {Direction::Read, 4, "5+3", 4, 1, 10, 2, 1},
    {Direction::Read, 5, "5+3", 7, 1, 10, 2, 1},
    {Direction::Read, 6, "byte7", 3, 1, 6, 1, 1},
    {Direction::Read, 7, "byte7", 6, 1, 6, 1, 1},
    {Direction::Read, 8, "bidir", 2, 1, 10, 1, 1},
    {Direction::Read, 9, "bidir", 4, 1, 10, 1, 1},
    {Direction::Read, 10, "EPP8", 1, 1, 5, 1, 1},
    {Direction::Read, 11, "EPP32", 1, 4, 5, 1, 4},
    {Direction::Write, 0, "strobe", 2, 1, 13, 1, 1},
    {Direction::Write, 1, "strobe", 3, 1, 15, 1, 1},
    {Direction::Write, 2, "strobe", 6, 1, 18, 1, 1},
    {Direction::Write, 3, "EPP8", 1, 1, 1, 1, 1},
    {Direction::Write, 4, "EPP32", 1, 4, 1, 1, 4},
};

// Adapter size codes: remaining count at least `bound` gives a chunk of
// `bound` bytes.
const uint32_t kChunkBounds[] = {0x8000, 0x4000, 0x2000, 0x1000, 0x800, 0x200, 0x20, 2};

constexpr uint16_t kData = 0, kControl = 2, kEppAddress = 3, kEppData = 4;

struct Cursor {
    const std::vector<sim::IoAccess>& trace;
    uint16_t base;

    bool is(size_t i, uint16_t offset, bool write) const
    {
        return i < trace.size() && trace[i].port == base + offset && trace[i].write == write;
    }
    bool isWrite(size_t i, uint16_t offset, uint32_t value) const
    {
        return is(i, offset, true) && trace[i].value == value;
    }
    bool isEppData(size_t i) const
    {
        return i < trace.size() && trace[i].port >= base + kEppData && trace[i].port <= base + 7;
    }
    // Index after a run of identical writes starting at i.
    size_t skipWrites(size_t i, uint16_t offset, uint32_t value) const
    {
        while (isWrite(i, offset, value)) ++i;
        return i;
    }
    // Index of the first write of `value` to `offset` at or after i.
    size_t nextWriteOf(size_t i, uint16_t offset, uint32_t value) const
    {
        while (i < trace.size() && !isWrite(i, offset, value)) ++i;
        return i;
    }
};

// A strobed block whose address byte is at i; returns its end (exclusive)
// or i when the accesses there are no block.
size_t strobedBlockEnd(const Cursor& c, size_t i, TraceSegment::Kind& kind)
{
    uint32_t x = c.trace[i].value;
    size_t j = c.skipWrites(i, kData, x);
    if (!c.isWrite(j, kControl, 0x01)) return i;
    if (x == 0x81 || x == 0x91) {
        // The setup's DATA writes are never 0x00: the first one closes.
        size_t k = c.nextWriteOf(j, kData, 0x00);
        if (k >= c.trace.size()) return i;
        kind = TraceSegment::StrobedRead;
        return c.skipWrites(c.skipWrites(k, kData, 0x00), kControl, 0x04);
    }
    // Byte-wide reads and writes: their clocks never write 0x06.
    size_t k = c.nextWriteOf(j, kControl, 0x06);
    if (k >= c.trace.size()) return i;
    kind = x == 0xA1 ? TraceSegment::StrobedWrite : TraceSegment::StrobedRead;
    return c.skipWrites(c.skipWrites(k, kControl, 0x06), kControl, 0x04);
}

uint64_t eppBytesIn(const Cursor& c, size_t from, size_t to)
{
    uint64_t bytes = 0;
    for (size_t i = from; i < to; ++i) bytes += c.trace[i].width;
    return bytes;
}

uint8_t widestIn(const Cursor& c, size_t from, size_t to)
{
    uint8_t widest = 0;
    for (size_t i = from; i < to; ++i) widest = std::max(widest, c.trace[i].width);
    return widest;
}

}  // namespace

uint64_t ModeFigures::blockAccesses(uint64_t bytes) const
{
    uint64_t streamed = bytes / divisor * divisor;
    return perByte * streamed / divisor + (bytes - streamed) + fixed;
}

uint64_t ModeFigures::bareCycles(uint64_t bytes) const
{
    return barePerByte * bytes / bareDivisor;
}

const std::vector<ModeFigures>& modeTable() { return kModes; }

const ModeFigures& figuresFor(Direction direction, unsigned mode)
{
    for (const ModeFigures& m : kModes)
        if (m.direction == direction && m.mode == mode) return m;
    throw std::out_of_range("no such transfer mode");
}

unsigned epp8Mode(Direction direction) { return direction == Direction::Read ? 10 : 3; }

unsigned epp32Mode(Direction direction) { return direction == Direction::Read ? 11 : 4; }

bool isEppMode(Direction direction, unsigned mode)
{
    return mode == epp8Mode(direction) || mode == epp32Mode(direction);
}

std::vector<uint32_t> chunkLengths(uint32_t bytes)
{
    std::vector<uint32_t> chunks;
    while (bytes >= 2) {
        for (uint32_t bound : kChunkBounds) {
            if (bytes >= bound) {
                chunks.push_back(bound);
                bytes -= bound;
                break;
            }
        }
    }
    return chunks;
}

std::vector<TraceSegment> findBlockSegments(const std::vector<sim::IoAccess>& trace, uint16_t base)
{
    Cursor c{trace, base};
    std::vector<TraceSegment> found;
    size_t i = 0;
    while (i < trace.size()) {
        const sim::IoAccess& a = trace[i];
        size_t end = i;
        TraceSegment::Kind kind = TraceSegment::StrobedRead;
        uint64_t eppBytes = 0;
        uint8_t dataWidth = 0;
        if (c.is(i, kData, true) &&
            (a.value == 0x81 || a.value == 0x91 || a.value == 0x89 || a.value == 0xA1)) {
            end = strobedBlockEnd(c, i, kind);
        } else if (c.isWrite(i, kEppAddress, 0xC4) && c.isEppData(i + 1) && trace[i + 1].write &&
                   trace[i + 1].value <= 7) {
            kind = TraceSegment::ChunkCode;
            end = i + 2;
        } else if (c.isWrite(i, kEppAddress, 0x00) && c.is(i + 1, kControl, false) &&
                   c.is(i + 2, kControl, true)) {
            size_t k = i + 3;
            while (c.isEppData(k) && !trace[k].write) ++k;
            if (k > i + 3 && c.is(k, kControl, false) && c.is(k + 1, kControl, true)) {
                kind = TraceSegment::EppRead;
                eppBytes = eppBytesIn(c, i + 3, k);
                dataWidth = widestIn(c, i + 3, k);
                end = k + 2;
            }
        } else if (c.isWrite(i, kEppAddress, 0x40)) {
            size_t k = i + 1;
            while (c.isEppData(k) && trace[k].write) ++k;
            if (k > i + 1) {
                kind = TraceSegment::EppWrite;
                eppBytes = eppBytesIn(c, i + 1, k);
                dataWidth = widestIn(c, i + 1, k);
                end = k;
            }
        }
        if (end > i) {
            found.push_back(TraceSegment{kind, i, end - i, eppBytes, dataWidth});
            i = end;
        } else {
            ++i;
        }
    }
    return found;
}

ExpectedBlocks expectedBlocks(const ModeFigures& mode, uint32_t sectors, uint32_t drqSectors,
                              bool enhancedPort)
{
    ExpectedBlocks e;
    if (drqSectors == 0) drqSectors = 1;
    while (sectors > 0) {
        uint32_t n = sectors < drqSectors ? sectors : drqSectors;
        sectors -= n;
        uint32_t bytes = n * 512;
        if (!enhancedPort) {
            e.blockAccesses.push_back(mode.blockAccesses(bytes));
            continue;
        }
        for (uint32_t chunk : chunkLengths(bytes)) {
            ++e.chunkCodes;
            e.blockAccesses.push_back(mode.blockAccesses(chunk));
        }
    }
    return e;
}

std::string compareBlocks(const std::vector<TraceSegment>& found, const ExpectedBlocks& expected)
{
    std::vector<uint64_t> blocks;
    uint64_t codes = 0;
    for (const TraceSegment& s : found) {
        if (s.kind == TraceSegment::ChunkCode)
            ++codes;
        else
            blocks.push_back(s.accesses);
    }
    std::ostringstream out;
    if (codes != expected.chunkCodes) out << codes << " chunk codes, expected " << expected.chunkCodes;
    if (blocks.size() != expected.blockAccesses.size()) {
        out << (codes != expected.chunkCodes ? "; " : "") << blocks.size() << " blocks, expected "
            << expected.blockAccesses.size();
        return out.str();
    }
    for (size_t i = 0; i < blocks.size(); ++i) {
        if (blocks[i] != expected.blockAccesses[i]) {
            out << (codes != expected.chunkCodes ? "; " : "") << "block " << i << ": " << blocks[i] << " accesses, expected "
                << expected.blockAccesses[i];
            break;
        }
    }
    return out.str();
}

}  // namespace bench
}  // namespace nimbsim
